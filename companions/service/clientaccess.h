// Who the pipe client is, and whether it may have the service list another user's packages.
#pragma once

#include <windows.h>

#include <string>

namespace appxservice {

// True when token belongs to LocalSystem or has Administrators as an enabled group (a deny-only
// entry, as in a restricted or filtered token, does not count). The token may be a primary token
// or an impersonation token of identification level or above; it needs TOKEN_QUERY and, when
// primary, TOKEN_DUPLICATE. False when the token cannot be read.
bool ClientMayList(HANDLE token);

// Impersonates the client of pipe for as long as it lives. The constructor raises AppxError when
// ImpersonateNamedPipeClient fails, so nothing meant for the client runs as LocalSystem instead.
class ClientImpersonation {
  public:
    explicit ClientImpersonation(HANDLE pipe);
    ~ClientImpersonation();
    ClientImpersonation(const ClientImpersonation&) = delete;
    ClientImpersonation& operator=(const ClientImpersonation&) = delete;
};

struct ClientIdentity {
    std::wstring sid;          // string SID
    std::wstring localAppData; // the client's Local AppData folder
    std::wstring profileFolder;
};

// Impersonates a token taken earlier (TakeClientToken) for as long as it lives; raises AppxError
// when that fails, so nothing meant for the client runs as LocalSystem instead.
class ActingAsClient {
  public:
    explicit ActingAsClient(HANDLE token);
    ~ActingAsClient();
    ActingAsClient(const ActingAsClient&) = delete;
    ActingAsClient& operator=(const ActingAsClient&) = delete;
};

// Reads the identity and folders of the token the calling thread impersonates. Raises AppxError.
ClientIdentity ReadImpersonatedIdentity();
// The same, read from a token taken earlier (it needs TOKEN_QUERY | TOKEN_IMPERSONATE).
ClientIdentity ReadTokenIdentity(HANDLE token);
// The client's token, duplicated at impersonation level (identification level when the client
// allowed no more), taken while the client is still connected so that every later step of the
// request acts for this client whatever it does meanwhile. The caller closes it. Raises AppxError.
HANDLE TakeClientToken(HANDLE pipe);
// "DOMAIN\user" of the token's user, or its SID string; "" when neither can be had.
std::wstring TokenUserName(HANDLE token);
// The client's token (TOKEN_QUERY | TOKEN_DUPLICATE), taken while impersonating it. Raises AppxError.
HANDLE OpenClientToken(HANDLE pipe);
// The client's user name as the pipe reports it, or from its SID; "" when neither works.
std::wstring ClientUserName(HANDLE pipe);

} // namespace appxservice
