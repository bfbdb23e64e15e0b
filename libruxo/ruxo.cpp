/* ruxo.cpp -- the engine's core: settings and start-up, the slot table with one transcoder child
 * per busy slot (claim and publish of a start, stop, poll, reap, hang detection, release) and the
 * getters. It calls the files below it and hands them what they need; none of them calls back:
 * the child start and its report in ruxo_child.cpp, the readiness set of the busy slots in
 * ruxo_ready.cpp, the channel logs in ruxo_log.cpp, the processors in ruxo_cpu.cpp, the descriptor
 * helpers in ruxo_pipe.cpp.
 *
 * Locking: g_engineMutex (recursive) guards the slot table and every slot field, the readiness set
 * and the processor sampler. Settings words that other threads read without a lock (log level,
 * processor count, processors per channel, the init flag, the callback) are atomics. A start holds
 * the mutex only to claim its slot and to publish its child: the pipes, the fork and the command
 * line written to the child happen without it, so neither the poll nor a status reply ever waits
 * for a child to be made.
 *
 * Failed system calls of a start or a stop are logged to the channel's log with their errno. */
#include "ruxo_internal.h"

#include <errno.h>
#include <limits.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <string>

RUXO_GLOBAL g_cfg;
std::recursive_mutex g_engineMutex;
RUXO_PROC_CTX* g_procChannels = nullptr;

namespace {

const int kHangSeconds = 30;   /* silence after which a child counts as hanging */
const int kReleaseWaits = 100; /* release: 100 waits of 30 ms for all slots together */
const int kReleaseWaitUs = 30000;
const size_t kChunkSize = 4096; /* one read of transcoder output, NUL included */

std::mutex s_progMutex; /* leaf: the program path buffers */

char szProgFile[RUXO_MAX_PATH];
char szProgDir[RUXO_MAX_PATH];

/* The descriptors that the poll asks about: the output pipe, the exec report pipe and the child
 * descriptor of every watched slot. Under g_engineMutex. */
RUXO_READY s_ready = {0, 0};

/* Sampling pace: the second of the poll that last sampled. Under g_engineMutex. */
time_t last_sec;
/* The processor sampler's own pace and source. Under g_engineMutex. */
RUXO_CPU_SAMPLER s_cpuSampler = {0, "/proc/stat", std::string()};

std::atomic<RUXO_CLOCK> s_fnClock{nullptr}; /* read on every thread that logs or polls */

time_t monotonicSeconds(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec + 1; /* never 0: 0 means "no output yet" in tmAlive */
}

/* Copies src into a buffer of size cap; false (buffer untouched) when it does not fit. */
bool copyBounded(char* dst, size_t cap, const std::string& src)
{
    if (src.size() >= cap)
        return false;
    memcpy(dst, src.c_str(), src.size() + 1);
    return true;
}

/* The text of a start-up path: narrow as given, or a wide text converted under the locale. */
bool configText(const void* p, int bUnicode, std::string* out)
{
    if (!bUnicode) {
        const char* sz = static_cast<const char*>(p);
        size_t n = strnlen(sz, RUXO_MAX_PATH);
        if (n >= RUXO_MAX_PATH)
            return false;
        out->assign(sz, n);
        return true;
    }
    const wchar_t* wsz = static_cast<const wchar_t*>(p);
    mbstate_t st;
    memset(&st, 0, sizeof st);
    const wchar_t* src = wsz;
    size_t n = wcsrtombs(nullptr, &src, 0, &st);
    if (n == (size_t)-1 || n >= RUXO_MAX_PATH)
        return false;
    char buf[RUXO_MAX_PATH];
    memset(&st, 0, sizeof st);
    src = wsz;
    if (wcsrtombs(buf, &src, sizeof buf, &st) != n)
        return false;
    buf[n] = '\0';
    out->assign(buf, n);
    return true;
}

/* Reads "/proc/self/exe" into szProgFile when it is empty; a truncated link is a failure. */
void readProgFile(void)
{
    if (szProgFile[0])
        return;
    char buf[RUXO_MAX_PATH];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf);
    if (n <= 0 || (size_t)n >= sizeof buf)
        return;
    buf[n] = '\0';
    memcpy(szProgFile, buf, (size_t)n + 1);
}

