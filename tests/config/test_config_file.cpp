/* test_config_file.cpp -- the configuration file: the first start without a file (the exact text
 * written, then the tree loaded from it), load and save round trips, a file that cannot be loaded
 * left byte-identical, the save keeping mode, owner and links, and the legacy rendering. */
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <math.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <future>
#include <string>
#include <utility>
#include <vector>

#include "config_test_util.h"
#include "ruxo_config.h"
#include "ruxo_legacy.h"
#include "ruxo_vocab.h"

namespace {

const char kEmptyChannel[] =
    "    {\n"
    "      \"enable\": false,\n"
    "      \"input\": {\n"
    "        \"sources\": [\n"
    "        ],\n"
    "        \"formatOptions\": [],\n"
    "        \"customOptions\": \"\"\n"
    "      },\n"
    "      \"output\": {\n"
    "        \"targets\": [\n"
    "        ],\n"
    "        \"mapOptions\": [],\n"
    "        \"formatOptions\": [\"\"],\n"
    "        \"filters\": [],\n"
    "        \"timeShift\": {\"cacheTime\": 0, \"cacheFolder\": \"\"},\n"
    "        \"customOptions\": \"\"\n"
    "      },\n"
    "      \"memo\": \"\"\n"
    "    }";

std::string firstStartText()
{
    std::string s =
        "{\n"
        "  \"name\": \"Zembrax Configuration File\",\n"
        "  \"global\": {\n"
        "    \"log\": 0,\n"
        "    \"httpPort\": 8888,\n"
        "    \"sslEnable\": false,\n"
        "    \"rtspPort\": 0,\n"
        "    \"ipACL\": \"\",\n"
        "    \"autoRun\": true,\n"
        "    \"autoRestart\": 0,\n"
        "    \"cpuPerChannel\": 0,\n"
        "    \"folderRecur\": false,\n"
        "    \"loginPass\": \"\"\n"
        "  },\n"
        "  \"channels\": [\n";
    for (int i = 0; i < 16; i++)
        s += std::string(kEmptyChannel) + (i < 15 ? ",\n" : "\n");
    s += "  ]\n}\n";
    return s;
}

const char kValidConfig[] =
    "{\"name\":\"t\",\"global\":{\"log\":32,\"httpPort\":8080,\"sslCert\":\"/a \\\"b\\\\c\",\"autoRun\":true},"
    "\"channels\":[{\"enable\":true,\"memo\":\"caf\xC3\xA9 \\u0001 tab\\t\","
    "\"input\":{\"sources\":[{\"format\":\"file\",\"url\":\"/m/a.ts\"}],\"formatOptions\":[\"-re\"]},"
    "\"output\":{\"targets\":[{\"format\":\"udp\",\"url\":\"udp://127.0.0.1:5000\","
    "\"video\":{\"codec\":\"h264\",\"frameRate\":29.97,\"width\":1280},\"audio\":{\"codec\":\"aac\"}}],"
    "\"timeShift\":{\"cacheTime\":60,\"cacheFolder\":\"/c/\"}}}]}";

/* A start-up in the folder, whose configuration file cannot be loaded, and one save after it: no
 * tree, the save refused. Returns what the two printed. */
std::string startWithUnloadableFile(const TempDir& dir)
{
    ruxoSetConfigPath(dir.path().c_str());
    testing::internal::CaptureStdout();
    ruxoImportConfig();
    EXPECT_EQ(-1, ruxoExportConfig(NULL));
    std::string strOut = testing::internal::GetCapturedStdout();
    EXPECT_EQ(nullptr, g_jsonConfig);
    EXPECT_TRUE(ruxoConfigLoadFailed());
    return strOut;
}

}  // namespace

