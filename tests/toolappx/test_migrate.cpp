// The Store-app migration of a profile: the package list's place, the service request, the
// updater's command line, the Active Setup entry, and the shell caches.
#include "appx/appx.h"
#include "appxtest.h"
#include "harness/testlib.h"
#include "profile/shellcaches.h"
#include "profile/storeapps.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <io.h>
#include <shellapi.h>
#include <shlobj.h>

using namespace appx_test;
using namespace corvane_test;

namespace {

const wchar_t* const Sid = L"S-1-5-21-41-41-41-1001";

TEST(LocalAppData, RelativeToTheRunningAccountsProfile) {
    wchar_t relative[MAX_PATH] = L"untouched";
    GetLocalAppDataRelativePath(relative);
    wchar_t profile[MAX_PATH], local[MAX_PATH];
    SHGetFolderPathW(nullptr, CSIDL_PROFILE, nullptr, SHGFP_TYPE_CURRENT, profile);
    SHGetFolderPathW(nullptr, CSIDL_LOCAL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, local);
    EXPECT_STREQ(local + wcslen(profile), relative);
    EXPECT_STREQ(L"\\AppData\\Local", relative);
}

TEST(UpdaterArguments, EachValueArrivesAsOneArgument) {
    const wchar_t* profile =
        L"C:\\Profiles With Spaces\\Ann Lee\\"; // a trailing backslash must not eat the quote
    const wchar_t* list = L"C:\\Profiles With Spaces\\Ann Lee\\AppData\\Local\\Quillmar\\Migrate-AppxPackage";
    wchar_t* arguments = BuildUpdaterArguments(Sid, list, profile);
    ASSERT_TRUE(arguments);
    EXPECT_STREQ(
        L"-user \"S-1-5-21-41-41-41-1001\" -file \"C:\\Profiles With Spaces\\Ann Lee\\AppData\\Local\\"
        L"Quillmar\\Migrate-AppxPackage\" -profile \"C:\\Profiles With Spaces\\Ann Lee\\\\\"",
        arguments);
    std::wstring line = std::wstring(L"kelvo2.exe ") + arguments;
    HeapFree(GetProcessHeap(), 0, arguments);
    int count = 0;
    wchar_t** argv = CommandLineToArgvW(line.c_str(), &count);
    ASSERT_EQ(7, count);
    EXPECT_STREQ(L"-user", argv[1]);
    EXPECT_STREQ(Sid, argv[2]);
    EXPECT_STREQ(L"-file", argv[3]);
    EXPECT_STREQ(list, argv[4]);
    EXPECT_STREQ(L"-profile", argv[5]);
    EXPECT_STREQ(profile, argv[6]);
    LocalFree(argv);
}

// The updater is started from the Windows folder, where the tool writes it, and from nowhere else:
// a kelvo2.exe in the current folder (or beside the tool) is never run.
TEST(Updater, StartedOnlyFromTheWindowsFolder) {
    ClearRecords();
    std::wstring folder = L"C:\\corvane-scratch\\updater-current-folder";
    MakeDirs(folder);
    ASSERT_TRUE(
        CopyFileW(L"C:\\corvane-tests\\toolappx_fakeupdater.exe", (folder + L"\\kelvo2.exe").c_str(), FALSE));
    wchar_t windows[MAX_PATH];
    GetWindowsDirectoryW(windows, MAX_PATH);
    std::wstring installed = std::wstring(windows) + L"\\kelvo2.exe";
    DeleteFileW(installed.c_str());
    wchar_t previous[MAX_PATH];
    GetCurrentDirectoryW(MAX_PATH, previous);
    SetCurrentDirectoryW(folder.c_str());
    DWORD missing = RunUpdater(L"-user x");
    ASSERT_TRUE(CopyFileW(L"C:\\corvane-tests\\toolappx_fakeupdater.exe", installed.c_str(), FALSE));
    DWORD found = RunUpdater(L"-user y");
    SetCurrentDirectoryW(previous);
    DeleteFileW(installed.c_str());
    DeleteTestTree(folder);

    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), missing);
    EXPECT_EQ(7u, found); // the stand-in's exit code
    std::string bytes = ReadFileBytes(std::wstring(RecordFolder) + L"\\updater.txt");
    std::wstring text(reinterpret_cast<const wchar_t*>(bytes.data()), bytes.size() / 2);
    EXPECT_EQ(L"kelvo2.exe -user y\r\n-user\r\ny\r\n\r\n", text) << "only the Windows folder's copy ran";
}

