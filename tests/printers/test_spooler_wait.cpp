// The spooler's stop wait, shown with fakespooler.exe standing in for "Spooler": Wine's spooler
// always stops within a poll or two, so a slow stop and one that never comes need the stand-in.
#include "printers/mounted_hive.h"
#include "printers/spooler_control.h"
#include "profile/printers.h"

#include <gtest/gtest.h>

#include <sstream>

using namespace corvane_test;

namespace {

struct Event {
    std::string what;
    unsigned long processId;
};

// The stand-in's log: one "<event> <process id>" line per start, stop request and stop.
std::vector<Event> StandInEvents() {
    std::istringstream log(ReadFileBytes(L"C:\\corvane-scratch\\fakespooler\\events.log"));
    std::vector<Event> events;
    Event e;
    while (log >> e.what >> e.processId)
        events.push_back(e);
    return events;
}

// The event names in order. Whether the service database is locked at the stop request is not
// among them: Wine's LockServiceDatabase is a stub that hands out a dummy lock, so no test here can
// see the lock.
std::string Names(const std::vector<Event>& events) {
    std::string names;
    for (const auto& e : events)
        names += e.what + " ";
    return names;
}

TEST(SpoolerWait, SlowStopIsWaitedForThenStarted) {
    SpoolerGuard spooler;
    ASSERT_NO_FATAL_FAILURE(spooler.Prepare(true, SERVICE_DEMAND_START, L"slow 4000"));
    DWORD started = GetTickCount();
    EXPECT_EQ(0u, RestartSpooler());
    DWORD elapsed = GetTickCount() - started;

    EXPECT_GE(elapsed, 4000u);
    EXPECT_LT(elapsed, 4000u + 2000u) << "polls are 500 ms apart";
    ASSERT_TRUE(WaitForSpooler(SERVICE_RUNNING, 10000));
    EXPECT_EQ(static_cast<DWORD>(SERVICE_AUTO_START), QuerySpooler().startType);
    std::vector<Event> events = StandInEvents();
    ASSERT_EQ("start stop-request stopped start ", Names(events));
    EXPECT_EQ(events.front().processId, events[events.size() - 2].processId);
    EXPECT_NE(events.front().processId, events.back().processId);
}

// Sixty polls of 500 ms, then the start is tried anyway and refused.
TEST(SpoolerWait, StopThatNeverComesEndsAfterThirtySeconds) {
    SpoolerGuard spooler;
    ASSERT_NO_FATAL_FAILURE(spooler.Prepare(true, SERVICE_DEMAND_START, L"never"));
    DWORD started = GetTickCount();
    EXPECT_EQ(static_cast<DWORD>(ERROR_SERVICE_ALREADY_RUNNING), RestartSpooler());
    DWORD elapsed = GetTickCount() - started;

    EXPECT_GE(elapsed, 30000u);
    EXPECT_LT(elapsed, 36000u);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_STOP_PENDING), QuerySpooler().state);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_AUTO_START), QuerySpooler().startType);
    EXPECT_EQ("start stop-request ", Names(StandInEvents()));
}

} // namespace
