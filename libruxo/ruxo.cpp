/* ruxo.cpp -- the engine's core: settings and start-up, the slot table with one transcoder child
 * per busy slot (start, stop, poll, reap, hang detection, release) and the small pipe writers. The
 * channel logs are in ruxo_log.cpp, the processors' load in ruxo_cpu.cpp.
 *
 * Locking: g_engineMutex (recursive) guards the slot table and every slot field. Settings words
 * that other threads read without a lock (log level, processor count, processors per channel, the
 * init flag, the callback) are atomics.
 *
 * Failed system calls of a start or a stop are logged to the channel's log with their errno. The
 * forked child writes nothing but its exit: what fails in it before the transcoder runs comes back
 * through a close-on-exec pipe that the parent reads until the exec closes it.
 *
 * Cost: every busy slot's output pipe and child (a pidfd) sit in one epoll set, so a pass of the
 * poll learns with one call which slots have output waiting or a child that has ended and touches
 * only those, however many slots are busy. */
#include "ruxo_internal.h"
#include "ruxo_text_core.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <string>

extern char** environ;

RUXO_GLOBAL g_cfg;
std::recursive_mutex g_engineMutex;
RUXO_PROC_CTX* g_procChannels = nullptr;

namespace {

const int kHangSeconds = 30;   /* silence after which a child counts as hanging */
const int kReleaseWaits = 100; /* release: 100 waits of 30 ms for all slots together */
const int kReleaseWaitUs = 30000;
const size_t kChunkSize = 4096; /* one read of transcoder output, NUL included */
/* How long a start waits for its child to reach the transcoder (or report why not). */
const int kExecReportMs = 5000;

std::mutex s_progMutex; /* leaf: the program path buffers */

char szProgFile[RUXO_MAX_PATH];
char szProgDir[RUXO_MAX_PATH];

/* The descriptors that the poll asks about: the output pipe and the child descriptor of every
 * watched slot, each tagged with the slot index and its kind. The set exists while a slot is
 * watched (0 = none), so an engine without children holds no descriptor. Under g_engineMutex. */
int s_fdWatch = 0;
int s_nWatched = 0;
enum { kWatchOutput = 0, kWatchChild = 1 };

/* Sampling pace: the second of the poll that last sampled. Under g_engineMutex. */
time_t last_sec;

std::atomic<RUXO_CLOCK> s_fnClock{nullptr}; /* read on every thread that logs or polls */

/* What the child reports through its close-on-exec pipe: a step that failed and its errno. An
 * affinity failure is reported and the child goes on; the others end it with status 127. */
enum { kStageAffinity = 1, kStageStdio = 2, kStageExec = 3 };
struct CHILD_REPORT {
    int nStage;
    int nErrno;
};

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

/* Closes a descriptor of ours that is not 0 (none) and marks it closed. */
void closeFd(RUXO_PIPE* fd)
{
    if (*fd != 0) {
        close(*fd);
        *fd = 0;
    }
}

/* Sends sig to the slot's child. A failure is logged and the stop goes on: the poll reaps. */
void signalChild(int iChannel, pid_t pid, int sig)
{
    if (kill(pid, sig) != 0)
        _ruxoLogErrno(iChannel, "cannot signal the transcoder", errno);
}

/* A pipe whose both ends are close-on-exec and above 2. */
bool makePipe(RUXO_PIPE fds[2])
{
    int p[2];
    if (pipe2(p, O_CLOEXEC) != 0)
        return false;
    p[0] = _ruxoAboveStdio(p[0]);
    p[1] = _ruxoAboveStdio(p[1]);
    if (p[0] < 0 || p[1] < 0) {
        if (p[0] >= 0)
            close(p[0]);
        if (p[1] >= 0)
            close(p[1]);
        return false;
    }
    fds[0] = p[0];
    fds[1] = p[1];
    return true;
}

/* A pidfd of our child pid (close-on-exec, above 2; readable once the child has ended), or 0 when
 * the kernel offers none (a kernel without the call is no fault and is not logged). */
int openChildFd(int iSlot, pid_t pid)
{
#ifdef SYS_pidfd_open
    int fd = _ruxoAboveStdio((int)syscall(SYS_pidfd_open, pid, 0));
    if (fd < 0 && errno != ENOSYS)
        _ruxoLogErrno(iSlot, "cannot open a descriptor of the transcoder", errno);
    return fd > 0 ? fd : 0;
#else
    (void)iSlot;
    (void)pid;
    return 0;
#endif
}

bool watchFd(int fd, int iSlot, int nKind)
{
    struct epoll_event ev;
    memset(&ev, 0, sizeof ev);
    ev.events = EPOLLIN;
    ev.data.u32 = (uint32_t)iSlot << 1 | (uint32_t)nKind;
    if (epoll_ctl(s_fdWatch, EPOLL_CTL_ADD, fd, &ev) == 0)
        return true;
    _ruxoLogErrno(iSlot, "cannot watch the transcoder", errno);
    return false;
}

void unwatchFd(int fd)
{
    if (s_fdWatch > 0 && fd > 0)
        epoll_ctl(s_fdWatch, EPOLL_CTL_DEL, fd, nullptr);
}

/* Puts a new child's output pipe and a descriptor of the child itself into the watched set; returns
 * the child descriptor for the slot's fdChild, or 0 (nothing left watched) when either cannot be
 * had: the poll then reads and waits for that slot on every pass. */
int watchChild(int iSlot, pid_t pid, int fdOutput)
{
    if (iSlot < 0 || fdOutput <= 0)
        return 0;
    if (s_fdWatch <= 0) {
        int fd = _ruxoAboveStdio(epoll_create1(EPOLL_CLOEXEC));
        if (fd <= 0) {
            _ruxoLogErrno(iSlot, "cannot create the set of watched transcoders", errno);
            return 0;
        }
        s_fdWatch = fd;
    }
    int fdChild = openChildFd(iSlot, pid);
    if (fdChild > 0) {
        if (watchFd(fdOutput, iSlot, kWatchOutput)) {
            if (watchFd(fdChild, iSlot, kWatchChild)) {
                s_nWatched++;
                return fdChild;
            }
            unwatchFd(fdOutput);
        }
        close(fdChild);
    }
    if (s_nWatched == 0)
        closeFd(&s_fdWatch);
    return 0;
}

/* Takes a slot out of the watched set and closes its child descriptor; the set goes with the last. */
void unwatchSlot(RUXO_PROC_CTX* pProc)
{
    if (pProc->fdChild == 0)
        return;
    unwatchFd(pProc->pipeStdout[0]);
    unwatchFd(pProc->fdChild);
    closeFd(&pProc->fdChild);
    if (--s_nWatched <= 0) {
        s_nWatched = 0;
        closeFd(&s_fdWatch);
    }
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
    _ruxoLogSetPaths(szExe, szProg, szData);

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

/* ---- pipes ----------------------------------------------------------------------------------- */

int _ruxoAboveStdio(int fd)
{
    if (fd < 0 || fd > 2)
        return fd;
    int d = fcntl(fd, F_DUPFD_CLOEXEC, 3);
    int err = errno;
    close(fd);
    errno = err;
    return d;
}

size_t pipeWrite(RUXO_PIPE pipe, const void* buf, size_t len)
{
    ssize_t w;
    do {
        w = write(pipe, buf, len);
    } while (w < 0 && errno == EINTR);
    return (size_t)w;
}

size_t pipeWriteStr(RUXO_PIPE pipe, const char* szbuf)
{
    return pipeWrite(pipe, szbuf, strlen(szbuf));
}

size_t pipePrintf(RUXO_PIPE pipe, const char* fmt, ...)
{
    char buf[1000];
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    if (n < 0)
        return (size_t)-1;
    if ((size_t)n >= sizeof buf) {
        errno = EMSGSIZE;
        return (size_t)-1;
    }
    return pipeWrite(pipe, buf, (size_t)n);
}

void _ruxoFreePipe(RUXO_PIPE* pipeStd)
{
    closeFd(&pipeStd[0]);
    closeFd(&pipeStd[1]);
}

void _ruxoFreePipes(RUXO_PROC_CTX* pProc)
{
    _ruxoFreePipe(pProc->pipeStdin);
    _ruxoFreePipe(pProc->pipeStdout);
}

/* ---- children -------------------------------------------------------------------------------- */

namespace {

/* Everything a forked child needs, prepared before the fork: after it the child only makes
 * async-signal-safe system calls and touches no lock. */
struct CHILD_PLAN {
    char* szfnExe;
    char* argv[2];
    char** envp;
    cpu_set_t cpus;
    int nBound;    /* processors in cpus; 0 = no binding */
    int maxFd;     /* descriptors closed one by one when close_range is missing */
    int inR, outW; /* the child's ends of its input and output pipes */
    int reportW;   /* write end of the report pipe (close-on-exec) */
    struct sigaction saDefault;
    struct sigaction saIgnore; /* SIGPIPE while the child may report: a parent that stopped
                                * waiting must not turn the child's end into a signal */
    sigset_t noSignals;
};

void prepareChild(CHILD_PLAN* pPlan, const RUXO_PROC_CTX* pProc, int iChannel, char* szfnExe, int reportW)
{
    pPlan->szfnExe = szfnExe;
    pPlan->argv[0] = szfnExe;
    pPlan->argv[1] = nullptr;
    pPlan->envp = environ;
    pPlan->nBound = _ruxoCpuSetForSlot(iChannel, g_cfg.nCpuPerChannel.load(), g_cfg.nCPUs.load(), &pPlan->cpus);
    struct rlimit rl;
    pPlan->maxFd = 1024;
    if (getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur != RLIM_INFINITY)
        pPlan->maxFd = rl.rlim_cur > 65536 ? 65536 : (int)rl.rlim_cur;
    pPlan->inR = pProc->pipeStdin[0];
    pPlan->outW = pProc->pipeStdout[1];
    pPlan->reportW = reportW;
    memset(&pPlan->saDefault, 0, sizeof pPlan->saDefault);
    pPlan->saDefault.sa_handler = SIG_DFL;
    sigemptyset(&pPlan->saDefault.sa_mask);
    pPlan->saIgnore = pPlan->saDefault;
    pPlan->saIgnore.sa_handler = SIG_IGN;
    sigemptyset(&pPlan->noSignals);
}

/* Tells the parent which step failed; a write to the fresh pipe never blocks. */
void reportToParent(int reportW, int nStage, int err)
{
    CHILD_REPORT rep = {nStage, err};
    ssize_t w;
    do {
        w = write(reportW, &rep, sizeof rep);
    } while (w < 0 && errno == EINTR);
}

/* The forked child: default signal handling, its processors, the pipes as 0, 1 and 2, every other
 * descriptor closed but the report pipe (closed by the exec), then the transcoder. Never returns. */
[[noreturn]] void runChild(const CHILD_PLAN* pPlan)
{
    for (int sig = 1; sig < NSIG; ++sig)
        sigaction(sig, sig == SIGPIPE ? &pPlan->saIgnore : &pPlan->saDefault, nullptr);
    sigprocmask(SIG_SETMASK, &pPlan->noSignals, nullptr);
    if (pPlan->nBound > 0 && sched_setaffinity(0, sizeof pPlan->cpus, &pPlan->cpus) != 0)
        reportToParent(pPlan->reportW, kStageAffinity, errno);
    if (dup2(pPlan->inR, 0) < 0 || dup2(pPlan->outW, 1) < 0 || dup2(pPlan->outW, 2) < 0) {
        reportToParent(pPlan->reportW, kStageStdio, errno);
        _exit(127);
    }
    int r = pPlan->reportW; /* above 2 */
    bool bClosed = (r == 3 || close_range(3, (unsigned)r - 1, 0) == 0) && close_range((unsigned)r + 1, ~0U, 0) == 0;
    if (!bClosed)
        for (int fd = 3; fd < pPlan->maxFd; ++fd)
            if (fd != r)
                close(fd);
    sigaction(SIGPIPE, &pPlan->saDefault, nullptr);
    execve(pPlan->szfnExe, pPlan->argv, pPlan->envp);
    int err = errno;
    sigaction(SIGPIPE, &pPlan->saIgnore, nullptr);
    reportToParent(r, kStageExec, err);
    _exit(127);
}

/* Reads the child's reports until the exec closes the pipe (or the child has ended) and logs each
 * to the slot's log. True when the transcoder runs; false when the child could not get there and
 * ends with status 127. A child that takes longer than kExecReportMs is taken to be running. */
bool readChildReports(int iChannel, int reportR, const char* szfnExe)
{
    bool bRuns = true;
    int nWaited = 0;
    while (nWaited < kExecReportMs) {
        struct pollfd pfd = {reportR, POLLIN, 0};
        int n = poll(&pfd, 1, 100);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            _ruxoLogErrno(iChannel, "cannot wait for the transcoder to start", errno);
            break;
        }
        if (n == 0) {
            nWaited += 100;
            continue;
        }
        CHILD_REPORT rep;
        ssize_t r = read(reportR, &rep, sizeof rep);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            break; /* end of file: the exec closed the pipe, or the child has ended */
        if ((size_t)r != sizeof rep)
            break;
        if (rep.nStage == kStageAffinity) {
            _ruxoLogErrno(iChannel, "cannot bind the transcoder to its processors", rep.nErrno);
        } else if (rep.nStage == kStageStdio) {
            _ruxoLogErrno(iChannel, "cannot connect the transcoder's standard streams", rep.nErrno);
            bRuns = false;
        } else {
            std::string what = std::string("cannot run ") + szfnExe;
            _ruxoLogErrno(iChannel, what.c_str(), rep.nErrno);
            bRuns = false;
        }
    }
    return bRuns;
}

}  // namespace

int _ruxoStartProc(RUXO_PROC_CTX* pProc, char* szfnExe, int bPreview)
{
    std::lock_guard<std::recursive_mutex> lk(g_engineMutex);
    if (!g_cfg.bInit.load())
        return RUXO_ERR_NOT_INIT;
    int iChannel = (g_procChannels && pProc >= g_procChannels && pProc < g_procChannels + g_cfg.nMaxChannels)
                       ? (int)(pProc - g_procChannels)
                       : -1;

    /* Whatever a previous child left behind goes with its pipes: every child starts afresh. */
    unwatchSlot(pProc);
    _ruxoFreePipes(pProc);
    RUXO_PIPE pipeReport[2] = {0, 0};
    if (!makePipe(pProc->pipeStdin) || !makePipe(pProc->pipeStdout) || !makePipe(pipeReport)) {
        _ruxoLogErrno(iChannel, "cannot create a pipe to the transcoder", errno);
        _ruxoFreePipes(pProc);
        return RUXO_ERR_PIPE;
    }
    /* The poll must never block on this read end: a descriptor that cannot be made non-blocking
     * fails the start before there is a child. The child's write end stays blocking. */
    int fl = fcntl(pProc->pipeStdout[0], F_GETFL);
    if (fl < 0 || fcntl(pProc->pipeStdout[0], F_SETFL, fl | O_NONBLOCK) != 0) {
        _ruxoLogErrno(iChannel, "cannot make the transcoder's output pipe non-blocking", errno);
        _ruxoFreePipe(pipeReport);
        _ruxoFreePipes(pProc);
        return RUXO_ERR_PIPE;
    }

    CHILD_PLAN plan;
    prepareChild(&plan, pProc, iChannel, szfnExe, pipeReport[1]);
    pid_t pid = fork();
    pProc->pid = pid;
    if (pid < 0) {
        _ruxoLogErrno(iChannel, "cannot create the transcoder process", errno);
        _ruxoFreePipe(pipeReport);
        _ruxoFreePipes(pProc);
        return RUXO_ERR_CHILD;
    }
    if (pid == 0)
        runChild(&plan);

    /* The child's ends belong to the child now. */
    closeFd(&pProc->pipeStdin[0]);
    closeFd(&pProc->pipeStdout[1]);
    closeFd(&pipeReport[1]);
    /* A child that cannot run the transcoder has ended (or is ending) with 127: nothing reads its
     * input, so nothing is written to it; the poll reaps it like any other child. */
    if (!readChildReports(iChannel, pipeReport[0], szfnExe))
        closeFd(&pProc->pipeStdin[1]);
    closeFd(&pipeReport[0]);
    /* From here on the poll looks at this slot when its output or the end of its child is told. */
    pProc->fdChild = watchChild(iChannel, pid, pProc->pipeStdout[0]);

    pProc->nStreamingSec = -1;
    pProc->nFPS = -1;
    pProc->nBitrate = -1;
    pProc->tmAlive = 0;
    pProc->tmKillAt = 0;
    pProc->state = bPreview ? RUXO_STATE_PREVIEW : RUXO_STATE_RUNNING;
    return RUXO_OK;
}

int _ruxoStartChild(int iChannel, const char* szArg, int bPreview)
{
    std::lock_guard<std::recursive_mutex> lk(g_engineMutex);
    if (!validSlot(iChannel))
        return RUXO_ERR_FAILED; /* _ruxoStartProc checks the start-up */
    RUXO_PROC_CTX* pProc = &g_procChannels[iChannel];
    if (pProc->state != RUXO_STATE_IDLE)
        return RUXO_ERR_FAILED; /* never orphan a running child */
    int rc = _ruxoStartProc(pProc, g_cfg.szfnFfmpeg, bPreview);
    if (rc != RUXO_OK)
        return rc;
    /* A child that has already ended makes these fail with EPIPE (SIGPIPE is ignored): the start
     * still succeeds, and the next poll reaps the child and logs its end, which says all there is
     * to say. Any other failure is logged. The line always fits the fresh, empty pipe, so the
     * writes never block. */
    int fd = pProc->pipeStdin[1];
    if (fd > 0 &&
        (pipeWriteStr(fd, RUXO_ACCESS_TOKEN " ") == (size_t)-1 || pipeWriteStr(fd, szArg ? szArg : "") == (size_t)-1 ||
         pipeWriteStr(fd, "\n") == (size_t)-1) &&
        errno != EPIPE)
        _ruxoLogErrno(iChannel, "cannot write the command line to the transcoder", errno);
    return RUXO_OK;
}

void ruxoStop(int iChannel, int nStopMode)
{
    std::lock_guard<std::recursive_mutex> lk(g_engineMutex);
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

    /* Which watched slots have output waiting (or a closed pipe) and which children have ended:
     * one call, whatever the number of busy slots. A busy slot that is not watched is read and
     * waited for on every pass; when the call fails (a signal), so is every busy slot. */
    enum { kOutput = 1, kChild = 2 };
    unsigned char aWork[RUXO_MAX_SLOTS];
    memset(aWork, 0, sizeof aWork);
    bool bAskAll = false;
    if (s_fdWatch > 0) {
        struct epoll_event aEvents[2 * RUXO_MAX_SLOTS];
        int nEvents = epoll_wait(s_fdWatch, aEvents, 2 * RUXO_MAX_SLOTS, 0);
        bAskAll = nEvents < 0;
        for (int k = 0; k < nEvents; ++k) {
            uint32_t iSlot = aEvents[k].data.u32 >> 1;
            if (iSlot < (uint32_t)nSlots)
                aWork[iSlot] |= (aEvents[k].data.u32 & 1) == kWatchChild ? kChild : kOutput;
        }
    }

    for (int i = 0; i < nSlots; ++i) {
        RUXO_PROC_CTX* pProc = &g_procChannels[i];
        if (pProc->state == RUXO_STATE_IDLE)
            continue;
        void* pContext = reinterpret_cast<void*>((intptr_t)i);
        if (bAskAll || pProc->fdChild == 0)
            aWork[i] = kOutput | kChild;
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

/* ---- release and getters --------------------------------------------------------------------- */

void ruxoFree(void)
{
    /* Held throughout: no start, stop or new start-up may meet a table that is being taken down. */
    std::lock_guard<std::recursive_mutex> lk(g_engineMutex);
    if (!g_cfg.bInit.load())
        return;
    g_cfg.bInit.store(FALSE);

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
    return validSlot(iChannel) ? g_procChannels[iChannel].state : RUXO_STATE_IDLE;
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
