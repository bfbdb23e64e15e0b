/* test_channel.cpp -- channel start, preview, stop, state and status from JSON configurations,
 * checked through the exact command line that a scripted fake transcoder receives from the engine.
 *
 * The engine runs with a temporary transcoder folder whose "ruxod.so" is a small wrapper: with
 * RUXO_TEST_PROGRESS set it prints that progress text once and idles; otherwise it runs the shared
 * fake transcoder, which records the line it reads into $RUXO_FAKE_OUT. */
#include <gtest/gtest.h>

#include <time.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <sstream>
#include <thread>

#include "channel_test_util.h"
#include "ruxo.h"
#include "ruxo_channel.h"
#include "ruxo_config.h"
#include "ruxo_internal.h"

#ifndef RUXO_FAKE_TRANSCODER
#error "RUXO_FAKE_TRANSCODER must name the shared fake transcoder script"
#endif

namespace {

const std::string kToken = RUXO_ACCESS_TOKEN " ";

/* One engine for the whole run: a temporary transcoder folder and data folder. */
class EngineEnv : public ::testing::Environment {
public:
    void SetUp() override
    {
        ASSERT_FALSE(m_tmp.path().empty());
        binDir = m_tmp.file("bin");
        dataDir = m_tmp.file("data");
        makeDir(binDir);
        makeDir(dataDir);
        makeDir(dataDir + "/log");
        std::string strWrapper = binDir + "/" RUXO_TRANSCODER_NAME;
        writeFile(strWrapper,
                  "#!/bin/sh\n"
                  "if [ -n \"$RUXO_TEST_PROGRESS\" ]; then\n"
                  "  IFS= read -r line\n"
                  "  trap 'exit 0' INT\n"
                  "  printf '%s\\r' \"$RUXO_TEST_PROGRESS\"\n"
                  "  while :; do sleep 0.1; done\n"
                  "fi\n"
                  "exec /bin/sh '" RUXO_FAKE_TRANSCODER "'\n");
        ASSERT_EQ(chmod(strWrapper.c_str(), 0755), 0);
        RUXO_CONFIG cfg;
        memset(&cfg, 0, sizeof(cfg));
        cfg.nLogLevel = 0; /* no "-v" prefix: the line is exactly what the channel layer built */
        cfg.pszDllPath = binDir.c_str();
        cfg.pszDataPath = dataDir.c_str();
        ASSERT_EQ(ruxoInitA(&cfg), 0);
    }
    void TearDown() override { ruxoFree(); }
    static std::string binDir, dataDir;

private:
    TempDir m_tmp{"channel"};
};
std::string EngineEnv::binDir, EngineEnv::dataDir;

::testing::Environment* const g_env = ::testing::AddGlobalTestEnvironment(new EngineEnv);

std::string q(const std::string& s)
{
    return "\"" + s + "\"";
}

/* A channel object: its sources and targets (JSON texts), with more input and output members. */
std::string channelJson(const std::string& strSources, const std::string& strTargets,
                        const std::string& strInputMore = "", const std::string& strOutputMore = "")
{
    return R"({"enable":false,"input":{"sources":[)" + strSources + "]" + strInputMore + R"(},"output":{"targets":[)" +
           strTargets + "]" + strOutputMore + "}}";
}

/* The simplest valid target: audio and video off, so the engine adds only "-an -vn ". */
std::string udpTarget(const std::string& strMore = "", const std::string& strAudio = R"({"codec":"aac"})")
{
    return R"({"format":"udp","url":"udp://127.0.0.1:5000","audio":)" + strAudio + strMore + "}";
}
const std::string kUdpTargetLine = "-an -vn -f mpegts udp://127.0.0.1:5000 ";
const std::string kUdpSource = R"({"format":"udp","url":"udp://127.0.0.1:1234"})";
const std::string kUdpSourceLine = "-i \"udp://127.0.0.1:1234\" ";

/* A source of format "file" that reads strPath, a file or a folder. */
std::string fileSource(const std::string& strPath)
{
    return R"({"format":"file","url":")" + strPath + R"("})";
}

/* Creates the folder strDir holding the named files; returns their names in listing order. */
std::vector<std::string> makeMedia(const std::string& strDir, const std::vector<std::string>& names)
{
    makeDir(strDir);
    for (const std::string& strName : names)
        writeFile(strDir + "/" + strName);
    return listingOrder(strDir);
}

class ChannelTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_FALSE(tmp.path().empty());
        out = tmp.file("fake.out");
        setenv("RUXO_FAKE_OUT", out.c_str(), 1);
        unsetenv("RUXO_FAKE_MODE");
        unsetenv("RUXO_TEST_PROGRESS");
    }
    void TearDown() override
    {
        for (int i = 0; i < RUXO_MAX_SLOTS; i++)
            ruxoStop(i, 1);
        pollUntil([] {
            for (int i = 0; i < RUXO_MAX_SLOTS; i++)
                if (ruxoGetState(i) != RUXO_STATE_IDLE)
                    return false;
            return true;
        });
        /* Forget this test's state files and lists: an empty folder empties each playlist. */
        std::string strEmpty = tmp.file("no-media");
        makeDir(strEmpty);
        std::lock_guard<std::recursive_mutex> guard(g_configLock);
        for (int i = 0; i < 64; i++) {
            g_ruxoPlaylists[i].init("");
            g_ruxoPlaylists[i].build(strEmpty.c_str(), FALSE, FALSE, TRUE);
        }
        unsetenv("RUXO_FAKE_OUT");
    }
    /* Installs a configuration of the given "global" members and channels. */
    void setConfig(const std::string& strGlobal, const std::vector<std::string>& channels)
    {
        std::string strJson = "{\"global\":{" + strGlobal + "},\"channels\":[";
        for (size_t i = 0; i < channels.size(); i++)
            strJson += (i ? "," : "") + channels[i];
        strJson += "]}";
        std::lock_guard<std::recursive_mutex> guard(g_configLock);
        ASSERT_NE(ruxoSetConfig(strJson.c_str()), nullptr) << strJson;
        ASSERT_EQ(jsonGetArraySize(jsonGetItem(g_jsonConfig, "channels")), (int)channels.size())
            << "a fixture channel was dropped as invalid: " << strJson;
    }
    /* Polls the engine until cond holds; false after about 5 s. */
    static bool pollUntil(const std::function<bool()>& cond)
    {
        long long tmEnd = ruxotest::nowMs() + 20000;
        while (ruxotest::nowMs() < tmEnd) {
            ruxoPoll();
            if (cond())
                return true;
            usleep(10000);
        }
        ruxoPoll();
        return cond();
    }
    /* The command line that the fake recorded for its n-th start (token removed). */
    std::string recordedLine(size_t n = 0)
    {
        std::string strLine;
        pollUntil([&] {
            std::istringstream in(readFile(out));
            std::string strRec;
            size_t k = 0;
            while (std::getline(in, strRec)) {
                size_t pos = strRec.find(" line ");
                if (pos == std::string::npos)
                    continue;
                if (k++ == n) {
                    strLine = strRec.substr(pos + 6);
                    return true;
                }
            }
            return false;
        });
        EXPECT_EQ(strLine.compare(0, kToken.size(), kToken), 0) << "no line recorded: " << strLine;
        return strLine.size() >= kToken.size() ? strLine.substr(kToken.size()) : strLine;
    }
    /* Starts channel 0 of a one-channel configuration and returns the line it ran. */
    std::string startLine(const std::string& strGlobal, const std::string& strChannel)
    {
        setConfig(strGlobal, {strChannel});
        int nResult = ruxoStartChannel(0);
        EXPECT_EQ(nResult, 0);
        if (nResult != 0)
            return "(start failed " + std::to_string(nResult) + ")";
        return recordedLine();
    }
    void stopAndWait(int iChannel)
    {
        ruxoStopChannel(iChannel, 1);
        EXPECT_TRUE(pollUntil([&] { return ruxoGetState(iChannel) == RUXO_STATE_IDLE; }));
    }
    TempDir tmp{"channel"};
    std::string out;
};