bool validSlot(int iChannel)
{
    return g_procChannels && iChannel >= 0 && iChannel < g_cfg.nMaxChannels;
}

/* Slot iChannel when it is valid and has a child to stop; null otherwise. The caller holds the
 * engine mutex. */
RUXO_PROC_CTX* busySlot(int iChannel)
{
    if (!validSlot(iChannel) || g_procChannels[iChannel].state == RUXO_STATE_IDLE)
        return nullptr;
    return &g_procChannels[iChannel];
}

/* Sends sig to the slot's child. A failure is logged and the stop goes on: the poll reaps. */
void signalChild(int iChannel, pid_t pid, int sig)
{
    if (kill(pid, sig) != 0)
        _ruxoLogErrno(iChannel, "cannot signal the transcoder", errno);
}

/* Takes a slot out of the watched set and closes its child descriptor; the set goes with the last. */
void unwatchSlot(RUXO_PROC_CTX* pProc)
{
    _ruxoReadyRemoveSlot(&s_ready, pProc->pipeStdout[0], pProc->fdReport, &pProc->fdChild);
}

/* Reads what is waiting in the slot's output pipe and hands it on chunk by chunk. */
void drainOutput(RUXO_PROC_CTX* pProc, void* pContext, RUXO_CALLBACK fnCallback)
{
    char buf[kChunkSize];
    /* Bounded: a child that writes faster than we read cannot hold the poll forever. */
    for (int n = 0; n < 1024 && pProc->pipeStdout[0] != 0; ++n) {
        ssize_t r = read(pProc->pipeStdout[0], buf, sizeof buf - 1);
        if (r < 1)
            break;
        buf[r] = '\0'; /* only what was read is handed on: no need to clear the buffer first */
        if (fnCallback)
            fnCallback(pContext, buf);
        /* A short read emptied the pipe: asking again would only cost a read that finds nothing. */
        if ((size_t)r < sizeof buf - 1)
            break;
    }
}

/* Reads what the slot's child reported through its close-on-exec pipe and logs it: a failure to
 * bind it to its processors (it goes on), or why it could not run the transcoder (it ends with
 * status 127, and nothing will read its input, so that pipe closes). End of file means that the
 * exec happened (or the child has ended): the pipe is closed and no longer watched. */
void readReports(RUXO_PROC_CTX* pProc)
{
    const int iSlot = (int)(pProc - g_procChannels);
    while (pProc->fdReport != 0) {
        RUXO_CHILD_REPORT rep;
        int r = _ruxoChildReadReport(pProc->fdReport, &rep);
        if (r == 0)
            return;
        if (r < 0) { /* end of file, an error, or a cut report */
            _ruxoReadyRemove(&s_ready, pProc->fdReport);
            _ruxoCloseFd(&pProc->fdReport);
            return;
        }
        if (_ruxoChildLogReport(iSlot, &rep, g_cfg.szfnFfmpeg))
            _ruxoCloseFd(&pProc->pipeStdin[1]);
    }
}

/* A non-blocking wait for the slot's child: true when it has ended (its wait status in nExitCode),
 * is no child of ours (ECHILD: nExitCode keeps the last known status) or the slot has none (pid
 * <= 0 is never waited for: that would mean any child). */
bool childEnded(RUXO_PROC_CTX* pProc)
{
    if (pProc->pid <= 0)
        return true;
    int status = 0;
    pid_t r = waitpid(pProc->pid, &status, WNOHANG);
    if (r == pProc->pid) {
        pProc->nExitCode = status;
        return true;
    }
    return r < 0 && errno == ECHILD;
}

/* The slot's child has ended: the slot becomes idle, what the child wrote just before it ended is
 * drained as its own (it must not reach the next child's log), and the slot's descriptors close. */
