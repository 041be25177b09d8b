// Loopback helpers shared by the test programs: a free-port finder, a descriptor count, a
// bounded wait for a condition and a blocking client. Written directly against POSIX, so they share
// no code with what they test.
#pragma once

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>

namespace nb::test {

// Polls cond every few ms until it holds or limit passes; answers the last result.
inline bool WaitFor(const std::function<bool()>& cond,
                    std::chrono::milliseconds limit = std::chrono::milliseconds(10000)) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!cond()) {
        if (std::chrono::steady_clock::now() >= end)
            return cond();
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

// A port on 127.0.0.1 that was free a moment ago (bound once by the system, then released).
inline int FreePort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    ::inet_pton(AF_INET, "127.0.0.1", &address.sin_addr);
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t length = sizeof address;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    ::close(fd);
    return ntohs(address.sin_port);
}

// Open descriptors of this process.
inline int CountOpenDescriptors() {
    int count = 0;
    if (DIR* dir = ::opendir("/proc/self/fd")) {
        while (const dirent* entry = ::readdir(dir))
            if (entry->d_name[0] != '.')
                ++count;
        ::closedir(dir);
        --count;  // the directory stream itself
    }
    return count;
}

// A blocking client on 127.0.0.1: sends, and collects what arrives into Received().
class TLoopbackClient {
public:
    TLoopbackClient() = default;
    ~TLoopbackClient() { Close(); }
    TLoopbackClient(const TLoopbackClient&) = delete;
    TLoopbackClient& operator=(const TLoopbackClient&) = delete;

    // Connects to 127.0.0.1:port; a receive buffer > 0 is set before connecting so the window
    // stays small.
    bool Connect(int port, int receiveBuffer = 0) {
        Close();
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd_ < 0)
            return false;
        if (receiveBuffer > 0)
            ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
        sockaddr_in target{};
        target.sin_family = AF_INET;
        target.sin_port = htons(static_cast<std::uint16_t>(port));
        ::inet_pton(AF_INET, "127.0.0.1", &target.sin_addr);
        return ::connect(fd_, reinterpret_cast<sockaddr*>(&target), sizeof target) == 0;
    }

    // flags: e.g. MSG_OOB for the last byte, as clients send urgent data.
    bool Send(const std::string& data, int flags = 0) {
        std::size_t done = 0;
        while (done < data.size()) {
            const ssize_t n =
                ::send(fd_, data.data() + done, data.size() - done, MSG_NOSIGNAL | flags);
            if (n <= 0)
                return false;
            done += static_cast<std::size_t>(n);
        }
        return true;
    }

    // Reads into Received() until it holds at least count bytes, the peer closes or limit
    // passes. chunk limits each receive (a slow reader uses small chunks and a pause).
    bool ReceiveAtLeast(std::size_t count,
                        std::chrono::milliseconds limit = std::chrono::milliseconds(10000),
                        std::size_t chunk = 65536,
                        std::chrono::microseconds pause = std::chrono::microseconds(0)) {
        const auto end = std::chrono::steady_clock::now() + limit;
        while (received_.size() < count && !closed_) {
            if (!ReceiveSome(end, chunk))
                break;
            if (pause.count() > 0)
                std::this_thread::sleep_for(pause);
        }
        return received_.size() >= count;
    }

    // Reads until Received() holds text, the peer closes or limit passes.
    bool ReceiveUntil(const std::string& text, std::size_t chunk = 65536,
                      std::chrono::microseconds pause = std::chrono::microseconds(0),
                      std::chrono::milliseconds limit = std::chrono::milliseconds(10000)) {
        const auto end = std::chrono::steady_clock::now() + limit;
        while (received_.find(text) == std::string::npos && !closed_) {
            if (!ReceiveSome(end, chunk))
                break;
            if (pause.count() > 0)
                std::this_thread::sleep_for(pause);
        }
        return received_.find(text) != std::string::npos;
    }

    // Reads until the peer closes (true) or limit passes (false).
    bool WaitClosed(std::chrono::milliseconds limit = std::chrono::milliseconds(10000)) {
        const auto end = std::chrono::steady_clock::now() + limit;
        while (!closed_)
            if (!ReceiveSome(end, 65536))
                break;
        return closed_;
    }

    // True when nothing arrives and the connection stays open for the given time.
    bool StaysQuiet(std::chrono::milliseconds time) {
        pollfd p{fd_, POLLIN, 0};
        return ::poll(&p, 1, static_cast<int>(time.count())) == 0;
    }

    void ShutdownWrite() { ::shutdown(fd_, SHUT_WR); }
    void Close() {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = -1;
    }

    std::string& Received() { return received_; }
    const std::string& Received() const { return received_; }
    bool Closed() const { return closed_; }
    int Handle() const { return fd_; }

private:
    bool ReceiveSome(std::chrono::steady_clock::time_point end, std::size_t chunk) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            end - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return false;
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left.count())) <= 0)
            return false;
        char buffer[65536];
        const ssize_t n = ::recv(fd_, buffer, std::min(chunk, sizeof buffer), 0);
        if (n <= 0) {
            closed_ = true;  // orderly close or reset: either way the server let go
            return false;
        }
        received_.append(buffer, static_cast<std::size_t>(n));
        return true;
    }

    int fd_ = -1;
    std::string received_;
    bool closed_ = false;
};

}  // namespace nb::test
