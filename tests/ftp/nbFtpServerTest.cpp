// End-to-end tests of the FTP session core, login and the service commands, over loopback.
#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>

#include "nbFtpTestClient.h"
#include "server/nbServerGuard.h"

namespace nb {
namespace {

using test::TFtpClient;
using test::TRunningServer;
using test::TTempDir;

TEST(FtpServerDefaults, AreThoseOfTheComponent) {
    TnbFtpServer server;
    EXPECT_EQ(server.Port(), 21);
    EXPECT_EQ(server.TimeOut(), 60000);
    EXPECT_EQ(server.ServerName(), "Norbit Internet Suite FTP service");
    EXPECT_EQ(server.ServerOS(), "Windows 9x/NT.");
    EXPECT_EQ(server.DirListingStyle(), TnbDirListingStyle::lsMsDos);
    EXPECT_FALSE(server.AllowAnonymousAccess());
    EXPECT_FALSE(server.CaseInsensitive());
    EXPECT_FALSE(server.UseFxp());
    EXPECT_EQ(server.RootDir(), "");
    EXPECT_EQ(server.Extensions(), (std::vector<std::string>{"SIZE", "REST STREAM", "MDTM"}));
    server.SetRootDir("/srv/ftp/");
    EXPECT_EQ(server.RootDir(), "/srv/ftp");
    server.SetRootDir("/");
    EXPECT_EQ(server.RootDir(), "/");
}

TEST(FtpServerPermissions, AllAloneGrantsEverythingAndWithOthersOnlyThose) {
    TnbFtpServerPermissions all{TnbFtpServerPermission::spAll};
    TnbFtpServerPermissions mixed{TnbFtpServerPermission::spAll, TnbFtpServerPermission::spUpload};
    EXPECT_EQ(mixed.Bits(), 0x90);
    EXPECT_TRUE(mixed.Contains(TnbFtpServerPermission::spUpload));
    EXPECT_FALSE(mixed.Contains(TnbFtpServerPermission::spDownload));
    EXPECT_NE(all, mixed);
}

class FtpSession : public ::testing::Test {
protected:
    TTempDir dir;
    std::unique_ptr<TRunningServer> run;

