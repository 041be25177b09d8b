// The headless program: the server with its log on standard output, run until SIGINT or
// SIGTERM, optionally from a configuration file (re-read on SIGHUP) and under systemd.
//
// Threads: everything here runs on the program's main thread; the server's threads inherit a
// mask that leaves the signals to that thread.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "ftp/nbFtpFileInfo.h"
#include "ftp/nbFtpServer.h"
#include "tls/nbTcpServerTls.h"

namespace nb {

// The TLS options of the command line beyond the mode (without a configuration file).
struct TnbHeadlessTlsOptions {
    bool Tls13 = false;
    TnbTlsDataSessionReuse DataSessionReuse = TnbTlsDataSessionReuse::drAllow;
    bool StrictUploadEof = false;
};

// What the command line says. The optional fields are those given explicitly: they override
// the configuration file.
struct TnbHeadlessOptions {
    std::string ConfigPath;  // empty: no file, the preset account as always
    std::optional<std::string> Port;
    std::optional<std::string> RootDir;
    std::optional<TnbServerTlsMode> Tls;
    std::optional<TnbDirListingStyle> Listing;
    std::optional<int> MaxConnectionsPerMinute;
    TnbHeadlessTlsOptions TlsExtras;
    std::vector<std::string> Listen;  // --listen, repeatable; replaces the file's addresses
};

int RunHeadless(const TnbHeadlessOptions& AOptions);

// --check-config: 0 when the file is fine, otherwise each problem on standard error and 1.
int CheckConfigFile(const std::string& APath);

// --hash-password: reads one password line from standard input, prints its yescrypt hash.
int PrintPasswordHash();

}  // namespace nb
