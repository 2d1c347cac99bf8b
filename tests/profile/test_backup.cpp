// Setting the default profile's files aside, putting them back, and finishing what an interrupted
// run left behind. Every case ends by comparing whole trees (name, size, hash, attributes).
#include "harness/testlib.h"
#include "profile/backup.h"

#include <gtest/gtest.h>

using namespace corvane_test;

namespace {

using Tree = std::map<std::wstring, std::string>;

// A listing that breaks off: the countdown'th FindNextFileW call of the backup's walks fails with a
// network error, as a listing of a folder on a failing disk or share can.
int listingCountdown = 0;
BOOL WINAPI CutListing(HANDLE find, LPWIN32_FIND_DATAW entry) {
    if (listingCountdown > 0 && --listingCountdown == 0) {
        SetLastError(ERROR_NETNAME_DELETED);
        return FALSE;
    }
    return FindNextFileW(find, entry);
}

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
    void TearDown() override {
        BackupFindNextFile = FindNextFileW;
        listingCountdown = 0;
        DeleteTestTree(root_);
    }
    void CutTheListingAt(int call) {
        listingCountdown = call;
        BackupFindNextFile = CutListing;
    }
    // The folders "<backup>-<stamp>" that recoveries kept.
    std::vector<std::wstring> KeptFolders() {
        std::vector<std::wstring> found;
        WIN32_FIND_DATAW fd;
        HANDLE find = FindFirstFileW((kept_ + L"-*").c_str(), &fd);
        if (find == INVALID_HANDLE_VALUE) return found;
        do
            found.push_back(root_ + L"\\" + fd.cFileName);
        while (FindNextFileW(find, &fd));
        FindClose(find);
        return found;
    }
    // Every original file is in the default profile or in the backup, unchanged.
    void ExpectNothingLost(const std::wstring& backupFiles) {
        Tree here = Snapshot(current_), there = Snapshot(backupFiles);
        for (const auto& entry : FilesOf(before_)) {
            bool found = (here.count(entry.first) && here[entry.first] == entry.second) ||
                         (there.count(entry.first) && there[entry.first] == entry.second);
            EXPECT_TRUE(found) << "lost " << Narrow(entry.first);
        }
    }

    bool Exists(const std::wstring& path) {
        return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
    }
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

// --- A successful run's backup removed, and cut off while it is ---

TEST_F(Backup, DiscardRemovesTheBackupAndLeavesTheNewProfile) {
    ASSERT_EQ(0u, SetDefaultProfileAside(current_.c_str(), kept_.c_str()));
    WriteRunFiles();
    Tree written = Snapshot(current_);
    EXPECT_EQ(0u, DiscardBackup(kept_.c_str()));
    EXPECT_FALSE(Exists(kept_));
    EXPECT_EQ(written, Snapshot(current_));
}

TEST_F(Backup, DiscardCutOffAmongTheOldFilesIsFinishedWithoutKeepingAnything) {
    ASSERT_EQ(0u, SetDefaultProfileAside(current_.c_str(), kept_.c_str()));
    WriteRunFiles();
    Tree written = Snapshot(current_);
    // Cut off halfway through the old files: the marker says "discard", some old files are left.
    Rename(kept_ + L"\\phase.update", kept_ + L"\\phase.discard");
    ASSERT_TRUE(DeleteFileW((files_ + L"\\NTUSER.DAT").c_str()));
    EXPECT_EQ(0u, RecoverInterruptedRun(current_.c_str(), kept_.c_str()));
    EXPECT_FALSE(Exists(kept_));
    EXPECT_TRUE(KeptFolders().empty()) << "a successful run's leftovers are nobody's previous profile";
    EXPECT_EQ(written, Snapshot(current_));
}

TEST_F(Backup, DiscardCutOffAfterTheOldFilesLeavesAMarkerOrAnEmptyFolderThatGoesSilently) {
    ASSERT_EQ(0u, SetDefaultProfileAside(current_.c_str(), kept_.c_str()));
    Rename(kept_ + L"\\phase.update", kept_ + L"\\phase.discard");
    DeleteTestTree(files_);
    EXPECT_EQ(0u, RecoverInterruptedRun(current_.c_str(), kept_.c_str()));
    EXPECT_FALSE(Exists(kept_));

    MakeDirs(kept_); // the marker went too, the folder did not
    EXPECT_EQ(0u, RecoverInterruptedRun(current_.c_str(), kept_.c_str()));
    EXPECT_FALSE(Exists(kept_));
    EXPECT_TRUE(KeptFolders().empty());
}

TEST_F(Backup, DiscardUnderAMarkerThatCannotMoveTouchesNothing) {
    ASSERT_EQ(0u, SetDefaultProfileAside(current_.c_str(), kept_.c_str()));
    WriteRunFiles();
    {
        HeldFile held(kept_ + L"\\phase.update");
        ASSERT_TRUE(held.ok());
        EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), DiscardBackup(kept_.c_str()));
    }
    EXPECT_EQ(FilesOf(before_), FilesOf(Snapshot(files_))) << "no old file may go under a stale marker";
    EXPECT_TRUE(Exists(kept_ + L"\\phase.update"));
}

