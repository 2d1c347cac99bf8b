// The steps of a new user's first logon after corvane.exe made the default profile, shared by the
// first-logon test and the README's demo: packages in the stand-in repository's own places (Program
// Files\WindowsApps and the AppxAllUserStore key), the new user built from the default profile as
// Windows builds it, and the Active Setup entry's command run for that user. Each step returns a
// result for its caller to check; none asserts.
//
// Wine divergence: Wine runs every process as its one user with its own hive as HKEY_CURRENT_USER,
// so the "new user" is that user: its profile folder receives a copy of the default profile, its
// ProfileList entry points there, and the default hive is loaded and copied into its
// HKEY_CURRENT_USER.
#pragma once

#include "companions/appxcore/packageinfo.h"

#include "../appxcore/repository.h"

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

namespace firstlogon {

extern const wchar_t* const WindowsApps;   // C:\Program Files\WindowsApps
extern const wchar_t* const AllUserStore;  // the stand-in's registration store below HKLM
extern const wchar_t* const SetupKey;      // the Active Setup entry the tool writes
extern const wchar_t* const SettingsKey;   // the companions' settings key (DebugLevel, ...)
extern const wchar_t* const ServiceName;   // QuillmarAppxService
extern const wchar_t* const QuillmarLocal; // \AppData\Local\Quillmar, below a profile folder

// Has the repository write a package's manifest, copies it to WindowsApps\<folder> and registers
// the package for sid in the stand-in's store. A framework name makes the package depend on a
// framework this machine does not have, so that its registration fails for anyone. False (with
// *error set) when the folder already exists or a step fails.
bool InstallForUser(appx_test::Repository& repo, const std::wstring& folder, const std::wstring& name,
                    const std::wstring& publisher, const std::wstring& sid, const std::wstring& framework,
                    appxcore::PackageInfo* package, std::wstring* error);

// Copies a tree file by file, as the profile service copies the default profile (no links exist
// inside a test prefix); records every file it wrote.
void CopyTree(const std::wstring& from, const std::wstring& to, std::vector<std::wstring>* written);

// As Windows does at first logon: the default profile's folder and hive become the user's. 0 or the
// code of the failing registry step.
DWORD MakeNewUserFromDefault(const std::wstring& defaultPath, const std::wstring& newSid,
                             const std::wstring& newProfile, std::vector<std::wstring>* written);

// Runs the Active Setup entry's command the way Windows starts it: the command line as stored (into
// *stubPath), found by the system's search, in the new user's profile folder, with arguments added
// only where a caller asks for another form. whileRunning, if given, is called about ten times a
// second until the process ends. The exit code; 0xFFFFFFFF without the entry; CreateProcessW's code.
DWORD RunActiveSetup(const std::wstring& newProfile, const std::wstring& arguments, std::wstring* stubPath,
                     const std::function<void()>& whileRunning = nullptr);

// Stops and deletes the service through the service control manager and removes its program,
// whoever installed it in this prefix. True when the service is gone and its program deleted.
bool RemoveServiceAndFiles();
bool WaitUntilNoService();

} // namespace firstlogon
