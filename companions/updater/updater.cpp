#include "companions/updater/updater.h"

#include "companions/appxcore/packagelist.h"
#include "companions/appxcore/registration.h"
#include "companions/updater/pipeclient.h"
#include "companions/updater/progresswindow.h"
#include "companions/updater/trayicon.h"
#include "base/files.h"
#include "base/links.h"
#include "base/pipeio.h"
#include "base/raii.h"
#include "base/sids.h"

#include <sddl.h>
#include <shellapi.h>
#include <shlobj.h>

namespace updater {

using appxcore::AppxError;
using appxcore::EqualsIgnoreCase;
using appxcore::PackageInfo;
using appxcore::RegisterType;

namespace {

const wchar_t* const NativeSettingsKey = L"SOFTWARE\\Wow6432Node\\Quillmar\\AppX";
const wchar_t* const SettingsKey = L"SOFTWARE\\Quillmar\\AppX";
const wchar_t* const UserKey = L"Software\\Quillmar\\Appx";
const wchar_t* const ListFolder = L"\\Quillmar";
const DWORD ServiceConnectTimeoutMs = 100;

struct Switches {
    const wchar_t* word;
    RegisterType mode;
    bool tray, silent, force;
};
const Switches UpdateArguments[] = {
    {L"-priority", RegisterType::Priority, false, false, false},
    {L"-run", RegisterType::Update, true, false, false},
    {L"-silent", RegisterType::Update, false, true, false},
    {L"-force", RegisterType::Force, true, false, true},
    {L"-forcepriority", RegisterType::Priority, true, false, true},
};

std::wstring FolderOf(const std::wstring& path) {
    size_t slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash);
}

// A number setting, stored as REG_DWORD or as decimal text; anything else counts as missing.
bool ReadNumber(HKEY key, const wchar_t* name, DWORD* value) {
    DWORD type = 0;
    BYTE data[64] = {};
    DWORD size = sizeof data - sizeof(wchar_t); // room for a terminator the value may lack
    if (RegQueryValueExW(key, name, nullptr, &type, data, &size) != ERROR_SUCCESS) return false;
    if (type == REG_DWORD && size == sizeof(DWORD)) {
        memcpy(value, data, sizeof(DWORD));
        return true;
    }
    if (type != REG_SZ) return false;
    const wchar_t* text = reinterpret_cast<const wchar_t*>(data);
    wchar_t* end = nullptr;
    unsigned long number = wcstoul(text, &end, 10);
    if (end == text || *end != L'\0') return false;
    *value = static_cast<DWORD>(number);
    return true;
}

bool ReadText(HKEY key, const wchar_t* name, std::wstring* value) {
    DWORD type = 0;
    wchar_t data[256] = {};
    DWORD size = sizeof data - sizeof(wchar_t);
    if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(data), &size) != ERROR_SUCCESS)
        return false;
    if (type != REG_SZ && type != REG_EXPAND_SZ) return false;
    *value = data;
    return true;
}

// The settings key: the literal Wow6432Node path in the native view first, then the 32-bit view's
// own key, which is the same key on 64-bit Windows and the only one on 32-bit Windows.
UniqueKey OpenSettingsKey() {
    UniqueKey key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, NativeSettingsKey, 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY,
                      key.put()) == ERROR_SUCCESS)
        return key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, SettingsKey, 0, KEY_QUERY_VALUE | KEY_WOW64_32KEY, key.put()) ==
        ERROR_SUCCESS)
        return key;
    return UniqueKey();
}

std::wstring TokenUserSid() {
    wchar_t* text = nullptr;
    DWORD error = CurrentUserSidText(&text);
    UniqueLocal owner(text);
    if (error != 0) appxcore::ThrowWin32(error);
    return text;
}

std::wstring ShellFolder(int csidl) {
    wchar_t path[MAX_PATH] = L"";
    HRESULT hr = SHGetFolderPathW(nullptr, csidl | CSIDL_FLAG_CREATE, nullptr, SHGFP_TYPE_CURRENT, path);
    if (FAILED(hr)) appxcore::ThrowError(hr);
    return path;
}

