// A raw FTP client for the end-to-end tests: control lines, passive and active data sockets,
// all on loopback, every wait bounded. Plus an RAII temporary directory and a started server.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "ftp/nbFtpFileHandler.h"
#include "ftp/nbFtpServer.h"

namespace nb::test {

inline constexpr int kWaitMs = 10000;  // upper bound of any single wait; never reached when OK

// A socket descriptor that closes itself.
class TFd {
public:
    TFd() = default;
    explicit TFd(int fd) : fd_(fd) {}
    ~TFd() { Reset(); }
    TFd(TFd&& other) noexcept : fd_(other.Release()) {}
    TFd& operator=(TFd&& other) noexcept {
        if (this != &other) {
            Reset();
            fd_ = other.Release();
        }
        return *this;
    }
    int Get() const { return fd_; }
    bool Valid() const { return fd_ >= 0; }
    int Release() {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }
    void Reset() {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = -1;
    }

private:
    int fd_ = -1;
};

inline bool WaitReadable(int fd, int timeoutMs) {
    if (fd < 0)
        return false;
    pollfd p{fd, POLLIN, 0};
    for (;;) {
        int r = ::poll(&p, 1, timeoutMs);
        if (r < 0 && errno == EINTR)
            continue;
        return r > 0;
    }
}

// Connects to 127.0.0.1:port, optionally from a chosen local address; invalid on failure.
inline TFd ConnectTcp(int port, const char* host = "127.0.0.1", const char* from = nullptr) {
    TFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (from != nullptr) {
        sockaddr_in local{};
        local.sin_family = AF_INET;
        ::inet_pton(AF_INET, from, &local.sin_addr);
        if (::bind(fd.Get(), reinterpret_cast<sockaddr*>(&local), sizeof local) != 0)
            return {};
    }
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<std::uint16_t>(port));
    ::inet_pton(AF_INET, host, &addr.sin_addr);
    if (::connect(fd.Get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0)
        return {};
    return fd;
}

// A listening socket on 127.0.0.1 with a system-chosen port.
inline TFd ListenTcp(int& port) {
    TFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    ::inet_pton(AF_INET, "127.0.0.1", &addr.sin_addr);
    if (::bind(fd.Get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0)
        return {};
    if (::listen(fd.Get(), 4) != 0)
        return {};
    socklen_t len = sizeof addr;
    ::getsockname(fd.Get(), reinterpret_cast<sockaddr*>(&addr), &len);
    port = ntohs(addr.sin_port);
    return fd;
}

inline TFd AcceptTcp(int listenFd, int timeoutMs = kWaitMs) {
    if (!WaitReadable(listenFd, timeoutMs))
        return {};
    return TFd(::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC));
}

// Everything until the peer closes (or the time-out passes).
inline std::string ReadAll(int fd, int timeoutMs = kWaitMs) {
    std::string data;
    char buffer[65536];
    while (WaitReadable(fd, timeoutMs)) {
        ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        data.append(buffer, static_cast<std::size_t>(n));
    }
    return data;
}

inline bool WriteAll(int fd, std::string_view data) {
    while (!data.empty()) {
        ssize_t n = ::send(fd, data.data(), data.size(), MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

// Closes with a reset instead of a FIN: the peer's next send fails.
inline void ResetClose(TFd& fd) {
    linger l{1, 0};
    ::setsockopt(fd.Get(), SOL_SOCKET, SO_LINGER, &l, sizeof l);
    fd.Reset();
}

// The control connection of one client.
class TFtpClient {
public:
    bool Connect(int port, const char* from = nullptr) {
        fd_ = ConnectTcp(port, "127.0.0.1", from);
        return fd_.Valid();
    }
    int Fd() const { return fd_.Get(); }
    void Close() { fd_.Reset(); }

    // One reply: a single line, or the lines of a multi-line reply joined with "\n" (no CR).
    // Empty when nothing came in time or the server closed.
    std::string Reply(int timeoutMs = kWaitMs) {
        std::string first = Line(timeoutMs);
        if (first.size() < 4 || first[3] != '-')
            return first;
        std::string all = first;
        const std::string end = first.substr(0, 3) + " ";
        for (;;) {
            std::string line = Line(timeoutMs);
            if (line.empty() && closed_)
                return all;
            all += "\n" + line;
            if (line.compare(0, 4, end) == 0)
                return all;
        }
    }
    void Send(const std::string& line) { WriteAll(fd_.Get(), line + "\r\n"); }
    void SendRaw(std::string_view bytes) { WriteAll(fd_.Get(), bytes); }
    std::string Cmd(const std::string& line) {
        Send(line);
        return Reply();
    }
    // True when the server closed the control connection (EOF within the time-out).
    bool WaitClosed(int timeoutMs = kWaitMs) {
        while (!closed_) {
            if (Line(timeoutMs).empty() && !closed_)
                return false;
        }
        return true;
    }

    // PASV; returns the announced port (0 when refused).
    int Pasv() {
        const std::string reply = Cmd("PASV");
        const auto open = reply.find('(');
        const auto close = reply.find(')');
        if (reply.compare(0, 4, "227 ") != 0 || open == std::string::npos)
            return 0;
        std::vector<int> groups;
        std::stringstream ss(reply.substr(open + 1, close - open - 1));
        std::string g;
        while (std::getline(ss, g, ','))
            groups.push_back(std::atoi(g.c_str()));
        if (groups.size() != 6)
            return 0;
        return groups[4] * 256 + groups[5];
    }
    bool Login(const std::string& user, const std::string& password) {
        Cmd("USER " + user);
        return Cmd("PASS " + password).compare(0, 4, "230 ") == 0;
    }

    // Passive download: PASV, command, 150, data, final reply. Returns the data; replies go to
    // the two out-parameters.
    std::string PassiveGet(const std::string& command, std::string& preliminary,
                           std::string& final) {
        const int port = Pasv();
        if (port == 0)
            return {};
        Send(command);
        TFd data = ConnectTcp(port);  // refused when the server answered before listening ends
        preliminary = Reply();
        if (preliminary.compare(0, 4, "150 ") != 0) {
            final = preliminary;
            return {};
        }
        std::string content = data.Valid() ? ReadAll(data.Get()) : std::string();
        final = Reply();
        return content;
    }
    std::string PassiveGet(const std::string& command) {
        std::string p, f;
        return PassiveGet(command, p, f);
    }
    // Passive upload.
    std::string PassivePut(const std::string& command, std::string_view content,
                           std::string* preliminary = nullptr) {
        const int port = Pasv();
        if (port == 0)
            return "no PASV";
        Send(command);
        TFd data = ConnectTcp(port);
        std::string p = Reply();
        if (preliminary)
            *preliminary = p;
        if (p.compare(0, 4, "150 ") != 0)
            return p;
        WriteAll(data.Get(), content);
        data.Reset();
        return Reply();
    }

private:
    std::string Line(int timeoutMs) {
        for (;;) {
            const auto eol = buffer_.find("\r\n");
            if (eol != std::string::npos) {
                std::string line = buffer_.substr(0, eol);
                buffer_.erase(0, eol + 2);
                return line;
            }
            if (closed_ || !WaitReadable(fd_.Get(), timeoutMs))
                return {};
            char chunk[4096];
            ssize_t n = ::recv(fd_.Get(), chunk, sizeof chunk, 0);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0) {
                closed_ = true;
                return {};
            }
            buffer_.append(chunk, static_cast<std::size_t>(n));
        }
    }

    TFd fd_;
    std::string buffer_;
    bool closed_ = false;
};

// A fresh directory below the system's temporary directory, removed with everything in it.
class TTempDir {
public:
    TTempDir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "nbftp.XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr)
            throw std::runtime_error("mkdtemp failed");
        path_ = pattern;
    }
    ~TTempDir() {
        std::error_code ec;
        std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                                     std::filesystem::perm_options::add, ec);
        std::filesystem::remove_all(path_, ec);
    }
    TTempDir(const TTempDir&) = delete;
    TTempDir& operator=(const TTempDir&) = delete;

    const std::string& Path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }
    void Write(const std::string& name, std::string_view content) const {
        std::ofstream out(path_ + "/" + name, std::ios::binary | std::ios::trunc);
        out.write(content.data(), static_cast<std::streamsize>(content.size()));
    }
    std::string Read(const std::string& name) const {
        std::ifstream in(path_ + "/" + name, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    bool Exists(const std::string& name) const {
        return std::filesystem::exists(path_ + "/" + name);
    }
    // The last segment of a path.
    static std::string Base(const std::string& path) {
        return std::filesystem::path(path).filename().string();
    }
    void MakeDir(const std::string& name) const {
        std::filesystem::create_directories(path_ + "/" + name);
    }

private:
    std::string path_;
};

// Bytes that a line-end conversion or a C string would damage.
inline std::string BinaryContent(std::size_t size, unsigned seed = 7) {
    std::string data(size, '\0');
    std::mt19937 rng(seed);
    for (auto& ch : data)
        ch = static_cast<char>(rng() & 0xFF);
    const std::string nasty = "\r\n\0\n\r\r\n\xFF";
    for (std::size_t i = 0; i + nasty.size() < size; i += 997) {
        data.replace(i, nasty.size(), nasty.data(), nasty.size());
    }
    return data;
}

// A started server with the local file handler bound, on a free loopback port.
class TRunningServer {
public:
    explicit TRunningServer(const std::string& root, bool bindHandler = true) {
        server.SetRootDir(root);
        server.SetLocalBinding("127.0.0.1");
        server.SetTimeOut(5000);
        auto account = server.UserAccounts().AddAccount();
        account->SetUserName("user");
        account->SetPassword("secret");
        if (bindHandler)
            handler.SetServer(&server);
    }
    ~TRunningServer() {
        server.Stop();
        handler.SetServer(nullptr);
    }

    // Starts on a port the system just handed out (retried: another process may take it).
    void Start() {
        for (int attempt = 0;; ++attempt) {
            int p = 0;
            { TFd probe = ListenTcp(p); }
            server.SetPort(p);
            try {
                server.Start();
                port = p;
                return;
            } catch (const std::exception&) {
                if (attempt == 5)
                    throw;
            }
        }
    }

    // A client connected and past the greeting.
    std::unique_ptr<TFtpClient> Client(const char* from = nullptr) {
        auto client = std::make_unique<TFtpClient>();
        if (!client->Connect(port, from))
            return nullptr;
        greeting = client->Reply();
        return client;
    }
    std::unique_ptr<TFtpClient> LoggedIn() {
        auto client = Client();
        if (client && !client->Login("user", "secret"))
            return nullptr;
        return client;
    }

    TnbFtpServer server;
    TnbFtpFileHandler handler;
    int port = 0;
    std::string greeting;
};

}  // namespace nb::test
