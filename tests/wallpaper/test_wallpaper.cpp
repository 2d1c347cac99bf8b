// Wallpaper reset and relocation, and the account picture key, on a mounted test hive.
#include "printers/mounted_hive.h"
#include "profile/wallpaper.h"

#include <gtest/gtest.h>
#include <shlobj.h>

#include <string>

using namespace corvane_test;

namespace {

const wchar_t* const User = L"hvuser";
const wchar_t* const Desktop = L"Control Panel\\Desktop";
const wchar_t* const CurrentVersion = L"Software\\Microsoft\\Windows\\CurrentVersion";

std::wstring CommonPictures() {
    wchar_t path[MAX_PATH] = {};
    SHGetFolderPathW(nullptr, CSIDL_COMMON_PICTURES, nullptr, SHGFP_TYPE_DEFAULT, path);
    return path;
}

// The user's profile folder with the images the hive names, and the copies made from them in the
// common Pictures folder, removed again at scope end.
class WallpaperFiles {
  public:
    WallpaperFiles() : profile_(ProfilesDir() + L"\\" + User), pictures_(CommonPictures()) {
        MakeDirs(profile_ + L"\\Pictures");
    }
    ~WallpaperFiles() {
        for (const auto& copy : copies_)
            DeleteFileW(copy.c_str());
        DeleteTestTree(profile_);
    }
    // Writes an image below the profile and returns its path.
    std::wstring Image(const std::wstring& relative, const std::string& bytes = "BM-test-image") {
        std::wstring path = profile_ + L"\\" + relative;
        WriteFileBytes(path, bytes);
        return path;
    }
    // Where a copy of fileName lands; only names the test made are ever deleted there.
    std::wstring Copy(const std::wstring& fileName) {
        std::wstring path = pictures_ + L"\\" + fileName;
        copies_.push_back(path);
        return path;
    }
    const std::wstring& profile() const { return profile_; }
    const std::wstring& pictures() const { return pictures_; }

