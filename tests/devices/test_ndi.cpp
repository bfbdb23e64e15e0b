/* test_ndi.cpp -- NDI discovery against the complete fake library beside the test program: the
 * search call by call, its failures, the bounds on the wait, the count and the texts. */
#include <limits.h>
#include <string.h>

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "devices_test_util.h"
#include "ruxo_ndi.h"

using namespace ruxotest;

namespace {

const char* const kLibrary = "libndi.so.5";

std::string calls()
{
    return fakeCalls(kLibrary, "ruxoFakeNDICalls");
}

int liveObjects()
{
    return fakeLive(kLibrary, "ruxoFakeNDILive");
}

/* Runs one search with the fake scripted by strScript; the record comes back in *pNDI. */
int search(const std::string& strScript, int nWaitSecs, std::unique_ptr<RUXO_NDI>* pNDI)
{
    setenv("RUXO_FAKE_NDI", strScript.c_str(), 1);
    pNDI->reset(new RUXO_NDI());
    calls(); /* clear */
    return ruxoEnumNDI(pNDI->get(), nWaitSecs);
}

}  // namespace

TEST(NDIEnum, SearchesCallByCallAndCopiesTheSources)
{
    std::unique_ptr<RUXO_NDI> pNDI;
    /* The list changes during the first wait only, so the second wait ends the search. */
    ASSERT_EQ(search("step=0\nHOST (Cam A)\t10.0.0.1:5961\nHOST (Cam \"B\" \\ 2)\t10.0.0.2:5962", 1, &pNDI), 0);
    EXPECT_EQ(calls(),
              "v5_load\n"
              "initialize\n"
              "find_create_v2 local=1 groups=null extra=null\n"
              "wait 1000\n"
              "wait 1000\n"
              "get_current_sources\n"
              "find_destroy\n"
              "destroy\n");
    ASSERT_EQ(pNDI->nSources, 2u);
    EXPECT_STREQ(pNDI->tszSourceName[0], "HOST (Cam A)");
    EXPECT_STREQ(pNDI->tszSourceAddr[0], "10.0.0.1:5961");
    EXPECT_STREQ(pNDI->tszSourceName[1], "HOST (Cam \"B\" \\ 2)");
    EXPECT_STREQ(pNDI->tszSourceAddr[1], "10.0.0.2:5962");
    EXPECT_EQ(liveObjects(), 0);

    /* No source: one full wait that brings no change. */
    ASSERT_EQ(search("step=0", 3, &pNDI), 0);
    EXPECT_EQ(countOf(calls(), "wait 3000\n"), 1u);
    EXPECT_EQ(pNDI->nSources, 0u);
}

