// The pipe messages every side of the service's pipe speaks, on a real pipe pair: a count and
// UTF-16LE text, however the writer cuts them up, with every count from the other side bounded.
#include "base/pipemessage.h"
#include "base/raii.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>

namespace {

// Both ends overlapped, as the service and both clients open them. Never the service's own name.
// Buffers big enough that the raw writes below complete before anyone reads (Wine holds a write to
// a pipe without a buffer until it is read).
struct PipePair {
    UniqueFile server, client;
    PipePair() {
        std::wstring path =
            L"\\\\.\\pipe\\corvane-test-pipemessage-" + std::to_wstring(GetCurrentProcessId());
        server.reset(CreateNamedPipeW(path.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                                      PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, 1, 4096, 4096, 0,
                                      nullptr));
        client.reset(CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                 FILE_FLAG_OVERLAPPED, nullptr));
    }
    bool ok() const { return server && client; }
};

// Raw bytes, as a client that does not keep to the framing may send them.
void WriteRaw(HANDLE pipe, const void* bytes, DWORD size) {
    OVERLAPPED overlapped = {};
    UniqueHandle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    overlapped.hEvent = event.get();
    DWORD done = 0;
    if (!WriteFile(pipe, bytes, size, nullptr, &overlapped)) {
        ASSERT_EQ(static_cast<DWORD>(ERROR_IO_PENDING), GetLastError());
    }
    ASSERT_TRUE(GetOverlappedResult(pipe, &overlapped, &done, TRUE));
    ASSERT_EQ(size, done);
}

DWORD Available(HANDLE pipe) {
    DWORD available = 0xffffffff;
    PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr);
    return available;
}

DWORD Decode(DWORD count, DWORD* bytes) {
    BYTE header[4] = {static_cast<BYTE>(count), static_cast<BYTE>(count >> 8), static_cast<BYTE>(count >> 16),
                      static_cast<BYTE>(count >> 24)};
    return DecodeMessageCount(header, bytes);
}

TEST(PipeMessage, CountsAreBoundedEvenAndNeverNegative) {
    DWORD bytes = 1;
    EXPECT_EQ(0u, Decode(0, &bytes));
    EXPECT_EQ(0u, bytes);
    EXPECT_EQ(0u, Decode(MaxMessageBytes, &bytes));
    EXPECT_EQ(MaxMessageBytes, bytes);
    // Half a character, one character too many, and -2 as a signed writer would send it.
    const DWORD bads[] = {1, MaxMessageBytes - 1, MaxMessageBytes + 2, 0xfffffffe, 0x80000000};
    for (DWORD bad : bads) {
        EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_DATA), Decode(bad, &bytes)) << bad;
        EXPECT_EQ(0u, bytes) << bad;
    }
}

TEST(PipeMessage, MessagesArriveWholeEitherWay) {
    PipePair pair;
    ASSERT_TRUE(pair.ok()) << GetLastError();
    const std::wstring text = L"-user|S-1-5-21-1-2-3-1001|C:\\list|C:\\users\\\x00e9";
    ASSERT_EQ(0u, WriteMessage(pair.client.get(), text.data(), static_cast<DWORD>(text.size()), 5000));
    ASSERT_EQ(0u, WriteMessage(pair.server.get(), L"", 0, 5000));
    // Count first, then the text in little-endian UTF-16, nothing after it.
    DWORD count = 0;
    ASSERT_EQ(0u, ReadMessageCount(pair.server.get(), 5000, &count));
    ASSERT_EQ(text.size() * 2, count);
    std::wstring got(count / 2, L'\0');
    ASSERT_EQ(0u, ReadMessageText(pair.server.get(), &got[0], count, 5000));
    EXPECT_EQ(text, got);
    EXPECT_EQ(0u, Available(pair.server.get()));
    // An empty reply is a message of its own.
    ASSERT_EQ(0u, ReadMessageCount(pair.client.get(), 5000, &count));
    EXPECT_EQ(0u, count);
    EXPECT_EQ(0u, ReadMessageText(pair.client.get(), nullptr, 0, 5000));
}

