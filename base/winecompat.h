// Everything the product (the tool and the companions) does differently under Wine, in one place.
// Each function acts only when the program runs under Wine (ntdll exports wine_get_version) and is a
// plain pass-through or a no-op on Windows, so nothing here changes behaviour there. The tool-only
// functions at the end are built from base helpers alone (the profile list key, bounded formatting).
#pragma once

#include <windows.h>

// The one test for Wine, shared by the tool and the companions: ntdll exports wine_get_version.
inline bool RunningUnderWine() {
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

// Wine's GetFinalPathNameByHandleW names no path longer than MAX_PATH (it fails with ERROR_MORE_DATA
// however large the caller's buffer). Under Wine the handle's object name, which Wine gives as
// "\??\C:\...", stands in: written to buffer as "\\?\C:\...". False on Windows, or when the
// name cannot be had or does not fit.
inline bool WineLongFinalPath(HANDLE handle, wchar_t* buffer, DWORD capacity, DWORD* length) {
    if (!RunningUnderWine() || capacity < 8) return false;
    typedef LONG(NTAPI * QueryObjectFn)(HANDLE, int, void*, ULONG, ULONG*);
    QueryObjectFn query = reinterpret_cast<QueryObjectFn>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQueryObject")));
    if (!query) return false;
    struct Name {
        USHORT length, maximumLength;
        wchar_t* text;
    };
    static const ULONG size = 0x10000 + sizeof(Name);
    BYTE* block = static_cast<BYTE*>(HeapAlloc(GetProcessHeap(), 0, size));
    if (!block) return false;
    ULONG returned = 0;
    bool ok = query(handle, 1 /* ObjectNameInformation */, block, size, &returned) >= 0;
    const Name* name = reinterpret_cast<const Name*>(block);
    DWORD chars = ok ? name->length / sizeof(wchar_t) : 0;
    ok = ok && chars > 4 && chars < capacity && name->text[0] == L'\\' && name->text[1] == L'?' &&
         name->text[2] == L'?' && name->text[3] == L'\\';
    if (ok) {
        for (DWORD i = 0; i < chars; ++i)
            buffer[i] = name->text[i];
        buffer[1] = L'\\'; // "\??\" becomes "\\?\"
        buffer[chars] = L'\0';
        *length = chars;
    }
    HeapFree(GetProcessHeap(), 0, block);
    return ok;
}

// A service's last step. Windows delivers the control handler's answer to a stop before it acts on
// a later SERVICE_STOPPED; Wine lets SERVICE_STOPPED end the process first, and the manager, still
// waiting for that answer, reports the stop as failed. Under Wine the answer is given a quarter of a
// second to arrive; on Windows nothing waits.
inline void WineLetStopAnswerArrive() {
    if (RunningUnderWine()) Sleep(250);
}

// GetDefaultUserProfileDirectoryW. Wine's is a stub that fails with 122; there the folder is taken
// from ProfileList's "Default" value, which is where Windows itself keeps it.
BOOL GetDefaultProfileFolder(wchar_t* path, DWORD* size);

// Wine does not write changes to a loaded hive back to its file on unload. Before the unload, save
// the mounted hive next to its file; after the unload, put the saved copy in the file's place.
// Both return 0 and do nothing on Windows.
DWORD WineSaveMountedHive(const wchar_t* mountKey, const wchar_t* hiveFile);
DWORD WineReplaceHiveFile(const wchar_t* hiveFile);
