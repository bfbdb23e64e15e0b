/* PlayList.h -- one channel's folder playlist: the files found in the channel's source folder, the
 * file now playing, and a small state file through which that position survives a restart.
 *
 * A playlist takes no lock of its own: its users (channel start, preview, status and the daemon's
 * supervision pass) hold the configuration lock around every use, and copy any path they keep. */
#ifndef RUXO_PLAYLIST_H
#define RUXO_PLAYLIST_H

#include <list>
#include <string>
#include <unordered_set>

#include "tchar.h"

/* A path names a folder: stat succeeds and the mode has the directory bit (0040000) set. */
BOOL isDirectory(LPCTSTR tszfn);

class CPlayList {
public:
    CPlayList();
    /* Writes the state file (or removes it, see Save) and releases the list. */
    virtual ~CPlayList();

    CPlayList(const CPlayList&) = delete;
    CPlayList& operator=(const CPlayList&) = delete;

    /* Names the state file and loads it: the list and the position come back, the folder does not. */
    void init(LPCTSTR tszfnPlayList);
    /* (Re)builds the list from the folder tszRoot and keeps the current file where it can; returns
     * the number of files listed, 0 when there are none (then nothing is saved). */
    int build(LPCTSTR tszRoot, BOOL bRecursive, BOOL bShuffle, BOOL bClear);
    /* Scans the folder of the last build again with its flags, keeping the list; files already
     * listed are not added twice. */
    int refresh();

    int GetCount() const;
    /* The current file's full path, or null; valid until the list or the position next changes. */
    LPCTSTR GetCurFile() const;
    /* Moves to the next (previous) file; at the end (start) of the list, wraps around when bLoop is
     * true and otherwise returns null without moving. Returns the new current path or null. */
    LPCTSTR MoveNext(BOOL bLoop);
    LPCTSTR MovePrev(BOOL bLoop);

protected:
    void Load();
    void Save() const;
    void insertFile(LPCTSTR tszDir, LPCTSTR tszfn);
    int populate(LPCTSTR tszRoot);

    std::string m_strfnPlayList; /* state file; empty until init */
    std::string m_strRoot;       /* folder of the last build, no trailing '/' */
    BOOL m_bRecursive;
    BOOL m_bShuffle;
    std::list<std::string> m_lstPlayItems;               /* full paths, in the order added */
    std::list<std::string>::const_iterator m_posCurItem; /* end() = no current file */

private:
    /* Working sets of one scan: the paths already listed, and the folders already entered (by device
     * and inode, so that a link back to a parent folder cannot make the scan endless). */
    std::unordered_set<std::string> m_setListed;
    std::unordered_set<std::string> m_setVisited;
    int scan(LPCTSTR tszRoot, BOOL bClear);
};

#endif
