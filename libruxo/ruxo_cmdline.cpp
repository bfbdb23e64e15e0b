/* ruxo_cmdline.cpp -- starting a transcode or a preview: the four entry points, the checks before a
 * start, and the transcoder command line built from a channel's source and target records.
 *
 * The line is one text of FFmpeg-style options in which every piece ends with a blank: an optional
 * "-v" prefix, then each source's options, then each target's. It is built in a growable string and
 * checked once against the transcoder's line limit; a line that would be longer is refused, never cut.
 * Numbers are always written with a full stop, whatever the process locale. */
#include <string.h>

#include <mutex>
#include <string>

#include "ruxo.h"
#include "ruxo_cmdline_internal.h"
#include "ruxo_internal.h"
#include "ruxo_text_core.h"

namespace {

/* The names and option strings of a wide record, as multibyte text. */
struct NarrowSource {
    RUXO_SOURCE_A rec;
    std::string name, params;
};
struct NarrowTarget {
    RUXO_TARGET_A rec;
    std::string name, params;
};

bool narrowSource(const RUXO_SOURCE_W* w, NarrowSource& out)
{
    out.rec.format = w->format;
    out.rec.video = w->video;
    out.rec.audio = w->audio;
    /* A native RTP source uses no name, so its name needs no multibyte form. */
    const wchar_t* name = w->format == RUXO_FORMAT_RTP ? nullptr : w->pszSrcName;
    if (!_ruxoWideToNarrow(name, out.name) || !_ruxoWideToNarrow(w->pszParams, out.params))
        return false;
    out.rec.pszSrcName = name ? out.name.c_str() : nullptr;
    out.rec.pszParams = w->pszParams ? out.params.c_str() : nullptr;
    return true;
}

bool narrowTarget(const RUXO_TARGET_W* w, NarrowTarget& out)
{
    out.rec.format = w->format;
    out.rec.video = w->video;
    out.rec.audio = w->audio;
    out.rec.nKbpsMux = w->nKbpsMux;
    if (!_ruxoWideToNarrow(w->pszDstName, out.name) || !_ruxoWideToNarrow(w->pszParams, out.params))
        return false;
    out.rec.pszDstName = w->pszDstName ? out.name.c_str() : nullptr;
    out.rec.pszParams = w->pszParams ? out.params.c_str() : nullptr;
    return true;
}

/* A name goes between double quotes or stands alone on the one line the transcoder reads: a quote,
 * CR or LF in it would break out of the quotes or split the line. */
bool nameIsSafe(const char* s)
{
    return strpbrk(s, "\"\r\n") == nullptr;
}

/* A name that stands on the line without quotes must stay one argument: a blank or a tab would
 * split it into options of their own, and a single quote would group what follows it. */
bool bareNameIsSafe(const char* s)
{
    return nameIsSafe(s) && strpbrk(s, " \t'") == nullptr;
}

/* The target formats whose name goes on the line unquoted. */
bool nameStandsBare(RUXO_FORMAT fmt)
{
    switch (fmt) {
    case RUXO_FORMAT_UDP:
    case RUXO_FORMAT_RTPTS:
    case RUXO_FORMAT_HTTP:
    case RUXO_FORMAT_HTTP_MP4:
    case RUXO_FORMAT_SRT:
    case RUXO_FORMAT_HTTP_MJPEG:
        return true;
    default:
        return false;
    }
}

/* Option strings are copied as they are, except that CR and LF become blanks: the line must stay one line. */
std::string oneLine(const char* s)
{
    std::string out(s ? s : "");
    for (char& c : out)
        if (c == '\r' || c == '\n')
            c = ' ';
    return out;
}

bool contains(const std::string& line, const char* marker)
{
    return line.find(marker) != std::string::npos;
}

void appendQuoted(std::string& line, const std::string& text)
{
    line += '"';
    line += text;
    line += "\" ";
}

std::string slotFile(int iChannel, const char* suffix)
{
    char num[16];
    snprintf(num, sizeof num, "%03d", iChannel + 1);
    return std::string(g_cfg.szDataPath) + "/log/ruxo_" + num + suffix;
}

/* The pixel format for H.264 and H.265, chosen by the word after the line's first "-profile:v ". */
const char* pixelFormatFromProfile(const std::string& line)
{
    size_t pos = line.find("-profile:v ");
    if (pos == std::string::npos)
        return "yuv420p";
    pos += strlen("-profile:v ");
    while (pos < line.size() && (line[pos] == ' ' || line[pos] == '\t'))
        ++pos;
    std::string profile;
    while (pos < line.size() && !strchr(" \t\r\n\v\f", line[pos]) && profile.size() < 99)
        profile += line[pos++];
    if (profile.empty())
        return "yuv420p";
    if (contains(profile, "444-12"))
        return "yuv444p12";
    if (contains(profile, "444-10"))
        return "yuv444p10";
    if (contains(profile, "444"))
        return "yuv444p";
    if (contains(profile, "422-12"))
        return "yuv422p12";
    if (contains(profile, "422-10"))
        return "yuv422p10";
    if (contains(profile, "422"))
        return "yuv422p";
    if (profile == "high10" || profile == "main10")
        return "yuv420p10";
    if (profile == "main12")
        return "yuv420p12";
    return "yuv420p";
}

std::string kbps(int value)
{
    return std::to_string(value) + "k ";
}

void appendRateControl(const RUXO_TARGET_A* t, const std::string& params, std::string& line)
{
    const RUXO_VIDEO_ATTR& v = t->video.attr;
    if (v.nQuality == 0 && v.nKbps == 0) {
        switch (v.codec) {
        case RUXO_VIDEO_H264:
            line += "-crf 23 ";
            break;
        case RUXO_VIDEO_H265:
            line += "-crf 28 ";
            break;
        case RUXO_VIDEO_VP8:
        case RUXO_VIDEO_VP9:
            line += "-crf 32 ";
            break;
        case RUXO_VIDEO_NV264:
        case RUXO_VIDEO_NV265:
        case RUXO_VIDEO_QSV264:
        case RUXO_VIDEO_QSV265:
        case RUXO_VIDEO_AV1:
            break;
        default:
            line += "-qmin:v 2 ";
            break;
        }
        return;
    }
    if (v.nQuality > 0) {
        float qmin = static_cast<float>(100 - v.nQuality);
        qmin = qmin * 51.0f;
        qmin = qmin / 99.0f;
        const float qmax = 51.0f;
        switch (v.codec) {
        case RUXO_VIDEO_H264:
        case RUXO_VIDEO_H265:
        case RUXO_VIDEO_VP8:
        case RUXO_VIDEO_VP9:
        case RUXO_VIDEO_AV1:
            line += "-crf " + _ruxoFixed1(qmin) + " ";
            break;
        default:
            line += "-qmin " + _ruxoFixed1(qmin) + " -qmax " + _ruxoFixed1(qmax) + " ";
            break;
        }
    }
    if (v.nKbps > 0) {
        line += "-b:v " + kbps(v.nKbps);
        line += "-maxrate:v " + kbps(v.nKbps);
        if (v.codec == RUXO_VIDEO_H264)
            line += "-nal-hrd cbr ";
        else if (v.codec == RUXO_VIDEO_NV264 || v.codec == RUXO_VIDEO_NV265)
            line += "-cbr 1 ";
        bool tenth = t->nKbpsMux != 0 && contains(params, "-bitrate ");
        line += "-bufsize:v " + kbps(tenth ? v.nKbps / 10 : v.nKbps);
        if (t->nKbpsMux > 0)
            line += "-muxrate " + kbps(t->nKbpsMux);
    }
}

void appendRtpAddress(std::string& line, const RUXO_RTP_SESSION& rtp)
{
    line += "rtp://";
    line += Inet_ntoaA(rtp.ulDstIP);
    line += ":" + std::to_string(rtp.usDstPort);
    if (rtp.usSrcPort != 0)
        line += "?localport=" + std::to_string(rtp.usSrcPort);
    line += ' ';
}

void appendCodecDefaults(RUXO_CODEC codec, std::string& line)
{
    switch (codec) {
    case RUXO_VIDEO_H264:
    case RUXO_VIDEO_H265:
        if (!contains(line, "-pix_fmt ")) {
            const char* pixFmt = pixelFormatFromProfile(line);
            line += "-pix_fmt ";
            line += pixFmt;
            line += ' ';
        }
        if (!contains(line, "-preset:v "))
            line += "-preset:v faster ";
        break;
    case RUXO_VIDEO_NV264:
    case RUXO_VIDEO_NV265:
        if (!contains(line, "-preset:v "))
            line += "-preset:v default ";
        break;
    case RUXO_VIDEO_QSV264:
    case RUXO_VIDEO_QSV265:
        if (!contains(line, "-preset:v "))
            line += "-preset:v medium ";
        break;
    case RUXO_VIDEO_VP8:
    case RUXO_VIDEO_VP9:
        if (!contains(line, "-cpu-used "))
            line += "-cpu-used 3 ";
        break;
    case RUXO_VIDEO_AV1:
        if (!contains(line, "-cpu-used "))
            line += "-cpu-used 8 ";
        break;
    default:
        break;
    }
}

}  // namespace

