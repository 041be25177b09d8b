// A small FTP load client for the benchmarks: plain blocking sockets, passive mode, binary
// type. It is kept deliberately thin so that the server, not the client, is what is measured.
// With --tls it speaks FTPS through OpenSSL directly: explicit (AUTH TLS, then PBSZ 0 and
// PROT P after login) or implicit (TLS from the first byte); data connections are protected
// and resume the control connection's TLS session, as strict servers demand. The client offers
// only CIPHER (TLS 1.2) so that every server under test runs the same one.
//
//   bench_ftpload [--tls explicit|implicit] [--cipher CIPHER] MODE HOST PORT USER PASS ARGS...
//   bench_ftpload sessions  HOST PORT USER PASS THREADS SECONDS
//   bench_ftpload retr      HOST PORT USER PASS PATH
//   bench_ftpload stor      HOST PORT USER PASS PATH BYTES
//   bench_ftpload list      HOST PORT USER PASS DIR
//   bench_ftpload idle      HOST PORT USER PASS COUNT SECONDS
//   bench_ftpload login     HOST PORT USER PASS
//   bench_ftpload retrmany  HOST PORT USER PASS PATTERN COUNT        (PATTERN as "small/f%04d.bin")
//   bench_ftpload stormany  HOST PORT USER PASS PATTERN COUNT BYTES
//   bench_ftpload fresh     HOST PORT USER PASS DIR COUNT   (median of connect, login, PWD, LIST, QUIT)
//   bench_ftpload sslstream CERT_AND_KEY_PEM MIB   (OpenSSL alone on loopback: the reference)
//
// Each mode prints one line "<mode> <value> <unit>" on success and exits 0.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

enum class TlsMode { None, Explicit, Implicit };
TlsMode g_tls = TlsMode::None;
std::string g_cipher = "ECDHE-RSA-AES256-GCM-SHA384";

struct SslFree {
    void operator()(SSL* ssl) const { SSL_free(ssl); }
    void operator()(SSL_CTX* ctx) const { SSL_CTX_free(ctx); }
    void operator()(SSL_SESSION* session) const { SSL_SESSION_free(session); }
};
using SslPtr = std::unique_ptr<SSL, SslFree>;
using SessionPtr = std::shared_ptr<SSL_SESSION>;

std::runtime_error SslError(const char* what) {
    char text[256] = "";
    ERR_error_string_n(ERR_get_error(), text, sizeof text);
    ERR_clear_error();
    return std::runtime_error(std::string(what) + ": " + text);
}

// One client context for the process: no verification (the servers use throw-away
// certificates), TLS 1.2 with the one cipher.
SSL_CTX* ClientContext() {
    static const std::unique_ptr<SSL_CTX, SslFree> ctx = [] {
        std::unique_ptr<SSL_CTX, SslFree> made(SSL_CTX_new(TLS_client_method()));
        if (!made)
            throw SslError("SSL_CTX_new");
        SSL_CTX_set_min_proto_version(made.get(), TLS1_2_VERSION);
        SSL_CTX_set_max_proto_version(made.get(), TLS1_2_VERSION);
        if (SSL_CTX_set_cipher_list(made.get(), g_cipher.c_str()) != 1)
            throw SslError("cipher");
        SSL_CTX_set_verify(made.get(), SSL_VERIFY_NONE, nullptr);
        SSL_CTX_set_session_cache_mode(made.get(), SSL_SESS_CACHE_OFF);
        // Whole socket reads rather than a header and a body per record: the client's own
        // system calls stay few.
        SSL_CTX_set_read_ahead(made.get(), 1);
        SSL_CTX_set_default_read_buffer_len(made.get(), 64 * 1024);
        return made;
    }();
    return ctx.get();
}

class Socket {
public:
    explicit Socket(int fd = -1) : fd_(fd) {}
    Socket(Socket&& other) noexcept : fd_(other.fd_), ssl_(std::move(other.ssl_)) { other.fd_ = -1; }
    Socket& operator=(Socket&& other) noexcept {
        std::swap(fd_, other.fd_);
        std::swap(ssl_, other.ssl_);
        return *this;
    }
    ~Socket() {
        ssl_.reset();
        if (fd_ >= 0)
            ::close(fd_);
    }
    int fd() const { return fd_; }

