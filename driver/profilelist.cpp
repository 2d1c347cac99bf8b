#include "driver/profilelist.h"

#include "driver/common.h"
#include "driver/raii.h"

#include <wchar.h>

bool ProfileImagePathMatches(HKEY entry, const wchar_t* profilePath) {
    wchar_t stored[260] = {};
    DWORD bytes = sizeof stored;
    if (RegQueryValueExW(entry, L"ProfileImagePath", nullptr, nullptr, reinterpret_cast<BYTE*>(stored), &bytes) !=
        ERROR_SUCCESS)
        return false;
    stored[259] = L'\0'; // a value of exactly 520 bytes has no terminator of its own
    wchar_t expanded[260];
    DWORD needed = ExpandEnvironmentStringsW(stored, expanded, 260);
    return needed != 0 && needed <= 260 && _wcsicmp(expanded, profilePath) == 0;
}

bool GetProfileSidString(const wchar_t* profilePath, wchar_t* sidString) {
    if (!sidString) return false;
    UniqueKey list;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, ProfileListKey, 0, KEY_READ, list.put()) != ERROR_SUCCESS) return false;

    for (DWORD index = 0;; ++index) {
        wchar_t name[256];
        DWORD nameLength = 256;
        LONG status = RegEnumKeyExW(list.get(), index, name, &nameLength, nullptr, nullptr, nullptr, nullptr);
        if (status == ERROR_NO_MORE_ITEMS) return false;
        if (status != ERROR_SUCCESS) continue; // an unreadable index is skipped; the walk still ends

        wchar_t entryPath[314];
        FormatBounded(entryPath, 314, L"%ws\\%ws", ProfileListKey, name);
        UniqueKey entry;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, entryPath, 0, KEY_READ, entry.put()) != ERROR_SUCCESS) continue;

        if (ProfileImagePathMatches(entry.get(), profilePath)) {
            wcscpy(sidString, name);
            return true;
        }
    }
}
