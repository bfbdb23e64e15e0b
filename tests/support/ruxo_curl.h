/* ruxo_curl.h -- the HTTP client of the web-server and route tests: runs the curl binary against a
 * loopback server and returns the status, the headers and the body of the reply. Also the process
 * runner under it, a loopback port that nothing listens on, and raw sockets for what curl cannot
 * do (a chosen local address, a request that stalls, a port held taken). Header-only. */
#ifndef RUXO_CURL_H
#define RUXO_CURL_H

#include <arpa/inet.h>
#include <ctype.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <utility>
#include <vector>

#include "ruxo_test_env.h"

extern char** environ;

struct RunResult {
    int nExit = -1; /* the program's exit status; -1 when it did not start or did not exit */
    std::string strOut;
};

/* Runs a program with its standard output captured (standard input and error on /dev/null). */
inline RunResult runCaptured(const std::vector<std::string>& args)
{
    RunResult result;
    int fds[2];
    if (args.empty() || pipe2(fds, O_CLOEXEC) != 0)
        return result;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    std::vector<char*> argv;
    for (const std::string& s : args)
        argv.push_back(const_cast<char*>(s.c_str()));
    argv.push_back(nullptr);
    pid_t pid = 0;
    int rc = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    if (rc != 0) {
        close(fds[0]);
        return result;
    }
    char buf[65536];
    ssize_t n;
    while ((n = read(fds[0], buf, sizeof(buf))) > 0)
        result.strOut.append(buf, (size_t)n);
    close(fds[0]);
    int status = 0;
    if (waitpid(pid, &status, 0) == pid && WIFEXITED(status))
        result.nExit = WEXITSTATUS(status);
    return result;
}

struct CurlReply {
    int nStatus = 0;                                          /* 0: no reply at all (connection closed, refused) */
    int nExit = -1;                                           /* curl's exit status */
    std::vector<std::pair<std::string, std::string>> headers; /* names in lower case, in order */
    std::string strBody;

    static std::string lower(std::string str)
    {
        for (auto& c : str)
            c = (char)tolower((unsigned char)c);
        return str;
    }
    /* The first header of that name (any case), or "" when there is none. */
    std::string header(const std::string& strName) const
    {
        const std::string strKey = lower(strName);
        for (const auto& h : headers) {
            if (h.first == strKey)
                return h.second;
        }
        return std::string();
    }
    bool hasHeader(const std::string& strName) const { return count(strName) > 0; }
    int count(const std::string& strName) const
    {
        const std::string strKey = lower(strName);
        int n = 0;
        for (const auto& h : headers)
            n += h.first == strKey;
        return n;
    }
};

/* Runs curl with the given arguments (the URL among them). URL globbing is off, so brackets and
 * braces reach the server as they are. */
inline CurlReply curlRun(const std::vector<std::string>& args)
{
    std::vector<std::string> argv = {"curl", "-sS", "-g", "--max-time", "10", "-D", "-", "-o", "-"};
    argv.insert(argv.end(), args.begin(), args.end());
    RunResult run = runCaptured(argv);
    CurlReply r;
    r.nExit = run.nExit;
    /* Interim replies (100 Continue) and redirects followed with -L come first: the last header
     * block is the reply. */
    std::string strHeaders;
    std::string strRest = run.strOut;
    while (strRest.compare(0, 5, "HTTP/") == 0) {
        size_t nEnd = strRest.find("\r\n\r\n");
        if (nEnd == std::string::npos)
            break;
        strHeaders = strRest.substr(0, nEnd + 2);
        strRest = strRest.substr(nEnd + 4);
        r.strBody = strRest;
        sscanf(strHeaders.c_str(), "HTTP/%*s %d", &r.nStatus);
    }
    size_t i = strHeaders.find("\r\n"); /* past the status line */
    while (i != std::string::npos && i + 2 < strHeaders.size()) {
        size_t nStart = i + 2;
        i = strHeaders.find("\r\n", nStart);
        std::string strLine = strHeaders.substr(nStart, i == std::string::npos ? std::string::npos : i - nStart);
        size_t nColon = strLine.find(':');
        if (nColon == std::string::npos)
            continue;
        size_t v = nColon + 1;
        while (v < strLine.size() && strLine[v] == ' ')
            v++;
        r.headers.emplace_back(CurlReply::lower(strLine.substr(0, nColon)), strLine.substr(v));
    }
    return r;
}

/* Strict JSON check by a second, independent parser (Python's), when one is installed.
 * Returns 1 when the text is valid JSON, 0 when not, -1 when no checker is available. */
inline int curlStrictJson(const std::string& strDir, const std::string& strText)
{
    if (access("/usr/bin/python3", X_OK) != 0)
        return -1;
    const std::string strPath = strDir + "/strict.json";
    ruxotest::writeFile(strPath, strText);
    std::string cmd =
        "/usr/bin/python3 -c 'import json,sys; json.loads(open(sys.argv[1],\"rb\").read()"
        ".decode(\"utf-8\"))' '" +
        strPath + "' 2>/dev/null";
    return system(cmd.c_str()) == 0 ? 1 : 0;
}

