// Drives kelvo2.exe on a real (virtual) display for window-shot.sh: the stand-in service holds the
// registration after package 1 so that the window stays up; the script takes its screenshot between
// the "ready" and "shot" markers. The window's own properties are checked here through Win32.
#include "companions/appxcore/packagelist.h"
#include "companions/updater/updater.h"

#include "fakeservice.h"
#include "harness/testlib.h"

#include <gtest/gtest.h>
#include <shlobj.h>

using namespace corvane_test;
using updater_test::FakeService;

namespace {

const wchar_t* const Markers = L"C:\\corvane-scratch\\window";

bool WaitFor(const std::function<bool()>& condition, DWORD timeoutMs) {
    DWORD start = GetTickCount();
    while (GetTickCount() - start < timeoutMs) {
        if (condition()) return true;
        Sleep(100);
    }
    return false;
}

TEST(WindowTest, FullScreenMidnightBlueWithCentredProgress) {
    MakeDirs(Markers);
    wchar_t local[MAX_PATH] = L"";
    SHGetFolderPathW(nullptr, CSIDL_LOCAL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, local);
    std::wstring quillmar = std::wstring(local) + L"\\Quillmar";
    MakeDirs(quillmar);
    appxcore::PackageInfo p;
    p.name = L"Store.One";
    p.fullName = L"Store.One_1.0.0.0_x64__0000000000000";
    p.familyName = L"Store.One_0000000000000";
    appxcore::WritePackageList(quillmar + L"\\Migrate-AppxPackage", {p, p, p});

    FakeService service;
    ASSERT_TRUE(service.ok());
    FakeService::SetReplies({L"Start", L"3", L"1", L"sleep:25000", L"2", L"3", L"Done"});

    std::wstring command = L"\"C:\\corvane-tests\\kelvo2.exe\"";
    STARTUPINFOW si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    ASSERT_TRUE(CreateProcessW(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi));
    CloseHandle(pi.hThread);

    HWND window = nullptr;
    ASSERT_TRUE(
        WaitFor([&] { return (window = FindWindowW(nullptr, L"Personalized Settings")) != nullptr; }, 60000));
    HWND label = nullptr;
    // The service's first count shows package 1 of 3 once the first index has arrived.
    ASSERT_TRUE(WaitFor(
        [&] {
            label = FindWindowExW(window, nullptr, L"STATIC", nullptr);
            wchar_t text[128] = L"";
            if (label) GetWindowTextW(label, text, 128);
            return wcscmp(text, L"Updating Store App 1 of 3...") == 0;
        },
        20000));
    Sleep(1500); // let the label's repaint reach the screen

    LONG style = GetWindowLongW(window, GWL_STYLE);
    LONG exStyle = GetWindowLongW(window, GWL_EXSTYLE);
    EXPECT_TRUE(style & WS_POPUP);
    EXPECT_FALSE(style & (WS_CAPTION | WS_SYSMENU | WS_THICKFRAME));
    EXPECT_TRUE(exStyle & WS_EX_TOPMOST);
    EXPECT_TRUE(exStyle & WS_EX_TOOLWINDOW); // not in the taskbar
    RECT rect = {};
    GetWindowRect(window, &rect);
    EXPECT_EQ(0, rect.left);
    EXPECT_EQ(0, rect.top);
    EXPECT_EQ(GetSystemMetrics(SM_CXSCREEN), rect.right);
    EXPECT_EQ(GetSystemMetrics(SM_CYSCREEN), rect.bottom);
    RECT labelRect = {};
    GetWindowRect(label, &labelRect);
    EXPECT_LE(abs((labelRect.left + labelRect.right) / 2 - rect.right / 2), 1);
    EXPECT_LE(abs((labelRect.top + labelRect.bottom) / 2 - rect.bottom / 2), 1);
    EXPECT_GT(labelRect.right - labelRect.left, 100);

    WriteFileBytes(std::wstring(Markers) + L"\\ready", "ready");
    EXPECT_TRUE(WaitFor([] { return FileExists(std::wstring(Markers) + L"\\shot"); }, 60000));

    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(pi.hProcess, 90000));
    DWORD code = 1;
    GetExitCodeProcess(pi.hProcess, &code);
    CloseHandle(pi.hProcess);
    EXPECT_EQ(0u, code);
    EXPECT_EQ(nullptr, FindWindowW(nullptr, L"Personalized Settings"));
    std::wstring last;
    EXPECT_TRUE(updater::ReadLastSid(&last));
    DeleteTestTree(quillmar);
}

// The service takes the registration, names package 1 and never answers again: the topmost window
// must go by itself within the reply limit (here the test build's shorter one), the user not counted
// as done. Runs after the screenshot test, on the same display.
TEST(WindowTest, ClosesWhenTheServiceStopsAnswering) {
    wchar_t local[MAX_PATH] = L"";
    SHGetFolderPathW(nullptr, CSIDL_LOCAL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, local);
    std::wstring quillmar = std::wstring(local) + L"\\Quillmar";
    MakeDirs(quillmar);
    appxcore::PackageInfo p;
    p.name = L"Store.One";
    p.fullName = L"Store.One_1.0.0.0_x64__0000000000000";
    p.familyName = L"Store.One_0000000000000";
    appxcore::WritePackageList(quillmar + L"\\Migrate-AppxPackage", {p, p, p});
    RegDeleteTreeW(HKEY_CURRENT_USER, L"Software\\Quillmar");

    FakeService service;
    ASSERT_TRUE(service.ok());
    FakeService::SetReplies({L"Start", L"3", L"1", L"sleep:120000"});

    SetEnvironmentVariableW(L"CORVANE_TEST_WAIT_MS", L"3000");
    std::wstring command = L"\"C:\\corvane-tests\\kelvo2.exe\"";
    STARTUPINFOW si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    BOOL started =
        CreateProcessW(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi);
    SetEnvironmentVariableW(L"CORVANE_TEST_WAIT_MS", nullptr);
    ASSERT_TRUE(started);
    CloseHandle(pi.hThread);

    HWND window = nullptr;
    EXPECT_TRUE(
        WaitFor([&] { return (window = FindWindowW(nullptr, L"Personalized Settings")) != nullptr; }, 60000));
    DWORD shown = GetTickCount();
    // Gone within the limit and some slack, long before the service would answer again.
    EXPECT_TRUE(WaitFor([] { return FindWindowW(nullptr, L"Personalized Settings") == nullptr; }, 20000));
    EXPECT_LT(GetTickCount() - shown, 20000u);
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(pi.hProcess, 30000));
    DWORD code = 1;
    GetExitCodeProcess(pi.hProcess, &code);
    CloseHandle(pi.hProcess);
    EXPECT_EQ(0u, code);
    std::wstring last;
    EXPECT_FALSE(updater::ReadLastSid(&last)) << Narrow(last);
    std::vector<appxcore::PackageInfo> failed;
    EXPECT_TRUE(appxcore::TryReadPackageList(quillmar + L"\\Migrate-AppxPackage-Fail", &failed));
    EXPECT_EQ(3u, failed.size());
    DeleteTestTree(quillmar);
}

} // namespace
