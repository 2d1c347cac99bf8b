// The update sequence that makes a profile the machine's default profile.
#pragma once

#include <windows.h>

// Turns the profile at profilePath (userName is its last component, userSid its owner) into the
// default profile. 0 on success, else a Win32 code; prints its own progress and messages.
DWORD UpdateDefaultProfile(const wchar_t* profilePath, const wchar_t* userName, PSID userSid);
