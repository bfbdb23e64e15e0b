/* ruxo.cpp -- the engine's core: settings and start-up, the per-channel logs with their rotation,
 * the slot table with one transcoder child per busy slot (start, stop, poll, reap, hang detection,
 * release), the processors' load sampling and the small pipe writers.
 *
 * Locking: g_engineMutex (recursive) guards the slot table and every slot field; the log mutex, a
 * leaf, orders the writes and rotations of the log files and guards the descriptors kept open on
 * them. Settings words that other threads read without a lock (log level, processor count,
 * processors per channel, the init flag, load percentages) are accessed with relaxed atomics.
 *
 * Cost: every busy slot's output pipe and child (a pidfd) sit in one epoll set, so a pass of the
 * poll learns with one call which slots have output waiting or a child that has ended and touches
 * only those, however many slots are busy; a channel's log stays open between lines, so a line
 * costs the status query that the rotation rule needs and the writes. */
#include "ruxo_internal.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
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

const off_t kLogRotateSize = 5000000; /* a log above this size is rotated before the next line */
const int kLogKeep = 9;               /* numbered logs kept: 1 (oldest) .. 9 */
const int kHangSeconds = 30;          /* silence after which a child counts as hanging */
const int kReleaseWaits = 100;        /* release: 100 waits of 30 ms for all slots together */
const int kReleaseWaitUs = 30000;
const size_t kChunkSize = 4096; /* one read of transcoder output, NUL included */

std::mutex s_logMutex;  /* leaf: log writes and rotations, s_logFiles */
std::mutex s_progMutex; /* leaf: the program path buffers */

char szProgFile[RUXO_MAX_PATH];
char szProgDir[RUXO_MAX_PATH];

/* The descriptors that the poll asks about: the output pipe and the child descriptor of every
 * watched slot, each tagged with the slot index and its kind. The set exists while a slot is
 * watched (0 = none), so an engine without children holds no descriptor. Under g_engineMutex. */
int s_fdWatch = 0;
int s_nWatched = 0;
enum { kWatchOutput = 0, kWatchChild = 1 };

/* Sampling pace, under g_engineMutex. */
time_t last_sec;
time_t tmLastCheckCPU;

std::atomic<RUXO_CLOCK> s_fnClock{nullptr}; /* read on every thread that logs or polls */
std::string s_procStatPath = "/proc/stat";

/* A channel's log kept open between lines (channel indices of the slot table only; any other index
 * opens and closes its file per line). The descriptor is used only while the path still names the
 * file it was opened on (device and inode, checked on every line), so an outside rm or mv of the
 * log sends the next line to a fresh file of the right name, as opening it anew would. Under
 * s_logMutex; fd 0 = not open. */
struct LOG_FILE {
    int fd;
    dev_t dev;
    ino_t ino;
};
LOG_FILE s_logFiles[RUXO_MAX_SLOTS];

time_t monotonicSeconds(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec + 1; /* never 0: 0 means "no output yet" in tmAlive */
}

/* Copies src into a buffer of size cap; false (buffer untouched) when it does not fit. */
bool copyBounded(char* dst, size_t cap, const std::string& src)
{
    if (src.size() >= cap) return false;
    memcpy(dst, src.c_str(), src.size() + 1);
    return true;
}

/* The text of a start-up path: narrow as given, or a wide text converted under the locale. */
bool configText(const void* p, int bUnicode, std::string* out)
{
    if (!bUnicode) {
        const char* sz = static_cast<const char*>(p);
        size_t n = strnlen(sz, RUXO_MAX_PATH);
        if (n >= RUXO_MAX_PATH) return false;
        out->assign(sz, n);
        return true;
    }
    const wchar_t* wsz = static_cast<const wchar_t*>(p);
    mbstate_t st;
    memset(&st, 0, sizeof st);
    const wchar_t* src = wsz;
    size_t n = wcsrtombs(nullptr, &src, 0, &st);
    if (n == (size_t)-1 || n >= RUXO_MAX_PATH) return false;
    char buf[RUXO_MAX_PATH];
    memset(&st, 0, sizeof st);
    src = wsz;
    if (wcsrtombs(buf, &src, sizeof buf, &st) != n) return false;
    buf[n] = '\0';
    out->assign(buf, n);
    return true;
}

