#include "ftp/nbFtpPath.h"

#include <unistd.h>

#include <cerrno>
#include <string>
#include <system_error>
#include <vector>

namespace nb {

namespace {

std::string WorkingDirectory() {
    std::string buffer(256, '\0');
    for (;;) {
        if (::getcwd(buffer.data(), buffer.size()) != nullptr) {
            buffer.resize(std::char_traits<char>::length(buffer.c_str()));
            return buffer;
        }
        if (errno != ERANGE)
            throw std::system_error(errno, std::generic_category(), "getcwd");
        buffer.resize(buffer.size() * 2);
    }
}

// "/a/./b/../c//d" -> "/a/c/d"; ".." never climbs above "/". The path must be absolute.
std::string NormalizeAbsolute(std::string_view path) {
    std::vector<std::string_view> segments;
    std::size_t i = 0;
    while (i < path.size()) {
        while (i < path.size() && path[i] == '/')
            ++i;
        std::size_t j = i;
        while (j < path.size() && path[j] != '/')
            ++j;
        if (j > i) {
            std::string_view seg = path.substr(i, j - i);
            if (seg == "..") {
                if (!segments.empty())
                    segments.pop_back();
            } else if (seg != ".") {
                segments.push_back(seg);
            }
        }
        i = j;
    }
    if (segments.empty())
        return "/";
    std::string result;
    for (auto seg : segments) {
        result += '/';
        result += seg;
    }
    return result;
}

std::string Slashes(std::string_view path) {
    std::string result(path);
    for (char& ch : result) {
        if (ch == '\\')
            ch = '/';
    }
    return result;
}

}  // namespace

std::string FtpToLocalPath(std::string_view path) {
    std::string result = Slashes(path);
    if (!result.empty() && result.back() == '/')
        result.pop_back();
    return result;
}

std::string FtpToVirtualPath(std::string_view path) {
    return FtpToLocalPath(path);
}

std::string FtpNormalizeRoot(std::string_view root) {
    std::string text = Slashes(root);
    if (text.empty() || text.front() != '/') {
        std::string base = WorkingDirectory();
        text = text.empty() ? base : base + "/" + text;
    }
    return NormalizeAbsolute(text);
}

bool FtpIsInsideRoot(std::string_view root, std::string_view path) {
    if (root == "/")
        return !path.empty() && path.front() == '/';
    if (path.size() < root.size() || path.compare(0, root.size(), root) != 0)
        return false;
    return path.size() == root.size() || path[root.size()] == '/';
}

std::string FtpCombinePath(std::string_view root, std::string_view relative) {
    if (relative.empty())
        return std::string(root);
    std::string joined(root);
    joined += '/';
    joined += relative;
    return NormalizeAbsolute(joined);
}

std::string FtpResolvePath(std::string_view root, std::string_view currentDir,
                           std::string_view path) {
    const std::string current = FtpToLocalPath(currentDir);
    const std::string local = FtpToLocalPath(path);
    std::string result;
    if (path.empty()) {
        result = current;
    } else if (path.front() != '/' && path.front() != '\\') {
        result = current;
        if (!result.empty() && result.back() != '/')
            result += '/';
        result += local;
    } else {
        result = local;
    }
    if (!result.empty() && result.front() == '/')
        result.erase(0, 1);

    std::string answer = FtpCombinePath(root, result);
    // SECURITY: a path is inside only when it is the root or continues it with a separator,
    // compared byte for byte; "../ftp2/x" or "../FTP/x" must not reach a sibling of the root.
    // Lexical ".." resolution already stops at the root's own ".."-free form, so only a climb
    // above the root lands here.
    if (!FtpIsInsideRoot(root, answer)) {
        const std::string last = FtpFileNamePart(local);
        if (last == "..")
            return std::string(root);
        answer = FtpCombinePath(root, last);
        if (!FtpIsInsideRoot(root, answer))
            return std::string(root);
    }
    return answer;
}

std::string FtpVirtualPathOf(std::string_view root, std::string_view fullPath) {
    if (!FtpIsInsideRoot(root, fullPath) || fullPath.size() == root.size())
        return {};
    if (root == "/")
        return std::string(fullPath);
    return std::string(fullPath.substr(root.size()));
}

std::string FtpFileNamePart(std::string_view path) {
    const auto pos = path.find_last_of('/');
    return std::string(pos == std::string_view::npos ? path : path.substr(pos + 1));
}

}  // namespace nb
