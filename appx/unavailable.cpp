// This build carries no companion programs (service, updater, tile library), so the Store-app
// service cannot be installed, started or removed. These entry points say so honestly instead of
// pretending: callers see the service as unavailable and the removal as not supported.
#include "appx/appx.h"

#include "driver/common.h"

bool PrepareAppxService(bool quiet) {
    ConsolePrint(L"%ws\r\n", L"The Quillmar AppX Management Service is not included in this build of Corvane.");
    SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return false;
}

DWORD InstallUpdaterFiles() { return ERROR_CALL_NOT_IMPLEMENTED; }

bool EnsureAppxServiceRunning() {
    SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return false;
}

DWORD StopAndDeleteService(const wchar_t* serviceName, const wchar_t* machine) { return ERROR_CALL_NOT_IMPLEMENTED; }

DWORD DeleteAppxServiceFiles() { return 0; }
