/* ruxo_test_env.h -- small file and process helpers shared by the tests (the process helpers read
 * /proc and take a process that ends meanwhile as gone), and the folders of the engine tests: a
 * transcoder folder holding the scripted fake transcoder as "ruxod.so", and a data folder with its
 * "log" sub-folder, in one temporary folder (ruxo_temp_dir.h). Header-only. */
#ifndef RUXO_TEST_ENV_H
#define RUXO_TEST_ENV_H

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "ruxo_temp_dir.h"

namespace ruxotest {

/* What the file holds, or as much as could be read. Plain read(2), not a stream: the streams throw
 * when a read fails, and a /proc file of a process that has just ended fails with ESRCH. */
inline std::string readFile(const std::string& path)
{
    std::string text;
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return text;
    char buf[65536];
    for (;;) {
        ssize_t n = read(fd, buf, sizeof(buf));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        text.append(buf, (size_t)n);
    }
    close(fd);
    return text;
}

inline bool writeFile(const std::string& path, const std::string& text)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    return bool(out);
}

inline bool exists(const std::string& path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

/* How often needle occurs in hay, overlapping occurrences included. */
inline size_t countOf(const std::string& hay, const std::string& needle)
{
    size_t n = 0;
    for (size_t p = hay.find(needle); p != std::string::npos; p = hay.find(needle, p + 1))
        ++n;
    return n;
}

/* The size of a file, or -1 when it does not exist. */
inline off_t fileSize(const std::string& path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? st.st_size : -1;
}

/* Milliseconds of a monotonic clock. */
inline long long nowMs()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (long long)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

/* Polls pred every 10 ms until it holds or nTimeoutMs has passed. */
inline bool waitUntil(const std::function<bool()>& pred, int nTimeoutMs)
{
    long long tmEnd = nowMs() + nTimeoutMs;
    for (;;) {
        if (pred())
            return true;
        if (nowMs() > tmEnd)
            return false;
        usleep(10000);
    }
}

/* One record of the scripted fake transcoder (tests/support/fake_transcoder.sh): "<pid> <kind>
 * <rest>", kind being "line", "at", "fds", "noread" or "bg". */
struct FakeRecord {
    pid_t pid;
    std::string kind, rest;
};

/* Every record in the fake's record file, in order. */
inline std::vector<FakeRecord> fakeRecords(const std::string& file)
{
    std::vector<FakeRecord> out;
    std::istringstream in(readFile(file));
    std::string line;
    while (std::getline(in, line)) {
        size_t a = line.find(' '), b = line.find(' ', a + 1);
        if (a == std::string::npos)
            continue;
        FakeRecord r;
        r.pid = atoi(line.substr(0, a).c_str());
        r.kind = line.substr(a + 1, b == std::string::npos ? std::string::npos : b - a - 1);
        r.rest = b == std::string::npos ? "" : line.substr(b + 1);
        out.push_back(r);
    }
    return out;
}

/* State, parent and name (comm) of a process, from /proc/<pid>/stat; false when it is gone. */
inline bool procStat(pid_t pid, char* pState, pid_t* pPpid, std::string* pComm)
{
    std::string strStat = readFile("/proc/" + std::to_string(pid) + "/stat");
    size_t nOpen = strStat.find('(');
    size_t nClose = strStat.rfind(')');
    if (nOpen == std::string::npos || nClose == std::string::npos || nClose + 4 > strStat.size())
        return false;
    char state = 0;
    int ppid = 0;
    if (sscanf(strStat.c_str() + nClose + 1, " %c %d", &state, &ppid) != 2)
        return false;
    if (pComm)
        *pComm = strStat.substr(nOpen + 1, nClose - nOpen - 1);
    if (pState)
        *pState = state;
    if (pPpid)
        *pPpid = ppid;
    return true;
}

/* A process exists and is no zombie. */
inline bool processAlive(pid_t pid)
{
    char state = 0;
    if (pid <= 0 || !procStat(pid, &state, nullptr, nullptr))
        return false;
    return state != 'Z' && state != 'X';
}

/* The name (comm) of a process, empty when gone. */
inline std::string processName(pid_t pid)
{
    std::string strComm;
    if (!procStat(pid, nullptr, nullptr, &strComm))
        return std::string();
    return strComm;
}

/* The direct children of a process (from /proc). */
inline std::vector<pid_t> childrenOf(pid_t pid)
{
    std::vector<pid_t> kids;
    DIR* dir = opendir("/proc");
    if (!dir)
        return kids;
    while (struct dirent* ent = readdir(dir)) {
        char* pEnd = nullptr;
        long n = strtol(ent->d_name, &pEnd, 10);
        if (n <= 0 || *pEnd)
            continue;
        pid_t ppid = 0;
        if (procStat((pid_t)n, nullptr, &ppid, nullptr) && ppid == pid)
            kids.push_back((pid_t)n);
    }
    closedir(dir);
    return kids;
}

/* Copies a file, its copy getting the mode; false when it cannot be read or written whole. */
inline bool copyFile(const std::string& strFrom, const std::string& strTo, mode_t mode)
{
    int fdIn = open(strFrom.c_str(), O_RDONLY | O_CLOEXEC);
    if (fdIn < 0)
        return false;
    int fdOut = open(strTo.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
    if (fdOut < 0) {
        close(fdIn);
        return false;
    }
    char buf[65536];
    bool bOk = true;
    for (;;) {
        ssize_t n = read(fdIn, buf, sizeof(buf));
        if (n == 0)
            break;
        if (n < 0) {
            if (errno == EINTR)
                continue;
            bOk = false;
            break;
        }
        for (ssize_t off = 0; off < n;) {
            ssize_t w = write(fdOut, buf + off, (size_t)(n - off));
            if (w < 0 && errno == EINTR)
                continue;
            if (w <= 0) {
                bOk = false;
                break;
            }
            off += w;
        }
        if (!bOk)
            break;
    }
    close(fdIn);
    if (close(fdOut) != 0)
        bOk = false;
    return bOk && chmod(strTo.c_str(), mode) == 0;
}

/* A root folder with "bin/ruxod.so" (a copy of the fake transcoder, mode 755) and "data/log". */
struct EngineDirs {
    std::string root, bin, data, log;

    bool create(const char* tag, const std::string& fakeScript)
    {
        if (!tmp.make(tag))
            return false;
        root = tmp.path();
        bin = root + "/bin";
        data = root + "/data";
        log = data + "/log";
        if (mkdir(bin.c_str(), 0755) != 0 || mkdir(data.c_str(), 0755) != 0 || mkdir(log.c_str(), 0755) != 0)
            return false;
        return copyFile(fakeScript, bin + "/ruxod.so", 0755);
    }
    std::string channelLog(int iChannel) const
    {
        char name[32];
        snprintf(name, sizeof name, "/ruxo_%03d.log", iChannel + 1);
        return log + name;
    }

private:
    TempDir tmp;
};

}  // namespace ruxotest

#endif
