/* test_transcoder_run.cpp -- the stand-in transcoder "ruxod.so" as the daemon runs it: started
 * without arguments, the token and the line written to its standard input (kept open while it
 * runs), its output collected. Drives the system's real ffmpeg, checks results with ffprobe and
 * fetches served streams with curl, all on the loopback of the shared test main's private network
 * namespace. */
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <sstream>
#include <string>
#include <vector>

#include "ruxo_curl.h"
#include "ruxo_test_env.h"
#include "transcoder_wait.h"

extern char** environ;

namespace {

const char* g_szTranscoder = RUXO_TRANSCODER_PATH;

using ruxotest::childrenOf;
using ruxotest::countOf;
using ruxotest::fileSize;
using ruxotest::processName;
using ruxotest::readFile;
using ruxotest::TempDir;
using ruxotest::waitUntil;

void sleepMs(int nMs)
{
    struct timespec ts = {nMs / 1000, (long)(nMs % 1000) * 1000000L};
    nanosleep(&ts, nullptr);
}

/* A child process with its standard output and error in one log file. */
struct Child {
    pid_t pid = -1;
    int fdStdin = -1; /* write end of its standard input, or -1 */
};

/* Starts argv[0] (searched in PATH when bPathSearch) with the environment's PATH replaced by
 * pszPath when that is not null. With bPipeStdin the caller gets the write end of its input. */
Child spawn(const std::vector<std::string>& vArgv, const std::string& strLog, bool bPipeStdin,
            const char* pszPath = nullptr, bool bBlockStopSignals = false,
            const std::vector<std::string>& vExtraEnv = {})
{
    Child child;
    int afd[2] = {-1, -1};
    if (bPipeStdin && pipe2(afd, O_CLOEXEC) != 0)
        return child;
    int fdLog = open(strLog.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    int fdNull = open("/dev/null", O_RDONLY | O_CLOEXEC);
    std::vector<char*> vPtrs;
    for (const std::string& str : vArgv)
        vPtrs.push_back(const_cast<char*>(str.c_str()));
    vPtrs.push_back(nullptr);
    std::vector<std::string> vEnv;
    for (char** p = environ; *p; p++)
        if (!pszPath || strncmp(*p, "PATH=", 5) != 0)
            vEnv.push_back(*p);
    if (pszPath)
        vEnv.push_back(std::string("PATH=") + pszPath);
    vEnv.insert(vEnv.end(), vExtraEnv.begin(), vExtraEnv.end());
    std::vector<char*> vEnvPtrs;
    for (const std::string& str : vEnv)
        vEnvPtrs.push_back(const_cast<char*>(str.c_str()));
    vEnvPtrs.push_back(nullptr);

    pid_t pid = fork();
    if (pid == 0) {
        if (bBlockStopSignals) {
            sigset_t set;
            sigemptyset(&set);
            sigaddset(&set, SIGINT);
            sigaddset(&set, SIGTERM);
            sigprocmask(SIG_BLOCK, &set, nullptr);
            signal(SIGINT, SIG_IGN);
        }
        dup2(bPipeStdin ? afd[0] : fdNull, STDIN_FILENO);
        dup2(fdLog, STDOUT_FILENO);
        dup2(fdLog, STDERR_FILENO);
        if (pszPath)
            execve(vPtrs[0], vPtrs.data(), vEnvPtrs.data());
        else
            execvp(vPtrs[0], vPtrs.data());
        _exit(125);
    }
    if (fdLog >= 0)
        close(fdLog);
    if (fdNull >= 0)
        close(fdNull);
    if (bPipeStdin) {
        close(afd[0]);
        if (pid > 0)
            child.fdStdin = afd[1];
        else
            close(afd[1]);
    }
    child.pid = pid;
    return child;
}

/* Waits up to nSeconds for pid; kills it on timeout. Returns the wait status, or -1. */
int waitFor(pid_t pid, int nSeconds)
{
    for (int i = 0; i < nSeconds * 50; i++) {
        int nStatus = 0;
        pid_t r = waitpid(pid, &nStatus, WNOHANG);
        if (r == pid)
            return nStatus;
        if (r < 0)
            return -1;
        sleepMs(20);
    }
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    return -1;
}

/* Runs a helper program to its end and returns its wait status (-1 on timeout). */
int run(const std::vector<std::string>& vArgv, const std::string& strLog, int nSeconds = 30)
{
    Child child = spawn(vArgv, strLog, false);
    if (child.pid < 0)
        return -1;
    return waitFor(child.pid, nSeconds);
}

bool writeAll(int fd, const std::string& strData)
{
    size_t nDone = 0;
    while (nDone < strData.size()) {
        ssize_t n = write(fd, strData.data() + nDone, strData.size() - nDone);
        if (n <= 0)
            return false;
        nDone += (size_t)n;
    }
    return true;
}

/* Starts the transcoder as the engine does and writes it the token, the line and a newline. The
 * input stays open until the caller closes child.fdStdin. It starts with SIGINT and SIGTERM blocked
 * and SIGINT ignored, as a child forked from a thread that blocks them would: the stop signals must
 * reach ffmpeg all the same. */
Child startTranscoder(const std::string& strLine, const std::string& strLog,
                      const std::vector<std::string>& vExtraEnv = {})
{
    Child child = spawn({g_szTranscoder}, strLog, true, getenv("PATH"), true, vExtraEnv);
    if (child.pid > 0)
        writeAll(child.fdStdin, "quBra_6093 " + strLine + "\n");
    return child;
}

/* Output of ffprobe for the first stream of a kind ("v" or "a") of a file. */
std::string probe(const TempDir& dir, const std::string& strFile, const char* szStream, const char* szEntries)
{
    std::string strOut = dir.file(std::string("probe-") + szStream + ".txt");
    unlink(strOut.c_str());
    int nStatus = run({"ffprobe", "-v", "error", "-select_streams", std::string(szStream) + ":0", "-show_entries",
                       szEntries, "-of", "default=noprint_wrappers=1", strFile},
                      strOut);
    EXPECT_EQ(nStatus, 0) << readFile(strOut);
    return readFile(strOut);
}

/* Every "key=value" of vWanted is in ffprobe's output strProbe. */
void expectProbed(const std::string& strProbe, const std::vector<std::string>& vWanted)
{
    for (const std::string& strWanted : vWanted)
        EXPECT_NE(strProbe.find(strWanted), std::string::npos) << strWanted << " in:\n" << strProbe;
}

/* Whether something listens on 127.0.0.1:nPort, read from /proc/net/tcp so that no connection is
 * made: a server started with "-listen 1" takes the first connection as its one client. */
bool isListening(int nPort)
{
    std::istringstream in(readFile("/proc/net/tcp"));
    std::string strLine;
    char szWant[32];
    snprintf(szWant, sizeof(szWant), "0100007F:%04X", nPort);
    while (std::getline(in, strLine)) {
        std::istringstream ss(strLine);
        std::string strSlot, strLocal, strRemote, strState;
        ss >> strSlot >> strLocal >> strRemote >> strState;
        if (strLocal == szWant && strState == "0A")
            return true;
    }
    return false;
}

bool waitListening(int nPort, int nSeconds)
{
    for (int i = 0; i < nSeconds * 50; i++) {
        if (isListening(nPort))
            return true;
        sleepMs(20);
    }
    return false;
}

std::string procCmdline(pid_t pid)
{
    std::string str = readFile("/proc/" + std::to_string(pid) + "/cmdline");
    for (char& c : str)
        if (c == '\0')
            c = ' ';
    return str;
}

/* The client-wait watcher among the children of the transcoder's pid, or -1. */
pid_t watcherOf(pid_t pidTranscoder)
{
    for (pid_t pid : childrenOf(pidTranscoder))
        if (processName(pid) == "ruxod.so-wait")
            return pid;
    return -1;
}

/* Makes this test process the reaper of its orphaned descendants while it lives, so that a
 * watcher left behind when the transcoder's ffmpeg ends comes back to it and can be waited for. */
class SubreaperScope {
public:
    SubreaperScope() { m_bOn = prctl(PR_SET_CHILD_SUBREAPER, 1) == 0; }
    ~SubreaperScope()
    {
        if (m_bOn)
            prctl(PR_SET_CHILD_SUBREAPER, 0);
    }
    bool on() const { return m_bOn; }

private:
    bool m_bOn = false;
};

/* Waits up to nMs for a process re-parented to us to end; its wait status, or -1 when it was
 * still there (it is then killed, so that a failing test leaves nothing behind). */
int reapOrphan(pid_t pid, int nMs)
{
    int nStatus = 0;
    for (int i = 0; i < nMs / 20; i++) {
        pid_t r = waitpid(pid, &nStatus, WNOHANG);
        if (r == pid)
            return nStatus;
        sleepMs(20);
    }
    if (kill(pid, SIGKILL) == 0)
        waitpid(pid, nullptr, 0);
    return -1;
}

const char* g_szNoticeEnv = "RUXO_TC_WAIT_NOTICE_SECS=1"; /* a notice every second instead of 10 */

class TranscoderRun : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_dir.ok());
        signal(SIGPIPE, SIG_IGN);
    }
    /* A failed assertion leaves no process behind: whatever was started and not reaped is killed. */
    void TearDown() override
    {
        for (pid_t pid : m_vPids) {
            if (waitpid(pid, nullptr, WNOHANG) == 0) {
                kill(pid, SIGKILL);
                waitpid(pid, nullptr, 0);
            }
        }
    }
    pid_t track(pid_t pid)
    {
        if (pid > 0)
            m_vPids.push_back(pid);
        return pid;
    }
    /* A 2 s test clip with H.264 video (320x240, 25 fps) and AAC audio. */
    std::string makeClip()
    {
        std::string strClip = m_dir.file("clip.mp4");
        std::string strLog = m_dir.file("clip.log");
        int nStatus = run(
            {"ffmpeg",  "-nostdin",  "-v",       "error",   "-f",   "lavfi", "-i",   "testsrc=size=320x240:rate=25",
             "-f",      "lavfi",     "-i",       "sine",    "-t",   "2",     "-c:v", "libx264",
             "-preset", "ultrafast", "-pix_fmt", "yuv420p", "-c:a", "aac",   "-y",   strClip},
            strLog);
        EXPECT_EQ(nStatus, 0) << readFile(strLog);
        return strClip;
    }
    TempDir m_dir{"transcoder"};
    std::vector<pid_t> m_vPids;
};

