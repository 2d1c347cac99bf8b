#include "profile/source_traces.h"

#include "driver/common.h"
#include "driver/profilelist.h"
#include "base/raii.h"

#include <shlwapi.h>
#include <wchar.h>
#include <wctype.h>

namespace {

const DWORD ValueNameChars = 16384; // the longest value name the registry allows, terminator included
const DWORD KeyNameChars = 256;

// Characters that end a path inside a longer text: separators, quotes, list delimiters and the
// characters a folder name cannot hold. A space or a dot can continue a folder name ("Alice Smith").
bool EndsPath(wchar_t c) {
    return c < 0x20 || wcschr(L"\\/\"';,|<>*?:", c) != nullptr;
}

// Case-insensitive search for pattern in text[0, length); accept decides whether the character after
// an occurrence (0 at the end of the text) ends it.
bool ContainsWhole(const wchar_t* text, size_t length, const wchar_t* pattern, bool (*accept)(wchar_t)) {
    size_t patternLength = wcslen(pattern);
    if (patternLength == 0 || patternLength > length) return false;
    wchar_t upper = towupper(pattern[0]), lower = towlower(pattern[0]);
    for (size_t i = 0; i + patternLength <= length; ++i) {
        if (text[i] != upper && text[i] != lower) continue;
        // _wcsnicmp stops at a null in text, which then differs from the pattern: no overrun.
        if (_wcsnicmp(text + i, pattern, patternLength) != 0) continue;
        wchar_t next = i + patternLength < length ? text[i + patternLength] : L'\0';
        if (accept(next)) return true;
    }
    return false;
}

bool EndsSid(wchar_t c) {
    return c < L'0' || c > L'9';
} // S-1-5-21-...-1001 is not S-1-5-21-...-10012

bool IsStringType(DWORD type) {
    return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
}

UniqueKey OpenMountedKey(const wchar_t* keyTemplate, const wchar_t* mountName, REGSAM access) {
    wchar_t path[MAX_PATH];
    UniqueKey key;
    if (FormatBounded(path, MAX_PATH, keyTemplate, mountName) != S_OK)
        return key; // a cut path names another key
    RegOpenKeyExW(HKEY_USERS, path, 0, access | HiveView, key.put());
    return key;
}

// One walk's state: the shared buffers and what has been found so far.
struct Walk {
    const SourceUser* user;
    const ScanLimits* limits;
    ScanResult result;
    wchar_t* path; // label\key\key..., cut back as the walk returns
    size_t pathCapacity;
    DWORD shortestMatchBytes; // the shorter of the profile path and the SID, in bytes
    wchar_t* name;            // ValueNameChars
    BYTE* data;               // limits->maxValueBytes + a terminator
};

void ReportValue(const wchar_t* what, const Walk& walk) {
    if (walk.name[0] == L'\0')
        DebugPrint(L"DEBUG: %ws: %ws (default value)", what, walk.path);
    else
        DebugPrint(L"DEBUG: %ws: %ws \"%ws\"", what, walk.path, walk.name);
}

void ScanKey(Walk& walk, HKEY key, size_t pathLength, unsigned depth) {
    ++walk.result.keys;
    // Asking for the counts first spares the enumerations that would only find the end, and every
    // registry call is a round trip to the server under Wine.
    DWORD subKeys = 0, values = 0, longestData = 0;
    if (RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &subKeys, nullptr, nullptr, &values, nullptr,
                         &longestData, nullptr, nullptr) != ERROR_SUCCESS)
        subKeys = values = MAXDWORD; // enumerate until the end instead
    else if (longestData < walk.shortestMatchBytes)
        values = 0; // no value of this key is long enough to hold the path or the SID
    for (DWORD index = 0; index < values; ++index) {
        DWORD nameLength = ValueNameChars, type = REG_NONE, bytes = walk.limits->maxValueBytes;
        walk.name[0] = L'\0';
        LONG status = RegEnumValueW(key, index, walk.name, &nameLength, nullptr, &type, walk.data, &bytes);
        if (status == ERROR_MORE_DATA) {
            if (type == REG_NONE) RegQueryValueExW(key, walk.name, nullptr, &type, nullptr, nullptr);
            if (IsStringType(type)) {
                ++walk.result.unread;
                ReportValue(L"Too large to check for the source user", walk);
            }
            continue;
        }
        if (status != ERROR_SUCCESS) break; // the end, or an error that would repeat at every index
        if (!IsStringType(type)) continue;
        if (NamesSourceUser(reinterpret_cast<const wchar_t*>(walk.data), bytes / sizeof(wchar_t),
                            *walk.user)) {
            ++walk.result.named;
            ReportValue(L"Names the source user", walk);
        }
    }

