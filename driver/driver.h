// The command-line driver: banner, usage, dispatch and the checks of a profile run.
#pragma once

#include <windows.h>
#include <stdio.h>

// Runs the tool for an argument vector whose first entry is the program; returns the exit code.
int RunCorvane(int argc, wchar_t** argv);

// Builds ProfilePath (260 characters) from the first argument: unchanged when it holds a
// backslash, else below the profiles folder. 0, ERROR_FILENAME_EXCED_RANGE when the path would not
// fit, or GetProfilesDirectoryW's error.
DWORD BuildProfilePath(const wchar_t* argument, wchar_t* profilePath);

// True when the argument holds none of the characters "/[]|<>+=;,?*".
bool PassesCharacterTest(const wchar_t* argument);

// Reads one answer line from the stream; true only for the whole answer "y" in either case. A line
// longer than 259 characters is a "no" and is consumed to its end.
bool ReadYesAnswer(FILE* input);

// The steps of /InstallAppxService, replaceable so that outcomes Wine cannot produce (a run without
// administrator rights) can be tested.
struct InstallServiceSteps {
    bool (*prepare)(bool quiet, DWORD* failure); // PrepareAppxService
    DWORD (*installUpdaterFiles)();              // InstallUpdaterFiles
};
// Runs both steps (the updater files are written even when the service failed: Windows 8 and 8.1
// use kelvo2.exe without it) and returns the code of the first that failed, 0 when none did.
int RunInstallServiceSteps(const InstallServiceSteps& steps);
