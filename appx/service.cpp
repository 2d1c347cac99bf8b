// The AppX Management Service as the tool sees it: the question, installation, start and
// readiness, the configured program path, and removal with its files.
#include "appx/appx.h"

#include "driver/common.h"
#include "base/raii.h"
#include "base/tree.h"

#include <shlobj.h>
#include <wchar.h>

namespace {

const wchar_t* const ServiceDescription =
    L"The Quillmar AppX Management Service is used by Quillmar user profile "
    L"management applications to manage Windows Store Apps.";
const wchar_t* const InstallQuestion =
    L"Corvane needs to install the Quillmar AppX Management Service to manage "
    L"Windows Store Apps for the default profile. Is this OK (Y/n)? ";
const wchar_t* const ProgramTail = L"\\Quillmar\\AppX Management Service\\QuillmarAppxService.exe";
const wchar_t* const ProgramFolderTail = L"\\Quillmar\\AppX Management Service";
const DWORD ReadinessControl = 128;
const DWORD DeleteAttempts = 30;

// Prints a code's text as ReportError does, without its result.
void PrintCodeText(DWORD code) {
    wchar_t* text = nullptr;
    GetErrorText(code, &text);
    UniqueLocal owner(text);
    if (text) ConsolePrint(L"%ws\r\n", text);
}

// The question in bright yellow; the previous colours come back before the answer is read.
bool AskToInstall() {
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    CONSOLE_SCREEN_BUFFER_INFO info;
    bool coloured = out != INVALID_HANDLE_VALUE && GetConsoleScreenBufferInfo(out, &info) &&
                    SetConsoleTextAttribute(out, 14 /* bright yellow on black */);
    ConsolePrint(L"%ws", InstallQuestion);
    fflush(stdout); // the text must reach the console while the colour is still set
    if (coloured) SetConsoleTextAttribute(out, info.wAttributes);
    return ReadInstallAnswer(stdin);
}

// A path with spaces is registered in quotes: unquoted, the service control manager would try
// "C:\Program.exe" and "C:\Program Files\Quillmar\AppX.exe" first. The result is a guarded block.
wchar_t* QuotedProgramPath(const wchar_t* path) {
    size_t length = wcslen(path);
    GuardedPtr quoted(GuardedAllocChars(length + 3));
    if (!quoted) return nullptr;
    if (path[0] == L'"')
        wmemcpy(quoted.chars(), path, length + 1);
    else
        FormatBounded(quoted.chars(), length + 3, L"\"%ws\"", path);
    return static_cast<wchar_t*>(quoted.release());
}

} // namespace

bool ReadInstallAnswer(FILE* input) {
    GuardedPtr answer(GuardedAllocChars(MAX_PATH));
    if (!answer) return false;
    wchar_t* text = answer.chars();
    if (!fgetws(text, MAX_PATH, input)) return true; // end of input: the default answer
    size_t length = wcslen(text);
    if (length == MAX_PATH - 1 && text[length - 1] != L'\n') {
        // Too long to be "y": consume the rest so none of it is read as a later answer.
        wint_t c;
        do
            c = fgetwc(input);
        while (c != WEOF && c != L'\n');
        return false;
    }
    while (length > 0 && (text[length - 1] == L'\n' || text[length - 1] == L'\r'))
        text[--length] = L'\0';
    return length == 0 || _wcsicmp(text, L"y") == 0;
}

bool PrepareAppxService(bool quiet, DWORD* failure) {
    DWORD ignored;
    if (!failure) failure = &ignored;
    *failure = 0;
    if (!ServiceExists(AppxServiceName, nullptr /* local */)) {
        if (!quiet && !AskToInstall()) return false;
        DWORD code = InstallServiceProgram();
        if (code != 0) {
            PrintCodeText(code);
            *failure = code;
            return false;
        }
    }
    DWORD code = EnsureAppxServiceRunning();
    if (code == 0)
        ConsolePrint(L"The Quillmar AppX Management Service is running.\r\n");
    else
        PrintCodeText(code);
    *failure = code;
    return true;
}

