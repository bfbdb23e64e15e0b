/* test_engine_unit.cpp -- the engine core without children: start-up paths and their failures,
 * the release, channel logs and their rotation, the progress filter and the fatal texts, the
 * processor-load sampling from "/proc/stat" fixtures, the CPU-set arithmetic and the pipe writers.
 * Every test runs in its own process (the engine's state is process-wide). */
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "ruxo_internal.h"
#include "ruxo_test_env.h"

using ruxotest::EngineDirs;
using ruxotest::copyFile;
using ruxotest::countOf;
using ruxotest::readFile;
using ruxotest::removeTree;
using ruxotest::writeFile;

namespace {

class Engine : public ::testing::Test {
protected:
    EngineDirs dirs;
    void SetUp() override { ASSERT_TRUE(dirs.create("engine", RUXO_FAKE_TRANSCODER)); }
    void TearDown() override { ruxoFree(); }
    int init(int nLogLevel = 1, int nCpuPerChannel = 0)
    {
        RUXO_CONFIG cfg = {};
        cfg.nLogLevel = nLogLevel;
        cfg.nCpuPerChannel = nCpuPerChannel;
        cfg.pszDllPath = dirs.bin.c_str();
        cfg.pszDataPath = dirs.data.c_str();
        return ruxoInitA(&cfg);
    }
    std::string log0() { return readFile(dirs.channelLog(0)); }
};

/* Replaces each time stamp "[YYYY/MM/DD hh:mm:ss] " by "[T] "; any other bracket stays. */
std::string maskStamps(const std::string& log)
{
    const std::string shape = "[dddd/dd/dd dd:dd:dd] ";
    std::string out;
    for (size_t i = 0; i < log.size();) {
        bool stamp = i + shape.size() <= log.size();
        for (size_t k = 0; stamp && k < shape.size(); ++k)
            stamp = shape[k] == 'd' ? (log[i + k] >= '0' && log[i + k] <= '9') : log[i + k] == shape[k];
        if (stamp) {
            out += "[T] ";
            i += shape.size();
        } else {
            out += log[i++];
        }
    }
    return out;
}

time_t g_fakeNow = 1000;
time_t fakeClock(void)
{
    return g_fakeNow;
}

}  // namespace

/* ---- start-up ---------------------------------------------------------------------------------- */

TEST_F(Engine, StartUpJoinsFoldersWithOneSlash)
{
    struct Case {
        std::string dll, data, wantExe, wantData;
    } cases[] = {
        {dirs.bin, dirs.data, dirs.bin + "/ruxod.so", dirs.data},
        {dirs.bin + "/", dirs.data + "/", dirs.bin + "/ruxod.so", dirs.data},
        {dirs.bin + "/", dirs.data + "//", dirs.bin + "/ruxod.so", dirs.data + "/"},
    };
    for (const Case& c : cases) {
        RUXO_CONFIG cfg = {};
        cfg.pszDllPath = c.dll.c_str();
        cfg.pszDataPath = c.data.c_str();
        ASSERT_EQ(ruxoInitA(&cfg), 0) << c.dll;
        EXPECT_EQ(std::string(g_cfg.szfnFfmpeg), c.wantExe);
        EXPECT_EQ(std::string(g_cfg.szDataPath), c.wantData);
        EXPECT_EQ(std::string(g_cfg.szfnFfserver), std::string(ruxoGetProgFile()));
        EXPECT_EQ(g_cfg.nMaxChannels, 128);
        EXPECT_GE(g_cfg.nCPUs, 1);
        ruxoFree();
    }
}

TEST_F(Engine, ProgramFolderIsTheExecutablesFolder)
{
    std::string file = ruxoGetProgFile();
    ASSERT_FALSE(file.empty());
    EXPECT_EQ(std::string(ruxoGetProgDir()), file.substr(0, file.rfind('/')));
    EXPECT_EQ(access(file.c_str(), X_OK), 0);
}

TEST_F(Engine, SecondStartUpKeepsTheFirstSettings)
{
    ASSERT_EQ(init(3, 2), 0);
    RUXO_CONFIG other = {};
    other.nLogLevel = 7;
    other.pszDllPath = "/nonexistent";
    other.pszDataPath = "/elsewhere";
    EXPECT_EQ(ruxoInitA(&other), 0);
    EXPECT_EQ(g_cfg.nLogLevel, 3);
    EXPECT_EQ(g_cfg.nCpuPerChannel, 2);
    EXPECT_EQ(std::string(g_cfg.szDataPath), dirs.data);
}

