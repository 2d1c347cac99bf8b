#include "base/servicepeer.h"

#include "base/raii.h"

namespace {

typedef BOOL(WINAPI* ServerProcessIdFn)(HANDLE, PULONG);

// Process id of the running service, or 0 with the last-error value set.
DWORD ServiceProcessId(const wchar_t* serviceName) {
    UniqueService manager(
        OpenSCManagerW(nullptr /* local */, nullptr /* active database */, SC_MANAGER_CONNECT));
    if (!manager) return 0;
    UniqueService service(OpenServiceW(manager.get(), serviceName, SERVICE_QUERY_STATUS));
    if (!service) return 0;
    SERVICE_STATUS_PROCESS status = {};
    DWORD needed = 0;
    if (!QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status),
                              sizeof status, &needed))
        return 0;
    if (status.dwCurrentState != SERVICE_RUNNING || status.dwProcessId == 0) {
        SetLastError(ERROR_SERVICE_NOT_ACTIVE);
        return 0;
    }
    return status.dwProcessId;
}

} // namespace

bool IsPipeServedByService(HANDLE pipe, const wchar_t* serviceName) {
    HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
    ServerProcessIdFn serverProcessId = kernel ? reinterpret_cast<ServerProcessIdFn>(reinterpret_cast<void*>(
                                                     GetProcAddress(kernel, "GetNamedPipeServerProcessId")))
                                               : nullptr;
    if (!serverProcessId) return true; // Windows XP cannot tell; the pipe's DACL is all there is
    ULONG server = 0;
    if (!serverProcessId(pipe, &server)) return false;
    DWORD expected = ServiceProcessId(serviceName);
    if (expected == 0) return false;
    if (server != expected) {
        SetLastError(ERROR_ACCESS_DENIED);
        return false;
    }
    SetLastError(0);
    return true;
}
