/* ruxo_child_internal.h -- the start of one transcoder child (ruxo_child.cpp): its pipes, the
 * fork, what the child does before it runs the transcoder, the access token and command line
 * written to it, and the reports that the child sends back through its close-on-exec pipe. The core
 * (ruxo.cpp) claims the slot, calls these without the engine mutex and publishes the child in the
 * slot; these calls never look at the slot table. Not for use outside libruxo/. */
#ifndef RUXO_CHILD_INTERNAL_H
#define RUXO_CHILD_INTERNAL_H

#include <sys/types.h>

#include "ruxo_pipe_internal.h"

/* A started child: its pid and the parent's ends of its pipes, for the core to publish. */
typedef struct RUXO_CHILD_TAG {
    pid_t pid;
    RUXO_PIPE fdInput;  /* write end of the child's standard input */
    RUXO_PIPE fdOutput; /* read end of its standard output and error (non-blocking) */
    RUXO_PIPE fdReport; /* read end of its report pipe (non-blocking); end of file = exec done */
} RUXO_CHILD;

/* Starts a transcoder child szExe for slot iChannel, bound to the slot's processors
 * (nCpuPerChannel of nCPUs) before it runs, and hands it the access token, the finished command
 * line szArg and a newline. RUXO_OK with *pChild filled, or RUXO_ERR_PIPE or RUXO_ERR_CHILD
 * (logged to the slot's log; nothing left open). A child that cannot run the transcoder is no
 * failure of the start: it reports why and ends with status 127. */
int _ruxoChildStart(int iChannel, const char* szExe, int nCpuPerChannel, int nCPUs, const char* szArg,
                    RUXO_CHILD* pChild);

/* What a child reports through its close-on-exec pipe: a step that failed and its errno. */
typedef struct RUXO_CHILD_REPORT_TAG {
    int nStage;
    int nErrno;
} RUXO_CHILD_REPORT;

/* Reads one report from the read end fdReport: 1 = *pRep filled; 0 = none waiting; -1 = the
 * pipe's end (end of file, an error, or a cut report), after which the caller closes it. */
int _ruxoChildReadReport(RUXO_PIPE fdReport, RUXO_CHILD_REPORT* pRep);
/* Logs a report of slot iChannel's child, whose transcoder is szExe. True when the child ends for
 * it, so that nothing will read its input: the caller closes that pipe. */
bool _ruxoChildLogReport(int iChannel, const RUXO_CHILD_REPORT* pRep, const char* szExe);

/* Test seam: called in every forked child before it closes its descriptors and runs the
 * transcoder (null: none), so that a test can hold a child before its exec. Only
 * async-signal-safe calls. */
typedef void (*RUXO_CHILD_HOOK)(void);
void _ruxoSetChildHook(RUXO_CHILD_HOOK fnHook);

#endif
