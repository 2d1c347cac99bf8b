// Helpers of the Store-app tests: the stand-in service (tests/harness/fakeappxservice.*) under
// Wine's service control manager, and what it recorded.
#pragma once

#include "harness/fakeappxservice.h"

#include <windows.h>

#include <string>
#include <vector>

namespace appx_test {

using fake_appx_service::RecordFolder;

// The stand-in's program as the test harness placed it in the prefix.
std::wstring StandInProgram();
// Chooses what the stand-in does from its next start; every call forgets what an earlier one chose.
void ConfigureStandIn(const std::wstring& script, DWORD startDelay = 0, DWORD dieEarly = 0);
// How long the "busy" script keeps the next client waiting, from the stand-in's next start.
void SetStandInBusyTime(DWORD ms);
// Registers "QuillmarAppxService" with programPath (as given, no quoting) and, when start is set,
// starts it and waits until it runs.
void InstallStandIn(const std::wstring& programPath, bool start);
// Stops and deletes the service if it exists and waits until the manager has removed it.
void RemoveService();
// Waits until the service has the state (or is absent when state is 0); false on a timeout.
bool WaitForState(DWORD state, DWORD timeoutMs = 15000);
bool ServiceInstalled();
// The configured program path as the manager holds it.
std::wstring ConfiguredPath();

// Requests the stand-in received, raw (length and text), in order.
std::vector<std::string> Requests();
// Readiness probes (control code 128) the stand-in received.
int ProbeCount();
// Empties the record folder.
void ClearRecords();

// Length-prefixed UTF-16LE message as it travels on the pipe.
std::string Message(const std::wstring& text);

} // namespace appx_test