TEST(ActiveSetup, SixValuesWithTheirSizesInThe64BitView) {
    const wchar_t* keyName =
        L"SOFTWARE\\Microsoft\\Active Setup\\Installed Components\\Quillmar-Migrate-AppxPackage";
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, keyName); // the native view of this 64-bit test
    for (int run = 0; run < 2; ++run) {         // a second run leaves the same six values
        ASSERT_EQ(0u, RegisterActiveSetupEntry());
        HKEY key;
        ASSERT_EQ(ERROR_SUCCESS,
                  RegOpenKeyExW(HKEY_LOCAL_MACHINE, keyName, 0, KEY_READ | KEY_WOW64_64KEY, &key));
        DWORD values = 0;
        RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &values, nullptr, nullptr,
                         nullptr, nullptr);
        EXPECT_EQ(6u, values);
        struct Expected {
            const wchar_t* name;
            DWORD type;
            DWORD size;
            std::wstring text;
        } expected[] = {{L"", REG_SZ, 38, L"Windows Store Apps"},  {L"StubPath", REG_SZ, 22, L"kelvo2.exe"},
                        {L"Version", REG_SZ, 18, L"1,0,00,0"},     {L"Locale", REG_SZ, 4, L"*"},
                        {L"pwsComponentID", REG_SZ, 12, L"KELVO"}, {L"IsInstalled", REG_DWORD, 4, L""}};
        for (const Expected& e : expected) {
            SCOPED_TRACE(Narrow(e.name));
            BYTE data[64] = {};
            DWORD type = 0, size = sizeof data;
            ASSERT_EQ(ERROR_SUCCESS, RegQueryValueExW(key, e.name, nullptr, &type, data, &size));
            EXPECT_EQ(e.type, type);
            EXPECT_EQ(e.size, size);
            if (e.type == REG_SZ)
                EXPECT_STREQ(e.text.c_str(), reinterpret_cast<wchar_t*>(data));
            else
                EXPECT_EQ(1u, *reinterpret_cast<DWORD*>(data));
        }
        RegCloseKey(key);
    }
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, keyName); // the native view of this 64-bit test
}

class Migration : public ::testing::Test {
  protected:
    void SetUp() override {
        RemoveService();
        ClearRecords();
        profile_ = ProfilesDir() + L"\\Mig Source";
        MakeDirs(profile_ + L"\\AppData\\Local");
    }
    void TearDown() override {
        RemoveService();
        DeleteTestTree(profile_);
        if (!defaultPath_.empty()) DeleteTestTree(defaultPath_);
    }
    std::wstring profile_, defaultPath_;
};

TEST_F(Migration, RunningServiceIsAskedAndTheUpdaterNotRun) {
    ConfigureStandIn(L"standin");
    InstallStandIn(StandInProgram(), true);
    DebugCapture debug;
    EXPECT_EQ(0u, MigrateStoreApps(profile_.c_str(), Sid, false));
    std::wstring list = profile_ + L"\\AppData\\Local\\Quillmar\\Migrate-AppxPackage";
    auto requests = Requests();
    ASSERT_EQ(1u, requests.size());
    EXPECT_EQ(Message(L"-user|" + std::wstring(Sid) + L"|" + list + L"|" + profile_), requests[0]);
    EXPECT_TRUE(DirExists(profile_ + L"\\AppData\\Local\\Quillmar"));
    bool usedService = false;
    for (const auto& line : debug.lines())
        usedService |= line.find("DEBUG: Using Service") != std::string::npos;
    EXPECT_TRUE(usedService);
    EXPECT_FALSE(FileExists(std::wstring(RecordFolder) + L"\\updater.txt"));
}

