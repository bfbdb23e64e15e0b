/* ruxo_channel.h -- channel start, preview, stop, state and status, read from the configuration
 * tree at the moment of the call. Every function takes g_configLock itself. */
#ifndef RUXO_CHANNEL_H
#define RUXO_CHANNEL_H

#include <stddef.h>

#include "PlayList.h"
#include "ruxo.h"
#include "tchar.h"

#define RUXO_PREVIEW_PORT 9527

extern CPlayList g_ruxoPlaylists[64];

BOOL isDirectory(LPCTSTR tszfn);
int ruxoStartChannel(int iChannel);
int ruxoPreviewChannel(int iChannel);
void ruxoStopChannel(int iChannel, int nStopMode);
RUXO_CHANNEL_STATE ruxoGetChannelState(int iChannel);
/* Writes a running channel's status text into tszStatus (cchStatus characters, NUL included), over
 * the text there or after it; leaves the buffer unchanged when there is nothing to report. */
void ruxoGetChannelStatus(int iChannel, LPTSTR tszStatus, size_t cchStatus);

#endif
