// The open-and-check module against links planted from the Linux side (plant-links.sh): a link at
// each level of a chain, a folder swapped for a link between a check and a use, a file with two
// names; and its plain work (copies, deletes, long paths) in a tree the test makes itself.
#include "base/checkedopen.h"

#include "harness/testlib.h"

#include <gtest/gtest.h>

using corvane_test::DirExists;
using corvane_test::FileExists;
using corvane_test::MakeDirs;
using corvane_test::ReadFileBytes;
using corvane_test::WriteFileBytes;

namespace {

const std::wstring Root = L"C:\\corvane-scratch\\checkedopen";

std::wstring Extended(const wchar_t* path) {
    std::wstring text;
    DWORD error = ExtendedPath(path, &text);
    return error == ERROR_SUCCESS ? text : L"error " + std::to_wstring(error);
}

std::string ReadLong(const std::wstring& path) {
    HANDLE file =
        CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return "<missing>";
    char buffer[256];
    DWORD read = 0;
    ReadFile(file, buffer, sizeof(buffer), &read, nullptr);
    CloseHandle(file);
    return std::string(buffer, read);
}

// Files directly in a folder, so a test can tell that nothing new landed there.
int CountFiles(const std::wstring& folder) {
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW((folder + L"\\*").c_str(), &data);
    if (find == INVALID_HANDLE_VALUE) return -1;
    int count = 0;
    do {
        if (!(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) ++count;
    } while (FindNextFileW(find, &data));
    FindClose(find);
    return count;
}

class CheckedOpen : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(FileExists(Root + L"\\outside1\\file.txt")) << "links not planted";
        plain = Root + L"\\plain";
        corvane_test::DeleteTestTree(plain);
        MakeDirs(plain + L"\\source");
        WriteFileBytes(plain + L"\\source\\file.txt", "new content");
    }
    std::wstring plain;
};

TEST(ExtendedPathForm, AbsolutePathsOnlyWithoutDotSteps) {
    EXPECT_EQ(L"\\\\?\\C:\\a\\b", Extended(L"C:\\a\\\\b\\"));
    EXPECT_EQ(L"\\\\?\\C:\\a\\b", Extended(L"C:/a/b"));
    EXPECT_EQ(L"\\\\?\\C:\\", Extended(L"C:\\"));
    EXPECT_EQ(L"\\\\?\\C:\\x", Extended(L"\\\\?\\C:\\x"));
    EXPECT_EQ(L"\\\\?\\UNC\\server\\share\\x", Extended(L"\\\\server\\share\\x"));
    EXPECT_EQ(L"error 123", Extended(L"\\\\server"));
    EXPECT_EQ(L"error 123", Extended(L"a\\b"));
    EXPECT_EQ(L"error 123", Extended(L"C:a"));
    EXPECT_EQ(L"error 123", Extended(L"C:\\a\\..\\b"));
    EXPECT_EQ(L"error 123", Extended(L"C:\\a\\.\\b"));
    EXPECT_EQ(L"error 123", Extended(nullptr));
}