/* Reads "/proc/self/exe" into szProgFile when it is empty; a truncated link is a failure. */
void readProgFile(void)
{
    if (szProgFile[0]) return;
    char buf[RUXO_MAX_PATH];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf);
    if (n <= 0 || (size_t)n >= sizeof buf) return;
    buf[n] = '\0';
    memcpy(szProgFile, buf, (size_t)n + 1);
}

bool validSlot(int iChannel)
{
    return g_procChannels && iChannel >= 0 && iChannel < g_cfg.nMaxChannels;
}

/* "<data>/log/ruxo_NNN.log"; false when too long. The number is widened first: a caller's channel
 * index is logged before anyone checks it. */
bool logPath(char* buf, size_t cap, int iChannel)
{
    long long nNumber = (long long)iChannel + 1;
    int n = snprintf(buf, cap, "%s/log/ruxo_%03lld.log", g_cfg.szDataPath, nNumber);
    return n > 0 && (size_t)n < cap;
}

bool fileExists(const std::string& str)
{
    struct stat st;
    return stat(str.c_str(), &st) == 0;
}

/* The kept descriptor of channel iChannel's log, or null for an index outside the slot table. */
LOG_FILE* keptLog(int iChannel)
{
    return iChannel >= 0 && iChannel < RUXO_MAX_SLOTS ? &s_logFiles[iChannel] : nullptr;
}

/* Closes channel iChannel's kept log, if any; the caller holds the log mutex. */
void closeLogLocked(int iChannel)
{
    LOG_FILE* pLog = keptLog(iChannel);
    if (pLog && pLog->fd > 0) {
        close(pLog->fd);
        pLog->fd = 0;
    }
}

void closeAllLogsLocked(void)
{
    for (int i = 0; i < RUXO_MAX_SLOTS; ++i) closeLogLocked(i);
}

/* "<stem>-k<ext>", the k-th numbered log. */
std::string numberedLog(const std::string& strStem, const std::string& strExt, int k)
{
    return strStem + "-" + std::to_string(k) + strExt;
}

/* The rotation of a channel's log; the caller holds the log mutex. The current log becomes a
 * numbered file, so its kept descriptor goes first: a rotated file is never written again. */
void rotateLocked(int iChannel)
{
    closeLogLocked(iChannel);
    char path[PATH_MAX];
    if (!logPath(path, sizeof path, iChannel)) return;
    std::string strPath = path;
    ruxoRotateLogFiles(strPath.substr(0, strPath.size() - 4).c_str(), ".log");
}

bool writeAll(int fd, const char* p, size_t n)
{
    while (n > 0) {
        ssize_t w = write(fd, p, n);
        if (w < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        p += w;
        n -= (size_t)w;
    }
    return true;
}

/* Closes a descriptor of ours that is not 0 (none) and marks it closed. */
void closeFd(RUXO_PIPE* fd)
{
    if (*fd != 0) {
        close(*fd);
        *fd = 0;
    }
}

/* A close-on-exec descriptor moved above 2 when it is not (0 keeps meaning "no descriptor", and
 * a child's dup2 onto 0, 1 and 2 never clobbers it); -1, fd closed, when it cannot be moved. */
int aboveStdio(int fd)
{
    if (fd < 0 || fd > 2) return fd;
    int d = fcntl(fd, F_DUPFD_CLOEXEC, 3);
    close(fd);
    return d;
}

/* A pipe whose both ends are close-on-exec and above 2. */
bool makePipe(RUXO_PIPE fds[2])
{
    int p[2];
    if (pipe2(p, O_CLOEXEC) != 0) return false;
    p[0] = aboveStdio(p[0]);
    p[1] = aboveStdio(p[1]);
    if (p[0] < 0 || p[1] < 0) {
        if (p[0] >= 0) close(p[0]);
        if (p[1] >= 0) close(p[1]);
        return false;
    }
    fds[0] = p[0];
    fds[1] = p[1];
    return true;
}

/* A pidfd of our child pid (close-on-exec, above 2; readable once the child has ended), or 0 when
 * the kernel offers none. */
int openChildFd(pid_t pid)
{
#ifdef SYS_pidfd_open
    int fd = aboveStdio((int)syscall(SYS_pidfd_open, pid, 0));
    return fd > 0 ? fd : 0;
#else
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
    return epoll_ctl(s_fdWatch, EPOLL_CTL_ADD, fd, &ev) == 0;
}

void unwatchFd(int fd)
{
    if (s_fdWatch > 0 && fd > 0) epoll_ctl(s_fdWatch, EPOLL_CTL_DEL, fd, nullptr);
}

/* Puts a new child's output pipe and a descriptor of the child itself into the watched set; returns
 * the child descriptor for the slot's fdChild, or 0 (nothing left watched) when either cannot be
 * had: the poll then reads and waits for that slot on every pass. */
int watchChild(int iSlot, pid_t pid, int fdOutput)
{
    if (iSlot < 0 || fdOutput <= 0) return 0;
    if (s_fdWatch <= 0) {
        int fd = aboveStdio(epoll_create1(EPOLL_CLOEXEC));
        if (fd <= 0) return 0;
        s_fdWatch = fd;
    }
    int fdChild = openChildFd(pid);
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
    if (s_nWatched == 0) closeFd(&s_fdWatch);
    return 0;
}

/* Takes a slot out of the watched set and closes its child descriptor; the set goes with the last. */
void unwatchSlot(RUXO_PROC_CTX* pProc)
{
    if (pProc->fdChild == 0) return;
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
        if (r < 1) break;
        buf[r] = '\0'; /* only what was read is handed on: no need to clear the buffer first */
        if (fnCallback) fnCallback(pContext, buf);
        /* A short read emptied the pipe: asking again would only cost a read that finds nothing. */
        if ((size_t)r < sizeof buf - 1) break;
    }
}

