/* test_cmdline_peers.cpp -- transcode starts through the real engine: the exact line a scripted fake
 * transcoder receives, the channel log, the busy slot and concurrent starts; then typical channels run
 * by our transcoder over the system's ffmpeg for a couple of seconds, their outputs checked with
 * ffprobe (codec, frame size, frame rate) and, for served outputs, fetched with curl, all in the
 * private network namespace of the shared test main. */
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "cmdline_test_util.h"
#include "ruxo.h"
#include "ruxo_cmdline_internal.h"
#include "ruxo_test_env.h"

namespace {

using ruxotest::fileSize;
using ruxotest::readFile;

/* Runs a shell command and returns its standard output. */
std::string run(const std::string& cmd)
{
    std::string out;
    FILE* p = popen(cmd.c_str(), "r");
    if (!p)
        return out;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0)
        out.append(buf, n);
    pclose(p);
    return out;
}

/* The streams of a media file or URL as ffprobe sees them, one "codec_name=..|codec_type=..|.." a line. */
std::string probe(const std::string& what, const std::string& extra = "")
{
    return run("timeout 20 ffprobe -v error " + extra +
               " -show_entries stream=codec_type,codec_name,width,height,r_frame_rate -of compact=p=0 '" + what +
               "' 2>&1");
}

