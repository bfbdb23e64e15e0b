/* ruxo_util.cpp -- the engine's small helpers: codec names (encoder names for the command line and
 * the short configuration names), the option reader, the URL tests shared with the channel layer,
 * locale-free number formatting, and the SDP files that describe native RTP sessions. */
#include <arpa/inet.h>
#include <netinet/in.h>
#include <string.h>
#include <wchar.h>

#include <charconv>
#include <climits>
#include <string>

#include "ruxo.h"
#include "ruxo_cmdline_internal.h"
#include "ruxo_text_core.h"

/* ---- codec names ---------------------------------------------------------------------------- */

namespace {

struct CodecNames {
    int value;
    const char* encoder;   /* what the transcoder's "-c:a"/"-c:v" takes, with fixed encoder options */
    const char* shortName; /* the configuration's word for the codec */
};

const CodecNames kCodecNames[] = {
    {RUXO_AUDIO_G711U, "pcm_mulaw", "g711u"},
    {RUXO_AUDIO_G711A, "pcm_alaw", "g711a"},
    {RUXO_AUDIO_PCM16S, "pcm_s16le", "pcm16s"},
    {RUXO_AUDIO_PCM24S, "pcm_s24le", "pcm24s"},
    {RUXO_AUDIO_PCM16U, "pcm_u16le", "pcm16u"},
    {RUXO_AUDIO_PCM24U, "pcm_u24le", "pcm24u"},
    {RUXO_AUDIO_MP2, "mp2", "mp2a"},
    {RUXO_AUDIO_MP3, "libmp3lame", "mp3"},
    {RUXO_AUDIO_AMR, "libamr_nb -ab 12200", nullptr},
    {RUXO_AUDIO_AAC, "aac", "aac"},
    {RUXO_AUDIO_HEAAC, "libfdk_aac", "heaac"},
    {RUXO_AUDIO_OPUS, "libopus", "opus"},
    {RUXO_AUDIO_AC3, "ac3", "ac3"},
    {RUXO_AUDIO_EAC3, "eac3", "eac3"},
    {RUXO_AUDIO_COPY, "copy", "copy"},
    {RUXO_VIDEO_H261, "h261", "h261"},
    {RUXO_VIDEO_H263, "h263", "h263"},
    {RUXO_VIDEO_H263P, "h263p -flags +aic -umv 1 -aiv 1", "h263+"},
    {RUXO_VIDEO_MP1, "mpeg1video", "mp1v"},
    {RUXO_VIDEO_MP2, "mpeg2video", "mp2v"},
    {RUXO_VIDEO_MP4, "mpeg4", "mp4v"},
    {RUXO_VIDEO_FLV, "flv", "flv"},
    {RUXO_VIDEO_H264, "libx264", "h264"},
    {RUXO_VIDEO_H265, "libx265", "h265"},
    {RUXO_VIDEO_NV264, "h264_nvenc", "nv264"},
    {RUXO_VIDEO_NV265, "hevc_nvenc", "nv265"},
    {RUXO_VIDEO_QSV264, "h264_qsv", "qsv264"},
    {RUXO_VIDEO_QSV265, "hevc_qsv", "qsv265"},
    {RUXO_VIDEO_QSVVP9, "vp9_qsv", "qsvvp9"},
    {RUXO_VIDEO_QSVMPG, "mpeg2_qsv", "qsvmpg"},
    {RUXO_VIDEO_AMF264, "h264_amf", "amf264"},
    {RUXO_VIDEO_AMF265, "hevc_amf", "amf265"},
    {RUXO_VIDEO_PRORES, "prores_ks", "prores"},
    {RUXO_VIDEO_MJPEG, "mjpeg", "mjpeg"},
    {RUXO_VIDEO_VP8, "libvpx", "vp8"},
    {RUXO_VIDEO_VP9, "libvpx-vp9", "vp9"},
    {RUXO_VIDEO_AV1, "libaom-av1", "av1"},
    {RUXO_VIDEO_COPY, "copy", "copy"},
};

const CodecNames* findCodec(RUXO_CODEC codec)
{
    for (const CodecNames& c : kCodecNames)
        if (c.value == static_cast<int>(codec))
            return &c;
    return nullptr;
}

}  // namespace

