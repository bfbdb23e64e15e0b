/* ruxo_child.cpp -- the start of one transcoder child: its three pipes, the fork, the child's own
 * steps up to the exec of the transcoder, and the access token and command line written to it.
 *
 * The forked child writes nothing but its exit: what fails in it before the transcoder runs comes
 * back through a close-on-exec pipe that the poll reads like the child's other pipes; its end of
 * file means that the exec happened. The reading and logging of such a report is here too, for the
 * poll to call.
 *
 * Locking: none. A start runs without the engine mutex, on a slot that the core has claimed for it;
 * nothing here touches the slot table. Failed system calls are logged to the channel's log with
 * their errno. */
#include "ruxo_child_internal.h"

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <string.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <string>

#include "ruxo.h"
#include "ruxo_cpu_internal.h"
#include "ruxo_log_internal.h"

extern char** environ;

namespace {

std::atomic<RUXO_CHILD_HOOK> s_fnChildHook{nullptr}; /* read by every start */

/* The steps of a child that it can report. An affinity failure is reported and the child goes on;
 * the others end it with status 127. */
enum { kStageAffinity = 1, kStageStdio = 2, kStageExec = 3 };

/* A pipe whose both ends are close-on-exec and above 2. */
bool makePipe(RUXO_PIPE fds[2])
{
    int p[2];
    if (pipe2(p, O_CLOEXEC) != 0)
        return false;
    p[0] = _ruxoAboveStdio(p[0]);
    p[1] = _ruxoAboveStdio(p[1]);
    if (p[0] < 0 || p[1] < 0) {
        if (p[0] >= 0)
            close(p[0]);
        if (p[1] >= 0)
            close(p[1]);
        return false;
    }
    fds[0] = p[0];
    fds[1] = p[1];
    return true;
}

/* Everything a forked child needs, prepared before the fork: after it the child only makes
 * async-signal-safe system calls and touches no lock. */
struct CHILD_PLAN {
    const char* szfnExe;
    char* argv[2];
    char** envp;
    cpu_set_t cpus;
    int nBound;             /* processors in cpus; 0 = no binding */
    int maxFd;              /* descriptors closed one by one when close_range is missing */
    int inR, outW;          /* the child's ends of its input and output pipes */
    int reportW;            /* write end of the report pipe (close-on-exec) */
    RUXO_CHILD_HOOK fnHook; /* the tests' hold before the exec; null = none */
    struct sigaction saDefault;
    struct sigaction saIgnore; /* SIGPIPE while the child may report: a parent that stopped
                                * reading must not turn the child's end into a signal */
    sigset_t noSignals;
};

/* The new child's pipes, the starter's own until the start publishes them in the slot. */
struct CHILD_PIPES {
    RUXO_PIPE in[2], out[2], report[2];
};

void freeChildPipes(CHILD_PIPES* p)
{
    _ruxoFreePipe(p->in);
    _ruxoFreePipe(p->out);
    _ruxoFreePipe(p->report);
}

void prepareChild(CHILD_PLAN* pPlan, const CHILD_PIPES* pPipes, int iChannel, const char* szfnExe, int nCpuPerChannel,
                  int nCPUs)
{
    pPlan->szfnExe = szfnExe;
    pPlan->argv[0] = const_cast<char*>(szfnExe);
    pPlan->argv[1] = nullptr;
    pPlan->envp = environ;
    pPlan->nBound = _ruxoCpuSetForSlot(iChannel, nCpuPerChannel, nCPUs, &pPlan->cpus);
    struct rlimit rl;
    pPlan->maxFd = 1024;
    if (getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur != RLIM_INFINITY)
        pPlan->maxFd = rl.rlim_cur > 65536 ? 65536 : (int)rl.rlim_cur;
    pPlan->inR = pPipes->in[0];
    pPlan->outW = pPipes->out[1];
    pPlan->reportW = pPipes->report[1];
    pPlan->fnHook = s_fnChildHook.load();
    memset(&pPlan->saDefault, 0, sizeof pPlan->saDefault);
    pPlan->saDefault.sa_handler = SIG_DFL;
    sigemptyset(&pPlan->saDefault.sa_mask);
    pPlan->saIgnore = pPlan->saDefault;
    pPlan->saIgnore.sa_handler = SIG_IGN;
    sigemptyset(&pPlan->noSignals);
}

/* Tells the parent which step failed; a write of a few bytes to the pipe never blocks. */
void reportToParent(int reportW, int nStage, int err)
{
    RUXO_CHILD_REPORT rep = {nStage, err};
    ssize_t w;
    do {
        w = write(reportW, &rep, sizeof rep);
    } while (w < 0 && errno == EINTR);
}

/* The forked child: default signal handling, its processors, the pipes as 0, 1 and 2, the report
 * pipe as 3 (closed by the exec), every other descriptor closed, then the transcoder. Never
 * returns. */
[[noreturn]] void runChild(const CHILD_PLAN* pPlan)
{
    for (int sig = 1; sig < NSIG; ++sig)
        sigaction(sig, sig == SIGPIPE ? &pPlan->saIgnore : &pPlan->saDefault, nullptr);
    sigprocmask(SIG_SETMASK, &pPlan->noSignals, nullptr);
    if (pPlan->nBound > 0 && sched_setaffinity(0, sizeof pPlan->cpus, &pPlan->cpus) != 0)
        reportToParent(pPlan->reportW, kStageAffinity, errno);
    if (dup2(pPlan->inR, 0) < 0 || dup2(pPlan->outW, 1) < 0 || dup2(pPlan->outW, 2) < 0) {
        reportToParent(pPlan->reportW, kStageStdio, errno);
        _exit(127);
    }
    if (pPlan->fnHook)
        pPlan->fnHook();
    /* The report pipe moves to 3 (still close-on-exec), so that one call closes all the rest. */
    int r = pPlan->reportW; /* above 2 */
    if (r != 3) {
        if (dup3(r, 3, O_CLOEXEC) < 0) {
            reportToParent(r, kStageStdio, errno);
            _exit(127);
        }
        r = 3;
    }
    if (close_range(4, ~0U, 0) != 0)
        for (int fd = 4; fd < pPlan->maxFd; ++fd)
            close(fd);
    sigaction(SIGPIPE, &pPlan->saDefault, nullptr);
    execve(pPlan->szfnExe, pPlan->argv, pPlan->envp);
    int err = errno;
    sigaction(SIGPIPE, &pPlan->saIgnore, nullptr);
    reportToParent(r, kStageExec, err);
    _exit(127);
}

/* Pipes for a new child: input, output (its read end non-blocking, so that the poll never blocks
 * on it; the child's end stays blocking) and the report pipe (its read end non-blocking too). */
bool makeChildPipes(int iChannel, CHILD_PIPES* p)
{
    memset(p, 0, sizeof *p);
    if (!makePipe(p->in) || !makePipe(p->out) || !makePipe(p->report)) {
        _ruxoLogErrno(iChannel, "cannot create a pipe to the transcoder", errno);
        freeChildPipes(p);
        return false;
    }
    for (int fd : {p->out[0], p->report[0]}) {
        int fl = fcntl(fd, F_GETFL);
        if (fl < 0 || fcntl(fd, F_SETFL, fl | O_NONBLOCK) != 0) {
            _ruxoLogErrno(iChannel, "cannot make the transcoder's output pipe non-blocking", errno);
            freeChildPipes(p);
            return false;
        }
    }
    return true;
}

/* Hands the child the access token, the command line and a newline. A child that has already
 * ended makes the writes fail with EPIPE (SIGPIPE is ignored): the start still succeeds, and the
 * poll reaps the child and logs its end, which says all there is to say. Any other failure is
 * logged. The line always fits the fresh, empty pipe, so the writes never block. */
void writeCommandLine(int iChannel, int fd, const char* szArg)
{
    if ((pipeWriteStr(fd, RUXO_ACCESS_TOKEN " ") == (size_t)-1 || pipeWriteStr(fd, szArg ? szArg : "") == (size_t)-1 ||
         pipeWriteStr(fd, "\n") == (size_t)-1) &&
        errno != EPIPE)
        _ruxoLogErrno(iChannel, "cannot write the command line to the transcoder", errno);
}

}  // namespace

