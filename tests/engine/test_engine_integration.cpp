/* test_engine_integration.cpp -- transcoder children for real: the scripted fake transcoder runs as
 * "ruxod.so" and the engine starts, feeds, polls, stops, kills, reaps and releases it. Covers the
 * input line, wait statuses, progress, fatal texts, the hang rule (engine clock injected), the
 * release's 3 s budget, CPU binding, fresh pipes per child, inherited descriptors, signal
 * dispositions and concurrent use of the slot table. Every test runs in its own process. */
#include <errno.h>
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "ruxo_internal.h"
#include "ruxo_test_env.h"

using ruxotest::EngineDirs;
using ruxotest::countOf;
using ruxotest::fakeRecords;
using ruxotest::readFile;
using Clock = std::chrono::steady_clock;

namespace {

std::atomic<time_t> g_clockOffset{0};
time_t shiftedClock(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec + 1 + g_clockOffset.load();
}
/* Makes the engine clock read t now. */
void setEngineNow(time_t t)
{
    g_clockOffset = t - (shiftedClock() - g_clockOffset.load());
}

class Children : public ::testing::Test {
protected:
    EngineDirs dirs;
    std::string out; /* the fake's record file */

    void SetUp() override
    {
        ASSERT_TRUE(dirs.create("engine", RUXO_FAKE_TRANSCODER));
        out = dirs.root + "/fake.txt";
        unsetenv("RUXO_FAKE_MODE");
        unsetenv("RUXO_FAKE_OUT");
    }
    void TearDown() override { ruxoFree(); }

    int init(int nCpuPerChannel = 0)
    {
        RUXO_CONFIG cfg = {};
        cfg.nLogLevel = 1;
        cfg.nCpuPerChannel = nCpuPerChannel;
        cfg.pszDllPath = dirs.bin.c_str();
        cfg.pszDataPath = dirs.data.c_str();
        return ruxoInitA(&cfg);
    }
    /* The command line handed to the fake: its mode word and where it records. */
    std::string line(const std::string& mode) { return "-i input fake:" + mode + " fake-out=" + out + " "; }
    int start(int iChannel, const std::string& mode, int bPreview = 0)
    {
        return startLine(iChannel, line(mode).c_str(), bPreview);
    }
    /* A start of a finished line, as the command-line layer makes it: the claim, then the child. */
    static int startLine(int iChannel, const char* szArg, int bPreview)
    {
        std::string exe;
        int rc = _ruxoClaimSlot(iChannel, bPreview, &exe);
        return rc != RUXO_OK ? rc : _ruxoStartProc(iChannel, exe, szArg);
    }
    /* Polls every 20 ms until cond holds or the time is up. */
    bool pollUntil(const std::function<bool()>& cond, double seconds = 20.0)
    {
        auto end = Clock::now() + std::chrono::duration<double>(seconds);
        while (Clock::now() < end) {
            ruxoPoll();
            if (cond())
                return true;
            usleep(20000);
        }
        ruxoPoll();
        return cond();
    }
    bool idle(int i)
    {
        return pollUntil([&] { return ruxoGetState(i) == RUXO_STATE_IDLE; });
    }
    pid_t pidOf(int i)
    {
        std::lock_guard<std::recursive_mutex> lk(g_engineMutex);
        return g_procChannels[i].pid;
    }
    /* The fake has read its line (and recorded it). */
    bool recorded(const std::string& kind, size_t n = 1)
    {
        return pollUntil([&] {
            size_t k = 0;
            for (auto& r : fakeRecords(out))
                k += r.kind == kind;
            return k >= n;
        });
    }
    std::string log(int i) { return readFile(dirs.channelLog(i)); }
};

}  // namespace

