#include "base/profiles.h"

#include "base/raii.h"
#include "base/registry.h"

#include <string.h>
#include <wchar.h>

bool ProfileImagePathMatches(HKEY entry, const wchar_t* profilePath, SamePathFn same) {
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
    return needed != 0 && needed <= 260 && same(expanded, profilePath);
}

bool FindProfileSid(HKEY list, const wchar_t* profilePath, wchar_t* sidString, SamePathFn same) {
    wchar_t name[256];
    bool skip = false;
    for (DWORD index = 0; NextSubKey(list, index, name, 256, &skip); ++index) {
        if (skip) continue;
        UniqueKey entry;
        if (RegOpenKeyExW(list, name, 0, KEY_READ, entry.put()) != ERROR_SUCCESS) continue;
        if (ProfileImagePathMatches(entry.get(), profilePath, same)) {
            memcpy(sidString, name, (wcslen(name) + 1) * sizeof(wchar_t));
            return true;
        }
    }
    return false;
}
