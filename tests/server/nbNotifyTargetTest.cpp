// The listener's epoll target: keyed notifications, renewal semantics, timer and stop.
#include "server/nbNotifyTarget.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "net/nbWinSock2.h"

namespace nb {
namespace {

// A connected pair of stream sockets, closed at the end of the test.
struct TSocketPair {
    int fd[2] = {-1, -1};
    TSocketPair() { EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, fd), 0); }
    ~TSocketPair() {
        for (int f : fd)
            if (f >= 0)
                ::close(f);
    }
    void CloseEnd(int i) {
        ::close(fd[i]);
        fd[i] = -1;
    }
};

// One Wait that cannot hang the test: a watchdog timer ends it.
TnbNotifyWaitResult WaitOnce(TnbNotifyTarget& target, std::uint32_t watchdogMs = 2000) {
    target.SetTimer(watchdogMs);
    TnbNotifyWaitResult result;
    target.Wait(result);
    target.KillTimer();
    return result;
}

int EventsOf(const TnbNotifyWaitResult& result, std::uint64_t key) {
    int events = 0;
    for (const auto& n : result.Sockets)
        if (n.Key == key)
            events |= n.Events;
    return events;
}

TEST(TnbNotifyTarget, ReportsEventsUnderTheCallersKeyAndRenewalReportsPendingDataAgain) {
    TnbNotifyTarget target;
    TSocketPair pair;
    const std::uint64_t key = 1000;
    target.Add(pair.fd[0], key, FD_READ | FD_CLOSE, false);
    ASSERT_EQ(::write(pair.fd[1], "x", 1), 1);
    auto result = WaitOnce(target);
    EXPECT_EQ(EventsOf(result, key) & FD_READ, FD_READ);
    EXPECT_FALSE(result.Timer);

    // The data is still unread: a renewal reports it again (edge-triggered otherwise stays
    // quiet), and a suspended selection does not.
    ASSERT_TRUE(target.Modify(pair.fd[0], key, FD_CLOSE));
    ASSERT_TRUE(target.Modify(pair.fd[0], key, FD_READ | FD_CLOSE));
    result = WaitOnce(target);
    EXPECT_EQ(EventsOf(result, key) & FD_READ, FD_READ);
}

TEST(TnbNotifyTarget, HangUpIsReportedAsCloseAndAClosedHandleCannotBeModified) {
    TnbNotifyTarget target;
    TSocketPair pair;
    target.Add(pair.fd[0], 77, FD_READ | FD_WRITE | FD_CLOSE, false);
    pair.CloseEnd(1);
    auto result = WaitOnce(target);
    EXPECT_EQ(EventsOf(result, 77) & FD_CLOSE, FD_CLOSE);

    const int handle = pair.fd[0];
    pair.CloseEnd(0);
    EXPECT_FALSE(target.Modify(handle, 77, FD_READ));
    target.Remove(handle);  // harmless
}

TEST(TnbNotifyTarget, TimerIsOneShotAndAZeroPeriodStillFires) {
    TnbNotifyTarget target;
    target.SetTimer(0);
    TnbNotifyWaitResult result;
    target.Wait(result);
    EXPECT_TRUE(result.Timer);
    EXPECT_FALSE(result.Stop);

    // Killed timers do not fire: only the stop signal ends this wait.
    target.SetTimer(20);
    target.KillTimer();
    std::thread stopper([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        target.Signal();
    });
    target.Wait(result);
    stopper.join();
    EXPECT_TRUE(result.Stop);
    EXPECT_FALSE(result.Timer);
}

TEST(TnbNotifyTarget, StopSignalIsConsumedByTheWaitThatSeesIt) {
    TnbNotifyTarget target;
    target.Signal();
    target.Signal();  // still one stop
    TnbNotifyWaitResult result;
    target.Wait(result);
    EXPECT_TRUE(result.Stop);
    result = WaitOnce(target, 50);
    EXPECT_FALSE(result.Stop);
    EXPECT_TRUE(result.Timer);
}

}  // namespace
}  // namespace nb
