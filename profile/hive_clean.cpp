#include "profile/hive_clean.h"

#include "driver/common.h"
#include "base/raii.h"
#include "profile/printers.h"
#include "profile/wallpaper.h"

#include <shlwapi.h>

VersionClasses ClassifyVersion(const OsVersion& version) {
    VersionClasses c;
    c.preVista = version.major < 6;
    c.windows2000 = version.major == 5 && version.minor == 0;
    c.windows8OrLater = IsWin8OrLaterVersion(version);
    c.windows10OrLater = IsWin10OrLaterVersion(version);
    return c;
}

// Opens "<template with the mount name>" under HKEY_USERS for all access; never creates it.
static UniqueKey OpenHiveKey(const wchar_t* keyTemplate, const wchar_t* mountName) {
    wchar_t path[MAX_PATH];
    UniqueKey key;
    if (FormatBounded(path, MAX_PATH, keyTemplate, mountName) != S_OK)
        return key; // a cut path names another key
    RegOpenKeyExW(HKEY_USERS, path, 0, KEY_ALL_ACCESS | HiveView, key.put());
    return key;
}

static void SetString(HKEY key, const wchar_t* name, const wchar_t* text) {
    RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text),
                   static_cast<DWORD>((wcslen(text) + 1) * sizeof(wchar_t)));
}

void CleanDefaultHive(const wchar_t* mountName, const wchar_t* userName, const VersionClasses& classes) {
    // RunMRU, Shell Folders and its recreated warning value share one opening of the Explorer key.
    if (UniqueKey explorer =
            OpenHiveKey(L"%ws\\Software\\Microsoft\\Windows\\CurrentVersion\\Explorer", mountName)) {
        SHDeleteKeyW(explorer.get(), L"RunMRU");
        SHDeleteKeyW(explorer.get(), L"Shell Folders");
        UniqueKey shellFolders;
        if (RegCreateKeyExW(explorer.get(), L"Shell Folders", 0, nullptr /* no class */,
                            REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS | HiveView, nullptr, shellFolders.put(),
                            nullptr) == ERROR_SUCCESS)
            SetString(shellFolders.get(), L"!Do not use this registry key",
                      L"Use the SHGetFolderPath or SHGetKnownFolderPath function instead");
    }

    if (classes.preVista) {
        ResetLegacyWallpaper(mountName, userName, classes.windows2000);
        return;
    }

    RelocateWallpaper(mountName, userName);
    // Each key goes from its own parent, opened in the native view: a deletion relative to the
    // Software key itself would be redirected again under Wine (see HiveView).
    struct Doomed {
        const wchar_t* parent;
        const wchar_t* name;
    };
    const Doomed doomed[] = {
        {L"%ws\\Software\\Microsoft", L"Active Setup"},
        {L"%ws\\Software\\Wow6432Node\\Microsoft", L"Active Setup"},
        {L"%ws\\Software\\Microsoft", L"IAM"},
        {L"%ws\\Software\\Microsoft", L"IdentityCRL"},
        {L"%ws\\Software\\Microsoft", L"Windows Mail"},
    };
    for (const Doomed& d : doomed)
        if (UniqueKey parent = OpenHiveKey(d.parent, mountName)) SHDeleteKeyW(parent.get(), d.name);
    if (UniqueKey root = OpenHiveKey(L"%ws", mountName)) SHDeleteKeyW(root.get(), L"Identities");
    if (UniqueKey winlogon =
            OpenHiveKey(L"%ws\\Software\\Microsoft\\Windows NT\\CurrentVersion\\Winlogon", mountName)) {
        DWORD one = 1;
        RegSetValueExW(winlogon.get(), L"FirstLogon", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&one),
                       sizeof one);
    }
    if (UniqueKey runOnce =
            OpenHiveKey(L"%ws\\Software\\Microsoft\\Windows\\CurrentVersion\\RunOnce", mountName))
        SetString(runOnce.get(), L"mctadmin", L"C:\\Windows\\System32\\mctadmin.exe");
    ResetPrinterConnections(mountName);
    if (classes.windows8OrLater) {
        if (UniqueKey appx = OpenHiveKey(L"%ws\\Software\\Quillmar\\Appx", mountName))
            RegDeleteValueW(appx.get(), L"LastSid");
    }
}
