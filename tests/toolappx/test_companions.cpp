// The companion writers and the updater's version test, on programs of chosen versions. This test
// program carries small stand-in payloads as resources 102 to 104 (payloads.rc).
#include "appx/appx.h"
#include "harness/testlib.h"

#include <gtest/gtest.h>
#include <shlobj.h>

using namespace corvane_test;

namespace {

std::wstring Versioned(const std::wstring& name) {
    return L"C:\\corvane-tests\\toolappx_" + name + L".exe";
}

std::string Payload(WORD id) {
    HRSRC found = FindResourceExW(nullptr, L"BINARY", MAKEINTRESOURCEW(id),
                                  MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_UK));
    if (!found) return "";
    const char* data = static_cast<const char*>(LockResource(LoadResource(nullptr, found)));
    return std::string(data, SizeofResource(nullptr, found));
}

std::wstring Folder(int csidl) {
    wchar_t path[MAX_PATH];
    SHGetFolderPathW(nullptr, csidl, nullptr, SHGFP_TYPE_CURRENT, path);
    return path;
}

TEST(FileVersion, FieldsOfAVersionBlock) {
    CFileVersionInfo info;
    EXPECT_FALSE(info.Valid());
    EXPECT_FALSE(info.LoadFromFile(nullptr));
    ASSERT_TRUE(info.LoadFromFile(Versioned(L"v2_11_1_999").c_str()));
    EXPECT_TRUE(info.Valid());
    EXPECT_EQ(0xFEEF04BDu, info.Fixed().dwSignature);
    EXPECT_EQ(2, info.FileMajor());
    EXPECT_EQ(11, info.FileMinor());
    EXPECT_EQ(1, info.FileBuild());
    EXPECT_EQ(999, info.FileRevision());
    ASSERT_EQ(1u, info.TranslationCount());
    EXPECT_EQ(0x0809u, LOWORD(info.Translations()[0]));
    EXPECT_EQ(0x04B0u, HIWORD(info.Translations()[0]));
    // A null path changes nothing; Reset clears everything.
    EXPECT_FALSE(info.LoadFromFile(nullptr));
    EXPECT_TRUE(info.Valid());
    info.Reset();
    EXPECT_FALSE(info.Valid());
    EXPECT_EQ(0u, info.TranslationCount());
    EXPECT_EQ(nullptr, info.Translations());
    EXPECT_EQ(0u, info.Fixed().dwSignature);
    // Failures leave the object reset.
    ASSERT_TRUE(info.LoadFromFile(Versioned(L"v3_0_0_0").c_str()));
    EXPECT_FALSE(info.LoadFromFile(Versioned(L"noversion").c_str()));
    EXPECT_FALSE(info.Valid());
    EXPECT_FALSE(info.LoadFromFile(Versioned(L"notranslation").c_str()));
    EXPECT_EQ(0u, info.FileMajor());
}

TEST(FileVersion, UpdaterThresholdIsTwoElevenTwoWhateverTheRevision) {
    EXPECT_FALSE(IsUpdaterCurrent(Versioned(L"v2_11_1_999").c_str()));
    EXPECT_FALSE(IsUpdaterCurrent(Versioned(L"v2_10_9_9").c_str()));
    EXPECT_FALSE(IsUpdaterCurrent(Versioned(L"v1_99_99_0").c_str()));
    EXPECT_TRUE(IsUpdaterCurrent(Versioned(L"v2_11_2_0").c_str()));
    EXPECT_TRUE(IsUpdaterCurrent(Versioned(L"v2_12_0_0").c_str()));
    EXPECT_TRUE(IsUpdaterCurrent(Versioned(L"v3_0_0_0").c_str()));
    EXPECT_FALSE(IsUpdaterCurrent(Versioned(L"noversion").c_str()));
    EXPECT_FALSE(IsUpdaterCurrent(Versioned(L"notranslation").c_str()));
    EXPECT_FALSE(IsUpdaterCurrent(L"C:\\corvane-tests\\no-such-updater.exe"));
}

