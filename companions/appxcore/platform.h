// The package platform as the module sees it: one interface over Windows' own package manager
// (Windows.Management.Deployment through the Windows Runtime) and over a stand-in that reads the
// package repository from installed manifests where the runtime class does not exist.
#pragma once

#include "companions/appxcore/packageinfo.h"

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace appxcore {

struct PackageIdentity {
    std::wstring name;
    std::wstring publisher;
    std::wstring architecture; // X86, Arm, X64, Neutral, Arm64, X86OnArm64 or Unknown
    std::wstring resourceId;
    WORD version[4] = {0, 0, 0, 0};
    std::wstring fullName;
    std::wstring familyName;
    std::wstring publisherId;
};

// One installed package. Every accessor may raise AppxError (the runtime reads lazily).
class PlatformPackage {
  public:
    virtual ~PlatformPackage() = default;
    virtual PackageIdentity Identity() = 0;
    virtual std::wstring InstalledPath() = 0;
    virtual bool IsFramework() = 0;
    virtual std::vector<std::shared_ptr<PlatformPackage>> Dependencies() = 0;
};
using PackagePtr = std::shared_ptr<PlatformPackage>;

// How long one registration may take before it is given up (several minutes: a large package on a
// busy first logon is slow, but a completion that never arrives must not hang the logon).
const DWORD RegistrationLimitMs = 5 * 60 * 1000;

// The final state of a registration, numbered as the runtime's AsyncStatus.
enum class DeploymentStatus { Started = 0, Completed = 1, Canceled = 2, Error = 3 };

struct DeploymentOutcome {
    DeploymentStatus status = DeploymentStatus::Started;
    HRESULT errorCode = S_OK;
    std::wstring errorText; // the deployment result's error text when the status is Error
};

class PackagePlatform {
  public:
    virtual ~PackagePlatform() = default;
    // Packages registered for the user with this string SID, in the platform's order.
    virtual std::vector<PackagePtr> FindPackagesForUser(const std::wstring& sid) = 0;
    // Installed copies of a family for any user of the machine, in the platform's order.
    virtual std::vector<PackagePtr> FindPackages(const std::wstring& familyName) = 0;
    // Registers the package of a manifest (a local path) for the identity the calling thread runs as,
    // with no dependency URIs and no deployment options; blocks until the operation has finished, at
    // most RegistrationLimitMs: an operation still open then is cancelled and reported as Started
    // with HRESULT_FROM_WIN32(ERROR_TIMEOUT).
    virtual DeploymentOutcome RegisterPackage(const std::wstring& manifestPath) = 0;
    // For the text log: which implementation this is.
    virtual std::wstring Description() const = 0;
};

// "Major.Minor.Build.Revision".
std::wstring VersionText(const WORD version[4]);

// Where the stand-in finds the repository. The defaults are Windows' own places: the package
// folders %ProgramFiles%\WindowsApps and %SystemRoot%\SystemApps, and per-user registrations below
// HKEY_LOCAL_MACHINE "SOFTWARE\Microsoft\Windows\CurrentVersion\Appx\AppxAllUserStore" (one sub-key per
// string SID, one sub-key of that per registered package full name).
struct StandInRepository {
    // Folders whose sub-folders each hold one installed package's AppxManifest.xml.
    std::vector<std::wstring> packageFolders;
    HKEY registrationRoot = HKEY_LOCAL_MACHINE;
    std::wstring registrationKey;
    // Outcomes a test can force for a registration, by package full name (ignoring case):
    // DeploymentStatus::Error (with errorText), Canceled or Started (status never settled).
    std::map<std::wstring, DeploymentOutcome> forcedOutcomes;
};
StandInRepository DefaultStandInRepository();

// Identity arithmetic as Windows does it.
// Publisher id: Crockford base32 (lower case, 13 characters) of the first 8 bytes of the SHA-256 of
// the publisher's UTF-16LE text.
std::wstring ComputePublisherId(const std::wstring& publisher);
// Name_Version_architecture_ResourceId_PublisherId, the architecture in lower case.
std::wstring ComputeFullName(const PackageIdentity& identity);
// Name_PublisherId.
std::wstring ComputeFamilyName(const std::wstring& name, const std::wstring& publisherId);
// The platform's name for a manifest's ProcessorArchitecture ("x64" -> "X64"); "" when unknown.
std::wstring ArchitectureNameFromManifest(const std::wstring& manifestValue);

// Parses an AppxManifest.xml into the identity (names computed), framework flag and declared
// dependencies (name, publisher, minimum version). Raises AppxError for a damaged manifest.
struct ManifestDependency {
    std::wstring name;
    std::wstring publisher;
    std::wstring minVersion;
};
struct ManifestInfo {
    PackageIdentity identity;
    bool isFramework = false;
    std::vector<ManifestDependency> dependencies;
};
ManifestInfo ReadAppxManifest(const std::wstring& manifestPath);

// The runtime's PackageManager. Returns the activation result; on success *platform is set.
HRESULT CreateWinRtPackagePlatform(std::unique_ptr<PackagePlatform>* platform);
std::unique_ptr<PackagePlatform> CreateStandInPackagePlatform(const StandInRepository& repository);

// The runtime's package manager. Where it cannot be activated, the stand-in is used only under Wine
// (which has no such runtime class), and the choice is written through log (one line); on Windows the
// activation failure is raised as AppxError, for the listing or registration to report.
std::unique_ptr<PackagePlatform> OpenPackagePlatform(const StandInRepository& repository,
                                                     const std::function<void(const std::wstring&)>& log);
// The same decision over a given activation result and platform, so that both outcomes can be tested.
std::unique_ptr<PackagePlatform> ChoosePackagePlatform(HRESULT activation,
                                                       std::unique_ptr<PackagePlatform> activated,
                                                       bool underWine, const StandInRepository& repository,
                                                       const std::function<void(const std::wstring&)>& log);

// "file:///C:/path/AppxManifest.xml" with the characters a URI cannot hold escaped.
std::wstring ManifestPathToFileUri(const std::wstring& path);

} // namespace appxcore
