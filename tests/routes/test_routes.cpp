/* test_routes.cpp -- the API routes driven over loopback with curl against the real web server,
 * started in-process on a free port (in the private network namespace of the shared test main), with
 * the real configuration layer behind it. The channel layer
 * and the daemon's restart hook are replaced by recording stand-ins (below), so every channel state,
 * status text and start result can be set up exactly and every call checked. */
#include <stdlib.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "ruxo_curl.h"
#include "ruxo.h"
#include "ruxo_cgi.h"
#include "ruxo_cgi_files.h"
#include "ruxo_cgi_internal.h"
#include "ruxo_channel.h"
#include "ruxo_config.h"
#include "ruxo_routes.h"

/* ---- stand-ins for the channel layer and the daemon ------------------------------------------ */

namespace {

struct StubChannel {
    RUXO_CHANNEL_STATE state = RUXO_STATE_IDLE;
    bool bStatusWrites = false; /* false: the status leaves the caller's text alone */
    std::string strStatus;
    int nStartResult = 0;
    int nPreviewResult = 0;
    int nStarts = 0;
    int nPreviews = 0;
    std::vector<int> stopModes;
};

std::mutex g_stubLock;
StubChannel g_stub[RUXO_MAX_CHANNELS];
std::vector<int> g_callbacks;    /* arguments of the restart hook, in order */
std::vector<int> g_removedStops; /* channel count of the tree at each ruxoStopRemovedChannels */
int g_nCallsWithoutWebMutex = 0; /* channel-layer or callback calls made without the web mutex */

void noteWebMutex()
{
    if (g_cgi_mutex.try_lock()) {
        g_cgi_mutex.unlock();
        g_nCallsWithoutWebMutex++;
    }
}

void resetStubs()
{
    std::lock_guard<std::mutex> l(g_stubLock);
    for (auto& s : g_stub)
        s = StubChannel();
    g_callbacks.clear();
    g_removedStops.clear();
    g_nCallsWithoutWebMutex = 0;
}

/* A recorded start or preview: counted, and on success the channel takes stateOnSuccess. */
int stubAct(int iChannel, int StubChannel::*pnCalls, int StubChannel::*pnResult, RUXO_CHANNEL_STATE stateOnSuccess)
{
    noteWebMutex();
    std::lock_guard<std::mutex> l(g_stubLock);
    StubChannel& s = g_stub[iChannel];
    (s.*pnCalls)++;
    if (s.*pnResult == 0)
        s.state = stateOnSuccess;
    return s.*pnResult;
}

}  // namespace

int ruxoStartChannel(int iChannel)
{
    return stubAct(iChannel, &StubChannel::nStarts, &StubChannel::nStartResult, RUXO_STATE_RUNNING);
}

int ruxoPreviewChannel(int iChannel)
{
    return stubAct(iChannel, &StubChannel::nPreviews, &StubChannel::nPreviewResult, RUXO_STATE_PREVIEW);
}

void ruxoStopChannel(int iChannel, int nStopMode)
{
    noteWebMutex();
    std::lock_guard<std::mutex> l(g_stubLock);
    g_stub[iChannel].stopModes.push_back(nStopMode);
}

void ruxoStopRemovedChannels(void)
{
    noteWebMutex();
    std::lock_guard<std::mutex> l(g_stubLock);
    g_removedStops.push_back(jsonGetArraySize(jsonGetItem(g_jsonConfig, "channels")));
}

RUXO_CHANNEL_STATE ruxoGetChannelState(int iChannel)
{
    noteWebMutex();
    std::lock_guard<std::mutex> l(g_stubLock);
    return (iChannel >= 0 && iChannel < RUXO_MAX_CHANNELS) ? g_stub[iChannel].state : RUXO_STATE_IDLE;
}

void ruxoGetChannelStatus(int iChannel, LPTSTR tszStatus, size_t cchStatus)
{
    noteWebMutex();
    std::lock_guard<std::mutex> l(g_stubLock);
    const StubChannel& s = g_stub[iChannel];
    if (s.bStatusWrites && cchStatus > 0)
        snprintf(tszStatus, cchStatus, "%s", s.strStatus.c_str());
}

/* The walker's form: the stand-ins keep their status by index. */
void ruxoGetChannelStatusOf(int iChannel, const cJSON* jsonChannel, LPTSTR tszStatus, size_t cchStatus)
{
    (void)jsonChannel;
    ruxoGetChannelStatus(iChannel, tszStatus, cchStatus);
}

/* The restart hook that the fixture registers in the daemon's place. */
void recordCGICallback(BOOL bRestartCGI)
{
    noteWebMutex();
    std::lock_guard<std::mutex> l(g_stubLock);
    g_callbacks.push_back(bRestartCGI ? 1 : 0);
}

/* ---- fixture --------------------------------------------------------------------------------- */

namespace {

const char* const kChannel =
    "{\"enable\": false, \"input\": {\"sources\": [{\"format\": \"file\", \"url\": \"/media/a.mp4\"}]},"
    " \"output\": {\"targets\": [{\"format\": \"file\", \"url\": \"/tmp/out.mp4\","
    " \"video\": {\"codec\": \"h264\"}, \"audio\": {\"codec\": \"aac\"}}]}}";
const char* const kBadChannel =
    "{\"enable\": true, \"input\": {\"sources\": [{\"format\": \"file\", \"url\": \"\"}]},"
    " \"output\": {\"targets\": [{\"format\": \"file\", \"url\": \"/tmp/out.mp4\","
    " \"video\": {\"codec\": \"h264\"}}]}}";

std::string channels(int n, const char* szChannel = kChannel)
{
    std::string s = "[";
    for (int i = 0; i < n; i++) {
        if (i > 0)
            s += ", ";
        s += szChannel;
    }
    return s + "]";
}

/* Position of the first header of that name (lower case) in the reply, -1 when there is none. */
int headerAt(const CurlReply& r, const std::string& strName)
{
    for (size_t i = 0; i < r.headers.size(); i++) {
        if (r.headers[i].first == strName)
            return (int)i;
    }
    return -1;
}

class Routes : public ::testing::Test {
protected:
    ruxotest::TempDir m_dir{"routes"};
    int m_nPort = 0;

    void SetUp() override
    {
        ASSERT_TRUE(m_dir.ok());
        ruxoSetConfigPath(m_dir.path().c_str());
        resetStubs();
        ruxoCGISetRouter(ruxoCGIRoute);
        ruxoCGISetCallback(recordCGICallback);
        ruxoCGISetProvider(&g_ruxoCGIProvider);
        g_cfg.nCPUs = 4;
        const int loads[4] = {12, 3, 0, 7};
        for (int k = 0; k < 4; k++)
            g_cfg.cpuUsage[k].load_pct = loads[k];
        for (int attempt = 0; attempt < 10 && m_nPort == 0; attempt++) {
            int port = freePort();
            ASSERT_GT(port, 0);
            setTree(config(port, "", channels(2)));
            if (ruxoStartCGI() == 1)
                m_nPort = port;
        }
        ASSERT_GT(m_nPort, 0) << "the web server did not start";
    }

    void TearDown() override { ruxoStopCGI(); }

