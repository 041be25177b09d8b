// TnbFtpServer: the service commands (QUIT, MODE, STRU, TYPE, NOOP, SYST, HELP, SITE, STAT, FEAT,
// OPTS).
#include "ftp/nbFtpServer.h"

#include "ftp/nbFtpPath.h"
#include "ftp/nbFtpServerInternal.h"

namespace nb {

using namespace ftp_internal;

// ---- Service commands ----

void TnbFtpServer::CmdQuit(TnbFtpCommandConnection& c, const std::string& cmd,
                           const TnbTcpCommandParams&) {
    SendResponseAndClose(c, cmd, "221 Bye Bye.");
}

namespace {

// The one-letter argument of MODE, STRU and TYPE: the letter and its index in letters.
std::pair<std::string, std::uint8_t> OneLetterArgument(const std::string& cmd,
                                                       const TnbTcpCommandParams& p,
                                                       std::string_view letters) {
    std::string a = UpperCaseAscii(Trim(p.Params));
    const auto pos = a.size() == 1 ? letters.find(a[0]) : std::string_view::npos;
    if (pos == std::string_view::npos)
        TnbFtpServer::RaiseInvalidArgument(cmd);
    return {std::move(a), static_cast<std::uint8_t>(pos)};
}

// Data always flows as a stream of the file's bytes: a known MODE or STRU letter that asks for
// anything else is refused rather than acknowledged and then ignored.
void RequireSupported(const std::string& cmd, const std::string& letter, const char* supported) {
    if (letter != supported)
        TnbFtpServer::RaiseFtpError(cmd, 504, "Command not implemented for that parameter.");
}

}  // namespace

void TnbFtpServer::CmdMode(TnbFtpCommandConnection& c, const std::string& cmd,
                           const TnbTcpCommandParams& p) {
    CheckSession(c, cmd);
    const auto [letter, index] = OneLetterArgument(cmd, p, "BCSZ");
    RequireSupported(cmd, letter, "S");
    c.SetTransferMode(index);
    Reply(c, cmd, "200 Mode " + letter + " ok.");
}

void TnbFtpServer::CmdStru(TnbFtpCommandConnection& c, const std::string& cmd,
                           const TnbTcpCommandParams& p) {
    CheckSession(c, cmd);
    const auto [letter, index] = OneLetterArgument(cmd, p, "FRP");
    RequireSupported(cmd, letter, "F");
    c.SetTransferStructure(index);
    Reply(c, cmd, "200 STRU " + letter + " ok.");
}

void TnbFtpServer::CmdType(TnbFtpCommandConnection& c, const std::string& cmd,
                           const TnbTcpCommandParams& p) {
    CheckSession(c, cmd);
    const auto [letter, index] = OneLetterArgument(cmd, p, "AI");
    c.SetTransferType(index);
    Reply(c, cmd, "200 Type " + letter + " ok.");
}

void TnbFtpServer::CmdNoop(TnbFtpCommandConnection& c, const std::string& cmd,
                           const TnbTcpCommandParams&) {
    CheckSession(c, cmd);
    Reply(c, cmd, "200 NOOP command successful.");
}

void TnbFtpServer::CmdSyst(TnbFtpCommandConnection& c, const std::string& cmd,
                           const TnbTcpCommandParams&) {
    CheckSession(c, cmd);
    Reply(c, cmd, "215 " + ServerOS());
}

void TnbFtpServer::CmdHelp(TnbFtpCommandConnection& c, const std::string&,
                           const TnbTcpCommandParams& p) {
    std::vector<std::string> lines;
    DoHelpCommand(c, p.Params, lines);
    if (lines.empty()) {
        lines.push_back("The following commands are recognized");
        lines.push_back("HELP command successful.");
    }
    SendMultiLineReply(c, std::move(lines), 214);
}

void TnbFtpServer::CmdSite(TnbFtpCommandConnection& c, const std::string& cmd,
                           const TnbTcpCommandParams& p) {
    CheckSession(c, cmd);
    int code = 214;
    std::vector<std::string> lines;
    DoSiteCommand(c, p.Params, lines, code);
    if (lines.empty()) {
        lines.push_back("The following SITE commands are recognized.");
        lines.push_back("HELP command successful.");
        code = 214;
    }
    SendMultiLineReply(c, std::move(lines), code);
}

void TnbFtpServer::CmdStat(TnbFtpCommandConnection& c, const std::string& cmd,
                           const TnbTcpCommandParams&) {
    CheckSession(c, cmd);
    const unsigned type = c.TransferType() < 2 ? c.TransferType() : 0;
    const unsigned structure = c.TransferStructure() < 3 ? c.TransferStructure() : 0;
    const unsigned mode = c.TransferMode() < 4 ? c.TransferMode() : 2;
    std::vector<std::string> lines;
    lines.push_back("211-FTP Service status:");
    lines.push_back("     Connected to " + c.PeerIP());
    lines.push_back(OneLine("     Logged in as " + c.UserName()));
    lines.push_back(std::string("     TYPE: ") + kTypeNames[type] + ", FORM: " + kFormNames[type] +
                    "; STRUcture: " + kStructureNames[structure] +
                    "; transfer MODE: " + kModeNames[mode]);
    if (!c.HasDataConnection())
        lines.push_back("     No data connection");
    SendMultipleLines(c, std::move(lines), "211 End of status.");
}

void TnbFtpServer::CmdFeat(TnbFtpCommandConnection& c, const std::string& cmd,
                           const TnbTcpCommandParams&) {
    CheckSession(c, cmd);
    std::vector<std::string> lines;
    lines.push_back("FEAT");
    for (auto& line : Extensions())
        lines.push_back(line);
    lines.push_back("END");
    SendMultiLineReply(c, std::move(lines), 211);
}

void TnbFtpServer::CmdOpts(TnbFtpCommandConnection& c, const std::string& cmd,
                           const TnbTcpCommandParams& p) {
    CheckSession(c, cmd);
    if (SetExtendedOption(c, cmd, Trimmed(p.Params)))
        return;
    RaiseFtpError(cmd, 501, "Option not supported.");
}

}  // namespace nb