TEST_F(ChannelTest, SourceKinds)
{
    std::string strFile = tmp.file("in.ts");
    struct Case {
        const char* szName;
        std::string strGlobal, strSources, strInputMore, strSourceLine;
    } cases[] = {
        {"local file loops while autoRestart is on", R"("autoRestart":5)", fileSource(strFile), "",
         "-stream_loop -1  -re -i " + q(strFile) + " "},
        {"local file without autoRestart", R"("autoRestart":0)", fileSource(strFile), "", "-re -i " + q(strFile) + " "},
        {"network stream", R"("autoRestart":5)", kUdpSource, "", kUdpSourceLine},
        {"ftp counts as a local file", R"("autoRestart":5)", R"({"format":"ftp","url":"ftp://127.0.0.1/a.ts"})", "",
         "-stream_loop -1  -re -i \"ftp://127.0.0.1/a.ts\" "},
        {"hls source does not loop", R"("autoRestart":5)", R"({"format":"hls","url":"http://127.0.0.1/a.m3u8"})", "",
         "-re -i \"http://127.0.0.1/a.m3u8\" "},
        {"rtsp over tcp", "", R"({"format":"rtspt","url":"rtspt://127.0.0.1/live"})", "",
         "-rtsp_transport tcp -i \"rtsp://127.0.0.1/live\" "},
        {"decklink", "", R"({"format":"decklink","url":"DeckLink Mini Recorder"})", "",
         "-f decklink -i \"DeckLink Mini Recorder\" "},
        {"ndi", "", R"({"format":"ndi","url":"HOST [Cam 1]"})", "", "-f libndi_newtek -i \"HOST [Cam 1]\" "},
        {"video device", "", R"({"format":"device","url":"/dev/video0?input_format=mjpeg"})", "",
         "-f v4l2 -input_format mjpeg -i /dev/video0 "},
        {"options of two sources go to source 0, then input options, custom options last", R"("autoRestart":0)",
         R"({"format":"file","url":")" + strFile +
             R"(","video":{"options":["-ss 5","",7]}},)"
             R"({"format":"udp","url":"udp://127.0.0.1:1234","video":{"options":["-probesize 32"]}})",
         R"(,"formatOptions":["-fflags +genpts"],"customOptions":"-thread_queue_size 512")",
         "-ss 5 -probesize 32 -fflags +genpts -thread_queue_size 512 -re -i " + q(strFile) + " " + kUdpSourceLine},
    };
    for (const Case& c : cases) {
        unlink(out.c_str());
        std::string strLine = startLine(c.strGlobal, channelJson(c.strSources, udpTarget(), c.strInputMore));
        EXPECT_EQ(strLine, c.strSourceLine + kUdpTargetLine) << c.szName;
        stopAndWait(0);
    }
}

TEST_F(ChannelTest, CuvidDecoderResizesAndDeinterlaces)
{
    std::string strSource = R"({"format":"udp","url":"udp://127.0.0.1:1234","video":{"options":)"
                            R"(["-hwaccel cuvid -hwaccel_output_format cuda","-c:v h264_cuvid"]}})";
    std::string strVideo = R"(,"video":{"width":1280,"height":720,"scanType":1})";
    std::string strParams = "-hwaccel cuvid -hwaccel_output_format cuda -c:v h264_cuvid ";
    struct Case {
        const char* szName;
        std::string strTargets, strSourceParams;
        int nTargets;
    } cases[] = {
        {"one target", udpTarget(strVideo), strParams + "-resize 1280x720 -deint adaptive -re", 1},
        {"two targets: no resize", udpTarget(strVideo) + "," + udpTarget(), strParams + "-deint adaptive -re", 2},
        {"no width", udpTarget(R"(,"video":{"height":720})"), strParams + "-re", 1},
    };
    for (const Case& c : cases) {
        unlink(out.c_str());
        std::string strLine = startLine("", channelJson(strSource, c.strTargets, R"(,"customOptions":"-re")"));
        std::string strExpected = c.strSourceParams + " " + kUdpSourceLine;
        for (int i = 0; i < c.nTargets; i++)
            strExpected += kUdpTargetLine;
        EXPECT_EQ(strLine, strExpected) << c.szName;
        stopAndWait(0);
    }
}

