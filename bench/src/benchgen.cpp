// Makes a synthetic local profile for the benchmark inside the Wine prefix, deterministically from a
// seed: a hive of a few thousand keys and values, and a folder tree shaped like a real profile
// (roaming application data with deep trees of small files, documents and downloads with fewer large
// ones, link and shortcut folders, long names, read-only and hidden files), plus a local application
// data tree the update does not copy. Also registers the profile and the Default profile.
//
//   benchgen profile <name> <sid> <files> <megabytes> <seed>
//       files: files in the fifteen copied folders; megabytes: their total size (0: natural sizes).
//   benchgen default
//       C:\users\Default and ProfileList's "Default" value.
#include "rows.h"

#include <shlwapi.h>
#include <userenv.h>

#include <math.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include <string>
#include <vector>

namespace {

const wchar_t* const ProfileListKey = L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList";
// Source paths stay well below MAX_PATH so every copier can take every file.
const size_t PathLimit = 230;

struct Random {
    uint64_t state;
    uint64_t Next() { // splitmix64
        uint64_t z = (state += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    size_t Below(size_t n) { return n ? static_cast<size_t>(Next() % n) : 0; }
    double Unit() { return (Next() >> 11) * (1.0 / 9007199254740992.0); }
    bool Chance(double p) { return Unit() < p; }
    uint64_t LogUniform(double low, double high) {
        return static_cast<uint64_t>(low * pow(high / low, Unit()));
    }
};

enum Kind { Small, Shortcut, Favorite, Large, Huge };

struct Area {
    int row;        // the copied row it fills; -1 for the local application data that is not copied
    double share;   // of the copied files
    size_t minimum; // files at least
    Kind kind;
    size_t filesPerFolder; // how many folders the files spread over
    size_t maxDepth;       // folder levels below the area's root
    const wchar_t* const* extensions;
};

const wchar_t* const SmallExt[] = {L".json", L".xml", L".dat",    L".ini",   L".log", L".db", L".js",
                                   L".css",  L".png", L".sqlite", L".cache", L".txt", nullptr};
const wchar_t* const LinkExt[] = {L".lnk", nullptr};
const wchar_t* const UrlExt[] = {L".url", nullptr};
const wchar_t* const DocExt[] = {L".docx", L".xlsx", L".pdf", L".pptx", L".txt", L".jpg", L".vsdx", nullptr};
const wchar_t* const DownloadExt[] = {L".zip", L".msi", L".exe", L".pdf", L".iso", nullptr};
const wchar_t* const CookieExt[] = {L".txt", nullptr};
const wchar_t* const ThemeExt[] = {L".jpg", L".theme", nullptr};

const Area Areas[] = {
    {bench::RowRoaming, 0.0, 1, Small, 6, 8, SmallExt}, // takes what the others leave
    {bench::RowCookies, 0.02, 1, Small, 40, 1, CookieExt},
    {bench::RowDesktop, 0.03, 2, Large, 20, 2, DocExt},
    {bench::RowFavorites, 0.03, 2, Favorite, 10, 3, UrlExt},
    {bench::RowDocuments, 0.12, 4, Large, 8, 5, DocExt},
    {bench::RowRecent, 0.04, 2, Shortcut, 200, 1, LinkExt},
    {bench::RowSendTo, 0.002, 1, Shortcut, 50, 0, LinkExt},
    {bench::RowStartMenu, 0.03, 2, Shortcut, 5, 3, LinkExt},
    {bench::RowDownloads, 0.03, 2, Huge, 50, 1, DownloadExt},
    {bench::RowLinks, 0.005, 1, Favorite, 50, 0, UrlExt},
    {bench::RowNetHood, 0.002, 1, Shortcut, 50, 0, LinkExt},
    {bench::RowPrintHood, 0.002, 1, Shortcut, 50, 0, LinkExt},
    {bench::RowTemplates, 0.005, 1, Large, 50, 1, DocExt},
    {bench::RowSidebar, 0.005, 1, Small, 10, 2, SmallExt},
    {bench::RowThemes, 0.005, 1, Large, 10, 1, ThemeExt},
};
const Area LocalArea = {-1, 0.25, 1, Small, 6, 9, SmallExt};

const wchar_t* const Vendors[] = {L"Microsoft",
                                  L"Mozilla",
                                  L"Google",
                                  L"Adobe",
                                  L"Contoso Software Corporation",
                                  L"Fabrikam Engineering Tools and Utilities",
                                  L"Northwind Traders",
                                  L"JetBrains",
                                  L"Zoom",
                                  L"Slack",
                                  L"Code",
                                  L"Litware Inc"};
const wchar_t* const Words[] = {
    L"Profiles",       L"Cache",         L"Extensions",    L"Settings",  L"Data",     L"Storage",
    L"User Data",      L"Logs",          L"Plugins",       L"Themes",    L"Backups",  L"Sessions",
    L"IndexedDB",      L"Local Storage", L"Crash Reports", L"Resources", L"Projects", L"Quarterly Reports",
    L"Invoices",       L"Meeting Notes", L"Archive",       L"Photos",    L"Spelling", L"Dictionaries",
    L"Service Worker", L"blob_storage",  L"GPUCache"};

struct Plan {
    std::vector<std::wstring> folders; // relative to the profile, parents first
    struct File {
        std::wstring path; // relative to the profile
        uint64_t size;
        DWORD attributes;
        bool large;
    };
    std::vector<File> files;
};

std::wstring Hex(Random& random, size_t digits) {
    static const wchar_t Digits[] = L"0123456789abcdef";
    std::wstring text;
    for (size_t i = 0; i < digits; ++i)
        text += Digits[random.Below(16)];
    return text;
}

std::wstring FolderName(Random& random, size_t serial, bool top) {
    if (top)
        return std::wstring(Vendors[random.Below(sizeof Vendors / sizeof *Vendors)]) + L" " +
               std::to_wstring(serial);
    if (random.Chance(0.3)) return Hex(random, 8) + L"." + std::to_wstring(serial);
    return std::wstring(Words[random.Below(sizeof Words / sizeof *Words)]) + L" " + std::to_wstring(serial);
}

std::wstring FileName(Random& random, size_t serial, const wchar_t* extension, size_t room) {
    std::wstring name;
    if (random.Chance(0.05)) { // long, document-style names
        while (name.size() < 70 + random.Below(40))
            name += std::wstring(Words[random.Below(sizeof Words / sizeof *Words)]) + L" - ";
        name += std::to_wstring(serial) + extension;
        if (name.size() <= room) return name;
    }
    name = random.Chance(0.4) ? Hex(random, 12)
                              : std::wstring(Words[random.Below(sizeof Words / sizeof *Words)]);
    return name + L"_" + std::to_wstring(serial) + extension;
}

uint64_t SizeOf(Random& random, Kind kind) {
    switch (kind) {
    case Small:
        return random.LogUniform(64, 12288);
    case Shortcut:
        return random.LogUniform(400, 2500);
    case Favorite:
        return random.LogUniform(100, 300);
    case Large:
        return random.LogUniform(16384, 4 << 20);
    case Huge:
        return random.LogUniform(256 << 10, 32 << 20);
    }
    return 0;
}

void PlanArea(Plan& plan, Random& random, const Area& area, const std::wstring& root, size_t files,
              size_t profileLength) {
    struct Folder {
        std::wstring path;
        size_t depth;
    };
    std::vector<Folder> folders = {{root, 0}};
    plan.folders.push_back(root);
    size_t wanted = files / (area.filesPerFolder ? area.filesPerFolder : 1);
    for (size_t i = 1; i < wanted && area.maxDepth > 0; ++i) {
        const Folder& parent = folders[random.Below(folders.size())];
        std::wstring name = FolderName(random, i, area.row == bench::RowRoaming && parent.depth == 0);
        Folder child{parent.path + L"\\" + name, parent.depth + 1};
        if (child.depth > area.maxDepth || profileLength + child.path.size() > PathLimit - 40) continue;
        folders.push_back(child);
        plan.folders.push_back(child.path);
    }
    size_t extensions = 0;
    while (area.extensions[extensions])
        ++extensions;
    for (size_t i = 0; i < files; ++i) {
        const Folder& folder = folders[random.Below(folders.size())];
        size_t room = PathLimit - profileLength - folder.path.size() - 1;
        Plan::File file;
        file.path =
            folder.path + L"\\" + FileName(random, i, area.extensions[random.Below(extensions)], room);
        file.size = SizeOf(random, area.kind);
        file.large = area.kind == Large || area.kind == Huge;
        file.attributes = 0;
        double pick = random.Unit();
        if (pick < 0.03)
            file.attributes = FILE_ATTRIBUTE_READONLY;
        else if (pick < 0.05)
            file.attributes = FILE_ATTRIBUTE_HIDDEN;
        plan.files.push_back(file);
    }
    // Folders customised by the shell carry a hidden system desktop.ini.
    if (area.row == bench::RowDocuments || area.row == bench::RowDesktop || area.row == bench::RowFavorites ||
        area.row == bench::RowStartMenu || area.row == bench::RowLinks)
        plan.files.push_back(
            {root + L"\\desktop.ini", 402, FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM, false});
}

bool WriteSized(const std::wstring& path, uint64_t size, const std::vector<char>& pattern, size_t offset) {
    HANDLE file =
        CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    bool ok = true;
    while (size > 0 && ok) {
        DWORD chunk = static_cast<DWORD>(size < pattern.size() - offset ? size : pattern.size() - offset);
        DWORD written = 0;
        ok = WriteFile(file, pattern.data() + offset, chunk, &written, nullptr) && written == chunk;
        size -= chunk;
        offset = 0;
    }
    CloseHandle(file);
    return ok;
}

bool EnablePrivilege(const wchar_t* name) {
    HANDLE token;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token)) return false;
    TOKEN_PRIVILEGES privileges = {};
    privileges.PrivilegeCount = 1;
    privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    bool ok = LookupPrivilegeValueW(nullptr, name, &privileges.Privileges[0].Luid) &&
              AdjustTokenPrivileges(token, FALSE, &privileges, 0, nullptr, nullptr) &&
              GetLastError() == ERROR_SUCCESS;
    CloseHandle(token);
    return ok;
}

void SetString(HKEY key, const wchar_t* name, DWORD type, const std::wstring& text) {
    RegSetValueExW(key, name, 0, type, reinterpret_cast<const BYTE*>(text.c_str()),
                   static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
}

// A hive of `keys` application keys with four values each, plus the user-specific keys the update
// cleans out, saved with RegSaveKeyW (Wine writes its own text format). Returns the values written.
size_t WriteHive(const std::wstring& file, Random& random, size_t keys, const std::wstring& name) {
    const wchar_t* staging = L"Software\\CorvaneBenchStaging";
    SHDeleteKeyW(HKEY_CURRENT_USER, staging);
    HKEY root;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, staging, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &root, nullptr) !=
        0)
        return 0;
    size_t values = 0;
    for (size_t k = 0; k < keys; ++k) {
        std::wstring path = L"Software\\" + std::wstring(Vendors[k % 12]) + L"\\Product " +
                            std::to_wstring(k / 12 % 20) + L"\\Section " + std::to_wstring(k);
        HKEY key;
        if (RegCreateKeyExW(root, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr) != 0)
            continue;
        SetString(key, L"Name", REG_SZ, Hex(random, 16));
        SetString(key, L"Path", REG_EXPAND_SZ, L"%USERPROFILE%\\AppData\\Roaming\\" + Hex(random, 8));
        DWORD count = static_cast<DWORD>(random.Next());
        RegSetValueExW(key, L"Count", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&count), sizeof count);
        BYTE blob[256];
        DWORD blobSize = static_cast<DWORD>(32 + random.Below(224));
        for (DWORD i = 0; i < blobSize; ++i)
            blob[i] = static_cast<BYTE>(random.Next());
        RegSetValueExW(key, L"State", 0, REG_BINARY, blob, blobSize);
        values += 4;
        RegCloseKey(key);
    }
    struct Fixed {
        const wchar_t* key;
        const wchar_t* value;
        std::wstring data;
    } fixed[] = {
        {L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\RunMRU", L"a", L"notepad\\1"},
        {L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\RunMRU", L"MRUList", L"a"},
        {L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders", L"Personal",
         L"C:\\users\\" + name + L"\\Documents"},
        {L"Software\\Microsoft\\IdentityCRL\\Cache", L"Token", L"cached"},
        {L"Identities\\{B0D1E2F3-0000-4000-8000-000000000001}", L"Username", name},
        {L"Software\\Microsoft\\Active Setup\\Installed Components\\{Bench}", L"Version", L"1,0"},
        {L"Control Panel\\Desktop", L"WallpaperStyle", L"10"},
        // A moved folder and a remembered file: what the update rewrites and what it reports.
        {L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\User Shell Folders", L"Personal",
         L"C:\\users\\" + name + L"\\Documents"},
        {L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\User Shell Folders", L"Desktop",
         L"%USERPROFILE%\\Desktop"},
        {L"Software\\Contoso\\Editor", L"LastFile", L"C:\\users\\" + name + L"\\Documents\\plan.txt"},
    };
    for (const Fixed& f : fixed) {
        HKEY key;
        if (RegCreateKeyExW(root, f.key, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr) != 0)
            continue;
        SetString(key, f.value, REG_SZ, f.data);
        ++values;
        RegCloseKey(key);
    }
    DeleteFileW(file.c_str());
    LONG saved = RegSaveKeyW(root, file.c_str(), nullptr);
    RegCloseKey(root);
    SHDeleteKeyW(HKEY_CURRENT_USER, staging);
    return saved == ERROR_SUCCESS ? values : 0;
}

std::wstring ProfilesFolder() {
    wchar_t folder[MAX_PATH] = {};
    DWORD size = MAX_PATH;
    GetProfilesDirectoryW(folder, &size);
    return folder;
}

int MakeDefault() {
    std::wstring path = ProfilesFolder() + L"\\Default";
    CreateDirectoryW(path.c_str(), nullptr);
    HKEY key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, ProfileListKey, 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS) return 1;
    SetString(key, L"Default", REG_EXPAND_SZ, L"%SystemDrive%\\users\\Default");
    RegCloseKey(key);
    return GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES ? 1 : 0;
}

