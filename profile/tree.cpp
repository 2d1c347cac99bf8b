#include "profile/tree.h"

#include <shlwapi.h>
#include <string.h>
#include <wchar.h>

#include "driver/common.h"
#include "driver/links.h"
#include "driver/raii.h"
#include "profile/progress.h"

namespace {

// Room for a child path before its buffer first grows, and the slack added at every growth.
const size_t ChildSlack = 261;
// The longest path the long-path prefix admits, terminator included.
const size_t LongPathChars = 32767;

// One growable child-path buffer per parent folder: the parent and its backslash are written once,
// only the entry name is rewritten per entry, so a walk costs no formatting or allocation per file.
struct ChildPath {
    GuardedPtr block;
    size_t capacity = 0; // in characters
    size_t parentLength = 0;
};

bool StartChildPath(ChildPath& child, const wchar_t* parent, size_t parentLength) {
    size_t capacity = parentLength >= MAX_PATH ? parentLength + ChildSlack : ChildSlack;
    child.block.reset(GuardedAllocChars(capacity));
    if (!child.block) return false;
    child.capacity = capacity;
    child.parentLength = parentLength;
    wchar_t* text = child.block.chars();
    wmemcpy(text, parent, parentLength);
    text[parentLength] = L'\\';
    text[parentLength + 1] = L'\0';
    return true;
}

// Puts the entry name after the parent, growing the buffer when parent, backslash, name and
// terminator do not fit; false only when the buffer could not grow (the old one is still valid).
bool SetChildName(ChildPath& child, const wchar_t* name) {
    size_t nameLength = wcslen(name);
    size_t need = child.parentLength + nameLength + 2;
    if (need > child.capacity) {
        size_t capacity = need + ChildSlack;
        void* grown = GuardedHeapReAlloc(GetProcessHeap(), child.block.get(), capacity * sizeof(wchar_t));
        if (!grown) return false;
        child.block.release(); // moved by the re-allocation, not freed
        child.block.reset(grown);
        child.capacity = capacity;
    }
    wmemcpy(child.block.chars() + child.parentLength + 1, name, nameLength + 1);
    return true;
}

// Lists a folder with the pattern "<folder>\*.*"; the pattern buffer is gone once the listing runs.
HANDLE StartListing(const wchar_t* folder, size_t folderLength, WIN32_FIND_DATAW* entry) {
    GuardedPtr pattern(GuardedAllocChars(folderLength + 5));
    if (!pattern) return INVALID_HANDLE_VALUE;
    wmemcpy(pattern.chars(), folder, folderLength);
    wmemcpy(pattern.chars() + folderLength, L"\\*.*", 5);
    return FindFirstFileW(pattern.chars(), entry);
}

bool IsDotEntry(const wchar_t* name) {
    return wcscmp(name, L".") == 0 || wcscmp(name, L"..") == 0;
}

bool IsDirectory(const WIN32_FIND_DATAW& entry) {
    return (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// A junction or directory link: its target lies outside the tree, so the walks never enter it.
bool IsDirectoryLink(const WIN32_FIND_DATAW& entry) {
    return (entry.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) ==
           (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT);
}

} // namespace

DWORD DeleteTree(const wchar_t* folder, bool filesOnly) {
    size_t folderLength = wcslen(folder);
    WIN32_FIND_DATAW entry;
    UniqueFind listing(StartListing(folder, folderLength, &entry));
    if (!listing) return 0;
    ChildPath child;
    if (!StartChildPath(child, folder, folderLength)) return 0; // nothing touched yet

    do {
        if (IsDotEntry(entry.cFileName)) continue;
        if (IsDirectoryLink(entry) && filesOnly) continue;
        if (!SetChildName(child, entry.cFileName)) continue; // cannot name it without cutting the path
        const wchar_t* path = child.block.chars();
        if (IsDirectoryLink(entry)) {
            // Only the link goes; attributes are left alone, as changing them could reach the target.
            RemoveDirectoryW(path);
        } else if (IsDirectory(entry)) {
            DeleteTree(path, filesOnly);
        } else if (!DeleteFileW(path)) {
            // Read-only, hidden or system files refuse deletion until their attributes are cleared.
            SetFileAttributesW(path, FILE_ATTRIBUTE_NORMAL);
            DeleteFileW(path);
        }
    } while (FindNextFileW(listing.get(), &entry));
    listing.reset();

    if (filesOnly) return 1;
    if (RemoveDirectoryW(folder)) return 1;
    SetFileAttributesW(folder, FILE_ATTRIBUTE_NORMAL);
    return RemoveDirectoryW(folder) ? 1 : 0;
}

DWORD CopyTree(const wchar_t* source, const wchar_t* destination) {
    size_t sourceLength = wcslen(source);
    WIN32_FIND_DATAW entry;
    UniqueFind listing(StartListing(source, sourceLength, &entry));
    if (!listing) return ERROR_FILE_NOT_FOUND; // nothing created for a source that cannot be listed

    if (!CreateDirectoryW(destination, nullptr /* default security */)) {
        DWORD error = GetLastError();
        if (error == ERROR_PATH_NOT_FOUND) {
            CreateDirectoryChain(destination); // a missing parent; the copies below tell if it failed
        } else if (error != ERROR_ALREADY_EXISTS) {
            return error;
        }
    }

    ChildPath sourceChild;
    ChildPath destinationChild;
    if (!StartChildPath(sourceChild, source, sourceLength) ||
        !StartChildPath(destinationChild, destination, wcslen(destination)))
        return ERROR_NOT_ENOUGH_MEMORY;

    // Every failure replaces the remembered one: the result is the last failure in listing order.
    DWORD result = 0;
    do {
        if (IsDotEntry(entry.cFileName) || IsDirectoryLink(entry)) continue;
        if (!SetChildName(sourceChild, entry.cFileName) || !SetChildName(destinationChild, entry.cFileName)) {
            result = ERROR_NOT_ENOUGH_MEMORY;
            continue;
        }
        if (IsDirectory(entry)) {
            DWORD inner = CopyTree(sourceChild.block.chars(), destinationChild.block.chars());
            if (inner != 0) result = inner;
        } else if (!CopyFileW(sourceChild.block.chars(), destinationChild.block.chars(),
                              FALSE /* overwrite */)) {
            result = GetLastError();
        } else {
            ProgressFileCopied((static_cast<ULONGLONG>(entry.nFileSizeHigh) << 32) | entry.nFileSizeLow);
        }
    } while (FindNextFileW(listing.get(), &entry));
    return result;
}

DWORD CopyProfileFolder(const wchar_t* sourceBase, const wchar_t* source, const wchar_t* destinationBase,
                        const wchar_t* destination) {
    if (PathCrossesLink(sourceBase, source) || PathCrossesLink(destinationBase, destination)) return ErrorLinkRefused;
    return CopyTree(source, destination);
}

DWORD CopyProfileFile(const wchar_t* sourceBase, const wchar_t* source, const wchar_t* destinationBase,
                      const wchar_t* destination) {
    if (PathCrossesLink(sourceBase, source) || PathCrossesLink(destinationBase, destination)) return ErrorLinkRefused;
    if (!CopyFileW(source, destination, FALSE /* overwrite */)) return GetLastError();
    return 0;
}

void CreateDirectoryChain(const wchar_t* path) {
    size_t length = wcslen(path);
    size_t start; // the first level is the one that ends at the first backslash after this index
    if (wcsncmp(path, L"\\\\?\\UNC\\", 8) == 0) {
        start = 8;
    } else {
        const wchar_t* from = wcsncmp(path, L"\\\\?\\", 4) == 0 ? path + 4 : path;
        const wchar_t* backslash = wcschr(from, L'\\');
        if (!backslash) return;
        start = static_cast<size_t>(backslash - path);
    }

    GuardedPtr prefix(GuardedAllocChars(length + 1));
    if (!prefix) return;
    wchar_t* text = prefix.chars();
    wmemcpy(text, path, length + 1);
    // Parents first: each level can only be made once the one above it exists.
    for (size_t i = start + 1; i < length; ++i) {
        if (text[i] != L'\\') continue;
        text[i] = L'\0';
        CreateDirectoryW(text, nullptr /* default security */);
        text[i] = L'\\';
    }
    CreateDirectoryW(path, nullptr /* default security */);
}

void CreateLongDirectoryPath(const wchar_t* path) {
    const wchar_t* rest = PathSkipRootW(path);
    if (!rest) return; // relative: no root to build on
    size_t rootLength = static_cast<size_t>(rest - path);

    const wchar_t* prefix = L"\\\\?\\";
    size_t skip = 0; // characters of the root replaced by the prefix
    if (_wcsnicmp(path, L"\\\\?\\", 4) == 0) {
        prefix = L"";
    } else if (path[0] == L'\\' && path[1] == L'\\') {
        prefix = L"\\\\?\\UNC\\";
        skip = 2;
    }
    size_t prefixLength = wcslen(prefix);
    if (prefixLength + wcslen(path) - skip >= LongPathChars) return; // beyond what the prefix admits

    GuardedPtr block(GuardedAllocChars(LongPathChars));
    if (!block) return;
    wchar_t* work = block.chars();
    wmemcpy(work, prefix, prefixLength);
    wmemcpy(work + prefixLength, path + skip, rootLength - skip);
    size_t used = prefixLength + rootLength - skip;
    work[used] = L'\0';

    // One level at a time, parents first; each component keeps its trailing backslash.
    for (const wchar_t* component = rest;;) {
        const wchar_t* next = PathFindNextComponentW(component);
        if (!next) break;
        size_t componentLength = static_cast<size_t>(next - component);
        if (componentLength == 0) break;
        wmemcpy(work + used, component, componentLength);
        used += componentLength;
        work[used] = L'\0';
        CreateDirectoryW(work, nullptr /* default security */);
        component = next;
    }
}
