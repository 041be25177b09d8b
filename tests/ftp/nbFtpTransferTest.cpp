// End-to-end tests of data connections and transfers, over loopback with the local file handler.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "nbFtpTestClient.h"
#include "tests/common/nbTestLoopback.h"
#include "util/nbFileStream.h"
#include "util/nbLimits.h"

namespace nb {
namespace {

using test::ConnectTcp;
using test::ReadAll;
using test::TFd;
using test::TRunningServer;
using test::TTempDir;
using test::WaitReadable;
using test::WriteAll;

class FtpTransfer : public ::testing::Test {
protected:
    TTempDir dir;
    std::unique_ptr<TRunningServer> run;
    std::unique_ptr<test::TFtpClient> c;

    void SetUp() override { Start(); }
    void Start(int bitsPerSec = 0) {
        run = std::make_unique<TRunningServer>(dir.Path());
        run->server.SetBitsPerSec(bitsPerSec);
        run->Start();
        c = run->LoggedIn();
        ASSERT_TRUE(c);
    }
    // PORT for a listening socket of this test; returns the socket.
    TFd Port(std::string& reply) {
        int port = 0;
        TFd listener = test::ListenTcp(port);
        reply = c->Cmd("PORT 127,0,0,1," + std::to_string(port / 256) + "," +
                       std::to_string(port % 256));
        return listener;
    }
};

TEST_F(FtpTransfer, PassiveUploadAndDownloadAreByteExact) {
    const std::string content = test::BinaryContent(300000);
    std::string preliminary;
    EXPECT_EQ(c->PassivePut("STOR bin.dat", content, &preliminary), "226 Transfer complete.");
    EXPECT_EQ(preliminary, "150 Opening data connection for bin.dat.");
    EXPECT_EQ(dir.Read("bin.dat"), content);
    std::string final;
    EXPECT_EQ(c->PassiveGet("RETR bin.dat", preliminary, final), content);
    EXPECT_EQ(preliminary, "150 Opening data connection for bin.dat(300000 bytes).");
    EXPECT_EQ(final, "226 Transfer complete.");
    // ASCII type changes nothing either.
    EXPECT_EQ(c->Cmd("TYPE A"), "200 Type A ok.");
    EXPECT_EQ(c->PassiveGet("RETR bin.dat"), content);
    // STOR replaces the whole file.
    EXPECT_EQ(c->PassivePut("STOR bin.dat", "short"), "226 Transfer complete.");
    EXPECT_EQ(dir.Read("bin.dat"), "short");
}

TEST_F(FtpTransfer, ActiveUploadAndDownloadAreByteExact) {
    const std::string content = test::BinaryContent(100000, 3);
    dir.Write("in.dat", content);
    std::string reply;
    TFd listener = Port(reply);
    EXPECT_EQ(reply, "200 PORT command successful.");
    c->Send("RETR in.dat");
    TFd data = test::AcceptTcp(listener.Get());
    EXPECT_EQ(c->Reply(), "150 Opening data connection for in.dat(100000 bytes).");
    EXPECT_EQ(ReadAll(data.Get()), content);
    EXPECT_EQ(c->Reply(), "226 Transfer complete.");

    listener = Port(reply);
    c->Send("STOR out.dat");
    data = test::AcceptTcp(listener.Get());
    EXPECT_EQ(c->Reply(), "150 Opening data connection for out.dat.");
    WriteAll(data.Get(), content);
    data.Reset();
    EXPECT_EQ(c->Reply(), "226 Transfer complete.");
    EXPECT_EQ(dir.Read("out.dat"), content);
}

TEST_F(FtpTransfer, AppendCreatesAndExtends) {
    EXPECT_EQ(c->PassivePut("APPE log.txt", "one\r\n"), "226 Transfer complete.");
    EXPECT_EQ(c->PassivePut("APPE log.txt", std::string("two\0\n", 5)), "226 Transfer complete.");
    EXPECT_EQ(dir.Read("log.txt"), std::string("one\r\ntwo\0\n", 10));
}

TEST_F(FtpTransfer, UniqueUploadsNeverShareAName) {
    dir.Write("FTP0.TMP", "taken");
    std::string preliminary;
    EXPECT_EQ(c->PassivePut("STOU ignored.txt", "first", &preliminary), "226 Transfer complete.");
    EXPECT_EQ(preliminary, "150 Opening data connection for FTP1.TMP.");
    EXPECT_EQ(c->PassivePut("STOU", "second", &preliminary), "226 Transfer complete.");
    EXPECT_EQ(preliminary, "150 Opening data connection for FTP2.TMP.");
    EXPECT_EQ(dir.Read("FTP0.TMP"), "taken");
    EXPECT_EQ(dir.Read("FTP1.TMP"), "first");
    EXPECT_EQ(dir.Read("FTP2.TMP"), "second");

    // A name that appears while the client connects is not overwritten.
    const int port = c->Pasv();
    c->Send("STOU");
    EXPECT_EQ(c->Reply(), "150 Opening data connection for FTP3.TMP.");
    dir.Write("FTP3.TMP", "raced");
    TFd data = ConnectTcp(port);
    WriteAll(data.Get(), "late");
    data.Reset();
    EXPECT_EQ(c->Reply(), "550 FTP3.TMP: File exists");
    EXPECT_EQ(dir.Read("FTP3.TMP"), "raced");
}

TEST_F(FtpTransfer, RestartResumesDownloadsAndUploads) {
    const std::string content = test::BinaryContent(1000, 5);
    dir.Write("r.dat", content);
    EXPECT_EQ(c->Cmd("REST abc"), "501 invalid argument");
    EXPECT_EQ(c->Cmd("REST -1"), "501 invalid argument");
    EXPECT_EQ(c->Cmd("REST"), "501 invalid argument");
    EXPECT_EQ(c->Cmd("REST 5368709120"), "350 Restarting at 5368709120.");
    // PASV clears an earlier REST.
    EXPECT_EQ(c->PassiveGet("RETR r.dat"), content);

    auto resumeGet = [&](const std::string& offset, std::string& preliminary, std::string& final) {
        const int port = c->Pasv();
        c->Cmd("REST " + offset);
        c->Send("RETR r.dat");
        TFd data = ConnectTcp(port);
        preliminary = c->Reply();
        std::string got = preliminary.compare(0, 4, "150 ") == 0 ? ReadAll(data.Get()) : "";
        final = preliminary.compare(0, 4, "150 ") == 0 ? c->Reply() : preliminary;
        return got;
    };
    std::string preliminary, final;
    EXPECT_TRUE(resumeGet("100", preliminary, final) == content.substr(100));
    EXPECT_EQ(preliminary, "150 Opening data connection for r.dat(1000 bytes).");
    EXPECT_EQ(final, "226 Transfer complete.");
    // At the size: nothing more to send, and complete.
    EXPECT_EQ(resumeGet("1000", preliminary, final), "");
    EXPECT_EQ(final, "226 Transfer complete.");
    // Beyond the size: refused before anything is sent.
    EXPECT_EQ(resumeGet("1001", preliminary, final), "");
    EXPECT_EQ(final, "550 r.dat: Invalid restart position");

    dir.Write("u.dat", "0123456789");
    // REST after PASV, then STOR: written from the offset, the rest of the file kept.
    const int port = c->Pasv();
    EXPECT_EQ(c->Cmd("REST 4"), "350 Restarting at 4.");
    c->Send("STOR u.dat");
    TFd data = ConnectTcp(port);
    EXPECT_EQ(c->Reply(), "150 Opening data connection for u.dat.");
    WriteAll(data.Get(), "AB");
    data.Reset();
    EXPECT_EQ(c->Reply(), "226 Transfer complete.");
    EXPECT_EQ(dir.Read("u.dat"), "0123AB6789");

    const int port2 = c->Pasv();
    c->Cmd("REST 11");
    c->Send("STOR u.dat");
    data = ConnectTcp(port2);
    EXPECT_EQ(c->Reply(), "150 Opening data connection for u.dat.");
    WriteAll(data.Get(), "junk");
    data.Reset();
    EXPECT_EQ(c->Reply(), "550 u.dat: Invalid restart position");
    EXPECT_EQ(dir.Read("u.dat"), "0123AB6789");
}

TEST_F(FtpTransfer, ListsWithMasksAndHiddenEntries) {
    dir.MakeDir("pub");
    dir.Write("pub/a.txt", "a");
    dir.Write("pub/b.bin", "bb");
    dir.Write("pub/.hidden", "h");
    EXPECT_EQ(c->Cmd("CWD pub"), "250 CWD command successful.");
    std::string preliminary, final;
    EXPECT_EQ(c->PassiveGet("NLST", preliminary, final), "a.txt\r\nb.bin\r\n");
    EXPECT_EQ(preliminary, "150 Opening data connection.");
    EXPECT_EQ(final, "226 Transfer complete.");
    EXPECT_EQ(c->PassiveGet("NLST -a"), ".hidden\r\na.txt\r\nb.bin\r\n");
    EXPECT_EQ(c->PassiveGet("NLST *.txt"), "a.txt\r\n");
    EXPECT_EQ(c->PassiveGet("NLST /pub/*.bin"), "b.bin\r\n");
    EXPECT_EQ(c->PassiveGet("NLST *.none", preliminary, final), "");
    EXPECT_EQ(final, "226 Transfer complete.");
    const std::string listing = c->PassiveGet("LIST -AL");
    EXPECT_NE(listing.find(".hidden\r\n"), std::string::npos);
    EXPECT_NE(listing.find("                    2 b.bin\r\n"), std::string::npos);
    EXPECT_EQ(c->PassiveGet("LIST").find(".hidden"), std::string::npos);
    c->Pasv();
    EXPECT_EQ(c->Cmd("LIST /missing"), "550 /missing: No such file or directory");
    EXPECT_EQ(c->Cmd("NLST -la /missing"), "550 -la /missing: No such file or directory");
    EXPECT_EQ(c->Cmd("STAT").find("No data connection"), std::string::npos);
}

TEST_F(FtpTransfer, ListingsCarryOneLinePerEntryInTheEventsOrder) {
    run->server.Stop();
    const std::string longName(300, 'n');
    run->server.OnGetFileList = [&](TnbFtpServer&, TnbFtpCommandConnection&, const std::string&,
                                    const std::string&, bool, TnbFtpFileInfoList& list, bool&,
                                    std::string&) {
        TnbFtpFileInfo& pub = list.Add();
        pub.FileName = "pub";
        pub.IsDirectory = true;
        pub.ModifiedDate = {2090, 12, 25, 0, 5, 0};  // the future counts as recent
        TnbFtpFileInfo& a = list.Add();
        a.FileName = "a.txt";
        a.Size = 1234;
        a.IsReadOnly = true;
        a.ModifiedDate = {2001, 1, 5, 14, 7, 0};
        TnbFtpFileInfo& big = list.Add();
        big.FileName = "gr\xC3\xBC\xC3\x9F" "e.bin";
        big.Size = 5368709120;
        big.OwnerRights = nbRightRead | nbRightWrite | nbRightExecute;
        big.GroupRights = nbRightRead | nbRightExecute;
        big.OtherRights = nbRightRead;
        big.ModifiedDate = {1999, 7, 1, 23, 59, 0};
        TnbFtpFileInfo& empty = list.Add();
        empty.FileName = longName;
        empty.ModifiedDate = {2001, 1, 5, 0, 0, 0};
    };
    run->Start();
    c = run->LoggedIn();
    ASSERT_TRUE(c);
    const std::string names = "pub\r\na.txt\r\ngr\xC3\xBC\xC3\x9F" "e.bin\r\n" + longName + "\r\n";
    const struct {
        TnbDirListingStyle Style;
        const char* Command;
        std::string Expected;
    } cases[] = {
        {TnbDirListingStyle::lsUnix, "LIST",
         "drwxrwxrwx   1 owner    group               0 Dec 25 00:05 pub\r\n"
         "-r-xr-xr-x   1 owner    group            1234 Jan 05 2001 a.txt\r\n"
         "-rwxr-xr--   1 owner    group        5368709120 Jul 01 1999 gr\xC3\xBC\xC3\x9F" "e.bin\r\n"
         "-rwxrwxrwx   1 owner    group               0 Jan 05 2001 " + longName + "\r\n"},
        {TnbDirListingStyle::lsMsDos, "LIST",
         "12-25-90  12:05AM       <DIR>          pub\r\n"
         "01-05-01  02:07PM                 1234 a.txt\r\n"
         "07-01-99  11:59PM           5368709120 gr\xC3\xBC\xC3\x9F" "e.bin\r\n"
         "01-05-01  12:00AM                    0 " + longName + "\r\n"},
        {TnbDirListingStyle::lsUnix, "NLST", names},
        {TnbDirListingStyle::lsMsDos, "NLST", names},
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(std::string(test.Command) + " style " + std::to_string(static_cast<int>(test.Style)));
        run->server.SetDirListingStyle(test.Style);
        std::string preliminary, final;
        EXPECT_EQ(c->PassiveGet(test.Command, preliminary, final), test.Expected);
        EXPECT_EQ(final, "226 Transfer complete.");
    }
}

TEST_F(FtpTransfer, ADataConnectionServesOneTransfer) {
    dir.Write("a.txt", "abc");
    EXPECT_EQ(c->Cmd("RETR a.txt"), "425 Can not open data connection");
    EXPECT_EQ(c->Cmd("STOR new.txt"), "425 Can not open data connection");
    EXPECT_FALSE(dir.Exists("new.txt"));
    EXPECT_EQ(c->Cmd("LIST"), "425 Can not open data connection");
    EXPECT_EQ(c->PassiveGet("RETR a.txt"), "abc");
    EXPECT_EQ(c->Cmd("RETR a.txt"), "425 Can not open data connection");
    EXPECT_EQ(c->Cmd("RETR missing"), "550 missing: No such file or directory");
    // A refused RETR before the data connection opened still used up its turn.
    c->Pasv();
    EXPECT_EQ(c->Cmd("RETR missing"), "550 missing: No such file or directory");
    EXPECT_EQ(c->Cmd("RETR a.txt"), "425 Can not open data connection");
    // Without an argument there is nothing to send.
    c->Pasv();
    EXPECT_EQ(c->Cmd("RETR"), "501 invalid argument");
}

TEST_F(FtpTransfer, PortTargetsAreCheckedStrictly) {
    for (const char* bad :
         {"PORT 1,2,3,4,5", "PORT 127,0,0,1,256,21", "PORT a,b,c,d,4,1", "PORT 127,0,0,1,0,21",
          "PORT 127,0,0,1,3,255", "PORT 8,8,8,8,4,1", "PORT 127,0,0,1,4,1,7", "PORT",
          "PORT 127,0,0,1,+4,1", "PORT 127,0,0,1,-4,1"}) {
        EXPECT_EQ(c->Cmd(bad), "501 invalid argument") << bad;
    }
    EXPECT_EQ(c->Cmd("PORT 127,0,0,1,0,20"), "200 PORT command successful.");
    EXPECT_EQ(c->Cmd("PORT 127,0,0,1,4,0"), "200 PORT command successful.");
    // A client behind address translation names its private address: its real one is used.
    dir.Write("a.txt", "nat");
    int port = 0;
    TFd listener = test::ListenTcp(port);
    EXPECT_EQ(
        c->Cmd("PORT 10,1,2,3," + std::to_string(port / 256) + "," + std::to_string(port % 256)),
        "200 PORT command successful.");
    c->Send("RETR a.txt");
    TFd data = test::AcceptTcp(listener.Get());
    EXPECT_EQ(c->Reply(), "150 Opening data connection for a.txt(3 bytes).");
    EXPECT_EQ(ReadAll(data.Get()), "nat");
    EXPECT_EQ(c->Reply(), "226 Transfer complete.");
    run->server.SetUseFxp(true);
    EXPECT_EQ(c->Cmd("PORT 8,8,8,8,4,1"), "200 PORT command successful.");
    EXPECT_EQ(c->Cmd("PORT 8,8,8,8,0,21"), "501 invalid argument");
}

TEST_F(FtpTransfer, PassiveDataComesOnlyFromTheClientsAddress) {
    const std::string content = test::BinaryContent(50000, 9);
    dir.Write("secret.dat", content);
    const int port = c->Pasv();
    ASSERT_NE(port, 0);
    c->Send("RETR secret.dat");
    EXPECT_EQ(c->Reply(), "150 Opening data connection for secret.dat(50000 bytes).");
    TFd intruder = ConnectTcp(port, "127.0.0.1", "127.0.0.2");
    if (!intruder.Valid())
        GTEST_SKIP() << "127.0.0.2 is not usable here";
    EXPECT_EQ(ReadAll(intruder.Get()), "");  // closed without a byte
    TFd data = ConnectTcp(port);
    EXPECT_EQ(ReadAll(data.Get()), content);
    EXPECT_EQ(c->Reply(), "226 Transfer complete.");
}

TEST_F(FtpTransfer, PassivePortsComeFromTheConfiguredRange) {
    int free = 0;
    { TFd probe = test::ListenTcp(free); }
    run->server.SetDataPortBegin(free);
    run->server.SetDataPortEnd(free + 2);
    for (int i = 0; i < 3; ++i) {
        const int port = c->Pasv();
        EXPECT_GE(port, free);
        EXPECT_LE(port, free + 2);
    }
}

class FtpThrottledTransfer : public FtpTransfer {
protected:
    // 64 KB/s: a 4 MB file runs for about a minute unless something ends it.
    void SetUp() override {
        dir.Write("big.dat", test::BinaryContent(4 * 1024 * 1024, 11));
        Start(512 * 1024);
    }
    // PASV, RETR big.dat and the first bytes; returns the data socket.
    TFd StartBigDownload() {
        const int port = c->Pasv();
        c->Send("RETR big.dat");
        TFd data = ConnectTcp(port);
        EXPECT_EQ(c->Reply(), "150 Opening data connection for big.dat(4194304 bytes).");
        char buffer[1024];
        EXPECT_TRUE(WaitReadable(data.Get(), test::kWaitMs));
        EXPECT_GT(::recv(data.Get(), buffer, sizeof buffer, 0), 0);
        return data;
    }
};

TEST_F(FtpThrottledTransfer, AborStopsARunningDownloadAndTheSessionGoesOn) {
    TFd data = StartBigDownload();
    // As Python's ftplib sends it: the line as urgent data.
    ASSERT_EQ(::send(c->Fd(), "ABOR\r\n", 6, MSG_OOB | MSG_NOSIGNAL), 6);
    EXPECT_EQ(c->Reply(), "426 Connection closed, transfer aborted.");
    EXPECT_EQ(c->Reply(), "226 Transfer aborted.");
    EXPECT_EQ(c->Cmd("NOOP"), "200 NOOP command successful.");
    EXPECT_EQ(c->Cmd("ABOR"), "226 ABOR command successful.");
    // As lftp sends it: Telnet IP, then Synch (IAC DM as urgent data), then the line.
    data = StartBigDownload();
    ASSERT_EQ(::send(c->Fd(), "\xFF\xF4\xFF", 3, MSG_NOSIGNAL), 3);
    ASSERT_EQ(::send(c->Fd(), "\xF2", 1, MSG_OOB | MSG_NOSIGNAL), 1);
    c->Send("ABOR");
    EXPECT_EQ(c->Reply(), "426 Connection closed, transfer aborted.");
    EXPECT_EQ(c->Reply(), "226 Transfer aborted.");
    EXPECT_EQ(c->Cmd("PWD"), "257 \"/\" is current directory.");
    // Two ABORs: the transfer's 226 answers the first, the second has its own.
    data = StartBigDownload();
    c->SendRaw("ABOR\r\nABOR\r\n");
    EXPECT_EQ(c->Reply(), "426 Connection closed, transfer aborted.");
    EXPECT_EQ(c->Reply(), "226 Transfer aborted.");
    EXPECT_EQ(c->Reply(), "226 ABOR command successful.");
    EXPECT_EQ(c->Cmd("NOOP"), "200 NOOP command successful.");
}

TEST_F(FtpThrottledTransfer, AClientClosingTheDataConnectionAbortsTheTransfer) {
    TFd data = StartBigDownload();
    test::ResetClose(data);
    EXPECT_EQ(c->Reply(), "426 Connection closed, transfer aborted.");
    EXPECT_EQ(c->Reply(), "226 Transfer aborted.");
    EXPECT_EQ(c->Cmd("NOOP"), "200 NOOP command successful.");
}

TEST_F(FtpThrottledTransfer, AClientVanishingMidTransferFreesTheServer) {
    TFd data = StartBigDownload();
    c->Close();
    data.Reset();
    // The server serves others, and stops at once.
    auto other = run->LoggedIn();
    ASSERT_TRUE(other);
    EXPECT_EQ(other->Cmd("NOOP"), "200 NOOP command successful.");
    const auto started = std::chrono::steady_clock::now();
    run->server.Stop();
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(20));
}

TEST_F(FtpThrottledTransfer, StopAbortsRunningTransfers) {
    TFd data = StartBigDownload();
    const auto started = std::chrono::steady_clock::now();
    run->server.Stop();
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(20));
    EXPECT_LT(ReadAll(data.Get()).size(), 4u * 1024 * 1024);
}

