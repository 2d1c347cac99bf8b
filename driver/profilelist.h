// Finds the owner of a profile folder in the machine's profile list.
#pragma once

#include <windows.h>

const wchar_t* const ProfileListKey = L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList";

// True when the entry key's "ProfileImagePath", with environment references expanded, equals
// profilePath ignoring case. A value that does not fit 260 characters never matches.
bool ProfileImagePathMatches(HKEY entry, const wchar_t* profilePath);

// Fills sidString (256 characters) with the name of the first ProfileList entry whose expanded
// "ProfileImagePath" equals profilePath, ignoring case. False, buffer untouched, when none does.
bool GetProfileSidString(const wchar_t* profilePath, wchar_t* sidString);
