#include "companions/appxcore/registration.h"

#include "companions/appxcore/packagelist.h"

namespace appxcore {

namespace {

const int Attempts = 3;

// Up to three attempts, the k-th after k delays; failures are reported only on the last attempt,
// to the text log of the calling identity.
int RegisterWithRetries(ManageAppx& module, const PackageInfo& package, DWORD retryDelayMs) {
    int outcome = 1;
    for (int attempt = 0; attempt < Attempts; ++attempt) {
        if (attempt) Sleep(static_cast<DWORD>(attempt) * retryDelayMs);
        outcome = module.RegisterAppxPackage(package.path + L"\\Appxmanifest.xml", attempt == Attempts - 1,
                                             nullptr);
        // A hung registration was already reported; another attempt would only hold the user longer.
        if (outcome == 0 || outcome == RegistrationTimedOut) break;
    }
    return outcome;
}

void WriteFailureListFor(const RegistrationPlan& plan, const std::vector<PackageInfo>& failed,
                         RegistrationHost& host) {
    if (!host.MayWriteFailureList(plan.failureList)) return;
    try {
        ReplaceFailureList(plan.failureList, failed);
    } catch (const AppxError& error) {
        host.FailureListNotWritten(error);
    }
}

} // namespace

void ReplaceFailureList(const std::wstring& path, const std::vector<PackageInfo>& failed) {
    // An old list of earlier failures goes in any case: it would name packages registered now.
    DeleteFileW(path.c_str());
    if (!failed.empty()) WritePackageList(path, failed);
}

RegistrationOutcome RegisterPackageList(ManageAppx& module, const std::vector<PackageInfo>& list,
                                        const RegistrationPlan& plan, RegistrationHost& host) {
    std::vector<PackageInfo> packages;
    if (plan.refreshVersions)
        module.GetCurrentPackageVersions(list, &packages);
    else
        packages = list;

    RegistrationOutcome outcome;
    const std::vector<std::wstring>& priority = module.priorityPackages();
    bool restoreFiles = plan.mode == RegisterType::Priority || plan.mode == RegisterType::Force;
    host.AsUser([&] {
        outcome.count = RegistrationCount(plan.mode, packages.size(), priority);
        host.Counted(outcome.count);
        for (PackageInfo& package : SelectForRegistration(plan.mode, packages, priority)) {
            bool registered = false;
            if (outcome.complete) {
                host.Registering(++outcome.tried, outcome.count);
                int result = RegisterWithRetries(module, package, plan.retryDelayMs);
                registered = result == 0;
                if (result == RegistrationTimedOut && plan.stopAfterHang) outcome.complete = false;
            }
            if (registered) {
                ++outcome.registered;
            } else {
                package.installedfailed = true;
                outcome.failed.push_back(package);
            }
        }
        WriteFailureListFor(plan, outcome.failed, host);
        if (restoreFiles) {
            try {
                module.RestoreAppFiles(plan.profileFolder);
            } catch (const AppxError& error) {
                host.Note(L"File restore fails. " + error.message());
            }
        }
    });

    // A profile without a folder backup still gets its settings back, and a settings restore that
    // fails does not keep the tile database from being restored.
    if (plan.restoreSettingsInEveryMode || restoreFiles) {
        try {
            module.RestoreAppSettings(plan.userSid);
        } catch (const AppxError& error) {
            host.Note(L"Settings restore fails. " + error.message());
        }
    }
    if (plan.restoreTileDatabase) host.RestoreTileDatabase(plan.mode);
    return outcome;
}

} // namespace appxcore