/* A non-blocking wait for the slot's child: true when it has ended (its wait status in nExitCode),
 * is no child of ours (ECHILD: nExitCode keeps the last known status) or the slot has none (pid
 * <= 0 is never waited for: that would mean any child). */
bool childEnded(RUXO_PROC_CTX* pProc)
{
    if (pProc->pid <= 0) return true;
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

/* Long runs of digits in "/proc/stat" are 64-bit counters; their low 32 bits are what is kept. */
bool parseCpuLine(const char* p, uint32_t v[8])
{
    for (int k = 0; k < 8; ++k) {
        while (*p == ' ' || *p == '\t') ++p;
        if (*p < '0' || *p > '9') return false;
        unsigned long long x = 0;
        while (*p >= '0' && *p <= '9') x = x * 10 + (unsigned)(*p++ - '0');
        v[k] = (uint32_t)x;
    }
    return true;
}

/* An integer after a field name of a progress line ("%d" rules, clamped to the int range). */
bool parseInt(const char* p, int* out)
{
    char* end = nullptr;
    errno = 0;
    long long v = strtoll(p, &end, 10);
    if (end == p) return false;
    if (v > INT32_MAX) v = INT32_MAX;
    if (v < INT32_MIN) v = INT32_MIN;
    *out = (int)v;
    return true;
}

} // namespace

/* ---- settings and start-up ------------------------------------------------------------------- */

void _ruxoSetClock(RUXO_CLOCK fnClock) { s_fnClock.store(fnClock); }

time_t _ruxoNow(void)
{
    RUXO_CLOCK fnClock = s_fnClock.load();
    return fnClock ? fnClock() : monotonicSeconds();
}

void _ruxoSetProcStatPath(const char* szPath)
{
    std::lock_guard<std::recursive_mutex> lk(g_engineMutex);
    s_procStatPath = szPath ? szPath : "/proc/stat";
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
    if (szProgDir[0]) return szProgDir;
    readProgFile();
    const char* slash = strrchr(szProgFile, '/');
    size_t n = slash ? (size_t)(slash - szProgFile) : strlen(szProgFile);
    memcpy(szProgDir, szProgFile, n);
    szProgDir[n] = '\0';
    return szProgDir;
}

void ruxoSetLog(int nLogLevel) { ruxoStoreInt(&g_cfg.nLogLevel, nLogLevel); }

void ruxoSetCpuAffinity(int nCpuPerChannel) { ruxoStoreInt(&g_cfg.nCpuPerChannel, nCpuPerChannel); }

