// Address texts. Properties:
// - parsing any text as an IPv4 or IPv6 address never crashes, and an accepted address's text
//   parses again to the same text (so comparisons by text are stable);
// - the IPv4 class refuses 255.255.255.255 and writes dotted quads;
// - the IPv6 text of any 16 bytes is read back by the system's parser as the same 16 bytes.
#include <arpa/inet.h>
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "fuzz/nbFuzzSupport.h"
#include "net/nbIpAddress.h"
#include "net/nbSocketUtils.h"

namespace {

using nb::fuzz::Require;

void CheckParse(nb::TnbIPAddress& first, nb::TnbIPAddress& second, const std::string& text) {
    if (!first.Parse(text))
        return;
    const std::string shown = first.ToString();
    Require(!shown.empty(), "an accepted address has a text", text);
    Require(second.Parse(shown), "an address text parses again", text + " -> " + shown);
    Require(second.ToString() == shown, "an address text is stable", text + " -> " + shown);
    Require(second.GetFamily() == first.GetFamily(), "the family is stable", text);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider provider(data, size);
    unsigned char raw[16] = {};
    provider.ConsumeData(raw, sizeof raw);
    const int port = provider.ConsumeIntegralInRange<int>(-1, 70000);
    // getaddrinfo refuses long texts anyway; keep the work per input small.
    const std::string text = provider.ConsumeRandomLengthString(256);

    nb::TnbIPAddress4 v4a;
    nb::TnbIPAddress4 v4b;
    CheckParse(v4a, v4b, text);
    if (v4a.Parse(text)) {
        const std::string shown = v4a.ToString();
        Require(shown != "255.255.255.255", "the IPv4 class refuses the broadcast address", text);
        in_addr check{};
        Require(inet_pton(AF_INET, shown.c_str(), &check) == 1, "IPv4 text is a dotted quad",
                shown);
    }

    nb::TnbIPAddress6 v6a;
    nb::TnbIPAddress6 v6b;
    CheckParse(v6a, v6b, text);
    nb::TnbIPAddress::IsIpAddress(text);
    nb::TnbIPAddress4::IsPrivateAddress(text);

    try {
        v4a.SetPort(port);
        Require(port >= 0 && port <= 65535, "ports outside 0..65535 are refused", text);
        Require(v4a.GetPort() == port, "the port is kept", text);
    } catch (const nb::EnbSocketError& e) {
        Require(port < 0 || port > 65535, "valid ports are taken", e.what());
    }

    const std::string formatted = nb::FormatIPv6Address(raw);
    in6_addr back{};
    Require(inet_pton(AF_INET6, formatted.c_str(), &back) == 1, "IPv6 text parses", formatted);
    Require(std::memcmp(&back, raw, 16) == 0, "IPv6 text names the same address", formatted);
    for (const char c : formatted) {
        Require(!(c >= 'a' && c <= 'f'), "IPv6 text is upper case", formatted);
    }
    return 0;
}
