/* test_decklink.cpp -- DeckLink discovery against the complete fake library beside the test
 * program: the device walk call by call, the edge cases of sides, names, modes and capacities as
 * one table, every object released, and the dispatch layer's forwarders. */
#include <string.h>

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "devices_test_util.h"
#include "ruxo_decklink.h"
#include "ruxo_device_api.h"

using namespace ruxotest;

namespace {

const char* const kLibrary = "libDeckLinkAPI.so";

std::string calls()
{
    return fakeCalls(kLibrary, "ruxoFakeDeckLinkCalls");
}

int liveObjects()
{
    return fakeLive(kLibrary, "ruxoFakeDeckLinkLive");
}

/* One mode in the fake's script form. */
std::string mode(char cSide, const char* szCode, int nWidth, int nHeight, long long nScale, long long nDuration,
                 const char* szField)
{
    return std::string(1, cSide) + ":" + szCode + "," + std::to_string(nWidth) + "," + std::to_string(nHeight) + "," +
           std::to_string(nScale) + "," + std::to_string(nDuration) + "," + szField;
}

std::string device(const std::string& strFlags, const std::string& strName, const std::vector<std::string>& modes = {})
{
    std::string str = strFlags + "\t" + strName;
    for (const std::string& strMode : modes)
        str += "\t" + strMode;
    return str + "\n";
}

uint32_t code(const char* sz)
{
    return RUXO_FOURCC(sz[0], sz[1], sz[2], sz[3]);
}

/* A format as one readable text: "CODE WIDTHxHEIGHT NUM/DEN i|p". */
std::string text(const DECKLINK_FORMAT& f)
{
    char sz[128];
    snprintf(sz, sizeof(sz), "%08x %dx%d %d/%d %s", f.nFormatCode, f.nWidth, f.nHeight, f.nFrameNum, f.nFrameDen,
             f.bInterlaced ? "i" : "p");
    return sz;
}

std::string text(uint32_t nCode, int nWidth, int nHeight, int nNum, int nDen, int bInterlaced)
{
    DECKLINK_FORMAT f = {nCode, nWidth, nHeight, nNum, nDen, bInterlaced};
    return text(f);
}

struct ExpectedDevice {
    std::string strName;
    std::vector<std::string> formats; /* in text() form */
};

struct EnumCase {
    const char* szWhat;
    std::string strScript;
    int isOutput;
    std::vector<ExpectedDevice> devices;
};

/* The modes of one card with an input and an output side. */
const std::string kTwoSided = device("IO", "Card A",
                                     {mode('i', "Hp30", 1920, 1080, 30000, 1001, "prog"),
                                      mode('o', "Hi50", 1920, 1080, 25, 1, "uppr"),
                                      mode('b', "ntsc", 720, 486, 30000, 1001, "lowr")});

std::vector<EnumCase> enumCases()
{
    std::vector<EnumCase> cases;
    cases.push_back({"no devices", "", 0, {}});
    cases.push_back(
        {"the input side for 0",
         kTwoSided,
         0,
         {{"Card A", {text(code("Hp30"), 1920, 1080, 30000, 1001, 0), text(code("ntsc"), 720, 486, 30000, 1001, 1)}}}});
    const ExpectedDevice output = {
        "Card A", {text(code("Hi50"), 1920, 1080, 25, 1, 1), text(code("ntsc"), 720, 486, 30000, 1001, 1)}};
    cases.push_back({"the output side for 1", kTwoSided, 1, {output}});
    cases.push_back({"the output side for any other non-zero value", kTwoSided, -7, {output}});
    cases.push_back({"a device without the side asked for is listed without modes",
                     device("O", "Playout", {mode('o', "Hp30", 1920, 1080, 30000, 1001, "prog")}) +
                         device("I", "Capture", {mode('i', "pal ", 720, 576, 25, 1, "uppr")}),
                     0,
                     {{"Playout", {}}, {"Capture", {text(code("pal "), 720, 576, 25, 1, 1)}}}});
    cases.push_back({"a device refusing its attributes is left out",
                     device("AI", "Hidden") + device("I", "Second"),
                     0,
                     {{"Second", {}}}});
    /* The next device cannot read its name: the entry shows none, not the one left out. */
    cases.push_back({"a device without a mode iterator is left out and its entry reused",
                     device("IM", "Left out", {mode('i', "Hp30", 1, 1, 1, 1, "prog")}) + device("NI", "y"),
                     0,
                     {{"", {}}}});
    cases.push_back({"the display name when the handle cannot be read, else no name",
                     device("HI", "x") + device("NI", "y"),
                     0,
                     {{"dspn:x", {}}, {"", {}}}});
    cases.push_back({"only lower or upper field first is interlaced",
                     device("I", "Fields",
                            {mode('i', "m001", 1, 1, 1, 1, "prog"), mode('i', "m002", 1, 1, 1, 1, "psf "),
                             mode('i', "m003", 1, 1, 1, 1, "0"), mode('i', "m004", 1, 1, 1, 1, "lowr"),
                             mode('i', "m005", 1, 1, 1, 1, "uppr"), mode('i', "m006", 1, 1, 1, 1, "what")}),
                     0,
                     {{"Fields",
                       {text(code("m001"), 1, 1, 1, 1, 0), text(code("m002"), 1, 1, 1, 1, 0),
                        text(code("m003"), 1, 1, 1, 1, 0), text(code("m004"), 1, 1, 1, 1, 1),
                        text(code("m005"), 1, 1, 1, 1, 1), text(code("m006"), 1, 1, 1, 1, 0)}}}});
    cases.push_back(
        {"rates kept as given, 64-bit values cut to their low 32 bits",
         device("I", "Rates",
                {mode('i', "Hp60", 1920, 1080, 60000, 1001, "prog"),
                 mode('i', "wide", 3840, 2160, 0x100000000LL + 50, 0x200000001LL, "prog")}),
         0,
         {{"Rates", {text(code("Hp60"), 1920, 1080, 60000, 1001, 0), text(code("wide"), 3840, 2160, 50, 1, 0)}}}});

    /* Capacities: 12 devices give the first 10; 60 modes give the first 50. */
    EnumCase many = {"at most 10 devices", "", 0, {}};
    for (int i = 0; i < 12; i++) {
        many.strScript += device("I", "dev" + std::to_string(i));
        if (i < RUXO_MAX_DECKLINKS)
            many.devices.push_back({"dev" + std::to_string(i), {}});
    }
    cases.push_back(many);
    std::vector<std::string> modes;
    ExpectedDevice fifty = {"Modes", {}};
    for (int i = 0; i < 60; i++) {
        char szCode[8];
        snprintf(szCode, sizeof(szCode), "m%03d", i);
        modes.push_back(mode('i', szCode, i, i, 25, 1, "prog"));
        if (i < RUXO_MAX_DECKLINK_FORMATS)
            fifty.formats.push_back(text(code(szCode), i, i, 25, 1, 0));
    }
    cases.push_back({"at most 50 modes", device("I", "Modes", modes), 0, {fifty}});

    /* Names: 999 bytes fit; longer ones are cut, never inside a UTF-8 character. */
    std::string strAccents;
    for (int i = 0; i < 750; i++)
        strAccents += "\xC3\xA9"; /* 1500 bytes */
    cases.push_back({"long names cut to 999 bytes on a character boundary",
                     device("I", std::string(999, 'a')) + device("I", std::string(1000, 'b')) + device("I", strAccents),
                     0,
                     {{std::string(999, 'a'), {}}, {std::string(999, 'b'), {}}, {strAccents.substr(0, 998), {}}}});
    return cases;
}

}  // namespace

