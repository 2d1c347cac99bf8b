// Administrator check, privileges, profile list lookup and the driver's argument helpers.
#include "driver/driver.h"
#include "driver/privileges.h"
#include "driver/profilelist.h"
#include "harness/testlib.h"

#include <gtest/gtest.h>
#include <io.h>
#include <sddl.h>
#include <shlwapi.h>

using namespace corvane_test;

namespace {

// Runs f while the calling thread impersonates token; restores the thread afterwards.
template <class F> void WhileImpersonating(HANDLE token, F f) {
    HANDLE impersonation = nullptr;
    ASSERT_TRUE(DuplicateTokenEx(token, TOKEN_ALL_ACCESS, nullptr, SecurityImpersonation, TokenImpersonation,
                                 &impersonation));
    ASSERT_TRUE(SetThreadToken(nullptr, impersonation));
    f();
    RevertToSelf();
    CloseHandle(impersonation);
}

// A token of the current user holding exactly `keep` privileges (the others deleted), optionally
// with the Administrators group turned into a deny-only entry.
HANDLE RestrictedToken(DWORD keep, bool denyAdmins) {
    HANDLE process = nullptr;
    OpenProcessToken(GetCurrentProcess(), TOKEN_ALL_ACCESS, &process);
    DWORD size = 0;
    GetTokenInformation(process, TokenPrivileges, nullptr, 0, &size);
    std::vector<BYTE> buffer(size);
    GetTokenInformation(process, TokenPrivileges, buffer.data(), size, &size);
    TOKEN_PRIVILEGES* privileges = reinterpret_cast<TOKEN_PRIVILEGES*>(buffer.data());
    std::vector<LUID_AND_ATTRIBUTES> remove;
    for (DWORD i = keep; i < privileges->PrivilegeCount; ++i)
        remove.push_back(privileges->Privileges[i]);
    PSID admins = nullptr;
    ConvertStringSidToSidW(L"S-1-5-32-544", &admins);
    SID_AND_ATTRIBUTES deny = {admins, 0};
    HANDLE restricted = nullptr;
    BOOL ok = CreateRestrictedToken(process, 0, denyAdmins ? 1 : 0, denyAdmins ? &deny : nullptr,
                                    static_cast<DWORD>(remove.size()),
                                    remove.empty() ? nullptr : remove.data(), 0, nullptr, &restricted);
    LocalFree(admins);
    CloseHandle(process);
    return ok ? restricted : nullptr;
}

DWORD PrivilegeCount(HANDLE token) {
    DWORD size = 0;
    GetTokenInformation(token, TokenPrivileges, nullptr, 0, &size);
    std::vector<BYTE> buffer(size);
    if (!GetTokenInformation(token, TokenPrivileges, buffer.data(), size, &size)) return 0;
    return reinterpret_cast<TOKEN_PRIVILEGES*>(buffer.data())->PrivilegeCount;
}

TEST(AdministratorCheck, WineUserIsAdministrator) {
    EXPECT_TRUE(IsAdministratorsMember());
    EXPECT_TRUE(HasAdministratorPrivileges());
}

TEST(AdministratorCheck, ThreadTokenWithFivePrivilegesFails) {
    HANDLE five = RestrictedToken(5, false);
    ASSERT_NE(nullptr, five) << "CreateRestrictedToken failed " << GetLastError();
    ASSERT_EQ(5u, PrivilegeCount(five));
    // Judged by the impersonation token, not the (administrator) process token.
    WhileImpersonating(five, [] {
        EXPECT_TRUE(IsAdministratorsMember());
        EXPECT_FALSE(HasAdministratorPrivileges());
    });
    CloseHandle(five);
    HANDLE six = RestrictedToken(6, false);
    ASSERT_NE(nullptr, six);
    WhileImpersonating(six, [] { EXPECT_TRUE(HasAdministratorPrivileges()); });
    CloseHandle(six);
}

TEST(AdministratorCheck, DenyOnlyAdministratorsStillCountsAsMember) {
    HANDLE token = RestrictedToken(100, true);
    ASSERT_NE(nullptr, token);
    WhileImpersonating(token, [] { EXPECT_TRUE(IsAdministratorsMember()); });
    CloseHandle(token);
}

TEST(Privileges, EnableKnownPrivilege) {
    HANDLE token;
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token));
    DebugCapture debug;
    EXPECT_TRUE(EnablePrivilege(token, L"SeBackupPrivilege"));
    EXPECT_TRUE(debug.lines().empty());
    CloseHandle(token);
}

