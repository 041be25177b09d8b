#include "util/nbFileStream.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <map>
#include <mutex>
#include <utility>

#include "util/nbLimits.h"

namespace nb {

namespace {

// Holds per file: a positive count of readers, or -1 for the one writer.
class TShareTable {
public:
    bool Acquire(std::uint64_t device, std::uint64_t inode, bool exclusive) {
        std::lock_guard lock(mutex_);
        int& holds = holds_[{device, inode}];
        if (exclusive) {
            if (holds != 0)
                return false;
            holds = -1;
        } else {
            if (holds < 0)
                return false;
            ++holds;
        }
        return true;
    }

    void Release(std::uint64_t device, std::uint64_t inode) noexcept {
        std::lock_guard lock(mutex_);
        const auto it = holds_.find({device, inode});
        if (it == holds_.end())
            return;
        if (it->second > 1) {
            --it->second;
        } else {
            holds_.erase(it);
        }
    }

private:
    std::mutex mutex_;
    std::map<std::pair<std::uint64_t, std::uint64_t>, int> holds_;
};

TShareTable& ShareTable() {
    static TShareTable table;
    return table;
}

int OpenFlags(TnbFileMode mode) {
    // Non-blocking so that opening a FIFO never waits for its other end; regular files ignore it.
    const int common = O_CLOEXEC | O_NONBLOCK;
    switch (mode) {
        case TnbFileMode::fmOpenRead:
            return common | O_RDONLY;
        case TnbFileMode::fmCreate:
        case TnbFileMode::fmOpenWrite:
            // Emptying waits until the exclusive hold is granted (see the constructor).
            return common | O_WRONLY | O_CREAT;
        case TnbFileMode::fmCreateNew:
        case TnbFileMode::fmReplace:
            return common | O_WRONLY | O_CREAT | O_EXCL;
    }
    return common | O_RDONLY;
}

// A name for the new file of a replacement: hidden (listings leave it out without "-a"), of
// fixed length (the target's name may already be as long as a name can be), unpredictable.
std::string ReplacementName() {
    unsigned char bytes[8] = {};
    if (::getrandom(bytes, sizeof bytes, 0) != static_cast<ssize_t>(sizeof bytes))
        throw EnbFileError(errno != 0 ? errno : EAGAIN);
    static const char kHex[] = "0123456789abcdef";
    std::string name = ".nbftp-";
    for (unsigned char b : bytes) {
        name += kHex[b >> 4];
        name += kHex[b & 15];
    }
    return name;
}

}  // namespace

void TnbFd::Reset() noexcept {
    if (fd_ >= 0) {
        ::close(fd_);  // never retried: Linux has released the descriptor even on EINTR
        fd_ = -1;
    }
}

std::string SystemErrorText(int errorCode) {
    char buffer[256];
    // The GNU strerror_r returns the text, which may or may not be the buffer.
    const char* text = strerror_r(errorCode, buffer, sizeof buffer);
    return text ? std::string(text) : std::string();
}

EnbFileError::EnbFileError(int errorCode)
    : std::runtime_error(SystemErrorText(errorCode)), ErrorCode(errorCode) {}

TnbFileStream::TnbFileStream(const std::string& path, TnbFileMode mode) : mode_(mode) {
    int fd;
    do {
        fd = ::open(path.c_str(), OpenFlags(mode), 0666);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0)
        throw EnbFileError(errno);
    Open(TnbFd(fd));
}

TnbFileStream::TnbFileStream(TnbFd fd, TnbFileMode mode) : mode_(mode) {
    Open(std::move(fd));
}

void TnbFileStream::Open(TnbFd fd) {
    fd_ = fd.Release();
    struct stat st {};
    if (::fstat(fd_, &st) != 0) {
        const int error = errno;
        Release();
        throw EnbFileError(error);
    }
    if (!S_ISREG(st.st_mode)) {
        Release();
        throw EnbFileError(S_ISDIR(st.st_mode) ? EISDIR : EPERM);
    }
    device_ = static_cast<std::uint64_t>(st.st_dev);
    inode_ = static_cast<std::uint64_t>(st.st_ino);
    if (!ShareTable().Acquire(device_, inode_, mode_ != TnbFileMode::fmOpenRead)) {
        Release();
        throw EnbFileError(EBUSY);
    }
    held_ = true;
    const off_t start = ::lseek(fd_, 0, SEEK_CUR);  // a descriptor the caller moved
    position_ = start > 0 ? static_cast<std::int64_t>(start) : 0;
    if (mode_ == TnbFileMode::fmCreate && st.st_size != 0 && ::ftruncate(fd_, 0) != 0) {
        const int error = errno;
        Release();
        throw EnbFileError(error);
    }
}

std::unique_ptr<TnbFileStream> TnbFileStream::Replacing(const TnbFd& dir, const std::string& name) {
    struct stat old {};
    const bool exists = ::fstatat(dir.Get(), name.c_str(), &old, AT_SYMLINK_NOFOLLOW) == 0;
    if (!exists && errno != ENOENT)
        throw EnbFileError(errno);
    if (exists) {
        if (!S_ISREG(old.st_mode))
            throw EnbFileError(S_ISDIR(old.st_mode) ? EISDIR : EPERM);
        // A file its writer could not overwrite in place is not replaced either.
        if (::faccessat(dir.Get(), name.c_str(), W_OK, AT_EACCESS | AT_SYMLINK_NOFOLLOW) != 0)
            throw EnbFileError(errno);
    }
    TnbFd ownDir(::fcntl(dir.Get(), F_DUPFD_CLOEXEC, 0));
    if (!ownDir)
        throw EnbFileError(errno);
    std::string tempName;
    TnbFd fd;
    for (int attempt = 0; attempt < kMaxReplacementNames && !fd; ++attempt) {
        tempName = ReplacementName();
        fd = TnbFd(::openat(ownDir.Get(), tempName.c_str(),
                            OpenFlags(TnbFileMode::fmReplace) | O_NOFOLLOW, 0666));
        if (!fd && errno != EEXIST)
            throw EnbFileError(errno);
    }
    if (!fd)
        throw EnbFileError(EEXIST);
    if (exists) {
        // The new content keeps the old file's permissions (and, where allowed, its owner).
        (void)::fchown(fd.Get(), old.st_uid, old.st_gid);
        (void)::fchmod(fd.Get(), old.st_mode & 07777);
    }
    std::unique_ptr<TnbFileStream> stream;
    try {
        stream.reset(new TnbFileStream(std::move(fd), TnbFileMode::fmReplace));
    } catch (...) {
        ::unlinkat(ownDir.Get(), tempName.c_str(), 0);
        throw;
    }
    stream->replaceDir_ = std::move(ownDir);
    stream->replaceName_ = name;
    stream->tempName_ = std::move(tempName);
    return stream;
}

TnbFileStream::~TnbFileStream() {
    if (tempName_.empty()) {
        try {
            Flush();  // what was written so far reaches the file, as unbuffered writes would
        } catch (const EnbFileError&) {
            // Destructors report nothing; writers learn of failures from Close.
        }
    }
    Release();  // an unfinished replacement goes; its target was never touched
}

void TnbFileStream::Release() noexcept {
    if (held_) {
        ShareTable().Release(device_, inode_);
        held_ = false;
    }
    if (fd_ >= 0) {
        // A close interrupted by a signal has still released the descriptor on Linux: never retry.
        ::close(fd_);
        fd_ = -1;
    }
    if (!tempName_.empty()) {
        ::unlinkat(replaceDir_.Get(), tempName_.c_str(), 0);
        tempName_.clear();
    }
}

void TnbFileStream::Close() {
    if (fd_ < 0)
        return;
    int error = 0;
    try {
        Flush();
    } catch (const EnbFileError& e) {
        error = e.ErrorCode;  // still release and close; report the first failure
    }
    if (held_) {
        ShareTable().Release(device_, inode_);
        held_ = false;
    }
    const int fd = std::exchange(fd_, -1);
    if (::close(fd) != 0 && errno != EINTR && error == 0)
        error = errno;
    // No fsync before the rename: it more than doubled the time of a small upload, and an
    // upload written in place was never synced either. What it protects against (a system crash
    // right after the rename) ext4 and btrfs cover for files replaced by rename.
    if (!tempName_.empty()) {
        if (error == 0 && ::renameat(replaceDir_.Get(), tempName_.c_str(), replaceDir_.Get(),
                                     replaceName_.c_str()) != 0) {
            error = errno;
        }
        if (error != 0)
            ::unlinkat(replaceDir_.Get(), tempName_.c_str(), 0);
        tempName_.clear();
        replaceDir_.Reset();
    }
    if (error != 0)
        throw EnbFileError(error);
}

void TnbFileStream::CheckOpen() const {
    if (fd_ < 0)
        throw EnbFileError(EBADF);
}

std::int64_t TnbFileStream::Read(void* buffer, std::int64_t count) {
    CheckOpen();
    Flush();
    if (count <= 0)
        return 0;
    for (;;) {
        const ssize_t n =
            ::pread(fd_, buffer, static_cast<std::size_t>(count), static_cast<off_t>(position_));
        if (n >= 0) {
            position_ += n;
            return n;
        }
        if (errno != EINTR)
            throw EnbFileError(errno);
    }
}

std::int64_t TnbFileStream::Write(const void* buffer, std::int64_t count) {
    CheckOpen();
    if (mode_ == TnbFileMode::fmOpenRead)
        throw EnbFileError(EBADF);  // as write(2) on a descriptor opened for reading
    if (count <= 0)
        return 0;
    const char* p = static_cast<const char*>(buffer);
    const auto n = static_cast<std::size_t>(count);
    if (pending_.size() + n > kWriteBufferSize)
        Flush();
    if (n >= kWriteBufferSize) {
        WriteAll(p, n);
    } else {
        pending_.reserve(kWriteBufferSize);
        pending_.insert(pending_.end(), p, p + n);
    }
    return count;
}

void TnbFileStream::Flush() {
    if (pending_.empty())
        return;
    // Emptied first: after a failure the bytes are lost either way, and a retry must not
    // write them twice.
    std::vector<char> bytes;
    bytes.swap(pending_);
    WriteAll(bytes.data(), bytes.size());
    bytes.clear();
    pending_.swap(bytes);  // keep the capacity for the next batches
}

void TnbFileStream::WriteFromPipe(int pipeFd, std::int64_t count) {
    CheckOpen();
    if (mode_ == TnbFileMode::fmOpenRead)
        throw EnbFileError(EBADF);
    Flush();  // collected bytes come first
    auto left = static_cast<std::size_t>(count);
    while (left > 0) {
        loff_t at = static_cast<loff_t>(position_);
        const ssize_t n = ::splice(pipeFd, nullptr, fd_, &at, left, SPLICE_F_MOVE);
        if (n > 0)
            position_ += n;
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno == EINVAL)
            break;  // a file system without splice: the copy below moves the rest
        if (n < 0)
            throw EnbFileError(errno);
        if (n == 0)
            throw EnbFileError(ENOSPC);
        left -= static_cast<std::size_t>(n);
    }
    char chunk[16 * 1024];
    while (left > 0) {
        const ssize_t n = ::read(pipeFd, chunk, std::min(left, sizeof chunk));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            throw EnbFileError(n < 0 ? errno : EIO);
        WriteAll(chunk, static_cast<std::size_t>(n));
        left -= static_cast<std::size_t>(n);
    }
}

