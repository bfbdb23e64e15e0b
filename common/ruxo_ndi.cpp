/* ruxo_ndi.cpp -- NDI source discovery through the NDI run-time library, loaded at run time.
 *
 * "libndi.so.5" is opened once per process, on the first search, and never closed; when it cannot
 * be loaded the loader's reason goes to standard error once and every search finds nothing. Each
 * search initialises the library, makes a fresh source finder, waits while the source list keeps
 * changing (60 seconds at most in all, or until the caller's stop says so), copies the list and
 * destroys finder and library again. */
#include "ruxo_ndi.h"

#include <dlfcn.h>
#include <stdio.h>
#include <string.h>
#include <time.h>

#include <mutex>

#include "ruxo_device_api.h"
#include "ruxo_text.h"

#define RUXO_NDI_LIBRARY "libndi.so.5"

/* The six functions a search calls. */
typedef struct NDI_CALLS_TAG {
    NDIlib_initialize_func initialize;
    NDIlib_destroy_func destroy;
    NDIlib_find_create_v2_func find_create_v2;
    NDIlib_find_destroy_func find_destroy;
    NDIlib_find_wait_for_sources_func find_wait_for_sources;
    NDIlib_find_get_current_sources_func find_get_current_sources;
} NDI_CALLS;

static std::once_flag s_ndiOnceControl;
/* Written only inside the once-control, read only after it; null until loaded. */
static NDIlib_v5_load_func s_ndiLoad = nullptr;
#ifndef RUXO_NDI_SDK
static NDI_CALLS s_ndiCalls;
#endif

/* Whether the loader found the symbol; prints the loader's reason when it did not. */
static bool _resolve(void* pLibrary, const char* szSymbol, void** ppSymbol)
{
    dlerror();
    *ppSymbol = dlsym(pLibrary, szSymbol);
    if (*ppSymbol != nullptr)
        return true;
    const char* szError = dlerror();
    fprintf(stderr, "%s\n", szError != nullptr ? szError : szSymbol);
    return false;
}

/* Opens the library and resolves what a search needs. Without the vendor's header the layout of
 * the table that NDIlib_v5_load returns is unknown, so the six functions are taken by their
 * exported names; the table is still asked for, and a library that gives none finds nothing.
 * Any failure is reported once, here, and leaves s_ndiLoad null. */
