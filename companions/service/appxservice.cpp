#include "companions/service/appxservice.h"

#include "companions/appxcore/packagelist.h"
#include "companions/appxcore/registration.h"
#include "companions/service/clientaccess.h"
#include "base/checkedopen.h"
#include "base/files.h"
#include "base/profiles.h"
#include "base/raii.h"

#include <shlwapi.h>

namespace appxservice {

using appxcore::AppxError;
using appxcore::ErrorMessage;
using appxcore::RegisterType;

const wchar_t* const AccessDeniedReply = L"Access Denied";

namespace {

const wchar_t RepositoryKey[] =
    L"\\Software\\Classes\\Local "
    L"Settings\\Software\\Microsoft\\Windows\\CurrentVersion\\AppModel\\Repository";
const wchar_t AppxSettingsKey[] = L"SOFTWARE\\Quillmar\\AppX";
// A request is logged whole up to this length; garbage from a client is cut to keep entries readable.
const size_t MaxLoggedRequestChars = 4096;

appxcore::ManageAppxSettings ServiceModuleSettings() {
    appxcore::ManageAppxSettings settings;
    settings.priorityPackages = appxcore::ServicePriorityPackages;
    return settings;
}

std::wstring Widen(const char* text) {
    std::wstring wide;
    for (; *text; ++text)
        wide += static_cast<wchar_t>(static_cast<unsigned char>(*text));
    return wide;
}

// On: the key exists and "EdbNoRestore" is 0 or absent. Off: no key, any other number, a read error.
bool TileRestoreEnabled() {
    UniqueKey key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, AppxSettingsKey, 0, KEY_QUERY_VALUE | KEY_WOW64_32KEY, key.put()) !=
        ERROR_SUCCESS)
        return false;
    DWORD type = 0, value = 0, size = sizeof(value);
    LONG result =
        RegQueryValueExW(key.get(), L"EdbNoRestore", nullptr, &type, reinterpret_cast<BYTE*>(&value), &size);
    if (result == ERROR_FILE_NOT_FOUND) return true;
    if (result != ERROR_SUCCESS || type != REG_DWORD || size != sizeof(value)) return false;
    return value == 0;
}

// True when path lies strictly below folder (compared ignoring case, no ".." step in it).
bool IsBelowFolder(const std::wstring& folder, const std::wstring& path) {
    std::wstring prefix = folder;
    while (!prefix.empty() && prefix.back() == L'\\')
        prefix.pop_back();
    if (prefix.empty()) return false;
    prefix += L'\\';
    if (path.size() <= prefix.size() || path.find(L"..") != std::wstring::npos) return false;
    return appxcore::EqualsIgnoreCase(path.substr(0, prefix.size()), prefix);
}

std::wstring FolderOf(const std::wstring& path) {
    size_t slash = path.find_last_of(L'\\');
    return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash);
}

// Where the link checks for a path start: the profile folder when the path lies in it (the folder
// an administrator set; everything below it the user may have planted), else the volume's root.
std::wstring LinkCheckBase(const std::wstring& profile, const std::wstring& path) {
    if (!profile.empty() && IsBelowFolder(profile, path)) return profile;
    if (path.size() >= 3 && path[1] == L':' && path[2] == L'\\') return path.substr(0, 3);
    return L"";
}

// The back-off while another process holds the pipe's name: a squatter delays the service, it
// never ends it.
const DWORD PipeRetryFirstMs = 100;
const DWORD PipeRetryLongestMs = 5000;

} // namespace

std::wstring ServiceVersionText() {
    wchar_t program[MAX_PATH];
    DWORD length = GetModuleFileNameW(nullptr, program, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        appxcore::ThrowWin32(length ? ERROR_INSUFFICIENT_BUFFER : GetLastError());
    DWORD ignored = 0;
    DWORD size = GetFileVersionInfoSizeW(program, &ignored);
    if (size == 0) appxcore::ThrowWin32(GetLastError());
    std::vector<BYTE> block(size);
    if (!GetFileVersionInfoW(program, 0, size, block.data())) appxcore::ThrowWin32(GetLastError());
    VS_FIXEDFILEINFO* info = nullptr;
    UINT infoSize = 0;
    if (!VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&info), &infoSize) || !info)
        appxcore::ThrowWin32(ERROR_RESOURCE_TYPE_NOT_FOUND);
    return std::to_wstring(HIWORD(info->dwFileVersionMS)) + L"." +
           std::to_wstring(LOWORD(info->dwFileVersionMS)) + L"." +
           std::to_wstring(HIWORD(info->dwFileVersionLS)) + L"." +
           std::to_wstring(LOWORD(info->dwFileVersionLS));
}

