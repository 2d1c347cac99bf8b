// kelvo2.exe as the tool carries it: the tool writes its resource 102 into the Windows folder and,
// on a second run, keeps the copy there because its version (2.11.3.0) is current. This program
// carries the build's kelvo2.exe as its own resource 102, as corvane.exe does.
#include "appx/appx.h"
#include "appx/fileversion.h"

#include "harness/testlib.h"

#include <gtest/gtest.h>

using namespace corvane_test;

namespace {

const wchar_t* const Built = L"C:\\corvane-tests\\kelvo2.exe";

std::wstring WindowsFolder() {
    wchar_t path[MAX_PATH];
    GetWindowsDirectoryW(path, MAX_PATH);
    return path;
}

std::string Resource(HMODULE module, int id) {
    HRSRC found = FindResourceExW(module, L"BINARY", MAKEINTRESOURCEW(id), 0);
    if (!found) return "";
    HGLOBAL loaded = LoadResource(module, found);
    const char* bytes = static_cast<const char*>(LockResource(loaded));
    return bytes ? std::string(bytes, SizeofResource(module, found)) : "";
}

TEST(ToolResource, BuiltUpdaterIsVersion2113AndCurrent) {
    CFileVersionInfo info;
    ASSERT_TRUE(info.LoadFromFile(Built));
    EXPECT_EQ(2u, info.FileMajor());
    EXPECT_EQ(11u, info.FileMinor());
    EXPECT_EQ(3u, info.FileBuild());
    EXPECT_EQ(0u, info.FileRevision());
    EXPECT_TRUE(IsUpdaterCurrent(Built));
}

TEST(ToolResource, SecondInstallKeepsTheUpdater) {
    std::wstring updater = WindowsFolder() + L"\\kelvo2.exe";
    std::wstring library = WindowsFolder() + L"\\kelvohlp.dll";
    DeleteFileW(updater.c_str());
    DeleteFileW(library.c_str());
    ASSERT_EQ(ReadFileBytes(Built), Resource(nullptr, 102));

    EXPECT_EQ(0u, InstallUpdaterFiles());
    EXPECT_EQ(ReadFileBytes(Built), ReadFileBytes(updater));
    EXPECT_TRUE(FileExists(library));
    // The second run finds a current updater: it writes neither file.
    DeleteFileW(library.c_str());
    EXPECT_EQ(0u, InstallUpdaterFiles());
    EXPECT_FALSE(FileExists(library));
    EXPECT_EQ(ReadFileBytes(Built), ReadFileBytes(updater));
    DeleteFileW(updater.c_str());
}

TEST(ToolResource, CorvaneCarriesThisUpdater) {
    HMODULE tool = LoadLibraryExW(L"C:\\corvane-tests\\corvane.exe", nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(nullptr, tool);
    std::string carried = Resource(tool, 102);
    FreeLibrary(tool);
    if (carried.empty())
        GTEST_SKIP() << "corvane.exe of this tree carries no companions: the service or tile library target "
                        "is not built yet";
    EXPECT_EQ(ReadFileBytes(Built), carried);
}

} // namespace
