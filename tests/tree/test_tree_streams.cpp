// A copied file's named data streams (the mark of the web). Wine has no named streams: it lists none
// and BackupRead is a stub there. So these tests put a stand-in for the stream list, BackupRead,
// BackupSeek and BackupWrite in place of the system's, shaped as Windows documents them (a
// WIN32_STREAM_ID header, the stream's name, its data; a context released by a call with bAbort),
// and check what the copy does with them: which streams reach which file, through which handle, in
// what order with the copy's time, and what a stream that cannot be read does to the copy.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "base/raii.h"
#include "base/tree.h"
#include "harness/testlib.h"
#include "tree/treefixture.h"

using namespace corvane_test;

namespace {

struct Stream {
    DWORD id;
    std::wstring name; // ":name:$DATA", empty for the main data
    std::string data;
};

// What the stand-ins serve and what they saw, shared by every copying thread.
struct StreamWorld {
    CRITICAL_SECTION lock;
    // By file name (the last part of the path): the streams after the main data.
    std::map<std::wstring, std::vector<Stream>> sources;
    // By the written handle's file name: the streams written to it, header and data as received.
    std::map<std::wstring, std::vector<Stream>> written;
    int liveContexts = 0;
    int reads = 0;
    DWORD failReadAfter = 0; // bytes served before BackupRead fails (0: never)
    bool shortSeek = false;  // BackupSeek stops one byte short
    DWORD oversizedName = 0; // a header naming a name of this many bytes
} world;

std::wstring FileNameOf(HANDLE handle) {
    // Vista's call, looked up: the tests build for XP's headers as the tool does.
    typedef DWORD(WINAPI * FinalPathFn)(HANDLE, LPWSTR, DWORD, DWORD);
    static FinalPathFn finalPath = reinterpret_cast<FinalPathFn>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "GetFinalPathNameByHandleW")));
    wchar_t path[1024] = {};
    DWORD length = finalPath ? finalPath(handle, path, 1024, 0 /* FILE_NAME_NORMALIZED */) : 0;
    std::wstring full(path, length < 1024 ? length : 0);
    return full.substr(full.rfind(L'\\') + 1);
}

void AppendHeader(std::string& image, DWORD id, ULONGLONG size, const std::wstring& name) {
    DWORD nameBytes = static_cast<DWORD>(name.size() * sizeof(wchar_t));
    if (world.oversizedName && id == BACKUP_ALTERNATE_DATA) nameBytes = world.oversizedName;
    DWORD attributes = 0;
    image.append(reinterpret_cast<const char*>(&id), 4);
    image.append(reinterpret_cast<const char*>(&attributes), 4);
    image.append(reinterpret_cast<const char*>(&size), 8);
    image.append(reinterpret_cast<const char*>(&nameBytes), 4);
    image.append(reinterpret_cast<const char*>(name.data()), name.size() * sizeof(wchar_t));
}

// One BackupRead pass: the image of every stream, where each stream's data ends, and how far it got.
struct ReadContext {
    std::string image;
    std::vector<size_t> dataEnds;
    size_t at = 0;
};

