// The server program. It shows the window where there is a display; `--headless` (or no display)
// runs the server with its log on standard output until SIGINT or SIGTERM (see nbHeadless). Both
// front ends share the one controller.
#include <sys/resource.h>

#include <CLI/CLI.hpp>
#include <map>
#include <string>
#include <vector>

#include "app/nbHeadless.h"
#include "app/nbServerController.h"
#include "app/nbWindowFrontEnd.h"

namespace {

// Every session holds a descriptor (a transfer one or two more), and the usual soft limit of
// 1024 would turn clients away long before memory runs short. The hard limit is what the
// administrator allows; without the right to raise it the soft one stays as it was.
void RaiseDescriptorLimit() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        (void)::setrlimit(RLIMIT_NOFILE, &limit);
    }
}

}  // namespace

int main(int argc, char** argv) {
    RaiseDescriptorLimit();
    CLI::App app{"Norbit FTP Server SSL / TLS"};
    bool headless = false;
    std::string port = "990";
    std::string root = nb::TnbServerController::DefaultRootDir();
    nb::TnbServerTlsMode mode = nb::TnbServerTlsMode::stImplicit;
    const std::map<std::string, nb::TnbServerTlsMode> modes{
        {"none", nb::TnbServerTlsMode::stNone},
        {"implicit", nb::TnbServerTlsMode::stImplicit},
        {"allow-explicit", nb::TnbServerTlsMode::stExplicitAllow},
        {"require-explicit", nb::TnbServerTlsMode::stExplicitRequire}};
    app.add_flag("--headless", headless, "Run without a window, the log on standard output");
    // The port stays text: the server reports a text that is no integer itself.
    app.add_option("--port", port, "Listening port")->capture_default_str();
    app.add_option("--root", root, "Root directory of the FTP tree")->capture_default_str();
    app.add_option("--tls", mode, "TLS mode")
        ->transform(CLI::CheckedTransformer(modes, CLI::ignore_case))
        ->default_str("implicit");
    // Unix lines by default: the clients of a Linux server (wget, ncftp) read no other kind.
    nb::TnbDirListingStyle listing = nb::TnbDirListingStyle::lsUnix;
    const std::map<std::string, nb::TnbDirListingStyle> listings{
        {"unix", nb::TnbDirListingStyle::lsUnix}, {"msdos", nb::TnbDirListingStyle::lsMsDos}};
    app.add_option("--listing", listing, "LIST line style (and the SYST reply that goes with it)")
        ->transform(CLI::CheckedTransformer(listings, CLI::ignore_case))
        ->default_str("unix");
    int maxConnectionsPerMinute = 0;
    app.add_option("--max-connections-per-minute", maxConnectionsPerMinute,
                   "Connections one address may open per minute (0: no limit)")
        ->check(CLI::NonNegativeNumber)
        ->capture_default_str();
    std::string configPath;
    app.add_option("--config", configPath, "TOML configuration file (headless; SIGHUP re-reads it)")
        ->check(CLI::ExistingFile);
    std::string checkPath;
    app.add_option("--check-config", checkPath, "Check a configuration file and exit");
    bool hashPassword = false;
    app.add_flag("--hash-password", hashPassword,
                 "Read a password from standard input and print its yescrypt hash");
    nb::TnbHeadlessTlsOptions tls;
    app.add_flag("--tls13", tls.Tls13, "Offer TLS 1.3 besides TLS 1.0 to 1.2 (headless)");
    // As numbers: the enumeration's one-byte type would be shown as characters.
    const std::map<std::string, int> reuses{
        {"none", static_cast<int>(nb::TnbTlsDataSessionReuse::drNone)},
        {"allow", static_cast<int>(nb::TnbTlsDataSessionReuse::drAllow)},
        {"require", static_cast<int>(nb::TnbTlsDataSessionReuse::drRequire)}};
    int reuse = static_cast<int>(nb::TnbTlsDataSessionReuse::drAllow);
    app.add_option("--tls-data-session-reuse", reuse,
                   "Protected data connections may (allow), must (require) or never (none) "
                   "resume the control connection's TLS session (headless)")
        ->transform(CLI::CheckedTransformer(reuses, CLI::ignore_case))
        ->default_str("allow");
    app.add_flag("--tls-strict-upload-eof", tls.StrictUploadEof,
                 "Answer a protected upload that ends without close_notify with 426 (headless)");
    std::vector<std::string> listen;
    app.add_option("--listen", listen,
                   "Local address to listen on, repeatable (default 0.0.0.0; :: for IPv6 and "
                   "IPv4 alike)");
    CLI11_PARSE(app, argc, argv);
    tls.DataSessionReuse = static_cast<nb::TnbTlsDataSessionReuse>(reuse);

    if (hashPassword)
        return nb::PrintPasswordHash();
    if (app.count("--check-config"))
        return nb::CheckConfigFile(checkPath);
    if (!configPath.empty())
        headless = true;

    if (!headless && nb::WindowAvailable()) {
        nb::TnbWindowSettings settings;
        if (app.count("--port"))
            settings.Port = port;
        if (app.count("--root"))
            settings.RootDir = root;
        if (app.count("--tls"))
            settings.Mode = mode;
        return nb::RunWindow(argc, argv, settings);
    }
    nb::TnbHeadlessOptions options;
    options.ConfigPath = configPath;
    if (app.count("--port"))
        options.Port = port;
    if (app.count("--root"))
        options.RootDir = root;
    if (app.count("--tls"))
        options.Tls = mode;
    if (app.count("--listing"))
        options.Listing = listing;
    if (app.count("--max-connections-per-minute"))
        options.MaxConnectionsPerMinute = maxConnectionsPerMinute;
    options.TlsExtras = tls;
    options.Listen = listen;
    return nb::RunHeadless(options);
}
