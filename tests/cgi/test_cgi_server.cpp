/* test_cgi_server.cpp -- the web server over loopback with real clients (curl, openssl s_client,
 * raw sockets): port choice, HTTPS and its fall-back, the access list, the request log, request
 * bodies, the one body buffer and the idle time-out, the login gate, refused methods.
 *
 * The server runs in this process. The router behind the login gate is an echo route of this
 * file's, registered by the fixture with the daemon's settings provider (the configuration tree). The program runs in a private network namespace of its own
 * (the shared test main), so the default port 8888 is free and no traffic reaches the host. */
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "ruxo_cgi_internal.h"
#include "ruxo_curl.h"
#include "ruxo.h"
#include "ruxo_config.h"
#include "ruxo_routes.h"

namespace {

/* ---- helpers --------------------------------------------------------------------------------- */

/* The router the fixture registers: it answers with what the server handed on (path, query text,
 * body, the connection's idle time-out). */
int echoRoute(MHD_Connection* conn, const char* szPath, const char* szArgs, char* szPost, size_t cchPost)
{
    /* A route that answers nothing: the connection must be closed, not polled again. */
    if (std::string(szPath) == "/fail")
        return 0;
    unsigned int nTimeout = 0;
    const MHD_ConnectionInfo* pInfo = MHD_get_connection_info(conn, MHD_CONNECTION_INFO_CONNECTION_TIMEOUT);
    if (pInfo != nullptr)
        nTimeout = pInfo->connection_timeout;
    std::string strBody = "path=" + std::string(szPath) + "\nargs=" + std::string(szArgs) +
                          "\ntimeout=" + std::to_string(nTimeout) +
                          "\npost=" + (szPost ? std::string(szPost, cchPost) : std::string("(null)"));
    return cgiReply(conn, MHD_HTTP_OK, strBody, "text/plain");
}

/* curl; extra arguments come before the URL. */
CurlReply curl(const std::string& strUrl, std::vector<std::string> extra = {})
{
    extra.push_back(strUrl);
    return curlRun(extra);
}

/* A socket connected to the loopback port from the given loopback address, or -1. */
int connectTo(int nPort, const char* szFrom = "127.0.0.1")
{
    return connectFrom(szFrom, nPort);
}

/* The status code of the first reply in a text of replies, 0 without one. */
int statusOf(const std::string& strIn)
{
    int nStatus = 0;
    sscanf(strIn.c_str(), "HTTP/1.1 %d", &nStatus);
    return nStatus;
}

/* Opens a POST that announces nLength bytes and sends the first few, from the given address:
 * the server then holds its body until the rest arrives. -1 when no connection was made. */
int startUpload(int nPort, const char* szFrom, const std::string& strPath, size_t nLength,
                const std::string& strExtra = "")
{
    int fd = connectTo(nPort, szFrom);
    if (fd >= 0 && !sendAll(fd, "POST " + strPath + " HTTP/1.1\r\nHost: x\r\nContent-Length: " +
                                    std::to_string(nLength) + "\r\n" + strExtra + "\r\nab")) {
        close(fd);
        fd = -1;
    }
    return fd;
}

/* Reads until the peer closes or nMillis pass; returns what arrived. *pbClosed tells which. */
std::string readUntilClosed(int fd, int nMillis, bool* pbClosed)
{
    std::string strIn;
    *pbClosed = false;
    auto tmEnd = std::chrono::steady_clock::now() + std::chrono::milliseconds(nMillis);
    while (std::chrono::steady_clock::now() < tmEnd) {
        pollfd pfd{fd, POLLIN, 0};
        int nLeft = (int)std::chrono::duration_cast<std::chrono::milliseconds>(tmEnd - std::chrono::steady_clock::now())
                        .count();
        if (poll(&pfd, 1, nLeft > 0 ? nLeft : 0) <= 0)
            break;
        char buf[4096];
        ssize_t n = recv(fd, buf, sizeof(buf), 0);
        if (n <= 0) {
            *pbClosed = true;
            break;
        }
        strIn.append(buf, (size_t)n);
    }
    return strIn;
}

/* One raw request; returns what the server sent before it closed the connection. */
std::string rawExchange(int nPort, const std::string& strRequest, bool* pbClosed)
{
    int fd = connectTo(nPort);
    if (fd < 0) {
        *pbClosed = true;
        return "(no connection)";
    }
    sendAll(fd, strRequest);
    std::string strIn = readUntilClosed(fd, 5000, pbClosed);
    close(fd);
    return strIn;
}

/* Installs a configuration tree parsed from the text exactly (no defaults added). */
void setTree(const std::string& strJson)
{
    std::lock_guard<std::recursive_mutex> lock(g_configLock);
    cJSON_Delete(g_jsonConfig);
    g_jsonConfig = strJson.empty() ? nullptr : cJSON_Parse(strJson.c_str());
    ASSERT_TRUE(strJson.empty() || g_jsonConfig != nullptr) << strJson;
}

/* The "sslEnable" item of the tree as JSON text ("true", "false", "" when missing). */
std::string sslEnableText()
{
    std::lock_guard<std::recursive_mutex> lock(g_configLock);
    cJSON* item = jsonGetItem(jsonGetItem(g_jsonConfig, "global"), "sslEnable");
    if (item == nullptr)
        return std::string();
    char* sz = cJSON_PrintUnformatted(item);
    std::string str = sz ? sz : "";
    free(sz);
    return str;
}

std::string jsonQuote(const std::string& str)
{
    cJSON* item = cJSON_CreateString(str.c_str());
    char* sz = cJSON_PrintUnformatted(item);
    std::string strOut = sz;
    free(sz);
    cJSON_Delete(item);
    return strOut;
}

/* ---- fixture --------------------------------------------------------------------------------- */

class CgiServer : public ::testing::Test {
protected:
    ruxotest::TempDir m_dir{"cgi"};
    std::string m_strLog;
    int m_nPort = 0;

    void SetUp() override
    {
        ruxoCGISetRouter(echoRoute);
        ruxoCGISetProvider(&g_ruxoCGIProvider);
        ASSERT_TRUE(m_dir.ok());
        ruxoSetConfigPath(m_dir.path().c_str());
        m_strLog = m_dir.file("ruxod_cgi.log");
        m_nPort = freePort();
        ASSERT_NE(m_nPort, 0);
    }

