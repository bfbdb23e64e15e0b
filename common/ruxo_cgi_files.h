/* ruxo_cgi_files.h -- the web page's files linked into the program, and the download handler that
 * serves them and the optional logo beside the program. */
#ifndef RUXO_CGI_FILES_H
#define RUXO_CGI_FILES_H

#include <microhttpd.h>

#include "tchar.h"

/* One embedded file: its name (the request path less its "/"), its length and its first byte. The
 * bytes are the file exactly as linked: not terminated, never copied or changed. */
typedef struct {
    const char* szFile;
    int nSize;
    const char* buf;
} RUXO_CGI_FILE;

#define RUXO_CGI_FILE_COUNT 16

/* The page, its style sheet and script, and 13 icons, then a terminator (null name, size 0). Filled
 * during static initialisation; nothing changes it afterwards. */
extern const RUXO_CGI_FILE g_cgiFiles[RUXO_CGI_FILE_COUNT + 1];

/* Answers a request that no API route took: an embedded file (name compared without regard to
 * case) or the logo "ruxooem.png"; 404 for anything else. szArgs (may be null) holding "dl=1" adds the download header. Returns 1 when a reply was
 * queued, 0 when the library refused it or its download header. Web thread only. */
int ruxoCGIDownload(MHD_Connection* conn, const char* szPath, const char* szArgs);

/* Queues a file reply with status 200: the keep-alive header, its content type, its cache rule
 * and, when szDisposition is not null, the download header (a refused one queues nothing). Lets go
 * of the reply on every path. */
int cgiQueueFile(MHD_Connection* conn, MHD_Response* pResponse, const char* szContentType, const char* szCache,
                 const char* szDisposition);

/* The logo file's path: the program's folder and "ruxooem.png"; built at the first call. */
const TCHAR* ruxoOEMLogoFileName(void);

/* A reply that owns a fresh copy of the named file's bytes, read at each call; null when the file
 * does not open, is no regular file, is empty or is larger than 999,999 bytes. */
MHD_Response* ruxoCGIDownloadExt(const TCHAR* tszfn);

#endif
