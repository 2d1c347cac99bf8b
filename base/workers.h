// Threads lent to the tool's parallel steps (the profile copy and the check of the new hive) and
// kept between them, so that a run starts each thread once: under Wine every thread costs the
// process about 1 MB of resident memory, and a thread that ends leaves most of it behind until the
// next one ends, so a step that started its own threads would add its count to the run's peak.
#pragma once

#include <windows.h>

typedef DWORD(WINAPI* WorkerTask)(void* context);

// One task running on a lent thread.
struct WorkerLease {
    unsigned slot;
};

// The most threads lent at once.
const unsigned MostWorkers = 64;

// Runs task(context) on an idle kept thread, or on a new one; false when every thread is busy and no
// other can be started (the caller then does the work itself). Every lease must be awaited.
bool LendWorker(WorkerTask task, void* context, WorkerLease* lease);

// Waits until the leased task has returned; the thread is idle again afterwards.
void AwaitWorker(const WorkerLease& lease);

// Threads started so far (idle or busy): the tests' way to see that a step reused them.
unsigned WorkersStarted();
