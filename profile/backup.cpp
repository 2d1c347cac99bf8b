#include "profile/backup.h"

#include "driver/common.h"
#include "base/files.h"
#include "base/links.h"
#include "base/raii.h"
#include "base/tree.h"

#include <wchar.h>

namespace {

// The longest path the long-path prefix admits, terminator included. The backup's paths are longer
// than the default profile's by the backup folder's suffix, so its walks work under the prefix: a
// file that the default profile can hold can always be set aside.
const size_t LongPathChars = 32767;

const wchar_t* const FilesFolder = L"profile";

enum class Phase { None, Unknown, Aside, Update, MoveBack, Discard };

const wchar_t* PhaseName(Phase phase) {
    switch (phase) {
    case Phase::Aside:
        return L"aside";
    case Phase::Update:
        return L"update";
    case Phase::MoveBack:
        return L"moveback";
    case Phase::Discard:
        return L"discard";
    default:
        return L"";
    }
}

// A path under the long-path prefix that entries are appended to and cut back from as a walk goes
// down and up; one buffer serves a whole walk.
class LongPath {
  public:
    bool Init(const wchar_t* path, const wchar_t* child = nullptr) {
        block_.reset(GuardedAllocChars(LongPathChars));
        if (!block_) return false;
        const wchar_t* prefix = L"\\\\?\\";
        size_t skip = 0;
        if (wcsncmp(path, L"\\\\?\\", 4) == 0) {
            prefix = L"";
        } else if (path[0] == L'\\' && path[1] == L'\\') {
            prefix = L"\\\\?\\UNC\\";
            skip = 2;
        }
        if (FormatBounded(block_.chars(), LongPathChars, L"%ws%ws", prefix, path + skip) != S_OK)
            return false;
        length_ = wcslen(block_.chars());
        while (length_ > 0 && block_.chars()[length_ - 1] == L'\\')
            block_.chars()[--length_] = L'\0';
        size_t ignored;
        return !child || Push(child, &ignored);
    }
    // Appends "\name"; false (nothing changed) when it would not fit.
    bool Push(const wchar_t* name, size_t* saved) {
        size_t nameLength = wcslen(name);
        if (length_ + 1 + nameLength + 1 > LongPathChars) return false;
        *saved = length_;
        wchar_t* text = block_.chars();
        text[length_++] = L'\\';
        wmemcpy(text + length_, name, nameLength + 1);
        length_ += nameLength;
        return true;
    }
    void Pop(size_t saved) {
        length_ = saved;
        block_.chars()[length_] = L'\0';
    }
    const wchar_t* get() const { return block_.chars(); }
    // The path as the user knows it: without the prefix ("\\?\UNC\" shown as "\\").
    void Display(wchar_t* out, size_t capacity) const {
        const wchar_t* text = block_.chars();
        if (wcsncmp(text, L"\\\\?\\UNC\\", 8) == 0)
            FormatBounded(out, capacity, L"\\\\%ws", text + 8);
        else if (wcsncmp(text, L"\\\\?\\", 4) == 0)
            FormatBounded(out, capacity, L"%ws", text + 4);
        else
            FormatBounded(out, capacity, L"%ws", text);
    }