TEST_F(ChannelTest, TargetKinds)
{
    const std::string strCert = R"("sslCert":"/etc/ssl/c.pem","sslKey":"/etc/ssl/k.pem")";
    const std::string strOff = "-an -vn ";
    struct Case {
        const char* szName;
        std::string strGlobal, strTarget, strTargetLine;
    } cases[] = {
        {"rtmp with credentials, flash version and swf url", "",
         R"({"format":"rtmp","url":"rtmp://127.0.0.1/live/cam1","audio":{"codec":"aac"},)"
         R"("rtmp":{"user":"u","passwd":"p","flashVer":"FMLE/3.0"}})",
         strOff +
             "-rtmp_flashver FMLE/3.0 -rtmp_swfurl rtmp://127.0.0.1/live -f flv \"rtmp://u:p@127.0.0.1/live/cam1\" "},
        {"rtmps user without password, one path element: no swf url", "",
         R"({"format":"rtmp","url":"RTMPS://127.0.0.1/app","audio":{"codec":"aac"},"rtmp":{"user":"u"}})",
         strOff + "-f flv \"RTMPS://u@127.0.0.1/app\" "},
        {"password without user changes nothing; configured swf url", "",
         R"({"format":"rtmp","url":"rtmpte://127.0.0.1/a/b","audio":{"codec":"aac"},)"
         R"("rtmp":{"passwd":"p","swfUrl":"http://127.0.0.1/p.swf"}})",
         strOff + "-rtmp_swfurl http://127.0.0.1/p.swf -f flv \"rtmpte://127.0.0.1/a/b\" "},
        {"file without a dot keeps its name", "", R"({"format":"file","url":"/rec/cam","audio":{"codec":"aac"}})",
         strOff + "-y \"/rec/cam\" "},
        {"udp to a local path gets no time stamp", "",
         R"({"format":"udp","url":"/rec/cam.ts","audio":{"codec":"aac"}})", strOff + "-f mpegts /rec/cam.ts "},
        {"http", "", R"({"format":"http","url":"http://0.0.0.0:8080/live","audio":{"codec":"aac"}})",
         strOff + "-c:s copy -f mpegts http://0.0.0.0:8080/live "},
        {"mp4 over http", "", R"({"format":"httpmp4","url":"http://0.0.0.0:8081","audio":{"codec":"aac"}})",
         strOff + "-movflags dash -f mp4 http://0.0.0.0:8081/1.mp4 "},
        {"mjpeg over http", "", R"({"format":"httpmjpg","url":"http://0.0.0.0:8082","audio":{"codec":"aac"}})",
         strOff + "-f mjpeg http://0.0.0.0:8082/1.mjpg "},
        {"rtp mpegts", "", R"({"format":"rtpts","url":"rtp://239.0.0.1:5000","audio":{"codec":"aac"}})",
         strOff + "-f rtp_mpegts rtp://239.0.0.1:5000 "},
        {"srt", "", R"({"format":"srt","url":"srt://127.0.0.1:7000","audio":{"codec":"aac"}})",
         strOff + "-f mpegts srt://127.0.0.1:7000 "},
        {"hls", "", R"({"format":"hls","url":"/out/live.m3u8","audio":{"codec":"aac"}})",
         strOff + "-f hls -y \"/out/live.m3u8\" "},
        {"dash", "", R"({"format":"dash","url":"/out/live.mpd","audio":{"codec":"aac"}})",
         strOff + "-f dash -y \"/out/live.mpd\" "},
        {"decklink", "", R"({"format":"decklink","url":"DeckLink Mini Monitor","audio":{"codec":"aac"}})",
         strOff + "-f decklink \"DeckLink Mini Monitor\" "},
        {"ndi", "", R"({"format":"ndi","url":"ruxo out","audio":{"codec":"aac"}})",
         strOff + "-f libndi_newtek \"ruxo out\" "},
        {"native rtp", "", R"({"format":"rtp_native","url":"","audio":{"codec":"aac"}})",
         "-vn -sdp_file " + q(EngineEnv::dataDir + "/log/ruxo_001_out.sdp") + " "},
        {"https target gets certificate and key, sslEnable off", R"("sslEnable":false,)" + strCert,
         R"({"format":"hls","url":"HTTPS://127.0.0.1/up/live.m3u8","audio":{"codec":"aac"}})",
         strOff +
             "-user_agent \"/etc/ssl/c.pem\" -referer \"/etc/ssl/k.pem\" -f hls -y \"HTTPS://127.0.0.1/up/live.m3u8\" "},
        {"https target without certificate settings", "",
         R"({"format":"hls","url":"https://127.0.0.1/up/live.m3u8","audio":{"codec":"aac"}})",
         strOff + "-user_agent \"\" -referer \"\" -f hls -y \"https://127.0.0.1/up/live.m3u8\" "},
        {"mux bit rate with cbr", "", udpTarget(R"(,"mux":{"bitRate":3000,"cbr":true})"),
         strOff + "-bitrate 3000k  -f mpegts udp://127.0.0.1:5000 "},
        {"mux bit rate without cbr", "", udpTarget(R"(,"mux":{"bitRate":3000,"cbr":false})"), kUdpTargetLine},
        {"video and audio options without filters: two blanks", "",
         udpTarget(R"(,"video":{"options":["-preset:v faster"]})", R"({"codec":"aac","options":["-b:a 128k"]})"),
         strOff + "-preset:v faster  -b:a 128k -f mpegts udp://127.0.0.1:5000 "},
    };
    for (const Case& c : cases) {
        unlink(out.c_str());
        std::string strLine = startLine(c.strGlobal, channelJson(kUdpSource, c.strTarget));
        EXPECT_EQ(strLine, kUdpSourceLine + c.strTargetLine) << c.szName;
        stopAndWait(0);
    }
}

