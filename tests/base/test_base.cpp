// The small helpers the tool and the companions share: string SIDs, the running identity's SID,
// file tests, the profile list walk, the copy's progress hooks and the kept worker threads.
#include "base/files.h"
#include "base/profiles.h"
#include "base/raii.h"
#include "base/registry.h"
#include "base/sids.h"
#include "base/tree.h"
#include "base/workers.h"

#include <gtest/gtest.h>
#include <sddl.h>
#include <string>
#include <wchar.h>

namespace {

std::wstring ProcessSidText() {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return L"";
    UniqueHandle owner(token);
    BYTE buffer[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    DWORD size = 0;
    if (!GetTokenInformation(token, TokenUser, buffer, sizeof buffer, &size)) return L"";
    wchar_t* text = nullptr;
    if (!ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid, &text)) return L"";
    UniqueLocal textOwner(text);
    return text;
}

// A scratch folder of the test's own, below the prefix's temporary folder; removed at the end.
struct ScratchFolder {
    std::wstring path;
    ScratchFolder() {
        wchar_t temp[MAX_PATH];
        GetTempPathW(MAX_PATH, temp);
        path = std::wstring(temp) + L"corvane-base-" + std::to_wstring(GetCurrentProcessId());
        CreateDirectoryW(path.c_str(), nullptr);
    }
    ~ScratchFolder() { DeleteTree(path.c_str(), false); }
};

void PutFile(const std::wstring& path, const char* text) {
    UniqueFile file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    ASSERT_TRUE(file) << "error " << GetLastError();
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(file.get(), text, static_cast<DWORD>(strlen(text)), &written, nullptr));
}

} // namespace

TEST(StringSid, AcceptsWhatTheSystemConverts) {
    EXPECT_TRUE(IsStringSid(L"S-1-5-18"));
    EXPECT_TRUE(IsStringSid(L"S-1-5-21-1004336348-1177238915-682003330-1000"));
    EXPECT_TRUE(IsStringSid(ProcessSidText().c_str()));
}

TEST(StringSid, RefusesEmptyGarbageSeparatorsAndOverlongText) {
    EXPECT_FALSE(IsStringSid(nullptr));
    EXPECT_FALSE(IsStringSid(L""));
    EXPECT_FALSE(IsStringSid(L"hello"));
    EXPECT_FALSE(IsStringSid(L"S-"));
    // A SID names keys and folders: a separator must never get past, whatever the converter thinks.
    EXPECT_FALSE(IsStringSid(L"S-1-5-18\\..\\S-1-5-19"));
    EXPECT_FALSE(IsStringSid(L"S-1-5-18/.."));
    EXPECT_FALSE(IsStringSid(L"\\S-1-5-18"));
    // 185 characters: longer than any string SID can be.
    std::wstring longest = L"S-1-5";
    while (longest.size() + 11 <= MaxSidChars + 1)
        longest += L"-4294967295";
    while (longest.size() <= MaxSidChars)
        longest += L"1";
    ASSERT_EQ(MaxSidChars + 1, longest.size());
    EXPECT_FALSE(IsStringSid(longest.c_str()));
}

TEST(SidText, CurrentUserIsTheProcessUserAlsoWhileImpersonatingSelf) {
    std::wstring expected = ProcessSidText();
    ASSERT_FALSE(expected.empty());
    wchar_t* text = reinterpret_cast<wchar_t*>(0xbd); // sentinel: must be replaced
    ASSERT_EQ(0u, CurrentUserSidText(&text));
    UniqueLocal owner(text);
    EXPECT_EQ(expected, text);

    ASSERT_TRUE(ImpersonateSelf(SecurityImpersonation));
    wchar_t* impersonated = nullptr;
    DWORD code = CurrentUserSidText(&impersonated);
    RevertToSelf();
    UniqueLocal impersonatedOwner(impersonated);
    ASSERT_EQ(0u, code);
    EXPECT_EQ(expected, impersonated);
}