TEST(Privileges, UnknownNameReportsLookupError) {
    HANDLE token;
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token));
    DebugCapture debug;
    EXPECT_FALSE(EnablePrivilege(token, L"SeNoSuchPrivilege"));
    ASSERT_EQ(1u, debug.lines().size());
    EXPECT_EQ("LookupPrivilegeValue error: 1313\n", debug.lines()[0]);
    CloseHandle(token);
}

TEST(Privileges, PrivilegeNotHeldReports1300) {
    HANDLE restricted = RestrictedToken(1, false);
    ASSERT_NE(nullptr, restricted);
    HANDLE token = nullptr;
    ASSERT_TRUE(DuplicateTokenEx(restricted, TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, nullptr,
                                 SecurityImpersonation, TokenPrimary, &token));
    DebugCapture debug;
    EXPECT_FALSE(EnablePrivilege(token, L"SeRestorePrivilege"));
    ASSERT_EQ(1u, debug.lines().size());
    EXPECT_EQ("AdjustTokenPrivileges error: 1300\n", debug.lines()[0]);
    CloseHandle(token);
    CloseHandle(restricted);
}

class ProfileListTest : public ::testing::Test {
  protected:
    void TearDown() override {
        for (const auto& sid : made_)
            RemoveProfileListEntry(sid);
    }
    void Add(const std::wstring& sid, const std::wstring& path) {
        AddProfileListEntry(sid, path);
        made_.push_back(sid);
    }
    std::vector<std::wstring> made_;
};

TEST_F(ProfileListTest, SystemDriveExpandsAndCaseIsIgnored) {
    Add(L"S-1-5-21-7-7-7-4101", L"%SystemDrive%\\users\\PlTestOne");
    wchar_t sid[256] = L"untouched";
    ASSERT_TRUE(GetProfileSidString(L"c:\\USERS\\pltestone", sid));
    EXPECT_STREQ(L"S-1-5-21-7-7-7-4101", sid);
}

TEST_F(ProfileListTest, TrailingBackslashDoesNotMatch) {
    Add(L"S-1-5-21-7-7-7-4102", L"C:\\users\\PlTestTwo");
    wchar_t sid[256] = L"untouched";
    EXPECT_FALSE(GetProfileSidString(L"C:\\users\\PlTestTwo\\", sid));
    EXPECT_STREQ(L"untouched", sid);
}

TEST_F(ProfileListTest, FirstMatchInEnumerationOrderWinsEvenIfNotASid) {
    // Registry enumeration is alphabetical in Wine (and in practice on Windows).
    Add(L"S-1-5-21-7-7-7-4103", L"C:\\users\\PlTestThree");
    Add(L"S-1-5-21-7-7-7-4103.bak", L"C:\\users\\PlTestThree");
    wchar_t sid[256] = {};
    ASSERT_TRUE(GetProfileSidString(L"C:\\users\\PlTestThree", sid));
    EXPECT_STREQ(L"S-1-5-21-7-7-7-4103", sid);
    RemoveProfileListEntry(L"S-1-5-21-7-7-7-4103");
    ASSERT_TRUE(GetProfileSidString(L"C:\\users\\PlTestThree", sid));
    EXPECT_STREQ(L"S-1-5-21-7-7-7-4103.bak", sid);
    PSID binary = nullptr;
    EXPECT_FALSE(ConvertStringSidToSidW(sid, &binary)); // the driver then ends with 87
}