void ruxoSetAppCallback(RUXO_CALLBACK fnAppCallback)
{
    __atomic_store_n(&g_cfg.fnAppCallback, fnAppCallback, __ATOMIC_RELAXED);
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
    if (!pConfig) return -1;
    std::lock_guard<std::recursive_mutex> lk(g_engineMutex);

    std::string progDir = ruxoGetProgDir();
    std::string progFile = ruxoGetProgFile();

    std::string exe;
    if (pConfig->pszDllPath) {
        if (!configText(pConfig->pszDllPath, bUnicode, &exe)) return -3;
    } else {
        exe = progDir;
    }
    if (exe.empty() || exe.back() != '/') exe += '/';
    exe += RUXO_TRANSCODER_NAME;

    std::string data = progDir;
    if (pConfig->pszDataPath) {
        if (!configText(pConfig->pszDataPath, bUnicode, &data)) return -1;
        if (!data.empty() && data.back() == '/') data.pop_back();
    }

    char szExe[RUXO_MAX_PATH], szData[RUXO_MAX_PATH];
    if (!copyBounded(szExe, sizeof szExe, exe)) return -3;
    if (!copyBounded(szData, sizeof szData, data)) return -1;

    {
        std::lock_guard<std::mutex> lg(s_logMutex);
        memcpy(g_cfg.szfnFfmpeg, szExe, sizeof szExe);
        memset(g_cfg.szfnFfserver, 0, sizeof g_cfg.szfnFfserver);
        copyBounded(g_cfg.szfnFfserver, sizeof g_cfg.szfnFfserver, progFile);
        memcpy(g_cfg.szDataPath, szData, sizeof szData);
        closeAllLogsLocked(); /* descriptors of another data folder's logs */
    }

    /* Only a regular executable file will do: root passes the access test on a folder too. */
    struct stat st;
    if (access(g_cfg.szfnFfmpeg, X_OK) != 0 || stat(g_cfg.szfnFfmpeg, &st) != 0 || !S_ISREG(st.st_mode))
        return -3;

    long n = sysconf(_SC_NPROCESSORS_ONLN);
    /* Read without a lock by the status reply (web thread). */
    ruxoStoreInt(&g_cfg.nCPUs, n < 1 ? 1 : (n > INT32_MAX ? INT32_MAX : (int)n));
    ruxoStoreInt(&g_cfg.nCpuPerChannel, pConfig->nCpuPerChannel);

    ruxoInitChannels();
    if (!g_procChannels) return -1;

    /* A write to a child that has already ended must report EPIPE, not end the daemon. */
    struct sigaction sa;
    if (sigaction(SIGPIPE, nullptr, &sa) == 0 && sa.sa_handler == SIG_DFL) {
        memset(&sa, 0, sizeof sa);
        sa.sa_handler = SIG_IGN;
        sigemptyset(&sa.sa_mask);
        sigaction(SIGPIPE, &sa, nullptr);
    }

    ruxoStoreInt(&g_cfg.nLogLevel, pConfig->nLogLevel);
    ruxoStoreInt(&g_cfg.bInit, 1);
    return 0;
}

int ruxoInitA(const RUXO_CONFIG* pConfig)
{
    std::lock_guard<std::recursive_mutex> lk(g_engineMutex);
    if (ruxoLoadInt(&g_cfg.bInit)) return 0;
    return _ruxoInitInternal(pConfig, 0);
}

int ruxoInitW(const RUXO_CONFIG* pConfig)
{
    std::lock_guard<std::recursive_mutex> lk(g_engineMutex);
    if (ruxoLoadInt(&g_cfg.bInit)) return 0;
    return _ruxoInitInternal(pConfig, 1);
}

/* ---- channel logs ---------------------------------------------------------------------------- */

void ruxoRotateLogFiles(const char* szStem, const char* szExt)
{
    if (!szStem || !szExt) return;
    const std::string strStem = szStem, strExt = szExt;
    int m = 1;
    while (m < 100000 && fileExists(numberedLog(strStem, strExt, m))) ++m;
    if (m > kLogKeep) {
        for (int k = 1; k <= m - kLogKeep; ++k) unlink(numberedLog(strStem, strExt, k).c_str());
        for (int k = m - kLogKeep + 1, dst = 1; k <= m - 1; ++k, ++dst)
            rename(numberedLog(strStem, strExt, k).c_str(), numberedLog(strStem, strExt, dst).c_str());
    }
    rename((strStem + strExt).c_str(), numberedLog(strStem, strExt, m < kLogKeep ? m : kLogKeep).c_str());
}

