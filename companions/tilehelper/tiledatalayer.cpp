#include "companions/tilehelper/tiledatalayer.h"

#include "driver/links.h"
#include "driver/raii.h"

#include <sddl.h>
#include <shlobj.h>

#include <cstdarg>
#include <cwchar>

namespace tilehelper {

const wchar_t* const TileServiceName = L"tiledatamodelsvc";
const wchar_t* const ServiceOwnerSid = L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464";

namespace {

const wchar_t QuillmarKey[] = L"SOFTWARE\\Quillmar";
const BYTE InheritFlags = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE; // 3
// Room for one access-allowed entry with the largest SID.
const DWORD ExtraAceBytes = 76;

void EnableNamedPrivilege(HANDLE token, const wchar_t* name) {
    TOKEN_PRIVILEGES privileges = {};
    if (!LookupPrivilegeValueW(nullptr, name, &privileges.Privileges[0].Luid)) return;
    privileges.PrivilegeCount = 1;
    privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    AdjustTokenPrivileges(token, FALSE, &privileges, sizeof(privileges), nullptr, nullptr);
}

void EnableTilePrivileges() {
    UniqueHandle token;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, token.put())) return;
    EnableNamedPrivilege(token.get(), L"SeRestorePrivilege");
    EnableNamedPrivilege(token.get(), L"SeSecurityPrivilege");
    EnableNamedPrivilege(token.get(), L"SeTakeOwnershipPrivilege");
}

bool SystemInitialized() {
    UniqueKey key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, QuillmarKey, 0, KEY_QUERY_VALUE | KEY_WOW64_32KEY, key.put()) !=
        ERROR_SUCCESS)
        return false;
    DWORD type = 0, value = 0, size = sizeof(value);
    if (RegQueryValueExW(key.get(), L"SystemInitialized", nullptr, &type, reinterpret_cast<BYTE*>(&value),
                         &size) != ERROR_SUCCESS)
        return false;
    return type == REG_DWORD && size == sizeof(value) && value == 1;
}

void SetSystemInitialized() {
    UniqueKey key;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, QuillmarKey, 0, nullptr, 0, KEY_SET_VALUE | KEY_WOW64_32KEY,
                        nullptr, key.put(), nullptr) != ERROR_SUCCESS)
        return;
    DWORD one = 1;
    RegSetValueExW(key.get(), L"SystemInitialized", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&one),
                   sizeof(one));
}

// The caller's user SID, copied out of its token.
std::vector<BYTE> ProcessUserSid() {
    UniqueHandle token;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.put())) return {};
    DWORD size = 0;
    GetTokenInformation(token.get(), TokenUser, nullptr, 0, &size);
    if (size == 0) return {};
    std::vector<BYTE> buffer(size);
    if (!GetTokenInformation(token.get(), TokenUser, buffer.data(), size, &size)) return {};
    PSID sid = reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid;
    DWORD length = GetLengthSid(sid);
    std::vector<BYTE> copy(length);
    if (!CopySid(length, copy.data(), sid)) return {};
    return copy;
}

// The service's security, owner and DACL parts; empty when it cannot be read.
std::vector<BYTE> QueryServiceSecurity(SC_HANDLE service, SECURITY_INFORMATION parts) {
    DWORD needed = 0;
    QueryServiceObjectSecurity(service, parts, nullptr, 0, &needed);
    if (needed == 0) return {};
    std::vector<BYTE> buffer(needed);
    if (!QueryServiceObjectSecurity(service, parts, buffer.data(), needed, &needed)) return {};
    return buffer;
}

// Gives the tile service object a new owner; a failure ends the step quietly.
void SetTileServiceOwner(PSID owner) {
    UniqueService manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager) return;
    UniqueService service(
        OpenServiceW(manager.get(), TileServiceName, READ_CONTROL | WRITE_OWNER | ACCESS_SYSTEM_SECURITY));
    if (!service) return;
    if (QueryServiceSecurity(service.get(), OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION).empty())
        return;
    SECURITY_DESCRIPTOR descriptor;
    if (!InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION)) return;
    if (!SetSecurityDescriptorOwner(&descriptor, owner, FALSE /* not defaulted */)) return;
    SetServiceObjectSecurity(service.get(), OWNER_SECURITY_INFORMATION, &descriptor);
}

