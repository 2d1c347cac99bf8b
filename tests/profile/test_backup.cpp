// Setting the default profile's files aside, putting them back, and finishing what an interrupted
// run left behind. Every case ends by comparing whole trees (name, size, hash, attributes).
#include "harness/testlib.h"
#include "profile/backup.h"

#include <gtest/gtest.h>

using namespace corvane_test;

namespace {

using Tree = std::map<std::wstring, std::string>;

class Backup : public ::testing::Test {
  protected:
    void SetUp() override {
        root_ = L"C:\\corvane-scratch\\backup";
        DeleteTestTree(root_);
        current_ = root_ + L"\\Default";
        kept_ = root_ + L"\\Default.corvane-backup";
        files_ = kept_ + L"\\profile";
        MakeDirs(current_ + L"\\A\\B");
        MakeDirs(current_ + L"\\Empty");
        WriteFileBytes(current_ + L"\\NTUSER.DAT", "hive");
        WriteFileBytes(current_ + L"\\A\\one.txt", "one");
        WriteFileBytes(current_ + L"\\A\\two.txt", "two two");
        WriteFileBytes(current_ + L"\\A\\B\\ro.txt", "ro", FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN);
        before_ = Snapshot(current_);
    }
    void TearDown() override { DeleteTestTree(root_); }

    bool Exists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }
    // Files only: what a set-aside leaves behind must be folders alone.
    static Tree FilesOf(const Tree& tree) {
        Tree files;
        for (const auto& entry : tree)
            if (entry.second != "D") files.insert(entry);
        return files;
    }
    // What a failed run writes over the emptied default profile.
    void WriteRunFiles() {
        WriteFileBytes(current_ + L"\\NTUSER.DAT", "new hive");
        WriteFileBytes(current_ + L"\\A\\one.txt", "changed");
        MakeDirs(current_ + L"\\New\\Deep");
        WriteFileBytes(current_ + L"\\New\\Deep\\x.txt", "x", FILE_ATTRIBUTE_READONLY);
        WriteFileBytes(current_ + L"\\A\\B\\added.txt", "added", FILE_ATTRIBUTE_READONLY);
    }
    void Rename(const std::wstring& from, const std::wstring& to) {
        ASSERT_TRUE(MoveFileW(from.c_str(), to.c_str())) << GetLastError();
    }

    std::wstring root_, current_, kept_, files_;
    Tree before_;
};

TEST_F(Backup, SetAsideLeavesOnlyFoldersAndKeepsEveryFileInTheHiddenBackup) {
    ASSERT_EQ(0u, SetDefaultProfileAside(current_.c_str(), kept_.c_str()));
    EXPECT_EQ((Tree{{L"A", "D"}, {L"A\\B", "D"}, {L"Empty", "D"}}), Snapshot(current_));
    EXPECT_EQ(FilesOf(before_), FilesOf(Snapshot(files_)));
    EXPECT_TRUE(GetFileAttributesW(kept_.c_str()) & FILE_ATTRIBUTE_HIDDEN);
    EXPECT_TRUE(Exists(kept_ + L"\\phase.update")) << "the marker says the set-aside is complete";
}

TEST_F(Backup, RollbackRemovesTheRunsEntriesAndBringsBackTheOld) {
    ASSERT_EQ(0u, SetDefaultProfileAside(current_.c_str(), kept_.c_str()));
    WriteRunFiles();
    EXPECT_TRUE(RestoreDefaultProfile(current_.c_str(), kept_.c_str()));
    EXPECT_EQ(before_, Snapshot(current_));
    EXPECT_FALSE(Exists(kept_));
}

TEST_F(Backup, UnlistableDefaultProfileMakesNothing) {
    EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION),
              SetDefaultProfileAside((root_ + L"\\Missing").c_str(), kept_.c_str()));
    EXPECT_FALSE(Exists(kept_));
}