TEST_F(Children, StartFeedsTheLineAndReapsWithTheWaitStatus)
{
    ASSERT_EQ(init(), 0);
    ASSERT_EQ(start(0, "run"), 0);
    EXPECT_EQ(ruxoGetState(0), RUXO_STATE_RUNNING);
    EXPECT_EQ(ruxoGetStreamTime(0), -1);
    pid_t pid = pidOf(0);
    ASSERT_GT(pid, 0);
    ASSERT_TRUE(recorded("line"));
    auto recs = fakeRecords(out);
    ASSERT_EQ(recs.size(), 1u);
    EXPECT_EQ(recs[0].pid, pid);
    EXPECT_EQ(recs[0].rest, "quBra_6093 " + line("run"));

    /* A second start of a busy slot is the caller's check; a preview in another slot: */
    ASSERT_EQ(start(1, "run", 1), 0);
    EXPECT_EQ(ruxoGetState(1), RUXO_STATE_PREVIEW);

    /* Progress arrives, then a graceful stop ends the child with status 0. */
    EXPECT_TRUE(pollUntil([&] { return ruxoGetStreamFPS(0) == 25; }));
    EXPECT_EQ(ruxoGetStreamBitrate(0), 134);
    ruxoStop(0, 0);
    EXPECT_EQ(ruxoGetState(0), RUXO_STATE_STOPPING);
    ASSERT_TRUE(idle(0));
    EXPECT_EQ(ruxoGetExitCode(0), 0);
    EXPECT_EQ(kill(pid, 0), -1); /* reaped */
    std::string l = log(0);
    EXPECT_NE(l.find("] stop transcoding\n"), std::string::npos);
    EXPECT_NE(l.find("] transcoding stopped (0x00000000)\n"), std::string::npos);
    EXPECT_LT(l.find("] stop transcoding\n"), l.find("transcoding stopped"));

    /* Forced stop: SIGKILL, raw status 9. */
    ruxoStop(1, 1);
    ASSERT_TRUE(idle(1));
    EXPECT_EQ(ruxoGetExitCode(1), 9);
    EXPECT_NE(log(1).find("] stop transcoding forcedly\n"), std::string::npos);
    EXPECT_NE(log(1).find("] transcoding stopped (0x00000009)\n"), std::string::npos);

    /* A child that exits with 1: raw status 0x100; its last output reaches the log. */
    ASSERT_EQ(start(0, "exit1"), 0);
    ASSERT_TRUE(idle(0));
    EXPECT_EQ(ruxoGetExitCode(0), 0x100);
    EXPECT_NE(log(0).find("fake transcoder failing\n"), std::string::npos);
    EXPECT_NE(log(0).find("] transcoding stopped (0x00000100)\n"), std::string::npos);

    /* Progress counters and the status stay after the child has ended. */
    EXPECT_EQ(ruxoGetStreamFPS(1), 25);
}

/* The poll asks the kernel which slots have output and which children have ended: a child whose
 * last words and end both wait for the same pass, and one that ends without a word, are each taken
 * in that one pass, each in its own slot's log and status, the words before the end. */
TEST_F(Children, LastOutputAndTheEndAreTakenInOnePass)
{
    ASSERT_EQ(init(), 0);
    struct Case {
        int slot;
        const char* mode;
        int status;
        const char* words; /* the child's own output, "" for none */
    } cases[] = {
        {0, "exit1", 0x100, "fake transcoder failing\n"},
        {63, "exit1", 0x100, "fake transcoder failing\n"},
        {5, "noread", 0, ""},
        {127, "noread", 0, ""},
    };
    std::vector<pid_t> pids;
    for (const Case& c : cases) {
        /* noread never sees its line, so its mode comes from the environment. */
        if (strcmp(c.mode, "noread") == 0)
            setenv("RUXO_FAKE_MODE", "noread", 1);
        ASSERT_EQ(start(c.slot, c.mode), 0) << c.slot;
        unsetenv("RUXO_FAKE_MODE");
        pids.push_back(pidOf(c.slot));
    }
    /* Every child has ended (a zombie until the engine reaps it); nothing has been polled yet. */
    for (pid_t pid : pids)
        ASSERT_TRUE(ruxotest::waitUntil([&] { return !ruxotest::processAlive(pid); }, 10000)) << pid;

    ruxoPoll();
    for (const Case& c : cases) {
        EXPECT_EQ(ruxoGetState(c.slot), RUXO_STATE_IDLE) << c.slot;
        EXPECT_EQ(ruxoGetExitCode(c.slot), c.status) << c.slot;
        char stopped[64];
        snprintf(stopped, sizeof stopped, "] transcoding stopped (0x%08x)\n", (unsigned)c.status);
        std::string l = log(c.slot);
        size_t at = l.find(stopped);
        ASSERT_NE(at, std::string::npos) << c.slot << ": " << l;
        EXPECT_EQ(countOf(l, "transcoding stopped"), 1u) << c.slot << ": " << l;
        if (c.words[0] != '\0') {
            size_t words = l.find(c.words);
            ASSERT_NE(words, std::string::npos) << c.slot << ": " << l;
            EXPECT_LT(words, at) << c.slot << ": " << l;
        } else {
            EXPECT_EQ(l.find(']'), at) << "only the end is logged: " << l;
            std::lock_guard<std::recursive_mutex> lk(g_engineMutex);
            EXPECT_EQ(g_procChannels[c.slot].tmAlive, 0) << c.slot;
        }
    }
}

