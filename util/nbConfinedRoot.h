// File-system access confined beneath one directory (a session's root).
// SECURITY: every path is resolved beneath the root's open descriptor, one step at a time by the
// kernel (openat2 with RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS) or, where that cannot decide, by
// a walk of single components opened with O_NOFOLLOW, whose links are read and followed here.
// Nothing depends on the path text alone, so a link swapped in between two calls is resolved
// like any other. The rule:
// - a symbolic link whose target lies inside the root is followed, relative or absolute (an
//   absolute target names the root by its configured path or by its real path);
// - a link that leads outside, by ".." above the root, by an absolute target elsewhere, or
//   through /proc's descriptor links, counts as missing (ENOENT): nothing outside is read,
//   listed, written, created, renamed or removed through it;
// - operations on an entry itself (remove, rename, create) act on the last segment as it is,
//   a link itself and never its target, inside the directory that holds it.
// Thread notes: an object is used by one thread; it owns the root's descriptor. Several objects
// on one root may live at once.
#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>

#include "util/nbFileStream.h"

namespace nb {

class TnbConfinedRoot {
public:
    // Opens root (an absolute, lexically normal path; links within it are the operator's
    // choice and are followed). Raises EnbFileError.
    explicit TnbConfinedRoot(const std::string& root);

    // The path below the root of a local path ("" for the root itself), or false when path is
    // neither the root nor lexically below it.
    bool RelativePath(std::string_view path, std::string& relative) const;

    // Opens relative (below the root, "" for the root) with flags, following links that stay
    // inside. Raises EnbFileError; ENOENT when a link leads outside.
    TnbFd Open(std::string_view relative, int flags, mode_t mode = 0) const;

    // The directory that holds the last segment of relative (links on the way followed) and
    // that segment, for operations on the entry itself. EACCES for the root itself or a last
    // segment of "." or "..". With followLast, a link in the last place is followed first (to
    // write what it points at), so the entry returned is never a link when the call returns.
    struct TParent {
        TnbFd Dir;
        std::string Name;
    };
    TParent OpenParent(std::string_view relative, bool followLast = false) const;

    // Whether the link target, taken as if the link were the entry relative, resolves outside
    // the root (a target that is merely missing inside does not).
    bool LeadsOutside(std::string_view relative, const std::string& target) const;

    // Tests only: false makes every resolution take the component walk, so both ways are
    // exercised on a kernel that has openat2. Not while other threads resolve.
    static void SetUseOpenat2(bool value);

private:
    enum class TWalk { wkOpen, wkParent, wkParentFollow };
    struct TResult {
        int Error = 0;         // errno, or kOutside
        TnbFd Fd;              // wkOpen: the entry; otherwise its directory
        std::string Name;      // the last segment (parent walks)
    };
    static constexpr int kOutside = -1;

    TResult Walk(std::string_view relative, TWalk kind, int flags, mode_t mode) const;
    TResult Fast(std::string_view relative, int flags, mode_t mode) const;
    // The part of an absolute link target below the root, or false when it is outside.
    bool TargetBelowRoot(const std::string& target, std::string& relative) const;
    static void Raise(int error);

    std::string root_;
    mutable std::string realRoot_;  // filled at the first absolute link
    TnbFd rootFd_;
};

}  // namespace nb
