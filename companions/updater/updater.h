// kelvo2: the post-logon Store-app updater. Windows runs it once per new user through Active Setup
// to re-register the packages of the package list that came with the profile; the tool runs it with
// "-user" to list a user's packages. It asks the AppX Management Service over its pipe and does the
// work itself when the service does not answer. Every run ends with exit code 0.
#pragma once

#include "companions/appxcore/manageappx.h"
#include "companions/updater/pipeclient.h"
#include "base/pipemessage.h"

#include <windows.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace updater {

enum class Action { Nothing, Update, List, RestoreMenu };

// What the command line asks for. Listing fields are the arguments as given; the list file of a
// listing without one is decided when the run knows the user's folders (ResolveListing).
struct CommandLine {
    Action action = Action::Nothing;
    appxcore::RegisterType mode = appxcore::RegisterType::Force;
    bool tray = false;
    bool silent = false;
    bool force = false;
    std::wstring sid;      // listing: the user whose packages are listed
    std::wstring listFile; // listing: given list file, or empty
    std::wstring profile;  // listing: given profile folder, or empty
};

// args are the arguments after the program name, each whole (quotes already removed).
CommandLine ParseCommandLine(const std::vector<std::wstring>& args);
// The arguments of this process's command line.
std::vector<std::wstring> ProcessArguments();

// Machine-wide settings under HKEY_LOCAL_MACHINE. The literal "SOFTWARE\Wow6432Node\Quillmar\AppX"
// comes first (the native view, so a 32-bit and a 64-bit process read the same key); where it does
// not exist, as on 32-bit Windows, "SOFTWARE\Quillmar\AppX" in the 32-bit view. Missing values keep
// their defaults; a value of the wrong kind counts as missing.
struct Settings {
    DWORD debugLevel = 0;
    DWORD disableAppxUpdate = 0;
    DWORD delaySeconds = 0;
    std::wstring priority = L"Normal";
};
Settings ReadSettings();
// Tray runs only: the priority class for the "Priority" text (0: leave unchanged).
DWORD PriorityClassFor(const std::wstring& priority);

// "LastSid" under HKEY_CURRENT_USER "Software\Quillmar\Appx"; false when absent or not text.
bool ReadLastSid(std::wstring* sid);
void WriteLastSid(const std::wstring& sid);

// "Updating Store App i of n...".
std::wstring ProgressText(int index, int count);

// Who the run is for and where things are; the program fills it from its own token and folders,
// tests from their sandbox.
struct Environment {
    std::wstring sid;           // the user's string SID
    std::wstring localAppData;  // the user's Local AppData folder
    std::wstring profileFolder; // the user's profile folder
    DWORD windowsMajor = 0;
    std::wstring pipeName = ServicePipeName;
    std::wstring serviceName = L"QuillmarAppxService"; // who must serve the pipe
    appxcore::ManageAppxSettings module;               // priority list, log file, repository
    DWORD retryDelayMs = 1000;                         // pause unit between registration attempts
    DWORD serviceReplyLimitMs = ServiceReplyLimitMs;   // longest wait for one reply of the service
};
// The current process's user, folders and Windows version, with the updater's priority families.
Environment CurrentEnvironment();

// Where progress goes: the window's label, the tray tooltip, or nowhere.
using ProgressSink = std::function<void(const std::wstring&)>;

// The outcome of one registration, for the log and for tests.
struct RegisterResult {
    bool byService = false;
    bool listRead = true;
    int count = 0;
    std::vector<int> shownIndexes; // every index a progress text named, in order
    std::vector<std::wstring> failed;
    // False when the work was given up unfinished: the service stopped answering (or the pipe broke)
    // before "Done", or a registration in this process did not complete within its limit. The
    // selected packages not known to be registered are then in the failure list, and the run does
    // not count this user as done.
    bool complete = true;
};

class Updater {
  public:
    Updater(Environment environment, DWORD debugLevel);

    // One run of the command line, as the program does it. Raises nothing.
    void Run(const CommandLine& commandLine);

    // The update after the command line and the settings have been read: the LastSid and
    // DisableAppxUpdate checks, the package list's presence, the registration and the LastSid written
    // when it completed; how the user sees it (window, tray, silent) follows the command line.
    // Exposed for tests that run without a display.
    void Update(const CommandLine& commandLine, const Settings& settings);

    // The registration, through the service when it answers, else in this process. wait: read the
    // replies to the end. progress may be empty.
    RegisterResult Register(const std::wstring& listFile, bool wait, appxcore::RegisterType mode,
                            const ProgressSink& progress);
    RegisterResult RegisterInProcess(const std::wstring& listFile, appxcore::RegisterType mode,
                                     const ProgressSink& progress);

    // The listing; the list file and profile follow the listing rules.
    void List(const CommandLine& commandLine);
    void RestoreMenu();

    // The program's own progress lines (only when DebugLevel is above 0).
    void Log(const std::wstring& line);
    appxcore::ManageAppx& Module() { return module_; }
    const Environment& environment() const { return env_; }

  private:
    // After the service path was given up: every selected package of the list goes to the failure
    // list beside it.
    void WriteUnfinished(const std::wstring& listFile, appxcore::RegisterType mode, RegisterResult* result);
    // Replaces the failure list beside listFile with failed (removes it when failed is empty).
    void WriteFailureList(const std::wstring& listFile, const std::vector<appxcore::PackageInfo>& failed);

    Environment env_;
    DWORD debugLevel_;
    appxcore::ManageAppx module_;
};

// The list file and profile of a listing: given, derived from the profile, or the user's own.
// Creates the Quillmar folder where the list file is derived.
void ResolveListing(const CommandLine& commandLine, const Environment& env, std::wstring* listFile,
                    std::wstring* profile);

// The text of a Win32 code, for log lines.
std::wstring Win32Message(DWORD code);

} // namespace updater