std::wstring GetSidFromProfilePath(const std::wstring& folder) {
    UniqueKey list;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, ProfileListKey, 0, KEY_READ | KEY_WOW64_64KEY, list.put()) !=
        ERROR_SUCCESS)
        return L"";
    wchar_t sid[256];
    auto same = [](const wchar_t* a, const wchar_t* b) { return appxcore::EqualsIgnoreCase(a, b); };
    return FindProfileSid(list.get(), folder.c_str(), sid, same) ? std::wstring(sid) : std::wstring();
}

QuillmarStoreAppManagementService::QuillmarStoreAppManagementService() : appx_(ServiceModuleSettings()) {}

void QuillmarStoreAppManagementService::OnStart() {
    eventLog_.Information(L"The Quillmar AppX Management Service has started");
    try {
        appxcore::ManageAppx startup(ServiceModuleSettings(), &eventLog_);
        startup.RunPendingTileBackups();
    } catch (const AppxError& error) {
        eventLog_.Error(L"ERROR: " + error.message());
    } catch (const std::exception& error) {
        eventLog_.Error(L"ERROR: " + Widen(error.what()));
    }
    HANDLE thread = CreateThread(nullptr, 0, ServerThreadProc, this, 0, nullptr);
    if (!thread)
        eventLog_.Error(ErrorMessage(HRESULT_FROM_WIN32(GetLastError())));
    else
        CloseHandle(thread);
}

DWORD WINAPI QuillmarStoreAppManagementService::ServerThreadProc(void* self) {
    auto* service = static_cast<QuillmarStoreAppManagementService*>(self);
    // An exception leaving a thread's top ends the whole process, and with it the service: whatever
    // escapes a request's own handler (a failed allocation while logging or between clients) is
    // logged here and the pipe served again.
    for (;;) {
        try {
            service->ServerThread();
        } catch (const AppxError& error) {
            service->LogServerFault(L"ERROR: " + error.message());
        } catch (const std::exception& error) {
            service->LogServerFault(L"ERROR: " + Widen(error.what()));
        } catch (...) {
            service->LogServerFault(L"ERROR: " + ErrorMessage(E_UNEXPECTED));
        }
        Sleep(PipeRetryFirstMs);
    }
}

void QuillmarStoreAppManagementService::LogServerFault(const std::wstring& text) noexcept {
    try {
        eventLog_.Error(text);
    } catch (...) {
        // Nowhere left to say it; the server goes on.
    }
}

void QuillmarStoreAppManagementService::ServerThread() {
    ServicePipe pipe;
    // The service stops by ending its process (main.cpp), so this serves until then.
    for (;;) {
        DWORD error = pipe.Create();
        // The instance just closed may take a moment to go while its client still holds its end,
        // and another process may have taken the name in the gap: keep trying, more slowly, for as
        // long as the service runs, and say so once per outage.
        DWORD waitMs = PipeRetryFirstMs;
        bool reported = false;
        while (error != ERROR_SUCCESS) {
            if (!reported && (error != ERROR_PIPE_BUSY || waitMs >= PipeRetryLongestMs)) {
                eventLog_.Error(ErrorMessage(HRESULT_FROM_WIN32(error)));
                reported = true;
            }
            Sleep(waitMs);
            waitMs = waitMs * 2 > PipeRetryLongestMs ? PipeRetryLongestMs : waitMs * 2;
            error = pipe.Create();
        }
        if (reported) eventLog_.Information(L"The service's pipe is open again.");
        ServeClient(pipe);
        pipe.Close();
    }
}

