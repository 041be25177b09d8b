// A small pool of worker threads that runs queued work items.
//
// TnbThreadPool keeps at least MinThreadCount workers once work has arrived, creates more on
// demand up to MaxThreadCount, queues items (first in, first out) while every worker is busy and
// releases idle workers above the minimum whenever work is queued, so it shrinks after a burst.
//
// Ownership: the pool owns every item from the moment QueueWorkItem accepts it (or refuses it: a
// refused item is freed at once) and frees it after Execute has returned, or without running it
// when Stop discards it. The pool owns its workers.
//
// Threads: QueueWorkItem, Stop and Start may be called from any thread, except that Stop must not
// be called from one of the pool's own workers (it would wait for itself; it raises instead).
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

    // Hands an item to the pool; never blocks on work. Answers false (and frees the item without
    // running it or raising events) once the pool is stopped: the check and the queueing are one
    // step under the pool lock, so no item slips in after Stop. If a worker needed for the item
    // cannot be created, the error propagates and the item is freed. Any thread.
    bool QueueWorkItem(std::unique_ptr<TnbWorkItem> AItem);

    // Frees every queued item without running it, stops every worker and waits for the running
    // items to return. The pool then refuses new items until Start. Concurrent calls are
    // serialised. Raises std::logic_error when called from one of the pool's workers.
    void Stop();
    // Lets a stopped pool accept items again; workers are created lazily as on a new pool. A new
    // pool is already started.
    void Start();
    // False between Stop and Start.
    bool Stopped() const;

    // Diagnostics, taken under the pool lock.
    std::size_t ThreadCount() const;
    std::size_t QueuedCount() const;
    std::size_t BusyCount() const;

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

    using ThreadList = std::vector<std::unique_ptr<TnbWorkerThread>>;

    // All of these run with mutex_ held.
    TnbWorkerThread* GetIdleThread() const;
    TnbWorkerThread* AddWorkerThread();
    void EnsureMinThreads();
    ThreadList TrimThreads();
    void ProcessQueue();

    ThreadList threads_;
    std::deque<std::unique_ptr<TnbWorkItem>> queue_;
    std::int32_t minThreadCount_ = kDefaultMinThreadCount;
    std::int32_t maxThreadCount_ = kDefaultMaxThreadCount;
    // The pool lock: guards threads_, queue_, the counts, stopped_ and every worker's item and
    // wake-up. A leaf lock: nothing else is taken while it is held.
    mutable std::mutex mutex_;
    // Serialises Stop calls, so a second caller also returns only once the workers are gone.
    std::mutex stopMutex_;
    bool initializeCOM_ = false;
    bool stopped_ = false;
};

}  // namespace nb
