// The stand-in package platform: the repository as Windows itself keeps it on disk and in the
// registry, read afresh for every query so that it sees what other processes registered.
#include "companions/appxcore/platform.h"

#include "base/files.h"
#include "base/raii.h"
#include "base/sids.h"
#include "base/winecompat.h"

#include <sddl.h>
#include <shlobj.h>

#include <algorithm>

namespace appxcore {

namespace {

struct InstalledPackage {
    ManifestInfo manifest;
    std::wstring folder;
};

// Every installed package in scan order, and which of them the query may see.
struct Snapshot {
    std::vector<InstalledPackage> packages;
    std::vector<bool> visible;
};

// Windows keeps the registrations in the 64-bit view; the companions are 32-bit programs.
const REGSAM RegistryView = KEY_WOW64_64KEY;

bool LessIgnoreCase(const std::wstring& a, const std::wstring& b) {
    return CompareStringW(LOCALE_INVARIANT, NORM_IGNORECASE, a.c_str(), static_cast<int>(a.size()), b.c_str(),
                          static_cast<int>(b.size())) == CSTR_LESS_THAN;
}

std::vector<std::wstring> SubFolders(const std::wstring& folder) {
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW data;
    UniqueFind find(FindFirstFileW((folder + L"\\*").c_str(), &data));
    if (!find) return names;
    do {
        if (!(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) continue;
        if (IsDotName(data.cFileName)) continue;
        names.push_back(data.cFileName);
    } while (FindNextFileW(find.get(), &data));
    // Directory listing order differs between file systems; the repository's order must not.
    std::sort(names.begin(), names.end(),
              [](const std::wstring& a, const std::wstring& b) { return LessIgnoreCase(a, b); });
    return names;
}

std::vector<std::wstring> SubKeys(HKEY key) {
    std::vector<std::wstring> names;
    for (DWORD index = 0;; ++index) {
        wchar_t name[256];
        DWORD length = 256;
        LONG result = RegEnumKeyExW(key, index, name, &length, nullptr, nullptr, nullptr, nullptr);
        if (result == ERROR_NO_MORE_ITEMS) break;
        if (result == ERROR_MORE_DATA) continue; // no package full name or SID is this long
        if (result != ERROR_SUCCESS) ThrowWin32(static_cast<DWORD>(result));
        names.push_back(std::wstring(name, length));
    }
    return names;
}

std::wstring CallerSid() {
    wchar_t* text = nullptr;
    DWORD error = CurrentUserSidText(&text);
    UniqueLocal owner(text);
    if (error != 0) ThrowWin32(error);
    return text;
}

class StandInPackage : public PlatformPackage {
  public:
    StandInPackage(std::shared_ptr<const Snapshot> snapshot, size_t index)
        : snapshot_(snapshot), index_(index) {}
    PackageIdentity Identity() override { return Package().manifest.identity; }
    std::wstring InstalledPath() override { return Package().folder; }
    bool IsFramework() override { return Package().manifest.isFramework; }
    std::vector<PackagePtr> Dependencies() override;

  private:
    const InstalledPackage& Package() const { return snapshot_->packages[index_]; }
    std::shared_ptr<const Snapshot> snapshot_;
    size_t index_;
};

// The framework that satisfies a dependency: same name and publisher, at least the minimum version,
// the dependent's architecture or neutral; the highest version wins, the first seen on a tie.
// Returns the package count when none does.
size_t Resolve(const Snapshot& snapshot, const ManifestDependency& dependency,
               const std::wstring& architecture, bool visibleOnly) {
    size_t best = snapshot.packages.size();
    for (size_t i = 0; i < snapshot.packages.size(); ++i) {
        if (visibleOnly && !snapshot.visible[i]) continue;
        const ManifestInfo& m = snapshot.packages[i].manifest;
        if (!m.isFramework || m.identity.name != dependency.name ||
            m.identity.publisher != dependency.publisher)
            continue;
        if (!EqualsIgnoreCase(m.identity.architecture, architecture) &&
            !EqualsIgnoreCase(m.identity.architecture, L"Neutral") &&
            !EqualsIgnoreCase(architecture, L"Neutral"))
            continue;
        std::wstring version = VersionText(m.identity.version);
        if (CompareVersions(version, dependency.minVersion) < 0) continue;
        if (best == snapshot.packages.size() ||
            CompareVersions(version, VersionText(snapshot.packages[best].manifest.identity.version)) > 0)
            best = i;
    }
    return best;
}

std::vector<PackagePtr> StandInPackage::Dependencies() {
    std::vector<PackagePtr> dependencies;
    const ManifestInfo& m = Package().manifest;
    for (const ManifestDependency& d : m.dependencies) {
        size_t found = Resolve(*snapshot_, d, m.identity.architecture, true);
        if (found < snapshot_->packages.size())
            dependencies.push_back(std::make_shared<StandInPackage>(snapshot_, found));
    }
    return dependencies;
}

class StandInPlatform : public PackagePlatform {
  public:
    explicit StandInPlatform(const StandInRepository& repository) : repository_(repository) {}

    std::vector<PackagePtr> FindPackagesForUser(const std::wstring& sid) override {
        std::shared_ptr<Snapshot> snapshot = Scan();
        std::vector<std::wstring> registered = Registrations(sid);
        std::vector<size_t> order;
        for (const std::wstring& fullName : registered) {
            size_t i = Find(*snapshot, fullName);
            if (i < snapshot->packages.size()) {
                snapshot->visible[i] = true;
                order.push_back(i);
            }
        }
        std::vector<PackagePtr> result;
        for (size_t i : order)
            result.push_back(std::make_shared<StandInPackage>(snapshot, i));
        return result;
    }

    std::vector<PackagePtr> FindPackages(const std::wstring& familyName) override {
        std::shared_ptr<Snapshot> snapshot = Scan();
        for (const std::wstring& sid : Users())
            for (const std::wstring& fullName : Registrations(sid)) {
                size_t i = Find(*snapshot, fullName);
                if (i < snapshot->packages.size()) snapshot->visible[i] = true;
            }
        std::vector<PackagePtr> result;
        for (size_t i = 0; i < snapshot->packages.size(); ++i)
            if (snapshot->visible[i] &&
                EqualsIgnoreCase(snapshot->packages[i].manifest.identity.familyName, familyName))
                result.push_back(std::make_shared<StandInPackage>(snapshot, i));
        return result;
    }

    DeploymentOutcome RegisterPackage(const std::wstring& manifestPath) override {
        DeploymentOutcome outcome;
        outcome.status = DeploymentStatus::Error;
        try {
            std::wstring sid = CallerSid();
            ManifestInfo manifest = ReadAppxManifest(manifestPath);
            std::shared_ptr<Snapshot> snapshot = Scan();
            const std::wstring& fullName = manifest.identity.fullName;
            if (Find(*snapshot, fullName) == snapshot->packages.size()) {
                outcome.errorCode = HRESULT_FROM_WIN32(ERROR_INSTALL_PACKAGE_NOT_FOUND);
                outcome.errorText = L"Deployment Register operation on package " + fullName + L" from " +
                                    manifestPath + L" failed: the package is not installed on this machine.";
                return outcome;
            }
            for (const auto& forced : repository_.forcedOutcomes)
                if (EqualsIgnoreCase(forced.first, fullName)) return forced.second;
            std::vector<std::wstring> toRegister{fullName};
            for (const ManifestDependency& d : manifest.dependencies) {
                size_t found = Resolve(*snapshot, d, manifest.identity.architecture, false);
                if (found == snapshot->packages.size()) {
                    outcome.errorCode = HRESULT_FROM_WIN32(ERROR_INSTALL_RESOLVE_DEPENDENCY_FAILED);
                    outcome.errorText = L"Deployment Register operation on package " + fullName +
                                        L" failed: the framework " + d.name + L" (" + d.minVersion +
                                        L" or later) is not installed.";
                    return outcome;
                }
                toRegister.push_back(snapshot->packages[found].manifest.identity.fullName);
            }
            for (const std::wstring& name : toRegister) {
                std::wstring path = repository_.registrationKey + L"\\" + sid + L"\\" + name;
                UniqueKey key;
                LONG result = RegCreateKeyExW(repository_.registrationRoot, path.c_str(), 0, nullptr, 0,
                                              KEY_WRITE | RegistryView, nullptr, key.put(), nullptr);
                if (result != ERROR_SUCCESS) ThrowWin32(static_cast<DWORD>(result));
            }
            outcome.status = DeploymentStatus::Completed;
        } catch (const AppxError& e) {
            outcome.status = DeploymentStatus::Error;
            outcome.errorCode = e.code();
            outcome.errorText = e.message();
        }
        return outcome;
    }

    std::wstring Description() const override {
        std::wstring folders;
        for (const std::wstring& f : repository_.packageFolders)
            folders += (folders.empty() ? L"" : L";") + f;
        return L"the package repository stand-in (packages in " + folders + L", registrations in " +
               repository_.registrationKey + L")";
    }

  private:
    std::shared_ptr<Snapshot> Scan() const {
        auto snapshot = std::make_shared<Snapshot>();
        for (const std::wstring& root : repository_.packageFolders)
            for (const std::wstring& name : SubFolders(root)) {
                InstalledPackage package;
                package.folder = root + L"\\" + name;
                try {
                    package.manifest = ReadAppxManifest(package.folder + L"\\AppxManifest.xml");
                } catch (const AppxError&) {
                    continue; // not a package folder, or a damaged manifest Windows would not have installed
                }
                // A full name is installed once; the first folder holding it counts.
                if (Find(*snapshot, package.manifest.identity.fullName) < snapshot->packages.size()) continue;
                snapshot->packages.push_back(package);
            }
        snapshot->visible.assign(snapshot->packages.size(), false);
        return snapshot;
    }

    static size_t Find(const Snapshot& snapshot, const std::wstring& fullName) {
        for (size_t i = 0; i < snapshot.packages.size(); ++i)
            if (EqualsIgnoreCase(snapshot.packages[i].manifest.identity.fullName, fullName)) return i;
        return snapshot.packages.size();
    }

    std::vector<std::wstring> Users() const {
        UniqueKey key;
        LONG result = RegOpenKeyExW(repository_.registrationRoot, repository_.registrationKey.c_str(), 0,
                                    KEY_ENUMERATE_SUB_KEYS | RegistryView, key.put());
        if (result == ERROR_FILE_NOT_FOUND) return {};
        if (result != ERROR_SUCCESS) ThrowWin32(static_cast<DWORD>(result));
        return SubKeys(key.get());
    }

    std::vector<std::wstring> Registrations(const std::wstring& requested) const {
        // As the platform does, an empty SID means the calling user.
        std::wstring sid = requested.empty() ? CallerSid() : requested;
        // The SID becomes part of a key path: a caller's text must be a SID and nothing more.
        if (!IsStringSid(sid.c_str())) ThrowWin32(ERROR_INVALID_SID);
        UniqueKey key;
        LONG result =
            RegOpenKeyExW(repository_.registrationRoot, (repository_.registrationKey + L"\\" + sid).c_str(),
                          0, KEY_ENUMERATE_SUB_KEYS | RegistryView, key.put());
        if (result == ERROR_FILE_NOT_FOUND) return {};
        if (result != ERROR_SUCCESS) ThrowWin32(static_cast<DWORD>(result));
        return SubKeys(key.get());
    }

    StandInRepository repository_;
};

} // namespace

StandInRepository DefaultStandInRepository() {
    StandInRepository repository;
    wchar_t folder[MAX_PATH];
    // The native Program Files folder: a 32-bit process is otherwise given "Program Files (x86)".
    DWORD n = GetEnvironmentVariableW(L"ProgramW6432", folder, MAX_PATH);
    if ((n > 0 && n < MAX_PATH) ||
        SUCCEEDED(SHGetFolderPathW(nullptr, CSIDL_PROGRAM_FILES, nullptr, SHGFP_TYPE_CURRENT, folder)))
        repository.packageFolders.push_back(std::wstring(folder) + L"\\WindowsApps");
    if (SUCCEEDED(SHGetFolderPathW(nullptr, CSIDL_WINDOWS, nullptr, SHGFP_TYPE_CURRENT, folder)))
        repository.packageFolders.push_back(std::wstring(folder) + L"\\SystemApps");
    repository.registrationRoot = HKEY_LOCAL_MACHINE;
    repository.registrationKey = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Appx\\AppxAllUserStore";
    return repository;
}

std::unique_ptr<PackagePlatform> CreateStandInPackagePlatform(const StandInRepository& repository) {
    return std::unique_ptr<PackagePlatform>(new StandInPlatform(repository));
}

std::unique_ptr<PackagePlatform> ChoosePackagePlatform(HRESULT activation,
                                                       std::unique_ptr<PackagePlatform> activated,
                                                       bool underWine, const StandInRepository& repository,
                                                       const std::function<void(const std::wstring&)>& log) {
    if (SUCCEEDED(activation) && activated) return activated;
    if (SUCCEEDED(activation)) activation = E_UNEXPECTED; // succeeded without an object
    wchar_t code[16];
    wsprintfW(code, L"0x%08X", static_cast<unsigned>(activation));
    std::wstring failure = L"Windows.Management.Deployment.PackageManager cannot be activated (" +
                           std::wstring(code) + L": " + ErrorMessage(activation) + L")";
    // On Windows a failure (access denied, a damaged runtime) must surface: a model of the package
    // folders would report success for work that never reached the real repository.
    if (!underWine) throw AppxError(activation, failure + L".");
    std::unique_ptr<PackagePlatform> platform = CreateStandInPackagePlatform(repository);
    if (log) log(failure + L"; using " + platform->Description() + L".");
    return platform;
}

std::unique_ptr<PackagePlatform> OpenPackagePlatform(const StandInRepository& repository,
                                                     const std::function<void(const std::wstring&)>& log) {
    std::unique_ptr<PackagePlatform> platform;
    HRESULT hr = CreateWinRtPackagePlatform(&platform);
    return ChoosePackagePlatform(hr, std::move(platform), RunningUnderWine(), repository, log);
}

} // namespace appxcore
