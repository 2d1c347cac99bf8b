#include "companions/appxcore/manageappx.h"

#include "base/checkedopen.h"

#include "companions/appxcore/packagelist.h"
#include "base/raii.h"

#include <shlobj.h>

namespace appxcore {

const wchar_t* const PackageListName = L"Migrate-AppxPackage";
const wchar_t* const FailureListName = L"Migrate-AppxPackage-Fail";
const wchar_t* const LogFileName = L"Migrate-AppxPackage.log";

ManageAppx::ManageAppx(ManageAppxSettings settings, EventLog* eventLog)
    : settings_(std::move(settings)), eventLog_(eventLog) {}

PackagePlatform& ManageAppx::Platform() {
    if (!settings_.platform) {
        std::unique_ptr<PackagePlatform> chosen = OpenPackagePlatform(
            settings_.repository, [this](const std::wstring& line) { WriteLogFile(line); });
        settings_.platform = std::move(chosen);
    }
    return *settings_.platform;
}

void ManageAppx::WindowsVersion(DWORD* major, DWORD* minor) const {
    if (settings_.windowsMajor || settings_.windowsMinor) {
        *major = settings_.windowsMajor;
        *minor = settings_.windowsMinor;
    } else {
        GetWindowsVersion(major, minor);
    }
}

void ManageAppx::Report(EventLog* log, const std::wstring& message) {
    if (log)
        log->Error(message);
    else
        WriteLogFile(message);
}

PackageInfo FillPackageInfo(PlatformPackage& package) {
    PackageIdentity id = package.Identity();
    PackageInfo record;
    record.name = id.name;
    record.publisher = id.publisher;
    record.architecture = id.architecture;
    record.resourceId = id.resourceId;
    record.version = VersionText(id.version);
    record.fullName = id.fullName;
    record.path = package.InstalledPath();
    record.isFramework = package.IsFramework();
    record.familyName = id.familyName;
    record.publisherId = id.publisherId;
    record.dependencies = static_cast<int>(package.Dependencies().size());
    return record;
}

bool ManageAppx::TryFill(const PackagePtr& package, PackageInfo* record) {
    try {
        *record = FillPackageInfo(*package);
        return true;
    } catch (const AppxError&) {
        return false;
    }
}

// Depth first: a package already in the list ends this branch, so shared frameworks appear once.
void ManageAppx::AddPackage(const PackagePtr& package) {
    std::wstring fullName = package->Identity().fullName;
    for (const WorkItem& item : packages_)
        if (item.fullName == fullName) return;
    WorkItem item;
    item.package = package;
    item.fullName = fullName;
    item.dependencies = package->Dependencies();
    packages_.push_back(item);
    std::vector<PackagePtr> dependencies = item.dependencies;
    for (const PackagePtr& dependency : dependencies)
        AddPackage(dependency);
}

std::vector<ManageAppx::WorkItem> ManageAppx::OrderByDependencies() const {
    std::vector<WorkItem> ordered;
    std::vector<bool> placed(packages_.size(), false);
    size_t left = packages_.size();
    auto isPlaced = [&](const std::wstring& fullName) {
        for (const WorkItem& item : ordered)
            if (item.fullName == fullName) return true;
        return false;
    };
    while (left > 0) {
        size_t placedThisPass = 0;
        for (size_t i = 0; i < packages_.size(); ++i) {
            if (placed[i]) continue;
            bool ready = true;
            for (const PackagePtr& dependency : packages_[i].dependencies)
                if (!isPlaced(dependency->Identity().fullName)) ready = false;
            if (!ready) continue;
            ordered.push_back(packages_[i]);
            placed[i] = true;
            ++placedThisPass;
            --left;
        }
        if (placedThisPass == 0) {
            // A dependency cycle (frameworks have none, so the platform's data is damaged): keep the
            // rest in list order rather than loop for ever or lose packages.
            for (size_t i = 0; i < packages_.size(); ++i)
                if (!placed[i]) ordered.push_back(packages_[i]);
            break;
        }
    }
    return ordered;
}

static std::wstring FolderOf(const std::wstring& path) {
    size_t slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? std::wstring(L".") : path.substr(0, slash);
}

// Creates a folder and its parents; an existing folder is fine. Raises AppxError.
static void CreateFolderChain(const std::wstring& folder) {
    int result = SHCreateDirectoryExW(nullptr, folder.c_str(), nullptr);
    if (result != ERROR_SUCCESS && result != ERROR_ALREADY_EXISTS && result != ERROR_FILE_EXISTS)
        ThrowWin32(static_cast<DWORD>(result));
}

int ManageAppx::GetAppxPackagesBySid(const std::wstring& sid, const std::wstring& listFile, EventLog* log) {
    try {
        PackagePlatform& platform = Platform();
        packages_.clear();
        for (const PackagePtr& package : platform.FindPackagesForUser(sid))
            AddPackage(package);

        std::vector<PackageInfo> records;
        for (const WorkItem& item : OrderByDependencies()) {
            PackageIdentity own = item.package->Identity();
            std::wstring ownVersion = VersionText(own.version);
            PackagePtr chosen = item.package;
            // Each candidate is compared with the package's own version, so the last newer one wins.
            for (const PackagePtr& candidate : platform.FindPackages(own.familyName)) {
                PackageIdentity other = candidate->Identity();
                if (EqualsIgnoreCase(other.architecture, own.architecture) &&
                    CompareVersions(ownVersion, VersionText(other.version)) == -1)
                    chosen = candidate;
            }
            PackageInfo record;
            if (TryFill(chosen, &record)) records.push_back(record);
        }

        std::wstring folder = FolderOf(listFile);
        std::vector<PackageInfo> failures;
        if (TryReadPackageList(folder + L"\\" + FailureListName, &failures)) {
            for (const PackageInfo& failed : failures) {
                bool present = false;
                for (const PackageInfo& record : records)
                    if (record.familyName == failed.familyName) present = true;
                if (!present) records.push_back(failed);
            }
        }

        CreateFolderChain(folder);
        WritePackageList(listFile, records);
        return 0;
    } catch (const AppxError& e) {
        if (e.code() == E_ACCESSDENIED)
            Report(log, L"packageManager.FindPackagesForUser() failed because access was denied.");
        else
            Report(log, L"packageManager.FindPackagesForUser() failed: " + e.message());
        return 1;
    } catch (const std::bad_alloc&) {
        Report(log, L"packageManager.FindPackagesForUser() failed: " + ErrorMessage(E_OUTOFMEMORY));
        return 1;
    }
}

void ManageAppx::GetCurrentPackageVersions(const std::vector<PackageInfo>& records,
                                           std::vector<PackageInfo>* output) {
    PackagePlatform& platform = Platform();
    DWORD major = 0, minor = 0;
    WindowsVersion(&major, &minor);
    for (const PackageInfo& record : records) {
        std::wstring base = record.version;
        std::vector<PackagePtr> candidates = platform.FindPackages(record.familyName);
        if (candidates.empty()) {
            std::wstring mapped = GetMappedFamilyName(record.familyName, major, minor);
            if (!mapped.empty()) {
                candidates = platform.FindPackages(mapped);
                base = L"0.0.0.0";
            }
        }
        bool qualified = false;
        size_t remembered = candidates.size();
        for (size_t i = 0; i < candidates.size(); ++i) {
            PackageIdentity id = candidates[i]->Identity();
            if (!EqualsIgnoreCase(id.architecture, record.architecture) &&
                !EqualsIgnoreCase(id.architecture, L"Neutral"))
                continue;
            qualified = true;
            std::wstring version = VersionText(id.version);
            if (CompareVersions(version, base) > 0) {
                remembered = i;
                base = version;
            }
        }
        if (!qualified) continue;
        if (remembered == candidates.size()) {
            output->push_back(record);
            continue;
        }
        PackageInfo refreshed;
        if (TryFill(candidates[remembered], &refreshed)) output->push_back(refreshed);
    }
}

int ManageAppx::RegisterAppxPackage(const std::wstring& manifestPath, bool logFailures, EventLog* log) {
    try {
        DeploymentOutcome outcome = Platform().RegisterPackage(manifestPath);
        switch (outcome.status) {
        case DeploymentStatus::Completed:
        case DeploymentStatus::Canceled:
            return 0;
        case DeploymentStatus::Error:
            if (logFailures) {
                Report(log, L"Package registration fails: " + manifestPath);
                Report(log, outcome.errorText);
            }
            return 1;
        default:
            if (outcome.errorCode == HRESULT_FROM_WIN32(ERROR_TIMEOUT)) {
                // Reported whatever logFailures says: no later attempt follows a registration that hung.
                Report(log, L"Register " + manifestPath + L" failed. " + outcome.errorText);
                return RegistrationTimedOut;
            }
            if (logFailures)
                Report(log, L"Register " + manifestPath + L" failed. Installation status unknown.");
            return 1;
        }
    } catch (const AppxError& e) {
        if (logFailures) Report(log, L"Register " + manifestPath + L" failed. " + e.message());
        return 1;
    }
}

// --- Text log ------------------------------------------------------------------------------------

static std::wstring CallerLocalAppData() {
    // The identity the caller runs as: the impersonation token when there is one.
    UniqueHandle token;
    if (!OpenThreadToken(GetCurrentThread(), TOKEN_QUERY | TOKEN_IMPERSONATE, TRUE, token.put()))
        token.reset();
    wchar_t folder[MAX_PATH];
    if (FAILED(SHGetFolderPathW(nullptr, CSIDL_LOCAL_APPDATA, token.get(), SHGFP_TYPE_CURRENT, folder)))
        return L"";
    return folder;
}

static std::string Utf8(const std::wstring& text) {
    if (text.empty()) return std::string();
    int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr,
                                nullptr);
    std::string bytes(static_cast<size_t>(n > 0 ? n : 0), '\0');
    if (n > 0)
        WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &bytes[0], n, nullptr,
                            nullptr);
    return bytes;
}

