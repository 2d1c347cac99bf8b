#include "base/pipeio.h"

#include "base/raii.h"

#include <stdlib.h>

DWORD TransferExactly(HANDLE pipe, bool write, void* buffer, DWORD size, DWORD limitMs) {
    UniqueHandle event(CreateEventW(nullptr, TRUE /* manual reset */, FALSE, nullptr));
    if (!event) return GetLastError();
    BYTE* at = static_cast<BYTE*>(buffer);
    DWORD start = GetTickCount();
    while (size > 0) {
        OVERLAPPED overlapped = {};
        overlapped.hEvent = event.get();
        ResetEvent(event.get());
        BOOL started = write ? WriteFile(pipe, at, size, nullptr, &overlapped)
                             : ReadFile(pipe, at, size, nullptr, &overlapped);
        if (!started) {
            DWORD code = GetLastError();
            if (code != ERROR_IO_PENDING) return code;
            DWORD elapsed = GetTickCount() - start;
            DWORD left = elapsed < limitMs ? limitMs - elapsed : 0;
            if (WaitForSingleObject(event.get(), left) != WAIT_OBJECT_0) {
                CancelIo(pipe);
                DWORD ignored = 0;
                // The cancelled request must have ended before its buffer and OVERLAPPED go away.
                GetOverlappedResult(pipe, &overlapped, &ignored, TRUE);
                return ERROR_TIMEOUT;
            }
        }
        DWORD done = 0;
        if (!GetOverlappedResult(pipe, &overlapped, &done, FALSE)) return GetLastError();
        if (done == 0) return write ? ERROR_WRITE_FAULT : ERROR_HANDLE_EOF;
        at += done;
        size -= done;
    }
    return 0;
}

#ifdef CORVANE_TEST_HOOKS
namespace {
// A test build's shorter time from the environment; anything not a number below the product's own
// time leaves that time.
DWORD ShorterFromEnvironment(const wchar_t* variable, DWORD productMs) {
    wchar_t text[16] = {};
    DWORD length = GetEnvironmentVariableW(variable, text, 16);
    if (length > 0 && length < 16) {
        wchar_t* end = nullptr;
        unsigned long value = wcstoul(text, &end, 10);
        if (end != text && *end == L'\0' && value > 0 && value < productMs) return static_cast<DWORD>(value);
    }
    return productMs;
}
} // namespace
#endif

DWORD ProductWaitLimit(DWORD limitMs) {
#ifdef CORVANE_TEST_HOOKS
    return ShorterFromEnvironment(L"CORVANE_TEST_WAIT_MS", limitMs);
#else
    return limitMs;
#endif
}

DWORD ProductRetryPause(DWORD pauseMs) {
#ifdef CORVANE_TEST_HOOKS
    return ShorterFromEnvironment(L"CORVANE_TEST_RETRY_MS", pauseMs);
#else
    return pauseMs;
#endif
}
