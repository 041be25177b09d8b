#include "server/nbServerGuard.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "util/nbLimits.h"

namespace nb {
namespace {

using namespace std::chrono_literals;

// A guard with a clock the test sets and a sleep that only records (or, when asked, blocks until
// released), so that no test waits out a real delay.
class TestGuard : public TnbServerGuard {
public:
    // The per-address login turns have a test of their own; elsewhere they would mix with the
    // delays under test.
    TestGuard() { SetLoginTurnInterval(0); }

    std::atomic<std::uint32_t> Now{100000};
    std::mutex SleepMutex;
    std::vector<std::int32_t> Sleeps;
    std::function<void()> SleepHook;

    std::vector<std::int32_t> TakeSleeps() {
        std::lock_guard lock(SleepMutex);
        return std::exchange(Sleeps, {});
    }

protected:
    std::uint32_t GetTickCount() override { return Now; }
    void SleepLoginDelay(std::int32_t AMilliseconds) override {
        {
            std::lock_guard lock(SleepMutex);
            Sleeps.push_back(AMilliseconds);
        }
        if (SleepHook) {
            SleepHook();
        }
    }
};

// Records every event as "Name ip port [user]" in order.
struct EventLog {
    std::vector<std::string> Lines;

    void Attach(TnbServerGuard& guard) {
        auto connection = [this](const char* name) {
            return [this, name](TnbServerGuard&, const std::string& AIP, std::int32_t APort,
                                std::int32_t) {
                Lines.push_back(std::string(name) + " " + AIP + " " + std::to_string(APort));
            };
        };
        auto user = [this](const char* name) {
            return [this, name](TnbServerGuard&, const std::string& AUserName,
                                const std::string& AIP, std::int32_t APort, std::int32_t) {
                Lines.push_back(std::string(name) + " " + AIP + " " + std::to_string(APort) + " " +
                                AUserName);
            };
        };
        guard.OnAllowConnection = connection("Allow");
        guard.OnBlockConnection = connection("Block");
        guard.OnAddConnection = connection("Add");
        guard.OnRemoveConnection = connection("Remove");
        guard.OnLockUser = user("Lock");
        guard.OnAddUser = user("AddUser");
        guard.OnRemoveUser = user("RemoveUser");
    }
    std::vector<std::string> Take() { return std::exchange(Lines, {}); }
};

using Lines = std::vector<std::string>;

TnbGuardLoginDelay FixedIncrements(std::int32_t increment) {
    TnbGuardLoginDelay delay;
    delay.SetIsRandom(false);
    delay.SetIncrement(increment);
    return delay;
}

TEST(TnbServerGuard, DefaultsAndCopiedSettings) {
    TnbServerGuard guard;
    EXPECT_EQ(guard.ConnectionLimit().Max(), 6);
    EXPECT_EQ(guard.ConnectionLimit().Period(), 60000);
    const TnbGuardLoginDelay delay = guard.LoginDelay();
    EXPECT_EQ(delay.Min(), 10);
    EXPECT_EQ(delay.Max(), 5000);
    EXPECT_EQ(delay.Increment(), 1000);
    EXPECT_TRUE(delay.IsIncremental());
    EXPECT_TRUE(delay.IsRandom());
    EXPECT_TRUE(guard.EnableConnectCheck());
    EXPECT_TRUE(guard.EnableLoginCheck());
    EXPECT_FALSE(guard.AllowWhiteListOnly());
    EXPECT_TRUE(guard.WhiteIPList().empty());

    TnbGuardConnectionLimit limit;
    limit.SetMax(2);
    guard.SetConnectionLimit(limit);
    limit.SetMax(9);
    EXPECT_EQ(guard.ConnectionLimit().Max(), 2) << "the setter copies";

    guard.SetUserRecordLimit(0);
    EXPECT_EQ(guard.UserRecordLimit(), TnbServerGuard::kDefaultUserRecordLimit);
}

TEST(TnbServerGuard, RateWindowIsFixedFromFirstConnection) {
    TestGuard guard;
    EventLog log;
    log.Attach(guard);
    for (int i = 0; i < 6; ++i) {
        EXPECT_TRUE(guard.CheckConnection("192.0.2.1", 21)) << i;
        guard.Now += 1000;
    }
    EXPECT_EQ(log.Take().front(), "Add 192.0.2.1 21");
    EXPECT_FALSE(guard.CheckConnection("192.0.2.1", 21));
    EXPECT_EQ(log.Take(), Lines{"Block 192.0.2.1 21"});
    EXPECT_TRUE(guard.CheckConnection("192.0.2.2", 21)) << "other addresses count apart";

    guard.Now = 100000 + 59999;
    EXPECT_FALSE(guard.CheckConnection("192.0.2.1", 21)) << "refused checks count too";
    guard.Now = 100000 + 60000;
    log.Take();
    EXPECT_TRUE(guard.CheckConnection("192.0.2.1", 21));
    EXPECT_EQ(log.Take(), (Lines{"Remove 192.0.2.1 21", "Add 192.0.2.1 21", "Allow 192.0.2.1 21"}));
    EXPECT_EQ(guard.ConnectionRecordCount(), 2u);
}

TEST(TnbServerGuard, RateWindowSurvivesTickWrap) {
    TestGuard guard;
    TnbGuardConnectionLimit limit;
    limit.SetMax(1);
    limit.SetPeriod(100);
    guard.SetConnectionLimit(limit);
    guard.Now = 0xFFFFFFC0u;
    EXPECT_TRUE(guard.CheckConnection("192.0.2.1", 21));
    guard.Now = 0x00000010u;  // 80 ms later, across the wrap
    EXPECT_FALSE(guard.CheckConnection("192.0.2.1", 21));
    guard.Now = 0x00000030u;  // 112 ms after the first
    EXPECT_TRUE(guard.CheckConnection("192.0.2.1", 21));
}

TEST(TnbServerGuard, BlackAndWhiteListsWithMasks) {
    TestGuard guard;
    EventLog log;
    log.Attach(guard);
    guard.SetBlackIPList({"10.0.0.*", "FE80::1"});
    guard.SetWhiteIPList({"10.0.1.7"});

    EXPECT_FALSE(guard.CheckConnection("10.0.0.7", 21));
    EXPECT_EQ(log.Take(), Lines{"Block 10.0.0.7 21"});
    EXPECT_FALSE(guard.CheckConnection("fe80::1", 21)) << "lists ignore letter case";
    EXPECT_TRUE(guard.CheckConnection("fe80::2", 21)) << "an address without dots has no mask";
    EXPECT_TRUE(guard.CheckConnection("10.0.2.7", 21));
    log.Take();

    for (int i = 0; i < 20; ++i) {
        EXPECT_TRUE(guard.CheckConnection("10.0.1.7", 21));
    }
    EXPECT_EQ(log.Take(), Lines(20, "Allow 10.0.1.7 21"));
    EXPECT_EQ(guard.ConnectionRecordCount(), 2u) << "white-listed addresses get no record";

    EXPECT_TRUE(IsIPListed({"10.0.0.*"}, "10.0.0.255"));
    EXPECT_FALSE(IsIPListed({"10.0.0.*"}, "10.0.10.1"));
    EXPECT_FALSE(IsIPListed({"10.0.*"}, "10.0.0.1")) << "masks cover the last part only";
}

TEST(TnbServerGuard, WhiteListOnlyRefusesOthersSilently) {
    TestGuard guard;
    EventLog log;
    log.Attach(guard);
    guard.SetWhiteIPList({"192.0.2.*"});
    guard.SetAllowWhiteListOnly(true);
    EXPECT_FALSE(guard.CheckConnection("198.51.100.1", 21));
    EXPECT_TRUE(log.Take().empty());
    EXPECT_TRUE(guard.CheckConnection("192.0.2.50", 21));
    EXPECT_EQ(log.Take(), Lines{"Allow 192.0.2.50 21"});
}

TEST(TnbServerGuard, EmptyAddressRefusedAndDisabledCheckAdmitsAll) {
    TestGuard guard;
    EventLog log;
    log.Attach(guard);
    EXPECT_FALSE(guard.CheckConnection("", 21));
    EXPECT_EQ(log.Take(), Lines{"Block  21"});

    guard.SetEnableConnectCheck(false);
    guard.SetBlackIPList({"10.0.0.7"});
    EXPECT_TRUE(guard.CheckConnection("", 21));
    for (int i = 0; i < 10; ++i) {
        EXPECT_TRUE(guard.CheckConnection("10.0.0.7", 21));
    }
    EXPECT_TRUE(log.Take().empty());
    EXPECT_EQ(guard.ConnectionRecordCount(), 0u);
}

TEST(TnbServerGuard, CanConnectHandlerTakesOver) {
    TestGuard guard;
    guard.SetWhiteIPList({"10.0.0.7"});
    guard.SetBlackIPList({"10.0.0.8"});
    guard.OnCanConnect = [](TnbServerGuard&, const std::string& AIP, std::int32_t APort,
                            std::int32_t ATime, bool& Allowed, bool& Handled) {
        EXPECT_FALSE(Allowed);
        EXPECT_FALSE(Handled);
        EXPECT_EQ(APort, 990);
        EXPECT_EQ(ATime, 100000);
        Handled = true;
        Allowed = AIP == "10.0.0.8";
    };
    EXPECT_FALSE(guard.CheckConnection("10.0.0.7", 990));
    EXPECT_TRUE(guard.CheckConnection("10.0.0.8", 990));
}

TEST(TnbServerGuard, FailedLoginsWaitLongerEachTimeUntilSuccess) {
    TestGuard guard;
    EventLog log;
    log.Attach(guard);
    guard.SetLoginDelay(FixedIncrements(1000));
    guard.Now = 0x12345678u;
    std::vector<std::int32_t> times;
    guard.OnAddUser = [&](TnbServerGuard&, const std::string&, const std::string&, std::int32_t,
                          std::int32_t ATime) { times.push_back(ATime); };

    for (int i = 0; i < 3; ++i) {
        EXPECT_FALSE(guard.CheckLogin("alice", false, "192.0.2.1", 21));
    }
    EXPECT_EQ(guard.TakeSleeps(), (std::vector<std::int32_t>{1000, 2000, 3000}));
    EXPECT_EQ(times, std::vector<std::int32_t>{0x5678}) << "one record; login times are 16-bit";

    EXPECT_FALSE(guard.CheckLogin("alice", false, "192.0.2.2", 21));
    EXPECT_FALSE(guard.CheckLogin("Alice", false, "192.0.2.1", 21));
    EXPECT_EQ(guard.TakeSleeps(), (std::vector<std::int32_t>{1000, 1000}))
        << "records are per exact name and address";

    EXPECT_TRUE(guard.CheckLogin("alice", true, "192.0.2.1", 21));
    EXPECT_EQ(log.Take(), Lines{"RemoveUser 192.0.2.1 21 alice"});
    EXPECT_TRUE(guard.TakeSleeps().empty());
    EXPECT_FALSE(guard.CheckLogin("alice", false, "192.0.2.1", 21));
    EXPECT_EQ(guard.TakeSleeps(), std::vector<std::int32_t>{1000}) << "starts afresh";
}

TEST(TnbServerGuard, AGuessingAddressGetsOneAnswerPerTurnWhateverNamesAndConnections) {
    TestGuard guard;
    guard.SetLoginTurnInterval(1000);
    // No delay of its own, so every sleep below is the address's turn.
    TnbGuardLoginDelay none;
    none.SetIsRandom(false);
    none.SetIsIncremental(false);
    guard.SetLoginDelay(none);
    struct Step {
        std::uint32_t advance;  // ms the clock moves first
        const char* user;
        bool success;
        const char* ip;
        std::int32_t sleep;  // -1: none
    };
    const Step steps[] = {
        // A few failures cost nothing.
        {0, "u1", false, "192.0.2.1", -1},
        {0, "u2", false, "192.0.2.1", -1},
        {0, "u3", false, "192.0.2.1", -1},
        // Then each answer waits for the turn after the last one given out, as parallel
        // connections that all guess at once would.
        {0, "u4", false, "192.0.2.1", 1000},
        {0, "u5", false, "192.0.2.1", 2000},
        {500, "u6", false, "192.0.2.1", 2500},
        // The right password waits its turn too, or it would stand out at once.
        {0, "u7", true, "192.0.2.1", 3500},
        // Other addresses are not held up.
        {0, "u1", true, "192.0.2.9", -1},
        {0, "u1", false, "192.0.2.9", -1},
        // Turns that have passed are not owed: the next is a turn from now.
        {10000, "u8", false, "192.0.2.1", 1000},
        // A success does not reset the count; only a long quiet does.
        {5000, "u9", true, "192.0.2.1", 1000},
        {kLoginFailureMemory + 5000, "u9", false, "192.0.2.1", -1},
    };
    for (const Step& step : steps) {
        guard.Now = guard.Now + step.advance;
        EXPECT_EQ(guard.CheckLogin(step.user, step.success, step.ip, 21), step.success);
        const auto sleeps = guard.TakeSleeps();
        EXPECT_EQ(sleeps, step.sleep < 0 ? std::vector<std::int32_t>{}
                                         : std::vector<std::int32_t>{step.sleep})
            << step.user << " from " << step.ip;
    }
}

TEST(TnbServerGuard, DelayModes) {
    TestGuard guard;
    TnbGuardLoginDelay delay;
    delay.SetIsIncremental(false);
    delay.SetMin(10);
    delay.SetMax(20);
    guard.SetLoginDelay(delay);
    for (int i = 0; i < 50; ++i) {
        guard.CheckLogin("bob", false, "192.0.2.1", 21);
    }
    for (std::int32_t slept : guard.TakeSleeps()) {
        EXPECT_GE(slept, 10);
        EXPECT_LT(slept, 20);
    }

    delay.SetIsRandom(false);
    guard.SetLoginDelay(delay);
    EXPECT_FALSE(guard.CheckLogin("bob", false, "192.0.2.1", 21));
    EXPECT_TRUE(guard.TakeSleeps().empty()) << "no wait with both parts off";

    guard.OnGetDelay = [](TnbServerGuard&, TnbGuardUserInfo& AUser, std::int32_t& ADelay,
                          bool& Handled) {
        EXPECT_EQ(AUser.UserName, "bob");
        ADelay = 7;
        Handled = true;
    };
    EXPECT_FALSE(guard.CheckLogin("bob", false, "192.0.2.1", 21));
    EXPECT_EQ(guard.TakeSleeps(), std::vector<std::int32_t>{7});
}

TEST(TnbServerGuard, LockedAndBlackListedLoginsAreRefusedWithoutDelay) {
    TestGuard guard;
    EventLog log;
    log.Attach(guard);
    guard.SetLockedUsers({"Admin"});
    guard.SetBlackIPList({"198.51.100.*"});
    EXPECT_FALSE(guard.CheckLogin("admin", true, "192.0.2.1", 21));
    EXPECT_EQ(log.Take(), Lines{"Lock 192.0.2.1 21 admin"});
    EXPECT_FALSE(guard.CheckLogin("carol", true, "198.51.100.4", 21));
    EXPECT_EQ(log.Take(), Lines{"Block 198.51.100.4 21"});
    EXPECT_TRUE(guard.TakeSleeps().empty());

    guard.SetWhiteIPList({"192.0.2.1"});
    EXPECT_FALSE(guard.CheckLogin("carol", false, "192.0.2.1", 21))
        << "the white list plays no part in logins";
}

TEST(TnbServerGuard, LoginHandlersAndDisabledCheck) {
    TestGuard guard;
    guard.SetLockedUsers({"dave"});
    guard.OnCanLogin = [](TnbServerGuard&, const std::string& AUserName, const std::string&,
                          std::int32_t, std::int32_t, bool& Allowed, bool& Handled) {
        Handled = AUserName == "dave";
        Allowed = true;
    };
    EXPECT_TRUE(guard.CheckLogin("dave", false, "192.0.2.1", 21));

    guard.SetEnableLoginCheck(false);
    EXPECT_TRUE(guard.CheckLogin("erin", true, "", 21));
    EXPECT_FALSE(guard.CheckLogin("erin", false, "", 21));
    EXPECT_TRUE(guard.TakeSleeps().empty());
    EXPECT_EQ(guard.UserRecordCount(), 0u);
}

TEST(TnbServerGuard, FailedLoginRecordsAreCappedKeepingRecentFailures) {
    TestGuard guard;
    guard.SetLoginDelay(FixedIncrements(1));
    guard.SetUserRecordLimit(50);
    std::vector<std::string> removed;
    guard.OnRemoveUser = [&](TnbServerGuard&, const std::string& AUserName, const std::string&,
                             std::int32_t, std::int32_t) { removed.push_back(AUserName); };
    auto spray = [&](int from, int to) {
        for (int i = from; i < to; ++i) {
            guard.CheckLogin("spray" + std::to_string(i), false, "192.0.2.9", 21);
        }
    };

    guard.CheckLogin("target", false, "192.0.2.1", 21);
    spray(0, 49);
    guard.CheckLogin("target", false, "192.0.2.1", 21);
    spray(49, 50);
    EXPECT_EQ(removed, std::vector<std::string>{"spray0"})
        << "the name that failed longest ago goes, not the recently failed target";
    EXPECT_EQ(guard.UserRecordCount(), 50u);
    guard.TakeSleeps();
    guard.CheckLogin("target", false, "192.0.2.1", 21);
    EXPECT_EQ(guard.TakeSleeps(), std::vector<std::int32_t>{3}) << "its delay keeps growing";

    spray(50, 1000);
    EXPECT_EQ(guard.UserRecordCount(), 50u);
    EXPECT_EQ(removed.size(), 951u);
    guard.TakeSleeps();
    guard.CheckLogin("target", false, "192.0.2.1", 21);
    EXPECT_EQ(guard.TakeSleeps(), std::vector<std::int32_t>{1}) << "evicted once it went quiet";
}

TEST(TnbServerGuard, ConnectionRecordsAreCapped) {
    TestGuard guard;
    guard.SetConnectionRecordLimit(10);
    for (int i = 0; i < 100; ++i) {
        EXPECT_TRUE(guard.CheckConnection("192.0.2." + std::to_string(i), 21));
    }
    EXPECT_EQ(guard.ConnectionRecordCount(), 10u);
    guard.Reset();
    EXPECT_EQ(guard.ConnectionRecordCount(), 0u);
}

TEST(TnbServerGuard, LoginDelayDoesNotHoldTheGuard) {
    TestGuard guard;
    guard.SetLoginDelay(FixedIncrements(1000));
    std::promise<void> sleeping;
    std::promise<void> release;
    auto released = release.get_future().share();
    std::atomic<bool> sleepTimedOut{false};
    guard.SleepHook = [&] {
        sleeping.set_value();
        // Bounded, so a guard that wrongly held its lock fails the test instead of hanging it.
        sleepTimedOut = released.wait_for(10s) == std::future_status::timeout;
    };
    auto login = std::async(std::launch::async,
                            [&] { return guard.CheckLogin("frank", false, "192.0.2.1", 21); });
    sleeping.get_future().wait();

    EXPECT_TRUE(guard.CheckConnection("192.0.2.1", 21));
    EXPECT_TRUE(guard.CheckLogin("grace", true, "192.0.2.2", 21));
    EXPECT_EQ(guard.UserRecordCount(), 1u);
    release.set_value();
    EXPECT_FALSE(login.get());
    EXPECT_FALSE(sleepTimedOut) << "other checks ran while the login slept";
}

TEST(TnbServerGuard, RealDelayIsSleptOnTheCallingThread) {
    TnbServerGuard guard;
    guard.SetLoginDelay(FixedIncrements(30));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(guard.CheckLogin("heidi", false, "127.0.0.1", 21));
    EXPECT_GE(std::chrono::steady_clock::now() - start, 30ms);
}

TEST(TnbServerGuard, CancelledDelaysEndAtOnceAndTheLoginStillFails) {
    TnbServerGuard guard;
    guard.SetLoginDelay(FixedIncrements(60000));
    const auto start = std::chrono::steady_clock::now();
    std::atomic<bool> sleeping{false};
    auto login = std::async(std::launch::async, [&] {
        sleeping = true;
        return guard.CheckLogin("heidi", false, "127.0.0.1", 21);
    });
    // Cancel until the login returns: a cancel that comes before the sleep starts ends nothing.
    while (login.wait_for(10ms) != std::future_status::ready) {
        if (sleeping)
            guard.CancelLoginDelays();
    }
    EXPECT_FALSE(login.get());
    EXPECT_LT(std::chrono::steady_clock::now() - start, 30s) << "the minute's delay was cut short";
}

TEST(TnbServerGuard, ConcurrentChecksKeepConsistentRecords) {
    TestGuard guard;
    TnbGuardConnectionLimit limit;
    limit.SetMax(1000);
    guard.SetConnectionLimit(limit);
    guard.SetLoginDelay(FixedIncrements(1));
    std::atomic<int> admitted{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            const std::string ip = "192.0.2." + std::to_string(t);
            for (int i = 0; i < 100; ++i) {
                admitted += guard.CheckConnection(ip, 21) ? 1 : 0;
                guard.CheckLogin("user", i % 10 == 9, ip, 21);
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(admitted, 400);
    EXPECT_EQ(guard.ConnectionRecordCount(), 4u);
    EXPECT_EQ(guard.UserRecordCount(), 0u) << "every tenth login succeeded, last one included";
}

}  // namespace
}  // namespace nb