    static std::string config(int port, const std::string& strPass, const std::string& strChannels,
                              const std::string& strExtraGlobal = "")
    {
        return "{\"global\": {\"log\": 0, \"httpPort\": " + std::to_string(port) + ", \"loginPass\": \"" + strPass +
               "\"" + strExtraGlobal + "}, \"channels\": " + strChannels + "}";
    }
    std::string config(const std::string& strPass, const std::string& strChannels,
                       const std::string& strExtraGlobal = "") const
    {
        return config(m_nPort, strPass, strChannels, strExtraGlobal);
    }

    static void setTree(const std::string& strJson)
    {
        std::lock_guard<std::recursive_mutex> l(g_configLock);
        ASSERT_NE(ruxoSetConfig(strJson.c_str()), nullptr);
    }

    static std::string printTree()
    {
        std::lock_guard<std::recursive_mutex> l(g_configLock);
        char* sz = cJSON_Print(g_jsonConfig);
        std::string s = sz != nullptr ? sz : "";
        cJSON_free(sz);
        return s;
    }

    /* The channel's "enable" item: -1 missing, 0 false, 1 true, 2 any other type. */
    static int enableOf(int i, std::string* pKey = nullptr)
    {
        std::lock_guard<std::recursive_mutex> l(g_configLock);
        cJSON* ch = jsonGetArrayItem(jsonGetItem(g_jsonConfig, "channels"), i);
        cJSON* e = jsonGetItem(ch, "enable");
        if (e == nullptr)
            return -1;
        if (pKey != nullptr)
            *pKey = e->string;
        return cJSON_IsTrue(e) ? 1 : cJSON_IsFalse(e) ? 0 : 2;
    }

    std::string url(const std::string& strPath) const
    {
        return "http://127.0.0.1:" + std::to_string(m_nPort) + strPath;
    }
    /* One request, with the stand-ins' lock taken and let go before it and after it: what the test
     * set in the stand-ins before is seen by the web thread, and what the web thread recorded is seen
     * by the test after (a reply through a socket orders them, but not for ThreadSanitizer). */
    static CurlReply request(const std::vector<std::string>& args)
    {
        {
            std::lock_guard<std::mutex> l(g_stubLock);
        }
        CurlReply r = curlRun(args);
        {
            std::lock_guard<std::mutex> l(g_stubLock);
        }
        return r;
    }
    CurlReply get(const std::string& strPath, const std::vector<std::string>& extra = {}) const
    {
        std::vector<std::string> args = extra;
        args.push_back(url(strPath));
        return request(args);
    }
    CurlReply post(const std::string& strPath, const std::string& strBody,
                   const std::vector<std::string>& extra = {}) const
    {
        ruxotest::writeFile(m_dir.file("post.body"), strBody);
        std::vector<std::string> args = {"--data-binary", "@" + m_dir.file("post.body"), "-H",
                                         "Content-Type: application/json"};
        args.insert(args.end(), extra.begin(), extra.end());
        args.push_back(url(strPath));
        return request(args);
    }
    std::string savedFile() const { return ruxotest::readFile(m_dir.file("ruxod.json")); }
};

}  // namespace

/* ---- route order ----------------------------------------------------------------------------- */

TEST_F(Routes, PathsReachTheirRoutesInOrder)
{
    struct Case {
        const char* szMethod;
        const char* szPath;
        int nStatus;
        const char* szWhat; /* "status", "runtime", "page", "config", "devices" and "sources" (the
                             * empty device lists: no device library beside this program), "empty" (404) */
    } cases[] = {
        {"GET", "/status", 200, "status"},
        {"GET", "/STATUS", 200, "status"},
        {"GET", "/Status", 200, "status"},
        {"POST", "/status", 200, "status"},
        {"GET", "/status/", 404, "empty"},
        {"GET", "/runtime", 200, "runtime"},
        {"POST", "/RunTime", 200, "runtime"},
        {"GET", "/", 200, "page"},
        {"POST", "/", 200, "page"},
        {"GET", "/config", 200, "config"},
        {"GET", "/CONFIG?import", 200, "config"},
        {"GET", "/decklink_config", 200, "devices"},
        {"POST", "/NDI_Config?timeout=0", 200, "sources"},
        {"GET", "/index.html", 200, "page"},
        {"GET", "/login", 404, "empty"},
        {"GET", "/channel", 404, "empty"},
        {"GET", "/channels", 404, "empty"},
        {"GET", "/nothing/here", 404, "empty"},
        {"GET", "/statusx", 404, "empty"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.szMethod) + " " + c.szPath);
        CurlReply r = std::string(c.szMethod) == "POST" ? post(c.szPath, "{}") : get(c.szPath);
        EXPECT_EQ(r.nStatus, c.nStatus);
        std::string what = c.szWhat;
        if (what == "status") {
            EXPECT_EQ(r.strBody.compare(0, 17, "{\n  \"channels\": ["), 0) << r.strBody;
            EXPECT_EQ(r.header("content-type"), "application/json");
        } else if (what == "runtime") {
            EXPECT_NE(r.strBody.find("\"previewPort\": 9527"), std::string::npos) << r.strBody;
        } else if (what == "devices") {
            EXPECT_EQ(r.strBody, "{ \"devices\": [\n ]\n}\n");
        } else if (what == "sources") {
            EXPECT_EQ(r.strBody, "{ \"sources\": [\n ]\n}\n");
        } else if (what == "page") {
            EXPECT_EQ(r.strBody, ruxotest::readFile(RUXO_WEB_DIR "/index.html"));
        } else if (what == "config") {
            EXPECT_EQ(r.strBody, printTree());
        } else {
            EXPECT_EQ(r.strBody, "");
        }
    }
    /* None of these reached the channel layer's actions or the configuration. */
    for (const auto& s : g_stub) {
        EXPECT_EQ(s.nStarts + s.nPreviews + (int)s.stopModes.size(), 0);
    }
    EXPECT_TRUE(g_callbacks.empty());
}

TEST_F(Routes, EveryRouteNeedsTheLoginCookie)
{
    setTree(config("se cret;%", channels(2)));
    const char* paths[] = {"/status", "/runtime", "/channel1?start", "/config", "/", "/decklink_config"};
    for (const char* szPath : paths) {
        SCOPED_TRACE(szPath);
        CurlReply r = get(szPath);
        EXPECT_EQ(r.nStatus, 200);
        EXPECT_EQ(r.header("content-type"), "text/html");
        EXPECT_NE(r.strBody.find("Login Authentication"), std::string::npos);
        /* The cookie carries the password form-encoded. */
        CurlReply in = get(szPath, {"-H", "Cookie: auth=se+cret%3B%25"});
        EXPECT_EQ(in.strBody.find("Login Authentication"), std::string::npos) << in.strBody;
    }
    CurlReply r = post("/config", config("x", channels(1)));
    EXPECT_NE(r.strBody.find("Login Authentication"), std::string::npos);
    EXPECT_EQ(g_stub[0].nStarts, 1) << "only the request with the cookie starts the channel";
    EXPECT_TRUE(g_callbacks.empty()) << "a post without the cookie replaced the configuration";
    EXPECT_NE(printTree().find("se cret;%"), std::string::npos);
    EXPECT_EQ(get("/status", {"-H", "Cookie: auth=se+cret%3B%25"}).nStatus, 200);
}

