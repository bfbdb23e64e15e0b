/* ruxo_cgi_internal.h -- what the web server (ruxo_cgi.cpp), its API routes (ruxo_routes.cpp) and
 * its downloads (ruxo_cgi_files.cpp) share. Everything here runs on the web server's one polling
 * thread. */
#ifndef RUXO_CGI_INTERNAL_H
#define RUXO_CGI_INTERNAL_H

#include <cjson/cJSON.h>
#include <microhttpd.h>
#include <stdint.h>

#include <string>
#include <utility>
#include <vector>

#include "ruxo_cgi.h"

typedef std::vector<std::pair<std::string, std::string>> CGI_HEADERS;

/* Queues one reply with a copy of strBody. Returns 1 when the reply was queued, 0 when the library
 * refused it or one of the Set-Cookie, Location or Content-Disposition headers.
 * The headers are added in list order; szContentType, when not null, is added after them as
 * "Content-Type" (pass null and list "Content-Type" yourself to place it elsewhere). A "Connection"
 * header in the list also sets the reply's keep-alive flag (MHD_RF_SEND_KEEP_ALIVE_HEADER); the
 * library refuses to add that header itself, so only the flag takes effect. */
int cgiReply(MHD_Connection* conn, unsigned int nStatus, const std::string& strBody,
             const char* szContentType, const CGI_HEADERS& headers = CGI_HEADERS());
/* The same for a reply that the caller made (a file served in place, a buffer the reply frees):
 * adds the headers as above, queues it and lets go of it on every path. */
int cgiQueueReply(MHD_Connection* conn, unsigned int nStatus, MHD_Response* pResponse,
                  const char* szContentType, const CGI_HEADERS& headers);

/* The Set-Cookie value that carries the login password: "auth=" and the password percent-encoded
 * outside [A-Za-z0-9-._~], then "; SameSite=Strict; HttpOnly". Every place that sets the login
 * cookie (the login path, a plain configuration post) uses it, so the login gate's decoding gives
 * back exactly the password. */
std::string cgiLoginCookie(const std::string& strPass);

/* The router (ruxo_cgi.cpp): the login gate, then ruxoCGIRoute. */
int ruxoCGI(MHD_Connection* conn, const char* szPath, char* szPost);

/* The API routes behind the login gate (ruxo_routes.cpp). szArgs is the query text as the router
 * builds it ("k=v&k2"), szPost the body of a POST (writable), null for a GET. */
int ruxoCGIRoute(MHD_Connection* conn, const char* szPath, const char* szArgs, char* szPost);

/* ---- pieces of the web server that stand alone (ruxo_cgi.cpp) ------------------------------- */

/* Size of the one request-body buffer; a body keeps at most RUXO_CGI_POST_MAX - 1 characters.
 * A 64-channel configuration with five targets per channel prints to about 300 KB. */
#define RUXO_CGI_POST_MAX (1024 * 1024)

/* Seconds after which an idle connection is closed; read at each server start. */
extern unsigned int g_nCGIIdleTimeout;

/* The access-list verdict for a client (IPv4 address in host byte order): TRUE to admit. */
BOOL cgiAclAllows(const char* szAcl, uint32_t ulHostAddr);
/* Whether one network token of the access list ("a.b.c.d", "a.b.c.d/n", "all") covers the client. */
BOOL cgiAclNetMatches(const char* szNet, uint32_t ulHostAddr);

/* The whole of a regular file of 1 to cbMax bytes (as text, NUL-terminated); empty when it does not
 * open, is no regular file (a folder, a pipe, a device), is empty or is larger. It is opened
 * without blocking, so a named pipe at the path cannot hold the caller. Certificates, keys, the
 * logo. */
std::string cgiReadFile(const std::string& strfn, size_t cbMax);

/* Whether sz begins with szPrefix, ASCII case ignored (ruxoStrCaseCmp: the locale never counts).
 * Methods, paths and header names go through ruxoStrCaseCmp or this. */
bool cgiHasPrefixNoCase(const char* sz, const char* szPrefix);

/* Form decoding: "%XX" becomes its byte, "+" a blank, anything else (a lone "%" too) is copied. */
std::string _urlDecode(const char* sz, size_t cch);
/* Percent-encoding of every byte outside [A-Za-z0-9-._~]. */
std::string cgiPercentEncode(const std::string& str);
/* Request-log text: bytes below 0x20 and 0x7f written as "%XX". */
std::string cgiLogEscape(const char* sz);
/* The body the router gets: for a multipart form (szContentType beginning with
 * "multipart/form-data") the content of its first part, cut in place; otherwise szBody. */
char* cgiMultipartCut(char* szBody, const char* szContentType);
/* Whether the cookie text ("k=v&k2=v2") holds an "auth" cookie whose decoded value is strPass. */
int ruxoCGIAuth(const std::string& strCookie, const std::string& strPass);
/* Makes member szKey of the object the boolean bValue: an existing member (first match, any case,
 * any type) is replaced in its place under its own key; a missing one is added last when
 * bAddMissing. Returns whether the object now holds the value; on a failure it is unchanged.
 * The caller holds the configuration lock. */
bool cgiJsonSetBool(cJSON* jsonObject, const char* szKey, bool bValue, bool bAddMissing);

#endif
