// The command server over real loopback sockets: dispatch, refusals, errors, the size limits,
// multi-line replies to a slow reader, and the order and independence of connections.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "command/nbTcpCommandServer.h"
#include "tests/command/nbCommandTestClient.h"
#include "util/nbLimits.h"

namespace nb {
namespace {

using test::TLineClient;
using test::WaitFor;

// A small protocol: each command answers with a line that shows what ran.
class TTestCommandServer : public TnbTcpCommandServer {
public:
    TTestCommandServer() {
        SetPort(test::FreePort());
        SetLocalBinding("127.0.0.1");
        OnServerError = [this](TnbTcpServer&, TnbUserConnection*, const std::exception& E) {
            std::lock_guard lock(mutex_);
            errors_.push_back(E.what());
        };
        OnReceiveCommand = [this](TnbTcpCommandServer&, TnbCommandConnection&,
                                  TnbTcpCommandParams& params) {
            std::lock_guard lock(mutex_);
            received_.push_back(params.Text);
        };
        OnCustomCommand = [this](TnbTcpCommandServer&, TnbCommandConnection&,
                                 TnbTcpCommandParams& params) {
            std::lock_guard lock(mutex_);
            custom_.push_back(params.Command);
        };
        OnSendMultipleLines = [this](TnbTcpCommandServer&, TnbCommandConnection&) { ++multiDone_; };
        OnReadConnection = [this](TnbTcpServer&, TnbUserConnection&, TnbStream&) { ++reads_; };
        OnWriteConnection = [this](TnbTcpServer&, TnbUserConnection&) { ++writeReady_; };
    }
    ~TTestCommandServer() override {
        Release();
        StopOnDestroy();
    }

    std::vector<std::string> Errors() {
        std::lock_guard lock(mutex_);
        return errors_;
    }
    std::vector<std::string> Received() {
        std::lock_guard lock(mutex_);
        return received_;
    }
    std::vector<std::string> Custom() {
        std::lock_guard lock(mutex_);
        return custom_;
    }
    void Release() {
        std::lock_guard lock(mutex_);
        released_ = true;
        cond_.notify_all();
    }
    void OpenPeer() {
        std::lock_guard lock(mutex_);
        peerOpen_ = true;
        cond_.notify_all();
    }

    std::atomic<int> slowRunning_{0};
    std::atomic<int> multiDone_{0};
    std::atomic<int> reads_{0};
    std::atomic<int> writeReady_{0};
    std::atomic<int> commandErrors_{0};

protected:
    void RegisterCommands() override {
        CommandList().Add(MakeCommand("ECHO", &TTestCommandServer::CmdEcho));
        CommandList().Add(MakeCommand("SLOW", &TTestCommandServer::CmdSlow));
        CommandList().Add(MakeCommand("STOP", &TTestCommandServer::CmdStop, true));
        CommandList().Add(MakeCommand("LINES", &TTestCommandServer::CmdLines));
        CommandList().Add(MakeCommand("DOTS", &TTestCommandServer::CmdDots));
        CommandList().Add(MakeCommand("FAIL", &TTestCommandServer::CmdFail));
        CommandList().Add(MakeCommand("QUIT", &TTestCommandServer::CmdQuit));
        CommandList().Add(MakeCommand("BOOM", &TTestCommandServer::CmdBoom));
        auto peer = MakeCommand("PEER", &TTestCommandServer::CmdPeer);
        peer->SetWaitsOnPeer(true);
        CommandList().Add(std::move(peer));
    }
    void DoCommandError(TnbCommandConnection& AConnection, const TnbTcpCommandParams&,
                        const std::exception& E) override {
        ++commandErrors_;
        SendResponse(AConnection, "", std::string("451 Requested action aborted: ") + E.what());
    }

private:
    void CmdEcho(TnbCommandConnection& c, TnbTcpCommandParams& p) {
        SendResponseFormat(c, p.Command, "200 %s", p.Params);
    }
    // Blocks until STOP (or the end of the test) releases it.
    void CmdSlow(TnbCommandConnection& c, TnbTcpCommandParams& p) {
        ++slowRunning_;
        {
            std::unique_lock lock(mutex_);
            cond_.wait_for(lock, test::kLimit, [this] { return released_; });
        }
        SendResponse(c, p.Command, "200 slow done");
    }
    // Like a transfer: it sets up until OpenPeer, answers, then waits on its peer (here, STOP).
    void CmdPeer(TnbCommandConnection& c, TnbTcpCommandParams& p) {
        ++slowRunning_;
        {
            std::unique_lock lock(mutex_);
            cond_.wait_for(lock, test::kLimit, [this] { return peerOpen_; });
        }
        SendResponse(c, p.Command, "150 peer");
        TnbCommandBlockingSection blocking(*this, c);
        {
            std::unique_lock lock(mutex_);
            cond_.wait_for(lock, test::kLimit, [this] { return released_; });
        }
        SendResponse(c, p.Command, "226 peer");
    }
    void CmdStop(TnbCommandConnection& c, TnbTcpCommandParams& p) {
        Release();
        SendResponse(c, p.Command, "200 stopped");
    }
    // A long multi-line reply, then a single line sent while it still drains.
    void CmdLines(TnbCommandConnection& c, TnbTcpCommandParams& p) {
        std::vector<std::string> lines;
        const int count = std::stoi(p.Params);
        for (int i = 0; i < count; ++i)
            lines.push_back(LineText(i));
        SendMultipleLines(c, std::move(lines), "211 End");
        SendResponse(c, p.Command, "200 after");
    }
    void CmdDots(TnbCommandConnection& c, TnbTcpCommandParams&) {
        SendMultipleLines(c, {".hidden", "plain", "..", ""}, ".\r\n");
    }
    void CmdFail(TnbCommandConnection&, TnbTcpCommandParams& p) {
        throw EnbTcpCommandServerError("550 " + p.Params + ": refused", 550, p.Command);
    }
    void CmdQuit(TnbCommandConnection&, TnbTcpCommandParams& p) {
        throw EnbTcpCommandServerError("221 Bye", 221, p.Command, true);
    }
    void CmdBoom(TnbCommandConnection&, TnbTcpCommandParams&) {
        throw std::runtime_error("boom\r\n550 injected");
    }

public:
    static std::string LineText(int i) {
        return "line " + std::to_string(i) + std::string(60, '.');
    }

private:
    std::mutex mutex_;
    std::condition_variable cond_;
    bool released_ = false;
    bool peerOpen_ = false;
    std::vector<std::string> errors_;
    std::vector<std::string> received_;
    std::vector<std::string> custom_;
};

class TnbCommandServer : public ::testing::Test {
protected:
    void SetUp() override {}
    void Start() { ASSERT_NO_THROW(server_.Start()); }
    TLineClient& Connect(TLineClient& client, int receiveBuffer = 0) {
        EXPECT_TRUE(client.Connect(server_.Port(), receiveBuffer));
        return client;
    }

