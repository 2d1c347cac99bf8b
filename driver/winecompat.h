// Everything the tool does differently under Wine, in one place. Each function acts only when the
// program runs under Wine (ntdll exports wine_get_version) and is a plain pass-through or a no-op on
// Windows, so nothing here changes behaviour there.
#pragma once

#include <windows.h>

// The one test for Wine, shared by the tool and the companions: ntdll exports wine_get_version.
inline bool RunningUnderWine() {
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

// GetDefaultUserProfileDirectoryW. Wine's is a stub that fails with 122; there the folder is taken
// from ProfileList's "Default" value, which is where Windows itself keeps it.
BOOL GetDefaultProfileFolder(wchar_t* path, DWORD* size);

// Wine does not write changes to a loaded hive back to its file on unload. Before the unload, save
// the mounted hive next to its file; after the unload, put the saved copy in the file's place.
// Both return 0 and do nothing on Windows.
DWORD WineSaveMountedHive(const wchar_t* mountKey, const wchar_t* hiveFile);
DWORD WineReplaceHiveFile(const wchar_t* hiveFile);
