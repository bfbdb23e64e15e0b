/* ns_run.cpp -- runs a test program (the browser tests' "node --test ...") inside the private mount
 * and network namespace of the daemon tests, and serves it the real daemon on request.
 *
 *   ruxo_ns_run <program> [arguments...]
 *
 * The launcher enters the namespaces, opens a control socket and starts the program with the
 * socket's path in $RUXO_CTL. The program (and the browser it drives) talks to the daemon on
 * 127.0.0.1 inside the namespace. Over the socket it sends one JSON object per line and gets one
 * JSON object per line back, {"ok": true, ...} or {"ok": false, "error": "..."}:
 *   {"cmd": "sandbox", "transcoder": "fake"|"real"|"none"}   fresh folders; answers "dir", "bin"
 *   {"cmd": "config", "file": "<path>"}                       the file's text becomes the sandbox's
 *                                                             /etc/ruxod/ruxod.json
 *   {"cmd": "start", "port": 8888, "env": {"K": "V"}}         starts the daemon, waits for the port;
 *                                                             answers "pid"
 *   {"cmd": "stop"}                                           SIGTERM, waits; answers "status",
 *                                                             "output"
 *   {"cmd": "output"}                                         the daemon's output so far
 * A new sandbox ends the previous one's processes. The launcher exits with the program's status,
 * after ending every process it started. */
#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cjson/cJSON.h>

#include <memory>
#include <string>

#include "ns_daemon.h"

using namespace ruxotest;

