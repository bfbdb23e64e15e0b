/* test_devices_foreign.cpp -- a DeckLink library beside the program that does not follow our own
 * declarations of the interfaces (the vendor's, in a build without the vendor's headers): it is
 * opened but nothing of it is called, one line says why, and the device list stays empty. */
#include <string.h>

#include <gtest/gtest.h>

#include <string>

#include "devices_test_util.h"
#include "ruxo_decklink.h"
#include "ruxo_device_api.h"

using namespace ruxotest;

TEST(DevicesForeign, ADeckLinkLibraryOfAnotherLayoutIsNeverCalled)
{
    RUXO_DECKLINKS list;
    memset(&list, 0, sizeof(list));
    const std::string strFirst = stderrOf([&] { EXPECT_EQ(ruxoEnumBMD(0, &list), -1); });
    EXPECT_EQ(lineCount(strFirst), 1u) << strFirst;
    EXPECT_NE(strFirst.find("libDeckLinkAPI.so: not used"), std::string::npos) << strFirst;
    EXPECT_NE(strFirst.find("RUXO_VENDOR_SDK_DIR"), std::string::npos) << strFirst;
    EXPECT_FALSE(IsDeckLinkAPIPresent());

    StderrCapture err;
    EXPECT_EQ(ruxoEnumBMD(1, &list), -1);
    EXPECT_EQ(CreateDeckLinkIteratorInstance(), nullptr);
    EXPECT_EQ(CreateDeckLinkAPIInformationInstance(), nullptr);
    EXPECT_EQ(err.text(), "");
    EXPECT_EQ(list.nDevices, 0);
    EXPECT_EQ(fakeCalls("libDeckLinkAPI.so", "ruxoFakeDeckLinkCalls"), "");
}
