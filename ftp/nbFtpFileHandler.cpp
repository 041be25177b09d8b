#include "ftp/nbFtpFileHandler.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <exception>

#include "ftp/nbFtpServer.h"
#include "util/nbConfinedRoot.h"
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

// The local wall-clock times of one listing. Entries written together share their second, and
// each conversion is a time-zone computation: the last one is kept.
class TLocalTimes {
public:
    TnbDateTime Of(std::time_t t) {
        if (!known_ || t != last_) {
            last_ = t;
            date_ = TnbDateTime::FromLocalTime(t);
            known_ = true;
        }
        return date_;
    }

private:
    bool known_ = false;
    std::time_t last_ = 0;
    TnbDateTime date_;
};

void FillEntry(TnbFtpFileInfo& info, std::string_view name, const struct stat& st,
               TLocalTimes* times = nullptr) {
    info.FileName = std::string(name);
    info.IsDirectory = S_ISDIR(st.st_mode);
    info.IsReadOnly = (st.st_mode & S_IWUSR) == 0;
    info.IsHidden = !name.empty() && name.front() == '.';
    info.Size = info.IsDirectory ? 0 : static_cast<std::int64_t>(st.st_size);
    info.ModifiedTime = st.st_mtim.tv_sec;
    info.UnixMode = static_cast<std::uint32_t>(st.st_mode & 07777);
    info.ModifiedDate = times ? times->Of(st.st_mtim.tv_sec)
                              : TnbDateTime::FromLocalTime(st.st_mtim.tv_sec);
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

struct TDirCloser {
    void operator()(DIR* dir) const noexcept { ::closedir(dir); }
};
using TDirHandle = std::unique_ptr<DIR, TDirCloser>;

std::string Join(const std::string& relative, std::string_view name) {
    return relative.empty() ? std::string(name) : relative + "/" + std::string(name);
}

// The entry relative (below root) as a listing shows it: links followed beneath the root.
bool StatBeneath(const TnbConfinedRoot& root, const std::string& relative, struct stat& st) {
    try {
        const TnbFd fd = root.Open(relative, O_PATH);
        return ::fstat(fd.Get(), &st) == 0;
    } catch (const EnbFileError&) {
        return false;  // missing, or a link that leads outside: not there for the client
    }
}

// SECURITY: the paths the server hands over are its own lexical resolution below the session's
// root, which follows no link. Every one of them is resolved again here, beneath the root's
// descriptor (TnbConfinedRoot), because only the file system knows where a link leads: a link
// out of the root counts as missing, operations on an entry (remove, rename, create) act on
// the entry itself inside its directory, and a path that is not below the root at all (an
// OnGetFullPath of the host's that maps elsewhere) is refused with EACCES.
// Direct callers without a server or a session resolve beneath "/".
TnbConfinedRoot RootOf(TnbFtpServer* server, TnbFtpCommandConnection* connection) {
    return TnbConfinedRoot(server != nullptr && connection != nullptr
                               ? server->GetRootDir(*connection)
                               : std::string("/"));
}

std::string Below(const TnbConfinedRoot& root, const std::string& path) {
    std::string relative;
    if (!root.RelativePath(path, relative))
        throw EnbFileError(EACCES);
    return relative;
}

std::string LinkTarget(int dir, const std::string& name) {
    char buffer[PATH_MAX];
    const ssize_t n = ::readlinkat(dir, name.c_str(), buffer, sizeof buffer);
    if (n < 0)
        throw EnbFileError(errno);
    if (static_cast<std::size_t>(n) >= sizeof buffer)
        throw EnbFileError(ENAMETOOLONG);
    return std::string(buffer, static_cast<std::size_t>(n));
}

// Runs an answering method's work: file errors become the system's text, other exceptions
// their message; nothing raises out of the handler.
template <typename F>
void Answer(bool& success, std::string& message, F&& work) {
    try {
        work();
    } catch (const EnbFileError& e) {
        Fail(success, message, e.ErrorCode);
    } catch (const std::exception& e) {
        success = false;
        message = e.what();
    }
}

// Lists the entries of an open directory (relative below root) that match mask.
void ListDirectory(const TnbConfinedRoot& root, const std::string& relative, int dirFd,
                   std::string_view mask, bool includeHidden, TnbFtpFileInfoList& list) {
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
    TLocalTimes times;
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
        // A link is followed beneath the root; a broken one, one that leads outside, or an
        // entry that vanished meanwhile is left out.
        if (::fstatat(dirFd, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0)
            continue;
        if (S_ISLNK(st.st_mode) && !StatBeneath(root, Join(relative, name), st))
            continue;
        if (!IsListableKind(st))
            continue;
        FillEntry(list.Add(), name, st, &times);
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

void TnbFtpFileHandler::OnCreateDir(TnbFtpServer* Sender, TnbFtpCommandConnection* AConnection,
                                    const std::string& AName, bool& Success,
                                    std::string& AErrorMessage) {
    Answer(Success, AErrorMessage, [&] {
        const TnbConfinedRoot root = RootOf(Sender, AConnection);
        const auto parent = root.OpenParent(Below(root, AName));
        if (::mkdirat(parent.Dir.Get(), parent.Name.c_str(), 0777) != 0)
            throw EnbFileError(errno);
    });
}

void TnbFtpFileHandler::OnDelete(TnbFtpServer* Sender, TnbFtpCommandConnection* AConnection,
                                 const std::string& AName, bool& Success,
                                 std::string& AErrorMessage) {
    Answer(Success, AErrorMessage, [&] {
        const TnbConfinedRoot root = RootOf(Sender, AConnection);
        const auto parent = root.OpenParent(Below(root, AName));
        struct stat st {};
        // The entry itself: a link to a directory is unlinked, never its target removed.
        if (::fstatat(parent.Dir.Get(), parent.Name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
            throw EnbFileError(errno);
        const int flags = S_ISDIR(st.st_mode) ? AT_REMOVEDIR : 0;
        if (::unlinkat(parent.Dir.Get(), parent.Name.c_str(), flags) != 0)
            throw EnbFileError(errno);
    });
}

void TnbFtpFileHandler::OnSetModifiedTime(TnbFtpServer* Sender,
                                          TnbFtpCommandConnection* AConnection,
                                          const std::string& AFileName, std::time_t AModifiedTime,
                                          bool& Success, std::string& AErrorMessage) {
    Answer(Success, AErrorMessage, [&] {
        const TnbConfinedRoot root = RootOf(Sender, AConnection);
        const auto parent = root.OpenParent(Below(root, AFileName));
        // The access time stays; a link gets its own time, never its target's (which may lie
        // outside the root).
        const timespec times[2] = {{0, UTIME_OMIT}, {AModifiedTime, 0}};
        if (::utimensat(parent.Dir.Get(), parent.Name.c_str(), times, AT_SYMLINK_NOFOLLOW) != 0)
            throw EnbFileError(errno);
    });
}

void TnbFtpFileHandler::OnRename(TnbFtpServer* Sender, TnbFtpCommandConnection* AConnection,
                                 const std::string& ACurrentName, const std::string& ANewName,
                                 bool& Success, std::string& AErrorMessage) {
    Answer(Success, AErrorMessage, [&] {
        const TnbConfinedRoot root = RootOf(Sender, AConnection);
        const std::string fromPath = Below(root, ACurrentName);
        const std::string toPath = Below(root, ANewName);
        const auto from = root.OpenParent(fromPath);
        const auto to = root.OpenParent(toPath);
        struct stat st {};
        if (::fstatat(from.Dir.Get(), from.Name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
            throw EnbFileError(errno);
        if (S_ISLNK(st.st_mode)) {
            // SECURITY: a link is moved as itself. One that leads outside is not there for the
            // client; one whose relative target would lead outside from its new place stays
            // where it is, so no client can turn a harmless link into a way out.
            const std::string target = LinkTarget(from.Dir.Get(), from.Name);
            if (root.LeadsOutside(fromPath, target))
                throw EnbFileError(ENOENT);
            if (root.LeadsOutside(toPath, target))
                throw EnbFileError(EACCES);
        }
        if (::renameat2(from.Dir.Get(), from.Name.c_str(), to.Dir.Get(), to.Name.c_str(),
                        RENAME_NOREPLACE) == 0) {
            return;
        }
        const int error = errno;
        if (error != EINVAL && error != ENOSYS)
            throw EnbFileError(error);
        // A file system without RENAME_NOREPLACE: check, then rename. Another process could
        // create the target in between; within this server that needs a client racing itself.
        if (::fstatat(to.Dir.Get(), to.Name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0)
            throw EnbFileError(EEXIST);
        if (::renameat(from.Dir.Get(), from.Name.c_str(), to.Dir.Get(), to.Name.c_str()) != 0)
            throw EnbFileError(errno);
    });
}

namespace {

// Non-blocking, so that a FIFO never holds the worker; regular files ignore it.
constexpr int kWrite = O_WRONLY | O_NONBLOCK;

}  // namespace

void TnbFtpFileHandler::OnPutFile(TnbFtpServer* Sender, TnbFtpCommandConnection* AConnection,
                                  const std::string& AFileName, bool AOverwrite,
                                  std::unique_ptr<TnbStream>& ADestination, bool& Success,
                                  std::string& AErrorMessage) {
    ADestination.reset();
    Answer(Success, AErrorMessage, [&] {
        const TnbConfinedRoot root = RootOf(Sender, AConnection);
        const std::string relative = Below(root, AFileName);
        if (AOverwrite) {
            // A new file that takes the old one's place only when the upload succeeds; through
            // a link (inside), the file it points at is the one replaced.
            const auto parent = root.OpenParent(relative, true);
            ADestination = TnbFileStream::Replacing(parent.Dir, parent.Name);
        } else {
            ADestination = std::make_unique<TnbFileStream>(
                root.Open(relative, kWrite | O_CREAT, 0666), TnbFileMode::fmOpenWrite);
        }
    });
    if (!Success)
        ADestination.reset();
}

void TnbFtpFileHandler::OnPutUniqueFile(TnbFtpServer* Sender, TnbFtpCommandConnection* AConnection,
                                        const std::string& AFileName,
                                        std::unique_ptr<TnbStream>& ADestination, bool& Success,
                                        std::string& AErrorMessage) {
    ADestination.reset();
    Answer(Success, AErrorMessage, [&] {
        const TnbConfinedRoot root = RootOf(Sender, AConnection);
        // The name itself must be free: O_EXCL follows no link, not even one inside.
        const auto parent = root.OpenParent(Below(root, AFileName));
        TnbFd fd(::openat(parent.Dir.Get(), parent.Name.c_str(),
                          kWrite | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666));
        if (!fd)
            throw EnbFileError(errno);
        ADestination = std::make_unique<TnbFileStream>(std::move(fd), TnbFileMode::fmCreateNew);
    });
    if (!Success)
        ADestination.reset();
}

void TnbFtpFileHandler::OnGetFile(TnbFtpServer* Sender, TnbFtpCommandConnection* AConnection,
                                  const std::string& AFileName, std::unique_ptr<TnbStream>& ASource,
                                  bool& Success, std::string& AErrorMessage) {
    ASource.reset();
    Answer(Success, AErrorMessage, [&] {
        const TnbConfinedRoot root = RootOf(Sender, AConnection);
        ASource = std::make_unique<TnbFileStream>(
            root.Open(Below(root, AFileName), O_RDONLY | O_NONBLOCK), TnbFileMode::fmOpenRead);
    });
    if (!Success)
        ASource.reset();
}

void TnbFtpFileHandler::OnGetFileList(TnbFtpServer* Sender, TnbFtpCommandConnection* AConnection,
                                      const std::string& APathName, const std::string& AFileMask,
                                      bool AIncludeHidden, TnbFtpFileInfoList& AFileList,
                                      bool& Success, std::string& AErrorMessage) {
    Answer(Success, AErrorMessage, [&] {
        try {
            const TnbConfinedRoot root = RootOf(Sender, AConnection);
            const std::string relative = Below(root, APathName);
            const TnbFd entry = root.Open(relative, O_PATH);
            struct stat st {};
            if (::fstat(entry.Get(), &st) != 0)
                throw EnbFileError(errno);

            const std::string_view ownName = LastSegment(APathName);
            if (AFileMask.empty() || !S_ISDIR(st.st_mode)) {
                // The entry itself: a single-entry lookup, or LIST naming a file.
                if (!IsListableKind(st) || !IsListableName(ownName))
                    throw EnbFileError(ENOENT);
                FillEntry(AFileList.Add(), ownName, st);
                return;
            }

            // One descriptor for the directory, so every entry is looked up in the directory
            // that was checked, even if its name is replaced meanwhile.
            const TnbFd dir(::openat(entry.Get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
            if (!dir)
                throw EnbFileError(errno);
            if (!HasWildcard(AFileMask)) {
                // An exact name below the directory: found even when hidden. "." and ".." name
                // no entry of it ("LIST x*/../.." must not show the root's parent).
                if (!IsListableName(AFileMask) || AFileMask.find('/') != std::string::npos ||
                    AFileMask == "." || AFileMask == "..") {
                    throw EnbFileError(ENOENT);
                }
                struct stat found {};
                if (!StatBeneath(root, Join(relative, AFileMask), found) || !IsListableKind(found))
                    throw EnbFileError(ENOENT);
                FillEntry(AFileList.Add(), AFileMask, found);
                return;
            }
            ListDirectory(root, relative, dir.Get(), AFileMask, AIncludeHidden, AFileList);
        } catch (...) {
            AFileList.Clear();
            throw;
        }
    });
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
    server.OnSetModifiedTime = [this](TnbFtpServer& s, TnbFtpCommandConnection& c,
                                      const std::string& name, std::time_t time, bool& ok,
                                      std::string& message) {
        OnSetModifiedTime(&s, &c, name, time, ok, message);
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
    server.OnSetModifiedTime = nullptr;
}

}  // namespace nb
