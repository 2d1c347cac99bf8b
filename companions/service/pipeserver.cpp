#include "companions/service/pipeserver.h"

#include <sddl.h>

#include <vector>

namespace appxservice {

const wchar_t* const PipeName = L"7a6c689a-c49b-4444-8f7e-c45fc3fd7cae";
const wchar_t* const PipePath = L"\\\\.\\pipe\\7a6c689a-c49b-4444-8f7e-c45fc3fd7cae";
// LocalSystem: all pipe rights (2032031); Everyone: read and write of data, attributes and extended
// attributes plus read permissions (131483). Protected, so nothing is inherited.
const wchar_t* const PipeSecurity = L"D:P(A;;0x1f019f;;;SY)(A;;0x2019b;;;WD)";

ServicePipe::ServicePipe() : event_(CreateEventW(nullptr, TRUE /* manual reset */, FALSE, nullptr)) {}

ServicePipe::~ServicePipe() {
    Close();
}

DWORD ServicePipe::Create() {
    Close();
    if (!event_) return ERROR_NOT_ENOUGH_MEMORY;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(PipeSecurity, SDDL_REVISION_1, &descriptor,
                                                              nullptr))
        return GetLastError();
    UniqueLocal descriptorOwner(descriptor);
    SECURITY_ATTRIBUTES attributes = {};
    attributes.nLength = sizeof(attributes);
    attributes.lpSecurityDescriptor = descriptor;
    pipe_.reset(CreateNamedPipeW(PipePath, PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                                 PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS,
                                 1,    // one instance: one client at a time
                                 0, 0, // default buffer sizes
                                 0,    // default client wait
                                 &attributes));
    if (!pipe_) return GetLastError();
    return ERROR_SUCCESS;
}

DWORD ServicePipe::WaitForClient() {
    OVERLAPPED overlapped = {};
    overlapped.hEvent = event_.get();
    ResetEvent(event_.get());
    if (!ConnectNamedPipe(pipe_.get(), &overlapped)) {
        DWORD error = GetLastError();
        if (error == ERROR_IO_PENDING) {
            DWORD ignored = 0;
            if (!GetOverlappedResult(pipe_.get(), &overlapped, &ignored, TRUE /* wait */))
                return GetLastError();
        } else if (error != ERROR_PIPE_CONNECTED) {
            return error;
        }
    }
    connectedAt_ = GetTickCount64();
    return ERROR_SUCCESS;
}

DWORD ServicePipe::Transfer(bool write, void* buffer, DWORD size, DWORD* done, DWORD timeoutMs) {
    *done = 0;
    OVERLAPPED overlapped = {};
    overlapped.hEvent = event_.get();
    ResetEvent(event_.get());
    BOOL ok = write ? WriteFile(pipe_.get(), buffer, size, nullptr, &overlapped)
                    : ReadFile(pipe_.get(), buffer, size, nullptr, &overlapped);
    if (!ok) {
        DWORD error = GetLastError();
        if (error != ERROR_IO_PENDING) return error;
        if (WaitForSingleObject(event_.get(), timeoutMs) != WAIT_OBJECT_0) {
            // The operation must be settled before its buffer and OVERLAPPED go away.
            CancelIo(pipe_.get());
            GetOverlappedResult(pipe_.get(), &overlapped, done, TRUE);
            return ERROR_TIMEOUT;
        }
    }
    if (!GetOverlappedResult(pipe_.get(), &overlapped, done, FALSE)) return GetLastError();
    return ERROR_SUCCESS;
}

DWORD ServicePipe::ReadExact(void* buffer, DWORD size, ULONGLONG deadline) {
    BYTE* bytes = static_cast<BYTE*>(buffer);
    DWORD got = 0;
    // A client may send the message in pieces: keep reading until all of it is there.
    while (got < size) {
        ULONGLONG now = GetTickCount64();
        if (now >= deadline) return ERROR_TIMEOUT;
        DWORD done = 0;
        DWORD error = Transfer(false, bytes + got, size - got, &done, static_cast<DWORD>(deadline - now));
        if (error == ERROR_MORE_DATA) error = ERROR_SUCCESS;
        if (error != ERROR_SUCCESS) return error;
        if (done == 0) return ERROR_BROKEN_PIPE;
        got += done;
    }
    return ERROR_SUCCESS;
}

DWORD ServicePipe::ReadRequest(std::wstring* text) {
    text->clear();
    ULONGLONG deadline = connectedAt_ + RequestTimeoutMs;
    BYTE header[4] = {};
    DWORD error = ReadExact(header, sizeof(header), deadline);
    if (error != ERROR_SUCCESS) return error;
    LONG count = static_cast<LONG>(header[0] | (header[1] << 8) | (header[2] << 16) |
                                   (static_cast<DWORD>(header[3]) << 24));
    if (count < 0 || static_cast<DWORD>(count) > MaxRequestBytes || count % 2 != 0) return ERROR_INVALID_DATA;
    std::vector<wchar_t> buffer(count / 2 + 1, L'\0');
    if (count > 0) {
        error = ReadExact(buffer.data(), static_cast<DWORD>(count), deadline);
        if (error != ERROR_SUCCESS) return error;
    }
    text->assign(buffer.data(), count / 2);
    return ERROR_SUCCESS;
}

DWORD ServicePipe::WriteReply(const std::wstring& text) {
    DWORD count = static_cast<DWORD>(text.size() * sizeof(wchar_t));
    std::vector<BYTE> message(4 + count);
    message[0] = static_cast<BYTE>(count);
    message[1] = static_cast<BYTE>(count >> 8);
    message[2] = static_cast<BYTE>(count >> 16);
    message[3] = static_cast<BYTE>(count >> 24);
    if (count) memcpy(message.data() + 4, text.data(), count);
    DWORD done = 0;
    DWORD error = Transfer(true, message.data(), static_cast<DWORD>(message.size()), &done, ReplyTimeoutMs);
    if (error != ERROR_SUCCESS) return error;
    return done == message.size() ? ERROR_SUCCESS : ERROR_WRITE_FAULT;
}

void ServicePipe::Close() {
    // Closing without DisconnectNamedPipe (which discards what the client has not read yet) and
    // without FlushFileBuffers (which waits as long as the client does not read): the client still
    // reads the last replies and then sees the pipe end.
    pipe_.reset();
}

} // namespace appxservice
