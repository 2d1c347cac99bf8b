// Opening, writing and deleting inside a folder a user can write to, for a program that runs with
// more rights than that user (LocalSystem, an administrator). A check made on a path and a use
// made later on the same path leave a gap: the user swaps a folder for a junction in between and
// the write or delete lands elsewhere. Here every level is opened without following a link, checked
// on the handle that is then used (or held), and deletes go through the checked handle.
//
// The rules:
// - every folder from base (exclusive) down is opened with FILE_FLAG_OPEN_REPARSE_POINT |
//   FILE_FLAG_BACKUP_SEMANTICS and held open without delete sharing, so it can be neither renamed
//   nor replaced while held; a handle whose attributes carry a reparse point is refused, and where
//   the system can name a handle's final path, that path must be the parent's final path plus the
//   component that was asked for (this also catches a link the attributes do not show);
// - base itself is not checked: the caller chose it (a profile folder an administrator set);
// - a file is opened the same way; one whose link count is above one is never opened for writing;
// - a file is only ever created new (CREATE_NEW), after the old one was deleted through its handle.
// All paths are used in their "\\?\" form, so long paths are handled; "." and ".." components are
// refused. Results are Win32 codes; ERROR_ACCESS_DENIED stands for "a link or a second name was
// found". Nothing here throws.
#pragma once

#include "base/raii.h"

#include <windows.h>

#include <string>
#include <vector>

// A chain of folders held open from a base folder down to one folder below it.
struct HeldFolder {
    std::vector<UniqueFile> levels; // base first, the held folder last
    std::wstring path;              // the held folder, "\\?\" form, as the caller spelled it
    std::wstring finalPath;         // what the system calls it; empty where it cannot say (XP)
};

// "\\?\" form of an absolute path ("C:\x" or "\\server\share\x"), backslashes only, no doubled or
// trailing backslash. ERROR_INVALID_NAME for a relative path or a "." or ".." component.
DWORD ExtendedPath(const wchar_t* path, std::wstring* extended);

// Holds base and every folder from base down to folder (folder may equal base). With create,
// missing folders below base are made (with security, or inherited when null) and then checked
// like the others. The levels below base are opened with extraAccess as well (such as WRITE_DAC).
// ERROR_ACCESS_DENIED when a level is a link; ERROR_BAD_PATHNAME when folder does not lie below
// base; else the Win32 code of the step that failed.
DWORD HoldFolderChain(const wchar_t* base, const wchar_t* folder, bool create, HeldFolder* held,
                      SECURITY_ATTRIBUTES* security = nullptr, DWORD extraAccess = 0);
// One more level below what is held (name: a single component).
DWORD HoldNextFolder(HeldFolder* held, const std::wstring& name, bool create,
                     SECURITY_ATTRIBUTES* security = nullptr, DWORD extraAccess = 0);
// Lets go of the last level (never of base).
void ReleaseLastFolder(HeldFolder* held);

// Opens the file name (one component) in the held folder. disposition: OPEN_EXISTING, OPEN_ALWAYS or
// CREATE_NEW (anything that would truncate is refused: the check must come before a write). A file
// this call created and then refused is deleted again. FILE_READ_ATTRIBUTES is always added; DELETE
// is added to a creation so that a refused new file can be removed.
DWORD OpenCheckedFile(const HeldFolder& held, const std::wstring& name, DWORD access, DWORD share,
                      DWORD disposition, UniqueFile* file);
// Deletes the file of an open handle (it needs DELETE access; a read-only file also needs
// FILE_WRITE_ATTRIBUTES and loses the attribute first). The name goes when the handle is closed.
DWORD DeleteThroughHandle(HANDLE file);

// Copies source (below sourceBase) to target (below targetBase): the old target, if any, is
// deleted through its checked handle, the new one created with CREATE_NEW, and the target's
// folders are made as needed. A partial copy is deleted again. ERROR_PATH_NOT_FOUND when a folder
// of the source is missing, ERROR_FILE_NOT_FOUND when only the file is.
DWORD CopyCheckedFile(const wchar_t* sourceBase, const wchar_t* source, const wchar_t* targetBase,
                      const wchar_t* target);
// Deletes every file in folder and the folders below it; folders stay, links are neither entered
// nor deleted through. A file that cannot be deleted at once is retried for up to 3 s (only the first
// such file of each folder; others get one more try). 0, or the first failure's code (the rest is
// still done).
DWORD DeleteFilesInTreeChecked(const wchar_t* base, const wchar_t* folder);
// Whether path (file or folder) lies below base without a link on the way, checked level by level
// on handles (the last level may be missing). Unlike a check on attributes alone, this also sees a
// link that the attributes do not show.
bool PathCrossesLinkChecked(const wchar_t* base, const wchar_t* path);
