#include "driver/version.h"

bool IsWindows8OrLater = false;
bool IsWindows10OrLater = false;

typedef LONG(WINAPI* RtlGetVersionFn)(OSVERSIONINFOW*);

OsVersion ReadOsVersion() {
    // The RTL_OSVERSIONINFOW record is 284 bytes; only its size field is set before the call.
    OSVERSIONINFOW info;
    ZeroMemory(&info, sizeof info);
    info.dwOSVersionInfoSize = sizeof info;
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    RtlGetVersionFn rtlGetVersion =
        ntdll ? reinterpret_cast<RtlGetVersionFn>(reinterpret_cast<void*>(GetProcAddress(ntdll, "RtlGetVersion")))
              : nullptr;
    if (rtlGetVersion) rtlGetVersion(&info);
    OsVersion v = {info.dwMajorVersion, info.dwMinorVersion};
    return v;
}

bool IsWin8OrLaterVersion(const OsVersion& v) { return v.major >= 10 || (v.major >= 6 && v.minor >= 2); }
bool IsWin10OrLaterVersion(const OsVersion& v) { return v.major >= 10; }

void DetectWindowsVersion() {
    OsVersion v = ReadOsVersion(); // zero, so both flags stay clear, when RtlGetVersion is missing
    IsWindows8OrLater = IsWin8OrLaterVersion(v);
    IsWindows10OrLater = IsWin10OrLaterVersion(v);
}
