/* fake_core.cpp -- the recording stand-in for the engine core used by the command-line unit tests and
 * the fuzz target of the channel start. */
#include "fake_core.h"

#include <string.h>

RUXO_GLOBAL g_cfg;
std::recursive_mutex g_engineMutex;
static RUXO_PROC_CTX s_slots[RUXO_MAX_SLOTS];
RUXO_PROC_CTX* g_procChannels = s_slots;

std::vector<std::string> g_fakeLog;
std::vector<FakeStart> g_fakeStarts;
bool g_fakeLogFails = false;
int g_fakeStartResult = 0;

void fakeEngineReset(int slots, int logLevel, const char* dataPath)
{
    memset(s_slots, 0, sizeof s_slots);
    /* Field by field: the settings record holds atomics, which memset must not touch. */
    g_cfg.bInit = TRUE;
    g_cfg.nMaxChannels = slots;
    g_cfg.nLogLevel = logLevel;
    g_cfg.nCPUs = 0;
    g_cfg.nCpuPerChannel = 0;
    g_cfg.fnAppCallback = nullptr;
    for (RUXO_CPU_USAGE& u : g_cfg.cpuUsage) {
        u.last_load = u.last_total = 0;
        u.load_pct = 0;
    }
    snprintf(g_cfg.szfnFfmpeg, sizeof g_cfg.szfnFfmpeg, "/opt/ruxod/ruxod.so");
    memset(g_cfg.szfnFfserver, 0, sizeof g_cfg.szfnFfserver);
    snprintf(g_cfg.szDataPath, sizeof g_cfg.szDataPath, "%s", dataPath);
    g_fakeLog.clear();
    g_fakeStarts.clear();
    g_fakeLogFails = false;
    g_fakeStartResult = 0;
}

int ruxoLog(int iChannel, int bTimestamp, const char* szLog)
{
    (void)iChannel;
    (void)bTimestamp;
    if (!g_cfg.bInit)
        return -1;
    if (g_cfg.nLogLevel == 0)
        return 0;
    if (g_fakeLogFails)
        return -1;
    g_fakeLog.push_back(szLog);
    return 0;
}

int _ruxoClaimSlot(int iChannel, int bPreview, std::string* pExe)
{
    if (!g_cfg.bInit)
        return RUXO_ERR_NOT_INIT;
    if (iChannel < 0 || iChannel >= g_cfg.nMaxChannels)
        return RUXO_ERR_CHANNEL;
    RUXO_PROC_CTX* pProc = &g_procChannels[iChannel];
    if (pProc->state != RUXO_STATE_IDLE || pProc->bStarting)
        return RUXO_ERR_BUSY;
    pProc->bStarting = true;
    pProc->nStartState = bPreview ? RUXO_STATE_PREVIEW : RUXO_STATE_RUNNING;
    *pExe = g_cfg.szfnFfmpeg;
    return RUXO_OK;
}

void _ruxoUnclaimSlot(int iChannel)
{
    g_procChannels[iChannel].bStarting = false;
}

int _ruxoStartProc(int iChannel, const std::string& exe, const char* szArg)
{
    (void)exe;
    RUXO_PROC_CTX* pProc = &g_procChannels[iChannel];
    g_fakeStarts.push_back({iChannel, szArg, pProc->nStartState == RUXO_STATE_PREVIEW ? 1 : 0});
    pProc->bStarting = false;
    if (g_fakeStartResult == 0)
        pProc->state = pProc->nStartState;
    return g_fakeStartResult;
}

/* The slot getters and the stop of the real core, on the fake slots (no child to signal). */
static bool fakeSlot(int iChannel)
{
    return g_cfg.bInit && iChannel >= 0 && iChannel < g_cfg.nMaxChannels;
}

RUXO_CHANNEL_STATE ruxoGetState(int iChannel)
{
    return fakeSlot(iChannel) ? g_procChannels[iChannel].state : RUXO_STATE_IDLE;
}

void ruxoStop(int iChannel, int nStopMode)
{
    (void)nStopMode;
    if (fakeSlot(iChannel) && g_procChannels[iChannel].state != RUXO_STATE_IDLE)
        g_procChannels[iChannel].state = RUXO_STATE_STOPPING;
}

void ruxoStopWithin(int iChannel, int nSeconds)
{
    (void)nSeconds;
    ruxoStop(iChannel, 0);
}

void ruxoGetStreamProgress(int iChannel, int* pnSec, int* pnFPS, int* pnKbps)
{
    const bool bSlot = fakeSlot(iChannel);
    *pnSec = bSlot ? g_procChannels[iChannel].nStreamingSec : -1;
    *pnFPS = bSlot ? g_procChannels[iChannel].nFPS : -1;
    *pnKbps = bSlot ? g_procChannels[iChannel].nBitrate : -1;
}
