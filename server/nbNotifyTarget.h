// The listener's notification target: one epoll set that reports the network events of the
// listening socket and of every connection, plus a one-shot session timer, a one-shot timer for
// the listener's scheduled tasks and a stop signal.
//
// Sockets are registered under a key chosen by the caller (a connection id), never found by
// their descriptor number, so a descriptor that was closed and reused can never reach the
// wrong connection.
//
// Event semantics (the FD_* bits of net/nbWinSock2.h):
// - a listening socket is level-triggered: FD_ACCEPT is reported while clients wait;
// - a connection socket is edge-triggered: FD_READ when data arrives, FD_WRITE when send space
//   opens up, FD_CLOSE once when the peer hangs up or the socket fails;
// - Modify (renewing a selection) reports again whatever is pending at that moment: unread data,
//   writability, a hang-up. So a reader that suspends FD_READ while it reads misses nothing.
//
// Thread notes: Add, Modify, Remove, SetTimer, KillTimer, SetTaskTimer and Signal may run on any
// thread (they are single system calls on descriptors that live as long as the object). Wait
// runs on the one listener thread. Owns its descriptors (epoll, eventfd, two timerfds, the
// spare).
#pragma once

#include <cstdint>
#include <vector>

namespace nb {

struct TnbSocketNotification {
    std::uint64_t Key = 0;
    int Events = 0;  // FD_* bits
};

struct TnbNotifyWaitResult {
    bool Stop = false;   // the stop signal was set (and is consumed)
    bool Timer = false;  // the session timer elapsed (it is one-shot: set it again to rearm)
    bool TaskTimer = false;  // the task timer elapsed (one-shot as well)
    std::vector<TnbSocketNotification> Sockets;
};

class TnbNotifyTarget {
public:
    // Keys below this value are reserved for the target's own descriptors.
    static constexpr std::uint64_t kFirstUserKey = 16;

    // Creates the epoll set, the stop eventfd and the timerfd; a failure raises EnbSocketError
    // with the system's code.
    TnbNotifyTarget();
    ~TnbNotifyTarget() noexcept;
    TnbNotifyTarget(const TnbNotifyTarget&) = delete;
    TnbNotifyTarget& operator=(const TnbNotifyTarget&) = delete;

    // Registers handle for the FD_* events (FD_ACCEPT counts as readability). A failure raises
    // EnbSocketError. Any thread.
    void Add(int handle, std::uint64_t key, int events, bool levelTriggered);
    // Changes the selection of a registered (edge-triggered) handle and reports again what is
    // pending. Answers false, changing nothing, when the handle is not registered here (closed
    // meanwhile); other failures raise EnbSocketError. Any thread.
    bool Modify(int handle, std::uint64_t key, int events);
    // Unregisters handle; a handle that is not registered is ignored. Any thread.
    void Remove(int handle) noexcept;

    // Arms the one-shot timer to elapse in ms milliseconds (0 is taken as 1: a zero period would
    // disarm it). KillTimer disarms it. A failure raises EnbSocketError. Any thread.
    void SetTimer(std::uint32_t ms);
    void KillTimer();
    // Arms the one-shot task timer in the same way (a new period replaces the old one).
    void SetTaskTimer(std::uint32_t ms);

    // Sets the stop signal; the next (or current) Wait returns with Stop. Any thread.
    void Signal() noexcept;

    // One descriptor kept in reserve (on /dev/null) for the listener: when the process runs out
    // of descriptors, releasing it lets the listener accept a waiting client just to close it,
    // instead of spinning on a level-triggered accept it cannot serve. Listener thread.
    void ReleaseSpareDescriptor() noexcept;
    void ReserveSpareDescriptor() noexcept;

    // Waits without limit for notifications and fills result (cleared first). A failing wait
    // raises EnbSocketError. Listener thread only.
    void Wait(TnbNotifyWaitResult& result);

private:
    static void ArmTimer(int fd, std::uint32_t ms);

    int epoll_ = -1;
    int stop_ = -1;
    int timer_ = -1;
    int taskTimer_ = -1;
    int spare_ = -1;
};

}  // namespace nb
