// A stand-in for the AppX Management Service, run under Wine's service control manager as
// "QuillmarAppxService" so that the tool's client sees a real service at the pipe's server end.
// What it does is chosen by the test under HKLM\SOFTWARE\CorvaneTest\AppxService:
//   Script     (REG_SZ)    the replies; see Serve ("silent" never replies, "refuse" refuses,
//                          "busy" keeps the next client waiting 35 seconds after "Start")
//   StartDelay (REG_DWORD) seconds to stay START_PENDING; 0xFFFFFFFF: until stopped
//   DieEarly   (REG_DWORD) 1: report STOPPED while still starting
// It records every request as request-<n>.bin and every readiness probe as one line of probes.txt
// in C:\corvane-scratch\appx-records.
#include <windows.h>

#include <string>

namespace {

const wchar_t* const Folder = L"C:\\corvane-scratch\\appx-records";
const wchar_t* const PipePath = L"\\\\.\\pipe\\7a6c689a-c49b-4444-8f7e-c45fc3fd7cae";

SERVICE_STATUS_HANDLE statusHandle;
SERVICE_STATUS status;
HANDLE stopEvent;
std::wstring script;
DWORD startDelay;
DWORD dieEarly;

void Report(DWORD state, DWORD accepted) {
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = state;
    status.dwControlsAccepted = accepted;
    status.dwWin32ExitCode = 0;
    status.dwWaitHint = state == SERVICE_START_PENDING ? 5000 : 0;
    SetServiceStatus(statusHandle, &status);
}

void ReadSettings() {
    HKEY key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\CorvaneTest\\AppxService", 0, KEY_READ, &key) !=
        ERROR_SUCCESS)
        return;
    wchar_t text[256] = {};
    DWORD size = sizeof text - sizeof(wchar_t);
    if (RegQueryValueExW(key, L"Script", nullptr, nullptr, reinterpret_cast<BYTE*>(text), &size) ==
        ERROR_SUCCESS)
        script = text;
    size = sizeof startDelay;
    RegQueryValueExW(key, L"StartDelay", nullptr, nullptr, reinterpret_cast<BYTE*>(&startDelay), &size);
    size = sizeof dieEarly;
    RegQueryValueExW(key, L"DieEarly", nullptr, nullptr, reinterpret_cast<BYTE*>(&dieEarly), &size);
    RegCloseKey(key);
}

void AppendFile(const std::wstring& name, const void* data, DWORD size) {
    CreateDirectoryW(L"C:\\corvane-scratch", nullptr);
    CreateDirectoryW(Folder, nullptr);
    HANDLE f = CreateFileW((std::wstring(Folder) + L"\\" + name).c_str(), FILE_APPEND_DATA, FILE_SHARE_READ,
                           nullptr, OPEN_ALWAYS, 0, nullptr);
    if (f == INVALID_HANDLE_VALUE) return;
    DWORD written;
    WriteFile(f, data, size, &written, nullptr);
    CloseHandle(f);
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

void WriteRaw(HANDLE pipe, const void* data, DWORD size) {
    DWORD written;
    WriteFile(pipe, data, size, &written, nullptr);
}

// One whole message: length and text in a single write, as the real service sends them.
void Reply(HANDLE pipe, const std::wstring& text) {
    std::string message(4 + text.size() * 2, '\0');
    DWORD length = static_cast<DWORD>(text.size() * 2);
    memcpy(&message[0], &length, 4);
    memcpy(&message[4], text.data(), length);
    WriteRaw(pipe, message.data(), static_cast<DWORD>(message.size()));
}

// Keeps the pipe open until the client closes its end.
void WaitForClientClose(HANDLE pipe) {
    char sink[64];
    DWORD read;
    while (ReadFile(pipe, sink, sizeof sink, &read, nullptr)) {
    }
}

// The package list the stand-in writes: one line naming the user, enough for a test to see that
// the request reached it with the right values.
void WriteStandInList(const std::wstring& request) {
    // -user|<sid>|<list file>|<profile>
    size_t a = request.find(L'|'), b = request.find(L'|', a + 1), c = request.find(L'|', b + 1);
    if (a == std::wstring::npos || b == std::wstring::npos || c == std::wstring::npos) return;
    std::wstring sid = request.substr(a + 1, b - a - 1), list = request.substr(b + 1, c - b - 1);
    std::string line = "stand-in package list for ";
    for (wchar_t ch : sid)
        line += static_cast<char>(ch);
    HANDLE f = CreateFileW(list.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (f == INVALID_HANDLE_VALUE) return;
    DWORD written;
    WriteFile(f, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
    CloseHandle(f);
}

void Serve(HANDLE pipe, const std::wstring& request) {
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
        // A listing that outlasts the thirty one-second attempts of a client's open.
        Reply(pipe, L"Start");
        Sleep(35000);
    } else if (script == L"standin") {
        Reply(pipe, L"Start");
        WriteStandInList(request);
    } else { // "start": what the real service answers to a listing request
        Reply(pipe, L"Start");
    }
}

DWORD WINAPI PipeThread(void*) {
    for (unsigned n = 1;; ++n) {
        HANDLE pipe =
            CreateNamedPipeW(PipePath, PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, 1,
                             4096, 4096, 0, nullptr);
        if (pipe == INVALID_HANDLE_VALUE) return 1;
        if (ConnectNamedPipe(pipe, nullptr) || GetLastError() == ERROR_PIPE_CONNECTED) {
            DWORD length = 0;
            if (ReadAll(pipe, &length, 4) && length < 65536) {
                std::wstring request(length / 2, L'\0');
                if (ReadAll(pipe, &request[0], length)) {
                    std::string raw(4 + length, '\0');
                    memcpy(&raw[0], &length, 4);
                    memcpy(&raw[4], request.data(), length);
                    AppendFile(L"request-" + std::to_wstring(n) + L".bin", raw.data(),
                               static_cast<DWORD>(raw.size()));
                    Serve(pipe, request);
                }
            }
        }
        // Closed without a disconnect, as the service does: the client's next read gives 109.
        FlushFileBuffers(pipe);
        CloseHandle(pipe);
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
    statusHandle = RegisterServiceCtrlHandlerExW(L"QuillmarAppxService", Handler, nullptr);
    if (!statusHandle) return;
    stopEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ReadSettings();
    Report(SERVICE_START_PENDING, SERVICE_ACCEPT_STOP);
    if (dieEarly) {
        Sleep(1500);
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

int wmain() {
    SERVICE_TABLE_ENTRYW table[] = {{const_cast<wchar_t*>(L"QuillmarAppxService"), ServiceMain},
                                    {nullptr, nullptr}};
    return StartServiceCtrlDispatcherW(table) ? 0 : static_cast<int>(GetLastError());
}