TEST_F(FtpTransfer, AborBeforeTheClientConnectsLeavesTheTargetAlone) {
    dir.Write("keep.txt", "precious");
    ASSERT_NE(c->Pasv(), 0);
    c->Send("STOR keep.txt");
    EXPECT_EQ(c->Reply(), "150 Opening data connection for keep.txt.");
    c->Send("ABOR");
    EXPECT_EQ(c->Reply(), "426 Connection closed, transfer aborted.");
    EXPECT_EQ(c->Reply(), "226 Transfer aborted.");
    EXPECT_EQ(dir.Read("keep.txt"), "precious");
    // ABOR with only a prepared data connection drops it.
    ASSERT_NE(c->Pasv(), 0);
    EXPECT_EQ(c->Cmd("ABOR"), "226 ABOR command successful.");
    EXPECT_EQ(c->Cmd("STOR keep.txt"), "425 Can not open data connection");
    EXPECT_EQ(dir.Read("keep.txt"), "precious");
}

// An ABOR in the same write as a transfer command that fails before its transfer is still
// answered, after that command's reply: one reply each, in order.
TEST_F(FtpTransfer, AborBehindATransferThatFailsIsAnsweredAfterIt) {
    dir.Write("a.txt", "abc");
    struct TCase {
        bool passive;
        std::string command;
        std::string reply;
        int abors = 1;
    };
    const TCase cases[] = {
        {true, "RETR missing.txt", "550 missing.txt: No such file or directory"},
        {false, "RETR a.txt", "425 Can not open data connection"},
        {false, "STOR b.txt", "425 Can not open data connection"},
        {true, "LIST missing", "550 missing: No such file or directory"},
        {true, "RETR missing.txt", "550 missing.txt: No such file or directory", 2},
        // A digest cannot be stopped; the ABOR handed on to its wait is answered after it.
        {false, "HASH a.txt",
         "213 SHA-256 0-2 ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad a.txt"},
    };
    for (const auto& t : cases) {
        for (int round = 0; round < 20; ++round) {
            if (t.passive) {
                ASSERT_NE(c->Pasv(), 0);
            }
            std::string abors;
            for (int i = 0; i < t.abors; ++i)
                abors += "ABOR\r\n";
            c->SendRaw(t.command + "\r\n" + abors);
            EXPECT_EQ(c->Reply(), t.reply) << t.command << " round " << round;
            for (int i = 0; i < t.abors; ++i)
                EXPECT_EQ(c->Reply(), "226 ABOR command successful.") << t.command << " " << round;
            ASSERT_EQ(c->Cmd("NOOP"), "200 NOOP command successful.") << t.command;
        }
    }
    // A QUIT behind the ABOR waits for it: it neither answers nor closes ahead of its reply.
    for (int round = 0; round < 8; ++round) {
        auto quitting = run->LoggedIn();
        ASSERT_TRUE(quitting);
        ASSERT_NE(quitting->Pasv(), 0);
        quitting->SendRaw("RETR missing.txt\r\nABOR\r\nQUIT\r\n");
        EXPECT_EQ(quitting->Reply(), "550 missing.txt: No such file or directory") << round;
        EXPECT_EQ(quitting->Reply(), "226 ABOR command successful.") << round;
        EXPECT_EQ(quitting->Reply().substr(0, 4), "221 ") << round;
    }
}

