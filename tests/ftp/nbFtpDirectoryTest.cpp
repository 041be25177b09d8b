// End-to-end tests of path confinement and the directory and file commands, over loopback with
// the local file handler.
#include <gtest/gtest.h>
#include <sys/time.h>
#include <unistd.h>

#include <ctime>
#include <filesystem>

#include "nbFtpTestClient.h"

namespace nb {
namespace {

using test::TRunningServer;
using test::TTempDir;

// base/ftp is the root; its siblings ftp2 and FTP hold what must stay out of reach.
class FtpConfinement : public ::testing::TestWithParam<const char*> {
protected:
    TTempDir base;
    void SetUp() override {
        base.MakeDir("ftp/pub");
        base.MakeDir("ftp2");
        base.MakeDir("FTP");
        base.Write("ftp2/secret", "secret");
        base.Write("FTP/x", "sibling");
        base.Write("ftp/x", "in");
    }
    // The root in the form the parameter names: absolute, relative or empty (working dir).
    std::string Root() {
        const std::string kind = GetParam();
        const std::string root = base / "ftp";
        if (kind == std::string("relative")) {
            return std::filesystem::relative(root, std::filesystem::current_path()).string() + "/";
        }
        return root;
    }
};

TEST_P(FtpConfinement, ClimbingOutLandsInsideTheRoot) {
    std::unique_ptr<TRunningServer> run;
    if (GetParam() == std::string("empty")) {
        // An empty root is the working directory at the time it is set.
        const auto saved = std::filesystem::current_path();
        std::filesystem::current_path(base / "ftp");
        run = std::make_unique<TRunningServer>("");
        std::filesystem::current_path(saved);
    } else {
        run = std::make_unique<TRunningServer>(Root());
    }
    run->Start();
    auto c = run->LoggedIn();
    ASSERT_TRUE(c);
    EXPECT_EQ(c->Cmd("SIZE ../ftp2/secret"), "550 ../ftp2/secret: No such file or directory");
    EXPECT_EQ(c->Cmd("SIZE ../FTP/x"), "213 2");  // the root's own x
    EXPECT_EQ(c->Cmd("SIZE ..\\..\\x"), "213 2");
    EXPECT_EQ(c->Cmd("SIZE //etc/passwd"), "550 //etc/passwd: No such file or directory");
    EXPECT_EQ(c->PassiveGet("RETR ../ftp2/secret"), "");
    EXPECT_EQ(c->Cmd("CWD ../../.."), "250 CWD command successful.");
    EXPECT_EQ(c->Cmd("PWD"), "257 \"/\" is current directory.");
    EXPECT_EQ(c->Cmd("CWD pub"), "250 CWD command successful.");
    EXPECT_EQ(c->Cmd("CWD ../../ftp2"), "550 /ftp2: No such file or directory");
    EXPECT_EQ(c->Cmd("PWD"), "257 \"/pub\" is current directory.");
    EXPECT_EQ(c->Cmd("RMD /"), "550 /: Access is denied.");
    EXPECT_EQ(c->Cmd("DELE .."), "550 ..: Access is denied.");
    EXPECT_EQ(c->Cmd("RNFR ../.."), "550 ../..: Access is denied.");
    EXPECT_EQ(c->Cmd("CWD /"), "250 CWD command successful.");
    EXPECT_EQ(base.Read("ftp2/secret"), "secret");
}

INSTANTIATE_TEST_SUITE_P(Roots, FtpConfinement, ::testing::Values("absolute", "relative", "empty"));

TEST(FtpConfinementAtSlash, TheFileSystemRootWorks) {
    TTempDir dir;
    dir.Write("a.txt", "abc");
    TRunningServer run("/");
    run.Start();
    auto c = run.LoggedIn();
    ASSERT_TRUE(c);
    EXPECT_EQ(c->Cmd("CWD /"), "250 CWD command successful.");
    EXPECT_EQ(c->Cmd("CWD " + dir.Path()), "250 CWD command successful.");
    EXPECT_EQ(c->Cmd("PWD"), "257 \"" + dir.Path() + "\" is current directory.");
    EXPECT_EQ(c->Cmd("SIZE a.txt"), "213 3");
    EXPECT_EQ(c->Cmd("CDUP"), "250 CWD command successful.");
    EXPECT_EQ(c->Cmd("CWD ../../../../../../../../.."), "250 CWD command successful.");
    EXPECT_EQ(c->Cmd("PWD"), "257 \"/\" is current directory.");
    EXPECT_EQ(c->Cmd("XCUP"), "250 CWD command successful.");
    EXPECT_EQ(c->Cmd("XPWD"), "257 \"/\" is current directory.");
}

class FtpDirectory : public ::testing::Test {
protected:
    TTempDir dir;
    std::unique_ptr<TRunningServer> run;
    std::unique_ptr<test::TFtpClient> c;

