/* ruxo_channel.h -- channel start, preview, stop, state and status, read from the configuration
 * tree at the moment of the call. Every function takes g_configLock itself. */
#ifndef RUXO_CHANNEL_H
#define RUXO_CHANNEL_H

#include <stddef.h>

#include <cjson/cJSON.h>

#include <string>

#include "PlayList.h"
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
/* Writes a running channel's status text into tszStatus (cchStatus characters, NUL included), over
 * the text there or after it; leaves the buffer unchanged when there is nothing to report. */
void ruxoGetChannelStatus(int iChannel, LPTSTR tszStatus, size_t cchStatus);
/* The same for a caller that walks the channels itself: jsonChannel is item iChannel of
 * "channels" (null when there is none), valid only under the caller's g_configLock. */
void ruxoGetChannelStatusOf(int iChannel, const cJSON* jsonChannel, LPTSTR tszStatus, size_t cchStatus);

#endif