int cleanLogFiles(int iChannel)
{
    std::lock_guard<std::mutex> lk(s_logMutex);
    rotateLocked(iChannel);
    return 0;
}

int ruxoLog(int iChannel, int bTimestamp, const char* szLog)
{
    if (!ruxoLoadInt(&g_cfg.bInit)) return -1;
    if (ruxoLoadInt(&g_cfg.nLogLevel) == 0) return 0;
    if (!szLog) szLog = "";

    std::lock_guard<std::mutex> lk(s_logMutex);
    char path[PATH_MAX];
    if (!logPath(path, sizeof path, iChannel)) return -1;

    LOG_FILE* pKept = keptLog(iChannel);
    struct stat st;
    bool bExists = stat(path, &st) == 0;
    /* The kept descriptor serves only the file that the path names now: after an outside rm or mv
     * the line goes to a fresh file, as opening the path would give. */
    if (pKept && pKept->fd > 0 && (!bExists || st.st_dev != pKept->dev || st.st_ino != pKept->ino))
        closeLogLocked(iChannel);
    if (bExists && st.st_size > kLogRotateSize) rotateLocked(iChannel);

    int fd = pKept ? pKept->fd : 0;
    if (fd <= 0) {
        fd = aboveStdio(open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644));
        if (fd < 0) return -1;
        struct stat stOpen;
        if (pKept && fstat(fd, &stOpen) == 0) {
            pKept->fd = fd;
            pKept->dev = stOpen.st_dev;
            pKept->ino = stOpen.st_ino;
        }
    }
    if (bTimestamp) {
        char stamp[64];
        time_t now = time(nullptr);
        struct tm tmNow;
        localtime_r(&now, &tmNow);
        size_t n = strftime(stamp, sizeof stamp, "[%Y/%m/%d %H:%M:%S] ", &tmNow);
        writeAll(fd, stamp, n);
        writeAll(fd, szLog, strlen(szLog));
        if (!strchr(szLog, '\n')) writeAll(fd, "\n", 1);
    } else {
        writeAll(fd, szLog, strlen(szLog));
    }
    if (!pKept || pKept->fd != fd) close(fd);
    return 0;
}

void _ruxoLogRelease(int iChannel)
{
    std::lock_guard<std::mutex> lk(s_logMutex);
    closeLogLocked(iChannel);
}

/* ---- pipes ----------------------------------------------------------------------------------- */

size_t pipeWrite(RUXO_PIPE pipe, const void* buf, size_t len)
{
    ssize_t w;
    do {
        w = write(pipe, buf, len);
    } while (w < 0 && errno == EINTR);
    return (size_t)w;
}

size_t pipeWriteStr(RUXO_PIPE pipe, const char* szbuf) { return pipeWrite(pipe, szbuf, strlen(szbuf)); }

