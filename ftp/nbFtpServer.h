// The FTP server component: sessions, the command table, login and permissions, directory and
// file commands, data connections and transfers, and the service commands.
//
// TnbFtpServer never touches the file system itself: every file-system operation is an event
// (OnGetFileList, OnGetFile, OnPutFile, OnCreateDir, OnDelete, OnRename), answered by
// TnbFtpFileHandler or by the application.
//
// Threads: commands run on the worker threads of the server's pool; the commands of one
// connection run one at a time (the command lock), except ABOR, which runs beside a transfer.
// A transfer, from opening its data connection (accept, connect, and the TLS handshake of a
// protected one, which must run there too) to its last byte, runs in a blocking section: its
// worker counts against no other session while the client is slow. A failed login's delay
// holds no thread: the 530 is sent by the listener's task timer (DeferCommandEnd).
// Events fire on the worker that runs the command, so handlers must be thread-safe.
// Properties a host may change while the server runs (RootDir, Extensions, UserAccounts and the
// plain flags) are guarded; the rest is configured before Start.
#pragma once

#include <atomic>
#include <cstdint>
#include <ctime>
#include <functional>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "command/nbTcpCommandServer.h"
#include "command/nbUserMgr.h"
#include "ftp/nbFtpFileInfo.h"
#include "util/nbSet.h"
#include "util/nbStream.h"

namespace nb {

class TnbFtpServer;
class TnbFtpCommandConnection;
class TnbTcpConnection;
class TnbTlsNetworkStream;

// ---- Permissions ----

enum class TnbFtpServerPermission : std::uint8_t {
    spMakeDir = 0,
    spRemoveDir = 1,
    spChangeDir = 2,
    spDownload = 3,
    spUpload = 4,
    spRename = 5,
    spDelete = 6,
    spAll = 7,
};

// A set of permissions in one byte (bit n for value n).
using TnbFtpServerPermissions = TnbSet<TnbFtpServerPermission>;

// The outcome of a transfer, given to OnGetFileDone / OnPutFileDone (which may change it).
enum class TnbFtpFileTransferStatus { tsSuccess, tsFail, tsAbort };

// Whether a protected data connection may, or must, resume the TLS session of its control
// connection.
enum class TnbTlsDataSessionReuse : std::uint8_t {
    drNone = 0,     // never: every data connection makes a new session
    drAllow = 1,    // when the client offers it (Python's ftplib cannot, curl and lftp do)
    drRequire = 2,  // a data connection that does not resume is refused with 522
};

// ---- Errors ----

// A refused command: the message is the whole reply line ("550 x: failed"), ErrorCode the reply
// code. The session goes on after the reply.
class EnbFtpServerError : public EnbTcpCommandServerError {
public:
    EnbFtpServerError(const std::string& command, int code, const std::string& text);
};

// ---- Accounts ----

// An FTP account: the base fields plus rights, an own root directory and a transfer rate.
// Any thread: properties are guarded by the item lock.
class TnbFtpUserAccountItem : public TnbUserAccountItem {
public:
    TnbFtpUserAccountItem() = default;

    // {spAll} by default.
    TnbFtpServerPermissions Permissions() const;
    void SetPermissions(TnbFtpServerPermissions value);
    // Empty means the server's RootDir. The setter removes one trailing "/" (but keeps "/").
    std::string RootDir() const;
    void SetRootDir(std::string value);
    // Bits per second for the account's data connections; 0 means the server's BitsPerSec.
    int BitsPerSec() const;
    void SetBitsPerSec(int value);

