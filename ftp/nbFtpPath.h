// The mapping between the virtual paths a client sees ("/pub/a.txt") and local paths below a
// session's root directory, and the confinement that keeps every resolved path below that root.
// Everything is lexical: no link is resolved and the file system is never asked.
// Thread notes: free functions without shared state; any thread.
#pragma once

#include <string>
#include <string_view>

namespace nb {

// A client path with "\" taken as a separator too (as "/"), one trailing separator removed.
std::string FtpToLocalPath(std::string_view path);
// The same for a path shown to the client.
std::string FtpToVirtualPath(std::string_view path);

// The absolute, lexically normal form of a root directory: relative roots are taken from the
// working directory, an empty root is the working directory, "/" stays "/", and one trailing "/"
// is removed.
std::string FtpNormalizeRoot(std::string_view root);

// True when path equals root or lies below it, compared byte for byte on whole segments
// ("/srv/ftp2" is not inside "/srv/ftp").
bool FtpIsInsideRoot(std::string_view root, std::string_view path);

// The local path of a client path for a session at the virtual directory currentDir, below the
// (normalized) root. A path that climbs out of the root keeps only its last segment, taken below
// the root ("../../x/y.txt" -> root + "/y.txt"; a last segment ".." gives the root).
std::string FtpResolvePath(std::string_view root, std::string_view currentDir,
                           std::string_view path);

// The combination of root and a relative local path, lexically normal, without trailing "/".
std::string FtpCombinePath(std::string_view root, std::string_view relative);

// The part of a resolved path after the root, starting with "/"; empty for the root itself and
// for a path outside it.
std::string FtpVirtualPathOf(std::string_view root, std::string_view fullPath);

// The last segment of a local path (text after the last "/").
std::string FtpFileNamePart(std::string_view path);

}  // namespace nb
