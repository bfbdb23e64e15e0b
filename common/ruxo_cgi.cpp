/* ruxo_cgi.cpp -- the embedded web server: start and stop over HTTP or HTTPS (and the restart
 * after a changed setting, which falls back to the previous port), the access list ("ipACL")
 * checked on every new connection, the request log beside the configuration file, the collection
 * of each request's body, and the login gate in front of the API routes. What one client may hold
 * (bodies, connections, time) is ruxo_cgi_limits.cpp.
 *
 * The server reads no configuration: the settings it runs with (port, TLS files, access list,
 * request log, password) come from the provider that the application registers, asked for at the
 * moment of use, and a port fall-back is handed back to it.
 *
 * Every callback runs on the library's one internal polling thread. Start and stop run on the main
 * thread or a timer thread, under the server-lifecycle mutex, never with the web mutex or the
 * configuration lock held across the library's start or stop (the stop joins the polling thread,
 * which may be waiting for either of them); the provider takes the configuration lock only for the
 * moment of its copy. */
#include "ruxo_cgi_internal.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include <gnutls/gnutls.h>

#include "ruxo.h"
#include "ruxo_text_core.h"

std::mutex g_cgi_mutex;

/* The application's router, restart hook and settings provider: registered on the main thread
 * before the server starts, read on the web thread. */
static std::atomic<RUXO_CGI_ROUTER> s_fnRoute(nullptr);
static std::atomic<RUXO_CGI_CALLBACK> s_fnCallback(nullptr);
static std::atomic<const RUXO_CGI_PROVIDER*> s_pProvider(nullptr);

unsigned int g_nCGIIdleTimeout = 60;

#define RUXO_CGI_DEFAULT_PORT 8888

#define RUXO_CGI_LOG_PATH_MAX 1000       /* longer paths are cut in the request log */
#define RUXO_CGI_LOG_ROTATE_SIZE 5000000 /* the request log is rotated above this size */

static MHD_Daemon* g_mhd = nullptr;
static std::mutex s_mtxLifecycle; /* serialises start and stop; never taken on the web thread */
/* Whether the running server uses TLS, and the port of the last server that ran (0: none yet). */
static std::atomic<bool> s_bTls(false);
static int s_nLastPort = 0;
/* Set by a stop before it waits for the web thread, cleared by a start (ruxoCGIStopping). */
static std::atomic<bool> s_bStopping(false);

/* One request on its way through the handler's calls; its request slot (con_cls) points to it
 * from the first call until the library reports the request's end. */
struct CGI_REQUEST {
    bool bPost = false;
    bool bLogin = false;     /* a login form of a client that has not passed the gate */
    bool bHoldsBody = false; /* counted in the body limits */
    bool bOverflow = false;  /* the body outgrew its limit: answered 413, never routed */
    bool bAnswered = false;  /* answered at the first call: nothing more is done with it */
    uint32_t ulClient = 0;   /* the client's IPv4 address, host byte order */
    size_t cchMax = 0;       /* the body's limit */
    std::string strBody;
};

/* ---- the provider's settings ----------------------------------------------------------------- */

/* Each asks the registered provider; without one (or without its member) the server has no
 * settings. */
static BOOL cgiAccessList(std::string* pstrAcl)
{
    const RUXO_CGI_PROVIDER* pProvider = s_pProvider.load();
    pstrAcl->clear();
    return pProvider != nullptr && pProvider->fnAccessList != nullptr ? pProvider->fnAccessList(pstrAcl) : FALSE;
}

static int cgiRequestLog(std::string* pstrStem)
{
    const RUXO_CGI_PROVIDER* pProvider = s_pProvider.load();
    pstrStem->clear();
    return pProvider != nullptr && pProvider->fnRequestLog != nullptr ? pProvider->fnRequestLog(pstrStem) : 0;
}

static std::string cgiLoginPass(void)
{
    const RUXO_CGI_PROVIDER* pProvider = s_pProvider.load();
    return pProvider != nullptr && pProvider->fnLoginPass != nullptr ? pProvider->fnLoginPass() : std::string();
}

static void cgiListen(RUXO_CGI_LISTEN* pListen)
{
    const RUXO_CGI_PROVIDER* pProvider = s_pProvider.load();
    pListen->nPort = 0;
    pListen->bTls = FALSE;
    pListen->strfnCert.clear();
    pListen->strfnKey.clear();
    if (pProvider != nullptr && pProvider->fnListen != nullptr)
        pProvider->fnListen(pListen);
}

static void cgiKeepPort(int nPort)
{
    const RUXO_CGI_PROVIDER* pProvider = s_pProvider.load();
    if (pProvider != nullptr && pProvider->fnKeepPort != nullptr)
        pProvider->fnKeepPort(nPort);
}

/* ---- small pieces ---------------------------------------------------------------------------- */

/* Gives back the request's body slot and its memory. */
static void cgiDropBody(CGI_REQUEST* pRequest)
{
    if (pRequest->bHoldsBody)
        cgiReleaseBody(pRequest->ulClient, !pRequest->bLogin);
    pRequest->bHoldsBody = false;
    std::string().swap(pRequest->strBody);
}

/* The value of a hexadecimal digit (either case), -1 for any other character. */
static int hexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

/* Appends the byte as "%XX" (upper-case digits). */
static void appendPercentByte(std::string& str, unsigned char c)
{
    static const char s_szHex[] = "0123456789ABCDEF";
    str += '%';
    str += s_szHex[c >> 4];
    str += s_szHex[c & 15];
}

std::string _urlDecode(const char* sz, size_t cch)
{
    std::string strOut;
    strOut.reserve(cch);
    for (size_t i = 0; i < cch; i++) {
        char c = sz[i];
        if (c == '%' && i + 2 < cch && hexValue(sz[i + 1]) >= 0 && hexValue(sz[i + 2]) >= 0) {
            strOut += (char)((hexValue(sz[i + 1]) << 4) | hexValue(sz[i + 2]));
            i += 2;
        } else if (c == '+') {
            strOut += ' ';
        } else {
            strOut += c;
        }
    }
    return strOut;
}

std::string cgiPercentEncode(const std::string& str)
{
    std::string strOut;
    strOut.reserve(str.size() * 3);
    for (unsigned char c : str) {
        if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
            c == '_' || c == '~') {
            strOut += (char)c;
        } else {
            appendPercentByte(strOut, c);
        }
    }
    return strOut;
}

