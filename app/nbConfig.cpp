#include "app/nbConfig.h"

#include <arpa/inet.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <map>
#include <toml++/toml.h>

#include "app/nbAccountStore.h"
#include "app/nbCertificateFiles.h"
#include "app/nbServerController.h"
#include "util/nbFileStream.h"

namespace nb {

namespace {

using TPermission = TnbFtpServerPermission;

const std::map<std::string, TnbServerTlsMode, std::less<>> kTlsModes{
    {"none", TnbServerTlsMode::stNone},
    {"implicit", TnbServerTlsMode::stImplicit},
    {"allow-explicit", TnbServerTlsMode::stExplicitAllow},
    {"require-explicit", TnbServerTlsMode::stExplicitRequire}};

const std::map<std::string, TPermission, std::less<>> kPermissions{
    {"all", TPermission::spAll},          {"mkdir", TPermission::spMakeDir},
    {"rmdir", TPermission::spRemoveDir},  {"chdir", TPermission::spChangeDir},
    {"download", TPermission::spDownload}, {"upload", TPermission::spUpload},
    {"rename", TPermission::spRename},    {"delete", TPermission::spDelete}};

const std::vector<std::string_view> kServerKeys{
    "port",         "listen",          "root",          "tls",
    "tls_protocols", "certificate",    "private_key",   "data_session_reuse",
    "listing",      "passive_ports",   "passive_address", "max_connections_per_minute",
    "idle_timeout", "login_timeout",   "allow_anonymous", "anonymous_root",
    "transfer_log"};
const std::vector<std::string_view> kAccountKeys{"name", "password", "root", "permissions",
                                                 "rate"};

// Walks one parsed file and collects its problems; each reader leaves the target unchanged
// when the key is missing or wrong.
class TChecker {
public:
    explicit TChecker(std::vector<TnbConfigProblem>& AProblems) : problems_(AProblems) {}

    void Problem(const toml::source_region& APlace, std::string AMessage) {
        problems_.push_back({static_cast<int>(APlace.begin.line),
                             static_cast<int>(APlace.begin.column), std::move(AMessage)});
    }

    void CheckKeys(const toml::table& ATable, const std::string& AName,
                   const std::vector<std::string_view>& AKnown) {
        for (const auto& [key, node] : ATable) {
            bool known = false;
            for (auto k : AKnown)
                known = known || key.str() == k;
            if (!known)
                Problem(key.source(), "unknown key '" + (AName.empty() ? "" : AName + ".") +
                                          std::string(key.str()) + "'");
        }
    }

    const toml::node* Node(const toml::table& ATable, std::string_view AKey) {
        return ATable.get(AKey);
    }

    bool String(const toml::table& ATable, const std::string& AName, std::string_view AKey,
                std::string& AOut) {
        const toml::node* node = Node(ATable, AKey);
        if (!node)
            return false;
        if (!node->is_string()) {
            Problem(node->source(), Quote(AName, AKey) + " must be a string");
            return false;
        }
        AOut = *node->value<std::string>();
        return true;
    }

    bool Integer(const toml::table& ATable, const std::string& AName, std::string_view AKey,
                 std::int64_t ALow, std::int64_t AHigh, std::int32_t& AOut) {
        const toml::node* node = Node(ATable, AKey);
        if (!node)
            return false;
        if (!node->is_integer()) {
            Problem(node->source(), Quote(AName, AKey) + " must be an integer");
            return false;
        }
        const std::int64_t value = *node->value<std::int64_t>();
        if (value < ALow || value > AHigh) {
            Problem(node->source(), Quote(AName, AKey) + " must be from " + std::to_string(ALow) +
                                        " to " + std::to_string(AHigh));
            return false;
        }
        AOut = static_cast<std::int32_t>(value);
        return true;
    }

    bool Boolean(const toml::table& ATable, const std::string& AName, std::string_view AKey,
                 bool& AOut) {
        const toml::node* node = Node(ATable, AKey);
        if (!node)
            return false;
        if (!node->is_boolean()) {
            Problem(node->source(), Quote(AName, AKey) + " must be true or false");
            return false;
        }
        AOut = *node->value<bool>();
        return true;
    }

