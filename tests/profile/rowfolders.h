// The profile sub-folders the update copies, as the running account places them.
#pragma once

#include "harness/testlib.h"

#include <shlobj.h>

#include <string>
#include <vector>

namespace corvane_test {

// The fifteen profile sub-folders, relative to a profile, as the running account places them.
inline std::vector<std::wstring> RowFolders() {
    wchar_t profile[MAX_PATH];
    SHGetFolderPathW(nullptr, CSIDL_PROFILE, nullptr, SHGFP_TYPE_DEFAULT, profile);
    size_t skip = wcslen(profile) + 1;
    std::vector<std::wstring> rows;
    auto add = [&](const wchar_t* path, const wchar_t* suffix) {
        rows.push_back(std::wstring(path).substr(skip) + suffix);
    };
    for (int csidl : {CSIDL_APPDATA, CSIDL_COOKIES, CSIDL_DESKTOPDIRECTORY, CSIDL_FAVORITES, CSIDL_PERSONAL,
                      CSIDL_RECENT, CSIDL_SENDTO, CSIDL_STARTMENU}) {
        wchar_t path[MAX_PATH];
        SHGetFolderPathW(nullptr, csidl, nullptr, SHGFP_TYPE_DEFAULT, path);
        add(path, L"");
    }
    for (REFKNOWNFOLDERID id : {FOLDERID_Downloads, FOLDERID_Links}) {
        PWSTR path = nullptr;
        SHGetKnownFolderPath(id, 0, nullptr, &path);
        add(path, L"");
        CoTaskMemFree(path);
    }
    for (int csidl : {CSIDL_NETHOOD, CSIDL_PRINTHOOD, CSIDL_TEMPLATES}) {
        wchar_t path[MAX_PATH];
        SHGetFolderPathW(nullptr, csidl, nullptr, SHGFP_TYPE_DEFAULT, path);
        add(path, L"");
    }
    wchar_t local[MAX_PATH];
    SHGetFolderPathW(nullptr, CSIDL_LOCAL_APPDATA, nullptr, SHGFP_TYPE_DEFAULT, local);
    add(local, L"\\Microsoft\\Windows Sidebar");
    add(local, L"\\Microsoft\\Windows\\Themes");
    return rows;
}

} // namespace corvane_test
