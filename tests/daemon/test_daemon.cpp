/* test_daemon.cpp -- the real ruxod binary in a private mount and network namespace: the single-
 * instance lock, the start-up failure exits, the web port, the signals and the orderly shutdown,
 * restart timers, folder sources, a configuration posted while the loop runs, and one run end to
 * end with the real stand-in transcoder, ffmpeg and ffprobe. */
#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sched.h>
#include <signal.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "ns_daemon.h"
#include "ruxo_curl.h"

using namespace ruxotest;

namespace {

const int kPort = 18080;

const char kBorder[] = "* * * * * * * * * * * * * * * * * * * * *";

struct ChannelSpec {
    bool bEnable = true;
    std::string strSource; /* empty: the sandbox's input file */
    std::string strMode = "run";
    std::string strTarget; /* empty: <dir>/out_<n>.ts as a file target */
    std::string strTargetFormat = "file";
    std::string strOutputExtra; /* more members of "output", as JSON text */
};

std::string quote(const std::string& s)
{
    std::string r = "\"";
    for (char c : s) {
        if (c == '"' || c == '\\')
            r += '\\';
        r += c;
    }
    return r + "\"";
}

/* One start of a fake transcoder as it recorded it: its pid, its input line, and when it started
 * (milliseconds since boot, on its own clock, so that a slow test cannot skew the gaps). */
struct FakeStart {
    pid_t pid;
    std::string strLine;
    long long tmStart;
};

class DaemonTest : public ::testing::Test {
protected:
    void boot(Transcoder transcoder)
    {
        std::string strErr;
        ASSERT_TRUE(m_d.setUp(transcoder, &strErr)) << strErr;
        m_strInput = m_d.dir() + "/in.ts";
        ASSERT_TRUE(writeFile(m_strInput, "x"));
    }

    /* A folder "clips" in the sandbox holding the named files; its path. */
    std::string makeClips(const std::vector<const char*>& names)
    {
        std::string strClips = m_d.dir() + "/clips";
        EXPECT_EQ(0, mkdir(strClips.c_str(), 0755));
        for (const char* name : names)
            EXPECT_TRUE(writeFile(strClips + "/" + name, "x"));
        return strClips;
    }

    EnvList env() const { return {{"RUXO_FAKE_OUT", fakeLog()}, {"RUXO_FAKE_STAMP", "1"}}; }
    std::string fakeLog() const { return m_d.dir() + "/fake.log"; }

    std::string channel(int n, const ChannelSpec& c) const
    {
        std::string strSource = c.strSource.empty() ? m_strInput : c.strSource;
        std::string strTarget = c.strTarget.empty() ? m_d.dir() + "/out_" + std::to_string(n) + ".ts" : c.strTarget;
        std::ostringstream ss;
        ss << "{\"enable\":" << (c.bEnable ? "true" : "false")
           << ",\"input\":{\"sources\":[{\"format\":\"file\",\"url\":" << quote(strSource) << "}]}"
           << ",\"output\":{\"targets\":[{\"format\":" << quote(c.strTargetFormat) << ",\"url\":" << quote(strTarget)
           << ",\"video\":{\"enable\":true,\"codec\":\"h264\",\"width\":320,\"height\":240,\"frameRate\":25,"
              "\"keyFrameInterval\":25,\"bitRate\":300}"
           << ",\"audio\":{\"enable\":true,\"codec\":\"aac\",\"sampleRate\":44100,\"channels\":2,\"bitRate\":64}}]";
        if (!c.strMode.empty())
            ss << ",\"customOptions\":" << quote("fake:" + c.strMode);
        ss << c.strOutputExtra << "}}";
        return ss.str();
    }

    /* A configuration; nPort 0 leaves "httpPort" out. */
    std::string config(const std::vector<ChannelSpec>& channels, int nAutoRestart = 1, int nPort = kPort) const
    {
        std::ostringstream ss;
        ss << "{\"global\":{\"log\":1,";
        if (nPort)
            ss << "\"httpPort\":" << nPort << ",";
        ss << "\"autoRestart\":" << nAutoRestart << "},\"channels\":[";
        for (size_t i = 0; i < channels.size(); i++)
            ss << (i ? "," : "") << channel((int)i, channels[i]);
        ss << "]}";
        return ss.str();
    }

    /* A sandbox with the scripted fake, the configuration of these channels, the daemon started. */
    void startWith(const std::vector<ChannelSpec>& channels, int nAutoRestart = 1)
    {
        ASSERT_NO_FATAL_FAILURE(boot(Transcoder::Fake));
        ASSERT_TRUE(m_d.writeConfig(config(channels, nAutoRestart)));
        ASSERT_NO_FATAL_FAILURE(startDaemon());
    }

    /* Starts the daemon and waits until its start message has been printed. The output file
     * collects every instance of the sandbox, so the message must be a new one. */
    void startDaemon()
    {
        const size_t nBefore = countOf(m_d.output(), "RUXOD started successfully!");
        ASSERT_EQ(0, m_d.start(env()));
        ASSERT_GT(m_d.pid(), 0);
        ASSERT_TRUE(waitUntil([&]() { return countOf(m_d.output(), "RUXOD started successfully!") > nBefore; }, 15000))
            << m_d.output();
    }

    /* A state file for channel 0's playlist, which a failed start-up must leave as it is. */
    static constexpr const char* kPlsFile = "/var/ruxod/ruxo_001.pls";
    static constexpr const char* kPlsText = "current /nowhere/b.ts\n/nowhere/a.ts\n/nowhere/b.ts\n";
    void writeStateFile()
    {
        ASSERT_EQ(0, mkdir("/var/ruxod", 0755));
        ASSERT_TRUE(writeFile(kPlsFile, kPlsText));
    }

    /* Sends a signal and expects an orderly exit with status 0. */
    void stopDaemon(int nSignal = SIGTERM)
    {
        ASSERT_EQ(0, kill(m_d.pid(), nSignal));
        int nStatus = -1;
        ASSERT_TRUE(m_d.waitExit(15000, &nStatus)) << "daemon did not end";
        EXPECT_EQ(0, nStatus) << m_d.output();
    }

    /* Parses the fake transcoders' records: each "line" record, with the time of the "at"
     * record that the same process wrote right before it. */
    std::vector<FakeStart> fakeStarts() const
    {
        std::vector<FakeStart> starts;
        std::map<pid_t, long long> started;
        for (const FakeRecord& r : fakeRecords(fakeLog())) {
            if (r.kind == "at") {
                started[r.pid] = (long long)(atof(r.rest.c_str()) * 1000.0 + 0.5);
            } else if (r.kind == "line") {
                auto it = started.find(r.pid);
                starts.push_back({r.pid, r.rest, it == started.end() ? -1 : it->second});
            }
        }
        return starts;
    }

