#include "harness/testlib.h"

#include "base/raii.h"

#include <gtest/gtest.h>
#include <shlobj.h>
#include <shlwapi.h>
#include <userenv.h>

#include <mutex>

namespace corvane_test {

const char* const Banner = "\r\nCorvane v1.11 - Set Default Profile\r\n"
                           "Corvane Project, 2025-2026\r\n"
                           "https://corvane.example.org\r\n\r\n";

std::string Narrow(const std::wstring& text) {
    if (text.empty()) return std::string();
    int n = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0, nullptr,
                                nullptr);
    std::string out(n, '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), &out[0], n, nullptr,
                        nullptr);
    return out;
}

static std::wstring EnvOr(const wchar_t* name, const wchar_t* fallback) {
    wchar_t value[MAX_PATH];
    DWORD n = GetEnvironmentVariableW(name, value, MAX_PATH);
    return (n > 0 && n < MAX_PATH) ? std::wstring(value) : std::wstring(fallback);
}

RunResult RunProgram(const std::wstring& exe, const std::wstring& arguments, const std::string& stdinText) {
    RunResult result;
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE outRead, outWrite, inRead, inWrite;
    if (!CreatePipe(&outRead, &outWrite, &inherit, 0) || !CreatePipe(&inRead, &inWrite, &inherit, 0)) {
        ADD_FAILURE() << "CreatePipe failed " << GetLastError();
        return result;
    }
    SetHandleInformation(outRead, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(inWrite, HANDLE_FLAG_INHERIT, 0);
    // Standard error goes nowhere: Wine's own noise must not mix with what tests compare.
    HANDLE nul = CreateFileW(L"NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                             OPEN_EXISTING, 0, nullptr);

    STARTUPINFOW si = {};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = inRead;
    si.hStdOutput = outWrite;
    si.hStdError = nul;
    PROCESS_INFORMATION pi = {};
    std::wstring commandLine = L"\"" + exe + L"\"" + (arguments.empty() ? L"" : L" " + arguments);
    std::vector<wchar_t> mutableLine(commandLine.begin(), commandLine.end());
    mutableLine.push_back(L'\0');
    BOOL started = CreateProcessW(exe.c_str(), mutableLine.data(), nullptr, nullptr, TRUE, 0, nullptr,
                                  nullptr, &si, &pi);
    DWORD startError = GetLastError();
    CloseHandle(outWrite);
    CloseHandle(inRead);
    CloseHandle(nul);
    if (!started) {
        CloseHandle(outRead);
        CloseHandle(inWrite);
        ADD_FAILURE() << "CreateProcessW failed " << startError << " for " << Narrow(exe);
        return result;
    }
    DWORD written;
    if (!stdinText.empty())
        WriteFile(inWrite, stdinText.data(), static_cast<DWORD>(stdinText.size()), &written, nullptr);
    CloseHandle(inWrite); // end of input after the given text
    char buffer[4096];
    DWORD read;
    while (ReadFile(outRead, buffer, sizeof buffer, &read, nullptr) && read > 0)
        result.out.append(buffer, read);
    CloseHandle(outRead);
    WaitForSingleObject(pi.hProcess, INFINITE);
    GetExitCodeProcess(pi.hProcess, &result.exitCode);
    CloseHandle(pi.hProcess);
    CloseHandle(pi.hThread);
    return result;
}

RunResult RunTool(const std::wstring& arguments, const std::string& stdinText) {
    return RunProgram(EnvOr(L"CORVANE_EXE", L"C:\\corvane-bin\\corvane.exe"), arguments, stdinText);
}

void SetToolWindowsVersion(const std::wstring& version) {
    HKEY key;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_CURRENT_USER, L"Software\\Wine\\AppDefaults\\corvane.exe",
                                             0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr));
    RegSetValueExW(key, L"Version", 0, REG_SZ, reinterpret_cast<const BYTE*>(version.c_str()),
                   static_cast<DWORD>((version.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(key);
}

std::wstring ProfilesDir() {
    wchar_t dir[MAX_PATH];
    DWORD size = MAX_PATH;
    if (!GetProfilesDirectoryW(dir, &size)) return L"C:\\users";
    return dir;
}

static RegValue StringValue(DWORD type, const std::wstring& text) {
    RegValue v{type, {}};
    const BYTE* p = reinterpret_cast<const BYTE*>(text.c_str());
    v.data.assign(p, p + (text.size() + 1) * sizeof(wchar_t));
    return v;
}
RegValue Sz(const std::wstring& text) {
    return StringValue(REG_SZ, text);
}
RegValue ExpandSz(const std::wstring& text) {
    return StringValue(REG_EXPAND_SZ, text);
}
RegValue Dword(DWORD value) {
    RegValue v{REG_DWORD, {}};
    const BYTE* p = reinterpret_cast<const BYTE*>(&value);
    v.data.assign(p, p + 4);
    return v;
}

void WriteKeys(HKEY root, const HiveContent& content) {
    for (const auto& key : content) {
        HKEY k;
        ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(root, key.first.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                                                 nullptr, &k, nullptr))
            << Narrow(key.first);
        for (const auto& value : key.second)
            RegSetValueExW(k, value.first.c_str(), 0, value.second.type, value.second.data.data(),
                           static_cast<DWORD>(value.second.data.size()));
        RegCloseKey(k);
    }
}

bool PollUntil(const std::function<bool()>& condition, DWORD timeoutMs, DWORD intervalMs) {
    DWORD start = GetTickCount();
    for (;;) {
        if (condition()) return true;
        if (GetTickCount() - start >= timeoutMs) return false;
        Sleep(intervalMs);
    }
}

DWORD ServiceState(const wchar_t* name) {
    UniqueService manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager) return 0;
    UniqueService service(OpenServiceW(manager.get(), name, SERVICE_QUERY_STATUS));
    SERVICE_STATUS status = {};
    if (!service || !QueryServiceStatus(service.get(), &status)) return 0;
    return status.dwCurrentState;
}

bool WaitForServiceState(const wchar_t* name, DWORD state, DWORD timeoutMs) {
    return PollUntil([&] { return ServiceState(name) == state; }, timeoutMs, 100);
}

bool StopAndRemoveService(const wchar_t* name, DWORD timeoutMs) {
    {
        UniqueService manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
        if (!manager) return false;
        UniqueService service(OpenServiceW(manager.get(), name, SERVICE_ALL_ACCESS));
        if (!service) return GetLastError() == ERROR_SERVICE_DOES_NOT_EXIST;
        SERVICE_STATUS status = {};
        if (ControlService(service.get(), SERVICE_CONTROL_STOP, &status))
            WaitForServiceState(name, SERVICE_STOPPED, timeoutMs);
        DeleteService(service.get());
    } // the manager removes a deleted service only once every handle to it is closed
    return WaitForServiceState(name, 0, timeoutMs);
}

bool EnablePrivilegeForTest(const wchar_t* name) {
    HANDLE token;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token)) return false;
    TOKEN_PRIVILEGES tp = {};
    tp.PrivilegeCount = 1;
    tp.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    bool ok = LookupPrivilegeValueW(nullptr, name, &tp.Privileges[0].Luid) &&
              AdjustTokenPrivileges(token, FALSE, &tp, sizeof tp, nullptr, nullptr) && GetLastError() == 0;
    CloseHandle(token);
    return ok;
}

