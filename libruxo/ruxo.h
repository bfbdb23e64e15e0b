/* ruxo.h -- the transcoding engine's public interface.
 *
 * The engine keeps a table of transcoder slots. For each running channel it starts one child of the
 * transcoder executable "ruxod.so", writes it the access token and an FFmpeg-style command line built
 * from plain source and target records, follows its progress, and stops, kills and reaps it. It also
 * owns the per-channel log files and samples the processors' load. Callers hand in plain records and
 * get back return codes: RUXO_OK (0) for success, a negative RUXO_RESULT for a failure. */
#ifndef RUXO_H
#define RUXO_H

#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>
#include <time.h>
#include <wchar.h>

#include <atomic>

typedef int BOOL; /* also the application layer's flag type (common/tchar.h) */
#ifndef TRUE
#define TRUE 1
#define FALSE 0
#endif

/* ---- result codes --------------------------------------------------------------------------- */

/* What the engine and the channel layer return. The values are fixed: the web routes map some of
 * them to reply texts and the daemon prints them. Functions keep returning int. */
typedef enum {
    RUXO_OK = 0,
    RUXO_ERR_NOT_INIT = -1,       /* the engine is not initialised */
    RUXO_ERR_FAILED = -1,         /* a helper's plain failure: a log line or SDP file not written,
                                    * start-up settings that do not fit */
    RUXO_ERR_CHANNEL = -2,        /* slot or channel index out of range, or no such channel */
    RUXO_ERR_BUSY = -3,           /* the slot is not idle */
    RUXO_ERR_NOT_EXECUTABLE = -3, /* start-up: the transcoder is no executable file */
    RUXO_ERR_PIPE = -5,           /* a pipe to the child cannot be made */
    RUXO_ERR_RTP_SOURCE = -6,     /* a native RTP source without a local port, or its SDP file fails */
    RUXO_ERR_SOURCE = -7,         /* a source without a usable name (a folder without files too) */
    RUXO_ERR_TARGET = -8,         /* a target without a usable name */
    RUXO_ERR_CODEC = -9,          /* a stream whose codec has no encoder name */
    RUXO_ERR_TARGET_FORMAT = -10, /* a target format without an output form */
    RUXO_ERR_LOG = -12,           /* logging is on and the command line cannot be logged */
    RUXO_ERR_CHILD = -13          /* the child process cannot be created */
} RUXO_RESULT;

/* ---- shared enumerations ------------------------------------------------------------------- */

typedef enum {
    RUXO_FORMAT_GENERAL = 0,
    RUXO_FORMAT_RTMP = 1,
    RUXO_FORMAT_UDP = 2,
    RUXO_FORMAT_HTTP = 3,
    RUXO_FORMAT_HTTP_MP4 = 4,
    RUXO_FORMAT_RTPTS = 5,
    RUXO_FORMAT_SRT = 6,
    RUXO_FORMAT_HLS = 7,
    RUXO_FORMAT_DASH = 8,
    RUXO_FORMAT_DEVICE = 9,
    RUXO_FORMAT_RTP = 10,
    RUXO_FORMAT_RTSP = 11,
    RUXO_FORMAT_DECKLINK = 12,
    RUXO_FORMAT_NDI = 13,
    RUXO_FORMAT_HTTP_MJPEG = 14,
    RUXO_FORMAT_NULL = 255
} RUXO_FORMAT;