class UpdaterFiles : public ::testing::Test {
  protected:
    void SetUp() override {
        updater_ = Folder(CSIDL_WINDOWS) + L"\\kelvo2.exe";
        library_ = Folder(CSIDL_WINDOWS) + L"\\kelvohlp.dll";
        DeleteFileW(updater_.c_str());
        DeleteFileW(library_.c_str());
    }
    void TearDown() override {
        DeleteFileW(updater_.c_str());
        DeleteFileW(library_.c_str());
    }
    void Place(const std::wstring& version) {
        ASSERT_TRUE(CopyFileW(Versioned(version).c_str(), updater_.c_str(), FALSE));
    }
    std::wstring updater_, library_;
};

TEST_F(UpdaterFiles, MissingUpdaterIsWrittenWithTheLibrary) {
    ASSERT_FALSE(Payload(102).empty());
    EXPECT_EQ(0u, InstallUpdaterFiles());
    EXPECT_EQ(Payload(102), ReadFileBytes(updater_));
    EXPECT_EQ(Payload(104), ReadFileBytes(library_));
}

TEST_F(UpdaterFiles, OlderOrUnversionedUpdaterIsReplaced) {
    for (const wchar_t* version :
         {L"v2_11_1_999", L"v2_10_9_9", L"v1_99_99_0", L"noversion", L"notranslation"}) {
        SCOPED_TRACE(Narrow(version));
        Place(version);
        DeleteFileW(library_.c_str());
        EXPECT_EQ(0u, InstallUpdaterFiles());
        EXPECT_EQ(Payload(102), ReadFileBytes(updater_));
        EXPECT_EQ(Payload(104), ReadFileBytes(library_));
    }
}

TEST_F(UpdaterFiles, CurrentUpdaterIsKeptAndTheLibraryNotWritten) {
    for (const wchar_t* version : {L"v2_11_2_0", L"v2_12_0_0", L"v3_0_0_0"}) {
        SCOPED_TRACE(Narrow(version));
        Place(version);
        EXPECT_EQ(0u, InstallUpdaterFiles());
        EXPECT_EQ(ReadFileBytes(Versioned(version)), ReadFileBytes(updater_));
        EXPECT_FALSE(FileExists(library_));
    }
}

TEST_F(UpdaterFiles, UpdaterInUseReportsTheSharingViolation) {
    Place(L"v2_11_1_999");
    HeldFile held(updater_);
    ASSERT_TRUE(held.ok());
    EXPECT_EQ(32u, InstallUpdaterFiles());
}

TEST(ServiceProgram, WrittenUnderProgramFilesAndAlwaysReplaced) {
    std::wstring folder = Folder(CSIDL_PROGRAM_FILES) + L"\\Quillmar\\AppX Management Service";
    std::wstring program = folder + L"\\QuillmarAppxService.exe";
    EXPECT_EQ(0u, InstallServiceProgram());
    EXPECT_EQ(Payload(103), ReadFileBytes(program));
    WriteFileBytes(program,
                   "an older program, longer than the payload to show that nothing of it stays behind");
    EXPECT_EQ(0u, InstallServiceProgram());
    EXPECT_EQ(Payload(103), ReadFileBytes(program));
    {
        HeldFile held(program);
        ASSERT_TRUE(held.ok());
        EXPECT_EQ(32u, InstallServiceProgram());
    }
    DeleteFileW(program.c_str());
    RemoveDirectoryW(folder.c_str());
    RemoveDirectoryW((Folder(CSIDL_PROGRAM_FILES) + L"\\Quillmar").c_str());
}

TEST(TileLibrary, WrittenWhereToldOrTheCreateError) {
    CreateDirectoryW(L"C:\\corvane-scratch", nullptr);
    std::wstring target = L"C:\\corvane-scratch\\kelvohlp.dll";
    EXPECT_EQ(0u, WriteTileDataLibrary(target.c_str()));
    EXPECT_EQ(Payload(104), ReadFileBytes(target));
    DeleteFileW(target.c_str());
    EXPECT_EQ(3u, WriteTileDataLibrary(L"C:\\corvane-scratch\\no-such-folder\\kelvohlp.dll"));
}

} // namespace