void SaveHive(const std::wstring& file, const HiveContent& content) {
    ASSERT_TRUE(EnablePrivilegeForTest(L"SeBackupPrivilege"));
    const wchar_t* staging = L"Software\\CorvaneTestHiveStaging";
    SHDeleteKeyW(HKEY_CURRENT_USER, staging);
    HKEY root;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_CURRENT_USER, staging, 0, nullptr, 0, KEY_ALL_ACCESS,
                                             nullptr, &root, nullptr));
    WriteKeys(root, content);
    DeleteFileW(file.c_str()); // Windows' RegSaveKeyW refuses an existing file
    LONG saved = RegSaveKeyW(root, file.c_str(), nullptr);
    RegCloseKey(root);
    SHDeleteKeyW(HKEY_CURRENT_USER, staging);
    ASSERT_EQ(ERROR_SUCCESS, saved) << Narrow(file);
}

void AddProfileListEntry(const std::wstring& sid, const std::wstring& imagePath) {
    std::wstring path = L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList\\" + sid;
    HiveContent entry;
    entry[path][L"ProfileImagePath"] = ExpandSz(imagePath);
    WriteKeys(HKEY_LOCAL_MACHINE, entry);
}

void RemoveProfileListEntry(const std::wstring& sid) {
    std::wstring path = L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList\\" + sid;
    SHDeleteKeyW(HKEY_LOCAL_MACHINE, path.c_str());
}

