/* ruxo_routes.cpp -- the JSON API behind the login gate: the order in which request paths are
 * matched, the status reply that the web page polls, the runtime reply it reads once, the
 * configuration post (replace or import), the DeckLink and NDI device lists of the pickers, and
 * the channel actions (start, stop, preview).
 *
 * Everything here runs on the web server's one polling thread. The channel walk of the status
 * reply, the configuration replacement and the channel actions hold the web mutex around one call
 * of the channel layer each, which takes the configuration lock inside it, so neither the tree nor
 * a channel's slot changes under them; nothing here takes that lock or walks the tree itself.
 * Replies are composed in std::string and handed to cgiReply, which queues a copy. Also here: the
 * provider of the web server's settings, and the configuration download. */
#include "ruxo_routes.h"

#include <arpa/inet.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <charconv>
#include <climits>
#include <memory>
#include <mutex>
#include <new>
#include <string>

#include "ruxo.h"
#include "ruxo_cgi_files.h"
#include "ruxo_cgi_internal.h"
#include "ruxo_channel.h"
#include "ruxo_config.h"
#include "ruxo_decklink.h"
#include "ruxo_legacy.h"
#include "ruxo_ndi.h"
#include "ruxo_text.h"

#define RUXO_APP_WEBSITE "https://www.strovanta.example"
#define RUXO_APP_EMAIL "support@strovanta.example"
#define RUXO_APP_PLATFORM "linux"

#define RUXO_CHANNEL_NUMBER_MAX 1000000 /* a channel number past this is simply "too large" */

namespace {

struct CGI_ERR_CODE {
    int nCode;
    const char* szText;
};

/* The channel-action result codes that the web page shows after "Channel start error! ". */
const CGI_ERR_CODE errCodes[] = {
    {RUXO_ERR_NOT_INIT, "not initialized"},
    {RUXO_ERR_CHANNEL, "invalid channel"},
    {RUXO_ERR_BUSY, "channel busy"},
    {RUXO_ERR_SOURCE, "source url not valid"},
    {RUXO_ERR_TARGET, "target url not valid"},
    {RUXO_ERR_CODEC, "target codec not valid"},
    {RUXO_ERR_LOG, "channel log cannot be written"},
};

}  // namespace

/* ---- downloads --------------------------------------------------------------------------------
 * The embedded files (with "/" as "/index.html") and the logo are ruxoCGIDownload's; the
 * configuration (GET "/config") is this file's. */

/* The whole tree as the configuration file holds it, the password included. */
static int cgiDownloadConfig(MHD_Connection* conn, bool bDownload)
{
    std::string strNoTree;
    char* szText = ruxoPrintConfig(&strNoTree);
    /* Without a tree there is nothing to download: say why, naming the file. */
    if (!strNoTree.empty())
        return cgiReply(conn, MHD_HTTP_SERVICE_UNAVAILABLE, strNoTree, "text/plain; charset=utf-8");
    if (szText == nullptr)
        return cgiReply(conn, MHD_HTTP_INTERNAL_SERVER_ERROR, std::string(), nullptr);
    MHD_Response* pResponse = MHD_create_response_from_buffer_with_free_callback(strlen(szText), szText, cJSON_free);
    if (pResponse == nullptr) {
        cJSON_free(szText);
        return 0;
    }
    return cgiQueueFile(conn, pResponse, "application/json", "no-cache",
                        bDownload ? "attachment; filename=ruxod.json" : nullptr);
}

static int cgiDownload(MHD_Connection* conn, const char* szPath, const char* szArgs)
{
    const char* szName = szPath[0] != '\0' ? szPath + 1 : "";
    if (ruxoStrCaseCmp(szName, "config") == 0)
        return cgiDownloadConfig(conn, szArgs != nullptr && strstr(szArgs, "dl=1") != nullptr);
    return ruxoCGIDownload(conn, szPath, szArgs);
}

/* ---- the web server's settings ----------------------------------------------------------------
 * The configuration module copies them under its lock; the server sees plain records only. */

static void cgiListenSettings(RUXO_CGI_LISTEN* pListen)
{
    RUXO_WEB_SETTINGS settings;
    ruxoGetWebSettings(&settings);
    pListen->nPort = settings.nPort;
    pListen->bTls = settings.bSsl;
    pListen->strfnCert = settings.strCert;
    pListen->strfnKey = settings.strKey;
}

