// Whole runs of corvane.exe with the Store-app steps, black box. The tool runs from a copy in a
// scratch folder, so that the system's search for kelvo2.exe does not find the test folder's
// build output before the Windows folder.
#include "appxtest.h"
#include "companions/appxcore/packagelist.h"
#include "companions/appxcore/platform.h"
#include "harness/testlib.h"

#include <gtest/gtest.h>
#include <shlobj.h>
#include <shlwapi.h>

using namespace appx_test;
using namespace corvane_test;

namespace {

const std::string Updating = "Updating default profile...\r\n";
const std::string Running = "The Quillmar AppX Management Service is running.\r\n";
const std::string Success = "The default profile has been successfully updated.\r\n";
const std::string Question =
    "Corvane needs to install the Quillmar AppX Management Service to manage Windows Store "
    "Apps for the default profile. Is this OK (Y/n)? ";
const wchar_t* const RunFolder = L"C:\\corvane-scratch\\run";
const wchar_t* const SetupKey =
    L"SOFTWARE\\Microsoft\\Active Setup\\Installed Components\\Quillmar-Migrate-AppxPackage";
const wchar_t* const Caches = L"\\AppData\\Local\\Microsoft\\Windows";

std::wstring Windows() {
    wchar_t path[MAX_PATH];
    GetWindowsDirectoryW(path, MAX_PATH);
    return path;
}

std::wstring ServiceFolder() {
    wchar_t path[MAX_PATH];
    SHGetFolderPathW(nullptr, CSIDL_PROGRAM_FILES, nullptr, SHGFP_TYPE_CURRENT, path);
    return std::wstring(path) + L"\\Quillmar\\AppX Management Service";
}

// The Windows version Wine reports to one program, or its default again for an empty version.
void SetProgramWindowsVersion(const std::wstring& program, const std::wstring& version) {
    std::wstring keyName = L"Software\\Wine\\AppDefaults\\" + program;
    if (version.empty()) {
        RegDeleteKeyW(HKEY_CURRENT_USER, keyName.c_str());
        return;
    }
    HKEY key;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_CURRENT_USER, keyName.c_str(), 0, nullptr, 0,
                                             KEY_ALL_ACCESS, nullptr, &key, nullptr));
    RegSetValueExW(key, L"Version", 0, REG_SZ, reinterpret_cast<const BYTE*>(version.c_str()),
                   static_cast<DWORD>((version.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(key);
}

// The build's own companion outputs, copied into the prefix by toolappx_test_companions.
std::string BuildOutput(const wchar_t* name) {
    return ReadFileBytes(std::wstring(L"C:\\corvane-tests\\companions\\") + name);
}

// Equal bytes, reported by size rather than by dumping whole programs.
::testing::AssertionResult SameBytes(const std::string& expected, const std::string& actual) {
    if (!expected.empty() && expected == actual) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure()
           << "expected " << expected.size() << " bytes, found " << actual.size()
           << (expected.size() == actual.size() && !expected.empty() ? " (different)" : "");
}

// Arguments of each recorded updater run.
std::vector<std::vector<std::wstring>> UpdaterRuns() {
    std::vector<std::vector<std::wstring>> runs;
    std::wstring file = std::wstring(RecordFolder) + L"\\updater.txt";
    if (!FileExists(file)) return runs;
    std::string bytes = ReadFileBytes(file);
    std::wstring text(reinterpret_cast<const wchar_t*>(bytes.data()), bytes.size() / 2);
    std::vector<std::wstring> current;
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find(L"\r\n", at);
        if (end == std::wstring::npos) break;
        std::wstring line = text.substr(at, end - at);
        at = end + 2;
        if (line.empty()) {
            runs.push_back(current);
            current.clear();
        } else {
            current.push_back(line);
        }
    }
    return runs;
}

std::string StoreAppWarning(const std::string& step, DWORD code) {
    return "Warning: Store-app step failed: " + step + ". Error " + std::to_string(code) + ": " +
           SystemErrorText(code) + "\r\n";
}

class AppxRun : public ::testing::Test {
  protected:
    void SetUp() override {
        RemoveService();
        ClearRecords();
        RemoveCompanionFiles();
        RegDeleteKeyW(HKEY_LOCAL_MACHINE, SetupKey);
        defaultPath_ = EnsureDefaultProfile();
        MakeDirs(RunFolder);
        wchar_t tool[MAX_PATH] = L"C:\\corvane-tests\\corvane.exe";
        GetEnvironmentVariableW(L"CORVANE_EXE", tool, MAX_PATH); // the shipped 32-bit one for the WOW64 run
        ASSERT_TRUE(CopyFileW(tool, (std::wstring(RunFolder) + L"\\corvane.exe").c_str(), FALSE));
        SetCurrentDirectoryW(RunFolder);
        SetToolWindowsVersion(L"win10");
    }
    void TearDown() override {
        SetCurrentDirectoryW(L"C:\\");
        RemoveService();
        for (const auto& p : profiles_)
            RemoveProfile(p);
        if (!defaultPath_.empty()) DeleteTestTree(defaultPath_);
        RemoveCompanionFiles();
        RegDeleteKeyW(HKEY_LOCAL_MACHINE, SetupKey);
        SetToolWindowsVersion(L"win7");
        SetProgramWindowsVersion(L"QuillmarAppxService.exe", L"");
    }
    void RemoveCompanionFiles() {
        DeleteFileW((Windows() + L"\\kelvo2.exe").c_str());
        DeleteFileW((Windows() + L"\\kelvohlp.dll").c_str());
        DeleteFileW((ServiceFolder() + L"\\QuillmarAppxService.exe").c_str());
        RemoveDirectoryW(ServiceFolder().c_str());
    }
    RunResult Run(const std::wstring& arguments, const std::string& input = "") {
        return RunProgram(std::wstring(RunFolder) + L"\\corvane.exe", arguments, input);
    }
    // A source profile with every folder of the copy table and the Windows 8 shell caches.
    TestProfile Source(const std::wstring& name, const std::wstring& sid) {
        HiveContent hive;
        hive[L"Software\\Corvane Test"][L"Marker"] = Sz(L"source hive");
        TestProfile p = CreateProfile(name, sid, hive);
        profiles_.push_back(p);
        MakeRequiredRowFolders(p.path);
        MakeDirs(p.path + Caches + L"\\Caches");
        MakeDirs(p.path + Caches + L"\\WinX\\Group1");
        WriteFileBytes(p.path + Caches + L"\\appsFolder.itemdata-ms", "app list");
        WriteFileBytes(p.path + Caches + L"\\Caches\\cache.db", "caches");
        WriteFileBytes(p.path + Caches + L"\\WinX\\Group1\\1 - Run.lnk", "winx");
        return p;
    }
    // The six values with their exact sizes, in the view a 64-bit program reads natively.
    void ExpectActiveSetupEntry() {
        HKEY key;
        ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_LOCAL_MACHINE, SetupKey, 0, KEY_READ, &key));
        DWORD values = 0;
        RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &values, nullptr, nullptr,
                         nullptr, nullptr);
        EXPECT_EQ(6u, values);
        const struct {
            const wchar_t* name;
            DWORD type, size;
        } expected[] = {
            {L"", REG_SZ, 38},      {L"StubPath", REG_SZ, 22},       {L"Version", REG_SZ, 18},
            {L"Locale", REG_SZ, 4}, {L"pwsComponentID", REG_SZ, 12}, {L"IsInstalled", REG_DWORD, 4}};
        for (const auto& e : expected) {
            DWORD type = 0, size = 0;
            EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExW(key, e.name, nullptr, &type, nullptr, &size))
                << Narrow(e.name);
            EXPECT_EQ(e.type, type) << Narrow(e.name);
            EXPECT_EQ(e.size, size) << Narrow(e.name);
        }
        wchar_t stub[32] = {};
        DWORD size = sizeof stub;
        EXPECT_EQ(ERROR_SUCCESS,
                  RegQueryValueExW(key, L"StubPath", nullptr, nullptr, reinterpret_cast<BYTE*>(stub), &size));
        EXPECT_STREQ(L"kelvo2.exe", stub);
        RegCloseKey(key);
    }
    void ExpectShellCaches(const TestProfile& p) {
        EXPECT_EQ("app list", ReadFileBytes(defaultPath_ + Caches + L"\\appsFolder.itemdata-ms"));
        EXPECT_EQ("caches", ReadFileBytes(defaultPath_ + Caches + L"\\Caches\\cache.db"));
        EXPECT_EQ("winx", ReadFileBytes(defaultPath_ + Caches + L"\\WinX\\Group1\\1 - Run.lnk"));
    }
    std::wstring defaultPath_;
    std::vector<TestProfile> profiles_;
};

