/* test_devices_missing.cpp -- discovery with libraries that lack a function it needs (the fakes
 * beside this program were built without the DeckLink iterator factory and without the NDI wait):
 * one line naming the missing symbol, then -1 on every request without a further word. */
#include <string.h>

#include <gtest/gtest.h>

#include <string>

#include "devices_test_util.h"
#include "ruxo_decklink.h"
#include "ruxo_device_api.h"
#include "ruxo_ndi.h"

using namespace ruxotest;

TEST(DevicesMissing, DeckLinkWithoutTheIteratorFactory)
{
    RUXO_DECKLINKS list;
    memset(&list, 0, sizeof(list));
    const std::string strFirst = stderrOf([&] { EXPECT_EQ(ruxoEnumBMD(0, &list), -1); });
    EXPECT_EQ(lineCount(strFirst), 1u) << strFirst;
    EXPECT_NE(strFirst.find("CreateDeckLinkIteratorInstance_0003"), std::string::npos) << strFirst;
    EXPECT_TRUE(IsDeckLinkAPIPresent()); /* the library itself was opened */

    StderrCapture err;
    EXPECT_EQ(ruxoEnumBMD(0, &list), -1);
    EXPECT_EQ(CreateDeckLinkIteratorInstance(), nullptr);
    /* The other factories were resolved all the same. */
    EXPECT_EQ(CreateDeckLinkAPIInformationInstance(), nullptr);
    EXPECT_EQ(err.text(), "");
    EXPECT_EQ(fakeCalls("libDeckLinkAPI.so", "ruxoFakeDeckLinkCalls"), "CreateDeckLinkAPIInformationInstance_0001\n");
}

TEST(DevicesMissing, NDIWithoutTheWait)
{
    RUXO_NDI ndi;
    memset(&ndi, 0, sizeof(ndi));
    const std::string strFirst = stderrOf([&] { EXPECT_EQ(ruxoEnumNDI(&ndi, 1), -1); });
    EXPECT_EQ(lineCount(strFirst), 1u) << strFirst;
    EXPECT_NE(strFirst.find("NDIlib_find_wait_for_sources"), std::string::npos) << strFirst;

    StderrCapture err;
    EXPECT_EQ(ruxoEnumNDI(&ndi, 1), -1);
    EXPECT_EQ(err.text(), "");
    /* Nothing of the library was called: a search needs every function. */
    EXPECT_EQ(fakeCalls("libndi.so.5", "ruxoFakeNDICalls"), "");
}
