/* test_routes_daemon.cpp -- the API routes of the real daemon, run in its private namespace with the
 * scripted fake transcoder, driven over loopback with curl: channel actions and their result texts,
 * the status of 64 channels, configuration posts (plain, multipart, import) and their effects on
 * the saved file, the cookie and the web server's port; the logo beside the program and the
 * configuration download. */
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cjson/cJSON.h>

#include <string>
#include <vector>

#include "ns_daemon.h"
#include "ruxo_curl.h"

using namespace ruxotest;

namespace {

const int kPort = 8888;
const char* const kConfigFile = "/etc/ruxod/ruxod.json";

/* One channel; strSourceUrl may name a folder; strOutputExtra adds members to "output". */
std::string channel(bool bEnable, const std::string& strSourceUrl, const std::string& strMode,
                    const std::string& strTarget =
                        "{\"format\": \"file\", \"url\": \"/tmp/out.mp4\", "
                        "\"video\": {\"enable\": true, \"codec\": \"h264\"}}",
                    const std::string& strOutputExtra = "")
{
    return std::string("{\"enable\": ") + (bEnable ? "true" : "false") +
           ", \"input\": {\"sources\": [{\"format\": \"file\", \"url\": \"" + strSourceUrl +
           "\"}]}, \"output\": {\"customOptions\": \"fake:" + strMode + "\", \"targets\": [" + strTarget + "]" +
           strOutputExtra + "}}";
}

std::string config(const std::string& strChannels, int nPort = kPort, const std::string& strPass = "pw")
{
    return "{\"global\": {\"log\": 0, \"httpPort\": " + std::to_string(nPort) +
           ", \"autoRestart\": 0, \"loginPass\": \"" + strPass + "\"}, \"channels\": [" + strChannels + "]}";
}

std::string textOf(const cJSON* item)
{
    const char* sz = cJSON_GetStringValue(item);
    return sz != nullptr ? sz : "?";
}

class RoutesDaemon : public ::testing::Test {
protected:
    NsDaemon m_d;
    std::string m_strCookie = "auth=pw";

    void SetUp() override
    {
        std::string strErr;
        ASSERT_TRUE(m_d.setUp(Transcoder::Fake, &strErr)) << strErr;
    }
    void TearDown() override { m_d.killAll(); }

    std::string fakeLog() const { return m_d.dir() + "/fake.log"; }

    void startDaemon(const std::string& strConfig)
    {
        ASSERT_TRUE(m_d.writeConfig(strConfig));
        ASSERT_EQ(m_d.start({{"RUXO_FAKE_OUT", fakeLog()}}), 0) << m_d.output();
        ASSERT_TRUE(waitUntil([] { return canConnect(kPort); }, 20000)) << m_d.output();
    }

    /* Stops the daemon in order (it saves the configuration) and returns the saved file. */
    std::string stopDaemon()
    {
        if (m_d.pid() > 0)
            kill(m_d.pid(), SIGTERM);
        int nStatus = -1;
        EXPECT_TRUE(m_d.waitExit(10000, &nStatus));
        EXPECT_EQ(nStatus, 0) << m_d.output();
        /* A sanitizer build of the daemon reports into its output. */
        EXPECT_EQ(m_d.output().find("Sanitizer"), std::string::npos) << m_d.output();
        return readFile(kConfigFile);
    }

    std::string url(const std::string& strPath, int nPort = kPort) const
    {
        return "http://127.0.0.1:" + std::to_string(nPort) + strPath;
    }
    CurlReply get(const std::string& strPath, bool bCookie = true) const
    {
        std::vector<std::string> args;
        if (bCookie)
            args = {"-b", m_strCookie};
        args.push_back(url(strPath));
        return curlRun(args);
    }
    CurlReply post(const std::string& strPath, const std::string& strBody, int nPort = kPort) const
    {
        const std::string strFile = m_d.dir() + "/post.body";
        writeFile(strFile, strBody);
        return curlRun({"-b", m_strCookie, "-H", "Content-Type: application/json", "--data-binary", "@" + strFile,
                        url(strPath, nPort)});
    }