namespace {

std::unique_ptr<NsDaemon> s_daemon;

cJSON* failure(const std::string& strError)
{
    cJSON* reply = cJSON_CreateObject();
    cJSON_AddBoolToObject(reply, "ok", 0);
    cJSON_AddStringToObject(reply, "error", strError.c_str());
    return reply;
}

cJSON* success()
{
    cJSON* reply = cJSON_CreateObject();
    cJSON_AddBoolToObject(reply, "ok", 1);
    return reply;
}

std::string textItem(const cJSON* json, const char* szKey)
{
    const char* sz = cJSON_GetStringValue(cJSON_GetObjectItemCaseSensitive(json, szKey));
    return sz != nullptr ? sz : "";
}

cJSON* cmdSandbox(const cJSON* cmd)
{
    const std::string strKind = textItem(cmd, "transcoder");
    Transcoder transcoder = Transcoder::Fake;
    if (strKind == "real")
        transcoder = Transcoder::Real;
    else if (strKind == "none")
        transcoder = Transcoder::None;
    else if (!strKind.empty() && strKind != "fake")
        return failure("unknown transcoder " + strKind);
    s_daemon.reset(); /* ends the previous sandbox's processes and removes its folder */
    s_daemon.reset(new NsDaemon());
    std::string strErr;
    if (!s_daemon->setUp(transcoder, &strErr))
        return failure(strErr);
    cJSON* reply = success();
    cJSON_AddStringToObject(reply, "dir", s_daemon->dir().c_str());
    cJSON_AddStringToObject(reply, "bin", s_daemon->binDir().c_str());
    return reply;
}

cJSON* cmdConfig(const cJSON* cmd)
{
    if (!s_daemon)
        return failure("no sandbox");
    const std::string strFile = textItem(cmd, "file");
    if (strFile.empty() || !exists(strFile))
        return failure("no such file: " + strFile);
    if (!s_daemon->writeConfig(readFile(strFile)))
        return failure("cannot write the configuration");
    return success();
}

cJSON* cmdStart(const cJSON* cmd)
{
    if (!s_daemon)
        return failure("no sandbox");
    const cJSON* jsonPort = cJSON_GetObjectItemCaseSensitive(cmd, "port");
    const int nPort = cJSON_IsNumber(jsonPort) ? jsonPort->valueint : 8888;
    EnvList env;
    const cJSON* item = nullptr;
    cJSON_ArrayForEach(item, cJSON_GetObjectItemCaseSensitive(cmd, "env"))
    {
        if (item->string != nullptr && cJSON_IsString(item))
            env.emplace_back(item->string, item->valuestring);
    }
    const int nStatus = s_daemon->start(env);
    if (nStatus != 0) {
        cJSON* reply = failure("the daemon exited with status " + std::to_string(nStatus));
        cJSON_AddStringToObject(reply, "output", s_daemon->output().c_str());
        return reply;
    }
    if (!waitUntil([&] { return canConnect(nPort); }, 15000)) {
        cJSON* reply = failure("nothing listens on port " + std::to_string(nPort));
        cJSON_AddStringToObject(reply, "output", s_daemon->output().c_str());
        return reply;
    }
    cJSON* reply = success();
    cJSON_AddNumberToObject(reply, "pid", s_daemon->pid());
    return reply;
}

cJSON* cmdStop()
{
    if (!s_daemon)
        return failure("no sandbox");
    if (s_daemon->pid() > 0)
        kill(s_daemon->pid(), SIGTERM);
    int nStatus = -1;
    if (!s_daemon->waitExit(20000, &nStatus))
        return failure("the daemon did not end");
    cJSON* reply = success();
    cJSON_AddNumberToObject(reply, "status", nStatus);
    cJSON_AddStringToObject(reply, "output", s_daemon->output().c_str());
    return reply;
}

std::string handle(const std::string& strLine)
{
    cJSON* cmd = cJSON_Parse(strLine.c_str());
    const std::string strCmd = textItem(cmd, "cmd");
    cJSON* reply = nullptr;
    if (strCmd == "sandbox")
        reply = cmdSandbox(cmd);
    else if (strCmd == "config")
        reply = cmdConfig(cmd);
    else if (strCmd == "start")
        reply = cmdStart(cmd);
    else if (strCmd == "stop")
        reply = cmdStop();
    else if (strCmd == "output" && s_daemon) {
        reply = success();
        cJSON_AddStringToObject(reply, "output", s_daemon->output().c_str());
    } else
        reply = failure("unknown command: " + strLine);
    cJSON_Delete(cmd);
    char* sz = cJSON_PrintUnformatted(reply);
    std::string strReply = sz != nullptr ? sz : "{\"ok\": false}";
    cJSON_free(sz);
    cJSON_Delete(reply);
    return strReply + "\n";
}

bool writeAll(int fd, const std::string& str)
{
    size_t off = 0;
    while (off < str.size()) {
        ssize_t n = write(fd, str.data() + off, str.size() - off);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        off += (size_t)n;
    }
    return true;
}

int listenOn(const std::string& strPath)
{
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    struct sockaddr_un addr;
    memset(&addr, 0, sizeof(addr));
    addr.sun_family = AF_UNIX;
    if (strPath.size() >= sizeof(addr.sun_path)) {
        close(fd);
        return -1;
    }
    memcpy(addr.sun_path, strPath.c_str(), strPath.size());
    if (bind(fd, (struct sockaddr*)&addr, sizeof(addr)) != 0 || listen(fd, 4) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        fprintf(stderr, "usage: ruxo_ns_run <program> [arguments...]\n");
        return 2;
    }
    std::string strErr;
    if (!enterTestNamespaces(&strErr)) {
        fprintf(stderr, "ruxo_ns_run: %s\n", strErr.c_str());
        return 1;
    }
    TempDir ctlDir("nsrun");
    const std::string strSocket = ctlDir.file("ctl.sock");
    int fdListen = ctlDir.ok() ? listenOn(strSocket) : -1;
    if (fdListen < 0) {
        fprintf(stderr, "ruxo_ns_run: cannot listen on %s: %s\n", strSocket.c_str(), strerror(errno));
        return 1;
    }

    pid_t pidProgram = fork();
    if (pidProgram < 0) {
        fprintf(stderr, "ruxo_ns_run: fork: %s\n", strerror(errno));
        return 1;
    }
    if (pidProgram == 0) {
        setenv("RUXO_CTL", strSocket.c_str(), 1);
        execvp(argv[1], argv + 1);
        fprintf(stderr, "ruxo_ns_run: cannot run %s: %s\n", argv[1], strerror(errno));
        _exit(127);
    }
    keepChild(pidProgram);

    int fdClient = -1;
    std::string strPending;
    int nExit = 1;
    for (;;) {
        int st = 0;
        pid_t r = waitpid(pidProgram, &st, WNOHANG);
        if (r == pidProgram) {
            nExit = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
            break;
        }
        struct pollfd pfd = {fdClient >= 0 ? fdClient : fdListen, POLLIN, 0};
        int n = poll(&pfd, 1, 100);
        if (n <= 0)
            continue;
        if (fdClient < 0) {
            fdClient = accept4(fdListen, nullptr, nullptr, SOCK_CLOEXEC);
            strPending.clear();
            continue;
        }
        char buf[4096];
        ssize_t cb = read(fdClient, buf, sizeof(buf));
        if (cb < 0 && errno == EINTR)
            continue;
        if (cb <= 0) {
            close(fdClient);
            fdClient = -1;
            continue;
        }
        strPending.append(buf, (size_t)cb);
        size_t nEnd;
        while ((nEnd = strPending.find('\n')) != std::string::npos) {
            const std::string strLine = strPending.substr(0, nEnd);
            strPending.erase(0, nEnd + 1);
            writeAll(fdClient, handle(strLine));
        }
    }
    if (fdClient >= 0)
        close(fdClient);
    close(fdListen);
    s_daemon.reset();
    return nExit;
}