/* ---- status and runtime ---------------------------------------------------------------------- */

TEST_F(Routes, StatusWithOneRunningAndOneIdleChannel)
{
    g_stub[0].state = RUXO_STATE_RUNNING;
    g_stub[0].bStatusWrites = true;
    g_stub[0].strStatus = "00:01:05   25fps@2000Kbps";
    CurlReply r = get("/status");
    EXPECT_EQ(r.nStatus, 200);
    EXPECT_EQ(r.strBody,
              "{\n  \"channels\": [\n"
              "    {\"state\": \"running\", \"status\": \"00:01:05   25fps@2000Kbps\"},\n"
              "    {\"state\": \"idle\", \"status\": \"IDLE\"}\n"
              "  ],\n  \"cpu\": [12, 3, 0, 7]\n}\n");
    EXPECT_EQ(r.header("content-type"), "application/json");
    EXPECT_EQ(r.header("pragma"), "no-cache");
    EXPECT_EQ(r.header("cache-control"), "no-cache");
    EXPECT_EQ(r.count("content-type"), 1);
    /* Added in the order the web page's replies always had. */
    EXPECT_LT(headerAt(r, "pragma"), headerAt(r, "cache-control"));
    EXPECT_LT(headerAt(r, "cache-control"), headerAt(r, "content-type"));
    EXPECT_EQ(g_nCallsWithoutWebMutex, 0);
}

TEST_F(Routes, StatusEdgesOfTheListsAndTheProcessorTable)
{
    setTree(config("", "[]"));
    g_cfg.nCPUs = 0;
    EXPECT_EQ(get("/status").strBody, "{\n  \"channels\": [\n\n  ],\n  \"cpu\": []\n}\n");

    /* More processors than the table samples: the first 64 only. */
    g_cfg.nCPUs = 200;
    for (int k = 0; k < RUXO_MAX_CPUS; k++)
        g_cfg.cpuUsage[k].load_pct = k;
    std::string strBody = get("/status").strBody;
    std::string strCpu;
    for (int k = 0; k < RUXO_MAX_CPUS; k++)
        strCpu += (k ? ", " : "") + std::to_string(k);
    EXPECT_NE(strBody.find("\"cpu\": [" + strCpu + "]\n}\n"), std::string::npos) << strBody;

    /* The list ends at the first channel that is not valid (one put into the tree in place). */
    setTree(config("", channels(3)));
    {
        std::lock_guard<std::recursive_mutex> l(g_configLock);
        cJSON* arr = jsonGetItem(g_jsonConfig, "channels");
        cJSON_ReplaceItemInArray(arr, 1, cJSON_Parse(kBadChannel));
    }
    g_stub[2].state = RUXO_STATE_RUNNING;
    EXPECT_EQ(get("/status").strBody,
              "{\n  \"channels\": [\n    {\"state\": \"idle\", \"status\": \"IDLE\"}\n"
              "  ],\n  \"cpu\": [" +
                  strCpu + "]\n}\n");
}

TEST_F(Routes, StatusOf64ChannelsInMixedStatesIsValidJson)
{
    setTree(config("", channels(64)));
    /* Status texts that need escaping, one that fills the whole buffer with quotation marks, bytes
     * that are no UTF-8, a multi-byte character cut by the buffer's end, and none at all. */
    const std::string strQuotes(120, '"');
    std::string strCut(98, 'a');
    strCut += "\xc3\xa9\xc3\xa9"; /* the buffer of 100 cuts the first "é" in half */
    const std::vector<std::pair<std::string, std::string>> texts = {
        {"clip \"07\".mp4", "clip \"07\".mp4"},
        {"back\\slash\\name.ts", "back\\slash\\name.ts"},
        {"tab\tnew\nline\x01\x1f.mp4", "tab\tnew\nline\x01\x1f.mp4"},
        {"caf\xc3\xa9 \xe2\x82\xac.mkv", "caf\xc3\xa9 \xe2\x82\xac.mkv"},
        {"latin1 \xe9t\xe9.avi", "latin1 \xef\xbf\xbdt\xef\xbf\xbd.avi"},
        {strQuotes, strQuotes.substr(0, 99)},
        {strCut, std::string(98, 'a') + "\xef\xbf\xbd"},
        {"</script>&<b>", "</script>&<b>"},
    };
    const RUXO_CHANNEL_STATE states[4] = {RUXO_STATE_RUNNING, RUXO_STATE_IDLE, RUXO_STATE_PREVIEW, RUXO_STATE_STOPPING};
    for (int i = 0; i < 64; i++) {
        g_stub[i].state = states[i % 4];
        g_stub[i].bStatusWrites = (i % 8) != 4; /* every eighth running channel reports nothing */
        g_stub[i].strStatus = texts[(i / 4) % texts.size()].first;
    }
    CurlReply r = get("/status");
    ASSERT_EQ(r.nStatus, 200);
    EXPECT_EQ(curlStrictJson(m_dir.path(), r.strBody) != 0, true) << r.strBody;

    cJSON* json = cJSON_Parse(r.strBody.c_str());
    ASSERT_NE(json, nullptr) << r.strBody;
    cJSON* arr = cJSON_GetObjectItem(json, "channels");
    ASSERT_EQ(cJSON_GetArraySize(arr), 64);
    const char* const names[4] = {"running", "idle", "preview", "stopping"};
    const char* const fixed[4] = {nullptr, "IDLE", "PREVIEW", "STOPPING"};
    for (int i = 0; i < 64; i++) {
        SCOPED_TRACE(i);
        cJSON* e = cJSON_GetArrayItem(arr, i);
        EXPECT_STREQ(cJSON_GetStringValue(cJSON_GetObjectItem(e, "state")), names[i % 4]);
        const char* szStatus = cJSON_GetStringValue(cJSON_GetObjectItem(e, "status"));
        ASSERT_NE(szStatus, nullptr);
        if (i % 4 != 0)
            EXPECT_STREQ(szStatus, fixed[i % 4]);
        else if (i % 8 == 4)
            EXPECT_STREQ(szStatus, "RUNNING");
        else
            EXPECT_EQ(std::string(szStatus), texts[(i / 4) % texts.size()].second);
    }
    EXPECT_EQ(cJSON_GetArraySize(cJSON_GetObjectItem(json, "cpu")), 4);
    cJSON_Delete(json);
}

/* The status reply keeps what it read of the tree and of each status text between requests: a
 * posted configuration changes the channel list at once, and a status text that changes (to one
 * that needs escaping and back) is never answered with the one before. */
