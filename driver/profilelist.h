// Finds the owner of a profile folder in the machine's profile list.
#pragma once

#include <windows.h>

const wchar_t* const ProfileListKey = L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList";

// True when the entry key's "ProfileImagePath", with environment references expanded, equals
// profilePath ignoring case. A value that does not fit 260 characters (terminator included) never
// matches.
bool ProfileImagePathMatches(HKEY entry, const wchar_t* profilePath);

// One step of a walk over the subkeys of key: true with the name at index (or with *skip set when
// that name is longer than capacity), false at the end and at any error, which would otherwise
// repeat at every index and never end the walk.
bool NextSubKey(HKEY key, DWORD index, wchar_t* name, DWORD capacity, bool* skip);

// The walk of GetProfileSidString over an open ProfileList key.
bool FindProfileSid(HKEY list, const wchar_t* profilePath, wchar_t* sidString);

// Fills sidString (256 characters) with the name of the first ProfileList entry whose expanded
// "ProfileImagePath" equals profilePath, ignoring case. False, buffer untouched, when none does.
bool GetProfileSidString(const wchar_t* profilePath, wchar_t* sidString);