void finishSlot(RUXO_PROC_CTX* pProc, void* pContext, RUXO_CALLBACK fnCallback)
{
    pProc->pid = 0;
    pProc->state = RUXO_STATE_IDLE;
    readReports(pProc); /* what the child reported is logged before its end */
    drainOutput(pProc, pContext, fnCallback);
    unwatchSlot(pProc);
    _ruxoFreePipes(pProc);
}

/* An integer after a field name of a progress line ("%d" rules, clamped to the int range). */
bool parseInt(const char* p, int* out)
{
    char* end = nullptr;
    errno = 0;
    long long v = strtoll(p, &end, 10);
    if (end == p)
        return false;
    if (v > INT32_MAX)
        v = INT32_MAX;
    if (v < INT32_MIN)
        v = INT32_MIN;
    *out = (int)v;
    return true;
}

}  // namespace

/* ---- settings and start-up ------------------------------------------------------------------- */

void _ruxoSetClock(RUXO_CLOCK fnClock)
{
    s_fnClock.store(fnClock);
}

time_t _ruxoNow(void)
{
    RUXO_CLOCK fnClock = s_fnClock.load();
    return fnClock ? fnClock() : monotonicSeconds();
}

const char* ruxoGetProgFile(void)
{
    std::lock_guard<std::mutex> lk(s_progMutex);
    readProgFile();
    return szProgFile;
}

const char* ruxoGetProgDir(void)
{
    std::lock_guard<std::mutex> lk(s_progMutex);
    if (szProgDir[0])
        return szProgDir;
    readProgFile();
    const char* slash = strrchr(szProgFile, '/');
    size_t n = slash ? (size_t)(slash - szProgFile) : strlen(szProgFile);
    memcpy(szProgDir, szProgFile, n);
    szProgDir[n] = '\0';
    return szProgDir;
}

void ruxoSetLog(int nLogLevel)
{
    g_cfg.nLogLevel.store(nLogLevel);
    _ruxoLogSetLevel(nLogLevel);
}

void ruxoSetCpuAffinity(int nCpuPerChannel)
{
    g_cfg.nCpuPerChannel.store(nCpuPerChannel);
}

void ruxoSetAppCallback(RUXO_CALLBACK fnAppCallback)
{
    g_cfg.fnAppCallback.store(fnAppCallback);
}

void ruxoInitChannels(void)
{
    std::lock_guard<std::recursive_mutex> lk(g_engineMutex);
    free(g_procChannels);
    g_procChannels = static_cast<RUXO_PROC_CTX*>(calloc(RUXO_MAX_SLOTS, sizeof(RUXO_PROC_CTX)));
    g_cfg.nMaxChannels = g_procChannels ? RUXO_MAX_SLOTS : 0;
}