/* A child that ends while something it left behind keeps its output pipe open is reaped by its own
 * end, not by the pipe's. */
TEST_F(Children, ChildLeavingItsOutputOpenIsReapedWhenItEnds)
{
    ASSERT_EQ(init(), 0);
    ASSERT_EQ(start(0, "orphan"), 0);
    pid_t pid = pidOf(0), left = 0;
    ASSERT_TRUE(ruxotest::waitUntil(
        [&] {
            for (auto& r : fakeRecords(out))
                if (r.kind == "bg")
                    left = atoi(r.rest.c_str());
            return left > 0;
        },
        10000));
    struct Reaper {
        pid_t pid;
        ~Reaper() { kill(pid, SIGKILL); }
    } reaper{left};
    ASSERT_TRUE(ruxotest::waitUntil([&] { return !ruxotest::processAlive(pid); }, 10000));
    ASSERT_TRUE(ruxotest::processAlive(left)) << "the pipe is still held";

    ruxoPoll();
    EXPECT_EQ(ruxoGetState(0), RUXO_STATE_IDLE);
    EXPECT_EQ(ruxoGetExitCode(0), 0x200);
    std::string l = log(0);
    size_t words = l.find("leaving a child behind\n"), at = l.find("] transcoding stopped (0x00000200)\n");
    ASSERT_NE(words, std::string::npos) << l;
    ASSERT_NE(at, std::string::npos) << l;
    EXPECT_LT(words, at);
    /* The slot starts afresh while the old pipe's holder lives on. */
    ASSERT_EQ(start(0, "run"), 0);
    EXPECT_TRUE(pollUntil([&] { return ruxoGetStreamFPS(0) == 25; }));
    ruxoStop(0, 0);
    ASSERT_TRUE(idle(0));
}

TEST_F(Children, ProgressOfARealChild)
{
    ASSERT_EQ(init(), 0);
    ASSERT_EQ(start(4, "progress"), 0);
    EXPECT_TRUE(pollUntil([&] { return ruxoGetStreamTime(4) >= 62; }));
    EXPECT_EQ(ruxoGetStreamFPS(4), 25);
    EXPECT_GE(ruxoGetStreamBitrate(4), 134);
    EXPECT_NE(log(4).find("time=00:01:02.50 bitrate= 134.2kbits/s"), std::string::npos);
    ruxoStop(4, 0);
    ASSERT_TRUE(idle(4));
}

