// The tool's pipe client against the stand-in service, which Wine's service control manager runs
// as "QuillmarAppxService" so that the client's check of the server end passes.
#include "appx/appx.h"
#include "appxtest.h"
#include "base/pipeio.h"
#include "base/pipemessage.h"
#include "harness/testlib.h"

#include <gtest/gtest.h>

using namespace appx_test;

namespace {

const wchar_t* const Sid = L"S-1-5-21-1-2-3-1001";
const wchar_t* const ListFile = L"C:\\Users\\Default\\AppData\\Local\\Quillmar\\Migrate-AppxPackage";
const wchar_t* const Profile = L"C:\\Users\\Default";

class PipeClient : public ::testing::Test {
  protected:
    void SetUp() override {
        RemoveService();
        ClearRecords();
    }
    void TearDown() override { RemoveService(); }
    void Serve(const std::wstring& script) {
        ConfigureStandIn(script);
        InstallStandIn(StandInProgram(), true);
    }
};

TEST(PipeName, MachinePartAndFailure) {
    wchar_t* name = BuildPipeName(AppxPipeName, nullptr);
    ASSERT_TRUE(name);
    EXPECT_STREQ(L"\\\\.\\pipe\\7a6c689a-c49b-4444-8f7e-c45fc3fd7cae", name);
    HeapFree(GetProcessHeap(), 0, name);

    wchar_t computer[MAX_COMPUTERNAME_LENGTH + 1];
    DWORD size = MAX_COMPUTERNAME_LENGTH + 1;
    ASSERT_TRUE(GetComputerNameW(computer, &size));
    CharLowerW(computer);
    name = BuildPipeName(L"p", computer);
    EXPECT_STREQ(L"\\\\.\\pipe\\p", name);
    HeapFree(GetProcessHeap(), 0, name);
    name = BuildPipeName(L"p", L"elsewhere");
    EXPECT_STREQ(L"\\\\elsewhere\\pipe\\p", name);
    HeapFree(GetProcessHeap(), 0, name);

    SetLastError(0xdeadbeef);
    EXPECT_EQ(nullptr, BuildPipeName(nullptr, nullptr));
    EXPECT_EQ(87u, GetLastError());
}

TEST_F(PipeClient, RequestTravelsByteForByteAndTheFirstReplyEndsAWaitlessConversation) {
    Serve(L"start");
    EXPECT_EQ(0u, GetAppxPackagesBySid(Sid, ListFile, Profile, false));
    auto requests = Requests();
    ASSERT_EQ(1u, requests.size());
    std::wstring text =
        L"-user|S-1-5-21-1-2-3-1001|C:\\Users\\Default\\AppData\\Local\\Quillmar\\Migrate-AppxPackage|"
        L"C:\\Users\\Default";
    EXPECT_EQ(Message(text), requests[0]);
    DWORD length;
    memcpy(&length, requests[0].data(), 4);
    EXPECT_EQ(text.size() * 2, length);
}

TEST_F(PipeClient, LowerCaseDoneEndsAWaitingConversation) {
    // Start, Working, done: a client that read on after "done" would wait for ever here.
    Serve(L"done");
    EXPECT_EQ(0u, GetAppxPackagesBySid(Sid, ListFile, Profile, true));
}

TEST_F(PipeClient, ServerThatClosesAfterStartGivesBrokenPipeToAWaitingClient) {
    Serve(L"start");
    EXPECT_EQ(109u, GetAppxPackagesBySid(Sid, ListFile, Profile, true));
}

TEST_F(PipeClient, EmptyReplyIsReadAndTheConversationGoesOn) {
    Serve(L"empty");
    EXPECT_EQ(0u, GetAppxPackagesBySid(Sid, ListFile, Profile, true));
}

TEST_F(PipeClient, LengthsOutsideTheBoundAreRefused) {
    for (const wchar_t* script : {L"negative", L"huge", L"over", L"odd"}) {
        SCOPED_TRACE(corvane_test::Narrow(script));
        RemoveService();
        Serve(script);
        EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_DATA), GetAppxPackagesBySid(Sid, ListFile, Profile, true));
        EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_DATA),
                  GetAppxPackagesBySid(Sid, ListFile, Profile, false));
    }
}

TEST_F(PipeClient, ReplyCutShortEndsWithTheReadError) {
    // Length 10, four bytes of text, then the server closes: no garbage text is taken for a reply.
    Serve(L"short");
    EXPECT_EQ(109u, GetAppxPackagesBySid(Sid, ListFile, Profile, false));
}