size_t pipePrintf(RUXO_PIPE pipe, const char* fmt, ...)
{
    char buf[1000];
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    if (n < 0) return (size_t)-1;
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

int _ruxoCpuSetForSlot(int iChannel, int nCpuPerChannel, int nCPUs, cpu_set_t* pSet)
{
    CPU_ZERO(pSet);
    if (nCpuPerChannel <= 0 || iChannel < 0) return 0;
    int64_t cpus = nCPUs < 1 ? 1 : nCPUs;
    int64_t first = ((int64_t)iChannel * nCpuPerChannel) % cpus;
    const int64_t bits = (int64_t)sizeof(cpu_set_t) * 8; /* 1024 */
    int set = 0;
    for (int64_t b = first; b < first + nCpuPerChannel && b < bits; ++b) {
        CPU_SET((size_t)b, pSet);
        ++set;
    }
    return set;
}

int _ruxoStartProc(RUXO_PROC_CTX* pProc, char* szfnExe, int bPreview)
{
    std::lock_guard<std::recursive_mutex> lk(g_engineMutex);
    if (!ruxoLoadInt(&g_cfg.bInit)) return -1;

    /* Whatever a previous child left behind goes with its pipes: every child starts afresh. */
    unwatchSlot(pProc);
    _ruxoFreePipes(pProc);
    if (!makePipe(pProc->pipeStdin)) return -5;
    if (!makePipe(pProc->pipeStdout)) {
        _ruxoFreePipe(pProc->pipeStdin);
        return -5;
    }
    /* The poll must never block on this read end: a descriptor that cannot be made non-blocking
     * fails the start before there is a child. The child's write end stays blocking. */
    int fl = fcntl(pProc->pipeStdout[0], F_GETFL);
    if (fl < 0 || fcntl(pProc->pipeStdout[0], F_SETFL, fl | O_NONBLOCK) != 0) {
        _ruxoFreePipes(pProc);
        return -5;
    }

    /* Everything the child needs is prepared here: after fork it only makes system calls. */
    cpu_set_t cpus;
    int iChannel = (g_procChannels && pProc >= g_procChannels && pProc < g_procChannels + g_cfg.nMaxChannels)
                       ? (int)(pProc - g_procChannels)
                       : -1;
    int nBound =
        _ruxoCpuSetForSlot(iChannel, ruxoLoadInt(&g_cfg.nCpuPerChannel), ruxoLoadInt(&g_cfg.nCPUs), &cpus);
    char* argv[2] = {szfnExe, nullptr};
    char** envp = environ;
    struct rlimit rl;
    int maxFd = 1024;
    if (getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur != RLIM_INFINITY)
        maxFd = rl.rlim_cur > 65536 ? 65536 : (int)rl.rlim_cur;
    struct sigaction saDefault;
    memset(&saDefault, 0, sizeof saDefault);
    saDefault.sa_handler = SIG_DFL;
    sigemptyset(&saDefault.sa_mask);
    sigset_t noSignals;
    sigemptyset(&noSignals);
    int inR = pProc->pipeStdin[0], outW = pProc->pipeStdout[1];

    pid_t pid = fork();
    pProc->pid = pid;
    if (pid < 0) {
        _ruxoFreePipes(pProc);
        return -13;
    }
    if (pid == 0) {
        for (int sig = 1; sig < NSIG; ++sig) sigaction(sig, &saDefault, nullptr);
        sigprocmask(SIG_SETMASK, &noSignals, nullptr);
        if (nBound > 0) sched_setaffinity(0, sizeof cpus, &cpus);
        if (dup2(inR, 0) < 0 || dup2(outW, 1) < 0 || dup2(outW, 2) < 0) _exit(127);
        if (close_range(3, ~0U, 0) != 0)
            for (int fd = 3; fd < maxFd; ++fd) close(fd);
        execve(szfnExe, argv, envp);
        _exit(127);
    }

    /* The child's ends belong to the child now. */
    closeFd(&pProc->pipeStdin[0]);
    closeFd(&pProc->pipeStdout[1]);
    /* From here on the poll looks at this slot when its output or the end of its child is told. */
    pProc->fdChild = watchChild(iChannel, pid, pProc->pipeStdout[0]);

    pProc->nStreamingSec = -1;
    pProc->nFPS = -1;
    pProc->nBitrate = -1;
    pProc->tmAlive = 0;
    pProc->tmKillAt = 0;
    pProc->state = bPreview ? RUXO_STATE_PREVIEW : RUXO_STATE_RUNNING;
    return 0;
}

int _ruxoStartChild(int iChannel, const char* szArg, int bPreview)
{
    std::lock_guard<std::recursive_mutex> lk(g_engineMutex);
    if (!validSlot(iChannel)) return -1; /* _ruxoStartProc checks the start-up */
    RUXO_PROC_CTX* pProc = &g_procChannels[iChannel];
    if (pProc->state != RUXO_STATE_IDLE) return -1; /* never orphan a running child */
    int rc = _ruxoStartProc(pProc, g_cfg.szfnFfmpeg, bPreview);
    if (rc != 0) return rc;
    /* A child that has already ended makes these fail with EPIPE (SIGPIPE is ignored); the start
     * still succeeds and the next poll reaps the child as usual. The line always fits the fresh,
     * empty pipe, so the writes never block. */
    int fd = pProc->pipeStdin[1];
    pipeWriteStr(fd, RUXO_ACCESS_TOKEN " ");
    pipeWriteStr(fd, szArg ? szArg : "");
    pipeWriteStr(fd, "\n");
    return 0;
}

void ruxoStop(int iChannel, int nStopMode)
{
    std::lock_guard<std::recursive_mutex> lk(g_engineMutex);
    if (!validSlot(iChannel)) return;
    RUXO_PROC_CTX* pProc = &g_procChannels[iChannel];
    if (pProc->state == RUXO_STATE_IDLE) return;
    if (nStopMode == 1) {
        if (pProc->pid > 0) kill(pProc->pid, SIGKILL);
        pProc->state = RUXO_STATE_STOPPING;
        ruxoLog(iChannel, 1, "stop transcoding forcedly");
    } else if (nStopMode == 0) {
        if ((pProc->state == RUXO_STATE_RUNNING || pProc->state == RUXO_STATE_PREVIEW) && pProc->pid > 0)
            kill(pProc->pid, SIGINT);
        pProc->state = RUXO_STATE_STOPPING;
        ruxoLog(iChannel, 1, "stop transcoding");
    }
}

void ruxoStopWithin(int iChannel, int nSeconds)
{
    std::lock_guard<std::recursive_mutex> lk(g_engineMutex);
    if (!validSlot(iChannel)) return;
    RUXO_PROC_CTX* pProc = &g_procChannels[iChannel];
    if (pProc->state == RUXO_STATE_IDLE) return;
    if (pProc->state != RUXO_STATE_STOPPING) ruxoStop(iChannel, 0);
    if (pProc->tmKillAt == 0) pProc->tmKillAt = _ruxoNow() + (nSeconds > 0 ? nSeconds : 0);
}

void _ruxoPollProc(RUXO_PROC_CTX* pProc, void* pContext, RUXO_CALLBACK fnCallback)
{
    std::lock_guard<std::recursive_mutex> lk(g_engineMutex);
    drainOutput(pProc, pContext, fnCallback);
    if (childEnded(pProc)) finishSlot(pProc, pContext, fnCallback);
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
            while (n < sizeof tbuf - 1 && t[n] && !strchr(". \t\r\n", t[n])) ++n;
            memcpy(tbuf, t, n);
            tbuf[n] = '\0';
            int h, m, s;
            if (sscanf(tbuf, "%d:%d:%d", &h, &m, &s) == 3) {
                long long sec = (long long)h * 3600 + (long long)m * 60 + s;
                if (sec > INT32_MAX) sec = INT32_MAX;
                if (sec < INT32_MIN) sec = INT32_MIN;
                pProc->nStreamingSec = (int)sec;
            }
            const char* f = strstr(szLog, " fps=");
            if (f) parseInt(f + 5, &pProc->nFPS);
            const char* b = strstr(szLog, " bitrate=");
            if (b) parseInt(b + 9, &pProc->nBitrate);
        }
    }

    ruxoLog(iChannel, 0, szLog);

    if (strstr(szLog, "Number of bands") || strstr(szLog, "channel element")) ruxoStop(iChannel, 0);
    if (strstr(szLog, "Queue input is backward in time")) ruxoStop(iChannel, 0);

    RUXO_CALLBACK fn = __atomic_load_n(&g_cfg.fnAppCallback, __ATOMIC_RELAXED);
    if (fn) fn(reinterpret_cast<void*>((intptr_t)iChannel), szLog);
    return 0;
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
    if (nSlots > RUXO_MAX_SLOTS) nSlots = RUXO_MAX_SLOTS;

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
        if (pProc->state == RUXO_STATE_IDLE) continue;
        void* pContext = reinterpret_cast<void*>((intptr_t)i);
        if (bAskAll || pProc->fdChild == 0) aWork[i] = kOutput | kChild;
        if (aWork[i] & kOutput) drainOutput(pProc, pContext, _ruxoPollCallback);
        if ((aWork[i] & kChild) && childEnded(pProc)) finishSlot(pProc, pContext, _ruxoPollCallback);
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
        if (pProc->state == RUXO_STATE_IDLE) _ruxoLogRelease(i);
    }
    if (now != last_sec) {
        last_sec = now;
        collectCpuUsage();
    }
    return 0;
}

