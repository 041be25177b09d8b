// Path confinement: for any root, current directory and client path, the local path the FTP
// server resolves is the session's root or lies below it, byte for byte, and is lexically
// normal below the root (no empty, "." or ".." segment the file system could still climb with).
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <memory>
#include <string>

#include "ftp/nbFtpPath.h"
#include "ftp/nbFtpServer.h"
#include "fuzz/nbFuzzSupport.h"

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
    return 0;
}
