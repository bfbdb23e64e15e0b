/* ruxo_channel_web.cpp -- what the web API asks of the configuration tree and the channels
 * together, each as one call that takes g_configLock itself: the channel part of the status reply,
 * a channel action with its "enable" write, and a posted configuration's check, save and install
 * with the stops of the channels it removed. The router turns a request into one of these calls
 * and its result into a reply; it neither takes the lock nor walks the tree.
 *
 * The router holds the web mutex around each call, and the tree is replaced only under it, so the
 * lock order is web mutex -> g_configLock -> engine mutex -> log mutex. These functions stand apart
 * from the channel operations that they call (ruxo_channel.cpp), so that the router can be tested
 * with stand-ins for those. */
#include <limits.h>

#include <algorithm>
#include <mutex>
#include <string>
#include <vector>

#include "ruxo_channel.h"
#include "ruxo_config.h"

typedef std::lock_guard<std::recursive_mutex> CONFIG_GUARD;
typedef std::unique_lock<std::recursive_mutex> CONFIG_LOCK;

namespace {

/* Holds the engine's slot table still for a scope (ruxoHoldSlots). */
class SlotsHold {
public:
    SlotsHold() { ruxoHoldSlots(); }
    ~SlotsHold() { ruxoReleaseSlots(); }
    SlotsHold(const SlotsHold&) = delete;
    SlotsHold& operator=(const SlotsHold&) = delete;
};

}  // namespace

/* ---- status ---------------------------------------------------------------------------------- */

void ruxoWalkChannelStatus(const RUXO_STATUS_ENTRY& fnEntry)
{
    CONFIG_GUARD guard(g_configLock);
    SlotsHold slots; /* one take of the engine's lock for all the channels' states */
    /* The list ends at the first channel that is not valid; kept with the tree. */
    const std::vector<cJSON*>& channels = ruxoValidChannels();
    const int nChannels = (int)std::min(channels.size(), (size_t)INT_MAX);
    for (int i = 0; i < nChannels; i++) {
        const RUXO_CHANNEL_STATE nState = ruxoGetChannelState(i);
        if (nState != RUXO_STATE_RUNNING) {
            fnEntry(i, nState, nullptr);
            continue;
        }
        char szStatus[RUXO_STATUS_CCH] = "RUNNING";
        ruxoGetChannelStatusOf(i, channels[(size_t)i], szStatus, sizeof(szStatus));
        szStatus[sizeof(szStatus) - 1] = '\0';
        fnEntry(i, nState, szStatus);
    }
}

/* ---- channel actions ------------------------------------------------------------------------- */

BOOL ruxoChannelAction(int iChannel, RUXO_CHANNEL_ACTION nAction, int* pnResult)
{
    *pnResult = RUXO_OK;
    /* Let go around a start or a preview, which take it themselves and let it go again while the
     * transcoder is made. */
    CONFIG_LOCK lock(g_configLock);
    cJSON* jsonChannels = jsonGetItem(g_jsonConfig, "channels");
    if (iChannel < 0 || iChannel >= jsonGetArraySize(jsonChannels))
        return FALSE;

    switch (nAction) {
    case RUXO_ACTION_START:
        if (ruxoGetChannelState(iChannel) == RUXO_STATE_IDLE) {
            lock.unlock();
            *pnResult = ruxoStartChannel(iChannel);
            lock.lock();
            /* Another thread (a restart timer, the daemon's loop) started it in between: it runs,
             * as asked. */
            if (*pnResult == RUXO_ERR_BUSY && ruxoGetChannelState(iChannel) != RUXO_STATE_IDLE)
                *pnResult = RUXO_OK;
        }
        /* Set also after a failed start: the daemon's loop keeps trying. The tree is replaced only
         * under the web mutex, which the caller holds, so the channel is still there. */
        jsonSetBool(jsonGetArrayItem(jsonGetItem(g_jsonConfig, "channels"), iChannel), "enable", true, true);
        break;
    case RUXO_ACTION_STOP: {
        jsonSetBool(jsonGetArrayItem(jsonChannels, iChannel), "enable", false, true);
        const RUXO_CHANNEL_STATE state = ruxoGetChannelState(iChannel);
        if (state == RUXO_STATE_RUNNING || state == RUXO_STATE_PREVIEW)
            ruxoStopChannel(iChannel, 0);
        else if (state == RUXO_STATE_STOPPING)
            ruxoStopChannel(iChannel, 1);
        break;
    }
    case RUXO_ACTION_PREVIEW:
        /* A preview that fails to start is not reported. */
        if (ruxoGetChannelState(iChannel) == RUXO_STATE_IDLE) {
            lock.unlock();
            (void)ruxoPreviewChannel(iChannel);
            lock.lock();
        }
        break;
    case RUXO_ACTION_NONE:
        break;
    }
    return TRUE;
}

