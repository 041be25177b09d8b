#include "ftp/nbFtpServer.h"

#include <cstdio>
#include <exception>
#include <utility>

#include "ftp/nbFtpPath.h"
#include "net/nbConnection.h"
#include "net/nbIpAddress.h"
#include "net/nbNetworkStream.h"
#include "util/nbFileStream.h"
#include "util/nbLimits.h"
#include "util/nbUtils.h"

namespace nb {

namespace {

// Reply texts are one line: CR and LF from file names, event messages or exceptions become
// blanks, so nothing taken from outside can forge a reply line.
std::string OneLine(std::string_view text) {
    std::string result(text);
    for (char& ch : result) {
        if (ch == '\r' || ch == '\n')
            ch = ' ';
    }
    return result;
}

std::string Trimmed(const std::string& text) {
    return std::string(Trim(text));
}

// "::ffff:1.2.3.4" -> "1.2.3.4": an IPv4 client may appear mapped on a dual-stack socket.
std::string UnmapAddress(const std::string& address) {
    if (address.size() > 7 && StartsTextAscii("::ffff:", address) &&
        address.find('.') != std::string::npos) {
        return address.substr(7);
    }
    return address;
}

bool SameAddress(const std::string& a, const std::string& b) {
    const std::string ua = UnmapAddress(a);
    const std::string ub = UnmapAddress(b);
    if (ua == ub)
        return true;
    // Numeric forms may differ in spelling (IPv6 zero compression, letter case).
    auto pa = TnbIPAddress::ParseIpAddress(ua);
    auto pb = TnbIPAddress::ParseIpAddress(ub);
    return pa && pb && SameTextAscii(pa->ToString(), pb->ToString());
}

// A decimal number of 0 or more without sign, or nothing.
bool ParseOffset(std::string_view text, std::int64_t& value) {
    if (text.empty() || text.size() > 19)
        return false;
    std::int64_t result = 0;
    for (char ch : text) {
        if (ch < '0' || ch > '9')
            return false;
        result = result * 10 + (ch - '0');
    }
    value = result;
    return true;
}

const char* const kTypeNames[] = {"ASCII", "BINARY"};
const char* const kFormNames[] = {"Print", "Nonprint"};
const char* const kStructureNames[] = {"File", "Record", "Page"};
const char* const kModeNames[] = {"BLOCK", "COMPRESSED", "STREAM", "DEFLATE"};

const std::string kTransferComplete = "Transfer complete";
const std::string kTransferAborted = "Transfer aborted";
const std::string kTransferAbortedReply = "426 Connection closed, transfer aborted.";

// The end of a transfer command, whatever way it leaves: the data connection served its one
// transfer and goes, and ABOR no longer sees a transfer.
class TTransferScope {
public:
    explicit TTransferScope(TnbFtpCommandConnection& connection) : connection_(connection) {
        connection_.BeginTransfer();
    }
    ~TTransferScope() { connection_.EndTransfer(); }
    TTransferScope(const TTransferScope&) = delete;
    TTransferScope& operator=(const TTransferScope&) = delete;

private:
    TnbFtpCommandConnection& connection_;
};

// Closes a file stream to learn of late write failures (a full disk shows at close); other
// streams have nothing to report.
void CloseDestination(TnbStream& stream) {
    if (auto* file = dynamic_cast<TnbFileStream*>(&stream))
        file->Close();
}

}  // namespace

// ---- EnbFtpServerError ----

EnbFtpServerError::EnbFtpServerError(const std::string& command, int code, const std::string& text)
    : EnbTcpCommandServerError(std::to_string(code) + " " + OneLine(text), code, command, false) {}

// ---- TnbFtpUserAccountItem ----

TnbFtpServerPermissions TnbFtpUserAccountItem::Permissions() const {
    std::lock_guard lock(itemLock_);
    return permissions_;
}

void TnbFtpUserAccountItem::SetPermissions(TnbFtpServerPermissions value) {
    std::lock_guard lock(itemLock_);
    permissions_ = value;
}

std::string TnbFtpUserAccountItem::RootDir() const {
    std::lock_guard lock(itemLock_);
    return rootDir_;
}

void TnbFtpUserAccountItem::SetRootDir(std::string value) {
    if (value.size() > 1 && (value.back() == '/' || value.back() == '\\'))
        value.pop_back();
    std::lock_guard lock(itemLock_);
    rootDir_ = std::move(value);
}

int TnbFtpUserAccountItem::BitsPerSec() const {
    std::lock_guard lock(itemLock_);
    return bitsPerSec_;
}

void TnbFtpUserAccountItem::SetBitsPerSec(int value) {
    std::lock_guard lock(itemLock_);
    bitsPerSec_ = value;
}

void TnbFtpUserAccountItem::Assign(const TnbUserAccountItem& source) {
    TnbUserAccountItem::Assign(source);
    if (const auto* ftp = dynamic_cast<const TnbFtpUserAccountItem*>(&source)) {
        if (ftp == this)
            return;
        const auto permissions = ftp->Permissions();
        auto rootDir = ftp->RootDir();
        const auto bitsPerSec = ftp->BitsPerSec();
        std::lock_guard lock(itemLock_);
        permissions_ = permissions;
        rootDir_ = std::move(rootDir);
        bitsPerSec_ = bitsPerSec;
    }
}

// ---- TnbFtpUserAccountList ----

TnbFtpUserAccountItemPtr TnbFtpUserAccountList::AddAccount() {
    return std::dynamic_pointer_cast<TnbFtpUserAccountItem>(Add());
}

TnbFtpUserAccountItemPtr TnbFtpUserAccountList::FindFtpAccount(std::string_view userName) const {
    return std::dynamic_pointer_cast<TnbFtpUserAccountItem>(FindAccount(userName));
}

TnbUserAccountItemPtr TnbFtpUserAccountList::CreateItem() {
    return std::make_shared<TnbFtpUserAccountItem>();
}

// ---- TnbFtpCommandConnection ----

TnbFtpCommandConnection::~TnbFtpCommandConnection() {
    std::shared_ptr<TnbTcpConnection> old;
    {
        std::lock_guard lock(dataConnectionLock_);
        old = std::move(dataConnection_);
    }
    // The data connection's destructor closes it quietly.
}

void TnbFtpCommandConnection::ResetSession() {
    isLoggedIn_ = false;
    currentDir_ = "/";
    restartPosition_ = 0;
    renameFrom_.clear();
    transferMode_ = 2;
    transferStructure_ = 0;
    transferType_ = 0;
    userName_.clear();
    accountRootDir_.clear();
    isPassive_ = false;
    dataPort_ = 0;
    dataHost_.clear();
    dataProtection_ = false;
    bitsPerSec_ = 0;
    permissions_ = TnbFtpServerPermissions{TnbFtpServerPermission::spAll};
}

void TnbFtpCommandConnection::SetDataConnection(std::unique_ptr<TnbTcpConnection> connection) {
    std::shared_ptr<TnbTcpConnection> old;
    {
        std::lock_guard lock(dataConnectionLock_);
        old = std::move(dataConnection_);
        dataConnection_ = std::move(connection);
    }
    restartPosition_ = 0;
    if (old) {
        try {
            old->Close(true);
        } catch (const std::exception&) {
            // A data connection that fails to close is gone all the same.
        }
    }
}

std::shared_ptr<TnbTcpConnection> TnbFtpCommandConnection::DataConnection() const {
    std::lock_guard lock(dataConnectionLock_);
    return dataConnection_;
}

bool TnbFtpCommandConnection::HasDataConnection() const {
    std::lock_guard lock(dataConnectionLock_);
    return dataConnection_ != nullptr;
}

void TnbFtpCommandConnection::AbortDataConnection() {
    std::lock_guard lock(dataConnectionLock_);
    if (dataConnection_)
        dataConnection_->Abort();
}

bool TnbFtpCommandConnection::AbortTransfer() {
    std::shared_ptr<TnbTcpConnection> dropped;
    {
        std::lock_guard lock(dataConnectionLock_);
        if (transferRunning_ && dataConnection_) {
            dataConnection_->Abort();
            return true;
        }
        if (!transferRunning_)
            dropped = std::move(dataConnection_);
    }
    // Freed outside the lock; a command that still holds it keeps it alive until it returns.
    if (dropped)
        dropped->Abort();
    return false;
}

void TnbFtpCommandConnection::BeginTransfer() {
    std::lock_guard lock(dataConnectionLock_);
    transferRunning_ = true;
}

void TnbFtpCommandConnection::EndTransfer() noexcept {
    std::shared_ptr<TnbTcpConnection> old;
    {
        std::lock_guard lock(dataConnectionLock_);
        transferRunning_ = false;
        old = std::move(dataConnection_);
    }
    restartPosition_ = 0;
    if (old) {
        try {
            old->Close(true);
        } catch (const std::exception&) {
            // Closing a broken data connection has nothing left to report.
        }
    }
}

void TnbFtpCommandConnection::Close(bool notifyPeer) {
    AbortDataConnection();
    TnbCommandConnection::Close(notifyPeer);
}

// ---- TnbFtpCommandInfo ----

TnbFtpCommandInfo::TnbFtpCommandInfo(std::string name, TnbFtpServer& server, THandler handler,
                                     bool noLock)
    : TnbTcpCommandInfo(std::move(name), noLock), server_(server), handler_(handler) {}

void TnbFtpCommandInfo::Execute(TnbCommandConnection& AConnection, TnbTcpCommandParams& AParams) {
    auto& connection = static_cast<TnbFtpCommandConnection&>(AConnection);
    (server_.*handler_)(connection, Name(), AParams);
}

// ---- TnbFtpServer: construction and properties ----

TnbFtpServer::TnbFtpServer() {
    SetPort(21);
    SetServerName("Norbit Internet Suite FTP service");
    rootDir_ = FtpNormalizeRoot("");
}

TnbFtpServer::~TnbFtpServer() {
    // Sessions call back into this object; no worker may run one once the members go.
    AbortTransfers();
    StopOnDestroy();
}

void TnbFtpServer::Stop() {
    // A running transfer holds its worker until it ends, and the pool's stop waits for every
    // worker: abort the transfers first so Stop returns at once.
    AbortTransfers();
    try {
        TnbTcpCommandServer::Stop();
    } catch (...) {
        stopping_.store(false);
        throw;
    }
    stopping_.store(false);
}

void TnbFtpServer::AbortTransfers() noexcept {
    stopping_.store(true);
    for (const auto& connection : Connections()) {
        if (auto* session = dynamic_cast<TnbFtpCommandConnection*>(connection.get())) {
            session->AbortDataConnection();
        }
    }
}

void TnbFtpServer::FillDefaultExtensions(std::vector<std::string>& extensions) const {
    extensions.push_back("SIZE");
    extensions.push_back("REST STREAM");
    extensions.push_back("MDTM");
}

std::string TnbFtpServer::RootDir() const {
    std::lock_guard lock(propertyLock_);
    return rootDirText_;
}

void TnbFtpServer::SetRootDir(std::string value) {
    if (value.size() > 1 && (value.back() == '/' || value.back() == '\\'))
        value.pop_back();
    std::string normal = FtpNormalizeRoot(value);
    std::lock_guard lock(propertyLock_);
    rootDirText_ = std::move(value);
    rootDir_ = std::move(normal);
}

std::string TnbFtpServer::PassiveHost() const {
    std::lock_guard lock(propertyLock_);
    return passiveHost_;
}

void TnbFtpServer::SetPassiveHost(std::string value) {
    std::lock_guard lock(propertyLock_);
    passiveHost_ = std::move(value);
}

std::string TnbFtpServer::ServerOS() const {
    std::lock_guard lock(propertyLock_);
    return serverOS_;
}

void TnbFtpServer::SetServerOS(std::string value) {
    std::lock_guard lock(propertyLock_);
    serverOS_ = std::move(value);
}

std::vector<std::string> TnbFtpServer::Extensions() const {
    std::lock_guard lock(propertyLock_);
    if (!extensions_) {
        // Filled on first use rather than in the constructor, where a descendant's override
        // could not be reached yet.
        std::vector<std::string> defaults;
        FillDefaultExtensions(defaults);
        extensions_ = std::move(defaults);
    }
    return *extensions_;
}

void TnbFtpServer::SetExtensions(std::vector<std::string> value) {
    std::lock_guard lock(propertyLock_);
    extensions_ = std::move(value);
}

std::string TnbFtpServer::EffectiveRootDir() const {
    std::lock_guard lock(propertyLock_);
    return rootDir_;
}

// ---- Command table ----

void TnbFtpServer::AddCommand(const char* name, THandler handler, bool noLock) {
    CommandList().Add(std::make_unique<TnbFtpCommandInfo>(name, *this, handler, noLock));
}

void TnbFtpServer::RegisterCommands() {
    AddCommand("USER", &TnbFtpServer::CmdUser);
    AddCommand("PASS", &TnbFtpServer::CmdPass);
    AddCommand("QUIT", &TnbFtpServer::CmdQuit);
    AddCommand("MODE", &TnbFtpServer::CmdMode);
    AddCommand("STRU", &TnbFtpServer::CmdStru);
    AddCommand("TYPE", &TnbFtpServer::CmdType);
    AddCommand("PORT", &TnbFtpServer::CmdPort);
    AddCommand("PASV", &TnbFtpServer::CmdPasv);
    AddCommand("P@SW", &TnbFtpServer::CmdPasv);
    AddCommand("LIST", &TnbFtpServer::CmdList);
    AddCommand("NLST", &TnbFtpServer::CmdNlst);
    AddCommand("MKD", &TnbFtpServer::CmdMkd);
    AddCommand("PWD", &TnbFtpServer::CmdPwd);
    AddCommand("CWD", &TnbFtpServer::CmdCwd);
    AddCommand("CDUP", &TnbFtpServer::CmdCdup);
    AddCommand("RMD", &TnbFtpServer::CmdRmd);
    AddCommand("STOR", &TnbFtpServer::CmdStor);
    AddCommand("APPE", &TnbFtpServer::CmdAppe);
    AddCommand("STOU", &TnbFtpServer::CmdStou);
    AddCommand("RNFR", &TnbFtpServer::CmdRnfr);
    AddCommand("RNTO", &TnbFtpServer::CmdRnto);
    AddCommand("DELE", &TnbFtpServer::CmdDele);
    AddCommand("RETR", &TnbFtpServer::CmdRetr);
    AddCommand("XMKD", &TnbFtpServer::CmdMkd);
    AddCommand("XPWD", &TnbFtpServer::CmdPwd);
    AddCommand("XCWD", &TnbFtpServer::CmdCwd);
    AddCommand("XCUP", &TnbFtpServer::CmdCdup);
    AddCommand("XRMD", &TnbFtpServer::CmdRmd);
    AddCommand("SITE", &TnbFtpServer::CmdSite);
    AddCommand("NOOP", &TnbFtpServer::CmdNoop);
    AddCommand("ALLO", &TnbFtpServer::CmdNoop);
    AddCommand("HELP", &TnbFtpServer::CmdHelp);
    AddCommand("REIN", &TnbFtpServer::CmdRein);
    AddCommand("STAT", &TnbFtpServer::CmdStat);
    AddCommand("SYST", &TnbFtpServer::CmdSyst);
    AddCommand("ABOR", &TnbFtpServer::CmdAbor, true);
    AddCommand("PBSZ", &TnbFtpServer::CmdPbsz);
    AddCommand("PROT", &TnbFtpServer::CmdProt);
    AddCommand("AUTH", &TnbFtpServer::CmdAuth);
    AddCommand("SIZE", &TnbFtpServer::CmdSize);
    AddCommand("REST", &TnbFtpServer::CmdRest);
    AddCommand("MDTM", &TnbFtpServer::CmdMdtm);
    AddCommand("FEAT", &TnbFtpServer::CmdFeat);
    AddCommand("OPTS", &TnbFtpServer::CmdOpts);
}

namespace {

// The entry of a word the table does not know.
class TnbFtpUnknownCommandInfo : public TnbTcpCommandInfo {
public:
    TnbFtpUnknownCommandInfo() : TnbTcpCommandInfo("COMMAND", false) {}
    void Execute(TnbCommandConnection&, TnbTcpCommandParams& AParams) override {
        TnbFtpServer::RaiseFtpError(AParams.Command, 502, "Command not implemented.");
    }
};

}  // namespace

std::unique_ptr<TnbTcpCommandInfo> TnbFtpServer::CreateCustomCommandInfo(
    const TnbTcpCommandParams&) {
    return std::make_unique<TnbFtpUnknownCommandInfo>();
}

InbUserConnection TnbFtpServer::CreateDefaultConnection() {
    auto connection = std::make_shared<TnbFtpCommandConnection>();
    connection->ResetSession();
    return connection;
}

void TnbFtpServer::DoCommandError(TnbCommandConnection& AConnection,
                                  const TnbTcpCommandParams& AParams, const std::exception& E) {
    TnbTcpCommandServer::DoCommandError(AConnection, AParams, E);
    if (dynamic_cast<const EnbTcpCommandServerError*>(&E) != nullptr)
        return;
    SendResponse(AConnection, AParams.Command,
                 "451 Requested action aborted: " + OneLine(Trim(E.what())));
}

void TnbFtpServer::DoAcceptConnection(TnbUserConnection& AConnection, bool& Handled) {
    TnbTcpCommandServer::DoAcceptConnection(AConnection, Handled);
    if (!Handled) {
        SendResponse(static_cast<TnbCommandConnection&>(AConnection), std::string(),
                     "220 " + OneLine(ServerName()));
    }
}

// ---- Helpers ----

void TnbFtpServer::RaiseFtpError(const std::string& command, int code, const std::string& text) {
    throw EnbFtpServerError(command, code, text);
}

void TnbFtpServer::RaiseInvalidArgument(const std::string& command) {
    RaiseFtpError(command, 501, "invalid argument");
}

void TnbFtpServer::RaiseFileError(const std::string& command, const std::string& name,
                                  const std::string& message) {
    RaiseFtpError(command, 550, name + ": " + (message.empty() ? "failed" : message));
}

void TnbFtpServer::RaiseCannotOpenDataConnection(const std::string& command) {
    RaiseFtpError(command, 425, "Can not open data connection");
}

void TnbFtpServer::CheckTlsRequired(TnbFtpCommandConnection& AConnection,
                                    const std::string& command) {
    // SECURITY: in the require-explicit mode nothing but the TLS commands runs in clear text,
    // so no password ever crosses the network unprotected.
    if (UseTLS() == TnbServerTlsMode::stExplicitRequire && !AConnection.IsTls()) {
        RaiseFtpError(command, 500, "Sorry SSL encryption is required");
    }
}

void TnbFtpServer::CheckLoggedIn(TnbFtpCommandConnection& AConnection, const std::string& command) {
    if (!AConnection.IsLoggedIn())
        RaiseFtpError(command, 530, "Not logged in.");
}

void TnbFtpServer::CheckSession(TnbFtpCommandConnection& AConnection, const std::string& command) {
    CheckTlsRequired(AConnection, command);
    CheckLoggedIn(AConnection, command);
}

void TnbFtpServer::CheckPermission(TnbFtpCommandConnection& AConnection, const std::string& command,
                                   TnbFtpServerPermission permission, const std::string& name) {
    const auto permissions = AConnection.Permissions();
    if (permissions == TnbFtpServerPermissions{TnbFtpServerPermission::spAll})
        return;
    if (permissions.Contains(permission))
        return;
    RaiseFtpError(command, 550, name + ": Access is denied.");
}

void TnbFtpServer::CheckNotRoot(TnbFtpCommandConnection& AConnection, const std::string& command,
                                const std::string& fullPath, const std::string& name) {
    // SECURITY: nothing may remove, rename or replace the root itself.
    if (fullPath == GetRootDir(AConnection)) {
        RaiseFtpError(command, 550, name + ": Access is denied.");
    }
}

void TnbFtpServer::Reply(TnbFtpCommandConnection& AConnection, const std::string& command,
                         const std::string& text) {
    SendResponse(AConnection, command, OneLine(text));
}

std::string TnbFtpServer::ToLocalPath(std::string_view path) {
    return FtpToLocalPath(path);
}

std::string TnbFtpServer::ToVirtualPath(std::string_view path) {
    return FtpToVirtualPath(path);
}

std::string TnbFtpServer::GetRootDir(TnbFtpCommandConnection& AConnection) const {
    if (!AConnection.AccountRootDir().empty())
        return AConnection.AccountRootDir();
    return EffectiveRootDir();
}

std::string TnbFtpServer::GetFullPath(TnbFtpCommandConnection& AConnection,
                                      const std::string& path) {
    const std::string root = GetRootDir(AConnection);
    std::string result;
    bool handled = false;
    DoGetFullPath(AConnection, root, ToLocalPath(AConnection.CurrentDir()), path, result, handled);
    if (handled)
        return result;
    return FtpResolvePath(root, AConnection.CurrentDir(), path);
}

std::string TnbFtpServer::GetVirtualPath(TnbFtpCommandConnection& AConnection,
                                         const std::string& fullPath) {
    return FtpVirtualPathOf(GetRootDir(AConnection), fullPath);
}

std::unique_ptr<TnbFtpFileInfo> TnbFtpServer::GetFileInfo(TnbFtpCommandConnection& AConnection,
                                                          const std::string& command,
                                                          const std::string& virtualPath) {
    const std::string full = GetFullPath(AConnection, virtualPath);
    TnbFtpFileInfoList list;
    bool success = true;
    std::string message;
    // An empty mask asks for the entry named by the path itself, by its exact name: a name
    // with "*" or "?" is never a pattern here, and hidden entries are found too.
    DoGetFileList(AConnection, full, std::string(), true, list, success, message);
    if (!success || list.Count() != 1) {
        RaiseFileError(command, virtualPath,
                       message.empty() ? "The system cannot find the file specified." : message);
    }
    return list.Extract(0);
}

void TnbFtpServer::SendMultiLineReply(TnbFtpCommandConnection& AConnection,
                                      std::vector<std::string> lines, int code) {
    if (lines.empty())
        return;
    for (auto& line : lines)
        line = OneLine(line);
    const std::string prefix = std::to_string(code);
    if (lines.size() > 1) {
        lines.front() = prefix + "-" + lines.front();
        for (std::size_t i = 1; i + 1 < lines.size(); ++i) {
            if (!lines[i].empty() && lines[i].front() != ' ')
                lines[i] = "    " + lines[i];
        }
    }
    lines.back() = prefix + " " + lines.back();
    SendMultipleLines(AConnection, std::move(lines), std::string());
}

bool TnbFtpServer::IsAnonymousName(std::string_view name) const {
    if (CaseInsensitive())
        return SameTextAscii(name, "anonymous");
    return name == "Anonymous";
}

// ---- Event raisers ----

void TnbFtpServer::DoGetFile(TnbFtpCommandConnection& AConnection, const std::string& AFileName,
                             std::unique_ptr<TnbStream>& ASource, bool& Success,
                             std::string& AErrorMessage) {
    if (OnGetFile)
        OnGetFile(*this, AConnection, AFileName, ASource, Success, AErrorMessage);
}

void TnbFtpServer::DoPutFile(TnbFtpCommandConnection& AConnection, const std::string& AFileName,
                             bool AOverwrite, bool AUnique,
                             std::unique_ptr<TnbStream>& ADestination, bool& Success,
                             std::string& AErrorMessage) {
    if (OnPutFile) {
        OnPutFile(*this, AConnection, AFileName, AOverwrite, AUnique, ADestination, Success,
                  AErrorMessage);
    }
}

void TnbFtpServer::DoCreateUserAccount(TnbFtpCommandConnection& AConnection,
                                       const std::string& AUserName,
                                       TnbFtpUserAccountItemPtr& Account) {
    if (OnCreateUserAccount)
        OnCreateUserAccount(*this, AConnection, AUserName, Account);
}

void TnbFtpServer::DoAuthenticate(TnbFtpCommandConnection& AConnection,
                                  TnbFtpUserAccountItemPtr& Account, const std::string& AUserName,
                                  const std::string& APassword, bool& IsAuthorized, bool& Handled) {
    if (OnAuthenticate) {
        OnAuthenticate(*this, AConnection, Account, AUserName, APassword, IsAuthorized, Handled);
    }
}

void TnbFtpServer::DoCreateDir(TnbFtpCommandConnection& AConnection, const std::string& AName,
                               bool& Success, std::string& AErrorMessage) {
    if (OnCreateDir) {
        OnCreateDir(*this, AConnection, AName, Success, AErrorMessage);
    } else {
        Success = false;  // nothing was created
    }
}

void TnbFtpServer::DoDelete(TnbFtpCommandConnection& AConnection, const std::string& AName,
                            bool& Success, std::string& AErrorMessage) {
    if (OnDelete) {
        OnDelete(*this, AConnection, AName, Success, AErrorMessage);
    } else {
        Success = false;
    }
}

void TnbFtpServer::DoRename(TnbFtpCommandConnection& AConnection, const std::string& ACurrentName,
                            const std::string& ANewName, bool& Success,
                            std::string& AErrorMessage) {
    if (OnRename) {
        OnRename(*this, AConnection, ACurrentName, ANewName, Success, AErrorMessage);
    } else {
        Success = false;
    }
}

void TnbFtpServer::DoInitDataConnection(TnbFtpCommandConnection& AConnection) {
    if (OnInitDataConnection)
        OnInitDataConnection(*this, AConnection);
}

void TnbFtpServer::DoGetFileList(TnbFtpCommandConnection& AConnection, const std::string& APathName,
                                 const std::string& AFileMask, bool AIncludeHidden,
                                 TnbFtpFileInfoList& AFileList, bool& Success,
                                 std::string& AErrorMessage) {
    if (OnGetFileList) {
        OnGetFileList(*this, AConnection, APathName, AFileMask, AIncludeHidden, AFileList, Success,
                      AErrorMessage);
    }
}

void TnbFtpServer::DoHelpCommand(TnbFtpCommandConnection& AConnection,
                                 const std::string& AParameters,
                                 std::vector<std::string>& AHelpText) {
    if (OnHelpCommand)
        OnHelpCommand(*this, AConnection, AParameters, AHelpText);
}

void TnbFtpServer::DoGetFileDone(TnbFtpCommandConnection& AConnection, const std::string& AFileName,
                                 std::int64_t AFileSize, TnbFtpFileTransferStatus& AStatus,
                                 std::string& AErrorMessage, std::string& AResponseMessage) {
    if (OnGetFileDone) {
        OnGetFileDone(*this, AConnection, AFileName, AFileSize, AStatus, AErrorMessage,
                      AResponseMessage);
    }
}

void TnbFtpServer::DoPutFileDone(TnbFtpCommandConnection& AConnection, const std::string& AFileName,
                                 std::int64_t AFileSize, TnbFtpFileTransferStatus& AStatus,
                                 std::string& AErrorMessage, std::string& AResponseMessage) {
    if (OnPutFileDone) {
        OnPutFileDone(*this, AConnection, AFileName, AFileSize, AStatus, AErrorMessage,
                      AResponseMessage);
    }
}

void TnbFtpServer::DoPutFileReady(TnbFtpCommandConnection& AConnection,
                                  const std::string& AFileName, TnbStream& ASource) {
    if (OnPutFileReady)
        OnPutFileReady(*this, AConnection, AFileName, ASource);
}

void TnbFtpServer::DoGetFullPath(TnbFtpCommandConnection& AConnection, const std::string& ARootDir,
                                 const std::string& ACurrentDir, const std::string& APathName,
                                 std::string& Result, bool& Handled) {
    if (OnGetFullPath) {
        OnGetFullPath(*this, AConnection, ARootDir, ACurrentDir, APathName, Result, Handled);
    }
}

void TnbFtpServer::DoSiteCommand(TnbFtpCommandConnection& AConnection,
                                 const std::string& AParameters,
                                 std::vector<std::string>& AResponse, int& AStatusCode) {
    if (OnSiteCommand)
        OnSiteCommand(*this, AConnection, AParameters, AResponse, AStatusCode);
}

// ---- Login ----

std::unique_ptr<TnbFtpUserAccountWrapper> TnbFtpServer::FindLoginAccount(
    TnbFtpCommandConnection& AConnection, const std::string& userName) {
    TnbFtpUserAccountItemPtr account;
    DoCreateUserAccount(AConnection, userName, account);
    if (account)
        return std::make_unique<TnbFtpUserAccountWrapper>(std::move(account), true);
    return std::make_unique<TnbFtpUserAccountWrapper>(userAccounts_.FindFtpAccount(userName),
                                                      false);
}

bool TnbFtpServer::Authenticate(TnbFtpCommandConnection& AConnection,
                                TnbFtpUserAccountItemPtr& account, const std::string& password,
                                const std::string& userName) {
    bool isAuthorized = false;
    bool handled = false;
    DoAuthenticate(AConnection, account, userName, password, isAuthorized, handled);
    // An account of the list compares with the list's case rule; one made for this login
    // belongs to no list and compares exactly.
    if (!handled && account)
        return account->CheckPassword(password);
    return isAuthorized;
}

void TnbFtpServer::CmdUser(TnbFtpCommandConnection& c, const std::string& cmd,
                           const TnbTcpCommandParams& p) {
    CheckTlsRequired(c, cmd);
    c.ResetSession();
    c.SetUserName(Trimmed(p.Params));
    if (AllowAnonymousAccess() && IsAnonymousName(c.UserName())) {
        Reply(c, cmd, "331 Anonymous access allowed, send identity (e-mail name) as password.");
    } else {
        Reply(c, cmd, "331 Password required for " + c.UserName() + ".");
    }
}

void TnbFtpServer::CmdPass(TnbFtpCommandConnection& c, const std::string& cmd,
                           const TnbTcpCommandParams& p) {
    CheckTlsRequired(c, cmd);
    if (c.UserName().empty())
        RaiseFtpError(cmd, 503, "Login with USER first.");
    c.SetIsLoggedIn(false);
    const std::string userName = c.UserName();
    const std::string password = Trimmed(p.Params);

    if (AllowAnonymousAccess() && IsAnonymousName(userName)) {
        if (password.empty())
            RaiseFtpError(cmd, 530, "User " + userName + " cannot log in.");
        c.SetPermissions({TnbFtpServerPermission::spChangeDir, TnbFtpServerPermission::spDownload});
        c.SetAccountRootDir(EffectiveRootDir());
        c.SetIsLoggedIn(true);
        Reply(c, cmd, "230 Anonymous user logged in.");
        return;
    }

    auto wrapper = FindLoginAccount(c, userName);
    TnbFtpUserAccountItemPtr account = wrapper->FtpItem();
    bool verdict = Authenticate(c, account, password, userName);
    if (auto* guard = Guard())
        verdict = guard->CheckLogin(userName, verdict, c.PeerIP(), Port());
    if (!verdict) {
        const std::string text = "User " + userName + " cannot log in.";
        c.ResetSession();
        RaiseFtpError(cmd, 530, text);
    }
    if (account) {
        c.SetPermissions(account->Permissions());
        const std::string root = account->RootDir();
        c.SetAccountRootDir(root.empty() ? std::string() : FtpNormalizeRoot(root));
        c.SetBitsPerSec(account->BitsPerSec());
    }
    c.SetIsLoggedIn(true);
    Reply(c, cmd, "230 User " + userName + " logged in.");
}

void TnbFtpServer::CmdRein(TnbFtpCommandConnection& c, const std::string& cmd,
                           const TnbTcpCommandParams&) {
    c.ResetSession();
    Reply(c, cmd, "220 Service ready for new user.");
}

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
    Reply(c, cmd, "257 " + name + " directory created.");
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
        TnbFtpFileInfoList list;
        bool found = true;
        std::string ignored;
        DoGetFileList(c, full, std::string(), true, list, found, ignored);
        if (found && list.Count() == 1) {
            const auto actual = list[0].IsDirectory ? TnbFtpServerPermission::spRemoveDir
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

// ---- Data connections ----

std::shared_ptr<TnbTcpConnection> TnbFtpServer::InitDataConnection(
    TnbFtpCommandConnection& AConnection, std::unique_ptr<TnbTcpConnection> dataConnection) {
    TnbTcpConnection& dc = *dataConnection;
    if (UseTLS() != TnbServerTlsMode::stNone && AConnection.DataProtection()) {
        dc.SetNetworkStream(CreateTlsStream());
    } else {
        dc.SetNetworkStream(std::make_unique<TnbNetworkStream>());
    }
    dc.SetTimeOut(TimeOut());
    dc.SetBatchSize(BatchSize());
    dc.SetReadUntilClose(true);
    dc.SetKeepOpenOnPeerClose(true);
    dc.SetUseIpV6(UseIpV6());
    dc.SetNoMessagePump(true);
    dc.SetBitsPerSec(AConnection.BitsPerSec() != 0 ? AConnection.BitsPerSec() : BitsPerSec());
    dc.SetLocalBinding(AConnection.IsPassive() ? AConnection.IP() : LocalBinding());
    // A long transfer keeps its control connection from the session time-out. The session owns
    // the data connection, so it outlives this callback.
    dc.OnProgress = [&AConnection](TnbConnection&, std::int64_t, std::int64_t) {
        AConnection.UpdateLastActivity();
    };
    AConnection.SetDataConnection(std::move(dataConnection));
    DoInitDataConnection(AConnection);
    return AConnection.DataConnection();
}

bool TnbFtpServer::IsValidPortTarget(TnbFtpCommandConnection& AConnection) {
    // SECURITY: without FXP a PORT may only name the client itself, so the server cannot be made
    // to connect to (and bounce data at) a third host; privileged ports other than 20 are off
    // limits either way.
    if (!UseFxp() && !SameAddress(AConnection.DataHost(), AConnection.PeerIP()))
        return false;
    const int port = AConnection.DataPort();
    return port == 20 || (port >= 1024 && port <= 65535);
}

std::shared_ptr<TnbTcpConnection> TnbFtpServer::OpenDataConnection(
    TnbFtpCommandConnection& AConnection, const std::string& command, const std::string& reply) {
    auto dc = AConnection.DataConnection();
    if (!dc)
        RaiseCannotOpenDataConnection(command);
    if (stopping_.load())
        dc->Abort();  // the server stops: no transfer starts any more
    if (dc->IsAborted())
        return dc;
    if (AConnection.IsPassive()) {
        Reply(AConnection, command, reply);
        auto* server = static_cast<TnbTcpServerConnection*>(dc.get());
        // SECURITY: the passive port is open to anyone who finds it first; without FXP only the
        // control connection's client may take the transfer.
        server->Accept(UseFxp() ? std::string() : AConnection.PeerIP());
    } else {
        auto* client = static_cast<TnbTcpClientConnection*>(dc.get());
        client->Open(AConnection.DataHost(), AConnection.DataPort());
        if (dc->Active() && !dc->IsAborted())
            Reply(AConnection, command, reply);
    }
    return dc;
}

void TnbFtpServer::SendTransferEnd(TnbFtpCommandConnection& AConnection, const std::string& command,
                                   TnbFtpFileTransferStatus status, const std::string& errorMessage,
                                   const std::string& responseMessage) {
    if (status == TnbFtpFileTransferStatus::tsFail)
        RaiseFtpError(command, 500, errorMessage);
    const bool aborted = status == TnbFtpFileTransferStatus::tsAbort;
    if (aborted)
        Reply(AConnection, command, kTransferAbortedReply);
    const std::string& text = !responseMessage.empty()
                                  ? responseMessage
                                  : (aborted ? kTransferAborted : kTransferComplete);
    Reply(AConnection, command, "226 " + text + ".");
}

void TnbFtpServer::CmdPort(TnbFtpCommandConnection& c, const std::string& cmd,
                           const TnbTcpCommandParams& p) {
    CheckSession(c, cmd);
    c.SetIsPassive(false);
    std::string host;
    int port = 0;
    // SECURITY: exactly six decimal groups of 0..255; anything else could smuggle a host or a
    // port past the checks below.
    if (!ParseHostPort(Trim(p.Params), host, port))
        RaiseInvalidArgument(cmd);
    const std::string peer = UnmapAddress(c.PeerIP());
    // A client behind address translation announces its private address: use the one it
    // really comes from.
    if (TnbIPAddress4::IsPrivateAddress(host) && !TnbIPAddress4::IsPrivateAddress(peer)) {
        host = peer;
    }
    c.SetDataHost(host);
    c.SetDataPort(port);
    if (!IsValidPortTarget(c))
        RaiseInvalidArgument(cmd);
    InitDataConnection(c, std::make_unique<TnbTcpClientConnection>());
    Reply(c, cmd, "200 PORT command successful.");
}

void TnbFtpServer::CmdPasv(TnbFtpCommandConnection& c, const std::string& cmd,
                           const TnbTcpCommandParams&) {
    CheckSession(c, cmd);
    c.SetIsPassive(true);
    auto dc = InitDataConnection(c, std::make_unique<TnbTcpServerConnection>());
    c.SetDataHost(std::string());
    std::string text;
    try {
        if (!dc)
            RaiseCannotOpenDataConnection(cmd);
        auto& server = static_cast<TnbTcpServerConnection&>(*dc);
        const int begin = DataPortBegin();
        const int end = DataPortEnd();
        const int port = (begin != 0 && end != 0) ? server.Listen(begin, end) : server.Listen(0);
        c.SetDataPort(port);
        std::string host = PassiveHost();
        if (host.empty())
            host = c.IP();
        text = FormatHostPort(UnmapAddress(host), port);
    } catch (const EnbTcpCommandServerError&) {
        throw;
    } catch (const EnbSocketError&) {
        // No free port, or a control connection PASV cannot describe (IPv6): the client learns
        // that no data connection is possible and the session goes on.
        c.SetDataConnection(nullptr);
        RaiseCannotOpenDataConnection(cmd);
    }
    Reply(c, cmd, "227 Entering Passive Mode (" + text + ").");
}

void TnbFtpServer::CmdRest(TnbFtpCommandConnection& c, const std::string& cmd,
                           const TnbTcpCommandParams& p) {
    CheckSession(c, cmd);
    std::int64_t offset = 0;
    // A 64-bit offset: resuming above 2 GiB must not turn into a restart at 0.
    if (!ParseOffset(Trim(p.Params), offset))
        RaiseInvalidArgument(cmd);
    c.SetRestartPosition(offset);
    Reply(c, cmd, "350 Restarting at " + std::to_string(offset) + ".");
}

void TnbFtpServer::ListFiles(TnbFtpCommandConnection& c, const std::string& cmd,
                             const std::string& param, bool namesOnly) {
    CheckSession(c, cmd);
    const std::string argument = Trimmed(param);
    std::string path = argument;
    std::string mask = "*";
    bool includeHidden = false;
    if (SameTextAscii(path, "-al") || SameTextAscii(path, "-a")) {
        path.clear();
        includeHidden = true;
    }
    if (path.find_first_of("*?") != std::string::npos) {
        const std::string local = ToLocalPath(path);
        const auto slash = local.find_last_of('/');
        if (slash == std::string::npos) {
            mask = local;
            path.clear();
        } else {
            mask = local.substr(slash + 1);
            path = local.substr(0, slash + 1);
        }
    }
    TnbFtpFileInfoList list;
    bool success = true;
    std::string message;
    DoGetFileList(c, GetFullPath(c, path), mask, includeHidden, list, success, message);
    if (!success)
        RaiseFileError(cmd, argument, message);

    std::string text;
    const auto style = DirListingStyle();
    for (std::size_t i = 0; i < list.Count(); ++i) {
        text += namesOnly ? list[i].FileName : FormatFileInfo(list[i], style);
        text += "\r\n";
    }
    list.Clear();

    bool aborted = false;
    {
        TTransferScope scope(c);
        auto dc = OpenDataConnection(c, cmd, "150 Opening data connection.");
        if (dc->Active() && !dc->IsAborted()) {
            try {
                dc->WriteString(text, GetResponseCharSet(c));
            } catch (const EnbTcpCommandServerError&) {
                throw;
            } catch (const EnbSocketError&) {
                dc->Abort();  // the client went away or ABOR cut the listing short
            }
        }
        aborted = dc->IsAborted() || !dc->Active();
    }
    SendTransferEnd(
        c, cmd, aborted ? TnbFtpFileTransferStatus::tsAbort : TnbFtpFileTransferStatus::tsSuccess,
        std::string(), std::string());
}

void TnbFtpServer::CmdList(TnbFtpCommandConnection& c, const std::string& cmd,
                           const TnbTcpCommandParams& p) {
    ListFiles(c, cmd, p.Params, false);
}

void TnbFtpServer::CmdNlst(TnbFtpCommandConnection& c, const std::string& cmd,
                           const TnbTcpCommandParams& p) {
    ListFiles(c, cmd, p.Params, true);
}

void TnbFtpServer::CmdRetr(TnbFtpCommandConnection& c, const std::string& cmd,
                           const TnbTcpCommandParams& p) {
    CheckSession(c, cmd);
    const std::string name = Trimmed(p.Params);
    CheckPermission(c, cmd, TnbFtpServerPermission::spDownload, name);
    // SECURITY: an empty name or one that resolves to the root would make the refusal name the
    // root's local folder.
    if (name.empty())
        RaiseInvalidArgument(cmd);
    const std::string full = GetFullPath(c, name);
    if (full.empty())
        RaiseInvalidArgument(cmd);
    CheckNotRoot(c, cmd, full, name);
    const std::string fileName = FtpFileNamePart(full);

    auto status = TnbFtpFileTransferStatus::tsSuccess;
    std::string errorMessage;
    std::string responseMessage;
    std::int64_t size = 0;
    {
        TTransferScope scope(c);
        try {
            std::unique_ptr<TnbStream> source;
            bool success = true;
            std::string message;
            DoGetFile(c, full, source, success, message);
            if (!success || !source)
                RaiseFileError(cmd, fileName, message);
            size = source->GetSize();
            const std::int64_t restart = c.RestartPosition();
            // An offset equal to the size sends nothing (the client has it all); beyond the
            // size there is nothing to resume from.
            if (restart > size)
                RaiseFileError(cmd, fileName, "Invalid restart position");
            if (restart > 0)
                source->SetPosition(restart);
            auto dc = OpenDataConnection(c, cmd,
                                         "150 Opening data connection for " + fileName + "(" +
                                             std::to_string(size) + " bytes).");
            if (dc->Active() && !dc->IsAborted()) {
                try {
                    dc->WriteData(source.get());
                } catch (const EnbTcpCommandServerError&) {
                    throw;
                } catch (const EnbSocketError&) {
                    dc->Abort();  // the client closed the data connection, or ABOR
                }
            }
            source.reset();
            if (dc->IsAborted() || !dc->Active())
                status = TnbFtpFileTransferStatus::tsAbort;
            DoGetFileDone(c, full, size, status, errorMessage, responseMessage);
        } catch (const std::exception& e) {
            status = TnbFtpFileTransferStatus::tsFail;
            errorMessage = e.what();
            DoGetFileDone(c, full, size, status, errorMessage, responseMessage);
            if (status == TnbFtpFileTransferStatus::tsFail)
                throw;
        }
    }
    SendTransferEnd(c, cmd, status, errorMessage, responseMessage);
}

void TnbFtpServer::StoreFile(TnbFtpCommandConnection& c, const std::string& cmd,
                             const std::string& param, bool unique, bool append) {
    CheckSession(c, cmd);
    std::string name;
    if (unique) {
        c.SetRestartPosition(0);
        // SECURITY: bounded, so a directory full of FTPn.TMP files cannot keep a worker busy.
        for (int i = 0; i < kFtpMaxUniqueNameProbes && name.empty(); ++i) {
            const std::string candidate = "FTP" + std::to_string(i) + ".TMP";
            try {
                GetFileInfo(c, cmd, candidate);
            } catch (const EnbTcpCommandServerError&) {
                name = candidate;
            }
        }
        if (name.empty())
            RaiseFtpError(cmd, 550, "No unique file name available.");
    } else {
        name = Trimmed(param);
        if (name.empty())
            RaiseInvalidArgument(cmd);
    }
    const std::string full = GetFullPath(c, name);
    if (full.empty())
        RaiseInvalidArgument(cmd);
    CheckNotRoot(c, cmd, full, name);
    const std::string fileName = FtpFileNamePart(full);
    CheckPermission(c, cmd, TnbFtpServerPermission::spUpload, fileName);

    auto status = TnbFtpFileTransferStatus::tsSuccess;
    std::string errorMessage;
    std::string responseMessage;
    std::int64_t size = 0;
    {
        TTransferScope scope(c);
        auto dc = OpenDataConnection(c, cmd, "150 Opening data connection for " + fileName + ".");
        // An ABOR while the data connection was being opened ends the command before the file
        // is touched: a STOR that never started must not truncate its target.
        if (dc->IsAborted() || !dc->Active()) {
            status = TnbFtpFileTransferStatus::tsAbort;
        } else {
            try {
                const bool resume = append || c.RestartPosition() > 0;
                std::unique_ptr<TnbStream> destination;
                bool success = true;
                std::string message;
                DoPutFile(c, full, !resume, unique, destination, success, message);
                if (!success || !destination)
                    RaiseFileError(cmd, fileName, message);
                if (resume) {
                    const std::int64_t current = destination->GetSize();
                    const std::int64_t restart = c.RestartPosition();
                    // Never write at an offset the file does not reach: the gap would be junk.
                    if (restart > current)
                        RaiseFileError(cmd, fileName, "Invalid restart position");
                    if (restart > 0) {
                        destination->SetPosition(restart);
                    } else {
                        destination->Seek(0, TnbSeekOrigin::soEnd);
                    }
                }
                try {
                    try {
                        dc->ReadData(destination.get());
                        DoPutFileReady(c, full, *destination);
                    } catch (const EnbTcpCommandServerError&) {
                        throw;
                    } catch (const EnbSocketError&) {
                        dc->Abort();  // the client broke the connection, or ABOR
                    }
                    size = destination->GetSize();
                    CloseDestination(*destination);
                } catch (const EnbSocketError&) {
                    throw;
                } catch (const std::exception& e) {
                    // A failed write or close (a full disk) is never a completed upload.
                    RaiseFileError(cmd, fileName, e.what());
                }
                destination.reset();
                if (dc->IsAborted())
                    status = TnbFtpFileTransferStatus::tsAbort;
                DoPutFileDone(c, full, size, status, errorMessage, responseMessage);
            } catch (const std::exception& e) {
                status = TnbFtpFileTransferStatus::tsFail;
                errorMessage = e.what();
                DoPutFileDone(c, full, size, status, errorMessage, responseMessage);
                if (status == TnbFtpFileTransferStatus::tsFail)
                    throw;
            }
        }
    }
    SendTransferEnd(c, cmd, status, errorMessage, responseMessage);
}

void TnbFtpServer::CmdStor(TnbFtpCommandConnection& c, const std::string& cmd,
                           const TnbTcpCommandParams& p) {
    StoreFile(c, cmd, p.Params, false, false);
}

void TnbFtpServer::CmdAppe(TnbFtpCommandConnection& c, const std::string& cmd,
                           const TnbTcpCommandParams& p) {
    StoreFile(c, cmd, p.Params, false, true);
}

void TnbFtpServer::CmdStou(TnbFtpCommandConnection& c, const std::string& cmd,
                           const TnbTcpCommandParams& p) {
    StoreFile(c, cmd, p.Params, true, false);
}

void TnbFtpServer::CmdAbor(TnbFtpCommandConnection& c, const std::string& cmd,
                           const TnbTcpCommandParams&) {
    CheckSession(c, cmd);
    // A running transfer answers for itself (426, then 226); without one, ABOR must answer
    // and must not leave anything behind for the next transfer.
    if (!c.AbortTransfer())
        Reply(c, cmd, "226 ABOR command successful.");
}

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

}  // namespace

void TnbFtpServer::CmdMode(TnbFtpCommandConnection& c, const std::string& cmd,
                           const TnbTcpCommandParams& p) {
    CheckSession(c, cmd);
    const auto [letter, index] = OneLetterArgument(cmd, p, "BCSZ");
    c.SetTransferMode(index);
    Reply(c, cmd, "200 Mode " + letter + " ok.");
}

void TnbFtpServer::CmdStru(TnbFtpCommandConnection& c, const std::string& cmd,
                           const TnbTcpCommandParams& p) {
    CheckSession(c, cmd);
    const auto [letter, index] = OneLetterArgument(cmd, p, "FRP");
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
                           const TnbTcpCommandParams&) {
    CheckSession(c, cmd);
    RaiseFtpError(cmd, 501, "Option not supported.");
}

// ---- FTPS commands ----

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
        RaiseFtpError(cmd, 504, "Unknown auth method " + method);
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
    } else if (first == 'P') {
        c.SetDataProtection(true);
        Reply(c, cmd, "200 Data channel will be encrypted");
    } else {
        RaiseFtpError(cmd, 536, "Unsupported option");
    }
}

}  // namespace nb
