#include "base/registry.h"

#include "base/format.h"

bool NextSubKey(HKEY key, DWORD index, wchar_t* name, DWORD capacity, bool* skip) {
    DWORD length = capacity;
    LONG status = RegEnumKeyExW(key, index, name, &length, nullptr, nullptr, nullptr, nullptr);
    *skip = status == ERROR_MORE_DATA; // this one name is too long; the next index may not be
    return status == ERROR_SUCCESS || *skip;
}

UniqueKey OpenMountedKey(const wchar_t* keyTemplate, const wchar_t* mountName, REGSAM access) {
    wchar_t path[MAX_PATH];
    UniqueKey key;
    if (FormatBounded(path, MAX_PATH, keyTemplate, mountName) != S_OK)
        return key; // a cut path names another key
    RegOpenKeyExW(HKEY_USERS, path, 0, access | HiveView, key.put());
    return key;
}
