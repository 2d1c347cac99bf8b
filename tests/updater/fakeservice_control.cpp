#include "fakeservice.h"

#include "base/pipemessage.h"
#include "harness/fakeappxservice.h"
#include "base/raii.h"
#include "harness/testlib.h"

#include <gtest/gtest.h>

namespace updater_test {

namespace {
using fake_appx_service::SettingsKey;
const wchar_t* const Name = fake_appx_service::ServiceName;
const wchar_t* const Exe = fake_appx_service::Program;
const std::wstring RequestFile = std::wstring(fake_appx_service::RecordFolder) + L"\\requests.txt";

void StopAndDelete() {
    corvane_test::StopAndRemoveService(Name);
}
} // namespace

bool WaitForPipe(DWORD timeoutMs) {
    DWORD start = GetTickCount();
    while (GetTickCount() - start < timeoutMs) {
        if (WaitNamedPipeW(ServicePipePath, 100) || GetLastError() == ERROR_SEM_TIMEOUT) return true;
        Sleep(50);
    }
    return false;
}

FakeService::FakeService() {
    StopAndDelete();
    // Whatever an earlier test chose (the tool's tests use the same stand-in) does not apply here.
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, SettingsKey);
    UniqueService manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (!manager) return;
    UniqueService service(CreateServiceW(manager.get(), Name, L"Quillmar AppX Management Service (test)",
                                         SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START,
                                         SERVICE_ERROR_NORMAL, Exe, nullptr, nullptr, nullptr, nullptr,
                                         nullptr));
    if (!service || !StartServiceW(service.get(), 0, nullptr)) return;
    ok_ = corvane_test::WaitForServiceState(Name, SERVICE_RUNNING, 10000) && WaitForPipe(10000);
}

FakeService::~FakeService() {
    StopAndDelete();
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, SettingsKey);
    DeleteFileW(RequestFile.c_str());
}

void FakeService::SetReplies(const std::vector<std::wstring>& replies) {
    std::wstring multi;
    for (const std::wstring& r : replies)
        multi += r + L'\0';
    multi += L'\0';
    UniqueKey key;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_LOCAL_MACHINE, SettingsKey, 0, nullptr, 0, KEY_WRITE,
                                             nullptr, key.put(), nullptr));
    RegSetValueExW(key.get(), L"Replies", 0, REG_MULTI_SZ, reinterpret_cast<const BYTE*>(multi.data()),
                   static_cast<DWORD>(multi.size() * sizeof(wchar_t)));
}

void FakeService::SetRegister(bool on) {
    corvane_test::WriteKeys(HKEY_LOCAL_MACHINE,
                            {{SettingsKey, {{L"Register", corvane_test::Dword(on ? 1 : 0)}}}});
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
    DeleteFileW(RequestFile.c_str());
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