    /* The states of the status reply, in order; empty when it does not parse. */
    std::vector<std::string> states(std::vector<std::string>* pStatus = nullptr) const
    {
        std::vector<std::string> out;
        CurlReply r = get("/status");
        cJSON* json = cJSON_Parse(r.strBody.c_str());
        cJSON* item = nullptr;
        cJSON_ArrayForEach(item, cJSON_GetObjectItem(json, "channels"))
        {
            out.push_back(textOf(cJSON_GetObjectItem(item, "state")));
            if (pStatus != nullptr)
                pStatus->push_back(textOf(cJSON_GetObjectItem(item, "status")));
        }
        cJSON_Delete(json);
        return out;
    }
    bool waitState(size_t i, const std::string& strState, int nTimeoutMs = 20000) const
    {
        return waitUntil(
            [&] {
                std::vector<std::string> s = states();
                return i < s.size() && s[i] == strState;
            },
            nTimeoutMs);
    }
};

/* The pids of the fake transcoders whose input line held strTag, in start order, from the records
 * in strFakeLog. */
std::vector<pid_t> fakePids(const std::string& strFakeLog, const std::string& strTag)
{
    std::vector<pid_t> pids;
    for (const FakeRecord& r : fakeRecords(strFakeLog))
        if (r.kind == "line" && r.rest.find(strTag) != std::string::npos)
            pids.push_back(r.pid);
    return pids;
}

/* A file target of its own for channel n, known in the fakes' records by "/tmp/out<n>-". */
std::string ownTarget(int n)
{
    return "{\"format\": \"file\", \"url\": \"/tmp/out" + std::to_string(n) +
           ".mp4\", \"video\": {\"enable\": true, \"codec\": \"h264\"}}";
}
std::string ownTag(int n)
{
    return "/tmp/out" + std::to_string(n) + "-";
}

/* "enable" of each channel in a saved configuration: 1 true, 0 false, -1 other or missing. */
std::vector<int> enables(const std::string& strConfig)
{
    std::vector<int> out;
    cJSON* json = cJSON_Parse(strConfig.c_str());
    cJSON* item = nullptr;
    cJSON_ArrayForEach(item, cJSON_GetObjectItem(json, "channels"))
    {
        cJSON* e = cJSON_GetObjectItem(item, "enable");
        out.push_back(cJSON_IsTrue(e) ? 1 : cJSON_IsFalse(e) ? 0 : -1);
    }
    cJSON_Delete(json);
    return out;
}

}  // namespace

