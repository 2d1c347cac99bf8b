// Registry walks shared by the tool and the companions.
#pragma once

#include <windows.h>

// One step of a walk over the subkeys of key: true with the name at index (or with *skip set when
// that name is longer than capacity), false at the end and at any error, which would otherwise
// repeat at every index and never end the walk.
bool NextSubKey(HKEY key, DWORD index, wchar_t* name, DWORD capacity, bool* skip);