int _ruxoInitInternal(const RUXO_CONFIG* pConfig, int bUnicode)
{
    if (!pConfig)
        return RUXO_ERR_FAILED;
    std::lock_guard<std::recursive_mutex> lk(g_engineMutex);

    std::string progDir = ruxoGetProgDir();
    std::string progFile = ruxoGetProgFile();

    /* A transcoder path that does not fit cannot be executed either. */
    std::string exe;
    if (pConfig->pszDllPath) {
        if (!configText(pConfig->pszDllPath, bUnicode, &exe))
            return RUXO_ERR_NOT_EXECUTABLE;
    } else {
        exe = progDir;
    }
    if (exe.empty() || exe.back() != '/')
        exe += '/';
    exe += RUXO_TRANSCODER_NAME;

    std::string data = progDir;
    if (pConfig->pszDataPath) {
        if (!configText(pConfig->pszDataPath, bUnicode, &data))
            return RUXO_ERR_FAILED;
        if (!data.empty() && data.back() == '/')
            data.pop_back();
    }

    char szExe[RUXO_MAX_PATH], szData[RUXO_MAX_PATH], szProg[RUXO_MAX_PATH] = "";
    if (!copyBounded(szExe, sizeof szExe, exe))
        return RUXO_ERR_NOT_EXECUTABLE;
    if (!copyBounded(szData, sizeof szData, data))
        return RUXO_ERR_FAILED;
    copyBounded(szProg, sizeof szProg, progFile); /* empty when it does not fit; nothing reads it */
    /* Under the engine mutex (held here), which every reader of the paths holds; the logs keep
     * their own copy of the data folder. */
    snprintf(g_cfg.szfnFfmpeg, sizeof g_cfg.szfnFfmpeg, "%s", szExe);
    snprintf(g_cfg.szfnFfserver, sizeof g_cfg.szfnFfserver, "%s", szProg);
    snprintf(g_cfg.szDataPath, sizeof g_cfg.szDataPath, "%s", szData);
    _ruxoLogSetFolder(szData);

    /* Only a regular executable file will do: root passes the access test on a folder too. */
    struct stat st;
    if (access(g_cfg.szfnFfmpeg, X_OK) != 0 || stat(g_cfg.szfnFfmpeg, &st) != 0 || !S_ISREG(st.st_mode))
        return RUXO_ERR_NOT_EXECUTABLE;

    long n = sysconf(_SC_NPROCESSORS_ONLN);
    /* Read without a lock by the status reply (web thread). */
    g_cfg.nCPUs.store(n < 1 ? 1 : (n > INT32_MAX ? INT32_MAX : (int)n));
    g_cfg.nCpuPerChannel.store(pConfig->nCpuPerChannel);

    ruxoInitChannels();
    if (!g_procChannels)
        return RUXO_ERR_FAILED;

    /* A write to a child that has already ended must report EPIPE, not end the daemon. */
    struct sigaction sa;
    if (sigaction(SIGPIPE, nullptr, &sa) == 0 && sa.sa_handler == SIG_DFL) {
        memset(&sa, 0, sizeof sa);
        sa.sa_handler = SIG_IGN;
        sigemptyset(&sa.sa_mask);
        sigaction(SIGPIPE, &sa, nullptr);
    }

    g_cfg.nLogLevel.store(pConfig->nLogLevel);
    _ruxoLogSetLevel(pConfig->nLogLevel);
    _ruxoLogSetUp(true);
    g_cfg.bInit.store(TRUE);
    return RUXO_OK;
}

int ruxoInitA(const RUXO_CONFIG* pConfig)
{
    std::lock_guard<std::recursive_mutex> lk(g_engineMutex);
    if (g_cfg.bInit.load())
        return RUXO_OK;
    return _ruxoInitInternal(pConfig, 0);
}

int ruxoInitW(const RUXO_CONFIG* pConfig)
{
    std::lock_guard<std::recursive_mutex> lk(g_engineMutex);
    if (g_cfg.bInit.load())
        return RUXO_OK;
    return _ruxoInitInternal(pConfig, 1);
}

/* ---- slots and children ---------------------------------------------------------------------- */

void _ruxoFreePipes(RUXO_PROC_CTX* pProc)
{
    _ruxoFreePipe(pProc->pipeStdin);
    _ruxoFreePipe(pProc->pipeStdout);
    _ruxoCloseFd(&pProc->fdReport);
}

namespace {

/* The stop that was asked for while the slot's start was under way, given now that it has a child
 * (or handed back, when the start failed). The caller holds g_engineMutex. */
void giveStartStop(int iChannel, RUXO_PROC_CTX* pProc)
{
    int nStop = pProc->nStartStop, nWithin = pProc->nStartWithin;
    pProc->nStartStop = -1;
    pProc->nStartWithin = -1;
    if (pProc->state == RUXO_STATE_IDLE)
        return;
    if (nWithin >= 0)
        ruxoStopWithin(iChannel, nWithin);
    if (nStop == 1 || (nStop == 0 && nWithin < 0))
        ruxoStop(iChannel, nStop);
}

}  // namespace