/* ---- configuration post ---------------------------------------------------------------------- */

/* Why a configuration that parsed is refused all the same, "" when it is not: a document that
 * holds neither part of a configuration (importing any JSON file would clear everything and move
 * the server to its default port), or what the poster's check finds. */
static std::string configRefusal(const cJSON* jsonNew, const RUXO_WEB_SETTINGS& oldSettings,
                                 const RUXO_CONFIG_CHECK& fnCheck)
{
    if (!cJSON_IsObject(jsonGetItem(jsonNew, "global")) && !cJSON_IsArray(jsonGetItem(jsonNew, "channels")))
        return "not a configuration: it has neither \"global\" nor \"channels\"";
    if (!fnCheck)
        return std::string();
    RUXO_WEB_SETTINGS newSettings;
    ruxoReadWebSettings(jsonNew, &newSettings);
    return fnCheck(newSettings, oldSettings);
}

RUXO_POST_RESULT ruxoPostConfig(const char* szText, size_t cchText, const RUXO_CONFIG_CHECK& fnCheck,
                                RUXO_POSTED_CONFIG* pPosted)
{
    pPosted->strReason.clear();
    pPosted->strText.clear();
    pPosted->bServerChanged = FALSE;
    pPosted->strPass.clear();

    CONFIG_GUARD guard(g_configLock);
    RUXO_WEB_SETTINGS oldSettings;
    ruxoReadWebSettings(g_jsonConfig, &oldSettings);

    /* All or nothing: the new tree is built, checked and saved before it replaces the running
     * one. A refusal says why; the tree, the file, the log level and the server stay as they were. */
    std::string strReason;
    cJSON* jsonNew = ruxoBuildConfig(szText != nullptr ? szText : "", szText != nullptr ? cchText : 0, &strReason);
    if (jsonNew != nullptr)
        strReason = configRefusal(jsonNew, oldSettings, fnCheck);
    if (!strReason.empty()) {
        cJSON_Delete(jsonNew);
        pPosted->strReason = strReason;
        return RUXO_POST_REFUSED;
    }
    if (ruxoSaveConfig(jsonNew, &pPosted->strReason, &pPosted->strText) != 0) {
        /* Not saved: it would run only until the next restart. Nothing changes. */
        cJSON_Delete(jsonNew);
        return RUXO_POST_NOT_SAVED;
    }

    /* Installed: from here on the new configuration is the running one. */
    ruxoInstallConfig(jsonNew);
    ruxoStopRemovedChannels();
    const cJSON* jsonGlobal = jsonGetItem(jsonNew, "global");
    ruxoSetLog(getJsonInt(jsonGlobal, "log"));

    RUXO_WEB_SETTINGS newSettings;
    ruxoReadWebSettings(jsonNew, &newSettings);
    pPosted->bServerChanged = newSettings.nPort != oldSettings.nPort || newSettings.bSsl != oldSettings.bSsl ||
                              newSettings.strCert != oldSettings.strCert || newSettings.strKey != oldSettings.strKey;
    pPosted->strPass = ruxoGetLoginPass(jsonGlobal);
    return RUXO_POST_INSTALLED;
}
