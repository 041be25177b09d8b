// The one place where the networking stack calls the operating system: socket syscalls, poll,
// event descriptors and the name resolver, plus the single table that turns errno and resolver
// failures into the Windows Sockets codes the rest of the library speaks.
//
// Conventions of every wrapper here:
// - The API keeps the library's own constants (families 2 and 23, the FD_* event bits, the
//   Windows Sockets codes); they are converted to and from the system's at this boundary.
// - A failing call returns -1 and leaves the mapped code in WSAGetLastError() (thread-local).
// - EINTR is retried and never reported. Sockets are non-blocking and close-on-exec, sends use
//   MSG_NOSIGNAL (a vanished peer is an error code, never a signal), IPv6 sockets are IPv6-only.
// Thread notes: every function may run on any thread; the last error is per thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace nb {

// ---- Constants of the API ----

inline constexpr int nbAfUnspec = 0;
inline constexpr int nbAfInet = 2;    // AF_INET
inline constexpr int nbAfInet6 = 23;  // AF_INET6 as the library numbers it
inline constexpr int nbSockStream = 1;
inline constexpr int nbIpProtoTcp = 6;
inline constexpr int nbInvalidSocket = -1;
inline constexpr int nbSdBoth = 2;

// Network event bits (the FD_* masks) and the index of each event's error code.
inline constexpr int FD_READ = 1;
inline constexpr int FD_WRITE = 2;
inline constexpr int FD_OOB = 4;
inline constexpr int FD_ACCEPT = 8;
inline constexpr int FD_CONNECT = 16;
inline constexpr int FD_CLOSE = 32;
inline constexpr int FD_READ_BIT = 0;
inline constexpr int FD_WRITE_BIT = 1;
inline constexpr int FD_ACCEPT_BIT = 3;
inline constexpr int FD_CONNECT_BIT = 4;
inline constexpr int FD_CLOSE_BIT = 5;
inline constexpr int FD_MAX_EVENTS = 10;

// Windows Sockets codes used by the library.
inline constexpr int WSA_NOT_ENOUGH_MEMORY = 8;
inline constexpr int WSAEINTR = 10004;
inline constexpr int WSAEBADF = 10009;
inline constexpr int WSAEACCES = 10013;
inline constexpr int WSAEFAULT = 10014;
inline constexpr int WSAEINVAL = 10022;
inline constexpr int WSAEMFILE = 10024;
inline constexpr int WSAEWOULDBLOCK = 10035;
inline constexpr int WSAEINPROGRESS = 10036;
inline constexpr int WSAEALREADY = 10037;
inline constexpr int WSAENOTSOCK = 10038;
inline constexpr int WSAEDESTADDRREQ = 10039;
inline constexpr int WSAEMSGSIZE = 10040;
inline constexpr int WSAEPROTOTYPE = 10041;
inline constexpr int WSAENOPROTOOPT = 10042;
inline constexpr int WSAEPROTONOSUPPORT = 10043;
inline constexpr int WSAESOCKTNOSUPPORT = 10044;
inline constexpr int WSAEOPNOTSUPP = 10045;
inline constexpr int WSAEPFNOSUPPORT = 10046;
inline constexpr int WSAEAFNOSUPPORT = 10047;
inline constexpr int WSAEADDRINUSE = 10048;
inline constexpr int WSAEADDRNOTAVAIL = 10049;
inline constexpr int WSAENETDOWN = 10050;
inline constexpr int WSAENETUNREACH = 10051;
inline constexpr int WSAENETRESET = 10052;
inline constexpr int WSAECONNABORTED = 10053;
inline constexpr int WSAECONNRESET = 10054;
inline constexpr int WSAENOBUFS = 10055;
inline constexpr int WSAEISCONN = 10056;
inline constexpr int WSAENOTCONN = 10057;
inline constexpr int WSAESHUTDOWN = 10058;
inline constexpr int WSAETOOMANYREFS = 10059;
inline constexpr int WSAETIMEDOUT = 10060;
inline constexpr int WSAECONNREFUSED = 10061;
inline constexpr int WSAELOOP = 10062;
inline constexpr int WSAENAMETOOLONG = 10063;
inline constexpr int WSAEHOSTDOWN = 10064;
inline constexpr int WSAEHOSTUNREACH = 10065;
inline constexpr int WSATYPE_NOT_FOUND = 10109;
inline constexpr int WSAHOST_NOT_FOUND = 11001;
inline constexpr int WSATRY_AGAIN = 11002;
inline constexpr int WSANO_RECOVERY = 11003;
inline constexpr int WSANO_DATA = 11004;

// ---- Error codes ----

// The code of the last failed wrapper call on this thread.
int WSAGetLastError();
void WSASetLastError(int code);
// errno -> Windows Sockets code (unknown errno values are passed through unchanged).
int MapSystemError(int errnoValue);
// getaddrinfo result -> 11001..11004 (or a socket code); savedErrno serves EAI_SYSTEM.
int MapResolverError(int resolverCode, int savedErrno);
// The system's text for a code, trimmed; empty for a code the system does not know.
std::string GetSystemErrorText(int code);

// ---- Library start-up and capabilities ----

// Counted; there is nothing to initialise on this platform.
void StartupSockets();
void CleanupSockets();
int SocketsStartupCount();

// Whether IPv6 sockets can be made here (probed once). Tests may force the answer;
// std::nullopt returns to the probe.
bool IsIPv6Available();
void SetIPv6AvailableOverride(std::optional<bool> value);