    // Copies the base fields, and the FTP fields when source is an FTP account too.
    void Assign(const TnbUserAccountItem& source) override;

private:
    TnbFtpServerPermissions permissions_{TnbFtpServerPermission::spAll};
    std::string rootDir_;
    int bitsPerSec_ = 0;
};

using TnbFtpUserAccountItemPtr = std::shared_ptr<TnbFtpUserAccountItem>;

// The server's accounts; its items are TnbFtpUserAccountItem. Any thread.
class TnbFtpUserAccountList : public TnbUserAccountList {
public:
    // Appends a new account and returns it.
    TnbFtpUserAccountItemPtr AddAccount();
    TnbFtpUserAccountItemPtr FindFtpAccount(std::string_view userName) const;

protected:
    TnbUserAccountItemPtr CreateItem() override;
};

// The account of one login (see TnbUserAccountWrapper).
class TnbFtpUserAccountWrapper : public TnbUserAccountWrapper {
public:
    using TnbUserAccountWrapper::TnbUserAccountWrapper;
    // The account as an FTP account (nullptr when there is none or it is a plain one).
    TnbFtpUserAccountItemPtr FtpItem() const {
        return std::dynamic_pointer_cast<TnbFtpUserAccountItem>(Item());
    }
};

// ---- Events ----

using TnbFtpGetFileEvent = std::function<void(
    TnbFtpServer& Sender, TnbFtpCommandConnection& AConnection, const std::string& AFileName,
    std::unique_ptr<TnbStream>& ASource, bool& Success, std::string& AErrorMessage)>;
// AOverwrite: truncate or create the file. Otherwise the file is opened without truncation and
// created when missing (APPE, a resumed STOR).
using TnbFtpPutFileEvent = std::function<void(
    TnbFtpServer& Sender, TnbFtpCommandConnection& AConnection, const std::string& AFileName,
    bool AOverwrite, std::unique_ptr<TnbStream>& ADestination, bool& Success,
    std::string& AErrorMessage)>;
// STOU: the file must be created new; the handler fails when the name exists already.
using TnbFtpPutUniqueFileEvent = std::function<void(
    TnbFtpServer& Sender, TnbFtpCommandConnection& AConnection, const std::string& AFileName,
    std::unique_ptr<TnbStream>& ADestination, bool& Success, std::string& AErrorMessage)>;
// The handler may supply an account made for this one login.
using TnbFtpCreateUserAccountEvent =
    std::function<void(TnbFtpServer& Sender, TnbFtpCommandConnection& AConnection,
                       const std::string& AUserName, TnbFtpUserAccountItemPtr& Account)>;
using TnbFtpAuthenticateEvent = std::function<void(
    TnbFtpServer& Sender, TnbFtpCommandConnection& AConnection, TnbFtpUserAccountItemPtr& Account,
    const std::string& AUserName, const std::string& APassword, bool& IsAuthorized, bool& Handled)>;
using TnbFtpNameEvent =
    std::function<void(TnbFtpServer& Sender, TnbFtpCommandConnection& AConnection,
                       const std::string& AName, bool& Success, std::string& AErrorMessage)>;
using TnbFtpConnectionEvent =
    std::function<void(TnbFtpServer& Sender, TnbFtpCommandConnection& AConnection)>;
// A protected data connection finished its handshake; AResumed: it resumed the control
// connection's session.
using TnbFtpDataTlsEvent = std::function<void(TnbFtpServer& Sender,
                                              TnbFtpCommandConnection& AConnection, bool AResumed)>;
// The entries of the directory APathName that match AFileMask (a path naming a file lists that
// file; a missing path fails). The single-entry lookup (CWD, SIZE, MDTM, RNFR, STOU) passes the
// entry's directory, ending in "/", with the entry's name as the mask and AIncludeHidden false;
// a handler should find a hidden entry that the mask names exactly. The server takes the one
// entry listed, or the one named exactly like the mask when a name with "*" or "?" matched more.
using TnbFtpFileListEvent = std::function<void(
    TnbFtpServer& Sender, TnbFtpCommandConnection& AConnection, const std::string& APathName,
    const std::string& AFileMask, bool AIncludeHidden, TnbFtpFileInfoList& AFileList, bool& Success,
    std::string& AErrorMessage)>;
using TnbFtpRenameEvent = std::function<void(
    TnbFtpServer& Sender, TnbFtpCommandConnection& AConnection, const std::string& ACurrentName,
    const std::string& ANewName, bool& Success, std::string& AErrorMessage)>;
using TnbFtpHelpCommandEvent =
    std::function<void(TnbFtpServer& Sender, TnbFtpCommandConnection& AConnection,
                       const std::string& AParameters, std::vector<std::string>& AHelpText)>;
using TnbFtpFileTransferEvent = std::function<void(
    TnbFtpServer& Sender, TnbFtpCommandConnection& AConnection, const std::string& AFileName,
    std::int64_t AFileSize, TnbFtpFileTransferStatus& AStatus, std::string& AErrorMessage,
    std::string& AResponseMessage)>;
using TnbFtpPutFileReadyEvent =
    std::function<void(TnbFtpServer& Sender, TnbFtpCommandConnection& AConnection,
                       const std::string& AFileName, TnbStream& ASource)>;
using TnbFtpGetFullPathEvent =
    std::function<void(TnbFtpServer& Sender, TnbFtpCommandConnection& AConnection,
                       const std::string& ARootDir, const std::string& ACurrentDir,
                       const std::string& APathName, std::string& Result, bool& Handled)>;
// MFMT: sets the modification time of AFileName to AModifiedTime (seconds since the epoch, UTC).
using TnbFtpSetModifiedTimeEvent = std::function<void(
    TnbFtpServer& Sender, TnbFtpCommandConnection& AConnection, const std::string& AFileName,
    std::time_t AModifiedTime, bool& Success, std::string& AErrorMessage)>;
using TnbFtpSiteCommandEvent = std::function<void(
    TnbFtpServer& Sender, TnbFtpCommandConnection& AConnection, const std::string& AParameters,
    std::vector<std::string>& AResponse, int& AStatusCode)>;

// ---- Session ----

// One FTP session, the per-client object of TnbFtpServer.
// Threads: the session fields belong to the command that runs (commands of a connection run one
// at a time, in order). The data connection is the exception: ABOR, Stop and the close of the
// control connection reach it from other threads, always under DataConnectionLock.
// Ownership: the session owns its data connection for one transfer.
class TnbFtpCommandConnection : public TnbCommandConnection {
public:
    using TnbCommandConnection::TnbCommandConnection;
    ~TnbFtpCommandConnection() override;

