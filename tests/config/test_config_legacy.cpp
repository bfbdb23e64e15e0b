/* test_config_legacy.cpp -- the legacy line-based configuration: its reader (a full file, then the
 * reader's rules and bounds as one table of small files), files that cannot be read, the one-time
 * conversion of a first start, the access-list file, and the address helpers. */
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <errno.h>
#include <float.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <string>

#include "config_test_util.h"
#include "ruxo_config.h"
#include "ruxo_legacy.h"
#include "ruxo_vocab.h"

namespace {

/* Reads the text as a legacy file; returns what the reader returned. */
int readLegacy(const TempDir& dir, const std::string& strText)
{
    const std::string strFile = dir.file("legacy.conf");
    EXPECT_TRUE(writeFile(strFile, strText));
    return ruxoImportConfigXML(strFile.c_str());
}

const RUXO_CHANNEL& ch(int i)
{
    return g_ruxoChannels[i];
}
const RUXO_CHANNEL_SOURCE& src(int iChannel, int i)
{
    return g_ruxoChannels[iChannel].sources[i];
}
const RUXO_CHANNEL_TARGET& tgt(int iChannel, int i)
{
    return g_ruxoChannels[iChannel].targets[i];
}

/* A legacy file as it is found on old installations: settings, then three channels in both tag
 * styles (a file source, a network source, a native-RTP target), indented, with CRLF line ends. */
const char kLegacyFile[] =
    "# old configuration\r\n"
    "log 1\r\n"
    "HTTPPort 9090\r\n"
    "RTSPPort 6554\r\n"
    "AutoStart 0\r\n"
    "AutoRestart 3\r\n"
    "CpuPerChannel 2\r\n"
    "StreamTimeLimit 60\r\n"
    "FolderRecur 1\r\n"
    "FolderShuffle 1\r\n"
    "LoginPass s3cret!\r\n"
    "<Slot1>\r\n"
    "  Enable 1\r\n"
    "  <Input>\r\n"
    "    Format file\r\n"
    "    File \"/media/in put.ts\"\r\n"
    "    VideoParam \"-deinterlace\"\r\n"
    "    SourceParam \"-re\"\r\n"
    "  </Input>\r\n"
    "  <Output>\r\n"
    "\tFormat udp\r\n"
    "\tFile \"udp://239.1.1.1:1234?pkt_size=1316\"\r\n"
    "\tVideoEnable 1\r\n"
    "\tVideoCodec h264\r\n"
    "\tVideoWidth 1280\r\n"
    "\tVideoHeight 720\r\n"
    "\tVideoFrameRate 29.97\r\n"
    "\tVideoKeyFrameInterval 50\r\n"
    "\tVideoQuality 23\r\n"
    "\tVideoDeinterlace 1\r\n"
    "\tVideoGlobalHeader OUTOFBAND\r\n"
    "\tVideoParam \"-preset fast -map 0:v -map 1:a\"\r\n"
    "\tAudioEnable 1\r\n"
    "\tAudioCodec aac\r\n"
    "\tAudioSampleRate 48000\r\n"
    "\tAudioChannel 2\r\n"
    "\tAudioBitRate 128\r\n"
    "\tMuxBitRate 3000\r\n"
    "\tRTMPFlashVer FMLE/3.0\r\n"
    "\tRTMPSwfUrl http://x/y.swf\r\n"
    "\tRTMPPubUser user\r\n"
    "\tRTMPPubPass pass\r\n"
    "\tMapParam \"-map 0:v -map 0:a\"\r\n"
    "\tFormatParam \"-mpegts_flags resend_headers\"\r\n"
    "\tFilters 2\r\n"
    "\tFilter[1]\"yadif\"\r\n"
    "\tFilter[2] \"scale=1280:720\"\r\n"
    "\tTimeShift 5\r\n"
    "\tTimeShiftCacheFolder \"/var/cache\"\r\n"
    "\tTargetParam \"-y\"\r\n"
    "\tMemo \"news\"\r\n"
    "  </Output>\r\n"
    "</Slot1>\r\n"
    "<Channel2>\r\n"
    "  <Input>\r\n"
    "    Format udp\r\n"
    "    File udp://@239.0.0.1:5000?fifo_size=100000&x=\"y\"\r\n"
    "  </Input>\r\n"
    "  <Output>\r\n"
    "    Format file\r\n"
    "    File \"/rec/ch2.ts\"\r\n"
    "    VideoCodec copy\r\n"
    "    VideoBitRate 2000\r\n"
    "  </Output>\r\n"
    "</Channel2>\r\n"
    "<Slot3>\r\n"
    "  Enable 1\r\n"
    "  <Input>\r\n"
    "    Format rtp_native\r\n"
    "    VideoCodec h264\r\n"
    "    VideoIP 10.1.2.3\r\n"
    "    VideoPort 5004\r\n"
    "    VideoFmtp \"packetization-mode=1\"\r\n"
    "    AudioCodec aac\r\n"
    "    AudioSampleRate 44100\r\n"
    "    AudioChannel 1\r\n"
    "    AudioIP 10.1.2.4\r\n"
    "    AudioPort 5006\r\n"
    "    AudioFmtp \"config=1190\"\r\n"
    "  </Input>\r\n"
    "  <Output>\r\n"
    "    Format rtp_native\r\n"
    "    File \"/var/www/ch3.sdp\"\r\n"
    "    VideoCodec h264\r\n"
    "    VideoIP 239.9.9.9\r\n"
    "    VideoPort 6000\r\n"
    "    AudioCodec aac\r\n"
    "    AudioIP 239.9.9.9\r\n"
    "    AudioPort 6002\r\n"
    "    AudioGlobalHeader inband\r\n"
    "  </Output>\r\n"
    "</Slot3>\r\n";

}  // namespace

