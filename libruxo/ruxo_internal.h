/* ruxo_internal.h -- what the engine's own files share: the slot table, its lock, the hand-over of
 * a finished command line to a new transcoder child, the log and processor internals that the core
 * calls, and the test seams. Not for use outside libruxo/. */
#ifndef RUXO_INTERNAL_H
#define RUXO_INTERNAL_H

#include <sched.h>

#include <mutex>
#include <string>

#include "ruxo.h"

#define RUXO_ENGINE_VERSION 0x501

typedef int RUXO_PIPE; /* a file descriptor; 0 = none */

typedef struct RUXO_PROC_CTX_TAG {
    pid_t pid;
    RUXO_PIPE pipeStdin[2];  /* read end, write end */
    RUXO_PIPE pipeStdout[2]; /* read end, write end */
    RUXO_CHANNEL_STATE state;
    int nStreamingSec;
    int nFPS;
    int nBitrate;
    time_t tmAlive; /* engine-clock second (monotonic, never 0) of the last output; 0 = none yet */
    int nExitCode;
    /* pidfd of the child, readable once it has ended; 0 = none (the poll then asks the kernel
     * about the child on every pass) */
    int fdChild;
    time_t tmKillAt;    /* engine-clock second after which a stop given a deadline kills; 0 = none */
    RUXO_PIPE fdReport; /* read end of the child's close-on-exec report pipe until the exec closes
                         * it (the poll reads it); 0 = none */
    /* A start under way: the slot is claimed (state still idle, so neither the poll nor a stop
     * touches the slot's fields) while the starter makes the pipes and the child without the
     * engine mutex. nStartState is what the slot reports meanwhile; a stop asked for meanwhile is
     * kept (nStartStop: -1 none, 0 graceful, 1 forced; nStartWithin: -1 none, else the seconds of
     * a stop with a deadline) and given when the start publishes its child. */
    bool bStarting;
    RUXO_CHANNEL_STATE nStartState;
    int nStartStop;
    int nStartWithin;
} RUXO_PROC_CTX;

/* Guards the slot table and the slot fields of g_cfg. Recursive: a stop is re-entered from the poll.
 * Lock order: configuration lock -> engine mutex -> log mutex. */
extern std::recursive_mutex g_engineMutex;
extern RUXO_PROC_CTX* g_procChannels;

/* Claims slot iChannel for a start (running, or preview when bPreview) under g_engineMutex and
 * copies the transcoder's path into *pExe: RUXO_OK, RUXO_ERR_NOT_INIT, RUXO_ERR_CHANNEL or
 * RUXO_ERR_BUSY (a child or another start is there). A claimed slot is either given a child by
 * _ruxoStartProc or handed back by _ruxoUnclaimSlot. */
int _ruxoClaimSlot(int iChannel, int bPreview, std::string* pExe);
void _ruxoUnclaimSlot(int iChannel);
/* Starts a transcoder child in the claimed slot iChannel (bound to its processors before it runs)
 * and hands it the access token, the finished command line szArg and a newline, all without the
 * engine mutex; then publishes the child under it. RUXO_OK, RUXO_ERR_PIPE or RUXO_ERR_CHILD (the
 * slot is handed back). A child that cannot run the transcoder is no failure of the start: the
 * poll reads its report, logs the reason, and reaps the child, which ends with status 127. */
int _ruxoStartProc(int iChannel, const std::string& exe, const char* szArg);

/* ---- the engine's own steps (ruxo.cpp) ------------------------------------------------------ */

int _ruxoInitInternal(const RUXO_CONFIG* pConfig, int bUnicode);
/* Drains the slot's output to fnCallback and reaps its child; at the reap the rest of the output is
 * drained as well and the slot's pipes and child descriptor are closed. */
void _ruxoPollProc(RUXO_PROC_CTX* pProc, void* pContext, RUXO_CALLBACK fnCallback);
void _ruxoPollCallback(void* pContext, char* szInfo);
/* One chunk of transcoder output of slot iChannel: progress, sign of life, raw log, fatal texts. */
int _ruxoLogFilter(int iChannel, char* szLog);
void _ruxoFreePipe(RUXO_PIPE* pipeStd);
void _ruxoFreePipes(RUXO_PROC_CTX* pProc);

/* Pipe writers: each returns what write returns ((size_t)-1 on failure, errno set). pipePrintf
 * refuses (EMSGSIZE) a formatted text of 1000 characters or more rather than cutting it. */
size_t pipeWrite(RUXO_PIPE pipe, const void* buf, size_t len);
size_t pipeWriteStr(RUXO_PIPE pipe, const char* szbuf);
size_t pipePrintf(RUXO_PIPE pipe, const char* fmt, ...) __attribute__((format(printf, 2, 3)));

/* A close-on-exec descriptor moved above 2 when it is not (0 keeps meaning "no descriptor", and a
 * child's dup2 onto 0, 1 and 2 never clobbers it); -1, fd closed, when it cannot be moved. */
int _ruxoAboveStdio(int fd);

/* ---- channel logs (ruxo_log.cpp) ------------------------------------------------------------ */

/* Sets the transcoder path, the program's own path and the data folder under the log mutex (a log
 * line reads the data folder under it) and closes the descriptors kept on another folder's logs.
 * Each text fits its field (the caller checked). */
void _ruxoLogSetPaths(const char* szExe, const char* szProgFile, const char* szData);
/* Closes the descriptor kept open on channel iChannel's log; its next line opens the file again. */
void _ruxoLogRelease(int iChannel);
/* Closes every kept log descriptor (the release). */
void _ruxoLogReleaseAll(void);
/* Logs "<szWhat>: <the text of err>" with a time stamp to slot iChannel's log, through ruxoLog (so
 * the log level applies); nothing for a negative index. For failed system calls of the engine. */
void _ruxoLogErrno(int iChannel, const char* szWhat, int err);

/* ---- processors (ruxo_cpu.cpp) -------------------------------------------------------------- */

/* The processor set of slot iChannel for n processors per channel on nCPUs processors (n <= 0:
 * empty, no binding). Returns the number of bits set. */
int _ruxoCpuSetForSlot(int iChannel, int nCpuPerChannel, int nCPUs, cpu_set_t* pSet);

/* Test seams. The engine clock (hang rule, sampling pace; monotonic, so that a step of the wall
 * clock cannot make every channel look silent): null restores the monotonic clock. The processor
 * statistics file: null restores "/proc/stat". */
typedef time_t (*RUXO_CLOCK)(void);
void _ruxoSetClock(RUXO_CLOCK fnClock);
time_t _ruxoNow(void);
void _ruxoSetProcStatPath(const char* szPath);
/* Called in every forked child before it closes its descriptors and runs the transcoder (null:
 * none), so that a test can hold a child before its exec. Only async-signal-safe calls. */
typedef void (*RUXO_CHILD_HOOK)(void);
void _ruxoSetChildHook(RUXO_CHILD_HOOK fnHook);

#endif