TEST_F(Backup, DiscardRefusesABackupThatIsNotMarkedAsThisRunsOwn) {
    MakeDirs(files_);
    WriteFileBytes(files_ + L"\\earlier.txt", "earlier");
    EXPECT_NE(0u, DiscardBackup(kept_.c_str()));
    EXPECT_EQ("earlier", ReadFileBytes(files_ + L"\\earlier.txt"));
}

// --- Set-up cut off between the folder, its files folder and the marker ---

TEST_F(Backup, ABackupFolderThatHoldsNoFileIsRemovedWithoutAWord) {
    MakeDirs(kept_); // cut off right after the folder was made
    EXPECT_EQ(0u, RecoverInterruptedRun(current_.c_str(), kept_.c_str()));
    EXPECT_FALSE(Exists(kept_));
    MakeDirs(files_); // cut off before the marker
    EXPECT_EQ(0u, RecoverInterruptedRun(current_.c_str(), kept_.c_str()));
    EXPECT_FALSE(Exists(kept_));
    EXPECT_TRUE(KeptFolders().empty()) << "an empty folder is no previous default profile";
    EXPECT_EQ(before_, Snapshot(current_));
}

TEST_F(Backup, AsideWithoutFilesMeansNothingWasMoved) {
    // An older layout made the marker before the files folder; a run cut off between them.
    MakeDirs(kept_);
    WriteFileBytes(kept_ + L"\\phase.aside", "");
    EXPECT_EQ(0u, RecoverInterruptedRun(current_.c_str(), kept_.c_str()));
    EXPECT_FALSE(Exists(kept_));
    EXPECT_EQ(before_, Snapshot(current_));

    MakeDirs(files_ + L"\\A\\B"); // mirror folders made, no file moved yet
    WriteFileBytes(kept_ + L"\\phase.aside", "");
    EXPECT_EQ(0u, RecoverInterruptedRun(current_.c_str(), kept_.c_str()));
    EXPECT_FALSE(Exists(kept_));
    EXPECT_TRUE(KeptFolders().empty());
    EXPECT_EQ(before_, Snapshot(current_));
}

TEST_F(Backup, UpdateMarkerWithoutItsFilesFolderDeletesNothing) {
    ASSERT_EQ(0u, SetDefaultProfileAside(current_.c_str(), kept_.c_str()));
    WriteRunFiles();
    Tree written = Snapshot(current_);
    DeleteTestTree(files_);
    EXPECT_FALSE(RestoreDefaultProfile(current_.c_str(), kept_.c_str()));
    EXPECT_EQ(written, Snapshot(current_));
    EXPECT_EQ(0u, RecoverInterruptedRun(current_.c_str(), kept_.c_str()));
    EXPECT_EQ(written, Snapshot(current_)) << "nothing to restore from: nothing may be deleted";
    EXPECT_EQ(1u, KeptFolders().size());
}

// --- A marker that does not move stops what depends on it ---

TEST_F(Backup, RollbackUnderAMarkerThatCannotMoveBringsNothingBack) {
    ASSERT_EQ(0u, SetDefaultProfileAside(current_.c_str(), kept_.c_str()));
    WriteRunFiles();
    {
        HeldFile held(kept_ + L"\\phase.update");
        ASSERT_TRUE(held.ok());
        EXPECT_FALSE(RestoreDefaultProfile(current_.c_str(), kept_.c_str()));
    }
    // Under "update" every file in the default profile counts as the run's: an original moved back
    // now would be deleted by the next run.
    EXPECT_TRUE(FilesOf(Snapshot(current_)).empty());
    EXPECT_EQ(FilesOf(before_), FilesOf(Snapshot(files_)));
    EXPECT_TRUE(Exists(kept_ + L"\\phase.update"));
    EXPECT_EQ(0u, RecoverInterruptedRun(current_.c_str(), kept_.c_str()));
    EXPECT_EQ(before_, Snapshot(current_));
    EXPECT_FALSE(Exists(kept_));
}

