#include "base/registry.h"

bool NextSubKey(HKEY key, DWORD index, wchar_t* name, DWORD capacity, bool* skip) {
    DWORD length = capacity;
    LONG status = RegEnumKeyExW(key, index, name, &length, nullptr, nullptr, nullptr, nullptr);
    *skip = status == ERROR_MORE_DATA; // this one name is too long; the next index may not be
    return status == ERROR_SUCCESS || *skip;
}
