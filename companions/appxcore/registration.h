// The registration of a package list for the calling user, as the service does it for its client and
// the updater does it in its own process: refresh (service), count and select by mode, up to three
// attempts per package, the failure list, then the folder, settings and tile database restores.
#pragma once

#include "companions/appxcore/manageappx.h"

#include <functional>
#include <string>
#include <vector>

namespace appxcore {

// What differs between the callers. The priority families are the module's own (its settings).
struct RegistrationPlan {
    RegisterType mode = RegisterType::Force;
    // The user the packages are registered for: the folder and settings restores act on these.
    std::wstring userSid;
    std::wstring profileFolder;
    // The failure list to replace: the packages that failed, or no file when none did.
    std::wstring failureList;
    // Service: each record becomes the newest installed copy first (GetCurrentPackageVersions), and
    // records nobody has installed are left out. An error of the refresh is raised to the caller.
    bool refreshVersions = false;
    // Service: the settings restore runs in every mode. Updater: only in Priority and Force, with
    // the folder restore.
    bool restoreSettingsInEveryMode = false;
    // Service: the tile database restore follows (RegistrationHost::RestoreTileDatabase).
    bool restoreTileDatabase = false;
    // After a registration that never completed (RegistrationTimedOut) the package manager is not
    // trusted with more: true leaves the rest untried (they go to the failure list); false goes on
    // with the next package.
    bool stopAfterHang = false;
    // Attempt k (0, 1, 2) waits k times this long first. Only tests change it.
    DWORD retryDelayMs = 1000;
};

// Where the registration's progress and notes go, and the steps only a caller can do.
class RegistrationHost {
  public:
    virtual ~RegistrationHost() = default;
    // The number of packages the mode announces, once, before the first package.
    virtual void Counted(int count) { (void)count; }
    // Before the attempts for the index-th selected package (the first is 1).
    virtual void Registering(int index, int count) { (void)index, (void)count; }
    // A step that failed and did not stop the registration ("File restore fails. ..." and the like).
    virtual void Note(const std::wstring& line) = 0;
    // Runs steps as the user the packages are registered for: counting, registering, the failure
    // list and the folder restore. The service impersonates its client around them.
    virtual void AsUser(const std::function<void()>& steps) { steps(); }
    // False keeps the failure list from being touched (the host says why through its own log).
    virtual bool MayWriteFailureList(const std::wstring& path) {
        (void)path;
        return true;
    }
    // The failure list could not be written. The default raises the error again, ending the run.
    virtual void FailureListNotWritten(const AppxError& error) { throw error; }
    // Only with RegistrationPlan::restoreTileDatabase; the host decides by mode and setting.
    virtual void RestoreTileDatabase(RegisterType mode) { (void)mode; }
};

struct RegistrationOutcome {
    int count = 0;                   // what the mode announces (RegistrationCount)
    int tried = 0;                   // selected packages that were tried (the last index announced)
    int registered = 0;              // of those, registered
    std::vector<PackageInfo> failed; // in list order, installedfailed set: the failure list's content
    // False when a registration never completed and stopAfterHang left the rest untried.
    bool complete = true;
};

// Replaces the failure list at path: the old file goes, and failed is written when it is not empty.
// Raises AppxError when the new list cannot be written.
void ReplaceFailureList(const std::wstring& path, const std::vector<PackageInfo>& failed);

// Registers the selected packages of list for the calling identity, one at a time in list order,
// writes the failure list and runs the restores the plan names. Raises AppxError only from the
// version refresh and (by default) from writing the failure list; a restore that fails is noted and
// the rest goes on.
RegistrationOutcome RegisterPackageList(ManageAppx& module, const std::vector<PackageInfo>& list,
                                        const RegistrationPlan& plan, RegistrationHost& host);

} // namespace appxcore
