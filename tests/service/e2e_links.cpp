// Folder links planted in the folders where the service works as LocalSystem (a profile's tile
// database folder, a package folder, a backup folder, the client's live tile database and package
// folders): the files they point at stay untouched through a backup ("-user") and a restore
// ("-register", "-restoremenu").
#include "pipeclient.h"

#include "companions/appxcore/packagelist.h"
#include "harness/testlib.h"

#include <gtest/gtest.h>
#include <sddl.h>
#include <shlobj.h>

#include <aclapi.h>
#include <atomic>
#include <thread>

using namespace service_test;
using corvane_test::DirExists;
using corvane_test::FileExists;
using corvane_test::ReadFileBytes;

namespace {

const std::wstring Outside = L"C:\\corvane-scratch\\service-links";
const wchar_t AccessDeniedText[] = L"Access Denied";
const wchar_t ServiceVersionKey[] = L"Software\\Wine\\AppDefaults\\QuillmarAppxService.exe";

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
        monitor = new DebugMonitor();
        // The service runs as on Windows 10, where a listing also writes the backups.
        HKEY version = nullptr;
        if (RegCreateKeyExW(HKEY_CURRENT_USER, ServiceVersionKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                            &version, nullptr) == ERROR_SUCCESS) {
            RegSetValueExW(version, L"Version", 0, REG_SZ, reinterpret_cast<const BYTE*>(L"win10"),
                           6 * sizeof(wchar_t));
            RegCloseKey(version);
        }
        InstallAndStartService(&failure);
    }
    static void TearDownTestSuite() {
        RemoveService();
        delete monitor;
        monitor = nullptr;
        RegDeleteKeyW(HKEY_CURRENT_USER, ServiceVersionKey);
        corvane_test::StopAndRemoveService(L"tiledatamodelsvc");
    }
    void SetUp() override {
        ASSERT_NE(0u, ServiceProcessId()) << Narrow(failure);
        ASSERT_TRUE(FileExists(Outside + L"\\database\\vedatamodel.edb")) << "links not planted";
    }
    // Waits until a service log line holding every one of parts appears.
    static bool Logged(std::initializer_list<std::string> parts, DWORD timeoutMs = 15000) {
        DWORD start = GetTickCount();
        do {
            for (const std::string& line : monitor->Lines(ServiceProcessId())) {
                bool all = true;
                for (const std::string& part : parts)
                    if (line.find(part) == std::string::npos) all = false;
                if (all) return true;
            }
            Sleep(100);
        } while (GetTickCount() - start < timeoutMs);
        return false;
    }
    static std::wstring failure;
    static DebugMonitor* monitor;
};
std::wstring ServiceLinks::failure;
DebugMonitor* ServiceLinks::monitor = nullptr;

// A folder's DACL as SDDL ("" when it cannot be read).
std::string DaclText(const std::wstring& folder) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetNamedSecurityInfoW(folder.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                              nullptr, nullptr, &descriptor) != ERROR_SUCCESS)
        return "";
    wchar_t* text = nullptr;
    ConvertSecurityDescriptorToStringSecurityDescriptorW(descriptor, SDDL_REVISION_1,
                                                         DACL_SECURITY_INFORMATION, &text, nullptr);
    std::string sddl = text ? Narrow(text) : "";
    LocalFree(text);
    LocalFree(descriptor);
    return sddl;
}

std::wstring ProfileFolder() {
    wchar_t path[MAX_PATH] = {};
    SHGetFolderPathW(nullptr, CSIDL_PROFILE, nullptr, SHGFP_TYPE_CURRENT, path);
    return path;
}

const wchar_t UserShellFolders[] =
    L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\User Shell Folders";