    /* The starts of channel n, known by its target "out_<n>.ts" (a file target may get a time
     * stamp before its extension). */
    static std::vector<FakeStart> startsOf(const std::vector<FakeStart>& all, int n)
    {
        std::vector<FakeStart> r;
        std::string strStem = "/out_" + std::to_string(n);
        for (const auto& s : all)
            if (s.strLine.find(strStem + ".") != std::string::npos ||
                s.strLine.find(strStem + "-") != std::string::npos)
                r.push_back(s);
        return r;
    }

    NsDaemon m_d;
    std::string m_strInput;
};

/* What a forked child of a harness test wrote to its pipe until it closed its end; fd is closed. */
std::string readToEndAndClose(int fd)
{
    std::string str;
    char buf[4096];
    ssize_t n;
    while ((n = read(fd, buf, sizeof(buf))) > 0 || (n < 0 && errno == EINTR))
        if (n > 0)
            str.append(buf, (size_t)n);
    close(fd);
    return str;
}

/* A sandbox whose set-up has not run (or failed) must not write the fixed folders or start the
 * daemon: outside the sandbox they are the host's. Checked inside another sandbox, so a broken
 * guard would only touch that sandbox's overlay. */
TEST(NsDaemonHarness, RefusesToRunWithoutItsOwnFolders)
{
    NsDaemon ready;
    std::string strErr;
    ASSERT_TRUE(ready.setUp(Transcoder::Fake, &strErr)) << strErr;
    NsDaemon unset;
    EXPECT_FALSE(unset.writeConfig("{}"));
    EXPECT_FALSE(exists("/etc/ruxod/ruxod.json"));
    EXPECT_EQ(-1, unset.start({}));
    EXPECT_EQ(-1, unset.runInstance({}, ready.dir() + "/x.out"));
    EXPECT_TRUE(ready.writeConfig("{}"));
}

/* A host where the daemon was installed and ran holds its configuration and logs. The sandbox of
 * a test on such a host still starts from nothing: no /etc/ruxod and no /var/ruxod, so the daemon
 * writes its defaults; and the host's files stay as they were. The "host" is a child of this test
 * in a mount namespace of its own whose /etc and /var are a tmpfs holding such files (with the
 * loader's cache, so that the daemon runs); the real host's folders are never touched. The child
 * reports what it saw through a pipe: "ok", or what went wrong. */
TEST(NsDaemonHarness, HostFilesInTheFixedFoldersStayOutOfTheSandbox)
{
    const std::string strHostConfig = "{\"global\":{\"httpPort\":18097,\"loginPass\":\"host\"}}";
    const std::string strHostLog = "[2024/01/01 00:00:00] a host channel's log line\n";
    const std::string strLdCache = readFile("/etc/ld.so.cache");
    int fds[2];
    ASSERT_EQ(0, pipe2(fds, O_CLOEXEC));
    pid_t pidHost = fork();
    ASSERT_GE(pidHost, 0);
    if (pidHost == 0) {
        close(fds[0]);
        auto report = [&](const std::string& strMsg) {
            if (write(fds[1], strMsg.data(), strMsg.size()) < 0)
                _exit(2);
        };
        std::string strWhy;
        int fdEtc = -1, fdVar = -1;
        if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            mount("tmpfs", "/etc", "tmpfs", 0, "mode=0755") != 0 ||
            mount("tmpfs", "/var", "tmpfs", 0, "mode=0755") != 0)
            strWhy = std::string("the host's namespace: ") + strerror(errno);
        else if (mkdir("/etc/ruxod", 0755) != 0 || !writeFile("/etc/ruxod/ruxod.json", strHostConfig) ||
                 (!strLdCache.empty() && !writeFile("/etc/ld.so.cache", strLdCache)) ||
                 mkdir("/var/ruxod", 0755) != 0 || mkdir("/var/ruxod/log", 0755) != 0 ||
                 !writeFile("/var/ruxod/log/ruxo_001.log", strHostLog) || symlink("/run", "/var/run") != 0)
            strWhy = std::string("the host's files: ") + strerror(errno);
        /* Kept open to look at the host's folders again from inside the sandbox. */
        else if ((fdEtc = open("/etc", O_PATH | O_DIRECTORY | O_CLOEXEC)) < 0 ||
                 (fdVar = open("/var", O_PATH | O_DIRECTORY | O_CLOEXEC)) < 0)
            strWhy = std::string("open the host's folders: ") + strerror(errno);
        NsDaemon* pd = strWhy.empty() ? new NsDaemon : nullptr;
        if (pd && !pd->setUp(Transcoder::Fake, &strWhy))
            strWhy = "set-up: " + strWhy;
        struct stat st;
        if (strWhy.empty()) {
            for (const char* szDir : {"/etc/ruxod", "/var/ruxod"})
                if (lstat(szDir, &st) == 0 || errno != ENOENT)
                    strWhy += std::string(szDir) + " exists in the sandbox; ";
        }
        if (strWhy.empty()) {
            int nStatus = pd->start({});
            bool bUp = nStatus == 0 && waitUntil([] { return canConnect(8888); }, 20000);
            std::string strConfig = readFile("/etc/ruxod/ruxod.json");
            if (!bUp)
                strWhy += "the daemon did not start on the default port (status " + std::to_string(nStatus) +
                          "): " + pd->output() + "; ";
            if (strConfig.find("8888") == std::string::npos || strConfig.find("host") != std::string::npos)
                strWhy += "the daemon did not write its defaults: " + strConfig + "; ";
            if (exists("/var/ruxod/log/ruxo_001.log"))
                strWhy += "the host's channel log shows in the sandbox; ";
            int nExit = -1;
            if (pd->pid() > 0 && (kill(pd->pid(), SIGTERM) != 0 || !pd->waitExit(15000, &nExit) || nExit != 0))
                strWhy += "no orderly exit: " + pd->output() + "; ";
        }
        if (fdEtc >= 0 && fdVar >= 0) {
            /* The host, seen past the sandbox's overlays: as it was. */
            std::string strPath = "/proc/self/fd/" + std::to_string(fdEtc) + "/ruxod/ruxod.json";
            if (readFile(strPath) != strHostConfig)
                strWhy += "the host's configuration changed: " + readFile(strPath) + "; ";
            strPath = "/proc/self/fd/" + std::to_string(fdVar) + "/ruxod/log/ruxo_001.log";
            if (readFile(strPath) != strHostLog)
                strWhy += "the host's log changed; ";
        }
        delete pd;
        report(strWhy.empty() ? "ok" : strWhy);
        _exit(0);
    }
    close(fds[1]);
    std::string strMsg = readToEndAndClose(fds[0]);
    int st = 0;
    ASSERT_EQ(pidHost, waitpid(pidHost, &st, 0));
    EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << st;
    EXPECT_EQ("ok", strMsg);
}

/* A test process that dies (a crash, a timeout) leaves no daemon behind: the harness's watchdog
 * ends what is left in the test's namespace. The dying test runs in a child of this one, which
 * itself stays outside any namespace. */
