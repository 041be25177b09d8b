// The TLS network stream over loopback sockets: blocking connections on both ends, each with a
// TLS stream, exchanging bytes through small socket buffers.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <chrono>
#include <cstdio>
#include <future>
#include <string>

#include "net/nbConnection.h"
#include "net/nbSocketUtils.h"
#include "tests/net/nbNetTestPeer.h"
#include "tests/tls/nbTlsTestSupport.h"
#include "tls/nbTlsStream.h"
#include "util/nbFileStream.h"
#include "util/nbLimits.h"

namespace nb {
namespace {

using test::Pattern;

template <typename T>
std::unique_ptr<T> MakeTlsConnection(bool withCertificate = true) {
    auto connection = std::make_unique<T>();
    auto stream = std::make_unique<TnbTlsNetworkStream>();
    if (withCertificate) {
        stream->OnGetCertificate = [](TnbTlsNetworkStream&, std::shared_ptr<TnbCertificate>& c,
                                      TnbCertificateList&,
                                      bool&) { c = test::SharedServerCertificate(); };
    }
    stream->TargetName = "localhost";
    stream->VerifyIgnoreFlags = nbIgnoreUnknownCa;
    connection->SetNetworkStream(std::move(stream));
    connection->SetLocalBinding("127.0.0.1");
    connection->SetNoMessagePump(true);
    connection->SetTimeOut(10000);
    return connection;
}

TnbTlsNetworkStream& TlsOf(TnbConnection& connection) {
    return dynamic_cast<TnbTlsNetworkStream&>(connection.GetNetworkStream());
}

void SetSocketBuffers(TnbConnection& connection, int size) {
    const int handle = connection.Socket().Handle();
    ::setsockopt(handle, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
    ::setsockopt(handle, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
}

struct TTlsPair {
    std::unique_ptr<TnbTcpServerConnection> Server = MakeTlsConnection<TnbTcpServerConnection>();
    std::unique_ptr<TnbTcpClientConnection> Client = MakeTlsConnection<TnbTcpClientConnection>();

    void Connect() {
        const int port = Server->Listen(0);
        auto accepted = std::async(std::launch::async, [&] { Server->Accept(); });
        Client->Open("127.0.0.1", port);
        accepted.get();
        ASSERT_TRUE(Server->Active());
        ASSERT_TRUE(Client->Active());
    }
};

// A memory stream of a class of its own: the stream must go through its Read and Write, not
// take or fill its memory behind its back.
class TTracedStream : public TnbMemoryStream {
public:
    using TnbMemoryStream::TnbMemoryStream;
    std::int64_t Read(void* buffer, std::int64_t count) override {
        const std::int64_t read = TnbMemoryStream::Read(buffer, count);
        readBytes += read;
        return read;
    }
    std::int64_t Write(const void* buffer, std::int64_t count) override {
        writtenBytes += count;
        return TnbMemoryStream::Write(buffer, count);
    }
    std::int64_t readBytes = 0;
    std::int64_t writtenBytes = 0;
};

// Reads until count bytes arrived (or the peer closed).
template <class TStream = TnbMemoryStream>
std::string ReadCount(TnbConnection& connection, std::size_t count, TStream&& received = {}) {
    for (int passes = 0; received.GetSize() < static_cast<std::int64_t>(count) &&
                         connection.Active() && passes < 100000;
         ++passes) {
        connection.ReadData(&received);
    }
    return received.ToString();
}

TEST(TnbTlsNetworkStream, ReadsAndWritesThroughTlsWithShortSends) {
    TTlsPair pair;
    pair.Connect();
    EXPECT_TRUE(TlsOf(*pair.Client).Verified());
    EXPECT_TRUE(TlsOf(*pair.Server).Verified());
    // Small enough that sends come back short and would block; not so small that the kernel's
    // delayed acknowledgements of tiny windows make the test slow.
    SetSocketBuffers(*pair.Client, 32768);
    SetSocketBuffers(*pair.Server, 32768);
    pair.Client->SetBatchSize(3000);
    pair.Server->SetBatchSize(20000);

    TnbMemoryStream greeting("220 ready\r\n");
    EXPECT_TRUE(pair.Server->WriteData(&greeting));
    EXPECT_EQ(ReadCount(*pair.Client, 11), "220 ready\r\n");

    // Both directions at once, each far larger than the socket buffers.
    const std::string up = Pattern(700000);
    const std::string down = Pattern(900001);
    TTracedStream received;
    auto reader = std::async(std::launch::async,
                             [&] { return ReadCount(*pair.Server, up.size(), received); });
    TnbMemoryStream upload(up);
    EXPECT_TRUE(pair.Client->WriteData(&upload));
    EXPECT_EQ(upload.Remaining(), 0);
    EXPECT_EQ(reader.get(), up);
    EXPECT_EQ(received.writtenBytes, static_cast<std::int64_t>(up.size()));
    auto downloader =
        std::async(std::launch::async, [&] { return ReadCount(*pair.Client, down.size()); });
    TTracedStream download(down);
    EXPECT_TRUE(pair.Server->WriteData(&download));
    EXPECT_EQ(downloader.get(), down);
    EXPECT_GE(download.readBytes, static_cast<std::int64_t>(down.size()));  // read ahead: some twice
    EXPECT_EQ(pair.Server->BytesProceed(), static_cast<std::int64_t>(up.size() + down.size() + 11))
        << "progress counts application bytes";
    EXPECT_GT(TlsOf(*pair.Server).RawBytes(), static_cast<std::int64_t>(up.size()));

    // The client's close notification reaches the server.
    pair.Client->Close(true);
    TnbMemoryStream rest;
    for (int passes = 0; pair.Server->Active() && passes < 1000; ++passes)
        pair.Server->ReadData(&rest);
    EXPECT_FALSE(pair.Server->Active());
    EXPECT_EQ(rest.GetSize(), 0);
}

// A file source is read ahead in blocks larger than a chunk: through sends that come back
// short, every byte still arrives once and in order, also when the file is shorter than
// the block or ends inside one.
TEST(TnbTlsNetworkStream, AFileSourceArrivesExactlyThroughShortSends) {
    TTlsPair pair;
    pair.Connect();
    SetSocketBuffers(*pair.Client, 32768);
    SetSocketBuffers(*pair.Server, 32768);
    pair.Server->SetBatchSize(70001);  // file chunks that do not divide the read-ahead block
    const std::string path = ::testing::TempDir() + "/tls-file-source.bin";
    for (const std::size_t size : {std::size_t{1}, std::size_t{7000},
                                   static_cast<std::size_t>(kTlsReadAhead) * 3 + 12345}) {
        const std::string content = Pattern(size);
        {
            TnbFileStream out(path, TnbFileMode::fmCreate);
            out.WriteString(content);
            out.Close();
        }
        TnbFileStream file(path, TnbFileMode::fmOpenRead);
        auto reader =
            std::async(std::launch::async, [&] { return ReadCount(*pair.Client, size); });
        EXPECT_TRUE(pair.Server->WriteData(&file));
        EXPECT_EQ(file.GetPosition(), static_cast<std::int64_t>(size));
        EXPECT_EQ(reader.get(), content) << size << " bytes";
    }
    std::remove(path.c_str());
}

TEST(TnbTlsNetworkStream, RecordsBehindThePeersLastHandshakeMessageAreKept) {
    // A fast client's first records can come in the same read as its last handshake message,
    // cut anywhere: the handshake is complete all the same, its pass (which the server runs
    // before the transfer, as a data connection does) ends there, and no byte is lost.
    // TLS 1.3, where the client speaks last in the handshake.
    const std::string data = Pattern(40000);
    struct TCase {
        const char* Name;
        std::size_t (*Cut)(std::size_t all, std::size_t firstRecord);
        bool CloseWithFirst;
    };
    const TCase cases[] = {
        {"nothing behind", [](std::size_t, std::size_t) -> std::size_t { return 0; }, false},
        {"whole records", [](std::size_t all, std::size_t) { return all; }, false},
        {"inside a record", [](std::size_t all, std::size_t) { return all - 100; }, false},
        {"inside a header", [](std::size_t, std::size_t first) { return first + 3; }, false},
        {"and the close", [](std::size_t all, std::size_t) { return all; }, true},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        auto server = MakeTlsConnection<TnbTcpServerConnection>();
        auto client = MakeTlsConnection<TnbTcpClientConnection>();
        TnbTlsNetworkStream& tls = TlsOf(*server);
        tls.StartOnRequest = true;
        tls.NoSessionTickets = true;
        server->SetKeepOpenOnPeerClose(true);
        tls.SetTLSFlags({TnbTlsFlag::tfUseTLS12, TnbTlsFlag::tfUseTLS13});
        TlsOf(*client).SetTLSFlags({TnbTlsFlag::tfUseTLS13});
        const int port = server->Listen(0);
        // The server reads the ClientHello (one send, so one read) and answers it; the
        // client's last message then waits unread until the records are behind it.
        auto hello = std::async(std::launch::async, [&] {
            server->Accept();
            tls.StartServer();
            server->InternalReadData(nullptr);
        });
        client->Open("127.0.0.1", port);
        hello.get();

        TnbTlsSspi& engine = *TlsOf(*client).GetTls();
        TnbMemoryStream plain(data);
        TnbMemoryStream protectedData;
        engine.Encrypt(plain, protectedData, plain.GetSize());
        std::string wire = protectedData.ToString();
        const std::size_t first =
            5 + ((static_cast<std::uint8_t>(wire[3]) << 8) | static_cast<std::uint8_t>(wire[4]));
        TnbMemoryStream close;
        ASSERT_EQ(engine.Shutdown(close), TnbTlsState::tsSendClose);
        const std::size_t cut = c.Cut(wire.size(), first) + (c.CloseWithFirst ? close.GetSize() : 0);
        wire += close.ToString();
        auto sendRaw = [&](std::string_view bytes) {
            const int handle = client->Socket().Handle();
            for (std::size_t done = 0; done < bytes.size();) {
                const ssize_t n = ::send(handle, bytes.data() + done, bytes.size() - done, 0);
                ASSERT_GT(n, 0);
                done += static_cast<std::size_t>(n);
            }
        };
        sendRaw(std::string_view(wire).substr(0, cut));

        // The handshake's pass; one that asks for more than is there ends only with the rest.
        auto pass = std::async(std::launch::async, [&] { server->ReadData(nullptr); });
        EXPECT_EQ(pass.wait_for(std::chrono::seconds(20)), std::future_status::ready)
            << "the handshake's pass waits for bytes behind those it holds";
        sendRaw(std::string_view(wire).substr(cut));
        ::shutdown(client->Socket().Handle(), SHUT_WR);
        pass.get();
        EXPECT_TRUE(tls.HandshakeComplete());
        ASSERT_TRUE(server->Active());
        server->SetReadUntilClose(true);
        TnbMemoryStream received;
        for (int passes = 0; passes < 1000 && server->Active() &&
                             (received.GetSize() < static_cast<std::int64_t>(data.size()) ||
                              !tls.CloseNotifyReceived());
             ++passes) {
            server->ReadData(&received);
        }
        EXPECT_TRUE(received.ToString() == data) << received.GetSize() << " bytes";
        EXPECT_TRUE(tls.CloseNotifyReceived());
    }
}

// A sender faster than the receiver's decryption fills the socket; one read pass still takes
// at most kMaxTlsReadPass of it (with its last batch and a record kept from before), and the
// passes together deliver every byte in order.
TEST(TnbTlsNetworkStream, AReadPassTakesABoundedShareOfAFullSocket) {
    TTlsPair pair;
    pair.Connect();
    SetSocketBuffers(*pair.Client, 1 << 20);
    SetSocketBuffers(*pair.Server, 1 << 20);
    const std::string up = Pattern(3 << 20);
    TnbMemoryStream upload(up);
    auto writer = std::async(std::launch::async, [&] { pair.Client->WriteData(&upload); });
    // Well beyond one pass waits in the sockets before the server reads at all.
    ASSERT_TRUE(test::WaitFor([&] { return pair.Client->BytesProceed() >= 400 * 1024; }));
    TnbTlsNetworkStream& server = TlsOf(*pair.Server);
    TnbMemoryStream received;
    std::int64_t largest = 0;
    for (int passes = 0; received.GetSize() < static_cast<std::int64_t>(up.size()) &&
                         passes < 100000;
         ++passes) {
        const std::int64_t before = received.GetSize();
        server.Read(&received);
        largest = std::max(largest, received.GetSize() - before);
    }
    writer.get();
    EXPECT_EQ(received.ToString(), up);
    EXPECT_GT(largest, 0);
    EXPECT_LE(largest, kMaxTlsReadPass + 64 * 1024) << "one pass, its last batch and a kept record";
}

TEST(TnbTlsNetworkStream, AbortEndsABlockedWrite) {
    TTlsPair pair;
    pair.Connect();
    SetSocketBuffers(*pair.Client, 4096);
    SetSocketBuffers(*pair.Server, 4096);
    // The server never reads: the client's write blocks once the buffers are full.
    TnbMemoryStream big(Pattern(16 << 20));
    auto writer = std::async(std::launch::async, [&] {
        try {
            pair.Client->WriteData(&big);
        } catch (const EnbSocketError&) {
        }
    });
    ASSERT_TRUE(test::WaitFor([&] { return pair.Client->BytesProceed() > 0; }));
    pair.Client->Abort();
    ASSERT_EQ(writer.wait_for(std::chrono::seconds(20)), std::future_status::ready);
    EXPECT_LT(big.GetPosition(), big.GetSize());
}

TEST(TnbTlsNetworkStream, FailedHandshakesEndAtOnceOnBothSides) {
    // FIX: the side that refuses sends its alert, so the other does not wait for its time-out.
    {
        TTlsPair pair;
        TlsOf(*pair.Server).SetTLSFlags({TnbTlsFlag::tfUseTLS13});
        pair.Client->SetTimeOut(60000);
        const int port = pair.Server->Listen(0);
        auto accepted = std::async(std::launch::async, [&] { pair.Server->Accept(); });
        const auto start = std::chrono::steady_clock::now();
        try {
            pair.Client->Open("127.0.0.1", port);
            ADD_FAILURE() << "client: no exception";
        } catch (const EnbSSPIError& e) {
            EXPECT_EQ(e.ErrorCode, SEC_E_UNSUPPORTED_PROTOCOL) << e.what();
        }
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
        EXPECT_THROW(accepted.get(), EnbSSPIError);
    }
    // A plain-text client on an implicit port, and a server without a certificate.
    struct TCase {
        bool Certificate;
        std::string FirstBytes;
        int Code;
    };
    TnbTlsClientSspi engine;
    TnbMemoryStream hello;
    engine.HandshakeStep(hello, TnbCertificateList(false), false);
    for (const TCase& c : {TCase{true, "USER anonymous\r\n", SEC_E_ILLEGAL_MESSAGE},
                           TCase{false, hello.ToString(), nbSspiErrLocalCertificate}}) {
        auto server = MakeTlsConnection<TnbTcpServerConnection>(c.Certificate);
        const int port = server->Listen(0);
        test::TTestPeer peer;
        auto connected = std::async(
            std::launch::async, [&] { return peer.Connect(port) && peer.SendAll(c.FirstBytes); });
        int code = 0;
        try {
            server->Accept();
        } catch (const EnbSSPIError& e) {
            code = e.ErrorCode;
        } catch (const EnbSocketError& e) {
            code = e.ErrorCode;
            EXPECT_STREQ(e.what(), "Error querying local certificate");
        }
        EXPECT_EQ(code, c.Code);
        EXPECT_TRUE(connected.get());
    }
}

}  // namespace
}  // namespace nb
