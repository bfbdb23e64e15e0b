/* ruxo_legacy.cpp -- the records of the old line-based configuration and their rendering as the
 * JSON configuration text.
 *
 * The rendering is what a first start writes as its configuration file and what a save writes
 * while there is no configuration tree. Its text is always valid JSON that reads back as written:
 * text values are escaped, numbers use a full stop whatever the locale, names that the vocabularies
 * lack are written as "", and every source keeps its url. */
#include "ruxo_legacy.h"

#include <arpa/inet.h>
#include <math.h>
#include <netinet/in.h>
#include <stdio.h>
#include <string.h>

#include <charconv>

#include "ruxo_vocab.h"

GLOBAL_SETTINGS g_globalSettings = {8888, 0, 0, TRUE, 0, 0, 0, FALSE, FALSE, ""};
RUXO_CHANNEL g_ruxoChannels[RUXO_LEGACY_CHANNELS];

void ruxoResetGlobalSettings(void) {
    memset(&g_globalSettings, 0, sizeof(g_globalSettings));
    g_globalSettings.nPortHTTP = 8888;
    g_globalSettings.nPortRTSP = 5544;
    g_globalSettings.nAutoRestart = 1;
}

namespace {

/* A fixed-size text field as a string, never reading past the field. */
std::string field(const char* sz, size_t cch) { return std::string(sz, strnlen(sz, cch)); }

std::string escField(const char* sz, size_t cch) { return _jsonUnescape(field(sz, cch).c_str()); }

const char* flag(int n) { return n != 0 ? "true" : "false"; }

std::string num(long n) { return std::to_string(n); }

/* The frame rate as "%g" with a full stop (std::to_chars never looks at the locale); not finite
 * reads 0. */
std::string frameRate(float fFps) {
    double d = fFps;
    if (!isfinite(d)) d = 0;
    char szBuf[64];
    std::to_chars_result r = std::to_chars(szBuf, szBuf + sizeof(szBuf), d, std::chars_format::general, 6);
    return r.ec == std::errc() ? std::string(szBuf, r.ptr) : std::string("0");
}

std::string formatName(RUXO_FORMAT format) {
    // The written word "rtp" would read back as RTP over MPEG-TS; native RTP keeps its own word.
    if (format == RUXO_FORMAT_RTP) return "rtp_native";
    const char* sz = ruxoGetFormatName(format);
    return sz != NULL ? sz : "";
}

const char* codecName(RUXO_CODEC codec) {
    const char* sz = ruxoGetCodecName(codec);  // constant words: nothing to escape
    return sz != NULL ? sz : "";
}

std::string dotted(unsigned long ulIP) {
    struct in_addr addr;
    addr.s_addr = (in_addr_t)ulIP;
    char szBuf[INET_ADDRSTRLEN] = "";
    if (inet_ntop(AF_INET, &addr, szBuf, sizeof(szBuf)) == NULL) szBuf[0] = '\0';
    return szBuf;
}

const char* globalHeader(GLOBAL_HEADER_TYPE type) {
    return type == OUT_OF_BAND ? "outOfBand" : "inBand";
}

int clampCount(int n, int nMax) { return n < 0 ? 0 : (n > nMax ? nMax : n); }

bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

/* The words that follow each "-map " of a stream-map text, up to the first one without a word. */
std::string mapItems(const std::string& strMap) {
    std::string strOut;
    size_t nPos = 0;
    bool bFirst = true;
    for (;;) {
        size_t nMap = strMap.find("-map ", nPos);
        if (nMap == std::string::npos) break;
        size_t nWord = nMap + 5;
        while (nWord < strMap.size() && isBlank(strMap[nWord])) nWord++;
        size_t nEnd = nWord;
        while (nEnd < strMap.size() && !isBlank(strMap[nEnd])) nEnd++;
        if (nEnd == nWord) break;
        if (!bFirst) strOut += ", ";
        strOut += "\"" + _jsonUnescape(strMap.substr(nWord, nEnd - nWord).c_str()) + "\"";
        bFirst = false;
        nPos = nMap + 5;
    }
    return strOut;
}

#define TXT(f) escField((f), sizeof(f))

/* The lines that open every stream block: "enable" and "codec". */
void renderStreamHead(std::string& s, int bEnable, RUXO_CODEC codec) {
    s += std::string("              \"enable\": ") + flag(bEnable) + ",\n";
    s += std::string("              \"codec\": \"") + codecName(codec) + "\",\n";
}

/* A source stream's RTP lines; szEnd follows the last one. */
void renderSourceRtp(std::string& s, const RUXO_RTP_SESSION& rtp, const char* szEnd) {
    s += "              \"IP\": \"" + dotted(rtp.ulSrcIP) + "\",\n";
    s += "              \"port\": " + num(rtp.usSrcPort) + ",\n";
    s += "              \"fmtp\": \"" + TXT(rtp.szFmtp) + "\"" + szEnd;
}

/* The lines that close a target stream block: its RTP destination and its options. */
void renderTargetTail(std::string& s, const RUXO_RTP_SESSION& rtp, const std::string& strOptions) {
    s += "              \"IP\": \"" + dotted(rtp.ulDstIP) + "\",\n";
    s += "              \"port\": " + num(rtp.usDstPort) + ",\n";
    s += std::string("              \"globalHeader\": \"") + globalHeader(rtp.globalHeader) + "\",\n";
    s += "              \"options\": [\"" + strOptions + "\"]\n";
}

void renderSource(std::string& s, const RUXO_CHANNEL& ch, const RUXO_CHANNEL_SOURCE& src) {
    const RUXO_SOURCE& so = src.source;
    bool bRtp = so.format == RUXO_FORMAT_RTP;
    s += "          {\n";
    s += "            \"format\": \"" + formatName(so.format) + "\",\n";
    s += "            \"url\": \"" + TXT(src.tszfnSource) + "\",\n";
    s += "            \"video\": {\n";
    if (bRtp) {
        renderStreamHead(s, so.video.bEnable, so.video.attr.codec);
        renderSourceRtp(s, so.video.rtp, ",\n");
    }
    s += "              \"options\": [\"" + TXT(ch.tszSourceVideoParam) + "\"]\n";
    s += "            },\n";
    s += "            \"audio\": {\n";
    if (bRtp) {
        renderStreamHead(s, so.audio.bEnable, so.audio.attr.codec);
        s += "              \"sampleRate\": " + num(so.audio.attr.nSampleRate) + ",\n";
        s += "              \"channels\": " + num(so.audio.attr.nChannel) + ",\n";
        renderSourceRtp(s, so.audio.rtp, "\n");
    }
    s += "            }\n";
    s += "          }";
}

void renderTarget(std::string& s, const RUXO_CHANNEL_TARGET& tgt) {
    const RUXO_TARGET& t = tgt.target;
    const RUXO_VIDEO_ATTR& va = t.video.attr;
    const RUXO_AUDIO_ATTR& aa = t.audio.attr;
    s += "          {\n";
    s += "            \"format\": \"" + formatName(t.format) + "\",\n";
    s += "            \"url\": \"" + TXT(tgt.tszfnTarget) + "\",\n";
    s += "            \"video\": {\n";
    renderStreamHead(s, t.video.bEnable, va.codec);
    s += "              \"width\": " + num(va.nWidth) + ",\n";
    s += "              \"height\": " + num(va.nHeight) + ",\n";
    s += "              \"frameRate\": " + frameRate(va.fFps) + ",\n";
    s += "              \"keyFrameInterval\": " + num(va.nKeyFrameInterval) + ",\n";
    s += "              \"quality\": " + num(va.nQuality) + ",\n";
    s += "              \"bitRate\": " + num(va.nKbps) + ",\n";
    s += "              \"scanType\": " + num(va.nInterlacing) + ",\n";
    renderTargetTail(s, t.video.rtp, TXT(tgt.tszVideoParam));
    s += "            },\n";
    s += "            \"audio\": {\n";
    renderStreamHead(s, t.audio.bEnable, aa.codec);
    s += "              \"sampleRate\": " + num(aa.nSampleRate) + ",\n";
    s += "              \"channels\": " + num(aa.nChannel) + ",\n";
    s += "              \"bitRate\": " + num(aa.nKbps) + ",\n";
    renderTargetTail(s, t.audio.rtp, TXT(tgt.tszAudioParam));
    s += "            },\n";
    s += "            \"mux\": {\n";
    s += "              \"bitRate\": " + num(t.nKbpsMux) + ",\n";
    s += "              \"cbr\": false\n";
    s += "            },\n";
    s += "            \"rtmp\": {\n";
    s += "              \"flashVer\": \"" + TXT(tgt.rtmp.tszFlashVer) + "\",\n";
    s += "              \"swfUrl\": \"" + TXT(tgt.rtmp.tszSwfUrl) + "\",\n";
    s += "              \"user\": \"" + TXT(tgt.rtmp.tszPubUser) + "\",\n";
    s += "              \"passwd\": \"" + TXT(tgt.rtmp.tszPubPass) + "\"\n";
    s += "            }\n";
    s += "          }";
}

void renderChannel(std::string& s, const RUXO_CHANNEL& ch) {
    s += "    {\n";
    s += std::string("      \"enable\": ") + flag(ch.bEnable) + ",\n";
    s += "      \"input\": {\n";
    s += "        \"sources\": [\n";
    int nSources = clampCount(ch.nSources, 5);
    for (int i = 0; i < nSources; i++) {
        renderSource(s, ch, ch.sources[i]);
        if (i + 1 < nSources) s += ",";
        s += "\n";
    }
    s += "        ],\n";
    s += "        \"formatOptions\": [],\n";
    s += "        \"customOptions\": \"" + TXT(ch.tszCustomSourceParam) + "\"\n";
    s += "      },\n";
    s += "      \"output\": {\n";
    s += "        \"targets\": [\n";
    int nTargets = clampCount(ch.nTargets, 5);
    for (int i = 0; i < nTargets; i++) {
        renderTarget(s, ch.targets[i]);
        if (i + 1 < nTargets) s += ",";
        s += "\n";
    }
    s += "        ],\n";
    s += "        \"mapOptions\": [" + mapItems(field(ch.tszMapParam, sizeof(ch.tszMapParam))) + "],\n";
    s += "        \"formatOptions\": [\"" + TXT(ch.tszFormatParam) + "\"],\n";
    s += "        \"filters\": [";
    int nFilters = clampCount(ch.nFilters, RUXO_LEGACY_FILTERS);
    for (int i = 0; i < nFilters; i++) {
        if (i > 0) s += ", ";
        s += "\"" + TXT(ch.tszFilters[i]) + "\"";
    }
    s += "],\n";
    s += "        \"timeShift\": {\"cacheTime\": " + num(ch.nTimeShiftSec) + ", \"cacheFolder\": \"" +
         TXT(ch.tszTimeShiftCacheFolder) + "\"},\n";
    s += "        \"customOptions\": \"" + TXT(ch.tszCustomTargetParam) + "\"\n";
    s += "      },\n";
    s += "      \"memo\": \"" + TXT(ch.tszMemo) + "\"\n";
    s += "    }";
}

}  // namespace