typedef enum {
    RUXO_AUDIO_G711U = 0,
    RUXO_AUDIO_G711A = 1,
    RUXO_AUDIO_PCM16S = 2,
    RUXO_AUDIO_PCM24S = 3,
    RUXO_AUDIO_PCM16U = 4,
    RUXO_AUDIO_PCM24U = 5,
    RUXO_AUDIO_MP2 = 6,
    RUXO_AUDIO_MP3 = 7,
    RUXO_AUDIO_AMR = 8,
    RUXO_AUDIO_AAC = 9,
    RUXO_AUDIO_HEAAC = 10,
    RUXO_AUDIO_OPUS = 11,
    RUXO_AUDIO_AC3 = 12,
    RUXO_AUDIO_EAC3 = 13,
    RUXO_AUDIO_COPY = 14,
    RUXO_VIDEO_H261 = 128,
    RUXO_VIDEO_H263 = 129,
    RUXO_VIDEO_H263P = 130,
    RUXO_VIDEO_MP1 = 131,
    RUXO_VIDEO_MP2 = 132,
    RUXO_VIDEO_MP4 = 133,
    RUXO_VIDEO_FLV = 134,
    RUXO_VIDEO_H264 = 135,
    RUXO_VIDEO_H265 = 136,
    RUXO_VIDEO_NV264 = 137,
    RUXO_VIDEO_NV265 = 138,
    RUXO_VIDEO_QSV264 = 139,
    RUXO_VIDEO_QSV265 = 140,
    RUXO_VIDEO_QSVVP9 = 141,
    RUXO_VIDEO_QSVMPG = 142,
    RUXO_VIDEO_AMF264 = 143,
    RUXO_VIDEO_AMF265 = 144,
    RUXO_VIDEO_PRORES = 145,
    RUXO_VIDEO_MJPEG = 146,
    RUXO_VIDEO_VP8 = 147,
    RUXO_VIDEO_VP9 = 148,
    RUXO_VIDEO_AV1 = 149,
    RUXO_VIDEO_COPY = 150,
    RUXO_CODEC_NULL = 255
} RUXO_CODEC;

typedef enum {
    RUXO_INTERLACE_NONE = 0,
    RUXO_INTERLACE_DEINT = 1,
    RUXO_INTERLACE_TOP_FIRST = 2,
    RUXO_INTERLACE_BOTTOM_FIRST = 3
} RUXO_INTERLACE_MODE;

typedef enum { IN_BAND = 0, OUT_OF_BAND = 1 } GLOBAL_HEADER_TYPE;

typedef enum {
    RUXO_STATE_IDLE = 0,
    RUXO_STATE_RUNNING = 1,
    RUXO_STATE_PREVIEW = 2,
    RUXO_STATE_STOPPING = 3
} RUXO_CHANNEL_STATE;

/* ---- source and target records (built by the channel layer, read during a start only) ------- */

typedef struct RUXO_VIDEO_ATTR_TAG {
    RUXO_CODEC codec;      /* 128..150 or RUXO_CODEC_NULL */
    int nWidth, nHeight;   /* pixels; 0 = not set */
    float fFps;            /* <= 0 = not set */
    int nKeyFrameInterval; /* frames; <= 0 = not set */
    int nQuality;          /* 1..100; 0 = not set */
    int nKbps;             /* 0 = not set */
    int nInterlacing;      /* a RUXO_INTERLACE_MODE */
} RUXO_VIDEO_ATTR;

typedef struct RUXO_AUDIO_ATTR_TAG {
    RUXO_CODEC codec; /* 0..14 or RUXO_CODEC_NULL */
    int nChannel;     /* <= 0 = not set */
    int nSampleRate;  /* Hz; <= 0 = not set */
    int nKbps;        /* <= 0 = not set */
} RUXO_AUDIO_ATTR;

#define RUXO_FMTP_SIZE 1000

typedef struct RUXO_RTP_SESSION_TAG {
    unsigned long ulSrcIP;    /* IPv4, network byte order in the low 32 bits; 0 = none */
    unsigned short usSrcPort; /* host order; 0 = none */
    unsigned long ulDstIP;
    unsigned short usDstPort;
    GLOBAL_HEADER_TYPE globalHeader;
    char szFmtp[RUXO_FMTP_SIZE]; /* SDP format parameters; empty = none */
} RUXO_RTP_SESSION;

typedef struct RUXO_VIDEO_STREAM_TAG {
    BOOL bEnable;
    RUXO_VIDEO_ATTR attr;
    RUXO_RTP_SESSION rtp;
} RUXO_VIDEO_STREAM;