TEST_F(CheckedOpen, ChainAndCopyInAPlainTree) {
    HeldFolder held;
    EXPECT_EQ(static_cast<DWORD>(ERROR_BAD_PATHNAME),
              HoldFolderChain(plain.c_str(), (Root + L"\\plainer").c_str(), false, &held));
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND),
              HoldFolderChain(plain.c_str(), (plain + L"\\x\\y").c_str(), false, &held))
        << "a missing folder is not made without create";
    ASSERT_EQ(0u, HoldFolderChain(plain.c_str(), (plain + L"\\x\\y").c_str(), true, &held));
    EXPECT_EQ(3u, held.levels.size());
    EXPECT_TRUE(DirExists(plain + L"\\x\\y"));

    // Copy in, then copy again over the first copy.
    std::wstring target = plain + L"\\x\\y\\copy.txt";
    ASSERT_EQ(0u, CopyCheckedFile(plain.c_str(), (plain + L"\\source\\file.txt").c_str(), plain.c_str(),
                                  target.c_str()));
    EXPECT_EQ("new content", ReadFileBytes(target));
    WriteFileBytes(plain + L"\\source\\file.txt", "second");
    ASSERT_EQ(0u, CopyCheckedFile(plain.c_str(), (plain + L"\\source\\file.txt").c_str(), plain.c_str(),
                                  target.c_str()));
    EXPECT_EQ("second", ReadFileBytes(target));
    // A file onto itself is refused, not lost.
    EXPECT_NE(0u, CopyCheckedFile(plain.c_str(), target.c_str(), plain.c_str(), target.c_str()));
    EXPECT_EQ("second", ReadFileBytes(target));
    EXPECT_EQ(
        static_cast<DWORD>(ERROR_FILE_NOT_FOUND),
        CopyCheckedFile(plain.c_str(), (plain + L"\\source\\none").c_str(), plain.c_str(), target.c_str()));
    EXPECT_EQ("second", ReadFileBytes(target)) << "a failed copy leaves the old target";

    // Only opens that cannot truncate before the check; one component names a file.
    UniqueFile file;
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER),
              OpenCheckedFile(held, L"copy.txt", GENERIC_WRITE, 0, CREATE_ALWAYS, &file));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER),
              OpenCheckedFile(held, L"copy.txt", GENERIC_WRITE, 0, TRUNCATE_EXISTING, &file));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_NAME),
              OpenCheckedFile(held, L"..\\copy.txt", GENERIC_READ, 0, OPEN_EXISTING, &file));
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_EXISTS),
              OpenCheckedFile(held, L"copy.txt", GENERIC_WRITE, 0, CREATE_NEW, &file));
    EXPECT_EQ("second", ReadFileBytes(target));
}

TEST_F(CheckedOpen, LongPathsAreNotSkipped) {
    std::wstring deep = plain;
    while (deep.size() < 300)
        deep += L"\\a-rather-long-folder-name";
    std::wstring target = deep + L"\\copy.txt";
    ASSERT_EQ(0u, CopyCheckedFile(plain.c_str(), (plain + L"\\source\\file.txt").c_str(), plain.c_str(),
                                  target.c_str()));
    EXPECT_EQ("new content", ReadLong(L"\\\\?\\" + target));
    ASSERT_EQ(0u, DeleteFilesInTreeChecked(plain.c_str(), plain.c_str()));
    EXPECT_EQ("<missing>", ReadLong(L"\\\\?\\" + target));
    EXPECT_FALSE(FileExists(plain + L"\\source\\file.txt"));
    EXPECT_TRUE(DirExists(plain + L"\\source")) << "folders stay";
}

TEST_F(CheckedOpen, ReadOnlyFileIsDeletedThroughItsHandle) {
    WriteFileBytes(plain + L"\\source\\locked.txt", "x", FILE_ATTRIBUTE_READONLY);
    EXPECT_EQ(0u, DeleteFilesInTreeChecked(plain.c_str(), (plain + L"\\source").c_str()));
    EXPECT_FALSE(FileExists(plain + L"\\source\\locked.txt"));
}

// tree\a, tree\a\b and tree\a\b\c are links in turn: nothing is made, written or deleted through
// them, whichever level it is.
TEST_F(CheckedOpen, LinkAtEachLevelIsRefused) {
    for (int level = 1; level <= 3; ++level) {
        SCOPED_TRACE(level);
        std::wstring base = Root + L"\\level" + std::to_wstring(level) + L"\\tree";
        std::wstring outside = Root + L"\\outside" + std::to_wstring(level);
        std::wstring deepest = base + L"\\a\\b\\c";
        HeldFolder held;
        EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED),
                  HoldFolderChain(base.c_str(), deepest.c_str(), true, &held));
        EXPECT_TRUE(held.levels.empty());
        EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED),
                  CopyCheckedFile(plain.c_str(), (plain + L"\\source\\file.txt").c_str(), base.c_str(),
                                  (deepest + L"\\file.txt").c_str()));
        EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED),
                  CopyCheckedFile(base.c_str(), (deepest + L"\\file.txt").c_str(), plain.c_str(),
                                  (plain + L"\\read.txt").c_str()))
            << "nor is a file read through one";
        EXPECT_FALSE(FileExists(plain + L"\\read.txt"));
        EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED),
                  DeleteFilesInTreeChecked(base.c_str(), deepest.c_str()));
        EXPECT_EQ(0u, DeleteFilesInTreeChecked(base.c_str(), base.c_str())) << "the link is passed over";
        EXPECT_TRUE(PathCrossesLinkChecked(base.c_str(), (deepest + L"\\file.txt").c_str()));
        EXPECT_TRUE(PathCrossesLinkChecked(base.c_str(), deepest.c_str()));
        EXPECT_EQ("keep " + std::to_string(level), ReadFileBytes(outside + L"\\file.txt"));
        EXPECT_EQ(1, CountFiles(outside));
        EXPECT_FALSE(DirExists(outside + L"\\c")) << "no folder made through the link";
        EXPECT_FALSE(DirExists(outside + L"\\b"));
    }
}

