#include "base/sids.h"

#include "base/raii.h"

#include <sddl.h>
#include <wchar.h>

bool IsStringSid(const wchar_t* text) {
    if (!text || !text[0] || wcslen(text) > MaxSidChars) return false;
    for (const wchar_t* at = text; *at; ++at)
        if (*at == L'\\' || *at == L'/') return false;
    PSID binary = nullptr;
    if (!ConvertStringSidToSidW(text, &binary)) return false;
    LocalFree(binary);
    return true;
}

DWORD TokenUserSidText(HANDLE token, wchar_t** text) {
    *text = nullptr;
    BYTE buffer[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    DWORD size = 0;
    if (!GetTokenInformation(token, TokenUser, buffer, sizeof buffer, &size)) return GetLastError();
    if (!ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid, text)) return GetLastError();
    return 0;
}

DWORD CurrentUserSidText(wchar_t** text) {
    *text = nullptr;
    UniqueHandle token;
    if (!OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE /* as the process */, token.put())) {
        DWORD error = GetLastError();
        if (error != ERROR_NO_TOKEN) return error;
        if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.put())) return GetLastError();
    }
    return TokenUserSidText(token.get(), text);
}
