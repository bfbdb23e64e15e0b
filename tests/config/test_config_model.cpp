/* test_config_model.cpp -- the configuration tree in memory: the lookups and reading rules, the
 * defaults that a replacement adds, channel validation and the caps, and the derived paths. */
#include <gtest/gtest.h>

#include <float.h>
#include <math.h>
#include <string.h>

#include <string>

#include "config_test_util.h"
#include "ruxo_config.h"
#include "ruxo_text_core.h"

namespace {

/* A channel with a valid first source and target, to be varied by the tests. */
std::string channel(const std::string& strSources, const std::string& strTargets, const std::string& strMemo = "")
{
    return "{\"enable\":true,\"memo\":\"" + strMemo + "\",\"input\":{\"sources\":[" + strSources +
           "]},\"output\":{\"targets\":[" + strTargets + "]}}";
}
const std::string kSource = "{\"format\":\"file\",\"url\":\"/media/a.ts\"}";
const std::string kTarget =
    "{\"format\":\"udp\",\"url\":\"udp://127.0.0.1:5000\","
    "\"video\":{\"codec\":\"h264\"},\"audio\":{\"codec\":\"aac\"}}";

std::string config(const std::string& strChannels, const std::string& strGlobal = "{}")
{
    return "{\"global\":" + strGlobal + ",\"channels\":[" + strChannels + "]}";
}

cJSON* channels()
{
    return jsonGetItem(g_jsonConfig, "channels");
}

std::string memoAt(int i)
{
    return getJsonString(jsonGetArrayItem(channels(), i), "memo");
}

/* The keys of an object in document order, joined by blanks. */
std::string keysOf(const cJSON* obj)
{
    std::string s;
    for (const cJSON* it = obj ? obj->child : nullptr; it; it = it->next)
        s += std::string(it->string) + " ";
    return s;
}

}  // namespace

TEST(ConfigLookup, AsciiCaseOnlyFirstMatchRealContainers)
{
    EXPECT_EQ(0, ruxoStrCaseCmp("HttpPort", "httpport"));
    EXPECT_NE(0, ruxoStrCaseCmp("httpPort", "httpPort "));
    EXPECT_NE(0, ruxoStrCaseCmp("\xC4\xB0", "i"));  // a Turkish capital I is no ASCII letter
    EXPECT_EQ(0, ruxoStrCaseCmp(nullptr, nullptr));
    EXPECT_NE(0, ruxoStrCaseCmp(nullptr, ""));

    cJSON* doc = cJSON_Parse("{\"Log\":1,\"log\":2,\"arr\":[10,20],\"obj\":{\"k\":3}}");
    ASSERT_NE(nullptr, doc);
    EXPECT_EQ(1, getJsonInt(doc, "LOG"));  // the first of two members that differ in case
    EXPECT_TRUE(jsonHasItem(doc, "ARR"));
    EXPECT_FALSE(jsonHasItem(doc, "ar"));
    cJSON* arr = jsonGetItem(doc, "arr");
    EXPECT_EQ(2, jsonGetArraySize(arr));
    cJSON* second = jsonGetArrayItem(arr, 1);
    EXPECT_TRUE(cJSON_IsNumber(second) && second->valueint == 20);
    EXPECT_EQ(nullptr, jsonGetArrayItem(arr, 2));
    EXPECT_EQ(nullptr, jsonGetArrayItem(arr, -1));
    // An object is no array, and an array has no members.
    EXPECT_EQ(0, jsonGetArraySize(jsonGetItem(doc, "obj")));
    EXPECT_EQ(nullptr, jsonGetArrayItem(jsonGetItem(doc, "obj"), 0));
    EXPECT_EQ(nullptr, jsonGetItem(arr, "k"));
    EXPECT_EQ(nullptr, jsonGetItem(nullptr, "log"));
    EXPECT_EQ(0, getJsonInt(jsonGetItem(doc, "missing"), "log"));  // through a missing parent
    cJSON_Delete(doc);
}

