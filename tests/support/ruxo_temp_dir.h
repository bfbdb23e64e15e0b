/* ruxo_temp_dir.h -- the tests' temporary folders: TempDir makes a private folder with mkdtemp
 * under a parent folder and removes it with everything in it when it ends; removeTree is the one
 * removal, a depth-first walk with nftw that never leaves the folder's file system and never
 * follows a link (no shell). RUXO_KEEP_TMP set in the environment keeps every folder for
 * inspection. Header-only. */
#ifndef RUXO_TEMP_DIR_H
#define RUXO_TEMP_DIR_H

#include <errno.h>
#include <ftw.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>

namespace ruxotest {

namespace detail {

/* Entries the running walk could not remove (nftw's callback takes no context). */
inline int& removeFailures()
{
    static thread_local int s_nFailures = 0;
    return s_nFailures;
}

inline int removeEntry(const char* szPath, const struct stat*, int nType, struct FTW*)
{
    int r = (nType == FTW_DP || nType == FTW_D) ? rmdir(szPath) : unlink(szPath);
    if (r != 0 && errno != ENOENT)
        removeFailures()++;
    return 0; /* go on: remove as much as can be removed */
}

}  // namespace detail

/* Removes a file or a folder with everything in it, staying on the file system of strPath (a
 * mount inside is left alone, and so is its mount point). True when nothing is left of it, also
 * when there was nothing; refuses an empty, relative or root path. */
inline bool removeTree(const std::string& strPath)
{
    if (strPath.size() < 2 || strPath[0] != '/')
        return false;
    detail::removeFailures() = 0;
    if (nftw(strPath.c_str(), detail::removeEntry, 16, FTW_DEPTH | FTW_PHYS | FTW_MOUNT) != 0)
        return errno == ENOENT;
    return detail::removeFailures() == 0;
}

/* A private folder "<parent>/ruxo-<tag>-XXXXXX", removed with its contents when the object ends.
 * Only the process that made it removes it: a forked copy of the object leaves it alone. */
class TempDir {
public:
    TempDir() = default;
    explicit TempDir(const char* szTag, const std::string& strParent = "/tmp") { make(szTag, strParent); }
    ~TempDir() { remove(); }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    /* Makes a new folder (removing one made before); false, errno set by mkdtemp, when it fails. */
    bool make(const char* szTag, const std::string& strParent = "/tmp")
    {
        remove();
        std::string strTemplate = strParent + "/ruxo-" + szTag + "-XXXXXX";
        if (!mkdtemp(&strTemplate[0]))
            return false;
        m_strPath = strTemplate;
        m_pidOwner = getpid();
        return true;
    }

    /* Removes the folder now (unless kept); the object then holds none. */
    void remove()
    {
        if (!m_strPath.empty() && !m_bKeep && m_pidOwner == getpid() && !getenv("RUXO_KEEP_TMP"))
            removeTree(m_strPath);
        m_strPath.clear();
        m_bKeep = false;
    }

    /* Leaves the folder in place at the end (a failed test's files, for inspection). */
    void keep() { m_bKeep = true; }

    bool ok() const { return !m_strPath.empty(); }
    const std::string& path() const { return m_strPath; }
    std::string file(const std::string& strName) const { return m_strPath + "/" + strName; }

private:
    std::string m_strPath;
    pid_t m_pidOwner = 0;
    bool m_bKeep = false;
};

}  // namespace ruxotest

#endif
