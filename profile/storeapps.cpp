#include "profile/storeapps.h"

#include "appx/appx.h"
#include "driver/common.h"
#include "driver/links.h"
#include "profile/shellcaches.h"
#include "profile/tree.h"

#include <shlobj.h>

void RunStoreAppSteps(const wchar_t* sourcePath, const wchar_t* defaultPath, const wchar_t* sidString,
                      const VersionClasses& classes) {
    if (!classes.windows8OrLater) return;
    CopyShellCaches(sourcePath, defaultPath, sidString);
    RegisterActiveSetupEntry();
    if (!classes.windows10OrLater) return;

    // The service leaves the user's tile database as Migrate\vedatamodel.edb in this folder.
    MigrateStoreApps(sourcePath, sidString, true /* wait until the service has finished */);
    wchar_t from[MAX_PATH], to[MAX_PATH], database[MAX_PATH];
    if (FormatBounded(from, MAX_PATH, L"%ws\\AppData\\Local\\Quillmar", sourcePath) != S_OK ||
        FormatBounded(to, MAX_PATH, L"%ws\\AppData\\Local\\Quillmar", defaultPath) != S_OK ||
        FormatBounded(database, MAX_PATH, L"%ws\\AppData\\Local\\TileDataLayer\\Database\\", defaultPath) !=
            S_OK)
        return;
    CopyProfileFolder(sourcePath, from, defaultPath, to);

    // Creating the folder through a link planted in the default profile would write elsewhere.
    if (PathCrossesLink(defaultPath, database)) return;
    SHCreateDirectory(nullptr /* no window */, database);
    wchar_t copied[MAX_PATH], target[MAX_PATH];
    if (FormatBounded(copied, MAX_PATH, L"%ws\\AppData\\Local\\Quillmar\\Migrate\\vedatamodel.edb",
                      defaultPath) != S_OK ||
        FormatBounded(target, MAX_PATH, L"%wsvedatamodel.edb", database) != S_OK)
        return;
    CopyProfileFile(defaultPath, copied, defaultPath, target);
}