TEST_F(Backup, RecoveryUnderAMarkerThatCannotMoveStopsAndLosesNothing) {
    ASSERT_EQ(0u, SetDefaultProfileAside(current_.c_str(), kept_.c_str()));
    WriteRunFiles();
    {
        HeldFile held(kept_ + L"\\phase.update");
        ASSERT_TRUE(held.ok());
        EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION),
                  RecoverInterruptedRun(current_.c_str(), kept_.c_str()));
    }
    EXPECT_EQ(FilesOf(before_), FilesOf(Snapshot(files_)));
    EXPECT_TRUE(Exists(kept_ + L"\\phase.update"));
    EXPECT_EQ(0u, RecoverInterruptedRun(current_.c_str(), kept_.c_str()));
    EXPECT_EQ(before_, Snapshot(current_));
}

// --- Listings that break off midway ---

TEST_F(Backup, ASetAsideWhoseListingBreaksOffFailsAndPutsEverythingBack) {
    CutTheListingAt(3);
    EXPECT_EQ(static_cast<DWORD>(ERROR_NETNAME_DELETED),
              SetDefaultProfileAside(current_.c_str(), kept_.c_str()));
    EXPECT_EQ(before_, Snapshot(current_));
    EXPECT_FALSE(Exists(kept_));
}

TEST_F(Backup, AMoveBackWhoseListingBreaksOffNeverDeletesTheFilesNotListed) {
    ASSERT_EQ(0u, SetDefaultProfileAside(current_.c_str(), kept_.c_str()));
    Rename(kept_ + L"\\phase.update", kept_ + L"\\phase.moveback");
    CutTheListingAt(1);
    EXPECT_EQ(0u, RecoverInterruptedRun(current_.c_str(), kept_.c_str()));
    // The short listing was not taken for a finished rollback: the old files are gathered and kept.
    std::vector<std::wstring> keptFolders = KeptFolders();
    ASSERT_EQ(1u, keptFolders.size());
    ExpectNothingLost(keptFolders[0] + L"\\profile");
    EXPECT_EQ(FilesOf(before_), FilesOf(Snapshot(keptFolders[0] + L"\\profile")));
}

TEST_F(Backup, ARollbackWhoseListingBreaksOffKeepsTheMarkerAtUpdate) {
    ASSERT_EQ(0u, SetDefaultProfileAside(current_.c_str(), kept_.c_str()));
    WriteRunFiles();
    CutTheListingAt(1);
    EXPECT_FALSE(RestoreDefaultProfile(current_.c_str(), kept_.c_str()));
    EXPECT_TRUE(Exists(kept_ + L"\\phase.update"));
    EXPECT_EQ(FilesOf(before_), FilesOf(Snapshot(files_))) << "nothing moved back beside the run's files";
    EXPECT_EQ(0u, RecoverInterruptedRun(current_.c_str(), kept_.c_str()));
    EXPECT_EQ(before_, Snapshot(current_));
    EXPECT_FALSE(Exists(kept_));
}

// --- A run file that cannot be removed ---

TEST_F(Backup, ARunFileThatCannotBeRemovedStopsTheRollbackAtUpdate) {
    ASSERT_EQ(0u, SetDefaultProfileAside(current_.c_str(), kept_.c_str()));
    WriteRunFiles();
    {
        HeldFile held(current_ + L"\\A\\B\\added.txt"); // a scanner holding a file the run wrote
        ASSERT_TRUE(held.ok());
        EXPECT_FALSE(RestoreDefaultProfile(current_.c_str(), kept_.c_str()));
        EXPECT_TRUE(Exists(kept_ + L"\\phase.update"));
        EXPECT_EQ(FilesOf(before_), FilesOf(Snapshot(files_)));
        // The next run cannot finish either while the file is held, and says so.
        EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION),
                  RecoverInterruptedRun(current_.c_str(), kept_.c_str()));
        EXPECT_TRUE(Exists(kept_ + L"\\phase.update"));
        EXPECT_EQ(FilesOf(before_), FilesOf(Snapshot(files_)));
    }
    EXPECT_EQ(0u, RecoverInterruptedRun(current_.c_str(), kept_.c_str()));
    EXPECT_EQ(before_, Snapshot(current_)) << "the run's file did not reach the restored profile";
    EXPECT_FALSE(Exists(kept_));
}

} // namespace
