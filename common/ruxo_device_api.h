/* ruxo_device_api.h -- our own declarations of the two capture-device libraries that device
 * discovery talks to: the DeckLink run-time library (COM-style interfaces, bound at run time by
 * ruxo_decklink.cpp) and the NDI run-time library "libndi.so.5" (plain C functions, loaded at run
 * time by ruxo_ndi.cpp).
 *
 * They declare only what discovery calls: the interfaces, methods, interface ids and
 * four-character codes it uses, in the shape our test fakes implement. A build for real cards
 * and real NDI sources is made against the vendors' own SDK headers on the build machine (the
 * CMake option RUXO_VENDOR_SDK_DIR): RUXO_DECKLINK_SDK and RUXO_NDI_SDK are then defined and the
 * vendors' headers replace the matching half of this file. Discovery uses the same names either
 * way. */
#ifndef RUXO_DEVICE_API_H
#define RUXO_DEVICE_API_H

#include <stdint.h>

/* ---- DeckLink ------------------------------------------------------------------------------ */

#ifdef RUXO_DECKLINK_SDK
#include <DeckLinkAPI.h>
#else

/* A library that implements the interfaces exactly as declared below (our test fakes do) exports
 * an int of this name holding this number; a build without the vendor's headers binds no other. */
#define RUXO_DECKLINK_LAYOUT_SYMBOL "ruxoDeckLinkLayout"
#define RUXO_DECKLINK_LAYOUT 1

typedef int32_t HRESULT;
typedef uint32_t ULONG;
typedef void* LPVOID;
#ifndef S_OK
#define S_OK ((HRESULT)0)
#endif
#ifndef E_FAIL
#define E_FAIL ((HRESULT)0x80004005)
#endif
#ifndef E_NOINTERFACE
#define E_NOINTERFACE ((HRESULT)0x80004002)
#endif

/* An interface identity: the 16 bytes of its UUID, first byte first, passed by value. */
typedef struct {
    unsigned char bytes[16];
} REFIID;

/* A four-character code, first character in the most significant byte. */
#define RUXO_FOURCC(a, b, c, d) \
    (((uint32_t)(uint8_t)(a) << 24) | ((uint32_t)(uint8_t)(b) << 16) | ((uint32_t)(uint8_t)(c) << 8) | \
     (uint32_t)(uint8_t)(d))

typedef uint32_t BMDDisplayMode;
typedef uint32_t BMDFieldDominance;
typedef uint32_t BMDDeckLinkAttributeID;
typedef int64_t BMDTimeValue;
typedef int64_t BMDTimeScale;

enum {
    BMDDeckLinkDeviceHandle = RUXO_FOURCC('d', 'e', 'v', 'h'),
    BMDDeckLinkDisplayName = RUXO_FOURCC('d', 's', 'p', 'n'),
};

enum {
    bmdUnknownFieldDominance = 0,
    bmdLowerFieldFirst = RUXO_FOURCC('l', 'o', 'w', 'r'),
    bmdUpperFieldFirst = RUXO_FOURCC('u', 'p', 'p', 'r'),
    bmdProgressiveFrame = RUXO_FOURCC('p', 'r', 'o', 'g'),
    bmdProgressiveSegmentedFrame = RUXO_FOURCC('p', 's', 'f', ' '),
};

/* ABC11843-D966-44CB-96E2-A1CB5D3135C4 */
static const REFIID IID_IDeckLinkAttributes = {
    {0xAB, 0xC1, 0x18, 0x43, 0xD9, 0x66, 0x44, 0xCB, 0x96, 0xE2, 0xA1, 0xCB, 0x5D, 0x31, 0x35, 0xC4}};
/* CC5C8A6E-3F2F-4B3A-87EA-FD78AF300564 */
static const REFIID IID_IDeckLinkOutput = {
    {0xCC, 0x5C, 0x8A, 0x6E, 0x3F, 0x2F, 0x4B, 0x3A, 0x87, 0xEA, 0xFD, 0x78, 0xAF, 0x30, 0x05, 0x64}};
/* AF22762B-DFAC-4846-AA79-FA8883560995 */
static const REFIID IID_IDeckLinkInput = {
    {0xAF, 0x22, 0x76, 0x2B, 0xDF, 0xAC, 0x48, 0x46, 0xAA, 0x79, 0xFA, 0x88, 0x83, 0x56, 0x09, 0x95}};

class IUnknown {
public:
    virtual HRESULT QueryInterface(REFIID iid, LPVOID* ppv) = 0;
    virtual ULONG AddRef(void) = 0;
    virtual ULONG Release(void) = 0;
};

