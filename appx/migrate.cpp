// The Store-app step of an update: the package list of a profile, through the service or the
// updater, and the Active Setup entry that runs the updater for every new user.
#include "appx/appx.h"

#include "driver/common.h"
#include "base/links.h"
#include "base/raii.h"

#include <objbase.h>
#include <userenv.h>
#include <wchar.h>

namespace {

const GUID FolderIdLocalAppData = {
    0xF1B32785, 0x6FBA, 0x4FCF, {0x9D, 0x55, 0x7B, 0x8E, 0x7F, 0x15, 0x70, 0x91}};
const DWORD KnownFolderDontVerify = 0x8000; // KF_FLAG_DONT_VERIFY
typedef HRESULT(WINAPI* SHGetKnownFolderPathFn)(REFGUID, DWORD, HANDLE, PWSTR*);

const DWORD UpdaterWaitMs = 120000;

struct SetupValue {
    const wchar_t* name; // null: the default value
    DWORD type;
    const wchar_t* text; // REG_SZ data
    DWORD number;        // REG_DWORD data
};

const SetupValue SetupValues[] = {
    {nullptr, REG_SZ, L"Windows Store Apps", 0}, {L"StubPath", REG_SZ, L"kelvo2.exe", 0},
    {L"Version", REG_SZ, L"1,0,00,0", 0},        {L"Locale", REG_SZ, L"*", 0},
    {L"pwsComponentID", REG_SZ, L"KELVO", 0},    {L"IsInstalled", REG_DWORD, nullptr, 1},
};

// Appends "value" in quotes as CommandLineToArgvW reads it back: backslashes before the closing
// quote are doubled so a folder ending in one does not swallow the quote.
void AppendQuoted(wchar_t*& at, const wchar_t* value) {
    *at++ = L'"';
    size_t length = wcslen(value);
    wmemcpy(at, value, length);
    at += length;
    for (size_t i = length; i > 0 && value[i - 1] == L'\\'; --i)
        *at++ = L'\\';
    *at++ = L'"';
}

void AppendText(wchar_t*& at, const wchar_t* text) {
    size_t length = wcslen(text);
    wmemcpy(at, text, length);
    at += length;
}

} // namespace

void GetLocalAppDataRelativePath(wchar_t* relative) {
    wchar_t profile[MAX_PATH] = {};
    {
        UniqueHandle token;
        if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.put())) return;
        DWORD size = MAX_PATH;
        if (!GetUserProfileDirectoryW(token.get(), profile, &size)) return;
    }
    size_t profileLength = wcslen(profile);
    HRESULT com = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    UniqueLibrary shell(LoadLibraryW(L"Shell32.dll"));
    if (shell) {
        SHGetKnownFolderPathFn getKnownFolderPath = reinterpret_cast<SHGetKnownFolderPathFn>(
            reinterpret_cast<void*>(GetProcAddress(shell.get(), "SHGetKnownFolderPath")));
        PWSTR path = nullptr;
        HRESULT found = E_NOTIMPL;
        if (getKnownFolderPath)
            found = getKnownFolderPath(FolderIdLocalAppData, KnownFolderDontVerify, nullptr, &path);
        UniqueCoTaskMem owner(path);
        // Only a folder inside the running account's profile gives a relative path.
        if (SUCCEEDED(found) && path && wcslen(path) > profileLength &&
            _wcsnicmp(path, profile, profileLength) == 0 && path[profileLength] == L'\\')
            FormatBounded(relative, MAX_PATH, L"%ws", path + profileLength);
    }
    if (SUCCEEDED(com)) CoUninitialize();
}

const wchar_t* FirstLinkedListingPath(const wchar_t* profile, const wchar_t* listFile) {
    // The list file, and the folders the service writes the Windows 10 backups to.
    static const wchar_t* const backupTails[] = {L"\\AppData\\Local\\Quillmar\\Migrate\\Packages",
                                                 L"\\AppData\\Local\\Quillmar\\Migrate\\vedatamodel.edb"};
    if (PathCrossesLink(profile, listFile)) return listFile;
    static wchar_t path[MAX_PATH];
    for (const wchar_t* tail : backupTails) {
        if (FormatBounded(path, MAX_PATH, L"%ws%ws", profile, tail) != S_OK) return tail;
        if (PathCrossesLink(profile, path)) return path;
    }
    return nullptr;
}

wchar_t* BuildUpdaterArguments(const wchar_t* sidString, const wchar_t* listFile, const wchar_t* profile) {
    size_t sid = wcslen(sidString), list = wcslen(listFile), folder = wcslen(profile);
    // Room for the doubled backslashes as well: each value at most twice its length.
    size_t chars = 2 * (sid + list + folder) + 64;
    wchar_t* arguments =
        static_cast<wchar_t*>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, chars * sizeof(wchar_t)));
    if (!arguments) return nullptr;
    wchar_t* at = arguments;
    AppendText(at, L"-user ");
    AppendQuoted(at, sidString);
    AppendText(at, L" -file ");
    AppendQuoted(at, listFile);
    AppendText(at, L" -profile ");
    AppendQuoted(at, profile);
    *at = L'\0';
    return arguments;
}

