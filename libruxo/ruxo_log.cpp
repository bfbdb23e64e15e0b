/* ruxo_log.cpp -- the per-channel log files: one line or raw chunk at a time, each channel's log
 * rotated into numbered files once it grows past its size limit. The data folder, the level and
 * the engine's up flag are the logs' own copies, given by the core (ruxo.cpp), whose state this
 * file never reads.
 *
 * Locking: the log mutex, a leaf below the engine mutex, orders the writes and rotations of the log
 * files, guards the descriptors kept open on them and the data folder they live in. The level and
 * the up flag are atomics, read without it.
 *
 * Cost: a channel's log stays open between lines, so a line costs the status query that the
 * rotation rule needs and the writes. */
#include "ruxo_log_internal.h"
#include "ruxo_pipe_internal.h"
#include "ruxo_text_core.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <string>

namespace {

const off_t kLogRotateSize = 5000000; /* a log above this size is rotated before the next line */
const int kLogKeep = 9;               /* numbered logs kept: 1 (oldest) .. 9 */

std::mutex s_logMutex; /* leaf: log writes and rotations, s_logFiles, s_szDataPath */

char s_szDataPath[RUXO_MAX_PATH]; /* the data folder; the logs are in its "log" folder */
std::atomic<int> s_nLogLevel{0};  /* 0 = nothing is logged */
std::atomic<bool> s_bUp{false};   /* the engine is up: before its start-up and after its release
                                   * nothing is logged */

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

/* "<data>/log/ruxo_NNN.log"; false when too long. The number is widened first: a caller's channel
 * index is logged before anyone checks it. */
bool logPath(char* buf, size_t cap, int iChannel)
{
    long long nNumber = (long long)iChannel + 1;
    int n = snprintf(buf, cap, "%s/log/ruxo_%03lld.log", s_szDataPath, nNumber);
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
    for (int i = 0; i < RUXO_MAX_SLOTS; ++i)
        closeLogLocked(i);
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
    if (!logPath(path, sizeof path, iChannel))
        return;
    std::string strPath = path;
    ruxoRotateLogFiles(strPath.substr(0, strPath.size() - 4).c_str(), ".log");
}

}  // namespace

void _ruxoLogSetFolder(const char* szData)
{
    std::lock_guard<std::mutex> lg(s_logMutex);
    snprintf(s_szDataPath, sizeof s_szDataPath, "%s", szData);
    closeAllLogsLocked(); /* descriptors of another data folder's logs */
}

void _ruxoLogSetLevel(int nLogLevel)
{
    s_nLogLevel.store(nLogLevel);
}

void _ruxoLogSetUp(bool bUp)
{
    s_bUp.store(bUp);
}

void ruxoRotateLogFiles(const char* szStem, const char* szExt)
{
    if (!szStem || !szExt)
        return;
    const std::string strStem = szStem, strExt = szExt;
    int m = 1;
    while (m < 100000 && fileExists(numberedLog(strStem, strExt, m)))
        ++m;
    if (m > kLogKeep) {
        for (int k = 1; k <= m - kLogKeep; ++k)
            unlink(numberedLog(strStem, strExt, k).c_str());
        for (int k = m - kLogKeep + 1, dst = 1; k <= m - 1; ++k, ++dst)
            rename(numberedLog(strStem, strExt, k).c_str(), numberedLog(strStem, strExt, dst).c_str());
    }
    rename((strStem + strExt).c_str(), numberedLog(strStem, strExt, m < kLogKeep ? m : kLogKeep).c_str());
}

int cleanLogFiles(int iChannel)
{
    std::lock_guard<std::mutex> lk(s_logMutex);
    rotateLocked(iChannel);
    return RUXO_OK;
}

int ruxoLog(int iChannel, int bTimestamp, const char* szLog)
{
    if (!s_bUp.load())
        return RUXO_ERR_NOT_INIT;
    if (s_nLogLevel.load() == 0)
        return RUXO_OK;
    if (!szLog)
        szLog = "";

    std::lock_guard<std::mutex> lk(s_logMutex);
    char path[PATH_MAX];
    if (!logPath(path, sizeof path, iChannel))
        return RUXO_ERR_FAILED;

    LOG_FILE* pKept = keptLog(iChannel);
    struct stat st;
    bool bExists = stat(path, &st) == 0;
    /* The kept descriptor serves only the file that the path names now: after an outside rm or mv
     * the line goes to a fresh file, as opening the path would give. */
    if (pKept && pKept->fd > 0 && (!bExists || st.st_dev != pKept->dev || st.st_ino != pKept->ino))
        closeLogLocked(iChannel);
    if (bExists && st.st_size > kLogRotateSize)
        rotateLocked(iChannel);

    int fd = pKept ? pKept->fd : 0;
    if (fd <= 0) {
        fd = _ruxoAboveStdio(open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644));
        if (fd < 0)
            return RUXO_ERR_FAILED;
        struct stat stOpen;
        if (pKept && fstat(fd, &stOpen) == 0) {
            pKept->fd = fd;
            pKept->dev = stOpen.st_dev;
            pKept->ino = stOpen.st_ino;
        }
    }
    /* A line that could not be written whole (a full disk) is a failure like a log that does not
     * open: a start must not run without its command line logged. */
    bool bWritten = true;
    if (bTimestamp) {
        char stamp[64];
        time_t now = time(nullptr);
        struct tm tmNow;
        localtime_r(&now, &tmNow);
        size_t n = strftime(stamp, sizeof stamp, "[%Y/%m/%d %H:%M:%S] ", &tmNow);
        bWritten = writeAll(fd, stamp, n) && writeAll(fd, szLog, strlen(szLog));
        if (bWritten && !strchr(szLog, '\n'))
            bWritten = writeAll(fd, "\n", 1);
    } else {
        bWritten = writeAll(fd, szLog, strlen(szLog));
    }
    /* A descriptor that takes no line is not kept: the next line opens the path again. */
    if (pKept && pKept->fd == fd && !bWritten)
        closeLogLocked(iChannel);
    else if (!pKept || pKept->fd != fd)
        close(fd);
    return bWritten ? RUXO_OK : RUXO_ERR_FAILED;
}

void _ruxoLogErrno(int iChannel, const char* szWhat, int err)
{
    if (iChannel < 0)
        return;
    char szErr[256];
    /* The GNU form: the text may live in szErr or be a static one; either way it is valid here. */
    const char* szText = strerror_r(err, szErr, sizeof szErr);
    std::string line = std::string(szWhat) + ": " + szText;
    ruxoLog(iChannel, 1, line.c_str());
}

void _ruxoLogRelease(int iChannel)
{
    std::lock_guard<std::mutex> lk(s_logMutex);
    closeLogLocked(iChannel);
}

void _ruxoLogReleaseAll(void)
{
    std::lock_guard<std::mutex> lk(s_logMutex);
    closeAllLogsLocked();
}
