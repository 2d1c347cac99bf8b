// The tool's side of the Store-app support: the companion files it carries as resources, the life of
// the AppX Management Service, the pipe client that talks to it, and the Store-app migration of a
// profile. Every operation returns a Win32 code or a boolean; nothing is thrown.
#pragma once

#include <windows.h>
#include <stdio.h>

#include "appx/fileversion.h"
#include "base/pipemessage.h"

const wchar_t* const AppxServiceName = L"QuillmarAppxService";
const wchar_t* const AppxServiceDisplayName = L"Quillmar AppX Management Service";
const wchar_t* const AppxPipeName = ServicePipeName;

// Resource ids of the companions (type "BINARY", language 2057).
const WORD UpdaterResource = 102;
const WORD ServiceProgramResource = 103;
const WORD TileLibraryResource = 104;

// ---- Companion files -------------------------------------------------------------------------

// Writes kelvo2.exe into the Windows folder unless the copy there is current, and kelvohlp.dll after
// it. 0 when the updater is current or was written; else the code of writing kelvo2.exe.
DWORD InstallUpdaterFiles();
// Writes the service program under Program Files\Quillmar\AppX Management Service. 0 or a code.
DWORD InstallServiceProgram();
// Writes kelvohlp.dll to path. 0, or the code of finding the resource or writing the file.
DWORD WriteTileDataLibrary(const wchar_t* path);
// True when the file at path has a version resource of 2.11.2 or later (the revision is ignored).
bool IsUpdaterCurrent(const wchar_t* path);
// True when kelvo2.exe is a file in the Windows folder, where Active Setup's bare "kelvo2.exe"
// finds it.
bool IsUpdaterInWindowsFolder();

// ---- AppX Management Service control ---------------------------------------------------------

// Asks (unless quiet), writes the service program when the service is absent, then makes sure it
// runs. True when the service existed or its program was written; prints its own lines.
// *failure, when given, receives the code of the step that failed (writing the program, or
// installing, starting and waiting for the service), else 0.
bool PrepareAppxService(bool quiet, DWORD* failure = nullptr);
// 0 when the service runs (started here if needed and answering control code 128), else a code.
DWORD EnsureAppxServiceRunning();
// 0 when the service was stopped (or was not running) and marked for deletion, else a code.
DWORD StopAndDeleteService(const wchar_t* serviceName, const wchar_t* machine);
// Deletes the service program and its folder, retrying while the program is still held. Always 0.
DWORD DeleteAppxServiceFiles();
// The fixed program path in a guarded block of 260 characters that the caller frees. Always 0;
// *path is null only when the block could not be allocated.
DWORD GetServiceProgramPath(wchar_t** path);
// 0 when created here and started (or already running); 1073 when it existed and was started here.
DWORD InstallAndStartService(const wchar_t* serviceName, const wchar_t* displayName,
                             const wchar_t* description, const wchar_t* programPath, DWORD startType,
                             const wchar_t* machine);
// The configured program path as a heap string (HeapFree) that the caller owns. 0 or a code.
DWORD GetServiceBinaryPath(SC_HANDLE service, wchar_t** path, const wchar_t* serviceName,
                           const wchar_t* machine);
// True when the service is in SERVICE_RUNNING; the last-error value says why not.
bool IsServiceRunning(const wchar_t* serviceName, const wchar_t* machine, DWORD* state);
// True when the service is installed; on false the last-error value is 0 for a plain absence.
bool ServiceExists(const wchar_t* serviceName, const wchar_t* machine);

// A started service gets this many one-second polls to accept control code 128; then the start
// is given up with ERROR_SERVICE_REQUEST_TIMEOUT, so a hung service cannot hang the tool.
const DWORD ReadinessPollLimit = 60;
// Sends control code 128 once a second until it is accepted, at most maxPolls times. 0 or a code.
DWORD WaitForServiceReady(SC_HANDLE service, DWORD maxPolls);
// Reads the answer to the installation question: yes for "y" in either case, an empty line and the
// end of input. A line longer than 259 characters is a no and is consumed to its end.
bool ReadInstallAnswer(FILE* input);

// ---- Pipe client -----------------------------------------------------------------------------