bool canBind(int type, unsigned short port)
{
    int fd = socket(AF_INET, type | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool ok = bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    close(fd);
    return ok;
}

/* Whether some socket of this network namespace is bound to UDP port `port` (on any address): a
 * receiver that has opened its input. */
bool udpPortBound(unsigned short port)
{
    char want[8];
    snprintf(want, sizeof want, ":%04X", port);
    std::string table = readFile("/proc/net/udp");
    for (size_t at = table.find('\n'); at != std::string::npos; at = table.find('\n', at + 1)) {
        /* "  sl  local_address ...": the local address is the second field of a row */
        size_t colon = table.find(':', at + 1);
        if (colon == std::string::npos)
            break;
        size_t local = table.find_first_not_of(' ', colon + 1);
        size_t end = local == std::string::npos ? std::string::npos : table.find(' ', local);
        if (end != std::string::npos && end >= local + 5 && table.compare(end - 5, 5, want) == 0)
            return true;
    }
    return false;
}

/* An even loopback port from which `count` consecutive ports are free for `type`. */
unsigned short freePorts(int type, int count)
{
    static std::mt19937 rng(static_cast<unsigned>(getpid()) * 7919u + static_cast<unsigned>(time(nullptr)));
    for (int attempt = 0; attempt < 200; ++attempt) {
        unsigned short base = static_cast<unsigned short>(20000 + (rng() % 20000) * 2);
        bool ok = true;
        for (int i = 0; i < count && ok; ++i)
            ok = canBind(type, static_cast<unsigned short>(base + i));
        if (ok)
            return base;
    }
    return 0;
}

class EngineStart : public ::testing::Test {
protected:
    std::string root, bin, data, outDir;
    bool engineUp = false;

    ruxotest::TempDir tmp{"cmdline-peer"};
    static ruxotest::TempDir s_clipDir;
    static std::string s_clip;

    static void SetUpTestSuite()
    {
        if (!s_clipDir.make("cmdline-clip"))
            return;
        s_clip = s_clipDir.file("clip.mp4");
        std::string cmd =
            "ffmpeg -nostdin -v error -y -f lavfi -i testsrc=size=320x240:rate=25 -f lavfi "
            "-i sine=frequency=440:sample_rate=48000 -t 6 -c:v libx264 -preset ultrafast "
            "-pix_fmt yuv420p -g 25 -c:a aac -b:a 64k '" +
            s_clip + "'";
        if (system(cmd.c_str()) != 0)
            s_clip.clear();
    }
    static void TearDownTestSuite() { s_clipDir.remove(); }

    void SetUp() override
    {
        ASSERT_TRUE(tmp.ok());
        root = tmp.path();
        bin = root + "/bin";
        data = root + "/data";
        outDir = root + "/out";
        ASSERT_EQ(mkdir(bin.c_str(), 0755), 0);
        ASSERT_EQ(mkdir(data.c_str(), 0755), 0);
        ASSERT_EQ(mkdir((data + "/log").c_str(), 0755), 0);
        ASSERT_EQ(mkdir(outDir.c_str(), 0755), 0);
    }

    void TearDown() override
    {
        if (engineUp) {
            for (int i = 0; i < 8; ++i)
                if (ruxoGetState(i) != RUXO_STATE_IDLE)
                    stopAndWait(i);
            ruxoFree();
        }
        unsetenv("RUXO_FAKE_OUT");
        if (HasFailure()) {
            tmp.keep();
            fprintf(stderr, "kept %s for inspection\n", root.c_str());
        }
    }

    /* Installs `transcoder` as the engine's "ruxod.so" and starts the engine on the private folders. */
    void initEngine(const std::string& transcoder, int logLevel = 32)
    {
        std::string dst = bin + "/" + RUXO_TRANSCODER_NAME;
        ASSERT_EQ(system(("cp '" + transcoder + "' '" + dst + "' && chmod 755 '" + dst + "'").c_str()), 0);
        RUXO_CONFIG cfg;
        memset(&cfg, 0, sizeof cfg);
        cfg.nCpuPerChannel = 0;
        cfg.nLogLevel = logLevel;
        cfg.pszDllPath = bin.c_str();
        cfg.pszDataPath = data.c_str();
        ASSERT_EQ(ruxoInitA(&cfg), 0);
        engineUp = true;
    }

    /* Polls the engine every 20 ms until done() holds or `seconds` have passed. */
    bool pollUntil(double seconds, const std::function<bool()>& done)
    {
        auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
        while (std::chrono::steady_clock::now() < end) {
            ruxoPoll();
            if (done())
                return true;
            usleep(20000);
        }
        return done();
    }

    /* A graceful stop (ffmpeg then finishes its output), a kill only when that never ends. */
    void stopAndWait(int slot)
    {
        ruxoStop(slot, 0);
        if (!pollUntil(30, [&] { return ruxoGetState(slot) == RUXO_STATE_IDLE; })) {
            ruxoStop(slot, 1);
            pollUntil(10, [&] { return ruxoGetState(slot) == RUXO_STATE_IDLE; });
        }
    }

    std::string logOf(int slot)
    {
        char name[32];
        snprintf(name, sizeof name, "/log/ruxo_%03d.log", slot + 1);
        return readFile(data + name);
    }

    /* The line this start hands over, as our builder makes it (checked against what the child got). */
    std::string expectedLine(int slot, const RUXO_SOURCE_A* s, int ns, const RUXO_TARGET_A* t, int nt)
    {
        std::string line;
        EXPECT_EQ(_ruxoBuildLine(slot, s, ns, t, nt, 0, line), 0);
        return line;
    }

    RUXO_SOURCE_A clipSource() { return makeSource(RUXO_FORMAT_GENERAL, s_clip.c_str()); }
};

ruxotest::TempDir EngineStart::s_clipDir;
std::string EngineStart::s_clip;

/* ---- the engine with a scripted fake transcoder --------------------------------------------- */

TEST_F(EngineStart, FakeTranscoderReceivesTheExactLine)
{
    initEngine(RUXO_FAKE_TRANSCODER);
    std::string record = root + "/fake.txt";
    setenv("RUXO_FAKE_OUT", record.c_str(), 1);

    RUXO_SOURCE_A s[2] = {makeSource(RUXO_FORMAT_GENERAL, "/media/clip.mp4", "-stream_loop -1"),
                          makeSource(RUXO_FORMAT_DEVICE, "/dev/video0?input_format=mjpeg&framerate=30")};
    RUXO_TARGET_A t[3] = {makeTarget(RUXO_FORMAT_RTMP, "rtmp://192.0.2.1/live/key"),
                          makeTarget(RUXO_FORMAT_SRT, "srt://127.0.0.1:9000"),
                          makeTarget(RUXO_FORMAT_HTTP_MP4, "http://127.0.0.1:8081")};
    setAudio(t[0], RUXO_AUDIO_AAC, 2, 44100, 128);
    setVideo(t[0], RUXO_VIDEO_H264, 1280, 720, 25, 50, 0, 2500);
    setVideo(t[1], RUXO_VIDEO_MP2, 720, 576, 25, 0, 50, 0);
    setVideo(t[2], RUXO_VIDEO_H264, 640, 360, 29.97f);
    const std::string line =
        "-v 32 -stream_loop -1 -re -i \"/media/clip.mp4\" -f v4l2 -input_format mjpeg -framerate 30 -i /dev/video0 "
        "-c:a aac -ac 2 -ar 44100 -b:a 128k -c:v libx264 -b:v 2500k -maxrate:v 2500k -nal-hrd cbr -bufsize:v 2500k "
        "-s 1280x720 -r 25 -g 50 -sc_threshold 0 -pix_fmt yuv420p -preset:v faster -f flv \"rtmp://192.0.2.1/live/key\" "
        "-an -c:v mpeg2video -qmin 25.8 -qmax 51.0 -s 720x576 -r 25 -f mpegts srt://127.0.0.1:9000 "
        "-an -c:v libx264 -crf 23 -s 640x360 -r ntsc -movflags dash -f mp4 http://127.0.0.1:8081/3.mp4 ";

    ASSERT_EQ(ruxoTranscodeMA(2, s, 2, t, 3, 0), 0);
    EXPECT_EQ(ruxoGetState(2), RUXO_STATE_RUNNING);
    ASSERT_TRUE(pollUntil(5, [&] { return readFile(record).find(" line ") != std::string::npos; }));
    std::string got = readFile(record);
    size_t at = got.find(" line ");
    std::string received = got.substr(at + 6, got.find('\n', at) - at - 6);
    EXPECT_EQ(received, std::string(RUXO_ACCESS_TOKEN) + " " + line);

    /* the channel log holds the start text and the line */
    std::string log = logOf(2);
    EXPECT_NE(log.find("start transcoding (" + bin + "/" + RUXO_TRANSCODER_NAME + " v501)"), std::string::npos) << log;
    EXPECT_NE(log.find(line), std::string::npos) << log;

    /* a busy slot: -3 and an error line */
    EXPECT_EQ(ruxoTranscodeMA(2, s, 1, t, 1, 1), -3);
    EXPECT_NE(logOf(2).find("start preview error (-3)"), std::string::npos);
    stopAndWait(2);
    EXPECT_EQ(ruxoGetState(2), RUXO_STATE_IDLE);

    /* a preview through the one-record entry point */
    ASSERT_EQ(ruxoTranscodeA(2, &s[0], &t[0], 1), 0);
    EXPECT_EQ(ruxoGetState(2), RUXO_STATE_PREVIEW);
    stopAndWait(2);
}

TEST_F(EngineStart, ResultCodesThroughTheEngine)
{
    RUXO_SOURCE_A s = makeSource(RUXO_FORMAT_GENERAL, "/media/clip.mp4");
    RUXO_TARGET_A t = makeTarget(RUXO_FORMAT_GENERAL, "/tmp/out.mp4");
    EXPECT_EQ(ruxoTranscodeMA(0, &s, 1, &t, 1, 0), -1); /* engine not started */

    initEngine(RUXO_FAKE_TRANSCODER);
    EXPECT_EQ(ruxoTranscodeMA(RUXO_MAX_SLOTS, &s, 1, &t, 1, 0), -2);
    RUXO_TARGET_A rtsp = makeTarget(RUXO_FORMAT_RTSP, "rtsp://127.0.0.1/a");
    EXPECT_EQ(ruxoTranscodeMA(0, &s, 1, &rtsp, 1, 0), -10);
    EXPECT_EQ(ruxoGetState(0), RUXO_STATE_IDLE);
    std::string log = logOf(0);
    EXPECT_NE(log.find("start transcoding error (-10)"), std::string::npos) << log;
    EXPECT_EQ(log.find("-re -i"), std::string::npos) << "a refused line is never logged: " << log;

    /* the channel log cannot be opened: -12, no child */
    ASSERT_EQ(mkdir((data + "/log/ruxo_002.log").c_str(), 0755), 0);
    EXPECT_EQ(ruxoTranscodeMA(1, &s, 1, &t, 1, 0), -12);
    EXPECT_EQ(ruxoGetState(1), RUXO_STATE_IDLE);

    /* a native-RTP source gets its description written into the data folder's log folder */
    RUXO_SOURCE_A rtp = makeSource(RUXO_FORMAT_RTP, nullptr);
    rtp.video.attr.codec = RUXO_VIDEO_H264;
    rtp.video.rtp.usSrcPort = 5004;
    ASSERT_EQ(ruxoTranscodeMA(3, &rtp, 1, &t, 1, 0), 0);
    EXPECT_NE(readFile(data + "/log/ruxo_004_in.sdp").find("m=video 5004 RTP/AVP 96\n"), std::string::npos);
    stopAndWait(3);
}

TEST_F(EngineStart, ConcurrentStartsOfOneSlotStartOneChild)
{
    initEngine(RUXO_FAKE_TRANSCODER);
    RUXO_SOURCE_A s = makeSource(RUXO_FORMAT_GENERAL, "/media/clip.mp4");
    RUXO_TARGET_A t = makeTarget(RUXO_FORMAT_GENERAL, "/tmp/out.mp4");
    for (int round = 0; round < 5; ++round) {
        std::atomic<bool> go{false};
        auto starter = [&] {
            while (!go)
                std::this_thread::yield();
            return ruxoTranscodeMA(4, &s, 1, &t, 1, 0);
        };
        std::future<int> a = std::async(std::launch::async, starter);
        std::future<int> b = std::async(std::launch::async, starter);
        go = true;
        int ra = a.get(), rb = b.get();
        EXPECT_TRUE((ra == 0 && rb == -3) || (ra == -3 && rb == 0)) << ra << " " << rb;
        stopAndWait(4);
    }
}

/* The arguments that a recording "ffmpeg" got, NUL-separated in the file. */
std::vector<std::string> argsIn(const std::string& file)
{
    std::vector<std::string> args;
    std::string text = readFile(file);
    for (size_t at = 0; at < text.size();) {
        size_t end = text.find('\0', at);
        if (end == std::string::npos)
            end = text.size();
        args.push_back(text.substr(at, end - at));
        at = end + 1;
    }
    return args;
}

/* Names on the line, through the real stand-in to a recording "ffmpeg" on PATH: a name that stands
 * unquoted and holds a blank, a tab or a single quote is refused (-8 for a target, -7 for a device
 * source) before any child starts; every name that is accepted reaches ffmpeg as one argument. */
TEST_F(EngineStart, NamesReachFfmpegAsOneArgument)
{
    initEngine(RUXO_TRANSCODER);
    const std::string fakeBin = root + "/fakebin", argsFile = root + "/ffmpeg.args";
    ASSERT_EQ(mkdir(fakeBin.c_str(), 0755), 0);
    ASSERT_TRUE(ruxotest::writeFile(fakeBin + "/ffmpeg", "#!/bin/sh\nprintf '%s\\0' \"$@\" > '" + argsFile + "'\n"));
    ASSERT_EQ(chmod((fakeBin + "/ffmpeg").c_str(), 0755), 0);
    const std::string oldPath = getenv("PATH") ? getenv("PATH") : "/usr/bin:/bin";
    setenv("PATH", (fakeBin + ":" + oldPath).c_str(), 1);

    const std::string planted = root + "/planted";
    struct Case {
        bool bSource;
        RUXO_FORMAT format;
        std::string name;
        int rc;
        std::string arg; /* the argument ffmpeg must get whole (empty: the name itself) */
    };
    const std::vector<Case> cases = {
        {false, RUXO_FORMAT_UDP, "udp://127.0.0.1:1 -y " + planted, -8, ""},
        {false, RUXO_FORMAT_RTPTS, "rtp://127.0.0.1:1\t-y\t" + planted, -8, ""},
        {false, RUXO_FORMAT_SRT, "srt://127.0.0.1:9000?passphrase=it's", -8, ""},
        {false, RUXO_FORMAT_HTTP, "http://127.0.0.1:8080/a b.ts", -8, ""},
        {false, RUXO_FORMAT_HTTP_MJPEG, "http://127.0.0.1:8082/'", -8, ""},
        {true, RUXO_FORMAT_DEVICE, "/dev/video0?x=1 -y " + planted, -7, ""},
        {true, RUXO_FORMAT_DEVICE, "/dev/video0?standard='PAL'", -7, ""},
        {false, RUXO_FORMAT_UDP, "udp://127.0.0.1:5000?pkt_size=1316", 0, ""},
        {false, RUXO_FORMAT_HTTP, "http://127.0.0.1:8080/live.ts", 0, ""},
        {false, RUXO_FORMAT_HTTP_MP4, "http://127.0.0.1:8081", 0, "http://127.0.0.1:8081/1.mp4"},
        {false, RUXO_FORMAT_GENERAL, root + "/my clip's.ts", 0, ""},
        {false, RUXO_FORMAT_HLS, root + "/it's live/a b.m3u8", 0, ""},
        {false, RUXO_FORMAT_RTMP, "rtmp://127.0.0.1/live/a b'c", 0, ""},
        {true, RUXO_FORMAT_DEVICE, "/dev/video0?input_format=mjpeg", 0, "/dev/video0"},
        {true, RUXO_FORMAT_GENERAL, root + "/in 'a' b.mp4", 0, ""},
    };
    const std::string plainIn = root + "/in.mp4", plainOut = root + "/out.ts";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        unlink(argsFile.c_str());
        RUXO_SOURCE_A s = makeSource(c.bSource ? c.format : RUXO_FORMAT_GENERAL,
                                     c.bSource ? c.name.c_str() : plainIn.c_str());
        RUXO_TARGET_A t = makeTarget(c.bSource ? RUXO_FORMAT_GENERAL : c.format,
                                     c.bSource ? plainOut.c_str() : c.name.c_str());
        ASSERT_EQ(ruxoTranscodeMA(0, &s, 1, &t, 1, 0), c.rc);
        if (c.rc != 0) {
            EXPECT_EQ(ruxoGetState(0), RUXO_STATE_IDLE);
            continue;
        }
        ASSERT_TRUE(pollUntil(30, [&] { return ruxoGetState(0) == RUXO_STATE_IDLE; })) << logOf(0);
        std::vector<std::string> args = argsIn(argsFile);
        ASSERT_FALSE(args.empty()) << logOf(0);
        const std::string& want = c.arg.empty() ? c.name : c.arg;
        EXPECT_EQ(std::count(args.begin(), args.end(), want), 1) << readFile(argsFile);
    }
    setenv("PATH", oldPath.c_str(), 1);
    EXPECT_FALSE(ruxotest::exists(planted));
}

