/* ruxod_timer.cpp -- the daemon's one-shot restart timers: one per channel, armed by the
 * supervision pass when a channel that should run has stopped, and one for the web server, armed
 * (or pushed back) when a posted configuration changed the server's settings. Each runs its body
 * on a short-lived thread of its own; the shutdown stops them all and waits for running bodies.
 *
 * Threads and locks
 * -----------------
 *  - The timer handles, their pending flags, the count of timer bodies under way and the
 *    shutting-down flag sit under s_timerLock, a leaf: it is taken last (inside the web mutex at
 *    most, by the restart hook) and no other module is called while it is held.
 *  - A channel timer's body clears its handle under s_timerLock alone and then starts the channel,
 *    which takes the configuration lock for its records only and counts as starting from then on: a pass
 *    never sees a half-started channel as idle and never arms a second timer or starts a second
 *    transcoder for it, and timers that fire together never queue on a lock for longer than one
 *    start's records take.
 *  - No lock is held across stopping or starting the web server: stopping joins the web thread,
 *    which may be waiting for the web mutex or the configuration lock. The web-restart timer and the
 *    shutdown never overlap: the shutdown first marks the daemon as shutting down, deletes every
 *    pending timer and waits until no timer body runs any more.
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
#include "ruxod_timer.h"

#include <pthread.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <mutex>

#include "ruxo.h"
#include "ruxo_cgi.h"
#include "ruxo_channel.h"
#include "ruxo_config.h"

#define RUXOD_CGI_TIMER_ID 200
#define RUXOD_CGI_RESTART_MSEC 1000
#define RUXOD_CGI_RETRY_MSEC 5000 /* a web server that could not start is tried again this often */

typedef void (*timerTimeout)(sigval sig);

static void timerChannel(sigval sig);
static void timerCGI(sigval sig);

/* Restart timers: one per channel and one for the web server, all under s_timerLock. A handle
 * is valid only while its pending flag is set: the kernel numbers timers from 0, so no handle
 * value can stand for "none". */
static std::mutex s_timerLock;
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
void ruxodTimerBlockSignal(void)
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
void ruxodTimerStartThread(void)
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
void ruxodTimerArmChannel(int iChannel, int nAutoRestart)
{
    long long nMilliSec = (long long)nAutoRestart * 1000LL;
    std::lock_guard<std::mutex> lock(s_timerLock);
    if (!s_bShuttingDown && !s_bTimerPending[iChannel]) {
        bool bOk = createTimer(iChannel, nMilliSec, timerChannel, &g_timerChannels[iChannel],
                               !s_bTimerFailed[iChannel]);
        s_bTimerPending[iChannel] = bOk;
        s_bTimerFailed[iChannel] = !bOk;
    }
}

/* Enters a timer body: false when the daemon is shutting down and the body must do nothing. */
static bool enterTimerBody(void)
{
    std::lock_guard<std::mutex> lock(s_timerLock);
    bool bGo = !s_bShuttingDown;
    if (bGo)
        s_nTimerBodies++;
    return bGo;
}

static void leaveTimerBody(void)
{
    std::lock_guard<std::mutex> lock(s_timerLock);
    s_nTimerBodies--;
}

/* A channel's restart timer fired: free its handle and start the channel. "enable" is not looked
 * at: a channel stopped from the web while its timer was pending starts again. */
static void timerChannel(sigval sig)
{
    int iChannel = sig.sival_int;
    if (iChannel < 0 || iChannel >= RUXO_MAX_CHANNELS)
        return;
    if (!enterTimerBody())
        return;
    bool bStart = false;
    {
        std::lock_guard<std::mutex> timerLock(s_timerLock);
        if (!s_bShuttingDown && s_bTimerPending[iChannel] && timerExpired(g_timerChannels[iChannel])) {
            timer_delete(g_timerChannels[iChannel]);
            s_bTimerPending[iChannel] = false;
            bStart = true;
        }
    }
    /* The start looks the channel up under the configuration lock itself: one that is gone is no
     * start. */
    if (bStart)
        ruxoStartChannel(iChannel);
    leaveTimerBody();
}

/* The web-server restart timer fired: stop the server and start it again with the settings that
 * the tree holds now (on the previous port when the new one cannot be had). When no server could
 * start, the timer is armed again: the daemon must not stay unmanageable. */
static void timerCGI(sigval sig)
{
    (void)sig;
    if (!enterTimerBody())
        return;
    bool bRestart = false;
    {
        std::lock_guard<std::mutex> lock(s_timerLock);
        if (!s_bShuttingDown && s_bCGITimerPending && timerExpired(g_timerCGI)) {
            timer_delete(g_timerCGI);
            s_bCGITimerPending = false;
            bRestart = true;
        }
    }
    /* No lock across the restart: stopping the server joins the web thread. */
    if (bRestart && !ruxoRestartCGI()) {
        std::lock_guard<std::mutex> lock(s_timerLock);
        if (!s_bShuttingDown && !s_bCGITimerPending)
            s_bCGITimerPending = createTimer(RUXOD_CGI_TIMER_ID, RUXOD_CGI_RETRY_MSEC, timerCGI, &g_timerCGI);
    }
    leaveTimerBody();
}

void ruxodTimerRestartCGI(BOOL bRestartCGI)
{
    if (!bRestartCGI)
        return;
    std::lock_guard<std::mutex> lock(s_timerLock);
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
}

/* Marks the daemon as shutting down, deletes every pending timer and waits until no timer body
 * runs any more. From then on no timer starts a channel or touches the web server. */
void ruxodTimerStopAll(void)
{
    std::unique_lock<std::mutex> lock(s_timerLock);
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
        lock.unlock();
        usleep(5000);
        lock.lock();
    }
}
