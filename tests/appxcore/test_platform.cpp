// Listing, version refresh and registration over a stand-in repository built by each test, and the
// choice of platform under Wine.
#include "repository.h"

#include "companions/appxcore/packagelist.h"
#include "harness/testlib.h"

#include <gtest/gtest.h>

#include <algorithm>

using namespace appxcore;
using namespace appx_test;
using corvane_test::FileExists;
using corvane_test::WriteFileBytes;

namespace {

const std::wstring User = L"S-1-5-21-1111-2222-3333-1001";
const std::wstring Other = L"S-1-5-21-1111-2222-3333-1002";
const std::wstring Contoso = L"CN=Contoso";
const std::wstring Windows = L"CN=Microsoft Windows, O=Microsoft Corporation, L=Redmond, S=Washington, C=US";

std::vector<std::wstring> FullNames(const std::vector<PackageInfo>& list) {
    std::vector<std::wstring> names;
    for (const PackageInfo& p : list)
        names.push_back(p.fullName);
    return names;
}

std::vector<std::wstring> PlatformOrder(PackagePlatform& platform, const std::wstring& sid) {
    std::vector<std::wstring> names;
    for (const PackagePtr& p : platform.FindPackagesForUser(sid))
        names.push_back(p->Identity().fullName);
    return names;
}

// Wine divergence: Wine has no Windows.Management.Deployment.PackageManager runtime class; on
// Windows activation succeeds and the stand-in is never used.
TEST(PlatformChoice, WineDivergence_ActivationFailsCleanlyAndStandInIsUsed) {
    std::unique_ptr<PackagePlatform> winrt;
    EXPECT_EQ(REGDB_E_CLASSNOTREG, CreateWinRtPackagePlatform(&winrt));
    EXPECT_FALSE(winrt);

    Repository repo(L"choice");
    std::wstring app = repo.Install(L"app", L"Contoso.App", Contoso, L"1.0.0.0", L"x64");
    repo.Register(User, app);
    ManageAppx module(repo.settings());
    std::wstring list = repo.root() + L"\\out\\Migrate-AppxPackage";
    EXPECT_EQ(0, module.GetAppxPackagesBySid(User, list, nullptr));
    EXPECT_EQ(std::vector<std::wstring>{app}, FullNames(ReadPackageList(list)));
    std::wstring log = repo.ReadLog();
    EXPECT_NE(std::wstring::npos,
              log.find(L"Windows.Management.Deployment.PackageManager cannot be activated "
                       L"(0x80040154"))
        << corvane_test::Narrow(log);
    EXPECT_NE(std::wstring::npos, log.find(L"stand-in"));
    EXPECT_NE(std::wstring::npos, module.Platform().Description().find(repo.packages()));
}

// Off Wine, an activation failure of any kind is raised, never covered by the stand-in.
TEST(PlatformChoice, ActivationFailureOffWineIsRaised) {
    StandInRepository repository;
    std::vector<std::wstring> logged;
    auto log = [&](const std::wstring& line) { logged.push_back(line); };
    for (HRESULT failure : {REGDB_E_CLASSNOTREG, E_ACCESSDENIED, HRESULT(0x80070005), E_FAIL}) {
        try {
            ChoosePackagePlatform(failure, nullptr, false, repository, log);
            ADD_FAILURE() << "no error raised for " << std::hex << failure;
        } catch (const AppxError& e) {
            EXPECT_EQ(failure, e.code());
            EXPECT_EQ(0u,
                      e.message().find(L"Windows.Management.Deployment.PackageManager cannot be activated"))
                << corvane_test::Narrow(e.message());
        }
    }
    EXPECT_TRUE(logged.empty()) << "the caller reports the failure, not the choice";

    // Under Wine the same failures fall back to the stand-in, and the choice is logged once each.
    for (HRESULT failure : {REGDB_E_CLASSNOTREG, E_ACCESSDENIED}) {
        std::unique_ptr<PackagePlatform> chosen =
            ChoosePackagePlatform(failure, nullptr, true, repository, log);
        ASSERT_TRUE(chosen);
        EXPECT_NE(std::wstring::npos, chosen->Description().find(L"stand-in"));
    }
    EXPECT_EQ(2u, logged.size());
}

TEST(Listing, OrderOfFindPackagesForUserKeptWithoutDependencies) {
    Repository repo(L"order");
    std::vector<std::wstring> installed = {
        repo.Install(L"1", L"Contoso.Zulu", Contoso, L"1.0.0.0", L"x64"),
        repo.Install(L"2", L"Contoso.Alpha", Contoso, L"3.0.0.0", L"neutral"),
        repo.Install(L"3", L"Contoso.Mike", Contoso, L"2.0.0.0", L"x86"),
    };
    for (const std::wstring& name : installed)
        repo.Register(User, name);
    ManageAppx module(repo.settings());
    std::wstring list = repo.root() + L"\\Migrate-AppxPackage";
    ASSERT_EQ(0, module.GetAppxPackagesBySid(User, list, nullptr));
    std::vector<std::wstring> expected = PlatformOrder(module.Platform(), User);
    ASSERT_EQ(3u, expected.size());
    std::vector<PackageInfo> records = ReadPackageList(list);
    EXPECT_EQ(expected, FullNames(records));
    for (const PackageInfo& r : records) {
        EXPECT_EQ(0, r.dependencies);
        EXPECT_FALSE(r.installedfailed);
        EXPECT_EQ(L"h91ms92gdsmmt", r.publisherId);
        EXPECT_EQ(r.name + L"_h91ms92gdsmmt", r.familyName);
    }
    auto alpha = std::find_if(records.begin(), records.end(),
                              [](const PackageInfo& r) { return r.name == L"Contoso.Alpha"; });
    ASSERT_NE(records.end(), alpha);
    EXPECT_EQ(L"Neutral", alpha->architecture);
    EXPECT_EQ(L"Contoso.Alpha_3.0.0.0_neutral__h91ms92gdsmmt", alpha->fullName);
    EXPECT_EQ(repo.packages() + L"\\2", alpha->path);
}

// The stand-in with its per-user order reversed, so that the listing's order cannot come from
// sorting by name.
struct ReversedPlatform : PackagePlatform {
    std::unique_ptr<PackagePlatform> inner;
    explicit ReversedPlatform(const StandInRepository& r) : inner(CreateStandInPackagePlatform(r)) {}
    std::vector<PackagePtr> FindPackagesForUser(const std::wstring& sid) override {
        std::vector<PackagePtr> packages = inner->FindPackagesForUser(sid);
        std::reverse(packages.begin(), packages.end());
        return packages;
    }
    std::vector<PackagePtr> FindPackages(const std::wstring& family) override {
        return inner->FindPackages(family);
    }
    DeploymentOutcome RegisterPackage(const std::wstring& path) override {
        return inner->RegisterPackage(path);
    }
    std::wstring Description() const override { return L"reversed"; }
};

TEST(Listing, OrderFollowsThePlatformNotTheNames) {
    Repository repo(L"reversed");
    std::vector<std::wstring> installed = {
        repo.Install(L"1", L"Contoso.Alpha", Contoso, L"1.0.0.0", L"x64"),
        repo.Install(L"2", L"Contoso.Mike", Contoso, L"1.0.0.0", L"x64"),
        repo.Install(L"3", L"Contoso.Zulu", Contoso, L"1.0.0.0", L"x64"),
    };
    for (const std::wstring& name : installed)
        repo.Register(User, name);
    ManageAppxSettings settings = repo.settings();
    auto platform = std::make_shared<ReversedPlatform>(settings.repository);
    std::vector<std::wstring> expected = PlatformOrder(*platform, User);
    ASSERT_EQ(3u, expected.size());
    settings.platform = platform;
    ManageAppx module(settings);
    std::wstring list = repo.root() + L"\\Migrate-AppxPackage";
    ASSERT_EQ(0, module.GetAppxPackagesBySid(User, list, nullptr));
    std::vector<std::wstring> names = FullNames(ReadPackageList(list));
    EXPECT_EQ(expected, names);
    EXPECT_FALSE(std::is_sorted(names.begin(), names.end()));
}

TEST(Listing, FrameworkNeededByTwoAppsListedOnceBeforeBoth) {
    Repository repo(L"framework");
    Dependency runtime{L"Contoso.Runtime", Contoso, L"1.0.0.0"};
    std::wstring alpha = repo.Install(L"a", L"Alpha.App", Contoso, L"1.0.0.0", L"x64", false, {runtime});
    std::wstring beta = repo.Install(L"b", L"Beta.App", Contoso, L"1.0.0.0", L"x64", false, {runtime});
    std::wstring framework = repo.Install(L"z", L"Contoso.Runtime", Contoso, L"1.5.0.0", L"x64", true);
    repo.Register(User, alpha);
    repo.Register(User, beta);
    repo.Register(User, framework);
    ManageAppx module(repo.settings());
    std::wstring list = repo.root() + L"\\Migrate-AppxPackage";
    ASSERT_EQ(0, module.GetAppxPackagesBySid(User, list, nullptr));
    std::vector<PackageInfo> records = ReadPackageList(list);
    std::vector<std::wstring> names = FullNames(records);
    ASSERT_EQ(3u, names.size());
    EXPECT_EQ(1, std::count(names.begin(), names.end(), framework));
    size_t f = std::find(names.begin(), names.end(), framework) - names.begin();
    size_t a = std::find(names.begin(), names.end(), alpha) - names.begin();
    size_t b = std::find(names.begin(), names.end(), beta) - names.begin();
    EXPECT_LT(f, a);
    EXPECT_LT(f, b);
    EXPECT_TRUE(records[f].isFramework);
    EXPECT_EQ(1, records[a].dependencies);
    EXPECT_EQ(repo.packages() + L"\\z", records[f].path);
}

TEST(Listing, LastNewerCandidateOfTheSameArchitectureWins) {
    Repository repo(L"newest");
    std::wstring own = repo.Install(L"p1", L"Contoso.App", Contoso, L"1.0.0.5", L"x64");
    std::wstring highest = repo.Install(L"p2", L"Contoso.App", Contoso, L"10.0.0.0", L"x64");
    std::wstring later = repo.Install(L"p3", L"Contoso.App", Contoso, L"2.0.0.0", L"x64");
    std::wstring otherArch = repo.Install(L"p4", L"Contoso.App", Contoso, L"30.0.0.0", L"x86");
    std::wstring older = repo.Install(L"p5", L"Contoso.App", Contoso, L"1.0.0.1", L"x64");
    repo.Register(User, own);
    for (const std::wstring& n : {highest, later, otherArch, older})
        repo.Register(Other, n);
    ManageAppx module(repo.settings());
    std::wstring list = repo.root() + L"\\Migrate-AppxPackage";
    ASSERT_EQ(0, module.GetAppxPackagesBySid(User, list, nullptr));
    std::vector<PackageInfo> records = ReadPackageList(list);
    ASSERT_EQ(1u, records.size());
    // Each candidate is compared with the user's own version, not with the best so far.
    EXPECT_EQ(later, records[0].fullName);
    EXPECT_EQ(L"2.0.0.0", records[0].version);
    EXPECT_EQ(repo.packages() + L"\\p3", records[0].path);

    // The version refresh takes the highest instead.
    std::vector<PackageInfo> refreshed;
    module.GetCurrentPackageVersions(records, &refreshed);
    ASSERT_EQ(1u, refreshed.size());
    EXPECT_EQ(highest, refreshed[0].fullName);
}

TEST(Listing, FailuresCarriedOverWithoutDuplicates) {
    Repository repo(L"carry");
    std::wstring app = repo.Install(L"a", L"Contoso.App", Contoso, L"1.0.0.0", L"x64");
    repo.Register(User, app);
    PackageInfo gone;
    gone.name = L"Contoso.Gone";
    gone.familyName = L"Contoso.Gone_h91ms92gdsmmt";
    gone.fullName = L"Contoso.Gone_1.0.0.0_x64__h91ms92gdsmmt";
    gone.version = L"1.0.0.0";
    gone.installedfailed = true;
    PackageInfo stillInstalled = gone;
    stillInstalled.familyName = L"Contoso.App_h91ms92gdsmmt";
    stillInstalled.fullName = L"Contoso.App_0.9.0.0_x64__h91ms92gdsmmt";
    PackageInfo goneAgain = gone;
    goneAgain.fullName = L"Contoso.Gone_0.5.0.0_x64__h91ms92gdsmmt";
    PackageInfo otherCase = gone;
    otherCase.familyName = L"contoso.gone_h91ms92gdsmmt"; // exact comparison keeps it
    std::wstring folder = repo.root() + L"\\Quillmar";
    corvane_test::MakeDirs(folder);
    WritePackageList(folder + L"\\Migrate-AppxPackage-Fail", {gone, stillInstalled, goneAgain, otherCase});

    ManageAppx module(repo.settings());
    ASSERT_EQ(0, module.GetAppxPackagesBySid(User, folder + L"\\Migrate-AppxPackage", nullptr));
    std::vector<PackageInfo> records = ReadPackageList(folder + L"\\Migrate-AppxPackage");
    ASSERT_EQ(3u, records.size());
    EXPECT_EQ(app, records[0].fullName);
    EXPECT_TRUE(records[1] == gone);
    EXPECT_TRUE(records[2] == otherCase);

    // A damaged failure list is treated as absent.
    WriteFileBytes(folder + L"\\Migrate-AppxPackage-Fail", "<ArrayOfPackageInfo><PackageInfo>");
    ASSERT_EQ(0, module.GetAppxPackagesBySid(User, folder + L"\\Migrate-AppxPackage", nullptr));
    EXPECT_EQ(std::vector<std::wstring>{app}, FullNames(ReadPackageList(folder + L"\\Migrate-AppxPackage")));
}

TEST(Listing, FailureTextsGoToTheEventLogOrTheTextLog) {
    Repository repo(L"listfail");
    RecordingLog log;
    ManageAppx module(repo.settings());
    // Not a SID: the platform refuses it, the listing reports and writes nothing.
    std::wstring list = repo.root() + L"\\Migrate-AppxPackage";
    EXPECT_EQ(1, module.GetAppxPackagesBySid(L"S-1-5-21-1\\..\\x", list, &log));
    ASSERT_EQ(1u, log.entries.size());
    EXPECT_EQ(0u, log.entries[0].find(L"E: packageManager.FindPackagesForUser() failed: "));
    EXPECT_FALSE(FileExists(list));

    // A list file whose folder cannot be made ends the listing with the failure text in the text log.
    WriteFileBytes(repo.root() + L"\\blocker", "a file where the list's folder should be");
    EXPECT_EQ(1, module.GetAppxPackagesBySid(User, repo.root() + L"\\blocker\\Migrate-AppxPackage", nullptr));
    EXPECT_NE(std::wstring::npos, repo.ReadLog().find(L" packageManager.FindPackagesForUser() failed: "));
}

// A platform whose user query is denied, for the access-denied text.
struct DeniedPlatform : PackagePlatform {
    std::vector<PackagePtr> FindPackagesForUser(const std::wstring&) override { ThrowError(E_ACCESSDENIED); }
    std::vector<PackagePtr> FindPackages(const std::wstring&) override { return {}; }
    DeploymentOutcome RegisterPackage(const std::wstring&) override {
        throw AppxError(E_FAIL, L"The operation failed in the test.");
    }
    std::wstring Description() const override { return L"denied"; }
};

TEST(Listing, AccessDeniedText) {
    Repository repo(L"denied");
    ManageAppxSettings settings = repo.settings();
    settings.platform = std::make_shared<DeniedPlatform>();
    ManageAppx module(settings);
    RecordingLog log;
    EXPECT_EQ(1, module.GetAppxPackagesBySid(User, repo.root() + L"\\list", &log));
    EXPECT_EQ(
        std::vector<std::wstring>{
            L"E: packageManager.FindPackagesForUser() failed because access was denied."},
        log.entries);
}

TEST(VersionRefresh, DroppedKeptAndEqualVersionsKeepTheEarlierCandidate) {
    Repository repo(L"refresh");
    std::wstring neutral = repo.Install(L"c1", L"Contoso.Lib", Contoso, L"2.0.0.0", L"neutral");
    std::wstring x64 = repo.Install(L"c2", L"Contoso.Lib", Contoso, L"2.0.0.0", L"x64");
    std::wstring same = repo.Install(L"d1", L"Contoso.Same", Contoso, L"1.0.0.0", L"x64");
    std::wstring arm = repo.Install(L"e1", L"Contoso.ArmOnly", Contoso, L"9.0.0.0", L"arm");
    std::wstring unregistered = repo.Install(L"f1", L"Contoso.Removed", Contoso, L"1.0.0.0", L"x64");
    for (const std::wstring& n : {neutral, x64, same, arm})
        repo.Register(Other, n);

    auto record = [](const std::wstring& name, const std::wstring& version, const std::wstring& arch) {
        PackageInfo p;
        p.name = name;
        p.familyName = name + L"_h91ms92gdsmmt";
        p.version = version;
        p.architecture = arch;
        p.path = L"C:\\old";
        return p;
    };
    std::vector<PackageInfo> in = {
        record(L"Contoso.Lib", L"1.0.0.0", L"X64"),     // two equal newer candidates: the earlier wins
        record(L"Contoso.Same", L"1.0.0.0", L"X64"),    // qualifying but not newer: kept unchanged
        record(L"Contoso.ArmOnly", L"1.0.0.0", L"X64"), // no qualifying architecture: dropped
        record(L"Contoso.Removed", L"1.0.0.0", L"X64"), // installed but no user has it: dropped
        record(L"Contoso.Never", L"1.0.0.0", L"X64"),   // nowhere: dropped
    };
    ManageAppx module(repo.settings());
    std::vector<PackageInfo> out;
    module.GetCurrentPackageVersions(in, &out);
    ASSERT_EQ(2u, out.size());
    EXPECT_EQ(neutral, out[0].fullName);
    EXPECT_EQ(L"Neutral", out[0].architecture);
    EXPECT_TRUE(out[1] == in[1]);
}

TEST(VersionRefresh, Windows81MapWithBaseVersionZero) {
    Repository repo(L"map63");
    std::wstring camera = repo.Install(L"m", L"Microsoft.MoCamera", Windows, L"0.0.0.1", L"neutral");
    repo.Register(Other, camera);
    PackageInfo old;
    old.familyName = L"Microsoft.Camera_8wekyb3d8bbwe";
    old.version = L"99.0.0.0"; // higher than any new copy: the base version is reset to 0.0.0.0
    old.architecture = L"X64";

    ManageAppxSettings settings = repo.settings();
    settings.windowsMajor = 6;
    settings.windowsMinor = 3;
    ManageAppx on81(settings);
    std::vector<PackageInfo> out;
    on81.GetCurrentPackageVersions({old}, &out);
    ASSERT_EQ(1u, out.size());
    EXPECT_EQ(camera, out[0].fullName);
    EXPECT_EQ(L"Microsoft.MoCamera_cw5n1h2txyewy", out[0].familyName);

    settings.windowsMajor = 10;
    settings.windowsMinor = 0;
    ManageAppx on10(settings);
    out.clear();
    on10.GetCurrentPackageVersions({old}, &out);
    EXPECT_TRUE(out.empty());
}

TEST(VersionRefresh, MalformedVersionRaises) {
    Repository repo(L"badversion");
    std::wstring app = repo.Install(L"a", L"Contoso.App", Contoso, L"1.0.0.0", L"x64");
    repo.Register(Other, app);
    PackageInfo r;
    r.familyName = L"Contoso.App_h91ms92gdsmmt";
    r.architecture = L"X64";
    r.version = L"1.0.zero";
    ManageAppx module(repo.settings());
    std::vector<PackageInfo> out;
    EXPECT_THROW(module.GetCurrentPackageVersions({r}, &out), AppxError);
}

TEST(Registration, RegistersForTheCallerWithDependencies) {
    Repository repo(L"register");
    Dependency runtime{L"Contoso.Runtime", Contoso, L"1.0.0.0"};
    std::wstring framework = repo.Install(L"f", L"Contoso.Runtime", Contoso, L"1.0.0.0", L"neutral", true);
    std::wstring app = repo.Install(L"a", L"Contoso.App", Contoso, L"1.0.0.0", L"x64", false, {runtime});
    ManageAppx module(repo.settings());
    RecordingLog log;
    EXPECT_EQ(0, module.RegisterAppxPackage(repo.packages() + L"\\a\\Appxmanifest.xml", true, &log));
    EXPECT_TRUE(log.entries.empty());
    std::vector<std::wstring> mine = PlatformOrder(module.Platform(), CurrentSid());
    EXPECT_EQ(1, std::count(mine.begin(), mine.end(), app));
    EXPECT_EQ(1, std::count(mine.begin(), mine.end(), framework));
    // An empty SID asks for the calling user's packages, as the platform does.
    EXPECT_EQ(mine, PlatformOrder(module.Platform(), L""));
    EXPECT_TRUE(PlatformOrder(module.Platform(), User).empty());
}

TEST(Registration, OutcomesAndExactFailureTexts) {
    Repository repo(L"outcomes");
    std::wstring canceled = repo.Install(L"c", L"Contoso.Canceled", Contoso, L"1.0.0.0", L"x64");
    std::wstring failing = repo.Install(L"e", L"Contoso.Failing", Contoso, L"1.0.0.0", L"x64");
    std::wstring unknown = repo.Install(L"u", L"Contoso.Unknown", Contoso, L"1.0.0.0", L"x64");
    ManageAppxSettings settings = repo.settings();
    DeploymentOutcome outcome;
    outcome.status = DeploymentStatus::Canceled;
    settings.repository.forcedOutcomes[canceled] = outcome;
    outcome.status = DeploymentStatus::Error;
    outcome.errorCode = HRESULT_FROM_WIN32(ERROR_INSTALL_FAILED);
    outcome.errorText = L"Deployment failed in the test.";
    settings.repository.forcedOutcomes[failing] = outcome;
    outcome.status = DeploymentStatus::Started;
    settings.repository.forcedOutcomes[unknown] = outcome;
    ManageAppx module(settings);
    RecordingLog log;

    std::wstring c = repo.packages() + L"\\c\\AppxManifest.xml";
    std::wstring e = repo.packages() + L"\\e\\AppxManifest.xml";
    std::wstring u = repo.packages() + L"\\u\\AppxManifest.xml";
    EXPECT_EQ(0, module.RegisterAppxPackage(c, true, &log)); // a canceled registration counts as success
    EXPECT_TRUE(log.entries.empty());
    EXPECT_EQ(1, module.RegisterAppxPackage(e, false, &log));
    EXPECT_TRUE(log.entries.empty()); // failures reported only when asked
    EXPECT_EQ(1, module.RegisterAppxPackage(e, true, &log));
    EXPECT_EQ(1, module.RegisterAppxPackage(u, true, &log));
    std::vector<std::wstring> expected = {
        L"E: Package registration fails: " + e,
        L"E: Deployment failed in the test.",
        L"E: Register " + u + L" failed. Installation status unknown.",
    };
    EXPECT_EQ(expected, log.entries);

    // Without an event log the texts go to the text log, one dated line each.
    EXPECT_EQ(1, module.RegisterAppxPackage(repo.packages() + L"\\missing\\AppxManifest.xml", true, nullptr));
    std::wstring text = repo.ReadLog();
    EXPECT_NE(std::wstring::npos, text.find(L" Package registration fails: " + repo.packages() +
                                            L"\\missing\\AppxManifest.xml\r\n"));

    // An error raised by the call itself.
    settings.platform = std::make_shared<DeniedPlatform>();
    ManageAppx raising(settings);
    log.entries.clear();
    EXPECT_EQ(1, raising.RegisterAppxPackage(u, true, &log));
    EXPECT_EQ(std::vector<std::wstring>{L"E: Register " + u + L" failed. The operation failed in the test."},
              log.entries);
}

TEST(TextLog, DatedLinesAppended) {
    Repository repo(L"textlog");
    ManageAppx module(repo.settings());
    module.WriteLogFile(L"first");
    module.WriteLogFile(L"second \u00e9");
    std::wstring text = repo.ReadLog();
    wchar_t date[128];
    GetDateFormatW(LOCALE_USER_DEFAULT, DATE_SHORTDATE, nullptr, nullptr, date, 128);
    EXPECT_EQ(0u, text.find(std::wstring(date) + L" ")) << corvane_test::Narrow(text);
    EXPECT_NE(std::wstring::npos, text.find(L" first\r\n"));
    EXPECT_NE(std::wstring::npos, text.find(L" second \u00e9\r\n"));
    EXPECT_LT(text.find(L"first"), text.find(L"second"));
}

} // namespace