const RUXO_CGI_PROVIDER g_ruxoCGIProvider = {ruxoGetAccessList, ruxoGetRequestLog, ruxoGetLoginPass, cgiListenSettings,
                                             ruxoKeepWebPort};

/* ---- helpers ---------------------------------------------------------------------------------- */

/* Length of the well-formed UTF-8 sequence at p (at most n bytes available), 0 when it is not one. */
static size_t _utf8SeqLen(const unsigned char* p, size_t n)
{
    unsigned char c = p[0];
    size_t len;
    unsigned int cp;
    if (c < 0x80)
        return 1;
    if (c >= 0xC2 && c <= 0xDF) {
        len = 2;
        cp = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
        len = 3;
        cp = c & 0x0F;
    } else if (c >= 0xF0 && c <= 0xF4) {
        len = 4;
        cp = c & 0x07;
    } else {
        return 0;
    }
    if (n < len)
        return 0;
    for (size_t i = 1; i < len; i++) {
        if ((p[i] & 0xC0) != 0x80)
            return 0;
        cp = (cp << 6) | (p[i] & 0x3F);
    }
    if ((len == 3 && (cp < 0x800 || (cp >= 0xD800 && cp <= 0xDFFF))) || (len == 4 && (cp < 0x10000 || cp > 0x10FFFF)))
        return 0;
    return len;
}

/* sz with every byte that is no part of well-formed UTF-8 (a file name in another encoding, a
 * name cut short) replaced by U+FFFD, so that the reply always parses. */
static std::string _utf8Clean(const char* sz)
{
    std::string strOut;
    const unsigned char* p = (const unsigned char*)sz;
    size_t n = strlen(sz);
    while (n > 0) {
        size_t len = _utf8SeqLen(p, n);
        if (len == 0) {
            strOut += "\xEF\xBF\xBD";
            len = 1;
        } else {
            strOut.append((const char*)p, len);
        }
        p += len;
        n -= len;
    }
    return strOut;
}

/* The inside of a JSON string for sz: UTF-8 made well-formed, then the quotation mark, the
 * reverse solidus and control characters escaped. */
static std::string _jsonText(const char* sz)
{
    return _jsonUnescape(_utf8Clean(sz).c_str());
}

/* Printable ASCII but the quotation mark and the reverse solidus: what a JSON string holds as it
 * stands. */
static const struct PlainBytes {
    bool abPlain[256];
    PlainBytes() : abPlain()
    {
        for (int c = 0x20; c < 0x7F; c++)
            abPlain[c] = c != '"' && c != '\\';
    }
} s_plainBytes;

/* How many bytes at the start of sz a JSON string holds as they stand. */
static size_t _plainLength(const char* sz)
{
    const unsigned char* p = (const unsigned char*)sz;
    while (s_plainBytes.abPlain[*p])
        p++;
    return (size_t)((const char*)p - sz);
}

/* Appends the inside of a JSON string for sz; a text of printable ASCII without quotation mark or
 * reverse solidus goes in as it stands. */
static void _appendJsonText(std::string& strOut, const char* sz)
{
    const size_t cchPlain = _plainLength(sz);
    if (sz[cchPlain] == '\0')
        strOut.append(sz, cchPlain);
    else
        strOut += _jsonText(sz);
}

/* A reply text written in place into a buffer of its own: every put makes room first (growing
 * seldom, as the buffer starts at its usual size) and then copies, so a literal costs a few moves.
 * The buffer goes to the reply whole, without a copy, and is freed with it. Out of memory it throws
 * std::bad_alloc, as a std::string would. */
class ReplyText {
public:
    explicit ReplyText(size_t cchUsual) : m_cchSize(cchUsual > 0 ? cchUsual : 1)
    {
        m_p = (char*)malloc(m_cchSize);
        if (m_p == nullptr)
            throw std::bad_alloc();
    }
    ~ReplyText() { free(m_p); }
    ReplyText(const ReplyText&) = delete;
    ReplyText& operator=(const ReplyText&) = delete;

