// The body of the AppX Management Service: the start-up work and the pipe server thread with its
// request table. The service glue (dispatcher, control handler) lives in main.cpp.
#pragma once

#include "companions/appxcore/manageappx.h"
#include "companions/service/eventlog.h"
#include "companions/service/pipeserver.h"
#include "companions/service/request.h"

#include <string>
#include <vector>

namespace appxservice {

// The one reply a client gets when it may not have the service list packages.
extern const wchar_t* const AccessDeniedReply; // "Access Denied"

// The file version of this program's version resource, "a.b.c.d"; raises AppxError.
std::wstring ServiceVersionText();
// The name of the first ProfileList sub-key whose ProfileImagePath (expanded) equals folder,
// ordinally ignoring case; "" when none does.
std::wstring GetSidFromProfilePath(const std::wstring& folder);

class QuillmarStoreAppManagementService {
  public:
    QuillmarStoreAppManagementService();
    QuillmarStoreAppManagementService(const QuillmarStoreAppManagementService&) = delete;
    QuillmarStoreAppManagementService& operator=(const QuillmarStoreAppManagementService&) = delete;

    // Logs the start, runs the pending tile backups and starts the server thread. Never raises.
    void OnStart();
    // Nothing to do: the server thread waits for clients until the process ends.
    void OnStop() {}
    // The readiness probe (code 128) and any other user-defined code: accepted, nothing done.
    void OnCustomCommand(DWORD) {}

  private:
    static DWORD WINAPI ServerThreadProc(void* self);
    // Serves clients one after another; returns only by an exception, which ServerThreadProc logs.
    void ServerThread();
    void LogServerFault(const std::wstring& text) noexcept;
    void ServeClient(ServicePipe& pipe);
    void Dispatch(ServicePipe& pipe, const Request& request);

    // The client of one request: its token, taken before the first reply, and what it says.
    struct Caller {
        UniqueHandle token;
        std::wstring sid;
        std::wstring localAppData;
        std::wstring profileFolder;
    };

    // The registration's replies, log entries, impersonation and tile restore for one client.
    class RegistrationReplies;

    void Listing(ServicePipe& pipe, const Request& request, Caller& caller);
    void Registration(ServicePipe& pipe, appxcore::RegisterType mode, Caller& caller);
    void RestoreMenu(ServicePipe& pipe, Caller& caller);
    void RestoreTileDataLayer(const Caller& caller);
    // Takes the client's token and reads its SID and folders; raises AppxError.
    void TakeClientIdentity(ServicePipe& pipe, Caller& caller);
    // Why a listing may not write where it was asked to ("" when it may).
    std::wstring ListingLinkRefusal(const std::wstring& listFile, const std::wstring& profile,
                                    bool windows10);

    // Replies; Reply raises AppxError when the reply cannot be written, TryReply logs
    // "Pipe has gone away" and lets the work go on.
    void Reply(ServicePipe& pipe, const std::wstring& text);
    void TryReply(ServicePipe& pipe, const std::wstring& text);

    ServiceEventLog eventLog_;
    appxcore::ManageAppx appx_; // requests: tile backups report nowhere
};

} // namespace appxservice
