#include "net/nbConnection.h"

#include <gtest/gtest.h>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <chrono>
#include <future>
#include <thread>

#include "net/nbIpAddress.h"
#include "net/nbSocketUtils.h"
#include "tests/net/nbNetTestPeer.h"
#include "util/nbStream.h"

namespace nb {
namespace {

using test::Pattern;
using test::TTestPeer;
using Clock = std::chrono::steady_clock;

bool NoDelay(TnbConnection& connection) {
    int value = 0;
    socklen_t length = sizeof value;
    return ::getsockopt(connection.Socket().Handle(), IPPROTO_TCP, TCP_NODELAY, &value, &length) ==
               0 &&
           value != 0;
}

long long MsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

template <typename T>
std::unique_ptr<T> MakeConnection() {
    auto connection = std::make_unique<T>();
    connection->SetNetworkStream(std::make_unique<TnbNetworkStream>());
    connection->SetLocalBinding("127.0.0.1");
    connection->SetNoMessagePump(true);
    connection->SetTimeOut(5000);
    return connection;
}

int ErrorCodeOf(const std::function<void()>& action) {
    try {
        action();
    } catch (const EnbSocketError& e) {
        return e.ErrorCode;
    }
    return 0;
}

// A server connection with one accepted test peer.
struct TAcceptedPair {
    std::unique_ptr<TnbTcpServerConnection> Server = MakeConnection<TnbTcpServerConnection>();
    TTestPeer Peer;