TEST(NsDaemonHarness, DaemonEndsWithADyingTestProcess)
{
    int fds[2];
    ASSERT_EQ(0, pipe2(fds, O_CLOEXEC));
    pid_t pidTest = fork();
    ASSERT_GE(pidTest, 0);
    if (pidTest == 0) {
        close(fds[0]);
        NsDaemon* pd = new NsDaemon;
        std::string strErr;
        pid_t pidDaemon = 0;
        if (pd->setUp(Transcoder::Fake, &strErr) && pd->writeConfig("{\"global\":{\"httpPort\":18090}}") &&
            pd->start({}) == 0)
            pidDaemon = pd->pid();
        std::string strMsg = std::to_string(pidDaemon) + " " + pd->dir();
        if (write(fds[1], strMsg.data(), strMsg.size()) < 0)
            _exit(1);
        kill(getpid(), SIGKILL); /* dies like a crashed test: no destructor runs */
        _exit(1);
    }
    close(fds[1]);
    std::string strMsg = readToEndAndClose(fds[0]);
    int st = 0;
    waitpid(pidTest, &st, 0);
    pid_t pidDaemon = (pid_t)atoi(strMsg.c_str());
    std::string strDir = strMsg.substr(std::min(strMsg.size(), strMsg.find(' ') + 1));
    bool bGone = pidDaemon > 0 && waitUntil([&]() { return !processAlive(pidDaemon); }, 5000);
    if (pidDaemon > 0 && !bGone)
        kill(pidDaemon, SIGKILL);
    if (strDir.compare(0, 13, "/tmp/ruxo-ns-") == 0)
        removeTree(strDir);
    ASSERT_GT(pidDaemon, 0) << strMsg;
    EXPECT_TRUE(bGone) << "the daemon outlived its test process";
}

/* The pid file names the running daemon, so the usual `kill $(cat ...)` stops it in order; a
 * second instance that finds it locked leaves it as it is, and an orderly exit empties it. */
TEST_F(DaemonTest, SecondInstanceIsRefusedAndThePidFileStopsTheFirst)
{
    ASSERT_NO_FATAL_FAILURE(startWith({ChannelSpec()}));
    const std::string strPidFile = "/var/run/ruxod.pid";
    const std::string strPid = std::to_string(m_d.pid()) + "\n";
    EXPECT_EQ(strPid, readFile(strPidFile));

    std::string strSecond = m_d.dir() + "/second.out";
    EXPECT_EQ(255, m_d.runInstance(env(), strSecond));
    EXPECT_EQ("RUXOD running already, exiting...\n", readFile(strSecond));
    EXPECT_EQ(strPid, readFile(strPidFile));
    EXPECT_TRUE(m_d.alive());
    EXPECT_TRUE(canConnect(kPort));

    std::string strOut;
    ASSERT_EQ(0, runCommand({"sh", "-c", "kill $(cat " + strPidFile + ")"}, &strOut)) << strOut;
    int nStatus = -1;
    ASSERT_TRUE(m_d.waitExit(15000, &nStatus)) << "daemon did not end";
    EXPECT_EQ(0, nStatus) << m_d.output();
    EXPECT_TRUE(exists(strPidFile));
    EXPECT_EQ("", readFile(strPidFile));
}

TEST_F(DaemonTest, TranscodersDoNotKeepTheLockAfterTheDaemonDies)
{
    /* A silent fake: one that writes would die of the closed pipe soon after the daemon. */
    ChannelSpec c;
    c.strMode = "silent";
    ASSERT_NO_FATAL_FAILURE(startWith({c}));
    ASSERT_TRUE(waitUntil([&]() { return fakeStarts().size() == 1; }, 20000));
    pid_t pidFake = fakeStarts()[0].pid;

    ASSERT_EQ(0, kill(m_d.pid(), SIGKILL));
    int nStatus = 0;
    ASSERT_TRUE(m_d.waitExit(5000, &nStatus));
    EXPECT_EQ(128 + SIGKILL, nStatus);
    ASSERT_TRUE(processAlive(pidFake)) << "the orphaned transcoder should still run";

    /* A new instance gets the lock although the old transcoder still runs. */
    ASSERT_NO_FATAL_FAILURE(startDaemon());
    EXPECT_EQ(std::string::npos, m_d.output().find("running already"));
    ASSERT_NO_FATAL_FAILURE(stopDaemon());
}

TEST_F(DaemonTest, EngineFailureWithoutTranscoderSavesTheConfiguration)
{
    ASSERT_NO_FATAL_FAILURE(boot(Transcoder::None));
    std::string strConfig = config({ChannelSpec()});
    ASSERT_TRUE(m_d.writeConfig(strConfig));
    ASSERT_NO_FATAL_FAILURE(writeStateFile());

    ASSERT_EQ(0, m_d.start(env()));
    int nStatus = -1;
    ASSERT_TRUE(m_d.waitExit(10000, &nStatus));
    EXPECT_EQ(255, nStatus);
    EXPECT_NE(std::string::npos, m_d.output().find("Oops, RUXOD init failed (-3)\n")) << m_d.output();
    EXPECT_EQ(std::string::npos, m_d.output().find("RUXOD started successfully!"));

    std::string strSaved = readFile("/etc/ruxod/ruxod.json");
    EXPECT_NE(strConfig, strSaved) << "the configuration should have been written again";
    EXPECT_NE(std::string::npos, strSaved.find("cpuPerChannel")) << strSaved;
    EXPECT_EQ(kPlsText, readFile(kPlsFile));
    EXPECT_FALSE(exists("/var/ruxod/ruxo_002.pls"));
    EXPECT_TRUE(exists("/var/ruxod/log"));
}

TEST_F(DaemonTest, BusyWebPortLeavesConfigurationAndStateFilesAlone)
{
    ASSERT_NO_FATAL_FAILURE(boot(Transcoder::Fake));
    std::string strConfig = config({ChannelSpec()});
    ASSERT_TRUE(m_d.writeConfig(strConfig));
    ASSERT_NO_FATAL_FAILURE(writeStateFile());

    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(fd, 0);
    struct sockaddr_in addr;
    memset(&addr, 0, sizeof(addr));
    addr.sin_family = AF_INET;
    addr.sin_port = htons(kPort);
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    ASSERT_EQ(0, bind(fd, (struct sockaddr*)&addr, sizeof(addr)));
    ASSERT_EQ(0, listen(fd, 4));

    ASSERT_EQ(0, m_d.start(env()));
    int nStatus = -1;
    ASSERT_TRUE(m_d.waitExit(10000, &nStatus));
    close(fd);
    EXPECT_EQ(255, nStatus);
    std::string strMsg = "RUXOD Web management start failed at port " + std::to_string(kPort) +
                         "!\nPlease edit /etc/ruxod/ruxod.json and change \"global.httpPort\" manually before "
                         "restarting program!\n";
    EXPECT_NE(std::string::npos, m_d.output().find(strMsg)) << m_d.output();
    EXPECT_EQ(strConfig, readFile("/etc/ruxod/ruxod.json"));
    EXPECT_EQ(kPlsText, readFile(kPlsFile));
    EXPECT_FALSE(exists("/var/ruxod/ruxo_002.pls"));
    EXPECT_TRUE(fakeStarts().empty());
}

