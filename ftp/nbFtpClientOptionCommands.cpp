// TnbFtpServer: what a client says about itself beyond RFC 959: OPTS UTF8 (RFC 2640), OPTS MLST
// (RFC 3659), OPTS HASH and CLNT, and the character set a UTF-8 session speaks.
#include "ftp/nbFtpMachineList.h"
#include "ftp/nbFtpServer.h"
#include "ftp/nbFtpServerInternal.h"

namespace nb {

using namespace ftp_internal;

bool TnbFtpServer::SetExtendedOption(TnbFtpCommandConnection& c, const std::string& cmd,
                                     const std::string& option) {
    const auto blank = option.find(' ');
    const std::string name = UpperCaseAscii(option.substr(0, blank));
    const std::string value =
        blank == std::string::npos ? std::string() : Trimmed(option.substr(blank + 1));
    if (name == "UTF8") {
        const std::string state = UpperCaseAscii(value);
        if (state != "ON" && state != "OFF")
            RaiseInvalidArgument(cmd);
        c.SetUtf8(state == "ON");
        Reply(c, cmd, state == "ON" ? "200 UTF8 set to on" : "200 UTF8 set to off");
        return true;
    }
    if (name == "MLST") {
        const TnbMlstFacts facts = ParseMlstFacts(value);
        c.SetMlstFacts(facts.Bits());
        Reply(c, cmd, "200 MLST OPTS " + FormatMlstFactNames(facts));
        return true;
    }
    if (name == "HASH") {
        if (!value.empty()) {
            const std::string algorithm = UpperCaseAscii(value);
            if (!IsHashAlgorithm(algorithm))
                RaiseFtpError(cmd, 501, "Unknown algorithm, current selection not changed");
            c.SetHashAlgorithm(algorithm);
        }
        Reply(c, cmd, "200 " + c.HashAlgorithm());
        return true;
    }
    return false;
}

void TnbFtpServer::CmdClnt(TnbFtpCommandConnection& c, const std::string& cmd,
                           const TnbTcpCommandParams& p) {
    CheckSession(c, cmd);
    // Only for the log (the command line is logged as received); kept for the session.
    c.SetClientName(OneLine(Trimmed(p.Params)));
    Reply(c, cmd, "200 Noted.");
}

std::string TnbFtpServer::GetResponseCharSet(TnbCommandConnection& AConnection) {
    auto* session = dynamic_cast<TnbFtpCommandConnection*>(&AConnection);
    if (session && session->Utf8())
        return "utf-8";
    return TnbTcpCommandServer::GetResponseCharSet(AConnection);
}

std::string TnbFtpServer::GetRequestCharSet(TnbCommandConnection& AConnection) {
    auto* session = dynamic_cast<TnbFtpCommandConnection*>(&AConnection);
    if (session && session->Utf8())
        return "utf-8";
    return TnbTcpCommandServer::GetRequestCharSet(AConnection);
}

}  // namespace nb
