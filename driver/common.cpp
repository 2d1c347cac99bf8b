#include "driver/common.h"

#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <wchar.h>
#include <io.h>

// Writes one formatted text to standard output. A console gets the text as UTF-16 through
// WriteConsoleW; a file or pipe gets the console code page's bytes through the C runtime's stream,
// which main() put in binary mode: text mode would turn "\r\n" into "\r\r\n", and the runtime's
// own wide output in binary mode would write raw UTF-16.
static void WriteConsoleText(const wchar_t* text, int length) {
    HANDLE out = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stdout)));
    DWORD mode;
    if (out != INVALID_HANDLE_VALUE && GetConsoleMode(out, &mode)) {
        fflush(stdout);
        DWORD written;
        WriteConsoleW(out, text, static_cast<DWORD>(length), &written, nullptr);
        return;
    }
    UINT codePage = GetConsoleOutputCP();
    if (codePage == 0) codePage = CP_ACP; // no console at all
    int bytes = WideCharToMultiByte(codePage, 0, text, length, nullptr, 0, nullptr, nullptr);
    if (bytes <= 0) return;
    char stackBytes[1024];
    char* converted = bytes <= 1024 ? stackBytes : static_cast<char*>(GuardedAlloc(bytes));
    if (!converted) return;
    WideCharToMultiByte(codePage, 0, text, length, converted, bytes, nullptr, nullptr);
    fwrite(converted, 1, static_cast<size_t>(bytes), stdout);
    fflush(stdout);
    if (converted != stackBytes) GuardedFree(converted);
}

int ConsolePrint(const wchar_t* format, ...) {
    wchar_t stackText[1024];
    wchar_t* text = stackText;
    size_t capacity = 1024;
    int length;
    for (;;) {
        va_list args;
        va_start(args, format);
        length = _vsnwprintf(text, capacity - 1, format, args);
        va_end(args);
        if (length >= 0) break;
        // Longer than the buffer: try again with a larger one (console lines are short; this is rare).
        if (text != stackText) GuardedFree(text);
        capacity *= 4;
        text = capacity <= 0x100000 ? GuardedAllocChars(capacity) : nullptr;
        if (!text) return -1;
    }
    text[length] = L'\0';
    WriteConsoleText(text, length);
    if (text != stackText) GuardedFree(text);
    return length;
}

void GetErrorText(DWORD code, wchar_t** text) {
    *text = nullptr;
    wchar_t* message = nullptr;
    DWORD length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_FROM_SYSTEM,
        nullptr, // system table
        code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), reinterpret_cast<wchar_t*>(&message), 0, nullptr);
    if (length != 0 && message != nullptr) {
        // The system's messages end with a line break; the console line adds its own.
        if (length >= 2) message[length - 2] = L'\0';
        *text = message;
        return;
    }
    if (message) LocalFree(message);
    wchar_t digits[16];
    FormatBounded(digits, 16, L"%u", code);
    size_t chars = wcslen(L"Error ") + wcslen(digits) + 2; // full stop and terminator
    wchar_t* fallback = static_cast<wchar_t*>(LocalAlloc(LMEM_ZEROINIT, chars * sizeof(wchar_t)));
    if (!fallback) return;
    FormatBounded(fallback, chars, L"Error %u.", code);
    *text = fallback;
}

DWORD ReportError(DWORD code) {
    wchar_t* text = nullptr;
    GetErrorText(code, &text);
    if (text) {
        ConsolePrint(L"%ws\r\n", text);
        LocalFree(text);
    }
    return code;
}
