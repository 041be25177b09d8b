// A small pool of worker threads that runs queued work items.
//
// TnbThreadPool keeps at least MinThreadCount workers once work has arrived, creates more on
// demand up to MaxThreadCount, queues items (first in, first out) while every worker is busy and
// releases idle workers above the minimum whenever work is queued, so it shrinks after a burst.
//
// Blocking sections: an item that waits on something other than the CPU (a transfer that waits
// for its peer, a data connection's accept or connect, the TLS handshake of a data connection)
// marks that stretch with a TnbBlockingSection. While inside, its worker does not count against
// MaxThreadCount: the pool hands the next queued item to another worker, creating one when none
// is idle. On leaving, the worker waits until it may run within MaxThreadCount again (workers
// coming back go before queued items). So MaxThreadCount bounds the threads that run items'
// code at any moment, while items that wait never keep other items waiting. Workers above the
// count that find no work once they are done end by themselves.
//
// Ownership: the pool owns every item from the moment QueueWorkItem takes it and frees it after
// Execute has returned, or without running it when Stop discards it. The pool owns its workers.
//
// Threads: QueueWorkItem and Stop may be called from any thread, except that Stop must not be
// called from one of the pool's own workers (it would wait for itself; it raises instead).
// Event handlers are bound before work is queued and not changed while the pool runs.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace nb {

class TnbThreadPool;
class TnbWorkerThread;

// One unit of work. Subclasses put their work in Execute, which runs on a worker thread.
// Exceptions thrown by Execute are swallowed by the worker; items that need to report a failure
// do it themselves.
class TnbWorkItem {
public:
    TnbWorkItem() = default;
    virtual ~TnbWorkItem() = default;
    TnbWorkItem(const TnbWorkItem&) = delete;
    TnbWorkItem& operator=(const TnbWorkItem&) = delete;

    virtual void Execute(TnbWorkerThread& AThread) = 0;
};

// One worker of a pool. Created by the pool (or supplied through OnCreateWorkerThread, built for
// that pool); the pool starts it and owns it. Destroying a worker stops it and waits for its
// thread to end; an item assigned to it but not yet run is freed without running.
class TnbWorkerThread {
public:
    explicit TnbWorkerThread(TnbThreadPool& APool);
    virtual ~TnbWorkerThread();
    TnbWorkerThread(const TnbWorkerThread&) = delete;
    TnbWorkerThread& operator=(const TnbWorkerThread&) = delete;

    TnbThreadPool& Pool() const { return pool_; }
    // True from the moment an item is assigned until the worker has finished it.
    bool Busy() const { return busy_.load(); }
    // True once StopThread was called; the worker ends at its next wait or after its item.
    bool Terminated() const { return terminated_.load(); }

    // Marks the worker terminated and wakes it. Any thread.
    void StopThread();

protected:
    // The body of the thread: waits for items and runs them until stopped. Subclasses that need
    // per-thread set-up wrap the inherited Run.
    virtual void Run();

private:
    friend class TnbThreadPool;
    friend class TnbBlockingSection;

    // Starts the thread (once). Called by the pool under its lock.
    void Start();
    // Pool's use only, under the pool lock.
    void SetWorkItem(std::unique_ptr<TnbWorkItem> AItem);
    // Runs one item and raises the pool's run and finish events; swallows every exception.
    void RunItem(TnbWorkItem& AItem);
    void ThreadMain() noexcept;

    TnbThreadPool& pool_;
    std::atomic<bool> busy_{false};
    std::atomic<bool> terminated_{false};
    // Nesting depth of blocking sections; touched by the worker's own thread only.
    int blockingDepth_ = 0;
    // Inside a blocking section and counted as such by the pool; guarded by the pool lock.
    bool blocking_ = false;
    // The item the worker runs or is about to run; guarded by the pool lock.
    std::unique_ptr<TnbWorkItem> workItem_;
    // Signalled (with the pool lock) when an item is assigned or the worker is stopped.
    std::condition_variable wakeup_;
    std::thread thread_;
};