TEST_F(AppxRun, Windows10UpdateAsksTheRunningServiceForBothProfiles) {
    ConfigureStandIn(L"standin");
    InstallStandIn(StandInProgram(), true);
    TestProfile src = Source(L"Appx Ten", L"S-1-5-21-51-51-51-1001");
    // Stands for the tile database the service backs up into the source profile.
    MakeDirs(src.path + L"\\AppData\\Local\\Quillmar\\Migrate");
    WriteFileBytes(src.path + L"\\AppData\\Local\\Quillmar\\Migrate\\vedatamodel.edb", "tile database");

    RunResult r = Run(L"\"Appx Ten\" /q");
    ASSERT_EQ(0u, r.exitCode) << r.out;
    EXPECT_EQ(std::string(Banner) + Updating + Running + Success, r.out);

    // The default profile first (not waiting), then the source profile (waiting).
    std::wstring local = L"\\AppData\\Local\\Quillmar\\Migrate-AppxPackage";
    auto requests = Requests();
    ASSERT_EQ(2u, requests.size());
    EXPECT_EQ(Message(L"-user|" + src.sid + L"|" + defaultPath_ + local + L"|" + defaultPath_), requests[0]);
    EXPECT_EQ(Message(L"-user|" + src.sid + L"|" + src.path + local + L"|" + src.path), requests[1]);
    std::string list = "stand-in package list for S-1-5-21-51-51-51-1001";
    EXPECT_EQ(list, ReadFileBytes(src.path + local));
    EXPECT_EQ(list, ReadFileBytes(defaultPath_ + local));
    ExpectShellCaches(src);
    EXPECT_EQ("tile database",
              ReadFileBytes(defaultPath_ + L"\\AppData\\Local\\Quillmar\\Migrate\\vedatamodel.edb"));
    EXPECT_EQ("tile database",
              ReadFileBytes(defaultPath_ + L"\\AppData\\Local\\TileDataLayer\\Database\\vedatamodel.edb"));
    ExpectActiveSetupEntry();
    EXPECT_TRUE(UpdaterRuns().empty());
}