TEST(ConfigFile, FirstStartWithoutAnyFileWritesTheDefaultsAndLoadsThem)
{
    TempDir dir{"config"};
    ASSERT_FALSE(dir.path().empty());
    ruxoSetConfigPath(dir.path().c_str());
    ruxoImportConfig();

    const std::string strFile = dir.file("ruxod.json");
    EXPECT_EQ(firstStartText(), readFile(strFile));
    EXPECT_FALSE(fileExists(strFile + ".tmp"));
    EXPECT_EQ(dir.file("ruxod.acl"), g_tszfnAcl);
    EXPECT_FALSE(ruxoConfigLoadFailed());

    // Reloaded: the 16 empty channels are dropped, the settings are those written.
    ASSERT_NE(nullptr, g_jsonConfig);
    EXPECT_EQ(0, jsonGetArraySize(jsonGetItem(g_jsonConfig, "channels")));
    EXPECT_TRUE(cJSON_IsArray(jsonGetItem(g_jsonConfig, "channels")));
    EXPECT_EQ("Zembrax Configuration File", getJsonString(g_jsonConfig, "name"));
    cJSON* g = jsonGetItem(g_jsonConfig, "global");
    EXPECT_EQ(0, getJsonInt(g, "log"));
    EXPECT_EQ(8888, getJsonInt(g, "httpPort"));
    EXPECT_FALSE(getJsonBool(g, "sslEnable"));
    EXPECT_EQ(0, getJsonInt(g, "rtspPort"));
    EXPECT_EQ("", getJsonString(g, "ipACL"));
    EXPECT_TRUE(getJsonBool(g, "autoRun"));
    EXPECT_EQ(0, getJsonInt(g, "autoRestart"));
    EXPECT_EQ(0, getJsonInt(g, "cpuPerChannel"));
    EXPECT_FALSE(getJsonBool(g, "folderRecur"));
    EXPECT_EQ("", getJsonString(g, "loginPass"));
    EXPECT_EQ(10, cJSON_GetArraySize(g));  // all present, so no default was added

    // Loading the file reset the legacy settings.
    EXPECT_EQ(8888, g_globalSettings.nPortHTTP);
    EXPECT_EQ(5544, g_globalSettings.nPortRTSP);
    EXPECT_EQ(1, g_globalSettings.nAutoRestart);
    EXPECT_FALSE(g_globalSettings.bAutoRun);

    // The next save writes the tree; a tree read back from it prints the same text.
    EXPECT_EQ(0, ruxoExportConfig(NULL));
    std::string strSaved = readFile(strFile);
    EXPECT_EQ(printTree(), strSaved);
    EXPECT_NE('\n', strSaved.back());
    EXPECT_EQ(0, ruxoImportConfigJSON(strFile.c_str()));
    EXPECT_EQ(strSaved, printTree());

    // The second start loads the file without writing it.
    struct stat stBefore, stAfter;
    ASSERT_EQ(0, stat(strFile.c_str(), &stBefore));
    ruxoImportConfig();
    ASSERT_EQ(0, stat(strFile.c_str(), &stAfter));
    EXPECT_EQ(stBefore.st_ino, stAfter.st_ino);
    EXPECT_EQ(strSaved, readFile(strFile));
}

TEST(ConfigFile, ReplaceExportAndReloadRoundTrip)
{
    TempDir dir{"config"};
    const std::string strFile = dir.file("ruxod.json");
    ASSERT_NE(nullptr, ruxoSetConfig(kValidConfig));
    EXPECT_EQ(0, ruxoExportConfig(strFile.c_str()));
    std::string strText = readFile(strFile);
    EXPECT_EQ(printTree(), strText);
    EXPECT_NE(std::string::npos, strText.find("\"frameRate\":\t29.97"));
    EXPECT_NE(std::string::npos, strText.find("\n\t\"global\":\t{\n\t\t\"log\":\t32,"));

    ASSERT_NE(nullptr, ruxoSetConfig("{}"));
    EXPECT_EQ(1, ruxoImportConfigJSON(strFile.c_str()));
    EXPECT_EQ(strText, printTree());
    cJSON* g = jsonGetItem(g_jsonConfig, "global");
    EXPECT_EQ("/a \"b\\c", getJsonString(g, "sslCert"));
    cJSON* ch = jsonGetArrayItem(jsonGetItem(g_jsonConfig, "channels"), 0);
    EXPECT_EQ("caf\xC3\xA9 \x01 tab\t", getJsonString(ch, "memo"));
    // The defaults the first replacement added are in the file, once.
    EXPECT_EQ(1, getJsonInt(g, "autoRestart"));
    EXPECT_EQ(6, cJSON_GetArraySize(g));
}

TEST(ConfigFile, ExportWithoutPathWritesNothing)
{
    EXPECT_TRUE(g_tszfnConfig.empty());
    ASSERT_NE(nullptr, ruxoSetConfig(kValidConfig));
    EXPECT_EQ(0, ruxoExportConfig(NULL));
    EXPECT_EQ(0, ruxoExportConfig(""));
}

TEST(ConfigFile, ImportJsonMissingAndEmptyFiles)
{
    TempDir dir{"config"};
    ASSERT_NE(nullptr, ruxoSetConfig(kValidConfig));
    cJSON* tree = g_jsonConfig;

    // Missing: 0 channels reported, nothing changes, the legacy settings included.
    EXPECT_EQ(0, ruxoImportConfigJSON(dir.file("none.json").c_str()));
    EXPECT_EQ(0, g_globalSettings.nPortRTSP);
    EXPECT_TRUE(g_globalSettings.bAutoRun);
    EXPECT_EQ(tree, g_jsonConfig);

    // Empty: 0 reported, the legacy settings reset, the tree unchanged.
    ASSERT_TRUE(writeFile(dir.file("empty.json"), ""));
    EXPECT_EQ(0, ruxoImportConfigJSON(dir.file("empty.json").c_str()));
    EXPECT_EQ(5544, g_globalSettings.nPortRTSP);
    EXPECT_EQ(1, g_globalSettings.nAutoRestart);
    EXPECT_EQ(8888, g_globalSettings.nPortHTTP);
    EXPECT_FALSE(g_globalSettings.bAutoRun);
    EXPECT_EQ(tree, g_jsonConfig);

    // Not JSON: the unchanged tree's channel count.
    ASSERT_TRUE(writeFile(dir.file("bad.json"), "{oops"));
    EXPECT_EQ(1, ruxoImportConfigJSON(dir.file("bad.json").c_str()));
    EXPECT_EQ(tree, g_jsonConfig);

    // Text after the value: no configuration either.
    ASSERT_TRUE(writeFile(dir.file("trailing.json"), "{\"channels\":[]} trailing"));
    EXPECT_EQ(1, ruxoImportConfigJSON(dir.file("trailing.json").c_str()));
    EXPECT_EQ(tree, g_jsonConfig);

    // A byte-order mark is skipped.
    ASSERT_TRUE(writeFile(dir.file("bom.json"), "\xEF\xBB\xBF{\"channels\":[]}\n"));
    EXPECT_EQ(0, ruxoImportConfigJSON(dir.file("bom.json").c_str()));
    EXPECT_NE(tree, g_jsonConfig);
    EXPECT_TRUE(cJSON_IsArray(jsonGetItem(g_jsonConfig, "channels")));
}

