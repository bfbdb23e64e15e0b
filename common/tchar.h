/* tchar.h -- character-width-neutral text types of the application layer. Text is narrow here, so
 * TCHAR is char and the conversions between "wide" and UTF-8 text are plain copies. */
#ifndef RUXO_TCHAR_H
#define RUXO_TCHAR_H

#include "ruxo.h" /* BOOL, TRUE and FALSE: the engine's interface owns them */

typedef char TCHAR;
typedef char* LPTSTR;
typedef const char* LPCTSTR;
#ifndef _T
#define _T(x) x
#endif

#endif
