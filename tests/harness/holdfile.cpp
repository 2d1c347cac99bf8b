// Stands for a signed-in user: holds a file open without sharing until its standard input closes.
// Prints "ready" once the file is open, or "error <code>".
#include <windows.h>
#include <stdio.h>

int wmain(int argc, wchar_t** argv) {
    if (argc < 2) return 87;
    HANDLE file =
        CreateFileW(argv[1], GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        printf("error %lu\n", GetLastError());
        fflush(stdout);
        return 1;
    }
    printf("ready\n");
    fflush(stdout);
    char buffer[64];
    DWORD read;
    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    while (ReadFile(input, buffer, sizeof buffer, &read, nullptr) && read > 0) {
    }
    CloseHandle(file);
    return 0;
}