TEST_F(ProfileListTest, PathLengthLimit) {
    std::wstring longest = L"C:\\" + std::wstring(256, L'p'); // 259 characters
    Add(L"S-1-5-21-7-7-7-4104", longest);
    wchar_t sid[256] = {};
    ASSERT_TRUE(GetProfileSidString(longest.c_str(), sid));
    EXPECT_STREQ(L"S-1-5-21-7-7-7-4104", sid);
    std::wstring tooLong = longest + L"q"; // 260 characters: the read of 520 bytes fails
    Add(L"S-1-5-21-7-7-7-4105", tooLong);
    EXPECT_FALSE(GetProfileSidString(tooLong.c_str(), sid));
    EXPECT_FALSE(GetProfileSidString(L"C:\\users\\NoSuchProfileAnywhere", sid));
    EXPECT_FALSE(GetProfileSidString(L"C:\\x", nullptr));
}

TEST_F(ProfileListTest, ValueOfAFull260CharactersWithoutTerminatorNeverMatches) {
    std::wstring path = L"C:\\" + std::wstring(256, L'r'); // 259 characters
    std::wstring stored = path + L"s";                     // 260, stored without a terminator
    Add(L"S-1-5-21-7-7-7-4106", L"C:\\placeholder");
    HKEY entry;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_LOCAL_MACHINE,
                                           (std::wstring(ProfileListKey) + L"\\S-1-5-21-7-7-7-4106").c_str(),
                                           0, KEY_SET_VALUE, &entry));
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExW(entry, L"ProfileImagePath", 0, REG_EXPAND_SZ,
                                            reinterpret_cast<const BYTE*>(stored.c_str()), 520));
    RegCloseKey(entry);
    wchar_t sid[256] = L"untouched";
    EXPECT_FALSE(GetProfileSidString(path.c_str(), sid)) << "cut to 259 characters it would match";
    EXPECT_FALSE(GetProfileSidString(stored.c_str(), sid));
    EXPECT_STREQ(L"untouched", sid);
}

TEST(ProfileListWalk, AnErrorAtEveryIndexEndsTheWalk) {
    // Both would repeat the same failure at every index; a walk that skipped it would never end.
    wchar_t sid[256] = L"untouched";
    EXPECT_FALSE(
        FindProfileSid(reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(0x7654320)), L"C:\\users\\x", sid));
    HKEY noEnumeration;
    ASSERT_EQ(ERROR_SUCCESS,
              RegOpenKeyExW(HKEY_LOCAL_MACHINE, ProfileListKey, 0, KEY_QUERY_VALUE, &noEnumeration));
    wchar_t name[256];
    bool skip = true;
    bool more = NextSubKey(noEnumeration, 0, name, 256, &skip);
    if (more) {
        // Wine divergence: Wine does not check a key handle's access on enumeration.
        EXPECT_FALSE(skip);
    } else {
        EXPECT_FALSE(FindProfileSid(noEnumeration, L"C:\\users\\x", sid));
    }
    RegCloseKey(noEnumeration);
    EXPECT_STREQ(L"untouched", sid);
}

TEST(Arguments, CharacterTest) {
    for (const wchar_t* bad :
         {L"/q", L"a[b", L"a]b", L"a|b", L"a<b", L"a>b", L"a+b", L"a=b", L"a;b", L"a,b", L"a?b", L"a*b"})
        EXPECT_FALSE(PassesCharacterTest(bad)) << Narrow(bad);
    for (const wchar_t* good : {L"John Smith", L"C:\\users\\a", L"x:y", L".\\rel", L"name.with.dots"})
        EXPECT_TRUE(PassesCharacterTest(good)) << Narrow(good);
}

TEST(Arguments, ProfilePathBuilding) {
    wchar_t path[MAX_PATH];
    ASSERT_EQ(0u, BuildProfilePath(L"Alice", path));
    EXPECT_EQ(ProfilesDir() + L"\\Alice", std::wstring(path));
    ASSERT_EQ(0u, BuildProfilePath(L".\\Alice", path));
    EXPECT_STREQ(L".\\Alice", path);

    std::wstring exact = L"C:\\" + std::wstring(256, L'a'); // 259: fits
    ASSERT_EQ(0u, BuildProfilePath(exact.c_str(), path));
    EXPECT_EQ(exact, std::wstring(path));
    std::wstring over = exact + L"b";
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILENAME_EXCED_RANGE), BuildProfilePath(over.c_str(), path));

    size_t room = MAX_PATH - 1 - ProfilesDir().size() - 1;
    std::wstring name(room, L'n');
    ASSERT_EQ(0u, BuildProfilePath(name.c_str(), path));
    EXPECT_EQ(MAX_PATH - 1u, wcslen(path));
    name += L"n";
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILENAME_EXCED_RANGE), BuildProfilePath(name.c_str(), path));
}

