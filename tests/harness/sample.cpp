// Makes the README's sample profile inside a Wine prefix and summarises what an update did to the
// default profile; with Store apps, also what the update left for new users and a new user's first
// logon (the steps of the first-logon test).
//   sample create | summary | appx-create | appx-summary | firstlogon [marker folder]
// Every command ends with 0 when what it shows is as the sample expects, else 1.
#include "companions/appxcore/packagelist.h"
#include "companions/updater/pipeclient.h"
#include "companions/updater/updater.h"

#include "harness/testlib.h"
#include "updater/firstlogon_steps.h"

#include <shlobj.h>
#include <stdio.h>
#include <string.h>

using namespace corvane_test;
using appxcore::PackageInfo;

namespace {

const wchar_t* const Sid = L"S-1-5-21-1004336348-1177238915-682003330-1001";

std::wstring Relative(int csidl) {
    wchar_t profile[MAX_PATH], path[MAX_PATH];
    SHGetFolderPathW(nullptr, CSIDL_PROFILE, nullptr, SHGFP_TYPE_DEFAULT, profile);
    SHGetFolderPathW(nullptr, csidl, nullptr, SHGFP_TYPE_DEFAULT, path);
    return std::wstring(path).substr(wcslen(profile) + 1);
}

// The Store packages of the appx sample, in the stand-in repository's places; one needs a framework
// this machine does not have, so that its registration fails for anyone, as the failure list shows.
struct SamplePackage {
    const wchar_t* folder;
    const wchar_t* name;
    const wchar_t* publisher;
    const wchar_t* framework; // empty: none
};
const wchar_t* const WindowsPublisher =
    L"CN=Microsoft Windows, O=Microsoft Corporation, L=Redmond, S=Washington, C=US";
const wchar_t* const StorePublisher = L"CN=Sample Store Publisher";
const SamplePackage Packages[] = {
    {L"cp", L"windows.immersivecontrolpanel", WindowsPublisher, L""},
    {L"shell", L"Microsoft.Windows.ShellExperienceHost", WindowsPublisher, L""},
    {L"notes", L"Sample.Notes", StorePublisher, L""},
    {L"weather", L"Sample.Weather", StorePublisher, L""},
    {L"paint", L"Sample.Paint", StorePublisher, L"Sample.Runtime"},
};
const wchar_t* const FailingPackage = L"Sample.Paint";

int Create(bool appx) {
    // The demo starts from a fresh prefix every time; a sample left from an earlier run would be
    // summarised as if this run had made it.
    if (DirExists(ProfilesDir() + L"\\Sample")) {
        printf("C:\\users\\Sample exists already: the sample needs a fresh prefix.\n");
        return 1;
    }
    HiveContent hive;
    // Left by the updater when the source user once signed in on Windows 8 or later.
    if (appx) hive[L"Software\\Quillmar\\Appx"][L"LastSid"] = Sz(Sid);
    const std::wstring explorer = L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer";
    hive[explorer + L"\\RunMRU"][L"a"] = Sz(L"notepad\\1");
    hive[explorer + L"\\Shell Folders"][L"Personal"] = Sz(L"C:\\users\\Sample\\Documents");
    hive[L"Software\\Microsoft\\Active Setup\\Installed Components\\{Sample}"][L"Version"] = Sz(L"1,0");
    hive[L"Software\\Microsoft\\IdentityCRL\\Cache"][L"Token"] = Sz(L"secret");
    hive[L"Identities\\{Sample}"][L"Username"] = Sz(L"Sample");
    hive[L"Software\\Microsoft\\Windows NT\\CurrentVersion\\Winlogon"][L"ExcludeProfileDirs"] = Sz(L"");
    hive[L"Software\\Microsoft\\Windows\\CurrentVersion\\RunOnce"][L"Placeholder"] = Sz(L"");
    hive[L"Control Panel\\Desktop"][L"WallpaperStyle"] = Sz(L"10");
    hive[L"Software\\Sample Vendor\\Editor"][L"Theme"] = Sz(L"dark");
    TestProfile p = CreateProfile(L"Sample", Sid, hive);
    for (int csidl :
         {CSIDL_APPDATA, CSIDL_COOKIES, CSIDL_DESKTOPDIRECTORY, CSIDL_FAVORITES, CSIDL_PERSONAL, CSIDL_RECENT,
          CSIDL_SENDTO, CSIDL_STARTMENU, CSIDL_NETHOOD, CSIDL_PRINTHOOD, CSIDL_TEMPLATES})
        MakeDirs(p.path + L"\\" + Relative(csidl));
    MakeDirs(p.path + L"\\Downloads");
    MakeDirs(p.path + L"\\Links");
    WriteFileBytes(p.path + L"\\" + Relative(CSIDL_PERSONAL) + L"\\Welcome.txt",
                   "Welcome to this machine.\r\n");
    WriteFileBytes(p.path + L"\\" + Relative(CSIDL_DESKTOPDIRECTORY) + L"\\Helpdesk.url",
                   "[InternetShortcut]\r\nURL=https://helpdesk.example\r\n");
    WriteFileBytes(p.path + L"\\" + Relative(CSIDL_FAVORITES) + L"\\Intranet.url",
                   "[InternetShortcut]\r\nURL=https://intranet.example\r\n");
    WriteFileBytes(p.path + L"\\" + Relative(CSIDL_RECENT) + L"\\secret-plan.lnk", "recent item");
    MakeDirs(p.path + L"\\" + Relative(CSIDL_APPDATA) + L"\\Sample Vendor\\Editor");
    WriteFileBytes(p.path + L"\\" + Relative(CSIDL_APPDATA) + L"\\Sample Vendor\\Editor\\settings.ini",
                   "[editor]\r\nfont=Consolas\r\n", FILE_ATTRIBUTE_READONLY);
    EnsureDefaultProfile();
    printf("Sample profile C:\\users\\Sample created (owner %ls).\n", Sid);
    return 0;
}

// Windows 10 for the tool and its companions, the sample profile, and its Store packages registered
// for the sample user where the package stand-in finds them.
int AppxCreate() {
    for (const wchar_t* program : {L"corvane.exe", L"kelvo2.exe", L"QuillmarAppxService.exe"})
        WriteKeys(HKEY_CURRENT_USER,
                  {{std::wstring(L"Software\\Wine\\AppDefaults\\") + program, {{L"Version", Sz(L"win10")}}}});
    if (Create(true) != 0) return 1;
    // The updater's own log lines say which way the registration went.
    WriteKeys(HKEY_LOCAL_MACHINE, {{firstlogon::SettingsKey, {{L"DebugLevel", Dword(1)}}}});
    MakeDirs(firstlogon::WindowsApps);
    appx_test::Repository repository(L"demo");
    printf("Store packages registered for Sample (in %ls):\n", firstlogon::WindowsApps);
    for (const SamplePackage& p : Packages) {
        PackageInfo package;
        std::wstring error;
        if (!firstlogon::InstallForUser(repository, p.folder, p.name, p.publisher, Sid, p.framework, &package,
                                        &error)) {
            printf("  %ls cannot be installed: %ls.\n", p.name, error.c_str());
            return 1;
        }
        if (*p.framework)
            printf("  %ls (needs the framework %ls, which this machine does not have)\n", p.name,
                   p.framework);
        else
            printf("  %ls\n", p.name);
    }
    return 0;
}

bool KeyExists(const std::wstring& path) {
    HKEY key;
    if (RegOpenKeyExW(HKEY_USERS, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
    RegCloseKey(key);
    return true;
}

bool ValueExists(const std::wstring& path, const wchar_t* name) {
    HKEY key;
    if (RegOpenKeyExW(HKEY_USERS, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
    bool found = RegQueryValueExW(key, name, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
    RegCloseKey(key);
    return found;
}

// The clean-up checks of the default hive; false when one of them is not done.
bool ShowHiveChecks(const std::wstring& def, bool appx) {
    EnablePrivilegeForTest(L"SeRestorePrivilege");
    if (RegLoadKeyW(HKEY_USERS, L"CorvaneSample", (def + L"\\NTUSER.DAT").c_str()) != ERROR_SUCCESS) {
        printf("The default hive could not be loaded.\n");
        return false;
    }
    const std::wstring root = L"CorvaneSample\\";
    const std::wstring explorer = root + L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer";
    printf("\nIts hive, after the clean-up:\n");
    struct Check {
        const char* what;
        bool done;
    } checks[] = {
        {"RunMRU (recently run commands) removed", !KeyExists(explorer + L"\\RunMRU")},
        {"Active Setup state removed", !KeyExists(root + L"Software\\Microsoft\\Active Setup")},
        {"IdentityCRL (cached sign-in tokens) removed",
         !KeyExists(root + L"Software\\Microsoft\\IdentityCRL")},
        {"Identities removed", !KeyExists(root + L"Identities")},
        {"Shell Folders reset to its notice only", KeyExists(explorer + L"\\Shell Folders")},
        {"the user's own settings kept (Software\\Sample Vendor)",
         KeyExists(root + L"Software\\Sample Vendor\\Editor")},
        {"the updater's LastSid removed (Software\\Quillmar\\Appx)",
         !ValueExists(root + L"Software\\Quillmar\\Appx", L"LastSid")},
    };
    bool ok = true;
    for (const Check& c : checks) {
        if (!appx && strstr(c.what, "LastSid")) continue;
        printf("  [%s] %s\n", c.done ? "ok" : "NOT DONE", c.what);
        ok = ok && c.done;
    }
    RegUnLoadKeyW(HKEY_USERS, L"CorvaneSample");
    return ok;
}

int Summary() {
    std::wstring def = ProfilesDir() + L"\\Default";
    printf("\nThe default profile (%ls) received:\n", def.c_str());
    for (const auto& e : Snapshot(def))
        if (e.second != "D") printf("  %ls\n", e.first.c_str());
    return ShowHiveChecks(def, false) ? 0 : 1;
}

// "a.b.c.d" from the file's version block, or empty when it has none.
std::wstring FileVersion(const std::wstring& path) {
    DWORD ignored = 0;
    DWORD size = GetFileVersionInfoSizeW(path.c_str(), &ignored);
    if (!size) return L"";
    std::vector<BYTE> block(size);
    VS_FIXEDFILEINFO* info = nullptr;
    UINT length = 0;
    if (!GetFileVersionInfoW(path.c_str(), 0, size, block.data()) ||
        !VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&info), &length) || !info)
        return L"";
    return std::to_wstring(HIWORD(info->dwFileVersionMS)) + L"." +
           std::to_wstring(LOWORD(info->dwFileVersionMS)) + L"." +
           std::to_wstring(HIWORD(info->dwFileVersionLS)) + L"." +
           std::to_wstring(LOWORD(info->dwFileVersionLS));
}

bool ShowCompanion(const std::wstring& path) {
    if (!FileExists(path)) {
        printf("  %ls: NOT WRITTEN\n", path.c_str());
        return false;
    }
    std::wstring version = FileVersion(path);
    if (version.empty())
        printf("  %ls  (no version block)\n", path.c_str());
    else
        printf("  %ls  (version %ls)\n", path.c_str(), version.c_str());
    return true;
}

// The service's configured program, without the quotes the tool puts around it; empty without one.
std::wstring ServiceProgram(DWORD* state) {
    *state = 0;
    std::wstring program;
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE service =
        manager ? OpenServiceW(manager, firstlogon::ServiceName, SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS)
                : nullptr;
    if (service) {
        DWORD needed = 0;
        QueryServiceConfigW(service, nullptr, 0, &needed);
        std::vector<BYTE> buffer(needed ? needed : 1);
        auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
        if (needed && QueryServiceConfigW(service, config, needed, &needed) && config->lpBinaryPathName) {
            program = config->lpBinaryPathName;
            if (program.size() >= 2 && program.front() == L'"' && program.back() == L'"')
                program = program.substr(1, program.size() - 2);
        }
        SERVICE_STATUS status = {};
        if (QueryServiceStatus(service, &status)) *state = status.dwCurrentState;
        CloseServiceHandle(service);
    }
    if (manager) CloseServiceHandle(manager);
    return program;
}

// What the update left for new users: the companions, the service and its answer, the package
// list in the default profile, the Active Setup entry, then the hive checks.
int AppxSummary() {
    bool ok = true;
    wchar_t windows[MAX_PATH] = L"";
    GetWindowsDirectoryW(windows, MAX_PATH);
    DWORD state = 0;
    std::wstring program = ServiceProgram(&state);
    printf("\nCompanions written by the tool:\n");
    ok = ShowCompanion(std::wstring(windows) + L"\\kelvo2.exe") && ok;
    ok = ShowCompanion(std::wstring(windows) + L"\\kelvohlp.dll") && ok;
    if (program.empty()) {
        printf("  the service program: NOT INSTALLED\n");
        ok = false;
    } else {
        ok = ShowCompanion(program) && ok;
    }

    printf("\nThe Quillmar AppX Management Service:\n");
    printf("  installed: %s, state: %s\n", program.empty() ? "no" : "yes",
           state == SERVICE_RUNNING ? "running"
           : state                  ? "not running"
                                    : "none");
    updater::ServiceClient client;
    DWORD why = 0;
    std::wstring version;
    if (client.Connect(updater::Environment().pipeName, firstlogon::ServiceName, 5000, &why)) {
        try {
            client.Send(L"-version");
            version = client.Receive();
            client.Receive(); // "Start", which ends the service's answer
        } catch (const updater::PipeError& e) {
            why = e.code();
        }
    }
    if (version.empty()) {
        printf("  its pipe does NOT ANSWER (error %lu)\n", why);
        ok = false;
    } else {
        printf("  answers on its pipe: version %ls\n", version.c_str());
    }

    std::wstring def = ProfilesDir() + L"\\Default";
    std::wstring listFile = def + firstlogon::QuillmarLocal + L"\\Migrate-AppxPackage";
    std::vector<PackageInfo> list;
    if (!appxcore::TryReadPackageList(listFile, &list)) {
        printf("\nThe default profile has NO package list (%ls).\n", listFile.c_str());
        ok = false;
    } else {
        printf("\nThe package list in the default profile (%ls):\n", listFile.substr(def.size() + 1).c_str());
        for (const PackageInfo& p : list)
            printf("  %ls %ls\n", p.name.c_str(), p.version.c_str());
        ok = ok && list.size() == sizeof Packages / sizeof Packages[0];
    }

    wchar_t stub[MAX_PATH] = L"";
    DWORD size = sizeof stub - sizeof(wchar_t);
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, firstlogon::SetupKey, 0, KEY_READ | KEY_WOW64_64KEY, &key) ==
        ERROR_SUCCESS) {
        RegQueryValueExW(key, L"StubPath", nullptr, nullptr, reinterpret_cast<BYTE*>(stub), &size);
        RegCloseKey(key);
    }
    printf("\nActive Setup entry Quillmar-Migrate-AppxPackage: %ls%ls%ls\n", *stub ? L"runs \"" : L"",
           *stub ? stub : L"MISSING", *stub ? L"\" once for every new user" : L"");
    ok = ok && *stub;

    return ShowHiveChecks(def, true) && ok ? 0 : 1;
}

// Why a package's registration failed, from the line the package module logged for it.
std::wstring FailureReason(const std::string& log, const PackageInfo& package) {
    std::string fullName = Narrow(package.fullName);
    size_t at = 0;
    std::string reason;
    while ((at = log.find(fullName, at)) != std::string::npos) {
        size_t begin = log.rfind('\n', at);
        begin = begin == std::string::npos ? 0 : begin + 1;
        size_t end = log.find_first_of("\r\n", at);
        std::string line = log.substr(begin, end == std::string::npos ? std::string::npos : end - begin);
        size_t failed = line.find("failed: ");
        if (failed != std::string::npos) reason = line.substr(failed + 8);
        at = end == std::string::npos ? log.size() : end;
    }
    return reason.empty() ? L"(the log names no reason)" : appx_test::Widen(reason);
}

// A new user's first logon, as the first-logon test makes it: the Wine user is given the default
// profile, then the Active Setup entry's command runs. With a marker folder, a file "ready" appears
// there while the updater's window shows its progress, for a screenshot.
int FirstLogon(const wchar_t* markers) {
    std::wstring newSid = appx_test::CurrentSid();
    wchar_t path[MAX_PATH] = L"";
    SHGetFolderPathW(nullptr, CSIDL_PROFILE, nullptr, SHGFP_TYPE_CURRENT, path);
    std::wstring newProfile = path;
    std::wstring def = ProfilesDir() + L"\\Default";
    std::wstring local = newProfile + firstlogon::QuillmarLocal;
    // A user who signed in before would show that earlier logon's registrations as this one's.
    std::wstring lastSid;
    if (updater::ReadLastSid(&lastSid) || FileExists(local + L"\\Migrate-AppxPackage-Fail")) {
        printf("The new user has signed in before: the sample needs a fresh prefix.\n");
        return 1;
    }
    std::vector<std::wstring> written;
    DWORD code = firstlogon::MakeNewUserFromDefault(def, newSid, newProfile, &written);
    if (code != 0) {
        printf("The new user's profile could not be made from the default profile (error %lu).\n", code);
        return 1;
    }
    std::vector<PackageInfo> list;
    appxcore::TryReadPackageList(local + L"\\Migrate-AppxPackage", &list);
    printf(
        "A new user (%ls) signs in for the first time; the default profile became %ls, with %u packages in "
        "its list.\n",
        newSid.c_str(), newProfile.c_str(), static_cast<unsigned>(list.size()));

    std::vector<std::wstring> shown;
    bool ready = false;
    auto watch = [&] {
        HWND window = FindWindowW(nullptr, L"Personalized Settings");
        HWND label = window ? FindWindowExW(window, nullptr, L"STATIC", nullptr) : nullptr;
        wchar_t text[128] = L"";
        if (label) GetWindowTextW(label, text, 128);
        if (!*text || (!shown.empty() && shown.back() == text)) return;
        shown.push_back(text);
        if (markers && !ready && wcsncmp(text, L"Updating Store App", 18) == 0) {
            MakeDirs(markers);
            WriteFileBytes(std::wstring(markers) + L"\\ready", "ready");
            ready = true;
        }
    };
    std::wstring stub;
    code = firstlogon::RunActiveSetup(newProfile, L"", &stub, watch);
    if (code == 0xFFFFFFFF) {
        printf("There is no Active Setup entry Quillmar-Migrate-AppxPackage: Windows runs nothing for the "
               "new user.\n");
        return 1;
    }
    printf("Windows runs the Active Setup command \"%ls\" for the new user: exit code %lu.\n", stub.c_str(),
           code);
    if (shown.empty()) {
        printf("  (no window seen%s)\n", markers ? "" : ": there is no display");
    } else {
        // The first texts and the last one; the counts between them are alike.
        printf("  its window showed:");
        for (size_t i = 0; i < shown.size(); ++i) {
            if (i < 2 || i + 1 == shown.size())
                printf(" \"%ls\"", shown[i].c_str());
            else if (i == 2)
                printf(" ...");
        }
        printf("\n");
    }

    std::string log = FileExists(local + L"\\Migrate-AppxPackage.log")
                          ? ReadFileBytes(local + L"\\Migrate-AppxPackage.log")
                          : "";
    if (log.find("Asking the AppX Management Service") != std::string::npos)
        printf("  registration by the AppX Management Service (kelvo2.exe asked it over its pipe)\n");
    else if (log.find("registering in this process") != std::string::npos)
        printf("  registration by kelvo2.exe itself (the service did not answer)\n");

    std::vector<std::wstring> registered = appx_test::RegisteredInAllUserStore(newSid, list);
    printf("\nRegistered for the new user:\n");
    for (const std::wstring& name : registered)
        printf("  %ls\n", name.c_str());
    std::vector<PackageInfo> failed;
    appxcore::TryReadPackageList(local + L"\\Migrate-AppxPackage-Fail", &failed);
    printf("\nNot registered (the failure list, Migrate-AppxPackage-Fail):\n");
    if (failed.empty()) printf("  none\n");
    for (const PackageInfo& p : failed)
        printf("  %ls: %ls\n", p.name.c_str(), FailureReason(log, p).c_str());

    // The sample's one package made to fail, and every other one registered.
    bool ok = code == 0 && list.size() == sizeof Packages / sizeof Packages[0] &&
              registered.size() == list.size() - 1 && failed.size() == 1 && failed[0].name == FailingPackage;
    if (markers && !ready) ok = false;
    return ok ? 0 : 1;
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    const std::wstring command = argc > 1 ? argv[1] : L"";
    if (command == L"create") return Create(false);
    if (command == L"summary") return Summary();
    if (command == L"appx-create") return AppxCreate();
    if (command == L"appx-summary") return AppxSummary();
    if (command == L"firstlogon") return FirstLogon(argc > 2 ? argv[2] : nullptr);
    printf("usage: sample create | summary | appx-create | appx-summary | firstlogon [marker folder]\n");
    return 87;
}