TEST_F(ChannelTest, OptionStringOrderAndFilterChain)
{
    /* The hardware decoder in the source options brings the download filter. */
    std::string strSource = R"({"format":"udp","url":"udp://127.0.0.1:1234","video":{"options":["-hwaccel cuvid"]}})";
    std::string strTarget = udpTarget(R"(,"video":{"options":["-preset:v faster"]})",
                                      R"({"codec":"aac","options":["-b:a 128k"]})");
    std::string strOutput = R"(,"mapOptions":["0:v","","0:a"],"formatOptions":["-hls_time 4"],)"
                            R"("filters":["scale=1280:720"],"customOptions":"-metadata title=x")";
    std::string strLine = startLine("", channelJson(strSource, strTarget, "", strOutput));
    EXPECT_EQ(strLine, "-hwaccel cuvid  " + kUdpSourceLine + "-an -vn " +
                           "-map 0:v -map 0:a -hls_time 4 -preset:v faster -filter:v "
                           "\"[in] hwdownload,format=nv12 [hwdl]; [hwdl]scale=1280\\:720 [out]\" "
                           "-b:a 128k -metadata title=x -f mpegts udp://127.0.0.1:5000 ");
}

TEST_F(ChannelTest, FilterItemsAreEscapedAndCannotBreakTheLine)
{
    /* ':' and '\' are escaped; a double quote is dropped and CR/LF become blanks; an item holding
     * "[out]" ends the chain itself. */
    std::string strOutput = R"(,"filters":["drawtext=text='a:b\\c'","x\"y\r\nz","[0][1]overlay[out]"])";
    std::string strLine = startLine("", channelJson(kUdpSource, udpTarget(), "", strOutput));
    EXPECT_EQ(strLine, kUdpSourceLine + "-an -vn " +
                           "-filter:v \"[in] drawtext=text='a\\:b\\\\c', xy  z, [0][1]overlay[out]\" "
                           "-f mpegts udp://127.0.0.1:5000 ");
    EXPECT_EQ(strLine.find('\n'), std::string::npos);
}

TEST_F(ChannelTest, FileTargetGetsLocalTimeStampBeforeLastDot)
{
    time_t tmBefore = time(nullptr);
    std::string strLine = startLine(
        "", channelJson(kUdpSource, R"({"format":"file","url":"/rec.d/cam1","audio":{"codec":"aac"}},)"
                                    R"({"format":"file","url":"/rec/cam1.ts","audio":{"codec":"aac"}})"));
    time_t tmAfter = time(nullptr);
    bool bMatched = false;
    for (time_t t = tmBefore; t <= tmAfter && !bMatched; t++) {
        struct tm tmLocal;
        localtime_r(&t, &tmLocal);
        char sz[32];
        strftime(sz, sizeof(sz), "-%Y%m%d-%H%M%S", &tmLocal);
        bMatched = strLine ==
                   kUdpSourceLine + "-an -vn -y \"/rec" + sz + ".d/cam1\" " + "-an -vn -y \"/rec/cam1" + sz + ".ts\" ";
    }
    EXPECT_TRUE(bMatched) << strLine;
}

TEST_F(ChannelTest, MultiTargetKeepsOrderAndOwnOptions)
{
    std::string strTargets = udpTarget(R"(,"video":{"options":["-tag first"]})") + "," +
                             R"({"format":"http","url":"http://0.0.0.0:8080/b","audio":{"codec":"aac"},)"
                             R"("video":{"options":["-tag second"]}})";
    std::string strLine = startLine("", channelJson(kUdpSource, strTargets, "", R"(,"mapOptions":["0"])"));
    /* Each option string ends with the blank that would join a filter chain, then the engine's. */
    EXPECT_EQ(strLine, kUdpSourceLine + "-an -vn -map 0 -tag first  -f mpegts udp://127.0.0.1:5000 " +
                           "-an -vn -map 0 -tag second  -c:s copy -f mpegts http://0.0.0.0:8080/b ");
}

TEST_F(ChannelTest, LongTextsAreNotCut)
{
    /* Longer than any fixed 1000- or 2000-character buffer; only the engine's line limit caps. */
    std::string strUrl = "udp://127.0.0.1:5000?pkt_size=1316&x=" + std::string(1500, 'u');
    std::string strOption = "-metadata comment=" + std::string(2100, 'o');
    std::string strTarget = R"({"format":"udp","url":")" + strUrl + R"(","audio":{"codec":"aac"}})";
    std::string strLine = startLine("",
                                    channelJson(kUdpSource, strTarget, "", R"(,"customOptions":")" + strOption + "\""));
    EXPECT_EQ(strLine, kUdpSourceLine + "-an -vn " + strOption + " -f mpegts " + strUrl + " ");
}

TEST_F(ChannelTest, FolderSourcePlaysPlaylistFiles)
{
    std::string strMedia = tmp.file("media");
    std::vector<std::string> order = makeMedia(strMedia, {"a.ts", "b.ts"});
    std::string strPls = tmp.file("ruxo_001.pls");
    g_ruxoPlaylists[0].init(strPls.c_str());

    std::string strChannel = channelJson(fileSource(strMedia + "/"), udpTarget());
    /* A folder never gets "-stream_loop", whatever "autoRestart" says. */
    std::string strLine = startLine(R"("autoRestart":5)", strChannel);
    EXPECT_EQ(strLine, "-re -i " + q(strMedia + "/" + order[0]) + " " + kUdpTargetLine);
    EXPECT_EQ(readFile(strPls).rfind("current " + strMedia + "/" + order[0] + "\n", 0), 0u);

    /* While the slot is busy a start is refused before the playlist is rebuilt and saved. */
    unlink(strPls.c_str());
    EXPECT_EQ(ruxoStartChannel(0), -3);
    EXPECT_FALSE(fileExists(strPls));
    stopAndWait(0);

    /* The daemon moves on, and the next start plays the next file. */
    {
        std::lock_guard<std::recursive_mutex> guard(g_configLock);
        g_ruxoPlaylists[0].MoveNext(TRUE);
    }
    ASSERT_EQ(ruxoStartChannel(0), 0);
    EXPECT_EQ(recordedLine(1), "-re -i " + q(strMedia + "/" + order[1]) + " " + kUdpTargetLine);
}

