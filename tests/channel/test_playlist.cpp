/* test_playlist.cpp -- folder playlists: scanning, moving, the state file and its keep-or-remove rule,
 * against real folders in private temporary directories. */
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/un.h>

#include <algorithm>
#include <memory>
#include <set>

#include "PlayList.h"
#include "channel_test_util.h"

namespace {

/* Exposes the protected list for checks. */
class TestPlayList : public CPlayList {
public:
    std::vector<std::string> items() const { return {m_lstPlayItems.begin(), m_lstPlayItems.end()}; }
    std::string cur() const { return GetCurFile() ? GetCurFile() : "(none)"; }
};

class PlayListTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_FALSE(tmp.path().empty());
        media = tmp.file("media");
        makeDir(media);
        pls = tmp.file("ruxo_001.pls");
    }
    /* Paths of media's files in listing order. */
    std::vector<std::string> expectedPaths(const std::string& strDir) const
    {
        std::vector<std::string> paths;
        for (const std::string& strName : listingOrder(strDir))
            paths.push_back(strDir + "/" + strName);
        return paths;
    }
    TempDir tmp{"channel"};
    std::string media, pls;
};

TEST_F(PlayListTest, ThreeFilesCycleWithLoopAndStayOnLastWithout)
{
    for (const char* sz : {"a.ts", "b.ts", "c.ts"})
        writeFile(media + "/" + sz);
    std::vector<std::string> order = expectedPaths(media);
    ASSERT_EQ(order.size(), 3u);

    struct Case {
        BOOL bLoop;
        std::vector<int> plays; /* index into order of each of five starts */
    } cases[] = {{TRUE, {0, 1, 2, 0, 1}}, {FALSE, {0, 1, 2, 2, 2}}};
    for (const Case& c : cases) {
        unlink(pls.c_str());
        TestPlayList pl;
        pl.init(pls.c_str());
        /* Each start rebuilds the list and plays its current file; between starts the daemon moves on. */
        for (size_t i = 0; i < c.plays.size(); i++) {
            if (i > 0) {
                LPCTSTR tszNext = pl.MoveNext(c.bLoop);
                if (!c.bLoop && i >= 3) {
                    EXPECT_EQ(tszNext, nullptr) << "no move past the last file";
                }
            }
            ASSERT_EQ(pl.build(media.c_str(), FALSE, FALSE, TRUE), 3);
            EXPECT_EQ(pl.cur(), order[c.plays[i]]) << "loop " << c.bLoop << " start " << i;
        }
    }
}

TEST_F(PlayListTest, MoveNextWithoutLoopAtLastLeavesStateFileAlone)
{
    writeFile(media + "/a.ts");
    writeFile(media + "/b.ts");
    TestPlayList pl;
    pl.init(pls.c_str());
    ASSERT_EQ(pl.build(media.c_str(), FALSE, FALSE, TRUE), 2);
    ASSERT_NE(pl.MoveNext(FALSE), nullptr);
    std::string strLast = pl.cur();
    unlink(pls.c_str());
    EXPECT_EQ(pl.MoveNext(FALSE), nullptr);
    EXPECT_EQ(pl.cur(), strLast);
    EXPECT_FALSE(fileExists(pls)) << "a refused move saves nothing";
}

TEST_F(PlayListTest, MovePrevMirrorsMoveNext)
{
    for (const char* sz : {"a", "b", "c"})
        writeFile(media + "/" + sz);
    std::vector<std::string> order = expectedPaths(media);
    TestPlayList pl;
    ASSERT_EQ(pl.build(media.c_str(), FALSE, FALSE, TRUE), 3);
    EXPECT_EQ(pl.MovePrev(FALSE), nullptr);
    EXPECT_EQ(pl.cur(), order[0]);
    ASSERT_NE(pl.MovePrev(TRUE), nullptr);
    EXPECT_EQ(pl.cur(), order[2]);
    pl.MovePrev(FALSE);
    EXPECT_EQ(pl.cur(), order[1]);
}

