// A stand-in for the AppX Management Service, run by Wine's service control manager under the real
// service name so that the updater's server check accepts it. What it replies comes from
// HKEY_LOCAL_MACHINE "SOFTWARE\corvane-test\fakeservice":
//   "Replies" (REG_MULTI_SZ): replies written after a request; "sleep:<ms>" pauses instead.
//   "Register" (REG_DWORD 1): requests are served for real. A registration reads the client's list
//     and registers it as the client (the service's four priority families), with count, indexes and
//     failure list; a listing ("-user|SID|list|profile") lists the SID's packages into the list file.
//   "PackageFolder" (REG_SZ): the stand-in repository's package folder.
// Every request is appended as a line to C:\corvane-scratch\fakeservice\requests.txt.
#include "companions/appxcore/manageappx.h"
#include "companions/appxcore/packagelist.h"
#include "base/raii.h"

#include <sddl.h>
#include <shlobj.h>

#include <string>
#include <vector>

namespace {

const wchar_t* const ServiceName = L"QuillmarAppxService";
const wchar_t* const PipePath = L"\\\\.\\pipe\\7a6c689a-c49b-4444-8f7e-c45fc3fd7cae";
const wchar_t* const ConfigKey = L"SOFTWARE\\corvane-test\\fakeservice";
const wchar_t* const RecordFolder = L"C:\\corvane-scratch\\fakeservice";

SERVICE_STATUS_HANDLE statusHandle;
SERVICE_STATUS status;
bool impostor = false;

void Record(const std::wstring& request) {
    CreateDirectoryW(L"C:\\corvane-scratch", nullptr);
    CreateDirectoryW(RecordFolder, nullptr);
    int n = WideCharToMultiByte(CP_UTF8, 0, request.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string line(n > 0 ? n - 1 : 0, '\0');
    if (n > 1) WideCharToMultiByte(CP_UTF8, 0, request.c_str(), -1, &line[0], n, nullptr, nullptr);
    line += "\n";
    UniqueFile file(CreateFileW((std::wstring(RecordFolder) + L"\\requests.txt").c_str(), FILE_APPEND_DATA,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS, 0, nullptr));
    DWORD written = 0;
    if (file) WriteFile(file.get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
}

// "PackageFolder": where the stand-in repository's packages are (the test's scratch folder).
std::wstring PackageFolder() {
    UniqueKey key;
    wchar_t data[MAX_PATH] = L"";
    DWORD size = sizeof data - sizeof(wchar_t);
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, ConfigKey, 0, KEY_QUERY_VALUE, key.put()) == ERROR_SUCCESS)
        RegQueryValueExW(key.get(), L"PackageFolder", nullptr, nullptr, reinterpret_cast<BYTE*>(data), &size);
    return data;
}

std::vector<std::wstring> Replies(DWORD* registerFlag) {
    std::vector<std::wstring> replies;
    *registerFlag = 0;
    UniqueKey key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, ConfigKey, 0, KEY_QUERY_VALUE, key.put()) != ERROR_SUCCESS)
        return replies;
    DWORD size = sizeof(DWORD);
    RegQueryValueExW(key.get(), L"Register", nullptr, nullptr, reinterpret_cast<BYTE*>(registerFlag), &size);
    std::vector<wchar_t> data(8192, L'\0');
    size = static_cast<DWORD>((data.size() - 2) * sizeof(wchar_t));
    if (RegQueryValueExW(key.get(), L"Replies", nullptr, nullptr, reinterpret_cast<BYTE*>(data.data()),
                         &size) != ERROR_SUCCESS)
        return replies;
    for (const wchar_t* p = data.data(); *p; p += wcslen(p) + 1)
        replies.push_back(p);
    return replies;
}

bool ReadAll(HANDLE pipe, void* buffer, DWORD size) {
    BYTE* at = static_cast<BYTE*>(buffer);
    while (size) {
        DWORD read = 0;
        if (!ReadFile(pipe, at, size, &read, nullptr) || read == 0) return false;
        at += read;
        size -= read;
    }
    return true;
}

bool Reply(HANDLE pipe, const std::wstring& text) {
    DWORD count = static_cast<DWORD>(text.size() * 2);
    std::string bytes(reinterpret_cast<const char*>(&count), 4);
    bytes.append(reinterpret_cast<const char*>(text.data()), count);
    DWORD written = 0;
    bool ok = WriteFile(pipe, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) != 0;
    FlushFileBuffers(pipe);
    return ok;
}