TEST_F(DaemonTest, MissingHttpPortListensOn8888AndPrintsTheBanner)
{
    ASSERT_NO_FATAL_FAILURE(boot(Transcoder::Fake));
    ASSERT_TRUE(m_d.writeConfig(config({}, 1, 0)));
    ASSERT_NO_FATAL_FAILURE(startDaemon());
    EXPECT_TRUE(canConnect(8888));

    std::string strTitle = "*" + std::string(14, ' ') + "Strovanta!" + std::string(15, ' ') + "*";
    std::string strBanner = std::string("\n\n") + kBorder + "\n" + strTitle + "\n" +
                            "*            Version 6.2.5.1a           *\n" + kBorder + "\n" +
                            "RUXOD started successfully!\nWeb management now accessible at http://127.0.0.1:";
    std::string strOut = m_d.output();
    EXPECT_NE(std::string::npos, strOut.find(strBanner)) << strOut;
    EXPECT_EQ(41u, strTitle.size());
    ASSERT_NO_FATAL_FAILURE(stopDaemon());
}

class DaemonSignalTest : public DaemonTest, public ::testing::WithParamInterface<int> {};

TEST_P(DaemonSignalTest, EndsInOrderSavingTheConfigurationWithoutChildren)
{
    ASSERT_NO_FATAL_FAILURE(startWith({ChannelSpec(), ChannelSpec()}));
    ASSERT_TRUE(waitUntil([&]() { return fakeStarts().size() == 2; }, 20000)) << readFile(fakeLog());
    std::vector<FakeStart> starts = fakeStarts();
    for (const auto& s : starts)
        EXPECT_TRUE(processAlive(s.pid));

    ASSERT_NO_FATAL_FAILURE(stopDaemon(GetParam()));
    std::string strSaved = readFile("/etc/ruxod/ruxod.json");
    EXPECT_NE(std::string::npos, strSaved.find("cpuPerChannel")) << strSaved;
    for (const auto& s : starts)
        EXPECT_FALSE(processAlive(s.pid)) << "transcoder " << s.pid << " outlived the daemon";
    EXPECT_NE(std::string::npos, readFile("/var/ruxod/log/ruxo_001.log").find("stop transcoding"));
}

INSTANTIATE_TEST_SUITE_P(Signals, DaemonSignalTest, ::testing::Values(SIGINT, SIGTERM, SIGQUIT, SIGABRT),
                         [](const ::testing::TestParamInfo<int>& info) {
                             return std::string(sigabbrev_np(info.param));
                         });

/* Signals sent by habit (a hang-up, a reload request, a stray alarm) are reported and ignored: the
 * daemon and its transcoders run on, and it still ends in order afterwards. */
TEST_F(DaemonTest, HabitualSignalsAreReportedAndIgnored)
{
    ASSERT_NO_FATAL_FAILURE(startWith({ChannelSpec()}));
    ASSERT_TRUE(waitUntil([&]() { return fakeStarts().size() == 1; }, 20000)) << readFile(fakeLog());
    const pid_t pidFake = fakeStarts()[0].pid;
    for (int sig : {SIGHUP, SIGUSR1, SIGUSR2, SIGALRM}) {
        std::string strLine = std::string("RUXOD ignored SIG") + sigabbrev_np(sig) + "\n";
        ASSERT_EQ(0, kill(m_d.pid(), sig));
        EXPECT_TRUE(waitUntil([&]() { return m_d.output().find(strLine) != std::string::npos || !m_d.alive(); }, 20000))
            << strLine;
        ASSERT_TRUE(m_d.alive()) << "SIG" << sigabbrev_np(sig) << " ended the daemon";
        EXPECT_EQ(1u, countOf(m_d.output(), strLine));
    }
    EXPECT_TRUE(canConnect(kPort));
    EXPECT_TRUE(processAlive(pidFake));
    EXPECT_EQ(1u, fakeStarts().size());
    ASSERT_NO_FATAL_FAILURE(stopDaemon());
    EXPECT_FALSE(processAlive(pidFake));
}

/* The signals a thread blocks, from the "SigBlk:" line of its status (bit n - 1 for signal n);
 * false when the thread has ended meanwhile. */
bool blockedSignals(pid_t pid, const std::string& strTid, unsigned long long* pMask)
{
    std::string strStatus = readFile("/proc/" + std::to_string(pid) + "/task/" + strTid + "/status");
    size_t nAt = strStatus.find("\nSigBlk:");
    if (nAt == std::string::npos)
        return false;
    *pMask = strtoull(strStatus.c_str() + nAt + 8, nullptr, 16);
    return true;
}

/* The quit flag is read by the main thread, so only the main thread may run the handler: every
 * other thread (web server, timer notification) keeps the quit signals blocked, and the ignored
 * ones too, which the main thread reports. */
TEST_F(DaemonTest, OnlyTheMainThreadTakesTheQuitSignals)
{
    ASSERT_NO_FATAL_FAILURE(startWith({ChannelSpec()}));
    ASSERT_TRUE(waitUntil([&]() { return fakeStarts().size() == 1; }, 20000)) << readFile(fakeLog());
    unsigned long long nQuitBits = 0;
    for (int sig : {SIGINT, SIGTERM, SIGQUIT, SIGABRT, SIGHUP, SIGUSR1, SIGUSR2, SIGALRM})
        nQuitBits |= 1ULL << (sig - 1);

    std::vector<std::string> tids;
    DIR* pDir = opendir(("/proc/" + std::to_string(m_d.pid()) + "/task").c_str());
    ASSERT_NE(nullptr, pDir);
    while (struct dirent* pEnt = readdir(pDir))
        if (pEnt->d_name[0] != '.')
            tids.push_back(pEnt->d_name);
    closedir(pDir);
    size_t nSeen = 0;
    for (const std::string& strTid : tids) {
        unsigned long long nMask = 0;
        if (!blockedSignals(m_d.pid(), strTid, &nMask))
            continue; /* a short-lived timer thread that has ended */
        nSeen++;
        if (strTid == std::to_string(m_d.pid()))
            EXPECT_EQ(0u, nMask & nQuitBits) << "main thread blocks " << std::hex << nMask;
        else
            EXPECT_EQ(nQuitBits, nMask & nQuitBits) << "thread " << strTid << " blocks " << std::hex << nMask;
    }
    EXPECT_GE(nSeen, 3u) << "main, web server and timer notification threads";
    ASSERT_NO_FATAL_FAILURE(stopDaemon());
}