TEST_F(Children, FatalTextsStopTheChild)
{
    ASSERT_EQ(init(), 0);
    /* "both": one chunk with two fatal texts logs the stop twice; the child still ends gracefully. */
    const char* modes[] = {"fatal=bands", "fatal=element", "fatal=queue", "fatal=both"};
    const size_t stops[] = {1, 1, 1, 2};
    for (int i = 0; i < 4; ++i)
        ASSERT_EQ(start(i, modes[i]), 0);
    for (int i = 0; i < 4; ++i) {
        ASSERT_TRUE(idle(i)) << modes[i];
        EXPECT_EQ(ruxoGetExitCode(i), 0) << modes[i]; /* ended by SIGINT, gracefully */
        EXPECT_EQ(countOf(log(i), "] stop transcoding\n"), stops[i]) << modes[i];
        EXPECT_EQ(countOf(log(i), "] stop transcoding forcedly\n"), 0u) << modes[i];
    }
}

TEST_F(Children, HangRuleAtThirtyOneSecondsOnly)
{
    ASSERT_EQ(init(), 0);
    _ruxoSetClock(shiftedClock);
    ASSERT_EQ(start(0, "once"), 0);   /* one line, then silence */
    ASSERT_EQ(start(1, "silent"), 0); /* never prints */
    ASSERT_TRUE(pollUntil([&] {
        std::lock_guard<std::recursive_mutex> lk(g_engineMutex);
        return g_procChannels[0].tmAlive > 0;
    }));
    time_t alive;
    {
        std::lock_guard<std::recursive_mutex> lk(g_engineMutex);
        alive = g_procChannels[0].tmAlive;
        EXPECT_EQ(g_procChannels[1].tmAlive, 0);
    }
    /* 30 seconds after the last output: not yet. */
    setEngineNow(alive + 30);
    ruxoPoll();
    EXPECT_EQ(ruxoGetState(0), RUXO_STATE_RUNNING);
    EXPECT_EQ(log(0).find("hanging"), std::string::npos);

    /* 31 seconds: killed; the slot that never printed is left alone, however long. */
    setEngineNow(alive + 31);
    ruxoPoll();
    EXPECT_EQ(ruxoGetState(0), RUXO_STATE_STOPPING);
    g_clockOffset = 100000;
    ASSERT_TRUE(idle(0));
    EXPECT_EQ(ruxoGetState(1), RUXO_STATE_RUNNING);
    EXPECT_EQ(ruxoGetExitCode(0), 9);

    std::string l = log(0);
    const char* hang = "] channel seems to be hanging for over 30 secs, killing...\n";
    size_t a = l.find(hang), b = l.find("] stop transcoding forcedly\n"),
           c = l.find("] transcoding stopped (0x00000009)\n"), d = l.rfind(hang);
    ASSERT_NE(a, std::string::npos);
    ASSERT_NE(b, std::string::npos);
    ASSERT_NE(c, std::string::npos);
    EXPECT_LT(a, b);
    EXPECT_LT(b, c);
    EXPECT_GT(d, c); /* once more in the pass that reaps it */
    EXPECT_EQ(log(1).find("hanging"), std::string::npos);

    /* A wall-clock step does not touch the engine clock: with it restored, nothing hangs. */
    _ruxoSetClock(nullptr);
    ruxoStop(1, 1);
    ASSERT_TRUE(idle(1));
}

TEST_F(Children, ReleaseKillsChildrenThatIgnoreSigint)
{
    ASSERT_EQ(init(), 0);
    ASSERT_EQ(start(0, "nosigint"), 0);
    ASSERT_EQ(start(1, "run"), 0);
    ASSERT_EQ(start(5, "nosigint"), 0);
    ASSERT_TRUE(recorded("line", 3)); /* the traps are set */
    pid_t p0 = pidOf(0), p1 = pidOf(1), p5 = pidOf(5);

    auto t0 = Clock::now();
    ruxoFree();
    double took = std::chrono::duration<double>(Clock::now() - t0).count();
    EXPECT_GT(took, 2.5);
    EXPECT_LT(took, 5.0);
    for (pid_t p : {p0, p1, p5}) {
        EXPECT_EQ(kill(p, 0), -1) << p; /* ended and reaped: no zombie */
        EXPECT_EQ(errno, ESRCH);
    }
    EXPECT_EQ(g_cfg.bInit, 0);
    EXPECT_EQ(g_cfg.nMaxChannels, 0);
    EXPECT_EQ(ruxoGetState(0), RUXO_STATE_IDLE);
    EXPECT_EQ(ruxoGetStreamFPS(0), -1);

    /* The engine starts again. */
    ASSERT_EQ(init(), 0);
    ASSERT_EQ(start(0, "run"), 0);
    ruxoStop(0, 1);
    ASSERT_TRUE(idle(0));
}