DWORD EnsureAppxServiceRunning() {
    if (IsServiceRunning(AppxServiceName, nullptr, nullptr)) return 0;
    DWORD why = GetLastError();
    wchar_t* path = nullptr;
    DWORD code;
    if (why == ERROR_SERVICE_DOES_NOT_EXIST) {
        GetServiceProgramPath(&path);
        UniqueGuarded owner(path);
        if (!path) return ERROR_OUTOFMEMORY;
        code = InstallAndStartService(AppxServiceName, AppxServiceDisplayName, ServiceDescription, path,
                                      SERVICE_AUTO_START, nullptr);
    } else {
        code = GetServiceBinaryPath(nullptr, &path, AppxServiceName, nullptr);
        UniqueHeap owner(path);
        if (code != 0) return code;
        code = InstallAndStartService(AppxServiceName, AppxServiceDisplayName, ServiceDescription, path,
                                      SERVICE_AUTO_START, nullptr);
    }
    return code == ERROR_SERVICE_EXISTS ? 0 : code;
}

DWORD GetServiceProgramPath(wchar_t** path) {
    *path = GuardedAllocChars(MAX_PATH);
    if (!*path) return 0;
    wchar_t programFiles[MAX_PATH] = {};
    SHGetFolderPathW(nullptr, CSIDL_PROGRAM_FILES, nullptr, SHGFP_TYPE_CURRENT, programFiles);
    FormatBounded(*path, MAX_PATH, L"%ws%ws", programFiles, ProgramTail);
    return 0;
}

DWORD WaitForServiceReady(SC_HANDLE service, DWORD maxPolls) {
    for (DWORD poll = 0; poll < maxPolls; ++poll) {
        Sleep(1000);
        SERVICE_STATUS status = {};
        if (ControlService(service, ReadinessControl, &status)) return 0;
        DWORD code = GetLastError();
        if (code != ERROR_SERVICE_CANNOT_ACCEPT_CTRL) return code;
    }
    return ERROR_SERVICE_REQUEST_TIMEOUT;
}

DWORD InstallAndStartService(const wchar_t* serviceName, const wchar_t* displayName,
                             const wchar_t* description, const wchar_t* programPath, DWORD startType,
                             const wchar_t* machine) {
    UniqueService manager(OpenSCManagerW(machine, nullptr /* active database */, SC_MANAGER_CREATE_SERVICE));
    if (!manager) return GetLastError();
    GuardedPtr quoted(QuotedProgramPath(programPath));
    if (!quoted) return ERROR_OUTOFMEMORY;
    DWORD pending = 0;
    UniqueService service(CreateServiceW(
        manager.get(), serviceName, displayName, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS, startType,
        SERVICE_ERROR_NORMAL, quoted.chars(), nullptr /* no group */, nullptr /* no tag */,
        nullptr /* no dependencies */, nullptr /* LocalSystem */, nullptr /* no password */));
    if (service) {
        if (description) {
            SERVICE_DESCRIPTIONW text = {const_cast<wchar_t*>(description)};
            ChangeServiceConfig2W(service.get(), SERVICE_CONFIG_DESCRIPTION,
                                  &text); // a missing text is harmless
        }
    } else {
        DWORD code = GetLastError();
        if (code != ERROR_SERVICE_EXISTS) return code;
        // An existing service keeps its own description and program path.
        service.reset(OpenServiceW(manager.get(), serviceName, SERVICE_ALL_ACCESS));
        if (!service) return GetLastError();
        pending = ERROR_SERVICE_EXISTS;
    }
    if (!StartServiceW(service.get(), 0, nullptr)) {
        DWORD code = GetLastError();
        return code == ERROR_SERVICE_ALREADY_RUNNING ? 0 : code;
    }
    DWORD code = WaitForServiceReady(service.get(), ReadinessPollLimit);
    return code != 0 ? code : pending;
}

DWORD StopAndDeleteService(const wchar_t* serviceName, const wchar_t* machine) {
    UniqueService manager(OpenSCManagerW(machine, nullptr, SC_MANAGER_CREATE_SERVICE));
    if (!manager) return GetLastError();
    UniqueService service(OpenServiceW(manager.get(), serviceName, SERVICE_ALL_ACCESS));
    if (!service) return GetLastError();
    SERVICE_STATUS status = {};
    SetLastError(0);
    if (!ControlService(service.get(), SERVICE_CONTROL_STOP, &status)) {
        DWORD code = GetLastError();
        if (code != ERROR_SERVICE_NOT_ACTIVE && code != 0) return code;
    }
    // The manager removes the service once it has stopped; nothing waits for that here.
    if (!DeleteService(service.get())) return GetLastError();
    return 0;
}

