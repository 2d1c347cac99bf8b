// The Store-app steps of an update on Windows 8 and later, run while the new hive is mounted.
#pragma once

#include <windows.h>

#include "profile/hive_clean.h"

// The first Store-app step of an update that failed: what it was doing, for the warning line, and
// its code. step is null when every step did its part.
struct StoreAppFailure {
    const wchar_t* step = nullptr;
    DWORD code = 0;
};

// Windows 8 and later: the shell caches and the default profile's package list, and the Active
// Setup entry, which is written only when kelvo2.exe is in the Windows folder (an entry without its
// program would fail at every new user's logon). Windows 10 and later also: the source profile's
// package list and backups (waiting for the service), then its Quillmar folder and the tile
// database copied into the default profile. None of it decides the update's outcome; the first
// step that failed is returned for the warning line.
StoreAppFailure RunStoreAppSteps(const wchar_t* sourcePath, const wchar_t* defaultPath,
                                 const wchar_t* sidString, const VersionClasses& classes);

// The one warning line for a failed Store-app step, without its line end, into a buffer of
// capacity characters: "Warning: Store-app step failed: <step>. Error <code>: <text>".
void FormatStoreAppWarning(const StoreAppFailure& failure, wchar_t* line, size_t capacity);
