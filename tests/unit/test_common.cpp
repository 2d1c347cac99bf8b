// Console formatting, error text and the guarded heap.
#include "driver/common.h"
#include "harness/testlib.h"

#include <gtest/gtest.h>
#include <string.h>

using corvane_test::DebugCapture;

namespace {

std::wstring Filled(size_t n) {
    return std::wstring(n, L'\xBDBD');
}

TEST(FormatBounded, CapacityZeroLeavesBufferUntouched) {
    wchar_t buffer[4] = {L'x', L'y', L'z', 0};
    EXPECT_EQ(static_cast<HRESULT>(0x80070057), FormatBounded(buffer, 0, L"abc"));
    EXPECT_STREQ(L"xyz", buffer);
    EXPECT_EQ(static_cast<HRESULT>(0x80070057), FormatBounded(buffer, 0x80000000u, L"abc"));
    EXPECT_STREQ(L"xyz", buffer);
}

TEST(FormatBounded, CapacityOne) {
    wchar_t buffer[2] = {L'x', L'y'};
    EXPECT_EQ(S_OK, FormatBounded(buffer, 1, L"%ws", L""));
    EXPECT_EQ(L'\0', buffer[0]);
    EXPECT_EQ(L'y', buffer[1]);
    buffer[0] = L'x';
    EXPECT_EQ(static_cast<HRESULT>(0x8007007A), FormatBounded(buffer, 1, L"a"));
    EXPECT_EQ(L'\0', buffer[0]);
    EXPECT_EQ(L'y', buffer[1]);
}

TEST(FormatBounded, ExactFitAndOneMore) {
    std::wstring b = Filled(8);
    EXPECT_EQ(S_OK, FormatBounded(&b[0], 6, L"%ws", L"abcde"));
    EXPECT_STREQ(L"abcde", b.c_str());
    EXPECT_EQ(L'\xBDBD', b[6]); // nothing written past the capacity

    b = Filled(8);
    EXPECT_EQ(static_cast<HRESULT>(0x8007007A), FormatBounded(&b[0], 6, L"%ws", L"abcdef"));
    EXPECT_STREQ(L"abcde", b.c_str());
    EXPECT_EQ(L'\xBDBD', b[6]);

    b = Filled(8);
    EXPECT_EQ(S_OK, FormatBounded(&b[0], 6, L"%u-%s", 12u, L"x"));
    EXPECT_STREQ(L"12-x", b.c_str());
}

TEST(ErrorText, SystemTextWithoutLineBreak) {
    wchar_t* text = nullptr;
    GetErrorText(ERROR_PATH_NOT_FOUND, &text);
    ASSERT_NE(nullptr, text);
    size_t n = wcslen(text);
    ASSERT_GT(n, 0u);
    EXPECT_NE(L'\n', text[n - 1]);
    EXPECT_NE(L'\r', text[n - 1]);
    wchar_t* raw = nullptr;
    FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_FROM_SYSTEM, nullptr,
        3, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), reinterpret_cast<wchar_t*>(&raw), 0, nullptr);
    ASSERT_NE(nullptr, raw);
    EXPECT_EQ(std::wstring(raw, wcslen(raw) - 2), std::wstring(text));
    LocalFree(raw);
    LocalFree(text);
}

TEST(ErrorText, UnknownCodeGivesNumber) {
    wchar_t* text = nullptr;
    GetErrorText(0x2345ABCD, &text);
    ASSERT_NE(nullptr, text);
    EXPECT_STREQ(L"Error 591768525.", text);
    EXPECT_EQ(LocalSize(text), (wcslen(L"Error 591768525.") + 1) * sizeof(wchar_t));
    LocalFree(text);
}

TEST(ErrorText, ReportErrorReturnsTheCode) {
    EXPECT_EQ(0x2345ABCDu, ReportError(0x2345ABCD));
    EXPECT_EQ(5u, ReportError(5));
}

DWORD Word(const BYTE* at) {
    DWORD v;
    memcpy(&v, at, 4);
    return v;
}

TEST(GuardedHeap, CharsBlockLayout) {
    BYTE* data = reinterpret_cast<BYTE*>(GuardedAllocChars(260));
    ASSERT_NE(nullptr, data);
    EXPECT_EQ(540u, HeapSize(GetProcessHeap(), 0, data - 12));
    EXPECT_EQ(0, memcmp(data - 12, "A\0l\0p\0h\0", 8));
    EXPECT_EQ(520u, Word(data - 4));
    for (int i = 0; i < 520; ++i)
        ASSERT_EQ(0, data[i]) << i;
    EXPECT_EQ(0, memcmp(data + 520, "O\0m\0e\0g\0", 8));
    EXPECT_TRUE(GuardedHeapFree(GetProcessHeap(), data));
}

