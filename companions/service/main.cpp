// Service glue of QuillmarAppxService.exe: the dispatcher, the control handler and status
// reporting. The work is in QuillmarStoreAppManagementService (appxservice.cpp).
#include "companions/service/appxservice.h"

#include <windows.h>

namespace {

const wchar_t ServiceName[] = L"QuillmarAppxService"; // SERVICE_WIN32_OWN_PROCESS ignores the name

SERVICE_STATUS_HANDLE statusHandle = nullptr;
SERVICE_STATUS status = {};
appxservice::QuillmarStoreAppManagementService* service = nullptr;

void ReportStatus(DWORD state) {
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = state;
    status.dwControlsAccepted = state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP : 0;
    status.dwWin32ExitCode = NO_ERROR;
    status.dwWaitHint = state == SERVICE_RUNNING || state == SERVICE_STOPPED ? 0 : 3000;
    SetServiceStatus(statusHandle, &status);
}

DWORD WINAPI ControlHandler(DWORD control, DWORD, void*, void*) {
    if (control == SERVICE_CONTROL_STOP) {
        ReportStatus(SERVICE_STOP_PENDING);
        service->OnStop();
        // The dispatcher returns once the service is stopped; the process ends with it, and the
        // server thread with the process.
        ReportStatus(SERVICE_STOPPED);
        return NO_ERROR;
    }
    if (control == SERVICE_CONTROL_INTERROGATE) return NO_ERROR;
    // User-defined codes (128 is the tool's readiness probe) are accepted and do nothing else.
    if (control >= 128 && control <= 255) {
        service->OnCustomCommand(control);
        return NO_ERROR;
    }
    return ERROR_CALL_NOT_IMPLEMENTED;
}

void WINAPI ServiceMain(DWORD, wchar_t**) {
    statusHandle = RegisterServiceCtrlHandlerExW(ServiceName, ControlHandler, nullptr);
    if (!statusHandle) return;
    ReportStatus(SERVICE_START_PENDING);
    // Lives until the process ends: the server thread uses it.
    service = new appxservice::QuillmarStoreAppManagementService();
    service->OnStart();
    ReportStatus(SERVICE_RUNNING);
}

} // namespace

int wmain() {
    SERVICE_TABLE_ENTRYW table[] = {{const_cast<wchar_t*>(ServiceName), ServiceMain}, {nullptr, nullptr}};
    if (!StartServiceCtrlDispatcherW(table)) return static_cast<int>(GetLastError());
    // Stopped. The server thread may still be in a request: end the process without running the
    // static destructors that thread may still use.
    ExitProcess(0);
}
