// What the clean-up table leaves in the new default hive that still belongs to the source user:
// default-app choices Windows would reset, folder locations inside the source profile, and a count
// of string values that still name the source profile folder or the user's SID.
#pragma once

#include <windows.h>

#include "profile/hive_clean.h"

// The texts that name the source user. profilePath is a full path without a trailing backslash
// (empty when it is a drive root, which would match everything on the drive).
struct SourceUser {
    const wchar_t* profilePath;
    const wchar_t* sidString;
};

// True when text (length characters, not necessarily terminated) contains the profile path as a
// whole path (followed by the end, a backslash or a character no folder name holds) or the SID
// string as a whole SID (not followed by a digit). Letter case is ignored.
bool NamesSourceUser(const wchar_t* text, size_t length, const SourceUser& user);

// When folder equals profilePath or lies below it (ignoring case), writes "%USERPROFILE%" and the
// rest of folder into relative (capacity characters) and returns true; false otherwise, also when
// the result would not fit.
bool ProfileRelativeFolder(const wchar_t* folder, const wchar_t* profilePath, wchar_t* relative,
                           size_t capacity);

// Deletes the "UserChoice" subkey of every extension below Explorer\FileExts and of every scheme
// below Shell\Associations\UrlAssociations in the hive mounted as mountName; the extension and scheme
// keys keep everything else. Returns how many were deleted.
unsigned RemoveUserChoices(const wchar_t* mountName);

// Rewrites each string value of Explorer\User Shell Folders that lies inside profilePath to the same
// place relative to %USERPROFILE% (REG_EXPAND_SZ). Values elsewhere are left as they are. Returns
// how many were rewritten.
unsigned RelativizeUserShellFolders(const wchar_t* mountName, const wchar_t* profilePath);

// Limits of one walk over a mounted hive; a hive the source user wrote is not trusted to be small.
struct ScanLimits {
    unsigned maxDepth;   // keys deeper than this below the root are not entered
    unsigned maxKeys;    // keys visited in all, the root included
    DWORD maxValueBytes; // larger string values are not read
};
const ScanLimits DefaultScanLimits = {32, 200000, 65536};

struct ScanResult {
    unsigned named;      // string values that name the source user
    unsigned keys;       // keys visited
    unsigned unread;     // string values too large to read, or that could not be read
    bool stoppedAtLimit; // a deeper key or a further key was left out
};

// Walks the hive below root (REG_SZ, REG_EXPAND_SZ and REG_MULTI_SZ values only) and sends one
// "DEBUG: " line for every value that names the user, its key shown as label\path. Never writes.
// The walk runs on a few threads; the lines come out in the order a walk on one thread meets the
// values (beyond 10,000 lines, as they are found), and maxKeys is exact on any number of threads.
ScanResult ScanForSourceUser(HKEY root, const wchar_t* label, const SourceUser& user,
                             const ScanLimits& limits);

// The steps above for the mounted new default hive, after the clean-up table: user choices (Windows 8
// and later), folder locations, then the scan of the hive and of the class hive the run saved into
// the default profile, if any. Prints one line when values still name the source user; otherwise
// nothing. Never fails the update.
void CleanSourceUserTraces(const wchar_t* mountName, const wchar_t* sourcePath, const wchar_t* sidString,
                           const wchar_t* defaultPath, const VersionClasses& classes);
