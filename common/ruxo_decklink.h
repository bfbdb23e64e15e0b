/* ruxo_decklink.h -- DeckLink device discovery: the device list that the web interface's pickers
 * offer for a DeckLink source or target, each device with the display modes of one side.
 *
 * The DeckLink run-time library "libDeckLinkAPI.so" is bound on the first request (looked for in
 * the program's own folder first, then in the system's library path) and stays loaded; a machine
 * without it simply has no devices. The records are plain: the caller zeroes one and passes it. */
#ifndef RUXO_DECKLINK_H
#define RUXO_DECKLINK_H

#include <stdint.h>

#define RUXO_MAX_DECKLINKS 10        /* devices in one list */
#define RUXO_MAX_DECKLINK_FORMATS 50 /* display modes of one device */
#define RUXO_DEVICE_NAME_CCH 1000    /* a name or address, NUL included */

/* One display mode of one side of a device. The frame rate is nFrameNum / nFrameDen. */
typedef struct DECKLINK_FORMAT_TAG {
    uint32_t nFormatCode; /* the four-character display-mode code, first character highest */
    int nWidth;
    int nHeight;
    int nFrameNum;   /* time units per second (low 32 bits) */
    int nFrameDen;   /* frame duration in those units (low 32 bits) */
    int bInterlaced; /* 1 for a field-based mode */
} DECKLINK_FORMAT;

typedef struct RUXO_DECKLINK_TAG {
    char tszDisplayName[RUXO_DEVICE_NAME_CCH];
    int nFormats;
    DECKLINK_FORMAT formats[RUXO_MAX_DECKLINK_FORMATS];
} RUXO_DECKLINK;

typedef struct RUXO_DECKLINKS_TAG {
    int nDevices;
    RUXO_DECKLINK decklink[RUXO_MAX_DECKLINKS];
} RUXO_DECKLINKS;

/* Fills pDeckLinks with the devices and the display modes of their output side (isOutput not 0)
 * or input side (0). 0 when the library's device iterator could be had (the list may be empty),
 * -1 when the library, its iterator factory or an iterator is missing: the record is then left as
 * it was. Extra devices and modes beyond the capacities are left out; names are cut to 999 bytes
 * on a UTF-8 character boundary. Holds the calling thread for the walk; touches no shared state. */
int ruxoEnumBMD(int isOutput, RUXO_DECKLINKS* pDeckLinks);

#endif