const char* getCodecName(RUXO_CODEC codec)
{
    const CodecNames* c = findCodec(codec);
    return c ? c->encoder : nullptr;
}

const char* ruxoGetCodecName(RUXO_CODEC codec)
{
    const CodecNames* c = findCodec(codec);
    return c ? c->shortName : nullptr;
}

/* ---- option reader -------------------------------------------------------------------------- */

namespace {

/* The first occurrence of needle in hay, compared exactly; the needle may be narrow ASCII text when
 * hay is wide. */
template <typename C, typename N>
const C* findText(const C* hay, const N* needle)
{
    if (!hay || !needle)
        return nullptr;
    if (!*needle)
        return hay;
    for (; *hay; ++hay) {
        const C* h = hay;
        const N* n = needle;
        while (*h && *n && *h == C(*n))
            ++h, ++n;
        if (!*n)
            return hay;
    }
    return nullptr;
}

template <typename C>
int parseOpt(const C* szLine, const C* szOpt, int* pVal)
{
    const C* p = findText(szLine, szOpt);
    if (!p || !pVal)
        return 0;
    p += std::char_traits<C>::length(szOpt);
    while (*p == C(' ') || *p == C('\t'))
        ++p;
    bool neg = false;
    if (*p == C('+') || *p == C('-'))
        neg = (*p++ == C('-'));
    if (*p < C('0') || *p > C('9'))
        return 0;
    long long v = 0;
    for (; *p >= C('0') && *p <= C('9'); ++p) {
        v = v * 10 + (*p - C('0'));
        if (v > static_cast<long long>(INT_MAX) + 1)
            return 0; /* does not fit an int */
    }
    if (neg)
        v = -v;
    if (v < INT_MIN || v > INT_MAX)
        return 0;
    *pVal = static_cast<int>(v);
    return 1;
}

}  // namespace

int _parseOptA(const char* szLine, const char* szOpt, int* pVal)
{
    return parseOpt(szLine, szOpt, pVal);
}

int _parseOptW(const wchar_t* szLine, const wchar_t* szOpt, int* pVal)
{
    return parseOpt(szLine, szOpt, pVal);
}

/* ---- URL tests ------------------------------------------------------------------------------ */

namespace {

template <typename C>
int isRtmp(const C* s)
{
    static const char* const kSchemes[] = {"rtmp://", "rtmpe://", "rtmps://", "rtmpt://", "rtmpte://", "rtmpts://"};
    for (const char* scheme : kSchemes)
        if (ruxoStartsNoCase(s, scheme))
            return 1;
    return 0;
}

template <typename C>
int isStream(const C* s)
{
    if (ruxoEndsNoCase(s, ".sdp"))
        return 1;
    if (!findText(s, "://"))
        return 0;
    if (ruxoStartsNoCase(s, "ftp://") || ruxoStartsNoCase(s, "sftp://"))
        return 0;
    if (ruxoEndsNoCase(s, ".m3u") || ruxoEndsNoCase(s, ".m3u8"))
        return 0;
    return 1;
}

}  // namespace

int _isRtmpUrl(const void* pUrl, int bUnicode)
{
    if (!pUrl)
        return 0;
    return bUnicode ? isRtmp(static_cast<const wchar_t*>(pUrl)) : isRtmp(static_cast<const char*>(pUrl));
}

int _isRTPUrl(const void* pUrl, int bUnicode)
{
    if (!pUrl)
        return 0;
    return bUnicode ? ruxoStartsNoCase(static_cast<const wchar_t*>(pUrl), "rtp://")
                    : ruxoStartsNoCase(static_cast<const char*>(pUrl), "rtp://");
}

