/* ruxo_ready.cpp -- the readiness set: every busy slot's output pipe, exec report pipe and child (a
 * pidfd) sit in one epoll set, so a pass of the poll learns with one call which slots have output
 * waiting or a child that has ended and touches only those, however many slots are busy. Each
 * descriptor is tagged with its slot index (above two bits) and its kind.
 *
 * Locking: none of its own. The set is the caller's record, used under the caller's lock (the
 * engine mutex). Failed system calls are logged to the slot's log with their errno. */
#include "ruxo_ready_internal.h"

#include <errno.h>
#include <stdint.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "ruxo.h"
#include "ruxo_log_internal.h"
#include "ruxo_pipe_internal.h"

namespace {

enum { kWatchOutput = 0, kWatchChild = 1, kWatchReport = 2 };

/* A pidfd of our child pid (close-on-exec, above 2; readable once the child has ended), or 0 when
 * the kernel offers none (a kernel without the call is no fault and is not logged). */
int openChildFd(int iSlot, pid_t pid)
{
#ifdef SYS_pidfd_open
    int fd = _ruxoAboveStdio((int)syscall(SYS_pidfd_open, pid, 0));
    if (fd < 0 && errno != ENOSYS)
        _ruxoLogErrno(iSlot, "cannot open a descriptor of the transcoder", errno);
    return fd > 0 ? fd : 0;
#else
    (void)iSlot;
    (void)pid;
    return 0;
#endif
}

bool watchFd(RUXO_READY* pReady, int fd, int iSlot, int nKind)
{
    struct epoll_event ev;
    memset(&ev, 0, sizeof ev);
    ev.events = EPOLLIN;
    ev.data.u32 = (uint32_t)iSlot << 2 | (uint32_t)nKind;
    if (epoll_ctl(pReady->fdSet, EPOLL_CTL_ADD, fd, &ev) == 0)
        return true;
    _ruxoLogErrno(iSlot, "cannot watch the transcoder", errno);
    return false;
}

}  // namespace

void _ruxoReadyRemove(RUXO_READY* pReady, int fd)
{
    if (pReady->fdSet > 0 && fd > 0)
        epoll_ctl(pReady->fdSet, EPOLL_CTL_DEL, fd, nullptr);
}

int _ruxoReadyAdd(RUXO_READY* pReady, int iSlot, pid_t pid, int fdOutput, int fdReport)
{
    if (iSlot < 0 || fdOutput <= 0 || fdReport <= 0)
        return 0;
    if (pReady->fdSet <= 0) {
        int fd = _ruxoAboveStdio(epoll_create1(EPOLL_CLOEXEC));
        if (fd <= 0) {
            _ruxoLogErrno(iSlot, "cannot create the set of watched transcoders", errno);
            return 0;
        }
        pReady->fdSet = fd;
    }
    int fdChild = openChildFd(iSlot, pid);
    if (fdChild > 0) {
        if (watchFd(pReady, fdOutput, iSlot, kWatchOutput)) {
            if (watchFd(pReady, fdReport, iSlot, kWatchReport)) {
                if (watchFd(pReady, fdChild, iSlot, kWatchChild)) {
                    pReady->nWatched++;
                    return fdChild;
                }
                _ruxoReadyRemove(pReady, fdReport);
            }
            _ruxoReadyRemove(pReady, fdOutput);
        }
        close(fdChild);
    }
    if (pReady->nWatched == 0)
        _ruxoCloseFd(&pReady->fdSet);
    return 0;
}

void _ruxoReadyRemoveSlot(RUXO_READY* pReady, int fdOutput, int fdReport, int* pfdChild)
{
    if (*pfdChild == 0)
        return;
    _ruxoReadyRemove(pReady, fdOutput);
    _ruxoReadyRemove(pReady, fdReport);
    _ruxoReadyRemove(pReady, *pfdChild);
    _ruxoCloseFd(pfdChild);
    if (--pReady->nWatched <= 0) {
        pReady->nWatched = 0;
        _ruxoCloseFd(&pReady->fdSet);
    }
}

bool _ruxoReadyWait(RUXO_READY* pReady, int nSlots, unsigned char* aWork)
{
    if (pReady->fdSet <= 0)
        return true;
    struct epoll_event aEvents[3 * RUXO_MAX_SLOTS];
    int nEvents = epoll_wait(pReady->fdSet, aEvents, 3 * RUXO_MAX_SLOTS, 0);
    for (int k = 0; k < nEvents; ++k) {
        uint32_t iSlot = aEvents[k].data.u32 >> 2;
        uint32_t nKind = aEvents[k].data.u32 & 3;
        if (iSlot < (uint32_t)nSlots)
            aWork[iSlot] |= nKind == kWatchChild    ? RUXO_READY_CHILD
                            : nKind == kWatchReport ? RUXO_READY_REPORT
                                                    : RUXO_READY_OUTPUT;
    }
    return nEvents >= 0;
}