    TTestCommandServer server_;
};

TEST_F(TnbCommandServer, CommandsRunInOrderHoweverTheBytesArrive) {
    Start();
    TLineClient client;
    Connect(client);
    ASSERT_TRUE(client.Send("echo one\r\nECHO  two\r\nEC"));
    ASSERT_TRUE(client.ReceiveUntil("200  two\r\n"));
    ASSERT_TRUE(client.Send("HO three\n\r\n   \r\necho four\r"));
    ASSERT_TRUE(client.ReceiveUntil("200 four\r\n"));
    EXPECT_EQ(client.Received(), "200 one\r\n200  two\r\n200 three\r\n200 four\r\n");
    EXPECT_EQ(server_.Received(),
              (std::vector<std::string>{"echo one", "ECHO  two", "ECHO three", "echo four"}));
}

TEST_F(TnbCommandServer, UnknownWordsRaiseOnCustomCommandAndGetNoReply) {
    Start();
    TLineClient client;
    Connect(client);
    ASSERT_TRUE(client.Send("xyz 1\r\nECHO next\r\n"));
    ASSERT_TRUE(client.ReceiveUntil("200 next\r\n"));
    EXPECT_EQ(client.Received(), "200 next\r\n");
    EXPECT_EQ(server_.Custom(), std::vector<std::string>{"XYZ"});
}

TEST_F(TnbCommandServer, RefusalsAreRepliesAndErrorsEndTheConnection) {
    Start();
    TLineClient client;
    Connect(client);
    // A refusal is its reply line; the session goes on.
    ASSERT_TRUE(client.Send("FAIL a\r\nECHO still here\r\n"));
    ASSERT_TRUE(client.ReceiveUntil("200 still here\r\n"));
    EXPECT_EQ(client.Received(), "550 a: refused\r\n200 still here\r\n");

    // Any other exception: DoCommandError, then the connection closes and the rest is dropped.
    // The line break inside the exception's text does not split the reply.
    ASSERT_TRUE(client.Send("BOOM\r\nECHO never\r\n"));
    EXPECT_TRUE(client.WaitClosed());
    EXPECT_EQ(client.Received(),
              "550 a: refused\r\n200 still here\r\n"
              "451 Requested action aborted: boom  550 injected\r\n");
    EXPECT_EQ(server_.commandErrors_.load(), 1);
    EXPECT_TRUE(WaitFor([&] { return server_.Errors().size() == 1; }));
    EXPECT_EQ(server_.Errors().at(0), "boom\r\n550 injected");
}

TEST_F(TnbCommandServer, CloseAfterReplySendsTheReplyThenCloses) {
    Start();
    TLineClient client;
    Connect(client);
    ASSERT_TRUE(client.Send("QUIT\r\n"));
    EXPECT_TRUE(client.WaitClosed());
    EXPECT_EQ(client.Received(), "221 Bye\r\n");
    EXPECT_TRUE(server_.Errors().empty());
}

TEST_F(TnbCommandServer, MaxDataSizeClosesTheConnectionWithoutRunningAnything) {
    server_.SetMaxDataSize(10);
    Start();
    TLineClient client;
    Connect(client);
    ASSERT_TRUE(client.Send("ECHO 1234\r"));  // 10 bytes: fine
    ASSERT_TRUE(client.ReceiveUntil("200 1234\r\n"));
    ASSERT_TRUE(client.Send("ECHO 12345\r"));  // 11 bytes
    EXPECT_TRUE(client.WaitClosed());
    EXPECT_EQ(client.Received(), "200 1234\r\n");
    EXPECT_TRUE(WaitFor([&] { return !server_.Errors().empty(); }));
    EXPECT_EQ(server_.Errors().at(0), "Data size limit is exceeded");
    EXPECT_EQ(server_.Received().size(), 1u);
}

TEST_F(TnbCommandServer, UnfinishedLineHasACeilingWithoutMaxDataSize) {
    Start();
    TLineClient client;
    Connect(client);
    ASSERT_TRUE(client.Send(std::string(kMaxCommandLine + 1, 'a')));
    EXPECT_TRUE(client.WaitClosed());
    EXPECT_TRUE(WaitFor([&] { return !server_.Errors().empty(); }));
    EXPECT_EQ(server_.Errors().at(0), "Data size limit is exceeded");
}

TEST_F(TnbCommandServer, LongMultiLineReplyReachesASlowReaderWholeAndBeforeLaterReplies) {
    Start();
    TLineClient client;
    Connect(client, 4096);
    ASSERT_TRUE(client.Send("LINES 10000\r\nECHO last\r\n"));
    std::string expected;
    for (int i = 0; i < 10000; ++i)
        expected += TTestCommandServer::LineText(i) + "\r\n";
    expected += "211 End\r\n200 after\r\n200 last\r\n";
    // Small reads with pauses keep the server's socket full, so the reply advances per
    // write-ready notification.
    ASSERT_TRUE(client.ReceiveUntil("200 last\r\n", 4096, std::chrono::microseconds(100)));
    RecordProperty("WriteReadyNotifications", server_.writeReady_.load());
    EXPECT_EQ(client.Received().size(), expected.size());
    EXPECT_TRUE(client.Received() == expected) << "reply stream differs";
    EXPECT_TRUE(WaitFor([&] { return server_.multiDone_.load() == 1; }));
    EXPECT_TRUE(server_.Errors().empty());
}

TEST_F(TnbCommandServer, DotTerminatedRepliesStuffLeadingDots) {
    Start();
    TLineClient client;
    Connect(client);
    ASSERT_TRUE(client.Send("DOTS\r\n"));
    ASSERT_TRUE(client.ReceiveUntil("\r\n.\r\n"));
    EXPECT_EQ(client.Received(), "..hidden\r\nplain\r\n...\r\n\r\n.\r\n");
}

TEST_F(TnbCommandServer, LongCommandDelaysOnlyItsOwnConnection) {
    // Two workers: if waiting commands of the busy connection held workers, the other client
    // would get no answer.
    server_.SetMaxThreadCount(2);
    Start();
    TLineClient busy;
    Connect(busy);
    ASSERT_TRUE(busy.Send("SLOW\r\n"));
    ASSERT_TRUE(WaitFor([&] { return server_.slowRunning_.load() == 1; }));
    for (const char* line : {"ECHO 1\r\n", "ECHO 2\r\n", "ECHO 3\r\n"}) {
        const int reads = server_.reads_.load();
        ASSERT_TRUE(busy.Send(line));
        ASSERT_TRUE(WaitFor([&] { return server_.reads_.load() > reads; }));
    }

    TLineClient other;
    Connect(other);
    ASSERT_TRUE(other.Send("ECHO other\r\n"));
    EXPECT_TRUE(other.ReceiveUntil("200 other\r\n"));

    // Released, the long command answers; the ones queued behind it follow in order. (A
    // lock-free command behind queued ones waits its turn, so the test releases it itself.)
    server_.Release();
    ASSERT_TRUE(busy.ReceiveUntil("200 3\r\n"));
    const std::string& got = busy.Received();
    const auto slow = got.find("200 slow done\r\n");
    const auto one = got.find("200 1\r\n");
    const auto two = got.find("200 2\r\n");
    const auto three = got.find("200 3\r\n");
    ASSERT_NE(slow, std::string::npos);
    EXPECT_LT(slow, one);
    EXPECT_LT(one, two);
    EXPECT_LT(two, three);
}

TEST_F(TnbCommandServer, CommandFloodBehindALongCommandIsHeldBackAndAnsweredInOrder) {
    Start();
    TLineClient client;
    Connect(client);
    ASSERT_TRUE(client.Send("SLOW\r\n"));
    ASSERT_TRUE(WaitFor([&] { return server_.slowRunning_.load() == 1; }));
    // More than the queue holds: the rest waits unparsed, the reads are held, nothing is cut.
    std::string flood;
    std::string expected = "200 slow done\r\n";
    for (std::size_t i = 0; i < kMaxQueuedCommands + 44; ++i) {
        flood += "ECHO " + std::to_string(i) + "\r\n";
        expected += "200 " + std::to_string(i) + "\r\n";
    }
    ASSERT_TRUE(client.Send(flood));
    server_.Release();
    ASSERT_TRUE(client.ReceiveUntil("200 " + std::to_string(kMaxQueuedCommands + 43) + "\r\n"));
    EXPECT_TRUE(client.Received() == expected) << client.Received().substr(0, 200);
    EXPECT_TRUE(server_.Errors().empty());
}

TEST_F(TnbCommandServer, LockFreeCommandReadBeforeTheWaitOnThePeerReachesItAfterItsFirstReply) {
    Start();
    TLineClient client;
    Connect(client);
    ASSERT_TRUE(client.Send("PEER\r\n"));
    ASSERT_TRUE(WaitFor([&] { return server_.slowRunning_.load() == 1; }));
    const int reads = server_.reads_.load();
    ASSERT_TRUE(client.Send("STOP\r\n"));
    ASSERT_TRUE(WaitFor([&] { return server_.reads_.load() > reads; }));
    // STOP is read while PEER still sets up: it must neither answer first nor miss the wait.
    server_.OpenPeer();
    ASSERT_TRUE(client.ReceiveUntil("226 peer\r\n"));
    ASSERT_TRUE(client.ReceiveUntil("200 stopped\r\n"));  // STOP's reply races PEER's end
    EXPECT_EQ(client.Received().rfind("150 peer\r\n", 0), 0u) << client.Received();
}

TEST_F(TnbCommandServer, AborWithTelnetSynchIsRecognised) {
    Start();
    TLineClient client;
    Connect(client);
    // lftp: IAC IP, then IAC DM as urgent data, then the command.
    ASSERT_TRUE(client.Send("\xff\xf4\xff"));
    ASSERT_TRUE(client.Send("\xf2", MSG_OOB));
    ASSERT_TRUE(client.Send("ECHO abor\r\n"));
    ASSERT_TRUE(client.ReceiveUntil("\r\n"));
    EXPECT_EQ(client.Received(), "200 abor\r\n");
    // ftplib: the whole line with MSG_OOB, so its last byte is urgent.
    ASSERT_TRUE(client.Send("ECHO ftplib\r\n", MSG_OOB));
    ASSERT_TRUE(client.ReceiveUntil("200 ftplib\r\n"));
    ASSERT_TRUE(client.Send("ECHO next\r\n"));
    ASSERT_TRUE(client.ReceiveUntil("200 next\r\n"));
    EXPECT_EQ(client.Received(), "200 abor\r\n200 ftplib\r\n200 next\r\n");
}

TEST_F(TnbCommandServer, HostMayChangeSettingsWhileClientsAreServed) {
    Start();
    std::atomic<bool> done{false};
    std::thread host([&] {
        for (int i = 0; !done; ++i) {
            server_.SetCharSet(i % 2 ? "utf-8" : "");
            server_.SetMaxDataSize(i % 2 ? -1 : 100000);
            std::this_thread::sleep_for(std::chrono::microseconds(100));
        }
    });
    TLineClient client;
    Connect(client);
    std::string expected;
    for (int i = 0; i < 100; ++i) {
        ASSERT_TRUE(client.Send("ECHO " + std::to_string(i) + "\r\n"));
        expected += "200 " + std::to_string(i) + "\r\n";
    }
    EXPECT_TRUE(client.ReceiveUntil("200 99\r\n"));
    done = true;
    host.join();
    EXPECT_EQ(client.Received(), expected);
}

}  // namespace
}  // namespace nb
