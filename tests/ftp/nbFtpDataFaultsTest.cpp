// Data connections that cannot be made, or that a refused PORT or PASV left behind: each fails
// or serves one command, and the session goes on.
#include <gtest/gtest.h>

#include "nbFtpTestClient.h"

namespace nb {
namespace {

using test::TRunningServer;
using test::TTempDir;

TEST(FtpDataFaults, AFailedDataConnectionFailsOnlyItsCommand) {
    TTempDir dir;
    dir.Write("a.txt", "abc");
    TRunningServer run(dir.Path());
    run.server.SetTimeOut(1000);  // the passive wait below runs into it
    run.Start();
    auto c = run.LoggedIn();
    ASSERT_TRUE(c);

    // Passive, and the client never connects: the preliminary reply, then 425.
    ASSERT_NE(c->Pasv(), 0);
    EXPECT_EQ(c->Cmd("RETR a.txt"), "150 Opening data connection for a.txt(3 bytes).");
    EXPECT_EQ(c->Reply(), "425 Can not open data connection");
    EXPECT_EQ(c->Cmd("NOOP"), "200 NOOP command successful.");

    // A PORT refused after PASV leaves the passive connection, and the transfer still uses it
    // as the passive one it is.
    const int port = c->Pasv();
    ASSERT_NE(port, 0);
    EXPECT_EQ(c->Cmd("PORT 1,2,3"), "501 invalid argument");
    c->Send("RETR a.txt");
    test::TFd data = test::ConnectTcp(port);
    EXPECT_EQ(c->Reply(), "150 Opening data connection for a.txt(3 bytes).");
    EXPECT_EQ(test::ReadAll(data.Get()), "abc");
    EXPECT_EQ(c->Reply(), "226 Transfer complete.");
}

}  // namespace
}  // namespace nb
