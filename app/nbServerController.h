// The server program's wiring: one FTP server, the local file handler bound to it, the event
// handlers that write the log, and the Start and Stop handlers. The headless front end and the
// window both use it.
//
// Threads: Start and Stop run on the front end's thread. The server raises its events on its
// own threads, so the log appender serialises lines with the log lock; the stopping flag keeps
// closing connections from logging while Stop waits for the server's threads.
// The server's certificate is the demo certificate of the controller's store: made on the first
// handshake that asks (on a worker, serialised by the certificate lock), then handed out for
// every later handshake, also after Stop and Start. Its key lives in one key container per
// user, reused across runs.
// Ownership: the controller owns the server, the file handler, the server's guard and the
// certificate store.
#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "app/nbAccountStore.h"
#include "app/nbCertificateFiles.h"
#include "app/nbTransferLog.h"
#include "ftp/nbFtpFileHandler.h"
#include "ftp/nbFtpServer.h"
#include "tls/nbCertificateStore.h"

namespace nb {

class TnbServerController {
public:
    // Receives every log entry; an entry may hold several lines separated by CR LF.
    using TLogSink = std::function<void(const std::string& AText)>;

    explicit TnbServerController(TLogSink sink);
    ~TnbServerController();
    TnbServerController(const TnbServerController&) = delete;
    TnbServerController& operator=(const TnbServerController&) = delete;

    // The Start handler: TLS mode, port text (an integer, or the conversion error is raised and
    // nothing starts), root directory (created with its parents when missing, see
    // CreatedRootDir), then Start. A root that is no directory or that cannot be read is refused
    // ("Root directory ...") and nothing starts. Errors are raised with the server's message.
    void Start(TnbServerTlsMode AMode, const std::string& APortText, const std::string& ARootDir);
    // The Stop handler: no "Close Connection" lines are written while it runs.
    void Stop();

    // The listing style and the SYST text that goes with it, so clients parse the listing the
    // way it is written: lsUnix answers SYST with "UNIX Type: L8", lsMsDos with the window's
    // "Windows 9x/NT.". The window keeps lsMsDos (the constructor's values); the headless
    // program, a Linux server, chooses lsUnix. Before Start.
    void SetListingStyle(TnbDirListingStyle AStyle);
    // The local addresses to listen on (the program's --listen; empty means "0.0.0.0"). "::"
    // listens on IPv6 and IPv4 alike, any other address on itself only. Before Start.
    void SetListenAddresses(std::vector<std::string> AAddresses);

    TnbFtpServer& Server() { return server_; }
    TnbServerGuard& Guard() { return guard_; }

    // SECURITY: the guard's connection-rate check is off by default (6 a minute per address
    // would refuse a client that opens parallel transfers); N > 0 admits at most N connections
    // per address and minute. Before Start.
    void SetMaxConnectionsPerMinute(int N);

    // The store whose first certificate identifies the server (empty until a handshake asked).
    TnbCertificateStore& CertificateStore() { return certificateStore_; }
    // The demo certificate: the store's first, made when the store has none. Thread-safe;
    // concurrent first calls make exactly one. A failure raises and leaves the store empty.
    std::shared_ptr<TnbCertificate> DemoCertificate();
    // The key container of the demo certificate: one fixed name per user.
    static std::string DemoKeyContainerName();

    // The root directory the last successful Start had to create, or empty.
    const std::string& CreatedRootDir() const { return createdRootDir_; }

    // ---- What an operator's configuration sets (any time; each applies from the next
    // connection or login on, running sessions keep what they have) ----

    // The accounts logins are checked against, in place of the preset account (nullptr: the
    // preset account again). A configured account's name is compared exactly.
    void SetAccountStore(TnbAccountStorePtr AStore);
    // Seconds a connection may stay without logging in before it is closed; 0 = no limit.
    void SetLoginTimeout(int ASeconds);
    // The certificate handshakes get in place of the demo certificate (nullptr: the demo
    // certificate again).
    void SetServerCertificate(std::shared_ptr<const TnbServerCertificate> ACertificate);
    // Receives a line for every finished or failed transfer once opened.
    TnbTransferLog& TransferLog() { return transferLog_; }

    // "$HOME/NorbitFtpServer/": the root directory offered when the user names none.
    static std::string DefaultRootDir();

private:
    void Log(const std::string& AText);
    void BindEvents();
    // Hands listenAddresses_ to the server as LocalBinding and ExtraBindings.
    void ApplyListenAddresses();
    // Binds OnGetCertificate to DemoCertificate.
    void BindCertificateEvent();
    void BindOperatorEvents();
    // The login check: the store's when one is set, the preset account's otherwise. Writes the
    // "Login failed" line.
    void CheckLogin(TnbFtpCommandConnection& AConnection, TnbFtpUserAccountItemPtr& Account,
                    const std::string& AUserName, const std::string& APassword,
                    bool& IsAuthorized, bool& Handled);
    // Listener thread: closes the connection after the login time-out unless it has logged in.
    void ScheduleLoginTimeout(TnbUserConnection& AConnection);
    void LogTransfer(TnbFtpCommandConnection& AConnection, const std::string& AFileName,
                     std::int64_t ASize, TnbFtpFileTransferStatus AStatus, bool AIncoming);

    std::vector<std::string> listenAddresses_;
    std::string createdRootDir_;
    std::mutex logLock_;
    std::atomic<bool> stopping_{false};
    std::atomic<bool> destroying_{false};
    TLogSink sink_;
    TnbServerGuard guard_;  // declared before the server, so it outlives it
    mutable std::mutex storeLock_;  // guards store_ and fileCertificate_ (a leaf lock)
    TnbAccountStorePtr store_;
    std::shared_ptr<const TnbServerCertificate> fileCertificate_;
    std::atomic<int> loginTimeout_{0};
    TnbTransferLog transferLog_;
    std::mutex certificateLock_;  // leaf lock: the store's list
    TnbCertificateStore certificateStore_;
    TnbFtpServer server_;
    TnbFtpFileHandler fileHandler_;
};

// The port text as an integer: the whole text (blanks around it allowed) must be a decimal
// integer that fits 32 bits, otherwise "'<text>' is not a valid integer value" is raised.
int StrToInt(const std::string& AText);

// Creates a directory and its missing parents; the result is only a hint (true when the
// directory exists afterwards).
bool ForceDirectories(const std::string& APath);

// The FEAT lines of the program's server: the RFC 959 extensions, the ones the server adds
// beyond it, and the FTPS commands when AMode offers TLS.
std::vector<std::string> ProgramExtensions(TnbServerTlsMode AMode);

// Refuses a root directory the server could not serve: raises "Root directory '<path>' ..." when
// it is missing, no directory, or cannot be listed and entered.
void CheckRootDir(const std::string& APath);

}  // namespace nb
