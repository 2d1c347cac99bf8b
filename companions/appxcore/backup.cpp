// Backups and restores of the app state that re-registration does not bring back: Edge settings in
// the user's hive, a few package folders, and the tile database.
#include "companions/appxcore/manageappx.h"

#include "base/checkedopen.h"
#include "base/files.h"
#include "base/raii.h"
#include "base/registry.h"

#include <shlobj.h>

namespace appxcore {

namespace {

const wchar_t* const SettingsRoot =
    L"\\SOFTWARE\\Classes\\Local "
    L"Settings\\Software\\Microsoft\\Windows\\CurrentVersion\\AppContainer\\Storage";
const wchar_t* const SettingsBackupRoot = L"\\SOFTWARE\\Quillmar\\Migration\\AppX";
const wchar_t* const PackagesFolder = L"\\AppData\\Local\\Packages";
const wchar_t* const PackagesBackupFolder = L"\\AppData\\Local\\Quillmar\\Migrate\\Packages";
const int MaxKeyDepth = 512; // the registry's own nesting limit

// The SID names a key below HKEY_USERS: one path component, nothing else.
void CheckSidText(const std::wstring& sid) {
    if (sid.empty() || sid.size() > 184 || sid.find_first_of(L"\\/") != std::wstring::npos)
        ThrowWin32(ERROR_INVALID_SID);
}

void CopyKey(HKEY source, HKEY target, int depth) {
    DWORD subKeys = 0, maxSubKey = 0, values = 0, maxValueName = 0, maxData = 0;
    if (RegQueryInfoKeyW(source, nullptr, nullptr, nullptr, &subKeys, &maxSubKey, nullptr, &values,
                         &maxValueName, &maxData, nullptr, nullptr) != ERROR_SUCCESS)
        return;
    std::vector<wchar_t> name(maxValueName + 2);
    std::vector<BYTE> data(maxData + sizeof(wchar_t));
    for (DWORD index = 0;; ++index) {
        DWORD nameLength = static_cast<DWORD>(name.size());
        DWORD dataSize = static_cast<DWORD>(data.size());
        DWORD type = 0;
        LONG result =
            RegEnumValueW(source, index, name.data(), &nameLength, nullptr, &type, data.data(), &dataSize);
        if (result == ERROR_NO_MORE_ITEMS) break;
        if (result == ERROR_MORE_DATA) {
            // The key changed since it was measured: grow and read this value again.
            data.resize(data.size() * 2 + 256);
            name.resize(name.size() * 2 + 16);
            --index;
            continue;
        }
        if (result != ERROR_SUCCESS) continue;
        if (type == REG_EXPAND_SZ) {
            std::wstring raw(reinterpret_cast<const wchar_t*>(data.data()), dataSize / sizeof(wchar_t));
            raw = raw.c_str(); // up to the terminator
            DWORD needed = ExpandEnvironmentStringsW(raw.c_str(), nullptr, 0);
            std::wstring expanded(needed ? needed : 1, L'\0');
            if (needed && ExpandEnvironmentStringsW(raw.c_str(), &expanded[0], needed))
                expanded.resize(needed - 1);
            else
                expanded = raw;
            RegSetValueExW(target, name.data(), 0, REG_EXPAND_SZ,
                           reinterpret_cast<const BYTE*>(expanded.c_str()),
                           static_cast<DWORD>((expanded.size() + 1) * sizeof(wchar_t)));
        } else {
            RegSetValueExW(target, name.data(), 0, type, data.data(), dataSize);
        }
    }
    if (depth >= MaxKeyDepth) return;
    std::vector<std::wstring> children;
    wchar_t child[256];
    bool skip = false;
    for (DWORD index = 0; NextSubKey(source, index, child, 256, &skip); ++index)
        if (!skip) children.push_back(child);
    for (const std::wstring& child : children) {
        UniqueKey from, to;
        if (RegOpenKeyExW(source, child.c_str(), 0, KEY_READ, from.put()) != ERROR_SUCCESS) continue;
        if (RegCreateKeyExW(target, child.c_str(), 0, nullptr, 0, KEY_WRITE | KEY_READ, nullptr, to.put(),
                            nullptr) != ERROR_SUCCESS)
            continue;
        CopyKey(from.get(), to.get(), depth + 1);
    }
}

// A folder a user can plant a junction in must not redirect a copy made with the service's rights;
// base itself (the profile folder, chosen by an administrator) may be a link.
bool CrossesLink(const std::wstring& base, const std::wstring& path) {
    return PathCrossesLinkChecked(base.c_str(), path.c_str());
}

bool StartsWithActivationStore(const wchar_t* name) {
    static const wchar_t prefix[] = L"ActivationStore.dat";
    const int length = 19;
    if (lstrlenW(name) < length) return false;
    return CompareStringW(LOCALE_INVARIANT, NORM_IGNORECASE, name, length, prefix, length) == CSTR_EQUAL;
}

// Relative paths of the folders and files of a tree, links neither listed nor entered.
void ListTree(const std::wstring& root, const std::wstring& relative, std::vector<std::wstring>* folders,
              std::vector<std::wstring>* files, int depth) {
    if (depth > 256) return;
    WIN32_FIND_DATAW data;
    std::wstring folder = relative.empty() ? root : root + L"\\" + relative;
    UniqueFind find(FindFirstFileW((folder + L"\\*").c_str(), &data));
    if (!find) return;
    std::vector<std::wstring> subFolders;
    do {
        if (IsDotName(data.cFileName)) continue;
        if (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) continue;
        std::wstring item =
            relative.empty() ? std::wstring(data.cFileName) : relative + L"\\" + data.cFileName;
        if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
            subFolders.push_back(item);
        else
            files->push_back(item);
    } while (FindNextFileW(find.get(), &data));
    for (const std::wstring& sub : subFolders) {
        folders->push_back(sub);
        ListTree(root, sub, folders, files, depth + 1);
    }
}

std::wstring FileName(const std::wstring& path) {
    size_t slash = path.find_last_of(L'\\');
    return slash == std::wstring::npos ? path : path.substr(slash + 1);
}

// Mirrors the tree at source into target (folders first, then files, replacing older copies); a
// file that cannot be copied is skipped. Both sides lie in a folder the user owns and are worked on
// with the service's rights: every folder and file is opened and checked on its handle from base
// down (CopyCheckedFile), so a link planted on either side, even between the listing and the copy,
// is refused. Paths are used in their "\\?\" form, so long paths are not skipped.
void CopyTreeInto(const std::wstring& source, const std::wstring& target, const std::wstring& base,
                  bool skipActivationStore) {
    std::wstring extendedSource;
    if (ExtendedPath(source.c_str(), &extendedSource) != ERROR_SUCCESS) return;
    std::vector<std::wstring> folders, files;
    ListTree(extendedSource, L"", &folders, &files, 0);
    HeldFolder held;
    if (HoldFolderChain(base.c_str(), target.c_str(), true, &held) != ERROR_SUCCESS) return;
    held = HeldFolder();
    for (const std::wstring& folder : folders)
        HoldFolderChain(base.c_str(), (target + L"\\" + folder).c_str(), true, &held);
    held = HeldFolder();
    for (const std::wstring& file : files) {
        if (skipActivationStore && StartsWithActivationStore(FileName(file).c_str())) continue;
        CopyCheckedFile(base.c_str(), (source + L"\\" + file).c_str(), base.c_str(),
                        (target + L"\\" + file).c_str());
    }
}

} // namespace

void RegistryCopy(HKEY source, HKEY target) {
    CopyKey(source, target, 0);
}

void ManageAppx::BackupAppSettings2(const std::wstring& sid, const std::wstring&) {
    CheckSidText(sid);
    for (const std::wstring& key : IncludedAppRegSettings) {
        UniqueKey source, backup;
        if (RegOpenKeyExW(HKEY_USERS, (sid + SettingsRoot + L"\\" + key).c_str(), 0, KEY_READ,
                          source.put()) != ERROR_SUCCESS)
            continue;
        if (RegCreateKeyExW(HKEY_USERS, (sid + SettingsBackupRoot + L"\\" + key).c_str(), 0, nullptr, 0,
                            KEY_WRITE | KEY_READ, nullptr, backup.put(), nullptr) != ERROR_SUCCESS)
            continue;
        RegistryCopy(source.get(), backup.get());
    }
}

void ManageAppx::RestoreAppSettings(const std::wstring& sid) {
    CheckSidText(sid);
    UniqueKey backup, settings;
    if (RegOpenKeyExW(HKEY_USERS, (sid + SettingsBackupRoot).c_str(), 0, KEY_READ, backup.put()) !=
        ERROR_SUCCESS)
        return;
    if (RegOpenKeyExW(HKEY_USERS, (sid + SettingsRoot).c_str(), 0, KEY_WRITE | KEY_READ, settings.put()) !=
        ERROR_SUCCESS)
        return;
    RegistryCopy(backup.get(), settings.get());
}

void ManageAppx::BackupAppFiles2(const std::wstring& profileFolder) {
    std::wstring sourceBase = profileFolder + PackagesFolder;
    std::wstring backupBase = profileFolder + PackagesBackupFolder;
    for (const std::wstring& entry : IncludedPackageFolders) {
        std::wstring source = sourceBase + L"\\" + entry;
        std::wstring target = backupBase + L"\\" + entry;
        DWORD attributes = GetFileAttributesW(source.c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES || CrossesLink(profileFolder, source)) continue;
        if (attributes & FILE_ATTRIBUTE_DIRECTORY)
            CopyTreeInto(source, target, profileFolder, true);
        else
            CopyCheckedFile(profileFolder.c_str(), source.c_str(), profileFolder.c_str(), target.c_str());
    }
}

void ManageAppx::RestoreAppFiles(const std::wstring& profileFolder) {
    std::wstring backupBase = profileFolder + PackagesBackupFolder;
    std::wstring targetBase = profileFolder + PackagesFolder;
    if (!FolderExists(backupBase.c_str()))
        throw AppxError(HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND),
                        L"Could not find a part of the path '" + backupBase + L"'.");
    CopyTreeInto(backupBase, targetBase, profileFolder, false);
}

