// The pipe path: the updater talking to a stand-in service that Wine's service control manager runs
// under the real service name, and the shipped program's behaviour seen from outside (kelvo2.exe of
// this build started as Active Setup starts it).
#include "companions/appxcore/packagelist.h"
#include "companions/updater/updater.h"
#include "base/raii.h"

#include "../appxcore/repository.h"
#include "fakeservice.h"
#include "harness/fakeappxservice.h"
#include "harness/testlib.h"

#include <gtest/gtest.h>
#include <shlobj.h>

using namespace corvane_test;
using appxcore::PackageInfo;
using appxcore::RegisterType;
using updater_test::FakeService;

namespace {

const wchar_t* const Kelvo2 = L"C:\\corvane-tests\\kelvo2.exe";
const std::wstring Windows = L"CN=Microsoft Windows, O=Microsoft Corporation, L=Redmond, S=Washington, C=US";
const std::wstring Store = L"CN=Store Test Publisher";
const wchar_t* const AllUserStore = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Appx\\AppxAllUserStore";
const wchar_t* const Sid = L"S-1-5-21-1-2-3-1001";

std::wstring LocalAppData() {
    wchar_t path[MAX_PATH] = L"";
    SHGetFolderPathW(nullptr, CSIDL_LOCAL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, path);
    return path;
}

updater::Environment ServiceEnv(DWORD major) {
    updater::Environment env;
    env.sid = appx_test::CurrentSid();
    env.localAppData = L"C:\\corvane-scratch\\updater-service\\local";
    env.profileFolder = L"C:\\corvane-scratch\\updater-service\\profile";
    env.windowsMajor = major;
    env.module.priorityPackages = appxcore::UpdaterPriorityPackages;
    env.module.logFile = L"C:\\corvane-scratch\\updater-service\\log.txt";
    env.retryDelayMs = 1;
    return env;
}

class ServiceTest : public ::testing::Test {
  protected:
    void SetUp() override {
        MakeDirs(L"C:\\corvane-scratch\\updater-service");
        ASSERT_TRUE(service_.ok()) << "the stand-in service did not start";
        FakeService::ClearRequests();
    }
    void TearDown() override { DeleteTestTree(L"C:\\corvane-scratch\\updater-service"); }
    FakeService service_;
};

TEST_F(ServiceTest, ServiceProgressCountsFromZero) {
    FakeService::SetReplies({L"Start", L"3", L"1", L"2", L"3", L"done"});
    updater::Updater u(ServiceEnv(10), 1);
    std::vector<std::wstring> texts;
    updater::RegisterResult r = u.Register(L"C:\\unused", true, RegisterType::Force,
                                           [&](const std::wstring& t) { texts.push_back(t); });
    EXPECT_TRUE(r.byService);
    EXPECT_EQ(3, r.count);
    EXPECT_EQ((std::vector<int>{0, 1, 2, 3}), r.shownIndexes);
    ASSERT_FALSE(texts.empty());
    EXPECT_EQ(L"Updating Store App 0 of 3...", texts[0]);
    EXPECT_EQ(std::vector<std::wstring>{L"-register"}, FakeService::Requests());
}

TEST_F(ServiceTest, RequestFollowsModeAndWindowsVersion) {
    FakeService::SetReplies({L"Start", L"Done"});
    struct Row {
        DWORD major;
        RegisterType mode;
        const wchar_t* request;
    } rows[] = {
        {6, RegisterType::Priority, L"-register"}, {6, RegisterType::Update, L"-register"},
        {10, RegisterType::Force, L"-register"},   {10, RegisterType::Priority, L"-priority"},
        {10, RegisterType::Update, L"-update"},
    };
    std::vector<std::wstring> expected;
    for (const Row& row : rows) {
        updater::Updater u(ServiceEnv(row.major), 0);
        updater::RegisterResult r = u.Register(L"C:\\unused", true, row.mode, nullptr);
        EXPECT_TRUE(r.byService);
        EXPECT_TRUE(r.shownIndexes.empty()); // "Done" before a count ends at once
        expected.push_back(row.request);
    }
    EXPECT_EQ(expected, FakeService::Requests());
}

TEST_F(ServiceTest, SilentReturnsAfterTheFirstReply) {
    FakeService::SetReplies({L"Start", L"sleep:4000", L"2", L"1", L"2", L"Done"});
    updater::Updater u(ServiceEnv(10), 0);
    DWORD start = GetTickCount();
    updater::RegisterResult r = u.Register(L"C:\\unused", false, RegisterType::Update, nullptr);
    EXPECT_LT(GetTickCount() - start, 3000u);
    EXPECT_TRUE(r.byService);
    EXPECT_TRUE(r.shownIndexes.empty());
}

TEST_F(ServiceTest, ServerGoneMidwayEndsTheRegistration) {
    FakeService::SetReplies({L"Start", L"4", L"1"});
    updater::Updater u(ServiceEnv(10), 1);
    updater::RegisterResult r = u.Register(L"C:\\unused", true, RegisterType::Force, nullptr);
    EXPECT_TRUE(r.byService);
    EXPECT_EQ((std::vector<int>{0, 1}), r.shownIndexes);
    // Broken framing is a pipe error too, not an allocation of what the count says.
    FakeService::SetReplies({L"Start", L"4", L"\xFFFF\xFFFF"});
    r = u.Register(L"C:\\unused", true, RegisterType::Force, nullptr);
    EXPECT_TRUE(r.byService);
    EXPECT_FALSE(r.complete); // the service's work cannot be counted on
}

TEST_F(ServiceTest, ListingSendsTheToolsRequest) {
    FakeService::SetReplies({L"Start"});
    updater::Updater u(ServiceEnv(10), 0);
    u.List(updater::ParseCommandLine({L"-user", Sid, L"-file",
                                      L"C:\\Users\\Default\\AppData\\Local\\Quillmar\\Migrate-AppxPackage",
                                      L"-profile", L"C:\\Users\\Ann Lee"}));
    u.List(
        updater::ParseCommandLine({L"-user", Sid, L"-profile", L"C:\\corvane-scratch\\updater-service\\Bo"}));
    EXPECT_EQ(
        (std::vector<std::wstring>{
            L"-user|S-1-5-21-1-2-3-1001|C:\\Users\\Default\\AppData\\Local\\Quillmar\\Migrate-AppxPackage|"
            L"C:\\Users\\Ann Lee",
            L"-user|S-1-5-21-1-2-3-1001|C:\\corvane-scratch\\updater-service\\Bo\\AppData\\Local\\Quillmar\\"
            L"Migrate-AppxPackage|C:\\corvane-scratch\\updater-service\\Bo"}),
        FakeService::Requests());
}

// A listing the service refuses is done in this process, with the user's own rights, instead of
// being taken for done.
TEST_F(ServiceTest, ListingRefusedByTheServiceIsDoneInThisProcess) {
    FakeService::SetReplies({L"Access Denied"});
    updater::Updater u(ServiceEnv(10), 0);
    std::wstring profile = L"C:\\corvane-scratch\\updater-service\\Cy";
    u.List(updater::ParseCommandLine({L"-user", Sid, L"-profile", profile}));
    EXPECT_EQ(1u, FakeService::Requests().size());
    EXPECT_TRUE(FileExists(profile + L"\\AppData\\Local\\Quillmar\\Migrate-AppxPackage"));
    // A service that does list: nothing is listed here.
    FakeService::SetReplies({L"Start"});
    std::wstring other = L"C:\\corvane-scratch\\updater-service\\Di";
    u.List(updater::ParseCommandLine({L"-user", Sid, L"-profile", other}));
    EXPECT_FALSE(FileExists(other + L"\\AppData\\Local\\Quillmar\\Migrate-AppxPackage"));
}

TEST(ImpostorTest, AnotherProcessOnThePipeIsToldNothing) {
    MakeDirs(L"C:\\corvane-scratch\\updater-service");
    FakeService::ClearRequests();
    // The impostor takes the pipe name first; the service then runs without a pipe of its own.
    updater_test::Impostor impostor;
    ASSERT_TRUE(impostor.ok());
    FakeService service;
    ASSERT_TRUE(service.ok());
    updater::Environment env = ServiceEnv(10);
    updater::Updater u(env, 1);
    updater::RegisterResult r =
        u.Register(L"C:\\corvane-scratch\\updater-service\\missing", true, RegisterType::Force, nullptr);
    EXPECT_FALSE(r.byService);
    EXPECT_FALSE(r.listRead); // it went on alone, with the list it was given
    EXPECT_EQ(std::vector<std::wstring>{L"<impostor: connected>"}, FakeService::Requests());
    std::wstring log = appx_test::Widen(ReadFileBytes(env.module.logFile));
    EXPECT_NE(std::wstring::npos,
              log.find(L"does not answer (" + updater::Win32Message(ERROR_ACCESS_DENIED) + L")"))
        << Narrow(log);
    DeleteTestTree(L"C:\\corvane-scratch\\updater-service");
}

// kelvo2.exe itself, with the stand-in repository in Windows' own places.
class ProgramTest : public ::testing::Test {
  protected:
    ProgramTest() : repo_(L"updater-program") {}
    void SetUp() override {
        RegDeleteTreeW(HKEY_CURRENT_USER, L"Software\\Quillmar");
        sid_ = appx_test::CurrentSid();
        // The stand-in finds packages in "<ProgramW6432>\WindowsApps"; kelvo2.exe inherits this
        // variable, so the packages live in the test's own scratch folder.
        wchar_t programs[MAX_PATH] = L"";
        GetEnvironmentVariableW(L"ProgramW6432", programs, MAX_PATH);
        savedPrograms_ = programs;
        SetEnvironmentVariableW(L"ProgramW6432", ProgramFiles);
        apps_ = std::wstring(ProgramFiles) + L"\\WindowsApps";
        MakeDirs(apps_);
        list_ = {Install(L"cp", L"windows.immersivecontrolpanel", Windows),
                 Install(L"one", L"Store.One", Store), Install(L"two", L"Store.Two", Store)};
        PackageInfo broken = list_[1];
        broken.name = L"Store.Broken";
        broken.fullName = L"Store.Broken_1.0.0.0_x64__0000000000000";
        broken.familyName = L"Store.Broken_0000000000000";
        broken.path = apps_ + L"\\missing";
        list_.insert(list_.begin() + 2, broken);
        MakeDirs(LocalAppData() + L"\\Quillmar");
        appxcore::WritePackageList(ListFile(), list_);
    }
    void TearDown() override {
        RegDeleteTreeW(HKEY_CURRENT_USER, L"Software\\Quillmar");
        RegDeleteTreeW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Appx");
        DeleteTestTree(LocalAppData() + L"\\Quillmar");
        DeleteTestTree(ProgramFiles);
        SetEnvironmentVariableW(L"ProgramW6432", savedPrograms_.c_str());
    }
    static constexpr const wchar_t* ProgramFiles = L"C:\\corvane-scratch\\updater-program\\pf";
    PackageInfo Install(const std::wstring& folder, const std::wstring& name, const std::wstring& publisher) {
        repo_.Install(folder, name, publisher, L"1.0.0.0", L"x64");
        std::wstring target = apps_ + L"\\" + folder;
        EXPECT_TRUE(MoveFileW((repo_.packages() + L"\\" + folder).c_str(), target.c_str()));
        return appx_test::RecordFromManifest(target);
    }
    static std::wstring ListFile() { return LocalAppData() + L"\\Quillmar\\Migrate-AppxPackage"; }
    std::vector<std::wstring> RegisteredNames() const {
        return appx_test::RegisteredInAllUserStore(sid_, list_);
    }
    static std::wstring LastSid() {
        std::wstring sid;
        return updater::ReadLastSid(&sid) ? sid : L"(none)";
    }
    static DWORD Run(const std::wstring& arguments) { return RunProgram(Kelvo2, arguments).exitCode; }