  private:
    GuardedPtr block_;
    size_t length_ = 0;
};

// The first thing that went wrong in a walk: the path it concerned and the error.
struct Failure {
    wchar_t path[MAX_PATH] = {};
    DWORD code = 0;
    void Record(const LongPath& where, DWORD error) {
        if (code != 0) return;
        code = error ? error : ERROR_GEN_FAILURE;
        where.Display(path, MAX_PATH);
    }
};

// Calls visit(entry) for every entry of the folder other than "." and "..", with the entry's name
// pushed onto both paths. An entry whose name does not fit is recorded as a failure with 206. The
// folder's own listing failure is recorded too, and so is a listing that ends with anything but
// ERROR_NO_MORE_FILES: a short listing taken for a whole one would make a folder look empty or
// moved. visit returns false to end the walk.
template <class Visit> bool ForEachEntry(LongPath& first, LongPath& second, Failure& failure, Visit visit) {
    size_t saved;
    if (!first.Push(L"*", &saved)) {
        failure.Record(first, ERROR_FILENAME_EXCED_RANGE);
        return false;
    }
    WIN32_FIND_DATAW entry;
    UniqueFind find(FindFirstFileW(first.get(), &entry));
    DWORD error = GetLastError();
    first.Pop(saved);
    if (!find) {
        failure.Record(first, error);
        return false;
    }
    do {
        if (IsDotName(entry.cFileName)) continue;
        size_t savedFirst, savedSecond;
        if (!first.Push(entry.cFileName, &savedFirst)) {
            failure.Record(first, ERROR_FILENAME_EXCED_RANGE);
            return false;
        }
        if (!second.Push(entry.cFileName, &savedSecond)) {
            failure.Record(first, ERROR_FILENAME_EXCED_RANGE);
            first.Pop(savedFirst);
            return false;
        }
        bool go = visit(entry.dwFileAttributes);
        second.Pop(savedSecond);
        first.Pop(savedFirst);
        if (!go) return false;
    } while (BackupFindNextFile(find.get(), &entry));
    DWORD ended = GetLastError();
    if (ended != ERROR_NO_MORE_FILES) {
        failure.Record(first, ended);
        return false;
    }
    return true;
}

// Moves every file below `from` to the same place below `to`, making the folders there. With
// stopAtFirst the walk ends at the first failure; otherwise it moves what it can. True when all moved.
bool MoveFilesAside(LongPath& from, LongPath& to, Failure& failure, bool stopAtFirst) {
    bool all = true;
    bool listed = ForEachEntry(from, to, failure, [&](DWORD attributes) {
        if (IsDirectoryLinkAttributes(attributes)) return true; // never into what a link points at
        if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
            if (!CreateDirectoryW(to.get(), nullptr /* default security */) &&
                GetLastError() != ERROR_ALREADY_EXISTS) {
                failure.Record(to, GetLastError());
                all = false;
                return !stopAtFirst;
            }
            if (!MoveFilesAside(from, to, failure, stopAtFirst)) all = false;
        } else if (!MoveFileExW(from.get(), to.get(), 0 /* never over a kept file */)) {
            failure.Record(from, GetLastError());
            all = false;
        }
        return all || !stopAtFirst;
    });
    return listed && all;
}

// Moves every kept file back (over a file of the same name), making missing folders; goes on past
// failures. True when every file went back.
bool MoveFilesBack(LongPath& kept, LongPath& current, Failure& failure) {
    bool all = true;
    bool listed = ForEachEntry(kept, current, failure, [&](DWORD attributes) {
        if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
            if (!CreateDirectoryW(current.get(), nullptr /* default security */) &&
                GetLastError() != ERROR_ALREADY_EXISTS) {
                failure.Record(current, GetLastError());
                all = false;
                return true;
            }
            if (!MoveFilesBack(kept, current, failure)) all = false;
        } else if (!MoveFileExW(kept.get(), current.get(), MOVEFILE_REPLACE_EXISTING)) {
            failure.Record(kept, GetLastError());
            all = false;
        }
        return true;
    });
    return listed && all;
}

// Deletes what a run wrote into the default profile after its files were set aside: every file, and
// every folder that the backup does not have (so the run made it). Directory links are left alone.
bool RemoveRunEntries(LongPath& current, LongPath& kept, Failure& failure) {
    bool all = true;
    bool listed = ForEachEntry(current, kept, failure, [&](DWORD attributes) {
        if (IsDirectoryLinkAttributes(attributes)) return true;
        if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
            DWORD keptAttributes = GetFileAttributesW(kept.get());
            if (keptAttributes != INVALID_FILE_ATTRIBUTES && (keptAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
                if (!RemoveRunEntries(current, kept, failure)) all = false;
            } else if (DeleteTree(current.get(), false) != TreeRemoved) {
                failure.Record(current, GetLastError());
                all = false;
            }
        } else if (!DeleteFileW(current.get())) {
            SetFileAttributesW(current.get(), FILE_ATTRIBUTE_NORMAL);
            if (!DeleteFileW(current.get())) {
                failure.Record(current, GetLastError());
                all = false;
            }
        }
        return true;
    });
    return listed && all;
}

// "<backup>\phase.<name>"; false when it would not fit.
bool MarkerName(const wchar_t* backupPath, Phase phase, wchar_t* marker) {
    return FormatBounded(marker, MAX_PATH, L"%ws\\phase.%ws", backupPath, PhaseName(phase)) == S_OK;
}

