// Folder links planted in the folders where the service works as LocalSystem (a profile's tile
// database folder, a package folder, a backup folder, the client's live tile database and package
// folders): the files they point at stay untouched through a backup ("-user") and a restore
// ("-register", "-restoremenu").
#include "pipeclient.h"

#include "companions/appxcore/packagelist.h"
#include "harness/testlib.h"

#include <gtest/gtest.h>

using namespace service_test;
using corvane_test::DirExists;
using corvane_test::FileExists;
using corvane_test::ReadFileBytes;

namespace {

const std::wstring Outside = L"C:\\corvane-scratch\\service-links";

std::string Kept(const wchar_t* folder) {
    return ReadFileBytes(Outside + L"\\" + folder + L"\\vedatamodel.edb");
}

class ServiceLinks : public ::testing::Test {
  protected:
    // The tile library works on files only once it has the tile service in hand: the stand-in
    // tile data model service is installed beside the real AppX Management Service.
    static void SetUpTestSuite() {
        SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
        SC_HANDLE tiles = CreateServiceW(manager, L"tiledatamodelsvc", L"Tile Data model server",
                                         SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START,
                                         SERVICE_ERROR_NORMAL, L"C:\\corvane-tests\\tiledatamodelsvc.exe",
                                         nullptr, nullptr, nullptr, nullptr, nullptr);
        if (tiles) CloseServiceHandle(tiles);
        CloseServiceHandle(manager);
        InstallAndStartService(&failure);
    }
    static void TearDownTestSuite() {
        RemoveService();
        SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
        SC_HANDLE tiles = OpenServiceW(manager, L"tiledatamodelsvc", SERVICE_ALL_ACCESS);
        if (tiles) {
            SERVICE_STATUS status;
            ControlService(tiles, SERVICE_CONTROL_STOP, &status);
            DeleteService(tiles);
            CloseServiceHandle(tiles);
        }
        CloseServiceHandle(manager);
    }
    void SetUp() override {
        ASSERT_NE(0u, ServiceProcessId()) << Narrow(failure);
        ASSERT_TRUE(FileExists(Outside + L"\\database\\vedatamodel.edb")) << "links not planted";
    }
    static std::wstring failure;
};
std::wstring ServiceLinks::failure;

TEST_F(ServiceLinks, BackupReadsAndWritesThroughNoLink) {
    std::wstring sid = CurrentUserSid();
    // Profile a: the tile database folder and the Cortana package folder are links.
    std::wstring a = L"C:\\users\\svc-links-a";
    EXPECT_EQ(std::vector<std::wstring>({L"Start"}),
              Exchange(L"-user|" + sid + L"|" + a + L"\\AppData\\Local\\Quillmar\\Migrate-AppxPackage|" + a));
    EXPECT_FALSE(FileExists(a + L"\\AppData\\Local\\Quillmar\\Migrate\\vedatamodel.edb"));
    EXPECT_FALSE(DirExists(
        a + L"\\AppData\\Local\\Quillmar\\Migrate\\Packages\\Microsoft.Windows.Cortana_cw5n1h2txyewy"));
    EXPECT_EQ("keep database", Kept(L"database"));
    EXPECT_EQ("keep package", Kept(L"package"));

    // Profile b: the backup folder is a link; nothing is written through it.
    std::wstring b = L"C:\\users\\svc-links-b";
    EXPECT_EQ(std::vector<std::wstring>({L"Start"}),
              Exchange(L"-user|" + sid + L"|C:\\corvane-scratch\\svc-links-list\\Migrate-AppxPackage|" + b));
    EXPECT_EQ("keep backup", Kept(L"backup"));
    EXPECT_FALSE(DirExists(Outside + L"\\backup\\Packages"));
}

TEST_F(ServiceLinks, RestoreWritesAndDeletesThroughNoLink) {
    std::wstring list = LocalAppData() + L"\\Quillmar\\Migrate-AppxPackage";
    appxcore::WritePackageList(list, {});
    HKEY key;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Quillmar\\AppX", 0, nullptr, 0,
                                             KEY_ALL_ACCESS | KEY_WOW64_32KEY, nullptr, &key, nullptr));
    DWORD zero = 0;
    RegSetValueExW(key, L"EdbNoRestore", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&zero), sizeof(zero));
    RegCloseKey(key);
    // Force: package folders restored, then the tile database.
    EXPECT_EQ(std::vector<std::wstring>({L"Start", L"0", L"Done"}), Exchange(L"-register"));
    EXPECT_EQ("keep restore", Kept(L"restore"));
    EXPECT_EQ("keep live", Kept(L"live"));
    // The restore did run: the stand-in tile service was set back to automatic start.
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE tiles = OpenServiceW(manager, L"tiledatamodelsvc", SERVICE_QUERY_CONFIG);
    BYTE buffer[8192];
    DWORD needed = 0;
    ASSERT_TRUE(tiles && QueryServiceConfigW(tiles, reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer),
                                             sizeof(buffer), &needed));
    EXPECT_EQ(static_cast<DWORD>(SERVICE_AUTO_START),
              reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer)->dwStartType);
    CloseServiceHandle(tiles);
    CloseServiceHandle(manager);
    EXPECT_EQ(std::vector<std::wstring>({L"Start", L"Done"}), Exchange(L"-restoremenu"));
    EXPECT_EQ("keep live", Kept(L"live"));
    DeleteFileW(list.c_str());
}

} // namespace
