/* fuzz_cookie.cpp -- the login cookie: arbitrary "auth" values against a password, and every
 * password through the cookie the server sets and back through the gate's decoding. Input: the
 * password, then optionally a NUL and the values of "auth" cookies separated by NULs. Rules checked
 * beside the sanitizers: the cookie set for a password admits exactly that password; its value
 * holds only the characters a cookie may carry unquoted; a form field encoded as a browser does
 * decodes back to the password. */
#include <string.h>

#include <vector>

#include "fuzz_support.h"
#include "ruxo_cgi_internal.h"

/* A form field's value as a browser encodes it (application/x-www-form-urlencoded). */
static std::string formEncode(const std::string& str)
{
    static const char s_szHex[] = "0123456789ABCDEF";
    std::string strOut;
    for (unsigned char c : str) {
        if (c == ' ') {
            strOut += '+';
        } else if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || strchr("*-._", c)) {
            strOut += (char)c;
        } else {
            strOut += '%';
            strOut += s_szHex[c >> 4];
            strOut += s_szHex[c & 15];
        }
    }
    return strOut;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string strData(reinterpret_cast<const char*>(data), size);
    size_t nNul = strData.find('\0');
    const std::string strPass = strData.substr(0, nNul);

    /* Hostile cookie values. */
    if (nNul != std::string::npos) {
        std::vector<std::string> vCookies;
        size_t nFrom = nNul + 1;
        for (;;) {
            size_t nEnd = strData.find('\0', nFrom);
            vCookies.push_back(strData.substr(nFrom, nEnd == std::string::npos ? std::string::npos : nEnd - nFrom));
            if (nEnd == std::string::npos)
                break;
            nFrom = nEnd + 1;
        }
        ruxoCGIAuth(vCookies, strPass);
        for (const std::string& strValue : vCookies)
            FUZZ_CHECK(_urlDecode(strValue.data(), strValue.size()).size() <= strValue.size(), "decoding grew");
    }

    /* The cookie the server sets for this password. */
    const std::string strCookie = cgiLoginCookie(strPass);
    FUZZ_CHECK(strCookie.compare(0, 5, "auth=") == 0, strCookie);
    const size_t nSemi = strCookie.find(';');
    FUZZ_CHECK(nSemi != std::string::npos, strCookie);
    const std::string strValue = strCookie.substr(5, nSemi - 5);
    for (char c : strValue)
        FUZZ_CHECK(c > 0x20 && c < 0x7f && !strchr("\";,\\ ", c), "cookie value " + strValue);
    FUZZ_CHECK(ruxoCGIAuth({strValue}, strPass) == 1, "the cookie set for a password does not admit it");
    FUZZ_CHECK(ruxoCGIAuth({strValue}, strPass + "x") == 0, "the cookie admits another password");
    FUZZ_CHECK(ruxoCGIAuth({"", strValue}, strPass) == 1, "a second auth cookie");
    if (!strPass.empty())
        FUZZ_CHECK(ruxoCGIAuth({}, strPass) == 0, "no cookie admits");

    /* The login form's field, as a browser sends it, decodes to the password. */
    const std::string strField = formEncode(strPass);
    FUZZ_CHECK(_urlDecode(strField.data(), strField.size()) == strPass, "form field " + strField);
    return 0;
}
