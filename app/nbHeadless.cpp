#include "app/nbHeadless.h"

#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <exception>
#include <functional>
#include <iostream>
#include <memory>
#include <string_view>

#include "app/nbAccountStore.h"
#include "app/nbCertificateFiles.h"
#include "app/nbConfig.h"
#include "app/nbLogSink.h"
#include "app/nbServerController.h"
#include "app/nbServiceNotify.h"
#include "util/nbLimits.h"

namespace nb {

namespace {

using TWriteLog = std::function<void(const std::string&)>;

// Hands one log entry to the sink as lines.
void PostLogLines(TnbLogSink& sink, const std::string& text) {
    std::string_view rest = text;
    for (;;) {
        const auto eol = rest.find("\r\n");
        sink.Post(std::string(rest.substr(0, eol)));
        if (eol == std::string_view::npos)
            break;
        rest.remove_prefix(eol + 2);
    }
}

// The file with the command line's values in place of the file's.
TnbConfigResult LoadWithOverrides(const TnbHeadlessOptions& AOptions) {
    TnbConfigResult result = LoadServerConfig(AOptions.ConfigPath);
    TnbServerConfig& config = result.Config;
    if (AOptions.RootDir)
        config.RootDir = *AOptions.RootDir;
    if (AOptions.Tls)
        config.Tls = *AOptions.Tls;
    if (AOptions.Listing)
        config.Listing = *AOptions.Listing;
    if (AOptions.MaxConnectionsPerMinute)
        config.MaxConnectionsPerMinute = *AOptions.MaxConnectionsPerMinute;
    return result;
}

// The server's root is the anonymous root when there is one; accounts without a root of their
// own then get the configured root explicitly.
std::string ServerRoot(const TnbServerConfig& AConfig) {
    if (!AConfig.AnonymousRoot.empty())
        return AConfig.AnonymousRoot;
    return AConfig.RootDir.value_or(TnbServerController::DefaultRootDir());
}

// What a reload may change: accounts, limits, the logs. Raises (changing nothing) when the
// transfer log cannot be opened.
void ApplyReloadable(TnbServerController& AController, const TnbServerConfig& AConfig) {
    TnbFtpServer& server = AController.Server();
    // What can fail comes first, so that a failure changes nothing.
    std::shared_ptr<const TnbServerCertificate> certificate;
    if (!AConfig.Certificate.empty())
        certificate = LoadCertificateFiles(AConfig.Certificate, AConfig.PrivateKey);
    if (!AConfig.TransferLog.empty() || AController.TransferLog().IsOpen())
        AController.TransferLog().Open(AConfig.TransferLog);
    AController.SetServerCertificate(std::move(certificate));
    TnbTlsFlags protocols;
    for (const auto& version : AConfig.TlsProtocols)
        protocols.Include(version == "1.3" ? TnbTlsFlag::tfUseTLS13 : TnbTlsFlag::tfUseTLS12);
    server.SetTLSFlags(protocols);
    server.SetTlsDataSessionReuse(AConfig.DataSessionReuse == "none"
                                      ? TnbTlsDataSessionReuse::drNone
                                      : AConfig.DataSessionReuse == "require"
                                            ? TnbTlsDataSessionReuse::drRequire
                                            : TnbTlsDataSessionReuse::drAllow);
    const std::string root = AConfig.RootDir.value_or(TnbServerController::DefaultRootDir());
    std::vector<TnbConfigAccount> accounts = AConfig.Accounts;
    for (auto& account : accounts) {
        if (account.RootDir.empty() && !AConfig.AnonymousRoot.empty())
            account.RootDir = root;
    }
    AController.SetAccountStore(std::make_shared<TnbAccountStore>(std::move(accounts)));
    if (server.Active())
        server.SetRootDir(ServerRoot(AConfig));
    server.SetAllowAnonymousAccess(AConfig.AllowAnonymous);
    server.SetDataPortBegin(AConfig.PassivePortBegin);
    server.SetDataPortEnd(AConfig.PassivePortEnd);
    server.SetPassiveHost(AConfig.PassiveAddress);
    server.SetSessionTimeOut(AConfig.IdleTimeout * 1000);
    AController.SetLoginTimeout(AConfig.LoginTimeout);
    AController.SetMaxConnectionsPerMinute(AConfig.MaxConnectionsPerMinute);
}

void Reload(TnbServerController& AController, const TnbHeadlessOptions& AOptions,
            const TWriteLog& AWriteLog) {
    NotifyServiceReloading();
    const TnbConfigResult result = LoadWithOverrides(AOptions);
    if (!result.Ok()) {
        for (const auto& problem : result.Problems)
            AWriteLog("Configuration not reloaded: " +
                          FormatConfigProblem(AOptions.ConfigPath, problem));
    } else {
        try {
            ApplyReloadable(AController, result.Config);
            AWriteLog("Configuration reloaded: " + AOptions.ConfigPath);
        } catch (const std::exception& e) {
            AWriteLog(std::string("Configuration not reloaded: ") + e.what());
        }
    }
    NotifyServiceReady();
}

}  // namespace

int RunHeadless(const TnbHeadlessOptions& AOptions) {
    const bool configured = !AOptions.ConfigPath.empty();
    // Block the signals before any server thread exists, so every thread inherits the mask and
    // only sigwait below receives them. SIGHUP is taken only with a file to re-read.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    if (configured)
        sigaddset(&signals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    TnbServerConfig config;
    if (!configured && AOptions.MaxConnectionsPerMinute)
        config.MaxConnectionsPerMinute = *AOptions.MaxConnectionsPerMinute;
    if (configured) {
        const TnbConfigResult result = LoadWithOverrides(AOptions);
        for (const auto& problem : result.Problems)
            std::fprintf(stderr, "%s\n", FormatConfigProblem(AOptions.ConfigPath, problem).c_str());
        if (!result.Ok())
            return 1;
        config = result.Config;
    }
    std::string port = AOptions.Port.value_or("990");
    if (!AOptions.Port && config.Port)
        port = std::to_string(*config.Port);
    const TnbServerTlsMode mode = config.Tls.value_or(AOptions.Tls.value_or(TnbServerTlsMode::stImplicit));
    const TnbDirListingStyle listing =
        config.Listing.value_or(AOptions.Listing.value_or(TnbDirListingStyle::lsUnix));

    // A log pipe whose reader has gone fails the write (EPIPE) instead of killing the server.
    signal(SIGPIPE, SIG_IGN);
    // The log goes through its own thread: a reader that does not keep up costs dropped lines,
    // never a server thread. Declared first, so it outlives the controller's last line.
    TnbLogSink log(STDOUT_FILENO, kMaxLogBacklog);
    const TWriteLog writeLog = [&log](const std::string& AText) { PostLogLines(log, AText); };
    TnbServerController controller(writeLog);
    controller.SetListingStyle(listing);
    std::string root = AOptions.RootDir.value_or(TnbServerController::DefaultRootDir());
    try {
        controller.SetMaxConnectionsPerMinute(config.MaxConnectionsPerMinute);
        TnbFtpServer& server = controller.Server();
        if (AOptions.TlsExtras.Tls13) {
            TnbTlsFlags flags = server.TLSFlags();
            flags.Include(TnbTlsFlag::tfUseTLS13);
            server.SetTLSFlags(flags);
        }
        server.SetTlsDataSessionReuse(AOptions.TlsExtras.DataSessionReuse);
        server.SetTlsStrictUploadEof(AOptions.TlsExtras.StrictUploadEof);
        if (configured) {
            ApplyReloadable(controller, config);
            controller.SetListenAddresses(config.Listen);
            root = ServerRoot(config);
        }
        if (!AOptions.Listen.empty())
            controller.SetListenAddresses(AOptions.Listen);
        controller.Start(mode, port, root);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
    if (!controller.CreatedRootDir().empty())
        writeLog("Root directory created: " + controller.CreatedRootDir());
    NotifyServiceReady();
    for (;;) {
        int received = 0;
        sigwait(&signals, &received);
        if (received != SIGHUP)
            break;
        Reload(controller, AOptions, writeLog);
    }
    NotifyServiceStopping();
    try {
        controller.Stop();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
    return 0;
}

int CheckConfigFile(const std::string& APath) {
    const TnbConfigResult result = LoadServerConfig(APath);
    for (const auto& problem : result.Problems)
        std::fprintf(stderr, "%s\n", FormatConfigProblem(APath, problem).c_str());
    if (!result.Ok())
        return 1;
    std::printf("%s: configuration is valid\n", APath.c_str());
    return 0;
}

int PrintPasswordHash() {
    std::string password;
    if (!std::getline(std::cin, password) || password.empty()) {
        std::fprintf(stderr, "No password on standard input\n");
        return 1;
    }
    try {
        std::printf("%s\n", HashPassword(password).c_str());
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
    return 0;
}

}  // namespace nb