/* ---- typical channels run by our transcoder and the system's ffmpeg ------------------------- */

class RealChannel : public EngineStart {
protected:
    void SetUp() override
    {
        EngineStart::SetUp();
        if (s_clip.empty())
            GTEST_SKIP() << "could not make a test clip with ffmpeg";
        initEngine(RUXO_TRANSCODER);
    }

    /* Starts slot `slot` and checks that the child got the line our builder makes. */
    void startChannel(int slot, const RUXO_SOURCE_A& s, const RUXO_TARGET_A& t)
    {
        std::string line = expectedLine(slot, &s, 1, &t, 1);
        ASSERT_EQ(ruxoTranscodeMA(slot, &s, 1, &t, 1, 0), 0) << logOf(slot);
        EXPECT_NE(logOf(slot).find(line), std::string::npos);
    }

    /* Polls until the slot's transcoder has reported `seconds` of stream; one that ends by itself
     * before (a clip read to its end) must have ended well. */
    void runUntilStreamed(int slot, int seconds)
    {
        bool done = pollUntil(
            60, [&] { return ruxoGetStreamTime(slot) >= seconds || ruxoGetState(slot) == RUXO_STATE_IDLE; });
        EXPECT_TRUE(done) << "no progress:\n" << logOf(slot);
        if (ruxoGetState(slot) == RUXO_STATE_IDLE) {
            EXPECT_EQ(ruxoGetExitCode(slot), 0) << "the transcoder ended early:\n" << logOf(slot);
        }
    }
};