TEST_F(RoutesDaemon, ChannelActionsAndTheirResultTexts)
{
    const std::string strEmpty = m_d.dir() + "/empty";
    ASSERT_EQ(mkdir(strEmpty.c_str(), 0755), 0);
    const std::string strChannels =
        channel(false, "/media/in.mp4", "run") + ", " +      /* 1: start, preview, stop */
        channel(false, "/media/in.mp4", "nosigint") + ", " + /* 2: stopping, then killed */
        channel(false, strEmpty, "run") + ", " +             /* 3: folder without files */
        channel(false, "/media/in.mp4", "run",               /* 4: file target, no name */
                "{\"format\": \"file\", \"url\": \"\", \"video\": {\"enable\": true, \"codec\": \"h264\"}}") +
        ", " +
        channel(false, "/media/in.mp4", "run", /* 5: audio without a codec */
                "{\"format\": \"file\", \"url\": \"/tmp/o.mp4\", \"video\": {\"enable\": true, \"codec\": "
                "\"h264\"}, \"audio\": {\"enable\": true}}") +
        ", " +
        channel(false, "/media/in.mp4", "run", /* 6: time-shifted */
                "{\"format\": \"file\", \"url\": \"/tmp/o.mp4\", \"video\": {\"enable\": true, \"codec\": "
                "\"h264\"}}",
                ", \"timeShift\": 1");
    startDaemon(config(strChannels));

    /* Without the cookie every route gives the login page and nothing happens. */
    for (const char* szPath : {"/status", "/runtime", "/channel1?start"}) {
        CurlReply r = get(szPath, false);
        EXPECT_EQ(r.nStatus, 200) << szPath;
        EXPECT_NE(r.strBody.find("Login Authentication"), std::string::npos) << szPath;
    }
    EXPECT_EQ(states(), std::vector<std::string>(6, "idle"));

    CurlReply r = get("/channel1?start");
    EXPECT_EQ(r.nStatus, 200);
    EXPECT_EQ(r.strBody, "");
    EXPECT_TRUE(waitState(0, "running"));
    EXPECT_EQ(get("/channel1?preview").nStatus, 200); /* running: nothing happens */
    EXPECT_EQ(get("/channel1?start").nStatus, 200);   /* not idle: nothing started */
    EXPECT_EQ(states()[0], "running");
    EXPECT_EQ(get("/channel1?stop").nStatus, 200);
    EXPECT_TRUE(waitState(0, "idle"));
    EXPECT_EQ(get("/channel1?PREVIEW").nStatus, 200);
    EXPECT_TRUE(waitState(0, "preview"));
    std::vector<std::string> status;
    states(&status);
    EXPECT_EQ(status[0], "PREVIEW");
    EXPECT_EQ(get("/channel1?stop").nStatus, 200);
    EXPECT_TRUE(waitState(0, "idle"));

    /* A transcoder that ignores the graceful stop stays stopping until the second stop kills it. */
    EXPECT_EQ(get("/channel2?start").nStatus, 200);
    EXPECT_TRUE(waitState(1, "running"));
    /* Its trap is set once it has recorded its line. */
    EXPECT_TRUE(waitUntil([&] { return fakePids(fakeLog(), "fake:nosigint").size() == 1; }, 20000));
    EXPECT_EQ(get("/channel2?stop").nStatus, 200);
    EXPECT_TRUE(waitState(1, "stopping"));
    status.clear();
    states(&status);
    EXPECT_EQ(status[1], "STOPPING");
    usleep(300 * 1000);
    EXPECT_EQ(states()[1], "stopping");
    EXPECT_EQ(get("/channel2?stop").nStatus, 200);
    EXPECT_TRUE(waitState(1, "idle"));

    const struct {
        const char* szPath;
        int nStatus;
        const char* szBody;
    } failures[] = {
        {"/channel3?start", 400, "source url not valid"},
        {"/channel4?start", 400, "target url not valid"},
        {"/channel5?start", 400, "target codec not valid"},
        {"/channel6?start", 200, ""},
        {"/channel6?start", 200, ""}, /* running in its own slot: nothing started */
        {"/channel7?start", 404, ""},
        {"/channel0?start", 404, ""},
    };
    for (const auto& f : failures) {
        SCOPED_TRACE(f.szPath);
        CurlReply rf = get(f.szPath);
        EXPECT_EQ(rf.nStatus, f.nStatus);
        EXPECT_EQ(rf.strBody, f.szBody);
    }

    /* "enable" lives in the tree until the next save: here the one at exit. */
    EXPECT_EQ(enables(readFile(kConfigFile)), std::vector<int>(6, 0));
    EXPECT_EQ(enables(stopDaemon()), (std::vector<int>{0, 0, 1, 1, 1, 1}));
}