TEST(ConfigReadingRules, Table)
{
    struct Case {
        const char* szValue;  // the JSON value of member "v", or null for no member
        int nInt;
        BOOL bFlag;
        const char* szText;
        double dNumber;  // NAN for not-a-number
    };
    const Case kCases[] = {
        {nullptr, 0, FALSE, "", 0},
        {"7", 7, FALSE, "", 7},
        {"7.9", 7, FALSE, "", 7.9},
        {"-7.9", -7, FALSE, "", -7.9},
        {"0.5", 0, FALSE, "", 0.5},
        {"1e12", 2147483647, FALSE, "", 1e12},
        {"-1e12", -2147483647 - 1, FALSE, "", -1e12},
        {"1", 1, FALSE, "", 1},
        {"\"42\"", 42, FALSE, "42", NAN},
        {"\"  -17abc\"", -17, FALSE, "  -17abc", NAN},
        {"\"+8\"", 8, FALSE, "+8", NAN},
        {"\"3.9\"", 3, FALSE, "3.9", NAN},
        {"\"abc\"", 0, FALSE, "abc", NAN},
        {"\"\"", 0, FALSE, "", NAN},
        {"\"true\"", 0, FALSE, "true", NAN},
        {"\"99999999999\"", 2147483647, FALSE, "99999999999", NAN},
        {"true", 1, TRUE, "", NAN},
        {"false", 0, FALSE, "", NAN},
        {"null", 0, FALSE, "", NAN},
        {"[1]", 0, FALSE, "", NAN},
        {"{\"v\":1}", 0, FALSE, "", NAN},
    };
    for (const Case& c : kCases) {
        std::string strDoc = c.szValue ? std::string("{\"V\":") + c.szValue + "}" : "{}";
        cJSON* doc = cJSON_Parse(strDoc.c_str());
        ASSERT_NE(nullptr, doc) << strDoc;
        EXPECT_EQ(c.nInt, getJsonInt(doc, "v")) << strDoc;
        EXPECT_EQ(c.bFlag, getJsonBool(doc, "v")) << strDoc;
        EXPECT_EQ(c.szText, getJsonString(doc, "v")) << strDoc;
        double d = getJsonNumber(doc, "v");
        if (isnan(c.dNumber)) {
            EXPECT_TRUE(isnan(d)) << strDoc;
        } else {
            EXPECT_DOUBLE_EQ(c.dNumber, d) << strDoc;
        }
        cJSON_Delete(doc);
    }
}

TEST(ConfigReadingRules, Texts)
{
    cJSON* doc = cJSON_Parse("{\"opts\":[\"-a\",1,\"\",null,\"-b c\"],\"str\":\"x\"}");
    std::vector<std::string> texts = getJsonTexts(doc, "OPTS");
    EXPECT_EQ((std::vector<std::string>{"-a", "", "", "", "-b c"}), texts);
    EXPECT_TRUE(getJsonTexts(doc, "str").empty());
    EXPECT_TRUE(getJsonTexts(doc, "none").empty());
    cJSON_Delete(doc);
}

TEST(ConfigReplace, UnparseableTextChangesNothing)
{
    ASSERT_NE(nullptr, ruxoSetConfig(config(channel(kSource, kTarget, "keep")).c_str()));
    cJSON* before = g_jsonConfig;
    EXPECT_EQ(nullptr, ruxoSetConfig("{\"global\":"));
    EXPECT_EQ(nullptr, ruxoSetConfig("not json"));
    EXPECT_EQ(nullptr, ruxoSetConfig(""));
    EXPECT_EQ(nullptr, ruxoSetConfig(nullptr));
    EXPECT_EQ(before, g_jsonConfig);
    EXPECT_EQ("keep", memoAt(0));
}