// Ctrl+Esc opens the Start menu, which finishes the shell's own first-logon work before the window
// covers the screen. Some desktops refuse synthesized input; that is only a lost nicety.
bool SendCtrlEsc() {
    INPUT keys[4] = {};
    const WORD codes[4] = {VK_CONTROL, VK_ESCAPE, VK_ESCAPE, VK_CONTROL};
    for (int i = 0; i < 4; ++i) {
        keys[i].type = INPUT_KEYBOARD;
        keys[i].ki.wVk = codes[i];
        keys[i].ki.dwFlags = i >= 2 ? KEYEVENTF_KEYUP : 0;
    }
    return SendInput(4, keys, sizeof(INPUT)) == 4;
}

struct TrayWork {
    Updater* updater;
    std::wstring listFile;
    RegisterType mode;
    TrayIcon* tray;
    bool complete;
};

DWORD WINAPI TrayWorker(void* parameter) {
    TrayWork* work = static_cast<TrayWork*>(parameter);
    work->complete = false; // until the registration has returned
    try {
        work->complete = work->updater
                             ->Register(work->listFile, true, work->mode,
                                        [work](const std::wstring& text) { work->tray->SetText(text); })
                             .complete;
    } catch (const AppxError& e) {
        work->updater->Log(L"ERROR: " + e.message());
    } catch (...) {
        work->updater->Log(L"ERROR: the registration ended with an unexpected error.");
    }
    // Whatever happened, the tray's loop must end or the program would stay forever.
    work->tray->End();
    return 0;
}

} // namespace

std::wstring Win32Message(DWORD code) {
    return appxcore::ErrorMessage(HRESULT_FROM_WIN32(code));
}

CommandLine ParseCommandLine(const std::vector<std::wstring>& args) {
    CommandLine result;
    if (args.empty()) {
        result.action = Action::Update;
        return result; // Force, window
    }
    // The listing keywords are matched exactly, as the tool spells them.
    if (args[0] == L"-user" || args[0] == L"-User") {
        if (args.size() < 2 || !IsStringSid(args[1].c_str())) return result;
        result.action = Action::List;
        result.sid = args[1];
        std::vector<std::wstring> rest(args.begin() + 2, args.end());
        auto is = [](const std::wstring& word, const wchar_t* lower, const wchar_t* capital) {
            return word == lower || word == capital;
        };
        if (rest.size() == 1) {
            result.listFile = rest[0];
        } else if (rest.size() >= 2 && is(rest[0], L"-file", L"-File")) {
            result.listFile = rest[1];
            if (rest.size() == 4 && is(rest[2], L"-profile", L"-Profile")) result.profile = rest[3];
        } else if (rest.size() >= 2 && is(rest[0], L"-profile", L"-Profile")) {
            result.profile = rest[1];
        }
        return result;
    }
    if (args.size() != 1) return result;
    if (EqualsIgnoreCase(args[0], L"-restoremenu")) {
        result.action = Action::RestoreMenu;
        return result;
    }
    for (const Switches& s : UpdateArguments)
        if (EqualsIgnoreCase(args[0], s.word)) {
            result.action = Action::Update;
            result.mode = s.mode;
            result.tray = s.tray;
            result.silent = s.silent;
            result.force = s.force;
        }
    return result;
}

std::vector<std::wstring> ProcessArguments() {
    int count = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &count);
    std::vector<std::wstring> args;
    if (!argv) return args;
    for (int i = 1; i < count; ++i)
        args.push_back(argv[i]);
    LocalFree(argv);
    return args;
}

Settings ReadSettings() {
    Settings settings;
    UniqueKey key = OpenSettingsKey();
    if (!key) return settings;
    ReadNumber(key.get(), L"DebugLevel", &settings.debugLevel);
    ReadNumber(key.get(), L"DisableAppxUpdate", &settings.disableAppxUpdate);
    ReadNumber(key.get(), L"Delay", &settings.delaySeconds);
    ReadText(key.get(), L"Priority", &settings.priority);
    return settings;
}

DWORD PriorityClassFor(const std::wstring& priority) {
    if (EqualsIgnoreCase(priority, L"BelowNormal")) return BELOW_NORMAL_PRIORITY_CLASS;
    if (EqualsIgnoreCase(priority, L"Idle")) return IDLE_PRIORITY_CLASS;
    return 0;
}

bool ReadLastSid(std::wstring* sid) {
    UniqueKey key;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, UserKey, 0, KEY_QUERY_VALUE, key.put()) != ERROR_SUCCESS)
        return false;
    return ReadText(key.get(), L"LastSid", sid);
}