RUXO_TARGET_A h264Aac(RUXO_FORMAT format, const char* name, const char* params = nullptr)
{
    RUXO_TARGET_A t = makeTarget(format, name, params);
    setAudio(t, RUXO_AUDIO_AAC, 2, 44100, 96);
    setVideo(t, RUXO_VIDEO_H264, 320, 240, 25, 50, 0, 0);
    t.video.attr.nQuality = 60;
    return t;
}

TEST_F(RealChannel, FileSourceIntoMp4File)
{
    std::string out = outDir + "/out.mp4";
    RUXO_TARGET_A t = h264Aac(RUXO_FORMAT_GENERAL, out.c_str(), "-tune zerolatency");
    t.video.attr.nWidth = 256;
    t.video.attr.nHeight = 144;
    t.video.attr.fFps = 29.97f;
    startChannel(0, clipSource(), t);
    runUntilStreamed(0, 2);
    stopAndWait(0);
    std::string p = probe(out);
    EXPECT_NE(p.find("codec_name=h264|codec_type=video|width=256|height=144|r_frame_rate=30000/1001"),
              std::string::npos)
        << p;
    EXPECT_NE(p.find("codec_name=aac|codec_type=audio"), std::string::npos) << p;
}

TEST_F(RealChannel, FileSourceIntoHls)
{
    ASSERT_EQ(mkdir((outDir + "/hls").c_str(), 0755), 0);
    std::string playlist = outDir + "/hls/index.m3u8";
    RUXO_TARGET_A t = h264Aac(RUXO_FORMAT_HLS, playlist.c_str(), "-hls_time 1 -hls_list_size 0");
    t.video.attr.nWidth = 640;
    t.video.attr.nHeight = 360;
    t.video.attr.fFps = 30;
    startChannel(1, clipSource(), t);
    EXPECT_TRUE(pollUntil(60, [&] { return readFile(playlist).find("#EXTINF:") != std::string::npos; })) << logOf(1);
    stopAndWait(1);
    std::string text = readFile(playlist);
    EXPECT_NE(text.find("#EXTINF:"), std::string::npos) << text;
    std::string p = probe(playlist);
    EXPECT_NE(p.find("codec_name=h264|codec_type=video|width=640|height=360|r_frame_rate=30/1"), std::string::npos)
        << p;
    EXPECT_NE(p.find("codec_name=aac"), std::string::npos) << p;
}

