// SIDs as text: validity and the running identity's SID.
#pragma once

#include <windows.h>

// The longest string SID: "S-1-", a 48-bit authority and 15 sub-authorities of ten digits.
const size_t MaxSidChars = 184;

// True for a string SID the system converts, no longer than MaxSidChars and free of path separators
// (string SIDs name keys and folders; one with a backslash must never get that far).
bool IsStringSid(const wchar_t* text);

// The token's user SID as text, LocalAlloc'd (release with LocalFree). 0 or the Win32 code.
DWORD TokenUserSidText(HANDLE token, wchar_t** text);

// The SID text of the identity the calling thread acts as: its impersonation token when it has
// one, else the process token. 0 or the Win32 code; *text as TokenUserSidText gives it.
DWORD CurrentUserSidText(wchar_t** text);
