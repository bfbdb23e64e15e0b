/* ns_enter.cpp -- a private mount and network namespace for a test process (see ns_enter.h). */
#include "ns_enter.h"

#include <errno.h>
#include <net/if.h>
#include <sched.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <unistd.h>

namespace ruxotest {

namespace {

std::string errnoText(const std::string& strWhat)
{
    return strWhat + ": " + strerror(errno);
}

bool loopbackUp(std::string* pErr)
{
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        *pErr = errnoText("socket");
        return false;
    }
    struct ifreq ifr;
    memset(&ifr, 0, sizeof(ifr));
    strncpy(ifr.ifr_name, "lo", IFNAMSIZ - 1);
    bool bOk = ioctl(fd, SIOCGIFFLAGS, &ifr) == 0;
    if (bOk) {
        ifr.ifr_flags |= IFF_UP | IFF_RUNNING;
        bOk = ioctl(fd, SIOCSIFFLAGS, &ifr) == 0;
    }
    if (!bOk)
        *pErr = errnoText("loopback up");
    close(fd);
    return bOk;
}

}  // namespace

bool enterPrivateNamespaces(std::string* pErr)
{
    if (unshare(CLONE_NEWNS | CLONE_NEWNET) != 0) {
        *pErr = errnoText("unshare(mount, net)");
        return false;
    }
    /* Nothing mounted from here on may reach the host. */
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        *pErr = errnoText("make / private");
        return false;
    }
    return loopbackUp(pErr);
}

}  // namespace ruxotest