TEST_F(Routes, StatusFollowsPostedConfigurationsAndChangingTexts)
{
    const std::string strIdle = "    {\"state\": \"idle\", \"status\": \"IDLE\"}";
    auto list = [&](std::vector<std::string> entries) {
        std::string s = "{\n  \"channels\": [\n";
        for (size_t i = 0; i < entries.size(); i++)
            s += (i ? ",\n" : "") + entries[i];
        return s + "\n  ],\n  \"cpu\": [12, 3, 0, 7]\n}\n";
    };
    EXPECT_EQ(get("/status").strBody, list({strIdle, strIdle}));
    ASSERT_EQ(post("/config", config("", channels(3))).nStatus, 200);
    EXPECT_EQ(get("/status").strBody, list({strIdle, strIdle, strIdle}));
    ASSERT_EQ(post("/config", config("", channels(1))).nStatus, 200);
    EXPECT_EQ(get("/status").strBody, list({strIdle}));

    g_stub[0].state = RUXO_STATE_RUNNING;
    g_stub[0].bStatusWrites = true;
    const std::pair<const char*, const char*> texts[] = {
        {"clip.mp4", "clip.mp4"}, {"clip \"2\".mp4", "clip \\\"2\\\".mp4"},
        {"clip.mp4", "clip.mp4"}, {"00:00:01   25fps@900Kbps", "00:00:01   25fps@900Kbps"},
        {"00:00:01", "00:00:01"}, /* shorter: the rest of the buffer is left from before */
    };
    for (const auto& text : texts) {
        SCOPED_TRACE(text.first);
        g_stub[0].strStatus = text.first;
        EXPECT_EQ(get("/status").strBody,
                  list({std::string("    {\"state\": \"running\", \"status\": \"") + text.second + "\"}"}));
    }
    g_stub[0].bStatusWrites = false;
    EXPECT_EQ(get("/status").strBody, list({"    {\"state\": \"running\", \"status\": \"RUNNING\"}"}));
    EXPECT_EQ(g_nCallsWithoutWebMutex, 0);
}

TEST_F(Routes, RuntimeReply)
{
    CurlReply r = get("/runtime");
    EXPECT_EQ(r.nStatus, 200);
    EXPECT_EQ(r.header("content-type"), "application/json");
    EXPECT_EQ(r.header("pragma"), "no-cache");
    EXPECT_EQ(r.strBody,
              "{\n  \"app\": \"Strovanta!\",\n  \"appAbbr\": \"RUXOD\",\n  \"title\": \"Strovanta!\",\n"
              "  \"version\": \"6.2.5.1a\",\n  \"channels\": 64,\n"
              "  \"website\": \"https://www.strovanta.example\",\n"
              "  \"email\": \"support@strovanta.example\",\n  \"platform\": \"linux\",\n"
              "  \"previewPort\": 9527,\n  \"https\": false\n}");
}

/* ---- channel actions ------------------------------------------------------------------------- */

TEST_F(Routes, ChannelActions)
{
    struct Case {
        const char* szPath;
        RUXO_CHANNEL_STATE before; /* of the addressed channel (channel 1 unless the path says) */
        int iChannel;              /* 0-based index that the action reaches, -1 for none */
        int nStatus;
        int nStarts, nPreviews;
        std::vector<int> stops;
        int nEnable; /* afterwards: -1 missing (untouched), 0 false, 1 true */
    } cases[] = {
        {"/channel1?start", RUXO_STATE_IDLE, 0, 200, 1, 0, {}, 1},
        {"/channel1?START", RUXO_STATE_IDLE, 0, 200, 1, 0, {}, 1},
        {"/channel2x?stop", RUXO_STATE_RUNNING, 1, 200, 0, 0, {0}, 0},
        {"/channel1?start", RUXO_STATE_RUNNING, 0, 200, 0, 0, {}, 1},
        {"/channel1?start", RUXO_STATE_STOPPING, 0, 200, 0, 0, {}, 1},
        {"/channel1?stop", RUXO_STATE_IDLE, 0, 200, 0, 0, {}, 0},
        {"/channel1?stop", RUXO_STATE_PREVIEW, 0, 200, 0, 0, {0}, 0},
        {"/channel1?Stop", RUXO_STATE_STOPPING, 0, 200, 0, 0, {1}, 0},
        {"/channel1?preview", RUXO_STATE_IDLE, 0, 200, 0, 1, {}, -1},
        {"/channel1?preview", RUXO_STATE_RUNNING, 0, 200, 0, 0, {}, -1},
        {"/channel1?start=1", RUXO_STATE_IDLE, 0, 200, 0, 0, {}, -1},
        {"/channel1?start&x=1", RUXO_STATE_IDLE, 0, 200, 0, 0, {}, -1},
        {"/channel1", RUXO_STATE_IDLE, 0, 200, 0, 0, {}, -1},
        {"/channel1?", RUXO_STATE_IDLE, 0, 200, 0, 0, {}, -1},
        {"/CHANNEL02?start", RUXO_STATE_IDLE, 1, 200, 1, 0, {}, 1},
        {"/channel0?start", RUXO_STATE_IDLE, -1, 404, 0, 0, {}, -1},
        {"/channel?start", RUXO_STATE_IDLE, -1, 404, 0, 0, {}, -1},
        {"/channels?start", RUXO_STATE_IDLE, -1, 404, 0, 0, {}, -1},
        {"/channel-1?start", RUXO_STATE_IDLE, -1, 404, 0, 0, {}, -1},
        {"/channel+1?start", RUXO_STATE_IDLE, -1, 404, 0, 0, {}, -1},
        {"/channel3?start", RUXO_STATE_IDLE, -1, 404, 0, 0, {}, -1},
        {"/channel99999999999999999999?start", RUXO_STATE_IDLE, -1, 404, 0, 0, {}, -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.szPath);
        resetStubs();
        setTree(config("", channels(2,
                                    "{\"input\": {\"sources\": [{\"url\": \"/a\"}]}, \"output\": "
                                    "{\"targets\": [{\"video\": {\"codec\": \"h264\"}}]}}")));
        const int iAddressed = c.iChannel >= 0 ? c.iChannel : 0;
        g_stub[iAddressed].state = c.before;
        CurlReply r = get(c.szPath);
        EXPECT_EQ(r.nStatus, c.nStatus);
        EXPECT_EQ(r.strBody, "");
        EXPECT_FALSE(r.hasHeader("content-type"));
        for (int i = 0; i < 2; i++) {
            SCOPED_TRACE(i);
            const bool bHere = i == c.iChannel;
            EXPECT_EQ(g_stub[i].nStarts, bHere ? c.nStarts : 0);
            EXPECT_EQ(g_stub[i].nPreviews, bHere ? c.nPreviews : 0);
            EXPECT_EQ(g_stub[i].stopModes, bHere ? c.stops : std::vector<int>());
            EXPECT_EQ(enableOf(i), bHere ? c.nEnable : -1);
        }
        EXPECT_EQ(g_nCallsWithoutWebMutex, 0);
    }
    EXPECT_EQ(savedFile(), "") << "a channel action saved the configuration";
}

TEST_F(Routes, EnableBecomesABooleanInItsPlace)
{
    setTree(config("",
                   "[{\"ENABLE\": \"yes\", \"input\": {\"sources\": [{\"url\": \"/a\"}]}, "
                   "\"output\": {\"targets\": [{\"video\": {\"codec\": \"h264\"}}]}, \"memo\": \"m\"}]"));
    EXPECT_EQ(get("/channel1?start").nStatus, 200);
    std::string strKey;
    EXPECT_EQ(enableOf(0, &strKey), 1);
    EXPECT_EQ(strKey, "ENABLE");
    std::string strTree = printTree();
    EXPECT_LT(strTree.find("\"ENABLE\""), strTree.find("\"input\"")) << strTree;
    EXPECT_EQ(strTree.find("yes"), std::string::npos);
    EXPECT_EQ(get("/channel1?stop").nStatus, 200);
    EXPECT_EQ(enableOf(0), 0);
}