    void put(const char* p, size_t cch)
    {
        if (m_cchSize - m_cch < cch)
            grow(cch);
        memcpy(m_p + m_cch, p, cch);
        m_cch += cch;
    }
    template <size_t N>
    void put(const char (&sz)[N])
    {
        put(sz, N - 1);
    }
    void put(const std::string& str) { put(str.data(), str.size()); }
    void putNumber(int nValue)
    {
        char sz[16];
        std::to_chars_result r = std::to_chars(sz, sz + sizeof(sz), nValue);
        put(sz, (size_t)(r.ptr - sz));
    }
    /* The inside of a JSON string for sz; a text of printable ASCII without quotation mark or
     * reverse solidus, as status texts mostly are, goes in as it stands. */
    void putJsonText(const char* sz)
    {
        const size_t cchPlain = _plainLength(sz);
        if (sz[cchPlain] == '\0')
            put(sz, cchPlain);
        else
            put(_jsonText(sz));
    }
    /* Queues the text as the reply's body; the reply owns the buffer from then on and frees it. */
    int reply(MHD_Connection* conn, unsigned int nStatus, const char* szContentType, const CGI_HEADERS& headers)
    {
        MHD_Response* pResponse = MHD_create_response_from_buffer(m_cch, m_p, MHD_RESPMEM_MUST_FREE);
        if (pResponse == nullptr)
            return 0;
        m_p = nullptr;
        m_cchSize = m_cch = 0;
        return cgiQueueReply(conn, nStatus, pResponse, szContentType, headers);
    }

private:
    void grow(size_t cch)
    {
        if (cch > SIZE_MAX / 2 - m_cch)
            throw std::bad_alloc();
        size_t cchSize = std::max(m_cchSize * 2, m_cch + cch);
        char* p = (char*)realloc(m_p, cchSize);
        if (p == nullptr)
            throw std::bad_alloc();
        m_p = p;
        m_cchSize = cchSize;
    }

    char* m_p = nullptr;
    size_t m_cchSize;
    size_t m_cch = 0;
};

static CGI_HEADERS _jsonReplyHeaders()
{
    return CGI_HEADERS{{"Connection", "Keep-Alive"}, {"Pragma", "no-cache"}, {"Cache-Control", "no-cache"}};
}

/* ---- status ---------------------------------------------------------------------------------- */

/* Channel i's last running status text, its whole buffer as the channel layer left it, and the
 * length of its text when that needed no escaping (-1 when it did): the same text again then costs
 * one compare of the buffers instead of a scan. Guarded by the web mutex. */
struct STATUS_SEEN {
    char szStatus[RUXO_STATUS_CCH];
    long nPlain;
};
static STATUS_SEEN s_statusSeen[RUXO_MAX_CHANNELS];

/* Puts a running channel's status text (szStatus, a whole buffer of RUXO_STATUS_CCH characters
 * ending in a NUL) as the inside of a JSON string. */
static void _putStatusText(ReplyText& reply, int i, const char* szStatus)
{
    if (i < 0 || i >= RUXO_MAX_CHANNELS) {
        reply.putJsonText(szStatus);
        return;
    }
    STATUS_SEEN& seen = s_statusSeen[i];
    if (memcmp(seen.szStatus, szStatus, RUXO_STATUS_CCH) != 0) {
        memcpy(seen.szStatus, szStatus, RUXO_STATUS_CCH);
        const size_t cchPlain = _plainLength(szStatus);
        seen.nPlain = szStatus[cchPlain] == '\0' ? (long)cchPlain : -1;
    }
    if (seen.nPlain >= 0)
        reply.put(szStatus, (size_t)seen.nPlain);
    else
        reply.putJsonText(szStatus);
}

/* Puts a status entry that begins with the separator ",\n", which the first entry leaves out. */
template <size_t N>
static void _putEntry(ReplyText& reply, int i, const char (&sz)[N])
{
    static_assert(N > 2, "an entry after its separator");
    if (i > 0)
        reply.put(sz, N - 1);
    else
        reply.put(sz + 2, N - 3);
}

int ruxoCGIStatus(MHD_Connection* conn)
{
    ReplyText reply(8192); /* 64 entries with their status texts and the loads */
    reply.put("{\n  \"channels\": [\n");
    {
        std::lock_guard<std::mutex> lock(g_cgi_mutex);
        ruxoWalkChannelStatus([&reply](int i, RUXO_CHANNEL_STATE nState, const char* szStatus) {
            switch (nState) {
            case RUXO_STATE_RUNNING:
                _putEntry(reply, i, ",\n    {\"state\": \"running\", \"status\": \"");
                _putStatusText(reply, i, szStatus);
                reply.put("\"}");
                break;
            case RUXO_STATE_PREVIEW:
                _putEntry(reply, i, ",\n    {\"state\": \"preview\", \"status\": \"PREVIEW\"}");
                break;
            case RUXO_STATE_STOPPING:
                _putEntry(reply, i, ",\n    {\"state\": \"stopping\", \"status\": \"STOPPING\"}");
                break;
            default:
                _putEntry(reply, i, ",\n    {\"state\": \"idle\", \"status\": \"IDLE\"}");
                break;
            }
        });
    }
    reply.put("\n  ],\n  \"cpu\": [");

    /* Written by the engine's poll on the main thread once a second; only the table's first 64
     * processors are sampled. */
    int nCPUs = g_cfg.nCPUs.load();
    if (nCPUs > RUXO_MAX_CPUS)
        nCPUs = RUXO_MAX_CPUS;
    for (int k = 0; k < nCPUs; k++) {
        if (k > 0)
            reply.put(", ");
        reply.putNumber(ruxoGetCpuLoad(k));
    }
    reply.put("]\n}\n");
    return reply.reply(conn, MHD_HTTP_OK, "application/json", _jsonReplyHeaders());
}

