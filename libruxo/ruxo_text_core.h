/* ruxo_text_core.h -- the text helpers that the engine, the application layer and the stand-in
 * transcoder share, with no dependency of their own: ASCII case-blind compares and prefix and
 * suffix tests (never the locale's case rules, so a Turkish locale still folds 'I' to 'i'), and
 * writeAll, the one loop that writes a whole buffer to a descriptor. */
#ifndef RUXO_TEXT_CORE_H
#define RUXO_TEXT_CORE_H

#include <stddef.h>
#include <wchar.h>

#include <string>

/* 'A' to 'Z' folded to lower case; every other character as it is. */
inline int ruxoAsciiLower(int c)
{
    return (c >= 'A' && c <= 'Z') ? c - 'A' + 'a' : c;
}

/* Compares two texts with ASCII case ignored: below, at or above zero as strcmp. A null text
 * sorts before every other, two null texts are equal. */
int ruxoStrCaseCmp(const char* a, const char* b);
/* ruxoStrCaseCmp(a, b) == 0 for two texts that are not null, inline: the lookups of every status
 * reply and supervision step run it. */
inline bool ruxoStrCaseEqual(const char* a, const char* b)
{
    for (;; a++, b++) {
        int ca = (unsigned char)*a, cb = (unsigned char)*b;
        if (ca == cb) {
            if (ca == '\0')
                return true;
            continue;
        }
        if (ruxoAsciiLower(ca) != ruxoAsciiLower(cb))
            return false;
    }
}

/* Whether s begins with szPrefix, case counting (false for a null s). */
bool ruxoStartsWith(const char* s, const char* szPrefix);
/* Whether s (or str, all of its bytes) begins or ends with the ASCII text szPrefix or szSuffix,
 * ASCII case ignored; a wide character outside ASCII never matches. False for a null s. */
bool ruxoStartsNoCase(const char* s, const char* szPrefix);
bool ruxoStartsNoCase(const wchar_t* s, const char* szPrefix);
bool ruxoStartsNoCase(const std::string& str, const char* szPrefix);
bool ruxoEndsNoCase(const char* s, const char* szSuffix);
bool ruxoEndsNoCase(const wchar_t* s, const char* szSuffix);
bool ruxoEndsNoCase(const std::string& str, const char* szSuffix);

/* Writes the n bytes at p to fd, continuing after short writes and retrying after EINTR. False
 * with errno at the first other failure; a descriptor that takes nothing gives EIO, and one that
 * would block gives EAGAIN at once (a non-blocking caller gives up rather than wait). */
bool writeAll(int fd, const char* p, size_t n);

#endif