TEST_F(Engine, StartUpRefusesWhatIsNotARegularExecutable)
{
    std::string exe = dirs.bin + "/ruxod.so";
    struct Case {
        const char* what;
        std::string prep;
    } cases[] = {
        {"missing", "rm -f '" + exe + "'"},
        {"not executable", "chmod 644 '" + exe + "'"},
        {"a folder", "rm -f '" + exe + "' && mkdir '" + exe + "'"},
    };
    for (const Case& c : cases) {
        ASSERT_TRUE(removeTree(exe));
        ASSERT_TRUE(copyFile(RUXO_FAKE_TRANSCODER, exe, 0755));
        ASSERT_EQ(system(c.prep.c_str()), 0);
        EXPECT_EQ(init(), -3) << c.what;
        EXPECT_EQ(g_cfg.bInit, 0) << c.what;
        EXPECT_EQ(g_cfg.nMaxChannels, 0) << c.what;
        EXPECT_EQ(ruxoLog(0, 1, "x"), -1) << c.what;
    }
}

TEST_F(Engine, OverlongPathsFailInsteadOfBeingCut)
{
    std::string longDir = "/tmp/" + std::string(260, 'a');
    RUXO_CONFIG cfg = {};
    cfg.pszDataPath = dirs.data.c_str();
    cfg.pszDllPath = longDir.c_str();
    EXPECT_NE(ruxoInitA(&cfg), 0);
    EXPECT_EQ(g_cfg.bInit, 0);

    /* A folder that fits alone but not with "/ruxod.so". */
    std::string nearly = "/tmp/" + std::string(245, 'b');
    cfg.pszDllPath = nearly.c_str();
    EXPECT_EQ(ruxoInitA(&cfg), -3);

    cfg.pszDllPath = dirs.bin.c_str();
    cfg.pszDataPath = longDir.c_str();
    EXPECT_NE(ruxoInitA(&cfg), 0);
    EXPECT_EQ(g_cfg.bInit, 0);
    EXPECT_EQ(g_cfg.nMaxChannels, 0);
}

TEST_F(Engine, WideStartUpConvertsThePaths)
{
    std::wstring wbin(dirs.bin.begin(), dirs.bin.end()), wdata(dirs.data.begin(), dirs.data.end());
    wdata += L"/";
    RUXO_CONFIG cfg = {};
    cfg.nLogLevel = 1;
    cfg.pszDllPath = wbin.c_str();
    cfg.pszDataPath = wdata.c_str();
    ASSERT_EQ(ruxoInitW(&cfg), 0);
    EXPECT_EQ(std::string(g_cfg.szfnFfmpeg), dirs.bin + "/ruxod.so");
    EXPECT_EQ(std::string(g_cfg.szDataPath), dirs.data);
}

TEST_F(Engine, StartUpIgnoresSigpipe)
{
    signal(SIGPIPE, SIG_DFL);
    ASSERT_EQ(init(), 0);
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    close(p[0]);
    errno = 0;
    EXPECT_EQ(pipeWriteStr(p[1], "to nobody"), (size_t)-1); /* we are still alive */
    EXPECT_EQ(errno, EPIPE);
    close(p[1]);
}

TEST_F(Engine, GettersAreNeutralOutsideTheTableBeforeAndAfterTheRelease)
{
    auto neutral = [](int i) {
        EXPECT_EQ(ruxoGetState(i), RUXO_STATE_IDLE) << i;
        EXPECT_EQ(ruxoGetStreamTime(i), -1) << i;
        EXPECT_EQ(ruxoGetStreamFPS(i), -1) << i;
        EXPECT_EQ(ruxoGetStreamBitrate(i), -1) << i;
        EXPECT_EQ(ruxoGetExitCode(i), 0) << i;
        ruxoStop(i, 0);
        ruxoStop(i, 1);
    };
    for (int i : {-1, 0, 5, 127, 128})
        neutral(i);
    ASSERT_EQ(init(), 0);
    for (int i : {-1, 128, 1 << 30})
        neutral(i);
    EXPECT_EQ(ruxoGetStreamTime(0), 0); /* a fresh slot is all zero */
    g_procChannels[3].nStreamingSec = 42;
    EXPECT_EQ(ruxoGetStreamTime(3), 42);
    ruxoFree();
    EXPECT_EQ(g_cfg.nMaxChannels, 0);
    EXPECT_EQ(g_procChannels, nullptr);
    for (int i : {-1, 0, 3, 127})
        neutral(i);
    ruxoPoll(); /* nothing to walk */
    ASSERT_EQ(init(), 0);
    EXPECT_EQ(g_cfg.nMaxChannels, 128);
    EXPECT_EQ(ruxoGetStreamTime(3), 0);
}