TEST(ConfigFile, AFileThatCannotBeLoadedIsNeverOverwritten)
{
    const std::string kContents[] = {
        "{\"global\": {\"log\": 32,", "", "   \n", "\xEF\xBB\xBF", "[1,",
        // One "}" too many after "global": the channels behind it must not be lost.
        "{\"global\": {\"log\": 32}}, \"channels\": [" +
            std::string(kValidConfig).substr(std::string(kValidConfig).find("{\"enable\"")),
        std::string("{\"global\": {\"log\": 32}}\0, \"channels\": []}", 35), "[]", "7",
        "{\"global\": {\"loginPass\": 12.5}}", "{\"global\": {\"loginPass\": null}}"};
    for (const std::string& strContent : kContents) {
        TempDir dir{"config"};
        const std::string strFile = dir.file("ruxod.json");
        ASSERT_TRUE(writeFile(strFile, strContent));
        ASSERT_EQ(0, chmod(strFile.c_str(), 0600));
        struct stat stBefore;
        ASSERT_EQ(0, stat(strFile.c_str(), &stBefore));

        ruxoSetConfigPath(dir.path().c_str());
        testing::internal::CaptureStdout();
        ruxoImportConfig();
        std::string strOut = testing::internal::GetCapturedStdout();
        EXPECT_NE(std::string::npos, strOut.find(strFile)) << strOut;
        EXPECT_EQ(nullptr, g_jsonConfig);
        EXPECT_TRUE(ruxoConfigLoadFailed());
        EXPECT_EQ(0u, ruxoConfigNoTreeReason().find("cannot load " + strFile + ": ")) << ruxoConfigNoTreeReason();

        // Every save refuses and writes nothing while there is no tree.
        testing::internal::CaptureStdout();
        EXPECT_EQ(-1, ruxoExportConfig(NULL));
        EXPECT_EQ(-1, ruxoExportConfig(NULL));
        strOut = testing::internal::GetCapturedStdout();
        EXPECT_NE(std::string::npos, strOut.find(strFile)) << strOut;
        EXPECT_EQ(strContent, readFile(strFile)) << "[" << strContent << "]";
        EXPECT_FALSE(fileExists(strFile + ".tmp"));
        struct stat stAfter;
        ASSERT_EQ(0, stat(strFile.c_str(), &stAfter));
        EXPECT_EQ(stBefore.st_ino, stAfter.st_ino);
        EXPECT_EQ(stBefore.st_mtim.tv_nsec, stAfter.st_mtim.tv_nsec);

        // A posted configuration is accepted and the saves work again.
        ASSERT_NE(nullptr, ruxoSetConfig(kValidConfig));
        EXPECT_FALSE(ruxoConfigLoadFailed());
        EXPECT_EQ("", ruxoConfigNoTreeReason());
        EXPECT_EQ(0, ruxoExportConfig(NULL));
        EXPECT_EQ(printTree(), readFile(strFile));

        cJSON_Delete(g_jsonConfig);
        g_jsonConfig = NULL;
    }
}

TEST(ConfigFile, AFolderInPlaceOfTheFileIsNotLoadedAndKept)
{
    TempDir dir{"config"};
    const std::string strFile = dir.file("ruxod.json");
    ASSERT_EQ(0, mkdir(strFile.c_str(), 0755));
    startWithUnloadableFile(dir);
    struct stat st;
    ASSERT_EQ(0, stat(strFile.c_str(), &st));
    EXPECT_TRUE(S_ISDIR(st.st_mode));
}