TEST_F(RoutesDaemon, StatusOf64RunningChannelsParses)
{
    /* Folder channels play files whose names need escaping (and one that is no UTF-8). The engine
     * refuses names with a quotation mark or a line break, so those are left to the unit tests. */
    const std::vector<std::string> names = {"clip \\07\\ \x01\x1f x.mp4", "tab\there.mp4", "caf\xe9.mp4"};
    std::string strChannels;
    for (int i = 0; i < 64; i++) {
        std::string strUrl = "/media/in" + std::to_string(i) + ".mp4";
        if (i < (int)names.size()) {
            strUrl = m_d.dir() + "/folder" + std::to_string(i);
            ASSERT_EQ(mkdir(strUrl.c_str(), 0755), 0);
            ASSERT_TRUE(writeFile(strUrl + "/" + names[i], "x"));
        }
        const bool bEnable = i % 4 != 1;
        strChannels += (i ? ", " : "") + channel(bEnable, strUrl, i % 4 == 3 ? "nosigint" : "run");
    }
    startDaemon(config(strChannels));
    ASSERT_TRUE(waitUntil(
        [&] {
            std::vector<std::string> s = states();
            int n = 0;
            for (const auto& x : s)
                n += x == "running";
            return n == 48;
        },
        60000))
        << get("/status").strBody << m_d.output();
    /* Channel 2 previews, the nosigint ones are stopped into "stopping" (once their traps are set,
     * that is once they have recorded their lines). */
    ASSERT_TRUE(waitUntil([&] { return fakePids(fakeLog(), "fake:nosigint").size() == 16; }, 60000));
    EXPECT_EQ(get("/channel2?preview").nStatus, 200);
    for (int i = 3; i < 64; i += 4)
        EXPECT_EQ(get("/channel" + std::to_string(i + 1) + "?stop").nStatus, 200);
    EXPECT_TRUE(waitState(1, "preview"));
    EXPECT_TRUE(waitState(63, "stopping"));

    CurlReply r = get("/status");
    ASSERT_EQ(r.nStatus, 200);
    EXPECT_NE(curlStrictJson(m_d.dir(), r.strBody), 0) << r.strBody;
    std::vector<std::string> status;
    std::vector<std::string> s = states(&status);
    ASSERT_EQ(s.size(), 64u);
    for (int i = 0; i < 64; i++) {
        SCOPED_TRACE(i);
        const char* const expect[4] = {"running", "idle", "running", "stopping"};
        EXPECT_EQ(s[i], i == 1 ? "preview" : expect[i % 4]);
    }
    EXPECT_EQ(status[0], names[0]);
    EXPECT_EQ(status[2], "caf\xef\xbf\xbd.mp4");
    EXPECT_EQ(status[5], "IDLE");
    EXPECT_EQ(status[7], "STOPPING");
    cJSON* json = cJSON_Parse(r.strBody.c_str());
    EXPECT_GE(cJSON_GetArraySize(cJSON_GetObjectItem(json, "cpu")), 1);
    cJSON_Delete(json);
    stopDaemon();
}

