#include "base/tree.h"

#include <aclapi.h>
#include <shlwapi.h>
#include <winioctl.h>
#include <string.h>
#include <wchar.h>

#include "base/format.h"
#include "base/heap.h"
#include "base/links.h"
#include "base/raii.h"
#include "base/settings.h"
#include "base/workers.h"

void (*TreeFileCopiedHook)(ULONGLONG bytes) = nullptr;
void (*TreeFilesCopiedHook)(ULONGLONG files, ULONGLONG bytes) = nullptr;

// The copy's progress goes to whichever hook the program set, if any.
static void ProgressFileCopied(ULONGLONG bytes) {
    if (TreeFileCopiedHook) TreeFileCopiedHook(bytes);
}
static void ProgressFilesCopied(ULONGLONG files, ULONGLONG bytes) {
    if (TreeFilesCopiedHook) TreeFilesCopiedHook(files, bytes);
}

namespace {

// Room for a child path before its buffer first grows, and the slack added at every growth.
const size_t ChildSlack = 261;
// The longest path the long-path prefix admits, terminator included.
const size_t LongPathChars = 32767;
// The largest block one read of a copied file takes.
const DWORD CopyChunk = 256 * 1024;

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

// A junction, symbolic link or other name surrogate seen in a listing: the entry names something
// elsewhere, whatever it points at. Other reparse points (cloud placeholders, deduplicated or
// compressed files) are the user's own files and are copied.
bool IsNameSurrogateEntry(const WIN32_FIND_DATAW& entry) {
    return (entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) &&
           IsReparseTagNameSurrogate(entry.dwReserved0);
}

// A thread's read buffer for the copies it makes, kept from file to file: it grows to the largest
// read the thread has needed (at most CopyChunk) rather than being allocated again for every file.
struct CopyBuffer {
    GuardedPtr block{nullptr};
    DWORD size = 0;
};

// Makes the buffer hold at least size bytes (its old content is not kept). 0 or
// ERROR_NOT_ENOUGH_MEMORY, the buffer then empty.
DWORD GrowCopyBuffer(CopyBuffer& buffer, DWORD size) {
    if (buffer.size >= size) return 0;
    buffer.block.reset();
    buffer.block.reset(GuardedAlloc(size));
    buffer.size = buffer.block ? size : 0;
    return buffer.block ? 0 : ERROR_NOT_ENOUGH_MEMORY;
}

// CopyProfileEntry reading through the calling thread's buffer.
DWORD CopyEntryThrough(const FileCopyCheck& check, const wchar_t* source, const wchar_t* destination,
                       CopyBuffer& buffer, bool* copied, ULONGLONG* bytes);

// The name of the file object behind a handle (NtQueryObject, ObjectNameInformation): the path the
// open really reached, after every junction and link on the way was followed, on every Windows
// version from XP on and for paths of any length. Only ever compared with another such name.
struct CountedName {
    USHORT length; // in bytes
    USHORT maximumLength;
    wchar_t* buffer;
};
typedef LONG(NTAPI* NtQueryObjectFn)(HANDLE, ULONG, PVOID, ULONG, PULONG);
typedef ULONG(NTAPI* StatusToErrorFn)(LONG);
const ULONG ObjectNameInformation = 1;

// The ntdll entry points of the copy, looked up once, not per file: every thread that finds one
// null writes the same value.
NtQueryObjectFn volatile CachedQueryObject = nullptr;
StatusToErrorFn volatile CachedStatusToError = nullptr;

template <class Fn> Fn NtdllEntry(Fn volatile& cache, const char* name) {
    Fn entry = cache;
    if (!entry) {
        entry = reinterpret_cast<Fn>(
            reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), name)));
        cache = entry;
    }
    return entry;
}

// The handle's object name in an allocated block. 0, or the Win32 code.
DWORD HandlePathOf(HANDLE handle, GuardedPtr* path) {
    NtQueryObjectFn query = NtdllEntry(CachedQueryObject, "NtQueryObject");
    StatusToErrorFn toError = NtdllEntry(CachedStatusToError, "RtlNtStatusToDosError");
    if (!query || !toError) return ERROR_CALL_NOT_IMPLEMENTED;
    // A name is at most 32767 characters; one retry with the size asked for covers every case.
    ULONG size = 1024;
    for (int attempt = 0; attempt < 3; ++attempt) {
        GuardedPtr block(GuardedAlloc(size));
        if (!block) return ERROR_NOT_ENOUGH_MEMORY;
        ULONG needed = 0;
        LONG status = query(handle, ObjectNameInformation, block.get(), size, &needed);
        if (status >= 0) {
            const CountedName* name = block.as<CountedName>();
            size_t chars = name->length / sizeof(wchar_t);
            if (name->length > 0 && !name->buffer) return ERROR_INVALID_DATA;
            GuardedPtr text(GuardedAllocChars(chars + 1));
            if (!text) return ERROR_NOT_ENOUGH_MEMORY;
            if (chars) wmemcpy(text.chars(), name->buffer, chars);
            text.chars()[chars] = L'\0';
            path->reset(text.release());
            return 0;
        }
        const LONG BufferOverflow = static_cast<LONG>(0x80000005),
                   LengthMismatch = static_cast<LONG>(0xC0000004),
                   BufferTooSmall = static_cast<LONG>(0xC0000023);
        if (status != BufferOverflow && status != LengthMismatch && status != BufferTooSmall)
            return toError(status);
        ULONG most = sizeof(CountedName) + LongPathChars * sizeof(wchar_t);
        size = needed > size && needed <= most ? needed : most;
    }
    return ERROR_MORE_DATA;
}