void GrantChangeConfig(PSID sid) {
    UniqueService manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager) return;
    UniqueService service(
        OpenServiceW(manager.get(), TileServiceName, READ_CONTROL | WRITE_DAC | ACCESS_SYSTEM_SECURITY));
    if (!service) return;
    std::vector<BYTE> security = QueryServiceSecurity(service.get(), DACL_SECURITY_INFORMATION);
    if (security.empty()) return;
    BOOL present = FALSE, defaulted = FALSE;
    PACL dacl = nullptr;
    if (!GetSecurityDescriptorDacl(security.data(), &present, &dacl, &defaulted) || !present || !dacl) return;
    std::vector<BYTE> newDacl;
    if (!BuildDaclWithChangeConfig(dacl, sid, &newDacl)) return;
    SECURITY_DESCRIPTOR descriptor;
    if (!InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION)) return;
    if (!SetSecurityDescriptorDacl(&descriptor, TRUE, reinterpret_cast<PACL>(newDacl.data()), FALSE)) return;
    SetServiceObjectSecurity(service.get(), DACL_SECURITY_INFORMATION, &descriptor);
}

// The folder the link checks start from: the profile folder when the argument is its
// "\AppData\Local", else the argument itself (a folder the caller chose).
std::wstring LinkCheckBase(const std::wstring& localAppData) {
    static const wchar_t suffix[] = L"\\AppData\\Local";
    const size_t length = 14;
    std::wstring path = localAppData;
    while (path.size() > 3 && path.back() == L'\\')
        path.pop_back();
    if (path.size() > length &&
        CompareStringOrdinal(path.c_str() + path.size() - length, length, suffix, length, TRUE) == CSTR_EQUAL)
        return path.substr(0, path.size() - length);
    return path;
}

bool StartsWithDots(const wchar_t* name) {
    return !wcscmp(name, L".") || !wcscmp(name, L"..");
}

} // namespace

bool BuildDaclWithChangeConfig(PACL oldDacl, PSID sid, std::vector<BYTE>* newDacl) {
    ACL_SIZE_INFORMATION sizes = {};
    if (!oldDacl || !GetAclInformation(oldDacl, &sizes, sizeof(sizes), AclSizeInformation)) return false;
    newDacl->assign(sizes.AclBytesInUse + ExtraAceBytes, 0);
    PACL acl = reinterpret_cast<PACL>(newDacl->data());
    if (!InitializeAcl(acl, static_cast<DWORD>(newDacl->size()), ACL_REVISION)) return false;
    bool added = false;
    for (DWORD index = 0; index < sizes.AceCount; ++index) {
        ACE_HEADER* ace = nullptr;
        if (!GetAce(oldDacl, index, reinterpret_cast<void**>(&ace))) {
            OutputDebugStringW(L"Get ACE Failed.");
            continue;
        }
        if (!added && ace->AceFlags == InheritFlags) {
            if (!AddAccessAllowedAceEx(acl, ACL_REVISION, InheritFlags, SERVICE_CHANGE_CONFIG, sid))
                OutputDebugStringW(L"AddAccessAllowedAceEx() failed (INHERITED_ACE)");
            added = true;
        }
        if (!AddAce(acl, ACL_REVISION, MAXDWORD /* append */, ace, ace->AceSize))
            OutputDebugStringW(L"AddAce() failed");
    }
    if (!added && !AddAccessAllowedAceEx(acl, ACL_REVISION, InheritFlags, SERVICE_CHANGE_CONFIG, sid))
        OutputDebugStringW(L"AddAccessAllowedAceEx() failed");
    return true;
}

std::wstring HelperLogPath() {
    wchar_t common[MAX_PATH] = {};
    if (FAILED(SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT, common)))
        return L"";
    std::wstring path = std::wstring(common) + L"\\Quillmar";
    CreateDirectoryW(path.c_str(), nullptr);
    path += L"\\Error Reporting";
    CreateDirectoryW(path.c_str(), nullptr);
    return path + L"\\kelvohlp.log";
}

