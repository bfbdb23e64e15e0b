/* ruxo_legacy.h -- the old line-based configuration: its records, its reader, its JSON rendering;
 * the access-list file beside the configuration; and the address helpers of the channel layer.
 *
 * The legacy model (global settings and 16 channel records) is what a first start reads from the
 * ".conf" file and converts into the JSON configuration file, and what a save writes while there is
 * no configuration tree. The records are written only during start-up and read by the rendering;
 * callers hold the configuration lock. The readers here are handed their files' paths and read and
 * render records only: they know nothing of the configuration tree, its paths or its lock. */
#ifndef RUXO_LEGACY_H
#define RUXO_LEGACY_H

#include <stddef.h>
#include <stdint.h>

#include <string>

#include "ruxo.h"
#include "tchar.h"

#define RUXO_LEGACY_TEXT 1000   /* every text field of the legacy records, NUL included */
#define RUXO_LEGACY_CHANNELS 16 /* channel blocks of the legacy file */
#define RUXO_LEGACY_RECORDS 5   /* sources or targets of one legacy channel */
#define RUXO_LEGACY_FILTERS 10  /* video filters of one legacy channel */
#define RUXO_ACL_ENTRIES 100    /* ranges of the access-list file */

/* Results of the legacy file readers below the counts they return (errno tells why). */
#define RUXO_LEGACY_MISSING (-1)    /* the file does not exist */
#define RUXO_LEGACY_UNREADABLE (-2) /* it exists but is no regular file or could not be read */

typedef struct GLOBAL_SETTINGS_TAG {
    int nPortHTTP;
    int nPortRTSP;
    int nLogLevel;
    BOOL bAutoRun;
    int nAutoRestart;
    int nCpuPerChannel;
    int nStreamTimeLimit;
    BOOL bFolderRecur;
    BOOL bFolderShuffle;
    TCHAR szLoginPass[RUXO_LEGACY_TEXT];
} GLOBAL_SETTINGS;

typedef struct RUXO_RTMP_OPT_TAG {
    TCHAR tszFlashVer[RUXO_LEGACY_TEXT];
    TCHAR tszSwfUrl[RUXO_LEGACY_TEXT];
    TCHAR tszPubUser[RUXO_LEGACY_TEXT];
    TCHAR tszPubPass[RUXO_LEGACY_TEXT];
} RUXO_RTMP_OPT;

typedef struct RUXO_CHANNEL_SOURCE_TAG {
    RUXO_SOURCE source; /* pszSrcName points at tszfnSource once it is set */
    TCHAR tszfnSource[RUXO_LEGACY_TEXT];
} RUXO_CHANNEL_SOURCE;

typedef struct RUXO_CHANNEL_TARGET_TAG {
    RUXO_TARGET target; /* pszDstName points at tszfnTarget once it is set */
    TCHAR tszfnTarget[RUXO_LEGACY_TEXT];
    TCHAR tszVideoParam[RUXO_LEGACY_TEXT];
    TCHAR tszAudioParam[RUXO_LEGACY_TEXT];
    RUXO_RTMP_OPT rtmp;
} RUXO_CHANNEL_TARGET;

typedef struct RUXO_CHANNEL_TAG {
    int bEnable;
    int nSources; /* 0..RUXO_LEGACY_RECORDS */
    RUXO_CHANNEL_SOURCE sources[RUXO_LEGACY_RECORDS];
    TCHAR tszSourceVideoParam[RUXO_LEGACY_TEXT];
    TCHAR tszCustomSourceParam[RUXO_LEGACY_TEXT];
    int nTargets; /* 0..RUXO_LEGACY_RECORDS */
    RUXO_CHANNEL_TARGET targets[RUXO_LEGACY_RECORDS];
    TCHAR tszMapParam[RUXO_LEGACY_TEXT];
    TCHAR tszFormatParam[RUXO_LEGACY_TEXT];
    int nFilters; /* 0..RUXO_LEGACY_FILTERS */
    TCHAR tszFilters[RUXO_LEGACY_FILTERS][RUXO_LEGACY_TEXT];
    TCHAR tszCustomTargetParam[RUXO_LEGACY_TEXT];
    int nTimeShiftSec;
    TCHAR tszTimeShiftCacheFolder[RUXO_LEGACY_TEXT];
    TCHAR tszMemo[RUXO_LEGACY_TEXT];
} RUXO_CHANNEL;

/* One range of the access-list file, addresses in host byte order. */
typedef struct RUXO_IPACL_TAG {
    uint32_t ip_begin;
    uint32_t ip_end;
    BOOL bAllow; /* an "allow" line; FALSE for any other command */
} RUXO_IPACL;

/* At process start: HTTP port 8888, auto-run on, everything else 0 or empty; 16 empty channels. */
extern GLOBAL_SETTINGS g_globalSettings;
extern RUXO_CHANNEL g_ruxoChannels[RUXO_LEGACY_CHANNELS];
/* Read at every start-up and consulted by nothing: the web server admits clients by "ipACL". */
extern RUXO_IPACL g_ipAcl[RUXO_ACL_ENTRIES];

/* The reset a configuration reader applies when it opens its file: HTTP port 8888, RTSP port 5544,
 * auto-restart 1, every other field 0 or empty. */
void ruxoResetGlobalSettings(void);

/* Reads a legacy configuration file into g_globalSettings and g_ruxoChannels and touches nothing
 * else (no locale, no output): the number of channel blocks read, or RUXO_LEGACY_MISSING or
 * RUXO_LEGACY_UNREADABLE with errno set, the records then unchanged for a file that could not be
 * opened. Every value is bounded: a line keeps its first 999 characters, numbers are held to their
 * field's range, a decimal reads a full stop or a comma whatever the locale. *pnSettings, when
 * given, gets the number of global settings that took a value (0 for a file of which nothing
 * outside the channel blocks was understood). */
int ruxoImportConfigXML(LPCTSTR tszfnConfig, int* pnSettings = NULL);

/* Reads an access-list file into g_ipAcl (zeroed first): the number of entries taken (at most
 * RUXO_ACL_ENTRIES), or RUXO_LEGACY_MISSING or RUXO_LEGACY_UNREADABLE with errno set. */
int ruxoReadAclFile(LPCTSTR tszfnAcl);

/* The JSON text of the legacy model as it stands (always valid JSON, numbers with a full stop). */
std::string ruxoRenderLegacyConfig(void);

/* A text value made safe between JSON quotation marks: quotation marks, reverse solidi and
 * control characters escaped, everything else unchanged. */
std::string _jsonUnescape(const char* szText);

/* Dotted-decimal text of an IPv4 address held in network byte order in the low 32 bits, in a
 * per-thread buffer valid until this thread's next call. */
LPTSTR Inet_ntoa(unsigned long ipn);
/* The address of a dotted text in network byte order; all 32 bits set for a text that is no
 * address (and for a null text). */
unsigned long Inet_addr(LPCTSTR ip);

#endif