TEST_F(TranscoderRun, TranscodesAClipToAFile)
{
    std::string strClip = makeClip();
    std::string strOut = m_dir.file("out file.ts"); /* a blank in the name: quoting reaches ffmpeg */
    std::string strLog = m_dir.file("transcoder.log");
    std::string strLine = "-v 32 -i \"" + strClip +
                          "\" -c:a aac -ac 1 -ar 44100 -b:a 64k -c:v libx264 -crf 23 -s 160x120 -r 15 -g 30 "
                          "-sc_threshold 0 -metadata service_name='My TV' -pix_fmt yuv420p -preset:v faster -y \"" +
                          strOut + "\" ";
    Child child = startTranscoder(strLine, strLog);
    ASSERT_GT(track(child.pid), 0);
    int nStatus = waitFor(child.pid, 30); /* the input stays open throughout, as the engine keeps it */
    close(child.fdStdin);
    ASSERT_TRUE(WIFEXITED(nStatus)) << nStatus << readFile(strLog);
    ASSERT_EQ(WEXITSTATUS(nStatus), 0) << readFile(strLog);
    EXPECT_NE(readFile(strLog).find(" time="), std::string::npos); /* progress for the engine */

    expectProbed(probe(m_dir, strOut, "v", "stream=codec_name,width,height,r_frame_rate"),
                 {"codec_name=h264", "width=160", "height=120", "r_frame_rate=15/1"});
    expectProbed(probe(m_dir, strOut, "a", "stream=codec_name,channels:program_tags=service_name"),
                 {"codec_name=aac", "channels=1", "service_name=My TV"});
}

