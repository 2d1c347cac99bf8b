// Service glue of QuillmarAppxService.exe: the dispatcher, the control handler and status
// reporting. The work is in QuillmarStoreAppManagementService (appxservice.cpp).
#include "companions/service/appxservice.h"
#include "base/winecompat.h"

#include <windows.h>

namespace {

const wchar_t ServiceName[] = L"QuillmarAppxService"; // SERVICE_WIN32_OWN_PROCESS ignores the name

SERVICE_STATUS_HANDLE statusHandle = nullptr;
SERVICE_STATUS status = {};
appxservice::QuillmarStoreAppManagementService* service = nullptr;
HANDLE stopEvent = nullptr; // set by the stop control; lives as long as the process

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
        // STOP_PENDING first, then the stop is signalled; SERVICE_STOPPED comes from ServiceMain.
        // Reported from here, it would let the dispatcher return and the process end before the
        // answer to this very control had reached the service control manager.
        ReportStatus(SERVICE_STOP_PENDING);
        SetEvent(stopEvent);
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
    stopEvent = CreateEventW(nullptr, TRUE /* manual reset */, FALSE, nullptr);
    if (!stopEvent) return;
    statusHandle = RegisterServiceCtrlHandlerExW(ServiceName, ControlHandler, nullptr);
    if (!statusHandle) return;
    ReportStatus(SERVICE_START_PENDING);
    // Lives until the process ends: the server thread uses it.
    service = new appxservice::QuillmarStoreAppManagementService();
    service->OnStart();
    ReportStatus(SERVICE_RUNNING);
    WaitForSingleObject(stopEvent, INFINITE);
    service->OnStop();
    WineLetStopAnswerArrive();
    ReportStatus(SERVICE_STOPPED);
}

} // namespace

int wmain() {
    SERVICE_TABLE_ENTRYW table[] = {{const_cast<wchar_t*>(ServiceName), ServiceMain}, {nullptr, nullptr}};
    if (!StartServiceCtrlDispatcherW(table)) return static_cast<int>(GetLastError());
    // Stopped. The server thread may still be in a request: end the process without running the
    // static destructors that thread may still use.
    ExitProcess(0);
}