    bool StringArray(const toml::table& ATable, const std::string& AName, std::string_view AKey,
                     std::vector<std::string>& AOut) {
        const toml::node* node = Node(ATable, AKey);
        if (!node)
            return false;
        const toml::array* array = node->as_array();
        bool ok = array != nullptr;
        std::vector<std::string> values;
        for (std::size_t i = 0; ok && i < array->size(); ++i) {
            ok = (*array)[i].is_string();
            if (ok)
                values.push_back(*(*array)[i].value<std::string>());
        }
        if (!ok) {
            Problem(node->source(), Quote(AName, AKey) + " must be an array of strings");
            return false;
        }
        AOut = std::move(values);
        return true;
    }

    // A directory the server can enter and list.
    void Directory(const toml::table& ATable, const std::string& AName, std::string_view AKey,
                   const std::string& APath) {
        struct stat st {};
        std::string problem;
        if (::stat(APath.c_str(), &st) != 0)
            problem = "cannot be used: " + SystemErrorText(errno);
        else if (!S_ISDIR(st.st_mode))
            problem = "is not a directory";
        else if (::access(APath.c_str(), R_OK | X_OK) != 0)
            problem = "cannot be read: " + SystemErrorText(errno);
        if (!problem.empty())
            Problem(Node(ATable, AKey)->source(),
                    Quote(AName, AKey) + " '" + APath + "' " + problem);
    }

    std::size_t Count() const { return problems_.size(); }

