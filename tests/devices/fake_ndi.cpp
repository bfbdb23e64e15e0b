/* fake_ndi.cpp -- a stand-in "libndi.so.5" for the tests, built from our own declarations: the
 * sources and failures that RUXO_FAKE_NDI scripts (see fake_devices.h), finders and
 * initialisations counted while alive, every call logged. It exports the six functions by name
 * and NDIlib_v5_load, whose table holds them in an order of our own. Built once whole and once
 * (RUXO_FAKE_NO_WAIT) without NDIlib_find_wait_for_sources. */
#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <atomic>
#include <string>
#include <vector>

#include "fake_devices.h"
#include "ruxo_device_api.h"

using ruxofake::split;

namespace {

ruxofake::CallLog s_log;
std::atomic<int> s_nLive(0);

struct Options {
    bool bNoInit = false;
    bool bNoFinder = false;
    bool bNoTable = false;
    bool bChanging = false;
    bool bNoList = false;
    long long nCount = -1; /* the count reported; -1: the list's own */
    long nStepMs = -1;     /* the longest sleep of one wait; -1: the whole wait */
};

struct Finder {
    Options options;
    std::vector<std::string> texts; /* owns the texts the list points at */
    std::vector<bool> nulls;        /* which texts stand for null pointers */
    std::vector<NDIlib_source_t> sources;
    int nWaits = 0;
};

Options readOptions(const std::string& strLine)
{
    Options options;
    for (const std::string& strWord : split(strLine, ' ')) {
        if (strWord == "noinit")
            options.bNoInit = true;
        else if (strWord == "nofinder")
            options.bNoFinder = true;
        else if (strWord == "notable")
            options.bNoTable = true;
        else if (strWord == "changing")
            options.bChanging = true;
        else if (strWord == "nolist")
            options.bNoList = true;
        else if (strWord.compare(0, 6, "count=") == 0)
            options.nCount = strtoll(strWord.c_str() + 6, nullptr, 10);
        else if (strWord.compare(0, 5, "step=") == 0)
            options.nStepMs = strtol(strWord.c_str() + 5, nullptr, 10);
    }
    return options;
}

std::vector<std::string> scriptLines()
{
    const char* sz = getenv("RUXO_FAKE_NDI");
    return split(sz != nullptr ? sz : "", '\n');
}

[[maybe_unused]] void sleepMs(long nMs)
{
    struct timespec ts = {nMs / 1000, (nMs % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

}  // namespace

extern "C" {

bool NDIlib_initialize(void)
{
    s_log.note("initialize");
    if (readOptions(scriptLines()[0]).bNoInit)
        return false;
    s_nLive++;
    return true;
}

void NDIlib_destroy(void)
{
    s_log.note("destroy");
    s_nLive--;
}

NDIlib_find_instance_t NDIlib_find_create_v2(const NDIlib_find_create_t* p_create_settings)
{
    std::string strCall = "find_create_v2";
    if (p_create_settings != nullptr) {
        strCall += std::string(" local=") + (p_create_settings->show_local_sources ? "1" : "0");
        strCall += std::string(" groups=") + (p_create_settings->p_groups ? p_create_settings->p_groups : "null");
        strCall += std::string(" extra=") + (p_create_settings->p_extra_ips ? p_create_settings->p_extra_ips : "null");
    }
    s_log.note(strCall);
    std::vector<std::string> lines = scriptLines();
    Options options = readOptions(lines[0]);
    if (options.bNoFinder)
        return nullptr;

    Finder* pFinder = new Finder();
    pFinder->options = options;
    for (size_t i = 1; i < lines.size(); i++) {
        if (lines[i].empty())
            continue;
        std::vector<std::string> fields = split(lines[i], '\t');
        fields.resize(2);
        for (const std::string& strField : fields) {
            pFinder->texts.push_back(strField);
            pFinder->nulls.push_back(strField == "(null)");
        }
    }
    /* A reported count above the list is padded with generated sources (64 at most). */
    size_t nWanted = pFinder->texts.size() / 2;
    if (options.nCount > (long long)nWanted)
        nWanted = options.nCount < 64 ? (size_t)options.nCount : 64;
    for (size_t k = pFinder->texts.size() / 2; k < nWanted; k++) {
        pFinder->texts.push_back("pad-" + std::to_string(k));
        pFinder->texts.push_back("10.0.0." + std::to_string(k) + ":5961");
        pFinder->nulls.push_back(false);
        pFinder->nulls.push_back(false);
    }
    for (size_t k = 0; k + 1 < pFinder->texts.size(); k += 2) {
        NDIlib_source_t source;
        source.p_ndi_name = pFinder->nulls[k] ? nullptr : pFinder->texts[k].c_str();
        source.p_url_address = pFinder->nulls[k + 1] ? nullptr : pFinder->texts[k + 1].c_str();
        pFinder->sources.push_back(source);
    }
    s_nLive++;
    return pFinder;
}

void NDIlib_find_destroy(NDIlib_find_instance_t p_instance)
{
    s_log.note("find_destroy");
    delete (Finder*)p_instance;
    s_nLive--;
}

#ifndef RUXO_FAKE_NO_WAIT
/* A fixed list changes once, during the first wait; a "changing" one at every wait. */
bool NDIlib_find_wait_for_sources(NDIlib_find_instance_t p_instance, uint32_t timeout_in_ms)
{
    s_log.note("wait " + std::to_string(timeout_in_ms));
    Finder* pFinder = (Finder*)p_instance;
    long nSleep = (long)timeout_in_ms;
    if (pFinder->options.nStepMs >= 0 && pFinder->options.nStepMs < nSleep)
        nSleep = pFinder->options.nStepMs;
    sleepMs(nSleep);
    const bool bChanged = pFinder->options.bChanging || (pFinder->nWaits == 0 && !pFinder->sources.empty());
    pFinder->nWaits++;
    return bChanged;
}
#endif

const NDIlib_source_t* NDIlib_find_get_current_sources(NDIlib_find_instance_t p_instance, uint32_t* p_no_sources)
{
    s_log.note("get_current_sources");
    Finder* pFinder = (Finder*)p_instance;
    *p_no_sources = pFinder->options.nCount >= 0 ? (uint32_t)pFinder->options.nCount
                                                 : (uint32_t)pFinder->sources.size();
    if (pFinder->options.bNoList)
        return nullptr;
    return pFinder->sources.data();
}

/* Our own table layout: the six functions in the order above. */
struct FakeTable {
    void* functions[6];
};

const void* NDIlib_v5_load(void)
{
    static const FakeTable table = {{(void*)NDIlib_initialize, (void*)NDIlib_destroy, (void*)NDIlib_find_create_v2,
                                     (void*)NDIlib_find_destroy,
#ifndef RUXO_FAKE_NO_WAIT
                                     (void*)NDIlib_find_wait_for_sources,
#else
                                     nullptr,
#endif
                                     (void*)NDIlib_find_get_current_sources}};
    s_log.note("v5_load");
    if (readOptions(scriptLines()[0]).bNoTable)
        return nullptr;
    return &table;
}

int ruxoFakeNDILive(void)
{
    return s_nLive;
}

char* ruxoFakeNDICalls(void)
{
    return s_log.take();
}

}  // extern "C"
