// Windows-side test harness: runs the shipped tool, switches the reported Windows version, builds
// test profiles inside the prefix, and captures debugger output.
#pragma once

#include <windows.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

namespace corvane_test {

struct RunResult {
    DWORD exitCode = 0xFFFFFFFF;
    std::string out; // standard output, byte for byte
};

// Starts corvane.exe (CORVANE_EXE) with the given argument text, feeds stdinText and closes its
// standard input, and collects standard output and the exact 32-bit exit code.
RunResult RunTool(const std::wstring& arguments, const std::string& stdinText = "");
// Runs any program the same way.
RunResult RunProgram(const std::wstring& exe, const std::wstring& arguments,
                     const std::string& stdinText = "");

// Windows version Wine reports to corvane.exe from its next start: "winxp", "win7", "win81", "win10"...
void SetToolWindowsVersion(const std::wstring& version);

// The banner every run prints first.
extern const char* const Banner;

std::wstring ProfilesDir(); // GetProfilesDirectoryW
std::string Narrow(const std::wstring& text);
// The system's text for a Win32 code without its line end, as the tool prints it.
std::string SystemErrorText(DWORD code);

// A registry key tree to save as a hive: key path (relative to the hive root) -> values.
struct RegValue {
    DWORD type;
    std::vector<BYTE> data;
};
RegValue Sz(const std::wstring& text);
RegValue ExpandSz(const std::wstring& text);
RegValue Dword(DWORD value);
using HiveContent = std::map<std::wstring, std::map<std::wstring, RegValue>>;

// Writes a hive file from content with RegSaveKeyW (Wine writes its own text format).
void SaveHive(const std::wstring& file, const HiveContent& content);
// Creates the content's keys under an opened key.
void WriteKeys(HKEY root, const HiveContent& content);

struct TestProfile {
    std::wstring name;
    std::wstring path; // C:\users\<name>
    std::wstring sid;
};

// Makes a local profile: folder, NTUSER.DAT from hive, and a ProfileList entry under sid whose
// ProfileImagePath is "%SystemDrive%\users\<name>" unless imagePath is given.
TestProfile CreateProfile(const std::wstring& name, const std::wstring& sid, const HiveContent& hive,
                          const std::wstring& imagePath = L"");
// Removes the folder (only below the profiles folder) and the ProfileList entry.
void RemoveProfile(const TestProfile& profile);
void AddProfileListEntry(const std::wstring& sid, const std::wstring& imagePath);
void RemoveProfileListEntry(const std::wstring& sid);

// The Default profile folder (C:\users\Default) and ProfileList's "Default" value.
std::wstring EnsureDefaultProfile();

// Creates in a profile folder the folders of the update's copy table whose copy must not fail
// (roaming application data to Start menu, Downloads and Links), where the running account has them.
void MakeRequiredRowFolders(const std::wstring& profilePath);

// Files and folders.
void WriteFileBytes(const std::wstring& path, const std::string& bytes, DWORD attributes = 0);
std::string ReadFileBytes(const std::wstring& path);
bool FileExists(const std::wstring& path);
bool DirExists(const std::wstring& path);
void MakeDirs(const std::wstring& path);
// Deletes a tree that must lie inside the prefix's C: drive test areas; refuses anything else.
void DeleteTestTree(const std::wstring& path);
// C:\corvane-scratch\<prefix>-<running test's name>-<process id>, emptied and made again: one
// folder per test, so a test never sees what another one left.
std::wstring FreshTestFolder(const wchar_t* prefix);
// Relative path -> "D" for a folder, or "<size>:<hash>:<attributes>" for a file, for a whole tree.
std::map<std::wstring, std::string> Snapshot(const std::wstring& root);

// Holds a file open without sharing from a second process, standing for a signed-in user.
class HeldFile {
  public:
    explicit HeldFile(const std::wstring& path);
    ~HeldFile();
    bool ok() const { return ok_; }

  private:
    HANDLE process_ = nullptr;
    HANDLE input_ = nullptr;
    bool ok_ = false;
};

// Collects what this process sends to the debugger (OutputDebugStringW) while it lives.
class DebugCapture {
  public:
    DebugCapture();
    ~DebugCapture();
    std::vector<std::string> lines() const;
    void clear();
};

// Polls the condition every intervalMs until it holds (true) or timeoutMs have passed (false): for
// what another process writes, instead of a fixed pause before reading it.
bool PollUntil(const std::function<bool()>& condition, DWORD timeoutMs = 10000, DWORD intervalMs = 50);

// Services under Wine's service control manager.
// The service's current state; 0 when it is not installed (or cannot be queried).
DWORD ServiceState(const wchar_t* name);
// Polls until the service has the state (0: until it is not installed); false when timeoutMs passed.
bool WaitForServiceState(const wchar_t* name, DWORD state, DWORD timeoutMs = 15000);
// Stops the service if it runs, waits for SERVICE_STOPPED, deletes it and waits until the manager no
// longer knows it. True when it is gone, or was never installed.
bool StopAndRemoveService(const wchar_t* name, DWORD timeoutMs = 15000);

// Enables a privilege on the process token (SeBackupPrivilege for RegSaveKeyW, ...).
bool EnablePrivilegeForTest(const wchar_t* name);

} // namespace corvane_test