// What the copy needs of an open file (attributes, times, size, number of names), read with the two
// file queries that carry them. GetFileInformationByHandle also asks for the volume's serial number,
// which the copy only needs to tell two handles apart (SameFile); under Wine that question goes to
// the mount manager in another process, several server round trips for every file copied.
struct IoStatus {
    union {
        LONG status;
        void* pointer;
    };
    ULONG_PTR information;
};
struct BasicFacts {
    LARGE_INTEGER creationTime, lastAccessTime, lastWriteTime, changeTime;
    ULONG attributes;
};
struct StandardFacts {
    LARGE_INTEGER allocationSize, endOfFile;
    ULONG numberOfLinks;
    BOOLEAN deletePending, directory;
};
// The system checks the length given against its own structures' sizes, the same on 32 and 64 bits.
static_assert(sizeof(BasicFacts) == 40 && sizeof(StandardFacts) == 24, "FILE_*_INFORMATION layouts");
typedef LONG(NTAPI* NtQueryInformationFileFn)(HANDLE, IoStatus*, PVOID, ULONG, ULONG);
const ULONG FileBasicFacts = 4;    // FileBasicInformation
const ULONG FileStandardFacts = 5; // FileStandardInformation
NtQueryInformationFileFn volatile CachedQueryFile = nullptr;

FILETIME AsFileTime(const LARGE_INTEGER& time) {
    FILETIME converted;
    converted.dwLowDateTime = time.LowPart;
    converted.dwHighDateTime = static_cast<DWORD>(time.HighPart);
    return converted;
}

// Fills info as GetFileInformationByHandle would, except the volume serial number and file index
// (left 0: ask GetFileInformationByHandle where the file's identity matters). 0 or the Win32 code.
DWORD ReadFileFacts(HANDLE handle, BY_HANDLE_FILE_INFORMATION* info) {
    NtQueryInformationFileFn query = NtdllEntry(CachedQueryFile, "NtQueryInformationFile");
    StatusToErrorFn toError = NtdllEntry(CachedStatusToError, "RtlNtStatusToDosError");
    if (!query || !toError) return GetFileInformationByHandle(handle, info) ? 0 : GetLastError();
    BasicFacts basic = {};
    StandardFacts standard = {};
    IoStatus io = {};
    LONG status = query(handle, &io, &basic, sizeof basic, FileBasicFacts);
    if (status >= 0) status = query(handle, &io, &standard, sizeof standard, FileStandardFacts);
    if (status < 0) return toError(status);
    ZeroMemory(info, sizeof *info);
    info->dwFileAttributes = basic.attributes;
    info->ftCreationTime = AsFileTime(basic.creationTime);
    info->ftLastAccessTime = AsFileTime(basic.lastAccessTime);
    info->ftLastWriteTime = AsFileTime(basic.lastWriteTime);
    info->nFileSizeHigh = static_cast<DWORD>(standard.endOfFile.HighPart);
    info->nFileSizeLow = standard.endOfFile.LowPart;
    info->nNumberOfLinks = standard.numberOfLinks;
    return 0;
}

// Named data streams. CopyFileW carries a file's named streams with it, the mark of the web
// (Zone.Identifier) among them, which makes Windows warn before it opens a downloaded file; the copy
// here reads one handle, so it carries them through that handle with BackupRead and writes them
// through the copy's handle with BackupWrite: no stream is opened by a path a swap could redirect.
const ULONG FileStreamFacts = 22; // FileStreamInformation
// A stream entry: next entry offset, name length in bytes, size, allocation size, name.
const ULONG StreamEntryHeader = 24;
// WIN32_STREAM_ID up to its name; a stream name (":name:$DATA") is at most 255 characters and its
// two colons and type.
const DWORD BackupHeaderSize = 20;
const DWORD MostStreamNameBytes = 512 * sizeof(wchar_t);

// Set once the system has said it has no stream lists at all, so that it is not asked per file.
volatile LONG NoStreamLists = 0;

