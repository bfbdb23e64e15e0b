/* channel_test_util.h -- small file-system helpers for the playlist and channel tests: private
 * temporary folders (the shared TempDir), files, and reading a folder's listing order. */
#ifndef CHANNEL_TEST_UTIL_H
#define CHANNEL_TEST_UTIL_H

#include <dirent.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "ruxo_test_env.h"

using ruxotest::TempDir;

/* Whole-file reads and writes come from the shared test helpers; a file written without a text
 * holds "x". */
inline void writeFile(const std::string& strPath, const std::string& strText = "x")
{
    ruxotest::writeFile(strPath, strText);
}

inline bool fileExists(const std::string& strPath)
{
    return ruxotest::exists(strPath);
}

using ruxotest::readFile;

inline void makeDir(const std::string& strPath)
{
    mkdir(strPath.c_str(), 0755);
}

/* The names of a folder in the order its listing returns them, "." and ".." left out. */
inline std::vector<std::string> listingOrder(const std::string& strDir)
{
    std::vector<std::string> names;
    DIR* pDir = opendir(strDir.c_str());
    if (pDir == nullptr)
        return names;
    while (struct dirent* pEntry = readdir(pDir)) {
        if (strcmp(pEntry->d_name, ".") != 0 && strcmp(pEntry->d_name, "..") != 0)
            names.push_back(pEntry->d_name);
    }
    closedir(pDir);
    return names;
}

#endif
