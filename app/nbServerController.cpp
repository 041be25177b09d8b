#include "app/nbServerController.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <stdexcept>

#include "ftp/nbFtpMachineList.h"
#include "tls/nbCryptAPI.h"
#include "tls/nbSspi.h"
#include "util/nbFileStream.h"
#include "util/nbUtils.h"

namespace nb {

namespace {

const char* const kPresetUser = "NorbitTester";
const char* const kPresetPassword = "mivoraplexan";
const char* const kPresetDisplayName = "Norbit Tester";
const char* const kDemoSubject = "CN=NorbitTester,O=NorbitComponents,E=tester@norbitcomponents.example";

// Makes sure the container holds a key, making container and key when they are missing, so
// that every run signs with the same key instead of leaving a new one behind.
void PrepareKeyContainer(const TnbCertificateStore& AStore, const std::string& AName) {
    const std::uint32_t keySpec =
        AStore.KeyType == TnbCertificateKeyType::ktSignature ? AT_SIGNATURE : AT_KEYEXCHANGE;
    HCRYPTPROV prov;
    if (!CryptAcquireContextA(prov, AName, AStore.CSP(), AStore.ProviderType, 0)) {
        // Another run may make it at the same moment: then its container is taken.
        if (!CryptAcquireContextA(prov, AName, AStore.CSP(), AStore.ProviderType,
                                  CRYPT_NEWKEYSET) &&
            (GetLastError() != NTE_EXISTS ||
             !CryptAcquireContextA(prov, AName, AStore.CSP(), AStore.ProviderType, 0))) {
            RaiseCryptError("CryptAcquireContext");
        }
    }
    HCRYPTKEY key;
    if (CryptGetUserKey(prov, keySpec, key))
        return;
    if (!CryptGenKey(prov, keySpec, (AStore.KeyLength << 16) | CRYPT_EXPORTABLE, key))
        RaiseCryptError("CryptGenKey");
}

// When the command that runs on this worker began: a transfer's done event comes on the same
// worker within the same command, so the transfer log takes its duration from here.
thread_local std::chrono::steady_clock::time_point commandStart;

}  // namespace

int StrToInt(const std::string& AText) {
    const std::string text(Trim(AText));
    errno = 0;
    char* end = nullptr;
    const long value = text.empty() ? 0 : std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || errno == ERANGE || value < INT_MIN || value > INT_MAX)
        throw std::invalid_argument("'" + AText + "' is not a valid integer value");
    return static_cast<int>(value);
}

bool ForceDirectories(const std::string& APath) {
    std::string path = APath;
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    if (path.empty())
        return true;
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0)
        return S_ISDIR(st.st_mode);
    const auto slash = path.rfind('/');
    if (slash != std::string::npos && slash > 0)
        ForceDirectories(path.substr(0, slash));
    return ::mkdir(path.c_str(), 0755) == 0 || errno == EEXIST;
}

void CheckRootDir(const std::string& APath) {
    const std::string quoted = "Root directory '" + APath + "' ";
    struct stat st {};
    if (::stat(APath.c_str(), &st) != 0)
        throw std::runtime_error(quoted + "cannot be used: " + SystemErrorText(errno));
    if (!S_ISDIR(st.st_mode))
        throw std::runtime_error(quoted + "is not a directory");
    if (::access(APath.c_str(), R_OK | X_OK) != 0)
        throw std::runtime_error(quoted + "cannot be read: " + SystemErrorText(errno));
}

std::string TnbServerController::DefaultRootDir() {
    const char* home = std::getenv("HOME");
    return std::string(home && *home ? home : ".") + "/NorbitFtpServer/";
}

TnbServerController::TnbServerController(TLogSink sink) : sink_(std::move(sink)) {
    server_.SetServerName("Norbit Internet Suite FTP service");
    server_.SetMaxDataSize(-1);
    server_.SetAllowAnonymousAccess(true);
    SetAccountStore(nullptr);
    server_.SetCaseInsensitive(true);
    server_.SetServerOS("Windows 9x/NT.");
    server_.SetExtensions({"SIZE", "REST STREAM", "MDTM"});
    fileHandler_.SetServer(&server_);
    // SECURITY: the guard slows down password guessing (its login delays, and per address one
    // answer a second after a few failures) with its default settings.
    guard_.SetEnableConnectCheck(false);
    server_.SetGuard(&guard_);
    BindEvents();
    BindCertificateEvent();
    BindOperatorEvents();
}

