/* test_daemon_faults.cpp -- the running daemon against faults of its files and of its transcoders:
 * a log folder that is full and then read-only, a configuration folder that is full, a transcoder
 * that floods its output, one that never reads its input, one that closes its output and runs on,
 * 64 that all end at the same moment, and one that cannot be executed for a while. Each time the daemon goes on supervising the other
 * channels, answers "/status" quickly (99th percentile under 50 ms, checked on the plain build),
 * writes no more log than its limits allow and loses no configuration. */
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>

#include <cjson/cJSON.h>

#include "daemon_load.h"

using namespace ruxotest;

namespace {

const char* const kLogDir = "/var/ruxod/log";
const char* const kConfigDir = "/etc/ruxod";
const char* const kConfigFile = "/etc/ruxod/ruxod.json";
const off_t kLogRotateSize = 5000000;

/* A small tmpfs over a folder of the sandbox (made first). */
bool mountSmallTmpfs(const char* szDir, const char* szSize)
{
    std::string strOut;
    runCommand({"mkdir", "-p", szDir}, &strOut);
    return mount("tmpfs", szDir, "tmpfs", 0, (std::string("size=") + szSize).c_str()) == 0;
}

/* Writes a file until the file system is full; true when it ended on ENOSPC. */
bool fillFile(const std::string& strFile)
{
    int fd = open(strFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    std::string strBlock(65536, 'x');
    bool bFull = false;
    for (;;) {
        ssize_t n = write(fd, strBlock.data(), strBlock.size());
        if (n < 0) {
            bFull = errno == ENOSPC;
            break;
        }
    }
    /* The last partial block may leave a few bytes: take them too. */
    while (write(fd, "x", 1) == 1) {
    }
    close(fd);
    return bFull;
}

/* Fills a file system: files until no inode is left, then the first of them until no block is
 * left (tmpfs may still hand a page or two to a write from another processor, but no new file
 * can be made at all). True when both ended on ENOSPC. */
bool fillUp(const std::string& strDir)
{
    bool bNoInodes = false;
    for (int n = 0; n < 100000 && !bNoInodes; n++) {
        int fd = open((strDir + "/filler-" + std::to_string(n)).c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
        if (fd >= 0)
            close(fd);
        bNoInodes = fd < 0 && errno == ENOSPC;
    }
    return bNoInodes && fillFile(strDir + "/filler-0");
}

/* The channel log files in the log folder (current and numbered, "ruxo_<N>..."), by name, with
 * their sizes. */
std::map<std::string, off_t> channelLogFiles()
{
    std::map<std::string, off_t> files;
    DIR* dir = opendir(kLogDir);
    while (dir != nullptr) {
        struct dirent* ent = readdir(dir);
        if (ent == nullptr)
            break;
        std::string strName = ent->d_name;
        if (strName.compare(0, 5, "ruxo_") == 0 && strName.size() > 4 &&
            strName.compare(strName.size() - 4, 4, ".log") == 0)
            files[strName] = fileSize(std::string(kLogDir) + "/" + strName);
    }
    if (dir != nullptr)
        closedir(dir);
    return files;
}

/* Every channel's logs are within the rotation limits: the current log and at most nine numbered
 * ones, none much past the rotation size (a line may cross it). */
void expectLogsWithinLimits()
{
    std::map<std::string, int> perChannel;
    for (const auto& f : channelLogFiles()) {
        perChannel[f.first.substr(0, 8)]++;
        EXPECT_LE(f.second, kLogRotateSize + 8192) << f.first << " grew past its rotation size";
    }
    for (const auto& c : perChannel)
        EXPECT_LE(c.second, 10) << c.first << ": the current log and nine numbered ones";
}

/* The channel names of a configuration text, in order (empty when it does not parse). */
std::vector<std::string> channelNames(const std::string& strConfig)
{
    std::vector<std::string> names;
    cJSON* root = cJSON_Parse(strConfig.c_str());
    cJSON* ch = nullptr;
    cJSON_ArrayForEach(ch, cJSON_GetObjectItem(root, "channels"))
    {
        const char* sz = cJSON_GetStringValue(cJSON_GetObjectItem(ch, "name"));
        names.push_back(sz ? sz : "");
    }
    cJSON_Delete(root);
    return names;
}

/* Bytes a process has written so far (its "wchar"), -1 when it is gone. */
long long bytesWritten(pid_t pid)
{
    return procField(pid, "io", "wchar:");
}

/* The system call a process is blocked in (its number), -1 when it is gone or running. */
long blockedSyscall(pid_t pid)
{
    std::string str = readFile("/proc/" + std::to_string(pid) + "/syscall");
    if (str.empty() || str.compare(0, 7, "running") == 0)
        return -1;
    return atol(str.c_str());
}

}  // namespace

class DaemonFaults : public LoadDaemon {
protected:
    /* The probe's 99th percentile is within the limit (only the plain build is timed). */
    void expectQuickStatus(const StatusProbe& probe)
    {
        printf("faults: %s: status %s\n", ::testing::UnitTest::GetInstance()->current_test_info()->name(),
               probe.summary().c_str());
        fflush(stdout);
        EXPECT_GT(probe.count(), 0u);
        EXPECT_EQ(0, probe.failures());
        if (!sanitizedBuild()) {
            EXPECT_LT(probe.percentile(0.99), 50) << probe.summary();
        }
    }
    bool waitState(int i, const std::string& strState, int nTimeoutMs = 30000)
    {
        return waitUntil([&] { return stateOf(status(), i) == strState; }, nTimeoutMs);
    }

    /* A configuration with one more channel, the sentinel, after the others: its transcoder ends
     * by itself after 0.1 to 2 s, so it shows whether the daemon goes on restarting channels. */
    static std::string withSentinel(const std::string& strConfig, int nChannels)
    {
        return strConfig.substr(0, strConfig.size() - 2) + "," + channel(nChannels, "random", "sentinel") + "]}";
    }
    int sentinelStarts(int nChannels) const { return startsPerChannel(nChannels + 1)[(size_t)nChannels]; }
    /* Waits until the sentinel was started twice more than nBefore times. */
    void expectSentinelRestarted(int nChannels, int nBefore)
    {
        EXPECT_TRUE(waitUntil([&] { return sentinelStarts(nChannels) >= nBefore + 2; }, 30000))
            << "the daemon stopped restarting the other channels: " << sentinelStarts(nChannels) << " starts";
    }

    /* After the daemon's end: the logs within their limits, and the configuration file whole,
     * holding the channels of strExpected. */
    void expectNothingLost(const std::string& strExpected)
    {
        expectLogsWithinLimits();
        std::vector<std::string> names = channelNames(readFile(kConfigFile));
        EXPECT_FALSE(names.empty()) << readFile(kConfigFile);
        EXPECT_EQ(channelNames(strExpected), names) << "the configuration file lost channels";
    }
};

/* A full log folder, then a read-only one: a channel start fails with "channel log cannot be
 * written" on the web (the engine's -12), whether its log opens and takes nothing or does not open,
 * and nothing else breaks; once the folder is writable again the daemon starts the channel by
 * itself. */
TEST_F(DaemonFaults, LogFolderFullThenReadOnly)
{
    ASSERT_TRUE(mountSmallTmpfs(kLogDir, "512k,nr_inodes=32"));
    std::string strConfig = config(2, "run");
    const std::string strSecond = "{\"enable\":true,\"name\":\"1\"";
    strConfig.replace(strConfig.find(strSecond), strSecond.size(), "{\"enable\":false,\"name\":\"1\"");
    ASSERT_NO_FATAL_FAILURE(startDaemon(strConfig));
    ASSERT_TRUE(waitState(0, "running")) << status();
    StatusProbe probe(kLoadPort);
    probe.start();

    /* Channel 2's log is there from an earlier run: it opens, but no line fits. */
    ASSERT_TRUE(writeFile(std::string(kLogDir) + "/ruxo_002.log", ""));
    ASSERT_TRUE(fillUp(kLogDir));
    CurlReply r = channelAction(2, "start");
    EXPECT_EQ(400, r.nStatus);
    EXPECT_EQ("channel log cannot be written", r.strBody);
    EXPECT_EQ("idle", stateOf(status(), 1));
    EXPECT_EQ("running", stateOf(status(), 0)) << "the running channel is left alone";
    EXPECT_EQ(200, postConfig(config(2, "run", "x")).nStatus) << "configurations are still taken";

    std::string strOut;
    runCommand({"sh", "-c", std::string("rm -f ") + kLogDir + "/filler-*"}, &strOut);
    /* Read-only for every file opened from now on: a read-only bind mount over the folder (the
     * folder itself cannot be made read-only while the running channel's log is open on it). */
    ASSERT_EQ(0, mount(kLogDir, kLogDir, nullptr, MS_BIND, nullptr)) << strerror(errno);
    ASSERT_EQ(0, mount(nullptr, kLogDir, nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr)) << strerror(errno);
    /* The post above enabled channel 2 again; the daemon's own retries fail the same way. */
    r = channelAction(2, "start");
    EXPECT_EQ(400, r.nStatus);
    EXPECT_EQ("channel log cannot be written", r.strBody);
    EXPECT_EQ("running", stateOf(status(), 0));

    ASSERT_EQ(0, umount2(kLogDir, 0)) << strerror(errno);
    EXPECT_TRUE(waitState(1, "running")) << "the enabled channel is started once its log can be written";
    probe.stop();
    expectQuickStatus(probe);
    EXPECT_TRUE(m_d.alive());
    ASSERT_NO_FATAL_FAILURE(stopDaemon());
    expectNothingLost(config(2, "run", "x"));
}

/* A full configuration folder: a post is refused with the reason and installs nothing, the
 * channels run on, a channel that ends is still restarted, and the file on disk stays whole. */
TEST_F(DaemonFaults, ConfigurationFolderFull)
{
    ASSERT_TRUE(mountSmallTmpfs(kConfigDir, "256k,nr_inodes=32"));
    ASSERT_NO_FATAL_FAILURE(startDaemon(withSentinel(config(4, "run"), 4)));
    ASSERT_TRUE(waitUntil([&] { return startsPerChannel(4) == std::vector<int>(4, 1); }, 30000)) << readFile(fakeLog());
    const std::string strBefore = readFile(kConfigFile);
    StatusProbe probe(kLoadPort);
    probe.start();
    ASSERT_TRUE(fillUp(kConfigDir));
    const int nSentinel = sentinelStarts(4);

    CurlReply r = postConfig(config(2, "run", "lost"));
    EXPECT_EQ(500, r.nStatus);
    EXPECT_NE(std::string::npos, r.strBody.find("No space left on device")) << r.strBody;
    for (int i = 0; i < 4; i++)
        EXPECT_EQ("running", stateOf(status(), i)) << "channel " << i << " must run on";
    EXPECT_EQ(strBefore, readFile(kConfigFile));
    expectSentinelRestarted(4, nSentinel);
    probe.stop();
    expectQuickStatus(probe);
    EXPECT_EQ(std::vector<int>(4, 1), startsPerChannel(4)) << "no channel was stopped or restarted";

    /* The exit's save cannot be written either: the file stays as it was. */
    ASSERT_NO_FATAL_FAILURE(stopDaemon());
    EXPECT_EQ(strBefore, readFile(kConfigFile));
    expectNothingLost(strBefore);
}

/* A transcoder that writes as fast as the pipe takes it, for RUXO_FLOOD_SECONDS (60 by default):
 * the other channels run on undisturbed, the status stays quick, the flood's log never grows past
 * its rotation limits, and the flooding channel still stops when asked. */
TEST_F(DaemonFaults, TranscoderFloodingItsOutput)
{
    const int nSeconds = envSeconds("RUXO_FLOOD_SECONDS", 60);
    std::string strConfig = config(4, "run");
    strConfig.replace(strConfig.find("fake:run"), 8, "fake:flood");
    strConfig = withSentinel(strConfig, 4);
    ASSERT_NO_FATAL_FAILURE(startDaemon(strConfig));
    /* A slot counts as running from its fork on; the fake records its line a little later. */
    ASSERT_TRUE(waitUntil([&] { return startsPerChannel(4) == std::vector<int>(4, 1); }, 30000)) << readFile(fakeLog());
    pid_t pidFlood = 0;
    for (const FakeRecord& rec : fakeRecords(fakeLog()))
        if (rec.kind == "line" && rec.rest.find("fake:flood") != std::string::npos)
            pidFlood = rec.pid;
    ASSERT_GT(pidFlood, 0);

    StatusProbe probe(kLoadPort);
    probe.start();
    const long long tmStart = nowMs();
    const long long nWrittenBefore = bytesWritten(pidFlood);
    const int nSentinel = sentinelStarts(4);
    bool bOthersRan = true;
    while (nowMs() - tmStart < nSeconds * 1000LL) {
        std::string strStatus = status();
        for (int i = 1; i < 4; i++)
            bOthersRan = bOthersRan && stateOf(strStatus, i) == "running";
        usleep(500000);
    }
    const long long nWritten = bytesWritten(pidFlood) - nWrittenBefore;
    const double dSeconds = (double)(nowMs() - tmStart) / 1000.0;
    probe.stop();
    const int nSentinelRestarts = sentinelStarts(4) - nSentinel;
    printf("faults: the flood wrote %.1f MB/s for %.0f s; the sentinel channel was started %d times meanwhile\n",
           (double)nWritten / dSeconds / 1e6, dSeconds, nSentinelRestarts);

    EXPECT_TRUE(bOthersRan) << status();
    /* A cycle is at most 2 s of running, the 1 s delay and a pass. */
    EXPECT_GE(nSentinelRestarts, nSeconds / 8) << "the daemon stopped restarting the other channels";
    expectSentinelRestarted(4, nSentinel);
    EXPECT_EQ(std::vector<int>({1, 1, 1, 1}), startsPerChannel(4)) << "a channel was restarted";
    EXPECT_TRUE(channelLogFiles().count("ruxo_001.log")) << "the flooding channel has its log";
    expectLogsWithinLimits();
    expectQuickStatus(probe);

    CurlReply r = channelAction(1, "stop");
    EXPECT_EQ(200, r.nStatus);
    EXPECT_TRUE(waitState(0, "idle")) << status();
    EXPECT_NE("yes", processName(pidFlood)) << "the flooding transcoder still runs";
    EXPECT_EQ("running", stateOf(status(), 1));
    ASSERT_NO_FATAL_FAILURE(stopDaemon());
    expectNothingLost(strConfig);
}

/* Transcoders that never read what the daemon writes them run, stop when asked and end with the
 * daemon. */
TEST_F(DaemonFaults, TranscoderThatNeverReadsItsInput)
{
    ASSERT_NO_FATAL_FAILURE(startDaemon(config(3, "run"), {{"RUXO_FAKE_MODE", "deaf"}}));
    ASSERT_TRUE(waitUntil([&] { return recordsOf("deaf") == 3; }, 30000)) << readFile(fakeLog());
    for (int i = 0; i < 3; i++)
        ASSERT_TRUE(waitState(i, "running")) << status();
    StatusProbe probe(kLoadPort);
    probe.start();
    EXPECT_EQ(200, channelAction(2, "stop").nStatus);
    EXPECT_TRUE(waitState(1, "idle")) << status();
    EXPECT_EQ("running", stateOf(status(), 0));
    EXPECT_EQ("running", stateOf(status(), 2));
    EXPECT_EQ(200, channelAction(2, "start").nStatus);
    EXPECT_TRUE(waitState(1, "running")) << status();
    probe.stop();
    expectQuickStatus(probe);
    ASSERT_NO_FATAL_FAILURE(stopDaemon());
    expectNothingLost(config(3, "run"));
}

/* A transcoder that closes its output and runs on falls silent: after 30 s the daemon kills it and
 * starts it again, while the other channel runs on. */
TEST_F(DaemonFaults, TranscoderThatClosesItsOutputAndRunsOn)
{
    std::string strConfig = config(2, "run");
    strConfig.replace(strConfig.find("fake:run"), 8, "fake:mute");
    strConfig = withSentinel(strConfig, 2);
    ASSERT_NO_FATAL_FAILURE(startDaemon(strConfig));
    ASSERT_TRUE(waitUntil([&] { return startsPerChannel(2) == std::vector<int>({1, 1}); }, 30000));
    const long long tmStart = nowMs();
    const int nSentinel = sentinelStarts(2);
    StatusProbe probe(kLoadPort);
    probe.start();
    ASSERT_TRUE(waitUntil([&] { return startsPerChannel(2)[0] >= 2; }, 120000))
        << "the silent transcoder was never replaced: " << readFile(fakeLog());
    probe.stop();
    EXPECT_GE(nowMs() - tmStart, 29000) << "killed before 30 s of silence";
    EXPECT_NE(std::string::npos, readFile(std::string(kLogDir) + "/ruxo_001.log").find("seems to be hanging"));
    EXPECT_EQ(1, startsPerChannel(2)[1]) << "the other channel was disturbed";
    EXPECT_EQ("running", stateOf(status(), 1));
    EXPECT_GE(sentinelStarts(2) - nSentinel, 3) << "the daemon stopped restarting the other channels";
    expectQuickStatus(probe);
    ASSERT_NO_FATAL_FAILURE(stopDaemon());
    expectNothingLost(strConfig);
}

/* 64 transcoders that end at the same moment (all wake from one FIFO): every channel is started
 * again, no child is left unreaped, the status stays quick. */
TEST_F(DaemonFaults, SixtyFourTranscodersEndTogether)
{
    const int kChannels = 64;
    const std::string strFifo = m_d.dir() + "/end.fifo";
    ASSERT_EQ(0, mkfifo(strFifo.c_str(), 0600));
    ASSERT_NO_FATAL_FAILURE(startDaemon(config(kChannels, "fifo"), {{"RUXO_FAKE_FIFO", strFifo}}));
    /* All of them blocked opening the FIFO. */
    ASSERT_TRUE(waitUntil(
        [&] {
            std::vector<FakeRecord> recs = fakeRecords(fakeLog());
            int nBlocked = 0;
            for (const FakeRecord& rec : recs)
                if (rec.kind == "wait") {
                    long nCall = blockedSyscall(rec.pid);
                    nBlocked += nCall == 257 /* openat */ || nCall == 2 /* open */;
                }
            return nBlocked == kChannels;
        },
        60000))
        << recordsOf("wait") << " waiting";
    StatusProbe probe(kLoadPort);
    probe.start();

    int fd = open(strFifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(fd, 0) << strerror(errno);
    close(fd);
    ASSERT_TRUE(waitUntil(
        [&] {
            std::vector<int> v = startsPerChannel(kChannels);
            return *std::min_element(v.begin(), v.end()) >= 2;
        },
        60000))
        << "not every channel was started again";
    std::set<pid_t> zombies = zombieChildren(m_d.pid());
    bool bReaped = waitUntil(
        [&] {
            std::set<pid_t> now = zombieChildren(m_d.pid());
            for (pid_t z : now)
                if (zombies.count(z))
                    return false;
            return true;
        },
        5000);
    EXPECT_TRUE(bReaped) << "a child stayed unreaped";
    for (int i = 0; i < kChannels; i++)
        EXPECT_TRUE(waitState(i, "running", 10000)) << "channel " << i;
    probe.stop();
    expectQuickStatus(probe);
    ASSERT_NO_FATAL_FAILURE(stopDaemon());
    expectNothingLost(config(kChannels, "fifo"));
}

/* A transcoder that cannot be executed for a while: each failed exec, which the poll learns from
 * the child's report, is logged with its reason before the child's end, the channel is started
 * again and again meanwhile, and it runs once the transcoder can be executed again. */
TEST_F(DaemonFaults, TranscoderThatCannotRunIsLoggedAndRestarted)
{
    ASSERT_NO_FATAL_FAILURE(startDaemon(config(1, "random")));
    ASSERT_TRUE(waitUntil([&] { return startsPerChannel(1)[0] >= 1; }, 30000)) << readFile(fakeLog());
    const std::string strExe = m_d.binDir() + "/ruxod.so";
    const std::string strLog = std::string(kLogDir) + "/ruxo_001.log";
    /* Root passes the access test on a file without execute bits; the exec does not. */
    ASSERT_EQ(0, chmod(strExe.c_str(), 0644));
    StatusProbe probe(kLoadPort);
    probe.start();
    const std::string strFailed = "] cannot run " + strExe + ": " + strerror(EACCES) + "\n";
    EXPECT_TRUE(waitUntil([&] { return countOf(readFile(strLog), strFailed) >= 2; }, 30000)) << readFile(strLog);
    std::string strText = readFile(strLog);
    size_t at = strText.find(strFailed);
    ASSERT_NE(std::string::npos, at) << strText;
    EXPECT_NE(std::string::npos, strText.find("] transcoding stopped (0x00007f00)\n", at)) << strText;
    const int nBefore = startsPerChannel(1)[0];
    ASSERT_EQ(0, chmod(strExe.c_str(), 0755));
    EXPECT_TRUE(waitUntil([&] { return startsPerChannel(1)[0] > nBefore; }, 30000))
        << "the channel did not run again: " << readFile(strLog);
    probe.stop();
    expectQuickStatus(probe);
    ASSERT_NO_FATAL_FAILURE(stopDaemon());
}
