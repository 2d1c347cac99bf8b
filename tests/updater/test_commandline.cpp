// The command-line table, the listing forms, the machine settings and "LastSid".
#include "companions/updater/updater.h"

#include "harness/testlib.h"

#include <gtest/gtest.h>

using appxcore::RegisterType;
using corvane_test::DirExists;
using updater::Action;
using updater::CommandLine;
using updater::ParseCommandLine;

namespace {

const wchar_t* const Sid = L"S-1-5-21-1-2-3-1001";

TEST(CommandLineTest, UpdateArgumentsSetModeAndSwitches) {
    struct Row {
        std::vector<std::wstring> args;
        RegisterType mode;
        bool tray, silent, force;
    } rows[] = {
        {{}, RegisterType::Force, false, false, false},
        {{L"-priority"}, RegisterType::Priority, false, false, false},
        {{L"-RUN"}, RegisterType::Update, true, false, false},
        {{L"-Silent"}, RegisterType::Update, false, true, false},
        {{L"-force"}, RegisterType::Force, true, false, true},
        {{L"-ForcePriority"}, RegisterType::Priority, true, false, true},
    };
    for (const Row& row : rows) {
        CommandLine c = ParseCommandLine(row.args);
        std::string name = row.args.empty() ? "(none)" : corvane_test::Narrow(row.args[0]);
        EXPECT_EQ(Action::Update, c.action) << name;
        EXPECT_EQ(row.mode, c.mode) << name;
        EXPECT_EQ(row.tray, c.tray) << name;
        EXPECT_EQ(row.silent, c.silent) << name;
        EXPECT_EQ(row.force, c.force) << name;
    }
    EXPECT_EQ(Action::RestoreMenu, ParseCommandLine({L"-RestoreMenu"}).action);
}

TEST(CommandLineTest, AnythingElseDoesNothing) {
    EXPECT_EQ(Action::Nothing, ParseCommandLine({L"-update"}).action);
    EXPECT_EQ(Action::Nothing, ParseCommandLine({L"-force", L"-run"}).action);
    EXPECT_EQ(Action::Nothing, ParseCommandLine({L"priority"}).action);
    // The listing keyword has exactly two spellings.
    EXPECT_EQ(Action::Nothing, ParseCommandLine({L"-USER", Sid}).action);
    // An invalid SID does nothing, whatever follows.
    EXPECT_EQ(Action::Nothing, ParseCommandLine({L"-user", L"S-1-x"}).action);
    EXPECT_EQ(Action::Nothing, ParseCommandLine({L"-user", L"C:\\x", L"-file", L"C:\\list"}).action);
    EXPECT_EQ(Action::Nothing, ParseCommandLine({L"-user"}).action);
}

TEST(CommandLineTest, ListingForms) {
    CommandLine c = ParseCommandLine({L"-user", Sid});
    EXPECT_EQ(Action::List, c.action);
    EXPECT_EQ(Sid, c.sid);
    EXPECT_EQ(L"", c.listFile);
    EXPECT_EQ(L"", c.profile);

    c = ParseCommandLine({L"-User", Sid, L"C:\\lists\\one"});
    EXPECT_EQ(L"C:\\lists\\one", c.listFile);
    EXPECT_EQ(L"", c.profile);

    // The tool's own form, with values that held spaces inside quotes.
    c = ParseCommandLine({L"-user", Sid, L"-file",
                          L"C:\\Users\\Default\\AppData\\Local\\Quillmar\\Migrate-AppxPackage", L"-profile",
                          L"C:\\Users\\Ann Lee"});
    EXPECT_EQ(L"C:\\Users\\Default\\AppData\\Local\\Quillmar\\Migrate-AppxPackage", c.listFile);
    EXPECT_EQ(L"C:\\Users\\Ann Lee", c.profile);

    // "-file" with a third word that is not followed by exactly one more: the profile is not taken.
    c = ParseCommandLine({L"-user", Sid, L"-File", L"C:\\l", L"-Profile"});
    EXPECT_EQ(L"C:\\l", c.listFile);
    EXPECT_EQ(L"", c.profile);
    c = ParseCommandLine({L"-user", Sid, L"-file", L"C:\\l", L"-PROFILE", L"C:\\p"});
    EXPECT_EQ(L"", c.profile);

    c = ParseCommandLine({L"-user", Sid, L"-Profile", L"C:\\Users\\Ann"});
    EXPECT_EQ(L"", c.listFile);
    EXPECT_EQ(L"C:\\Users\\Ann", c.profile);

    // Any other word in the third place counts as nothing.
    c = ParseCommandLine({L"-user", Sid, L"-list", L"C:\\l"});
    EXPECT_EQ(Action::List, c.action);
    EXPECT_EQ(L"", c.listFile);
    EXPECT_EQ(L"", c.profile);
}

TEST(CommandLineTest, ListingFilesFollowTheProfile) {
    std::wstring root = L"C:\\corvane-scratch\\updater-listing";
    corvane_test::DeleteTestTree(root);
    updater::Environment env;
    env.localAppData = root + L"\\local";
    std::wstring listFile, profile;

    updater::ResolveListing(ParseCommandLine({L"-user", Sid}), env, &listFile, &profile);
    EXPECT_EQ(root + L"\\local\\Quillmar\\Migrate-AppxPackage", listFile);
    EXPECT_TRUE(corvane_test::DirExists(root + L"\\local\\Quillmar"));

    updater::ResolveListing(ParseCommandLine({L"-user", Sid, L"-profile", root + L"\\Ann"}), env, &listFile,
                            &profile);
    EXPECT_EQ(root + L"\\Ann\\AppData\\Local\\Quillmar\\Migrate-AppxPackage", listFile);
    EXPECT_EQ(root + L"\\Ann", profile);
    EXPECT_TRUE(corvane_test::DirExists(root + L"\\Ann\\AppData\\Local\\Quillmar"));

    updater::ResolveListing(
        ParseCommandLine({L"-user", Sid, L"-file", L"C:\\x\\list", L"-profile", L"C:\\p"}), env, &listFile,
        &profile);
    EXPECT_EQ(L"C:\\x\\list", listFile);
    EXPECT_EQ(L"C:\\p", profile);
    EXPECT_FALSE(corvane_test::DirExists(L"C:\\x"));
    corvane_test::DeleteTestTree(root);
}

TEST(CommandLineTest, ListingFolderIsNotCreatedThroughALink) {
    // plant-links.sh made profile\AppData\Local a link to "outside".
    std::wstring base = L"C:\\corvane-scratch\\updater-links";
    ASSERT_TRUE(DirExists(base + L"\\profile\\AppData\\Local"));
    updater::Environment env;
    std::wstring listFile, profile;
    EXPECT_THROW(updater::ResolveListing(ParseCommandLine({L"-user", Sid, L"-profile", base + L"\\profile"}),
                                         env, &listFile, &profile),
                 appxcore::AppxError);
    EXPECT_FALSE(DirExists(base + L"\\outside\\Quillmar"));
}

TEST(CommandLineTest, ProgressText) {
    EXPECT_EQ(L"Updating Store App 0 of 12...", updater::ProgressText(0, 12));
    EXPECT_EQ(L"Updating Store App 3 of 4...", updater::ProgressText(3, 4));
}

class SettingsTest : public ::testing::Test {
  protected:
    void SetUp() override { Clean(); }
    void TearDown() override { Clean(); }
    static void Clean() {
        RegDeleteTreeW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Wow6432Node\\Quillmar");
        RegDeleteTreeW(HKEY_CURRENT_USER, L"Software\\Quillmar");
    }
    static void Set(const wchar_t* name, const corvane_test::RegValue& value) {
        corvane_test::WriteKeys(HKEY_LOCAL_MACHINE,
                                {{L"SOFTWARE\\Wow6432Node\\Quillmar\\AppX", {{name, value}}}});
    }
};

TEST_F(SettingsTest, DefaultsWithoutTheKey) {
    updater::Settings s = updater::ReadSettings();
    EXPECT_EQ(0u, s.debugLevel);
    EXPECT_EQ(0u, s.disableAppxUpdate);
    EXPECT_EQ(0u, s.delaySeconds);
    EXPECT_EQ(L"Normal", s.priority);
}

TEST_F(SettingsTest, ValuesFromTheKey) {
    Set(L"DebugLevel", corvane_test::Dword(2));
    Set(L"DisableAppxUpdate", corvane_test::Dword(1));
    Set(L"Delay", corvane_test::Sz(L"30")); // a number written as text still counts
    Set(L"Priority", corvane_test::Sz(L"Idle"));
    updater::Settings s = updater::ReadSettings();
    EXPECT_EQ(2u, s.debugLevel);
    EXPECT_EQ(1u, s.disableAppxUpdate);
    EXPECT_EQ(30u, s.delaySeconds);
    EXPECT_EQ(L"Idle", s.priority);
}

TEST_F(SettingsTest, MalformedValuesKeepTheirDefaults) {
    Set(L"DisableAppxUpdate", corvane_test::Sz(L"1x"));
    Set(L"Delay", corvane_test::RegValue{REG_BINARY, {1, 2, 3, 4}});
    Set(L"Priority", corvane_test::Dword(64));
    updater::Settings s = updater::ReadSettings();
    EXPECT_EQ(0u, s.disableAppxUpdate);
    EXPECT_EQ(0u, s.delaySeconds);
    EXPECT_EQ(L"Normal", s.priority);
}

TEST_F(SettingsTest, PriorityClasses) {
    EXPECT_EQ(static_cast<DWORD>(BELOW_NORMAL_PRIORITY_CLASS), updater::PriorityClassFor(L"belownormal"));
    EXPECT_EQ(static_cast<DWORD>(IDLE_PRIORITY_CLASS), updater::PriorityClassFor(L"Idle"));
    EXPECT_EQ(0u, updater::PriorityClassFor(L"Normal"));
    EXPECT_EQ(0u, updater::PriorityClassFor(L"High"));
}

TEST_F(SettingsTest, LastSidRoundTrip) {
    std::wstring sid = L"sentinel";
    EXPECT_FALSE(updater::ReadLastSid(&sid));
    updater::WriteLastSid(Sid);
    ASSERT_TRUE(updater::ReadLastSid(&sid));
    EXPECT_EQ(Sid, sid);
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS,
              RegOpenKeyExW(HKEY_CURRENT_USER, L"Software\\Quillmar\\Appx", 0, KEY_READ, &key));
    DWORD type = 0;
    RegQueryValueExW(key, L"LastSid", nullptr, &type, nullptr, nullptr);
    RegCloseKey(key);
    EXPECT_EQ(static_cast<DWORD>(REG_SZ), type);
}

} // namespace