/* ---- runtime --------------------------------------------------------------------------------- */

int ruxoCGIRuntime(MHD_Connection* conn)
{
    std::string strReply = "{\n  \"app\": \"" RUXO_APP_TITLE "\",\n  \"appAbbr\": \"" RUXO_APP_ABBR
                           "\",\n  \"title\": \"";
    _appendJsonText(strReply, ruxoAppTitle());
    strReply += "\",\n  \"version\": \"" RUXO_APP_VERSION "\",\n  \"channels\": ";
    strReply += std::to_string(RUXO_MAX_CHANNELS);
    strReply += ",\n  \"website\": \"" RUXO_APP_WEBSITE "\",\n  \"email\": \"" RUXO_APP_EMAIL
                "\",\n  \"platform\": \"" RUXO_APP_PLATFORM "\",\n  \"previewPort\": ";
    strReply += std::to_string(RUXO_PREVIEW_PORT);
    /* So that the page can warn when "sslEnable" asked for HTTPS and the server runs without. */
    strReply += ",\n  \"https\": ";
    strReply += ruxoCGIUsesTls() ? "true" : "false";
    strReply += "\n}";
    return cgiReply(conn, MHD_HTTP_OK, strReply, "application/json", _jsonReplyHeaders());
}

/* ---- configuration post ---------------------------------------------------------------------- */

/* The router's part of the check of a configuration that parsed: why it is refused, "" when it is
 * not: an access list under which the posting client could not reach the server again, or HTTPS
 * asked for with files the server's start cannot use (it would fall back to plain HTTP). The files
 * are checked only when the post changes a TLS setting, so a configuration that runs on the
 * fall-back can still be edited. (A document that holds neither part of a configuration the
 * channel layer refuses first.) */
static std::string _configRefusal(const RUXO_WEB_SETTINGS& newSettings, const RUXO_WEB_SETTINGS& oldSettings,
                                  uint32_t ulClient)
{
    if (!cgiAclAllows(newSettings.strAcl.c_str(), ulClient))
        return std::string("the access list would refuse your address ") + Inet_ntoa(htonl(ulClient));

    if (newSettings.bSsl) {
        if (!oldSettings.bSsl || newSettings.strCert != oldSettings.strCert || newSettings.strKey != oldSettings.strKey)
            return cgiTlsFilesProblem(newSettings.strCert, newSettings.strKey);
    }
    return std::string();
}

int ruxoCGISetConfig(MHD_Connection* conn, const char* szPost, size_t cchPost, const char* szArgs)
{
    const bool bImport = ruxoStrCaseCmp(szArgs, "import") == 0;
    const uint32_t ulClient = cgiClientAddress(conn);
    RUXO_POSTED_CONFIG posted;

    std::unique_lock<std::mutex> lock(g_cgi_mutex); /* let go before the reply is queued */
    const RUXO_POST_RESULT result = ruxoPostConfig(
        szPost, cchPost,
        [ulClient](const RUXO_WEB_SETTINGS& newSettings, const RUXO_WEB_SETTINGS& oldSettings) {
            return _configRefusal(newSettings, oldSettings, ulClient);
        },
        &posted);
    if (result == RUXO_POST_REFUSED)
        return cgiReply(conn, MHD_HTTP_BAD_REQUEST, posted.strReason, "text/plain; charset=utf-8");
    if (result == RUXO_POST_NOT_SAVED)
        return cgiReply(conn, MHD_HTTP_INTERNAL_SERVER_ERROR, posted.strReason, "text/plain; charset=utf-8");
    /* The restart runs one second later on the daemon's timer thread, never on this one. */
    ruxoCGICallback(posted.bServerChanged ? TRUE : FALSE);

    CGI_HEADERS headers;
    if (bImport) {
        lock.unlock();
        /* The page loads afresh after the redirect: with a new password it needs the cookie. */
        if (!posted.strPass.empty())
            headers.emplace_back("Set-Cookie", cgiLoginCookie(posted.strPass));
        headers.emplace_back("Connection", "Keep-Alive");
        headers.emplace_back("Content-Type", "application/json");
        headers.emplace_back("Location", "/");
        return cgiReply(conn, MHD_HTTP_MOVED_PERMANENTLY, std::string(), nullptr, headers);
    }
    if (!posted.strPass.empty())
        headers.emplace_back("Set-Cookie", cgiLoginCookie(posted.strPass));
    headers.emplace_back("Connection", "Keep-Alive");
    lock.unlock();
    /* The reply is the text just saved. */
    return cgiReply(conn, MHD_HTTP_OK, posted.strText, "application/json", headers);
}

