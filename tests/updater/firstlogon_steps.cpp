#include "firstlogon_steps.h"

#include "harness/testlib.h"

#include <shlobj.h>
#include <shlwapi.h>

using namespace corvane_test;

namespace firstlogon {

const wchar_t* const WindowsApps = L"C:\\Program Files\\WindowsApps";
const wchar_t* const AllUserStore = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Appx\\AppxAllUserStore";
const wchar_t* const SetupKey =
    L"SOFTWARE\\Microsoft\\Active Setup\\Installed Components\\Quillmar-Migrate-AppxPackage";
const wchar_t* const SettingsKey = L"SOFTWARE\\Wow6432Node\\Quillmar\\AppX";
const wchar_t* const ServiceName = L"QuillmarAppxService";
const wchar_t* const QuillmarLocal = L"\\AppData\\Local\\Quillmar";

bool InstallForUser(appx_test::Repository& repo, const std::wstring& folder, const std::wstring& name,
                    const std::wstring& publisher, const std::wstring& sid, const std::wstring& framework,
                    appxcore::PackageInfo* package, std::wstring* error) {
    std::vector<appx_test::Dependency> dependencies;
    if (!framework.empty()) dependencies.push_back({framework, publisher, L"1.0.0.0"});
    appxcore::PackageInfo p;
    p.name = name;
    p.fullName = repo.Install(folder, name, publisher, L"1.0.0.0", L"x64", false, dependencies);
    p.path = std::wstring(WindowsApps) + L"\\" + folder;
    // Never over a package folder this run did not make.
    if (DirExists(p.path)) {
        *error = p.path + L" exists already";
        return false;
    }
    MakeDirs(p.path);
    if (!CopyFileW((repo.packages() + L"\\" + folder + L"\\AppxManifest.xml").c_str(),
                   (p.path + L"\\AppxManifest.xml").c_str(), TRUE)) {
        *error = L"cannot copy the manifest into " + p.path;
        return false;
    }
    HKEY key = nullptr;
    LONG result = RegCreateKeyExW(HKEY_LOCAL_MACHINE,
                                  (std::wstring(AllUserStore) + L"\\" + sid + L"\\" + p.fullName).c_str(), 0,
                                  nullptr, 0, KEY_WRITE | KEY_WOW64_64KEY, nullptr, &key, nullptr);
    if (result != ERROR_SUCCESS) {
        *error = L"cannot register " + p.fullName + L" (" + std::to_wstring(result) + L")";
        return false;
    }
    RegCloseKey(key);
    *package = p;
    return true;
}

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

DWORD MakeNewUserFromDefault(const std::wstring& defaultPath, const std::wstring& newSid,
                             const std::wstring& newProfile, std::vector<std::wstring>* written) {
    CopyTree(defaultPath, newProfile, written);
    AddProfileListEntry(newSid, newProfile);
    if (!EnablePrivilegeForTest(SE_RESTORE_NAME) || !EnablePrivilegeForTest(SE_BACKUP_NAME))
        return ERROR_PRIVILEGE_NOT_HELD;
    const wchar_t* mount = L"corvane-firstlogon-hive";
    LONG result = RegLoadKeyW(HKEY_USERS, mount, (defaultPath + L"\\NTUSER.DAT").c_str());
    if (result != ERROR_SUCCESS) return static_cast<DWORD>(result);
    HKEY hive = nullptr;
    result = RegOpenKeyExW(HKEY_USERS, mount, 0, KEY_READ, &hive);
    if (result == ERROR_SUCCESS) {
        result = SHCopyKeyW(hive, nullptr, HKEY_CURRENT_USER, 0);
        RegCloseKey(hive);
    }
    LONG unload = RegUnLoadKeyW(HKEY_USERS, mount);
    return static_cast<DWORD>(result != ERROR_SUCCESS ? result : unload);
}

DWORD RunActiveSetup(const std::wstring& newProfile, const std::wstring& arguments, std::wstring* stubPath,
                     const std::function<void()>& whileRunning) {
    wchar_t stub[MAX_PATH] = L"";
    DWORD size = sizeof stub - sizeof(wchar_t);
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, SetupKey, 0, KEY_READ | KEY_WOW64_64KEY, &key) != ERROR_SUCCESS)
        return 0xFFFFFFFF;
    RegQueryValueExW(key, L"StubPath", nullptr, nullptr, reinterpret_cast<BYTE*>(stub), &size);
    RegCloseKey(key);
    *stubPath = stub;
    std::wstring command = std::wstring(stub) + (arguments.empty() ? L"" : L" " + arguments);
    STARTUPINFOW si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    if (!CreateProcessW(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, newProfile.c_str(), &si,
                        &pi))
        return GetLastError();
    CloseHandle(pi.hThread);
    // At most two minutes, as the tool waits for the updater.
    DWORD start = GetTickCount();
    while (WaitForSingleObject(pi.hProcess, 100) == WAIT_TIMEOUT && GetTickCount() - start < 120000)
        if (whileRunning) whileRunning();
    DWORD code = 1;
    GetExitCodeProcess(pi.hProcess, &code);
    CloseHandle(pi.hProcess);
    return code;
}

bool WaitUntilNoService() {
    return WaitForServiceState(ServiceName, 0, 15000);
}

bool RemoveServiceAndFiles() {
    bool gone = StopAndRemoveService(ServiceName);
    wchar_t programs[MAX_PATH];
    SHGetFolderPathW(nullptr, CSIDL_PROGRAM_FILES, nullptr, SHGFP_TYPE_CURRENT, programs);
    std::wstring folder = std::wstring(programs) + L"\\Quillmar\\AppX Management Service";
    // The stopped process may hold its program for a moment.
    for (int i = 0; i < 50 && FileExists(folder + L"\\QuillmarAppxService.exe"); ++i) {
        DeleteFileW((folder + L"\\QuillmarAppxService.exe").c_str());
        Sleep(100);
    }
    bool deleted = !FileExists(folder + L"\\QuillmarAppxService.exe");
    RemoveDirectoryW(folder.c_str());
    return gone && deleted;
}

} // namespace firstlogon
