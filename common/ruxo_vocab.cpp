/* ruxo_vocab.cpp -- the words that name formats and codecs in the configuration file, the web
 * interface and the channel start, and the lookups between words and values.
 *
 * Words match ignoring the case of ASCII letters only (never the process locale), whole words,
 * without trimming. Unknown, empty and null words give 255. */
#include "ruxo_vocab.h"

#include <stddef.h>

#include "ruxo_text_core.h"

namespace {

struct VocabWord {
    const char* szWord;
    unsigned char ucValue;
};

const VocabWord s_formatWords[] = {
    {"file", RUXO_FORMAT_GENERAL},     {"ftp", RUXO_FORMAT_GENERAL},
    {"rtmp", RUXO_FORMAT_RTMP},        {"mpegts", RUXO_FORMAT_UDP},
    {"udp", RUXO_FORMAT_UDP},          {"udpts", RUXO_FORMAT_UDP},
    {"http", RUXO_FORMAT_HTTP},        {"httpts", RUXO_FORMAT_HTTP},
    {"httpmp4", RUXO_FORMAT_HTTP_MP4}, {"rtp", RUXO_FORMAT_RTPTS},
    {"rtpts", RUXO_FORMAT_RTPTS},      {"srt", RUXO_FORMAT_SRT},
    {"hls", RUXO_FORMAT_HLS},          {"dash", RUXO_FORMAT_DASH},
    {"device", RUXO_FORMAT_DEVICE},    {"rtp_native", RUXO_FORMAT_RTP},
    {"rtsp", RUXO_FORMAT_RTSP},        {"decklink", RUXO_FORMAT_DECKLINK},
    {"ndi", RUXO_FORMAT_NDI},          {"httpmjpg", RUXO_FORMAT_HTTP_MJPEG},
};

/* Indexed by the format value 0..14: the one word each value is written as. */
const char* const s_formatNames[] = {
    "file", "rtmp",   "udp", "http", "httpmp4",  "rtpts", "srt",      "hls",
    "dash", "device", "rtp", "rtsp", "decklink", "ndi",   "httpmjpg",
};

/* No word reads as RUXO_AUDIO_AMR (8). */
const VocabWord s_audioWords[] = {
    {"g711u", RUXO_AUDIO_G711U},   {"g711a", RUXO_AUDIO_G711A},   {"pcm16s", RUXO_AUDIO_PCM16S},
    {"pcm24s", RUXO_AUDIO_PCM24S}, {"pcm16u", RUXO_AUDIO_PCM16U}, {"pcm24u", RUXO_AUDIO_PCM24U},
    {"mp2a", RUXO_AUDIO_MP2},      {"mp3", RUXO_AUDIO_MP3},       {"aac", RUXO_AUDIO_AAC},
    {"heaac", RUXO_AUDIO_HEAAC},   {"opus", RUXO_AUDIO_OPUS},     {"ac3", RUXO_AUDIO_AC3},
    {"eac3", RUXO_AUDIO_EAC3},     {"copy", RUXO_AUDIO_COPY},
};

const VocabWord s_videoWords[] = {
    {"h261", RUXO_VIDEO_H261},     {"h263", RUXO_VIDEO_H263},     {"h263+", RUXO_VIDEO_H263P},
    {"mp1v", RUXO_VIDEO_MP1},      {"mp2v", RUXO_VIDEO_MP2},      {"mp4v", RUXO_VIDEO_MP4},
    {"flv", RUXO_VIDEO_FLV},       {"h264", RUXO_VIDEO_H264},     {"h265", RUXO_VIDEO_H265},
    {"nv264", RUXO_VIDEO_NV264},   {"nv265", RUXO_VIDEO_NV265},   {"qsv264", RUXO_VIDEO_QSV264},
    {"qsv265", RUXO_VIDEO_QSV265}, {"qsvvp9", RUXO_VIDEO_QSVVP9}, {"qsvmpg", RUXO_VIDEO_QSVMPG},
    {"amf264", RUXO_VIDEO_AMF264}, {"amf265", RUXO_VIDEO_AMF265}, {"prores", RUXO_VIDEO_PRORES},
    {"mjpeg", RUXO_VIDEO_MJPEG},   {"vp8", RUXO_VIDEO_VP8},       {"vp9", RUXO_VIDEO_VP9},
    {"av1", RUXO_VIDEO_AV1},       {"copy", RUXO_VIDEO_COPY},
};

/* The table words are lower case: a word whose first letter differs is passed over at once. */
template <size_t N>
unsigned char lookupWord(const VocabWord (&table)[N], const char* szName)
{
    if (szName == NULL)
        return 255;
    int cFirst = ruxoAsciiLower((unsigned char)szName[0]);
    for (size_t i = 0; i < N; i++) {
        if ((unsigned char)table[i].szWord[0] == cFirst && ruxoStrCaseEqual(table[i].szWord, szName))
            return table[i].ucValue;
    }
    return 255;
}

}  // namespace

RUXO_FORMAT ruxoGetFormatId(const char* szName)
{
    return (RUXO_FORMAT)lookupWord(s_formatWords, szName);
}

const char* ruxoGetFormatName(RUXO_FORMAT format)
{
    unsigned int uValue = (unsigned int)format;
    if (uValue >= sizeof(s_formatNames) / sizeof(s_formatNames[0]))
        return NULL;
    return s_formatNames[uValue];
}

RUXO_CODEC ruxoGetAudioCodecId(const char* szName)
{
    return (RUXO_CODEC)lookupWord(s_audioWords, szName);
}

RUXO_CODEC ruxoGetVideoCodecId(const char* szName)
{
    return (RUXO_CODEC)lookupWord(s_videoWords, szName);
}

LPCTSTR ruxoGetCodecDesc(unsigned char ucCodec)
{
    switch (ucCodec) {
    case RUXO_VIDEO_H263:
        return "H.263   (RFC 2190)";
    case RUXO_VIDEO_H263P:
        return "H.263+   (RFC 4629)";
    case RUXO_VIDEO_MP4:
        return "MPEG-4   (RFC 3016)";
    case RUXO_VIDEO_H264:
        return "H.264   (RFC 3984)";
    default:
        return "Other";
    }
}