TEST(NDIEnum, FailuresAnswerMinusOneAndReleaseWhatWasTaken)
{
    struct {
        const char* szScript;
        const char* szCalls;
    } cases[] = {
        {"notable", "v5_load\n"},
        {"noinit", "v5_load\ninitialize\n"},
        {"nofinder", "v5_load\ninitialize\nfind_create_v2 local=1 groups=null extra=null\ndestroy\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.szScript);
        std::unique_ptr<RUXO_NDI> pNDI;
        EXPECT_EQ(search(c.szScript, 0, &pNDI), -1);
        EXPECT_EQ(calls(), c.szCalls);
        EXPECT_EQ(pNDI->nSources, 0u);
        EXPECT_EQ(liveObjects(), 0);
    }
    /* A failed search leaves nothing behind: the next one works. */
    std::unique_ptr<RUXO_NDI> pNDI;
    EXPECT_EQ(search("step=0\nA\ta", 0, &pNDI), 0);
    EXPECT_EQ(pNDI->nSources, 1u);
}

TEST(NDIEnum, TheWaitIsHeldToZeroToSixtySeconds)
{
    struct {
        int nWaitSecs;
        const char* szWait;
    } cases[] = {
        {0, "wait 0\n"},  {2, "wait 2000\n"},        {60, "wait 60000\n"},  {61, "wait 60000\n"},
        {-5, "wait 0\n"}, {INT_MAX, "wait 60000\n"}, {INT_MIN, "wait 0\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.nWaitSecs);
        std::unique_ptr<RUXO_NDI> pNDI;
        ASSERT_EQ(search("step=0", c.nWaitSecs, &pNDI), 0);
        const std::string strCalls = calls();
        EXPECT_EQ(countOf(strCalls, "wait "), 1u) << strCalls;
        EXPECT_NE(strCalls.find(c.szWait), std::string::npos) << strCalls;
    }
}

namespace {

/* The stop of a search as its caller sets it: here after a set number of looks. */
std::atomic<int> s_nLooksLeft(0);
int stopAfterLooks()
{
    return s_nLooksLeft.fetch_sub(1) <= 0 ? 1 : 0;
}
int neverStop()
{
    return 0;
}

int stoppableSearch(const std::string& strScript, int nWaitSecs, RUXO_NDI_STOPPED pfnStopped,
                    std::unique_ptr<RUXO_NDI>* pNDI)
{
    setenv("RUXO_FAKE_NDI", strScript.c_str(), 1);
    pNDI->reset(new RUXO_NDI());
    calls(); /* clear */
    return ruxoEnumNDIUntilStopped(pNDI->get(), nWaitSecs, pfnStopped);
}

}  // namespace

/* With a stop to look at, a step is waited in pieces of at most 100 ms, the stop looked at before
 * each: a step without change still lasts its full time, and a change still begins a new step. */
TEST(NDIEnum, AStoppableSearchWaitsItsStepsInTenthsOfASecond)
{
    struct {
        const char* szWhat;
        const char* szScript;
        int nWaitSecs;
        const char* szWaits; /* every wait, in order */
    } cases[] = {
        {"no source: one step of ten pieces", "step=0", 1,
         "wait 100\nwait 100\nwait 100\nwait 100\nwait 100\nwait 100\nwait 100\nwait 100\nwait 100\nwait 100\n"},
        {"a change in the first piece begins a new step", "step=0\nA\ta", 1,
         "wait 100\nwait 100\nwait 100\nwait 100\nwait 100\nwait 100\nwait 100\nwait 100\nwait 100\nwait 100\n"
         "wait 100\n"},
        {"a step shorter than a piece is one wait", "step=0", 0, "wait 0\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.szWhat);
        std::unique_ptr<RUXO_NDI> pNDI;
        ASSERT_EQ(stoppableSearch(c.szScript, c.nWaitSecs, neverStop, &pNDI), 0);
        std::string strWaits;
        std::istringstream in(calls());
        for (std::string strLine; std::getline(in, strLine);)
            if (strLine.compare(0, 5, "wait ") == 0)
                strWaits += strLine + "\n";
        EXPECT_EQ(strWaits, c.szWaits);
        EXPECT_EQ(liveObjects(), 0);
    }
    /* Without a stop it is the plain search: one wait per step. */
    std::unique_ptr<RUXO_NDI> pNDI;
    ASSERT_EQ(stoppableSearch("step=0", 1, nullptr, &pNDI), 0);
    EXPECT_EQ(countOf(calls(), "wait 1000\n"), 1u);
}

/* A search whose sources never settle ends as soon as its stop is set, and lists what it has:
 * the library is released as after any search. A stop set before the search waits not at all. */
TEST(NDIEnum, AStoppedSearchEndsAtOnceWithWhatItFound)
{
    std::unique_ptr<RUXO_NDI> pNDI;
    s_nLooksLeft = 3;
    const long long tmStart = nowMs();
    ASSERT_EQ(stoppableSearch("changing step=50\nHOST (Restless)\t10.0.0.9:5961", 5, stopAfterLooks, &pNDI), 0);
    const long long msTaken = nowMs() - tmStart;
    std::string strCalls = calls();
    EXPECT_EQ(countOf(strCalls, "wait 100\n"), 3u) << strCalls;
    EXPECT_NE(strCalls.find("get_current_sources\nfind_destroy\ndestroy\n"), std::string::npos) << strCalls;
    ASSERT_EQ(pNDI->nSources, 1u);
    EXPECT_STREQ(pNDI->tszSourceName[0], "HOST (Restless)");
    EXPECT_LT(msTaken, 5000); /* far below the step of 5 s, let alone the minute */
    EXPECT_EQ(liveObjects(), 0);

    s_nLooksLeft = 0;
    ASSERT_EQ(stoppableSearch("changing step=50\nHOST (Restless)\t10.0.0.9:5961", 5, stopAfterLooks, &pNDI), 0);
    strCalls = calls();
    EXPECT_EQ(countOf(strCalls, "wait "), 0u) << strCalls;
    EXPECT_EQ(pNDI->nSources, 1u);
    EXPECT_EQ(liveObjects(), 0);
}

TEST(NDIEnum, TheCountAndTheTextsStayWithinTheRecord)
{
    std::string strLong;
    for (int i = 0; i < 750; i++)
        strLong += "\xC3\xA9"; /* 1500 bytes of two-byte characters */
    struct {
        const char* szWhat;
        std::string strScript;
        uint32_t nSources;
        const char* szFirstName; /* null: not checked */
        const char* szFirstAddr;
    } cases[] = {
        {"a count far beyond the record", "step=0 count=4294967295", RUXO_MAX_NDI_SOURCES, "pad-0", "10.0.0.0:5961"},
        {"more sources than the record holds", "step=0 count=25", RUXO_MAX_NDI_SOURCES, nullptr, nullptr},
        {"a count without a list", "step=0 nolist count=3", 0, nullptr, nullptr},
        {"null texts read as empty", "step=0\n(null)\t(null)", 1, "", ""},
        {"a name of exactly 999 bytes", "step=0\n" + std::string(999, 'n') + "\taddr", 1, nullptr, "addr"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.szWhat);
        std::unique_ptr<RUXO_NDI> pNDI;
        ASSERT_EQ(search(c.strScript, 0, &pNDI), 0);
        EXPECT_EQ(pNDI->nSources, c.nSources);
        if (c.szFirstName != nullptr) {
            EXPECT_STREQ(pNDI->tszSourceName[0], c.szFirstName);
        }
        if (c.szFirstAddr != nullptr) {
            EXPECT_STREQ(pNDI->tszSourceAddr[0], c.szFirstAddr);
        }
        EXPECT_EQ(liveObjects(), 0);
    }

    std::unique_ptr<RUXO_NDI> pNDI;
    ASSERT_EQ(search("step=0\n" + std::string(999, 'n') + "\t" + strLong, 0, &pNDI), 0);
    EXPECT_EQ(std::string(pNDI->tszSourceName[0]), std::string(999, 'n'));
    EXPECT_EQ(std::string(pNDI->tszSourceAddr[0]), strLong.substr(0, 998)); /* never half a character */
}
