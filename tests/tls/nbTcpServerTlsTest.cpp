// The TLS layer of the server: every mode starts, streams carry the server's settings, and a
// switch asked for is carried out once, at the next read.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "tests/common/nbTestLoopback.h"
#include "tls/nbTcpServerTls.h"
#include "tls/nbTlsStream.h"

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

TEST(TnbTcpServerTls, EveryModeStartsAndStops) {
    for (auto mode : {TnbServerTlsMode::stNone, TnbServerTlsMode::stImplicit,
                      TnbServerTlsMode::stExplicitAllow, TnbServerTlsMode::stExplicitRequire}) {
        TnbTcpServerTls server;
        server.SetPort(FreePort());
        server.SetLocalBinding("127.0.0.1");
        server.SetUseTLS(mode);
        ASSERT_NO_THROW(server.Start()) << int(mode);
        EXPECT_TRUE(server.Active());
        server.Stop();
        EXPECT_FALSE(server.Active());
    }
}

TEST(TnbTcpServerTls, StreamsCarryTheSettingsAndASwitchHappensOnce) {
    TnbTcpServerTls server;
    server.SetTLSFlags(TnbTlsFlags{TnbTlsFlag::tfUseTLS12, TnbTlsFlag::tfUseTLS13});
    server.SetUseStrongCryptoAlgorithms(true);
    server.SetSendRootCertificate(true);
    server.SetUseSystemTLSFlags(false);
    server.SetSecurityPackage("pkg");
    server.SetRequireClientCertificate(true);
    int asked = 0;
    server.OnGetCertificate = [&](TnbTcpServerTls&, std::shared_ptr<TnbCertificate>&,
                                  TnbCertificateList&, bool&) { ++asked; };

    auto stream = server.CreateTlsStream();
    EXPECT_EQ(stream->TLSFlags().Bits(), server.TLSFlags().Bits());
    EXPECT_TRUE(stream->UseStrongCryptoAlgorithms());
    EXPECT_TRUE(stream->SendRootCertificate());
    EXPECT_FALSE(stream->UseSystemTLSFlags());
    EXPECT_EQ(stream->SecurityPackage(), "pkg");
    // Data connections never ask the client for a certificate, and have no client check.
    EXPECT_FALSE(stream->RequireClientCertificate());
    EXPECT_FALSE(stream->OnVerifyPeer);
    ASSERT_TRUE(stream->OnGetCertificate);
    std::shared_ptr<TnbCertificate> none;
    TnbCertificateList extra(false);
    bool handled = false;
    stream->OnGetCertificate(*stream, none, extra, handled);
    EXPECT_EQ(asked, 1);

    auto connection =
        std::dynamic_pointer_cast<TnbUserConnectionTls>(server.CreateDefaultConnection());
    ASSERT_NE(connection, nullptr);
    connection->SetNetworkStream(std::make_unique<TnbNetworkStream>());
    EXPECT_FALSE(connection->IsTls());
    EXPECT_FALSE(server.BeginPendingTls(*connection));
    server.StartTls(*connection);
    EXPECT_TRUE(connection->StartTlsPending());
    EXPECT_FALSE(connection->IsTls());  // the reply still goes out plain
    EXPECT_TRUE(server.BeginPendingTls(*connection));
    EXPECT_FALSE(connection->StartTlsPending());
    ASSERT_TRUE(connection->IsTls());
    auto& attached = dynamic_cast<TnbTlsNetworkStream&>(connection->GetNetworkStream());
    EXPECT_TRUE(attached.RequireClientCertificate());
    EXPECT_TRUE(attached.OnVerifyPeer);
    EXPECT_EQ(attached.State(), TnbTlsState::tsWaitToken);  // waiting for the ClientHello
    EXPECT_FALSE(server.BeginPendingTls(*connection));
}

}  // namespace
}  // namespace nb