void collectCpuUsage(void)
{
    std::lock_guard<std::recursive_mutex> lk(g_engineMutex);
    time_t now = _ruxoNow();
    if (now <= tmLastCheckCPU) return;
    tmLastCheckCPU = now;

    /* The whole file: one line per processor, about 100 bytes each, so a fixed small buffer would
     * leave all but the first few dozen processors unsampled. */
    static std::string text;
    text.clear();
    int fd = open(s_procStatPath.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return;
    char buf[8192];
    bool ok = true;
    for (int n = 0; n < 1024; ++n) {
        ssize_t r = read(fd, buf, sizeof buf);
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) ok = false;
        if (r <= 0) break;
        text.append(buf, (size_t)r);
    }
    close(fd);
    int nCPUs = ruxoLoadInt(&g_cfg.nCPUs);
    if (!ok || text.empty() || nCPUs <= 0) return;

    int nSampled = nCPUs < RUXO_MAX_CPUS ? nCPUs : RUXO_MAX_CPUS;
    for (size_t pos = 0; pos < text.size();) {
        size_t eol = text.find('\n', pos);
        if (eol == std::string::npos) eol = text.size();
        const char* p = text.c_str() + pos;
        pos = eol + 1;
        /* "cpuK " at the start of a line; the "cpu " summary line has no number. */
        if (strncmp(p, "cpu", 3) != 0 || p[3] < '0' || p[3] > '9') continue;
        const char* q = p + 3;
        long k = 0;
        while (*q >= '0' && *q <= '9' && k < 1000000) k = k * 10 + (*q++ - '0');
        if (*q != ' ' || k >= nSampled) continue;
        uint32_t v[8];
        if (!parseCpuLine(q, v)) continue;
        uint32_t busy = v[0] + v[1] + v[2] + v[5] + v[6] + v[7];
        uint32_t total = busy + v[3] + v[4];
        RUXO_CPU_USAGE* u = &g_cfg.cpuUsage[k];
        if (u->last_load != 0 && u->last_total != 0 && total != u->last_total) {
            /* Differences as signed 32-bit values: counters that wrap still give the right step,
             * counters that went back (a processor reset) give no share above 100 or below 0. */
            int64_t dBusy = (int32_t)(busy - u->last_load);
            int64_t dTotal = (int32_t)(total - u->last_total);
            if (dTotal > 0) {
                int64_t pct = dBusy * 100 / dTotal;
                if (pct < 0) pct = 0;
                if (pct > 100) pct = 100;
                ruxoStoreInt(&u->load_pct, (int)pct);
            }
        }
        u->last_load = busy;
        u->last_total = total;
    }
}