    // Back to "connected, nobody logged in"; the data connection is kept.
    void ResetSession();
    // ResetSession for a new login (USER, a failed PASS): the data protection stays.
    void ResetLogin();

    // Atomic: a host's login time-out reads it from the listener thread.
    bool IsLoggedIn() const { return isLoggedIn_.load(); }
    void SetIsLoggedIn(bool value) { isLoggedIn_.store(value); }
    // Virtual path: "/" separators, leading "/", no trailing "/".
    const std::string& CurrentDir() const { return currentDir_; }
    void SetCurrentDir(std::string value) { currentDir_ = std::move(value); }
    std::int64_t RestartPosition() const { return restartPosition_; }
    void SetRestartPosition(std::int64_t value) { restartPosition_ = value; }
    const std::string& RenameFrom() const { return renameFrom_; }
    void SetRenameFrom(std::string value) { renameFrom_ = std::move(value); }
    // 0 block, 1 compressed, 2 stream, 3 deflate.
    std::uint8_t TransferMode() const { return transferMode_; }
    void SetTransferMode(std::uint8_t value) { transferMode_ = value; }
    // 0 file, 1 record, 2 page.
    std::uint8_t TransferStructure() const { return transferStructure_; }
    void SetTransferStructure(std::uint8_t value) { transferStructure_ = value; }
    // 0 ASCII, 1 binary.
    std::uint8_t TransferType() const { return transferType_; }
    void SetTransferType(std::uint8_t value) { transferType_ = value; }
    const std::string& UserName() const { return userName_; }
    void SetUserName(std::string value) { userName_ = std::move(value); }
    // The logged-in account's root; empty means the server's RootDir.
    const std::string& AccountRootDir() const { return accountRootDir_; }
    void SetAccountRootDir(std::string value) { accountRootDir_ = std::move(value); }
    bool IsPassive() const { return isPassive_; }
    void SetIsPassive(bool value) { isPassive_ = value; }
    int DataPort() const { return dataPort_; }
    void SetDataPort(int value) { dataPort_ = value; }
    const std::string& DataHost() const { return dataHost_; }
    void SetDataHost(std::string value) { dataHost_ = std::move(value); }
    bool DataProtection() const { return dataProtection_; }
    void SetDataProtection(bool value) { dataProtection_ = value; }
    // The account's rate; 0 means the server's BitsPerSec.
    int BitsPerSec() const { return bitsPerSec_; }
    void SetBitsPerSec(int value) { bitsPerSec_ = value; }
    TnbFtpServerPermissions Permissions() const { return permissions_; }
    void SetPermissions(TnbFtpServerPermissions value) { permissions_ = value; }

    // Options of the commands beyond RFC 959. They describe the client, so USER and REIN keep
    // them.
    // After "EPSV ALL" the client uses EPSV only: PORT, PASV and EPRT are refused.
    bool EpsvAll() const { return epsvAll_; }
    void SetEpsvAll(bool value) { epsvAll_ = value; }
    // The facts MLST and MLSD report, as bits of TnbMlstFact (OPTS MLST); all by default.
    std::uint8_t MlstFacts() const { return mlstFacts_; }
    void SetMlstFacts(std::uint8_t value) { mlstFacts_ = value; }
    // "OPTS UTF8 ON": commands and replies in UTF-8 whatever the server's CharSet.
    bool Utf8() const { return utf8_.load(); }
    void SetUtf8(bool value) { utf8_.store(value); }
    // The algorithm of HASH ("SHA-256", "SHA-1" or "MD5").
    const std::string& HashAlgorithm() const { return hashAlgorithm_; }
    void SetHashAlgorithm(std::string value) { hashAlgorithm_ = std::move(value); }
    // The name the client gave with CLNT.
    const std::string& ClientName() const { return clientName_; }
    void SetClientName(std::string value) { clientName_ = std::move(value); }

    // Closes and frees the prepared data connection (if any), installs the new one and clears
    // RestartPosition. The command's own thread.
    void SetDataConnection(std::unique_ptr<TnbTcpConnection> connection);
    // The prepared or running data connection (nullptr when there is none). Shared so that an
    // ABOR dropping it never frees it under the command that uses it. Any thread.
    std::shared_ptr<TnbTcpConnection> DataConnection() const;
    bool HasDataConnection() const;
    // Any thread: aborts the data connection, which wakes every wait of a running transfer.
    void AbortDataConnection();

    // ABOR: a running transfer is aborted; otherwise a prepared data connection is dropped.
    // True while a command that answers for ABOR runs (BeginAborAnswer): that command sends
    // ABOR's reply after its own last one, however it ends, so a transfer that fails with 550
    // or 425 leaves no ABOR unanswered, nor answered ahead of it. False: ABOR answers itself.
    bool AbortTransfer();
    // Marks the transfer command that is about to use the data connection; while marked, ABOR
    // aborts instead of dropping. EndTransfer also frees the data connection: it served its one
    // transfer.
    void BeginTransfer();
    void EndTransfer() noexcept;
    // A command that waits on its peer (a transfer, a digest) answers for an ABOR that comes
    // while it runs: from before it may wait until its last reply is out. EndAborAnswer is the
    // number of such ABORs whose reply is still owed.
    void BeginAborAnswer() noexcept;
    int EndAborAnswer() noexcept;
    // The transfer's "226 Transfer aborted." answers one ABOR that came meanwhile.
    void AborAnswered() noexcept;

