// TnbFtpServer: the directory and file commands (CWD, CDUP, PWD, MKD, RMD, DELE, RNFR, RNTO, SIZE,
// MDTM).
#include "ftp/nbFtpServer.h"

#include "ftp/nbFtpPath.h"
#include "ftp/nbFtpServerInternal.h"

namespace nb {

using namespace ftp_internal;

// ---- Directory and file commands ----

void TnbFtpServer::CmdCwd(TnbFtpCommandConnection& c, const std::string& cmd,
                          const TnbTcpCommandParams& p) {
    CheckSession(c, cmd);
    const std::string& raw = p.Params;
    CheckPermission(c, cmd, TnbFtpServerPermission::spChangeDir, raw);
    const std::string full = GetFullPath(c, Trimmed(raw));
    std::string target = ToVirtualPath(GetVirtualPath(c, full));
    if (target.empty())
        target = "/";
    // The root is a directory by definition; looking it up through its parent could fail
    // (for "/", or an unreadable parent), and "CWD /" must always work.
    if (full != GetRootDir(c)) {
        auto entry = GetFileInfo(c, cmd, target);
        if (!entry->IsDirectory)
            RaiseFileError(cmd, raw, "No such file or directory.");
    }
    c.SetCurrentDir(target);
    Reply(c, cmd, "250 CWD command successful.");
}

void TnbFtpServer::CmdCdup(TnbFtpCommandConnection& c, const std::string& cmd,
                           const TnbTcpCommandParams&) {
    TnbTcpCommandParams up;
    up.Command = cmd;
    up.Params = "..";
    up.Text = cmd + " ..";
    CmdCwd(c, cmd, up);
}

void TnbFtpServer::CmdPwd(TnbFtpCommandConnection& c, const std::string& cmd,
                          const TnbTcpCommandParams&) {
    CheckSession(c, cmd);
    std::string dir = c.CurrentDir().empty() ? std::string("/") : c.CurrentDir();
    std::string quoted;
    for (char ch : dir) {
        quoted += ch;
        if (ch == '"')
            quoted += '"';  // RFC 959: an embedded quote is doubled
    }
    Reply(c, cmd, "257 \"" + quoted + "\" is current directory.");
}

void TnbFtpServer::CmdMkd(TnbFtpCommandConnection& c, const std::string& cmd,
                          const TnbTcpCommandParams& p) {
    CheckSession(c, cmd);
    const std::string name = Trimmed(p.Params);
    if (name.empty())
        RaiseInvalidArgument(cmd);
    CheckPermission(c, cmd, TnbFtpServerPermission::spMakeDir, name);
    const std::string full = GetFullPath(c, name);
    CheckNotRoot(c, cmd, full, name);
    bool success = true;
    std::string message;
    DoCreateDir(c, full, success, message);
    if (!success)
        RaiseFileError(cmd, name, message);
    Reply(c, cmd, "257 " + Echo(name) + " directory created.");
}

void TnbFtpServer::DeleteEntry(TnbFtpCommandConnection& c, const std::string& cmd,
                               const std::string& param, TnbFtpServerPermission permission) {
    CheckSession(c, cmd);
    const std::string name = Trimmed(param);
    CheckPermission(c, cmd, permission, name);
    if (name.empty())
        RaiseInvalidArgument(cmd);
    const std::string full = GetFullPath(c, name);
    CheckNotRoot(c, cmd, full, name);
    // SECURITY: both commands end in the same event, so the right that counts is the one of the
    // entry's real type: removing directories does not allow deleting files, nor the reverse.
    {
        std::string ignored;
        if (auto entry = LookupEntry(c, full, true, ignored)) {
            const auto actual = entry->IsDirectory ? TnbFtpServerPermission::spRemoveDir
                                                   : TnbFtpServerPermission::spDelete;
            if (actual != permission)
                CheckPermission(c, cmd, actual, name);
        }
    }
    bool success = true;
    std::string message;
    DoDelete(c, full, success, message);
    if (!success)
        RaiseFileError(cmd, name, message);
    Reply(c, cmd, "250 " + cmd + " command successful.");
}

void TnbFtpServer::CmdRmd(TnbFtpCommandConnection& c, const std::string& cmd,
                          const TnbTcpCommandParams& p) {
    DeleteEntry(c, cmd, p.Params, TnbFtpServerPermission::spRemoveDir);
}

void TnbFtpServer::CmdDele(TnbFtpCommandConnection& c, const std::string& cmd,
                           const TnbTcpCommandParams& p) {
    DeleteEntry(c, cmd, p.Params, TnbFtpServerPermission::spDelete);
}

void TnbFtpServer::CmdRnfr(TnbFtpCommandConnection& c, const std::string& cmd,
                           const TnbTcpCommandParams& p) {
    CheckSession(c, cmd);
    const std::string name = Trimmed(p.Params);
    if (name.empty())
        RaiseInvalidArgument(cmd);
    CheckPermission(c, cmd, TnbFtpServerPermission::spRename, name);
    c.SetRenameFrom(name);
    CheckNotRoot(c, cmd, GetFullPath(c, name), name);
    GetFileInfo(c, cmd, name);
    Reply(c, cmd, "350 File exists, ready for destination name");
}

void TnbFtpServer::CmdRnto(TnbFtpCommandConnection& c, const std::string& cmd,
                           const TnbTcpCommandParams& p) {
    CheckSession(c, cmd);
    if (c.RenameFrom().empty())
        RaiseFtpError(cmd, 503, "Bad sequence of commands.");
    const std::string name = Trimmed(p.Params);
    if (name.empty())
        RaiseInvalidArgument(cmd);
    CheckPermission(c, cmd, TnbFtpServerPermission::spRename, name);
    const std::string newFull = GetFullPath(c, name);
    const std::string oldFull = GetFullPath(c, c.RenameFrom());
    CheckNotRoot(c, cmd, oldFull, c.RenameFrom());
    CheckNotRoot(c, cmd, newFull, name);
    bool success = true;
    std::string message;
    DoRename(c, oldFull, newFull, success, message);
    if (!success)
        RaiseFileError(cmd, name, message);
    Reply(c, cmd, "250 RNTO command successful.");
}

void TnbFtpServer::CmdSize(TnbFtpCommandConnection& c, const std::string& cmd,
                           const TnbTcpCommandParams& p) {
    CheckSession(c, cmd);
    const std::string name = Trimmed(p.Params);
    if (name.empty())
        RaiseInvalidArgument(cmd);
    auto entry = GetFileInfo(c, cmd, name);
    // A directory has no size a client could compare with a download: answered as for a
    // missing file, so mirroring clients do not take it for an empty file.
    if (entry->IsDirectory)
        RaiseFileError(cmd, name, kEntryNotFound);
    Reply(c, cmd, "213 " + std::to_string(entry->Size));
}

void TnbFtpServer::CmdMdtm(TnbFtpCommandConnection& c, const std::string& cmd,
                           const TnbTcpCommandParams& p) {
    CheckSession(c, cmd);
    const std::string name = Trimmed(p.Params);
    if (name.empty())
        RaiseInvalidArgument(cmd);
    auto entry = GetFileInfo(c, cmd, name);
    const TnbDateTime utc = entry->ModifiedDateUtc();
    char text[32];
    std::snprintf(text, sizeof text, "%04d%02d%02d%02d%02d%02d", utc.Year, utc.Month, utc.Day,
                  utc.Hour, utc.Minute, utc.Second);
    Reply(c, cmd, std::string("213 ") + text);
}

}  // namespace nb