TEST_F(Backup, AFileThatCannotBeMovedLeavesTheDefaultProfileExactlyAsItWas) {
    {
        HeldFile held(current_ + L"\\A\\two.txt");
        ASSERT_TRUE(held.ok());
        EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION),
                  SetDefaultProfileAside(current_.c_str(), kept_.c_str()));
    }
    EXPECT_EQ(before_, Snapshot(current_)); // read once the holder has let go
    EXPECT_FALSE(Exists(kept_)) << "nothing of the set-aside may stay behind";
}

TEST_F(Backup, ABackupFolderThatCannotBeMadeStopsBeforeAnythingMoves) {
    WriteFileBytes(kept_, "a file where the backup folder would go");
    EXPECT_NE(0u, SetDefaultProfileAside(current_.c_str(), kept_.c_str()));
    EXPECT_EQ(before_, Snapshot(current_));
    EXPECT_EQ("a file where the backup folder would go", ReadFileBytes(kept_));
}

TEST_F(Backup, AFileThatCannotBeMovedBackIsKeptWithItsBackup) {
    ASSERT_EQ(0u, SetDefaultProfileAside(current_.c_str(), kept_.c_str()));
    WriteRunFiles();
    {
        HeldFile held(files_ + L"\\A\\two.txt");
        ASSERT_TRUE(held.ok());
        EXPECT_FALSE(RestoreDefaultProfile(current_.c_str(), kept_.c_str()));
    }
    ASSERT_TRUE(Exists(files_ + L"\\A\\two.txt"));
    EXPECT_EQ("two two", ReadFileBytes(files_ + L"\\A\\two.txt"));
    Tree expected = before_;
    expected.erase(L"A\\two.txt");
    EXPECT_EQ(expected, Snapshot(current_)) << "everything else is back, and nothing of the run stays";
    EXPECT_TRUE(Exists(kept_ + L"\\phase.moveback"));

    // The next run finishes the rollback before it starts.
    EXPECT_EQ(0u, RecoverInterruptedRun(current_.c_str(), kept_.c_str()));
    EXPECT_EQ(before_, Snapshot(current_));
    EXPECT_FALSE(Exists(kept_));
}

TEST_F(Backup, PathsBeyondMaxPathInTheBackupAreSetAsideAndRestored) {
    // The backup's paths are 23 characters longer than the default profile's.
    std::wstring deep = current_ + L"\\" + std::wstring(100, L'd') + L"\\" + std::wstring(100, L'e');
    MakeDirs(deep);
    std::wstring file = deep + L"\\" + std::wstring(259 - deep.size() - 1, L'f');
    ASSERT_EQ(259u, file.size());
    WriteFileBytes(file, "deep");
    Tree before = Snapshot(current_);
    ASSERT_EQ(0u, SetDefaultProfileAside(current_.c_str(), kept_.c_str()));
    EXPECT_TRUE(FilesOf(Snapshot(current_)).empty());
    EXPECT_TRUE(RestoreDefaultProfile(current_.c_str(), kept_.c_str()));
    EXPECT_EQ(before, Snapshot(current_));
    EXPECT_FALSE(Exists(kept_));
}

// --- Interrupted runs: the states a killed run leaves, made by hand ---

TEST_F(Backup, InterruptedWhileSettingAsideIsRolledBack) {
    ASSERT_EQ(0u, SetDefaultProfileAside(current_.c_str(), kept_.c_str()));
    Rename(kept_ + L"\\phase.update", kept_ + L"\\phase.aside");
    // Cut off halfway: two files are still in the default profile.
    Rename(files_ + L"\\NTUSER.DAT", current_ + L"\\NTUSER.DAT");
    Rename(files_ + L"\\A\\B\\ro.txt", current_ + L"\\A\\B\\ro.txt");
    EXPECT_EQ(0u, RecoverInterruptedRun(current_.c_str(), kept_.c_str()));
    EXPECT_EQ(before_, Snapshot(current_));
    EXPECT_FALSE(Exists(kept_));
}