TEST(ConfigReplace, DefaultsAddedInOrderAtTheEnd)
{
    ASSERT_NE(nullptr, ruxoSetConfig("{\"global\":{\"sslEnable\":true}}"));
    cJSON* g = jsonGetItem(g_jsonConfig, "global");
    EXPECT_EQ("sslEnable log httpPort autoRestart cpuPerChannel ", keysOf(g));
    EXPECT_EQ(0, getJsonInt(g, "log"));
    EXPECT_EQ(8888, getJsonInt(g, "httpPort"));
    EXPECT_EQ(1, getJsonInt(g, "autoRestart"));
    EXPECT_EQ(0, getJsonInt(g, "cpuPerChannel"));

    // A key present in another case is present: no second member.
    ASSERT_NE(nullptr, ruxoSetConfig("{\"global\":{\"LOG\":7,\"AUTORESTART\":\"5\"}}"));
    g = jsonGetItem(g_jsonConfig, "global");
    EXPECT_EQ("LOG AUTORESTART httpPort cpuPerChannel ", keysOf(g));
    EXPECT_EQ(7, getJsonInt(g, "log"));
    EXPECT_EQ(5, getJsonInt(g, "autoRestart"));

    // No "global", or one that is not an object: nothing added.
    ASSERT_NE(nullptr, ruxoSetConfig("{\"channels\":[]}"));
    EXPECT_FALSE(jsonHasItem(g_jsonConfig, "global"));
    ASSERT_NE(nullptr, ruxoSetConfig("{\"global\":[1]}"));
    EXPECT_EQ(1, jsonGetArraySize(jsonGetItem(g_jsonConfig, "global")));
}

/* A configuration is one JSON object and nothing after it; "loginPass" is a string or an integer. */
TEST(ConfigReplace, OnlyOneWholeObjectIsAConfiguration)
{
    const std::string strChannel = channel(kSource, kTarget, "keep");
    struct Case {
        std::string strText;
        const char* szReason;
    } refused[] = {
        // A hand edit with one "}" too many closes the document after "global".
        {"{\"global\":{\"log\":1}}, \"channels\":[" + strChannel + "]}", "text after the JSON value"},
        {"{\"global\":{}} }", "text after the JSON value"},
        {"{\"global\":{}}\n{\"global\":{}}", "text after the JSON value"},
        {std::string("{\"global\":{}}\0, \"channels\": []}", 31), "a NUL byte in the text"},
        {std::string("{\"memo\":\"a\0b\"}", 14), "a NUL byte in the text"},
        {"", "not valid JSON"},
        {"[]", "the document is not a JSON object"},
        {"null", "the document is not a JSON object"},
        {"\"text\"", "the document is not a JSON object"},
        {"12", "the document is not a JSON object"},
        {"{\"global\":{\"loginPass\":null}}", "\"loginPass\" is neither a string nor an integer number"},
        {"{\"global\":{\"loginPass\":true}}", "\"loginPass\" is neither a string nor an integer number"},
        {"{\"global\":{\"LOGINPASS\":false}}", "\"loginPass\" is neither a string nor an integer number"},
        {"{\"global\":{\"loginPass\":1.5}}", "\"loginPass\" is neither a string nor an integer number"},
        {"{\"global\":{\"loginPass\":1e300}}", "\"loginPass\" is neither a string nor an integer number"},
        {"{\"global\":{\"loginPass\":[\"pw\"]}}", "\"loginPass\" is neither a string nor an integer number"},
        {"{\"global\":{\"loginPass\":{}}}", "\"loginPass\" is neither a string nor an integer number"},
    };
    ASSERT_NE(nullptr, ruxoSetConfig(config(strChannel).c_str()));
    cJSON* before = g_jsonConfig;
    for (const Case& c : refused) {
        SCOPED_TRACE(c.strText);
        std::string strReason;
        EXPECT_EQ(nullptr, ruxoBuildConfig(c.strText.c_str(), c.strText.size(), &strReason));
        EXPECT_EQ(c.szReason, strReason);
        if (c.strText.find('\0') == std::string::npos) {  // a C string ends at the NUL byte
            EXPECT_EQ(nullptr, ruxoSetConfig(c.strText.c_str()));
        }
        EXPECT_EQ(before, g_jsonConfig);
        EXPECT_EQ("keep", memoAt(0));
    }

    struct Accepted {
        const char* szText;
        const char* szPass;
    } accepted[] = {
        {"{\"global\":{\"loginPass\":123456}} \t\r\n", "123456"},
        {"{\"global\":{\"loginPass\":-42}}", "-42"},
        {"{\"global\":{\"loginPass\":1e3}}", "1000"},
        {"{\"global\":{\"loginPass\":9007199254740991}}", "9007199254740991"},
        {"{\"global\":{\"loginPass\":\"pw\"}}", "pw"},
        {"\xEF\xBB\xBF{\"global\":{}}", ""},
    };
    for (const Accepted& a : accepted) {
        SCOPED_TRACE(a.szText);
        std::string strReason = "untouched";
        cJSON* json = ruxoBuildConfig(a.szText, strlen(a.szText), &strReason);
        ASSERT_NE(nullptr, json);
        EXPECT_EQ("untouched", strReason);
        EXPECT_EQ(a.szPass, ruxoGetLoginPass(jsonGetItem(json, "global")));
        EXPECT_EQ(before, g_jsonConfig);  // built, not installed
        cJSON_Delete(json);
    }
    EXPECT_EQ("", ruxoGetLoginPass(nullptr));
}

