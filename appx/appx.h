// The tool's side of the Store-app support: companion files, the AppX Management Service and the
// Store-app migration. This build does not contain the companions; see appx/unavailable.cpp.
#pragma once

#include <windows.h>

const wchar_t* const AppxServiceName = L"QuillmarAppxService";

// True when the service existed or its program file was just written; false when the user
// declined or the file could not be written. Prints its own prompt and messages.
bool PrepareAppxService(bool quiet);
// Writes the updater and the tile library into the Windows folder. Win32 code.
DWORD InstallUpdaterFiles();
// Installs the service if missing and starts it if stopped.
bool EnsureAppxServiceRunning();
// 0 when the service was stopped (or was not running) and deleted, else a Win32 code.
DWORD StopAndDeleteService(const wchar_t* serviceName, const wchar_t* machine);
// Removes the service program and companion files. Always 0.
DWORD DeleteAppxServiceFiles();