// The check on a path says "no link"; the folder is then replaced by a link (its parent is swapped
// for one holding a link of the same name, as a user would swap in a junction) before the use: the
// use, checked on its own handle, refuses.
TEST_F(CheckedOpen, FolderSwappedForALinkBetweenTwoCallsIsRefused) {
    std::wstring base = Root + L"\\swap\\tree";
    std::wstring file = base + L"\\real\\file.txt";
    std::wstring outside = Root + L"\\outsideswap\\file.txt";
    ASSERT_FALSE(PathCrossesLinkChecked(base.c_str(), file.c_str()));
    HeldFolder held;
    ASSERT_EQ(0u, HoldFolderChain(base.c_str(), (base + L"\\real").c_str(), false, &held));
    held = HeldFolder(); // let go: now the swap can happen
    ASSERT_TRUE(MoveFileW(base.c_str(), (base + L".old").c_str())) << GetLastError();
    ASSERT_TRUE(MoveFileW((Root + L"\\swap\\linked").c_str(), base.c_str())) << GetLastError();
    ASSERT_EQ("keep swap", ReadFileBytes(file)) << "the swap did not take";

    EXPECT_TRUE(PathCrossesLinkChecked(base.c_str(), file.c_str()));
    EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED),
              HoldFolderChain(base.c_str(), (base + L"\\real").c_str(), false, &held));
    EXPECT_EQ(
        static_cast<DWORD>(ERROR_ACCESS_DENIED),
        CopyCheckedFile(plain.c_str(), (plain + L"\\source\\file.txt").c_str(), base.c_str(), file.c_str()));
    EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED),
              DeleteFilesInTreeChecked(base.c_str(), (base + L"\\real").c_str()));
    EXPECT_EQ("keep swap", ReadFileBytes(outside));
}

// While a chain is held, its folders cannot be renamed away, so no link can take their place.
TEST_F(CheckedOpen, HeldFolderCannotBeRenamed) {
    MakeDirs(plain + L"\\held\\inner");
    HeldFolder held;
    ASSERT_EQ(0u, HoldFolderChain(plain.c_str(), (plain + L"\\held\\inner").c_str(), false, &held));
    SetLastError(0xdeadbeef);
    BOOL moved = MoveFileW((plain + L"\\held\\inner").c_str(), (plain + L"\\held\\gone").c_str());
    DWORD error = GetLastError();
    if (moved) MoveFileW((plain + L"\\held\\gone").c_str(), (plain + L"\\held\\inner").c_str());
    EXPECT_FALSE(moved);
    EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), error);
}

// tree\file.txt is a second name of elsewhere\target.txt: it is not opened for writing, and a copy
// onto it replaces the name without touching the other file.
TEST_F(CheckedOpen, FileWithTwoNamesIsNeverWrittenOver) {
    std::wstring base = Root + L"\\hard\\tree";
    std::wstring other = Root + L"\\hard\\elsewhere\\target.txt";
    HeldFolder held;
    ASSERT_EQ(0u, HoldFolderChain(base.c_str(), base.c_str(), false, &held));
    UniqueFile file;
    EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED),
              OpenCheckedFile(held, L"file.txt", GENERIC_WRITE, 0, OPEN_EXISTING, &file));
    EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED),
              OpenCheckedFile(held, L"file.txt", FILE_APPEND_DATA, 0, OPEN_ALWAYS, &file));
    EXPECT_EQ(0u, OpenCheckedFile(held, L"file.txt", GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, &file))
        << "reading it is harmless";
    file.reset();
    held = HeldFolder();
    ASSERT_EQ(0u, CopyCheckedFile(plain.c_str(), (plain + L"\\source\\file.txt").c_str(), base.c_str(),
                                  (base + L"\\file.txt").c_str()));
    EXPECT_EQ("new content", ReadFileBytes(base + L"\\file.txt"));
    EXPECT_EQ("other file", ReadFileBytes(other));
}

} // namespace
