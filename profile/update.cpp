#include "profile/update.h"

#include "driver/common.h"
#include "base/links.h"
#include "driver/privileges.h"
#include "driver/profilelist.h"
#include "base/raii.h"
#include "base/version.h"
#include "base/winecompat.h"
#include "profile/backup.h"
#include "profile/hive_clean.h"
#include "profile/progress.h"
#include "profile/source_traces.h"
#include "profile/storeapps.h"
#include "base/tree.h"

#include <sddl.h>
#include <stdarg.h>
#include <shlobj.h>
#include <wchar.h>

namespace {

const int FolderRows = 15;
const int RecentRow = 5; // zero-based index of the recent-items row
// The table's first ten folders (roaming application data to links): a failed copy ends the run.
const int RequiredRows = 10;

// Known folders by GUID, declared here: the XP-level headers do not have them.
const GUID FolderIdDownloads = {0x374DE290, 0x123F, 0x4565, {0x91, 0x64, 0x39, 0xC4, 0x92, 0x5E, 0x46, 0x7B}};
const GUID FolderIdLinks = {0xBFB9D5E0, 0xC6A9, 0x404C, {0xB2, 0xB2, 0xAE, 0x6D, 0xB6, 0xAF, 0x49, 0x68}};
typedef HRESULT(WINAPI* SHGetKnownFolderPathFn)(REFGUID, DWORD, HANDLE, PWSTR*);

struct FolderRow {
    int csidl;         // -1 for a known-folder row
    const GUID* known; // the known folder, or null
    const wchar_t* suffix;
};

const FolderRow Rows[FolderRows] = {
    {CSIDL_APPDATA, nullptr, nullptr},
    {CSIDL_COOKIES, nullptr, nullptr},
    {CSIDL_DESKTOPDIRECTORY, nullptr, nullptr},
    {CSIDL_FAVORITES, nullptr, nullptr},
    {CSIDL_PERSONAL, nullptr, nullptr},
    {CSIDL_RECENT, nullptr, nullptr},
    {CSIDL_SENDTO, nullptr, nullptr},
    {CSIDL_STARTMENU, nullptr, nullptr},
    {-1, &FolderIdDownloads, nullptr},
    {-1, &FolderIdLinks, nullptr},
    {CSIDL_NETHOOD, nullptr, nullptr},
    {CSIDL_PRINTHOOD, nullptr, nullptr},
    {CSIDL_TEMPLATES, nullptr, nullptr},
    {CSIDL_LOCAL_APPDATA, nullptr, L"\\Microsoft\\Windows Sidebar"},
    {CSIDL_LOCAL_APPDATA, nullptr, L"\\Microsoft\\Windows\\Themes"},
};

typedef wchar_t RelativePath[MAX_PATH];

// The part of folder after "<profile>\", or empty when the folder does not lie below the profile
// folder (a relative path cannot be made of it).
void StoreRelative(const wchar_t* folder, const wchar_t* profile, size_t profileLength, const wchar_t* suffix,
                   wchar_t* relative) {
    relative[0] = L'\0';
    if (wcslen(folder) <= profileLength + 1 || _wcsnicmp(folder, profile, profileLength) != 0 ||
        folder[profileLength] != L'\\')
        return;
    if (FormatBounded(relative, MAX_PATH, L"%ws%ws", folder + profileLength + 1, suffix ? suffix : L"") !=
        S_OK)
        relative[0] = L'\0';
}

// The fifteen folders relative to a profile, learnt from the running account's default locations.
void BuildFolderTable(RelativePath* table) {
    wchar_t profile[MAX_PATH] = {};
    for (int i = 0; i < FolderRows; ++i)
        table[i][0] = L'\0';
    if (FAILED(SHGetFolderPathW(nullptr, CSIDL_PROFILE, nullptr, SHGFP_TYPE_DEFAULT, profile))) return;
    size_t length = wcslen(profile);

    SHGetKnownFolderPathFn getKnownFolderPath = nullptr;
    if (HMODULE shell = LoadLibraryW(L"Shell32.dll")) // stays loaded for the process
        getKnownFolderPath = reinterpret_cast<SHGetKnownFolderPathFn>(
            reinterpret_cast<void*>(GetProcAddress(shell, "SHGetKnownFolderPath")));

    for (int i = 0; i < FolderRows; ++i) {
        const FolderRow& row = Rows[i];
        if (row.known) {
            PWSTR path = nullptr;
            if (getKnownFolderPath && SUCCEEDED(getKnownFolderPath(*row.known, 0, nullptr, &path)) && path)
                StoreRelative(path, profile, length, nullptr, table[i]);
            if (path) CoTaskMemFree(path);
            continue;
        }
        wchar_t folder[MAX_PATH] = {};
        if (SUCCEEDED(SHGetFolderPathW(nullptr, row.csidl, nullptr, SHGFP_TYPE_DEFAULT, folder)))
            StoreRelative(folder, profile, length, row.suffix, table[i]);
    }
}

// Saves the loaded hive (and class hive) of the profile at profilePath into the default profile.
DWORD SaveLoadedHive(const wchar_t* profilePath, const wchar_t* defaultPath, const wchar_t* hiveFile) {
    UniqueKey list;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, ProfileListKey, 0, KEY_READ, list.put()) != ERROR_SUCCESS) return 1;
    wchar_t name[256 + 8]; // room for "_Classes"
    bool skip = false;
    for (DWORD index = 0; NextSubKey(HKEY_USERS, index, name, 256, &skip); ++index) {
        // Built-in service accounts (S-1-5-18 and the like) and .DEFAULT are never a user's hive.
        if (skip || wcslen(name) == 8 || _wcsicmp(name, L".DEFAULT") == 0) continue;
        UniqueKey entry;
        if (RegOpenKeyExW(list.get(), name, 0, KEY_READ, entry.put()) != ERROR_SUCCESS) continue;
        if (!ProfileImagePathMatches(entry.get(), profilePath)) continue;

        LONG saved = ERROR_SUCCESS;
        UniqueKey hive;
        if (RegOpenKeyExW(HKEY_USERS, name, 0, KEY_READ, hive.put()) == ERROR_SUCCESS)
            saved = RegSaveKeyW(hive.get(), hiveFile, nullptr);
        // A hive that did not open leaves no file; the mount then fails and says so.
        wcscat(name, L"_Classes");
        UniqueKey classes;
        if (RegOpenKeyExW(HKEY_USERS, name, 0, KEY_READ, classes.put()) == ERROR_SUCCESS) {
            wchar_t folder[MAX_PATH], classFile[MAX_PATH];
            if (FormatBounded(folder, MAX_PATH, L"%ws\\Local Settings\\Application Data\\Microsoft\\Windows",
                              defaultPath) == S_OK &&
                FormatBounded(classFile, MAX_PATH, L"%ws\\UsrClass.dat", folder) == S_OK) {
                CreateLongDirectoryPath(folder);
                RegSaveKeyW(classes.get(), classFile, nullptr); // a missing class hive is no failure
            }
        }
        return static_cast<DWORD>(saved);
    }
    return ERROR_NO_MORE_ITEMS; // no loaded hive belongs to the profile
}

