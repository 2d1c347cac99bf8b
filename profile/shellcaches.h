// The Start-menu and shell cache files of Windows 8 and later.
#pragma once

#include <windows.h>

// Copies the app list cache, the shell Caches folder and the WinX folder from the source profile
// into the default profile, then has the user's Store-app package list written into the default
// profile. Returns the outcome of the app list cache and Caches copies; every copy refuses a link
// between a profile folder and the item (ErrorLinkRefused). MigrateStoreApps' result goes to
// *listed when it is given.
DWORD CopyShellCaches(const wchar_t* sourcePath, const wchar_t* defaultPath, const wchar_t* sidString,
                      DWORD* listed = nullptr);