TEST_F(ChannelTest, EmptyFolderIsRefusedWithoutStart)
{
    std::string strEmpty = tmp.file("empty");
    makeDir(strEmpty);
    setConfig("", {channelJson(fileSource(strEmpty), udpTarget())});
    EXPECT_EQ(ruxoStartChannel(0), -7);
    EXPECT_EQ(ruxoPreviewChannel(0), -7);
    EXPECT_EQ(ruxoGetState(0), RUXO_STATE_IDLE);
    EXPECT_FALSE(fileExists(out));
}

TEST_F(ChannelTest, ChannelsAbove15PlayFoldersFromMemory)
{
    std::string strMedia = tmp.file("media");
    makeMedia(strMedia, {"clip07.mp4"});
    std::vector<std::string> channels(20, channelJson(kUdpSource, udpTarget()));
    channels.push_back(channelJson(fileSource(strMedia), udpTarget()));
    setConfig(R"("autoRestart":0)", channels);
    ASSERT_EQ(ruxoStartChannel(20), 0);
    EXPECT_EQ(recordedLine(), "-re -i " + q(strMedia + "/clip07.mp4") + " " + kUdpTargetLine);
    char szStatus[100] = "RUNNING";
    ruxoGetChannelStatus(20, szStatus, sizeof(szStatus));
    EXPECT_STREQ(szStatus, "clip07.mp4");
}

TEST_F(ChannelTest, IndexTheTreeDoesNotHoldIsInvalid)
{
    setConfig("", {channelJson(kUdpSource, udpTarget())});
    for (int i : {1, 15, 63, 64, -1}) {
        EXPECT_EQ(ruxoStartChannel(i), -2) << i;
        EXPECT_EQ(ruxoPreviewChannel(i), -2) << i;
    }
    usleep(100000);
    ruxoPoll();
    for (int i = 0; i < RUXO_MAX_SLOTS; i++)
        EXPECT_EQ(ruxoGetState(i), RUXO_STATE_IDLE) << i;
    EXPECT_FALSE(fileExists(out));
}

TEST_F(ChannelTest, StartOfRunningChannelIsBusy)
{
    setConfig("", {channelJson(kUdpSource, udpTarget())});
    ASSERT_EQ(ruxoStartChannel(0), 0);
    EXPECT_EQ(ruxoGetChannelState(0), RUXO_STATE_RUNNING);
    EXPECT_EQ(ruxoStartChannel(0), -3);
    EXPECT_EQ(ruxoPreviewChannel(0), -3);
    ruxoStopChannel(0, 0);
    EXPECT_NE(ruxoGetChannelState(0), RUXO_STATE_RUNNING);
    EXPECT_TRUE(pollUntil([] { return ruxoGetChannelState(0) == RUXO_STATE_IDLE; }));
}

/* The hold of the children of HeldStartHoldsNoLock: a pipe that they read before their exec. */
int g_fdHold[2] = {-1, -1};
void holdChild(void)
{
    char c;
    close(g_fdHold[1]);
    while (read(g_fdHold[0], &c, 1) < 0 && errno == EINTR) {
    }
}

/* A start whose transcoder is slow to get going (held before its exec) returns without waiting for
 * it and holds nothing that the status, the poll, another start or a stop needs; the held
 * transcoder counts as running, and a stop reaches it. */
TEST_F(ChannelTest, StartHeldBeforeItsExecHoldsNoLock)
{
    setConfig("", {channelJson(kUdpSource, udpTarget()), channelJson(kUdpSource, udpTarget())});
    ASSERT_EQ(pipe(g_fdHold), 0);
    _ruxoSetChildHook(holdChild);
    for (int i = 0; i < 2; i++) {
        SCOPED_TRACE(i);
        std::atomic<bool> bReturned(false);
        std::atomic<int> nResult(1);
        long long tmLaunch = ruxotest::nowMs();
        std::thread starter([&] {
            nResult = ruxoStartChannel(i);
            bReturned = true;
        });
        /* Concurrently with the start: the status, the state and the poll. */
        char szStatus[100] = "";
        ruxoGetChannelStatus(i, szStatus, sizeof szStatus);
        ruxoGetChannelState(i);
        ruxoPoll();
        ruxotest::waitUntil([&] { return bReturned.load(); }, 20000);
        /* A start that waited for the exec report would take its 5 s here. */
        EXPECT_LT(ruxotest::nowMs() - tmLaunch, 2500) << "the start waited for its child's exec";
        starter.join();
        EXPECT_EQ(nResult, 0);
        EXPECT_EQ(ruxoGetChannelState(i), RUXO_STATE_RUNNING);
        EXPECT_EQ(ruxoStartChannel(i), -3);
    }
    /* A stop reaches a transcoder that has not run its exec yet. */
    ruxoStopChannel(1, 0);
    EXPECT_TRUE(pollUntil([] { return ruxoGetChannelState(1) == RUXO_STATE_IDLE; }));
    /* Let the other held child go: it runs the transcoder and reads its line. */
    _ruxoSetChildHook(nullptr);
    close(g_fdHold[1]);
    close(g_fdHold[0]);
    EXPECT_FALSE(recordedLine().empty());
    EXPECT_EQ(ruxoGetChannelState(0), RUXO_STATE_RUNNING);
    stopAndWait(0);
}