TEST_F(RealChannel, MpegTsOverUdpAndRtp)
{
    struct Case {
        RUXO_FORMAT format;
        const char* scheme;
    } cases[] = {{RUXO_FORMAT_UDP, "udp"}, {RUXO_FORMAT_RTPTS, "rtp"}};
    int slot = 2;
    for (const Case& c : cases) {
        unsigned short port = freePorts(SOCK_DGRAM, 2);
        ASSERT_NE(port, 0);
        std::string url = std::string(c.scheme) + "://127.0.0.1:" + std::to_string(port);
        std::string capture = outDir + "/" + c.scheme + ".ts";
        /* the receiver listens first and keeps a second and a half of the stream */
        std::future<std::string> rx = std::async(std::launch::async, [&] {
            return run("timeout 60 ffmpeg -nostdin -v error -y -i '" + url +
                       (c.format == RUXO_FORMAT_UDP ? "?timeout=30000000" : "") + "' -t 1.5 -c copy -f mpegts '" +
                       capture + "' 2>&1");
        });
        EXPECT_TRUE(pollUntil(30, [&] { return udpPortBound(port); })) << "the receiver never listened";
        RUXO_TARGET_A t = makeTarget(c.format, url.c_str());
        setAudio(t, RUXO_AUDIO_MP2, 2, 48000, 128);
        setVideo(t, RUXO_VIDEO_MP2, 352, 288, 25, 25, 0, 2000);
        t.nKbpsMux = 3000;
        startChannel(slot, clipSource(), t);
        EXPECT_NE(logOf(slot).find(std::string("-f ") + (c.format == RUXO_FORMAT_UDP ? "mpegts " : "rtp_mpegts ") +
                                   url + " "),
                  std::string::npos);
        pollUntil(60, [&] { return rx.wait_for(std::chrono::milliseconds(0)) == std::future_status::ready; });
        std::string rxOut = rx.get();
        stopAndWait(slot);
        std::string p = probe(capture);
        EXPECT_NE(p.find("codec_name=mpeg2video|codec_type=video|width=352|height=288|r_frame_rate=25/1"),
                  std::string::npos)
            << c.scheme << ": " << p << rxOut;
        EXPECT_NE(p.find("codec_name=mp2|codec_type=audio"), std::string::npos) << c.scheme << ": " << p;
        ++slot;
    }
}

