/* test_daemon_legacy.cpp -- the first start-up of the real daemon in its namespace: a legacy
 * configuration converted (the JSON file written, the legacy file renamed, the legacy port and
 * password in force, the channels there and running) and ignored at the next start; a start with
 * neither file; a legacy file of which nothing is understood, which is kept; and a configuration
 * folder that cannot be written, which keeps the legacy file. */
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cjson/cJSON.h>

#include <string>
#include <vector>

#include "ns_daemon.h"
#include "ruxo_curl.h"

using namespace ruxotest;

namespace {

const char* const kJsonFile = "/etc/ruxod/ruxod.json";
const char* const kLegacyFile = "/etc/ruxod/ruxod.conf";
const char* const kConvertedFile = "/etc/ruxod/ruxod.conf.converted";
const int kLegacyPort = 18181;

/* Three channels: a file source that runs (the fake transcoder's "run" mode comes in as the
 * target's custom options), a network source, and a native-RTP target. */
std::string legacyText(const std::string& strDir)
{
    return "log 1\n"
           "HTTPPort " +
           std::to_string(kLegacyPort) +
           "\n"
           "AutoRestart 1\n"
           "LoginPass s3cret\n"
           "<Slot1>\n"
           "Enable 1\n"
           "<Input>\n"
           "Format file\n"
           "File \"" +
           strDir +
           "/in.ts\"\n"
           "</Input>\n"
           "<Output>\n"
           "Format file\n"
           "File \"" +
           strDir +
           "/out.ts\"\n"
           "VideoEnable 1\n"
           "VideoCodec h264\n"
           "VideoBitRate 500\n"
           "AudioEnable 1\n"
           "AudioCodec aac\n"
           "TargetParam \"fake:run\"\n"
           "</Output>\n"
           "</Slot1>\n"
           "<Slot2>\n"
           "<Input>\n"
           "Format udp\n"
           "File udp://127.0.0.1:5000?fifo_size=1000\n"
           "</Input>\n"
           "<Output>\n"
           "Format udp\n"
           "File \"udp://127.0.0.1:6000\"\n"
           "VideoCodec copy\n"
           "</Output>\n"
           "</Slot2>\n"
           "<Slot3>\n"
           "<Input>\n"
           "Format file\n"
           "File \"" +
           strDir +
           "/in.ts\"\n"
           "</Input>\n"
           "<Output>\n"
           "Format rtp_native\n"
           "File \"" +
           strDir +
           "/ch3.sdp\"\n"
           "VideoCodec h264\n"
           "VideoIP 127.0.0.1\n"
           "VideoPort 5004\n"
           "AudioCodec aac\n"
           "AudioIP 127.0.0.1\n"
           "AudioPort 5006\n"
           "</Output>\n"
           "</Slot3>\n";
}

class LegacyDaemonTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string strErr;
        ASSERT_TRUE(m_d.setUp(Transcoder::Fake, &strErr)) << strErr;
        ASSERT_TRUE(writeFile(m_d.dir() + "/in.ts", "x"));
    }
    void TearDown() override { m_d.killAll(); }

    void writeLegacy(const std::string& strText)
    {
        mkdir("/etc/ruxod", 0755);
        ASSERT_TRUE(writeFile(kLegacyFile, strText));
    }

    /* Starts the daemon and waits until it has printed its start message (the output file is
     * shared by every start of the test, so an earlier instance's message does not count). */
    void startDaemon()
    {
        size_t nBefore = countOf(m_d.output(), "RUXOD started successfully!");
        ASSERT_EQ(0, m_d.start({}));
        ASSERT_GT(m_d.pid(), 0);
        ASSERT_TRUE(waitUntil([&] { return countOf(m_d.output(), "RUXOD started successfully!") > nBefore; }, 15000))
            << m_d.output();
    }

    void stopDaemon()
    {
        ASSERT_EQ(0, kill(m_d.pid(), SIGTERM));
        int nStatus = -1;
        ASSERT_TRUE(m_d.waitExit(15000, &nStatus)) << "daemon did not end";
        EXPECT_EQ(0, nStatus) << m_d.output();
        EXPECT_EQ(std::string::npos, m_d.output().find("Sanitizer")) << m_d.output();
    }

    /* The states of the status reply with this password's cookie; empty when it does not parse. */
    std::vector<std::string> states(int nPort, const std::string& strPass) const
    {
        CurlReply r = curlRun({"-b", "auth=" + strPass, "http://127.0.0.1:" + std::to_string(nPort) + "/status"});
        std::vector<std::string> out;
        cJSON* json = cJSON_Parse(r.strBody.c_str());
        cJSON* item = nullptr;
        cJSON_ArrayForEach(item, cJSON_GetObjectItem(json, "channels"))
        {
            const char* sz = cJSON_GetStringValue(cJSON_GetObjectItem(item, "state"));
            out.push_back(sz ? sz : "?");
        }
        cJSON_Delete(json);
        return out;
    }

    NsDaemon m_d;
};