    void SetUp() override {
        dir.MakeDir("pub/docs");
        dir.MakeDir(".well-known");
        dir.Write("a.txt", "hello");
        dir.Write("p*", "star");
        dir.Write(".htaccess", "deny");
        run = std::make_unique<TRunningServer>(dir.Path());
        run->Start();
        c = run->LoggedIn();
        ASSERT_TRUE(c);
    }
};

TEST_F(FtpDirectory, ChangesDirectoryOnlyToExistingDirectories) {
    EXPECT_EQ(c->Cmd("CWD pub/"), "250 CWD command successful.");
    EXPECT_EQ(c->Cmd("PWD"), "257 \"/pub\" is current directory.");
    EXPECT_EQ(c->Cmd("XCWD docs"), "250 CWD command successful.");
    EXPECT_EQ(c->Cmd("PWD"), "257 \"/pub/docs\" is current directory.");
    EXPECT_EQ(c->Cmd("CWD"), "250 CWD command successful.");
    EXPECT_EQ(c->Cmd("CDUP"), "250 CWD command successful.");
    EXPECT_EQ(c->Cmd("PWD"), "257 \"/pub\" is current directory.");
    EXPECT_EQ(c->Cmd("CWD /missing"), "550 /missing: No such file or directory");
    EXPECT_EQ(c->Cmd("CWD  /a.txt"), "550  /a.txt: No such file or directory.");
    EXPECT_EQ(c->Cmd("PWD"), "257 \"/pub\" is current directory.");
    EXPECT_EQ(c->Cmd("CWD /.well-known"), "250 CWD command successful.");
    // Single-entry lookups use the exact name, never a pattern.
    EXPECT_EQ(c->Cmd("CWD /p*"), "550 /p*: No such file or directory.");
    EXPECT_EQ(c->Cmd("CWD /pu?"), "550 /pu?: The system cannot find the file specified.");
    EXPECT_EQ(c->Cmd("SIZE /p*"), "213 4");
    EXPECT_EQ(c->Cmd("SIZE /*.txt"), "550 /*.txt: The system cannot find the file specified.");
}

TEST_F(FtpDirectory, MakesAndRemovesDirectoriesAndFiles) {
    EXPECT_EQ(c->Cmd("MKD new"), "257 new directory created.");
    EXPECT_TRUE(std::filesystem::is_directory(dir / "new"));
    EXPECT_EQ(c->Cmd("MKD new"), "550 new: File exists");
    EXPECT_EQ(c->Cmd("XMKD  two "), "257 two directory created.");
    EXPECT_EQ(c->Cmd("MKD"), "501 invalid argument");
    EXPECT_EQ(c->Cmd("RMD new"), "250 RMD command successful.");
    EXPECT_EQ(c->Cmd("XRMD two"), "250 XRMD command successful.");
    EXPECT_FALSE(dir.Exists("two"));
    EXPECT_EQ(c->Cmd("RMD pub"), "550 pub: Directory not empty");
    EXPECT_EQ(c->Cmd("RMD"), "501 invalid argument");
    EXPECT_EQ(c->Cmd("DELE a.txt"), "250 DELE command successful.");
    EXPECT_FALSE(dir.Exists("a.txt"));
    EXPECT_EQ(c->Cmd("DELE a.txt"), "550 a.txt: No such file or directory");
}

TEST_F(FtpDirectory, PwdDoublesQuotes) {
    EXPECT_EQ(c->Cmd("MKD a\"b"), "257 a\"b directory created.");
    EXPECT_EQ(c->Cmd("CWD a\"b"), "250 CWD command successful.");
    EXPECT_EQ(c->Cmd("PWD"), "257 \"/a\"\"b\" is current directory.");
}

TEST_F(FtpDirectory, RenamesWithRnfrAndRnto) {
    EXPECT_EQ(c->Cmd("RNTO b.txt"), "503 Bad sequence of commands.");
    EXPECT_EQ(c->Cmd("RNFR"), "501 invalid argument");
    EXPECT_EQ(c->Cmd("RNFR a.txt"), "350 File exists, ready for destination name");
    EXPECT_EQ(c->Cmd("RNTO"), "501 invalid argument");
    EXPECT_EQ(c->Cmd("RNTO pub/b.txt"), "250 RNTO command successful.");
    EXPECT_EQ(dir.Read("pub/b.txt"), "hello");
    // A failing RNFR still arms RNTO with its name.
    EXPECT_EQ(c->Cmd("RNFR missing.txt"), "550 missing.txt: No such file or directory");
    EXPECT_EQ(c->Cmd("RNTO c.txt"), "550 c.txt: No such file or directory");
    // Renaming never replaces an existing target.
    dir.Write("d.txt", "d");
    c->Cmd("RNFR d.txt");
    EXPECT_EQ(c->Cmd("RNTO p*"), "550 p*: File exists");
    EXPECT_EQ(dir.Read("p*"), "star");
    EXPECT_EQ(c->Cmd("RNTO /"), "550 /: Access is denied.");
}

TEST_F(FtpDirectory, ReportsSizeAndModificationTime) {
    dir.Write("empty", "");
    EXPECT_EQ(c->Cmd("SIZE a.txt"), "213 5");
    EXPECT_EQ(c->Cmd("SIZE empty"), "213 0");
    EXPECT_EQ(c->Cmd("SIZE .htaccess"), "213 4");
    EXPECT_EQ(c->Cmd("SIZE"), "501 invalid argument");
    EXPECT_EQ(c->Cmd("SIZE nothing"), "550 nothing: No such file or directory");
    timeval times[2] = {{1706745599, 0}, {1706745599, 0}};  // 2024-01-31 23:59:59 UTC
    ASSERT_EQ(::utimes((dir / "a.txt").c_str(), times), 0);
    EXPECT_EQ(c->Cmd("MDTM a.txt"), "213 20240131235959");
    EXPECT_EQ(c->Cmd("MDTM 20240101000000 a.txt"),
              "550 20240101000000 a.txt: No such file or directory");
    EXPECT_EQ(c->Cmd("MDTM"), "501 invalid argument");
}

TEST(FtpDirectoryRights, FollowTheAccountAndTheEntrysRealType) {
    TTempDir dir;
    dir.MakeDir("d");
    dir.MakeDir("e");
    dir.Write("f", "1");
    TRunningServer run(dir.Path());
    auto rmdirOnly = run.server.UserAccounts().AddAccount();
    rmdirOnly->SetUserName("rmd");
    rmdirOnly->SetPassword("pw");
    rmdirOnly->SetPermissions({TnbFtpServerPermission::spRemoveDir});
    auto deleteOnly = run.server.UserAccounts().AddAccount();
    deleteOnly->SetUserName("del");
    deleteOnly->SetPassword("pw");
    deleteOnly->SetPermissions({TnbFtpServerPermission::spDelete});
    run.Start();

    auto c = run.Client();
    ASSERT_TRUE(c->Login("rmd", "pw"));
    EXPECT_EQ(c->Cmd("DELE f"), "550 f: Access is denied.");
    EXPECT_EQ(c->Cmd("RMD f"), "550 f: Access is denied.");  // a file, whatever the command
    EXPECT_EQ(c->Cmd("RMD d"), "250 RMD command successful.");
    EXPECT_EQ(c->Cmd("CWD e"), "550 e: Access is denied.");
    EXPECT_EQ(c->Cmd("MKD x"), "550 x: Access is denied.");
    EXPECT_EQ(c->Cmd("RNFR f"), "550 f: Access is denied.");

    ASSERT_TRUE(c->Login("del", "pw"));
    EXPECT_EQ(c->Cmd("DELE e"), "550 e: Access is denied.");  // a directory
    EXPECT_EQ(c->Cmd("DELE f"), "250 DELE command successful.");
    EXPECT_TRUE(dir.Exists("e"));
    EXPECT_FALSE(dir.Exists("f"));
}

TEST(FtpDirectoryUnbound, FileEventsWithoutHandlerFail) {
    TTempDir dir;
    dir.MakeDir("d");
    TRunningServer run(dir.Path(), false);
    run.Start();
    auto c = run.LoggedIn();
    ASSERT_TRUE(c);
    EXPECT_EQ(c->Cmd("MKD x"), "550 x: failed");
    EXPECT_EQ(c->Cmd("RMD d"), "550 d: failed");
    EXPECT_EQ(c->Cmd("DELE d"), "550 d: failed");
    EXPECT_EQ(c->Cmd("CWD d"), "550 /d: The system cannot find the file specified.");
    EXPECT_TRUE(dir.Exists("d"));
}

}  // namespace
}  // namespace nb