    // Client side of a TLS handshake on this socket; resume offers a session to resume.
    void StartTls(const SessionPtr& resume = nullptr, SSL_CTX* ctx = nullptr, bool server = false) {
        ssl_.reset(SSL_new(ctx ? ctx : ClientContext()));
        if (!ssl_ || SSL_set_fd(ssl_.get(), fd_) != 1)
            throw SslError("SSL_new");
        if (resume)
            SSL_set_session(ssl_.get(), resume.get());
        if ((server ? SSL_accept(ssl_.get()) : SSL_connect(ssl_.get())) != 1)
            throw SslError("TLS handshake");
    }

    SessionPtr Session() const {
        return SessionPtr(SSL_get1_session(ssl_.get()), SslFree());
    }

    // Bytes received (0 at the end of the stream, close_notify or not), -1 on failure.
    ssize_t Recv(char* data, size_t size) {
        for (;;) {
            if (ssl_) {
                const int n = SSL_read(ssl_.get(), data, static_cast<int>(std::min<size_t>(size, 1 << 30)));
                if (n > 0)
                    return n;
                const int error = SSL_get_error(ssl_.get(), n);
                ERR_clear_error();
                return error == SSL_ERROR_ZERO_RETURN || error == SSL_ERROR_SYSCALL ? 0 : -1;
            }
            const ssize_t n = ::recv(fd_, data, size, 0);
            if (n < 0 && errno == EINTR)
                continue;
            return n;
        }
    }

    // The end of what this side sends: close_notify under TLS, then the TCP FIN; then what
    // the peer still sends is read to its end, so that closing resets nothing it has not read.
    void Finish() {
        if (ssl_)
            SSL_shutdown(ssl_.get());
        ::shutdown(fd_, SHUT_WR);
        char sink[4096];
        while (::recv(fd_, sink, sizeof sink, 0) > 0) {
        }
    }

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
        while (ssl_ && size > 0) {
            const int n = SSL_write(ssl_.get(), data, static_cast<int>(std::min<size_t>(size, 1 << 30)));
            if (n <= 0)
                throw SslError("SSL_write");
            data += n;
            size -= static_cast<size_t>(n);
        }
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
    SslPtr ssl_;
};

// The control connection: commands out, replies (multi-line aware) in.
class Control {
public:
    Control(const std::string& host, int port) : host_(host), sock_(Socket::Connect(host, port)) {
        if (g_tls == TlsMode::Implicit)
            sock_.StartTls();
        Expect(Reply(), '2');
        if (g_tls == TlsMode::Explicit) {
            Expect(Command("AUTH TLS"), '2');
            sock_.StartTls();
        }
        if (g_tls != TlsMode::None)
            session_ = sock_.Session();
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

    // Logged in and ready for binary transfers (protected ones under TLS).
    void Login(const std::string& user, const std::string& pass) {
        Authenticate(user, pass);
        if (g_tls != TlsMode::None) {
            Expect(Command("PBSZ 0"), '2');
            Expect(Command("PROT P"), '2');
        }
        Expect(Command("TYPE I"), '2');
    }

    // The data connection of a command sent after Passive(): under TLS its handshake, which
    // the server begins once the command's 150 is out.
    void Protect(Socket& data) const {
        if (g_tls != TlsMode::None)
            data.StartTls(session_);
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
            const ssize_t n = sock_.Recv(chunk, sizeof chunk);
            if (n <= 0)
                throw std::runtime_error("control connection closed");
            buffer_.append(chunk, static_cast<size_t>(n));
        }
    }

