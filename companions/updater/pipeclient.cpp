#include "companions/updater/pipeclient.h"

#include "base/pipemessage.h"
#include "base/servicepeer.h"

namespace updater {

bool ServiceClient::Connect(const std::wstring& pipeName, const std::wstring& serviceName, DWORD timeoutMs,
                            DWORD* why) {
    std::wstring path = L"\\\\.\\pipe\\" + pipeName;
    DWORD start = GetTickCount();
    DWORD error = 0;
    for (;;) {
        // SECURITY_IMPERSONATION: the service registers packages as this user, so it must be able
        // to act as us; that is why the server end is checked before anything is sent.
        pipe_.reset(CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0 /* no sharing */,
                                nullptr, // default security
                                OPEN_EXISTING,
                                // overlapped, so that every transfer can be given a limit
                                SECURITY_SQOS_PRESENT | SECURITY_IMPERSONATION | FILE_FLAG_OVERLAPPED,
                                nullptr)); // no template
        error = GetLastError();
        if (pipe_) break;
        DWORD elapsed = GetTickCount() - start;
        if (elapsed >= timeoutMs) break;
        if (error == ERROR_PIPE_BUSY) {
            // The one instance is serving another client; wait for it within what is left.
            if (!WaitNamedPipeW(path.c_str(), timeoutMs - elapsed)) {
                error = GetLastError();
                if (error == ERROR_SEM_TIMEOUT || GetTickCount() - start >= timeoutMs) break;
            }
        } else if (error == ERROR_FILE_NOT_FOUND) {
            // Between two clients the service has no pipe for a moment.
            Sleep(10);
        } else {
            break;
        }
    }
    if (!pipe_) {
        if (why) *why = error;
        return false;
    }
    if (!IsPipeServedByService(pipe_.get(), serviceName.c_str())) {
        if (why) *why = GetLastError();
        pipe_.reset();
        return false;
    }
    if (why) *why = 0;
    return true;
}

void ServiceClient::Send(const std::wstring& text) {
    if (text.size() > MaxMessageBytes / sizeof(wchar_t)) throw PipeError(ERROR_INVALID_DATA);
    DWORD code = WriteMessage(pipe_.get(), text.data(), static_cast<DWORD>(text.size()), replyLimitMs_);
    if (code != 0) throw PipeError(code);
}

std::wstring ServiceClient::Receive() {
    // A count that is odd, negative as the writer's signed integer, or beyond any reply the service
    // sends is a broken conversation, not a size to allocate.
    DWORD count = 0;
    DWORD code = ReadMessageCount(pipe_.get(), replyLimitMs_, &count);
    if (code != 0) throw PipeError(code);
    std::wstring text(count / 2, L'\0');
    code = ReadMessageText(pipe_.get(), count ? &text[0] : nullptr, count, replyLimitMs_);
    if (code != 0) throw PipeError(code);
    return text;
}

} // namespace updater