TEST_F(PlayListTest, EmptyListMovesAndCurrentFileAreNull)
{
    TestPlayList pl;
    EXPECT_EQ(pl.GetCurFile(), nullptr);
    EXPECT_EQ(pl.GetCount(), 0);
    EXPECT_EQ(pl.MoveNext(TRUE), nullptr);
    EXPECT_EQ(pl.MoveNext(FALSE), nullptr);
    EXPECT_EQ(pl.MovePrev(TRUE), nullptr);
    EXPECT_EQ(pl.MovePrev(FALSE), nullptr);
}

TEST_F(PlayListTest, SingleFileIsListed)
{
    /* The listing order is not guaranteed, so no entry may be thrown away unexamined. */
    writeFile(media + "/only.mp4");
    TestPlayList pl;
    EXPECT_EQ(pl.build(media.c_str(), FALSE, FALSE, TRUE), 1);
    EXPECT_EQ(pl.cur(), media + "/only.mp4");
}

TEST_F(PlayListTest, RecursionOnAndOff)
{
    writeFile(media + "/a.ts");
    writeFile(media + "/z.ts");
    makeDir(media + "/sub");
    writeFile(media + "/sub/b.ts");
    makeDir(media + "/sub/deeper");
    writeFile(media + "/sub/deeper/c.ts");
    /* A link back to a parent folder must not make the scan endless. */
    ASSERT_EQ(symlink("..", (media + "/sub/loop").c_str()), 0);

    TestPlayList flat;
    EXPECT_EQ(flat.build(media.c_str(), FALSE, FALSE, TRUE), 2);
    std::vector<std::string> flatItems = flat.items();
    std::sort(flatItems.begin(), flatItems.end());
    EXPECT_EQ(flatItems, (std::vector<std::string>{media + "/a.ts", media + "/z.ts"}));

    /* Subfolder files stand where the subfolder came in its parent's listing. */
    std::vector<std::string> expected;
    for (const std::string& strName : listingOrder(media)) {
        if (strName != "sub") {
            expected.push_back(media + "/" + strName);
            continue;
        }
        for (const std::string& strSub : listingOrder(media + "/sub")) {
            if (strSub == "b.ts")
                expected.push_back(media + "/sub/b.ts");
            else if (strSub == "deeper")
                expected.push_back(media + "/sub/deeper/c.ts");
            /* "loop" leads back to media, already entered */
        }
    }
    TestPlayList deep;
    EXPECT_EQ(deep.build(media.c_str(), TRUE, FALSE, TRUE), 4);
    EXPECT_EQ(deep.items(), expected);
}

TEST_F(PlayListTest, TrailingSlashGivesSamePaths)
{
    writeFile(media + "/a.ts");
    writeFile(media + "/b.ts");
    TestPlayList plain, slashed;
    ASSERT_EQ(plain.build(media.c_str(), FALSE, FALSE, TRUE), 2);
    ASSERT_EQ(slashed.build((media + "/").c_str(), FALSE, FALSE, TRUE), 2);
    EXPECT_EQ(plain.items(), slashed.items());
    EXPECT_EQ(plain.items()[0].rfind(media + "/", 0), 0u);
    EXPECT_EQ(plain.items()[0].find("//"), std::string::npos);
}

TEST_F(PlayListTest, EmptyOrMissingFolderBuildsNothingAndKeepsStateFile)
{
    for (std::string strRoot : {media, tmp.file("missing")}) {
        writeFile(pls, "current /old/x.ts\n/old/x.ts\n");
        TestPlayList pl;
        pl.init(pls.c_str());
        ASSERT_EQ(pl.GetCount(), 1);
        EXPECT_EQ(pl.build(strRoot.c_str(), FALSE, FALSE, TRUE), 0) << strRoot;
        EXPECT_EQ(pl.GetCurFile(), nullptr);
        EXPECT_EQ(pl.GetCount(), 0);
        EXPECT_EQ(readFile(pls), "current /old/x.ts\n/old/x.ts\n") << "an empty build saves nothing";
        /* The destructor then removes it: this run's folder yields no list. */
    }
}

