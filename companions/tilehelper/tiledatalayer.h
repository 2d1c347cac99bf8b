// kelvohlp.dll: moves a user's Start-menu tile database between its live place and its backup
// beside the package lists while the tile data model service is stopped and disabled. Returns
// Win32 codes; writes its log to <common application data>\Quillmar\Error Reporting\kelvohlp.log.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace tilehelper {

extern const wchar_t* const TileServiceName; // "tiledatamodelsvc"
extern const wchar_t* const ServiceOwnerSid; // TrustedInstaller's service SID

// Enables the privileges, prepares the tile service once per machine, moves the database
// (backup: live to backup; restore: backup to live) and restarts the service. The result is that
// of the service steps of the last TransferTileDatabase.
DWORD RunTileDataLayerOperation(const wchar_t* localAppData, bool backup);
// Makes the calling account able to reconfigure the tile service (owner, one access-allowed entry,
// owner given back), then sets "SystemInitialized" to 1 whatever the service steps did.
void PrepareTileServiceAccess();
// Stops and disables the tile service, copies the database, sets the service back to automatic and
// starts it. 0 when the service was left enabled and running, else the failing step's code.
DWORD TransferTileDatabase(const wchar_t* localAppData, bool backup);
// Deletes every file below folder; folders stay, and directory links are not entered.
void DeleteFilesInTree(const std::wstring& folder);
// Appends "dd/mm/yyyy hh:mm:ss <message>\r\n" to the log, the message in the ANSI code page and
// formatted into 260 characters. Nothing is written when the file cannot be opened.
void AppendHelperLog(const wchar_t* format, ...);
// The log file's path (its folders are created).
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
