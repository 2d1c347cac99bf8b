// Ten thousand malformed, truncated, oversized and random messages and abrupt disconnects against
// the real service: it must keep serving, never end, and not grow.
#include "pipeclient.h"

#include <gtest/gtest.h>
#include <psapi.h>

#include <random>

using namespace service_test;

namespace {

// Committed private memory of another process, summed from its address space.
SIZE_T CommittedPrivateBytes(HANDLE process) {
    SIZE_T total = 0;
    MEMORY_BASIC_INFORMATION region = {};
    for (BYTE* address = nullptr; VirtualQueryEx(process, address, &region, sizeof(region)) == sizeof(region);
         address = static_cast<BYTE*>(region.BaseAddress) + region.RegionSize) {
        if (region.State == MEM_COMMIT && region.Type == MEM_PRIVATE) total += region.RegionSize;
        if (region.RegionSize == 0) break;
    }
    return total;
}

SIZE_T PrivateUsage(HANDLE process) {
    PROCESS_MEMORY_COUNTERS_EX counters = {};
    counters.cb = sizeof(counters);
    if (GetProcessMemoryInfo(process, reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters),
                             sizeof(counters)) &&
        counters.PrivateUsage != 0)
        return counters.PrivateUsage;
    // Wine divergence: GetProcessMemoryInfo reports PrivateUsage 0 for another process; its
    // committed private regions are the same measure.
    return CommittedPrivateBytes(process);
}

std::string Header(DWORD count) {
    std::string bytes(4, '\0');
    for (int i = 0; i < 4; ++i)
        bytes[i] = static_cast<char>((count >> (8 * i)) & 0xFF);
    return bytes;
}

// Text that can never be a valid command word (it starts with "~"), with separators, nulls and
// lone surrogates mixed in.
std::wstring RandomText(std::mt19937& random, size_t maxChars) {
    static const wchar_t alphabet[] = L"|-user\\:~ S1259abcXYZ\0\xD800\xDFFF\xFFFE\x00e9";
    std::wstring text = L"~";
    size_t length = random() % (maxChars + 1);
    for (size_t i = 0; i < length; ++i)
        text += alphabet[random() % (sizeof(alphabet) / sizeof(wchar_t))];
    return text;
}

std::string RandomBytes(std::mt19937& random, size_t maxBytes) {
    std::string bytes(random() % (maxBytes + 1), '\0');
    for (char& c : bytes)
        c = static_cast<char>(random());
    return bytes;
}

// One exchange of the given kind. Returns false when the pipe could not even be opened.
bool FuzzOnce(int kind, std::mt19937& random) {
    PipeClient client;
    if (!client.Open(30000)) return false;
    switch (kind) {
    case 0: // random bytes, then gone without reading
        client.SendRaw(RandomBytes(random, 64));
        break;
    case 1: // well framed nonsense: "Invalid Parameter"
        client.Send(RandomText(random, 200));
        client.ReadAll();
        break;
    case 2: // negative count
        client.SendRaw(Header(0x80000000u | static_cast<DWORD>(random())) + "abcd");
        client.ReadAll();
        break;
    case 3: // count above the bound
        client.SendRaw(Header(64 * 1024 + 2 + (random() % 0x7FFF0000u)));
        client.ReadAll();
        break;
    case 4: { // count promises more than is sent, then the client is gone
        std::wstring text = RandomText(random, 100);
        std::string frame = Frame(text);
        client.SendRaw(Header(static_cast<DWORD>(text.size() * 2 + 2 + random() % 1000)) + frame.substr(4));
        break;
    }
    case 5: // connects and leaves
        break;
    case 6: // part of a count
        client.SendRaw(RandomBytes(random, 3));
        break;
    case 7: // half a character
        client.SendRaw(Header(2 * (random() % 50) + 1) + RandomBytes(random, 101));
        client.ReadAll();
        break;
    case 8: { // the largest allowed request, nonsense: answered, not stored
        std::wstring text = RandomText(random, 10);
        text.resize(32 * 1024, L'x');
        client.Send(text);
        client.ReadAll();
        break;
    }
    case 9: { // a valid request cut off at a random byte
        std::string frame = Frame(L"-getsidfromprofilepath|C:\\users\\nobody");
        client.SendRaw(frame.substr(0, random() % frame.size()));
        break;
    }
    }
    return true;
}

TEST(ServiceFuzz, MalformedMessagesNeverStopOrGrowTheServer) {
    std::wstring failure;
    ASSERT_TRUE(InstallAndStartService(&failure)) << Narrow(failure);
    DWORD pid = ServiceProcessId();
    ASSERT_NE(0u, pid);
    HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ | SYNCHRONIZE, FALSE, pid);
    ASSERT_NE(nullptr, process);

    std::mt19937 random(20261208);
    const int total = 10000;
    SIZE_T afterFirstHundred = 0;
    int unopened = 0;
    for (int i = 0; i < total; ++i) {
        // Mostly cheap kinds; the largest request now and then.
        int kind = static_cast<int>(random() % 10);
        if (kind == 8 && random() % 20) kind = 1;
        if (!FuzzOnce(kind, random)) ++unopened;
        if (i % 1000 == 999) {
            ASSERT_EQ(std::vector<std::wstring>({L"2.2.0.4", L"Start"}), Exchange(L"-version"))
                << "after " << i + 1;
        }
        if (i == 99) afterFirstHundred = PrivateUsage(process);
    }
    EXPECT_EQ(0, unopened);
    EXPECT_EQ(std::vector<std::wstring>({L"2.2.0.4", L"Start"}), Exchange(L"-version"));
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(process, 0))
        << "the service process ended";
    EXPECT_EQ(pid, ServiceProcessId());
    SIZE_T after = PrivateUsage(process);
    printf("private bytes after 100 exchanges: %zu, after %d: %zu\n", static_cast<size_t>(afterFirstHundred),
           total, static_cast<size_t>(after));
    ASSERT_GT(afterFirstHundred, 0u);
    EXPECT_LE(after, afterFirstHundred + 1024 * 1024)
        << "private bytes after 100 exchanges " << afterFirstHundred << ", after " << total << ": " << after;
    CloseHandle(process);
    RemoveService();
}

} // namespace