TEST_F(PlayListTest, SaveWritesCurrentLineThenList)
{
    writeFile(media + "/a");
    writeFile(media + "/b");
    std::vector<std::string> order = expectedPaths(media);
    {
        TestPlayList pl;
        pl.init(pls.c_str());
        ASSERT_EQ(pl.build(media.c_str(), FALSE, FALSE, TRUE), 2);
        pl.MoveNext(TRUE);
        EXPECT_EQ(readFile(pls), "current " + order[1] + "\n" + order[0] + "\n" + order[1] + "\n");
    }
    /* A restart resumes at the file that was current, also after the rescan of the next start. */
    TestPlayList again;
    again.init(pls.c_str());
    EXPECT_EQ(again.cur(), order[1]);
    EXPECT_EQ(again.build(media.c_str(), FALSE, FALSE, TRUE), 2);
    EXPECT_EQ(again.cur(), order[1]);
}

TEST_F(PlayListTest, ResumeOfDeletedFileStartsAtFirst)
{
    writeFile(media + "/a");
    writeFile(media + "/b");
    writeFile(media + "/c");
    std::vector<std::string> order = expectedPaths(media);
    writeFile(pls, "current " + order[1] + "\n" + order[0] + "\n" + order[1] + "\n" + order[2] + "\n");
    unlink(order[1].c_str());
    TestPlayList pl;
    pl.init(pls.c_str());
    EXPECT_EQ(pl.cur(), order[1]);
    EXPECT_EQ(pl.build(media.c_str(), FALSE, FALSE, TRUE), 2);
    EXPECT_EQ(pl.cur(), expectedPaths(media)[0]);
}

TEST_F(PlayListTest, StateFileReadingRules)
{
    struct Case {
        const char* szName;
        std::string strFile;
        std::vector<std::string> items;
        std::string strCur;
    } cases[] = {
        {"duplicates load once", "/m/a\n/m/b\n/m/a\n/m/b\n", {"/m/a", "/m/b"}, "/m/a"},
        {"current anywhere, any case", "/m/a\n/m/b\nCURRENT /m/b\n", {"/m/a", "/m/b"}, "/m/b"},
        {"later current wins, empty one ignored",
         "current /m/a\ncurrent /m/b\ncurrent \n/m/a\n/m/b\n",
         {"/m/a", "/m/b"},
         "/m/b"},
        {"current path not listed", "current /m/gone\n/m/a\n", {"/m/a"}, "(none)"},
        {"trailing CR and blanks trimmed, current kept whole",
         "current /m/a b \r\n/m/a b  \r\n/m/c\r\n",
         {"/m/a b", "/m/c"},
         "(none)"},
        {"blank lines name no file", "\n   \n/m/a\n\n", {"/m/a"}, "/m/a"},
        {"no current line: first file", "/m/x\n/m/y\n", {"/m/x", "/m/y"}, "/m/x"},
        {"no final line feed", "current /m/y\n/m/x\n/m/y", {"/m/x", "/m/y"}, "/m/y"},
    };
    for (const Case& c : cases) {
        writeFile(pls, c.strFile);
        TestPlayList pl;
        pl.init(pls.c_str());
        EXPECT_EQ(pl.items(), c.items) << c.szName;
        EXPECT_EQ(pl.cur(), c.strCur) << c.szName;
    }
}

TEST_F(PlayListTest, CurrentPathNotListedMovesToFirst)
{
    writeFile(pls, "current /m/gone\n/m/a\n/m/b\n");
    TestPlayList pl;
    pl.init(pls.c_str());
    EXPECT_EQ(pl.GetCurFile(), nullptr);
    EXPECT_EQ(pl.cur(), "(none)");
    pl.MoveNext(FALSE);
    EXPECT_EQ(pl.cur(), "/m/a");
}

TEST_F(PlayListTest, LongCurrentPathResumes)
{
    /* A path of well over 250 characters, longer than any line buffer of 999 characters too. */
    std::string strDir = media;
    for (int i = 0; strDir.size() < 1200; i++) {
        strDir += "/" + std::string(120, (char)('a' + i % 26));
        makeDir(strDir);
    }
    writeFile(strDir + "/first.ts");
    writeFile(strDir + "/second.ts");
    std::vector<std::string> order = expectedPaths(strDir);
    {
        TestPlayList pl;
        pl.init(pls.c_str());
        ASSERT_EQ(pl.build(strDir.c_str(), FALSE, FALSE, TRUE), 2);
        pl.MoveNext(TRUE);
        ASSERT_EQ(pl.cur(), order[1]);
        ASSERT_GT(order[1].size(), 1200u);
    }
    TestPlayList again;
    again.init(pls.c_str());
    EXPECT_EQ(again.items(), order);
    EXPECT_EQ(again.cur(), order[1]);
}

