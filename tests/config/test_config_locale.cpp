/* test_config_locale.cpp -- the configuration under a locale taken from the environment: keys and
 * words still match in ASCII under a Turkish locale, and JSON numbers keep their full stop (and the
 * legacy reader's decimals read alike) under a locale whose decimal separator is a comma. Each test
 * runs in a process of its own (the locale is set once per process), with the locale compiled into
 * a private folder by localedef. */
#include <gtest/gtest.h>

#include <locale.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>

#include <string>

#include "config_test_util.h"
#include "ruxo_config.h"
#include "ruxo_legacy.h"
#include "ruxo_vocab.h"

namespace {

/* Compiles the locale into the folder and makes the environment name it; false when it cannot. */
bool compileLocale(const TempDir& dir, const char* szSource, const char* szName)
{
    std::string strCmd = std::string("localedef -i ") + szSource + " -f UTF-8 '" + dir.path() + "/" + szName +
                         "' >/dev/null 2>&1";
    if (system(strCmd.c_str()) == -1 || !fileExists(dir.file(szName)))
        return false;
    setenv("LOCPATH", dir.path().c_str(), 1);
    setenv("LC_ALL", szName, 1);
    return true;
}

bool useLocale(const TempDir& dir, const char* szSource, const char* szName)
{
    if (!compileLocale(dir, szSource, szName))
        return false;
    ruxoInitLocale();
    const char* szNow = setlocale(LC_ALL, NULL);
    return szNow != NULL && strstr(szNow, szSource) != NULL;
}

}  // namespace

TEST(ConfigLocale, KeysAndWordsMatchInAsciiUnderTurkish)
{
    TempDir dir{"config"};
    if (!useLocale(dir, "tr_TR", "tr_TR.UTF-8"))
        GTEST_SKIP() << "tr_TR locale not available";
    if (strcasecmp("FILE", "file") != 0) {
        printf("note: the C library's case-insensitive compare differs under this locale\n");
    }
    EXPECT_EQ(RUXO_FORMAT_GENERAL, ruxoGetFormatId("FILE"));
    EXPECT_EQ(RUXO_FORMAT_DEVICE, ruxoGetFormatId("DEVICE"));
    EXPECT_EQ(RUXO_VIDEO_MP1, ruxoGetVideoCodecId("MP1V"));
    EXPECT_EQ(RUXO_AUDIO_PCM16S, ruxoGetAudioCodecId("PCM16S"));
    ASSERT_NE(
        nullptr,
        ruxoSetConfig(
            "{\"GLOBAL\":{\"LOGIN\":1,\"FOLDERRECUR\":true,\"IPACL\":\"allow all\"},\"CHANNELS\":[{\"INPUT\":{\"SOURCES\":"
            "[{\"FORMAT\":\"FILE\",\"URL\":\"/x\"}]},\"OUTPUT\":{\"TARGETS\":[{\"VIDEO\":{\"CODEC\":\"H264\"}}]}}]}"));
    cJSON* g = jsonGetItem(g_jsonConfig, "global");
    EXPECT_EQ(1, getJsonInt(g, "login"));
    EXPECT_TRUE(getJsonBool(g, "folderRecur"));
    EXPECT_EQ(1, jsonGetArraySize(jsonGetItem(g_jsonConfig, "channels")));
    EXPECT_EQ("allow all", getJsonString(g, "ipACL"));
    EXPECT_EQ(7, cJSON_GetArraySize(g));  // "LOGIN" is not "log": that default was added
}

TEST(ConfigLocale, NumbersKeepTheFullStopUnderADecimalComma)
{
    TempDir dir{"config"};
    if (!useLocale(dir, "de_DE", "de_DE.UTF-8"))
        GTEST_SKIP() << "de_DE locale not available";
    ASSERT_STREQ(",", localeconv()->decimal_point);

    const std::string strFile = dir.file("ruxod.json");
    ASSERT_TRUE(writeFile(strFile, "{\"global\":{\"httpPort\":0.5},\"x\":29.97,\"y\":-1.25e-3}"));
    EXPECT_EQ(0, ruxoImportConfigJSON(strFile.c_str()));
    ASSERT_NE(nullptr, g_jsonConfig);
    EXPECT_DOUBLE_EQ(29.97, getJsonNumber(g_jsonConfig, "x"));
    EXPECT_DOUBLE_EQ(-1.25e-3, getJsonNumber(g_jsonConfig, "y"));
    EXPECT_EQ(8888, getJsonInt(jsonGetItem(g_jsonConfig, "global"), "httpPort"));
    EXPECT_EQ(0, ruxoExportConfig(strFile.c_str()));
    std::string strText = readFile(strFile);
    EXPECT_NE(std::string::npos, strText.find("29.97")) << strText;
    EXPECT_NE(std::string::npos, strText.find("-0.00125")) << strText;
    EXPECT_EQ(std::string::npos, strText.find("29,97")) << strText;

    g_ruxoChannels[0].nTargets = 1;
    g_ruxoChannels[0].targets[0].target.video.attr.fFps = 23.976f;
    std::string strRender = ruxoRenderLegacyConfig();
    EXPECT_NE(std::string::npos, strRender.find("\"frameRate\": 23.976,\n"));
    cJSON* doc = cJSON_Parse(strRender.c_str());
    EXPECT_NE(nullptr, doc);
    cJSON_Delete(doc);
}

TEST(ConfigLocale, LegacyDecimalsReadAlikeUnderADecimalComma)
{
    TempDir dir{"config"};
    if (!useLocale(dir, "de_DE", "de_DE.UTF-8"))
        GTEST_SKIP() << "de_DE locale not available";
    ASSERT_STREQ(",", localeconv()->decimal_point);
    for (const char* szRate : {"25.5", "25,5"}) {
        const std::string strFile = dir.file("ruxod.conf");
        ASSERT_TRUE(
            writeFile(strFile, std::string("<Slot1>\n<Output>\nVideoFrameRate ") + szRate + "\n</Output>\n</Slot1>\n"));
        EXPECT_EQ(1, ruxoImportConfigXML(strFile.c_str()));
        EXPECT_FLOAT_EQ(25.5f, g_ruxoChannels[0].targets[0].target.video.attr.fFps) << szRate;
        EXPECT_NE(std::string::npos, ruxoRenderLegacyConfig().find("\"frameRate\": 25.5,\n")) << szRate;
    }
}

TEST(ConfigLocale, StartUpSetsTheLocaleEvenWhenTheFileCannotBeOpened)
{
    // The first save may run on the web thread; the locale must already be set by the start-up
    // load, also when the configuration file could not be opened at all.
    TempDir dir{"config"};
    if (!compileLocale(dir, "de_DE", "de_DE.UTF-8"))
        GTEST_SKIP() << "de_DE locale not available";
    ASSERT_TRUE(writeFile(dir.file("plain"), "x"));
    ruxoSetConfigPath(dir.file("plain").c_str());  // a path through a file: it cannot be opened
    testing::internal::CaptureStdout();
    ruxoImportConfig();
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(nullptr, g_jsonConfig);
    const char* szNow = setlocale(LC_ALL, NULL);
    ASSERT_NE(nullptr, szNow);
    EXPECT_NE(nullptr, strstr(szNow, "de_DE")) << szNow;
}
