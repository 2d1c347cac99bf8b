// Printer connections of the mounted default hive and the print spooler restart.
#include "profile/printers.h"

#include "driver/common.h"
#include "profile/hive_clean.h"
#include "base/raii.h"

#include <shlwapi.h>
#include <wchar.h>

namespace {

const wchar_t ConnectionsKeyTemplate[] = L"%ws\\Printers\\Connections";
// The Print key is shared between the 32-bit and 64-bit registry views, so the 32-bit tool needs no
// view flag to reach the spooler's own cache.
const wchar_t CacheKeyTemplate[] = L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Print\\Providers\\"
                                   L"Client Side Rendering Print Provider\\Servers\\%ws\\Printers\\%ws";
// The template's own text once both names are filled in; one more character for the terminator.
const DWORD CacheKeyFixedChars = 116;
const DWORD SpoolerPollLimit = 60;
const DWORD SpoolerPollMilliseconds = 500;

// The byte count of a value, or 0 when it is missing or cannot be queried. The query's own result
// goes to *result.
DWORD ValueBytes(HKEY key, const wchar_t* name, LONG* result) {
    DWORD bytes = 0;
    *result = RegQueryValueExW(key, name, nullptr, nullptr, nullptr, &bytes);
    return *result == ERROR_SUCCESS ? bytes : 0;
}

// Reads a value as a wide string into a zero-filled guarded block of bytes / 2 characters plus a
// terminator of its own, so data stored without one still ends inside the block.
LONG ReadText(HKEY key, const wchar_t* name, DWORD bytes, GuardedPtr* text) {
    DWORD chars = bytes / 2;
    text->reset(GuardedAllocChars(chars + 1));
    if (!*text) return ERROR_OUTOFMEMORY;
    DWORD readBytes = chars * sizeof(wchar_t);
    return RegQueryValueExW(key, name, nullptr, nullptr, text->as<BYTE>(), &readBytes);
}

// A cache key name must be one plain key name: the values come from the user's hive and are put
// into a deletion below HKEY_LOCAL_MACHINE.
bool IsSingleKeyName(const wchar_t* name) {
    return name[0] != L'\0' && wcschr(name, L'\\') == nullptr;
}

// Deletes the cache key of one connection. The status the walk records: the "Server" size query's
// result, then the deletion's. Connections without usable values leave the status as it was.
void ResetConnection(HKEY connections, const wchar_t* subkeyName, DWORD* status) {
    UniqueKey connection;
    if (RegOpenKeyExW(connections, subkeyName, 0, KEY_READ | HiveView, connection.put()) != ERROR_SUCCESS)
        return;

    LONG query;
    DWORD guidBytes = ValueBytes(connection.get(), L"GuidPrinter", &query);
    if (guidBytes == 0) return;
    guidBytes &= ~1u;
    GuardedPtr guid;
    if (ReadText(connection.get(), L"GuidPrinter", guidBytes, &guid) != ERROR_SUCCESS) return;

    DWORD serverBytes = ValueBytes(connection.get(), L"Server", &query);
    *status = static_cast<DWORD>(query);
    if (serverBytes == 0) return;
    GuardedPtr server;
    if (ReadText(connection.get(), L"Server", serverBytes, &server) != ERROR_SUCCESS) return;

    const wchar_t* serverName = server.chars();
    if (wcsncmp(serverName, L"\\\\", 2) == 0) serverName += 2;
    if (!IsSingleKeyName(serverName) || !IsSingleKeyName(guid.chars())) {
        *status = ERROR_FILE_NOT_FOUND; // no single printer key by that name
        return;
    }

    // Both names fit whole: each is at most its value's size in characters.
    DWORD pathChars = guidBytes / 2 + serverBytes / 2 + CacheKeyFixedChars + 1;
    GuardedPtr cacheKey(GuardedAllocChars(pathChars));
    if (!cacheKey) {
        *status = ERROR_OUTOFMEMORY;
        return;
    }
    FormatBounded(cacheKey.chars(), pathChars, CacheKeyTemplate, serverName, guid.chars());
    *status = SHDeleteKeyW(HKEY_LOCAL_MACHINE, cacheKey.chars());
}

} // namespace

