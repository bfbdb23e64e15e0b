/* transcoder_wait.cpp -- the watcher that ends ffmpeg when the daemon is gone and keeps a served
 * output's silent wait for its client from looking like a hang (see transcoder_wait.h for why and
 * how it is laid out). */
#include "transcoder_wait.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>

#include "ruxo_text_core.h"

namespace {

const int kMaxFds = 65536;        /* descriptors of ffmpeg looked at, at most */
const int kMaxRows = 1000000;     /* rows of one TCP table looked at, at most */
const unsigned kTcpListen = 0x0A; /* the LISTEN state in /proc/net/tcp */

/* The local port of the first row of a TCP table in the LISTEN state whose socket is one of
 * vInodes (sorted), or 0. */
int _listenPortIn(const std::string& strTable, const std::vector<unsigned long>& vInodes)
{
    FILE* pFile = fopen(strTable.c_str(), "re");
    if (!pFile)
        return 0;
    int nPort = 0;
    char szLine[512];
    /* Rows: "sl local_address rem_address st tx:rx tr:when retrnsmt uid timeout inode ..."; the
     * header line fails the scan. */
    for (int nRow = 0; nRow < kMaxRows && fgets(szLine, sizeof szLine, pFile); nRow++) {
        unsigned nLocalPort = 0, nState = 0;
        unsigned long nInode = 0;
        if (sscanf(szLine, "%*s %*[0-9A-Fa-f]:%x %*s %x %*s %*s %*s %*s %*s %lu", &nLocalPort, &nState, &nInode) != 3)
            continue;
        if (nState == kTcpListen && std::binary_search(vInodes.begin(), vInodes.end(), nInode)) {
            nPort = (int)nLocalPort;
            break;
        }
    }
    fclose(pFile);
    return nPort;
}

/* Milliseconds of the monotonic clock. */
long long _nowMs()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (long long)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

void _sleepMs(long nMs)
{
    struct timespec ts = {nMs / 1000, (nMs % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

/* The daemon is gone: ffmpeg gets SIGINT, and SIGKILL when it is still our parent after the grace
 * time. Only our parent is ever signalled, and only while it is our parent, so a reused pid is
 * never hit. */
[[noreturn]] void _stopOrphan(pid_t pidFfmpeg)
{
    if (getppid() != pidFfmpeg)
        _exit(0);
    kill(pidFfmpeg, SIGINT);
    long long tmKill = _nowMs() + RUXO_TC_STOP_GRACE_SECS * 1000LL;
    while (_nowMs() < tmKill) {
        _sleepMs(50);
        if (getppid() != pidFfmpeg)
            _exit(0);
    }
    kill(pidFfmpeg, SIGKILL);
    _exit(0);
}

/* Reads what waits on standard input; true when the input has ended (or cannot be read any more),
 * that is when the daemon that holds its write end is gone. Anything read is dropped: the daemon
 * writes nothing after the line. */
bool _inputEnded()
{
    char buf[512];
    ssize_t nRead = read(STDIN_FILENO, buf, sizeof buf);
    if (nRead > 0)
        return false;
    return nRead == 0 || (errno != EINTR && errno != EAGAIN);
}

/* The watcher's life; it never returns. Runs in the fork of the single-threaded stand-in, so the
 * ordinary library calls are safe here. _exit keeps the stand-in's stdio buffers and exit hooks
 * out of it. */
[[noreturn]] void _watch(pid_t pidFfmpeg, const std::vector<std::string>& vServed, int nInterval, int fdExec)
{
    /* The kernel ends us when our parent, soon ffmpeg, dies; had it died before this call, our
     * parent is already another process. */
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != pidFfmpeg)
        _exit(0);
    /* Wait until the parent has become ffmpeg: its exec closes the write end of fdExec. Only
     * ffmpeg is ever stopped; a stand-in that fails to exec ends by itself, and us with it. */
    char c;
    while (read(fdExec, &c, 1) < 0 && errno == EINTR) {
    }
    close(fdExec);
    if (getppid() != pidFfmpeg)
        _exit(0);
    prctl(PR_SET_NAME, RUXO_TC_WAIT_COMM);
    signal(SIGPIPE, SIG_IGN); /* a closed output shows as the write's error instead */

    /* Only the daemon's two pipes on 0, 1 and 2 stay; nothing else of the stand-in is held. */
    if (close_range(3, ~0U, 0) != 0)
        for (int fd = 3; fd < 1024; fd++)
            close(fd);
    if (chdir("/") != 0) {
        /* the working folder merely stays held */
    }

    struct pollfd pfd = {STDIN_FILENO, POLLIN, 0};
    long long tmTick = _nowMs() + 1000;
    for (int nTick = 0;;) {
        long long nLeft = tmTick - _nowMs();
        int nReady = poll(&pfd, 1, nLeft > 0 ? (int)nLeft : 0);
        if (getppid() != pidFfmpeg)
            _exit(0);
        if (nReady > 0 && (pfd.revents & POLLNVAL))
            pfd.fd = -1; /* no input to watch after all: poll leaves it out from now on */
        else if (nReady > 0 && pfd.revents != 0 && _inputEnded())
            _stopOrphan(pidFfmpeg);
        long long tmNow = _nowMs();
        if (tmNow < tmTick)
            continue;
        tmTick = tmNow + 1000;
        nTick++;
        if (vServed.empty() || nTick % nInterval != 0)
            continue;
        int nPort = ruxoTcListenPort(pidFfmpeg);
        if (nPort <= 0)
            continue; /* no listening socket: a real hang stays silent */
        std::string strNotice = ruxoTcWaitNotice(vServed, nPort);
        /* Nobody reads the output any more: the daemon is gone. */
        if (!writeAll(STDERR_FILENO, strNotice.data(), strNotice.size()) && errno == EPIPE)
            _stopOrphan(pidFfmpeg);
    }
}

}  // namespace

int ruxoTcWaitInterval(const char* pszValue)
{
    if (!pszValue || !*pszValue)
        return RUXO_TC_WAIT_SECS;
    char* pEnd = nullptr;
    errno = 0;
    long n = strtol(pszValue, &pEnd, 10);
    if (errno != 0 || *pEnd != '\0' || n < 1 || n > RUXO_TC_WAIT_SECS_MAX)
        return RUXO_TC_WAIT_SECS;
    return (int)n;
}

int ruxoTcUrlPort(const std::string& strUrl)
{
    size_t iScheme = strUrl.find("://");
    if (iScheme == std::string::npos)
        return -1;
    bool bHttps = iScheme == 5 && ruxoStartsNoCase(strUrl, "https");
    if (!bHttps && !(iScheme == 4 && ruxoStartsNoCase(strUrl, "http")))
        return -1;
    size_t iHost = iScheme + 3;
    size_t iEnd = strUrl.find_first_of("/?#", iHost);
    std::string strAuth = strUrl.substr(iHost, iEnd == std::string::npos ? std::string::npos : iEnd - iHost);
    size_t iAt = strAuth.rfind('@');
    if (iAt != std::string::npos)
        strAuth.erase(0, iAt + 1);
    size_t iColon = std::string::npos;
    if (!strAuth.empty() && strAuth[0] == '[') {
        size_t iClose = strAuth.find(']');
        if (iClose == std::string::npos)
            return -1;
        if (iClose + 1 < strAuth.size()) {
            if (strAuth[iClose + 1] != ':')
                return -1;
            iColon = iClose + 1;
        }
    } else {
        iColon = strAuth.rfind(':');
    }
    if (iColon == std::string::npos)
        return bHttps ? 443 : 80;
    std::string strPort = strAuth.substr(iColon + 1);
    if (strPort.empty() || strPort.size() > 5 || strPort.find_first_not_of("0123456789") != std::string::npos)
        return -1;
    int nPort = atoi(strPort.c_str());
    return nPort >= 1 && nPort <= 65535 ? nPort : -1;
}

int ruxoTcListenPort(pid_t pid)
{
    std::string strProc = "/proc/" + std::to_string((long)pid);
    DIR* pDir = opendir((strProc + "/fd").c_str());
    if (!pDir)
        return -1;
    std::vector<unsigned long> vInodes;
    struct dirent* pEnt;
    for (int n = 0; n < kMaxFds && (pEnt = readdir(pDir)) != nullptr; n++) {
        if (pEnt->d_name[0] == '.')
            continue;
        char szLink[64];
        ssize_t nLen = readlinkat(dirfd(pDir), pEnt->d_name, szLink, sizeof szLink - 1);
        if (nLen <= 0)
            continue;
        szLink[nLen] = '\0';
        unsigned long nInode = 0;
        if (sscanf(szLink, "socket:[%lu]", &nInode) == 1)
            vInodes.push_back(nInode);
    }
    closedir(pDir);
    if (vInodes.empty())
        return 0;
    std::sort(vInodes.begin(), vInodes.end());
    /* The tables of ffmpeg's own network namespace. */
    int nPort = _listenPortIn(strProc + "/net/tcp", vInodes);
    if (nPort == 0)
        nPort = _listenPortIn(strProc + "/net/tcp6", vInodes);
    return nPort;
}

std::string ruxoTcWaitNotice(const std::vector<std::string>& vServed, int nPort)
{
    std::string strUrl;
    for (const std::string& str : vServed) {
        if (ruxoTcUrlPort(str) == nPort) {
            strUrl = str;
            break;
        }
    }
    if (strUrl.empty() && !vServed.empty())
        strUrl = vServed[0];
    bool bCut = strUrl.size() > RUXO_TC_WAIT_URL_MAX;
    if (bCut)
        strUrl.resize(RUXO_TC_WAIT_URL_MAX);
    for (char& c : strUrl)
        if ((unsigned char)c <= 0x20 || (unsigned char)c >= 0x7f)
            c = '?';
    return "ruxod.so: waiting for a client on " + strUrl + (bCut ? "..." : "") + "\n";
}

pid_t ruxoTcStartWatcher(const std::vector<std::string>& vServed, std::string& strErr)
{
    pid_t pidSelf = getpid();
    int nInterval = ruxoTcWaitInterval(getenv(RUXO_TC_WAIT_ENV));
    int fdExec[2];
    if (pipe2(fdExec, O_CLOEXEC) != 0) {
        strErr = std::string("cannot start the watcher: ") + strerror(errno);
        return -1;
    }
    pid_t pid = fork();
    if (pid < 0) {
        strErr = std::string("cannot start the watcher: ") + strerror(errno);
        close(fdExec[0]);
        close(fdExec[1]);
        return -1;
    }
    if (pid == 0) {
        close(fdExec[1]);
        _watch(pidSelf, vServed, nInterval, fdExec[0]);
    }
    /* The write end stays open until our exec closes it, which tells the watcher. */
    close(fdExec[0]);
    return pid;
}
