/* fuzz_acl.cpp -- the web server's access-list matcher ("ipACL") on arbitrary text and addresses.
 * Input: four bytes of the client's address, then the list. Rules checked beside the sanitizers:
 * the last rule that covers a client decides (a final "allow all" admits, a final "deny all"
 * refuses, whatever stands before); the client's own address, with any prefix length, covers it. */
#include <arpa/inet.h>
#include <string.h>

#include "fuzz_support.h"
#include "ruxo_cgi_internal.h"

/* Words of the list as the matcher separates them (blanks, CRs, LFs). */
static size_t wordCount(const std::string& str)
{
    size_t n = 0;
    bool bInWord = false;
    for (char c : str) {
        bool bSep = c == ' ' || c == '\r' || c == '\n';
        if (!bSep && !bInWord)
            n++;
        bInWord = !bSep;
    }
    return n;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 4)
        return 0;
    const uint32_t ulClient = ((uint32_t)data[0] << 24) | ((uint32_t)data[1] << 16) | ((uint32_t)data[2] << 8) |
                              data[3];
    /* The list is a C text: it ends at a NUL. */
    std::string strAcl(reinterpret_cast<const char*>(data) + 4, size - 4);
    strAcl.resize(strnlen(strAcl.c_str(), strAcl.size()));

    cgiAclAllows(strAcl.c_str(), ulClient);
    cgiAclNetMatches(strAcl.c_str(), ulClient);

    /* A command left without its network takes "all" first. */
    const std::string strOpen = (wordCount(strAcl) % 2) ? " all" : "";
    FUZZ_CHECK(cgiAclAllows((strAcl + strOpen + " allow all").c_str(), ulClient) == TRUE, "a final allow all");
    FUZZ_CHECK(cgiAclAllows((strAcl + strOpen + "\ndeny all").c_str(), ulClient) == FALSE, "a final deny all");

    char szAddr[INET_ADDRSTRLEN];
    struct in_addr in;
    in.s_addr = htonl(ulClient);
    inet_ntop(AF_INET, &in, szAddr, sizeof szAddr);
    const int nBits = size > 4 ? data[4] % 33 : 32;
    const std::string strNet = std::string(szAddr) + "/" + std::to_string(nBits);
    FUZZ_CHECK(cgiAclNetMatches(strNet.c_str(), ulClient) == TRUE, strNet);
    FUZZ_CHECK(cgiAclNetMatches(szAddr, ulClient) == TRUE, szAddr);
    return 0;
}