void QuillmarStoreAppManagementService::ServeClient(ServicePipe& pipe) {
    try {
        DWORD error = pipe.WaitForClient();
        if (error == ERROR_NO_DATA) return; // the client came and went before it was served
        if (error != ERROR_SUCCESS) appxcore::ThrowWin32(error);
        std::wstring text;
        error = pipe.ReadRequest(&text);
        if (error != ERROR_SUCCESS) appxcore::ThrowWin32(error);
        eventLog_.Information(L"Command recieved: " + (text.size() > MaxLoggedRequestChars
                                                           ? text.substr(0, MaxLoggedRequestChars)
                                                           : text));
        Dispatch(pipe, ParseRequest(text));
    } catch (const AppxError& error) {
        eventLog_.Error(L"ERROR: " + error.message());
    } catch (const std::exception& error) {
        eventLog_.Error(L"ERROR: " + Widen(error.what()));
    } catch (...) {
        eventLog_.Error(L"ERROR: " + ErrorMessage(E_UNEXPECTED));
    }
}

void QuillmarStoreAppManagementService::Dispatch(ServicePipe& pipe, const Request& request) {
    // Who asked lives only as long as this request: the next client starts with nothing of it.
    Caller caller;
    switch (request.command) {
    case Command::Invalid:
        Reply(pipe, L"Invalid Parameter");
        return;
    case Command::User:
        Listing(pipe, request, caller);
        return;
    case Command::Register:
        Registration(pipe, RegisterType::Force, caller);
        return;
    case Command::Priority:
        Registration(pipe, RegisterType::Priority, caller);
        return;
    case Command::Update:
        Registration(pipe, RegisterType::Update, caller);
        return;
    case Command::Version:
        Reply(pipe, ServiceVersionText());
        Reply(pipe, L"Start");
        return;
    case Command::GetSidFromProfilePath:
        Reply(pipe, GetSidFromProfilePath(Field(request, 0)));
        Reply(pipe, L"Start");
        return;
    case Command::RestoreMenu:
        RestoreMenu(pipe, caller);
        return;
    }
}

void QuillmarStoreAppManagementService::Reply(ServicePipe& pipe, const std::wstring& text) {
    DWORD error = pipe.WriteReply(text);
    if (error != ERROR_SUCCESS) appxcore::ThrowWin32(error);
}

void QuillmarStoreAppManagementService::TryReply(ServicePipe& pipe, const std::wstring& text) {
    if (pipe.WriteReply(text) != ERROR_SUCCESS) eventLog_.Information(L"Pipe has gone away");
}

void QuillmarStoreAppManagementService::TakeClientIdentity(ServicePipe& pipe, Caller& caller) {
    caller.token.reset(TakeClientToken(pipe.handle()));
    ClientIdentity identity = ReadTokenIdentity(caller.token.get());
    caller.sid = identity.sid;
    caller.localAppData = identity.localAppData;
    caller.profileFolder = identity.profileFolder;
}

std::wstring QuillmarStoreAppManagementService::ListingLinkRefusal(const std::wstring& listFile,
                                                                   const std::wstring& profile,
                                                                   bool windows10) {
    std::wstring base = LinkCheckBase(profile, listFile);
    if (base.empty() || PathCrossesLinkChecked(base.c_str(), listFile.c_str()))
        return L"the package list " + listFile + L" lies behind a folder link";
    if (windows10 && !profile.empty()) {
        static const wchar_t* const written[] = {L"\\AppData\\Local\\Quillmar\\Migrate\\Packages",
                                                 L"\\AppData\\Local\\Quillmar\\Migrate\\vedatamodel.edb"};
        for (const wchar_t* tail : written)
            if (PathCrossesLinkChecked(profile.c_str(), (profile + tail).c_str()))
                return L"the backup folder " + profile + tail + L" lies behind a folder link";
    }
    return L"";
}

