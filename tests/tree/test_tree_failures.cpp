// Copy failures of the tree copy that Wine produces as Windows does, so that the result rules run
// here too: a source file held open without sharing (32), and a sub-folder that is gone by the time
// the walk lists it (2, a folder that cannot be listed). A folder held without sharing, the other way
// to make a folder unlistable, is still listed under Wine (see test_tree.cpp).
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "base/raii.h"
#include "harness/testlib.h"
#include "tree/treefixture.h"
#include "base/tree.h"

using namespace corvane_test;

namespace {

// The names of a folder's entries in the order the file system lists them (the walk's order).
std::vector<std::wstring> ListingOrder(const std::wstring& folder) {
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW fd;
    UniqueFind find(FindFirstFileW((folder + L"\\*").c_str(), &fd));
    if (!find) return names;
    do {
        std::wstring name = fd.cFileName;
        if (name != L"." && name != L"..") names.push_back(name);
    } while (FindNextFileW(find.get(), &fd));
    return names;
}

// While it lives, the copy's listing removes every empty folder whose name begins with "gone" the
// moment it lists it, before the walk enters it: a folder deleted during the copy.
std::wstring vanishParent;
std::set<std::wstring> vanished;
BOOL WINAPI VanishingListing(HANDLE find, LPWIN32_FIND_DATAW entry) {
    if (!FindNextFileW(find, entry)) return FALSE;
    std::wstring name = entry->cFileName;
    if ((entry->dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && name.compare(0, 4, L"gone") == 0 &&
        RemoveDirectoryW((vanishParent + L"\\" + name).c_str()))
        vanished.insert(name);
    SetLastError(0);
    return TRUE;
}
class VanishingFolders {
  public:
    explicit VanishingFolders(const std::wstring& parent) {
        vanishParent = parent;
        vanished.clear();
        TreeFindNextFile = VanishingListing;
    }
    ~VanishingFolders() { TreeFindNextFile = FindNextFileW; }
};

// Sets the copying-thread count for one scope.
class CopyThreads {
  public:
    explicit CopyThreads(const wchar_t* value) { SetEnvironmentVariableW(L"CORVANE_COPY_THREADS", value); }
    ~CopyThreads() { SetEnvironmentVariableW(L"CORVANE_COPY_THREADS", nullptr); }
};

const wchar_t* const ThreadCounts[] = {L"1", L"4"};

class TreeFailures : public TreeScratch {
  protected:
    TreeFailures() : TreeScratch(L"treefail") {}
    void TearDown() override {
        TreeFindNextFile = FindNextFileW;
        TreeScratch::TearDown();
    }
    // Opened without sharing: the copy's own open of it fails with 32 for as long as it is held.
    UniqueFile Hold(const std::wstring& relative) {
        return UniqueFile(CreateFileW(Path(relative).c_str(), GENERIC_READ, 0 /* no sharing */, nullptr,
                                      OPEN_EXISTING, 0, nullptr));
    }
};

// A sub-folder that cannot be listed adds 2 and the walk goes on with its siblings, on one thread or
// several.
TEST_F(TreeFailures, FolderGoneBeforeItIsListedGives2AndTheRestIsCopied) {
    for (const wchar_t* threads : ThreadCounts) {
        SCOPED_TRACE(Narrow(threads) + " copying threads");
        std::wstring src = L"src-" + std::wstring(threads), dst = L"dst-" + std::wstring(threads);
        File(src + L"\\a.txt", "a");
        File(src + L"\\z.txt", "z");
        File(src + L"\\sub\\b.txt", "b");
        MakeDirs(Path(src + L"\\gone"));
        DWORD result;
        {
            CopyThreads count(threads);
            VanishingFolders vanishing(Path(src));
            result = CopyTree(Path(src).c_str(), Path(dst).c_str());
        }
        ASSERT_EQ(1u, vanished.count(L"gone")) << "the listing never showed the folder";
        EXPECT_EQ(2u, result);
        EXPECT_EQ("a", ReadFileBytes(Path(dst + L"\\a.txt")));
        EXPECT_EQ("z", ReadFileBytes(Path(dst + L"\\z.txt")));
        EXPECT_EQ("b", ReadFileBytes(Path(dst + L"\\sub\\b.txt")));
    }
}

// The source itself gone: 2 and nothing is made at the destination.
TEST_F(TreeFailures, SourceThatCannotBeListedGives2AndMakesNothing) {
    EXPECT_EQ(2u, CopyTree(Path(L"missing").c_str(), Path(L"dst").c_str()));
    EXPECT_FALSE(DirExists(Path(L"dst")));
}

// Two failures in one folder, a file held open (32) and a folder gone before it is listed (2): the
// copy's result is the one met last in listing order, and a copy that stops at its first failure
// gives the one met first, whichever copying thread met it. The file system's listing order decides
// which is which, so several pairs are made until both orders were seen.
TEST_F(TreeFailures, LastFailureInListingOrderWinsAndStopAtFailureGivesTheFirst) {
    std::set<DWORD> lastSeen;
    for (int pair = 0; pair < 12; ++pair) {
        std::wstring src = L"src" + std::to_wstring(pair);
        // Names on either side of "gone" and both creation orders: whether the file system lists by
        // name, by creation or by hash, both orders come up.
        std::wstring held = (pair % 4 < 2 ? L"a-held" : L"z-held") + std::to_wstring(pair) + L".txt";
        std::wstring gone = L"gone" + std::to_wstring(pair);
        if (pair % 2) {
            File(src + L"\\" + held, "held");
            MakeDirs(Path(src + L"\\" + gone));
        } else {
            MakeDirs(Path(src + L"\\" + gone));
            File(src + L"\\" + held, "held");
        }
        File(src + L"\\ok.txt", "ok");
        std::vector<std::wstring> order = ListingOrder(Path(src));
        ASSERT_EQ(3u, order.size());
        bool heldLast =
            std::find(order.begin(), order.end(), held) > std::find(order.begin(), order.end(), gone);
        DWORD last = heldLast ? ERROR_SHARING_VIOLATION : ERROR_FILE_NOT_FOUND;
        DWORD first = heldLast ? ERROR_FILE_NOT_FOUND : ERROR_SHARING_VIOLATION;
        lastSeen.insert(last);

        for (const wchar_t* threads : ThreadCounts) {
            SCOPED_TRACE(Narrow(src + L", " + threads + L" copying threads"));
            for (bool stopAtFailure : {false, true}) {
                MakeDirs(Path(src + L"\\" + gone)); // made again for each copy
                std::wstring dst = src + L"-" + threads + (stopAtFailure ? L"-stop" : L"-all");
                UniqueFile hold = Hold(src + L"\\" + held);
                ASSERT_TRUE(hold);
                DWORD result;
                {
                    CopyThreads count(threads);
                    VanishingFolders vanishing(Path(src));
                    result = CopyProfileFolder(root_.c_str(), Path(src).c_str(), root_.c_str(),
                                               Path(dst).c_str(), nullptr, stopAtFailure);
                }
                ASSERT_EQ(1u, vanished.count(gone)) << "the listing never showed the folder";
                EXPECT_EQ(stopAtFailure ? first : last, result);
                EXPECT_FALSE(FileExists(Path(dst + L"\\" + held))) << "no partial copy of the held file";
                if (!stopAtFailure) {
                    EXPECT_EQ("ok", ReadFileBytes(Path(dst + L"\\ok.txt")));
                }
            }
        }
        if (lastSeen.size() == 2 && pair >= 1) break;
    }
    EXPECT_EQ(2u, lastSeen.size()) << "the listing order never put the other failure last";
}

} // namespace