TEST_F(Routes, StartResultCodesAndTheirTexts)
{
    const struct {
        int nCode;
        int nStatus;
        const char* szText;
    } cases[] = {
        {0, 200, ""},
        {-1, 400, "not initialized"},
        {-2, 400, "invalid channel"},
        {-3, 400, "channel busy"},
        {-5, 400, ""},
        {-6, 400, ""},
        {-7, 400, "source url not valid"},
        {-8, 400, "target url not valid"},
        {-9, 400, "target codec not valid"},
        {-10, 400, ""},
        {-12, 400, "channel log cannot be written"},
        {-13, 400, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.nCode);
        resetStubs();
        setTree(config("", channels(1)));
        g_stub[0].nStartResult = c.nCode;
        CurlReply r = get("/channel1?start");
        EXPECT_EQ(r.nStatus, c.nStatus);
        EXPECT_EQ(r.strBody, c.szText);
        EXPECT_EQ(r.header("connection"), "Keep-Alive");
        EXPECT_EQ(g_stub[0].nStarts, 1);
        EXPECT_EQ(enableOf(0), 1) << "enable is set also after a failed start";
    }
    /* A preview that fails is not reported. */
    resetStubs();
    g_stub[0].nPreviewResult = -3;
    CurlReply r = get("/channel1?preview");
    EXPECT_EQ(r.nStatus, 200);
    EXPECT_EQ(r.strBody, "");
    EXPECT_EQ(g_stub[0].nPreviews, 1);
}

/* ---- configuration post ---------------------------------------------------------------------- */

TEST_F(Routes, PlainPostAnswersTheStoredConfigurationAndSetsTheCookie)
{
    /* One valid and one invalid channel, a "global" without the defaults the layer adds. */
    const std::string strPost = "{\"global\": {\"httpPort\": " + std::to_string(m_nPort) +
                                ", \"log\": 32, \"loginPass\": \"p w;d=%\\u00e9\"}, \"channels\": [" + kChannel + ", " +
                                kBadChannel + "]}";
    CurlReply r = post("/config", strPost);
    EXPECT_EQ(r.nStatus, 200);
    EXPECT_EQ(r.header("content-type"), "application/json");
    EXPECT_EQ(r.header("connection"), "Keep-Alive");
    const std::string strTree = printTree();
    EXPECT_EQ(r.strBody, strTree);
    EXPECT_EQ(savedFile(), strTree);
    cJSON* json = cJSON_Parse(r.strBody.c_str());
    ASSERT_NE(json, nullptr);
    EXPECT_EQ(cJSON_GetArraySize(cJSON_GetObjectItem(json, "channels")), 1);
    EXPECT_TRUE(cJSON_HasObjectItem(cJSON_GetObjectItem(json, "global"), "autoRestart"));
    cJSON_Delete(json);
    EXPECT_EQ(g_cfg.nLogLevel, 32);
    EXPECT_EQ(g_callbacks, std::vector<int>{0});
    /* The slots of channels the new tree no longer holds are stopped once it is installed. */
    EXPECT_EQ(g_removedStops, std::vector<int>{1});
    EXPECT_EQ(g_nCallsWithoutWebMutex, 0);

    /* The new cookie: the password percent-encoded, with the login cookie's attributes. */
    std::string strCookie = r.header("set-cookie");
    EXPECT_EQ(strCookie, cgiLoginCookie("p w;d=%\xc3\xa9"));
    EXPECT_EQ(strCookie.compare(0, 5, "auth="), 0) << strCookie;
    const std::string strValue = strCookie.substr(0, strCookie.find(';'));
    EXPECT_EQ(strValue.find_first_of(" ,\"\\"), std::string::npos) << strCookie;
    EXPECT_NE(strCookie.find("SameSite=Strict"), std::string::npos) << strCookie;

    /* The cookie that curl keeps from this reply passes the gate. */
    setTree(config("", channels(1)));
    const std::string strJar = m_dir.file("jar");
    ruxotest::writeFile(m_dir.file("post.body"), strPost);
    request({"-c", strJar, "--data-binary", "@" + m_dir.file("post.body"), url("/config")});
    CurlReply in = get("/status", {"-b", strJar});
    EXPECT_EQ(in.nStatus, 200);
    EXPECT_EQ(in.strBody.compare(0, 17, "{\n  \"channels\": ["), 0) << in.strBody;
    EXPECT_NE(get("/status").strBody.find("Login Authentication"), std::string::npos);
}

TEST_F(Routes, PlainPostWithoutPasswordSetsNoCookie)
{
    CurlReply r = post("/config", config("", channels(1)));
    EXPECT_EQ(r.nStatus, 200);
    EXPECT_FALSE(r.hasHeader("set-cookie"));
}

TEST_F(Routes, ImportRedirectsWithoutBodyAndSetsTheCookieOfItsPassword)
{
    const struct {
        const char* szPath;
        bool bImport;
    } cases[] = {
        {"/config?import", true},    {"/CONFIG?IMPORT", true},    {"/config?Import", true},
        {"/config?import=1", false}, {"/config?import&x", false}, {"/config?x", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.szPath);
        resetStubs();
        unlink((m_dir.file("ruxod.json")).c_str());
        CurlReply r = post(c.szPath, config("newpass", channels(3)), {"-b", "auth=newpass"});
        EXPECT_EQ(savedFile(), printTree());
        EXPECT_NE(printTree().find("newpass"), std::string::npos);
        if (c.bImport) {
            EXPECT_EQ(r.nStatus, 301);
            EXPECT_EQ(r.header("location"), "/");
            EXPECT_EQ(r.strBody, "");
            EXPECT_EQ(r.header("content-type"), "application/json");
            /* The page that loads after the redirect gets past the login with it. */
            EXPECT_EQ(r.header("set-cookie"), "auth=newpass; SameSite=Strict; HttpOnly");
            EXPECT_EQ(r.count("content-type"), 1);
            EXPECT_LT(headerAt(r, "content-type"), headerAt(r, "location"));
        } else {
            EXPECT_EQ(r.nStatus, 200);
            EXPECT_EQ(r.strBody, printTree());
            EXPECT_TRUE(r.hasHeader("set-cookie"));
            EXPECT_EQ(r.count("content-type"), 1);
            EXPECT_LT(headerAt(r, "set-cookie"), headerAt(r, "content-type"));
        }
        EXPECT_EQ(g_callbacks, std::vector<int>{0});
        setTree(config("", channels(2)));
    }
    /* After an import that changed the password a request without its cookie meets the login
     * page; one with the cookie the import set gets in. An import without a password sets none. */
    CurlReply r = post("/config?import", config("other", channels(1)));
    EXPECT_EQ(r.header("set-cookie"), "auth=other; SameSite=Strict; HttpOnly");
    EXPECT_NE(get("/status").strBody.find("Login Authentication"), std::string::npos);
    EXPECT_EQ(request({"-b", "auth=other", url("/status")}).strBody.find("Login Authentication"), std::string::npos);
    r = post("/config?import", config("", channels(1)), {"-b", "auth=other"});
    EXPECT_EQ(r.nStatus, 301);
    EXPECT_FALSE(r.hasHeader("set-cookie"));
}

