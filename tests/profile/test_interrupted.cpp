// A run killed at a chosen moment (while the old default profile is set aside, while the new one is
// copied, while its hive is mounted and cleaned), then run again: not one byte of the old default
// profile may be lost. The killed run is the test tree's 64-bit corvane.exe.
#include "harness/testlib.h"
#include "profile/rowfolders.h"

#include <gtest/gtest.h>
#include <shlobj.h>

#include <functional>

using namespace corvane_test;

namespace {

using Tree = std::map<std::wstring, std::string>;

const wchar_t* const KillSid = L"S-1-5-21-41-41-41-1001";

std::wstring ToolPath() {
    wchar_t value[MAX_PATH];
    DWORD n = GetEnvironmentVariableW(L"CORVANE_EXE", value, MAX_PATH);
    return (n > 0 && n < MAX_PATH) ? value : L"C:\\corvane-bin\\corvane.exe";
}

// Starts the tool with every standard stream on NUL, so that it can be killed at any moment.
HANDLE StartTool(const std::wstring& arguments) {
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE nul = CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                             &inherit, OPEN_EXISTING, 0, nullptr);
    STARTUPINFOW si = {};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = si.hStdOutput = si.hStdError = nul;
    PROCESS_INFORMATION pi = {};
    std::wstring exe = ToolPath();
    std::wstring line = L"\"" + exe + L"\" " + arguments;
    std::vector<wchar_t> mutableLine(line.begin(), line.end());
    mutableLine.push_back(L'\0');
    BOOL started = CreateProcessW(exe.c_str(), mutableLine.data(), nullptr, nullptr, TRUE, 0, nullptr,
                                  nullptr, &si, &pi);
    CloseHandle(nul);
    if (!started) return nullptr;
    CloseHandle(pi.hThread);
    return pi.hProcess;
}