BOOL WINAPI FakeBackupRead(HANDLE file, LPBYTE buffer, DWORD count, LPDWORD read, BOOL abort, BOOL security,
                           LPVOID* context) {
    EnterCriticalSection(&world.lock);
    auto leave = MakeScopeExit([] { LeaveCriticalSection(&world.lock); });
    EXPECT_FALSE(security) << "the copy asks for no security data";
    ReadContext* pass = static_cast<ReadContext*>(*context);
    if (abort) {
        delete pass;
        *context = nullptr;
        --world.liveContexts;
        return TRUE;
    }
    ++world.reads;
    if (!pass) {
        // A new pass starts at the main data, which it reads through the handle from the start.
        LARGE_INTEGER here = {}, zero = {};
        SetFilePointerEx(file, zero, &here, FILE_CURRENT);
        EXPECT_EQ(0, here.QuadPart) << "the main data must be read from its start";
        pass = new ReadContext;
        ++world.liveContexts;
        *context = pass;
        LARGE_INTEGER size = {};
        GetFileSizeEx(file, &size);
        AppendHeader(pass->image, BACKUP_DATA, size.QuadPart, L"");
        pass->image.append(static_cast<size_t>(size.QuadPart), '\0');
        pass->dataEnds.push_back(pass->image.size());
        for (const Stream& s : world.sources[FileNameOf(file)]) {
            AppendHeader(pass->image, s.id, s.data.size(), s.name);
            pass->image += s.data;
            pass->dataEnds.push_back(pass->image.size());
        }
    }
    if (world.failReadAfter && pass->at + count > world.failReadAfter) {
        SetLastError(ERROR_IO_DEVICE);
        return FALSE;
    }
    DWORD n = static_cast<DWORD>(std::min<size_t>(count, pass->image.size() - pass->at));
    memcpy(buffer, pass->image.data() + pass->at, n);
    pass->at += n;
    *read = n;
    return TRUE;
}

BOOL WINAPI FakeBackupSeek(HANDLE, DWORD low, DWORD high, LPDWORD seekedLow, LPDWORD seekedHigh,
                           LPVOID* context) {
    EnterCriticalSection(&world.lock);
    auto leave = MakeScopeExit([] { LeaveCriticalSection(&world.lock); });
    ReadContext* pass = static_cast<ReadContext*>(*context);
    ULONGLONG wanted = static_cast<ULONGLONG>(high) << 32 | low;
    // Within the current stream's data only, as the system seeks.
    size_t end = pass->image.size();
    for (size_t e : pass->dataEnds)
        if (e > pass->at) {
            end = e;
            break;
        }
    ULONGLONG seeked = std::min<ULONGLONG>(wanted, end - pass->at);
    if (world.shortSeek && seeked > 0) --seeked;
    pass->at += static_cast<size_t>(seeked);
    *seekedLow = static_cast<DWORD>(seeked);
    *seekedHigh = static_cast<DWORD>(seeked >> 32);
    return seeked == wanted;
}

// One BackupWrite pass: the bytes received so far, parsed when the pass ends.
struct WriteContext {
    std::wstring file;
    std::string received;
};

void ParseWritten(const WriteContext& pass) {
    std::vector<Stream>& streams = world.written[pass.file];
    for (size_t at = 0; at + 20 <= pass.received.size();) {
        DWORD id, nameBytes;
        ULONGLONG size;
        memcpy(&id, pass.received.data() + at, 4);
        memcpy(&size, pass.received.data() + at + 8, 8);
        memcpy(&nameBytes, pass.received.data() + at + 16, 4);
        std::wstring name(reinterpret_cast<const wchar_t*>(pass.received.data() + at + 20),
                          nameBytes / sizeof(wchar_t));
        at += 20 + nameBytes;
        streams.push_back({id, name, pass.received.substr(at, static_cast<size_t>(size))});
        at += static_cast<size_t>(size);
    }
}

BOOL WINAPI FakeBackupWrite(HANDLE file, LPBYTE buffer, DWORD count, LPDWORD written, BOOL abort,
                            BOOL security, LPVOID* context) {
    EnterCriticalSection(&world.lock);
    auto leave = MakeScopeExit([] { LeaveCriticalSection(&world.lock); });
    EXPECT_FALSE(security);
    WriteContext* pass = static_cast<WriteContext*>(*context);
    if (abort) {
        if (pass) ParseWritten(*pass);
        delete pass;
        *context = nullptr;
        --world.liveContexts;
        return TRUE;
    }
    if (!pass) {
        pass = new WriteContext;
        pass->file = FileNameOf(file);
        ++world.liveContexts;
        *context = pass;
    }
    pass->received.append(reinterpret_cast<const char*>(buffer), count);
    // On NTFS writing a stream moves the file's last write time: the copy must set its time after.
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    SetFileTime(file, nullptr, nullptr, &now);
    *written = count;
    return TRUE;
}