/* ---- device lists ---------------------------------------------------------------------------
 * Discovery runs here, on the web thread, without the web mutex: it touches no shared state, and
 * every other request waits until it ends (an NDI search at most a minute). The records are large
 * (tens of kilobytes), so they live on the heap, zeroed. */

int ruxoCGIDecklinkConfig(MHD_Connection* conn, const char* szArgs)
{
    int isOutput = 0;
    parseOpt(szArgs, "output=", &isOutput);
    std::unique_ptr<RUXO_DECKLINKS> pDeckLinks(new RUXO_DECKLINKS());
    (void)ruxoEnumBMD(isOutput, pDeckLinks.get());

    const int nDevices = std::min(std::max(pDeckLinks->nDevices, 0), RUXO_MAX_DECKLINKS);
    std::string strReply = "{ \"devices\": [\n";
    for (int i = 0; i < nDevices; i++) {
        const RUXO_DECKLINK& device = pDeckLinks->decklink[i];
        strReply += "  { \"name\": \"";
        strReply += _jsonText(device.tszDisplayName);
        strReply += "\",\n  \"formats\": [\n";
        const int nFormats = std::min(std::max(device.nFormats, 0), RUXO_MAX_DECKLINK_FORMATS);
        for (int k = 0; k < nFormats; k++) {
            const DECKLINK_FORMAT& format = device.formats[k];
            strReply += "  { \"fmtcode\": " + std::to_string((int32_t)format.nFormatCode);
            strReply += ", \"width\": " + std::to_string(format.nWidth);
            strReply += ", \"height\": " + std::to_string(format.nHeight);
            strReply += ", \"numFrame\": " + std::to_string(format.nFrameNum);
            strReply += ", \"denFrame\": " + std::to_string(format.nFrameDen);
            strReply += ", \"interlaced\": " + std::to_string(format.bInterlaced) + " }";
            strReply += k + 1 < nFormats ? ",\n" : "\n";
        }
        strReply += "  ]\n  }";
        strReply += i + 1 < nDevices ? ",\n" : "\n";
    }
    strReply += " ]\n}\n";
    return cgiReply(conn, MHD_HTTP_OK, strReply, "application/json", _jsonReplyHeaders());
}

int ruxoCGINDIConfig(const char* szArgs, MHD_Connection* conn)
{
    int nWaitSecs = 5;
    parseOpt(szArgs, "timeout=", &nWaitSecs);
    std::unique_ptr<RUXO_NDI> pNDI(new RUXO_NDI());
    /* A stop of the server (shutdown, or a restart for a new port or TLS setting) ends the search
     * within a tenth of a second; the reply then lists what it found so far. */
    (void)ruxoEnumNDIUntilStopped(pNDI.get(), nWaitSecs, ruxoCGIStopping);

    const uint32_t nSources = std::min<uint32_t>(pNDI->nSources, RUXO_MAX_NDI_SOURCES);
    std::string strReply = "{ \"sources\": [\n";
    for (uint32_t i = 0; i < nSources; i++) {
        strReply += "  { \"name\": \"";
        strReply += _jsonText(pNDI->tszSourceName[i]);
        strReply += "\", \"addr\": \"";
        strReply += _jsonText(pNDI->tszSourceAddr[i]);
        strReply += "\" }\n";
        strReply += i + 1 < nSources ? ",\n" : "\n";
    }
    strReply += " ]\n}\n";
    return cgiReply(conn, MHD_HTTP_OK, strReply, "application/json", _jsonReplyHeaders());
}