// ---- Socket calls (addresses are system socket-address blocks of the given length) ----

int SocketCreate(int family, int type, int protocol);
int SocketClose(int handle);
int SocketShutdown(int handle, int how);
int SocketBind(int handle, const void* address, int length);
int SocketListen(int handle, int backlog);
// Returns the new handle (non-blocking, close-on-exec) or -1; length is in/out.
int SocketAccept(int handle, void* address, int* length);
// -1 with WSAEWOULDBLOCK while a non-blocking connect is in progress.
int SocketConnect(int handle, const void* address, int length);
int SocketGetSockName(int handle, void* address, int* length);
int SocketRecv(int handle, void* buffer, int size);
int SocketSend(int handle, const void* buffer, int size);
int SocketRecvFrom(int handle, void* buffer, int size, void* address, int* length);
int SocketSendTo(int handle, const void* buffer, int size, const void* address, int length);
// Sends up to count bytes of the file fileFd from offset without copying them through user
// memory; the file's own position is not moved. Returns the bytes sent or -1. Like a send, it
// never raises SIGPIPE. A file or file system that cannot be sent this way answers -1 with
// WSAEINVAL or WSAEOPNOTSUPP.
std::int64_t SocketSendFile(int socket, int fileFd, std::int64_t offset, std::size_t count);
int SocketSetNonBlocking(int handle);
int SocketSetBroadcast(int handle);
int SocketSetReuseAddress(int handle);
// Urgent data stays in the byte stream (FTP clients send ABOR and Telnet Synch as urgent data).
// Sends each write at once instead of holding a small segment until the previous one is
// acknowledged (Nagle's algorithm).
int SocketSetNoDelay(int handle);
int SocketSetOobInline(int handle);
// Fixed kernel send and receive buffers of about `bytes` each (the kernel doubles the value for
// its bookkeeping); switches off their automatic growth.
int SocketSetBufferSizes(int handle, int bytes);
// Bytes waiting to be received, or -1.
int SocketPendingBytes(int handle);
// The pending error of the socket (SO_ERROR, mapped; reading it clears it), 0 for none.
int SocketTakeError(int handle);

// Readiness bits of SocketPoll (converted to and from poll's own).
inline constexpr int nbPollIn = 1;
inline constexpr int nbPollOut = 2;
inline constexpr int nbPollRdHup = 4;
inline constexpr int nbPollErr = 8;
inline constexpr int nbPollHup = 16;

struct TnbPollItem {
    int Handle = -1;  // -1 entries are ignored
    int Events = 0;   // nbPoll* bits asked for
    int REvents = 0;  // nbPoll* bits found
};
// poll(2); timeOut in ms, -1 = no limit. Returns the number of ready items, 0 on time-out,
// -1 on failure. An interrupted wait goes on with the time that is left.
int SocketPoll(TnbPollItem* items, int count, int timeOut);

// ---- Address text and the resolver ----

// inet_addr: the network-order IPv4 address of text, 0xFFFFFFFF when it does not parse.
std::uint32_t InetAddr(const char* text);
// Dotted decimal text of a network-order IPv4 address.
std::string InetNtoa(std::uint32_t address);

// Socket-address block big enough for every family (the size of sockaddr_storage).
struct TnbSockAddrStorage {
    alignas(8) unsigned char Bytes[128] = {};
};

struct TnbResolvedAddress {
    int Family = 0;  // nbAfInet or nbAfInet6
    int Length = 0;  // bytes of Address in use
    TnbSockAddrStorage Address;
};

// getaddrinfo for stream sockets; numericHost forbids name lookups, family (nbAfInet,
// nbAfInet6 or nbAfUnspec) limits the answer. Returns 0 and the entries (in the resolver's
// order) or a mapped code (11001..11004, ...).
int ResolveAddresses(const std::string& host, bool numericHost,
                     std::vector<TnbResolvedAddress>& result, int family = nbAfUnspec);

// Family, port (host order) and raw address bytes of a socket-address block.
int SockAddrFamily(const TnbSockAddrStorage& address);
int SockAddrPort(const TnbSockAddrStorage& address);
void SockAddrSetPort(TnbSockAddrStorage& address, int port);
// Fills an IPv4 block; address in network order. Returns its length.
int SockAddrSetIPv4(TnbSockAddrStorage& address, std::uint32_t networkAddress, int port);
// The IPv4 address (network order) of an IPv4 block.
std::uint32_t SockAddrIPv4(const TnbSockAddrStorage& address);
// The 16 bytes of an IPv6 block.
const unsigned char* SockAddrIPv6(const TnbSockAddrStorage& address);
// The length of a block of the family (16 or 28), 0 for others.
int SockAddrLength(int family);

// ---- Event objects ----

// An eventfd used as a manual-reset event: once signalled it stays signalled (so it wakes every
// wait on it, on every thread) until Reset. Owns its descriptor.
class TnbEvent {
public:
    TnbEvent();
    ~TnbEvent();
    TnbEvent(const TnbEvent&) = delete;
    TnbEvent& operator=(const TnbEvent&) = delete;

    int Handle() const { return handle_; }
    // Any thread.
    void Signal();
    void Reset();
    bool IsSignalled() const;

private:
    int handle_ = -1;
};

// ---- Time ----

// Sleeps up to ms milliseconds; returns early when wakeHandle (>= 0) becomes readable.
// Returns true when it woke early.
bool SleepOrWake(int wakeHandle, int ms);

}  // namespace nb
