/* fake_decklink.cpp -- a stand-in "libDeckLinkAPI.so" for the tests, built from our own interface
 * declarations: devices, sides and display modes as RUXO_FAKE_DECKLINK scripts them (see
 * fake_devices.h), every object counted while alive and every call logged. Built once with all five
 * factories and once (RUXO_FAKE_NO_ITERATOR) without the iterator factory. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <atomic>
#include <string>
#include <vector>

#include "fake_devices.h"
#include "ruxo_device_api.h"

using ruxofake::split;

namespace {

ruxofake::CallLog s_log;
std::atomic<int> s_nLive(0);

struct ScriptedMode {
    char cSide = 'b';
    uint32_t nCode = 0;
    long nWidth = 0;
    long nHeight = 0;
    int64_t nScale = 0;
    int64_t nDuration = 0;
    uint32_t nField = 0;
};

struct ScriptedDevice {
    std::string strFlags;
    std::string strName;
    std::vector<ScriptedMode> modes;
    bool has(char c) const { return strFlags.find(c) != std::string::npos; }
};

/* Four characters, or "0x" and the code in hexadecimal (for codes whose bytes are no characters). */
uint32_t fourcc(const std::string& str)
{
    if (str.size() == 10 && str.compare(0, 2, "0x") == 0)
        return (uint32_t)strtoul(str.c_str() + 2, nullptr, 16);
    if (str.size() != 4)
        return 0;
    return RUXO_FOURCC(str[0], str[1], str[2], str[3]);
}

/* "SIDE:CODE,WIDTH,HEIGHT,SCALE,DURATION,FIELD" */
ScriptedMode parseMode(const std::string& str)
{
    ScriptedMode mode;
    std::string strRest = str;
    if (str.size() > 2 && str[1] == ':') {
        mode.cSide = str[0];
        strRest = str.substr(2);
    }
    std::vector<std::string> fields = split(strRest, ',');
    fields.resize(6);
    mode.nCode = fourcc(fields[0]);
    mode.nWidth = strtol(fields[1].c_str(), nullptr, 10);
    mode.nHeight = strtol(fields[2].c_str(), nullptr, 10);
    mode.nScale = strtoll(fields[3].c_str(), nullptr, 10);
    mode.nDuration = strtoll(fields[4].c_str(), nullptr, 10);
    mode.nField = fourcc(fields[5]);
    return mode;
}

[[maybe_unused]] std::vector<ScriptedDevice> parseDevices(const char* sz)
{
    std::vector<ScriptedDevice> devices;
    if (sz == nullptr || sz[0] == '\0')
        return devices;
    for (const std::string& strLine : split(sz, '\n')) {
        if (strLine.empty())
            continue;
        std::vector<std::string> fields = split(strLine, '\t');
        ScriptedDevice device;
        device.strFlags = fields[0];
        if (fields.size() > 1)
            device.strName = fields[1];
        for (size_t i = 2; i < fields.size(); i++)
            device.modes.push_back(parseMode(fields[i]));
        devices.push_back(device);
    }
    return devices;
}

bool sameIid(const REFIID& a, const REFIID& b)
{
    return memcmp(&a, &b, sizeof(a)) == 0;
}

/* Reference counting, the live count and the call log for one interface I. */
template <class I>
class FakeObject : public I {
public:
    explicit FakeObject(const char* szKind) : m_szKind(szKind) { s_nLive++; }
    virtual ~FakeObject() { s_nLive--; }