/* The item at a path of object keys and array indices ("channels", "2", "output", ...). */
cJSON* itemAt(cJSON* json, const std::vector<std::string>& path)
{
    for (const std::string& strStep : path) {
        if (cJSON_IsArray(json))
            json = cJSON_GetArrayItem(json, atoi(strStep.c_str()));
        else
            json = cJSON_GetObjectItem(json, strStep.c_str());
    }
    return json;
}

std::string textAt(cJSON* json, const std::vector<std::string>& path)
{
    const char* sz = cJSON_GetStringValue(itemAt(json, path));
    return sz ? sz : "<none>";
}

/* The number at a path equals nWant; a missing item or one of another type fails, naming the
 * path, rather than being read. */
::testing::AssertionResult numberAt(cJSON* json, const std::vector<std::string>& path, int nWant)
{
    std::string strPath;
    for (const std::string& strStep : path)
        strPath += "/" + strStep;
    cJSON* item = itemAt(json, path);
    if (!item)
        return ::testing::AssertionFailure() << strPath << " is missing";
    if (!cJSON_IsNumber(item))
        return ::testing::AssertionFailure() << strPath << " is no number";
    if (item->valueint != nWant)
        return ::testing::AssertionFailure() << strPath << " is " << item->valueint << ", not " << nWant;
    return ::testing::AssertionSuccess();
}

}  // namespace

