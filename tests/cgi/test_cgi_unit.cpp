/* test_cgi_unit.cpp -- the web server's pieces that need no socket: the access-list matcher and
 * verdict, form decoding and the login cookie's encoding, the request-log escaping, the multipart
 * cut and the login gate's cookie check. */
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ruxo_cgi_internal.h"
#include "ruxo_config.h"
#include "ruxo_text_core.h"

static uint32_t ip(const char* sz)
{
    struct in_addr addr;
    EXPECT_NE(inet_aton(sz, &addr), 0) << sz;
    return ntohl(addr.s_addr);
}

TEST(CgiAcl, NetworkMatcherTable)
{
    struct Case {
        const char* szNet;
        const char* szClient;
        bool bMatch;
    } cases[] = {
        {"10.0.0.7", "10.0.0.7", true},
        {"10.0.0.7", "10.0.0.8", false},
        {"all", "1.2.3.4", true},
        {"ALL", "1.2.3.4", true},
        {"All/8", "200.2.3.4", true},
        {"allx", "1.2.3.4", false},
        {"192.168.1.0/24", "192.168.1.0", true},
        {"192.168.1.0/24", "192.168.1.255", true},
        {"192.168.1.0/24", "192.168.2.0", false},
        {"192.168.1.0/24", "192.168.0.255", false},
        /* Host bits set: the block the address lies in, not a range starting at it. */
        {"10.0.0.5/24", "10.0.0.1", true},
        {"10.0.0.5/24", "10.0.0.255", true},
        {"10.0.0.5/24", "10.0.1.4", false},
        {"10.0.0.5/32", "10.0.0.5", true},
        {"10.0.0.5/32", "10.0.0.6", false},
        {"10.0.0.5/0", "255.255.255.255", true},
        {"10.0.0.5/0", "0.0.0.0", true},
        {"10.0.0.5/abc", "99.0.0.1", true}, /* no number reads 0 */
        {"10.0.0.5/-0", "99.0.0.1", true},
        {"10.0.0.5/+24", "10.0.0.9", true},
        {"10.0.0.5/24x", "10.0.0.9", true}, /* read as far as the digits go */
        {"10.0.0.5/24x", "10.0.1.9", false},
        {"10.0.0.5/\t8", "10.9.9.9", true},
        {"10.0.0.5/31", "10.0.0.4", true},
        {"10.0.0.5/31", "10.0.0.6", false},
        {"10.0.0.5/33", "10.0.0.5", false}, /* prefix out of range: nothing */
        {"10.0.0.5/-1", "10.0.0.5", false},
        {"10.0.0.5/99999999999999", "10.0.0.5", false},
        {"255.255.255.255", "255.255.255.255", true},
        {"255.255.255.255", "0.0.0.0", false},
        {"255.255.255.255/32", "255.255.255.255", true},
        {"10.1", "10.0.0.1", false}, /* fewer than four parts */
        {"10.0.1", "10.0.0.1", false},
        {"10.0.0.1.5", "10.0.0.1", false},
        {"10.0.0.256", "10.0.1.0", false},
        {"10.0.0.1\tx", "10.0.0.1", false},
        {"", "0.0.0.0", false},
        {"permit", "0.0.0.0", false},
        {"/24", "0.0.0.0", false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(cgiAclNetMatches(c.szNet, ip(c.szClient)) != 0, c.bMatch) << c.szNet << " vs " << c.szClient;
}

TEST(CgiAcl, VerdictTable)
{
    struct Case {
        const char* szAcl;
        const char* szClient;
        bool bAllow;
    } cases[] = {
        {"", "10.0.0.1", true},
        {"deny all", "127.0.0.1", false},
        {"deny all allow 192.168.1.0/24", "192.168.1.0", true},
        {"deny all allow 192.168.1.0/24", "192.168.1.255", true},
        {"deny all allow 192.168.1.0/24", "192.168.2.1", false},
        {"allow all deny 10.0.0.7", "10.0.0.7", false},
        {"allow all deny 10.0.0.7", "10.0.0.8", true},
        {"allow 10.0.0.5/24 deny all", "10.0.0.5", false},
        {"permit 10.0.0.1", "10.0.0.1", true},
        {"deny all permit 10.0.0.1", "10.0.0.1", false},
        {"deny", "10.0.0.1", true},
        {"allow all deny", "10.0.0.1", true},
        {"deny\tall", "10.0.0.1", true},
        {"DENY ALL", "10.0.0.1", false},
        {"deny all\r\nallow 10.0.0.1\n", "10.0.0.1", true},
        {"  deny   10.0.0.1  ", "10.0.0.1", false},
        /* A rule for the next network does not reach into it. */
        {"deny all allow 10.0.0.5/24", "10.0.1.4", false},
        {"deny all allow 10.0.0.5/40", "10.0.0.5", false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(cgiAclAllows(c.szAcl, ip(c.szClient)) != 0, c.bAllow) << "'" << c.szAcl << "' for " << c.szClient;
    EXPECT_TRUE(cgiAclAllows(nullptr, 0));
}

TEST(CgiText, UrlDecode)
{
    struct Case {
        const char* szIn;
        std::string strOut;
    } cases[] = {
        {"abc", "abc"},
        {"a%41b", "aAb"},
        {"%4a%4A", "JJ"},
        {"a+b", "a b"},
        {"%2B", "+"},
        {"100%", "100%"},
        {"%4", "%4"},
        {"%zz1", "%zz1"},
        {"%%41", "%A"},
        {"%0A", "\n"},
        {"%00x", std::string("\0x", 2)},
    };
    for (const Case& c : cases)
        EXPECT_EQ(_urlDecode(c.szIn, strlen(c.szIn)), c.strOut) << c.szIn;
}

TEST(CgiText, LoginCookieRoundTripsThroughTheGate)
{
    const std::string passwords[] = {
        "plain",
        "with blank and+plus",
        "per%cent %41 %zz",
        "semi;colon&amp=eq\"quote,comma\\back",
        "\xc3\xa9t\xc3\xa9 \xe2\x82\xac",
        std::string(3000, 'x') + "~-._",
    };
    for (const std::string& strPass : passwords) {
        std::string strCookie = cgiLoginCookie(strPass);
        ASSERT_EQ(strCookie.compare(0, 5, "auth="), 0);
        size_t nSemi = strCookie.find(';');
        ASSERT_NE(nSemi, std::string::npos);
        std::string strValue = strCookie.substr(5, nSemi - 5);
        EXPECT_EQ(strCookie.substr(nSemi), "; SameSite=Strict; HttpOnly");
        EXPECT_EQ(strValue.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-._~%"),
                  std::string::npos)
            << strValue;
        EXPECT_EQ(_urlDecode(strValue.c_str(), strValue.size()), strPass);
        /* As the library hands the "auth" cookies over. */
        EXPECT_TRUE(ruxoCGIAuth({strValue}, strPass));
        EXPECT_FALSE(ruxoCGIAuth({strValue + "x"}, strPass));
    }
    EXPECT_EQ(cgiPercentEncode("aZ09-._~ /+%"), "aZ09-._~%20%2F%2B%25");
}

TEST(CgiText, GateCookieCheck)
{
    typedef std::vector<std::string> Cookies;
    EXPECT_TRUE(ruxoCGIAuth(Cookies{"pw"}, "pw"));
    EXPECT_TRUE(ruxoCGIAuth(Cookies{"p%77"}, "pw"));
    EXPECT_TRUE(ruxoCGIAuth(Cookies{"a+b"}, "a b"));
    EXPECT_FALSE(ruxoCGIAuth(Cookies{}, "pw"));
    EXPECT_FALSE(ruxoCGIAuth(Cookies{""}, "pw"));
    EXPECT_FALSE(ruxoCGIAuth(Cookies{"PW"}, "pw"));
    EXPECT_FALSE(ruxoCGIAuth(Cookies{"pwx"}, "pw"));
    EXPECT_FALSE(ruxoCGIAuth(Cookies{"p"}, "pw"));
    /* Of several "auth" cookies (another application's among them) any one that matches admits. */
    EXPECT_TRUE(ruxoCGIAuth(Cookies{"no", "pw"}, "pw"));
    EXPECT_TRUE(ruxoCGIAuth(Cookies{"pw", "no"}, "pw"));
    EXPECT_FALSE(ruxoCGIAuth(Cookies{"no", "pw "}, "pw"));
}

TEST(CgiText, LogEscape)
{
    EXPECT_EQ(cgiLogEscape("/plain/path?x"), "/plain/path?x");
    EXPECT_EQ(cgiLogEscape("/a\nb\r\tc\x7f"
                           "d\x1b"),
              "/a%0Ab%0D%09c%7Fd%1B");
    EXPECT_EQ(cgiLogEscape("/caf\xc3\xa9 %41"), "/caf\xc3\xa9 %41");
}

/* The file of a posted form is the part named "file" (else the first part with a file name),
 * bounded by the boundary that the Content-Type names; a form that is not built so is refused
 * (null and a reason), and any other body is handed over as it stands. */
TEST(CgiText, MultipartCut)
{
    const char* const kRefused = nullptr;
    struct Case {
        const char* szContentType;
        const char* szBody;
        const char* szOut; /* kRefused: null, with the reason below */
        const char* szReason;
    } cases[] = {
        {"multipart/form-data; boundary=X",
         "--X\r\nContent-Disposition: form-data; name=\"file\"; filename=\"a.json\"\r\n\r\n{\"a\":1}\r\n--X--\r\n",
         "{\"a\":1}", ""},
        /* The part named "file" wins over an earlier part with a file name. */
        {"MULTIPART/FORM-DATA; boundary=X",
         "--X\r\nContent-Disposition: form-data; name=\"other\"; filename=\"o.json\"\r\n\r\nother\r\n"
         "--X\r\nContent-Disposition: form-data; name=file\r\n\r\nmine\r\n--X--",
         "mine", ""},
        /* Without it, the first part with a file name; a quoted boundary; a preamble. */
        {"multipart/form-data; charset=utf-8; boundary=\"a b\"",
         "preamble\r\n--a b\r\nContent-Disposition: form-data; name=\"x\"\r\n\r\nplain\r\n"
         "--a b\r\nContent-Disposition: form-data; name=\"y\"; filename=\"c.json\"\r\n\r\n{}\r\n--a b--\r\nepilogue",
         "{}", ""},
        /* A CRLF and "--" inside the file that are no delimiter of this form stay in it. */
        {"multipart/form-data; boundary=XYZ",
         "--XYZ\r\nContent-Disposition: form-data; name=\"file\"; filename=\"a.json\"\r\n\r\n{}\r\n--trailing\r\n--XYZ--",
         "{}\r\n--trailing", ""},
        /* An empty file is a file. */
        {"multipart/form-data; boundary=X",
         "--X\r\nContent-Disposition: form-data; name=\"file\"; filename=\"\"\r\n\r\n\r\n--X--", "", ""},
        {"multipart/form-data", "--X\r\n\r\nbody\r\n--X--", kRefused, "the form names no boundary"},
        {"multipart/form-data; boundary=", "--\r\n\r\nbody\r\n----", kRefused, "the form names no boundary"},
        {"multipart/form-data; boundary=Y", "--X\r\n\r\nbody\r\n--X--", kRefused,
         "the body holds no part bounded by the form's boundary"},
        {"multipart/form-data; boundary=X", "--X\r\nContent-Disposition: form-data; name=\"file\"\r\n\r\n{} and no end",
         kRefused, "a part does not end at the form's boundary"},
        {"multipart/form-data; boundary=X", "--Xmore\r\n\r\nbody\r\n--X--", kRefused,
         "a part does not end at the form's boundary"},
        {"multipart/form-data; boundary=X", "--X\r\nContent-Disposition: form-data; name=\"file\"", kRefused,
         "a part of the form has no end to its header"},
        {"multipart/form-data; boundary=X", "--X\r\nContent-Disposition: form-data; name=\"file\"\r\n\r\n{}\r\n--X\r\n",
         kRefused, "a part of the form has no end to its header"},
        {"multipart/form-data; boundary=X", "--X\r\nContent-Disposition: form-data; name=\"x\"\r\n\r\nv\r\n--X--",
         kRefused, "the form holds no file"},
        {"multipart/form-data; boundary=X", "", kRefused, "the body holds no part bounded by the form's boundary"},
        {"multipart/form-dat", "head\r\n\r\nbody\r\n--X", "head\r\n\r\nbody\r\n--X", ""},
        {"application/json", "a\r\n\r\nb\r\n--c", "a\r\n\r\nb\r\n--c", ""},
        {nullptr, "a\r\n\r\nb\r\n--c", "a\r\n\r\nb\r\n--c", ""},
    };
    for (const Case& c : cases) {
        std::string strBuf = c.szBody;
        size_t cch = strBuf.size();
        std::string strReason;
        const char* szCut = cgiMultipartCut(&strBuf[0], &cch, c.szContentType, &strReason);
        if (c.szOut == kRefused) {
            EXPECT_EQ(szCut, nullptr) << c.szBody;
            EXPECT_EQ(strReason, c.szReason) << c.szBody;
            continue;
        }
        ASSERT_NE(szCut, nullptr) << c.szBody << ": " << strReason;
        EXPECT_STREQ(szCut, c.szOut) << c.szBody;
        EXPECT_EQ(cch, strlen(c.szOut)) << c.szBody;
    }
    /* A NUL byte in the file is part of it: the length keeps what lies after it. */
    static const char s_szNul[] = "--X\r\nContent-Disposition: form-data; name=\"file\"\r\n\r\n{}\0tail\r\n--X--";
    std::string strNul(s_szNul, sizeof(s_szNul) - 1);
    size_t cch = strNul.size();
    std::string strReason;
    const char* szCut = cgiMultipartCut(&strNul[0], &cch, "multipart/form-data; boundary=X", &strReason);
    ASSERT_NE(szCut, nullptr) << strReason;
    EXPECT_EQ(std::string(szCut, cch), std::string("{}\0tail", 7));
}

/* Which requests count as made by a page of another site: Sec-Fetch-Site decides when it is
 * there; without it, an Origin that is not the server's own scheme and host; with neither header
 * (a script, an address typed in the browser) none. */
TEST(CgiText, OtherSiteHeaders)
{
    struct Case {
        const char* szFetchSite;
        const char* szOrigin;
        const char* szHost;
        bool bTls;
        bool bOther;
    } cases[] = {
        {"same-origin", nullptr, "127.0.0.1:8888", false, false},
        {"none", nullptr, "127.0.0.1:8888", false, false},
        {"cross-site", nullptr, "127.0.0.1:8888", false, true},
        {"same-site", nullptr, "127.0.0.1:8888", false, true},
        {"", nullptr, "127.0.0.1:8888", false, true},
        /* The fetch metadata decide, whatever the Origin says. */
        {"same-origin", "http://evil.example", "127.0.0.1:8888", false, false},
        {"cross-site", "http://127.0.0.1:8888", "127.0.0.1:8888", false, true},
        {nullptr, "http://127.0.0.1:8888", "127.0.0.1:8888", false, false},
        {nullptr, "HTTP://127.0.0.1:8888", "127.0.0.1:8888", false, false},
        {nullptr, "http://127.0.0.1:9000", "127.0.0.1:8888", false, true},
        {nullptr, "http://127.0.0.2:8888", "127.0.0.1:8888", false, true},
        {nullptr, "https://127.0.0.1:8888", "127.0.0.1:8888", false, true},
        {nullptr, "https://127.0.0.1:8888", "127.0.0.1:8888", true, false},
        {nullptr, "http://127.0.0.1:8888", "127.0.0.1:8888", true, true},
        {nullptr, "null", "127.0.0.1:8888", false, true},
        {nullptr, "http://127.0.0.1:8888", nullptr, false, true},
        {nullptr, nullptr, "127.0.0.1:8888", false, false},
        {nullptr, nullptr, nullptr, false, false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(cgiOtherSite(c.szFetchSite, c.szOrigin, c.szHost, c.bTls), c.bOther)
            << (c.szFetchSite ? c.szFetchSite : "-") << " / " << (c.szOrigin ? c.szOrigin : "-") << " / "
            << (c.szHost ? c.szHost : "-") << (c.bTls ? " (TLS)" : "");
    }
}

/* Methods, paths and content types are matched on ASCII letters only: no locale folds other
 * bytes (or a dotless i) into a match. */
TEST(CgiText, PrefixNoCase)
{
    struct Case {
        const char* sz;
        const char* szPrefix;
        bool bMatch;
    } cases[] = {
        {"/login", "/logi", true},
        {"/LOGIN", "/logi", true},
        {"/logi", "/logi", true},
        {"/log", "/logi", false},
        {"", "/logi", false},
        {"/logo", "/logi", false},
        {"/Channel12", "/channel", true},
        {"x", "", true},
        {"\xc9t\xe9", "\xe9t\xe9", false}, /* Latin-1 capital and small e acute stay apart */
    };
    for (const Case& c : cases)
        EXPECT_EQ(ruxoStartsNoCase(c.sz, c.szPrefix), c.bMatch) << c.sz << " / " << c.szPrefix;
}

TEST(CgiTitles, Title)
{
    EXPECT_STREQ(ruxoAppTitle(), "Strovanta!");
    EXPECT_EQ(ruxoAppTitle(), ruxoAppTitle());
}

/* The one way this server turns a member into a boolean ("enable" of a channel, "sslEnable"). */
TEST(CgiJson, SetBoolReplacesInPlaceOrAdds)
{
    struct Case {
        const char* szIn;
        bool bValue, bAdd, bDone;
        const char* szOut;
    } cases[] = {
        {"{\"a\":1,\"enable\":false,\"z\":2}", true, true, true, "{\"a\":1,\"enable\":true,\"z\":2}"},
        {"{\"ENABLE\":\"yes\",\"z\":2}", false, true, true, "{\"ENABLE\":false,\"z\":2}"},
        {"{\"Enable\":1,\"enable\":2}", true, false, true, "{\"Enable\":true,\"enable\":2}"},
        {"{\"z\":2}", true, true, true, "{\"z\":2,\"enable\":true}"},
        {"{\"z\":2}", true, false, false, "{\"z\":2}"},
        {"[1]", true, true, false, "[1]"},
    };
    for (const Case& c : cases) {
        cJSON* json = cJSON_Parse(c.szIn);
        ASSERT_NE(json, nullptr) << c.szIn;
        EXPECT_EQ(jsonSetBool(json, "enable", c.bValue, c.bAdd), c.bDone) << c.szIn;
        char* sz = cJSON_PrintUnformatted(json);
        EXPECT_STREQ(sz, c.szOut) << c.szIn;
        cJSON_free(sz);
        cJSON_Delete(json);
    }
    EXPECT_FALSE(jsonSetBool(nullptr, "enable", true, true));
}