int MakeProfile(const std::wstring& name, const std::wstring& sid, size_t files, uint64_t megabytes,
                uint64_t seed) {
    std::vector<std::wstring> rows = bench::RowFolders();
    if (rows.size() != 15) {
        fprintf(stderr, "the profile folders cannot be read\n");
        return 1;
    }
    wchar_t local[MAX_PATH] = {}, profileNow[MAX_PATH] = {};
    SHGetFolderPathW(nullptr, CSIDL_LOCAL_APPDATA, nullptr, SHGFP_TYPE_DEFAULT, local);
    SHGetFolderPathW(nullptr, CSIDL_PROFILE, nullptr, SHGFP_TYPE_DEFAULT, profileNow);
    std::wstring localRelative = bench::Below(local, profileNow);

    std::wstring profile = ProfilesFolder() + L"\\" + name;
    if (GetFileAttributesW(profile.c_str()) != INVALID_FILE_ATTRIBUTES) {
        fprintf(stderr, "%ls exists already\n", profile.c_str());
        return 1;
    }
    Random random{seed};
    Plan plan;
    size_t assigned = 0;
    std::vector<size_t> counts(sizeof Areas / sizeof *Areas);
    for (size_t i = 1; i < counts.size(); ++i) {
        counts[i] = static_cast<size_t>(files * Areas[i].share);
        if (counts[i] < Areas[i].minimum) counts[i] = Areas[i].minimum;
        assigned += counts[i];
    }
    counts[0] = files > assigned ? files - assigned : 1;
    for (size_t i = 0; i < counts.size(); ++i) {
        if (rows[Areas[i].row].empty()) continue;
        PlanArea(plan, random, Areas[i], rows[Areas[i].row], counts[i], profile.size());
    }
    size_t copiedFiles = plan.files.size();
    if (!localRelative.empty())
        PlanArea(plan, random, LocalArea, localRelative + L"\\Packages",
                 static_cast<size_t>(files * LocalArea.share) + 1, profile.size());

    // Scale the large files so the copied files add up to the size asked for.
    if (megabytes > 0) {
        double small = 0, large = 0;
        for (size_t i = 0; i < copiedFiles; ++i)
            (plan.files[i].large ? large : small) += plan.files[i].size;
        double target = static_cast<double>(megabytes) * 1048576.0;
        double factor = large > 0 && target > small ? (target - small) / large : 0.0;
        for (size_t i = 0; i < copiedFiles; ++i)
            if (plan.files[i].large) {
                uint64_t scaled = static_cast<uint64_t>(plan.files[i].size * factor);
                plan.files[i].size = scaled < 1024 ? 1024 : scaled;
            }
    }

    if (!CreateDirectoryW(profile.c_str(), nullptr)) return 1;
    for (const std::wstring& folder : plan.folders) {
        std::wstring full = profile + L"\\" + folder;
        if (CreateDirectoryW(full.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS) continue;
        if (SHCreateDirectoryExW(nullptr, full.c_str(), nullptr) != ERROR_SUCCESS) {
            fprintf(stderr, "cannot create %ls\n", full.c_str());
            return 1;
        }
    }
    std::vector<char> pattern(1 << 20);
    for (char& c : pattern)
        c = static_cast<char>(random.Next());
    uint64_t copiedBytes = 0;
    for (size_t i = 0; i < plan.files.size(); ++i) {
        const Plan::File& file = plan.files[i];
        std::wstring full = profile + L"\\" + file.path;
        if (!WriteSized(full, file.size, pattern, random.Below(4096))) {
            fprintf(stderr, "cannot write %ls (error %lu)\n", full.c_str(), GetLastError());
            return 1;
        }
        if (file.attributes) SetFileAttributesW(full.c_str(), file.attributes);
        if (i < copiedFiles) copiedBytes += file.size;
    }

    if (!EnablePrivilege(L"SeBackupPrivilege")) return 1;
    // About 4,000 keys in all with the vendor, product and fixed keys (scanbench counts them).
    size_t values = WriteHive(profile + L"\\NTUSER.DAT", random, 3730, name);
    if (values == 0) {
        fprintf(stderr, "the hive could not be saved\n");
        return 1;
    }
    HKEY key;
    std::wstring entry = std::wstring(ProfileListKey) + L"\\" + sid;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, entry.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                        nullptr) != 0)
        return 1;
    SetString(key, L"ProfileImagePath", REG_EXPAND_SZ, L"%SystemDrive%\\users\\" + name);
    RegCloseKey(key);
    printf("files=%zu bytes=%llu folders=%zu uncopied=%zu values=%zu\n", copiedFiles,
           static_cast<unsigned long long>(copiedBytes), plan.folders.size(), plan.files.size() - copiedFiles,
           values);
    return MakeDefault();
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc == 2 && wcscmp(argv[1], L"default") == 0) return MakeDefault();
    if (argc == 7 && wcscmp(argv[1], L"profile") == 0)
        return MakeProfile(argv[2], argv[3], wcstoul(argv[4], nullptr, 10), wcstoull(argv[5], nullptr, 10),
                           wcstoull(argv[6], nullptr, 10));
    fprintf(stderr, "usage: benchgen profile <name> <sid> <files> <megabytes> <seed> | benchgen default\n");
    return 87;
}
