// A new user's first logon, end to end: corvane.exe (Windows 10) makes a user's profile the default
// profile and lists that user's Store packages into it, through the AppX Management Service it
// carries or, without the service, through kelvo2.exe; a new user's profile is built from the default
// profile as Windows builds it; then the Active Setup entry's command runs for that user. Packages
// live in the stand-in repository's own places (Program Files\WindowsApps and the AppxAllUserStore
// key), which the service, the tool and the updater all read.
//
// Wine divergence: Wine runs every process as its one user (S-1-5-21-0-0-0-1000) with its own hive
// as HKEY_CURRENT_USER, so the "new user" is that user: its profile folder receives a copy of the
// default profile, its ProfileList entry points there, and the default hive is loaded and copied into
// its HKEY_CURRENT_USER. On Windows the same steps give a user with an unused SID; here only the SID
// is the prefix's fixed one, which differs from the source user's.
#include "companions/appxcore/packagelist.h"
#include "companions/updater/updater.h"

#include "../appxcore/repository.h"
#include "harness/testlib.h"

#include <gtest/gtest.h>
#include <shlobj.h>
#include <shlwapi.h>

using namespace corvane_test;
using appxcore::PackageInfo;

namespace {

const std::wstring Windows = L"CN=Microsoft Windows, O=Microsoft Corporation, L=Redmond, S=Washington, C=US";
const std::wstring Store = L"CN=Store Test Publisher";
const wchar_t* const AllUserStore = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Appx\\AppxAllUserStore";
const wchar_t* const SetupKey =
    L"SOFTWARE\\Microsoft\\Active Setup\\Installed Components\\Quillmar-Migrate-AppxPackage";
const wchar_t* const WindowsApps = L"C:\\Program Files\\WindowsApps";
const wchar_t* const SettingsKey = L"SOFTWARE\\Wow6432Node\\Quillmar\\AppX";
const wchar_t* const SourceSid = L"S-1-5-21-61-61-61-1001";
const wchar_t* const Local = L"\\AppData\\Local\\Quillmar";

void SetVersion(const wchar_t* program, const wchar_t* version) {
    WriteKeys(HKEY_CURRENT_USER,
              {{std::wstring(L"Software\\Wine\\AppDefaults\\") + program, {{L"Version", Sz(version)}}}});
}

// Copies a tree file by file, as the profile service copies the default profile (no links exist
// inside the test prefix); records every file it wrote.
void CopyTree(const std::wstring& from, const std::wstring& to, std::vector<std::wstring>* written) {
    MakeDirs(to);
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW((from + L"\\*").c_str(), &data);
    if (find == INVALID_HANDLE_VALUE) return;
    do {
        std::wstring name = data.cFileName;
        if (name == L"." || name == L"..") continue;
        if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            CopyTree(from + L"\\" + name, to + L"\\" + name, written);
        } else if (CopyFileW((from + L"\\" + name).c_str(), (to + L"\\" + name).c_str(), FALSE)) {
            written->push_back(to + L"\\" + name);
        }
    } while (FindNextFileW(find, &data));
    FindClose(find);
}

class FirstLogon : public ::testing::Test {
  protected:
    FirstLogon() : repo_(L"firstlogon") {}

    void SetUp() override {
        RemoveServiceAndFiles(); // the prefix is shared with earlier tests of this run
        newSid_ = appx_test::CurrentSid();
        wchar_t path[MAX_PATH] = L"";
        SHGetFolderPathW(nullptr, CSIDL_PROFILE, nullptr, SHGFP_TYPE_CURRENT, path);
        newProfile_ = path;
        RegDeleteTreeW(HKEY_CURRENT_USER, L"Software\\Quillmar");
        RegDeleteTreeW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Appx");
        defaultPath_ = EnsureDefaultProfile();
        MakeDirs(WindowsApps);
        // The updater's own log lines tell which way the registration went.
        WriteKeys(HKEY_LOCAL_MACHINE, {{SettingsKey, {{L"DebugLevel", Dword(1)}}}});
        SetVersion(L"corvane.exe", L"win10");
        SetVersion(L"kelvo2.exe", L"win10");
        SetVersion(L"QuillmarAppxService.exe", L"win10");

        // The source user, who once ran the updater in a profile of their own.
        HiveContent hive;
        hive[L"Software\\Quillmar\\Appx"][L"LastSid"] = Sz(SourceSid);
        hive[L"Software\\Corvane Test"][L"Marker"] = Sz(L"from the source user");
        source_ = CreateProfile(L"Appx Source", SourceSid, hive);
        // Every folder of the tool's copy table exists in a real profile.
        MakeRequiredRowFolders(source_.path);
        for (const auto& p : std::vector<std::pair<std::wstring, std::wstring>>{
                 {L"cp", L"windows.immersivecontrolpanel"},
                 {L"shell", L"Microsoft.Windows.ShellExperienceHost"}})
            packages_.push_back(Install(p.first, p.second, Windows));
        for (const auto& p : std::vector<std::pair<std::wstring, std::wstring>>{{L"one", L"Store.One"},
                                                                                {L"three", L"Store.Three"}})
            packages_.push_back(Install(p.first, p.second, Store));
        // Store.Two needs a framework this machine does not have: its registration fails for anyone.
        packages_.push_back(Install(L"two", L"Store.Two", Store, L"Store.Runtime"));
    }

