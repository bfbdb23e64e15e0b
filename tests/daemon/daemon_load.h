/* daemon_load.h -- what the restart-storm soak and the fault-injection tests share: a daemon in its
 * namespace with many channels on the scripted fake transcoder (one mode for all, each channel known
 * by its UDP target port), a thread that polls "/status" without pause and times every reply, and
 * the daemon's own figures read from /proc (descriptors, resident memory, children left unreaped).
 * Header-only. */
#ifndef RUXO_TEST_DAEMON_LOAD_H
#define RUXO_TEST_DAEMON_LOAD_H

#include <dirent.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "ns_daemon.h"
#include "ruxo_curl.h"

namespace ruxotest {

const int kLoadPort = 18090;
const int kLoadFirstUdpPort = 20000; /* channel n sends to udp://127.0.0.1:(20000 + n) */

/* Seconds from the environment variable, or the default. */
inline int envSeconds(const char* szName, int nDefault)
{
    const char* sz = getenv(szName);
    int n = sz ? atoi(sz) : 0;
    return n > 0 ? n : nDefault;
}

/* The daemon was built with a sanitizer: timing bounds that hold for the plain build do not. */
inline bool sanitizedBuild()
{
#if defined(RUXO_SANITIZED_BUILD) || defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    return true;
#else
    return false;
#endif
}

/* Polls "/status" one request after another on a thread of its own, timing each reply. */
class StatusProbe {
public:
    explicit StatusProbe(int nPort) : m_nPort(nPort) {}
    ~StatusProbe() { stop(); }

