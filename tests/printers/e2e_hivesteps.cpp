// The wallpaper and printer steps inside whole runs of corvane.exe: a profile made for the test,
// the resulting default profile's hive read back, the spooler's state checked afterwards.
#include "printers/printer_cache.h"
#include "printers/spooler_control.h"

#include <gtest/gtest.h>
#include <shlobj.h>

using namespace corvane_test;

namespace {

const std::string Updating = "Updating default profile...\r\n";
const std::string Success = "The default profile has been successfully updated.\r\n";
const wchar_t* const Desktop = L"Control Panel\\Desktop";
const wchar_t* const CheckMount = L"CorvaneHiveStepsCheck";

std::wstring CommonPictures() {
    wchar_t path[MAX_PATH] = {};
    SHGetFolderPathW(nullptr, CSIDL_COMMON_PICTURES, nullptr, SHGFP_TYPE_DEFAULT, path);
    return path;
}

// The profile folders a run copies, relative to a profile, as the running account places them; a
// source profile must have them.
std::vector<std::wstring> ProfileFolders() {
    wchar_t profile[MAX_PATH];
    SHGetFolderPathW(nullptr, CSIDL_PROFILE, nullptr, SHGFP_TYPE_DEFAULT, profile);
    size_t skip = wcslen(profile) + 1;
    std::vector<std::wstring> rows;
    for (int csidl :
         {CSIDL_APPDATA, CSIDL_COOKIES, CSIDL_DESKTOPDIRECTORY, CSIDL_FAVORITES, CSIDL_PERSONAL, CSIDL_RECENT,
          CSIDL_SENDTO, CSIDL_STARTMENU, CSIDL_NETHOOD, CSIDL_PRINTHOOD, CSIDL_TEMPLATES}) {
        wchar_t path[MAX_PATH];
        if (SUCCEEDED(SHGetFolderPathW(nullptr, csidl, nullptr, SHGFP_TYPE_DEFAULT, path)))
            rows.push_back(std::wstring(path).substr(skip));
    }
    for (REFKNOWNFOLDERID id : {FOLDERID_Downloads, FOLDERID_Links}) {
        PWSTR path = nullptr;
        if (SUCCEEDED(SHGetKnownFolderPath(id, 0, nullptr, &path)))
            rows.push_back(std::wstring(path).substr(skip));
        CoTaskMemFree(path);
    }
    return rows;
}

class HiveSteps : public testing::Test {
  protected:
    void SetUp() override {
        defaultPath = EnsureDefaultProfile();
        pictures = CommonPictures();
        // Copies there are deleted by name: the folder must be the prefix's own.
        ASSERT_EQ(0, _wcsnicmp(pictures.c_str(), (ProfilesDir() + L"\\").c_str(), ProfilesDir().size() + 1));
    }
    void TearDown() override {
        if (defaultPath.empty()) return;
        for (const auto& p : profiles)
            RemoveProfile(p);
        for (const auto& c : copies)
            DeleteFileW(c.c_str());
        DeleteTestTree(defaultPath);
        DeleteTestTree(defaultPath + L".corvane-backup");
        SetToolWindowsVersion(L"win7");
    }
    TestProfile Profile(const std::wstring& name, const std::wstring& sid, const HiveContent& hive) {
        TestProfile p = CreateProfile(name, sid, hive);
        profiles.push_back(p);
        for (const auto& folder : ProfileFolders())
            MakeDirs(p.path + L"\\" + folder);
        return p;
    }