void ManageAppx::WriteLogFile(const std::wstring& message) {
    std::wstring path = settings_.logFile;
    if (path.empty()) {
        std::wstring local = CallerLocalAppData();
        if (local.empty()) return;
        SHCreateDirectoryExW(nullptr, (local + L"\\Quillmar").c_str(), nullptr);
        path = local + L"\\Quillmar\\" + LogFileName;
    }
    wchar_t date[128] = L"", time[128] = L"";
    GetDateFormatW(LOCALE_USER_DEFAULT, DATE_SHORTDATE, nullptr, nullptr, date, 128);
    GetTimeFormatW(LOCALE_USER_DEFAULT, 0, nullptr, nullptr, time, 128); // the long time format
    std::string line = Utf8(std::wstring(date) + L" " + time + L" " + message + L"\r\n");
    // Appended to in a folder its user can write to: never through a link or into a second name.
    size_t slash = path.find_last_of(L'\\');
    if (slash == std::wstring::npos || slash == 0) return;
    std::wstring folder = path.substr(0, slash);
    HeldFolder held;
    if (HoldFolderChain(folder.c_str(), folder.c_str(), false, &held) != ERROR_SUCCESS) return;
    UniqueFile file;
    if (OpenCheckedFile(held, path.substr(slash + 1), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                        OPEN_ALWAYS, &file) != ERROR_SUCCESS)
        return;
    DWORD written = 0;
    WriteFile(file.get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
}

} // namespace appxcore