/* ---- sources -------------------------------------------------------------------------------- */

int _ruxoMakeInputArg(int iChannel, const void* pSource, std::string& line, int bUnicode)
{
    if (!pSource)
        return RUXO_ERR_SOURCE;
    if (bUnicode) {
        NarrowSource narrow;
        if (!narrowSource(static_cast<const RUXO_SOURCE_W*>(pSource), narrow))
            return RUXO_ERR_SOURCE;
        return _ruxoMakeInputArg(iChannel, &narrow.rec, line, 0);
    }
    const RUXO_SOURCE_A* s = static_cast<const RUXO_SOURCE_A*>(pSource);

    std::string params = oneLine(s->pszParams);
    if (!params.empty())
        line += params + " ";

    if (s->format == RUXO_FORMAT_RTP) {
        /* A native RTP stream describes itself nowhere: the transcoder reads our description of it. */
        if (s->video.rtp.usSrcPort == 0)
            return RUXO_ERR_RTP_SOURCE;
        std::string sdp = slotFile(iChannel, "_in.sdp");
        if (!nameIsSafe(sdp.c_str()))
            return RUXO_ERR_RTP_SOURCE;
        if (ruxoExportSdp(sdp.c_str(), &s->video, &s->audio, 1) != 0)
            return RUXO_ERR_RTP_SOURCE;
        line += "-i ";
        appendQuoted(line, sdp);
        return 0;
    }

    const char* name = s->pszSrcName;
    if (!name || !*name)
        return RUXO_ERR_SOURCE;
    if (!nameIsSafe(name))
        return RUXO_ERR_SOURCE;
    /* A device's path and its query options stand on the line unquoted. */
    if (s->format == RUXO_FORMAT_DEVICE && !bareNameIsSafe(name))
        return RUXO_ERR_SOURCE;

    switch (s->format) {
    case RUXO_FORMAT_DECKLINK:
        line += "-f decklink -i ";
        appendQuoted(line, name);
        break;
    case RUXO_FORMAT_NDI:
        line += "-f libndi_newtek -i ";
        appendQuoted(line, name);
        break;
    case RUXO_FORMAT_DEVICE: {
        /* "/dev/video0?input_format=mjpeg&framerate=30": the query becomes the device's options, and
         * the device path (the name up to its first '?') stands alone after "-i". */
        line += "-f v4l2";
        const char* query = strchr(name, '?');
        if (query) {
            for (const char* p = query; *p; ++p) {
                if (*p == '?' || *p == '&')
                    line += " -";
                else if (*p == '=')
                    line += ' ';
                else
                    line += *p;
            }
        }
        line += " -i ";
        line.append(name, query ? static_cast<size_t>(query - name) : strlen(name));
        line += ' ';
        break;
    }
    default:
        if (!_isStreamUrl(name, 0))
            line += "-re ";
        if (ruxoStartsNoCase(name, "rtspt://")) {
            line += "-rtsp_transport tcp -i \"rtsp://";
            line += name + 8;
            line += "\" ";
        } else {
            line += "-i ";
            appendQuoted(line, name);
        }
        break;
    }
    return RUXO_OK;
}