TEST_F(RealChannel, NativeRtpTargetWithItsSdpFile)
{
    unsigned short port = freePorts(SOCK_DGRAM, 4);
    ASSERT_NE(port, 0);
    RUXO_TARGET_A t = h264Aac(RUXO_FORMAT_RTP, nullptr, "-bf 0");
    t.audio.attr.nSampleRate = 48000;
    t.audio.rtp.ulDstIP = ipv4("127.0.0.1");
    t.audio.rtp.usDstPort = static_cast<unsigned short>(port + 2);
    t.video.rtp.ulDstIP = ipv4("127.0.0.1");
    t.video.rtp.usDstPort = port;
    t.video.rtp.globalHeader = OUT_OF_BAND;
    /* The clip plays in a loop: the probe below may need more than one try. */
    RUXO_SOURCE_A s = clipSource();
    s.pszParams = "-stream_loop -1 ";
    startChannel(4, s, t);
    std::string sdp = data + "/log/ruxo_005_out.sdp";
    /* ffmpeg writes the description once both outputs are open */
    ASSERT_TRUE(pollUntil(30, [&] { return readFile(sdp).find("m=audio") != std::string::npos; })) << logOf(4);
    std::string text = readFile(sdp);
    EXPECT_NE(text.find("m=video " + std::to_string(port) + " RTP/AVP 96"), std::string::npos) << text;
    EXPECT_NE(text.find("m=audio " + std::to_string(port + 2) + " RTP/AVP 97"), std::string::npos) << text;
    EXPECT_NE(text.find("sprop-parameter-sets="), std::string::npos) << "out of band: " << text;
    /* A probe that begins between two key frames, or that a loaded machine keeps from seeing one
     * within its analysis time, sees the video without its size: it tries again while the channel
     * runs. */
    std::string streams;
    const long long tmEnd = ruxotest::nowMs() + 90000;
    do {
        std::future<std::string> p = std::async(std::launch::async, [&] {
            return probe(sdp, "-protocol_whitelist file,udp,rtp -analyzeduration 5000000");
        });
        pollUntil(60, [&] { return p.wait_for(std::chrono::milliseconds(0)) == std::future_status::ready; });
        streams = p.get();
    } while (streams.find("width=320|height=240") == std::string::npos && ruxotest::nowMs() < tmEnd &&
             ruxoGetState(4) == RUXO_STATE_RUNNING);
    stopAndWait(4);
    EXPECT_NE(streams.find("codec_name=h264|codec_type=video|width=320|height=240|r_frame_rate=25/1"),
              std::string::npos)
        << streams;
    EXPECT_NE(streams.find("codec_name=aac|codec_type=audio"), std::string::npos) << streams;
}

