// The copy progress behind the console title: what is counted, how often a title is made, and how
// it reads. The console call itself is replaced by a sink the test reads.
#include "harness/testlib.h"
#include "profile/progress.h"
#include "base/tree.h"

#include <gtest/gtest.h>

using namespace corvane_test;

namespace {

DWORD Now = 0;
DWORD WINAPI FakeClock() {
    return Now;
}

void Collect(const wchar_t* title, void* context) {
    static_cast<std::vector<std::wstring>*>(context)->push_back(title);
}

class Progress : public ::testing::Test {
  protected:
    void SetUp() override {
        Now = 1000;
        InitCopyProgress(&progress_, Collect, &titles_);
        progress_.clock = FakeClock;
        InstallCopyProgress(&progress_);
    }
    void TearDown() override { InstallCopyProgress(nullptr); }
    std::wstring Title() {
        wchar_t title[400];
        FormatProgressTitle(progress_, title, 400);
        return title;
    }
    CopyProgress progress_;
    std::vector<std::wstring> titles_;
};

TEST_F(Progress, ANewFolderIsShownAtOnceAndFilesAtMostFourTimesASecond) {
    ProgressFolder(L"Documents");
    ASSERT_EQ(1u, titles_.size());
    EXPECT_EQ(L"Corvane - copying Documents: 0 files, 0 bytes", titles_[0]);
    for (int i = 0; i < 1000; ++i) {
        ProgressFileCopied(100);
        if (i % 10 == 9) Now += 10; // a thousand files in one second of clock
    }
    // The files span 990 ms of clock: a title at 250, 500 and 750 ms after the folder's own.
    EXPECT_EQ(4u, titles_.size());
    EXPECT_EQ(1000u, progress_.files);
    EXPECT_EQ(100000u, progress_.bytes);
    ProgressFolder(L"AppData\\Roaming");
    EXPECT_EQ(5u, titles_.size());
    EXPECT_EQ(L"Corvane - copying AppData\\Roaming: 1,000 files, 97.7 KB", titles_.back())
        << "the counts run on over all folders";
}

TEST_F(Progress, ClockWrapStillShows) {
    Now = 0xFFFFFF00;
    ProgressFolder(L"Desktop");
    Now = 0x00000100; // 512 ms later, past the wrap
    ProgressFileCopied(1);
    EXPECT_EQ(2u, titles_.size());
    EXPECT_EQ(L"Corvane - copying Desktop: 1 file, 1 bytes", titles_.back());
}

TEST_F(Progress, TitleText) {
    wcscpy(progress_.folder, L"Documents");
    struct Case {
        ULONGLONG files, bytes;
        const wchar_t* text;
    } cases[] = {
        {12345, 1288490189ULL, L"Corvane - copying Documents: 12,345 files, 1.2 GB"},
        {999, 1023, L"Corvane - copying Documents: 999 files, 1023 bytes"},
        {1000, 1024, L"Corvane - copying Documents: 1,000 files, 1.0 KB"},
        {1234567, 1048575, L"Corvane - copying Documents: 1,234,567 files, 1.0 MB"},
        {100000, 5ULL << 40, L"Corvane - copying Documents: 100,000 files, 5.0 TB"},
    };
    for (const Case& c : cases) {
        progress_.files = c.files;
        progress_.bytes = c.bytes;
        EXPECT_EQ(c.text, Title());
    }
}

// The copies report every file they copy, with its size, to the installed record.
TEST_F(Progress, CopyTreeCountsEveryCopiedFileAndItsBytes) {
    std::wstring root = L"C:\\corvane-scratch\\progress";
    DeleteTestTree(root);
    MakeDirs(root + L"\\from\\a\\b");
    WriteFileBytes(root + L"\\from\\one.txt", std::string(10, 'x'));
    WriteFileBytes(root + L"\\from\\a\\two.txt", std::string(2000, 'y'));
    WriteFileBytes(root + L"\\from\\a\\b\\three.txt", std::string(70000, 'z'));
    ProgressFolder(L"from");
    EXPECT_EQ(0u, CopyTree((root + L"\\from").c_str(), (root + L"\\to").c_str()));
    EXPECT_EQ(3u, progress_.files);
    EXPECT_EQ(72010u, progress_.bytes);
    DeleteTestTree(root);
}

} // namespace
