/* ruxod.cpp -- the daemon's entry: single-instance lock, detaching, signals, start-up, the 20 ms
 * supervision loop and the orderly shutdown. The restart timers that the loop and the web server
 * arm are ruxod_timer.cpp.
 *
 * Threads and locks
 * -----------------
 * Three kinds of thread run the daemon's code: the main thread (start-up, supervision loop,
 * shutdown; the only caller of ruxoPoll), short-lived timer threads (ruxod_timer.cpp), and the web
 * server's thread, which calls the restart hook registered at start-up (ruxodTimerRestartCGI).
 *
 *  - The configuration tree, the channel slots and the playlists are shared with the web thread.
 *    The daemon takes none of their locks: each channel's step of a supervision pass, each read of
 *    the tree and each of the shutdown's channel stops is one call of the configuration module or
 *    the channel layer, which holds g_configLock for that call alone, so a configuration posted
 *    during a pass replaces the tree between two channels, never under one. Nothing read from the
 *    tree outlives the call. A channel start is never called under the lock: the start takes it to
 *    make its records and lets it go while the transcoder is made, so no other thread waits for a
 *    child to be made. ruxoPoll needs no tree and guards the slots with the engine's own mutex.
 *  - No lock is held across stopping or starting the web server: stopping joins the web thread,
 *    which may be waiting for the web mutex or g_configLock. The shutdown stops every timer and
 *    waits for their bodies before it stops anything else.
 *  - quit is a volatile sig_atomic_t, written only by the signal handler and read afresh at every
 *    test. The quit signals are blocked in every thread but the main one, so the handler always
 *    runs on the thread that reads quit (and interrupts its sleeps); so are the signals that the
 *    daemon ignores, whose arrival the main thread reports on its next pass. */
#include <errno.h>
#include <fcntl.h>
#include <malloc.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <mutex>
#include <string>

#include "ruxo.h"
#include "ruxo_cgi.h"
#include "ruxo_channel.h"
#include "ruxo_config.h"
#include "ruxo_routes.h"
#include "ruxod.h"
#include "ruxod_timer.h"

#define RUXOD_PID_FILE "/var/run/ruxod.pid"
#define RUXOD_CONFIG_DIR "/etc/ruxod"
#define RUXOD_CONFIG_FILE "/etc/ruxod/ruxod.json"
#define RUXOD_DATA_DIR "/var/ruxod"
#define RUXOD_LOG_DIR "/var/ruxod/log"
#define RUXOD_STATE_FILES 16         /* playlists with a state file: channels 0 to 15 */
#define RUXOD_PASS_USEC 20000        /* sleep before each supervision pass */
#define RUXOD_SETTLE_MSEC 500        /* wait between the start message and the channel starts */
#define RUXOD_FOLDER_RETRY_MSEC 1000 /* a folder channel whose start failed is tried again after */
#define RUXOD_MAX_PATH 1000

static volatile sig_atomic_t quit = 0;

static void sig_handle(int sig)
{
    (void)sig;
    quit = 1;
}

static const int s_aQuitSignals[] = {SIGINT, SIGTERM, SIGABRT, SIGQUIT};

/* Signals that operators and tools send by habit (a hang-up, a reload or log-rotation request, a
 * stray alarm) would end the daemon with nothing saved and its transcoders left alone: it keeps
 * running instead and says which arrived. */
static const struct {
    int nSig;
    const char* szName;
} s_aIgnoredSignals[] = {{SIGHUP, "SIGHUP"}, {SIGUSR1, "SIGUSR1"}, {SIGUSR2, "SIGUSR2"}, {SIGALRM, "SIGALRM"}};
#define RUXOD_IGNORED_SIGNALS (sizeof(s_aIgnoredSignals) / sizeof(s_aIgnoredSignals[0]))
static volatile sig_atomic_t s_bIgnoredArrived[RUXOD_IGNORED_SIGNALS];

static void sig_ignore(int sig)
{
    for (size_t k = 0; k < RUXOD_IGNORED_SIGNALS; k++)
        if (s_aIgnoredSignals[k].nSig == sig)
            s_bIgnoredArrived[k] = 1;
}

/* Prints a line for each ignored signal that arrived since the last call (main thread). */
static void reportIgnoredSignals(void)
{
    for (size_t k = 0; k < RUXOD_IGNORED_SIGNALS; k++) {
        if (s_bIgnoredArrived[k]) {
            s_bIgnoredArrived[k] = 0;
            printf("RUXOD ignored %s\n", s_aIgnoredSignals[k].szName);
        }
    }
}

