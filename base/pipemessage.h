// The service's pipe and its messages, said once for the service and both of its clients (the tool
// and the updater). Every message, either way, is a 4-byte little-endian byte count followed by that
// many bytes of UTF-16LE text without a terminating zero. The count comes from another process, so a
// reader bounds it before it sizes anything: an odd count (half a character) or one above
// MaxMessageBytes (which includes every negative count a signed writer could send) is refused.
// Built on the bounded transfers of base/pipeio.h; knows nothing of any one program.
#pragma once

#include <windows.h>

// The name is written once; the path joins it at compile time.
#define CORVANE_SERVICE_PIPE_NAME L"7a6c689a-c49b-4444-8f7e-c45fc3fd7cae"
const wchar_t* const ServicePipeName = CORVANE_SERVICE_PIPE_NAME;
const wchar_t* const ServicePipePath = L"\\\\.\\pipe\\" CORVANE_SERVICE_PIPE_NAME;
// The largest text either side sends or accepts, in bytes.
const DWORD MaxMessageBytes = 64 * 1024;

// The count of a header as read from the pipe. 0 and *bytes, or ERROR_INVALID_DATA for an odd count
// or one above MaxMessageBytes.
DWORD DecodeMessageCount(const BYTE header[4], DWORD* bytes);

// Writes one message, count and text in one transfer, within limitMs. ERROR_INVALID_DATA (nothing
// written) when the text is above MaxMessageBytes; otherwise as TransferExactly.
DWORD WriteMessage(HANDLE pipe, const wchar_t* text, DWORD chars, DWORD limitMs);

// Reads one message's count, however the writer cut it up, within limitMs, and checks it as
// DecodeMessageCount does. ERROR_BROKEN_PIPE when the other end ended before a whole count came.
DWORD ReadMessageCount(HANDLE pipe, DWORD limitMs, DWORD* bytes);

// Reads the bytes of text that ReadMessageCount announced into buffer (at least bytes / 2
// characters), within limitMs. ERROR_BROKEN_PIPE when the other end ended before all of it came.
DWORD ReadMessageText(HANDLE pipe, wchar_t* buffer, DWORD bytes, DWORD limitMs);