TEST_F(Engine, SettersNeedNoStartUp)
{
    ruxoSetLog(4);
    ruxoSetCpuAffinity(3);
    EXPECT_EQ(g_cfg.nLogLevel, 4);
    EXPECT_EQ(g_cfg.nCpuPerChannel, 3);
    EXPECT_EQ(g_cfg.bInit, 0);
}

/* ---- channel logs ------------------------------------------------------------------------------ */

TEST_F(Engine, LogLinesAndTheirNewlines)
{
    EXPECT_EQ(ruxoLog(0, 1, "before start-up"), -1);
    ASSERT_EQ(init(0), 0);
    EXPECT_EQ(ruxoLog(0, 1, "logging off"), 0);
    EXPECT_FALSE(ruxotest::exists(dirs.channelLog(0)));

    ruxoSetLog(1);
    EXPECT_EQ(ruxoLog(0, 1, "plain"), 0);
    EXPECT_EQ(ruxoLog(0, 1, "two\nlines"), 0);
    EXPECT_EQ(ruxoLog(0, 0, "raw "), 0);
    EXPECT_EQ(ruxoLog(0, 0, "chunk\r"), 0);
    EXPECT_EQ(ruxoLog(0, 1, "ends\n"), 0);
    EXPECT_EQ(maskStamps(log0()), "[T] plain\n[T] two\nlinesraw chunk\r[T] ends\n");

    struct stat st;
    ASSERT_EQ(stat(dirs.channelLog(0).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);

    /* Channel index 41 writes "ruxo_042.log"; the index is not checked against the table. */
    EXPECT_EQ(ruxoLog(41, 0, "x"), 0);
    EXPECT_EQ(readFile(dirs.log + "/ruxo_042.log"), "x");
    EXPECT_EQ(ruxoLog(999, 0, "y"), 0);
    EXPECT_EQ(readFile(dirs.log + "/ruxo_1000.log"), "y");
}

TEST_F(Engine, LogWithoutLogFolderFails)
{
    ASSERT_EQ(init(), 0);
    ASSERT_TRUE(removeTree(dirs.log));
    EXPECT_EQ(ruxoLog(0, 1, "lost"), -1);
}

/* A log that opens but takes nothing (a full disk; /dev/full fails every write with ENOSPC) fails
 * like one that does not open, stamped or raw. */
TEST_F(Engine, LogOnAFullDiskFails)
{
    ASSERT_EQ(init(), 0);
    ASSERT_EQ(symlink("/dev/full", dirs.channelLog(0).c_str()), 0);
    EXPECT_EQ(ruxoLog(0, 1, "lost"), -1);
    EXPECT_EQ(ruxoLog(0, 0, "lost too"), -1);
    EXPECT_EQ(ruxoLog(1, 1, "kept"), 0);
}

TEST_F(Engine, RotationAboveFiveMillionBytes)
{
    ASSERT_EQ(init(), 0);
    std::string cur = dirs.channelLog(0);
    ASSERT_TRUE(writeFile(cur, std::string(5000000, 'a')));
    EXPECT_EQ(ruxoLog(0, 0, "b"), 0); /* exactly 5,000,000: appended */
    EXPECT_FALSE(ruxotest::exists(dirs.log + "/ruxo_001-1.log"));
    EXPECT_EQ(readFile(cur).size(), 5000001u);

    EXPECT_EQ(ruxoLog(0, 0, "c"), 0); /* 5,000,001: rotated first */
    EXPECT_EQ(readFile(cur), "c");
    EXPECT_EQ(readFile(dirs.log + "/ruxo_001-1.log").size(), 5000001u);
}

TEST_F(Engine, RotationShiftsNumberedFiles)
{
    ASSERT_EQ(init(), 0);
    auto num = [&](int k) { return dirs.log + "/ruxo_001-" + std::to_string(k) + ".log"; };
    std::string cur = dirs.channelLog(0);

    for (int k = 1; k <= 9; ++k) {
        ASSERT_TRUE(writeFile(cur, "gen" + std::to_string(k)));
        EXPECT_EQ(cleanLogFiles(0), 0);
        EXPECT_EQ(readFile(num(k)), "gen" + std::to_string(k));
        EXPECT_FALSE(ruxotest::exists(cur));
    }
    ASSERT_TRUE(writeFile(cur, "gen10"));
    cleanLogFiles(0);
    for (int k = 1; k <= 8; ++k)
        EXPECT_EQ(readFile(num(k)), "gen" + std::to_string(k + 1));
    EXPECT_EQ(readFile(num(9)), "gen10");
    EXPECT_FALSE(ruxotest::exists(num(10)));

    /* A gap: with 1, 2 and 4 present the current log fills number 3. */
    ASSERT_EQ(system(("rm -f '" + dirs.log + "'/ruxo_001-*.log").c_str()), 0);
    for (int k : {1, 2, 4})
        ASSERT_TRUE(writeFile(num(k), "old" + std::to_string(k)));
    ASSERT_TRUE(writeFile(cur, "now"));
    cleanLogFiles(0);
    EXPECT_EQ(readFile(num(3)), "now");
    EXPECT_EQ(readFile(num(4)), "old4");

    /* Numbered files 1..12 present: 1..4 go, 5..12 become 1..8, the current log becomes 9. */
    ASSERT_EQ(system(("rm -f '" + dirs.log + "'/ruxo_001-*.log").c_str()), 0);
    for (int k = 1; k <= 12; ++k)
        ASSERT_TRUE(writeFile(num(k), "n" + std::to_string(k)));
    ASSERT_TRUE(writeFile(cur, "now"));
    cleanLogFiles(0);
    for (int k = 1; k <= 8; ++k)
        EXPECT_EQ(readFile(num(k)), "n" + std::to_string(k + 4)) << k;
    EXPECT_EQ(readFile(num(9)), "now");
    EXPECT_FALSE(ruxotest::exists(num(10))); /* 10..12 moved down to 6..8 */
}

/* A channel's log stays open between lines, yet each line goes where opening the path anew would
 * send it, whatever was done to the file from outside in between. */
TEST_F(Engine, LinesFollowTheLogPathAfterOutsideChanges)
{
    ASSERT_EQ(init(), 0);
    const std::string cur = dirs.channelLog(0), moved = dirs.log + "/moved.log", other = dirs.log + "/other.log";
    struct Case {
        const char* what;
        std::function<void()> act;
        const char* curAfter;   /* the current log afterwards */
        const char* movedAfter; /* moved.log afterwards, null when there is none */
    } cases[] = {
        {"removed", [&] { ASSERT_EQ(unlink(cur.c_str()), 0); }, "after\n", nullptr},
        {"moved away", [&] { ASSERT_EQ(rename(cur.c_str(), moved.c_str()), 0); }, "after\n", "before\n"},
        {"replaced",
         [&] {
             ASSERT_TRUE(writeFile(other, "other\n"));
             ASSERT_EQ(rename(other.c_str(), cur.c_str()), 0);
         },
         "other\nafter\n", nullptr},
        {"emptied", [&] { ASSERT_EQ(truncate(cur.c_str(), 0), 0); }, "after\n", nullptr},
        {"removed with its folder",
         [&] {
             ASSERT_TRUE(removeTree(dirs.log));
             ASSERT_EQ(mkdir(dirs.log.c_str(), 0755), 0);
         },
         "after\n", nullptr},
        {"left alone", [] {}, "before\nafter\n", nullptr},
    };
    for (const Case& c : cases) {
        unlink(cur.c_str());
        unlink(moved.c_str());
        ASSERT_EQ(ruxoLog(0, 0, "before\n"), 0) << c.what;
        c.act();
        ASSERT_EQ(ruxoLog(0, 0, "after\n"), 0) << c.what;
        EXPECT_EQ(readFile(cur), c.curAfter) << c.what;
        if (c.movedAfter) {
            EXPECT_EQ(readFile(moved), c.movedAfter) << c.what;
        }
        struct stat st;
        ASSERT_EQ(stat(cur.c_str(), &st), 0) << c.what;
        EXPECT_EQ(st.st_mode & 0777, 0644u) << c.what;
    }
    /* A log folder that is gone fails the line, as before, and one made again serves again. */
    ASSERT_TRUE(removeTree(dirs.log));
    EXPECT_EQ(ruxoLog(0, 1, "lost"), -1);
    ASSERT_EQ(mkdir(dirs.log.c_str(), 0755), 0);
    EXPECT_EQ(ruxoLog(0, 0, "back\n"), 0);
    EXPECT_EQ(readFile(cur), "back\n");
}

/* Rotation with the log kept open: the size that decides is the file's own (also when it grew from
 * outside), and a rotated file never gets another line. */
TEST_F(Engine, RotationLeavesTheKeptLogBehind)
{
    ASSERT_EQ(init(), 0);
    const std::string cur = dirs.channelLog(0), first = dirs.log + "/ruxo_001-1.log";
    std::string big(5000000, 'a');
    ASSERT_EQ(ruxoLog(0, 0, big.c_str()), 0);
    ASSERT_EQ(ruxoLog(0, 0, "b"), 0); /* exactly 5,000,000 before it: appended */
    EXPECT_FALSE(ruxotest::exists(first));
    ASSERT_EQ(ruxoLog(0, 0, "c"), 0); /* 5,000,001: rotated first */
    ASSERT_EQ(ruxoLog(0, 0, "d"), 0);
    EXPECT_EQ(readFile(cur), "cd");
    EXPECT_EQ(ruxotest::fileSize(first), 5000001);

    /* Grown past the limit from outside: the next line still rotates it. */
    {
        int fd = open(cur.c_str(), O_WRONLY | O_APPEND);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(write(fd, big.data(), big.size()), (ssize_t)big.size());
        close(fd);
    }
    ASSERT_EQ(ruxoLog(0, 1, "e"), 0);
    EXPECT_EQ(ruxotest::fileSize(dirs.log + "/ruxo_001-2.log"), 5000002);
    EXPECT_NE(readFile(cur).find("] e\n"), std::string::npos);
    EXPECT_EQ(ruxotest::fileSize(first), 5000001);

    /* Rotated by a direct call while open: the next line goes to a fresh current log. */
    EXPECT_EQ(cleanLogFiles(0), 0);
    ASSERT_EQ(ruxoLog(0, 0, "f"), 0);
    EXPECT_EQ(readFile(cur), "f");
    EXPECT_NE(readFile(dirs.log + "/ruxo_001-3.log").find("] e\n"), std::string::npos);
}

TEST_F(Engine, ConcurrentWritersAndRotationKeepLinesWhole)
{
    ASSERT_EQ(init(), 0);
    const int kThreads = 4, kLines = 600;
    const size_t kLen = 2500; /* 6,000,000 bytes in all: one rotation on the way */
    std::vector<std::thread> ts;
    for (int t = 0; t < kThreads; ++t)
        ts.emplace_back([t, kLen] {
            for (int k = 0; k < kLines; ++k) {
                std::string line = "t" + std::to_string(t) + "-" + std::to_string(k) + "-";
                line.resize(kLen - 1, 'x');
                line += '\n';
                ruxoLog(0, 0, line.c_str());
            }
        });
    for (auto& t : ts)
        t.join();
    EXPECT_FALSE(ruxotest::exists(dirs.log + "/ruxo_001-2.log"));
    std::string all = readFile(dirs.log + "/ruxo_001-1.log") + log0();
    ASSERT_EQ(all.size(), kThreads * kLines * kLen);
    std::istringstream in(all);
    std::string line;
    int n = 0;
    while (std::getline(in, line)) {
        ++n;
        ASSERT_EQ(line.size(), kLen - 1) << n;
        ASSERT_EQ(line[0], 't');
        ASSERT_EQ(line.back(), 'x');
    }
    EXPECT_EQ(n, kThreads * kLines);
}

/* ---- progress filter and fatal texts ----------------------------------------------------------- */

TEST_F(Engine, ProgressParsing)
{
    ASSERT_EQ(init(), 0);
    struct Case {
        const char* chunk;
        int sec, fps, kbps; /* expected after the chunk, starting from -1/-1/-1 */
    } cases[] = {
        {"frame=  50 fps= 25 q=28.0 size= 256kB time=00:01:02.50 bitrate= 134.2kbits/s speed=1x\r", 62, 25, 134},
        {"frame=  50 fps= 25 q=28.0 size= 256kB bitrate= 134.2kbits/s\r", -1, -1, -1}, /* no time */
        {"frame=  25 fps=0.0 q=-1.0 size=N/A time=N/A bitrate=N/A speed=N/A\r", -1, 0, -1},
        {" time=01:00:00.00 fps=30", 3600, 30, -1},
        {" time=10:20:30 bitrate=99", 37230, -1, 99},
        {" time=12:34 fps=5", -1, 5, -1},        /* two numbers only */
        {"xtime=00:00:09.00 fps=7", -1, -1, -1}, /* " time=" needs its blank */
        {" time=00:00:05\n fps= 12 bitrate=3000.0kbits/s", 5, 12, 3000},
        {" time=99999999:00:00.00", 2147483647, -1, -1}, /* clamped, no overflow */
    };
    for (const Case& c : cases) {
        RUXO_PROC_CTX& s = g_procChannels[2];
        s.nStreamingSec = s.nFPS = s.nBitrate = -1;
        std::string chunk = c.chunk;
        _ruxoLogFilter(2, &chunk[0]);
        EXPECT_EQ(ruxoGetStreamTime(2), c.sec) << c.chunk;
        EXPECT_EQ(ruxoGetStreamFPS(2), c.fps) << c.chunk;
        EXPECT_EQ(ruxoGetStreamBitrate(2), c.kbps) << c.chunk;
    }
    /* Every chunk went to the log raw and counted as a sign of life. */
    std::string log = readFile(dirs.channelLog(2));
    EXPECT_EQ(log.find("frame=  50 fps= 25 q=28.0 size= 256kB time=00:01:02.50"), 0u);
    EXPECT_GT(g_procChannels[2].tmAlive, 0);
}

TEST_F(Engine, FatalTextsStopGracefully)
{
    ASSERT_EQ(init(), 0);
    struct Case {
        const char* chunk;
        size_t stops;
    } cases[] = {
        {"[aac] Number of bands (63) exceeds limit (40).\n", 1},
        {"[aac] channel element 0.0 is not allocated\n", 1},
        {"[mpegts] Queue input is backward in time\n", 1},
        {"[aac] channel element 1.0 is not allocated\n[mpegts] Queue input is backward in time\n", 2},
        {"frame= 1 fps= 25 time=00:00:01.00\r", 0},
    };
    for (const Case& c : cases) {
        ASSERT_EQ(system(("rm -f '" + dirs.channelLog(0) + "'").c_str()), 0);
        g_procChannels[0].state = RUXO_STATE_RUNNING; /* no child: pid 0 is never signalled */
        g_procChannels[0].pid = 0;
        std::string chunk = c.chunk;
        _ruxoPollCallback(reinterpret_cast<void*>(0), &chunk[0]);
        EXPECT_EQ(countOf(log0(), "] stop transcoding\n"), c.stops) << c.chunk;
        EXPECT_EQ(ruxoGetState(0), c.stops ? RUXO_STATE_STOPPING : RUXO_STATE_RUNNING) << c.chunk;
    }
}

TEST_F(Engine, AppCallbackSeesEveryChunk)
{
    static std::vector<std::pair<intptr_t, std::string>> seen;
    ASSERT_EQ(init(), 0);
    ruxoSetAppCallback([](void* ctx, char* sz) { seen.emplace_back((intptr_t)ctx, sz); });
    std::string a = "hello", b = " time=00:00:01.00";
    _ruxoLogFilter(5, &a[0]);
    _ruxoLogFilter(7, &b[0]);
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0], std::make_pair((intptr_t)5, std::string("hello")));
    EXPECT_EQ(seen[1].first, 7);
    ruxoSetAppCallback(nullptr);
}

