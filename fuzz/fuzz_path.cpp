// Path confinement: for any root, current directory and client path, the local path the FTP
// server resolves is the session's root or lies below it, byte for byte, and is lexically
// normal below the root (no empty, "." or ".." segment the file system could still climb with).
// Then the file handler's resolution of the same path (and of the raw client path) beneath a
// real tree full of links, inside and out, never opens anything outside that tree's root.
#include <fcntl.h>
#include <fuzzer/FuzzedDataProvider.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>

#include "ftp/nbFtpPath.h"
#include "ftp/nbFtpServer.h"
#include "fuzz/nbFuzzSupport.h"
#include "util/nbConfinedRoot.h"

namespace {

using nb::fuzz::Require;

nb::TnbFtpServer& Server() {
    static nb::TnbFtpServer server;
    return server;
}

nb::TnbFtpCommandConnection& Session() {
    static auto session = std::make_shared<nb::TnbFtpCommandConnection>();
    return *session;
}

constexpr const char* kRoots[] = {"/srv/ftp", "/srv/ftp/",         "/",          "",
                                  "ftp",      "/srv/./ftp/../ftp", "\\srv\\ftp", "/srv/ftp//pub/"};

void CheckNormalRoot(const std::string& root) {
    Require(!root.empty() && root.front() == '/', "the root is absolute", root);
    if (root == "/")
        return;
    Require(root.back() != '/', "the root has no trailing separator", root);
    std::size_t start = 1;
    while (start <= root.size()) {
        std::size_t end = root.find('/', start);
        if (end == std::string::npos)
            end = root.size();
        const std::string_view segment = std::string_view(root).substr(start, end - start);
        Require(!segment.empty() && segment != "." && segment != "..",
                "the root is lexically normal", root);
        start = end + 1;
    }
}

void CheckConfined(const std::string& root, const std::string& answer, const std::string& detail) {
    if (answer == root)
        return;
    const std::string prefix = root == "/" ? "/" : root + "/";
    Require(answer.compare(0, prefix.size(), prefix) == 0, "the answer is the root or below it",
            detail + " -> " + answer);
    const std::string_view below = std::string_view(answer).substr(prefix.size());
    Require(!below.empty(), "no trailing separator below the root", detail + " -> " + answer);
    std::size_t start = 0;
    while (start <= below.size()) {
        std::size_t end = below.find('/', start);
        if (end == std::string_view::npos)
            end = below.size();
        const std::string_view segment = below.substr(start, end - start);
        Require(!segment.empty() && segment != "." && segment != "..",
                "below the root every segment is a plain name", detail + " -> " + answer);
        start = end + 1;
    }
}

// <tmp>/root with links of every kind, next to <tmp>/outside; made once per process (the fuzzer
// only opens with O_PATH, so the tree never changes).
struct TLinkTree {
    std::string Top, Root, RealRoot;
    TLinkTree() {
        std::string pattern = "/tmp/nbfuzz-path-XXXXXX";
        Require(::mkdtemp(pattern.data()) != nullptr, "a scratch directory", pattern);
        Top = pattern;
        Root = Top + "/root";
        for (const char* dir : {"/outside", "/outside/dir", "/root", "/root/d1", "/root/d1/d2"})
            ::mkdir((Top + dir).c_str(), 0755);
        const std::pair<const char*, std::string> links[] = {
            {"in", "d1"},
            {"abs_in", Root + "/d1/d2"},
            {"out", "../outside"},
            {"abs_out", Top + "/outside/dir"},
            {"dang", "../outside/new"},
            {"d1/up", "../.."},
            {"d1/d2/top", "../../.."},
            {"d1/d2/home", "../.."},
            {"loop", "loop"},
            {"proc", "/proc/self/cwd"},
            {"root_abs", Root},
        };
        for (const auto& [name, target] : links)
            ::symlink(target.c_str(), (Root + "/" + name).c_str());
        char* real = ::realpath(Root.c_str(), nullptr);
        RealRoot = real ? real : Root;
        std::free(real);
    }
    ~TLinkTree() {
        const std::string command = "rm -rf '" + Top + "'";
        (void)std::system(command.c_str());
    }
};

const TLinkTree& Tree() {
    static const TLinkTree tree;
    return tree;
}

// The descriptor's place is the tree's root or below it.
void CheckBeneath(int fd, const std::string& detail) {
    char buffer[4096];
    const std::string self = "/proc/self/fd/" + std::to_string(fd);
    const ssize_t n = ::readlink(self.c_str(), buffer, sizeof buffer);
    Require(n > 0, "the descriptor has a place", detail);
    const std::string place(buffer, static_cast<std::size_t>(n));
    const std::string& root = Tree().RealRoot;
    Require(place == root || place.compare(0, root.size() + 1, root + "/") == 0,
            "nothing resolves outside the root", detail + " -> " + place);
}

void CheckResolution(const std::string& relative, bool walk, bool followLast) {
    nb::TnbConfinedRoot::SetUseOpenat2(!walk);
    const nb::TnbConfinedRoot root(Tree().Root);
    const std::string detail = "relative=" + relative + (walk ? " (walk)" : " (openat2)");
    try {
        const nb::TnbFd fd = root.Open(relative, O_PATH);
        CheckBeneath(fd.Get(), detail);
    } catch (const nb::EnbFileError&) {
        // Missing, or leading outside: refused is always safe.
    }
    try {
        const auto parent = root.OpenParent(relative, followLast);
        CheckBeneath(parent.Dir.Get(), detail + " parent");
        Require(!parent.Name.empty() && parent.Name != "." && parent.Name != ".." &&
                    parent.Name.find('/') == std::string::npos,
                "the entry is one name in its directory", detail + " name=" + parent.Name);
    } catch (const nb::EnbFileError&) {
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider provider(data, size);
    const auto choice = provider.ConsumeIntegral<std::uint8_t>();
    std::string root =
        (choice & 0x80) ? provider.ConsumeRandomLengthString(64) : std::string(kRoots[choice & 7]);
    const std::string currentDir = provider.ConsumeRandomLengthString(128);
    const std::string path = provider.ConsumeRemainingBytesAsString();

    auto& server = Server();
    auto& session = Session();
    // Either the server's root or an account's own root (which the login normalises).
    if (choice & 0x40) {
        session.SetAccountRootDir(nb::FtpNormalizeRoot(root));
    } else {
        session.SetAccountRootDir(std::string());
        server.SetRootDir(root);
    }
    session.SetCurrentDir(currentDir);

    const std::string effectiveRoot = server.GetRootDir(session);
    CheckNormalRoot(effectiveRoot);
    const std::string detail = "root=" + root + " cwd=" + currentDir + " path=" + path;
    const std::string answer = server.GetFullPath(session, path);
    CheckConfined(effectiveRoot, answer, detail);
    Require(nb::FtpIsInsideRoot(effectiveRoot, answer), "the server's own check agrees", detail);

    // The virtual path of the answer leads back to the same local path.
    const std::string virtualPath = server.GetVirtualPath(session, answer);
    session.SetCurrentDir("/");
    const std::string again = server.GetFullPath(session, virtualPath.empty() ? "/" : virtualPath);
    Require(again == answer, "the virtual path names the same local path",
            detail + " -> " + answer + " -> " + virtualPath + " -> " + again);

    // The handler's resolution beneath a real tree: of what the server makes of the path for a
    // session rooted there, and of the raw path as a host's OnGetFullPath might pass it on.
    session.SetAccountRootDir(Tree().Root);
    session.SetCurrentDir(currentDir);
    std::string relative;
    const nb::TnbConfinedRoot tree(Tree().Root);
    const std::string local = server.GetFullPath(session, path);
    Require(tree.RelativePath(local, relative), "the server's path is below the tree's root",
            local);
    CheckResolution(relative, (choice & 0x20) != 0, (choice & 0x10) != 0);
    CheckResolution(path, (choice & 0x20) == 0, (choice & 0x10) == 0);
    nb::TnbConfinedRoot::SetUseOpenat2(true);
    return 0;
}