void AppendHelperLog(const wchar_t* format, ...) {
    wchar_t message[260] = {};
    va_list arguments;
    va_start(arguments, format);
    _vsnwprintf(message, 259, format, arguments); // cut at 259 characters and the terminator
    va_end(arguments);
    message[259] = L'\0';

    std::wstring path = HelperLogPath();
    if (path.empty()) return;
    UniqueFile file(CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return;
    SetFilePointer(file.get(), 0, nullptr, FILE_END);
    SYSTEMTIME now;
    GetLocalTime(&now);
    char stamp[32];
    int stampLength = wsprintfA(stamp, "%02u/%02u/%02u %02u:%02u:%02u ", now.wDay, now.wMonth, now.wYear,
                                now.wHour, now.wMinute, now.wSecond);
    std::string line(stamp, stampLength);
    int length = WideCharToMultiByte(CP_ACP, 0, message, -1, nullptr, 0, nullptr, nullptr);
    if (length > 1) {
        std::string ansi(length, '\0');
        WideCharToMultiByte(CP_ACP, 0, message, -1, &ansi[0], length, nullptr, nullptr);
        line.append(ansi.c_str(), length - 1);
    }
    line += "\r\n";
    DWORD written = 0;
    WriteFile(file.get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
}

void DeleteFilesInTree(const std::wstring& folder) {
    WIN32_FIND_DATAW data;
    UniqueFind find(FindFirstFileW((folder + L"\\*.*").c_str(), &data));
    if (!find) return;
    bool retried = false; // the long retry is spent on the first stubborn file of a folder only
    do {
        if (StartsWithDots(data.cFileName)) continue;
        std::wstring path = folder + L"\\" + data.cFileName;
        if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            // A junction or directory link may point anywhere: it is never entered.
            if (IsDirectoryLinkAttributes(data.dwFileAttributes)) continue;
            DeleteFilesInTree(path);
            continue;
        }
        if (DeleteFileW(path.c_str())) continue;
        SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
        int attempts = retried ? 1 : 30;
        retried = true;
        for (int attempt = 0; attempt < attempts; ++attempt) {
            if (DeleteFileW(path.c_str())) break;
            if (attempt + 1 < attempts) Sleep(100);
        }
    } while (FindNextFileW(find.get(), &data));
}

void PrepareTileServiceAccess() {
    std::vector<BYTE> self = ProcessUserSid();
    if (!self.empty()) {
        SetTileServiceOwner(self.data());
        GrantChangeConfig(self.data());
    }
    PSID owner = nullptr;
    if (ConvertStringSidToSidW(ServiceOwnerSid, &owner)) {
        UniqueLocal ownerMemory(owner);
        SetTileServiceOwner(owner);
    }
    SetSystemInitialized();
}

DWORD TransferTileDatabase(const wchar_t* localAppData, bool backup) {
    UniqueService manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager) {
        DWORD error = GetLastError();
        AppendHelperLog(L"OpenSCManager fails. Error %u", error);
        return error;
    }
    UniqueService service(
        OpenServiceW(manager.get(), TileServiceName,
                     SERVICE_CHANGE_CONFIG | SERVICE_QUERY_STATUS | SERVICE_START | SERVICE_STOP));
    if (!service) return GetLastError();
    if (!ChangeServiceConfigW(service.get(), SERVICE_NO_CHANGE, SERVICE_DISABLED, SERVICE_NO_CHANGE, nullptr,
                              nullptr, nullptr, nullptr, nullptr, nullptr, nullptr)) {
        DWORD error = GetLastError();
        AppendHelperLog(L"ChangeServiceConfig SERVICE_DISABLED fails. Error %u", error);
        return error;
    }

    SERVICE_STATUS stopStatus = {};
    if (!ControlService(service.get(), SERVICE_CONTROL_STOP, &stopStatus)) {
        DWORD stopError = GetLastError();
        if (stopError != ERROR_SERVICE_NOT_ACTIVE) {
            SERVICE_STATUS_PROCESS state = {};
            DWORD needed = 0;
            if (!QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&state),
                                      sizeof(state), &needed)) {
                AppendHelperLog(L"QueryServiceStatusEx fails. Error %u", GetLastError());
                AppendHelperLog(L"ControlService SERVICE_CONTROL_STOP fails. Error %u", stopError);
            } else if (state.dwCurrentState != SERVICE_STOPPED) {
                AppendHelperLog(L"Service Status %u", state.dwCurrentState);
                AppendHelperLog(L"ControlService SERVICE_CONTROL_STOP fails. Error %u", stopError);
            }
        }
    }

    std::wstring argument = localAppData;
    std::wstring base = LinkCheckBase(argument);
    std::wstring live = argument + L"\\TileDataLayer\\Database\\vedatamodel.edb";
    std::wstring liveFolder = argument + L"\\TileDataLayer\\Database";
    std::wstring saved = argument + L"\\Quillmar\\Migrate\\vedatamodel.edb";
    std::wstring source = backup ? live : saved;
    std::wstring target = backup ? saved : live;
    // LocalSystem works in a folder the user owns: a planted link must not send a delete or a copy
    // elsewhere, so such a path is left alone.
    if (!backup) {
        if (!PathCrossesLink(base.c_str(), liveFolder.c_str())) DeleteFilesInTree(liveFolder);
    } else {
        std::wstring quillmar = argument + L"\\Quillmar";
        if (!PathCrossesLink(base.c_str(), (quillmar + L"\\Migrate").c_str())) {
            CreateDirectoryW(quillmar.c_str(), nullptr);
            CreateDirectoryW((quillmar + L"\\Migrate").c_str(), nullptr);
        }
    }
    if (!PathCrossesLink(base.c_str(), source.c_str()) && !PathCrossesLink(base.c_str(), target.c_str())) {
        for (int attempt = 0; attempt < 50; ++attempt) {
            if (CopyFileW(source.c_str(), target.c_str(), FALSE /* overwrite */)) break;
            Sleep(100);
        }
    }

    DWORD error = ERROR_SUCCESS;
    for (int attempt = 0; attempt < 5; ++attempt) {
        if (attempt) Sleep(1000);
        if (ChangeServiceConfigW(service.get(), SERVICE_NO_CHANGE, SERVICE_AUTO_START, SERVICE_NO_CHANGE,
                                 nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr)) {
            error = ERROR_SUCCESS;
            break;
        }
        error = GetLastError();
        AppendHelperLog(L"ChangeServiceConfig SERVICE_AUTO_START fails. Error %u", error);
    }
    if (error != ERROR_SUCCESS) return error;

    for (int attempt = 0; attempt < 5; ++attempt) {
        if (attempt) Sleep(1000);
        if (StartServiceW(service.get(), 0, nullptr)) return ERROR_SUCCESS;
        error = GetLastError();
        if (error == ERROR_SERVICE_ALREADY_RUNNING) return ERROR_SUCCESS;
        AppendHelperLog(L"StartService fails. Error %u", error);
    }
    return error;
}

