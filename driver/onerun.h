// One run at a time on a machine. Two runs at once would each take the other's live backup for an
// interrupted run's and undo it while the other still writes; two service installs would race on the
// same service and files. Every run that changes the default profile or the Store-app service holds
// one machine-wide mutex for as long as it changes anything.
#pragma once

#include "base/raii.h"

#include <windows.h>

// In the Global\ namespace, so that runs in different sessions (a console, a remote desktop, a
// deployment system's LocalSystem task) see the same one.
extern const wchar_t* const OneRunMutexName;

// How long a second run waits for the first to end before it gives up with ERROR_BUSY: long enough
// for a run started a moment late to go on after a short one, short enough that a deployment sees
// the code soon and retries later.
const DWORD OneRunWaitMs = 10000;

// The held mutex; released when the record goes.
struct OneRun {
    UniqueHandle mutex;
    bool owned = false;
    OneRun() = default;
    OneRun(const OneRun&) = delete;
    OneRun& operator=(const OneRun&) = delete;
    ~OneRun() {
        if (owned) ReleaseMutex(mutex.get());
    }
};

// Takes the one-run mutex, waiting up to waitMs. 0 when held (also when the run that held it before
// was killed: its leftovers are for this run's recovery to finish). ERROR_BUSY after one console line
// when another run still holds it; any other Win32 code when the mutex cannot be made or opened (a
// caller who is not an administrator cannot). The mutex carries a DACL for Administrators and
// LocalSystem only, so no other user can take it to hold every run off.
DWORD AcquireOneRun(OneRun* held, DWORD waitMs);