int _ruxoClaimSlot(int iChannel, int bPreview, std::string* pExe)
{
    std::lock_guard<std::recursive_mutex> lk(g_engineMutex);
    if (!g_cfg.bInit.load())
        return RUXO_ERR_NOT_INIT;
    if (!validSlot(iChannel))
        return RUXO_ERR_CHANNEL;
    RUXO_PROC_CTX* pProc = &g_procChannels[iChannel];
    if (pProc->state != RUXO_STATE_IDLE || pProc->bStarting)
        return RUXO_ERR_BUSY; /* never orphan a running child */
    /* Whatever a previous child left behind goes with its pipes: every child starts afresh. */
    unwatchSlot(pProc);
    _ruxoFreePipes(pProc);
    pProc->pid = 0;
    pProc->nStreamingSec = -1;
    pProc->nFPS = -1;
    pProc->nBitrate = -1;
    pProc->tmAlive = 0;
    pProc->tmKillAt = 0;
    pProc->bStarting = true;
    pProc->nStartState = bPreview ? RUXO_STATE_PREVIEW : RUXO_STATE_RUNNING;
    pProc->nStartStop = -1;
    pProc->nStartWithin = -1;
    *pExe = g_cfg.szfnFfmpeg;
    return RUXO_OK;
}

void _ruxoUnclaimSlot(int iChannel)
{
    std::lock_guard<std::recursive_mutex> lk(g_engineMutex);
    if (!validSlot(iChannel))
        return;
    RUXO_PROC_CTX* pProc = &g_procChannels[iChannel];
    pProc->bStarting = false;
    pProc->nStartStop = -1;
    pProc->nStartWithin = -1;
}

int _ruxoStartProc(int iChannel, const std::string& exe, const char* szArg)
{
    RUXO_CHILD child;
    int rc = _ruxoChildStart(iChannel, exe.c_str(), g_cfg.nCpuPerChannel.load(), g_cfg.nCPUs.load(), szArg, &child);
    if (rc != RUXO_OK) {
        _ruxoUnclaimSlot(iChannel);
        return rc;
    }

    /* Published: from here on the poll looks at this slot when its output, its exec report or the
     * end of its child is told, and a stop reaches the child. */
    std::lock_guard<std::recursive_mutex> lk(g_engineMutex);
    RUXO_PROC_CTX* pProc = &g_procChannels[iChannel];
    pProc->pid = child.pid;
    pProc->pipeStdin[1] = child.fdInput;
    pProc->pipeStdout[0] = child.fdOutput;
    pProc->fdReport = child.fdReport;
    pProc->fdChild = _ruxoReadyAdd(&s_ready, iChannel, child.pid, pProc->pipeStdout[0], pProc->fdReport);
    pProc->state = pProc->nStartState;
    pProc->bStarting = false;
    giveStartStop(iChannel, pProc);
    return RUXO_OK;
}

void ruxoStop(int iChannel, int nStopMode)
{
    std::lock_guard<std::recursive_mutex> lk(g_engineMutex);
    if (validSlot(iChannel) && g_procChannels[iChannel].bStarting) {
        /* Given to the child as soon as the start has published it. */
        RUXO_PROC_CTX* pStarting = &g_procChannels[iChannel];
        if (nStopMode == 0 || nStopMode == 1)
            pStarting->nStartStop = nStopMode > pStarting->nStartStop ? nStopMode : pStarting->nStartStop;
        return;
    }
    RUXO_PROC_CTX* pProc = busySlot(iChannel);
    if (!pProc)
        return;
    if (nStopMode == 1) {
        if (pProc->pid > 0)
            signalChild(iChannel, pProc->pid, SIGKILL);
        pProc->state = RUXO_STATE_STOPPING;
        ruxoLog(iChannel, 1, "stop transcoding forcedly");
    } else if (nStopMode == 0) {
        if ((pProc->state == RUXO_STATE_RUNNING || pProc->state == RUXO_STATE_PREVIEW) && pProc->pid > 0)
            signalChild(iChannel, pProc->pid, SIGINT);
        pProc->state = RUXO_STATE_STOPPING;
        ruxoLog(iChannel, 1, "stop transcoding");
    }
}