    void TearDown() override {
        // The service the tool installed, with its program and the updater files it wrote.
        RemoveServiceAndFiles();
        wchar_t windows[MAX_PATH];
        GetWindowsDirectoryW(windows, MAX_PATH);
        DeleteFileW((std::wstring(windows) + L"\\kelvo2.exe").c_str());
        DeleteFileW((std::wstring(windows) + L"\\kelvohlp.dll").c_str());
        SetVersion(L"corvane.exe", L"win7");
        SetVersion(L"kelvo2.exe", L"win7");
        SetVersion(L"QuillmarAppxService.exe", L"win7");
        RegDeleteTreeW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Wow6432Node\\Quillmar");
        // Only what this test wrote below Program Files: each package's manifest and folder.
        for (const PackageInfo& p : packages_) {
            DeleteFileW((p.path + L"\\AppxManifest.xml").c_str());
            RemoveDirectoryW(p.path.c_str());
        }
        for (const std::wstring& file : copied_)
            DeleteFileW(file.c_str());
        DeleteTestTree(newProfile_ + Local);
        RegDeleteTreeW(HKEY_CURRENT_USER, L"Software\\Quillmar");
        RegDeleteTreeW(HKEY_CURRENT_USER, L"Software\\Corvane Test");
        RegDeleteTreeW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Appx");
        RegDeleteKeyW(HKEY_LOCAL_MACHINE, SetupKey);
        RemoveProfile(source_);
        DeleteTestTree(defaultPath_);
    }

    // Installs a package into the repository and registers it for the source user.
    PackageInfo Install(const std::wstring& folder, const std::wstring& name, const std::wstring& publisher,
                        const std::wstring& framework = L"") {
        std::vector<appx_test::Dependency> dependencies;
        if (!framework.empty()) dependencies.push_back({framework, Store, L"1.0.0.0"});
        std::wstring fullName =
            repo_.Install(folder, name, publisher, L"1.0.0.0", L"x64", false, dependencies);
        PackageInfo p;
        p.name = name;
        p.fullName = fullName;
        p.path = std::wstring(WindowsApps) + L"\\" + folder;
        EXPECT_FALSE(DirExists(p.path));
        MakeDirs(p.path);
        EXPECT_TRUE(CopyFileW((repo_.packages() + L"\\" + folder + L"\\AppxManifest.xml").c_str(),
                              (p.path + L"\\AppxManifest.xml").c_str(), TRUE));
        WriteKeys(HKEY_LOCAL_MACHINE,
                  {{std::wstring(AllUserStore) + L"\\" + SourceSid + L"\\" + fullName, {}}});
        return p;
    }

