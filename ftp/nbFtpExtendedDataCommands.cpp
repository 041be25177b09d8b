// TnbFtpServer: the data connections of RFC 2428 (EPSV, EPRT), which name IPv6 as well as IPv4
// addresses, and "EPSV ALL".
#include <arpa/inet.h>

#include "ftp/nbFtpServer.h"
#include "ftp/nbFtpServerInternal.h"
#include "net/nbConnection.h"

namespace nb {

using namespace ftp_internal;

namespace {

// RFC 2428 network protocol numbers.
constexpr int kProtocolIpV4 = 1;
constexpr int kProtocolIpV6 = 2;

// The protocol of an address as the client sees it: an IPv4 client on a dual-stack socket is
// an IPv4 client.
int ProtocolOf(const std::string& address) {
    const std::string plain = UnmapAddress(address);
    return plain.find(':') != std::string::npos ? kProtocolIpV6 : kProtocolIpV4;
}

[[noreturn]] void RaiseProtocolNotSupported(const std::string& cmd, const std::string& supported) {
    TnbFtpServer::RaiseFtpError(cmd, 522,
                                "Network protocol not supported, use (" + supported + ")");
}

// A decimal port 1..65535 without sign or blanks.
bool ParsePort(std::string_view text, int& port) {
    if (text.empty() || text.size() > 5 || text.find_first_not_of("0123456789") != text.npos)
        return false;
    int value = 0;
    for (char ch : text)
        value = value * 10 + (ch - '0');
    if (value < 1 || value > 65535)
        return false;
    port = value;
    return true;
}

struct TExtendedAddress {
    std::string Protocol;
    std::string Address;
    std::string Port;
};

// "<d>proto<d>address<d>port<d>" with any printable delimiter d (RFC 2428: ASCII 33 to 126);
// false unless there are exactly these three fields.
bool SplitExtendedAddress(std::string_view text, TExtendedAddress& result) {
    if (text.size() < 4 || text.front() < 33 || text.front() > 126)
        return false;
    const char d = text.front();
    if (text.back() != d)
        return false;
    std::string_view fields = text.substr(1, text.size() - 2);
    const auto first = fields.find(d);
    if (first == fields.npos)
        return false;
    const auto second = fields.find(d, first + 1);
    if (second == fields.npos || fields.find(d, second + 1) != fields.npos)
        return false;
    result.Protocol = std::string(fields.substr(0, first));
    result.Address = std::string(fields.substr(first + 1, second - first - 1));
    result.Port = std::string(fields.substr(second + 1));
    return true;
}

}  // namespace

void TnbFtpServer::CheckNotEpsvAll(TnbFtpCommandConnection& c, const std::string& cmd) {
    if (c.EpsvAll())
        RaiseFtpError(cmd, 501, "EPSV ALL in effect");
}

void TnbFtpServer::CmdEpsv(TnbFtpCommandConnection& c, const std::string& cmd,
                           const TnbTcpCommandParams& p) {
    CheckSession(c, cmd);
    const std::string argument = UpperCaseAscii(Trim(p.Params));
    if (argument == "ALL") {
        c.SetEpsvAll(true);
        Reply(c, cmd, "200 EPSV ALL ok.");
        return;
    }
    // The listener takes the control connection's address, hence its protocol: a client asking
    // for the other one cannot be served.
    const int own = ProtocolOf(c.IP());
    if (!argument.empty()) {
        if (argument != "1" && argument != "2")
            RaiseInvalidArgument(cmd);
        if (std::stoi(argument) != own)
            RaiseProtocolNotSupported(cmd, std::to_string(own));
    }
    const int port = ListenPassive(c, cmd);
    Reply(c, cmd, "229 Entering Extended Passive Mode (|||" + std::to_string(port) + "|)");
}

void TnbFtpServer::CmdEprt(TnbFtpCommandConnection& c, const std::string& cmd,
                           const TnbTcpCommandParams& p) {
    CheckSession(c, cmd);
    CheckNotEpsvAll(c, cmd);
    TExtendedAddress target;
    if (!SplitExtendedAddress(Trim(p.Params), target))
        RaiseInvalidArgument(cmd);
    int family = 0;
    if (target.Protocol == "1")
        family = AF_INET;
    else if (target.Protocol == "2")
        family = AF_INET6;
    else
        RaiseProtocolNotSupported(cmd, "1,2");
    // SECURITY: only a plain numeric address of the named protocol, and a plain decimal port;
    // nothing that name resolution or a lenient parser would turn into another host.
    unsigned char binary[sizeof(in6_addr)];
    int port = 0;
    if (inet_pton(family, target.Address.c_str(), binary) != 1 || !ParsePort(target.Port, port))
        RaiseInvalidArgument(cmd);
    c.SetIsPassive(false);
    c.SetDataHost(target.Address);
    c.SetDataPort(port);
    // The same rules as PORT: the client itself unless FXP is on, no privileged port but 20.
    if (!IsValidPortTarget(c))
        RaiseInvalidArgument(cmd);
    auto dc = InitDataConnection(c, NewDataConnection<TnbTcpClientConnection>(cmd));
    // The server's own binding may be a wildcard or of the other family (a dual-stack listener):
    // the connection then leaves from any local address of the target's family.
    if (dc && ProtocolOf(dc->LocalBinding()) != ProtocolOf(target.Address))
        dc->SetLocalBinding(std::string());
    Reply(c, cmd, "200 EPRT command successful.");
}

}  // namespace nb
