/* ruxo_channel.h -- channel start, preview, stop, state and status, read from the configuration
 * tree at the moment of the call (ruxo_channel.cpp), and what the web API asks of the tree and the
 * channels together (ruxo_channel_web.cpp). Every function takes g_configLock itself. */
#ifndef RUXO_CHANNEL_H
#define RUXO_CHANNEL_H

#include <signal.h>
#include <stddef.h>

#include <cjson/cJSON.h>

#include <functional>
#include <string>

#include "PlayList.h"
#include "ruxo_config.h"
#include "ruxo.h"
#include "tchar.h"

#define RUXO_PREVIEW_PORT 9527

extern CPlayList g_ruxoPlaylists[64];

/* The engine's URL tests on narrow text. */
BOOL isRtmpUrl(LPCTSTR tszUrl);
BOOL isStreamUrl(LPCTSTR tszUrl);
/* Builds target iTarget of a channel's "output": its destination name into strTarget and its option
 * items appended to strTargetParam (which may already hold the mux bit-rate item). jsonOutput points
 * into the tree, so the caller holds g_configLock. */
void MakeTarget(const std::string& strSourceParam, std::string& strTarget, std::string& strTargetParam,
                const cJSON* jsonOutput, int iTarget);
/* Item iChannel of the tree's "channels", or null when the tree does not hold it; valid only under
 * the caller's g_configLock. */
cJSON* ruxoChannelAt(int iChannel);
int ruxoStartChannel(int iChannel);
int ruxoPreviewChannel(int iChannel);
void ruxoStopChannel(int iChannel, int nStopMode);
RUXO_CHANNEL_STATE ruxoGetChannelState(int iChannel);
/* Stops the transcoder of every channel index that the tree no longer holds, after a new
 * configuration has been installed: gracefully, and by force once RUXO_REMOVED_STOP_SECONDS have
 * passed (no stop request can reach a channel that is gone, and the next channel in that place
 * would meet a busy slot). */
#define RUXO_REMOVED_STOP_SECONDS 5
void ruxoStopRemovedChannels(void);
/* Whether item iChannel of the tree's "channels" has "enable" true (FALSE when there is none). */
BOOL ruxoChannelEnabled(int iChannel);
/* Gives every channel that is not idle a graceful stop, in index order, each under a hold of
 * g_configLock of its own. */
void ruxoStopAllChannels(void);

/* Where a walk over the channels in index order stands between two of its steps, each of which
 * holds g_configLock for itself: the "channels" item it found last, valid while the tree has not
 * been replaced since (ruxoConfigGeneration). Only the channel layer looks inside it, under the
 * lock. Every walk starts with a fresh one and asks for its channels in rising order. */
typedef struct RUXO_CHANNEL_WALK_TAG {
    const cJSON* jsonAt = nullptr;
    int iAt = -1;
    unsigned long ulGeneration = 0;
} RUXO_CHANNEL_WALK;
/* What a supervision step asks of its caller. */
typedef enum {
    RUXO_STEP_NONE,    /* nothing for this channel */
    RUXO_STEP_START,   /* a folder channel moved to its next file: start it now */
    RUXO_STEP_RESTART, /* arm the channel's restart in *pnAutoRestart seconds (above 0) */
    RUXO_STEP_END      /* no channel at this index nor at a later one, or *pbQuit is set: stop */
} RUXO_CHANNEL_STEP;
/* One channel's step of the daemon's supervision pass, under one hold of g_configLock: a channel
 * whose "enable" is true and whose state is idle either moves its folder source to the next file
 * (when bFolderMayMove; at the end of the list it returns to the first file only while
 * "autoRestart" is above 0) and is to be started at once, or, with any other source, is to be
 * restarted after "autoRestart" seconds when that is above 0. pbQuit (may be null) is looked at
 * once the lock is held: set, the step does nothing and ends the walk. */
RUXO_CHANNEL_STEP ruxoSuperviseChannel(RUXO_CHANNEL_WALK* pWalk, int iChannel, BOOL bFolderMayMove,
                                       const volatile sig_atomic_t* pbQuit, int* pnAutoRestart);

