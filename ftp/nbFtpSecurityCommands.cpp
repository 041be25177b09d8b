// TnbFtpServer: the FTPS commands (AUTH, PBSZ, PROT). AUTH asks the TLS layer for the switch of
// the control connection; PROT decides whether the next data connections are protected.
#include "ftp/nbFtpServer.h"

#include <mutex>

#include "ftp/nbFtpServerInternal.h"

namespace nb {

using namespace ftp_internal;

void TnbFtpServer::CmdAuth(TnbFtpCommandConnection& c, const std::string& cmd,
                           const TnbTcpCommandParams& p) {
    const auto mode = UseTLS();
    if (mode == TnbServerTlsMode::stNone)
        RaiseFtpError(cmd, 500, "SSL encryption disabled");
    if (mode == TnbServerTlsMode::stImplicit) {
        RaiseFtpError(cmd, 500, "Secure mode is already started.");
    }
    const std::string method = UpperCaseAscii(Trim(p.Params));
    if (method != "TLS" && method != "SSL")
        RaiseFtpError(cmd, 504, "Unknown auth method " + Echo(method));
    // The switch is asked for and its reply queued as one step under the connection lock: a
    // read on another thread that begins the switch in between would otherwise send the 234
    // through a stream whose handshake has not even started (SEC_E_INVALID_HANDLE, a 451 and
    // a lost session).
    std::lock_guard lock(c.ConnectionLock());
    StartTls(c);
    Reply(c, cmd, "234 Enabling SSL");
}

void TnbFtpServer::CmdPbsz(TnbFtpCommandConnection& c, const std::string& cmd,
                           const TnbTcpCommandParams&) {
    Reply(c, cmd, "200 Protection buffer size set to 0");
}

void TnbFtpServer::CmdProt(TnbFtpCommandConnection& c, const std::string& cmd,
                           const TnbTcpCommandParams& p) {
    const std::string level = UpperCaseAscii(Trim(p.Params));
    const char first = level.empty() ? '\0' : level[0];
    if (first == 'C') {
        c.SetDataProtection(false);
        Reply(c, cmd, "200 Data channel will be clear text");
    } else if (first == 'P' && UseTLS() != TnbServerTlsMode::stNone) {
        // FIX: without TLS a protected data channel cannot be had; promising one and then
        // sending clear data would be a lie about the data's protection.
        c.SetDataProtection(true);
        Reply(c, cmd, "200 Data channel will be encrypted");
    } else {
        RaiseFtpError(cmd, 536, "Unsupported option");
    }
}

}  // namespace nb
