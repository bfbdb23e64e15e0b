/* routes_curl.h -- a small HTTP client for the route tests: runs the curl binary against a loopback
 * server and returns the status, the headers and the body of the reply. */
#ifndef ROUTES_CURL_H
#define ROUTES_CURL_H

#include <fcntl.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

struct CurlReply {
    int nStatus = 0;                 /* 0: no reply at all (connection closed, refused) */
    int nExit = -1;                  /* curl's exit status */
    std::vector<std::pair<std::string, std::string>> headers; /* names in lower case, in order */
    std::string strBody;

    /* The first header of that name (lower case), or "" when there is none. */
    std::string header(const std::string& strName) const
    {
        for (const auto& h : headers) {
            if (h.first == strName)
                return h.second;
        }
        return std::string();
    }
    bool hasHeader(const std::string& strName) const
    {
        for (const auto& h : headers) {
            if (h.first == strName)
                return true;
        }
        return false;
    }
    int count(const std::string& strName) const
    {
        int n = 0;
        for (const auto& h : headers)
            n += h.first == strName;
        return n;
    }
};

inline std::string curlReadFile(const std::string& strPath)
{
    std::ifstream in(strPath, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

inline void curlWriteFile(const std::string& strPath, const std::string& strData)
{
    std::ofstream out(strPath, std::ios::binary | std::ios::trunc);
    out << strData;
}

/* Runs curl with the given arguments (the URL among them) in the scratch folder strDir. */
inline CurlReply curlRun(const std::string& strDir, const std::vector<std::string>& args)
{
    const std::string strHeaders = strDir + "/curl.headers";
    const std::string strBody = strDir + "/curl.body";
    const std::string strOut = strDir + "/curl.out";
    unlink(strHeaders.c_str());
    unlink(strBody.c_str());
    std::vector<std::string> argv = {"curl", "-s", "--max-time", "10", "-o", strBody, "-D", strHeaders,
                                     "-w", "%{http_code}"};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char*> cargv;
    for (auto& a : argv)
        cargv.push_back(const_cast<char*>(a.c_str()));
    cargv.push_back(nullptr);

    CurlReply r;
    pid_t pid = fork();
    if (pid == 0) {
        int fd = open(strOut.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd >= 0) {
            dup2(fd, 1);
            close(fd);
        }
        execvp("curl", cargv.data());
        _exit(127);
    }
    int status = 0;
    if (pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status))
        r.nExit = WEXITSTATUS(status);
    r.nStatus = atoi(curlReadFile(strOut).c_str());
    r.strBody = curlReadFile(strBody);
    std::istringstream hs(curlReadFile(strHeaders));
    std::string line;
    while (std::getline(hs, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        size_t colon = line.find(':');
        if (line.compare(0, 5, "HTTP/") == 0) {
            r.headers.clear(); /* the last reply's headers only */
            continue;
        }
        if (colon == std::string::npos)
            continue;
        std::string name = line.substr(0, colon);
        for (auto& c : name)
            c = (char)tolower((unsigned char)c);
        size_t v = colon + 1;
        while (v < line.size() && line[v] == ' ')
            v++;
        r.headers.emplace_back(name, line.substr(v));
    }
    return r;
}

/* Strict JSON check by a second, independent parser (Python's), when one is installed.
 * Returns 1 when the text is valid JSON, 0 when not, -1 when no checker is available. */
inline int curlStrictJson(const std::string& strDir, const std::string& strText)
{
    if (access("/usr/bin/python3", X_OK) != 0)
        return -1;
    const std::string strPath = strDir + "/strict.json";
    curlWriteFile(strPath, strText);
    std::string cmd = "/usr/bin/python3 -c 'import json,sys; json.loads(open(sys.argv[1],\"rb\").read()"
                      ".decode(\"utf-8\"))' '" + strPath + "' 2>/dev/null";
    return system(cmd.c_str()) == 0 ? 1 : 0;
}

#endif
