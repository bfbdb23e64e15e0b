/* test_devices_daemon.cpp -- the device routes of the real daemon, run in its private namespace and
 * driven over loopback with curl: with the fake DeckLink and NDI libraries copied into the
 * daemon's folder (exact reply texts, the side and wait read from the query, names that need
 * escaping), without them (exact empty lists at once, the loader's reason once), and with an NDI
 * source list that never settles, which the one-minute bound on a search ends, and a stop of the
 * web server (shutdown, a port change) ends at once. */
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cjson/cJSON.h>

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include "ns_daemon.h"
#include "ruxo_curl.h"

#ifndef RUXO_FAKE_DECKLINK_LIB
#error "RUXO_FAKE_DECKLINK_LIB must name the fake libDeckLinkAPI.so"
#endif
#ifndef RUXO_FAKE_NDI_LIB
#error "RUXO_FAKE_NDI_LIB must name the fake libndi.so.5"
#endif

using namespace ruxotest;

namespace {

const int kPort = 8888;
const char* const kConfig = "{\"global\": {\"log\": 0, \"httpPort\": 8888, \"loginPass\": \"pw\"}, \"channels\": []}";
const char* const kNoDevices = "{ \"devices\": [\n ]\n}\n";
const char* const kNoSources = "{ \"sources\": [\n ]\n}\n";

/* A four-character code as the reply writes it: a signed 32-bit number. */
std::string fmtcode(const char* sz)
{
    const uint32_t n = ((uint32_t)(uint8_t)sz[0] << 24) | ((uint32_t)(uint8_t)sz[1] << 16) |
                       ((uint32_t)(uint8_t)sz[2] << 8) | (uint32_t)(uint8_t)sz[3];
    return std::to_string((int32_t)n);
}

class DevicesDaemon : public ::testing::Test {
protected:
    NsDaemon m_d;

    void SetUp() override
    {
        std::string strErr;
        ASSERT_TRUE(m_d.setUp(Transcoder::Fake, &strErr)) << strErr;
    }
    void TearDown() override
    {
        /* A sanitizer build of the daemon reports into its output. */
        EXPECT_EQ(m_d.output().find("Sanitizer"), std::string::npos) << m_d.output();
        m_d.killAll();
    }

    void copyFakes()
    {
        ASSERT_TRUE(copyFile(RUXO_FAKE_DECKLINK_LIB, m_d.binDir() + "/libDeckLinkAPI.so", 0755));
        ASSERT_TRUE(copyFile(RUXO_FAKE_NDI_LIB, m_d.binDir() + "/libndi.so.5", 0755));
    }
    void startDaemon(const EnvList& env)
    {
        ASSERT_TRUE(m_d.writeConfig(kConfig));
        ASSERT_EQ(m_d.start(env), 0) << m_d.output();
        ASSERT_TRUE(waitUntil([] { return canConnect(kPort); }, 5000)) << m_d.output();
    }
    std::string fakeLog() const { return m_d.dir() + "/fake.log"; }

    CurlReply get(const std::string& strPath, int nMaxSecs = 10) const
    {
        return curlRun({"--max-time", std::to_string(nMaxSecs), "-b", "auth=pw",
                        "http://127.0.0.1:" + std::to_string(kPort) + strPath});
    }
    /* The wait of each step that the fake NDI library was asked for during one request. */
    std::vector<std::string> waitsOf(const std::string& strPath)
    {
        writeFile(fakeLog(), "");
        CurlReply r = get(strPath, 90);
        EXPECT_EQ(r.nStatus, 200) << strPath;
        const std::string strLog = readFile(fakeLog());
        std::vector<std::string> waits;
        for (size_t n = strLog.find("wait "); n != std::string::npos; n = strLog.find("wait ", n + 1))
            waits.push_back(strLog.substr(n + 5, strLog.find('\n', n) - n - 5));
        return waits;
    }
};

/* The JSON reply headers, in their order. */
void expectJsonHeaders(const CurlReply& r)
{
    EXPECT_EQ(r.nStatus, 200);
    EXPECT_EQ(r.header("Connection"), "Keep-Alive");
    EXPECT_EQ(r.header("Pragma"), "no-cache");
    EXPECT_EQ(r.header("Cache-Control"), "no-cache");
    EXPECT_EQ(r.header("Content-Type"), "application/json");
    std::vector<std::string> order;
    for (const auto& h : r.headers) {
        if (h.first == "connection" || h.first == "pragma" || h.first == "cache-control" || h.first == "content-type")
            order.push_back(h.first);
    }
    EXPECT_EQ(order, (std::vector<std::string>{"connection", "pragma", "cache-control", "content-type"}));
}

std::string jsonText(const cJSON* item)
{
    const char* sz = cJSON_GetStringValue(item);
    return sz != nullptr ? sz : "?";
}

}  // namespace

