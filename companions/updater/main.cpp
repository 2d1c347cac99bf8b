// kelvo2.exe: a windowed program without a window of its own until an update run shows one. It ends
// with exit code 0 in every case: Active Setup and the tool only start it and never act on a code.
#include "companions/updater/updater.h"

#include <objbase.h>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    try {
        // The package manager is a Windows Runtime class; the module activates it on this thread.
        HRESULT com = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        std::vector<std::wstring> args = updater::ProcessArguments();
        updater::Settings settings = updater::ReadSettings();
        updater::Updater program(updater::CurrentEnvironment(), settings.debugLevel);
        if (args.empty()) {
            program.Log(L"No parameters on command line");
        } else {
            std::wstring line;
            for (const std::wstring& arg : args)
                line += (line.empty() ? L"" : L" ") + arg;
            program.Log(L"Command Line is " + line);
        }
        program.Run(updater::ParseCommandLine(args));
        if (SUCCEEDED(com)) CoUninitialize();
    } catch (...) {
        // Nothing can be reported before the environment is known; the exit code stays 0.
    }
    return 0;
}
