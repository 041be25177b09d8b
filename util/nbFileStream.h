// A stream on a local file, and the in-process sharing rules that keep downloads and uploads of
// the same file apart.
// Sharing: every open file is held in a process-wide table keyed by device and inode. Readers
// hold it shared, writers exclusively; an open that conflicts fails with EBUSY ("Device or
// resource busy"), so an upload never truncates a file that is being downloaded and a download
// never reads a half-written upload. Other processes are not bound by the table.
// Replacement: a stream made by Replacing writes a new file beside its target and puts it in the
// target's place only when Close succeeds; until then (and for ever, when the upload fails) the
// old file stays as it was, and a failed replacement leaves nothing behind.
// Thread notes: a stream is used by one thread at a time; the sharing table is thread-safe.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "util/nbStream.h"

namespace nb {

// A failed file operation. The message is the system's text for ErrorCode (an errno value),
// never a path: it goes into replies that peers read.
class EnbFileError : public std::runtime_error {
public:
    explicit EnbFileError(int errorCode);
    int ErrorCode;
};

// The system's text for an errno value ("No such file or directory").
std::string SystemErrorText(int errorCode);

// Owns one descriptor (-1 for none).
class TnbFd {
public:
    TnbFd() = default;
    explicit TnbFd(int fd) : fd_(fd) {}
    ~TnbFd() { Reset(); }
    TnbFd(TnbFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    TnbFd& operator=(TnbFd&& other) noexcept {
        if (this != &other) {
            Reset();
            fd_ = std::exchange(other.fd_, -1);
        }
        return *this;
    }
    explicit operator bool() const { return fd_ >= 0; }
    int Get() const { return fd_; }
    int Release() { return std::exchange(fd_, -1); }
    void Reset() noexcept;

private:
    int fd_ = -1;
};

enum class TnbFileMode {
    fmOpenRead,   // read an existing regular file; held shared
    fmCreate,     // write, creating the file or emptying an existing one; held exclusively
    fmOpenWrite,  // write at the start, creating the file if missing, never emptying it
    fmCreateNew,  // write a file that must not exist yet (fails with EEXIST); held exclusively
    fmReplace,    // write a new file that takes the target's place at Close (see Replacing)
};

class TnbFileStream : public TnbStream {
public:
    // Opens path. Only regular files are opened: a directory fails with EISDIR, any other kind
    // (FIFO, device, socket) with EPERM; a FIFO never blocks the caller. Raises EnbFileError.
    TnbFileStream(const std::string& path, TnbFileMode mode);
    // The same checks on a descriptor the caller opened (with the flags mode stands for).
    TnbFileStream(TnbFd fd, TnbFileMode mode);
    // A stream that replaces the entry name of the directory dir: it writes a new hidden file in
    // dir, which Close renames over name (with the old file's permission bits). Destroyed
    // without a successful Close, it removes that file and the old one stays untouched.
    // Raises EnbFileError (EISDIR when name is a directory, EPERM for other non-files).
    static std::unique_ptr<TnbFileStream> Replacing(const TnbFd& dir, const std::string& name);
    // Closes without reporting errors; writers should call Close to learn of late failures.
    ~TnbFileStream() override;

    std::int64_t Read(void* buffer, std::int64_t count) override;
    // Writes everything or raises (a full disk is an error, never a short count). Small writes
    // are collected; their failure may surface at a later call or at Close.
    std::int64_t Write(const void* buffer, std::int64_t count) override;
    std::int64_t Seek(std::int64_t offset, TnbSeekOrigin origin) override;
    std::int64_t GetSize() override;
    void SetSize(std::int64_t size) override;

    // Releases the sharing hold and closes the file; raises EnbFileError when the close fails
    // (data written may be lost). A replacing stream then takes the target's place; if any of
    // that fails, the new file is removed and the target keeps its old content. Later calls do
    // nothing.
    void Close();
    bool IsOpen() const { return fd_ >= 0; }
    // The descriptor, for calls that move the file's bytes without reading them (-1 when
    // closed), at an offset of their own: its file offset is not the stream's position. It
    // stays owned by the stream. Buffered writes are not in the file yet, so it serves read
    // streams.
    int Handle() const { return fd_; }
    // Writes exactly count bytes waiting in the pipe pipeFd at the position, moving them from
    // the pipe without copying them through user memory where the file system can; raises
    // EnbFileError as Write does (the bytes are then lost, as after a failed Write).
    void WriteFromPipe(int pipeFd, std::int64_t count);
    TnbFileMode Mode() const { return mode_; }

private:
    // Uploads arrive in network batches of a few KiB; collecting them into larger writes saves
    // a system call per batch. Every other operation flushes first.
    static constexpr std::size_t kWriteBufferSize = 256 * 1024;

    void Open(TnbFd fd);
    void Release() noexcept;
    void Commit();
    void CheckOpen() const;
    void Flush();
    void WriteAll(const char* p, std::size_t left);

    int fd_ = -1;
    TnbFileMode mode_;
    // The stream's own position: reads and writes go there with pread and pwrite, so finding
    // or moving it costs no system call (a transfer asked for it several times per batch).
    // The descriptor's offset is not used.
    std::int64_t position_ = 0;
    std::vector<char> pending_;  // written, not yet handed to the system
    bool held_ = false;
    std::uint64_t device_ = 0;
    std::uint64_t inode_ = 0;
    // Replacement only: the target's directory, the target's and the new file's names.
    TnbFd replaceDir_;
    std::string replaceName_;
    std::string tempName_;
};

}  // namespace nb