void TnbServerController::SetMaxConnectionsPerMinute(int N) {
    TnbGuardConnectionLimit limit;
    if (N > 0) {
        limit.SetMax(N);
        limit.SetPeriod(60000);
    }
    guard_.SetConnectionLimit(limit);
    guard_.SetEnableConnectCheck(N > 0);
}

TnbServerController::~TnbServerController() {
    destroying_ = true;
    stopping_ = true;
    try {
        server_.Stop();
    } catch (...) {
        // Nothing is left to report to: the program is ending.
    }
    fileHandler_.SetServer(nullptr);
    server_.SetGuard(nullptr);
}

void TnbServerController::BindEvents() {
    server_.OnStart = [this](TnbTcpServer&) { Log("==================\r\nStart Server"); };
    server_.OnStop = [this](TnbTcpServer&) { Log("Stop Server"); };
    server_.OnAcceptConnection = [this](TnbTcpServer&, TnbUserConnection& AConnection, bool&) {
        Log("Accept Connection. Host: " + AConnection.PeerIP());
        ScheduleLoginTimeout(AConnection);
    };
    server_.OnCloseConnection = [this](TnbTcpServer&, TnbUserConnection& AConnection) {
        if (!stopping_)
            Log("Close Connection. Host: " + AConnection.PeerIP());
    };
    server_.OnAuthenticate = [this](TnbFtpServer&, TnbFtpCommandConnection& AConnection,
                                    TnbFtpUserAccountItemPtr& Account,
                                    const std::string& AUserName, const std::string& APassword,
                                    bool& IsAuthorized, bool& Handled) {
        CheckLogin(AConnection, Account, AUserName, APassword, IsAuthorized, Handled);
    };
    server_.OnReceiveCommand = [this](TnbTcpCommandServer&, TnbCommandConnection&,
                                      TnbTcpCommandParams& AParams) {
        // SECURITY: passwords never reach the log, and client text is escaped, so that a client
        // can neither forge log lines nor drive the terminal of whoever reads the log.
        commandStart = std::chrono::steady_clock::now();
        const bool secret = AParams.Command == "PASS";
        Log("Command: " + EscapeControls(AParams.Command) + " " +
            (secret ? "<password>" : EscapeControls(AParams.Params)));
    };
    server_.OnDataTlsReady = [this](TnbFtpServer&, TnbFtpCommandConnection& AConnection,
                                    bool AResumed) {
        Log("TLS data connection. Host: " + AConnection.PeerIP() +
            (AResumed ? ", session resumed" : ", new session"));
    };
    server_.OnSendResponse = [this](TnbTcpCommandServer&, TnbCommandConnection&, const std::string&,
                                    const std::string& AResponse) {
        Log("Reply: " + EscapeControls(AResponse));
    };
}

std::string TnbServerController::DemoKeyContainerName() {
    std::string user;
    if (const passwd* entry = ::getpwuid(::geteuid()); entry && entry->pw_name)
        user = entry->pw_name;
    if (user.empty())
        user = std::to_string(::geteuid());
    return "NorbitFtpServerSSL-" + user;
}

std::shared_ptr<TnbCertificate> TnbServerController::DemoCertificate() {
    std::lock_guard lock(certificateLock_);
    TnbCertificateList& list = certificateStore_.CertificateList();
    if (list.Count() == 0) {
        const TnbLocalTime now = UtcToLocalTime(std::time(nullptr));
        certificateStore_.ValidFrom = now;
        certificateStore_.ValidTo = now + std::chrono::days{365};
        const std::string container = DemoKeyContainerName();
        PrepareKeyContainer(certificateStore_, container);
        certificateStore_.KeyName = container;
        list.Add(certificateStore_.CreateSelfSigned(kDemoSubject, 0));
    }
    return list.Items(0);
}