// A program that serves the pipe name in the service's place.
struct Impostor {
    HANDLE pipe = INVALID_HANDLE_VALUE;
    HANDLE thread = nullptr;
    DWORD received = 0;
    static DWORD WINAPI Run(void* self) {
        Impostor* me = static_cast<Impostor*>(self);
        if (!ConnectNamedPipe(me->pipe, nullptr) && GetLastError() != ERROR_PIPE_CONNECTED) return 1;
        char buffer[512];
        DWORD read;
        while (ReadFile(me->pipe, buffer, sizeof buffer, &read, nullptr) && read > 0)
            me->received += read;
        return 0;
    }
    Impostor() {
        pipe = CreateNamedPipeW(ServicePipePath, PIPE_ACCESS_DUPLEX,
                                PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, 1, 4096, 4096, 0, nullptr);
        thread = CreateThread(nullptr, 0, Run, this, 0, nullptr);
    }
    ~Impostor() {
        WaitForSingleObject(thread, 10000);
        CloseHandle(thread);
        CloseHandle(pipe);
    }
};

TEST_F(PipeClient, ImpostorServingThePipeNameReceivesNothing) {
    // The service runs but has not made its pipe; another process has.
    Serve(L"nopipe");
    {
        Impostor impostor;
        ASSERT_NE(INVALID_HANDLE_VALUE, impostor.pipe);
        EXPECT_EQ(5u, GetAppxPackagesBySid(Sid, ListFile, Profile, false));
        WaitForSingleObject(impostor.thread, 10000);
        EXPECT_EQ(0u, impostor.received);
    }
    // Without any service, the pipe's server cannot be the service's process either.
    RemoveService();
    Impostor impostor;
    EXPECT_NE(0u, GetAppxPackagesBySid(Sid, ListFile, Profile, false));
    WaitForSingleObject(impostor.thread, 10000);
    EXPECT_EQ(0u, impostor.received);
}

// Sets the test builds' shorter product wait for the life of the object.
struct ShortWait {
    explicit ShortWait(const wchar_t* ms) { SetEnvironmentVariableW(L"CORVANE_TEST_WAIT_MS", ms); }
    ~ShortWait() { SetEnvironmentVariableW(L"CORVANE_TEST_WAIT_MS", nullptr); }
};

TEST_F(PipeClient, ServiceThatNeverRepliesIsGivenUpAtTheLimit) {
    Serve(L"silent");
    ShortWait wait(L"2000");
    EXPECT_EQ(2000u, ServiceWaitLimit());
    for (bool waitForDone : {false, true}) {
        SCOPED_TRACE(waitForDone ? "waiting for Done" : "not waiting");
        DWORD start = GetTickCount();
        ServiceConversation conversation;
        EXPECT_EQ(static_cast<DWORD>(ERROR_TIMEOUT),
                  AskServiceToList(Sid, ListFile, Profile, waitForDone, &conversation));
        DWORD elapsed = GetTickCount() - start;
        EXPECT_GE(elapsed, 1900u);
        EXPECT_LT(elapsed, 10000u);
        EXPECT_EQ(0u, conversation.replies);
        EXPECT_EQ(static_cast<DWORD>(ERROR_TIMEOUT),
                  ListingOutcome(ERROR_TIMEOUT, conversation, waitForDone));
    }
    // The request itself arrived each time.
    EXPECT_EQ(2u, Requests().size());
}

TEST(ListingOutcome, RefusalsAndTheServicesWayOfEndingAListing) {
    auto with = [](DWORD replies, const wchar_t* first) {
        ServiceConversation c;
        c.replies = replies;
        wcscpy(c.firstReply, first);
        return c;
    };
    // Not waiting: "Start" is the whole answer.
    EXPECT_EQ(0u, ListingOutcome(0, with(1, L"Start"), false));
    // Waiting: "Done", or the pipe closed after "Start", ends a listing; a time-out does not.
    EXPECT_EQ(0u, ListingOutcome(0, with(3, L"Start"), true));
    EXPECT_EQ(0u, ListingOutcome(ERROR_BROKEN_PIPE, with(1, L"Start"), true));
    EXPECT_EQ(static_cast<DWORD>(ERROR_TIMEOUT), ListingOutcome(ERROR_TIMEOUT, with(1, L"Start"), true));
    // The service's refusals, in whatever case, and anything else it might say first.
    EXPECT_EQ(5u, ListingOutcome(0, with(1, L"Access Denied"), false));
    EXPECT_EQ(5u, ListingOutcome(ERROR_BROKEN_PIPE, with(1, L"access denied"), true));
    EXPECT_EQ(87u, ListingOutcome(0, with(1, L"Invalid Parameter"), false));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_DATA), ListingOutcome(0, with(1, L"Working"), false));
    // No reply at all: the client's own code; a closed pipe before any reply is no success.
    EXPECT_EQ(109u, ListingOutcome(ERROR_BROKEN_PIPE, with(0, L""), true));
    EXPECT_EQ(2u, ListingOutcome(2, with(0, L""), false));
}

