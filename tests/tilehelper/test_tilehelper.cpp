// The tile data layer library against a stand-in tile data model service under Wine's service
// control manager, in folders the test makes under C:\corvane-scratch.
#include "companions/tilehelper/tiledatalayer.h"

#include "base/raii.h"
#include "harness/testlib.h"

#include <gtest/gtest.h>
#include <sddl.h>
#include <userenv.h>

#include <regex>

using namespace corvane_test;

namespace {

const wchar_t Scratch[] = L"C:\\corvane-scratch\\tile";

DWORD StartType() {
    UniqueService manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    UniqueService service(OpenServiceW(manager.get(), L"tiledatamodelsvc", SERVICE_QUERY_CONFIG));
    BYTE buffer[8192];
    DWORD needed = 0;
    if (!service || !QueryServiceConfigW(service.get(), reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer),
                                         sizeof(buffer), &needed))
        return 0xFFFFFFFF;
    return reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer)->dwStartType;
}

DWORD State() {
    return ServiceState(L"tiledatamodelsvc");
}

void StopAndWait() {
    UniqueService manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    UniqueService service(
        OpenServiceW(manager.get(), L"tiledatamodelsvc", SERVICE_STOP | SERVICE_QUERY_STATUS));
    if (!service) return;
    SERVICE_STATUS status;
    ControlService(service.get(), SERVICE_CONTROL_STOP, &status);
    WaitForServiceState(L"tiledatamodelsvc", SERVICE_STOPPED, 10000);
}

void CreateTileService() {
    UniqueService manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    UniqueService service(CreateServiceW(manager.get(), L"tiledatamodelsvc", L"Tile Data model server",
                                         SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START,
                                         SERVICE_ERROR_NORMAL, L"C:\\corvane-tests\\tiledatamodelsvc.exe",
                                         nullptr, nullptr, nullptr, nullptr, nullptr));
    ASSERT_TRUE(service) << GetLastError();
}

void DeleteTileService() {
    StopAndRemoveService(L"tiledatamodelsvc");
}

void DeleteSystemInitialized() {
    HKEY key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Quillmar", 0, KEY_SET_VALUE | KEY_WOW64_32KEY, &key) ==
        ERROR_SUCCESS) {
        RegDeleteValueW(key, L"SystemInitialized");
        RegCloseKey(key);
    }
}

bool SystemInitializedIsOne() {
    HKEY key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Quillmar", 0, KEY_QUERY_VALUE | KEY_WOW64_32KEY,
                      &key) != ERROR_SUCCESS)
        return false;
    DWORD value = 0, size = sizeof(value), type = 0;
    LONG result =
        RegQueryValueExW(key, L"SystemInitialized", nullptr, &type, reinterpret_cast<BYTE*>(&value), &size);
    RegCloseKey(key);
    return result == ERROR_SUCCESS && type == REG_DWORD && value == 1;
}

std::string LogText() {
    std::wstring path = tilehelper::HelperLogPath();
    return FileExists(path) ? ReadFileBytes(path) : std::string();
}

// The log lines written since `before` (the log's text earlier), without their time stamps.
std::vector<std::string> NewMessages(const std::string& before) {
    std::string text = LogText().substr(before.size());
    std::vector<std::string> messages;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find("\r\n", start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        messages.push_back(line.size() >= 20 ? line.substr(20) : line);
        start = end + 2;
    }
    return messages;
}

std::wstring Case(const std::wstring& name) {
    std::wstring profile = std::wstring(Scratch) + L"\\" + name;
    if (DirExists(profile)) DeleteTestTree(profile);
    MakeDirs(profile + L"\\AppData\\Local");
    return profile + L"\\AppData\\Local";
}

class TileLibrary : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { CreateTileService(); }
    static void TearDownTestSuite() {
        DeleteTileService();
        DeleteTestTree(Scratch);
    }
};

TEST(TileLibraryAlone, PreparationMarksTheMachineEvenWhenItsServiceStepsFail) {
    DeleteSystemInitialized();
    std::wstring local = Case(L"no-service");
    // No tile service exists yet: every service step of the preparation fails.
    EXPECT_EQ(static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST), RestoreTileDataLayer(local.c_str()));
    EXPECT_TRUE(SystemInitializedIsOne());
}

