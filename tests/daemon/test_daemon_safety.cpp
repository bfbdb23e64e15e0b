/* test_daemon_safety.cpp -- the real daemon in its namespace when its files fail it and its clients
 * attack it: a configuration that cannot be saved is not taken, a file that cannot be loaded is
 * kept and only this host gets in, floods of connections from few addresses, a request log that
 * would fill the disk, a new web port that is taken, a certificate that is missing.
 *
 * Documentation-range addresses (192.0.2.0/24) are added to the loopback interface of the test's
 * own network namespace: they stand for clients on the network. */
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cjson/cJSON.h>

#include <string>
#include <vector>

#include "ns_daemon.h"
#include "ruxo_curl.h"

using namespace ruxotest;

namespace {

const int kPort = 8888;
const char* const kConfigDir = "/etc/ruxod";
const char* const kConfigFile = "/etc/ruxod/ruxod.json";

std::string channel(const std::string& strUrl)
{
    return "{\"enable\": false, \"input\": {\"sources\": [{\"format\": \"file\", \"url\": \"" + strUrl +
           "\"}]}, \"output\": {\"targets\": [{\"format\": \"file\", \"url\": \"/tmp/out.mp4\", "
           "\"video\": {\"enable\": true, \"codec\": \"h264\"}}]}}";
}

std::string config(const std::string& strChannels, const std::string& strGlobal = "", int nPort = kPort, int nLog = 0)
{
    return "{\"global\": {\"log\": " + std::to_string(nLog) + ", \"httpPort\": " + std::to_string(nPort) +
           ", \"autoRestart\": 0" + strGlobal + "}, \"channels\": [" + strChannels + "]}";
}

/* The number of channels the status reply lists, -1 when it does not parse. */
int statusChannels(const CurlReply& r)
{
    cJSON* json = cJSON_Parse(r.strBody.c_str());
    int n = json ? cJSON_GetArraySize(cJSON_GetObjectItem(json, "channels")) : -1;
    cJSON_Delete(json);
    return n;
}

/* The channels of a saved configuration, by their first source's url. */
std::vector<std::string> savedUrls(const std::string& strConfig)
{
    std::vector<std::string> urls;
    cJSON* json = cJSON_Parse(strConfig.c_str());
    cJSON* ch = nullptr;
    cJSON_ArrayForEach(ch, cJSON_GetObjectItem(json, "channels"))
    {
        cJSON* src = cJSON_GetArrayItem(cJSON_GetObjectItem(cJSON_GetObjectItem(ch, "input"), "sources"), 0);
        const char* sz = cJSON_GetStringValue(cJSON_GetObjectItem(src, "url"));
        urls.push_back(sz ? sz : "?");
    }
    cJSON_Delete(json);
    return urls;
}

/* Adds an address to the loopback interface of this test's network namespace. */
bool addLoopbackAddress(const std::string& strAddr)
{
    std::string strOut;
    return runCommand({"ip", "addr", "add", strAddr + "/32", "dev", "lo"}, &strOut) == 0;
}

/* Raises this process's soft descriptor limit to its hard limit; returns the new soft limit. */
rlim_t raiseOwnDescriptorLimit()
{
    struct rlimit rl;
    if (getrlimit(RLIMIT_NOFILE, &rl) != 0)
        return 0;
    rl.rlim_cur = rl.rlim_max;
    setrlimit(RLIMIT_NOFILE, &rl);
    getrlimit(RLIMIT_NOFILE, &rl);
    return rl.rlim_cur;
}

/* The sizes of the files in a folder, by name. */
std::vector<std::pair<std::string, off_t>> folderFiles(const std::string& strDir)
{
    std::vector<std::pair<std::string, off_t>> files;
    DIR* dir = opendir(strDir.c_str());
    while (dir != nullptr) {
        struct dirent* ent = readdir(dir);
        if (ent == nullptr)
            break;
        std::string strName = ent->d_name;
        if (strName != "." && strName != "..")
            files.emplace_back(strName, fileSize(strDir + "/" + strName));
    }
    if (dir != nullptr)
        closedir(dir);
    return files;
}

class SafetyDaemon : public ::testing::Test {
protected:
    NsDaemon m_d;

    void SetUp() override
    {
        std::string strErr;
        ASSERT_TRUE(m_d.setUp(Transcoder::Fake, &strErr)) << strErr;
    }
    void TearDown() override { m_d.killAll(); }

    /* A further sandbox of its own, with the configuration folder made (the fixture's is then
     * no longer mounted). */
    static void freshSandbox(NsDaemon* pd)
    {
        std::string strErr;
        ASSERT_TRUE(pd->setUp(Transcoder::Fake, &strErr)) << strErr;
        ASSERT_EQ(mkdir(kConfigDir, 0755), 0);
    }

