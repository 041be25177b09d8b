// The program's log writer: lines are handed over without waiting and written to a file
// descriptor (standard output) by a thread of its own, so a log that nobody reads can never
// stop the server.
//
// Threads: Post may be called from any thread and never blocks on the descriptor; only the
// writer thread writes. When the backlog is full, lines are dropped and counted, and the next
// line written is preceded by "(N log lines dropped)". When the descriptor fails (EPIPE: the
// reader has gone), the writer stops and later lines are dropped silently.
// Ownership: the sink owns its writer thread and its backlog, not the descriptor. The
// destructor gives the writer a short time to write what is left; a writer stuck on a full pipe
// is left behind (it holds its own state) rather than holding up the program's end.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace nb {

class TnbLogSink {
public:
    // ABacklog: bytes of lines that may wait for the writer.
    TnbLogSink(int AFileDescriptor, std::size_t ABacklog);
    ~TnbLogSink();
    TnbLogSink(const TnbLogSink&) = delete;
    TnbLogSink& operator=(const TnbLogSink&) = delete;

    // Queues one line (without its line end). Any thread; never blocks.
    void Post(std::string ALine);
    // Waits until every line posted so far is written (or dropped), at most ATimeout; true when
    // it got there. For the program's end and for tests.
    bool Flush(std::chrono::milliseconds ATimeout);
    // Lines dropped so far because the backlog was full.
    std::uint64_t DroppedCount() const;
    // True once a write failed; nothing is written after that.
    bool Failed() const;

private:
    struct TState;
    std::shared_ptr<TState> state_;
};

}  // namespace nb
