// TnbFtpServer: machine-readable listings of RFC 3659 (MLST on the control connection, MLSD over
// the data connection), from the same file-list event as LIST.
#include "ftp/nbFtpMachineList.h"
#include "ftp/nbFtpPath.h"
#include "ftp/nbFtpServer.h"
#include "ftp/nbFtpServerInternal.h"

namespace nb {

using namespace ftp_internal;

namespace {

TnbMlstFacts FactsOf(const TnbFtpCommandConnection& c) {
    return TnbMlstFacts::FromBits(c.MlstFacts());
}

}  // namespace

void TnbFtpServer::CmdMlst(TnbFtpCommandConnection& c, const std::string& cmd,
                           const TnbTcpCommandParams& p) {
    CheckSession(c, cmd);
    const std::string argument = Trimmed(p.Params);
    const std::string full = GetFullPath(c, argument);
    if (full.empty())
        RaiseInvalidArgument(cmd);
    std::string virtualPath = GetVirtualPath(c, full);
    if (virtualPath.empty())
        virtualPath = "/";
    // The root has no entry of its own below the root: it is the directory every path starts
    // from, so it is known without a lookup.
    TnbFtpFileInfo root;
    root.IsDirectory = true;
    std::unique_ptr<TnbFtpFileInfo> entry;
    if (full != GetRootDir(c)) {
        std::string message;
        entry = LookupEntry(c, full, true, message);
        if (!entry)
            RaiseFileError(cmd, argument, message.empty() ? kEntryNotFound : message);
    }
    const TnbFtpFileInfo& info = entry ? *entry : root;
    // No argument names the current directory itself (RFC 3659 7.3.1: "cdir").
    const auto role = argument.empty() ? TnbMlstEntryRole::mrCurrentDir : TnbMlstEntryRole::mrEntry;
    std::vector<std::string> lines;
    lines.push_back("Listing " + Echo(virtualPath));
    // The fact line is the one line of the reply that begins with a blank.
    lines.push_back(" " +
                    FormatMlstEntry(info, FactsOf(c), c.Permissions(), role, Echo(virtualPath)));
    lines.push_back("End.");
    SendMultiLineReply(c, std::move(lines), 250);
}

void TnbFtpServer::CmdMlsd(TnbFtpCommandConnection& c, const std::string& cmd,
                           const TnbTcpCommandParams& p) {
    CheckSession(c, cmd);
    // No options and no wildcards: the argument is a directory's name.
    const std::string argument = Trimmed(p.Params);
    const std::string full = GetFullPath(c, argument);
    if (full.empty())
        RaiseInvalidArgument(cmd);
    TnbFtpFileInfo self;
    self.IsDirectory = true;
    if (full != GetRootDir(c)) {
        std::string message;
        auto entry = LookupEntry(c, full, true, message);
        if (!entry)
            RaiseFileError(cmd, argument, message.empty() ? kEntryNotFound : message);
        if (!entry->IsDirectory)
            RaiseFtpError(cmd, 501, Echo(argument) + ": Not a directory.");
        self = *entry;
    }
    TnbFtpFileInfoList list;
    bool success = true;
    std::string message;
    DoGetFileList(c, full, "*", false, list, success, message);
    if (!success)
        RaiseFileError(cmd, argument, message.empty() ? kEntryNotFound : message);

    const TnbMlstFacts facts = FactsOf(c);
    std::string text =
        FormatMlstEntry(self, facts, c.Permissions(), TnbMlstEntryRole::mrCurrentDir, ".") + "\r\n";
    for (std::size_t i = 0; i < list.Count(); ++i) {
        text += FormatMlstEntry(list[i], facts, c.Permissions(), TnbMlstEntryRole::mrEntry,
                                list[i].FileName);
        text += "\r\n";
    }
    list.Clear();
    SendListing(c, cmd, text);
}

}  // namespace nb
