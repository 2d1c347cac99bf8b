#include "companions/service/pipeserver.h"

#include <sddl.h>

#include <vector>

namespace appxservice {

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
    pipe_.reset(CreateNamedPipeW(ServicePipePath, PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
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

namespace {

// What is left of the time from the connection to deadline; 0 once it has passed.
DWORD Left(ULONGLONG deadline) {
    ULONGLONG now = GetTickCount64();
    return now < deadline ? static_cast<DWORD>(deadline - now) : 0;
}

} // namespace

DWORD ServicePipe::ReadRequest(std::wstring* text) {
    text->clear();
    // The count and the text together, however the client cuts them up, within one bound.
    ULONGLONG deadline = connectedAt_ + RequestTimeoutMs;
    DWORD count = 0;
    DWORD left = Left(deadline);
    if (left == 0) return ERROR_TIMEOUT;
    DWORD error = ReadMessageCount(pipe_.get(), left, &count);
    if (error != ERROR_SUCCESS) return error;
    std::vector<wchar_t> buffer(count / 2 + 1, L'\0');
    if (count > 0) {
        left = Left(deadline);
        if (left == 0) return ERROR_TIMEOUT;
        error = ReadMessageText(pipe_.get(), buffer.data(), count, left);
        if (error != ERROR_SUCCESS) return error;
    }
    text->assign(buffer.data(), count / 2);
    return ERROR_SUCCESS;
}

DWORD ServicePipe::WriteReply(const std::wstring& text) {
    return WriteMessage(pipe_.get(), text.data(), static_cast<DWORD>(text.size()), ReplyTimeoutMs);
}

void ServicePipe::Close() {
    // Closing without DisconnectNamedPipe (which discards what the client has not read yet) and
    // without FlushFileBuffers (which waits as long as the client does not read): the client still
    // reads the last replies and then sees the pipe end.
    pipe_.reset();
}

} // namespace appxservice
