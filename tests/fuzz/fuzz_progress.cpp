/* fuzz_progress.cpp -- the engine's filter of transcoder output (progress, sign of life, channel log,
 * fatal texts) fed arbitrary chunks, as the poll hands them over: at most 4095 bytes read from the
 * child's pipe, then a NUL. The engine is started for real on a private folder whose "ruxod.so" is
 * never run; the slot is marked running without a child, so a stop signals nothing.
 *
 * Input: one flags byte (log on or off, channel), then chunks, each two length bytes (little end
 * first; the length is taken modulo 4095, plus 1) followed by that many bytes. Rules checked beside the sanitizers: a chunk holding a fatal
 * text leaves the slot stopping; the channel log never grows past its rotation size by more than
 * one chunk. */
#include <string.h>
#include <sys/stat.h>

#include "fuzz_support.h"
#include "ruxo.h"
#include "ruxo_internal.h"

static std::string s_strLogDir;

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    const std::string& strDir = fuzzTempDir();
    const std::string strBin = strDir + "/bin", strData = strDir + "/data";
    s_strLogDir = strData + "/log";
    if (mkdir(strBin.c_str(), 0755) != 0 || mkdir(strData.c_str(), 0755) != 0 ||
        mkdir(s_strLogDir.c_str(), 0755) != 0 ||
        !ruxotest::writeFile(strBin + "/" RUXO_TRANSCODER_NAME, "#!/bin/sh\nexit 0\n") ||
        chmod((strBin + "/" RUXO_TRANSCODER_NAME).c_str(), 0755) != 0) {
        perror("fuzz: engine folders");
        abort();
    }
    RUXO_CONFIG cfg;
    memset(&cfg, 0, sizeof cfg);
    cfg.nLogLevel = 32;
    cfg.pszDllPath = strBin.c_str();
    cfg.pszDataPath = strData.c_str();
    if (ruxoInitA(&cfg) != 0) {
        fprintf(stderr, "fuzz: the engine does not start\n");
        abort();
    }
    return 0;
}

static bool hasFatalText(const char* sz)
{
    return strstr(sz, "Number of bands") || strstr(sz, "channel element") ||
           strstr(sz, "Queue input is backward in time");
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0)
        return 0;
    const int iChannel = (data[0] >> 1) % 4;
    ruxoSetLog((data[0] & 1) ? 32 : 0);
    {
        std::lock_guard<std::recursive_mutex> lk(g_engineMutex);
        RUXO_PROC_CTX* pProc = &g_procChannels[iChannel];
        pProc->pid = 0;
        pProc->state = RUXO_STATE_RUNNING;
        pProc->nStreamingSec = pProc->nFPS = pProc->nBitrate = -1;
    }
    char buf[4096];
    size_t off = 1;
    while (off + 2 <= size) {
        size_t n = ((size_t)data[off] | (size_t)data[off + 1] << 8) % (sizeof buf - 1) + 1;
        off += 2;
        if (n > size - off)
            n = size - off;
        memcpy(buf, data + off, n);
        buf[n] = '\0';
        off += n;
        const bool bFatal = hasFatalText(buf);
        _ruxoLogFilter(iChannel, buf);
        if (bFatal)
            FUZZ_CHECK(ruxoGetState(iChannel) == RUXO_STATE_STOPPING, "a fatal text left the slot running");
    }
    char szLog[64];
    snprintf(szLog, sizeof szLog, "/ruxo_%03d.log", iChannel + 1);
    off_t cbLog = ruxotest::fileSize(s_strLogDir + szLog);
    FUZZ_CHECK(cbLog <= 5000000 + (off_t)sizeof buf, "log of " + std::to_string(cbLog) + " bytes");
    return 0;
}
