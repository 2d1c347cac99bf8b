// Backups and restores: Edge settings in the user's hive, package folders, the tile database and
// the pending tile backups.
#include "repository.h"

#include "harness/testlib.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <shlwapi.h>

using namespace appxcore;
using namespace appx_test;
using namespace corvane_test;

namespace {

const std::wstring Profile = L"C:\\corvane-scratch\\appxcore-profile";
const std::wstring Settings =
    L"SOFTWARE\\Classes\\Local Settings\\Software\\Microsoft\\Windows\\CurrentVersion\\AppContainer\\Storage";
const std::wstring Backup = L"SOFTWARE\\Quillmar\\Migration\\AppX";
const std::wstring Edge = L"microsoft.microsoftedge_8wekyb3d8bbwe";

ManageAppxSettings ScratchSettings() {
    ManageAppxSettings s;
    s.logFile = Profile + L"\\test.log";
    s.pendingTileKey = L"SOFTWARE\\corvane-test\\appxcore\\Edb";
    return s;
}

// The pending backups live in the 32-bit view, which a 64-bit test reaches only through the flag.
void DeleteTestKeys() {
    HKEY software = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE", 0, KEY_ALL_ACCESS | KEY_WOW64_32KEY, &software) ==
        ERROR_SUCCESS) {
        SHDeleteKeyW(software, L"corvane-test");
        RegCloseKey(software);
    }
}

class Folders : public ::testing::Test {
  protected:
    void SetUp() override {
        if (DirExists(Profile)) DeleteTestTree(Profile);
        MakeDirs(Profile);
    }
    void TearDown() override { DeleteTestTree(Profile); }
};

std::wstring Packages() {
    return Profile + L"\\AppData\\Local\\Packages";
}
std::wstring BackupBase() {
    return Profile + L"\\AppData\\Local\\Quillmar\\Migrate\\Packages";
}

TEST_F(Folders, PackageFoldersBackedUpWithoutActivationStore) {
    std::wstring cortana = Packages() + L"\\Microsoft.Windows.Cortana_cw5n1h2txyewy";
    MakeDirs(cortana + L"\\LocalState\\deep");
    MakeDirs(cortana + L"\\Empty");
    WriteFileBytes(cortana + L"\\LocalState\\deep\\a.txt", "alpha");
    WriteFileBytes(cortana + L"\\Settings.dat", "settings");
    WriteFileBytes(cortana + L"\\ActivationStore.dat", "no");
    WriteFileBytes(cortana + L"\\LocalState\\ActivationStore.dat.LOG1", "no");
    WriteFileBytes(cortana + L"\\LocalState\\activationstore.DAT.LOG2", "no");
    WriteFileBytes(cortana + L"\\LocalState\\ActivationStore.da", "yes"); // shorter than the prefix
    // An entry that is a file rather than a folder is copied as a file.
    MakeDirs(Packages());
    WriteFileBytes(Packages() + L"\\Microsoft.Windows.ShellExperienceHost_cw5n1h2txyewy", "file entry");
    // Another package's folder is not on the list.
    MakeDirs(Packages() + L"\\Contoso.App_h91ms92gdsmmt");
    WriteFileBytes(Packages() + L"\\Contoso.App_h91ms92gdsmmt\\x.txt", "x");

    ManageAppx module(ScratchSettings());
    module.BackupAppFiles2(Profile);

    std::map<std::wstring, std::string> got = Snapshot(BackupBase());
    std::vector<std::wstring> names;
    for (const auto& entry : got)
        names.push_back(entry.first);
    std::vector<std::wstring> expected = {
        L"Microsoft.Windows.Cortana_cw5n1h2txyewy",
        L"Microsoft.Windows.Cortana_cw5n1h2txyewy\\Empty",
        L"Microsoft.Windows.Cortana_cw5n1h2txyewy\\LocalState",
        L"Microsoft.Windows.Cortana_cw5n1h2txyewy\\LocalState\\ActivationStore.da",
        L"Microsoft.Windows.Cortana_cw5n1h2txyewy\\LocalState\\deep",
        L"Microsoft.Windows.Cortana_cw5n1h2txyewy\\LocalState\\deep\\a.txt",
        L"Microsoft.Windows.Cortana_cw5n1h2txyewy\\Settings.dat",
        L"Microsoft.Windows.ShellExperienceHost_cw5n1h2txyewy",
    };
    std::sort(names.begin(), names.end(), [](const std::wstring& a, const std::wstring& b) {
        return _wcsicmp(a.c_str(), b.c_str()) < 0;
    });
    EXPECT_EQ(expected, names);
    EXPECT_EQ("file entry",
              ReadFileBytes(BackupBase() + L"\\Microsoft.Windows.ShellExperienceHost_cw5n1h2txyewy"));
}