TEST_F(Routes, MultipartPostsCarryTheFirstPartOnly)
{
    const std::string strJson = config("", channels(2));
    const std::string strFile = m_dir.file("upload.json");
    ruxotest::writeFile(strFile, strJson);
    for (const char* szPath : {"/config", "/config?import"}) {
        SCOPED_TRACE(szPath);
        resetStubs();
        setTree(config("", "[]"));
        CurlReply r = request(
            {"-F", "file=@" + strFile + ";type=application/json", "-F", "second=not json at all", url(szPath)});
        EXPECT_EQ(r.nStatus, std::string(szPath) == "/config" ? 200 : 301);
        std::lock_guard<std::recursive_mutex> l(g_configLock);
        EXPECT_EQ(jsonGetArraySize(jsonGetItem(g_jsonConfig, "channels")), 2);
    }
    EXPECT_EQ(savedFile(), printTree());
}

TEST_F(Routes, ServerSettingChangesArmTheRestart)
{
    const std::string strPort = std::to_string(m_nPort);
    /* HTTPS is only taken with files the server can use. */
    const std::string strCert = m_dir.file("cert.pem"), strKey = m_dir.file("key.pem");
    RunResult rr = runCaptured({"openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
                                "-nodes", "-subj", "/CN=ruxotest", "-days", "2", "-keyout", strKey, "-out", strCert});
    ASSERT_EQ(rr.nExit, 0) << rr.strOut;
    const std::string strFiles = ", \"sslCert\": \"" + strCert + "\", \"sslKey\": \"" + strKey + "\"";
    struct Case {
        const char* szName;
        std::string strBefore, strAfter; /* "global" members */
        int nRestart;
    } cases[] = {
        {"unchanged", "\"httpPort\": " + strPort, "\"httpPort\": " + strPort, 0},
        {"port", "\"httpPort\": " + strPort, "\"httpPort\": " + std::to_string(m_nPort + 1), 1},
        {"port as text", "\"httpPort\": " + strPort, "\"httpPort\": \"" + strPort + "\"", 0},
        {"tls on", "\"httpPort\": " + strPort, "\"httpPort\": " + strPort + ", \"sslEnable\": true" + strFiles, 1},
        {"tls \"true\"", "\"httpPort\": " + strPort, "\"httpPort\": " + strPort + ", \"sslEnable\": \"true\"", 0},
        {"cert", "\"httpPort\": " + strPort + ", \"sslCert\": \"/a.pem\"",
         "\"httpPort\": " + strPort + ", \"sslCert\": \"/A.pem\"", 1},
        {"key", "\"httpPort\": " + strPort, "\"httpPort\": " + strPort + ", \"sslKey\": \"/k.pem\"", 1},
        {"password and log", "\"httpPort\": " + strPort,
         "\"httpPort\": " + strPort + ", \"log\": 7, \"ipACL\": \"allow all\"", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.szName);
        setTree("{\"global\": {" + c.strBefore + "}, \"channels\": []}");
        resetStubs();
        CurlReply r = post("/config", "{\"global\": {" + c.strAfter + "}, \"channels\": []}");
        EXPECT_EQ(r.nStatus, 200);
        EXPECT_EQ(g_callbacks, std::vector<int>{c.nRestart});
    }
    /* A tree without "httpPort" (or without "global") reads port 0; the default 8888 that the
     * post adds differs. Only recorded here: nothing moves to 8888. */
    for (const char* szBefore : {"{\"global\": {\"log\": 0}, \"channels\": []}", "{\"channels\": []}"}) {
        SCOPED_TRACE(szBefore);
        {
            std::lock_guard<std::recursive_mutex> l(g_configLock);
            cJSON_Delete(g_jsonConfig);
            g_jsonConfig = cJSON_Parse(szBefore); /* as loaded, without the defaults */
        }
        resetStubs();
        EXPECT_EQ(post("/config", "{\"global\": {\"log\": 0}}").nStatus, 200);
        EXPECT_EQ(g_callbacks, std::vector<int>{1});
    }
}

TEST_F(Routes, PostsThatAreNoConfigurationChangeNothing)
{
    ASSERT_EQ(post("/config", config("", channels(2), ", \"log\": 5")).nStatus, 200);
    const std::string strFile = savedFile();
    const std::string strTree = printTree();
    ASSERT_FALSE(strFile.empty());
    cJSON* pTree = g_jsonConfig;

    std::string strHuge = config("", channels(2));
    strHuge.insert(strHuge.size() - 1, ", \"pad\": \"" + std::string(RUXO_CGI_POST_MAX, 'x') + "\"");
    const std::string strValid = config("", channels(2));
    const char* const kNoJson = "not valid JSON";
    const char* const kAfter = "text after the JSON value";
    const char* const kNoObject = "the document is not a JSON object";
    const char* const kPass = "\"loginPass\" is neither a string nor an integer number";
    const char* const kNoConfig = "not a configuration: it has neither \"global\" nor \"channels\"";
    const struct {
        std::string strBody;
        int nStatus;
        const char* szReason; /* the reply's one line */
    } bodies[] = {
        {"", 400, kNoJson},
        {"not json", 400, kNoJson},
        {"{\"global\": ", 400, kNoJson},
        {"{\"global\": {\"log\": 1,}}x", 400, kNoJson},
        /* One "}" too many closes the document early: the channels after it are not dropped. */
        {"{\"global\": {\"log\": 0}}, \"channels\": " + channels(1) + "}", 400, kAfter},
        {strValid + " trailing", 400, kAfter},
        {strValid + std::string(1, '\0') + "{}", 400, "a NUL byte in the text"},
        /* Only an object is a configuration. */
        {"[]", 400, kNoObject},
        {"null", 400, kNoObject},
        {"\"text\"", 400, kNoObject},
        {"1", 400, kNoObject},
        /* ... and only one with either part of a configuration. */
        {"{}", 400, kNoConfig},
        {"{\"foo\": 1}", 400, kNoConfig},
        {"{\"global\": 1, \"channels\": {}}", 400, kNoConfig},
        /* A password that is no text and no integer. */
        {"{\"global\": {\"loginPass\": null}}", 400, kPass},
        {"{\"global\": {\"loginPass\": true}}", 400, kPass},
        {"{\"global\": {\"loginPass\": false}}", 400, kPass},
        {"{\"global\": {\"loginPass\": 2.5}}", 400, kPass},
        {"{\"global\": {\"loginPass\": [\"pw\"]}}", 400, kPass},
        {"{\"global\": {\"loginPass\": {\"a\": 1}}}", 400, kPass},
        /* Longer than the collection limit: refused whole, not cut. */
        {strHuge, 413, "request body too large\n"},
    };
    for (const auto& b : bodies) {
        SCOPED_TRACE(b.strBody.substr(0, 40));
        resetStubs();
        g_cfg.nLogLevel = 5;
        CurlReply r = post("/config", b.strBody);
        EXPECT_EQ(r.nStatus, b.nStatus);
        EXPECT_FALSE(r.hasHeader("set-cookie"));
        EXPECT_EQ(r.strBody, b.szReason);
        EXPECT_EQ(r.header("content-type"), "text/plain; charset=utf-8");
        EXPECT_EQ(savedFile(), strFile);
        EXPECT_EQ(printTree(), strTree);
        EXPECT_EQ(g_jsonConfig, pTree);
        EXPECT_EQ(g_cfg.nLogLevel, 5);
        EXPECT_TRUE(g_callbacks.empty());
        EXPECT_TRUE(g_removedStops.empty());
    }
    /* The import flag changes nothing about that. */
    EXPECT_EQ(post("/config?import", "nope").nStatus, 400);
    EXPECT_EQ(post("/config?import", "[1]").nStatus, 400);
    EXPECT_EQ(savedFile(), strFile);
    /* And the server still serves. */
    EXPECT_EQ(get("/status").nStatus, 200);
}

