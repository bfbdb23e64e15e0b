/* ruxo_cmdline_internal.h -- the pieces behind the transcode start: the command-line builder, the
 * per-record option writers, the option reader, the SDP helpers and locale-free number formatting.
 * Shared by libruxo's own files and its tests; not for use elsewhere. */
#ifndef RUXO_CMDLINE_INTERNAL_H
#define RUXO_CMDLINE_INTERNAL_H

#include <stdio.h>

#include <string>

#include "ruxo.h"

/* The longest command line a transcoder accepts, without its terminator. */
#define RUXO_MAX_LINE (RUXO_MAX_ARG - 1)

/* Common body of the four start entry points: start and error log lines around _ruxoTranscode.
 * pSources/pTargets are RUXO_SOURCE_A/RUXO_TARGET_A arrays, or the _W ones when bUnicode is 1. */
int _ruxoTranscodeImpl(int iChannel, const void* pSources, int nSources, const void* pTargets, int nTargets,
                       int bUnicode, int bPreview);
/* The checks, the line, its log entry and the hand-over to the process start. */
int _ruxoTranscode(int iChannel, const void* pSources, int nSources, const void* pTargets, int nTargets, int bUnicode,
                   int bPreview);

/* Builds the whole line of a start into `line` (cleared first): the "-v" prefix, every source, every
 * target, then the length check. Touches no slot and starts nothing. Returns 0, -6, -7, -8, -9 or -10;
 * *pbTooLong (when given) says whether a -7 or -8 came from a line longer than RUXO_MAX_LINE. */
int _ruxoBuildLine(int iChannel, const void* pSources, int nSources, const void* pTargets, int nTargets, int bUnicode,
                   std::string& line, bool* pbTooLong = nullptr);

/* Appends one source's options to `line`: 0, -6 or -7. */
int _ruxoMakeInputArg(int iChannel, const void* pSource, std::string& line, int bUnicode);
/* Appends one target's options to `line`: 0, -8, -9 or -10. */
int _ruxoMakeOutputArg(int iChannel, const void* pTarget, std::string& line, int bUnicode);

/* Finds the first szOpt in szLine; when a decimal integer follows (leading blanks skipped, optional
 * sign) stores it in *pVal and returns 1, else leaves *pVal alone and returns 0. */
int _parseOptA(const char* szLine, const char* szOpt, int* pVal);
int _parseOptW(const wchar_t* szLine, const wchar_t* szOpt, int* pVal);

/* Converts wide text to multibyte text under the process's locale; false when a character has no
 * multibyte form. A null pointer gives the empty text. */
bool _ruxoWideToNarrow(const wchar_t* pszWide, std::string& out);

/* Numbers for the command line, always with a full stop whatever the locale. */
std::string _ruxoFixed1(double value);  /* as "%.1f" */
std::string _ruxoGeneral(double value); /* as "%g" */

/* SDP helpers. */
const char* getCodecMimeName(RUXO_CODEC codec);
/* Dotted decimal text of the IPv4 address in the low 32 bits of addr (network byte order), in a
 * per-thread buffer that stays valid until this thread's next call. */
char* Inet_ntoaA(unsigned long addr);
int ruxoExportSdpInternal(FILE* fpSdp, const RUXO_VIDEO_STREAM* pVideo, const RUXO_AUDIO_STREAM* pAudio, int iSrc);
int ruxoImportSdpInternal(FILE* fpSdp, RUXO_VIDEO_STREAM* pVideo, RUXO_AUDIO_STREAM* pAudio, int iDst);

#endif
