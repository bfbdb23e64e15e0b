/* ruxo_legacy.h -- the records of the old line-based configuration and their JSON rendering.
 *
 * The legacy model (global settings and 16 channel records) is what a first start converts into
 * the JSON configuration file, and what a save writes while there is no configuration tree. The
 * records are written only during start-up and read by the rendering; callers hold g_configLock. */
#ifndef RUXO_LEGACY_H
#define RUXO_LEGACY_H

#include <string>

#include "ruxo.h"
#include "tchar.h"

#define RUXO_LEGACY_TEXT 1000     /* every text field of the legacy records, NUL included */
#define RUXO_LEGACY_CHANNELS 16   /* channel blocks of the legacy file */
#define RUXO_LEGACY_FILTERS 10    /* video filters of one legacy channel */

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
    RUXO_SOURCE source;                   /* pszSrcName points at tszfnSource once it is set */
    TCHAR tszfnSource[RUXO_LEGACY_TEXT];
} RUXO_CHANNEL_SOURCE;

typedef struct RUXO_CHANNEL_TARGET_TAG {
    RUXO_TARGET target;                   /* pszDstName points at tszfnTarget once it is set */
    TCHAR tszfnTarget[RUXO_LEGACY_TEXT];
    TCHAR tszVideoParam[RUXO_LEGACY_TEXT];
    TCHAR tszAudioParam[RUXO_LEGACY_TEXT];
    RUXO_RTMP_OPT rtmp;
} RUXO_CHANNEL_TARGET;

typedef struct RUXO_CHANNEL_TAG {
    int bEnable;
    int nSources;                         /* 0..RUXO_MAX_RECORDS */
    RUXO_CHANNEL_SOURCE sources[5];
    TCHAR tszSourceVideoParam[RUXO_LEGACY_TEXT];
    TCHAR tszCustomSourceParam[RUXO_LEGACY_TEXT];
    int nTargets;                         /* 0..RUXO_MAX_RECORDS */
    RUXO_CHANNEL_TARGET targets[5];
    TCHAR tszMapParam[RUXO_LEGACY_TEXT];
    TCHAR tszFormatParam[RUXO_LEGACY_TEXT];
    int nFilters;                         /* 0..RUXO_LEGACY_FILTERS */
    TCHAR tszFilters[RUXO_LEGACY_FILTERS][RUXO_LEGACY_TEXT];
    TCHAR tszCustomTargetParam[RUXO_LEGACY_TEXT];
    int nTimeShiftSec;
    TCHAR tszTimeShiftCacheFolder[RUXO_LEGACY_TEXT];
    TCHAR tszMemo[RUXO_LEGACY_TEXT];
} RUXO_CHANNEL;

/* At process start: HTTP port 8888, auto-run on, everything else 0 or empty; 16 empty channels. */
extern GLOBAL_SETTINGS g_globalSettings;
extern RUXO_CHANNEL g_ruxoChannels[RUXO_LEGACY_CHANNELS];

/* The reset a configuration reader applies when it opens its file: HTTP port 8888, RTSP port 5544,
 * auto-restart 1, every other field 0 or empty. */
void ruxoResetGlobalSettings(void);

/* The JSON text of the legacy model as it stands (always valid JSON, numbers with a full stop). */
std::string ruxoRenderLegacyConfig(void);

/* A text value made safe between JSON quotation marks: quotation marks, reverse solidi and
 * control characters escaped, everything else unchanged. */
std::string _jsonUnescape(const char* szText);

#endif
