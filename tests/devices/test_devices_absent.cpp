/* test_devices_absent.cpp -- discovery on a machine without either library (nothing beside the
 * test program): the loader's reason is written once, every request finds nothing, and a record
 * that DeckLink discovery could not fill is left as it was. */
#include <string.h>

#include <gtest/gtest.h>

#include <string>

#include "devices_test_util.h"
#include "ruxo_decklink.h"
#include "ruxo_device_api.h"
#include "ruxo_ndi.h"

using namespace ruxotest;

TEST(DevicesAbsent, DeckLinkReportsTheLoaderOnceAndListsNothing)
{
    RUXO_DECKLINKS list;
    memset(&list, 0x5A, sizeof(list));
    const RUXO_DECKLINKS before = list;
    const std::string strFirst = stderrOf([&] { EXPECT_EQ(ruxoEnumBMD(0, &list), -1); });
    EXPECT_EQ(lineCount(strFirst), 1u) << strFirst;
    EXPECT_NE(strFirst.find("libDeckLinkAPI.so"), std::string::npos) << strFirst;
    EXPECT_EQ(memcmp(&list, &before, sizeof(list)), 0);
    EXPECT_FALSE(IsDeckLinkAPIPresent());

    /* The outcome is final: later requests, and the forwarders, say nothing more. */
    StderrCapture err;
    EXPECT_EQ(ruxoEnumBMD(1, &list), -1);
    EXPECT_EQ(CreateDeckLinkIteratorInstance(), nullptr);
    EXPECT_EQ(CreateDeckLinkDiscoveryInstance(), nullptr);
    EXPECT_EQ(err.text(), "");
}

TEST(DevicesAbsent, NDIReportsTheLoaderOnceAndFindsNothing)
{
    RUXO_NDI ndi;
    memset(&ndi, 0, sizeof(ndi));
    const std::string strFirst = stderrOf([&] { EXPECT_EQ(ruxoEnumNDI(&ndi, 5), -1); });
    EXPECT_EQ(lineCount(strFirst), 1u) << strFirst;
    EXPECT_NE(strFirst.find("libndi.so.5"), std::string::npos) << strFirst;
    EXPECT_EQ(ndi.nSources, 0u);

    /* No wait at all without the library: a search of a minute ends at once. */
    StderrCapture err;
    const long long tmStart = nowMs();
    EXPECT_EQ(ruxoEnumNDI(&ndi, 60), -1);
    EXPECT_LT(nowMs() - tmStart, 30000);
    EXPECT_EQ(err.text(), "");
}