TEST_F(ChannelTest, PreviewLine)
{
    std::string strFile = tmp.file("in.ts");
    std::string strSource = R"({"format":"file","url":")" + strFile +
                            R"(","video":{"options":)"
                            R"(["-HWACCEL qsv","-hwaccel_device 1","-c:v h264_qsv","-gpu 1"]}},)" +
                            kUdpSource;
    std::string strOutput = R"(,"mapOptions":["0:0"],"formatOptions":["-hls_time 4"],"filters":["scale=2:2"],)"
                            R"("customOptions":"-ignored")";
    const std::string strTargetTail = "-c:a aac -c:v libx264 -crf 23 -s 320x240 -g 5 -sc_threshold 0 ";
    struct Case {
        const char* szName;
        std::string strGlobal, strTargetParams, strDst;
    } cases[] = {
        {"plain", R"("sslEnable":false,"sslCert":"/c.pem","sslKey":"/k.pem")", "-map 0:0", "http://0.0.0.0:9527"},
        {"https", R"("sslEnable":true,"sslCert":"/c.pem","sslKey":"/k.pem")",
         "-map 0:0 -user_agent \"/c.pem\" -referer \"/k.pem\"", "https://0.0.0.0:9527"},
    };
    for (const Case& c : cases) {
        unlink(out.c_str());
        setConfig(c.strGlobal,
                  {channelJson(strSource, udpTarget(), R"(,"formatOptions":["-fflags +genpts"],"customOptions":"-no")",
                               strOutput)});
        ASSERT_EQ(ruxoPreviewChannel(0), 0);
        EXPECT_EQ(ruxoGetChannelState(0), RUXO_STATE_PREVIEW);
        EXPECT_EQ(recordedLine(), "-c:v h264_qsv -gpu 1 -stream_loop -1 -fflags +genpts  -re -i " + q(strFile) + " " +
                                      strTargetTail + c.strTargetParams +
                                      " -pix_fmt yuv420p -preset:v faster -movflags dash -f mp4 " + c.strDst +
                                      "/1.mp4 ")
            << c.szName;
        ruxoStopChannel(0, 0);
        EXPECT_TRUE(pollUntil([] { return ruxoGetChannelState(0) == RUXO_STATE_IDLE; }));
    }
}

TEST_F(ChannelTest, StatusTexts)
{
    struct Case {
        const char* szName;
        const char* szProgress; /* null: the fake stays silent */
        std::string strStatus;
    } cases[] = {
        {"before the first progress line", nullptr, "RUNNING"},
        {"frame rate without time", "frame=   25 fps= 25 q=28.0 size=N/A time=N/A bitrate=N/A speed=N/A",
         "RUNNING25fps"},
        {"all three counters",
         "frame=  100 fps= 25 q=28.0 size=     256kB time=01:02:03.00 bitrate=1500.0kbits/s speed=1x",
         "01:02:03   25fps@1500Kbps"},
        {"hours do not wrap", "frame=  100 fps= 30 q=28.0 size=     256kB time=100:00:00.00 bitrate= 64.0kbits/s",
         "100:00:00   30fps@64Kbps"},
    };
    for (const Case& c : cases) {
        setConfig("", {channelJson(kUdpSource, udpTarget())});
        if (c.szProgress)
            setenv("RUXO_TEST_PROGRESS", c.szProgress, 1);
        else
            setenv("RUXO_FAKE_MODE", "silent", 1);
        ASSERT_EQ(ruxoStartChannel(0), 0);
        char szStatus[100];
        auto status = [&] {
            snprintf(szStatus, sizeof(szStatus), "RUNNING");
            ruxoGetChannelStatus(0, szStatus, sizeof(szStatus));
            return std::string(szStatus);
        };
        if (c.szProgress)
            pollUntil([&] { return status() == c.strStatus; });
        else {
            usleep(200000);
            ruxoPoll();
        }
        EXPECT_EQ(status(), c.strStatus) << c.szName;
        unsetenv("RUXO_TEST_PROGRESS");
        unsetenv("RUXO_FAKE_MODE");
        stopAndWait(0);
    }
}

TEST_F(ChannelTest, StatusNeverWritesPastItsBuffer)
{
    setConfig("", {channelJson(kUdpSource, udpTarget())});
    setenv("RUXO_TEST_PROGRESS", "frame= 1 fps= 25 q=1 size= 1kB time=01:02:03.00 bitrate=1500.0kbits/s", 1);
    ASSERT_EQ(ruxoStartChannel(0), 0);
    char szFull[100] = "RUNNING";
    pollUntil([&] {
        snprintf(szFull, sizeof(szFull), "RUNNING");
        ruxoGetChannelStatus(0, szFull, sizeof(szFull));
        return strcmp(szFull, "RUNNING") != 0;
    });
    EXPECT_STREQ(szFull, "01:02:03   25fps@1500Kbps");
    char szSmall[12];
    memset(szSmall, '#', sizeof(szSmall));
    memcpy(szSmall, "RUN", 4);
    ruxoGetChannelStatus(0, szSmall, 8);
    EXPECT_STREQ(szSmall, "01:02:0");
    EXPECT_EQ(std::string(szSmall + 8, 4), "####");
    unsetenv("RUXO_TEST_PROGRESS");
}

TEST_F(ChannelTest, FolderStatusIsFileNameCutOnCharacterBoundary)
{
    std::string strMedia = tmp.file("show");
    makeDir(strMedia);
    std::string strName;
    for (int i = 0; i < 60; i++)
        strName += "\xc3\xa4"; /* 'a' with diaeresis, two bytes */
    writeFile(strMedia + "/" + strName);
    setConfig("", {channelJson(fileSource(strMedia), udpTarget())});
    char szStatus[100] = "RUNNING";
    /* Nothing built yet: the caller's text stays. */
    ruxoGetChannelStatus(0, szStatus, sizeof(szStatus));
    EXPECT_STREQ(szStatus, "RUNNING");
    {
        std::lock_guard<std::recursive_mutex> guard(g_configLock);
        ASSERT_EQ(g_ruxoPlaylists[0].build(strMedia.c_str(), FALSE, FALSE, TRUE), 1);
    }
    char szBuf[104];
    memset(szBuf, '#', sizeof(szBuf));
    ruxoGetChannelStatus(0, szBuf, 100);
    EXPECT_EQ(std::string(szBuf), strName.substr(0, 98)) << "99 bytes would end inside a character";
    EXPECT_EQ(std::string(szBuf + 100, 4), "####");
}

/* The status keeps what it read of a channel's source and counters between calls: a configuration
 * that changes the url of a running channel, to a folder and back to a file, changes its status at
 * once, and so does every new progress report. */