/* A live MPEG-TS served over HTTP: fetched by curl while it runs, then ended with SIGINT. The
 * transcoder's pid is ffmpeg itself, so the signal and the wait status are ffmpeg's. */
TEST_F(TranscoderRun, ServesMpegTsOverHttpUntilSigint)
{
    int nPort = freePort();
    ASSERT_GT(nPort, 0);
    std::string strUrl = "http://127.0.0.1:" + std::to_string(nPort) + "/1.ts";
    std::string strLog = m_dir.file("transcoder.log");
    std::string strLine =
        "-v 32 -re -f lavfi -i testsrc=size=320x240:rate=25 -f lavfi -i sine -c:a aac -ac 2 "
        "-c:v libx264 -crf 23 -g 25 -sc_threshold 0 -pix_fmt yuv420p -preset:v faster "
        "-c:s copy -f mpegts " +
        strUrl + " ";
    Child child = startTranscoder(strLine, strLog);
    ASSERT_GT(track(child.pid), 0);
    ASSERT_TRUE(waitListening(nPort, 30)) << readFile(strLog);

    std::string strCmd = procCmdline(child.pid);
    EXPECT_EQ(strCmd.rfind("ffmpeg -nostdin -v 32 ", 0), 0u) << strCmd;
    EXPECT_NE(strCmd.find("-f mpegts -listen 1 " + strUrl), std::string::npos) << strCmd;

    std::string strFetched = m_dir.file("fetched.ts");
    Child curl = spawn({"curl", "-s", "--max-time", "15", "-o", strFetched, strUrl}, m_dir.file("curl.log"), false);
    ASSERT_GT(track(curl.pid), 0);
    /* About 2 s of stream. */
    EXPECT_TRUE(waitUntil([&]() { return fileSize(strFetched) >= 100000; }, 30000)) << fileSize(strFetched);

    ASSERT_EQ(kill(child.pid, SIGINT), 0);
    int nStatus = waitFor(child.pid, 20);
    close(child.fdStdin);
    int nCurl = waitFor(curl.pid, 15);
    ASSERT_NE(nStatus, -1) << "transcoder did not end on SIGINT";
    /* ffmpeg ends a run interrupted by a signal with exit status 255. */
    ASSERT_TRUE(WIFEXITED(nStatus)) << nStatus;
    EXPECT_EQ(WEXITSTATUS(nStatus), 255);
    EXPECT_NE(readFile(strLog).find("received signal 2"), std::string::npos) << readFile(strLog);
    EXPECT_TRUE(nCurl != -1 && WIFEXITED(nCurl)) << readFile(m_dir.file("curl.log"));

    expectProbed(probe(m_dir, strFetched, "v", "stream=codec_name,width,height,r_frame_rate"),
                 {"codec_name=h264", "width=320", "height=240", "r_frame_rate=25/1"});
    expectProbed(probe(m_dir, strFetched, "a", "stream=codec_name"), {"codec_name=aac"});
}