    appx_test::Repository repo_;
    std::wstring sid_, apps_, savedPrograms_;
    std::vector<PackageInfo> list_;
};

TEST_F(ProgramTest, InProcessWhenNoServiceAnswers) {
    EXPECT_EQ(0u, Run(L""));
    EXPECT_EQ((std::vector<std::wstring>{L"windows.immersivecontrolpanel", L"Store.One", L"Store.Two"}),
              RegisteredNames());
    EXPECT_EQ(sid_, LastSid());
    std::vector<PackageInfo> failed =
        appxcore::ReadPackageList(LocalAppData() + L"\\Quillmar\\Migrate-AppxPackage-Fail");
    ASSERT_EQ(1u, failed.size());
    EXPECT_EQ(L"Store.Broken", failed[0].name);
    EXPECT_TRUE(failed[0].installedfailed);
}

TEST_F(ProgramTest, ThroughTheServiceThenNothingOnASecondRun) {
    FakeService service;
    ASSERT_TRUE(service.ok());
    FakeService::ClearRequests();
    FakeService::SetRegister(true);
    WriteKeys(HKEY_LOCAL_MACHINE, {{fake_appx_service::SettingsKey, {{L"PackageFolder", Sz(apps_)}}}});
    EXPECT_EQ(0u, Run(L""));
    EXPECT_EQ(std::vector<std::wstring>{L"-register"}, FakeService::Requests());
    EXPECT_EQ(3u, RegisteredNames().size());
    EXPECT_EQ(sid_, LastSid());
    // The user is done: a second start sends nothing and registers nothing.
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Appx");
    EXPECT_EQ(0u, Run(L""));
    EXPECT_EQ(1u, FakeService::Requests().size());
    EXPECT_TRUE(RegisteredNames().empty());
    // Nonsense and an invalid SID do nothing, and still end with 0.
    EXPECT_EQ(0u, Run(L"-user S-1-5-bogus -file C:\\x"));
    EXPECT_EQ(0u, Run(L"-force -run"));
    EXPECT_EQ(1u, FakeService::Requests().size());
    // The tool's listing form, with a quoted profile that holds a space.
    FakeService::SetReplies({L"Start"});
    EXPECT_EQ(0u, Run(L"-user S-1-5-21-1-2-3-1001 -file \"C:\\a b\\list\" -profile \"C:\\Users\\Ann Lee\""));
    EXPECT_EQ(L"-user|S-1-5-21-1-2-3-1001|C:\\a b\\list|C:\\Users\\Ann Lee", FakeService::Requests().back());
}

TEST_F(ProgramTest, ServiceThatStopsReplyingIsGivenUpAndTheNextLogonTriesAgain) {
    // The service takes the registration, names the first package and then never answers again.
    // The test build's shorter limit (inherited by kelvo2.exe) stands for the product's minutes.
    FakeService service;
    ASSERT_TRUE(service.ok());
    FakeService::ClearRequests();
    FakeService::SetReplies({L"Start", L"4", L"1", L"sleep:120000"});
    SetEnvironmentVariableW(L"CORVANE_TEST_WAIT_MS", L"3000");
    DWORD start = GetTickCount();
    DWORD code = Run(L""); // as Active Setup starts it: the full-screen window form
    DWORD elapsed = GetTickCount() - start;
    SetEnvironmentVariableW(L"CORVANE_TEST_WAIT_MS", nullptr);
    EXPECT_EQ(0u, code);
    // The limit, plus the two seconds after Ctrl+Esc, plus starting the program.
    EXPECT_LT(elapsed, 20000u);
    EXPECT_EQ(std::vector<std::wstring>{L"-register"}, FakeService::Requests());
    EXPECT_EQ(L"(none)", LastSid());
    // Which packages the service registered is not known: all four are in the failure list.
    std::vector<PackageInfo> failed =
        appxcore::ReadPackageList(LocalAppData() + L"\\Quillmar\\Migrate-AppxPackage-Fail");
    ASSERT_EQ(4u, failed.size());
    for (size_t i = 0; i < failed.size(); ++i) {
        EXPECT_EQ(list_[i].fullName, failed[i].fullName);
        EXPECT_TRUE(failed[i].installedfailed);
    }
    EXPECT_TRUE(RegisteredNames().empty()); // nothing was done in this process instead
}

TEST_F(ProgramTest, DebugLevelTurnsOnTheProgramsOwnLog) {
    std::wstring log = LocalAppData() + L"\\Quillmar\\Migrate-AppxPackage.log";
    EXPECT_EQ(0u, Run(L"-silent"));
    std::string quiet = FileExists(log) ? ReadFileBytes(log) : "";
    EXPECT_EQ(std::string::npos, quiet.find("Command Line is"));
    EXPECT_NE(std::string::npos, quiet.find("Package registration fails: ")); // failures always
    WriteKeys(HKEY_LOCAL_MACHINE, {{L"SOFTWARE\\Wow6432Node\\Quillmar\\AppX", {{L"DebugLevel", Dword(1)}}}});
    EXPECT_EQ(0u, Run(L"-silent"));
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Wow6432Node\\Quillmar");
    std::string loud = ReadFileBytes(log);
    EXPECT_NE(std::string::npos, loud.find("Command Line is -silent"));
    EXPECT_NE(std::string::npos, loud.find("LastSid is "));
}

} // namespace