// The worker created when the pool's InitializeCOM is set. Linux has no component-object library
// to initialise per thread, so it runs exactly like TnbWorkerThread; it exists so that hosts can
// still tell which kind of worker a pool made.
class TnbWorkerThreadCom : public TnbWorkerThread {
public:
    using TnbWorkerThread::TnbWorkerThread;

protected:
    void Run() override;
};

// Marks the enclosing stretch of a work item as waiting (see the top of this file). On a thread
// that is not a pool's worker, and nested inside another section, it does nothing. The
// destructor may wait until the worker may run again; it returns at once when the pool stops.
class TnbBlockingSection {
public:
    TnbBlockingSection();
    ~TnbBlockingSection();
    TnbBlockingSection(const TnbBlockingSection&) = delete;
    TnbBlockingSection& operator=(const TnbBlockingSection&) = delete;

private:
    TnbWorkerThread* worker_ = nullptr;  // the worker this section entered, or none
};

using TnbCreateWorkerThreadEvent =
    std::function<void(TnbThreadPool& Sender, std::unique_ptr<TnbWorkerThread>& AThread)>;
using TnbWorkItemEvent = std::function<void(TnbThreadPool& Sender, TnbWorkItem& AItem)>;
using TnbRunWorkItemEvent =
    std::function<void(TnbThreadPool& Sender, TnbWorkItem& AItem, TnbWorkerThread& AThread)>;
using TnbFinishWorkItemEvent = std::function<void(TnbThreadPool& Sender, TnbWorkItem& AItem,
                                                  TnbWorkerThread& AThread, bool ATerminated)>;

class TnbThreadPool {
public:
    static constexpr std::int32_t kDefaultMinThreadCount = 1;
    static constexpr std::int32_t kDefaultMaxThreadCount = 5;
    // Upper bound of both counts: a pool is meant for a handful of workers per server.
    static constexpr std::int32_t kThreadCountLimit = 64;

    TnbThreadPool() = default;
    // Stops the pool (discarding queued items, waiting for running ones). Must not run on one of
    // the pool's own workers. A subclass that overrides the Do... operations calls Stop in its
    // own destructor, so that no worker reaches a half-destroyed pool.
    virtual ~TnbThreadPool();
    TnbThreadPool(const TnbThreadPool&) = delete;
    TnbThreadPool& operator=(const TnbThreadPool&) = delete;

    // Stores values from 1 to 64 and ignores others. A minimum above the maximum makes the pool
    // keep the minimum.
    std::int32_t MinThreadCount() const;
    void SetMinThreadCount(std::int32_t AValue);
    // Stores values from 2 to 64 and ignores others.
    std::int32_t MaxThreadCount() const;
    void SetMaxThreadCount(std::int32_t AValue);
    // New workers are TnbWorkerThreadCom; on Linux that changes nothing about how they run.
    bool InitializeCOM() const;
    void SetInitializeCOM(bool AValue);

    // Runs under the pool lock: the handler must not call back into the pool. It may supply a
    // worker built for this pool; left empty, the pool makes its own.
    TnbCreateWorkerThreadEvent OnCreateWorkerThread;
    // Runs on the queueing thread, outside the pool lock.
    TnbWorkItemEvent OnQueueWorkItem;
    // Run on the worker thread.
    TnbRunWorkItemEvent OnRunWorkItem;
    TnbFinishWorkItemEvent OnFinishWorkItem;

    // Hands an item to the pool; never blocks on work. Answers false only for an empty item. If
    // a worker needed for the item cannot be created, the error propagates and the item is
    // freed. Any thread; also after Stop, when it creates workers again as on a new pool.
    bool QueueWorkItem(std::unique_ptr<TnbWorkItem> AItem);