TEST_F(AppxRun, ServiceThatCannotStartIsRemovedAndTheUpdaterRunWithQuotedValues) {
    // No service and no program file: the start fails, the service is deleted again, and kelvo2.exe
    // (here a recording stand-in in the Windows folder) is run for each profile.
    ASSERT_TRUE(CopyFileW(L"C:\\corvane-tests\\toolappx_fakeupdater.exe",
                          (Windows() + L"\\kelvo2.exe").c_str(), FALSE));
    TestProfile src = Source(L"Appx Space", L"S-1-5-21-51-51-51-1002");
    RunResult r = Run(L"\"Appx Space\" /q /NoAppx");
    ASSERT_EQ(0u, r.exitCode) << r.out;
    // The stand-in ends with 7 where kelvo2.exe ends with 0: an updater that failed is reported.
    EXPECT_EQ(std::string(Banner) + Updating +
                  StoreAppWarning("listing the Store apps into the default profile", 7) + Success,
              r.out);

    std::wstring local = L"\\AppData\\Local\\Quillmar\\Migrate-AppxPackage";
    auto runs = UpdaterRuns();
    ASSERT_EQ(2u, runs.size());
    std::wstring expectedLine = L"kelvo2.exe -user \"" + src.sid + L"\" -file \"" + defaultPath_ + local +
                                L"\" -profile \"" + defaultPath_ + L"\"";
    EXPECT_EQ(expectedLine, runs[0][0]);
    EXPECT_EQ(
        (std::vector<std::wstring>{L"-user", src.sid, L"-file", src.path + local, L"-profile", src.path}),
        std::vector<std::wstring>(runs[1].begin() + 1, runs[1].end()));
    EXPECT_FALSE(ServiceInstalled());
    EXPECT_FALSE(DirExists(ServiceFolder()));
    ExpectShellCaches(src);
    ExpectActiveSetupEntry();
    EXPECT_TRUE(DirExists(src.path + L"\\AppData\\Local\\Quillmar"));
}

