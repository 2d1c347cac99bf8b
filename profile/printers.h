// Printer connections of the mounted default hive and the print spooler restart.
#pragma once

#include <windows.h>

// Deletes the Client Side Rendering cache key of each printer connection in the hive mounted as
// hiveRoot under HKEY_USERS, then restarts the spooler when the status allows. Final status.
DWORD ResetPrinterConnections(const wchar_t* hiveRoot);

// Sets the spooler to start automatically, stops it and starts it again. 0 or a Win32 code.
DWORD RestartSpooler();