TEST_F(ChannelTest, StatusFollowsTheUrlOfARunningChannel)
{
    std::string strMedia = tmp.file("media");
    makeMedia(strMedia, {"clip07.mp4"});
    const std::string strFile = tmp.file("in.ts");
    writeFile(strFile);
    setenv("RUXO_TEST_PROGRESS", "frame=  100 fps= 25 q=28.0 size=     256kB time=01:02:03.00 bitrate=1500.0kbits/s",
           1);
    setConfig("", {channelJson(fileSource(strFile), udpTarget())});
    ASSERT_EQ(ruxoStartChannel(0), 0);
    auto status = [] {
        char szStatus[100] = "RUNNING";
        ruxoGetChannelStatus(0, szStatus, sizeof(szStatus));
        return std::string(szStatus);
    };
    const std::string strCounters = "01:02:03   25fps@1500Kbps";
    EXPECT_TRUE(pollUntil([&] { return status() == strCounters; })) << status();

    /* Now a folder whose playlist has no file yet, then one that has. */
    setConfig("", {channelJson(fileSource(strMedia), udpTarget())});
    EXPECT_EQ(status(), "RUNNING");
    {
        std::lock_guard<std::recursive_mutex> guard(g_configLock);
        ASSERT_EQ(g_ruxoPlaylists[0].build(strMedia.c_str(), FALSE, FALSE, TRUE), 1);
    }
    EXPECT_EQ(status(), "clip07.mp4");
    setConfig("", {channelJson(fileSource(strFile), udpTarget())});
    EXPECT_EQ(status(), strCounters);
    unsetenv("RUXO_TEST_PROGRESS");
    stopAndWait(0);

    /* A new start with other counters. */
    setenv("RUXO_TEST_PROGRESS", "frame=  100 fps= 30 q=28.0 size=     256kB time=00:00:09.00 bitrate=64.0kbits/s", 1);
    ASSERT_EQ(ruxoStartChannel(0), 0);
    EXPECT_TRUE(pollUntil([&] { return status() == "00:00:09   30fps@64Kbps"; })) << status();
    unsetenv("RUXO_TEST_PROGRESS");
}

TEST_F(ChannelTest, ConcurrentStartsStatusAndReplacement)
{
    /* Starts from several threads while another replaces the tree and reads the status: exactly
     * one start wins, the rest find the slot busy, and nothing reads a freed tree or playlist. */
    std::string strMedia = tmp.file("media");
    std::vector<std::string> order = makeMedia(strMedia, {"a.ts", "b.ts", "c.ts"});
    std::string strChannel = channelJson(fileSource(strMedia), udpTarget());
    std::string strJson = "{\"global\":{},\"channels\":[" + strChannel + "]}";
    setConfig("", {strChannel});

    std::atomic<int> nStarted(0), nBusy(0), nOther(0);
    std::atomic<bool> bDone(false);
    std::thread replacer([&] {
        char szStatus[100];
        while (!bDone) {
            {
                std::lock_guard<std::recursive_mutex> guard(g_configLock);
                ruxoSetConfig(strJson.c_str());
            }
            ruxoGetChannelStatus(0, szStatus, sizeof(szStatus));
            ruxoGetChannelState(0);
        }
    });
    std::vector<std::thread> starters;
    for (int i = 0; i < 4; i++) {
        starters.emplace_back([&] {
            int nResult = ruxoStartChannel(0);
            (nResult == 0 ? nStarted : nResult == -3 ? nBusy : nOther)++;
        });
    }
    for (std::thread& t : starters)
        t.join();
    bDone = true;
    replacer.join();
    EXPECT_EQ(nStarted, 1);
    EXPECT_EQ(nBusy, 3);
    EXPECT_EQ(nOther, 0);
    EXPECT_EQ(recordedLine(), "-re -i " + q(strMedia + "/" + order[0]) + " " + kUdpTargetLine);
}

TEST_F(ChannelTest, TargetRecordFieldsFromTheTree)
{
    /* Native RTP shows the addresses, ports and header mode that the start read; a missing "IP"
     * reads as 255.255.255.255, a port keeps its low 16 bits. */
    std::string strRtp =
        R"({"format":"rtp_native","url":"",)"
        R"("video":{"enable":true,"codec":"h264","port":70000,"globalHeader":"OUTOFBAND","frameRate":29.97},)"
        R"("audio":{"enable":true,"codec":"aac","IP":"127.0.0.1","port":5004,"globalHeader":"inBand"}})";
    std::string strLine = startLine("", channelJson(kUdpSource, strRtp));
    EXPECT_NE(strLine.find("-f rtp -flags:a +global_header -rtpflags +latm rtp://127.0.0.1:5004 "), std::string::npos)
        << strLine;
    EXPECT_NE(strLine.find("-r ntsc "), std::string::npos) << "29.97 reaches the engine as that float: " << strLine;
    EXPECT_NE(strLine.find("-an -f rtp -flags +global_header rtp://255.255.255.255:4464 "), std::string::npos)
        << strLine;
    stopAndWait(0);

    /* A frame rate given as text is no frame rate; "inBand" (or any other text) is in-band. */
    unlink(out.c_str());
    strLine = startLine("", channelJson(kUdpSource,
                                        R"({"format":"rtp_native","url":"","video":{"enable":true,"codec":"h264",)"
                                        R"("IP":"127.0.0.2","port":6000,"globalHeader":"inBand","frameRate":"25"}})"));
    EXPECT_EQ(strLine.find("-r "), std::string::npos) << strLine;
    EXPECT_NE(strLine.find("-an -f rtp -flags -global_header rtp://127.0.0.2:6000 "), std::string::npos) << strLine;
    stopAndWait(0);
}

TEST_F(ChannelTest, CountsFromTheTreeAreClampedToFiveRecords)
{
    /* The tree may hold more than five sources or targets when it was changed in place; the start
     * hands the engine the five records that exist. */
    setConfig("", {channelJson(kUdpSource, udpTarget())});
    {
        std::lock_guard<std::recursive_mutex> guard(g_configLock);
        cJSON* jsonChannel = jsonGetArrayItem(jsonGetItem(g_jsonConfig, "channels"), 0);
        cJSON* jsonSources = jsonGetItem(jsonGetItem(jsonChannel, "input"), "sources");
        cJSON* jsonTargets = jsonGetItem(jsonGetItem(jsonChannel, "output"), "targets");
        for (int i = 1; i < 7; i++) {
            cJSON_AddItemToArray(jsonSources, cJSON_Parse(kUdpSource.c_str()));
            cJSON_AddItemToArray(jsonTargets, cJSON_Parse(udpTarget().c_str()));
        }
        ASSERT_EQ(jsonGetArraySize(jsonSources), 7);
        ASSERT_EQ(jsonGetArraySize(jsonTargets), 7);
    }
    ASSERT_EQ(ruxoStartChannel(0), 0);
    std::string strLine = recordedLine();
    std::string strExpected;
    for (int i = 0; i < 5; i++)
        strExpected += kUdpSourceLine;
    for (int i = 0; i < 5; i++)
        strExpected += kUdpTargetLine;
    EXPECT_EQ(strLine, strExpected);
}