typedef struct RUXO_AUDIO_STREAM_TAG {
    BOOL bEnable;
    RUXO_AUDIO_ATTR attr;
    RUXO_RTP_SESSION rtp;
} RUXO_AUDIO_STREAM;

typedef struct RUXO_SOURCE_A_TAG {
    RUXO_FORMAT format;
    RUXO_VIDEO_STREAM video;
    RUXO_AUDIO_STREAM audio;
    const char* pszSrcName; /* may be null */
    const char* pszParams;  /* may be null or empty */
} RUXO_SOURCE_A, RUXO_SOURCE;

typedef struct RUXO_SOURCE_W_TAG {
    RUXO_FORMAT format;
    RUXO_VIDEO_STREAM video;
    RUXO_AUDIO_STREAM audio;
    const wchar_t* pszSrcName;
    const wchar_t* pszParams;
} RUXO_SOURCE_W;

typedef struct RUXO_TARGET_A_TAG {
    RUXO_FORMAT format;
    RUXO_VIDEO_STREAM video;
    RUXO_AUDIO_STREAM audio;
    int nKbpsMux;           /* 0 = not set */
    const char* pszDstName; /* may be null */
    const char* pszParams;  /* may be null or empty */
} RUXO_TARGET_A, RUXO_TARGET;

typedef struct RUXO_TARGET_W_TAG {
    RUXO_FORMAT format;
    RUXO_VIDEO_STREAM video;
    RUXO_AUDIO_STREAM audio;
    int nKbpsMux;
    const wchar_t* pszDstName;
    const wchar_t* pszParams;
} RUXO_TARGET_W;

/* ---- engine settings ------------------------------------------------------------------------ */

#define RUXO_MAX_PATH 256  /* engine paths */
#define RUXO_MAX_CPUS 64   /* processors whose load is sampled */
#define RUXO_MAX_SLOTS 128 /* slot table size after start-up */
#define RUXO_MAX_ARG 4000  /* a transcoder command line, NUL included */
#define RUXO_ACCESS_TOKEN "quBra_6093"
#define RUXO_TRANSCODER_NAME "ruxod.so"

typedef void (*RUXO_CALLBACK)(void* pContext, char* szInfo);

typedef struct RUXO_CONFIG_TAG {
    unsigned short nPortHTTP;
    unsigned short nPortRTSP;
    int nCpuPerChannel;
    int nLogLevel;
    const void* pszDllPath;  /* char text for ruxoInitA, wchar_t for ruxoInitW; null = program folder */
    const void* pszDataPath; /* the same; null = program folder */
    const void* pszfnAcl;    /* not read by the engine */
} RUXO_CONFIG;

/* The words that other threads read without a lock (the status reply reads load_pct and nCPUs, the
 * web thread sets the log level) are atomics; the rest is under the engine mutex. */
typedef struct RUXO_CPU_USAGE_TAG {
    uint32_t last_load;
    uint32_t last_total;
    std::atomic<int> load_pct;
} RUXO_CPU_USAGE;

typedef struct RUXO_GLOBAL_TAG {
    std::atomic<int> nLogLevel;
    int nMaxChannels;
    char szfnFfmpeg[RUXO_MAX_PATH];
    char szfnFfserver[RUXO_MAX_PATH];
    char szDataPath[RUXO_MAX_PATH];
    std::atomic<int> nCPUs;
    RUXO_CPU_USAGE cpuUsage[RUXO_MAX_CPUS];
    std::atomic<int> nCpuPerChannel;
    std::atomic<BOOL> bInit;
    std::atomic<RUXO_CALLBACK> fnAppCallback;
} RUXO_GLOBAL;

extern RUXO_GLOBAL g_cfg;

/* ---- engine start-up and settings (ruxo.cpp) ------------------------------------------------- */

int ruxoInitA(const RUXO_CONFIG* pConfig);
int ruxoInitW(const RUXO_CONFIG* pConfig);
void ruxoInitChannels(void);
const char* ruxoGetProgDir(void);
const char* ruxoGetProgFile(void);
void ruxoSetLog(int nLogLevel);
void ruxoSetCpuAffinity(int nCpuPerChannel);
void ruxoSetAppCallback(RUXO_CALLBACK fnAppCallback);