TEST(TileLibraryAlone, LogLineIsTimeStampedAnsiAndCut) {
    std::string before = LogText();
    tilehelper::AppendHelperLog(L"Service Status %u", 4u);
    std::string added = LogText().substr(before.size());
    EXPECT_TRUE(std::regex_match(
        added, std::regex("[0-3][0-9]/[01][0-9]/20[0-9][0-9] [0-2][0-9]:[0-5][0-9]:[0-5][0-9] "
                          "Service Status 4\r\n")))
        << added;
    SYSTEMTIME now;
    GetLocalTime(&now);
    char year[8];
    wsprintfA(year, "/%04u ", now.wYear);
    EXPECT_EQ(year, added.substr(5, 6));

    before = LogText();
    tilehelper::AppendHelperLog(L"Caf\x00e9 %s", L"\x00fc");
    char expected[16] = {};
    WideCharToMultiByte(CP_ACP, 0, L"Caf\x00e9 \x00fc", -1, expected, sizeof(expected), nullptr, nullptr);
    EXPECT_EQ(std::string(expected) + "\r\n", LogText().substr(before.size() + 20));

    before = LogText();
    tilehelper::AppendHelperLog(L"%s", std::wstring(400, L'x').c_str());
    EXPECT_EQ(20u + 259u + 2u, LogText().size() - before.size());
}

TEST(TileLibraryAlone, NewEntryGoesBeforeTheFirstEntryWithFlagsThree) {
    PSID world = nullptr, system = nullptr, self = nullptr;
    ConvertStringSidToSidW(L"S-1-1-0", &world);
    ConvertStringSidToSidW(L"S-1-5-18", &system);
    ConvertStringSidToSidW(L"S-1-5-21-1-2-3-1001", &self);
    std::vector<BYTE> old(1024);
    PACL acl = reinterpret_cast<PACL>(old.data());
    ASSERT_TRUE(InitializeAcl(acl, 1024, ACL_REVISION));
    ASSERT_TRUE(AddAccessAllowedAceEx(acl, ACL_REVISION, 0, 1, world));
    ASSERT_TRUE(AddAccessAllowedAceEx(acl, ACL_REVISION, OBJECT_INHERIT_ACE, 2, system));
    ASSERT_TRUE(AddAccessAllowedAceEx(acl, ACL_REVISION, 3, 4, world));
    ASSERT_TRUE(AddAccessAllowedAceEx(acl, ACL_REVISION, 3 | INHERITED_ACE, 8, system));

    std::vector<BYTE> built;
    ASSERT_TRUE(tilehelper::BuildDaclWithChangeConfig(acl, self, &built));
    PACL result = reinterpret_cast<PACL>(built.data());
    ACL_SIZE_INFORMATION oldSize = {}, newSize = {};
    GetAclInformation(acl, &oldSize, sizeof(oldSize), AclSizeInformation);
    GetAclInformation(result, &newSize, sizeof(newSize), AclSizeInformation);
    EXPECT_EQ(oldSize.AclBytesInUse + 76, built.size());
    ASSERT_EQ(5u, newSize.AceCount);
    DWORD masks[5];
    for (DWORD i = 0; i < 5; ++i) {
        ACCESS_ALLOWED_ACE* ace = nullptr;
        ASSERT_TRUE(GetAce(result, i, reinterpret_cast<void**>(&ace)));
        masks[i] = ace->Mask;
        if (i == 2) {
            EXPECT_EQ(3, ace->Header.AceFlags);
            EXPECT_TRUE(EqualSid(&ace->SidStart, self));
        }
    }
    EXPECT_EQ(1u, masks[0]);
    EXPECT_EQ(2u, masks[1]);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_CHANGE_CONFIG), masks[2]);
    EXPECT_EQ(4u, masks[3]);
    EXPECT_EQ(8u, masks[4]);

    // No entry with flags exactly 3 (3 plus inherited is not): the new entry goes last.
    ASSERT_TRUE(InitializeAcl(acl, 1024, ACL_REVISION));
    ASSERT_TRUE(AddAccessAllowedAceEx(acl, ACL_REVISION, 3 | INHERITED_ACE, 8, system));
    ASSERT_TRUE(tilehelper::BuildDaclWithChangeConfig(acl, self, &built));
    result = reinterpret_cast<PACL>(built.data());
    ACCESS_ALLOWED_ACE* last = nullptr;
    ASSERT_TRUE(GetAce(result, 1, reinterpret_cast<void**>(&last)));
    EXPECT_EQ(static_cast<DWORD>(SERVICE_CHANGE_CONFIG), last->Mask);
    LocalFree(world);
    LocalFree(system);
    LocalFree(self);
}

