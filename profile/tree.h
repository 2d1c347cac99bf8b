// Whole-tree file operations of the update sequence. Paths are used as given (no long-path prefix).
// The walks never descend into a directory reparse point (junction or directory link).
#pragma once

#include <windows.h>

// Empties (filesOnly: every file below the folder, folders kept) or removes (filesOnly false: the
// folder and everything in it) a tree. A directory reparse point is left alone when filesOnly is set,
// and only the link itself is removed when it is clear. Returns 0 when the folder cannot be listed
// (nothing touched); with filesOnly 1 after the walk; without it non-zero when the folder was removed.
DWORD DeleteTree(const wchar_t* folder, bool filesOnly);

// Copies the source tree onto the destination, overwriting files of the same name; never copies
// through a directory reparse point. 0, 2 when the source cannot be listed, the destination's
// creation error, or the last error met while copying.
DWORD CopyTree(const wchar_t* source, const wchar_t* destination);

// A copy error of its own: a folder on the way was a junction or directory link, so nothing was
// copied through it.
const DWORD ErrorLinkRefused = ERROR_CANT_ACCESS_FILE; // 1920, "The file cannot be accessed by the system."

// CopyTree for a folder inside a profile: refuses with ErrorLinkRefused, copying nothing, when the
// source or any folder between sourceBase and it, or the destination or any folder between
// destinationBase and it, is a link (a user can plant a junction in their own profile; a copy made
// with an administrator's rights must neither read nor write through it).
DWORD CopyProfileFolder(const wchar_t* sourceBase, const wchar_t* source, const wchar_t* destinationBase,
                        const wchar_t* destination);

// CopyFileW (overwriting) for a file inside profiles, under the same rule. 0 or a Win32 code.
DWORD CopyProfileFile(const wchar_t* sourceBase, const wchar_t* source, const wchar_t* destinationBase,
                      const wchar_t* destination);

// Creates every folder of the path from its first backslash on (after a \\?\ or \\?\UNC\ prefix).
void CreateDirectoryChain(const wchar_t* path);

// Creates every component of the path under the long-path prefix (\\?\ or \\?\UNC\).
void CreateLongDirectoryPath(const wchar_t* path);
