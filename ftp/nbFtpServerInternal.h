// Helpers shared by the units of TnbFtpServer (the session core and its command groups):
// reply-text hygiene, address comparison, the transfer scope. Internal to the ftp library.
#pragma once

#include <cerrno>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>
#include <system_error>

#include "ftp/nbFtpServer.h"
#include "net/nbIpAddress.h"
#include "util/nbFileStream.h"
#include "util/nbLimits.h"
#include "util/nbUtils.h"

namespace nb::ftp_internal {

// Reply texts are one line: CR and LF from file names, event messages or exceptions become
// blanks, so nothing taken from outside can forge a reply line.
inline std::string OneLine(std::string_view text) {
    std::string result(text);
    for (char& ch : result) {
        if (ch == '\r' || ch == '\n')
            ch = ' ';
    }
    return result;
}

// SECURITY: client text as a reply repeats it: at most kMaxReplyEcho bytes.
inline std::string Echo(std::string_view text) {
    return ShortenText(text, kMaxReplyEcho);
}

inline std::string Trimmed(const std::string& text) {
    return std::string(Trim(text));
}

// "::ffff:1.2.3.4" -> "1.2.3.4": an IPv4 client may appear mapped on a dual-stack socket.
inline std::string UnmapAddress(const std::string& address) {
    if (address.size() > 7 && StartsTextAscii("::ffff:", address) &&
        address.find('.') != std::string::npos) {
        return address.substr(7);
    }
    return address;
}

inline bool SameAddress(const std::string& a, const std::string& b) {
    const std::string ua = UnmapAddress(a);
    const std::string ub = UnmapAddress(b);
    if (ua == ub)
        return true;
    // Numeric forms may differ in spelling (IPv6 zero compression, letter case).
    auto pa = TnbIPAddress::ParseIpAddress(ua);
    auto pb = TnbIPAddress::ParseIpAddress(ub);
    return pa && pb && SameTextAscii(pa->ToString(), pb->ToString());
}

// A decimal number from 0 to 2^63-1 without sign, or nothing.
inline bool ParseOffset(std::string_view text, std::int64_t& value) {
    if (text.empty())
        return false;
    constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
    std::int64_t result = 0;
    for (char ch : text) {
        if (ch < '0' || ch > '9')
            return false;
        const int digit = ch - '0';
        // SECURITY: checked before it happens, so a long number never wraps into a negative
        // or a small offset.
        if (result > (kMax - digit) / 10)
            return false;
        result = result * 10 + digit;
    }
    value = result;
    return true;
}

// What a lookup that found nothing reports when the file event gave no message.
inline const std::string kEntryNotFound = "The system cannot find the file specified.";

inline const char* const kTypeNames[] = {"ASCII", "BINARY"};
inline const char* const kFormNames[] = {"Print", "Nonprint"};
inline const char* const kStructureNames[] = {"File", "Record", "Page"};
inline const char* const kModeNames[] = {"BLOCK", "COMPRESSED", "STREAM", "DEFLATE"};

inline const std::string kTransferComplete = "Transfer complete";
inline const std::string kTransferAborted = "Transfer aborted";
inline const std::string kTransferAbortedReply = "426 Connection closed, transfer aborted.";
inline const std::string kAborReply = "226 ABOR command successful.";

// A transfer command from the moment it may wait on its client: ABOR sees the transfer, and
// the wait (opening the data connection, its TLS handshake, the copy) runs in a blocking
// section, so its worker counts against no other session. At the end, whatever way it leaves,
// the data connection served its one transfer and goes, and ABOR no longer sees a transfer.
class TTransferScope {
public:
    TTransferScope(TnbFtpServer& server, TnbFtpCommandConnection& connection)
        : connection_(connection), begun_(Begin(connection)), blocking_(server, connection) {}
    ~TTransferScope() { connection_.EndTransfer(); }
    TTransferScope(const TTransferScope&) = delete;
    TTransferScope& operator=(const TTransferScope&) = delete;

private:
    // Before the blocking section: an ABOR it lets through must find the transfer.
    static bool Begin(TnbFtpCommandConnection& connection) {
        connection.BeginTransfer();
        return true;
    }

    TnbFtpCommandConnection& connection_;
    bool begun_;
    TnbCommandBlockingSection blocking_;
};

// A new data connection, or 425 when the system has no descriptor left for its events: the
// client learns that no data connection is possible and the session goes on.
template <class TConnection>
std::unique_ptr<TConnection> NewDataConnection(const std::string& command) {
    try {
        return std::make_unique<TConnection>();
    } catch (const std::system_error&) {
        TnbFtpServer::RaiseCannotOpenDataConnection(command);
    }
}

// Closes a file stream to learn of late write failures (a full disk shows at close); other
// streams have nothing to report.
inline void CloseDestination(TnbStream& stream) {
    if (auto* file = dynamic_cast<TnbFileStream*>(&stream))
        file->Close();
}

// A write to an upload's file failed: a full disk is 452 and an exceeded quota or file size
// limit 552 (RFC 959), each with the system's text; anything else is 550.
[[noreturn]] inline void RaiseWriteError(const std::string& command, const std::string& name,
                                         const EnbFileError& error) {
    int code = 550;
    if (error.ErrorCode == ENOSPC)
        code = 452;
    else if (error.ErrorCode == EDQUOT || error.ErrorCode == EFBIG)
        code = 552;
    TnbFtpServer::RaiseFtpError(command, code, name + ": " + error.what());
}

}  // namespace nb::ftp_internal
