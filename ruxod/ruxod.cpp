/* ruxod.cpp -- the daemon's entry: single-instance lock, detaching, start-up, the 20 ms supervision
 * loop with its one-shot restart timers, the delayed web-server restart, and the orderly shutdown.
 *
 * Threads and locks
 * -----------------
 * Three kinds of thread run this file's code: the main thread (start-up, supervision loop,
 * shutdown; the only caller of ruxoPoll), short-lived timer threads (timerChannel, timerCGI; see
 * "Timer notification" below), and the web server's thread, which calls ruxoCGICallback.
 *
 *  - The configuration tree, the channel slots and the playlists are shared with the web thread.
 *    Each channel's step of a supervision pass, the start-up channel starts, the body of a channel
 *    restart timer and the shutdown's channel stops run under g_configLock, the lock that the
 *    channel layer itself takes (recursive), so a configuration posted during a pass replaces the
 *    tree between two channels, never under one, and a timer's start and a pass's look at the
 *    same channel follow one another: a pass never sees a half-started channel and never arms a
 *    second timer or starts a second transcoder for it. Nothing read from the tree outlives the
 *    lock. ruxoPoll needs no tree and guards the slots with the engine's own mutex.
 *  - The restart-timer handles, their pending flags, the count of timer bodies under way and the
 *    shutting-down flag sit under s_timerLock, a leaf: it is taken last (inside g_configLock at
 *    most) and no other module is called while it is held.
 *  - No lock is held across stopping or starting the web server: stopping joins the web thread,
 *    which may be waiting for the web mutex or g_configLock. The web-restart timer and the
 *    shutdown never overlap: the shutdown first marks the daemon as shutting down, deletes every
 *    pending timer and waits until no timer body runs any more.
 *  - quit is a volatile sig_atomic_t, written only by the signal handler and read afresh at every
 *    test. The quit signals are blocked in every thread but the main one, so the handler always
 *    runs on the thread that reads quit (and interrupts its sleeps); so are the signals that the
 *    daemon ignores, whose arrival the main thread reports on its next pass.
 *
 * Timer notification: each timer signals one thread of ours (SIGEV_THREAD_ID with a real-time
 * signal that every thread keeps blocked), which runs the timer's function on a new short-lived
 * thread, the way thread notification does it. Doing it ourselves keeps every thread known to
 * the thread library and to race checkers, and lets a firing tell a stale notification (of a
 * timer re-armed or deleted meanwhile) from a real expiry.
 *
 * Every timer is deleted exactly once, by whoever takes it out of its handle under s_timerLock:
 * its own firing, or the shutdown. A firing that finds the daemon shutting down touches nothing
 * but s_timerLock and the flag, so nothing fires into a released engine, a freed tree or
 * destroyed playlists. */
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <string>

#include "ruxo.h"
#include "ruxo_cgi.h"
#include "ruxo_channel.h"
#include "ruxo_config.h"
#include "ruxod.h"

#define RUXOD_PID_FILE "/var/run/ruxod.pid"
#define RUXOD_CONFIG_DIR "/etc/ruxod"
#define RUXOD_CONFIG_FILE "/etc/ruxod/ruxod.json"
#define RUXOD_DATA_DIR "/var/ruxod"
#define RUXOD_LOG_DIR "/var/ruxod/log"
#define RUXOD_STATE_FILES 16      /* playlists with a state file: channels 0 to 15 */
#define RUXOD_PASS_USEC 20000     /* sleep before each supervision pass */
#define RUXOD_SETTLE_MSEC 500     /* wait between the start message and the channel starts */
#define RUXOD_CGI_TIMER_ID 200
#define RUXOD_CGI_RESTART_MSEC 1000
#define RUXOD_CGI_RETRY_MSEC 5000 /* a web server that could not start is tried again this often */
#define RUXOD_FOLDER_RETRY_MSEC 1000 /* a folder channel whose start failed is tried again after */
#define RUXOD_MAX_PATH 1000

typedef void (*timerTimeout)(sigval sig);

void timerChannel(sigval sig);
void timerCGI(sigval sig);

static volatile sig_atomic_t quit = 0;

/* Restart timers: one per channel and one for the web server, all under s_timerLock. A handle
 * is valid only while its pending flag is set: the kernel numbers timers from 0, so no handle
 * value can stand for "none". */