// Feeds text through a real stream, as standard input would be.
bool Answer(const std::string& text, std::string* rest = nullptr) {
    wchar_t dir[MAX_PATH], file[MAX_PATH];
    GetTempPathW(MAX_PATH, dir);
    GetTempFileNameW(dir, L"ans", 0, file);
    FILE* f = _wfopen(file, L"wb");
    fwrite(text.data(), 1, text.size(), f);
    fclose(f);
    f = _wfopen(file, L"r");
    bool yes = ReadYesAnswer(f);
    if (rest) {
        char buffer[64] = {};
        *rest = fgets(buffer, sizeof buffer, f) ? buffer : "";
    }
    fclose(f);
    DeleteFileW(file);
    return yes;
}

TEST(Arguments, PromptAnswers) {
    EXPECT_TRUE(Answer("y\r\n"));
    EXPECT_TRUE(Answer("Y\n"));
    EXPECT_TRUE(Answer("y")); // end of input right after the answer
    EXPECT_FALSE(Answer("yes\r\n"));
    EXPECT_FALSE(Answer("\r\n"));
    EXPECT_FALSE(Answer(""));
    EXPECT_FALSE(Answer(" y\r\n"));
    std::string rest;
    EXPECT_FALSE(Answer(std::string(300, 'y') + "\nnext\n", &rest));
    EXPECT_EQ("next\n", rest); // the long line was consumed whole
    EXPECT_FALSE(Answer(std::string(258, ' ') + "y\n", &rest));
}

// /InstallAppxService's exit code over stand-in steps: the outcomes of a run without administrator
// rights (the program cannot be written, the service manager refuses) cannot be produced under Wine,
// whose user is always an administrator.
struct FakeInstall {
    static bool prepared;    // what PrepareAppxService returns
    static DWORD failure;    // the code it reports
    static DWORD updater;    // what InstallUpdaterFiles returns
    static int updaterCalls; // how often it was called
    static bool Prepare(bool quiet, DWORD* code) {
        EXPECT_TRUE(quiet); // an explicit request to install asks nothing
        *code = failure;
        return prepared;
    }
    static DWORD WriteUpdater() {
        ++updaterCalls;
        return updater;
    }
    static int Run(bool prepareResult, DWORD prepareFailure, DWORD updaterResult) {
        prepared = prepareResult;
        failure = prepareFailure;
        updater = updaterResult;
        updaterCalls = 0;
        const InstallServiceSteps steps = {Prepare, WriteUpdater};
        return RunInstallServiceSteps(steps);
    }
};
bool FakeInstall::prepared;
DWORD FakeInstall::failure;
DWORD FakeInstall::updater;
int FakeInstall::updaterCalls;

TEST(InstallServiceExitCode, FirstFailedStepDecides) {
    // Everything done.
    EXPECT_EQ(0, FakeInstall::Run(true, 0, 0));
    EXPECT_EQ(1, FakeInstall::updaterCalls);
    // Without rights: the service program cannot be written, nor then the updater.
    EXPECT_EQ(5, FakeInstall::Run(false, 5, 5));
    // The program was written but the service manager refused to install it; the updater was current.
    EXPECT_EQ(5, FakeInstall::Run(true, 5, 0));
    // A service that does not start: its code, although the updater files were written after it.
    EXPECT_EQ(1053, FakeInstall::Run(true, 1053, 0));
    EXPECT_EQ(1, FakeInstall::updaterCalls);
    // The service runs, the updater cannot be written.
    EXPECT_EQ(32, FakeInstall::Run(true, 0, 32));
    // A "no" with no code of its own is still no success.
    EXPECT_EQ(ERROR_CANCELLED, FakeInstall::Run(false, 0, 0));
}

} // namespace
