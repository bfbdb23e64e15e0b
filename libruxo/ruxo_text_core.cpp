/* ruxo_text_core.cpp -- ASCII case-blind compares, prefix and suffix tests, and writeAll. */
#include "ruxo_text_core.h"

#include <errno.h>
#include <string.h>
#include <unistd.h>

int ruxoStrCaseCmp(const char* a, const char* b)
{
    if (a == b)
        return 0;
    if (a == nullptr)
        return -1;
    if (b == nullptr)
        return 1;
    for (;; a++, b++) {
        int ca = ruxoAsciiLower((unsigned char)*a), cb = ruxoAsciiLower((unsigned char)*b);
        if (ca != cb || ca == 0)
            return ca - cb;
    }
}

bool ruxoStartsWith(const char* s, const char* szPrefix)
{
    return s != nullptr && strncmp(s, szPrefix, strlen(szPrefix)) == 0;
}

/* A character's code: a byte as unsigned, a wide character as it is. */
static int _code(char c)
{
    return (unsigned char)c;
}

static int _code(wchar_t c)
{
    return (int)c;
}

/* Whether the cch characters at s equal szPrefix's first cch, ASCII case ignored. */
template <typename C>
static bool _equalNoCase(const C* s, const char* szPrefix, size_t cch)
{
    for (size_t i = 0; i < cch; i++) {
        if (ruxoAsciiLower(_code(s[i])) != ruxoAsciiLower(_code(szPrefix[i])))
            return false;
    }
    return true;
}

template <typename C>
static bool _startsNoCase(const C* s, const char* szPrefix)
{
    if (s == nullptr)
        return false;
    /* s ends at its NUL, which differs from every character of the prefix. */
    for (; *szPrefix != '\0'; s++, szPrefix++) {
        if (ruxoAsciiLower(_code(*s)) != ruxoAsciiLower(_code(*szPrefix)))
            return false;
    }
    return true;
}

template <typename C>
static bool _endsNoCase(const C* s, const char* szSuffix)
{
    if (s == nullptr)
        return false;
    size_t n = std::char_traits<C>::length(s);
    size_t m = strlen(szSuffix);
    return n >= m && _equalNoCase(s + (n - m), szSuffix, m);
}

bool ruxoStartsNoCase(const char* s, const char* szPrefix)
{
    return _startsNoCase(s, szPrefix);
}

bool ruxoStartsNoCase(const wchar_t* s, const char* szPrefix)
{
    return _startsNoCase(s, szPrefix);
}

bool ruxoStartsNoCase(const std::string& str, const char* szPrefix)
{
    size_t cch = strlen(szPrefix);
    return str.size() >= cch && _equalNoCase(str.data(), szPrefix, cch);
}

bool ruxoEndsNoCase(const char* s, const char* szSuffix)
{
    return _endsNoCase(s, szSuffix);
}

bool ruxoEndsNoCase(const wchar_t* s, const char* szSuffix)
{
    return _endsNoCase(s, szSuffix);
}

bool ruxoEndsNoCase(const std::string& str, const char* szSuffix)
{
    size_t cch = strlen(szSuffix);
    return str.size() >= cch && _equalNoCase(str.data() + (str.size() - cch), szSuffix, cch);
}

bool writeAll(int fd, const char* p, size_t n)
{
    while (n > 0) {
        ssize_t nDone = write(fd, p, n);
        if (nDone < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        if (nDone == 0) {
            errno = EIO;
            return false;
        }
        p += nDone;
        n -= (size_t)nDone;
    }
    return true;
}
