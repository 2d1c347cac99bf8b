// File-system tests said once.
#pragma once

#include <windows.h>

// True when path names a file (anything but a folder) / a folder. Links are followed, as
// GetFileAttributesW follows them.
bool FileExists(const wchar_t* path);
bool FolderExists(const wchar_t* path);

// True for the "." and ".." entries of a listing.
bool IsDotName(const wchar_t* name);
