/* fuzz_config.cpp -- a posted or loaded configuration text, all the way to the transcoder's
 * arguments: the configuration reader (checks, defaults, validation, caps), the reading rules on
 * every member, then the start and the preview of every channel through the command-line builder
 * (the engine core is the recording stand-in: nothing is forked) and the line through the stand-in
 * transcoder's split and rewrites.
 *
 * Rules checked beside the sanitizers: ruxoSetConfig takes exactly the texts that the reader builds;
 * a tree that is read keeps at most 64 valid channels of at
 * most five sources and five targets; saving it and reading the saved text gives the same text (a
 * save and a restart change nothing); every start gives one of the engine's result codes; a line
 * handed to a transcoder is one line within the limit, which the transcoder splits unless the
 * configuration itself holds a quotation mark. Folder sources are pointed at a small folder of our
 * own, so that no input makes the run scan the machine's folders. */
#include <float.h>
#include <limits.h>
#include <math.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

#include "fake_core.h"
#include "fuzz_support.h"
#include "ruxo_channel.h"
#include "ruxo_config.h"
#include "transcoder_args.h"

static std::string s_strClips;

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    const std::string& strDir = fuzzTempDir();
    const std::string strData = strDir + "/data", strCwd = strDir + "/cwd";
    s_strClips = strDir + "/clips";
    if (mkdir(strData.c_str(), 0755) != 0 || mkdir((strData + "/log").c_str(), 0755) != 0 ||
        mkdir(strCwd.c_str(), 0755) != 0 || mkdir(s_strClips.c_str(), 0755) != 0 ||
        !ruxotest::writeFile(s_strClips + "/a.mp4", "") || !ruxotest::writeFile(s_strClips + "/b.ts", "") ||
        chdir(strCwd.c_str()) != 0) {
        perror("fuzz: folders");
        abort();
    }
    fakeEngineReset(RUXO_MAX_SLOTS, 32, strData.c_str());
    /* No configuration file: nothing here saves. */
    g_tszfnConfig.clear();
    return 0;
}

static std::string printed(const cJSON* tree)
{
    char* sz = cJSON_Print(tree);
    FUZZ_CHECK(sz != nullptr, "the tree cannot be printed");
    std::string str = sz;
    cJSON_free(sz);
    return str;
}

/* The reading rules on every member of every object (bounded depth: a posted text may nest deep). */
static void readEveryMember(const cJSON* obj, int nDepth)
{
    if (obj == nullptr || nDepth > 8)
        return;
    for (const cJSON* item = obj->child; item != nullptr; item = item->next) {
        if (cJSON_IsObject(obj) && item->string != nullptr) {
            getJsonInt(obj, item->string);
            getJsonBool(obj, item->string);
            getJsonString(obj, item->string);
            getJsonNumber(obj, item->string);
            getJsonTexts(obj, item->string);
        }
        readEveryMember(item, nDepth + 1);
    }
}

/* Two trees hold the same items in the same order, with the same keys, types and values (the
 * library's own comparison looks members up by key, which a text with a key twice defeats). */
static bool sameTree(const cJSON* a, const cJSON* b)
{
    for (; a != nullptr && b != nullptr; a = a->next, b = b->next) {
        if ((a->type & 0xff) != (b->type & 0xff))
            return false;
        if ((a->string == nullptr) != (b->string == nullptr) || (a->string && strcmp(a->string, b->string) != 0))
            return false;
        /* The library saves a number with 15 significant digits when they read back to within one
         * part in 2^52: such a number may come back that close, never further, and reads as the
         * same integer. */
        if (cJSON_IsNumber(a) &&
            (fabs(a->valuedouble - b->valuedouble) > fmax(fabs(a->valuedouble), fabs(b->valuedouble)) * DBL_EPSILON ||
             clampToInt(a->valuedouble) != clampToInt(b->valuedouble)))
            return false;
        if (cJSON_IsString(a) && strcmp(a->valuestring, b->valuestring) != 0)
            return false;
        if (!sameTree(a->child, b->child))
            return false;
    }
    return a == nullptr && b == nullptr;
}

static bool knownStartResult(int n)
{
    static const int s_an[] = {0, -1, -2, -3, -5, -6, -7, -8, -9, -10, -12, -13};
    for (int k : s_an)
        if (n == k)
            return true;
    return false;
}

/* Every source "url" that names a folder (or anything isDirectory takes for one) becomes ours. */
static void ownFolders(cJSON* channels)
{
    for (cJSON* ch = channels ? channels->child : nullptr; ch != nullptr; ch = ch->next) {
        cJSON* sources = jsonGetItem(jsonGetItem(ch, "input"), "sources");
        for (cJSON* src = cJSON_IsArray(sources) ? sources->child : nullptr; src != nullptr; src = src->next) {
            cJSON* url = jsonGetItem(src, "url");
            if (cJSON_IsString(url) && isDirectory(url->valuestring))
                FUZZ_CHECK(cJSON_SetValuestring(url, s_strClips.c_str()) != nullptr, "out of memory");
        }
    }
}

