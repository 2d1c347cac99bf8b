// kelvohlp.dll: moves a user's Start-menu tile database between its live place and its backup
// beside the package lists while the tile data model service is stopped and disabled. Returns
// Win32 codes; writes its log to <common application data>\Quillmar\Error Reporting\kelvohlp.log.
#pragma once

#include "base/raii.h"

#include <windows.h>

#include <string>
#include <vector>

namespace tilehelper {

extern const wchar_t* const TileServiceName; // "tiledatamodelsvc"
extern const wchar_t* const ServiceOwnerSid; // TrustedInstaller's service SID

// Whose rights the file steps use and where their link checks start.
struct FileIdentity {
    UniqueHandle client; // the token the caller impersonated; empty: the library's own account
    std::wstring base;   // the client's profile folder, or the folder the caller chose
};
// Reads the calling thread's impersonation token, if any. With one, the argument must lie in that
// token's profile folder (ERROR_ACCESS_DENIED if not), which becomes the base; without one, the
// base is the folder above "\AppData\Local" of the argument, or the argument itself.
DWORD TakeFileIdentity(const wchar_t* localAppData, FileIdentity* identity);
// The file steps: a restore empties the live database folder and copies the backup in; a backup
// copies the live database out. Done with the identity's rights and through checked handles.
void MoveTileDatabaseFiles(const wchar_t* localAppData, bool backup, const FileIdentity& identity);

// Enables the privileges, prepares the tile service once per machine, moves the database
// (backup: live to backup; restore: backup to live) and restarts the service. The result is that
// of the service steps of the last TransferTileDatabase.
DWORD RunTileDataLayerOperation(const wchar_t* localAppData, bool backup);
// Makes the calling account able to reconfigure the tile service (owner, one access-allowed entry,
// owner given back), then sets "SystemInitialized" to 1 whatever the service steps did.
void PrepareTileServiceAccess();
// Stops and disables the tile service, copies the database, sets the service back to automatic and
// starts it. 0 when the service was left enabled and running, else the failing step's code.
DWORD TransferTileDatabase(const wchar_t* localAppData, bool backup, const FileIdentity& identity);
// Deletes every file below folder (which lies below base); folders stay, links are neither entered
// nor deleted through (checked on each handle from base down). 0 or the first failure's code.
DWORD DeleteFilesInTree(const std::wstring& base, const std::wstring& folder);
// Appends "dd/mm/yyyy hh:mm:ss <message>\r\n" to the log, the message in the ANSI code page and
// formatted into 260 characters, as the library's own account even while the thread impersonates.
// The log's folders are made (or taken back) with a DACL that lets only LocalSystem and
// Administrators write; nothing is written when a folder on the way or the log is a link, or the
// log has a second name, or the file cannot be opened.
void AppendHelperLog(const wchar_t* format, ...);
// The log file's path; nothing is created.
std::wstring HelperLogPath();

// The service's DACL with one more entry: access allowed, SERVICE_CHANGE_CONFIG, flags 3, for sid,
// placed before the first old entry whose flags are exactly 3, else at the end. False when the
// old DACL cannot be read; faults with single entries go to the debugger output.
bool BuildDaclWithChangeConfig(PACL oldDacl, PSID sid, std::vector<BYTE>* newDacl);

} // namespace tilehelper

extern "C" {
DWORD WINAPI BackupTileDataLayer(const wchar_t* localAppData);
DWORD WINAPI RestoreTileDataLayer(const wchar_t* localAppData);
}