// True when the open file has a data stream besides its main one. Where the system cannot list
// streams (FAT volumes; Wine, which has none) the answer is no.
bool HasNamedStreamsNt(HANDLE file) {
    NtQueryInformationFileFn query = NtdllEntry(CachedQueryFile, "NtQueryInformationFile");
    if (!query || NoStreamLists) return false;
    ULONGLONG storage[128]; // 1 KB, aligned for the entries
    IoStatus io = {};
    LONG status = query(file, &io, storage, sizeof storage, FileStreamFacts);
    const LONG BufferOverflow = static_cast<LONG>(0x80000005); // more entries than fit: more than one
    const LONG NotImplemented = static_cast<LONG>(0xC0000002), InvalidClass = static_cast<LONG>(0xC0000003);
    if (status == BufferOverflow) return true;
    if (status == NotImplemented || status == InvalidClass) NoStreamLists = 1;
    if (status < 0) return false;
    const BYTE* list = reinterpret_cast<const BYTE*>(storage);
    ULONG returned = io.information < sizeof storage ? static_cast<ULONG>(io.information) : sizeof storage;
    static const wchar_t MainStream[] = L"::$DATA";
    for (ULONG at = 0; at + StreamEntryHeader <= returned;) {
        ULONG next, nameBytes;
        memcpy(&next, list + at, sizeof next);
        memcpy(&nameBytes, list + at + 4, sizeof nameBytes);
        if (nameBytes > returned - at - StreamEntryHeader) return false; // not a list this code knows
        bool main = nameBytes == sizeof MainStream - sizeof(wchar_t) &&
                    _wcsnicmp(reinterpret_cast<const wchar_t*>(list + at + StreamEntryHeader), MainStream,
                              nameBytes / sizeof(wchar_t)) == 0;
        if (!main) return true;
        if (next == 0 || next > returned - at) break;
        at += next;
    }
    return false;
}

// Reads exactly count bytes of the backup stream (fewer only at its end). 0 or the Win32 code.
DWORD BackupReadExactly(HANDLE source, BYTE* into, DWORD count, DWORD* got, void** context) {
    *got = 0;
    while (*got < count) {
        DWORD read = 0;
        if (!StreamBackupRead(source, into + *got, count - *got, &read, FALSE, FALSE, context))
            return GetLastError();
        if (read == 0) break;
        *got += read;
    }
    return 0;
}

DWORD BackupWriteAll(HANDLE target, BYTE* from, DWORD count, void** context) {
    DWORD written = 0;
    if (!StreamBackupWrite(target, from, count, &written, FALSE, FALSE, context)) return GetLastError();
    return written == count ? 0 : ERROR_WRITE_FAULT;
}

// Copies every named data stream of source (read from its start) onto target through the caller's
// buffer; only called for a file that has one. 0 or the Win32 code; a backup stream this code
// cannot read is ERROR_INVALID_DATA.
DWORD CopyNamedStreams(HANDLE source, HANDLE target, BYTE* buffer, DWORD bufferSize) {
    // BackupRead reads the main data through the handle itself, from where the copy left it.
    LARGE_INTEGER start = {};
    if (!SetFilePointerEx(source, start, nullptr, FILE_BEGIN)) return GetLastError();
    void* reading = nullptr;
    void* writing = nullptr;
    auto release = MakeScopeExit([&] {
        DWORD unused = 0;
        if (reading) StreamBackupRead(source, nullptr, 0, &unused, TRUE, FALSE, &reading);
        if (writing) StreamBackupWrite(target, nullptr, 0, &unused, TRUE, FALSE, &writing);
    });
    for (;;) {
        BYTE header[BackupHeaderSize + MostStreamNameBytes];
        DWORD got = 0;
        DWORD error = BackupReadExactly(source, header, BackupHeaderSize, &got, &reading);
        if (error != 0) return error;
        if (got == 0) return 0; // past the last stream
        if (got != BackupHeaderSize) return ERROR_INVALID_DATA;
        DWORD id, nameBytes;
        ULONGLONG size;
        memcpy(&id, header, sizeof id);
        memcpy(&size, header + 8, sizeof size);
        memcpy(&nameBytes, header + 16, sizeof nameBytes);
        if (nameBytes > MostStreamNameBytes || nameBytes % sizeof(wchar_t) != 0) return ERROR_INVALID_DATA;
        error = BackupReadExactly(source, header + BackupHeaderSize, nameBytes, &got, &reading);
        if (error != 0) return error;
        if (got != nameBytes) return ERROR_INVALID_DATA;
        if (id != BACKUP_ALTERNATE_DATA) {
            // The main data (already copied), extended attributes, sparse blocks and the like.
            if (size == 0) continue;
            DWORD low = 0, high = 0;
            StreamBackupSeek(source, static_cast<DWORD>(size), static_cast<DWORD>(size >> 32), &low, &high,
                             &reading);
            if ((static_cast<ULONGLONG>(high) << 32 | low) != size) return ERROR_INVALID_DATA;
            continue;
        }
        error = BackupWriteAll(target, header, BackupHeaderSize + nameBytes, &writing);
        if (error != 0) return error;
        for (ULONGLONG left = size; left > 0;) {
            DWORD chunk = left < bufferSize ? static_cast<DWORD>(left) : bufferSize;
            error = BackupReadExactly(source, buffer, chunk, &got, &reading);
            if (error != 0) return error;
            if (got != chunk) return ERROR_INVALID_DATA;
            error = BackupWriteAll(target, buffer, chunk, &writing);
            if (error != 0) return error;
            left -= chunk;
        }
    }
}