TEST_F(Routes, AnIntegerPasswordIsItsDecimalText)
{
    CurlReply r = post("/config", "{\"global\": {\"httpPort\": " + std::to_string(m_nPort) +
                                      ", \"loginPass\": 123456}, \"channels\": []}");
    ASSERT_EQ(r.nStatus, 200);
    EXPECT_EQ(r.header("set-cookie"), cgiLoginCookie("123456"));
    /* The gate asks for it: no cookie, no way in. */
    EXPECT_NE(get("/status").strBody.find("Login Authentication"), std::string::npos);
    EXPECT_EQ(get("/status", {"-b", "auth=123456"}).strBody.compare(0, 17, "{\n  \"channels\": ["), 0);
    EXPECT_NE(get("/status", {"-b", "auth=123457"}).strBody.find("Login Authentication"), std::string::npos);
    /* Saved as it was posted. */
    EXPECT_NE(savedFile().find("\"loginPass\":\t123456"), std::string::npos) << savedFile();
}

TEST_F(Routes, ASaveThatFailsAnswers500WithItsReasonAndChangesNothing)
{
    const std::string strTree = printTree();
    cJSON* pTree = g_jsonConfig;
    g_cfg.nLogLevel = 5;
    ruxoSetConfigPath((m_dir.file("gone")).c_str()); /* a folder that does not exist */
    CurlReply r = post("/config", config("pw", channels(1)));
    ruxoSetConfigPath(m_dir.path().c_str());
    EXPECT_EQ(r.nStatus, 500);
    EXPECT_EQ(r.header("content-type"), "text/plain; charset=utf-8");
    EXPECT_EQ(r.strBody, "cannot write " + m_dir.path() + "/gone/ruxod.json: No such file or directory");
    EXPECT_FALSE(r.hasHeader("set-cookie"));
    EXPECT_EQ(g_jsonConfig, pTree);
    EXPECT_EQ(printTree(), strTree);
    EXPECT_EQ(g_cfg.nLogLevel, 5);
    EXPECT_TRUE(g_callbacks.empty());
    /* The same post, once it can be saved, goes through. */
    EXPECT_EQ(post("/config", config("", channels(1))).nStatus, 200);
    EXPECT_EQ(g_cfg.nLogLevel, 0);
}

TEST_F(Routes, WithoutATreeTheDownloadAnswers503WithTheReason)
{
    {
        std::lock_guard<std::recursive_mutex> l(g_configLock);
        cJSON_Delete(g_jsonConfig);
        g_jsonConfig = nullptr;
    }
    const std::string strReason = ruxoConfigNoTreeReason();
    EXPECT_NE(strReason.find(m_dir.file("ruxod.json")), std::string::npos) << strReason;
    for (const char* szPath : {"/config", "/CONFIG?x=1"}) {
        CurlReply r = get(szPath);
        EXPECT_EQ(r.nStatus, 503) << szPath;
        EXPECT_EQ(r.header("content-type"), "text/plain; charset=utf-8");
        EXPECT_EQ(r.strBody, strReason);
    }
    /* A post from this host installs a configuration; from then on there is a tree. */
    EXPECT_EQ(post("/config", config("", channels(1))).nStatus, 200);
    EXPECT_EQ(ruxoConfigNoTreeReason(), "");
    EXPECT_EQ(get("/config").nStatus, 200);
}

/* cJSON allocations of print-buffer size fail while this is set (tree items and short strings are
 * smaller), so a configuration parses but cannot be printed. */
static std::atomic<bool> s_bFailLargeAllocs{false};
static void* failingMalloc(size_t cb)
{
    if (s_bFailLargeAllocs.load() && cb >= 256)
        return nullptr;
    return malloc(cb);
}

TEST_F(Routes, TreeThatCannotBePrintedIsNotSavedNorInstalled)
{
    const std::string strFile = savedFile();
    cJSON* pTree = g_jsonConfig;
    cJSON_Hooks hooks = {failingMalloc, free};
    cJSON_InitHooks(&hooks);
    g_cfg.nLogLevel = 5;
    s_bFailLargeAllocs = true;
    CurlReply r = post("/config", config("pw", channels(1)));
    s_bFailLargeAllocs = false;
    cJSON_InitHooks(nullptr);
    EXPECT_EQ(r.nStatus, 500);
    EXPECT_EQ(r.strBody, "cannot write " + m_dir.path() + "/ruxod.json: out of memory");
    EXPECT_FALSE(r.hasHeader("set-cookie"));
    EXPECT_EQ(g_cfg.nLogLevel, 5);
    EXPECT_TRUE(g_callbacks.empty());
    EXPECT_EQ(g_jsonConfig, pTree);
    EXPECT_EQ(savedFile(), strFile);
}

/* cJSON's copy of a member name ("enable" and its NUL) fails while this is set. */
static std::atomic<bool> s_bFailNameCopies{false};
static void* failingNameMalloc(size_t cb)
{
    if (s_bFailNameCopies.load() && cb == sizeof("enable"))
        return nullptr;
    return malloc(cb);
}

TEST_F(Routes, EnableThatCannotBeAddedLeavesTheTreeAsItWas)
{
    /* A channel without "enable": the start has to add it. Under the leak checker a boolean left
     * behind by the failed addition is reported. */
    setTree(config("", channels(1,
                                "{\"input\": {\"sources\": [{\"url\": \"/a\"}]}, \"output\": "
                                "{\"targets\": [{\"video\": {\"codec\": \"h264\"}}]}}")));
    cJSON_Hooks hooks = {failingNameMalloc, free};
    cJSON_InitHooks(&hooks);
    s_bFailNameCopies = true;
    CurlReply r = get("/channel1?start");
    s_bFailNameCopies = false;
    cJSON_InitHooks(nullptr);
    EXPECT_EQ(r.nStatus, 200);
    EXPECT_EQ(g_stub[0].nStarts, 1);
    EXPECT_EQ(enableOf(0), -1);
    g_stub[0].state = RUXO_STATE_IDLE;
    EXPECT_EQ(get("/channel1?start").nStatus, 200);
    EXPECT_EQ(enableOf(0), 1);
}

/* ---- embedded files and the configuration download -------------------------------------------- */