TEST_F(DaemonTest, SignalDuringStartUpStillEndsInOrder)
{
    ASSERT_NO_FATAL_FAILURE(boot(Transcoder::Fake));
    ASSERT_TRUE(m_d.writeConfig(config({ChannelSpec()})));
    ASSERT_EQ(0, m_d.start(env()));
    ASSERT_GT(m_d.pid(), 0);
    /* The blank lines come after the configuration was loaded, at least half a second before
     * any channel starts. */
    ASSERT_TRUE(waitUntil([&]() { return !m_d.output().empty(); }, 15000));
    ASSERT_NO_FATAL_FAILURE(stopDaemon());
    EXPECT_NE(std::string::npos, m_d.output().find("RUXOD started successfully!"));
    EXPECT_TRUE(fakeStarts().empty());
    EXPECT_NE(std::string::npos, readFile("/etc/ruxod/ruxod.json").find("cpuPerChannel"));
}

TEST_F(DaemonTest, RestartsAfterTheDelayOncePerDelayOnLowAndHighChannels)
{
    std::vector<ChannelSpec> channels(18);
    for (auto& c : channels) {
        c.bEnable = false;
        c.strMode = "exit1";
    }
    channels[0].bEnable = true;
    channels[17].bEnable = true;
    ASSERT_NO_FATAL_FAILURE(startWith(channels, 1));
    ASSERT_TRUE(waitUntil(
        [&]() { return startsOf(fakeStarts(), 0).size() >= 3 && startsOf(fakeStarts(), 17).size() >= 3; }, 30000))
        << readFile(fakeLog());

    std::vector<FakeStart> all = fakeStarts();
    for (int n : {0, 17}) {
        std::vector<FakeStart> s = startsOf(all, n);
        for (size_t k = 1; k < s.size(); k++) {
            ASSERT_GE(s[k - 1].tmStart, 0) << "no start time recorded";
            long long nGap = s[k].tmStart - s[k - 1].tmStart;
            EXPECT_GE(nGap, 900) << "channel " << n << " start " << k;
        }
    }
    EXPECT_TRUE(startsOf(all, 1).empty());
    ASSERT_NO_FATAL_FAILURE(stopDaemon());
}

TEST_F(DaemonTest, RestartTimerThatCannotBeCreatedIsTriedAgain)
{
    ChannelSpec c;
    c.strMode = "exit1";
    ASSERT_NO_FATAL_FAILURE(startWith({c}, 1));
    /* No queued signal allowed: every timer_create fails until the limit comes back. The
     * channel starts half a second after the start message, so this lands before its first
     * timer. */
    struct rlimit rlOld;
    ASSERT_EQ(0, prlimit(m_d.pid(), RLIMIT_SIGPENDING, nullptr, &rlOld));
    struct rlimit rlNone = {0, rlOld.rlim_max}; /* the soft limit only: it can be raised again */
    ASSERT_EQ(0, prlimit(m_d.pid(), RLIMIT_SIGPENDING, &rlNone, nullptr));
    ASSERT_TRUE(waitUntil([&]() { return fakeStarts().size() == 1; }, 20000)) << readFile(fakeLog());
    ASSERT_TRUE(waitUntil([&]() { return m_d.output().find("timer_create 0 error\n") != std::string::npos; }, 20000))
        << m_d.output();
    usleep(1500000);
    EXPECT_EQ(1u, fakeStarts().size()) << "no timer, so no restart";
    /* Tried on every pass, reported once. */
    std::string strOut = m_d.output();
    size_t nReports = 0;
    for (size_t nAt = strOut.find("timer_create"); nAt != std::string::npos; nAt = strOut.find("timer_create", nAt + 1))
        nReports++;
    EXPECT_EQ(1u, nReports) << strOut;

    ASSERT_EQ(0, prlimit(m_d.pid(), RLIMIT_SIGPENDING, &rlOld, nullptr));
    EXPECT_TRUE(waitUntil([&]() { return fakeStarts().size() >= 2; }, 20000))
        << "a later pass should create the timer: " << readFile(fakeLog());
    ASSERT_NO_FATAL_FAILURE(stopDaemon());
}

class DaemonNoRestartTest : public DaemonTest, public ::testing::WithParamInterface<int> {};

TEST_P(DaemonNoRestartTest, FailedChannelStaysIdle)
{
    ChannelSpec c;
    c.strMode = "exit1";
    ASSERT_NO_FATAL_FAILURE(startWith({c}, GetParam()));
    usleep(2500000);
    EXPECT_EQ(1u, fakeStarts().size()) << readFile(fakeLog());
    EXPECT_TRUE(m_d.alive());
    ASSERT_NO_FATAL_FAILURE(stopDaemon());
}

INSTANTIATE_TEST_SUITE_P(AutoRestart, DaemonNoRestartTest, ::testing::Values(0, -1),
                         [](const ::testing::TestParamInfo<int>& info) {
                             return info.param == 0 ? std::string("Zero") : std::string("Negative");
                         });

TEST_F(DaemonTest, PendingRestartTimerDoesNotFireAfterShutdown)
{
    ChannelSpec c;
    c.strMode = "exit1";
    ASSERT_NO_FATAL_FAILURE(startWith({c}, 2));
    ASSERT_TRUE(waitUntil([&]() { return fakeStarts().size() == 1; }, 20000));
    /* The pass whose poll reaps the transcoder arms its two-second timer. */
    std::string strProc = "/proc/" + std::to_string(fakeStarts()[0].pid);
    ASSERT_TRUE(waitUntil([&]() { return !exists(strProc); }, 20000)) << "the transcoder was not reaped";
    usleep(200000);
    long long tmStop = nowMs();
    ASSERT_NO_FATAL_FAILURE(stopDaemon());
    EXPECT_LT(nowMs() - tmStop, 4000);
    usleep(2500000);
    EXPECT_EQ(1u, fakeStarts().size()) << readFile(fakeLog());
}

class DaemonFolderTest : public DaemonTest, public ::testing::WithParamInterface<int> {};

