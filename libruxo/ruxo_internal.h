/* ruxo_internal.h -- what the engine's own files share: the slot table, its lock and the hand-over
 * of a finished command line to a new transcoder child. Not for use outside libruxo/. */
#ifndef RUXO_INTERNAL_H
#define RUXO_INTERNAL_H

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
    time_t tmAlive;
    int nExitCode;
} RUXO_PROC_CTX;

/* Guards the slot table and the slot fields of g_cfg. Recursive: a stop is re-entered from the poll.
 * Lock order: configuration lock -> engine mutex -> log mutex. */
extern std::recursive_mutex g_engineMutex;
extern RUXO_PROC_CTX* g_procChannels;

/* Starts a transcoder child in slot iChannel and hands it the access token, the finished command line
 * szArg and a newline, then binds it to its processors. The caller holds g_engineMutex and has checked
 * that the engine is initialised, the index valid and the slot idle. Returns 0, -1, -5 or -13. */
int _ruxoStartChild(int iChannel, const char* szArg, int bPreview);

#endif
