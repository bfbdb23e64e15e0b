/* ruxo_ndi.h -- NDI source discovery: the sources on the network that the web interface's picker
 * offers for an NDI source.
 *
 * The NDI run-time library "libndi.so.5" is loaded on the first request (looked for in the
 * program's own folder first, then in the system's library path) and stays loaded; a machine
 * without it simply sees no sources, and the daemon runs all the same. The record is plain: the
 * caller zeroes one and passes it. */
#ifndef RUXO_NDI_H
#define RUXO_NDI_H

#include <stdint.h>

#include "ruxo_decklink.h" /* RUXO_DEVICE_NAME_CCH */

#define RUXO_MAX_NDI_SOURCES 20
#define RUXO_NDI_WAIT_MAX_SECS 60 /* the longest wait of one step, and of the whole search */

typedef struct RUXO_NDI_TAG {
    uint32_t nSources;
    char tszSourceName[RUXO_MAX_NDI_SOURCES][RUXO_DEVICE_NAME_CCH];
    char tszSourceAddr[RUXO_MAX_NDI_SOURCES][RUXO_DEVICE_NAME_CCH]; /* the source's URL address */
} RUXO_NDI;

/* Searches the network for NDI sources and fills pNDI. The search waits in steps of nWaitSecs
 * seconds (held to 0..60) until a step brings no change, and ends 60 seconds after it began at
 * the latest. Each step is one wait of the library. 0 after a search (the list may be empty), -1
 * when the library cannot be loaded or initialised or gives no source finder. At most 20 sources are listed; names and addresses are
 * cut to 999 bytes on a UTF-8 character boundary. Holds the calling thread for the whole search;
 * touches no shared state of the system. */
int ruxoEnumNDI(RUXO_NDI* pNDI, int nWaitSecs);

/* Tells a search that it is to end now (non-zero), such as when the web server that waits for it
 * is being stopped. */
typedef int (*RUXO_NDI_STOPPED)(void);
#define RUXO_NDI_STOP_CHECK_MS 100 /* the longest wait of the library between two looks at the stop */

/* ruxoEnumNDI that looks at pfnStopped before every wait and cuts each step into waits of at most
 * 100 ms (a wait that reports no change counts as waited in full): once pfnStopped answers
 * non-zero the search ends within one such wait and lists what it found so far. With a null
 * pfnStopped it is ruxoEnumNDI. */
int ruxoEnumNDIUntilStopped(RUXO_NDI* pNDI, int nWaitSecs, RUXO_NDI_STOPPED pfnStopped);

#endif
