/* ruxo_legacy.cpp -- the old line-based configuration: its records, the reader of its file, and
 * their rendering as the JSON configuration text; the access-list file; the address helpers of
 * the channel layer.
 *
 * The rendering is what a first start writes as its configuration file and what a save writes
 * while there is no configuration tree. Its text is always valid JSON that reads back as written:
 * text values are escaped, numbers use a full stop whatever the locale, names that the vocabularies
 * lack are written as "", and every source keeps its url.
 * The readers treat their files as hostile: every line, word and count is bounded by the record it
 * fills, and nothing they read depends on the locale. */
#include "ruxo_legacy.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <float.h>
#include <limits.h>
#include <math.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <charconv>
#include <functional>

#include "ruxo_text.h"
#include "ruxo_vocab.h"

GLOBAL_SETTINGS g_globalSettings = {8888, 0, 0, TRUE, 0, 0, 0, FALSE, FALSE, ""};
RUXO_CHANNEL g_ruxoChannels[RUXO_LEGACY_CHANNELS];
RUXO_IPACL g_ipAcl[RUXO_ACL_ENTRIES];

void ruxoResetGlobalSettings(void)
{
    memset(&g_globalSettings, 0, sizeof(g_globalSettings));
    g_globalSettings.nPortHTTP = 8888;
    g_globalSettings.nPortRTSP = 5544;
    g_globalSettings.nAutoRestart = 1;
}

