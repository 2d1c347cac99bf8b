// Bounded transfers on a pipe. Both pipe clients (the tool and the updater) wait for a service that
// may stop answering; a blocking ReadFile would then never return, so every transfer has a limit.
#pragma once

#include <windows.h>

// Reads (write false) or writes exactly size bytes on a handle opened with FILE_FLAG_OVERLAPPED,
// within limitMs for the whole transfer. 0; ERROR_TIMEOUT when the limit passed (the pending I/O is
// cancelled and has ended before this returns, so the buffer is no longer touched); ERROR_HANDLE_EOF
// for a read of no bytes; otherwise the code of the failing call (109 when the other end closed).
DWORD TransferExactly(HANDLE pipe, bool write, void* buffer, DWORD size, DWORD limitMs);

// The limit a product wait uses. Test builds (CORVANE_TEST_HOOKS) take a shorter one from the
// environment variable CORVANE_TEST_WAIT_MS so that tests do not wait minutes; shipped builds never
// read it.
DWORD ProductWaitLimit(DWORD limitMs);

// The pause between two attempts to open a pipe (pauseMs in shipped builds). Test builds take a
// shorter one from CORVANE_TEST_RETRY_MS, so that a test of thirty attempts does not take thirty
// seconds; shipped builds never read it.
DWORD ProductRetryPause(DWORD pauseMs);
