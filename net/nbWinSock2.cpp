#include "net/nbWinSock2.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <memory>
#include <mutex>
#include <system_error>

#include "util/nbUtils.h"

namespace nb {

static_assert(sizeof(TnbSockAddrStorage) >= sizeof(sockaddr_storage));

namespace {

thread_local int lastError = 0;

// Sets the thread's last error from errno and returns -1, the failure result of every wrapper.
int Fail() {
    lastError = MapSystemError(errno);
    return -1;
}

struct TErrnoEntry {
    int Errno;
    int Code;
};

// errno -> Windows Sockets code. The first entry of a code is also the way back (for texts).
constexpr TErrnoEntry kErrnoTable[] = {
    {ENOMEM, WSA_NOT_ENOUGH_MEMORY},
    {EINTR, WSAEINTR},
    {EACCES, WSAEACCES},
    {EPERM, WSAEACCES},
    {EFAULT, WSAEFAULT},
    {EINVAL, WSAEINVAL},
    {EMFILE, WSAEMFILE},
    {ENFILE, WSAEMFILE},
    {EAGAIN, WSAEWOULDBLOCK},
    {EINPROGRESS, WSAEWOULDBLOCK},  // a non-blocking connect under way
    {EALREADY, WSAEALREADY},
    {ENOTSOCK, WSAENOTSOCK},
    {EBADF, WSAENOTSOCK},  // a closed handle: what the callers know as "not a socket"
    {EDESTADDRREQ, WSAEDESTADDRREQ},
    {EMSGSIZE, WSAEMSGSIZE},
    {EPROTOTYPE, WSAEPROTOTYPE},
    {ENOPROTOOPT, WSAENOPROTOOPT},
    {EPROTONOSUPPORT, WSAEPROTONOSUPPORT},
    {ESOCKTNOSUPPORT, WSAESOCKTNOSUPPORT},
    {EOPNOTSUPP, WSAEOPNOTSUPP},
    {EPFNOSUPPORT, WSAEPFNOSUPPORT},
    {EAFNOSUPPORT, WSAEAFNOSUPPORT},
    {EADDRINUSE, WSAEADDRINUSE},
    {EADDRNOTAVAIL, WSAEADDRNOTAVAIL},
    {ENETDOWN, WSAENETDOWN},
    {ENETUNREACH, WSAENETUNREACH},
    {ENETRESET, WSAENETRESET},
    {ECONNABORTED, WSAECONNABORTED},
    {ECONNRESET, WSAECONNRESET},
    {EPIPE, WSAECONNRESET},  // writing to a peer that has gone
    {ENOBUFS, WSAENOBUFS},
    {EISCONN, WSAEISCONN},
    {ENOTCONN, WSAENOTCONN},
    {ESHUTDOWN, WSAESHUTDOWN},
    {ETOOMANYREFS, WSAETOOMANYREFS},
    {ETIMEDOUT, WSAETIMEDOUT},
    {ECONNREFUSED, WSAECONNREFUSED},
    {ELOOP, WSAELOOP},
    {ENAMETOOLONG, WSAENAMETOOLONG},
    {EHOSTDOWN, WSAEHOSTDOWN},
    {EHOSTUNREACH, WSAEHOSTUNREACH},
};

struct TResolverEntry {
    int Code;
    int ResolverCode;  // the EAI_* value whose text describes the code
};

constexpr TResolverEntry kResolverTexts[] = {
    {WSAHOST_NOT_FOUND, EAI_NONAME},
    {WSATRY_AGAIN, EAI_AGAIN},
    {WSANO_RECOVERY, EAI_FAIL},
    {WSANO_DATA, EAI_NODATA},
};

std::string TrimText(const char* text) {
    std::string_view view = Trim(text ? std::string_view(text) : std::string_view());
    return std::string(view);
}

std::atomic<int> startupCount{0};

std::mutex ipv6Mutex;
std::optional<bool> ipv6Override;
std::optional<bool> ipv6Probed;

int ToSystemFamily(int family) {
    switch (family) {
        case nbAfInet:
            return AF_INET;
        case nbAfInet6:
            return AF_INET6;
        case nbAfUnspec:
            return AF_UNSPEC;
        default:
            return -1;
    }
}

int FromSystemFamily(int family) {
    switch (family) {
        case AF_INET:
            return nbAfInet;
        case AF_INET6:
            return nbAfInet6;
        default:
            return family == AF_UNSPEC ? nbAfUnspec : -1;
    }
}

short ToPollEvents(int events) {
    short result = 0;
    if (events & nbPollIn)
        result |= POLLIN;
    if (events & nbPollOut)
        result |= POLLOUT;
    if (events & nbPollRdHup)
        result |= POLLRDHUP;
    return result;
}

int FromPollEvents(short revents) {
    int result = 0;
    if (revents & POLLIN)
        result |= nbPollIn;
    if (revents & POLLOUT)
        result |= nbPollOut;
    if (revents & POLLRDHUP)
        result |= nbPollRdHup;
    if (revents & (POLLERR | POLLNVAL))
        result |= nbPollErr;
    if (revents & POLLHUP)
        result |= nbPollHup;
    return result;
}

// The system's view of one of our blocks (the storage is aligned and big enough).
sockaddr* Raw(void* address) {
    return static_cast<sockaddr*>(address);
}
const sockaddr* Raw(const void* address) {
    return static_cast<const sockaddr*>(address);
}

}  // namespace

// ---- Error codes ----

int WSAGetLastError() {
    return lastError;
}
void WSASetLastError(int code) {
    lastError = code;
}

int MapSystemError(int errnoValue) {
    for (const auto& entry : kErrnoTable) {
        if (entry.Errno == errnoValue)
            return entry.Code;
    }
    return errnoValue;
}

int MapResolverError(int resolverCode, int savedErrno) {
    switch (resolverCode) {
        case 0:
            return 0;
        case EAI_NONAME:
            return WSAHOST_NOT_FOUND;
        case EAI_AGAIN:
            return WSATRY_AGAIN;
        case EAI_FAIL:
            return WSANO_RECOVERY;
        case EAI_NODATA:
        case EAI_ADDRFAMILY:
            return WSANO_DATA;
        case EAI_MEMORY:
            return WSA_NOT_ENOUGH_MEMORY;
        case EAI_FAMILY:
            return WSAEAFNOSUPPORT;
        case EAI_SOCKTYPE:
            return WSAESOCKTNOSUPPORT;
        case EAI_SERVICE:
            return WSATYPE_NOT_FOUND;
        case EAI_BADFLAGS:
            return WSAEINVAL;
        case EAI_SYSTEM:
            return savedErrno != 0 ? MapSystemError(savedErrno) : WSANO_RECOVERY;
        default:
            return WSANO_RECOVERY;
    }
}

std::string GetSystemErrorText(int code) {
    if (code <= 0)
        return {};
    for (const auto& entry : kResolverTexts) {
        if (entry.Code == code)
            return TrimText(gai_strerror(entry.ResolverCode));
    }
    int errnoValue = -1;
    for (const auto& entry : kErrnoTable) {
        if (entry.Code == code) {
            errnoValue = entry.Errno;
            break;
        }
    }
    if (errnoValue < 0) {
        // Codes outside the table are errno values passed through (or unknown).
        if (code >= 10000)
            return {};
        errnoValue = code;
    }
    char buffer[256];
    const char* text = strerror_r(errnoValue, buffer, sizeof buffer);
    std::string result = TrimText(text);
    // glibc answers "Unknown error N" for values it has no text for: that is no text.
    if (result.rfind("Unknown error", 0) == 0)
        return {};
    return result;
}

// ---- Library start-up and capabilities ----

void StartupSockets() {
    startupCount.fetch_add(1);
}

void CleanupSockets() {
    int current = startupCount.load();
    while (current > 0 && !startupCount.compare_exchange_weak(current, current - 1)) {
    }
}

int SocketsStartupCount() {
    return startupCount.load();
}

bool IsIPv6Available() {
    std::lock_guard<std::mutex> lock(ipv6Mutex);
    if (ipv6Override)
        return *ipv6Override;
    if (!ipv6Probed) {
        const int handle = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
        ipv6Probed = handle >= 0;
        if (handle >= 0)
            ::close(handle);
    }
    return *ipv6Probed;
}

void SetIPv6AvailableOverride(std::optional<bool> value) {
    std::lock_guard<std::mutex> lock(ipv6Mutex);
    ipv6Override = value;
}

// ---- Socket calls ----

int SocketCreate(int family, int type, int protocol) {
    const int systemFamily = ToSystemFamily(family);
    if (systemFamily < 0 || systemFamily == AF_UNSPEC) {
        lastError = WSAEAFNOSUPPORT;
        return -1;
    }
    const int systemType = (type == nbSockStream ? SOCK_STREAM : SOCK_DGRAM);
    const int handle = ::socket(systemFamily, systemType | SOCK_NONBLOCK | SOCK_CLOEXEC, protocol);
    if (handle < 0)
        return Fail();
    if (systemFamily == AF_INET6) {
        // IPv4 peers must never appear as ::FFFF:a.b.c.d (they would break PASV text, the
        // private-address checks and the guard's masks): IPv6 sockets carry IPv6 only.
        const int on = 1;
        if (::setsockopt(handle, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on) != 0) {
            const int saved = errno;
            ::close(handle);
            errno = saved;
            return Fail();
        }
    }
    return handle;
}

int SocketClose(int handle) {
    // close is not retried on EINTR: the descriptor is gone either way on Linux.
    if (::close(handle) != 0)
        return Fail();
    return 0;
}

int SocketShutdown(int handle, int how) {
    const int systemHow = how == 0 ? SHUT_RD : (how == 1 ? SHUT_WR : SHUT_RDWR);
    if (::shutdown(handle, systemHow) != 0)
        return Fail();
    return 0;
}

int SocketBind(int handle, const void* address, int length) {
    if (::bind(handle, Raw(address), static_cast<socklen_t>(length)) != 0)
        return Fail();
    return 0;
}

int SocketListen(int handle, int backlog) {
    if (::listen(handle, backlog) != 0)
        return Fail();
    return 0;
}

int SocketAccept(int handle, void* address, int* length) {
    socklen_t len = length ? static_cast<socklen_t>(*length) : 0;
    int result;
    do {
        result = ::accept4(handle, address ? Raw(address) : nullptr, address ? &len : nullptr,
                           SOCK_NONBLOCK | SOCK_CLOEXEC);
    } while (result < 0 && errno == EINTR);
    if (result < 0)
        return Fail();
    if (length)
        *length = static_cast<int>(len);
    return result;
}

int SocketConnect(int handle, const void* address, int length) {
    int result = ::connect(handle, Raw(address), static_cast<socklen_t>(length));
    if (result != 0 && errno == EINTR) {
        // An interrupted connect goes on in the background, as a non-blocking one does.
        errno = EINPROGRESS;
    }
    if (result != 0)
        return Fail();
    return 0;
}

int SocketGetSockName(int handle, void* address, int* length) {
    socklen_t len = static_cast<socklen_t>(*length);
    if (::getsockname(handle, Raw(address), &len) != 0)
        return Fail();
    *length = static_cast<int>(len);
    return 0;
}

int SocketRecv(int handle, void* buffer, int size) {
    ssize_t result;
    do {
        result = ::recv(handle, buffer, static_cast<size_t>(size), 0);
    } while (result < 0 && errno == EINTR);
    if (result < 0)
        return Fail();
    return static_cast<int>(result);
}

int SocketSend(int handle, const void* buffer, int size) {
    ssize_t result;
    do {
        result = ::send(handle, buffer, static_cast<size_t>(size), MSG_NOSIGNAL);
    } while (result < 0 && errno == EINTR);
    if (result < 0)
        return Fail();
    return static_cast<int>(result);
}

int SocketRecvFrom(int handle, void* buffer, int size, void* address, int* length) {
    socklen_t len = static_cast<socklen_t>(*length);
    ssize_t result;
    do {
        result = ::recvfrom(handle, buffer, static_cast<size_t>(size), 0, Raw(address), &len);
    } while (result < 0 && errno == EINTR);
    if (result < 0)
        return Fail();
    *length = static_cast<int>(len);
    return static_cast<int>(result);
}

int SocketSendTo(int handle, const void* buffer, int size, const void* address, int length) {
    ssize_t result;
    do {
        result = ::sendto(handle, buffer, static_cast<size_t>(size), MSG_NOSIGNAL, Raw(address),
                          static_cast<socklen_t>(length));
    } while (result < 0 && errno == EINTR);
    if (result < 0)
        return Fail();
    return static_cast<int>(result);
}

std::int64_t SocketSendFile(int socket, int fileFd, std::int64_t offset, std::size_t count) {
    // sendfile has no MSG_NOSIGNAL: SIGPIPE is blocked for this thread during the call, and one
    // the call raised is taken back before the mask is restored (unless one was pending
    // already). A call that moved some bytes before the peer went raises it too, without EPIPE,
    // so the pending set is what tells.
    auto pipePending = [] {
        sigset_t pending;
        sigpending(&pending);
        return sigismember(&pending, SIGPIPE) == 1;
    };
    sigset_t pipeSet;
    sigset_t oldSet;
    sigemptyset(&pipeSet);
    sigaddset(&pipeSet, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipeSet, &oldSet);
    // Unblocked, a SIGPIPE cannot be waiting: it would have been delivered.
    const bool pendingBefore = sigismember(&oldSet, SIGPIPE) == 1 && pipePending();
    off_t position = static_cast<off_t>(offset);
    ssize_t result;
    do {
        result = ::sendfile(socket, fileFd, &position, count);
    } while (result < 0 && errno == EINTR);
    const int error = errno;
    if (!pendingBefore && pipePending()) {
        const timespec noWait{};
        while (sigtimedwait(&pipeSet, nullptr, &noWait) < 0 && errno == EINTR) {
        }
    }
    pthread_sigmask(SIG_SETMASK, &oldSet, nullptr);
    if (result < 0) {
        // ENOSYS is not a socket condition: it tells the same as EINVAL, no sendfile here.
        errno = error == ENOSYS ? EOPNOTSUPP : error;
        return Fail();
    }
    return static_cast<std::int64_t>(result);
}

int SocketSetNonBlocking(int handle) {
    const int flags = ::fcntl(handle, F_GETFL, 0);
    if (flags < 0 || ::fcntl(handle, F_SETFL, flags | O_NONBLOCK) != 0)
        return Fail();
    return 0;
}

int SocketSetBroadcast(int handle) {
    const int on = 1;
    if (::setsockopt(handle, SOL_SOCKET, SO_BROADCAST, &on, sizeof on) != 0)
        return Fail();
    return 0;
}

int SocketSetReuseAddress(int handle) {
    const int on = 1;
    if (::setsockopt(handle, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0)
        return Fail();
    return 0;
}

int SocketSetNoDelay(int handle) {
    const int on = 1;
    if (::setsockopt(handle, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) != 0)
        return Fail();
    return 0;
}

int SocketSetOobInline(int handle) {
    const int on = 1;
    if (::setsockopt(handle, SOL_SOCKET, SO_OOBINLINE, &on, sizeof on) != 0)
        return Fail();
    return 0;
}

int SocketSetBufferSizes(int handle, int bytes) {
    if (::setsockopt(handle, SOL_SOCKET, SO_SNDBUF, &bytes, sizeof bytes) != 0 ||
        ::setsockopt(handle, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes) != 0)
        return Fail();
    return 0;
}

int SocketPendingBytes(int handle) {
    int count = 0;
    if (::ioctl(handle, FIONREAD, &count) != 0)
        return Fail();
    return count;
}

int SocketTakeError(int handle) {
    int error = 0;
    socklen_t len = sizeof error;
    if (::getsockopt(handle, SOL_SOCKET, SO_ERROR, &error, &len) != 0)
        return MapSystemError(errno);
    return error == 0 ? 0 : MapSystemError(error);
}

int SocketPoll(TnbPollItem* items, int count, int timeOut) {
    pollfd fds[8];
    if (count < 0 || count > 8) {
        lastError = WSAEINVAL;
        return -1;
    }
    for (int i = 0; i < count; ++i) {
        fds[i].fd = items[i].Handle;
        fds[i].events = ToPollEvents(items[i].Events);
        fds[i].revents = 0;
    }
    const std::uint32_t start = GetTickCount32();
    int wait = timeOut;
    int result;
    for (;;) {
        result = ::poll(fds, static_cast<nfds_t>(count), wait);
        if (result >= 0 || errno != EINTR)
            break;
        if (timeOut >= 0) {
            const std::uint32_t elapsed = TicksElapsed(start, GetTickCount32());
            wait = elapsed >= static_cast<std::uint32_t>(timeOut)
                       ? 0
                       : timeOut - static_cast<int>(elapsed);
        }
    }
    if (result < 0)
        return Fail();
    for (int i = 0; i < count; ++i)
        items[i].REvents = FromPollEvents(fds[i].revents);
    return result;
}

// ---- Address text and the resolver ----

std::uint32_t InetAddr(const char* text) {
    return ::inet_addr(text);
}

std::string InetNtoa(std::uint32_t address) {
    in_addr value{};
    value.s_addr = address;
    char buffer[INET_ADDRSTRLEN] = {};
    if (!::inet_ntop(AF_INET, &value, buffer, sizeof buffer))
        return {};
    return buffer;
}

int ResolveAddresses(const std::string& host, bool numericHost,
                     std::vector<TnbResolvedAddress>& result, int family) {
    result.clear();
    addrinfo hints{};
    hints.ai_family = ToSystemFamily(family);
    if (hints.ai_family < 0)
        return WSAEAFNOSUPPORT;
    hints.ai_flags = numericHost ? AI_NUMERICHOST : 0;
    hints.ai_socktype = SOCK_STREAM;  // one entry per address, not one per socket type
    addrinfo* list = nullptr;
    errno = 0;
    const int rc = ::getaddrinfo(host.c_str(), nullptr, &hints, &list);
    if (rc != 0)
        return MapResolverError(rc, errno);
    // The list is released however the walk ends.
    std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> owner(list, &::freeaddrinfo);
    for (const addrinfo* entry = list; entry; entry = entry->ai_next) {
        const int entryFamily = FromSystemFamily(entry->ai_family);
        if (entryFamily != nbAfInet && entryFamily != nbAfInet6)
            continue;
        if (entry->ai_addrlen > sizeof(TnbSockAddrStorage::Bytes))
            continue;
        TnbResolvedAddress item;
        item.Family = entryFamily;
        item.Length = static_cast<int>(entry->ai_addrlen);
        std::memcpy(item.Address.Bytes, entry->ai_addr, entry->ai_addrlen);
        result.push_back(item);
    }
    return 0;
}

int SockAddrFamily(const TnbSockAddrStorage& address) {
    sa_family_t family;
    std::memcpy(&family, address.Bytes, sizeof family);
    const int result = FromSystemFamily(family);
    return result < 0 ? 0 : result;
}

// A block that holds no address yet keeps the IPv4 layout (the IPv4 address class is one
// sockaddr_in from its creation), so a port set before the address is not lost.
int SockAddrPort(const TnbSockAddrStorage& address) {
    std::uint16_t value = 0;
    if (SockAddrFamily(address) == nbAfInet6) {
        std::memcpy(&value, address.Bytes + offsetof(sockaddr_in6, sin6_port), sizeof value);
    } else {
        std::memcpy(&value, address.Bytes + offsetof(sockaddr_in, sin_port), sizeof value);
    }
    return ntohs(value);
}

void SockAddrSetPort(TnbSockAddrStorage& address, int port) {
    const std::uint16_t value = htons(static_cast<std::uint16_t>(port));
    if (SockAddrFamily(address) == nbAfInet6) {
        std::memcpy(address.Bytes + offsetof(sockaddr_in6, sin6_port), &value, sizeof value);
    } else {
        std::memcpy(address.Bytes + offsetof(sockaddr_in, sin_port), &value, sizeof value);
    }
}

int SockAddrSetIPv4(TnbSockAddrStorage& address, std::uint32_t networkAddress, int port) {
    sockaddr_in block{};
    block.sin_family = AF_INET;
    block.sin_port = htons(static_cast<std::uint16_t>(port));
    block.sin_addr.s_addr = networkAddress;
    address = TnbSockAddrStorage{};
    std::memcpy(address.Bytes, &block, sizeof block);
    return static_cast<int>(sizeof block);
}

std::uint32_t SockAddrIPv4(const TnbSockAddrStorage& address) {
    sockaddr_in block;
    std::memcpy(&block, address.Bytes, sizeof block);
    return block.sin_addr.s_addr;
}

const unsigned char* SockAddrIPv6(const TnbSockAddrStorage& address) {
    return address.Bytes + offsetof(sockaddr_in6, sin6_addr);
}

int SockAddrLength(int family) {
    if (family == nbAfInet)
        return static_cast<int>(sizeof(sockaddr_in));
    if (family == nbAfInet6)
        return static_cast<int>(sizeof(sockaddr_in6));
    return 0;
}

// ---- Event objects ----

TnbEvent::TnbEvent() {
    handle_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (handle_ < 0)
        throw std::system_error(errno, std::generic_category(), "eventfd");
}

TnbEvent::~TnbEvent() {
    if (handle_ >= 0)
        ::close(handle_);
}

void TnbEvent::Signal() {
    const std::uint64_t one = 1;
    ssize_t result;
    do {
        result = ::write(handle_, &one, sizeof one);
    } while (result < 0 && errno == EINTR);
    // EAGAIN means the counter is saturated: it is signalled already.
}

void TnbEvent::Reset() {
    std::uint64_t value;
    ssize_t result;
    do {
        result = ::read(handle_, &value, sizeof value);
    } while (result < 0 && errno == EINTR);
}

bool TnbEvent::IsSignalled() const {
    pollfd fd{handle_, POLLIN, 0};
    int result;
    do {
        result = ::poll(&fd, 1, 0);
    } while (result < 0 && errno == EINTR);
    return result > 0 && (fd.revents & POLLIN);
}

bool SleepOrWake(int wakeHandle, int ms) {
    TnbPollItem item{wakeHandle, nbPollIn, 0};
    const int result = SocketPoll(&item, 1, ms < 0 ? 0 : ms);
    return result > 0;
}

}  // namespace nb