    static std::string Quote(const std::string& AName, std::string_view AKey) {
        return "'" + AName + "." + std::string(AKey) + "'";
    }

private:
    std::vector<TnbConfigProblem>& problems_;
};

void ReadServer(TChecker& ACheck, const toml::table& ATable, TnbServerConfig& AConfig) {
    const std::string name = "server";
    ACheck.CheckKeys(ATable, name, kServerKeys);
    std::int32_t port = 0;
    if (ACheck.Integer(ATable, name, "port", 1, 65535, port))
        AConfig.Port = port;

    std::vector<std::string> listen;
    if (ACheck.StringArray(ATable, name, "listen", listen)) {
        const auto& place = ACheck.Node(ATable, "listen")->source();
        for (const auto& address : listen) {
            unsigned char buffer[16];
            if (::inet_pton(AF_INET, address.c_str(), buffer) != 1 &&
                ::inet_pton(AF_INET6, address.c_str(), buffer) != 1)
                ACheck.Problem(place, "'server.listen': '" + address + "' is no IP address");
        }
        AConfig.Listen = listen;
    }

    std::string text;
    if (ACheck.String(ATable, name, "root", text)) {
        ACheck.Directory(ATable, name, "root", text);
        AConfig.RootDir = text;
    }
    if (ACheck.String(ATable, name, "tls", text)) {
        const auto mode = kTlsModes.find(text);
        if (mode == kTlsModes.end())
            ACheck.Problem(ACheck.Node(ATable, "tls")->source(),
                           "'server.tls' must be none, implicit, allow-explicit or "
                           "require-explicit");
        else
            AConfig.Tls = mode->second;
    }
    std::vector<std::string> protocols;
    if (ACheck.StringArray(ATable, name, "tls_protocols", protocols)) {
        bool ok = !protocols.empty();
        for (const auto& p : protocols)
            ok = ok && (p == "1.2" || p == "1.3");
        // SECURITY: TLS 1.0 and 1.1 are broken; the server does not offer them at all.
        if (!ok)
            ACheck.Problem(ACheck.Node(ATable, "tls_protocols")->source(),
                           "'server.tls_protocols' must list \"1.2\" and/or \"1.3\"");
        else
            AConfig.TlsProtocols = protocols;
    }
    ACheck.String(ATable, name, "certificate", AConfig.Certificate);
    ACheck.String(ATable, name, "private_key", AConfig.PrivateKey);
    if (ACheck.String(ATable, name, "data_session_reuse", text)) {
        if (text != "none" && text != "allow" && text != "require")
            ACheck.Problem(ACheck.Node(ATable, "data_session_reuse")->source(),
                           "'server.data_session_reuse' must be none, allow or require");
        else
            AConfig.DataSessionReuse = text;
    }
    if (ACheck.String(ATable, name, "listing", text)) {
        if (text == "unix")
            AConfig.Listing = TnbDirListingStyle::lsUnix;
        else if (text == "msdos")
            AConfig.Listing = TnbDirListingStyle::lsMsDos;
        else
            ACheck.Problem(ACheck.Node(ATable, "listing")->source(),
                           "'server.listing' must be unix or msdos");
    }
    if (ACheck.String(ATable, name, "passive_ports", text) &&
        !ParsePortRange(text, AConfig.PassivePortBegin, AConfig.PassivePortEnd))
        ACheck.Problem(ACheck.Node(ATable, "passive_ports")->source(),
                       "'server.passive_ports' must be a range FIRST-LAST with "
                       "1 <= FIRST <= LAST <= 65535");
    if (ACheck.String(ATable, name, "passive_address", text)) {
        unsigned char buffer[4];
        // PASV announces an IPv4 address.
        if (::inet_pton(AF_INET, text.c_str(), buffer) != 1)
            ACheck.Problem(ACheck.Node(ATable, "passive_address")->source(),
                           "'server.passive_address' must be an IPv4 address");
        else
            AConfig.PassiveAddress = text;
    }
    ACheck.Integer(ATable, name, "max_connections_per_minute", 0, INT_MAX,
                   AConfig.MaxConnectionsPerMinute);
    std::int32_t idle = 0;
    // The server's idle check runs every few seconds; below 5 it would not keep its word.
    if (ACheck.Integer(ATable, name, "idle_timeout", 0, INT_MAX / 1000, idle)) {
        if (idle > 0 && idle < 5)
            ACheck.Problem(ACheck.Node(ATable, "idle_timeout")->source(),
                           "'server.idle_timeout' must be 0 (never) or at least 5 seconds");
        else
            AConfig.IdleTimeout = idle;
    }
    ACheck.Integer(ATable, name, "login_timeout", 0, INT_MAX / 1000, AConfig.LoginTimeout);
    ACheck.Boolean(ATable, name, "allow_anonymous", AConfig.AllowAnonymous);
    if (ACheck.String(ATable, name, "anonymous_root", AConfig.AnonymousRoot))
        ACheck.Directory(ATable, name, "anonymous_root", AConfig.AnonymousRoot);
    if (ACheck.String(ATable, name, "transfer_log", AConfig.TransferLog) &&
        AConfig.TransferLog.empty())
        ACheck.Problem(ACheck.Node(ATable, "transfer_log")->source(),
                       "'server.transfer_log' must name a file");
}

// The private key must be the operator's secret: a key that group or others can read is one
// that somebody else may already have.
void CheckKeyFiles(TChecker& ACheck, const toml::table& AServer, const TnbServerConfig& AConfig) {
    const std::size_t before = ACheck.Count();
    const toml::node* cert = AServer.get("certificate");
    const toml::node* key = AServer.get("private_key");
    if (cert && !AConfig.Certificate.empty() && ::access(AConfig.Certificate.c_str(), R_OK) != 0)
        ACheck.Problem(cert->source(), "'server.certificate' '" + AConfig.Certificate +
                                           "' cannot be read: " + SystemErrorText(errno));
    if (key && !AConfig.PrivateKey.empty()) {
        struct stat st {};
        if (::stat(AConfig.PrivateKey.c_str(), &st) != 0 ||
            ::access(AConfig.PrivateKey.c_str(), R_OK) != 0)
            ACheck.Problem(key->source(), "'server.private_key' '" + AConfig.PrivateKey +
                                              "' cannot be read: " + SystemErrorText(errno));
        // SECURITY: refuse a key that others may read.
        else if ((st.st_mode & (S_IRGRP | S_IROTH)) != 0)
            ACheck.Problem(key->source(), "'server.private_key' '" + AConfig.PrivateKey +
                                              "' must not be readable by group or others "
                                              "(chmod 600)");
    }
    if (AConfig.Certificate.empty() != AConfig.PrivateKey.empty())
        ACheck.Problem((cert ? cert : key)->source(),
                       "'server.certificate' and 'server.private_key' go together");
    // Both files are there: the check is that they load and belong together.
    if (ACheck.Count() == before && !AConfig.Certificate.empty()) {
        try {
            LoadCertificateFiles(AConfig.Certificate, AConfig.PrivateKey);
        } catch (const std::exception& e) {
            ACheck.Problem(cert->source(), std::string("'server.certificate': ") + e.what());
        }
    }
}

void ReadAccount(TChecker& ACheck, const toml::table& ATable, TnbServerConfig& AConfig) {
    const std::string name = "account";
    ACheck.CheckKeys(ATable, name, kAccountKeys);
    TnbConfigAccount account;
    if (!ACheck.String(ATable, name, "name", account.Name) || account.Name.empty())
        ACheck.Problem(ATable.source(), "an [[account]] needs a non-empty 'name'");
    for (const auto& other : AConfig.Accounts) {
        if (!account.Name.empty() && other.Name == account.Name)
            ACheck.Problem(ATable.get("name")->source(),
                           "account '" + account.Name + "' is given twice");
    }
    if (!ACheck.String(ATable, name, "password", account.PasswordHash)) {
        if (!ATable.get("password"))
            ACheck.Problem(ATable.source(), "account '" + account.Name + "' needs a 'password'");
    } else if (!IsPasswordHash(account.PasswordHash)) {
        // SECURITY: the file holds hashes only, so a leaked file leaks no password; the text is
        // never repeated here.
        ACheck.Problem(ATable.get("password")->source(),
                       "the password of account '" + account.Name +
                           "' is no yescrypt, sha512-crypt or bcrypt hash (plain text is "
                           "refused; make a hash with --hash-password)");
    }
    if (ACheck.String(ATable, name, "root", account.RootDir))
        ACheck.Directory(ATable, name, "root", account.RootDir);
    std::vector<std::string> permissions;
    if (ACheck.StringArray(ATable, name, "permissions", permissions)) {
        TnbFtpServerPermissions set;
        for (const auto& p : permissions) {
            const auto found = kPermissions.find(p);
            if (found == kPermissions.end())
                ACheck.Problem(ATable.get("permissions")->source(),
                               "unknown permission '" + p +
                                   "' (all, mkdir, rmdir, chdir, download, upload, rename, "
                                   "delete)");
            else
                set.Include(found->second);
        }
        // "all" grants everything, whatever else the list names.
        account.Permissions =
            set.Contains(TPermission::spAll) ? TnbFtpServerPermissions{TPermission::spAll} : set;
    }
    ACheck.Integer(ATable, name, "rate", 0, INT_MAX, account.BitsPerSec);
    AConfig.Accounts.push_back(std::move(account));
}

}  // namespace

bool ParsePortRange(const std::string& AText, std::int32_t& ABegin, std::int32_t& AEnd) {
    const auto dash = AText.find('-');
    if (dash == std::string::npos)
        return false;
    try {
        const int begin = StrToInt(AText.substr(0, dash));
        const int end = StrToInt(AText.substr(dash + 1));
        if (begin < 1 || begin > end || end > 65535)
            return false;
        ABegin = begin;
        AEnd = end;
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

TnbConfigResult LoadServerConfig(const std::string& APath) {
    TnbConfigResult result;
    TChecker check(result.Problems);
    toml::table file;
    try {
        file = toml::parse_file(APath);
    } catch (const toml::parse_error& e) {
        check.Problem(e.source(), std::string(e.description()));
        return result;
    }
    check.CheckKeys(file, "", {"server", "account"});
    if (const toml::node* server = file.get("server")) {
        if (const toml::table* table = server->as_table()) {
            ReadServer(check, *table, result.Config);
            CheckKeyFiles(check, *table, result.Config);
        } else {
            check.Problem(server->source(), "'server' must be a table ([server])");
        }
    }
    if (const toml::node* accounts = file.get("account")) {
        const toml::array* array = accounts->as_array();
        if (!array || !array->is_array_of_tables()) {
            check.Problem(accounts->source(), "'account' must be tables ([[account]])");
        } else {
            for (const auto& node : *array)
                ReadAccount(check, *node.as_table(), result.Config);
        }
    }
    // In the file's order, as an operator reads it.
    std::stable_sort(result.Problems.begin(), result.Problems.end(),
                     [](const TnbConfigProblem& a, const TnbConfigProblem& b) {
                         return a.Line != b.Line ? a.Line < b.Line : a.Column < b.Column;
                     });
    return result;
}

std::string FormatConfigProblem(const std::string& APath, const TnbConfigProblem& AProblem) {
    if (AProblem.Line <= 0)
        return APath + ": " + AProblem.Message;
    return APath + ":" + std::to_string(AProblem.Line) + ":" + std::to_string(AProblem.Column) +
           ": " + AProblem.Message;
}

}  // namespace nb