/* ---- processor load ---------------------------------------------------------------------------- */

namespace {

/* A "/proc/stat" text: the summary line, then one line per entry (processor, 8 counters). */
std::string procStat(const std::vector<std::pair<int, std::vector<unsigned long long>>>& cpus)
{
    std::string s = "cpu  1 2 3 4 5 6 7 8 0 0\n";
    for (auto& c : cpus) {
        s += "cpu" + std::to_string(c.first);
        for (unsigned long long v : c.second)
            s += " " + std::to_string(v);
        s += " 0 0\n";
    }
    s += "intr 12345 0 0 0\nctxt 999\nbtime 1700000000\nprocs_running 2\n";
    return s;
}

}  // namespace

class CpuLoad : public Engine {
protected:
    std::string statFile;
    void SetUp() override
    {
        Engine::SetUp();
        ASSERT_EQ(init(), 0);
        statFile = dirs.root + "/stat";
        _ruxoSetProcStatPath(statFile.c_str());
        g_fakeNow = 1000;
        _ruxoSetClock(fakeClock);
    }
    void sample(const std::string& text)
    {
        ASSERT_TRUE(writeFile(statFile, text));
        ++g_fakeNow;
        collectCpuUsage();
    }
};

TEST_F(CpuLoad, TwoSamplesGiveThePercentage)
{
    g_cfg.nCPUs = 2;
    /* user nice system idle iowait irq softirq steal */
    sample(procStat({{0, {100, 0, 100, 700, 100, 0, 0, 0}}, {1, {10, 10, 10, 10, 10, 10, 10, 10}}}));
    EXPECT_EQ(ruxoGetCpuLoad(0), 0); /* the first sample only primes the counters */
    sample(procStat({{0, {130, 0, 120, 740, 110, 0, 0, 0}}, {1, {20, 10, 10, 10, 10, 10, 10, 10}}}));
    EXPECT_EQ(ruxoGetCpuLoad(0), 50); /* busy +50 of total +100 */
    EXPECT_EQ(ruxoGetCpuLoad(1), 100);
    EXPECT_EQ(ruxoGetCpuLoad(2), 0); /* beyond nCPUs */
    EXPECT_EQ(ruxoGetCpuLoad(-1), 0);

    /* Within the same second nothing is sampled. */
    ASSERT_TRUE(writeFile(statFile, procStat({{0, {1000, 0, 120, 740, 110, 0, 0, 0}}})));
    collectCpuUsage();
    EXPECT_EQ(ruxoGetCpuLoad(0), 50);

    /* Unchanged totals keep the value; an unreadable file keeps every value. */
    sample(procStat({{0, {130, 0, 120, 740, 110, 0, 0, 0}}}));
    EXPECT_EQ(ruxoGetCpuLoad(0), 50);
    unlink(statFile.c_str());
    ++g_fakeNow;
    collectCpuUsage();
    EXPECT_EQ(ruxoGetCpuLoad(0), 50);
}

