// The one test for folder links that every copy, move and delete in a user-writable folder applies,
// in the tool and in the companions. A junction needs no privilege on Windows, so a user can plant
// one in any folder of their profile; following it would let a copy made with an administrator's or
// LocalSystem's rights read, overwrite or delete files elsewhere.
#pragma once

#include <windows.h>

// A junction or directory link (a folder that is also a reparse point).
inline bool IsDirectoryLinkAttributes(DWORD attributes) {
    return attributes != INVALID_FILE_ATTRIBUTES &&
           (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) ==
               (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT);
}

// True when path itself, or any folder between base and path, is a reparse point (a directory link,
// or at the last level also a file link, which would redirect a copy as well), or when path
// does not lie below base (the check cannot vouch for it). base itself is not looked at: it is a
// folder the caller chose (a profile folder, the profiles folder). Components that do not exist
// are no link. Comparisons ignore letter case; base may end with a backslash or not.
bool PathCrossesLink(const wchar_t* base, const wchar_t* path);