// SECURITY: ABORs that pile up behind a command that cannot stop (here one held in its file
// event) get a bounded number of replies when it ends.
TEST_F(FtpTransfer, AborsPiledUpBehindARunningCommandGetBoundedReplies) {
    std::mutex lock;
    std::condition_variable wake;
    bool release = false;
    std::atomic<int> abors{0};
    run->server.Stop();
    run->server.OnGetFile = [&](TnbFtpServer&, TnbFtpCommandConnection&, const std::string&,
                                std::unique_ptr<TnbStream>&, bool& success,
                                std::string& message) {
        std::unique_lock guard(lock);
        wake.wait_for(guard, std::chrono::milliseconds(test::kWaitMs), [&] { return release; });
        success = false;
        message = "held";
    };
    run->server.OnReceiveCommand = [&](TnbTcpCommandServer&, TnbCommandConnection&,
                                       TnbTcpCommandParams& p) {
        if (p.Command == "ABOR")
            ++abors;
    };
    run->Start();
    c = run->LoggedIn();
    ASSERT_TRUE(c);
    const int sent = 2 * kFtpMaxOwedAborReplies;  // all within one parse budget
    std::string lines = "RETR a.txt\r\n";
    for (int i = 0; i < sent; ++i)
        lines += "ABOR\r\n";
    c->SendRaw(lines);
    ASSERT_TRUE(test::WaitFor([&] { return abors.load() == sent; }));
    {
        std::lock_guard guard(lock);
        release = true;
    }
    wake.notify_all();
    EXPECT_EQ(c->Reply(), "550 a.txt: held");
    c->Send("NOOP");
    int answered = 0;
    std::string reply = c->Reply();
    for (; reply == "226 ABOR command successful."; reply = c->Reply())
        ++answered;
    EXPECT_EQ(reply, "200 NOOP command successful.");
    // The last ABOR may have ended after the RETR and answered for itself.
    EXPECT_GE(answered, kFtpMaxOwedAborReplies);
    EXPECT_LE(answered, kFtpMaxOwedAborReplies + 1);
}