/* Writes a running channel's status text into tszStatus (cchStatus characters, NUL included), over
 * the text there or after it; leaves the buffer unchanged when there is nothing to report. */
void ruxoGetChannelStatus(int iChannel, LPTSTR tszStatus, size_t cchStatus);
/* The same for a caller that walks the channels itself: jsonChannel is item iChannel of
 * "channels" (null when there is none), valid only under the caller's g_configLock. */
void ruxoGetChannelStatusOf(int iChannel, const cJSON* jsonChannel, LPTSTR tszStatus, size_t cchStatus);

/* ---- what the web API asks (ruxo_channel_web.cpp) ---------------------------------------------
 * The router holds the web mutex around each of these, and the tree is replaced only under it. */

#define RUXO_STATUS_CCH 100 /* a running channel's status text, NUL included */

/* One entry of the status reply: channel iChannel's state and, for a running one, its status text:
 * a whole buffer of RUXO_STATUS_CCH characters ending in a NUL, which held "RUNNING" before the
 * channel layer wrote it (null for every other state). */
typedef std::function<void(int iChannel, RUXO_CHANNEL_STATE nState, const char* szStatus)> RUXO_STATUS_ENTRY;
/* The channel part of the status reply: fnEntry for each channel of the list that the status shows
 * (ruxoValidChannels), in order, all of them under one hold of g_configLock and of the engine's
 * slots, so that it composes text only. */
void ruxoWalkChannelStatus(const RUXO_STATUS_ENTRY& fnEntry);

/* The channel actions of the web API. */
typedef enum {
    RUXO_ACTION_NONE, /* an unknown action: nothing is done */
    RUXO_ACTION_START,
    RUXO_ACTION_STOP,
    RUXO_ACTION_PREVIEW
} RUXO_CHANNEL_ACTION;
/* An action on channel iChannel (counted from 0): FALSE, and nothing done, when the tree's
 * "channels" holds no such item. A start starts an idle channel and then sets its "enable" (also
 * after a failed start: the daemon's loop keeps trying); a stop clears "enable" and then stops a
 * running or previewing channel gracefully and a stopping one by force; a preview previews an idle
 * channel and leaves "enable" alone. *pnResult gets the start's result: RUXO_OK for every other
 * action (a failed preview is not reported) and for a start of a channel that was not idle. */
BOOL ruxoChannelAction(int iChannel, RUXO_CHANNEL_ACTION nAction, int* pnResult);

/* What a posted configuration came to. */
typedef enum {
    RUXO_POST_INSTALLED, /* saved and installed: the running configuration */
    RUXO_POST_REFUSED,   /* no configuration, or refused by its check: nothing changed */
    RUXO_POST_NOT_SAVED  /* it could not be saved: nothing changed */
} RUXO_POST_RESULT;
typedef struct RUXO_POSTED_CONFIG_TAG {
    std::string strReason; /* refused or not saved: why, in a short line */
    std::string strText;   /* installed: the text saved (what the file now holds) */
    BOOL bServerChanged;   /* installed: the port or a TLS setting differs from the tree before */
    std::string strPass;   /* installed: its login password */
} RUXO_POSTED_CONFIG;
/* The poster's own check of a configuration that parsed, given the settings of the new tree and of
 * the running one: why it is refused, "" to take it. */
typedef std::function<std::string(const RUXO_WEB_SETTINGS& newSettings, const RUXO_WEB_SETTINGS& oldSettings)>
    RUXO_CONFIG_CHECK;
/* Replaces the configuration with a posted text of cchText bytes (then a NUL), all or nothing,
 * under one hold of g_configLock: the new tree is built (ruxoBuildConfig), refused when it holds
 * neither "global" nor "channels" or when fnCheck (may be empty) refuses it, and saved before it
 * replaces the running one; then the channels it removed are stopped (ruxoStopRemovedChannels) and
 * the engine's log level set from its "log". Starts no channel. */
RUXO_POST_RESULT ruxoPostConfig(const char* szText, size_t cchText, const RUXO_CONFIG_CHECK& fnCheck,
                                RUXO_POSTED_CONFIG* pPosted);

#endif