TEST_F(TileLibrary, StoppedServiceIsNotReportedAndIsLeftAutomaticAndRunning) {
    StopAndWait();
    std::wstring local = Case(L"stopped");
    MakeDirs(local + L"\\Quillmar\\Migrate");
    MakeDirs(local + L"\\TileDataLayer\\Database");
    WriteFileBytes(local + L"\\Quillmar\\Migrate\\vedatamodel.edb", "saved tiles");
    std::string before = LogText();
    EXPECT_EQ(0u, RestoreTileDataLayer(local.c_str()));
    EXPECT_EQ(std::vector<std::string>({"DEBUG: Restoring TileDataLayer"}), NewMessages(before));
    EXPECT_EQ(static_cast<DWORD>(SERVICE_AUTO_START), StartType());
    EXPECT_TRUE(WaitForServiceState(L"tiledatamodelsvc", SERVICE_RUNNING, 5000)) << State();
    EXPECT_EQ("saved tiles", ReadFileBytes(local + L"\\TileDataLayer\\Database\\vedatamodel.edb"));
}

TEST_F(TileLibrary, RestoreWithoutBackupEmptiesTheLiveFolderAndRestartsTheService) {
    std::wstring local = Case(L"no-backup");
    std::wstring database = local + L"\\TileDataLayer\\Database";
    MakeDirs(database + L"\\sub");
    WriteFileBytes(database + L"\\vedatamodel.edb", "live");
    WriteFileBytes(database + L"\\edb.log", "log", FILE_ATTRIBUTE_READONLY);
    WriteFileBytes(database + L"\\sub\\edb.chk", "chk");
    EXPECT_EQ(0u, RestoreTileDataLayer(local.c_str()));
    EXPECT_FALSE(FileExists(database + L"\\vedatamodel.edb"));
    EXPECT_FALSE(FileExists(database + L"\\edb.log"));
    EXPECT_FALSE(FileExists(database + L"\\sub\\edb.chk"));
    EXPECT_TRUE(DirExists(database + L"\\sub"));
    EXPECT_TRUE(WaitForServiceState(L"tiledatamodelsvc", SERVICE_RUNNING, 5000)) << State();
}

TEST_F(TileLibrary, BackupCopiesTheLiveDatabaseBesideThePackageLists) {
    std::wstring local = Case(L"backup");
    MakeDirs(local + L"\\TileDataLayer\\Database");
    WriteFileBytes(local + L"\\TileDataLayer\\Database\\vedatamodel.edb", "live tiles");
    std::string before = LogText();
    EXPECT_EQ(0u, BackupTileDataLayer(local.c_str()));
    EXPECT_EQ("live tiles", ReadFileBytes(local + L"\\Quillmar\\Migrate\\vedatamodel.edb"));
    ASSERT_FALSE(NewMessages(before).empty());
    EXPECT_EQ("DEBUG: Backing up TileDataLayer", NewMessages(before)[0]);
}