/* The preview's form over HTTPS: the certificate and key reach ffmpeg through the pair of options
 * the engine writes for them, and curl fetches the fragmented MP4 over TLS. */
TEST_F(TranscoderRun, ServesMp4OverHttpsWithCertificate)
{
    std::string strCert = m_dir.file("cert.pem"), strKey = m_dir.file("key.pem");
    int nStatus = run({"openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes",
                       "-keyout", strKey, "-out", strCert, "-days", "1", "-subj", "/CN=127.0.0.1"},
                      m_dir.file("openssl.log"));
    ASSERT_EQ(nStatus, 0) << readFile(m_dir.file("openssl.log"));

    int nPort = freePort();
    ASSERT_GT(nPort, 0);
    std::string strUrl = "https://127.0.0.1:" + std::to_string(nPort) + "/1.mp4";
    std::string strLog = m_dir.file("transcoder.log");
    std::string strLine =
        "-v 32 -f lavfi -i testsrc=size=320x240:rate=25 -f lavfi -i sine -t 2 -c:a aac "
        "-c:v libx264 -crf 23 -s 160x120 -g 5 -sc_threshold 0 -user_agent \"" +
        strCert + "\" -referer \"" + strKey + "\" -pix_fmt yuv420p -preset:v faster -movflags dash -f mp4 " + strUrl +
        " ";
    Child child = startTranscoder(strLine, strLog);
    ASSERT_GT(track(child.pid), 0);
    ASSERT_TRUE(waitListening(nPort, 30)) << readFile(strLog);

    std::string strFetched = m_dir.file("fetched.mp4");
    nStatus = run({"curl", "-s", "-k", "--max-time", "20", "-o", strFetched, strUrl}, m_dir.file("curl.log"), 25);
    EXPECT_EQ(nStatus, 0) << readFile(m_dir.file("curl.log"));
    nStatus = waitFor(child.pid, 20);
    close(child.fdStdin);
    ASSERT_TRUE(nStatus != -1 && WIFEXITED(nStatus)) << nStatus;
    EXPECT_EQ(WEXITSTATUS(nStatus), 0) << readFile(strLog);

    expectProbed(probe(m_dir, strFetched, "v", "stream=codec_name,width,height"),
                 {"codec_name=h264", "width=160", "height=120"});
}