TEST(ConfigFile, AHugeSparseFileIsNotReadIntoMemoryAndIsKept)
{
    TempDir dir{"config"};
    const std::string strFile = dir.file("ruxod.json");
    const off_t cbHuge = (off_t)200 << 30; /* 200 GiB of holes: reading it whole would abort */
    int fd = open(strFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(0, ftruncate(fd, cbHuge));
    close(fd);
    startWithUnloadableFile(dir);
    EXPECT_EQ("cannot load " + strFile + ": larger than 67108864 bytes", ruxoConfigNoTreeReason());
    struct stat st;
    ASSERT_EQ(0, stat(strFile.c_str(), &st));
    EXPECT_EQ(cbHuge, st.st_size);
}

TEST(ConfigFile, OnlyARegularFileIsReadAndANamedPipeNeverBlocks)
{
    TempDir dir{"config"};
    const std::string strFile = dir.file("ruxod.json");
    ASSERT_EQ(0, mkfifo(strFile.c_str(), 0600));
    auto load = std::async(std::launch::async, [&] {
        ruxoSetConfigPath(dir.path().c_str());
        testing::internal::CaptureStdout();
        ruxoImportConfig();
        return testing::internal::GetCapturedStdout();
    });
    if (load.wait_for(std::chrono::seconds(20)) != std::future_status::ready) {
        // Hung in the open: a writer lets it go on, so the test fails instead of hanging.
        int fd = open(strFile.c_str(), O_WRONLY | O_NONBLOCK);
        if (fd >= 0)
            close(fd);
        load.wait();
        FAIL() << "the start-up load blocked on a named pipe";
    }
    std::string strOut = load.get();
    EXPECT_NE(std::string::npos, strOut.find(strFile)) << strOut;
    EXPECT_EQ(nullptr, g_jsonConfig);
    EXPECT_TRUE(ruxoConfigLoadFailed());
    EXPECT_EQ("cannot load " + strFile + ": not a regular file", ruxoConfigNoTreeReason());
    struct stat st;
    ASSERT_EQ(0, lstat(strFile.c_str(), &st));
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
}

TEST(ConfigFile, ASaveThroughADanglingLinkWritesTheFileItNames)
{
    struct Case {
        std::vector<std::pair<std::string, std::string>> links; /* link name, its text */
        const char* szTarget; /* the file the save must write, relative to the folder */
    } cases[] = {
        {{{"ruxod.json", "real.json"}}, "real.json"},
        {{{"ruxod.json", "sub/real.json"}}, "sub/real.json"},
        {{{"ruxod.json", "sub/../sub/hop"}, {"sub/hop", "real.json"}}, "sub/real.json"},
        {{{"ruxod.json", "ABSOLUTE"}}, "abs.json"},
    };
    char szCwd[PATH_MAX];
    ASSERT_NE(nullptr, getcwd(szCwd, sizeof(szCwd)));
    ASSERT_EQ(0, chdir("/"));  // relative links count from their own folder, not from here
    for (const Case& c : cases) {
        TempDir dir{"config"};
        SCOPED_TRACE(c.szTarget);
        ASSERT_EQ(0, mkdir(dir.file("sub").c_str(), 0755));
        for (const auto& link : c.links) {
            std::string strText = link.second == "ABSOLUTE" ? dir.file("abs.json") : link.second;
            ASSERT_EQ(0, symlink(strText.c_str(), dir.file(link.first).c_str()));
        }
        ruxoSetConfigPath(dir.path().c_str());
        ASSERT_NE(nullptr, ruxoSetConfig(kValidConfig));
        EXPECT_EQ(0, ruxoExportConfig(NULL));
        EXPECT_EQ(printTree(), readFile(dir.file(c.szTarget)));
        for (const auto& link : c.links) {
            struct stat st;
            ASSERT_EQ(0, lstat(dir.file(link.first).c_str(), &st));
            EXPECT_TRUE(S_ISLNK(st.st_mode)) << link.first;
        }
    }

    // A link into a folder that does not exist: the save fails with its message, the link stays.
    TempDir dir{"config"};
    const std::string strLink = dir.file("ruxod.json");
    ASSERT_EQ(0, symlink("gone/real.json", strLink.c_str()));
    ruxoSetConfigPath(dir.path().c_str());
    ASSERT_NE(nullptr, ruxoSetConfig(kValidConfig));
    std::string strReason;
    testing::internal::CaptureStdout();
    EXPECT_EQ(-1, ruxoSaveConfig(g_jsonConfig, &strReason));
    EXPECT_EQ(-1, ruxoExportConfig(NULL));
    std::string strOut = testing::internal::GetCapturedStdout();
    EXPECT_EQ("cannot write " + dir.path() + "/gone/real.json: No such file or directory", strReason);
    EXPECT_NE(std::string::npos, strOut.find(strReason)) << strOut;
    struct stat st;
    ASSERT_EQ(0, lstat(strLink.c_str(), &st));
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_FALSE(fileExists(dir.file("gone")));

    // A loop of links is no file to write.
    TempDir loop{"config"};
    ASSERT_EQ(0, symlink("ruxod.json", loop.file("ruxod.json").c_str()));
    ruxoSetConfigPath(loop.path().c_str());
    testing::internal::CaptureStdout();
    EXPECT_EQ(-1, ruxoSaveConfig(g_jsonConfig, &strReason));
    testing::internal::GetCapturedStdout();
    EXPECT_NE(std::string::npos, strReason.find(strerror(ELOOP))) << strReason;
    ASSERT_EQ(0, chdir(szCwd));
}

TEST(ConfigFile, SaveKeepsModeOwnerAndLinksAndIgnoresLeftovers)
{
    TempDir dir{"config"};
    const std::string strReal = dir.file("real.json");
    const std::string strLink = dir.file("ruxod.json");
    ASSERT_TRUE(writeFile(strReal, "{}"));
    ASSERT_EQ(0, chmod(strReal.c_str(), 0640));
    bool bRoot = geteuid() == 0;
    if (bRoot) {
        ASSERT_EQ(0, chown(strReal.c_str(), 1234, 5678));
    }
    ASSERT_EQ(0, symlink("real.json", strLink.c_str()));
    // A leftover temporary file that is a link elsewhere must not be written through.
    const std::string strVictim = dir.file("victim");
    ASSERT_TRUE(writeFile(strVictim, "victim"));
    ASSERT_EQ(0, symlink(strVictim.c_str(), (strReal + ".tmp").c_str()));

    ASSERT_NE(nullptr, ruxoSetConfig(kValidConfig));
    EXPECT_EQ(0, ruxoExportConfig(strLink.c_str()));

    struct stat st;
    ASSERT_EQ(0, lstat(strLink.c_str(), &st));
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    ASSERT_EQ(0, stat(strReal.c_str(), &st));
    EXPECT_EQ(0640u, st.st_mode & 07777);
    if (bRoot) {
        EXPECT_EQ(1234u, st.st_uid);
        EXPECT_EQ(5678u, st.st_gid);
    }
    EXPECT_EQ(printTree(), readFile(strReal));
    EXPECT_EQ("victim", readFile(strVictim));
    EXPECT_FALSE(fileExists(strReal + ".tmp"));
}

TEST(ConfigFile, SaveIntoAMissingFolderFailsWithAMessage)
{
    TempDir dir{"config"};
    const std::string strFile = dir.file("no/such/ruxod.json");
    ASSERT_NE(nullptr, ruxoSetConfig(kValidConfig));
    testing::internal::CaptureStdout();
    EXPECT_EQ(-1, ruxoExportConfig(strFile.c_str()));
    std::string strOut = testing::internal::GetCapturedStdout();
    EXPECT_NE(std::string::npos, strOut.find(strFile)) << strOut;
    EXPECT_FALSE(fileExists(strFile));
}

/* ---- the legacy rendering --------------------------------------------------------------------- */

TEST(LegacyRendering, SourcesTargetsAndEscapesReadBackAsWritten)
{
    RUXO_CHANNEL& ch = g_ruxoChannels[0];
    ch.bEnable = 1;
    ch.nSources = 3;
    ch.sources[0].source.format = RUXO_FORMAT_UDP;  // a network source keeps its url
    snprintf(ch.sources[0].tszfnSource, sizeof(ch.sources[0].tszfnSource), "udp://239.0.0.1:1234");
    ch.sources[1].source.format = RUXO_FORMAT_RTP;
    ch.sources[1].source.video.bEnable = 1;
    ch.sources[1].source.video.attr.codec = RUXO_VIDEO_H264;
    ch.sources[1].source.video.rtp.ulSrcIP = inet_addr("10.1.2.3");
    ch.sources[1].source.video.rtp.usSrcPort = 5004;
    snprintf(ch.sources[1].source.video.rtp.szFmtp, RUXO_FMTP_SIZE, "packetization-mode=1");
    ch.sources[1].source.audio.attr.codec = RUXO_AUDIO_AMR;  // no name
    ch.sources[1].source.audio.attr.nSampleRate = 48000;
    ch.sources[2].source.format = RUXO_FORMAT_NULL;
    snprintf(ch.tszSourceVideoParam, sizeof(ch.tszSourceVideoParam), "-vf \"yadif\"");
    ch.nTargets = 2;
    RUXO_CHANNEL_TARGET& t = ch.targets[0];
    t.target.format = RUXO_FORMAT_HLS;
    snprintf(t.tszfnTarget, sizeof(t.tszfnTarget), "/var/www/a.m3u8");
    t.target.video.bEnable = 1;
    t.target.video.attr.codec = RUXO_VIDEO_H264;
    t.target.video.attr.fFps = 29.97f;
    t.target.video.attr.nWidth = 1280;
    t.target.video.rtp.globalHeader = OUT_OF_BAND;
    t.target.audio.attr.codec = RUXO_AUDIO_AAC;
    t.target.nKbpsMux = 3000;
    snprintf(t.rtmp.tszPubPass, sizeof(t.rtmp.tszPubPass), "p\"w\\d");
    ch.targets[1].target.video.attr.fFps = INFINITY;
    ch.targets[1].target.video.attr.codec = (RUXO_CODEC)200;
    snprintf(ch.tszMapParam, sizeof(ch.tszMapParam), "-map 0:v -map 1:a -map ");
    ch.nFilters = 2;
    snprintf(ch.tszFilters[0], sizeof(ch.tszFilters[0]), "drawtext=text='a\\:b'");
    snprintf(ch.tszFilters[1], sizeof(ch.tszFilters[1]), "line\nbreak\x01");
    ch.nTimeShiftSec = 300;
    snprintf(ch.tszMemo, sizeof(ch.tszMemo), "tab\there");
    g_ruxoChannels[1].nFilters = 99;  // out of range counts are held to the records
    g_ruxoChannels[1].nSources = -4;
    snprintf(g_globalSettings.szLoginPass, sizeof(g_globalSettings.szLoginPass), "se\"cret");

    std::string strText = ruxoRenderLegacyConfig();
    cJSON* doc = cJSON_Parse(strText.c_str());
    ASSERT_NE(nullptr, doc) << strText;
    EXPECT_EQ("se\"cret", getJsonString(jsonGetItem(doc, "global"), "loginPass"));
    cJSON* c0 = jsonGetArrayItem(jsonGetItem(doc, "channels"), 0);
    cJSON* sources = jsonGetItem(jsonGetItem(c0, "input"), "sources");
    ASSERT_EQ(3, jsonGetArraySize(sources));
    EXPECT_EQ("udp", getJsonString(jsonGetArrayItem(sources, 0), "format"));
    EXPECT_EQ("udp://239.0.0.1:1234", getJsonString(jsonGetArrayItem(sources, 0), "url"));
    cJSON* rtp = jsonGetArrayItem(sources, 1);
    EXPECT_EQ("rtp_native", getJsonString(rtp, "format"));
    EXPECT_EQ("h264", getJsonString(jsonGetItem(rtp, "video"), "codec"));
    EXPECT_EQ("10.1.2.3", getJsonString(jsonGetItem(rtp, "video"), "IP"));
    EXPECT_EQ(5004, getJsonInt(jsonGetItem(rtp, "video"), "port"));
    EXPECT_EQ("packetization-mode=1", getJsonString(jsonGetItem(rtp, "video"), "fmtp"));
    EXPECT_EQ("", getJsonString(jsonGetItem(rtp, "audio"), "codec"));
    EXPECT_EQ(48000, getJsonInt(jsonGetItem(rtp, "audio"), "sampleRate"));
    EXPECT_EQ("", getJsonString(jsonGetArrayItem(sources, 2), "format"));
    EXPECT_EQ((std::vector<std::string>{"-vf \"yadif\""}),
              getJsonTexts(jsonGetItem(jsonGetArrayItem(sources, 0), "video"), "options"));

    cJSON* out = jsonGetItem(c0, "output");
    cJSON* t0 = jsonGetArrayItem(jsonGetItem(out, "targets"), 0);
    EXPECT_EQ("hls", getJsonString(t0, "format"));
    EXPECT_DOUBLE_EQ(29.97, round(getJsonNumber(jsonGetItem(t0, "video"), "frameRate") * 100) / 100);
    EXPECT_EQ("outOfBand", getJsonString(jsonGetItem(t0, "video"), "globalHeader"));
    EXPECT_EQ("inBand", getJsonString(jsonGetItem(t0, "audio"), "globalHeader"));
    EXPECT_EQ("aac", getJsonString(jsonGetItem(t0, "audio"), "codec"));
    EXPECT_EQ(3000, getJsonInt(jsonGetItem(t0, "mux"), "bitRate"));
    EXPECT_EQ("p\"w\\d", getJsonString(jsonGetItem(t0, "rtmp"), "passwd"));
    cJSON* t1 = jsonGetArrayItem(jsonGetItem(out, "targets"), 1);
    EXPECT_EQ(0, getJsonNumber(jsonGetItem(t1, "video"), "frameRate"));
    EXPECT_EQ("", getJsonString(jsonGetItem(t1, "video"), "codec"));
    EXPECT_EQ((std::vector<std::string>{"0:v", "1:a"}), getJsonTexts(out, "mapOptions"));
    EXPECT_EQ((std::vector<std::string>{"drawtext=text='a\\:b'", "line\nbreak\x01"}), getJsonTexts(out, "filters"));
    EXPECT_EQ(300, getJsonInt(jsonGetItem(out, "timeShift"), "cacheTime"));
    EXPECT_EQ("tab\there", getJsonString(c0, "memo"));
    cJSON* c1 = jsonGetArrayItem(jsonGetItem(doc, "channels"), 1);
    EXPECT_EQ(10, jsonGetArraySize(jsonGetItem(jsonGetItem(c1, "output"), "filters")));
    EXPECT_EQ(0, jsonGetArraySize(jsonGetItem(jsonGetItem(c1, "input"), "sources")));
    cJSON_Delete(doc);

    // Exact layout of a target's first rows and of the escapes.
    EXPECT_NE(std::string::npos, strText.find("          {\n"
                                              "            \"format\": \"hls\",\n"
                                              "            \"url\": \"/var/www/a.m3u8\",\n"
                                              "            \"video\": {\n"
                                              "              \"enable\": true,\n"
                                              "              \"codec\": \"h264\",\n"
                                              "              \"width\": 1280,\n"
                                              "              \"height\": 0,\n"
                                              "              \"frameRate\": 29.97,\n"));
    EXPECT_NE(std::string::npos,
              strText.find("\"filters\": [\"drawtext=text='a\\\\:b'\", \"line\\nbreak\\u0001\"],\n"));
    EXPECT_NE(std::string::npos, strText.find("\"mapOptions\": [\"0:v\", \"1:a\"],\n"));

    // Loaded as the configuration: the channel whose first source is a network stream stays, and
    // the native-RTP source reads back as native RTP.
    ASSERT_NE(nullptr, ruxoSetConfig(strText.c_str()));
    cJSON* channels = jsonGetItem(g_jsonConfig, "channels");
    ASSERT_EQ(1, jsonGetArraySize(channels));
    cJSON* kept = jsonGetItem(jsonGetItem(jsonGetArrayItem(channels, 0), "input"), "sources");
    EXPECT_EQ(RUXO_FORMAT_RTP, ruxoGetFormatId(getJsonString(jsonGetArrayItem(kept, 1), "format").c_str()));
}

TEST(LegacyRendering, ExactLayoutOfAFullLastChannel)
{
    RUXO_CHANNEL& ch = g_ruxoChannels[15];
    ch.bEnable = 1;
    ch.nSources = 2;
    RUXO_SOURCE& rtp = ch.sources[0].source;
    rtp.format = RUXO_FORMAT_RTP;
    rtp.video.bEnable = 1;
    rtp.video.attr.codec = RUXO_VIDEO_H264;
    rtp.video.rtp.ulSrcIP = inet_addr("10.1.2.3");
    rtp.video.rtp.usSrcPort = 5004;
    snprintf(rtp.video.rtp.szFmtp, RUXO_FMTP_SIZE, "a=1");
    rtp.audio.attr.codec = RUXO_AUDIO_AAC;
    rtp.audio.attr.nSampleRate = 48000;
    rtp.audio.attr.nChannel = 2;
    rtp.audio.rtp.ulSrcIP = inet_addr("10.1.2.4");
    rtp.audio.rtp.usSrcPort = 5006;
    ch.sources[1].source.format = RUXO_FORMAT_GENERAL;
    snprintf(ch.sources[1].tszfnSource, RUXO_LEGACY_TEXT, "/m/a.ts");
    snprintf(ch.tszSourceVideoParam, RUXO_LEGACY_TEXT, "-vf yadif");
    snprintf(ch.tszCustomSourceParam, RUXO_LEGACY_TEXT, "-re");
    ch.nTargets = 1;
    RUXO_CHANNEL_TARGET& tgt = ch.targets[0];
    RUXO_TARGET& t = tgt.target;
    t.format = RUXO_FORMAT_UDP;
    snprintf(tgt.tszfnTarget, RUXO_LEGACY_TEXT, "udp://127.0.0.1:5000");
    t.video.bEnable = 1;
    t.video.attr.codec = RUXO_VIDEO_H264;
    t.video.attr.nWidth = 1280;
    t.video.attr.nHeight = 720;
    t.video.attr.fFps = 25;
    t.video.attr.nKeyFrameInterval = 50;
    t.video.attr.nQuality = 23;
    t.video.attr.nInterlacing = 1;
    snprintf(tgt.tszVideoParam, RUXO_LEGACY_TEXT, "-preset fast");
    t.audio.bEnable = 1;
    t.audio.attr.codec = RUXO_AUDIO_AAC;
    t.audio.attr.nSampleRate = 44100;
    t.audio.attr.nChannel = 2;
    t.audio.attr.nKbps = 128;
    t.audio.rtp.globalHeader = OUT_OF_BAND;
    t.nKbpsMux = 3000;
    snprintf(tgt.rtmp.tszFlashVer, RUXO_LEGACY_TEXT, "FMLE/3.0");
    snprintf(tgt.rtmp.tszPubUser, RUXO_LEGACY_TEXT, "u");
    snprintf(tgt.rtmp.tszPubPass, RUXO_LEGACY_TEXT, "p");
    snprintf(ch.tszMapParam, RUXO_LEGACY_TEXT, "-map 0:v -map 1:a");
    snprintf(ch.tszFormatParam, RUXO_LEGACY_TEXT, "-f mpegts");
    ch.nFilters = 1;
    snprintf(ch.tszFilters[0], RUXO_LEGACY_TEXT, "scale=1280:720");
    ch.nTimeShiftSec = 300;
    snprintf(ch.tszTimeShiftCacheFolder, RUXO_LEGACY_TEXT, "/var/cache/");
    snprintf(ch.tszCustomTargetParam, RUXO_LEGACY_TEXT, "-y");
    snprintf(ch.tszMemo, RUXO_LEGACY_TEXT, "m");

    const char kChannel[] =
        "    {\n"
        "      \"enable\": true,\n"
        "      \"input\": {\n"
        "        \"sources\": [\n"
        "          {\n"
        "            \"format\": \"rtp_native\",\n"
        "            \"url\": \"\",\n"
        "            \"video\": {\n"
        "              \"enable\": true,\n"
        "              \"codec\": \"h264\",\n"
        "              \"IP\": \"10.1.2.3\",\n"
        "              \"port\": 5004,\n"
        "              \"fmtp\": \"a=1\",\n"
        "              \"options\": [\"-vf yadif\"]\n"
        "            },\n"
        "            \"audio\": {\n"
        "              \"enable\": false,\n"
        "              \"codec\": \"aac\",\n"
        "              \"sampleRate\": 48000,\n"
        "              \"channels\": 2,\n"
        "              \"IP\": \"10.1.2.4\",\n"
        "              \"port\": 5006,\n"
        "              \"fmtp\": \"\"\n"
        "            }\n"
        "          },\n"
        "          {\n"
        "            \"format\": \"file\",\n"
        "            \"url\": \"/m/a.ts\",\n"
        "            \"video\": {\n"
        "              \"options\": [\"-vf yadif\"]\n"
        "            },\n"
        "            \"audio\": {\n"
        "            }\n"
        "          }\n"
        "        ],\n"
        "        \"formatOptions\": [],\n"
        "        \"customOptions\": \"-re\"\n"
        "      },\n"
        "      \"output\": {\n"
        "        \"targets\": [\n"
        "          {\n"
        "            \"format\": \"udp\",\n"
        "            \"url\": \"udp://127.0.0.1:5000\",\n"
        "            \"video\": {\n"
        "              \"enable\": true,\n"
        "              \"codec\": \"h264\",\n"
        "              \"width\": 1280,\n"
        "              \"height\": 720,\n"
        "              \"frameRate\": 25,\n"
        "              \"keyFrameInterval\": 50,\n"
        "              \"quality\": 23,\n"
        "              \"bitRate\": 0,\n"
        "              \"scanType\": 1,\n"
        "              \"IP\": \"0.0.0.0\",\n"
        "              \"port\": 0,\n"
        "              \"globalHeader\": \"inBand\",\n"
        "              \"options\": [\"-preset fast\"]\n"
        "            },\n"
        "            \"audio\": {\n"
        "              \"enable\": true,\n"
        "              \"codec\": \"aac\",\n"
        "              \"sampleRate\": 44100,\n"
        "              \"channels\": 2,\n"
        "              \"bitRate\": 128,\n"
        "              \"IP\": \"0.0.0.0\",\n"
        "              \"port\": 0,\n"
        "              \"globalHeader\": \"outOfBand\",\n"
        "              \"options\": [\"\"]\n"
        "            },\n"
        "            \"mux\": {\n"
        "              \"bitRate\": 3000,\n"
        "              \"cbr\": false\n"
        "            },\n"
        "            \"rtmp\": {\n"
        "              \"flashVer\": \"FMLE/3.0\",\n"
        "              \"swfUrl\": \"\",\n"
        "              \"user\": \"u\",\n"
        "              \"passwd\": \"p\"\n"
        "            }\n"
        "          }\n"
        "        ],\n"
        "        \"mapOptions\": [\"0:v\", \"1:a\"],\n"
        "        \"formatOptions\": [\"-f mpegts\"],\n"
        "        \"filters\": [\"scale=1280:720\"],\n"
        "        \"timeShift\": {\"cacheTime\": 300, \"cacheFolder\": \"/var/cache/\"},\n"
        "        \"customOptions\": \"-y\"\n"
        "      },\n"
        "      \"memo\": \"m\"\n"
        "    }";
    std::string strExpected = firstStartText();
    const std::string strTail = std::string(kEmptyChannel) + "\n  ]\n}\n";
    ASSERT_EQ(strTail, strExpected.substr(strExpected.size() - strTail.size()));
    strExpected.replace(strExpected.size() - strTail.size(), strTail.size(), std::string(kChannel) + "\n  ]\n}\n");
    std::string strText = ruxoRenderLegacyConfig();
    EXPECT_EQ(strExpected, strText);

    // Reloaded, the native-RTP channel stays (its video codec qualifies it without a url).
    ASSERT_NE(nullptr, ruxoSetConfig(strText.c_str()));
    ASSERT_EQ(1, jsonGetArraySize(jsonGetItem(g_jsonConfig, "channels")));
    EXPECT_EQ("m", getJsonString(jsonGetArrayItem(jsonGetItem(g_jsonConfig, "channels"), 0), "memo"));
}

TEST(ConfigFile, ADanglingLinkIsNotAFirstStart)
{
    TempDir dir{"config"};
    const std::string strFile = dir.file("ruxod.json");
    const std::string strTarget = dir.file("gone/ruxod.json");  // a volume that is not mounted
    ASSERT_EQ(0, symlink(strTarget.c_str(), strFile.c_str()));
    std::string strOut = startWithUnloadableFile(dir);
    EXPECT_NE(std::string::npos, strOut.find(strFile)) << strOut;
    struct stat st;
    ASSERT_EQ(0, lstat(strFile.c_str(), &st));
    EXPECT_TRUE(S_ISLNK(st.st_mode));
}

TEST(LegacyRendering, MapItems)
{
    struct Case {
        const char* szMap;
        const char* szItems;
    };
    const Case kCases[] = {
        {"", "\"mapOptions\": [],"},
        {"-map", "\"mapOptions\": [],"},
        {"-map ", "\"mapOptions\": [],"},
        {"-map 0:v", "\"mapOptions\": [\"0:v\"],"},
        {"-map 0:v -map", "\"mapOptions\": [\"0:v\"],"},
        {"-map 0:v -map ", "\"mapOptions\": [\"0:v\"],"},
        {"-map 0:v -map 1:a", "\"mapOptions\": [\"0:v\", \"1:a\"],"},
        {"-c copy -map 0:v\t-map 0:a:1", "\"mapOptions\": [\"0:v\", \"0:a:1\"],"},
        {"-map 0:v -map  -map 1:a", "\"mapOptions\": [\"0:v\", \"-map\", \"1:a\"],"},
        {"-map \"x\"", "\"mapOptions\": [\"\\\"x\\\"\"],"},
    };
    for (const Case& c : kCases) {
        snprintf(g_ruxoChannels[3].tszMapParam, RUXO_LEGACY_TEXT, "%s", c.szMap);
        std::string strText = ruxoRenderLegacyConfig();
        EXPECT_NE(std::string::npos, strText.find(c.szItems)) << c.szMap;
        cJSON* doc = cJSON_Parse(strText.c_str());
        EXPECT_NE(nullptr, doc) << c.szMap;
        cJSON_Delete(doc);
    }
}

TEST(LegacyRendering, UnescapeDoublesQuotesAndSolidiAndEscapesControls)
{
    EXPECT_EQ("", _jsonUnescape(NULL));
    EXPECT_EQ("a\\\"b\\\\c", _jsonUnescape("a\"b\\c"));
    EXPECT_EQ("\\r\\n\\t\\b\\f\\u001f\x7f\xC3\xA9", _jsonUnescape("\r\n\t\b\f\x1f\x7f\xC3\xA9"));
}
