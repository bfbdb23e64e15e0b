/* ruxo_cgi_internal.h -- what the web server (ruxo_cgi.cpp), its API routes (ruxo_routes.cpp) and
 * its downloads (ruxo_cgi_files.cpp) share. Everything here runs on the web server's one polling
 * thread. */
#ifndef RUXO_CGI_INTERNAL_H
#define RUXO_CGI_INTERNAL_H

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
int cgiReply(MHD_Connection* conn, unsigned int nStatus, const std::string& strBody, const char* szContentType,
             const CGI_HEADERS& headers = CGI_HEADERS());
/* The same for a reply that the caller made (a file served in place, a buffer the reply frees):
 * adds the headers as above, queues it and lets go of it on every path. */
int cgiQueueReply(MHD_Connection* conn, unsigned int nStatus, MHD_Response* pResponse, const char* szContentType,
                  const CGI_HEADERS& headers);

/* The Set-Cookie value that carries the login password: "auth=" and the password percent-encoded
 * outside [A-Za-z0-9-._~], then "; SameSite=Strict; HttpOnly". Every place that sets the login
 * cookie (the login path, a plain configuration post) uses it, so the login gate's decoding gives
 * back exactly the password. */
std::string cgiLoginCookie(const std::string& strPass);

/* The router (ruxo_cgi.cpp): the login gate, then the registered router. szPost is the body of a POST
 * (writable, cchPost bytes long, with a NUL after them), null for a GET. */
int ruxoCGI(MHD_Connection* conn, const char* szPath, char* szPost, size_t cchPost);

/* Whether the running server uses TLS (false while none runs). */
BOOL ruxoCGIUsesTls(void);

/* ---- pieces of the web server that stand alone (ruxo_cgi.cpp) ------------------------------- */

/* The collection limit of a request body: at most RUXO_CGI_POST_MAX - 1 bytes (more: 413).
 * A 64-channel configuration with five targets per channel prints to about 300 KB. */
#define RUXO_CGI_POST_MAX (1024 * 1024)
/* The body of a login form posted by a client that has not passed the gate (more: 413). */
#define RUXO_CGI_LOGIN_BODY_MAX 4096

/* Seconds after which an idle connection is closed; read at each server start. */
extern unsigned int g_nCGIIdleTimeout;

/* ---- what one client may hold (ruxo_cgi_limits.cpp) ------------------------------------------ */

#define RUXO_CGI_BODIES_MAX 8        /* bodies collected at once past the gate, in all */
#define RUXO_CGI_BODIES_PER_CLIENT 2 /* bodies collected at once from one client address */
#define RUXO_CGI_CONNECTIONS_PER_CLIENT 64
#define RUXO_CGI_FDS_RESERVED 256 /* descriptors kept for the channels' pipes and files */
#define RUXO_CGI_REQUEST_SECONDS 60

/* Seconds in which a request's headers and body must arrive, counted from the moment the server
 * begins to wait for it (the connection's opening, or the end of the previous reply on it). */
extern unsigned int g_nCGIRequestSeconds;

/* Takes one body slot of the client (and, with bShared, one of the shared ones); false when a
 * limit is reached. A login form of a client that has not passed the gate takes no shared slot,
 * so clients without the password cannot lock out the ones that have it. Web thread only. */
bool cgiTakeBody(uint32_t ulClient, bool bShared);
void cgiReleaseBody(uint32_t ulClient, bool bShared);
void cgiResetBodies(void); /* once no request is left (the server stopped) */

/* The library's connection notification: enters and removes the connection's deadline. */
void cgiConnNotify(void* cls, MHD_Connection* conn, void** socket_context, MHD_ConnectionNotificationCode code);
/* The request has arrived whole (or is answered early): no deadline while it is answered. */
void cgiConnRequestArrived(MHD_Connection* conn);
/* The reply has gone: the wait for the connection's next request begins. */
void cgiConnAwaitRequest(MHD_Connection* conn);
/* The watcher thread that closes late connections, running while a server runs. */
void cgiStartWatcher(void);
void cgiStopWatcher(void);
/* Drops what is left of the table once the server has stopped. */
void cgiForgetConnections(void);

/* The access-list verdict for a client (IPv4 address in host byte order): TRUE to admit. */
BOOL cgiAclAllows(const char* szAcl, uint32_t ulHostAddr);
/* Whether one network token of the access list ("a.b.c.d", "a.b.c.d/n", "all") covers the client. */
BOOL cgiAclNetMatches(const char* szNet, uint32_t ulHostAddr);

/* The whole of a regular file of 1 to cbMax bytes (as text, NUL-terminated); empty when it does not
 * open, is no regular file (a folder, a pipe, a device), is empty or is larger, with the reason in
 * *pstrReason when given (naming the file). It is opened without blocking, so a named pipe at the
 * path cannot hold the caller. Certificates, keys, the logo. */
std::string cgiReadFile(const std::string& strfn, size_t cbMax, std::string* pstrReason = nullptr);

/* Form decoding: "%XX" becomes its byte, "+" a blank, anything else (a lone "%" too) is copied. */
std::string _urlDecode(const char* sz, size_t cch);
/* Percent-encoding of every byte outside [A-Za-z0-9-._~]. */
std::string cgiPercentEncode(const std::string& str);
/* Request-log text: bytes below 0x20 and 0x7f written as "%XX". */
std::string cgiLogEscape(const char* sz);
/* The form field whose file a multipart post carries (the page's import form names it so). */
#define RUXO_CGI_FORM_FILE_FIELD "file"
/* The body the router gets. For a multipart form (szContentType beginning with
 * "multipart/form-data") the file it carries, cut in place (*pcchBody becomes its length): the part
 * named RUXO_CGI_FORM_FILE_FIELD or else the first part with a file name, bounded by the boundary
 * that szContentType names. Null, with a one-line reason in *pstrReason, for a form without a
 * boundary, with a part that does not end at it, without a closing delimiter or without a file.
 * Any other body is szBody as it stands. */
char* cgiMultipartCut(char* szBody, size_t* pcchBody, const char* szContentType, std::string* pstrReason);
/* Whether a request comes from a page of another site: its "Sec-Fetch-Site" (when present) is
 * neither "same-origin" nor "none"; without it, its "Origin" (when present) is not the server's own
 * scheme and "Host". A request with neither header is no other site's. Any argument may be null. */
bool cgiOtherSite(const char* szFetchSite, const char* szOrigin, const char* szHost, bool bTls);
/* cgiOtherSite for a request's own headers and the running server's scheme. */
bool cgiFromOtherSite(MHD_Connection* conn);
/* The reply to a change asked for by another site: 403, "request from another site refused". */
int cgiRefuseOtherSite(MHD_Connection* conn);
/* The client's IPv4 address in host byte order (0 when the library gives none). */
uint32_t cgiClientAddress(MHD_Connection* conn);
/* Why a certificate and key cannot serve HTTPS: a path that is empty, a file that cannot be read
 * (cgiReadFile's reason) or a pair the TLS library refuses, as the server's start would meet them,
 * in a line naming the file ("cannot use the certificate /etc/ruxod/cert.pem: <reason>"); "" when
 * they can. */
std::string cgiTlsFilesProblem(const std::string& strfnCert, const std::string& strfnKey);
/* Whether one of the request's cookies named "auth" (their values as sent) decodes to strPass. */
int ruxoCGIAuth(const std::vector<std::string>& authCookies, const std::string& strPass);

#endif
