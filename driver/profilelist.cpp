#include "driver/profilelist.h"

#include "driver/common.h"
#include "driver/raii.h"

#include <wchar.h>

bool ProfileImagePathMatches(HKEY entry, const wchar_t* profilePath) {
    wchar_t stored[261] = {}; // one more than is read, so the text always ends
    DWORD bytes = 260 * sizeof(wchar_t);
    if (RegQueryValueExW(entry, L"ProfileImagePath", nullptr, nullptr, reinterpret_cast<BYTE*>(stored),
                         &bytes) != ERROR_SUCCESS)
        return false;
    // 520 bytes without a terminator of their own hold a path of 260 characters, which does not fit;
    // cut to 259 it could match a shorter path.
    if (bytes >= 260 * sizeof(wchar_t) && stored[259] != L'\0') return false;
    wchar_t expanded[260];
    DWORD needed = ExpandEnvironmentStringsW(stored, expanded, 260);
    return needed != 0 && needed <= 260 && _wcsicmp(expanded, profilePath) == 0;
}

bool NextSubKey(HKEY key, DWORD index, wchar_t* name, DWORD capacity, bool* skip) {
    DWORD length = capacity;
    LONG status = RegEnumKeyExW(key, index, name, &length, nullptr, nullptr, nullptr, nullptr);
    *skip = status == ERROR_MORE_DATA; // this one name is too long; the next index may not be
    return status == ERROR_SUCCESS || *skip;
}

bool FindProfileSid(HKEY list, const wchar_t* profilePath, wchar_t* sidString) {
    wchar_t name[256];
    bool skip = false;
    for (DWORD index = 0; NextSubKey(list, index, name, 256, &skip); ++index) {
        if (skip) continue;
        UniqueKey entry;
        if (RegOpenKeyExW(list, name, 0, KEY_READ, entry.put()) != ERROR_SUCCESS) continue;
        if (ProfileImagePathMatches(entry.get(), profilePath)) {
            wcscpy(sidString, name);
            return true;
        }
    }
    return false;
}

bool GetProfileSidString(const wchar_t* profilePath, wchar_t* sidString) {
    if (!sidString) return false;
    UniqueKey list;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, ProfileListKey, 0, KEY_READ, list.put()) != ERROR_SUCCESS)
        return false;
    return FindProfileSid(list.get(), profilePath, sidString);
}
