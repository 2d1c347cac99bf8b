// Printer connections of a mounted test hive: which cache keys go, the status rules, and when the
// spooler is restarted. Wine's own spooler stops promptly, as Windows' normally does.
#include "printers/printer_cache.h"
#include "printers/spooler_control.h"
#include "profile/printers.h"

#include <gtest/gtest.h>

using namespace corvane_test;

namespace {

const std::wstring GuidA = L"{6B1F0F3A-0C41-4B8A-9E2D-000000000A0A}";
const std::wstring GuidB = L"{6B1F0F3A-0C41-4B8A-9E2D-000000000B0B}";
const std::wstring GuidC = L"{6B1F0F3A-0C41-4B8A-9E2D-000000000C0C}";

class Printers : public testing::Test {
  protected:
    void SetUp() override {
        // Running under its own binary with a manual start, so a restart shows as a new process
        // and the start type change as automatic.
        ASSERT_NO_FATAL_FAILURE(spooler.Prepare(true, SERVICE_DEMAND_START));
        before = QuerySpooler();
        ASSERT_EQ(static_cast<DWORD>(SERVICE_RUNNING), before.state);
    }
    DWORD Reset(const MountedHive& hive) {
        testing::internal::CaptureStdout();
        DWORD result = ResetPrinterConnections(hive.name());
        out = testing::internal::GetCapturedStdout();
        return result;
    }
    void ExpectSpoolerUntouched() {
        SpoolerState after = QuerySpooler();
        EXPECT_EQ(before.state, after.state);
        EXPECT_EQ(before.processId, after.processId);
        EXPECT_EQ(static_cast<DWORD>(SERVICE_DEMAND_START), after.startType);
    }
    void ExpectSpoolerRestarted() {
        SpoolerState after = QuerySpooler();
        EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), after.state);
        EXPECT_NE(before.processId, after.processId);
        EXPECT_EQ(static_cast<DWORD>(SERVICE_AUTO_START), after.startType);
    }

    SpoolerGuard spooler;
    SpoolerState before;
    PrinterCache cache;
    std::string out;
};

TEST_F(Printers, NoConnectionsKeyIsSilent) {
    HiveContent content;
    content[L"Printers"][L"DeviceOld"] = Sz(L"x");
    MountedHive hive;
    ASSERT_NO_FATAL_FAILURE(hive.Mount(content));
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), Reset(hive));
    EXPECT_EQ("", out);
    ExpectSpoolerUntouched();
}

TEST_F(Printers, EmptyConnectionsKeyRestartsSpooler) {
    HiveContent content;
    content[L"Printers\\Connections"] = {};
    MountedHive hive;
    ASSERT_NO_FATAL_FAILURE(hive.Mount(content));
    EXPECT_EQ(0u, Reset(hive));
    EXPECT_EQ("", out);
    ExpectSpoolerRestarted();
}

// A server name given with its leading backslashes and one without both find their own key, and
// no other key of either server goes. The hive itself is only read.
TEST_F(Printers, ServerNamesWithAndWithoutBackslashes) {
    cache.Add(L"corvane-srv-a", GuidA);
    cache.Add(L"corvane-srv-a", GuidC);
    cache.Add(L"corvane-srv-b", GuidB);
    cache.Add(L"corvane-srv-b", GuidA);
    HiveContent content;
    RegValue guidA = Sz(GuidA), serverA = Sz(L"\\\\corvane-srv-a");
    RegValue guidB = Sz(GuidB), serverB = Sz(L"corvane-srv-b");
    AddConnection(&content, L",,corvane-srv-a,Laser", &guidA, &serverA);
    AddConnection(&content, L",,corvane-srv-b,Inkjet", &guidB, &serverB);
    MountedHive hive;
    ASSERT_NO_FATAL_FAILURE(hive.Mount(content));

    EXPECT_EQ(0u, Reset(hive));

    EXPECT_FALSE(cache.Has(L"corvane-srv-a", GuidA));
    EXPECT_FALSE(cache.Has(L"corvane-srv-b", GuidB));
    EXPECT_TRUE(cache.Has(L"corvane-srv-a", GuidC));
    EXPECT_TRUE(cache.Has(L"corvane-srv-b", GuidA));
    EXPECT_EQ(
        L"\\\\corvane-srv-a",
        ReadStored(HKEY_USERS, hive.Key(L"Printers\\Connections\\,,corvane-srv-a,Laser"), L"Server").text);
    EXPECT_EQ(GuidB, ReadStored(HKEY_USERS, hive.Key(L"Printers\\Connections\\,,corvane-srv-b,Inkjet"),
                                L"GuidPrinter")
                         .text);
    EXPECT_EQ("", out);
    ExpectSpoolerRestarted();
}

// The last recorded status decides: the second connection has no cache key.
TEST_F(Printers, LastConnectionWithoutCacheKeyEndsSilently) {
    cache.Add(L"corvane-srv-a", GuidA);
    HiveContent content;
    RegValue guidA = Sz(GuidA), guidB = Sz(GuidB), server = Sz(L"\\\\corvane-srv-a");
    AddConnection(&content, L",,corvane-srv-a,First", &guidA, &server);
    AddConnection(&content, L",,corvane-srv-a,Second", &guidB, &server);
    MountedHive hive;
    ASSERT_NO_FATAL_FAILURE(hive.Mount(content));

    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), Reset(hive));

    EXPECT_FALSE(cache.Has(L"corvane-srv-a", GuidA));
    EXPECT_EQ("", out);
    ExpectSpoolerUntouched();
}