// The marker of a backup folder: the one "phase.<name>" file it holds.
Phase ReadPhase(const wchar_t* backupPath) {
    const Phase phases[] = {Phase::Aside, Phase::Update, Phase::MoveBack, Phase::Discard};
    for (Phase phase : phases) {
        wchar_t marker[MAX_PATH];
        if (!MarkerName(backupPath, phase, marker)) continue;
        if (GetFileAttributesW(marker) != INVALID_FILE_ATTRIBUTES) return phase;
    }
    return Phase::Unknown;
}

bool CreateMarker(const wchar_t* backupPath, Phase phase) {
    wchar_t marker[MAX_PATH];
    if (!MarkerName(backupPath, phase, marker)) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return false;
    }
    UniqueFile file(
        CreateFileW(marker, GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
    return static_cast<bool>(file);
}

// Renames the marker: a run cut off at any moment leaves exactly one. On failure the error is in
// GetLastError and the marker still says `from`: the step that depends on the new phase must not run.
bool SetPhase(const wchar_t* backupPath, Phase from, Phase to) {
    wchar_t a[MAX_PATH], b[MAX_PATH];
    if (!MarkerName(backupPath, from, a) || !MarkerName(backupPath, to, b)) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return false;
    }
    if (MoveFileExW(a, b, MOVEFILE_WRITE_THROUGH)) return true;
    if (GetLastError() == 0) SetLastError(ERROR_GEN_FAILURE);
    return false;
}

// "<backup>\profile" as the user sees it, for messages.
void FilesFolderName(const wchar_t* backupPath, wchar_t* out) {
    FormatBounded(out, MAX_PATH, L"%ws\\%ws", backupPath, FilesFolder);
}

// True when the folder holds a file anywhere below it, or when that cannot be told (a listing
// failed): only a folder known to hold nothing but folders counts as empty.
bool HoldsAnyFile(LongPath& folder) {
    LongPath unused;
    if (!unused.Init(L"\\\\?\\")) return true;
    Failure failure;
    bool found = false;
    bool listed = ForEachEntry(folder, unused, failure, [&](DWORD attributes) {
        if (!(attributes & FILE_ATTRIBUTE_DIRECTORY) || IsDirectoryLinkAttributes(attributes))
            found = true;
        else if (HoldsAnyFile(folder))
            found = true;
        return !found;
    });
    return found || !listed || failure.code != 0;
}

// Removes the empty folders below folder, deepest first; files and what holds them stay.
void RemoveEmptyFolders(LongPath& folder) {
    LongPath unused;
    if (!unused.Init(L"\\\\?\\")) return;
    Failure ignored;
    ForEachEntry(folder, unused, ignored, [&](DWORD attributes) {
        if ((attributes & FILE_ATTRIBUTE_DIRECTORY) && !IsDirectoryLinkAttributes(attributes)) {
            RemoveEmptyFolders(folder);
            RemoveDirectoryW(folder.get());
        }
        return true;
    });
}

// Removes a backup folder that holds nothing but empty folders and its marker; never a file. The
// marker goes after the files folder, so a run cut off here leaves either a marked folder or an
// empty one. 0 when the backup folder is gone, or the Win32 code of what stayed.
DWORD RemoveEmptyBackup(const wchar_t* backupPath) {
    LongPath files;
    if (!files.Init(backupPath, FilesFolder)) return ERROR_NOT_ENOUGH_MEMORY;
    if (GetFileAttributesW(files.get()) != INVALID_FILE_ATTRIBUTES) {
        RemoveEmptyFolders(files);
        if (!RemoveDirectoryW(files.get())) return GetLastError() ? GetLastError() : ERROR_DIR_NOT_EMPTY;
    }
    const Phase phases[] = {Phase::Aside, Phase::Update, Phase::MoveBack, Phase::Discard};
    for (Phase phase : phases) {
        wchar_t marker[MAX_PATH];
        if (MarkerName(backupPath, phase, marker)) DeleteFileW(marker);
    }
    if (!RemoveDirectoryW(backupPath)) return GetLastError() ? GetLastError() : ERROR_DIR_NOT_EMPTY;
    return 0;
}