    wchar_t subKey[KeyNameChars];
    bool skip = false;
    for (DWORD index = 0; index < subKeys && NextSubKey(key, index, subKey, KeyNameChars, &skip); ++index) {
        if (depth >= walk.limits->maxDepth || walk.result.keys >= walk.limits->maxKeys) {
            walk.result.stoppedAtLimit = true;
            return;
        }
        if (skip) continue; // no key name is longer than 255 characters
        UniqueKey child;
        if (RegOpenKeyExW(key, subKey, 0, KEY_READ | HiveView, child.put()) != ERROR_SUCCESS) continue;
        size_t childLength = pathLength;
        if (FormatBounded(walk.path + pathLength, walk.pathCapacity - pathLength, L"\\%ws", subKey) == S_OK)
            childLength += 1 + wcslen(subKey);
        ScanKey(walk, child.get(), childLength, depth + 1);
        walk.path[pathLength] = L'\0';
    }
}

// The source profile folder as a full path without a trailing backslash; empty for a drive root or
// a path that cannot be made full.
void FullProfilePath(const wchar_t* sourcePath, wchar_t* full) {
    full[0] = L'\0';
    DWORD length = GetFullPathNameW(sourcePath, MAX_PATH, full, nullptr);
    if (length == 0 || length >= MAX_PATH) {
        full[0] = L'\0';
        return;
    }
    while (length > 0 && full[length - 1] == L'\\')
        full[--length] = L'\0';
    if (length <= 2) full[0] = L'\0'; // "C:" would name every path on the drive
}

// The class hive that the run saved into the default profile, mounted read-only in spirit (nothing
// is written) under a free name, scanned, and unmounted. Returns the values found.
unsigned ScanSavedClassHive(const wchar_t* mountName, const wchar_t* defaultPath, const SourceUser& user) {
    // The place the in-use path saves the class hive to; only that path writes one in this run.
    wchar_t file[MAX_PATH], classMount[MAX_PATH];
    if (FormatBounded(file, MAX_PATH,
                      L"%ws\\Local Settings\\Application Data\\Microsoft\\Windows\\UsrClass.dat",
                      defaultPath) != S_OK ||
        FormatBounded(classMount, MAX_PATH, L"%ws_Classes", mountName) != S_OK)
        return 0;
    // No file there: the hive came as a file and no class hive was saved. (Asked first because a load
    // must not be what creates a hive file.)
    if (GetFileAttributesW(file) == INVALID_FILE_ATTRIBUTES) return 0;
    {
        UniqueKey taken;
        if (RegOpenKeyExW(HKEY_USERS, classMount, 0, KEY_READ, taken.put()) == ERROR_SUCCESS) {
            DebugPrint(L"DEBUG: The class hive was not checked for the source user: %ws is in use",
                       classMount);
            return 0;
        }
    }
    LONG loaded = RegLoadKeyW(HKEY_USERS, classMount, file);
    if (loaded != ERROR_SUCCESS) {
        DebugPrint(L"DEBUG: The class hive was not checked for the source user. Error %u",
                   static_cast<DWORD>(loaded));
        return 0;
    }
    unsigned named = 0;
    {
        UniqueKey root;
        if (RegOpenKeyExW(HKEY_USERS, classMount, 0, KEY_READ | HiveView, root.put()) == ERROR_SUCCESS)
            named = ScanForSourceUser(root.get(), L"UsrClass.dat", user, DefaultScanLimits).named;
    }
    RegUnLoadKeyW(HKEY_USERS, classMount);
    return named;
}

} // namespace

bool NamesSourceUser(const wchar_t* text, size_t length, const SourceUser& user) {
    return (user.profilePath[0] != L'\0' && ContainsWhole(text, length, user.profilePath, EndsPath)) ||
           (user.sidString[0] != L'\0' && ContainsWhole(text, length, user.sidString, EndsSid));
}

bool ProfileRelativeFolder(const wchar_t* folder, const wchar_t* profilePath, wchar_t* relative,
                           size_t capacity) {
    size_t length = wcslen(profilePath);
    if (length == 0 || _wcsnicmp(folder, profilePath, length) != 0) return false;
    if (folder[length] != L'\0' && folder[length] != L'\\') return false; // C:\Users\Alice2 is not inside
    return FormatBounded(relative, capacity, L"%%USERPROFILE%%%ws", folder + length) == S_OK;
}

unsigned RemoveUserChoices(const wchar_t* mountName) {
    const wchar_t* const parents[] = {
        L"%ws\\Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\FileExts",
        L"%ws\\Software\\Microsoft\\Windows\\Shell\\Associations\\UrlAssociations",
    };
    unsigned removed = 0;
    for (const wchar_t* parentTemplate : parents) {
        UniqueKey parent = OpenMountedKey(parentTemplate, mountName, KEY_READ);
        if (!parent) continue;
        wchar_t name[KeyNameChars];
        bool skip = false;
        // Deleting below a child leaves the parent's list of children, and so the index, as it was.
        for (DWORD index = 0; NextSubKey(parent.get(), index, name, KeyNameChars, &skip); ++index) {
            if (skip) continue;
            UniqueKey child;
            if (RegOpenKeyExW(parent.get(), name, 0, KEY_ALL_ACCESS | HiveView, child.put()) != ERROR_SUCCESS)
                continue;
            DWORD status = SHDeleteKeyW(child.get(), L"UserChoice");
            if (status == ERROR_SUCCESS)
                ++removed;
            else if (status != ERROR_FILE_NOT_FOUND)
                DebugPrint(L"DEBUG: Cannot remove the UserChoice key of %ws. Error %u", name, status);
        }
    }
    return removed;
}

