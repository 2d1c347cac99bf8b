#include "fakeservice.h"

#include "harness/testlib.h"

#include <gtest/gtest.h>

namespace updater_test {

namespace {
const wchar_t* const Name = L"QuillmarAppxService";
const wchar_t* const Exe = L"C:\\corvane-tests\\updater_fakeservice.exe";
const wchar_t* const ConfigKey = L"SOFTWARE\\corvane-test\\fakeservice";
const wchar_t* const RequestFile = L"C:\\corvane-scratch\\fakeservice\\requests.txt";
const wchar_t* const Pipe = L"\\\\.\\pipe\\7a6c689a-c49b-4444-8f7e-c45fc3fd7cae";

void StopAndDelete() {
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (!manager) return;
    SC_HANDLE service = OpenServiceW(manager, Name, SERVICE_ALL_ACCESS);
    if (service) {
        SERVICE_STATUS status;
        ControlService(service, SERVICE_CONTROL_STOP, &status);
        for (int i = 0; i < 50; ++i) {
            if (!QueryServiceStatus(service, &status) || status.dwCurrentState == SERVICE_STOPPED) break;
            Sleep(100);
        }
        DeleteService(service);
        CloseServiceHandle(service);
    }
    CloseServiceHandle(manager);
}
} // namespace

bool WaitForPipe(DWORD timeoutMs) {
    DWORD start = GetTickCount();
    while (GetTickCount() - start < timeoutMs) {
        if (WaitNamedPipeW(Pipe, 100) || GetLastError() == ERROR_SEM_TIMEOUT) return true;
        Sleep(50);
    }
    return false;
}

FakeService::FakeService() {
    StopAndDelete();
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (!manager) return;
    SC_HANDLE service =
        CreateServiceW(manager, Name, L"Quillmar AppX Management Service (test)", SERVICE_ALL_ACCESS,
                       SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, Exe, nullptr,
                       nullptr, nullptr, nullptr, nullptr);
    if (service) {
        if (StartServiceW(service, 0, nullptr)) {
            SERVICE_STATUS status = {};
            for (int i = 0; i < 100; ++i) {
                if (QueryServiceStatus(service, &status) && status.dwCurrentState == SERVICE_RUNNING) break;
                Sleep(100);
            }
            ok_ = status.dwCurrentState == SERVICE_RUNNING && WaitForPipe(10000);
        }
        CloseServiceHandle(service);
    }
    CloseServiceHandle(manager);
}

FakeService::~FakeService() {
    StopAndDelete();
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, ConfigKey);
    DeleteFileW(RequestFile);
}

void FakeService::SetReplies(const std::vector<std::wstring>& replies) {
    std::wstring multi;
    for (const std::wstring& r : replies)
        multi += r + L'\0';
    multi += L'\0';
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_LOCAL_MACHINE, ConfigKey, 0, nullptr, 0, KEY_WRITE, nullptr,
                                             &key, nullptr));
    RegSetValueExW(key, L"Replies", 0, REG_MULTI_SZ, reinterpret_cast<const BYTE*>(multi.data()),
                   static_cast<DWORD>(multi.size() * sizeof(wchar_t)));
    RegCloseKey(key);
}

void FakeService::SetRegister(bool on) {
    corvane_test::WriteKeys(HKEY_LOCAL_MACHINE,
                            {{ConfigKey, {{L"Register", corvane_test::Dword(on ? 1 : 0)}}}});
}

std::vector<std::wstring> FakeService::Requests() {
    std::vector<std::wstring> lines;
    if (!corvane_test::FileExists(RequestFile)) return lines;
    std::string bytes = corvane_test::ReadFileBytes(RequestFile);
    size_t start = 0;
    for (size_t nl; (nl = bytes.find('\n', start)) != std::string::npos; start = nl + 1) {
        std::string line = bytes.substr(start, nl - start);
        int n = MultiByteToWideChar(CP_UTF8, 0, line.data(), static_cast<int>(line.size()), nullptr, 0);
        std::wstring wide(n, L'\0');
        if (n) MultiByteToWideChar(CP_UTF8, 0, line.data(), static_cast<int>(line.size()), &wide[0], n);
        lines.push_back(wide);
    }
    return lines;
}

void FakeService::ClearRequests() {
    DeleteFileW(RequestFile);
}

Impostor::Impostor() {
    std::wstring command = std::wstring(L"\"") + Exe + L"\" --impostor";
    STARTUPINFOW si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    if (!CreateProcessW(Exe, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) return;
    CloseHandle(pi.hThread);
    process_ = pi.hProcess;
    if (!WaitForPipe(10000)) {
        TerminateProcess(process_, 1);
        CloseHandle(process_);
        process_ = nullptr;
    }
}

Impostor::~Impostor() {
    if (!process_) return;
    TerminateProcess(process_, 0);
    WaitForSingleObject(process_, 5000);
    CloseHandle(process_);
}

} // namespace updater_test
