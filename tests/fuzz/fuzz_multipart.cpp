/* fuzz_multipart.cpp -- the cut of a posted multipart form down to the file it carries, on
 * arbitrary content types and bodies. Input: the Content-Type value, a newline, then the body.
 * The body lies in a buffer of exactly its length and one NUL, as the server hands it over, so an
 * overread shows. Rules checked beside the sanitizers: a file lies inside the body and is
 * followed by a NUL, a refusal gives a reason; any other type leaves the body as it is. */
#include <string.h>

#include <vector>

#include "fuzz_support.h"
#include "ruxo_cgi_internal.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const char* p = reinterpret_cast<const char*>(data);
    const char* pNewline = static_cast<const char*>(memchr(p, '\n', size));
    std::string strType = pNewline ? std::string(p, (size_t)(pNewline - p)) : std::string("multipart/form-data");
    strType.resize(strnlen(strType.c_str(), strType.size()));
    const char* pBody = pNewline ? pNewline + 1 : p;
    const size_t cchBody = size - (size_t)(pBody - p);

    char* szBody = static_cast<char*>(malloc(cchBody + 1));
    FUZZ_CHECK(szBody != nullptr, "malloc");
    memcpy(szBody, pBody, cchBody);
    szBody[cchBody] = '\0';
    size_t cch = cchBody;
    std::string strReason;
    char* pPart = cgiMultipartCut(szBody, &cch, strType.c_str(), &strReason);
    const bool bMultipart = strncasecmp(strType.c_str(), "multipart/form-data", 19) == 0;
    if (!bMultipart) {
        FUZZ_CHECK(pPart == szBody && cch == cchBody, "a body that is no form was changed");
    } else if (pPart == nullptr) {
        FUZZ_CHECK(!strReason.empty(), "a refused form without a reason");
    } else {
        FUZZ_CHECK(pPart >= szBody && pPart <= szBody + cchBody, "the part begins outside the body");
        FUZZ_CHECK(cch <= cchBody && pPart + cch <= szBody + cchBody, "the part ends outside the body");
        FUZZ_CHECK(pPart[cch] == '\0', "the part is not terminated");
    }
    free(szBody);
    return 0;
}