DWORD DeleteAppxServiceFiles() {
    GuardedPtr path(GuardedAllocChars(MAX_PATH));
    if (!path) return 0;
    wchar_t* text = path.chars();
    if (FAILED(SHGetFolderPathW(nullptr, CSIDL_PROGRAM_FILES, nullptr, SHGFP_TYPE_CURRENT, text))) return 0;
    size_t base = wcslen(text);
    if (FormatBounded(text + base, MAX_PATH - base, L"%ws", ProgramTail) != S_OK) return 0;
    // The stopping service may hold its program for a moment.
    for (DWORD attempt = 0; attempt < DeleteAttempts; ++attempt) {
        if (DeleteFileW(text)) break;
        if (GetLastError() != ERROR_ACCESS_DENIED) break;
        Sleep(1000);
    }
    text[base] = L'\0';
    if (FormatBounded(text + base, MAX_PATH - base, L"%ws", ProgramFolderTail) == S_OK)
        DeleteTree(text, false);
    return 0;
}

DWORD GetServiceBinaryPath(SC_HANDLE service, wchar_t** path, const wchar_t* serviceName,
                           const wchar_t* machine) {
    UniqueService manager, opened;
    if (!service) {
        if (!serviceName) return ERROR_INVALID_PARAMETER;
        manager.reset(OpenSCManagerW(machine, nullptr, SC_MANAGER_CONNECT));
        if (!manager) return GetLastError();
        opened.reset(OpenServiceW(manager.get(), serviceName, SERVICE_QUERY_CONFIG));
        if (!opened) return GetLastError();
        service = opened.get();
    }
    DWORD needed = 0;
    QueryServiceConfigW(service, nullptr, 0, &needed);
    if (needed == 0) return GetLastError();
    HANDLE heap = GetProcessHeap();
    UniqueHeap block(HeapAlloc(heap, HEAP_ZERO_MEMORY, needed));
    if (!block) return ERROR_OUTOFMEMORY;
    QUERY_SERVICE_CONFIGW* config = static_cast<QUERY_SERVICE_CONFIGW*>(block.get());
    if (!QueryServiceConfigW(service, config, needed, &needed)) return GetLastError();
    const wchar_t* binary = config->lpBinaryPathName ? config->lpBinaryPathName : L"";
    size_t length = wcslen(binary);
    wchar_t* copy = static_cast<wchar_t*>(HeapAlloc(heap, HEAP_ZERO_MEMORY, (length + 1) * sizeof(wchar_t)));
    if (!copy) return ERROR_OUTOFMEMORY;
    wmemcpy(copy, binary, length);
    *path = copy; // the caller's, released with HeapFree
    return 0;
}

bool IsServiceRunning(const wchar_t* serviceName, const wchar_t* machine, DWORD* state) {
    UniqueService manager(OpenSCManagerW(machine, nullptr, SC_MANAGER_CONNECT));
    if (!manager) return false;
    UniqueService service(OpenServiceW(manager.get(), serviceName, SERVICE_QUERY_STATUS));
    if (!service) return false; // the handle owner keeps the open's last-error value
    SERVICE_STATUS_PROCESS status = {};
    DWORD needed = 0;
    DWORD code = 0;
    bool running = false;
    if (!QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status),
                              sizeof status, &needed)) {
        code = GetLastError();
    } else {
        running = status.dwCurrentState == SERVICE_RUNNING;
        if (state) *state = status.dwCurrentState;
    }
    service.reset();
    manager.reset();
    SetLastError(code);
    return running;
}

bool ServiceExists(const wchar_t* serviceName, const wchar_t* machine) {
    UniqueService manager(OpenSCManagerW(machine, nullptr, SC_MANAGER_CONNECT));
    if (!manager) return false;
    UniqueService service(OpenServiceW(manager.get(), serviceName, SERVICE_QUERY_STATUS));
    if (!service) {
        DWORD code = GetLastError();
        manager.reset();
        SetLastError(code == ERROR_SERVICE_DOES_NOT_EXIST ? 0 : code);
        return false;
    }
    service.reset();
    manager.reset();
    SetLastError(0);
    return true;
}
