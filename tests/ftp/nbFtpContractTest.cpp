// The contracts host applications rely on: a file system served through the server's events
// alone (written to the documented event contracts, not to the local file handler), and the
// links between components that may be destroyed in either order.
#include <gtest/gtest.h>

#include <map>
#include <mutex>
#include <type_traits>

#include "nbFtpTestClient.h"
#include "server/nbServerGuard.h"

namespace nb {
namespace {

using test::TRunningServer;

// The documented OnPutFile signature: a host handler written to it must bind.
void PutFileAsDocumented(TnbFtpServer&, TnbFtpCommandConnection&, const std::string&, bool,
                         std::unique_ptr<TnbStream>&, bool&, std::string&) {}
static_assert(std::is_assignable_v<TnbFtpPutFileEvent&, decltype(&PutFileAsDocumented)>);

// An in-memory tree below "/mem", answering OnGetFileList as a directory listing does: the
// entries of APathName that match AFileMask, hidden ones only when asked for, a missing
// directory giving an empty list. It knows nothing of single-entry lookups.
class TMemoryHost {
public:
    struct TEntry {
        bool isDirectory = false;
        std::string content;
    };
    struct TCall {
        std::string path, mask;
        bool hidden = false;
    };

    explicit TMemoryHost(TnbFtpServer& server) {
        entries_["/mem"] = {true, ""};
        server.OnGetFileList = [this](TnbFtpServer&, TnbFtpCommandConnection&,
                                      const std::string& path, const std::string& mask,
                                      bool hidden, TnbFtpFileInfoList& list, bool&,
                                      std::string&) { List(path, mask, hidden, list); };
        server.OnPutFile = [this](TnbFtpServer&, TnbFtpCommandConnection&,
                                  const std::string& name, bool,
                                  std::unique_ptr<TnbStream>& destination, bool&, std::string&) {
            destination = std::make_unique<TUpload>(*this, name);
        };
    }

    void Add(const std::string& path, bool isDirectory, std::string content = "") {
        std::lock_guard lock(lock_);
        entries_[path] = {isDirectory, std::move(content)};
    }
    std::string Content(const std::string& path) {
        std::lock_guard lock(lock_);
        auto it = entries_.find(path);
        return it == entries_.end() ? "<missing>" : it->second.content;
    }
    std::vector<TCall> TakeCalls() {
        std::lock_guard lock(lock_);
        return std::exchange(calls_, {});
    }

private:
    // Commits its bytes to the tree when the server frees it after the transfer.
    class TUpload : public TnbMemoryStream {
    public:
        TUpload(TMemoryHost& host, std::string name) : host_(host), name_(std::move(name)) {}
        ~TUpload() override { host_.Add(name_, false, ToString()); }

    private:
        TMemoryHost& host_;
        std::string name_;
    };

    void List(const std::string& path, const std::string& mask, bool hidden,
              TnbFtpFileInfoList& list) {
        std::lock_guard lock(lock_);
        calls_.push_back({path, mask, hidden});
        std::string dir = path;
        if (!dir.empty() && dir.back() == '/')
            dir.pop_back();
        auto self = entries_.find(dir);
        if (self == entries_.end())
            return;
        if (!self->second.isDirectory) {
            Fill(list.Add(), dir.substr(dir.rfind('/') + 1), self->second);
            return;
        }
        for (const auto& [name, entry] : entries_) {
            if (name.size() <= dir.size() + 1 || name.compare(0, dir.size() + 1, dir + "/") != 0)
                continue;
            const std::string child = name.substr(dir.size() + 1);
            if (child.find('/') != std::string::npos || (!hidden && child.front() == '.'))
                continue;
            if (MatchesFileMask(child, mask))
                Fill(list.Add(), child, entry);
        }
    }
    static void Fill(TnbFtpFileInfo& info, const std::string& name, const TEntry& entry) {
        info.FileName = name;
        info.IsDirectory = entry.isDirectory;
        info.Size = static_cast<std::int64_t>(entry.content.size());
        info.ModifiedTime = 1706745599;  // 2024-01-31 23:59:59 UTC
    }

