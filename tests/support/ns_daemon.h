/* ns_daemon.h -- runs the real ruxod binary in a private mount and network namespace, for tests.
 *
 * The test process itself enters the namespaces (once per process) and becomes a child subreaper,
 * so the detached daemon's exit status comes back to it. Each sandbox then mounts, over the fixed
 * folders, an overlay on "/etc" and "/var" and a tmpfs on "/run" (the pid file's home), all backed
 * by a tmpfs in the sandbox's own temporary folder; nothing of the host's folders is changed.
 * Whiteouts in the upper layers hide the host's /etc/ruxod and /var/ruxod, so every sandbox starts
 * without them, and the set-up fails when they still show.
 * The loopback interface is up, so the test talks to the web server on 127.0.0.1 directly.
 *
 * The daemon finds its transcoder "ruxod.so" in its own folder, so the sandbox copies the daemon
 * and the chosen transcoder (the real stand-in, the scripted fake, or none) into <dir>/bin. The
 * daemon's standard output and error go to <dir>/ruxod.out. */
#ifndef RUXO_TEST_NS_DAEMON_H
#define RUXO_TEST_NS_DAEMON_H

#include <sys/types.h>

#include <string>
#include <utility>
#include <vector>

#include "ruxo_test_env.h"

namespace ruxotest {

enum class Transcoder { None, Fake, Real };

typedef std::vector<std::pair<std::string, std::string>> EnvList;

class NsDaemon {
public:
    NsDaemon() = default;
    ~NsDaemon();
    NsDaemon(const NsDaemon&) = delete;
    NsDaemon& operator=(const NsDaemon&) = delete;

    /* Enters the namespaces (first call only), mounts fresh folders and copies the binaries.
     * False with a reason in *pErr when anything fails. */
    bool setUp(Transcoder transcoder, std::string* pErr);

    const std::string& dir() const { return m_dir.path(); }
    std::string binDir() const { return m_dir.file("bin"); }
    std::string outPath() const { return m_dir.file("ruxod.out"); }

    /* Writes /etc/ruxod/ruxod.json (creating the folder). False, touching nothing, unless setUp
     * of this sandbox succeeded: outside it that path is the host's. */
    bool writeConfig(const std::string& strJson);

    /* Starts the daemon with the extra environment; waits for the foreground process (at most
     * nTimeoutMs) and returns its exit status (-1 on a timeout or a signal). On status 0 the
     * detached daemon's pid is found and kept (pid() is 0 when it is already gone). -1 without
     * running anything unless setUp of this sandbox succeeded. */
    int start(const EnvList& env, int nTimeoutMs = 5000);

    /* Runs another instance in the foreground, its output into strOutFile; returns its status. */
    int runInstance(const EnvList& env, const std::string& strOutFile, int nTimeoutMs = 5000);

    pid_t pid() const { return m_pid; }
    /* Waits for the detached daemon to end; true with its exit status (128 + signal when killed). */
    bool waitExit(int nTimeoutMs, int* pStatus);
    bool alive() const;
    std::string output() const;

    /* Kills every process left below the test process (but the kept ones) and reaps them. */
    void killAll();

private:
    bool mountFolders(std::string* pErr);
    pid_t spawn(const EnvList& env, const std::string& strOutFile);
    /* Unmounts the sandbox's tmpfs and removes its folder. */
    void releaseFolder();

    TempDir m_dir;
    pid_t m_pid = 0;
    bool m_bReady = false; /* setUp succeeded and its folders are the ones mounted now */
    bool m_bExited = false;
    int m_nExitStatus = -1;
};

/* Enters the private namespaces (once per process) without a sandbox yet: a launcher does so
 * before it starts a program that must share them. False with a reason when that fails. */
bool enterTestNamespaces(std::string* pErr);
/* killAll leaves this child of the test process alone (a program that a launcher runs inside the
 * namespaces, beside the daemons it asks for). */
void keepChild(pid_t pid);

/* The live processes of this test's namespaces other than the test process, its watchdog and the
 * kept children: what the daemons of its sandboxes and their transcoders left running. Process ids
 * are shared with the whole machine and reused, so this asks the namespace, not a list of ids. */
std::vector<pid_t> sandboxProcesses();

/* Small helpers for test bodies (the file and process helpers, waitUntil and nowMs come from
 * ruxo_test_env.h). */
/* A TCP connection to 127.0.0.1:nPort succeeds. */
bool canConnect(int nPort);
/* Runs a command (argv[0] looked up in PATH), its output into *pOut; returns its exit status. */
int runCommand(const std::vector<std::string>& argv, std::string* pOut, int nTimeoutMs = 20000);

}  // namespace ruxotest

#endif
