// The in-process registration and the decisions of an update run (LastSid, DisableAppxUpdate, modes),
// over a stand-in repository in the test's own scratch folder and registry key. The service's pipe is
// not served here, so every registration happens in this process.
#include "companions/appxcore/packagelist.h"
#include "companions/updater/updater.h"

#include "../appxcore/repository.h"
#include "harness/testlib.h"

#include <gtest/gtest.h>

using namespace corvane_test;
using appx_test::Repository;
using appxcore::PackageInfo;
using appxcore::RegisterType;

namespace {

const std::wstring Windows = L"CN=Microsoft Windows, O=Microsoft Corporation, L=Redmond, S=Washington, C=US";
const std::wstring Store = L"CN=Store Test Publisher";
const std::wstring Edge = L"microsoft.microsoftedge_8wekyb3d8bbwe\\MicrosoftEdge\\Main";
const std::wstring SettingsRoot =
    L"SOFTWARE\\Classes\\Local Settings\\Software\\Microsoft\\Windows\\CurrentVersion\\AppContainer\\Storage";
const std::wstring SettingsBackup = L"SOFTWARE\\Quillmar\\Migration\\AppX";

PackageInfo Record(const std::wstring& folder) {
    return appx_test::RecordFromManifest(folder);
}

class RegisterTest : public ::testing::Test {
  protected:
    RegisterTest() : repo_(L"updater") {}

    void SetUp() override {
        RegDeleteTreeW(HKEY_CURRENT_USER, L"Software\\Quillmar");
        sid_ = appx_test::CurrentSid();
        controlPanel_ = Install(L"cp", L"windows.immersivecontrolpanel", Windows);
        shell_ = Install(L"shell", L"Microsoft.Windows.ShellExperienceHost", Windows);
        app1_ = Install(L"app1", L"Store.One", Store);
        app2_ = Install(L"app2", L"Store.Two", Store);
        // A package that Windows does not have installed: every attempt to register it fails.
        MakeDirs(repo_.root() + L"\\elsewhere");
        std::wstring broken = repo_.Install(L"broken", L"Store.Broken", Store, L"1.0.0.0", L"x64");
        MoveFileW((repo_.packages() + L"\\broken").c_str(), (repo_.root() + L"\\elsewhere\\broken").c_str());
        broken_ = Record(repo_.root() + L"\\elsewhere\\broken");
        ASSERT_EQ(broken, broken_.fullName);
        list_ = {controlPanel_, app1_, broken_, shell_, app2_};
        MakeDirs(LocalQuillmar());
        MakeDirs(Profile());
        appxcore::WritePackageList(ListFile(), list_);
    }
    void TearDown() override {
        RegDeleteTreeW(HKEY_CURRENT_USER, L"Software\\Quillmar");
        RegDeleteTreeW(HKEY_CURRENT_USER, L"SOFTWARE\\Quillmar");
        RegDeleteTreeW(HKEY_CURRENT_USER,
                       (SettingsRoot + L"\\microsoft.microsoftedge_8wekyb3d8bbwe").c_str());
    }

    PackageInfo Install(const std::wstring& folder, const std::wstring& name, const std::wstring& publisher) {
        repo_.Install(folder, name, publisher, L"1.0.0.0", L"x64");
        return Record(repo_.packages() + L"\\" + folder);
    }
    std::wstring LocalQuillmar() const { return repo_.root() + L"\\local\\Quillmar"; }
    std::wstring ListFile() const { return LocalQuillmar() + L"\\Migrate-AppxPackage"; }
    std::wstring FailureList() const { return LocalQuillmar() + L"\\Migrate-AppxPackage-Fail"; }
    std::wstring Profile() const { return repo_.root() + L"\\profile"; }

