// ManageAppx: the Store-app package module that the service and the updater carry. It lists a
// user's packages into a package list, refreshes a list to the newest installed copies, registers
// packages for the calling user, and backs up and restores Edge settings, package folders and the
// tile database. Operations raise AppxError only where stated; callers catch at a request's top.
#pragma once

#include "companions/appxcore/packageinfo.h"
#include "companions/appxcore/platform.h"

#include <memory>
#include <string>
#include <vector>

namespace appxcore {

// Where the module reports: the service passes its Windows event log, tests a recorder.
class EventLog {
  public:
    virtual ~EventLog() = default;
    virtual void Information(const std::wstring& message) = 0;
    virtual void Error(const std::wstring& message) = 0;
};

struct ManageAppxSettings {
    // ServicePriorityPackages or UpdaterPriorityPackages, chosen by the program that links the module.
    std::vector<std::wstring> priorityPackages;
    // The text log; empty: the calling identity's Local AppData + "\Quillmar\Migrate-AppxPackage.log".
    std::wstring logFile;
    // The repository the stand-in reads when the runtime's package manager cannot be activated.
    StandInRepository repository = DefaultStandInRepository();
    // Windows version for the 6.3 family map; 0.0 means the running system's.
    DWORD windowsMajor = 0;
    DWORD windowsMinor = 0;
    // A platform to use instead of choosing one (the caller keeps nothing; the module owns it).
    std::shared_ptr<PackagePlatform> platform;
    // Pending tile backups: HKEY_LOCAL_MACHINE key in the 32-bit view.
    std::wstring pendingTileKey = L"SOFTWARE\\Quillmar\\Edb";
};

// The list file names, in the Quillmar folder of a user's Local AppData.
extern const wchar_t* const PackageListName; // "Migrate-AppxPackage"
extern const wchar_t* const FailureListName; // "Migrate-AppxPackage-Fail"
extern const wchar_t* const LogFileName;     // "Migrate-AppxPackage.log"

// RegisterAppxPackage's result for a registration that did not complete within RegistrationLimitMs;
// trying it again would only hold the user longer.
const int RegistrationTimedOut = 2;

class ManageAppx {
  public:
    // eventLog (may be null) receives the tile backups' reports; the module does not own it.
    explicit ManageAppx(ManageAppxSettings settings, EventLog* eventLog = nullptr);

    const std::vector<std::wstring>& priorityPackages() const { return settings_.priorityPackages; }

    // Lists the user's packages (dependencies first, newest installed copies, earlier failures carried
    // over) into listFile. 0 on success, 1 on failure, reported to log or, when null, the text log.
    int GetAppxPackagesBySid(const std::wstring& sid, const std::wstring& listFile, EventLog* log);

    // The newest installed copy of each record's family; families nobody has are left out. Raises
    // AppxError for a failing platform query or a malformed version.
    void GetCurrentPackageVersions(const std::vector<PackageInfo>& records, std::vector<PackageInfo>* output);

    // Registers the package of a manifest for the calling identity and waits. 0 when it completed or
    // was canceled, RegistrationTimedOut when it did not complete within RegistrationLimitMs, else 1;
    // with logFailures the failure is reported to log (or the text log).
    int RegisterAppxPackage(const std::wstring& manifestPath, bool logFailures, EventLog* log);

    // Edge settings of HKEY_USERS\<sid> to and from the backup below "SOFTWARE\Quillmar\Migration\AppX".
    void BackupAppSettings2(const std::wstring& sid, const std::wstring& profileFolder);
    void RestoreAppSettings(const std::wstring& sid);

    // Package folders to and from <profile>\AppData\Local\Quillmar\Migrate\Packages. RestoreAppFiles
    // raises AppxError when there is no backup folder.
    void BackupAppFiles2(const std::wstring& profileFolder);
    void RestoreAppFiles(const std::wstring& profileFolder);

    // Copies the tile database into <current>\Appdata\Local\Quillmar\Migrate; true when copied. On
    // failure reports to the module's event log and, with reschedule, records a pending backup.
    bool vedatamodelDbBackup(const std::wstring& currentProfile, const std::wstring& newProfile,
                             bool reschedule);
    // Retries the pending tile backups (the service does this at start).
    void RunPendingTileBackups();

    // Appends "<short date> <long time> <message>" to the text log; failures are ignored.
    void WriteLogFile(const std::wstring& message);

    // The platform in use, opened (and the choice logged) on first use.
    PackagePlatform& Platform();

  private:
    struct WorkItem {
        PackagePtr package;
        std::wstring fullName;
        std::vector<PackagePtr> dependencies;
    };
    void AddPackage(const PackagePtr& package);
    std::vector<WorkItem> OrderByDependencies() const;
    void Report(EventLog* log, const std::wstring& message);
    bool TryFill(const PackagePtr& package, PackageInfo* record);
    void WindowsVersion(DWORD* major, DWORD* minor) const;

    ManageAppxSettings settings_;
    EventLog* eventLog_;
    std::vector<WorkItem> packages_; // the working list of the listing
};

// Fills a record from a platform package (the identity's texts, the version as text, the installed
// path, the framework flag, the number of dependencies). Raises AppxError.
PackageInfo FillPackageInfo(PlatformPackage& package);

// Copies every value and sub-key of source into target, skipping what cannot be read or written.
// Expandable strings are stored expanded (still as REG_EXPAND_SZ).
void RegistryCopy(HKEY source, HKEY target);

} // namespace appxcore