static pthread_mutex_t s_timerLock = PTHREAD_MUTEX_INITIALIZER;
static timer_t g_timerChannels[RUXO_MAX_CHANNELS];
static bool s_bTimerPending[RUXO_MAX_CHANNELS];
static bool s_bTimerFailed[RUXO_MAX_CHANNELS]; /* the last try to create it failed (reported once) */
static timer_t g_timerCGI;
static bool s_bCGITimerPending = false;
static bool s_bShuttingDown = false;
static int s_nTimerBodies = 0; /* timer bodies that passed their first check and have not ended */

/* The notification thread: the signal it waits for, its kernel thread id (0 until it runs), and
 * the function of each timer id (channels 0 to 63, then the web-server restart). */
static int s_nTimerSignal = 0;
static std::atomic<pid_t> s_tidTimerThread(0);
static std::atomic<timerTimeout> s_timerFuncs[RUXO_MAX_CHANNELS + 1];

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

static cJSON* channelAt(int iChannel)
{
    return jsonGetArrayItem(jsonGetItem(g_jsonConfig, "channels"), iChannel);
}

/* Starts every channel whose "enable" is JSON true, in index order. */
static void initChannels(void)
{
    for (int i = 0; i < RUXO_MAX_CHANNELS && !quit; i++) {
        std::lock_guard<std::recursive_mutex> lock(g_configLock);
        if (quit) /* a signal that arrived while we waited for the lock */
            break;
        if (getJsonBool(channelAt(i), "enable"))
            ruxoStartChannel(i);
    }
}

static std::atomic<timerTimeout>* timerFuncSlot(int nTimerId)
{
    if (nTimerId >= 0 && nTimerId < RUXO_MAX_CHANNELS)
        return &s_timerFuncs[nTimerId];
    if (nTimerId == RUXOD_CGI_TIMER_ID)
        return &s_timerFuncs[RUXO_MAX_CHANNELS];
    return nullptr;
}

/* Blocks the timer signal in the calling thread; done first thing in main, so every thread that
 * the process ever creates inherits the block and only the notification thread takes it. */
static void blockTimerSignal(void)
{
    s_nTimerSignal = SIGRTMIN + 2;
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, s_nTimerSignal);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

/* Runs the function of the timer whose id the argument carries (the notification thread has
 * checked that it has one). */
static void* timerFiringThread(void* pArg)
{
    sigval sig;
    memset(&sig, 0, sizeof(sig));
    sig.sival_int = (int)(intptr_t)pArg;
    timerTimeout func = timerFuncSlot(sig.sival_int)->load();
    if (func)
        func(sig);
    return nullptr;
}

static void* timerNotifyThread(void*)
{
    s_tidTimerThread = (pid_t)syscall(SYS_gettid);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, s_nTimerSignal);
    for (;;) {
        siginfo_t info;
        if (sigwaitinfo(&set, &info) < 0)
            continue;
        if (info.si_code != SI_TIMER)
            continue;
        std::atomic<timerTimeout>* pSlot = timerFuncSlot(info.si_value.sival_int);
        timerTimeout func = pSlot ? pSlot->load() : nullptr;
        if (!func)
            continue;
        void* pId = (void*)(intptr_t)info.si_value.sival_int;
        pthread_attr_t attr;
        pthread_t thread;
        pthread_attr_init(&attr);
        pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
        if (pthread_create(&thread, &attr, timerFiringThread, pId) != 0)
            timerFiringThread(pId); /* no thread to spare: run it here */
        pthread_attr_destroy(&attr);
    }
    return nullptr;
}

/* Starts the notification thread and waits until it can be addressed. */
static void startTimerThread(void)
{
    pthread_attr_t attr;
    pthread_t thread;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    bool bStarted = pthread_create(&thread, &attr, timerNotifyThread, nullptr) == 0;
    pthread_attr_destroy(&attr);
    for (int n = 0; bStarted && n < 2000 && s_tidTimerThread == 0; n++)
        usleep(1000);
}

/* Creates and arms a one-shot timer that runs func on a thread of its own after nMilliSec, and
 * stores its handle in *pTimer. False when it cannot be created or armed (an unarmed timer is
 * deleted again, so none is left behind); a failed creation is printed when bReport is set.
 * Success is told apart from the handle because a valid handle may be 0 (the kernel numbers its
 * timers from 0). */
