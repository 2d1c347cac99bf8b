#include "appxtest.h"

#include "base/raii.h"
#include "harness/testlib.h"

#include <gtest/gtest.h>

namespace appx_test {

std::wstring StandInProgram() {
    return fake_appx_service::Program;
}

using fake_appx_service::ServiceName;
using fake_appx_service::SettingsKey;

void ConfigureStandIn(const std::wstring& script, DWORD startDelay, DWORD dieEarly) {
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, SettingsKey); // nothing an earlier test chose stays
    UniqueKey key;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_LOCAL_MACHINE, SettingsKey, 0, nullptr, 0, KEY_ALL_ACCESS,
                                             nullptr, key.put(), nullptr));
    RegSetValueExW(key.get(), L"Script", 0, REG_SZ, reinterpret_cast<const BYTE*>(script.c_str()),
                   static_cast<DWORD>((script.size() + 1) * 2));
    RegSetValueExW(key.get(), L"StartDelay", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&startDelay), 4);
    RegSetValueExW(key.get(), L"DieEarly", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&dieEarly), 4);
}

void SetStandInBusyTime(DWORD ms) {
    corvane_test::WriteKeys(HKEY_LOCAL_MACHINE, {{SettingsKey, {{L"BusyMs", corvane_test::Dword(ms)}}}});
}

bool WaitForState(DWORD state, DWORD timeoutMs) {
    return corvane_test::WaitForServiceState(ServiceName, state, timeoutMs);
}

bool ServiceInstalled() {
    return corvane_test::ServiceState(ServiceName) != 0;
}

void InstallStandIn(const std::wstring& programPath, bool start) {
    UniqueService manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    ASSERT_TRUE(manager);
    UniqueService service(CreateServiceW(manager.get(), ServiceName, L"Quillmar AppX Management Service",
                                         SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START,
                                         SERVICE_ERROR_NORMAL, programPath.c_str(), nullptr, nullptr, nullptr,
                                         nullptr, nullptr));
    ASSERT_TRUE(service) << GetLastError();
    if (start) {
        ASSERT_TRUE(StartServiceW(service.get(), 0, nullptr)) << GetLastError();
        EXPECT_TRUE(WaitForState(SERVICE_RUNNING));
    }
}

void RemoveService() {
    EXPECT_TRUE(corvane_test::StopAndRemoveService(ServiceName)) << "the service was not removed";
}

std::wstring ConfiguredPath() {
    UniqueService manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    UniqueService service(manager ? OpenServiceW(manager.get(), ServiceName, SERVICE_QUERY_CONFIG) : nullptr);
    if (!service) return std::wstring();
    std::vector<BYTE> buffer(8192);
    DWORD needed;
    if (!QueryServiceConfigW(service.get(), reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data()), 8192,
                             &needed))
        return std::wstring();
    return reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data())->lpBinaryPathName;
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
