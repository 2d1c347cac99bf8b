#include "base/version.h"

bool IsWindows8OrLater = false;
bool IsWindows10OrLater = false;

typedef LONG(WINAPI* RtlGetVersionFn)(OSVERSIONINFOW*);

OsVersion ReadOsVersion() {
    // OSVERSIONINFOW is 276 bytes (five DWORDs and 128 characters). RtlGetVersion takes it or the
    // 284-byte OSVERSIONINFOEXW and tells them apart by the size field, which must therefore be the
    // size of the record passed: 284 here would let it write the extended fields past the end.
    // Only the major and minor versions are read, and the plain record carries both.
    OSVERSIONINFOW info;
    ZeroMemory(&info, sizeof info);
    info.dwOSVersionInfoSize = sizeof info;
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    RtlGetVersionFn rtlGetVersion = ntdll ? reinterpret_cast<RtlGetVersionFn>(reinterpret_cast<void*>(
                                                GetProcAddress(ntdll, "RtlGetVersion")))
                                          : nullptr;
    if (rtlGetVersion) rtlGetVersion(&info);
    OsVersion v = {info.dwMajorVersion, info.dwMinorVersion};
    return v;
}

bool IsWin8OrLaterVersion(const OsVersion& v) {
    return v.major >= 10 || (v.major >= 6 && v.minor >= 2);
}
bool IsWin10OrLaterVersion(const OsVersion& v) {
    return v.major >= 10;
}

void DetectWindowsVersion() {
    OsVersion v = ReadOsVersion(); // zero, so both flags stay clear, when RtlGetVersion is missing
    IsWindows8OrLater = IsWin8OrLaterVersion(v);
    IsWindows10OrLater = IsWin10OrLaterVersion(v);
}