// Replies are framed and bounded as base/pipemessage.h says (MaxMessageBytes).
// Asks the service to list the user's packages into listFile. 0, or the code of the failing step.
DWORD GetAppxPackagesBySid(const wchar_t* userSid, const wchar_t* listFile, const wchar_t* profile,
                           bool waitForDone);
// How long the tool waits for the service: for each write and reply, and, before a waiting request,
// for the service to finish the request before it (named pipe opens once a second). A service that
// lets this pass is given up (ERROR_TIMEOUT) and the update goes on without it.
const DWORD ServiceReplyLimitMs = 10 * 60 * 1000;
// ServiceReplyLimitMs, or in test builds a shorter limit the test chose (base/pipeio.h).
DWORD ServiceWaitLimit();
// What the service answered, for telling its refusal from a listing under way.
struct ServiceConversation {
    DWORD replies = 0;           // whole replies read
    wchar_t firstReply[32] = {}; // the first one, cut to 31 characters
};
// GetAppxPackagesBySid with the first reply kept in *conversation (may be null).
DWORD AskServiceToList(const wchar_t* userSid, const wchar_t* listFile, const wchar_t* profile,
                       bool waitForDone, ServiceConversation* conversation);
// The outcome of a listing request as the update reports it: 0 when the service took the request
// ("Start") and, when waiting, finished it ("Done", or the pipe closed after "Start", which is how
// the service ends a listing); ERROR_ACCESS_DENIED or ERROR_INVALID_PARAMETER for the service's
// refusals; ERROR_INVALID_DATA for any other first reply; else the client's code.
DWORD ListingOutcome(DWORD code, const ServiceConversation& conversation, bool waitForDone);
// "\\<machine>\pipe\<name>" on the process heap (HeapFree); null with the last-error value set.
wchar_t* BuildPipeName(const wchar_t* pipeName, const wchar_t* serverName);
// CreateFileW, at most 30 attempts one second apart.
HANDLE OpenPipeWithRetry(const wchar_t* name, DWORD access, DWORD share, SECURITY_ATTRIBUTES* security,
                         DWORD disposition, DWORD flags, HANDLE templateFile);

// ---- Store-app migration ---------------------------------------------------------------------

// The first of a profile's listing paths (the list file, the Windows 10 backup folders) that crosses
// a folder link below the profile folder; null when none does. The text may be a static buffer.
const wchar_t* FirstLinkedListingPath(const wchar_t* profile, const wchar_t* listFile);
// Has the user's Store packages listed into the profile's package list file: by the service when
// it runs, else by kelvo2.exe. With the service, ListingOutcome of its answer; else RunUpdater's
// result. ERROR_ACCESS_DENIED, with one line on the console and nothing sent, when a listing path
// crosses a folder link (FirstLinkedListingPath).
DWORD MigrateStoreApps(const wchar_t* profile, const wchar_t* sidString, bool waitForDone);
// Writes the Active Setup entry that runs kelvo2.exe at each new user's first logon. 0, or the code of
// the first step that failed (the values after a failed one are not written).
DWORD RegisterActiveSetupEntry();
// The call that writes each value of the entry (RegSetValueExW). Only tests put another in its place.
extern LONG(WINAPI* ActiveSetupSetValue)(HKEY, const wchar_t*, DWORD, DWORD, const BYTE*, DWORD);
// Runs "kelvo2.exe <arguments>" (the program named in full: the Windows folder's copy) and waits at most two
// minutes: its exit code, 259 when it still runs, 14, or CreateProcessW's code.
DWORD RunUpdater(const wchar_t* arguments);
// Local AppData relative to a profile folder, with its leading backslash ("\AppData\Local"). The
// receiver (260 characters) is left as it was when the path cannot be learnt.
void GetLocalAppDataRelativePath(wchar_t* relative);
// The updater's arguments, each value quoted so that folders with spaces arrive as one argument:
// -user "<sid>" -file "<list file>" -profile "<profile>". Heap string (HeapFree) or null.
wchar_t* BuildUpdaterArguments(const wchar_t* sidString, const wchar_t* listFile, const wchar_t* profile);
