// The tool's client of the service's pipe; the messages are framed as base/pipemessage.h says.
#include "appx/appx.h"

#include "driver/common.h"
#include "base/raii.h"
#include "base/pipeio.h"
#include "base/pipemessage.h"
#include "base/servicepeer.h"

#include <wchar.h>

namespace {

const DWORD OpenAttempts = 30;
const DWORD OpenPauseMs = 1000;

// CreateFileW once a second (test builds may pause less), at most attempts times. With whileServiceRuns set
// it stops early once the service no longer runs: then no pipe will come.
HANDLE OpenPipe(const wchar_t* name, DWORD access, DWORD share, SECURITY_ATTRIBUTES* security,
                DWORD disposition, DWORD flags, HANDLE templateFile, DWORD attempts, bool whileServiceRuns) {
    // The retries also bridge the moment between two clients, when the service has closed one pipe
    // instance and not yet created the next.
    DWORD pause = ProductRetryPause(OpenPauseMs);
    for (DWORD attempt = 0; attempt < attempts; ++attempt) {
        HANDLE pipe = CreateFileW(name, access, share, security, disposition, flags, templateFile);
        if (pipe != INVALID_HANDLE_VALUE) return pipe;
        DWORD code = GetLastError();
        Sleep(pause);
        if (whileServiceRuns && !IsServiceRunning(AppxServiceName, nullptr, nullptr)) attempt = attempts;
        SetLastError(code);
    }
    return INVALID_HANDLE_VALUE;
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
    return OpenPipe(name, access, share, security, disposition, flags, templateFile, OpenAttempts, false);
}

DWORD GetAppxPackagesBySid(const wchar_t* userSid, const wchar_t* listFile, const wchar_t* profile,
                           bool waitForDone) {
    return AskServiceToList(userSid, listFile, profile, waitForDone, nullptr);
}

DWORD ServiceWaitLimit() {
    return ProductWaitLimit(ServiceReplyLimitMs);
}

DWORD AskServiceToList(const wchar_t* userSid, const wchar_t* listFile, const wchar_t* profile,
                       bool waitForDone, ServiceConversation* conversation) {
    ServiceConversation ignored;
    if (!conversation) conversation = &ignored;
    *conversation = ServiceConversation();
    DebugPrint(L"DEBUG: In GetAppxPackagesBySid() pwsNewUserName is:");
    size_t textChars = wcslen(userSid) + wcslen(listFile) + wcslen(profile) + 9;
    GuardedPtr text(GuardedAllocChars(textChars));
    if (!text) return ERROR_OUTOFMEMORY;
    FormatBounded(text.chars(), textChars, L"-user|%ws|%ws|%ws", userSid, listFile, profile);
    DebugPrint(L"DEBUG: Calling Service with params:");
    OutputDebugStringW(text.chars());

    wchar_t* pipeName = BuildPipeName(AppxPipeName, nullptr /* local machine */);
    if (!pipeName) return ERROR_BAD_PIPE;
    // A waiting request follows one that did not wait, and the service serves one client at a time:
    // it is given as long to become free as that first request may take.
    DWORD limit = ServiceWaitLimit();
    DWORD pause = ProductRetryPause(OpenPauseMs);
    DWORD attempts = waitForDone && limit / pause > OpenAttempts ? limit / pause : OpenAttempts;
    // Identification level only: whoever serves the pipe may learn who the client is but can never
    // act as the administrator who runs the tool. Overlapped, so that no read waits without limit.
    UniqueFile pipe(OpenPipe(pipeName, GENERIC_READ | GENERIC_WRITE, 0 /* no sharing */, nullptr,
                             OPEN_EXISTING,
                             SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION | FILE_FLAG_OVERLAPPED, nullptr,
                             attempts, waitForDone));
    DWORD code = pipe ? 0 : GetLastError();
    HeapFree(GetProcessHeap(), 0, pipeName);
    if (!pipe) return code;
    // A program that took the pipe name before the service must not receive the request.
    if (!IsPipeServedByService(pipe.get(), AppxServiceName)) {
        code = GetLastError();
        return code != 0 ? code : ERROR_ACCESS_DENIED;
    }

    size_t messageChars = wcslen(text.chars());
    if (messageChars > MaxMessageBytes / sizeof(wchar_t)) return ERROR_INVALID_PARAMETER;
    code = WriteMessage(pipe.get(), text.chars(), static_cast<DWORD>(messageChars), limit);
    if (code != 0) return code;

    for (;;) {
        // The count comes from another process: ReadMessageCount bounds it before it sizes anything.
        DWORD length = 0;
        code = ReadMessageCount(pipe.get(), limit, &length);
        if (code != 0) return code;
        GuardedPtr reply(GuardedAllocChars(static_cast<SIZE_T>(length) / 2 + 1));
        if (!reply) return ERROR_OUTOFMEMORY;
        code = ReadMessageText(pipe.get(), reply.chars(), length, limit);
        if (code != 0) return code;
        if (conversation->replies++ == 0) {
            size_t chars = static_cast<size_t>(length) / 2;
            if (chars >= sizeof conversation->firstReply / sizeof(wchar_t))
                chars = sizeof conversation->firstReply / sizeof(wchar_t) - 1;
            wmemcpy(conversation->firstReply, reply.chars(), chars);
            conversation->firstReply[chars] = L'\0';
        }
        if (!waitForDone) return 0;
        if (length == 8 && _wcsnicmp(reply.chars(), L"Done", 4) == 0) return 0;
    }
}

DWORD ListingOutcome(DWORD code, const ServiceConversation& conversation, bool waitForDone) {
    if (conversation.replies == 0) return code != 0 ? code : ERROR_INVALID_DATA;
    if (_wcsicmp(conversation.firstReply, L"Access Denied") == 0) return ERROR_ACCESS_DENIED;
    if (_wcsicmp(conversation.firstReply, L"Invalid Parameter") == 0) return ERROR_INVALID_PARAMETER;
    if (_wcsicmp(conversation.firstReply, L"Start") != 0) return ERROR_INVALID_DATA;
    // The service ends a listing by closing the pipe, with no "Done".
    if (waitForDone && code == ERROR_BROKEN_PIPE) return 0;
    return code;
}