    std::wstring defaultPath;
    std::wstring pictures;
    std::vector<TestProfile> profiles;
    std::vector<std::wstring> copies;
};

// The user's image named twice is copied once into the common Pictures folder; the Windows folder's
// image is left alone. Windows 7 and Windows 10, Store apps left out.
TEST_F(HiveSteps, WallpaperRelocatedOnWindows7And10) {
    const struct {
        const wchar_t* version;
        const wchar_t* name;
        const wchar_t* sid;
    } runs[] = {{L"win7", L"HsWallSeven", L"S-1-5-21-41-41-41-1001"},
                {L"win10", L"HsWallTen", L"S-1-5-21-41-41-41-1002"}};
    for (const auto& run : runs) {
        SCOPED_TRACE(Narrow(run.version));
        std::wstring fileName = std::wstring(L"corvane-e2e-") + run.name + L".bmp";
        std::wstring image = ProfilesDir() + L"\\" + run.name + L"\\Pictures\\" + fileName;
        std::wstring copy = pictures + L"\\" + fileName;
        copies.push_back(copy);
        const std::wstring windowsImage = L"C:\\windows\\Web\\Wallpaper\\Windows\\img0.jpg";
        HiveContent hive;
        hive[Desktop][L"Wallpaper"] = Sz(image);
        hive[Desktop][L"OriginalWallpaper"] = Sz(image);
        hive[Desktop][L"ConvertedWallpaper"] = Sz(windowsImage);
        hive[L"Software\\Microsoft\\Windows\\CurrentVersion\\AccountPicture"][L"SourceId"] = Sz(L"x");
        TestProfile p = Profile(run.name, run.sid, hive);
        MakeDirs(p.path + L"\\Pictures");
        WriteFileBytes(image, "BM-e2e-image");
        SetToolWindowsVersion(run.version);

        RunResult r = RunTool(std::wstring(run.name) + L" /q /NoAppx");

        ASSERT_EQ(0u, r.exitCode) << r.out;
        // Windows 10's Store-app step runs even with /NoAppx; no updater is in the Windows folder here.
        std::string storeApps =
            std::wstring(run.version) == L"win10"
                ? "Warning: Store-app step failed: listing the Store apps into the default profile. "
                  "Error 2: " +
                      SystemErrorText(ERROR_FILE_NOT_FOUND) + "\r\n"
                : "";
        EXPECT_EQ(std::string(Banner) + Updating + "Wallpaper copied to " + Narrow(pictures) + ".\r\n" +
                      storeApps + Success,
                  r.out);
        EXPECT_EQ("BM-e2e-image", ReadFileBytes(copy));
        LoadedHive result(defaultPath + L"\\NTUSER.DAT", CheckMount);
        EXPECT_EQ(copy, result.Value(Desktop, L"Wallpaper").text);
        EXPECT_EQ(copy, result.Value(Desktop, L"OriginalWallpaper").text);
        EXPECT_EQ(windowsImage, result.Value(Desktop, L"ConvertedWallpaper").text);
        EXPECT_FALSE(result.Has(L"Software\\Microsoft\\Windows\\CurrentVersion\\AccountPicture"));
    }
}

HiveContent LegacyHive(const std::wstring& user) {
    HiveContent hive;
    hive[Desktop][L"Wallpaper"] = Sz(L"C:\\Documents and Settings\\" + user + L"\\My Wallpaper.bmp");
    hive[Desktop][L"ConvertedWallpaper"] = Sz(L"C:\\Documents and Settings\\" + user + L"\\Converted.bmp");
    hive[Desktop][L"OriginalWallpaper"] = Sz(L"C:\\Documents and Settings\\" + user + L"\\Original.bmp");
    return hive;
}

TEST_F(HiveSteps, WallpaperResetOnWindowsXp) {
    Profile(L"HsWallXp", L"S-1-5-21-41-41-41-1003", LegacyHive(L"HsWallXp"));
    SetToolWindowsVersion(L"winxp");
    RunResult r = RunTool(L"HsWallXp /q /NoAppx");
    ASSERT_EQ(0u, r.exitCode) << r.out;
    EXPECT_EQ(std::string(Banner) + Updating + Success, r.out);
    LoadedHive result(defaultPath + L"\\NTUSER.DAT", CheckMount);
    EXPECT_EQ(L"C:\\WINDOWS\\web\\wallpaper\\Bliss.bmp", result.Value(Desktop, L"Wallpaper").text);
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, result.Value(Desktop, L"ConvertedWallpaper").status);
    StoredValue original = result.Value(Desktop, L"OriginalWallpaper");
    EXPECT_EQ(ERROR_SUCCESS, original.status);
    EXPECT_EQ(L"", original.text);
}

TEST_F(HiveSteps, WallpaperResetOnWindows2000) {
    Profile(L"HsWall2k", L"S-1-5-21-41-41-41-1006", LegacyHive(L"HsWall2k"));
    SetToolWindowsVersion(L"win2k");
    RunResult r = RunTool(L"HsWall2k /q /NoAppx");
    ASSERT_EQ(0u, r.exitCode) << r.out;
    LoadedHive result(defaultPath + L"\\NTUSER.DAT", CheckMount);
    EXPECT_EQ(L"(None)", result.Value(Desktop, L"Wallpaper").text);
    EXPECT_EQ(L"C:\\Documents and Settings\\HsWall2k\\Converted.bmp",
              result.Value(Desktop, L"ConvertedWallpaper").text);
}

// A connection's cache key goes, the hive keeps its connection, and the spooler is set to start
// automatically and restarted.
TEST_F(HiveSteps, PrinterCacheKeyDeletedAndSpoolerRestarted) {
    SpoolerGuard spooler;
    ASSERT_NO_FATAL_FAILURE(spooler.Prepare(true, SERVICE_DEMAND_START));
    SpoolerState before = QuerySpooler();
    PrinterCache cache;
    const std::wstring guid = L"{0C0FFEE0-1111-2222-3333-444455556666}";
    cache.Add(L"corvane-srv-e2e", guid);
    cache.Add(L"corvane-srv-e2e", L"{other}");
    HiveContent hive;
    RegValue guidValue = Sz(guid), server = Sz(L"\\\\corvane-srv-e2e");
    AddConnection(&hive, L",,corvane-srv-e2e,Laser", &guidValue, &server);
    Profile(L"HsPrint", L"S-1-5-21-41-41-41-1004", hive);

    RunResult r = RunTool(L"HsPrint /q /NoAppx");

    ASSERT_EQ(0u, r.exitCode) << r.out;
    EXPECT_EQ(std::string(Banner) + Updating + Success, r.out);
    EXPECT_FALSE(cache.Has(L"corvane-srv-e2e", guid));
    EXPECT_TRUE(cache.Has(L"corvane-srv-e2e", L"{other}"));
    SpoolerState after = QuerySpooler();
    EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), after.state);
    EXPECT_NE(before.processId, after.processId);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_AUTO_START), after.startType);
    LoadedHive result(defaultPath + L"\\NTUSER.DAT", CheckMount);
    EXPECT_EQ(guid, result.Value(L"Printers\\Connections\\,,corvane-srv-e2e,Laser", L"GuidPrinter").text);
}

// A spooler that never stops: the run still succeeds, after the one failure line.
TEST_F(HiveSteps, SpoolerThatWillNotStopIsReported) {
    SpoolerGuard spooler;
    ASSERT_NO_FATAL_FAILURE(spooler.Prepare(true, SERVICE_DEMAND_START, L"never"));
    HiveContent hive;
    hive[L"Printers\\Connections"] = {};
    Profile(L"HsStuck", L"S-1-5-21-41-41-41-1005", hive);

    RunResult r = RunTool(L"HsStuck /q /NoAppx");

    ASSERT_EQ(0u, r.exitCode) << r.out;
    EXPECT_EQ(std::string(Banner) + Updating + "Failed to restart spooler service.\r\n" + Success, r.out);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_STOP_PENDING), QuerySpooler().state);
}

} // namespace
