// The hand-off between the walking thread and the copying threads, and the copy loop's ends: a walk
// with fewer files than wake a sleeping thread, a queue that fills and holds the walk back, and files
// whose sizes sit on the copy's read boundaries. Every test works below its own
// C:\corvane-scratch\handoff-<test>-<pid> folder.
#include <gtest/gtest.h>

#include <map>
#include <string>

#include "harness/testlib.h"
#include "tree/treefixture.h"
#include "profile/progress.h"
#include "base/tree.h"

using namespace corvane_test;

namespace {

class Handoff : public TreeScratch {
  protected:
    Handoff() : TreeScratch(L"handoff") {}
    void TearDown() override {
        SetEnvironmentVariableW(L"CORVANE_COPY_THREADS", nullptr);
        TreeScratch::TearDown();
    }

    // Copies src to a new folder with the given thread setting, counting what progress was told.
    DWORD CopyCounted(const wchar_t* threads, const std::wstring& to, CopyProgress* progress) {
        SetEnvironmentVariableW(L"CORVANE_COPY_THREADS", threads);
        InitCopyProgress(progress, nullptr, nullptr);
        InstallCopyProgress(progress);
        DWORD result = CopyTree(Path(L"src").c_str(), Path(to).c_str());
        InstallCopyProgress(nullptr);
        SetEnvironmentVariableW(L"CORVANE_COPY_THREADS", nullptr);
        return result;
    }
};

// Distinct content per file, so a file copied twice or to the wrong name shows.
std::string Content(int i, size_t size) {
    std::string bytes(size, static_cast<char>('a' + i % 26));
    for (size_t at = 0; at < size; at += 97)
        bytes[at] = static_cast<char>('0' + (i + at) % 10);
    return bytes;
}

// Sleeping copying threads are woken by batches; the files of a walk too short to fill one must
// still all be copied (the end of the walk wakes them), in every pool size.
TEST_F(Handoff, WalksShorterThanAWakeBatchCopyEveryFile) {
    const int counts[] = {1, 2, 7, 8, 9, 17};
    const wchar_t* pools[] = {L"2", L"4", L"16"};
    int made = 0;
    ULONGLONG bytes = 0;
    for (int count : counts) {
        for (; made < count; ++made) {
            File(L"src\\f" + std::to_wstring(made), Content(made, 10 + made));
            bytes += 10 + made;
        }
        auto source = Snapshot(Path(L"src"));
        for (const wchar_t* pool : pools) {
            std::wstring to = L"dst-" + std::to_wstring(count) + L"-" + pool;
            CopyProgress progress;
            EXPECT_EQ(0u, CopyCounted(pool, to, &progress)) << to;
            EXPECT_EQ(source, Snapshot(Path(to))) << to;
            EXPECT_EQ(static_cast<ULONGLONG>(count), progress.files) << to;
            EXPECT_EQ(bytes, progress.bytes) << to;
        }
    }
}

// One file per folder, each folder deeper: the walk queues slowly, a file at a time between folder
// listings, and never reaches a batch in one folder.
TEST_F(Handoff, OneFilePerNestedFolderIsCopiedWhole) {
    std::wstring folder = L"src";
    for (int i = 0; i < 20; ++i) {
        folder += L"\\d" + std::to_wstring(i);
        File(folder + L"\\f.txt", Content(i, 50));
    }
    auto source = Snapshot(Path(L"src"));
    CopyProgress progress;
    EXPECT_EQ(0u, CopyCounted(L"4", L"dst", &progress));
    EXPECT_EQ(source, Snapshot(Path(L"dst")));
    EXPECT_EQ(20u, progress.files);
}

// Many more files than the queue holds, in one folder, on the smallest pool: the walk waits for room
// again and again and nothing is lost or copied twice.
TEST_F(Handoff, AFullQueueHoldsTheWalkAndLosesNothing) {
    ULONGLONG bytes = 0;
    for (int i = 0; i < 600; ++i) {
        File(L"src\\file" + std::to_wstring(i), Content(i, static_cast<size_t>(i % 300)));
        bytes += static_cast<ULONGLONG>(i % 300);
    }
    auto source = Snapshot(Path(L"src"));
    const wchar_t* pools[] = {L"2", L"64"};
    for (const wchar_t* pool : pools) {
        std::wstring to = std::wstring(L"dst-") + pool;
        CopyProgress progress;
        EXPECT_EQ(0u, CopyCounted(pool, to, &progress)) << to;
        EXPECT_EQ(source, Snapshot(Path(to))) << to;
        EXPECT_EQ(600u, progress.files) << to;
        EXPECT_EQ(bytes, progress.bytes) << to;
    }
}

// A read shorter than asked for ends a file's copy; sizes on and beside the read size (256 KB) and
// its multiples must come out whole, with their exact byte counts, on one thread and on the pool.
TEST_F(Handoff, SizesAtTheReadBoundariesAreCopiedWhole) {
    const size_t Chunk = 256 * 1024;
    const size_t sizes[] = {0,     1,         4095,      4096,          Chunk - 1,
                            Chunk, Chunk + 1, 2 * Chunk, 2 * Chunk + 1, 3 * Chunk - 1};
    ULONGLONG bytes = 0;
    int i = 0;
    for (size_t size : sizes) {
        File(L"src\\size" + std::to_wstring(size), Content(i++, size));
        bytes += size;
    }
    auto source = Snapshot(Path(L"src"));
    const wchar_t* settings[] = {L"1", L"4"};
    for (const wchar_t* setting : settings) {
        std::wstring to = std::wstring(L"dst-") + setting;
        CopyProgress progress;
        EXPECT_EQ(0u, CopyCounted(setting, to, &progress)) << to;
        EXPECT_EQ(source, Snapshot(Path(to))) << to;
        EXPECT_EQ(static_cast<ULONGLONG>(sizeof sizes / sizeof sizes[0]), progress.files) << to;
        EXPECT_EQ(bytes, progress.bytes) << to;
        for (size_t size : sizes) {
            WIN32_FILE_ATTRIBUTE_DATA data;
            ASSERT_TRUE(GetFileAttributesExW((Path(to) + L"\\size" + std::to_wstring(size)).c_str(),
                                             GetFileExInfoStandard, &data));
            EXPECT_EQ(size, data.nFileSizeLow) << to << " " << size;
        }
    }
}

// The same folder copied again over its first copy: every file is rewritten whole (a shorter read
// end must not leave the old file's longer tail), on the pool.
TEST_F(Handoff, ACopyOverALongerFileLeavesNoTail) {
    File(L"src\\a.txt", "short");
    File(L"dst\\a.txt", std::string(300 * 1024, 'L'));
    CopyProgress progress;
    EXPECT_EQ(0u, CopyCounted(L"4", L"dst", &progress));
    EXPECT_EQ("short", ReadFileBytes(Path(L"dst\\a.txt")));
}

} // namespace