    updater::Environment Env() const {
        updater::Environment env;
        env.sid = sid_;
        env.localAppData = repo_.root() + L"\\local";
        env.profileFolder = Profile();
        env.windowsMajor = 10;
        env.pipeName = L"corvane-test-no-service-here";
        env.module = repo_.settings();
        env.module.priorityPackages = appxcore::UpdaterPriorityPackages;
        env.retryDelayMs = 1;
        return env;
    }
    bool Registered(const PackageInfo& p) const {
        appxcore::StandInRepository config = repo_.config();
        HKEY key = nullptr;
        LONG r = RegOpenKeyExW(config.registrationRoot,
                               (config.registrationKey + L"\\" + sid_ + L"\\" + p.fullName).c_str(), 0,
                               KEY_READ, &key);
        if (key) RegCloseKey(key);
        return r == ERROR_SUCCESS;
    }
    std::vector<std::wstring> RegisteredNames() const {
        std::vector<std::wstring> names;
        for (const PackageInfo& p : list_)
            if (Registered(p)) names.push_back(p.name);
        return names;
    }
    static updater::CommandLine Silent(RegisterType mode, bool force = false) {
        updater::CommandLine c;
        c.action = updater::Action::Update;
        c.mode = mode;
        c.silent = true;
        c.force = force;
        return c;
    }
    static std::wstring LastSid() {
        std::wstring sid;
        return updater::ReadLastSid(&sid) ? sid : L"(none)";
    }