// The registration the real service does, in short: as the client, its own list, its own identity.
void Register(HANDLE pipe, const std::wstring& request) {
    appxcore::RegisterType mode = request == L"-priority" ? appxcore::RegisterType::Priority
                                  : request == L"-update" ? appxcore::RegisterType::Update
                                                          : appxcore::RegisterType::Force;
    Reply(pipe, L"Start");
    if (!ImpersonateNamedPipeClient(pipe)) {
        Reply(pipe, L"Done");
        return;
    }
    wchar_t local[MAX_PATH] = L"";
    SHGetFolderPathW(nullptr, CSIDL_LOCAL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, local);
    std::wstring listFile = std::wstring(local) + L"\\Quillmar\\Migrate-AppxPackage";
    std::vector<appxcore::PackageInfo> list;
    if (appxcore::TryReadPackageList(listFile, &list)) {
        appxcore::ManageAppxSettings settings;
        settings.priorityPackages = appxcore::ServicePriorityPackages;
        std::wstring folder = PackageFolder();
        if (!folder.empty()) settings.repository.packageFolders = {folder};
        appxcore::ManageAppx module(settings);
        Reply(pipe,
              std::to_wstring(appxcore::RegistrationCount(mode, list.size(), settings.priorityPackages)));
        int index = 0;
        std::vector<appxcore::PackageInfo> failed;
        for (appxcore::PackageInfo& p :
             appxcore::SelectForRegistration(mode, list, settings.priorityPackages)) {
            Reply(pipe, std::to_wstring(++index));
            if (module.RegisterAppxPackage(p.path + L"\\Appxmanifest.xml", true, nullptr) != 0) {
                p.installedfailed = true;
                failed.push_back(p);
            }
        }
        std::wstring failureList = std::wstring(local) + L"\\Quillmar\\Migrate-AppxPackage-Fail";
        DeleteFileW(failureList.c_str());
        try {
            if (!failed.empty()) appxcore::WritePackageList(failureList, failed);
        } catch (const appxcore::AppxError&) {
        }
    }
    RevertToSelf();
    Reply(pipe, L"Done");
}

void Serve(HANDLE pipe) {
    DWORD count = 0;
    if (!ReadAll(pipe, &count, 4) || count > 65536) return;
    std::wstring request(count / 2, L'\0');
    if (count && !ReadAll(pipe, &request[0], count)) return;
    Record(request);
    DWORD registerFlag = 0;
    std::vector<std::wstring> replies = Replies(&registerFlag);
    if (registerFlag && request.compare(0, 6, L"-user|") == 0) {
        Reply(pipe, L"Start");
        std::vector<std::wstring> fields;
        size_t start = 6;
        for (size_t bar; (bar = request.find(L'|', start)) != std::wstring::npos; start = bar + 1)
            fields.push_back(request.substr(start, bar - start));
        fields.push_back(request.substr(start));
        if (fields.size() < 2) return;
        appxcore::ManageAppxSettings settings;
        settings.priorityPackages = appxcore::ServicePriorityPackages;
        std::wstring folder = PackageFolder();
        if (!folder.empty()) settings.repository.packageFolders = {folder};
        appxcore::ManageAppx module(settings);
        module.GetAppxPackagesBySid(fields[0], fields[1], nullptr);
        return; // the pipe closes without "Done", as the service's listing does
    }
    if (registerFlag && (request == L"-register" || request == L"-priority" || request == L"-update")) {
        Register(pipe, request);
        return;
    }
    for (const std::wstring& reply : replies) {
        if (reply.compare(0, 6, L"sleep:") == 0)
            Sleep(static_cast<DWORD>(_wtoi(reply.c_str() + 6)));
        else if (!Reply(pipe, reply))
            return;
    }
}

DWORD WINAPI ServerThread(void*) {
    for (;;) {
        UniqueFile pipe(
            CreateNamedPipeW(PipePath, PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE | PIPE_WAIT, 1, 0, 0, 0, nullptr));
        if (!pipe) return 0;
        if (ConnectNamedPipe(pipe.get(), nullptr) || GetLastError() == ERROR_PIPE_CONNECTED) {
            if (impostor) Record(L"<impostor: connected>");
            Serve(pipe.get());
        }
        DisconnectNamedPipe(pipe.get());
    }
}

DWORD WINAPI Handler(DWORD control, DWORD, void*, void*) {
    if (control == SERVICE_CONTROL_STOP) {
        status.dwCurrentState = SERVICE_STOPPED;
        SetServiceStatus(statusHandle, &status);
    }
    return NO_ERROR;
}

void WINAPI ServiceMain(DWORD, wchar_t**) {
    statusHandle = RegisterServiceCtrlHandlerExW(ServiceName, Handler, nullptr);
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwControlsAccepted = SERVICE_ACCEPT_STOP;
    status.dwCurrentState = SERVICE_RUNNING;
    SetServiceStatus(statusHandle, &status);
    CloseHandle(CreateThread(nullptr, 0, ServerThread, nullptr, 0, nullptr));
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    // An ordinary process serving the pipe: it records each connection and whatever arrives.
    if (argc > 1 && wcscmp(argv[1], L"--impostor") == 0) {
        impostor = true;
        ServerThread(nullptr);
        return 0;
    }
    SERVICE_TABLE_ENTRYW table[] = {{const_cast<wchar_t*>(ServiceName), ServiceMain}, {nullptr, nullptr}};
    StartServiceCtrlDispatcherW(table);
    return 0;
}