TEST_F(Children, ReleaseOfGracefulChildrenIsQuick)
{
    ASSERT_EQ(init(), 0);
    for (int i = 0; i < 4; ++i)
        ASSERT_EQ(start(i * 10, "run"), 0);
    ASSERT_TRUE(recorded("line", 4));
    auto t0 = Clock::now();
    ruxoFree();
    EXPECT_LT(std::chrono::duration<double>(Clock::now() - t0).count(), 2.0);
}

TEST_F(Children, AffinityIsAppliedBeforeExec)
{
    long n = sysconf(_SC_NPROCESSORS_ONLN);
    cpu_set_t mine;
    ASSERT_EQ(sched_getaffinity(0, sizeof mine, &mine), 0);
    if (n < 2 || CPU_COUNT(&mine) < n)
        GTEST_SKIP() << "needs 2 or more processors, all usable";
    ASSERT_EQ(init(2), 0);
    ASSERT_EQ(start(1, "run"), 0);
    ASSERT_TRUE(recorded("line"));
    cpu_set_t got, want;
    ASSERT_EQ(sched_getaffinity(pidOf(1), sizeof got, &got), 0);
    _ruxoCpuSetForSlot(1, 2, g_cfg.nCPUs, &want);
    CPU_AND(&want, &want, &mine);
    EXPECT_TRUE(CPU_EQUAL(&got, &want));
    EXPECT_EQ(CPU_COUNT(&got), 2);

    /* Without binding the child keeps the daemon's set. */
    ruxoSetCpuAffinity(0);
    ASSERT_EQ(start(2, "run"), 0);
    ASSERT_TRUE(recorded("line", 2));
    ASSERT_EQ(sched_getaffinity(pidOf(2), sizeof got, &got), 0);
    EXPECT_TRUE(CPU_EQUAL(&got, &mine));
}

TEST_F(Children, NoStaleInputReachesTheNextChild)
{
    ASSERT_EQ(init(), 0);
    setenv("RUXO_FAKE_OUT", out.c_str(), 1);
    setenv("RUXO_FAKE_MODE", "noread", 1);
    ASSERT_EQ(startLine(0, "-i first-line ", 0), 0);
    ASSERT_TRUE(idle(0));
    unsetenv("RUXO_FAKE_MODE");
    ASSERT_EQ(start(0, "run"), 0);
    ASSERT_TRUE(recorded("line"));
    auto recs = fakeRecords(out);
    ASSERT_EQ(recs.size(), 2u);
    EXPECT_EQ(recs[0].kind, "noread");
    EXPECT_EQ(recs[1].rest, "quBra_6093 " + line("run"));
    {
        std::lock_guard<std::recursive_mutex> lk(g_engineMutex);
        /* Only the daemon's ends are held: the write end of the input, the read end of the output. */
        EXPECT_EQ(g_procChannels[0].pipeStdin[0], 0);
        EXPECT_GT(g_procChannels[0].pipeStdin[1], 2);
        EXPECT_GT(g_procChannels[0].pipeStdout[0], 2);
        EXPECT_EQ(g_procChannels[0].pipeStdout[1], 0);
    }
    ruxoStop(0, 1);
    ASSERT_TRUE(idle(0));
    std::lock_guard<std::recursive_mutex> lk(g_engineMutex);
    EXPECT_EQ(g_procChannels[0].pipeStdin[1], 0); /* closed at the reap */
    EXPECT_EQ(g_procChannels[0].pipeStdout[0], 0);
}