TEST(LegacyReader, ReadsAFullFileIntoTheRecords)
{
    TempDir dir{"config"};
    EXPECT_EQ(3, readLegacy(dir, kLegacyFile));

    const GLOBAL_SETTINGS& g = g_globalSettings;
    EXPECT_EQ(1, g.nLogLevel);
    EXPECT_EQ(9090, g.nPortHTTP);
    EXPECT_EQ(6554, g.nPortRTSP);
    EXPECT_EQ(0, g.bAutoRun);
    EXPECT_EQ(3, g.nAutoRestart);
    EXPECT_EQ(2, g.nCpuPerChannel);
    EXPECT_EQ(60, g.nStreamTimeLimit);
    EXPECT_EQ(1, g.bFolderRecur);
    EXPECT_EQ(1, g.bFolderShuffle);
    EXPECT_STREQ("s3cret!", g.szLoginPass);

    EXPECT_EQ(1, ch(0).bEnable);
    ASSERT_EQ(1, ch(0).nSources);
    EXPECT_EQ(RUXO_FORMAT_GENERAL, src(0, 0).source.format);
    EXPECT_STREQ("/media/in put.ts", src(0, 0).tszfnSource);
    EXPECT_EQ(src(0, 0).tszfnSource, src(0, 0).source.pszSrcName);
    EXPECT_STREQ("-deinterlace", ch(0).tszSourceVideoParam);
    EXPECT_STREQ("-re", ch(0).tszCustomSourceParam);
    ASSERT_EQ(1, ch(0).nTargets);
    const RUXO_TARGET& t = tgt(0, 0).target;
    EXPECT_EQ(RUXO_FORMAT_UDP, t.format);
    EXPECT_STREQ("udp://239.1.1.1:1234?pkt_size=1316", tgt(0, 0).tszfnTarget);
    EXPECT_EQ(tgt(0, 0).tszfnTarget, t.pszDstName);
    EXPECT_EQ(1, t.video.bEnable);
    EXPECT_EQ(RUXO_VIDEO_H264, t.video.attr.codec);
    EXPECT_EQ(1280, t.video.attr.nWidth);
    EXPECT_EQ(720, t.video.attr.nHeight);
    EXPECT_FLOAT_EQ(29.97f, t.video.attr.fFps);
    EXPECT_EQ(50, t.video.attr.nKeyFrameInterval);
    EXPECT_EQ(23, t.video.attr.nQuality);
    EXPECT_EQ(1, t.video.attr.nInterlacing);
    EXPECT_EQ(OUT_OF_BAND, t.video.rtp.globalHeader);
    EXPECT_STREQ("-preset fast ", tgt(0, 0).tszVideoParam);
    EXPECT_EQ(1, t.audio.bEnable);
    EXPECT_EQ(RUXO_AUDIO_AAC, t.audio.attr.codec);
    EXPECT_EQ(48000, t.audio.attr.nSampleRate);
    EXPECT_EQ(2, t.audio.attr.nChannel);
    EXPECT_EQ(128, t.audio.attr.nKbps);
    EXPECT_EQ(IN_BAND, t.audio.rtp.globalHeader);
    EXPECT_EQ(3000, t.nKbpsMux);
    EXPECT_STREQ("FMLE/3.0", tgt(0, 0).rtmp.tszFlashVer);
    EXPECT_STREQ("http://x/y.swf", tgt(0, 0).rtmp.tszSwfUrl);
    EXPECT_STREQ("user", tgt(0, 0).rtmp.tszPubUser);
    EXPECT_STREQ("pass", tgt(0, 0).rtmp.tszPubPass);
    EXPECT_STREQ("", tgt(0, 0).tszAudioParam);
    EXPECT_STREQ("-map 0:v -map 0:a", ch(0).tszMapParam);
    EXPECT_STREQ("-mpegts_flags resend_headers", ch(0).tszFormatParam);
    ASSERT_EQ(2, ch(0).nFilters);
    EXPECT_STREQ("yadif", ch(0).tszFilters[0]);
    EXPECT_STREQ("scale=1280:720", ch(0).tszFilters[1]);
    EXPECT_EQ(300, ch(0).nTimeShiftSec);
    EXPECT_STREQ("/var/cache/", ch(0).tszTimeShiftCacheFolder);
    EXPECT_STREQ("-y", ch(0).tszCustomTargetParam);
    EXPECT_STREQ("news", ch(0).tszMemo);

    // The network source's URL is the rest of its line, quotation marks included.
    EXPECT_EQ(0, ch(1).bEnable);
    EXPECT_EQ(RUXO_FORMAT_UDP, src(1, 0).source.format);
    EXPECT_STREQ("udp://@239.0.0.1:5000?fifo_size=100000&x=\"y\"", src(1, 0).tszfnSource);
    EXPECT_EQ(RUXO_VIDEO_COPY, tgt(1, 0).target.video.attr.codec);
    EXPECT_EQ(2000, tgt(1, 0).target.video.attr.nKbps);

    const RUXO_SOURCE& rtp = src(2, 0).source;
    EXPECT_EQ(RUXO_FORMAT_RTP, rtp.format);
    EXPECT_EQ(RUXO_VIDEO_H264, rtp.video.attr.codec);
    EXPECT_EQ(inet_addr("10.1.2.3"), rtp.video.rtp.ulSrcIP);
    EXPECT_EQ(5004, rtp.video.rtp.usSrcPort);
    EXPECT_STREQ("packetization-mode=1", rtp.video.rtp.szFmtp);
    EXPECT_EQ(RUXO_AUDIO_AAC, rtp.audio.attr.codec);
    EXPECT_EQ(44100, rtp.audio.attr.nSampleRate);
    EXPECT_EQ(1, rtp.audio.attr.nChannel);
    EXPECT_EQ(inet_addr("10.1.2.4"), rtp.audio.rtp.ulSrcIP);
    EXPECT_EQ(5006, rtp.audio.rtp.usSrcPort);
    EXPECT_STREQ("config=1190", rtp.audio.rtp.szFmtp);
    EXPECT_EQ(nullptr, rtp.pszSrcName);
    const RUXO_TARGET& t3 = tgt(2, 0).target;
    EXPECT_EQ(RUXO_FORMAT_RTP, t3.format);
    EXPECT_EQ(inet_addr("239.9.9.9"), t3.video.rtp.ulDstIP);
    EXPECT_EQ(6000, t3.video.rtp.usDstPort);
    EXPECT_EQ(inet_addr("239.9.9.9"), t3.audio.rtp.ulDstIP);
    EXPECT_EQ(6002, t3.audio.rtp.usDstPort);
    EXPECT_EQ(0u, t3.video.rtp.ulSrcIP);  // a target keeps its addresses in the destination fields

    for (int i = 3; i < RUXO_LEGACY_CHANNELS; i++)
        EXPECT_EQ(0, ch(i).nSources) << i;

    // Rendered and loaded as the configuration, all three channels stand.
    ASSERT_NE(nullptr, ruxoSetConfig(ruxoRenderLegacyConfig().c_str()));
    cJSON* channels = jsonGetItem(g_jsonConfig, "channels");
    ASSERT_EQ(3, jsonGetArraySize(channels));
    cJSON* g3 = jsonGetArrayItem(jsonGetItem(jsonGetItem(jsonGetArrayItem(channels, 2), "output"), "targets"), 0);
    EXPECT_EQ("rtp_native", getJsonString(g3, "format"));
    EXPECT_EQ("239.9.9.9", getJsonString(jsonGetItem(g3, "video"), "IP"));
    EXPECT_EQ("s3cret!", getJsonString(jsonGetItem(g_jsonConfig, "global"), "loginPass"));
}