static void checkLine(const std::string& strLine, bool bQuotesInTree)
{
    FUZZ_CHECK(strLine.size() <= RUXO_MAX_ARG - 1, "a line of " + std::to_string(strLine.size()));
    FUZZ_CHECK(strLine.find_first_of("\r\n") == std::string::npos, "a line break in: " + strLine);
    std::vector<std::string> vArgv;
    std::string strErr;
    int nRet = ruxoTcMakeArgv(RUXO_TC_TOKEN + strLine, vArgv, strErr);
    FUZZ_CHECK(nRet == RUXO_TC_OK || (bQuotesInTree && nRet == RUXO_TC_ERR_QUOTE), strErr + ": " + strLine);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string strText(reinterpret_cast<const char*>(data), size);
    std::string strReason;
    cJSON* tree = ruxoBuildConfig(strText.c_str(), strText.size(), &strReason);
    /* The replacement of a NUL-terminated text (the start-up load's and a post's) agrees. */
    if (strText.find('\0') == std::string::npos) {
        std::lock_guard<std::recursive_mutex> guard(g_configLock);
        FUZZ_CHECK((ruxoSetConfig(strText.c_str()) != nullptr) == (tree != nullptr), "ruxoSetConfig disagrees");
    }
    if (tree == nullptr) {
        FUZZ_CHECK(!strReason.empty(), "refused without a reason");
        return 0;
    }

    cJSON* channels = jsonGetItem(tree, "channels");
    const int nChannels = jsonGetArraySize(channels);
    FUZZ_CHECK(nChannels <= RUXO_MAX_CHANNELS, std::to_string(nChannels) + " channels");
    for (int i = 0; i < nChannels; i++) {
        cJSON* ch = jsonGetArrayItem(channels, i);
        FUZZ_CHECK(isChannelValid(ch), "channel " + std::to_string(i) + " kept but invalid");
        FUZZ_CHECK(jsonGetArraySize(jsonGetItem(jsonGetItem(ch, "input"), "sources")) <= 5, "sources");
        FUZZ_CHECK(jsonGetArraySize(jsonGetItem(jsonGetItem(ch, "output"), "targets")) <= 5, "targets");
    }

    /* What a save writes, read back at the next start, is the same configuration. */
    const std::string strSaved = printed(tree);
    cJSON* again = ruxoBuildConfig(strSaved.c_str(), strSaved.size(), &strReason);
    FUZZ_CHECK(again != nullptr, "the saved text is refused: " + strReason);
    const std::string strSavedAgain = printed(again);
    const bool bSame = sameTree(tree, again);
    FUZZ_CHECK(bSame, "a save and a reload changed the configuration: " + strSaved);
    FUZZ_CHECK(ruxoGetLoginPass(jsonGetItem(tree, "global")) == ruxoGetLoginPass(jsonGetItem(again, "global")),
               "a save and a reload changed the password");
    cJSON_Delete(again);
    FUZZ_CHECK(strSavedAgain == strSaved,
               "a save and a reload changed the configuration:\n" + strSaved + "\nbecame\n" + strSavedAgain);

    readEveryMember(tree, 0);
    ownFolders(channels);
    const bool bQuotes = printed(tree).find_first_of("'") != std::string::npos ||
                         printed(tree).find("\\\"") != std::string::npos;

    std::lock_guard<std::recursive_mutex> guard(g_configLock);
    ruxoInstallConfig(tree);
    for (int i = 0; i < nChannels; i++) {
        for (int bPreview = 0; bPreview < 2; bPreview++) {
            g_procChannels[i].state = RUXO_STATE_IDLE;
            g_procChannels[i].nStreamingSec = g_procChannels[i].nFPS = g_procChannels[i].nBitrate = -1;
            g_fakeStarts.clear();
            g_fakeLog.clear();
            int nRet = bPreview ? ruxoPreviewChannel(i) : ruxoStartChannel(i);
            FUZZ_CHECK(knownStartResult(nRet), "start result " + std::to_string(nRet));
            FUZZ_CHECK((nRet == 0) == (g_fakeStarts.size() == 1), "a start without a line, or the reverse");
            if (nRet == 0)
                checkLine(g_fakeStarts[0].line, bQuotes);
            char szStatus[1000] = "";
            ruxoGetChannelStatus(i, szStatus, sizeof szStatus);
        }
        g_procChannels[i].state = RUXO_STATE_IDLE;
    }
    ruxoStopRemovedChannels();
    return 0;
}