/* ---- targets -------------------------------------------------------------------------------- */

namespace {

/* Step 1: the target's name. */
int checkTargetName(RUXO_FORMAT fmt, const std::string& name)
{
    if (fmt == RUXO_FORMAT_GENERAL && name.empty())
        return RUXO_ERR_TARGET;
    if (fmt != RUXO_FORMAT_RTP && !nameIsSafe(name.c_str()))
        return RUXO_ERR_TARGET;
    if (nameStandsBare(fmt) && !bareNameIsSafe(name.c_str()))
        return RUXO_ERR_TARGET;
    return RUXO_OK;
}

/* Step 2: the audio stream. */
int appendTargetAudio(const RUXO_TARGET_A* t, std::string& line)
{
    const RUXO_FORMAT fmt = t->format;
    const RUXO_AUDIO_STREAM& audio = t->audio;
    if (!audio.bEnable) {
        if (fmt != RUXO_FORMAT_RTP)
            line += "-an ";
        return RUXO_OK;
    }
    const char* encoder = getCodecName(audio.attr.codec);
    if (!encoder)
        return RUXO_ERR_CODEC;
    if (fmt == RUXO_FORMAT_RTP && (audio.rtp.ulDstIP == 0 || audio.rtp.usDstPort == 0)) {
        line += "-an ";
    } else if (fmt == RUXO_FORMAT_DECKLINK) {
        line += "-ac 2 -ar 48000 ";
    } else {
        line += "-c:a ";
        line += encoder;
        line += ' ';
        if (audio.attr.codec != RUXO_AUDIO_COPY) {
            if (audio.attr.nChannel > 0)
                line += "-ac " + std::to_string(audio.attr.nChannel) + " ";
            if (audio.attr.nSampleRate > 0)
                line += "-ar " + std::to_string(audio.attr.nSampleRate) + " ";
            if (audio.attr.nKbps > 0)
                line += "-b:a " + kbps(audio.attr.nKbps);
        }
        if (fmt == RUXO_FORMAT_RTP) {
            /* Native RTP: the audio is an output of its own. */
            line += "-vn -f rtp ";
            if (audio.attr.codec == RUXO_AUDIO_AAC)
                line += "-flags:a +global_header -rtpflags +latm ";
            appendRtpAddress(line, audio.rtp);
        }
    }
    return RUXO_OK;
}

/* Step 3, for an encoded (not copied) video stream: frame size, rate, key frames, interlacing. */
void appendVideoShape(const RUXO_TARGET_A* t, const std::string& params, std::string& line)
{
    const RUXO_FORMAT fmt = t->format;
    const RUXO_VIDEO_ATTR& v = t->video.attr;
    unsigned short usWidth = static_cast<unsigned short>(v.nWidth);
    unsigned short usHeight = static_cast<unsigned short>(v.nHeight);
    if (usWidth >= 1 && usWidth <= 7)
        usWidth = 8;
    if (usHeight >= 1 && usHeight <= 7)
        usHeight = 8;
    if (usWidth != 0 && usHeight != 0 && !contains(line, "-resize "))
        line += "-s " + std::to_string(usWidth) + "x" + std::to_string(usHeight) + " ";
    if (v.fFps > 0) {
        line += "-r ";
        if (v.fFps == 23.976f)
            line += "ntsc-film ";
        else if (v.fFps == 29.97f)
            line += "ntsc ";
        else if (v.fFps == 59.94f)
            line += "60000/1001 ";
        else
            line += _ruxoGeneral(static_cast<double>(v.fFps)) + " ";
    }
    int k = v.nKeyFrameInterval;
    if (fmt == RUXO_FORMAT_HLS) {
        _parseOptA(params.c_str(), "-hls_time ", &k);
        if (k == 0)
            k = 5;
    }
    if (k > 0)
        line += "-g " + std::to_string(k) + " -sc_threshold 0 ";
    switch (v.nInterlacing) {
    case RUXO_INTERLACE_DEINT:
        if (!contains(line, "-deint "))
            line += "-filter:v yadif ";
        break;
    case RUXO_INTERLACE_TOP_FIRST:
        line += fmt == RUXO_FORMAT_DECKLINK ? "-field_order tt " : "-flags +ilme+ildct -top 1 -x264opts tff=1 ";
        break;
    case RUXO_INTERLACE_BOTTOM_FIRST:
        line += fmt == RUXO_FORMAT_DECKLINK ? "-field_order bb " : "-flags +ilme+ildct -top 0 -x264opts bff=1 ";
        break;
    default:
        break;
    }
}

/* Step 3: the video stream. */
int appendTargetVideo(const RUXO_TARGET_A* t, const std::string& name, const std::string& params, std::string& line)
{
    const RUXO_FORMAT fmt = t->format;
    const RUXO_VIDEO_STREAM& video = t->video;
    const RUXO_VIDEO_ATTR& v = video.attr;
    bool taken = video.bEnable &&
                 ((fmt == RUXO_FORMAT_RTP && video.rtp.ulDstIP != 0 && video.rtp.usDstPort != 0) || !name.empty());
    if (!taken) {
        line += "-vn ";
        return RUXO_OK;
    }
    const char* encoder = getCodecName(v.codec);
    if (!encoder)
        return RUXO_ERR_CODEC;
    const bool copy = v.codec == RUXO_VIDEO_COPY;

    if (fmt == RUXO_FORMAT_DECKLINK || fmt == RUXO_FORMAT_NDI) {
        line += "-pix_fmt uyvy422 ";
    } else {
        line += "-c:v ";
        line += encoder;
        line += ' ';
        if (!copy)
            appendRateControl(t, params, line);
    }
    if (!copy)
        appendVideoShape(t, params, line);
    if (fmt == RUXO_FORMAT_RTP) {
        /* Native RTP: the video is an output of its own, carrying the target's options. */
        line += video.rtp.globalHeader == IN_BAND ? "-an -f rtp -flags -global_header "
                                                  : "-an -f rtp -flags +global_header ";
        if (v.codec == RUXO_VIDEO_H263)
            line += "-rtpflags +rfc2190 ";
        if (!params.empty())
            line += params + " ";
        appendRtpAddress(line, video.rtp);
    }
    return RUXO_OK;
}

/* Step 4: the option string (native RTP carries it with its video output). */
void appendTargetParams(RUXO_FORMAT fmt, const std::string& params, std::string& line)
{
    if (fmt != RUXO_FORMAT_RTP && !params.empty())
        line += params + " ";
}

/* Step 6: the muxer and where the output goes. partStart is where this target's options began. */
int appendTargetOutput(int iChannel, RUXO_FORMAT fmt, const std::string& name, size_t partStart, std::string& line)
{
    const int n = iChannel + 1;
    switch (fmt) {
    case RUXO_FORMAT_GENERAL:
        if (!_isStreamUrl(name.c_str(), 0))
            line += "-y ";
        appendQuoted(line, name);
        break;
    case RUXO_FORMAT_RTMP:
        line += "-f flv ";
        appendQuoted(line, name);
        break;
    case RUXO_FORMAT_UDP:
    case RUXO_FORMAT_RTPTS:
        line += _isRTPUrl(name.c_str(), 0) ? "-f rtp_mpegts " : "-f mpegts ";
        line += name + " ";
        break;
    case RUXO_FORMAT_HTTP:
        line += "-c:s copy -f mpegts " + name + " ";
        break;
    case RUXO_FORMAT_HTTP_MP4:
        line += "-movflags dash -f mp4 " + name + "/" + std::to_string(n) + ".mp4 ";
        break;
    case RUXO_FORMAT_SRT:
        /* Only this target's own options can give it a muxer: those of earlier targets and sources
         * belong to them. */
        if (line.find(" -f ", partStart) == std::string::npos)
            line += "-f mpegts ";
        line += name + " ";
        break;
    case RUXO_FORMAT_HLS:
        line += "-f hls -y ";
        appendQuoted(line, name);
        break;
    case RUXO_FORMAT_DASH:
        line += "-f dash -y ";
        appendQuoted(line, name);
        break;
    case RUXO_FORMAT_RTP:
        line += "-sdp_file ";
        appendQuoted(line, slotFile(iChannel, "_out.sdp"));
        break;
    case RUXO_FORMAT_DECKLINK:
        line += "-f decklink ";
        appendQuoted(line, name);
        break;
    case RUXO_FORMAT_NDI:
        line += "-f libndi_newtek ";
        appendQuoted(line, name);
        break;
    case RUXO_FORMAT_HTTP_MJPEG:
        line += "-f mjpeg " + name + "/" + std::to_string(n) + ".mjpg ";
        break;
    default:
        return RUXO_ERR_TARGET_FORMAT; /* devices, RTSP and unknown values have no output form */
    }
    return RUXO_OK;
}

}  // namespace