/* The daemon's own descriptors: every start/reap cycle and the release give back what they took. */
TEST_F(Children, NoDescriptorOutlivesItsChild)
{
    auto openFds = [] {
        int n = 0;
        for (int fd = 0; fd < 4096; ++fd)
            n += fcntl(fd, F_GETFD) != -1;
        return n;
    };
    int before = openFds();
    ASSERT_EQ(init(), 0);
    for (int round = 0; round < 3; ++round) {
        ASSERT_EQ(start(0, round == 1 ? "exit1" : "run"), 0);
        ASSERT_EQ(start(7, "run"), 0);
        ruxoStop(0, round == 2 ? 1 : 0);
        ruxoStop(7, 0);
        ASSERT_TRUE(idle(0));
        ASSERT_TRUE(idle(7));
        EXPECT_EQ(openFds(), before) << round;
    }
    ASSERT_EQ(start(3, "nosigint"), 0);
    pid_t pid = pidOf(3);
    ASSERT_TRUE(pollUntil([&] { /* its trap is set */
                                for (auto& r : fakeRecords(out))
                                    if (r.pid == pid && r.kind == "line")
                                        return true;
                                return false;
    }));
    ruxoFree(); /* its child is killed after the 3 s budget */
    EXPECT_EQ(openFds(), before);
}

/* The status reply reads the processor count and loads without the engine mutex while the engine
 * is started and released (ThreadSanitizer checks the accesses). */
TEST_F(Children, LoadReadsDuringStartUpAndRelease)
{
    std::atomic<bool> done{false};
    std::thread reader([&] {
        while (!done) {
            for (int k = 0; k < RUXO_MAX_CPUS; ++k)
                ruxoGetCpuLoad(k);
            usleep(200);
        }
    });
    for (int round = 0; round < 5; ++round) {
        ASSERT_EQ(init(), 0);
        ruxoPoll();
        usleep(2000);
        ruxoFree();
    }
    done = true;
    reader.join();
}

TEST_F(Children, ChildInheritsOnlyItsStandardDescriptors)
{
    ASSERT_EQ(init(), 0);
    int leaky = open("/dev/null", O_RDONLY); /* no close-on-exec on purpose */
    ASSERT_GT(leaky, 2);
    int lp[2];
    ASSERT_EQ(pipe(lp), 0);
    ASSERT_EQ(start(0, "run"), 0); /* another slot's pipes are open too */
    ASSERT_EQ(start(1, "fds"), 0);
    ASSERT_TRUE(recorded("fds"));
    for (auto& r : fakeRecords(out)) {
        if (r.kind == "fds") {
            EXPECT_EQ(r.rest, "0 1 2");
        }
    }
    close(leaky);
    close(lp[0]);
    close(lp[1]);
}

TEST_F(Children, InputStaysOpenWhileTheChildRuns)
{
    ASSERT_EQ(init(), 0);
    ASSERT_EQ(start(0, "eof"), 0);
    ASSERT_TRUE(recorded("line"));
    usleep(300000);
    ruxoPoll();
    EXPECT_EQ(ruxoGetState(0), RUXO_STATE_RUNNING);
    EXPECT_EQ(log(0).find("input closed"), std::string::npos);
    ruxoStop(0, 1);
    ASSERT_TRUE(idle(0));
}

TEST_F(Children, ChildGetsDefaultSignalHandling)
{
    /* The daemon ignores and blocks SIGINT; its children must still end on a graceful stop. */
    signal(SIGINT, SIG_IGN);
    sigset_t block;
    sigemptyset(&block);
    sigaddset(&block, SIGINT);
    sigaddset(&block, SIGTERM);
    ASSERT_EQ(pthread_sigmask(SIG_BLOCK, &block, nullptr), 0);
    ASSERT_EQ(init(), 0);
    ASSERT_EQ(start(0, "run"), 0);
    ASSERT_TRUE(recorded("line"));
    ruxoStop(0, 0);
    ASSERT_TRUE(idle(0));
    EXPECT_EQ(ruxoGetExitCode(0), 0);
}