/* The reader's rules and bounds, one small file each. */
TEST(LegacyReader, RulesAndBounds)
{
    const std::string strLong(1200, 'x');
    struct Case {
        const char* szName;
        std::string strText;
        int nBlocks;
        std::function<void()> check;
    };
    auto target = [](const std::string& strLines) {
        return "<Slot1>\n<Output>\n" + strLines + "</Output>\n</Slot1>\n";
    };
    auto input = [](const std::string& strLines) { return "<Slot1>\n<Input>\n" + strLines + "</Input>\n</Slot1>\n"; };
    const RUXO_VIDEO_ATTR& va = tgt(0, 0).target.video.attr;
    const Case kCases[] = {
        {"bit rate then quality", target("VideoBitRate 2000\nVideoQuality 23\n"), 1,
         [&] {
             EXPECT_EQ(0, va.nQuality);
             EXPECT_EQ(2000, va.nKbps);
         }},
        {"quality then bit rate", target("VideoQuality 23\nVideoBitRate 2000\n"), 1,
         [&] { EXPECT_EQ(0, va.nQuality); }},
        {"quality alone", target("VideoQuality 23\n"), 1, [&] { EXPECT_EQ(23, va.nQuality); }},
        {"map items removed", target("VideoParam \"-s 640x360 -map 0:v -map 0:a -an\"\n"), 1,
         [] { EXPECT_STREQ("-s 640x360 -an", tgt(0, 0).tszVideoParam); }},
        {"only map items", target("VideoParam \"-map 0:v\"\n"), 1, [] { EXPECT_STREQ("", tgt(0, 0).tszVideoParam); }},
        {"time shift in minutes, the later line wins", target("TimeShift 5\n"), 1,
         [] { EXPECT_EQ(300, ch(0).nTimeShiftSec); }},
        {"time shift in seconds after minutes", target("TimeShift 5\nTimeShiftSec 7\n"), 1,
         [] { EXPECT_EQ(7, ch(0).nTimeShiftSec); }},
        {"time shift held to int", target("TimeShift 99999999\n"), 1, [] { EXPECT_EQ(INT_MAX, ch(0).nTimeShiftSec); }},
        {"negative time shift held to int", target("TimeShift -99999999999\n"), 1,
         [] { EXPECT_EQ(INT_MIN, ch(0).nTimeShiftSec); }},
        {"cache folder that ends in a solidus", target("TimeShiftCacheFolder \"/c/\"\n"), 1,
         [] { EXPECT_STREQ("/c/", ch(0).tszTimeShiftCacheFolder); }},
        {"more filters than the table holds",
         target("Filters 12\nFilter[1] \"f1\"\nFilter[10] \"f10\"\nFilter[11] \"f11\"\nFilter[12] \"f12\"\n"), 1,
         [] {
             EXPECT_EQ(10, ch(0).nFilters);
             EXPECT_STREQ("f1", ch(0).tszFilters[0]);
             EXPECT_STREQ("f10", ch(0).tszFilters[9]);
         }},
        {"a filter before its count is not read", target("Filter[1] \"early\"\nFilters 1\n"), 1,
         [] { EXPECT_STREQ("", ch(0).tszFilters[0]); }},
        {"negative filter count", target("Filters -3\n"), 1, [] { EXPECT_EQ(0, ch(0).nFilters); }},
        {"frame rate with a full stop", target("VideoFrameRate 25.5\n"), 1, [&] { EXPECT_FLOAT_EQ(25.5f, va.fFps); }},
        {"frame rate with a comma", target("VideoFrameRate 25,5\n"), 1, [&] { EXPECT_FLOAT_EQ(25.5f, va.fFps); }},
        {"frame rate without a fraction", target("VideoFrameRate 30.\n"), 1, [&] { EXPECT_FLOAT_EQ(30, va.fFps); }},
        {"frame rate with an exponent", target("VideoFrameRate 2.5e1\n"), 1, [&] { EXPECT_FLOAT_EQ(25, va.fFps); }},
        {"frame rate not a number", target("VideoFrameRate 25\nVideoFrameRate nan\n"), 1,
         [&] { EXPECT_EQ(0, va.fFps); }},
        {"frame rate infinite", target("VideoFrameRate -INF\n"), 1, [&] { EXPECT_EQ(0, va.fFps); }},
        {"frame rate beyond float", target("VideoFrameRate 1e400\n"), 1, [&] { EXPECT_EQ(FLT_MAX, va.fFps); }},
        {"frame rate beyond any range", target("VideoFrameRate 1e99999999999\n"), 1,
         [&] { EXPECT_EQ(FLT_MAX, va.fFps); }},
        {"frame rate too small for any range", target("VideoFrameRate 25\nVideoFrameRate 5e-99999999999\n"), 1,
         [&] { EXPECT_EQ(0, va.fFps); }},
        {"frame rate with a tiny mantissa", target("VideoFrameRate 0." + std::string(900, '0') + "1\n"), 1,
         [&] { EXPECT_EQ(0, va.fFps); }},
        {"frame rate that is no number", target("VideoFrameRate 25\nVideoFrameRate abc\n"), 1,
         [&] { EXPECT_FLOAT_EQ(25, va.fFps); }},
        {"ports held to 16 bits", target("VideoPort 70000\nAudioPort -5\n"), 1,
         [] {
             EXPECT_EQ(65535, tgt(0, 0).target.video.rtp.usDstPort);
             EXPECT_EQ(0, tgt(0, 0).target.audio.rtp.usDstPort);
         }},
        {"a number held to int, a line without one", "HTTPPort 99999999999999999999\nRTSPPort abc\n", 0,
         [] {
             EXPECT_EQ(INT_MAX, g_globalSettings.nPortHTTP);
             EXPECT_EQ(5544, g_globalSettings.nPortRTSP);
         }},
        {"keys ignore case but need their blank", "httpport 9000\nlog5\nAUTORESTART\t7\n", 0,
         [] {
             EXPECT_EQ(9000, g_globalSettings.nPortHTTP);
             EXPECT_EQ(0, g_globalSettings.nLogLevel);
             EXPECT_EQ(1, g_globalSettings.nAutoRestart);
         }},
        {"a word stops at white space", "LoginPass two words\n", 0,
         [] { EXPECT_STREQ("two", g_globalSettings.szLoginPass); }},
        {"two sub-blocks after the count",
         input("NumInputs 2\n<Input1>\nFormat file\nFile \"/a.ts\"\n</Output1>\n<Input2>\nFormat udp\n"
               "File udp://h:1\n</Output2>\n"),
         1,
         [] {
             EXPECT_EQ(2, ch(0).nSources);
             EXPECT_STREQ("/a.ts", src(0, 0).tszfnSource);
             EXPECT_STREQ("udp://h:1", src(0, 1).tszfnSource);
         }},
        {"a blank line uses up a sub-block's turn",
         input("NumInputs 2\n<Input1>\nFile \"/a.ts\"\n</Output1>\n\n<Input2>\nFile \"/b.ts\"\n</Output2>\n"), 1,
         [] {
             EXPECT_EQ(2, ch(0).nSources);
             EXPECT_STREQ("/b.ts", src(0, 0).tszfnSource);
             EXPECT_STREQ("", src(0, 1).tszfnSource);
         }},
        {"more inputs than a channel holds", input("NumInputs 9\n"), 1, [] { EXPECT_EQ(5, ch(0).nSources); }},
        {"output sub-blocks",
         target("NumOutputs 2\n<Output1>\nFile \"/o1\"\n</Output1>\n<Output2>\n"
                "File \"/o2\"\nVideoQuality 9\n</Output2>\nMemo \"m\"\n"),
         1,
         [] {
             EXPECT_EQ(2, ch(0).nTargets);
             EXPECT_STREQ("/o1", tgt(0, 0).tszfnTarget);
             EXPECT_STREQ("/o2", tgt(0, 1).tszfnTarget);
             EXPECT_EQ(9, tgt(0, 1).target.video.attr.nQuality);
             EXPECT_STREQ("m", ch(0).tszMemo);
         }},
        {"the file form follows the format read so far",
         input("File \"/q.ts\" tail\nFormat rtmp\nFile rtmp://h/a \"b\"\r\n"), 1,
         [] { EXPECT_STREQ("rtmp://h/a \"b\"", src(0, 0).tszfnSource); }},
        {"a quoted text that is empty or missing", target("Memo \"m\"\nMemo \"\"\nMemo none\n"), 1,
         [] { EXPECT_STREQ("m", ch(0).tszMemo); }},
        {"a block numbered 2 first is read as top-level lines", "<Slot2>\nHTTPPort 7000\n</Slot2>\n", 0,
         [] { EXPECT_EQ(7000, g_globalSettings.nPortHTTP); }},
        {"either closing tag ends a block", "<Channel1>\nEnable 1\n</Slot1>\nHTTPPort 7001\n", 1,
         [] {
             EXPECT_EQ(1, ch(0).bEnable);
             EXPECT_EQ(7001, g_globalSettings.nPortHTTP);
         }},
        {"an over-long line keeps its first 999 characters and drops the rest",
         "LoginPass " + strLong + "\n" + std::string(999, ' ') + "LoginPass evil\n", 0,
         [&] {
             EXPECT_STREQ("", g_globalSettings.szLoginPass + 989);
             EXPECT_EQ(std::string(989, 'x'), g_globalSettings.szLoginPass);
         }},
        {"an over-long address word is no address",
         input("VideoIP 10.0.0.1\nVideoIP " + std::string(99, '1') + "10.0.0.1\n"), 1,
         [] { EXPECT_EQ((unsigned long)INADDR_NONE, src(0, 0).source.video.rtp.ulSrcIP); }},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.szName);
        TempDir dir{"config"};
        EXPECT_EQ(c.nBlocks, readLegacy(dir, c.strText));
        c.check();
    }
}

