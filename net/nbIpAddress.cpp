#include "net/nbIpAddress.h"

#include <cstdio>
#include <mutex>
#include <thread>

#include "net/nbSocket.h"
#include "net/nbSocketUtils.h"
#include "util/nbUtils.h"

namespace nb {

namespace {

constexpr std::uint32_t kInAddrNone = 0xFFFFFFFFu;

std::unique_ptr<TnbIPAddress> NewAddressObject() {
    if (IsIPv6Available())
        return std::make_unique<TnbIPAddress6>();
    return std::make_unique<TnbIPAddress4>();
}

std::string AddressText(const TnbResolvedAddress& address) {
    if (address.Family == nbAfInet)
        return InetNtoa(SockAddrIPv4(address.Address));
    if (address.Family == nbAfInet6)
        return FormatIPv6Address(SockAddrIPv6(address.Address));
    return {};
}

// A decimal field; 0 when it is not a number.
int DecimalOrZero(std::string_view field) {
    if (field.empty() || field.size() > 9)
        return 0;
    int value = 0;
    for (char c : field) {
        if (c < '0' || c > '9')
            return 0;
        value = value * 10 + (c - '0');
    }
    return value;
}

}  // namespace

// ---- TnbIPAddress ----

void TnbIPAddress::SetPort(int port) {
    // SECURITY: a port outside 0..65535 (from PORT/EPRT text or settings) must never be cut
    // silently to 16 bits and end up naming another port.
    if (port < 0 || port > 65535)
        RaiseInternalError(nbErrInvalidPort);
}

std::unique_ptr<TnbIPAddress> TnbIPAddress::CreateIpAddress(int family) {
    auto address = NewAddressObject();
    address->SetFamily(family);
    return address;
}

std::unique_ptr<TnbIPAddress> TnbIPAddress::CreateBindAll(int family) {
    auto address = NewAddressObject();
    address->SetAnyAddress(family);
    return address;
}

std::unique_ptr<TnbIPAddress> TnbIPAddress::ParseIpAddress(const std::string& text) {
    auto v6 = std::make_unique<TnbIPAddress6>();
    if (v6->Parse(text))
        return v6;
    auto v4 = std::make_unique<TnbIPAddress4>();
    if (v4->Parse(text))
        return v4;
    RaiseInternalError(nbErrInvalidHost);
}

std::unique_ptr<TnbIPAddress> TnbIPAddress::CreateBindingIpAddress(const std::string& text,
                                                                   int family) {
    if (!text.empty())
        return ParseIpAddress(text);
    return CreateBindAll(family);
}

std::unique_ptr<TnbIPAddress> TnbIPAddress::CreateBindingIpAddress(const std::string& text,
                                                                   bool useIpV6) {
    return CreateBindingIpAddress(text, useIpV6 ? nbAfInet6 : nbAfInet);
}

bool TnbIPAddress::IsIpAddress(const std::string& text) {
    if (text.empty())
        return false;
    TnbIPAddress6 v6;
    if (v6.Parse(text))
        return true;
    TnbIPAddress4 v4;
    return v4.Parse(text);
}

// ---- TnbIPAddress4 ----

int TnbIPAddress4::GetFamily() const {
    return SockAddrFamily(block_);
}

int TnbIPAddress4::GetPort() const {
    return SockAddrPort(block_);
}

void TnbIPAddress4::Clear() {
    block_ = TnbSockAddrStorage{};
}

bool TnbIPAddress4::Parse(const std::string& text) {
    Clear();
    const std::uint32_t value = InetAddr(text.c_str());
    if (value == kInAddrNone)
        return false;
    SockAddrSetIPv4(block_, value, 0);
    return true;
}

void TnbIPAddress4::SetFamily(int family) {
    if (family != nbAfInet)
        RaiseInternalError(nbErrInvalidFamily);
    Clear();
    SockAddrSetIPv4(block_, 0, 0);
}

void TnbIPAddress4::SetAnyAddress(int family) {
    SetFamily(family);
}

void TnbIPAddress4::SetPort(int port) {
    TnbIPAddress::SetPort(port);
    SockAddrSetPort(block_, port);
}

std::string TnbIPAddress4::ToString() const {
    return InetNtoa(SockAddrIPv4(block_));
}

bool TnbIPAddress4::IsPrivateAddress(const std::string& text) {
    std::string_view view(text);
    if (view.starts_with("192.168.") || view.starts_with("10."))
        return true;
    if (!view.starts_with("172."))
        return false;
    std::string_view rest = view.substr(4);
    const auto dot = rest.find('.');
    const int second = DecimalOrZero(rest.substr(0, dot));
    return second >= 16 && second <= 31;
}

// ---- TnbIPAddress6 ----

const TnbSockAddrStorage* TnbIPAddress6::GetSockAddr() const {
    return hasAddress_ ? &address_.Address : nullptr;
}

int TnbIPAddress6::GetFamily() const {
    return hasAddress_ ? address_.Family : 0;
}

int TnbIPAddress6::GetSockAddrLength() const {
    return hasAddress_ ? address_.Length : 0;
}

int TnbIPAddress6::GetPort() const {
    if (!hasAddress_)
        return 0;
    return SockAddrPort(address_.Address);
}

void TnbIPAddress6::Clear() {
    hasAddress_ = false;
    address_ = TnbResolvedAddress{};
}

bool TnbIPAddress6::Parse(const std::string& text) {
    Clear();
    if (!IsIPv6Available())
        return false;
    std::vector<TnbResolvedAddress> list;
    if (ResolveAddresses(text, true, list) != 0 || list.empty())
        return false;
    address_ = list.front();
    hasAddress_ = true;
    return true;
}

void TnbIPAddress6::SetFamily(int family) {
    if (family != nbAfInet && family != nbAfInet6)
        RaiseInternalError(nbErrInvalidFamily);
    if (!Parse(family == nbAfInet6 ? "::" : "0.0.0.0"))
        RaiseInternalError(nbErrInvalidHost);
}

void TnbIPAddress6::SetAnyAddress(int family) {
    SetFamily(family);
}

void TnbIPAddress6::SetPort(int port) {
    TnbIPAddress::SetPort(port);
    const int family = GetFamily();
    if (family != nbAfInet && family != nbAfInet6)
        RaiseInternalError(nbErrInvalidHost);
    SockAddrSetPort(address_.Address, port);
}

std::string TnbIPAddress6::ToString() const {
    if (!hasAddress_)
        return {};
    return AddressText(address_);
}

std::string FormatIPv6Address(const unsigned char* bytes) {
    std::string result;
    int run = 0;  // zero groups collected; -1 once a run has been written
    char group[8];
    auto hex = [&](unsigned value) {
        std::snprintf(group, sizeof group, "%X", value);
        return std::string(group);
    };
    for (int i = 0; i < 8; ++i) {
        const unsigned g = (static_cast<unsigned>(bytes[2 * i]) << 8) | bytes[2 * i + 1];
        if (run >= 0 && g == 0) {
            ++run;
        } else if (run == 1) {
            if (!result.empty())
                result += ':';
            result += "0:" + hex(g);
            run = -1;
        } else if (run > 1) {
            result += "::" + hex(g);
            run = -1;
        } else {
            if (!result.empty())
                result += ':';
            result += hex(g);
        }
    }
    if (run == 1) {
        if (!result.empty())
            result += ':';
        result += '0';
    } else if (run > 1) {
        result += "::";
    }
    return result;
}

// ---- Resolvers ----

std::string TnbHostResolver::GetHostIP(const std::string& host, bool preferIPv6) {
    std::unique_ptr<TnbHostResolver> resolver;
    if (IsIPv6Available()) {
        resolver = std::make_unique<TnbHostResolver6>(preferIPv6);
    } else {
        resolver = std::make_unique<TnbHostResolver4>();
    }
    return resolver->Resolve(host);
}

namespace {

// What a lookup thread and its caller share. The caller may give up on a slow lookup; the
// thread then still owns its half and the state lives until both are done with it.
struct TLookupState {
    TnbEvent Completed;
    std::mutex Lock;
    int Error = 0;
    std::vector<std::string> Addresses;
};

}  // namespace

void TnbHostResolver4::Abort() {
    isAborted_.store(true);
    abortEvent_.Signal();
}

std::vector<std::string> TnbHostResolver4::Lookup(const std::string& host) {
    auto state = std::make_shared<TLookupState>();
    asyncError_ = 0;
    isAborted_.store(false);
    abortEvent_.Reset();
    try {
        std::thread([state, host] {
            // Nothing may leave this thread: every outcome goes into the shared state.
            std::vector<std::string> addresses;
            int error = 0;
            try {
                std::vector<TnbResolvedAddress> list;
                error = ResolveAddresses(host, false, list, nbAfInet);
                for (const auto& entry : list)
                    addresses.push_back(AddressText(entry));
            } catch (...) {
                error = WSANO_RECOVERY;
            }
            {
                std::lock_guard<std::mutex> lock(state->Lock);
                state->Error = error;
                state->Addresses = std::move(addresses);
            }
            state->Completed.Signal();
        }).detach();
    } catch (const std::system_error& e) {
        RaiseSocketError(MapSystemError(e.code().value()));
    }
    const std::uint32_t start = GetTickCount32();
    // A time-out raises out of here; the abandoned thread finishes on its own.
    while (!WaitForEvent(state->Completed.Handle(), abortEvent_.Handle(), start, noMessagePump_,
                         timeOut_)) {
        if (isAborted_.load())
            return {};
    }
    std::lock_guard<std::mutex> lock(state->Lock);
    asyncError_ = state->Error;
    if (asyncError_ != 0)
        RaiseSocketError(asyncError_);
    return state->Addresses;
}

std::string TnbHostResolver4::Resolve(const std::string& host) {
    if (TnbIPAddress::IsIpAddress(host))
        return host;
    const auto addresses = Lookup(host);
    return addresses.empty() ? std::string() : addresses.front();
}

void TnbHostResolver4::ResolveAll(const std::string& host, std::vector<std::string>& list) {
    list.clear();
    for (const auto& address : Lookup(host)) {
        if (isAborted_.load())
            break;
        list.push_back(address);
    }
}

std::string TnbHostResolver6::Resolve(const std::string& host) {
    if (TnbIPAddress::IsIpAddress(host))
        return host;
    std::vector<TnbResolvedAddress> list;
    const int error = ResolveAddresses(host, false, list);
    if (error != 0)
        RaiseSocketError(error);
    const int wanted = preferIPv6_ ? nbAfInet6 : nbAfInet;
    for (const auto& entry : list) {
        if (entry.Family == wanted)
            return AddressText(entry);
    }
    if (!list.empty())
        return AddressText(list.front());
    return {};
}

void TnbHostResolver6::ResolveAll(const std::string& host, std::vector<std::string>& list) {
    list.clear();
    std::vector<TnbResolvedAddress> entries;
    const int error = ResolveAddresses(host, false, entries);
    if (error != 0)
        RaiseSocketError(error);
    for (const auto& entry : entries)
        list.push_back(AddressText(entry));
}

}  // namespace nb
