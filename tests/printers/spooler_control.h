// The "Spooler" service as the printer tests see it: its state, start type and process, and a
// guard that puts its configuration and state back as the test found them.
#pragma once

#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

namespace corvane_test {

struct SpoolerState {
    DWORD state = 0;
    DWORD processId = 0;
    DWORD startType = 0;
    std::wstring binaryPath;
};

inline SpoolerState QuerySpooler() {
    SpoolerState s;
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE spooler =
        manager ? OpenServiceW(manager, L"Spooler", SERVICE_QUERY_STATUS | SERVICE_QUERY_CONFIG) : nullptr;
    if (spooler) {
        SERVICE_STATUS_PROCESS status = {};
        DWORD needed = 0;
        if (QueryServiceStatusEx(spooler, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status),
                                 sizeof status, &needed)) {
            s.state = status.dwCurrentState;
            s.processId = status.dwProcessId;
        }
        std::vector<BYTE> config(8192);
        if (QueryServiceConfigW(spooler, reinterpret_cast<QUERY_SERVICE_CONFIGW*>(config.data()),
                                static_cast<DWORD>(config.size()), &needed)) {
            auto* c = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(config.data());
            s.startType = c->dwStartType;
            s.binaryPath = c->lpBinaryPathName ? c->lpBinaryPathName : L"";
        }
        CloseServiceHandle(spooler);
    }
    if (manager) CloseServiceHandle(manager);
    return s;
}

// Waits up to timeoutMs for the spooler to reach state; true when it did.
inline bool WaitForSpooler(DWORD state, DWORD timeoutMs) {
    for (DWORD waited = 0;; waited += 100) {
        if (QuerySpooler().state == state) return true;
        if (waited >= timeoutMs) return false;
        Sleep(100);
    }
}

inline DWORD ConfigureSpooler(DWORD startType, const wchar_t* binaryPath) {
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (!manager) return GetLastError();
    SC_HANDLE spooler = OpenServiceW(manager, L"Spooler", SERVICE_CHANGE_CONFIG);
    DWORD result = 0;
    if (!spooler) {
        result = GetLastError();
    } else {
        if (!ChangeServiceConfigW(spooler, SERVICE_NO_CHANGE, startType, SERVICE_NO_CHANGE, binaryPath,
                                  nullptr, nullptr, nullptr, nullptr, nullptr, nullptr))
            result = GetLastError();
        CloseServiceHandle(spooler);
    }
    CloseServiceHandle(manager);
    return result;
}

// SERVICE_CONTROL_STOP or StartServiceW on the spooler; 0 or the Win32 code.
inline DWORD ControlSpooler(bool start) {
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (!manager) return GetLastError();
    SC_HANDLE spooler = OpenServiceW(manager, L"Spooler", SERVICE_START | SERVICE_STOP);
    DWORD result = 0;
    if (!spooler) {
        result = GetLastError();
    } else {
        SERVICE_STATUS status;
        BOOL ok = start ? StartServiceW(spooler, 0, nullptr)
                        : ControlService(spooler, SERVICE_CONTROL_STOP, &status);
        if (!ok) result = GetLastError();
        CloseServiceHandle(spooler);
    }
    CloseServiceHandle(manager);
    return result;
}

// Brings the spooler to a known state, and on destruction stops it and restores the start type and
// binary path it had. A stand-in that will not stop is released through its named event, or ended
// by the process id the service control manager gives for it.
class SpoolerGuard {
  public:
    SpoolerGuard() : original_(QuerySpooler()) {}
    ~SpoolerGuard() {
        SpoolerState now = QuerySpooler();
        if (now.state != SERVICE_STOPPED) {
            ControlSpooler(false);
            ReleaseStandIn();
            if (!WaitForSpooler(SERVICE_STOPPED, 10000)) {
                now = QuerySpooler();
                if (now.processId != 0 && now.binaryPath != original_.binaryPath) {
                    HANDLE p = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, now.processId);
                    if (p) {
                        TerminateProcess(p, 1);
                        WaitForSingleObject(p, 5000);
                        CloseHandle(p);
                    }
                }
                EXPECT_TRUE(WaitForSpooler(SERVICE_STOPPED, 10000)) << "spooler left running";
            }
        }
        EXPECT_EQ(0u, ConfigureSpooler(original_.startType, original_.binaryPath.c_str()));
        DeleteFileW(L"C:\\corvane-scratch\\fakespooler\\events.log");
    }
    // Stopped or running, with the given start type, and for a stand-in its stop mode.
    void Prepare(bool running, DWORD startType, const std::wstring& standInMode = L"") {
        std::wstring path =
            standInMode.empty() ? original_.binaryPath : L"C:\\corvane-tests\\fakespooler.exe " + standInMode;
        if (QuerySpooler().state != SERVICE_STOPPED) {
            ControlSpooler(false);
            ASSERT_TRUE(WaitForSpooler(SERVICE_STOPPED, 10000));
        }
        DeleteFileW(L"C:\\corvane-scratch\\fakespooler\\events.log");
        ASSERT_EQ(0u, ConfigureSpooler(SERVICE_DEMAND_START, path.c_str()));
        if (running) {
            ASSERT_EQ(0u, ControlSpooler(true));
            ASSERT_TRUE(WaitForSpooler(SERVICE_RUNNING, 10000));
        }
        ASSERT_EQ(0u, ConfigureSpooler(startType, nullptr));
    }
    static void ReleaseStandIn() {
        HANDLE release = OpenEventW(EVENT_MODIFY_STATE, FALSE, L"Global\\CorvaneFakeSpoolerRelease");
        if (release) {
            SetEvent(release);
            CloseHandle(release);
        }
    }

  private:
    SpoolerState original_;
};

} // namespace corvane_test