TEST_F(Children, MissingExecutableEndsTheChildWith127)
{
    ASSERT_EQ(init(), 0);
    ASSERT_EQ(unlink((dirs.bin + "/ruxod.so").c_str()), 0);
    ASSERT_EQ(start(0, "run"), 0);
    ASSERT_TRUE(idle(0));
    EXPECT_TRUE(WIFEXITED(ruxoGetExitCode(0)));
    EXPECT_EQ(WEXITSTATUS(ruxoGetExitCode(0)), 127);
    EXPECT_NE(log(0).find("] transcoding stopped (0x00007f00)\n"), std::string::npos);
}

/* A stop asked for while a start is under way (its slot claimed, no child yet) is not lost: the
 * slot reports stopping, and the child gets the stop as soon as the start publishes it. */
TEST_F(Children, StopDuringAStartReachesItsChild)
{
    ASSERT_EQ(init(), 0);
    struct Case {
        const char* what;
        std::function<void(int)> stop;
        const char* mode; /* nosigint: only a kill ends it */
    } cases[] = {
        {"graceful", [](int i) { ruxoStop(i, 0); }, "run"},
        {"forced", [](int i) { ruxoStop(i, 1); }, "nosigint"},
        {"with a deadline", [](int i) { ruxoStopWithin(i, 0); }, "nosigint"},
    };
    int slot = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::string exe;
        ASSERT_EQ(_ruxoClaimSlot(slot, 0, &exe), 0);
        EXPECT_EQ(ruxoGetState(slot), RUXO_STATE_RUNNING);
        EXPECT_EQ(_ruxoClaimSlot(slot, 0, &exe), RUXO_ERR_BUSY);
        ruxoPoll(); /* a slot being started is no business of the poll */
        c.stop(slot);
        EXPECT_EQ(ruxoGetState(slot), RUXO_STATE_STOPPING);
        ASSERT_EQ(_ruxoStartProc(slot, exe, line(c.mode).c_str()), 0);
        EXPECT_TRUE(idle(slot)) << "the stop never reached the child";
        ++slot;
    }
}

/* A transcoder that cannot be executed: the child reports why through its close-on-exec pipe and
 * ends with 127; the parent writes the reason to the channel's log, the child itself writes
 * nothing, and the start keeps its result (the poll reaps the child as any other). */
TEST_F(Children, TranscoderThatCannotRunIsLoggedByTheParent)
{
    const std::string exe = dirs.bin + "/ruxod.so";
    struct Case {
        const char* what;
        std::function<void()> spoil;
        const char* reason; /* the system's text for the exec's errno */
    } cases[] = {
        {"missing", [&] { ASSERT_EQ(unlink(exe.c_str()), 0); }, strerror(ENOENT)},
        {"not executable", [&] { ASSERT_EQ(chmod(exe.c_str(), 0644), 0); }, nullptr},
        {"no program", [&] { ASSERT_TRUE(ruxotest::writeFile(exe, std::string("\x01\x02garbage\n", 10))); },
         strerror(ENOEXEC)},
    };
    ASSERT_EQ(init(), 0);
    int slot = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_EQ(system(("cp '" RUXO_FAKE_TRANSCODER "' '" + exe + "' && chmod 755 '" + exe + "'").c_str()), 0);
        c.spoil();
        ASSERT_EQ(start(slot, "run"), 0);
        ASSERT_TRUE(idle(slot));
        EXPECT_TRUE(WIFEXITED(ruxoGetExitCode(slot)));
        EXPECT_EQ(WEXITSTATUS(ruxoGetExitCode(slot)), 127);
        std::string l = log(slot);
        /* Root passes the access test on a file without execute bits, the exec does not. */
        std::string reason = c.reason ? c.reason : strerror(EACCES);
        std::string want = "] cannot run " + exe + ": " + reason + "\n";
        size_t at = l.find(want);
        ASSERT_NE(at, std::string::npos) << l;
        EXPECT_LT(at, l.find("] transcoding stopped (0x00007f00)\n")) << l;
        /* Only the engine's own stamped lines: the child wrote nothing to its output. */
        std::istringstream lines(l);
        for (std::string one; std::getline(lines, one);)
            EXPECT_EQ(one.compare(0, 1, "["), 0) << one;
        EXPECT_FALSE(ruxotest::exists(out)) << "the fake never ran";
        ++slot;
    }
}