unsigned RelativizeUserShellFolders(const wchar_t* mountName, const wchar_t* profilePath) {
    UniqueKey folders =
        OpenMountedKey(L"%ws\\Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\User Shell Folders",
                       mountName, KEY_ALL_ACCESS);
    if (!folders || profilePath[0] == L'\0') return 0;
    GuardedPtr name(GuardedAllocChars(ValueNameChars));
    if (!name) return 0;
    unsigned rewritten = 0;
    for (DWORD index = 0;; ++index) {
        // A folder location is a path; a longer value is no folder this step can rewrite.
        wchar_t data[1024] = {};
        wchar_t relative[1024];
        DWORD nameLength = ValueNameChars, type = REG_NONE, bytes = sizeof data - sizeof(wchar_t);
        LONG status = RegEnumValueW(folders.get(), index, name.chars(), &nameLength, nullptr, &type,
                                    reinterpret_cast<BYTE*>(data), &bytes);
        if (status == ERROR_MORE_DATA) continue;
        if (status != ERROR_SUCCESS) break;
        if (type != REG_SZ && type != REG_EXPAND_SZ) continue;
        data[bytes / sizeof(wchar_t)] = L'\0'; // stored without a terminator, or with an odd count
        if (!ProfileRelativeFolder(data, profilePath, relative, 1024)) continue;
        // Setting an existing value keeps its place in the list, so the index walk goes on unchanged.
        if (RegSetValueExW(folders.get(), name.chars(), 0, REG_EXPAND_SZ,
                           reinterpret_cast<const BYTE*>(relative),
                           static_cast<DWORD>((wcslen(relative) + 1) * sizeof(wchar_t))) == ERROR_SUCCESS)
            ++rewritten;
    }
    return rewritten;
}

ScanResult ScanForSourceUser(HKEY root, const wchar_t* label, const SourceUser& user,
                             const ScanLimits& limits) {
    Walk walk = {};
    walk.user = &user;
    walk.limits = &limits;
    walk.pathCapacity = wcslen(label) + (limits.maxDepth + 1) * KeyNameChars + 1;
    size_t shortest = MAXDWORD / sizeof(wchar_t);
    if (user.profilePath[0] != L'\0') shortest = wcslen(user.profilePath);
    if (user.sidString[0] != L'\0' && wcslen(user.sidString) < shortest) shortest = wcslen(user.sidString);
    walk.shortestMatchBytes = static_cast<DWORD>(shortest * sizeof(wchar_t));
    GuardedPtr path(GuardedAllocChars(walk.pathCapacity));
    GuardedPtr name(GuardedAllocChars(ValueNameChars));
    GuardedPtr data(GuardedAlloc(limits.maxValueBytes + sizeof(wchar_t)));
    if (!path || !name || !data) {
        DebugPrint(L"DEBUG: %ws was not checked for the source user: no memory", label);
        return walk.result;
    }
    walk.path = path.chars();
    walk.name = name.chars();
    walk.data = data.as<BYTE>();
    wcscpy(walk.path, label);
    ScanKey(walk, root, wcslen(label), 0);
    if (walk.result.stoppedAtLimit)
        DebugPrint(L"DEBUG: The check of %ws for the source user stopped at %u keys or %u levels", label,
                   limits.maxKeys, limits.maxDepth);
    return walk.result;
}

void CleanSourceUserTraces(const wchar_t* mountName, const wchar_t* sourcePath, const wchar_t* sidString,
                           const wchar_t* defaultPath, const VersionClasses& classes) {
    wchar_t profile[MAX_PATH];
    FullProfilePath(sourcePath, profile);
    // Windows rejects a default-app choice made for another user and resets it at every new user's
    // first sign-in, with a notice; before Windows 8 the choices carry no such hash.
    if (classes.windows8OrLater) RemoveUserChoices(mountName);
    RelativizeUserShellFolders(mountName, profile);

    SourceUser user = {profile, sidString};
    unsigned named = 0;
    {
        UniqueKey root;
        if (RegOpenKeyExW(HKEY_USERS, mountName, 0, KEY_READ | HiveView, root.put()) == ERROR_SUCCESS)
            named = ScanForSourceUser(root.get(), L"NTUSER.DAT", user, DefaultScanLimits).named;
    }
    named += ScanSavedClassHive(mountName, defaultPath, user);
    if (named != 0)
        ConsolePrint(
            L"%u registry values of the new default profile still name %ws; see the debug output.\r\n", named,
            profile[0] != L'\0' ? profile : sourcePath);
}