    // Closing the control connection aborts a running transfer (the worker is freed at once).
    void Close(bool notifyPeer) override;

private:
    std::atomic<bool> isLoggedIn_{false};
    std::string currentDir_ = "/";
    std::int64_t restartPosition_ = 0;
    std::string renameFrom_;
    std::uint8_t transferMode_ = 2;
    std::uint8_t transferStructure_ = 0;
    std::uint8_t transferType_ = 0;
    std::string userName_;
    std::string accountRootDir_;
    bool isPassive_ = false;
    int dataPort_ = 0;
    std::string dataHost_;
    bool dataProtection_ = false;
    int bitsPerSec_ = 0;
    TnbFtpServerPermissions permissions_{TnbFtpServerPermission::spAll};
    bool epsvAll_ = false;
    std::uint8_t mlstFacts_ = 0x1F;  // every TnbMlstFact
    // Read by the reading side of the command server too, outside the command.
    std::atomic<bool> utf8_{false};
    std::string hashAlgorithm_ = "SHA-256";
    std::string clientName_;

    // Guards replacing, clearing and aborting the data connection (a leaf lock).
    mutable std::mutex dataConnectionLock_;
    std::shared_ptr<TnbTcpConnection> dataConnection_;
    bool transferRunning_ = false;  // guarded by dataConnectionLock_
    bool answersAbor_ = false;      // guarded by dataConnectionLock_
    int aborAnswersOwed_ = 0;       // guarded by dataConnectionLock_
};

// One entry of the FTP command table: a command word and the server method that handles it.
class TnbFtpCommandInfo : public TnbTcpCommandInfo {
public:
    using THandler = void (TnbFtpServer::*)(TnbFtpCommandConnection& AConnection,
                                            const std::string& ACommand,
                                            const TnbTcpCommandParams& AParams);
    TnbFtpCommandInfo(std::string name, TnbFtpServer& server, THandler handler,
                      bool noLock = false);
    void Execute(TnbCommandConnection& AConnection, TnbTcpCommandParams& AParams) override;

private:
    TnbFtpServer& server_;
    THandler handler_;
};

// ---- Server ----

// The FTP server. Owns its accounts and extension list; its sessions are
// TnbFtpCommandConnection objects shared like every connection of the TCP server.
class TnbFtpServer : public TnbTcpCommandServer {
public:
    TnbFtpServer();
    ~TnbFtpServer() override;

    // Caller's thread: aborts every running transfer first (a transfer holds its worker until
    // it ends), then stops as the TCP server does.
    void Stop() override;

    // ---- Properties (any thread unless noted) ----

    // Local root of every session whose account has no root. Stored absolute and lexically
    // normal (no links resolved); empty means the working directory; one trailing "/" is
    // removed ("/" itself stays).
    std::string RootDir() const;
    void SetRootDir(std::string value);
    bool AllowAnonymousAccess() const { return allowAnonymousAccess_.load(); }
    void SetAllowAnonymousAccess(bool value) { allowAnonymousAccess_.store(value); }
    // Milliseconds given to every wait of a data connection; 60000 by default.
    int TimeOut() const { return timeOut_.load(); }
    void SetTimeOut(int value) { timeOut_.store(value); }
    TnbDirListingStyle DirListingStyle() const { return dirListingStyle_.load(); }
    void SetDirListingStyle(TnbDirListingStyle value) { dirListingStyle_.store(value); }
    // The owned account list (itself thread-safe).
    TnbFtpUserAccountList& UserAccounts() { return userAccounts_; }
    const TnbFtpUserAccountList& UserAccounts() const { return userAccounts_; }
    // Replaces the accounts with copies of the source's.
    void SetUserAccounts(const TnbFtpUserAccountList& value) { userAccounts_.Assign(value); }
    // User names, passwords and the anonymous name; never paths.
    bool CaseInsensitive() const { return userAccounts_.CaseInsensitive(); }
    void SetCaseInsensitive(bool value) { userAccounts_.SetCaseInsensitive(value); }
    // PORT may name a host other than the client, and passive data connections are accepted
    // from any address.
    bool UseFxp() const { return useFxp_.load(); }
    void SetUseFxp(bool value) { useFxp_.store(value); }
    // Host announced by PASV; empty means the control connection's local address.
    std::string PassiveHost() const;
    void SetPassiveHost(std::string value);
    // Text of the SYST reply; "Windows 9x/NT." by default.
    std::string ServerOS() const;
    void SetServerOS(std::string value);
    // Passive port range, used only when both are non-zero.
    int DataPortBegin() const { return dataPortBegin_.load(); }
    void SetDataPortBegin(int value) { dataPortBegin_.store(value); }
    int DataPortEnd() const { return dataPortEnd_.load(); }
    void SetDataPortEnd(int value) { dataPortEnd_.store(value); }
    // drAllow.
    TnbTlsDataSessionReuse TlsDataSessionReuse() const { return tlsDataSessionReuse_.load(); }
    void SetTlsDataSessionReuse(TnbTlsDataSessionReuse value) { tlsDataSessionReuse_.store(value); }
    // false: a protected upload that ends without the client's close_notify (which nobody can
    // tell from a truncated one) is accepted as most servers do; true answers it with 426. The
    // bytes that came are kept either way.
    bool TlsStrictUploadEof() const { return tlsStrictUploadEof_.load(); }
    void SetTlsStrictUploadEof(bool value) { tlsStrictUploadEof_.store(value); }
    // Lines of the FEAT reply; "SIZE", "REST STREAM", "MDTM" by default.
    std::vector<std::string> Extensions() const;
    void SetExtensions(std::vector<std::string> value);