namespace {

/* A fixed-size text field as a string, never reading past the field. */
std::string field(const char* sz, size_t cch)
{
    return std::string(sz, strnlen(sz, cch));
}

std::string escField(const char* sz, size_t cch)
{
    return _jsonUnescape(field(sz, cch).c_str());
}

const char* flag(int n)
{
    return n != 0 ? "true" : "false";
}

std::string num(long n)
{
    return std::to_string(n);
}

/* The frame rate as "%g" with a full stop (std::to_chars never looks at the locale); not finite
 * reads 0. */
std::string frameRate(float fFps)
{
    double d = fFps;
    if (!isfinite(d))
        d = 0;
    char szBuf[64];
    std::to_chars_result r = std::to_chars(szBuf, szBuf + sizeof(szBuf), d, std::chars_format::general, 6);
    return r.ec == std::errc() ? std::string(szBuf, r.ptr) : std::string("0");
}

std::string formatName(RUXO_FORMAT format)
{
    // The written word "rtp" would read back as RTP over MPEG-TS; native RTP keeps its own word.
    if (format == RUXO_FORMAT_RTP)
        return "rtp_native";
    const char* sz = ruxoGetFormatName(format);
    return sz != NULL ? sz : "";
}

const char* codecName(RUXO_CODEC codec)
{
    const char* sz = ruxoGetCodecName(codec);  // constant words: nothing to escape
    return sz != NULL ? sz : "";
}

std::string dotted(unsigned long ulIP)
{
    return Inet_ntoa(ulIP);
}

const char* globalHeader(GLOBAL_HEADER_TYPE type)
{
    return type == OUT_OF_BAND ? "outOfBand" : "inBand";
}

int clampCount(int n, int nMax)
{
    return n < 0 ? 0 : (n > nMax ? nMax : n);
}

bool isBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

/* The words that follow each "-map " of a stream-map text, up to the first one without a word. */
std::string mapItems(const std::string& strMap)
{
    std::string strOut;
    size_t nPos = 0;
    bool bFirst = true;
    for (;;) {
        size_t nMap = strMap.find("-map ", nPos);
        if (nMap == std::string::npos)
            break;
        size_t nWord = nMap + 5;
        while (nWord < strMap.size() && isBlank(strMap[nWord]))
            nWord++;
        size_t nEnd = nWord;
        while (nEnd < strMap.size() && !isBlank(strMap[nEnd]))
            nEnd++;
        if (nEnd == nWord)
            break;
        if (!bFirst)
            strOut += ", ";
        strOut += "\"" + _jsonUnescape(strMap.substr(nWord, nEnd - nWord).c_str()) + "\"";
        bFirst = false;
        nPos = nMap + 5;
    }
    return strOut;
}

#define TXT(f) escField((f), sizeof(f))

/* The lines that open every stream block: "enable" and "codec". */
void renderStreamHead(std::string& s, int bEnable, RUXO_CODEC codec)
{
    s += std::string("              \"enable\": ") + flag(bEnable) + ",\n";
    s += std::string("              \"codec\": \"") + codecName(codec) + "\",\n";
}

/* A source stream's RTP lines; szEnd follows the last one. */
void renderSourceRtp(std::string& s, const RUXO_RTP_SESSION& rtp, const char* szEnd)
{
    s += "              \"IP\": \"" + dotted(rtp.ulSrcIP) + "\",\n";
    s += "              \"port\": " + num(rtp.usSrcPort) + ",\n";
    s += "              \"fmtp\": \"" + TXT(rtp.szFmtp) + "\"" + szEnd;
}

/* The lines that close a target stream block: its RTP destination and its options. */
void renderTargetTail(std::string& s, const RUXO_RTP_SESSION& rtp, const std::string& strOptions)
{
    s += "              \"IP\": \"" + dotted(rtp.ulDstIP) + "\",\n";
    s += "              \"port\": " + num(rtp.usDstPort) + ",\n";
    s += std::string("              \"globalHeader\": \"") + globalHeader(rtp.globalHeader) + "\",\n";
    s += "              \"options\": [\"" + strOptions + "\"]\n";
}

void renderSource(std::string& s, const RUXO_CHANNEL& ch, const RUXO_CHANNEL_SOURCE& src)
{
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

void renderTarget(std::string& s, const RUXO_CHANNEL_TARGET& tgt)
{
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

void renderChannel(std::string& s, const RUXO_CHANNEL& ch)
{
    s += "    {\n";
    s += std::string("      \"enable\": ") + flag(ch.bEnable) + ",\n";
    s += "      \"input\": {\n";
    s += "        \"sources\": [\n";
    int nSources = clampCount(ch.nSources, 5);
    for (int i = 0; i < nSources; i++) {
        renderSource(s, ch, ch.sources[i]);
        if (i + 1 < nSources)
            s += ",";
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
        if (i + 1 < nTargets)
            s += ",";
        s += "\n";
    }
    s += "        ],\n";
    s += "        \"mapOptions\": [" + mapItems(field(ch.tszMapParam, sizeof(ch.tszMapParam))) + "],\n";
    s += "        \"formatOptions\": [\"" + TXT(ch.tszFormatParam) + "\"],\n";
    s += "        \"filters\": [";
    int nFilters = clampCount(ch.nFilters, RUXO_LEGACY_FILTERS);
    for (int i = 0; i < nFilters; i++) {
        if (i > 0)
            s += ", ";
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

std::string _jsonUnescape(const char* szText)
{
    std::string strOut;
    if (szText == NULL)
        return strOut;
    for (const unsigned char* p = (const unsigned char*)szText; *p; p++) {
        switch (*p) {
        case '"':
            strOut += "\\\"";
            break;
        case '\\':
            strOut += "\\\\";
            break;
        case '\b':
            strOut += "\\b";
            break;
        case '\f':
            strOut += "\\f";
            break;
        case '\n':
            strOut += "\\n";
            break;
        case '\r':
            strOut += "\\r";
            break;
        case '\t':
            strOut += "\\t";
            break;
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

std::string ruxoRenderLegacyConfig(void)
{
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

/* ---- reading files ---------------------------------------------------------------------------- */

namespace {

const size_t kLegacyLineChars = RUXO_LEGACY_TEXT - 1; /* what a line of the legacy file keeps */
const size_t kAclLineChars = 99;                      /* what a line of the access-list file keeps */
const size_t kAnyLength = (size_t)-1;
const size_t kAddressWord = 99; /* a source's address words */

bool isBlankOrTab(char c)
{
    return c == ' ' || c == '\t';
}
bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

/* Opens a file for reading only when it is a regular file, so that a FIFO or a device in its
 * place can never hold up the start-up. Null with errno set otherwise (ENOENT: no such file). */
FILE* openRegularFile(LPCTSTR tszfn)
{
    if (tszfn == NULL) {
        errno = ENOENT;
        return NULL;
    }
    int fd = open(tszfn, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) {
        int nErr = errno;
        struct stat stLink;
        // A link whose target is gone exists: it is not a missing file.
        if (nErr == ENOENT && lstat(tszfn, &stLink) == 0)
            nErr = ENOLINK;
        errno = nErr;
        return NULL;
    }
    struct stat st;
    int nErr = 0;
    if (fstat(fd, &st) != 0)
        nErr = errno;
    else if (!S_ISREG(st.st_mode))
        nErr = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
    if (nErr != 0) {
        close(fd);
        errno = nErr;
        return NULL;
    }
    FILE* fp = fdopen(fd, "r");
    if (fp == NULL) {
        nErr = errno;
        close(fd);
        errno = nErr;
    }
    return fp;
}

/* One line without its line feed, its first cchMax characters kept: the rest of a longer line is
 * read and dropped, so that the tail of a long value can never pass for a line of its own. False
 * at the end of the file (or on a read error: ferror tells), the line then empty. */
bool readLine(FILE* fp, size_t cchMax, std::string& strLine)
{
    strLine.clear();
    bool bAny = false;
    for (int c = getc(fp); c != EOF; c = getc(fp)) {
        bAny = true;
        if (c == '\n')
            return true;
        if (strLine.size() < cchMax)
            strLine += (char)c;
    }
    return bAny && !ferror(fp);
}

/* A value into a fixed text field of the records, cut to the field's room. */
#define SET_TEXT(field, str) ruxoCopyText((field), sizeof(field), (str).c_str(), (str).size())

/* The text after the key when the line begins with it, ASCII case ignored over the key's whole
 * length (the blank that ends most keys included); null otherwise. */
const char* afterKey(const char* pLine, const char* szKey)
{
    return ruxoStartsNoCase(pLine, szKey) ? pLine + strlen(szKey) : NULL;
}

/* A tag with its number, such as "<Slot3>" or "Filter[3]". */
std::string numberedTag(const char* szHead, int n, const char* szTail = ">")
{
    return szHead + std::to_string(n) + szTail;
}

/* The values of a line, each read like its scanf form but bounded and locale-blind; false (the
 * field then left as it was) when the text holds no such value. */

/* "%d": white space, an optional sign, the digits; held to the range of int. */
bool readInt(const char* p, int* pnValue)
{
    while (isBlank(*p))
        p++;
    bool bNegative = false;
    if (*p == '+' || *p == '-')
        bNegative = (*p++ == '-');
    if (!isDigit(*p))
        return false;
    long long llValue = 0;
    for (; isDigit(*p); p++) {
        if (llValue <= (long long)INT_MAX + 1)
            llValue = llValue * 10 + (*p - '0');
    }
    if (bNegative)
        llValue = -llValue;
    *pnValue = llValue > INT_MAX ? INT_MAX : (llValue < INT_MIN ? INT_MIN : (int)llValue);
    return true;
}

int holdTo(long long llValue, int nMin, int nMax)
{
    return llValue < nMin ? nMin : (llValue > nMax ? nMax : (int)llValue);
}

/* "%hu": a number held to 0..65535. */
bool readPort(const char* p, unsigned short* pusValue)
{
    int n = 0;
    if (!readInt(p, &n))
        return false;
    *pusValue = (unsigned short)holdTo(n, 0, USHRT_MAX);
    return true;
}

/* "%f" whatever the locale: a full stop or a comma separates the fraction, so "25.5" and "25,5"
 * both read 25.5; not-a-number and infinity read 0; held to the range of float. */
bool readDecimal(const char* p, float* pfValue)
{
    while (isBlank(*p))
        p++;
    bool bNegative = false;
    if (*p == '+' || *p == '-')
        bNegative = (*p++ == '-');
    if (afterKey(p, "nan") != NULL || afterKey(p, "inf") != NULL) {
        *pfValue = 0;
        return true;
    }
    std::string strNumber;
    size_t nDigits = 0;
    for (; isDigit(*p); p++, nDigits++)
        strNumber += *p;
    if (*p == '.' || *p == ',') {
        strNumber += '.';
        for (p++; isDigit(*p); p++, nDigits++)
            strNumber += *p;
    }
    if (nDigits == 0)
        return false;
    bool bTinyExponent = false;
    if (*p == 'e' || *p == 'E') {
        const char* q = p + 1;
        if (*q == '+' || *q == '-')
            q++;
        if (isDigit(*q)) {
            bTinyExponent = p[1] == '-';
            strNumber.append(p, (size_t)(q - p));
            for (; isDigit(*q); q++)
                strNumber += *q;
        }
    }
    // A long double spans every mantissa a line can hold, so only an exponent far beyond any
    // mantissa leaves its range, and then the exponent's sign tells huge from tiny.
    long double ldValue = 0;
    std::from_chars_result r = std::from_chars(strNumber.data(), strNumber.data() + strNumber.size(), ldValue);
    if (r.ec == std::errc::result_out_of_range)
        ldValue = bTinyExponent ? 0 : FLT_MAX;
    else if (r.ec != std::errc())
        return false;
    if (ldValue > FLT_MAX)
        ldValue = FLT_MAX;
    *pfValue = (float)(bNegative ? -ldValue : ldValue);
    return true;
}

/* "%s": the first run of characters without white space, at most cchMax of them. */
bool readWord(const char* p, size_t cchMax, std::string& strWord)
{
    while (isBlank(*p))
        p++;
    size_t n = 0;
    while (p[n] != '\0' && !isBlank(p[n]) && n < cchMax)
        n++;
    if (n == 0)
        return false;
    strWord.assign(p, n);
    return true;
}

/* A quoted text: after the first quotation mark, up to the next one, a carriage return or the end
 * of the line; nothing between the marks is no value. */
bool readQuoted(const char* p, std::string& strText)
{
    const char* pOpen = strchr(p, '"');
    if (pOpen == NULL)
        return false;
    size_t n = strcspn(pOpen + 1, "\"\r\n");
    if (n == 0)
        return false;
    strText.assign(pOpen + 1, n);
    return true;
}

/* The rest of the line after blanks and tabs, up to a carriage return, quotation marks included. */
bool readRest(const char* p, std::string& strText)
{
    while (isBlankOrTab(*p))
        p++;
    size_t n = strcspn(p, "\r\n");
    if (n == 0)
        return false;
    strText.assign(p, n);
    return true;
}

/* A key with its value: the value read into the field when the line begins with the key. */
/* Whether the line gave the field a value. */
bool takeInt(const char* pLine, const char* szKey, int* pnField)
{
    const char* pValue = afterKey(pLine, szKey);
    return pValue != NULL && readInt(pValue, pnField);
}

void takePort(const char* pLine, const char* szKey, unsigned short* pusField)
{
    const char* pValue = afterKey(pLine, szKey);
    if (pValue != NULL)
        readPort(pValue, pusField);
}

bool takeWord(const char* pLine, const char* szKey, size_t cchMax, std::string& strWord)
{
    const char* pValue = afterKey(pLine, szKey);
    return pValue != NULL && readWord(pValue, cchMax, strWord);
}

bool takeQuoted(const char* pLine, const char* szKey, std::string& strText)
{
    const char* pValue = afterKey(pLine, szKey);
    return pValue != NULL && readQuoted(pValue, strText);
}

#define TAKE_QUOTED(line, key, field) \
    do { \
        std::string strQuoted_; \
        if (takeQuoted((line), (key), strQuoted_)) { \
            SET_TEXT((field), strQuoted_); \
        } \
    } while (0)

GLOBAL_HEADER_TYPE globalHeaderOf(const std::string& strWord)
{
    return ruxoStrCaseCmp(strWord.c_str(), "OutOfBand") == 0 ? OUT_OF_BAND : IN_BAND;
}

/* A target's video options without their stream maps: each "-map " up to and including the first
 * blank after its argument (or to the end) goes, the search starting again from the front. */
std::string withoutMaps(std::string strText)
{
    for (size_t nMap = strText.find("-map "); nMap != std::string::npos; nMap = strText.find("-map ")) {
        size_t nBlank = strText.find(' ', nMap + 5);
        strText.erase(nMap, nBlank == std::string::npos ? std::string::npos : nBlank + 1 - nMap);
    }
    return strText;
}

/* One line of an input block or sub-block, applied to one source. */
void parseInputSubBlock(const char* pLine, RUXO_CHANNEL_SOURCE* pSource)
{
    RUXO_SOURCE& so = pSource->source;
    std::string s;
    if (takeWord(pLine, "Format ", kAnyLength, s))
        so.format = ruxoGetFormatId(s.c_str());
    if (takeWord(pLine, "VideoCodec ", kAnyLength, s))
        so.video.attr.codec = ruxoGetVideoCodecId(s.c_str());
    if (takeWord(pLine, "VideoIP ", kAddressWord, s))
        so.video.rtp.ulSrcIP = Inet_addr(s.c_str());
    takePort(pLine, "VideoPort ", &so.video.rtp.usSrcPort);
    TAKE_QUOTED(pLine, "VideoFmtp ", so.video.rtp.szFmtp);
    if (takeWord(pLine, "AudioCodec ", kAnyLength, s))
        so.audio.attr.codec = ruxoGetAudioCodecId(s.c_str());
    takeInt(pLine, "AudioSampleRate ", &so.audio.attr.nSampleRate);
    takeInt(pLine, "AudioChannel ", &so.audio.attr.nChannel);
    if (takeWord(pLine, "AudioIP ", kAddressWord, s))
        so.audio.rtp.ulSrcIP = Inet_addr(s.c_str());
    takePort(pLine, "AudioPort ", &so.audio.rtp.usSrcPort);
    TAKE_QUOTED(pLine, "AudioFmtp ", so.audio.rtp.szFmtp);
    // A file name is quoted; a network source's URL is the rest of the line.
    const char* pValue = afterKey(pLine, "File ");
    if (pValue != NULL && (so.format == RUXO_FORMAT_GENERAL ? readQuoted(pValue, s) : readRest(pValue, s))) {
        SET_TEXT(pSource->tszfnSource, s);
        so.pszSrcName = pSource->tszfnSource;
    }
}

/* The input side's channel keys. */
void parseInputCommonBlock(const char* pLine, RUXO_CHANNEL* pChannel)
{
    TAKE_QUOTED(pLine, "VideoParam ", pChannel->tszSourceVideoParam);
    TAKE_QUOTED(pLine, "SourceParam ", pChannel->tszCustomSourceParam);
}

/* One line of an output block or sub-block, applied to one target. */
void parseOutputSubBlock(const char* pLine, RUXO_CHANNEL_TARGET* pTarget)
{
    RUXO_TARGET& t = pTarget->target;
    RUXO_VIDEO_ATTR& va = t.video.attr;
    RUXO_AUDIO_ATTR& aa = t.audio.attr;
    std::string s;
    const char* pValue = NULL;
    if (takeWord(pLine, "Format ", kAnyLength, s))
        t.format = ruxoGetFormatId(s.c_str());
    takeInt(pLine, "VideoEnable ", &t.video.bEnable);
    if (takeWord(pLine, "VideoCodec ", kAnyLength, s))
        va.codec = ruxoGetVideoCodecId(s.c_str());
    takeInt(pLine, "VideoWidth ", &va.nWidth);
    takeInt(pLine, "VideoHeight ", &va.nHeight);
    if ((pValue = afterKey(pLine, "VideoFrameRate ")) != NULL)
        readDecimal(pValue, &va.fFps);
    takeInt(pLine, "VideoKeyFrameInterval ", &va.nKeyFrameInterval);
    takeInt(pLine, "VideoQuality ", &va.nQuality);
    takeInt(pLine, "VideoBitRate ", &va.nKbps);
    takeInt(pLine, "VideoDeinterlace ", &va.nInterlacing);
    if (takeWord(pLine, "VideoIP ", kAnyLength, s))
        t.video.rtp.ulDstIP = Inet_addr(s.c_str());
    takePort(pLine, "VideoPort ", &t.video.rtp.usDstPort);
    if (takeWord(pLine, "VideoGlobalHeader ", kAnyLength, s))
        t.video.rtp.globalHeader = globalHeaderOf(s);
    if (takeQuoted(pLine, "VideoParam ", s))
        SET_TEXT(pTarget->tszVideoParam, withoutMaps(s));
    takeInt(pLine, "AudioEnable ", &t.audio.bEnable);
    if (takeWord(pLine, "AudioCodec ", kAnyLength, s))
        aa.codec = ruxoGetAudioCodecId(s.c_str());
    takeInt(pLine, "AudioSampleRate ", &aa.nSampleRate);
    takeInt(pLine, "AudioChannel ", &aa.nChannel);
    takeInt(pLine, "AudioBitRate ", &aa.nKbps);
    if (takeWord(pLine, "AudioIP ", kAnyLength, s))
        t.audio.rtp.ulDstIP = Inet_addr(s.c_str());
    takePort(pLine, "AudioPort ", &t.audio.rtp.usDstPort);
    if (takeWord(pLine, "AudioGlobalHeader ", kAnyLength, s))
        t.audio.rtp.globalHeader = globalHeaderOf(s);
    takeInt(pLine, "MuxBitRate ", &t.nKbpsMux);
    if (takeWord(pLine, "RTMPFlashVer ", kAnyLength, s))
        SET_TEXT(pTarget->rtmp.tszFlashVer, s);
    if (takeWord(pLine, "RTMPSwfUrl ", kAnyLength, s))
        SET_TEXT(pTarget->rtmp.tszSwfUrl, s);
    if (takeWord(pLine, "RTMPPubUser ", kAnyLength, s))
        SET_TEXT(pTarget->rtmp.tszPubUser, s);
    if (takeWord(pLine, "RTMPPubPass ", kAnyLength, s))
        SET_TEXT(pTarget->rtmp.tszPubPass, s);
    if (takeQuoted(pLine, "File ", s)) {
        SET_TEXT(pTarget->tszfnTarget, s);
        t.pszDstName = pTarget->tszfnTarget;
    }
    // A bit rate wins over a quality, whatever the order of their lines.
    if (va.nKbps > 0)
        va.nQuality = 0;
}

/* The output side's channel keys. */
void parseOutputCommonBlock(const char* pLine, RUXO_CHANNEL* pChannel)
{
    std::string s;
    int n = 0;
    TAKE_QUOTED(pLine, "MapParam ", pChannel->tszMapParam);
    TAKE_QUOTED(pLine, "FormatParam ", pChannel->tszFormatParam);
    // Filters past the table's end are dropped.
    const char* pValue = afterKey(pLine, "Filters ");
    if (pValue != NULL && readInt(pValue, &n))
        pChannel->nFilters = holdTo(n, 0, RUXO_LEGACY_FILTERS);
    for (int i = 1; i <= pChannel->nFilters; i++) {
        if (takeQuoted(pLine, numberedTag("Filter[", i, "]").c_str(), s))
            SET_TEXT(pChannel->tszFilters[i - 1], s);
    }
    pValue = afterKey(pLine, "TimeShift ");
    if (pValue != NULL && readInt(pValue, &n))
        pChannel->nTimeShiftSec = holdTo((long long)n * 60, INT_MIN, INT_MAX);
    takeInt(pLine, "TimeShiftSec ", &pChannel->nTimeShiftSec);
    if (takeQuoted(pLine, "TimeShiftCacheFolder ", s)) {
        if (s.back() != '/')
            s += '/';
        SET_TEXT(pChannel->tszTimeShiftCacheFolder, s);
    }
    TAKE_QUOTED(pLine, "TargetParam ", pChannel->tszCustomTargetParam);
    TAKE_QUOTED(pLine, "CustomParam ", pChannel->tszCustomTargetParam);
    TAKE_QUOTED(pLine, "Memo ", pChannel->tszMemo);
}

/* The legacy file and its current line. */
struct LegacyReader {
    FILE* fp;
    std::string strLine; /* the current line, at most 999 characters */
    size_t nStart;       /* where it begins past its leading blanks and tabs */

    const char* text() const { return strLine.c_str() + nStart; }
};

bool nextLine(LegacyReader* pReader)
{
    bool bRead = readLine(pReader->fp, kLegacyLineChars, pReader->strLine);
    pReader->nStart = 0;
    while (isBlankOrTab(pReader->strLine.c_str()[pReader->nStart]))
        pReader->nStart++;
    return bRead;
}

/* The sub-blocks that follow a "NumInputs " or "NumOutputs " line, one per record in turn: when
 * the next line opens record i's sub-block ("<Input%d>" or "<Output%d>"), the lines after it go to
 * record i until "</Output%d>"; any other line uses up record i's turn. */
void readSubBlocks(LegacyReader* pReader, const char* szOpenHead, int nRecords,
                   const std::function<void(int, const char*)>& applyLine)
{
    for (int i = 0; i < nRecords; i++) {
        if (!nextLine(pReader))
            return;
        if (afterKey(pReader->text(), numberedTag(szOpenHead, i + 1).c_str()) == NULL)
            continue;
        const std::string strClose = numberedTag("</Output", i + 1);
        while (nextLine(pReader) && afterKey(pReader->text(), strClose.c_str()) == NULL) {
            applyLine(i, pReader->text());
        }
    }
}

/* An input or output block: its lines go to the first record, or a count line opens sub-blocks;
 * the side's channel keys are tried on every line, the closing line included. */
void readSideBlock(LegacyReader* pReader, bool bInput, RUXO_CHANNEL* pChannel)
{
    int* pnRecords = bInput ? &pChannel->nSources : &pChannel->nTargets;
    auto applyLine = [&](int i, const char* pLine) {
        if (bInput)
            parseInputSubBlock(pLine, &pChannel->sources[i]);
        else
            parseOutputSubBlock(pLine, &pChannel->targets[i]);
    };
    *pnRecords = 1;
    while (nextLine(pReader)) {
        const char* pCount = afterKey(pReader->text(), bInput ? "NumInputs " : "NumOutputs ");
        if (pCount != NULL) {
            int n = 0;
            if (readInt(pCount, &n))
                *pnRecords = holdTo(n, 0, RUXO_LEGACY_RECORDS);
            readSubBlocks(pReader, bInput ? "<Input" : "<Output", *pnRecords, applyLine);
        } else {
            applyLine(0, pReader->text());
        }
        if (bInput)
            parseInputCommonBlock(pReader->text(), pChannel);
        else
            parseOutputCommonBlock(pReader->text(), pChannel);
        if (afterKey(pReader->text(), bInput ? "</Input>" : "</Output>") != NULL)
            return;
    }
}

/* A channel block numbered nBlock, up to either closing tag with that number. */
void readChannelBlock(LegacyReader* pReader, int nBlock, RUXO_CHANNEL* pChannel)
{
    const std::string strEndSlot = numberedTag("</Slot", nBlock);
    const std::string strEndChannel = numberedTag("</Channel", nBlock);
    while (nextLine(pReader)) {
        const char* pLine = pReader->text();
        if (afterKey(pLine, strEndSlot.c_str()) != NULL || afterKey(pLine, strEndChannel.c_str()) != NULL)
            return;
        takeInt(pLine, "Enable", &pChannel->bEnable);
        bool bInput = afterKey(pLine, "<Input>") != NULL;
        bool bOutput = afterKey(pLine, "<Output>") != NULL;
        if (bInput)
            readSideBlock(pReader, true, pChannel);
        else if (bOutput)
            readSideBlock(pReader, false, pChannel);
    }
}

/* A line outside the channel blocks: every global key is tried on it. Returns how many of them
 * gave their field a value. */
int parseGlobalLine(const char* pLine)
{
    GLOBAL_SETTINGS& g = g_globalSettings;
    int nTaken = 0;
    nTaken += takeInt(pLine, "log ", &g.nLogLevel);
    nTaken += takeInt(pLine, "HTTPPort ", &g.nPortHTTP);
    nTaken += takeInt(pLine, "RTSPPort ", &g.nPortRTSP);
    nTaken += takeInt(pLine, "AutoStart ", &g.bAutoRun);
    nTaken += takeInt(pLine, "AutoRestart ", &g.nAutoRestart);
    nTaken += takeInt(pLine, "CpuPerChannel ", &g.nCpuPerChannel);
    nTaken += takeInt(pLine, "StreamTimeLimit ", &g.nStreamTimeLimit);
    nTaken += takeInt(pLine, "FolderRecur ", &g.bFolderRecur);
    nTaken += takeInt(pLine, "FolderShuffle ", &g.bFolderShuffle);
    std::string s;
    if (takeWord(pLine, "LoginPass ", kAnyLength, s)) {
        SET_TEXT(g.szLoginPass, s);
        nTaken++;
    }
    return nTaken;
}

/* The result for a file that could not be opened: missing, or there but unreadable. */
int openFailure(void)
{
    return errno == ENOENT ? RUXO_LEGACY_MISSING : RUXO_LEGACY_UNREADABLE;
}

}  // namespace

int ruxoImportConfigXML(LPCTSTR tszfnConfig, int* pnSettings)
{
    if (pnSettings != NULL)
        *pnSettings = 0;
    LegacyReader reader;
    reader.fp = openRegularFile(tszfnConfig);
    reader.nStart = 0;
    if (reader.fp == NULL)
        return openFailure();

    ruxoResetGlobalSettings();
    memset(g_ruxoChannels, 0, sizeof(g_ruxoChannels));
    int nBlocks = 0;
    while (nBlocks < RUXO_LEGACY_CHANNELS && nextLine(&reader)) {
        const char* pLine = reader.text();
        const int nTaken = parseGlobalLine(pLine);
        if (pnSettings != NULL && *pnSettings < INT_MAX - nTaken)
            *pnSettings += nTaken;
        // Only the next block's number opens a block: another number is read as top-level lines.
        if (afterKey(pLine, numberedTag("<Slot", nBlocks + 1).c_str()) != NULL ||
            afterKey(pLine, numberedTag("<Channel", nBlocks + 1).c_str()) != NULL) {
            readChannelBlock(&reader, nBlocks + 1, &g_ruxoChannels[nBlocks]);
            nBlocks++;
        }
    }
    bool bFailed = ferror(reader.fp) != 0;
    int nErr = errno;
    fclose(reader.fp);
    if (bFailed) {
        errno = nErr;
        return RUXO_LEGACY_UNREADABLE;
    }
    return nBlocks;
}

/* ---- the access-list file --------------------------------------------------------------------- */

namespace {

/* One rule "<command> <network>": the command is the first run between blanks (a tab is part of
 * it), the network the next; a network is "all", an address, or an address with a prefix length
 * from 0 to 32 whose range starts at that address unmasked. False for a comment, a line without a
 * network, or a network that is none of these. */
bool parseAclLine(const char* p, RUXO_IPACL* pEntry)
{
    while (*p == ' ')
        p++;
    const char* pCommand = p;
    while (*p != '\0' && *p != ' ')
        p++;
    std::string strCommand(pCommand, (size_t)(p - pCommand));
    if (strCommand.empty() || strCommand[0] == '#')
        return false;
    while (*p == ' ')
        p++;
    const char* pNetwork = p;
    while (*p != '\0' && *p != ' ')
        p++;
    std::string strNetwork(pNetwork, (size_t)(p - pNetwork));
    if (strNetwork.empty())
        return false;

    uint32_t uMask = 0;
    size_t nSlash = strNetwork.find('/');
    if (nSlash != std::string::npos) {
        const char* szLength = strNetwork.c_str() + nSlash + 1;
        char* pEnd = NULL;
        errno = 0;
        long nLength = strtol(szLength, &pEnd, 10);
        if (pEnd == szLength || *pEnd != '\0' || errno != 0 || nLength < 0 || nLength > 32)
            return false;
        uMask = (uint32_t)((((uint64_t)1) << (32 - nLength)) - 1);
        strNetwork.erase(nSlash);
    }
    struct in_addr addr;
    if (inet_pton(AF_INET, strNetwork.c_str(), &addr) == 1) {
        pEntry->ip_begin = ntohl(addr.s_addr);
        // The range starts at the address as written; past the last address it ends there.
        pEntry->ip_end = pEntry->ip_begin > UINT32_MAX - uMask ? UINT32_MAX : pEntry->ip_begin + uMask;
    } else if (ruxoStrCaseCmp(strNetwork.c_str(), "all") == 0) {
        pEntry->ip_begin = 0;
        pEntry->ip_end = UINT32_MAX;
    } else {
        return false;
    }
    pEntry->bAllow = ruxoStrCaseCmp(strCommand.c_str(), "allow") == 0 ? TRUE : FALSE;
    return true;
}

}  // namespace

int ruxoReadAclFile(LPCTSTR tszfnAcl)
{
    memset(g_ipAcl, 0, sizeof(g_ipAcl));
    FILE* fp = openRegularFile(tszfnAcl);
    if (fp == NULL)
        return openFailure();
    int nEntries = 0;
    std::string strLine;
    // Entries past the table's end are dropped.
    while (nEntries < RUXO_ACL_ENTRIES && readLine(fp, kAclLineChars, strLine)) {
        RUXO_IPACL entry;
        if (parseAclLine(strLine.c_str(), &entry))
            g_ipAcl[nEntries++] = entry;
    }
    bool bFailed = ferror(fp) != 0;
    int nErr = errno;
    fclose(fp);
    if (bFailed) {
        errno = nErr;
        return RUXO_LEGACY_UNREADABLE;
    }
    return nEntries;
}

/* ---- address helpers -------------------------------------------------------------------------- */

LPTSTR Inet_ntoa(unsigned long ipn)
{
    static thread_local char s_szAddr[INET_ADDRSTRLEN];
    struct in_addr addr;
    addr.s_addr = (in_addr_t)(ipn & 0xffffffffUL);
    if (inet_ntop(AF_INET, &addr, s_szAddr, sizeof(s_szAddr)) == NULL)
        s_szAddr[0] = '\0';
    return s_szAddr;
}

unsigned long Inet_addr(LPCTSTR ip)
{
    return ip != NULL ? (unsigned long)inet_addr(ip) : (unsigned long)INADDR_NONE;
}