int _ruxoMakeOutputArg(int iChannel, const void* pTarget, std::string& line, int bUnicode)
{
    if (!pTarget)
        return RUXO_ERR_TARGET;
    if (bUnicode) {
        NarrowTarget narrow;
        if (!narrowTarget(static_cast<const RUXO_TARGET_W*>(pTarget), narrow))
            return RUXO_ERR_TARGET;
        return _ruxoMakeOutputArg(iChannel, &narrow.rec, line, 0);
    }
    const RUXO_TARGET_A* t = static_cast<const RUXO_TARGET_A*>(pTarget);
    const std::string name = t->pszDstName ? t->pszDstName : "";
    const std::string params = oneLine(t->pszParams);
    /* Where this target's options begin: its own format options are looked for from here on. */
    const size_t partStart = line.empty() ? 0 : line.size() - 1;

    int rc = checkTargetName(t->format, name);
    if (rc == RUXO_OK)
        rc = appendTargetAudio(t, line);
    if (rc == RUXO_OK)
        rc = appendTargetVideo(t, name, params, line);
    if (rc != RUXO_OK)
        return rc;
    appendTargetParams(t->format, params, line);
    appendCodecDefaults(t->video.attr.codec, line); /* step 5 */
    return appendTargetOutput(iChannel, t->format, name, partStart, line);
}

