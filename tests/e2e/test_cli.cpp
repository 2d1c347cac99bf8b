// The shipped program as a black box: exact standard output bytes and exact 32-bit exit codes.
#include "harness/testlib.h"

#include <gtest/gtest.h>

using namespace corvane_test;

namespace {

const std::string ShortUsage =
    "Usage: Corvane profilefoldername [/q]\r\n\r\nOption:\r\n/q\tDo not display prompts\r\n";
const std::string LongUsage = "Usage: Corvane profilefoldername [/q] [/NoAppx]\r\n\r\n"
                              "Options:\r\n"
                              "/q\t\t\tDo not display prompts\r\n"
                              "/NoAppx\t\t\tDo not include Windows Store Apps\r\n"
                              "\r\n\r\n\r\nAdditional Options:\r\n"
                              "\r\nUsage: Corvane [/InstallAppxService] | [/DeleteAppxService]\r\n"
                              "\r\n/InstallAppxService\tInstall the Quillmar AppX Management Service to\r\n"
                              "\t\t\tmanage Windows Store Apps for the default profile\r\n"
                              "\r\n/DeleteAppxService\tUninstall the Quillmar AppX Management Service\r\n";
const std::string InUse10 = "The profile is in use.\r\nThe user must sign off before running Corvane.\r\n";
const std::string InUseWarning = "The profile is in use.\r\n"
                                 "It is recommended that the user be logged off before running Corvane.\r\n"
                                 "Are you sure you want to continue (y/N)? ";
const std::string Updating = "Updating default profile...\r\n";

std::string NoSid(const std::wstring& path) {
    return "Cannot get user SID for profile " + Narrow(path) + ".\r\n";
}

class Cli : public ::testing::Test {
  protected:
    void SetUp() override { SetToolWindowsVersion(L"win7"); }
    void TearDown() override {
        for (const auto& p : profiles_)
            RemoveProfile(p);
        SetToolWindowsVersion(L"win7");
    }
    // A profile folder with a hive; registered in ProfileList only when sid is given.
    TestProfile Profile(const std::wstring& name, const std::wstring& sid = L"") {
        HiveContent hive;
        hive[L"Software\\Test"][L"Value"] = Sz(L"x");
        profiles_.push_back(CreateProfile(name, sid, hive));
        return profiles_.back();
    }
    std::vector<TestProfile> profiles_;
};

TEST_F(Cli, NoArgumentPrintsShortUsageEvenOnWindows10) {
    SetToolWindowsVersion(L"win10");
    RunResult r = RunTool(L"");
    EXPECT_EQ(87u, r.exitCode);
    EXPECT_EQ(Banner + ShortUsage, r.out);
}

TEST_F(Cli, HelpFollowsTheWindowsVersion) {
    RunResult r = RunTool(L"/?");
    EXPECT_EQ(0u, r.exitCode);
    EXPECT_EQ(Banner + ShortUsage, r.out);
    SetToolWindowsVersion(L"win10");
    r = RunTool(L"/?");
    EXPECT_EQ(0u, r.exitCode);
    EXPECT_EQ(Banner + LongUsage, r.out);
    SetToolWindowsVersion(L"win81");
    EXPECT_EQ(Banner + LongUsage, RunTool(L"/?").out);
}

TEST_F(Cli, OptionsInFirstPositionFailTheCharacterTest) {
    RunResult r = RunTool(L"/q");
    EXPECT_EQ(87u, r.exitCode);
    EXPECT_EQ(Banner + ShortUsage, r.out);
    r = RunTool(L"/NoAppx");
    EXPECT_EQ(87u, r.exitCode);
    r = RunTool(L"name*");
    EXPECT_EQ(87u, r.exitCode);
    EXPECT_EQ(Banner + ShortUsage, r.out);
}

TEST_F(Cli, KeywordsIgnoreCase) {
    // The service removal is recognised in any case. With the service absent it is first created
    // at its fixed path (its start fails, the program file is not there), then deleted again.
    std::string deleting = "Deleting the Quillmar AppX Management Service. Please wait...\r\n";
    std::string deleted = "The Quillmar AppX Management Service has been deleted.\r\n";
    for (const wchar_t* word : {L"/DELETEAPPXSERVICE", L"/deleteappxservice"}) {
        RunResult r = RunTool(word);
        EXPECT_EQ(0u, r.exitCode);
        EXPECT_EQ(Banner + deleting + deleted, r.out);
    }
}

TEST_F(Cli, MissingFolderGivesPathNotFound) {
    RunResult r = RunTool(L"NoSuchUserFolder");
    EXPECT_EQ(3u, r.exitCode);
    EXPECT_EQ(Banner + SystemErrorText(3) + "\r\n", r.out);
    r = RunTool(L"C:\\users\\NoSuchUserFolder /q");
    EXPECT_EQ(3u, r.exitCode);
    // A file is not a profile folder either.
    WriteFileBytes(ProfilesDir() + L"\\corvane-not-a-folder.txt", "x");
    r = RunTool(L"corvane-not-a-folder.txt");
    DeleteFileW((ProfilesDir() + L"\\corvane-not-a-folder.txt").c_str());
    EXPECT_EQ(3u, r.exitCode);
}

TEST_F(Cli, BareNameResolvesUnderProfilesFolder) {
    Profile(L"CliBare");
    RunResult r = RunTool(L"CliBare /NoAppx");
    EXPECT_EQ(87u, r.exitCode);
    EXPECT_EQ(Banner + Updating + NoSid(ProfilesDir() + L"\\CliBare"), r.out);
}

TEST_F(Cli, PathWithBackslashIsUsedUnchanged) {
    Profile(L"CliPath");
    RunResult r = RunTool(L"c:\\USERS\\CliPath /NoAppx");
    EXPECT_EQ(87u, r.exitCode);
    EXPECT_EQ(Banner + Updating + NoSid(L"c:\\USERS\\CliPath"), r.out);
    // A trailing backslash is kept, so the ProfileList entry (stored without one) does not match.
    Profile(L"CliTrail", L"S-1-5-21-11-11-11-2001");
    r = RunTool(L"C:\\users\\CliTrail\\ /NoAppx");
    EXPECT_EQ(87u, r.exitCode);
    EXPECT_EQ(Banner + Updating + NoSid(L"C:\\users\\CliTrail\\"), r.out);
}

TEST_F(Cli, TooLongPathIsRefused) {
    RunResult r = RunTool(L"C:\\" + std::wstring(257, L'a'));
    EXPECT_EQ(206u, r.exitCode);
    EXPECT_EQ(std::string(Banner) + "The profile path is longer than 259 characters.\r\n", r.out);
    r = RunTool(std::wstring(255, L'b'));
    EXPECT_EQ(206u, r.exitCode);
}

TEST_F(Cli, ProfileInUseOnWindows10IsRefused) {
    TestProfile p = Profile(L"CliInUse10");
    HeldFile held(p.path + L"\\NTUSER.DAT");
    ASSERT_TRUE(held.ok());
    SetToolWindowsVersion(L"win10");
    RunResult r = RunTool(L"CliInUse10 /NoAppx");
    EXPECT_EQ(32u, r.exitCode);
    EXPECT_EQ(Banner + InUse10, r.out);
}

TEST_F(Cli, ProfileInUseOnWindows81Asks) {
    TestProfile p = Profile(L"CliInUse81");
    HeldFile held(p.path + L"\\NTUSER.DAT");
    ASSERT_TRUE(held.ok());
    SetToolWindowsVersion(L"win81");

    RunResult r = RunTool(L"CliInUse81 /NoAppx", "Y\r\n");
    EXPECT_EQ(87u, r.exitCode); // went on, then found no owner
    EXPECT_EQ(Banner + InUseWarning + Updating + NoSid(p.path), r.out);

    for (const char* answer : {"yes\r\n", "\r\n", "", "n\r\n"}) {
        r = RunTool(L"CliInUse81 /NoAppx", answer);
        EXPECT_EQ(32u, r.exitCode) << answer;
        EXPECT_EQ(Banner + InUseWarning, r.out) << answer;
    }
    r = RunTool(L"CliInUse81 /NoAppx", std::string(400, 'y') + "\r\ny\r\n");
    EXPECT_EQ(32u, r.exitCode);
    EXPECT_EQ(Banner + InUseWarning, r.out);
}

TEST_F(Cli, QuietOverridesTheInUseTestInAnyCase) {
    TestProfile p = Profile(L"CliQuiet");
    HeldFile held(p.path + L"\\NTUSER.DAT");
    ASSERT_TRUE(held.ok());
    for (const wchar_t* version : {L"win10", L"win81", L"win7", L"winxp"}) {
        SetToolWindowsVersion(version);
        RunResult r = RunTool(L"CliQuiet /Q /noappx");
        EXPECT_EQ(87u, r.exitCode) << Narrow(version);
        EXPECT_EQ(Banner + Updating + NoSid(p.path), r.out) << Narrow(version);
        r = RunTool(L"CliQuiet /NOAPPX /q");
        EXPECT_EQ(Banner + Updating + NoSid(p.path), r.out) << Narrow(version);
    }
}

TEST_F(Cli, ProfileWithoutHiveIsNotInUse) {
    TestProfile p = Profile(L"CliNoHive");
    DeleteFileW((p.path + L"\\NTUSER.DAT").c_str());
    SetToolWindowsVersion(L"win10");
    RunResult r = RunTool(L"CliNoHive /NoAppx");
    EXPECT_EQ(87u, r.exitCode);
    EXPECT_EQ(Banner + Updating + NoSid(p.path), r.out);
}

TEST_F(Cli, OwnerThatIsNoValidSid) {
    TestProfile p = Profile(L"CliBadSid", L"S-1-5-21-11-11-11-2002.bak");
    RunResult r = RunTool(L"CliBadSid /q /NoAppx");
    EXPECT_EQ(87u, r.exitCode);
    EXPECT_EQ(Banner + Updating + NoSid(p.path), r.out);
}

// The updater files that a run on Windows 8.1 writes into the Windows folder of the prefix.
void RemoveUpdaterFiles() {
    wchar_t windows[MAX_PATH];
    GetWindowsDirectoryW(windows, MAX_PATH);
    DeleteFileW((std::wstring(windows) + L"\\kelvo2.exe").c_str());
    DeleteFileW((std::wstring(windows) + L"\\kelvohlp.dll").c_str());
}

TEST_F(Cli, DeclinedStoreAppServiceStopsWindows10Only) {
    TestProfile p = Profile(L"CliAppx");
    std::string question =
        "Corvane needs to install the Quillmar AppX Management Service to manage Windows Store "
        "Apps for the default profile. Is this OK (Y/n)? ";
    SetToolWindowsVersion(L"win10");
    RunResult r = RunTool(L"CliAppx", "n\r\n");
    EXPECT_EQ(1223u, r.exitCode);
    EXPECT_EQ(Banner + Updating + question + "Corvane cannot continue.\r\n", r.out);
    // Windows 8.1 goes on without the service.
    SetToolWindowsVersion(L"win81");
    r = RunTool(L"CliAppx", "yes\r\n");
    EXPECT_EQ(87u, r.exitCode);
    EXPECT_EQ(Banner + Updating + question + NoSid(p.path), r.out);
    RemoveUpdaterFiles();
    // Unknown words in the option positions are ignored; a fourth argument is never read.
    SetToolWindowsVersion(L"win10");
    r = RunTool(L"CliAppx /x /NoAppx /q");
    EXPECT_EQ(87u, r.exitCode);
    EXPECT_EQ(Banner + Updating + NoSid(p.path), r.out);
    r = RunTool(L"CliAppx /x /y /NoAppx", "n\r\n");
    EXPECT_EQ(1223u, r.exitCode);
}

} // namespace
