#include "companions/tilehelper/tiledatalayer.h"

#include "base/checkedopen.h"
#include "base/raii.h"

#include <aclapi.h>
#include <sddl.h>
#include <shlobj.h>
#include <userenv.h>

#include <cstdarg>
#include <cwchar>

namespace tilehelper {

const wchar_t* const TileServiceName = L"tiledatamodelsvc";
const wchar_t* const ServiceOwnerSid = L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464";

namespace {

const wchar_t QuillmarKey[] = L"SOFTWARE\\Quillmar";
const BYTE InheritFlags = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE; // 3
// The log's folders: owned by Administrators; LocalSystem, Administrators and the library's own
// account (LocalSystem again where the service runs; a system that maps the DACL to one owner's
// permission bits keeps its writer) full control, Users read and list only; protected, so nothing
// more is inherited from above. The own account's SID goes between the two halves.
const wchar_t LogFolderSecurityHead[] = L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FA;;;";
const wchar_t LogFolderSecurityTail[] = L")(A;OICI;0x1200a9;;;BU)";
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
    return std::wstring(common) + L"\\Quillmar\\Error Reporting\\kelvohlp.log";
}

// Opens the log for appending as the library's own account. Any user may make folders in the common
// application data folder, so one may have made these first: every level is checked on its handle
// (no link), owned by Administrators and given a protected DACL that lets only LocalSystem and
// Administrators write, whoever made it; the log itself must be a plain file with one name.
UniqueFile OpenHelperLog() {
    wchar_t common[MAX_PATH] = {};
    if (FAILED(SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT, common)))
        return UniqueFile();
    std::vector<BYTE> self = ProcessUserSid();
    wchar_t* selfText = nullptr;
    if (self.empty() || !ConvertSidToStringSidW(self.data(), &selfText)) return UniqueFile();
    std::wstring sddl = std::wstring(LogFolderSecurityHead) + selfText + LogFolderSecurityTail;
    LocalFree(selfText);
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, &descriptor,
                                                              nullptr))
        return UniqueFile();
    UniqueLocal descriptorOwner(descriptor);
    SECURITY_ATTRIBUTES attributes = {};
    attributes.nLength = sizeof(attributes);
    attributes.lpSecurityDescriptor = descriptor;
    HeldFolder held;
    std::wstring folder = std::wstring(common) + L"\\Quillmar\\Error Reporting";
    if (HoldFolderChain(common, folder.c_str(), true, &held, &attributes,
                        READ_CONTROL | WRITE_DAC | WRITE_OWNER) != ERROR_SUCCESS)
        return UniqueFile();
    BOOL present = FALSE, defaulted = FALSE;
    PACL dacl = nullptr;
    if (!GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted)) return UniqueFile();
    BYTE owner[SECURITY_MAX_SID_SIZE];
    DWORD ownerSize = sizeof(owner);
    if (!CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, owner, &ownerSize)) return UniqueFile();
    for (size_t level = 1; level < held.levels.size(); ++level) {
        // The DACL must hold; the owner (whoever made the folder could otherwise change the DACL
        // back) is taken where the privileges allow.
        HANDLE folderHandle = held.levels[level].get();
        if (SetSecurityInfo(folderHandle, SE_FILE_OBJECT,
                            DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, nullptr, nullptr,
                            dacl, nullptr) != ERROR_SUCCESS)
            return UniqueFile();
        SetSecurityInfo(folderHandle, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, owner, nullptr, nullptr,
                        nullptr);
    }
    UniqueFile file;
    if (OpenCheckedFile(held, L"kelvohlp.log", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, OPEN_ALWAYS,
                        &file) != ERROR_SUCCESS)
        return UniqueFile();
    return file;
}

