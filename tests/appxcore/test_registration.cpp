// The one registration routine the service and the updater share, over a scripted package platform:
// attempts and their delays, the failure list, what a hang does, which restores run and as whom, and
// that a failing restore does not stop the steps after it.
#include "repository.h"

#include "companions/appxcore/packagelist.h"
#include "companions/appxcore/registration.h"
#include "harness/testlib.h"

#include <gtest/gtest.h>

#include <map>

using namespace appxcore;
using corvane_test::FileExists;
using corvane_test::Narrow;

namespace {

// Packages by family for the version refresh; registrations answered from a script per manifest
// (one outcome per attempt, the last repeated), Completed when nothing is scripted.
class ScriptedPlatform : public PackagePlatform {
  public:
    struct Package : PlatformPackage {
        PackageIdentity identity;
        std::wstring path;
        PackageIdentity Identity() override { return identity; }
        std::wstring InstalledPath() override { return path; }
        bool IsFramework() override { return false; }
        std::vector<PackagePtr> Dependencies() override { return {}; }
    };

    std::map<std::wstring, std::vector<PackagePtr>> installed;
    std::map<std::wstring, std::vector<DeploymentOutcome>> script;
    std::map<std::wstring, int> attempts;
    std::vector<std::wstring> order; // every attempt's manifest, in order
    bool failQueries = false;

    std::vector<PackagePtr> FindPackagesForUser(const std::wstring&) override { return {}; }
    std::vector<PackagePtr> FindPackages(const std::wstring& familyName) override {
        if (failQueries) ThrowError(E_ACCESSDENIED);
        auto found = installed.find(familyName);
        return found == installed.end() ? std::vector<PackagePtr>() : found->second;
    }
    DeploymentOutcome RegisterPackage(const std::wstring& manifestPath) override {
        order.push_back(manifestPath);
        int attempt = attempts[manifestPath]++;
        auto scripted = script.find(manifestPath);
        if (scripted == script.end() || scripted->second.empty()) {
            DeploymentOutcome done;
            done.status = DeploymentStatus::Completed;
            return done;
        }
        const std::vector<DeploymentOutcome>& outcomes = scripted->second;
        return outcomes[static_cast<size_t>(attempt) < outcomes.size() ? attempt : outcomes.size() - 1];
    }
    std::wstring Description() const override { return L"scripted"; }
};

DeploymentOutcome Failed() {
    DeploymentOutcome outcome;
    outcome.status = DeploymentStatus::Error;
    outcome.errorText = L"Deployment failed for the test.";
    return outcome;
}
DeploymentOutcome Hung() {
    DeploymentOutcome outcome;
    outcome.status = DeploymentStatus::Started;
    outcome.errorCode = HRESULT_FROM_WIN32(ERROR_TIMEOUT);
    outcome.errorText = L"The completion did not arrive.";
    return outcome;
}
DeploymentOutcome Completed() {
    DeploymentOutcome outcome;
    outcome.status = DeploymentStatus::Completed;
    return outcome;
}

// Everything the routine tells its host, in order, marked with whether it happened as the user.
class RecordingHost : public RegistrationHost {
  public:
    std::vector<std::wstring> events;
    bool asUser = false;
    bool allowFailureList = true;
    bool swallowFailureListError = false;

    void Counted(int count) override { Add(L"count " + std::to_wstring(count)); }
    void Registering(int index, int count) override {
        Add(L"package " + std::to_wstring(index) + L" of " + std::to_wstring(count));
    }
    void Note(const std::wstring& line) override { Add(L"note " + line); }
    void AsUser(const std::function<void()>& steps) override {
        asUser = true;
        try {
            steps();
        } catch (...) {
            asUser = false;
            throw;
        }
        asUser = false;
    }
    bool MayWriteFailureList(const std::wstring&) override {
        Add(L"failure list");
        return allowFailureList;
    }
    void FailureListNotWritten(const AppxError& error) override {
        Add(L"failure list not written");
        if (!swallowFailureListError) RegistrationHost::FailureListNotWritten(error);
    }
    void RestoreTileDatabase(RegisterType mode) override {
        Add(L"tile restore " + std::to_wstring(static_cast<int>(mode)));
    }

    // The events that start with prefix, as the user ("U ") or not ("S ").
    std::vector<std::wstring> Starting(const std::wstring& prefix) const {
        std::vector<std::wstring> found;
        for (const std::wstring& e : events)
            if (e.compare(2, prefix.size(), prefix) == 0) found.push_back(e);
        return found;
    }

  private:
    void Add(const std::wstring& text) { events.push_back((asUser ? L"U " : L"S ") + text); }
};

class RegistrationTest : public ::testing::Test {
  protected:
    RegistrationTest() : repo_(L"registration"), platform_(std::make_shared<ScriptedPlatform>()) {}

