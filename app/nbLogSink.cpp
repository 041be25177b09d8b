#include "app/nbLogSink.h"

#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

namespace nb {

namespace {

// Bytes handed to one write: large enough to keep the system calls few, small enough that the
// writer never doubles the backlog's memory.
constexpr std::size_t kWriteBatch = 64 * 1024;
// How long the end of the program waits for the writer.
constexpr std::chrono::milliseconds kFinalFlush{2000};

// False when the descriptor failed (a closed pipe: EPIPE, with SIGPIPE ignored).
bool WriteAll(int fd, const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace

struct TnbLogSink::TState {
    // A line, or (dropped > 0) the place where that many lines were dropped.
    struct TEntry {
        std::string text;
        std::uint64_t dropped = 0;
    };

    int fd = -1;
    std::size_t capacity = 0;
    std::mutex mutex;
    std::condition_variable wake;  // the writer waits here for lines
    std::condition_variable idle;  // Flush and the destructor wait here for the writer
    std::deque<TEntry> entries;
    std::size_t bytes = 0;         // text bytes in entries
    std::uint64_t posted = 0;      // lines accepted
    std::uint64_t written = 0;     // accepted lines the writer is done with
    std::uint64_t dropped = 0;     // lines dropped in all
    bool stopping = false;
    bool failed = false;
    bool finished = false;

    void Run();
};

void TnbLogSink::TState::Run() {
    std::unique_lock lock(mutex);
    for (;;) {
        wake.wait(lock, [&] { return stopping || !entries.empty(); });
        if (entries.empty())
            break;  // stopping, and everything is out
        std::string text;
        std::uint64_t lines = 0;
        while (!entries.empty() && text.size() < kWriteBatch) {
            TEntry& entry = entries.front();
            if (entry.dropped > 0) {
                text += "(" + std::to_string(entry.dropped) + " log lines dropped)\n";
            } else {
                text += entry.text;
                text += '\n';
                bytes -= entry.text.size();
                ++lines;
            }
            entries.pop_front();
        }
        const bool write = !failed;
        lock.unlock();
        const bool ok = !write || WriteAll(fd, text);
        lock.lock();
        if (!ok) {
            // The reader has gone: logging stops, the server does not.
            failed = true;
            entries.clear();
            bytes = 0;
            written = posted;
        } else {
            written += lines;
        }
        idle.notify_all();
    }
    finished = true;
    idle.notify_all();
}

TnbLogSink::TnbLogSink(int AFileDescriptor, std::size_t ABacklog)
    : state_(std::make_shared<TState>()) {
    state_->fd = AFileDescriptor;
    state_->capacity = ABacklog;
    // The thread keeps the state alive, so a writer left behind by the destructor stays valid.
    std::thread([state = state_] { state->Run(); }).detach();
}

TnbLogSink::~TnbLogSink() {
    std::unique_lock lock(state_->mutex);
    state_->stopping = true;
    state_->wake.notify_all();
    // A writer stuck on a full pipe is not waited for longer than this: the program ends anyway.
    state_->idle.wait_for(lock, kFinalFlush, [&] { return state_->finished; });
}

void TnbLogSink::Post(std::string ALine) {
    TState& s = *state_;
    std::lock_guard lock(s.mutex);
    if (s.failed || s.stopping)
        return;
    // SECURITY: a log reader that does not keep up costs at most the backlog, never a wait.
    if (s.bytes + ALine.size() > s.capacity) {
        ++s.dropped;
        if (!s.entries.empty() && s.entries.back().dropped > 0)
            ++s.entries.back().dropped;
        else
            s.entries.push_back({std::string(), 1});
        s.wake.notify_one();
        return;
    }
    s.bytes += ALine.size();
    s.entries.push_back({std::move(ALine), 0});
    ++s.posted;
    s.wake.notify_one();
}

bool TnbLogSink::Flush(std::chrono::milliseconds ATimeout) {
    TState& s = *state_;
    std::unique_lock lock(s.mutex);
    const std::uint64_t target = s.posted;
    return s.idle.wait_for(lock, ATimeout, [&] {
        return s.written >= target && (s.entries.empty() || s.failed);
    });
}

std::uint64_t TnbLogSink::DroppedCount() const {
    std::lock_guard lock(state_->mutex);
    return state_->dropped;
}

bool TnbLogSink::Failed() const {
    std::lock_guard lock(state_->mutex);
    return state_->failed;
}

}  // namespace nb
