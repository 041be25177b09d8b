// IP addresses (text <-> socket-address blocks) and host-name resolution.
// Thread notes: address objects belong to one thread at a time. Resolvers are used by the
// thread that created them; only Abort may be called from another thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "net/nbWinSock2.h"

namespace nb {

class TnbIPAddress {
public:
    TnbIPAddress() = default;
    virtual ~TnbIPAddress() = default;
    TnbIPAddress(const TnbIPAddress&) = delete;
    TnbIPAddress& operator=(const TnbIPAddress&) = delete;

    virtual bool IsIPv6() const = 0;
    // The socket-address block, nullptr when there is none.
    virtual const TnbSockAddrStorage* GetSockAddr() const = 0;
    virtual int GetFamily() const = 0;
    virtual int GetSockAddrLength() const = 0;
    virtual int GetPort() const = 0;
    virtual void Clear() = 0;
    // Numeric address text only; host names never resolve here.
    virtual bool Parse(const std::string& text) = 0;
    virtual void SetFamily(int family) = 0;
    virtual void SetAnyAddress(int family) = 0;
    // Ports outside 0..65535 raise "Invalid port number" (-3).
    virtual void SetPort(int port);
    virtual std::string ToString() const = 0;

    // ---- Factories (the IPv6-capable class whenever IsIPv6Available) ----

    static std::unique_ptr<TnbIPAddress> CreateIpAddress(int family);
    static std::unique_ptr<TnbIPAddress> CreateBindAll(int family);
    // Raises "Invalid host address" (-2) for text that is no numeric address.
    static std::unique_ptr<TnbIPAddress> ParseIpAddress(const std::string& text);
    static std::unique_ptr<TnbIPAddress> CreateBindingIpAddress(const std::string& text,
                                                                int family);
    static std::unique_ptr<TnbIPAddress> CreateBindingIpAddress(const std::string& text,
                                                                bool useIpV6);
    static bool IsIpAddress(const std::string& text);
};

// IPv4 only, with its own 16-byte block.
class TnbIPAddress4 : public TnbIPAddress {
public:
    TnbIPAddress4() { Clear(); }

    bool IsIPv6() const override { return false; }
    const TnbSockAddrStorage* GetSockAddr() const override { return &block_; }
    int GetFamily() const override;
    int GetSockAddrLength() const override { return 16; }
    int GetPort() const override;
    void Clear() override;
    // inet_addr rules; 255.255.255.255 (equal to INADDR_NONE) is refused.
    bool Parse(const std::string& text) override;
    void SetFamily(int family) override;
    void SetAnyAddress(int family) override;
    void SetPort(int port) override;
    std::string ToString() const override;

    // 10.x, 192.168.x and 172.16.x to 172.31.x.
    static bool IsPrivateAddress(const std::string& text);

private:
    TnbSockAddrStorage block_;
};

// IPv4 and IPv6 through the numeric resolver; holds the first address it returned.
class TnbIPAddress6 : public TnbIPAddress {
public:
    TnbIPAddress6() = default;

    bool IsIPv6() const override { return GetFamily() == nbAfInet6; }
    const TnbSockAddrStorage* GetSockAddr() const override;
    int GetFamily() const override;
    int GetSockAddrLength() const override;
    int GetPort() const override;
    void Clear() override;
    bool Parse(const std::string& text) override;
    void SetFamily(int family) override;
    void SetAnyAddress(int family) override;
    void SetPort(int port) override;
    std::string ToString() const override;

private:
    bool hasAddress_ = false;
    TnbResolvedAddress address_;
};

// IPv6 text of 16 address bytes: upper-case groups, only the first run of more than one zero
// group compressed.
std::string FormatIPv6Address(const unsigned char* bytes);

class TnbHostResolver {
public:
    TnbHostResolver() = default;
    virtual ~TnbHostResolver() = default;
    TnbHostResolver(const TnbHostResolver&) = delete;
    TnbHostResolver& operator=(const TnbHostResolver&) = delete;

    virtual std::string Resolve(const std::string& host) = 0;
    virtual void ResolveAll(const std::string& host, std::vector<std::string>& list) = 0;

    // The address text of host (unchanged when it already is a numeric address).
    static std::string GetHostIP(const std::string& host, bool preferIPv6);
};

// IPv4 lookups with a limit of LookupTimeOut ms. The lookup runs on a helper thread; a lookup
// that overruns is abandoned (the helper finishes on its own and touches only state it shares
// ownership of).
class TnbHostResolver4 : public TnbHostResolver {
public:
    static constexpr int LookupTimeOut = 5000;

    std::string Resolve(const std::string& host) override;
    void ResolveAll(const std::string& host, std::vector<std::string>& list) override;

    int AsyncError() const { return asyncError_; }
    bool IsAborted() const { return isAborted_.load(); }
    // Any thread: ends a running lookup's wait (no error) and stops ResolveAll's list.
    void Abort();
    bool NoMessagePump() const { return noMessagePump_; }
    void SetNoMessagePump(bool value) { noMessagePump_ = value; }
    // For tests: the limit of one lookup (default LookupTimeOut).
    void SetTimeOut(int ms) { timeOut_ = ms; }

private:
    // Dotted IPv4 addresses of host, in the resolver's order.
    std::vector<std::string> Lookup(const std::string& host);

    int asyncError_ = 0;
    std::atomic<bool> isAborted_{false};
    bool noMessagePump_ = false;
    int timeOut_ = LookupTimeOut;
    TnbEvent abortEvent_;
};

class TnbHostResolver6 : public TnbHostResolver {
public:
    explicit TnbHostResolver6(bool preferIPv6) : preferIPv6_(preferIPv6) {}

    std::string Resolve(const std::string& host) override;
    void ResolveAll(const std::string& host, std::vector<std::string>& list) override;
    bool PreferIPv6() const { return preferIPv6_; }

private:
    bool preferIPv6_;
};

}  // namespace nb
