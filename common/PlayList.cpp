/* PlayList.cpp -- folder playlists: scanning a channel's source folder into a list of files, moving
 * from file to file, and keeping the current file in a state file across restarts.
 *
 * State file: an optional first line "current <path>" naming the current file, then one full path a
 * line in list order. */
#include "PlayList.h"

#include <dirent.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <iterator>
#include <random>

#include "ruxo_text_core.h"

BOOL isDirectory(LPCTSTR tszfn)
{
    struct stat st;
    if (tszfn == nullptr || stat(tszfn, &st) != 0)
        return FALSE;
    return (st.st_mode & 0040000) ? TRUE : FALSE;
}

static const char s_szCurrent[] = "current ";
static const size_t s_cchCurrent = sizeof(s_szCurrent) - 1;

CPlayList::CPlayList() : m_bRecursive(FALSE), m_bShuffle(FALSE), m_posCurItem(m_lstPlayItems.end()) {}

CPlayList::~CPlayList()
{
    Save();
}

void CPlayList::init(LPCTSTR tszfnPlayList)
{
    m_strfnPlayList = tszfnPlayList ? tszfnPlayList : "";
    Load();
}

void CPlayList::Load()
{
    if (m_strfnPlayList.empty())
        return;
    FILE* fp = fopen(m_strfnPlayList.c_str(), "re");
    if (fp == nullptr)
        return;

    std::unordered_set<std::string> setListed(m_lstPlayItems.begin(), m_lstPlayItems.end());
    std::string strCurrent;
    bool bHasCurrent = false;
    char* pszLine = nullptr;
    size_t cbLine = 0;
    ssize_t cchRead;
    /* Lines are read whole, whatever their length. */
    while ((cchRead = getline(&pszLine, &cbLine, fp)) >= 0) {
        std::string strLine(pszLine, (size_t)cchRead);
        if (ruxoStartsNoCase(strLine, s_szCurrent)) { /* "current " in any ASCII letter case */
            size_t posEnd = strLine.find_first_of("\r\n", s_cchCurrent);
            std::string strPath = strLine.substr(s_cchCurrent, posEnd == std::string::npos ? std::string::npos
                                                                                           : posEnd - s_cchCurrent);
            if (!strPath.empty()) {
                strCurrent = strPath;
                bHasCurrent = true;
            }
            continue;
        }
        size_t cch = strLine.size();
        while (cch > 0 && (strLine[cch - 1] == '\r' || strLine[cch - 1] == '\n' || strLine[cch - 1] == ' '))
            cch--;
        strLine.resize(cch);
        if (strLine.empty())
            continue; /* names no file */
        if (setListed.insert(strLine).second)
            m_lstPlayItems.push_back(strLine);
    }
    free(pszLine);
    fclose(fp);

    if (m_lstPlayItems.empty())
        return;
    if (!bHasCurrent) {
        m_posCurItem = m_lstPlayItems.begin();
        return;
    }
    m_posCurItem = std::find(m_lstPlayItems.cbegin(), m_lstPlayItems.cend(), strCurrent);
}

void CPlayList::Save() const
{
    if (m_strfnPlayList.empty())
        return;
    if (!isDirectory(m_strRoot.c_str()) || m_lstPlayItems.empty()) {
        unlink(m_strfnPlayList.c_str());
        return;
    }
    FILE* fp = fopen(m_strfnPlayList.c_str(), "we");
    if (fp == nullptr)
        return;
    if (m_posCurItem != m_lstPlayItems.end()) {
        fputs(s_szCurrent, fp);
        fputs(m_posCurItem->c_str(), fp);
        fputc('\n', fp);
    }
    for (const std::string& strItem : m_lstPlayItems) {
        fputs(strItem.c_str(), fp);
        fputc('\n', fp);
    }
    fclose(fp);
}

void CPlayList::insertFile(LPCTSTR tszDir, LPCTSTR tszfn)
{
    std::string strPath = std::string(tszDir) + "/" + tszfn;
    /* A rescan without clearing (refresh) meets files that are listed already. */
    if (!m_setListed.insert(strPath).second)
        return;
    if (m_bShuffle && !m_lstPlayItems.empty()) {
        static thread_local std::minstd_rand s_rand(std::random_device{}());
        std::uniform_int_distribution<size_t> dist(0, m_lstPlayItems.size() - 1);
        auto it = m_lstPlayItems.begin();
        std::advance(it, (long)dist(s_rand));
        m_lstPlayItems.insert(it, strPath);
        return;
    }
    m_lstPlayItems.push_back(strPath);
}