TEST(GuardedHeap, UnalignedTrailerAndNoZeroFill) {
    BYTE* data = static_cast<BYTE*>(GuardedHeapAlloc(GetProcessHeap(), 0, 7));
    ASSERT_NE(nullptr, data);
    EXPECT_EQ(7u, Word(data - 4));
    EXPECT_EQ(0, memcmp(data + 7, "O\0m\0e\0g\0", 8));
    EXPECT_TRUE(GuardedHeapFree(GetProcessHeap(), data));
}

std::string Hex(const void* p) {
    char text[32];
#ifdef _WIN64
    snprintf(text, sizeof text, "%#018I64x", static_cast<unsigned __int64>(reinterpret_cast<UINT_PTR>(p)));
#else
    snprintf(text, sizeof text, "%#010x", static_cast<unsigned>(reinterpret_cast<UINT_PTR>(p)));
#endif
    return text;
}

TEST(GuardedHeap, OverrunIsReportedAndNotFreed) {
    DebugCapture debug;
    BYTE* data = static_cast<BYTE*>(GuardedAlloc(16));
    ASSERT_NE(nullptr, data);
    data[16] = 'X';
    EXPECT_FALSE(GuardedHeapFree(GetProcessHeap(), data));
    std::vector<std::string> lines = debug.lines();
    ASSERT_EQ(1u, lines.size());
    EXPECT_EQ("Memory Heap corrupt at " + Hex(data) + ". Written data exceeds allocation of 16 bytes.",
              lines[0]);
    // The block was not freed: it is still a valid heap block.
    EXPECT_EQ(36u, HeapSize(GetProcessHeap(), 0, data - 12));
    data[16] = 'O';
    EXPECT_TRUE(GuardedHeapFree(GetProcessHeap(), data));
}

TEST(GuardedHeap, HeaderDamageIsReported) {
    DebugCapture debug;
    BYTE* data = static_cast<BYTE*>(GuardedAlloc(8));
    ASSERT_NE(nullptr, data);
    data[-12] = 'Z';
    EXPECT_FALSE(GuardedHeapFree(GetProcessHeap(), data));
    EXPECT_EQ(nullptr, GuardedHeapReAlloc(GetProcessHeap(), data, 64));
    std::vector<std::string> lines = debug.lines();
    ASSERT_EQ(2u, lines.size());
    std::string expected = "Memory Heap corrupt at " + Hex(data) + ". Header has been overwritten.";
    EXPECT_EQ(expected, lines[0]);
    EXPECT_EQ(expected, lines[1]);
    data[-12] = 'A';
    EXPECT_TRUE(GuardedHeapFree(GetProcessHeap(), data));
}

TEST(GuardedHeap, NullPointers) {
    DebugCapture debug;
    EXPECT_FALSE(GuardedHeapFree(GetProcessHeap(), nullptr));
    GuardedFree(nullptr);
    EXPECT_EQ(nullptr, GuardedHeapReAlloc(GetProcessHeap(), nullptr, 10));
    std::vector<std::string> lines = debug.lines();
    ASSERT_EQ(3u, lines.size());
    EXPECT_EQ("Attempt to free NULL pointer.", lines[0]);
    EXPECT_EQ("Attempt to free NULL pointer.", lines[1]);
    EXPECT_EQ("Attempt to ReAlloc NULL pointer.", lines[2]);
}

TEST(GuardedHeap, ReAllocKeepsDataAndMovesTrailer) {
    DebugCapture debug;
    BYTE* data = static_cast<BYTE*>(GuardedAlloc(10));
    ASSERT_NE(nullptr, data);
    memcpy(data, "0123456789", 10);
    BYTE* grown = static_cast<BYTE*>(GuardedHeapReAlloc(GetProcessHeap(), data, 30));
    ASSERT_NE(nullptr, grown);
    EXPECT_EQ(0, memcmp(grown, "0123456789", 10));
    EXPECT_EQ(0, memcmp(grown - 12, "A\0l\0p\0h\0", 8));
    EXPECT_EQ(30u, Word(grown - 4));
    EXPECT_EQ(0, memcmp(grown + 30, "O\0m\0e\0g\0", 8));
    std::vector<std::string> lines = debug.lines();
    ASSERT_EQ(1u, lines.size());
    EXPECT_EQ("Reallocated 30 bytes at " + Hex(grown) + ".", lines[0]);
    EXPECT_TRUE(GuardedHeapFree(GetProcessHeap(), grown));
}

TEST(GuardedHeap, ReAllocRefusesOverrunBlock) {
    DebugCapture debug;
    BYTE* data = static_cast<BYTE*>(GuardedAlloc(10));
    data[11] = 'X'; // second trailer byte
    EXPECT_EQ(nullptr, GuardedHeapReAlloc(GetProcessHeap(), data, 30));
    ASSERT_EQ(1u, debug.lines().size());
    EXPECT_EQ("Memory Heap corrupt at " + Hex(data) + ". Written data exceeds allocation of 10 bytes.",
              debug.lines()[0]);
    data[11] = 0;
    EXPECT_EQ(10u, Word(data - 4)); // untouched
    EXPECT_TRUE(GuardedHeapFree(GetProcessHeap(), data));
}

} // namespace
