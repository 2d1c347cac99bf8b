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
    void ServerThread();
    void ServeClient(ServicePipe& pipe);
    void Dispatch(ServicePipe& pipe, const Request& request);

    void Listing(ServicePipe& pipe, const Request& request);
    void Registration(ServicePipe& pipe, appxcore::RegisterType mode);
    void RestoreMenu(ServicePipe& pipe);
    void RestoreTileDataLayer();
    // Takes the client's token and reads its SID and folders; raises AppxError.
    void TakeClientIdentity(ServicePipe& pipe);
    // Why a listing may not write where it was asked to ("" when it may).
    std::wstring ListingLinkRefusal(const std::wstring& listFile, const std::wstring& profile, bool windows10);

    // Replies; Reply raises AppxError when the reply cannot be written, TryReply logs
    // "Pipe has gone away" and lets the work go on.
    void Reply(ServicePipe& pipe, const std::wstring& text);
    void TryReply(ServicePipe& pipe, const std::wstring& text);

    ServiceEventLog eventLog_;
    appxcore::ManageAppx appx_; // requests: tile backups report nowhere
    UniqueHandle clientToken_; // the current request's client, taken before the first reply
    std::wstring clientSid_;
    std::wstring clientLocalAppData_;
    std::wstring clientProfileFolder_;
    std::vector<appxcore::PackageInfo> packagesToRegister_;
    appxcore::RegisterType mode_ = appxcore::RegisterType::Update;
    volatile bool running_ = true;
};

} // namespace appxservice
