// Setting the default profile's files aside and putting them back.
#include "harness/testlib.h"
#include "profile/backup.h"

#include <gtest/gtest.h>

using namespace corvane_test;

namespace {

class Backup : public ::testing::Test {
  protected:
    void SetUp() override {
        root_ = L"C:\\corvane-scratch\\backup";
        DeleteTestTree(root_);
        current_ = root_ + L"\\Default";
        kept_ = root_ + L"\\Default.corvane-backup";
        MakeDirs(current_ + L"\\A\\B");
        MakeDirs(current_ + L"\\Empty");
        WriteFileBytes(current_ + L"\\NTUSER.DAT", "hive");
        WriteFileBytes(current_ + L"\\A\\one.txt", "one");
        WriteFileBytes(current_ + L"\\A\\B\\ro.txt", "ro", FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN);
    }
    void TearDown() override { DeleteTestTree(root_); }
    std::wstring root_, current_, kept_;
};

TEST_F(Backup, MovingAsideEmptiesFilesAndKeepsFolders) {
    auto before = Snapshot(current_);
    ASSERT_TRUE(MoveFilesAside(current_.c_str(), kept_.c_str()));
    auto after = Snapshot(current_);
    EXPECT_EQ((std::map<std::wstring, std::string>{{L"A", "D"}, {L"A\\B", "D"}, {L"Empty", "D"}}), after);
    EXPECT_EQ(before, Snapshot(kept_));
    EXPECT_TRUE(GetFileAttributesW(kept_.c_str()) & FILE_ATTRIBUTE_HIDDEN);
}

TEST_F(Backup, RestoreRemovesNewEntriesAndBringsBackTheOld) {
    auto before = Snapshot(current_);
    ASSERT_TRUE(MoveFilesAside(current_.c_str(), kept_.c_str()));
    // What a failed run leaves: new files over old names, new folders, new read-only files.
    WriteFileBytes(current_ + L"\\NTUSER.DAT", "new hive");
    WriteFileBytes(current_ + L"\\A\\one.txt", "changed");
    MakeDirs(current_ + L"\\New\\Deep");
    WriteFileBytes(current_ + L"\\New\\Deep\\x.txt", "x", FILE_ATTRIBUTE_READONLY);
    WriteFileBytes(current_ + L"\\A\\B\\added.txt", "added", FILE_ATTRIBUTE_READONLY);
    RestoreDefaultProfile(current_.c_str(), kept_.c_str());
    EXPECT_EQ(before, Snapshot(current_));
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(kept_.c_str()));
}

TEST_F(Backup, UnlistableFolderMovesNothing) {
    EXPECT_FALSE(MoveFilesAside((root_ + L"\\Missing").c_str(), kept_.c_str()));
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(kept_.c_str()));
}

TEST_F(Backup, StaleBackupIsRenamedNotLost) {
    MakeDirs(kept_);
    WriteFileBytes(kept_ + L"\\earlier.txt", "earlier");
    EXPECT_EQ(0u, KeepStaleBackup(kept_.c_str()));
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(kept_.c_str()));
    WIN32_FIND_DATAW fd;
    HANDLE find = FindFirstFileW((kept_ + L"-*").c_str(), &fd);
    ASSERT_NE(INVALID_HANDLE_VALUE, find);
    FindClose(find);
    EXPECT_EQ("earlier", ReadFileBytes(root_ + L"\\" + fd.cFileName + L"\\earlier.txt"));
    EXPECT_EQ(0u, KeepStaleBackup(kept_.c_str())); // nothing there: nothing to do
}

} // namespace