TEST_F(TileLibrary, PlantedLinksAreNeitherEmptiedNorWrittenThrough) {
    const std::wstring base = L"C:\\corvane-scratch\\tile-links";
    ASSERT_TRUE(FileExists(base + L"\\outside-database\\vedatamodel.edb")) << "links not planted";
    // The live database folder is a link: neither emptied nor overwritten by the restore.
    EXPECT_EQ(0u, RestoreTileDataLayer((base + L"\\database-link\\AppData\\Local").c_str()));
    EXPECT_EQ("keep outside-database", ReadFileBytes(base + L"\\outside-database\\vedatamodel.edb"));
    // A link inside the live folder is not entered; the user's own file beside it is deleted.
    EXPECT_EQ(0u, RestoreTileDataLayer((base + L"\\inner-link\\AppData\\Local").c_str()));
    EXPECT_EQ("keep outside-inner", ReadFileBytes(base + L"\\outside-inner\\vedatamodel.edb"));
    EXPECT_FALSE(FileExists(base + L"\\inner-link\\AppData\\Local\\TileDataLayer\\Database\\edb.log"));
    // The backup's Quillmar folder is a link: nothing is written through it.
    EXPECT_EQ(0u, BackupTileDataLayer((base + L"\\quillmar-link\\AppData\\Local").c_str()));
    EXPECT_EQ("keep outside-quillmar", ReadFileBytes(base + L"\\outside-quillmar\\vedatamodel.edb"));
    EXPECT_FALSE(DirExists(base + L"\\outside-quillmar\\Migrate"));
}

// Runs f while the thread impersonates the test's own account, as the service's thread impersonates
// its client; whether the thread still impersonated when f returned.
template <class F> bool WhileImpersonating(F f) {
    EXPECT_TRUE(ImpersonateSelf(SecurityImpersonation));
    f();
    HANDLE token = nullptr;
    bool still = OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &token) != FALSE;
    if (token) CloseHandle(token);
    RevertToSelf();
    return still;
}

std::wstring OwnProfile() {
    wchar_t path[MAX_PATH] = {};
    HANDLE token = nullptr;
    OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token);
    DWORD size = MAX_PATH;
    GetUserProfileDirectoryW(token, path, &size);
    CloseHandle(token);
    return path;
}

// For a caller that acts for a client, the folder must lie in that client's profile folder: another
// folder is left alone, whatever it holds.
TEST_F(TileLibrary, ClientsFolderOutsideTheirProfileIsRefused) {
    std::wstring local = Case(L"not-the-clients");
    MakeDirs(local + L"\\TileDataLayer\\Database");
    WriteFileBytes(local + L"\\TileDataLayer\\Database\\vedatamodel.edb", "another user's");
    DWORD result = 0;
    EXPECT_TRUE(WhileImpersonating([&] { result = RestoreTileDataLayer(local.c_str()); }))
        << "the caller's impersonation is given back";
    EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), result);
    EXPECT_EQ("another user's", ReadFileBytes(local + L"\\TileDataLayer\\Database\\vedatamodel.edb"));
}

// In the client's own profile the restore runs: the files moved as the client, the service steps
// as the library's own account, and the caller impersonates the client again afterwards.
TEST_F(TileLibrary, ClientsOwnFolderIsRestoredAndTheImpersonationGivenBack) {
    std::wstring own = OwnProfile() + L"\\tile-own";
    if (DirExists(own)) DeleteTestTree(own);
    std::wstring local = own + L"\\AppData\\Local";
    MakeDirs(local + L"\\TileDataLayer\\Database");
    MakeDirs(local + L"\\Quillmar\\Migrate");
    WriteFileBytes(local + L"\\TileDataLayer\\Database\\edb.log", "old");
    WriteFileBytes(local + L"\\Quillmar\\Migrate\\vedatamodel.edb", "saved tiles");
    std::string before = LogText();
    DWORD result = 1;
    EXPECT_TRUE(WhileImpersonating([&] { result = RestoreTileDataLayer(local.c_str()); }));
    EXPECT_EQ(0u, result);
    EXPECT_EQ("saved tiles", ReadFileBytes(local + L"\\TileDataLayer\\Database\\vedatamodel.edb"));
    EXPECT_FALSE(FileExists(local + L"\\TileDataLayer\\Database\\edb.log"));
    EXPECT_EQ(std::vector<std::string>({"DEBUG: Restoring TileDataLayer"}), NewMessages(before));
    EXPECT_EQ(static_cast<DWORD>(SERVICE_AUTO_START), StartType());
    DeleteTestTree(own);
}

} // namespace
