/* ruxo_cgi.cpp -- the embedded web server: start and stop over HTTP or HTTPS, the access list
 * ("ipACL") checked on every new connection, the request log beside the configuration file, the
 * collection of request bodies in the one body buffer, and the login gate in front of the API routes.
 *
 * Every callback runs on the library's one internal polling thread. Start and stop run on the main
 * thread or a timer thread, under the server-lifecycle mutex, never with the web mutex or the
 * configuration lock held across the library's start or stop (the stop joins the polling thread,
 * which may be waiting for either of them). */
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
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <mutex>
#include <string>

#include "ruxo.h"
#include "ruxo_config.h"

pthread_mutex_t g_cgi_mutex = PTHREAD_MUTEX_INITIALIZER;

unsigned int g_nCGIIdleTimeout = 60;

#define RUXO_CGI_DEFAULT_PORT 8888

static MHD_Daemon* g_mhd = nullptr;
static std::mutex s_mtxLifecycle;  /* serialises start and stop; never taken on the web thread */

/* The one request-body buffer. The POST that holds it has the buffer's address in its request
 * slot (con_cls). Only the web thread touches these, and the stop once that thread has ended. */
static char s_szPost[RUXO_CGI_POST_MAX];
static size_t s_cchPost = 0;
static bool s_bPostHeld = false;
static bool s_bPostOverflow = false;

/* Request-slot mark of a GET after its first call. */
static char s_cGetMark;

/* ---- small pieces ---------------------------------------------------------------------------- */