TEST_F(AppxRun, InstalledServiceIsStartedWithoutAQuestionAndAFailedStartIsOnlyReported) {
    // Installed and stopped: started with its configured program, nothing asked or written.
    ConfigureStandIn(L"start");
    InstallStandIn(StandInProgram(), false);
    TestProfile src = Source(L"Appx Stopped", L"S-1-5-21-51-51-51-1006");
    RunResult r = Run(L"\"Appx Stopped\"");
    EXPECT_EQ(0u, r.exitCode) << r.out;
    EXPECT_EQ(std::string(Banner) + Updating + Running + Success, r.out);
    EXPECT_EQ(StandInProgram(), ConfiguredPath());
    EXPECT_FALSE(FileExists(ServiceFolder() + L"\\QuillmarAppxService.exe"));
    RemoveService();

    // A service that stops again before it answers the probe: its code is printed, and the run
    // (here the installation keyword) goes on.
    ConfigureStandIn(L"start", 0, 1);
    InstallStandIn(StandInProgram(), false);
    r = Run(L"/InstallAppxService");
    // The printed code is also the exit code: a deployment sees the failure.
    EXPECT_EQ(static_cast<DWORD>(ERROR_SERVICE_NOT_ACTIVE), r.exitCode);
    EXPECT_EQ(std::string(Banner) + SystemErrorText(ERROR_SERVICE_NOT_ACTIVE) + "\r\n", r.out);
    RemoveService();

    // A registered service whose program is not there: the start's own code.
    InstallStandIn(L"C:\\corvane-scratch\\no such folder\\QuillmarAppxService.exe", false);
    r = Run(L"/InstallAppxService");
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), r.exitCode) << r.out;
    EXPECT_EQ(std::string(Banner) + SystemErrorText(ERROR_FILE_NOT_FOUND) + "\r\n", r.out);
}

bool ActiveSetupEntryExists() {
    HKEY key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, SetupKey, 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
    RegCloseKey(key);
    return true;
}

