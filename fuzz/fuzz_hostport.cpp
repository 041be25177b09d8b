// PORT and PASV texts. Properties:
// - ParseHostPort accepts exactly six decimal groups of 0 to 255 and reads them right;
// - the PORT command accepts an argument only when it is such a text, the port is 20 or at least
//   1024, and (without FXP) the host is the client itself; a valid one is never refused;
// - FormatHostPortAddress either refuses or writes a text that parses back to its input.
#include <fuzzer/FuzzedDataProvider.h>

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "ftp/nbFtpFileInfo.h"
#include "ftp/nbFtpServer.h"
#include "fuzz/nbFuzzSupport.h"
#include "net/nbIpAddress.h"
#include "net/nbSocketUtils.h"

namespace {

using nb::fuzz::Require;

// Gives the fuzzer sessions of the real server class, as a listener would create them.
class TFuzzFtpServer : public nb::TnbFtpServer {
public:
    ~TFuzzFtpServer() override { StopOnDestroy(); }
    std::shared_ptr<nb::TnbFtpCommandConnection> NewSession() {
        return std::dynamic_pointer_cast<nb::TnbFtpCommandConnection>(CreateConnection());
    }
};

TFuzzFtpServer& Server() {
    static TFuzzFtpServer server;
    return server;
}

// The reference reading of a PORT argument: six groups of 1 to 3 digits, each 0 to 255.
std::optional<std::array<int, 6>> StrictGroups(std::string_view text) {
    std::array<int, 6> groups{};
    std::size_t index = 0;
    std::size_t digits = 0;
    int value = 0;
    for (std::size_t i = 0; i <= text.size(); ++i) {
        if (i == text.size() || text[i] == ',') {
            if (digits == 0 || value > 255 || index >= 6)
                return std::nullopt;
            groups[index++] = value;
            digits = 0;
            value = 0;
            continue;
        }
        if (text[i] < '0' || text[i] > '9' || ++digits > 3)
            return std::nullopt;
        value = value * 10 + (text[i] - '0');
    }
    if (index != 6)
        return std::nullopt;
    return groups;
}

std::string Dotted(const std::array<int, 6>& g) {
    return std::to_string(g[0]) + "." + std::to_string(g[1]) + "." + std::to_string(g[2]) + "." +
           std::to_string(g[3]);
}

std::string_view TrimBlanks(std::string_view s) {
    while (!s.empty() && static_cast<unsigned char>(s.front()) <= ' ')
        s.remove_prefix(1);
    while (!s.empty() && static_cast<unsigned char>(s.back()) <= ' ')
        s.remove_suffix(1);
    return s;
}

bool IsPrivate(const std::array<int, 6>& g) {
    return g[0] == 10 || (g[0] == 192 && g[1] == 168) || (g[0] == 172 && g[1] >= 16 && g[1] <= 31);
}

constexpr const char* kPeers[] = {
    "127.0.0.1",          "203.0.113.7", "10.1.2.3", "::ffff:127.0.0.1",
    "::ffff:203.0.113.7", "192.168.0.5", "::1",      "198.51.100.20"};

void CheckParseHostPort(const std::string& text) {
    std::string host = "untouched";
    int port = -12345;
    const bool accepted = nb::ParseHostPort(text, host, port);
    const auto groups = StrictGroups(text);
    Require(accepted == groups.has_value(), "ParseHostPort takes exactly six groups of 0-255",
            text);
    if (!accepted) {
        Require(host == "untouched" && port == -12345, "a refused text leaves the outputs", text);
        return;
    }
    Require(host == Dotted(*groups), "the host is the first four groups", text);
    Require(port == (*groups)[4] * 256 + (*groups)[5], "the port is p1 * 256 + p2", text);
}

void CheckPortCommand(const std::string& argument, const char* peer, bool useFxp) {
    auto& server = Server();
    server.SetUseFxp(useFxp);
    auto session = server.NewSession();
    Require(session != nullptr, "sessions are FTP sessions");
    session->SetIsLoggedIn(true);
    session->SetPeerIP(peer);
    auto* info = server.CommandList().Find("PORT");
    Require(info != nullptr, "PORT is in the table");

    nb::TnbTcpCommandParams params;
    params.Parse("PORT " + argument);
    bool accepted = true;
    try {
        info->Execute(*session, params);
    } catch (const nb::EnbTcpCommandServerError& e) {
        accepted = false;
        Require(std::string(e.what()).rfind("501 ", 0) == 0, "a bad PORT gets 501", e.what());
    }

    const auto groups = StrictGroups(TrimBlanks(params.Params));
    if (!groups) {
        Require(!accepted, "PORT refuses anything but six groups of 0-255", argument);
        return;
    }
    const int port = (*groups)[4] * 256 + (*groups)[5];
    const bool portAllowed = port == 20 || port >= 1024;
    std::string peerText = peer;
    if (peerText.rfind("::ffff:", 0) == 0)
        peerText.erase(0, 7);
    std::string host = Dotted(*groups);
    const bool peerPrivate =
        peerText.find('.') != std::string::npos && nb::TnbIPAddress4::IsPrivateAddress(peerText);
    if (IsPrivate(*groups) && !peerPrivate)
        host = peerText;
    const bool hostAllowed = useFxp || host == peerText;
    Require(accepted == (portAllowed && hostAllowed),
            accepted ? "PORT accepts only the client and port 20 or 1024 and above"
                     : "PORT accepts a valid target",
            argument + " from " + peer);
    if (accepted) {
        Require(session->DataPort() == port, "PORT keeps the port it read", argument);
        Require(session->DataHost() == host, "PORT keeps the host it checked", argument);
    }
}

void CheckFormat(const std::string& address, int port) {
    std::string text;
    try {
        text = nb::FormatHostPortAddress(address, port);
    } catch (const nb::EnbSocketError&) {
        return;
    }
    std::string host;
    int parsedPort = -1;
    Require(nb::ParseHostPort(text, host, parsedPort), "a formatted text parses", text);
    Require(parsedPort == port, "the port survives formatting", text);
    // Compared by value: "010.0.0.1" is written as 10,0,0,1.
    std::string_view plain = address;
    if (plain.size() > 7) {
        std::string head(plain.substr(0, 7));
        for (char& c : head)
            c = static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
        if (head == "::ffff:")
            plain.remove_prefix(7);
    }
    std::string groups(plain);
    for (char& c : groups)
        c = c == '.' ? ',' : c;
    const auto expected = StrictGroups(groups + ",0,0");
    Require(expected.has_value() && host == Dotted(*expected), "the address survives formatting",
            address + " -> " + text);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider provider(data, size);
    const auto choice = provider.ConsumeIntegral<std::uint8_t>();
    const auto a = provider.ConsumeIntegral<std::uint32_t>();
    const int port = provider.ConsumeIntegralInRange<int>(-2, 65537);
    const std::string text = provider.ConsumeRemainingBytesAsString();

    CheckParseHostPort(text);
    CheckPortCommand(text, kPeers[choice & 7], (choice & 8) != 0);

    // Formatting: from any text, and from a well-formed address of the four bytes.
    CheckFormat(text, port);
    const std::string dotted = std::to_string(a >> 24) + "." + std::to_string((a >> 16) & 255) +
                               "." + std::to_string((a >> 8) & 255) + "." + std::to_string(a & 255);
    CheckFormat((choice & 16) ? "::ffff:" + dotted : dotted, port);
    if (port >= 0 && port <= 65535) {
        std::string host;
        int back = -1;
        Require(nb::ParseHostPort(nb::FormatHostPortAddress(dotted, port), host, back) &&
                    host == dotted && back == port,
                "every IPv4 address and port round-trips", dotted);
    }
    return 0;
}
