#include "appxtest.h"

#include "harness/testlib.h"

#include <gtest/gtest.h>

namespace appx_test {

std::wstring StandInProgram() {
    return L"C:\\corvane-tests\\toolappx_service.exe";
}

void ConfigureStandIn(const std::wstring& script, DWORD startDelay, DWORD dieEarly) {
    HKEY key;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\CorvaneTest\\AppxService", 0,
                                             nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr));
    RegSetValueExW(key, L"Script", 0, REG_SZ, reinterpret_cast<const BYTE*>(script.c_str()),
                   static_cast<DWORD>((script.size() + 1) * 2));
    RegSetValueExW(key, L"StartDelay", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&startDelay), 4);
    RegSetValueExW(key, L"DieEarly", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&dieEarly), 4);
    RegCloseKey(key);
}

bool WaitForState(DWORD state, DWORD timeoutMs) {
    for (DWORD waited = 0;; waited += 100) {
        SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
        SC_HANDLE service =
            manager ? OpenServiceW(manager, L"QuillmarAppxService", SERVICE_QUERY_STATUS) : nullptr;
        DWORD now = 0;
        SERVICE_STATUS s = {};
        if (service && QueryServiceStatus(service, &s)) now = s.dwCurrentState;
        if (service) CloseServiceHandle(service);
        if (manager) CloseServiceHandle(manager);
        if (now == state) return true;
        if (waited >= timeoutMs) return false;
        Sleep(100);
    }
}

bool ServiceInstalled() {
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE service =
        manager ? OpenServiceW(manager, L"QuillmarAppxService", SERVICE_QUERY_STATUS) : nullptr;
    bool found = service != nullptr;
    if (service) CloseServiceHandle(service);
    if (manager) CloseServiceHandle(manager);
    return found;
}

void InstallStandIn(const std::wstring& programPath, bool start) {
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    ASSERT_TRUE(manager);
    SC_HANDLE service = CreateServiceW(manager, L"QuillmarAppxService", L"Quillmar AppX Management Service",
                                       SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START,
                                       SERVICE_ERROR_NORMAL, programPath.c_str(), nullptr, nullptr, nullptr,
                                       nullptr, nullptr);
    ASSERT_TRUE(service) << GetLastError();
    if (start) {
        ASSERT_TRUE(StartServiceW(service, 0, nullptr)) << GetLastError();
        EXPECT_TRUE(WaitForState(SERVICE_RUNNING));
    }
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
}

void RemoveService() {
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (!manager) return;
    SC_HANDLE service = OpenServiceW(manager, L"QuillmarAppxService", SERVICE_ALL_ACCESS);
    if (service) {
        SERVICE_STATUS s;
        ControlService(service, SERVICE_CONTROL_STOP, &s);
        DeleteService(service);
        CloseServiceHandle(service);
    }
    CloseServiceHandle(manager);
    EXPECT_TRUE(WaitForState(0)) << "the service was not removed";
}

std::wstring ConfiguredPath() {
    std::wstring path;
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE service =
        manager ? OpenServiceW(manager, L"QuillmarAppxService", SERVICE_QUERY_CONFIG) : nullptr;
    if (service) {
        std::vector<BYTE> buffer(8192);
        DWORD needed;
        if (QueryServiceConfigW(service, reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data()), 8192,
                                &needed))
            path = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data())->lpBinaryPathName;
        CloseServiceHandle(service);
    }
    if (manager) CloseServiceHandle(manager);
    return path;
}

std::vector<std::string> Requests() {
    std::vector<std::string> found;
    for (int n = 1;; ++n) {
        std::wstring file = std::wstring(RecordFolder) + L"\\request-" + std::to_wstring(n) + L".bin";
        if (!corvane_test::FileExists(file)) break;
        found.push_back(corvane_test::ReadFileBytes(file));
    }
    return found;
}

int ProbeCount() {
    std::wstring file = std::wstring(RecordFolder) + L"\\probes.txt";
    if (!corvane_test::FileExists(file)) return 0;
    return static_cast<int>(corvane_test::ReadFileBytes(file).size() / 4);
}

void ClearRecords() {
    if (corvane_test::DirExists(RecordFolder)) corvane_test::DeleteTestTree(RecordFolder);
    CreateDirectoryW(L"C:\\corvane-scratch", nullptr);
    CreateDirectoryW(RecordFolder, nullptr);
}

std::string Message(const std::wstring& text) {
    std::string m(4 + text.size() * 2, '\0');
    DWORD length = static_cast<DWORD>(text.size() * 2);
    memcpy(&m[0], &length, 4);
    memcpy(&m[4], text.data(), length);
    return m;
}

} // namespace appx_test
