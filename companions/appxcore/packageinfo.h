// The package record the companions pass around and store in the package list files, the
// registration modes, the fixed tables of the package module, and the error it raises.
#pragma once

#include <windows.h>

#include <stdexcept>
#include <string>
#include <vector>

namespace appxcore {

// The error every operation of the module raises. code is an HRESULT (Win32 codes are carried as
// HRESULT_FROM_WIN32); message is the text a log line shows.
class AppxError : public std::runtime_error {
  public:
    AppxError(HRESULT code, std::wstring message);
    HRESULT code() const { return code_; }
    const std::wstring& message() const { return message_; }

  private:
    HRESULT code_;
    std::wstring message_;
};

// The system's text for an HRESULT (or Win32 code) without its line break; "Error 0x%08X." when
// the system has none.
std::wstring ErrorMessage(HRESULT code);
// Raises AppxError with the system text of code.
[[noreturn]] void ThrowError(HRESULT code);
[[noreturn]] void ThrowWin32(DWORD code);

struct PackageInfo {
    std::wstring name;
    std::wstring publisher;
    std::wstring architecture; // the platform's enumeration name: X86, X64, Arm, Arm64, Neutral, ...
    std::wstring resourceId;
    std::wstring version; // "Major.Minor.Build.Revision"
    std::wstring fullName;
    std::wstring path;
    bool isFramework = false;
    std::wstring familyName;
    std::wstring publisherId;
    int dependencies = 0;
    bool installedfailed = false;

    bool operator==(const PackageInfo& other) const;
    bool operator!=(const PackageInfo& other) const { return !(*this == other); }
};

enum class RegisterType { Priority = 0, Update = 1, Force = 2 };

// Priority families: the service registers four, the updater the same without Edge.
extern const std::vector<std::wstring> ServicePriorityPackages;
extern const std::vector<std::wstring> UpdaterPriorityPackages;
// Edge settings keys below the AppContainer storage root (30 rows).
extern const std::vector<std::wstring> IncludedAppRegSettings;
// Package folders below <profile>\AppData\Local\Packages that are backed up (3 rows).
extern const std::vector<std::wstring> IncludedPackageFolders;

// On Windows 6.3 some families were renamed; gives the family to look for instead, or "" when the
// family is not mapped or the version is not 6.3. Keys compare ignoring case.
std::wstring GetMappedFamilyName(const std::wstring& familyName, DWORD major, DWORD minor);

// Compares dotted decimal versions part by part: -1, 0 or 1; with equal common parts the text with
// more parts is larger ("1.2" < "1.2.0"). Raises AppxError for a part that is not a decimal number.
int CompareVersions(const std::wstring& a, const std::wstring& b);

// The version that RtlGetVersion reports (0.0 when it cannot be read).
void GetWindowsVersion(DWORD* major, DWORD* minor);

// Ordinal comparison ignoring case, as the platform compares names and paths.
bool EqualsIgnoreCase(const std::wstring& a, const std::wstring& b);

// Registration helpers the service and the updater share: how many packages a run announces for the
// mode (Priority: the number of priority families; Update: the list size minus that number; Force:
// the list size) and which packages, in list order, it registers (family names compared exactly).
int RegistrationCount(RegisterType mode, size_t listSize, const std::vector<std::wstring>& priorityPackages);
std::vector<PackageInfo> SelectForRegistration(RegisterType mode, const std::vector<PackageInfo>& list,
                                               const std::vector<std::wstring>& priorityPackages);

} // namespace appxcore
