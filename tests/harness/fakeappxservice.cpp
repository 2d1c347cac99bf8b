// The stand-in AppX Management Service of the tool's and the updater's tests; what it does is chosen
// as fakeappxservice.h says.
#include "harness/fakeappxservice.h"

#include "companions/appxcore/manageappx.h"
#include "companions/appxcore/packagelist.h"
#include "base/pipemessage.h"
#include "base/raii.h"

#include <shlobj.h>

#include <string>
#include <vector>

using namespace fake_appx_service;

namespace {

SERVICE_STATUS_HANDLE statusHandle;
SERVICE_STATUS status;
HANDLE stopEvent;
bool impostor = false;

// The start settings, read once when the service starts.
std::wstring script;
DWORD startDelay = 0;
DWORD dieEarly = 0;
DWORD busyMs = 35000;

void Report(DWORD state, DWORD accepted) {
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = state;
    status.dwControlsAccepted = accepted;
    status.dwWin32ExitCode = 0;
    status.dwWaitHint = state == SERVICE_START_PENDING ? 5000 : 0;
    SetServiceStatus(statusHandle, &status);
}

std::wstring ReadString(HKEY key, const wchar_t* name) {
    wchar_t data[MAX_PATH] = L"";
    DWORD size = sizeof data - sizeof(wchar_t);
    if (RegQueryValueExW(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(data), &size) != ERROR_SUCCESS)
        return std::wstring();
    return data;
}

void ReadDword(HKEY key, const wchar_t* name, DWORD* value) {
    DWORD size = sizeof *value;
    RegQueryValueExW(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(value), &size);
}

void ReadStartSettings() {
    UniqueKey key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, SettingsKey, 0, KEY_QUERY_VALUE, key.put()) != ERROR_SUCCESS)
        return;
    script = ReadString(key.get(), L"Script");
    ReadDword(key.get(), L"StartDelay", &startDelay);
    ReadDword(key.get(), L"DieEarly", &dieEarly);
    ReadDword(key.get(), L"BusyMs", &busyMs);
}

// The reply list and the Register switch, read for each request.
std::vector<std::wstring> Replies(DWORD* registerFlag) {
    std::vector<std::wstring> replies;
    *registerFlag = 0;
    UniqueKey key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, SettingsKey, 0, KEY_QUERY_VALUE, key.put()) != ERROR_SUCCESS)
        return replies;
    ReadDword(key.get(), L"Register", registerFlag);
    std::vector<wchar_t> data(8192, L'\0');
    DWORD size = static_cast<DWORD>((data.size() - 2) * sizeof(wchar_t));
    if (RegQueryValueExW(key.get(), L"Replies", nullptr, nullptr, reinterpret_cast<BYTE*>(data.data()),
                         &size) != ERROR_SUCCESS)
        return replies;
    for (const wchar_t* p = data.data(); *p; p += wcslen(p) + 1)
        replies.push_back(p);
    return replies;
}

void AppendFile(const std::wstring& name, const void* data, DWORD size) {
    CreateDirectoryW(L"C:\\corvane-scratch", nullptr);
    CreateDirectoryW(RecordFolder, nullptr);
    UniqueFile file(CreateFileW((std::wstring(RecordFolder) + L"\\" + name).c_str(), FILE_APPEND_DATA,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS, 0, nullptr));
    DWORD written = 0;
    if (file) WriteFile(file.get(), data, size, &written, nullptr);
}

void RecordLine(const std::wstring& text) {
    int n = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string line(n > 0 ? n - 1 : 0, '\0');
    if (n > 1) WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, &line[0], n, nullptr, nullptr);
    line += "\n";
    AppendFile(L"requests.txt", line.data(), static_cast<DWORD>(line.size()));
}

bool ReadAll(HANDLE pipe, void* buffer, DWORD size) {
    BYTE* at = static_cast<BYTE*>(buffer);
    while (size > 0) {
        DWORD read = 0;
        if (!ReadFile(pipe, at, size, &read, nullptr) || read == 0) return false;
        at += read;
        size -= read;
    }
    return true;
}

bool WriteRaw(HANDLE pipe, const void* data, DWORD size) {
    DWORD written = 0;
    return WriteFile(pipe, data, size, &written, nullptr) != FALSE;
}

