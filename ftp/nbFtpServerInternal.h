// Helpers shared by the units of TnbFtpServer (the session core and its command groups):
// reply-text hygiene, address comparison, the transfer scope. Internal to the ftp library.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

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

// A decimal number of 0 or more without sign, or nothing.
inline bool ParseOffset(std::string_view text, std::int64_t& value) {
    if (text.empty() || text.size() > 19)
        return false;
    std::int64_t result = 0;
    for (char ch : text) {
        if (ch < '0' || ch > '9')
            return false;
        result = result * 10 + (ch - '0');
    }
    value = result;
    return true;
}

inline const char* const kTypeNames[] = {"ASCII", "BINARY"};
inline const char* const kFormNames[] = {"Print", "Nonprint"};
inline const char* const kStructureNames[] = {"File", "Record", "Page"};
inline const char* const kModeNames[] = {"BLOCK", "COMPRESSED", "STREAM", "DEFLATE"};

inline const std::string kTransferComplete = "Transfer complete";
inline const std::string kTransferAborted = "Transfer aborted";
inline const std::string kTransferAbortedReply = "426 Connection closed, transfer aborted.";

// The end of a transfer command, whatever way it leaves: the data connection served its one
// transfer and goes, and ABOR no longer sees a transfer.
class TTransferScope {
public:
    explicit TTransferScope(TnbFtpCommandConnection& connection) : connection_(connection) {
        connection_.BeginTransfer();
    }
    ~TTransferScope() { connection_.EndTransfer(); }
    TTransferScope(const TTransferScope&) = delete;
    TTransferScope& operator=(const TTransferScope&) = delete;

private:
    TnbFtpCommandConnection& connection_;
};

// Closes a file stream to learn of late write failures (a full disk shows at close); other
// streams have nothing to report.
inline void CloseDestination(TnbStream& stream) {
    if (auto* file = dynamic_cast<TnbFileStream*>(&stream))
        file->Close();
}

}  // namespace nb::ftp_internal