    // ---- Events (bind before Start) ----

    TnbFtpGetFileEvent OnGetFile;
    TnbFtpPutFileEvent OnPutFile;
    // Unbound, STOU uses OnPutFile with AOverwrite true: the name it picked was free a moment
    // before, but a file made meanwhile would be replaced.
    TnbFtpPutUniqueFileEvent OnPutUniqueFile;
    TnbFtpCreateUserAccountEvent OnCreateUserAccount;
    TnbFtpAuthenticateEvent OnAuthenticate;
    TnbFtpNameEvent OnCreateDir;
    TnbFtpConnectionEvent OnInitDataConnection;
    TnbFtpDataTlsEvent OnDataTlsReady;
    TnbFtpFileListEvent OnGetFileList;
    TnbFtpNameEvent OnDelete;
    TnbFtpRenameEvent OnRename;
    TnbFtpHelpCommandEvent OnHelpCommand;
    TnbFtpFileTransferEvent OnGetFileDone;
    TnbFtpFileTransferEvent OnPutFileDone;
    TnbFtpPutFileReadyEvent OnPutFileReady;
    TnbFtpGetFullPathEvent OnGetFullPath;
    TnbFtpSiteCommandEvent OnSiteCommand;
    // MFMT; unbound, MFMT fails ("failed").
    TnbFtpSetModifiedTimeEvent OnSetModifiedTime;

    // ---- Helpers (worker threads; the raising ones never return) ----

    [[noreturn]] static void RaiseFtpError(const std::string& command, int code,
                                           const std::string& text);
    [[noreturn]] static void RaiseInvalidArgument(const std::string& command);
    [[noreturn]] static void RaiseFileError(const std::string& command, const std::string& name,
                                            const std::string& message);
    [[noreturn]] static void RaiseCannotOpenDataConnection(const std::string& command);
    void CheckTlsRequired(TnbFtpCommandConnection& AConnection, const std::string& command);
    void CheckLoggedIn(TnbFtpCommandConnection& AConnection, const std::string& command);
    void CheckPermission(TnbFtpCommandConnection& AConnection, const std::string& command,
                         TnbFtpServerPermission permission, const std::string& name);

    // Client path text with "\" taken as a separator; one trailing "/" removed.
    static std::string ToLocalPath(std::string_view path);
    static std::string ToVirtualPath(std::string_view path);
    // The session's root: the account's, else the server's RootDir (always absolute).
    std::string GetRootDir(TnbFtpCommandConnection& AConnection) const;
    // The local path of a client path, confined below the session's root.
    std::string GetFullPath(TnbFtpCommandConnection& AConnection, const std::string& path);
    // The virtual path of a local path below the root ("" for the root itself or outside it).
    std::string GetVirtualPath(TnbFtpCommandConnection& AConnection, const std::string& fullPath);
    // The one entry named exactly by a virtual path; 550 when there is none.
    std::unique_ptr<TnbFtpFileInfo> GetFileInfo(TnbFtpCommandConnection& AConnection,
                                                const std::string& command,
                                                const std::string& virtualPath);
    // First line "code-text", last "code text", middle lines indented by four blanks.
    void SendMultiLineReply(TnbFtpCommandConnection& AConnection, std::vector<std::string> lines,
                            int code);

    bool IsAnonymousName(std::string_view name) const;
    // "SHA-256", "SHA-1" and "MD5": the algorithms HASH offers.
    static bool IsHashAlgorithm(const std::string& algorithm);

protected:
    // ---- Overrides of the command server ----
    InbUserConnection CreateDefaultConnection() override;
    void RegisterCommands() override;
    std::unique_ptr<TnbTcpCommandInfo> CreateCustomCommandInfo(
        const TnbTcpCommandParams& AParams) override;
    void DoCommandError(TnbCommandConnection& AConnection, const TnbTcpCommandParams& AParams,
                        const std::exception& E) override;
    void DoAcceptConnection(TnbUserConnection& AConnection, bool& Handled) override;
    // "utf-8" for a session after "OPTS UTF8 ON", else the server's CharSet.
    std::string GetResponseCharSet(TnbCommandConnection& AConnection) override;
    std::string GetRequestCharSet(TnbCommandConnection& AConnection) override;