    void SetUp() override {
        corvane_test::MakeDirs(Quillmar());
        a_ = Record(L"A");
        b_ = Record(L"B");
        c_ = Record(L"C");
        p1_ = Record(L"P1");
        p2_ = Record(L"P2");
    }

    PackageInfo Record(const std::wstring& name) {
        PackageInfo p;
        p.name = L"Test." + name;
        p.publisher = L"CN=Test";
        p.architecture = L"X64";
        p.version = L"1.0.0.0";
        p.familyName = L"Test." + name + L"_family";
        p.fullName = L"Test." + name + L"_1.0.0.0_x64__family";
        p.path = repo_.root() + L"\\packages\\" + name;
        return p;
    }
    static std::wstring Manifest(const PackageInfo& p) { return p.path + L"\\Appxmanifest.xml"; }

    ManageAppx Module() {
        ManageAppxSettings settings = repo_.settings();
        settings.priorityPackages = {p1_.familyName, p2_.familyName, L"Test.Absent_family"};
        settings.platform = platform_;
        settings.windowsMajor = 10;
        return ManageAppx(settings);
    }
    RegistrationPlan Plan(RegisterType mode) const {
        RegistrationPlan plan;
        plan.mode = mode;
        plan.failureList = FailureList();
        plan.userSid = L"S-1-5-21-1111-2222-3333-1001"; // no settings backup in HKEY_USERS: nothing to do
        plan.profileFolder = repo_.root() + L"\\profile-without-backup";
        plan.retryDelayMs = 0;
        return plan;
    }
    std::wstring Quillmar() const { return repo_.root() + L"\\Quillmar"; }
    std::wstring FailureList() const { return Quillmar() + L"\\Migrate-AppxPackage-Fail"; }
    static std::vector<std::wstring> Names(const std::vector<PackageInfo>& list) {
        std::vector<std::wstring> names;
        for (const PackageInfo& p : list)
            names.push_back(p.name + (p.installedfailed ? L" failed" : L""));
        return names;
    }
    static size_t Count(const std::wstring& text, const std::wstring& what) {
        size_t n = 0;
        for (size_t at = text.find(what); at != std::wstring::npos; at = text.find(what, at + 1))
            ++n;
        return n;
    }

