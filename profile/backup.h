// Keeps the default profile's files aside while the update replaces them, so that a failed or
// interrupted run never loses the default profile it found. Files are moved (renamed), never copied,
// so keeping them costs about what deleting them would.
//
// The backup folder "<default profile>.corvane-backup" is a hidden sibling on the same volume. It holds
// the files under "profile", in the default profile's own folder structure, and one empty marker file
// "phase.<name>" that says how far the run got; a marker is renamed from one phase to the next, so a
// run cut off at any moment leaves exactly one:
//   phase.aside    files are being moved aside; the default profile holds only originals
//   phase.update   every file is aside; the files in the default profile are this run's
//   phase.moveback this run's files are gone; originals are being moved back
//   phase.discard  the run succeeded; the backup is being removed
// A marker that cannot be renamed stops the step that depends on it. The files folder is made before
// the marker and removed before it, so a folder without a marker that holds no file was cut off
// between the two, and is removed without a word.
#pragma once

#include <windows.h>

// "<default profile>.corvane-backup". False when it would not fit in MAX_PATH characters.
bool BackupFolderName(const wchar_t* defaultPath, wchar_t* backupPath);

// Deals with a backup folder left by an earlier run that did not end: finishes that run's rollback,
// so the default profile is as it was before it (one line says so), or, when that cannot be done or
// the folder is not one this program understands, brings every old file that can be moved into the
// backup folder and keeps it under a time-stamped name (one line names it). A leftover of a successful
// run is removed. 0, or a Win32 code when the old files could not be brought together in one folder
// (the backup folder then stays as it is, one line says where the files are, and nothing else happens).
DWORD RecoverInterruptedRun(const wchar_t* defaultPath, const wchar_t* backupPath);

// Moves every file below defaultPath into the backup, keeping every folder of the default profile (as
// emptying it would). Directory links are left alone. All or nothing: when the backup folder, a mirror
// folder or a move fails, or an entry cannot be named, what was moved goes back, the backup folder is
// removed, one line names the file and the error, and the error is returned.
DWORD SetDefaultProfileAside(const wchar_t* defaultPath, const wchar_t* backupPath);

// Rolls the default profile back after a failed run: removes the files this run wrote and the folders
// it made, moves every kept file back, and removes the backup. True (and the "restored" line) only when
// the default profile is as it was; otherwise the backup stays where it is, for the next run to finish,
// and one line says where the old files are. Nothing is deleted unless the marker says "update", and
// nothing is moved back until every file of the run is gone and the marker says "moveback".
bool RestoreDefaultProfile(const wchar_t* defaultPath, const wchar_t* backupPath);

// Removes the backup after a successful run: the marker says "discard" first, then the old files go,
// the marker last. 0, or the Win32 code when the marker could not say "discard" (the backup is then
// untouched and the run must not count as done: its backup would be taken for an interrupted run's).
DWORD DiscardBackup(const wchar_t* backupPath);

// The call that continues a folder listing in the backup's walks (FindNextFileW). Only tests put
// another in its place, to cut a listing short.
extern BOOL(WINAPI* BackupFindNextFile)(HANDLE, LPWIN32_FIND_DATAW);