int _isStreamUrl(const void* pUrl, int bUnicode)
{
    if (!pUrl)
        return 0;
    return bUnicode ? isStream(static_cast<const wchar_t*>(pUrl)) : isStream(static_cast<const char*>(pUrl));
}

/* ---- text conversion and numbers ------------------------------------------------------------ */

bool _ruxoWideToNarrow(const wchar_t* pszWide, std::string& out)
{
    out.clear();
    if (!pszWide)
        return true;
    mbstate_t state;
    memset(&state, 0, sizeof state);
    char buf[MB_LEN_MAX];
    for (; *pszWide; ++pszWide) {
        size_t n = wcrtomb(buf, *pszWide, &state);
        if (n == static_cast<size_t>(-1))
            return false;
        out.append(buf, n);
    }
    return true;
}

/* std::to_chars never looks at the locale, so these always write a full stop. */
std::string _ruxoFixed1(double value)
{
    char buf[400];
    std::to_chars_result r = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::fixed, 1);
    if (r.ec != std::errc())
        return "0.0";
    return std::string(buf, r.ptr);
}

std::string _ruxoGeneral(double value)
{
    char buf[64];
    std::to_chars_result r = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::general, 6);
    if (r.ec != std::errc())
        return "0";
    return std::string(buf, r.ptr);
}

/* ---- SDP files ------------------------------------------------------------------------------ */

const char* getCodecMimeName(RUXO_CODEC codec)
{
    switch (codec) {
    case RUXO_AUDIO_MP2:
    case RUXO_AUDIO_MP3:
        return "MPA";
    case RUXO_AUDIO_AAC:
        return "MP4A-LATM";
    case RUXO_VIDEO_H263P:
        return "H263-1998";
    case RUXO_VIDEO_MP1:
    case RUXO_VIDEO_MP2:
        return "MPV";
    case RUXO_VIDEO_MP4:
        return "MP4V-ES";
    default:
        return ruxoGetCodecName(codec);
    }
}

char* Inet_ntoaA(unsigned long addr)
{
    static thread_local char s_szAddr[INET_ADDRSTRLEN];
    struct in_addr in;
    in.s_addr = static_cast<in_addr_t>(addr & 0xffffffffUL);
    if (!inet_ntop(AF_INET, &in, s_szAddr, sizeof s_szAddr))
        s_szAddr[0] = '\0';
    return s_szAddr;
}

namespace {

/* The format parameters as written: never more than the record holds, even without a terminator. */
int fmtpLength(const char* szFmtp)
{
    return static_cast<int>(strnlen(szFmtp, RUXO_FMTP_SIZE - 1));
}

}  // namespace

