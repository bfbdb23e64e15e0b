/* test_config_vocab.cpp -- the format and codec words as tables: every word to its value, the
 * shared values, unknown words to 255, values back to words, and the codec names of the engine
 * reading back to the same values. */
#include <gtest/gtest.h>

#include <string>

#include "ruxo_vocab.h"

namespace {

struct WordCase {
    const char* szWord;
    int nValue;
};

const WordCase kFormatWords[] = {
    {"file", 0},   {"ftp", 0},         {"rtmp", 1},  {"mpegts", 2},    {"udp", 2},  {"udpts", 2},     {"http", 3},
    {"httpts", 3}, {"httpmp4", 4},     {"rtp", 5},   {"rtpts", 5},     {"srt", 6},  {"hls", 7},       {"dash", 8},
    {"device", 9}, {"rtp_native", 10}, {"rtsp", 11}, {"decklink", 12}, {"ndi", 13}, {"httpmjpg", 14},
};

const WordCase kAudioWords[] = {
    {"g711u", 0}, {"g711a", 1}, {"pcm16s", 2}, {"pcm24s", 3}, {"pcm16u", 4}, {"pcm24u", 5}, {"mp2a", 6},
    {"mp3", 7},   {"aac", 9},   {"heaac", 10}, {"opus", 11},  {"ac3", 12},   {"eac3", 13},  {"copy", 14},
};

const WordCase kVideoWords[] = {
    {"h261", 128},   {"h263", 129},   {"h263+", 130},  {"mp1v", 131},   {"mp2v", 132},   {"mp4v", 133},
    {"flv", 134},    {"h264", 135},   {"h265", 136},   {"nv264", 137},  {"nv265", 138},  {"qsv264", 139},
    {"qsv265", 140}, {"qsvvp9", 141}, {"qsvmpg", 142}, {"amf264", 143}, {"amf265", 144}, {"prores", 145},
    {"mjpeg", 146},  {"vp8", 147},    {"vp9", 148},    {"av1", 149},    {"copy", 150},
};

std::string upper(const char* sz)
{
    std::string s(sz);
    for (char& c : s) {
        if (c >= 'a' && c <= 'z')
            c = (char)(c - 'a' + 'A');
    }
    return s;
}

std::string mixed(const char* sz)
{
    std::string s(sz);
    for (size_t i = 0; i < s.size(); i += 2) {
        if (s[i] >= 'a' && s[i] <= 'z')
            s[i] = (char)(s[i] - 'a' + 'A');
    }
    return s;
}

}  // namespace

TEST(Vocabulary, EveryWordReadsItsValueInAnyCase)
{
    for (const WordCase& c : kFormatWords) {
        EXPECT_EQ(c.nValue, ruxoGetFormatId(c.szWord)) << c.szWord;
        EXPECT_EQ(c.nValue, ruxoGetFormatId(upper(c.szWord).c_str())) << c.szWord;
        EXPECT_EQ(c.nValue, ruxoGetFormatId(mixed(c.szWord).c_str())) << c.szWord;
    }
    for (const WordCase& c : kAudioWords) {
        EXPECT_EQ(c.nValue, ruxoGetAudioCodecId(c.szWord)) << c.szWord;
        EXPECT_EQ(c.nValue, ruxoGetAudioCodecId(upper(c.szWord).c_str())) << c.szWord;
    }
    for (const WordCase& c : kVideoWords) {
        EXPECT_EQ(c.nValue, ruxoGetVideoCodecId(c.szWord)) << c.szWord;
        EXPECT_EQ(c.nValue, ruxoGetVideoCodecId(mixed(c.szWord).c_str())) << c.szWord;
    }
}

