// Bounded wide formatting and the debugger channel.
#pragma once

#include <windows.h>

#include <stdarg.h>

// Counted, always terminated wide formatting. 0 on success, E_INVALIDARG for a capacity of 0 or
// above 0x7FFFFFFF (buffer untouched), 0x8007007A when the text was cut to capacity - 1 characters.
HRESULT FormatBounded(wchar_t* buffer, size_t capacity, const wchar_t* format, ...);
HRESULT FormatBoundedV(wchar_t* buffer, size_t capacity, const wchar_t* format, va_list args);

// Formats into a 1024-character buffer and sends the text to the debugger (OutputDebugStringW).
void DebugPrint(const wchar_t* format, ...);
