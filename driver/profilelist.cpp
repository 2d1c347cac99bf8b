#include "driver/profilelist.h"

#include "base/raii.h"

#include <wchar.h>

static bool SamePath(const wchar_t* a, const wchar_t* b) {
    return _wcsicmp(a, b) == 0;
}

bool ProfileImagePathMatches(HKEY entry, const wchar_t* profilePath) {
    return ProfileImagePathMatches(entry, profilePath, SamePath);
}

bool FindProfileSid(HKEY list, const wchar_t* profilePath, wchar_t* sidString) {
    return FindProfileSid(list, profilePath, sidString, SamePath);
}

bool GetProfileSidString(const wchar_t* profilePath, wchar_t* sidString) {
    if (!sidString) return false;
    UniqueKey list;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, ProfileListKey, 0, KEY_READ, list.put()) != ERROR_SUCCESS)
        return false;
    return FindProfileSid(list.get(), profilePath, sidString);
}
