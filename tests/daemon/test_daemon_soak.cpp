/* test_daemon_soak.cpp -- the restart storm: the real daemon in its namespace with 64 channels whose
 * fake transcoder ends by itself after 0.1 to 2 seconds, "autoRestart" 1, a configuration posted
 * every three seconds and "/status" polled without pause, for RUXO_SOAK_SECONDS (60 by default;
 * bench/restart_storm.sh runs it for 30 minutes). Afterwards: no child was left unreaped; lines
 * fitted to the daemon's own descriptors and its resident anonymous memory against the starts made
 * after the warm-up rise by less than one descriptor per 10,000 starts and 16 bytes per start (and
 * 64 KiB for the allocator to settle in); the slowest "/status" reply took under a second (the
 * memory slope and that reply are only printed in a sanitizer build); every channel was restarted
 * again and again, the configuration file holds the last posted configuration, and no transcoder
 * outlives the daemon. The figures are printed as "soak:" lines. */
#include <limits.h>
#include <math.h>

#include <cjson/cJSON.h>

#include "daemon_load.h"

using namespace ruxotest;

namespace {

const int kChannels = 64;

struct Sample {
    long long tmMs;
    long nStarts; /* starts made so far */
    int nFds;     /* the daemon's own descriptors (ownDescriptors) */
    long nRssKb;  /* its resident anonymous memory without thread stacks */
};

/* Bounds on the growth per start, over the samples after the warm-up. The memory bound leaves the
 * allocator a one-time 64 KiB to settle in (the heap grows a page at a time as the posted trees and
 * the children's records find their places; a 30-minute run of 46,000 starts stays within a few
 * pages of that): a minute of about 1,100 starts then fails a leak of 75 bytes per start, a
 * 30-minute run one of 18. */
const double kMaxBytesPerStart = 16;
const double kSettleBytes = 64 * 1024;
const double kMaxFdsPerStart = 1.0 / 10000;

}  // namespace

class RestartStorm : public LoadDaemon {};

