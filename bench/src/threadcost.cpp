// What one idle thread costs the process in resident memory under this Wine, whatever the program
// does with it: the copy pool's and the hive check's extra peak memory is read against it.
//   threadcost <threads>
// Starts that many threads (64 KB stack reservation, as the tool asks), each waiting on one event,
// and prints "threads=<n> working_set_kb=<k> peak_kb=<k>" once all of them run.
#include <windows.h>
#include <psapi.h>

#include <stdio.h>
#include <wchar.h>

namespace {

HANDLE Release;
volatile LONG Running = 0;

DWORD WINAPI Idle(void*) {
    InterlockedIncrement(&Running);
    WaitForSingleObject(Release, INFINITE);
    return 0;
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: threadcost <threads>\n");
        return 87;
    }
    int count = _wtoi(argv[1]);
    if (count < 0 || count > 64) return 87;
    Release = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE threads[64];
    for (int i = 0; i < count; ++i) {
        threads[i] =
            CreateThread(nullptr, 64 * 1024, Idle, nullptr, STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
        if (!threads[i]) return static_cast<int>(GetLastError());
    }
    while (InterlockedCompareExchange(&Running, 0, 0) < count)
        Sleep(10);
    PROCESS_MEMORY_COUNTERS counters = {};
    GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters);
    SetEvent(Release);
    if (count) WaitForMultipleObjects(static_cast<DWORD>(count), threads, TRUE, INFINITE);
    printf("threads=%d working_set_kb=%u peak_kb=%u\n", count,
           static_cast<unsigned>(counters.WorkingSetSize / 1024),
           static_cast<unsigned>(counters.PeakWorkingSetSize / 1024));
    return 0;
}