// Equal paths as the file system compares names: letter case ignored.
bool SamePath(const wchar_t* a, const wchar_t* b) {
    size_t length = wcslen(a);
    if (length != wcslen(b)) return false;
    GuardedPtr upperA(GuardedAllocChars(length + 1)), upperB(GuardedAllocChars(length + 1));
    if (!upperA || !upperB) return false;
    wmemcpy(upperA.chars(), a, length + 1);
    wmemcpy(upperB.chars(), b, length + 1);
    CharUpperBuffW(upperA.chars(), static_cast<DWORD>(length));
    CharUpperBuffW(upperB.chars(), static_cast<DWORD>(length));
    return wcscmp(upperA.chars(), upperB.chars()) == 0;
}

// The reparse tag of the point the handle (opened with FILE_FLAG_OPEN_REPARSE_POINT) is on.
DWORD ReadReparseTag(HANDLE handle, DWORD* tag) {
    GuardedPtr buffer(GuardedAlloc(MAXIMUM_REPARSE_DATA_BUFFER_SIZE));
    if (!buffer) return ERROR_NOT_ENOUGH_MEMORY;
    DWORD returned = 0;
    if (!DeviceIoControl(handle, FSCTL_GET_REPARSE_POINT, nullptr, 0, buffer.get(),
                         MAXIMUM_REPARSE_DATA_BUFFER_SIZE, &returned, nullptr /* synchronous */))
        return GetLastError();
    if (returned < sizeof(DWORD)) return ERROR_INVALID_DATA;
    *tag = *buffer.as<DWORD>(); // every reparse buffer starts with its tag
    return 0;
}

bool SameFile(const BY_HANDLE_FILE_INFORMATION& a, const BY_HANDLE_FILE_INFORMATION& b) {
    return a.dwVolumeSerialNumber == b.dwVolumeSerialNumber && a.nFileIndexHigh == b.nFileIndexHigh &&
           a.nFileIndexLow == b.nFileIndexLow;
}

// True when the handle's file is owned by owner.
bool OwnedBy(HANDLE handle, PSID owner) {
    if (!owner) return false;
    PSID fileOwner = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetSecurityInfo(handle, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &fileOwner, nullptr, nullptr,
                        nullptr, &descriptor) != ERROR_SUCCESS)
        return false;
    UniqueLocal descriptorOwner(descriptor);
    return fileOwner && EqualSid(fileOwner, owner);
}

