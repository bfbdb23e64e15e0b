/* ruxo_cgi_internal.h -- what the web server (ruxo_cgi.cpp) and its API routes (ruxo_routes.cpp)
 * share. Everything here runs on the web server's one polling thread. */
#ifndef RUXO_CGI_INTERNAL_H
#define RUXO_CGI_INTERNAL_H

#include <microhttpd.h>

#include <string>
#include <utility>
#include <vector>

#include "ruxo_cgi.h"

typedef std::vector<std::pair<std::string, std::string>> CGI_HEADERS;

/* Queues one reply with a copy of strBody. Returns 1 when the reply was queued, 0 when the library
 * refused it or one of the Set-Cookie, Location or Content-Disposition headers. */
int cgiReply(MHD_Connection* conn, unsigned int nStatus, const std::string& strBody,
             const char* szContentType, const CGI_HEADERS& headers = CGI_HEADERS());

/* The Set-Cookie value that carries the login password (percent-encoded, with its attributes). */
std::string cgiLoginCookie(const std::string& strPass);

/* The router (ruxo_cgi.cpp): the login gate, then ruxoCGIRoute. */
int ruxoCGI(MHD_Connection* conn, const char* szPath, char* szPost);

/* The API routes behind the login gate (ruxo_routes.cpp). szArgs is the query text as the router
 * builds it ("k=v&k2"), szPost the body of a POST (writable), null for a GET. */
int ruxoCGIRoute(MHD_Connection* conn, const char* szPath, const char* szArgs, char* szPost);

#endif
