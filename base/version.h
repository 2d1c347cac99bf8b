// Windows version as RtlGetVersion reports it (GetVersionEx lies to unmanifested programs).
#pragma once

#include <windows.h>

struct OsVersion {
    DWORD major;
    DWORD minor;
};

// Zero when RtlGetVersion is missing.
OsVersion ReadOsVersion();
bool IsWin8OrLaterVersion(const OsVersion& v);
bool IsWin10OrLaterVersion(const OsVersion& v);

// Process-wide flags set once by DetectWindowsVersion before the first argument is examined.
extern bool IsWindows8OrLater;
extern bool IsWindows10OrLater;
void DetectWindowsVersion();
