#include "pipeclient.h"

#include "harness/testlib.h"

#include <sddl.h>
#include <shlobj.h>

namespace service_test {

PipeClient::~PipeClient() {
    Close();
}

bool PipeClient::Open(DWORD timeoutMs, DWORD flags) {
    Close();
    DWORD start = GetTickCount();
    for (;;) {
        pipe_ =
            CreateFileW(PipePath, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, flags, nullptr);
        if (pipe_ != INVALID_HANDLE_VALUE) return true;
        error_ = GetLastError();
        if (GetTickCount() - start > timeoutMs) return false;
        if (error_ == ERROR_PIPE_BUSY)
            WaitNamedPipeW(PipePath, 100);
        else
            Sleep(1);
    }
}

std::string Frame(const std::wstring& text) {
    DWORD count = static_cast<DWORD>(text.size() * sizeof(wchar_t));
    std::string bytes(4, '\0');
    for (int i = 0; i < 4; ++i)
        bytes[i] = static_cast<char>((count >> (8 * i)) & 0xFF);
    bytes.append(reinterpret_cast<const char*>(text.data()), count);
    return bytes;
}

bool PipeClient::Send(const std::wstring& text) {
    return SendRaw(Frame(text));
}

bool PipeClient::SendRaw(const std::string& bytes) {
    DWORD written = 0;
    if (!WriteFile(pipe_, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr)) {
        error_ = GetLastError();
        return false;
    }
    return written == bytes.size();
}

bool PipeClient::ReadExact(void* buffer, DWORD size) {
    BYTE* bytes = static_cast<BYTE*>(buffer);
    DWORD got = 0;
    while (got < size) {
        DWORD done = 0;
        if (!ReadFile(pipe_, bytes + got, size - got, &done, nullptr)) {
            error_ = GetLastError();
            if (error_ != ERROR_MORE_DATA) return false;
        }
        if (done == 0 && error_ != ERROR_MORE_DATA) {
            error_ = ERROR_BROKEN_PIPE;
            return false;
        }
        got += done;
    }
    return true;
}

bool PipeClient::ReadReply(std::wstring* text) {
    BYTE header[4];
    if (!ReadExact(header, 4)) return false;
    LONG count =
        static_cast<LONG>(header[0] | (header[1] << 8) | (header[2] << 16) | (DWORD(header[3]) << 24));
    if (count < 0 || count > 1024 * 1024 || count % 2) {
        error_ = ERROR_INVALID_DATA;
        return false;
    }
    std::wstring reply(count / 2, L'\0');
    if (count && !ReadExact(&reply[0], count)) return false;
    *text = reply;
    return true;
}

std::vector<std::wstring> PipeClient::ReadAll() {
    std::vector<std::wstring> replies;
    std::wstring reply;
    while (ReadReply(&reply))
        replies.push_back(reply);
    return replies;
}

void PipeClient::Close() {
    if (pipe_ != INVALID_HANDLE_VALUE) CloseHandle(pipe_);
    pipe_ = INVALID_HANDLE_VALUE;
}

std::vector<std::wstring> Exchange(const std::wstring& request) {
    PipeClient client;
    if (!client.Open()) return {L"<open failed " + std::to_wstring(client.error()) + L">"};
    if (!client.Send(request)) return {L"<send failed " + std::to_wstring(client.error()) + L">"};
    return client.ReadAll();
}

static SC_HANDLE OpenManager() {
    return OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
}

static bool WaitForState(SC_HANDLE service, DWORD state, DWORD timeoutMs) {
    DWORD start = GetTickCount();
    for (;;) {
        SERVICE_STATUS_PROCESS status = {};
        DWORD needed = 0;
        if (QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status),
                                 sizeof(status), &needed) &&
            status.dwCurrentState == state)
            return true;
        if (GetTickCount() - start > timeoutMs) return false;
        Sleep(50);
    }
}

std::wstring ServiceProgram() {
    wchar_t path[MAX_PATH] = {};
    DWORD length = GetEnvironmentVariableW(L"CORVANE_SERVICE_EXE", path, MAX_PATH);
    if (length > 0 && length < MAX_PATH) return path;
    return L"C:\\corvane-tests\\QuillmarAppxService.exe";
}

bool InstallAndStartService(std::wstring* failure) {
    RemoveService();
    // The service loads the tile library from the Windows folder only, where the tool puts it: the
    // library built beside this service program goes there.
    std::wstring program = ServiceProgram();
    std::wstring library = program.substr(0, program.find_last_of(L'\\')) + L"\\kelvohlp.dll";
    wchar_t windows[MAX_PATH];
    GetWindowsDirectoryW(windows, MAX_PATH);
    if (GetFileAttributesW(library.c_str()) != INVALID_FILE_ATTRIBUTES &&
        !CopyFileW(library.c_str(), (std::wstring(windows) + L"\\kelvohlp.dll").c_str(), FALSE)) {
        *failure = L"copying the tile library " + std::to_wstring(GetLastError());
        return false;
    }
    SC_HANDLE manager = OpenManager();
    if (!manager) {
        *failure = L"OpenSCManager " + std::to_wstring(GetLastError());
        return false;
    }
    SC_HANDLE service = CreateServiceW(manager, ServiceName, L"Quillmar AppX Management Service",
                                       SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START,
                                       SERVICE_ERROR_NORMAL, ServiceProgram().c_str(), nullptr, nullptr,
                                       nullptr, nullptr /* LocalSystem */, nullptr);
    if (!service) {
        *failure = L"CreateService " + std::to_wstring(GetLastError());
        CloseServiceHandle(manager);
        return false;
    }
    bool ok = StartServiceW(service, 0, nullptr) != FALSE;
    if (!ok) *failure = L"StartService " + std::to_wstring(GetLastError());
    if (ok && !WaitForState(service, SERVICE_RUNNING, 30000)) {
        ok = false;
        *failure = L"service did not reach RUNNING";
    }
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    return ok;
}