namespace {

TEST_F(ProgramTest, TrayRunsWaitTheDelayAtTheSetPriority) {
    WriteKeys(HKEY_LOCAL_MACHINE, {{L"SOFTWARE\\Wow6432Node\\Quillmar\\Appx",
                                    {{L"Delay", Dword(3)}, {L"Priority", Sz(L"Idle")}}}});
    std::wstring command = std::wstring(L"\"") + Kelvo2 + L"\" -run";
    STARTUPINFOW si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    ASSERT_TRUE(CreateProcessW(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi));
    CloseHandle(pi.hThread);
    UniqueHandle process(pi.hProcess);
    DWORD start = GetTickCount();
    // The priority is set before the three-second delay begins.
    EXPECT_TRUE(PollUntil([&] { return GetPriorityClass(process.get()) == IDLE_PRIORITY_CLASS; }, 2500))
        << GetPriorityClass(process.get());
    EXPECT_TRUE(RegisteredNames().empty()); // still waiting
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(process.get(), 60000));
    EXPECT_GE(GetTickCount() - start, 3000u);
    DWORD code = 1;
    GetExitCodeProcess(process.get(), &code);
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Wow6432Node\\Quillmar");
    EXPECT_EQ(0u, code);
    // "-run" is an Update run: everything but the priority families, and the user is done.
    EXPECT_EQ((std::vector<std::wstring>{L"Store.One", L"Store.Two"}), RegisteredNames());
    EXPECT_EQ(sid_, LastSid());

    // "-forcepriority" ignores LastSid, registers the priority families and leaves LastSid as it was.
    updater::WriteLastSid(L"S-1-5-21-9-9-9-1001");
    EXPECT_EQ(0u, Run(L"-forcepriority"));
    EXPECT_EQ((std::vector<std::wstring>{L"windows.immersivecontrolpanel", L"Store.One", L"Store.Two"}),
              RegisteredNames());
    EXPECT_EQ(L"S-1-5-21-9-9-9-1001", LastSid());
}

TEST_F(ProgramTest, RestoreMenuAsksTheServiceOnly) {
    // Without a display the message boxes return at once (Wine); what shows is the request.
    EXPECT_EQ(0u, Run(L"-restoremenu"));
    FakeService service;
    ASSERT_TRUE(service.ok());
    FakeService::ClearRequests();
    FakeService::SetReplies({L"Start", L"Done"});
    EXPECT_EQ(0u, Run(L"-RestoreMenu"));
    EXPECT_EQ(std::vector<std::wstring>{L"-restoremenu"}, FakeService::Requests());
    EXPECT_TRUE(RegisteredNames().empty());
}

} // namespace