TEST(SidText, ABadTokenGivesTheCodeAndNoText) {
    wchar_t* text = reinterpret_cast<wchar_t*>(0xbd);
    EXPECT_NE(0u, TokenUserSidText(nullptr, &text));
    EXPECT_EQ(nullptr, text);
}

TEST(DotNames, OnlyDotAndDotDot) {
    EXPECT_TRUE(IsDotName(L"."));
    EXPECT_TRUE(IsDotName(L".."));
    EXPECT_FALSE(IsDotName(L""));
    EXPECT_FALSE(IsDotName(L"..."));
    EXPECT_FALSE(IsDotName(L".a"));
    EXPECT_FALSE(IsDotName(L"..a"));
    EXPECT_FALSE(IsDotName(L"a."));
    EXPECT_FALSE(IsDotName(L".profile"));
}

TEST(Existence, FilesAndFoldersAreToldApart) {
    ScratchFolder scratch;
    std::wstring file = scratch.path + L"\\file.txt", missing = scratch.path + L"\\missing";
    PutFile(file, "x");
    EXPECT_TRUE(FileExists(file.c_str()));
    EXPECT_FALSE(FolderExists(file.c_str()));
    EXPECT_TRUE(FolderExists(scratch.path.c_str()));
    EXPECT_FALSE(FileExists(scratch.path.c_str()));
    EXPECT_FALSE(FileExists(missing.c_str()));
    EXPECT_FALSE(FolderExists(missing.c_str()));
}

namespace {

bool SameIgnoringCase(const wchar_t* a, const wchar_t* b) {
    return _wcsicmp(a, b) == 0;
}

// A profile list of the test's own below HKCU, removed at the end.
struct SandboxList {
    const wchar_t* name = L"Software\\CorvaneTest\\BaseProfileList";
    UniqueKey key;
    SandboxList() {
        RegDeleteTreeW(HKEY_CURRENT_USER, name);
        RegCreateKeyExW(HKEY_CURRENT_USER, name, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, key.put(), nullptr);
    }
    ~SandboxList() {
        key.reset();
        RegDeleteTreeW(HKEY_CURRENT_USER, name);
    }
    void Add(const wchar_t* sid, const std::wstring& path, DWORD type = REG_EXPAND_SZ) {
        UniqueKey entry;
        ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(key.get(), sid, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                                 entry.put(), nullptr));
        ASSERT_EQ(ERROR_SUCCESS, RegSetValueExW(entry.get(), L"ProfileImagePath", 0, type,
                                                reinterpret_cast<const BYTE*>(path.c_str()),
                                                static_cast<DWORD>((path.size() + 1) * sizeof(wchar_t))));
    }
};

} // namespace

TEST(ProfileList, FindsTheOwnerOfAPathExpandedAndIgnoringCase) {
    SandboxList list;
    ASSERT_TRUE(list.key);
    list.Add(L"S-1-5-21-9-9-9-1001", L"%SystemDrive%\\Users\\Alice");
    list.Add(L"S-1-5-21-9-9-9-1002", L"C:\\Users\\Bob", REG_SZ);
    wchar_t drive[8] = {};
    ASSERT_NE(0u, GetEnvironmentVariableW(L"SystemDrive", drive, 8));
    wchar_t sid[256];
    ASSERT_TRUE(FindProfileSid(list.key.get(), (std::wstring(drive) + L"\\users\\ALICE").c_str(), sid,
                               SameIgnoringCase));
    EXPECT_STREQ(L"S-1-5-21-9-9-9-1001", sid);
    ASSERT_TRUE(FindProfileSid(list.key.get(), L"c:\\users\\bob", sid, SameIgnoringCase));
    EXPECT_STREQ(L"S-1-5-21-9-9-9-1002", sid);
}

