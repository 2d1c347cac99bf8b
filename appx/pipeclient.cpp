// The tool's client of the service's pipe. Every message, either way, is a 32-bit little-endian
// byte count followed by that many bytes of UTF-16LE text without a terminating zero.
#include "appx/appx.h"

#include "driver/common.h"
#include "driver/raii.h"
#include "driver/servicepeer.h"

#include <wchar.h>

namespace {

const DWORD OpenAttempts = 30;

// Reads exactly size bytes. A byte-mode pipe may hand over less than asked; a read that fails
// before the count is complete (the server closed the pipe mid-message) ends with its code.
DWORD ReadExactly(HANDLE pipe, void* buffer, DWORD size) {
    BYTE* at = static_cast<BYTE*>(buffer);
    while (size > 0) {
        DWORD read = 0;
        if (!ReadFile(pipe, at, size, &read, nullptr)) return GetLastError();
        if (read == 0) return ERROR_HANDLE_EOF;
        at += read;
        size -= read;
    }
    return 0;
}

} // namespace

wchar_t* BuildPipeName(const wchar_t* pipeName, const wchar_t* serverName) {
    if (!pipeName) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    HANDLE heap = GetProcessHeap();
    const wchar_t* machine = L".";
    if (serverName) {
        machine = serverName;
        const DWORD nameChars = MAX_COMPUTERNAME_LENGTH + 1;
        wchar_t* local =
            static_cast<wchar_t*>(HeapAlloc(heap, HEAP_ZERO_MEMORY, nameChars * sizeof(wchar_t)));
        DWORD size = nameChars;
        if (local && GetComputerNameW(local, &size) && _wcsicmp(local, serverName) == 0) machine = L".";
        if (local) HeapFree(heap, 0, local);
    }
    size_t chars = 2 + wcslen(machine) + 6 + wcslen(pipeName) + 1;
    wchar_t* name = static_cast<wchar_t*>(HeapAlloc(heap, HEAP_ZERO_MEMORY, chars * sizeof(wchar_t)));
    if (!name) {
        SetLastError(ERROR_OUTOFMEMORY);
        return nullptr;
    }
    FormatBounded(name, chars, L"\\\\%ws\\pipe\\%ws", machine, pipeName);
    return name;
}

HANDLE OpenPipeWithRetry(const wchar_t* name, DWORD access, DWORD share, SECURITY_ATTRIBUTES* security,
                         DWORD disposition, DWORD flags, HANDLE templateFile) {
    // The retries also bridge the moment between two clients, when the service has closed one pipe
    // instance and not yet created the next.
    for (DWORD attempt = 0; attempt < OpenAttempts; ++attempt) {
        HANDLE pipe = CreateFileW(name, access, share, security, disposition, flags, templateFile);
        if (pipe != INVALID_HANDLE_VALUE) return pipe;
        DWORD code = GetLastError();
        Sleep(1000);
        SetLastError(code);
    }
    return INVALID_HANDLE_VALUE;
}

DWORD GetAppxPackagesBySid(const wchar_t* userSid, const wchar_t* listFile, const wchar_t* profile,
                           bool waitForDone) {
    DebugPrint(L"DEBUG: In GetAppxPackagesBySid() pwsNewUserName is:");
    size_t textChars = wcslen(userSid) + wcslen(listFile) + wcslen(profile) + 9;
    GuardedPtr text(GuardedAllocChars(textChars));
    if (!text) return ERROR_OUTOFMEMORY;
    FormatBounded(text.chars(), textChars, L"-user|%ws|%ws|%ws", userSid, listFile, profile);
    DebugPrint(L"DEBUG: Calling Service with params:");
    OutputDebugStringW(text.chars());

    wchar_t* pipeName = BuildPipeName(AppxPipeName, nullptr /* local machine */);
    if (!pipeName) return ERROR_BAD_PIPE;
    // Identification level only: whoever serves the pipe may learn who the client is but can never
    // act as the administrator who runs the tool.
    UniqueFile pipe(OpenPipeWithRetry(pipeName, GENERIC_READ | GENERIC_WRITE, 0 /* no sharing */, nullptr,
                                      OPEN_EXISTING, SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION,
                                      nullptr));
    DWORD code = pipe ? 0 : GetLastError();
    HeapFree(GetProcessHeap(), 0, pipeName);
    if (!pipe) return code;
    // A program that took the pipe name before the service must not receive the request.
    if (!IsPipeServedByService(pipe.get(), AppxServiceName)) {
        code = GetLastError();
        return code != 0 ? code : ERROR_ACCESS_DENIED;
    }

    DWORD textBytes = static_cast<DWORD>(wcslen(text.chars()) * sizeof(wchar_t));
    GuardedPtr message(GuardedAlloc(textBytes + 4));
    if (!message) return ERROR_OUTOFMEMORY;
    CopyMemory(message.get(), &textBytes, 4);
    CopyMemory(static_cast<BYTE*>(message.get()) + 4, text.get(), textBytes);
    DWORD written = 0;
    if (!WriteFile(pipe.get(), message.get(), textBytes + 4, &written, nullptr)) return GetLastError();
    if (written != textBytes + 4) return ERROR_WRITE_FAULT;

    for (;;) {
        LONG length = 0;
        code = ReadExactly(pipe.get(), &length, 4);
        if (code != 0) return code;
        // The length comes from another process: bound it before it sizes an allocation.
        if (length < 0 || length > MaxReplyBytes) return ERROR_INVALID_DATA;
        GuardedPtr reply(GuardedAllocChars(static_cast<SIZE_T>(length) / 2 + 1));
        if (!reply) return ERROR_OUTOFMEMORY;
        code = ReadExactly(pipe.get(), reply.get(), static_cast<DWORD>(length));
        if (code != 0) return code;
        if (!waitForDone) return 0;
        if (length == 8 && _wcsnicmp(reply.chars(), L"Done", 4) == 0) return 0;
    }
}
