/* test_transcoder_wait.cpp -- the pieces of the stand-in's client-wait notices, in-process: the
 * interval setting, the port a served URL names, the notice text, and the LISTEN-socket check
 * against sockets this test process opens itself. */
#include "transcoder_wait.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <limits.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace {

TEST(TranscoderWait, IntervalComesFromTheEnvironmentWithinBounds)
{
    struct Case {
        const char* pszValue;
        int nWant;
    };
    const Case aCases[] = {{nullptr, RUXO_TC_WAIT_SECS},
                           {"", RUXO_TC_WAIT_SECS},
                           {"1", 1},
                           {"25", 25},
                           {"26", RUXO_TC_WAIT_SECS},
                           {"30", RUXO_TC_WAIT_SECS},
                           {"0", RUXO_TC_WAIT_SECS},
                           {"-3", RUXO_TC_WAIT_SECS},
                           {"2x", RUXO_TC_WAIT_SECS},
                           {"99999999999999999999", RUXO_TC_WAIT_SECS}};
    for (const Case& c : aCases)
        EXPECT_EQ(ruxoTcWaitInterval(c.pszValue), c.nWant) << (c.pszValue ? c.pszValue : "(null)");
    /* Whatever is set, a notice comes well within the engine's 30 s of silence. */
    EXPECT_LT(RUXO_TC_WAIT_SECS_MAX, 30);
}

TEST(TranscoderWait, PortOfServedUrl)
{
    struct Case {
        const char* szUrl;
        int nWant;
    };
    const Case aCases[] = {
        {"http://0.0.0.0:8080/live.ts", 8080},
        {"https://0.0.0.0:9527/1.mp4", 9527},
        {"HTTP://H:82", 82},
        {"http://h/x.ts", 80},
        {"https://h", 443},
        {"http://[::1]:8000/a", 8000},
        {"http://[::]/a", 80},
        {"http://u:p@h:81/x?a=b:c", 81},
        {"http://h:65535", 65535},
        {"http://h:0/", -1},
        {"http://h:65536/", -1},
        {"http://h:/", -1},
        {"http://h:8o/", -1},
        {"http://[::1/", -1},
        {"http://[::1]x/", -1},
        {"rtmp://h:1935/live", -1},
        {"no url", -1},
    };
    for (const Case& c : aCases)
        EXPECT_EQ(ruxoTcUrlPort(c.szUrl), c.nWant) << c.szUrl;
}

TEST(TranscoderWait, NoticeNamesTheListeningOutputAndStaysNeutral)
{
    const std::vector<std::string> vServed = {"http://0.0.0.0:8080/a.ts", "https://0.0.0.0:8443/b.mp4"};
    EXPECT_EQ(ruxoTcWaitNotice(vServed, 8443), "ruxod.so: waiting for a client on https://0.0.0.0:8443/b.mp4\n");
    EXPECT_EQ(ruxoTcWaitNotice(vServed, 8080), "ruxod.so: waiting for a client on http://0.0.0.0:8080/a.ts\n");
    /* A port no URL names (a listening socket ffmpeg opened otherwise) still names the first. */
    EXPECT_EQ(ruxoTcWaitNotice(vServed, 1), "ruxod.so: waiting for a client on http://0.0.0.0:8080/a.ts\n");

    /* Hostile bytes cannot make the line carry a progress field, a second line or a huge write. */
    std::string strOdd = "http://h:1/x\r\n time=00:00:01.00 \x01\xff";
    std::string strNotice = ruxoTcWaitNotice({strOdd}, 1);
    EXPECT_EQ(strNotice, "ruxod.so: waiting for a client on http://h:1/x???time=00:00:01.00???\n");
    EXPECT_EQ(strNotice.find(" time="), std::string::npos);

    std::string strLong = "http://h:1/" + std::string(100000, 'a');
    strNotice = ruxoTcWaitNotice({strLong}, 1);
    EXPECT_EQ(strNotice, "ruxod.so: waiting for a client on " + strLong.substr(0, RUXO_TC_WAIT_URL_MAX) + "...\n");
    EXPECT_LT(strNotice.size(), (size_t)PIPE_BUF); /* one atomic write among ffmpeg's own */
}

/* A TCP socket of the given family bound to loopback on a free port; listening when bListen. */
int tcpSocket(int nFamily, bool bListen, int* pnPort)
{
    int fd = socket(nFamily, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    struct sockaddr_storage ss = {};
    socklen_t nLen;
    if (nFamily == AF_INET) {
        struct sockaddr_in* p4 = (struct sockaddr_in*)&ss;
        p4->sin_family = AF_INET;
        p4->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        nLen = sizeof(*p4);
    } else {
        struct sockaddr_in6* p6 = (struct sockaddr_in6*)&ss;
        p6->sin6_family = AF_INET6;
        p6->sin6_addr = in6addr_loopback;
        nLen = sizeof(*p6);
    }
    if (bind(fd, (struct sockaddr*)&ss, nLen) != 0 || (bListen && listen(fd, 1) != 0) ||
        getsockname(fd, (struct sockaddr*)&ss, &nLen) != 0) {
        close(fd);
        return -1;
    }
    *pnPort = ntohs(nFamily == AF_INET ? ((struct sockaddr_in*)&ss)->sin_port : ((struct sockaddr_in6*)&ss)->sin6_port);
    return fd;
}

TEST(TranscoderWait, ListenPortSeesOnlyListeningSocketsOfTheProcess)
{
    pid_t pidSelf = getpid();
    ASSERT_EQ(ruxoTcListenPort(pidSelf), 0);

    /* Bound but not listening, like a client socket: no wait for a client. */
    int nBoundPort = 0;
    int fdBound = tcpSocket(AF_INET, false, &nBoundPort);
    ASSERT_GE(fdBound, 0);
    EXPECT_EQ(ruxoTcListenPort(pidSelf), 0);

    int nPort4 = 0;
    int fd4 = tcpSocket(AF_INET, true, &nPort4);
    ASSERT_GE(fd4, 0);
    EXPECT_EQ(ruxoTcListenPort(pidSelf), nPort4);
    close(fd4);
    EXPECT_EQ(ruxoTcListenPort(pidSelf), 0);

    int nPort6 = 0;
    int fd6 = tcpSocket(AF_INET6, true, &nPort6);
    if (fd6 >= 0) { /* IPv6 may be off on this machine */
        EXPECT_EQ(ruxoTcListenPort(pidSelf), nPort6);
        close(fd6);
        EXPECT_EQ(ruxoTcListenPort(pidSelf), 0);
    }
    close(fdBound);

    /* A listening socket of another process is not ours: a child holding one. */
    int fdPipe[2];
    ASSERT_EQ(pipe(fdPipe), 0);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        int nPort = 0;
        int fd = tcpSocket(AF_INET, true, &nPort);
        char c = fd >= 0 ? 'y' : 'n';
        if (write(fdPipe[1], &c, 1) != 1)
            _exit(1);
        for (;;)
            pause(); /* until the parent kills us */
    }
    close(fdPipe[1]);
    char c = 0;
    ASSERT_EQ(read(fdPipe[0], &c, 1), 1);
    EXPECT_EQ(c, 'y');
    EXPECT_GT(ruxoTcListenPort(pid), 0);
    EXPECT_EQ(ruxoTcListenPort(pidSelf), 0);
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    close(fdPipe[0]);
    EXPECT_EQ(ruxoTcListenPort(pid), -1); /* gone */
}

}  // namespace