bool ManageAppx::vedatamodelDbBackup(const std::wstring& currentProfile, const std::wstring& newProfile,
                                     bool reschedule) {
    std::wstring folder = currentProfile + L"\\Appdata\\Local\\Quillmar\\Migrate";
    std::wstring database = currentProfile + L"\\Appdata\\Local\\TileDataLayer\\Database\\vedatamodel.edb";
    // The service copies with its own rights inside a folder the user owns: neither path may pass
    // through a link the user planted, checked on the handles the copy uses.
    DWORD error = CopyCheckedFile(currentProfile.c_str(), database.c_str(), currentProfile.c_str(),
                                  (folder + L"\\vedatamodel.edb").c_str());
    if (error == ERROR_SUCCESS) return true;
    if (eventLog_) eventLog_->Error(ErrorMessage(HRESULT_FROM_WIN32(error)));
    if (reschedule) {
        UniqueKey key;
        if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, settings_.pendingTileKey.c_str(), 0, nullptr, 0,
                            KEY_SET_VALUE | KEY_WOW64_32KEY, nullptr, key.put(), nullptr) == ERROR_SUCCESS) {
            const std::wstring& name = newProfile.empty() ? currentProfile : newProfile;
            RegSetValueExW(key.get(), name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(L""),
                           sizeof(wchar_t));
        }
    }
    return false;
}

void ManageAppx::RunPendingTileBackups() {
    UniqueKey key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, settings_.pendingTileKey.c_str(), 0,
                      KEY_QUERY_VALUE | KEY_SET_VALUE | KEY_WOW64_32KEY, key.put()) != ERROR_SUCCESS)
        return;
    // All names first: values are deleted while the list is worked through.
    std::vector<std::wstring> names;
    for (DWORD index = 0;; ++index) {
        wchar_t name[16384];
        DWORD length = 16384;
        LONG result = RegEnumValueW(key.get(), index, name, &length, nullptr, nullptr, nullptr, nullptr);
        if (result == ERROR_NO_MORE_ITEMS) break;
        if (result == ERROR_SUCCESS) names.push_back(std::wstring(name, length));
    }
    for (const std::wstring& name : names) {
        if (vedatamodelDbBackup(name, L"", false))
            RegDeleteValueW(key.get(), name.c_str());
        else if (eventLog_)
            eventLog_->Error(L"Tile backup failed for " + name);
    }
}

} // namespace appxcore
