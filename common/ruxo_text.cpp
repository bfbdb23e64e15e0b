/* ruxo_text.cpp -- reading named values out of query texts, and the bounded UTF-8-aware copy with
 * the narrow-text conversions built on it. */
#include "ruxo_text.h"

#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

/* strtol's result held to the int range (strtol itself saturates at the long range). */
static int _clampInt(long n)
{
    if (n > INT_MAX)
        return INT_MAX;
    if (n < INT_MIN)
        return INT_MIN;
    return (int)n;
}

BOOL parseOpt(const char* szLine, const char* szOpt, int* pVal)
{
    if (szLine == nullptr || szOpt == nullptr || pVal == nullptr)
        return FALSE;
    const char* p = strstr(szLine, szOpt);
    if (p == nullptr)
        return FALSE;
    *pVal = _clampInt(strtol(p + strlen(szOpt), nullptr, 0));
    return TRUE;
}

BOOL parseOpt(const wchar_t* wszLine, const wchar_t* wszOpt, int* pVal)
{
    if (wszLine == nullptr || wszOpt == nullptr || pVal == nullptr)
        return FALSE;
    const wchar_t* p = wcsstr(wszLine, wszOpt);
    if (p == nullptr)
        return FALSE;
    *pVal = _clampInt(wcstol(p + wcslen(wszOpt), nullptr, 0));
    return TRUE;
}

BOOL parseOpt(const char* szLine, const char* szOpt, char* szVal, const char* szFmt, size_t cchVal)
{
    if (szLine == nullptr || szOpt == nullptr || szVal == nullptr)
        return FALSE;
    const char* p = strstr(szLine, szOpt);
    if (p == nullptr)
        return FALSE;
    const char* szRest = p + strlen(szOpt);
    int n;
    if (szFmt != nullptr) {
        n = sscanf(szRest, szFmt, szVal);
    } else {
        /* A word of at most cchVal - 1 characters: sscanf stops there and adds the NUL. */
        if (cchVal < 2) {
            if (cchVal == 1)
                szVal[0] = '\0';
            return 0;
        }
        char szWordFmt[32];
        snprintf(szWordFmt, sizeof(szWordFmt), "%%%zus", cchVal - 1);
        n = sscanf(szRest, szWordFmt, szVal);
    }
    /* EOF (nothing after the key) stores nothing: no value, not a success. */
    return n > 0 ? n : 0;
}

BOOL parseOpt(const wchar_t* wszLine, const wchar_t* wszOpt, void* wszVal, const wchar_t* wszFmt, size_t cchVal)
{
    if (wszLine == nullptr || wszOpt == nullptr || wszVal == nullptr)
        return FALSE;
    const wchar_t* p = wcsstr(wszLine, wszOpt);
    if (p == nullptr)
        return FALSE;
    const wchar_t* wszRest = p + wcslen(wszOpt);
    int n;
    if (wszFmt != nullptr) {
        n = swscanf(wszRest, wszFmt, wszVal);
    } else {
        wchar_t* wszOut = (wchar_t*)wszVal;
        if (cchVal < 2) {
            if (cchVal == 1)
                wszOut[0] = L'\0';
            return 0;
        }
        wchar_t wszWordFmt[32];
        swprintf(wszWordFmt, sizeof(wszWordFmt) / sizeof(wszWordFmt[0]), L"%%%zuls", cchVal - 1);
        n = swscanf(wszRest, wszWordFmt, wszOut);
    }
    return n > 0 ? n : 0;
}

size_t ruxoCopyText(LPTSTR tszDst, size_t cchDst, const char* szSrc, size_t cchSrc)
{
    if (tszDst == nullptr || cchDst == 0)
        return 0;
    size_t cch = szSrc != nullptr ? cchSrc : 0;
    if (cch > cchDst - 1) {
        cch = cchDst - 1;
        /* szSrc[cch] is the first byte left out: while it continues a character, that character
         * is left out whole. */
        while (cch > 0 && ((unsigned char)szSrc[cch] & 0xC0) == 0x80)
            cch--;
    }
    if (cch > 0)
        memcpy(tszDst, szSrc, cch);
    tszDst[cch] = '\0';
    return cch;
}

/* The whole text copied, or FALSE: it had to be cut, or there was nothing to copy into. */
static BOOL _copyWhole(char* szDst, size_t cchDst, const char* szSrc)
{
    if (szSrc == nullptr || szDst == nullptr || cchDst == 0)
        return FALSE;
    size_t cchSrc = strlen(szSrc);
    return ruxoCopyText(szDst, cchDst, szSrc, cchSrc) == cchSrc ? TRUE : FALSE;
}

BOOL utf8totcs(const char* utf8str, LPTSTR tstr, size_t cchTstr)
{
    return _copyWhole(tstr, cchTstr, utf8str);
}

BOOL tcstoutf8(LPCTSTR tstr, char* utf8str, size_t sz)
{
    return _copyWhole(utf8str, sz, tstr);
}
