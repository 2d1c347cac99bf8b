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

HRESULT FormatBoundedV(wchar_t* buffer, size_t capacity, const wchar_t* format, va_list args) {
    if (capacity == 0 || capacity > 0x7FFFFFFF) return E_INVALIDARG;
    size_t limit = capacity - 1;
    // msvcrt's counted formatter: -1 when the text does not fit, and no terminator when it fills
    // the count exactly.
    int written = _vsnwprintf(buffer, limit, format, args);
    if (written < 0 || static_cast<size_t>(written) > limit) {
        buffer[limit] = L'\0';
        return HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER);
    }
    if (static_cast<size_t>(written) == limit) buffer[limit] = L'\0';
    return S_OK;
}

HRESULT FormatBounded(wchar_t* buffer, size_t capacity, const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    HRESULT hr = FormatBoundedV(buffer, capacity, format, args);
    va_end(args);
    return hr;
}

void GetErrorText(DWORD code, wchar_t** text) {
    *text = nullptr;
    wchar_t* message = nullptr;
    DWORD length = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS |
                                      FORMAT_MESSAGE_FROM_SYSTEM,
                                  nullptr, // system table
                                  code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
                                  reinterpret_cast<wchar_t*>(&message), 0, nullptr);
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

void DebugPrint(const wchar_t* format, ...) {
    wchar_t message[1024];
    va_list args;
    va_start(args, format);
    FormatBoundedV(message, 1024, format, args);
    va_end(args);
    OutputDebugStringW(message);
}

// The shipped tool is 32-bit, where an address is "%#010x"; a 64-bit build prints all 64 bits.
#ifdef _WIN64
#define ADDRESS_FORMAT L"%#018I64x"
static unsigned __int64 AddressOf(const void* p) { return reinterpret_cast<UINT_PTR>(p); }
#else
#define ADDRESS_FORMAT L"%#010x"
static unsigned AddressOf(const void* p) { return static_cast<unsigned>(reinterpret_cast<UINT_PTR>(p)); }
#endif

static void WriteWord(BYTE* at, DWORD value) { memcpy(at, &value, sizeof value); }
static DWORD ReadWord(const BYTE* at) {
    DWORD value;
    memcpy(&value, at, sizeof value); // the trailer is unaligned whenever N is not a multiple of 4
    return value;
}

void* GuardedHeapAlloc(HANDLE heap, DWORD flags, SIZE_T size) {
    if (size > 0xFFFFFFFF - GuardOverhead) return nullptr;
    BYTE* block = static_cast<BYTE*>(HeapAlloc(heap, flags, size + GuardOverhead));
    if (!block) return nullptr;
    WriteWord(block, GuardHeader1);
    WriteWord(block + 4, GuardHeader2);
    WriteWord(block + 8, static_cast<DWORD>(size));
    WriteWord(block + 12 + size, GuardTrailer1);
    WriteWord(block + 16 + size, GuardTrailer2);
    return block + 12;
}

void* GuardedAlloc(SIZE_T size) { return GuardedHeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, size); }

wchar_t* GuardedAllocChars(SIZE_T chars) {
    if (chars > (0xFFFFFFFF - GuardOverhead) / sizeof(wchar_t)) return nullptr;
    return static_cast<wchar_t*>(GuardedAlloc(chars * sizeof(wchar_t)));
}

// Checks both guards of a block and reports damage to the debugger; true when intact.
static bool GuardsIntact(const BYTE* data) {
    const BYTE* block = data - 12;
    if (ReadWord(block) != GuardHeader1 || ReadWord(block + 4) != GuardHeader2) {
        DebugPrint(L"Memory Heap corrupt at " ADDRESS_FORMAT L". Header has been overwritten.", AddressOf(data));
        return false;
    }
    DWORD size = ReadWord(block + 8);
    if (ReadWord(data + size) != GuardTrailer1 || ReadWord(data + size + 4) != GuardTrailer2) {
        DebugPrint(L"Memory Heap corrupt at " ADDRESS_FORMAT L". Written data exceeds allocation of %u bytes.",
                   AddressOf(data), size);
        return false;
    }
    return true;
}

BOOL GuardedHeapFree(HANDLE heap, void* data) {
    if (!data) {
        DebugPrint(L"Attempt to free NULL pointer.");
        return FALSE;
    }
    BYTE* bytes = static_cast<BYTE*>(data);
    if (!GuardsIntact(bytes)) return FALSE; // a damaged block stays allocated
    return HeapFree(heap, 0, bytes - 12);
}

void GuardedFree(void* data) { GuardedHeapFree(GetProcessHeap(), data); }

void* GuardedHeapReAlloc(HANDLE heap, void* data, SIZE_T size) {
    if (!data) {
        DebugPrint(L"Attempt to ReAlloc NULL pointer.");
        return nullptr;
    }
    BYTE* bytes = static_cast<BYTE*>(data);
    if (!GuardsIntact(bytes)) return nullptr;
    if (size > 0xFFFFFFFF - GuardOverhead) return nullptr;
    BYTE* block = static_cast<BYTE*>(HeapReAlloc(heap, HEAP_ZERO_MEMORY, bytes - 12, size + GuardOverhead));
    if (!block) return nullptr;
    WriteWord(block + 8, static_cast<DWORD>(size));
    WriteWord(block + 12 + size, GuardTrailer1);
    WriteWord(block + 16 + size, GuardTrailer2);
    DebugPrint(L"Reallocated %u bytes at " ADDRESS_FORMAT L".", static_cast<unsigned>(size), AddressOf(block + 12));
    return block + 12;
}
