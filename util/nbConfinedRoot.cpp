#include "util/nbConfinedRoot.h"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <deque>
#include <vector>

#include "util/nbLimits.h"

namespace nb {

namespace {

std::atomic<bool> gUseOpenat2{true};
// Cleared at the first ENOSYS (a kernel before 5.6, or a filter that hides the call).
std::atomic<bool> gHaveOpenat2{true};

// glibc 2.36 has no wrapper for openat2.
int Openat2(int dir, const char* path, int flags, mode_t mode) {
    open_how how{};
    how.flags = static_cast<std::uint64_t>(flags | O_CLOEXEC);
    how.mode = (flags & O_CREAT) != 0 ? mode : 0;  // anything else with a mode is EINVAL
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
    long fd;
    do {
        fd = ::syscall(SYS_openat2, dir, path, &how, sizeof how);
    } while (fd < 0 && errno == EINTR);
    return static_cast<int>(fd);
}

// The target of the link name in dir (name "" with an O_PATH descriptor of the link itself):
// 0, or the errno (EINVAL when it is no link).
int ReadLink(int dir, const char* name, std::string& target) {
    char buffer[PATH_MAX];
    const ssize_t n = ::readlinkat(dir, name, buffer, sizeof buffer);
    if (n < 0)
        return errno;
    if (static_cast<std::size_t>(n) >= sizeof buffer)
        return ENAMETOOLONG;
    target.assign(buffer, static_cast<std::size_t>(n));
    return 0;
}

// Puts the segments of path in front of what is still to walk ("a//b/" -> "a", "b").
void PrependSegments(std::deque<std::string>& todo, std::string_view path) {
    std::vector<std::string> segments;
    std::size_t i = 0;
    while (i < path.size()) {
        const std::size_t end = std::min(path.find('/', i), path.size());
        if (end > i)
            segments.emplace_back(path.substr(i, end - i));
        i = end + 1;
    }
    todo.insert(todo.begin(), segments.begin(), segments.end());
}

// Where the fast way cannot decide: a link with an absolute target, one that climbs above the
// root, a /proc link, a kernel or a filter without openat2, or a rename racing the lookup.
bool WalkDecides(int error) {
    return error == EXDEV || error == ELOOP || error == ENOSYS || error == EAGAIN ||
           error == EPERM;
}

// The part of path below base ("" for base itself), compared byte for byte on whole segments.
bool PathBelow(const std::string& base, std::string_view path, std::string& relative) {
    if (base == "/") {
        if (path.empty() || path.front() != '/')
            return false;
        relative = std::string(path.substr(1));
        return true;
    }
    if (path.size() < base.size() || path.compare(0, base.size(), base) != 0)
        return false;
    if (path.size() == base.size()) {
        relative.clear();
        return true;
    }
    if (path[base.size()] != '/')
        return false;
    relative = std::string(path.substr(base.size() + 1));
    return true;
}

// SECURITY: the system sees a name only up to its first NUL byte: "..\0x" would be "..", a
// name the walk never took for one. No path with one names anything.
bool HasNul(std::string_view path) {
    return path.find('\0') != std::string_view::npos;
}

std::string DirectoryPart(std::string_view relative) {
    const std::size_t slash = relative.rfind('/');
    return slash == std::string_view::npos ? std::string() : std::string(relative.substr(0, slash));
}

}  // namespace

void TnbConfinedRoot::SetUseOpenat2(bool value) {
    gUseOpenat2.store(value);
}

TnbConfinedRoot::TnbConfinedRoot(const std::string& root) : root_(root) {
    while (root_.size() > 1 && root_.back() == '/')
        root_.pop_back();
    rootFd_ = TnbFd(::open(root_.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!rootFd_)
        throw EnbFileError(errno);
}

void TnbConfinedRoot::Raise(int error) {
    throw EnbFileError(error == kOutside ? ENOENT : error);
}

bool TnbConfinedRoot::RelativePath(std::string_view path, std::string& relative) const {
    return PathBelow(root_, path, relative);
}

bool TnbConfinedRoot::TargetBelowRoot(const std::string& target, std::string& relative) const {
    if (PathBelow(root_, target, relative))
        return true;
    if (realRoot_.empty()) {
        // The root as the system sees it, for links written with the real path of a root that
        // the operator named through a link.
        const std::string self = "/proc/self/fd/" + std::to_string(rootFd_.Get());
        if (ReadLink(AT_FDCWD, self.c_str(), realRoot_) != 0 || realRoot_.empty() ||
            realRoot_.front() != '/') {
            realRoot_ = root_;
        }
    }
    return realRoot_ != root_ && PathBelow(realRoot_, target, relative);
}

TnbConfinedRoot::TResult TnbConfinedRoot::Fast(std::string_view relative, int flags,
                                               mode_t mode) const {
    TResult result;
    if (HasNul(relative)) {
        result.Error = ENOENT;
        return result;
    }
    if (!gUseOpenat2.load() || !gHaveOpenat2.load()) {
        result.Error = ENOSYS;
        return result;
    }
    const std::string path = relative.empty() ? std::string(".") : std::string(relative);
    const int fd = Openat2(rootFd_.Get(), path.c_str(), flags, mode);
    if (fd >= 0) {
        result.Fd = TnbFd(fd);
        return result;
    }
    result.Error = errno;
    if (result.Error == ENOSYS)
        gHaveOpenat2.store(false);
    return result;
}

TnbConfinedRoot::TResult TnbConfinedRoot::Walk(std::string_view relative, TWalk kind, int flags,
                                               mode_t mode) const {
    TResult result;
    if (HasNul(relative)) {
        result.Error = ENOENT;
        return result;
    }
    // The directories walked so far, the root first: ".." returns to the one before, so it can
    // never climb above the root, whatever a directory's own ".." is by now.
    std::vector<TnbFd> dirs;
    dirs.emplace_back(::fcntl(rootFd_.Get(), F_DUPFD_CLOEXEC, 0));
    if (!dirs.back()) {
        result.Error = errno;
        return result;
    }
    std::deque<std::string> todo;
    PrependSegments(todo, relative);
    int links = 0;
    // Continues the walk at a link's target; 0, or the error that ends it.
    auto follow = [&](const std::string& target) -> int {
        if (++links > kMaxFollowedLinks)
            return ELOOP;
        if (target.empty())
            return ENOENT;
        if (target.front() == '/') {
            std::string below;
            if (!TargetBelowRoot(target, below))
                return kOutside;
            dirs.resize(1);
            PrependSegments(todo, below);
        } else {
            PrependSegments(todo, target);
        }
        return 0;
    };
    // Opens segment in dir as itself (O_PATH | O_NOFOLLOW opens a link rather than failing);
    // a link found there is followed instead.
    enum class TStep { stEntry, stFollowed, stFailed };
    auto openItself = [&](int dir, const std::string& segment, int openFlags, TnbFd& fd,
                          struct stat& st) {
        fd = TnbFd(::openat(dir, segment.c_str(), openFlags | O_NOFOLLOW | O_CLOEXEC));
        if (!fd || ::fstat(fd.Get(), &st) != 0) {
            result.Error = errno;
            return TStep::stFailed;
        }
        if (!S_ISLNK(st.st_mode))
            return TStep::stEntry;
        std::string target;
        int error = ReadLink(fd.Get(), "", target);
        if (error == 0)
            error = follow(target);
        if (error == 0)
            return TStep::stFollowed;
        result.Error = error;
        return TStep::stFailed;
    };
    auto fail = [&](int error) {
        result.Error = error;
        return std::move(result);
    };

    while (!todo.empty()) {
        const std::string segment = std::move(todo.front());
        todo.pop_front();
        if (segment == ".")
            continue;
        if (segment == "..") {
            if (dirs.size() == 1)
                return fail(kOutside);
            dirs.pop_back();
            continue;
        }
        const int dir = dirs.back().Get();
        std::string target;
        TnbFd fd;
        struct stat st {};
        if (!todo.empty()) {
            // A directory on the way.
            const TStep step = openItself(dir, segment, O_PATH, fd, st);
            if (step == TStep::stFailed)
                return result;
            if (step == TStep::stFollowed)
                continue;
            if (!S_ISDIR(st.st_mode))
                return fail(ENOTDIR);
            dirs.push_back(std::move(fd));
            continue;
        }
        if (kind == TWalk::wkParent) {
            result.Fd = std::move(dirs.back());
            result.Name = segment;
            return result;
        }
        if (kind == TWalk::wkParentFollow) {
            const int read = ReadLink(dir, segment.c_str(), target);
            if (read == 0) {
                if (const int error = follow(target); error != 0)
                    return fail(error);
                continue;
            }
            if (read != EINVAL && read != ENOENT)
                return fail(read);
            result.Fd = std::move(dirs.back());
            result.Name = segment;
            return result;
        }
        if ((flags & O_PATH) != 0) {
            const TStep step = openItself(dir, segment, flags, fd, st);
            if (step == TStep::stFailed)
                return result;
            if (step == TStep::stFollowed)
                continue;
            result.Fd = std::move(fd);
            return result;
        }
        fd = TnbFd(::openat(dir, segment.c_str(), flags | O_NOFOLLOW | O_CLOEXEC, mode));
        if (!fd) {
            const int error = errno;
            // O_NOFOLLOW met a link (ELOOP, or ENOTDIR with O_DIRECTORY): follow it here.
            if ((error == ELOOP || error == ENOTDIR) && ReadLink(dir, segment.c_str(), target) == 0) {
                if (const int followed = follow(target); followed != 0)
                    return fail(followed);
                continue;
            }
            return fail(error);
        }
        result.Fd = std::move(fd);
        return result;
    }
    // Nothing left to walk: the path names a directory already reached (the root, or one
    // returned to by "..").
    if (kind != TWalk::wkOpen)
        return fail(EACCES);
    result.Fd = TnbFd(::openat(dirs.back().Get(), ".", flags | O_CLOEXEC, mode));
    if (!result.Fd)
        return fail(errno);
    return result;
}

TnbFd TnbConfinedRoot::Open(std::string_view relative, int flags, mode_t mode) const {
    TResult result = Fast(relative, flags, mode);
    if (result.Error != 0 && WalkDecides(result.Error))
        result = Walk(relative, TWalk::wkOpen, flags, mode);
    if (result.Error != 0)
        Raise(result.Error);
    return std::move(result.Fd);
}

TnbConfinedRoot::TParent TnbConfinedRoot::OpenParent(std::string_view relative,
                                                     bool followLast) const {
    if (HasNul(relative))
        Raise(ENOENT);
    const std::size_t slash = relative.rfind('/');
    const std::string name(slash == std::string_view::npos ? relative : relative.substr(slash + 1));
    if (!name.empty() && name != "." && name != "..") {
        TResult dir = Fast(DirectoryPart(relative), O_PATH | O_DIRECTORY, 0);
        if (dir.Error != 0 && !WalkDecides(dir.Error))
            Raise(dir.Error);
        if (dir.Error == 0) {
            std::string target;
            // Unless a link stands in the last place and is to be followed, this is the answer.
            if (!followLast || ReadLink(dir.Fd.Get(), name.c_str(), target) != 0)
                return TParent{std::move(dir.Fd), name};
        }
    }
    TResult result =
        Walk(relative, followLast ? TWalk::wkParentFollow : TWalk::wkParent, 0, 0);
    if (result.Error != 0)
        Raise(result.Error);
    return TParent{std::move(result.Fd), std::move(result.Name)};
}

bool TnbConfinedRoot::LeadsOutside(std::string_view relative, const std::string& target) const {
    std::string path;
    if (!target.empty() && target.front() == '/') {
        if (!TargetBelowRoot(target, path))
            return true;
    } else {
        path = DirectoryPart(relative);
        if (!path.empty())
            path += '/';
        path += target;
    }
    // The walk tells a climb out of the root from a target that is merely missing.
    return Walk(path, TWalk::wkOpen, O_PATH, 0).Error == kOutside;
}

}  // namespace nb