// A connection without "GuidPrinter" leaves the status alone; one without "Server" records 2.
TEST_F(Printers, MissingValuesAndTheStatus) {
    cache.Add(L"corvane-srv-a", GuidA);
    cache.Add(L"corvane-srv-a", GuidC);
    HiveContent content;
    RegValue guidA = Sz(GuidA), guidB = Sz(GuidB), guidC = Sz(GuidC), server = Sz(L"corvane-srv-a");
    AddConnection(&content, L",,corvane-srv-a,1-NoCacheKey", &guidB, &server);
    AddConnection(&content, L",,corvane-srv-a,2-Deleted", &guidA, &server);
    AddConnection(&content, L",,corvane-srv-a,3-NoGuid", nullptr, &server);
    MountedHive hive;
    ASSERT_NO_FATAL_FAILURE(hive.Mount(content));
    EXPECT_EQ(0u, Reset(hive));
    EXPECT_FALSE(cache.Has(L"corvane-srv-a", GuidA));
    EXPECT_TRUE(cache.Has(L"corvane-srv-a", GuidC));
    ExpectSpoolerRestarted();

    HiveContent noServer;
    AddConnection(&noServer, L",,corvane-srv-a,1-Deleted", &guidC, &server);
    AddConnection(&noServer, L",,corvane-srv-a,2-NoServer", &guidA, nullptr);
    MountedHive second;
    ASSERT_NO_FATAL_FAILURE(second.Mount(noServer, std::wstring(TestMountName) + L"-2"));
    before = QuerySpooler();
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), Reset(second));
    EXPECT_FALSE(cache.Has(L"corvane-srv-a", GuidC));
    EXPECT_EQ("", out);
    EXPECT_EQ(before.processId, QuerySpooler().processId);
}

// The cache key path is sized from both values, so the longest key names (255 characters) still
// name the whole key. The tightest case: both values stored without a terminator and the server
// name without backslashes, so the path needs every character of the buffer. A path cut one
// character short, or at 259 characters, would name one of the decoys instead.
TEST_F(Printers, LongNamesKeepTheWholeKeyPath) {
    std::wstring server(255, L's');
    server.replace(0, 15, L"corvane-srv-lng");
    std::wstring guid(255, L'g');
    size_t serversPrefix = wcslen(ProviderKey) + wcslen(L"\\Servers\\");
    ASSERT_EQ(116u, serversPrefix + wcslen(L"\\Printers\\"));
    std::wstring cutServer = server.substr(0, MAX_PATH - 1 - serversPrefix);

    cache.Add(server, guid);
    cache.Add(server, guid.substr(0, 254));
    cache.Add(cutServer, L"decoy");
    ASSERT_TRUE(cache.Has(server, guid)) << "the registry refused a 626-character key path";
    HiveContent content;
    RegValue guidValue = UnterminatedSz(guid), serverValue = UnterminatedSz(server);
    AddConnection(&content, L",,corvane-srv-lng,Long", &guidValue, &serverValue);
    MountedHive hive;
    ASSERT_NO_FATAL_FAILURE(hive.Mount(content));

    EXPECT_EQ(0u, Reset(hive));

    EXPECT_FALSE(cache.Has(server, guid));
    EXPECT_TRUE(cache.Has(server, guid.substr(0, 254)));
    EXPECT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, std::wstring(ProviderKey) + L"\\Servers\\" + cutServer));
    ExpectSpoolerRestarted();
}

// Values from the user's hive never widen the deletion: an empty "GuidPrinter" would otherwise
// name the server's whole Printers key.
TEST_F(Printers, EmptyPrinterNameDeletesNothing) {
    cache.Add(L"corvane-srv-e", GuidA);
    HiveContent content;
    RegValue empty = Sz(L""), server = Sz(L"\\\\corvane-srv-e");
    AddConnection(&content, L",,corvane-srv-e,Empty", &empty, &server);
    MountedHive hive;
    ASSERT_NO_FATAL_FAILURE(hive.Mount(content));
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), Reset(hive));
    EXPECT_TRUE(cache.Has(L"corvane-srv-e", GuidA));
    EXPECT_EQ("", out);
    ExpectSpoolerUntouched();
}

// An index the enumeration cannot return (here a name longer than the 256-character name buffer)
// is skipped and the walk goes on to the next connection.
TEST_F(Printers, EnumerationFailureSkipsThatIndex) {
    cache.Add(L"corvane-srv-a", GuidA);
    HiveContent content;
    RegValue guidA = Sz(GuidA), server = Sz(L"corvane-srv-a");
    AddConnection(&content, L",,corvane-srv-a,Later", &guidA, &server);
    MountedHive hive;
    ASSERT_NO_FATAL_FAILURE(hive.Mount(content));
    HKEY tooLong;
    std::wstring name = L",,aaa" + std::wstring(256 - 5, L'a');
    if (RegCreateKeyExW(HKEY_USERS, hive.Key(L"Printers\\Connections\\" + name).c_str(), 0, nullptr, 0,
                        KEY_ALL_ACCESS, nullptr, &tooLong, nullptr) != ERROR_SUCCESS)
        GTEST_SKIP() << "key names over 255 characters are refused here (as on Windows)";
    RegCloseKey(tooLong);

    EXPECT_EQ(0u, Reset(hive));
    EXPECT_FALSE(cache.Has(L"corvane-srv-a", GuidA));
    ExpectSpoolerRestarted();
}

TEST(Spooler, NotRunningAndDisabledIsStartedAutomatic) {
    SpoolerGuard spooler;
    ASSERT_NO_FATAL_FAILURE(spooler.Prepare(false, SERVICE_DISABLED));
    EXPECT_EQ(0u, RestartSpooler());
    SpoolerState after = QuerySpooler();
    EXPECT_TRUE(after.state == SERVICE_RUNNING || after.state == SERVICE_START_PENDING) << after.state;
    EXPECT_EQ(static_cast<DWORD>(SERVICE_AUTO_START), after.startType);
}

} // namespace