TEST_P(DaemonFolderTest, FolderChannelWalksItsFiles)
{
    const int nAutoRestart = GetParam();
    ASSERT_NO_FATAL_FAILURE(boot(Transcoder::Fake));
    std::string strClips = makeClips({"a.ts", "b.ts", "c.ts", "d.ts"});

    ChannelSpec c;
    c.strSource = strClips;
    c.strMode = "exit1";
    ASSERT_TRUE(m_d.writeConfig(config({c}, nAutoRestart)));
    ASSERT_NO_FATAL_FAILURE(startDaemon());
    const size_t nStarts = 9;
    ASSERT_TRUE(waitUntil([&]() { return fakeStarts().size() >= nStarts; }, 20000)) << readFile(fakeLog());
    ASSERT_NO_FATAL_FAILURE(stopDaemon());

    /* The files played, in order; the listing's order (and whether its first entry counts) is the
     * playlist's business, so the cycle is taken from the first appearance of each file. */
    std::vector<std::string> played, cycle;
    for (const FakeStart& s : fakeStarts()) {
        size_t nAt = s.strLine.find(strClips + "/");
        ASSERT_NE(std::string::npos, nAt) << s.strLine;
        std::string strFile = s.strLine.substr(nAt, strClips.size() + 5);
        played.push_back(strFile);
    }
    played.resize(nStarts);
    for (const std::string& f : played)
        if (std::find(cycle.begin(), cycle.end(), f) == cycle.end())
            cycle.push_back(f);
    ASSERT_GE(cycle.size(), 3u);
    for (size_t k = 0; k < nStarts; k++) {
        size_t nExpect = nAutoRestart > 0 ? k % cycle.size() : std::min(k, cycle.size() - 1);
        EXPECT_EQ(cycle[nExpect], played[k]) << "start " << k;
    }
    /* The folder was played in this run, so its state file stays, naming a current file. */
    std::string strPls = readFile("/var/ruxod/ruxo_001.pls");
    EXPECT_EQ(0u, strPls.find("current " + strClips + "/")) << strPls;
}

INSTANTIATE_TEST_SUITE_P(AutoRestart, DaemonFolderTest, ::testing::Values(1, 0),
                         [](const ::testing::TestParamInfo<int>& info) {
                             return info.param > 0 ? std::string("Wraps") : std::string("RepeatsLast");
                         });

/* A folder channel whose start fails (here its target has no output form) is tried again once a
 * second, not on every 20 ms pass. */
TEST_F(DaemonTest, FailingFolderChannelIsTriedOncePerSecond)
{
    ASSERT_NO_FATAL_FAILURE(boot(Transcoder::Fake));
    std::string strClips = makeClips({"a.ts", "b.ts"});
    ChannelSpec c;
    c.strSource = strClips;
    c.strTargetFormat = "rtsp";
    c.strTarget = "rtsp://127.0.0.1:8554/live";
    ASSERT_TRUE(m_d.writeConfig(config({c}, 1)));
    ASSERT_NO_FATAL_FAILURE(startDaemon());

    const std::string strLog = "/var/ruxod/log/ruxo_001.log", strError = "start transcoding error (-10)";
    ASSERT_TRUE(waitUntil([&]() { return countOf(readFile(strLog), strError) >= 1; }, 20000)) << readFile(strLog);
    size_t nFirst = countOf(readFile(strLog), strError);
    long long tmFirst = nowMs();
    usleep(5000000);
    size_t nTries = countOf(readFile(strLog), strError) - nFirst;
    long long nSeconds = (nowMs() - tmFirst) / 1000;
    EXPECT_LE(nTries, (size_t)nSeconds + 1) << readFile(strLog);
    EXPECT_GE(nTries, 2u) << "it is still tried again";
    EXPECT_TRUE(fakeStarts().empty());
    ASSERT_NO_FATAL_FAILURE(stopDaemon());
}

int postConfig(const std::string& strFile, std::string* pReply)
{
    std::vector<std::string> argv = {"curl",
                                     "-s",
                                     "-o",
                                     "-",
                                     "-w",
                                     "\n%{http_code}",
                                     "--max-time",
                                     "5",
                                     "-X",
                                     "POST",
                                     "--data-binary",
                                     "@" + strFile,
                                     "http://127.0.0.1:" + std::to_string(kPort) + "/config"};
    std::string strOut;
    if (runCommand(argv, &strOut, 10000) != 0)
        return -1;
    size_t nNl = strOut.rfind('\n');
    if (pReply)
        *pReply = strOut.substr(0, nNl == std::string::npos ? 0 : nNl);
    return atoi(strOut.c_str() + (nNl == std::string::npos ? 0 : nNl + 1));
}

TEST_F(DaemonTest, ConfigurationPostedWhileTheLoopRuns)
{
    ASSERT_NO_FATAL_FAILURE(boot(Transcoder::Fake));
    std::string strClips = makeClips({"a.ts", "b.ts"});

    /* Channels that restart all the time (a folder source) or through timers. */
    std::vector<ChannelSpec> many(6);
    for (auto& c : many)
        c.strMode = "exit1";
    many[0].strSource = strClips;
    many[3].strSource = strClips;
    std::vector<ChannelSpec> few(1);
    few[0].strMode = "exit1";
    few[0].strSource = strClips;

    ASSERT_TRUE(m_d.writeConfig(config(many, 1)));
    ASSERT_NO_FATAL_FAILURE(startDaemon());
    std::string strMany = m_d.dir() + "/many.json", strFew = m_d.dir() + "/few.json";
    ASSERT_TRUE(writeFile(strMany, config(many, 1)));
    ASSERT_TRUE(writeFile(strFew, config(few, 1)));

    std::string strReply;
    int nCode = postConfig(strFew, &strReply);
    if (nCode == 404 || nCode <= 0)
        GTEST_SKIP() << "POST /config not served yet (" << nCode << ")";
    ASSERT_EQ(200, nCode) << strReply;
    for (int k = 0; k < 12; k++) {
        usleep(100000);
        EXPECT_EQ(200, postConfig(k % 2 ? strFew : strMany, &strReply)) << strReply;
    }
    ASSERT_TRUE(m_d.alive()) << m_d.output();
    ASSERT_NO_FATAL_FAILURE(stopDaemon());
    /* The last posted configuration (one channel) is the one saved. */
    std::string strSaved = readFile("/etc/ruxod/ruxod.json");
    EXPECT_EQ(std::string::npos, strSaved.find("/out_1.ts")) << strSaved;
    EXPECT_NE(std::string::npos, strSaved.find("/out_0.ts")) << strSaved;
}

/* The pass follows the configuration in force: after a post that moves a folder channel (restarted
 * on every pass) from index 1 to index 2, behind a channel that runs all along, the restarts follow
 * it and the old index gets none. */
TEST_F(DaemonTest, PostedChannelsTakeEffectOnTheNextPass)
{
    ASSERT_NO_FATAL_FAILURE(boot(Transcoder::Fake));
    std::string strClips = makeClips({"a.ts", "b.ts"});
    ChannelSpec run, folder, off;
    folder.strSource = strClips;
    folder.strMode = "exit1";
    off.bEnable = false;
    off.strMode = "exit1";

    ASSERT_TRUE(m_d.writeConfig(config({run, folder, off}, 1)));
    ASSERT_NO_FATAL_FAILURE(startDaemon());
    ASSERT_TRUE(waitUntil([&]() { return startsOf(fakeStarts(), 1).size() >= 3; }, 10000)) << readFile(fakeLog());

    std::string strAfter = m_d.dir() + "/after.json", strReply;
    ASSERT_TRUE(writeFile(strAfter, config({run, off, folder}, 1)));
    int nCode = postConfig(strAfter, &strReply);
    if (nCode == 404 || nCode <= 0)
        GTEST_SKIP() << "POST /config not served yet (" << nCode << ")";
    ASSERT_EQ(200, nCode) << strReply;
    size_t nOldAtPost = startsOf(fakeStarts(), 1).size();
    EXPECT_TRUE(waitUntil([&]() { return startsOf(fakeStarts(), 2).size() >= 3; }, 10000)) << readFile(fakeLog());
    ASSERT_NO_FATAL_FAILURE(stopDaemon());

    std::vector<FakeStart> all = fakeStarts();
    EXPECT_LE(startsOf(all, 1).size(), nOldAtPost + 1) << "one start may have been on its way";
    EXPECT_EQ(1u, startsOf(all, 0).size()) << "the running channel is left alone";
}

