/* ruxo_decklink.cpp -- DeckLink device discovery and the dispatch layer that binds the DeckLink
 * run-time library at run time.
 *
 * The dispatch layer opens "libDeckLinkAPI.so" once per process, on the first request, resolves its
 * factories and never closes it; the outcome is final, so a machine without the library reports
 * the loader's reason once and has no devices from then on. ruxoEnumBMD walks the devices with a
 * fresh iterator on every call and releases every object it obtained before it returns. */
#include "ruxo_decklink.h"

#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <string>

#include "ruxo.h"
#include "ruxo_device_api.h"
#include "ruxo_text.h"

#define RUXO_DECKLINK_LIBRARY "libDeckLinkAPI.so"
#define RUXO_DECKLINK_PREVIEW_LIBRARY "libDeckLinkPreviewAPI.so"

/* ---- dispatch layer ----------------------------------------------------------------------- */

extern "C" {
typedef IDeckLinkIterator* (*CreateIteratorFunc)(void);
typedef IDeckLinkAPIInformation* (*CreateAPIInformationFunc)(void);
typedef IDeckLinkVideoConversion* (*CreateVideoConversionInstanceFunc)(void);
typedef IDeckLinkDiscovery* (*CreateDeckLinkDiscoveryInstanceFunc)(void);
typedef IDeckLinkVideoFrameAncillaryPackets* (*CreateVideoFrameAncillaryPacketsInstanceFunc)(void);
typedef IDeckLinkGLScreenPreviewHelper* (*CreateOpenGLScreenPreviewHelperFunc)(void);
}

static std::once_flag gDeckLinkOnceControl;
static std::once_flag gPreviewOnceControl;
/* Read by IsDeckLinkAPIPresent without the once-control, so possibly during the binding. */
static std::atomic<bool> gLoadedDeckLinkAPI(false);
/* Written only inside the once-controls, read only after them. */
static CreateIteratorFunc gCreateIteratorFunc = nullptr;
static CreateAPIInformationFunc gCreateAPIInformationFunc = nullptr;
static CreateVideoConversionInstanceFunc gCreateVideoConversionFunc = nullptr;
static CreateDeckLinkDiscoveryInstanceFunc gCreateDeckLinkDiscoveryFunc = nullptr;
static CreateVideoFrameAncillaryPacketsInstanceFunc gCreateVideoFrameAncillaryPacketsFunc = nullptr;
static CreateOpenGLScreenPreviewHelperFunc gCreateOpenGLPreviewFunc = nullptr;

void* ruxoOpenVendorLibrary(const char* szName, int nFlags)
{
    /* The program's run path names its own folder too, but the loader applies it only when it
     * can tell that the program itself called dlopen, which it cannot when dlopen is wrapped (as
     * the sanitizers wrap it): so the folder is tried by name first. A library there that does
     * not load is reported as it is, not replaced by another one from elsewhere. */
    const char* szDir = ruxoGetProgDir();
    if (szDir != nullptr && szDir[0] != '\0') {
        const std::string strPath = std::string(szDir) + "/" + szName;
        if (access(strPath.c_str(), F_OK) == 0)
            return dlopen(strPath.c_str(), nFlags);
    }
    return dlopen(szName, nFlags);
}

/* The loader's reason for the last failure, on a line of its own. */
static void _printLoaderError(void)
{
    const char* szError = dlerror();
    fprintf(stderr, "%s\n", szError != nullptr ? szError : "unknown loader error");
}

/* One symbol of an opened library; null, with the loader's reason printed, when it is missing. */
static void* _resolve(void* pLibrary, const char* szSymbol)
{
    dlerror(); /* clear a stale error, so a failure below reports its own */
    void* pSymbol = dlsym(pLibrary, szSymbol);
    if (pSymbol == nullptr)
        _printLoaderError();
    return pSymbol;
}

/* Without the vendor's headers our own declarations of the interfaces are short: they name only
 * the methods discovery calls, so the vendor's library cannot be called through them (its tables
 * hold other methods in those places). Such a build binds only a library that states that it
 * follows our declarations, by exporting RUXO_DECKLINK_LAYOUT_SYMBOL with our layout number. */
static bool _followsOurDeclarations(void* pLibrary)
{
#ifdef RUXO_DECKLINK_SDK
    (void)pLibrary;
    return true;
#else
    dlerror();
    const int* pnLayout = (const int*)dlsym(pLibrary, RUXO_DECKLINK_LAYOUT_SYMBOL);
    if (pnLayout != nullptr && *pnLayout == RUXO_DECKLINK_LAYOUT)
        return true;
    fprintf(stderr,
            "%s: not used: this program was built without the DeckLink SDK headers "
            "(build with -DRUXO_VENDOR_SDK_DIR=<folder with DeckLinkAPI.h>)\n",
            RUXO_DECKLINK_LIBRARY);
    return false;
#endif
}

