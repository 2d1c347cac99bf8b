#include "driver/driver.h"

#include "appx/appx.h"
#include "driver/common.h"
#include "driver/onerun.h"
#include "driver/privileges.h"
#include "driver/profilelist.h"
#include "base/raii.h"
#include "base/version.h"
#include "profile/update.h"

#include <sddl.h>
#include <shlwapi.h>
#include <stdio.h>
#include <userenv.h>
#include <wchar.h>

static void PrintBanner() {
    ConsolePrint(L"\r\nCorvane v1.11 - Set Default Profile\r\n");
    ConsolePrint(L"Corvane Project, 2025-2026\r\n");
    ConsolePrint(L"https://corvane.example.org\r\n\r\n");
}

static void PrintUsage() {
    ConsolePrint(L"Usage: Corvane profilefoldername [/q]");
    if (!IsWindows8OrLater) {
        ConsolePrint(L"\r\n\r\n");
        ConsolePrint(L"Option:\r\n");
        ConsolePrint(L"/q\tDo not display prompts\r\n");
        return;
    }
    ConsolePrint(L" [/NoAppx]\r\n\r\n");
    ConsolePrint(L"Options:\r\n");
    ConsolePrint(L"/q\t\t\tDo not display prompts\r\n");
    ConsolePrint(L"/NoAppx\t\t\tDo not include Windows Store Apps\r\n");
    ConsolePrint(L"\r\n\r\n\r\nAdditional Options:\r\n");
    ConsolePrint(L"\r\nUsage: Corvane [/InstallAppxService] | [/DeleteAppxService]\r\n");
    ConsolePrint(L"\r\n/InstallAppxService\tInstall the Quillmar AppX Management Service to\r\n");
    ConsolePrint(L"\t\t\tmanage Windows Store Apps for the default profile\r\n");
    ConsolePrint(L"\r\n/DeleteAppxService\tUninstall the Quillmar AppX Management Service\r\n");
}

static int RunUsage(int, wchar_t**) {
    PrintUsage();
    return 0;
}

static int RunDeleteService(int, wchar_t**) {
    ConsolePrint(L"Deleting the Quillmar AppX Management Service. Please wait...\r\n");
    EnsureAppxServiceRunning();
    DWORD code = StopAndDeleteService(AppxServiceName, nullptr /* local machine */);
    if (code == 0) code = DeleteAppxServiceFiles();
    if (code == 0) {
        ConsolePrint(L"The Quillmar AppX Management Service has been deleted.\r\n");
        return 0;
    }
    return static_cast<int>(ReportError(code));
}

int RunInstallServiceSteps(const InstallServiceSteps& steps) {
    DWORD failure = 0;
    // Quiet: an explicit request to install asks nothing.
    if (!steps.prepare(true, &failure) && failure == 0) failure = ERROR_CANCELLED;
    DWORD written = steps.installUpdaterFiles();
    // A deployment reads only the exit code: the first failure, not a 0 after printed errors.
    return static_cast<int>(failure != 0 ? failure : written);
}

static int RunInstallService(int, wchar_t**) {
    const InstallServiceSteps steps = {PrepareAppxService, InstallUpdaterFiles};
    return RunInstallServiceSteps(steps);
}

bool PassesCharacterTest(const wchar_t* argument) {
    return wcspbrk(argument, L"/[]|<>+=;,?*") == nullptr;
}

DWORD BuildProfilePath(const wchar_t* argument, wchar_t* profilePath) {
    if (wcschr(argument, L'\\')) {
        if (wcslen(argument) > MAX_PATH - 1) return ERROR_FILENAME_EXCED_RANGE;
        wcscpy(profilePath, argument);
        return 0;
    }
    DWORD size = MAX_PATH;
    if (!GetProfilesDirectoryW(profilePath, &size)) return GetLastError();
    // Never cut: a cut path could name another folder.
    if (wcslen(profilePath) + 1 + wcslen(argument) > MAX_PATH - 1) return ERROR_FILENAME_EXCED_RANGE;
    wcscat(profilePath, L"\\");
    wcscat(profilePath, argument);
    return 0;
}

bool ReadYesAnswer(FILE* input) {
    wchar_t answer[260] = {};
    if (!fgetws(answer, 260, input)) return false;
    size_t length = wcslen(answer);
    bool wholeLine = length > 0 && answer[length - 1] == L'\n';
    if (!wholeLine && length == 259) {
        // Too long to be "y": swallow the rest so that none of it is taken as a later answer.
        wint_t c;
        do
            c = fgetwc(input);
        while (c != WEOF && c != L'\n');
        return false;
    }
    while (length > 0 && (answer[length - 1] == L'\n' || answer[length - 1] == L'\r'))
        answer[--length] = L'\0';
    return _wcsicmp(answer, L"y") == 0;
}