void ruxoStopWithin(int iChannel, int nSeconds)
{
    std::lock_guard<std::recursive_mutex> lk(g_engineMutex);
    if (validSlot(iChannel) && g_procChannels[iChannel].bStarting) {
        if (g_procChannels[iChannel].nStartWithin < 0)
            g_procChannels[iChannel].nStartWithin = nSeconds > 0 ? nSeconds : 0;
        return;
    }
    RUXO_PROC_CTX* pProc = busySlot(iChannel);
    if (!pProc)
        return;
    if (pProc->state != RUXO_STATE_STOPPING)
        ruxoStop(iChannel, 0);
    if (pProc->tmKillAt == 0)
        pProc->tmKillAt = _ruxoNow() + (nSeconds > 0 ? nSeconds : 0);
}

void _ruxoPollProc(RUXO_PROC_CTX* pProc, void* pContext, RUXO_CALLBACK fnCallback)
{
    std::lock_guard<std::recursive_mutex> lk(g_engineMutex);
    readReports(pProc);
    drainOutput(pProc, pContext, fnCallback);
    if (childEnded(pProc))
        finishSlot(pProc, pContext, fnCallback);
}

int _ruxoLogFilter(int iChannel, char* szLog)
{
    std::lock_guard<std::recursive_mutex> lk(g_engineMutex);
    if (validSlot(iChannel)) {
        RUXO_PROC_CTX* pProc = &g_procChannels[iChannel];
        pProc->tmAlive = _ruxoNow();
        const char* t = strstr(szLog, " time=");
        if (t) {
            t += 6;
            char tbuf[100];
            size_t n = 0;
            while (n < sizeof tbuf - 1 && t[n] && !strchr(". \t\r\n", t[n]))
                ++n;
            memcpy(tbuf, t, n);
            tbuf[n] = '\0';
            int h, m, s;
            if (sscanf(tbuf, "%d:%d:%d", &h, &m, &s) == 3) {
                long long sec = (long long)h * 3600 + (long long)m * 60 + s;
                if (sec > INT32_MAX)
                    sec = INT32_MAX;
                if (sec < INT32_MIN)
                    sec = INT32_MIN;
                pProc->nStreamingSec = (int)sec;
            }
            const char* f = strstr(szLog, " fps=");
            if (f)
                parseInt(f + 5, &pProc->nFPS);
            const char* b = strstr(szLog, " bitrate=");
            if (b)
                parseInt(b + 9, &pProc->nBitrate);
        }
    }

    ruxoLog(iChannel, 0, szLog);

    if (strstr(szLog, "Number of bands") || strstr(szLog, "channel element"))
        ruxoStop(iChannel, 0);
    if (strstr(szLog, "Queue input is backward in time"))
        ruxoStop(iChannel, 0);

    RUXO_CALLBACK fn = g_cfg.fnAppCallback.load();
    if (fn)
        fn(reinterpret_cast<void*>((intptr_t)iChannel), szLog);
    return RUXO_OK;
}

void _ruxoPollCallback(void* pContext, char* szInfo)
{
    _ruxoLogFilter((int)(intptr_t)pContext, szInfo);
}

