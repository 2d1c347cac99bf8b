// The machine's profile list: which SID owns which profile folder.
#pragma once

#include <windows.h>

const wchar_t* const ProfileListKey = L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList";

// How two paths are compared ignoring case: each program keeps the comparison it uses for all its
// paths (the tool the C runtime's, the service the invariant locale's).
typedef bool (*SamePathFn)(const wchar_t* a, const wchar_t* b);

// True when the entry key's "ProfileImagePath", with environment references expanded, is the same
// path as profilePath. A value that does not fit 260 characters (terminator included) never matches.
bool ProfileImagePathMatches(HKEY entry, const wchar_t* profilePath, SamePathFn same);

// Fills sidString (256 characters) with the name of the first subkey of the open profile list whose
// "ProfileImagePath" matches profilePath as above. False, buffer untouched, when none does.
bool FindProfileSid(HKEY list, const wchar_t* profilePath, wchar_t* sidString, SamePathFn same);
