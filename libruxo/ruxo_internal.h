/* ruxo_internal.h -- what the engine's own files share: the slot table, its lock and the hand-over
 * of a finished command line to a new transcoder child. Not for use outside libruxo/. */
#ifndef RUXO_INTERNAL_H
#define RUXO_INTERNAL_H

#include <sched.h>

#include <mutex>

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
    int fdChild; /* pidfd of the child, readable once it has ended; 0 = none (the poll then asks the
                  * kernel about the child on every pass) */
    time_t tmKillAt; /* engine-clock second after which a stop given a deadline kills; 0 = none */
} RUXO_PROC_CTX;

/* Guards the slot table and the slot fields of g_cfg. Recursive: a stop is re-entered from the poll.
 * Lock order: configuration lock -> engine mutex -> log mutex. */
extern std::recursive_mutex g_engineMutex;
extern RUXO_PROC_CTX* g_procChannels;

/* Starts a transcoder child in slot iChannel (bound to its processors before it runs) and hands it
 * the access token, the finished command line szArg and a newline. Takes g_engineMutex; the caller
 * holds it too when it checked the slot first. -1 when the engine is not initialised, the index is
 * invalid or the slot is busy; otherwise 0, -5 or -13. */
int _ruxoStartChild(int iChannel, const char* szArg, int bPreview);

/* ---- the engine's own steps (ruxo.cpp) ------------------------------------------------------ */

int _ruxoInitInternal(const RUXO_CONFIG* pConfig, int bUnicode);
/* Creates fresh close-on-exec pipes for the slot, forks and executes szfnExe (bound to the slot's
 * processors, every descriptor but 0, 1 and 2 closed, default signal handling), marks the slot busy.
 * The caller holds g_engineMutex. Returns 0, -1 (not initialised), -5 (pipe) or -13 (fork). */
int _ruxoStartProc(RUXO_PROC_CTX* pProc, char* szfnExe, int bPreview);
/* Drains the slot's output to fnCallback and reaps its child; at the reap the rest of the output is
 * drained as well and the slot's pipes and child descriptor are closed. */
void _ruxoPollProc(RUXO_PROC_CTX* pProc, void* pContext, RUXO_CALLBACK fnCallback);
void _ruxoPollCallback(void* pContext, char* szInfo);
/* One chunk of transcoder output of slot iChannel: progress, sign of life, raw log, fatal texts. */
int _ruxoLogFilter(int iChannel, char* szLog);
/* Closes the descriptor kept open on channel iChannel's log; its next line opens the file again. */
void _ruxoLogRelease(int iChannel);
void _ruxoFreePipe(RUXO_PIPE* pipeStd);
void _ruxoFreePipes(RUXO_PROC_CTX* pProc);

/* Pipe writers: each returns what write returns ((size_t)-1 on failure, errno set). pipePrintf
 * refuses (EMSGSIZE) a formatted text of 1000 characters or more rather than cutting it. */
size_t pipeWrite(RUXO_PIPE pipe, const void* buf, size_t len);
size_t pipeWriteStr(RUXO_PIPE pipe, const char* szbuf);
size_t pipePrintf(RUXO_PIPE pipe, const char* fmt, ...) __attribute__((format(printf, 2, 3)));

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

/* Relaxed atomic access to the plain settings words that several threads read and write
 * (log level, processors per channel, the init flag, load percentages). */
static inline int ruxoLoadInt(const int* p) { return __atomic_load_n(p, __ATOMIC_RELAXED); }
static inline void ruxoStoreInt(int* p, int v) { __atomic_store_n(p, v, __ATOMIC_RELAXED); }

#endif
