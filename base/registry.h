// Registry walks shared by the tool and the companions.
#pragma once

#include <windows.h>

#include "base/raii.h"

// One step of a walk over the subkeys of key: true with the name at index (or with *skip set when
// that name is longer than capacity), false at the end and at any error, which would otherwise
// repeat at every index and never end the walk.
bool NextSubKey(HKEY key, DWORD index, wchar_t* name, DWORD capacity, bool* skip);

// Opens "<keyTemplate with the mount name>" below HKEY_USERS with the access given (the view flag
// included); never creates it. Empty when the key is missing or the path would not fit.
UniqueKey OpenMountedKey(const wchar_t* keyTemplate, const wchar_t* mountName, REGSAM access);