TEST_F(FtpTransfer, DoneEventsSeeTheOutcomeAndMayAnswer) {
    dir.Write("a.txt", "abc");
    std::vector<std::string> seen;
    std::mutex lock;
    run->server.Stop();
    run->server.OnGetFileDone =
        [&](TnbFtpServer&, TnbFtpCommandConnection&, const std::string& name, std::int64_t size,
            TnbFtpFileTransferStatus& status, std::string& error, std::string& response) {
            std::lock_guard guard(lock);
            seen.push_back(test::TTempDir::Base(name) + ":" + std::to_string(size) + ":" +
                           std::to_string(static_cast<int>(status)) + ":" + error);
            if (test::TTempDir::Base(name) == "a.txt")
                response = "Done, thanks";
        };
    run->server.OnPutFileDone = [&](TnbFtpServer&, TnbFtpCommandConnection&, const std::string&,
                                    std::int64_t size, TnbFtpFileTransferStatus& status,
                                    std::string& error, std::string&) {
        if (size == 3) {
            status = TnbFtpFileTransferStatus::tsFail;
            error = "rejected by policy";
        }
    };
    run->Start();
    c = run->LoggedIn();
    ASSERT_TRUE(c);
    std::string preliminary, final;
    EXPECT_EQ(c->PassiveGet("RETR a.txt", preliminary, final), "abc");
    EXPECT_EQ(final, "226 Done, thanks.");
    EXPECT_EQ(c->Cmd("RETR a.txt"), "425 Can not open data connection");
    EXPECT_EQ(c->PassivePut("STOR b.txt", "xyz"), "500 rejected by policy");
    std::lock_guard guard(lock);
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0], "a.txt:3:0:");
    EXPECT_EQ(seen[1], "a.txt:3:1:425 Can not open data connection");
}

