/* fake_core.h -- a stand-in for the engine core in the command-line unit tests (and the channel-start
 * fuzz target): it records every log entry and the line handed to the process start, and starts
 * nothing. Its slot getters and stop work on the fake slots. */
#ifndef RUXO_TEST_FAKE_CORE_H
#define RUXO_TEST_FAKE_CORE_H

#include <string>
#include <vector>

#include "ruxo.h"
#include "ruxo_internal.h"

struct FakeStart {
    int iChannel;
    std::string line;
    int bPreview;
};

extern std::vector<std::string> g_fakeLog;  /* every text logged (only while logging is on) */
extern std::vector<FakeStart> g_fakeStarts; /* every hand-over to the process start */
extern bool g_fakeLogFails;                 /* the channel log cannot be opened */
extern int g_fakeStartResult;               /* what the process start returns */

/* Initialised engine with `slots` idle slots, log level `logLevel`, the given data folder. */
void fakeEngineReset(int slots, int logLevel, const char* dataPath);

#endif
