/* transcoder_wait.h -- the client-wait notices of the stand-in transcoder "ruxod.so".
 *
 * Stock ffmpeg serving an output ("-listen 1") prints its banner and the input's description and
 * then waits silently until a client connects. The engine takes a child that has printed something
 * and then nothing for over 30 s as hanging and kills it, so an unwatched served channel would be
 * killed and restarted every half minute (or stay dead without automatic restart). Just before it
 * becomes ffmpeg, the stand-in therefore starts a small watcher that prints one neutral line,
 * "ruxod.so: waiting for a client on <url>", every RUXO_TC_WAIT_SECS seconds, but only while ffmpeg
 * holds a TCP socket in the LISTEN state. A real hang (no listening socket) stays silent and still
 * trips the engine's rule; the line never holds " time=" nor any text the engine acts on.
 *
 * Process layout. The watcher is forked by the stand-in itself right before its exec, so its parent
 * is the process that becomes ffmpeg (exec keeps the pid). It asks the kernel for SIGKILL when that
 * parent dies (PR_SET_PDEATHSIG) and also checks getppid() every second, so it ends as soon as
 * ffmpeg ends, whoever ends ffmpeg and however. At that moment it is re-parented to the nearest
 * subreaper or init, which reaps it: init in production, since the daemon is no subreaper, so the
 * daemon never gets it as a child (its poll reaps only its own children's pids). The watcher ends
 * on its own while ffmpeg runs only when its output is gone (the daemon closed the pipe, so ffmpeg
 * is going too); it is then a zombie of ffmpeg until ffmpeg ends. A double fork was not chosen: its
 * orphan would belong to init or a subreaper for the whole run, and it would need polling or a
 * pidfd to learn of ffmpeg's end, where the parent-death signal is immediate and pid-reuse proof.
 * The watcher keeps only standard output and error (the daemon's pipe), reads /dev/null, runs in
 * "/" and is named "ruxod.so-wait" (its comm, as ps shows it).
 *
 * The environment variable RUXO_TC_WAIT_NOTICE_SECS sets the interval (1 to RUXO_TC_WAIT_SECS_MAX
 * seconds; anything else gives RUXO_TC_WAIT_SECS). Only tests set it, to see notices quickly. */
#ifndef RUXO_TRANSCODER_WAIT_H
#define RUXO_TRANSCODER_WAIT_H

#include <sys/types.h>

#include <string>
#include <vector>

#define RUXO_TC_WAIT_ENV "RUXO_TC_WAIT_NOTICE_SECS"
#define RUXO_TC_WAIT_SECS 10      /* default interval between notices */
#define RUXO_TC_WAIT_SECS_MAX 25  /* longest interval accepted: well under the engine's 30 s */
#define RUXO_TC_WAIT_COMM "ruxod.so-wait"
#define RUXO_TC_WAIT_URL_MAX 256  /* longest URL text put in a notice */

/* The interval for an environment value (null or empty gives the default). */
int ruxoTcWaitInterval(const char* pszValue);

/* The TCP port named by an "http://" or "https://" URL (80 or 443 when it names none), or -1. */
int ruxoTcUrlPort(const std::string& strUrl);

/* The local port of a TCP socket (IPv4 or IPv6) in the LISTEN state that process pid holds: the
 * port, 0 when it holds none, -1 when its descriptors cannot be read (gone, or no permission). */
int ruxoTcListenPort(pid_t pid);

/* The notice line, newline included, for a listening port: it names the served output with that
 * port, or the first one. Blanks and bytes other than printable ASCII show as '?', and the URL is
 * cut to RUXO_TC_WAIT_URL_MAX bytes, so the line always fits one atomic pipe write. */
std::string ruxoTcWaitNotice(const std::vector<std::string>& vServed, int nPort);

/* Forks the watcher for the calling process, which is about to exec ffmpeg with the served outputs
 * vServed. Returns the watcher's pid, 0 when vServed is empty (no watcher), or -1 with strErr set.
 * Call it from a single-threaded process only, right before the exec. */
pid_t ruxoTcStartWatcher(const std::vector<std::string>& vServed, std::string& strErr);

#endif /* RUXO_TRANSCODER_WAIT_H */
