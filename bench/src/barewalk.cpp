// The floor for the update's folder copy on this platform: the same fifteen folders, in the same
// order, copied with nothing but FindFirstFileW/FindNextFileW, CreateDirectoryW and CopyFileW, with one
// path buffer per side that is appended to and cut back in place.
//
//   barewalk <source profile folder> <destination profile folder>
//   barewalk /rows      prints the fifteen relative folders, one a line (empty lines for empty rows)
// Prints "copies=<files copied> failures=<failed calls>"; exit code 0 when nothing failed.
#include "rows.h"

#include <stdio.h>

namespace {

const size_t Room = 32768;
wchar_t Source[Room];
wchar_t Target[Room];
unsigned long long Copies = 0;
unsigned long long Failures = 0;

// Source and Target hold a folder of sourceLength and targetLength characters.
void Walk(size_t sourceLength, size_t targetLength) {
    if (!CreateDirectoryW(Target, nullptr)) {
        DWORD error = GetLastError();
        // Like the tool, a destination whose parents are missing gets them first.
        if (error == ERROR_PATH_NOT_FOUND) error = SHCreateDirectoryExW(nullptr, Target, nullptr);
        if (error != ERROR_SUCCESS && error != ERROR_ALREADY_EXISTS) ++Failures;
    }
    wcscpy(Source + sourceLength, L"\\*");
    WIN32_FIND_DATAW entry;
    HANDLE find = FindFirstFileW(Source, &entry);
    if (find == INVALID_HANDLE_VALUE) {
        ++Failures;
        return;
    }
    Source[sourceLength] = Target[targetLength] = L'\\';
    do {
        const wchar_t* name = entry.cFileName;
        if (name[0] == L'.' && (name[1] == 0 || (name[1] == L'.' && name[2] == 0))) continue;
        size_t length = wcslen(name);
        if (sourceLength + length + 3 > Room || targetLength + length + 3 > Room) {
            ++Failures;
            continue;
        }
        wmemcpy(Source + sourceLength + 1, name, length + 1);
        wmemcpy(Target + targetLength + 1, name, length + 1);
        if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            if (!(entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
                Walk(sourceLength + 1 + length, targetLength + 1 + length);
        } else if (CopyFileW(Source, Target, FALSE)) {
            ++Copies;
        } else {
            ++Failures;
        }
    } while (FindNextFileW(find, &entry));
    FindClose(find);
    Source[sourceLength] = Target[targetLength] = 0;
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc == 2 && wcscmp(argv[1], L"/rows") == 0) {
        for (const std::wstring& row : bench::RowFolders())
            printf("%ls\n", row.c_str());
        return 0;
    }
    if (argc != 3) {
        fprintf(stderr, "usage: barewalk <source profile folder> <destination profile folder>\n");
        return 87;
    }
    std::vector<std::wstring> rows = bench::RowFolders();
    for (const std::wstring& row : rows) {
        if (row.empty()) continue;
        int s = _snwprintf(Source, Room, L"%ls\\%ls", argv[1], row.c_str());
        int t = _snwprintf(Target, Room, L"%ls\\%ls", argv[2], row.c_str());
        if (s < 0 || t < 0) return 206;
        Walk(static_cast<size_t>(s), static_cast<size_t>(t));
    }
    printf("copies=%llu failures=%llu\n", Copies, Failures);
    return Failures ? 1 : 0;
}
