/* cgi_test_stubs.cpp -- what the web-server tests put in place of the daemon and the API routes:
 * a restart callback that does nothing and an echo route that answers with what the router handed
 * on (path, query text, body, the connection's idle time-out). */
#include <string>

#include "ruxo.h"
#include "ruxo_cgi_internal.h"

void ruxoCGICallback(BOOL bRestartCGI)
{
    (void)bRestartCGI;
}

int ruxoCGIRoute(MHD_Connection* conn, const char* szPath, const char* szArgs, char* szPost, size_t cchPost)
{
    /* A route that answers nothing: the connection must be closed, not polled again. */
    if (std::string(szPath) == "/fail")
        return 0;
    unsigned int nTimeout = 0;
    const MHD_ConnectionInfo* pInfo = MHD_get_connection_info(conn, MHD_CONNECTION_INFO_CONNECTION_TIMEOUT);
    if (pInfo != nullptr)
        nTimeout = pInfo->connection_timeout;
    std::string strBody = "path=" + std::string(szPath) + "\nargs=" + std::string(szArgs) +
                          "\ntimeout=" + std::to_string(nTimeout) +
                          "\npost=" + (szPost ? std::string(szPost, cchPost) : std::string("(null)"));
    return cgiReply(conn, MHD_HTTP_OK, strBody, "text/plain");
}