TEST_F(DevicesDaemon, DeckLinkDevicesWithTheirModes)
{
    copyFakes();
    const std::string strName = "Card \"A\" \\ 1";
    const std::string strScript = "IO\t" + strName +
                                  "\ti:Hp30,1920,1080,30000,1001,prog"
                                  "\ti:Hi50,1920,1080,25,1,uppr"
                                  "\to:\xF0out,3840,2160,60000,1001,prog\n"
                                  "I\tPlayout only in name\n";
    startDaemon({{"RUXO_FAKE_DECKLINK", strScript}});

    /* The second card, listed without modes on either side, closes both lists. */
    const std::string strLastDevice =
        "  { \"name\": \"Playout only in name\",\n"
        "  \"formats\": [\n"
        "  ]\n"
        "  }\n"
        " ]\n"
        "}\n";
    const std::string strInput =
        "{ \"devices\": [\n"
        "  { \"name\": \"Card \\\"A\\\" \\\\ 1\",\n"
        "  \"formats\": [\n"
        "  { \"fmtcode\": " +
        fmtcode("Hp30") +
        ", \"width\": 1920, \"height\": 1080, \"numFrame\": 30000, \"denFrame\": 1001, "
        "\"interlaced\": 0 },\n"
        "  { \"fmtcode\": " +
        fmtcode("Hi50") +
        ", \"width\": 1920, \"height\": 1080, \"numFrame\": 25, \"denFrame\": 1, "
        "\"interlaced\": 1 }\n"
        "  ]\n"
        "  },\n" +
        strLastDevice;
    for (const char* szPath : {"/decklink_config", "/decklink_config?output=0", "/decklink_config?output=abc"}) {
        SCOPED_TRACE(szPath);
        CurlReply r = get(szPath);
        expectJsonHeaders(r);
        EXPECT_EQ(r.strBody, strInput);
    }

    /* The output side: the second card has none, so it is listed without modes. */
    const std::string strOutput =
        "{ \"devices\": [\n"
        "  { \"name\": \"Card \\\"A\\\" \\\\ 1\",\n"
        "  \"formats\": [\n"
        "  { \"fmtcode\": " +
        fmtcode("\xF0out") +
        ", \"width\": 3840, \"height\": 2160, \"numFrame\": 60000, \"denFrame\": 1001, "
        "\"interlaced\": 0 }\n"
        "  ]\n"
        "  },\n" +
        strLastDevice;
    ASSERT_LT(std::stoll(fmtcode("\xF0out")), 0) << "a code with its top bit set is written as a negative number";
    for (const char* szPath :
         {"/decklink_config?output=1", "/decklink_config?output=0x10", "/DeckLink_Config?xoutput=1"}) {
        SCOPED_TRACE(szPath);
        CurlReply r = get(szPath);
        expectJsonHeaders(r);
        EXPECT_EQ(r.strBody, strOutput);
    }

    /* The page gets the name back unchanged, and an empty list for the card without modes. */
    cJSON* json = cJSON_Parse(get("/decklink_config?output=1").strBody.c_str());
    ASSERT_NE(json, nullptr);
    cJSON* devices = cJSON_GetObjectItem(json, "devices");
    ASSERT_EQ(cJSON_GetArraySize(devices), 2);
    EXPECT_EQ(jsonText(cJSON_GetObjectItem(cJSON_GetArrayItem(devices, 0), "name")), strName);
    cJSON* formats = cJSON_GetObjectItem(cJSON_GetArrayItem(devices, 1), "formats");
    EXPECT_TRUE(cJSON_IsArray(formats));
    EXPECT_EQ(cJSON_GetArraySize(formats), 0);
    cJSON_Delete(json);

    /* Behind the login like every route. */
    CurlReply r = curlRun({"http://127.0.0.1:" + std::to_string(kPort) + "/decklink_config"});
    EXPECT_NE(r.strBody.find("Login Authentication"), std::string::npos);
}

