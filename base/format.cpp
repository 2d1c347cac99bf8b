#include "base/format.h"

#include <stdarg.h>
#include <wchar.h>

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

void DebugPrint(const wchar_t* format, ...) {
    wchar_t message[1024];
    va_list args;
    va_start(args, format);
    FormatBoundedV(message, 1024, format, args);
    va_end(args);
    OutputDebugStringW(message);
}
