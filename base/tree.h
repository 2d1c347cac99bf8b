// Whole-tree file operations: the profile update's folder copies, the service program's removal.
// Paths are used as given (no long-path prefix).
// The walks never descend into a directory reparse point (junction or directory link), and the copies
// never copy a file link or anything reached through a link.
#pragma once

#include "base/heap.h"

#include <windows.h>

// Empties (filesOnly: every file below the folder, folders kept) or removes (filesOnly false: the
// folder and everything in it) a tree. A directory reparse point is left alone when filesOnly is set,
// and only the link itself is removed when it is clear. Returns TreeNotListed when the folder cannot
// be listed (nothing touched; the last error says why); with filesOnly TreeWalked after the walk
// (a file that could not be deleted does not change it); without it TreeRemoved when the folder is
// gone, else TreeNotListed with the last error of the removal.
DWORD DeleteTree(const wchar_t* folder, bool filesOnly);
const DWORD TreeNotListed = 0;
const DWORD TreeWalked = 1;  // filesOnly
const DWORD TreeRemoved = 1; // without filesOnly

// What the copy of one file checks on the handle it opened. finalPrefix is the name the system gives
// an open base folder (the path it really reached, links followed), standing for the first
// sourcePrefixLength characters of every source path; null: not checked. owner is the profile's user.
struct FileCopyCheck {
    const wchar_t* finalPrefix = nullptr;
    size_t sourcePrefixLength = 0;
    PSID owner = nullptr;
};

// Fills a check for the files below base; *holder keeps the base's name for as long as the check is
// used. 0 (the path check left out where the system cannot name an open folder) or the Win32 code.
DWORD PrepareFileCopyCheck(const wchar_t* base, PSID owner, GuardedPtr* holder, FileCopyCheck* check);

// Copies one file (overwriting) from a single handle opened on it without following a reparse point,
// so that a swap after the listing changes nothing. Not copied, with a debug line and 0 returned and
// *copied false: a name surrogate (symbolic link, junction; whatever it points at), an entry that is a
// folder by now, a file whose final path is not the one expected (a folder above it became a link),
// and a file with more than one name whose owner is not check.owner (a hard link can give a file
// only administrators may read a second name in the user's profile; a file the user owns they can
// read anyway). Other reparse points (cloud placeholders) are copied, and a file's named data
// streams (the mark of the web) go with it, as CopyFileW takes them. Otherwise 0 with *copied true
// and *bytes, or the Win32 code (the destination holds no partial copy). Self-contained: callable
// from several threads at once.
DWORD CopyProfileEntry(const FileCopyCheck& check, const wchar_t* source, const wchar_t* destination,
                       bool* copied, ULONGLONG* bytes);

// Copies the source tree onto the destination, overwriting files of the same name, file by file as
// CopyProfileEntry does (paths checked against the source folder's own); never copies through a
// directory reparse point. One thread walks and makes each folder before any file in it is copied;
// the files are copied on a small pool of threads through a bounded queue (when it is full, the
// walking thread copies the file itself). 0, 2 when the source
// cannot be listed, the destination's creation error, or the last error in walk order met while
// copying (whichever thread met it: the result is the one a walk copying one file at a time gives;
// a listing that breaks off is one).
DWORD CopyTree(const wchar_t* source, const wchar_t* destination, PSID owner = nullptr);

// A copy error of its own: a folder on the way was a junction or directory link, so nothing was
// copied through it.
const DWORD ErrorLinkRefused = ERROR_CANT_ACCESS_FILE; // 1920, "The file cannot be accessed by the system."

// CopyTree for a folder inside a profile: refuses with ErrorLinkRefused, copying nothing, when the
// source or any folder between sourceBase and it, or the destination or any folder between
// destinationBase and it, is a link (a user can plant a junction in their own profile; a copy made
// with an administrator's rights must neither read nor write through it). Every file's path is
// checked against sourceBase's own; owner is the profile's user (null: files with two names are
// never copied). With stopAtFailure (a copy whose failure ends the run anyway) nothing more is
// queued once a failure is known, the copies in flight are waited for, and the result is the first
// failure in walk order: the one a walk copying one file at a time and stopping there would give.
DWORD CopyProfileFolder(const wchar_t* sourceBase, const wchar_t* source, const wchar_t* destinationBase,
                        const wchar_t* destination, PSID owner = nullptr, bool stopAtFailure = false);

// One file inside profiles (overwriting), under the same rules, as CopyProfileEntry copies it; a file
// that is not copied for a link (or for a second name) gives ErrorLinkRefused. 0 or a Win32 code.
DWORD CopyProfileFile(const wchar_t* sourceBase, const wchar_t* source, const wchar_t* destinationBase,
                      const wchar_t* destination);

// The call that continues a folder listing in the tree copy (FindNextFileW). Only tests put another
// in its place, to cut a listing short.
extern BOOL(WINAPI* TreeFindNextFile)(HANDLE, LPWIN32_FIND_DATAW);
// How a copied file's named data streams are found and carried (the system's own: the file's stream
// list, BackupRead, BackupSeek and BackupWrite on the two open handles). Only tests put others in
// their place.
extern bool (*StreamHasNamed)(HANDLE file);
extern BOOL(WINAPI* StreamBackupRead)(HANDLE, LPBYTE, DWORD, LPDWORD, BOOL, BOOL, LPVOID*);
extern BOOL(WINAPI* StreamBackupSeek)(HANDLE, DWORD, DWORD, LPDWORD, LPDWORD, LPVOID*);
extern BOOL(WINAPI* StreamBackupWrite)(HANDLE, LPBYTE, DWORD, LPDWORD, BOOL, BOOL, LPVOID*);

// Progress hooks of the copies (null: nobody listens). They are called only on the thread that walks
// the folders: fileCopied for a file it copied itself, filesCopied for files other threads copied.
extern void (*TreeFileCopiedHook)(ULONGLONG bytes);
extern void (*TreeFilesCopiedHook)(ULONGLONG files, ULONGLONG bytes);

// Creates every folder of the path from its first backslash on (after a \\?\ or \\?\UNC\ prefix).
void CreateDirectoryChain(const wchar_t* path);

// Creates every component of the path under the long-path prefix (\\?\ or \\?\UNC\).
void CreateLongDirectoryPath(const wchar_t* path);