void TnbFileStream::WriteAll(const char* p, std::size_t left) {
    while (left > 0) {
        const ssize_t n = ::pwrite(fd_, p, left, static_cast<off_t>(position_));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            throw EnbFileError(errno);
        }
        if (n == 0)
            throw EnbFileError(ENOSPC);
        position_ += n;
        p += n;
        left -= static_cast<std::size_t>(n);
    }
}

std::int64_t TnbFileStream::Seek(std::int64_t offset, TnbSeekOrigin origin) {
    CheckOpen();
    Flush();
    std::int64_t base = 0;
    if (origin == TnbSeekOrigin::soCurrent)
        base = position_;
    if (origin == TnbSeekOrigin::soEnd)
        base = GetSize();
    // As lseek: no position before the start (nor one that overflows).
    if ((offset < 0 && base + offset < 0) ||
        (offset > 0 && base > std::numeric_limits<std::int64_t>::max() - offset))
        throw EnbFileError(EINVAL);
    position_ = base + offset;
    return position_;
}

std::int64_t TnbFileStream::GetSize() {
    CheckOpen();
    Flush();
    struct stat st {};
    if (::fstat(fd_, &st) != 0)
        throw EnbFileError(errno);
    return static_cast<std::int64_t>(st.st_size);
}

void TnbFileStream::SetSize(std::int64_t size) {
    CheckOpen();
    Flush();
    if (size < 0)
        throw EnbFileError(EINVAL);
    int rc;
    do {
        rc = ::ftruncate(fd_, static_cast<off_t>(size));
    } while (rc != 0 && errno == EINTR);
    if (rc != 0)
        throw EnbFileError(errno);
}

}  // namespace nb