TestProfile CreateProfile(const std::wstring& name, const std::wstring& sid, const HiveContent& hive,
                          const std::wstring& imagePath) {
    TestProfile p;
    p.name = name;
    p.path = ProfilesDir() + L"\\" + name;
    p.sid = sid;
    MakeDirs(p.path);
    SaveHive(p.path + L"\\NTUSER.DAT", hive);
    if (!sid.empty())
        AddProfileListEntry(sid, imagePath.empty() ? L"%SystemDrive%\\users\\" + name : imagePath);
    return p;
}

void RemoveProfile(const TestProfile& profile) {
    if (!profile.sid.empty()) RemoveProfileListEntry(profile.sid);
    DeleteTestTree(profile.path);
}

std::wstring EnsureDefaultProfile() {
    std::wstring path = ProfilesDir() + L"\\Default";
    MakeDirs(path);
    HKEY key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList", 0,
                      KEY_ALL_ACCESS, &key) == ERROR_SUCCESS) {
        std::wstring value = L"%SystemDrive%\\users\\Default";
        RegSetValueExW(key, L"Default", 0, REG_EXPAND_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                       static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
        RegCloseKey(key);
    }
    return path;
}

void WriteFileBytes(const std::wstring& path, const std::string& bytes, DWORD attributes) {
    SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    HANDLE f =
        CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, f) << Narrow(path) << " error " << GetLastError();
    DWORD written;
    WriteFile(f, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    CloseHandle(f);
    if (attributes) SetFileAttributesW(path.c_str(), attributes);
}

std::string ReadFileBytes(const std::wstring& path) {
    HANDLE f = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING, 0, nullptr);
    if (f == INVALID_HANDLE_VALUE) return std::string();
    std::string out;
    char buffer[65536];
    DWORD read;
    while (ReadFile(f, buffer, sizeof buffer, &read, nullptr) && read > 0)
        out.append(buffer, read);
    CloseHandle(f);
    return out;
}

bool FileExists(const std::wstring& path) {
    DWORD a = GetFileAttributesW(path.c_str());
    return a != INVALID_FILE_ATTRIBUTES && !(a & FILE_ATTRIBUTE_DIRECTORY);
}
bool DirExists(const std::wstring& path) {
    DWORD a = GetFileAttributesW(path.c_str());
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY);
}

void MakeDirs(const std::wstring& path) {
    for (size_t i = 3; i <= path.size(); ++i)
        if (i == path.size() || path[i] == L'\\') CreateDirectoryW(path.substr(0, i).c_str(), nullptr);
}

// Only trees the tests themselves make: below the profiles folder or a C:\corvane-* scratch area.
static bool InTestArea(const std::wstring& path) {
    std::wstring profiles = ProfilesDir() + L"\\";
    if (path.size() > profiles.size() && _wcsnicmp(path.c_str(), profiles.c_str(), profiles.size()) == 0)
        return path.find(L"..") == std::wstring::npos;
    return _wcsnicmp(path.c_str(), L"C:\\corvane-scratch\\", 19) == 0 &&
           path.find(L"..") == std::wstring::npos;
}