    appx_test::Repository repo_;
    std::shared_ptr<ScriptedPlatform> platform_;
    PackageInfo a_, b_, c_, p1_, p2_;
};

TEST_F(RegistrationTest, ThreeAttemptsThenTheFailureListAndProgressWhereTheHostSays) {
    platform_->script[Manifest(b_)] = {Failed()};
    platform_->script[Manifest(c_)] = {Failed(), Failed(), Completed()};
    ManageAppx module = Module();
    RecordingHost host;
    RegistrationOutcome outcome = RegisterPackageList(module, {a_, b_, c_}, Plan(RegisterType::Force), host);

    EXPECT_EQ(1, platform_->attempts[Manifest(a_)]);
    EXPECT_EQ(3, platform_->attempts[Manifest(b_)]);
    EXPECT_EQ(3, platform_->attempts[Manifest(c_)]); // the third attempt succeeds
    EXPECT_EQ(3, outcome.count);
    EXPECT_EQ(3, outcome.tried);
    EXPECT_EQ(2, outcome.registered);
    EXPECT_TRUE(outcome.complete);
    EXPECT_EQ(std::vector<std::wstring>{L"Test.B failed"}, Names(outcome.failed));
    EXPECT_EQ(std::vector<std::wstring>{L"Test.B failed"}, Names(ReadPackageList(FailureList())));

    // The count once before the first package, then each index counting from 1, all as the user.
    std::vector<std::wstring> progress = host.Starting(L"count");
    std::vector<std::wstring> packages = host.Starting(L"package");
    progress.insert(progress.end(), packages.begin(), packages.end());
    EXPECT_EQ((std::vector<std::wstring>{L"U count 3", L"U package 1 of 3", L"U package 2 of 3",
                                         L"U package 3 of 3"}),
              progress);
    EXPECT_EQ(L"U count 3", host.events.front());

    // Only the last attempt reports, to the text log: B once; C, which failed twice first, not at all.
    std::wstring log = repo_.ReadLog();
    EXPECT_EQ(1u, Count(log, L"Package registration fails: " + Manifest(b_))) << Narrow(log);
    EXPECT_EQ(0u, Count(log, Manifest(c_))) << Narrow(log);
}

TEST_F(RegistrationTest, AttemptsWaitTheDelayUnitAndTheProductDefaultIsOneSecond) {
    EXPECT_EQ(1000u, RegistrationPlan().retryDelayMs);
    platform_->script[Manifest(a_)] = {Failed()};
    ManageAppx module = Module();
    RecordingHost host;
    RegistrationPlan plan = Plan(RegisterType::Force);
    plan.retryDelayMs = 100; // attempts after 0, 100 and 200 ms
    ULONGLONG start = GetTickCount64();
    RegisterPackageList(module, {a_}, plan, host);
    ULONGLONG elapsed = GetTickCount64() - start;
    EXPECT_EQ(3, platform_->attempts[Manifest(a_)]);
    EXPECT_GE(elapsed, 280u); // the tick may be coarse
    EXPECT_LT(elapsed, 5000u);
}

TEST_F(RegistrationTest, AHangStopsTheRestOnlyWhenThePlanSaysSo) {
    platform_->script[Manifest(b_)] = {Hung()};
    {
        ManageAppx module = Module();
        RecordingHost host;
        RegistrationPlan plan = Plan(RegisterType::Force);
        plan.stopAfterHang = true; // the updater
        RegistrationOutcome outcome = RegisterPackageList(module, {a_, b_, c_}, plan, host);
        EXPECT_FALSE(outcome.complete);
        EXPECT_EQ(1, platform_->attempts[Manifest(b_)]); // never tried again
        EXPECT_EQ(0, platform_->attempts[Manifest(c_)]);
        EXPECT_EQ(2, outcome.tried);
        EXPECT_EQ(2u, host.Starting(L"package").size());
        // The hung package and every one not tried are in the failure list.
        EXPECT_EQ((std::vector<std::wstring>{L"Test.B failed", L"Test.C failed"}),
                  Names(ReadPackageList(FailureList())));
    }
    platform_->attempts.clear();
    {
        ManageAppx module = Module();
        RecordingHost host;
        RegistrationOutcome outcome =
            RegisterPackageList(module, {a_, b_, c_}, Plan(RegisterType::Force), host);
        EXPECT_TRUE(outcome.complete); // the service goes on with the next package
        EXPECT_EQ(1, platform_->attempts[Manifest(b_)]);
        EXPECT_EQ(1, platform_->attempts[Manifest(c_)]);
        EXPECT_EQ(std::vector<std::wstring>{L"Test.B failed"}, Names(ReadPackageList(FailureList())));
    }
}

TEST_F(RegistrationTest, ModesCountAndSelect) {
    std::vector<PackageInfo> list = {a_, p1_, b_, p2_};
    ManageAppx module = Module();
    RecordingHost priority;
    RegistrationOutcome outcome = RegisterPackageList(module, list, Plan(RegisterType::Priority), priority);
    EXPECT_EQ(3, outcome.count); // the number of priority families, not of those in the list
    EXPECT_EQ((std::vector<std::wstring>{Manifest(p1_), Manifest(p2_)}), platform_->order);

    platform_->order.clear();
    RecordingHost update;
    outcome = RegisterPackageList(module, list, Plan(RegisterType::Update), update);
    EXPECT_EQ(1, outcome.count); // list size minus the three
    EXPECT_EQ(2, outcome.tried);
    EXPECT_EQ((std::vector<std::wstring>{Manifest(a_), Manifest(b_)}), platform_->order);
    EXPECT_FALSE(FileExists(FailureList()));
}

TEST_F(RegistrationTest, FailingRestoresAreNotedAndTheStepsAfterThemStillRun) {
    ManageAppx module = Module();
    RecordingHost host;
    RegistrationPlan plan = Plan(RegisterType::Force);
    plan.userSid = L""; // the settings restore refuses it with an error
    plan.restoreSettingsInEveryMode = true;
    plan.restoreTileDatabase = true;
    platform_->script[Manifest(b_)] = {Failed()};
    RegisterPackageList(module, {a_, b_}, plan, host);

    // No folder backup, then an invalid SID: both noted, the tile restore still runs, in this order;
    // the folder restore as the user, the settings and tile restores not.
    std::vector<std::wstring> tail(host.events.end() - 3, host.events.end());
    ASSERT_EQ(3u, tail.size());
    EXPECT_EQ(0u, tail[0].find(L"U note File restore fails. ")) << Narrow(tail[0]);
    EXPECT_EQ(0u, tail[1].find(L"S note Settings restore fails. ")) << Narrow(tail[1]);
    EXPECT_EQ(L"S tile restore 2", tail[2]);
    EXPECT_EQ(std::vector<std::wstring>{L"Test.B failed"}, Names(ReadPackageList(FailureList())));
    EXPECT_EQ(std::vector<std::wstring>{L"U failure list"}, host.Starting(L"failure list"));
}

TEST_F(RegistrationTest, WhichRestoresRunByModeAndPlan) {
    ManageAppx module = Module();
    RegistrationPlan plan = Plan(RegisterType::Update);
    plan.userSid = L""; // makes a settings restore visible as a note
    {
        // The updater: Update restores nothing.
        RecordingHost host;
        RegisterPackageList(module, {a_}, plan, host);
        EXPECT_TRUE(host.Starting(L"note").empty());
        EXPECT_TRUE(host.Starting(L"tile").empty());
    }
    {
        // The service: settings in every mode, folders only in Priority and Force; the host is asked
        // about the tile database with the mode.
        plan.restoreSettingsInEveryMode = true;
        plan.restoreTileDatabase = true;
        RecordingHost host;
        RegisterPackageList(module, {a_}, plan, host);
        std::vector<std::wstring> notes = host.Starting(L"note");
        ASSERT_EQ(1u, notes.size());
        EXPECT_EQ(0u, notes[0].find(L"S note Settings restore fails. "));
        EXPECT_EQ(std::vector<std::wstring>{L"S tile restore 1"}, host.Starting(L"tile"));
    }
    {
        RecordingHost host;
        plan.mode = RegisterType::Priority;
        RegisterPackageList(module, {a_}, plan, host);
        EXPECT_EQ(2u, host.Starting(L"note").size());
        EXPECT_EQ(std::vector<std::wstring>{L"S tile restore 0"}, host.Starting(L"tile"));
    }
}

TEST_F(RegistrationTest, TheFailureList) {
    // An old list goes when nothing fails.
    WritePackageList(FailureList(), {c_});
    ManageAppx module = Module();
    {
        RecordingHost host;
        RegisterPackageList(module, {a_}, Plan(RegisterType::Force), host);
        EXPECT_FALSE(FileExists(FailureList()));
    }
    // A host that refuses the place leaves the old list as it was.
    WritePackageList(FailureList(), {c_});
    platform_->script[Manifest(a_)] = {Failed()};
    {
        RecordingHost host;
        host.allowFailureList = false;
        RegisterPackageList(module, {a_}, Plan(RegisterType::Force), host);
        EXPECT_EQ(std::vector<std::wstring>{L"Test.C"}, Names(ReadPackageList(FailureList())));
    }
    // A list that cannot be written: by default the error ends the registration before the restores
    // (the service ends the request); a host that takes it goes on with them.
    RegistrationPlan plan = Plan(RegisterType::Force);
    plan.failureList = repo_.root() + L"\\no-such-folder\\Migrate-AppxPackage-Fail";
    plan.restoreTileDatabase = true;
    {
        RecordingHost host;
        EXPECT_THROW(RegisterPackageList(module, {a_}, plan, host), AppxError);
        EXPECT_TRUE(host.Starting(L"tile").empty());
        EXPECT_TRUE(host.Starting(L"note").empty());
    }
    {
        RecordingHost host;
        host.swallowFailureListError = true;
        RegisterPackageList(module, {a_}, plan, host);
        EXPECT_EQ(std::vector<std::wstring>{L"U failure list not written"},
                  host.Starting(L"failure list not written"));
        EXPECT_EQ(1u, host.Starting(L"tile").size());
    }
}

TEST_F(RegistrationTest, VersionRefreshRegistersTheNewestCopyAndItsErrorsEndTheRun) {
    auto newer = std::make_shared<ScriptedPlatform::Package>();
    newer->identity.name = a_.name;
    newer->identity.architecture = L"X64";
    newer->identity.version[0] = 2;
    newer->identity.familyName = a_.familyName;
    newer->identity.fullName = L"Test.A_2.0.0.0_x64__family";
    newer->path = repo_.root() + L"\\packages\\A2";
    platform_->installed[a_.familyName] = {newer};
    // b_ is installed nowhere: left out, and not counted.
    ManageAppx module = Module();
    RecordingHost host;
    RegistrationPlan plan = Plan(RegisterType::Force);
    plan.refreshVersions = true;
    RegistrationOutcome outcome = RegisterPackageList(module, {a_, b_}, plan, host);
    EXPECT_EQ(1, outcome.count);
    EXPECT_EQ(std::vector<std::wstring>{newer->path + L"\\Appxmanifest.xml"}, platform_->order);

    // Without the refresh the list is registered as it is.
    platform_->order.clear();
    plan.refreshVersions = false;
    RegisterPackageList(module, {a_, b_}, plan, host);
    EXPECT_EQ((std::vector<std::wstring>{Manifest(a_), Manifest(b_)}), platform_->order);

    // A failing platform query ends the registration before anything is registered or written.
    platform_->order.clear();
    platform_->failQueries = true;
    WritePackageList(FailureList(), {c_});
    plan.refreshVersions = true;
    RecordingHost failing;
    EXPECT_THROW(RegisterPackageList(module, {a_}, plan, failing), AppxError);
    EXPECT_TRUE(platform_->order.empty());
    EXPECT_TRUE(failing.events.empty());
    EXPECT_TRUE(FileExists(FailureList()));
}

} // namespace
