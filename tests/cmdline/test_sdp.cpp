/* test_sdp.cpp -- the SDP files of native RTP sessions: the writer's exact text, its failures, the
 * encoding names, and the reader on hand-written descriptions and its edge cases. */
#include <gtest/gtest.h>
#include <locale.h>
#include <stdio.h>

#include <string>
#include <thread>
#include <vector>

#include "cmdline_test_util.h"
#include "ruxo.h"
#include "ruxo_cmdline_internal.h"

namespace {

std::string writeToText(const RUXO_VIDEO_STREAM* v, const RUXO_AUDIO_STREAM* a, int iSrc, int* pRc = nullptr)
{
    char* buf = nullptr;
    size_t size = 0;
    FILE* fp = open_memstream(&buf, &size);
    int rc = ruxoExportSdpInternal(fp, v, a, iSrc);
    fclose(fp);
    std::string text(buf, size);
    free(buf);
    if (pRc)
        *pRc = rc;
    return text;
}

int readFromText(const std::string& text, RUXO_VIDEO_STREAM* v, RUXO_AUDIO_STREAM* a, int iDst)
{
    FILE* fp = fmemopen(const_cast<char*>(text.data()), text.size(), "r");
    int rc = ruxoImportSdpInternal(fp, v, a, iDst);
    fclose(fp);
    return rc;
}

RUXO_VIDEO_STREAM video(RUXO_CODEC codec, unsigned short port, const char* addr = nullptr)
{
    RUXO_VIDEO_STREAM v;
    memset(&v, 0, sizeof v);
    v.attr.codec = codec;
    v.rtp.usSrcPort = port;
    v.rtp.ulSrcIP = addr ? ipv4(addr) : 0;
    return v;
}

RUXO_AUDIO_STREAM audio(RUXO_CODEC codec, unsigned short port, int rate = 0, int channels = 0)
{
    RUXO_AUDIO_STREAM a;
    memset(&a, 0, sizeof a);
    a.attr.codec = codec;
    a.attr.nSampleRate = rate;
    a.attr.nChannel = channels;
    a.rtp.usSrcPort = port;
    return a;
}

const char* kHead = "v=0\no=- 0 0 IN IPV4 0.0.0.0\ns=Zembrax\nt=0 0\n";

TEST(SdpWriter, VideoOnly)
{
    RUXO_VIDEO_STREAM v = video(RUXO_VIDEO_H264, 500);
    EXPECT_EQ(writeToText(&v, nullptr, 1),
              std::string(kHead) + "c=IN IP4 0.0.0.0\nm=video 500 RTP/AVP 96\na=rtpmap:96 h264/90000\n\n");
}

TEST(SdpWriter, EncodingNamesPayloadTypesAndClockRates)
{
    struct Case {
        RUXO_CODEC vcodec;
        RUXO_CODEC acodec;
        int rate, channels;
        const char* expected; /* after the head */
    } cases[] = {
        {RUXO_VIDEO_H263, RUXO_CODEC_NULL, 0, 0, "c=IN IP4 0.0.0.0\nm=video 500 RTP/AVP 34\na=rtpmap:34 h263/90000\n"},
        {RUXO_VIDEO_H263P, RUXO_CODEC_NULL, 0, 0,
         "c=IN IP4 0.0.0.0\nm=video 500 RTP/AVP 96\na=rtpmap:96 H263-1998/90000\n"},
        {RUXO_VIDEO_MP2, RUXO_CODEC_NULL, 0, 0, "c=IN IP4 0.0.0.0\nm=video 500 RTP/AVP 96\na=rtpmap:96 MPV/90000\n"},
        {RUXO_VIDEO_MP4, RUXO_CODEC_NULL, 0, 0,
         "c=IN IP4 0.0.0.0\nm=video 500 RTP/AVP 96\na=rtpmap:96 MP4V-ES/90000\n"},
        {RUXO_CODEC_NULL, RUXO_AUDIO_AAC, 48000, 2,
         "c=IN IP4 0.0.0.0\nm=audio 502 RTP/AVP 97\na=rtpmap:97 MP4A-LATM/48000/2\na=rtpmap:97 MP4A-LATM/48000/2\n"},
        {RUXO_CODEC_NULL, RUXO_AUDIO_MP3, 44100, 0,
         "c=IN IP4 0.0.0.0\nm=audio 502 RTP/AVP 97\na=rtpmap:97 MPA/90000/1\n"},
        {RUXO_CODEC_NULL, RUXO_AUDIO_G711U, 0, 0,
         "c=IN IP4 0.0.0.0\nm=audio 502 RTP/AVP 97\na=rtpmap:97 g711u/8000/1\n"},
        {RUXO_CODEC_NULL, RUXO_AUDIO_OPUS, 48000, 2,
         "c=IN IP4 0.0.0.0\nm=audio 502 RTP/AVP 97\na=rtpmap:97 opus/8000/2\n"},
    };
    for (const Case& c : cases) {
        RUXO_VIDEO_STREAM v = video(c.vcodec, c.vcodec == RUXO_CODEC_NULL ? 0 : 500);
        RUXO_AUDIO_STREAM a = audio(c.acodec, c.acodec == RUXO_CODEC_NULL ? 0 : 502, c.rate, c.channels);
        int rc = -2;
        EXPECT_EQ(writeToText(&v, &a, 1, &rc), std::string(kHead) + c.expected + "\n");
        EXPECT_EQ(rc, 0);
    }
}

TEST(SdpWriter, SidesAddressesAndFormatParameters)
{
    RUXO_VIDEO_STREAM v = video(RUXO_VIDEO_H264, 5004, "127.0.0.1");
    v.rtp.ulDstIP = ipv4("192.0.2.20");
    v.rtp.usDstPort = 6004;
    snprintf(v.rtp.szFmtp, sizeof v.rtp.szFmtp, "packetization-mode=1");
    RUXO_AUDIO_STREAM a = audio(RUXO_AUDIO_MP2, 0, 48000, 2);
    a.rtp.ulDstIP = ipv4("192.0.2.21");
    a.rtp.usDstPort = 6006;
    snprintf(a.rtp.szFmtp, sizeof a.rtp.szFmtp, "layer=2;");
    /* local side: the audio has no local port, so only video */
    EXPECT_EQ(writeToText(&v, &a, 1), std::string(kHead) +
                                          "c=IN IP4 127.0.0.1\nm=video 5004 RTP/AVP 96\na=rtpmap:96 h264/90000\n"
                                          "a=fmtp:96 packetization-mode=1\n\n");
    /* remote side */
    EXPECT_EQ(writeToText(&v, &a, 0), std::string(kHead) +
                                          "c=IN IP4 192.0.2.20\nm=video 6004 RTP/AVP 96\na=rtpmap:96 h264/90000\n"
                                          "a=fmtp:96 packetization-mode=1\n"
                                          "c=IN IP4 192.0.2.21\nm=audio 6006 RTP/AVP 97\na=rtpmap:97 MPA/90000/2\n"
                                          "a=fmtp:97 layer=2;\n\n");
    /* neither record: the session lines only */
    EXPECT_EQ(writeToText(nullptr, nullptr, 1), std::string(kHead) + "\n");

    /* format parameters without a terminator are written bounded */
    memset(v.rtp.szFmtp, 'p', sizeof v.rtp.szFmtp);
    std::string text = writeToText(&v, nullptr, 1);
    EXPECT_NE(text.find("a=fmtp:96 " + std::string(RUXO_FMTP_SIZE - 1, 'p') + "\n"), std::string::npos);
}

TEST(SdpWriter, Failures)
{
    /* a codec without an encoding name: -1, the lines so far stay */
    RUXO_AUDIO_STREAM amr = audio(RUXO_AUDIO_AMR, 502);
    int rc = 0;
    EXPECT_EQ(writeToText(nullptr, &amr, 1, &rc), std::string(kHead) + "c=IN IP4 0.0.0.0\nm=audio 502 RTP/AVP 97\n");
    EXPECT_EQ(rc, -1);
    RUXO_VIDEO_STREAM bad = video(static_cast<RUXO_CODEC>(200), 500);
    writeToText(&bad, nullptr, 1, &rc);
    EXPECT_EQ(rc, -1);

    TempDataDir dir;
    RUXO_VIDEO_STREAM v = video(RUXO_VIDEO_H264, 500);
    EXPECT_EQ(ruxoExportSdp((dir.path() + "/no/such/dir/a.sdp").c_str(), &v, nullptr, 1), -1);
    EXPECT_EQ(ruxoExportSdp("", &v, nullptr, 1), -1);
    EXPECT_EQ(ruxoExportSdp("/dev/full", &v, nullptr, 1), -1); /* a write that fails is no success */
    std::string path = dir.path() + "/log/a.sdp";
    EXPECT_EQ(ruxoExportSdp(path.c_str(), &v, nullptr, 1), 0);

    /* writing again truncates */
    RUXO_VIDEO_STREAM back;
    EXPECT_EQ(ruxoImportSdp(path.c_str(), &back, nullptr, 0), 0);
    EXPECT_EQ(back.attr.codec, RUXO_VIDEO_H264);
    EXPECT_EQ(back.rtp.usSrcPort, 500);
    EXPECT_EQ(ruxoImportSdp((dir.path() + "/missing.sdp").c_str(), &back, nullptr, 0), -1);
}

TEST(SdpWriter, AddressTextIsPerThread)
{
    std::vector<std::thread> threads;
    std::vector<int> bad(8, 0);
    for (int i = 0; i < 8; ++i)
        threads.emplace_back([i, &bad] {
            std::string want = "10.0.0." + std::to_string(i + 1);
            unsigned long addr = ipv4(want.c_str());
            for (int k = 0; k < 2000; ++k)
                if (want != Inet_ntoaA(addr))
                    ++bad[i];
        });
    for (std::thread& t : threads)
        t.join();
    for (int b : bad)
        EXPECT_EQ(b, 0);
    EXPECT_STREQ(Inet_ntoaA(0), "0.0.0.0");
    EXPECT_STREQ(Inet_ntoaA(0xffffffff00000000UL | ipv4("192.0.2.1")), "192.0.2.1");
}

TEST(SdpWriter, MimeNames)
{
    EXPECT_STREQ(getCodecMimeName(RUXO_AUDIO_MP2), "MPA");
    EXPECT_STREQ(getCodecMimeName(RUXO_AUDIO_MP3), "MPA");
    EXPECT_STREQ(getCodecMimeName(RUXO_AUDIO_AAC), "MP4A-LATM");
    EXPECT_STREQ(getCodecMimeName(RUXO_VIDEO_MP1), "MPV");
    EXPECT_STREQ(getCodecMimeName(RUXO_VIDEO_H264), "h264");
    EXPECT_STREQ(getCodecMimeName(RUXO_AUDIO_G711U), "g711u");
    EXPECT_EQ(getCodecMimeName(RUXO_AUDIO_AMR), nullptr);
    EXPECT_EQ(getCodecMimeName(static_cast<RUXO_CODEC>(151)), nullptr);
}

/* ---- reader --------------------------------------------------------------------------------- */

TEST(SdpReader, StaticPayloadTypes)
{
    RUXO_VIDEO_STREAM v;
    RUXO_AUDIO_STREAM a;
    EXPECT_EQ(readFromText("v=0\nm=audio 500 RTP/AVP 0\n", &v, &a, 0), 1); /* payload type 0 */
    EXPECT_EQ(a.attr.codec, RUXO_AUDIO_G711U);
    EXPECT_EQ(a.attr.nSampleRate, 8000);
    EXPECT_EQ(a.rtp.usSrcPort, 500);
    EXPECT_EQ(readFromText("v=0\r\nm=audio 500 RTP/AVP 8\r\n", &v, &a, 0), 0);
    EXPECT_EQ(a.attr.codec, RUXO_AUDIO_G711A);
    EXPECT_EQ(a.attr.nSampleRate, 8000);
    EXPECT_EQ(readFromText("m=video 500 RTP/AVP 32\n", &v, &a, 0), 0);
    EXPECT_EQ(v.attr.codec, RUXO_VIDEO_MP2);
    EXPECT_EQ(readFromText("m=video 500 RTP/AVP 34\n", &v, &a, 1), 0);
    EXPECT_EQ(v.attr.codec, RUXO_VIDEO_H263);
    EXPECT_EQ(v.rtp.usDstPort, 500);
    EXPECT_EQ(v.rtp.usSrcPort, 0);
    /* no media line, a port of 0 */
    EXPECT_EQ(readFromText("v=0\ns=x\n", &v, &a, 0), 1);
    EXPECT_EQ(readFromText("m=video 0 RTP/AVP 96\n", &v, &a, 0), 1);
    EXPECT_EQ(readFromText("", nullptr, nullptr, 0), 1);
}

TEST(SdpReader, RoundTripOfWhatTheWriterWrites)
{
    RUXO_VIDEO_STREAM v = video(RUXO_VIDEO_MP4, 5004, "127.0.0.1");
    snprintf(v.rtp.szFmtp, sizeof v.rtp.szFmtp, "profile-level-id=1;config=000001B0");
    RUXO_AUDIO_STREAM a = audio(RUXO_AUDIO_AAC, 5006, 44100, 2);
    a.rtp.ulSrcIP = ipv4("127.0.0.2");
    snprintf(a.rtp.szFmtp, sizeof a.rtp.szFmtp, "profile-level-id=1;cpresent=0");
    std::string text = writeToText(&v, &a, 1);

    RUXO_VIDEO_STREAM rv;
    RUXO_AUDIO_STREAM ra;
    EXPECT_EQ(readFromText(text, &rv, &ra, 0), 0);
    EXPECT_EQ(rv.attr.codec, RUXO_VIDEO_MP4);
    EXPECT_EQ(rv.rtp.ulSrcIP, ipv4("127.0.0.1"));
    EXPECT_EQ(rv.rtp.usSrcPort, 5004);
    EXPECT_STREQ(rv.rtp.szFmtp, "profile-level-id=1;config=000001B0");
    EXPECT_EQ(ra.attr.codec, RUXO_AUDIO_AAC);
    EXPECT_EQ(ra.attr.nSampleRate, 44100);
    EXPECT_EQ(ra.attr.nChannel, 2);
    EXPECT_EQ(ra.rtp.ulSrcIP, ipv4("127.0.0.2"));
    EXPECT_EQ(ra.rtp.usSrcPort, 5006);
    /* the audio section's format parameters stay with the audio */
    EXPECT_STREQ(ra.rtp.szFmtp, "profile-level-id=1;cpresent=0");

    /* read as the remote side */
    EXPECT_EQ(readFromText(text, &rv, &ra, 1), 0);
    EXPECT_EQ(rv.rtp.usDstPort, 5004);
    EXPECT_EQ(rv.rtp.usSrcPort, 0);
    EXPECT_EQ(ra.rtp.usDstPort, 5006);
    EXPECT_EQ(ra.attr.codec, RUXO_AUDIO_AAC);
}

TEST(SdpReader, ConnectionLines)
{
    const std::string text =
        "v=0\nc=IN IP4 192.0.2.1/127\n"
        "m=video 500 RTP/AVP 96\n"
        "m=audio 502 RTP/AVP 97\nc=IN IP4 192.0.2.9\n";
    RUXO_VIDEO_STREAM v;
    RUXO_AUDIO_STREAM a;
    EXPECT_EQ(readFromText(text, &v, &a, 0), 0);
    EXPECT_EQ(v.rtp.ulSrcIP, ipv4("192.0.2.1")); /* the session address reaches every media line */
    EXPECT_EQ(a.rtp.ulSrcIP, ipv4("192.0.2.1")); /* a later media-level line fills only a 0 address */

    EXPECT_EQ(readFromText("m=video 500 RTP/AVP 96\nc=IN IP4 192.0.2.7\nm=audio 502 RTP/AVP 97\n", &v, &a, 0), 0);
    EXPECT_EQ(v.rtp.ulSrcIP, ipv4("192.0.2.7"));
    EXPECT_EQ(a.rtp.ulSrcIP, ipv4("192.0.2.7"));

    EXPECT_EQ(readFromText("c=IN IP4 not-an-address\nm=video 500 RTP/AVP 96\n", &v, nullptr, 0), 0);
    EXPECT_EQ(v.rtp.ulSrcIP, static_cast<unsigned long>(INADDR_NONE));
}

TEST(SdpReader, EncodingNames)
{
    struct Case {
        const char* text;
        int vcodec, acodec, rate, channels;
    } cases[] = {
        {"m=video 1 RTP/AVP 96\na=rtpmap:96 h261/90000\n", 128, 0, 0, 0},
        {"m=video 1 RTP/AVP 96\na=rtpmap:96 H263-2000/90000\n", 130, 0, 0, 0},
        {"m=video 1 RTP/AVP 96\na=rtpmap:96 MPV/90000\n", 131, 0, 0, 0},
        {"m=video 1 RTP/AVP 96\na=rtpmap:96 flv/90000\n", 134, 0, 0, 0},
        {"m=video 1 RTP/AVP 96\na=rtpmap:96 H264/90000\n", 0, 0, 0, 0}, /* names are matched with case */
        {"m=video 1 RTP/AVP 96\na=rtpmap:97 h264/90000\n", 0, 0, 0, 0}, /* another payload type */
        {"m=audio 1 RTP/AVP 97\na=rtpmap:97 pcm24u/48000/2\n", 0, 5, 48000, 2},
        {"m=audio 1 RTP/AVP 97\na=rtpmap:97 mpeg4-generic/44100\n", 0, 9, 44100, 0},
        {"m=audio 1 RTP/AVP 97\na=rtpmap:97 opus/48000/2\n", 0, 0, 0, 0},
        {"m=audio 1 RTP/AVP 97\na=rtpmap:97 MPA/90000/1\na=fmtp:97 layer=3;\n", 0, 7, 90000, 1},
        {"m=audio 1 RTP/AVP 97\na=rtpmap:97 MPA/90000\na=fmtp:97 samplerate=32000; mode=Stereo\n", 0, 6, 32000, 2},
        {"m=audio 1 RTP/AVP 97\na=rtpmap:97 MPA/90000\na=fmtp:97 mode=single_channel;\n", 0, 6, 90000, 1},
        /* an audio section's rtpmap does not reach the video record */
        {"m=video 1 RTP/AVP 96\nm=audio 2 RTP/AVP 96\na=rtpmap:96 h264/90000\n", 0, 0, 0, 0},
    };
    for (const Case& c : cases) {
        RUXO_VIDEO_STREAM v;
        RUXO_AUDIO_STREAM a;
        readFromText(c.text, &v, &a, 0);
        EXPECT_EQ(v.attr.codec, c.vcodec) << c.text;
        EXPECT_EQ(a.attr.codec, c.acodec) << c.text;
        EXPECT_EQ(a.attr.nSampleRate, c.rate) << c.text;
        EXPECT_EQ(a.attr.nChannel, c.channels) << c.text;
    }
}

TEST(SdpReader, ChannelModeIgnoresCaseWhateverTheLocale)
{
    /* A Turkish locale folds 'I' to a dotless i, so a locale-following compare misses "SINGLE_CHANNEL". */
    if (!setlocale(LC_ALL, "tr_TR.UTF-8"))
        GTEST_SKIP() << "no Turkish locale available (LOCPATH)";
    RUXO_VIDEO_STREAM v;
    RUXO_AUDIO_STREAM a;
    readFromText("m=audio 1 RTP/AVP 97\na=rtpmap:97 MPA/90000\na=fmtp:97 mode=SINGLE_CHANNEL;\n", &v, &a, 0);
    int single = a.attr.nChannel;
    readFromText("m=audio 1 RTP/AVP 97\na=rtpmap:97 MPA/90000\na=fmtp:97 mode=STEREO\n", &v, &a, 0);
    int stereo = a.attr.nChannel;
    setlocale(LC_ALL, "C");
    EXPECT_EQ(single, 1);
    EXPECT_EQ(stereo, 2);
}

TEST(SdpReader, LongLinesAreBounded)
{
    /* a format-parameter line longer than the record: cut to 999 characters, and the tail of a line
     * longer than the reader's buffer is no line of its own */
    std::string text = "m=video 500 RTP/AVP 96\na=fmtp:96 " + std::string(1500, 'q') + "m=audio 7 RTP/AVP 0\n";
    RUXO_VIDEO_STREAM v;
    RUXO_AUDIO_STREAM a;
    EXPECT_EQ(readFromText(text, &v, &a, 0), 0);
    EXPECT_EQ(std::string(v.rtp.szFmtp), std::string(RUXO_FMTP_SIZE - 1, 'q'));
    EXPECT_EQ(a.rtp.usSrcPort, 0); /* "m=audio" inside the long line's tail is not read */
    EXPECT_EQ(v.rtp.usSrcPort, 500);
}

}  // namespace
