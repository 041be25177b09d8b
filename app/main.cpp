// The server program. It shows the window where there is a display; `--headless` (or no display)
// runs the server with its log on standard output until SIGINT or SIGTERM. Both front ends share
// the one controller.
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cstdio>
#include <exception>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "app/nbLogSink.h"
#include "app/nbServerController.h"
#include "app/nbWindowFrontEnd.h"
#include "util/nbLimits.h"

namespace {

// Hands one log entry to the sink as lines.
void PostLogLines(nb::TnbLogSink& sink, const std::string& text) {
    std::string_view rest = text;
    for (;;) {
        const auto eol = rest.find("\r\n");
        sink.Post(std::string(rest.substr(0, eol)));
        if (eol == std::string_view::npos)
            break;
        rest.remove_prefix(eol + 2);
    }
}

// The TLS settings beyond the window's mode, for the headless program.
struct TTlsOptions {
    bool Tls13 = false;
    nb::TnbTlsDataSessionReuse DataSessionReuse = nb::TnbTlsDataSessionReuse::drAllow;
    bool StrictUploadEof = false;
};

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

int RunHeadless(nb::TnbServerTlsMode mode, const std::string& port, const std::string& root,
                int maxConnectionsPerMinute, nb::TnbDirListingStyle listing,
                const TTlsOptions& tls, const std::vector<std::string>& listen) {
    // Block the stop signals before any server thread exists, so every thread inherits the
    // mask and only sigwait below receives them.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    // A log pipe whose reader has gone fails the write (EPIPE) instead of killing the server.
    signal(SIGPIPE, SIG_IGN);
    // The log goes through its own thread: a reader that does not keep up costs dropped lines,
    // never a server thread. Declared first, so it outlives the controller's last line.
    nb::TnbLogSink log(STDOUT_FILENO, nb::kMaxLogBacklog);
    nb::TnbServerController controller(
        [&log](const std::string& AText) { PostLogLines(log, AText); });
    controller.SetMaxConnectionsPerMinute(maxConnectionsPerMinute);
    controller.SetListingStyle(listing);
    nb::TnbFtpServer& server = controller.Server();
    if (tls.Tls13) {
        nb::TnbTlsFlags flags = server.TLSFlags();
        flags.Include(nb::TnbTlsFlag::tfUseTLS13);
        server.SetTLSFlags(flags);
    }
    server.SetTlsDataSessionReuse(tls.DataSessionReuse);
    server.SetTlsStrictUploadEof(tls.StrictUploadEof);
    controller.SetListenAddresses(listen);
    try {
        controller.Start(mode, port, root);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
    if (!controller.CreatedRootDir().empty())
        PostLogLines(log, "Root directory created: " + controller.CreatedRootDir());
    int received = 0;
    sigwait(&stopSignals, &received);
    try {
        controller.Stop();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
    return 0;
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
    int maxConnectionsPerMinute = 0;
    app.add_option("--max-connections-per-minute", maxConnectionsPerMinute,
                   "Connections one address may open per minute (0: no limit)")
        ->check(CLI::NonNegativeNumber)
        ->capture_default_str();
    // Unix lines by default: the clients of a Linux server (wget, ncftp) read no other kind.
    nb::TnbDirListingStyle listing = nb::TnbDirListingStyle::lsUnix;
    const std::map<std::string, nb::TnbDirListingStyle> listings{
        {"unix", nb::TnbDirListingStyle::lsUnix}, {"msdos", nb::TnbDirListingStyle::lsMsDos}};
    app.add_option("--listing", listing, "LIST line style (and the SYST reply that goes with it)")
        ->transform(CLI::CheckedTransformer(listings, CLI::ignore_case))
        ->default_str("unix");
    TTlsOptions tls;
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
    return RunHeadless(mode, port, root, maxConnectionsPerMinute, listing, tls, listen);
}
