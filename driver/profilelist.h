// Finds the owner of a profile folder in the machine's profile list.
#pragma once

#include "base/profiles.h"
#include "base/registry.h"

#include <windows.h>

// The profile list's path comparison as the tool makes it (the C runtime's, ignoring case).
bool ProfileImagePathMatches(HKEY entry, const wchar_t* profilePath);
bool FindProfileSid(HKEY list, const wchar_t* profilePath, wchar_t* sidString);

// Fills sidString (256 characters) with the name of the first ProfileList entry whose expanded
// "ProfileImagePath" equals profilePath, ignoring case. False, buffer untouched, when none does.
bool GetProfileSidString(const wchar_t* profilePath, wchar_t* sidString);