/* ---- channel actions ------------------------------------------------------------------------- */

int ruxoCGIChannel(MHD_Connection* conn, int iChannel, const char* szArgs, const char* szPost)
{
    (void)szPost;
    RUXO_CHANNEL_ACTION nAction = RUXO_ACTION_NONE;
    if (szArgs != nullptr && ruxoStrCaseCmp(szArgs, "start") == 0)
        nAction = RUXO_ACTION_START;
    else if (szArgs != nullptr && ruxoStrCaseCmp(szArgs, "stop") == 0)
        nAction = RUXO_ACTION_STOP;
    else if (szArgs != nullptr && ruxoStrCaseCmp(szArgs, "preview") == 0)
        nAction = RUXO_ACTION_PREVIEW;

    std::lock_guard<std::mutex> lock(g_cgi_mutex);
    int nResult = RUXO_OK;
    /* The channel layer counts from 0; 0 and numbers past the tree's channels find none. */
    if (!ruxoChannelAction(iChannel - 1, nAction, &nResult))
        return cgiReply(conn, MHD_HTTP_NOT_FOUND, std::string(), nullptr);

    const char* szText = "";
    for (const CGI_ERR_CODE& err : errCodes) {
        if (err.nCode == nResult)
            szText = err.szText;
    }
    /* Queued before the web mutex is let go, so two actions never cross their replies. */
    return cgiReply(conn, nResult == RUXO_OK ? MHD_HTTP_OK : MHD_HTTP_BAD_REQUEST, std::string(szText), nullptr,
                    CGI_HEADERS{{"Connection", "Keep-Alive"}});
}

/* ---- the route order ------------------------------------------------------------------------- */

/* The channel number right after "/channel": its digits only; no digits give 0. */
static int _channelNumber(const char* szPath)
{
    int n = 0;
    for (const char* p = szPath + 8; *p >= '0' && *p <= '9'; p++) {
        n = n * 10 + (*p - '0');
        if (n > RUXO_CHANNEL_NUMBER_MAX)
            return RUXO_CHANNEL_NUMBER_MAX + 1;
    }
    return n;
}

static int _route(MHD_Connection* conn, const char* szPath, const char* szArgs, char* szPost, size_t cchPost)
{
    if (ruxoStrCaseCmp(szPath, "/") == 0)
        return cgiDownload(conn, "/index.html", szArgs);
    if (ruxoStrCaseCmp(szPath, "/status") == 0)
        return ruxoCGIStatus(conn);
    if (ruxoStrCaseCmp(szPath, "/config") == 0) {
        if (szPost != nullptr)
            return ruxoCGISetConfig(conn, szPost, cchPost, szArgs);
        return cgiDownload(conn, szPath, szArgs);
    }
    if (ruxoStrCaseCmp(szPath, "/runtime") == 0)
        return ruxoCGIRuntime(conn);
    /* The channel actions and the device searches act on a GET too: another site's page (an
     * image whose address is "/channel1?start") must not reach them through the browser. */
    const bool bDeckLink = ruxoStrCaseCmp(szPath, "/decklink_config") == 0;
    const bool bNDI = ruxoStrCaseCmp(szPath, "/ndi_config") == 0;
    const bool bChannel = !bDeckLink && !bNDI && ruxoStartsNoCase(szPath, "/channel");
    if ((bDeckLink || bNDI || bChannel) && cgiFromOtherSite(conn))
        return cgiRefuseOtherSite(conn);
    if (bDeckLink)
        return ruxoCGIDecklinkConfig(conn, szArgs);
    if (bNDI)
        return ruxoCGINDIConfig(szArgs, conn);
    if (bChannel)
        return ruxoCGIChannel(conn, _channelNumber(szPath), szArgs, szPost);
    return cgiDownload(conn, szPath, szArgs);
}

int ruxoCGIRoute(MHD_Connection* conn, const char* szPath, const char* szArgs, char* szPost, size_t cchPost)
{
    if (szPath == nullptr)
        szPath = "";
    if (szArgs == nullptr)
        szArgs = "";
    /* Out of memory while composing a reply: the locks are scoped, so answer 500 and go on. */
    try {
        return _route(conn, szPath, szArgs, szPost, cchPost);
    } catch (const std::bad_alloc&) {
    }
    try {
        return cgiReply(conn, MHD_HTTP_INTERNAL_SERVER_ERROR, std::string(), nullptr);
    } catch (const std::bad_alloc&) {
        return 0;
    }
}