TEST_F(PipeClient, RefusalIsTheFirstReplyOfTheConversation) {
    Serve(L"refuse");
    ServiceConversation conversation;
    EXPECT_EQ(0u, AskServiceToList(Sid, ListFile, Profile, false, &conversation));
    EXPECT_EQ(1u, conversation.replies);
    EXPECT_STREQ(L"Access Denied", conversation.firstReply);
    EXPECT_EQ(5u, ListingOutcome(0, conversation, false));
}

// Sets the test builds' shorter pause between two attempts to open the pipe for the life of the
// object.
struct ShortRetryPause {
    explicit ShortRetryPause(const wchar_t* ms) { SetEnvironmentVariableW(L"CORVANE_TEST_RETRY_MS", ms); }
    ~ShortRetryPause() { SetEnvironmentVariableW(L"CORVANE_TEST_RETRY_MS", nullptr); }
};

// The waiting request follows one that did not wait; the service, still listing for the first, opens
// no pipe for longer than thirty attempts take (5 s against 30 attempts 100 ms apart). A waiting
// request is given as many attempts as its reply limit allows, so it outlasts the busy service.
// ctest runs it on its own (toolappx_pipe_busy_service).
TEST_F(PipeClient, SlowWaitingRequestOutlastsABusyService) {
    ShortRetryPause pause(L"100");
    ConfigureStandIn(L"busy");
    SetStandInBusyTime(5000);
    InstallStandIn(StandInProgram(), true);
    EXPECT_EQ(0u, GetAppxPackagesBySid(Sid, ListFile, Profile, false));
    DWORD start = GetTickCount();
    ServiceConversation conversation;
    DWORD code = AskServiceToList(Sid, ListFile, Profile, true, &conversation);
    EXPECT_EQ(0u, ListingOutcome(code, conversation, true)) << code;
    // Longer than the thirty attempts a request that does not wait is given.
    EXPECT_GE(GetTickCount() - start, 4000u);
    EXPECT_EQ(2u, Requests().size());
    // The request that does not wait gets only the thirty attempts: against the same busy service it
    // gives up with the open's error before the service is free again.
    EXPECT_EQ(0u, GetAppxPackagesBySid(Sid, ListFile, Profile, false));
    start = GetTickCount();
    EXPECT_NE(0u, GetAppxPackagesBySid(Sid, ListFile, Profile, false));
    EXPECT_LT(GetTickCount() - start, 5000u);
    EXPECT_EQ(3u, Requests().size());
}

// Thirty attempts, 200 ms apart in this test (one second apart in the shipped tool).
// ctest runs it on its own (toolappx_pipe_no_server).
TEST_F(PipeClient, SlowNoServerGivesUpAfterThirtyAttempts) {
    ShortRetryPause pause(L"200");
    DWORD start = GetTickCount();
    EXPECT_EQ(2u, GetAppxPackagesBySid(Sid, ListFile, Profile, false));
    DWORD elapsed = GetTickCount() - start;
    // Thirty pauses of 200 ms: at least 6 s; fewer attempts would end sooner, many more much later.
    EXPECT_GE(elapsed, 5900u);
    EXPECT_LT(elapsed, 9000u);
}

// The pause is the test build's only: a value that is no shorter, or no number, leaves the product's
// own pause, which the shipped build always uses.
TEST(RetryPause, OnlyAShorterNumberReplacesTheProductsPause) {
    struct {
        const wchar_t* text;
        DWORD expected;
    } cases[] = {{L"200", 200},   {L"1", 1},      {L"999", 999},  {L"0", 1000}, {L"1000", 1000},
                 {L"5000", 1000}, {L"abc", 1000}, {L"12x", 1000}, {L"", 1000}};
    for (const auto& c : cases) {
        SCOPED_TRACE(corvane_test::Narrow(c.text));
        ShortRetryPause pause(c.text);
        EXPECT_EQ(c.expected, ProductRetryPause(1000));
    }
    EXPECT_EQ(1000u, ProductRetryPause(1000)); // unset again
}

} // namespace