int ruxoPoll(void)
{
    std::lock_guard<std::recursive_mutex> lk(g_engineMutex);
    time_t now = _ruxoNow();
    int nSlots = g_procChannels ? g_cfg.nMaxChannels : 0;
    if (nSlots > RUXO_MAX_SLOTS)
        nSlots = RUXO_MAX_SLOTS;

    /* Which watched slots have output waiting (or a closed pipe), an exec report (or its end) and
     * which children have ended: one call, whatever the number of busy slots. A busy slot that is
     * not watched is read and waited for on every pass; when the call fails (a signal), so is every
     * busy slot. A slot whose start is under way is idle here and untouched. */
    enum { kOutput = RUXO_READY_OUTPUT, kChild = RUXO_READY_CHILD, kReport = RUXO_READY_REPORT };
    unsigned char aWork[RUXO_MAX_SLOTS];
    memset(aWork, 0, sizeof aWork);
    bool bAskAll = !_ruxoReadyWait(&s_ready, nSlots, aWork);

    for (int i = 0; i < nSlots; ++i) {
        RUXO_PROC_CTX* pProc = &g_procChannels[i];
        if (pProc->state == RUXO_STATE_IDLE)
            continue;
        void* pContext = reinterpret_cast<void*>((intptr_t)i);
        if (bAskAll || pProc->fdChild == 0)
            aWork[i] = kOutput | kChild | kReport;
        /* The report first: a child that could not run the transcoder says so before its end. */
        if (aWork[i] & kReport)
            readReports(pProc);
        if (aWork[i] & kOutput)
            drainOutput(pProc, pContext, _ruxoPollCallback);
        if ((aWork[i] & kChild) && childEnded(pProc))
            finishSlot(pProc, pContext, _ruxoPollCallback);
        if (pProc->state == RUXO_STATE_IDLE) {
            char line[64];
            snprintf(line, sizeof line, "transcoding stopped (0x%08x)", (unsigned)pProc->nExitCode);
            ruxoLog(i, 1, line);
        }
        if (pProc->tmAlive > 0 && now - pProc->tmAlive > kHangSeconds) {
            ruxoLog(i, 1, "channel seems to be hanging for over 30 secs, killing...");
            ruxoStop(i, 1);
        }
        if (pProc->tmKillAt > 0 && pProc->state != RUXO_STATE_IDLE && now >= pProc->tmKillAt) {
            pProc->tmKillAt = 0; /* one kill; the reap follows */
            ruxoStop(i, 1);
        }
        /* An idle channel keeps no log open; its next start opens it again. */
        if (pProc->state == RUXO_STATE_IDLE)
            _ruxoLogRelease(i);
    }
    if (now != last_sec) {
        last_sec = now;
        collectCpuUsage();
    }
    return RUXO_OK;
}

/* ---- processor load --------------------------------------------------------------------------- */

void _ruxoSetProcStatPath(const char* szPath)
{
    std::lock_guard<std::recursive_mutex> lk(g_engineMutex);
    s_cpuSampler.strStatPath = szPath ? szPath : "/proc/stat";
}

void collectCpuUsage(void)
{
    std::lock_guard<std::recursive_mutex> lk(g_engineMutex);
    _ruxoCpuSample(&s_cpuSampler, _ruxoNow(), g_cfg.nCPUs.load(), g_cfg.cpuUsage);
}

int ruxoGetCpuLoad(int iCpu)
{
    if (iCpu < 0 || iCpu >= RUXO_MAX_CPUS || iCpu >= g_cfg.nCPUs.load())
        return 0;
    return g_cfg.cpuUsage[iCpu].load_pct.load();
}

/* ---- release and getters --------------------------------------------------------------------- */

void ruxoFree(void)
{
    /* Held throughout (but for the wait on starts under way): no start, stop or new start-up may
     * meet a table that is being taken down. */
    std::unique_lock<std::recursive_mutex> lk(g_engineMutex);
    if (!g_cfg.bInit.load())
        return;
    g_cfg.bInit.store(FALSE);
    _ruxoLogSetUp(false);

    /* No new start can claim a slot now; one under way publishes its child (which the stops below
     * then reach) with the lock let go for a moment. Its remaining work is a fork and a few
     * writes that never block. */
    for (;;) {
        bool bStarting = false;
        for (int i = 0; g_procChannels && i < g_cfg.nMaxChannels; ++i)
            bStarting = bStarting || g_procChannels[i].bStarting;
        if (!bStarting)
            break;
        lk.unlock();
        usleep(1000);
        lk.lock();
    }

    for (int i = 0; g_procChannels && i < g_cfg.nMaxChannels; ++i) {
        RUXO_CHANNEL_STATE s = g_procChannels[i].state;
        if (s == RUXO_STATE_RUNNING || s == RUXO_STATE_PREVIEW)
            ruxoStop(i, 0);
    }

    int waits = 0;
    for (int i = 0; g_procChannels && i < g_cfg.nMaxChannels; ++i) {
        RUXO_PROC_CTX* pProc = &g_procChannels[i];
        while (pProc->state != RUXO_STATE_IDLE) {
            if (waits >= kReleaseWaits) {
                ruxoStop(i, 1);
                break;
            }
            usleep(kReleaseWaitUs);
            ruxoPoll();
            ++waits;
        }
        _ruxoFreePipes(pProc);
    }

    /* A killed child dies at once; reap it (bounded) so that no zombie outlives the table. The
     * slots still busy are exactly those whose child was killed above. */
    for (int tries = 0; tries < 100; ++tries) {
        bool left = false;
        for (int i = 0; g_procChannels && i < g_cfg.nMaxChannels; ++i) {
            RUXO_PROC_CTX* pProc = &g_procChannels[i];
            if (pProc->state == RUXO_STATE_IDLE)
                continue;
            _ruxoPollProc(pProc, nullptr, nullptr); /* pipes are closed: only the wait */
            left = left || pProc->state != RUXO_STATE_IDLE;
        }
        if (!left)
            break;
        usleep(5000);
    }

    for (int i = 0; g_procChannels && i < g_cfg.nMaxChannels; ++i)
        unwatchSlot(&g_procChannels[i]);
    free(g_procChannels);
    g_procChannels = nullptr;
    g_cfg.nMaxChannels = 0;
    _ruxoLogReleaseAll();
}