void TnbServerController::BindCertificateEvent() {
    // A failure passes to the server, which fails that handshake; the store stays empty, so
    // the next handshake tries again. No key material is ever logged.
    server_.OnGetCertificate = [this](TnbTcpServerTls&, std::shared_ptr<TnbCertificate>& ACertificate,
                                      TnbCertificateList& AExtraCerts, bool& Handled) {
        std::shared_ptr<const TnbServerCertificate> files;
        {
            std::lock_guard lock(storeLock_);
            files = fileCertificate_;
        }
        if (files) {
            ACertificate = files->Leaf;
            for (const auto& intermediate : files->Chain)
                AExtraCerts.Add(intermediate);
        } else {
            ACertificate = DemoCertificate();
        }
        Handled = true;
    };
}

void TnbServerController::BindOperatorEvents() {
    server_.OnGetFileDone = [this](TnbFtpServer&, TnbFtpCommandConnection& AConnection,
                                   const std::string& AFileName, std::int64_t ASize,
                                   TnbFtpFileTransferStatus& AStatus, std::string&, std::string&) {
        LogTransfer(AConnection, AFileName, ASize, AStatus, false);
    };
    server_.OnPutFileDone = [this](TnbFtpServer&, TnbFtpCommandConnection& AConnection,
                                   const std::string& AFileName, std::int64_t ASize,
                                   TnbFtpFileTransferStatus& AStatus, std::string&, std::string&) {
        LogTransfer(AConnection, AFileName, ASize, AStatus, true);
    };
}

void TnbServerController::CheckLogin(TnbFtpCommandConnection& AConnection,
                                     TnbFtpUserAccountItemPtr& Account,
                                     const std::string& AUserName, const std::string& APassword,
                                     bool& IsAuthorized, bool& Handled) {
    TnbAccountStorePtr store;
    {
        std::lock_guard lock(storeLock_);
        store = store_;
    }
    bool verdict = false;
    if (store) {
        // The preset account is gone and the server's own list is empty: the store decides
        // (Handled), and a login it accepts gets an account made from its entry.
        Handled = true;
        verdict = store->CheckLogin(AUserName, APassword);
        const TnbConfigAccount* entry = verdict ? store->Find(AUserName) : nullptr;
        if (entry) {
            Log("Authenticate user: " + EscapeControls(entry->Name));
            Account = std::make_shared<TnbFtpUserAccountItem>();
            Account->SetUserName(entry->Name);
            Account->SetRootDir(entry->RootDir);
            Account->SetPermissions(entry->Permissions);
            Account->SetBitsPerSec(entry->BitsPerSec);
        }
        IsAuthorized = verdict;
    } else {
        if (Account)
            Log("Authenticate user: " + EscapeControls(Account->UserName()));
        // The same verdict the server reaches itself (Handled stays false).
        verdict = Account && Account->CheckPassword(APassword);
    }
    // SECURITY: one line per failed login for fail2ban; never the password.
    if (!verdict)
        Log("Login failed: user " + EscapeControls(AUserName) + " from " + AConnection.PeerIP());
}

void TnbServerController::LogTransfer(TnbFtpCommandConnection& AConnection,
                                      const std::string& AFileName, std::int64_t ASize,
                                      TnbFtpFileTransferStatus AStatus, bool AIncoming) {
    if (!transferLog_.IsOpen())
        return;
    TnbTransferRecord record;
    const auto took = std::chrono::steady_clock::now() - commandStart;
    record.Seconds = std::chrono::duration_cast<std::chrono::seconds>(took).count();
    record.Host = AConnection.PeerIP();
    record.Bytes = ASize;
    record.Path = AFileName;
    record.Binary = AConnection.TransferType() == 1;
    record.Incoming = AIncoming;
    record.Anonymous =
        server_.AllowAnonymousAccess() && server_.IsAnonymousName(AConnection.UserName());
    record.User = AConnection.UserName();
    record.Complete = AStatus == TnbFtpFileTransferStatus::tsSuccess;
    transferLog_.Write(record);
}

void TnbServerController::SetAccountStore(TnbAccountStorePtr AStore) {
    const bool configured = AStore != nullptr;
    {
        std::lock_guard lock(storeLock_);
        store_ = std::move(AStore);
    }
    TnbFtpUserAccountList accounts;
    // The list's assignment carries its case rule, which governs the anonymous name too.
    accounts.SetCaseInsensitive(server_.CaseInsensitive());
    if (!configured) {
        auto account = accounts.Add();
        account->SetUserName(kPresetUser);
        account->SetPassword(kPresetPassword);
        account->SetDisplayName(kPresetDisplayName);
    }
    server_.SetUserAccounts(accounts);
}