void QuillmarStoreAppManagementService::Listing(ServicePipe& pipe, const Request& request, Caller& caller) {
    // LocalSystem writes the list where the client says and reads another profile's data: only
    // for a client that could do so itself.
    // A client whose token cannot be had (it cannot be impersonated, or allows only anonymous
    // impersonation) is refused the same way.
    bool allowed = false;
    try {
        caller.token.reset(TakeClientToken(pipe.handle()));
        allowed = ClientMayList(caller.token.get());
    } catch (const AppxError&) {
        allowed = false;
    }
    if (!allowed) {
        Reply(pipe, AccessDeniedReply);
        return;
    }
    std::wstring sid = Field(request, 0);
    std::wstring listFile = Field(request, 1);
    std::wstring profile = Field(request, 2);
    std::wstring newProfile = Field(request, 3);
    DWORD major = 0, minor = 0;
    appxcore::GetWindowsVersion(&major, &minor);
    bool windows10 = major >= 10 && !profile.empty();

    // The list, its temporary copy and the backups are written as LocalSystem in a folder the
    // profile's user owns: refused when a folder link lies on the way, and the folders on the way
    // are held open for the whole listing so that none can be swapped for a link meanwhile.
    std::wstring refusal = ListingLinkRefusal(listFile, profile, windows10);
    HeldFolder listFolder;
    if (refusal.empty()) {
        DWORD error = HoldFolderChain(LinkCheckBase(profile, listFile).c_str(), FolderOf(listFile).c_str(),
                                      true /* create */, &listFolder);
        if (error != ERROR_SUCCESS)
            refusal = L"the folder of the package list " + listFile + L" cannot be used: " +
                      ErrorMessage(HRESULT_FROM_WIN32(error));
    }
    if (!refusal.empty()) {
        eventLog_.Error(L"Listing refused for " + sid + L": " + refusal + L".");
        Reply(pipe, AccessDeniedReply);
        return;
    }
    Reply(pipe, L"Start");
    eventLog_.Information(L"Listing packages for " + sid);
    appx_.GetAppxPackagesBySid(sid, listFile, &eventLog_);
    if (windows10) {
        appx_.BackupAppSettings2(sid, profile);
        appx_.BackupAppFiles2(profile);
        appx_.vedatamodelDbBackup(profile, newProfile, true);
    }
}

class QuillmarStoreAppManagementService::RegistrationReplies : public appxcore::RegistrationHost {
  public:
    RegistrationReplies(QuillmarStoreAppManagementService& service, ServicePipe& pipe, const Caller& caller)
        : service_(service), pipe_(pipe), caller_(caller) {}

    // A client that has gone does not stop the work: its replies are only logged as lost.
    void Counted(int count) override { service_.TryReply(pipe_, std::to_wstring(count)); }
    void Registering(int index, int) override { service_.TryReply(pipe_, std::to_wstring(index)); }
    void Note(const std::wstring& line) override { service_.eventLog_.Information(line); }
    void AsUser(const std::function<void()>& steps) override {
        ActingAsClient client(caller_.token.get());
        steps();
    }
    // Written as the client, yet like everything the service writes in a user's folders, never
    // through a link.
    bool MayWriteFailureList(const std::wstring& path) override {
        if (!PathCrossesLinkChecked(caller_.profileFolder.c_str(), path.c_str())) return true;
        service_.eventLog_.Error(L"The failure list " + path + L" lies behind a folder link; not written.");
        return false;
    }
    // EdbNoRestore decides whether it is on; a Priority registration leaves it for the one after.
    void RestoreTileDatabase(appxcore::RegisterType mode) override {
        if (!TileRestoreEnabled())
            service_.eventLog_.Information(L"Restore of Tile Data Layer is disabled.");
        else if (mode != RegisterType::Priority)
            service_.RestoreTileDataLayer(caller_);
    }

  private:
    QuillmarStoreAppManagementService& service_;
    ServicePipe& pipe_;
    const Caller& caller_;
};