int ruxoExportSdpInternal(FILE* fpSdp, const RUXO_VIDEO_STREAM* pVideo, const RUXO_AUDIO_STREAM* pAudio, int iSrc)
{
    if (!fpSdp)
        return RUXO_ERR_FAILED;
    fputs("v=0\no=- 0 0 IN IPV4 0.0.0.0\ns=Zembrax\nt=0 0\n", fpSdp);

    if (pVideo) {
        const RUXO_RTP_SESSION& rtp = pVideo->rtp;
        unsigned long addr = iSrc ? rtp.ulSrcIP : rtp.ulDstIP;
        unsigned short port = iSrc ? rtp.usSrcPort : rtp.usDstPort;
        if (port != 0) {
            int pt = pVideo->attr.codec == RUXO_VIDEO_H263 ? 34 : 96;
            fprintf(fpSdp, "c=IN IP4 %s\n", Inet_ntoaA(addr));
            fprintf(fpSdp, "m=video %d RTP/AVP %d\n", port, pt);
            const char* name = getCodecMimeName(pVideo->attr.codec);
            if (!name)
                return RUXO_ERR_FAILED;
            fprintf(fpSdp, "a=rtpmap:%d %s/90000\n", pt, name);
            int n = fmtpLength(rtp.szFmtp);
            if (n > 0)
                fprintf(fpSdp, "a=fmtp:%d %.*s\n", pt, n, rtp.szFmtp);
        }
    }

    if (pAudio) {
        const RUXO_RTP_SESSION& rtp = pAudio->rtp;
        unsigned long addr = iSrc ? rtp.ulSrcIP : rtp.ulDstIP;
        unsigned short port = iSrc ? rtp.usSrcPort : rtp.usDstPort;
        if (port != 0) {
            const int pt = 97;
            RUXO_CODEC codec = pAudio->attr.codec;
            fprintf(fpSdp, "c=IN IP4 %s\n", Inet_ntoaA(addr));
            fprintf(fpSdp, "m=audio %d RTP/AVP %d\n", port, pt);
            const char* name = getCodecMimeName(codec);
            if (!name)
                return RUXO_ERR_FAILED;
            int clock = 8000;
            if (codec == RUXO_AUDIO_MP2 || codec == RUXO_AUDIO_MP3)
                clock = 90000;
            else if (codec == RUXO_AUDIO_AAC)
                clock = pAudio->attr.nSampleRate;
            int channels = pAudio->attr.nChannel > 0 ? pAudio->attr.nChannel : 1;
            fprintf(fpSdp, "a=rtpmap:%d %s/%d/%d\n", pt, name, clock, channels);
            if (codec == RUXO_AUDIO_AAC)
                fprintf(fpSdp, "a=rtpmap:%d MP4A-LATM/%d/%d\n", pt, clock, channels);
            int n = fmtpLength(rtp.szFmtp);
            if (n > 0)
                fprintf(fpSdp, "a=fmtp:%d %.*s\n", pt, n, rtp.szFmtp);
        }
    }

    fputs("\n", fpSdp);
    return RUXO_OK;
}

int ruxoExportSdp(const char* szfnSdp, const RUXO_VIDEO_STREAM* pVideo, const RUXO_AUDIO_STREAM* pAudio, int iSrc)
{
    if (!szfnSdp || !*szfnSdp)
        return RUXO_ERR_FAILED;
    FILE* fp = fopen(szfnSdp, "we");
    if (!fp)
        return RUXO_ERR_FAILED;
    int rc = ruxoExportSdpInternal(fp, pVideo, pAudio, iSrc);
    /* A file that could not be written completely is a failure, not a description. */
    if (ferror(fp) && rc == RUXO_OK)
        rc = RUXO_ERR_FAILED;
    if (fclose(fp) != 0 && rc == RUXO_OK)
        rc = RUXO_ERR_FAILED;
    return rc;
}

namespace {

/* Copies the rest of an attribute line up to CR or LF into a format-parameter field, cut to fit. */
void copyFmtp(char* szFmtp, const char* text)
{
    size_t n = strcspn(text, "\r\n");
    if (n > RUXO_FMTP_SIZE - 1)
        n = RUXO_FMTP_SIZE - 1;
    memcpy(szFmtp, text, n);
    szFmtp[n] = '\0';
}

/* The rest of "a=rtpmap:<pt> " or "a=fmtp:<pt> " for the payload type of the last media line. */
const char* afterAttr(const char* line, const char* attr, unsigned short pt)
{
    std::string prefix = std::string(attr) + std::to_string(pt) + " ";
    return ruxoStartsWith(line, prefix.c_str()) ? line + prefix.size() : nullptr;
}

}  // namespace

