/* transcoder_wait.h -- the watcher of the stand-in transcoder "ruxod.so": it ends ffmpeg when the
 * daemon is gone, and keeps a served output's silent wait for its first client from looking like a
 * hang.
 *
 * The daemon's end. The daemon holds the write end of our standard input (the pipe that carried the
 * token and the line) for the child's whole life and closes it only after it has reaped the child.
 * So the end of that input, read while ffmpeg still runs, means the daemon died (SIGKILL, a crash):
 * nobody supervises ffmpeg any more, and a restarted daemon would start a second ffmpeg writing the
 * same output. The watcher then asks ffmpeg to end (SIGINT, so that files get their trailer) and
 * kills it RUXO_TC_STOP_GRACE_SECS later if it is still there. A parent-death signal set by the
 * daemon in its child could not do this: it follows the thread that forked, and channels are
 * started from short-lived timer threads.
 *
 * The client wait. Stock ffmpeg serving an output ("-listen 1") prints its banner and the input's
 * description and then waits silently until a client connects. The engine takes a child that has
 * printed something and then nothing for over 30 s as hanging and kills it, so an unwatched served
 * channel would be killed and restarted every half minute (or stay dead without automatic restart).
 * For a line that serves an output the watcher therefore prints one neutral line, "ruxod.so: waiting
 * for a client on <url>", every RUXO_TC_WAIT_SECS seconds, but only while ffmpeg holds a TCP socket
 * in the LISTEN state. A real hang (no listening socket) stays silent and still trips the engine's
 * rule; the line never holds " time=" nor any text the engine acts on.
 *
 * Process layout. The watcher is forked by the stand-in itself right before its exec, for every
 * line, so its parent is the process that becomes ffmpeg (exec keeps the pid). It begins to watch
 * once that exec has closed a close-on-exec pipe between the two, so it never signals a stand-in
 * that has not become ffmpeg (one whose exec fails ends by itself, and the watcher with it). It
 * asks the kernel for SIGKILL when its parent dies (PR_SET_PDEATHSIG) and also checks getppid()
 * every second, so it ends as soon as ffmpeg ends, whoever ends ffmpeg and however, and it signals
 * only its own parent. At that moment it is re-parented to the nearest subreaper or init, which
 * reaps it: init in production, since the daemon is no subreaper, so the daemon never gets it as a
 * child (its poll reaps only its own children's pids). The watcher keeps standard input (the
 * daemon's pipe, which it reads) and standard output and error (the daemon's other pipe); it closes
 * everything else, runs in "/" and is named "ruxod.so-wait" (its comm, as ps shows it).
 *
 * The environment variable RUXO_TC_WAIT_NOTICE_SECS sets the notice interval (1 to
 * RUXO_TC_WAIT_SECS_MAX seconds; anything else gives RUXO_TC_WAIT_SECS). Only tests set it, to see
 * notices quickly. */
#ifndef RUXO_TRANSCODER_WAIT_H
#define RUXO_TRANSCODER_WAIT_H

#include <sys/types.h>

#include <string>
#include <vector>

#define RUXO_TC_WAIT_ENV "RUXO_TC_WAIT_NOTICE_SECS"
#define RUXO_TC_WAIT_SECS 10     /* default interval between notices */
#define RUXO_TC_WAIT_SECS_MAX 25 /* longest interval accepted: well under the engine's 30 s */
#define RUXO_TC_WAIT_COMM "ruxod.so-wait"
#define RUXO_TC_WAIT_URL_MAX 256  /* longest URL text put in a notice */
#define RUXO_TC_STOP_GRACE_SECS 2 /* from SIGINT to SIGKILL when the daemon is gone */

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
 * vServed (empty when it serves none: the watcher then only watches for the daemon's end). Returns
 * the watcher's pid, or -1 with strErr set. Call it from a single-threaded process only, right
 * before the exec. */
pid_t ruxoTcStartWatcher(const std::vector<std::string>& vServed, std::string& strErr);

#endif /* RUXO_TRANSCODER_WAIT_H */