void TnbServerController::SetLoginTimeout(int ASeconds) { loginTimeout_ = ASeconds; }

void TnbServerController::SetServerCertificate(
    std::shared_ptr<const TnbServerCertificate> ACertificate) {
    std::lock_guard lock(storeLock_);
    fileCertificate_ = std::move(ACertificate);
}

void TnbServerController::ScheduleLoginTimeout(TnbUserConnection& AConnection) {
    const int seconds = loginTimeout_;
    if (seconds <= 0)
        return;
    // Weak: the task must not keep a closed connection alive until it runs.
    std::weak_ptr<TnbUserConnection> weak = AConnection.shared_from_this();
    // SECURITY: a client that connects and never logs in holds a connection (and, with TLS, a
    // handshake's memory) only this long.
    server_.ScheduleTask(static_cast<std::uint32_t>(seconds) * 1000U, [this, weak] {
        const auto connection = weak.lock();
        auto* session = dynamic_cast<TnbFtpCommandConnection*>(connection.get());
        if (!session || session->IsLoggedIn() || !server_.Active())
            return;
        Log("Login timeout. Host: " + session->PeerIP());
        server_.InternalCloseConnection(session, true);
    });
}

void TnbServerController::Start(TnbServerTlsMode AMode, const std::string& APortText,
                                const std::string& ARootDir) {
    server_.SetUseTLS(AMode);
    server_.SetExtensions(ProgramExtensions(AMode));
    ApplyListenAddresses();
    server_.SetPort(StrToInt(APortText));
    server_.SetRootDir(ARootDir);
    std::string root = server_.RootDir();
    if (root.empty())
        root = ".";
    struct stat st {};
    const bool missing = ::lstat(root.c_str(), &st) != 0 && errno == ENOENT;
    if (missing)
        ForceDirectories(root);
    // A root that is a file or unreadable would start a server that serves nothing and says
    // nothing about it.
    CheckRootDir(root);
    server_.Start();
    createdRootDir_ = missing ? root : std::string();
}

void TnbServerController::SetListenAddresses(std::vector<std::string> AAddresses) {
    listenAddresses_ = std::move(AAddresses);
}

void TnbServerController::ApplyListenAddresses() {
    // IPv6 sockets carry IPv6 only, so "::" takes a second socket for IPv4; the wildcard of a
    // family is the empty binding of that family.
    std::vector<std::string> bindings;
    for (const std::string& address : listenAddresses_) {
        if (address == "::")
            bindings.push_back("0.0.0.0");
        bindings.push_back(address);
    }
    if (bindings.empty())
        bindings.push_back("0.0.0.0");
    std::vector<std::string> unique;
    for (const std::string& binding : bindings) {
        if (std::find(unique.begin(), unique.end(), binding) == unique.end())
            unique.push_back(binding);
    }
    server_.SetLocalBinding(unique.front() == "0.0.0.0" ? std::string() : unique.front());
    server_.SetUseIpV6(false);
    server_.SetExtraBindings(std::vector<std::string>(unique.begin() + 1, unique.end()));
}

std::vector<std::string> ProgramExtensions(TnbServerTlsMode AMode) {
    std::vector<std::string> lines{"SIZE", "REST STREAM", "MDTM", "EPSV", "EPRT",
                                   MlstFeatLine(kAllMlstFacts), "MFMT", "UTF8",
                                   "HASH SHA-256*;SHA-1;MD5", "CLNT"};
    if (AMode != TnbServerTlsMode::stNone) {
        lines.push_back("AUTH TLS");
        lines.push_back("PBSZ");
        lines.push_back("PROT");
    }
    return lines;
}

void TnbServerController::SetListingStyle(TnbDirListingStyle AStyle) {
    server_.SetDirListingStyle(AStyle);
    server_.SetServerOS(AStyle == TnbDirListingStyle::lsUnix ? "UNIX Type: L8" : "Windows 9x/NT.");
}

void TnbServerController::Stop() {
    stopping_ = true;
    try {
        server_.Stop();
    } catch (...) {
        stopping_ = false;
        throw;
    }
    stopping_ = false;
}

void TnbServerController::Log(const std::string& AText) {
    if (destroying_ || !sink_)
        return;
    std::lock_guard lock(logLock_);
    sink_(AText);
}

}  // namespace nb