TEST(LegacyReader, SixteenBlocksAtMost)
{
    TempDir dir{"config"};
    std::string strText;
    for (int i = 1; i <= 17; i++) {
        strText += "<Slot" + std::to_string(i) + ">\nEnable " + std::to_string(i) + "\n</Slot" + std::to_string(i) +
                   ">\n";
    }
    strText += "HTTPPort 7777\n";
    EXPECT_EQ(16, readLegacy(dir, strText));
    EXPECT_EQ(16, ch(15).bEnable);
    EXPECT_EQ(8888, g_globalSettings.nPortHTTP);

    // A second read starts from reset records.
    EXPECT_EQ(0, readLegacy(dir, "RTSPPort 1\n"));
    EXPECT_EQ(0, ch(0).bEnable);
    EXPECT_EQ(1, g_globalSettings.nPortRTSP);
    EXPECT_EQ(1, g_globalSettings.nAutoRestart);
}

TEST(LegacyReader, FilesThatCannotBeReadLeaveTheRecords)
{
    TempDir dir{"config"};
    g_globalSettings.nPortRTSP = 42;
    EXPECT_EQ(RUXO_LEGACY_MISSING, ruxoImportConfigXML(dir.file("none.conf").c_str()));
    EXPECT_EQ(RUXO_LEGACY_MISSING, ruxoImportConfigXML(NULL));

    ASSERT_EQ(0, mkdir(dir.file("folder.conf").c_str(), 0755));
    EXPECT_EQ(RUXO_LEGACY_UNREADABLE, ruxoImportConfigXML(dir.file("folder.conf").c_str()));
    ASSERT_EQ(0, mkfifo(dir.file("fifo.conf").c_str(), 0644));
    EXPECT_EQ(RUXO_LEGACY_UNREADABLE, ruxoImportConfigXML(dir.file("fifo.conf").c_str()));  // no hang
    ASSERT_EQ(0, symlink(dir.file("gone").c_str(), dir.file("link.conf").c_str()));
    EXPECT_EQ(RUXO_LEGACY_UNREADABLE, ruxoImportConfigXML(dir.file("link.conf").c_str()));
    EXPECT_EQ(42, g_globalSettings.nPortRTSP);
}