static void cgiFreePostBuffer(void)
{
    memset(s_szPost, 0, s_cchPost < sizeof(s_szPost) ? s_cchPost + 1 : sizeof(s_szPost));
    s_cchPost = 0;
    s_bPostHeld = false;
    s_bPostOverflow = false;
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
        if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
            c == '.' || c == '_' || c == '~') {
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

bool cgiHasPrefixNoCase(const char* sz, const char* szPrefix)
{
    size_t cch = strlen(szPrefix);
    return strnlen(sz, cch) == cch && ruxoStrCaseCmp(std::string(sz, cch).c_str(), szPrefix) == 0;
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
    {
        std::lock_guard<std::recursive_mutex> lock(g_configLock);
        strAcl = getJsonString(jsonGetItem(g_jsonConfig, "global"), "ipACL");
    }
    return cgiAclAllows(strAcl.c_str(), ulHost) ? MHD_YES : MHD_NO;
}

/* ---- request log ----------------------------------------------------------------------------- */

static void cgiWriteRequestLog(MHD_Connection* conn, const char* szMethod, const char* szPath)
{
    if (ruxoStrCaseCmp(szPath, "/status") == 0)
        return;

    int nLog = 0;
    std::string strfnLog;
    {
        std::lock_guard<std::recursive_mutex> lock(g_configLock);
        nLog = getJsonInt(jsonGetItem(g_jsonConfig, "global"), "log");
        if (nLog != 0)
            strfnLog = ruxoGetExPath("_cgi.log");
    }
    if (nLog == 0 || strfnLog.empty())
        return;

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
    strLine += cgiLogEscape(szPath);
    strLine += " from ";
    strLine += szAddr;
    strLine += ':';
    strLine += std::to_string(ntohs(pAddr->sin_port));
    strLine += '\n';

    FILE* fp = fopen(strfnLog.c_str(), "ae");
    if (fp == nullptr)
        return;
    fwrite(strLine.data(), 1, strLine.size(), fp);
    fclose(fp);
}

/* ---- replies --------------------------------------------------------------------------------- */

int cgiReply(MHD_Connection* conn, unsigned int nStatus, const std::string& strBody,
             const char* szContentType, const CGI_HEADERS& headers)
{
    MHD_Response* pResponse =
        MHD_create_response_from_buffer(strBody.size(), (void*)strBody.data(), MHD_RESPMEM_MUST_COPY);
    if (pResponse == nullptr)
        return 0;
    return cgiQueueReply(conn, nStatus, pResponse, szContentType, headers);
}

int cgiQueueReply(MHD_Connection* conn, unsigned int nStatus, MHD_Response* pResponse,
                  const char* szContentType, const CGI_HEADERS& headers)
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

static MHD_Result mhdKeyValueIterator(void* cls, MHD_ValueKind kind, const char* key, const char* value)
{
    (void)kind;
    std::string* pstrText = (std::string*)cls;
    if (!pstrText->empty())
        *pstrText += '&';
    if (key != nullptr)
        *pstrText += key;
    if (value != nullptr) {
        *pstrText += '=';
        *pstrText += value;
    }
    return MHD_YES;
}

int ruxoCGIAuth(const std::string& strCookie, const std::string& strPass)
{
    size_t i = 0;
    while (i < strCookie.size()) {
        size_t j = strCookie.find_first_of("&; ", i);
        if (j == std::string::npos)
            j = strCookie.size();
        /* "auth=" holds no separator, so a match lies wholly inside this token. */
        if (strCookie.compare(i, 5, "auth=") == 0) {
            std::string strValue = _urlDecode(strCookie.data() + i + 5, j - i - 5);
            return cgiSecretEquals(strValue, strPass) ? 1 : 0;
        }
        i = j + 1;
    }
    /* Without an "auth" cookie the value is empty, which never equals a password. */
    return 0;
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
    strPage += "<form action=\"login\" method=\"post\">\n <input type=\"password\" name=\"auth\" required>\n"
               " <input type=\"submit\" value=\"Login\">\n</form></div>\n</body>\n</html>";
    CGI_HEADERS headers;
    headers.emplace_back("Connection", "Keep-Alive");
    return cgiReply(conn, MHD_HTTP_OK, strPage, "text/html", headers);
}

int ruxoCGI(MHD_Connection* conn, const char* szPath, char* szPost)
{
    std::string strArgs;
    std::string strCookie;
    MHD_get_connection_values(conn, MHD_GET_ARGUMENT_KIND, mhdKeyValueIterator, &strArgs);
    MHD_get_connection_values(conn, MHD_COOKIE_KIND, mhdKeyValueIterator, &strCookie);

    std::string strPass;
    {
        std::lock_guard<std::recursive_mutex> lock(g_configLock);
        strPass = getJsonString(jsonGetItem(g_jsonConfig, "global"), "loginPass");
    }

    if (!strPass.empty() && !ruxoCGIAuth(strCookie, strPass)) {
        if (cgiHasPrefixNoCase(szPath, "/logi"))
            return ruxoCGILogin(szPost, conn);
        return ruxoCGILoginPage(conn);
    }
    return ruxoCGIRoute(conn, szPath, strArgs.c_str(), szPost);
}

/* ---- request road ---------------------------------------------------------------------------- */

char* cgiMultipartCut(char* szBody, const char* szContentType)
{
    if (szContentType == nullptr || !cgiHasPrefixNoCase(szContentType, "multipart/form-data"))
        return szBody;
    char* pBegin = strstr(szBody, "\r\n\r\n");
    pBegin = pBegin ? pBegin + 4 : szBody;
    char* pEnd = strstr(pBegin, "\r\n--");
    if (pEnd != nullptr)
        *pEnd = '\0';
    return pBegin;
}

static MHD_Result mhdAccessHandlerCallback(void* cls, MHD_Connection* connection, const char* url,
                                           const char* method, const char* version,
                                           const char* upload_data, size_t* upload_data_size,
                                           void** con_cls)
{
    (void)cls;
    (void)version;
    cgiWriteRequestLog(connection, method, url);

    if (ruxoStrCaseCmp(method, "GET") == 0) {
        if (*con_cls == nullptr) {
            *con_cls = &s_cGetMark;
            return MHD_YES;
        }
        /* A body on a GET is read and dropped; the request is routed once, when it is over. */
        if (*upload_data_size > 0) {
            *upload_data_size = 0;
            return MHD_YES;
        }
        return ruxoCGI(connection, url, nullptr) ? MHD_YES : MHD_NO;
    }

    if (ruxoStrCaseCmp(method, "POST") == 0) {
        if (*con_cls == nullptr) {
            if (s_bPostHeld)
                return MHD_NO;
            s_bPostHeld = true;
            s_cchPost = 0;
            s_bPostOverflow = false;
            s_szPost[0] = '\0';
            *con_cls = s_szPost;
            return MHD_YES;
        }
        if (*upload_data_size > 0) {
            /* Once a chunk does not fit, every later one is dropped as well: joining later chunks
             * could give a different text that still parses. */
            size_t cch = *upload_data_size;
            if (!s_bPostOverflow && cch < sizeof(s_szPost) - s_cchPost) {
                memcpy(s_szPost + s_cchPost, upload_data, cch);
                s_cchPost += cch;
                s_szPost[s_cchPost] = '\0';
            } else {
                s_bPostOverflow = true;
            }
            *upload_data_size = 0;
            return MHD_YES;
        }
        const char* szContentType = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, "Content-Type");
        char* szBody = cgiMultipartCut(s_szPost, szContentType);
        int nResult = ruxoCGI(connection, url, szBody);
        cgiFreePostBuffer();
        *con_cls = nullptr;
        return nResult ? MHD_YES : MHD_NO;
    }

    /* HEAD, PUT and every other method: no reply, the connection is closed. */
    return MHD_NO;
}

