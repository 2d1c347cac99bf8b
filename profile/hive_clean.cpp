#include "profile/hive_clean.h"

#include "driver/common.h"
#include "base/raii.h"
#include "base/registry.h"
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

static void SetString(HKEY key, const wchar_t* name, const wchar_t* text) {
    RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text),
                   static_cast<DWORD>((wcslen(text) + 1) * sizeof(wchar_t)));
}

void CleanDefaultHive(const wchar_t* mountName, const wchar_t* userName, const VersionClasses& classes) {
    // RunMRU, Shell Folders and its recreated warning value share one opening of the Explorer key.
    if (UniqueKey explorer = OpenMountedKey(L"%ws\\Software\\Microsoft\\Windows\\CurrentVersion\\Explorer",
                                            mountName, KEY_ALL_ACCESS)) {
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
        if (UniqueKey parent = OpenMountedKey(d.parent, mountName, KEY_ALL_ACCESS))
            SHDeleteKeyW(parent.get(), d.name);
    if (UniqueKey root = OpenMountedKey(L"%ws", mountName, KEY_ALL_ACCESS))
        SHDeleteKeyW(root.get(), L"Identities");
    if (UniqueKey winlogon = OpenMountedKey(L"%ws\\Software\\Microsoft\\Windows NT\\CurrentVersion\\Winlogon",
                                            mountName, KEY_ALL_ACCESS)) {
        DWORD one = 1;
        RegSetValueExW(winlogon.get(), L"FirstLogon", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&one),
                       sizeof one);
    }
    if (UniqueKey runOnce = OpenMountedKey(L"%ws\\Software\\Microsoft\\Windows\\CurrentVersion\\RunOnce",
                                           mountName, KEY_ALL_ACCESS))
        SetString(runOnce.get(), L"mctadmin", L"C:\\Windows\\System32\\mctadmin.exe");
    ResetPrinterConnections(mountName);
    if (classes.windows8OrLater) {
        if (UniqueKey appx = OpenMountedKey(L"%ws\\Software\\Quillmar\\Appx", mountName, KEY_ALL_ACCESS))
            RegDeleteValueW(appx.get(), L"LastSid");
    }
}
