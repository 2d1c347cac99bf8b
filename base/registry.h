// Registry walks shared by the tool and the companions.
#pragma once

#include <windows.h>

#include "base/raii.h"

// One step of a walk over the subkeys of key: true with the name at index (or with *skip set when
// that name is longer than capacity), false at the end and at any error, which would otherwise
// repeat at every index and never end the walk.
bool NextSubKey(HKEY key, DWORD index, wchar_t* name, DWORD capacity, bool* skip);

// The mounted hive is always opened in the native view. Windows shares a user hive's Software key
// between the views, so this changes nothing there; Wine redirects a 32-bit caller into
// Software\Wow6432Node whenever a key has such a child, which a real user's hive does.
const REGSAM HiveView = KEY_WOW64_64KEY;

// Opens "<keyTemplate with the mount name>" below HKEY_USERS in HiveView with the access given;
// never creates it. Empty when the key is missing or the path would not fit.
UniqueKey OpenMountedKey(const wchar_t* keyTemplate, const wchar_t* mountName, REGSAM access);
