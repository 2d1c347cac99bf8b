#include "driver/onerun.h"

#include "driver/common.h"

#include <sddl.h>

const wchar_t* const OneRunMutexName = L"Global\\Corvane-OneRun";

DWORD AcquireOneRun(OneRun* held, DWORD waitMs) {
    // Protected DACL: full access for LocalSystem and Administrators, nothing for anyone else.
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:P(A;;GA;;;SY)(A;;GA;;;BA)", SDDL_REVISION_1,
                                                              &descriptor, nullptr /* size not needed */))
        return GetLastError();
    UniqueLocal descriptorOwner(descriptor);
    SECURITY_ATTRIBUTES attributes = {};
    attributes.nLength = sizeof attributes;
    attributes.lpSecurityDescriptor = descriptor;
    attributes.bInheritHandle = FALSE;

    // Not owned at creation: whether made here or opened, the wait below is what takes it.
    held->mutex.reset(CreateMutexW(&attributes, FALSE, OneRunMutexName));
    if (!held->mutex) return GetLastError() ? GetLastError() : ERROR_GEN_FAILURE;

    DWORD waited = WaitForSingleObject(held->mutex.get(), waitMs);
    if (waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED) {
        held->owned = true;
        return 0;
    }
    if (waited == WAIT_TIMEOUT) {
        ConsolePrint(
            L"Another run of Corvane is changing the default profile or the Store-app service on this "
            L"computer; nothing has been changed. Run Corvane again when it has ended.\r\n");
        return ERROR_BUSY;
    }
    DWORD error = GetLastError();
    return error ? error : ERROR_GEN_FAILURE;
}
