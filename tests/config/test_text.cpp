/* test_text.cpp -- the text helpers of the application layer: parseOpt in its four forms (the key
 * anywhere in the text, base-0 numbers, a missing key, a key at the very end, values past the int
 * range, a word that does not fit its buffer) and the copy cut on a UTF-8 boundary, with the
 * narrow-text conversions built on it. */
#include <limits.h>
#include <string.h>

#include <gtest/gtest.h>

#include <string>

#include "ruxo_text.h"

TEST(ParseOpt, NumbersAfterTheKey)
{
    struct {
        const char* szLine;
        const char* szKey;
        BOOL bFound;
        int nValue; /* 77 when untouched */
    } cases[] = {
        {"", "output=", FALSE, 77},
        {"output=0", "output=", TRUE, 0},
        {"output=1", "output=", TRUE, 1},
        {"output=0x10", "output=", TRUE, 16},
        {"output=0X1f&y", "output=", TRUE, 31},
        {"xoutput=1", "output=", TRUE, 1},  /* found anywhere */
        {"Output=1", "output=", FALSE, 77}, /* case counts */
        {"output=abc", "output=", TRUE, 0},
        {"timeout=010", "timeout=", TRUE, 8}, /* octal */
        {"timeout=2&x=1", "timeout=", TRUE, 2},
        {"a=1&timeout=", "timeout=", TRUE, 0}, /* the key at the very end */
        {"timeout= -3", "timeout=", TRUE, -3},
        {"timeout=1&timeout=9", "timeout=", TRUE, 1}, /* the first occurrence */
        {"timeout=99999999999999999999", "timeout=", TRUE, INT_MAX},
        {"timeout=-4294967297", "timeout=", TRUE, INT_MIN},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.szLine);
        int nValue = 77;
        EXPECT_EQ(parseOpt(c.szLine, c.szKey, &nValue), c.bFound);
        EXPECT_EQ(nValue, c.nValue);

        /* The wide form reads the same. */
        std::wstring wstrLine(c.szLine, c.szLine + strlen(c.szLine));
        std::wstring wstrKey(c.szKey, c.szKey + strlen(c.szKey));
        int nWide = 77;
        EXPECT_EQ(parseOpt(wstrLine.c_str(), wstrKey.c_str(), &nWide), c.bFound);
        EXPECT_EQ(nWide, c.nValue);
    }
    int nValue = 77;
    EXPECT_EQ(parseOpt(nullptr, "output=", &nValue), FALSE);
    EXPECT_EQ(nValue, 77);
}

TEST(ParseOpt, TextAfterTheKeyNeverPastItsBuffer)
{
    char szVal[8];
    memset(szVal, 'z', sizeof(szVal));
    /* One word, up to the next blank; cut to the buffer. */
    EXPECT_EQ(parseOpt("a=1&name=abcdefghijkl more", "name=", szVal, nullptr, 4), 1);
    EXPECT_STREQ(szVal, "abc");
    EXPECT_EQ(szVal[4], 'z');
    EXPECT_EQ(parseOpt("name=ab cd", "name=", szVal, nullptr, sizeof(szVal)), 1);
    EXPECT_STREQ(szVal, "ab");
    /* Nothing after the key stores nothing; a missing key is FALSE. */
    strcpy(szVal, "keep");
    EXPECT_EQ(parseOpt("name=", "name=", szVal, nullptr, sizeof(szVal)), 0);
    EXPECT_EQ(parseOpt("other=1", "name=", szVal, nullptr, sizeof(szVal)), FALSE);
    EXPECT_STREQ(szVal, "keep");
    EXPECT_EQ(parseOpt("name=abc", "name=", szVal, nullptr, 1), 0);
    EXPECT_STREQ(szVal, "");
    /* A format of the caller's. */
    EXPECT_EQ(parseOpt("name=ab&cd", "name=", szVal, "%7[^&]", sizeof(szVal)), 1);
    EXPECT_STREQ(szVal, "ab");

    wchar_t wszVal[8];
    wmemset(wszVal, L'z', 8);
    EXPECT_EQ(parseOpt(L"name=\u00e9t\u00e9s&x", L"name=", wszVal, nullptr, 4), 1);
    EXPECT_STREQ(wszVal, L"\u00e9t\u00e9");
    EXPECT_EQ(wszVal[4], L'z');
    int n = 0;
    EXPECT_EQ(parseOpt(L"n=42", L"n=", &n, L"%d", 1), 1);
    EXPECT_EQ(n, 42);
    EXPECT_EQ(parseOpt(L"n=42", L"m=", &n, nullptr, 1), FALSE);
}

TEST(CopyText, CutsOnACharacterBoundary)
{
    struct {
        std::string strSrc;
        size_t cchDst;
        std::string strExpected;
    } cases[] = {
        {"abc", 4, "abc"},
        {"abcd", 4, "abc"},
        {"ab\xC3\xA9", 4, "ab"},               /* é would not fit whole */
        {"a\xE2\x82\xAC", 5, "a\xE2\x82\xAC"}, /* € fits exactly */
        {"a\xE2\x82\xAC", 4, "a"},
        {"\xF0\x9F\x8E\xA5x", 4, ""},
        {"", 4, ""},
        {"abc", 1, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.strSrc);
        char szDst[8];
        memset(szDst, 'z', sizeof(szDst));
        EXPECT_EQ(ruxoCopyText(szDst, c.cchDst, c.strSrc.data(), c.strSrc.size()), c.strExpected.size());
        EXPECT_EQ(std::string(szDst), c.strExpected);
        EXPECT_EQ(szDst[c.cchDst], 'z'); /* nothing written past the buffer */
    }
}

TEST(CopyText, NarrowTextConversionsAreTheCopy)
{
    char szBuf[6] = "?????";
    EXPECT_FALSE(utf8totcs(nullptr, szBuf, sizeof(szBuf)));
    EXPECT_STREQ(szBuf, "?????"); /* a null source leaves the destination as it was */
    EXPECT_TRUE(utf8totcs("caf\xC3\xA9", szBuf, sizeof(szBuf)));
    EXPECT_STREQ(szBuf, "caf\xC3\xA9");
    EXPECT_FALSE(tcstoutf8("longer text", szBuf, sizeof(szBuf)));
    EXPECT_STREQ(szBuf, "longe");
    EXPECT_FALSE(tcstoutf8("x", szBuf, 0));
    EXPECT_STREQ(szBuf, "longe");
}
