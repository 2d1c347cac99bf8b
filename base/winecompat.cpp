#include "base/winecompat.h"

#include "base/format.h"
#include "base/profiles.h"
#include "base/raii.h"

#include <userenv.h>

BOOL GetDefaultProfileFolder(wchar_t* path, DWORD* size) {
    if (GetDefaultUserProfileDirectoryW(path, size)) return TRUE;
    DWORD error = GetLastError();
    if (!RunningUnderWine()) {
        SetLastError(error);
        return FALSE;
    }
    UniqueKey list;
    LONG status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, ProfileListKey, 0, KEY_READ, list.put());
    wchar_t stored[MAX_PATH] = {};
    DWORD bytes = sizeof stored - sizeof(wchar_t);
    if (status == ERROR_SUCCESS)
        status = RegQueryValueExW(list.get(), L"Default", nullptr, nullptr, reinterpret_cast<BYTE*>(stored),
                                  &bytes);
    if (status != ERROR_SUCCESS) {
        SetLastError(status == ERROR_FILE_NOT_FOUND ? ERROR_FILE_NOT_FOUND : static_cast<DWORD>(status));
        return FALSE;
    }
    DWORD needed = ExpandEnvironmentStringsW(stored, path, *size);
    if (needed == 0 || needed > *size) {
        *size = needed;
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    *size = needed;
    return TRUE;
}

static bool SavedCopyName(const wchar_t* hiveFile, wchar_t* saved) {
    return FormatBounded(saved, MAX_PATH, L"%ws.corvane-wine", hiveFile) == S_OK;
}

DWORD WineSaveMountedHive(const wchar_t* mountKey, const wchar_t* hiveFile) {
    if (!RunningUnderWine()) return 0;
    wchar_t saved[MAX_PATH];
    if (!SavedCopyName(hiveFile, saved)) return ERROR_FILENAME_EXCED_RANGE;
    UniqueKey root;
    LONG status = RegOpenKeyExW(HKEY_USERS, mountKey, 0, KEY_READ, root.put());
    if (status != ERROR_SUCCESS) return static_cast<DWORD>(status);
    DeleteFileW(saved);
    return static_cast<DWORD>(RegSaveKeyW(root.get(), saved, nullptr));
}

DWORD WineReplaceHiveFile(const wchar_t* hiveFile) {
    if (!RunningUnderWine()) return 0;
    wchar_t saved[MAX_PATH];
    if (!SavedCopyName(hiveFile, saved)) return ERROR_FILENAME_EXCED_RANGE;
    if (!MoveFileExW(saved, hiveFile, MOVEFILE_REPLACE_EXISTING)) return GetLastError();
    return 0;
}