TEST_F(RealChannel, NativeRtpSourceIntoMp4File)
{
    unsigned short port = freePorts(SOCK_DGRAM, 2);
    ASSERT_NE(port, 0);
    RUXO_SOURCE_A s = makeSource(RUXO_FORMAT_RTP, nullptr);
    s.video.attr.codec = RUXO_VIDEO_H264;
    s.video.rtp.usSrcPort = port;
    std::string out = outDir + "/from-rtp.mp4";
    RUXO_TARGET_A t = makeTarget(RUXO_FORMAT_GENERAL, out.c_str());
    setVideo(t, RUXO_VIDEO_H264, 176, 144, 25, 25);
    startChannel(5, s, t);
    EXPECT_NE(readFile(data + "/log/ruxo_006_in.sdp").find("m=video " + std::to_string(port) + " RTP/AVP 96\n"),
              std::string::npos);
    /* a peer sends H.264 over RTP, a key frame every second, to the port the description names once
     * the channel listens there; the channel is stopped while the peer still sends, as a live
     * channel would be */
    ASSERT_TRUE(pollUntil(30, [&] { return udpPortBound(port); })) << logOf(5);
    /* The peer sends until the test ends it (by its pid), however long a loaded machine takes the
     * channel to get going. */
    const std::string txPid = outDir + "/tx.pid";
    std::future<std::string> tx = std::async(std::launch::async, [&] {
        return run("timeout 90 ffmpeg -nostdin -v error -re -stream_loop -1 -i '" + s_clip +
                   "' -an -c:v libx264 -preset ultrafast -bf 0 -g 25 -f rtp rtp://127.0.0.1:" + std::to_string(port) +
                   " 2>&1 & echo $! >'" + txPid + "'; wait $!");
    });
    EXPECT_TRUE(pollUntil(60, [&] { return ruxoGetStreamTime(5) >= 2; })) << logOf(5);
    stopAndWait(5);
    ASSERT_TRUE(pollUntil(30, [&] { return atoi(readFile(txPid).c_str()) > 0; }));
    kill(atoi(readFile(txPid).c_str()), SIGTERM);
    std::string txOut = tx.get();
    std::string p = probe(out);
    EXPECT_NE(p.find("codec_name=h264|codec_type=video|width=176|height=144|r_frame_rate=25/1"), std::string::npos)
        << p << txOut << logOf(5);
}