void _ruxoSetChildHook(RUXO_CHILD_HOOK fnHook)
{
    s_fnChildHook.store(fnHook);
}

int _ruxoChildStart(int iChannel, const char* szExe, int nCpuPerChannel, int nCPUs, const char* szArg,
                    RUXO_CHILD* pChild)
{
    CHILD_PIPES pipes;
    if (!makeChildPipes(iChannel, &pipes))
        return RUXO_ERR_PIPE;
    CHILD_PLAN plan;
    prepareChild(&plan, &pipes, iChannel, szExe, nCpuPerChannel, nCPUs);
    /* The child starts with every signal blocked: a stop may reach it as soon as it is published,
     * which can be before it has put the default handlers back, and a signal caught by the
     * starter's own handler there would be lost. Once its handlers are the default ones it unblocks
     * them, and a stop that came meanwhile takes effect. */
    sigset_t all, old;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &old);
    pid_t pid = fork();
    const int errFork = errno;
    if (pid == 0)
        runChild(&plan);
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    if (pid < 0) {
        _ruxoLogErrno(iChannel, "cannot create the transcoder process", errFork);
        freeChildPipes(&pipes);
        return RUXO_ERR_CHILD;
    }

    /* The child's ends belong to the child now. */
    _ruxoCloseFd(&pipes.in[0]);
    _ruxoCloseFd(&pipes.out[1]);
    _ruxoCloseFd(&pipes.report[1]);
    writeCommandLine(iChannel, pipes.in[1], szArg);

    pChild->pid = pid;
    pChild->fdInput = pipes.in[1];
    pChild->fdOutput = pipes.out[0];
    pChild->fdReport = pipes.report[0];
    return RUXO_OK;
}

int _ruxoChildReadReport(RUXO_PIPE fdReport, RUXO_CHILD_REPORT* pRep)
{
    for (;;) {
        ssize_t r = read(fdReport, pRep, sizeof *pRep);
        if (r < 0 && errno == EINTR)
            continue;
        if (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return 0;
        return r == (ssize_t)sizeof *pRep ? 1 : -1; /* else end of file, an error, or a cut report */
    }
}

bool _ruxoChildLogReport(int iChannel, const RUXO_CHILD_REPORT* pRep, const char* szExe)
{
    if (pRep->nStage == kStageAffinity) {
        _ruxoLogErrno(iChannel, "cannot bind the transcoder to its processors", pRep->nErrno);
        return false;
    }
    if (pRep->nStage == kStageStdio) {
        _ruxoLogErrno(iChannel, "cannot connect the transcoder's standard streams", pRep->nErrno);
        return true;
    }
    std::string what = std::string("cannot run ") + szExe;
    _ruxoLogErrno(iChannel, what.c_str(), pRep->nErrno);
    return true;
}
