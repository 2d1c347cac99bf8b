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

// One level of the walk: both paths are folders; entries are formed in local MAX_PATH buffers. An
// entry whose path would not fit is left where it is, as the file calls would fail on it anyway.
static void MoveLevelAside(const wchar_t* from, const wchar_t* to) {
    wchar_t pattern[MAX_PATH];
    if (FormatBounded(pattern, MAX_PATH, L"%ws\\*", from) != S_OK) return;
    WIN32_FIND_DATAW entry;
    UniqueFind find(FindFirstFileW(pattern, &entry));
    if (!find) return;
    do {
        if (IsDots(entry.cFileName) || IsLink(entry.dwFileAttributes)) continue;
        wchar_t source[MAX_PATH], target[MAX_PATH];
        if (FormatBounded(source, MAX_PATH, L"%ws\\%ws", from, entry.cFileName) != S_OK ||
            FormatBounded(target, MAX_PATH, L"%ws\\%ws", to, entry.cFileName) != S_OK)
            continue;
        if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            CreateDirectoryW(target, nullptr);
            MoveLevelAside(source, target);
        } else {
            MoveFileExW(source, target, MOVEFILE_REPLACE_EXISTING);
        }
    } while (FindNextFileW(find.get(), &entry));
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
    wchar_t pattern[MAX_PATH];
    if (FormatBounded(pattern, MAX_PATH, L"%ws\\*", current) != S_OK) return;
    WIN32_FIND_DATAW entry;
    UniqueFind find(FindFirstFileW(pattern, &entry));
    if (!find) return;
    do {
        if (IsDots(entry.cFileName) || IsLink(entry.dwFileAttributes)) continue;
        wchar_t child[MAX_PATH], keptChild[MAX_PATH];
        if (FormatBounded(child, MAX_PATH, L"%ws\\%ws", current, entry.cFileName) != S_OK ||
            FormatBounded(keptChild, MAX_PATH, L"%ws\\%ws", kept, entry.cFileName) != S_OK)
            continue;
        if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            DWORD keptAttributes = GetFileAttributesW(keptChild);
            if (keptAttributes != INVALID_FILE_ATTRIBUTES && (keptAttributes & FILE_ATTRIBUTE_DIRECTORY))
                RemoveNewEntries(child, keptChild);
            else
                DeleteTree(child, false); // a folder this run made
        } else if (!DeleteFileW(child)) {
            SetFileAttributesW(child, FILE_ATTRIBUTE_NORMAL);
            DeleteFileW(child);
        }
    } while (FindNextFileW(find.get(), &entry));
}

static void MoveLevelBack(const wchar_t* kept, const wchar_t* current) {
    wchar_t pattern[MAX_PATH];
    if (FormatBounded(pattern, MAX_PATH, L"%ws\\*", kept) != S_OK) return;
    WIN32_FIND_DATAW entry;
    UniqueFind find(FindFirstFileW(pattern, &entry));
    if (!find) return;
    do {
        if (IsDots(entry.cFileName)) continue;
        wchar_t source[MAX_PATH], target[MAX_PATH];
        if (FormatBounded(source, MAX_PATH, L"%ws\\%ws", kept, entry.cFileName) != S_OK ||
            FormatBounded(target, MAX_PATH, L"%ws\\%ws", current, entry.cFileName) != S_OK)
            continue;
        if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            CreateDirectoryW(target, nullptr);
            MoveLevelBack(source, target);
        } else {
            MoveFileExW(source, target, MOVEFILE_REPLACE_EXISTING);
        }
    } while (FindNextFileW(find.get(), &entry));
}

void RestoreDefaultProfile(const wchar_t* defaultPath, const wchar_t* backupPath) {
    RemoveNewEntries(defaultPath, backupPath);
    MoveLevelBack(backupPath, defaultPath);
    DiscardBackup(backupPath);
}

void DiscardBackup(const wchar_t* backupPath) {
    if (GetFileAttributesW(backupPath) != INVALID_FILE_ATTRIBUTES) DeleteTree(backupPath, false);
}