    std::mutex lock_;
    std::map<std::string, TEntry> entries_;
    std::vector<TCall> calls_;
};

TEST(FtpHostContract, LookupsAskTheDirectoryWithTheNameAsMask) {
    TRunningServer run("/mem", false);
    TMemoryHost host(run.server);
    host.Add("/mem/docs", true);
    host.Add("/mem/docs/a.txt", false, "hello");
    host.Add("/mem/docs/FTP0.TMP", false, "keep");
    run.Start();
    auto c = run.LoggedIn();
    ASSERT_TRUE(c);
    struct TRow {
        const char* command;
        const char* reply;
        const char* path;  // the lookup's APathName and AFileMask
        const char* mask;
    };
    const TRow rows[] = {
        {"CWD docs", "250 CWD command successful.", "/mem/", "docs"},
        {"SIZE a.txt", "213 5", "/mem/docs/", "a.txt"},
        {"MDTM /docs/a.txt", "213 20240131235959", "/mem/docs/", "a.txt"},
        {"RNFR a.txt", "350 File exists, ready for destination name", "/mem/docs/", "a.txt"},
        {"SIZE missing", "550 missing: The system cannot find the file specified.", "/mem/docs/",
         "missing"},
        {"SIZE /docs", "550 /docs: The system cannot find the file specified.", "/mem/", "docs"},
        {"CWD a.txt", "550 a.txt: No such file or directory.", "/mem/docs/", "a.txt"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.command);
        EXPECT_EQ(c->Cmd(row.command), row.reply);
        const auto calls = host.TakeCalls();
        ASSERT_EQ(calls.size(), 1u);
        EXPECT_EQ(calls[0].path, row.path);
        EXPECT_EQ(calls[0].mask, row.mask);
        EXPECT_FALSE(calls[0].hidden);
    }
    // STOU finds FTP0.TMP taken and, with only OnPutFile bound, stores under the next name.
    std::string preliminary;
    EXPECT_EQ(c->PassivePut("STOU", "new data", &preliminary), "226 Transfer complete.");
    EXPECT_EQ(preliminary, "150 Opening data connection for FTP1.TMP.");
    EXPECT_EQ(host.Content("/mem/docs/FTP0.TMP"), "keep");
    EXPECT_EQ(host.Content("/mem/docs/FTP1.TMP"), "new data");
}

TEST(FtpHostContract, StouCreatesExclusivelyThroughOnPutUniqueFile) {
    TRunningServer run("/mem", false);
    TMemoryHost host(run.server);
    std::vector<std::string> unique;
    run.server.OnPutUniqueFile = [&](TnbFtpServer&, TnbFtpCommandConnection&,
                                     const std::string& name, std::unique_ptr<TnbStream>&,
                                     bool& ok, std::string& message) {
        unique.push_back(name);
        ok = false;
        message = "File exists";  // another client took the name meanwhile
    };
    run.Start();
    auto c = run.LoggedIn();
    ASSERT_TRUE(c);
    EXPECT_EQ(c->PassivePut("STOU", "x"), "550 FTP0.TMP: File exists");
    EXPECT_EQ(unique, std::vector<std::string>{"/mem/FTP0.TMP"});
    EXPECT_EQ(host.Content("/mem/FTP0.TMP"), "<missing>");
}

// Each side of a link may be destroyed first; the other forgets it (ASan sees any use after).
TEST(ComponentLinks, EitherSideMayGoFirst) {
    enum class TOrder { GuardFirst, ServerBeforeGuard, ServerFirst, HandlerFirst };
    for (auto order : {TOrder::GuardFirst, TOrder::ServerBeforeGuard, TOrder::ServerFirst,
                       TOrder::HandlerFirst}) {
        SCOPED_TRACE(static_cast<int>(order));
        auto guard = std::make_unique<TnbServerGuard>();
        auto handler = std::make_unique<TnbFtpFileHandler>();
        auto server = std::make_unique<TnbFtpServer>();
        server->SetGuard(guard.get());
        handler->SetServer(server.get());
        switch (order) {
        case TOrder::GuardFirst:
            guard.reset();
            EXPECT_EQ(server->Guard(), nullptr);
            EXPECT_EQ(handler->Server(), server.get());
            break;
        case TOrder::ServerBeforeGuard:
            server.reset();
            guard.reset();
            break;
        case TOrder::ServerFirst:
            server.reset();
            EXPECT_EQ(handler->Server(), nullptr);
            break;
        case TOrder::HandlerFirst:
            handler.reset();
            EXPECT_FALSE(server->OnGetFileList);
            EXPECT_EQ(server->Guard(), guard.get());
            break;
        }
    }
}

TEST(ComponentLinks, AServerWhoseGuardWentStillAdmitsClients) {
    test::TTempDir dir;
    auto guard = std::make_unique<TnbServerGuard>();
    TRunningServer run(dir.Path());
    run.server.SetGuard(guard.get());
    guard.reset();
    run.Start();
    auto c = run.LoggedIn();
    ASSERT_TRUE(c);
    EXPECT_EQ(run.greeting, "220 Norbit Internet Suite FTP service");
}

}  // namespace
}  // namespace nb