// Sets the client's "Local AppData" shell folder; an empty text puts the old value back.
class LocalAppDataSetting {
  public:
    explicit LocalAppDataSetting(const std::wstring& folder) {
        RegCreateKeyExW(HKEY_CURRENT_USER, UserShellFolders, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key_,
                        nullptr);
        DWORD size = sizeof(old_);
        had_ = RegQueryValueExW(key_, L"Local AppData", nullptr, &type_, reinterpret_cast<BYTE*>(old_),
                                &size) == ERROR_SUCCESS;
        RegSetValueExW(key_, L"Local AppData", 0, REG_EXPAND_SZ,
                       reinterpret_cast<const BYTE*>(folder.c_str()),
                       static_cast<DWORD>((folder.size() + 1) * sizeof(wchar_t)));
    }
    ~LocalAppDataSetting() {
        if (had_)
            RegSetValueExW(key_, L"Local AppData", 0, type_, reinterpret_cast<const BYTE*>(old_),
                           static_cast<DWORD>((wcslen(old_) + 1) * sizeof(wchar_t)));
        else
            RegDeleteValueW(key_, L"Local AppData");
        RegCloseKey(key_);
    }

  private:
    HKEY key_ = nullptr;
    wchar_t old_[MAX_PATH] = {};
    DWORD type_ = REG_EXPAND_SZ;
    bool had_ = false;
};

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

    // Profile b: the backup folder is a link; the listing is refused and nothing is written through it.
    std::wstring b = L"C:\\users\\svc-links-b";
    EXPECT_EQ(std::vector<std::wstring>({AccessDeniedText}),
              Exchange(L"-user|" + sid + L"|C:\\corvane-scratch\\svc-links-list\\Migrate-AppxPackage|" + b));
    EXPECT_TRUE(Logged({"QuillmarAppxService: E: Listing refused for", "svc-links-b", "Migrate"}));
    EXPECT_FALSE(FileExists(L"C:\\corvane-scratch\\svc-links-list\\Migrate-AppxPackage"));
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
    // The tile restore was asked for and refused: the live database folder is a link.
    EXPECT_TRUE(
        Logged({"QuillmarAppxService: E: A folder link lies on the way to", "TileDataLayer\\Database"}));
    EXPECT_EQ(std::vector<std::wstring>({L"Start", L"Done"}), Exchange(L"-restoremenu"));
    EXPECT_EQ("keep live", Kept(L"live"));
    DeleteFileW(list.c_str());
    RegDeleteKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Quillmar\\AppX", KEY_WOW64_32KEY, 0); // as it was
}

// The client names as its Local AppData a folder of its own profile that is a link to another
// user's Local AppData, then asks for its tile database to be restored: the other user's files stay,
// and the refusal is logged.
TEST_F(ServiceLinks, RestoreRefusesALocalAppDataThatIsALinkToAnotherUser) {
    std::wstring linked = ProfileFolder() + L"\\linked-local";
    std::wstring victim = L"C:\\users\\svc-victim\\AppData\\Local";
    ASSERT_EQ("victim tiles", ReadFileBytes(linked + L"\\TileDataLayer\\Database\\vedatamodel.edb"))
        << "the link was not planted";
    {
        LocalAppDataSetting setting(linked);
        EXPECT_EQ(std::vector<std::wstring>({L"Start", L"Done"}), Exchange(L"-restoremenu"));
    }
    EXPECT_EQ("victim tiles", ReadFileBytes(victim + L"\\TileDataLayer\\Database\\vedatamodel.edb"));
    EXPECT_EQ("victim log", ReadFileBytes(victim + L"\\TileDataLayer\\Database\\edb.log"));
    EXPECT_EQ("victim backup", ReadFileBytes(victim + L"\\Quillmar\\Migrate\\vedatamodel.edb"));
    EXPECT_TRUE(Logged({"QuillmarAppxService: E: A folder link lies on the way to", "linked-local"}));
    EXPECT_TRUE(Logged({"QuillmarAppxService: I: Restore of Tile Data Layer fails. "}));
}