TEST(Vocabulary, OtherWordsReadAs255)
{
    const char* const kFormats[] = {"", " udp", "udp ", "rtspt", "mms", "mmst", "ud", "udpx", "rtp-native", "h264"};
    for (const char* sz : kFormats)
        EXPECT_EQ(255, ruxoGetFormatId(sz)) << "[" << sz << "]";
    EXPECT_EQ(255, ruxoGetFormatId(NULL));

    // Enumerator endings are no words; a video word is no audio word and the reverse.
    const char* const kAudio[] = {"", "amr", "mp2", "h264", "aac ", "AAC+"};
    for (const char* sz : kAudio)
        EXPECT_EQ(255, ruxoGetAudioCodecId(sz)) << "[" << sz << "]";
    EXPECT_EQ(255, ruxoGetAudioCodecId(NULL));
    const char* const kVideo[] = {"", "h263p", "mp2", "aac", "h.264", "av01"};
    for (const char* sz : kVideo)
        EXPECT_EQ(255, ruxoGetVideoCodecId(sz)) << "[" << sz << "]";
    EXPECT_EQ(255, ruxoGetVideoCodecId(NULL));
}

TEST(Vocabulary, NoAudioWordReadsAs8)
{
    for (const WordCase& c : kAudioWords)
        EXPECT_NE(8, ruxoGetAudioCodecId(c.szWord));
    for (const WordCase& c : kVideoWords)
        EXPECT_NE(8, ruxoGetAudioCodecId(c.szWord));
}

TEST(Vocabulary, FormatValuesBackToWords)
{
    const char* const kNames[] = {"file", "rtmp",   "udp", "http", "httpmp4",  "rtpts", "srt",     "hls",
                                  "dash", "device", "rtp", "rtsp", "decklink", "ndi",   "httpmjpg"};
    for (int i = 0; i <= 14; i++) {
        ASSERT_NE(nullptr, ruxoGetFormatName((RUXO_FORMAT)i));
        EXPECT_STREQ(kNames[i], ruxoGetFormatName((RUXO_FORMAT)i));
    }
    EXPECT_EQ(nullptr, ruxoGetFormatName((RUXO_FORMAT)15));
    EXPECT_EQ(nullptr, ruxoGetFormatName(RUXO_FORMAT_NULL));
    EXPECT_EQ(nullptr, ruxoGetFormatName((RUXO_FORMAT)-1));

    // Every written word reads back to its value, except native RTP: its word "rtp" names RTP over
    // MPEG-TS, and only "rtp_native" reads as native RTP (the configuration rendering writes that).
    for (int i = 0; i <= 14; i++) {
        int nBack = ruxoGetFormatId(ruxoGetFormatName((RUXO_FORMAT)i));
        EXPECT_EQ(i == RUXO_FORMAT_RTP ? RUXO_FORMAT_RTPTS : i, nBack) << i;
    }
    EXPECT_EQ(RUXO_FORMAT_RTP, ruxoGetFormatId("rtp_native"));
    EXPECT_EQ(RUXO_FORMAT_RTPTS, ruxoGetFormatId("rtp"));
}

TEST(Vocabulary, EngineCodecNamesReadBack)
{
    for (const WordCase& c : kAudioWords) {
        const char* sz = ruxoGetCodecName((RUXO_CODEC)c.nValue);
        ASSERT_NE(nullptr, sz) << c.nValue;
        EXPECT_STREQ(c.szWord, sz);
        EXPECT_EQ(c.nValue, ruxoGetAudioCodecId(sz));
    }
    for (const WordCase& c : kVideoWords) {
        const char* sz = ruxoGetCodecName((RUXO_CODEC)c.nValue);
        ASSERT_NE(nullptr, sz) << c.nValue;
        EXPECT_STREQ(c.szWord, sz);
        EXPECT_EQ(c.nValue, ruxoGetVideoCodecId(sz));
    }
}

TEST(Vocabulary, CodecDescriptions)
{
    EXPECT_STREQ("H.263   (RFC 2190)", ruxoGetCodecDesc(129));
    EXPECT_STREQ("H.263+   (RFC 4629)", ruxoGetCodecDesc(130));
    EXPECT_STREQ("MPEG-4   (RFC 3016)", ruxoGetCodecDesc(133));
    EXPECT_STREQ("H.264   (RFC 3984)", ruxoGetCodecDesc(135));
    for (int n : {0, 128, 131, 132, 134, 136, 150, 255})
        EXPECT_STREQ("Other", ruxoGetCodecDesc((unsigned char)n));
}