TEST_F(AppxRun, StoreAppStepThatFailsIsOneWarningBeforeTheSuccessLine) {
    // Windows 8.1, no service and no kelvo2.exe anywhere: the listing for the default profile cannot
    // be done, and no Active Setup entry is written for a program that is not there.
    SetToolWindowsVersion(L"win81");
    TestProfile src = Source(L"Appx Missing", L"S-1-5-21-51-51-51-1007");
    RunResult r = Run(L"\"Appx Missing\" /q /NoAppx");
    EXPECT_EQ(0u, r.exitCode) << r.out;
    EXPECT_EQ(std::string(Banner) + Updating +
                  StoreAppWarning("listing the Store apps into the default profile", ERROR_FILE_NOT_FOUND) +
                  Success,
              r.out);
    EXPECT_FALSE(ActiveSetupEntryExists());
    ExpectShellCaches(src); // the rest of the update is whole

    // With kelvo2.exe in the Windows folder but a service that refuses the listing: the refusal is
    // the warning, and the entry is written.
    ASSERT_TRUE(CopyFileW(L"C:\\corvane-tests\\toolappx_fakeupdater.exe",
                          (Windows() + L"\\kelvo2.exe").c_str(), FALSE));
    RemoveService(); // the update's own attempt may still be on its way out
    ConfigureStandIn(L"refuse");
    InstallStandIn(StandInProgram(), true);
    r = Run(L"\"Appx Missing\" /q");
    EXPECT_EQ(0u, r.exitCode) << r.out;
    EXPECT_EQ(std::string(Banner) + Updating + Running +
                  StoreAppWarning("listing the Store apps into the default profile", ERROR_ACCESS_DENIED) +
                  Success,
              r.out);
    ExpectActiveSetupEntry();
    EXPECT_TRUE(UpdaterRuns().empty());
}

TEST_F(AppxRun, ServiceThatNeverRepliesIsGivenUpAndTheUpdateEnds) {
    // Windows 10: both listings meet a service that takes the request and never answers. The test
    // build's shorter limit stands for the product's minutes.
    ASSERT_TRUE(CopyFileW(L"C:\\corvane-tests\\toolappx_fakeupdater.exe",
                          (Windows() + L"\\kelvo2.exe").c_str(), FALSE));
    ConfigureStandIn(L"silent");
    InstallStandIn(StandInProgram(), true);
    TestProfile src = Source(L"Appx Silent", L"S-1-5-21-51-51-51-1008");
    SetEnvironmentVariableW(L"CORVANE_TEST_WAIT_MS", L"3000");
    DWORD start = GetTickCount();
    RunResult r = Run(L"\"Appx Silent\" /q");
    DWORD elapsed = GetTickCount() - start;
    SetEnvironmentVariableW(L"CORVANE_TEST_WAIT_MS", nullptr);
    EXPECT_EQ(0u, r.exitCode) << r.out;
    EXPECT_EQ(std::string(Banner) + Updating + Running +
                  StoreAppWarning("listing the Store apps into the default profile", ERROR_TIMEOUT) + Success,
              r.out);
    EXPECT_LT(elapsed, 60000u);
    EXPECT_EQ(2u, Requests().size()); // both profiles were asked for
    ExpectActiveSetupEntry();
    EXPECT_TRUE(UpdaterRuns().empty()); // a service that runs is not replaced by the updater
}

// ---- With the companions the tool carries (resources 102 to 104) ---------------------------------

TEST_F(AppxRun, InstallThenDeleteTheServiceFromTheToolsOwnResources) {
    RunResult r = Run(L"/InstallAppxService");
    EXPECT_EQ(0u, r.exitCode);
    EXPECT_EQ(std::string(Banner) + Running, r.out);
    EXPECT_TRUE(SameBytes(BuildOutput(L"QuillmarAppxService.exe"),
                          ReadFileBytes(ServiceFolder() + L"\\QuillmarAppxService.exe")));
    EXPECT_TRUE(SameBytes(BuildOutput(L"kelvo2.exe"), ReadFileBytes(Windows() + L"\\kelvo2.exe")));
    EXPECT_TRUE(SameBytes(BuildOutput(L"kelvohlp.dll"), ReadFileBytes(Windows() + L"\\kelvohlp.dll")));
    EXPECT_TRUE(WaitForState(SERVICE_RUNNING));
    EXPECT_EQ(L"\"" + ServiceFolder() + L"\\QuillmarAppxService.exe\"", ConfiguredPath());
    // It answers the readiness probe.
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE service = OpenServiceW(manager, L"QuillmarAppxService", SERVICE_USER_DEFINED_CONTROL);
    SERVICE_STATUS status;
    EXPECT_TRUE(ControlService(service, 128, &status)) << GetLastError();
    CloseServiceHandle(service);
    CloseServiceHandle(manager);

    r = Run(L"/DeleteAppxService");
    EXPECT_EQ(0u, r.exitCode);
    EXPECT_EQ(std::string(Banner) + "Deleting the Quillmar AppX Management Service. Please wait...\r\n" +
                  "The Quillmar AppX Management Service has been deleted.\r\n",
              r.out);
    EXPECT_TRUE(WaitForState(0));
    EXPECT_FALSE(FileExists(ServiceFolder() + L"\\QuillmarAppxService.exe"));
    EXPECT_FALSE(DirExists(ServiceFolder()));
}

