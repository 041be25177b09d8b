#include "server/nbThreadPool.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <future>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

namespace nb {
namespace {

using namespace std::chrono_literals;

// Polls a condition until it holds or a generous deadline passes (loaded CI boxes are slow).
bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds limit = 10s) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

// A gate that items wait at until the test opens it.
class Gate {
public:
    void Open() {
        std::lock_guard lock(mutex_);
        open_ = true;
        cv_.notify_all();
    }
    void Wait() {
        std::unique_lock lock(mutex_);
        cv_.wait(lock, [this] { return open_; });
    }

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    bool open_ = false;
};

struct OpenAtExit {
    std::vector<Gate*> Gates;
    OpenAtExit(std::initializer_list<Gate*> gates) : Gates(gates) {}
    ~OpenAtExit() {
        for (Gate* gate : Gates) {
            gate->Open();
        }
    }
};

struct Counters {
    std::atomic<int> started{0};
    std::atomic<int> finished{0};
    std::atomic<int> destroyed{0};
};

// Counts its run and its destruction; optionally waits at a gate or runs a callback.
class TestItem : public TnbWorkItem {
public:
    explicit TestItem(Counters& counters, Gate* gate = nullptr,
                      std::function<void(TnbWorkerThread&)> body = nullptr)
        : counters_(counters), gate_(gate), body_(std::move(body)) {}
    ~TestItem() override { ++counters_.destroyed; }