TEST_F(RoutesDaemon, ConfigurationPostsImportsAndTheSavedFile)
{
    startDaemon(config(channel(false, "/media/in.mp4", "run")));

    /* A plain post: the stored configuration (invalid channel dropped, defaults kept), saved, and
     * a cookie for the new password that the gate accepts. */
    const std::string strNew = config(channel(false, "/media/a.mp4", "run") + ", " + channel(true, "", "run"), kPort,
                                      "n\xc3\xa9w pw");
    CurlReply r = post("/config", strNew);
    ASSERT_EQ(r.nStatus, 200);
    EXPECT_EQ(r.header("content-type"), "application/json");
    EXPECT_EQ(r.strBody, readFile(kConfigFile));
    EXPECT_EQ(enables(r.strBody).size(), 1u);
    const std::string strSetCookie = r.header("set-cookie");
    ASSERT_EQ(strSetCookie.compare(0, 5, "auth="), 0) << strSetCookie;
    EXPECT_NE(strSetCookie.find("SameSite=Strict"), std::string::npos);
    EXPECT_NE(get("/status").strBody.find("Login Authentication"), std::string::npos);
    m_strCookie = strSetCookie.substr(0, strSetCookie.find(';'));
    EXPECT_EQ(get("/status").strBody.compare(0, 17, "{\n  \"channels\": ["), 0);

    /* A multipart upload of the same kind, and a multipart import. */
    const std::string strUpload = m_d.dir() + "/upload.json";
    writeFile(strUpload, config(channel(false, "/media/b.mp4", "run"), kPort, "n\xc3\xa9w pw"));
    r = curlRun({"-b", m_strCookie, "-F", "file=@" + strUpload + ";type=application/json", url("/config")});
    EXPECT_EQ(r.nStatus, 200);
    EXPECT_NE(readFile(kConfigFile).find("/media/b.mp4"), std::string::npos);
    writeFile(strUpload, config(channel(false, "/media/c.mp4", "run"), kPort, "other"));
    r = curlRun({"-b", m_strCookie, "-F", "file=@" + strUpload, url("/config?import")});
    EXPECT_EQ(r.nStatus, 301);
    EXPECT_EQ(r.header("location"), "/");
    EXPECT_EQ(r.strBody, "");
    EXPECT_EQ(r.header("set-cookie"), "auth=other; SameSite=Strict; HttpOnly");
    EXPECT_NE(readFile(kConfigFile).find("/media/c.mp4"), std::string::npos);
    /* The import changed the password and set its cookie: the old one no longer passes. */
    EXPECT_NE(get("/status").strBody.find("Login Authentication"), std::string::npos);
    m_strCookie = "auth=other";

    /* Bodies that are no configuration (not JSON, not an object) are 400, an oversized one 413;
     * each leaves the file byte for byte and the running configuration as it was. */
    const std::string strBefore = readFile(kConfigFile);
    std::string strHuge = config(channel(false, "/media/d.mp4", "run"), kPort, "other");
    strHuge.insert(strHuge.size() - 1, ", \"pad\": \"" + std::string(2 * 1024 * 1024, 'x') + "\"");
    std::string strJustOver = config(channel(false, "/media/d.mp4", "run"), kPort, "other");
    strJustOver.insert(strJustOver.size() - 1,
                       ", \"pad\": \"" + std::string(1024 * 1024 - strJustOver.size() - 10, 'x') + "\"");
    const struct {
        std::string strBody;
        int nStatus;
        const char* szReason;
    } bodies[] = {
        {"{\"global\": {", 400, "not valid JSON"},
        {"garbage", 400, "not valid JSON"},
        {"[]", 400, "the document is not a JSON object"},
        {"null", 400, "the document is not a JSON object"},
        {"\"a string\"", 400, "the document is not a JSON object"},
        {"42", 400, "the document is not a JSON object"},
        {"[" + config(channel(false, "/media/e.mp4", "run")) + "]", 400, "the document is not a JSON object"},
        {strHuge, 413, "request body too large\n"},
        {strJustOver, 413, "request body too large\n"},
    };
    for (const auto& b : bodies) {
        SCOPED_TRACE(b.strBody.substr(0, 40));
        r = post("/config", b.strBody);
        EXPECT_EQ(r.nStatus, b.nStatus);
        EXPECT_EQ(r.strBody, b.szReason);
        EXPECT_EQ(readFile(kConfigFile), strBefore);
        EXPECT_EQ(get("/status").nStatus, 200); /* the cookie for "other" still passes */
    }
    EXPECT_NE(get("/status").strBody.find("\"idle\""), std::string::npos);
    stopDaemon();
}

/* A posted configuration that drops channels stops their transcoders; their routes answer 404,
 * and channels added again in their place start, with no busy slot in the way. */