TEST(PipeMessage, AMessageCutIntoPiecesIsReadWhole) {
    PipePair pair;
    ASSERT_TRUE(pair.ok()) << GetLastError();
    const BYTE header[4] = {8, 0, 0, 0};
    WriteRaw(pair.client.get(), header, 1);
    WriteRaw(pair.client.get(), header + 1, 3);
    WriteRaw(pair.client.get(), L"Do", 4);
    WriteRaw(pair.client.get(), L"ne", 4);
    DWORD count = 0;
    ASSERT_EQ(0u, ReadMessageCount(pair.server.get(), 5000, &count));
    ASSERT_EQ(8u, count);
    wchar_t text[5] = {};
    ASSERT_EQ(0u, ReadMessageText(pair.server.get(), text, count, 5000));
    EXPECT_STREQ(L"Done", text);
}

TEST(PipeMessage, BrokenAndMalformedConversationsEndWithTheirCode) {
    {
        // An odd count is refused before anything is read for it.
        PipePair pair;
        ASSERT_TRUE(pair.ok()) << GetLastError();
        const BYTE odd[6] = {3, 0, 0, 0, 'a', 0};
        WriteRaw(pair.client.get(), odd, 6);
        DWORD count = 7;
        EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_DATA), ReadMessageCount(pair.server.get(), 5000, &count));
        EXPECT_EQ(0u, count);
        wchar_t buffer[2];
        EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_DATA),
                  ReadMessageText(pair.server.get(), buffer, 3, 5000));
        EXPECT_EQ(2u, Available(pair.server.get()));
    }
    {
        // The writer goes after half the text.
        PipePair pair;
        ASSERT_TRUE(pair.ok()) << GetLastError();
        const BYTE half[6] = {8, 0, 0, 0, 'S', 0};
        WriteRaw(pair.client.get(), half, 6);
        pair.client.reset();
        DWORD count = 0;
        ASSERT_EQ(0u, ReadMessageCount(pair.server.get(), 5000, &count));
        wchar_t buffer[4];
        EXPECT_EQ(static_cast<DWORD>(ERROR_BROKEN_PIPE),
                  ReadMessageText(pair.server.get(), buffer, count, 5000));
        EXPECT_EQ(static_cast<DWORD>(ERROR_BROKEN_PIPE), ReadMessageCount(pair.server.get(), 5000, &count));
    }
    {
        // A silent peer costs the limit, not for ever.
        PipePair pair;
        ASSERT_TRUE(pair.ok()) << GetLastError();
        DWORD count = 0;
        DWORD start = GetTickCount();
        EXPECT_EQ(static_cast<DWORD>(ERROR_TIMEOUT), ReadMessageCount(pair.server.get(), 300, &count));
        EXPECT_LT(GetTickCount() - start, 5000u);
    }
}

TEST(PipeMessage, ATextAboveTheBoundIsNotSentAtAll) {
    PipePair pair;
    ASSERT_TRUE(pair.ok()) << GetLastError();
    std::wstring big(MaxMessageBytes / 2 + 1, L'x');
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_DATA),
              WriteMessage(pair.client.get(), big.data(), static_cast<DWORD>(big.size()), 5000));
    EXPECT_EQ(0u, Available(pair.server.get()));
    // The largest message does go, whole.
    big.resize(MaxMessageBytes / 2);
    DWORD written = 1;
    std::thread writer([&] {
        written = WriteMessage(pair.client.get(), big.data(), static_cast<DWORD>(big.size()), 10000);
    });
    DWORD count = 0;
    EXPECT_EQ(0u, ReadMessageCount(pair.server.get(), 10000, &count));
    std::wstring got(count / 2, L'\0');
    EXPECT_EQ(0u, ReadMessageText(pair.server.get(), &got[0], count, 10000));
    writer.join();
    EXPECT_EQ(0u, written);
    EXPECT_EQ(big, got);
}

} // namespace
