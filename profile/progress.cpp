#include "profile/progress.h"

#include "base/tree.h"
#include "driver/common.h"

#include <wchar.h>

namespace {

CopyProgress* Installed = nullptr;

// The saved title, for the destructor and the control handler. One console, one run.
wchar_t SavedTitle[1024];

// "12,345": grouped by thousands, as the title is read at a glance.
void FormatCount(ULONGLONG value, wchar_t* text, size_t capacity) {
    wchar_t digits[32];
    FormatBounded(digits, 32, L"%I64u", value);
    size_t length = wcslen(digits);
    size_t out = 0;
    for (size_t i = 0; i < length && out + 1 < capacity; ++i) {
        if (i > 0 && (length - i) % 3 == 0 && out + 2 < capacity) text[out++] = L',';
        text[out++] = digits[i];
    }
    text[out] = L'\0';
}

// "512 bytes", "12.3 KB", "1.2 GB": one decimal in the largest unit that keeps the value below 1024.
void FormatSize(ULONGLONG bytes, wchar_t* text, size_t capacity) {
    static const wchar_t* const Units[] = {L"KB", L"MB", L"GB", L"TB", L"PB"};
    if (bytes < 1024) {
        FormatBounded(text, capacity, L"%I64u bytes", bytes);
        return;
    }
    int unit = 0;
    ULONGLONG scale = 1024;
    while (unit < 4 && bytes >= scale * 1024) {
        scale *= 1024;
        ++unit;
    }
    ULONGLONG tenths = (bytes * 10 + scale / 2) / scale; // rounded to one decimal
    if (tenths >= 10240 && unit < 4) {                   // 1023.96 KB rounds up to the next unit
        ++unit;
        scale *= 1024;
        tenths = (bytes * 10 + scale / 2) / scale;
    }
    FormatBounded(text, capacity, L"%I64u.%I64u %ws", tenths / 10, tenths % 10, Units[unit]);
}

void Show(CopyProgress* progress) {
    wchar_t title[MAX_PATH + 96];
    FormatProgressTitle(*progress, title, sizeof title / sizeof title[0]);
    progress->lastShown = progress->clock();
    if (progress->sink) progress->sink(title, progress->context);
}

BOOL WINAPI RestoreOnControl(DWORD) {
    SetConsoleTitleW(SavedTitle);
    return FALSE; // the next handler (by default: ending the process) still runs
}

} // namespace

void InitCopyProgress(CopyProgress* progress, ProgressSink sink, void* context) {
    ZeroMemory(progress, sizeof *progress);
    progress->intervalMs = 250;
    progress->sink = sink;
    progress->context = context;
    progress->clock = GetTickCount;
}

void InstallCopyProgress(CopyProgress* progress) {
    Installed = progress;
    TreeFileCopiedHook = progress ? ProgressFileCopied : nullptr;
    TreeFilesCopiedHook = progress ? ProgressFilesCopied : nullptr;
}

void ProgressFolder(const wchar_t* folder) {
    if (!Installed) return;
    FormatBounded(Installed->folder, MAX_PATH, L"%ws", folder);
    Show(Installed);
}

void ProgressFileCopied(ULONGLONG size) {
    if (!Installed) return;
    ++Installed->files;
    Installed->bytes += size;
    // Unsigned difference: right across the clock's wrap after 49.7 days.
    if (Installed->clock() - Installed->lastShown >= Installed->intervalMs) Show(Installed);
}

void ProgressFilesCopied(ULONGLONG files, ULONGLONG bytes) {
    if (!Installed || files == 0) return;
    Installed->files += files;
    Installed->bytes += bytes;
    if (Installed->clock() - Installed->lastShown >= Installed->intervalMs) Show(Installed);
}

void FormatProgressTitle(const CopyProgress& progress, wchar_t* title, size_t capacity) {
    wchar_t files[40], size[40];
    FormatCount(progress.files, files, 40);
    FormatSize(progress.bytes, size, 40);
    FormatBounded(title, capacity, L"Corvane - copying %ws: %ws %ws, %ws", progress.folder, files,
                  progress.files == 1 ? L"file" : L"files", size);
}

ConsoleTitle::ConsoleTitle() : active_(false) {
    SavedTitle[0] = L'\0';
    // Without a console GetConsoleTitleW fails with an error; an empty title gives 0 without one.
    SetLastError(0);
    if (GetConsoleTitleW(SavedTitle, sizeof SavedTitle / sizeof SavedTitle[0]) == 0 && GetLastError() != 0)
        return;
    active_ = SetConsoleCtrlHandler(RestoreOnControl, TRUE) != FALSE;
}

ConsoleTitle::~ConsoleTitle() {
    if (!active_) return;
    SetConsoleTitleW(SavedTitle);
    SetConsoleCtrlHandler(RestoreOnControl, FALSE);
}

void ConsoleTitle::Show(const wchar_t* title, void* context) {
    if (static_cast<ConsoleTitle*>(context)->active_) SetConsoleTitleW(title);
}
