// The transfer log: one line per finished or failed transfer in the xferlog format that log
// analysers read (the format of wu-ftpd and vsftpd):
//   DATE DURATION HOST BYTES PATH TYPE _ DIRECTION ACCESS USER ftp 0 * STATUS
//
// Threads: Write is called from the workers that run transfers, Open from the front end's
// thread (start, reload); the lock serialises them. Ownership: owns the open file.
#pragma once

#include <ctime>
#include <cstdint>
#include <mutex>
#include <string>

namespace nb {

struct TnbTransferRecord {
    std::int64_t Seconds = 0;  // how long the transfer took, rounded
    std::string Host;          // the client's address
    std::int64_t Bytes = 0;
    std::string Path;          // the file's local path
    bool Binary = true;
    bool Incoming = false;  // an upload
    bool Anonymous = false;
    std::string User;
    bool Complete = true;
};

class TnbTransferLog {
public:
    TnbTransferLog() = default;
    ~TnbTransferLog();
    TnbTransferLog(const TnbTransferLog&) = delete;
    TnbTransferLog& operator=(const TnbTransferLog&) = delete;

    // Opens APath for appending (created 0640 when missing) in place of the file open so far;
    // an empty path closes it. Raises std::runtime_error with the system's reason, keeping the
    // file open so far. Reopening the same path after a log rotation starts the new file.
    void Open(const std::string& APath);
    bool IsOpen() const;
    // Appends the record's line with one write (lines of parallel transfers never interleave).
    // A failed write is dropped: the transfer it describes has happened anyway.
    void Write(const TnbTransferRecord& ARecord);

    // The line without its newline, dated ANow in local time.
    static std::string FormatLine(const TnbTransferRecord& ARecord, std::time_t ANow);

private:
    mutable std::mutex lock_;
    int fd_ = -1;  // guarded by lock_
};

}  // namespace nb