/* Inputs the transcoder refuses itself, each with its message and a non-zero exit status. */
TEST_F(TranscoderRun, RefusesBadInputWithMessage)
{
    struct Bad {
        const char* szName;
        std::string strInput; /* written raw; the input is then closed */
        const char* pszPath;  /* PATH for the transcoder; null keeps the test's */
        int nExit;
        const char* szMessage;
    };
    std::string strEmptyDir = m_dir.file("empty");
    ASSERT_EQ(mkdir(strEmptyDir.c_str(), 0755), 0);
    const std::vector<Bad> vBad = {
        {"wrong_token", "quBra_6094 -i a -y b.ts\n", nullptr, 1,
         "ruxod.so: the input does not begin with the access token"},
        {"no_newline", "quBra_6093 -i a -y b.ts", nullptr, 1, "ruxod.so: standard input ended"},
        {"open_quote", "quBra_6093 -i \"a -y b.ts\n", nullptr, 1, "ruxod.so: command line has an unterminated"},
        {"no_ffmpeg", "quBra_6093 -version\n", strEmptyDir.c_str(), 127, "ruxod.so: ffmpeg not found in PATH"},
    };
    for (const Bad& bad : vBad) {
        std::string strLog = m_dir.file(std::string(bad.szName) + ".log");
        Child child = spawn({g_szTranscoder}, strLog, true, bad.pszPath ? bad.pszPath : getenv("PATH"));
        ASSERT_GT(child.pid, 0);
        writeAll(child.fdStdin, bad.strInput);
        close(child.fdStdin);
        int nStatus = waitFor(child.pid, 20);
        ASSERT_TRUE(nStatus != -1 && WIFEXITED(nStatus)) << bad.szName;
        EXPECT_EQ(WEXITSTATUS(nStatus), bad.nExit) << bad.szName;
        EXPECT_NE(readFile(strLog).find(bad.szMessage), std::string::npos) << bad.szName << ": " << readFile(strLog);
    }
}

/* A served output waiting for its first client: ffmpeg itself is silent there, so the watcher
 * prints the notice regularly (the engine would otherwise take the silence for a hang); once a
 * client is served the notices stop, and when ffmpeg ends the watcher ends with it. */