/* Nesting of ruxoHoldSlots on this thread. */
static thread_local int t_nSlotsHeld = 0;

/* The engine's lock for a getter, taken only when this thread does not hold the slot table already
 * (ruxoHoldSlots): a walk over many slots then takes it once, not once per getter. */
class SlotsRead {
public:
    SlotsRead() : m_bTaken(t_nSlotsHeld == 0)
    {
        if (m_bTaken)
            g_engineMutex.lock();
    }
    ~SlotsRead()
    {
        if (m_bTaken)
            g_engineMutex.unlock();
    }
    SlotsRead(const SlotsRead&) = delete;
    SlotsRead& operator=(const SlotsRead&) = delete;

private:
    bool m_bTaken;
};

RUXO_CHANNEL_STATE ruxoGetState(int iChannel)
{
    SlotsRead lk;
    if (!validSlot(iChannel))
        return RUXO_STATE_IDLE;
    const RUXO_PROC_CTX& slot = g_procChannels[iChannel];
    if (slot.bStarting) /* what the start under way makes of it; stopping once a stop was asked */
        return slot.nStartStop >= 0 || slot.nStartWithin >= 0 ? RUXO_STATE_STOPPING : slot.nStartState;
    return slot.state;
}

int ruxoGetStreamTime(int iChannel)
{
    int nSec, nFPS, nKbps;
    ruxoGetStreamProgress(iChannel, &nSec, &nFPS, &nKbps);
    return nSec;
}

int ruxoGetStreamFPS(int iChannel)
{
    int nSec, nFPS, nKbps;
    ruxoGetStreamProgress(iChannel, &nSec, &nFPS, &nKbps);
    return nFPS;
}

int ruxoGetStreamBitrate(int iChannel)
{
    int nSec, nFPS, nKbps;
    ruxoGetStreamProgress(iChannel, &nSec, &nFPS, &nKbps);
    return nKbps;
}

void ruxoGetStreamProgress(int iChannel, int* pnSec, int* pnFPS, int* pnKbps)
{
    SlotsRead lk;
    bool bValid = validSlot(iChannel);
    *pnSec = bValid ? g_procChannels[iChannel].nStreamingSec : -1;
    *pnFPS = bValid ? g_procChannels[iChannel].nFPS : -1;
    *pnKbps = bValid ? g_procChannels[iChannel].nBitrate : -1;
}

void ruxoHoldSlots(void)
{
    g_engineMutex.lock();
    t_nSlotsHeld++;
}

void ruxoReleaseSlots(void)
{
    t_nSlotsHeld--;
    g_engineMutex.unlock();
}

int ruxoGetExitCode(int iChannel)
{
    std::lock_guard<std::recursive_mutex> lk(g_engineMutex);
    return validSlot(iChannel) ? g_procChannels[iChannel].nExitCode : 0;
}