static void DeleteTreeUnchecked(const std::wstring& path) {
    WIN32_FIND_DATAW fd;
    HANDLE find = FindFirstFileW((path + L"\\*").c_str(), &fd);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            std::wstring name = fd.cFileName;
            if (name == L"." || name == L"..") continue;
            std::wstring child = path + L"\\" + name;
            if ((fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
                !(fd.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
                DeleteTreeUnchecked(child);
            } else if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                RemoveDirectoryW(child.c_str()); // a link: remove the link only
            } else {
                SetFileAttributesW(child.c_str(), FILE_ATTRIBUTE_NORMAL);
                DeleteFileW(child.c_str());
            }
        } while (FindNextFileW(find, &fd));
        FindClose(find);
    }
    SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    RemoveDirectoryW(path.c_str());
}

std::wstring FreshTestFolder(const wchar_t* prefix) {
    std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
    std::wstring folder = L"C:\\corvane-scratch\\" + std::wstring(prefix) + L"-" +
                          std::wstring(name.begin(), name.end()) + L"-" +
                          std::to_wstring(GetCurrentProcessId());
    DeleteTestTree(folder);
    MakeDirs(folder);
    return folder;
}

void DeleteTestTree(const std::wstring& path) {
    if (!InTestArea(path)) {
        ADD_FAILURE() << "refusing to delete outside the test areas: " << Narrow(path);
        return;
    }
    DeleteTreeUnchecked(path);
}

static std::string Fnv(const std::string& bytes) {
    unsigned long long h = 1469598103934665603ULL;
    for (unsigned char c : bytes)
        h = (h ^ c) * 1099511628211ULL;
    char text[32];
    snprintf(text, sizeof text, "%016llx", h);
    return text;
}

static void SnapshotInto(const std::wstring& root, const std::wstring& rel,
                         std::map<std::wstring, std::string>& out) {
    WIN32_FIND_DATAW fd;
    std::wstring dir = rel.empty() ? root : root + L"\\" + rel;
    HANDLE find = FindFirstFileW((dir + L"\\*").c_str(), &fd);
    if (find == INVALID_HANDLE_VALUE) return;
    do {
        std::wstring name = fd.cFileName;
        if (name == L"." || name == L"..") continue;
        std::wstring childRel = rel.empty() ? name : rel + L"\\" + name;
        if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            out[childRel] = "D";
            if (!(fd.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) SnapshotInto(root, childRel, out);
        } else {
            std::string bytes = ReadFileBytes(root + L"\\" + childRel);
            char attrs[16];
            snprintf(attrs, sizeof attrs, "%lx",
                     fd.dwFileAttributes &
                         (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM));
            out[childRel] = std::to_string(bytes.size()) + ":" + Fnv(bytes) + ":" + attrs;
        }
    } while (FindNextFileW(find, &fd));
    FindClose(find);
}

std::map<std::wstring, std::string> Snapshot(const std::wstring& root) {
    std::map<std::wstring, std::string> out;
    SnapshotInto(root, L"", out);
    return out;
}