    // As Windows does at first logon: the default profile's folder and hive become the user's.
    void MakeNewUserFromDefault() {
        CopyTree(defaultPath_, newProfile_, &copied_);
        AddProfileListEntry(newSid_, newProfile_);
        ASSERT_TRUE(EnablePrivilegeForTest(SE_RESTORE_NAME));
        ASSERT_TRUE(EnablePrivilegeForTest(SE_BACKUP_NAME));
        const wchar_t* mount = L"corvane-firstlogon-hive";
        ASSERT_EQ(ERROR_SUCCESS, RegLoadKeyW(HKEY_USERS, mount, (defaultPath_ + L"\\NTUSER.DAT").c_str()));
        HKEY hive = nullptr;
        ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_USERS, mount, 0, KEY_READ, &hive));
        EXPECT_EQ(ERROR_SUCCESS, SHCopyKeyW(hive, nullptr, HKEY_CURRENT_USER, 0));
        RegCloseKey(hive);
        EXPECT_EQ(ERROR_SUCCESS, RegUnLoadKeyW(HKEY_USERS, mount));
    }

    // Runs the Active Setup entry's command the way Windows starts it: the command line as stored,
    // found by the system's search (here this build's kelvo2.exe beside the test programs), with
    // arguments added only where a test asks for another form.
    DWORD RunActiveSetup(const std::wstring& arguments) {
        wchar_t stub[MAX_PATH] = L"";
        DWORD size = sizeof stub - sizeof(wchar_t);
        HKEY key = nullptr;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, SetupKey, 0, KEY_READ, &key) != ERROR_SUCCESS)
            return 0xFFFFFFFF;
        RegQueryValueExW(key, L"StubPath", nullptr, nullptr, reinterpret_cast<BYTE*>(stub), &size);
        RegCloseKey(key);
        EXPECT_STREQ(L"kelvo2.exe", stub);
        std::wstring command = std::wstring(stub) + (arguments.empty() ? L"" : L" " + arguments);
        STARTUPINFOW si = {};
        si.cb = sizeof si;
        PROCESS_INFORMATION pi = {};
        if (!CreateProcessW(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, newProfile_.c_str(),
                            &si, &pi))
            return GetLastError();
        CloseHandle(pi.hThread);
        WaitForSingleObject(pi.hProcess, 120000);
        DWORD code = 1;
        GetExitCodeProcess(pi.hProcess, &code);
        CloseHandle(pi.hProcess);
        return code;
    }

    std::vector<std::wstring> RegisteredForNewUser() const { return appx_test::RegisteredInAllUserStore(newSid_, packages_); }
    static std::wstring LastSid() {
        std::wstring sid;
        return updater::ReadLastSid(&sid) ? sid : L"(none)";
    }

    // Stops and deletes "QuillmarAppxService" through the service control manager and removes its
    // program, whoever installed it in this run's prefix (the tool here, or an earlier test).
    static void RemoveServiceAndFiles() {
        SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
        SC_HANDLE service =
            manager ? OpenServiceW(manager, L"QuillmarAppxService", SERVICE_ALL_ACCESS) : nullptr;
        if (service) {
            SERVICE_STATUS status = {};
            ControlService(service, SERVICE_CONTROL_STOP, &status);
            for (int i = 0;
                 i < 100 && QueryServiceStatus(service, &status) && status.dwCurrentState != SERVICE_STOPPED;
                 ++i)
                Sleep(100);
            DeleteService(service);
            CloseServiceHandle(service);
        }
        if (manager) CloseServiceHandle(manager);
        EXPECT_TRUE(WaitUntilNoService());
        wchar_t programs[MAX_PATH];
        SHGetFolderPathW(nullptr, CSIDL_PROGRAM_FILES, nullptr, SHGFP_TYPE_CURRENT, programs);
        std::wstring folder = std::wstring(programs) + L"\\Quillmar\\AppX Management Service";
        // The stopped process may hold its program for a moment.
        for (int i = 0; i < 50 && FileExists(folder + L"\\QuillmarAppxService.exe"); ++i) {
            DeleteFileW((folder + L"\\QuillmarAppxService.exe").c_str());
            Sleep(100);
        }
        EXPECT_FALSE(FileExists(folder + L"\\QuillmarAppxService.exe"));
        RemoveDirectoryW(folder.c_str());
    }

    static bool WaitUntilNoService() {
        for (int i = 0; i < 150; ++i) {
            SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
            SC_HANDLE service =
                manager ? OpenServiceW(manager, L"QuillmarAppxService", SERVICE_QUERY_STATUS) : nullptr;
            DWORD error = GetLastError();
            if (service) CloseServiceHandle(service);
            if (manager) CloseServiceHandle(manager);
            if (!service && error == ERROR_SERVICE_DOES_NOT_EXIST) return true;
            Sleep(100);
        }
        return false;
    }

    std::string UpdaterLog() const {
        std::wstring log = newProfile_ + Local + L"\\Migrate-AppxPackage.log";
        return FileExists(log) ? ReadFileBytes(log) : "";
    }

    // Both ways end the same: everything but the package made to fail is registered for the new user,
    // the failure list names exactly that package, LastSid is the new user's, and a second logon
    // registers nothing.
    void ExpectFirstLogon(const char* way) {
        // The package list came with the profile, and the hive without the source user's LastSid
        // (the tool removes it).
        std::vector<PackageInfo> list =
            appxcore::ReadPackageList(newProfile_ + Local + L"\\Migrate-AppxPackage");
        ASSERT_EQ(5u, list.size());
        HKEY marker = nullptr;
        EXPECT_EQ(ERROR_SUCCESS,
                  RegOpenKeyExW(HKEY_CURRENT_USER, L"Software\\Corvane Test", 0, KEY_READ, &marker));
        if (marker) RegCloseKey(marker);
        EXPECT_EQ(L"(none)", LastSid());

        EXPECT_EQ(0u, RunActiveSetup(L""));
        EXPECT_EQ((std::vector<std::wstring>{L"windows.immersivecontrolpanel",
                                             L"Microsoft.Windows.ShellExperienceHost", L"Store.One",
                                             L"Store.Three"}),
                  RegisteredForNewUser());
        EXPECT_EQ(newSid_, LastSid());
        std::vector<PackageInfo> failed =
            appxcore::ReadPackageList(newProfile_ + Local + L"\\Migrate-AppxPackage-Fail");
        ASSERT_EQ(1u, failed.size());
        EXPECT_EQ(L"Store.Two", failed[0].name);
        EXPECT_TRUE(failed[0].installedfailed);
        std::string log = UpdaterLog();
        EXPECT_NE(std::string::npos, log.find(way)) << log;

        RegDeleteTreeW(HKEY_LOCAL_MACHINE, (std::wstring(AllUserStore) + L"\\" + newSid_).c_str());
        EXPECT_EQ(0u, RunActiveSetup(L""));
        EXPECT_TRUE(RegisteredForNewUser().empty());
        std::string second = UpdaterLog().substr(log.size());
        EXPECT_NE(std::string::npos, second.find("LastSid is " + Narrow(newSid_) + ".")) << second;
        EXPECT_EQ(std::string::npos, second.find("Asking")) << second;
        EXPECT_EQ(std::string::npos, second.find("registering")) << second;
    }

    appx_test::Repository repo_;
    TestProfile source_;
    std::wstring newSid_, newProfile_, defaultPath_;
    std::vector<PackageInfo> packages_;
    std::vector<std::wstring> copied_;
};