// Files deeper than the old 260-character limit are backed up as well.
TEST_F(Folders, LongPathsInAPackageFolderAreBackedUp) {
    std::wstring relative = L"\\Microsoft.Windows.Cortana_cw5n1h2txyewy";
    while (relative.size() < 280)
        relative += L"\\a-long-folder-name-in-local-state";
    MakeDirs(Packages());
    for (size_t at = 1; at <= relative.size(); ++at) {
        if (at < relative.size() && relative[at] != L'\\') continue;
        CreateDirectoryW((L"\\\\?\\" + Packages() + relative.substr(0, at)).c_str(), nullptr);
    }
    std::wstring source = L"\\\\?\\" + Packages() + relative + L"\\deep.txt";
    HANDLE file = CreateFileW(source.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, file) << GetLastError();
    DWORD written = 0;
    WriteFile(file, "deep", 4, &written, nullptr);
    CloseHandle(file);

    ManageAppx module(ScratchSettings());
    module.BackupAppFiles2(Profile);
    std::wstring copy = L"\\\\?\\" + BackupBase() + relative + L"\\deep.txt";
    file = CreateFileW(copy.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, file) << "not backed up: " << GetLastError();
    char bytes[8] = {};
    DWORD read = 0;
    ReadFile(file, bytes, sizeof(bytes), &read, nullptr);
    CloseHandle(file);
    EXPECT_EQ("deep", std::string(bytes, read));

    // The tree helpers cannot reach so deep: both copies are taken down level by level here.
    for (const std::wstring& root : {Packages(), BackupBase()}) {
        DeleteFileW((L"\\\\?\\" + root + relative + L"\\deep.txt").c_str());
        for (size_t at = relative.size(); at > 0; at = relative.find_last_of(L'\\', at - 1)) {
            RemoveDirectoryW((L"\\\\?\\" + root + relative.substr(0, at)).c_str());
        }
    }
}

TEST_F(Folders, RestoreOverwritesAndMissingBackupRaises) {
    ManageAppx module(ScratchSettings());
    try {
        module.RestoreAppFiles(Profile);
        ADD_FAILURE() << "a missing backup must raise";
    } catch (const AppxError& e) {
        EXPECT_EQ(L"Could not find a part of the path '" + BackupBase() + L"'.", e.message());
    }

    std::wstring edge = Packages() + L"\\" + IncludedPackageFolders[0];
    MakeDirs(edge + L"\\Sub");
    WriteFileBytes(edge + L"\\Sub\\fav.txt", "saved");
    module.BackupAppFiles2(Profile);
    WriteFileBytes(edge + L"\\Sub\\fav.txt", "changed after the backup");
    DeleteTestTree(Packages());
    MakeDirs(Packages());
    module.RestoreAppFiles(Profile);
    EXPECT_EQ("saved", ReadFileBytes(edge + L"\\Sub\\fav.txt"));
}

TEST_F(Folders, TileDatabaseBackupAndRescheduling) {
    HKEY pending = nullptr;
    std::wstring key = ScratchSettings().pendingTileKey;
    DeleteTestKeys();
    RecordingLog log;
    ManageAppx module(ScratchSettings(), &log);
    std::wstring database = Profile + L"\\AppData\\Local\\TileDataLayer\\Database";
    std::wstring copy = Profile + L"\\AppData\\Local\\Quillmar\\Migrate\\vedatamodel.edb";

    // Missing database: reported, rescheduled under the new profile when one is given.
    EXPECT_FALSE(module.vedatamodelDbBackup(Profile, L"C:\\users\\newone", true));
    ASSERT_EQ(1u, log.entries.size());
    EXPECT_EQ(L"E: " + ErrorMessage(HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND)), log.entries[0]);
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0,
                                           KEY_READ | KEY_SET_VALUE | KEY_WOW64_32KEY, &pending));
    DWORD type = 0, size = 64;
    wchar_t data[32] = L"sentinel";
    EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExW(pending, L"C:\\users\\newone", nullptr, &type,
                                              reinterpret_cast<BYTE*>(data), &size));
    EXPECT_EQ(static_cast<DWORD>(REG_SZ), type);
    EXPECT_EQ(sizeof(wchar_t), size);
    RegDeleteValueW(pending, L"C:\\users\\newone");

    // Held open by the tile data model service: fails and is rescheduled under the current profile.
    MakeDirs(database);
    WriteFileBytes(database + L"\\vedatamodel.edb", "tiles");
    {
        HeldFile held(database + L"\\vedatamodel.edb");
        ASSERT_TRUE(held.ok());
        EXPECT_FALSE(module.vedatamodelDbBackup(Profile, L"", true));
        size = 64;
        EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExW(pending, Profile.c_str(), nullptr, &type,
                                                  reinterpret_cast<BYTE*>(data), &size));
        log.entries.clear();
        module.RunPendingTileBackups(); // still held: kept, reported
        EXPECT_EQ(L"E: Tile backup failed for " + Profile, log.entries.back());
        size = 64;
        EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExW(pending, Profile.c_str(), nullptr, &type,
                                                  reinterpret_cast<BYTE*>(data), &size));
    }
    // Released: the pending backup copies and its value goes.
    log.entries.clear();
    module.RunPendingTileBackups();
    EXPECT_TRUE(log.entries.empty());
    EXPECT_EQ("tiles", ReadFileBytes(copy));
    size = 64;
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegQueryValueExW(pending, Profile.c_str(), nullptr, &type,
                                                     reinterpret_cast<BYTE*>(data), &size));
    RegCloseKey(pending);
    DeleteTestKeys();

    // Without an event log nothing is reported and nothing is rescheduled when not asked.
    ManageAppx quiet(ScratchSettings());
    DeleteFileW((database + L"\\vedatamodel.edb").c_str());
    EXPECT_FALSE(quiet.vedatamodelDbBackup(Profile, L"", false));
    EXPECT_NE(ERROR_SUCCESS,
              RegOpenKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_READ | KEY_WOW64_32KEY, &pending));
}