int ruxoImportSdpInternal(FILE* fpSdp, RUXO_VIDEO_STREAM* pVideo, RUXO_AUDIO_STREAM* pAudio, int iDst)
{
    if (pVideo)
        memset(pVideo, 0, sizeof *pVideo);
    if (pAudio)
        memset(pAudio, 0, sizeof *pAudio);
    if (!fpSdp)
        return 1;

    /* The side of each session that the file describes. */
    unsigned long* pVideoAddr = pVideo ? (iDst ? &pVideo->rtp.ulDstIP : &pVideo->rtp.ulSrcIP) : nullptr;
    unsigned short* pVideoPort = pVideo ? (iDst ? &pVideo->rtp.usDstPort : &pVideo->rtp.usSrcPort) : nullptr;
    unsigned long* pAudioAddr = pAudio ? (iDst ? &pAudio->rtp.ulDstIP : &pAudio->rtp.ulSrcIP) : nullptr;
    unsigned short* pAudioPort = pAudio ? (iDst ? &pAudio->rtp.usDstPort : &pAudio->rtp.usSrcPort) : nullptr;

    unsigned long curAddr = 0;
    unsigned short lastPort = 0, lastPt = 0;
    bool seenVideo = false, seenAudio = false, seenMedia = false;
    enum { SECTION_SESSION, SECTION_VIDEO, SECTION_AUDIO, SECTION_OTHER } section = SECTION_SESSION;

    char buf[1024];
    /* "m=video <port> RTP/AVP <pt>" or "m=audio ...": a section begins, and its session (when
     * asked for) takes the current address and the port. Both texts are 8 characters long. */
    auto beginMedia = [&](unsigned long* pAddr, unsigned short* pPort) {
        unsigned short port = 0, pt = 0;
        sscanf(buf + 8, "%hu RTP/AVP %hu", &port, &pt);
        lastPort = port;
        lastPt = pt;
        seenMedia = true;
        if (pAddr) {
            *pAddr = curAddr;
            *pPort = port;
        }
    };
    bool atLineStart = true;
    while (fgets(buf, sizeof buf, fpSdp)) {
        size_t len = strlen(buf);
        bool wasLineStart = atLineStart;
        atLineStart = len > 0 && buf[len - 1] == '\n';
        /* The tail of a line longer than the buffer is no line of its own. */
        if (!wasLineStart)
            continue;

        if (ruxoStartsWith(buf, "c=IN IP4 ")) {
            std::string addr(buf + 9, strcspn(buf + 9, "/ \t\r\n"));
            curAddr = inet_addr(addr.c_str());
            if (seenVideo && pVideoAddr && *pVideoAddr == 0)
                *pVideoAddr = curAddr;
            if (seenAudio && pAudioAddr && *pAudioAddr == 0)
                *pAudioAddr = curAddr;
            continue;
        }
        if (ruxoStartsWith(buf, "m=video ")) {
            beginMedia(pVideoAddr, pVideoPort);
            seenVideo = true;
            section = SECTION_VIDEO;
            if (pVideo) {
                if (lastPt == 32)
                    pVideo->attr.codec = RUXO_VIDEO_MP2;
                else if (lastPt == 34)
                    pVideo->attr.codec = RUXO_VIDEO_H263;
            }
            continue;
        }
        if (ruxoStartsWith(buf, "m=audio ")) {
            beginMedia(pAudioAddr, pAudioPort);
            seenAudio = true;
            section = SECTION_AUDIO;
            if (pAudio) {
                if (lastPt == 0) {
                    pAudio->attr.codec = RUXO_AUDIO_G711U;
                    pAudio->attr.nSampleRate = 8000;
                } else if (lastPt == 8) {
                    pAudio->attr.codec = RUXO_AUDIO_G711A;
                    pAudio->attr.nSampleRate = 8000;
                }
            }
            continue;
        }
        if (ruxoStartsWith(buf, "m=")) { /* a media section this reader does not fill: its attributes stay out */
            section = SECTION_OTHER;
            continue;
        }

        /* Attribute lines belong to the media section they stand in. */
        if (section == SECTION_VIDEO && pVideo && *pVideoPort != 0) {
            const char* rest;
            if ((rest = afterAttr(buf, "a=rtpmap:", lastPt)) != nullptr) {
                char name[100] = "";
                if (sscanf(rest, "%99[^/ \r\n]", name) == 1) {
                    static const struct {
                        const char* name;
                        RUXO_CODEC codec;
                    } kVideo[] = {
                        {"h261", RUXO_VIDEO_H261},       {"h263", RUXO_VIDEO_H263}, {"H263-1998", RUXO_VIDEO_H263P},
                        {"H263-2000", RUXO_VIDEO_H263P}, {"MPV", RUXO_VIDEO_MP1},   {"MP4V-ES", RUXO_VIDEO_MP4},
                        {"flv", RUXO_VIDEO_FLV},         {"h264", RUXO_VIDEO_H264},
                    };
                    for (const auto& v : kVideo)
                        if (strcmp(name, v.name) == 0) {
                            pVideo->attr.codec = v.codec;
                            break;
                        }
                }
            } else if ((rest = afterAttr(buf, "a=fmtp:", lastPt)) != nullptr) {
                copyFmtp(pVideo->rtp.szFmtp, rest);
            }
            continue;
        }
        if (section == SECTION_AUDIO && pAudio && *pAudioPort != 0) {
            const char* rest;
            if ((rest = afterAttr(buf, "a=rtpmap:", lastPt)) != nullptr) {
                char name[100] = "";
                int rate = 0, channels = 0;
                int n = sscanf(rest, "%99[^/ \r\n]/%d/%d", name, &rate, &channels);
                if (n >= 1) {
                    static const struct {
                        const char* name;
                        RUXO_CODEC codec;
                    } kAudio[] = {
                        {"g711u", RUXO_AUDIO_G711U},   {"g711a", RUXO_AUDIO_G711A},   {"pcm16s", RUXO_AUDIO_PCM16S},
                        {"pcm24s", RUXO_AUDIO_PCM24S}, {"pcm16u", RUXO_AUDIO_PCM16U}, {"pcm24u", RUXO_AUDIO_PCM24U},
                        {"MPA", RUXO_AUDIO_MP2},       {"MP4A-LATM", RUXO_AUDIO_AAC}, {"mpeg4-generic", RUXO_AUDIO_AAC},
                    };
                    for (const auto& a : kAudio)
                        if (strcmp(name, a.name) == 0) {
                            pAudio->attr.codec = a.codec;
                            if (n >= 2)
                                pAudio->attr.nSampleRate = rate;
                            if (n >= 3)
                                pAudio->attr.nChannel = channels;
                            break;
                        }
                }
            } else if ((rest = afterAttr(buf, "a=fmtp:", lastPt)) != nullptr) {
                copyFmtp(pAudio->rtp.szFmtp, rest);
                if (pAudio->attr.codec == RUXO_AUDIO_MP2) {
                    const char* fmtp = pAudio->rtp.szFmtp;
                    const char* p;
                    int value = 0;
                    if ((p = strstr(fmtp, "layer")) != nullptr && sscanf(p, "layer=%d;", &value) == 1 && value == 3)
                        pAudio->attr.codec = RUXO_AUDIO_MP3;
                    if ((p = strstr(fmtp, "samplerate")) != nullptr && sscanf(p, "samplerate=%d;", &value) == 1)
                        pAudio->attr.nSampleRate = value;
                    char mode[100] = "";
                    if ((p = strstr(fmtp, "mode")) != nullptr && sscanf(p, "mode=%99s;", mode) == 1) {
                        /* ASCII case only: strncasecmp follows the locale, and a Turkish one
                         * does not fold 'I' to 'i'. */
                        if (ruxoStartsNoCase(mode, "single_channel"))
                            pAudio->attr.nChannel = 1;
                        else if (ruxoStartsNoCase(mode, "stereo"))
                            pAudio->attr.nChannel = 2;
                    }
                }
            }
            continue;
        }
    }

    if (!seenMedia || lastPort == 0 || lastPt == 0)
        return 1;
    return 0;
}

int ruxoImportSdp(const char* szfnSdp, RUXO_VIDEO_STREAM* pVideo, RUXO_AUDIO_STREAM* pAudio, int iDst)
{
    if (!szfnSdp)
        return RUXO_ERR_FAILED;
    FILE* fp = fopen(szfnSdp, "re");
    if (!fp)
        return RUXO_ERR_FAILED;
    int rc = ruxoImportSdpInternal(fp, pVideo, pAudio, iDst);
    fclose(fp);
    return rc;
}