    // Adds the default FEAT lines; a descendant may override it to add its own. Runs once, when
    // the extensions are first read, unless SetExtensions came first.
    virtual void FillDefaultExtensions(std::vector<std::string>& extensions) const;

    // ---- Login ----
    std::unique_ptr<TnbFtpUserAccountWrapper> FindLoginAccount(TnbFtpCommandConnection& AConnection,
                                                               const std::string& userName);
    virtual bool Authenticate(TnbFtpCommandConnection& AConnection,
                              TnbFtpUserAccountItemPtr& account, const std::string& password,
                              const std::string& userName);

    // ---- Data connections ----
    // Configures and installs a new data connection; returns it.
    std::shared_ptr<TnbTcpConnection> InitDataConnection(
        TnbFtpCommandConnection& AConnection, std::unique_ptr<TnbTcpConnection> dataConnection);
    // Makes the data connection ready (accepted or connected) and sends the preliminary reply;
    // returns it. An abort meanwhile returns it aborted (not Active). 425 when there is none.
    // The server side of a protected data connection's handshake, after the preliminary reply.
    // A failed handshake aborts the data connection; one that does not resume under drRequire
    // is refused with 522.
    void SecureDataConnection(TnbFtpCommandConnection& AConnection, const std::string& command,
                              TnbTcpConnection& dc, TnbTlsNetworkStream& stream);
    virtual std::shared_ptr<TnbTcpConnection> OpenDataConnection(
        TnbFtpCommandConnection& AConnection, const std::string& command, const std::string& reply);
    bool IsValidPortTarget(TnbFtpCommandConnection& AConnection);

    // ---- Event raisers (each fires only when bound) ----
    virtual void DoGetFile(TnbFtpCommandConnection& AConnection, const std::string& AFileName,
                           std::unique_ptr<TnbStream>& ASource, bool& Success,
                           std::string& AErrorMessage);
    virtual void DoPutFile(TnbFtpCommandConnection& AConnection, const std::string& AFileName,
                           bool AOverwrite, std::unique_ptr<TnbStream>& ADestination,
                           bool& Success, std::string& AErrorMessage);
    virtual void DoPutUniqueFile(TnbFtpCommandConnection& AConnection,
                                 const std::string& AFileName,
                                 std::unique_ptr<TnbStream>& ADestination, bool& Success,
                                 std::string& AErrorMessage);
    virtual void DoCreateUserAccount(TnbFtpCommandConnection& AConnection,
                                     const std::string& AUserName,
                                     TnbFtpUserAccountItemPtr& Account);
    virtual void DoAuthenticate(TnbFtpCommandConnection& AConnection,
                                TnbFtpUserAccountItemPtr& Account, const std::string& AUserName,
                                const std::string& APassword, bool& IsAuthorized, bool& Handled);
    // Unbound, the three file-changing events fail ("failed"): nothing was done.
    virtual void DoCreateDir(TnbFtpCommandConnection& AConnection, const std::string& AName,
                             bool& Success, std::string& AErrorMessage);
    virtual void DoDelete(TnbFtpCommandConnection& AConnection, const std::string& AName,
                          bool& Success, std::string& AErrorMessage);
    virtual void DoRename(TnbFtpCommandConnection& AConnection, const std::string& ACurrentName,
                          const std::string& ANewName, bool& Success, std::string& AErrorMessage);
    virtual void DoInitDataConnection(TnbFtpCommandConnection& AConnection);
    virtual void DoDataTlsReady(TnbFtpCommandConnection& AConnection, bool AResumed);
    virtual void DoGetFileList(TnbFtpCommandConnection& AConnection, const std::string& APathName,
                               const std::string& AFileMask, bool AIncludeHidden,
                               TnbFtpFileInfoList& AFileList, bool& Success,
                               std::string& AErrorMessage);
    virtual void DoHelpCommand(TnbFtpCommandConnection& AConnection, const std::string& AParameters,
                               std::vector<std::string>& AHelpText);
    virtual void DoGetFileDone(TnbFtpCommandConnection& AConnection, const std::string& AFileName,
                               std::int64_t AFileSize, TnbFtpFileTransferStatus& AStatus,
                               std::string& AErrorMessage, std::string& AResponseMessage);
    virtual void DoPutFileDone(TnbFtpCommandConnection& AConnection, const std::string& AFileName,
                               std::int64_t AFileSize, TnbFtpFileTransferStatus& AStatus,
                               std::string& AErrorMessage, std::string& AResponseMessage);
    virtual void DoPutFileReady(TnbFtpCommandConnection& AConnection, const std::string& AFileName,
                                TnbStream& ASource);
    virtual void DoGetFullPath(TnbFtpCommandConnection& AConnection, const std::string& ARootDir,
                               const std::string& ACurrentDir, const std::string& APathName,
                               std::string& Result, bool& Handled);
    virtual void DoSiteCommand(TnbFtpCommandConnection& AConnection, const std::string& AParameters,
                               std::vector<std::string>& AResponse, int& AStatusCode);
    virtual void DoSetModifiedTime(TnbFtpCommandConnection& AConnection,
                                   const std::string& AFileName, std::time_t AModifiedTime,
                                   bool& Success, std::string& AErrorMessage);

private:
    friend class TnbFtpCommandInfo;
    using THandler = TnbFtpCommandInfo::THandler;
    void AddCommand(const char* name, THandler handler, bool noLock = false);
    // RootDir made absolute and normal (the working directory when empty).
    std::string EffectiveRootDir() const;
    // Aborts the data connection of every session; transfers that start meanwhile are aborted
    // at once until the stop is over.
    void AbortTransfers() noexcept;