// A destination that fails after a few bytes, like a full disk (or the error given).
class TFullStream : public TnbMemoryStream {
public:
    explicit TFullStream(int error) : error_(error) {}
    std::int64_t Write(const void* buffer, std::int64_t count) override {
        if (GetSize() + count > 10)
            throw EnbFileError(error_);
        return TnbMemoryStream::Write(buffer, count);
    }

private:
    int error_;
};

TEST_F(FtpTransfer, AFailedWriteIsNeverACompletedUpload) {
    run->server.Stop();
    std::atomic<int> doneStatus{-1};
    std::atomic<int> error{ENOSPC};
    run->server.OnPutFile = [&](TnbFtpServer&, TnbFtpCommandConnection&, const std::string&, bool,
                                std::unique_ptr<TnbStream>& destination, bool&,
                                std::string&) {
        destination = std::make_unique<TFullStream>(error.load());
    };
    run->server.OnPutFileDone = [&](TnbFtpServer&, TnbFtpCommandConnection&, const std::string&,
                                    std::int64_t, TnbFtpFileTransferStatus& status, std::string&,
                                    std::string&) { doneStatus = static_cast<int>(status); };
    run->Start();
    c = run->LoggedIn();
    ASSERT_TRUE(c);
    // A full disk is transient (452), an exceeded quota or file size a storage refusal (552).
    const std::pair<int, std::string> cases[] = {
        {ENOSPC, "452 full.bin: No space left on device"},
        {EDQUOT, "552 full.bin: Disk quota exceeded"},
        {EFBIG, "552 full.bin: File too large"},
        {EIO, "550 full.bin: Input/output error"},
    };
    for (const auto& [code, reply] : cases) {
        error = code;
        doneStatus = -1;
        EXPECT_EQ(c->PassivePut("STOR full.bin", test::BinaryContent(100000)), reply);
        EXPECT_EQ(doneStatus.load(), static_cast<int>(TnbFtpFileTransferStatus::tsFail));
    }
    EXPECT_EQ(c->Cmd("NOOP"), "200 NOOP command successful.");
}

TEST_F(FtpTransfer, TransfersNeedANameBelowTheRoot) {
    // Neither an empty name nor the root itself may reach the file events: their refusal would
    // name the root's local folder.
    for (const char* command : {"RETR", "STOR", "APPE"}) {
        EXPECT_EQ(c->Cmd(std::string(command)), "501 invalid argument") << command;
        EXPECT_EQ(c->Cmd(std::string(command) + " /"), "550 /: Access is denied.") << command;
        EXPECT_EQ(c->Cmd(std::string(command) + " .."), "550 ..: Access is denied.") << command;
    }
    EXPECT_EQ(c->Cmd("NOOP"), "200 NOOP command successful.");
}

}  // namespace
}  // namespace nb