  private:
    std::wstring profile_;
    std::wstring pictures_;
    std::vector<std::wstring> copies_;
};

std::wstring DesktopValue(const MountedHive& hive, const wchar_t* name) {
    return ReadStored(HKEY_USERS, hive.Key(Desktop), name).text;
}

DWORD RelocateCapturing(const MountedHive& hive, std::string* out) {
    testing::internal::CaptureStdout();
    DWORD result = RelocateWallpaper(hive.name(), User);
    *out = testing::internal::GetCapturedStdout();
    return result;
}

size_t Count(const std::string& text, const std::string& part) {
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++n;
    return n;
}

class Wallpaper : public testing::Test {
  protected:
    void SetUp() override {
        // The copies below are deleted by name: the folder must be the prefix's own.
        ASSERT_EQ(
            0, _wcsnicmp(files.pictures().c_str(), (ProfilesDir() + L"\\").c_str(), ProfilesDir().size() + 1))
            << Narrow(files.pictures());
        ASSERT_TRUE(DirExists(files.pictures()));
    }
    WallpaperFiles files;
};

TEST_F(Wallpaper, UserImagesCopiedOnceToCommonPictures) {
    std::wstring image = files.Image(L"Pictures\\corvane-wp-beach.bmp", "BM-beach");
    std::wstring target = files.Copy(L"corvane-wp-beach.bmp");
    const std::wstring windowsImage = L"C:\\windows\\Web\\Wallpaper\\corvane-wp-windows.jpg";
    HiveContent content;
    content[Desktop][L"Wallpaper"] = UnterminatedSz(image); // data without a terminator ends at its end
    content[Desktop][L"OriginalWallpaper"] = Sz(image);
    content[Desktop][L"ConvertedWallpaper"] = Sz(windowsImage);
    content[std::wstring(CurrentVersion) + L"\\AccountPicture"][L"SourceId"] = Sz(L"x");
    MountedHive hive;
    ASSERT_NO_FATAL_FAILURE(hive.Mount(content));
    ASSERT_FALSE(FileExists(target));

    std::string out;
    EXPECT_EQ(0u, RelocateCapturing(hive, &out));

    EXPECT_EQ("BM-beach", ReadFileBytes(target));
    EXPECT_EQ(target, DesktopValue(hive, L"Wallpaper"));
    EXPECT_EQ(target, DesktopValue(hive, L"OriginalWallpaper"));
    EXPECT_EQ(REG_SZ, ReadStored(HKEY_USERS, hive.Key(Desktop), L"Wallpaper").type);
    EXPECT_EQ(windowsImage, DesktopValue(hive, L"ConvertedWallpaper"));
    // "\r" ends the text in both stream modes; "\r\n" becomes "\r\r\n" on a text-mode stdout.
    EXPECT_EQ(1u, Count(out, "Wallpaper copied to " + Narrow(files.pictures()) + ".\r"));
    EXPECT_EQ(1u, Count(out, "Wallpaper copied to"));
    EXPECT_FALSE(KeyExists(HKEY_USERS, hive.Key(std::wstring(CurrentVersion) + L"\\AccountPicture")));
    EXPECT_TRUE(KeyExists(HKEY_USERS, hive.Key(CurrentVersion)));
}

TEST_F(Wallpaper, ConvertedWallpaperOfTheUserIsRelocatedToo) {
    std::wstring image = files.Image(L"Pictures\\corvane-wp-converted.bmp", "BM-converted");
    std::wstring target = files.Copy(L"corvane-wp-converted.bmp");
    HiveContent content;
    content[Desktop][L"ConvertedWallpaper"] = Sz(image);
    MountedHive hive;
    ASSERT_NO_FATAL_FAILURE(hive.Mount(content));
    std::string out;
    EXPECT_EQ(0u, RelocateCapturing(hive, &out));
    EXPECT_EQ("BM-converted", ReadFileBytes(target));
    StoredValue converted = ReadStored(HKEY_USERS, hive.Key(Desktop), L"ConvertedWallpaper");
    EXPECT_EQ(target, converted.text);
    EXPECT_EQ((target.size() + 1) * sizeof(wchar_t), converted.bytes)
        << "the terminator is part of the value";
    EXPECT_EQ(1u, Count(out, "Wallpaper copied to"));
}

// An image that cannot be copied (it is gone) leaves its value as it was, and nothing is printed.
TEST_F(Wallpaper, FailedCopyKeepsTheValueAndPrintsNothing) {
    std::wstring missing = files.profile() + L"\\Pictures\\corvane-wp-gone.bmp";
    files.Copy(L"corvane-wp-gone.bmp");
    HiveContent content;
    content[Desktop][L"Wallpaper"] = Sz(missing);
    MountedHive hive;
    ASSERT_NO_FATAL_FAILURE(hive.Mount(content));
    std::string out;
    RelocateCapturing(hive, &out);
    StoredValue wallpaper = ReadStored(HKEY_USERS, hive.Key(Desktop), L"Wallpaper");
    EXPECT_EQ(ERROR_SUCCESS, wallpaper.status);
    EXPECT_EQ(missing, wallpaper.text);
    EXPECT_FALSE(FileExists(files.pictures() + L"\\corvane-wp-gone.bmp"));
    EXPECT_EQ("", out);
}

TEST_F(Wallpaper, OtherImagesAndOtherLetterCaseLeftAlone) {
    std::wstring upper =
        ProfilesDir() + L"\\HVUSER\\Pictures\\corvane-wp-upper.bmp"; // same file system entry
    files.Image(L"Pictures\\corvane-wp-upper.bmp");
    files.Copy(L"corvane-wp-upper.bmp");
    HiveContent content;
    content[Desktop][L"Wallpaper"] = Sz(upper);
    content[Desktop][L"OriginalWallpaper"] = Sz(L"");
    content[std::wstring(CurrentVersion) + L"\\AccountPicture\\Sub"][L"x"] = Dword(1);
    MountedHive hive;
    ASSERT_NO_FATAL_FAILURE(hive.Mount(content));

    std::string out;
    EXPECT_EQ(0u, RelocateCapturing(hive, &out));

    EXPECT_EQ(upper, DesktopValue(hive, L"Wallpaper"));
    EXPECT_EQ(L"", DesktopValue(hive, L"OriginalWallpaper"));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, ReadStored(HKEY_USERS, hive.Key(Desktop), L"ConvertedWallpaper").status);
    EXPECT_FALSE(FileExists(files.pictures() + L"\\corvane-wp-upper.bmp"));
    EXPECT_EQ("", out);
    // RegDeleteKeyW keeps a key that has subkeys.
    EXPECT_TRUE(KeyExists(HKEY_USERS, hive.Key(std::wstring(CurrentVersion) + L"\\AccountPicture\\Sub")));
}