DWORD ResetPrinterConnections(const wchar_t* hiveRoot) {
    if (hiveRoot == nullptr || hiveRoot[0] == L'\0') return ERROR_INVALID_PARAMETER;

    DWORD status;
    {
        GuardedPtr keyPath(GuardedAllocChars(MAX_PATH));
        if (!keyPath) return ERROR_OUTOFMEMORY;

        UniqueKey connections;
        if (FormatBounded(keyPath.chars(), MAX_PATH, ConnectionsKeyTemplate, hiveRoot) != S_OK)
            status = ERROR_INSUFFICIENT_BUFFER; // a cut path could name another key
        else
            status = RegOpenKeyExW(HKEY_USERS, keyPath.chars(), 0, KEY_READ | HiveView, connections.put());

        if (status == ERROR_SUCCESS) {
            // A failure at one index skips it; past the subkeys counted at the open, any failure ends
            // the walk, so it always comes to an end.
            DWORD subkeys = 0;
            if (RegQueryInfoKeyW(connections.get(), nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr,
                                 nullptr, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
                subkeys = 0;
            for (DWORD index = 0;; ++index) {
                wchar_t name[256];
                DWORD nameChars = 256;
                LONG enumerated = RegEnumKeyExW(connections.get(), index, name, &nameChars, nullptr, nullptr,
                                                nullptr, nullptr);
                if (enumerated == ERROR_NO_MORE_ITEMS) break;
                if (enumerated != ERROR_SUCCESS) {
                    if (index >= subkeys) break;
                    continue;
                }
                ResetConnection(connections.get(), name, &status);
            }
        }
    } // the key-path buffer is released before the spooler is touched

    switch (status) {
    case ERROR_SUCCESS:
        if (RestartSpooler() != ERROR_SUCCESS)
            ConsolePrint(L"%ws\r\n", L"Failed to restart spooler service.");
        return ERROR_SUCCESS;
    case ERROR_FILE_NOT_FOUND:
        return ERROR_FILE_NOT_FOUND;
    default:
        ConsolePrint(L"%ws\r\n", L"Reset printers failed.");
        return status;
    }
}

DWORD RestartSpooler() {
    UniqueService manager(OpenSCManagerW(nullptr, // local machine
                                         nullptr, // default database
                                         SC_MANAGER_ALL_ACCESS));
    if (!manager) return GetLastError();

    // Declared before the lock so that the clean-up order is: unlock, close service, close manager.
    UniqueService spooler;
    SC_LOCK lock = LockServiceDatabase(manager.get());
    if (lock == nullptr) return GetLastError();
    auto unlock = MakeScopeExit([&lock] {
        if (lock != nullptr) UnlockServiceDatabase(lock);
    });

    spooler.reset(OpenServiceW(manager.get(), L"Spooler",
                               SERVICE_CHANGE_CONFIG | SERVICE_QUERY_STATUS | SERVICE_START | SERVICE_STOP));
    if (!spooler) return GetLastError();

    DWORD code = 0;
    if (!ChangeServiceConfigW(spooler.get(),
                              SERVICE_NO_CHANGE,  // service type
                              SERVICE_AUTO_START, //
                              SERVICE_NO_CHANGE,  // error control
                              nullptr,            // binary path
                              nullptr,            // load-order group
                              nullptr,            // tag
                              nullptr,            // dependencies
                              nullptr,            // account
                              nullptr,            // password
                              nullptr)) {         // display name
        code = GetLastError();
    }

    SERVICE_STATUS status = {};
    if (!ControlService(spooler.get(), SERVICE_CONTROL_STOP, &status)) {
        DWORD stopError = GetLastError();
        // A spooler that is not running needs no stop; an earlier failure still stands.
        if (stopError != ERROR_SERVICE_NOT_ACTIVE) code = stopError;
    } else if (status.dwCurrentState != SERVICE_STOPPED) {
        for (DWORD poll = 0; poll < SpoolerPollLimit; ++poll) {
            Sleep(SpoolerPollMilliseconds);
            if (!QueryServiceStatus(spooler.get(), &status)) {
                code = GetLastError();
                continue;
            }
            if (status.dwCurrentState == SERVICE_STOPPED) break;
        }
    }

    // The start must not run under the lock: a locked database refuses it.
    UnlockServiceDatabase(lock);
    lock = nullptr;

    if (!StartServiceW(spooler.get(), 0, nullptr)) {
        DWORD startError = GetLastError();
        if (code == 0) code = startError;
    }
    return code;
}
