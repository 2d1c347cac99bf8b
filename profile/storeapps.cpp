#include "profile/storeapps.h"

#include "appx/appx.h"
#include "driver/common.h"
#include "base/links.h"
#include "profile/shellcaches.h"
#include "base/tree.h"

#include <shlobj.h>

namespace {

// Records the first failure only: the warning names the step that went wrong first.
void Note(StoreAppFailure* failure, const wchar_t* step, DWORD code) {
    if (code == 0 || failure->step) return;
    failure->step = step;
    failure->code = code;
}

// A listing by kelvo2.exe that still runs after the two minutes the tool waits has not been seen to
// finish; its "exit code" STILL_ACTIVE would read as "no more data" in the warning.
DWORD ListingCode(DWORD code) {
    return code == STILL_ACTIVE ? ERROR_TIMEOUT : code;
}

} // namespace

StoreAppFailure RunStoreAppSteps(const wchar_t* sourcePath, const wchar_t* defaultPath,
                                 const wchar_t* sidString, const VersionClasses& classes) {
    StoreAppFailure failure;
    if (!classes.windows8OrLater) return failure;
    DWORD listed = 0;
    CopyShellCaches(sourcePath, defaultPath, sidString, &listed);
    Note(&failure, L"listing the Store apps into the default profile", ListingCode(listed));
    if (IsUpdaterInWindowsFolder())
        Note(&failure, L"writing the Active Setup entry", RegisterActiveSetupEntry());
    else
        Note(&failure, L"writing the Active Setup entry (kelvo2.exe is not in the Windows folder)",
             ERROR_FILE_NOT_FOUND);
    if (!classes.windows10OrLater) return failure;

    // The service leaves the user's tile database as Migrate\vedatamodel.edb in this folder.
    Note(
        &failure, L"listing the Store apps of the source profile",
        ListingCode(MigrateStoreApps(sourcePath, sidString, true /* wait until the service has finished */)));
    wchar_t from[MAX_PATH], to[MAX_PATH], database[MAX_PATH];
    if (FormatBounded(from, MAX_PATH, L"%ws\\AppData\\Local\\Quillmar", sourcePath) != S_OK ||
        FormatBounded(to, MAX_PATH, L"%ws\\AppData\\Local\\Quillmar", defaultPath) != S_OK ||
        FormatBounded(database, MAX_PATH, L"%ws\\AppData\\Local\\TileDataLayer\\Database\\", defaultPath) !=
            S_OK) {
        Note(&failure, L"copying the source profile's Store-app data", ERROR_FILENAME_EXCED_RANGE);
        return failure;
    }
    Note(&failure, L"copying the source profile's Store-app data",
         CopyProfileFolder(sourcePath, from, defaultPath, to));

    // Creating the folder through a link planted in the default profile would write elsewhere.
    if (PathCrossesLink(defaultPath, database)) return failure;
    SHCreateDirectory(nullptr /* no window */, database);
    wchar_t copied[MAX_PATH], target[MAX_PATH];
    if (FormatBounded(copied, MAX_PATH, L"%ws\\AppData\\Local\\Quillmar\\Migrate\\vedatamodel.edb",
                      defaultPath) != S_OK ||
        FormatBounded(target, MAX_PATH, L"%wsvedatamodel.edb", database) != S_OK)
        return failure;
    // Not reported: the service backs a tile database up only where the source user has one.
    CopyProfileFile(defaultPath, copied, defaultPath, target);
    return failure;
}

void FormatStoreAppWarning(const StoreAppFailure& failure, wchar_t* line, size_t capacity) {
    wchar_t* text = nullptr;
    GetErrorText(failure.code, &text);
    FormatBounded(line, capacity, L"Warning: Store-app step failed: %ws. Error %u: %ws",
                  failure.step ? failure.step : L"", failure.code, text ? text : L"");
    if (text) LocalFree(text);
}
