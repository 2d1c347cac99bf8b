// Shared helpers of the tool: console output and error text, with the bounded formatting, the
// guarded heap and the debugger channel that it shares with the companions (base/). Every other part
// of the tool includes this header.
#pragma once

#include "base/format.h"
#include "base/heap.h"

#include <windows.h>

// Wide formatted text to standard output through the C runtime; main() puts stdout in binary mode
// so "\r\n" arrives as it is written, also when output is redirected.
int ConsolePrint(const wchar_t* format, ...);

// The system's text for a Win32 code without its line break, or "Error %u."; *text is null only
// when no memory was left. The caller releases the text with LocalFree.
void GetErrorText(DWORD code, wchar_t** text);

// Prints the code's text as one console line and returns the code unchanged.
DWORD ReportError(DWORD code);