// One whole message: count and text in a single write, as the real service sends them.
bool Reply(HANDLE pipe, const std::wstring& text) {
    DWORD count = static_cast<DWORD>(text.size() * 2);
    std::string bytes(reinterpret_cast<const char*>(&count), 4);
    bytes.append(reinterpret_cast<const char*>(text.data()), count);
    return WriteRaw(pipe, bytes.data(), static_cast<DWORD>(bytes.size()));
}

// Keeps the pipe open until the client closes its end.
void WaitForClientClose(HANDLE pipe) {
    char sink[64];
    DWORD read;
    while (ReadFile(pipe, sink, sizeof sink, &read, nullptr)) {
    }
}

// The list "standin" writes: one line naming the user, enough for a test to see that the request
// reached it with the right values.
void WriteStandInList(const std::wstring& request) {
    // -user|<sid>|<list file>|<profile>
    size_t a = request.find(L'|'), b = request.find(L'|', a + 1), c = request.find(L'|', b + 1);
    if (a == std::wstring::npos || b == std::wstring::npos || c == std::wstring::npos) return;
    std::wstring sid = request.substr(a + 1, b - a - 1), list = request.substr(b + 1, c - b - 1);
    std::string line = "stand-in package list for ";
    for (wchar_t ch : sid)
        line += static_cast<char>(ch);
    UniqueFile file(CreateFileW(list.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    DWORD written;
    if (file) WriteFile(file.get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
}

// The fixed conversations of Script.
void ServeScript(HANDLE pipe, const std::wstring& request) {
    if (script == L"done") {
        Reply(pipe, L"Start");
        Reply(pipe, L"Working");
        Reply(pipe, L"done");
        WaitForClientClose(pipe);
    } else if (script == L"empty") {
        Reply(pipe, L"");
        Reply(pipe, L"Done");
        WaitForClientClose(pipe);
    } else if (script == L"negative" || script == L"huge" || script == L"over" || script == L"odd") {
        // "odd": half a character, refused like a count out of bounds.
        LONG length = script == L"negative" ? -2
                      : script == L"huge"   ? 0x7FFFFFF0
                      : script == L"odd"    ? 3
                                            : 64 * 1024 + 2;
        WriteRaw(pipe, &length, 4);
        WriteRaw(pipe, L"abcd", 8);
        WaitForClientClose(pipe);
    } else if (script == L"short") {
        DWORD length = 10;
        WriteRaw(pipe, &length, 4);
        WriteRaw(pipe, L"ab", 4);
    } else if (script == L"silent") {
        // Takes the request and never answers: the client must give up by itself.
        WaitForClientClose(pipe);
    } else if (script == L"refuse") {
        Reply(pipe, L"Access Denied");
        WaitForClientClose(pipe);
    } else if (script == L"busy") {
        // A listing that outlasts the thirty attempts of a client's open.
        Reply(pipe, L"Start");
        Sleep(busyMs);
    } else if (script == L"standin") {
        Reply(pipe, L"Start");
        WriteStandInList(request);
    } else { // "start": what the real service answers to a listing request
        Reply(pipe, L"Start");
    }
}

appxcore::ManageAppxSettings RepositorySettings() {
    appxcore::ManageAppxSettings settings;
    settings.priorityPackages = appxcore::ServicePriorityPackages;
    UniqueKey key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, SettingsKey, 0, KEY_QUERY_VALUE, key.put()) == ERROR_SUCCESS) {
        std::wstring folder = ReadString(key.get(), L"PackageFolder");
        if (!folder.empty()) settings.repository.packageFolders = {folder};
    }
    return settings;
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
        appxcore::ManageAppxSettings settings = RepositorySettings();
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

// Without Script: the reply list, or with Register the real work.
void ServeReplies(HANDLE pipe, const std::wstring& request) {
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
        appxcore::ManageAppx module(RepositorySettings());
        module.GetAppxPackagesBySid(fields[0], fields[1], nullptr);
        return; // the pipe closes without "Done", as the service's listing does
    }
    if (registerFlag && (request == L"-register" || request == L"-priority" || request == L"-update")) {
        Register(pipe, request);
        return;
    }
    for (const std::wstring& reply : replies) {
        if (reply.compare(0, 6, L"sleep:") == 0) {
            Sleep(static_cast<DWORD>(_wtoi(reply.c_str() + 6)));
        } else {
            if (!Reply(pipe, reply)) return;
            FlushFileBuffers(pipe); // each reply read before the next step
        }
    }
}

DWORD WINAPI PipeThread(void*) {
    for (unsigned n = 1;; ++n) {
        UniqueFile pipe(CreateNamedPipeW(ServicePipePath, PIPE_ACCESS_DUPLEX,
                                         PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, 1, 4096, 4096,
                                         0,         // default time-out
                                         nullptr)); // default security
        if (!pipe) return 1;
        if (!ConnectNamedPipe(pipe.get(), nullptr) && GetLastError() != ERROR_PIPE_CONNECTED) continue;
        if (impostor) RecordLine(L"<impostor: connected>");
        DWORD length = 0;
        if (!ReadAll(pipe.get(), &length, 4) || length > MaxMessageBytes) continue;
        std::wstring request(length / 2, L'\0');
        if (length && !ReadAll(pipe.get(), &request[0], length)) continue;
        std::string raw(4 + length, '\0');
        memcpy(&raw[0], &length, 4);
        if (length) memcpy(&raw[4], request.data(), length);
        AppendFile(L"request-" + std::to_wstring(n) + L".bin", raw.data(), static_cast<DWORD>(raw.size()));
        RecordLine(request);
        if (!script.empty()) {
            ServeScript(pipe.get(), request);
            // Closed without a disconnect, as the service does: the client's next read gives 109.
            FlushFileBuffers(pipe.get());
        } else {
            ServeReplies(pipe.get(), request);
            // A disconnect drops what the client has not read yet.
            FlushFileBuffers(pipe.get());
            DisconnectNamedPipe(pipe.get());
        }
    }
}

DWORD WINAPI Handler(DWORD control, DWORD, void*, void*) {
    switch (control) {
    case SERVICE_CONTROL_STOP:
        Report(SERVICE_STOP_PENDING, 0);
        SetEvent(stopEvent);
        return NO_ERROR;
    case 128:
        AppendFile(L"probes.txt", "128\n", 4);
        return NO_ERROR;
    case SERVICE_CONTROL_INTERROGATE:
        return NO_ERROR;
    default:
        return ERROR_CALL_NOT_IMPLEMENTED;
    }
}

void WINAPI ServiceMain(DWORD, wchar_t**) {
    statusHandle = RegisterServiceCtrlHandlerExW(ServiceName, Handler, nullptr);
    if (!statusHandle) return;
    stopEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ReadStartSettings();
    Report(SERVICE_START_PENDING, SERVICE_ACCEPT_STOP);
    if (dieEarly) {
        // Well after StartServiceW has returned: a stop before Wine's service manager has answered
        // it fails the start itself instead of ending the polls that come after it. With a stop
        // 1.5 s in, a loaded machine once gave 1359 from the start.
        Sleep(4000);
        Report(SERVICE_STOPPED, 0);
        return;
    }
    if (startDelay &&
        WaitForSingleObject(stopEvent, startDelay == 0xFFFFFFFF ? INFINITE : startDelay * 1000) ==
            WAIT_OBJECT_0) {
        Report(SERVICE_STOPPED, 0);
        return;
    }
    if (script != L"nopipe") CloseHandle(CreateThread(nullptr, 0, PipeThread, nullptr, 0, nullptr));
    Report(SERVICE_RUNNING, SERVICE_ACCEPT_STOP);
    WaitForSingleObject(stopEvent, INFINITE);
    Report(SERVICE_STOPPED, 0);
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    // An ordinary process serving the pipe: it records each connection and whatever arrives.
    if (argc > 1 && wcscmp(argv[1], L"--impostor") == 0) {
        impostor = true;
        ReadStartSettings();
        return static_cast<int>(PipeThread(nullptr));
    }
    SERVICE_TABLE_ENTRYW table[] = {{const_cast<wchar_t*>(ServiceName), ServiceMain}, {nullptr, nullptr}};
    return StartServiceCtrlDispatcherW(table) ? 0 : static_cast<int>(GetLastError());
}