TEST_F(RealChannel, HttpTargetsFetchedWithCurl)
{
    struct Case {
        RUXO_FORMAT format;
        const char* path; /* what the client asks for */
        const char* vcodec;
    } cases[] = {{RUXO_FORMAT_HTTP, "/live.ts", "h264"},
                 {RUXO_FORMAT_HTTP_MP4, "/7.mp4", "h264"},
                 {RUXO_FORMAT_HTTP_MJPEG, "/7.mjpg", "mjpeg"}};
    for (const Case& c : cases) {
        unsigned short port = freePorts(SOCK_STREAM, 1);
        ASSERT_NE(port, 0);
        std::string base = "http://127.0.0.1:" + std::to_string(port);
        std::string name = c.format == RUXO_FORMAT_HTTP ? base + c.path : base;
        RUXO_TARGET_A t = h264Aac(c.format, name.c_str());
        if (c.format == RUXO_FORMAT_HTTP_MJPEG) {
            t.audio.bEnable = FALSE;
            t.video.attr.codec = RUXO_VIDEO_MJPEG;
        }
        startChannel(6, clipSource(), t);
        std::string got = outDir + "/fetched" + std::to_string(c.format);
        /* the transcoder listens once it has opened its input: retry the connection for a while
         * (a loaded machine may take many seconds) */
        std::future<std::string> fetch = std::async(std::launch::async, [&] {
            for (long long tmEnd = ruxotest::nowMs() + 50000; ruxotest::nowMs() < tmEnd;) {
                std::string rc = run("curl -s -o '" + got + "' --max-time 2.5 '" + base + c.path + "'; echo $?");
                if (fileSize(got) > 0)
                    return rc;
                usleep(100000);
            }
            return std::string("never connected");
        });
        pollUntil(60, [&] { return fetch.wait_for(std::chrono::milliseconds(0)) == std::future_status::ready; });
        std::string rc = fetch.get();
        stopAndWait(6);
        ASSERT_GT(fileSize(got), 0) << rc << logOf(6);
        std::string p = probe(got);
        EXPECT_NE(p.find(std::string("codec_name=") + c.vcodec + "|codec_type=video|width=320|height=240"),
                  std::string::npos)
            << c.path << ": " << p;
    }
}

}  // namespace
