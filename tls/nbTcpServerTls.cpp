#include "tls/nbTcpServerTls.h"

#include <string_view>
#include <utility>

#include "tls/nbTlsStream.h"

namespace nb {

bool TnbUserConnectionTls::IsTls() const {
    return dynamic_cast<const TnbTlsNetworkStream*>(NetworkStream()) != nullptr;
}

std::shared_ptr<TnbTlsSessionScope> TnbUserConnectionTls::TlsSessionScope() {
    std::lock_guard lock(scopeLock_);
    if (!scope_)
        scope_ = NewTlsSessionScope();
    return scope_;
}

TnbTcpServerTls::~TnbTcpServerTls() {
    StopOnDestroy();
}

std::string TnbTcpServerTls::SecurityPackage() const {
    std::lock_guard lock(securityPackageLock_);
    return securityPackage_;
}

void TnbTcpServerTls::SetSecurityPackage(std::string value) {
    std::lock_guard lock(securityPackageLock_);
    securityPackage_ = std::move(value);
}

std::unique_ptr<TnbTlsNetworkStream> TnbTcpServerTls::CreateTlsStream() {
    auto stream = std::make_unique<TnbTlsNetworkStream>();
    stream->SetTLSFlags(TLSFlags());
    stream->SetUseSystemTLSFlags(UseSystemTLSFlags());
    stream->SetSendRootCertificate(SendRootCertificate());
    stream->SetUseStrongCryptoAlgorithms(UseStrongCryptoAlgorithms());
    stream->SetSecurityPackage(SecurityPackage());
    stream->SetRequireClientCertificate(false);
    // The server outlives its streams: every connection is closed before it goes.
    stream->OnGetCertificate = [this](TnbTlsNetworkStream&,
                                      std::shared_ptr<TnbCertificate>& ACertificate,
                                      TnbCertificateList& AExtraCerts, bool& Handled) {
        DoGetCertificate(ACertificate, AExtraCerts, Handled);
    };
    return stream;
}

void TnbTcpServerTls::AttachTlsStream(TnbUserConnectionTls& AConnection) {
    std::unique_ptr<TnbTlsNetworkStream> owned = CreateTlsStream();
    TnbTlsNetworkStream& stream = *owned;
    AConnection.SetNetworkStream(std::move(owned));
    stream.SetRequireClientCertificate(RequireClientCertificate());
    stream.SessionScope = AConnection.TlsSessionScope();
    stream.OnVerifyPeer = [this](TnbTlsNetworkStream& Sender, const TnbCertificate* ACertificate,
                                 bool& AVerified, int AStatusCode, const std::string& AStatusText) {
        auto& connection = dynamic_cast<TnbUserConnectionTls&>(*Sender.Connection());
        DoVerifyClient(connection, ACertificate, AStatusText, AStatusCode, AVerified);
    };
}

void TnbTcpServerTls::StartTls(TnbUserConnectionTls& AConnection) {
    AConnection.SetStartTlsPending(true);
}

bool TnbTcpServerTls::BeginPendingTls(TnbUserConnectionTls& AConnection) {
    if (!AConnection.StartTlsPending())
        return false;
    AConnection.SetStartTlsPending(false);
    // SECURITY: the positive reply must have gone out in clear before the stream changes;
    // plain bytes still waiting would otherwise be sent protected, or mixed with records.
    // A client that takes no reply while it asks for TLS is not served.
    if (AConnection.PendingOutputSize() > 0)
        AConnection.WriteData(std::string_view());
    if (AConnection.PendingOutputSize() > 0)
        throw EnbSocketError("The reply before the TLS handshake could not be sent", WSAEWOULDBLOCK);
    AttachTlsStream(AConnection);
    AConnection.GetNetworkStream().BeforeAccept();
    return true;
}

void TnbTcpServerTls::ReadConnection(TnbUserConnection& AConnection) {
    if (auto* tls = dynamic_cast<TnbUserConnectionTls*>(&AConnection)) {
        std::lock_guard lock(AConnection.ConnectionLock());
        BeginPendingTls(*tls);
    }
    TnbTcpServer::ReadConnection(AConnection);
}

InbUserConnection TnbTcpServerTls::CreateDefaultConnection() {
    return std::make_shared<TnbUserConnectionTls>();
}

void TnbTcpServerTls::InitConnectionStream(TnbUserConnection& AConnection) {
    if (UseTLS() == TnbServerTlsMode::stImplicit) {
        // SECURITY: a connection the host supplied without the TLS layer cannot be protected;
        // serving it plain on a TLS port would be worse than refusing it.
        auto* tls = dynamic_cast<TnbUserConnectionTls*>(&AConnection);
        if (tls == nullptr)
            throw EnbTcpServerError("The connection cannot be protected with TLS",
                                    nbErrConnectionNotCreated);
        AttachTlsStream(*tls);
        return;
    }
    TnbTcpServer::InitConnectionStream(AConnection);
}

void TnbTcpServerTls::DoGetCertificate(std::shared_ptr<TnbCertificate>& ACertificate,
                                       TnbCertificateList& AExtraCerts, bool& Handled) {
    if (OnGetCertificate) {
        OnGetCertificate(*this, ACertificate, AExtraCerts, Handled);
    }
}

void TnbTcpServerTls::DoVerifyClient(TnbUserConnectionTls& AConnection,
                                     const TnbCertificate* ACertificate,
                                     const std::string& AStatusText, int AStatusCode,
                                     bool& AVerified) {
    if (OnVerifyClient) {
        OnVerifyClient(*this, AConnection, ACertificate, AStatusText, AStatusCode, AVerified);
    }
}

}  // namespace nb