TEST_F(AppxRun, DeclinedServiceStopsWindows10AndLetsWindows81GoOnWithTheUpdaterFiles) {
    TestProfile src = Source(L"Appx Declined", L"S-1-5-21-51-51-51-1003");
    RunResult r = Run(L"\"Appx Declined\"", "n\r\n");
    EXPECT_EQ(1223u, r.exitCode);
    EXPECT_EQ(std::string(Banner) + Updating + Question + "Corvane cannot continue.\r\n", r.out);
    EXPECT_FALSE(ServiceInstalled());
    EXPECT_FALSE(FileExists(Windows() + L"\\kelvo2.exe"));

    SetToolWindowsVersion(L"win81");
    r = Run(L"\"Appx Declined\"", "N\r\n");
    EXPECT_EQ(0u, r.exitCode) << r.out;
    EXPECT_EQ(0u, r.out.find(std::string(Banner) + Updating + Question)) << r.out;
    EXPECT_TRUE(WaitForState(0)); // tried during the update, not startable, deleted again
    EXPECT_TRUE(SameBytes(BuildOutput(L"kelvo2.exe"), ReadFileBytes(Windows() + L"\\kelvo2.exe")));
    EXPECT_TRUE(SameBytes(BuildOutput(L"kelvohlp.dll"), ReadFileBytes(Windows() + L"\\kelvohlp.dll")));
}

// One package in the stand-in repository the companions use under Wine, registered for sid; its
// full name. Removed by RemovePackage.
const wchar_t* const PackageFolder = L"C:\\Program Files\\WindowsApps\\Corvane.AppxRunTest";
const wchar_t* const AllUserStore = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Appx\\AppxAllUserStore";

std::wstring InstallPackageFor(const std::wstring& sid) {
    MakeDirs(PackageFolder);
    WriteFileBytes(
        std::wstring(PackageFolder) + L"\\AppxManifest.xml",
        "<?xml version=\"1.0\" encoding=\"utf-8\"?>\r\n"
        "<Package xmlns=\"http://schemas.microsoft.com/appx/manifest/foundation/windows10\">\r\n"
        "  <Identity Name=\"Corvane.AppxRunTest\" Publisher=\"CN=Corvane Test\" Version=\"1.2.3.4\" "
        "ProcessorArchitecture=\"x64\" />\r\n"
        "  <Properties><DisplayName>x</DisplayName><Framework>false</Framework></Properties>\r\n"
        "</Package>\r\n");
    appxcore::ManifestInfo info =
        appxcore::ReadAppxManifest(std::wstring(PackageFolder) + L"\\AppxManifest.xml");
    HKEY key;
    EXPECT_EQ(
        ERROR_SUCCESS,
        RegCreateKeyExW(HKEY_LOCAL_MACHINE,
                        (std::wstring(AllUserStore) + L"\\" + sid + L"\\" + info.identity.fullName).c_str(),
                        0, nullptr, 0, KEY_ALL_ACCESS | KEY_WOW64_64KEY, nullptr, &key, nullptr));
    RegCloseKey(key);
    return info.identity.fullName;
}

