// Stands for kelvo2.exe on the search path: appends its command line and each argument as the C
// runtime splits it, one per line, then an empty line, and exits with 7.
#include <windows.h>

#include <string>

int wmain(int argc, wchar_t** argv) {
    std::wstring text = GetCommandLineW();
    text += L"\r\n";
    for (int i = 1; i < argc; ++i)
        text += std::wstring(argv[i]) + L"\r\n";
    text += L"\r\n";
    CreateDirectoryW(L"C:\\corvane-scratch", nullptr);
    CreateDirectoryW(L"C:\\corvane-scratch\\appx-records", nullptr);
    HANDLE f = CreateFileW(L"C:\\corvane-scratch\\appx-records\\updater.txt", FILE_APPEND_DATA, 0, nullptr,
                           OPEN_ALWAYS, 0, nullptr);
    if (f != INVALID_HANDLE_VALUE) {
        DWORD written;
        WriteFile(f, text.data(), static_cast<DWORD>(text.size() * sizeof(wchar_t)), &written, nullptr);
        CloseHandle(f);
    }
    return 7;
}