// Edge settings live below HKEY_USERS\<SID>; the test uses its own user's hive (HKEY_CURRENT_USER).
class EdgeSettings : public ::testing::Test {
  protected:
    void SetUp() override { Clean(); }
    void TearDown() override { Clean(); }
    static void Clean() {
        SHDeleteKeyW(HKEY_CURRENT_USER, (Settings + L"\\" + Edge).c_str());
        SHDeleteKeyW(HKEY_CURRENT_USER, L"SOFTWARE\\Quillmar\\Migration");
    }
};

std::wstring ReadSz(HKEY root, const std::wstring& path, const wchar_t* name, DWORD* type) {
    wchar_t data[512] = L"";
    DWORD size = sizeof(data);
    if (RegGetValueW(root, path.c_str(), name, RRF_RT_ANY | RRF_NOEXPAND, type, data, &size) != ERROR_SUCCESS)
        return L"<missing>";
    return data;
}

TEST_F(EdgeSettings, BackupCopiesListedKeysAndRestoreBringsThemBack) {
    std::wstring main = Settings + L"\\" + Edge + L"\\MicrosoftEdge\\Main";
    std::wstring zoom = Settings + L"\\" + Edge + L"\\MicrosoftEdge\\Zoom\\Nested";
    std::wstring other = Settings + L"\\" + Edge + L"\\MicrosoftEdge\\NotListed";
    // The first and a spaced name of the listed keys, besides Main and Zoom (the last).
    std::wstring bing = Settings + L"\\" + Edge + L"\\MicrosoftEdge\\BingPageData";
    std::wstring internet = Settings + L"\\" + Edge + L"\\MicrosoftEdge\\Internet Settings";
    WriteKeys(HKEY_CURRENT_USER, {
                                     {main,
                                      {{L"Home", Sz(L"https://a&b")},
                                       {L"Count", Dword(7)},
                                       {L"Cache", ExpandSz(L"%SystemRoot%\\cache")}}},
                                     {zoom, {{L"Level", Dword(3)}}},
                                     {other, {{L"x", Sz(L"y")}}},
                                     {bing, {{L"b", Sz(L"bing")}}},
                                     {internet, {{L"i", Sz(L"internet")}}},
                                 });
    DWORD type = 0;
    // Every listed key is backed up, whatever its name.
    for (const std::wstring& listed : IncludedAppRegSettings)
        WriteKeys(HKEY_CURRENT_USER, {{Settings + L"\\" + listed, {{L"Listed", Sz(listed)}}}});
    ManageAppx module(ScratchSettings());
    std::wstring sid = CurrentSid();
    module.BackupAppSettings2(sid, Profile);
    for (const std::wstring& listed : IncludedAppRegSettings)
        EXPECT_EQ(listed, ReadSz(HKEY_CURRENT_USER, Backup + L"\\" + listed, L"Listed", &type));

    std::wstring backupMain = Backup + L"\\" + Edge + L"\\MicrosoftEdge\\Main";
    EXPECT_EQ(L"https://a&b", ReadSz(HKEY_CURRENT_USER, backupMain, L"Home", &type));
    wchar_t windows[MAX_PATH];
    GetEnvironmentVariableW(L"SystemRoot", windows, MAX_PATH);
    EXPECT_EQ(std::wstring(windows) + L"\\cache", ReadSz(HKEY_CURRENT_USER, backupMain, L"Cache", &type));
    EXPECT_EQ(static_cast<DWORD>(REG_EXPAND_SZ), type); // expanded, but still an expandable string
    DWORD level = 0, size = sizeof(level);
    EXPECT_EQ(ERROR_SUCCESS, RegGetValueW(HKEY_CURRENT_USER,
                                          (Backup + L"\\" + Edge + L"\\MicrosoftEdge\\Zoom\\Nested").c_str(),
                                          L"Level", RRF_RT_REG_DWORD, nullptr, &level, &size));
    EXPECT_EQ(3u, level);
    EXPECT_EQ(L"<missing>",
              ReadSz(HKEY_CURRENT_USER, Backup + L"\\" + Edge + L"\\MicrosoftEdge\\NotListed", L"x", &type));
    EXPECT_EQ(L"bing", ReadSz(HKEY_CURRENT_USER, Backup + L"\\" + Edge + L"\\MicrosoftEdge\\BingPageData",
                              L"b", &type));
    EXPECT_EQ(L"internet",
              ReadSz(HKEY_CURRENT_USER, Backup + L"\\" + Edge + L"\\MicrosoftEdge\\Internet Settings", L"i",
                     &type));

    // Restore into a settings root whose Edge keys are gone.
    SHDeleteKeyW(HKEY_CURRENT_USER, (Settings + L"\\" + Edge).c_str());
    module.RestoreAppSettings(sid);
    EXPECT_EQ(L"https://a&b", ReadSz(HKEY_CURRENT_USER, main, L"Home", &type));
    size = sizeof(level);
    EXPECT_EQ(ERROR_SUCCESS, RegGetValueW(HKEY_CURRENT_USER, zoom.c_str(), L"Level", RRF_RT_REG_DWORD,
                                          nullptr, &level, &size));

    // A SID text that would climb out of HKEY_USERS is refused.
    EXPECT_THROW(module.BackupAppSettings2(sid + L"\\..\\x", Profile), AppxError);
}