// Finishes removing a successful run's backup (its marker says "discard"): the old files first, the
// marker last, so that a run cut off in between leaves a folder whose marker still says what it is.
// 0 when the folder is gone.
DWORD FinishDiscard(const wchar_t* backupPath) {
    LongPath files;
    if (!files.Init(backupPath, FilesFolder)) return ERROR_NOT_ENOUGH_MEMORY;
    if (GetFileAttributesW(files.get()) != INVALID_FILE_ATTRIBUTES) {
        DeleteTree(files.get(), false);
        if (GetFileAttributesW(files.get()) != INVALID_FILE_ATTRIBUTES) return ERROR_DIR_NOT_EMPTY;
    }
    return RemoveEmptyBackup(backupPath);
}

// Renames the backup folder "<backup>-<date>-<time>" (with a counter when that exists) so that this
// run can make its own. 0 or a Win32 code; *kept receives the new name.
DWORD RenameKept(const wchar_t* backupPath, wchar_t* kept) {
    SYSTEMTIME now;
    GetLocalTime(&now);
    DWORD error = ERROR_ALREADY_EXISTS;
    for (unsigned n = 1; n < 100 && (error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS); ++n) {
        HRESULT formatted =
            n == 1 ? FormatBounded(kept, MAX_PATH, L"%ws-%04u%02u%02u-%02u%02u%02u", backupPath, now.wYear,
                                   now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond)
                   : FormatBounded(kept, MAX_PATH, L"%ws-%04u%02u%02u-%02u%02u%02u-%u", backupPath, now.wYear,
                                   now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond, n);
        if (formatted != S_OK) return ERROR_FILENAME_EXCED_RANGE;
        error = MoveFileW(backupPath, kept) ? 0 : GetLastError();
    }
    return error;
}

DWORD KeepUnderNewName(const wchar_t* backupPath, bool ownLayout) {
    wchar_t kept[MAX_PATH];
    DWORD error = RenameKept(backupPath, kept);
    if (error != 0) return error;
    wchar_t shown[MAX_PATH];
    if (ownLayout)
        FilesFolderName(kept, shown);
    else
        FormatBounded(shown, MAX_PATH, L"%ws", kept);
    ConsolePrint(
        L"An interrupted earlier run left the previous default profile in %ws; it has been kept there.\r\n",
        shown);
    return 0;
}

// Takes both walks' buffers for the default profile and the backup's files folder.
bool OpenPaths(const wchar_t* defaultPath, const wchar_t* backupPath, LongPath& current, LongPath& kept) {
    return current.Init(defaultPath) && kept.Init(backupPath, FilesFolder);
}

// A backup folder that holds no file at all (made, but cut off before its marker or its first move)
// is removed without a word: nothing was set aside. True when it was such a folder and is gone.
bool RemoveIfNothingAside(const wchar_t* backupPath) {
    LongPath folder;
    if (!folder.Init(backupPath)) return false;
    Phase phase = ReadPhase(backupPath);
    if (phase != Phase::Unknown && phase != Phase::Aside) return false;
    if (phase == Phase::Aside) {
        // The marker is a file of its own; only the files folder can hold what was set aside.
        LongPath files;
        if (!files.Init(backupPath, FilesFolder)) return false;
        if (GetFileAttributesW(files.get()) != INVALID_FILE_ATTRIBUTES && HoldsAnyFile(files)) return false;
        wchar_t marker[MAX_PATH];
        if (!MarkerName(backupPath, Phase::Aside, marker)) return false;
        // Anything beside the marker and the files folder is not this program's: keep it.
        LongPath unused;
        if (!unused.Init(L"\\\\?\\")) return false;
        Failure failure;
        bool foreign = false;
        bool listed = ForEachEntry(folder, unused, failure, [&](DWORD attributes) {
            const wchar_t* name = wcsrchr(folder.get(), L'\\') + 1;
            if (_wcsicmp(name, FilesFolder) != 0 && _wcsicmp(name, L"phase.aside") != 0) foreign = true;
            return !foreign;
        });
        if (foreign || !listed) return false;
    } else if (HoldsAnyFile(folder)) {
        return false;
    }
    return RemoveEmptyBackup(backupPath) == 0;
}

} // namespace

BOOL(WINAPI* BackupFindNextFile)(HANDLE, LPWIN32_FIND_DATAW) = FindNextFileW;