TEST_F(DevicesDaemon, NDISourcesAndTheWaitFromTheQuery)
{
    copyFakes();
    const std::string strName = "HOST (Cam \"A\" \\ 1)";
    startDaemon({{"RUXO_FAKE_NDI", "step=20\n" + strName + "\t10.0.0.1:5961\nHOST (B)\t10.0.0.2:5962"},
                 {"RUXO_FAKE_LOG", fakeLog()}});

    CurlReply r = get("/ndi_config");
    expectJsonHeaders(r);
    EXPECT_EQ(r.strBody,
              "{ \"sources\": [\n"
              "  { \"name\": \"HOST (Cam \\\"A\\\" \\\\ 1)\", \"addr\": \"10.0.0.1:5961\" }\n"
              ",\n"
              "  { \"name\": \"HOST (B)\", \"addr\": \"10.0.0.2:5962\" }\n"
              "\n"
              " ]\n"
              "}\n");
    cJSON* json = cJSON_Parse(r.strBody.c_str());
    ASSERT_NE(json, nullptr);
    cJSON* sources = cJSON_GetObjectItem(json, "sources");
    ASSERT_EQ(cJSON_GetArraySize(sources), 2);
    EXPECT_EQ(jsonText(cJSON_GetObjectItem(cJSON_GetArrayItem(sources, 0), "name")), strName);
    EXPECT_EQ(jsonText(cJSON_GetObjectItem(cJSON_GetArrayItem(sources, 1), "addr")), "10.0.0.2:5962");
    cJSON_Delete(json);

    /* The list changes during the first wait only: two steps of the wait asked for. The route's
     * search looks at the server's stop every tenth of a second, so a step is waited in pieces of
     * at most 100 ms (the fake sleeps 20 ms of each): the first step ends with its first piece,
     * which brings the change, and the pieces of the second add up to the wait. */
    const struct {
        const char* szPath;
        long nWait;
    } cases[] = {
        {"/ndi_config", 5000},
        {"/ndi_config?timeout=010", 8000},
        {"/ndi_config?timeout=2&x=1", 2000},
        {"/ndi_config?timeout=", 0},
        {"/ndi_config?timeout=-5", 0},
        {"/ndi_config?timeout=abc", 0},
        /* A wait beyond a minute is a minute. */
        {"/ndi_config?timeout=100", 60000},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.szPath);
        std::vector<std::string> waits = waitsOf(c.szPath);
        ASSERT_GE(waits.size(), 2u);
        EXPECT_EQ(waits[0], std::to_string(std::min(100L, c.nWait)));
        long nSecondStep = 0;
        for (size_t n = 1; n < waits.size(); n++) {
            EXPECT_LE(std::stol(waits[n]), 100) << waits[n];
            nSecondStep += std::stol(waits[n]);
        }
        EXPECT_EQ(nSecondStep, c.nWait);
    }
}

TEST_F(DevicesDaemon, WithoutTheLibrariesTheListsAreEmptyAtOnce)
{
    startDaemon({});
    for (int nRound = 0; nRound < 2; nRound++) {
        SCOPED_TRACE(nRound);
        CurlReply r = get("/decklink_config?output=1");
        expectJsonHeaders(r);
        EXPECT_EQ(r.strBody, kNoDevices);
        /* A search of half a minute, were there a library: without one the answer comes at once. */
        const long long tmStart = nowMs();
        r = get("/ndi_config?timeout=30", 60);
        EXPECT_LT(nowMs() - tmStart, 20000);
        expectJsonHeaders(r);
        EXPECT_EQ(r.strBody, kNoSources);
    }
    /* The loader's reason for each library once, however often they are asked for. */
    const std::string strOut = m_d.output();
    EXPECT_EQ(countOf(strOut, "libDeckLinkAPI.so"), 1u) << strOut;
    EXPECT_EQ(countOf(strOut, "libndi.so.5"), 1u) << strOut;
    EXPECT_TRUE(m_d.alive());
    EXPECT_EQ(get("/status").nStatus, 200);
}