void WriteLastSid(const std::wstring& sid) {
    UniqueKey key;
    LONG result = RegCreateKeyExW(HKEY_CURRENT_USER, UserKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                                  key.put(), nullptr);
    if (result != ERROR_SUCCESS) appxcore::ThrowWin32(static_cast<DWORD>(result));
    result = RegSetValueExW(key.get(), L"LastSid", 0, REG_SZ, reinterpret_cast<const BYTE*>(sid.c_str()),
                            static_cast<DWORD>((sid.size() + 1) * sizeof(wchar_t)));
    if (result != ERROR_SUCCESS) appxcore::ThrowWin32(static_cast<DWORD>(result));
}

std::wstring ProgressText(int index, int count) {
    return L"Updating Store App " + std::to_wstring(index) + L" of " + std::to_wstring(count) + L"...";
}

Environment CurrentEnvironment() {
    Environment env;
    env.sid = TokenUserSid();
    env.localAppData = ShellFolder(CSIDL_LOCAL_APPDATA);
    env.profileFolder = ShellFolder(CSIDL_PROFILE);
    DWORD minor = 0;
    appxcore::GetWindowsVersion(&env.windowsMajor, &minor);
    env.module.priorityPackages = appxcore::UpdaterPriorityPackages;
    env.serviceReplyLimitMs = ProductWaitLimit(ServiceReplyLimitMs);
    return env;
}

void ResolveListing(const CommandLine& commandLine, const Environment& env, std::wstring* listFile,
                    std::wstring* profile) {
    *profile = commandLine.profile;
    if (!commandLine.listFile.empty()) {
        *listFile = commandLine.listFile;
        return;
    }
    std::wstring folder = commandLine.profile.empty()
                              ? env.localAppData + ListFolder
                              : commandLine.profile + L"\\AppData\\Local" + ListFolder;
    // The tool runs the listing elevated for another user's profile, where that user may have planted
    // a folder link: never create the list's folder through one.
    if (!commandLine.profile.empty() && PathCrossesLink(commandLine.profile.c_str(), folder.c_str()))
        appxcore::ThrowWin32(ERROR_ACCESS_DENIED);
    int result = SHCreateDirectoryExW(nullptr, folder.c_str(), nullptr);
    if (result != ERROR_SUCCESS && result != ERROR_ALREADY_EXISTS && result != ERROR_FILE_EXISTS)
        appxcore::ThrowWin32(static_cast<DWORD>(result));
    *listFile = folder + L"\\" + appxcore::PackageListName;
}

Updater::Updater(Environment environment, DWORD debugLevel)
    : env_(std::move(environment)), debugLevel_(debugLevel), module_(env_.module) {}

void Updater::Log(const std::wstring& line) {
    if (debugLevel_ > 0) module_.WriteLogFile(line);
}

void Updater::Run(const CommandLine& commandLine) {
    try {
        switch (commandLine.action) {
        case Action::Update:
            Update(commandLine, ReadSettings());
            break;
        case Action::List:
            List(commandLine);
            break;
        case Action::RestoreMenu:
            RestoreMenu();
            break;
        case Action::Nothing:
            Log(L"Nothing to do for these arguments.");
            break;
        }
    } catch (const AppxError& e) {
        Log(L"ERROR: " + e.message());
    } catch (const PipeError& e) {
        Log(L"ERROR: " + Win32Message(e.code()));
    } catch (const std::exception& e) {
        Log(L"ERROR: " + std::wstring(e.what(), e.what() + strlen(e.what())));
    }
}

