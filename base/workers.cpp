#include "base/workers.h"

#include "base/raii.h"

namespace {

// A kept thread: it sleeps on start, runs the task it is given and says so on done. The threads
// live until the process ends; none holds anything but its two events while it sleeps.
struct Worker {
    HANDLE thread; // null until first lent
    HANDLE start;  // auto-reset: a task was set
    HANDLE done;   // auto-reset: the task returned
    WorkerTask task;
    void* context;
    bool busy;
};

Worker Workers[MostWorkers];
unsigned Started = 0;
// A spin lock rather than a critical section: it needs no initialisation before the first lease
// (base/ is linked into the companions too) and is held only to pick or free a slot.
volatile LONG TableLock = 0;

// Enough for the hive check's walk 33 keys deep (under 20 KB) and the copy's own needs.
const SIZE_T WorkerStack = 256 * 1024;

void Lock() {
    while (InterlockedCompareExchange(&TableLock, 1, 0) != 0)
        Sleep(0);
}

void Unlock() {
    InterlockedExchange(&TableLock, 0);
}

DWORD WINAPI WorkerMain(void* parameter) {
    Worker& worker = *static_cast<Worker*>(parameter);
    while (WaitForSingleObject(worker.start, INFINITE) == WAIT_OBJECT_0) {
        worker.task(worker.context);
        SetEvent(worker.done);
    }
    return 1;
}

// Starts the thread of a slot not used before; false (nothing kept) when it cannot be.
bool StartWorker(Worker& worker) {
    UniqueHandle start(CreateEventW(nullptr, FALSE, FALSE, nullptr));
    UniqueHandle done(CreateEventW(nullptr, FALSE, FALSE, nullptr));
    if (!start || !done) return false;
    worker.start = start.get(); // the thread reads them as soon as it runs
    worker.done = done.get();
    worker.thread =
        CreateThread(nullptr, WorkerStack, WorkerMain, &worker, STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
    if (!worker.thread) {
        worker.start = worker.done = nullptr;
        return false;
    }
    start.release();
    done.release();
    return true;
}

} // namespace

bool LendWorker(WorkerTask task, void* context, WorkerLease* lease) {
    Lock();
    unsigned slot = 0;
    while (slot < Started && Workers[slot].busy)
        ++slot;
    if (slot == Started) {
        if (Started == MostWorkers || !StartWorker(Workers[slot])) {
            Unlock();
            return false;
        }
        ++Started;
    }
    Worker& worker = Workers[slot];
    worker.busy = true;
    worker.task = task;
    worker.context = context;
    Unlock();
    lease->slot = slot;
    SetEvent(worker.start); // a full barrier: the thread sees the task and context set above
    return true;
}

void AwaitWorker(const WorkerLease& lease) {
    Worker& worker = Workers[lease.slot];
    WaitForSingleObject(worker.done, INFINITE);
    Lock();
    worker.busy = false;
    Unlock();
}

unsigned WorkersStarted() {
    Lock();
    unsigned started = Started;
    Unlock();
    return started;
}