TEST_F(Migration, ShellCachesReachTheDefaultProfileAndThePackageListIsAskedFor) {
    ConfigureStandIn(L"standin");
    InstallStandIn(StandInProgram(), true);
    defaultPath_ = ProfilesDir() + L"\\Mig Default";
    std::wstring windows = L"\\AppData\\Local\\Microsoft\\Windows";
    MakeDirs(profile_ + windows + L"\\Caches\\Sub");
    MakeDirs(profile_ + windows + L"\\WinX\\Group1");
    WriteFileBytes(profile_ + windows + L"\\appsFolder.itemdata-ms", "app list");
    WriteFileBytes(profile_ + windows + L"\\Caches\\Sub\\cache.db", "cache");
    WriteFileBytes(profile_ + windows + L"\\WinX\\Group1\\1 - Run.lnk", "link");
    MakeDirs(defaultPath_ + windows);
    WriteFileBytes(defaultPath_ + windows + L"\\appsFolder.itemdata-ms", "old app list");

    EXPECT_EQ(0u, CopyShellCaches(profile_.c_str(), defaultPath_.c_str(), Sid));
    EXPECT_EQ("app list", ReadFileBytes(defaultPath_ + windows + L"\\appsFolder.itemdata-ms"));
    EXPECT_EQ("cache", ReadFileBytes(defaultPath_ + windows + L"\\Caches\\Sub\\cache.db"));
    EXPECT_EQ("link", ReadFileBytes(defaultPath_ + windows + L"\\WinX\\Group1\\1 - Run.lnk"));
    // The package list is asked for the default profile; the stand-in writes it after its reply.
    const std::wstring list = defaultPath_ + L"\\AppData\\Local\\Quillmar\\Migrate-AppxPackage";
    const std::string expected = "stand-in package list for S-1-5-21-41-41-41-1001";
    EXPECT_TRUE(PollUntil([&] { return FileExists(list) && ReadFileBytes(list) == expected; }));
    EXPECT_EQ(expected, ReadFileBytes(list));
}

TEST_F(Migration, WithoutTheAppListNeitherItNorCachesAreCopiedButWinXAndTheListAre) {
    ConfigureStandIn(L"standin");
    InstallStandIn(StandInProgram(), true);
    defaultPath_ = ProfilesDir() + L"\\Mig Default";
    std::wstring windows = L"\\AppData\\Local\\Microsoft\\Windows";
    MakeDirs(profile_ + windows + L"\\Caches");
    MakeDirs(profile_ + windows + L"\\WinX");
    WriteFileBytes(profile_ + windows + L"\\Caches\\cache.db", "cache");
    WriteFileBytes(profile_ + windows + L"\\WinX\\x.lnk", "link");
    MakeDirs(defaultPath_);

    EXPECT_EQ(2u, CopyShellCaches(profile_.c_str(), defaultPath_.c_str(), Sid));
    EXPECT_FALSE(FileExists(defaultPath_ + windows + L"\\Caches\\cache.db"));
    EXPECT_EQ("link", ReadFileBytes(defaultPath_ + windows + L"\\WinX\\x.lnk"));
    EXPECT_TRUE(PollUntil(
        [&] { return FileExists(defaultPath_ + L"\\AppData\\Local\\Quillmar\\Migrate-AppxPackage"); }));
}

} // namespace

namespace {

// Links are planted from the Linux side by plant-links.sh (ctest toolappx_migrate_links).
class MigrationLinks : public ::testing::Test {
  protected:
    void SetUp() override {
        wchar_t base[MAX_PATH];
        DWORD length = GetEnvironmentVariableW(L"CORVANE_APPX_LINKS", base, MAX_PATH);
        if (length == 0 || length >= MAX_PATH)
            GTEST_SKIP() << "links are planted only by the toolappx_migrate_links run";
        scratch_ = base;
        source_ = ProfilesDir() + L"\\Mig Links";
        default_ = ProfilesDir() + L"\\Mig LinksDefault";
        ASSERT_TRUE(IsLink(source_ + L"\\AppData\\Local\\Microsoft\\Windows"));
        before_ = Snapshot(scratch_);
        RemoveService();
        ClearRecords();
    }
    void TearDown() override { RemoveService(); }
    static bool IsLink(const std::wstring& path) {
        DWORD a = GetFileAttributesW(path.c_str());
        return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_REPARSE_POINT);
    }
    std::wstring scratch_, source_, default_;
    std::map<std::wstring, std::string> before_;
};