TEST_F(DevicesDaemon, ASearchWhoseSourcesNeverSettleEndsAfterAMinute)
{
    copyFakes();
    startDaemon({{"RUXO_FAKE_NDI", "changing step=50\nHOST (Restless)\t10.0.0.9:5961"}});
    const long long tmStart = nowMs();
    CurlReply r = get("/ndi_config?timeout=5", 150);
    const long long msTaken = nowMs() - tmStart;
    expectJsonHeaders(r);
    EXPECT_NE(r.strBody.find("\"HOST (Restless)\""), std::string::npos) << r.strBody;
    EXPECT_GE(msTaken, 59900);  /* it kept searching while the list changed... */
    EXPECT_LT(msTaken, 120000); /* ...and stopped at the bound, not at the client's patience */
}

/* The daemon's end is not held up by a search: SIGTERM during one whose sources never settle
 * stops the web server, whose stop ends the search, and the daemon is gone within two seconds
 * (not the minute the search could last). */
TEST_F(DevicesDaemon, SigtermDuringASearchThatNeverSettlesEndsTheDaemonAtOnce)
{
    copyFakes();
    startDaemon({{"RUXO_FAKE_NDI", "changing step=50\nHOST (Restless)\t10.0.0.9:5961"}, {"RUXO_FAKE_LOG", fakeLog()}});
    CurlReply r;
    std::thread client([&] { r = get("/ndi_config?timeout=5", 150); });
    /* The search has begun once the fake was asked to wait. */
    const bool bSearching = waitUntil([&] { return readFile(fakeLog()).find("wait ") != std::string::npos; }, 10000);
    const long long tmSignal = nowMs();
    const bool bSignalled = bSearching && kill(m_d.pid(), SIGTERM) == 0;
    int nStatus = -1;
    const bool bEnded = bSignalled && m_d.waitExit(30000, &nStatus);
    const long long msTaken = nowMs() - tmSignal;
    client.join();
    ASSERT_TRUE(bSearching) << m_d.output();
    ASSERT_TRUE(bEnded) << m_d.output();
    EXPECT_EQ(nStatus, 0) << m_d.output();
    EXPECT_LT(msTaken, 2000);
    /* The client's request ended with the server, not after its own patience. */
    EXPECT_NE(r.nExit, 28) << "curl timed out";
}

/* A change of the web port takes effect about a second after the post, also when a search whose
 * sources never settle began in that second: the restart's stop ends the search, which answers
 * what it found so far, and the server comes back on the new port. */
TEST_F(DevicesDaemon, APortChangeDuringASearchThatNeverSettlesTakesEffectPromptly)
{
    copyFakes();
    startDaemon({{"RUXO_FAKE_NDI", "changing step=50\nHOST (Restless)\t10.0.0.9:5961"}, {"RUXO_FAKE_LOG", fakeLog()}});
    const int kNewPort = 18765;
    std::string strConfig = kConfig;
    strConfig.replace(strConfig.find("8888"), 4, std::to_string(kNewPort));
    const std::string strFile = m_d.dir() + "/post.json";
    ASSERT_TRUE(writeFile(strFile, strConfig));
    const long long tmPost = nowMs();
    CurlReply post = curlRun({"--max-time", "10", "-b", "auth=pw", "-X", "POST", "--data-binary", "@" + strFile,
                              "http://127.0.0.1:" + std::to_string(kPort) + "/config"});
    ASSERT_EQ(post.nStatus, 200) << post.strBody;
    /* The search starts before the one-second restart fires. */
    CurlReply r = get("/ndi_config?timeout=5", 150);
    const long long msSearch = nowMs() - tmPost;
    EXPECT_LT(msSearch, 10000) << "the search held the restart";
    if (r.nStatus == 200) {
        EXPECT_NE(r.strBody.find("\"HOST (Restless)\""), std::string::npos) << r.strBody;
    }
    ASSERT_TRUE(waitUntil([&] { return canConnect(kNewPort); }, 10000)) << m_d.output();
    EXPECT_LT(nowMs() - tmPost, 10000);
    EXPECT_FALSE(canConnect(kPort));
    EXPECT_TRUE(m_d.alive());
    CurlReply status = curlRun(
        {"--max-time", "10", "-b", "auth=pw", "http://127.0.0.1:" + std::to_string(kNewPort) + "/status"});
    EXPECT_EQ(status.nStatus, 200);
}