static bool createTimer(int nTimerId, long long nMilliSec, timerTimeout func, timer_t* pTimer, bool bReport = true)
{
    std::atomic<timerTimeout>* pSlot = timerFuncSlot(nTimerId);
    struct sigevent sev;
    memset(&sev, 0, sizeof(sev));
    sev.sigev_notify = SIGEV_THREAD_ID;
    sev.sigev_signo = s_nTimerSignal;
    sev.sigev_value.sival_int = nTimerId;
    sev._sigev_un._tid = s_tidTimerThread;

    timer_t timer = nullptr;
    if (!pSlot || sev._sigev_un._tid == 0 || timer_create(CLOCK_REALTIME, &sev, &timer) != 0) {
        if (bReport)
            printf("timer_create %d error\n", nTimerId);
        return false;
    }
    pSlot->store(func);
    struct itimerspec its;
    memset(&its, 0, sizeof(its));
    its.it_value.tv_sec = (time_t)(nMilliSec / 1000);
    its.it_value.tv_nsec = (long)(nMilliSec % 1000) * 1000000L;
    if (timer_settime(timer, 0, &its, nullptr) != 0) {
        timer_delete(timer);
        return false;
    }
    *pTimer = timer;
    return true;
}

/* A notification is real when its timer has run out; one of a timer that was re-armed since is
 * stale (the re-armed timer notifies again). */
static bool timerExpired(timer_t timer)
{
    struct itimerspec its;
    if (timer_gettime(timer, &its) != 0)
        return false;
    return its.it_value.tv_sec == 0 && its.it_value.tv_nsec == 0;
}

/* Arms channel iChannel's restart timer unless one is pending. A timer that cannot be created
 * leaves the handle free, so a later pass tries again; a run of failures is reported once, not
 * on every pass. */
static void armChannelTimer(int iChannel, int nAutoRestart)
{
    long long nMilliSec = (long long)nAutoRestart * 1000LL;
    pthread_mutex_lock(&s_timerLock);
    if (!s_bShuttingDown && !s_bTimerPending[iChannel]) {
        bool bOk = createTimer(iChannel, nMilliSec, timerChannel, &g_timerChannels[iChannel],
                               !s_bTimerFailed[iChannel]);
        s_bTimerPending[iChannel] = bOk;
        s_bTimerFailed[iChannel] = !bOk;
    }
    pthread_mutex_unlock(&s_timerLock);
}

/* Enters a timer body: false when the daemon is shutting down and the body must do nothing. */
static bool enterTimerBody(void)
{
    pthread_mutex_lock(&s_timerLock);
    bool bGo = !s_bShuttingDown;
    if (bGo)
        s_nTimerBodies++;
    pthread_mutex_unlock(&s_timerLock);
    return bGo;
}

static void leaveTimerBody(void)
{
    pthread_mutex_lock(&s_timerLock);
    s_nTimerBodies--;
    pthread_mutex_unlock(&s_timerLock);
}

/* A channel's restart timer fired: free its handle and start the channel. "enable" is not looked
 * at: a channel stopped from the web while its timer was pending starts again. */
void timerChannel(sigval sig)
{
    int iChannel = sig.sival_int;
    if (iChannel < 0 || iChannel >= RUXO_MAX_CHANNELS)
        return;
    if (!enterTimerBody())
        return;
    {
        std::lock_guard<std::recursive_mutex> lock(g_configLock);
        bool bStart = false;
        pthread_mutex_lock(&s_timerLock);
        if (!s_bShuttingDown && s_bTimerPending[iChannel] && timerExpired(g_timerChannels[iChannel])) {
            timer_delete(g_timerChannels[iChannel]);
            s_bTimerPending[iChannel] = false;
            bStart = true;
        }
        pthread_mutex_unlock(&s_timerLock);
        if (bStart && channelAt(iChannel))
            ruxoStartChannel(iChannel);
    }
    leaveTimerBody();
}

/* The web-server restart timer fired: stop the server and start it again with the settings that
 * the tree holds now (on the previous port when the new one cannot be had). When no server could
 * start, the timer is armed again: the daemon must not stay unmanageable. */