    void start()
    {
        m_bRun = true;
        m_thread = std::thread([this] {
            while (m_bRun) {
                long long tm = nowMs();
                std::string strBody;
                int nStatus = rawGet(m_nPort, "/status", &strBody, 10000);
                long long nMs = nowMs() - tm;
                std::lock_guard<std::mutex> lk(m_mtx);
                if (nStatus == 200 && strBody.find("\"channels\"") != std::string::npos) {
                    m_vMs.push_back(nMs);
                    m_strLast = strBody;
                } else {
                    m_nFailures++;
                }
            }
        });
    }
    void stop()
    {
        m_bRun = false;
        if (m_thread.joinable())
            m_thread.join();
    }
    size_t count() const
    {
        std::lock_guard<std::mutex> lk(m_mtx);
        return m_vMs.size();
    }
    int failures() const
    {
        std::lock_guard<std::mutex> lk(m_mtx);
        return m_nFailures;
    }
    /* The reply time (ms) that the given share of the replies did not exceed (0.99: the 99th
     * percentile); -1 before the first reply. */
    long long percentile(double d) const
    {
        std::lock_guard<std::mutex> lk(m_mtx);
        if (m_vMs.empty())
            return -1;
        std::vector<long long> v = m_vMs;
        std::sort(v.begin(), v.end());
        size_t k = (size_t)(d * (double)(v.size() - 1) + 0.5);
        return v[std::min(k, v.size() - 1)];
    }
    std::string last() const
    {
        std::lock_guard<std::mutex> lk(m_mtx);
        return m_strLast;
    }
    std::string summary() const
    {
        return std::to_string(count()) + " replies, " + std::to_string(failures()) + " failed, p50 " +
               std::to_string(percentile(0.5)) + " ms, p99 " + std::to_string(percentile(0.99)) + " ms, max " +
               std::to_string(percentile(1.0)) + " ms";
    }

private:
    int m_nPort;
    std::atomic<bool> m_bRun{false};
    std::thread m_thread;
    mutable std::mutex m_mtx;
    std::vector<long long> m_vMs;
    int m_nFailures = 0;
    std::string m_strLast;
};

/* The number after "szKey" at the start of a line of /proc/<pid>/<szFile> (-1 when it is gone). */
inline long long procField(pid_t pid, const char* szFile, const char* szKey)
{
    std::string strText = "\n" + readFile("/proc/" + std::to_string(pid) + "/" + szFile);
    size_t n = strText.find("\n" + std::string(szKey));
    return n == std::string::npos ? -1 : atoll(strText.c_str() + n + 1 + strlen(szKey));
}

/* The slope of the least-squares line through the points (x, y); 0 with fewer than two distinct x. */
inline double fittedSlope(const std::vector<std::pair<double, double>>& points)
{
    if (points.size() < 2)
        return 0;
    double dX = 0, dY = 0;
    for (const auto& p : points) {
        dX += p.first;
        dY += p.second;
    }
    dX /= (double)points.size();
    dY /= (double)points.size();
    double dXY = 0, dXX = 0;
    for (const auto& p : points) {
        dXY += (p.first - dX) * (p.second - dY);
        dXX += (p.first - dX) * (p.first - dX);
    }
    return dXX > 0 ? dXY / dXX : 0;
}

/* Counts the starts the fake transcoder records ("line" records) as its record file grows, reading
 * only what was added since the last call. */
class StartCounter {
public:
    explicit StartCounter(std::string strFile) : m_strFile(std::move(strFile)) {}
    long count()
    {
        FILE* f = fopen(m_strFile.c_str(), "r");
        if (!f)
            return m_nStarts;
        if (fseek(f, m_nOffset, SEEK_SET) == 0) {
            char buf[65536];
            size_t n;
            while ((n = fread(buf, 1, sizeof(buf), f)) > 0) {
                m_nOffset += (long)n;
                m_strPartial.append(buf, n);
            }
        }
        fclose(f);
        size_t nStart = 0, nEnd;
        while ((nEnd = m_strPartial.find('\n', nStart)) != std::string::npos) {
            /* "<pid> line <text>" */
            size_t a = m_strPartial.find(' ', nStart);
            if (a < nEnd && m_strPartial.compare(a + 1, 5, "line ") == 0)
                m_nStarts++;
            nStart = nEnd + 1;
        }
        m_strPartial.erase(0, nStart);
        return m_nStarts;
    }

private:
    std::string m_strFile;
    long m_nOffset = 0;
    long m_nStarts = 0;
    std::string m_strPartial;
};

/* Resident anonymous memory of a process in KiB without its threads' stacks (-1 when it is gone):
 * the memory that a leak grows. Left out are the pages of its program and libraries, which a
 * loaded machine drops and reads in again as it likes, and the stacks: a short-lived thread (a
 * timer's) touches a few pages of a stack of its own, so the figure would move with the number of
 * such threads alive at a sample. A stack is an anonymous writable mapping of the default thread
 * stack size (the stack limit, which the daemon inherits). */
inline long anonymousKbWithoutStacks(pid_t pid)
{
    struct rlimit rl;
    const long nStackKb = getrlimit(RLIMIT_STACK, &rl) == 0 && rl.rlim_cur != RLIM_INFINITY ? (long)(rl.rlim_cur / 1024)
                                                                                            : -1;
    std::istringstream in(readFile("/proc/" + std::to_string(pid) + "/smaps"));
    long nRss = 0;
    bool bAny = false, bStackShape = false, bStack = false;
    for (std::string strLine; std::getline(in, strLine);) {
        size_t nSp = strLine.find(' ');
        if (nSp != std::string::npos && strLine.find('-') < nSp) {
            /* "start-end perms offset dev inode [path]" */
            std::istringstream head(strLine);
            std::string strRange, strPerms, strOffset, strDev, strInode, strPath;
            head >> strRange >> strPerms >> strOffset >> strDev >> strInode >> strPath;
            bStackShape = strPerms == "rw-p" && strPath.empty();
            bStack = false;
            bAny = true;
        } else if (strLine.compare(0, 5, "Size:") == 0) {
            bStack = bStackShape && nStackKb > 0 && atol(strLine.c_str() + 5) == nStackKb;
        } else if (strLine.compare(0, 10, "Anonymous:") == 0 && !bStack) {
            nRss += atol(strLine.c_str() + 10);
        }
    }
    return bAny ? nRss : -1;
}

/* The descriptors of a process that belong to none of its children: what it holds of its own,
 * whatever number of children runs at the moment. Left out: a pipe that a child holds too, a
 * pidfd of a child (live or not yet reaped), and one descriptor per distinct file in the data
 * folder's log folder (the log of a running channel). A pipe or pidfd kept after its child was
 * reaped counts, and so does a second descriptor of one log; so do those of a child that ended a
 * moment ago and is not yet handled, or of one that has not yet closed its copy: the lowest of a
 * few reads (lowestOwnDescriptors) waits those out. -1 when the process is gone. */
inline int ownDescriptors(pid_t pid)
{
    /* fd number -> link text of one process; false when it is gone. */
    auto links = [](pid_t p, std::map<std::string, std::string>* pLinks) {
        const std::string strDir = "/proc/" + std::to_string(p) + "/fd";
        DIR* dir = opendir(strDir.c_str());
        if (!dir)
            return false;
        while (struct dirent* ent = readdir(dir)) {
            if (ent->d_name[0] == '.')
                continue;
            char szLink[512];
            ssize_t n = readlink((strDir + "/" + ent->d_name).c_str(), szLink, sizeof(szLink) - 1);
            if (n > 0)
                (*pLinks)[ent->d_name] = std::string(szLink, (size_t)n);
        }
        closedir(dir);
        return true;
    };
    std::map<std::string, std::string> own;
    if (!links(pid, &own))
        return -1;
    std::set<std::string> childPipes;
    std::set<long> kids;
    for (pid_t kid : childrenOf(pid)) {
        kids.insert((long)kid);
        std::map<std::string, std::string> kidLinks;
        links(kid, &kidLinks);
        for (const auto& kv : kidLinks)
            if (kv.second.compare(0, 5, "pipe:") == 0)
                childPipes.insert(kv.second);
    }
    static const char kLogFolder[] = "/var/ruxod/log/";
    int n = 0;
    std::set<std::string> logs;
    for (const auto& kv : own) {
        const std::string& strLink = kv.second;
        if (strLink.compare(0, 5, "pipe:") == 0 && childPipes.count(strLink))
            continue;
        if (strLink == "anon_inode:[pidfd]") {
            long nPid = procField(pid, ("fdinfo/" + kv.first).c_str(), "Pid:");
            if (kids.count(nPid))
                continue;
        }
        if (strLink.compare(0, strlen(kLogFolder), kLogFolder) == 0 && logs.insert(strLink).second)
            continue;
        n++;
    }
    return n;
}

/* The lowest count of ownDescriptors over nReads reads nGapMs apart: a pipe of a child that has
 * just ended or just started is gone or shared by the next read (-1 when the process is gone). */
inline int lowestOwnDescriptors(pid_t pid, int nReads = 10, int nGapMs = 20)
{
    int nLowest = -1;
    for (int k = 0; k < nReads; k++) {
        int n = ownDescriptors(pid);
        if (n < 0)
            return -1;
        nLowest = nLowest < 0 ? n : std::min(nLowest, n);
        if (k + 1 < nReads)
            usleep((useconds_t)nGapMs * 1000);
    }
    return nLowest;
}

/* The children of a process that have ended and not been reaped. */
inline std::set<pid_t> zombieChildren(pid_t pid)
{
    std::set<pid_t> zombies;
    for (pid_t kid : childrenOf(pid)) {
        char state = 0;
        if (procStat(kid, &state, nullptr, nullptr) && state == 'Z')
            zombies.insert(kid);
    }
    return zombies;
}

/* A sandbox with the fake transcoder and a daemon of many channels in one mode. */
class LoadDaemon : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string strErr;
        ASSERT_TRUE(m_d.setUp(Transcoder::Fake, &strErr)) << strErr;
    }
    void TearDown() override { m_d.killAll(); }

    std::string fakeLog() const { return m_d.dir() + "/fake.log"; }

    /* Channel n: a UDP source, a UDP target on its own port, the fake's mode in its options; the
     * name lets two posted configurations differ without changing what runs. */
    static std::string channel(int n, const std::string& strMode, const std::string& strName = "")
    {
        std::ostringstream ss;
        ss << "{\"enable\":true,\"name\":\"" << strName << n << "\","
           << "\"input\":{\"sources\":[{\"format\":\"udp\",\"url\":\"udp://127.0.0.1:1234\"}]},"
           << "\"output\":{\"targets\":[{\"format\":\"udp\",\"url\":\"udp://127.0.0.1:" << kLoadFirstUdpPort + n
           << "\",\"video\":{\"enable\":true,\"codec\":\"h264\",\"bitRate\":300},"
           << "\"audio\":{\"enable\":true,\"codec\":\"aac\",\"bitRate\":64}}],"
           << "\"customOptions\":\"fake:" << strMode << "\"}}";
        return ss.str();
    }
    static std::string config(int nChannels, const std::string& strMode, const std::string& strName = "", int nLog = 32)
    {
        std::string str = "{\"global\":{\"log\":" + std::to_string(nLog) +
                          ",\"httpPort\":" + std::to_string(kLoadPort) + ",\"autoRestart\":1},\"channels\":[";
        for (int n = 0; n < nChannels; n++)
            str += (n ? "," : "") + channel(n, strMode, strName);
        return str + "]}";
    }

    /* Writes the configuration, starts the daemon and waits for its web server. */
    void startDaemon(const std::string& strConfig, EnvList env = EnvList())
    {
        ASSERT_TRUE(m_d.writeConfig(strConfig));
        env.emplace_back("RUXO_FAKE_OUT", fakeLog());
        /* The output file keeps the earlier starts' lines: wait for this start's own. */
        const size_t nBefore = countOf(m_d.output(), "RUXOD started successfully!");
        ASSERT_EQ(0, m_d.start(env)) << m_d.output();
        ASSERT_GT(m_d.pid(), 0);
        ASSERT_TRUE(waitUntil([&] { return countOf(m_d.output(), "RUXOD started successfully!") > nBefore; }, 20000))
            << m_d.output();
        ASSERT_TRUE(waitUntil([] { return canConnect(kLoadPort); }, 10000)) << m_d.output();
    }

    /* SIGTERM and an orderly exit (status 0); then no transcoder is left. */
    void stopDaemon()
    {
        ASSERT_EQ(0, kill(m_d.pid(), SIGTERM));
        int nStatus = -1;
        ASSERT_TRUE(m_d.waitExit(30000, &nStatus)) << "the daemon did not end";
        EXPECT_EQ(0, nStatus) << m_d.output();
        /* The fake transcoder runs as "ruxod.so" (and the flooding one as "yes"). */
        std::string strLeft;
        for (pid_t pid : sandboxProcesses()) {
            std::string strName = processName(pid);
            if (strName == "ruxod.so" || strName == "yes")
                strLeft += " " + std::to_string(pid) + " (" + strName + ")";
        }
        EXPECT_EQ("", strLeft) << "transcoders outlived the daemon";
    }

    /* Starts per channel (by the target port in each recorded line), channels 0 .. nChannels-1. */
    std::vector<int> startsPerChannel(int nChannels) const
    {
        std::vector<int> v((size_t)nChannels, 0);
        for (const FakeRecord& r : fakeRecords(fakeLog())) {
            if (r.kind != "line")
                continue;
            for (int n = 0; n < nChannels; n++)
                if (r.rest.find("127.0.0.1:" + std::to_string(kLoadFirstUdpPort + n) + " ") != std::string::npos)
                    v[(size_t)n]++;
        }
        return v;
    }

    /* Records of one kind ("line", "wait", ...) so far. */
    size_t recordsOf(const std::string& strKind) const
    {
        size_t n = 0;
        for (const FakeRecord& r : fakeRecords(fakeLog()))
            n += r.kind == strKind;
        return n;
    }

    /* "GET /channel<n>?<action>" (n counted from 1): the reply's status and body. */
    CurlReply channelAction(int n, const std::string& strAction) const
    {
        return curlRun(
            {"http://127.0.0.1:" + std::to_string(kLoadPort) + "/channel" + std::to_string(n) + "?" + strAction});
    }

    /* Posts a configuration text; the reply. */
    CurlReply postConfig(const std::string& strConfig) const
    {
        const std::string strFile = m_d.dir() + "/post.json";
        writeFile(strFile, strConfig);
        return curlRun({"-X", "POST", "--data-binary", "@" + strFile,
                        "http://127.0.0.1:" + std::to_string(kLoadPort) + "/config"});
    }

    /* The state of channel i (from 0) in a status reply, "" when it is not there. */
    static std::string stateOf(const std::string& strStatus, int i)
    {
        size_t pos = 0;
        for (int k = 0; k <= i; k++) {
            pos = strStatus.find("\"state\": \"", pos);
            if (pos == std::string::npos)
                return std::string();
            pos += 10;
        }
        return strStatus.substr(pos, strStatus.find('"', pos) - pos);
    }
    std::string status() const
    {
        std::string strBody;
        return rawGet(kLoadPort, "/status", &strBody) == 200 ? strBody : std::string();
    }

    NsDaemon m_d;
};

}  // namespace ruxotest

#endif
