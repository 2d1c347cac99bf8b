// Stands for kelvo2.exe on the search path: records its command line and each argument as the C
// runtime splits it, one per line, and exits with 7.
#include <windows.h>

#include <string>

int wmain(int argc, wchar_t** argv) {
    std::wstring text = GetCommandLineW();
    text += L"\r\n";
    for (int i = 1; i < argc; ++i) text += std::wstring(argv[i]) + L"\r\n";
    CreateDirectoryW(L"C:\\corvane-scratch", nullptr);
    CreateDirectoryW(L"C:\\corvane-scratch\\appx-records", nullptr);
    HANDLE f = CreateFileW(L"C:\\corvane-scratch\\appx-records\\updater.txt", GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                           0, nullptr);
    if (f != INVALID_HANDLE_VALUE) {
        DWORD written;
        WriteFile(f, text.data(), static_cast<DWORD>(text.size() * sizeof(wchar_t)), &written, nullptr);
        CloseHandle(f);
    }
    return 7;
}
