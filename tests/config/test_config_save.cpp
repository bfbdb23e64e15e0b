/* test_config_save.cpp -- saving the configuration when the file system fails: a full disk (a small
 * tmpfs) and a read-only folder (a tmpfs remounted read-only), each in a private mount namespace of
 * a child process, and a first start there that cannot write the converted legacy file; and the
 * tree shared by threads that replace, read and save it at once. */
#include <gtest/gtest.h>

#include <errno.h>
#include <fcntl.h>
#include <sched.h>
#include <stdio.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <thread>

#include "config_test_util.h"
#include "ruxo_config.h"

namespace {

const int kSkip = 77;
int g_nFailures = 0;

#define CHILD_CHECK(cond) \
    do { \
        if (!(cond)) { \
            fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
            g_nFailures++; \
        } \
    } while (0)

/* Runs fn in a child with a private mount namespace and a tmpfs of the given options mounted on
 * the folder; the child's exit status is its number of failed checks. */
template <typename Fn>
void runInNamespace(const std::string& strFolder, const char* szOptions, Fn fn)
{
    fflush(stdout);
    fflush(stderr);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        if (unshare(CLONE_NEWNS) != 0)
            _exit(kSkip);
        if (mount(NULL, "/", NULL, MS_REC | MS_PRIVATE, NULL) != 0)
            _exit(kSkip);
        if (mount("tmpfs", strFolder.c_str(), "tmpfs", 0, szOptions) != 0)
            _exit(kSkip);
        fn();
        fflush(stdout);
        _exit(g_nFailures > 60 ? 60 : g_nFailures);
    }
    int nStatus = 0;
    ASSERT_EQ(pid, waitpid(pid, &nStatus, 0));
    ASSERT_TRUE(WIFEXITED(nStatus));
    if (WEXITSTATUS(nStatus) == kSkip)
        GTEST_SKIP() << "mount namespaces not permitted here";
    EXPECT_EQ(0, WEXITSTATUS(nStatus)) << "failed checks in the child (see its output)";
}

std::string configWithMemo(size_t nBytes)
{
    return "{\"global\":{\"log\":1},\"channels\":[{\"memo\":\"" + std::string(nBytes, 'm') +
           "\",\"input\":{\"sources\":[{\"url\":\"/a\"}]},\"output\":{\"targets\":[{\"audio\":"
           "{\"codec\":\"aac\"}}]}}]}";
}

/* Points the configuration at the folder and saves a first tree there; returns the file's text. */
std::string saveFirstConfig(const std::string& strFolder, size_t nMemo)
{
    ruxoSetConfigPath(strFolder.c_str());
    CHILD_CHECK(ruxoSetConfig(configWithMemo(nMemo).c_str()) != NULL);
    CHILD_CHECK(ruxoExportConfig(NULL) == 0);
    return readFile(g_tszfnConfig);
}

/* A new tree whose save must fail and leave the old file whole, with no temporary file left. */
void checkFailedSaveKeeps(const std::string& strOld, size_t nMemo)
{
    const std::string strFile = g_tszfnConfig;
    CHILD_CHECK(ruxoSetConfig(configWithMemo(nMemo).c_str()) != NULL);
    CHILD_CHECK(ruxoExportConfig(NULL) == -1);
    CHILD_CHECK(readFile(strFile) == strOld);
    CHILD_CHECK(!fileExists(strFile + ".tmp"));
}

/* Fills the file system of the folder to its last byte. */
void fillUp(const std::string& strFolder)
{
    int fd = open((strFolder + "/filler").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    CHILD_CHECK(fd >= 0);
    char buf[1024] = {0};
    while (write(fd, buf, sizeof(buf)) > 0) {
    }
    while (write(fd, buf, 1) == 1) {
    }
    CHILD_CHECK(errno == ENOSPC);
    close(fd);
}

}  // namespace

TEST(ConfigSave, FullDiskKeepsTheOldFile)
{
    TempDir dir{"config"};
    ASSERT_FALSE(dir.path().empty());
    runInNamespace(dir.path(), "size=64k,mode=0755", [&] {
        const std::string strOld = saveFirstConfig(dir.path(), 100);
        const std::string strFile = g_tszfnConfig;

        fillUp(dir.path());
        checkFailedSaveKeeps(strOld, 20000);

        // With room again the same save succeeds.
        unlink(dir.file("filler").c_str());
        CHILD_CHECK(ruxoExportConfig(NULL) == 0);
        CHILD_CHECK(readFile(strFile) == printTree());
        CHILD_CHECK(!fileExists(strFile + ".tmp"));
    });
}

TEST(ConfigSave, ReadOnlyFolderKeepsTheOldFile)
{
    TempDir dir{"config"};
    ASSERT_FALSE(dir.path().empty());
    runInNamespace(dir.path(), "size=1m,mode=0755", [&] {
        const std::string strOld = saveFirstConfig(dir.path(), 10);
        CHILD_CHECK(mount(NULL, dir.path().c_str(), NULL, MS_REMOUNT | MS_RDONLY, NULL) == 0);
        checkFailedSaveKeeps(strOld, 30);
    });
}