void Updater::Update(const CommandLine& commandLine, const Settings& settings) {
    RegisterType mode = commandLine.mode;
    DWORD disableAppxUpdate = 0;
    if (!commandLine.force) {
        std::wstring lastSid;
        if (ReadLastSid(&lastSid)) {
            Log(L"LastSid is " + lastSid + L".");
            Log(L"Current sid is " + env_.sid + L".");
            if (!lastSid.empty() && EqualsIgnoreCase(lastSid, env_.sid)) return;
        }
        Log(L"disableAppxUpdate value before registry is 0.");
        disableAppxUpdate = settings.disableAppxUpdate;
        Log(L"disableAppxUpdate value from registry is " + std::to_wstring(disableAppxUpdate) + L".");
        if (disableAppxUpdate == 1) return;
        if (disableAppxUpdate == 2) mode = RegisterType::Priority;
    }

    std::wstring listFile = env_.localAppData + ListFolder + L"\\" + appxcore::PackageListName;
    if (!FileExists(listFile.c_str())) {
        Log(L"There is no package list " + listFile + L".");
        return;
    }

    bool complete = true;
    if (commandLine.tray) {
        DWORD priorityClass = PriorityClassFor(settings.priority);
        if (priorityClass) SetPriorityClass(GetCurrentProcess(), priorityClass);
        if (settings.delaySeconds)
            Sleep(settings.delaySeconds < MAXDWORD / 1000 ? settings.delaySeconds * 1000 : MAXDWORD - 1);
        TrayIcon tray;
        tray.Create(GetModuleHandleW(nullptr));
        TrayWork work = {this, listFile, mode, &tray, false};
        UniqueHandle worker(CreateThread(nullptr, 0, TrayWorker, &work, 0, nullptr));
        if (!worker) {
            TrayWorker(&work); // no second thread: do the work here, the loop then ends at once
            tray.RunLoop(nullptr);
        } else {
            tray.RunLoop(worker.get());
            WaitForSingleObject(worker.get(), INFINITE);
        }
        tray.ShowComplete();
        complete = work.complete;
    } else if (commandLine.silent) {
        complete = Register(listFile, false, mode, ProgressSink()).complete;
    } else {
        if (SendCtrlEsc()) Sleep(2000);
        ProgressWindow window;
        bool shown = window.Open(GetModuleHandleW(nullptr));
        if (!shown) Log(L"The progress window cannot be shown: " + Win32Message(window.error()) + L".");
        complete = Register(listFile, true, mode, [&window, shown](const std::wstring& text) {
                       if (shown) window.SetText(text);
                   }).complete;
        window.Close();
    }

    // Work given up unfinished is tried again at the next logon.
    if (!complete) {
        Log(L"The Store apps were not all registered; LastSid is left for the next logon.");
        return;
    }
    // A plain priority run leaves the rest for a later run, so it does not count this user as done.
    if (mode != RegisterType::Priority || disableAppxUpdate > 0) WriteLastSid(env_.sid);
}

RegisterResult Updater::Register(const std::wstring& listFile, bool wait, RegisterType mode,
                                 const ProgressSink& progress) {
    ServiceClient service;
    DWORD why = 0;
    if (!service.Connect(env_.pipeName, env_.serviceName, ServiceConnectTimeoutMs, &why)) {
        Log(L"The AppX Management Service does not answer (" + Win32Message(why) +
            L"); registering in this process.");
        return RegisterInProcess(listFile, mode, progress);
    }
    service.SetReplyLimit(env_.serviceReplyLimitMs);
    RegisterResult result;
    result.byService = true;
    const wchar_t* request = L"-register";
    if (env_.windowsMajor >= 10 && mode == RegisterType::Priority) request = L"-priority";
    if (env_.windowsMajor >= 10 && mode == RegisterType::Update) request = L"-update";
    Log(std::wstring(L"Asking the AppX Management Service: ") + request);
    try {
        service.Send(request);
        if (EqualsIgnoreCase(service.Receive(), L"Done") || !wait) return result;
        std::wstring reply = service.Receive();
        if (EqualsIgnoreCase(reply, L"Done")) return result;
        result.count = _wtoi(reply.c_str());
        for (int i = 0;; ++i) {
            if (progress) progress(ProgressText(i, result.count));
            result.shownIndexes.push_back(i);
            if (EqualsIgnoreCase(service.Receive(), L"Done")) break;
        }
        Log(L"The AppX Management Service has registered the packages.");
    } catch (const PipeError& e) {
        // No reply within the limit, or the service went away before "Done": its work cannot be
        // counted on, so the window closes and the next logon tries again.
        Log(L"ERROR: " + Win32Message(e.code()));
        result.complete = false;
        WriteUnfinished(listFile, mode, &result);
    }
    return result;
}

void Updater::WriteUnfinished(const std::wstring& listFile, RegisterType mode, RegisterResult* result) {
    std::vector<PackageInfo> list;
    try {
        list = appxcore::ReadPackageList(listFile);
    } catch (const AppxError& e) {
        Log(L"Cannot open Package List: " + e.message());
        return;
    }
    // Which of them the service registered before it stopped answering is not known.
    std::vector<PackageInfo> failed = appxcore::SelectForRegistration(mode, list, module_.priorityPackages());
    for (PackageInfo& package : failed) {
        package.installedfailed = true;
        result->failed.push_back(package.fullName);
    }
    WriteFailureList(listFile, failed);
}