    void TearDown() override
    {
        ruxoStopCGI();
        g_nCGIRequestSeconds = RUXO_CGI_REQUEST_SECONDS;
        g_nCGIIdleTimeout = 60;
        setTree("");
    }

    std::string url(const std::string& strPath, const char* szScheme = "http") const
    {
        return std::string(szScheme) + "://127.0.0.1:" + std::to_string(m_nPort) + strPath;
    }

    /* A tree with the fixture's port and extra global members (JSON text after a comma). */
    void setGlobal(const std::string& strMore = "", int nLog = 0)
    {
        setTree("{\"global\": {\"httpPort\": " + std::to_string(m_nPort) + ", \"log\": " + std::to_string(nLog) +
                (strMore.empty() ? "" : ", " + strMore) + "}}");
    }

    void start() { ASSERT_EQ(ruxoStartCGI(), 1); }

    /* Makes a self-signed certificate and key in the fixture's folder. */
    bool makeCertificate(std::string* pstrCert, std::string* pstrKey)
    {
        *pstrCert = m_dir.file("cert.pem");
        *pstrKey = m_dir.file("key.pem");
        RunResult r = runCaptured({"openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
                                   "ec_paramgen_curve:prime256v1", "-nodes", "-subj", "/CN=ruxotest", "-days", "2",
                                   "-keyout", *pstrKey, "-out", *pstrCert});
        return r.nExit == 0;
    }
};

/* ---- ports ----------------------------------------------------------------------------------- */

TEST_F(CgiServer, PortChoice)
{
    struct Case {
        const char* szTree;
        int nPort;
    } cases[] = {
        {"", 8888},
        {"{\"name\": \"no global\"}", 8888},
        {"{\"global\": {}}", 8888},
        {"{\"global\": {\"httpPort\": 0}}", 8888},
        {"{\"global\": {\"httpPort\": \"0\"}}", 8888},
        {"{\"global\": {\"HTTPPORT\": \"8080\"}}", 8080},
        {"{\"global\": {\"httpPort\": 8081.9}}", 8081},
        {"{\"global\": {\"httpPort\": 65536}}", 8888},
        {"{\"global\": {\"httpPort\": 73616}}", 8080}, /* low 16 bits */
    };
    for (const Case& c : cases) {
        setTree(c.szTree);
        ASSERT_EQ(ruxoStartCGI(), 1) << c.szTree;
        CurlReply reply = curl("http://127.0.0.1:" + std::to_string(c.nPort) + "/x");
        EXPECT_EQ(reply.nStatus, 200) << c.szTree;
        EXPECT_NE(reply.strBody.find("path=/x"), std::string::npos) << c.szTree;
        ruxoStopCGI();
        /* Stopped means closed. */
        EXPECT_LT(connectTo(c.nPort), 0) << c.szTree;
    }
}

TEST_F(CgiServer, BusyPortFailsAndStopIsHarmless)
{
    int fd = holdPort(m_nPort);
    ASSERT_GE(fd, 0);
    setGlobal();
    EXPECT_EQ(ruxoStartCGI(), 0);
    ruxoStopCGI();
    ruxoStopCGI();
    close(fd);
    EXPECT_EQ(ruxoStartCGI(), 1);
    EXPECT_EQ(curl(url("/")).nStatus, 200);
}

/* ---- HTTPS ----------------------------------------------------------------------------------- */

TEST_F(CgiServer, HttpsWithGoodCertificate)
{
    std::string strCert, strKey;
    ASSERT_TRUE(makeCertificate(&strCert, &strKey));
    setGlobal("\"sslEnable\": true, \"sslCert\": " + jsonQuote(strCert) + ", \"sslKey\": " + jsonQuote(strKey));
    start();

    CurlReply reply = curl(url("/secure?a=1", "https"), {"-k"});
    EXPECT_EQ(reply.nStatus, 200);
    EXPECT_TRUE(ruxoCGIUsesTls());
    EXPECT_NE(reply.strBody.find("path=/secure\nargs=a=1"), std::string::npos) << reply.strBody;
    /* Plain HTTP on the same port is no request the server answers. */
    EXPECT_EQ(curl(url("/")).nStatus, 0);

    RunResult s = runCaptured({"openssl", "s_client", "-connect", "127.0.0.1:" + std::to_string(m_nPort)});
    EXPECT_NE(s.strOut.find("CN = ruxotest"), std::string::npos) << s.strOut;
    EXPECT_EQ(sslEnableText(), "true");
}

TEST_F(CgiServer, HttpsFallsBackOnBadCertificateAndKeepsTheFlag)
{
    std::string strCert, strKey;
    ASSERT_TRUE(makeCertificate(&strCert, &strKey));
    std::string strBad = m_dir.file("bad.pem");
    ruxotest::writeFile(strBad, "this is no certificate\n");
    setGlobal("\"sslEnable\": true, \"sslCert\": " + jsonQuote(strBad) + ", \"sslKey\": " + jsonQuote(strKey));
    testing::internal::CaptureStdout();
    start();
    std::string strOut = testing::internal::GetCapturedStdout();
    EXPECT_EQ(curl(url("/")).nStatus, 200);
    EXPECT_EQ(sslEnableText(), "true"); /* the configuration still asks for HTTPS */
    EXPECT_FALSE(ruxoCGIUsesTls());
    /* Said once, with the files and the TLS library's reason. */
    EXPECT_EQ(ruxotest::countOf(strOut, "\n"), 1u) << strOut;
    EXPECT_NE(strOut.find("HTTPS not started, the certificate " + strBad + " and key " + strKey + " were refused: "),
              std::string::npos)
        << strOut;
    EXPECT_NE(strOut.find("; serving plain HTTP on port " + std::to_string(m_nPort)), std::string::npos) << strOut;

    /* The next start tries HTTPS again: still plain HTTP with the bad file, HTTPS once the
     * certificate is mended. */
    ruxoStopCGI();
    start();
    EXPECT_EQ(curl(url("/")).nStatus, 200);
    EXPECT_EQ(sslEnableText(), "true");
    ASSERT_EQ(rename(strCert.c_str(), strBad.c_str()), 0);
    ruxoStopCGI();
    start();
    EXPECT_EQ(curl(url("/", "https"), {"-k"}).nStatus, 200);
    EXPECT_TRUE(ruxoCGIUsesTls());
    EXPECT_EQ(sslEnableText(), "true");
}

TEST_F(CgiServer, HttpsWithoutFilesKeepsFlag)
{
    std::string strCert, strKey;
    ASSERT_TRUE(makeCertificate(&strCert, &strKey));
    std::string strEmpty = m_dir.file("empty.pem");
    ruxotest::writeFile(strEmpty, "");
    std::string strFifo = m_dir.file("fifo.pem");
    ASSERT_EQ(mkfifo(strFifo.c_str(), 0600), 0);
    const std::string cases[] = {
        "\"sslEnable\": true, \"sslCert\": \"\", \"sslKey\": " + jsonQuote(strKey),
        "\"sslEnable\": true, \"sslCert\": " + jsonQuote(strCert),
        "\"sslEnable\": true, \"sslCert\": " + jsonQuote(strCert) + ", \"sslKey\": " + jsonQuote(strEmpty),
        "\"sslEnable\": true, \"sslCert\": " + jsonQuote(m_dir.file("missing.pem")) +
            ", \"sslKey\": " + jsonQuote(strKey),
        /* A folder or a named pipe is no file to read: no crash, no hang. */
        "\"sslEnable\": true, \"sslCert\": " + jsonQuote(m_dir.path()) + ", \"sslKey\": " + jsonQuote(strKey),
        "\"sslEnable\": true, \"sslCert\": " + jsonQuote(strCert) + ", \"sslKey\": " + jsonQuote(strFifo),
    };
    for (const std::string& strCase : cases) {
        setGlobal(strCase);
        testing::internal::CaptureStdout();
        start();
        std::string strOut = testing::internal::GetCapturedStdout();
        EXPECT_EQ(curl(url("/")).nStatus, 200) << strCase;
        EXPECT_EQ(sslEnableText(), "true") << strCase;
        EXPECT_FALSE(ruxoCGIUsesTls());
        EXPECT_NE(strOut.find("HTTPS not started, "), std::string::npos) << strCase << strOut;
        ruxoStopCGI();
    }
}

TEST_F(CgiServer, BusyPortDoesNotTurnTlsOff)
{
    std::string strCert, strKey;
    ASSERT_TRUE(makeCertificate(&strCert, &strKey));
    int fd = holdPort(m_nPort);
    ASSERT_GE(fd, 0);
    setGlobal("\"sslEnable\": true, \"sslCert\": " + jsonQuote(strCert) + ", \"sslKey\": " + jsonQuote(strKey));
    EXPECT_EQ(ruxoStartCGI(), 0);
    EXPECT_EQ(sslEnableText(), "true");
    close(fd);

    /* Once the port is free the server comes back with TLS. */
    start();
    EXPECT_EQ(curl(url("/", "https"), {"-k"}).nStatus, 200);
}

/* ---- access list ----------------------------------------------------------------------------- */

TEST_F(CgiServer, AccessListAllowAndDeny)
{
    setGlobal("\"ipACL\": \"deny all allow 127.0.0.0/8\"");
    start();
    EXPECT_EQ(curl(url("/")).nStatus, 200);

    /* A changed list applies from the next connection on. */
    setGlobal("\"ipACL\": \"allow all deny 127.0.0.1\"");
    CurlReply reply = curl(url("/"));
    EXPECT_EQ(reply.nStatus, 0);
    EXPECT_NE(reply.nExit, 0);

    setGlobal("\"ipACL\": \"allow all deny 127.0.0.2\"");
    EXPECT_EQ(curl(url("/")).nStatus, 200);
}

/* ---- request log ----------------------------------------------------------------------------- */

TEST_F(CgiServer, RequestLog)
{
    setGlobal("", 1);
    start();
    EXPECT_EQ(curl(url("/config")).nStatus, 200);
    EXPECT_EQ(curl(url("/status")).nStatus, 200);
    EXPECT_EQ(curl(url("/STATUS")).nStatus, 200);
    std::string strLog = ruxotest::readFile(m_strLog);
    /* Two lines "[YYYY/MM/DD hh:mm:ss] GET /config from 127.0.0.1:<port>", the same port. */
    std::istringstream in(strLog);
    std::string strLine;
    std::vector<std::string> lines;
    while (std::getline(in, strLine))
        lines.push_back(strLine);
    ASSERT_EQ(lines.size(), 2u) << strLog;
    for (const std::string& s : lines) {
        int y, mo, d, h, mi, sec, nPort = 0;
        char szTail[64] = "";
        ASSERT_EQ(sscanf(s.c_str(), "[%4d/%2d/%2d %2d:%2d:%2d] GET /config from 127.0.0.1:%d%63s", &y, &mo, &d, &h, &mi,
                         &sec, &nPort, szTail),
                  7)
            << s;
        EXPECT_EQ(s.substr(0, 21).size(), 21u);
        EXPECT_EQ(s[5], '/');
        EXPECT_EQ(s[20], ']');
        EXPECT_EQ(s.substr(s.find(':', 22) + 1), std::to_string(nPort)) << s;
        EXPECT_GT(nPort, 0);
    }
    EXPECT_EQ(lines[0].substr(lines[0].find(" from ")), lines[1].substr(lines[1].find(" from ")));

    /* Control bytes cannot start a line of their own. */
    EXPECT_EQ(curl(url("/a%0A[2024/01/01%2000:00:00]%20GET%20/forged%0D%09%7Fz")).nStatus, 200);
    strLog = ruxotest::readFile(m_strLog);
    EXPECT_NE(strLog.find("GET /a%0A[2024/01/01 00:00:00] GET /forged%0D%09%7Fz from 127.0.0.1:"), std::string::npos)
        << strLog;
    int nNewLines = 0;
    for (char c : strLog)
        nNewLines += c == '\n';
    EXPECT_EQ(nNewLines, 4);

    /* A POST writes one line per call: the first, each chunk, the last. */
    EXPECT_EQ(curl(url("/p"), {"--data", "x=1"}).nStatus, 200);
    strLog = ruxotest::readFile(m_strLog);
    size_t nPostLines = 0;
    for (size_t n = strLog.find("] POST /p from "); n != std::string::npos; n = strLog.find("] POST /p from ", n + 1))
        nPostLines++;
    EXPECT_GE(nPostLines, 3u);

    /* With "log" 0 nothing more is written. */
    setGlobal("", 0);
    std::string strBefore = ruxotest::readFile(m_strLog);
    EXPECT_EQ(curl(url("/config")).nStatus, 200);
    EXPECT_EQ(ruxotest::readFile(m_strLog), strBefore);
}

/* ---- bodies ---------------------------------------------------------------------------------- */

TEST_F(CgiServer, RequestBodies)
{
    setGlobal();
    start();
    std::string strFile = m_dir.file("upload.json");
    ruxotest::writeFile(strFile, "{\"global\": {\"log\": 32}}\n");

    CurlReply reply = curl(url("/config?import"), {"-F", "file=@" + strFile, "-F", "other=second part"});
    EXPECT_EQ(reply.nStatus, 200);
    EXPECT_NE(reply.strBody.find("args=import\n"), std::string::npos) << reply.strBody;
    EXPECT_TRUE(reply.strBody.size() > 0 &&
                reply.strBody.substr(reply.strBody.find("post=")) == "post={\"global\": {\"log\": 32}}\n")
        << reply.strBody;

    reply = curl(url("/config"), {"-H", "Content-Type: application/json", "--data-binary", "@" + strFile});
    EXPECT_NE(reply.strBody.find("post={\"global\": {\"log\": 32}}\n"), std::string::npos) << reply.strBody;

    /* Without Content-Type the whole body, multipart-looking text included. */
    reply = curl(url("/config"), {"-H", "Content-Type:", "--data-binary", "a\r\n\r\nb\r\n--c"});
    EXPECT_NE(reply.strBody.find("post=a\r\n\r\nb\r\n--c"), std::string::npos) << reply.strBody;

    /* An empty POST reaches the router with an empty body. */
    reply = curl(url("/e"), {"-X", "POST"});
    EXPECT_EQ(reply.nStatus, 200);
    EXPECT_NE(reply.strBody.find("post="), std::string::npos);
    EXPECT_EQ(reply.strBody.find("post=(null)"), std::string::npos);

    /* A GET with a body: the body is dropped and the request routed once. */
    int fd = connectTo(m_nPort);
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(sendAll(fd,
                        "GET /g?q HTTP/1.1\r\nHost: x\r\nContent-Length: 5\r\n\r\nhello"
                        "GET /h HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n"));
    bool bClosed = false;
    std::string strIn = readUntilClosed(fd, 5000, &bClosed);
    close(fd);
    EXPECT_TRUE(bClosed);
    EXPECT_NE(strIn.find("path=/g\nargs=q\ntimeout=60\npost=(null)"), std::string::npos) << strIn;
    EXPECT_NE(strIn.find("path=/h\n"), std::string::npos) << strIn;
    size_t nReplies = 0;
    for (size_t n = strIn.find("HTTP/1.1 "); n != std::string::npos; n = strIn.find("HTTP/1.1 ", n + 1))
        nReplies++;
    EXPECT_EQ(nReplies, 2u) << strIn;
}

TEST_F(CgiServer, LargeConfigurationFitsAndOverflowIsRefused)
{
    setGlobal();
    start();

    /* A 64-channel configuration with five targets each, as the system prints it. */
    cJSON* root = cJSON_CreateObject();
    cJSON* channels = cJSON_AddArrayToObject(root, "channels");
    for (int i = 0; i < 64; i++) {
        std::string strTarget =
            "{\"format\":\"udp\",\"url\":\"udp://transcoder-host.example.local:1234\",\"video\":{\"enable\":true,"
            "\"codec\":\"h264\",\"width\":1920,\"height\":1080,\"frameRate\":29.97,\"keyFrameInterval\":5,"
            "\"quality\":0,\"bitRate\":4000,\"scanType\":0,\"IP\":\"127.0.0.1\",\"port\":1234,\"globalHeader\":"
            "\"inBand\",\"options\":[\"-preset:v faster\"]},\"audio\":{\"enable\":true,\"codec\":\"aac\","
            "\"sampleRate\":48000,\"channels\":2,\"bitRate\":128},\"mux\":{\"bitRate\":0,\"cbr\":false},"
            "\"rtmp\":{\"flashVer\":\"\",\"swfUrl\":\"\",\"user\":\"\",\"passwd\":\"\"}}";
        std::string strChannel =
            "{\"enable\":false,\"memo\":\"channel\",\"input\":{\"sources\":[{\"format\":\"rtsp\","
            "\"url\":\"rtsp://camera.example.local:554/stream1\",\"video\":{\"options\":[]}}],"
            "\"formatOptions\":[],\"customOptions\":\"\"},\"output\":{\"targets\":[" +
            strTarget + "," + strTarget + "," + strTarget + "," + strTarget + "," + strTarget +
            "],\"mapOptions\":[],\"formatOptions\":[],\"filters\":[],\"timeShift\":"
            "{\"cacheTime\":0,\"cacheFolder\":\"\"},\"customOptions\":\"\"}}";
        cJSON_AddItemToArray(channels, cJSON_Parse(strChannel.c_str()));
    }
    char* sz = cJSON_Print(root);
    std::string strConfig = sz;
    free(sz);
    cJSON_Delete(root);
    ASSERT_GT(strConfig.size(), 100000u);
    std::string strFile = m_dir.file("big.json");
    ruxotest::writeFile(strFile, strConfig);
    CurlReply reply = curl(url("/config?import"), {"-F", "file=@" + strFile});
    EXPECT_EQ(reply.nStatus, 200);
    size_t nPost = reply.strBody.find("post=");
    ASSERT_NE(nPost, std::string::npos);
    EXPECT_TRUE(reply.strBody.compare(nPost + 5, std::string::npos, strConfig) == 0)
        << "body of " << reply.strBody.size() << " bytes";

    /* A body over the limit is refused with 413 and reaches no route, whether its length is
     * announced (refused at once) or it comes in chunks (refused when it ends). */
    std::string strHuge(RUXO_CGI_POST_MAX, 'x');
    ruxotest::writeFile(strFile, strHuge);
    for (const char* szEncoding : {"Content-Type: text/plain", "Transfer-Encoding: chunked"}) {
        SCOPED_TRACE(szEncoding);
        reply = curl(url("/h"), {"-H", szEncoding, "--data-binary", "@" + strFile});
        EXPECT_EQ(reply.nStatus, 413);
        EXPECT_EQ(reply.strBody.find("path="), std::string::npos);
        EXPECT_EQ(reply.header("Content-Type"), "text/plain; charset=utf-8");
    }
    /* One byte less is the largest body that is taken, also in chunks. */
    strHuge.pop_back();
    ruxotest::writeFile(strFile, strHuge);
    reply = curl(url("/h"), {"-H", "Transfer-Encoding: chunked", "--data-binary", "@" + strFile});
    EXPECT_EQ(reply.nStatus, 200);
    EXPECT_EQ(reply.strBody.size(), strHuge.size() + reply.strBody.find("post=") + 5);

    /* Nothing is held afterwards. */
    EXPECT_NE(curl(url("/after"), {"--data", "ok"}).strBody.find("post=ok"), std::string::npos);
}

TEST_F(CgiServer, ChunksPastTheLimitAreAnswered413AndNeverRouted)
{
    setGlobal();
    start();
    /* Fill the body to 10 bytes below its limit, then send a chunk that does not fit and then one
     * that would: nothing reaches the route, and the connection is not held. */
    const size_t cchFirst = RUXO_CGI_POST_MAX - 11;
    auto chunk = [](const std::string& str) {
        char szSize[32];
        snprintf(szSize, sizeof(szSize), "%zx\r\n", str.size());
        return szSize + str + "\r\n";
    };
    int fd = connectTo(m_nPort);
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(
        sendAll(fd, "POST /big HTTP/1.1\r\nHost: x\r\nConnection: close\r\nTransfer-Encoding: chunked\r\n\r\n"));
    ASSERT_TRUE(sendAll(fd, chunk(std::string(cchFirst, 'A'))));
    ASSERT_TRUE(sendAll(fd, chunk(std::string(1000, 'B'))));
    ASSERT_TRUE(sendAll(fd, chunk("CCCCC") + "0\r\n\r\n"));
    bool bClosed = false;
    std::string strIn = readUntilClosed(fd, 8000, &bClosed);
    close(fd);
    EXPECT_EQ(statusOf(strIn), 413) << strIn.substr(0, 300);
    EXPECT_EQ(strIn.find("path="), std::string::npos);
}

TEST_F(CgiServer, EachRequestHasItsOwnBodyWithinLimitsPerClientAndInAll)
{
    /* Long enough for the steps below (each curl a process of its own, slow to start on a loaded
     * machine) to happen while the stalled uploads are still held. */
    g_nCGIIdleTimeout = 8;
    setGlobal();
    start();
    g_nCGIIdleTimeout = 60;

    /* Two stalled uploads from one address hold its two bodies: a third is refused with 503, and
     * so is any once eight are collected in all. Meanwhile GETs and other addresses are served. */
    std::vector<int> stalled;
    for (const char* szFrom :
         {"127.0.0.1", "127.0.0.1", "127.0.0.2", "127.0.0.2", "127.0.0.3", "127.0.0.3", "127.0.0.4"}) {
        stalled.push_back(startUpload(m_nPort, szFrom, "/stall", 100));
        ASSERT_GE(stalled.back(), 0);
    }
    ASSERT_TRUE(ruxotest::waitUntil(
        [&] {
            return curl(url("/x"), {"--interface", "127.0.0.1", "--data", "x"}).nStatus == 503;
        },
        5000));
    CurlReply reply = curl(url("/x"), {"--interface", "127.0.0.1", "--data", "x"});
    EXPECT_EQ(reply.strBody, "too many uploads at once\n");
    EXPECT_EQ(curl(url("/get")).nStatus, 200);
    reply = curl(url("/x"), {"--interface", "127.0.0.4", "--data", "eighth"});
    EXPECT_EQ(reply.nStatus, 200);
    EXPECT_NE(reply.strBody.find("post=eighth"), std::string::npos);
    stalled.push_back(startUpload(m_nPort, "127.0.0.4", "/stall", 100));
    ASSERT_GE(stalled.back(), 0);
    ASSERT_TRUE(ruxotest::waitUntil(
        [&] {
            return curl(url("/x"), {"--interface", "127.0.0.5", "--data", "x"}).nStatus == 503;
        },
        5000));

    /* A stalled upload that goes on is routed with the whole of its own body. */
    ASSERT_TRUE(sendAll(stalled[0], std::string(98, 'c')));
    bool bClosed = false;
    std::string strIn = readUntilClosed(stalled[0], 10000, &bClosed);
    EXPECT_NE(strIn.find("post=ab" + std::string(98, 'c')), std::string::npos) << strIn;
    EXPECT_EQ(curl(url("/x"), {"--interface", "127.0.0.5", "--data", "y"}).nStatus, 200);

    /* After the idle time-out the stalled connections are closed and their bodies free. */
    for (size_t i = 1; i < stalled.size(); i++) {
        readUntilClosed(stalled[i], 30000, &bClosed);
        EXPECT_TRUE(bClosed) << i;
    }
    for (int fd : stalled)
        close(fd);
    reply = curl(url("/third"), {"--data", "y"});
    EXPECT_EQ(reply.nStatus, 200);
    EXPECT_NE(reply.strBody.find("timeout=8\npost=y"), std::string::npos) << reply.strBody;

    /* An upload that the client abandons frees its body at once. */
    for (int n = 0; n < 2; n++) {
        int fdAbort = startUpload(m_nPort, "127.0.0.1", "/abort", 100);
        ASSERT_GE(fdAbort, 0);
        close(fdAbort);
    }
    ASSERT_TRUE(ruxotest::waitUntil([&] { return curl(url("/fourth"), {"--data", "z"}).nStatus == 200; }, 5000));
    ASSERT_TRUE(ruxotest::waitUntil([&] { return curl(url("/fifth"), {"--data", "z"}).nStatus == 200; }, 5000));
}

TEST_F(CgiServer, ARequestMustArriveInTimeEvenWhenItTrickles)
{
    g_nCGIRequestSeconds = 4;
    setGlobal();
    start();
    /* One byte every 200 ms keeps the connection far from idle, in the headers or in the body of a
     * GET or a POST; either way it is closed once the request is late, and nothing is routed. */
    for (const char* szRequest : {"GET /slow HTTP/1.1\r\nHost: x\r\nX-Trickle: ",
                                  "GET /slow HTTP/1.1\r\nHost: x\r\nContent-Length: 1000\r\n\r\n",
                                  "POST /slow HTTP/1.1\r\nHost: x\r\nContent-Length: 1000\r\n\r\n"}) {
        SCOPED_TRACE(szRequest);
        const long long tmStart = ruxotest::nowMs(); /* before the server can start its clock */
        int fd = connectTo(m_nPort);
        ASSERT_GE(fd, 0);
        ASSERT_TRUE(sendAll(fd, szRequest));
        bool bClosed = false;
        std::string strIn;
        while (!bClosed && ruxotest::nowMs() - tmStart < 30000) {
            strIn += readUntilClosed(fd, 200, &bClosed);
            if (!bClosed && send(fd, "z", 1, MSG_NOSIGNAL) != 1)
                bClosed = true;
        }
        const long long tmClosed = ruxotest::nowMs() - tmStart;
        close(fd);
        EXPECT_TRUE(bClosed);
        EXPECT_GE(tmClosed, 3995); /* both clocks count whole milliseconds */
        EXPECT_EQ(strIn.find("path="), std::string::npos);
    }

    /* The time counts from the moment the server waits for a request: for the first one the
     * connection's opening, for the next the end of the reply before it. */
    int fd = connectTo(m_nPort);
    ASSERT_GE(fd, 0);
    bool bClosed = false;
    std::string strIn;
    usleep(2500 * 1000);
    ASSERT_TRUE(sendAll(fd, "GET /one HTTP/1.1\r\nHost: x\r\n\r\n"));
    ASSERT_TRUE(ruxotest::waitUntil(
        [&] {
            strIn += readUntilClosed(fd, 100, &bClosed);
            return strIn.find("path=/one") != std::string::npos;
        },
        5000));
    usleep(3000 * 1000); /* past the connection's first four seconds, within four after the reply */
    ASSERT_TRUE(sendAll(fd, "GET /two HTTP/1.1\r\nHost: x\r\n\r\n"));
    ASSERT_TRUE(ruxotest::waitUntil(
        [&] {
            strIn += readUntilClosed(fd, 100, &bClosed);
            return strIn.find("path=/two") != std::string::npos;
        },
        5000))
        << strIn;
    close(fd);
}

TEST_F(CgiServer, DefaultIdleTimeoutIsSixtySeconds)
{
    setGlobal();
    start();
    EXPECT_NE(curl(url("/t")).strBody.find("timeout=60\n"), std::string::npos);
}

/* ---- methods --------------------------------------------------------------------------------- */

TEST_F(CgiServer, OtherMethodsAndRefusedRepliesCloseTheConnection)
{
    setGlobal();
    start();
    const char* requests[] = {
        "HEAD / HTTP/1.1\r\nHost: x\r\n\r\n",
        "PUT /config HTTP/1.1\r\nHost: x\r\nContent-Length: 2\r\n\r\n{}",
        "DELETE / HTTP/1.1\r\nHost: x\r\n\r\n",
        "GET /fail HTTP/1.1\r\nHost: x\r\n\r\n",
        "POST /fail HTTP/1.1\r\nHost: x\r\nContent-Length: 2\r\n\r\nab",
    };
    for (const char* szRequest : requests) {
        bool bClosed = false;
        std::string strIn = rawExchange(m_nPort, szRequest, &bClosed);
        EXPECT_TRUE(bClosed) << szRequest;
        EXPECT_EQ(strIn, "") << szRequest;
    }
    EXPECT_NE(curl(url("/"), {"-I"}).nExit, 0);
    EXPECT_NE(curl(url("/"), {"-X", "PUT", "--data", "x"}).nExit, 0);
    /* The failed POST left the body buffer free. */
    EXPECT_NE(curl(url("/ok"), {"--data", "ok"}).strBody.find("post=ok"), std::string::npos);
}

/* ---- login ----------------------------------------------------------------------------------- */

const char* const s_szLoginPage =
    "<html>\n<head>\n<title>Strovanta!</title>\n</head>\n"
    "<body>\n<div style=\"width: 100%; position: absolute; top: 30%; text-align: center\">\n"
    "<h2>RUXOD Login Authentication</h2>\n"
    "<form action=\"login\" method=\"post\">\n <input type=\"password\" name=\"auth\" required>\n"
    " <input type=\"submit\" value=\"Login\">\n</form></div>\n</body>\n</html>";

TEST_F(CgiServer, LoginGate)
{
    const std::string strPass = "p a+ss%41w;o&rd=\"\xc3\xa9";
    setGlobal("\"loginPass\": " + jsonQuote(strPass));
    start();

    for (const char* szPath : {"/", "/status", "/runtime", "/config", "/index.html"}) {
        CurlReply reply = curl(url(szPath));
        EXPECT_EQ(reply.nStatus, 200) << szPath;
        EXPECT_EQ(reply.header("Content-Type"), "text/html") << szPath;
        EXPECT_EQ(reply.header("Connection"), "Keep-Alive") << szPath;
        EXPECT_EQ(reply.strBody, s_szLoginPage) << szPath;
    }
    /* A POST without the cookie gets the page too, and reaches no route. */
    EXPECT_EQ(curl(url("/config"), {"--data", "{}"}).strBody, s_szLoginPage);

    /* The login path, with and without a cookie to set. */
    for (const char* szPath : {"/login", "/LOGIN", "/logistics"}) {
        CurlReply reply = curl(url(szPath));
        EXPECT_EQ(reply.nStatus, 301) << szPath;
        EXPECT_EQ(reply.header("Location"), "/") << szPath;
        EXPECT_EQ(reply.header("Set-Cookie"), "") << szPath;
        EXPECT_EQ(reply.strBody, "") << szPath;
    }
    CurlReply reply = curl(url("/login"), {"--data", "user=x&auth=y"});
    EXPECT_EQ(reply.nStatus, 301);
    EXPECT_EQ(reply.header("Set-Cookie"), "");

    /* The page's form, form-encoded by the client: the cookie comes back percent-encoded. */
    reply = curl(url("/login"), {"--data-urlencode", "auth=" + strPass});
    EXPECT_EQ(reply.nStatus, 301);
    std::string strSetCookie = reply.header("Set-Cookie");
    EXPECT_EQ(strSetCookie, cgiLoginCookie(strPass));
    ASSERT_EQ(strSetCookie.compare(0, 5, "auth="), 0);
    std::string strCookie = strSetCookie.substr(0, strSetCookie.find(';'));

    /* The browser's round trip through a cookie jar, following the redirect. */
    std::string strJar = m_dir.file("jar.txt");
    reply = curl(url("/login"), {"-c", strJar, "-b", strJar, "-L", "--data-urlencode", "auth=" + strPass});
    EXPECT_EQ(reply.nStatus, 200);
    EXPECT_NE(reply.strBody.find("path=/\n"), std::string::npos) << reply.strBody;

    reply = curl(url("/status?x=1"), {"-H", "Cookie: other=" + std::string(9000, 'o') + "; " + strCookie});
    EXPECT_EQ(reply.nStatus, 200);
    EXPECT_NE(reply.strBody.find("path=/status\nargs=x=1\n"), std::string::npos) << reply.strBody;

    /* Of several "auth" cookies (another application's among them) any one that holds the
     * password admits, wherever it stands. */
    for (const std::string& strCookies :
         {"auth=wrong; " + strCookie, strCookie + "; auth=wrong", "auth=x; other=1; " + strCookie + "; auth=y"}) {
        reply = curl(url("/status"), {"-H", "Cookie: " + strCookies});
        EXPECT_NE(reply.strBody.find("path=/status\n"), std::string::npos) << strCookies;
    }
    EXPECT_EQ(curl(url("/status"), {"-H", "Cookie: auth=wrong; auth=also-wrong"}).strBody, s_szLoginPage);

    /* Passing the gate, "/login" is a route like any other. */
    EXPECT_NE(curl(url("/login"), {"-b", strCookie}).strBody.find("path=/login\n"), std::string::npos);

    /* Wrong cookie names and values meet the page. */
    for (const std::string& strBad :
         {"authx=" + strCookie.substr(5), "Auth=" + strCookie.substr(5), strCookie + "x", std::string("auth=")}) {
        EXPECT_EQ(curl(url("/status"), {"-b", strBad}).strBody, s_szLoginPage) << strBad;
    }

    /* Without a password there is no login at all. */
    setGlobal("\"loginPass\": \"\"");
    EXPECT_NE(curl(url("/status")).strBody.find("path=/status\n"), std::string::npos);
    EXPECT_NE(curl(url("/login")).strBody.find("path=/login\n"), std::string::npos);
}

TEST_F(CgiServer, ClientsWithoutThePasswordHoldNothingTheOthersNeed)
{
    setGlobal("\"loginPass\": \"pw\"");
    start();

    /* A POST without the cookie is answered by the gate at once: the client that would trickle
     * its body gets the login page before it has sent it, and holds nothing. */
    int fd = startUpload(m_nPort, "127.0.0.9", "/config", 100000);
    ASSERT_GE(fd, 0);
    bool bClosed = false;
    std::string strIn;
    ASSERT_TRUE(ruxotest::waitUntil(
        [&] {
            strIn += readUntilClosed(fd, 100, &bClosed);
            return bClosed || strIn.find("</html>") != std::string::npos;
        },
        5000))
        << strIn;
    close(fd);
    EXPECT_EQ(statusOf(strIn), 200);
    EXPECT_NE(strIn.find("Login Authentication"), std::string::npos);

    /* Login forms that trickle, two from each of five addresses, take no body that a client with
     * the password needs: its posts and other logins go on. */
    std::vector<int> stalled;
    for (int i = 1; i <= 5; i++) {
        std::string strFrom = "127.0.1." + std::to_string(i);
        for (int n = 0; n < 2; n++) {
            stalled.push_back(startUpload(m_nPort, strFrom.c_str(), "/login", 100));
            ASSERT_GE(stalled.back(), 0);
        }
    }
    ASSERT_TRUE(ruxotest::waitUntil(
        [&] {
            return curl(url("/login"), {"--interface", "127.0.1.1", "--data", "auth=pw"}).nStatus == 503;
        },
        5000));
    CurlReply reply = curl(url("/login"), {"--interface", "127.0.0.1", "--data", "auth=pw"});
    EXPECT_EQ(reply.nStatus, 301);
    EXPECT_EQ(reply.header("Set-Cookie"), cgiLoginCookie("pw"));
    for (int n = 0; n < 2 * RUXO_CGI_BODIES_MAX; n++) {
        reply = curl(url("/config"), {"--interface", "127.0.0.1", "-b", "auth=pw", "--data", "{}"});
        ASSERT_EQ(reply.nStatus, 200);
        EXPECT_NE(reply.strBody.find("post={}"), std::string::npos);
    }

    /* A login form is at most 4 KiB, announced or chunked. */
    const std::string strLong = "auth=" + std::string(RUXO_CGI_LOGIN_BODY_MAX, 'p');
    EXPECT_EQ(curl(url("/login"), {"--data", strLong}).nStatus, 413);
    EXPECT_EQ(curl(url("/login"), {"-H", "Transfer-Encoding: chunked", "--data", strLong}).nStatus, 413);
    EXPECT_EQ(curl(url("/login"), {"--data", strLong.substr(0, RUXO_CGI_LOGIN_BODY_MAX)}).nStatus, 301);
    /* Past the gate the same body is an ordinary one. */
    EXPECT_NE(curl(url("/login"), {"-b", "auth=pw", "--data", strLong}).strBody.find("post=" + strLong),
              std::string::npos);
    for (int fdStalled : stalled)
        close(fdStalled);
}

TEST_F(CgiServer, RequestLogRotatesAndCutsLongPaths)
{
    setGlobal("", 32);
    start();
    /* A full log is moved to the numbered files, as the channel logs are, before the next line. */
    ASSERT_TRUE(ruxotest::writeFile(m_strLog, std::string(5000001, 'o')));
    ASSERT_TRUE(ruxotest::writeFile(m_dir.file("ruxod_cgi-1.log"), "first"));
    const std::string strLong(3000, 'L');
    EXPECT_EQ(curl(url("/" + strLong + "?q")).nStatus, 200);
    EXPECT_EQ(ruxotest::readFile(m_dir.file("ruxod_cgi-1.log")), "first");
    EXPECT_EQ(ruxotest::fileSize(m_dir.file("ruxod_cgi-2.log")), 5000001);
    std::string strLog = ruxotest::readFile(m_strLog);
    EXPECT_EQ(ruxotest::countOf(strLog, "\n"), 2u) << strLog.size();
    EXPECT_NE(strLog.find("] GET /" + std::string(999, 'L') + "... from 127.0.0.1:"), std::string::npos) << strLog;
    EXPECT_EQ(strLog.find(std::string(1000, 'L')), std::string::npos);
    /* A named pipe at the log's path holds nothing up: the request is answered, no line written. */
    ASSERT_EQ(unlink(m_strLog.c_str()), 0);
    ASSERT_EQ(mkfifo(m_strLog.c_str(), 0600), 0);
    EXPECT_EQ(curl(url("/piped")).nStatus, 200);
    ASSERT_EQ(unlink(m_strLog.c_str()), 0);

    /* A path of exactly 1000 characters is written whole. */
    EXPECT_EQ(curl(url("/" + std::string(999, 'k'))).nStatus, 200);
    strLog = ruxotest::readFile(m_strLog);
    EXPECT_NE(strLog.find("] GET /" + std::string(999, 'k') + " from 127.0.0.1:"), std::string::npos);
}

}  // namespace

