/* ruxo_cgi.h -- the embedded web server: start and stop, the web mutex, the application's titles. */
#ifndef RUXO_CGI_H
#define RUXO_CGI_H

#include <pthread.h>

#include "tchar.h"

/* The product's title, short name and version, as the web server, its API and the daemon's
 * banner show them. */
#define RUXO_APP_TITLE "Strovanta!"
#define RUXO_APP_ABBR "RUXOD"
#define RUXO_APP_VERSION "6.2.5.1a"

/* Held by the router around configuration replacement, the status reply's channel part and the
 * channel actions. Never held while the server starts or stops. */
extern pthread_mutex_t g_cgi_mutex;

int ruxoStartCGI(void);  /* 1 when a server runs afterwards, 0 otherwise */
void ruxoStopCGI(void);
/* Stops the server and starts it again with the tree's settings. When the tree's port cannot be
 * had, the server comes back on the port of the server before, which is put back into the tree
 * and saved, with a line on standard output. 1 when a server runs afterwards; 0 when none could
 * start (a line says so, at most once a minute): the caller tries again later. */
int ruxoRestartCGI(void);
const TCHAR* ruxoAppTitle(void);
const TCHAR* ruxoAppName(void);

/* Implemented by the daemon: with TRUE, arms the one-second web-server restart. */
void ruxoCGICallback(BOOL bRestartCGI);

#endif