/* ---- channel logs (ruxo_log.cpp) ------------------------------------------------------------ */

int ruxoLog(int iChannel, int bTimestamp, const char* szLog);
int cleanLogFiles(int iChannel);
/* Moves the log "<stem><ext>" to the first free numbered file "<stem>-N<ext>" (1 the oldest); with
 * all nine taken, the oldest goes and the others move down. The caller serialises its own log. */
void ruxoRotateLogFiles(const char* szStem, const char* szExt);

/* ---- slots and children (ruxo.cpp) ---------------------------------------------------------- */

void ruxoStop(int iChannel, int nStopMode); /* 0 graceful (SIGINT), 1 forced (SIGKILL) */
/* A graceful stop that ends in a forced one: SIGINT now (unless the slot is stopping already), and
 * SIGKILL from the poll once nSeconds have passed while the child has not ended. For a transcoder
 * that nobody could stop again (its channel has left the configuration). */
void ruxoStopWithin(int iChannel, int nSeconds);
int ruxoPoll(void);
void ruxoFree(void);
RUXO_CHANNEL_STATE ruxoGetState(int iChannel);
int ruxoGetStreamTime(int iChannel);
int ruxoGetStreamFPS(int iChannel);
int ruxoGetStreamBitrate(int iChannel);
/* The three progress values of the slot read together, as the three getters above give them. */
void ruxoGetStreamProgress(int iChannel, int* pnSec, int* pnFPS, int* pnKbps);
/* Keeps the slot table as it is (no start, stop or poll of another thread gets in) from
 * ruxoHoldSlots to the matching ruxoReleaseSlots on the same thread, for a caller that reads many
 * slots in a row, such as the status reply; the state and progress getters in between then read
 * without taking the engine's lock again.
 * Hold it briefly (it holds up the poll), and take the configuration lock before it, never after. */
void ruxoHoldSlots(void);
void ruxoReleaseSlots(void);
int ruxoGetExitCode(int iChannel);

/* ---- processor load (ruxo.cpp, sampled by ruxo_cpu.cpp) -------------------------------------- */

void collectCpuUsage(void);
/* Load of processor iCpu in percent (0..100); 0 outside 0..nCPUs-1 and 0..63. Safe on any thread. */
int ruxoGetCpuLoad(int iCpu);

/* ---- transcode start and the command line (ruxo_cmdline.cpp) -------------------------------- */

int ruxoTranscodeMA(int iChannel, const RUXO_SOURCE_A* pSourcesA, int nSources, const RUXO_TARGET_A* pTargetsA,
                    int nTargets, int bPreview);
int ruxoTranscodeA(int iChannel, const RUXO_SOURCE_A* pSourceA, const RUXO_TARGET_A* pTargetA, int bPreview);
int ruxoTranscodeMW(int iChannel, const RUXO_SOURCE_W* pSourcesW, int nSources, const RUXO_TARGET_W* pTargetsW,
                    int nTargets, int bPreview);
int ruxoTranscodeW(int iChannel, const RUXO_SOURCE_W* pSourceW, const RUXO_TARGET_W* pTargetW, int bPreview);

/* ---- codec names, URL tests, SDP files (ruxo_util.cpp) -------------------------------------- */

const char* getCodecName(RUXO_CODEC codec);     /* encoder name, or null */
const char* ruxoGetCodecName(RUXO_CODEC codec); /* short name, or null */
int _isRtmpUrl(const void* pUrl, int bUnicode);
int _isRTPUrl(const void* pUrl, int bUnicode);
int _isStreamUrl(const void* pUrl, int bUnicode);
int ruxoExportSdp(const char* szfnSdp, const RUXO_VIDEO_STREAM* pVideo, const RUXO_AUDIO_STREAM* pAudio, int iSrc);
int ruxoImportSdp(const char* szfnSdp, RUXO_VIDEO_STREAM* pVideo, RUXO_AUDIO_STREAM* pAudio, int iDst);

#endif
