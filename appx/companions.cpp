// Writing the companion files from the tool's own resources.
#include "appx/appx.h"

#include "driver/common.h"
#include "base/files.h"
#include "base/raii.h"

#include <shlobj.h>
#include <wchar.h>

namespace {

typedef BOOL(WINAPI* IsWow64ProcessFn)(HANDLE, PBOOL);
typedef BOOL(WINAPI* Wow64DisableFn)(PVOID*);
typedef BOOL(WINAPI* Wow64RevertFn)(PVOID);

bool RunningUnderWow64() {
    HMODULE kernel = GetModuleHandleW(L"kernel32");
    IsWow64ProcessFn isWow64 = kernel ? reinterpret_cast<IsWow64ProcessFn>(
                                            reinterpret_cast<void*>(GetProcAddress(kernel, "IsWow64Process")))
                                      : nullptr;
    BOOL wow64 = FALSE;
    if (isWow64 && !isWow64(GetCurrentProcess(), &wow64)) wow64 = FALSE;
    return wow64 != FALSE;
}

template <class Fn> Fn RedirectionEntry(const char* name) {
    HMODULE kernel = GetModuleHandleW(L"Kernel32.dll");
    return kernel ? reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(kernel, name))) : nullptr;
}

// The 32-bit tool on 64-bit Windows would otherwise write into SysWOW64 and the 32-bit view of
// the Windows folder, where neither Active Setup nor the service control manager looks. The switch
// is per thread; it is switched back before the writer returns.
class RedirectionOff {
  public:
    explicit RedirectionOff(bool wow64) {
        if (!wow64) return;
        Wow64DisableFn disable = RedirectionEntry<Wow64DisableFn>("Wow64DisableWow64FsRedirection");
        if (disable && disable(&saved_)) off_ = true;
    }
    ~RedirectionOff() {
        if (!off_) return;
        DWORD keep = GetLastError();
        if (Wow64RevertFn revert = RedirectionEntry<Wow64RevertFn>("Wow64RevertWow64FsRedirection"))
            revert(saved_);
        SetLastError(keep);
    }
    RedirectionOff(const RedirectionOff&) = delete;
    RedirectionOff& operator=(const RedirectionOff&) = delete;

  private:
    PVOID saved_ = nullptr;
    bool off_ = false;
};

struct ResourceBytes {
    const void* data = nullptr;
    DWORD size = 0;
};

// Finds a BINARY resource of the tool's own image. The neutral language lets the system take the
// one language the resource is stored in. 0, or the code of the failing lookup.
DWORD LoadCompanion(WORD id, ResourceBytes* bytes) {
    HRSRC found = FindResourceExW(nullptr /* own image */, L"BINARY", MAKEINTRESOURCEW(id), 0 /* neutral */);
    if (!found) return GetLastError();
    HGLOBAL loaded = LoadResource(nullptr, found);
    if (!loaded) return GetLastError();
    bytes->data = LockResource(loaded);
    bytes->size = SizeofResource(nullptr, found);
    if (!bytes->data) return ERROR_RESOURCE_DATA_NOT_FOUND;
    return 0;
}

// CREATE_ALWAYS and one WriteFile of all the bytes. 0 or the code of the failing call.
DWORD WriteBytes(const wchar_t* path, const ResourceBytes& bytes) {
    UniqueFile file(CreateFileW(path, GENERIC_ALL, FILE_SHARE_READ, nullptr /* security */, CREATE_ALWAYS,
                                0 /* no flags or attributes */, nullptr /* template */));
    if (!file) return GetLastError();
    DWORD written = 0;
    if (!WriteFile(file.get(), bytes.data, bytes.size, &written, nullptr)) return GetLastError();
    if (written != bytes.size) return ERROR_WRITE_FAULT;
    return 0;
}

// folder + tail into a 260-character buffer; false when it would not fit.
bool ComposePath(wchar_t* path, const wchar_t* folder, const wchar_t* tail) {
    return FormatBounded(path, MAX_PATH, L"%ws%ws", folder, tail) == S_OK;
}

bool GetFolder(int csidl, wchar_t* folder) {
    return SUCCEEDED(
        SHGetFolderPathW(nullptr /* no window */, csidl, nullptr /* no token */, SHGFP_TYPE_CURRENT, folder));
}

} // namespace

DWORD InstallUpdaterFiles() {
    bool wow64 = RunningUnderWow64();
    ResourceBytes bytes;
    DWORD code = LoadCompanion(UpdaterResource, &bytes);
    if (code != 0) return code;
    wchar_t windows[MAX_PATH], target[MAX_PATH];
    if (!GetFolder(CSIDL_WINDOWS, windows)) return ERROR_PATH_NOT_FOUND;
    if (!ComposePath(target, windows, L"\\kelvo2.exe")) return ERROR_FILENAME_EXCED_RANGE;
    if (IsUpdaterCurrent(target)) return 0;

    RedirectionOff redirection(wow64);
    code = WriteBytes(target, bytes);
    GuardedPtr library(GuardedAllocChars(MAX_PATH));
    if (library && ComposePath(library.chars(), windows, L"\\kelvohlp.dll"))
        WriteTileDataLibrary(library.chars()); // reported by nobody: only the updater's code counts
    return code;
}

DWORD InstallServiceProgram() {
    bool wow64 = RunningUnderWow64();
    ResourceBytes bytes;
    DWORD code = LoadCompanion(ServiceProgramResource, &bytes);
    if (code != 0) return code;
    wchar_t programFiles[MAX_PATH], folder[MAX_PATH], target[MAX_PATH];
    if (!GetFolder(CSIDL_PROGRAM_FILES, programFiles)) return ERROR_PATH_NOT_FOUND;
    if (!ComposePath(folder, programFiles, L"\\Quillmar")) return ERROR_FILENAME_EXCED_RANGE;
    CreateDirectoryW(folder, nullptr); // an existing folder is no error; a missing one shows below
    if (!ComposePath(folder, programFiles, L"\\Quillmar\\AppX Management Service"))
        return ERROR_FILENAME_EXCED_RANGE;
    CreateDirectoryW(folder, nullptr);
    if (!ComposePath(target, folder, L"\\QuillmarAppxService.exe")) return ERROR_FILENAME_EXCED_RANGE;

    RedirectionOff redirection(wow64);
    return WriteBytes(target, bytes);
}

DWORD WriteTileDataLibrary(const wchar_t* path) {
    bool wow64 = RunningUnderWow64();
    ResourceBytes bytes;
    DWORD code = LoadCompanion(TileLibraryResource, &bytes);
    if (code != 0) return code;
    RedirectionOff redirection(wow64);
    return WriteBytes(path, bytes);
}

bool IsUpdaterCurrent(const wchar_t* path) {
    CFileVersionInfo info;
    if (!info.LoadFromFile(path)) return false;
    WORD major = info.FileMajor(), minor = info.FileMinor(), build = info.FileBuild();
    info.Reset();
    if (major != 2) return major > 2;
    if (minor != 11) return minor > 11;
    return build >= 2;
}

bool IsUpdaterInWindowsFolder() {
    wchar_t windows[MAX_PATH], path[MAX_PATH];
    if (!GetFolder(CSIDL_WINDOWS, windows) || !ComposePath(path, windows, L"\\kelvo2.exe")) return false;
    // The 32-bit tool on 64-bit Windows must see the folder InstallUpdaterFiles wrote to.
    RedirectionOff redirection(RunningUnderWow64());
    return FileExists(path);
}