// A value naming no plain file name after its last backslash is left as it is, even where a copy
// would succeed: the name part comes from the user's hive and must not steer the copy.
TEST_F(Wallpaper, ValuesWithoutPlainFileNameLeftUnchanged) {
    files.Image(L"corvane-wp-dot.bmp");
    files.Copy(L"corvane-wp-dot.bmp");
    const std::wstring noBackslash = std::wstring(User) + L"-corvane-wp.bmp";
    const std::wstring slashed = files.profile() + L"\\Pictures/../corvane-wp-dot.bmp";
    const std::wstring trailing = files.profile() + L"\\Pictures\\";
    HiveContent content;
    content[Desktop][L"Wallpaper"] = Sz(noBackslash);
    content[Desktop][L"ConvertedWallpaper"] = Sz(slashed);
    content[Desktop][L"OriginalWallpaper"] = Sz(trailing);
    MountedHive hive;
    ASSERT_NO_FATAL_FAILURE(hive.Mount(content));

    std::string out;
    EXPECT_EQ(0u, RelocateCapturing(hive, &out));

    EXPECT_EQ(noBackslash, DesktopValue(hive, L"Wallpaper"));
    EXPECT_EQ(slashed, DesktopValue(hive, L"ConvertedWallpaper"));
    EXPECT_EQ(trailing, DesktopValue(hive, L"OriginalWallpaper"));
    EXPECT_FALSE(FileExists(files.pictures() + L"\\corvane-wp-dot.bmp"));
    EXPECT_EQ("", out);
}

// The target path holds at most 259 characters; a longer one is never cut and written.
TEST_F(Wallpaper, TargetPathAtTheLimit) {
    size_t room = MAX_PATH - 1 - files.pictures().size() - 1; // characters left for the file name
    std::wstring fits = L"corvane-wp-" + std::wstring(room - 15, L'f') + L".bmp";
    std::wstring tooLong = L"corvane-wp-" + std::wstring(room - 14, L'g') + L".bmp";
    ASSERT_EQ(MAX_PATH - 1, files.pictures().size() + 1 + fits.size());
    std::wstring fitsSource = files.Image(fits, "BM-fits");
    std::wstring longSource = files.Image(tooLong, "BM-long");
    ASSERT_TRUE(FileExists(longSource)); // the copy could succeed; only the limit stops it
    std::wstring fitsTarget = files.Copy(fits);
    std::wstring longTarget = files.Copy(tooLong);
    HiveContent content;
    content[Desktop][L"Wallpaper"] = Sz(fitsSource);
    content[Desktop][L"OriginalWallpaper"] = Sz(longSource);
    MountedHive hive;
    ASSERT_NO_FATAL_FAILURE(hive.Mount(content));

    std::string out;
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILENAME_EXCED_RANGE), RelocateCapturing(hive, &out));

    EXPECT_EQ(fitsTarget, DesktopValue(hive, L"Wallpaper"));
    EXPECT_EQ("BM-fits", ReadFileBytes(fitsTarget));
    EXPECT_EQ(longSource, DesktopValue(hive, L"OriginalWallpaper"));
    EXPECT_FALSE(FileExists(longTarget));
    EXPECT_EQ(1u, Count(out, "Wallpaper copied to"));
}