void RemovePackage(const std::wstring& sid) {
    HKEY store;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, AllUserStore, 0, KEY_ALL_ACCESS | KEY_WOW64_64KEY, &store) ==
        ERROR_SUCCESS) {
        SHDeleteKeyW(store, sid.c_str());
        RegCloseKey(store);
    }
    DeleteFileW((std::wstring(PackageFolder) + L"\\AppxManifest.xml").c_str());
    RemoveDirectoryW(PackageFolder);
}

bool Lists(const std::wstring& listFile, const std::wstring& fullName) {
    std::vector<appxcore::PackageInfo> list;
    if (!appxcore::TryReadPackageList(listFile, &list)) return false;
    for (const auto& p : list)
        if (p.fullName == fullName) return true;
    return false;
}

TEST_F(AppxRun, Windows10UpdateFromNoServiceInstallsItAndListsThePackages) {
    TestProfile src = Source(L"Appx Full", L"S-1-5-21-51-51-51-1004");
    std::wstring fullName = InstallPackageFor(src.sid);
    // The user's tile database, which the service backs up into the Quillmar folder.
    MakeDirs(src.path + L"\\AppData\\Local\\TileDataLayer\\Database");
    WriteFileBytes(src.path + L"\\AppData\\Local\\TileDataLayer\\Database\\vedatamodel.edb",
                   "the user's tiles");

    // The service backs up the tile database only on Windows 10, as Wine reports it to that program.
    SetProgramWindowsVersion(L"QuillmarAppxService.exe", L"win10");
    RunResult r = Run(L"\"Appx Full\" /q");
    RemovePackage(src.sid);
    ASSERT_EQ(0u, r.exitCode) << r.out;
    EXPECT_EQ(std::string(Banner) + Updating + Running + Success, r.out);
    EXPECT_TRUE(SameBytes(BuildOutput(L"QuillmarAppxService.exe"),
                          ReadFileBytes(ServiceFolder() + L"\\QuillmarAppxService.exe")));
    EXPECT_TRUE(SameBytes(BuildOutput(L"kelvo2.exe"), ReadFileBytes(Windows() + L"\\kelvo2.exe")));
    EXPECT_TRUE(SameBytes(BuildOutput(L"kelvohlp.dll"), ReadFileBytes(Windows() + L"\\kelvohlp.dll")));
    EXPECT_TRUE(WaitForState(SERVICE_RUNNING, 0));
    std::wstring local = L"\\AppData\\Local\\Quillmar\\Migrate-AppxPackage";
    EXPECT_TRUE(Lists(src.path + local, fullName));
    EXPECT_TRUE(Lists(defaultPath_ + local, fullName));
    ExpectShellCaches(src);
    ExpectActiveSetupEntry();
    EXPECT_EQ("the user's tiles",
              ReadFileBytes(defaultPath_ + L"\\AppData\\Local\\Quillmar\\Migrate\\vedatamodel.edb"));
    EXPECT_EQ("the user's tiles",
              ReadFileBytes(defaultPath_ + L"\\AppData\\Local\\TileDataLayer\\Database\\vedatamodel.edb"));
    EXPECT_TRUE(UpdaterRuns().empty());
    Run(L"/DeleteAppxService");
}

// The companions a tool image carries, read from its resources.
std::string CarriedCompanion(const std::wstring& tool, WORD id) {
    HMODULE image = LoadLibraryExW(tool.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    if (!image) return "";
    std::string bytes;
    if (HRSRC found = FindResourceExW(image, L"BINARY", MAKEINTRESOURCEW(id),
                                      MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_UK)))
        bytes.assign(static_cast<const char*>(LockResource(LoadResource(image, found))),
                     SizeofResource(image, found));
    FreeLibrary(image);
    return bytes;
}