/* The signals that only the main thread takes: the quit signals and the ignored ones. */
static void daemonSignalSet(sigset_t* pSet)
{
    sigemptyset(pSet);
    for (int sig : s_aQuitSignals)
        sigaddset(pSet, sig);
    for (const auto& ignored : s_aIgnoredSignals)
        sigaddset(pSet, ignored.nSig);
}

/* Installs sig_handle for the quit signals and sig_ignore for the ignored ones, all blocked in
 * the calling main thread first: every thread created from here on inherits the block, and
 * allowQuitSignals lifts it in the main thread alone once that has started the others. A signal
 * that arrives meanwhile waits and is taken then, so it still ends in the orderly shutdown. */
static void installSignals(void)
{
    sigset_t set;
    daemonSignalSet(&set);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    struct sigaction sa;
    memset(&sa, 0, sizeof(sa));
    sa.sa_handler = sig_handle;
    sa.sa_flags = SA_RESTART; /* interrupted calls resume; the main thread's sleeps still end early */
    sigemptyset(&sa.sa_mask);
    for (int sig : s_aQuitSignals)
        sigaction(sig, &sa, nullptr);
    sa.sa_handler = sig_ignore;
    for (const auto& ignored : s_aIgnoredSignals)
        sigaction(ignored.nSig, &sa, nullptr);
}

static void allowQuitSignals(void)
{
    sigset_t set;
    daemonSignalSet(&set);
    pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
}

/* Sleeps nMilliSec, or less when a quit signal arrives. */
static void sleepUnlessQuit(long nMilliSec)
{
    struct timespec end;
    clock_gettime(CLOCK_MONOTONIC, &end);
    end.tv_sec += nMilliSec / 1000;
    end.tv_nsec += (nMilliSec % 1000) * 1000000L;
    if (end.tv_nsec >= 1000000000L) {
        end.tv_sec++;
        end.tv_nsec -= 1000000000L;
    }
    while (!quit) {
        int rc = clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &end, nullptr);
        if (rc != EINTR)
            break;
    }
}

/* Raises the soft limit of open descriptors to the hard limit: the web server's connections and
 * the channels' pipes and logs share it. */
static void raiseDescriptorLimit(void)
{
    struct rlimit rl;
    if (getrlimit(RLIMIT_NOFILE, &rl) != 0) {
        printf("getrlimit(RLIMIT_NOFILE) failed: %s\n", strerror(errno));
        return;
    }
    if (rl.rlim_cur == rl.rlim_max)
        return;
    rl.rlim_cur = rl.rlim_max;
    if (setrlimit(RLIMIT_NOFILE, &rl) != 0)
        printf("setrlimit(RLIMIT_NOFILE, %llu) failed: %s\n", (unsigned long long)rl.rlim_max, strerror(errno));
}

static bool canUse(const std::string& strDir)
{
    return access(strDir.c_str(), R_OK | W_OK) == 0;
}

void CreateFolder(LPCTSTR tszDir)
{
    if (!tszDir)
        return;
    std::string strDir(tszDir, strnlen(tszDir, RUXOD_MAX_PATH - 1));
    if (canUse(strDir))
        return;
    size_t nSlash = strDir.rfind('/');
    if (nSlash != std::string::npos) {
        std::string strParent = strDir.substr(0, nSlash);
        if (!strParent.empty() && !canUse(strParent)) {
            size_t nUp = strParent.rfind('/');
            if (nUp != std::string::npos)
                CreateFolder(strParent.substr(0, nUp).c_str());
            mkdir(strParent.c_str(), 0777);
        }
    }
    mkdir(strDir.c_str(), 0777);
}

static void loadConf(void)
{
    ruxoSetConfigPath(_T(RUXOD_CONFIG_DIR));
    ruxoImportConfig();
    for (int n = 1; n <= RUXOD_STATE_FILES; n++) {
        char szfn[200];
        memset(szfn, 0, sizeof(szfn));
        snprintf(szfn, sizeof(szfn), "%s/ruxo_%03d.pls", RUXOD_DATA_DIR, n);
        g_ruxoPlaylists[n - 1].init(szfn);
    }
}