    Repository repo_;
    std::wstring sid_;
    PackageInfo controlPanel_, shell_, app1_, app2_, broken_;
    std::vector<PackageInfo> list_;
};

TEST_F(RegisterTest, PriorityFamiliesAreTheUpdatersThree) {
    // The identities computed from the manifests are the families the priority list names.
    EXPECT_EQ(L"windows.immersivecontrolpanel_cw5n1h2txyewy", controlPanel_.familyName);
    EXPECT_EQ(L"Microsoft.Windows.ShellExperienceHost_cw5n1h2txyewy", shell_.familyName);
    EXPECT_EQ(3u, appxcore::UpdaterPriorityPackages.size());
}

TEST_F(RegisterTest, ForceRegistersAllCountingFromOneAndListsExactlyTheFailures) {
    updater::Updater u(Env(), 0);
    std::vector<std::wstring> texts;
    updater::RegisterResult r = u.RegisterInProcess(ListFile(), RegisterType::Force,
                                                    [&](const std::wstring& t) { texts.push_back(t); });
    EXPECT_FALSE(r.byService);
    EXPECT_EQ(5, r.count);
    EXPECT_EQ((std::vector<int>{1, 2, 3, 4, 5}), r.shownIndexes);
    ASSERT_EQ(5u, texts.size());
    EXPECT_EQ(L"Updating Store App 1 of 5...", texts[0]);
    EXPECT_EQ(L"Updating Store App 5 of 5...", texts[4]);
    EXPECT_EQ((std::vector<std::wstring>{L"windows.immersivecontrolpanel", L"Store.One",
                                         L"Microsoft.Windows.ShellExperienceHost", L"Store.Two"}),
              RegisteredNames());

    std::vector<PackageInfo> failed = appxcore::ReadPackageList(FailureList());
    ASSERT_EQ(1u, failed.size());
    PackageInfo expected = broken_;
    expected.installedfailed = true;
    EXPECT_EQ(expected, failed[0]);
    // Registration failures reach the text log even at DebugLevel 0; the program's own lines do not.
    std::wstring log = repo_.ReadLog();
    EXPECT_NE(std::wstring::npos,
              log.find(L"Package registration fails: " + broken_.path + L"\\Appxmanifest.xml"));
    EXPECT_EQ(std::wstring::npos, log.find(L"in this process"));
}

TEST_F(RegisterTest, RegistrationThatNeverCompletesEndsTheWorkAndTheNextLogonTriesAgain) {
    // What the package manager reports for an operation whose completion did not come in time.
    appxcore::DeploymentOutcome hung;
    hung.status = appxcore::DeploymentStatus::Started;
    hung.errorCode = HRESULT_FROM_WIN32(ERROR_TIMEOUT);
    hung.errorText = L"The completion did not arrive.";
    updater::Environment env = Env();
    env.module.repository.forcedOutcomes[app1_.fullName] = hung;
    updater::Updater u(env, 0);
    updater::RegisterResult r = u.RegisterInProcess(ListFile(), RegisterType::Force, nullptr);
    EXPECT_FALSE(r.complete);
    // Tried once, not three times, and nothing after it.
    EXPECT_EQ((std::vector<int>{1, 2}), r.shownIndexes);
    EXPECT_EQ(std::vector<std::wstring>{L"windows.immersivecontrolpanel"}, RegisteredNames());
    std::wstring log = repo_.ReadLog();
    std::wstring line = L"Register " + app1_.path + L"\\Appxmanifest.xml failed. " + hung.errorText;
    size_t at = log.find(line);
    EXPECT_NE(std::wstring::npos, at) << Narrow(log);
    EXPECT_EQ(std::wstring::npos, log.find(line, at + 1));
    // The hung package and every one not tried are in the failure list.
    std::vector<PackageInfo> failed = appxcore::ReadPackageList(FailureList());
    std::vector<std::wstring> names;
    for (const PackageInfo& p : failed)
        names.push_back(p.name);
    EXPECT_EQ((std::vector<std::wstring>{L"Store.One", L"Store.Broken",
                                         L"Microsoft.Windows.ShellExperienceHost", L"Store.Two"}),
              names);

    // A whole run: the user is not counted as done.
    u.Update(Silent(RegisterType::Force), updater::Settings());
    EXPECT_EQ(L"(none)", LastSid());
    // Without the hang the next run completes and does count the user.
    updater::Updater next(Env(), 0);
    next.Update(Silent(RegisterType::Force), updater::Settings());
    EXPECT_EQ(sid_, LastSid());
}

TEST_F(RegisterTest, PriorityAndUpdateSplitTheList) {
    updater::Updater u(Env(), 1);
    updater::RegisterResult r = u.RegisterInProcess(ListFile(), RegisterType::Priority, nullptr);
    EXPECT_EQ(3, r.count); // the number of priority families, not of those in the list
    EXPECT_EQ((std::vector<int>{1, 2}), r.shownIndexes);
    EXPECT_EQ((std::vector<std::wstring>{L"windows.immersivecontrolpanel",
                                         L"Microsoft.Windows.ShellExperienceHost"}),
              RegisteredNames());
    EXPECT_FALSE(FileExists(FailureList()));

    r = u.RegisterInProcess(ListFile(), RegisterType::Update, nullptr);
    EXPECT_EQ(2, r.count); // list size minus the three
    EXPECT_EQ((std::vector<int>{1, 2, 3}), r.shownIndexes);
    EXPECT_EQ(4u, RegisteredNames().size());
    EXPECT_EQ(std::vector<std::wstring>{broken_.fullName}, r.failed);
    EXPECT_NE(std::wstring::npos, repo_.ReadLog().find(L"Registered 2 of 3 packages in this process."));
}

TEST_F(RegisterTest, OldFailureListGoesWhenNothingFails) {
    appxcore::WritePackageList(FailureList(), {broken_});
    appxcore::WritePackageList(ListFile(), {app1_});
    updater::Updater u(Env(), 0);
    u.RegisterInProcess(ListFile(), RegisterType::Force, nullptr);
    EXPECT_TRUE(Registered(app1_));
    EXPECT_FALSE(FileExists(FailureList()));
}

TEST_F(RegisterTest, UnreadableListRegistersNothing) {
    WriteFileBytes(ListFile(), "<ArrayOfPackageInfo><PackageInfo><name>x</name>");
    appxcore::WritePackageList(FailureList(), {broken_});
    updater::Updater u(Env(), 1);
    updater::RegisterResult r = u.RegisterInProcess(ListFile(), RegisterType::Force, nullptr);
    EXPECT_FALSE(r.listRead);
    EXPECT_TRUE(r.shownIndexes.empty());
    EXPECT_TRUE(RegisteredNames().empty());
    EXPECT_TRUE(FileExists(FailureList())); // the earlier failures stay for the next listing
    EXPECT_NE(std::wstring::npos, repo_.ReadLog().find(L"Cannot open Package List: "));
}

TEST_F(RegisterTest, MissingFolderBackupStillRestoresSettings) {
    WriteKeys(HKEY_CURRENT_USER, {{SettingsBackup + L"\\" + Edge, {{L"Home Page", Sz(L"about:blank")}}}});
    updater::Updater u(Env(), 1);
    // Update mode restores neither.
    u.RegisterInProcess(ListFile(), RegisterType::Update, nullptr);
    HKEY key = nullptr;
    EXPECT_NE(ERROR_SUCCESS,
              RegOpenKeyExW(HKEY_CURRENT_USER, (SettingsRoot + L"\\" + Edge).c_str(), 0, KEY_READ, &key));
    // The settings root exists once the platform has made the app container.
    WriteKeys(HKEY_CURRENT_USER, {{SettingsRoot, {}}});
    u.RegisterInProcess(ListFile(), RegisterType::Priority, nullptr);
    ASSERT_EQ(ERROR_SUCCESS,
              RegOpenKeyExW(HKEY_CURRENT_USER, (SettingsRoot + L"\\" + Edge).c_str(), 0, KEY_READ, &key));
    wchar_t text[64] = L"";
    DWORD size = sizeof text;
    EXPECT_EQ(ERROR_SUCCESS,
              RegQueryValueExW(key, L"Home Page", nullptr, nullptr, reinterpret_cast<BYTE*>(text), &size));
    RegCloseKey(key);
    EXPECT_STREQ(L"about:blank", text);
    EXPECT_NE(std::wstring::npos, repo_.ReadLog().find(L"File restore fails. "));
}

TEST_F(RegisterTest, LastSidDecidesWhetherTheUserIsDone) {
    updater::WriteLastSid(sid_);
    updater::Updater u(Env(), 1);
    u.Update(Silent(RegisterType::Force), updater::Settings());
    EXPECT_TRUE(RegisteredNames().empty());
    std::wstring log = repo_.ReadLog();
    EXPECT_NE(std::wstring::npos, log.find(L"LastSid is " + sid_ + L"."));
    EXPECT_NE(std::wstring::npos, log.find(L"Current sid is " + sid_ + L"."));

    // "-force" runs anyway (and, being a Force run, writes LastSid again).
    u.Update(Silent(RegisterType::Force, true), updater::Settings());
    EXPECT_EQ(4u, RegisteredNames().size());

    // Another user's SID in the profile (the profile was copied from them) does not stop the run.
    updater::WriteLastSid(L"S-1-5-21-9-9-9-1001");
    RegDeleteTreeW(HKEY_CURRENT_USER, repo_.config().registrationKey.c_str());
    u.Update(Silent(RegisterType::Force), updater::Settings());
    EXPECT_EQ(4u, RegisteredNames().size());
    EXPECT_EQ(sid_, LastSid());
}

TEST_F(RegisterTest, DisableAppxUpdate) {
    updater::Settings settings;
    settings.disableAppxUpdate = 1;
    updater::Updater u(Env(), 1);
    u.Update(Silent(RegisterType::Force), settings);
    EXPECT_TRUE(RegisteredNames().empty());
    EXPECT_EQ(L"(none)", LastSid());
    EXPECT_NE(std::wstring::npos, repo_.ReadLog().find(L"disableAppxUpdate value from registry is 1."));

    // 2: only the priority families, and the user counts as done.
    settings.disableAppxUpdate = 2;
    u.Update(Silent(RegisterType::Force), settings);
    EXPECT_EQ((std::vector<std::wstring>{L"windows.immersivecontrolpanel",
                                         L"Microsoft.Windows.ShellExperienceHost"}),
              RegisteredNames());
    EXPECT_EQ(sid_, LastSid());

    // "-force" does not read the setting.
    RegDeleteTreeW(HKEY_CURRENT_USER, L"Software\\Quillmar");
    settings.disableAppxUpdate = 1;
    u.Update(Silent(RegisterType::Force, true), settings);
    EXPECT_EQ(4u, RegisteredNames().size());
}

TEST_F(RegisterTest, PriorityRunLeavesTheRestForTheNextRun) {
    updater::Updater u(Env(), 0);
    updater::CommandLine priority = updater::ParseCommandLine({L"-priority"});
    u.Update(priority, updater::Settings()); // window form; without a display the work goes on alone
    EXPECT_EQ(2u, RegisteredNames().size());
    EXPECT_EQ(L"(none)", LastSid());
    // "-forcepriority" leaves it unwritten too.
    u.Update(Silent(RegisterType::Priority, true), updater::Settings());
    EXPECT_EQ(L"(none)", LastSid());

    u.Update(updater::ParseCommandLine({}), updater::Settings());
    EXPECT_EQ(4u, RegisteredNames().size());
    EXPECT_EQ(sid_, LastSid());
}

TEST_F(RegisterTest, MissingListEndsTheRunBeforeAnything) {
    DeleteFileW(ListFile().c_str());
    updater::Updater u(Env(), 1);
    u.Update(updater::ParseCommandLine({L"-run"}), updater::Settings());
    EXPECT_EQ(L"(none)", LastSid());
    EXPECT_NE(std::wstring::npos, repo_.ReadLog().find(L"There is no package list"));
}

} // namespace