WORD Machine(const std::string& image) {
    if (image.size() < 0x40) return 0;
    DWORD pe;
    memcpy(&pe, image.data() + 0x3C, 4);
    if (image.size() < pe + 6) return 0;
    WORD machine;
    memcpy(&machine, image.data() + pe + 4, 2);
    return machine;
}

// Run with CORVANE_EXE naming the shipped 32-bit corvane.exe (ctest toolappx_e2e_shipped_wow64).
TEST_F(AppxRun, Wow64ShippedToolWritesThe32BitCompanionsWhereThe64BitToolDoes) {
    std::wstring tool = std::wstring(RunFolder) + L"\\corvane.exe";
    ASSERT_EQ(IMAGE_FILE_MACHINE_I386, Machine(ReadFileBytes(tool)))
        << "run this with the shipped 32-bit tool";
    std::string updater = CarriedCompanion(tool, 102), service = CarriedCompanion(tool, 103),
                library = CarriedCompanion(tool, 104);
    ASSERT_EQ(IMAGE_FILE_MACHINE_I386, Machine(updater));
    ASSERT_EQ(IMAGE_FILE_MACHINE_I386, Machine(service));
    ASSERT_EQ(IMAGE_FILE_MACHINE_I386, Machine(library));
    // The shipped build's own outputs, copied into the prefix by toolappx_ship_companions.
    EXPECT_TRUE(SameBytes(ReadFileBytes(L"C:\\corvane-bin\\companions\\kelvo2.exe"), updater));
    EXPECT_TRUE(SameBytes(ReadFileBytes(L"C:\\corvane-bin\\companions\\QuillmarAppxService.exe"), service));
    EXPECT_TRUE(SameBytes(ReadFileBytes(L"C:\\corvane-bin\\companions\\kelvohlp.dll"), library));

    RunResult r = Run(L"/InstallAppxService");
    EXPECT_EQ(0u, r.exitCode);
    EXPECT_EQ(std::string(Banner) + Running, r.out);
    // The Windows folder as a 64-bit program sees it, and the 32-bit Program Files folder that
    // the service is registered with.
    wchar_t programFiles32[MAX_PATH];
    SHGetFolderPathW(nullptr, CSIDL_PROGRAM_FILESX86, nullptr, SHGFP_TYPE_CURRENT, programFiles32);
    std::wstring program =
        std::wstring(programFiles32) + L"\\Quillmar\\AppX Management Service\\QuillmarAppxService.exe";
    EXPECT_TRUE(SameBytes(updater, ReadFileBytes(Windows() + L"\\kelvo2.exe")));
    EXPECT_TRUE(SameBytes(library, ReadFileBytes(Windows() + L"\\kelvohlp.dll")));
    EXPECT_TRUE(SameBytes(service, ReadFileBytes(program)));
    EXPECT_EQ(L"\"" + program + L"\"", ConfiguredPath());
    EXPECT_TRUE(WaitForState(SERVICE_RUNNING));

    // A whole update by the 32-bit tool: the Active Setup entry lands in the 64-bit view, where a
    // 64-bit program (this test) reads it natively.
    TestProfile src = Source(L"Appx Wow", L"S-1-5-21-51-51-51-1005");
    r = Run(L"\"Appx Wow\" /q");
    EXPECT_EQ(0u, r.exitCode);
    EXPECT_EQ(std::string(Banner) + Updating + Running + Success, r.out);
    ExpectActiveSetupEntry();
    ExpectShellCaches(src);
    EXPECT_TRUE(FileExists(defaultPath_ + L"\\AppData\\Local\\Quillmar\\Migrate-AppxPackage"));

    r = Run(L"/DeleteAppxService");
    EXPECT_EQ(0u, r.exitCode);
    EXPECT_TRUE(WaitForState(0));
    EXPECT_FALSE(FileExists(program));
}

} // namespace