TEST_F(RoutesDaemon, PostThatRemovesRunningChannelsStopsThem)
{
    std::string strThree, strOne = channel(true, "/media/in.mp4", "run", ownTarget(0));
    for (int n = 0; n < 3; n++)
        strThree += (n ? ", " : "") + channel(true, "/media/in.mp4", "run", ownTarget(n));
    startDaemon(config(strThree));
    for (size_t i = 0; i < 3; i++)
        ASSERT_TRUE(waitState(i, "running")) << i << get("/status").strBody;
    ASSERT_TRUE(waitUntil([&] { return fakePids(fakeLog(), ownTag(2)).size() == 1; }, 20000));
    const pid_t pidKept = fakePids(fakeLog(), ownTag(0)).at(0);
    const std::vector<pid_t> removed = {fakePids(fakeLog(), ownTag(1)).at(0), fakePids(fakeLog(), ownTag(2)).at(0)};

    ASSERT_EQ(post("/config", config(strOne)).nStatus, 200);
    for (pid_t pid : removed)
        EXPECT_TRUE(waitUntil([&] { return !processAlive(pid); }, 20000)) << "transcoder " << pid << " runs on";
    EXPECT_EQ(states(), std::vector<std::string>{"running"});
    EXPECT_EQ(get("/channel2?stop").nStatus, 404);
    EXPECT_TRUE(processAlive(pidKept));

    /* A post starts nothing (and "autoRestart" is 0): the new channels are started from the web. */
    ASSERT_EQ(post("/config", config(strThree)).nStatus, 200);
    for (int n = 1; n < 3; n++) {
        CurlReply r = get("/channel" + std::to_string(n + 1) + "?start");
        EXPECT_EQ(r.nStatus, 200) << n << ": " << r.strBody;
        EXPECT_TRUE(waitUntil([&] { return fakePids(fakeLog(), ownTag(n)).size() == 2; }, 20000)) << n;
    }
    EXPECT_TRUE(waitState(2, "running"));
    EXPECT_EQ(fakePids(fakeLog(), ownTag(0)), std::vector<pid_t>{pidKept});
    stopDaemon();
}

/* A "timeShift" that reads as a number changes nothing about where a channel runs: it shows
 * running, a stop stops it, and channel 17, whose slot is N + 16, runs on undisturbed. */
TEST_F(RoutesDaemon, TimeShiftedChannelRunsInItsOwnSlot)
{
    std::string strChannels = channel(true, "/media/in.mp4", "run", ownTarget(0), ", \"timeShift\": 30");
    for (int n = 1; n < 17; n++)
        strChannels += ", " + channel(n == 16, "/media/in.mp4", "run", ownTarget(n));
    startDaemon(config(strChannels));
    ASSERT_TRUE(waitState(0, "running")) << get("/status").strBody;
    ASSERT_TRUE(waitState(16, "running")) << get("/status").strBody;
    ASSERT_TRUE(waitUntil([&] { return fakePids(fakeLog(), ownTag(16)).size() == 1; }, 20000));
    const pid_t pidOther = fakePids(fakeLog(), ownTag(16)).at(0);
    const pid_t pidShifted = fakePids(fakeLog(), ownTag(0)).at(0);

    EXPECT_EQ(get("/channel1?stop").nStatus, 200);
    EXPECT_TRUE(waitState(0, "idle"));
    EXPECT_TRUE(waitUntil([&] { return !processAlive(pidShifted); }, 20000));
    EXPECT_EQ(states()[16], "running");
    EXPECT_TRUE(processAlive(pidOther));
    EXPECT_EQ(fakePids(fakeLog(), ownTag(16)), std::vector<pid_t>{pidOther});
    EXPECT_EQ(fakePids(fakeLog(), ownTag(0)), std::vector<pid_t>{pidShifted});
    stopDaemon();
}

TEST_F(RoutesDaemon, PortChangeMovesTheServerAboutASecondLater)
{
    startDaemon(config(channel(false, "/media/in.mp4", "run")));
    const int nNewPort = 8899;
    const long long tPost = nowMs();
    CurlReply r = post("/config", config(channel(false, "/media/in.mp4", "run"), nNewPort));
    ASSERT_EQ(r.nStatus, 200);
    EXPECT_NE(r.strBody.find(std::to_string(nNewPort)), std::string::npos);
    /* Answered on the old port; the move follows the one-second timer. */
    if (nowMs() - tPost < 500) {
        EXPECT_FALSE(canConnect(nNewPort));
    }
    ASSERT_TRUE(waitUntil([&] { return canConnect(nNewPort); }, 20000)) << m_d.output();
    const long long tMoved = nowMs() - tPost;
    EXPECT_GE(tMoved, 700);
    EXPECT_FALSE(canConnect(kPort));
    CurlReply s = curlRun({"-b", m_strCookie, url("/status", nNewPort)});
    EXPECT_EQ(s.nStatus, 200);

    /* A post that leaves the server's settings alone moves nothing. */
    r = post("/config", config(channel(true, "/media/x.mp4", "run"), nNewPort), nNewPort);
    EXPECT_EQ(r.nStatus, 200);
    usleep(1500 * 1000);
    EXPECT_TRUE(canConnect(nNewPort));
    stopDaemon();
}

