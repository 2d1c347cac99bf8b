// A stand-in package repository built by a test in its own scratch folder and registry key, and an
// event log that records what is reported.
#pragma once

#include "companions/appxcore/manageappx.h"

#include <string>
#include <vector>

namespace appx_test {

struct RecordingLog : appxcore::EventLog {
    std::vector<std::wstring> entries; // "I: text" or "E: text"
    void Information(const std::wstring& m) override { entries.push_back(L"I: " + m); }
    void Error(const std::wstring& m) override { entries.push_back(L"E: " + m); }
};

struct Dependency {
    std::wstring name;
    std::wstring publisher;
    std::wstring minVersion;
};

class Repository {
  public:
    // Makes C:\corvane-scratch\appxcore\<name> and HKCU\Software\corvane-test\appxcore\<name>, both
    // removed by the destructor.
    explicit Repository(const std::wstring& name);
    ~Repository();

    // Installs a package into packages\<folder> and returns its full name.
    std::wstring Install(const std::wstring& folder, const std::wstring& name, const std::wstring& publisher,
                         const std::wstring& version, const std::wstring& architecture,
                         bool framework = false, const std::vector<Dependency>& dependencies = {});
    // Marks a package registered for a user, as Windows keeps it.
    void Register(const std::wstring& sid, const std::wstring& fullName);

    std::wstring root() const { return root_; }
    std::wstring packages() const { return root_ + L"\\packages"; }
    appxcore::StandInRepository config() const;
    // Module settings over this repository with the log file in the scratch folder.
    appxcore::ManageAppxSettings settings() const;
    std::wstring logFile() const { return root_ + L"\\Migrate-AppxPackage.log"; }
    std::wstring ReadLog() const;

  private:
    std::wstring root_;
    std::wstring key_;
};

std::wstring CurrentSid();
std::wstring Widen(const std::string& text);

// The package list record of the package installed in folder, as read from its manifest.
appxcore::PackageInfo RecordFromManifest(const std::wstring& folder);

// Names of the packages of list registered for sid in the stand-in's default registration store.
std::vector<std::wstring> RegisteredInAllUserStore(const std::wstring& sid,
                                                   const std::vector<appxcore::PackageInfo>& list);

} // namespace appx_test