/* A loopback port that nothing listens on right now, 0 when none could be found. */
inline int freePort()
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(addr);
    int nPort = 0;
    if (fd >= 0 && bind(fd, (sockaddr*)&addr, sizeof(addr)) == 0 && getsockname(fd, (sockaddr*)&addr, &len) == 0)
        nPort = ntohs(addr.sin_port);
    if (fd >= 0)
        close(fd);
    return nPort;
}

/* A TCP connection to 127.0.0.1:nPort from the local address szFrom (a loopback address, or one
 * added to the loopback interface of a test's own network namespace). With bWait false the socket
 * is non-blocking and the connection may still be on its way. -1 on failure. */
inline int connectFrom(const char* szFrom, int nPort, bool bWait = true)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | (bWait ? 0 : SOCK_NONBLOCK), 0);
    if (fd < 0)
        return -1;
    sockaddr_in from{};
    from.sin_family = AF_INET;
    inet_pton(AF_INET, szFrom, &from.sin_addr);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons((uint16_t)nPort);
    if (bind(fd, (sockaddr*)&from, sizeof(from)) != 0 ||
        (connect(fd, (sockaddr*)&to, sizeof(to)) != 0 && (bWait || errno != EINPROGRESS))) {
        close(fd);
        return -1;
    }
    return fd;
}

/* Sends the whole text (waiting on a full non-blocking socket); false when the peer is gone. */
inline bool sendAll(int fd, const std::string& str)
{
    size_t nDone = 0;
    while (nDone < str.size()) {
        ssize_t n = send(fd, str.data() + nDone, str.size() - nDone, MSG_NOSIGNAL);
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            pollfd pfd{fd, POLLOUT, 0};
            poll(&pfd, 1, 1000);
            continue;
        }
        if (n <= 0)
            return false;
        nDone += (size_t)n;
    }
    return true;
}

/* One HTTP/1.0 request (its whole text) to 127.0.0.1:nPort over a raw socket (no process started,
 * so it can be timed): the reply's status (0 when there was none within nTimeoutMs), its body into
 * *pBody when given. The server closes the connection after the reply. */
inline int rawRequest(int nPort, const std::string& strRequest, std::string* pBody = nullptr, int nTimeoutMs = 10000)
{
    int fd = connectFrom("127.0.0.1", nPort);
    if (fd < 0)
        return 0;
    std::string strReply;
    const long long tmEnd = ruxotest::nowMs() + nTimeoutMs;
    if (sendAll(fd, strRequest)) {
        for (;;) {
            long long nLeft = tmEnd - ruxotest::nowMs();
            pollfd pfd{fd, POLLIN, 0};
            if (nLeft <= 0 || poll(&pfd, 1, (int)nLeft) <= 0)
                break;
            char buf[16384];
            ssize_t n = recv(fd, buf, sizeof(buf), 0);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            strReply.append(buf, (size_t)n);
            /* A reply that announces its length is whole once that much body has come (a kept-alive
             * connection would otherwise stay open). */
            size_t nHead = strReply.find("\r\n\r\n");
            std::string strHead = CurlReply::lower(strReply.substr(0, nHead));
            size_t nLength = strHead.find("\r\ncontent-length:");
            if (nHead != std::string::npos && nLength != std::string::npos &&
                strReply.size() - nHead - 4 >= strtoull(strHead.c_str() + nLength + 17, nullptr, 10))
                break;
        }
    }
    close(fd);
    int nStatus = 0;
    size_t nEnd = strReply.find("\r\n\r\n");
    if (nEnd == std::string::npos || sscanf(strReply.c_str(), "HTTP/%*s %d", &nStatus) != 1)
        return 0;
    if (pBody)
        *pBody = strReply.substr(nEnd + 4);
    return nStatus;
}

/* A GET of strPath over a raw socket, as rawRequest. */
inline int rawGet(int nPort, const std::string& strPath, std::string* pBody = nullptr, int nTimeoutMs = 10000)
{
    return rawRequest(nPort, "GET " + strPath + " HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n", pBody, nTimeoutMs);
}

/* A POST of strBody to strPath over a raw socket, as rawRequest. */
inline int rawPost(int nPort, const std::string& strPath, const std::string& strBody, std::string* pBody = nullptr,
                   int nTimeoutMs = 10000)
{
    return rawRequest(nPort,
                      "POST " + strPath + " HTTP/1.0\r\nHost: 127.0.0.1\r\nContent-Type: application/json\r\n" +
                          "Content-Length: " + std::to_string(strBody.size()) + "\r\n\r\n" + strBody,
                      pBody, nTimeoutMs);
}

/* A socket that listens on the port on every address, so that no server can bind it; -1 on failure. */
inline int holdPort(int nPort)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons((uint16_t)nPort);
    if (fd >= 0 && bind(fd, (sockaddr*)&addr, sizeof(addr)) == 0 && listen(fd, 4) == 0)
        return fd;
    if (fd >= 0)
        close(fd);
    return -1;
}

#endif