int CPlayList::populate(LPCTSTR tszRoot)
{
    DIR* pDir = opendir(tszRoot);
    if (pDir == nullptr)
        return 0;

    /* Enter each folder once per scan: a link to a parent folder would recurse without end. */
    struct stat st;
    if (fstat(dirfd(pDir), &st) == 0) {
        std::string strKey = std::to_string((unsigned long long)st.st_dev) + ":" +
                             std::to_string((unsigned long long)st.st_ino);
        if (!m_setVisited.insert(strKey).second) {
            closedir(pDir);
            return GetCount();
        }
    }

    struct dirent* pEntry;
    while ((pEntry = readdir(pDir)) != nullptr) {
        const char* szName = pEntry->d_name;
        if (strcmp(szName, ".") == 0 || strcmp(szName, "..") == 0)
            continue;
        std::string strPath = std::string(tszRoot) + "/" + szName;
        if (isDirectory(strPath.c_str())) {
            if (m_bRecursive)
                populate(strPath.c_str());
            continue;
        }
        insertFile(tszRoot, szName);
    }
    closedir(pDir);
    return GetCount();
}

int CPlayList::scan(LPCTSTR tszRoot, BOOL bClear)
{
    std::string strRemembered = m_posCurItem != m_lstPlayItems.end() ? *m_posCurItem : "";
    if (bClear) {
        m_lstPlayItems.clear();
        m_posCurItem = m_lstPlayItems.end();
    }
    std::string strRoot = tszRoot ? tszRoot : "";
    if (!strRoot.empty() && strRoot.back() == '/')
        strRoot.pop_back();
    m_strRoot = strRoot;

    m_setListed.clear();
    m_setListed.insert(m_lstPlayItems.begin(), m_lstPlayItems.end());
    m_setVisited.clear();
    populate(m_strRoot.c_str());
    m_setListed.clear();
    m_setVisited.clear();

    if (m_lstPlayItems.empty())
        return 0;

    if (!strRemembered.empty()) {
        auto itRemembered = std::find(m_lstPlayItems.cbegin(), m_lstPlayItems.cend(), strRemembered);
        m_posCurItem = itRemembered != m_lstPlayItems.cend() ? itRemembered : m_lstPlayItems.cbegin();
    } else if (m_posCurItem == m_lstPlayItems.end()) {
        m_posCurItem = m_lstPlayItems.begin();
    }
    Save();
    return GetCount();
}

int CPlayList::build(LPCTSTR tszRoot, BOOL bRecursive, BOOL bShuffle, BOOL bClear)
{
    m_bRecursive = bRecursive ? TRUE : FALSE;
    m_bShuffle = bShuffle ? TRUE : FALSE;
    return scan(tszRoot, bClear);
}

int CPlayList::refresh()
{
    if (m_strRoot.empty())
        return GetCount(); /* no folder known yet (a loaded state file does not name one) */
    std::string strRoot = m_strRoot;
    return scan(strRoot.c_str(), FALSE);
}

int CPlayList::GetCount() const
{
    return (int)m_lstPlayItems.size();
}

LPCTSTR CPlayList::GetCurFile() const
{
    return m_posCurItem == m_lstPlayItems.end() ? nullptr : m_posCurItem->c_str();
}

LPCTSTR CPlayList::MoveNext(BOOL bLoop)
{
    auto itNext = m_posCurItem == m_lstPlayItems.cend() ? m_lstPlayItems.cbegin() : std::next(m_posCurItem);
    if (itNext == m_lstPlayItems.cend()) {
        if (!bLoop)
            return nullptr;
        m_posCurItem = m_lstPlayItems.cbegin();
    } else {
        m_posCurItem = itNext;
    }
    Save();
    return GetCurFile();
}

LPCTSTR CPlayList::MovePrev(BOOL bLoop)
{
    if (m_lstPlayItems.empty() || m_posCurItem == m_lstPlayItems.cbegin()) {
        if (!bLoop)
            return nullptr;
        m_posCurItem = m_lstPlayItems.empty() ? m_lstPlayItems.cend() : std::prev(m_lstPlayItems.cend());
    } else {
        m_posCurItem = std::prev(m_posCurItem); /* from no current file (end) this is the last file */
    }
    Save();
    return GetCurFile();
}
