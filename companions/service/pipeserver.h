// The service's end of the named pipe: one instance at a time, byte mode, messages framed as
// base/pipemessage.h says.
//
// The pipe is writable by Everyone and served by LocalSystem, so every wait is bounded and every
// request is checked before it is used:
// - a request's count must lie in 0..MaxMessageBytes (64 KiB) and be even; anything else (a
//   negative count, a count above the bound, half a character) ends the exchange unread;
// - the count and the text together must arrive within RequestTimeoutMs of the connection, however
//   the client cuts them up, or the exchange ends: no client can hold the only instance;
// - a reply that the client does not take within ReplyTimeoutMs counts as not written.
// I/O is overlapped only to bound these waits; each call still waits for its own completion.
#pragma once

#include "base/pipemessage.h"
#include "base/raii.h"

#include <windows.h>

#include <string>

namespace appxservice {

extern const wchar_t* const PipeSecurity; // the pipe's DACL as SDDL
const DWORD RequestTimeoutMs = 10000;
const DWORD ReplyTimeoutMs = 30000;

class ServicePipe {
  public:
    ServicePipe();
    ~ServicePipe();
    ServicePipe(const ServicePipe&) = delete;
    ServicePipe& operator=(const ServicePipe&) = delete;

    // Creates the pipe instance with the service's security. 0 or the Win32 code.
    DWORD Create();
    // Waits for a client without a time limit. 0 when one is connected; ERROR_NO_DATA when it came
    // and went already; else the Win32 code.
    DWORD WaitForClient();
    // Reads one request within the time bound. 0 and the text, or the Win32 code that ended the
    // exchange (ERROR_INVALID_DATA for a malformed count, ERROR_TIMEOUT, or the read's own code).
    DWORD ReadRequest(std::wstring* text);
    // Writes one reply, count and text in one write. 0 or the Win32 code.
    DWORD WriteReply(const std::wstring& text);
    // Closes the instance; the client reads what is left and then sees the pipe closed.
    void Close();

    HANDLE handle() const { return pipe_.get(); }

  private:
    UniqueFile pipe_;
    UniqueHandle event_;
    ULONGLONG connectedAt_ = 0;
};

} // namespace appxservice
