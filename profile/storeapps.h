// The Store-app steps of an update on Windows 8 and later, run while the new hive is mounted.
#pragma once

#include <windows.h>

#include "profile/hive_clean.h"

// Windows 8 and later: the shell caches and the default profile's package list, and the Active
// Setup entry. Windows 10 and later also: the source profile's package list and backups (waiting
// for the service), then its Quillmar folder and the tile database copied into the default
// profile. Results are not reported: nothing here decides the update's outcome.
void RunStoreAppSteps(const wchar_t* sourcePath, const wchar_t* defaultPath, const wchar_t* sidString,
                      const VersionClasses& classes);