/* ---- the settings provider ------------------------------------------------------------------ */

namespace {

/* A provider of the test's own: every client admitted, the password "sesame", the port it is
 * given, no request log, no port to keep. */
int s_nOwnProviderPort = 0;

BOOL ownAccessList(std::string* pstrAcl)
{
    pstrAcl->clear();
    return TRUE;
}

std::string ownLoginPass(void)
{
    return "sesame";
}

void ownListen(RUXO_CGI_LISTEN* pListen)
{
    pListen->nPort = s_nOwnProviderPort;
}

const RUXO_CGI_PROVIDER kOwnProvider = {ownAccessList, nullptr, ownLoginPass, ownListen, nullptr};

}  // namespace

/* The server runs with what the registered provider says, never with the configuration behind
 * it: the tree's port and password count for nothing under another provider, and without a
 * provider the server listens on 8888 with no login gate. */
TEST_F(CgiServer, SettingsComeFromTheRegisteredProviderAlone)
{
    setGlobal("\"loginPass\": \"tree\"");
    s_nOwnProviderPort = freePort();
    ASSERT_NE(s_nOwnProviderPort, 0);
    ASSERT_NE(s_nOwnProviderPort, m_nPort);
    const std::string strOwn = "http://127.0.0.1:" + std::to_string(s_nOwnProviderPort);

    ruxoCGISetProvider(&kOwnProvider);
    start();
    EXPECT_LT(connectTo(m_nPort), 0) << "the server listens on the tree's port";
    EXPECT_EQ(curl(strOwn + "/x").strBody, s_szLoginPage);
    EXPECT_EQ(curl(strOwn + "/x", {"-b", "auth=tree"}).strBody, s_szLoginPage);
    CurlReply reply = curl(strOwn + "/x", {"-b", "auth=sesame"});
    EXPECT_EQ(reply.nStatus, 200);
    EXPECT_NE(reply.strBody.find("path=/x"), std::string::npos) << reply.strBody;
    ruxoStopCGI();

    ruxoCGISetProvider(nullptr);
    start();
    EXPECT_LT(connectTo(m_nPort), 0) << "the server listens on the tree's port";
    reply = curl("http://127.0.0.1:8888/x");
    EXPECT_EQ(reply.nStatus, 200);
    EXPECT_NE(reply.strBody.find("path=/x"), std::string::npos) << reply.strBody;
}