TEST(DeckLinkEnum, EdgeCasesOfSidesNamesModesAndCapacities)
{
    for (const EnumCase& c : enumCases()) {
        SCOPED_TRACE(c.szWhat);
        setenv("RUXO_FAKE_DECKLINK", c.strScript.c_str(), 1);
        std::unique_ptr<RUXO_DECKLINKS> pList(new RUXO_DECKLINKS());
        ASSERT_EQ(ruxoEnumBMD(c.isOutput, pList.get()), 0);
        ASSERT_EQ(pList->nDevices, (int)c.devices.size());
        for (size_t i = 0; i < c.devices.size(); i++) {
            const RUXO_DECKLINK& got = pList->decklink[i];
            EXPECT_EQ(std::string(got.tszDisplayName), c.devices[i].strName) << "device " << i;
            std::vector<std::string> formats;
            for (int k = 0; k < got.nFormats; k++)
                formats.push_back(text(got.formats[k]));
            EXPECT_EQ(formats, c.devices[i].formats) << "device " << i;
        }
        /* Every object obtained was released again, also those past the capacities. */
        EXPECT_EQ(liveObjects(), 0);
    }
}

TEST(DeckLinkEnum, WalksTheDevicesCallByCall)
{
    setenv("RUXO_FAKE_DECKLINK",
           (device("I", "Card", {mode('i', "Hp30", 1920, 1080, 30000, 1001, "prog")}) + device("A", "Shy")).c_str(), 1);
    RUXO_DECKLINKS list;
    memset(&list, 0, sizeof(list));
    calls(); /* clear */
    ASSERT_EQ(ruxoEnumBMD(0, &list), 0);
    EXPECT_EQ(calls(),
              "CreateDeckLinkIteratorInstance_0003\n"
              "iterator.Next\n"
              "device.QueryInterface(attributes)\n"
              "attributes.GetString(devh)\n"
              "attributes.Release\n"
              "device.QueryInterface(input)\n"
              "input.GetDisplayModeIterator\n"
              "modes.Next\n"
              "mode.GetDisplayMode\n"
              "mode.GetWidth\n"
              "mode.GetHeight\n"
              "mode.GetFrameRate\n"
              "mode.GetFieldDominance\n"
              "mode.Release\n"
              "modes.Next\n"
              "modes.Release\n"
              "input.Release\n"
              "device.Release\n"
              "iterator.Next\n"
              "device.QueryInterface(attributes)\n"
              "device.Release\n"
              "iterator.Next\n"
              "iterator.Release\n");
    EXPECT_EQ(list.nDevices, 1);
    EXPECT_EQ(liveObjects(), 0);

    /* The output side is asked for by its own interface. */
    ASSERT_EQ(ruxoEnumBMD(1, &list), 0);
    EXPECT_NE(calls().find("device.QueryInterface(output)\n"), std::string::npos);
    EXPECT_EQ(list.nDevices, 1);
    EXPECT_EQ(list.decklink[0].nFormats, 0);
}