    explicit TAcceptedPair(int receiveBuffer = 0) {
        const int port = Server->Listen(0);
        auto connected = std::async(std::launch::async,
                                    [&] { return Peer.Connect(port, nullptr, receiveBuffer); });
        Server->Accept();
        EXPECT_TRUE(connected.get());
        EXPECT_TRUE(Server->Active());
    }
};

TEST(TnbTcpServerConnectionTest, ListenOnPortZeroAnswersTheChosenPort) {
    auto server = MakeConnection<TnbTcpServerConnection>();
    const int port = server->Listen(0);
    EXPECT_GT(port, 0);
    EXPECT_EQ(server->GetNetworkStream().Port(), port);
    EXPECT_FALSE(server->Active());
}

TEST(TnbTcpServerConnectionTest, BindRangeSkipsTakenPortsAndRefusesBadRanges) {
    auto first = MakeConnection<TnbTcpServerConnection>();
    const int taken = first->Listen(0);
    auto second = MakeConnection<TnbTcpServerConnection>();
    const int end = std::min(taken + 20, 65535);
    const int bound = second->Listen(taken, end);
    EXPECT_GT(bound, taken);
    EXPECT_LE(bound, end);

    auto third = MakeConnection<TnbTcpServerConnection>();
    // Every port of the range taken: the error of the last one.
    EXPECT_EQ(ErrorCodeOf([&] { third->Listen(taken, taken); }), WSAEADDRINUSE);
    EXPECT_EQ(third->Socket().Handle(), nbInvalidSocket);  // nothing left behind
    EXPECT_EQ(ErrorCodeOf([&] { third->Listen(0, 10); }), nbErrInvalidPort);
    EXPECT_EQ(ErrorCodeOf([&] { third->Listen(20, 10); }), nbErrInvalidPort);
    EXPECT_EQ(ErrorCodeOf([&] { third->Listen(60000, 65536); }), nbErrInvalidPort);
    EXPECT_EQ(ErrorCodeOf([&] { third->Listen(65536 + 21); }), nbErrInvalidPort);
}

TEST(TnbTcpServerConnectionTest, UseIpV6WithoutIPv6IsAnInvalidFamily) {
    SetIPv6AvailableOverride(false);
    auto server = MakeConnection<TnbTcpServerConnection>();
    server->SetLocalBinding("");
    server->SetUseIpV6(true);
    const int code = ErrorCodeOf([&] { server->Listen(0); });
    SetIPv6AvailableOverride(std::nullopt);
    EXPECT_EQ(code, nbErrInvalidFamily);
}

TEST(TnbTcpServerConnectionTest, AcceptTimesOutAndReleasesTheListeningHandle) {
    auto server = MakeConnection<TnbTcpServerConnection>();
    server->SetTimeOut(50);
    server->SetReadUntilClose(true);
    server->Listen(0);
    try {
        server->Accept();
        FAIL() << "no time-out";
    } catch (const EnbSocketError& e) {
        EXPECT_EQ(e.ErrorCode, nbErrTimeout);
        EXPECT_STREQ(e.what(), "Timeout error occured");
    }
    EXPECT_FALSE(server->Active());
    EXPECT_EQ(server->Socket().Handle(), nbInvalidSocket);
    EXPECT_TRUE(server->ReadUntilClose());  // restored on the failing path too
}

TEST(TnbTcpServerConnectionTest, AbortEndsAcceptWithoutError) {
    auto server = MakeConnection<TnbTcpServerConnection>();
    server->SetTimeOut(10000);
    server->Listen(0);
    std::thread aborter([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        server->Abort();
    });
    const auto start = Clock::now();
    EXPECT_NO_THROW(server->Accept());
    aborter.join();
    EXPECT_LT(MsSince(start), 5000);
    EXPECT_TRUE(server->IsAborted());
    EXPECT_FALSE(server->Active());
    EXPECT_EQ(server->Socket().Handle(), nbInvalidSocket);
}

TEST(TnbTcpServerConnectionTest, AcceptTurnsAwayPeersFromOtherAddresses) {
    auto server = MakeConnection<TnbTcpServerConnection>();
    const int port = server->Listen(0);
    TTestPeer intruder;
    TTestPeer client;
    auto peers = std::async(std::launch::async, [&] {
        const bool intruded = intruder.Connect(port, "127.0.0.1");
        // The intruder is closed by the server without a byte.
        const std::string seen = intruder.ReceiveAll();
        const bool connected = client.Connect(port, "127.0.0.2");
        return intruded && seen.empty() && connected;
    });
    server->Accept("127.0.0.2");
    EXPECT_TRUE(peers.get());
    EXPECT_TRUE(server->Active());
    EXPECT_EQ(server->PeerIP(), "127.0.0.2");
}

TEST(TnbTcpConnectionTest, UploadIsReadUntilCloseAndKeptOpen) {
    TAcceptedPair pair;
    auto& server = *pair.Server;
    server.SetBatchSize(1000);
    server.SetReadUntilClose(true);
    server.SetKeepOpenOnPeerClose(true);
    std::vector<std::int64_t> progress;
    server.OnProgress = [&](TnbConnection&, std::int64_t proceed, std::int64_t) {
        progress.push_back(proceed);
    };
    const std::string upload = Pattern(5500);
    std::thread sender([&] {
        pair.Peer.SendAll(upload);
        pair.Peer.Close();
    });
    TnbMemoryStream received;
    server.ReadData(&received);
    sender.join();
    EXPECT_EQ(received.ToString(), upload);
    EXPECT_TRUE(server.ClosedByPeer());
    EXPECT_TRUE(server.IsClosed());
    EXPECT_NE(server.Socket().Handle(), nbInvalidSocket);  // the owner closes it
    ASSERT_GE(progress.size(), 6u);                        // batches of at most 1000 bytes
    for (std::size_t i = 1; i < progress.size(); ++i) {
        EXPECT_LE(progress[i] - progress[i - 1], 1000);
    }
    EXPECT_EQ(progress.back(), 5500);
    server.Close(true);
    EXPECT_EQ(server.Socket().Handle(), nbInvalidSocket);
}

TEST(TnbTcpConnectionTest, PeerCloseWithoutKeepOpenClosesTheConnection) {
    TAcceptedPair pair;
    pair.Server->SetReadUntilClose(true);
    pair.Peer.SendAll("abc");
    pair.Peer.Close();
    TnbMemoryStream received;
    pair.Server->ReadData(&received);
    EXPECT_EQ(received.ToString(), "abc");
    EXPECT_FALSE(pair.Server->Active());
    EXPECT_EQ(pair.Server->Socket().Handle(), nbInvalidSocket);
}

TEST(TnbTcpConnectionTest, SilentPeerTimesTheReadOut) {
    TAcceptedPair pair;
    pair.Server->SetTimeOut(50);
    TnbMemoryStream received;
    EXPECT_EQ(ErrorCodeOf([&] { pair.Server->ReadData(&received); }), nbErrTimeout);
    EXPECT_TRUE(pair.Server->Active());
}

TEST(TnbTcpConnectionTest, ReadLimitReachedExactlyIsNoPeerClose) {
    TAcceptedPair pair;
    auto& server = *pair.Server;
    server.SetReadUntilClose(true);
    server.SetBytesToProceed(100);
    pair.Peer.SendAll(Pattern(300));
    TnbMemoryStream received;
    server.ReadData(&received);
    EXPECT_EQ(received.GetSize(), 100);
    EXPECT_FALSE(server.GetNetworkStream().NeedClose());
    EXPECT_FALSE(server.ClosedByPeer());
    EXPECT_TRUE(server.Active());
}

TEST(TnbNetworkStreamTest, ShortSendsResumeAtTheFirstUnsentByte) {
    TAcceptedPair pair(64 * 1024);
    auto& server = *pair.Server;
    auto& stream = server.GetNetworkStream();
    const std::string payload = Pattern(8 * 1024 * 1024);
    TnbMemoryStream source(payload);

    // The peer reads nothing yet: the socket takes part of the data, then would block.
    EXPECT_FALSE(stream.Write(&source));
    EXPECT_GT(source.GetPosition(), 0);
    EXPECT_LT(source.GetPosition(), source.GetSize());
    EXPECT_EQ(stream.BytesProceed(), source.GetPosition());

    // Data from the peer during the write is not lost: the next read delivers it.
    pair.Peer.SendAll("hello");
    auto reader = std::async(std::launch::async, [&] { return pair.Peer.Receive(payload.size()); });
    EXPECT_TRUE(server.WriteData(&source));
    EXPECT_EQ(source.GetPosition(), source.GetSize());
    EXPECT_TRUE(reader.get() == payload);

    TnbMemoryStream received;
    server.ReadData(&received);
    EXPECT_EQ(received.ToString(), "hello");
}

TEST(TnbNetworkStreamTest, NothingToSendAndNothingToReadAreNoErrors) {
    TAcceptedPair pair;
    auto& stream = pair.Server->GetNetworkStream();
    TnbMemoryStream empty;
    EXPECT_TRUE(stream.Write(&empty));
    TnbMemoryStream some("abc");
    EXPECT_TRUE(stream.WriteCount(&some, 0));
    EXPECT_EQ(some.GetPosition(), 0);
    EXPECT_TRUE(stream.Write(nullptr));
    TnbMemoryStream received;
    EXPECT_FALSE(stream.Read(&received));  // nothing waiting: would block
    EXPECT_FALSE(stream.NeedClose());
    pair.Server->SetBatchSize(0);
    EXPECT_EQ(ErrorCodeOf([&] { stream.Write(&some); }), nbErrInvalidBatchSize);
}

TEST(TnbTcpConnectionTest, PeerClosingDuringAWriteWithUnsentBytesIsAnError) {
    TAcceptedPair pair(16 * 1024);
    pair.Peer.Close();
    TnbMemoryStream source(Pattern(8 * 1024 * 1024));
    EXPECT_EQ(ErrorCodeOf([&] { pair.Server->WriteData(&source); }), WSAECONNRESET);
    EXPECT_LT(source.GetPosition(), source.GetSize());
    EXPECT_FALSE(pair.Server->Active());
}

TEST(TnbTcpConnectionTest, ReadAndWriteOnAnInactiveConnectionAreNotASocket) {
    auto connection = MakeConnection<TnbTcpClientConnection>();
    TnbMemoryStream data("x");
    EXPECT_EQ(ErrorCodeOf([&] { connection->WriteData(&data); }), WSAENOTSOCK);
    EXPECT_EQ(ErrorCodeOf([&] { connection->ReadData(&data); }), WSAENOTSOCK);
    TnbTcpClientConnection bare;
    EXPECT_EQ(ErrorCodeOf([&] { bare.ReadData(&data); }), nbErrNoNetworkStream);
}

TEST(TnbTcpClientConnectionTest, OpensAndTalksToAServerConnection) {
    auto server = MakeConnection<TnbTcpServerConnection>();
    const int port = server->Listen(0);
    server->SetReadUntilClose(true);
    server->SetKeepOpenOnPeerClose(true);
    auto client = MakeConnection<TnbTcpClientConnection>();
    bool clientNoDelay = false;
    auto opened = std::async(std::launch::async, [&] {
        client->Open("127.0.0.1", port);
        // A short reply or batch must not wait for the peer's delayed ACK (about 40 ms).
        clientNoDelay = NoDelay(*client);
        client->WriteString("LIST line\r\n", "utf-8");
        client->Close(true);
    });
    server->Accept("127.0.0.1");
    EXPECT_TRUE(NoDelay(*server));
    opened.get();
    EXPECT_TRUE(clientNoDelay);
    TnbMemoryStream received;
    server->ReadData(&received);
    EXPECT_EQ(received.ToString(), "LIST line\r\n");
    EXPECT_EQ(server->PeerIP(), "127.0.0.1");
    EXPECT_EQ(server->Port(), port);
    EXPECT_TRUE(server->ClosedByPeer());
}

TEST(TnbTcpClientConnectionTest, OpenFailuresCarryTheirCodes) {
    auto client = MakeConnection<TnbTcpClientConnection>();
    EXPECT_EQ(ErrorCodeOf([&] { client->Open("localhost", 21); }), nbErrInvalidHost);
    EXPECT_EQ(ErrorCodeOf([&] { client->Open("127.0.0.1", 65536); }), nbErrInvalidPort);
    EXPECT_EQ(ErrorCodeOf([&] { client->Open("127.0.0.1", test::UnusedLoopbackPort()); }),
              WSAECONNREFUSED);
    EXPECT_FALSE(client->Active());
    EXPECT_EQ(client->Socket().Handle(), nbInvalidSocket);
}

TEST(ThrottleTest, PausesByTheBytesActuallyMoved) {
    TAcceptedPair pair;
    auto& server = *pair.Server;
    // 1000 bytes per second with batches of 1000: 100 moved bytes are worth 100 ms, not the
    // whole batch's second.
    server.SetBitsPerSec(8000);
    server.SetBatchSize(1000);
    server.SetReadUntilClose(true);
    pair.Peer.SendAll(Pattern(100));
    pair.Peer.Close();
    TnbMemoryStream received;
    const auto start = Clock::now();
    server.ReadData(&received);
    const auto elapsed = MsSince(start);
    EXPECT_EQ(received.GetSize(), 100);
    EXPECT_GE(elapsed, 90);
    EXPECT_LT(elapsed, 900);
}

TEST(ThrottleTest, LongPauseIsComputedIn64BitsAndWakesOnAbort) {
    auto connection = MakeConnection<TnbTcpClientConnection>();
    connection->SetBitsPerSec(8);
    auto& stream = connection->GetNetworkStream();
    std::thread aborter([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        connection->Abort();
    });
    const auto start = Clock::now();
    // 600000 bytes at 8 bits per second: about a week, and 4.8e9 ms overflow 32 bits.
    stream.Throttle(600000);
    const auto elapsed = MsSince(start);
    aborter.join();
    EXPECT_GE(elapsed, 40);
    EXPECT_LT(elapsed, 5000);
}

TEST(ThrottleTest, OneBatchAtTheConfiguredRate) {
    auto connection = MakeConnection<TnbTcpClientConnection>();
    connection->SetBitsPerSec(80000);
    const auto start = Clock::now();
    connection->GetNetworkStream().Throttle(1000);  // 8000 bits at 80000 bits/s
    EXPECT_GE(MsSince(start), 95);
}

}  // namespace
}  // namespace nb
