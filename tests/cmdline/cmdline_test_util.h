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

inline RUXO_SOURCE_A makeSource(RUXO_FORMAT format, const char* name, const char* params = nullptr)
{
    RUXO_SOURCE_A s;
    memset(&s, 0, sizeof s);
    s.format = format;
    s.video.attr.codec = RUXO_CODEC_NULL;
    s.audio.attr.codec = RUXO_CODEC_NULL;
    s.pszSrcName = name;
    s.pszParams = params;
    return s;
}

inline RUXO_TARGET_A makeTarget(RUXO_FORMAT format, const char* name, const char* params = nullptr)
{
    RUXO_TARGET_A t;
    memset(&t, 0, sizeof t);
    t.format = format;
    t.video.attr.codec = RUXO_CODEC_NULL;
    t.audio.attr.codec = RUXO_CODEC_NULL;
    t.pszDstName = name;
    t.pszParams = params;
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

inline void setVideo(RUXO_TARGET_A& t, RUXO_CODEC codec, int width = 0, int height = 0, float fps = 0,
                     int gop = 0, int quality = 0, int kbps = 0, int interlacing = RUXO_INTERLACE_NONE)
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

inline unsigned long ipv4(const char* dotted) { return inet_addr(dotted); }

/* A private temporary folder with a "log" subfolder, removed at the end of the test. */
struct TempDataDir {
    std::string path;
    TempDataDir()
    {
        char tmpl[] = "/tmp/ruxo-cmdline-XXXXXX";
        const char* p = mkdtemp(tmpl);
        path = p ? p : "/tmp";
        std::string log = path + "/log";
        (void)!mkdir(log.c_str(), 0755);
    }
    ~TempDataDir()
    {
        std::string cmd = "rm -rf '" + path + "'";
        if (path.rfind("/tmp/ruxo-cmdline-", 0) == 0) (void)!system(cmd.c_str());
    }
};

#endif