// The key under HKEY_USERS where the new hive is mounted: the SID string, or, when a hive is already
// loaded under that name (the user is signed in), a free name of the tool's own.
bool ChooseMountKey(const wchar_t* sidString, wchar_t* mountKey) {
    UniqueKey existing;
    if (RegOpenKeyExW(HKEY_USERS, sidString, 0, KEY_READ, existing.put()) != ERROR_SUCCESS) {
        wcscpy(mountKey, sidString);
        return true;
    }
    for (unsigned n = 0; n < 100; ++n) {
        FormatBounded(mountKey, 64, L"Corvane-%u-%u", GetCurrentProcessId(), n);
        UniqueKey taken;
        if (RegOpenKeyExW(HKEY_USERS, mountKey, 0, KEY_READ, taken.put()) != ERROR_SUCCESS) return true;
    }
    return false;
}

// Undoes the run's changes to the default profile; the rollback says in one line how it went.
DWORD FailRestoring(DWORD code, const wchar_t* defaultPath, const wchar_t* backupPath) {
    RestoreDefaultProfile(defaultPath, backupPath);
    return code;
}

// One console line, formatted into the 256-character message buffer.
void PrintMessage(const wchar_t* format, ...) {
    wchar_t line[256];
    va_list args;
    va_start(args, format);
    FormatBoundedV(line, 256, format, args);
    va_end(args);
    ConsolePrint(L"%ws\r\n", line);
}

} // namespace