    HRESULT QueryInterface(REFIID iid, LPVOID* ppv) override
    {
        (void)iid;
        note("QueryInterface");
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    ULONG AddRef(void) override { return ++m_nRefs; }
    ULONG Release(void) override
    {
        note("Release");
        ULONG n = --m_nRefs;
        if (n == 0)
            delete this;
        return n;
    }

protected:
    void note(const std::string& strCall) { s_log.note(std::string(m_szKind) + "." + strCall); }

private:
    const char* m_szKind;
    std::atomic<ULONG> m_nRefs{1};
};

class FakeMode final : public FakeObject<IDeckLinkDisplayMode> {
public:
    explicit FakeMode(const ScriptedMode& mode) : FakeObject("mode"), m_mode(mode) {}
    BMDDisplayMode GetDisplayMode(void) override
    {
        note("GetDisplayMode");
        return m_mode.nCode;
    }
    long GetWidth(void) override
    {
        note("GetWidth");
        return m_mode.nWidth;
    }
    long GetHeight(void) override
    {
        note("GetHeight");
        return m_mode.nHeight;
    }
    HRESULT GetFrameRate(BMDTimeValue* frameDuration, BMDTimeScale* timeScale) override
    {
        note("GetFrameRate");
        *frameDuration = m_mode.nDuration;
        *timeScale = m_mode.nScale;
        return S_OK;
    }
    BMDFieldDominance GetFieldDominance(void) override
    {
        note("GetFieldDominance");
        return m_mode.nField;
    }

private:
    ScriptedMode m_mode;
};

/* An iterator over a list: each Next hands out a new OBJECT for the next scripted item, then fails. */
template <class I, class ITEM, class OBJECT, class SCRIPTED>
class FakeWalk final : public FakeObject<I> {
public:
    FakeWalk(const char* szKind, const std::vector<SCRIPTED>& items) : FakeObject<I>(szKind), m_items(items) {}
    HRESULT Next(ITEM** ppItem) override
    {
        this->note("Next");
        if (m_nNext >= m_items.size()) {
            *ppItem = nullptr;
            return E_FAIL;
        }
        *ppItem = new OBJECT(m_items[m_nNext++]);
        return S_OK;
    }

private:
    std::vector<SCRIPTED> m_items;
    size_t m_nNext = 0;
};

typedef FakeWalk<IDeckLinkDisplayModeIterator, IDeckLinkDisplayMode, FakeMode, ScriptedMode> FakeModeIterator;

/* One side of a device: its modes of that side (or of both). */
template <class SIDE>
class FakeSide final : public FakeObject<SIDE> {
public:
    FakeSide(const char* szKind, const ScriptedDevice& device, char cSide) : FakeObject<SIDE>(szKind), m_device(device)
    {
        for (const ScriptedMode& mode : device.modes) {
            if (mode.cSide == cSide || mode.cSide == 'b')
                m_modes.push_back(mode);
        }
    }
    HRESULT GetDisplayModeIterator(IDeckLinkDisplayModeIterator** ppIterator) override
    {
        this->note("GetDisplayModeIterator");
        if (m_device.has('M')) {
            *ppIterator = nullptr;
            return E_FAIL;
        }
        *ppIterator = new FakeModeIterator("modes", m_modes);
        return S_OK;
    }

private:
    ScriptedDevice m_device;
    std::vector<ScriptedMode> m_modes;
};

class FakeAttributes final : public FakeObject<IDeckLinkAttributes> {
public:
    explicit FakeAttributes(const ScriptedDevice& device) : FakeObject("attributes"), m_device(device) {}
    HRESULT GetString(BMDDeckLinkAttributeID id, const char** ppValue) override
    {
        *ppValue = nullptr;
        if (id == BMDDeckLinkDeviceHandle) {
            note("GetString(devh)");
            if (m_device.has('H') || m_device.has('N'))
                return E_FAIL;
            *ppValue = strdup(m_device.strName.c_str());
            return S_OK;
        }
        if (id == BMDDeckLinkDisplayName) {
            note("GetString(dspn)");
            if (m_device.has('N'))
                return E_FAIL;
            *ppValue = strdup(("dspn:" + m_device.strName).c_str());
            return S_OK;
        }
        note("GetString(other)");
        return E_FAIL;
    }

private:
    ScriptedDevice m_device;
};

class FakeDeckLink final : public FakeObject<IDeckLink> {
public:
    explicit FakeDeckLink(const ScriptedDevice& device) : FakeObject("device"), m_device(device) {}
    HRESULT QueryInterface(REFIID iid, LPVOID* ppv) override
    {
        *ppv = nullptr;
        if (sameIid(iid, IID_IDeckLinkAttributes)) {
            note("QueryInterface(attributes)");
            if (m_device.has('A'))
                return E_NOINTERFACE;
            *ppv = static_cast<IDeckLinkAttributes*>(new FakeAttributes(m_device));
            return S_OK;
        }
        if (sameIid(iid, IID_IDeckLinkInput)) {
            note("QueryInterface(input)");
            if (!m_device.has('I'))
                return E_NOINTERFACE;
            *ppv = static_cast<IDeckLinkInput*>(new FakeSide<IDeckLinkInput>("input", m_device, 'i'));
            return S_OK;
        }
        if (sameIid(iid, IID_IDeckLinkOutput)) {
            note("QueryInterface(output)");
            if (!m_device.has('O'))
                return E_NOINTERFACE;
            *ppv = static_cast<IDeckLinkOutput*>(new FakeSide<IDeckLinkOutput>("output", m_device, 'o'));
            return S_OK;
        }
        note("QueryInterface(other)");
        return E_NOINTERFACE;
    }

private:
    ScriptedDevice m_device;
};

typedef FakeWalk<IDeckLinkIterator, IDeckLink, FakeDeckLink, ScriptedDevice> FakeIterator;

}  // namespace

extern "C" {

/* This library implements the interfaces as our own declarations lay them out (the "foreign"
 * build leaves the mark out, as the vendor's library would). */
#ifndef RUXO_FAKE_NO_LAYOUT
extern const int ruxoDeckLinkLayout;
const int ruxoDeckLinkLayout = RUXO_DECKLINK_LAYOUT;
#endif

#ifndef RUXO_FAKE_NO_ITERATOR
IDeckLinkIterator* CreateDeckLinkIteratorInstance_0003(void)
{
    s_log.note("CreateDeckLinkIteratorInstance_0003");
    const char* szScript = getenv("RUXO_FAKE_DECKLINK");
    if (szScript != nullptr && strcmp(szScript, "noiterator") == 0)
        return nullptr;
    return new FakeIterator("iterator", parseDevices(szScript));
}
#endif

IDeckLinkAPIInformation* CreateDeckLinkAPIInformationInstance_0001(void)
{
    s_log.note("CreateDeckLinkAPIInformationInstance_0001");
    return nullptr;
}

IDeckLinkVideoConversion* CreateVideoConversionInstance_0001(void)
{
    s_log.note("CreateVideoConversionInstance_0001");
    return nullptr;
}

IDeckLinkDiscovery* CreateDeckLinkDiscoveryInstance_0002(void)
{
    s_log.note("CreateDeckLinkDiscoveryInstance_0002");
    return nullptr;
}

IDeckLinkVideoFrameAncillaryPackets* CreateVideoFrameAncillaryPacketsInstance_0001(void)
{
    s_log.note("CreateVideoFrameAncillaryPacketsInstance_0001");
    return nullptr;
}

int ruxoFakeDeckLinkLive(void)
{
    return s_nLive;
}

char* ruxoFakeDeckLinkCalls(void)
{
    return s_log.take();
}

}  // extern "C"