/* ---- the whole line ------------------------------------------------------------------------- */

int _ruxoBuildLine(int iChannel, const void* pSources, int nSources, const void* pTargets, int nTargets, int bUnicode,
                   std::string& line, bool* pbTooLong)
{
    if (pbTooLong)
        *pbTooLong = false;
    line.clear();
    line.reserve(RUXO_MAX_ARG);
    const int nLogLevel = g_cfg.nLogLevel.load();
    if (nLogLevel != 0)
        line += "-v " + std::to_string(nLogLevel) + " ";

    const size_t sourceSize = bUnicode ? sizeof(RUXO_SOURCE_W) : sizeof(RUXO_SOURCE_A);
    const size_t targetSize = bUnicode ? sizeof(RUXO_TARGET_W) : sizeof(RUXO_TARGET_A);
    const char* src = static_cast<const char*>(pSources);
    const char* dst = static_cast<const char*>(pTargets);

    /* The one length rule: the transcoder reads at most RUXO_MAX_LINE characters. Sources are
     * judged before targets, so a line that the sources alone make too long is theirs (-7). */
    auto tooLong = [&](int code) {
        if (line.size() <= RUXO_MAX_LINE)
            return (int)RUXO_OK;
        if (pbTooLong)
            *pbTooLong = true;
        return code;
    };

    for (int i = 0; src && i < nSources; ++i) {
        int rc = _ruxoMakeInputArg(iChannel, src + static_cast<size_t>(i) * sourceSize, line, bUnicode);
        if (rc != RUXO_OK)
            return rc;
    }
    if (int rc = tooLong(RUXO_ERR_SOURCE))
        return rc;
    for (int i = 0; dst && i < nTargets; ++i) {
        int rc = _ruxoMakeOutputArg(iChannel, dst + static_cast<size_t>(i) * targetSize, line, bUnicode);
        if (rc != RUXO_OK)
            return rc;
    }
    if (int rc = tooLong(RUXO_ERR_TARGET))
        return rc;
    return RUXO_OK;
}