/* An integer password of 16 digits is kept as its text: saved as a number, it would come back as
 * another password (the library writes 15 significant digits); a shorter one stays a number. */
TEST(ConfigReplace, IntegerPasswordSurvivesASaveAndALoad)
{
    TempDir dir{"config"};
    const std::string strFile = dir.file("ruxod.json");
    for (const char* szPass :
         {"9007199254740991", "-9007199254740991", "1234567890123456", "1000000000000000", "999999999999999", "42"}) {
        SCOPED_TRACE(szPass);
        ASSERT_NE(nullptr, ruxoSetConfig(("{\"global\":{\"LoginPass\":" + std::string(szPass) + "}}").c_str()));
        cJSON* jsonPass = jsonGetItem(jsonGetItem(g_jsonConfig, "global"), "loginPass");
        EXPECT_EQ(strlen(szPass) >= 16, cJSON_IsString(jsonPass) != 0);
        EXPECT_STREQ("LoginPass", jsonPass->string);
        ASSERT_EQ(0, ruxoExportConfig(strFile.c_str()));
        ASSERT_EQ(0, ruxoImportConfigJSON(strFile.c_str()));
        EXPECT_EQ(szPass, ruxoGetLoginPass(jsonGetItem(g_jsonConfig, "global")));
    }
}

TEST(ConfigReplace, HttpPortZero)
{
    struct Case {
        const char* szPort;
        const char* szAfter;
    };
    const Case kCases[] = {{"0", "8888"},      {"0.5", "8888"},    {"-0.9", "8888"}, {"-3", "-3"}, {"8080", "8080"},
                           {"\"0\"", "\"0\""}, {"false", "false"}, {"null", "null"}, {"[]", "[]"}};
    for (const Case& c : kCases) {
        std::string strConfig = std::string("{\"global\":{\"HTTPPORT\":") + c.szPort + "}}";
        ASSERT_NE(nullptr, ruxoSetConfig(strConfig.c_str())) << strConfig;
        cJSON* item = jsonGetItem(jsonGetItem(g_jsonConfig, "global"), "httpPort");
        char* sz = cJSON_PrintUnformatted(item);
        EXPECT_STREQ(c.szAfter, sz) << strConfig;
        cJSON_free(sz);
        EXPECT_EQ("HTTPPORT log autoRestart cpuPerChannel ", keysOf(jsonGetItem(g_jsonConfig, "global")));
    }
}

