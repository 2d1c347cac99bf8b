// Progress of the folder copies, shown in the console window's title: a large profile takes minutes to
// copy and the console shows nothing meanwhile. Nothing here writes to standard output.
#pragma once

#include <windows.h>

// Receives each new title text.
typedef void (*ProgressSink)(const wchar_t* title, void* context);

struct CopyProgress {
    wchar_t folder[MAX_PATH]; // the folder being copied, relative to the profile
    ULONGLONG files;          // files copied so far, over all folders
    ULONGLONG bytes;
    DWORD intervalMs; // the least time between two titles while one folder is copied
    DWORD lastShown;  // clock value of the last title
    ProgressSink sink;
    void* context;
    DWORD(WINAPI* clock)(); // GetTickCount, or a test's own
};

// A record with the given sink, at most four titles a second, counting from zero.
void InitCopyProgress(CopyProgress* progress, ProgressSink sink, void* context);

// Makes progress the one that the copies report to (null: none). Only the thread that walks the
// folders calls the functions below (copies made on other threads are handed to it), whatever is
// installed.
void InstallCopyProgress(CopyProgress* progress);

// A new folder is being copied: shown at once.
void ProgressFolder(const wchar_t* folder);
// One file was copied: counted, and shown when the interval has passed since the last title.
void ProgressFileCopied(ULONGLONG size);
// Several files were copied (by other threads; reported from the one that shows the title).
void ProgressFilesCopied(ULONGLONG files, ULONGLONG bytes);

// "Corvane - copying Documents: 12,345 files, 1.2 GB".
void FormatProgressTitle(const CopyProgress& progress, wchar_t* title, size_t capacity);

// The console window's title for the life of a run: saved when made, restored when destroyed, and by
// a console control handler should the run be ended by Ctrl+C, Ctrl+Break or the window's closing.
// Does nothing (and active() is false) when the process has no console.
class ConsoleTitle {
  public:
    ConsoleTitle();
    ~ConsoleTitle();
    ConsoleTitle(const ConsoleTitle&) = delete;
    ConsoleTitle& operator=(const ConsoleTitle&) = delete;
    bool active() const { return active_; }
    // A ProgressSink that sets the console title; context is the ConsoleTitle.
    static void Show(const wchar_t* title, void* context);

  private:
    bool active_;
};