DWORD RunTileDataLayerOperation(const wchar_t* localAppData, bool backup) {
    EnableTilePrivileges();
    bool initialized = SystemInitialized();
    if (!initialized) PrepareTileServiceAccess();
    DWORD result = TransferTileDatabase(localAppData, backup);
    if (result == ERROR_SHARING_VIOLATION && initialized) {
        PrepareTileServiceAccess();
        result = TransferTileDatabase(localAppData, backup);
    }
    return result;
}

} // namespace tilehelper

namespace {

// No error may leave an export: an allocation failure becomes a Win32 code.
DWORD RunExport(const wchar_t* localAppData, bool backup) {
    try {
        tilehelper::AppendHelperLog(backup ? L"DEBUG: Backing up TileDataLayer"
                                           : L"DEBUG: Restoring TileDataLayer");
        if (!localAppData || !*localAppData) return ERROR_INVALID_PARAMETER;
        return tilehelper::RunTileDataLayerOperation(localAppData, backup);
    } catch (...) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
}

} // namespace

extern "C" DWORD WINAPI BackupTileDataLayer(const wchar_t* localAppData) {
    return RunExport(localAppData, true);
}

extern "C" DWORD WINAPI RestoreTileDataLayer(const wchar_t* localAppData) {
    return RunExport(localAppData, false);
}
