// Keeps the default profile's files aside while the update replaces them, so that a failed run can
// put the default profile back exactly as it was. Files are moved (renamed), never copied, so keeping
// them costs about what deleting them would.
#pragma once

#include <windows.h>

// "<default profile>.corvane-backup": a hidden sibling on the same volume. False when it would not
// fit in MAX_PATH characters.
bool BackupFolderName(const wchar_t* defaultPath, wchar_t* backupPath);

// A backup found at the start belongs to an earlier run that was interrupted; it may be the only copy
// of the default profile as it was before that run. It is renamed with a time stamp and kept, never
// restored over the current default profile and never mixed with this run's backup. Prints one line
// when it does so. 0 or a Win32 code.
DWORD KeepStaleBackup(const wchar_t* backupPath);

// Moves every file below defaultPath into the same place below backupPath, keeping every folder of
// the default profile (as emptying it would) and mirroring the folders in the backup. Directory
// reparse points are left alone. False (nothing moved) when the default folder cannot be listed.
bool MoveFilesAside(const wchar_t* defaultPath, const wchar_t* backupPath);

// Removes what this run put into the default profile (files, and folders that the backup does not
// know) and moves the kept files back, then removes the backup.
void RestoreDefaultProfile(const wchar_t* defaultPath, const wchar_t* backupPath);

// Removes the backup after a successful run.
void DiscardBackup(const wchar_t* backupPath);
