// Removes user-specific state from the new default hive while it is mounted.
#pragma once

#include <windows.h>

#include "base/version.h"

// The mounted hive is always opened in the native view. Windows shares a user hive's Software key
// between the views, so this changes nothing there; Wine redirects a 32-bit caller into
// Software\Wow6432Node whenever a key has such a child, which a real user's hive does.
const REGSAM HiveView = KEY_WOW64_64KEY;

struct VersionClasses {
    bool preVista;         // major version below 6, or unknown
    bool windows2000;      // 5.0
    bool windows8OrLater;  // 6.2 and later
    bool windows10OrLater; // 10.0 and later
};

VersionClasses ClassifyVersion(const OsVersion& version);

// mountName is the hive's key name under HKEY_USERS. Prints nothing itself; never fails.
void CleanDefaultHive(const wchar_t* mountName, const wchar_t* userName, const VersionClasses& classes);
