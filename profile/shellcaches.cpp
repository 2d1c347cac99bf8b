#include "profile/shellcaches.h"

#include "appx/appx.h"
#include "driver/common.h"
#include "base/tree.h"

#include <shlobj.h>
#include <wchar.h>

namespace {

// Local AppData relative to a profile folder, without a leading backslash, as the running
// account's default locations place it; empty when it does not lie inside that profile.
void LocalAppDataRelative(wchar_t* relative) {
    relative[0] = L'\0';
    wchar_t folder[MAX_PATH] = {};
    if (FAILED(SHGetFolderPathW(nullptr, CSIDL_PROFILE, nullptr, SHGFP_TYPE_DEFAULT, folder))) return;
    size_t profileLength = wcslen(folder);
    wchar_t profile[MAX_PATH];
    wcscpy(profile, folder);
    if (FAILED(SHGetFolderPathW(nullptr, CSIDL_LOCAL_APPDATA, nullptr, SHGFP_TYPE_DEFAULT, folder))) return;
    if (wcslen(folder) <= profileLength + 1 || _wcsnicmp(folder, profile, profileLength) != 0 ||
        folder[profileLength] != L'\\')
        return;
    wcscpy(relative, folder + profileLength + 1);
}

} // namespace

DWORD CopyShellCaches(const wchar_t* sourcePath, const wchar_t* defaultPath, const wchar_t* sidString,
                      DWORD* listed) {
    wchar_t relative[MAX_PATH];
    LocalAppDataRelative(relative);

    DWORD result = ERROR_PATH_NOT_FOUND; // nothing can be copied without the relative path
    wchar_t from[MAX_PATH], to[MAX_PATH];
    if (relative[0] != L'\0') {
        if (FormatBounded(from, MAX_PATH, L"%s\\%s\\Microsoft\\Windows\\appsFolder.itemdata-ms", sourcePath,
                          relative) == S_OK &&
            FormatBounded(to, MAX_PATH, L"%s\\%s\\Microsoft\\Windows\\appsFolder.itemdata-ms", defaultPath,
                          relative) == S_OK)
            result = CopyProfileFile(sourcePath, from, defaultPath, to);
        else
            result = ERROR_FILENAME_EXCED_RANGE;
        // The Caches folder goes with the app list it belongs to, or not at all.
        if (result == 0) {
            if (FormatBounded(from, MAX_PATH, L"%s\\%s\\Microsoft\\Windows\\Caches", sourcePath, relative) ==
                    S_OK &&
                FormatBounded(to, MAX_PATH, L"%s\\%s\\Microsoft\\Windows\\Caches", defaultPath, relative) ==
                    S_OK)
                result = CopyProfileFolder(sourcePath, from, defaultPath, to);
            else
                result = ERROR_FILENAME_EXCED_RANGE;
        }
    }

    if (FormatBounded(from, MAX_PATH, L"%ws\\AppData\\Local\\Microsoft\\Windows\\WinX", sourcePath) == S_OK &&
        FormatBounded(to, MAX_PATH, L"%ws\\AppData\\Local\\Microsoft\\Windows\\WinX", defaultPath) == S_OK)
        CopyProfileFolder(sourcePath, from, defaultPath, to); // a missing WinX folder is no failure

    DWORD listing = MigrateStoreApps(defaultPath, sidString, false /* do not wait */);
    if (listed) *listed = listing;
    return result;
}