    void StartServer(bool bindHandler = true) {
        run = std::make_unique<TRunningServer>(dir.Path(), bindHandler);
        Configure(run->server);
        run->Start();
    }
    virtual void Configure(TnbFtpServer&) {}
};

TEST_F(FtpSession, GreetsAndAnswersBeforeLogin) {
    StartServer();
    auto c = run->Client();
    ASSERT_TRUE(c);
    EXPECT_EQ(run->greeting, "220 Norbit Internet Suite FTP service");
    EXPECT_EQ(c->Cmd("FOO bar"), "502 Command not implemented.");
    EXPECT_EQ(c->Cmd("CCC"), "502 Command not implemented.");
    EXPECT_EQ(c->Cmd("PWD"), "530 Not logged in.");
    EXPECT_EQ(c->Cmd("FEAT"), "530 Not logged in.");
    EXPECT_EQ(c->Cmd("HELP"),
              "214-The following commands are recognized\n214 HELP command successful.");
    EXPECT_EQ(c->Cmd("PASS x"), "503 Login with USER first.");
    EXPECT_EQ(c->Cmd("quit"), "221 Bye Bye.");
    EXPECT_TRUE(c->WaitClosed());
}

TEST_F(FtpSession, AcceptHandlerCanTakeOverTheGreeting) {
    run = std::make_unique<TRunningServer>(dir.Path());
    run->server.OnAcceptConnection = [](TnbTcpServer& s, TnbUserConnection& c, bool& handled) {
        handled = true;
        static_cast<TnbFtpServer&>(s).SendResponse(static_cast<TnbCommandConnection&>(c), "",
                                                   "220 custom");
    };
    run->Start();
    auto c = run->Client();
    ASSERT_TRUE(c);
    EXPECT_EQ(run->greeting, "220 custom");
}

TEST_F(FtpSession, LogsInWithAnAccountAndRefusesWrongCredentials) {
    StartServer();
    auto c = run->Client();
    ASSERT_TRUE(c);
    EXPECT_EQ(c->Cmd("USER  user "), "331 Password required for user.");
    EXPECT_EQ(c->Cmd("PASS secret"), "230 User user logged in.");
    EXPECT_EQ(c->Cmd("PWD"), "257 \"/\" is current directory.");
    // A second PASS runs the whole check again; failing it logs out and forgets the user.
    EXPECT_EQ(c->Cmd("PASS wrong"), "530 User user cannot log in.");
    EXPECT_EQ(c->Cmd("PWD"), "530 Not logged in.");
    EXPECT_EQ(c->Cmd("PASS secret"), "503 Login with USER first.");
    EXPECT_EQ(c->Cmd("USER nobody"), "331 Password required for nobody.");
    EXPECT_EQ(c->Cmd("PASS secret"), "530 User nobody cannot log in.");
    EXPECT_EQ(c->Cmd("USER"), "331 Password required for .");
    // Case matters unless CaseInsensitive.
    EXPECT_EQ(c->Cmd("USER USER"), "331 Password required for USER.");
    EXPECT_EQ(c->Cmd("PASS secret"), "530 User USER cannot log in.");
    c->Cmd("USER user");
    EXPECT_EQ(c->Cmd("PASS SECRET"), "530 User user cannot log in.");
}

TEST_F(FtpSession, CaseInsensitiveGovernsNamesPasswordsAndTheAnonymousName) {
    StartServer();
    run->server.SetCaseInsensitive(true);
    run->server.SetAllowAnonymousAccess(true);
    auto c = run->Client();
    ASSERT_TRUE(c);
    c->Cmd("USER USER");
    EXPECT_EQ(c->Cmd("PASS SeCrEt"), "230 User USER logged in.");
    EXPECT_EQ(c->Cmd("USER aNoNyMoUs"),
              "331 Anonymous access allowed, send identity (e-mail name) as password.");
    EXPECT_EQ(c->Cmd("PASS me@example.org"), "230 Anonymous user logged in.");
}

TEST_F(FtpSession, AnonymousLoginNeedsTheExactNameAndAnIdentity) {
    StartServer();
    run->server.SetAllowAnonymousAccess(true);
    auto c = run->Client();
    ASSERT_TRUE(c);
    EXPECT_EQ(c->Cmd("USER anonymous"), "331 Password required for anonymous.");
    EXPECT_EQ(c->Cmd("USER Anonymous"),
              "331 Anonymous access allowed, send identity (e-mail name) as password.");
    EXPECT_EQ(c->Cmd("PASS    "), "530 User Anonymous cannot log in.");
    // The user name stays, so PASS may be retried.
    EXPECT_EQ(c->Cmd("PASS guest@"), "230 Anonymous user logged in.");
    EXPECT_EQ(c->Cmd("MKD x"), "550 x: Access is denied.");
    EXPECT_EQ(c->Cmd("DELE x"), "550 x: Access is denied.");
    EXPECT_EQ(c->Cmd("RNFR x"), "550 x: Access is denied.");
    EXPECT_EQ(c->Cmd("STOR x"), "550 x: Access is denied.");
    EXPECT_EQ(c->Cmd("CWD /"), "250 CWD command successful.");
    run->server.SetAllowAnonymousAccess(false);
    EXPECT_EQ(c->Cmd("USER Anonymous"), "331 Password required for Anonymous.");
    EXPECT_EQ(c->Cmd("PASS guest@"), "530 User Anonymous cannot log in.");
}

TEST_F(FtpSession, ReinitialisingEndsTheLogin) {
    StartServer();
    auto c = run->LoggedIn();
    ASSERT_TRUE(c);
    EXPECT_EQ(c->Cmd("CWD .."), "250 CWD command successful.");
    EXPECT_EQ(c->Cmd("REIN"), "220 Service ready for new user.");
    EXPECT_EQ(c->Cmd("PWD"), "530 Not logged in.");
    EXPECT_EQ(c->Cmd("PASS secret"), "503 Login with USER first.");
    EXPECT_TRUE(c->Login("user", "secret"));
}

TEST_F(FtpSession, AuthenticateHandlerDecidesAndMayAdmitUnknownUsers) {
    run = std::make_unique<TRunningServer>(dir.Path());
    run->server.OnAuthenticate = [](TnbFtpServer&, TnbFtpCommandConnection&,
                                    TnbFtpUserAccountItemPtr& account, const std::string& user,
                                    const std::string& password, bool& authorized, bool& handled) {
        if (user == "user") {
            handled = true;
            authorized = false;  // a known account refused by the application
        } else if (user == "ghost") {
            EXPECT_EQ(account, nullptr);
            handled = true;
            authorized = password == "boo";
        }
    };
    run->Start();
    auto c = run->Client();
    ASSERT_TRUE(c);
    c->Cmd("USER user");
    EXPECT_EQ(c->Cmd("PASS secret"), "530 User user cannot log in.");
    c->Cmd("USER ghost");
    EXPECT_EQ(c->Cmd("PASS boo"), "230 User ghost logged in.");
    // Without an account: all rights and the server's root.
    EXPECT_EQ(c->Cmd("MKD made"), "257 made directory created.");
    EXPECT_TRUE(dir.Exists("made"));
}

TEST_F(FtpSession, CreatedAccountsAreConfinedToTheirRootAndCompareExactly) {
    dir.MakeDir("private");
    dir.Write("private/mine.txt", "12345");
    dir.Write("top.txt", "1");
    run = std::make_unique<TRunningServer>(dir.Path());
    run->server.SetCaseInsensitive(true);
    const std::string root = dir / "private/";
    run->server.OnCreateUserAccount = [root](TnbFtpServer&, TnbFtpCommandConnection&,
                                             const std::string& user,
                                             TnbFtpUserAccountItemPtr& account) {
        if (user != "temp")
            return;
        account = std::make_shared<TnbFtpUserAccountItem>();
        account->SetUserName("temp");
        account->SetPassword("Pw");
        account->SetRootDir(root);
        account->SetPermissions({TnbFtpServerPermission::spDownload});
    };
    run->Start();
    auto c = run->Client();
    ASSERT_TRUE(c);
    c->Cmd("USER temp");
    // The transient account belongs to no list: its password compares exactly.
    EXPECT_EQ(c->Cmd("PASS pw"), "530 User temp cannot log in.");
    c->Cmd("USER temp");
    EXPECT_EQ(c->Cmd("PASS Pw"), "230 User temp logged in.");
    EXPECT_EQ(c->Cmd("SIZE mine.txt"), "213 5");
    EXPECT_EQ(c->Cmd("SIZE ../top.txt"), "550 ../top.txt: No such file or directory");
    EXPECT_EQ(c->Cmd("CWD /"), "550 /: Access is denied.");
}

TEST_F(FtpSession, GuardCanRefuseALogin) {
    TnbServerGuard guard;
    guard.OnCanLogin = [](TnbServerGuard&, const std::string& user, const std::string&,
                          std::int32_t, std::int32_t, bool& allowed, bool& handled) {
        handled = true;
        allowed = user != "user";
    };
    run = std::make_unique<TRunningServer>(dir.Path());
    run->server.SetGuard(&guard);
    run->Start();
    auto c = run->Client();
    ASSERT_TRUE(c);
    c->Cmd("USER user");
    EXPECT_EQ(c->Cmd("PASS secret"), "530 User user cannot log in.");
    EXPECT_EQ(c->Cmd("PWD"), "530 Not logged in.");
    run->server.Stop();
    run->server.SetGuard(nullptr);
}

// A failed login's delay holds no thread: with two command threads, six clients waiting out
// their delays leave a fresh client's login untouched, and each of them gets its 530 only after
// the delay, before the answer to what it sent next. The guessing address's login turns hold
// none either: its right password is answered in its turn, after the guesses.
TEST_F(FtpSession, LoginDelaysWaitWithoutHoldingAThread) {
    TnbServerGuard guard;
    TnbGuardLoginDelay delay;
    delay.SetIsRandom(false);
    delay.SetIncrement(3000);
    guard.SetLoginDelay(delay);
    guard.SetEnableConnectCheck(false);  // all clients come from one address
    run = std::make_unique<TRunningServer>(dir.Path());
    // The server goes before the guard, however the test ends.
    struct TDropServer {
        std::unique_ptr<TRunningServer>& server;
        ~TDropServer() { server.reset(); }
    } drop{run};
    run->server.SetMaxThreadCount(2);
    run->server.SetGuard(&guard);
    run->Start();

    std::vector<std::unique_ptr<TFtpClient>> guessing;
    for (int i = 0; i < 6; ++i) {
        guessing.push_back(run->Client());
        ASSERT_TRUE(guessing.back());
        // One name each: every first failure waits one increment.
        guessing.back()->SendRaw("USER nobody" + std::to_string(i) + "\r\nPASS x\r\nPWD\r\n");
        EXPECT_EQ(guessing.back()->Reply().substr(0, 4), "331 ");
    }
    // As many as there are threads: waits that held one each would stall the fresh login.
    std::vector<std::unique_ptr<TFtpClient>> rightPassword;
    for (int i = 0; i < 2; ++i) {
        rightPassword.push_back(run->Client());
        ASSERT_TRUE(rightPassword.back());
        rightPassword.back()->SendRaw("USER user\r\nPASS secret\r\nPWD\r\n");
        EXPECT_EQ(rightPassword.back()->Reply().substr(0, 4), "331 ");
    }
    // From another address, so that the guesses' turns do not hold it up.
    auto fresh = run->Client("127.0.0.2");
    ASSERT_TRUE(fresh && fresh->Login("user", "secret"))
        << "a fresh login is answered while the others wait out their delays";
    EXPECT_EQ(fresh->Cmd("PWD"), "257 \"/\" is current directory.");
    for (auto& client : guessing) {
        EXPECT_FALSE(test::WaitReadable(client->Fd(), 0))
            << "a failed login answered before its delay";
    }
    for (auto& client : rightPassword) {
        EXPECT_FALSE(test::WaitReadable(client->Fd(), 0)) << "a login answered before its turn";
    }
    for (int i = 0; i < 6; ++i) {
        EXPECT_EQ(guessing[i]->Reply(), "530 User nobody" + std::to_string(i) + " cannot log in.");
        EXPECT_EQ(guessing[i]->Reply(), "530 Not logged in.") << "the next command waited";
    }
    for (auto& client : rightPassword) {
        EXPECT_FALSE(test::WaitReadable(client->Fd(), 0)) << "the turn comes after the guesses";
    }
    for (auto& client : rightPassword) {
        EXPECT_EQ(client->Reply(), "230 User user logged in.");
        EXPECT_EQ(client->Reply(), "257 \"/\" is current directory.") << "PWD waited";
    }
}

TEST_F(FtpSession, AnUnexpectedErrorAnswers451AndCloses) {
    dir.Write("a.txt", "x");
    run = std::make_unique<TRunningServer>(dir.Path());
    std::atomic<int> errors{0};
    run->server.OnServerError = [&](TnbTcpServer&, TnbUserConnection*, const std::exception&) {
        ++errors;
    };
    run->server.OnGetFileList = [](TnbFtpServer&, TnbFtpCommandConnection&, const std::string&,
                                   const std::string&, bool, TnbFtpFileInfoList&, bool&,
                                   std::string&) {
        throw std::runtime_error("  disk\r\non fire  ");
    };
    run->Start();
    auto c = run->LoggedIn();
    ASSERT_TRUE(c);
    EXPECT_EQ(c->Cmd("SIZE a.txt"), "451 Requested action aborted: disk  on fire");
    EXPECT_TRUE(c->WaitClosed());
    for (int i = 0; i < 500 && errors.load() == 0; ++i)
        ::usleep(10000);
    EXPECT_EQ(errors.load(), 1);
}

TEST_F(FtpSession, ServiceCommandsAnswerExactly) {
    StartServer();
    auto c = run->LoggedIn();
    ASSERT_TRUE(c);
    EXPECT_EQ(c->Cmd("MODE s"), "200 Mode S ok.");
    EXPECT_EQ(c->Cmd("MODE Z"), "504 Command not implemented for that parameter.");
    EXPECT_EQ(c->Cmd("MODE X"), "501 invalid argument");
    EXPECT_EQ(c->Cmd("STRU R"), "504 Command not implemented for that parameter.");
    EXPECT_EQ(c->Cmd("STRU FF"), "501 invalid argument");
    EXPECT_EQ(c->Cmd("TYPE i"), "200 Type I ok.");
    EXPECT_EQ(c->Cmd("TYPE A N"), "501 invalid argument");
    EXPECT_EQ(c->Cmd("TYPE L 8"), "501 invalid argument");
    EXPECT_EQ(c->Cmd("NOOP"), "200 NOOP command successful.");
    EXPECT_EQ(c->Cmd("ALLO 1000"), "200 NOOP command successful.");
    EXPECT_EQ(c->Cmd("SYST"), "215 Windows 9x/NT.");
    EXPECT_EQ(c->Cmd("SITE CHMOD 777 x"),
              "214-The following SITE commands are recognized.\n214 HELP command successful.");
    EXPECT_EQ(c->Cmd("STAT"),
              "211-FTP Service status:\n"
              "     Connected to 127.0.0.1\n"
              "     Logged in as user\n"
              "     TYPE: BINARY, FORM: Nonprint; STRUcture: File; transfer MODE: STREAM\n"
              "     No data connection\n"
              "211 End of status.");
    EXPECT_EQ(c->Cmd("FEAT"), "211-FEAT\n    SIZE\n    REST STREAM\n    MDTM\n211 END");
    EXPECT_EQ(c->Cmd("OPTS UTF8 ON"), "501 Option not supported.");
    EXPECT_EQ(c->Cmd("AUTH TLS"), "500 SSL encryption disabled");
    EXPECT_EQ(c->Cmd("PBSZ 16384"), "200 Protection buffer size set to 0");
    // Without TLS no protected data channel can be had: it is refused, not promised.
    EXPECT_EQ(c->Cmd("PROT Private"), "536 Unsupported option");
    EXPECT_EQ(c->Cmd("PROT C"), "200 Data channel will be clear text");
    EXPECT_EQ(c->Cmd("PROT"), "536 Unsupported option");
    EXPECT_EQ(c->Cmd("PROT S"), "536 Unsupported option");
    EXPECT_EQ(c->Cmd("ABOR"), "226 ABOR command successful.");
    // STAT right after PASV has no "No data connection" line.
    ASSERT_NE(c->Pasv(), 0);
    EXPECT_EQ(c->Cmd("STAT").find("No data connection"), std::string::npos);
    EXPECT_EQ(c->Cmd("QUIT"), "221 Bye Bye.");
    EXPECT_TRUE(c->WaitClosed());
}

TEST_F(FtpSession, HelpSiteAndFeatUseTheHostsLines) {
    run = std::make_unique<TRunningServer>(dir.Path());
    run->server.SetExtensions({"SIZE", " UTF8", "MLST type*;size*;"});
    run->server.OnHelpCommand = [](TnbFtpServer&, TnbFtpCommandConnection&,
                                   const std::string& params, std::vector<std::string>& text) {
        text = {"Help for" + params, "line two\r\nforged", "end"};
    };
    run->server.OnSiteCommand = [](TnbFtpServer&, TnbFtpCommandConnection&,
                                   const std::string& params, std::vector<std::string>& response,
                                   int& code) {
        if (params == "OK") {
            response = {"OK"};
            code = 200;
        }
    };
    run->Start();
    auto c = run->LoggedIn();
    ASSERT_TRUE(c);
    EXPECT_EQ(c->Cmd("HELP  X"), "214-Help for X\n    line two  forged\n214 end");
    EXPECT_EQ(c->Cmd("SITE OK"), "200 OK");
    EXPECT_EQ(c->Cmd("FEAT"), "211-FEAT\n    SIZE\n UTF8\n    MLST type*;size*;\n211 END");
}

}  // namespace
}  // namespace nb