TEST_F(MigrationLinks, ShellCachesBehindALinkAreNotCopied) {
    ConfigureStandIn(L"start");
    InstallStandIn(StandInProgram(), true);
    EXPECT_EQ(1920u, CopyShellCaches(source_.c_str(), default_.c_str(), Sid));
    std::wstring windows = default_ + L"\\AppData\\Local\\Microsoft\\Windows";
    EXPECT_FALSE(FileExists(windows + L"\\appsFolder.itemdata-ms"));
    EXPECT_FALSE(DirExists(windows + L"\\Caches"));
    EXPECT_FALSE(DirExists(windows + L"\\WinX"));
    EXPECT_EQ(before_, Snapshot(scratch_));
}

TEST_F(MigrationLinks, StoreAppStepsNeverWriteThroughADefaultProfileLink) {
    ConfigureStandIn(L"start"); // answers without writing anything itself
    InstallStandIn(StandInProgram(), true);
    VersionClasses windows10 = {false, false, true, true};
    RunStoreAppSteps(source_.c_str(), default_.c_str(), Sid, windows10);
    // The default profile's Quillmar folder is a link: only the source profile is listed.
    auto requests = Requests();
    ASSERT_EQ(1u, requests.size());
    EXPECT_EQ(Message(L"-user|" + std::wstring(Sid) + L"|" + source_ +
                      L"\\AppData\\Local\\Quillmar\\Migrate-AppxPackage|" + source_),
              requests[0]);
    // Neither the Quillmar folder copy nor the tile database reached the link targets.
    EXPECT_EQ(before_, Snapshot(scratch_));
    EXPECT_TRUE(IsLink(default_ + L"\\AppData\\Local\\Quillmar"));
    EXPECT_TRUE(IsLink(default_ + L"\\AppData\\Local\\TileDataLayer"));
}

// Runs f with the process's standard output going to a file; what was written.
template <class F> std::string CapturedOutput(F f) {
    std::wstring path = L"C:\\corvane-scratch\\migrate-output.txt";
    fflush(stdout);
    int saved = _dup(_fileno(stdout));
    FILE* file = _wfopen(path.c_str(), L"wb");
    if (!file) return "<no capture>";
    _dup2(_fileno(file), _fileno(stdout));
    f();
    fflush(stdout);
    _dup2(saved, _fileno(stdout));
    _close(saved);
    fclose(file);
    std::string text = ReadFileBytes(path);
    DeleteFileW(path.c_str());
    // The captured stream's line ends depend on its mode; the tool's own console keeps "\r\n".
    text.erase(std::remove(text.begin(), text.end(), '\r'), text.end());
    return text;
}

// A source profile whose Quillmar folder is a link: the tool sends no listing request for it,
// nothing lands in the link's target, and one line says why.
TEST_F(MigrationLinks, SourceProfileWithALinkedListFolderIsNotListedAndSaysSo) {
    ConfigureStandIn(L"start");
    InstallStandIn(StandInProgram(), true);
    std::wstring linked = ProfilesDir() + L"\\Mig LinksQ";
    ASSERT_TRUE(IsLink(linked + L"\\AppData\\Local\\Quillmar"));
    DWORD result = 0;
    std::string out = CapturedOutput([&] { result = MigrateStoreApps(linked.c_str(), Sid, true); });
    EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), result);
    EXPECT_TRUE(Requests().empty());
    EXPECT_EQ("Store apps of " + Narrow(linked) + " were not listed: a folder on the way to " +
                  Narrow(linked) + "\\AppData\\Local\\Quillmar\\Migrate-AppxPackage is a link.\n",
              out);
    EXPECT_EQ(before_, Snapshot(scratch_));
}

} // namespace
