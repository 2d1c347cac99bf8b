// Removes user-specific state from the new default hive while it is mounted.
#pragma once

#include <windows.h>

#include "base/registry.h"
#include "base/version.h"

struct VersionClasses {
    bool preVista;         // major version below 6, or unknown
    bool windows2000;      // 5.0
    bool windows8OrLater;  // 6.2 and later
    bool windows10OrLater; // 10.0 and later
};

VersionClasses ClassifyVersion(const OsVersion& version);

// mountName is the hive's key name under HKEY_USERS. Prints nothing itself; never fails.
void CleanDefaultHive(const wchar_t* mountName, const wchar_t* userName, const VersionClasses& classes);
