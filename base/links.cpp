#include "base/links.h"

#include <new>
#include <wchar.h>

bool PathCrossesLink(const wchar_t* base, const wchar_t* path) {
    if (!base || !path) return true;
    size_t baseLength = wcslen(base);
    while (baseLength > 0 && base[baseLength - 1] == L'\\')
        --baseLength;
    size_t pathLength = wcslen(path);
    if (pathLength < baseLength || _wcsnicmp(base, path, baseLength) != 0) return true;
    if (pathLength == baseLength) return false;
    if (path[baseLength] != L'\\') return true; // "C:\Users\Al" is not below "C:\Users\A"

    // Each prefix of path that ends before a backslash (and path itself) names one level to check.
    wchar_t stack[MAX_PATH];
    wchar_t* copy = pathLength < MAX_PATH ? stack : new (std::nothrow) wchar_t[pathLength + 1];
    if (!copy) return true;
    wmemcpy(copy, path, pathLength + 1);
    bool crosses = false;
    for (size_t i = baseLength + 1; i <= pathLength && !crosses; ++i) {
        if (i < pathLength && copy[i] != L'\\') continue;
        if (i > 0 && copy[i - 1] == L'\\') continue; // doubled or trailing backslash
        wchar_t saved = copy[i];
        copy[i] = L'\0';
        DWORD attributes = GetFileAttributesW(copy);
        crosses = attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
        copy[i] = saved;
    }
    if (copy != stack) delete[] copy;
    return crosses;
}