    // Sends one reply line (CR and LF from names or messages become blanks).
    void Reply(TnbFtpCommandConnection& AConnection, const std::string& command,
               const std::string& text);
    // The standard checks of most commands: TLS required, then logged in.
    void CheckSession(TnbFtpCommandConnection& AConnection, const std::string& command);
    // The single-entry lookup of a local path: the entry, or nullptr with the event's message.
    std::unique_ptr<TnbFtpFileInfo> LookupEntry(TnbFtpCommandConnection& AConnection,
                                                const std::string& fullPath, bool includeHidden,
                                                std::string& message);
    // Refuses a command that would act on the root itself.
    void CheckNotRoot(TnbFtpCommandConnection& AConnection, const std::string& command,
                      const std::string& fullPath, const std::string& name);
    // The full path of a file that a command acts on: 501 when the name leaves the tree, the
    // refusal of CheckNotRoot when it names the root.
    std::string FullFilePath(TnbFtpCommandConnection& AConnection, const std::string& command,
                             const std::string& name);
    // Final replies of a transfer (426 when aborted, then 226), or the 500 of a failed status.
    // abortReply replaces the usual 426 line.
    void SendTransferEnd(TnbFtpCommandConnection& AConnection, const std::string& command,
                         TnbFtpFileTransferStatus status, const std::string& errorMessage,
                         const std::string& responseMessage, const std::string& abortReply = {});
    void StoreFile(TnbFtpCommandConnection& AConnection, const std::string& command,
                   const std::string& param, bool unique, bool append);
    void ListFiles(TnbFtpCommandConnection& AConnection, const std::string& command,
                   const std::string& param, bool namesOnly);
    void DeleteEntry(TnbFtpCommandConnection& AConnection, const std::string& command,
                     const std::string& param, TnbFtpServerPermission permission);
    // The listing's lines over the data connection: 150, the lines, then 426 and 226 or 226.
    void SendListing(TnbFtpCommandConnection& AConnection, const std::string& command,
                     const std::string& text);
    // A new passive data connection listening (DataPortBegin..DataPortEnd when set) on the
    // control connection's local address; returns its port. 425 when none can be made.
    int ListenPassive(TnbFtpCommandConnection& AConnection, const std::string& command);
    // 501 after EPSV ALL: the client promised to use EPSV only.
    void CheckNotEpsvAll(TnbFtpCommandConnection& AConnection, const std::string& command);
    // OPTS of the extensions (UTF8, MLST, HASH); false for any other option.
    bool SetExtendedOption(TnbFtpCommandConnection& AConnection, const std::string& command,
                           const std::string& option);

