/* ruxo_cgi.h -- the embedded web server: start and stop, the web mutex, the application's titles,
 * and the two functions the application hands it at start-up (its router and its restart hook). */
#ifndef RUXO_CGI_H
#define RUXO_CGI_H

#include <stddef.h>

#include <mutex>

#include "tchar.h"

/* The product's title, short name and version, as the web server, its API and the daemon's
 * banner show them. */
#define RUXO_APP_TITLE "Strovanta!"
#define RUXO_APP_ABBR "RUXOD"
#define RUXO_APP_VERSION "6.2.5.1a"

/* Held by the router around configuration replacement, the status reply's channel part and the
 * channel actions. Never held while the server starts or stops. */
extern std::mutex g_cgi_mutex;

int ruxoStartCGI(void); /* 1 when a server runs afterwards, 0 otherwise */
void ruxoStopCGI(void);
/* Non-zero from the moment a stop of the server begins until the next start: a route that holds
 * the web thread for long (a device search) looks at it and ends, so that the stop, which waits
 * for the web thread, is not held up. */
int ruxoCGIStopping(void);
/* Stops the server and starts it again with the tree's settings. When the tree's port cannot be
 * had, the server comes back on the port of the server before, which is put back into the tree
 * and saved, with a line on standard output. 1 when a server runs afterwards; 0 when none could
 * start (a line says so, at most once a minute): the caller tries again later. */
int ruxoRestartCGI(void);
const TCHAR* ruxoAppTitle(void);
const TCHAR* ruxoAppName(void);

/* What answers the requests that pass the login gate (the API routes, ruxoCGIRoute). szArgs is the
 * query text as the server builds it ("k=v&k2"), szPost the body of a POST (writable, cchPost
 * bytes, then a NUL; it may hold NUL bytes of its own), null for a GET. 1 when the request was
 * answered, 0 when not (the connection is then closed). */
struct MHD_Connection;
typedef int (*RUXO_CGI_ROUTER)(struct MHD_Connection* conn, const char* szPath, const char* szArgs, char* szPost,
                               size_t cchPost);
/* Called after a posted configuration was installed; with TRUE the server's settings changed and
 * the application is to restart the server (one second later, never on the web thread). */
typedef void (*RUXO_CGI_CALLBACK)(BOOL bRestartCGI);

/* Registered by the application before the server starts. Without a router every request that
 * passes the gate goes unanswered; without a callback nothing is done. */
void ruxoCGISetRouter(RUXO_CGI_ROUTER fnRoute);
void ruxoCGISetCallback(RUXO_CGI_CALLBACK fnCallback);
/* Calls the registered callback, when there is one. */
void ruxoCGICallback(BOOL bRestartCGI);

#endif
