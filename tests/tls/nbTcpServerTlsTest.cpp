// The TLS layer while only plain connections are available: the modes that need TLS are
// refused clearly, and plain serving works.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "tests/common/nbTestLoopback.h"
#include "tls/nbTcpServerTls.h"

namespace nb {
namespace {

using test::FreePort;

TEST(TnbTcpServerTls, DefaultsOfTheSettings) {
    TnbTcpServerTls server;
    EXPECT_EQ(server.UseTLS(), TnbServerTlsMode::stNone);
    EXPECT_EQ(server.TLSFlags().Bits(), 28);
    EXPECT_TRUE(server.UseSystemTLSFlags());
    EXPECT_FALSE(server.SendRootCertificate());
    EXPECT_FALSE(server.UseStrongCryptoAlgorithms());
    EXPECT_FALSE(server.RequireClientCertificate());
    EXPECT_EQ(server.SecurityPackage(), "");
}

TEST(TnbTcpServerTls, ModesThatNeedTlsAreRefusedAtStart) {
    for (auto mode : {TnbServerTlsMode::stImplicit, TnbServerTlsMode::stExplicitAllow,
                      TnbServerTlsMode::stExplicitRequire}) {
        TnbTcpServerTls server;
        server.SetPort(FreePort());
        server.SetLocalBinding("127.0.0.1");
        server.SetUseTLS(mode);
        bool started = false;
        server.OnStart = [&](TnbTcpServer&) { started = true; };
        try {
            server.Start();
            FAIL() << "started with TLS mode " << int(mode);
        } catch (const EnbTcpServerError& e) {
            EXPECT_EQ(e.ErrorCode, nbErrTlsNotAvailable);
            EXPECT_NE(std::string(e.what()).find("TLS is not available"), std::string::npos);
        }
        EXPECT_FALSE(server.Active());
        EXPECT_FALSE(started);
    }
}

TEST(TnbTcpServerTls, PlainModeStartsAndConnectionsAreNotProtected) {
    TnbTcpServerTls server;
    server.SetPort(FreePort());
    server.SetLocalBinding("127.0.0.1");
    ASSERT_NO_THROW(server.Start());
    EXPECT_TRUE(server.Active());
    server.Stop();

    auto connection =
        std::dynamic_pointer_cast<TnbUserConnectionTls>(server.CreateDefaultConnection());
    ASSERT_NE(connection, nullptr);
    EXPECT_FALSE(connection->IsTls());
    EXPECT_THROW(server.StartTls(*connection), EnbTcpServerError);
    EXPECT_THROW(server.CreateTlsStream(), EnbTcpServerError);
}

}  // namespace
}  // namespace nb
