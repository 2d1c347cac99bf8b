#include "profile/backup.h"

#include "driver/common.h"
#include "driver/raii.h"
#include "profile/tree.h"

#include <wchar.h>

static bool IsDots(const wchar_t* name) { return wcscmp(name, L".") == 0 || wcscmp(name, L"..") == 0; }
static bool IsLink(DWORD attributes) {
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

bool BackupFolderName(const wchar_t* defaultPath, wchar_t* backupPath) {
    return FormatBounded(backupPath, MAX_PATH, L"%ws.corvane-backup", defaultPath) == S_OK;
}

DWORD KeepStaleBackup(const wchar_t* backupPath) {
    DWORD attributes = GetFileAttributesW(backupPath);
    if (attributes == INVALID_FILE_ATTRIBUTES) return 0;
    SYSTEMTIME now;
    GetLocalTime(&now);
    wchar_t kept[MAX_PATH];
    if (FormatBounded(kept, MAX_PATH, L"%ws-%04u%02u%02u-%02u%02u%02u", backupPath, now.wYear, now.wMonth, now.wDay,
                      now.wHour, now.wMinute, now.wSecond) != S_OK)
        return ERROR_FILENAME_EXCED_RANGE;
    if (!MoveFileW(backupPath, kept)) return GetLastError();
    ConsolePrint(L"An interrupted earlier run left the previous default profile in %ws; it has been kept there.\r\n",
                 kept);
    return 0;
}

// Calls visit(entry, childOfFirst, childOfSecond) for every entry of the folder `first` other than "."
// and "..", with the entry's path below both folders. An entry whose path would not fit in MAX_PATH
// characters is passed over, as the file calls would fail on it anyway.
template <class Visit> void ForEachEntry(const wchar_t* first, const wchar_t* second, Visit visit) {
    wchar_t pattern[MAX_PATH];
    if (FormatBounded(pattern, MAX_PATH, L"%ws\\*", first) != S_OK) return;
    WIN32_FIND_DATAW entry;
    UniqueFind find(FindFirstFileW(pattern, &entry));
    if (!find) return;
    do {
        if (IsDots(entry.cFileName)) continue;
        wchar_t a[MAX_PATH], b[MAX_PATH];
        if (FormatBounded(a, MAX_PATH, L"%ws\\%ws", first, entry.cFileName) != S_OK ||
            FormatBounded(b, MAX_PATH, L"%ws\\%ws", second, entry.cFileName) != S_OK)
            continue;
        visit(entry.dwFileAttributes, a, b);
    } while (FindNextFileW(find.get(), &entry));
}

static void MoveLevelAside(const wchar_t* from, const wchar_t* to) {
    ForEachEntry(from, to, [](DWORD attributes, const wchar_t* source, const wchar_t* target) {
        if (IsLink(attributes)) return; // never into what a link points at
        if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
            CreateDirectoryW(target, nullptr);
            MoveLevelAside(source, target);
        } else {
            MoveFileExW(source, target, MOVEFILE_REPLACE_EXISTING);
        }
    });
}

bool MoveFilesAside(const wchar_t* defaultPath, const wchar_t* backupPath) {
    wchar_t pattern[MAX_PATH];
    if (FormatBounded(pattern, MAX_PATH, L"%ws\\*", defaultPath) != S_OK) return false;
    WIN32_FIND_DATAW entry;
    UniqueFind probe(FindFirstFileW(pattern, &entry));
    if (!probe) return false;
    probe.reset();
    CreateDirectoryW(backupPath, nullptr);
    SetFileAttributesW(backupPath, FILE_ATTRIBUTE_HIDDEN);
    MoveLevelAside(defaultPath, backupPath);
    return true;
}

static void RemoveNewEntries(const wchar_t* current, const wchar_t* kept) {
    ForEachEntry(current, kept, [](DWORD attributes, const wchar_t* child, const wchar_t* keptChild) {
        if (IsLink(attributes)) return;
        if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
            DWORD keptAttributes = GetFileAttributesW(keptChild);
            if (keptAttributes != INVALID_FILE_ATTRIBUTES && (keptAttributes & FILE_ATTRIBUTE_DIRECTORY))
                RemoveNewEntries(child, keptChild);
            else
                DeleteTree(child, false); // a folder this run made
        } else if (!DeleteFileW(child)) {
            SetFileAttributesW(child, FILE_ATTRIBUTE_NORMAL);
            DeleteFileW(child);
        }
    });
}

static void MoveLevelBack(const wchar_t* kept, const wchar_t* current) {
    ForEachEntry(kept, current, [](DWORD attributes, const wchar_t* source, const wchar_t* target) {
        if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
            CreateDirectoryW(target, nullptr);
            MoveLevelBack(source, target);
        } else {
            MoveFileExW(source, target, MOVEFILE_REPLACE_EXISTING);
        }
    });
}

void RestoreDefaultProfile(const wchar_t* defaultPath, const wchar_t* backupPath) {
    RemoveNewEntries(defaultPath, backupPath);
    MoveLevelBack(backupPath, defaultPath);
    DiscardBackup(backupPath);
}

void DiscardBackup(const wchar_t* backupPath) {
    if (GetFileAttributesW(backupPath) != INVALID_FILE_ATTRIBUTES) DeleteTree(backupPath, false);
}
