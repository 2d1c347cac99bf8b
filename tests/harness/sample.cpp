// Makes the README's sample profile inside a Wine prefix and summarises what an update did to the
// default profile.   sample create | sample summary
#include "harness/testlib.h"

#include <shlobj.h>
#include <stdio.h>

using namespace corvane_test;

namespace {

const wchar_t* const Sid = L"S-1-5-21-1004336348-1177238915-682003330-1001";

std::wstring Relative(int csidl) {
    wchar_t profile[MAX_PATH], path[MAX_PATH];
    SHGetFolderPathW(nullptr, CSIDL_PROFILE, nullptr, SHGFP_TYPE_DEFAULT, profile);
    SHGetFolderPathW(nullptr, csidl, nullptr, SHGFP_TYPE_DEFAULT, path);
    return std::wstring(path).substr(wcslen(profile) + 1);
}

int Create() {
    HiveContent hive;
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
    for (int csidl : {CSIDL_APPDATA, CSIDL_COOKIES, CSIDL_DESKTOPDIRECTORY, CSIDL_FAVORITES, CSIDL_PERSONAL,
                      CSIDL_RECENT, CSIDL_SENDTO, CSIDL_STARTMENU, CSIDL_NETHOOD, CSIDL_PRINTHOOD, CSIDL_TEMPLATES})
        MakeDirs(p.path + L"\\" + Relative(csidl));
    MakeDirs(p.path + L"\\Downloads");
    MakeDirs(p.path + L"\\Links");
    WriteFileBytes(p.path + L"\\" + Relative(CSIDL_PERSONAL) + L"\\Welcome.txt", "Welcome to this machine.\r\n");
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

bool KeyExists(const std::wstring& path) {
    HKEY key;
    if (RegOpenKeyExW(HKEY_USERS, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
    RegCloseKey(key);
    return true;
}

int Summary() {
    std::wstring def = ProfilesDir() + L"\\Default";
    printf("\nThe default profile (%ls) received:\n", def.c_str());
    for (const auto& e : Snapshot(def))
        if (e.second != "D") printf("  %ls\n", e.first.c_str());
    EnablePrivilegeForTest(L"SeRestorePrivilege");
    if (RegLoadKeyW(HKEY_USERS, L"CorvaneSample", (def + L"\\NTUSER.DAT").c_str()) != ERROR_SUCCESS) {
        printf("The default hive could not be loaded.\n");
        return 1;
    }
    const std::wstring root = L"CorvaneSample\\";
    const std::wstring explorer = root + L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer";
    printf("\nIts hive, after the clean-up:\n");
    struct Check {
        const char* what;
        bool gone;
    } checks[] = {
        {"RunMRU (recently run commands) removed", !KeyExists(explorer + L"\\RunMRU")},
        {"Active Setup state removed", !KeyExists(root + L"Software\\Microsoft\\Active Setup")},
        {"IdentityCRL (cached sign-in tokens) removed", !KeyExists(root + L"Software\\Microsoft\\IdentityCRL")},
        {"Identities removed", !KeyExists(root + L"Identities")},
        {"Shell Folders reset to its notice only", KeyExists(explorer + L"\\Shell Folders")},
        {"the user's own settings kept (Software\\Sample Vendor)", KeyExists(root + L"Software\\Sample Vendor\\Editor")},
    };
    for (const Check& c : checks) printf("  [%s] %s\n", c.gone ? "ok" : "NOT DONE", c.what);
    RegUnLoadKeyW(HKEY_USERS, L"CorvaneSample");
    return 0;
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc > 1 && wcscmp(argv[1], L"create") == 0) return Create();
    if (argc > 1 && wcscmp(argv[1], L"summary") == 0) return Summary();
    printf("usage: sample create | sample summary\n");
    return 87;
}