TEST_F(CpuLoad, WholeFileAndWholeNames)
{
    g_cfg.nCPUs = 64;
    std::vector<std::pair<int, std::vector<unsigned long long>>> a, b;
    for (int k = 0; k < 64; ++k) {
        if (k == 1)
            continue; /* processor 1 offline: "cpu1" must not match the "cpu10" line */
        a.push_back({k, {1000000000ull, 0, 0, 1000000000ull, 0, 0, 0, 0}});
        b.push_back({k, {1000000000ull + (unsigned)k, 0, 0, 1000000000ull + 100 - (unsigned)k, 0, 0, 0, 0}});
    }
    ASSERT_GT(procStat(a).find("cpu63 "), 2047u);
    sample(procStat(a));
    sample(procStat(b));
    EXPECT_EQ(ruxoGetCpuLoad(1), 0);
    EXPECT_EQ(g_cfg.cpuUsage[1].last_total, 0u);
    EXPECT_EQ(ruxoGetCpuLoad(10), 10);
    EXPECT_EQ(ruxoGetCpuLoad(47), 47);
    EXPECT_EQ(ruxoGetCpuLoad(63), 63); /* far past the first 2047 bytes */
}

TEST_F(CpuLoad, ClampsAndBoundsAndShortLines)
{
    g_cfg.nCPUs = 100; /* more than the 64 entries */
    std::vector<std::pair<int, std::vector<unsigned long long>>> a, b;
    for (int k = 0; k < 100; ++k) {
        a.push_back({k, {50, 0, 0, 50, 0, 0, 0, 0}});
        b.push_back({k, {60, 0, 0, 60, 0, 0, 0, 0}});
    }
    /* Processor 2: busy grew more than the total (counters out of step): at most 100. Processor 3:
     * the busy counter went back: at least 0. Processor 4: 64-bit counters past 2^32. */
    a[2].second = {10, 0, 0, 100, 0, 0, 0, 0};
    b[2].second = {40, 0, 0, 71, 0, 0, 0, 0};
    a[3].second = {100, 0, 0, 100, 0, 0, 0, 0};
    b[3].second = {90, 0, 0, 200, 0, 0, 0, 0};
    a[4].second = {0xFFFFFFF0ull, 0, 0, 0x1FFFFFFF0ull, 0, 0, 0, 0};
    b[4].second = {0x100000010ull, 0, 0, 0x200000010ull, 0, 0, 0, 0};
    sample(procStat(a));
    std::string second = procStat(b);
    /* Processor 5 with only seven counters is skipped. */
    size_t p = second.find("cpu5 ");
    second.replace(p, second.find('\n', p) - p, "cpu5 1 2 3 4 5 6 7");
    sample(second);
    EXPECT_EQ(ruxoGetCpuLoad(0), 50);
    EXPECT_EQ(ruxoGetCpuLoad(2), 100);
    EXPECT_EQ(ruxoGetCpuLoad(3), 0);
    EXPECT_EQ(ruxoGetCpuLoad(4), 50);
    EXPECT_EQ(ruxoGetCpuLoad(5), 0);
    EXPECT_EQ(g_cfg.cpuUsage[5].last_total, 100u); /* kept from the first sample */
    EXPECT_EQ(ruxoGetCpuLoad(63), 50);
    EXPECT_EQ(ruxoGetCpuLoad(64), 0);
}