TEST_F(LegacyDaemonTest, FirstStartConvertsTheLegacyFileAndTheNextIgnoresIt)
{
    ASSERT_NO_FATAL_FAILURE(writeLegacy(legacyText(m_d.dir())));
    /* The access-list file is read but admits or refuses nobody. */
    ASSERT_TRUE(writeFile("/etc/ruxod/ruxod.acl", "deny all\n"));
    /* An older converted file is replaced. */
    ASSERT_TRUE(writeFile(kConvertedFile, "older\n"));
    ASSERT_NO_FATAL_FAILURE(startDaemon());

    EXPECT_FALSE(exists(kLegacyFile));
    /* Kept under another name, byte for byte, so that what the conversion dropped can be read. */
    EXPECT_EQ(readFile(kConvertedFile), legacyText(m_d.dir()));
    cJSON* json = cJSON_Parse(readFile(kJsonFile).c_str());
    ASSERT_NE(nullptr, json) << readFile(kJsonFile);
    EXPECT_EQ(16, cJSON_GetArraySize(cJSON_GetObjectItem(json, "channels")));  // the rendering as written
    EXPECT_EQ("", textAt(json, {"global", "ipACL"}));
    EXPECT_EQ("udp://127.0.0.1:5000?fifo_size=1000", textAt(json, {"channels", "1", "input", "sources", "0", "url"}));
    EXPECT_EQ("rtp_native", textAt(json, {"channels", "2", "output", "targets", "0", "format"}));
    EXPECT_EQ("127.0.0.1", textAt(json, {"channels", "2", "output", "targets", "0", "video", "IP"}));
    cJSON_Delete(json);

    /* The legacy port and password; all three channels after the reload, the enabled one running. */
    ASSERT_TRUE(waitUntil([] { return canConnect(kLegacyPort); }, 20000)) << m_d.output();
    EXPECT_FALSE(canConnect(8888));
    CurlReply r = curlRun({"http://127.0.0.1:" + std::to_string(kLegacyPort) + "/status"});
    EXPECT_NE(std::string::npos, r.strBody.find("Login Authentication")) << r.strBody;
    EXPECT_TRUE(waitUntil(
        [&] {
            return states(kLegacyPort, "s3cret") == std::vector<std::string>{"running", "idle", "idle"};
        },
        15000))
        << m_d.output();
    ASSERT_NO_FATAL_FAILURE(stopDaemon());
    json = cJSON_Parse(readFile(kJsonFile).c_str());
    EXPECT_EQ(3, cJSON_GetArraySize(cJSON_GetObjectItem(json, "channels")));
    cJSON_Delete(json);

    /* A new legacy file beside the configuration is neither read nor deleted. */
    const std::string strNew = "HTTPPort 18182\nLoginPass other\n";
    ASSERT_NO_FATAL_FAILURE(writeLegacy(strNew));
    const std::string strBefore = readFile(kJsonFile);
    ASSERT_NO_FATAL_FAILURE(startDaemon());
    ASSERT_TRUE(waitUntil([] { return canConnect(kLegacyPort); }, 20000)) << m_d.output();
    EXPECT_FALSE(canConnect(18182));
    EXPECT_EQ(3u, states(kLegacyPort, "s3cret").size());
    EXPECT_EQ(strNew, readFile(kLegacyFile));
    EXPECT_EQ(strBefore, readFile(kJsonFile));
    ASSERT_NO_FATAL_FAILURE(stopDaemon());
}

TEST_F(LegacyDaemonTest, FirstStartWithNeitherFileWritesTheDefaults)
{
    ASSERT_NO_FATAL_FAILURE(startDaemon());
    cJSON* json = cJSON_Parse(readFile(kJsonFile).c_str());
    ASSERT_NE(nullptr, json) << readFile(kJsonFile);
    EXPECT_TRUE(numberAt(json, {"global", "log"}, 0));
    EXPECT_TRUE(numberAt(json, {"global", "httpPort"}, 8888));
    EXPECT_TRUE(numberAt(json, {"global", "rtspPort"}, 0));
    EXPECT_TRUE(numberAt(json, {"global", "autoRestart"}, 0));
    EXPECT_TRUE(cJSON_IsTrue(itemAt(json, {"global", "autoRun"})));
    EXPECT_EQ("", textAt(json, {"global", "loginPass"}));
    EXPECT_EQ(16, cJSON_GetArraySize(cJSON_GetObjectItem(json, "channels")));
    cJSON_Delete(json);
    EXPECT_FALSE(exists(kLegacyFile));

    ASSERT_TRUE(waitUntil([] { return canConnect(8888); }, 20000)) << m_d.output();
    EXPECT_TRUE(states(8888, "").empty());
    ASSERT_NO_FATAL_FAILURE(stopDaemon());
    /* The empty channels were dropped at the reload, so the save at exit has none. */
    json = cJSON_Parse(readFile(kJsonFile).c_str());
    ASSERT_NE(nullptr, json) << readFile(kJsonFile);
    EXPECT_EQ(0, cJSON_GetArraySize(cJSON_GetObjectItem(json, "channels")));
    EXPECT_TRUE(numberAt(json, {"global", "autoRestart"}, 0));
    cJSON_Delete(json);
}

