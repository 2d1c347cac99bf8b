// The fifteen folders the default profile receives, relative to a profile folder, learnt the way
// the tool learns them: the running account's default folder locations with its profile folder cut
// off. The benchmark programs copy exactly these, in this order, so every copier does the same work.
#pragma once

#include <windows.h>
#include <shlobj.h>
#include <knownfolders.h>

#include <string>
#include <vector>

namespace bench {

inline std::wstring Below(const wchar_t* folder, const wchar_t* profile) {
    size_t length = wcslen(profile);
    if (wcslen(folder) <= length + 1 || _wcsnicmp(folder, profile, length) != 0 || folder[length] != L'\\')
        return std::wstring();
    return std::wstring(folder + length + 1);
}

// Fifteen entries; an entry is empty when its folder does not lie below the profile folder.
inline std::vector<std::wstring> RowFolders() {
    std::vector<std::wstring> rows;
    wchar_t profile[MAX_PATH] = {};
    if (FAILED(SHGetFolderPathW(nullptr, CSIDL_PROFILE, nullptr, SHGFP_TYPE_DEFAULT, profile))) return rows;
    auto byCsidl = [&](int csidl, const wchar_t* suffix) {
        wchar_t path[MAX_PATH] = {};
        std::wstring relative;
        if (SUCCEEDED(SHGetFolderPathW(nullptr, csidl, nullptr, SHGFP_TYPE_DEFAULT, path)))
            relative = Below(path, profile);
        if (!relative.empty()) relative += suffix;
        rows.push_back(relative);
    };
    auto byId = [&](REFKNOWNFOLDERID id) {
        PWSTR path = nullptr;
        std::wstring relative;
        if (SUCCEEDED(SHGetKnownFolderPath(id, 0, nullptr, &path)) && path) relative = Below(path, profile);
        if (path) CoTaskMemFree(path);
        rows.push_back(relative);
    };
    for (int csidl : {CSIDL_APPDATA, CSIDL_COOKIES, CSIDL_DESKTOPDIRECTORY, CSIDL_FAVORITES, CSIDL_PERSONAL,
                      CSIDL_RECENT, CSIDL_SENDTO, CSIDL_STARTMENU})
        byCsidl(csidl, L"");
    byId(FOLDERID_Downloads);
    byId(FOLDERID_Links);
    for (int csidl : {CSIDL_NETHOOD, CSIDL_PRINTHOOD, CSIDL_TEMPLATES})
        byCsidl(csidl, L"");
    byCsidl(CSIDL_LOCAL_APPDATA, L"\\Microsoft\\Windows Sidebar");
    byCsidl(CSIDL_LOCAL_APPDATA, L"\\Microsoft\\Windows\\Themes");
    return rows;
}

// Row indexes (zero-based) the generator fills.
enum Row {
    RowRoaming = 0,
    RowCookies = 1,
    RowDesktop = 2,
    RowFavorites = 3,
    RowDocuments = 4,
    RowRecent = 5,
    RowSendTo = 6,
    RowStartMenu = 7,
    RowDownloads = 8,
    RowLinks = 9,
    RowNetHood = 10,
    RowPrintHood = 11,
    RowTemplates = 12,
    RowSidebar = 13,
    RowThemes = 14,
};

} // namespace bench
