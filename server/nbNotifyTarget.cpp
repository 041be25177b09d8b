#include "server/nbNotifyTarget.h"

#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "net/nbSocketUtils.h"
#include "net/nbWinSock2.h"

namespace nb {

namespace {

constexpr std::uint64_t kStopKey = 1;
constexpr std::uint64_t kTimerKey = 2;
constexpr std::uint64_t kTaskTimerKey = 3;
// Notifications taken from the kernel per wait; more simply wait for the next round.
constexpr int kMaxEventsPerWait = 256;

[[noreturn]] void RaiseLastSystemError() {
    RaiseSocketError(MapSystemError(errno));
}

std::uint32_t ToEpollEvents(int events, bool levelTriggered) {
    std::uint32_t result = 0;
    if (events & (FD_READ | FD_ACCEPT))
        result |= EPOLLIN;
    if (events & FD_WRITE)
        result |= EPOLLOUT;
    if (events & FD_CLOSE)
        result |= EPOLLRDHUP;
    if (!levelTriggered)
        result |= EPOLLET;
    return result;
}

int FromEpollEvents(std::uint32_t events) {
    int result = 0;
    if (events & EPOLLIN)
        result |= FD_READ;
    if (events & EPOLLOUT)
        result |= FD_WRITE;
    if (events & (EPOLLRDHUP | EPOLLHUP | EPOLLERR))
        result |= FD_CLOSE;
    return result;
}

void CloseDescriptor(int& fd) noexcept {
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}

}  // namespace

TnbNotifyTarget::TnbNotifyTarget() {
    try {
        epoll_ = ::epoll_create1(EPOLL_CLOEXEC);
        if (epoll_ < 0)
            RaiseLastSystemError();
        stop_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        if (stop_ < 0)
            RaiseLastSystemError();
        timer_ = ::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
        if (timer_ < 0)
            RaiseLastSystemError();
        taskTimer_ = ::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
        if (taskTimer_ < 0)
            RaiseLastSystemError();
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.u64 = kStopKey;
        if (::epoll_ctl(epoll_, EPOLL_CTL_ADD, stop_, &ev) < 0)
            RaiseLastSystemError();
        ev.data.u64 = kTimerKey;
        if (::epoll_ctl(epoll_, EPOLL_CTL_ADD, timer_, &ev) < 0)
            RaiseLastSystemError();
        ev.data.u64 = kTaskTimerKey;
        if (::epoll_ctl(epoll_, EPOLL_CTL_ADD, taskTimer_, &ev) < 0)
            RaiseLastSystemError();
        ReserveSpareDescriptor();
    } catch (...) {
        CloseDescriptor(taskTimer_);
        CloseDescriptor(timer_);
        CloseDescriptor(stop_);
        CloseDescriptor(epoll_);
        throw;
    }
}

TnbNotifyTarget::~TnbNotifyTarget() noexcept {
    ReleaseSpareDescriptor();
    CloseDescriptor(taskTimer_);
    CloseDescriptor(timer_);
    CloseDescriptor(stop_);
    CloseDescriptor(epoll_);
}

void TnbNotifyTarget::Add(int handle, std::uint64_t key, int events, bool levelTriggered) {
    epoll_event ev{};
    ev.events = ToEpollEvents(events, levelTriggered);
    ev.data.u64 = key;
    if (::epoll_ctl(epoll_, EPOLL_CTL_ADD, handle, &ev) < 0)
        RaiseLastSystemError();
}

bool TnbNotifyTarget::Modify(int handle, std::uint64_t key, int events) {
    epoll_event ev{};
    ev.events = ToEpollEvents(events, false);
    ev.data.u64 = key;
    if (::epoll_ctl(epoll_, EPOLL_CTL_MOD, handle, &ev) == 0)
        return true;
    // The handle was closed (or never added): nothing is selected any more, which is what a
    // closed connection wants.
    if (errno == ENOENT || errno == EBADF)
        return false;
    RaiseLastSystemError();
}

void TnbNotifyTarget::Remove(int handle) noexcept {
    if (handle < 0)
        return;
    epoll_event ev{};  // older kernels want a non-null pointer
    ::epoll_ctl(epoll_, EPOLL_CTL_DEL, handle, &ev);
}

void TnbNotifyTarget::SetTimer(std::uint32_t ms) {
    ArmTimer(timer_, ms);
}

void TnbNotifyTarget::SetTaskTimer(std::uint32_t ms) {
    ArmTimer(taskTimer_, ms);
}

void TnbNotifyTarget::ArmTimer(int fd, std::uint32_t ms) {
    if (ms == 0)
        ms = 1;
    itimerspec period{};
    period.it_value.tv_sec = static_cast<time_t>(ms / 1000);
    period.it_value.tv_nsec = static_cast<long>(ms % 1000) * 1000000L;
    if (::timerfd_settime(fd, 0, &period, nullptr) < 0)
        RaiseLastSystemError();
}

void TnbNotifyTarget::KillTimer() {
    itimerspec period{};
    if (::timerfd_settime(timer_, 0, &period, nullptr) < 0)
        RaiseLastSystemError();
    // A tick that elapsed before the disarm must not be reported afterwards.
    std::uint64_t ticks = 0;
    [[maybe_unused]] auto n = ::read(timer_, &ticks, sizeof ticks);
}

void TnbNotifyTarget::Signal() noexcept {
    const std::uint64_t one = 1;
    // Fails only when the counter would overflow, i.e. the signal is already set.
    [[maybe_unused]] auto n = ::write(stop_, &one, sizeof one);
}

void TnbNotifyTarget::ReleaseSpareDescriptor() noexcept {
    CloseDescriptor(spare_);
}

void TnbNotifyTarget::ReserveSpareDescriptor() noexcept {
    // Best effort: without a spare the listener still works, it only cannot shed clients
    // while descriptors are exhausted.
    if (spare_ < 0)
        spare_ = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
}

void TnbNotifyTarget::Wait(TnbNotifyWaitResult& result) {
    result.Stop = false;
    result.Timer = false;
    result.TaskTimer = false;
    result.Sockets.clear();
    epoll_event events[kMaxEventsPerWait];
    int n;
    do {
        n = ::epoll_wait(epoll_, events, kMaxEventsPerWait, -1);
    } while (n < 0 && errno == EINTR);
    if (n < 0)
        RaiseLastSystemError();
    for (int i = 0; i < n; ++i) {
        const std::uint64_t key = events[i].data.u64;
        if (key == kStopKey) {
            std::uint64_t value = 0;
            [[maybe_unused]] auto r = ::read(stop_, &value, sizeof value);  // auto-reset
            result.Stop = true;
        } else if (key == kTimerKey) {
            std::uint64_t ticks = 0;
            // EAGAIN: the timer was disarmed or rearmed after it fired; no tick then.
            if (::read(timer_, &ticks, sizeof ticks) == static_cast<ssize_t>(sizeof ticks))
                result.Timer = true;
        } else if (key == kTaskTimerKey) {
            std::uint64_t ticks = 0;
            if (::read(taskTimer_, &ticks, sizeof ticks) == static_cast<ssize_t>(sizeof ticks))
                result.TaskTimer = true;
        } else {
            const int bits = FromEpollEvents(events[i].events);
            if (bits != 0)
                result.Sockets.push_back({key, bits});
        }
    }
}

}  // namespace nb
