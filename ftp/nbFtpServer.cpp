#include "ftp/nbFtpServer.h"

#include <cstdio>
#include <exception>
#include <utility>

#include "ftp/nbFtpPath.h"
#include "ftp/nbFtpServerInternal.h"
#include "net/nbConnection.h"
#include "net/nbIpAddress.h"
#include "net/nbNetworkStream.h"
#include "util/nbFileStream.h"
#include "util/nbLimits.h"
#include "util/nbUtils.h"

namespace nb {

using namespace ftp_internal;

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

void TnbFtpCommandConnection::ResetLogin() {
    // SECURITY: PBSZ and PROT may come before USER; clearing the protection at the login would
    // send the data in clear after "200 Data channel will be encrypted". REIN, which resets all
    // the client set, still clears it.
    const bool protectedData = dataProtection_;
    ResetSession();
    dataProtection_ = protectedData;
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
    bool owed = false;
    {
        std::lock_guard lock(dataConnectionLock_);
        if (transferRunning_) {
            if (dataConnection_)
                dataConnection_->Abort();
        } else {
            dropped = std::move(dataConnection_);
        }
        owed = answersAbor_;
        if (owed && aborAnswersOwed_ < kFtpMaxOwedAborReplies)
            ++aborAnswersOwed_;
    }
    // Freed outside the lock; a command that still holds it keeps it alive until it returns.
    if (dropped)
        dropped->Abort();
    return owed;
}

void TnbFtpCommandConnection::BeginTransfer() {
    std::lock_guard lock(dataConnectionLock_);
    transferRunning_ = true;
}

void TnbFtpCommandConnection::BeginAborAnswer() noexcept {
    std::lock_guard lock(dataConnectionLock_);
    answersAbor_ = true;
    aborAnswersOwed_ = 0;
}

int TnbFtpCommandConnection::EndAborAnswer() noexcept {
    std::lock_guard lock(dataConnectionLock_);
    answersAbor_ = false;
    return std::exchange(aborAnswersOwed_, 0);
}

void TnbFtpCommandConnection::AborAnswered() noexcept {
    std::lock_guard lock(dataConnectionLock_);
    if (aborAnswersOwed_ > 0)
        --aborAnswersOwed_;
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
    if (!WaitsOnPeer()) {
        (server_.*handler_)(connection, Name(), AParams);
        return;
    }
    // An ABOR that comes while this command runs is answered after this command's last reply,
    // whether it completed, was aborted or was refused: one reply each, in order.
    struct TAnswering {
        TnbFtpCommandConnection& connection;
        bool ended = false;
        explicit TAnswering(TnbFtpCommandConnection& c) : connection(c) { c.BeginAborAnswer(); }
        int End() {
            ended = true;
            return connection.EndAborAnswer();
        }
        ~TAnswering() {
            if (!ended)
                connection.EndAborAnswer();  // an unexpected error: the session ends
        }
    } answering(connection);
    try {
        (server_.*handler_)(connection, Name(), AParams);
    } catch (const EnbTcpCommandServerError& E) {
        if (E.CloseAfterReply)
            throw;
        server_.SendRefusal(connection, E);
    }
    for (int owed = answering.End(); owed > 0; --owed)
        server_.Reply(connection, "ABOR", kAborReply);
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
    // Beyond RFC 959: what every current client expects.
    AddCommand("EPSV", &TnbFtpServer::CmdEpsv);
    AddCommand("EPRT", &TnbFtpServer::CmdEprt);
    AddCommand("MLST", &TnbFtpServer::CmdMlst);
    AddCommand("MLSD", &TnbFtpServer::CmdMlsd);
    AddCommand("MFMT", &TnbFtpServer::CmdMfmt);
    AddCommand("HASH", &TnbFtpServer::CmdHash);
    AddCommand("CLNT", &TnbFtpServer::CmdClnt);
    // Their data connection (or a long digest) waits on the peer: an ABOR read before that wait
    // is theirs, answered after their first reply.
    for (const char* name : {"RETR", "STOR", "APPE", "STOU", "LIST", "NLST", "MLSD", "HASH"})
        CommandList().Find(name)->SetWaitsOnPeer(true);
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
                 "451 Requested action aborted: " + Echo(OneLine(Trim(E.what()))));
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
    RaiseFtpError(command, 550, Echo(name) + ": " + (message.empty() ? "failed" : message));
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
    RaiseFtpError(command, 550, Echo(name) + ": Access is denied.");
}