/* Called when a request ends, also without its final call (an aborted upload, a time-out). */
static void mhdRequestCompleted(void* cls, MHD_Connection* connection, void** con_cls,
                                MHD_RequestTerminationCode toe)
{
    (void)cls;
    (void)connection;
    (void)toe;
    if (con_cls != nullptr && *con_cls == s_szPost) {
        cgiFreePostBuffer();
        *con_cls = nullptr;
    }
}

/* ---- start and stop -------------------------------------------------------------------------- */

/* Largest certificate or key file read; anything bigger is no PEM file worth loading. */
#define RUXO_CGI_PEM_MAX (16 * 1024 * 1024)

std::string cgiReadFile(const std::string& strfn, size_t cbMax)
{
    std::string strText;
    if (strfn.empty())
        return strText;
    /* Non-blocking so that a named pipe cannot hold the start; it changes nothing for a file. */
    int fd = open(strfn.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return strText;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size <= 0 || (size_t)st.st_size > cbMax) {
        close(fd);
        return strText;
    }
    strText.resize((size_t)st.st_size);
    size_t cbRead = 0;
    while (cbRead < strText.size()) {
        ssize_t n = read(fd, &strText[cbRead], strText.size() - cbRead);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        cbRead += (size_t)n;
    }
    close(fd);
    strText.resize(cbRead);
    return strText;
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

bool cgiJsonSetBool(cJSON* jsonObject, const char* szKey, bool bValue, bool bAddMissing)
{
    if (!cJSON_IsObject(jsonObject))
        return false;
    cJSON* jsonItem = jsonGetItem(jsonObject, szKey);
    if (jsonItem == nullptr && !bAddMissing)
        return false;
    cJSON* jsonBool = cJSON_CreateBool(bValue ? 1 : 0);
    if (jsonBool == nullptr)
        return false;
    bool bDone;
    if (jsonItem == nullptr || jsonItem->string == nullptr) {
        bDone = cJSON_AddItemToObject(jsonObject, szKey, jsonBool) != 0;
    } else {
        /* The first exact match of the item's own key is the item itself: an earlier one would
         * also have been the earlier case-insensitive match. */
        std::string strKey = jsonItem->string;
        bDone = cJSON_ReplaceItemInObjectCaseSensitive(jsonObject, strKey.c_str(), jsonBool) != 0;
    }
    if (!bDone)
        cJSON_Delete(jsonBool);
    return bDone;
}

/* Sets the global "sslEnable" in place when it exists (with bOnlyIfFalse: only while it is false);
 * returns whether it did. Takes the configuration lock. */
static bool cgiSetSslEnable(bool bValue, bool bOnlyIfFalse)
{
    std::lock_guard<std::recursive_mutex> lock(g_configLock);
    cJSON* jsonGlobal = jsonGetItem(g_jsonConfig, "global");
    if (bOnlyIfFalse && !cJSON_IsFalse(jsonGetItem(jsonGlobal, "sslEnable")))
        return false;
    return cgiJsonSetBool(jsonGlobal, "sslEnable", bValue, false);
}

int ruxoStartCGI(void)
{
    /* A client that hangs up while its reply is written must not end the process. */
    signal(SIGPIPE, SIG_IGN);

    std::lock_guard<std::mutex> lifecycle(s_mtxLifecycle);
    if (g_mhd != nullptr)
        return 1;

    int nPort = RUXO_CGI_DEFAULT_PORT;
    bool bSsl = false;
    std::string strfnCert, strfnKey;
    {
        std::lock_guard<std::recursive_mutex> lock(g_configLock);
        cJSON* jsonGlobal = jsonGetItem(g_jsonConfig, "global");
        if (jsonGlobal != nullptr) {
            /* The library takes the low 16 bits; a value whose low bits are 0 would make it pick
             * a random port, so it means the default as well. */
            int nValue = getJsonInt(jsonGlobal, "httpPort") & 0xFFFF;
            nPort = nValue != 0 ? nValue : RUXO_CGI_DEFAULT_PORT;
            bSsl = getJsonBool(jsonGlobal, "sslEnable") != 0;
            if (bSsl) {
                strfnCert = getJsonString(jsonGlobal, "sslCert");
                strfnKey = getJsonString(jsonGlobal, "sslKey");
            }
        }
    }

    unsigned int nTimeout = g_nCGIIdleTimeout;
    MHD_Daemon* pDaemon = nullptr;
    bool bSslTurnedOff = false;
    if (bSsl) {
        std::string strCert = cgiReadFile(strfnCert, RUXO_CGI_PEM_MAX);
        std::string strKey = cgiReadFile(strfnKey, RUXO_CGI_PEM_MAX);
        if (!strCert.empty() && !strKey.empty()) {
            pDaemon = MHD_start_daemon(MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_TLS, (uint16_t)nPort,
                                       mhdAccessPolicyCallback, nullptr, mhdAccessHandlerCallback, nullptr,
                                       MHD_OPTION_HTTPS_MEM_KEY, strKey.c_str(),
                                       MHD_OPTION_HTTPS_MEM_CERT, strCert.c_str(),
                                       MHD_OPTION_CONNECTION_TIMEOUT, nTimeout,
                                       MHD_OPTION_NOTIFY_COMPLETED, mhdRequestCompleted, nullptr,
                                       MHD_OPTION_END);
            if (pDaemon == nullptr)
                bSslTurnedOff = cgiSetSslEnable(false, false);
        }
        cgiWipe(strKey);
        cgiWipe(strCert);
    }

    if (pDaemon == nullptr) {
        pDaemon = MHD_start_daemon(MHD_USE_INTERNAL_POLLING_THREAD, (uint16_t)nPort,
                                   mhdAccessPolicyCallback, nullptr, mhdAccessHandlerCallback, nullptr,
                                   MHD_OPTION_CONNECTION_TIMEOUT, nTimeout,
                                   MHD_OPTION_NOTIFY_COMPLETED, mhdRequestCompleted, nullptr,
                                   MHD_OPTION_END);
        /* Neither start worked, so the port itself is the trouble (taken, for instance), not the
         * certificate: a passing clash must not turn TLS off for good. */
        if (pDaemon == nullptr && bSslTurnedOff)
            cgiSetSslEnable(true, true);
    }

    g_mhd = pDaemon;
    return g_mhd != nullptr ? 1 : 0;
}

void ruxoStopCGI(void)
{
    std::lock_guard<std::mutex> lifecycle(s_mtxLifecycle);
    if (g_mhd == nullptr)
        return;
    MHD_stop_daemon(g_mhd);
    g_mhd = nullptr;
    /* The polling thread has ended: nothing holds the body buffer any more. */
    cgiFreePostBuffer();
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
