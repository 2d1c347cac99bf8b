// The "-user" access decision, judged on real tokens handed to the deciding function (under Wine a
// pipe server always sees an administrator, so the refusal cannot be shown over the pipe), and the
// request table.
#include "companions/service/clientaccess.h"
#include "companions/service/request.h"

#include <gtest/gtest.h>
#include <sddl.h>
#include <tlhelp32.h>

#include <vector>

using namespace appxservice;

namespace {

HANDLE ProcessToken() {
    HANDLE token = nullptr;
    OpenProcessToken(GetCurrentProcess(), TOKEN_ALL_ACCESS, &token);
    return token;
}

// The process token with Administrators turned into a deny-only entry, as in a filtered token.
HANDLE AdministratorsDenyOnly() {
    HANDLE process = ProcessToken();
    PSID admins = nullptr;
    ConvertStringSidToSidW(L"S-1-5-32-544", &admins);
    SID_AND_ATTRIBUTES deny = {admins, 0};
    HANDLE restricted = nullptr;
    BOOL ok = CreateRestrictedToken(process, 0, 1, &deny, 0, nullptr, 0, nullptr, &restricted);
    LocalFree(admins);
    CloseHandle(process);
    return ok ? restricted : nullptr;
}

HANDLE Impersonation(HANDLE primary, SECURITY_IMPERSONATION_LEVEL level) {
    HANDLE duplicate = nullptr;
    DuplicateTokenEx(primary, TOKEN_ALL_ACCESS, nullptr, level, TokenImpersonation, &duplicate);
    return duplicate;
}

// A token whose user is LocalSystem, from any process that runs as LocalSystem; null when none can
// be opened.
HANDLE LocalSystemToken() {
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return nullptr;
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof(entry);
    HANDLE found = nullptr;
    for (BOOL more = Process32FirstW(snapshot, &entry); more && !found;
         more = Process32NextW(snapshot, &entry)) {
        HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, entry.th32ProcessID);
        if (!process) continue;
        HANDLE token = nullptr;
        if (OpenProcessToken(process, TOKEN_QUERY | TOKEN_DUPLICATE, &token)) {
            BYTE buffer[256];
            DWORD size = sizeof(buffer);
            if (GetTokenInformation(token, TokenUser, buffer, size, &size) &&
                IsWellKnownSid(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid, WinLocalSystemSid))
                found = token;
            else
                CloseHandle(token);
        }
        CloseHandle(process);
    }
    CloseHandle(snapshot);
    return found;
}

TEST(ClientMayList, AdministratorIsServedWithPrimaryAndIdentificationTokens) {
    HANDLE primary = ProcessToken();
    ASSERT_NE(nullptr, primary);
    EXPECT_TRUE(ClientMayList(primary));
    HANDLE identification = Impersonation(primary, SecurityIdentification);
    ASSERT_NE(nullptr, identification);
    EXPECT_TRUE(ClientMayList(identification));
    CloseHandle(identification);
    CloseHandle(primary);
}

TEST(ClientMayList, AdministratorsDenyOnlyIsRefused) {
    HANDLE restricted = AdministratorsDenyOnly();
    ASSERT_NE(nullptr, restricted) << GetLastError();
    EXPECT_FALSE(ClientMayList(restricted));
    HANDLE impersonation = Impersonation(restricted, SecurityImpersonation);
    ASSERT_NE(nullptr, impersonation);
    EXPECT_FALSE(ClientMayList(impersonation));
    CloseHandle(impersonation);
    CloseHandle(restricted);
}

TEST(ClientMayList, UnreadableTokenIsRefused) {
    EXPECT_FALSE(ClientMayList(nullptr));
    HANDLE primary = ProcessToken();
    HANDLE noQuery = nullptr;
    ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), primary, GetCurrentProcess(), &noQuery,
                                TOKEN_IMPERSONATE, FALSE, 0));
    EXPECT_FALSE(ClientMayList(noQuery));
    CloseHandle(noQuery);
    CloseHandle(primary);
}

TEST(ClientMayList, LocalSystemIsServed) {
    HANDLE system = LocalSystemToken();
    if (!system) {
        // Wine divergence: every Wine process, services included, runs as the one Wine user, so no
        // LocalSystem token exists to hand over.
        GTEST_SKIP() << "Wine divergence: no process runs as LocalSystem";
    }
    EXPECT_TRUE(ClientMayList(system));
    CloseHandle(system);
}

// The end-to-end tests send the table's main cases over the pipe; these are the edges that would
// make the service act there.
TEST(RequestTable, EmptyFieldsCountAndAreKept) {
    EXPECT_EQ(Command::User, ParseRequest(L"-user|").command);            // a field, empty
    EXPECT_EQ(Command::Invalid, ParseRequest(L"-register|||||").command); // five empty fields
    EXPECT_EQ(Command::Invalid, ParseRequest(std::wstring(L"-version\0", 9)).command);
    Request request = ParseRequest(L"-user|S-1| C:\\list ||");
    ASSERT_EQ(4u, request.fields.size());
    EXPECT_EQ(L" C:\\list ", Field(request, 1));
    EXPECT_EQ(L"", Field(request, 3));
    EXPECT_EQ(L"", Field(request, 7));
}

} // namespace
