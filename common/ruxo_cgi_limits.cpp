/* ruxo_cgi_limits.cpp -- what one client may hold of the web server, so that no client, and no
 * anonymous one above all, can lock the others out:
 *  - request bodies: each request collects its own, and at most RUXO_CGI_BODIES_MAX are collected
 *    at once in all, RUXO_CGI_BODIES_PER_CLIENT per client address (the web thread's counts);
 *  - time: a request's headers and body must have arrived RUXO_CGI_REQUEST_SECONDS after the
 *    server began to wait for it (the connection's opening, or the end of the previous reply on
 *    it). A watcher thread shuts down the sockets of connections that are late; the library then
 *    sees the end of the stream and closes them itself, so every descriptor stays the library's.
 *
 * The connection table is shared by the web thread (which adds, updates and removes entries
 * through the library's notifications) and the watcher, under s_mtxConns, a leaf lock: nothing
 * else is taken or called while it is held but shutdown(2). The library removes a connection from
 * the table (the "closed" notification) before it closes the socket, so the watcher never shuts
 * down a descriptor that another connection or file has taken over. */
#include "ruxo_cgi_internal.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>

#include <condition_variable>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <unordered_map>
#include <unordered_set>

unsigned int g_nCGIRequestSeconds = RUXO_CGI_REQUEST_SECONDS;

namespace {

/* ---- body counts (web thread only) ------------------------------------------------------------ */

int s_nSharedBodies = 0;
std::unordered_map<uint32_t, int> s_clientBodies;

/* ---- connection deadlines --------------------------------------------------------------------- */

struct CGI_CONN {
    int fd;                 /* the library's socket; only ever shut down, never closed here */
    long long tmDeadlineMs; /* while bWaiting: when the request must have arrived */
    bool bWaiting;          /* the server waits for a request's headers or body */
    bool bCut;              /* shut down already */
};

std::mutex s_mtxConns;
std::unordered_set<CGI_CONN*> s_conns;
std::condition_variable s_cvWatcher;
bool s_bWatcherStop = false;
std::thread s_threadWatcher;

long long monotonicMs()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (long long)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

CGI_CONN* connOf(MHD_Connection* conn)
{
    const MHD_ConnectionInfo* pInfo = MHD_get_connection_info(conn, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
    return pInfo != nullptr ? (CGI_CONN*)pInfo->socket_context : nullptr;
}

/* Starts or ends the wait for a connection's next request. */
void setWaiting(MHD_Connection* conn, bool bWaiting)
{
    CGI_CONN* pConn = connOf(conn);
    if (pConn == nullptr)
        return;
    std::lock_guard<std::mutex> lock(s_mtxConns);
    pConn->bWaiting = bWaiting;
    if (bWaiting)
        pConn->tmDeadlineMs = monotonicMs() + (long long)g_nCGIRequestSeconds * 1000;
}

/* Once a second: shuts down every connection whose request is late. */
void watchDeadlines()
{
    std::unique_lock<std::mutex> lock(s_mtxConns);
    while (!s_bWatcherStop) {
        s_cvWatcher.wait_for(lock, std::chrono::seconds(1));
        if (s_bWatcherStop)
            break;
        long long tmNow = monotonicMs();
        for (CGI_CONN* pConn : s_conns) {
            if (!pConn->bWaiting || pConn->bCut || tmNow < pConn->tmDeadlineMs)
                continue;
            pConn->bCut = true;
            if (shutdown(pConn->fd, SHUT_RDWR) != 0 && errno != ENOTCONN)
                printf("Web management: shutdown of a late connection failed: %s\n", strerror(errno));
        }
    }
}

}  // namespace

bool cgiTakeBody(uint32_t ulClient, bool bShared)
{
    auto it = s_clientBodies.find(ulClient);
    int nClient = it != s_clientBodies.end() ? it->second : 0;
    if (nClient >= RUXO_CGI_BODIES_PER_CLIENT || (bShared && s_nSharedBodies >= RUXO_CGI_BODIES_MAX))
        return false;
    s_clientBodies[ulClient] = nClient + 1;
    if (bShared)
        s_nSharedBodies++;
    return true;
}

void cgiReleaseBody(uint32_t ulClient, bool bShared)
{
    auto it = s_clientBodies.find(ulClient);
    if (it != s_clientBodies.end() && --it->second <= 0)
        s_clientBodies.erase(it);
    if (bShared && s_nSharedBodies > 0)
        s_nSharedBodies--;
}

void cgiResetBodies(void)
{
    s_clientBodies.clear();
    s_nSharedBodies = 0;
}

void cgiConnNotify(void* cls, MHD_Connection* conn, void** socket_context, MHD_ConnectionNotificationCode code)
{
    (void)cls;
    if (socket_context == nullptr)
        return;
    if (code == MHD_CONNECTION_NOTIFY_STARTED) {
        const MHD_ConnectionInfo* pInfo = MHD_get_connection_info(conn, MHD_CONNECTION_INFO_CONNECTION_FD);
        CGI_CONN* pConn = new (std::nothrow) CGI_CONN;
        if (pConn == nullptr || pInfo == nullptr) {
            delete pConn;
            *socket_context = nullptr;
            return;
        }
        pConn->fd = pInfo->connect_fd;
        pConn->bWaiting = true;
        pConn->bCut = false;
        pConn->tmDeadlineMs = monotonicMs() + (long long)g_nCGIRequestSeconds * 1000;
        std::lock_guard<std::mutex> lock(s_mtxConns);
        try {
            s_conns.insert(pConn);
            *socket_context = pConn;
        } catch (const std::bad_alloc&) {
            delete pConn;
            *socket_context = nullptr;
        }
        return;
    }
    /* MHD_CONNECTION_NOTIFY_CLOSED: the socket is still open, and is closed after this returns. */
    CGI_CONN* pConn = (CGI_CONN*)*socket_context;
    *socket_context = nullptr;
    if (pConn == nullptr)
        return;
    std::lock_guard<std::mutex> lock(s_mtxConns);
    s_conns.erase(pConn);
    delete pConn;
}

void cgiConnRequestArrived(MHD_Connection* conn)
{
    setWaiting(conn, false);
}

void cgiConnAwaitRequest(MHD_Connection* conn)
{
    setWaiting(conn, true);
}

void cgiStartWatcher(void)
{
    std::lock_guard<std::mutex> lock(s_mtxConns);
    if (s_threadWatcher.joinable())
        return;
    s_bWatcherStop = false;
    try {
        s_threadWatcher = std::thread(watchDeadlines);
    } catch (const std::system_error& e) {
        printf("Web management: no thread to watch request deadlines: %s\n", e.what());
    }
}

void cgiStopWatcher(void)
{
    {
        std::lock_guard<std::mutex> lock(s_mtxConns);
        s_bWatcherStop = true;
    }
    s_cvWatcher.notify_all();
    if (s_threadWatcher.joinable())
        s_threadWatcher.join();
}

void cgiForgetConnections(void)
{
    std::lock_guard<std::mutex> lock(s_mtxConns);
    for (CGI_CONN* pConn : s_conns)
        delete pConn;
    s_conns.clear();
}