    /* Starts the daemon (the configuration file is the test's business) and waits for its web
     * server on 127.0.0.1. */
    void startDaemon()
    {
        /* The output file keeps the earlier starts' lines: wait for this start's own. */
        const size_t nBefore = countOf(m_d.output(), "RUXOD started successfully!");
        ASSERT_EQ(m_d.start({}), 0) << m_d.output();
        ASSERT_TRUE(waitUntil([&] { return countOf(m_d.output(), "RUXOD started successfully!") > nBefore; }, 15000))
            << m_d.output();
        ASSERT_TRUE(waitUntil([] { return canConnect(kPort); }, 5000)) << m_d.output();
    }
    void startWith(const std::string& strConfig)
    {
        mkdir(kConfigDir, 0755);
        ASSERT_TRUE(writeFile(kConfigFile, strConfig));
        startDaemon();
    }

    /* Ends the daemon in order, as a user would. */
    void stopDaemon()
    {
        if (m_d.pid() > 0)
            kill(m_d.pid(), SIGTERM);
        int nStatus = -1;
        EXPECT_TRUE(m_d.waitExit(15000, &nStatus));
        EXPECT_EQ(nStatus, 0) << m_d.output();
        EXPECT_EQ(m_d.output().find("Sanitizer"), std::string::npos) << m_d.output();
    }

    static std::string url(const std::string& strPath, int nPort = kPort)
    {
        return "http://127.0.0.1:" + std::to_string(nPort) + strPath;
    }
    CurlReply post(const std::string& strPath, const std::string& strBody, std::vector<std::string> extra = {}) const
    {
        const std::string strFile = m_d.dir() + "/post.body";
        writeFile(strFile, strBody);
        extra.insert(extra.end(),
                     {"-H", "Content-Type: application/json", "--data-binary", "@" + strFile, url(strPath)});
        return curlRun(extra);
    }
};

}  // namespace

/* ---- a configuration that cannot be saved ---------------------------------------------------- */