TEST(DeckLinkEnum, NoIteratorLeavesTheRecordAsItWas)
{
    setenv("RUXO_FAKE_DECKLINK", "noiterator", 1);
    RUXO_DECKLINKS list;
    memset(&list, 0xAB, sizeof(list));
    RUXO_DECKLINKS before = list;
    StderrCapture err;
    EXPECT_EQ(ruxoEnumBMD(0, &list), -1);
    EXPECT_EQ(memcmp(&list, &before, sizeof(list)), 0);
    EXPECT_EQ(err.text(), ""); /* every factory resolved: the binding reports nothing */
}

TEST(DeckLinkDispatch, BindsOnTheFirstRequestAndForwardsToTheFactories)
{
    setenv("RUXO_FAKE_DECKLINK", device("I", "Card").c_str(), 1);
    EXPECT_FALSE(IsDeckLinkAPIPresent());
    EXPECT_EQ(dlopen(kLibrary, RTLD_NOW | RTLD_NOLOAD), nullptr) << "opened before the first request";

    IDeckLinkIterator* pIterator = CreateDeckLinkIteratorInstance();
    ASSERT_NE(pIterator, nullptr);
    EXPECT_TRUE(IsDeckLinkAPIPresent());
    pIterator->Release();
    EXPECT_EQ(CreateDeckLinkAPIInformationInstance(), nullptr);
    EXPECT_EQ(CreateVideoConversionInstance(), nullptr);
    EXPECT_EQ(CreateDeckLinkDiscoveryInstance(), nullptr);
    EXPECT_EQ(CreateVideoFrameAncillaryPacketsInstance(), nullptr);
    EXPECT_EQ(calls(),
              "CreateDeckLinkIteratorInstance_0003\n"
              "iterator.Release\n"
              "CreateDeckLinkAPIInformationInstance_0001\n"
              "CreateVideoConversionInstance_0001\n"
              "CreateDeckLinkDiscoveryInstance_0002\n"
              "CreateVideoFrameAncillaryPacketsInstance_0001\n");
    EXPECT_EQ(liveObjects(), 0);

    /* No preview library here: its reason is written once, and the helper is null. */
    StderrCapture err;
    EXPECT_EQ(CreateOpenGLScreenPreviewHelper(), nullptr);
    EXPECT_EQ(CreateOpenGLScreenPreviewHelper(), nullptr);
    const std::string strErr = err.text();
    EXPECT_EQ(lineCount(strErr), 1u) << strErr;
    EXPECT_NE(strErr.find("libDeckLinkPreviewAPI.so"), std::string::npos) << strErr;
}