bool Exists(const std::wstring& path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool KeyExists(HKEY root, const std::wstring& path) {
    HKEY key;
    if (RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
    RegCloseKey(key);
    return true;
}

// Polls about once a millisecond, so that a phase is caught soon after it begins, until the condition
// holds (true) or the process ends or 120 s have passed (false).
bool WaitUntil(HANDLE process, const std::function<bool()>& condition) {
    const DWORD limitMs = 120000;
    DWORD start = GetTickCount();
    for (;;) {
        if (condition()) return true;
        if (WaitForSingleObject(process, 1) == WAIT_OBJECT_0) return condition();
        if (GetTickCount() - start >= limitMs) return false;
    }
}

class Interrupted : public ::testing::Test {
  protected:
    void SetUp() override {
        wchar_t profile[MAX_PATH];
        SHGetFolderPathW(nullptr, CSIDL_PROFILE, nullptr, SHGFP_TYPE_DEFAULT, profile);
        wchar_t favorites[MAX_PATH];
        SHGetFolderPathW(nullptr, CSIDL_FAVORITES, nullptr, SHGFP_TYPE_DEFAULT, favorites);
        favorites_ = std::wstring(favorites).substr(wcslen(profile) + 1);

        defaultPath_ = EnsureDefaultProfile();
        backup_ = defaultPath_ + L".corvane-backup";
        RemoveBackups();
        // A large old default profile: its set-aside takes long enough to be cut off.
        HiveContent old;
        old[L"Software\\Old Default"][L"Marker"] = Sz(L"old default hive");
        SaveHive(defaultPath_ + L"\\NTUSER.DAT", old);
        for (int folder = 0; folder < 20; ++folder) {
            std::wstring dir = defaultPath_ + L"\\Old" + std::to_wstring(folder) + L"\\Inner";
            MakeDirs(dir);
            for (int file = 0; file < 45; ++file)
                WriteFileBytes(dir + L"\\f" + std::to_wstring(file) + L".txt",
                               "old " + std::to_string(folder * 1000 + file),
                               file % 7 == 0 ? FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN : 0);
        }
        MakeDirs(defaultPath_ + L"\\EmptyOld");
        original_ = Snapshot(defaultPath_);

        // The source: every row folder, a large Documents folder, a hive big enough that saving the
        // mounted copy takes a moment.
        HiveContent hive;
        hive[L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\RunMRU"][L"a"] = Sz(L"cmd");
        hive[L"Printers\\Connections"] = {};
        for (int k = 0; k < 200; ++k)
            for (int v = 0; v < 20; ++v)
                hive[L"Software\\Bulk\\K" + std::to_wstring(k)][L"V" + std::to_wstring(v)] =
                    Sz(std::wstring(60, L'a' + v % 26));
        source_ = MakeSource(L"UpdKill", KillSid, hive, L"");
        for (int file = 0; file < 1000; ++file)
            WriteFileBytes(source_.path + L"\\Documents\\Bulk\\b" + std::to_wstring(file) + L".txt", "bulk");
        // A second source without Favorites: its run fails after setting aside, so it must roll
        // back to exactly the old default profile.
        HiveContent small;
        small[L"Software\\Corvane Test"][L"Marker"] = Sz(L"no favorites");
        failing_ = MakeSource(L"UpdKillNoFav", L"S-1-5-21-41-41-41-1002", small, favorites_);
        SetToolWindowsVersion(L"win7");
    }

    void TearDown() override {
        if (process_) {
            TerminateProcess(process_, 1);
            WaitForSingleObject(process_, INFINITE);
            CloseHandle(process_);
        }
        RegUnLoadKeyW(HKEY_USERS, KillSid); // a killed run leaves its mount behind
        for (const auto& p : profiles_)
            RemoveProfile(p);
        RemoveBackups();
        DeleteTestTree(defaultPath_);
    }

    TestProfile MakeSource(const std::wstring& name, const std::wstring& sid, const HiveContent& hive,
                           const std::wstring& without) {
        TestProfile p = CreateProfile(name, sid, hive);
        profiles_.push_back(p);
        for (const std::wstring& row : RowFolders()) {
            if (row == without) continue;
            MakeDirs(p.path + L"\\" + row);
            WriteFileBytes(p.path + L"\\" + row + L"\\new.txt", "new");
        }
        MakeDirs(p.path + L"\\Documents\\Bulk");
        return p;
    }

    void RemoveBackups() {
        DeleteTestTree(backup_);
        WIN32_FIND_DATAW fd;
        HANDLE find = FindFirstFileW((backup_ + L"-*").c_str(), &fd);
        if (find == INVALID_HANDLE_VALUE) return;
        std::vector<std::wstring> kept;
        do
            kept.push_back(ProfilesDir() + L"\\" + fd.cFileName);
        while (FindNextFileW(find, &fd));
        FindClose(find);
        for (const auto& k : kept)
            DeleteTestTree(k);
    }

    // Starts the update and kills it the moment `reached` holds; false when the run ended first.
    bool KillWhen(const std::function<bool()>& reached,
                  const std::wstring& arguments = L"UpdKill /q /NoAppx") {
        process_ = StartTool(arguments);
        if (!process_) return false;
        bool hit = WaitUntil(process_, reached);
        TerminateProcess(process_, 1);
        WaitForSingleObject(process_, INFINITE);
        CloseHandle(process_);
        process_ = nullptr;
        return hit;
    }

    // Every original file is somewhere, unchanged: in the default profile or in a backup folder.
    void ExpectNothingLost() {
        std::vector<Tree> places{Snapshot(defaultPath_)};
        WIN32_FIND_DATAW fd;
        HANDLE find = FindFirstFileW((backup_ + L"*").c_str(), &fd);
        if (find != INVALID_HANDLE_VALUE) {
            do
                places.push_back(Snapshot(ProfilesDir() + L"\\" + fd.cFileName + L"\\profile"));
            while (FindNextFileW(find, &fd));
            FindClose(find);
        }
        for (const auto& entry : original_) {
            bool found = false;
            for (const Tree& place : places) {
                auto it = place.find(entry.first);
                if (it != place.end() && it->second == entry.second) found = true;
            }
            EXPECT_TRUE(found) << "lost " << Narrow(entry.first);
        }
    }

    // The next run finishes the interrupted one first; this one fails (no Favorites) and rolls back,
    // so the default profile must be the old one, byte for byte, with no backup left anywhere.
    void ExpectNextRunRestoresEverything() {
        RegUnLoadKeyW(HKEY_USERS, KillSid);
        RunResult r = RunTool(L"UpdKillNoFav /q /NoAppx");
        EXPECT_EQ(2u, r.exitCode) << r.out;
        EXPECT_NE(
            std::string::npos,
            r.out.find("An interrupted earlier run has been rolled back; the default profile is as it was "
                       "before that run.\r\n"))
            << r.out;
        ExpectNothingLost();
        EXPECT_EQ(original_, Snapshot(defaultPath_));
        EXPECT_FALSE(Exists(backup_));
    }

    std::wstring favorites_, defaultPath_, backup_;
    Tree original_;
    TestProfile source_, failing_;
    std::vector<TestProfile> profiles_;
    HANDLE process_ = nullptr;
};

TEST_F(Interrupted, WhileSettingTheOldProfileAside) {
    std::wstring moved = backup_ + L"\\profile\\Old3\\Inner\\f10.txt";
    ASSERT_TRUE(KillWhen([&] { return Exists(backup_ + L"\\phase.aside") && Exists(moved); }));
    ASSERT_TRUE(Exists(backup_ + L"\\phase.aside")) << "the kill came after the set-aside";
    ExpectNothingLost();
    ExpectNextRunRestoresEverything();
}

TEST_F(Interrupted, WhileCopyingTheNewProfile) {
    std::wstring copied = defaultPath_ + L"\\Documents\\Bulk\\b100.txt";
    ASSERT_TRUE(KillWhen([&] { return Exists(copied); }));
    ASSERT_TRUE(Exists(backup_ + L"\\phase.update"));
    ASSERT_FALSE(Exists(defaultPath_ + L"\\Documents\\Bulk\\b999.txt")) << "the kill came after the copy";
    ExpectNothingLost();
    ExpectNextRunRestoresEverything();
}

TEST_F(Interrupted, WhileTheNewHiveIsMountedAndCleaned) {
    ASSERT_TRUE(KillWhen([&] { return KeyExists(HKEY_USERS, KillSid); }));
    ASSERT_TRUE(Exists(backup_ + L"\\phase.update"));
    ExpectNothingLost();
    ExpectNextRunRestoresEverything();
}

TEST_F(Interrupted, WhileAFailedRunMovesTheOldProfileBack) {
    // The run without Favorites fails after setting aside and moves the old files back.
    ASSERT_TRUE(KillWhen([&] { return Exists(backup_ + L"\\phase.moveback"); }, L"UpdKillNoFav /q /NoAppx"));
    ASSERT_TRUE(Exists(backup_ + L"\\phase.moveback")) << "the kill came after the rollback";
    ExpectNothingLost();
    ExpectNextRunRestoresEverything();
}

TEST_F(Interrupted, WhileASuccessfulRunRemovesItsBackup) {
    ASSERT_TRUE(KillWhen([&] { return Exists(backup_ + L"\\phase.discard"); }));
    ASSERT_TRUE(Exists(backup_)) << "the kill came after the backup was gone";
    Tree updated = Snapshot(defaultPath_);
    EXPECT_EQ("new", ReadFileBytes(defaultPath_ + L"\\" + favorites_ + L"\\new.txt"));

    // The next run removes the leftover without a word and keeps none of it; it fails itself (no
    // Favorites) and rolls back to what the successful run made.
    RegUnLoadKeyW(HKEY_USERS, KillSid);
    RunResult r = RunTool(L"UpdKillNoFav /q /NoAppx");
    EXPECT_EQ(2u, r.exitCode) << r.out;
    EXPECT_EQ(std::string::npos, r.out.find("interrupted")) << r.out;
    EXPECT_EQ(std::string::npos, r.out.find("kept")) << r.out;
    EXPECT_EQ(updated, Snapshot(defaultPath_));
    EXPECT_FALSE(Exists(backup_));
    WIN32_FIND_DATAW fd;
    HANDLE find = FindFirstFileW((backup_ + L"-*").c_str(), &fd);
    EXPECT_EQ(INVALID_HANDLE_VALUE, find) << "no old file of a successful run is kept";
    if (find != INVALID_HANDLE_VALUE) FindClose(find);
}

} // namespace