TEST_F(LegacyDaemonTest, ConfigurationFolderThatCannotBeWrittenKeepsTheLegacyFile)
{
    const std::string strLegacy = legacyText(m_d.dir());
    ASSERT_NO_FATAL_FAILURE(writeLegacy(strLegacy));
    ASSERT_EQ(0, mount("/etc/ruxod", "/etc/ruxod", nullptr, MS_BIND, nullptr));
    ASSERT_EQ(0, mount(nullptr, "/etc/ruxod", nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr));

    ASSERT_NO_FATAL_FAILURE(startDaemon());
    const std::string strOut = m_d.output();
    EXPECT_NE(std::string::npos, strOut.find("Configuration file /etc/ruxod/ruxod.json could not be written; "
                                             "/etc/ruxod/ruxod.conf is kept and the daemon runs without a "
                                             "configuration"))
        << strOut;
    EXPECT_EQ(strLegacy, readFile(kLegacyFile));
    EXPECT_FALSE(exists(kJsonFile));
    /* Without a tree the web server takes its default port. */
    EXPECT_TRUE(waitUntil([] { return canConnect(8888); }, 20000)) << m_d.output();
    EXPECT_TRUE(m_d.alive());
    ASSERT_NO_FATAL_FAILURE(stopDaemon());
    EXPECT_EQ(strLegacy, readFile(kLegacyFile));
    EXPECT_FALSE(exists(kJsonFile));
    umount2("/etc/ruxod", MNT_DETACH);
}

/* A legacy file that yields no setting and no channel block is not converted: it stays as it is,
 * no configuration file is written, and the daemon runs without a configuration (this host only,
 * the download naming the file) instead of on the defaults, open to the network. */
TEST_F(LegacyDaemonTest, LegacyFileOfWhichNothingIsUnderstoodIsKept)
{
    std::string strUtf16 = "\xff\xfe";
    for (char c : std::string("HTTPPort 18181\nLoginPass s3cret\n<Slot1>\nEnable 1\n</Slot1>\n")) {
        strUtf16 += c;
        strUtf16 += '\0';
    }
    std::string strRandom;
    unsigned int uSeed = 27;
    for (int i = 0; i < 4096; i++) {
        uSeed = uSeed * 1103515245u + 12345u;
        strRandom += (char)(uSeed >> 16);
    }
    struct Case {
        const char* szName;
        std::string strText;
    } cases[] = {{"UTF-16", strUtf16}, {"random bytes", strRandom}, {"empty", ""}};
    std::string strOut;
    ASSERT_EQ(runCommand({"ip", "addr", "add", "192.0.2.1/32", "dev", "lo"}, &strOut), 0) << strOut;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.szName);
        if (c.szName != cases[0].szName) {
            m_d.killAll();
            std::string strErr;
            ASSERT_TRUE(m_d.setUp(Transcoder::Fake, &strErr)) << strErr;
        }
        ASSERT_NO_FATAL_FAILURE(writeLegacy(c.strText));
        ASSERT_NO_FATAL_FAILURE(startDaemon());
        const std::string strReason = std::string("nothing in the legacy configuration file ") + kLegacyFile +
                                      " could be understood";
        EXPECT_EQ(countOf(m_d.output(), std::string("Nothing in the legacy configuration file ") + kLegacyFile), 1u)
            << m_d.output();
        EXPECT_FALSE(exists(kJsonFile));
        EXPECT_FALSE(exists(kConvertedFile));
        EXPECT_EQ(readFile(kLegacyFile), c.strText);

        /* This host only, told why. */
        ASSERT_TRUE(waitUntil([] { return canConnect(8888); }, 20000)) << m_d.output();
        CurlReply r = curlRun({"http://127.0.0.1:8888/config"});
        EXPECT_EQ(r.nStatus, 503);
        EXPECT_EQ(r.strBody, strReason);
        EXPECT_EQ(curlRun({"--interface", "192.0.2.1", "http://192.0.2.1:8888/status"}).nStatus, 0);
        EXPECT_EQ(curlRun({"http://127.0.0.1:8888/status"}).nStatus, 200);

        ASSERT_NO_FATAL_FAILURE(stopDaemon());
        EXPECT_FALSE(exists(kJsonFile));
        EXPECT_EQ(readFile(kLegacyFile), c.strText);
    }
}