void timerCGI(sigval sig)
{
    (void)sig;
    if (!enterTimerBody())
        return;
    bool bRestart = false;
    pthread_mutex_lock(&s_timerLock);
    if (!s_bShuttingDown && s_bCGITimerPending && timerExpired(g_timerCGI)) {
        timer_delete(g_timerCGI);
        s_bCGITimerPending = false;
        bRestart = true;
    }
    pthread_mutex_unlock(&s_timerLock);
    if (bRestart && !ruxoRestartCGI()) {
        pthread_mutex_lock(&s_timerLock);
        if (!s_bShuttingDown && !s_bCGITimerPending)
            s_bCGITimerPending = createTimer(RUXOD_CGI_TIMER_ID, RUXOD_CGI_RETRY_MSEC, timerCGI, &g_timerCGI);
        pthread_mutex_unlock(&s_timerLock);
    }
    leaveTimerBody();
}

void ruxoCGICallback(BOOL bRestartCGI)
{
    if (!bRestartCGI)
        return;
    pthread_mutex_lock(&s_timerLock);
    if (!s_bShuttingDown) {
        if (s_bCGITimerPending) {
            /* A restart is pending: push it back to one second from now. */
            struct itimerspec its;
            memset(&its, 0, sizeof(its));
            its.it_value.tv_sec = RUXOD_CGI_RESTART_MSEC / 1000;
            its.it_value.tv_nsec = (RUXOD_CGI_RESTART_MSEC % 1000) * 1000000L;
            timer_settime(g_timerCGI, 0, &its, nullptr);
        } else {
            s_bCGITimerPending = createTimer(RUXOD_CGI_TIMER_ID, RUXOD_CGI_RESTART_MSEC, timerCGI, &g_timerCGI);
        }
    }
    pthread_mutex_unlock(&s_timerLock);
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

/* One channel's step of a supervision pass: channel i, whose item of "channels" is jsonChannel; the
 * caller holds g_configLock. */
static void superviseChannel(int i, cJSON* jsonChannel)
{
    if (!getJsonBool(jsonChannel, "enable"))
        return;
    /* The walk passed over busy channels already; a start from another thread may have come
     * before our lock. Under it the slot stays as it is: every start takes g_configLock, and only
     * this thread reaps. */
    if (ruxoGetChannelState(i) != RUXO_STATE_IDLE)
        return;

    int nAutoRestart = getJsonInt(jsonGetItem(g_jsonConfig, "global"), "autoRestart");
    cJSON* jsonSources = jsonGetItem(jsonGetItem(jsonChannel, "input"), "sources");
    std::string strUrl = getJsonString(jsonGetArrayItem(jsonSources, 0), "url");
    if (isDirectory(strUrl.c_str())) {
        /* The next file at once after a good start; a start that failed waits a moment, or it
         * would be logged and its playlist saved on every pass. */
        long long tmNow = monotonicMs();
        if (tmNow < s_tmFolderRetry[i])
            return;
        g_ruxoPlaylists[i].MoveNext(nAutoRestart > 0 ? TRUE : FALSE);
        s_tmFolderRetry[i] = ruxoStartChannel(i) == 0 ? 0 : monotonicMs() + RUXOD_FOLDER_RETRY_MSEC;
        return;
    }
    /* A negative delay never restarts: such a timer could not be armed. */
    if (nAutoRestart > 0)
        armChannelTimer(i, nAutoRestart);
}

/* One walk over the channels in index order, each channel's step under g_configLock of its own, so
 * a configuration posted during the walk replaces the tree between two channels. A channel whose
 * slot is busy gets nothing from the rules and stays busy until this thread reaps it, so its step
 * needs neither the tree nor the lock: a walk over running channels only reads their slots. For
 * the others the walk follows the "channels" array forward from the item it found last; only when
 * the tree was replaced meanwhile is a channel looked up afresh by its index. It ends at the last
 * channel, or at once when a quit signal arrives. */
static void superviseChannels(void)
{
    cJSON* jsonAt = nullptr; /* the item of channel iAt, valid while ulGeneration is current */
    int iAt = -1;
    unsigned long ulGeneration = 0;
    for (int i = 0; i < RUXO_MAX_CHANNELS; i++) {
        if (quit)
            return;
        if (ruxoGetState(i) != RUXO_STATE_IDLE)
            continue;
        std::lock_guard<std::recursive_mutex> lock(g_configLock);
        if (quit) /* a signal that arrived while we waited for the lock */
            return;
        if (iAt < 0 || ulGeneration != ruxoConfigGeneration()) {
            jsonAt = channelAt(i);
            iAt = i;
            ulGeneration = ruxoConfigGeneration();
        }
        for (; jsonAt != nullptr && iAt < i; iAt++)
            jsonAt = jsonAt->next;
        if (jsonAt == nullptr) /* no channel at i, and so none at a later index either */
            return;
        superviseChannel(i, jsonAt);
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

/* Marks the daemon as shutting down, deletes every pending timer and waits until no timer body
 * runs any more. From then on no timer starts a channel or touches the web server. */
static void stopTimers(void)
{
    pthread_mutex_lock(&s_timerLock);
    s_bShuttingDown = true;
    for (int i = 0; i < RUXO_MAX_CHANNELS; i++) {
        if (s_bTimerPending[i]) {
            timer_delete(g_timerChannels[i]);
            s_bTimerPending[i] = false;
        }
    }
    if (s_bCGITimerPending) {
        timer_delete(g_timerCGI);
        s_bCGITimerPending = false;
    }
    while (s_nTimerBodies > 0) {
        pthread_mutex_unlock(&s_timerLock);
        usleep(5000);
        pthread_mutex_lock(&s_timerLock);
    }
    pthread_mutex_unlock(&s_timerLock);
}

static void shutdownDaemon(void)
{
    stopTimers();
    for (int i = 0; i < RUXO_MAX_CHANNELS; i++) {
        std::lock_guard<std::recursive_mutex> lock(g_configLock);
        if (ruxoGetChannelState(i) != RUXO_STATE_IDLE)
            ruxoStopChannel(i, 0);
    }
    ruxoStopCGI();
    ruxoFree();
    ruxoExportConfig(nullptr);
    std::lock_guard<std::recursive_mutex> lock(g_configLock);
    cJSON_Delete(g_jsonConfig);
    g_jsonConfig = nullptr;
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
    blockTimerSignal();
    setvbuf(stdout, nullptr, _IOLBF, 0);
    ruxoInitLocale(); /* the one setlocale of the process, on the main thread */
    signal(SIGPIPE, SIG_IGN);
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
    startTimerThread();

    CreateFolder(_T(RUXOD_CONFIG_DIR));
    CreateFolder(_T(RUXOD_LOG_DIR));
    loadConf();
    printf("\n\n");

    RUXO_CONFIG config;
    memset(&config, 0, sizeof(config));
    {
        std::lock_guard<std::recursive_mutex> lock(g_configLock);
        cJSON* jsonGlobal = jsonGetItem(g_jsonConfig, "global");
        config.nPortHTTP = (unsigned short)getJsonInt(jsonGlobal, "httpPort");
        config.nPortRTSP = (unsigned short)getJsonInt(jsonGlobal, "rtspPort");
        config.nCpuPerChannel = getJsonInt(jsonGlobal, "cpuPerChannel");
        config.nLogLevel = getJsonInt(jsonGlobal, "log");
    }
    config.pszDllPath = nullptr;
    config.pszDataPath = RUXOD_DATA_DIR;
    config.pszfnAcl = g_tszfnAcl.c_str();

    int nResult = ruxoInitA(&config);
    if (nResult != 0) {
        printf("Oops, RUXOD init failed (%d)\n", nResult);
        ruxoFree();
        ruxoExportConfig(nullptr);
        failExit();
    }
    if (!ruxoStartCGI()) {
        printf("RUXOD Web management start failed at port %d!\nPlease edit %s and change "
               "\"global.httpPort\" manually before restarting program!\n",
               config.nPortHTTP, RUXOD_CONFIG_FILE);
        ruxoFree();
        failExit();
    }
    allowQuitSignals(); /* the main thread has started every thread it starts */
    printBanner();
    printf("RUXOD started successfully!\nWeb management now accessible at http://127.0.0.1:%d...\n",
           config.nPortHTTP);
    std::string strNoTree = ruxoConfigNoTreeReason();
    if (!strNoTree.empty())
        printf("Running without a configuration (%s): the web management admits local clients "
               "(127.0.0.0/8) only, until a configuration is posted\n",
               strNoTree.c_str());

    sleepUnlessQuit(RUXOD_SETTLE_MSEC);
    initChannels();
    superviseLoop();
    shutdownDaemon();
    clearPidFile();
    return 0;
}
