/* ruxo_log_internal.h -- what the engine's other files ask of the channel logs (ruxo_log.cpp)
 * beyond the public calls of ruxo.h. The logs keep their own copy of what they depend on (the data
 * folder, the level, whether the engine is up), given by the core whenever it changes its
 * settings; they read nothing of the core. Not for use outside libruxo/. */
#ifndef RUXO_LOG_INTERNAL_H
#define RUXO_LOG_INTERNAL_H

#include "ruxo.h"

/* Sets the data folder that the logs live in (under the log mutex, which every line holds while it
 * reads it) and closes the descriptors kept on another folder's logs. The text fits
 * RUXO_MAX_PATH (the caller checked). */
void _ruxoLogSetFolder(const char* szData);
/* The level and the engine's up flag that ruxoLog obeys: nothing is logged while the engine is not
 * up (RUXO_ERR_NOT_INIT) or while the level is 0. The core sets them with its own settings. */
void _ruxoLogSetLevel(int nLogLevel);
void _ruxoLogSetUp(bool bUp);
/* Closes the descriptor kept open on channel iChannel's log; its next line opens the file again. */
void _ruxoLogRelease(int iChannel);
/* Closes every kept log descriptor (the release). */
void _ruxoLogReleaseAll(void);
/* Logs "<szWhat>: <the text of err>" with a time stamp to slot iChannel's log, through ruxoLog (so
 * the level applies); nothing for a negative index. For failed system calls of the engine. */
void _ruxoLogErrno(int iChannel, const char* szWhat, int err);

#endif