TEST_F(TranscoderRun, ServedOutputNoticesWhileWaitingForClient)
{
    SubreaperScope reaper;
    ASSERT_TRUE(reaper.on());
    int nPort = freePort();
    ASSERT_GT(nPort, 0);
    std::string strUrl = "http://127.0.0.1:" + std::to_string(nPort) + "/1.ts";
    std::string strNotice = "ruxod.so: waiting for a client on " + strUrl + "\n";
    std::string strLog = m_dir.file("transcoder.log");
    std::string strLine =
        "-v 32 -re -f lavfi -i testsrc=size=160x120:rate=25 -c:v libx264 -preset:v ultrafast "
        "-g 25 -pix_fmt yuv420p -f mpegts " +
        strUrl + " ";
    Child child = startTranscoder(strLine, strLog, {g_szNoticeEnv});
    ASSERT_GT(track(child.pid), 0);
    ASSERT_TRUE(waitListening(nPort, 30)) << readFile(strLog);
    pid_t pidWatcher = -1;
    ASSERT_TRUE(waitUntil([&]() { return (pidWatcher = watcherOf(child.pid)) > 0; }, 10000));
    EXPECT_TRUE(waitUntil([&]() { return countOf(readFile(strLog), strNotice) >= 2; }, 20000)) << readFile(strLog);

    /* The notices are the only thing written meanwhile and carry nothing the engine acts on. */
    std::string strText = readFile(strLog);
    EXPECT_EQ(strText.find(" time="), std::string::npos) << strText;
    ASSERT_GE(strText.size(), strNotice.size());
    EXPECT_EQ(strText.substr(strText.size() - strNotice.size()), strNotice);

    std::string strFetched = m_dir.file("fetched.ts");
    Child curl = spawn({"curl", "-s", "--max-time", "15", "-o", strFetched, strUrl}, m_dir.file("curl.log"), false);
    ASSERT_GT(track(curl.pid), 0);
    EXPECT_TRUE(waitUntil([&]() { return fileSize(strFetched) >= 20000; }, 30000));
    size_t nNotices = countOf(readFile(strLog), strNotice);
    sleepMs(2500);
    strText = readFile(strLog);
    EXPECT_EQ(countOf(strText, strNotice), nNotices) << strText;
    EXPECT_NE(strText.find(" time="), std::string::npos); /* ffmpeg's own progress took over */
    EXPECT_EQ(watcherOf(child.pid), pidWatcher);          /* silent, not dead: ffmpeg still runs */

    ASSERT_EQ(kill(child.pid, SIGINT), 0);
    int nStatus = waitFor(child.pid, 20);
    close(child.fdStdin);
    ASSERT_TRUE(nStatus != -1 && WIFEXITED(nStatus)) << nStatus;
    EXPECT_EQ(WEXITSTATUS(nStatus), 255);
    /* Orphaned by ffmpeg's end, the watcher came to us, its subreaper, and ended at once. */
    EXPECT_NE(reapOrphan(pidWatcher, 3000), -1) << "the watcher outlived ffmpeg";
    EXPECT_NE(access(("/proc/" + std::to_string(pidWatcher)).c_str(), F_OK), 0);
    waitFor(curl.pid, 15);
}

/* A real hang stays silent, so the engine's rule still catches it: ffmpeg stuck before it listens
 * (its input, a named pipe nobody writes, never opens) has a watcher that prints nothing, and so
 * does a line without a served output. The engine's kill ends the watcher too. */
TEST_F(TranscoderRun, HangsStaySilent)
{
    SubreaperScope reaper;
    ASSERT_TRUE(reaper.on());
    int nPort = freePort();
    ASSERT_GT(nPort, 0);
    struct Case {
        const char* szName;
        std::string strOutput;
        Child child;
        pid_t pidWatcher;
    };
    std::vector<Case> vCases = {
        {"served", "-f mpegts http://127.0.0.1:" + std::to_string(nPort) + "/h.ts", {}, -1},
        {"file", "-y \"" + m_dir.file("out.ts") + "\"", {}, -1},
    };
    for (Case& c : vCases) {
        std::string strFifo = m_dir.file(std::string(c.szName) + ".fifo");
        ASSERT_EQ(mkfifo(strFifo.c_str(), 0600), 0);
        std::string strLine = "-v 32 -f mpegts -i \"" + strFifo + "\" -c copy " + c.strOutput + " ";
        c.child = startTranscoder(strLine, m_dir.file(std::string(c.szName) + ".log"), {g_szNoticeEnv});
        ASSERT_GT(track(c.child.pid), 0) << c.szName;
    }
    for (Case& c : vCases) {
        std::string strLog = m_dir.file(std::string(c.szName) + ".log");
        /* ffmpeg runs (the watcher is forked before the exec) and has printed its banner. */
        ASSERT_TRUE(waitUntil(
            [&]() { return procCmdline(c.child.pid).rfind("ffmpeg ", 0) == 0 && !readFile(strLog).empty(); }, 20000))
            << c.szName;
        EXPECT_TRUE(waitUntil([&]() { return (c.pidWatcher = watcherOf(c.child.pid)) > 0; }, 10000)) << c.szName;
    }
    sleepMs(3000); /* three notice intervals */
    for (Case& c : vCases) {
        std::string strLog = m_dir.file(std::string(c.szName) + ".log");
        EXPECT_EQ(readFile(strLog).find("waiting for a client"), std::string::npos) << c.szName << readFile(strLog);
        ASSERT_EQ(kill(c.child.pid, SIGKILL), 0);
        int nStatus = waitFor(c.child.pid, 20);
        close(c.child.fdStdin);
        EXPECT_TRUE(nStatus != -1 && WIFSIGNALED(nStatus)) << c.szName;
        if (c.pidWatcher > 0) {
            EXPECT_NE(reapOrphan(c.pidWatcher, 3000), -1) << "the watcher outlived ffmpeg";
        }
    }
    EXPECT_FALSE(isListening(nPort));
}

