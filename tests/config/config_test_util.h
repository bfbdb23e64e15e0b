/* config_test_util.h -- small helpers of the configuration tests: a private temporary folder and
 * whole-file reads and writes. */
#ifndef CONFIG_TEST_UTIL_H
#define CONFIG_TEST_UTIL_H

#include <dirent.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>

#include "ruxo_config.h"
#include "ruxo_legacy.h"

/* A folder of its own under TMPDIR (or /tmp), removed with its files when the object ends. */
class TempFolder {
public:
    TempFolder() {
        const char* szBase = getenv("TMPDIR");
        std::string strTemplate = std::string(szBase && *szBase ? szBase : "/tmp") + "/ruxo-config-XXXXXX";
        char szPath[4096];
        snprintf(szPath, sizeof(szPath), "%s", strTemplate.c_str());
        if (mkdtemp(szPath) != NULL) m_strPath = szPath;
    }
    ~TempFolder() { removeTree(m_strPath); }
    const std::string& path() const { return m_strPath; }
    std::string file(const std::string& strName) const { return m_strPath + "/" + strName; }

    static void removeTree(const std::string& strPath) {
        if (strPath.empty()) return;
        struct stat st;
        if (lstat(strPath.c_str(), &st) != 0) return;
        if (S_ISDIR(st.st_mode)) {
            DIR* dir = opendir(strPath.c_str());
            if (dir != NULL) {
                while (struct dirent* ent = readdir(dir)) {
                    if (strcmp(ent->d_name, ".") == 0 || strcmp(ent->d_name, "..") == 0) continue;
                    removeTree(strPath + "/" + ent->d_name);
                }
                closedir(dir);
            }
            rmdir(strPath.c_str());
        } else {
            unlink(strPath.c_str());
        }
    }

private:
    std::string m_strPath;
};

inline bool fileExists(const std::string& strPath) {
    struct stat st;
    return lstat(strPath.c_str(), &st) == 0;
}

inline std::string readFile(const std::string& strPath) {
    std::string strText;
    FILE* fp = fopen(strPath.c_str(), "rb");
    if (fp == NULL) return "<missing>";
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof(buf), fp)) > 0) strText.append(buf, n);
    fclose(fp);
    return strText;
}

inline bool writeFile(const std::string& strPath, const std::string& strText) {
    FILE* fp = fopen(strPath.c_str(), "wb");
    if (fp == NULL) return false;
    bool bOk = fwrite(strText.data(), 1, strText.size(), fp) == strText.size();
    return fclose(fp) == 0 && bOk;
}

/* The tree as the save prints it, or "<none>" without a tree. */
inline std::string printTree() {
    char* sz = cJSON_Print(g_jsonConfig);
    std::string s = sz ? sz : "<none>";
    cJSON_free(sz);
    return s;
}

/* Puts the configuration globals back to their state at process start before every test, so the
 * tests also pass when one process runs them all. */
inline void resetConfigState() {
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

inline bool registerConfigReset() {
    testing::UnitTest::GetInstance()->listeners().Append(new ConfigResetListener);
    return true;
}
inline const bool g_bConfigResetRegistered = registerConfigReset();

#endif
