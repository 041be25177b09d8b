// Worker threads and the pool that feeds them.
#include "server/nbThreadPool.h"

#include <algorithm>
#include <stdexcept>
#include <utility>

namespace nb {

namespace {

// The pool whose worker runs on this thread; lets Stop refuse to wait for its own thread.
thread_local const TnbThreadPool* tCurrentPool = nullptr;
// The worker that runs on this thread, for TnbBlockingSection.
thread_local TnbWorkerThread* tCurrentWorker = nullptr;

}  // namespace

// ---- TnbWorkerThread ----

TnbWorkerThread::TnbWorkerThread(TnbThreadPool& APool) : pool_(APool) {}

TnbWorkerThread::~TnbWorkerThread() {
    // A worker that never started has no thread to wake; skipping the lock also lets the pool
    // drop such a worker while it holds the lock itself.
    if (thread_.joinable()) {
        StopThread();
        thread_.join();
    }
    // An item still set here was assigned but never run; the unique_ptr frees it.
}

void TnbWorkerThread::StopThread() {
    // Setting the flag under the pool lock means the worker cannot miss the wake-up between its
    // check and its wait.
    std::lock_guard lock(pool_.mutex_);
    terminated_ = true;
    wakeup_.notify_one();
}

void TnbWorkerThread::Start() {
    if (!thread_.joinable()) {
        thread_ = std::thread([this] { ThreadMain(); });
    }
}

void TnbWorkerThread::SetWorkItem(std::unique_ptr<TnbWorkItem> AItem) {
    workItem_ = std::move(AItem);
    busy_ = true;
    wakeup_.notify_one();
}

void TnbWorkerThread::ThreadMain() noexcept {
    tCurrentPool = &pool_;
    tCurrentWorker = this;
    try {
        Run();
    } catch (...) {
        // Nothing may leave a thread; the pool treats the worker as ended.
    }
    tCurrentWorker = nullptr;
    tCurrentPool = nullptr;
}

void TnbWorkerThread::RunItem(TnbWorkItem& AItem) {
    try {
        pool_.DoRunWorkItem(AItem, *this);
        AItem.Execute(*this);
        pool_.DoFinishWorkItem(AItem, *this, terminated_.load());
    } catch (...) {
        // Work items report their own failures; the worker goes on with the next item.
    }
}

void TnbWorkerThread::Run() {
    std::unique_lock lock(pool_.mutex_);
    for (;;) {
        wakeup_.wait(lock, [this] { return terminated_.load() || workItem_ != nullptr; });
        // A stop wins over an item that was assigned but not yet started.
        if (terminated_) {
            break;
        }
        std::unique_ptr<TnbWorkItem> item = std::move(workItem_);
        lock.unlock();

        RunItem(*item);
        // Freed outside the pool lock: an item may hold the last reference to a connection.
        item.reset();

        lock.lock();
        // Clearing Busy and taking the next queued item in one step keeps TrimThreads from
        // removing this worker in between.
        busy_ = false;
        if (terminated_) {
            break;  // Stop took this worker out of the pool's counts
        }
        pool_.ReleaseRunSlot();
        if (pool_.RetireIfSurplus(*this)) {
            break;
        }
    }
}

// ---- TnbBlockingSection ----

TnbBlockingSection::TnbBlockingSection() {
    TnbWorkerThread* worker = tCurrentWorker;
    if (worker == nullptr || worker->blockingDepth_++ > 0) {
        return;
    }
    worker_ = worker;
    worker_->pool_.EnterBlocking(*worker_);
}

TnbBlockingSection::~TnbBlockingSection() {
    TnbWorkerThread* worker = tCurrentWorker;
    if (worker != nullptr) {
        --worker->blockingDepth_;
    }
    if (worker_ != nullptr) {
        worker_->pool_.LeaveBlocking(*worker_);
    }
}

void TnbWorkerThreadCom::Run() {
    // No per-thread component library to initialise on Linux.
    TnbWorkerThread::Run();
}

// ---- TnbThreadPool ----

TnbThreadPool::~TnbThreadPool() {
    Stop();
}

std::int32_t TnbThreadPool::MinThreadCount() const {
    std::lock_guard lock(mutex_);
    return minThreadCount_;
}

void TnbThreadPool::SetMinThreadCount(std::int32_t AValue) {
    if (AValue < 1 || AValue > kThreadCountLimit) {
        return;
    }
    std::lock_guard lock(mutex_);
    minThreadCount_ = AValue;
}

std::int32_t TnbThreadPool::MaxThreadCount() const {
    std::lock_guard lock(mutex_);
    return maxThreadCount_;
}

void TnbThreadPool::SetMaxThreadCount(std::int32_t AValue) {
    // A single worker would let one long item block every other; the maximum starts at 2.
    if (AValue < 2 || AValue > kThreadCountLimit) {
        return;
    }
    std::lock_guard lock(mutex_);
    maxThreadCount_ = AValue;
}

bool TnbThreadPool::InitializeCOM() const {
    std::lock_guard lock(mutex_);
    return initializeCOM_;
}

void TnbThreadPool::SetInitializeCOM(bool AValue) {
    std::lock_guard lock(mutex_);
    initializeCOM_ = AValue;
}

std::size_t TnbThreadPool::ThreadCount() const {
    std::lock_guard lock(mutex_);
    return threads_.size();
}

std::size_t TnbThreadPool::QueuedCount() const {
    std::lock_guard lock(mutex_);
    return queue_.size();
}

std::size_t TnbThreadPool::BusyCount() const {
    std::lock_guard lock(mutex_);
    std::size_t count = 0;
    for (const auto& thread : threads_) {
        count += thread->Busy() ? 1 : 0;
    }
    return count;
}

std::size_t TnbThreadPool::BlockingCount() const {
    std::lock_guard lock(mutex_);
    return blocking_ + returning_;
}

std::size_t TnbThreadPool::RunningCount() const {
    std::lock_guard lock(mutex_);
    return running_;
}

std::unique_ptr<TnbWorkerThread> TnbThreadPool::CreateWorkerThread() {
    std::unique_ptr<TnbWorkerThread> thread;
    DoCreateWorkerThread(thread);
    if (!thread) {
        if (initializeCOM_) {
            thread = std::make_unique<TnbWorkerThreadCom>(*this);
        } else {
            thread = std::make_unique<TnbWorkerThread>(*this);
        }
    }
    return thread;
}

void TnbThreadPool::DoCreateWorkerThread(std::unique_ptr<TnbWorkerThread>& AThread) {
    if (OnCreateWorkerThread) {
        OnCreateWorkerThread(*this, AThread);
    }
}

void TnbThreadPool::DoQueueWorkItem(TnbWorkItem& AItem) {
    if (OnQueueWorkItem) {
        OnQueueWorkItem(*this, AItem);
    }
}

void TnbThreadPool::DoRunWorkItem(TnbWorkItem& AItem, TnbWorkerThread& AThread) {
    if (OnRunWorkItem) {
        OnRunWorkItem(*this, AItem, AThread);
    }
}

void TnbThreadPool::DoFinishWorkItem(TnbWorkItem& AItem, TnbWorkerThread& AThread,
                                     bool ATerminated) {
    if (OnFinishWorkItem) {
        OnFinishWorkItem(*this, AItem, AThread, ATerminated);
    }
}

TnbWorkerThread* TnbThreadPool::GetIdleThread() const {
    for (const auto& thread : threads_) {
        if (!thread->Busy()) {
            return thread.get();
        }
    }
    return nullptr;
}

TnbWorkerThread* TnbThreadPool::AddWorkerThread() {
    std::unique_ptr<TnbWorkerThread> thread = CreateWorkerThread();
    if (&thread->Pool() != this) {
        throw std::invalid_argument("worker thread belongs to another pool");
    }
    // Reserve first so that a failed append cannot leave a running thread unowned.
    threads_.reserve(threads_.size() + 1);
    thread->Start();
    threads_.push_back(std::move(thread));
    return threads_.back().get();
}

void TnbThreadPool::EnsureMinThreads() {
    while (threads_.size() < static_cast<std::size_t>(minThreadCount_)) {
        AddWorkerThread();
    }
}

TnbThreadPool::ThreadList TnbThreadPool::TrimThreads() {
    ThreadList removed;
    const auto keep = static_cast<std::size_t>(minThreadCount_);
    for (std::size_t i = threads_.size(); i > keep; --i) {
        auto& thread = threads_[i - 1];
        if (!thread->Busy()) {
            thread->terminated_ = true;
            thread->wakeup_.notify_one();
            removed.push_back(std::move(thread));
            threads_.erase(threads_.begin() + static_cast<std::ptrdiff_t>(i - 1));
        }
    }
    return removed;
}

std::size_t TnbThreadPool::RunLimit() const {
    return static_cast<std::size_t>(std::max(minThreadCount_, maxThreadCount_));
}

bool TnbThreadPool::CanRunMore() const {
    // Workers coming back from a blocking section hold a claim on the next free places.
    return running_ + returning_ < RunLimit();
}

void TnbThreadPool::Dispatch(TnbWorkerThread& AThread, std::unique_ptr<TnbWorkItem> AItem) {
    ++running_;
    AThread.SetWorkItem(std::move(AItem));
}

void TnbThreadPool::ProcessQueue() {
    if (queue_.empty() || !CanRunMore()) {
        return;
    }
    // Workers in a blocking section are busy, so an idle one is really free; without one a new
    // worker is made, however many wait in blocking sections.
    TnbWorkerThread* thread = GetIdleThread();
    if (thread == nullptr) {
        thread = AddWorkerThread();
    }
    std::unique_ptr<TnbWorkItem> item = std::move(queue_.front());
    queue_.pop_front();
    Dispatch(*thread, std::move(item));
}

void TnbThreadPool::ReleaseRunSlot() {
    --running_;
    if (returning_ > 0) {
        runSlotFreed_.notify_all();
        return;
    }
    try {
        ProcessQueue();
    } catch (...) {
        // Could not create a worker: the item stays queued for the next free worker.
    }
}

bool TnbThreadPool::RetireIfSurplus(TnbWorkerThread& AThread) {
    if (AThread.Busy()) {
        return false;  // it took the next queued item
    }
    // Workers that are neither in nor coming back from a blocking section: beyond the limit
    // (and the minimum) they are left over from a time when many items waited.
    const std::size_t free = threads_.size() - blocking_ - returning_;
    if (free <= RunLimit() || threads_.size() <= static_cast<std::size_t>(minThreadCount_)) {
        return false;
    }
    for (auto it = threads_.begin(); it != threads_.end(); ++it) {
        if (it->get() == &AThread) {
            AThread.terminated_ = true;
            retired_.push_back(std::move(*it));
            threads_.erase(it);
            return true;
        }
    }
    return false;
}

TnbThreadPool::ThreadList TnbThreadPool::TakeRetired() {
    ThreadList retired;
    retired.swap(retired_);
    return retired;
}

void TnbThreadPool::EnterBlocking(TnbWorkerThread& AThread) {
    std::lock_guard lock(mutex_);
    if (AThread.terminated_) {
        return;  // the pool stops; the worker no longer counts
    }
    AThread.blocking_ = true;
    ++blocking_;
    ReleaseRunSlot();
}

void TnbThreadPool::LeaveBlocking(TnbWorkerThread& AThread) {
    std::unique_lock lock(mutex_);
    if (!AThread.blocking_) {
        return;
    }
    AThread.blocking_ = false;
    if (AThread.terminated_) {
        return;  // Stop took it out of the counts: finish the item and end
    }
    --blocking_;
    ++returning_;
    runSlotFreed_.wait(lock, [&] {
        return AThread.terminated_.load() || running_ < RunLimit();
    });
    --returning_;
    if (AThread.terminated_) {
        // Woken by Stop; a place this worker would have taken goes to the queue instead.
        if (returning_ == 0) {
            try {
                ProcessQueue();
            } catch (...) {
            }
        }
        return;
    }
    ++running_;
}

bool TnbThreadPool::QueueWorkItem(std::unique_ptr<TnbWorkItem> AItem) {
    if (!AItem) {
        return false;
    }
    DoQueueWorkItem(*AItem);

    ThreadList trimmed;
    ThreadList retired;
    {
        std::lock_guard lock(mutex_);
        retired = TakeRetired();
        if (CanRunMore()) {
            TnbWorkerThread* thread = GetIdleThread();
            if (thread == nullptr) {
                // On failure the exception propagates and AItem frees the item on the way out.
                thread = AddWorkerThread();
            }
            Dispatch(*thread, std::move(AItem));
        } else {
            queue_.push_back(std::move(AItem));
        }
        try {
            EnsureMinThreads();
        } catch (...) {
            // The item is already placed; a missing spare worker is made on a later call.
        }
        trimmed = TrimThreads();
    }
    // Idle and retired workers end at once; waiting for them outside the lock lets them take it
    // on the way out.
    trimmed.clear();
    retired.clear();
    return true;
}

void TnbThreadPool::Stop() {
    if (tCurrentPool == this) {
        throw std::logic_error("TnbThreadPool::Stop called from one of its own workers");
    }
    std::lock_guard stopLock(stopMutex_);
    ThreadList threads;
    ThreadList retired;
    std::deque<std::unique_ptr<TnbWorkItem>> queue;
    {
        std::lock_guard lock(mutex_);
        threads.swap(threads_);
        retired = TakeRetired();
        queue.swap(queue_);
        // The stopped workers leave the counts; a worker coming back from a blocking section
        // takes its own claim away when it wakes.
        running_ = 0;
        blocking_ = 0;
        for (auto& thread : threads) {
            thread->terminated_ = true;
            thread->wakeup_.notify_one();
        }
        runSlotFreed_.notify_all();
    }
    // Discarded without running; freed outside the lock as they may release connections.
    queue.clear();
    retired.clear();
    // Each reset waits for that worker's thread: a long item delays Stop until it returns.
    for (auto& thread : threads) {
        thread.reset();
    }
}

}  // namespace nb