TEST_F(RoutesDaemon, LogoBesideTheProgramAndTheConfigurationDownload)
{
    startDaemon(config(channel(false, "/media/in.mp4", "run")));
    const std::string strLogo = m_d.binDir() + "/ruxooem.png";

    /* No logo, an empty one, one byte too large, a folder and a named pipe: 404, at once. */
    CurlReply r = get("/ruxooem.png");
    EXPECT_EQ(r.nStatus, 404);
    EXPECT_EQ(r.strBody, "");
    const struct {
        const char* szWhat;
        size_t cb; /* for a file */
    } refused[] = {{"empty", 0}, {"too large", 1000000}, {"folder", 0}, {"fifo", 0}};
    for (const auto& c : refused) {
        SCOPED_TRACE(c.szWhat);
        const std::string strWhat = c.szWhat;
        if (strWhat == "folder")
            ASSERT_EQ(mkdir(strLogo.c_str(), 0755), 0);
        else if (strWhat == "fifo")
            ASSERT_EQ(mkfifo(strLogo.c_str(), 0644), 0);
        else
            ASSERT_TRUE(writeFile(strLogo, std::string(c.cb, 'L')));
        r = get("/ruxooem.png");
        EXPECT_EQ(r.nStatus, 404);
        EXPECT_EQ(r.strBody, "");
        EXPECT_FALSE(r.hasHeader("content-type"));
        ASSERT_EQ(strWhat == "folder" ? rmdir(strLogo.c_str()) : unlink(strLogo.c_str()), 0);
    }

    /* The largest logo is served whole, any case of its name; it is read afresh every time. */
    const std::string strBig = std::string(999999, 'B');
    ASSERT_TRUE(writeFile(strLogo, strBig));
    r = get("/RuxoOEM.png");
    EXPECT_EQ(r.nStatus, 200);
    EXPECT_EQ(r.strBody, strBig);
    EXPECT_EQ(r.header("content-type"), "image/png");
    EXPECT_EQ(r.header("cache-control"), "max-age=86400");
    EXPECT_FALSE(r.hasHeader("content-disposition"));
    ASSERT_TRUE(writeFile(strLogo, "x"));
    r = get("/ruxooem.png?dl=1");
    EXPECT_EQ(r.nStatus, 200);
    EXPECT_EQ(r.strBody, "x");
    EXPECT_EQ(r.header("content-disposition"), "attachment");
    /* The login gate stands in front of it. */
    EXPECT_NE(get("/ruxooem.png", false).strBody.find("Login Authentication"), std::string::npos);

    /* The configuration download is the text the daemon saves, the password included. */
    r = get("/config");
    EXPECT_EQ(r.nStatus, 200);
    EXPECT_EQ(r.header("content-type"), "application/json");
    EXPECT_FALSE(r.hasHeader("content-disposition"));
    EXPECT_NE(r.strBody.find("\"loginPass\":\t\"pw\""), std::string::npos) << r.strBody;
    CurlReply d = get("/config?dl=1");
    EXPECT_EQ(d.header("content-disposition"), "attachment; filename=ruxod.json");
    EXPECT_EQ(d.strBody, r.strBody);
    EXPECT_EQ(get("/status").nStatus, 200);
    EXPECT_EQ(stopDaemon(), r.strBody);
}
