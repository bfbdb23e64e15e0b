/* ruxo_text.h -- small text helpers of the application layer: reading a named value out of a
 * query text ("output=1&x=2") with parseOpt, and copying text into a fixed buffer without ever
 * writing past it or cutting a UTF-8 character in two (utf8totcs and tcstoutf8 among them). The
 * helpers it shares with the engine and the stand-in transcoder (case-blind compares, prefix
 * tests, writeAll) are ruxo_text_core.h. */
#ifndef RUXO_TEXT_H
#define RUXO_TEXT_H

#include <stddef.h>
#include <wchar.h>

#include "ruxo_text_core.h"
#include "tchar.h"

/* parseOpt looks for the first occurrence of szOpt anywhere in szLine (a plain, case-sensitive
 * substring search: "xoutput=1" holds "output=") and reads the value right after it. */

/* The number after the key, read as strtol does with base 0 ("0x10" hexadecimal, "010" octal,
 * leading blanks and a sign accepted, no digits read as 0), held to the int range. TRUE when the
 * key was found; FALSE, and *pVal untouched, when not. */
BOOL parseOpt(const char* szLine, const char* szOpt, int* pVal);
BOOL parseOpt(const wchar_t* wszLine, const wchar_t* wszOpt, int* pVal);

/* The text after the key read with sscanf and szFmt into szVal. Without a format (null) it reads
 * one word (up to the next white space) into the buffer of cchVal characters, cut to fit; a
 * format of the caller's must bound its own conversions to cchVal. FALSE when the key is not
 * found, else the number of values stored (0 when nothing follows the key). */
BOOL parseOpt(const char* szLine, const char* szOpt, char* szVal, const char* szFmt, size_t cchVal);
/* The same in wide text with swscanf; without a format one word is stored as wide text into
 * wszVal, a buffer of cchVal wide characters. */
BOOL parseOpt(const wchar_t* wszLine, const wchar_t* wszOpt, void* wszVal, const wchar_t* wszFmt, size_t cchVal);

/* Copies the first cchSrc bytes of szSrc into tszDst (cchDst characters, NUL included, at least
 * 1), cut when they do not fit, at the start of the UTF-8 character that would not fit whole.
 * Always NUL-terminates. Returns the number of bytes copied. */
size_t ruxoCopyText(LPTSTR tszDst, size_t cchDst, const char* szSrc, size_t cchSrc);

/* Text is narrow, so converting it to and from UTF-8 is that copy: into a destination of cch
 * characters, NUL included. FALSE when the text had to be cut (or there is no room at all); a null
 * source leaves the destination untouched. */
BOOL utf8totcs(const char* utf8str, LPTSTR tstr, size_t cchTstr);
BOOL tcstoutf8(LPCTSTR tstr, char* utf8str, size_t sz);

#endif