/* Starts every channel whose "enable" is JSON true, in index order. */
static void initChannels(void)
{
    for (int i = 0; i < RUXO_MAX_CHANNELS && !quit; i++) {
        const bool bStart = ruxoChannelEnabled(i) != FALSE;
        if (quit) /* a signal that arrived while the read waited for the lock */
            break;
        /* The start takes the lock itself, and lets it go while the transcoder is made. */
        if (bStart)
            ruxoStartChannel(i);
    }
}

/* Earliest time (monotonic ms) of the next start of a folder channel whose last start failed;
 * read and written by the main thread only. */
static long long s_tmFolderRetry[RUXO_MAX_CHANNELS];

static long long monotonicMs(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (long long)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

/* The start of a folder channel that its step moved to its next file. A start that another thread
 * made in between (this one then meets a busy channel) counts as a good one. */
static void startFolderChannel(int i)
{
    int nResult = ruxoStartChannel(i);
    s_tmFolderRetry[i] = nResult == 0 || nResult == RUXO_ERR_BUSY ? 0 : monotonicMs() + RUXOD_FOLDER_RETRY_MSEC;
}

/* One walk over the channels in index order, each channel's step a call of the channel layer
 * under g_configLock of its own (ruxoSuperviseChannel), so a configuration posted during the walk
 * replaces the tree between two channels. A channel whose slot is busy gets nothing from the rules
 * and stays busy until this thread reaps it, so its step needs neither the tree nor the lock: a
 * walk over running channels only reads their slots. It ends at the last channel, or at once when
 * a quit signal arrives. */
static void superviseChannels(void)
{
    RUXO_CHANNEL_WALK walk;
    for (int i = 0; i < RUXO_MAX_CHANNELS; i++) {
        if (quit)
            return;
        if (ruxoGetState(i) != RUXO_STATE_IDLE)
            continue;
        /* The next file at once after a good start; a start that failed waits a moment, or it
         * would be logged and its playlist saved on every pass. */
        const bool bFolderMayMove = s_tmFolderRetry[i] == 0 || monotonicMs() >= s_tmFolderRetry[i];
        int nAutoRestart = 0;
        switch (ruxoSuperviseChannel(&walk, i, bFolderMayMove ? TRUE : FALSE, &quit, &nAutoRestart)) {
        case RUXO_STEP_END:
            return;
        case RUXO_STEP_START:
            startFolderChannel(i);
            break;
        case RUXO_STEP_RESTART:
            ruxodTimerArmChannel(i, nAutoRestart);
            break;
        case RUXO_STEP_NONE:
            break;
        }
    }
}

static void superviseLoop(void)
{
    while (!quit) {
        usleep(RUXOD_PASS_USEC);
        reportIgnoredSignals();
        ruxoPoll();
        superviseChannels();
    }
}

static void shutdownDaemon(void)
{
    ruxodTimerStopAll();
    ruxoStopAllChannels();
    ruxoStopCGI();
    ruxoFree();
    ruxoExportConfig(nullptr);
    ruxoFreeConfig();
}

/* The title line: the title centred between an asterisk in the first and the last of 41 columns. */
static void printBanner(void)
{
    static const char szBorder[] = "* * * * * * * * * * * * * * * * * * * * *";
    const std::string strTitle = RUXO_APP_TITLE;
    const int nLen = (int)strTitle.size();
    int nLeft = 19 - nLen / 2;
    int nRight = 20 - (nLen + 1) / 2;
    if (nLeft < 0)
        nLeft = 0;
    if (nRight < 0)
        nRight = 0;
    std::string strLine = "*" + std::string(nLeft, ' ') + strTitle + std::string(nRight, ' ') + "*";
    printf("%s\n%s\n", szBorder, strLine.c_str());
    printf("*            Version %8s           *\n", RUXO_APP_VERSION);
    printf("%s\n", szBorder);
}

/* The pid file names the running daemon while it holds the lock, so that `kill $(cat ...)`
 * reaches it; it is written only once the lock is ours (an instance that finds it locked leaves
 * it alone) and emptied when the daemon ends in order or after a failed start-up step. */
static int s_fdPid = -1;

static void writePidFile(int fdPid)
{
    s_fdPid = fdPid;
    char szPid[32];
    int nLen = snprintf(szPid, sizeof(szPid), "%ld\n", (long)getpid());
    if (ftruncate(s_fdPid, 0) != 0) {
        printf("RUXOD cannot write %s: %s\n", RUXOD_PID_FILE, strerror(errno));
        return;
    }
    ssize_t nWritten = pwrite(s_fdPid, szPid, (size_t)nLen, 0);
    if (nWritten != nLen)
        printf("RUXOD cannot write %s: %s\n", RUXOD_PID_FILE, nWritten < 0 ? strerror(errno) : "short write");
}

static void clearPidFile(void)
{
    if (s_fdPid >= 0 && ftruncate(s_fdPid, 0) != 0)
        printf("RUXOD cannot empty %s: %s\n", RUXOD_PID_FILE, strerror(errno));
}

/* Leaves after a failed start-up step without running the static destructors, so the playlists'
 * state files stay as they were. */
static void failExit(void)
{
    clearPidFile();
    fflush(stdout);
    fflush(stderr);
    _exit(255);
}

int main(int argc, char** argv)
{
    (void)argc;
    (void)argv;
    ruxodTimerBlockSignal();
    setvbuf(stdout, nullptr, _IOLBF, 0);
    ruxoInitLocale(); /* the one setlocale of the process, on the main thread */
    signal(SIGPIPE, SIG_IGN);
    /* One allocation arena for all threads: the restart timers run on short-lived threads, and
     * with an arena per thread running at once the daemon's memory would grow with the most of
     * them that ever ran together. The daemon allocates little; sharing one arena costs nothing. */
    mallopt(M_ARENA_MAX, 1);
    raiseDescriptorLimit();

    /* One instance only: the lock lives as long as this process (the detached one included); the
     * descriptor is closed on exec, so no transcoder keeps it. */
    int fdPid = open(RUXOD_PID_FILE, O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    bool bLocked = false;
    if (fdPid >= 0) {
        if (flock(fdPid, LOCK_EX | LOCK_NB) == 0) {
            bLocked = true;
        } else if (errno == EWOULDBLOCK) {
            printf("RUXOD running already, exiting...\n");
            return -1;
        }
    }

    if (daemon(1, 1) != 0) {
        /* Keep going in the foreground: the daemon still works, only attached. */
    }
    if (bLocked)
        writePidFile(fdPid);
    installSignals();
    ruxodTimerStartThread();

    CreateFolder(_T(RUXOD_CONFIG_DIR));
    CreateFolder(_T(RUXOD_LOG_DIR));
    loadConf();
    printf("\n\n");

    RUXO_CONFIG config;
    memset(&config, 0, sizeof(config));
    config.nPortHTTP = (unsigned short)ruxoGetGlobalInt("httpPort");
    config.nPortRTSP = (unsigned short)ruxoGetGlobalInt("rtspPort");
    config.nCpuPerChannel = ruxoGetGlobalInt("cpuPerChannel");
    config.nLogLevel = ruxoGetGlobalInt("log");
    config.pszDllPath = nullptr;
    config.pszDataPath = RUXOD_DATA_DIR;
    config.pszfnAcl = g_tszfnAcl.c_str();

    /* What the web server answers with, how a changed server setting comes back to us, and where
     * the server's settings come from. */
    ruxoCGISetRouter(ruxoCGIRoute);
    ruxoCGISetCallback(ruxodTimerRestartCGI);
    ruxoCGISetProvider(&g_ruxoCGIProvider);
    int nResult = ruxoInitA(&config);
    if (nResult != 0) {
        printf("Oops, RUXOD init failed (%d)\n", nResult);
        ruxoFree();
        ruxoExportConfig(nullptr);
        failExit();
    }
    if (!ruxoStartCGI()) {
        printf(
            "RUXOD Web management start failed at port %d!\nPlease edit %s and change "
            "\"global.httpPort\" manually before restarting program!\n",
            config.nPortHTTP, RUXOD_CONFIG_FILE);
        ruxoFree();
        failExit();
    }
    allowQuitSignals(); /* the main thread has started every thread it starts */
    printBanner();
    printf("RUXOD started successfully!\nWeb management now accessible at http://127.0.0.1:%d...\n", config.nPortHTTP);
    std::string strNoTree = ruxoConfigNoTreeReason();
    if (!strNoTree.empty())
        printf(
            "Running without a configuration (%s): the web management admits local clients "
            "(127.0.0.0/8) only, until a configuration is posted\n",
            strNoTree.c_str());

    sleepUnlessQuit(RUXOD_SETTLE_MSEC);
    initChannels();
    superviseLoop();
    shutdownDaemon();
    clearPidFile();
    return 0;
}