void RemoveService() {
    corvane_test::StopAndRemoveService(ServiceName);
}

DWORD ServiceProcessId() {
    SC_HANDLE manager = OpenManager();
    if (!manager) return 0;
    DWORD pid = 0;
    SC_HANDLE service = OpenServiceW(manager, ServiceName, SERVICE_QUERY_STATUS);
    if (service) {
        SERVICE_STATUS_PROCESS status = {};
        DWORD needed = 0;
        if (QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status),
                                 sizeof(status), &needed) &&
            status.dwCurrentState == SERVICE_RUNNING)
            pid = status.dwProcessId;
        CloseServiceHandle(service);
    }
    CloseServiceHandle(manager);
    return pid;
}

DebugMonitor::DebugMonitor() {
    InitializeCriticalSection(&lock_);
    mutex_ = CreateMutexW(nullptr, FALSE, L"DBWinMutex");
    bufferReady_ = CreateEventW(nullptr, FALSE, FALSE, L"DBWIN_BUFFER_READY");
    dataReady_ = CreateEventW(nullptr, FALSE, FALSE, L"DBWIN_DATA_READY");
    mapping_ = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 4096, L"DBWIN_BUFFER");
    if (!mutex_ || !bufferReady_ || !dataReady_ || !mapping_) return;
    view_ = MapViewOfFile(mapping_, FILE_MAP_READ, 0, 0, 4096);
    stop_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!view_ || !stop_) return;
    thread_ = CreateThread(nullptr, 0, Run, this, 0, nullptr);
    ok_ = thread_ != nullptr;
}

DebugMonitor::~DebugMonitor() {
    if (thread_) {
        SetEvent(stop_);
        WaitForSingleObject(thread_, 5000);
        CloseHandle(thread_);
    }
    if (view_) UnmapViewOfFile(view_);
    for (HANDLE h : {mutex_, bufferReady_, dataReady_, mapping_, stop_})
        if (h) CloseHandle(h);
    DeleteCriticalSection(&lock_);
}

DWORD WINAPI DebugMonitor::Run(void* self) {
    DebugMonitor* monitor = static_cast<DebugMonitor*>(self);
    for (;;) {
        SetEvent(monitor->bufferReady_);
        HANDLE waits[2] = {monitor->stop_, monitor->dataReady_};
        DWORD which = WaitForMultipleObjects(2, waits, FALSE, INFINITE);
        if (which != WAIT_OBJECT_0 + 1) return 0;
        const BYTE* data = static_cast<const BYTE*>(monitor->view_);
        DWORD pid = *reinterpret_cast<const DWORD*>(data);
        std::string text(reinterpret_cast<const char*>(data + 4),
                         strnlen(reinterpret_cast<const char*>(data + 4), 4092));
        EnterCriticalSection(&monitor->lock_);
        monitor->lines_.emplace_back(pid, text);
        LeaveCriticalSection(&monitor->lock_);
    }
}

std::vector<std::string> DebugMonitor::Lines(DWORD pid) const {
    std::vector<std::string> lines;
    EnterCriticalSection(&lock_);
    for (const auto& line : lines_)
        if (line.first == pid) lines.push_back(line.second);
    LeaveCriticalSection(&lock_);
    return lines;
}

bool DebugMonitor::WaitFor(DWORD pid, const std::string& text, DWORD timeoutMs) const {
    DWORD start = GetTickCount();
    for (;;) {
        for (const std::string& line : Lines(pid))
            if (line == text) return true;
        if (GetTickCount() - start > timeoutMs) return false;
        Sleep(20);
    }
}

void DebugMonitor::Clear() {
    EnterCriticalSection(&lock_);
    lines_.clear();
    LeaveCriticalSection(&lock_);
}

std::wstring CurrentUserSid() {
    HANDLE token = nullptr;
    OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token);
    BYTE buffer[512];
    DWORD size = sizeof(buffer);
    GetTokenInformation(token, TokenUser, buffer, size, &size);
    CloseHandle(token);
    wchar_t* text = nullptr;
    ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid, &text);
    std::wstring sid = text ? text : L"";
    LocalFree(text);
    return sid;
}

std::wstring LocalAppData() {
    wchar_t path[MAX_PATH] = {};
    SHGetFolderPathW(nullptr, CSIDL_LOCAL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, path);
    return path;
}

std::string Narrow(const std::wstring& text) {
    std::string out;
    for (wchar_t c : text)
        out += c < 128 ? static_cast<char>(c) : '?';
    return out;
}

} // namespace service_test