TEST_F(EdgeSettings, RestoreWithoutBackupChangesNothing) {
    ManageAppx module(ScratchSettings());
    HKEY key = nullptr;
    module.RestoreAppSettings(CurrentSid());
    EXPECT_EQ(ERROR_FILE_NOT_FOUND,
              RegOpenKeyExW(HKEY_CURRENT_USER, (Settings + L"\\" + Edge).c_str(), 0, KEY_READ, &key));
}

} // namespace

namespace {

// The links are planted by plant-links.sh before this test runs (Linux side, inside the prefix).
TEST(FolderLinks, NeitherFollowedWhenBackingUpNorWrittenThroughWhenRestoring) {
    const std::wstring base = L"C:\\corvane-scratch\\appxcore-links";
    const std::wstring profile = base + L"\\profile";
    const std::wstring cortana =
        profile + L"\\AppData\\Local\\Packages\\Microsoft.Windows.Cortana_cw5n1h2txyewy";
    DWORD attributes = GetFileAttributesW((cortana + L"\\linked").c_str());
    ASSERT_NE(INVALID_FILE_ATTRIBUTES, attributes) << "plant-links.sh has not run";
    ASSERT_TRUE(attributes & FILE_ATTRIBUTE_REPARSE_POINT);

    ManageAppx module(ScratchSettings());
    module.BackupAppFiles2(profile);
    std::wstring saved =
        profile + L"\\AppData\\Local\\Quillmar\\Migrate\\Packages\\Microsoft.Windows.Cortana_cw5n1h2txyewy";
    EXPECT_EQ("ok", ReadFileBytes(saved + L"\\LocalState\\ok.txt"));
    EXPECT_FALSE(DirExists(saved + L"\\linked"));
    EXPECT_FALSE(FileExists(saved + L"\\linked\\secret.txt"));

    // The ShellExperienceHost package folder is a link to a folder outside the profile: the restore
    // must not write the backup's file through it.
    module.RestoreAppFiles(profile);
    EXPECT_FALSE(FileExists(base + L"\\outside-target\\x.txt"));
    EXPECT_EQ("ok", ReadFileBytes(cortana + L"\\LocalState\\ok.txt"));

    // The tile database folder is a link: nothing is copied through it, and the failure is reported.
    RecordingLog log;
    ManageAppx service(ScratchSettings(), &log);
    EXPECT_FALSE(service.vedatamodelDbBackup(profile, L"", false));
    EXPECT_FALSE(FileExists(profile + L"\\AppData\\Local\\Quillmar\\Migrate\\vedatamodel.edb"));
    EXPECT_EQ(1u, log.entries.size());
    DeleteTestTree(base);
}

} // namespace