TEST(ProfileList, AnUnknownOrPartialPathFindsNoOneAndLeavesTheBuffer) {
    SandboxList list;
    ASSERT_TRUE(list.key);
    list.Add(L"S-1-5-21-9-9-9-1001", L"C:\\Users\\Alice");
    wchar_t sid[256] = L"untouched";
    EXPECT_FALSE(FindProfileSid(list.key.get(), L"C:\\Users\\Carol", sid, SameIgnoringCase));
    EXPECT_FALSE(FindProfileSid(list.key.get(), L"C:\\Users\\Alic", sid, SameIgnoringCase));
    EXPECT_FALSE(FindProfileSid(list.key.get(), L"C:\\Users\\Alice\\", sid, SameIgnoringCase));
    EXPECT_STREQ(L"untouched", sid);
}

TEST(ProfileList, AValueThatDoesNotFitNeverMatchesItsCutShortForm) {
    SandboxList list;
    ASSERT_TRUE(list.key);
    std::wstring longPath = L"C:\\" + std::wstring(257, L'a'); // 260 characters, no room for the end
    list.Add(L"S-1-5-21-9-9-9-1003", longPath, REG_SZ);
    wchar_t sid[256] = L"untouched";
    EXPECT_FALSE(FindProfileSid(list.key.get(), longPath.substr(0, 259).c_str(), sid, SameIgnoringCase));
    EXPECT_FALSE(FindProfileSid(list.key.get(), longPath.c_str(), sid, SameIgnoringCase));
    EXPECT_STREQ(L"untouched", sid);
}

TEST(SubKeys, TheWalkEndsAtTheEndAndOnAClosedKey) {
    SandboxList list;
    ASSERT_TRUE(list.key);
    list.Add(L"A", L"x");
    list.Add(L"B", L"y");
    wchar_t name[256];
    bool skip = true;
    DWORD seen = 0;
    for (DWORD index = 0; NextSubKey(list.key.get(), index, name, 256, &skip); ++index)
        if (!skip) ++seen;
    EXPECT_EQ(2u, seen);
    // A name longer than the room is skipped, and the walk goes on past it.
    ASSERT_TRUE(NextSubKey(list.key.get(), 0, name, 1, &skip));
    EXPECT_TRUE(skip);
    // An error other than the end ends the walk (it would repeat at every index).
    EXPECT_FALSE(NextSubKey(reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(0x7654320)), 0, name, 256, &skip));
}

namespace {
ULONGLONG HookFiles = 0, HookBytes = 0;
void OneCopied(ULONGLONG bytes) {
    ++HookFiles;
    HookBytes += bytes;
}
void SeveralCopied(ULONGLONG files, ULONGLONG bytes) {
    HookFiles += files;
    HookBytes += bytes;
}
} // namespace

TEST(TreeProgressHooks, EveryCopiedFileReachesTheHooksOnceAndNoneWithoutThem) {
    ScratchFolder scratch;
    std::wstring source = scratch.path + L"\\from", destination = scratch.path + L"\\to";
    CreateDirectoryW(source.c_str(), nullptr);
    CreateDirectoryW((source + L"\\sub").c_str(), nullptr);
    PutFile(source + L"\\a.txt", "12345");
    PutFile(source + L"\\sub\\b.txt", "123");
    PutFile(source + L"\\sub\\c.txt", "");

    HookFiles = HookBytes = 0;
    TreeFileCopiedHook = OneCopied;
    TreeFilesCopiedHook = SeveralCopied;
    DWORD code = CopyTree(source.c_str(), destination.c_str());
    TreeFileCopiedHook = nullptr;
    TreeFilesCopiedHook = nullptr;
    ASSERT_EQ(0u, code);
    EXPECT_EQ(3u, HookFiles);
    EXPECT_EQ(8u, HookBytes);

    HookFiles = HookBytes = 0;
    ASSERT_EQ(0u, CopyTree(source.c_str(), (scratch.path + L"\\again").c_str()));
    EXPECT_EQ(0u, HookFiles) << "no hook set: nothing is reported";
}