TEST(ConfigReplace, ChannelValidation)
{
    struct Case {
        std::string strChannel;
        bool bValid;
    };
    const std::string kRtpH264 = "{\"format\":\"RTP_NATIVE\",\"video\":{\"codec\":\"h264\"}}";
    const std::string kRtpFlv = "{\"format\":\"rtp_native\",\"video\":{\"codec\":\"flv\"},\"url\":\"x\"}";
    const Case kCases[] = {
        {channel(kSource, kTarget), true},
        {channel("{\"format\":\"file\",\"url\":\"\"}," + kSource, kTarget), false},
        {channel("{\"url\":\"udp://1.2.3.4:5\"}", kTarget), true},  // no format: a plain url
        {channel("", kTarget), false},
        {channel(kSource, ""), false},
        {"{\"input\":{\"sources\":[" + kSource + "]}}", false},
        {"{\"output\":{\"targets\":[" + kTarget + "]}}", false},
        {channel(kRtpH264, kTarget), true},
        {channel(kRtpFlv, kTarget), false},
        {channel("{\"format\":\"rtp_native\",\"video\":{\"codec\":\"mp2v\"}}", kTarget), true},
        {channel("{\"format\":\"rtp\",\"video\":{\"codec\":\"h264\"}}", kTarget), false},  // rtp is TS: url needed
        {channel(kSource, "{\"video\":{\"codec\":\"h261\"}}"), false},
        {channel(kSource, "{\"video\":{\"codec\":\"h261\"},\"audio\":{\"codec\":\"aac\"}}"), true},
        {channel(kSource, "{\"video\":{\"codec\":\"copy\"}}"), true},
        {channel(kSource, "{\"video\":{\"codec\":\"h263\"}}"), true},
        {channel(kSource, "{\"audio\":{\"codec\":\"copy\"}}"), true},
        {channel(kSource, "{\"audio\":{\"codec\":\"h264\"}}"), false},
        {channel(kSource, "{\"video\":{\"codec\":\"aac\"}}"), false},
        {channel(kSource, "{\"Video\":{\"CODEC\":\"H264\"}}"), true},
        {channel("{\"FORMAT\":\"File\",\"URL\":\"/a\"}", kTarget), true},
        {channel(kSource, "{\"video\":{\"codec\":135}}"), false},  // not a text
        {"5", false},
    };
    for (const Case& c : kCases) {
        cJSON* ch = cJSON_Parse(c.strChannel.c_str());
        ASSERT_NE(nullptr, ch) << c.strChannel;
        EXPECT_EQ(c.bValid ? TRUE : FALSE, isChannelValid(ch)) << c.strChannel;
        cJSON_Delete(ch);
    }
}

TEST(ConfigReplace, InvalidChannelsGoOthersKeepOrderAndSurplusIsTrimmed)
{
    std::string strSources, strTargets;
    for (int i = 0; i < 7; i++)
        strSources += (i ? "," : "") + kSource;
    for (int i = 0; i < 6; i++)
        strTargets += (i ? "," : "") + kTarget;
    std::string strBad = channel("", kTarget, "bad");
    std::string strChannels = channel(kSource, kTarget, "a") + "," + strBad + "," + strBad + "," + strBad + "," +
                              channel(strSources, strTargets, "b") + "," + strBad + "," +
                              channel(kSource, kTarget, "c");
    ASSERT_NE(nullptr, ruxoSetConfig(config(strChannels).c_str()));
    ASSERT_EQ(3, jsonGetArraySize(channels()));
    EXPECT_EQ("a", memoAt(0));
    EXPECT_EQ("b", memoAt(1));
    EXPECT_EQ("c", memoAt(2));
    cJSON* b = jsonGetArrayItem(channels(), 1);
    EXPECT_EQ(5, jsonGetArraySize(jsonGetItem(jsonGetItem(b, "input"), "sources")));
    EXPECT_EQ(5, jsonGetArraySize(jsonGetItem(jsonGetItem(b, "output"), "targets")));
}

TEST(ConfigReplace, SeventyChannelsKeepTheFirst16AndTheLast48)
{
    std::string strChannels;
    for (int i = 0; i < 70; i++)
        strChannels += (i ? "," : "") + channel(kSource, kTarget, std::to_string(i));
    ASSERT_NE(nullptr, ruxoSetConfig(config(strChannels).c_str()));
    ASSERT_EQ(64, jsonGetArraySize(channels()));
    for (int i = 0; i < 16; i++)
        EXPECT_EQ(std::to_string(i), memoAt(i));
    for (int i = 16; i < 64; i++)
        EXPECT_EQ(std::to_string(i + 6), memoAt(i));
}