    // ---- Command handlers ----
    void CmdUser(TnbFtpCommandConnection& c, const std::string& cmd, const TnbTcpCommandParams& p);
    void CmdPass(TnbFtpCommandConnection& c, const std::string& cmd, const TnbTcpCommandParams& p);
    void CmdQuit(TnbFtpCommandConnection& c, const std::string& cmd, const TnbTcpCommandParams& p);
    void CmdMode(TnbFtpCommandConnection& c, const std::string& cmd, const TnbTcpCommandParams& p);
    void CmdStru(TnbFtpCommandConnection& c, const std::string& cmd, const TnbTcpCommandParams& p);
    void CmdType(TnbFtpCommandConnection& c, const std::string& cmd, const TnbTcpCommandParams& p);
    void CmdPort(TnbFtpCommandConnection& c, const std::string& cmd, const TnbTcpCommandParams& p);
    void CmdPasv(TnbFtpCommandConnection& c, const std::string& cmd, const TnbTcpCommandParams& p);
    void CmdList(TnbFtpCommandConnection& c, const std::string& cmd, const TnbTcpCommandParams& p);
    void CmdNlst(TnbFtpCommandConnection& c, const std::string& cmd, const TnbTcpCommandParams& p);
    void CmdMkd(TnbFtpCommandConnection& c, const std::string& cmd, const TnbTcpCommandParams& p);
    void CmdPwd(TnbFtpCommandConnection& c, const std::string& cmd, const TnbTcpCommandParams& p);
    void CmdCwd(TnbFtpCommandConnection& c, const std::string& cmd, const TnbTcpCommandParams& p);
    void CmdCdup(TnbFtpCommandConnection& c, const std::string& cmd, const TnbTcpCommandParams& p);
    void CmdRmd(TnbFtpCommandConnection& c, const std::string& cmd, const TnbTcpCommandParams& p);
    void CmdStor(TnbFtpCommandConnection& c, const std::string& cmd, const TnbTcpCommandParams& p);
    void CmdAppe(TnbFtpCommandConnection& c, const std::string& cmd, const TnbTcpCommandParams& p);
    void CmdStou(TnbFtpCommandConnection& c, const std::string& cmd, const TnbTcpCommandParams& p);
    void CmdRnfr(TnbFtpCommandConnection& c, const std::string& cmd, const TnbTcpCommandParams& p);
    void CmdRnto(TnbFtpCommandConnection& c, const std::string& cmd, const TnbTcpCommandParams& p);
    void CmdDele(TnbFtpCommandConnection& c, const std::string& cmd, const TnbTcpCommandParams& p);
    void CmdRetr(TnbFtpCommandConnection& c, const std::string& cmd, const TnbTcpCommandParams& p);
    void CmdSite(TnbFtpCommandConnection& c, const std::string& cmd, const TnbTcpCommandParams& p);
    void CmdNoop(TnbFtpCommandConnection& c, const std::string& cmd, const TnbTcpCommandParams& p);
    void CmdHelp(TnbFtpCommandConnection& c, const std::string& cmd, const TnbTcpCommandParams& p);
    void CmdRein(TnbFtpCommandConnection& c, const std::string& cmd, const TnbTcpCommandParams& p);
    void CmdStat(TnbFtpCommandConnection& c, const std::string& cmd, const TnbTcpCommandParams& p);
    void CmdSyst(TnbFtpCommandConnection& c, const std::string& cmd, const TnbTcpCommandParams& p);
    void CmdAbor(TnbFtpCommandConnection& c, const std::string& cmd, const TnbTcpCommandParams& p);
    void CmdPbsz(TnbFtpCommandConnection& c, const std::string& cmd, const TnbTcpCommandParams& p);
    void CmdProt(TnbFtpCommandConnection& c, const std::string& cmd, const TnbTcpCommandParams& p);
    void CmdAuth(TnbFtpCommandConnection& c, const std::string& cmd, const TnbTcpCommandParams& p);
    void CmdSize(TnbFtpCommandConnection& c, const std::string& cmd, const TnbTcpCommandParams& p);
    void CmdRest(TnbFtpCommandConnection& c, const std::string& cmd, const TnbTcpCommandParams& p);
    void CmdMdtm(TnbFtpCommandConnection& c, const std::string& cmd, const TnbTcpCommandParams& p);
    void CmdFeat(TnbFtpCommandConnection& c, const std::string& cmd, const TnbTcpCommandParams& p);
    void CmdOpts(TnbFtpCommandConnection& c, const std::string& cmd, const TnbTcpCommandParams& p);
    void CmdEpsv(TnbFtpCommandConnection& c, const std::string& cmd, const TnbTcpCommandParams& p);
    void CmdEprt(TnbFtpCommandConnection& c, const std::string& cmd, const TnbTcpCommandParams& p);
    void CmdMlst(TnbFtpCommandConnection& c, const std::string& cmd, const TnbTcpCommandParams& p);
    void CmdMlsd(TnbFtpCommandConnection& c, const std::string& cmd, const TnbTcpCommandParams& p);
    void CmdMfmt(TnbFtpCommandConnection& c, const std::string& cmd, const TnbTcpCommandParams& p);
    void CmdHash(TnbFtpCommandConnection& c, const std::string& cmd, const TnbTcpCommandParams& p);
    void CmdClnt(TnbFtpCommandConnection& c, const std::string& cmd, const TnbTcpCommandParams& p);

    mutable std::mutex propertyLock_;  // guards the text properties below (a leaf lock)
    std::string rootDirText_;          // as set (one trailing "/" removed)
    std::string rootDir_;              // absolute, lexically normal: what paths resolve against
    std::string passiveHost_;
    std::string serverOS_ = "Windows 9x/NT.";
    mutable std::optional<std::vector<std::string>> extensions_;  // defaults until first use

    std::atomic<bool> allowAnonymousAccess_{false};
    std::atomic<int> timeOut_{60000};
    std::atomic<TnbDirListingStyle> dirListingStyle_{TnbDirListingStyle::lsMsDos};
    std::atomic<bool> useFxp_{false};
    std::atomic<TnbTlsDataSessionReuse> tlsDataSessionReuse_{TnbTlsDataSessionReuse::drAllow};
    std::atomic<bool> tlsStrictUploadEof_{false};
    std::atomic<int> dataPortBegin_{0};
    std::atomic<int> dataPortEnd_{0};
    std::atomic<bool> stopping_{false};
    TnbFtpUserAccountList userAccounts_;
};

}  // namespace nb
