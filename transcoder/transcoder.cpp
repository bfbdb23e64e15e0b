/* transcoder.cpp -- "ruxod.so", the transcoder that the daemon starts for every running channel.
 *
 * It is started without arguments and reads "quBra_6093 ", an FFmpeg-style command line and a
 * newline from its standard input (which the daemon keeps open while it runs). It checks the token,
 * splits and adapts the line (transcoder_args.h) and then replaces itself with "ffmpeg -nostdin
 * ...", looked up through PATH, so that the daemon's signals reach ffmpeg directly and the wait
 * status the daemon reaps is ffmpeg's own. A small watcher forked right before the exec ends ffmpeg
 * when the daemon is gone, and keeps a served output's silent wait for its first client from looking
 * like a hang (transcoder_wait.h).
 *
 * Exit status of its own: 1 for a bad input (missing token, unterminated quote, input ended or too
 * long), 127 when no ffmpeg is found in PATH, 126 when ffmpeg cannot be executed. */
#include "transcoder_args.h"
#include "transcoder_wait.h"

#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

static const char* g_szProgName = RUXO_TRANSCODER_NAME;

/* The daemon may start us with the stop signals blocked or ignored (a thread's mask and ignored
 * dispositions survive fork and exec); ffmpeg must receive SIGINT and SIGTERM. */
static void _resetSignals()
{
    const int aSignals[] = {SIGINT, SIGTERM, SIGQUIT};
    for (int nSig : aSignals)
        signal(nSig, SIG_DFL);
    sigset_t set;
    sigemptyset(&set);
    sigprocmask(SIG_SETMASK, &set, nullptr);
}

int main()
{
    std::string strLine, strErr;
    int nRet = ruxoTcReadLine(STDIN_FILENO, strLine, strErr);
    std::vector<std::string> vArgv, vServed;
    if (nRet == RUXO_TC_OK)
        nRet = ruxoTcMakeArgv(strLine, vArgv, strErr, &vServed);
    if (nRet != RUXO_TC_OK) {
        fprintf(stderr, "%s: %s\n", g_szProgName, strErr.c_str());
        return 1;
    }

    std::vector<char*> vPtrs;
    vPtrs.reserve(vArgv.size() + 1);
    for (std::string& strArg : vArgv)
        vPtrs.push_back(&strArg[0]);
    vPtrs.push_back(nullptr);

    _resetSignals();
    /* Without the watcher ffmpeg still runs; it is then only not ended with a dead daemon, and an
     * unwatched wait for a client may count as a hang. */
    if (ruxoTcStartWatcher(vServed, strErr) < 0)
        fprintf(stderr, "%s: %s\n", g_szProgName, strErr.c_str());
    execvp(vPtrs[0], vPtrs.data());

    int nErr = errno;
    if (nErr == ENOENT) {
        fprintf(stderr, "%s: ffmpeg not found in PATH\n", g_szProgName);
        return 127;
    }
    fprintf(stderr, "%s: cannot run ffmpeg: %s\n", g_szProgName, strerror(nErr));
    return 126;
}
