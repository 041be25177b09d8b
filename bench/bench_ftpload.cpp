// A small FTP load client for the benchmarks: plain blocking sockets, passive mode, binary
// type. It is kept deliberately thin so that the server, not the client, is what is measured.
//
//   bench_ftpload sessions  HOST PORT USER PASS THREADS SECONDS
//   bench_ftpload retr      HOST PORT USER PASS PATH
//   bench_ftpload stor      HOST PORT USER PASS PATH BYTES
//   bench_ftpload list      HOST PORT USER PASS DIR
//   bench_ftpload idle      HOST PORT USER PASS COUNT SECONDS
//   bench_ftpload login     HOST PORT USER PASS
//
// Each mode prints one line "<mode> <value> <unit>" on success and exits 0.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

class Socket {
public:
    explicit Socket(int fd = -1) : fd_(fd) {}
    Socket(Socket&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
    Socket& operator=(Socket&& other) noexcept {
        std::swap(fd_, other.fd_);
        return *this;
    }
    ~Socket() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    int fd() const { return fd_; }

    static Socket Connect(const std::string& host, int port) {
        Socket s(::socket(AF_INET, SOCK_STREAM, 0));
        if (s.fd_ < 0)
            throw std::runtime_error("socket failed");
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(static_cast<uint16_t>(port));
        if (::inet_pton(AF_INET, host.c_str(), &addr.sin_addr) != 1)
            throw std::runtime_error("bad host " + host);
        if (::connect(s.fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0)
            throw std::runtime_error(std::string("connect: ") + std::strerror(errno));
        int one = 1;
        ::setsockopt(s.fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        return s;
    }

    void SendAll(const char* data, size_t size) {
        while (size > 0) {
            ssize_t n = ::send(fd_, data, size, MSG_NOSIGNAL);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                throw std::runtime_error(std::string("send: ") + std::strerror(errno));
            data += n;
            size -= static_cast<size_t>(n);
        }
    }

private:
    int fd_;
};

// The control connection: commands out, replies (multi-line aware) in.
class Control {
public:
    Control(const std::string& host, int port) : host_(host), sock_(Socket::Connect(host, port)) {
        Expect(Reply(), '2');
    }

    std::string Command(const std::string& line) {
        std::string out = line + "\r\n";
        sock_.SendAll(out.data(), out.size());
        return Reply();
    }

    std::string Reply() {
        std::string first = Line();
        if (first.size() >= 4 && first[3] == '-') {
            const std::string end = first.substr(0, 3) + " ";
            for (std::string l = Line(); l.compare(0, 4, end) != 0; l = Line()) {
            }
        }
        return first;
    }

    static void Expect(const std::string& reply, char code) {
        if (reply.empty() || reply[0] != code)
            throw std::runtime_error("unexpected: " + reply);
    }

    void Authenticate(const std::string& user, const std::string& pass) {
        Expect(Command("USER " + user), '3');
        Expect(Command("PASS " + pass), '2');
    }

    // Logged in and ready for binary transfers.
    void Login(const std::string& user, const std::string& pass) {
        Authenticate(user, pass);
        Expect(Command("TYPE I"), '2');
    }

    // PASV; returns the connected data socket.
    Socket Passive() {
        const std::string r = Command("PASV");
        Expect(r, '2');
        const auto open = r.find('(');
        unsigned h[6];
        if (open == std::string::npos || std::sscanf(r.c_str() + open + 1, "%u,%u,%u,%u,%u,%u",
                                                     &h[0], &h[1], &h[2], &h[3], &h[4], &h[5]) != 6)
            throw std::runtime_error("bad PASV reply: " + r);
        return Socket::Connect(host_, static_cast<int>(h[4] * 256 + h[5]));
    }

private:
    std::string Line() {
        for (;;) {
            const auto eol = buffer_.find("\r\n");
            if (eol != std::string::npos) {
                std::string line = buffer_.substr(0, eol);
                buffer_.erase(0, eol + 2);
                return line;
            }
            char chunk[4096];
            ssize_t n = ::recv(sock_.fd(), chunk, sizeof chunk, 0);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                throw std::runtime_error("control connection closed");
            buffer_.append(chunk, static_cast<size_t>(n));
        }
    }

    std::string host_;
    Socket sock_;
    std::string buffer_;
};

struct Args {
    std::string host;
    int port;
    std::string user, pass;
};

long long Drain(Socket& data) {
    std::vector<char> buf(1 << 20);
    long long total = 0;
    for (;;) {
        ssize_t n = ::recv(data.fd(), buf.data(), buf.size(), 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return total;
        total += n;
    }
}

int Sessions(const Args& a, int threads, double seconds) {
    std::atomic<long long> done{0}, failed{0};
    const auto start = Clock::now();
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; ++t) {
        pool.emplace_back([&] {
            while (SecondsSince(start) < seconds) {
                try {
                    Control c(a.host, a.port);
                    c.Authenticate(a.user, a.pass);
                    Control::Expect(c.Command("PWD"), '2');
                    c.Command("QUIT");
                    ++done;
                } catch (const std::exception&) {
                    ++failed;
                }
            }
        });
    }
    for (auto& t : pool)
        t.join();
    std::printf("sessions %.1f per_second failed=%lld\n", done / SecondsSince(start),
                failed.load());
    return failed == 0 ? 0 : 1;
}

// A passive transfer from the server; returns the bytes received and their seconds.
long long Fetch(const Args& a, const std::string& command, double& seconds) {
    Control c(a.host, a.port);
    c.Login(a.user, a.pass);
    Socket data = c.Passive();
    const auto start = Clock::now();
    Control::Expect(c.Command(command), '1');
    const long long bytes = Drain(data);
    data = Socket();
    Control::Expect(c.Reply(), '2');
    seconds = SecondsSince(start);
    return bytes;
}

int Retr(const Args& a, const std::string& path) {
    double s = 0;
    const long long bytes = Fetch(a, "RETR " + path, s);
    std::printf("retr %.1f MiB/s bytes=%lld seconds=%.2f\n", bytes / s / 1048576.0, bytes, s);
    return 0;
}

int Stor(const Args& a, const std::string& path, long long bytes) {
    Control c(a.host, a.port);
    c.Login(a.user, a.pass);
    Socket data = c.Passive();
    std::vector<char> block(1 << 20, 'x');
    const auto start = Clock::now();
    Control::Expect(c.Command("STOR " + path), '1');
    for (long long left = bytes; left > 0;) {
        const size_t n = static_cast<size_t>(std::min<long long>(left, block.size()));
        data.SendAll(block.data(), n);
        left -= static_cast<long long>(n);
    }
    data = Socket();
    Control::Expect(c.Reply(), '2');
    const double s = SecondsSince(start);
    std::printf("stor %.1f MiB/s bytes=%lld seconds=%.2f\n", bytes / s / 1048576.0, bytes, s);
    return 0;
}

int List(const Args& a, const std::string& dir) {
    double s = 0;
    const long long bytes = Fetch(a, "LIST " + dir, s);
    std::printf("list %.1f ms bytes=%lld\n", s * 1000, bytes);
    return 0;
}

int Idle(const Args& a, int count, double seconds) {
    std::vector<Control> sessions;
    sessions.reserve(static_cast<size_t>(count));
    for (int i = 0; i < count; ++i) {
        sessions.emplace_back(a.host, a.port);
        sessions.back().Authenticate(a.user, a.pass);
    }
    std::printf("idle %d sessions ready\n", count);
    std::fflush(stdout);
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    return 0;
}

int Login(const Args& a) {
    const auto start = Clock::now();
    Control c(a.host, a.port);
    c.Authenticate(a.user, a.pass);
    Control::Expect(c.Command("PWD"), '2');
    std::printf("login %.1f ms\n", SecondsSince(start) * 1000);
    c.Command("QUIT");
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 6) {
        std::fprintf(stderr, "usage: %s MODE HOST PORT USER PASS [ARGS...]\n", argv[0]);
        return 2;
    }
    const std::string mode = argv[1];
    const Args a{argv[2], std::atoi(argv[3]), argv[4], argv[5]};
    try {
        if (mode == "sessions" && argc == 8)
            return Sessions(a, std::atoi(argv[6]), std::atof(argv[7]));
        if (mode == "retr" && argc == 7)
            return Retr(a, argv[6]);
        if (mode == "stor" && argc == 8)
            return Stor(a, argv[6], std::atoll(argv[7]));
        if (mode == "list" && argc == 7)
            return List(a, argv[6]);
        if (mode == "idle" && argc == 8)
            return Idle(a, std::atoi(argv[6]), std::atof(argv[7]));
        if (mode == "login" && argc == 6)
            return Login(a);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s: %s\n", mode.c_str(), e.what());
        return 1;
    }
    std::fprintf(stderr, "bad arguments for mode %s\n", mode.c_str());
    return 2;
}