void TnbFtpServer::CheckNotRoot(TnbFtpCommandConnection& AConnection, const std::string& command,
                                const std::string& fullPath, const std::string& name) {
    // SECURITY: nothing may remove, rename or replace the root itself.
    if (fullPath == GetRootDir(AConnection)) {
        RaiseFtpError(command, 550, Echo(name) + ": Access is denied.");
    }
}

std::string TnbFtpServer::FullFilePath(TnbFtpCommandConnection& AConnection,
                                       const std::string& command, const std::string& name) {
    std::string full = GetFullPath(AConnection, name);
    if (full.empty())
        RaiseInvalidArgument(command);
    CheckNotRoot(AConnection, command, full, name);
    return full;
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
    // SECURITY: no path a client names, nor the one it resolves to, is longer than the system
    // takes; refusing it here spares every file event the question.
    if (path.size() > kMaxPath)
        RaiseFileError(std::string(), path, "File name too long.");
    const std::string root = GetRootDir(AConnection);
    std::string result;
    bool handled = false;
    DoGetFullPath(AConnection, root, ToLocalPath(AConnection.CurrentDir()), path, result, handled);
    if (handled)
        return result;
    result = FtpResolvePath(root, AConnection.CurrentDir(), path);
    if (result.size() > root.size() + kMaxPath)
        RaiseFileError(std::string(), path, "File name too long.");
    return result;
}

std::string TnbFtpServer::GetVirtualPath(TnbFtpCommandConnection& AConnection,
                                         const std::string& fullPath) {
    return FtpVirtualPathOf(GetRootDir(AConnection), fullPath);
}

std::unique_ptr<TnbFtpFileInfo> TnbFtpServer::LookupEntry(TnbFtpCommandConnection& AConnection,
                                                          const std::string& fullPath,
                                                          bool includeHidden,
                                                          std::string& message) {
    // The entry is asked of its directory, its name as the mask: what a handler that lists
    // directories answers without knowing about lookups.
    const std::string name = FtpFileNamePart(fullPath);
    const std::string directory = fullPath.substr(0, fullPath.size() - name.size());
    TnbFtpFileInfoList list;
    bool success = true;
    DoGetFileList(AConnection, directory, name, includeHidden, list, success, message);
    if (!success)
        return nullptr;
    // A name with "*" or "?" is a mask to the handler: only the entry of exactly that name is
    // the one looked up ("CWD pu?" must not land in "pub").
    const bool pattern = name.find_first_of("*?") != std::string::npos;
    std::size_t found = list.Count();
    for (std::size_t i = 0; i < list.Count(); ++i) {
        if (pattern && list[i].FileName != name)
            continue;
        if (found != list.Count())
            return nullptr;  // more than one
        found = i;
    }
    return found != list.Count() ? list.Extract(found) : nullptr;
}

std::unique_ptr<TnbFtpFileInfo> TnbFtpServer::GetFileInfo(TnbFtpCommandConnection& AConnection,
                                                          const std::string& command,
                                                          const std::string& virtualPath) {
    std::string message;
    auto entry = LookupEntry(AConnection, GetFullPath(AConnection, virtualPath), false, message);
    if (!entry)
        RaiseFileError(command, virtualPath, message.empty() ? kEntryNotFound : message);
    return entry;
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
                             bool AOverwrite, std::unique_ptr<TnbStream>& ADestination,
                             bool& Success, std::string& AErrorMessage) {
    if (OnPutFile)
        OnPutFile(*this, AConnection, AFileName, AOverwrite, ADestination, Success, AErrorMessage);
}

void TnbFtpServer::DoPutUniqueFile(TnbFtpCommandConnection& AConnection,
                                   const std::string& AFileName,
                                   std::unique_ptr<TnbStream>& ADestination, bool& Success,
                                   std::string& AErrorMessage) {
    if (OnPutUniqueFile) {
        OnPutUniqueFile(*this, AConnection, AFileName, ADestination, Success, AErrorMessage);
    } else {
        DoPutFile(AConnection, AFileName, true, ADestination, Success, AErrorMessage);
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

void TnbFtpServer::DoDataTlsReady(TnbFtpCommandConnection& AConnection, bool AResumed) {
    if (OnDataTlsReady)
        OnDataTlsReady(*this, AConnection, AResumed);
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

}  // namespace nb
