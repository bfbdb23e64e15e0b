/* ruxo_test_env.h -- small file helpers shared by the engine, command-line and transcoder tests, and
 * the temporary folders of the engine tests: a transcoder folder holding the scripted fake
 * transcoder as "ruxod.so", and a data folder with its "log" sub-folder. Header-only. */
#ifndef RUXO_TEST_ENV_H
#define RUXO_TEST_ENV_H

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <sstream>
#include <string>

namespace ruxotest {

inline std::string makeTempDir(const char* tag)
{
    std::string tmpl = std::string("/tmp/ruxo-") + tag + "-XXXXXX";
    char* p = mkdtemp(&tmpl[0]);
    return p ? std::string(p) : std::string();
}

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
    for (size_t p = hay.find(needle); p != std::string::npos; p = hay.find(needle, p + 1)) ++n;
    return n;
}

/* The size of a file, or -1 when it does not exist. */
inline off_t fileSize(const std::string& path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? st.st_size : -1;
}

/* Removes a folder made by makeTempDir with everything in it; refuses any other path. */
inline void removeTree(const std::string& dir)
{
    if (dir.size() > 10 && dir.compare(0, 10, "/tmp/ruxo-") == 0) {
        std::string cmd = "rm -rf '" + dir + "'";
        if (system(cmd.c_str()) != 0) {
        }
    }
}

/* A root folder with "bin/ruxod.so" (a copy of the fake transcoder, mode 755) and "data/log". */
struct EngineDirs {
    std::string root, bin, data, log;

    bool create(const char* tag, const std::string& fakeScript)
    {
        root = makeTempDir(tag);
        if (root.empty()) return false;
        bin = root + "/bin";
        data = root + "/data";
        log = data + "/log";
        if (mkdir(bin.c_str(), 0755) != 0 || mkdir(data.c_str(), 0755) != 0 || mkdir(log.c_str(), 0755) != 0)
            return false;
        std::string exe = bin + "/ruxod.so";
        if (!writeFile(exe, readFile(fakeScript))) return false;
        return chmod(exe.c_str(), 0755) == 0;
    }
    std::string channelLog(int iChannel) const
    {
        char name[32];
        snprintf(name, sizeof name, "/ruxo_%03d.log", iChannel + 1);
        return log + name;
    }
    ~EngineDirs() { removeTree(root); }
};

} // namespace ruxotest

#endif