DWORD MigrateStoreApps(const wchar_t* profile, const wchar_t* sidString, bool waitForDone) {
    wchar_t relative[MAX_PATH] = {};
    GetLocalAppDataRelativePath(relative);
    wchar_t base[MAX_PATH], listFile[MAX_PATH];
    if (FormatBounded(base, MAX_PATH, L"%ws%ws\\Quillmar", profile, relative) != S_OK ||
        FormatBounded(listFile, MAX_PATH, L"%ws\\Migrate-AppxPackage", base) != S_OK)
        return ERROR_FILENAME_EXCED_RANGE;
    // The profile belongs to a user who may have planted a link on the way: the service (as
    // LocalSystem) or the updater would write the list and the backups through it, so the listing
    // is skipped for this profile.
    if (const wchar_t* linked = FirstLinkedListingPath(profile, listFile)) {
        ConsolePrint(L"Store apps of %ws were not listed: a folder on the way to %ws is a link.\r\n", profile,
                     linked);
        return ERROR_ACCESS_DENIED;
    }
    CreateDirectoryW(base, nullptr);

    if (EnsureAppxServiceRunning() == 0) {
        OutputDebugStringW(L"DEBUG: Using Service");
        ServiceConversation conversation;
        DWORD code = AskServiceToList(sidString, listFile, profile, waitForDone, &conversation);
        return ListingOutcome(code, conversation, waitForDone);
    }
    if (StopAndDeleteService(AppxServiceName, nullptr) == 0) DeleteAppxServiceFiles();

    UniqueHeap arguments(BuildUpdaterArguments(sidString, listFile, profile));
    if (!arguments) return ERROR_OUTOFMEMORY;
    return RunUpdater(static_cast<const wchar_t*>(arguments.get()));
}

DWORD RunUpdater(const wchar_t* arguments) {
    size_t chars = wcslen(arguments) + 16;
    UniqueHeap block(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, chars * sizeof(wchar_t)));
    if (!block) return ERROR_OUTOFMEMORY;
    wchar_t* commandLine = static_cast<wchar_t*>(block.get());
    FormatBounded(commandLine, chars, L"kelvo2.exe %ws", arguments);
    OutputDebugStringW(L"Calling kelvo2.exe. Command line:");
    OutputDebugStringW(commandLine);
    // The copy the tool wrote to the Windows folder, named in full: a search would try the tool's
    // own folder and the current folder first, where anyone may have left a kelvo2.exe.
    wchar_t program[MAX_PATH];
    UINT windowsLength = GetWindowsDirectoryW(program, MAX_PATH);
    if (windowsLength == 0 || windowsLength >= MAX_PATH ||
        FormatBounded(program + windowsLength, MAX_PATH - windowsLength, L"\\kelvo2.exe") != S_OK)
        return ERROR_FILENAME_EXCED_RANGE;

    STARTUPINFOW startup;
    ZeroMemory(&startup, sizeof startup);
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    DWORD result;
    if (CreateProcessW(program, commandLine, nullptr, nullptr, FALSE /* no inheritance */,
                       0 /* no creation flags */, nullptr /* our environment */, nullptr /* our folder */,
                       &startup, &process)) {
        UniqueHandle processHandle(process.hProcess), threadHandle(process.hThread);
        WaitForSingleObject(process.hProcess, UpdaterWaitMs); // a slower updater goes on by itself
        if (!GetExitCodeProcess(process.hProcess, &result)) result = GetLastError();
    } else {
        result = GetLastError();
        OutputDebugStringW(L"Create kelvo2.exe process fails");
    }
    return result;
}

LONG(WINAPI* ActiveSetupSetValue)(HKEY, const wchar_t*, DWORD, DWORD, const BYTE*, DWORD) = RegSetValueExW;

DWORD RegisterActiveSetupEntry() {
    wchar_t keyName[MAX_PATH];
    if (FormatBounded(keyName, MAX_PATH, L"SOFTWARE\\Microsoft\\Active Setup\\Installed Components\\%ws",
                      L"Quillmar-Migrate-AppxPackage") != S_OK)
        return ERROR_FILENAME_EXCED_RANGE;
    UniqueKey key;
    // The 64-bit view: Active Setup of 64-bit Windows reads only that one.
    LONG result =
        RegCreateKeyExW(HKEY_LOCAL_MACHINE, keyName, 0, nullptr /* no class */, REG_OPTION_NON_VOLATILE,
                        KEY_ALL_ACCESS | KEY_WOW64_64KEY, nullptr /* default security */, key.put(), nullptr);
    if (result != ERROR_SUCCESS) return static_cast<DWORD>(result);
    // An entry missing a value would run the wrong command or none: the first failed write is the
    // result, and the values after it are not written.
    for (const SetupValue& v : SetupValues) {
        if (v.type == REG_SZ)
            result = ActiveSetupSetValue(key.get(), v.name, 0, REG_SZ, reinterpret_cast<const BYTE*>(v.text),
                                         static_cast<DWORD>((wcslen(v.text) + 1) * sizeof(wchar_t)));
        else
            result = ActiveSetupSetValue(key.get(), v.name, 0, REG_DWORD,
                                         reinterpret_cast<const BYTE*>(&v.number), sizeof v.number);
        if (result != ERROR_SUCCESS) return static_cast<DWORD>(result);
    }
    return 0;
}