extern "C" void InitDeckLinkAPI(void)
{
    void* pLibrary = ruxoOpenVendorLibrary(RUXO_DECKLINK_LIBRARY, RTLD_NOW | RTLD_GLOBAL);
    if (pLibrary == nullptr) {
        _printLoaderError();
        return;
    }
    if (!_followsOurDeclarations(pLibrary))
        return; /* nothing is bound: the device list stays empty */
    /* The handle is not kept: the library stays loaded until the process ends. */
    gLoadedDeckLinkAPI = true;
    gCreateIteratorFunc = (CreateIteratorFunc)_resolve(pLibrary, "CreateDeckLinkIteratorInstance_0003");
    gCreateAPIInformationFunc = (CreateAPIInformationFunc)_resolve(pLibrary,
                                                                   "CreateDeckLinkAPIInformationInstance_0001");
    gCreateVideoConversionFunc = (CreateVideoConversionInstanceFunc)_resolve(pLibrary,
                                                                             "CreateVideoConversionInstance_0001");
    gCreateDeckLinkDiscoveryFunc = (CreateDeckLinkDiscoveryInstanceFunc)_resolve(
        pLibrary, "CreateDeckLinkDiscoveryInstance_0002");
    gCreateVideoFrameAncillaryPacketsFunc = (CreateVideoFrameAncillaryPacketsInstanceFunc)_resolve(
        pLibrary, "CreateVideoFrameAncillaryPacketsInstance_0001");
}

extern "C" void InitDeckLinkPreviewAPI(void)
{
    void* pLibrary = ruxoOpenVendorLibrary(RUXO_DECKLINK_PREVIEW_LIBRARY, RTLD_NOW | RTLD_GLOBAL);
    if (pLibrary == nullptr) {
        _printLoaderError();
        return;
    }
    gCreateOpenGLPreviewFunc = (CreateOpenGLScreenPreviewHelperFunc)_resolve(pLibrary,
                                                                             "CreateOpenGLScreenPreviewHelper_0001");
}

extern "C" bool IsDeckLinkAPIPresent(void)
{
    return gLoadedDeckLinkAPI;
}

extern "C" IDeckLinkIterator* CreateDeckLinkIteratorInstance(void)
{
    std::call_once(gDeckLinkOnceControl, InitDeckLinkAPI);
    return gCreateIteratorFunc != nullptr ? gCreateIteratorFunc() : nullptr;
}

extern "C" IDeckLinkAPIInformation* CreateDeckLinkAPIInformationInstance(void)
{
    std::call_once(gDeckLinkOnceControl, InitDeckLinkAPI);
    return gCreateAPIInformationFunc != nullptr ? gCreateAPIInformationFunc() : nullptr;
}

extern "C" IDeckLinkGLScreenPreviewHelper* CreateOpenGLScreenPreviewHelper(void)
{
    std::call_once(gDeckLinkOnceControl, InitDeckLinkAPI);
    std::call_once(gPreviewOnceControl, InitDeckLinkPreviewAPI);
    return gCreateOpenGLPreviewFunc != nullptr ? gCreateOpenGLPreviewFunc() : nullptr;
}

extern "C" IDeckLinkVideoConversion* CreateVideoConversionInstance(void)
{
    std::call_once(gDeckLinkOnceControl, InitDeckLinkAPI);
    return gCreateVideoConversionFunc != nullptr ? gCreateVideoConversionFunc() : nullptr;
}

extern "C" IDeckLinkDiscovery* CreateDeckLinkDiscoveryInstance(void)
{
    std::call_once(gDeckLinkOnceControl, InitDeckLinkAPI);
    return gCreateDeckLinkDiscoveryFunc != nullptr ? gCreateDeckLinkDiscoveryFunc() : nullptr;
}

extern "C" IDeckLinkVideoFrameAncillaryPackets* CreateVideoFrameAncillaryPacketsInstance(void)
{
    std::call_once(gDeckLinkOnceControl, InitDeckLinkAPI);
    return gCreateVideoFrameAncillaryPacketsFunc != nullptr ? gCreateVideoFrameAncillaryPacketsFunc() : nullptr;
}

/* ---- device walk ------------------------------------------------------------------------- */

/* How a device's side turned out. */
typedef enum {
    BMD_SIDE_MODES = 0,   /* its modes were read: the device is listed with them */
    BMD_SIDE_REFUSED = 1, /* the device has no such side: listed without modes */
    BMD_SIDE_FAILED = 2,  /* its mode iterator could not be had: the device is left out */
} BMD_SIDE_RESULT;

