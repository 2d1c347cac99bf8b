// Who serves a named pipe. A program that creates the pipe name before the service does would
// receive the client's requests and, where the client allows impersonation, its identity; both pipe
// clients (the tool and the updater) therefore check the server end before they send anything.
#pragma once

#include <windows.h>

// True when the process at the server end of pipe is the running process of the named service on
// the local machine. Where the platform cannot tell (no GetNamedPipeServerProcessId, before
// Windows Vista) the answer is true. Otherwise false, with the last-error value set to
// ERROR_ACCESS_DENIED when another process serves the pipe, or to the code of the failing query.
bool IsPipeServedByService(HANDLE pipe, const wchar_t* serviceName);