/* ---- application name ------------------------------------------------------------------------ */

/* Run in a copy of this program in a folder of its own: ruxoAppName reads "ruxooem.txt" beside
 * the program. The parent passes the expected name in RUXO_TEST_APPNAME. */
TEST(CgiTitles, AppNameFromProgramFolder)
{
    const char* szExpect = getenv("RUXO_TEST_APPNAME");
    if (szExpect != nullptr) {
        EXPECT_STREQ(ruxoAppName(), szExpect);
        EXPECT_EQ(ruxoAppName(), ruxoAppName());
        return;
    }

    char szExe[4096];
    ssize_t cch = readlink("/proc/self/exe", szExe, sizeof(szExe) - 1);
    ASSERT_GT(cch, 0);
    szExe[cch] = '\0';
    std::string strExe = szExe;
    if (strExe.substr(0, strExe.rfind('/')) != ruxoGetProgDir())
        GTEST_SKIP() << "the program folder is not the executable's";

    struct Case {
        const char* szFile; /* null: no file */
        std::string strName;
    } cases[] = {
        {"Custom Name\nsecond line\n", "Custom Name\n"},
        {"no line end", "no line end"},
        {"", "Strovanta!"},
        {nullptr, "Strovanta!"},
        {"LONG", std::string(98, 'n')},
    };
    for (const Case& c : cases) {
        ruxotest::TempDir dir("cgi-name");
        ASSERT_TRUE(dir.ok());
        const std::string& strDir = dir.path();
        ASSERT_EQ(runCaptured({"cp", strExe, strDir + "/t"}).nExit, 0);
        if (c.szFile != nullptr)
            ruxotest::writeFile(strDir + "/ruxooem.txt",
                                std::string(c.szFile) == "LONG" ? std::string(300, 'n') + "\n" : c.szFile);
        setenv("RUXO_TEST_APPNAME", c.strName.c_str(), 1);
        RunResult r = runCaptured({strDir + "/t", "--gtest_filter=CgiTitles.AppNameFromProgramFolder"});
        unsetenv("RUXO_TEST_APPNAME");
        EXPECT_EQ(r.nExit, 0) << (c.szFile ? c.szFile : "(no file)") << "\n" << r.strOut;
        EXPECT_NE(r.strOut.find("[  PASSED  ] 1 test."), std::string::npos) << r.strOut;
    }
}