/* The end of the transcoder's input means that the daemon, which holds its write end while the
 * child runs, is gone: the watcher asks ffmpeg to end with SIGINT and kills it when it is still
 * there two seconds later. The second case runs a stand-in "ffmpeg" on PATH that ignores SIGINT. */
TEST_F(TranscoderRun, EndOfInputEndsFfmpeg)
{
    SubreaperScope reaper;
    ASSERT_TRUE(reaper.on());
    std::string strDeaf = m_dir.file("deaf");
    ASSERT_EQ(mkdir(strDeaf.c_str(), 0755), 0);
    /* An ignored signal stays ignored across exec, so sleep is the process that ignores it. */
    ASSERT_TRUE(ruxotest::writeFile(strDeaf + "/ffmpeg", "#!/bin/sh\ntrap '' INT\nexec sleep 600\n"));
    ASSERT_EQ(chmod((strDeaf + "/ffmpeg").c_str(), 0755), 0);
    std::string strDeafPath = strDeaf + ":" + getenv("PATH");

    struct Case {
        const char* szName;
        std::string strPath; /* PATH of the transcoder */
        bool bKilled;        /* ends by SIGKILL rather than by its own exit after SIGINT */
    };
    const std::vector<Case> vCases = {{"ffmpeg", getenv("PATH"), false}, {"deaf to SIGINT", strDeafPath, true}};
    for (const Case& c : vCases) {
        std::string strLog = m_dir.file(std::string("eof-") + (c.bKilled ? "deaf" : "real") + ".log");
        std::string strLine =
            "-v 32 -re -f lavfi -i testsrc=size=160x120:rate=25 -c:v libx264 "
            "-preset:v ultrafast -f mpegts -y \"" +
            m_dir.file("eof.ts") + "\" ";
        Child child = spawn({g_szTranscoder}, strLog, true, c.strPath.c_str(), true);
        ASSERT_GT(track(child.pid), 0) << c.szName;
        ASSERT_TRUE(writeAll(child.fdStdin, "quBra_6093 " + strLine + "\n"));
        pid_t pidWatcher = -1;
        ASSERT_TRUE(waitUntil([&]() { return (pidWatcher = watcherOf(child.pid)) > 0; }, 20000)) << c.szName;
        if (!c.bKilled) {
            ASSERT_TRUE(waitUntil([&]() { return readFile(strLog).find(" time=") != std::string::npos; }, 30000))
                << readFile(strLog);
        }

        long long tmClose = ruxotest::nowMs();
        close(child.fdStdin);
        int nStatus = waitFor(child.pid, 20);
        long long nTook = ruxotest::nowMs() - tmClose;
        ASSERT_NE(nStatus, -1) << c.szName << " outlived the end of its input";
        if (c.bKilled) {
            EXPECT_TRUE(WIFSIGNALED(nStatus) && WTERMSIG(nStatus) == SIGKILL) << c.szName << " " << nStatus;
            EXPECT_GE(nTook, RUXO_TC_STOP_GRACE_SECS * 1000 - 100) << "killed before its grace time";
        } else {
            /* ffmpeg ends a run interrupted by a signal with exit status 255. */
            EXPECT_TRUE(WIFEXITED(nStatus) && WEXITSTATUS(nStatus) == 255) << nStatus << readFile(strLog);
            EXPECT_NE(readFile(strLog).find("received signal 2"), std::string::npos) << readFile(strLog);
        }
        EXPECT_NE(reapOrphan(pidWatcher, 5000), -1) << "the watcher outlived " << c.szName;
    }
}

}  // namespace
