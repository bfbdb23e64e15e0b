/* ns_daemon.cpp -- the namespace sandbox in which tests run the real ruxod binary (see ns_daemon.h). */
#include "ns_daemon.h"
#include "ns_enter.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>

#ifndef RUXOD_PATH
#error "RUXOD_PATH must name the built daemon"
#endif
#ifndef RUXOD_SO_PATH
#error "RUXOD_SO_PATH must name the built stand-in transcoder"
#endif
#ifndef RUXO_FAKE_TRANSCODER
#error "RUXO_FAKE_TRANSCODER must name tests/support/fake_transcoder.sh"
#endif

namespace ruxotest {

namespace {

pid_t s_pidInNamespace = 0; /* the process that entered the namespaces (a fork enters its own) */
bool s_bFoldersMounted = false;
const void* s_pMountedFor = nullptr; /* the sandbox whose folders are mounted now */

std::string errnoText(const std::string& strWhat)
{
    return strWhat + ": " + strerror(errno);
}

pid_t s_pidWatchdog = 0;
std::vector<pid_t> s_keptChildren; /* children that killAll leaves alone (keepChild) */

/* A child that outlives a test process killed by a crash or a timeout: when the test process
 * ends, its end of the pipe closes, and the watchdog kills every process left in the test's
 * network namespace (the detached daemon and its transcoders, which are no longer ours to
 * reap). Only our own descendants live in that namespace, so nothing else is touched. */
void startWatchdog()
{
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        return;
    pid_t pidTest = getpid();
    pid_t pid = fork();
    if (pid != 0) {
        close(fds[0]);
        if (pid > 0)
            s_pidWatchdog = pid; /* the write end stays open, unused, until we end */
        else
            close(fds[1]);
        return;
    }
    setsid(); /* out of the test's process group, so a group kill leaves it running */
    int fdNull = open("/dev/null", O_RDWR);
    if (fdNull >= 0) {
        dup2(fdNull, 1);
        dup2(fdNull, 2);
    }
    dup2(fds[0], 0);
    syscall(SYS_close_range, 3U, ~0U, 0U);
    for (;;) {
        char c;
        ssize_t n = read(0, &c, 1);
        if (n == 0)
            break;
        if (n < 0 && errno != EINTR)
            _exit(0); /* cannot tell when the test ends: do nothing */
    }
    /* The pipe closes while the test process is still ending: wait until we are handed on. */
    for (int n = 0; n < 200 && getppid() == pidTest; n++)
        usleep(10000);
    if (getppid() == pidTest)
        _exit(0); /* the test process still runs */
    char szOwn[64];
    ssize_t nOwn = readlink("/proc/self/ns/net", szOwn, sizeof(szOwn) - 1);
    if (nOwn <= 0)
        _exit(0);
    szOwn[nOwn] = 0;
    for (int nRound = 0; nRound < 50; nRound++) {
        int nKilled = 0;
        DIR* dir = opendir("/proc");
        if (!dir)
            break;
        while (struct dirent* ent = readdir(dir)) {
            char* pEnd = nullptr;
            long n = strtol(ent->d_name, &pEnd, 10);
            if (n <= 0 || *pEnd || (pid_t)n == getpid())
                continue;
            char szPath[64], szNs[64];
            snprintf(szPath, sizeof(szPath), "/proc/%ld/ns/net", n);
            ssize_t nNs = readlink(szPath, szNs, sizeof(szNs) - 1);
            if (nNs == nOwn && memcmp(szNs, szOwn, (size_t)nOwn) == 0 && kill((pid_t)n, SIGKILL) == 0)
                nKilled++;
        }
        closedir(dir);
        if (nKilled == 0)
            break;
        usleep(20000);
    }
    _exit(0);
}

bool enterNamespaces(std::string* pErr)
{
    if (s_pidInNamespace == getpid())
        return true;
    if (!enterPrivateNamespaces(pErr))
        return false;
    if (prctl(PR_SET_CHILD_SUBREAPER, 1) != 0) {
        *pErr = errnoText("PR_SET_CHILD_SUBREAPER");
        return false;
    }
    s_pidInNamespace = getpid();
    /* A forked test process has namespaces of its own now: the folders that its parent mounted
     * are its parent's to drop, and what this process mounted over them stays. */
    s_bFoldersMounted = false;
    s_pMountedFor = nullptr;
    startWatchdog();
    return true;
}

void childEnv(const EnvList& env)
{
    for (const auto& kv : env)
        setenv(kv.first.c_str(), kv.second.c_str(), 1);
}

void childStdio(const std::string& strOutFile)
{
    int fdNull = open("/dev/null", O_RDONLY);
    if (fdNull >= 0) {
        dup2(fdNull, 0);
        close(fdNull);
    }
    int fdOut = open(strOutFile.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (fdOut >= 0) {
        dup2(fdOut, 1);
        dup2(fdOut, 2);
        close(fdOut);
    }
    syscall(SYS_close_range, 3U, ~0U, 0U);
    sigset_t set;
    sigemptyset(&set);
    sigprocmask(SIG_SETMASK, &set, nullptr);
}

/* Waits for a child until nTimeoutMs; its exit status, 128 + signal, or -1 on a timeout. */
int waitChild(pid_t pid, int nTimeoutMs)
{
    long long tmEnd = nowMs() + nTimeoutMs;
    for (;;) {
        int st = 0;
        pid_t r = waitpid(pid, &st, WNOHANG);
        if (r == pid) {
            if (WIFEXITED(st))
                return WEXITSTATUS(st);
            if (WIFSIGNALED(st))
                return 128 + WTERMSIG(st);
            return -1;
        }
        if (r < 0 && errno != EINTR)
            return -1;
        if (nowMs() > tmEnd)
            return -1;
        usleep(5000);
    }
}

/* The sandbox's own folders do not exist yet: the daemon and the tests create them. Anything
 * there now is the host's, seen through the overlay, and a test would run against it. */
bool checkFoldersAbsent(std::string* pErr)
{
    for (const char* szDir : {"/etc/ruxod", "/var/ruxod"}) {
        struct stat st;
        if (lstat(szDir, &st) == 0) {
            *pErr = std::string("the sandbox still shows the host's ") + szDir +
                    " through its overlay; refusing to run a test against the host's files";
            return false;
        }
        if (errno != ENOENT) {
            *pErr = errnoText(std::string("lstat ") + szDir + " in the sandbox");
            return false;
        }
    }
    return true;
}

}  // namespace

bool enterTestNamespaces(std::string* pErr)
{
    return enterNamespaces(pErr);
}

void keepChild(pid_t pid)
{
    s_keptChildren.push_back(pid);
}

std::vector<pid_t> sandboxProcesses()
{
    std::vector<pid_t> found;
    char szOwn[64];
    ssize_t nOwn = readlink("/proc/self/ns/net", szOwn, sizeof(szOwn) - 1);
    if (s_pidInNamespace != getpid() || nOwn <= 0)
        return found;
    DIR* dir = opendir("/proc");
    while (struct dirent* ent = dir ? readdir(dir) : nullptr) {
        char* pEnd = nullptr;
        long n = strtol(ent->d_name, &pEnd, 10);
        pid_t pid = (pid_t)n;
        if (n <= 0 || *pEnd || pid == getpid() || pid == s_pidWatchdog ||
            std::find(s_keptChildren.begin(), s_keptChildren.end(), pid) != s_keptChildren.end())
            continue;
        char szPath[64], szNs[64];
        snprintf(szPath, sizeof(szPath), "/proc/%ld/ns/net", n);
        ssize_t nNs = readlink(szPath, szNs, sizeof(szNs) - 1);
        if (nNs == nOwn && memcmp(szNs, szOwn, (size_t)nOwn) == 0 && processAlive(pid))
            found.push_back(pid);
    }
    if (dir)
        closedir(dir);
    return found;
}

bool canConnect(int nPort)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    struct sockaddr_in addr;
    memset(&addr, 0, sizeof(addr));
    addr.sin_family = AF_INET;
    addr.sin_port = htons((uint16_t)nPort);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool bOk = connect(fd, (struct sockaddr*)&addr, sizeof(addr)) == 0;
    close(fd);
    return bOk;
}

int runCommand(const std::vector<std::string>& argv, std::string* pOut, int nTimeoutMs)
{
    int fds[2];
    if (argv.empty() || pipe2(fds, O_CLOEXEC) != 0)
        return -1;
    pid_t pid = fork();
    if (pid < 0) {
        close(fds[0]);
        close(fds[1]);
        return -1;
    }
    if (pid == 0) {
        dup2(fds[1], 1);
        dup2(fds[1], 2);
        int fdNull = open("/dev/null", O_RDONLY);
        if (fdNull >= 0) {
            dup2(fdNull, 0);
            close(fdNull);
        }
        syscall(SYS_close_range, 3U, ~0U, 0U);
        std::vector<char*> args;
        for (const auto& s : argv)
            args.push_back(const_cast<char*>(s.c_str()));
        args.push_back(nullptr);
        execvp(args[0], args.data());
        _exit(127);
    }
    close(fds[1]);
    std::string strOut;
    long long tmEnd = nowMs() + nTimeoutMs;
    bool bTimedOut = false;
    for (;;) {
        long long nLeft = tmEnd - nowMs();
        if (nLeft <= 0) {
            bTimedOut = true;
            break;
        }
        struct pollfd pfd = {fds[0], POLLIN, 0};
        int r = poll(&pfd, 1, (int)(nLeft > 100 ? 100 : nLeft));
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            continue;
        char buf[4096];
        ssize_t n = read(fds[0], buf, sizeof(buf));
        if (n <= 0)
            break;
        strOut.append(buf, (size_t)n);
    }
    close(fds[0]);
    if (bTimedOut)
        kill(pid, SIGKILL);
    int nStatus = waitChild(pid, bTimedOut ? 5000 : nTimeoutMs + 1000);
    if (pOut)
        *pOut = strOut;
    return bTimedOut ? -1 : nStatus;
}

NsDaemon::~NsDaemon()
{
    killAll();
    if (s_pMountedFor == this)
        s_pMountedFor = nullptr;
    releaseFolder();
}

void NsDaemon::releaseFolder()
{
    if (m_dir.ok())
        umount2(m_dir.file("ovl").c_str(), MNT_DETACH);
    m_dir.remove();
}

bool NsDaemon::mountFolders(std::string* pErr)
{
    if (s_bFoldersMounted) {
        /* A previous sandbox of this process: drop its folders first. */
        umount2("/run", MNT_DETACH);
        umount2("/var", MNT_DETACH);
        umount2("/etc", MNT_DETACH);
        s_bFoldersMounted = false;
        s_pMountedFor = nullptr;
    }
    std::string strOvl = m_dir.file("ovl");
    if (mkdir(strOvl.c_str(), 0700) != 0 || mount("tmpfs", strOvl.c_str(), "tmpfs", 0, "mode=0700") != 0) {
        *pErr = errnoText("tmpfs for the overlays");
        return false;
    }
    for (const char* sub : {"/eu", "/ew", "/vu", "/vw"}) {
        if (mkdir((strOvl + sub).c_str(), 0755) != 0) {
            *pErr = errnoText("overlay folders");
            return false;
        }
    }
    /* Start from nothing, whatever the host holds there: a whiteout (a character device 0/0) in
     * each upper layer hides the host's /etc/ruxod and /var/ruxod entirely. A removal after
     * mounting cannot do this: the host's files report the lower file system's device, so a walk
     * that stays on one file system passes them by. */
    for (const char* sub : {"/eu/ruxod", "/vu/ruxod"}) {
        if (mknod((strOvl + sub).c_str(), S_IFCHR | 0000, makedev(0, 0)) != 0) {
            *pErr = errnoText("whiteout " + strOvl + sub);
            return false;
        }
    }
    std::string strEtc = "lowerdir=/etc,upperdir=" + strOvl + "/eu,workdir=" + strOvl + "/ew";
    std::string strVar = "lowerdir=/var,upperdir=" + strOvl + "/vu,workdir=" + strOvl + "/vw";
    if (mount("overlay", "/etc", "overlay", 0, strEtc.c_str()) != 0) {
        *pErr = errnoText("overlay on /etc");
        return false;
    }
    if (mount("overlay", "/var", "overlay", 0, strVar.c_str()) != 0) {
        umount2("/etc", MNT_DETACH);
        *pErr = errnoText("overlay on /var");
        return false;
    }
    if (mount("tmpfs", "/run", "tmpfs", 0, "mode=0755") != 0) {
        umount2("/var", MNT_DETACH);
        umount2("/etc", MNT_DETACH);
        *pErr = errnoText("tmpfs on /run");
        return false;
    }
    s_bFoldersMounted = true;
    return checkFoldersAbsent(pErr);
}

bool NsDaemon::setUp(Transcoder transcoder, std::string* pErr)
{
    if (!enterNamespaces(pErr))
        return false;
    if (s_pMountedFor == this)
        s_pMountedFor = nullptr;
    m_bReady = false;
    releaseFolder();
    if (!m_dir.make("ns")) {
        *pErr = errnoText("mkdtemp");
        return false;
    }
    if (!mountFolders(pErr))
        return false;
    if (mkdir(binDir().c_str(), 0755) != 0) {
        *pErr = errnoText("bin folder");
        return false;
    }
    if (!copyFile(RUXOD_PATH, binDir() + "/ruxod", 0755)) {
        *pErr = errnoText(std::string("copy ") + RUXOD_PATH);
        return false;
    }
    const char* szTranscoder = nullptr;
    if (transcoder == Transcoder::Real)
        szTranscoder = RUXOD_SO_PATH;
    else if (transcoder == Transcoder::Fake)
        szTranscoder = RUXO_FAKE_TRANSCODER;
    if (szTranscoder && !copyFile(szTranscoder, binDir() + "/ruxod.so", 0755)) {
        *pErr = errnoText(std::string("copy ") + szTranscoder);
        return false;
    }
    s_pMountedFor = this;
    m_bReady = true;
    return true;
}

bool NsDaemon::writeConfig(const std::string& strJson)
{
    if (!m_bReady || s_pMountedFor != this)
        return false;
    mkdir("/etc/ruxod", 0755);
    return writeFile("/etc/ruxod/ruxod.json", strJson);
}

pid_t NsDaemon::spawn(const EnvList& env, const std::string& strOutFile)
{
    if (!m_bReady || s_pMountedFor != this)
        return -1;
    std::string strExe = binDir() + "/ruxod";
    pid_t pid = fork();
    if (pid == 0) {
        childStdio(strOutFile);
        childEnv(env);
        char* args[] = {const_cast<char*>("ruxod"), nullptr};
        execv(strExe.c_str(), args);
        _exit(127);
    }
    return pid;
}

int NsDaemon::start(const EnvList& env, int nTimeoutMs)
{
    m_pid = 0;
    m_bExited = false;
    m_nExitStatus = -1;
    pid_t pidFg = spawn(env, outPath());
    if (pidFg < 0)
        return -1;
    int nStatus = waitChild(pidFg, nTimeoutMs);
    if (nStatus != 0)
        return nStatus;
    /* The detached process is now our child (we are its subreaper). */
    std::string strExe = binDir() + "/ruxod";
    waitUntil(
        [&]() {
            for (pid_t kid : childrenOf(getpid())) {
                char szLink[4096];
                ssize_t n = readlink(("/proc/" + std::to_string(kid) + "/exe").c_str(), szLink, sizeof(szLink) - 1);
                if (n > 0) {
                    szLink[n] = 0;
                    if (strExe == szLink) {
                        m_pid = kid;
                        return true;
                    }
                }
            }
            return false;
        },
        1000);
    if (m_pid == 0) {
        /* Gone already: its zombie has no exe link left, but still carries its name. Other
         * orphans (a transcoder's helper, say) may be our zombies too: take only the daemon. */
        for (pid_t kid : childrenOf(getpid())) {
            std::string strComm;
            int st = 0;
            if (procStat(kid, nullptr, nullptr, &strComm) && strComm == "ruxod" && waitpid(kid, &st, WNOHANG) == kid) {
                m_pid = kid;
                m_bExited = true;
                m_nExitStatus = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
                break;
            }
        }
    }
    return 0;
}

int NsDaemon::runInstance(const EnvList& env, const std::string& strOutFile, int nTimeoutMs)
{
    pid_t pid = spawn(env, strOutFile);
    if (pid < 0)
        return -1;
    return waitChild(pid, nTimeoutMs);
}

bool NsDaemon::waitExit(int nTimeoutMs, int* pStatus)
{
    if (!m_bExited && m_pid > 0) {
        int nStatus = waitChild(m_pid, nTimeoutMs);
        if (nStatus >= 0) {
            m_bExited = true;
            m_nExitStatus = nStatus;
        }
    }
    if (m_bExited && pStatus)
        *pStatus = m_nExitStatus;
    return m_bExited;
}

bool NsDaemon::alive() const
{
    return !m_bExited && processAlive(m_pid);
}

std::string NsDaemon::output() const
{
    return readFile(outPath());
}

void NsDaemon::killAll()
{
    if (s_pidInNamespace != getpid())
        return;
    for (int nRound = 0; nRound < 100; nRound++) {
        std::vector<pid_t> kids = childrenOf(getpid());
        kids.erase(std::remove_if(kids.begin(), kids.end(),
                                  [](pid_t kid) {
                                      return kid == s_pidWatchdog ||
                                             std::find(s_keptChildren.begin(), s_keptChildren.end(), kid) !=
                                                 s_keptChildren.end();
                                  }),
                   kids.end());
        if (kids.empty())
            break;
        for (pid_t kid : kids)
            kill(kid, SIGKILL);
        for (pid_t kid : kids) {
            int st = 0;
            if (waitpid(kid, &st, 0) == kid && kid == m_pid && !m_bExited) {
                m_bExited = true;
                m_nExitStatus = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
            }
        }
        usleep(10000);
    }
}

}  // namespace ruxotest