// The in-use test: the profile's hive cannot be opened without sharing while the user is signed in.
static bool ProfileHiveLocked(const wchar_t* profilePath) {
    wchar_t hive[MAX_PATH];
    FormatBounded(hive, MAX_PATH, L"%ws\\ntuser.dat", profilePath);
    UniqueFile file(CreateFileW(hive, GENERIC_READ, 0 /* no sharing */, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
    if (file) return false;
    return GetLastError() == ERROR_SHARING_VIOLATION;
}

static int RunProfile(int argc, wchar_t** argv) {
    if (!IsAdministratorsMember() || !HasAdministratorPrivileges()) {
        // The one line that ends in a tab and a bare line feed, not "\r\n": it is kept byte for byte as
        // it has always been written, since scripts run by deployment systems match it as it is.
        ConsolePrint(L"You must have Administrator privileges to run Corvane.\t\n");
        return ERROR_ACCESS_DENIED;
    }
    {
        UniqueHandle token;
        if (OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, token.put())) {
            EnablePrivilege(token.get(), L"SeBackupPrivilege");
            EnablePrivilege(token.get(), L"SeRestorePrivilege");
        }
    }

    wchar_t profilePath[MAX_PATH] = {};
    DWORD code = BuildProfilePath(argv[1], profilePath);
    if (code == ERROR_FILENAME_EXCED_RANGE) {
        ConsolePrint(L"%ws\r\n", L"The profile path is longer than 259 characters.");
        return static_cast<int>(code);
    }
    if (code != 0) return static_cast<int>(ReportError(code));
    if (!PathIsDirectoryW(profilePath)) return static_cast<int>(ReportError(ERROR_PATH_NOT_FOUND));

    bool quiet = false;
    bool noAppx = false;
    for (int i = 2; i < argc && i <= 3; ++i) {
        if (_wcsicmp(argv[i], L"/q") == 0) quiet = true;
        if (_wcsicmp(argv[i], L"/NoAppx") == 0) noAppx = true;
    }

    if (!quiet && ProfileHiveLocked(profilePath)) {
        if (IsWindows10OrLater) {
            ConsolePrint(L"The profile is in use.\r\nThe user must sign off before running Corvane.\r\n");
            return ERROR_SHARING_VIOLATION;
        }
        ConsolePrint(L"The profile is in use.\r\n"
                     L"It is recommended that the user be logged off before running Corvane.\r\n");
        ConsolePrint(L"Are you sure you want to continue (y/N)? ");
        if (!ReadYesAnswer(stdin)) return ERROR_SHARING_VIOLATION;
    }

    const wchar_t* userName = wcsrchr(profilePath, L'\\') + 1; // BuildProfilePath always leaves one
    OneRun oneRun;
    code = AcquireOneRun(&oneRun, OneRunWaitMs);
    if (code == ERROR_BUSY) return static_cast<int>(code);
    if (code != 0) return static_cast<int>(ReportError(code));
    ConsolePrint(L"Updating default profile...\r\n");

    if (IsWindows8OrLater && !noAppx) {
        if (PrepareAppxService(quiet)) {
            InstallUpdaterFiles();
        } else if (!IsWindows10OrLater) {
            InstallUpdaterFiles();
        } else {
            ConsolePrint(L"Corvane cannot continue.\r\n");
            return ERROR_CANCELLED;
        }
    }

    wchar_t sidString[256] = {};
    PSID userSid = nullptr;
    if (!GetProfileSidString(profilePath, sidString) || !ConvertStringSidToSidW(sidString, &userSid)) {
        ConsolePrint(L"Cannot get user SID for profile %ws.\r\n", profilePath);
        return ERROR_INVALID_PARAMETER;
    }
    code = UpdateDefaultProfile(profilePath, userName, userSid);
    LocalFree(userSid);
    if (code != 0) return static_cast<int>(ReportError(code));
    ConsolePrint(L"The default profile has been successfully updated.\r\n");
    return 0;
}

struct Keyword {
    const wchar_t* word;
    int (*run)(int argc, wchar_t** argv);
    bool oneRun; // changes the machine: holds the one-run mutex
};

static const Keyword Keywords[] = {
    {L"/DeleteAppxService", RunDeleteService, true},
    {L"/InstallAppxService", RunInstallService, true},
    {L"/?", RunUsage, false},
};

static int RunKeyword(const Keyword& keyword, int argc, wchar_t** argv) {
    OneRun oneRun;
    if (keyword.oneRun) {
        DWORD code = AcquireOneRun(&oneRun, OneRunWaitMs);
        if (code == ERROR_BUSY) return static_cast<int>(code);
        if (code != 0) return static_cast<int>(ReportError(code));
    }
    return keyword.run(argc, argv);
}

int RunCorvane(int argc, wchar_t** argv) {
    PrintBanner();
    if (argc < 2) {
        PrintUsage(); // before version detection: always the short form
        return ERROR_INVALID_PARAMETER;
    }
    DetectWindowsVersion();
    for (const Keyword& k : Keywords)
        if (_wcsicmp(argv[1], k.word) == 0) return RunKeyword(k, argc, argv);
    if (!PassesCharacterTest(argv[1])) {
        PrintUsage();
        return ERROR_INVALID_PARAMETER;
    }
    return RunProfile(argc, argv);
}