// Copies the data of an open file to a new destination file, reading through the caller's buffer;
// on failure the partial copy is removed. 0 or the Win32 code.
DWORD CopyFromHandle(HANDLE source, const BY_HANDLE_FILE_INFORMATION& info, const wchar_t* destination,
                     CopyBuffer& buffer, ULONGLONG* bytes) {
    const DWORD kept = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                       FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
    DWORD attributes = info.dwFileAttributes & kept;
    UniqueFile target(
        CreateFileW(destination, GENERIC_WRITE, 0 /* no sharing while written */, nullptr, CREATE_ALWAYS,
                    (attributes ? attributes : FILE_ATTRIBUTE_NORMAL) | FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!target) return GetLastError();

    ULONGLONG size = (static_cast<ULONGLONG>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
    DWORD chunk = size < CopyChunk ? static_cast<DWORD>(size) + 1 : CopyChunk; // + 1: the end-of-file read
    DWORD error = GrowCopyBuffer(buffer, chunk);
    ULONGLONG copied = 0;
    while (error == 0) {
        DWORD read = 0;
        if (!ReadFile(source, buffer.block.get(), chunk, &read, nullptr)) {
            error = GetLastError();
            break;
        }
        if (read == 0) break;
        DWORD written = 0;
        if (!WriteFile(target.get(), buffer.block.get(), read, &written, nullptr))
            error = GetLastError();
        else if (written != read)
            error = ERROR_WRITE_FAULT;
        copied += written;
        // A short read of a disk file is its end (no one may write it while it is open here): the
        // read that would return nothing is not made.
        if (read < chunk) break;
    }
    if (error == 0 && StreamHasNamed(source)) {
        // A stream's data goes through the same buffer: at least a page of it, not a small file's size.
        error = GrowCopyBuffer(buffer, 4096);
        if (error == 0)
            error =
                CopyNamedStreams(source, target.get(), static_cast<BYTE*>(buffer.block.get()), buffer.size);
    }
    // Last: writing a stream changes the copy's last write time too.
    if (error == 0 && !SetFileTime(target.get(), nullptr, nullptr, &info.ftLastWriteTime))
        error = GetLastError();
    target.reset();
    if (error != 0) {
        SetFileAttributesW(destination, FILE_ATTRIBUTE_NORMAL);
        DeleteFileW(destination);
        return error;
    }
    *bytes = copied;
    return 0;
}

} // namespace

BOOL(WINAPI* TreeFindNextFile)(HANDLE, LPWIN32_FIND_DATAW) = FindNextFileW;
bool (*StreamHasNamed)(HANDLE) = HasNamedStreamsNt;
BOOL(WINAPI* StreamBackupRead)(HANDLE, LPBYTE, DWORD, LPDWORD, BOOL, BOOL, LPVOID*) = BackupRead;
BOOL(WINAPI* StreamBackupSeek)(HANDLE, DWORD, DWORD, LPDWORD, LPDWORD, LPVOID*) = BackupSeek;
BOOL(WINAPI* StreamBackupWrite)(HANDLE, LPBYTE, DWORD, LPDWORD, BOOL, BOOL, LPVOID*) = BackupWrite;

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

namespace {

// The path the source file must have on its volume: the checked prefix's final path, then the rest
// of the source path with doubled backslashes made single. False when it cannot be built.
bool ExpectedFinalPath(const FileCopyCheck& check, const wchar_t* source, GuardedPtr* expected) {
    size_t prefixLength = wcslen(check.finalPrefix);
    while (prefixLength > 0 && check.finalPrefix[prefixLength - 1] == L'\\')
        --prefixLength;
    const wchar_t* rest = source + check.sourcePrefixLength;
    size_t restLength = wcslen(rest);
    GuardedPtr block(GuardedAllocChars(prefixLength + restLength + 1));
    if (!block) return false;
    wchar_t* out = block.chars();
    wmemcpy(out, check.finalPrefix, prefixLength);
    size_t used = prefixLength;
    for (size_t i = 0; i < restLength; ++i) {
        if (rest[i] == L'\\' && used > 0 && out[used - 1] == L'\\') continue;
        out[used++] = rest[i];
    }
    while (used > prefixLength && out[used - 1] == L'\\')
        --used;
    out[used] = L'\0';
    expected->reset(block.release());
    return true;
}

// The object name of a folder (the base whose path stands for all below it), in an allocated block.
// 0, ERROR_CALL_NOT_IMPLEMENTED where the system cannot tell, or the Win32 code.
DWORD FolderHandlePath(const wchar_t* folder, GuardedPtr* path) {
    UniqueFile handle(CreateFileW(folder, FILE_READ_ATTRIBUTES,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS /* a folder */, nullptr));
    if (!handle) return GetLastError();
    return HandlePathOf(handle.get(), path);
}

} // namespace

DWORD PrepareFileCopyCheck(const wchar_t* base, PSID owner, GuardedPtr* holder, FileCopyCheck* check) {
    check->owner = owner;
    size_t baseLength = wcslen(base);
    while (baseLength > 0 && base[baseLength - 1] == L'\\')
        --baseLength;
    check->sourcePrefixLength = baseLength;
    check->finalPrefix = nullptr;
    DWORD error = FolderHandlePath(base, holder);
    if (error == ERROR_CALL_NOT_IMPLEMENTED) return 0;
    if (error != 0) return error;
    check->finalPrefix = holder->chars();
    return 0;
}

namespace {

// Files are copied on this many threads, the walking thread included: one thread lent for the run
// (base/workers.h) copies while the walking thread lists, and the walking thread copies too when the
// queue is full. A small file's copy waits on the file system far more than on the processor, so the
// two overlap well even on one or two cores. Chosen by measurement, not from the processor count
// (bench/README.md): with two lent threads instead of one the copy was not steadily faster, and under
// Wine each thread costs the process about 1 MB.
const DWORD CopyThreads = 2;
// The most threads the benchmark's and tests' setting may ask for, the walking one included.
const DWORD MostCopyThreads = 64;
// Files listed but not yet taken by a copying thread: memory stays bounded whatever the tree's size.
const LONG CopyQueueSlots = 64;
// A sleeping copying thread is woken once this many files wait: every wake-up is a call into the
// system (under Wine a server round trip each way) and a switch of threads, so a thread woken takes
// several files before it sleeps again. The last files of a walk wake every thread at the end.
const LONG CopyWakeBatch = 8;
// Set by the benchmark and the tests only: the copying threads, the walking one included; "1" for
// the walking thread copying every file itself.
const wchar_t CopyThreadsVariable[] = L"CORVANE_COPY_THREADS";

// The threads to lend besides the walking one: 0 when it copies by itself.
DWORD CopyThreadCount() {
    return ThreadsSetting(CopyThreadsVariable, CopyThreads, MostCopyThreads) - 1;
}

// One file to copy: its place in the walk, and one block holding the source path, its terminator,
// the destination path and its terminator.
struct CopyJob {
    ULONGLONG sequence;
    wchar_t* paths;
    size_t destinationOffset;
};

// One copy of a tree: the walking thread numbers every entry in walk order; the copies may end in
// any order, so each failure is kept with its number and the one the walk would have met last wins
// (the first, when the run stops at its first failure).
struct CopyRun {
    const FileCopyCheck* check;
    bool stopAtFailure;
    ULONGLONG nextSequence;  // walking thread only
    CopyBuffer walkerBuffer; // walking thread only: its copies when it copies by itself
    DWORD wanted;            // threads to lend with the first file
    bool poolTried;
    DWORD threadCount;
    WorkerLease leases[MostCopyThreads];
    UniqueHandle wake;      // semaphore: one release for each sleeping copying thread to wake
    volatile LONG stopping; // a failure was met in a run that stops at its first failure

    // Everything below. Threads only wait on the handles above when there is nothing to do, so a busy
    // queue costs no call into the system per file.
    CRITICAL_SECTION lock;
    CopyJob slots[CopyQueueSlots];
    LONG head;
    LONG count;
    LONG sleeping;     // copying threads waiting on wake, or about to
    LONG wakesPending; // releases of wake not yet taken by a thread
    bool closing;
    bool failed;
    ULONGLONG failureSequence;
    DWORD failure;
    ULONGLONG pendingFiles; // copied by the pool, not yet shown
    ULONGLONG pendingBytes;
};

void RecordFailure(CopyRun& run, ULONGLONG sequence, DWORD error) {
    EnterCriticalSection(&run.lock);
    if (!run.failed ||
        (run.stopAtFailure ? sequence < run.failureSequence : sequence > run.failureSequence)) {
        run.failed = true;
        run.failureSequence = sequence;
        run.failure = error;
    }
    LeaveCriticalSection(&run.lock);
    if (run.stopAtFailure) InterlockedExchange(&run.stopping, 1);
}

// A job after a failure already met in a run that stops there is not copied; one before it still is,
// as it may fail too and come earlier in walk order.
bool SkippedAfterFailure(CopyRun& run, ULONGLONG sequence) {
    if (!run.stopAtFailure) return false;
    EnterCriticalSection(&run.lock);
    bool skipped = run.failed && run.failureSequence < sequence;
    LeaveCriticalSection(&run.lock);
    return skipped;
}

void CopyOneFile(CopyRun& run, ULONGLONG sequence, const wchar_t* source, const wchar_t* destination,
                 CopyBuffer& buffer, bool onWalkingThread) {
    bool copied = false;
    ULONGLONG bytes = 0;
    DWORD error = CopyEntryThrough(*run.check, source, destination, buffer, &copied, &bytes);
    if (error != 0) {
        RecordFailure(run, sequence, error);
    } else if (copied && onWalkingThread) {
        ProgressFileCopied(bytes);
    } else if (copied) {
        EnterCriticalSection(&run.lock);
        ++run.pendingFiles;
        run.pendingBytes += bytes;
        LeaveCriticalSection(&run.lock);
    }
}

// The title is shown from the walking thread only, with what the pool copied since last time.
void ShowPoolProgress(CopyRun& run) {
    EnterCriticalSection(&run.lock);
    ULONGLONG files = run.pendingFiles, bytes = run.pendingBytes;
    run.pendingFiles = run.pendingBytes = 0;
    LeaveCriticalSection(&run.lock);
    ProgressFilesCopied(files, bytes);
}

// Wakes up to `threads` sleeping copying threads not already being woken. Called with the lock held.
void WakeSleepers(CopyRun& run, LONG threads) {
    LONG idle = run.sleeping - run.wakesPending;
    LONG wakes = threads < idle ? threads : idle;
    if (wakes <= 0) return;
    run.wakesPending += wakes;
    ReleaseSemaphore(run.wake.get(), wakes, nullptr);
}

DWORD WINAPI CopyWorker(void* parameter) {
    CopyRun& run = *static_cast<CopyRun*>(parameter);
    CopyBuffer buffer;
    for (;;) {
        EnterCriticalSection(&run.lock);
        while (run.count == 0) {
            if (run.closing) {
                LeaveCriticalSection(&run.lock);
                return 0;
            }
            ++run.sleeping;
            LeaveCriticalSection(&run.lock);
            DWORD waited = WaitForSingleObject(run.wake.get(), INFINITE);
            EnterCriticalSection(&run.lock);
            --run.sleeping;
            if (waited != WAIT_OBJECT_0) {
                LeaveCriticalSection(&run.lock);
                return 1;
            }
            --run.wakesPending;
        }
        CopyJob job = run.slots[run.head];
        run.head = (run.head + 1) % CopyQueueSlots;
        --run.count;
        LeaveCriticalSection(&run.lock);
        GuardedPtr paths(job.paths);
        if (!SkippedAfterFailure(run, job.sequence))
            CopyOneFile(run, job.sequence, paths.chars(), paths.chars() + job.destinationOffset, buffer,
                        false);
    }
}

// Lends the copying threads with the first file; without them (one thread asked for, or none could
// be had) the walking thread copies every file itself.
void StartPool(CopyRun& run) {
    run.poolTried = true;
    if (run.wanted == 0) return;
    run.wake.reset(CreateSemaphoreW(nullptr, 0, static_cast<LONG>(MostCopyThreads), nullptr));
    if (!run.wake) return;
    while (run.threadCount < run.wanted && LendWorker(CopyWorker, &run, &run.leases[run.threadCount]))
        ++run.threadCount;
}

// Lets the threads copy what is queued, then waits until each has returned to its kept sleep.
void FinishPool(CopyRun& run) {
    if (run.threadCount == 0) return;
    EnterCriticalSection(&run.lock);
    run.closing = true;
    WakeSleepers(run, static_cast<LONG>(run.threadCount));
    LeaveCriticalSection(&run.lock);
    for (DWORD i = 0; i < run.threadCount; ++i)
        AwaitWorker(run.leases[i]);
    run.threadCount = 0;
    ShowPoolProgress(run);
}

void QueueFile(CopyRun& run, ULONGLONG sequence, const wchar_t* source, const wchar_t* destination) {
    if (!run.poolTried) StartPool(run);
    if (run.threadCount == 0) {
        CopyOneFile(run, sequence, source, destination, run.walkerBuffer, true);
        return;
    }
    ShowPoolProgress(run);
    EnterCriticalSection(&run.lock);
    bool full = run.count == CopyQueueSlots;
    if (full) WakeSleepers(run, static_cast<LONG>(run.threadCount));
    LeaveCriticalSection(&run.lock);
    if (full) {
        // The walking thread copies this one itself rather than sleep until a slot is free: no
        // wait and wake-up (server calls under Wine), and one more thread copying meanwhile.
        CopyOneFile(run, sequence, source, destination, run.walkerBuffer, true);
        return;
    }
    size_t sourceLength = wcslen(source), destinationLength = wcslen(destination);
    wchar_t* paths = GuardedAllocChars(sourceLength + destinationLength + 2);
    if (!paths) {
        RecordFailure(run, sequence, ERROR_NOT_ENOUGH_MEMORY);
        return;
    }
    wmemcpy(paths, source, sourceLength + 1);
    wmemcpy(paths + sourceLength + 1, destination, destinationLength + 1);
    // Only this thread adds to the queue: the slot seen free above is still free.
    EnterCriticalSection(&run.lock);
    CopyJob& job = run.slots[(run.head + run.count) % CopyQueueSlots];
    job.sequence = sequence;
    job.paths = paths;
    job.destinationOffset = sourceLength + 1;
    ++run.count;
    // One more thread for every batch waiting: a thread already awake takes the rest.
    if (run.count % CopyWakeBatch == 0) WakeSleepers(run, 1);
    LeaveCriticalSection(&run.lock);
}

bool WalkStopped(CopyRun& run) {
    return run.stopAtFailure && InterlockedCompareExchange(&run.stopping, 0, 0) != 0;
}

// Walks one folder: the destination folder is made before any file in it is queued. Returns the
// error that kept the folder from being walked at all (it cannot be listed, its destination cannot be
// made); failures met below it are recorded in the run.
DWORD WalkFolder(CopyRun& run, const wchar_t* source, const wchar_t* destination) {
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

    do {
        if (IsDotEntry(entry.cFileName) || IsDirectoryLink(entry)) continue;
        if (WalkStopped(run)) return 0;
        ULONGLONG sequence = run.nextSequence++;
        if (!SetChildName(sourceChild, entry.cFileName) || !SetChildName(destinationChild, entry.cFileName)) {
            RecordFailure(run, sequence, ERROR_NOT_ENOUGH_MEMORY);
            continue;
        }
        if (IsNameSurrogateEntry(entry)) {
            DebugPrint(L"Not copied, a link: %ws", sourceChild.block.chars());
            continue;
        }
        if (IsDirectory(entry)) {
            DWORD error = WalkFolder(run, sourceChild.block.chars(), destinationChild.block.chars());
            if (error != 0) RecordFailure(run, sequence, error); // before anything below it
            continue;
        }
        QueueFile(run, sequence, sourceChild.block.chars(), destinationChild.block.chars());
    } while (TreeFindNextFile(listing.get(), &entry));
    // A listing that broke off is a failed copy, not a finished one: it fails at its place in the walk.
    DWORD ended = GetLastError();
    if (ended != ERROR_NO_MORE_FILES)
        RecordFailure(run, run.nextSequence++, ended ? ended : ERROR_GEN_FAILURE);
    return 0;
}

// The result is the last failure in walk order (the first, and the walk ends there, with
// stopAtFailure), whichever thread met it.
DWORD CopyTreeChecked(const FileCopyCheck& check, const wchar_t* source, const wchar_t* destination,
                      bool stopAtFailure) {
    CopyRun run{};
    run.check = &check;
    run.stopAtFailure = stopAtFailure;
    run.wanted = CopyThreadCount();
    InitializeCriticalSection(&run.lock);
    auto deleteLock = MakeScopeExit([&run] { DeleteCriticalSection(&run.lock); });

    DWORD own = WalkFolder(run, source, destination);
    FinishPool(run);
    if (own != 0) return own; // the tree itself was not walked: nothing was queued
    return run.failed ? run.failure : 0;
}

} // namespace

namespace {

DWORD CopyEntryThrough(const FileCopyCheck& check, const wchar_t* source, const wchar_t* destination,
                       CopyBuffer& buffer, bool* copied, ULONGLONG* bytes) {
    *copied = false;
    *bytes = 0;
    // Opened without following a reparse point and without sharing write or delete: what is checked
    // below is what is read, and it cannot be renamed or replaced while it is.
    UniqueFile file(CreateFileW(source, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!file) return GetLastError();
    BY_HANDLE_FILE_INFORMATION info;
    DWORD factsError = ReadFileFacts(file.get(), &info);
    if (factsError != 0) return factsError;
    const wchar_t* refused = nullptr;
    if (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        refused = L"a folder since it was listed";
    } else if (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
        DWORD tag = 0;
        if (ReadReparseTag(file.get(), &tag) != 0 || IsReparseTagNameSurrogate(tag)) {
            refused = L"a link";
        } else {
            // A placeholder or a compressed file: its data comes through its filter, so it is read
            // through a second open, which must reach the very same file (volume and file index).
            UniqueFile data(CreateFileW(source, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                        FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
            if (!data) return GetLastError();
            BY_HANDLE_FILE_INFORMATION identity, dataInfo;
            if (!GetFileInformationByHandle(file.get(), &identity) ||
                !GetFileInformationByHandle(data.get(), &dataInfo))
                return GetLastError();
            if (!SameFile(identity, dataInfo)) {
                refused = L"replaced while it was opened";
            } else {
                file = static_cast<UniqueFile&&>(data);
                info = dataInfo;
            }
        }
    }
    if (!refused && check.finalPrefix) {
        // A folder above the file replaced by a junction after the listing leads the open elsewhere;
        // the path the handle really has tells.
        GuardedPtr actual, expected;
        DWORD error = HandlePathOf(file.get(), &actual);
        if (error != 0) return error;
        if (!ExpectedFinalPath(check, source, &expected)) return ERROR_NOT_ENOUGH_MEMORY;
        if (!SamePath(actual.chars(), expected.chars())) refused = L"reached through a link";
    }
    if (!refused && info.nNumberOfLinks > 1 && !OwnedBy(file.get(), check.owner))
        refused = L"a file with more than one name that is not the user's own";
    if (refused) {
        DebugPrint(L"Not copied, %ws: %ws", refused, source);
        return 0;
    }
    DWORD error = CopyFromHandle(file.get(), info, destination, buffer, bytes);
    if (error != 0) return error;
    *copied = true;
    return 0;
}

} // namespace

DWORD CopyProfileEntry(const FileCopyCheck& check, const wchar_t* source, const wchar_t* destination,
                       bool* copied, ULONGLONG* bytes) {
    CopyBuffer buffer;
    return CopyEntryThrough(check, source, destination, buffer, copied, bytes);
}

DWORD CopyTree(const wchar_t* source, const wchar_t* destination, PSID owner) {
    FileCopyCheck check;
    GuardedPtr finalPrefix;
    DWORD error = PrepareFileCopyCheck(source, owner, &finalPrefix, &check);
    // A source that cannot be opened cannot be listed either: the listing says so the usual way.
    if (error != 0) check.finalPrefix = nullptr;
    if (error != 0 && GetFileAttributesW(source) != INVALID_FILE_ATTRIBUTES) return error;
    return CopyTreeChecked(check, source, destination, false);
}

DWORD CopyProfileFolder(const wchar_t* sourceBase, const wchar_t* source, const wchar_t* destinationBase,
                        const wchar_t* destination, PSID owner, bool stopAtFailure) {
    if (PathCrossesLink(sourceBase, source) || PathCrossesLink(destinationBase, destination))
        return ErrorLinkRefused;
    FileCopyCheck check;
    GuardedPtr finalPrefix;
    DWORD error = PrepareFileCopyCheck(sourceBase, owner, &finalPrefix, &check);
    if (error != 0) return error;
    return CopyTreeChecked(check, source, destination, stopAtFailure);
}

DWORD CopyProfileFile(const wchar_t* sourceBase, const wchar_t* source, const wchar_t* destinationBase,
                      const wchar_t* destination) {
    if (PathCrossesLink(sourceBase, source) || PathCrossesLink(destinationBase, destination))
        return ErrorLinkRefused;
    FileCopyCheck check;
    GuardedPtr finalPrefix;
    DWORD error = PrepareFileCopyCheck(sourceBase, nullptr /* a file with two names is never taken */,
                                       &finalPrefix, &check);
    if (error != 0) return error;
    bool copied = false;
    ULONGLONG bytes = 0;
    error = CopyProfileEntry(check, source, destination, &copied, &bytes);
    if (error != 0) return error;
    return copied ? 0 : ErrorLinkRefused;
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
