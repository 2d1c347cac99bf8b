// A pipe client for the service tests that speaks the service's framing byte for byte, and the
// helpers that install and watch the service under Wine's service control manager.
#pragma once

#include "base/pipemessage.h"

#include <windows.h>

#include <string>
#include <vector>

namespace service_test {

const wchar_t* const PipePath = ServicePipePath;
const wchar_t ServiceName[] = L"QuillmarAppxService";

class PipeClient {
  public:
    PipeClient() = default;
    ~PipeClient();
    PipeClient(const PipeClient&) = delete;
    PipeClient& operator=(const PipeClient&) = delete;

    // Opens the pipe, retrying while the service is between two clients. flags: the CreateFileW
    // flags, such as the security quality of service the server may impersonate at.
    bool Open(DWORD timeoutMs = 15000, DWORD flags = 0);
    // The 4-byte little-endian count and the UTF-16LE text.
    bool Send(const std::wstring& text);
    bool SendRaw(const std::string& bytes);
    // One reply; false when the pipe failed or ended (error() says why).
    bool ReadReply(std::wstring* text);
    // Every reply until the service closes the pipe.
    std::vector<std::wstring> ReadAll();
    void Close();
    DWORD error() const { return error_; }
    HANDLE handle() const { return pipe_; }

  private:
    bool ReadExact(void* buffer, DWORD size);
    HANDLE pipe_ = INVALID_HANDLE_VALUE;
    DWORD error_ = 0;
};

// Opens, sends one request and reads every reply until the pipe closes.
std::vector<std::wstring> Exchange(const std::wstring& request);
std::string Frame(const std::wstring& text);

// The service program: CORVANE_SERVICE_EXE when set (the shipped 32-bit build), else the test build
// in C:\corvane-tests.
std::wstring ServiceProgram();
// The service, created with the service control manager for ServiceProgram(), started, and
// stopped and deleted by RemoveService.
bool InstallAndStartService(std::wstring* failure);
void RemoveService();
DWORD ServiceProcessId();

// Collects what other processes send to the debugger output (the DBWIN buffer protocol), which is
// where the service mirrors its event log entries.
class DebugMonitor {
  public:
    DebugMonitor();
    ~DebugMonitor();
    bool ok() const { return ok_; }
    // Lines from process pid seen so far, in order.
    std::vector<std::string> Lines(DWORD pid) const;
    // Waits until a line from pid equals text; false after timeoutMs.
    bool WaitFor(DWORD pid, const std::string& text, DWORD timeoutMs = 10000) const;
    void Clear();

  private:
    static DWORD WINAPI Run(void* self);
    HANDLE mutex_ = nullptr, bufferReady_ = nullptr, dataReady_ = nullptr, mapping_ = nullptr;
    HANDLE thread_ = nullptr, stop_ = nullptr;
    void* view_ = nullptr;
    bool ok_ = false;
    mutable CRITICAL_SECTION lock_;
    std::vector<std::pair<DWORD, std::string>> lines_;
};

std::wstring CurrentUserSid();
std::wstring LocalAppData();
std::string Narrow(const std::wstring& text);

} // namespace service_test
