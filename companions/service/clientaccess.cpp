#include "companions/service/clientaccess.h"

#include "companions/appxcore/packageinfo.h"
#include "base/raii.h"
#include "base/sids.h"

#include <sddl.h>
#include <shlobj.h>
#include <userenv.h>

#include <vector>

namespace appxservice {

namespace {

std::vector<BYTE> TokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS kind) {
    DWORD size = 0;
    GetTokenInformation(token, kind, nullptr, 0, &size);
    if (size == 0) return {};
    std::vector<BYTE> buffer(size);
    if (!GetTokenInformation(token, kind, buffer.data(), size, &size)) return {};
    return buffer;
}

HANDLE CurrentThreadToken() {
    HANDLE token = nullptr;
    if (!OpenThreadToken(GetCurrentThread(), TOKEN_QUERY | TOKEN_DUPLICATE | TOKEN_IMPERSONATE,
                         TRUE /* checked against the service's own identity */, &token))
        appxcore::ThrowWin32(GetLastError());
    return token;
}

} // namespace

bool ClientMayList(HANDLE token) {
    std::vector<BYTE> user = TokenInformation(token, TokenUser);
    if (user.empty()) return false;
    if (IsWellKnownSid(reinterpret_cast<TOKEN_USER*>(user.data())->User.Sid, WinLocalSystemSid)) return true;

    // CheckTokenMembership wants an impersonation token; a primary one is duplicated first.
    std::vector<BYTE> type = TokenInformation(token, TokenType);
    if (type.empty()) return false;
    UniqueHandle duplicate;
    HANDLE check = token;
    if (*reinterpret_cast<TOKEN_TYPE*>(type.data()) == TokenPrimary) {
        if (!DuplicateToken(token, SecurityIdentification, duplicate.put())) return false;
        check = duplicate.get();
    }
    BYTE sidBuffer[SECURITY_MAX_SID_SIZE];
    DWORD sidSize = sizeof(sidBuffer);
    if (!CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, sidBuffer, &sidSize)) return false;
    BOOL member = FALSE;
    if (!CheckTokenMembership(check, sidBuffer, &member)) return false;
    return member != FALSE;
}

ClientImpersonation::ClientImpersonation(HANDLE pipe) {
    if (!ImpersonateNamedPipeClient(pipe)) appxcore::ThrowWin32(GetLastError());
}

ClientImpersonation::~ClientImpersonation() {
    RevertToSelf();
}

ActingAsClient::ActingAsClient(HANDLE token) {
    if (!ImpersonateLoggedOnUser(token)) appxcore::ThrowWin32(GetLastError());
}

ActingAsClient::~ActingAsClient() {
    RevertToSelf();
}

ClientIdentity ReadImpersonatedIdentity() {
    UniqueHandle token(CurrentThreadToken());
    return ReadTokenIdentity(token.get());
}

HANDLE TakeClientToken(HANDLE pipe) {
    UniqueHandle token(OpenClientToken(pipe));
    HANDLE duplicate = nullptr;
    const DWORD access = TOKEN_QUERY | TOKEN_DUPLICATE | TOKEN_IMPERSONATE;
    if (DuplicateTokenEx(token.get(), access, nullptr, SecurityImpersonation, TokenImpersonation, &duplicate))
        return duplicate;
    DWORD error = GetLastError();
    if (error != ERROR_BAD_IMPERSONATION_LEVEL) appxcore::ThrowWin32(error);
    // The client allowed identification only: a copy at that level can still be checked.
    if (!DuplicateTokenEx(token.get(), access, nullptr, SecurityIdentification, TokenImpersonation,
                          &duplicate))
        appxcore::ThrowWin32(GetLastError());
    return duplicate;
}

std::wstring TokenUserName(HANDLE token) {
    std::vector<BYTE> user = TokenInformation(token, TokenUser);
    if (user.empty()) return L"";
    PSID sid = reinterpret_cast<TOKEN_USER*>(user.data())->User.Sid;
    wchar_t name[256], domain[256];
    DWORD nameSize = 256, domainSize = 256;
    SID_NAME_USE use;
    if (LookupAccountSidW(nullptr, sid, name, &nameSize, domain, &domainSize, &use))
        return domain[0] ? std::wstring(domain) + L"\\" + name : std::wstring(name);
    wchar_t* text = nullptr;
    if (!ConvertSidToStringSidW(sid, &text)) return L"";
    std::wstring result = text;
    LocalFree(text);
    return result;
}

ClientIdentity ReadTokenIdentity(HANDLE token) {
    ClientIdentity identity;
    std::vector<BYTE> user = TokenInformation(token, TokenUser);
    if (user.empty()) appxcore::ThrowWin32(GetLastError());
    wchar_t* text = nullptr;
    DWORD error = TokenUserSidText(token, &text);
    UniqueLocal owner(text);
    if (error != 0) appxcore::ThrowWin32(error);
    identity.sid = text;

    wchar_t path[MAX_PATH] = {};
    HRESULT result = SHGetFolderPathW(nullptr, CSIDL_LOCAL_APPDATA | CSIDL_FLAG_DONT_VERIFY, token,
                                      SHGFP_TYPE_CURRENT, path);
    if (FAILED(result)) appxcore::ThrowError(result);
    identity.localAppData = path;

    DWORD size = MAX_PATH;
    if (!GetUserProfileDirectoryW(token, path, &size)) appxcore::ThrowWin32(GetLastError());
    identity.profileFolder = path;
    return identity;
}

HANDLE OpenClientToken(HANDLE pipe) {
    ClientImpersonation client(pipe);
    return CurrentThreadToken();
}

std::wstring ClientUserName(HANDLE pipe) {
    wchar_t name[256] = {};
    if (GetNamedPipeHandleStateW(pipe, nullptr, nullptr, nullptr, nullptr, name, 256) && name[0]) return name;
    try {
        ClientImpersonation client(pipe);
        DWORD size = 256;
        if (GetUserNameW(name, &size)) return name;
    } catch (const appxcore::AppxError&) {
    }
    return L"";
}

} // namespace appxservice