void QuillmarStoreAppManagementService::Registration(ServicePipe& pipe, RegisterType mode, Caller& caller) {
    // Who the client is, taken before the first reply: a client may leave right after "Start".
    std::wstring user = ClientUserName(pipe.handle());
    TakeClientIdentity(pipe, caller);
    TryReply(pipe, L"Start");
    eventLog_.Information(mode == RegisterType::Priority
                              ? L"Registering Priority Windows Store Apps for user " + user + L"."
                              : L"Registering Windows Store Apps for user " + user + L".");

    {
        UniqueKey repository;
        if (RegOpenKeyExW(HKEY_USERS, (caller.sid + RepositoryKey).c_str(), 0,
                          KEY_ALL_ACCESS | KEY_WOW64_64KEY, repository.put()) == ERROR_SUCCESS)
            SHDeleteKeyW(repository.get(), L"Families");
    }

    std::wstring listFile = caller.localAppData + L"\\Quillmar\\" + appxcore::PackageListName;
    if (!FileExists(listFile.c_str())) {
        eventLog_.Error(L"Migrate-AppxPackage file does not exist.");
        TryReply(pipe, L"Done");
        return;
    }
    std::vector<appxcore::PackageInfo> list;
    try {
        // The client's own file, read with the client's rights and never through a link.
        ActingAsClient client(caller.token.get());
        if (PathCrossesLinkChecked(caller.profileFolder.c_str(), listFile.c_str()))
            appxcore::ThrowWin32(ERROR_ACCESS_DENIED);
        list = appxcore::ReadPackageList(listFile);
    } catch (const AppxError& error) {
        eventLog_.Error(L"Cannot open Package List: " + error.message());
        list.clear();
    }

    // Refreshed as LocalSystem; counted, registered and restored into the client's folders as the
    // client; settings and the tile database restored as LocalSystem.
    appxcore::RegistrationPlan plan;
    plan.mode = mode;
    plan.userSid = caller.sid;
    plan.profileFolder = caller.profileFolder;
    plan.failureList = caller.localAppData + L"\\Quillmar\\" + appxcore::FailureListName;
    plan.refreshVersions = true;
    plan.restoreSettingsInEveryMode = true;
    plan.restoreTileDatabase = true;
    RegistrationReplies host(*this, pipe, caller);
    appxcore::RegisterPackageList(appx_, list, plan, host);
    eventLog_.Information(L"Registration complete");
    TryReply(pipe, L"Done");
}

void QuillmarStoreAppManagementService::RestoreMenu(ServicePipe& pipe, Caller& caller) {
    std::wstring user = ClientUserName(pipe.handle());
    TakeClientIdentity(pipe, caller);
    Reply(pipe, L"Start");
    eventLog_.Information(L"Restoring menu for user " + user + L".");
    RestoreTileDataLayer(caller);
    Reply(pipe, L"Done");
}

// The tile library runs on this thread while it impersonates the client: the library does its file
// steps with the client's rights (they are the client's own files) and only its service steps as
// LocalSystem. Its result is not used.
void QuillmarStoreAppManagementService::RestoreTileDataLayer(const Caller& caller) {
    try {
        // A user chooses where their Local AppData lies (User Shell Folders); LocalSystem empties and
        // fills a folder there only when it lies in the user's own profile folder, which an
        // administrator set, and no folder from the profile folder down is a link.
        if (!IsBelowFolder(caller.profileFolder, caller.localAppData))
            appxcore::ThrowWin32(ERROR_ACCESS_DENIED);
        for (const wchar_t* tail : {L"\\TileDataLayer\\Database", L"\\Quillmar\\Migrate\\vedatamodel.edb"}) {
            std::wstring path = caller.localAppData + tail;
            if (PathCrossesLinkChecked(caller.profileFolder.c_str(), path.c_str())) {
                eventLog_.Error(L"A folder link lies on the way to " + path +
                                L"; the tile database is not restored.");
                appxcore::ThrowWin32(ERROR_ACCESS_DENIED);
            }
        }
        // From the Windows folder, where the tool put it: never found by the library search.
        wchar_t windows[MAX_PATH];
        UINT length = GetWindowsDirectoryW(windows, MAX_PATH);
        if (length == 0 || length >= MAX_PATH)
            appxcore::ThrowWin32(length ? ERROR_BUFFER_OVERFLOW : GetLastError());
        std::wstring libraryPath = std::wstring(windows) + L"\\kelvohlp.dll";
        HMODULE library = LoadLibraryExW(libraryPath.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
        if (!library) appxcore::ThrowWin32(GetLastError());
        auto restore = reinterpret_cast<DWORD(WINAPI*)(const wchar_t*)>(
            reinterpret_cast<void*>(GetProcAddress(library, "RestoreTileDataLayer")));
        if (!restore) {
            DWORD error = GetLastError();
            FreeLibrary(library);
            appxcore::ThrowWin32(error);
        }
        {
            ActingAsClient client(caller.token.get());
            restore(caller.localAppData.c_str());
        }
        FreeLibrary(library);
    } catch (const AppxError& error) {
        eventLog_.Information(L"Restore of Tile Data Layer fails. " + error.message());
    }
}

} // namespace appxservice
