#include "base/pipemessage.h"

#include "base/pipeio.h"

namespace {

// A read that found the pipe at its end before the message was whole is a broken conversation,
// whichever way the platform says so.
DWORD ReadCode(DWORD code) {
    return code == ERROR_HANDLE_EOF ? ERROR_BROKEN_PIPE : code;
}

} // namespace

DWORD DecodeMessageCount(const BYTE header[4], DWORD* bytes) {
    DWORD count = header[0] | (header[1] << 8) | (header[2] << 16) | (static_cast<DWORD>(header[3]) << 24);
    *bytes = 0;
    if (count > MaxMessageBytes || count % 2 != 0) return ERROR_INVALID_DATA;
    *bytes = count;
    return 0;
}

DWORD WriteMessage(HANDLE pipe, const wchar_t* text, DWORD chars, DWORD limitMs) {
    if (chars > MaxMessageBytes / sizeof(wchar_t)) return ERROR_INVALID_DATA;
    DWORD count = chars * static_cast<DWORD>(sizeof(wchar_t));
    // One transfer for count and text: a reader that takes the count never waits on a second write.
    HANDLE heap = GetProcessHeap();
    BYTE* message = static_cast<BYTE*>(HeapAlloc(heap, 0, 4 + count));
    if (!message) return ERROR_OUTOFMEMORY;
    for (int i = 0; i < 4; ++i)
        message[i] = static_cast<BYTE>(count >> (8 * i));
    if (count) CopyMemory(message + 4, text, count);
    DWORD code = TransferExactly(pipe, true /* write */, message, 4 + count, limitMs);
    HeapFree(heap, 0, message);
    return code;
}

DWORD ReadMessageCount(HANDLE pipe, DWORD limitMs, DWORD* bytes) {
    *bytes = 0;
    BYTE header[4] = {};
    DWORD code = ReadCode(TransferExactly(pipe, false /* read */, header, 4, limitMs));
    if (code != 0) return code;
    return DecodeMessageCount(header, bytes);
}

DWORD ReadMessageText(HANDLE pipe, wchar_t* buffer, DWORD bytes, DWORD limitMs) {
    if (bytes > MaxMessageBytes || bytes % 2 != 0) return ERROR_INVALID_DATA;
    if (bytes == 0) return 0;
    return ReadCode(TransferExactly(pipe, false /* read */, buffer, bytes, limitMs));
}