/* Start, state and stop of channel N use slot N whatever "timeShift" says; slot N + 16 is channel
 * N + 16's own, and a stop of channel N leaves it running. */
TEST_F(ChannelTest, TimeShiftedChannelUsesItsOwnSlotOnly)
{
    const char* aTimeShifts[] = {"30", "\"30\"", "true", "\"0\"", "false", R"({"cacheTime":30,"cacheFolder":""})"};
    for (const char* szTimeShift : aTimeShifts) {
        SCOPED_TRACE(szTimeShift);
        std::vector<std::string> channels(17, channelJson(kUdpSource, udpTarget()));
        channels[0] = channelJson(kUdpSource, udpTarget(), "", std::string(R"(,"timeShift":)") + szTimeShift);
        setConfig("", channels);
        ASSERT_EQ(ruxoStartChannel(16), 0);
        ASSERT_EQ(ruxoStartChannel(0), 0);
        EXPECT_EQ(ruxoGetChannelState(0), RUXO_STATE_RUNNING);
        EXPECT_EQ(ruxoStartChannel(0), -3) << "slot 0 is busy";
        ruxoStopChannel(0, 0);
        EXPECT_EQ(ruxoGetChannelState(0), RUXO_STATE_STOPPING);
        EXPECT_TRUE(pollUntil([] { return ruxoGetChannelState(0) == RUXO_STATE_IDLE; }));
        EXPECT_EQ(ruxoGetState(16), RUXO_STATE_RUNNING);
        EXPECT_EQ(ruxoGetState(16 + 16), RUXO_STATE_IDLE);
        stopAndWait(16);
    }
}

/* A configuration that drops channels stops the transcoders of the indices it no longer holds, and
 * only those. */
TEST_F(ChannelTest, RemovedChannelsAreStopped)
{
    setConfig("", std::vector<std::string>(4, channelJson(kUdpSource, udpTarget())));
    for (int i = 0; i < 4; i++)
        ASSERT_EQ(ruxoStartChannel(i), 0) << i;
    ruxoStopChannel(3, 0);
    ASSERT_EQ(ruxoGetState(3), RUXO_STATE_STOPPING);
    setConfig("", std::vector<std::string>(2, channelJson(kUdpSource, udpTarget())));
    ruxoStopRemovedChannels();
    EXPECT_EQ(ruxoGetState(0), RUXO_STATE_RUNNING);
    EXPECT_EQ(ruxoGetState(1), RUXO_STATE_RUNNING);
    EXPECT_EQ(ruxoGetState(2), RUXO_STATE_STOPPING);
    EXPECT_TRUE(pollUntil([] { return ruxoGetState(2) == RUXO_STATE_IDLE && ruxoGetState(3) == RUXO_STATE_IDLE; }));
    /* A tree without channels stops them all. */
    setConfig("", {});
    ruxoStopRemovedChannels();
    EXPECT_TRUE(pollUntil([] { return ruxoGetState(0) == RUXO_STATE_IDLE && ruxoGetState(1) == RUXO_STATE_IDLE; }));
}

/* A removed channel's transcoder that ignores the graceful stop is killed once the deadline has
 * passed: nothing else could ever stop it. */
TEST_F(ChannelTest, RemovedChannelThatIgnoresTheStopIsKilled)
{
    setenv("RUXO_FAKE_MODE", "nosigint", 1);
    setConfig("", std::vector<std::string>(2, channelJson(kUdpSource, udpTarget())));
    ASSERT_EQ(ruxoStartChannel(0), 0);
    ASSERT_EQ(ruxoStartChannel(1), 0);
    recordedLine(1); /* both fakes have set their traps */
    setConfig("", std::vector<std::string>(1, channelJson(kUdpSource, udpTarget())));
    const long long tmRemoved = ruxotest::nowMs();
    ruxoStopRemovedChannels();
    EXPECT_EQ(ruxoGetState(1), RUXO_STATE_STOPPING);
    EXPECT_TRUE(pollUntil([] { return ruxoGetState(1) == RUXO_STATE_IDLE; }));
    EXPECT_GE(ruxotest::nowMs() - tmRemoved, (RUXO_REMOVED_STOP_SECONDS - 1) * 1000LL);
    EXPECT_EQ(ruxoGetState(0), RUXO_STATE_RUNNING) << "the channel that stays is left alone";
}

TEST_F(ChannelTest, PreviewOfFolderPlaysCurrentFileWithoutMoving)
{
    std::string strMedia = tmp.file("media");
    std::vector<std::string> order = makeMedia(strMedia, {"a.ts", "b.ts"});
    setConfig("", {channelJson(fileSource(strMedia), udpTarget())});
    {
        std::lock_guard<std::recursive_mutex> guard(g_configLock);
        ASSERT_EQ(g_ruxoPlaylists[0].build(strMedia.c_str(), FALSE, FALSE, TRUE), 2);
        g_ruxoPlaylists[0].MoveNext(TRUE);
    }
    for (int i = 0; i < 2; i++) {
        ASSERT_EQ(ruxoPreviewChannel(0), 0);
        std::string strLine = recordedLine((size_t)i);
        EXPECT_EQ(strLine.find("-stream_loop -1  -re -i " + q(strMedia + "/" + order[1]) + " "), 0u) << strLine;
        ruxoStopChannel(0, 1);
        EXPECT_TRUE(pollUntil([] { return ruxoGetChannelState(0) == RUXO_STATE_IDLE; }));
    }
}

}  // namespace