bool BackupFolderName(const wchar_t* defaultPath, wchar_t* backupPath) {
    return FormatBounded(backupPath, MAX_PATH, L"%ws.corvane-backup", defaultPath) == S_OK;
}

DWORD RecoverInterruptedRun(const wchar_t* defaultPath, const wchar_t* backupPath) {
    if (GetFileAttributesW(backupPath) == INVALID_FILE_ATTRIBUTES) return 0;
    if (RemoveIfNothingAside(backupPath)) return 0;
    Phase phase = ReadPhase(backupPath);
    if (phase == Phase::Discard) {
        // A successful run was removing the old files it no longer needed: finish that silently.
        if (FinishDiscard(backupPath) == 0) return 0;
        wchar_t kept[MAX_PATH];
        DWORD error = RenameKept(backupPath, kept);
        if (error != 0) return error;
        ConsolePrint(L"Files that an earlier successful run no longer needed could not all be removed; they "
                     L"are in %ws.\r\n",
                     kept);
        return 0;
    }
    wchar_t files[MAX_PATH];
    FilesFolderName(backupPath, files);
    // Without its files folder (or its marker) the folder is not one this program can restore from.
    if (phase == Phase::Unknown || !FolderExists(files)) return KeepUnderNewName(backupPath, false);

    LongPath current, kept;
    if (!OpenPaths(defaultPath, backupPath, current, kept)) return ERROR_NOT_ENOUGH_MEMORY;
    Failure failure;
    if (phase == Phase::Update) {
        // Every file in the default profile is the interrupted run's own: the originals are all aside.
        // Only once all of them are gone, and the marker says so, may an original come back.
        if (!RemoveRunEntries(current, kept, failure) || failure.code != 0) {
            ConsolePrint(L"An interrupted earlier run's file %ws cannot be removed from the default profile "
                         L"(error %u); the previous default profile stays in %ws.\r\n",
                         failure.path, failure.code, files);
            return failure.code;
        }
        if (!SetPhase(backupPath, Phase::Update, Phase::MoveBack)) {
            DWORD error = GetLastError();
            ConsolePrint(
                L"The marker of an interrupted earlier run cannot be changed (error %u); the previous "
                L"default profile stays in %ws.\r\n",
                error, files);
            return error;
        }
        phase = Phase::MoveBack;
    }
    if (MoveFilesBack(kept, current, failure) && failure.code == 0) {
        DWORD left = RemoveEmptyBackup(backupPath);
        if (left != 0) {
            ConsolePrint(L"An interrupted earlier run has been rolled back, but %ws cannot be removed (error "
                         L"%u).\r\n",
                         backupPath, left);
            return left;
        }
        ConsolePrint(L"An interrupted earlier run has been rolled back; the default profile is as it was "
                     L"before that run.\r\n");
        return 0;
    }

    // The rollback cannot be finished: bring every old file into the backup instead and keep it there.
    // What is left in the default profile now is original (the run's own files went first).
    Failure gather;
    bool marked = phase == Phase::Aside || SetPhase(backupPath, phase, Phase::Aside);
    if (!marked) {
        gather.code = GetLastError() ? GetLastError() : ERROR_GEN_FAILURE;
        MarkerName(backupPath, phase, gather.path);
    } else if (MoveFilesAside(current, kept, gather, false) && gather.code == 0) {
        return KeepUnderNewName(backupPath, true);
    }
    DWORD code = gather.code ? gather.code : failure.code;
    ConsolePrint(L"An interrupted earlier run left files of the previous default profile both in %ws and in "
                 L"%ws; %ws cannot be moved (error %u).\r\n",
                 defaultPath, files, gather.code ? gather.path : failure.path, code);
    return code;
}

