#include "app/nbTransferLog.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>

#include "util/nbFileStream.h"

namespace nb {

namespace {

// SECURITY: the fields are separated by blanks and the lines by newlines, so a client's file
// or user name with blanks or control characters would forge fields or lines; they become "_".
std::string Field(const std::string& AText) {
    if (AText.empty())
        return "_";
    std::string out = AText;
    for (char& ch : out) {
        const auto u = static_cast<unsigned char>(ch);
        if (u <= 0x20 || u == 0x7f)
            ch = '_';
    }
    return out;
}

}  // namespace

TnbTransferLog::~TnbTransferLog() {
    if (fd_ >= 0)
        ::close(fd_);
}

void TnbTransferLog::Open(const std::string& APath) {
    int fd = -1;
    if (!APath.empty()) {
        fd = ::open(APath.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0640);
        if (fd < 0)
            throw std::runtime_error("Transfer log '" + APath +
                                     "' cannot be opened: " + SystemErrorText(errno));
    }
    std::lock_guard lock(lock_);
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = fd;
}

bool TnbTransferLog::IsOpen() const {
    std::lock_guard lock(lock_);
    return fd_ >= 0;
}

void TnbTransferLog::Write(const TnbTransferRecord& ARecord) {
    const std::string line = FormatLine(ARecord, std::time(nullptr)) + "\n";
    std::lock_guard lock(lock_);
    if (fd_ >= 0) {
        const ssize_t written = ::write(fd_, line.data(), line.size());
        (void)written;  // see Write's note
    }
}

std::string TnbTransferLog::FormatLine(const TnbTransferRecord& ARecord, std::time_t ANow) {
    std::tm local{};
    ::localtime_r(&ANow, &local);
    char date[64];
    std::strftime(date, sizeof date, "%a %b %e %H:%M:%S %Y", &local);
    std::string line = date;
    line += " " + std::to_string(ARecord.Seconds);
    line += " " + Field(ARecord.Host);
    line += " " + std::to_string(ARecord.Bytes);
    line += " " + Field(ARecord.Path);
    line += ARecord.Binary ? " b" : " a";
    line += " _";
    line += ARecord.Incoming ? " i" : " o";
    line += ARecord.Anonymous ? " a" : " r";
    line += " " + Field(ARecord.User);
    line += " ftp 0 *";
    line += ARecord.Complete ? " c" : " i";
    return line;
}

}  // namespace nb