TEST(Owners, HeapAndGuardedBlocksAreReleasedAndEmptyOnFailure) {
    UniqueHeap heap(HeapAlloc(GetProcessHeap(), 0, 16));
    EXPECT_TRUE(heap);
    heap.reset();
    EXPECT_FALSE(heap);
    UniqueGuarded guarded(GuardedAlloc(16));
    ASSERT_TRUE(guarded);
    void* block = guarded.release();
    EXPECT_TRUE(GuardedHeapFree(GetProcessHeap(), block)) << "the guards were intact and the block freed";
    UniqueGuarded none(GuardedAllocChars(static_cast<SIZE_T>(-1)));
    EXPECT_FALSE(none);
}

namespace {

// Tasks that wait until all of a round are running at the same time: tasks sharing a thread would
// run one after another, and the first would give up waiting.
struct Round {
    volatile LONG arrived;
    volatile LONG met; // tasks that saw the whole round running
    HANDLE all;        // manual-reset: every task of the round runs
    DWORD threadIds[3];
};

DWORD WINAPI MeetTheOthers(void* context) {
    Round& round = *static_cast<Round*>(context);
    LONG mine = InterlockedIncrement(&round.arrived) - 1;
    round.threadIds[mine] = GetCurrentThreadId();
    if (mine == 2) SetEvent(round.all);
    if (WaitForSingleObject(round.all, 10000) == WAIT_OBJECT_0) InterlockedIncrement(&round.met);
    return 0;
}

// Runs three tasks at once on lent threads; false if one could not be lent or they never met.
bool RunRound(Round& round) {
    round.arrived = round.met = 0;
    round.all = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    UniqueHandle owner(round.all);
    WorkerLease leases[3];
    int lent = 0;
    while (lent < 3 && LendWorker(MeetTheOthers, &round, &leases[lent]))
        ++lent;
    for (int i = 0; i < lent; ++i)
        AwaitWorker(leases[i]);
    return lent == 3 && round.met == 3;
}

} // namespace

TEST(Workers, TasksRunTogetherAndALaterStepReusesTheSameThreads) {
    Round first = {}, second = {};
    ASSERT_TRUE(RunRound(first)) << "three tasks ran at once";
    unsigned started = WorkersStarted();
    EXPECT_GE(started, 3u);
    ASSERT_TRUE(RunRound(second));
    EXPECT_EQ(started, WorkersStarted()) << "idle kept threads were lent again, none started";
    for (int i = 0; i < 3; ++i) {
        DWORD id = second.threadIds[i];
        EXPECT_NE(GetCurrentThreadId(), id);
        EXPECT_TRUE(id == first.threadIds[0] || id == first.threadIds[1] || id == first.threadIds[2]);
    }
}

TEST(Workers, EachCopyOfAFolderLendsTheKeptThreadsRatherThanStartingItsOwn) {
    ScratchFolder scratch;
    std::wstring source = scratch.path + L"\\from";
    CreateDirectoryW(source.c_str(), nullptr);
    for (int i = 0; i < 40; ++i)
        PutFile(source + L"\\f" + std::to_wstring(i) + L".txt", "content");
    SetEnvironmentVariableW(L"CORVANE_COPY_THREADS", L"3");
    ASSERT_EQ(0u, CopyTree(source.c_str(), (scratch.path + L"\\one").c_str()));
    unsigned started = WorkersStarted();
    EXPECT_GE(started, 2u) << "the copy on three threads was lent two";
    for (int copy = 0; copy < 3; ++copy)
        ASSERT_EQ(0u, CopyTree(source.c_str(), (scratch.path + L"\\again" + std::to_wstring(copy)).c_str()));
    SetEnvironmentVariableW(L"CORVANE_COPY_THREADS", nullptr);
    EXPECT_EQ(started, WorkersStarted()) << "a run pays for each thread once, not once per folder";
    WIN32_FILE_ATTRIBUTE_DATA facts;
    EXPECT_TRUE(
        GetFileAttributesExW((scratch.path + L"\\again2\\f39.txt").c_str(), GetFileExInfoStandard, &facts));
}
