// Wallpaper and account picture of the mounted default hive.
#pragma once

#include <windows.h>

// Before Vista: replaces a wallpaper that lies in the user's folder by the system default.
void ResetLegacyWallpaper(const wchar_t* mountName, const wchar_t* userName, bool isWindows2000);

// Vista and later: copies the user's wallpaper images to the common Pictures folder, points the
// values there and removes the "AccountPicture" key. Win32 code (87 for a missing argument).
DWORD RelocateWallpaper(const wchar_t* mountName, const wchar_t* userName);
