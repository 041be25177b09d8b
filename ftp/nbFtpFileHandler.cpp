#include "ftp/nbFtpFileHandler.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <exception>

#include "ftp/nbFtpServer.h"
#include "util/nbFileStream.h"

namespace nb {

namespace {

// The byte starts a UTF-8 character (it is not a continuation byte).
bool IsCharStart(char c) {
    return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
}

// The length of the character at position i (at least 1), so "?" matches a whole UTF-8 character.
std::size_t CharLength(std::string_view s, std::size_t i) {
    std::size_t n = 1;
    while (i + n < s.size() && !IsCharStart(s[i + n]))
        ++n;
    return n;
}

bool HasWildcard(std::string_view mask) {
    return mask.find_first_of("*?") != std::string_view::npos;
}

// Names with CR or LF would break the listing's line framing and the reply lines.
bool IsListableName(std::string_view name) {
    return !name.empty() && name.find_first_of("\r\n") == std::string_view::npos;
}

bool IsListableKind(const struct stat& st) {
    return S_ISREG(st.st_mode) || S_ISDIR(st.st_mode);
}

void FillEntry(TnbFtpFileInfo& info, std::string_view name, const struct stat& st) {
    info.FileName = std::string(name);
    info.IsDirectory = S_ISDIR(st.st_mode);
    info.IsReadOnly = (st.st_mode & S_IWUSR) == 0;
    info.IsHidden = !name.empty() && name.front() == '.';
    info.Size = info.IsDirectory ? 0 : static_cast<std::int64_t>(st.st_size);
    info.ModifiedTime = st.st_mtim.tv_sec;
    info.ModifiedDate = TnbDateTime::FromLocalTime(st.st_mtim.tv_sec);
}

// The last segment of a path ("/srv/ftp/a.txt" -> "a.txt", "/srv/ftp/" -> "ftp"); a path with
// none ("/") is its own name.
std::string_view LastSegment(std::string_view path) {
    std::string_view p = path;
    while (p.size() > 1 && p.back() == '/')
        p.remove_suffix(1);
    const std::size_t slash = p.rfind('/');
    if (slash == std::string_view::npos || p.size() == 1)
        return p;
    return p.substr(slash + 1);
}

void Fail(bool& success, std::string& message, int error) {
    success = false;
    message = SystemErrorText(error);
}

// Owns one descriptor.
class TFd {
public:
    explicit TFd(int fd) : fd_(fd) {}
    ~TFd() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    TFd(const TFd&) = delete;
    TFd& operator=(const TFd&) = delete;
    explicit operator bool() const { return fd_ >= 0; }
    int Get() const { return fd_; }

private:
    int fd_;
};

struct TDirCloser {
    void operator()(DIR* dir) const noexcept { ::closedir(dir); }
};
using TDirHandle = std::unique_ptr<DIR, TDirCloser>;

// Lists the entries of an open directory that match mask.
void ListDirectory(int dirFd, std::string_view mask, bool includeHidden, TnbFtpFileInfoList& list) {
    // fdopendir takes the descriptor over; a duplicate keeps the caller's own.
    const int scanFd = ::fcntl(dirFd, F_DUPFD_CLOEXEC, 0);
    if (scanFd < 0)
        throw EnbFileError(errno);
    TDirHandle dir(::fdopendir(scanFd));
    if (!dir) {
        const int error = errno;
        ::close(scanFd);
        throw EnbFileError(error);
    }
    for (;;) {
        errno = 0;
        const dirent* entry = ::readdir(dir.get());
        if (entry == nullptr) {
            if (errno != 0)
                throw EnbFileError(errno);
            break;
        }
        const std::string_view name = entry->d_name;
        if (name == "." || name == "..")
            continue;
        if (!IsListableName(name))
            continue;
        if (!includeHidden && name.front() == '.')
            continue;
        if (!MatchesFileMask(name, mask))
            continue;
        struct stat st {};
        // Follows symbolic links; a broken one (or one that vanished meanwhile) is left out.
        if (::fstatat(dirFd, entry->d_name, &st, 0) != 0)
            continue;
        if (!IsListableKind(st))
            continue;
        FillEntry(list.Add(), name, st);
    }
    list.SortByName();
}

}  // namespace

bool MatchesFileMask(std::string_view name, std::string_view mask) {
    if (mask == "*.*")
        mask = "*";
    // Greedy matching with one backtrack point (the last "*"): linear for typical masks and
    // O(name x mask) at worst, so a hostile mask cannot explode.
    std::size_t n = 0, m = 0;
    std::size_t starMask = std::string_view::npos, starName = 0;
    while (n < name.size()) {
        if (m < mask.size() && mask[m] == '*') {
            starMask = m++;
            starName = n;
        } else if (m < mask.size() && mask[m] == '?') {
            n += CharLength(name, n);
            ++m;
        } else if (m < mask.size() && mask[m] == name[n]) {
            ++n;
            ++m;
        } else if (starMask != std::string_view::npos) {
            m = starMask + 1;
            starName += CharLength(name, starName);
            n = starName;
        } else {
            return false;
        }
    }
    while (m < mask.size() && mask[m] == '*')
        ++m;
    return m == mask.size();
}

void TnbFtpFileHandler::OnCreateDir(TnbFtpServer*, TnbFtpCommandConnection*,
                                    const std::string& AName, bool& Success,
                                    std::string& AErrorMessage) {
    if (::mkdir(AName.c_str(), 0777) != 0)
        Fail(Success, AErrorMessage, errno);
}

void TnbFtpFileHandler::OnDelete(TnbFtpServer*, TnbFtpCommandConnection*, const std::string& AName,
                                 bool& Success, std::string& AErrorMessage) {
    struct stat st {};
    // The entry itself: a link to a directory is unlinked, never its target removed.
    if (::lstat(AName.c_str(), &st) != 0)
        return Fail(Success, AErrorMessage, errno);
    const int rc = S_ISDIR(st.st_mode) ? ::rmdir(AName.c_str()) : ::unlink(AName.c_str());
    if (rc != 0)
        Fail(Success, AErrorMessage, errno);
}

void TnbFtpFileHandler::OnRename(TnbFtpServer*, TnbFtpCommandConnection*,
                                 const std::string& ACurrentName, const std::string& ANewName,
                                 bool& Success, std::string& AErrorMessage) {
    if (::renameat2(AT_FDCWD, ACurrentName.c_str(), AT_FDCWD, ANewName.c_str(), RENAME_NOREPLACE) ==
        0) {
        return;
    }
    const int error = errno;
    if (error != EINVAL && error != ENOSYS)
        return Fail(Success, AErrorMessage, error);
    // A file system without RENAME_NOREPLACE: check, then rename. Another process could create
    // the target in between; within this server that needs a client racing itself.
    struct stat st {};
    if (::lstat(ANewName.c_str(), &st) == 0)
        return Fail(Success, AErrorMessage, EEXIST);
    if (::rename(ACurrentName.c_str(), ANewName.c_str()) != 0) {
        Fail(Success, AErrorMessage, errno);
    }
}

namespace {

void OpenDestination(const std::string& AFileName, TnbFileMode AMode,
                     std::unique_ptr<TnbStream>& ADestination, bool& Success,
                     std::string& AErrorMessage) {
    try {
        ADestination = std::make_unique<TnbFileStream>(AFileName, AMode);
    } catch (const std::exception& e) {
        ADestination.reset();
        Success = false;
        AErrorMessage = e.what();
    }
}

}  // namespace

void TnbFtpFileHandler::OnPutFile(TnbFtpServer*, TnbFtpCommandConnection*,
                                  const std::string& AFileName, bool AOverwrite,
                                  std::unique_ptr<TnbStream>& ADestination, bool& Success,
                                  std::string& AErrorMessage) {
    OpenDestination(AFileName, AOverwrite ? TnbFileMode::fmCreate : TnbFileMode::fmOpenWrite,
                    ADestination, Success, AErrorMessage);
}

void TnbFtpFileHandler::OnPutUniqueFile(TnbFtpServer*, TnbFtpCommandConnection*,
                                        const std::string& AFileName,
                                        std::unique_ptr<TnbStream>& ADestination, bool& Success,
                                        std::string& AErrorMessage) {
    OpenDestination(AFileName, TnbFileMode::fmCreateNew, ADestination, Success, AErrorMessage);
}

void TnbFtpFileHandler::OnGetFile(TnbFtpServer*, TnbFtpCommandConnection*,
                                  const std::string& AFileName, std::unique_ptr<TnbStream>& ASource,
                                  bool& Success, std::string& AErrorMessage) {
    try {
        ASource = std::make_unique<TnbFileStream>(AFileName, TnbFileMode::fmOpenRead);
    } catch (const std::exception& e) {
        ASource.reset();
        Success = false;
        AErrorMessage = e.what();
    }
}

void TnbFtpFileHandler::OnGetFileList(TnbFtpServer*, TnbFtpCommandConnection*,
                                      const std::string& APathName, const std::string& AFileMask,
                                      bool AIncludeHidden, TnbFtpFileInfoList& AFileList,
                                      bool& Success, std::string& AErrorMessage) {
    try {
        struct stat st {};
        if (::stat(APathName.c_str(), &st) != 0)
            return Fail(Success, AErrorMessage, errno);

        const std::string_view ownName = LastSegment(APathName);
        if (AFileMask.empty() || !S_ISDIR(st.st_mode)) {
            // The entry itself: a single-entry lookup, or LIST naming a file.
            if (!IsListableKind(st) || !IsListableName(ownName)) {
                return Fail(Success, AErrorMessage, ENOENT);
            }
            FillEntry(AFileList.Add(), ownName, st);
            return;
        }

        // One descriptor for the directory, so every entry is looked up in the directory that
        // was checked, even if its name is replaced meanwhile.
        TFd dir(::open(APathName.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (!dir)
            return Fail(Success, AErrorMessage, errno);
        if (!HasWildcard(AFileMask)) {
            // An exact name below the directory (the single-entry lookup): found even when
            // hidden; a missing one fails with the system's text.
            if (!IsListableName(AFileMask) || AFileMask.find('/') != std::string::npos)
                return Fail(Success, AErrorMessage, ENOENT);
            struct stat entry {};
            if (::fstatat(dir.Get(), AFileMask.c_str(), &entry, 0) != 0)
                return Fail(Success, AErrorMessage, errno);
            if (!IsListableKind(entry))
                return Fail(Success, AErrorMessage, ENOENT);
            FillEntry(AFileList.Add(), AFileMask, entry);
            return;
        }
        ListDirectory(dir.Get(), AFileMask, AIncludeHidden, AFileList);
    } catch (const EnbFileError& e) {
        AFileList.Clear();
        Fail(Success, AErrorMessage, e.ErrorCode);
    } catch (const std::exception& e) {
        AFileList.Clear();
        Success = false;
        AErrorMessage = e.what();
    }
}

}  // namespace nb

// ---- Server link ----

namespace nb {

TnbFtpFileHandler::~TnbFtpFileHandler() {
    // The hooked events point at this handler: they must not outlive it.
    if (server_ != nullptr)
        Unhook(*server_);
}

void TnbFtpFileHandler::SetServer(TnbFtpServer* server) {
    if (server == server_)
        return;
    if (server_ != nullptr) {
        RemoveFreeNotification(*server_);
        Unhook(*server_);
    }
    server_ = server;
    serverLink_ = server;
    if (server_ != nullptr) {
        FreeNotification(*server_);
        Hook(*server_);
    }
}

void TnbFtpFileHandler::Notification(TnbComponent& AComponent) {
    if (&AComponent == serverLink_) {
        server_ = nullptr;
        serverLink_ = nullptr;
    }
    TnbComponent::Notification(AComponent);
}

void TnbFtpFileHandler::Hook(TnbFtpServer& server) {
    server.OnCreateDir = [this](TnbFtpServer& s, TnbFtpCommandConnection& c,
                                const std::string& name, bool& ok,
                                std::string& message) { OnCreateDir(&s, &c, name, ok, message); };
    server.OnDelete = [this](TnbFtpServer& s, TnbFtpCommandConnection& c, const std::string& name,
                             bool& ok,
                             std::string& message) { OnDelete(&s, &c, name, ok, message); };
    server.OnRename = [this](TnbFtpServer& s, TnbFtpCommandConnection& c, const std::string& from,
                             const std::string& to, bool& ok,
                             std::string& message) { OnRename(&s, &c, from, to, ok, message); };
    server.OnPutFile = [this](TnbFtpServer& s, TnbFtpCommandConnection& c, const std::string& name,
                              bool overwrite, std::unique_ptr<TnbStream>& destination, bool& ok,
                              std::string& message) {
        OnPutFile(&s, &c, name, overwrite, destination, ok, message);
    };
    server.OnPutUniqueFile = [this](TnbFtpServer& s, TnbFtpCommandConnection& c,
                                    const std::string& name,
                                    std::unique_ptr<TnbStream>& destination, bool& ok,
                                    std::string& message) {
        OnPutUniqueFile(&s, &c, name, destination, ok, message);
    };
    server.OnGetFile = [this](TnbFtpServer& s, TnbFtpCommandConnection& c, const std::string& name,
                              std::unique_ptr<TnbStream>& source, bool& ok, std::string& message) {
        OnGetFile(&s, &c, name, source, ok, message);
    };
    server.OnGetFileList = [this](TnbFtpServer& s, TnbFtpCommandConnection& c,
                                  const std::string& path, const std::string& mask,
                                  bool includeHidden, TnbFtpFileInfoList& list, bool& ok,
                                  std::string& message) {
        OnGetFileList(&s, &c, path, mask, includeHidden, list, ok, message);
    };
}

void TnbFtpFileHandler::Unhook(TnbFtpServer& server) {
    server.OnCreateDir = nullptr;
    server.OnDelete = nullptr;
    server.OnRename = nullptr;
    server.OnPutFile = nullptr;
    server.OnPutUniqueFile = nullptr;
    server.OnGetFile = nullptr;
    server.OnGetFileList = nullptr;
}

}  // namespace nb