// A listing for a profile whose Quillmar folder is a link to a folder only administrators may
// write: refused before anything is written there (no list, no temporary list, no log).
TEST_F(ServiceLinks, ListingRefusesAQuillmarFolderThatIsALink) {
    std::wstring q = L"C:\\users\\svc-links-q";
    std::wstring admin = Outside + L"\\admin";
    std::map<std::wstring, std::string> before = corvane_test::Snapshot(admin);
    ASSERT_EQ(1u, before.size());
    EXPECT_EQ(std::vector<std::wstring>({AccessDeniedText}),
              Exchange(L"-user|" + CurrentUserSid() + L"|" + q +
                       L"\\AppData\\Local\\Quillmar\\Migrate-AppxPackage|" + q));
    EXPECT_EQ(before, corvane_test::Snapshot(admin));
    EXPECT_TRUE(Logged({"QuillmarAppxService: E: Listing refused for", "svc-links-q"}));
    // The same folder named as the list's folder without a profile to start from: the check then
    // starts at the drive's root and still sees the link.
    EXPECT_EQ(std::vector<std::wstring>({AccessDeniedText}),
              Exchange(L"-user|" + CurrentUserSid() + L"|" + q +
                       L"\\AppData\\Local\\Quillmar\\Migrate-AppxPackage|"));
    EXPECT_EQ(before, corvane_test::Snapshot(admin));
}

// A client that closes the pipe as soon as it has read "Start" (as "-silent" does) still has its
// registration carried through to the end for it.
TEST_F(ServiceLinks, ClientThatLeavesRightAfterStartIsStillServed) {
    std::wstring list = LocalAppData() + L"\\Quillmar\\Migrate-AppxPackage";
    appxcore::WritePackageList(list, {});
    monitor->Clear();
    {
        PipeClient client;
        ASSERT_TRUE(client.Open());
        ASSERT_TRUE(client.Send(L"-update"));
        std::wstring reply;
        ASSERT_TRUE(client.ReadReply(&reply));
        EXPECT_EQ(L"Start", reply);
    } // gone
    EXPECT_TRUE(Logged({"QuillmarAppxService: I: Registration complete"}));
    for (const std::string& line : monitor->Lines(ServiceProcessId()))
        EXPECT_EQ(std::string::npos, line.find("ERROR")) << line;
    DeleteFileW(list.c_str());
}

// Another process takes the pipe's name in the moment between two clients and holds it longer than
// the service once waited: the service answers again once the name is free.
TEST_F(ServiceLinks, SquattedPipeNameOnlyDelaysTheService) {
    std::atomic<bool> stop(false);
    std::atomic<HANDLE> squatter(INVALID_HANDLE_VALUE);
    std::thread taker([&] {
        while (!stop) {
            // Inbound only: a client that asks to read cannot open it, so no exchange below can
            // end up waiting on the squatter for a reply.
            HANDLE pipe = CreateNamedPipeW(PipePath, PIPE_ACCESS_INBOUND, PIPE_TYPE_BYTE | PIPE_WAIT, 1, 0, 0,
                                           0, nullptr);
            if (pipe != INVALID_HANDLE_VALUE) {
                squatter = pipe;
                return;
            }
        }
    });
    // Each exchange ends with the service closing its instance: the taker races it for the name.
    for (int attempt = 0; attempt < 200 && squatter == INVALID_HANDLE_VALUE; ++attempt) {
        PipeClient client;
        if (!client.Open(2000)) continue;
        client.Send(L"-nonsense");
        client.ReadAll();
    }
    stop = true;
    taker.join();
    ASSERT_NE(INVALID_HANDLE_VALUE, squatter.load()) << "the name could not be taken";
    Sleep(8000); // longer than the service's old limit of 50 tries 100 ms apart
    CloseHandle(squatter.load());
    std::vector<std::wstring> replies = Exchange(L"-version");
    ASSERT_EQ(2u, replies.size());
    EXPECT_EQ(L"Start", replies[1]);
    EXPECT_TRUE(Logged({"QuillmarAppxService: I: The service's pipe is open again."}));
}