int _ruxoTranscode(int iChannel, const void* pSources, int nSources, const void* pTargets, int nTargets, int bUnicode,
                   int bPreview)
{
    /* The claim makes the slot this start's alone, so two threads never start two children in one
     * slot; the line, its log line and the child are made without the engine mutex. */
    std::string exe;
    int rc = _ruxoClaimSlot(iChannel, bPreview, &exe);
    if (rc != RUXO_OK)
        return rc;

    std::string line;
    bool tooLong = false;
    rc = _ruxoBuildLine(iChannel, pSources, nSources, pTargets, nTargets, bUnicode, line, &tooLong);
    if (rc != RUXO_OK) {
        if (tooLong) {
            std::string why = "command line too long (" + std::to_string(line.size()) + " characters, at most " +
                              std::to_string(RUXO_MAX_LINE) + ")";
            ruxoLog(iChannel, 1, why.c_str());
        }
        _ruxoUnclaimSlot(iChannel);
        return rc;
    }
    if (ruxoLog(iChannel, 1, line.c_str()) != RUXO_OK) {
        _ruxoUnclaimSlot(iChannel);
        return RUXO_ERR_LOG;
    }
    return _ruxoStartProc(iChannel, exe, line.c_str());
}

int _ruxoTranscodeImpl(int iChannel, const void* pSources, int nSources, const void* pTargets, int nTargets,
                       int bUnicode, int bPreview)
{
    const char* szAction = bPreview ? "preview" : "transcoding";
    std::string path;
    {
        std::lock_guard<std::recursive_mutex> lock(g_engineMutex);
        path = g_cfg.szfnFfmpeg;
    }
    char version[16];
    snprintf(version, sizeof version, "%x", RUXO_ENGINE_VERSION);
    std::string start = std::string("start ") + szAction + " (" + path + " v" + version + ")";
    ruxoLog(iChannel, 1, start.c_str());

    int rc = _ruxoTranscode(iChannel, pSources, nSources, pTargets, nTargets, bUnicode, bPreview);
    if (rc < 0) {
        std::string error = std::string("start ") + szAction + " error (" + std::to_string(rc) + ")";
        ruxoLog(iChannel, 1, error.c_str());
    }
    return rc;
}

