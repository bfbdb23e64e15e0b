/* cmdline_test_util.h -- small builders for source and target records in the command-line tests. */
#ifndef RUXO_TEST_CMDLINE_UTIL_H
#define RUXO_TEST_CMDLINE_UTIL_H

#include <arpa/inet.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "ruxo.h"
#include "ruxo_test_env.h"

/* A cleared source or target record: both streams off, no codec, the given format and options. */
template <typename R>
R blankRecord(RUXO_FORMAT format, const char* params)
{
    R r;
    memset(&r, 0, sizeof r);
    r.format = format;
    r.video.attr.codec = RUXO_CODEC_NULL;
    r.audio.attr.codec = RUXO_CODEC_NULL;
    r.pszParams = params;
    return r;
}

inline RUXO_SOURCE_A makeSource(RUXO_FORMAT format, const char* name, const char* params = nullptr)
{
    RUXO_SOURCE_A s = blankRecord<RUXO_SOURCE_A>(format, params);
    s.pszSrcName = name;
    return s;
}

inline RUXO_TARGET_A makeTarget(RUXO_FORMAT format, const char* name, const char* params = nullptr)
{
    RUXO_TARGET_A t = blankRecord<RUXO_TARGET_A>(format, params);
    t.pszDstName = name;
    return t;
}

inline void setAudio(RUXO_TARGET_A& t, RUXO_CODEC codec, int channels = 0, int rate = 0, int kbps = 0)
{
    t.audio.bEnable = TRUE;
    t.audio.attr.codec = codec;
    t.audio.attr.nChannel = channels;
    t.audio.attr.nSampleRate = rate;
    t.audio.attr.nKbps = kbps;
}

inline void setVideo(RUXO_TARGET_A& t, RUXO_CODEC codec, int width = 0, int height = 0, float fps = 0, int gop = 0,
                     int quality = 0, int kbps = 0, int interlacing = RUXO_INTERLACE_NONE)
{
    t.video.bEnable = TRUE;
    t.video.attr.codec = codec;
    t.video.attr.nWidth = width;
    t.video.attr.nHeight = height;
    t.video.attr.fFps = fps;
    t.video.attr.nKeyFrameInterval = gop;
    t.video.attr.nQuality = quality;
    t.video.attr.nKbps = kbps;
    t.video.attr.nInterlacing = interlacing;
}

inline unsigned long ipv4(const char* dotted)
{
    return inet_addr(dotted);
}

/* A private temporary folder with a "log" subfolder, removed at the end of the test. */
struct TempDataDir : ruxotest::TempDir {
    TempDataDir() : TempDir("cmdline") { (void)!mkdir(file("log").c_str(), 0755); }
};

#endif