/* ---- the conversion of a first start ---------------------------------------------------------- */

TEST(LegacyConversion, ConvertsThenDeletesAndIsNotReadAgain)
{
    TempDir dir{"config"};
    const std::string strJson = dir.file("ruxod.json");
    const std::string strLegacy = dir.file("ruxod.conf");
    ASSERT_TRUE(writeFile(strLegacy, kLegacyFile));
    ruxoSetConfigPath(dir.path().c_str());
    ruxoImportConfig();

    EXPECT_FALSE(fileExists(strLegacy));
    ASSERT_NE(nullptr, g_jsonConfig);
    EXPECT_EQ("", ruxoConfigNoTreeReason());
    cJSON* g = jsonGetItem(g_jsonConfig, "global");
    EXPECT_EQ(9090, getJsonInt(g, "httpPort"));
    EXPECT_EQ("s3cret!", getJsonString(g, "loginPass"));
    EXPECT_EQ(1, getJsonInt(g, "log"));
    EXPECT_EQ(3, jsonGetArraySize(jsonGetItem(g_jsonConfig, "channels")));
    // The file holds the rendering of all 16 legacy records.
    cJSON* doc = cJSON_Parse(readFile(strJson).c_str());
    EXPECT_EQ(16, jsonGetArraySize(jsonGetItem(doc, "channels")));
    cJSON_Delete(doc);
    // Loading it reset the legacy settings, so the log level 1 was not raised afterwards.
    EXPECT_EQ(0, g_globalSettings.nLogLevel);

    // A legacy file beside an existing configuration is never read.
    ASSERT_TRUE(writeFile(strLegacy, "HTTPPort 1234\n"));
    const std::string strBefore = readFile(strJson);
    ruxoImportConfig();
    EXPECT_EQ("HTTPPort 1234\n", readFile(strLegacy));
    EXPECT_EQ(strBefore, readFile(strJson));
    EXPECT_EQ(9090, getJsonInt(jsonGetItem(g_jsonConfig, "global"), "httpPort"));
}

