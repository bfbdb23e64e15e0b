/* test_daemon_soak.cpp -- the restart storm: the real daemon in its namespace with 64 channels whose
 * fake transcoder ends by itself after 0.1 to 2 seconds, "autoRestart" 1, a configuration posted
 * every three seconds and "/status" polled without pause, for RUXO_SOAK_SECONDS (60 by default;
 * bench/restart_storm.sh runs it for 30 minutes). Afterwards: no child was left unreaped, the
 * daemon's descriptors and resident memory are back at their level after the warm-up, every channel
 * was restarted again and again, the configuration file holds the last posted configuration, and
 * no transcoder outlives the daemon. The figures are printed as "soak:" lines. */
#include <math.h>

#include <cjson/cJSON.h>

#include "daemon_load.h"

using namespace ruxotest;

namespace {

const int kChannels = 64;

struct Sample {
    long long tmMs;
    int nFds;
    long nRssKb;
};

}  // namespace

class RestartStorm : public LoadDaemon {};

TEST_F(RestartStorm, SixtyFourChannelsRestartingWhileConfigurationsArePosted)
{
    const int nSeconds = envSeconds("RUXO_SOAK_SECONDS", 60);
    /* The level after the warm-up is what the daemon holds once every channel has been through
     * its first restarts: the first sixth of the run, at least 10 s. */
    const long long nWarmMs = std::max(10000LL, nSeconds * 1000LL / 6);
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
            samples.push_back({nowMs() - tmStart, descriptorCount(pid), residentKb(pid)});
            tmNextSample += 2000;
        }
        usleep(100000);
    }
    probe.stop();
    ASSERT_TRUE(m_d.alive()) << m_d.output();

    /* Descriptors and memory: the highest level of the last sixth against the highest after the
     * warm-up (a leak of one descriptor per start would add thousands). */
    int nFdsWarm = 0, nFdsEnd = 0;
    long nRssWarm = 0, nRssEnd = 0;
    for (const Sample& s : samples) {
        if (s.tmMs >= nWarmMs && s.tmMs < 2 * nWarmMs) {
            nFdsWarm = std::max(nFdsWarm, s.nFds);
            nRssWarm = std::max(nRssWarm, s.nRssKb);
        }
        if (s.tmMs >= nSeconds * 1000LL - nWarmMs) {
            nFdsEnd = std::max(nFdsEnd, s.nFds);
            nRssEnd = std::max(nRssEnd, s.nRssKb);
        }
    }
    std::vector<int> starts = startsPerChannel(kChannels);
    const int nFewest = *std::min_element(starts.begin(), starts.end());
    const int nMost = *std::max_element(starts.begin(), starts.end());
    long nTotal = 0;
    for (int n : starts)
        nTotal += n;
    printf("soak: %d s, %d channels, %ld starts (per channel %d to %d), %d posts (%d failed)\n", nSeconds, kChannels,
           nTotal, nFewest, nMost, nPosts, nPostFailures);
    printf(
        "soak: descriptors %d after the warm-up, %d at the end; resident memory %ld KiB after the warm-up, "
        "%ld KiB at the end; %d lingering zombies\n",
        nFdsWarm, nFdsEnd, nRssWarm, nRssEnd, nLingering);
    printf("soak: status %s\n", probe.summary().c_str());
    fflush(stdout);

    EXPECT_EQ(0, nLingering) << "children left unreaped";
    EXPECT_GT(nFdsWarm, 0);
    /* Every running channel holds two pipes, so the count moves with the channels running at a
     * sample; one descriptor lost per start would add well over a thousand. */
    EXPECT_LE(nFdsEnd, nFdsWarm + kChannels) << "descriptors grew";
    EXPECT_LE(nRssEnd, nRssWarm + std::max(nRssWarm / 5, 8192L)) << "resident memory grew";
    EXPECT_EQ(0, nPostFailures) << strPostError;
    EXPECT_EQ(0, probe.failures());
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