void Updater::WriteFailureList(const std::wstring& listFile, const std::vector<PackageInfo>& failed) {
    try {
        appxcore::ReplaceFailureList(FolderOf(listFile) + L"\\" + appxcore::FailureListName, failed);
    } catch (const AppxError& e) {
        Log(L"The failure list cannot be written: " + e.message());
    }
}

namespace {

// The in-process registration's progress goes where the run shows it, and its notes to the
// program's own log; a failure list that cannot be written is logged and the restores still run.
class InProcessProgress : public appxcore::RegistrationHost {
  public:
    InProcessProgress(Updater& updater, const ProgressSink& progress, RegisterResult* result)
        : updater_(updater), progress_(progress), result_(result) {}
    void Registering(int index, int count) override {
        if (progress_) progress_(ProgressText(index, count));
        result_->shownIndexes.push_back(index);
    }
    void Note(const std::wstring& line) override { updater_.Log(line); }
    void FailureListNotWritten(const AppxError& error) override {
        updater_.Log(L"The failure list cannot be written: " + error.message());
    }

  private:
    Updater& updater_;
    const ProgressSink& progress_;
    RegisterResult* result_;
};

} // namespace

RegisterResult Updater::RegisterInProcess(const std::wstring& listFile, RegisterType mode,
                                          const ProgressSink& progress) {
    RegisterResult result;
    std::vector<PackageInfo> list;
    try {
        list = appxcore::ReadPackageList(listFile);
    } catch (const AppxError& e) {
        Log(L"Cannot open Package List: " + e.message());
        result.listRead = false;
        return result;
    }
    appxcore::RegistrationPlan plan;
    plan.mode = mode;
    plan.userSid = env_.sid;
    plan.profileFolder = env_.profileFolder;
    plan.failureList = FolderOf(listFile) + L"\\" + appxcore::FailureListName;
    // After a registration that never completed the package manager is not trusted with more: the
    // rest go to the failure list untried, so the window closes within one limit.
    plan.stopAfterHang = true;
    plan.retryDelayMs = env_.retryDelayMs;
    InProcessProgress host(*this, progress, &result);
    appxcore::RegistrationOutcome outcome = appxcore::RegisterPackageList(module_, list, plan, host);
    result.count = outcome.count;
    result.complete = outcome.complete;
    for (const PackageInfo& package : outcome.failed)
        result.failed.push_back(package.fullName);
    Log(L"Registered " + std::to_wstring(outcome.registered) + L" of " + std::to_wstring(outcome.tried) +
        L" packages in this process." +
        (result.complete ? L"" : L" A registration did not complete in time; the rest were not tried."));
    return result;
}

void Updater::List(const CommandLine& commandLine) {
    std::wstring listFile, profile;
    ResolveListing(commandLine, env_, &listFile, &profile);
    ServiceClient service;
    DWORD why = 0;
    if (service.Connect(env_.pipeName, env_.serviceName, ServiceConnectTimeoutMs, &why)) {
        service.Send(L"-user|" + commandLine.sid + L"|" + listFile + L"|" + profile);
        // A refusal (a caller who may not have LocalSystem list, or a listing path behind a
        // link) leaves the listing to this process, with this user's own rights.
        if (service.Receive() != L"Access Denied") {
            Log(L"The AppX Management Service lists the packages of " + commandLine.sid + L".");
            return;
        }
        Log(L"The AppX Management Service refused to list the packages of " + commandLine.sid + L".");
    }
    Log(L"Listing packages for " + commandLine.sid + L" in this process.");
    module_.GetAppxPackagesBySid(commandLine.sid, listFile, nullptr);
    // Without a profile there is nothing to back up from (an empty folder would name the drive root).
    if (env_.windowsMajor >= 10 && !profile.empty()) {
        module_.BackupAppSettings2(commandLine.sid, profile);
        module_.BackupAppFiles2(profile);
    }
}

void Updater::RestoreMenu() {
    ServiceClient service;
    bool done = false;
    if (service.Connect(env_.pipeName, env_.serviceName, ServiceConnectTimeoutMs)) {
        try {
            service.Send(L"-restoremenu");
            service.Receive();
            done = true;
        } catch (const PipeError& e) {
            Log(L"ERROR: " + Win32Message(e.code()));
        }
    }
    if (done)
        MessageBoxW(nullptr, L"Restore Start menu is complete.", L"kelvo2", MB_OK | MB_ICONINFORMATION);
    else
        MessageBoxW(nullptr, L"The Quillmar AppX Management Service is not running.", L"kelvo2",
                    MB_OK | MB_ICONWARNING);
}

} // namespace updater