TEST_F(Engine, RealProcStatIsSampled)
{
    ASSERT_EQ(init(), 0);
    g_fakeNow = 5000;
    _ruxoSetClock(fakeClock);
    collectCpuUsage();
    EXPECT_NE(g_cfg.cpuUsage[0].last_total, 0u);
    for (int k = 0; k < RUXO_MAX_CPUS; ++k) {
        EXPECT_GE(ruxoGetCpuLoad(k), 0);
        EXPECT_LE(ruxoGetCpuLoad(k), 100);
    }
}

/* The hang rule's clock is the monotonic one (plus one, so that it never reads 0): a step of the
 * wall clock must not make every child look silent. */
TEST(EngineClock, DefaultsToTheMonotonicClock)
{
    _ruxoSetClock(nullptr);
    struct timespec a, b;
    clock_gettime(CLOCK_MONOTONIC, &a);
    time_t now = _ruxoNow();
    clock_gettime(CLOCK_MONOTONIC, &b);
    EXPECT_GE(now, a.tv_sec + 1);
    EXPECT_LE(now, b.tv_sec + 1);
    _ruxoSetClock(fakeClock);
    g_fakeNow = 4242;
    EXPECT_EQ(_ruxoNow(), 4242);
    _ruxoSetClock(nullptr);
}

