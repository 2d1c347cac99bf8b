#include "companions/updater/pipeclient.h"

#include "driver/pipeio.h"
#include "driver/servicepeer.h"

namespace updater {

std::string FrameMessage(const std::wstring& text) {
    DWORD count = static_cast<DWORD>(text.size() * sizeof(wchar_t));
    std::string bytes(4 + count, '\0');
    for (int i = 0; i < 4; ++i)
        bytes[i] = static_cast<char>((count >> (8 * i)) & 0xFF);
    if (count) memcpy(&bytes[4], text.data(), count);
    return bytes;
}

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
    std::string bytes = FrameMessage(text);
    DWORD code = TransferExactly(pipe_.get(), true /* write */, &bytes[0], static_cast<DWORD>(bytes.size()),
                                 replyLimitMs_);
    if (code != 0) throw PipeError(code);
}

// A byte-mode read may return less than asked; a reply is only whole when every byte has come.
void ServiceClient::ReadExactly(void* buffer, DWORD size) {
    DWORD code = TransferExactly(pipe_.get(), false /* read */, buffer, size, replyLimitMs_);
    if (code == ERROR_HANDLE_EOF) code = ERROR_BROKEN_PIPE;
    if (code != 0) throw PipeError(code);
}

std::wstring ServiceClient::Receive() {
    BYTE header[4];
    ReadExactly(header, 4);
    DWORD count = header[0] | (header[1] << 8) | (header[2] << 16) | (static_cast<DWORD>(header[3]) << 24);
    // A count that is odd, negative as the writer's signed integer, or beyond any reply the service
    // sends is a broken conversation, not a size to allocate.
    if (count > MaxReplyBytes || count % 2 != 0) throw PipeError(ERROR_INVALID_DATA);
    std::wstring text(count / 2, L'\0');
    if (count) ReadExactly(&text[0], count);
    return text;
}

} // namespace updater