static void _loadNDI(void)
{
    void* pLibrary = ruxoOpenVendorLibrary(RUXO_NDI_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    if (pLibrary == nullptr) {
        const char* szError = dlerror();
        fprintf(stderr, "%s\n", szError != nullptr ? szError : RUXO_NDI_LIBRARY ": cannot be loaded");
        return;
    }
    void* pLoad = nullptr;
    if (!_resolve(pLibrary, "NDIlib_v5_load", &pLoad))
        return;
#ifndef RUXO_NDI_SDK
    struct {
        const char* szName;
        void** ppSymbol;
    } symbols[] = {
        {"NDIlib_initialize", (void**)&s_ndiCalls.initialize},
        {"NDIlib_destroy", (void**)&s_ndiCalls.destroy},
        {"NDIlib_find_create_v2", (void**)&s_ndiCalls.find_create_v2},
        {"NDIlib_find_destroy", (void**)&s_ndiCalls.find_destroy},
        {"NDIlib_find_wait_for_sources", (void**)&s_ndiCalls.find_wait_for_sources},
        {"NDIlib_find_get_current_sources", (void**)&s_ndiCalls.find_get_current_sources},
    };
    for (const auto& symbol : symbols) {
        if (!_resolve(pLibrary, symbol.szName, symbol.ppSymbol))
            return;
    }
#endif
    /* The handle is not kept: the library stays loaded until the process ends. */
    s_ndiLoad = (NDIlib_v5_load_func)pLoad;
}

/* The functions of this search: from the library's table; false when it gives none. */
static bool _ndiCalls(NDI_CALLS* pCalls)
{
    const void* pTable = s_ndiLoad();
    if (pTable == nullptr)
        return false;
#ifdef RUXO_NDI_SDK
    const NDIlib_v5* pLib = (const NDIlib_v5*)pTable;
    pCalls->initialize = pLib->NDIlib_initialize;
    pCalls->destroy = pLib->NDIlib_destroy;
    pCalls->find_create_v2 = pLib->NDIlib_find_create_v2;
    pCalls->find_destroy = pLib->NDIlib_find_destroy;
    pCalls->find_wait_for_sources = pLib->NDIlib_find_wait_for_sources;
    pCalls->find_get_current_sources = pLib->NDIlib_find_get_current_sources;
    return pCalls->initialize && pCalls->destroy && pCalls->find_create_v2 && pCalls->find_destroy &&
           pCalls->find_wait_for_sources && pCalls->find_get_current_sources;
#else
    *pCalls = s_ndiCalls;
    return true;
#endif
}

static long long _monotonicMs(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (long long)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

/* Waits in steps of msStep while the finder reports a change, until 60 s after the start. Without
 * a stop to look at, a step is one wait of the library; with one, it is cut into waits of at most
 * RUXO_NDI_STOP_CHECK_MS, the stop looked at before each, and a wait that reports no change counts
 * as waited in full (so the step ends when its waits add up to msStep). */
static void _waitForSources(const NDI_CALLS& calls, NDIlib_find_instance_t pFinder, uint32_t msStep,
                            RUXO_NDI_STOPPED pfnStopped)
{
    const long long tmEnd = _monotonicMs() + RUXO_NDI_WAIT_MAX_SECS * 1000LL;
    const uint32_t msSlice = pfnStopped != nullptr && msStep > RUXO_NDI_STOP_CHECK_MS ? RUXO_NDI_STOP_CHECK_MS : msStep;
    uint32_t msWaited = 0; /* in the current step */
    for (;;) {
        if (pfnStopped != nullptr && pfnStopped())
            return;
        const long long msLeft = tmEnd - _monotonicMs();
        if (msLeft <= 0)
            return;
        uint32_t msWait = msStep - msWaited < msSlice ? msStep - msWaited : msSlice;
        if (msLeft < (long long)msWait)
            msWait = (uint32_t)msLeft;
        if (calls.find_wait_for_sources(pFinder, msWait)) {
            msWaited = 0; /* a change: the next step */
            continue;
        }
        msWaited += msWait;
        if (msWaited >= msStep)
            return;
    }
}

int ruxoEnumNDI(RUXO_NDI* pNDI, int nWaitSecs)
{
    return ruxoEnumNDIUntilStopped(pNDI, nWaitSecs, nullptr);
}

int ruxoEnumNDIUntilStopped(RUXO_NDI* pNDI, int nWaitSecs, RUXO_NDI_STOPPED pfnStopped)
{
    std::call_once(s_ndiOnceControl, _loadNDI);
    NDI_CALLS calls;
    if (pNDI == nullptr || s_ndiLoad == nullptr || !_ndiCalls(&calls))
        return -1;
    if (!calls.initialize())
        return -1;

    NDIlib_find_create_t settings;
    settings.show_local_sources = true;
    settings.p_groups = nullptr;
    settings.p_extra_ips = nullptr;
    NDIlib_find_instance_t pFinder = calls.find_create_v2(&settings);
    if (pFinder == nullptr) {
        calls.destroy();
        return -1;
    }

    if (nWaitSecs < 0)
        nWaitSecs = 0;
    if (nWaitSecs > RUXO_NDI_WAIT_MAX_SECS)
        nWaitSecs = RUXO_NDI_WAIT_MAX_SECS;
    _waitForSources(calls, pFinder, (uint32_t)nWaitSecs * 1000U, pfnStopped);

    /* The count is the library's: held to the record, and 0 when it gives no list. */
    uint32_t nReported = 0;
    const NDIlib_source_t* pSources = calls.find_get_current_sources(pFinder, &nReported);
    uint32_t nSources = 0;
    if (pSources != nullptr)
        nSources = nReported < RUXO_MAX_NDI_SOURCES ? nReported : RUXO_MAX_NDI_SOURCES;
    for (uint32_t i = 0; i < nSources; i++) {
        const char* szName = pSources[i].p_ndi_name != nullptr ? pSources[i].p_ndi_name : "";
        const char* szAddr = pSources[i].p_url_address != nullptr ? pSources[i].p_url_address : "";
        ruxoCopyText(pNDI->tszSourceName[i], RUXO_DEVICE_NAME_CCH, szName, strnlen(szName, RUXO_DEVICE_NAME_CCH));
        ruxoCopyText(pNDI->tszSourceAddr[i], RUXO_DEVICE_NAME_CCH, szAddr, strnlen(szAddr, RUXO_DEVICE_NAME_CCH));
    }
    pNDI->nSources = nSources;

    calls.find_destroy(pFinder);
    calls.destroy();
    return 0;
}
