/* ruxo_internal.h -- the core's internals (ruxo.cpp): the slot table, its lock, the hand-over of a
 * finished command line to a new transcoder child, the poll's steps and the test seams, for the
 * command line above the core and for the engine's tests. The files below the core (child start,
 * readiness set, logs, processors, descriptor helpers) never include it: each has a header of its
 * own, included here, so that whoever sees the core sees the seams of the files it is built on.
 * Not for use outside libruxo/. */
#ifndef RUXO_INTERNAL_H
#define RUXO_INTERNAL_H

#include <mutex>
#include <string>

#include "ruxo.h"
#include "ruxo_child_internal.h"
#include "ruxo_cpu_internal.h"
#include "ruxo_log_internal.h"
#include "ruxo_pipe_internal.h"
#include "ruxo_ready_internal.h"

#define RUXO_ENGINE_VERSION 0x501

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

/* Guards the slot table and the slot fields of g_cfg, the readiness set and the processor sampler.
 * Recursive: a stop is re-entered from the poll.
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
 * engine mutex (ruxo_child.cpp); then publishes the child under it and puts it in the readiness
 * set. RUXO_OK, RUXO_ERR_PIPE or RUXO_ERR_CHILD (the slot is handed back). A child that cannot run the transcoder is no failure of the start: the
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
void _ruxoFreePipes(RUXO_PROC_CTX* pProc);

/* Test seams. The engine clock (hang rule, sampling pace; monotonic, so that a step of the wall
 * clock cannot make every channel look silent): null restores the monotonic clock. The processor
 * statistics file: null restores "/proc/stat". The hold of a forked child before its exec is
 * _ruxoSetChildHook (ruxo_child_internal.h). */
typedef time_t (*RUXO_CLOCK)(void);
void _ruxoSetClock(RUXO_CLOCK fnClock);
time_t _ruxoNow(void);
void _ruxoSetProcStatPath(const char* szPath);

#endif
