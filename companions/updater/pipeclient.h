// The updater's side of the service pipe: one request, then replies, framed as
// base/pipemessage.h says.
#pragma once

#include "base/raii.h"

#include <windows.h>

#include <stdexcept>
#include <string>

namespace updater {

// A pipe failure while talking to the service (the Win32 code of the failing call, or
// ERROR_INVALID_DATA for a reply that breaks the framing).
class PipeError : public std::runtime_error {
  public:
    explicit PipeError(DWORD code) : std::runtime_error("pipe error"), code_(code) {}
    DWORD code() const { return code_; }

  private:
    DWORD code_;
};

// How long the updater waits for one reply of the service before it gives the service up. A reply
// comes before each package, so this is more than one registration may take in the service
// (appxcore::RegistrationLimitMs), yet a new user whose service hangs waits minutes, not for ever.
const DWORD ServiceReplyLimitMs = 6 * 60 * 1000;

class ServiceClient {
  public:
    // Connects within timeoutMs to \\.\pipe\<pipeName>, allowing the server to impersonate this
    // process, and checks that the running service serviceName serves it. False when there is no
    // such server in time, or another process serves the pipe (then nothing is sent); *why, if
    // given, receives the reason as a Win32 code.
    bool Connect(const std::wstring& pipeName, const std::wstring& serviceName, DWORD timeoutMs,
                 DWORD* why = nullptr);

    // Raise PipeError; ERROR_TIMEOUT when the service takes longer than the reply limit.
    void Send(const std::wstring& text);
    std::wstring Receive();

    // The longest wait for one write or one reply (ServiceReplyLimitMs unless set).
    void SetReplyLimit(DWORD limitMs) { replyLimitMs_ = limitMs; }

  private:
    UniqueFile pipe_;
    DWORD replyLimitMs_ = ServiceReplyLimitMs;
};

} // namespace updater