TEST(LegacyConversion, AConfigurationThatDoesNotParseIsNotReplaced)
{
    TempDir dir{"config"};
    const std::string strJson = dir.file("ruxod.json");
    const std::string strLegacy = dir.file("ruxod.conf");
    ASSERT_TRUE(writeFile(strJson, "{\"global\": "));
    ASSERT_TRUE(writeFile(strLegacy, kLegacyFile));
    ruxoSetConfigPath(dir.path().c_str());
    testing::internal::CaptureStdout();
    ruxoImportConfig();
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(nullptr, g_jsonConfig);
    EXPECT_EQ("{\"global\": ", readFile(strJson));
    EXPECT_EQ(kLegacyFile, readFile(strLegacy));
    EXPECT_NE(std::string::npos, ruxoConfigNoTreeReason().find(strJson));
}

TEST(LegacyConversion, ALegacyFileThatCannotBeReadIsKeptAndNothingIsWritten)
{
    TempDir dir{"config"};
    const std::string strLegacy = dir.file("ruxod.conf");
    ASSERT_EQ(0, mkdir(strLegacy.c_str(), 0755));
    ruxoSetConfigPath(dir.path().c_str());
    testing::internal::CaptureStdout();
    ruxoImportConfig();
    EXPECT_EQ(-1, ruxoExportConfig(NULL));  // the defaults must not take its place at exit either
    std::string strOut = testing::internal::GetCapturedStdout();
    EXPECT_NE(std::string::npos, strOut.find(strLegacy)) << strOut;
    EXPECT_EQ(nullptr, g_jsonConfig);
    EXPECT_TRUE(ruxoConfigLoadFailed());
    EXPECT_NE(std::string::npos, ruxoConfigNoTreeReason().find(strLegacy));
    EXPECT_FALSE(fileExists(dir.file("ruxod.json")));
    struct stat st;
    ASSERT_EQ(0, stat(strLegacy.c_str(), &st));
    EXPECT_TRUE(S_ISDIR(st.st_mode));
}