TEST_F(FirstLogon, ThroughTheService) {
    // Windows 10: the tool installs the service it carries, which lists the packages.
    RunResult r = RunProgram(L"C:\\corvane-tests\\corvane.exe", L"\"Appx Source\" /q");
    ASSERT_EQ(0u, r.exitCode) << r.out;
    MakeNewUserFromDefault();
    ExpectFirstLogon("Asking the AppX Management Service: -register");
}

TEST_F(FirstLogon, PriorityFirstThenTheRest) {
    RunResult r = RunProgram(L"C:\\corvane-tests\\corvane.exe", L"\"Appx Source\" /q");
    ASSERT_EQ(0u, r.exitCode) << r.out;
    MakeNewUserFromDefault();
    EXPECT_EQ(0u, RunActiveSetup(L"-priority"));
    EXPECT_EQ((std::vector<std::wstring>{L"windows.immersivecontrolpanel",
                                         L"Microsoft.Windows.ShellExperienceHost"}),
              RegisteredForNewUser());
    EXPECT_EQ(L"(none)", LastSid());
    EXPECT_NE(std::string::npos, UpdaterLog().find("Asking the AppX Management Service: -priority"));
    EXPECT_EQ(0u, RunActiveSetup(L""));
    EXPECT_EQ(4u, RegisteredForNewUser().size());
    EXPECT_EQ(newSid_, LastSid());
}

TEST_F(FirstLogon, WithoutTheService) {
    // No service: the tool runs kelvo2.exe to list, and kelvo2.exe registers in its own process.
    // The tool starts only the Windows folder's copy (an earlier run wrote it; /NoAppx writes none).
    wchar_t windows[MAX_PATH];
    GetWindowsDirectoryW(windows, MAX_PATH);
    ASSERT_TRUE(CopyFileW(L"C:\\corvane-tests\\kelvo2.exe", (std::wstring(windows) + L"\\kelvo2.exe").c_str(), FALSE));
    RunResult r = RunProgram(L"C:\\corvane-tests\\corvane.exe", L"\"Appx Source\" /q /NoAppx");
    ASSERT_EQ(0u, r.exitCode) << r.out;
    MakeNewUserFromDefault();
    ExpectFirstLogon("registering in this process");
}

} // namespace