TEST(ConfigReplace, LargeArraysAreTrimmedInOnePass)
{
    // A text near the web server's body limit: 300,000 invalid channels, then 70 valid ones, one of
    // them with 100,000 sources. Walking such arrays from their start for every item would hold
    // the configuration lock for minutes.
    std::string strChannels;
    strChannels.reserve(2000000);
    for (int i = 0; i < 300000; i++)
        strChannels += "0,";
    std::string strSources;
    for (int i = 0; i < 100000; i++)
        strSources += (i ? ",{\"url\":\"/" : "{\"url\":\"/") + std::to_string(i) + "\"}";
    for (int i = 0; i < 70; i++) {
        strChannels += (i ? "," : "") + channel(i == 14 ? strSources : kSource, kTarget, std::to_string(i));
    }
    ASSERT_NE(nullptr, ruxoSetConfig(config(strChannels).c_str()));
    ASSERT_EQ(64, jsonGetArraySize(channels()));
    for (int i = 0; i < 16; i++)
        EXPECT_EQ(std::to_string(i), memoAt(i));
    for (int i = 16; i < 64; i++)
        EXPECT_EQ(std::to_string(i + 6), memoAt(i));
    cJSON* big = jsonGetArrayItem(channels(), 14);
    cJSON* sources = jsonGetItem(jsonGetItem(big, "input"), "sources");
    ASSERT_EQ(5, jsonGetArraySize(sources));
    EXPECT_EQ("/4", getJsonString(jsonGetArrayItem(sources, 4), "url"));
    cJSON* last = jsonGetArrayItem(sources, 4);  // the list's links are intact
    EXPECT_EQ(last, sources->child->prev);
    EXPECT_EQ(nullptr, last->next);
}

TEST(ConfigReplace, HostileDocuments)
{
    ASSERT_NE(nullptr, ruxoSetConfig(config(channel(kSource, kTarget, "keep")).c_str()));
    cJSON* before = g_jsonConfig;

    // Nesting deeper than the parser allows is refused, and the tree stays.
    std::string strDeep = "{\"global\":" + std::string(100000, '[') + std::string(100000, ']') + "}";
    EXPECT_EQ(nullptr, ruxoSetConfig(strDeep.c_str()));
    EXPECT_EQ(before, g_jsonConfig);

    // Nesting the parser allows is kept, saved, loaded again and freed.
    const int kDepth = 900;
    std::string strNested = std::string(kDepth, '[') + std::string(kDepth, ']');
    std::string strChannel = channel(kSource, kTarget, "deep");
    strChannel.insert(1, "\"extra\":" + strNested + ",");
    ASSERT_NE(nullptr, ruxoSetConfig(config(strChannel).c_str()));
    ASSERT_EQ(1, jsonGetArraySize(channels()));
    TempDir dir{"config"};
    const std::string strFile = dir.file("ruxod.json");
    EXPECT_EQ(0, ruxoExportConfig(strFile.c_str()));
    EXPECT_EQ(1, ruxoImportConfigJSON(strFile.c_str()));
    EXPECT_EQ("deep", memoAt(0));

    // Numbers beyond double and int, and members of the wrong type.
    std::string strWild =
        "{\"global\":{\"httpPort\":1e400,\"log\":-1e400,\"autoRestart\":\"99999999999999999999\","
        "\"cpuPerChannel\":{\"a\":1}},\"channels\":{\"0\":" +
        channel(kSource, kTarget) + "}}";
    ASSERT_NE(nullptr, ruxoSetConfig(strWild.c_str()));
    cJSON* g = jsonGetItem(g_jsonConfig, "global");
    EXPECT_EQ(2147483647, getJsonInt(g, "httpPort"));  // not 0: left as it is
    EXPECT_EQ(-2147483647 - 1, getJsonInt(g, "log"));
    EXPECT_EQ(2147483647, getJsonInt(g, "autoRestart"));
    EXPECT_EQ(0, getJsonInt(g, "cpuPerChannel"));
    EXPECT_EQ(DBL_MAX, getJsonNumber(g, "httpPort"));  // the largest double, not infinity
    EXPECT_EQ(0, jsonGetArraySize(channels()));        // an object is no list of channels
    EXPECT_TRUE(cJSON_IsObject(channels()));
    EXPECT_EQ(0, ruxoExportConfig(strFile.c_str()));
    cJSON* doc = cJSON_Parse(readFile(strFile).c_str());  // what is saved is JSON again
    EXPECT_NE(nullptr, doc);
    cJSON_Delete(doc);

    // ... and it reads the same after a save and a load: an infinity would have been saved as null.
    EXPECT_EQ(std::string::npos, readFile(strFile).find("null")) << readFile(strFile);
    EXPECT_EQ(0, ruxoImportConfigJSON(strFile.c_str()));
    g = jsonGetItem(g_jsonConfig, "global");
    EXPECT_EQ(2147483647, getJsonInt(g, "httpPort"));
    EXPECT_EQ(-2147483647 - 1, getJsonInt(g, "log"));
    EXPECT_EQ(-DBL_MAX, getJsonNumber(g, "log"));
}

