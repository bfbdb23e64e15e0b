/* ns_test_main.cpp -- the main of the in-process test programs that bind, connect or serve: before
 * any test runs, the process enters a private mount and network namespace (ns_enter.h), so their
 * servers, clients and transcoders meet only each other on a loopback of their own, never the
 * host's. Listing the tests (gtest discovery at build time) enters nothing. A process that cannot
 * enter them runs no test and fails. */
#include <gtest/gtest.h>

#include <stdio.h>

#include <string>

#include "ns_enter.h"

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    if (!::testing::GTEST_FLAG(list_tests)) {
        std::string strErr;
        if (!ruxotest::enterPrivateNamespaces(&strErr)) {
            fprintf(stderr, "%s: cannot enter a private mount and network namespace (%s); these tests need root\n",
                    argv[0], strErr.c_str());
            return 1;
        }
    }
    return RUN_ALL_TESTS();
}