HeldFile::HeldFile(const std::wstring& path) {
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE outRead, outWrite, inRead;
    if (!CreatePipe(&outRead, &outWrite, &inherit, 0)) return;
    if (!CreatePipe(&inRead, &input_, &inherit, 0)) {
        CloseHandle(outRead);
        CloseHandle(outWrite);
        return;
    }
    SetHandleInformation(outRead, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(input_, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW si = {};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = inRead;
    si.hStdOutput = outWrite;
    si.hStdError = outWrite;
    PROCESS_INFORMATION pi = {};
    std::wstring exe = L"C:\\corvane-tests\\holdfile.exe";
    std::wstring line = L"\"" + exe + L"\" \"" + path + L"\"";
    std::vector<wchar_t> buffer(line.begin(), line.end());
    buffer.push_back(0);
    BOOL started =
        CreateProcessW(exe.c_str(), buffer.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi);
    CloseHandle(outWrite);
    CloseHandle(inRead);
    if (!started) {
        CloseHandle(outRead);
        ADD_FAILURE() << "holdfile did not start: " << GetLastError();
        return;
    }
    process_ = pi.hProcess;
    CloseHandle(pi.hThread);
    char reply[64] = {};
    DWORD read = 0;
    ReadFile(outRead, reply, sizeof reply - 1, &read, nullptr);
    CloseHandle(outRead);
    ok_ = strncmp(reply, "ready", 5) == 0;
    if (!ok_) ADD_FAILURE() << "holdfile: " << reply;
}

HeldFile::~HeldFile() {
    if (input_) CloseHandle(input_); // end of input: the holder closes the file and exits
    if (process_) {
        if (WaitForSingleObject(process_, 10000) != WAIT_OBJECT_0) TerminateProcess(process_, 1);
        CloseHandle(process_);
    }
}

// OutputDebugStringW raises DBG_PRINTEXCEPTION_WIDE_C (Windows 10) and then, or only (Windows
// before 10, Wine), DBG_PRINTEXCEPTION_C; a vectored handler sees them before anyone swallows them.
namespace {
std::mutex captureLock;
std::vector<std::string>* captured = nullptr;
PVOID handlerHandle = nullptr;
// Per thread: the wide and narrow events of one line come on the thread that printed it, and the
// copies print from several threads.
thread_local bool skipNextAnsi = false;
const DWORD PrintWide = 0x4001000A;
const DWORD PrintAnsi = 0x40010006;

LONG CALLBACK OnDebugPrint(EXCEPTION_POINTERS* info) {
    DWORD code = info->ExceptionRecord->ExceptionCode;
    if (code != PrintWide && code != PrintAnsi) return EXCEPTION_CONTINUE_SEARCH;
    std::lock_guard<std::mutex> hold(captureLock);
    if (!captured) return EXCEPTION_CONTINUE_SEARCH;
    const ULONG_PTR* args = info->ExceptionRecord->ExceptionInformation;
    if (code == PrintWide && info->ExceptionRecord->NumberParameters >= 2) {
        captured->push_back(Narrow(reinterpret_cast<const wchar_t*>(args[1])));
        skipNextAnsi = true;
    } else if (code == PrintAnsi && info->ExceptionRecord->NumberParameters >= 2) {
        if (skipNextAnsi)
            skipNextAnsi = false;
        else
            captured->push_back(reinterpret_cast<const char*>(args[1]));
    }
    return EXCEPTION_CONTINUE_SEARCH;
}
} // namespace

DebugCapture::DebugCapture() {
    std::lock_guard<std::mutex> hold(captureLock);
    captured = new std::vector<std::string>();
    skipNextAnsi = false;
    handlerHandle = AddVectoredExceptionHandler(1, OnDebugPrint);
}

DebugCapture::~DebugCapture() {
    RemoveVectoredExceptionHandler(handlerHandle);
    std::lock_guard<std::mutex> hold(captureLock);
    delete captured;
    captured = nullptr;
}

std::vector<std::string> DebugCapture::lines() const {
    std::lock_guard<std::mutex> hold(captureLock);
    return captured ? *captured : std::vector<std::string>();
}

void DebugCapture::clear() {
    std::lock_guard<std::mutex> hold(captureLock);
    if (captured) captured->clear();
}

void MakeRequiredRowFolders(const std::wstring& profilePath) {
    wchar_t profile[MAX_PATH];
    SHGetFolderPathW(nullptr, CSIDL_PROFILE, nullptr, SHGFP_TYPE_DEFAULT, profile);
    for (int csidl : {CSIDL_APPDATA, CSIDL_COOKIES, CSIDL_DESKTOPDIRECTORY, CSIDL_FAVORITES, CSIDL_PERSONAL,
                      CSIDL_RECENT, CSIDL_SENDTO, CSIDL_STARTMENU}) {
        wchar_t folder[MAX_PATH];
        SHGetFolderPathW(nullptr, csidl, nullptr, SHGFP_TYPE_DEFAULT, folder);
        MakeDirs(profilePath + (folder + wcslen(profile)));
    }
    MakeDirs(profilePath + L"\\Downloads");
    MakeDirs(profilePath + L"\\Links");
}

std::string SystemErrorText(DWORD code) {
    wchar_t* text = nullptr;
    FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_FROM_SYSTEM, nullptr,
        code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::wstring w = text ? std::wstring(text) : L"";
    if (text) LocalFree(text);
    while (!w.empty() && (w.back() == L'\n' || w.back() == L'\r'))
        w.pop_back();
    return Narrow(w);
}

} // namespace corvane_test