TEST_F(RestartStorm, SixtyFourChannelsRestartingWhileConfigurationsArePosted)
{
    const int nSeconds = envSeconds("RUXO_SOAK_SECONDS", 60);
    /* The level after the warm-up is what the daemon holds once every channel has been through
     * its first restarts and the allocator has settled: the first sixth of the run, at least 10 s,
     * and at least ten starts per channel however slowly a loaded machine makes them. */
    const long long nWarmMs = std::max(10000LL, nSeconds * 1000LL / 6);
    const long nWarmStarts = 10L * kChannels;
    ASSERT_NO_FATAL_FAILURE(startDaemon(config(kChannels, "random", "a")));
    const pid_t pid = m_d.pid();

    StatusProbe probe(kLoadPort);
    probe.start();
    const long long tmStart = nowMs(), tmEnd = tmStart + nSeconds * 1000LL;
    std::vector<Sample> samples;
    int nPosts = 0, nPostFailures = 0, nLingering = 0;
    std::string strLastPosted, strPostError;
    long long tmNextPost = tmStart + 3000, tmNextSample = tmStart;
    std::set<pid_t> zombiesBefore;
    StartCounter startCounter(fakeLog());
    /* The daemon's own descriptors, the lowest read since the last sample (one read a pass):
     * a child's pipe or pidfd that the daemon has not yet handled is gone by one of them. */
    int nFdsLowest = -1;
    while (nowMs() < tmEnd && m_d.alive()) {
        if (nowMs() >= tmNextPost) {
            strLastPosted = config(kChannels, "random", nPosts % 2 ? "a" : "b");
            CurlReply r = postConfig(strLastPosted);
            nPosts++;
            if (r.nStatus != 200) {
                nPostFailures++;
                strPostError = std::to_string(r.nStatus) + " " + r.strBody;
            }
            tmNextPost += 3000;
        }
        if (nowMs() >= tmNextSample) {
            /* A child that was a zombie at the last sample too (two seconds ago) was not reaped
             * in a hundred passes. */
            std::set<pid_t> zombies = zombieChildren(pid);
            for (pid_t z : zombies)
                nLingering += zombiesBefore.count(z) ? 1 : 0;
            zombiesBefore = zombies;
            const long long tmSample = nowMs() - tmStart;
            const int nFds = std::min(nFdsLowest < 0 ? INT_MAX : nFdsLowest, lowestOwnDescriptors(pid, 3));
            samples.push_back({tmSample, startCounter.count(), nFds, anonymousKbWithoutStacks(pid)});
            nFdsLowest = -1;
            tmNextSample += 2000;
        }
        const int nFds = ownDescriptors(pid);
        if (nFds >= 0)
            nFdsLowest = nFdsLowest < 0 ? nFds : std::min(nFdsLowest, nFds);
        usleep(100000);
    }
    probe.stop();
    ASSERT_TRUE(m_d.alive()) << m_d.output();

    /* Descriptors and memory: a least-squares line through the samples after the warm-up, over the
     * starts made. A pipe leaked per start, or 100 bytes, shows as a slope far above the bounds
     * even in a short run; the level itself moves with what is running at a sample (the counted
     * descriptors leave out the pipes of running children for that reason). */
    std::vector<std::pair<double, double>> fdPoints, rssPoints;
    int nFdsWarm = -1, nFdsEnd = -1;
    long nRssWarm = -1, nRssEnd = -1, nStartsWarm = 0, nStartsEnd = 0;
    for (const Sample& s : samples) {
        if (s.tmMs < nWarmMs || s.nStarts < nWarmStarts || s.nFds < 0 || s.nRssKb < 0)
            continue;
        if (nFdsWarm < 0) {
            nFdsWarm = s.nFds;
            nRssWarm = s.nRssKb;
            nStartsWarm = s.nStarts;
        }
        nFdsEnd = s.nFds;
        nRssEnd = s.nRssKb;
        nStartsEnd = s.nStarts;
        fdPoints.push_back({(double)s.nStarts, (double)s.nFds});
        rssPoints.push_back({(double)s.nStarts, s.nRssKb * 1024.0});
    }
    if (getenv("RUXO_SOAK_SAMPLES")) {
        for (const Sample& s : samples)
            printf("soak-sample: %lld ms, %ld starts, %d descriptors, %ld KiB\n", s.tmMs, s.nStarts, s.nFds, s.nRssKb);
    }
    const double dFdsPerStart = fittedSlope(fdPoints);
    const double dBytesPerStart = fittedSlope(rssPoints);
    const double dMaxBytesPerStart = kMaxBytesPerStart + kSettleBytes / (double)std::max(1L, nStartsEnd - nStartsWarm);
    std::vector<int> starts = startsPerChannel(kChannels);
    const int nFewest = *std::min_element(starts.begin(), starts.end());
    const int nMost = *std::max_element(starts.begin(), starts.end());
    long nTotal = 0;
    for (int n : starts)
        nTotal += n;
    printf("soak: %d s, %d channels, %ld starts (per channel %d to %d), %d posts (%d failed)\n", nSeconds, kChannels,
           nTotal, nFewest, nMost, nPosts, nPostFailures);
    printf(
        "soak: descriptors %d after the warm-up, %d at the end, slope %.6f per start (bound %.6f); anonymous "
        "memory %ld KiB after the warm-up, %ld KiB at the end, slope %.2f bytes per start (bound %.1f: "
        "%.0f and 64 KiB to settle in); %zu samples over %ld starts after the warm-up; %d lingering zombies\n",
        nFdsWarm, nFdsEnd, dFdsPerStart, kMaxFdsPerStart, nRssWarm, nRssEnd, dBytesPerStart, dMaxBytesPerStart,
        kMaxBytesPerStart, fdPoints.size(), nStartsEnd - nStartsWarm, nLingering);
    const long long nSlowestMs = probe.percentile(1.0);
    printf("soak: status %s%s\n", probe.summary().c_str(),
           sanitizedBuild() ? " (sanitizer build: the memory slope and the slowest reply are not bounded)" : "");
    fflush(stdout);

    EXPECT_EQ(0, nLingering) << "children left unreaped";
    EXPECT_GT(nFdsWarm, 0);
    ASSERT_GE(fdPoints.size(), 3u) << "too few samples after the warm-up";
    EXPECT_GT(nStartsEnd - nStartsWarm, 0) << "no starts after the warm-up";
    EXPECT_LT(dFdsPerStart, kMaxFdsPerStart) << "descriptors grew with the starts";
    EXPECT_EQ(0, nPostFailures) << strPostError;
    EXPECT_EQ(0, probe.failures());
    /* A sanitizer's run time keeps memory of its own for every thread and address the daemon ever
     * used, and slows every reply: there both figures are printed only. */
    if (!sanitizedBuild()) {
        EXPECT_LT(dBytesPerStart, dMaxBytesPerStart) << "anonymous memory grew with the starts";
        EXPECT_LT(nSlowestMs, 1000) << "a \"/status\" reply waited a second or longer";
    }
    /* A cycle is at most 2 s of running, the 1 s delay and a pass: every channel restarts at least
     * once every few seconds however loaded the machine is. */
    EXPECT_GE(nFewest, nSeconds / 8) << "a channel was not restarted as configured";

    ASSERT_NO_FATAL_FAILURE(stopDaemon());
    /* The file holds the last posted configuration, whole. */
    cJSON* saved = cJSON_Parse(readFile("/etc/ruxod/ruxod.json").c_str());
    cJSON* posted = cJSON_Parse(strLastPosted.c_str());
    ASSERT_NE(nullptr, saved) << readFile("/etc/ruxod/ruxod.json");
    ASSERT_NE(nullptr, posted);
    cJSON* savedChannels = cJSON_GetObjectItem(saved, "channels");
    ASSERT_EQ(kChannels, cJSON_GetArraySize(savedChannels));
    for (int n = 0; n < kChannels; n++) {
        EXPECT_STREQ(cJSON_GetStringValue(
                         cJSON_GetObjectItem(cJSON_GetArrayItem(cJSON_GetObjectItem(posted, "channels"), n), "name")),
                     cJSON_GetStringValue(cJSON_GetObjectItem(cJSON_GetArrayItem(savedChannels, n), "name")));
    }
    cJSON_Delete(saved);
    cJSON_Delete(posted);
}
