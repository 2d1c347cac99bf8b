// A service that stands in for the print spooler where Wine's own spooler stops too promptly:
//   fakespooler.exe normal      stops when asked
//   fakespooler.exe slow <ms>   reports STOP_PENDING and stops <ms> milliseconds later
//   fakespooler.exe never       reports STOP_PENDING and keeps running
// Setting the named event "Global\\CorvaneFakeSpoolerRelease" releases it in every mode, so a test
// can clean up after "never". Each start, stop request and stop is appended to
// C:\corvane-scratch\fakespooler\events.log as one line.
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>

namespace {

enum class Mode { Normal, Slow, Never };
Mode StopMode = Mode::Normal;
DWORD StopDelay = 0;

SERVICE_STATUS_HANDLE StatusHandle = nullptr;
SERVICE_STATUS Status = {};
HANDLE StopEvent = nullptr;
CRITICAL_SECTION StatusLock;

void LogEvent(const char* what) {
    CreateDirectoryW(L"C:\\corvane-scratch", nullptr);
    CreateDirectoryW(L"C:\\corvane-scratch\\fakespooler", nullptr);
    HANDLE log = CreateFileW(L"C:\\corvane-scratch\\fakespooler\\events.log", FILE_APPEND_DATA,
                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
    if (log == INVALID_HANDLE_VALUE) return;
    char line[64];
    int n = snprintf(line, sizeof line, "%s %lu\r\n", what, GetCurrentProcessId());
    DWORD written;
    WriteFile(log, line, static_cast<DWORD>(n), &written, nullptr);
    CloseHandle(log);
}

void Report(DWORD state, DWORD waitHint) {
    EnterCriticalSection(&StatusLock);
    Status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    Status.dwCurrentState = state;
    Status.dwControlsAccepted = state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP : 0;
    Status.dwWin32ExitCode = NO_ERROR;
    Status.dwWaitHint = waitHint;
    Status.dwCheckPoint =
        (state == SERVICE_RUNNING || state == SERVICE_STOPPED) ? 0 : Status.dwCheckPoint + 1;
    SetServiceStatus(StatusHandle, &Status);
    LeaveCriticalSection(&StatusLock);
}

DWORD WINAPI DelayedStop(void*) {
    Sleep(StopDelay);
    SetEvent(StopEvent);
    return 0;
}

DWORD WINAPI Handler(DWORD control, DWORD, void*, void*) {
    switch (control) {
    case SERVICE_CONTROL_STOP:
        LogEvent("stop-request");
        Report(SERVICE_STOP_PENDING, 60000); // before the stop is signalled
        if (StopMode == Mode::Normal) {
            SetEvent(StopEvent);
        } else if (StopMode == Mode::Slow) {
            HANDLE thread = CreateThread(nullptr, 0, DelayedStop, nullptr, 0, nullptr);
            if (thread) CloseHandle(thread);
        }
        return NO_ERROR;
    case SERVICE_CONTROL_INTERROGATE:
        return NO_ERROR;
    default:
        return ERROR_CALL_NOT_IMPLEMENTED;
    }
}

void WINAPI ServiceMain(DWORD, wchar_t**) {
    StatusHandle = RegisterServiceCtrlHandlerExW(L"Spooler", Handler, nullptr);
    if (!StatusHandle) return;
    StopEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE release = CreateEventW(nullptr, TRUE, FALSE, L"Global\\CorvaneFakeSpoolerRelease");
    if (release) ResetEvent(release); // a release meant for an earlier instance
    LogEvent("start");
    Report(SERVICE_RUNNING, 0);
    HANDLE waits[2] = {StopEvent, release};
    WaitForMultipleObjects(release ? 2 : 1, waits, FALSE, INFINITE);
    LogEvent("stopped");
    Report(SERVICE_STOPPED, 0);
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc >= 2 && wcscmp(argv[1], L"slow") == 0) {
        StopMode = Mode::Slow;
        StopDelay = argc >= 3 ? wcstoul(argv[2], nullptr, 10) : 5000;
    } else if (argc >= 2 && wcscmp(argv[1], L"never") == 0) {
        StopMode = Mode::Never;
    }
    InitializeCriticalSection(&StatusLock);
    wchar_t name[] = L"Spooler";
    SERVICE_TABLE_ENTRYW table[] = {{name, ServiceMain}, {nullptr, nullptr}};
    return StartServiceCtrlDispatcherW(table) ? 0 : static_cast<int>(GetLastError());
}