TEST_F(Backup, InterruptedWhileWritingTheNewProfileIsRolledBack) {
    ASSERT_EQ(0u, SetDefaultProfileAside(current_.c_str(), kept_.c_str()));
    WriteRunFiles();
    EXPECT_EQ(0u, RecoverInterruptedRun(current_.c_str(), kept_.c_str()));
    EXPECT_EQ(before_, Snapshot(current_));
    EXPECT_FALSE(Exists(kept_));
}

TEST_F(Backup, InterruptedWhileMovingBackIsFinished) {
    ASSERT_EQ(0u, SetDefaultProfileAside(current_.c_str(), kept_.c_str()));
    Rename(kept_ + L"\\phase.update", kept_ + L"\\phase.moveback");
    Rename(files_ + L"\\A\\one.txt", current_ + L"\\A\\one.txt"); // already back: an original, kept
    EXPECT_EQ(0u, RecoverInterruptedRun(current_.c_str(), kept_.c_str()));
    EXPECT_EQ(before_, Snapshot(current_));
    EXPECT_FALSE(Exists(kept_));
}

TEST_F(Backup, LeftoverOfASuccessfulRunIsRemovedAndTheNewProfileStays) {
    ASSERT_EQ(0u, SetDefaultProfileAside(current_.c_str(), kept_.c_str()));
    WriteRunFiles();
    Tree written = Snapshot(current_);
    Rename(kept_ + L"\\phase.update", kept_ + L"\\phase.discard");
    EXPECT_EQ(0u, RecoverInterruptedRun(current_.c_str(), kept_.c_str()));
    EXPECT_EQ(written, Snapshot(current_));
    EXPECT_FALSE(Exists(kept_));
}

TEST_F(Backup, AFolderWithoutAMarkerIsKeptUnderAStampedName) {
    MakeDirs(kept_);
    WriteFileBytes(kept_ + L"\\earlier.txt", "earlier");
    EXPECT_EQ(0u, RecoverInterruptedRun(current_.c_str(), kept_.c_str()));
    EXPECT_FALSE(Exists(kept_));
    EXPECT_EQ(before_, Snapshot(current_)) << "never restored over the current default profile";
    WIN32_FIND_DATAW fd;
    HANDLE find = FindFirstFileW((kept_ + L"-*").c_str(), &fd);
    ASSERT_NE(INVALID_HANDLE_VALUE, find);
    FindClose(find);
    EXPECT_EQ("earlier", ReadFileBytes(root_ + L"\\" + fd.cFileName + L"\\earlier.txt"));
    EXPECT_EQ(0u, RecoverInterruptedRun(current_.c_str(), kept_.c_str())); // nothing there: nothing to do
}

TEST_F(Backup, ARollbackThatCannotFinishGathersEveryOldFileInOneKeptFolder) {
    ASSERT_EQ(0u, SetDefaultProfileAside(current_.c_str(), kept_.c_str()));
    Rename(kept_ + L"\\phase.update", kept_ + L"\\phase.aside");
    Rename(files_ + L"\\NTUSER.DAT", current_ + L"\\NTUSER.DAT"); // not yet aside when cut off
    std::wstring stampedFiles;
    {
        HeldFile held(files_ + L"\\A\\two.txt"); // cannot go back now
        ASSERT_TRUE(held.ok());
        EXPECT_EQ(0u, RecoverInterruptedRun(current_.c_str(), kept_.c_str()));
    }
    EXPECT_FALSE(Exists(kept_));
    WIN32_FIND_DATAW fd;
    HANDLE find = FindFirstFileW((kept_ + L"-*").c_str(), &fd);
    ASSERT_NE(INVALID_HANDLE_VALUE, find);
    FindClose(find);
    stampedFiles = root_ + L"\\" + fd.cFileName + L"\\profile";
    EXPECT_EQ(FilesOf(before_), FilesOf(Snapshot(stampedFiles))) << "every old file, in one folder";
    EXPECT_TRUE(FilesOf(Snapshot(current_)).empty());
}

} // namespace