HiveContent LegacyHive(const std::wstring& wallpaper) {
    HiveContent content;
    content[Desktop][L"Wallpaper"] = Sz(wallpaper);
    content[Desktop][L"ConvertedWallpaper"] = Sz(L"C:\\Documents and Settings\\hvuser\\conv.bmp");
    content[Desktop][L"OriginalWallpaper"] = Sz(L"C:\\Documents and Settings\\hvuser\\orig.bmp");
    return content;
}

// Only a "Wallpaper" of the user, read within 260 bytes, is reset.
TEST(LegacyWallpaper, OtherWallpaperLeftAlone) {
    const std::wstring cases[] = {
        L"C:\\WINDOWS\\web\\wallpaper\\Autumn.bmp", L"C:\\Documents and Settings\\HVUSER\\wp.bmp",
        L"C:\\Documents and Settings\\hvuser\\" +
            std::wstring(130 - 33, L'x'), // 131 characters with the terminator
    };
    for (const std::wstring& wallpaper : cases) {
        MountedHive hive;
        ASSERT_NO_FATAL_FAILURE(hive.Mount(LegacyHive(wallpaper)));
        ResetLegacyWallpaper(hive.name(), User, false);
        EXPECT_EQ(wallpaper, DesktopValue(hive, L"Wallpaper"));
        EXPECT_EQ(L"C:\\Documents and Settings\\hvuser\\conv.bmp", DesktopValue(hive, L"ConvertedWallpaper"));
    }
    // One character less fits the 260 bytes and is reset.
    MountedHive hive;
    ASSERT_NO_FATAL_FAILURE(
        hive.Mount(LegacyHive(L"C:\\Documents and Settings\\hvuser\\" + std::wstring(129 - 33, L'x'))));
    ResetLegacyWallpaper(hive.name(), User, true);
    StoredValue none = ReadStored(HKEY_USERS, hive.Key(Desktop), L"Wallpaper");
    EXPECT_EQ(L"(None)", none.text);
    EXPECT_EQ(14u, none.bytes);
    EXPECT_EQ(REG_SZ, none.type);
    // Windows 2000 touches nothing but "Wallpaper".
    EXPECT_EQ(L"C:\\Documents and Settings\\hvuser\\conv.bmp", DesktopValue(hive, L"ConvertedWallpaper"));
    EXPECT_EQ(L"C:\\Documents and Settings\\hvuser\\orig.bmp", DesktopValue(hive, L"OriginalWallpaper"));
}

// Windows XP: the Bliss wallpaper (70 bytes), "ConvertedWallpaper" gone, "OriginalWallpaper" the
// terminator alone (2 bytes).
TEST(LegacyWallpaper, WindowsXpGetsBlissWithExactSizes) {
    MountedHive hive;
    ASSERT_NO_FATAL_FAILURE(
        hive.Mount(LegacyHive(L"C:\\Documents and Settings\\hvuser\\My Pictures\\a.bmp")));
    ResetLegacyWallpaper(hive.name(), User, false);
    StoredValue wallpaper = ReadStored(HKEY_USERS, hive.Key(Desktop), L"Wallpaper");
    EXPECT_EQ(L"C:\\WINDOWS\\web\\wallpaper\\Bliss.bmp", wallpaper.text);
    EXPECT_EQ(70u, wallpaper.bytes);
    EXPECT_EQ(REG_SZ, wallpaper.type);
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, ReadStored(HKEY_USERS, hive.Key(Desktop), L"ConvertedWallpaper").status);
    StoredValue original = ReadStored(HKEY_USERS, hive.Key(Desktop), L"OriginalWallpaper");
    EXPECT_EQ(ERROR_SUCCESS, original.status);
    EXPECT_EQ(L"", original.text);
    EXPECT_EQ(2u, original.bytes);
    EXPECT_EQ(REG_SZ, original.type);
}

} // namespace