TEST_F(DaemonTest, NewPortTakesEffectAboutOneSecondAfterThePost)
{
    ASSERT_NO_FATAL_FAILURE(startWith({ChannelSpec()}));
    /* Both posts over raw sockets, in this process: a client program that is slow to start on a
     * loaded machine could miss the window of the pending restart. */
    std::string strReply;
    ASSERT_EQ(200, rawPost(kPort, "/config", config({ChannelSpec()}, 1, kPort + 1), &strReply)) << strReply;
    /* A second change while the restart is pending pushes it back instead of adding another.
     * Timed from before the post: the restart is armed before the reply. */
    usleep(500000);
    long long tmSecond = nowMs();
    ASSERT_EQ(200, rawPost(kPort, "/config", config({ChannelSpec()}, 1, kPort + 2), &strReply)) << strReply;

    ASSERT_TRUE(waitUntil([&]() { return canConnect(kPort + 2); }, 20000)) << m_d.output();
    long long nAfterSecond = nowMs() - tmSecond;
    EXPECT_GE(nAfterSecond, 800);
    EXPECT_FALSE(canConnect(kPort));
    EXPECT_FALSE(canConnect(kPort + 1));
    usleep(1500000); /* no second restart follows */
    EXPECT_TRUE(canConnect(kPort + 2));
    ASSERT_NO_FATAL_FAILURE(stopDaemon());
    EXPECT_NE(std::string::npos, readFile("/etc/ruxod/ruxod.json").find(std::to_string(kPort + 2)));
}

/* A running channel's log stays open between lines; after an outside rm or mv of it the progress
 * lines go to a fresh file of the right name again, and a moved log gets none of them. */
TEST_F(DaemonTest, ChannelLogFollowsItsPathAfterRemovalOrRenaming)
{
    ASSERT_NO_FATAL_FAILURE(startWith({ChannelSpec()}));
    const std::string strLog = "/var/ruxod/log/ruxo_001.log", strMoved = "/var/ruxod/log/moved.log";
    auto progressIn = [](const std::string& strFile) { return countOf(readFile(strFile), "fps="); };
    ASSERT_TRUE(waitUntil([&]() { return progressIn(strLog) >= 2; }, 10000)) << readFile(strLog);

    ASSERT_EQ(0, unlink(strLog.c_str()));
    EXPECT_TRUE(waitUntil([&]() { return progressIn(strLog) >= 2; }, 5000)) << "no fresh log after rm";

    ASSERT_EQ(0, rename(strLog.c_str(), strMoved.c_str()));
    EXPECT_TRUE(waitUntil([&]() { return progressIn(strLog) >= 2; }, 5000)) << "no fresh log after mv";
    off_t nMoved = fileSize(strMoved);
    EXPECT_TRUE(waitUntil([&]() { return progressIn(strLog) >= 6; }, 5000));
    EXPECT_EQ(nMoved, fileSize(strMoved)) << "the moved log got more lines";

    ASSERT_NO_FATAL_FAILURE(stopDaemon());
    std::string strLast = readFile(strLog);
    EXPECT_NE(std::string::npos, strLast.find("] stop transcoding\n")) << strLast; /* the shutdown's */
    EXPECT_EQ(nMoved, fileSize(strMoved));
}

/* Every descendant of a process with the given name. */
std::vector<pid_t> descendantsNamed(pid_t pidRoot, const std::string& strName)
{
    std::vector<pid_t> found, todo = {pidRoot};
    for (size_t k = 0; k < todo.size() && k < 1000; k++) {
        for (pid_t kid : childrenOf(todo[k])) {
            todo.push_back(kid);
            if (processName(kid) == strName && processAlive(kid))
                found.push_back(kid);
        }
    }
    return found;
}

/* A 20-second test clip with H.264 video and AAC audio. */
void makeClip(const std::string& strPath)
{
    std::string strOut;
    ASSERT_EQ(0, runCommand({"ffmpeg",  "-v",        "error",     "-y",
                             "-f",      "lavfi",     "-i",        "testsrc=size=320x240:rate=25",
                             "-f",      "lavfi",     "-i",        "sine=frequency=440:sample_rate=44100",
                             "-t",      "20",        "-c:v",      "libx264",
                             "-preset", "ultrafast", "-g",        "25",
                             "-c:a",    "aac",       "-shortest", strPath},
                            &strOut, 60000))
        << strOut;
}

/* Kills the channel's ffmpeg and waits for its successor; the delay in ms, or -1. */
long long killFfmpegAndWait(pid_t pidDaemon, int nTimeoutMs)
{
    std::vector<pid_t> ffmpegs;
    if (!waitUntil([&]() { return !(ffmpegs = descendantsNamed(pidDaemon, "ffmpeg")).empty(); }, 20000))
        return -1;
    pid_t pidOld = ffmpegs[0];
    long long tmKill = nowMs();
    if (kill(pidOld, SIGKILL) != 0)
        return -1;
    bool bNew = waitUntil(
        [&]() {
            for (pid_t p : descendantsNamed(pidDaemon, "ffmpeg"))
                if (p != pidOld)
                    return true;
            return false;
        },
        nTimeoutMs);
    return bNew ? nowMs() - tmKill : -1;
}

int hlsSegments(const std::string& strPlaylist)
{
    std::istringstream in(readFile(strPlaylist));
    std::string strLine;
    int n = 0;
    while (std::getline(in, strLine))
        if (!strLine.empty() && strLine[0] != '#')
            n++;
    return n;
}