std::string cgiLogEscape(const char* sz)
{
    std::string strOut;
    for (const unsigned char* p = (const unsigned char*)sz; *p; p++) {
        if (*p < 0x20 || *p == 0x7f)
            appendPercentByte(strOut, *p);
        else
            strOut += (char)*p;
    }
    return strOut;
}

std::string cgiLoginCookie(const std::string& strPass)
{
    return "auth=" + cgiPercentEncode(strPass) + "; SameSite=Strict; HttpOnly";
}

/* Equality of two secrets in time that depends on their lengths only. */
static bool cgiSecretEquals(const std::string& a, const std::string& b)
{
    size_t n = a.size() > b.size() ? a.size() : b.size();
    volatile unsigned int uDiff = (a.size() != b.size()) ? 1u : 0u;
    for (size_t i = 0; i < n; i++) {
        unsigned char ca = i < a.size() ? (unsigned char)a[i] : 0;
        unsigned char cb = i < b.size() ? (unsigned char)b[i] : 0;
        uDiff = uDiff | (unsigned int)(ca ^ cb);
    }
    return uDiff == 0;
}

/* ---- access list ----------------------------------------------------------------------------- */

/* A dotted address of exactly four parts that inet_aton accepts (nothing else in the text). */
static bool cgiParseDotted(const std::string& str, uint32_t* pulHost)
{
    int nDots = 0;
    for (char c : str) {
        if (c == '.')
            nDots++;
        else if (c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f')
            return false;
    }
    if (nDots != 3 || str.empty())
        return false;
    struct in_addr addr;
    if (inet_aton(str.c_str(), &addr) == 0)
        return false;
    *pulHost = ntohl(addr.s_addr);
    return true;
}

BOOL cgiAclNetMatches(const char* szNet, uint32_t ulHostAddr)
{
    const char* pSlash = strchr(szNet, '/');
    std::string strAddr = pSlash ? std::string(szNet, (size_t)(pSlash - szNet)) : std::string(szNet);
    if (ruxoStrCaseCmp(strAddr.c_str(), "all") == 0)
        return TRUE;

    uint32_t ulNet = 0;
    if (!cgiParseDotted(strAddr, &ulNet))
        return FALSE;
    if (!pSlash)
        return ulNet == ulHostAddr ? TRUE : FALSE;

    /* The prefix length: a decimal number as atoi reads it (no number reads 0); outside 0..32
     * nothing matches (strtol saturates, so a huge number stays outside too). */
    long nBits = strtol(pSlash + 1, nullptr, 10);
    if (nBits < 0 || nBits > 32)
        return FALSE;

    /* The block of the address's first nBits bits, from its first to its last address. */
    uint32_t ulMask = nBits == 0 ? 0u : (uint32_t)(0xFFFFFFFFu << (32 - nBits));
    return (ulHostAddr & ulMask) == (ulNet & ulMask) ? TRUE : FALSE;
}

BOOL cgiAclAllows(const char* szAcl, uint32_t ulHostAddr)
{
    std::string strAcl = szAcl ? szAcl : "";
    BOOL bAllow = TRUE;
    std::string strCommand;
    bool bHaveCommand = false;
    size_t i = 0;
    while (i < strAcl.size()) {
        while (i < strAcl.size() && (strAcl[i] == ' ' || strAcl[i] == '\r' || strAcl[i] == '\n'))
            i++;
        if (i >= strAcl.size())
            break;
        size_t j = i;
        while (j < strAcl.size() && strAcl[j] != ' ' && strAcl[j] != '\r' && strAcl[j] != '\n')
            j++;
        std::string strToken = strAcl.substr(i, j - i);
        i = j;
        if (!bHaveCommand) {
            strCommand = strToken;
            bHaveCommand = true;
            continue;
        }
        bHaveCommand = false;
        if (!cgiAclNetMatches(strToken.c_str(), ulHostAddr))
            continue;
        if (ruxoStrCaseCmp(strCommand.c_str(), "allow") == 0)
            bAllow = TRUE;
        else if (ruxoStrCaseCmp(strCommand.c_str(), "deny") == 0)
            bAllow = FALSE;
    }
    return bAllow;
}

static MHD_Result mhdAccessPolicyCallback(void* cls, const sockaddr* addr, socklen_t addrlen)
{
    (void)cls;
    /* The server listens on IPv4 only. */
    if (addr == nullptr || addr->sa_family != AF_INET || addrlen < (socklen_t)sizeof(sockaddr_in))
        return MHD_NO;
    uint32_t ulHost = ntohl(((const sockaddr_in*)addr)->sin_addr.s_addr);

    std::string strAcl;
    bool bTree = false;
    try {
        bTree = cgiAccessList(&strAcl) != FALSE;
    } catch (const std::bad_alloc&) {
        return MHD_NO; /* out of memory: no list to check against */
    }
    /* Without settings (no configuration tree) the password and access list are unknown: only
     * this host gets in, to post a configuration. */
    if (!bTree)
        return (ulHost >> 24) == 127 ? MHD_YES : MHD_NO;
    return cgiAclAllows(strAcl.c_str(), ulHost) ? MHD_YES : MHD_NO;
}

/* ---- request log ----------------------------------------------------------------------------- */

static void cgiWriteRequestLog(MHD_Connection* conn, const char* szMethod, const char* szPath)
{
    if (ruxoStrCaseCmp(szPath, "/status") == 0)
        return;

    std::string strStem;
    const int nLog = cgiRequestLog(&strStem);
    if (nLog == 0 || strStem.empty())
        return;
    const std::string strfnLog = strStem + ".log";

    const MHD_ConnectionInfo* pInfo = MHD_get_connection_info(conn, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
    if (pInfo == nullptr || pInfo->client_addr == nullptr || pInfo->client_addr->sa_family != AF_INET)
        return;
    const sockaddr_in* pAddr = (const sockaddr_in*)pInfo->client_addr;
    char szAddr[INET_ADDRSTRLEN] = "";
    if (inet_ntop(AF_INET, &pAddr->sin_addr, szAddr, sizeof(szAddr)) == nullptr)
        return;

    char szTime[64] = "";
    time_t tmNow = time(nullptr);
    struct tm tmLocal;
    if (localtime_r(&tmNow, &tmLocal) != nullptr)
        strftime(szTime, sizeof(szTime), "%Y/%m/%d %H:%M:%S", &tmLocal);

    std::string strLine = "[";
    strLine += szTime;
    strLine += "] ";
    strLine += cgiLogEscape(szMethod);
    strLine += ' ';
    if (strlen(szPath) > RUXO_CGI_LOG_PATH_MAX) {
        strLine += cgiLogEscape(std::string(szPath, RUXO_CGI_LOG_PATH_MAX).c_str());
        strLine += "...";
    } else {
        strLine += cgiLogEscape(szPath);
    }
    strLine += " from ";
    strLine += szAddr;
    strLine += ':';
    strLine += std::to_string(ntohs(pAddr->sin_port));
    strLine += '\n';

    /* Rotated like the channel logs, so that requests cannot fill the disk. Only this thread
     * writes the request log. */
    struct stat st;
    if (stat(strfnLog.c_str(), &st) == 0 && st.st_size > RUXO_CGI_LOG_ROTATE_SIZE)
        ruxoRotateLogFiles(strStem.c_str(), ".log");
    /* Only a regular file is written, opened without blocking: a named pipe at the path must not
     * hold the web thread. */
    int fd = open(strfnLog.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NONBLOCK | O_CLOEXEC, 0644);
    if (fd < 0)
        return;
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
        writeAll(fd, strLine.data(), strLine.size()); /* a file that would block keeps no line */
    }
    close(fd);
}

/* ---- replies --------------------------------------------------------------------------------- */

int cgiReply(MHD_Connection* conn, unsigned int nStatus, const std::string& strBody, const char* szContentType,
             const CGI_HEADERS& headers)
{
    MHD_Response* pResponse = MHD_create_response_from_buffer(strBody.size(), (void*)strBody.data(),
                                                              MHD_RESPMEM_MUST_COPY);
    if (pResponse == nullptr)
        return 0;
    return cgiQueueReply(conn, nStatus, pResponse, szContentType, headers);
}

int cgiQueueReply(MHD_Connection* conn, unsigned int nStatus, MHD_Response* pResponse, const char* szContentType,
                  const CGI_HEADERS& headers)
{
    for (const auto& header : headers) {
        if (ruxoStrCaseCmp(header.first.c_str(), "Connection") == 0) {
            MHD_set_response_options(pResponse, MHD_RF_SEND_KEEP_ALIVE_HEADER, MHD_RO_END);
            MHD_add_response_header(pResponse, header.first.c_str(), header.second.c_str());
            continue;
        }
        MHD_Result ok = MHD_add_response_header(pResponse, header.first.c_str(), header.second.c_str());
        if (ok != MHD_YES && (ruxoStrCaseCmp(header.first.c_str(), "Set-Cookie") == 0 ||
                              ruxoStrCaseCmp(header.first.c_str(), "Location") == 0 ||
                              ruxoStrCaseCmp(header.first.c_str(), "Content-Disposition") == 0)) {
            MHD_destroy_response(pResponse);
            return 0;
        }
    }
    if (szContentType != nullptr)
        MHD_add_response_header(pResponse, "Content-Type", szContentType);
    MHD_Result ok = MHD_queue_response(conn, nStatus, pResponse);
    MHD_destroy_response(pResponse);
    return ok == MHD_YES ? 1 : 0;
}

/* ---- login gate and router ------------------------------------------------------------------- */

/* The library's callbacks are called from C: no exception may leave them. Out of memory, an
 * iteration stops (the text or list is then short, which reads as no match). */
static MHD_Result mhdKeyValueIterator(void* cls, MHD_ValueKind kind, const char* key, const char* value)
{
    (void)kind;
    std::string* pstrText = (std::string*)cls;
    try {
        if (!pstrText->empty())
            *pstrText += '&';
        if (key != nullptr)
            *pstrText += key;
        if (value != nullptr) {
            *pstrText += '=';
            *pstrText += value;
        }
    } catch (const std::bad_alloc&) {
        return MHD_NO;
    }
    return MHD_YES;
}

/* Collects the values of every cookie named exactly "auth". */
static MHD_Result mhdAuthCookieIterator(void* cls, MHD_ValueKind kind, const char* key, const char* value)
{
    (void)kind;
    try {
        if (key != nullptr && strcmp(key, "auth") == 0)
            ((std::vector<std::string>*)cls)->push_back(value != nullptr ? value : "");
    } catch (const std::bad_alloc&) {
        return MHD_NO;
    }
    return MHD_YES;
}

int ruxoCGIAuth(const std::vector<std::string>& authCookies, const std::string& strPass)
{
    /* Another application on the same host may set an "auth" cookie of its own: any one that
     * holds the password admits. Without an "auth" cookie nothing equals a password. */
    bool bMatch = false;
    for (const std::string& strCookie : authCookies) {
        if (cgiSecretEquals(_urlDecode(strCookie.data(), strCookie.size()), strPass))
            bMatch = true;
    }
    return bMatch ? 1 : 0;
}

/* What the login gate does with a request: let it pass, take it to the login path, or show the
 * login page. */
enum CGI_GATE { CGI_GATE_PASS, CGI_GATE_LOGIN, CGI_GATE_PAGE };

static CGI_GATE cgiGate(MHD_Connection* conn, const char* szPath)
{
    const std::string strPass = cgiLoginPass();
    if (strPass.empty())
        return CGI_GATE_PASS;
    std::vector<std::string> authCookies;
    MHD_get_connection_values(conn, MHD_COOKIE_KIND, mhdAuthCookieIterator, &authCookies);
    if (ruxoCGIAuth(authCookies, strPass))
        return CGI_GATE_PASS;
    return ruxoStartsNoCase(szPath, "/logi") ? CGI_GATE_LOGIN : CGI_GATE_PAGE;
}

/* The login path: sets the cookie from the body's first field when it is "auth", and sends the
 * browser back to "/" where the gate meets the new cookie. */
static int ruxoCGILogin(char* szPost, MHD_Connection* conn)
{
    CGI_HEADERS headers;
    headers.emplace_back("Location", "/");
    if (szPost != nullptr && szPost[0] != '\0') {
        const char* p = szPost;
        while (*p == '&')
            p++;
        const char* pEnd = strchr(p, '&');
        size_t cchField = pEnd ? (size_t)(pEnd - p) : strlen(p);
        if (cchField >= 5 && strncmp(p, "auth=", 5) == 0) {
            /* The field is form-encoded; the cookie carries the password percent-encoded. */
            std::string strPass = _urlDecode(p + 5, cchField - 5);
            headers.emplace_back("Set-Cookie", cgiLoginCookie(strPass));
        }
    }
    return cgiReply(conn, MHD_HTTP_MOVED_PERMANENTLY, std::string(), nullptr, headers);
}

static int ruxoCGILoginPage(MHD_Connection* conn)
{
    std::string strPage = "<html>\n<head>\n<title>";
    strPage += ruxoAppTitle();
    strPage += "</title>\n</head>\n";
    strPage += "<body>\n<div style=\"width: 100%; position: absolute; top: 30%; text-align: center\">\n";
    strPage += "<h2>" RUXO_APP_ABBR " Login Authentication</h2>\n";
    strPage +=
        "<form action=\"login\" method=\"post\">\n <input type=\"password\" name=\"auth\" required>\n"
        " <input type=\"submit\" value=\"Login\">\n</form></div>\n</body>\n</html>";
    CGI_HEADERS headers;
    headers.emplace_back("Connection", "Keep-Alive");
    return cgiReply(conn, MHD_HTTP_OK, strPage, "text/html", headers);
}

int ruxoCGI(MHD_Connection* conn, const char* szPath, char* szPost, size_t cchPost)
{
    switch (cgiGate(conn, szPath)) {
    case CGI_GATE_LOGIN:
        return ruxoCGILogin(szPost, conn);
    case CGI_GATE_PAGE:
        return ruxoCGILoginPage(conn);
    case CGI_GATE_PASS:
        break;
    }
    RUXO_CGI_ROUTER fnRoute = s_fnRoute.load();
    if (fnRoute == nullptr)
        return 0;
    std::string strArgs;
    MHD_get_connection_values(conn, MHD_GET_ARGUMENT_KIND, mhdKeyValueIterator, &strArgs);
    return fnRoute(conn, szPath, strArgs.c_str(), szPost, cchPost);
}

void ruxoCGISetRouter(RUXO_CGI_ROUTER fnRoute)
{
    s_fnRoute.store(fnRoute);
}

void ruxoCGISetCallback(RUXO_CGI_CALLBACK fnCallback)
{
    s_fnCallback.store(fnCallback);
}

void ruxoCGISetProvider(const RUXO_CGI_PROVIDER* pProvider)
{
    s_pProvider.store(pProvider);
}

void ruxoCGICallback(BOOL bRestartCGI)
{
    RUXO_CGI_CALLBACK fnCallback = s_fnCallback.load();
    if (fnCallback != nullptr)
        fnCallback(bRestartCGI);
}

/* ---- request road ---------------------------------------------------------------------------- */

/* The parameters of a header value such as "form-data; name=\"file\"; filename=\"a.json\"": the
 * pieces after the first ';', each "name=value" with the value as a token or a quoted text (a
 * reverse solidus in it quotes the next character). Names come back in lower case. */
static std::vector<std::pair<std::string, std::string>> cgiHeaderParams(const char* p, const char* pEnd)
{
    std::vector<std::pair<std::string, std::string>> params;
    const char* pSemi = (const char*)memchr(p, ';', (size_t)(pEnd - p));
    p = pSemi ? pSemi + 1 : pEnd;
    while (p < pEnd) {
        while (p < pEnd && (*p == ' ' || *p == '\t' || *p == ';'))
            p++;
        std::string strName;
        while (p < pEnd && *p != '=' && *p != ';' && *p != ' ' && *p != '\t') {
            strName += (char)ruxoAsciiLower((unsigned char)*p++);
        }
        while (p < pEnd && (*p == ' ' || *p == '\t'))
            p++;
        std::string strValue;
        if (p < pEnd && *p == '=') {
            p++;
            while (p < pEnd && (*p == ' ' || *p == '\t'))
                p++;
            if (p < pEnd && *p == '"') {
                for (p++; p < pEnd && *p != '"'; p++) {
                    if (*p == '\\' && p + 1 < pEnd)
                        p++;
                    strValue += *p;
                }
                if (p < pEnd)
                    p++;
            } else {
                while (p < pEnd && *p != ';')
                    strValue += *p++;
                while (!strValue.empty() && (strValue.back() == ' ' || strValue.back() == '\t'))
                    strValue.pop_back();
            }
        }
        while (p < pEnd && *p != ';')
            p++;
        if (!strName.empty())
            params.emplace_back(strName, strValue);
    }
    return params;
}

/* The value of one parameter; false when the header has none of that name. */
static bool cgiHeaderParam(const char* p, const char* pEnd, const char* szName, std::string* pstrValue)
{
    for (const auto& param : cgiHeaderParams(p, pEnd)) {
        if (param.first == szName) {
            *pstrValue = param.second;
            return true;
        }
    }
    return false;
}

/* The value of the part header szName (matched ignoring case) within the part's header lines. */
static bool cgiPartHeader(const char* p, const char* pEnd, const char* szName, const char** ppValue,
                          const char** ppValueEnd)
{
    const size_t cchName = strlen(szName);
    while (p < pEnd) {
        const char* pLineEnd = (const char*)memmem(p, (size_t)(pEnd - p), "\r\n", 2);
        if (pLineEnd == nullptr)
            pLineEnd = pEnd;
        if ((size_t)(pLineEnd - p) > cchName && p[cchName] == ':' &&
            ruxoStartsNoCase(std::string(p, cchName), szName)) {
            *ppValue = p + cchName + 1;
            *ppValueEnd = pLineEnd;
            return true;
        }
        p = pLineEnd + 2;
    }
    return false;
}

char* cgiMultipartCut(char* szBody, size_t* pcchBody, const char* szContentType, std::string* pstrReason)
{
    if (szContentType == nullptr || !ruxoStartsNoCase(szContentType, "multipart/form-data"))
        return szBody;
    std::string strBoundary;
    const char* pTypeEnd = szContentType + strlen(szContentType);
    if (!cgiHeaderParam(szContentType, pTypeEnd, "boundary", &strBoundary) || strBoundary.empty() ||
        strBoundary.size() > 200) {
        *pstrReason = "the form names no boundary";
        return nullptr;
    }
    const std::string strDelim = "--" + strBoundary;
    const std::string strNextDelim = "\r\n" + strDelim;
    const char* const pEnd = szBody + *pcchBody;

    /* The first delimiter: at the very start, or on a line of its own after a preamble. */
    const char* p = nullptr;
    if (*pcchBody >= strDelim.size() && memcmp(szBody, strDelim.data(), strDelim.size()) == 0) {
        p = szBody;
    } else {
        p = (const char*)memmem(szBody, *pcchBody, strNextDelim.data(), strNextDelim.size());
        if (p != nullptr)
            p += 2;
    }
    if (p == nullptr) {
        *pstrReason = "the body holds no part bounded by the form's boundary";
        return nullptr;
    }

    const char* pFile = nullptr; /* the chosen part's content */
    size_t cchFile = 0;
    bool bNamedFile = false; /* the part named "file" was chosen */
    for (;;) {
        p += strDelim.size();
        if (pEnd - p >= 2 && p[0] == '-' && p[1] == '-')
            break; /* the closing delimiter: what follows it is no part */
        while (p < pEnd && (*p == ' ' || *p == '\t'))
            p++;
        if (pEnd - p < 2 || p[0] != '\r' || p[1] != '\n') {
            *pstrReason = "a part does not end at the form's boundary";
            return nullptr;
        }
        /* The part's header lines end at an empty line (right away for a part without any). */
        const char* pHeadEnd = (const char*)memmem(p, (size_t)(pEnd - p), "\r\n\r\n", 4);
        if (pHeadEnd == nullptr) {
            *pstrReason = "a part of the form has no end to its header";
            return nullptr;
        }
        const char* pContent = pHeadEnd + 4;
        const char* pNext = (const char*)memmem(pContent, (size_t)(pEnd - pContent), strNextDelim.data(),
                                                strNextDelim.size());
        if (pNext == nullptr) {
            *pstrReason = "a part does not end at the form's boundary";
            return nullptr;
        }
        const char *pValue = nullptr, *pValueEnd = nullptr;
        std::string strName, strFilename;
        bool bName = false, bFilename = false;
        if (cgiPartHeader(p + 2, pHeadEnd, "Content-Disposition", &pValue, &pValueEnd)) {
            bName = cgiHeaderParam(pValue, pValueEnd, "name", &strName);
            bFilename = cgiHeaderParam(pValue, pValueEnd, "filename", &strFilename);
        }
        const bool bThisNamed = bName && strName == RUXO_CGI_FORM_FILE_FIELD;
        if ((bThisNamed && !bNamedFile) || (pFile == nullptr && bFilename)) {
            pFile = pContent;
            cchFile = (size_t)(pNext - pContent);
            bNamedFile = bThisNamed;
        }
        p = pNext + 2;
    }
    if (pFile == nullptr) {
        *pstrReason = "the form holds no file";
        return nullptr;
    }
    char* pOut = szBody + (pFile - szBody);
    pOut[cchFile] = '\0';
    *pcchBody = cchFile;
    return pOut;
}

bool cgiOtherSite(const char* szFetchSite, const char* szOrigin, const char* szHost, bool bTls)
{
    if (szFetchSite != nullptr)
        return ruxoStrCaseCmp(szFetchSite, "same-origin") != 0 && ruxoStrCaseCmp(szFetchSite, "none") != 0;
    if (szOrigin == nullptr)
        return false; /* neither header: a script or a typed address, judged as any request */
    const std::string strOwn = std::string(bTls ? "https://" : "http://") + (szHost != nullptr ? szHost : "");
    return szHost == nullptr || ruxoStrCaseCmp(szOrigin, strOwn.c_str()) != 0;
}

bool cgiFromOtherSite(MHD_Connection* conn)
{
    return cgiOtherSite(MHD_lookup_connection_value(conn, MHD_HEADER_KIND, "Sec-Fetch-Site"),
                        MHD_lookup_connection_value(conn, MHD_HEADER_KIND, "Origin"),
                        MHD_lookup_connection_value(conn, MHD_HEADER_KIND, "Host"), ruxoCGIUsesTls() != 0);
}

int cgiRefuseOtherSite(MHD_Connection* conn)
{
    return cgiReply(conn, MHD_HTTP_FORBIDDEN, "request from another site refused", "text/plain; charset=utf-8");
}

uint32_t cgiClientAddress(MHD_Connection* conn)
{
    const MHD_ConnectionInfo* pInfo = MHD_get_connection_info(conn, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
    if (pInfo == nullptr || pInfo->client_addr == nullptr || pInfo->client_addr->sa_family != AF_INET)
        return 0;
    return ntohl(((const sockaddr_in*)pInfo->client_addr)->sin_addr.s_addr);
}

/* Whether the request announces a body longer than cchMax. */
static bool cgiAnnouncesMore(MHD_Connection* conn, size_t cchMax)
{
    const char* szLength = MHD_lookup_connection_value(conn, MHD_HEADER_KIND, MHD_HTTP_HEADER_CONTENT_LENGTH);
    if (szLength == nullptr)
        return false;
    unsigned long long cch = 0;
    for (const char* p = szLength; *p >= '0' && *p <= '9'; p++) {
        cch = cch * 10 + (unsigned long long)(*p - '0');
        if (cch > cchMax)
            return true;
    }
    return false;
}

static int cgiRefuse(MHD_Connection* conn, unsigned int nStatus, const char* szText)
{
    return cgiReply(conn, nStatus, szText, "text/plain; charset=utf-8");
}

/* The first call of a POST: a post that another site's page makes through the browser is refused;
 * the gate answers a client without the password at once, before any body is collected (only the
 * login form's small body is); a body that is announced too long, or one over the limits of what a
 * client may hold, is refused. Otherwise the body is collected. */
static MHD_Result cgiBeginPost(MHD_Connection* conn, const char* szPath, CGI_REQUEST* pRequest)
{
    pRequest->bPost = true;
    pRequest->ulClient = cgiClientAddress(conn);
    CGI_GATE gate = cgiGate(conn, szPath);
    pRequest->bLogin = gate == CGI_GATE_LOGIN;
    pRequest->cchMax = pRequest->bLogin ? RUXO_CGI_LOGIN_BODY_MAX : RUXO_CGI_POST_MAX - 1;
    int nAnswered = -1; /* -1: not answered; else whether the reply was queued */
    if (cgiFromOtherSite(conn))
        nAnswered = cgiRefuseOtherSite(conn); /* a page of another site posting through the browser */
    else if (gate == CGI_GATE_PAGE)
        nAnswered = ruxoCGILoginPage(conn);
    else if (cgiAnnouncesMore(conn, pRequest->cchMax))
        nAnswered = cgiRefuse(conn, MHD_HTTP_CONTENT_TOO_LARGE, "request body too large\n");
    else if (!cgiTakeBody(pRequest->ulClient, !pRequest->bLogin))
        nAnswered = cgiRefuse(conn, MHD_HTTP_SERVICE_UNAVAILABLE, "too many uploads at once\n");
    if (nAnswered < 0) {
        pRequest->bHoldsBody = true;
        return MHD_YES;
    }
    /* The library sends the reply and closes the connection without reading the body. */
    pRequest->bAnswered = true;
    cgiConnRequestArrived(conn);
    return nAnswered ? MHD_YES : MHD_NO;
}

/* The last call of a POST: the whole body has arrived. */
static MHD_Result cgiEndPost(MHD_Connection* conn, const char* szPath, CGI_REQUEST* pRequest)
{
    cgiConnRequestArrived(conn);
    if (pRequest->bOverflow) {
        cgiDropBody(pRequest);
        return cgiRefuse(conn, MHD_HTTP_CONTENT_TOO_LARGE, "request body too large\n") ? MHD_YES : MHD_NO;
    }
    const char* szContentType = MHD_lookup_connection_value(conn, MHD_HEADER_KIND, "Content-Type");
    size_t cchBody = pRequest->strBody.size();
    std::string strReason;
    char* szBody = cgiMultipartCut(&pRequest->strBody[0], &cchBody, szContentType, &strReason);
    if (szBody == nullptr) {
        cgiDropBody(pRequest);
        return cgiRefuse(conn, MHD_HTTP_BAD_REQUEST, strReason.c_str()) ? MHD_YES : MHD_NO;
    }
    int nResult = ruxoCGI(conn, szPath, szBody, cchBody);
    cgiDropBody(pRequest);
    return nResult ? MHD_YES : MHD_NO;
}

static MHD_Result cgiHandleRequest(MHD_Connection* connection, const char* url, const char* method,
                                   const char* upload_data, size_t* upload_data_size, void** con_cls)
{
    bool bGet = ruxoStrCaseCmp(method, "GET") == 0;
    if (!bGet && ruxoStrCaseCmp(method, "POST") != 0)
        return MHD_NO; /* HEAD, PUT and every other method: no reply, the connection is closed */

    CGI_REQUEST* pRequest = (CGI_REQUEST*)*con_cls;
    if (pRequest == nullptr) {
        pRequest = new CGI_REQUEST;
        *con_cls = pRequest;
        if (bGet)
            return MHD_YES; /* its deadline holds until the last byte of a body it may carry */
        return cgiBeginPost(connection, url, pRequest);
    }
    if (pRequest->bAnswered) {
        *upload_data_size = 0;
        return MHD_YES;
    }

    if (*upload_data_size > 0) {
        /* A GET's body is read and dropped. Once a POST's body outgrows its limit, the rest is
         * dropped as well and the request is answered 413 when it ends. */
        if (pRequest->bPost && !pRequest->bOverflow) {
            if (*upload_data_size > pRequest->cchMax - pRequest->strBody.size()) {
                pRequest->bOverflow = true;
                std::string().swap(pRequest->strBody);
            } else {
                pRequest->strBody.append(upload_data, *upload_data_size);
            }
        }
        *upload_data_size = 0;
        return MHD_YES;
    }
    if (bGet) {
        cgiConnRequestArrived(connection);
        return ruxoCGI(connection, url, nullptr, 0) ? MHD_YES : MHD_NO;
    }
    return cgiEndPost(connection, url, pRequest);
}

static MHD_Result mhdAccessHandlerCallback(void* cls, MHD_Connection* connection, const char* url, const char* method,
                                           const char* version, const char* upload_data, size_t* upload_data_size,
                                           void** con_cls)
{
    (void)cls;
    (void)version;
    /* Out of memory: the locks are scoped, so closing the connection is all there is to do. */
    try {
        cgiWriteRequestLog(connection, method, url);
        return cgiHandleRequest(connection, url, method, upload_data, upload_data_size, con_cls);
    } catch (const std::bad_alloc&) {
        return MHD_NO;
    }
}

/* Called when a request ends, also without its final call (an aborted upload, a time-out, the
 * server's stop): frees what the request held, and starts the wait for the next request. */
static void mhdRequestCompleted(void* cls, MHD_Connection* connection, void** con_cls, MHD_RequestTerminationCode toe)
{
    (void)cls;
    (void)toe;
    if (con_cls != nullptr && *con_cls != nullptr) {
        CGI_REQUEST* pRequest = (CGI_REQUEST*)*con_cls;
        cgiDropBody(pRequest);
        delete pRequest;
        *con_cls = nullptr;
    }
    cgiConnAwaitRequest(connection);
}

/* ---- start and stop -------------------------------------------------------------------------- */

/* Largest certificate or key file read; anything bigger is no PEM file worth loading. */
#define RUXO_CGI_PEM_MAX (16 * 1024 * 1024)

std::string cgiReadFile(const std::string& strfn, size_t cbMax, std::string* pstrReason)
{
    std::string strText, strReason;
    /* Non-blocking so that a named pipe cannot hold the caller; it changes nothing for a file. */
    int fd = strfn.empty() ? -1 : open(strfn.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    struct stat st;
    if (strfn.empty())
        strReason = "no file named";
    else if (fd < 0)
        strReason = "cannot open " + strfn + ": " + strerror(errno);
    else if (fstat(fd, &st) != 0)
        strReason = "cannot read " + strfn + ": " + strerror(errno);
    else if (!S_ISREG(st.st_mode))
        strReason = strfn + " is not a regular file";
    else if (st.st_size <= 0)
        strReason = strfn + " is empty";
    else if ((uintmax_t)st.st_size > cbMax)
        strReason = strfn + " is too large";
    else
        strText.resize((size_t)st.st_size);
    size_t cbRead = 0;
    while (cbRead < strText.size()) {
        ssize_t n = read(fd, &strText[cbRead], strText.size() - cbRead);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            strReason = "cannot read " + strfn + ": " + strerror(errno);
        if (n <= 0)
            break;
        cbRead += (size_t)n;
    }
    if (fd >= 0)
        close(fd);
    strText.resize(strReason.empty() ? cbRead : 0);
    if (strText.empty() && strReason.empty())
        strReason = strfn + " is empty";
    if (pstrReason != nullptr)
        *pstrReason = strReason;
    return strText;
}

/* Why the TLS library refuses a certificate and key (PEM texts), as the server's start hands them
 * to it; "" when it takes them. */
static std::string cgiTlsRefusal(const std::string& strCert, const std::string& strKey)
{
    gnutls_certificate_credentials_t cred;
    int nResult = gnutls_certificate_allocate_credentials(&cred);
    if (nResult < 0)
        return gnutls_strerror(nResult);
    gnutls_datum_t datumCert = {(unsigned char*)strCert.data(), (unsigned int)strCert.size()};
    gnutls_datum_t datumKey = {(unsigned char*)strKey.data(), (unsigned int)strKey.size()};
    nResult = gnutls_certificate_set_x509_key_mem(cred, &datumCert, &datumKey, GNUTLS_X509_FMT_PEM);
    gnutls_certificate_free_credentials(cred);
    return nResult < 0 ? gnutls_strerror(nResult) : "";
}

static void cgiWipe(std::string& str)
{
    if (!str.empty()) {
        volatile char* p = &str[0];
        for (size_t i = 0; i < str.size(); i++)
            p[i] = 0;
    }
    str.clear();
}

std::string cgiTlsFilesProblem(const std::string& strfnCert, const std::string& strfnKey)
{
    std::string strCert, strKey, strReason, strProblem;
    if (strfnCert.empty()) {
        strProblem = "cannot use the certificate: \"sslCert\" is empty";
    } else if (strfnKey.empty()) {
        strProblem = "cannot use the key: \"sslKey\" is empty";
    } else if ((strCert = cgiReadFile(strfnCert, RUXO_CGI_PEM_MAX, &strReason)).empty()) {
        strProblem = "cannot use the certificate " + strfnCert + ": " + strReason;
    } else if ((strKey = cgiReadFile(strfnKey, RUXO_CGI_PEM_MAX, &strReason)).empty()) {
        strProblem = "cannot use the key " + strfnKey + ": " + strReason;
    } else if (!(strReason = cgiTlsRefusal(strCert, strKey)).empty()) {
        strProblem = "cannot use the certificate " + strfnCert + ": " + strReason;
    }
    cgiWipe(strKey);
    cgiWipe(strCert);
    return strProblem;
}

/* The port the settings ask for: the configured one's low 16 bits (as the library takes them),
 * 8888 for 0 and without settings. */
static int cgiConfiguredPort(int nConfigured)
{
    /* A value whose low bits are 0 would make the library pick a random port: the default too. */
    int nValue = nConfigured & 0xFFFF;
    return nValue != 0 ? nValue : RUXO_CGI_DEFAULT_PORT;
}

/* The server's overall connection limit: the descriptor limit minus the channels' share, so that
 * connections never starve the transcoders' pipes and logs. */
static unsigned int cgiConnectionLimit(void)
{
    struct rlimit rl;
    if (getrlimit(RLIMIT_NOFILE, &rl) != 0) {
        printf("Web management: getrlimit(RLIMIT_NOFILE) failed: %s\n", strerror(errno));
        return 64;
    }
    rlim_t nFiles = rl.rlim_cur == RLIM_INFINITY ? (rlim_t)1 << 20 : rl.rlim_cur;
    if (nFiles > (rlim_t)1 << 20)
        nFiles = (rlim_t)1 << 20;
    return nFiles > RUXO_CGI_FDS_RESERVED + 64 ? (unsigned int)(nFiles - RUXO_CGI_FDS_RESERVED) : 64;
}

/* Starts the library's server; null when it refuses. With a certificate and key, HTTPS. */
static MHD_Daemon* cgiStartDaemon(int nPort, const std::string* pstrCert, const std::string* pstrKey)
{
    /* poll, never select, which cannot watch descriptors from 1024 on. Not epoll either: this
     * library's epoll loop now and then builds a reply's headers without the reply and crashes
     * (seen under load after a restart into HTTPS); its poll loop does not. */
    const unsigned int nFlags = MHD_USE_POLL_INTERNAL_THREAD;
    unsigned int nTimeout = g_nCGIIdleTimeout;
    unsigned int nConnections = cgiConnectionLimit();
    unsigned int nPerClient = RUXO_CGI_CONNECTIONS_PER_CLIENT;
    if (pstrCert != nullptr && pstrKey != nullptr) {
        return MHD_start_daemon(nFlags | MHD_USE_TLS, (uint16_t)nPort, mhdAccessPolicyCallback, nullptr,
                                mhdAccessHandlerCallback, nullptr, MHD_OPTION_HTTPS_MEM_KEY, pstrKey->c_str(),
                                MHD_OPTION_HTTPS_MEM_CERT, pstrCert->c_str(), MHD_OPTION_CONNECTION_TIMEOUT, nTimeout,
                                MHD_OPTION_NOTIFY_COMPLETED, mhdRequestCompleted, nullptr, MHD_OPTION_NOTIFY_CONNECTION,
                                cgiConnNotify, nullptr, MHD_OPTION_CONNECTION_LIMIT, nConnections,
                                MHD_OPTION_PER_IP_CONNECTION_LIMIT, nPerClient, MHD_OPTION_END);
    }
    return MHD_start_daemon(nFlags, (uint16_t)nPort, mhdAccessPolicyCallback, nullptr, mhdAccessHandlerCallback,
                            nullptr, MHD_OPTION_CONNECTION_TIMEOUT, nTimeout, MHD_OPTION_NOTIFY_COMPLETED,
                            mhdRequestCompleted, nullptr, MHD_OPTION_NOTIFY_CONNECTION, cgiConnNotify, nullptr,
                            MHD_OPTION_CONNECTION_LIMIT, nConnections, MHD_OPTION_PER_IP_CONNECTION_LIMIT, nPerClient,
                            MHD_OPTION_END);
}

int ruxoStartCGI(void)
{
    /* A client that hangs up while its reply is written must not end the process. */
    signal(SIGPIPE, SIG_IGN);

    std::lock_guard<std::mutex> lifecycle(s_mtxLifecycle);
    if (g_mhd != nullptr)
        return 1;
    s_bStopping = false;

    RUXO_CGI_LISTEN listen;
    cgiListen(&listen);
    const int nPort = cgiConfiguredPort(listen.nPort);
    const bool bSsl = listen.bTls != FALSE;
    const std::string strfnCert = bSsl ? listen.strfnCert : std::string();
    const std::string strfnKey = bSsl ? listen.strfnKey : std::string();

    MHD_Daemon* pDaemon = nullptr;
    std::string strNoTls; /* why "sslEnable" asked for HTTPS and the server runs without it */
    if (bSsl) {
        std::string strCert, strKey;
        if (strfnCert.empty())
            strNoTls = "no certificate file is set (\"sslCert\" is empty)";
        else if (strfnKey.empty())
            strNoTls = "no key file is set (\"sslKey\" is empty)";
        else
            strCert = cgiReadFile(strfnCert, RUXO_CGI_PEM_MAX, &strNoTls);
        if (!strCert.empty())
            strKey = cgiReadFile(strfnKey, RUXO_CGI_PEM_MAX, &strNoTls);
        if (strNoTls.empty()) {
            s_bTls = true; /* before the first request can ask */
            pDaemon = cgiStartDaemon(nPort, &strCert, &strKey);
            if (pDaemon == nullptr) {
                std::string strRefusal = cgiTlsRefusal(strCert, strKey);
                strNoTls = "the certificate " + strfnCert + " and key " + strfnKey +
                           " were refused: " + (strRefusal.empty() ? "the TLS library refused them" : strRefusal);
            }
        }
        cgiWipe(strKey);
        cgiWipe(strCert);
    }

    if (pDaemon == nullptr) {
        s_bTls = false;
        pDaemon = cgiStartDaemon(nPort, nullptr, nullptr);
        /* "sslEnable" stays as the configuration says: the next start, with a mended certificate,
         * serves HTTPS again, and the page warns meanwhile (the runtime reply says plain HTTP). */
        if (pDaemon != nullptr && bSsl)
            printf("Web management: HTTPS not started, %s; serving plain HTTP on port %d\n", strNoTls.c_str(), nPort);
    }

    g_mhd = pDaemon;
    if (g_mhd == nullptr)
        return 0;
    s_nLastPort = nPort;
    cgiStartWatcher();
    return 1;
}

void ruxoStopCGI(void)
{
    /* First of all, before the lifecycle mutex (which another stop or start may hold while the web
     * thread searches) and before the library joins the web thread: a search under way ends. */
    s_bStopping = true;
    std::lock_guard<std::mutex> lifecycle(s_mtxLifecycle);
    if (g_mhd == nullptr)
        return;
    s_bStopping = true; /* again: a start between the first store and the lock cleared it */
    cgiStopWatcher();
    MHD_stop_daemon(g_mhd);
    g_mhd = nullptr;
    s_bTls = false;
    /* The polling thread has ended: no request holds a body or a connection any more. */
    cgiResetBodies();
    cgiForgetConnections();
}

int ruxoCGIStopping(void)
{
    return s_bStopping ? 1 : 0;
}

BOOL ruxoCGIUsesTls(void)
{
    return s_bTls ? TRUE : FALSE;
}

/* Why a server cannot listen on the port, as the system tells it to a socket of our own. */
static std::string cgiPortProblem(int nPort)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return strerror(errno);
    int nOn = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &nOn, sizeof(nOn));
    struct sockaddr_in addr;
    memset(&addr, 0, sizeof(addr));
    addr.sin_family = AF_INET;
    addr.sin_port = htons((uint16_t)nPort);
    std::string strProblem = "the web server could not start";
    if (bind(fd, (struct sockaddr*)&addr, sizeof(addr)) != 0 || listen(fd, 1) != 0)
        strProblem = strerror(errno);
    close(fd);
    return strProblem;
}

int ruxoRestartCGI(void)
{
    static long long s_tmLastRetryLine = 0; /* monotonic ms; only the daemon's timer thread restarts */
    ruxoStopCGI();
    if (ruxoStartCGI())
        return 1;

    RUXO_CGI_LISTEN listen;
    cgiListen(&listen);
    int nWanted = cgiConfiguredPort(listen.nPort);
    int nPrevious = 0;
    {
        std::lock_guard<std::mutex> lifecycle(s_mtxLifecycle);
        nPrevious = s_nLastPort;
    }
    if (nPrevious != 0 && nPrevious != nWanted) {
        /* The new port cannot be had: stay manageable on the one that worked, and keep it in the
         * settings (the provider saves it), so that the next start finds it too. */
        std::string strProblem = cgiPortProblem(nWanted);
        cgiKeepPort(nPrevious);
        printf(
            "Web management cannot listen on port %d (%s): it stays on port %d, which is put back as "
            "\"httpPort\"\n",
            nWanted, strProblem.c_str(), nPrevious);
        s_tmLastRetryLine = 0;
        if (ruxoStartCGI())
            return 1;
        nWanted = nPrevious;
    }
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    long long tmNow = (long long)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
    if (s_tmLastRetryLine == 0 || tmNow - s_tmLastRetryLine >= 60000) {
        s_tmLastRetryLine = tmNow;
        printf("Web management cannot listen on port %d (%s): trying again every 5 seconds\n", nWanted,
               cgiPortProblem(nWanted).c_str());
    }
    return 0;
}

/* ---- titles ---------------------------------------------------------------------------------- */

const TCHAR* ruxoAppTitle(void)
{
    return RUXO_APP_TITLE;
}

const TCHAR* ruxoAppName(void)
{
    static std::once_flag s_once;
    static TCHAR s_tszName[100];
    std::call_once(s_once, [] {
        s_tszName[0] = '\0';
        const char* szDir = ruxoGetProgDir();
        std::string strfn = std::string(szDir ? szDir : "") + "/ruxooem.txt";
        FILE* fp = fopen(strfn.c_str(), "re");
        if (fp != nullptr) {
            /* The first line as read, its line end included, at most 98 characters. */
            if (fgets(s_tszName, 99, fp) == nullptr)
                s_tszName[0] = '\0';
            fclose(fp);
        }
        if (s_tszName[0] == '\0')
            snprintf(s_tszName, sizeof(s_tszName), "%s", RUXO_APP_TITLE);
    });
    return s_tszName;
}