/* ---- the access-list file --------------------------------------------------------------------- */

TEST(AccessListFile, RulesOfItsLines)
{
    struct Case {
        const char* szLine;
        bool bTaken;
        const char* szBegin;
        const char* szEnd;
        BOOL bAllow;
    };
    const Case kCases[] = {
        {"allow 192.168.1.0/24", true, "192.168.1.0", "192.168.1.255", TRUE},
        {"deny all", true, "0.0.0.0", "255.255.255.255", FALSE},
        {"ALLOW ALL", true, "0.0.0.0", "255.255.255.255", TRUE},
        {"block 10.0.0.1", true, "10.0.0.1", "10.0.0.1", FALSE},
        {"allow 10.0.0.5/24", true, "10.0.0.5", "10.0.1.4", TRUE},  // the base is not masked
        {"allow 10.0.0.1/32", true, "10.0.0.1", "10.0.0.1", TRUE},
        {"allow 0.0.0.0/0", true, "0.0.0.0", "255.255.255.255", TRUE},
        /* A range that would run past the last address ends there, never wraps round to 0. */
        {"deny 255.255.255.255/0", true, "255.255.255.255", "255.255.255.255", FALSE},
        {"allow 200.0.0.1/1", true, "200.0.0.1", "255.255.255.255", TRUE},
        {"  allow   10.0.0.2   trailing words", true, "10.0.0.2", "10.0.0.2", TRUE},
        {"# allow all", false, "", "", FALSE},
        {"#deny all", false, "", "", FALSE},
        {"allow", false, "", "", FALSE},
        {"allow ", false, "", "", FALSE},
        {"", false, "", "", FALSE},
        {"allow\t10.0.0.1", false, "", "", FALSE},  // a tab does not separate
        {"allow 10.0.0.1\r", false, "", "", FALSE},
        {"allow 10.0.0.0/33", false, "", "", FALSE},
        {"allow 10.0.0.0/-1", false, "", "", FALSE},
        {"allow 10.0.0.0/", false, "", "", FALSE},
        {"allow 10.0.0.0/8x", false, "", "", FALSE},
        {"allow 10.0.0.0/99999999999999999999", false, "", "", FALSE},
        {"allow 300.0.0.1", false, "", "", FALSE},
        {"allow 10.1", false, "", "", FALSE},
        {"allow host.example", false, "", "", FALSE},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.szLine);
        TempDir dir{"config"};
        ASSERT_TRUE(writeFile(dir.file("x.acl"), std::string(c.szLine) + "\n"));
        EXPECT_EQ(c.bTaken ? 1 : 0, ruxoReadAclFile(dir.file("x.acl").c_str()));
        if (!c.bTaken) {
            EXPECT_EQ(0u, g_ipAcl[0].ip_end);
            continue;
        }
        EXPECT_EQ(ntohl(inet_addr(c.szBegin)), g_ipAcl[0].ip_begin);
        EXPECT_EQ(ntohl(inet_addr(c.szEnd)), g_ipAcl[0].ip_end);
        EXPECT_EQ(c.bAllow, g_ipAcl[0].bAllow);
    }
}

