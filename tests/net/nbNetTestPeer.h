// A plain blocking loopback peer for the connection tests: the other end of a connection,
// written directly against POSIX sockets so it shares no code with what it tests.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "tests/common/nbTestLoopback.h"

namespace nb::test {

class TTestPeer {
public:
    TTestPeer() = default;
    ~TTestPeer() { Close(); }
    TTestPeer(const TTestPeer&) = delete;
    TTestPeer& operator=(const TTestPeer&) = delete;

    // Connects to 127.0.0.1:port, optionally from a given local loopback address and with a
    // small receive buffer (set before connecting so the window stays small).
    bool Connect(int port, const char* fromAddress = nullptr, int receiveBuffer = 0) {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd_ < 0)
            return false;
        if (receiveBuffer > 0) {
            ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
        }
        if (fromAddress) {
            sockaddr_in local{};
            local.sin_family = AF_INET;
            ::inet_pton(AF_INET, fromAddress, &local.sin_addr);
            if (::bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0)
                return false;
        }
        sockaddr_in target{};
        target.sin_family = AF_INET;
        target.sin_port = htons(static_cast<std::uint16_t>(port));
        ::inet_pton(AF_INET, "127.0.0.1", &target.sin_addr);
        return ::connect(fd_, reinterpret_cast<sockaddr*>(&target), sizeof target) == 0;
    }

    bool SendAll(const std::string& data) {
        std::size_t done = 0;
        while (done < data.size()) {
            const ssize_t n = ::send(fd_, data.data() + done, data.size() - done, MSG_NOSIGNAL);
            if (n <= 0)
                return false;
            done += static_cast<std::size_t>(n);
        }
        return true;
    }

    // Everything until the peer closes (or an error).
    std::string ReceiveAll() {
        std::string result;
        char buffer[65536];
        for (;;) {
            const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
            if (n <= 0)
                break;
            result.append(buffer, static_cast<std::size_t>(n));
        }
        return result;
    }

    // Exactly count bytes (fewer when the peer closes first).
    std::string Receive(std::size_t count) {
        std::string result;
        char buffer[65536];
        while (result.size() < count) {
            const ssize_t n =
                ::recv(fd_, buffer, std::min(sizeof buffer, count - result.size()), 0);
            if (n <= 0)
                break;
            result.append(buffer, static_cast<std::size_t>(n));
        }
        return result;
    }

    void ShutdownWrite() { ::shutdown(fd_, SHUT_WR); }

    void Close() {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = -1;
    }

private:
    int fd_ = -1;
};

// A port on 127.0.0.1 that nothing listens on (bound once by the system, then released).
inline int UnusedLoopbackPort() {
    return FreePort();
}

// A string of count bytes that shows where a byte came from (no repeats at short periods).
inline std::string Pattern(std::size_t count) {
    std::string result(count, '\0');
    std::uint32_t x = 2463534242u;
    for (auto& c : result) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        c = static_cast<char>(x);
    }
    return result;
}

}  // namespace nb::test