TEST_F(Routes, EmbeddedFilesTableMatchesTheWebFolder)
{
    const char* const names[RUXO_CGI_FILE_COUNT] = {
        "index.html", "style.css",   "main.js",   "running.png",  "idle.png", "stopping.png",
        "start.png",  "preview.png", "stop.png",  "settings.png", "help.png", "create.png",
        "remove.png", "edit.png",    "apply.png", "cancel.png",
    };
    for (int i = 0; i < RUXO_CGI_FILE_COUNT; i++) {
        SCOPED_TRACE(names[i]);
        ASSERT_NE(g_cgiFiles[i].szFile, nullptr);
        EXPECT_STREQ(g_cgiFiles[i].szFile, names[i]);
        const std::string strFile = ruxotest::readFile(std::string(RUXO_WEB_DIR "/") + names[i]);
        ASSERT_FALSE(strFile.empty());
        ASSERT_EQ(g_cgiFiles[i].nSize, (int)strFile.size());
        EXPECT_EQ(std::string(g_cgiFiles[i].buf, (size_t)g_cgiFiles[i].nSize), strFile);
        if (i < 3)
            continue;
        /* Icons: PNG, 8-bit RGBA, 16 x 16 (the stopping ball 20 x 20). */
        ASSERT_GT(strFile.size(), 26u);
        EXPECT_EQ(strFile.compare(0, 8, "\x89PNG\r\n\x1a\n"), 0);
        const unsigned char* pHeader = (const unsigned char*)strFile.data() + 16;
        const unsigned int nWidth = (pHeader[0] << 24) | (pHeader[1] << 16) | (pHeader[2] << 8) | pHeader[3];
        const unsigned int nHeight = (pHeader[4] << 24) | (pHeader[5] << 16) | (pHeader[6] << 8) | pHeader[7];
        const unsigned int nSide = std::string(names[i]) == "stopping.png" ? 20 : 16;
        EXPECT_EQ(nWidth, nSide);
        EXPECT_EQ(nHeight, nSide);
        EXPECT_EQ(pHeader[8], 8) << "bit depth";
        EXPECT_EQ(pHeader[9], 6) << "colour type RGBA";
    }
    EXPECT_EQ(g_cgiFiles[RUXO_CGI_FILE_COUNT].szFile, nullptr);
    EXPECT_EQ(g_cgiFiles[RUXO_CGI_FILE_COUNT].nSize, 0);
    EXPECT_EQ(g_cgiFiles[RUXO_CGI_FILE_COUNT].buf, nullptr);
}

TEST_F(Routes, EmbeddedFilesWithTheirHeaders)
{
    struct Case {
        const char* szMethod;
        const char* szPath;
        const char* szFile;
        const char* szType;
        bool bAttachment;
    } cases[] = {
        {"GET", "/", "index.html", "text/html", false},
        {"GET", "/index.html", "index.html", "text/html", false},
        {"GET", "/Index.HTML", "index.html", "text/html", false},
        {"GET", "/MAIN.JS", "main.js", "text/javascript", false},
        {"GET", "/style.css?dl=1", "style.css", "text/css", true},
        {"GET", "/style.css?x=1&dl=1", "style.css", "text/css", true},
        {"GET", "/style.css?dl=0", "style.css", "text/css", false},
        {"POST", "/main.js", "main.js", "text/javascript", false},
        {"GET", "/stopping.png", "stopping.png", "image/png", false},
        {"GET", "/CANCEL.png?dl=1", "cancel.png", "image/png", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.szMethod) + " " + c.szPath);
        CurlReply r = std::string(c.szMethod) == "POST" ? post(c.szPath, "ignored body") : get(c.szPath);
        ASSERT_EQ(r.nStatus, 200);
        EXPECT_EQ(r.strBody, ruxotest::readFile(std::string(RUXO_WEB_DIR "/") + c.szFile));
        EXPECT_EQ(r.header("content-type"), c.szType);
        EXPECT_EQ(r.count("content-type"), 1);
        EXPECT_EQ(r.header("cache-control"), "max-age=86400");
        EXPECT_EQ(r.header("connection"), "Keep-Alive");
        EXPECT_EQ(r.header("content-disposition"), c.bAttachment ? "attachment" : "");
        EXPECT_LT(headerAt(r, "content-type"), headerAt(r, "cache-control"));
        if (c.bAttachment) {
            EXPECT_LT(headerAt(r, "cache-control"), headerAt(r, "content-disposition"));
        }
    }
    /* Every icon, by its own name. */
    for (int i = 3; i < RUXO_CGI_FILE_COUNT; i++) {
        SCOPED_TRACE(g_cgiFiles[i].szFile);
        CurlReply r = get(std::string("/") + g_cgiFiles[i].szFile);
        EXPECT_EQ(r.nStatus, 200);
        EXPECT_EQ(r.header("content-type"), "image/png");
        EXPECT_EQ(r.strBody.size(), (size_t)g_cgiFiles[i].nSize);
    }
}

TEST_F(Routes, PathsOutsideTheTableAnswer404)
{
    for (const char* szPath : {"/favicon.ico", "/web/index.html", "/index.html/", "/index.htm", "/.html",
                               "/ruxooem.png", "/RUXOOEM.PNG?dl=1", "/config/", "/%2e%2e/main.js", "//index.html"}) {
        SCOPED_TRACE(szPath);
        CurlReply r = get(szPath);
        EXPECT_EQ(r.nStatus, 404);
        EXPECT_EQ(r.strBody, "");
        EXPECT_FALSE(r.hasHeader("content-type"));
        EXPECT_FALSE(r.hasHeader("cache-control"));
    }
}

TEST_F(Routes, ConfigurationDownload)
{
    setTree(config("se cret", channels(2)));
    CurlReply r = get("/config", {"-b", "auth=se+cret"});
    ASSERT_EQ(r.nStatus, 200);
    EXPECT_EQ(r.strBody, printTree());
    EXPECT_NE(r.strBody.find("\"se cret\""), std::string::npos) << "the download holds the password";
    EXPECT_EQ(r.header("content-type"), "application/json");
    EXPECT_EQ(r.header("cache-control"), "no-cache");
    EXPECT_FALSE(r.hasHeader("content-disposition"));

    for (const char* szPath : {"/config?dl=1", "/CONFIG?x=1&dl=1"}) {
        SCOPED_TRACE(szPath);
        CurlReply d = get(szPath, {"-b", "auth=se+cret"});
        EXPECT_EQ(d.nStatus, 200);
        EXPECT_EQ(d.strBody, printTree());
        EXPECT_EQ(d.header("content-disposition"), "attachment; filename=ruxod.json");
        EXPECT_LT(headerAt(d, "cache-control"), headerAt(d, "content-disposition"));
    }
    /* Nothing was saved or changed by reading. */
    EXPECT_EQ(savedFile(), "");
    EXPECT_TRUE(g_callbacks.empty());
}

TEST_F(Routes, ConfigurationDownloadWithoutATree)
{
    {
        std::lock_guard<std::recursive_mutex> l(g_configLock);
        cJSON_Delete(g_jsonConfig);
        g_jsonConfig = nullptr;
    }
    CurlReply r = get("/config?dl=1");
    EXPECT_EQ(r.nStatus, 503);
    EXPECT_EQ(r.header("content-type").compare(0, 10, "text/plain"), 0) << r.header("content-type");
    EXPECT_FALSE(r.strBody.empty());
    EXPECT_FALSE(r.hasHeader("content-disposition"));
    /* The page itself is still served. */
    EXPECT_EQ(get("/").nStatus, 200);
}