TEST(AccessListFile, OrderCapsAndTheStartUpStep)
{
    TempDir dir{"config"};
    // 150 rules with comments and a long line between them: the first 100 rules, in order.
    std::string strText = "# header\n" + std::string(99, 'y') + " allow 10.9.9.9\n";
    for (int i = 0; i < 150; i++)
        strText += "allow 10.0." + std::to_string(i / 100) + "." + std::to_string(i % 100) + "\n";
    ASSERT_TRUE(writeFile(dir.file("ruxod.acl"), strText));
    EXPECT_EQ(100, ruxoReadAclFile(dir.file("ruxod.acl").c_str()));
    EXPECT_EQ(ntohl(inet_addr("10.0.0.0")), g_ipAcl[0].ip_begin);
    EXPECT_EQ(ntohl(inet_addr("10.0.0.99")), g_ipAcl[99].ip_begin);

    // The start-up step sets the path beside the configuration and reads it; nothing admits or
    // refuses by it: the configuration's "ipACL" stays as the file gave it.
    ASSERT_TRUE(writeFile(dir.file("ruxod.json"), "{\"global\": {\"ipACL\": \"\"}}"));
    ASSERT_TRUE(writeFile(dir.file("ruxod.acl"), "deny all\n"));
    ruxoSetConfigPath(dir.path().c_str());
    ruxoImportConfig();
    EXPECT_EQ(dir.file("ruxod.acl"), g_tszfnAcl);
    EXPECT_EQ(UINT32_MAX, g_ipAcl[0].ip_end);
    EXPECT_FALSE(g_ipAcl[0].bAllow);
    EXPECT_EQ("", getJsonString(jsonGetItem(g_jsonConfig, "global"), "ipACL"));

    // Without the file, or with a FIFO in its place (never waited on), the table is empty.
    ASSERT_EQ(0, unlink(dir.file("ruxod.acl").c_str()));
    ruxoImportConfig();
    EXPECT_EQ(0u, g_ipAcl[0].ip_end);
    ASSERT_EQ(0, mkfifo(dir.file("ruxod.acl").c_str(), 0644));
    testing::internal::CaptureStdout();
    g_ipAcl[0].ip_end = 1;
    ruxoImportConfig();
    std::string strOut = testing::internal::GetCapturedStdout();
    EXPECT_EQ(0u, g_ipAcl[0].ip_end);
    EXPECT_NE(std::string::npos, strOut.find(dir.file("ruxod.acl"))) << strOut;
}

/* ---- address helpers -------------------------------------------------------------------------- */

TEST(LegacyHelpers, AddressesConvert)
{
    EXPECT_STREQ("192.0.2.1", Inet_ntoa(inet_addr("192.0.2.1")));
    EXPECT_STREQ("192.0.2.1", Inet_ntoa(0xffffffff00000000UL | inet_addr("192.0.2.1")));
    EXPECT_STREQ("0.0.0.0", Inet_ntoa(0));
    EXPECT_EQ((unsigned long)inet_addr("10.1.2.3"), Inet_addr("10.1.2.3"));
    EXPECT_EQ(0xffffffffUL, Inet_addr("not an address"));
    EXPECT_EQ(0xffffffffUL, Inet_addr(NULL));
}
