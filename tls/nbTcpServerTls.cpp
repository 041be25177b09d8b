#include "tls/nbTcpServerTls.h"

#include <utility>

namespace nb {

namespace {

[[noreturn]] void RaiseTlsNotAvailable() {
    throw EnbTcpServerError("TLS is not available: only the TLS mode stNone is supported",
                            nbErrTlsNotAvailable);
}

}  // namespace

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

std::unique_ptr<TnbNetworkStream> TnbTcpServerTls::CreateTlsStream() {
    RaiseTlsNotAvailable();
}

void TnbTcpServerTls::AttachTlsStream(TnbUserConnectionTls& AConnection) {
    AConnection.SetNetworkStream(CreateTlsStream());
}

void TnbTcpServerTls::StartTls(TnbUserConnectionTls&) {
    RaiseTlsNotAvailable();
}

void TnbTcpServerTls::BeginPendingTls(TnbUserConnectionTls&) {
    // StartTls refuses, so no switch can be pending.
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
        // A connection the host supplied without the TLS layer cannot be protected.
        auto* tls = dynamic_cast<TnbUserConnectionTls*>(&AConnection);
        if (tls == nullptr) {
            RaiseTlsNotAvailable();
        }
        AttachTlsStream(*tls);
        return;
    }
    TnbTcpServer::InitConnectionStream(AConnection);
}

void TnbTcpServerTls::DoStarting() {
    if (UseTLS() != TnbServerTlsMode::stNone) {
        RaiseTlsNotAvailable();
    }
    TnbTcpServer::DoStarting();
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