TEST(ConfigReplace, TrailingTextAndByteOrderMark)
{
    ASSERT_NE(nullptr, ruxoSetConfig("{\"global\":{\"log\":3}}\n"));
    EXPECT_EQ(nullptr, ruxoSetConfig("{\"global\":{\"log\":5}} and more words"));
    EXPECT_EQ(3, getJsonInt(jsonGetItem(g_jsonConfig, "global"), "log"));
    ASSERT_NE(nullptr, ruxoSetConfig("\xEF\xBB\xBF{\"global\":{\"log\":4}}"));
    EXPECT_EQ(4, getJsonInt(jsonGetItem(g_jsonConfig, "global"), "log"));
}

TEST(ConfigReplace, MixedCaseKeysThroughout)
{
    std::string strConfig =
        "{\"GLOBAL\":{\"HttpPort\":9000,\"SSLENABLE\":true,\"LoginPass\":\"pw\"},"
        "\"Channels\":[{\"ENABLE\":true,\"INPUT\":{\"SOURCES\":[{\"Url\":\"/x\"}]},"
        "\"Output\":{\"Targets\":[{\"AUDIO\":{\"Codec\":\"MP3\"}}]}}]}";
    ASSERT_NE(nullptr, ruxoSetConfig(strConfig.c_str()));
    cJSON* g = jsonGetItem(g_jsonConfig, "global");
    EXPECT_EQ(9000, getJsonInt(g, "httpPort"));
    EXPECT_TRUE(getJsonBool(g, "sslEnable"));
    EXPECT_EQ("pw", getJsonString(g, "loginPass"));
    EXPECT_EQ("GLOBAL", std::string(g->string));
    ASSERT_EQ(1, jsonGetArraySize(channels()));
    EXPECT_TRUE(getJsonBool(jsonGetArrayItem(channels(), 0), "enable"));
}

TEST(ConfigPaths, SetPathAndExtensions)
{
    EXPECT_EQ(".acl", ruxoGetExPath(".acl"));  // before a path is set
    ruxoSetConfigPath("/etc/ruxod");
    EXPECT_EQ("/etc/ruxod/ruxod.json", g_tszfnConfig);
    EXPECT_EQ("/etc/ruxod/ruxod_cgi.log", ruxoGetExPath("_cgi.log"));
    EXPECT_EQ("/etc/ruxod/ruxod.conf", ruxoGetExPath(".conf"));

    char szBuf[256];
    EXPECT_TRUE(ruxoGetExPath(szBuf, sizeof(szBuf), "_cgi.log"));
    EXPECT_STREQ("/etc/ruxod/ruxod_cgi.log", szBuf);
    // Exactly fitting, and one too small: no overflow, the empty text and FALSE.
    size_t nNeed = strlen("/etc/ruxod/ruxod_cgi.log") + 1;
    EXPECT_TRUE(ruxoGetExPath(szBuf, nNeed, "_cgi.log"));
    memset(szBuf, 'x', sizeof(szBuf));
    EXPECT_FALSE(ruxoGetExPath(szBuf, nNeed - 1, "_cgi.log"));
    EXPECT_EQ('\0', szBuf[0]);
    EXPECT_EQ('x', szBuf[nNeed - 1]);
    EXPECT_FALSE(ruxoGetExPath(szBuf, 0, "_cgi.log"));

    // The last '.' anywhere in the path, folder names included; none: appended.
    ruxoSetConfigPath("/opt/my.conf.d/cfg");
    EXPECT_EQ("/opt/my.conf.d/cfg/ruxod.acl", ruxoGetExPath(".acl"));
    g_tszfnConfig = "/opt/my.dir/ruxod";
    EXPECT_EQ("/opt/my.acl", ruxoGetExPath(".acl"));
    g_tszfnConfig = "/opt/dir/ruxod";
    EXPECT_EQ("/opt/dir/ruxod.acl", ruxoGetExPath(".acl"));
}