DWORD UpdateDefaultProfile(const wchar_t* profilePath, const wchar_t* userName, PSID userSid) {
    {
        UniqueHandle token;
        if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ALL_ACCESS, token.put())) return GetLastError();
        if (!EnablePrivilege(token.get(), L"SeBackupPrivilege")) return GetLastError();
    }
    wchar_t* sidText = nullptr;
    if (!ConvertSidToStringSidW(userSid, &sidText)) return GetLastError();
    UniqueLocal sidOwner(sidText);

    wchar_t sourcePath[MAX_PATH];
    if (FormatBounded(sourcePath, MAX_PATH, L"%ws", profilePath) != S_OK) return ERROR_FILENAME_EXCED_RANGE;
    wchar_t defaultPath[MAX_PATH];
    DWORD size = MAX_PATH;
    if (!GetDefaultProfileFolder(defaultPath, &size)) return GetLastError();
    // Emptying the default profile would destroy the very files that are to be copied.
    if (_wcsicmp(defaultPath, sourcePath) == 0) return ERROR_INVALID_PARAMETER;

    wchar_t hiveFile[MAX_PATH], sourceHive[MAX_PATH], backupPath[MAX_PATH];
    if (FormatBounded(hiveFile, MAX_PATH, L"%s\\NTUSER.DAT", defaultPath) != S_OK ||
        FormatBounded(sourceHive, MAX_PATH, L"%ws\\NTUSER.DAT", sourcePath) != S_OK ||
        !BackupFolderName(defaultPath, backupPath))
        return ERROR_FILENAME_EXCED_RANGE;

    // Empty the default profile, keeping its files aside until the run has succeeded.
    DWORD code = RecoverInterruptedRun(defaultPath, backupPath);
    if (code != 0) return code;
    code = SetDefaultProfileAside(defaultPath, backupPath);
    if (code != 0) return code;

    code = CopyProfileFile(sourcePath, sourceHive, defaultPath, hiveFile);
    if (code != 0) {
        if (code != ERROR_SHARING_VIOLATION) return FailRestoring(code, defaultPath, backupPath);
        // The user's registry is loaded: take the hive from the registry instead.
        code = SaveLoadedHive(sourcePath, defaultPath, hiveFile);
        if (code != 0) return FailRestoring(code, defaultPath, backupPath);
    }

    RelativePath table[FolderRows];
    BuildFolderTable(table);
    {
        // The console title shows what is being copied; the original comes back when the copies end,
        // however they end.
        ConsoleTitle title;
        CopyProgress progress;
        InitCopyProgress(&progress, ConsoleTitle::Show, &title);
        InstallCopyProgress(&progress);
        auto uninstall = MakeScopeExit([] { InstallCopyProgress(nullptr); });
        for (int i = 0; i < FolderRows; ++i) {
            if (table[i][0] == L'\0') continue;
            wchar_t from[MAX_PATH], to[MAX_PATH];
            if (FormatBounded(from, MAX_PATH, L"%s\\%s", sourcePath, table[i]) != S_OK ||
                FormatBounded(to, MAX_PATH, L"%s\\%s", defaultPath, table[i]) != S_OK) {
                if (i >= RequiredRows) continue;
                return FailRestoring(ERROR_FILENAME_EXCED_RANGE, defaultPath, backupPath);
            }
            // A folder the user replaced by a link is not copied through; for the first RequiredRows
            // folders of the table that ends the run like any failed copy.
            ProgressFolder(table[i]);
            // A failure in the first RequiredRows folders ends the run: nothing more of that folder is
            // copied once it is met.
            code = CopyProfileFolder(sourcePath, from, defaultPath, to, userSid, i < RequiredRows);
            if (code != 0 && i < RequiredRows) {
                PrintMessage(L"Cannot copy %ws. Error %u", from, code);
                return FailRestoring(code, defaultPath, backupPath);
            }
        }
    }
    if (table[RecentRow][0] != L'\0') {
        wchar_t recent[MAX_PATH];
        // Emptying through a link would delete files elsewhere.
        if (FormatBounded(recent, MAX_PATH, L"%s\\%s", defaultPath, table[RecentRow]) == S_OK &&
            !PathCrossesLink(defaultPath, recent))
            DeleteTree(recent, true);
    }

    wchar_t mountKey[MAX_PATH];
    if (!ChooseMountKey(sidText, mountKey))
        return FailRestoring(ERROR_ALREADY_EXISTS, defaultPath, backupPath);
    LONG loaded = RegLoadKeyW(HKEY_USERS, mountKey, hiveFile);
    if (loaded != ERROR_SUCCESS) {
        PrintMessage(L"Load Registry fails. Error %u", static_cast<DWORD>(loaded));
        return FailRestoring(static_cast<DWORD>(loaded), defaultPath, backupPath);
    }

    VersionClasses classes = ClassifyVersion(ReadOsVersion());
    CleanDefaultHive(mountKey, userName, classes);
    CleanSourceUserTraces(mountKey, sourcePath, sidText, defaultPath, classes);
    // Windows 8 and later, still mounted: Start-menu caches, the Store-app lists and the Active Setup
    // entry. Nothing in it can stop the update.
    StoreAppFailure storeApps = RunStoreAppSteps(sourcePath, defaultPath, sidText, classes);

    DWORD flushed = WineSaveMountedHive(mountKey, hiveFile);
    RegUnLoadKeyW(HKEY_USERS, mountKey);
    if (flushed == 0) flushed = WineReplaceHiveFile(hiveFile);
    if (flushed != 0) return FailRestoring(flushed, defaultPath, backupPath);

    code = DiscardBackup(backupPath);
    if (code != 0) return FailRestoring(code, defaultPath, backupPath);
    if (storeApps.step) {
        // The default profile was updated; the line tells a deployment's log what new users miss.
        wchar_t warning[512];
        FormatStoreAppWarning(storeApps, warning, 512);
        ConsolePrint(L"%ws\r\n", warning);
    }
    return 0;
}