// A user made the tile library's log folder first, as a link: the library logs nothing through it.
// A log folder a user made that users may write to is taken back for LocalSystem and
// Administrators.
TEST_F(ServiceLinks, TileLibraryLogFolderMadeByAUserIsNotUsedOrIsTakenBack) {
    wchar_t common[MAX_PATH];
    ASSERT_EQ(S_OK, SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT, common));
    std::wstring quillmar = std::wstring(common) + L"\\Quillmar";
    std::wstring reporting = quillmar + L"\\Error Reporting";
    // Folders are swapped by their parents: Wine renames a link's target, not the link.
    CreateDirectoryW(quillmar.c_str(), nullptr);
    ASSERT_TRUE(MoveFileW(quillmar.c_str(), (quillmar + L".kept").c_str())) << GetLastError();
    ASSERT_TRUE(MoveFileW((Outside + L"\\pd-quillmar").c_str(), quillmar.c_str())) << GetLastError();
    // The library is only reached when the client's own folders are plain: the planted live
    // database link is put aside meanwhile.
    std::wstring tiles = LocalAppData() + L"\\TileDataLayer";
    std::wstring live = tiles + L"\\Database";
    ASSERT_TRUE(MoveFileW(tiles.c_str(), (tiles + L".planted").c_str())) << GetLastError();

    EXPECT_EQ(std::vector<std::wstring>({L"Start", L"Done"}), Exchange(L"-restoremenu"));
    EXPECT_TRUE(corvane_test::Snapshot(Outside + L"\\programdata").empty())
        << "a log was written through the link";
    EXPECT_EQ("backup", ReadFileBytes(live + L"\\vedatamodel.edb")) << "the restore itself did run";

    ASSERT_TRUE(MoveFileW(quillmar.c_str(), (Outside + L"\\pd-quillmar").c_str())) << GetLastError();
    ASSERT_TRUE(CreateDirectoryW(quillmar.c_str(), nullptr));
    // Now a real folder that users may write to, as a user could have made it.
    SECURITY_ATTRIBUTES open = {sizeof(open), nullptr, FALSE};
    ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(
        L"D:(A;OICI;FA;;;BU)(A;OICI;FA;;;WD)", SDDL_REVISION_1, &open.lpSecurityDescriptor, nullptr));
    ASSERT_TRUE(CreateDirectoryW(reporting.c_str(), &open));
    LocalFree(open.lpSecurityDescriptor);
    // Whether this file system keeps a folder's security as set: Wine derives it from the Unix mode
    // bits where it cannot store it.
    bool keepsSecurity = DaclText(reporting).find("FA;;;BU)") != std::string::npos;
    corvane_test::DeleteTestTree(tiles);
    EXPECT_EQ(std::vector<std::wstring>({L"Start", L"Done"}), Exchange(L"-restoremenu"));
    EXPECT_TRUE(FileExists(reporting + L"\\kelvohlp.log")) << "a folder that is no link is used";
    if (keepsSecurity) {
        std::string sddl = DaclText(reporting);
        EXPECT_EQ(0u, sddl.find("D:P")) << sddl;
        EXPECT_EQ(std::string::npos, sddl.find(";;;WD)")) << sddl;
        EXPECT_EQ(std::string::npos, sddl.find("FA;;;BU)")) << sddl;
    } else {
        // Wine divergence: folder security is not kept here, so the DACL given back cannot be read.
        std::printf("Wine divergence: folder security is not kept; the log folder's DACL is not checked\n");
    }

    // As it was: the planted link back in place, the earlier log folder back.
    corvane_test::DeleteTestTree(tiles);
    MoveFileW((tiles + L".planted").c_str(), tiles.c_str());
    DeleteFileW((reporting + L"\\kelvohlp.log").c_str()); // the test's own folders in the common data folder
    RemoveDirectoryW(reporting.c_str());
    RemoveDirectoryW(quillmar.c_str());
    MoveFileW((quillmar + L".kept").c_str(), quillmar.c_str());
}

} // namespace