TEST_F(SafetyDaemon, AConfigurationThatCannotBeSavedIsNotTaken)
{
    struct Case {
        const char* szName;
        const char* szError;
    } cases[] = {{"read-only", "Read-only file system"}, {"full", "No space left on device"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.szName);
        NsDaemon d;
        ASSERT_NO_FATAL_FAILURE(freshSandbox(&d));
        const bool bFull = std::string(c.szName) == "full";
        if (bFull) {
            ASSERT_EQ(mount("tmpfs", kConfigDir, "tmpfs", 0, "size=64k,mode=0755"), 0) << strerror(errno);
        }
        const std::string strOld = config(channel("/media/old.mp4"), ", \"loginPass\": \"pw\"");
        ASSERT_TRUE(writeFile(kConfigFile, strOld));
        ASSERT_EQ(d.start({}), 0) << d.output();
        ASSERT_TRUE(waitUntil([] { return canConnect(kPort); }, 10000)) << d.output();

        const std::string strFiller = std::string(kConfigDir) + "/filler";
        if (bFull) {
            int fd = open(strFiller.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
            ASSERT_GE(fd, 0);
            char buf[4096] = {0};
            while (write(fd, buf, sizeof(buf)) > 0) {
            }
            while (write(fd, buf, 1) == 1) {
            }
            close(fd);
        } else {
            ASSERT_EQ(mount(kConfigDir, kConfigDir, nullptr, MS_BIND, nullptr), 0) << strerror(errno);
            ASSERT_EQ(mount(nullptr, kConfigDir, nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr), 0)
                << strerror(errno);
        }

        /* The new configuration (two channels, another password) is refused with the reason; the
         * file, the running channels and the password stay as they were. */
        const std::string strNew = config(channel("/media/new1.mp4") + ", " + channel("/media/new2.mp4"),
                                          ", \"loginPass\": \"new\", \"pad\": \"" + std::string(70000, 'p') + "\"");
        const std::string strBefore = readFile(kConfigFile);
        for (const char* szPath : {"/config", "/config?import"}) {
            SCOPED_TRACE(szPath);
            const std::string strFile = d.dir() + "/post.body";
            writeFile(strFile, strNew);
            CurlReply r = curlRun(
                {"-b", "auth=pw", "-H", "Content-Type: application/json", "--data-binary", "@" + strFile, url(szPath)});
            EXPECT_EQ(r.nStatus, 500);
            EXPECT_EQ(r.header("content-type"), "text/plain; charset=utf-8");
            EXPECT_EQ(r.strBody, std::string("cannot write ") + kConfigFile + ": " + c.szError);
            EXPECT_FALSE(r.hasHeader("set-cookie"));
            EXPECT_EQ(readFile(kConfigFile), strBefore);
            CurlReply s = curlRun({"-b", "auth=pw", url("/status")});
            EXPECT_EQ(statusChannels(s), 1) << s.strBody;
        }
        EXPECT_NE(d.output().find(std::string("cannot write ") + kConfigFile + ": " + c.szError), std::string::npos)
            << d.output();

        /* With room again the exit saves what ran: the old channel, never the refused ones. */
        if (bFull) {
            ASSERT_EQ(unlink(strFiller.c_str()), 0);
        } else {
            ASSERT_EQ(umount2(kConfigDir, 0), 0) << strerror(errno);
        }
        kill(d.pid(), SIGTERM);
        int nStatus = -1;
        EXPECT_TRUE(d.waitExit(15000, &nStatus));
        EXPECT_EQ(nStatus, 0) << d.output();
        EXPECT_EQ(savedUrls(readFile(kConfigFile)), std::vector<std::string>{"/media/old.mp4"});
        if (bFull)
            umount2(kConfigDir, MNT_DETACH);
    }
}

/* ---- a file that cannot be loaded ------------------------------------------------------------ */

TEST_F(SafetyDaemon, AFileThatCannotBeLoadedIsKeptAndOnlyThisHostGetsIn)
{
    ASSERT_TRUE(addLoopbackAddress("192.0.2.1"));
    const std::string strValid = config(channel("/media/kept.mp4"),
                                        ", \"loginPass\": \"pw\", \"ipACL\": \"allow all\"");
    struct Case {
        const char* szName;
        std::string strText; /* "FIFO": a named pipe at the path */
        const char* szReason;
    } cases[] = {
        /* One "}" too many after "global": read up to it, every channel would go. */
        {"stray brace",
         "{\"global\": {\"log\": 0, \"loginPass\": \"pw\"}}, \"channels\": [" + channel("/media/kept.mp4") + "]}",
         "text after the JSON value"},
        {"NUL byte", strValid + std::string(1, '\0') + "{\"global\": {}}", "a NUL byte in the text"},
        {"not an object", "[" + strValid + "]", "the document is not a JSON object"},
        {"number as password", config(channel("/media/kept.mp4"), ", \"loginPass\": 1.5"),
         "\"loginPass\" is neither a string nor an integer number"},
        {"named pipe", "FIFO", "not a regular file"},
    };
    /* A configuration posted from this host is installed and saved; then the rules of the new
     * configuration apply, to clients on the network too. */
    startWith(cases[0].strText);
    EXPECT_EQ(curlRun({"--interface", "192.0.2.1", url("/status")}).nStatus, 0);
    CurlReply r = post("/config", config(channel("/media/new.mp4")));
    EXPECT_EQ(r.nStatus, 200);
    EXPECT_EQ(savedUrls(readFile(kConfigFile)), std::vector<std::string>{"/media/new.mp4"});
    EXPECT_EQ(curlRun({"--interface", "192.0.2.1", url("/status")}).nStatus, 200);
    EXPECT_EQ(curlRun({url("/config")}).nStatus, 200);
    stopDaemon();

    /* Each kind of file that cannot be loaded, in a sandbox of its own. */
    for (const Case& c : cases) {
        SCOPED_TRACE(c.szName);
        NsDaemon d;
        ASSERT_NO_FATAL_FAILURE(freshSandbox(&d));
        if (c.strText == "FIFO") {
            ASSERT_EQ(mkfifo(kConfigFile, 0600), 0);
        } else {
            ASSERT_TRUE(writeFile(kConfigFile, c.strText));
        }
        ASSERT_EQ(d.start({}), 0) << d.output();
        ASSERT_TRUE(
            waitUntil([&] { return d.output().find("RUXOD started successfully!") != std::string::npos; }, 15000))
            << d.output();
        const std::string strReason = std::string("cannot load ") + kConfigFile + ": " + c.szReason;
        EXPECT_NE(d.output().find(strReason), std::string::npos) << d.output();
        EXPECT_EQ(countOf(d.output(), "admits local clients (127.0.0.0/8) only"), 1u) << d.output();

        /* A client on the network is not let in; this host is, and learns why. */
        EXPECT_EQ(curlRun({"--interface", "192.0.2.1", url("/status")}).nStatus, 0);
        CurlReply r = curlRun({url("/config")});
        EXPECT_EQ(r.nStatus, 503);
        EXPECT_EQ(r.header("content-type"), "text/plain; charset=utf-8");
        EXPECT_EQ(r.strBody, strReason);
        EXPECT_EQ(curlRun({url("/status")}).nStatus, 200);

        /* The exit saves nothing over it. */
        kill(d.pid(), SIGTERM);
        int nStatus = -1;
        EXPECT_TRUE(d.waitExit(15000, &nStatus));
        EXPECT_EQ(nStatus, 0) << d.output();
        struct stat st;
        ASSERT_EQ(lstat(kConfigFile, &st), 0);
        if (c.strText == "FIFO") {
            EXPECT_TRUE(S_ISFIFO(st.st_mode));
        } else {
            EXPECT_EQ(readFile(kConfigFile), c.strText);
        }
    }
}

TEST_F(SafetyDaemon, ASaveThroughADanglingLinkWritesTheFileItNames)
{
    ASSERT_EQ(mkdir(kConfigDir, 0755), 0);
    ASSERT_EQ(mkdir("/etc/ruxod/real", 0755), 0);
    ASSERT_EQ(symlink("real/ruxod.json", kConfigFile), 0);
    startDaemon();
    EXPECT_NE(m_d.output().find(std::string("cannot load ") + kConfigFile), std::string::npos) << m_d.output();
    CurlReply r = post("/config", config(channel("/media/linked.mp4")));
    EXPECT_EQ(r.nStatus, 200) << r.strBody;
    struct stat st;
    ASSERT_EQ(lstat(kConfigFile, &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_EQ(savedUrls(readFile("/etc/ruxod/real/ruxod.json")), std::vector<std::string>{"/media/linked.mp4"});
    stopDaemon();
    ASSERT_EQ(lstat(kConfigFile, &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
}

/* ---- floods ---------------------------------------------------------------------------------- */

TEST_F(SafetyDaemon, FloodsFromFewAddressesLockNobodyOut)
{
    ASSERT_GE(raiseOwnDescriptorLimit(), (rlim_t)5000) << "the test needs 5000 descriptors";
    std::vector<std::string> attackers = {"192.0.2.100"};
    for (int i = 1; i <= 10; i++)
        attackers.push_back("192.0.2." + std::to_string(i));
    for (const std::string& strAddr : attackers)
        ASSERT_TRUE(addLoopbackAddress(strAddr)) << strAddr;
    ASSERT_TRUE(addLoopbackAddress("192.0.2.200"));
    startWith(config(channel("/media/a.mp4")));

    /* The daemon took the hard limit as its own. */
    std::string strLimits = readFile("/proc/" + std::to_string(m_d.pid()) + "/limits");
    size_t nLine = strLimits.find("Max open files");
    ASSERT_NE(nLine, std::string::npos);
    unsigned long long nSoft = 0, nHard = 0;
    sscanf(strLimits.c_str() + nLine + 14, "%llu %llu", &nSoft, &nHard);
    EXPECT_EQ(nSoft, nHard) << strLimits.substr(nLine, 80);

    /* 2,000 idle connections from one address and 200 from each of ten others. */
    std::vector<int> fds;
    for (size_t a = 0; a < attackers.size(); a++) {
        int nCount = a == 0 ? 2000 : 200;
        for (int n = 0; n < nCount; n++) {
            int fd = connectFrom(attackers[a].c_str(), kPort, false);
            ASSERT_GE(fd, 0) << attackers[a] << " " << n << ": " << strerror(errno);
            fds.push_back(fd);
        }
    }
    /* A normal request from a fresh address, and one from this host, are answered meanwhile. */
    CurlReply r = curlRun({"--interface", "192.0.2.200", url("/status")});
    EXPECT_EQ(r.nStatus, 200);
    EXPECT_EQ(statusChannels(r), 1);
    EXPECT_EQ(curlRun({url("/runtime")}).nStatus, 200);

    /* After the flood every address is served again. */
    for (int fd : fds)
        close(fd);
    for (const std::string& strAddr : attackers) {
        EXPECT_TRUE(waitUntil(
            [&] {
                return curlRun({"--interface", strAddr, url("/status")}).nStatus == 200;
            },
            20000))
            << strAddr;
    }
    stopDaemon();
}

/* ---- the request log ------------------------------------------------------------------------- */

TEST_F(SafetyDaemon, TheRequestLogCannotFillTheDisk)
{
    startWith(config(channel("/media/a.mp4"), "", kPort, 32));
    /* 20,000 requests with paths of 3,000 characters, pipelined on a few connections. */
    const std::string strPath = "/" + std::string(3000, 'p');
    const std::string strRequest = "GET " + strPath + " HTTP/1.1\r\nHost: x\r\n\r\n";
    const int kConnections = 8, kPerConnection = 2500, kBatch = 50;
    for (int c = 0; c < kConnections; c++) {
        int fd = connectFrom("127.0.0.1", kPort, false);
        ASSERT_GE(fd, 0);
        pollfd pfd{fd, POLLOUT, 0};
        ASSERT_EQ(poll(&pfd, 1, 5000), 1);
        int nAnswered = 0;
        std::string strIn;
        for (int nSent = 0; nSent < kPerConnection; nSent += kBatch) {
            std::string strBatch;
            for (int k = 0; k < kBatch; k++)
                strBatch += strRequest;
            ASSERT_TRUE(sendAll(fd, strBatch));
            /* Read the replies of this batch before the next. */
            long long tmEnd = nowMs() + 30000;
            while (nAnswered < nSent + kBatch && nowMs() < tmEnd) {
                pollfd in{fd, POLLIN, 0};
                if (poll(&in, 1, 1000) <= 0)
                    continue;
                char buf[65536];
                ssize_t n = recv(fd, buf, sizeof(buf), 0);
                ASSERT_GT(n, 0) << "connection closed after " << nAnswered << " replies";
                strIn.append(buf, (size_t)n);
                size_t nPos;
                while ((nPos = strIn.find("HTTP/1.1 404")) != std::string::npos) {
                    nAnswered++;
                    strIn.erase(0, nPos + 12);
                }
            }
            ASSERT_EQ(nAnswered, nSent + kBatch);
        }
        close(fd);
    }

    /* The folder holds the configuration, the current log and at most nine numbered ones, each
     * no larger than the rotation size and one line. */
    const off_t kRotate = 5000000, kLine = 1100;
    off_t nTotal = 0;
    int nNumbered = 0;
    for (const auto& f : folderFiles(kConfigDir)) {
        SCOPED_TRACE(f.first);
        nTotal += f.second;
        if (f.first == "ruxod.json")
            continue;
        EXPECT_TRUE(f.first == "ruxod_cgi.log" || (f.first.compare(0, 10, "ruxod_cgi-") == 0 && f.first.size() == 15));
        nNumbered += f.first != "ruxod_cgi.log";
        EXPECT_LE(f.second, kRotate + kLine);
    }
    EXPECT_GE(nNumbered, 8); /* 40,000 lines of about 1,050 bytes */
    EXPECT_LE(nNumbered, 9);
    EXPECT_LE(nTotal, 10 * (kRotate + kLine) + 10000);
    /* The lines stay as they were, with the path cut at 1,000 characters. */
    std::string strLog = readFile("/etc/ruxod/ruxod_cgi-1.log");
    size_t nFirstEnd = strLog.find('\n');
    ASSERT_NE(nFirstEnd, std::string::npos);
    std::string strLine = strLog.substr(0, nFirstEnd);
    EXPECT_NE(strLine.find("] GET /" + std::string(999, 'p') + "... from 127.0.0.1:"), std::string::npos) << strLine;
    EXPECT_LE(strLine.size(), (size_t)kLine);
    stopDaemon();
}

/* ---- a port that is taken -------------------------------------------------------------------- */

TEST_F(SafetyDaemon, ATakenPortLeavesTheServerOnThePreviousOne)
{
    const int kNewPort = 8899;
    startWith(config(channel("/media/a.mp4")));
    int fdHeld = holdPort(kNewPort);
    ASSERT_GE(fdHeld, 0);

    /* The post is answered; a second later the move fails and the server comes back on the
     * port it had, which is put back in the configuration and saved. */
    const std::string strMoved = config(channel("/media/b.mp4"), "", kNewPort);
    CurlReply r = post("/config", strMoved);
    ASSERT_EQ(r.nStatus, 200);
    const std::string strLine = "cannot listen on port 8899";
    ASSERT_TRUE(waitUntil([&] { return m_d.output().find(strLine) != std::string::npos; }, 10000)) << m_d.output();
    EXPECT_NE(m_d.output().find("it stays on port 8888"), std::string::npos) << m_d.output();
    ASSERT_TRUE(waitUntil([&] { return curlRun({url("/status")}).nStatus == 200; }, 10000)) << m_d.output();
    const std::string strSaved = readFile(kConfigFile);
    EXPECT_NE(strSaved.find("\"httpPort\":\t8888"), std::string::npos) << strSaved;
    EXPECT_EQ(savedUrls(strSaved), std::vector<std::string>{"/media/b.mp4"});

    /* Now the previous port fails as well. To make both starts fail, the daemon's descriptor
     * limit is lowered while the restart runs (no socket can be had), which leaves its old port
     * free: this test takes it, and the daemon's descriptors are given back. The restart comes
     * one second after the post; should it run before the limit is lowered, it is arranged
     * again. */
    const std::string strStays = "it stays on port 8888", strRetry = "cannot listen on port 8888";
    struct rlimit rlOld;
    ASSERT_EQ(prlimit(m_d.pid(), RLIMIT_NOFILE, nullptr, &rlOld), 0) << strerror(errno);
    bool bArranged = false;
    for (int nTry = 0; nTry < 3 && !bArranged; nTry++) {
        const size_t nStays = countOf(m_d.output(), strStays);
        ASSERT_EQ(post("/config", strMoved).nStatus, 200);
        struct rlimit rlNone = {3, rlOld.rlim_max};
        ASSERT_EQ(prlimit(m_d.pid(), RLIMIT_NOFILE, &rlNone, nullptr), 0) << strerror(errno);
        ASSERT_TRUE(waitUntil([&] { return countOf(m_d.output(), strStays) > nStays; }, 10000)) << m_d.output();
        bArranged = waitUntil([&] { return m_d.output().find(strRetry) != std::string::npos; }, 2000);
        if (!bArranged) {
            ASSERT_EQ(prlimit(m_d.pid(), RLIMIT_NOFILE, &rlOld, nullptr), 0);
            ASSERT_TRUE(waitUntil([&] { return curlRun({url("/status")}).nStatus == 200; }, 10000));
        }
    }
    ASSERT_TRUE(bArranged) << m_d.output();
    int fdPrevious = holdPort(kPort);
    ASSERT_GE(fdPrevious, 0) << strerror(errno);
    ASSERT_EQ(prlimit(m_d.pid(), RLIMIT_NOFILE, &rlOld, nullptr), 0);

    /* Tried again every five seconds on the previous port, with one line a minute at most. */
    usleep(7000 * 1000);
    EXPECT_EQ(countOf(m_d.output(), strRetry), 1u) << m_d.output();
    EXPECT_EQ(curlRun({"--max-time", "2", url("/status")}).nStatus, 0);
    const long long tmFreed = nowMs();
    close(fdPrevious);
    ASSERT_TRUE(waitUntil([&] { return curlRun({url("/status")}).nStatus == 200; }, 15000)) << m_d.output();
    EXPECT_LE(nowMs() - tmFreed, 12000);
    close(fdHeld);
    stopDaemon();
    EXPECT_NE(readFile(kConfigFile).find("\"httpPort\":\t8888"), std::string::npos) << readFile(kConfigFile);
}

/* ---- HTTPS that cannot start ----------------------------------------------------------------- */

TEST_F(SafetyDaemon, AMissingCertificateIsReportedAndTheRuntimeTellsPlainHttp)
{
    ASSERT_EQ(mkdir(kConfigDir, 0755), 0);
    const std::string strCert = "/etc/ruxod/cert.pem", strKey = "/etc/ruxod/key.pem";
    RunResult rr = runCaptured({"openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
                                "-nodes", "-subj", "/CN=ruxotest", "-days", "2", "-keyout", strKey, "-out", strCert});
    ASSERT_EQ(rr.nExit, 0);
    startWith(config(channel("/media/a.mp4"),
                     ", \"sslEnable\": true, \"sslCert\": \"/etc/ruxod/missing.pem\", "
                     "\"sslKey\": \"" +
                         strKey + "\""));
    EXPECT_NE(m_d.output().find("HTTPS not started, cannot open /etc/ruxod/missing.pem: No such file or directory"),
              std::string::npos)
        << m_d.output();
    CurlReply r = curlRun({url("/runtime")});
    EXPECT_EQ(r.nStatus, 200);
    EXPECT_NE(r.strBody.find("\"previewPort\": 9527,\n  \"https\": false\n}"), std::string::npos) << r.strBody;

    /* With the certificate in place (a post restarts the server) it runs with TLS and says so. */
    r = post("/config", config(channel("/media/a.mp4"), ", \"sslEnable\": true, \"sslCert\": \"" + strCert +
                                                            "\", \"sslKey\": \"" + strKey + "\""));
    ASSERT_EQ(r.nStatus, 200);
    ASSERT_TRUE(waitUntil(
        [&] {
            return curlRun({"-k", "https://127.0.0.1:8888/runtime"}).nStatus == 200;
        },
        10000))
        << m_d.output();
    r = curlRun({"-k", "https://127.0.0.1:8888/runtime"});
    EXPECT_NE(r.strBody.find("\"https\": true"), std::string::npos) << r.strBody;
    EXPECT_EQ(countOf(m_d.output(), "HTTPS not started"), 1u) << m_d.output();
    stopDaemon();
}

/* ---- configurations that would defeat themselves ------------------------------------------- */

/* Posts and imports that parse but are refused, each with its one-line reason: a document that is
 * no configuration, an access list that would shut out the client that posts it, a form that is
 * not built at its own boundary or whose file has text after the document. Nothing changes: the
 * file stays byte for byte and the running configuration is the one before. */
TEST_F(SafetyDaemon, ConfigurationsThatWouldDefeatThemselvesAreRefusedWithTheirReason)
{
    startWith(config(channel("/media/kept.mp4"), ", \"ipACL\": \"allow all\""));
    const std::string strBefore = readFile(kConfigFile);
    const std::string strRunning = curlRun({url("/config")}).strBody;
    const std::string strNew = config(channel("/media/new.mp4"));
    const std::string strForm =
        "--B\r\nContent-Disposition: form-data; name=\"file\"; filename=\"c.json\"\r\n"
        "Content-Type: application/json\r\n\r\n";
    struct Case {
        const char* szName;
        std::string strBody;
        const char* szContentType;
        const char* szReason;
    } cases[] = {
        {"any JSON object", "{\"foo\": 1}", "application/json",
         "not a configuration: it has neither \"global\" nor \"channels\""},
        {"an empty object", "{}", "application/json",
         "not a configuration: it has neither \"global\" nor \"channels\""},
        {"deny all", config(channel("/media/new.mp4"), ", \"ipACL\": \"deny all\""), "application/json",
         "the access list would refuse your address 127.0.0.1"},
        {"last match denies", config(channel("/media/new.mp4"), ", \"ipACL\": \"allow 127.0.0.1 deny all\""),
         "application/json", "the access list would refuse your address 127.0.0.1"},
        {"loopback denied", config(channel("/media/new.mp4"), ", \"ipACL\": \"deny 127.0.0.0/8\""), "application/json",
         "the access list would refuse your address 127.0.0.1"},
        {"form without boundary", strForm + strNew + "\r\n--B--\r\n", "multipart/form-data",
         "the form names no boundary"},
        {"form at another boundary", strForm + strNew + "\r\n--B--\r\n", "multipart/form-data; boundary=C",
         "the body holds no part bounded by the form's boundary"},
        {"part that does not end", strForm + strNew + "\r\n--C--\r\n", "multipart/form-data; boundary=B",
         "a part does not end at the form's boundary"},
        {"text after the document in the file", strForm + strNew + "\r\n--trailing words\r\n--B--\r\n",
         "multipart/form-data; boundary=B", "text after the JSON value"},
        {"form that is no configuration", strForm + "{\"foo\": 1}\r\n--B--\r\n", "multipart/form-data; boundary=B",
         "not a configuration: it has neither \"global\" nor \"channels\""},
    };
    const std::string strFile = m_d.dir() + "/refused.body";
    for (const Case& c : cases) {
        for (const char* szPath : {"/config", "/config?import"}) {
            SCOPED_TRACE(std::string(c.szName) + " " + szPath);
            ASSERT_TRUE(writeFile(strFile, c.strBody));
            CurlReply r = curlRun(
                {"-H", std::string("Content-Type: ") + c.szContentType, "--data-binary", "@" + strFile, url(szPath)});
            EXPECT_EQ(r.nStatus, 400);
            EXPECT_EQ(r.header("content-type"), "text/plain; charset=utf-8");
            EXPECT_EQ(r.strBody, c.szReason);
            EXPECT_FALSE(r.hasHeader("set-cookie"));
            EXPECT_EQ(readFile(kConfigFile), strBefore);
            EXPECT_EQ(curlRun({url("/config")}).strBody, strRunning);
        }
    }
    /* What the rules leave alone: a list that admits this host, and a document with only
     * "channels" (which clears the global settings' file entries as before). */
    CurlReply r = post("/config", config(channel("/media/new.mp4"), ", \"ipACL\": \"deny all allow 127.0.0.1\""));
    EXPECT_EQ(r.nStatus, 200) << r.strBody;
    r = post("/config?import", "{\"channels\": []}");
    EXPECT_EQ(r.nStatus, 301) << r.strBody;
    EXPECT_EQ(readFile(kConfigFile), "{\n\t\"channels\":\t[]\n}");
    stopDaemon();
}

/* A change asked for through the admin's browser by a page of another site is refused, by the
 * fetch metadata or, without them, by an Origin that is not the server's own; a request with
 * neither header (a script, curl) is judged as before. Nothing changes on a refusal, and the
 * request log has its line. */
TEST_F(SafetyDaemon, ChangesFromAnotherSiteAreRefused)
{
    ASSERT_TRUE(writeFile(m_d.dir() + "/in.ts", "x"));
    const std::string strStart = config(channel(m_d.dir() + "/in.ts"), "", kPort, 1);
    startWith(strStart);
    ASSERT_EQ(post("/config", strStart).nStatus, 200); /* the file as the daemon writes it */
    const std::string strBefore = readFile(kConfigFile);
    const std::string strNew = config(channel("/media/new.mp4"), "", kPort, 1);
    struct Case {
        const char* szName;
        std::vector<std::string> headers;
        bool bRefused;
    } cases[] = {
        {"same-origin", {"Sec-Fetch-Site: same-origin"}, false},
        {"none", {"Sec-Fetch-Site: none"}, false},
        {"cross-site", {"Sec-Fetch-Site: cross-site"}, true},
        {"same-site", {"Sec-Fetch-Site: same-site"}, true},
        {"cross-site with its own origin", {"Sec-Fetch-Site: cross-site", "Origin: http://127.0.0.1:8888"}, true},
        {"own origin", {"Origin: http://127.0.0.1:8888"}, false},
        {"origin of another port", {"Origin: http://127.0.0.1:9000"}, true},
        {"origin of another host", {"Origin: http://127.0.0.2:8888"}, true},
        {"origin of another scheme", {"Origin: https://127.0.0.1:8888"}, true},
        {"opaque origin", {"Origin: null"}, true},
        {"no header", {}, false},
    };
    const std::string strFile = m_d.dir() + "/site.body";
    ASSERT_TRUE(writeFile(strFile, strNew));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.szName);
        struct Request {
            std::vector<std::string> args;
        } requests[] = {
            {{"-H", "Content-Type: text/plain", "--data-binary", "@" + strFile, url("/config")}},
            {{"-F", "file=@" + strFile, url("/config?import")}},
            {{url("/channel1?start")}},
            {{url("/channel1?stop")}},
            {{url("/decklink_config")}},
        };
        for (const Request& req : requests) {
            SCOPED_TRACE(req.args.back());
            std::vector<std::string> args;
            for (const std::string& strHeader : c.headers) {
                args.push_back("-H");
                args.push_back(strHeader);
            }
            args.insert(args.end(), req.args.begin(), req.args.end());
            const size_t nLogLines = countOf(readFile("/etc/ruxod/ruxod_cgi.log"), "\n");
            CurlReply r = curlRun(args);
            if (c.bRefused) {
                EXPECT_EQ(r.nStatus, 403);
                EXPECT_EQ(r.strBody, "request from another site refused");
                EXPECT_EQ(r.header("content-type"), "text/plain; charset=utf-8");
                EXPECT_EQ(readFile(kConfigFile), strBefore);
                EXPECT_NE(curlRun({url("/status")}).strBody.find("\"idle\""), std::string::npos);
                EXPECT_GT(countOf(readFile("/etc/ruxod/ruxod_cgi.log"), "\n"), nLogLines);
            } else {
                EXPECT_NE(r.nStatus, 403) << r.strBody;
                EXPECT_NE(r.nStatus, 0);
            }
        }
        /* What went through is undone for the next case. */
        ASSERT_TRUE(writeFile(m_d.dir() + "/old.body", strBefore));
        curlRun({"--data-binary", "@" + m_d.dir() + "/old.body", url("/channel1?stop")});
        curlRun(
            {"-H", "Content-Type: application/json", "--data-binary", "@" + m_d.dir() + "/old.body", url("/config")});
        ASSERT_TRUE(
            waitUntil([&] { return curlRun({url("/status")}).strBody.find("\"idle\"") != std::string::npos; }, 15000));
        ASSERT_EQ(readFile(kConfigFile), strBefore);
    }
    stopDaemon();
}

/* ---- HTTPS with files that cannot work ------------------------------------------------------- */

/* A post that asks for HTTPS with a certificate that cannot work is refused, naming the file; the
 * fall-back at start-up serves plain HTTP but keeps "sslEnable" as the file says, so the exit save
 * keeps it and the next start with a mended certificate serves HTTPS. */
TEST_F(SafetyDaemon, ACertificateThatCannotWorkIsRefusedAndTheFallBackKeepsTheFlag)
{
    ASSERT_EQ(mkdir(kConfigDir, 0755), 0);
    const std::string strCert = "/etc/ruxod/cert.pem", strKey = "/etc/ruxod/key.pem";
    const std::string strGood = m_d.dir() + "/good.pem";
    RunResult rr = runCaptured({"openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
                                "-nodes", "-subj", "/CN=ruxotest", "-days", "2", "-keyout", strKey, "-out", strGood});
    ASSERT_EQ(rr.nExit, 0);
    ASSERT_TRUE(writeFile(strCert, "-----BEGIN CERTIFICATE-----\ngarbage\n-----END CERTIFICATE-----\n"));
    const std::string strTls = ", \"sslEnable\": true, \"sslCert\": \"" + strCert + "\", \"sslKey\": \"" + strKey +
                               "\"";
    startWith(config(channel("/media/a.mp4")));
    const std::string strBefore = readFile(kConfigFile);

    struct Case {
        const char* szName;
        std::string strGlobal;
        const char* szReasonStart;
    } cases[] = {
        {"garbage certificate", strTls, "cannot use the certificate /etc/ruxod/cert.pem: "},
        {"missing certificate",
         ", \"sslEnable\": true, \"sslCert\": \"/etc/ruxod/none.pem\", \"sslKey\": \"" + strKey + "\"",
         "cannot use the certificate /etc/ruxod/none.pem: cannot open /etc/ruxod/none.pem: No such file or directory"},
        {"missing key", ", \"sslEnable\": true, \"sslCert\": \"" + strGood + "\", \"sslKey\": \"/etc/ruxod/none.pem\"",
         "cannot use the key /etc/ruxod/none.pem: cannot open /etc/ruxod/none.pem: No such file or directory"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.szName);
        CurlReply r = post("/config", config(channel("/media/a.mp4"), c.strGlobal));
        EXPECT_EQ(r.nStatus, 400);
        EXPECT_EQ(r.strBody.rfind(c.szReasonStart, 0), 0u) << r.strBody;
        EXPECT_EQ(r.strBody.find('\n'), std::string::npos) << r.strBody;
        EXPECT_EQ(readFile(kConfigFile), strBefore);
    }
    /* Nothing restarted: still plain HTTP. */
    EXPECT_NE(curlRun({url("/runtime")}).strBody.find("\"https\": false"), std::string::npos);
    stopDaemon();

    /* The same garbage in the file at start-up: plain HTTP, and the flag survives the exit save. */
    ASSERT_TRUE(writeFile(kConfigFile, config(channel("/media/a.mp4"), strTls)));
    startDaemon();
    EXPECT_NE(m_d.output().find("HTTPS not started, the certificate /etc/ruxod/cert.pem"), std::string::npos)
        << m_d.output();
    EXPECT_NE(curlRun({url("/runtime")}).strBody.find("\"https\": false"), std::string::npos);
    /* A channel edit keeps the TLS settings it does not change, and is taken. */
    EXPECT_EQ(post("/config", config(channel("/media/b.mp4"), strTls)).nStatus, 200);
    stopDaemon();
    cJSON* json = cJSON_Parse(readFile(kConfigFile).c_str());
    ASSERT_NE(json, nullptr) << readFile(kConfigFile);
    EXPECT_TRUE(cJSON_IsTrue(cJSON_GetObjectItem(cJSON_GetObjectItem(json, "global"), "sslEnable")))
        << readFile(kConfigFile);
    cJSON_Delete(json);

    /* Mended, the next start serves HTTPS. */
    ASSERT_TRUE(writeFile(strCert, readFile(strGood)));
    ASSERT_EQ(m_d.start({}), 0) << m_d.output();
    ASSERT_TRUE(waitUntil(
        [&] {
            return curlRun({"-k", "https://127.0.0.1:8888/runtime"}).nStatus == 200;
        },
        15000))
        << m_d.output();
    EXPECT_NE(curlRun({"-k", "https://127.0.0.1:8888/runtime"}).strBody.find("\"https\": true"), std::string::npos);
    stopDaemon();
}
