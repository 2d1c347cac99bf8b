// One run at a time, black box: the test tree's corvane.exe against a one-run mutex that another
// run holds, and two runs of the same update started together.
#include "harness/testlib.h"

#include <gtest/gtest.h>

#include <thread>

using namespace corvane_test;

namespace {

using Tree = std::map<std::wstring, std::string>;

const char* const BusyLine =
    "Another run of Corvane is changing the default profile or the Store-app service on "
    "this computer; nothing has been changed. Run Corvane again when it has ended.\r\n";
const wchar_t* const MutexName = L"Global\\Corvane-OneRun";

bool ServiceExists() {
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (!manager) return false;
    SC_HANDLE service = OpenServiceW(manager, L"QuillmarAppxService", SERVICE_QUERY_STATUS);
    if (service) CloseServiceHandle(service);
    CloseServiceHandle(manager);
    return service != nullptr;
}

// Every file below the folder except the hive, whose saved text carries the time it was written.
Tree WithoutHive(Tree tree) {
    tree.erase(L"NTUSER.DAT");
    for (auto it = tree.begin(); it != tree.end();)
        it = it->first.find(L"UsrClass.dat") != std::wstring::npos ? tree.erase(it) : std::next(it);
    return tree;
}

class OneRunTest : public ::testing::Test {
  protected:
    void SetUp() override {
        SetToolWindowsVersion(L"win7");
        defaultPath_ = EnsureDefaultProfile();
        backup_ = defaultPath_ + L".corvane-backup";
        DeleteTestTree(backup_);
        MakeDirs(defaultPath_ + L"\\Old");
        WriteFileBytes(defaultPath_ + L"\\Old\\old.txt", "old default");
        HiveContent hive;
        hive[L"Software\\Corvane Test"][L"Marker"] = Sz(L"one run");
        source_ = CreateProfile(L"OneRunSrc", L"S-1-5-21-43-43-43-1001", hive);
        MakeRequiredRowFolders(source_.path);
        MakeDirs(source_.path + L"\\Documents\\Many");
        for (int i = 0; i < 300; ++i)
            WriteFileBytes(source_.path + L"\\Documents\\Many\\f" + std::to_wstring(i) + L".txt", "file");
    }
    void TearDown() override {
        RemoveProfile(source_);
        DeleteTestTree(backup_);
        DeleteTestTree(defaultPath_);
    }

    std::wstring defaultPath_, backup_;
    TestProfile source_;
};

TEST_F(OneRunTest, WhileAnotherRunHoldsTheMutexEveryChangingCommandEndsWithBusyAndChangesNothing) {
    Tree before = Snapshot(defaultPath_);
    bool serviceBefore = ServiceExists();
    HANDLE held = CreateMutexW(nullptr, TRUE /* owned: another run is busy */, MutexName);
    ASSERT_NE(nullptr, held) << GetLastError();

    for (const wchar_t* arguments :
         {L"OneRunSrc /q /NoAppx", L"/InstallAppxService", L"/DeleteAppxService"}) {
        DWORD start = GetTickCount();
        RunResult r = RunTool(arguments);
        DWORD took = GetTickCount() - start;
        EXPECT_EQ(static_cast<DWORD>(ERROR_BUSY), r.exitCode) << Narrow(arguments) << "\n" << r.out;
        EXPECT_NE(std::string::npos, r.out.find(BusyLine)) << r.out;
        EXPECT_EQ(std::string::npos, r.out.find("Updating default profile")) << r.out;
        EXPECT_GE(took, 9000u) << "the wait is bounded, not skipped";
        EXPECT_LT(took, 60000u) << "the wait is bounded";
    }
    ReleaseMutex(held);
    CloseHandle(held);
    EXPECT_EQ(before, Snapshot(defaultPath_));
    EXPECT_FALSE(FileExists(backup_) || DirExists(backup_));
    EXPECT_EQ(serviceBefore, ServiceExists());
}

TEST_F(OneRunTest, ARunThatFindsTheMutexLetGoWithinTheWaitGoesOn) {
    // Only the owning thread can let a mutex go: one thread holds it for two seconds.
    HANDLE taken = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    bool held = false;
    std::thread holder([&] {
        HANDLE mutex = CreateMutexW(nullptr, TRUE, MutexName);
        held = mutex != nullptr && GetLastError() != ERROR_ALREADY_EXISTS;
        SetEvent(taken);
        Sleep(2000);
        ReleaseMutex(mutex);
        CloseHandle(mutex);
    });
    WaitForSingleObject(taken, INFINITE);
    CloseHandle(taken);
    RunResult r = RunTool(L"OneRunSrc /q /NoAppx");
    holder.join();
    ASSERT_TRUE(held);
    EXPECT_EQ(0u, r.exitCode) << r.out;
    EXPECT_EQ(std::string::npos, r.out.find(BusyLine)) << r.out;
    EXPECT_FALSE(FileExists(defaultPath_ + L"\\Old\\old.txt")) << "the update ran";
}

TEST_F(OneRunTest, TwoRunsStartedTogetherGiveWhatOneRunGives) {
    // What one run alone makes.
    RunResult single = RunTool(L"OneRunSrc /q /NoAppx");
    ASSERT_EQ(0u, single.exitCode) << single.out;
    Tree once = WithoutHive(Snapshot(defaultPath_));

    RunResult a, b;
    std::thread first([&] { a = RunTool(L"OneRunSrc /q /NoAppx"); });
    std::thread second([&] { b = RunTool(L"OneRunSrc /q /NoAppx"); });
    first.join();
    second.join();
    // The second run either waited for the first and repeated it, or gave up with 170 having
    // changed nothing; no other outcome is acceptable.
    for (const RunResult* r : {&a, &b}) {
        EXPECT_TRUE(r->exitCode == 0 || r->exitCode == ERROR_BUSY) << r->exitCode << "\n" << r->out;
        if (r->exitCode == ERROR_BUSY) {
            EXPECT_NE(std::string::npos, r->out.find(BusyLine));
        }
        EXPECT_EQ(std::string::npos, r->out.find("interrupted")) << r->out;
    }
    EXPECT_TRUE(a.exitCode == 0 || b.exitCode == 0);
    EXPECT_EQ(once, WithoutHive(Snapshot(defaultPath_)));
    EXPECT_TRUE(FileExists(defaultPath_ + L"\\NTUSER.DAT"));
    EXPECT_FALSE(DirExists(backup_));
}

} // namespace
