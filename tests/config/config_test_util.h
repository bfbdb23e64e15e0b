/* config_test_util.h -- small helpers of the configuration tests: a private temporary folder,
 * whole-file reads and writes (on top of the shared ones), and the configuration globals put back
 * to their start-up state before every test. */
#ifndef CONFIG_TEST_UTIL_H
#define CONFIG_TEST_UTIL_H

#include <string.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <string>

#include "ruxo_config.h"
#include "ruxo_legacy.h"
#include "ruxo_test_env.h"

using ruxotest::TempDir;

/* Whether the path names anything, a dangling link included. */
inline bool fileExists(const std::string& strPath)
{
    struct stat st;
    return lstat(strPath.c_str(), &st) == 0;
}

/* The file's text, or "<missing>", so a missing file never passes for an empty one. */
inline std::string readFile(const std::string& strPath)
{
    return fileExists(strPath) ? ruxotest::readFile(strPath) : std::string("<missing>");
}

using ruxotest::writeFile;

/* The tree as the save prints it, or "<none>" without a tree. */
inline std::string printTree()
{
    char* sz = cJSON_Print(g_jsonConfig);
    std::string s = sz ? sz : "<none>";
    cJSON_free(sz);
    return s;
}

/* Puts the configuration globals back to their state at process start before every test, so the
 * tests also pass when one process runs them all. */
inline void resetConfigState()
{
    std::lock_guard<std::recursive_mutex> guard(g_configLock);
    ruxoSetConfig("{}");  // an accepted configuration clears a failed load
    cJSON_Delete(g_jsonConfig);
    g_jsonConfig = NULL;
    g_tszfnConfig.clear();
    g_tszfnAcl.clear();
    memset(&g_globalSettings, 0, sizeof(g_globalSettings));
    g_globalSettings.nPortHTTP = 8888;
    g_globalSettings.bAutoRun = TRUE;
    memset(g_ruxoChannels, 0, sizeof(g_ruxoChannels));
}

class ConfigResetListener : public testing::EmptyTestEventListener {
    void OnTestStart(const testing::TestInfo&) override { resetConfigState(); }
};

inline bool registerConfigReset()
{
    testing::UnitTest::GetInstance()->listeners().Append(new ConfigResetListener);
    return true;
}
inline const bool g_bConfigResetRegistered = registerConfigReset();

#endif