/* ---- CPU sets and pipe writers ----------------------------------------------------------------- */

TEST(CpuSet, SlotRanges)
{
    struct Case {
        int slot, perChannel, cpus;
        std::vector<int> bits;
    } cases[] = {
        {0, 2, 8, {0, 1}},
        {3, 2, 8, {6, 7}},
        {4, 2, 8, {0, 1}},
        {1, 4, 6, {4, 5, 6, 7}}, /* no wrap at nCPUs */
        {5, 0, 8, {}},
        {5, -3, 8, {}},
        {7, 3, 0, {0, 1, 2}}, /* a processor count below 1 counts as 1 */
        {7, 3, -4, {0, 1, 2}},
        {1, 1022, 2048, {1022, 1023}}, /* bits above 1023 skipped */
        {127, 0x7fffffff, 1000, {}},   /* computed in 64 bits */
    };
    for (const Case& c : cases) {
        cpu_set_t set;
        int n = _ruxoCpuSetForSlot(c.slot, c.perChannel, c.cpus, &set);
        std::vector<int> got;
        for (int b = 0; b < 1024; ++b)
            if (CPU_ISSET(b, &set))
                got.push_back(b);
        if (c.slot == 127) {
            /* 127 * 0x7fffffff mod 1000 = 873: bits 873..1023 */
            EXPECT_EQ(got.front(), (int)((127LL * 0x7fffffff) % 1000));
            EXPECT_EQ(got.back(), 1023);
            EXPECT_EQ(n, (int)got.size());
            continue;
        }
        EXPECT_EQ(got, c.bits) << c.slot << "/" << c.perChannel << "/" << c.cpus;
        EXPECT_EQ(n, (int)c.bits.size());
    }
}

TEST(PipeWriters, WriteWhatTheyAreGiven)
{
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    EXPECT_EQ(pipeWrite(p[1], "abc", 2), 2u);
    EXPECT_EQ(pipeWriteStr(p[1], "de"), 2u);
    EXPECT_EQ(pipePrintf(p[1], "-v %d ", 3), 5u);
    std::string long999(999, 'x');
    EXPECT_EQ(pipePrintf(p[1], "%s", long999.c_str()), 999u);
    errno = 0;
    EXPECT_EQ(pipePrintf(p[1], "%s!", long999.c_str()), (size_t)-1); /* 1000: refused, not cut */
    EXPECT_EQ(errno, EMSGSIZE);
    close(p[1]);
    std::string got;
    char buf[512];
    ssize_t r;
    while ((r = read(p[0], buf, sizeof buf)) > 0)
        got.append(buf, (size_t)r);
    close(p[0]);
    EXPECT_EQ(got, "abde-v 3 " + long999);

    RUXO_PIPE fds[2];
    ASSERT_EQ(pipe(fds), 0);
    _ruxoFreePipe(fds);
    EXPECT_EQ(fds[0], 0);
    EXPECT_EQ(fds[1], 0);
    _ruxoFreePipe(fds); /* nothing to close twice */
}
