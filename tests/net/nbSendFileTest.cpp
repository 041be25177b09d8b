// Downloads and uploads of files over a plain stream: the zero-copy paths must keep every
// contract of the copy path (bytes, positions, progress, limits, aborts, errors).
#include <gtest/gtest.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <future>
#include <memory>
#include <string>
#include <thread>

#include "net/nbConnection.h"
#include "net/nbSocketUtils.h"
#include "tests/net/nbNetTestPeer.h"
#include "util/nbFileStream.h"
#include "util/nbStream.h"

namespace nb {
namespace {

using test::Pattern;
using test::TTestPeer;

std::unique_ptr<TnbTcpServerConnection> MakeServer() {
    auto connection = std::make_unique<TnbTcpServerConnection>();
    connection->SetNetworkStream(std::make_unique<TnbNetworkStream>());
    connection->SetLocalBinding("127.0.0.1");
    connection->SetNoMessagePump(true);
    connection->SetTimeOut(5000);
    return connection;
}

struct TAcceptedPair {
    std::unique_ptr<TnbTcpServerConnection> Server = MakeServer();
    TTestPeer Peer;

    // Small buffers on both ends make the socket block often, so sends come back short and
    // would-block answers are met many times in one download.
    explicit TAcceptedPair(int peerReceiveBuffer = 0, int serverSendBuffer = 0) {
        const int port = Server->Listen(0);
        auto connected = std::async(std::launch::async,
                                    [&] { return Peer.Connect(port, nullptr, peerReceiveBuffer); });
        Server->Accept();
        EXPECT_TRUE(connected.get());
        EXPECT_TRUE(Server->Active());
        if (serverSendBuffer > 0) {
            ::setsockopt(Server->Socket().Handle(), SOL_SOCKET, SO_SNDBUF, &serverSendBuffer,
                         sizeof serverSendBuffer);
        }
    }
};

// A file with the given bytes, removed at the end of the test.
class TTempFile {
public:
    explicit TTempFile(const std::string& content) {
        static std::atomic<int> counter{0};
        path_ = ::testing::TempDir() + "nbSendFile-" + std::to_string(::getpid()) + "-" +
                std::to_string(counter.fetch_add(1)) + ".bin";
        std::ofstream out(path_, std::ios::binary);
        out.write(content.data(), static_cast<std::streamsize>(content.size()));
    }
    ~TTempFile() { std::remove(path_.c_str()); }
    TTempFile(const TTempFile&) = delete;
    TTempFile& operator=(const TTempFile&) = delete;
    const std::string& Path() const { return path_; }

private:
    std::string path_;
};

int ErrorCodeOf(const std::function<void()>& action) {
    try {
        action();
    } catch (const EnbSocketError& e) {
        return e.ErrorCode;
    }
    return 0;
}

// Reads count bytes in small pieces with short pauses: a client slower than the server.
std::string ReceiveSlowly(TTestPeer& peer, std::size_t count) {
    std::string result;
    int pieces = 0;
    while (result.size() < count) {
        const std::string piece = peer.Receive(std::min<std::size_t>(4096, count - result.size()));
        if (piece.empty())
            break;
        result += piece;
        if (++pieces % 64 == 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return result;
}

bool WaitWritable(int handle) {
    pollfd item{handle, POLLOUT, 0};
    return ::poll(&item, 1, 5000) == 1;
}

TEST(SendFileTest, SlowPeerGetsTheWholeFileWithProgressForEveryByte) {
    TAcceptedPair pair(16 * 1024, 32 * 1024);
    auto& server = *pair.Server;
    auto& stream = server.GetNetworkStream();
    const std::string content = Pattern(3 * 1024 * 1024 + 777);
    const auto size = static_cast<std::int64_t>(content.size());
    TTempFile temp(content);
    TnbFileStream file(temp.Path(), TnbFileMode::fmOpenRead);
    std::int64_t progress = 0;
    int reports = 0;
    server.OnProgress = [&](TnbConnection&, std::int64_t proceed, std::int64_t) {
        progress = proceed;
        ++reports;
    };

    // Nobody reads yet: part of the file is taken, then the send would block, leaving the
    // position at the first unsent byte.
    EXPECT_FALSE(stream.Write(&file));
    const std::int64_t taken = file.GetPosition();
    EXPECT_GT(taken, 0);
    EXPECT_LT(taken, size);
    EXPECT_EQ(stream.BytesProceed(), taken);
    EXPECT_EQ(progress, taken);

    // The connection waits for writability and resumes until the end.
    auto reader =
        std::async(std::launch::async, [&] { return ReceiveSlowly(pair.Peer, content.size()); });
    EXPECT_TRUE(server.WriteData(&file));
    EXPECT_EQ(file.GetPosition(), size);
    EXPECT_TRUE(reader.get() == content);
    EXPECT_EQ(stream.BytesProceed(), size);
    EXPECT_EQ(progress, size);
    EXPECT_GT(reports, 2);
}

TEST(SendFileTest, CountAndStartOffsetAreRespected) {
    TAcceptedPair pair(16 * 1024, 32 * 1024);
    auto& server = *pair.Server;
    auto& stream = server.GetNetworkStream();
    const std::string content = Pattern(2 * 1024 * 1024 + 3);
    TTempFile temp(content);
    TnbFileStream file(temp.Path(), TnbFileMode::fmOpenRead);
    const std::int64_t offset = 100003;
    const std::int64_t count = 1024 * 1024 + 5001;  // more than one zero-copy chunk
    file.SetPosition(offset);

    auto reader = std::async(std::launch::async, [&] {
        return ReceiveSlowly(pair.Peer, static_cast<std::size_t>(count));
    });
    int passes = 0;
    while (!stream.WriteCount(&file, count - (file.GetPosition() - offset)) && passes < 100000) {
        ++passes;
        ASSERT_TRUE(WaitWritable(server.Socket().Handle()));
    }
    EXPECT_EQ(file.GetPosition(), offset + count);
    EXPECT_EQ(stream.BytesProceed(), count);
    EXPECT_TRUE(reader.get() ==
                content.substr(static_cast<std::size_t>(offset), static_cast<std::size_t>(count)));

    // Nothing past the count went out: the next bytes the peer sees are these.
    TnbMemoryStream marker("END");
    EXPECT_TRUE(server.WriteData(&marker));
    EXPECT_EQ(pair.Peer.Receive(3), "END");
}

TEST(SendFileTest, ReadLimitCapsTheChunks) {
    TAcceptedPair pair;
    auto& server = *pair.Server;
    auto& stream = server.GetNetworkStream();
    const std::string content = Pattern(64 * 1024);
    TTempFile temp(content);
    TnbFileStream file(temp.Path(), TnbFileMode::fmOpenRead);
    server.SetBytesToProceed(10000);

    auto reader = std::async(std::launch::async, [&] { return pair.Peer.Receive(10000); });
    EXPECT_TRUE(stream.Write(&file));
    EXPECT_EQ(file.GetPosition(), 10000);
    EXPECT_EQ(stream.BytesProceed(), 10000);
    EXPECT_TRUE(reader.get() == content.substr(0, 10000));
}

TEST(SendFileTest, AbortStopsBetweenChunksAtTheFirstUnsentByte) {
    TAcceptedPair pair;
    auto& server = *pair.Server;
    auto& stream = server.GetNetworkStream();
    const std::string content = Pattern(4 * 1024 * 1024);
    TTempFile temp(content);
    TnbFileStream file(temp.Path(), TnbFileMode::fmOpenRead);
    int reports = 0;
    server.OnProgress = [&](TnbConnection& sender, std::int64_t, std::int64_t) {
        ++reports;
        sender.Abort();
    };

    EXPECT_TRUE(stream.Write(&file));
    EXPECT_EQ(reports, 1);
    const std::int64_t sent = file.GetPosition();
    EXPECT_GT(sent, 0);
    EXPECT_LT(sent, static_cast<std::int64_t>(content.size()));
    EXPECT_EQ(stream.BytesProceed(), sent);
    EXPECT_TRUE(pair.Peer.Receive(static_cast<std::size_t>(sent)) ==
                content.substr(0, static_cast<std::size_t>(sent)));
}

TEST(SendFileTest, VanishedPeerIsAResetAndNoSignal) {
    TAcceptedPair pair(16 * 1024, 32 * 1024);
    pair.Peer.Close();
    const std::string content = Pattern(8 * 1024 * 1024);
    TTempFile temp(content);
    TnbFileStream file(temp.Path(), TnbFileMode::fmOpenRead);

    // A send to a reset peer raises SIGPIPE unless suppressed; the test process would die.
    EXPECT_EQ(ErrorCodeOf([&] { pair.Server->WriteData(&file); }), WSAECONNRESET);
    EXPECT_LT(file.GetPosition(), static_cast<std::int64_t>(content.size()));
    EXPECT_FALSE(pair.Server->Active());

    // The signal mask is as it was and no SIGPIPE is left waiting.
    sigset_t mask;
    sigset_t pending;
    pthread_sigmask(SIG_BLOCK, nullptr, &mask);
    sigpending(&pending);
    EXPECT_EQ(sigismember(&mask, SIGPIPE), 0);
    EXPECT_EQ(sigismember(&pending, SIGPIPE), 0);
}

TEST(SendFileTest, ThrottledConnectionStillSendsTheFileExactly) {
    TAcceptedPair pair;
    auto& server = *pair.Server;
    const std::string content = Pattern(40 * 1024);
    TTempFile temp(content);
    TnbFileStream file(temp.Path(), TnbFileMode::fmOpenRead);
    server.SetBitsPerSec(80 * 1000 * 1000);  // 10 MB/s: 4 ms for this file

    auto reader = std::async(std::launch::async, [&] { return pair.Peer.Receive(content.size()); });
    EXPECT_TRUE(server.WriteData(&file));
    EXPECT_TRUE(reader.get() == content);
    EXPECT_EQ(server.GetNetworkStream().BytesProceed(), static_cast<std::int64_t>(content.size()));
}

std::string FileContent(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

TEST(ReceiveFileTest, UploadsReachTheFileExactly) {
    struct TCase {
        const char* Name;
        std::size_t Size;
        std::int64_t Limit;  // BytesToProceed; -1 = until the peer closes
        std::string Head;    // written through the stream before the receive
        int BitsPerSec;
    };
    const TCase cases[] = {
        {"several chunks after collected bytes", 3 * 1024 * 1024 + 777, -1, "HEAD", 0},
        {"the read limit ends it", 64 * 1024, 10000, "", 0},
        {"throttled: the copy path", 40 * 1024, -1, "x", 80 * 1000 * 1000},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        TAcceptedPair pair;
        auto& server = *pair.Server;
        server.SetReadUntilClose(true);
        server.SetBytesToProceed(c.Limit);
        server.SetBitsPerSec(c.BitsPerSec);
        std::int64_t progress = 0;
        server.OnProgress = [&](TnbConnection&, std::int64_t proceed, std::int64_t) {
            progress = proceed;
        };
        TTempFile temp("old content, emptied by the create");
        const std::string content = Pattern(c.Size);
        {
            TnbFileStream file(temp.Path(), TnbFileMode::fmCreate);
            file.Write(c.Head.data(), static_cast<std::int64_t>(c.Head.size()));
            auto sender = std::async(std::launch::async, [&] {
                const bool sent = pair.Peer.SendAll(content);
                pair.Peer.ShutdownWrite();
                return sent;
            });
            EXPECT_TRUE(server.ReadData(&file));
            EXPECT_TRUE(sender.get());
            file.Close();
        }
        const auto expected = c.Limit < 0 ? c.Size : static_cast<std::size_t>(c.Limit);
        EXPECT_EQ(progress, static_cast<std::int64_t>(expected));
        EXPECT_EQ(server.GetNetworkStream().BytesProceed(), static_cast<std::int64_t>(expected));
        EXPECT_TRUE(FileContent(temp.Path()) == c.Head + content.substr(0, expected));
    }
}

TEST(ReceiveFileTest, AFileThatRefusesBytesFailsTheReceive) {
    TAcceptedPair pair;
    auto& server = *pair.Server;
    server.SetReadUntilClose(true);
    TTempFile temp("");
    const std::string content = Pattern(3 * 1024 * 1024);
    auto sender = std::async(std::launch::async, [&] {
        pair.Peer.SendAll(content);
        pair.Peer.ShutdownWrite();
    });
    // A file size limit makes the file refuse bytes past it (EFBIG), as a full disk would.
    rlimit saved{};
    ::getrlimit(RLIMIT_FSIZE, &saved);
    const auto savedHandler = ::signal(SIGXFSZ, SIG_IGN);
    rlimit small = saved;
    small.rlim_cur = 1024 * 1024 + 100;
    ::setrlimit(RLIMIT_FSIZE, &small);
    int error = 0;
    try {
        TnbFileStream file(temp.Path(), TnbFileMode::fmCreate);
        server.ReadData(&file);
        file.Close();
    } catch (const EnbFileError& e) {
        error = e.ErrorCode;
    }
    ::setrlimit(RLIMIT_FSIZE, &saved);
    ::signal(SIGXFSZ, savedHandler);
    pair.Server->Close(false);
    sender.get();
    EXPECT_EQ(error, EFBIG);
}

}  // namespace
}  // namespace nb