TEST(ConfigSave, FirstStartOnAReadOnlyFolderRunsWithoutATree)
{
    TempDir dir{"config"};
    ASSERT_FALSE(dir.path().empty());
    runInNamespace(dir.path(), "size=1m,mode=0755", [&] {
        CHILD_CHECK(mount(NULL, dir.path().c_str(), NULL, MS_REMOUNT | MS_RDONLY, NULL) == 0);
        ruxoSetConfigPath(dir.path().c_str());
        ruxoImportConfig();
        CHILD_CHECK(g_jsonConfig == NULL);
        CHILD_CHECK(!fileExists(g_tszfnConfig));
        // Nothing was lost, so later saves may try again (they render the defaults).
        CHILD_CHECK(!ruxoConfigLoadFailed());
        CHILD_CHECK(ruxoConfigNoTreeReason() == "the configuration file " + g_tszfnConfig + " could not be written");
        CHILD_CHECK(ruxoExportConfig(NULL) == -1);
    });
}

/* A first start whose converted configuration cannot be written, on a read-only folder and on a
 * full disk (where the legacy file could be deleted): the legacy file stays, no tree. */
TEST(ConfigSave, ALegacyFileIsKeptWhenTheConversionCannotBeWritten)
{
    for (bool bFull : {false, true}) {
        SCOPED_TRACE(bFull ? "full disk" : "read-only folder");
        TempDir dir{"config"};
        ASSERT_FALSE(dir.path().empty());
        runInNamespace(dir.path(), "size=64k,mode=0755", [&] {
            const std::string strLegacy = dir.file("ruxod.conf");
            const std::string strText = "log 1\nHTTPPort 9191\n<Slot1>\nEnable 1\n</Slot1>\n";
            CHILD_CHECK(writeFile(strLegacy, strText));
            if (bFull) {
                fillUp(dir.path());
            } else {
                CHILD_CHECK(mount(NULL, dir.path().c_str(), NULL, MS_REMOUNT | MS_RDONLY, NULL) == 0);
            }
            ruxoSetConfigPath(dir.path().c_str());
            ruxoImportConfig();
            CHILD_CHECK(g_jsonConfig == NULL);
            CHILD_CHECK(!fileExists(g_tszfnConfig));
            CHILD_CHECK(readFile(strLegacy) == strText);
            CHILD_CHECK(ruxoConfigNoTreeReason().find(g_tszfnConfig) != std::string::npos);
            // The records keep what was read, so a later save (at exit, say) writes the converted
            // configuration, with the log level 1 raised to 32.
            CHILD_CHECK(!ruxoConfigLoadFailed());
            CHILD_CHECK(g_globalSettings.nLogLevel == 32);
            std::string strRender = ruxoRenderLegacyConfig();
            CHILD_CHECK(strRender.find("\"log\": 32,") != std::string::npos);
            CHILD_CHECK(strRender.find("\"httpPort\": 9191,") != std::string::npos);
            CHILD_CHECK(g_ruxoChannels[0].bEnable == 1);
            if (bFull) {
                unlink(dir.file("filler").c_str());
                CHILD_CHECK(ruxoExportConfig(NULL) == 0);
                CHILD_CHECK(readFile(g_tszfnConfig) == strRender);
            }
        });
    }
}

TEST(ConfigSave, ThreadsReplaceReadAndSaveTheTree)
{
    TempDir dir{"config"};
    ASSERT_FALSE(dir.path().empty());
    const std::string strFile = dir.file("ruxod.json");
    ASSERT_NE(nullptr, ruxoSetConfig(configWithMemo(10).c_str()));
    std::thread replacer([] {
        for (int i = 0; i < 200; i++)
            ruxoSetConfig(configWithMemo(10 + i % 7).c_str());
    });
    std::thread reader([] {
        for (int i = 0; i < 2000; i++) {
            std::lock_guard<std::recursive_mutex> guard(g_configLock);
            cJSON* ch = jsonGetArrayItem(jsonGetItem(g_jsonConfig, "channels"), 0);
            std::string strMemo = getJsonString(ch, "memo");
            if (strMemo.size() < 10 || getJsonInt(jsonGetItem(g_jsonConfig, "global"), "log") != 1) {
                ADD_FAILURE() << "torn read";
                break;
            }
        }
    });
    std::thread saver([&] {
        for (int i = 0; i < 30; i++)
            EXPECT_EQ(0, ruxoExportConfig(strFile.c_str()));
    });
    replacer.join();
    reader.join();
    saver.join();
    cJSON* doc = cJSON_Parse(readFile(strFile).c_str());
    EXPECT_NE(nullptr, doc);
    cJSON_Delete(doc);
}