void AppendHelperLog(const wchar_t* format, ...) {
    wchar_t message[260] = {};
    va_list arguments;
    va_start(arguments, format);
    _vsnwprintf(message, 259, format, arguments); // cut at 259 characters and the terminator
    va_end(arguments);
    message[259] = L'\0';

    // The log is the library's own, whomever the calling thread acts for at the moment.
    UniqueHandle client;
    if (OpenThreadToken(GetCurrentThread(), TOKEN_IMPERSONATE, TRUE, client.put()))
        RevertToSelf();
    else
        client.reset();
    auto restore = MakeScopeExit([&] {
        if (client) SetThreadToken(nullptr, client.get());
    });
    UniqueFile file = OpenHelperLog();
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

DWORD DeleteFilesInTree(const std::wstring& base, const std::wstring& folder) {
    return DeleteFilesInTreeChecked(base.c_str(), folder.c_str());
}

DWORD TakeFileIdentity(const wchar_t* localAppData, FileIdentity* identity) {
    identity->client.reset();
    identity->base.clear();
    UniqueHandle client;
    if (OpenThreadToken(GetCurrentThread(), TOKEN_QUERY | TOKEN_IMPERSONATE,
                        TRUE /* as the library's own account */, client.put())) {
        wchar_t profile[MAX_PATH] = {};
        DWORD size = MAX_PATH;
        if (!GetUserProfileDirectoryW(client.get(), profile, &size)) return GetLastError();
        // The checks start at the client's profile folder, which an administrator set; the
        // argument must lie in it.
        std::wstring base = profile;
        std::wstring argument = localAppData;
        if (argument.size() <= base.size() + 1 ||
            CompareStringOrdinal(argument.c_str(), static_cast<int>(base.size()), base.c_str(),
                                 static_cast<int>(base.size()), TRUE) != CSTR_EQUAL ||
            argument[base.size()] != L'\\')
            return ERROR_ACCESS_DENIED;
        identity->base = base;
        identity->client = std::move(client);
        return ERROR_SUCCESS;
    }
    // Called without a client to act for: the caller chose the folder itself.
    identity->base = LinkCheckBase(localAppData);
    return ERROR_SUCCESS;
}

void MoveTileDatabaseFiles(const wchar_t* localAppData, bool backup, const FileIdentity& identity) {
    std::wstring argument = localAppData;
    std::wstring live = argument + L"\\TileDataLayer\\Database\\vedatamodel.edb";
    std::wstring liveFolder = argument + L"\\TileDataLayer\\Database";
    std::wstring saved = argument + L"\\Quillmar\\Migrate\\vedatamodel.edb";
    std::wstring source = backup ? live : saved;
    std::wstring target = backup ? saved : live;
    const wchar_t* base = identity.base.c_str();

    // The files are the client's own: they are moved with the client's rights, so the system's
    // own access checks hold wherever a link might point; every folder on the way is also opened
    // and checked on its handle, so a planted link is refused rather than followed.
    if (identity.client && !SetThreadToken(nullptr, identity.client.get())) {
        AppendHelperLog(L"SetThreadToken fails. Error %u", GetLastError());
        return;
    }
    if (!backup) {
        DWORD error = DeleteFilesInTree(identity.base, liveFolder);
        if (error != ERROR_SUCCESS)
            AppendHelperLog(L"Emptying the live tile database folder fails. Error %u", error);
    }
    for (int attempt = 0; attempt < 50; ++attempt) {
        DWORD error = CopyCheckedFile(base, source.c_str(), base, target.c_str());
        if (error == ERROR_SUCCESS) break;
        // A link or a missing file stays so; a database still held by the stopping service does not.
        if (error != ERROR_SHARING_VIOLATION && error != ERROR_LOCK_VIOLATION) {
            AppendHelperLog(L"Copying the tile database fails. Error %u", error);
            break;
        }
        Sleep(100);
    }
    if (identity.client) RevertToSelf();
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

DWORD TransferTileDatabase(const wchar_t* localAppData, bool backup, const FileIdentity& identity) {
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

    MoveTileDatabaseFiles(localAppData, backup, identity);

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
    // A caller that impersonates a client hands the file steps to that client: the service steps
    // run as the library's own account, and the caller's impersonation is put back at the end.
    FileIdentity identity;
    DWORD error = TakeFileIdentity(localAppData, &identity);
    if (error != ERROR_SUCCESS) {
        AppendHelperLog(L"The tile database folder is not the client's own. Error %u", error);
        return error;
    }
    if (identity.client) RevertToSelf();
    EnableTilePrivileges();
    bool initialized = SystemInitialized();
    if (!initialized) PrepareTileServiceAccess();
    DWORD result = TransferTileDatabase(localAppData, backup, identity);
    if (result == ERROR_SHARING_VIOLATION && initialized) {
        PrepareTileServiceAccess();
        result = TransferTileDatabase(localAppData, backup, identity);
    }
    if (identity.client) SetThreadToken(nullptr, identity.client.get());
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