int ruxoGetCpuLoad(int iCpu)
{
    if (iCpu < 0 || iCpu >= RUXO_MAX_CPUS || iCpu >= ruxoLoadInt(&g_cfg.nCPUs)) return 0;
    return ruxoLoadInt(&g_cfg.cpuUsage[iCpu].load_pct);
}

/* ---- release and getters --------------------------------------------------------------------- */

void ruxoFree(void)
{
    /* Held throughout: no start, stop or new start-up may meet a table that is being taken down. */
    std::lock_guard<std::recursive_mutex> lk(g_engineMutex);
    if (!ruxoLoadInt(&g_cfg.bInit)) return;
    ruxoStoreInt(&g_cfg.bInit, 0);

    for (int i = 0; g_procChannels && i < g_cfg.nMaxChannels; ++i) {
        RUXO_CHANNEL_STATE s = g_procChannels[i].state;
        if (s == RUXO_STATE_RUNNING || s == RUXO_STATE_PREVIEW) ruxoStop(i, 0);
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
            if (pProc->state == RUXO_STATE_IDLE) continue;
            _ruxoPollProc(pProc, nullptr, nullptr); /* pipes are closed: only the wait */
            left = left || pProc->state != RUXO_STATE_IDLE;
        }
        if (!left) break;
        usleep(5000);
    }

    for (int i = 0; g_procChannels && i < g_cfg.nMaxChannels; ++i) unwatchSlot(&g_procChannels[i]);
    free(g_procChannels);
    g_procChannels = nullptr;
    g_cfg.nMaxChannels = 0;
    std::lock_guard<std::mutex> lg(s_logMutex);
    closeAllLogsLocked();
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