    void Execute(TnbWorkerThread& AThread) override {
        ++counters_.started;
        if (gate_ != nullptr) {
            gate_->Wait();
        }
        if (body_) {
            body_(AThread);
        }
        ++counters_.finished;
    }

private:
    Counters& counters_;
    Gate* gate_;
    std::function<void(TnbWorkerThread&)> body_;
};

std::unique_ptr<TnbWorkItem> MakeItem(Counters& counters, Gate* gate = nullptr,
                                      std::function<void(TnbWorkerThread&)> body = nullptr) {
    return std::make_unique<TestItem>(counters, gate, std::move(body));
}

TEST(TnbThreadPool, CountSettersIgnoreValuesOutOfRange) {
    TnbThreadPool pool;
    EXPECT_EQ(pool.MinThreadCount(), 1);
    EXPECT_EQ(pool.MaxThreadCount(), 5);
    EXPECT_FALSE(pool.InitializeCOM());

    pool.SetMaxThreadCount(1);
    pool.SetMaxThreadCount(65);
    EXPECT_EQ(pool.MaxThreadCount(), 5);
    pool.SetMaxThreadCount(2);
    EXPECT_EQ(pool.MaxThreadCount(), 2);
    pool.SetMaxThreadCount(64);
    EXPECT_EQ(pool.MaxThreadCount(), 64);

    pool.SetMinThreadCount(0);
    pool.SetMinThreadCount(65);
    pool.SetMinThreadCount(-3);
    EXPECT_EQ(pool.MinThreadCount(), 1);
    pool.SetMinThreadCount(64);
    EXPECT_EQ(pool.MinThreadCount(), 64);
}

TEST(TnbThreadPool, RunsItemWithEventsOnTheRightThreadsAndFreesIt) {
    Counters counters;
    TnbThreadPool pool;
    std::mutex mutex;
    std::vector<std::string> events;
    std::thread::id queueThread, runThread, executeThread, finishThread;
    auto log = [&](const std::string& text) {
        std::lock_guard lock(mutex);
        events.push_back(text);
    };
    pool.OnQueueWorkItem = [&](TnbThreadPool& Sender, TnbWorkItem&) {
        EXPECT_EQ(&Sender, &pool);
        queueThread = std::this_thread::get_id();
        log("queue");
    };
    pool.OnRunWorkItem = [&](TnbThreadPool&, TnbWorkItem&, TnbWorkerThread& AThread) {
        EXPECT_TRUE(AThread.Busy());
        runThread = std::this_thread::get_id();
        log("run");
    };
    pool.OnFinishWorkItem = [&](TnbThreadPool&, TnbWorkItem&, TnbWorkerThread&, bool ATerminated) {
        EXPECT_FALSE(ATerminated);
        finishThread = std::this_thread::get_id();
        log("finish");
    };

    EXPECT_EQ(pool.ThreadCount(), 0u) << "workers are created lazily";
    ASSERT_TRUE(pool.QueueWorkItem(MakeItem(counters, nullptr, [&](TnbWorkerThread& AThread) {
        EXPECT_EQ(&AThread.Pool(), &pool);
        executeThread = std::this_thread::get_id();
        log("execute");
    })));
    ASSERT_TRUE(WaitUntil([&] { return counters.destroyed == 1; }));
    EXPECT_EQ(pool.ThreadCount(), 1u);

    std::lock_guard lock(mutex);
    EXPECT_EQ(events, (std::vector<std::string>{"queue", "run", "execute", "finish"}));
    EXPECT_EQ(queueThread, std::this_thread::get_id());
    EXPECT_NE(runThread, std::this_thread::get_id());
    EXPECT_EQ(runThread, executeThread);
    EXPECT_EQ(runThread, finishThread);
}

TEST(TnbThreadPool, SixthItemWaitsUntilOneOfFiveBusyWorkersIsFree) {
    Counters counters;
    Gate first, others;
    TnbThreadPool pool;
    // Opened first on the way out, so a failed assertion cannot leave Stop waiting forever.
    OpenAtExit opener{&first, &others};
    ASSERT_TRUE(pool.QueueWorkItem(MakeItem(counters, &first)));
    for (int i = 0; i < 4; ++i) {
        ASSERT_TRUE(pool.QueueWorkItem(MakeItem(counters, &others)));
    }
    ASSERT_TRUE(WaitUntil([&] { return counters.started == 5; }));
    EXPECT_EQ(pool.ThreadCount(), 5u);

    ASSERT_TRUE(pool.QueueWorkItem(MakeItem(counters)));
    EXPECT_EQ(pool.QueuedCount(), 1u);
    EXPECT_EQ(pool.ThreadCount(), 5u);
    EXPECT_EQ(counters.started, 5);

    first.Open();
    ASSERT_TRUE(WaitUntil([&] { return counters.finished == 2; }))
        << "the queued item starts once a worker is free";
    EXPECT_EQ(pool.QueuedCount(), 0u);
    others.Open();
    ASSERT_TRUE(WaitUntil([&] { return counters.destroyed == 6; }));
}

TEST(TnbThreadPool, ShrinksBackToMinimumAfterBurst) {
    Counters counters;
    Gate gate;
    TnbThreadPool pool;
    // Opened first on the way out, so a failed assertion cannot leave Stop waiting forever.
    OpenAtExit opener{&gate};
    pool.SetMinThreadCount(2);
    ASSERT_TRUE(pool.QueueWorkItem(MakeItem(counters, &gate)));
    EXPECT_EQ(pool.ThreadCount(), 2u) << "the first item tops the pool up to the minimum";
    for (int i = 0; i < 4; ++i) {
        ASSERT_TRUE(pool.QueueWorkItem(MakeItem(counters, &gate)));
    }
    ASSERT_TRUE(WaitUntil([&] { return counters.started == 5; }));
    EXPECT_EQ(pool.ThreadCount(), 5u);
    gate.Open();
    ASSERT_TRUE(WaitUntil([&] { return counters.destroyed == 5 && pool.BusyCount() == 0; }));
    EXPECT_EQ(pool.ThreadCount(), 5u) << "idle workers stay until work is queued";

    ASSERT_TRUE(pool.QueueWorkItem(MakeItem(counters)));
    EXPECT_EQ(pool.ThreadCount(), 2u);
    ASSERT_TRUE(WaitUntil([&] { return counters.destroyed == 6; }));
}

TEST(TnbThreadPool, StopDiscardsQueuedItemsAndWaitsForRunningOnes) {
    Counters counters;
    Gate gate;
    TnbThreadPool pool;
    // Opened first on the way out, so a failed assertion cannot leave Stop waiting forever.
    OpenAtExit opener{&gate};
    pool.SetMaxThreadCount(2);
    std::atomic<int> runEvents{0};
    std::atomic<int> terminatedFinishes{0};
    pool.OnRunWorkItem = [&](TnbThreadPool&, TnbWorkItem&, TnbWorkerThread&) { ++runEvents; };
    pool.OnFinishWorkItem = [&](TnbThreadPool&, TnbWorkItem&, TnbWorkerThread&, bool ATerminated) {
        terminatedFinishes += ATerminated ? 1 : 0;
    };
    for (int i = 0; i < 5; ++i) {
        ASSERT_TRUE(pool.QueueWorkItem(MakeItem(counters, &gate)));
    }
    ASSERT_TRUE(WaitUntil([&] { return counters.started == 2; }));
    EXPECT_EQ(pool.QueuedCount(), 3u);

    auto stopped = std::async(std::launch::async, [&] { pool.Stop(); });
    ASSERT_TRUE(WaitUntil([&] { return counters.destroyed == 3; }))
        << "queued items are freed at once";
    EXPECT_EQ(stopped.wait_for(20ms), std::future_status::timeout)
        << "Stop waits for the running items";
    gate.Open();
    stopped.get();

    EXPECT_EQ(counters.started, 2);
    EXPECT_EQ(counters.finished, 2);
    EXPECT_EQ(counters.destroyed, 5);
    EXPECT_EQ(runEvents, 2);
    EXPECT_EQ(terminatedFinishes, 2);
    EXPECT_EQ(pool.ThreadCount(), 0u);
    EXPECT_EQ(pool.QueuedCount(), 0u);
}

TEST(TnbThreadPool, StoppedPoolCreatesWorkersAgainOnTheNextItem) {
    Counters counters;
    TnbThreadPool pool;
    std::atomic<int> queueEvents{0};
    pool.OnQueueWorkItem = [&](TnbThreadPool&, TnbWorkItem&) { ++queueEvents; };
    ASSERT_TRUE(pool.QueueWorkItem(MakeItem(counters)));
    ASSERT_TRUE(WaitUntil([&] { return counters.destroyed == 1; }));
    pool.Stop();
    EXPECT_EQ(pool.ThreadCount(), 0u);

    // No item may be lost after a stop: the next one runs on a fresh worker.
    ASSERT_TRUE(pool.QueueWorkItem(MakeItem(counters)));
    ASSERT_TRUE(WaitUntil([&] { return counters.started == 2 && counters.destroyed == 2; }));
    EXPECT_EQ(queueEvents, 2);
    EXPECT_EQ(pool.ThreadCount(), 1u);
}

TEST(TnbThreadPool, ItemsQueuedWhileStopRunsAreRunOrDiscardedNeverLost) {
    for (int round = 0; round < 10; ++round) {
        Counters counters;
        std::atomic<int> queued{0};
        {
            TnbThreadPool pool;
            std::atomic<bool> quit{false};
            auto queueing = [&] {
                while (!quit) {
                    if (pool.QueueWorkItem(MakeItem(counters))) {
                        ++queued;
                    }
                }
            };
            std::thread a(queueing), b(queueing);
            ASSERT_TRUE(WaitUntil([&] { return counters.started > 20; }));
            pool.Stop();
            std::this_thread::sleep_for(2ms);
            quit = true;
            a.join();
            b.join();
        }
        // Every item the pool took was freed exactly once, run or not.
        EXPECT_EQ(counters.destroyed, queued.load());
        EXPECT_LE(counters.started, queued.load());
    }
}

// Items that wait inside a blocking section do not count against MaxThreadCount: others run
// meanwhile on new workers, at most MaxThreadCount of them outside sections at any moment;
// workers coming back wait for a place and go before queued items; surplus workers end.
TEST(TnbThreadPool, BlockingSectionsLeaveMaxThreadCountToItemsThatRun) {
    Counters counters;
    Gate blocked, plain;
    TnbThreadPool pool;
    OpenAtExit opener{&blocked, &plain};
    pool.SetMaxThreadCount(2);
    std::atomic<int> running{0}, peak{0}, inSection{0}, cameBack{0};
    std::mutex orderMutex;
    std::vector<char> order;  // 'b': a blocker came back, 'q': the queued plain item started
    auto countRunning = [&](char tag) {
        const int now = ++running;
        int seen = peak.load();
        while (now > seen && !peak.compare_exchange_weak(seen, now)) {
        }
        std::lock_guard lock(orderMutex);
        order.push_back(tag);
    };
    auto blocker = [&](TnbWorkerThread&) {
        {
            TnbBlockingSection section;
            TnbBlockingSection nested;  // nesting counts once
            ++inSection;
            blocked.Wait();
        }
        ++cameBack;
        countRunning('b');
        --running;
    };
    auto plainItem = [&](char tag) {
        return [&, tag](TnbWorkerThread&) {
            countRunning(tag);
            plain.Wait();
            --running;
        };
    };

    ASSERT_TRUE(pool.QueueWorkItem(MakeItem(counters, nullptr, blocker)));
    ASSERT_TRUE(pool.QueueWorkItem(MakeItem(counters, nullptr, blocker)));
    ASSERT_TRUE(WaitUntil([&] { return inSection == 2; }));
    EXPECT_EQ(pool.BlockingCount(), 2u);
    EXPECT_EQ(pool.RunningCount(), 0u);

    ASSERT_TRUE(pool.QueueWorkItem(MakeItem(counters, nullptr, plainItem('p'))));
    ASSERT_TRUE(pool.QueueWorkItem(MakeItem(counters, nullptr, plainItem('p'))));
    ASSERT_TRUE(WaitUntil([&] { return running == 2; }))
        << "two waiting items must not keep the others from running";
    EXPECT_EQ(pool.ThreadCount(), 4u);
    ASSERT_TRUE(pool.QueueWorkItem(MakeItem(counters, nullptr, plainItem('q'))));
    EXPECT_EQ(pool.QueuedCount(), 1u) << "MaxThreadCount still bounds the items that run";

    blocked.Open();
    ASSERT_TRUE(WaitUntil([&] { return pool.RunningCount() == 2 && inSection == 2; }));
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(cameBack, 0) << "coming back waits for a place";
    EXPECT_EQ(pool.BlockingCount(), 2u);

    plain.Open();
    ASSERT_TRUE(WaitUntil([&] { return counters.destroyed == 5; }));
    EXPECT_LE(peak, 2);
    {
        std::lock_guard lock(orderMutex);
        ASSERT_EQ(order.size(), 5u);
        // The queued item can start only once an item that ran after a worker came back has
        // ended (the places freed meanwhile went to the workers coming back).
        EXPECT_EQ(order[2], 'b') << "workers coming back go before queued items";
    }
    ASSERT_TRUE(WaitUntil([&] { return pool.ThreadCount() == 2; }))
        << "the workers made for the waiting items end once they are surplus";
    EXPECT_EQ(pool.BlockingCount(), 0u);
    EXPECT_EQ(pool.RunningCount(), 0u);
}

// Stop waits for an item inside a blocking section, and lets workers that wait to come back
// finish their items at once instead of waiting for a place.
TEST(TnbThreadPool, StopDuringBlockingSections) {
    Counters counters;
    Gate returning, inside, plain;
    TnbThreadPool pool;
    OpenAtExit opener{&returning, &inside, &plain};
    pool.SetMaxThreadCount(2);
    std::atomic<int> entered{0}, tails{0};
    auto blocker = [&](Gate& gate) {
        return [&](TnbWorkerThread&) {
            {
                TnbBlockingSection section;
                ++entered;
                gate.Wait();
            }
            ++tails;
        };
    };
    ASSERT_TRUE(pool.QueueWorkItem(MakeItem(counters, nullptr, blocker(returning))));
    ASSERT_TRUE(pool.QueueWorkItem(MakeItem(counters, nullptr, blocker(returning))));
    ASSERT_TRUE(pool.QueueWorkItem(MakeItem(counters, nullptr, blocker(inside))));
    ASSERT_TRUE(WaitUntil([&] { return entered == 3; }));
    ASSERT_TRUE(pool.QueueWorkItem(MakeItem(counters, &plain)));
    ASSERT_TRUE(pool.QueueWorkItem(MakeItem(counters, &plain)));
    ASSERT_TRUE(WaitUntil([&] { return counters.started == 5; }));
    returning.Open();  // two come back to a full pool and wait

    auto stopped = std::async(std::launch::async, [&] { pool.Stop(); });
    ASSERT_TRUE(WaitUntil([&] { return tails == 2; }))
        << "a stopping pool no longer holds workers back";
    EXPECT_EQ(stopped.wait_for(20ms), std::future_status::timeout)
        << "Stop waits for the item in its blocking section and the running ones";
    inside.Open();
    plain.Open();
    stopped.get();
    EXPECT_EQ(tails, 3);
    EXPECT_EQ(counters.destroyed, 5);
    EXPECT_EQ(pool.ThreadCount(), 0u);
    EXPECT_EQ(pool.BlockingCount(), 0u);

    // A section outside any worker does nothing.
    { TnbBlockingSection section; }
    ASSERT_TRUE(pool.QueueWorkItem(MakeItem(counters)));
    ASSERT_TRUE(WaitUntil([&] { return counters.destroyed == 6; }));
}

TEST(TnbThreadPool, ExceptionsFromItemsAndEventsNeverEndAWorker) {
    Counters counters;
    TnbThreadPool pool;
    pool.SetMaxThreadCount(2);
    std::atomic<int> finishes{0};
    std::atomic<bool> failRun{false};
    pool.OnRunWorkItem = [&](TnbThreadPool&, TnbWorkItem&, TnbWorkerThread&) {
        if (failRun) {
            throw std::runtime_error("run handler failed");
        }
    };
    pool.OnFinishWorkItem = [&](TnbThreadPool&, TnbWorkItem&, TnbWorkerThread&, bool) {
        ++finishes;
    };

    ASSERT_TRUE(pool.QueueWorkItem(
        MakeItem(counters, nullptr, [](TnbWorkerThread&) { throw std::runtime_error("boom"); })));
    ASSERT_TRUE(WaitUntil([&] { return counters.destroyed == 1; }));
    EXPECT_EQ(finishes, 0) << "no finish event after Execute raised";

    failRun = true;
    ASSERT_TRUE(pool.QueueWorkItem(MakeItem(counters)));
    ASSERT_TRUE(WaitUntil([&] { return counters.destroyed == 2; }));
    EXPECT_EQ(counters.started, 1) << "an item whose run event raised is not executed";

    failRun = false;
    ASSERT_TRUE(pool.QueueWorkItem(MakeItem(counters)));
    ASSERT_TRUE(WaitUntil([&] { return counters.destroyed == 3; }));
    EXPECT_EQ(counters.started, 2);
    EXPECT_EQ(finishes, 1);
    EXPECT_EQ(pool.ThreadCount(), 1u) << "the same worker carried on";
}

TEST(TnbThreadPool, FailureToCreateWorkerPropagatesAndFreesItem) {
    Counters counters;
    TnbThreadPool pool;
    pool.OnCreateWorkerThread = [](TnbThreadPool&, std::unique_ptr<TnbWorkerThread>&) {
        throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
    };
    EXPECT_THROW(pool.QueueWorkItem(MakeItem(counters)), std::system_error);
    EXPECT_EQ(counters.destroyed, 1);
    EXPECT_EQ(counters.started, 0);
    EXPECT_EQ(pool.ThreadCount(), 0u);

    pool.OnCreateWorkerThread = nullptr;
    ASSERT_TRUE(pool.QueueWorkItem(MakeItem(counters)));
    ASSERT_TRUE(WaitUntil([&] { return counters.destroyed == 2 && counters.started == 1; }));
}

class CustomWorker : public TnbWorkerThread {
public:
    using TnbWorkerThread::TnbWorkerThread;
};

TEST(TnbThreadPool, WorkerKindFollowsInitializeCOMAndCreateEvent) {
    Counters counters;
    TnbThreadPool pool;
    pool.SetInitializeCOM(true);
    std::atomic<int> comRuns{0};
    std::atomic<int> customRuns{0};
    pool.OnRunWorkItem = [&](TnbThreadPool&, TnbWorkItem&, TnbWorkerThread& AThread) {
        comRuns += dynamic_cast<TnbWorkerThreadCom*>(&AThread) != nullptr ? 1 : 0;
        customRuns += dynamic_cast<CustomWorker*>(&AThread) != nullptr ? 1 : 0;
    };
    ASSERT_TRUE(pool.QueueWorkItem(MakeItem(counters)));
    ASSERT_TRUE(WaitUntil([&] { return counters.destroyed == 1; }));
    EXPECT_EQ(comRuns, 1);
    pool.Stop();

    pool.OnCreateWorkerThread = [](TnbThreadPool& Sender, std::unique_ptr<TnbWorkerThread>& T) {
        EXPECT_EQ(T, nullptr);
        T = std::make_unique<CustomWorker>(Sender);
    };
    ASSERT_TRUE(pool.QueueWorkItem(MakeItem(counters)));
    ASSERT_TRUE(WaitUntil([&] { return counters.destroyed == 2; }));
    EXPECT_EQ(customRuns, 1);
    EXPECT_EQ(comRuns, 1);

    TnbThreadPool other;
    pool.OnCreateWorkerThread = [&](TnbThreadPool&, std::unique_ptr<TnbWorkerThread>& T) {
        T = std::make_unique<TnbWorkerThread>(other);
    };
    pool.Stop();
    EXPECT_THROW(pool.QueueWorkItem(MakeItem(counters)), std::invalid_argument);
    EXPECT_EQ(counters.destroyed, 3);
}

TEST(TnbThreadPool, ItemsMayQueueMoreWorkButNotStopTheirOwnPool) {
    Counters counters;
    TnbThreadPool pool;
    std::atomic<bool> stopRefused{false};
    ASSERT_TRUE(pool.QueueWorkItem(MakeItem(counters, nullptr, [&](TnbWorkerThread&) {
        try {
            pool.Stop();
        } catch (const std::logic_error&) {
            stopRefused = true;
        }
        pool.QueueWorkItem(MakeItem(counters));
    })));
    ASSERT_TRUE(WaitUntil([&] { return counters.destroyed == 2; }));
    EXPECT_TRUE(stopRefused);
    EXPECT_EQ(counters.started, 2);
}

}  // namespace
}  // namespace nb