TEST_F(PlayListTest, DestructorKeepsOrRemovesStateFile)
{
    writeFile(media + "/a");
    {
        /* built in this run, folder still there, list not empty: written */
        TestPlayList pl;
        pl.init(pls.c_str());
        pl.build(media.c_str(), FALSE, FALSE, TRUE);
    }
    EXPECT_EQ(readFile(pls), "current " + media + "/a\n" + media + "/a\n");
    {
        /* loaded but not built in this run: no folder known, removed */
        TestPlayList pl;
        pl.init(pls.c_str());
        EXPECT_EQ(pl.GetCount(), 1);
    }
    EXPECT_FALSE(fileExists(pls));
    {
        /* built, then the folder went away: removed */
        std::string strGone = tmp.file("gone");
        makeDir(strGone);
        writeFile(strGone + "/a");
        TestPlayList pl;
        pl.init(pls.c_str());
        ASSERT_EQ(pl.build(strGone.c_str(), FALSE, FALSE, TRUE), 1);
        ASSERT_TRUE(fileExists(pls));
        unlink((strGone + "/a").c_str());
        rmdir(strGone.c_str());
    }
    EXPECT_FALSE(fileExists(pls));
    {
        /* never named a state file: touches nothing */
        writeFile(pls, "keep\n");
        TestPlayList pl;
        pl.build(media.c_str(), FALSE, FALSE, TRUE);
    }
    EXPECT_EQ(readFile(pls), "keep\n");
}

TEST_F(PlayListTest, RebuildTakesInNewFilesAndDropsRemovedOnes)
{
    writeFile(media + "/a");
    writeFile(media + "/b");
    TestPlayList pl;
    ASSERT_EQ(pl.build(media.c_str(), FALSE, FALSE, TRUE), 2);
    writeFile(media + "/c");
    unlink((media + "/a").c_str());
    std::set<std::string> expected = {media + "/b", media + "/c"};
    ASSERT_EQ(pl.build(media.c_str(), FALSE, FALSE, TRUE), 2);
    std::vector<std::string> items = pl.items();
    EXPECT_EQ(std::set<std::string>(items.begin(), items.end()), expected);
}

TEST_F(PlayListTest, RefreshAndShuffleListEachFileOnce)
{
    for (const char* sz : {"a", "b", "c", "d", "e"})
        writeFile(media + "/" + sz);
    TestPlayList pl;
    ASSERT_EQ(pl.build(media.c_str(), FALSE, TRUE, TRUE), 5);
    std::string strCur = pl.cur();
    writeFile(media + "/f");
    EXPECT_EQ(pl.refresh(), 6) << "files already listed are not added again";
    EXPECT_EQ(pl.cur(), strCur);
    std::vector<std::string> items = pl.items();
    std::set<std::string> unique(items.begin(), items.end());
    EXPECT_EQ(unique.size(), 6u);
    EXPECT_EQ(unique.count(media + "/f"), 1u);
}

TEST(IsDirectory, TestsTheDirectoryModeBit)
{
    TempDir tmp{"channel"};
    writeFile(tmp.file("file"));
    EXPECT_TRUE(isDirectory(tmp.path().c_str()));
    EXPECT_FALSE(isDirectory(tmp.file("file").c_str()));
    EXPECT_FALSE(isDirectory(tmp.file("missing").c_str()));
    EXPECT_FALSE(isDirectory(""));
    EXPECT_FALSE(isDirectory(nullptr));

    /* Only the one bit is tested, so a socket (mode 0140000) counts as a folder. */
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(fd, 0);
    struct sockaddr_un addr;
    memset(&addr, 0, sizeof(addr));
    addr.sun_family = AF_UNIX;
    std::string strSock = tmp.file("s");
    ASSERT_LT(strSock.size(), sizeof(addr.sun_path));
    memcpy(addr.sun_path, strSock.c_str(), strSock.size());
    ASSERT_EQ(bind(fd, (struct sockaddr*)&addr, sizeof(addr)), 0);
    EXPECT_TRUE(isDirectory(strSock.c_str()));
    close(fd);
}

}  // namespace
