/* ruxo_routes.h -- the API route handlers behind the login gate (ruxo_routes.cpp). Each returns the
 * router's result: 1 when the request was answered, 0 when the library refused the reply or one of
 * its headers. All of them run on the web server's one thread. */
#ifndef RUXO_ROUTES_H
#define RUXO_ROUTES_H

#include <stddef.h>

#include <microhttpd.h>

#include "ruxo_cgi.h"

/* The API routes behind the login gate, the router that the application registers with the web
 * server (a RUXO_CGI_ROUTER; ruxo_cgi.h tells its arguments). */
int ruxoCGIRoute(MHD_Connection* conn, const char* szPath, const char* szArgs, char* szPost, size_t cchPost);

/* The settings the web server runs with, read from the configuration tree at the moment of use:
 * the provider that the application registers beside the router (ruxoCGISetProvider). */
extern const RUXO_CGI_PROVIDER g_ruxoCGIProvider;

/* The channel states, status texts and processor loads that the web page polls. */
int ruxoCGIStatus(MHD_Connection* conn);
/* The fixed facts the web page reads once when it loads ("previewPort" among them). */
int ruxoCGIRuntime(MHD_Connection* conn);
/* POST "/config": replaces the configuration with the body of cchPost bytes (then a NUL), all or
 * nothing: 400 when it is no configuration, 500 with the reason when it cannot be saved, and in
 * both cases nothing changes. szArgs "import" (any case) makes it an import. */
int ruxoCGISetConfig(MHD_Connection* conn, const char* szPost, size_t cchPost, const char* szArgs);
/* "/channelN?start|stop|preview": iChannel counts from 1; szPost is not used. */
int ruxoCGIChannel(MHD_Connection* conn, int iChannel, const char* szArgs, const char* szPost);

/* "/decklink_config?output=N": the DeckLink devices with the display modes of their input side, or
 * of their output side when N is not 0. */
int ruxoCGIDecklinkConfig(MHD_Connection* conn, const char* szArgs);
/* "/ndi_config?timeout=S": the NDI sources found by a search in steps of S seconds (5 when
 * missing). The arguments stand in the reverse order of its twin's. */
int ruxoCGINDIConfig(const char* szArgs, MHD_Connection* conn);

#endif