std::string _jsonUnescape(const char* szText) {
    std::string strOut;
    if (szText == NULL) return strOut;
    for (const unsigned char* p = (const unsigned char*)szText; *p; p++) {
        switch (*p) {
            case '"': strOut += "\\\""; break;
            case '\\': strOut += "\\\\"; break;
            case '\b': strOut += "\\b"; break;
            case '\f': strOut += "\\f"; break;
            case '\n': strOut += "\\n"; break;
            case '\r': strOut += "\\r"; break;
            case '\t': strOut += "\\t"; break;
            default:
                if (*p < 0x20) {
                    char szEsc[8];
                    snprintf(szEsc, sizeof(szEsc), "\\u%04x", (unsigned)*p);
                    strOut += szEsc;
                } else {
                    strOut += (char)*p;
                }
        }
    }
    return strOut;
}

std::string ruxoRenderLegacyConfig(void) {
    const GLOBAL_SETTINGS& g = g_globalSettings;
    std::string s;
    s += "{\n";
    s += "  \"name\": \"Zembrax Configuration File\",\n";
    s += "  \"global\": {\n";
    s += "    \"log\": " + num(g.nLogLevel) + ",\n";
    s += "    \"httpPort\": " + num(g.nPortHTTP) + ",\n";
    s += "    \"sslEnable\": false,\n";
    s += "    \"rtspPort\": " + num(g.nPortRTSP) + ",\n";
    s += "    \"ipACL\": \"\",\n";
    s += std::string("    \"autoRun\": ") + flag(g.bAutoRun) + ",\n";
    s += "    \"autoRestart\": " + num(g.nAutoRestart) + ",\n";
    s += "    \"cpuPerChannel\": " + num(g.nCpuPerChannel) + ",\n";
    s += std::string("    \"folderRecur\": ") + flag(g.bFolderRecur) + ",\n";
    s += "    \"loginPass\": \"" + TXT(g.szLoginPass) + "\"\n";
    s += "  },\n";
    s += "  \"channels\": [\n";
    for (int i = 0; i < RUXO_LEGACY_CHANNELS; i++) {
        renderChannel(s, g_ruxoChannels[i]);
        s += (i + 1 < RUXO_LEGACY_CHANNELS) ? ",\n" : "\n";
    }
    s += "  ]\n";
    s += "}\n";
    return s;
}