    // Frees every queued item without running it, stops every worker and waits for the running
    // items to return (a worker in a blocking section included: whoever it waits for must be
    // told to end, as the TCP server aborts its transfers first). Concurrent calls are
    // serialised. Raises std::logic_error when called from one of the pool's workers. Whoever
    // must not see items run after Stop stops queueing them first (the TCP server does).
    void Stop();

    // Diagnostics, taken under the pool lock.
    std::size_t ThreadCount() const;
    std::size_t QueuedCount() const;
    std::size_t BusyCount() const;
    // Workers inside a blocking section (those waiting to run again included).
    std::size_t BlockingCount() const;
    // Workers that count against MaxThreadCount now: busy and not in a blocking section.
    std::size_t RunningCount() const;

protected:
    // Makes a worker: DoCreateWorkerThread, else a TnbWorkerThreadCom (InitializeCOM) or a
    // TnbWorkerThread. Called under the pool lock; the pool appends and starts the worker.
    virtual std::unique_ptr<TnbWorkerThread> CreateWorkerThread();
    virtual void DoCreateWorkerThread(std::unique_ptr<TnbWorkerThread>& AThread);
    virtual void DoQueueWorkItem(TnbWorkItem& AItem);
    virtual void DoRunWorkItem(TnbWorkItem& AItem, TnbWorkerThread& AThread);
    virtual void DoFinishWorkItem(TnbWorkItem& AItem, TnbWorkerThread& AThread, bool ATerminated);

private:
    friend class TnbWorkerThread;
    friend class TnbBlockingSection;

    using ThreadList = std::vector<std::unique_ptr<TnbWorkerThread>>;

    // All of these run with mutex_ held.
    TnbWorkerThread* GetIdleThread() const;
    TnbWorkerThread* AddWorkerThread();
    void EnsureMinThreads();
    ThreadList TrimThreads();
    void ProcessQueue();
    // How many workers may run items at once: MaxThreadCount, or MinThreadCount when that is
    // larger (the pool keeps the minimum, and an idle worker never lets an item wait).
    std::size_t RunLimit() const;
    // True when one more worker may run an item now.
    bool CanRunMore() const;
    void Dispatch(TnbWorkerThread& AThread, std::unique_ptr<TnbWorkItem> AItem);
    // A worker stops counting against the limit (its item ended, or it entered a blocking
    // section): a worker waiting to come back goes first, else the oldest queued item.
    void ReleaseRunSlot();
    // After an item: answers true when this worker is surplus and has taken itself out of
    // Threads (into retired_); it must end then.
    bool RetireIfSurplus(TnbWorkerThread& AThread);
    // Takes the workers that ended by themselves, to be freed (joined) outside the lock.
    ThreadList TakeRetired();

    // Worker thread, without the pool lock.
    void EnterBlocking(TnbWorkerThread& AThread);
    void LeaveBlocking(TnbWorkerThread& AThread);

    ThreadList threads_;
    // Workers that ended because they were surplus; freed by the next QueueWorkItem or Stop.
    ThreadList retired_;
    std::deque<std::unique_ptr<TnbWorkItem>> queue_;
    // Workers of threads_ that run an item outside a blocking section, that are inside one, and
    // that have left one and wait to run again.
    std::size_t running_ = 0;
    std::size_t blocking_ = 0;
    std::size_t returning_ = 0;
    // Signalled (with the pool lock) when a worker stops counting against the limit, or on Stop.
    std::condition_variable runSlotFreed_;
    std::int32_t minThreadCount_ = kDefaultMinThreadCount;
    std::int32_t maxThreadCount_ = kDefaultMaxThreadCount;
    // The pool lock: guards threads_, retired_, queue_, the counts and every worker's item,
    // blocking state and wake-up. A leaf lock: nothing else is taken while it is held.
    mutable std::mutex mutex_;
    // Serialises Stop calls, so a second caller also returns only once the workers are gone.
    std::mutex stopMutex_;
    bool initializeCOM_ = false;
};

}  // namespace nb