/* Fills one format entry from a display mode. */
static void _readMode(IDeckLinkDisplayMode* pMode, DECKLINK_FORMAT* pFormat)
{
    BMDTimeValue nDuration = 0;
    BMDTimeScale nScale = 0;
    pFormat->nFormatCode = (uint32_t)pMode->GetDisplayMode();
    pFormat->nWidth = (int)pMode->GetWidth();
    pFormat->nHeight = (int)pMode->GetHeight();
    (void)pMode->GetFrameRate(&nDuration, &nScale);
    pFormat->nFrameNum = (int)(uint32_t)nScale;
    pFormat->nFrameDen = (int)(uint32_t)nDuration;
    const BMDFieldDominance nDominance = pMode->GetFieldDominance();
    pFormat->bInterlaced = nDominance == bmdLowerFieldFirst || nDominance == bmdUpperFieldFirst ? 1 : 0;
}

/* Reads the display modes of one side (SIDE is IDeckLinkInput or IDeckLinkOutput) into pEntry. */
template <class SIDE>
static BMD_SIDE_RESULT _readSide(IDeckLink* pDeckLink, REFIID iid, RUXO_DECKLINK* pEntry)
{
    SIDE* pSide = nullptr;
    if (pDeckLink->QueryInterface(iid, (void**)&pSide) != S_OK || pSide == nullptr)
        return BMD_SIDE_REFUSED;

    IDeckLinkDisplayModeIterator* pModes = nullptr;
    if (pSide->GetDisplayModeIterator(&pModes) != S_OK || pModes == nullptr) {
        pSide->Release();
        return BMD_SIDE_FAILED;
    }
    /* Once the list is full no further mode is taken, so none is left unreleased. */
    int nFormats = 0;
    IDeckLinkDisplayMode* pMode = nullptr;
    while (nFormats < RUXO_MAX_DECKLINK_FORMATS && pModes->Next(&pMode) == S_OK && pMode != nullptr) {
        _readMode(pMode, &pEntry->formats[nFormats]);
        nFormats++;
        pMode->Release();
        pMode = nullptr;
    }
    pEntry->nFormats = nFormats;
    pModes->Release();
    pSide->Release();
    return BMD_SIDE_MODES;
}

/* The device's name into pEntry: its handle, else its display name; unchanged when both fail. */
static void _readName(IDeckLinkAttributes* pAttributes, RUXO_DECKLINK* pEntry)
{
    const BMDDeckLinkAttributeID ids[] = {BMDDeckLinkDeviceHandle, BMDDeckLinkDisplayName};
    for (BMDDeckLinkAttributeID id : ids) {
        const char* szName = nullptr;
        if (pAttributes->GetString(id, &szName) != S_OK || szName == nullptr)
            continue;
        ruxoCopyText(pEntry->tszDisplayName, sizeof(pEntry->tszDisplayName), szName,
                     strnlen(szName, sizeof(pEntry->tszDisplayName)));
        /* The library's strings are ours to free. */
        free((void*)szName);
        return;
    }
}

int ruxoEnumBMD(int isOutput, RUXO_DECKLINKS* pDeckLinks)
{
    std::call_once(gDeckLinkOnceControl, InitDeckLinkAPI);
    if (pDeckLinks == nullptr || gCreateIteratorFunc == nullptr)
        return -1;
    IDeckLinkIterator* pIterator = gCreateIteratorFunc();
    if (pIterator == nullptr)
        return -1;

    /* Once the list is full no further device is taken, so none is left unreleased. */
    int nDevices = 0;
    IDeckLink* pDeckLink = nullptr;
    while (nDevices < RUXO_MAX_DECKLINKS && pIterator->Next(&pDeckLink) == S_OK && pDeckLink != nullptr) {
        IDeckLinkAttributes* pAttributes = nullptr;
        if (pDeckLink->QueryInterface(IID_IDeckLinkAttributes, (void**)&pAttributes) != S_OK ||
            pAttributes == nullptr) {
            pDeckLink->Release();
            pDeckLink = nullptr;
            continue;
        }
        /* The entry may hold what a device that was then left out wrote into it. */
        RUXO_DECKLINK* pEntry = &pDeckLinks->decklink[nDevices];
        memset(pEntry, 0, sizeof(*pEntry));
        _readName(pAttributes, pEntry);
        pAttributes->Release();

        const BMD_SIDE_RESULT result = isOutput != 0
                                           ? _readSide<IDeckLinkOutput>(pDeckLink, IID_IDeckLinkOutput, pEntry)
                                           : _readSide<IDeckLinkInput>(pDeckLink, IID_IDeckLinkInput, pEntry);
        pDeckLink->Release();
        pDeckLink = nullptr;
        if (result != BMD_SIDE_FAILED)
            nDevices++;
    }
    pIterator->Release();
    pDeckLinks->nDevices = nDevices;
    return 0;
}
