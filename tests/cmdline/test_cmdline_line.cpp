/* test_cmdline_line.cpp -- the transcoder command line: exact lines for sources and targets, the result
 * codes of a start in their order, the start and error log lines, and the faults the builder guards
 * against (locale, quotes and line breaks, the device query, the SRT muxer, the length limit). Runs
 * against a recording stand-in for the engine core, so nothing is forked. */
#include <climits>
#include <gtest/gtest.h>
#include <locale.h>
#include <stdio.h>

#include <string>
#include <vector>

#include "cmdline_test_util.h"
#include "fake_core.h"
#include "ruxo.h"
#include "ruxo_cmdline_internal.h"

namespace {

class CmdLine : public ::testing::Test {
protected:
    TempDataDir data;
    void SetUp() override { fakeEngineReset(RUXO_MAX_SLOTS, 0, data.path().c_str()); }

    /* What one source appends to a line that already holds `before`, or "ERR<code>". */
    std::string in(const RUXO_SOURCE_A& s, int iChannel = 0, const std::string& before = "")
    {
        std::string line = before;
        int rc = _ruxoMakeInputArg(iChannel, &s, line, 0);
        if (rc != 0)
            return "ERR" + std::to_string(rc);
        return line.substr(before.size());
    }
    /* What one target appends to a line that already holds `before`, or "ERR<code>". */
    std::string out(const RUXO_TARGET_A& t, int iChannel = 0, const std::string& before = "")
    {
        std::string line = before;
        int rc = _ruxoMakeOutputArg(iChannel, &t, line, 0);
        if (rc != 0)
            return "ERR" + std::to_string(rc);
        return line.substr(before.size());
    }
    /* The line a start hands to the process start, or "ERR<code>". */
    std::string start(const RUXO_SOURCE_A* s, int ns, const RUXO_TARGET_A* t, int nt, int iChannel = 0)
    {
        g_fakeStarts.clear();
        int rc = ruxoTranscodeMA(iChannel, s, ns, t, nt, 0);
        if (rc != 0)
            return "ERR" + std::to_string(rc);
        EXPECT_EQ(g_fakeStarts.size(), 1u);
        g_procChannels[iChannel].state = RUXO_STATE_IDLE;
        return g_fakeStarts.empty() ? "" : g_fakeStarts.back().line;
    }
};

RUXO_TARGET_A rtmpWorkedExample()
{
    RUXO_TARGET_A t = makeTarget(RUXO_FORMAT_RTMP, "rtmp://192.0.2.1/live/key");
    setAudio(t, RUXO_AUDIO_AAC, 2, 44100, 128);
    setVideo(t, RUXO_VIDEO_H264, 1280, 720, 25, 50, 0, 2500);
    return t;
}

/* ---- the worked examples -------------------------------------------------------------------- */

TEST_F(CmdLine, WorkedExamplesGiveTheirExactOptions)
{
    EXPECT_EQ(out(rtmpWorkedExample()),
              "-c:a aac -ac 2 -ar 44100 -b:a 128k -c:v libx264 -b:v 2500k -maxrate:v 2500k -nal-hrd cbr "
              "-bufsize:v 2500k -s 1280x720 -r 25 -g 50 -sc_threshold 0 -pix_fmt yuv420p -preset:v faster "
              "-f flv \"rtmp://192.0.2.1/live/key\" ");

    RUXO_TARGET_A hls = makeTarget(RUXO_FORMAT_HLS, "/var/www/live/index.m3u8", "-hls_time 4 -hls_list_size 5");
    setVideo(hls, RUXO_VIDEO_H265, 1920, 1080, 0, 0, 50, 0);
    EXPECT_EQ(out(hls),
              "-an -c:v libx265 -crf 25.8 -s 1920x1080 -g 4 -sc_threshold 0 -hls_time 4 -hls_list_size 5 "
              "-pix_fmt yuv420p -preset:v faster -f hls -y \"/var/www/live/index.m3u8\" ");
}

TEST_F(CmdLine, WholeLineIsPrefixThenSourcesThenTargets)
{
    g_cfg.nLogLevel = 32;
    RUXO_SOURCE_A s[2] = {makeSource(RUXO_FORMAT_GENERAL, "/media/clip.mp4"),
                          makeSource(RUXO_FORMAT_GENERAL, "rtsp://192.0.2.10/cam")};
    RUXO_TARGET_A t[2] = {rtmpWorkedExample(), makeTarget(RUXO_FORMAT_UDP, "udp://239.0.0.1:5000")};
    setVideo(t[1], RUXO_VIDEO_MP2, 720, 576);
    EXPECT_EQ(start(s, 2, t, 2),
              "-v 32 -re -i \"/media/clip.mp4\" -i \"rtsp://192.0.2.10/cam\" "
              "-c:a aac -ac 2 -ar 44100 -b:a 128k -c:v libx264 -b:v 2500k -maxrate:v 2500k -nal-hrd cbr "
              "-bufsize:v 2500k -s 1280x720 -r 25 -g 50 -sc_threshold 0 -pix_fmt yuv420p -preset:v faster "
              "-f flv \"rtmp://192.0.2.1/live/key\" "
              "-an -c:v mpeg2video -qmin:v 2 -s 720x576 -f mpegts udp://239.0.0.1:5000 ");
}

TEST_F(CmdLine, NoRecordsGiveOnlyThePrefix)
{
    EXPECT_EQ(start(nullptr, 0, nullptr, 0), "");
    g_cfg.nLogLevel = 1;
    EXPECT_EQ(start(nullptr, -3, nullptr, -1), "-v 1 ");
}

/* ---- sources -------------------------------------------------------------------------------- */

TEST_F(CmdLine, SourceTable)
{
    struct Case {
        RUXO_FORMAT format;
        const char* name;
        const char* params;
        const char* expected;
    } cases[] = {
        {RUXO_FORMAT_DEVICE, "/dev/video0?input_format=mjpeg", nullptr, "-f v4l2 -input_format mjpeg -i /dev/video0 "},
        {RUXO_FORMAT_DEVICE, "/dev/video0?input_format=mjpeg&framerate=30", "",
         "-f v4l2 -input_format mjpeg -framerate 30 -i /dev/video0 "},
        {RUXO_FORMAT_DEVICE, "/dev/video0", nullptr, "-f v4l2 -i /dev/video0 "},
        /* the device path ends at the first '?', also when a value holds another one */
        {RUXO_FORMAT_DEVICE, "/dev/video1?standard=PAL?x&video_size=640x480", nullptr,
         "-f v4l2 -standard PAL -x -video_size 640x480 -i /dev/video1 "},
        {RUXO_FORMAT_DEVICE, "/dev/video0?input_format=yuyv422", "-thread_queue_size 64",
         "-thread_queue_size 64 -f v4l2 -input_format yuyv422 -i /dev/video0 "},
        {RUXO_FORMAT_GENERAL, "RTSPT://192.0.2.10/live", nullptr, "-rtsp_transport tcp -i \"rtsp://192.0.2.10/live\" "},
        {RUXO_FORMAT_GENERAL, "rtspT://192.0.2.10/a?b=1", nullptr,
         "-rtsp_transport tcp -i \"rtsp://192.0.2.10/a?b=1\" "},
        {RUXO_FORMAT_GENERAL, "rtsp://192.0.2.10/live", nullptr, "-i \"rtsp://192.0.2.10/live\" "},
        {RUXO_FORMAT_GENERAL, "/media/clip.mp4", nullptr, "-re -i \"/media/clip.mp4\" "},
        {RUXO_FORMAT_GENERAL, "/media/cam.SDP", nullptr, "-i \"/media/cam.SDP\" "},
        {RUXO_FORMAT_GENERAL, "udp://@:1234", nullptr, "-i \"udp://@:1234\" "},
        {RUXO_FORMAT_GENERAL, "http://192.0.2.5/live/index.M3U8", nullptr,
         "-re -i \"http://192.0.2.5/live/index.M3U8\" "},
        {RUXO_FORMAT_GENERAL, "http://192.0.2.5/list.m3u", nullptr, "-re -i \"http://192.0.2.5/list.m3u\" "},
        {RUXO_FORMAT_GENERAL, "FTP://192.0.2.5/a.ts", nullptr, "-re -i \"FTP://192.0.2.5/a.ts\" "},
        {RUXO_FORMAT_GENERAL, "sftp://192.0.2.5/a.ts", nullptr, "-re -i \"sftp://192.0.2.5/a.ts\" "},
        {RUXO_FORMAT_GENERAL, "/media/a.mp4", "-stream_loop -1", "-stream_loop -1 -re -i \"/media/a.mp4\" "},
        {RUXO_FORMAT_NULL, "srt://192.0.2.5:9000", nullptr, "-i \"srt://192.0.2.5:9000\" "},
        {RUXO_FORMAT_DECKLINK, "DeckLink Mini Recorder", "-format_code Hp50",
         "-format_code Hp50 -f decklink -i \"DeckLink Mini Recorder\" "},
        {RUXO_FORMAT_NDI, "STUDIO (Cam 1)", nullptr, "-f libndi_newtek -i \"STUDIO (Cam 1)\" "},
        /* line breaks in an option string become blanks */
        {RUXO_FORMAT_GENERAL, "/media/a.mp4", "-ss 5\r\n-t 10", "-ss 5  -t 10 -re -i \"/media/a.mp4\" "},
        {RUXO_FORMAT_GENERAL, nullptr, nullptr, "ERR-7"},
        {RUXO_FORMAT_GENERAL, "", "-re", "ERR-7"},
        {RUXO_FORMAT_DECKLINK, "", nullptr, "ERR-7"},
        {RUXO_FORMAT_NDI, nullptr, nullptr, "ERR-7"},
        {RUXO_FORMAT_DEVICE, "", nullptr, "ERR-7"},
        /* a name that would leave its quotes or split the line */
        {RUXO_FORMAT_GENERAL, "/media/a\" -f null \"b.mp4", nullptr, "ERR-7"},
        {RUXO_FORMAT_GENERAL, "/media/a\nb.mp4", nullptr, "ERR-7"},
        {RUXO_FORMAT_DEVICE, "/dev/video0\r", nullptr, "ERR-7"},
        {RUXO_FORMAT_NDI, "CAM \"1\"", nullptr, "ERR-7"},
        /* a device stands unquoted: a blank, a tab or a single quote would change the arguments */
        {RUXO_FORMAT_DEVICE, "/dev/video0?x=1 -y /any/file", nullptr, "ERR-7"},
        {RUXO_FORMAT_DEVICE, "/dev/video0\t-y", nullptr, "ERR-7"},
        {RUXO_FORMAT_DEVICE, "/dev/video0?standard='PAL'", nullptr, "ERR-7"},
        /* quoted names keep their blanks and single quotes */
        {RUXO_FORMAT_GENERAL, "/media/my clip's.mp4", nullptr, "-re -i \"/media/my clip's.mp4\" "},
        {RUXO_FORMAT_NDI, "STUDIO 'B' (Cam 2)", nullptr, "-f libndi_newtek -i \"STUDIO 'B' (Cam 2)\" "},
    };
    for (const Case& c : cases) {
        RUXO_SOURCE_A s = makeSource(c.format, c.name, c.params);
        EXPECT_EQ(in(s), c.expected) << "name " << (c.name ? c.name : "(null)");
    }
}

TEST_F(CmdLine, DeviceSourceCutsNothingWrittenBefore)
{
    RUXO_SOURCE_A s[2] = {makeSource(RUXO_FORMAT_GENERAL, "http://192.0.2.5/live?x=1", "-headers a?b"),
                          makeSource(RUXO_FORMAT_DEVICE, "/dev/video0")};
    EXPECT_EQ(start(s, 2, nullptr, 0), "-headers a?b -i \"http://192.0.2.5/live?x=1\" -f v4l2 -i /dev/video0 ");
}

TEST_F(CmdLine, NativeRtpSourceReadsItsWrittenDescription)
{
    RUXO_SOURCE_A s = makeSource(RUXO_FORMAT_RTP, nullptr, "-reorder_queue_size 100");
    s.video.attr.codec = RUXO_VIDEO_H264;
    s.video.rtp.usSrcPort = 5004;
    s.audio.attr.codec = RUXO_AUDIO_AAC;
    s.audio.attr.nSampleRate = 48000;
    s.audio.attr.nChannel = 2;
    s.audio.rtp.usSrcPort = 5006;
    std::string sdp = data.path() + "/log/ruxo_003_in.sdp";
    EXPECT_EQ(in(s, 2), "-reorder_queue_size 100 -i \"" + sdp + "\" ");

    EXPECT_EQ(ruxotest::readFile(sdp),
              "v=0\no=- 0 0 IN IPV4 0.0.0.0\ns=Zembrax\nt=0 0\n"
              "c=IN IP4 0.0.0.0\nm=video 5004 RTP/AVP 96\na=rtpmap:96 h264/90000\n"
              "c=IN IP4 0.0.0.0\nm=audio 5006 RTP/AVP 97\na=rtpmap:97 MP4A-LATM/48000/2\n"
              "a=rtpmap:97 MP4A-LATM/48000/2\n\n");
}

TEST_F(CmdLine, NativeRtpSourceFailures)
{
    /* no local video port: -6 whatever the name */
    RUXO_SOURCE_A s = makeSource(RUXO_FORMAT_RTP, "rtp://192.0.2.1:5004");
    s.video.attr.codec = RUXO_VIDEO_H264;
    s.audio.rtp.usSrcPort = 5006;
    EXPECT_EQ(in(s), "ERR-6");

    /* the description cannot be written: no log folder */
    s.video.rtp.usSrcPort = 5004;
    snprintf(g_cfg.szDataPath, sizeof g_cfg.szDataPath, "%s/missing", data.path().c_str());
    EXPECT_EQ(in(s), "ERR-6");

    /* a codec the description has no name for */
    snprintf(g_cfg.szDataPath, sizeof g_cfg.szDataPath, "%s", data.path().c_str());
    s.audio.attr.codec = RUXO_AUDIO_AMR;
    EXPECT_EQ(in(s), "ERR-6");
}

/* ---- targets -------------------------------------------------------------------------------- */

TEST_F(CmdLine, RateControlTable)
{
    struct Case {
        RUXO_CODEC codec;
        int quality, kbps, mux;
        const char* params;
        const char* expected; /* the options between "-c:v <name> " and the codec defaults */
    } cases[] = {
        {RUXO_VIDEO_H264, 50, 0, 0, nullptr, "-crf 25.8 "},
        {RUXO_VIDEO_H264, 100, 0, 0, nullptr, "-crf 0.0 "},
        {RUXO_VIDEO_H264, 1, 0, 0, nullptr, "-crf 51.0 "},
        {RUXO_VIDEO_AV1, 50, 0, 0, nullptr, "-crf 25.8 "},
        {RUXO_VIDEO_MP2, 50, 0, 0, nullptr, "-qmin 25.8 -qmax 51.0 "},
        {RUXO_VIDEO_H264, 0, 0, 0, nullptr, "-crf 23 "},
        {RUXO_VIDEO_H265, 0, 0, 0, nullptr, "-crf 28 "},
        {RUXO_VIDEO_VP8, 0, 0, 0, nullptr, "-crf 32 "},
        {RUXO_VIDEO_VP9, 0, 0, 0, nullptr, "-crf 32 "},
        {RUXO_VIDEO_NV264, 0, 0, 0, nullptr, ""},
        {RUXO_VIDEO_NV265, 0, 0, 0, nullptr, ""},
        {RUXO_VIDEO_QSV264, 0, 0, 0, nullptr, ""},
        {RUXO_VIDEO_QSV265, 0, 0, 0, nullptr, ""},
        {RUXO_VIDEO_AV1, 0, 0, 0, nullptr, ""},
        {RUXO_VIDEO_MP4, 0, 0, 0, nullptr, "-qmin:v 2 "},
        {RUXO_VIDEO_MJPEG, 0, 0, 0, nullptr, "-qmin:v 2 "},
        {RUXO_VIDEO_H264, 50, 2000, 0, nullptr, "-crf 25.8 -b:v 2000k -maxrate:v 2000k -nal-hrd cbr -bufsize:v 2000k "},
        {RUXO_VIDEO_NV265, 0, 2000, 0, nullptr, "-b:v 2000k -maxrate:v 2000k -cbr 1 -bufsize:v 2000k "},
        {RUXO_VIDEO_MP4, 0, 2000, 3000, nullptr, "-b:v 2000k -maxrate:v 2000k -bufsize:v 2000k -muxrate 3000k "},
        {RUXO_VIDEO_MP4, 0, 2000, 3000, "-bitrate 3000000",
         "-b:v 2000k -maxrate:v 2000k -bufsize:v 200k -muxrate 3000k "},
        {RUXO_VIDEO_MP4, 0, 2000, 0, "-bitrate 3000000", "-b:v 2000k -maxrate:v 2000k -bufsize:v 2000k "},
        {RUXO_VIDEO_MP4, 50, 0, 3000, nullptr, "-qmin 25.8 -qmax 51.0 "},
    };
    for (const Case& c : cases) {
        RUXO_TARGET_A t = makeTarget(RUXO_FORMAT_UDP, "udp://127.0.0.1:5000", c.params);
        setVideo(t, c.codec, 0, 0, 0, 0, c.quality, c.kbps);
        t.nKbpsMux = c.mux;
        std::string got = out(t);
        std::string head = std::string("-an -c:v ") + getCodecName(c.codec) + " " + c.expected;
        EXPECT_EQ(got.substr(0, head.size()), head) << "codec " << c.codec << " q " << c.quality << " kbps " << c.kbps;
    }
}

TEST_F(CmdLine, SizeFrameRateAndKeyFrames)
{
    struct Case {
        RUXO_FORMAT format;
        int width, height;
        float fps;
        int gop;
        const char* params;
        const char* expected; /* after "-an -c:v mpeg4 -qmin:v 2 ", before the option string */
    } cases[] = {
        {RUXO_FORMAT_UDP, 4, 2, 0, 0, nullptr, "-s 8x8 "},
        {RUXO_FORMAT_UDP, 1280, 0, 0, 0, nullptr, ""},
        {RUXO_FORMAT_UDP, 65536 + 640, 480, 0, 0, nullptr, "-s 640x480 "},
        {RUXO_FORMAT_UDP, 0, 0, 23.976f, 0, nullptr, "-r ntsc-film "},
        {RUXO_FORMAT_UDP, 0, 0, 29.97f, 0, nullptr, "-r ntsc "},
        {RUXO_FORMAT_UDP, 0, 0, 59.94f, 0, nullptr, "-r 60000/1001 "},
        {RUXO_FORMAT_UDP, 0, 0, 30, 0, nullptr, "-r 30 "},
        {RUXO_FORMAT_UDP, 0, 0, 12.5f, 0, nullptr, "-r 12.5 "},
        {RUXO_FORMAT_UDP, 0, 0, -1, 0, nullptr, ""},
        {RUXO_FORMAT_UDP, 0, 0, 0, 50, nullptr, "-g 50 -sc_threshold 0 "},
        {RUXO_FORMAT_RTMP, 0, 0, 0, 0, nullptr, ""},
        {RUXO_FORMAT_HLS, 0, 0, 0, 0, nullptr, "-g 5 -sc_threshold 0 "},
        {RUXO_FORMAT_HLS, 0, 0, 0, 50, "-hls_time 4", "-g 4 -sc_threshold 0 -hls_time 4 "},
        {RUXO_FORMAT_HLS, 0, 0, 0, 50, nullptr, "-g 50 -sc_threshold 0 "},
    };
    for (const Case& c : cases) {
        RUXO_TARGET_A t = makeTarget(c.format, "udp://127.0.0.1:5000", c.params);
        setVideo(t, RUXO_VIDEO_MP4, c.width, c.height, c.fps, c.gop);
        std::string got = out(t);
        std::string head = std::string("-an -c:v mpeg4 -qmin:v 2 ") + c.expected;
        EXPECT_EQ(got.substr(0, head.size()), head) << "w " << c.width << " fps " << c.fps << " gop " << c.gop;
        if (!strstr(c.expected, "-s ")) {
            EXPECT_EQ(got.find("-s "), std::string::npos) << got;
        }
        if (!strstr(c.expected, "-r ")) {
            EXPECT_EQ(got.find("-r "), std::string::npos) << got;
        }
        if (!strstr(c.expected, "-g ")) {
            EXPECT_EQ(got.find("-g "), std::string::npos) << got;
        }
    }
}

TEST_F(CmdLine, ResizeInAnEarlierTargetSuppressesSizeForLaterOnes)
{
    RUXO_TARGET_A t[2] = {makeTarget(RUXO_FORMAT_UDP, "udp://127.0.0.1:5000", "-resize 640x360"),
                          makeTarget(RUXO_FORMAT_UDP, "udp://127.0.0.1:5002")};
    setVideo(t[0], RUXO_VIDEO_MP4, 1280, 720);
    setVideo(t[1], RUXO_VIDEO_MP4, 1280, 720);
    EXPECT_EQ(start(nullptr, 0, t, 2),
              "-an -c:v mpeg4 -qmin:v 2 -s 1280x720 -resize 640x360 -f mpegts udp://127.0.0.1:5000 "
              "-an -c:v mpeg4 -qmin:v 2 -f mpegts udp://127.0.0.1:5002 ");
}

TEST_F(CmdLine, AudioOptions)
{
    RUXO_TARGET_A t = makeTarget(RUXO_FORMAT_GENERAL, "/tmp/out.mp4");
    setAudio(t, RUXO_AUDIO_COPY, 2, 48000, 192);
    EXPECT_EQ(out(t), "-c:a copy -vn -y \"/tmp/out.mp4\" ");
    setAudio(t, RUXO_AUDIO_AMR, 1, 8000, 0);
    EXPECT_EQ(out(t), "-c:a libamr_nb -ab 12200 -ac 1 -ar 8000 -vn -y \"/tmp/out.mp4\" ");
    setAudio(t, RUXO_AUDIO_HEAAC, 2, 48000, 64);
    EXPECT_EQ(out(t), "-c:a libfdk_aac -ac 2 -ar 48000 -b:a 64k -vn -y \"/tmp/out.mp4\" ");
    setAudio(t, RUXO_AUDIO_MP3, 0, 0, 96);
    EXPECT_EQ(out(t), "-c:a libmp3lame -b:a 96k -vn -y \"/tmp/out.mp4\" ");
    setVideo(t, RUXO_VIDEO_COPY, 1280, 720, 25, 50, 50, 2000);
    EXPECT_EQ(out(t), "-c:a libmp3lame -b:a 96k -c:v copy -y \"/tmp/out.mp4\" ");
}

TEST_F(CmdLine, VideoOffStillGetsCodecDefaults)
{
    RUXO_TARGET_A t = makeTarget(RUXO_FORMAT_GENERAL, "/tmp/audio.mp4");
    setAudio(t, RUXO_AUDIO_AAC, 2, 48000, 128);
    t.video.attr.codec = RUXO_VIDEO_H264;
    EXPECT_EQ(out(t),
              "-c:a aac -ac 2 -ar 48000 -b:a 128k -vn -pix_fmt yuv420p -preset:v faster -y \"/tmp/audio.mp4\" ");
    /* markers anywhere in the line suppress them */
    EXPECT_EQ(out(t, 0, "-pix_fmt nv12 -preset:v slow "),
              "-c:a aac -ac 2 -ar 48000 -b:a 128k -vn -y \"/tmp/audio.mp4\" ");
    /* video enabled but no name to send it to: not taken */
    RUXO_TARGET_A h = makeTarget(RUXO_FORMAT_HTTP_MP4, "");
    setVideo(h, RUXO_VIDEO_MP4);
    EXPECT_EQ(out(h), "-an -vn -movflags dash -f mp4 /1.mp4 ");
}

TEST_F(CmdLine, CodecDefaultsAndScanTypes)
{
    struct Case {
        RUXO_FORMAT format;
        RUXO_CODEC codec;
        int interlacing;
        const char* before; /* line already built */
        const char* expected;
    } cases[] = {
        {RUXO_FORMAT_RTMP, RUXO_VIDEO_NV264, 0, "", "-an -c:v h264_nvenc -preset:v default -f flv \"rtmp://h/a\" "},
        {RUXO_FORMAT_RTMP, RUXO_VIDEO_QSV265, 0, "", "-an -c:v hevc_qsv -preset:v medium -f flv \"rtmp://h/a\" "},
        {RUXO_FORMAT_RTMP, RUXO_VIDEO_QSV264, 0, "-preset:v veryfast ", "-an -c:v h264_qsv -f flv \"rtmp://h/a\" "},
        {RUXO_FORMAT_RTMP, RUXO_VIDEO_VP9, 0, "", "-an -c:v libvpx-vp9 -crf 32 -cpu-used 3 -f flv \"rtmp://h/a\" "},
        {RUXO_FORMAT_RTMP, RUXO_VIDEO_AV1, 0, "", "-an -c:v libaom-av1 -cpu-used 8 -f flv \"rtmp://h/a\" "},
        {RUXO_FORMAT_RTMP, RUXO_VIDEO_AV1, 0, "-cpu-used 4 ", "-an -c:v libaom-av1 -f flv \"rtmp://h/a\" "},
        {RUXO_FORMAT_RTMP, RUXO_VIDEO_H263P, 0, "",
         "-an -c:v h263p -flags +aic -umv 1 -aiv 1 -qmin:v 2 -f flv \"rtmp://h/a\" "},
        {RUXO_FORMAT_RTMP, RUXO_VIDEO_MP4, RUXO_INTERLACE_DEINT, "",
         "-an -c:v mpeg4 -qmin:v 2 -filter:v yadif -f flv \"rtmp://h/a\" "},
        {RUXO_FORMAT_RTMP, RUXO_VIDEO_MP4, RUXO_INTERLACE_DEINT, "-deint ",
         "-an -c:v mpeg4 -qmin:v 2 -f flv \"rtmp://h/a\" "},
        {RUXO_FORMAT_RTMP, RUXO_VIDEO_MP4, RUXO_INTERLACE_TOP_FIRST, "",
         "-an -c:v mpeg4 -qmin:v 2 -flags +ilme+ildct -top 1 -x264opts tff=1 -f flv \"rtmp://h/a\" "},
        {RUXO_FORMAT_RTMP, RUXO_VIDEO_MP4, RUXO_INTERLACE_BOTTOM_FIRST, "",
         "-an -c:v mpeg4 -qmin:v 2 -flags +ilme+ildct -top 0 -x264opts bff=1 -f flv \"rtmp://h/a\" "},
        {RUXO_FORMAT_NDI, RUXO_VIDEO_H264, RUXO_INTERLACE_TOP_FIRST, "",
         "-an -pix_fmt uyvy422 -flags +ilme+ildct -top 1 -x264opts tff=1 -preset:v faster -f libndi_newtek \"rtmp://h/a\" "},
        {RUXO_FORMAT_DECKLINK, RUXO_VIDEO_MJPEG, RUXO_INTERLACE_BOTTOM_FIRST, "",
         "-an -pix_fmt uyvy422 -field_order bb -f decklink \"rtmp://h/a\" "},
    };
    for (const Case& c : cases) {
        RUXO_TARGET_A t = makeTarget(c.format, "rtmp://h/a");
        setVideo(t, c.codec, 0, 0, 0, 0, 0, 0, c.interlacing);
        EXPECT_EQ(out(t, 0, c.before), c.expected) << "codec " << c.codec;
    }
}

TEST_F(CmdLine, DeckLinkAndNdiOutputs)
{
    RUXO_TARGET_A d = makeTarget(RUXO_FORMAT_DECKLINK, "DeckLink Duo (1)");
    setAudio(d, RUXO_AUDIO_AAC, 6, 44100, 128);
    setVideo(d, RUXO_VIDEO_H264, 1920, 1080, 25, 0, 50, 0, RUXO_INTERLACE_TOP_FIRST);
    EXPECT_EQ(out(d),
              "-ac 2 -ar 48000 -pix_fmt uyvy422 -s 1920x1080 -r 25 -field_order tt -preset:v faster "
              "-f decklink \"DeckLink Duo (1)\" ");

    RUXO_TARGET_A n = makeTarget(RUXO_FORMAT_NDI, "RUXO 1");
    setAudio(n, RUXO_AUDIO_PCM16S, 2, 48000);
    setVideo(n, RUXO_VIDEO_MP2, 1280, 720);
    EXPECT_EQ(out(n), "-c:a pcm_s16le -ac 2 -ar 48000 -pix_fmt uyvy422 -s 1280x720 -f libndi_newtek \"RUXO 1\" ");
}

TEST_F(CmdLine, NativeRtpTargets)
{
    RUXO_TARGET_A t = makeTarget(RUXO_FORMAT_RTP, "ignored", "-tune zerolatency");
    setAudio(t, RUXO_AUDIO_AAC, 2, 48000, 128);
    t.audio.rtp.ulDstIP = ipv4("192.0.2.20");
    t.audio.rtp.usDstPort = 500;
    setVideo(t, RUXO_VIDEO_H264, 1280, 720);
    t.video.rtp.ulDstIP = ipv4("192.0.2.20");
    t.video.rtp.usDstPort = 502;
    t.video.rtp.globalHeader = OUT_OF_BAND;
    const std::string sdpOut = "-sdp_file \"" + data.path() + "/log/ruxo_001_out.sdp\" ";
    EXPECT_EQ(out(t),
              "-c:a aac -ac 2 -ar 48000 -b:a 128k -vn -f rtp -flags:a +global_header -rtpflags +latm "
              "rtp://192.0.2.20:500 -c:v libx264 -crf 23 -s 1280x720 -an -f rtp -flags +global_header "
              "-tune zerolatency rtp://192.0.2.20:502 -pix_fmt yuv420p -preset:v faster " +
                  sdpOut);

    /* in band, local ports, H.263 */
    t.video.rtp.globalHeader = IN_BAND;
    t.audio.rtp.usSrcPort = 6000;
    t.video.rtp.usSrcPort = 6002;
    t.audio.attr.codec = RUXO_AUDIO_MP2;
    t.video.attr.codec = RUXO_VIDEO_H263;
    t.video.attr.nWidth = 352;
    t.video.attr.nHeight = 288;
    EXPECT_EQ(out(t),
              "-c:a mp2 -ac 2 -ar 48000 -b:a 128k -vn -f rtp rtp://192.0.2.20:500?localport=6000 "
              "-c:v h263 -qmin:v 2 -s 352x288 -an -f rtp -flags -global_header -rtpflags +rfc2190 "
              "-tune zerolatency rtp://192.0.2.20:502?localport=6002 " +
                  sdpOut);

    /* audio without destination, video off: the option string goes nowhere */
    RUXO_TARGET_A a = makeTarget(RUXO_FORMAT_RTP, nullptr, "-tune zerolatency");
    setAudio(a, RUXO_AUDIO_AAC, 2, 48000);
    a.video.attr.codec = RUXO_VIDEO_H264;
    EXPECT_EQ(out(a), "-an -vn -pix_fmt yuv420p -preset:v faster " + sdpOut);
    /* audio off gets nothing for audio */
    RUXO_TARGET_A v = makeTarget(RUXO_FORMAT_RTP, nullptr);
    setVideo(v, RUXO_VIDEO_MP4);
    v.video.rtp.ulDstIP = ipv4("127.0.0.1");
    v.video.rtp.usDstPort = 7000;
    v.video.rtp.globalHeader = OUT_OF_BAND;
    EXPECT_EQ(out(v, 4), "-c:v mpeg4 -qmin:v 2 -an -f rtp -flags +global_header rtp://127.0.0.1:7000 -sdp_file \"" +
                             data.path() + "/log/ruxo_005_out.sdp\" ");
}

TEST_F(CmdLine, OutputForms)
{
    struct Case {
        RUXO_FORMAT format;
        const char* name;
        int iChannel;
        const char* expected; /* after "-an -vn " */
    } cases[] = {
        {RUXO_FORMAT_GENERAL, "/tmp/out.mp4", 0, "-y \"/tmp/out.mp4\" "},
        {RUXO_FORMAT_GENERAL, "rtmp://192.0.2.1/live", 0, "\"rtmp://192.0.2.1/live\" "},
        {RUXO_FORMAT_GENERAL, "ftp://192.0.2.1/out.ts", 0, "-y \"ftp://192.0.2.1/out.ts\" "},
        {RUXO_FORMAT_RTMP, "rtmp://192.0.2.1/live", 0, "-f flv \"rtmp://192.0.2.1/live\" "},
        {RUXO_FORMAT_UDP, "rtp://239.0.0.1:5000", 0, "-f rtp_mpegts rtp://239.0.0.1:5000 "},
        {RUXO_FORMAT_UDP, "udp://239.0.0.1:5000", 0, "-f mpegts udp://239.0.0.1:5000 "},
        {RUXO_FORMAT_RTPTS, "RTP://239.0.0.1:5000", 0, "-f rtp_mpegts RTP://239.0.0.1:5000 "},
        {RUXO_FORMAT_RTPTS, "udp://239.0.0.1:5000?pkt_size=1316", 0, "-f mpegts udp://239.0.0.1:5000?pkt_size=1316 "},
        {RUXO_FORMAT_HTTP, "http://0.0.0.0:8080/live.ts", 0, "-c:s copy -f mpegts http://0.0.0.0:8080/live.ts "},
        {RUXO_FORMAT_HTTP_MP4, "http://0.0.0.0:8081", 0, "-movflags dash -f mp4 http://0.0.0.0:8081/1.mp4 "},
        {RUXO_FORMAT_HTTP_MJPEG, "http://0.0.0.0:8082", 4, "-f mjpeg http://0.0.0.0:8082/5.mjpg "},
        {RUXO_FORMAT_SRT, "srt://127.0.0.1:9000", 0, "-f mpegts srt://127.0.0.1:9000 "},
        {RUXO_FORMAT_HLS, "/var/www/a.m3u8", 0, "-f hls -y \"/var/www/a.m3u8\" "},
        {RUXO_FORMAT_DASH, "/var/www/a.mpd", 0, "-f dash -y \"/var/www/a.mpd\" "},
        {RUXO_FORMAT_DECKLINK, "DeckLink Duo (1)", 0, "-f decklink \"DeckLink Duo (1)\" "},
        {RUXO_FORMAT_NDI, "RUXO 1", 0, "-f libndi_newtek \"RUXO 1\" "},
        {RUXO_FORMAT_DEVICE, "/dev/video9", 0, "ERR-10"},
        {RUXO_FORMAT_RTSP, "rtsp://0.0.0.0/a", 0, "ERR-10"},
        {static_cast<RUXO_FORMAT>(15), "x", 0, "ERR-10"},
        {RUXO_FORMAT_NULL, "x", 0, "ERR-10"},
        {RUXO_FORMAT_GENERAL, "", 0, "ERR-8"},
        {RUXO_FORMAT_GENERAL, nullptr, 0, "ERR-8"},
        {RUXO_FORMAT_GENERAL, "/tmp/a\".mp4", 0, "ERR-8"},
        {RUXO_FORMAT_UDP, "udp://127.0.0.1:5000\n-f null -", 0, "ERR-8"},
        {RUXO_FORMAT_SRT, "srt://127.0.0.1:9000\r", 0, "ERR-8"},
        /* names that stand unquoted: a blank, a tab or a single quote would change the arguments */
        {RUXO_FORMAT_UDP, "udp://127.0.0.1:1 -y /any/file", 0, "ERR-8"},
        {RUXO_FORMAT_RTPTS, "rtp://127.0.0.1:1\t-y", 0, "ERR-8"},
        {RUXO_FORMAT_HTTP, "http://0.0.0.0:8080/a b.ts", 0, "ERR-8"},
        {RUXO_FORMAT_HTTP_MP4, "http://0.0.0.0:8081/'x", 0, "ERR-8"},
        {RUXO_FORMAT_HTTP_MJPEG, "http://0.0.0.0:8082 -y", 0, "ERR-8"},
        {RUXO_FORMAT_SRT, "srt://127.0.0.1:9000?passphrase=it's", 0, "ERR-8"},
        /* quoted names keep accepting both */
        {RUXO_FORMAT_GENERAL, "/tmp/my clip's.mp4", 0, "-y \"/tmp/my clip's.mp4\" "},
        {RUXO_FORMAT_HLS, "/var/www/it's live/a.m3u8", 0, "-f hls -y \"/var/www/it's live/a.m3u8\" "},
        {RUXO_FORMAT_RTMP, "rtmp://192.0.2.1/live/a b", 0, "-f flv \"rtmp://192.0.2.1/live/a b\" "},
    };
    for (const Case& c : cases) {
        RUXO_TARGET_A t = makeTarget(c.format, c.name);
        std::string got = out(t, c.iChannel);
        std::string want = strncmp(c.expected, "ERR", 3) == 0 ? c.expected : std::string("-an -vn ") + c.expected;
        EXPECT_EQ(got, want) << "format " << c.format;
    }
}

TEST_F(CmdLine, OptionStringStandsAfterVideoAndLineBreaksBecomeBlanks)
{
    RUXO_TARGET_A t = makeTarget(RUXO_FORMAT_RTMP, "rtmp://h/a", "-tune zerolatency\r\n-bf 0");
    setVideo(t, RUXO_VIDEO_MP4);
    EXPECT_EQ(out(t), "-an -c:v mpeg4 -qmin:v 2 -tune zerolatency  -bf 0 -f flv \"rtmp://h/a\" ");
}

TEST_F(CmdLine, SrtTargetGetsAMuxerUnlessItNamesOne)
{
    RUXO_SOURCE_A file = makeSource(RUXO_FORMAT_GENERAL, "/media/a.mp4");
    RUXO_TARGET_A srt = makeTarget(RUXO_FORMAT_SRT, "srt://127.0.0.1:9000");
    RUXO_TARGET_A srtOwn = makeTarget(RUXO_FORMAT_SRT, "srt://127.0.0.1:9000", "-f mpegts -mpegts_flags system_b");

    EXPECT_EQ(start(&file, 1, &srt, 1), "-re -i \"/media/a.mp4\" -an -vn -f mpegts srt://127.0.0.1:9000 ");
    EXPECT_EQ(start(&file, 1, &srtOwn, 1),
              "-re -i \"/media/a.mp4\" -an -vn -f mpegts -mpegts_flags system_b srt://127.0.0.1:9000 ");

    /* after an RTMP target: the "-f flv" there is the RTMP target's, the SRT target still needs a muxer */
    RUXO_TARGET_A two[2] = {makeTarget(RUXO_FORMAT_RTMP, "rtmp://h/a"), srt};
    EXPECT_EQ(start(&file, 1, two, 2),
              "-re -i \"/media/a.mp4\" -an -vn -f flv \"rtmp://h/a\" -an -vn -f mpegts srt://127.0.0.1:9000 ");

    /* a second source with its own "-f" neither */
    RUXO_SOURCE_A sources[2] = {file, makeSource(RUXO_FORMAT_DECKLINK, "DeckLink Mini Recorder")};
    EXPECT_EQ(start(sources, 2, &srt, 1),
              "-re -i \"/media/a.mp4\" -f decklink -i \"DeckLink Mini Recorder\" "
              "-an -vn -f mpegts srt://127.0.0.1:9000 ");
}

TEST_F(CmdLine, PixelFormatFromProfile)
{
    struct Case {
        const char* params;
        const char* pixFmt;
    } cases[] = {
        {"-profile:v high422", "yuv422p"},
        {"-profile:v high444", "yuv444p"},
        {"-profile:v high10", "yuv420p10"},
        {"-profile:v main10", "yuv420p10"},
        {"-profile:v main12", "yuv420p12"},
        {"-profile:v high", "yuv420p"},
        {"-profile:v   main444-12", "yuv444p12"},
        {"-profile:v main444-10", "yuv444p10"},
        {"-profile:v main422-12", "yuv422p12"},
        {"-profile:v main422-10", "yuv422p10"},
        {"-profile:v high10 -profile:v high444", "yuv420p10"},
        {"-profile:v ", "yuv420p"},
        {"-tune film", "yuv420p"},
    };
    for (const Case& c : cases) {
        RUXO_TARGET_A t = makeTarget(RUXO_FORMAT_RTMP, "rtmp://h/a", c.params);
        setVideo(t, RUXO_VIDEO_H265);
        EXPECT_EQ(out(t), std::string("-an -c:v libx265 -crf 28 ") + c.params + " -pix_fmt " + c.pixFmt +
                              " -preset:v faster -f flv \"rtmp://h/a\" ")
            << c.params;
    }
    /* a profile word of any length is read without overrunning anything */
    std::string longWord = "-profile:v " + std::string(500, 'x') + "444";
    RUXO_TARGET_A t = makeTarget(RUXO_FORMAT_RTMP, "rtmp://h/a", longWord.c_str());
    setVideo(t, RUXO_VIDEO_H264);
    EXPECT_NE(out(t).find("-pix_fmt yuv420p "), std::string::npos);

    /* "-pix_fmt " in a source's option string suppresses the rule */
    RUXO_SOURCE_A s = makeSource(RUXO_FORMAT_GENERAL, "/media/a.mp4", "-pix_fmt yuv422p");
    RUXO_TARGET_A h = makeTarget(RUXO_FORMAT_RTMP, "rtmp://h/a", "-profile:v high422");
    setVideo(h, RUXO_VIDEO_H264);
    EXPECT_EQ(start(&s, 1, &h, 1),
              "-pix_fmt yuv422p -re -i \"/media/a.mp4\" -an -c:v libx264 -crf 23 "
              "-profile:v high422 -preset:v faster -f flv \"rtmp://h/a\" ");
}

/* ---- numbers and the locale ----------------------------------------------------------------- */

TEST_F(CmdLine, NumbersUseAFullStopUnderADecimalCommaLocale)
{
    if (!setlocale(LC_ALL, "de_DE.UTF-8"))
        GTEST_SKIP() << "no decimal-comma locale available (LOCPATH)";
    char probe[16];
    snprintf(probe, sizeof probe, "%.1f", 25.8);
    EXPECT_STREQ(probe, "25,8"); /* the locale really writes a comma */

    RUXO_TARGET_A t[2] = {makeTarget(RUXO_FORMAT_UDP, "udp://127.0.0.1:5000"),
                          makeTarget(RUXO_FORMAT_UDP, "udp://127.0.0.1:5002")};
    setVideo(t[0], RUXO_VIDEO_H264, 0, 0, 12.5f, 0, 50);
    setVideo(t[1], RUXO_VIDEO_MP2, 0, 0, 0, 0, 50);
    std::string line = start(nullptr, 0, t, 2);
    setlocale(LC_ALL, "C");
    EXPECT_NE(line.find("-crf 25.8 -r 12.5 "), std::string::npos) << line;
    EXPECT_NE(line.find("-qmin 25.8 -qmax 51.0 "), std::string::npos) << line;
    EXPECT_EQ(line.find(','), std::string::npos) << line;
}

/* ---- wide records --------------------------------------------------------------------------- */

TEST_F(CmdLine, WideRecordsGiveTheSameLine)
{
    RUXO_SOURCE_A sa[2] = {makeSource(RUXO_FORMAT_DEVICE, "/dev/video0?input_format=mjpeg"),
                           makeSource(RUXO_FORMAT_GENERAL, "rtspt://192.0.2.10/live", "-timeout 5")};
    RUXO_TARGET_A ta = makeTarget(RUXO_FORMAT_HLS, "/var/www/a.m3u8", "-hls_time 6");
    setVideo(ta, RUXO_VIDEO_H264, 640, 360, 25, 0, 40);
    setAudio(ta, RUXO_AUDIO_AAC, 2, 48000, 96);
    std::string narrow = start(sa, 2, &ta, 1);

    RUXO_SOURCE_W sw[2];
    memset(sw, 0, sizeof sw);
    sw[0].format = RUXO_FORMAT_DEVICE;
    sw[0].pszSrcName = L"/dev/video0?input_format=mjpeg";
    sw[1].format = RUXO_FORMAT_GENERAL;
    sw[1].pszSrcName = L"rtspt://192.0.2.10/live";
    sw[1].pszParams = L"-timeout 5";
    RUXO_TARGET_W tw;
    memset(&tw, 0, sizeof tw);
    tw.format = ta.format;
    tw.video = ta.video;
    tw.audio = ta.audio;
    tw.pszDstName = L"/var/www/a.m3u8";
    tw.pszParams = L"-hls_time 6";
    g_fakeStarts.clear();
    ASSERT_EQ(ruxoTranscodeMW(3, sw, 2, &tw, 1, 0), 0);
    ASSERT_EQ(g_fakeStarts.size(), 1u);
    EXPECT_EQ(g_fakeStarts[0].line, narrow);
    EXPECT_EQ(g_fakeStarts[0].iChannel, 3);

    /* one record each */
    fakeEngineReset(RUXO_MAX_SLOTS, 0, data.path().c_str());
    ASSERT_EQ(ruxoTranscodeW(1, &sw[1], &tw, 1), 0);
    ASSERT_EQ(ruxoTranscodeA(2, &sa[1], &ta, 1), 0);
    ASSERT_EQ(g_fakeStarts.size(), 2u);
    EXPECT_EQ(g_fakeStarts[0].line, g_fakeStarts[1].line);
    EXPECT_EQ(g_fakeStarts[0].bPreview, 1);
    EXPECT_EQ(ruxoGetCodecName(RUXO_VIDEO_H264), std::string("h264"));

    /* the wide quote check and the wide name check */
    sw[1].pszSrcName = L"/media/a\".mp4";
    EXPECT_EQ(ruxoTranscodeMW(5, sw, 2, &tw, 1, 0), -7);
    sw[1].pszSrcName = L"";
    EXPECT_EQ(ruxoTranscodeMW(5, sw, 2, &tw, 1, 0), -7);
    sw[1].pszSrcName = L"/media/a.mp4";
    tw.pszDstName = L"/var/www/\r.m3u8";
    EXPECT_EQ(ruxoTranscodeMW(5, sw, 2, &tw, 1, 0), -8);
}

TEST_F(CmdLine, WideTextWithoutAMultibyteFormIsRefused)
{
    ASSERT_TRUE(setlocale(LC_ALL, "C"));
    RUXO_SOURCE_W s;
    memset(&s, 0, sizeof s);
    s.format = RUXO_FORMAT_GENERAL;
    s.pszSrcName = L"/media/caf\u00e9.mp4";
    EXPECT_EQ(ruxoTranscodeMW(0, &s, 1, nullptr, 0, 0), -7);
    s.pszSrcName = L"/media/cafe.mp4";
    RUXO_TARGET_W t;
    memset(&t, 0, sizeof t);
    t.format = RUXO_FORMAT_GENERAL;
    t.pszDstName = L"/tmp/out.mp4";
    t.pszParams = L"-metadata title=\u00e9t\u00e9";
    EXPECT_EQ(ruxoTranscodeMW(0, &s, 1, &t, 1, 0), -8);

    if (setlocale(LC_ALL, "C.UTF-8")) {
        g_fakeStarts.clear();
        EXPECT_EQ(ruxoTranscodeMW(0, &s, 1, &t, 1, 0), 0);
        ASSERT_EQ(g_fakeStarts.size(), 1u);
        EXPECT_NE(g_fakeStarts[0].line.find("-metadata title=\xc3\xa9t\xc3\xa9 "), std::string::npos);
        setlocale(LC_ALL, "C");
    }
}

/* ---- result codes, their order, the log ----------------------------------------------------- */

TEST_F(CmdLine, ResultCodesInTheirOrder)
{
    RUXO_SOURCE_A good = makeSource(RUXO_FORMAT_GENERAL, "/media/a.mp4");
    RUXO_SOURCE_A noName = makeSource(RUXO_FORMAT_GENERAL, "");
    RUXO_SOURCE_A rtpNoPort = makeSource(RUXO_FORMAT_RTP, nullptr);
    RUXO_TARGET_A file = makeTarget(RUXO_FORMAT_GENERAL, "/tmp/out.mp4");
    RUXO_TARGET_A fileNoName = makeTarget(RUXO_FORMAT_GENERAL, nullptr);
    RUXO_TARGET_A badAudio = makeTarget(RUXO_FORMAT_RTSP, "rtsp://h/a");
    setAudio(badAudio, RUXO_CODEC_NULL);
    RUXO_TARGET_A badVideo = makeTarget(RUXO_FORMAT_RTSP, "rtsp://h/a");
    setVideo(badVideo, static_cast<RUXO_CODEC>(160));
    RUXO_TARGET_A rtsp = makeTarget(RUXO_FORMAT_RTSP, "rtsp://h/a");

    EXPECT_EQ(ruxoTranscodeMA(0, &good, 1, &file, 1, 0), 0);
    EXPECT_EQ(ruxoTranscodeMA(0, &good, 1, &file, 1, 0), -3);         /* now running */
    EXPECT_EQ(ruxoTranscodeMA(0, &noName, 1, &fileNoName, 1, 1), -3); /* busy before any record */
    g_procChannels[0].state = RUXO_STATE_STOPPING;
    EXPECT_EQ(ruxoTranscodeMA(0, &good, 1, &file, 1, 0), -3);
    EXPECT_EQ(ruxoTranscodeMA(RUXO_MAX_SLOTS, &good, 1, &file, 1, 0), -2);
    EXPECT_EQ(ruxoTranscodeMA(-1, &good, 1, &file, 1, 0), -2);
    EXPECT_EQ(ruxoTranscodeMA(INT_MAX, &good, 1, &file, 1, 0), -2); /* logged before the check */
    EXPECT_EQ(ruxoTranscodeMA(1, &rtpNoPort, 1, &fileNoName, 1, 0), -6);
    RUXO_SOURCE_A two[2] = {noName, rtpNoPort};
    EXPECT_EQ(ruxoTranscodeMA(1, two, 2, &file, 1, 0), -7); /* the first failing source decides */
    EXPECT_EQ(ruxoTranscodeMA(1, &good, 1, &fileNoName, 1, 0), -8);
    EXPECT_EQ(ruxoTranscodeMA(1, &good, 1, &badAudio, 1, 0), -9);
    EXPECT_EQ(ruxoTranscodeMA(1, &good, 1, &badVideo, 1, 0), -9);
    EXPECT_EQ(ruxoTranscodeMA(1, &good, 1, &rtsp, 1, 0), -10);
    RUXO_TARGET_A targets[2] = {rtsp, fileNoName};
    EXPECT_EQ(ruxoTranscodeMA(1, &good, 1, targets, 2, 0), -10);
    EXPECT_EQ(g_procChannels[1].state, RUXO_STATE_IDLE); /* failed starts leave the slot alone */

    g_fakeStartResult = -13;
    EXPECT_EQ(ruxoTranscodeMA(1, &good, 1, &file, 1, 0), -13);
    g_fakeStartResult = -5;
    EXPECT_EQ(ruxoTranscodeMA(1, &good, 1, &file, 1, 0), -5);
    g_fakeStartResult = 0;

    /* logging on and the log cannot be written: -12, nothing started */
    g_cfg.nLogLevel = 1;
    g_fakeLogFails = true;
    g_fakeStarts.clear();
    EXPECT_EQ(ruxoTranscodeMA(1, &good, 1, &file, 1, 0), -12);
    EXPECT_TRUE(g_fakeStarts.empty());
    /* logging off: the log is not needed */
    g_cfg.nLogLevel = 0;
    EXPECT_EQ(ruxoTranscodeMA(1, &good, 1, &file, 1, 0), 0);
    g_fakeLogFails = false;

    g_cfg.bInit = FALSE;
    EXPECT_EQ(ruxoTranscodeMA(2, &good, 1, &file, 1, 0), -1);
    g_cfg.bInit = TRUE;
    g_cfg.nMaxChannels = 0;
    EXPECT_EQ(ruxoTranscodeMA(0, &good, 1, &file, 1, 0), -2);
}

TEST_F(CmdLine, StartAndErrorLogLines)
{
    RUXO_SOURCE_A good = makeSource(RUXO_FORMAT_GENERAL, "/media/a.mp4");
    RUXO_SOURCE_A noName = makeSource(RUXO_FORMAT_GENERAL, nullptr);
    RUXO_TARGET_A file = makeTarget(RUXO_FORMAT_GENERAL, "/tmp/out.mp4");

    g_cfg.nLogLevel = 24;
    ASSERT_EQ(ruxoTranscodeMA(7, &good, 1, &file, 1, 0), 0);
    ASSERT_EQ(g_fakeLog.size(), 2u);
    EXPECT_EQ(g_fakeLog[0], "start transcoding (/opt/ruxod/ruxod.so v501)");
    EXPECT_EQ(g_fakeLog[1], "-v 24 -re -i \"/media/a.mp4\" -an -vn -y \"/tmp/out.mp4\" ");
    ASSERT_EQ(g_fakeStarts.size(), 1u);
    EXPECT_EQ(g_fakeStarts[0].line, g_fakeLog[1]);
    EXPECT_EQ(g_fakeStarts[0].bPreview, 0);

    /* a failing preview: the start text and the error line, nothing of the line */
    g_fakeLog.clear();
    EXPECT_EQ(ruxoTranscodeMA(8, &noName, 1, &file, 1, 1), -7);
    ASSERT_EQ(g_fakeLog.size(), 2u);
    EXPECT_EQ(g_fakeLog[0], "start preview (/opt/ruxod/ruxod.so v501)");
    EXPECT_EQ(g_fakeLog[1], "start preview error (-7)");

    /* the action word follows bPreview, not the slot */
    g_fakeLog.clear();
    EXPECT_EQ(ruxoTranscodeMA(7, &good, 1, &file, 1, 1), -3);
    ASSERT_EQ(g_fakeLog.size(), 2u);
    EXPECT_EQ(g_fakeLog[1], "start preview error (-3)");

    /* log level 0: nothing is written, and the line has no prefix */
    g_cfg.nLogLevel = 0;
    g_fakeLog.clear();
    g_fakeStarts.clear();
    EXPECT_EQ(ruxoTranscodeMA(9, &good, 1, &file, 1, 0), 0);
    EXPECT_EQ(ruxoTranscodeMA(9, &noName, 1, &file, 1, 0), -3);
    EXPECT_TRUE(g_fakeLog.empty());
    ASSERT_EQ(g_fakeStarts.size(), 1u);
    EXPECT_EQ(g_fakeStarts[0].line, "-re -i \"/media/a.mp4\" -an -vn -y \"/tmp/out.mp4\" ");
}

TEST_F(CmdLine, LineLongerThanTheLimitIsRefusedNeverCut)
{
    g_cfg.nLogLevel = 1;
    RUXO_TARGET_A file = makeTarget(RUXO_FORMAT_GENERAL, "/tmp/out.mp4");
    /* base line without option strings: "-v 1 " + source + target */
    RUXO_SOURCE_A bare = makeSource(RUXO_FORMAT_GENERAL, "/media/a.mp4");
    std::string base = start(&bare, 1, &file, 1);
    g_fakeLog.clear();

    /* a source option string that makes the line exactly 3999 characters long is accepted ... */
    std::string params(RUXO_MAX_LINE - base.size() - 1, 'x');
    RUXO_SOURCE_A s = makeSource(RUXO_FORMAT_GENERAL, "/media/a.mp4", params.c_str());
    std::string line = start(&s, 1, &file, 1);
    EXPECT_EQ(line.size(), static_cast<size_t>(RUXO_MAX_LINE));
    const std::string tail = "-an -vn -y \"/tmp/out.mp4\" ";
    ASSERT_GE(line.size(), tail.size());
    EXPECT_EQ(line.substr(line.size() - tail.size()), tail);

    /* ... one more character is refused; the sources still fit, so the target made it too long: -8 */
    params += 'x';
    s.pszParams = params.c_str();
    g_fakeLog.clear();
    g_fakeStarts.clear();
    EXPECT_EQ(ruxoTranscodeMA(0, &s, 1, &file, 1, 0), -8);
    EXPECT_TRUE(g_fakeStarts.empty());
    ASSERT_EQ(g_fakeLog.size(), 3u);
    EXPECT_EQ(g_fakeLog[1], "command line too long (4000 characters, at most 3999)");
    EXPECT_EQ(g_fakeLog[2], "start transcoding error (-8)");

    /* sources that are too long on their own: -7, also without targets */
    std::string huge(RUXO_MAX_LINE, 'z');
    s.pszParams = huge.c_str();
    EXPECT_EQ(ruxoTranscodeMA(0, &s, 1, &file, 1, 0), -7);
    EXPECT_EQ(ruxoTranscodeMA(0, &s, 1, nullptr, 0, 0), -7);
    RUXO_TARGET_A rtsp = makeTarget(RUXO_FORMAT_RTSP, "rtsp://h/a"); /* would fail with -10 */
    EXPECT_EQ(ruxoTranscodeMA(0, &s, 1, &rtsp, 1, 0), -7);           /* the sources are judged first */
    std::vector<RUXO_SOURCE_A> sources(300, bare);
    EXPECT_EQ(ruxoTranscodeMA(0, sources.data(), static_cast<int>(sources.size()), nullptr, 0, 0), -7);

    /* a target that pushes it over: -8 */
    std::string tparams(RUXO_MAX_LINE, 'y');
    RUXO_TARGET_A big = makeTarget(RUXO_FORMAT_GENERAL, "/tmp/out.mp4", tparams.c_str());
    EXPECT_EQ(ruxoTranscodeMA(0, &bare, 1, &big, 1, 0), -8);
    /* many small targets too */
    std::vector<RUXO_TARGET_A> many(400, file);
    EXPECT_EQ(ruxoTranscodeMA(0, &bare, 1, many.data(), static_cast<int>(many.size()), 0), -8);
    EXPECT_TRUE(g_fakeStarts.empty());
}

/* ---- helpers -------------------------------------------------------------------------------- */

TEST(CmdLineHelpers, UrlTests)
{
    struct Case {
        const char* url;
        int rtmp, rtp, stream;
    } cases[] = {
        {"rtmp://h/a", 1, 0, 1},
        {"RTMPE://h/a", 1, 0, 1},
        {"rtmps://h/a", 1, 0, 1},
        {"rtmpt://h/a", 1, 0, 1},
        {"RtmpTE://h/a", 1, 0, 1},
        {"rtmpts://h/a", 1, 0, 1},
        {"rtmpx://h/a", 0, 0, 1},
        {"rtmp:/h", 0, 0, 0},
        {"rtp://239.0.0.1:5000", 0, 1, 1},
        {"RTP://h:1", 0, 1, 1},
        {"rtps://h", 0, 0, 1},
        {"/media/a.sdp", 0, 0, 1},
        {"a.SdP", 0, 0, 1},
        {".sdp", 0, 0, 1},
        {"sdp", 0, 0, 0},
        {"ftp://h/a.ts", 0, 0, 0},
        {"SFTP://h/a.ts", 0, 0, 0},
        {"ftp://h/a.sdp", 0, 0, 1},
        {"http://h/a.m3u8", 0, 0, 0},
        {"http://h/a.M3U", 0, 0, 0},
        {"http://h/a.m3u8?x", 0, 0, 1},
        {"/media/a.mp4", 0, 0, 0},
        {"C:/media", 0, 0, 0},
        {"x:/ /y", 0, 0, 0},
        {"", 0, 0, 0},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(_isRtmpUrl(c.url, 0), c.rtmp) << c.url;
        EXPECT_EQ(_isRTPUrl(c.url, 0), c.rtp) << c.url;
        EXPECT_EQ(_isStreamUrl(c.url, 0), c.stream) << c.url;
        std::wstring w(c.url, c.url + strlen(c.url));
        EXPECT_EQ(_isRtmpUrl(w.c_str(), 1), c.rtmp) << c.url;
        EXPECT_EQ(_isRTPUrl(w.c_str(), 1), c.rtp) << c.url;
        EXPECT_EQ(_isStreamUrl(w.c_str(), 1), c.stream) << c.url;
    }
    EXPECT_EQ(_isRtmpUrl(nullptr, 0), 0);
    EXPECT_EQ(_isRTPUrl(nullptr, 1), 0);
    EXPECT_EQ(_isStreamUrl(nullptr, 0), 0);
}

TEST(CmdLineHelpers, ParseOpt)
{
    struct Case {
        const char* line;
        int expected; /* 7 means left as it was */
    } cases[] = {
        {"-hls_time 4 -hls_list_size 5", 4},
        {"-a 1 -hls_time    -3", -3},
        {"-hls_time +12x", 12},
        {"-hls_time x", 7},
        {"-hls_list_size 5", 7},
        {"-hls_time 2 -hls_time 9", 2},
        {"-hls_time", 7},
        {"-hls_time 99999999999", 7},
        {"-hls_time 2.5", 2},
        {"-hls_time - 3", 7},
    };
    for (const Case& c : cases) {
        int v = 7;
        _parseOptA(c.line, "-hls_time ", &v);
        EXPECT_EQ(v, c.expected) << c.line;
        std::wstring w(c.line, c.line + strlen(c.line));
        v = 7;
        _parseOptW(w.c_str(), L"-hls_time ", &v);
        EXPECT_EQ(v, c.expected) << c.line;
    }
    int v = 7;
    EXPECT_EQ(_parseOptA(nullptr, "-x ", &v), 0);
    EXPECT_EQ(v, 7);
}

TEST(CmdLineHelpers, CodecNames)
{
    EXPECT_STREQ(getCodecName(RUXO_AUDIO_AMR), "libamr_nb -ab 12200");
    EXPECT_EQ(ruxoGetCodecName(RUXO_AUDIO_AMR), nullptr);
    EXPECT_EQ(ruxoGetCodecName(static_cast<RUXO_CODEC>(15)), nullptr);
    EXPECT_EQ(getCodecName(static_cast<RUXO_CODEC>(15)), nullptr);
    EXPECT_EQ(getCodecName(RUXO_CODEC_NULL), nullptr);
    EXPECT_EQ(getCodecName(static_cast<RUXO_CODEC>(127)), nullptr);
    EXPECT_EQ(getCodecName(static_cast<RUXO_CODEC>(151)), nullptr);
    EXPECT_EQ(getCodecName(static_cast<RUXO_CODEC>(-1)), nullptr);
    EXPECT_STREQ(getCodecName(RUXO_VIDEO_H263P), "h263p -flags +aic -umv 1 -aiv 1");
    EXPECT_STREQ(ruxoGetCodecName(RUXO_VIDEO_H263P), "h263+");
    EXPECT_STREQ(ruxoGetCodecName(RUXO_AUDIO_MP2), "mp2a");
    EXPECT_STREQ(getCodecName(RUXO_AUDIO_HEAAC), "libfdk_aac");
    EXPECT_STREQ(getCodecName(RUXO_VIDEO_AV1), "libaom-av1");
    EXPECT_STREQ(getCodecName(RUXO_VIDEO_COPY), "copy");
    EXPECT_STREQ(ruxoGetCodecName(RUXO_AUDIO_COPY), "copy");
    /* every value from 0 to 14 and 128 to 150 has an encoder name, and all but AMR a short name */
    for (int c = 0; c < 256; ++c) {
        bool known = (c <= 14) || (c >= 128 && c <= 150);
        EXPECT_EQ(getCodecName(static_cast<RUXO_CODEC>(c)) != nullptr, known) << c;
        EXPECT_EQ(ruxoGetCodecName(static_cast<RUXO_CODEC>(c)) != nullptr, known && c != RUXO_AUDIO_AMR) << c;
    }
}

TEST(CmdLineHelpers, NumbersAreLocaleFree)
{
    EXPECT_EQ(_ruxoFixed1(25.757575), "25.8");
    EXPECT_EQ(_ruxoFixed1(51.0), "51.0");
    EXPECT_EQ(_ruxoFixed1(0.0), "0.0");
    EXPECT_EQ(_ruxoGeneral(30.0), "30");
    EXPECT_EQ(_ruxoGeneral(static_cast<double>(12.5f)), "12.5");
    EXPECT_EQ(_ruxoGeneral(static_cast<double>(23.98f)), "23.98");
    EXPECT_EQ(_ruxoGeneral(1234567.0), "1.23457e+06");
}

}  // namespace