TEST_F(DaemonTest, EndToEndFolderSourceToHlsWithRealTranscoder)
{
    ASSERT_NO_FATAL_FAILURE(boot(Transcoder::Real));
    std::string strClips = m_d.dir() + "/clips", strHls = m_d.dir() + "/hls";
    ASSERT_EQ(0, mkdir(strClips.c_str(), 0755));
    ASSERT_EQ(0, mkdir(strHls.c_str(), 0755));
    ASSERT_NO_FATAL_FAILURE(makeClip(strClips + "/clip.mp4"));
    std::string strOut;

    ChannelSpec c;
    c.strSource = strClips;
    c.strMode = "";
    c.strTargetFormat = "hls";
    c.strTarget = strHls + "/out.m3u8";
    ASSERT_TRUE(m_d.writeConfig(config({c}, 1)));
    ASSERT_NO_FATAL_FAILURE(startDaemon());

    std::string strPlaylist = strHls + "/out.m3u8";
    ASSERT_TRUE(waitUntil([&]() { return hlsSegments(strPlaylist) >= 1; }, 20000))
        << readFile("/var/ruxod/log/ruxo_001.log");
    int nFirst = hlsSegments(strPlaylist);
    EXPECT_TRUE(waitUntil([&]() { return hlsSegments(strPlaylist) > nFirst; }, 20000)) << readFile(strPlaylist);

    std::string strSegment;
    {
        std::istringstream in(readFile(strPlaylist));
        std::string strLine;
        while (std::getline(in, strLine))
            if (!strLine.empty() && strLine[0] != '#') {
                strSegment = strLine[0] == '/' ? strLine : strHls + "/" + strLine;
                break;
            }
    }
    ASSERT_FALSE(strSegment.empty());
    ASSERT_EQ(0,
              runCommand({"ffprobe", "-v", "error", "-show_entries", "stream=codec_name", "-of", "csv=p=0", strSegment},
                         &strOut))
        << strOut;
    EXPECT_NE(std::string::npos, strOut.find("h264")) << strOut;

    /* A folder source runs again at the next pass. */
    long long nDelay = killFfmpegAndWait(m_d.pid(), 20000);
    ASSERT_GE(nDelay, 0) << readFile("/var/ruxod/log/ruxo_001.log");
    RecordProperty("restart_after_kill_ms", std::to_string(nDelay));
    std::printf("folder source: ffmpeg restarted %lld ms after SIGKILL\n", nDelay);

    ASSERT_NO_FATAL_FAILURE(stopDaemon());
    EXPECT_TRUE(descendantsNamed(getpid(), "ffmpeg").empty());
    EXPECT_NE(std::string::npos, readFile("/etc/ruxod/ruxod.json").find("cpuPerChannel"));
}

/* The transcoders' processes (ffmpeg and the stand-in's watcher) below a process. */
std::vector<pid_t> transcodersBelow(pid_t pidRoot)
{
    std::vector<pid_t> found = descendantsNamed(pidRoot, "ffmpeg");
    for (pid_t pid : descendantsNamed(pidRoot, "ruxod.so-wait"))
        found.push_back(pid);
    std::sort(found.begin(), found.end());
    return found;
}

/* A daemon killed with SIGKILL leaves no transcoder behind: each one sees its input end and stops
 * ffmpeg. A daemon started afterwards runs its own transcoders and no others. */
TEST_F(DaemonTest, EndToEndKilledDaemonLeavesNoTranscoder)
{
    ASSERT_NO_FATAL_FAILURE(boot(Transcoder::Real));
    std::string strHls = m_d.dir() + "/hls";
    ASSERT_EQ(0, mkdir(strHls.c_str(), 0755));
    ASSERT_NO_FATAL_FAILURE(makeClip(m_d.dir() + "/clip.mp4"));
    std::vector<ChannelSpec> channels(3);
    for (ChannelSpec& c : channels) {
        c.strSource = m_d.dir() + "/clip.mp4";
        c.strMode = "";
    }
    channels[0].strTarget = m_d.dir() + "/out.ts";
    channels[1].strTargetFormat = "hls";
    channels[1].strTarget = strHls + "/out.m3u8";
    channels[2].strTargetFormat = "http";
    channels[2].strTarget = "http://127.0.0.1:18099/live.ts";
    ASSERT_TRUE(m_d.writeConfig(config(channels, 1)));
    ASSERT_NO_FATAL_FAILURE(startDaemon());
    ASSERT_TRUE(waitUntil([&]() { return descendantsNamed(m_d.pid(), "ffmpeg").size() == 3; }, 30000))
        << readFile("/var/ruxod/log/ruxo_001.log");
    std::vector<pid_t> old = transcodersBelow(m_d.pid());

    ASSERT_EQ(0, kill(m_d.pid(), SIGKILL));
    int nStatus = 0;
    ASSERT_TRUE(m_d.waitExit(5000, &nStatus));
    EXPECT_EQ(128 + SIGKILL, nStatus);
    /* Orphans come to this test process, the namespace's subreaper. */
    EXPECT_TRUE(waitUntil([&]() { return transcodersBelow(getpid()).empty(); }, 5000))
        << transcodersBelow(getpid()).size() << " transcoder processes outlived the daemon";

    ASSERT_NO_FATAL_FAILURE(startDaemon());
    ASSERT_TRUE(waitUntil([&]() { return descendantsNamed(m_d.pid(), "ffmpeg").size() == 3; }, 30000));
    /* Both lists are read together: a watcher takes its name only once its ffmpeg runs. */
    std::vector<pid_t> now, all;
    EXPECT_TRUE(
        waitUntil([&]() { return (now = transcodersBelow(m_d.pid())) == (all = transcodersBelow(getpid())); }, 10000))
        << now.size() << " " << all.size() << ": a transcoder that the daemon does not know runs";
    for (pid_t pid : old)
        EXPECT_EQ(now.end(), std::find(now.begin(), now.end(), pid));
    ASSERT_NO_FATAL_FAILURE(stopDaemon());
    EXPECT_TRUE(waitUntil([&]() { return transcodersBelow(getpid()).empty(); }, 5000));
}

TEST_F(DaemonTest, EndToEndFileSourceRestartsAfterTheDelay)
{
    ASSERT_NO_FATAL_FAILURE(boot(Transcoder::Real));
    std::string strHls = m_d.dir() + "/hls";
    ASSERT_EQ(0, mkdir(strHls.c_str(), 0755));
    ASSERT_NO_FATAL_FAILURE(makeClip(m_d.dir() + "/clip.mp4"));
    ChannelSpec c;
    c.strSource = m_d.dir() + "/clip.mp4";
    c.strMode = "";
    c.strTargetFormat = "hls";
    c.strTarget = strHls + "/out.m3u8";
    ASSERT_TRUE(m_d.writeConfig(config({c}, 1)));
    ASSERT_NO_FATAL_FAILURE(startDaemon());
    ASSERT_TRUE(waitUntil([&]() { return hlsSegments(strHls + "/out.m3u8") >= 1; }, 20000))
        << readFile("/var/ruxod/log/ruxo_001.log");

    /* Any other source waits "autoRestart" seconds on its timer. */
    long long nDelay = killFfmpegAndWait(m_d.pid(), 20000);
    ASSERT_GE(nDelay, 0) << readFile("/var/ruxod/log/ruxo_001.log");
    RecordProperty("restart_after_kill_ms", std::to_string(nDelay));
    std::printf("file source: ffmpeg restarted %lld ms after SIGKILL\n", nDelay);
    EXPECT_GE(nDelay, 900);
    ASSERT_NO_FATAL_FAILURE(stopDaemon());
    EXPECT_TRUE(descendantsNamed(getpid(), "ffmpeg").empty());
}
}  // namespace