bool FakeHasNamed(HANDLE file) {
    EnterCriticalSection(&world.lock);
    bool has = world.sources.count(FileNameOf(file)) != 0;
    LeaveCriticalSection(&world.lock);
    return has;
}

FILETIME LastWrite(const std::wstring& path) {
    WIN32_FILE_ATTRIBUTE_DATA data = {};
    GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data);
    return data.ftLastWriteTime;
}

class TreeStreams : public TreeScratch {
  protected:
    TreeStreams() : TreeScratch(L"tree-streams") {}
    void SetUp() override {
        TreeScratch::SetUp();
        InitializeCriticalSection(&world.lock);
        world.sources.clear();
        world.written.clear();
        world.liveContexts = world.reads = 0;
        world.failReadAfter = world.oversizedName = 0;
        world.shortSeek = false;
        StreamHasNamed = FakeHasNamed;
        StreamBackupRead = FakeBackupRead;
        StreamBackupSeek = FakeBackupSeek;
        StreamBackupWrite = FakeBackupWrite;
    }
    void TearDown() override {
        StreamHasNamed = saved_.has;
        StreamBackupRead = saved_.read;
        StreamBackupSeek = saved_.seek;
        StreamBackupWrite = saved_.write;
        DeleteCriticalSection(&world.lock);
        TreeScratch::TearDown();
    }
    struct {
        bool (*has)(HANDLE) = StreamHasNamed;
        decltype(StreamBackupRead) read = StreamBackupRead;
        decltype(StreamBackupSeek) seek = StreamBackupSeek;
        decltype(StreamBackupWrite) write = StreamBackupWrite;
    } saved_;
};

const std::string ZoneText = "[ZoneTransfer]\r\nZoneId=3\r\nHostUrl=https://example.invalid/setup.exe\r\n";

TEST_F(TreeStreams, NamedStreamsGoWithTheirFileAndTheCopyKeepsItsTime) {
    File(L"src\\plain.txt", "no streams");
    File(L"src\\Downloads\\setup.exe", std::string(10000, 'm'));
    File(L"src\\Downloads\\empty.txt", "");
    // A stream larger than a read of the copy's buffer, an empty one, and the main data skipped over.
    std::string large(20000, 'z');
    for (size_t i = 0; i < large.size(); ++i)
        large[i] = static_cast<char>('a' + i % 26);
    world.sources[L"setup.exe"] = {{BACKUP_ALTERNATE_DATA, L":Zone.Identifier:$DATA", ZoneText},
                                   {BACKUP_ALTERNATE_DATA, L":large:$DATA", large},
                                   {BACKUP_ALTERNATE_DATA, L":nothing:$DATA", ""}};
    // Extended attributes are not a data stream: skipped, as CopyFileW's own data streams are.
    world.sources[L"empty.txt"] = {{BACKUP_EA_DATA, L"", "ea-bytes"},
                                   {BACKUP_ALTERNATE_DATA, L":Zone.Identifier:$DATA", ZoneText}};

    // A time the stand-in's writes cannot give by chance.
    HANDLE setupFile = CreateFileW(Path(L"src\\Downloads\\setup.exe").c_str(), FILE_WRITE_ATTRIBUTES, 0,
                                   nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, setupFile);
    FILETIME old = {0xD53E8000, 0x01C0A9B4}; // 2001
    SetFileTime(setupFile, nullptr, nullptr, &old);
    CloseHandle(setupFile);

    ASSERT_EQ(0u, CopyTree(Path(L"src").c_str(), Path(L"dst").c_str()));

    EXPECT_EQ(std::string(10000, 'm'), ReadFileBytes(Path(L"dst\\Downloads\\setup.exe")));
    EXPECT_EQ("", ReadFileBytes(Path(L"dst\\Downloads\\empty.txt")));
    ASSERT_EQ(2u, world.written.size()) << "only files with named streams get any";
    const std::vector<Stream>& setup = world.written[L"setup.exe"];
    ASSERT_EQ(3u, setup.size());
    EXPECT_EQ(L":Zone.Identifier:$DATA", setup[0].name);
    EXPECT_EQ(ZoneText, setup[0].data);
    EXPECT_EQ(L":large:$DATA", setup[1].name);
    EXPECT_TRUE(setup[1].data == large) << "a stream copied in several reads arrives whole and in order";
    EXPECT_EQ(L":nothing:$DATA", setup[2].name);
    EXPECT_EQ("", setup[2].data);
    for (const Stream& s : setup)
        EXPECT_EQ(static_cast<DWORD>(BACKUP_ALTERNATE_DATA), s.id);
    const std::vector<Stream>& empty = world.written[L"empty.txt"];
    ASSERT_EQ(1u, empty.size());
    EXPECT_EQ(ZoneText, empty[0].data);
    EXPECT_EQ(0, world.liveContexts) << "every BackupRead and BackupWrite pass must be ended";
    // The stand-in moved the copy's time as NTFS does; the copy must still carry the source's.
    FILETIME copy = LastWrite(Path(L"dst\\Downloads\\setup.exe"));
    EXPECT_EQ(0, CompareFileTime(&old, &copy));
}