/* A pipe that cannot be made fails the start with -5 and leaves the reason in the channel's log. */
TEST_F(Children, PipeFailureIsLoggedWithItsErrno)
{
    ASSERT_EQ(init(), 0);
    ASSERT_EQ(ruxoLog(0, 1, "log open"), 0); /* the channel's log stays open between lines */
    struct rlimit saved;
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    struct rlimit low = saved;
    low.rlim_cur = 64;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
    std::vector<int> fillers;
    for (int fd; (fd = dup(2)) >= 0;)
        fillers.push_back(fd);
    int rc = start(0, "run");
    for (int fd : fillers)
        close(fd);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &saved), 0);
    EXPECT_EQ(rc, -5);
    EXPECT_EQ(ruxoGetState(0), RUXO_STATE_IDLE);
    EXPECT_NE(log(0).find(std::string("] cannot create a pipe to the transcoder: ") + strerror(EMFILE) + "\n"),
              std::string::npos)
        << log(0);
    /* The slot is usable again once descriptors are free. */
    ASSERT_EQ(start(0, "run"), 0);
    ASSERT_TRUE(recorded("line"));
}

TEST_F(Children, ChildReapedElsewhereKeepsTheLastStatus)
{
    ASSERT_EQ(init(), 0);
    ASSERT_EQ(start(0, "exit1"), 0);
    ASSERT_TRUE(idle(0));
    ASSERT_EQ(ruxoGetExitCode(0), 0x100);
    EXPECT_EQ(start(0, "run"), 0);
    EXPECT_EQ(start(0, "run"), RUXO_ERR_BUSY); /* a busy slot is left alone */
    pid_t pid = pidOf(0);
    ASSERT_TRUE(recorded("line", 2));
    /* Someone else reaps the child: the engine's wait fails with ECHILD. */
    ASSERT_EQ(kill(pid, SIGKILL), 0);
    ASSERT_EQ(waitpid(pid, nullptr, 0), pid);
    ASSERT_TRUE(idle(0));
    EXPECT_EQ(ruxoGetExitCode(0), 0x100);
    EXPECT_NE(log(0).find("] transcoding stopped (0x00000100)\n"),
              log(0).rfind("] transcoding stopped (0x00000100)\n"));
}

TEST_F(Children, StartsStopsAndPollsFromSeveralThreads)
{
    ASSERT_EQ(init(), 0);
    std::atomic<bool> done{false};
    std::thread poller([&] {
        while (!done) {
            ruxoPoll();
            usleep(5000);
        }
    });
    std::thread reader([&] {
        while (!done) {
            for (int i = 0; i < 8; ++i) {
                ruxoGetState(i);
                ruxoGetStreamTime(i);
            }
            for (int k = 0; k < RUXO_MAX_CPUS; ++k)
                ruxoGetCpuLoad(k);
            ruxoSetLog(1);
            usleep(2000);
        }
    });
    std::vector<std::thread> workers;
    for (int w = 0; w < 4; ++w) {
        workers.emplace_back([&, w] {
            for (int round = 0; round < 3; ++round) {
                int i = w * 2 + (round & 1);
                if (ruxoGetState(i) == RUXO_STATE_IDLE)
                    startLine(i, line("run").c_str(), 0);
                usleep(100000);
                ruxoStop(i, round == 2 ? 1 : 0);
            }
        });
    }
    for (auto& t : workers)
        t.join();
    bool allIdle = false;
    for (int n = 0; n < 250 && !allIdle; ++n) {
        allIdle = true;
        for (int i = 0; i < 8; ++i)
            allIdle = allIdle && ruxoGetState(i) == RUXO_STATE_IDLE;
        usleep(20000);
    }
    done = true;
    poller.join();
    reader.join();
    EXPECT_TRUE(allIdle);
}
