// The headless program's configuration file (TOML): what it may hold, how it is read, and the
// check that refuses a file the server could not run with. The check reports every problem it
// finds with its line and column, so an operator mends a file in one pass.
//
// Threads: none of its own; a loaded TnbServerConfig is a plain value that the caller owns.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "ftp/nbFtpFileInfo.h"
#include "ftp/nbFtpServer.h"
#include "tls/nbTcpServerTls.h"

namespace nb {

// One [[account]] table. PasswordHash is a crypt(3) hash; RootDir empty means the server's root.
struct TnbConfigAccount {
    std::string Name;
    std::string PasswordHash;
    std::string RootDir;
    TnbFtpServerPermissions Permissions{TnbFtpServerPermission::spAll};
    std::int32_t BitsPerSec = 0;
};

// The [server] table and the accounts. Keys missing from the file keep these values; the
// optional ones are those the command line may give instead (the command line wins).
struct TnbServerConfig {
    std::optional<std::int32_t> Port;
    std::vector<std::string> Listen;  // local addresses; empty = all of IPv4
    std::optional<std::string> RootDir;
    std::optional<TnbServerTlsMode> Tls;
    std::vector<std::string> TlsProtocols{"1.2"};
    std::string Certificate;
    std::string PrivateKey;
    std::string DataSessionReuse = "allow";
    std::optional<TnbDirListingStyle> Listing;
    std::int32_t PassivePortBegin = 0;  // 0 and 0: any port
    std::int32_t PassivePortEnd = 0;
    std::string PassiveAddress;
    std::int32_t MaxConnectionsPerMinute = 0;
    std::int32_t IdleTimeout = 600;  // seconds, 0 = never
    std::int32_t LoginTimeout = 60;  // seconds, 0 = never
    bool AllowAnonymous = false;
    std::string AnonymousRoot;  // empty = the server's root
    std::string TransferLog;    // empty = none
    std::vector<TnbConfigAccount> Accounts;
};

// One problem of a file; Line and Column count from 1 (0 when the problem has no place).
struct TnbConfigProblem {
    int Line = 0;
    int Column = 0;
    std::string Message;
};

struct TnbConfigResult {
    TnbServerConfig Config;
    std::vector<TnbConfigProblem> Problems;
    bool Ok() const { return Problems.empty(); }
};

// Reads and checks the file. A file that cannot be read or parsed gives one problem (the
// parser's, with its place); otherwise every key is checked: unknown keys, wrong types, values
// out of range, plain-text passwords, roots that are no directory, an empty or inverted passive
// range, a private key that group or others may read.
TnbConfigResult LoadServerConfig(const std::string& APath);

// "FILE:LINE:COLUMN: message" (the place left out when there is none).
std::string FormatConfigProblem(const std::string& APath, const TnbConfigProblem& AProblem);

// "50000-50100" as two ports; false unless 1 <= begin <= end <= 65535.
bool ParsePortRange(const std::string& AText, std::int32_t& ABegin, std::int32_t& AEnd);

}  // namespace nb
