// One socket handle (TnbSocket) with its network-event bookkeeping, and WaitForEvent, the one
// blocking primitive of the networking stack.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "net/nbWinSock2.h"

namespace nb {

// The events that fired since the last enumeration and one error code per event (indexed by the
// FD_*_BIT constants).
struct TnbNetworkEvents {
    int NetworkEvents = 0;
    int ErrorCode[FD_MAX_EVENTS] = {};
};

// Owns one socket handle.
//
// Besides the handle it keeps the network-event state of the handle, so that blocking
// connections see events the way an event-selecting socket reports them and a level-triggered
// poll never spins:
// - FD_READ is reported, then not again until the next receive (Recv re-enables it);
// - FD_WRITE is reported when events are selected on a connected socket, then not again until
//   a send would block;
// - FD_ACCEPT is reported, then not again until the next Accept;
// - FD_CONNECT is reported once per connect;
// - FD_CLOSE is reported once, and only when no unread data remains.
// Thread notes: driven by the one thread that drives its connection; the event state is atomic
// so that another thread may read the handle's state safely. Not copyable.
class TnbSocket {
public:
    TnbSocket() = default;
    // Closes a handle that is still open, so no descriptor ever leaks.
    virtual ~TnbSocket();
    TnbSocket(const TnbSocket&) = delete;
    TnbSocket& operator=(const TnbSocket&) = delete;

    int AddressFamily() const { return addressFamily_; }
    int Handle() const { return handle_; }

    // Shuts the socket down both ways and closes it; Handle becomes -1 and AddressFamily 0
    // in every case. A second call does nothing.
    virtual void Close();
    // Stores both; the previous handle is not closed (the caller still owns it).
    virtual void SetHandle(int handle, int family);

    // ---- Network events ----

    // Selects the events (FD_* mask) that waits on this socket report; all selected events
    // are enabled again (as after a fresh selection).
    void SelectEvents(int mask);
    int SelectedEvents() const { return selected_.load(std::memory_order_relaxed); }
    // The FD_* events that a wait should watch for now (selected, enabled, not yet reported).
    int WaitEvents() const;
    // Which of the watched events are present now, with their error codes. Reported events are
    // disabled until their re-enabling call. Never blocks.
    TnbNetworkEvents EnumNetworkEvents();
    // Stops the socket from waking waits until its state changes again (after a wake that had
    // nothing to report, e.g. a hang-up of a socket whose events are all spent).
    void Quieten();

    // ---- Calls that re-enable events (each returns the system call's result) ----

    int Recv(void* buffer, int size);
    int Send(const void* buffer, int size);
    // Sends count bytes of a file from offset without copying them (the file's own position
    // stays); re-arms the write event when the socket would block, as Send does.
    std::int64_t SendFile(int fileHandle, std::int64_t offset, std::size_t count);
    // Moves up to count received bytes into a pipe without copying them (see SocketRecvToPipe);
    // re-arms the read event as Recv does.
    std::int64_t RecvToPipe(int pipeHandle, std::size_t count);
    int RecvFrom(void* buffer, int size, void* address, int* length);
    int SendTo(const void* buffer, int size, const void* address, int length);
    // Accepts a pending peer; returns its handle or -1 (WSAGetLastError tells why).
    int Accept(void* address, int* length);
    // Starts a connect; FD_CONNECT will be reported once it completes.
    int Connect(const void* address, int length);
    // Marks FD_CLOSE as seen (a receive found the orderly close itself).
    void NoteClosed();

private:
    void Enable(int bits) { enabled_.fetch_or(bits, std::memory_order_relaxed); }
    void Disable(int bits) { enabled_.fetch_and(~bits, std::memory_order_relaxed); }

    int addressFamily_ = 0;
    int handle_ = nbInvalidSocket;
    std::atomic<int> selected_{0};
    std::atomic<int> enabled_{0};
    std::atomic<bool> closeReported_{false};
    std::atomic<bool> quiet_{false};
};

// Waits until socketEvent is ready for one of the FD_* events in `events` (for an event
// descriptor: FD_READ = signalled), or abortEvent (>= 0) is signalled, or the time-out passes.
// - socketEvent -1: only the abort event and the time-out are watched.
// - startTick: the tick at which the caller's time-out period began.
// - noMessagePump: there are no window messages here; kept for the callers' sake.
// - timeOut: ms, or -1 for no limit; when it passes, raises EnbSocketError
//   "Timeout error occured" (-1); a failing wait raises the system's code.
// Returns true when socketEvent is ready, false when the abort event woke the wait.
bool WaitForEvent(int socketEvent, int abortEvent, std::uint32_t startTick, bool noMessagePump,
                  int timeOut, int events = FD_READ);

}  // namespace nb