/* ---- entry points --------------------------------------------------------------------------- */

int ruxoTranscodeMA(int iChannel, const RUXO_SOURCE_A* pSourcesA, int nSources, const RUXO_TARGET_A* pTargetsA,
                    int nTargets, int bPreview)
{
    return _ruxoTranscodeImpl(iChannel, pSourcesA, nSources, pTargetsA, nTargets, 0, bPreview);
}

int ruxoTranscodeA(int iChannel, const RUXO_SOURCE_A* pSourceA, const RUXO_TARGET_A* pTargetA, int bPreview)
{
    return _ruxoTranscodeImpl(iChannel, pSourceA, 1, pTargetA, 1, 0, bPreview);
}

int ruxoTranscodeMW(int iChannel, const RUXO_SOURCE_W* pSourcesW, int nSources, const RUXO_TARGET_W* pTargetsW,
                    int nTargets, int bPreview)
{
    return _ruxoTranscodeImpl(iChannel, pSourcesW, nSources, pTargetsW, nTargets, 1, bPreview);
}

int ruxoTranscodeW(int iChannel, const RUXO_SOURCE_W* pSourceW, const RUXO_TARGET_W* pTargetW, int bPreview)
{
    return _ruxoTranscodeImpl(iChannel, pSourceW, 1, pTargetW, 1, 1, bPreview);
}
