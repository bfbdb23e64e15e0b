/* ruxo_routes.cpp -- the API routes behind the login gate. (Routes not built yet: every path is 404.) */
#include "ruxo_cgi_internal.h"

int ruxoCGIRoute(MHD_Connection* conn, const char* szPath, const char* szArgs, char* szPost)
{
    (void)szPath;
    (void)szArgs;
    (void)szPost;
    return cgiReply(conn, MHD_HTTP_NOT_FOUND, std::string(), "text/html");
}