class IDeckLinkDisplayMode : public IUnknown {
public:
    virtual BMDDisplayMode GetDisplayMode(void) = 0;
    virtual long GetWidth(void) = 0;
    virtual long GetHeight(void) = 0;
    virtual HRESULT GetFrameRate(BMDTimeValue* frameDuration, BMDTimeScale* timeScale) = 0;
    virtual BMDFieldDominance GetFieldDominance(void) = 0;
};

class IDeckLinkDisplayModeIterator : public IUnknown {
public:
    virtual HRESULT Next(IDeckLinkDisplayMode** deckLinkDisplayMode) = 0;
};

class IDeckLinkInput : public IUnknown {
public:
    virtual HRESULT GetDisplayModeIterator(IDeckLinkDisplayModeIterator** iterator) = 0;
};

class IDeckLinkOutput : public IUnknown {
public:
    virtual HRESULT GetDisplayModeIterator(IDeckLinkDisplayModeIterator** iterator) = 0;
};

/* The strings it returns are the caller's, released with free(). */
class IDeckLinkAttributes : public IUnknown {
public:
    virtual HRESULT GetString(BMDDeckLinkAttributeID cfgID, const char** value) = 0;
};

class IDeckLink : public IUnknown {};

class IDeckLinkIterator : public IUnknown {
public:
    virtual HRESULT Next(IDeckLink** deckLinkInstance) = 0;
};

/* Made by factories that discovery resolves but never calls. */
class IDeckLinkAPIInformation : public IUnknown {};
class IDeckLinkVideoConversion : public IUnknown {};
class IDeckLinkDiscovery : public IUnknown {};
class IDeckLinkVideoFrameAncillaryPackets : public IUnknown {};
class IDeckLinkGLScreenPreviewHelper : public IUnknown {};

/* The dispatch layer (ruxo_decklink.cpp): each binds the library once, then calls its factory. */
extern "C" {
bool IsDeckLinkAPIPresent(void);
IDeckLinkIterator* CreateDeckLinkIteratorInstance(void);
IDeckLinkAPIInformation* CreateDeckLinkAPIInformationInstance(void);
IDeckLinkGLScreenPreviewHelper* CreateOpenGLScreenPreviewHelper(void);
IDeckLinkVideoConversion* CreateVideoConversionInstance(void);
IDeckLinkDiscovery* CreateDeckLinkDiscoveryInstance(void);
IDeckLinkVideoFrameAncillaryPackets* CreateVideoFrameAncillaryPacketsInstance(void);
}

#endif /* RUXO_DECKLINK_SDK */

/* ---- finding the libraries ---------------------------------------------------------------- */

/* dlopen of a vendor library by its file name (ruxo_decklink.cpp): the copy in the program's own
 * folder when there is one, else the system's library path. */
void* ruxoOpenVendorLibrary(const char* szName, int nFlags);

/* ---- NDI ------------------------------------------------------------------------------------ */

#ifdef RUXO_NDI_SDK
#include <Processing.NDI.Lib.h>
#else

typedef void* NDIlib_find_instance_t;

/* The settings of a source finder. */
typedef struct NDIlib_find_create_t {
    bool show_local_sources; /* sources on this machine too */
    const char* p_groups;    /* null: the default groups */
    const char* p_extra_ips; /* null: no further addresses to ask */
} NDIlib_find_create_t;

/* One source as the finder reports it; both texts belong to the finder. */
typedef struct NDIlib_source_t {
    const char* p_ndi_name;
    const char* p_url_address;
} NDIlib_source_t;

#endif /* RUXO_NDI_SDK */

/* The library's exported functions, by the names discovery resolves them with. */
extern "C" {
typedef const void* (*NDIlib_v5_load_func)(void);
typedef bool (*NDIlib_initialize_func)(void);
typedef void (*NDIlib_destroy_func)(void);
typedef NDIlib_find_instance_t (*NDIlib_find_create_v2_func)(const NDIlib_find_create_t* p_create_settings);
typedef void (*NDIlib_find_destroy_func)(NDIlib_find_instance_t p_instance);
/* True when the list of sources changed during the wait. */
typedef bool (*NDIlib_find_wait_for_sources_func)(NDIlib_find_instance_t p_instance, uint32_t timeout_in_ms);
/* The current list (the finder's), its length written through p_no_sources. */
typedef const NDIlib_source_t* (*NDIlib_find_get_current_sources_func)(NDIlib_find_instance_t p_instance,
                                                                       uint32_t* p_no_sources);
}

#endif
