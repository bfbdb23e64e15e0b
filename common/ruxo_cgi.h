/* ruxo_cgi.h -- the embedded web server: start and stop, the web mutex, the application's titles,
 * and what the application hands it at start-up: its router, its restart hook and the provider of
 * the settings the server runs with. The server keeps no settings of its own and reads no
 * configuration: it asks the provider at the moment of use. */
#ifndef RUXO_CGI_H
#define RUXO_CGI_H

#include <stddef.h>

#include <mutex>
#include <string>

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
/* Stops the server and starts it again with the provider's settings. When their port cannot be
 * had, the server comes back on the port of the server before, which the provider is told to keep
 * (fnKeepPort), with a line on standard output. 1 when a server runs afterwards; 0 when none could
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

/* What a start of the server listens with. */
typedef struct RUXO_CGI_LISTEN_TAG {
    int nPort;             /* as configured: the server takes its low 16 bits, 0 meaning 8888 */
    BOOL bTls;             /* HTTPS asked for ("sslEnable") */
    std::string strfnCert; /* the certificate and key files of HTTPS */
    std::string strfnKey;
} RUXO_CGI_LISTEN;

/* The application's settings as the server needs them, each asked for at the moment of use: the
 * access list on every new connection, the request log and the password on every request, the
 * port and the TLS files at every start, and the port kept after a restart that could not move. */
typedef struct RUXO_CGI_PROVIDER_TAG {
    /* The access list (pairs of "allow" or "deny" and a network); FALSE while the application has
     * no settings at all, when only clients of this host (127.0.0.0/8) are admitted. */
    BOOL (*fnAccessList)(std::string* pstrAcl);
    /* The log level: 0 writes no request log; otherwise *pstrStem is the request log's path less
     * its ".log" ("" for none). */
    int (*fnRequestLog)(std::string* pstrStem);
    /* The login password; "" lets every admitted client past the gate. */
    std::string (*fnLoginPass)(void);
    void (*fnListen)(RUXO_CGI_LISTEN* pListen);
    /* The server runs on port nPort after all, not on the one the settings ask for: the
     * application makes it its setting. */
    void (*fnKeepPort)(int nPort);
} RUXO_CGI_PROVIDER;

/* Registered by the application before the server starts. Without a router every request that
 * passes the gate goes unanswered; without a callback nothing is done; without a provider (or
 * with a member left null) the server runs as without settings: loopback clients only, no request
 * log, no password, port 8888 over plain HTTP, and a port fall-back that is not kept. The
 * provider's table must stay valid while a server runs. */
void ruxoCGISetRouter(RUXO_CGI_ROUTER fnRoute);
void ruxoCGISetCallback(RUXO_CGI_CALLBACK fnCallback);
void ruxoCGISetProvider(const RUXO_CGI_PROVIDER* pProvider);
/* Calls the registered callback, when there is one. */
void ruxoCGICallback(BOOL bRestartCGI);

#endif
