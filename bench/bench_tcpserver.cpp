// Benchmark of the TCP server engine on loopback (a measurement, never a test):
//   1. idle connections: opens COUNT clients, checks that the server holds all of them, and
//      reports the server's user-space memory per connection (VmRSS growth / COUNT);
//   2. accept rate: CLIENTS threads connect as fast as they can for SECONDS; the server closes
//      each client in its accept handler and the client closes after that. Reports accepted
//      connections per second.
//
//   bench_tcpserver [COUNT=2000] [SECONDS=2] [CLIENTS=2]
//
// Each connection costs two descriptors here (the client's socket and the server's), so the
// soft descriptor limit is raised to the hard one first.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "server/nbTcpServer.h"

namespace {

using Clock = std::chrono::steady_clock;

long ResidentKiB() {
    std::ifstream status("/proc/self/status");
    std::string key;
    while (status >> key) {
        if (key == "VmRSS:") {
            long kib = 0;
            status >> kib;
            return kib;
        }
        status.ignore(1 << 16, '\n');
    }
    return 0;
}

int Connect(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    sockaddr_in target{};
    target.sin_family = AF_INET;
    target.sin_port = htons(static_cast<std::uint16_t>(port));
    ::inet_pton(AF_INET, "127.0.0.1", &target.sin_addr);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&target), sizeof target) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

int FreePort() {
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

bool WaitUntil(const std::function<bool()>& cond, std::chrono::seconds limit) {
    const auto end = Clock::now() + limit;
    while (!cond()) {
        if (Clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    const int count = argc > 1 ? std::atoi(argv[1]) : 2000;
    const int seconds = argc > 2 ? std::atoi(argv[2]) : 2;
    const int clientThreads = argc > 3 ? std::atoi(argv[3]) : 2;

    rlimit limit{};
    ::getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = limit.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &limit);
    if (static_cast<rlim_t>(count) * 3 + 64 > limit.rlim_cur) {
        std::fprintf(stderr, "descriptor limit %lu is too low for %d connections\n",
                     static_cast<unsigned long>(limit.rlim_cur), count);
        return 1;
    }

    nb::TnbTcpServer server;
    std::atomic<long> accepted{0};
    std::atomic<long> errors{0};
    // In the accept phase the server closes each client at once: the side that closes first
    // keeps the TIME_WAIT, and on the server's side it does not use up the clients' ports.
    std::atomic<bool> closeOnAccept{false};
    server.OnAcceptConnection = [&](nb::TnbTcpServer& sender, nb::TnbUserConnection& connection,
                                    bool&) {
        ++accepted;
        if (closeOnAccept.load())
            sender.CloseConnection(connection);
    };
    server.OnServerError = [&](nb::TnbTcpServer&, nb::TnbUserConnection*, const std::exception&) {
        ++errors;
    };
    server.SetLocalBinding("127.0.0.1");
    server.SetSessionTimeOut(0);
    server.SetMaxConnectionQueue(1024);
    const int port = FreePort();
    server.SetPort(port);
    server.Start();

    // ---- 1. Idle connections and memory ----
    const long rssBefore = ResidentKiB();
    std::vector<int> clients;
    clients.reserve(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) {
        const int fd = Connect(port);
        if (fd < 0) {
            std::fprintf(stderr, "connect %d failed\n", i);
            break;
        }
        clients.push_back(fd);
    }
    const bool allHeld = WaitUntil([&] { return server.ConnectionCount() == clients.size(); },
                                   std::chrono::seconds(30));
    std::this_thread::sleep_for(std::chrono::seconds(1));  // idle: nothing is closed meanwhile
    const std::size_t held = server.ConnectionCount();
    const long rssAfter = ResidentKiB();
    std::printf("idle connections held: %zu of %zu%s\n", held, clients.size(),
                allHeld ? "" : " (not all accepted in time)");
    std::printf("server memory per idle connection: %.2f KiB (VmRSS %ld -> %ld KiB)\n",
                clients.empty() ? 0.0 : double(rssAfter - rssBefore) / double(clients.size()),
                rssBefore, rssAfter);
    for (int fd : clients)
        ::close(fd);
    WaitUntil([&] { return server.ConnectionCount() == 0; }, std::chrono::seconds(30));

    // ---- 2. Accept rate ----
    closeOnAccept = true;
    const long acceptedBefore = accepted.load();
    std::atomic<bool> done{false};
    std::atomic<long> connects{0};
    std::vector<std::thread> threads;
    const auto start = Clock::now();
    for (int t = 0; t < clientThreads; ++t) {
        threads.emplace_back([&] {
            while (!done.load()) {
                const int fd = Connect(port);
                if (fd >= 0) {
                    ++connects;
                    char byte;
                    while (::recv(fd, &byte, 1, 0) > 0) {
                    }  // until the server closes
                    ::close(fd);
                }
            }
        });
    }
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    done = true;
    for (auto& t : threads)
        t.join();
    WaitUntil([&] { return accepted.load() - acceptedBefore >= connects.load(); },
              std::chrono::seconds(30));
    const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    const long acceptedNow = accepted.load() - acceptedBefore;
    std::printf("accepted connections per second: %.0f (%ld in %.2f s, %d client threads)\n",
                double(acceptedNow) / elapsed, acceptedNow, elapsed, clientThreads);
    std::printf("server errors reported: %ld\n", errors.load());
    server.Stop();
    return 0;
}