TEST_F(TreeStreams, FilesWithoutNamedStreamsAreNotReadTwice) {
    for (int i = 0; i < 20; ++i)
        File(L"src\\f" + std::to_wstring(i) + L".txt", "data");
    ASSERT_EQ(0u, CopyTree(Path(L"src").c_str(), Path(L"dst").c_str()));
    EXPECT_EQ(0, world.reads);
    EXPECT_EQ(20u, Snapshot(Path(L"dst")).size());
}

// A stream that cannot be read fails the file's copy as CopyFileW would, and no partial copy stays.
TEST_F(TreeStreams, AStreamThatCannotBeCarriedFailsTheCopyAndLeavesNoPartialFile) {
    struct Case {
        const char* what;
        DWORD failReadAfter;
        bool shortSeek;
        DWORD oversizedName;
        DWORD expected;
    } cases[] = {
        {"a read that fails inside the stream", 20 + 6 + 20 + 44 + 10, false, 0, ERROR_IO_DEVICE},
        {"a seek past the main data that stops short", 0, true, 0, ERROR_INVALID_DATA},
        {"a header naming a name longer than any stream's", 0, false, 4000, ERROR_INVALID_DATA},
        {"a header naming an odd number of bytes", 0, false, 7, ERROR_INVALID_DATA},
    };
    File(L"src\\report.docx", "abcdef");
    world.sources[L"report.docx"] = {{BACKUP_ALTERNATE_DATA, L":Zone.Identifier:$DATA", ZoneText}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        world.failReadAfter = c.failReadAfter;
        world.shortSeek = c.shortSeek;
        world.oversizedName = c.oversizedName;
        EXPECT_EQ(c.expected, CopyTree(Path(L"src").c_str(), Path(L"dst").c_str()));
        EXPECT_FALSE(FileExists(Path(L"dst\\report.docx")));
        EXPECT_EQ(0, world.liveContexts);
    }
}

// Under Wine the system's own stream list is asked: it has none, and the copy is the plain copy.
TEST_F(TreeStreams, TheSystemsOwnListOnAPlainFileFindsNoNamedStream) {
    StreamHasNamed = saved_.has;
    File(L"src\\a.txt", "plain");
    HANDLE file = CreateFileW(Path(L"src\\a.txt").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, file);
    EXPECT_FALSE(StreamHasNamed(file));
    CloseHandle(file);
    ASSERT_EQ(0u, CopyTree(Path(L"src").c_str(), Path(L"dst").c_str()));
    EXPECT_EQ("plain", ReadFileBytes(Path(L"dst\\a.txt")));
    EXPECT_EQ(0, world.reads);
}

} // namespace
