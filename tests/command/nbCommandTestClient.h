// Loopback helpers for the command-server tests: a blocking line client written directly
// against POSIX sockets, a free-port finder and a bounded wait for a condition.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>

#include "tests/common/nbTestLoopback.h"

namespace nb::test {

using namespace std::chrono_literals;

// Upper bound of any single wait; only reached when something is broken.
inline constexpr auto kLimit = 10000ms;

class TLineClient {
public:
    TLineClient() = default;
    ~TLineClient() { Close(); }
    TLineClient(const TLineClient&) = delete;
    TLineClient& operator=(const TLineClient&) = delete;

    // A receive buffer > 0 is set before connecting, so the window stays small.
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

    // Reads until Received() holds text, the peer closes or the limit passes. chunk limits each
    // receive and pause follows it (a slow reader).
    bool ReceiveUntil(const std::string& text, std::size_t chunk = 65536,
                      std::chrono::microseconds pause = 0us) {
        const auto end = std::chrono::steady_clock::now() + kLimit;
        while (received_.find(text) == std::string::npos && !closed_) {
            if (!ReceiveSome(end, chunk))
                break;
            if (pause.count() > 0)
                std::this_thread::sleep_for(pause);
        }
        return received_.find(text) != std::string::npos;
    }

    // Reads until the peer closes (true) or the limit passes (false).
    bool WaitClosed() {
        const auto end = std::chrono::steady_clock::now() + kLimit;
        while (!closed_)
            if (!ReceiveSome(end, 65536))
                break;
        return closed_;
    }

    const std::string& Received() const { return received_; }
    void Close() {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = -1;
    }

private:
    bool ReceiveSome(std::chrono::steady_clock::time_point end, std::size_t chunk) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            end - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return false;
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left.count())) <= 0)
            return false;
        std::string buffer(chunk, '\0');
        const ssize_t n = ::recv(fd_, buffer.data(), buffer.size(), 0);
        if (n <= 0) {
            closed_ = true;
            return false;
        }
        received_.append(buffer.data(), static_cast<std::size_t>(n));
        return true;
    }

    int fd_ = -1;
    bool closed_ = false;
    std::string received_;
};

}  // namespace nb::test