    std::string host_;
    Socket sock_;
    SessionPtr session_;
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
        const ssize_t n = data.Recv(buf.data(), buf.size());
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
                } catch (const std::exception& e) {
                    // The first failure says why; the rest only count.
                    if (failed++ == 0)
                        std::fprintf(stderr, "first failed session: %s\n", e.what());
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

// A passive transfer from the server in a logged-in session; returns the bytes received.
long long Download(Control& c, const std::string& command) {
    Socket data = c.Passive();
    Control::Expect(c.Command(command), '1');
    c.Protect(data);
    const long long bytes = Drain(data);
    data = Socket();
    Control::Expect(c.Reply(), '2');
    return bytes;
}

// A passive transfer to the server of bytes copies of block's bytes, the last one cut short.
void Upload(Control& c, const std::string& command, long long bytes, const std::vector<char>& block) {
    Socket data = c.Passive();
    Control::Expect(c.Command(command), '1');
    c.Protect(data);
    for (long long left = bytes; left > 0;) {
        const size_t n = static_cast<size_t>(std::min<long long>(left, block.size()));
        data.SendAll(block.data(), n);
        left -= static_cast<long long>(n);
    }
    if (g_tls != TlsMode::None)
        data.Finish();
    data = Socket();
    Control::Expect(c.Reply(), '2');
}

// One download in a session of its own; returns the bytes received and their seconds.
long long Fetch(const Args& a, const std::string& command, double& seconds) {
    Control c(a.host, a.port);
    c.Login(a.user, a.pass);
    const auto start = Clock::now();
    const long long bytes = Download(c, command);
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
    const std::vector<char> block(1 << 20, 'x');
    const auto start = Clock::now();
    Upload(c, "STOR " + path, bytes, block);
    const double s = SecondsSince(start);
    std::printf("stor %.1f MiB/s bytes=%lld seconds=%.2f\n", bytes / s / 1048576.0, bytes, s);
    return 0;
}

std::string Numbered(const std::string& pattern, int i) {
    std::vector<char> name(pattern.size() + 32);
    std::snprintf(name.data(), name.size(), pattern.c_str(), i);
    return name.data();
}

// count downloads of numbered files in one session; seconds of them all.
int RetrMany(const Args& a, const std::string& pattern, int count) {
    Control c(a.host, a.port);
    c.Login(a.user, a.pass);
    long long bytes = 0;
    const auto start = Clock::now();
    for (int i = 0; i < count; ++i)
        bytes += Download(c, "RETR " + Numbered(pattern, i));
    std::printf("retrmany %.3f s bytes=%lld\n", SecondsSince(start), bytes);
    c.Command("QUIT");
    return 0;
}

int StorMany(const Args& a, const std::string& pattern, int count, long long bytes) {
    Control c(a.host, a.port);
    c.Login(a.user, a.pass);
    const std::vector<char> block(static_cast<size_t>(bytes), 'x');
    const auto start = Clock::now();
    for (int i = 0; i < count; ++i)
        Upload(c, "STOR " + Numbered(pattern, i), bytes, block);
    std::printf("stormany %.3f s\n", SecondsSince(start));
    c.Command("QUIT");
    return 0;
}

// Median milliseconds of a whole short session: connect, login, PWD, LIST, QUIT.
int Fresh(const Args& a, const std::string& dir, int count) {
    std::vector<double> ms;
    for (int i = 0; i < count; ++i) {
        const auto start = Clock::now();
        Control c(a.host, a.port);
        c.Login(a.user, a.pass);
        Control::Expect(c.Command("PWD"), '2');
        Download(c, "LIST " + dir);
        c.Command("QUIT");
        ms.push_back(SecondsSince(start) * 1000);
    }
    std::sort(ms.begin(), ms.end());
    std::printf("fresh %.2f ms\n", ms[ms.size() / 2]);
    return 0;
}

int List(const Args& a, const std::string& dir) {
    double s = 0;
    const long long bytes = Fetch(a, "LIST " + dir, s);
    std::printf("list %.1f ms bytes=%lld\n", s * 1000, bytes);
    return 0;
}

int Idle(const Args& a, int count, double seconds) {
    rlimit files{};
    if (::getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
        files.rlim_cur = files.rlim_max;  // one descriptor per session, and more than 1,024
        ::setrlimit(RLIMIT_NOFILE, &files);
    }
    // A few threads log the sessions in, so that thousands of handshakes do not take minutes;
    // then they all sit idle.
    constexpr int kOpeners = 8;
    std::vector<std::vector<Control>> sessions(kOpeners);
    std::atomic<int> next{0};
    std::string failure;
    std::mutex failureLock;
    std::vector<std::thread> openers;
    for (auto& own : sessions) {
        openers.emplace_back([&] {
            try {
                while (next++ < count) {
                    own.emplace_back(a.host, a.port);
                    own.back().Authenticate(a.user, a.pass);
                }
            } catch (const std::exception& e) {
                std::lock_guard lock(failureLock);
                failure = e.what();
                next = count;
            }
        });
    }
    for (auto& t : openers)
        t.join();
    if (!failure.empty())
        throw std::runtime_error(failure);
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

// OpenSSL's own stream on loopback, the ceiling for a TLS transfer on this machine: one
// thread writes mib MiB through SSL_write in 1 MiB calls, another reads them with SSL_read,
// the same cipher and record layer an FTPS data connection uses.
int SslStream(const std::string& pem, long long mib) {
    std::unique_ptr<SSL_CTX, SslFree> ctx(SSL_CTX_new(TLS_server_method()));
    if (!ctx || SSL_CTX_use_certificate_chain_file(ctx.get(), pem.c_str()) != 1 ||
        SSL_CTX_use_PrivateKey_file(ctx.get(), pem.c_str(), SSL_FILETYPE_PEM) != 1 ||
        SSL_CTX_set_cipher_list(ctx.get(), g_cipher.c_str()) != 1)
        throw SslError("server context");
    Socket listener(::socket(AF_INET, SOCK_STREAM, 0));
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof addr;
    if (::bind(listener.fd(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(listener.fd(), 1) != 0 ||
        ::getsockname(listener.fd(), reinterpret_cast<sockaddr*>(&addr), &length) != 0)
        throw std::runtime_error("listen failed");
    const long long total = mib << 20;
    std::thread writer([&] {
        Socket peer(::accept(listener.fd(), nullptr, nullptr));
        peer.StartTls(nullptr, ctx.get(), true);
        const std::vector<char> block(1 << 20, 'x');
        for (long long sent = 0; sent < total; sent += static_cast<long long>(block.size()))
            peer.SendAll(block.data(), block.size());
        peer.Finish();
    });
    Socket client = Socket::Connect("127.0.0.1", ntohs(addr.sin_port));
    client.StartTls();
    const auto start = Clock::now();
    const long long got = Drain(client);
    const double s = SecondsSince(start);
    client = Socket();
    writer.join();
    std::printf("sslstream %.1f MiB/s bytes=%lld seconds=%.2f\n", got / s / 1048576.0, got, s);
    return got == total ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    // Leading options: the TLS mode and the one cipher offered.
    int first = 1;
    for (; first + 1 < argc && std::strncmp(argv[first], "--", 2) == 0; first += 2) {
        const std::string option = argv[first], value = argv[first + 1];
        if (option == "--tls" && (value == "explicit" || value == "implicit"))
            g_tls = value == "explicit" ? TlsMode::Explicit : TlsMode::Implicit;
        else if (option == "--cipher")
            g_cipher = value;
        else {
            std::fprintf(stderr, "unknown option %s %s\n", option.c_str(), value.c_str());
            return 2;
        }
    }
    argc -= first - 1;
    argv += first - 1;
    if (argc == 4 && std::strcmp(argv[1], "sslstream") == 0) {
        try {
            return SslStream(argv[2], std::atoll(argv[3]));
        } catch (const std::exception& e) {
            std::fprintf(stderr, "sslstream: %s\n", e.what());
            return 1;
        }
    }
    if (argc < 6) {
        std::fprintf(stderr, "usage: %s [--tls explicit|implicit] [--cipher C] MODE HOST PORT USER PASS [ARGS...]\n", argv[0]);
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
        if (mode == "retrmany" && argc == 8)
            return RetrMany(a, argv[6], std::atoi(argv[7]));
        if (mode == "stormany" && argc == 9)
            return StorMany(a, argv[6], std::atoi(argv[7]), std::atoll(argv[8]));
        if (mode == "fresh" && argc == 8)
            return Fresh(a, argv[6], std::atoi(argv[7]));
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s: %s\n", mode.c_str(), e.what());
        return 1;
    }
    std::fprintf(stderr, "bad arguments for mode %s\n", mode.c_str());
    return 2;
}
