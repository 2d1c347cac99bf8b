#include "driver/privileges.h"

#include "driver/common.h"
#include "base/raii.h"

// The thread's impersonation token when it has one, else the process token; empty on failure.
static UniqueHandle OpenQueryToken() {
    UniqueHandle token;
    if (OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE /* as self */, token.put())) return token;
    if (GetLastError() != ERROR_NO_TOKEN) return UniqueHandle();
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.put())) return UniqueHandle();
    return token;
}

bool IsAdministratorsMember() {
    UniqueHandle token = OpenQueryToken();
    if (!token) return false;
    DWORD size = 0;
    GetTokenInformation(token.get(), TokenGroups, nullptr, 0, &size);
    GuardedPtr buffer(GuardedHeapAlloc(GetProcessHeap(), 0, size));
    if (!GetTokenInformation(token.get(), TokenGroups, buffer.get(), size, &size)) return false;

    SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
    PSID admins = nullptr;
    if (!AllocateAndInitializeSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0,
                                  0, &admins))
        return false;
    // Attributes are not consulted: a deny-only entry counts as membership here.
    const TOKEN_GROUPS* groups = buffer.as<TOKEN_GROUPS>();
    bool member = false;
    for (DWORD i = 0; i < groups->GroupCount && !member; ++i)
        member = EqualSid(groups->Groups[i].Sid, admins) != 0;
    FreeSid(admins);
    return member;
}

bool HasAdministratorPrivileges() {
    UniqueHandle token = OpenQueryToken();
    if (!token) return false;
    DWORD size = 0;
    GetTokenInformation(token.get(), TokenPrivileges, nullptr, 0, &size);
    if (size == 0) return false;
    GuardedPtr buffer(GuardedHeapAlloc(GetProcessHeap(), 0, size));
    if (!GetTokenInformation(token.get(), TokenPrivileges, buffer.get(), size, &size)) return false;
    // A filtered (non-elevated) administrator token holds exactly five privileges.
    return buffer.as<TOKEN_PRIVILEGES>()->PrivilegeCount != 5;
}

bool EnablePrivilege(HANDLE token, const wchar_t* name) {
    TOKEN_PRIVILEGES change = {};
    if (!LookupPrivilegeValueW(nullptr /* local system */, name, &change.Privileges[0].Luid)) {
        DebugPrint(L"LookupPrivilegeValue error: %u\n", GetLastError());
        return false;
    }
    change.PrivilegeCount = 1;
    change.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    // The return value is not enough: it is TRUE with ERROR_NOT_ALL_ASSIGNED when the token lacks it.
    AdjustTokenPrivileges(token, FALSE, &change, sizeof change, nullptr, nullptr);
    DWORD error = GetLastError();
    if (error != ERROR_SUCCESS) {
        DebugPrint(L"AdjustTokenPrivileges error: %u\n", error);
        return false;
    }
    return true;
}