DWORD SetDefaultProfileAside(const wchar_t* defaultPath, const wchar_t* backupPath) {
    {
        // A default profile that cannot be listed is left alone, and nothing is made.
        wchar_t pattern[MAX_PATH];
        if (FormatBounded(pattern, MAX_PATH, L"%ws\\*", defaultPath) != S_OK)
            return ERROR_FILENAME_EXCED_RANGE;
        WIN32_FIND_DATAW entry;
        UniqueFind probe(FindFirstFileW(pattern, &entry));
        if (!probe) return ERROR_SHARING_VIOLATION;
    }
    wchar_t files[MAX_PATH];
    FilesFolderName(backupPath, files);
    const wchar_t* failed = backupPath;
    DWORD code = 0;
    // The files folder before the marker: a marked folder always has somewhere its files can be.
    if (!CreateDirectoryW(backupPath, nullptr /* default security */)) {
        code = GetLastError();
    } else {
        SetFileAttributesW(backupPath, FILE_ATTRIBUTE_HIDDEN);
        if (!CreateDirectoryW(files, nullptr /* default security */)) {
            code = GetLastError();
            failed = files;
        } else if (!CreateMarker(backupPath, Phase::Aside)) {
            code = GetLastError();
        }
        if (code != 0) RemoveEmptyBackup(backupPath); // nothing was moved yet
    }
    if (code != 0) {
        ConsolePrint(L"Cannot set the default profile aside in %ws. Error %u\r\n", failed, code);
        return code;
    }

    LongPath current, kept;
    if (!OpenPaths(defaultPath, backupPath, current, kept)) {
        RemoveEmptyBackup(backupPath);
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    Failure failure;
    if (MoveFilesAside(current, kept, failure, true) && failure.code == 0) {
        if (SetPhase(backupPath, Phase::Aside, Phase::Update)) return 0;
        failure.code = GetLastError();
        MarkerName(backupPath, Phase::Aside, failure.path);
    }

    // All or nothing: put back what was moved, so the default profile is exactly as it was. The marker
    // still says "aside", so a run cut off here is rolled back by the next one.
    ConsolePrint(L"Cannot move %ws out of the default profile. Error %u\r\n", failure.path, failure.code);
    Failure undo;
    if (!MoveFilesBack(kept, current, undo) || undo.code != 0 || RemoveEmptyBackup(backupPath) != 0)
        ConsolePrint(L"Some files of the default profile are still in %ws.\r\n", files);
    return failure.code;
}

bool RestoreDefaultProfile(const wchar_t* defaultPath, const wchar_t* backupPath) {
    wchar_t files[MAX_PATH];
    FilesFolderName(backupPath, files);
    // Only under this run's own marker is every file in the default profile known to be the run's.
    if (ReadPhase(backupPath) != Phase::Update || !FolderExists(files)) {
        ConsolePrint(L"The default profile could not be restored: %ws does not hold this run's backup.\r\n",
                     backupPath);
        return false;
    }
    LongPath current, kept;
    Failure failure;
    if (!OpenPaths(defaultPath, backupPath, current, kept)) {
        ConsolePrint(L"The default profile could not be restored; its previous files are in %ws.\r\n", files);
        return false;
    }
    // Originals come back only once every file of this run is gone and the marker says so; otherwise
    // the marker stays at "update" and the next run finishes the rollback.
    if (!RemoveRunEntries(current, kept, failure) || failure.code != 0) {
        ConsolePrint(L"The default profile could not be restored: %ws cannot be removed (error %u); the "
                     L"previous files are in %ws.\r\n",
                     failure.path, failure.code, files);
        return false;
    }
    if (!SetPhase(backupPath, Phase::Update, Phase::MoveBack)) {
        DWORD error = GetLastError();
        ConsolePrint(
            L"The default profile could not be restored: the backup's marker cannot be changed (error "
            L"%u); the previous files are in %ws.\r\n",
            error, files);
        return false;
    }
    if (MoveFilesBack(kept, current, failure) && failure.code == 0) {
        // Every file is back; a backup folder that cannot go is removed by the next run.
        RemoveEmptyBackup(backupPath);
        ConsolePrint(L"%ws\r\n", L"The default profile has been restored to its state before this run.");
        return true;
    }
    // The backup keeps its marker, so the next run finishes the rollback before it starts.
    ConsolePrint(L"The default profile could not be restored completely (%ws, error %u); the previous "
                 L"files that were not put back are in %ws.\r\n",
                 failure.path, failure.code, files);
    return false;
}

DWORD DiscardBackup(const wchar_t* backupPath) {
    // A backup that is not this run's own is never removed as if it were.
    if (ReadPhase(backupPath) != Phase::Update) return ERROR_INVALID_DATA;
    if (!SetPhase(backupPath, Phase::Update, Phase::Discard)) return GetLastError();
    // What cannot be removed now keeps its "discard" marker; the next run removes it.
    FinishDiscard(backupPath);
    return 0;
}
