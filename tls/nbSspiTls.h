// The TLS handshake engine: one TLS session over the provider of nbSspi. It chooses the
// package, acquires credentials from certificates, runs the handshake one step at a time,
// protects and unprotects records, verifies the peer and shuts the session down. It never
// touches a socket: every operation takes the received bytes from a memory stream and leaves
// the bytes to send in one, and returns a TnbTlsState that tells its caller (the TLS stream)
// what to do next.
//
// Threads: an engine is used by one thread at a time, the thread that drives its connection.
// Ownership: the engine owns its credentials, its context and PeerCertificate; the memory
// streams and certificate lists passed in are the caller's.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "tls/nbCertificate.h"
#include "tls/nbCertificateStore.h"
#include "tls/nbSspi.h"
#include "tls/nbTcpServerTls.h"
#include "util/nbStream.h"

namespace nb {

// The result of every engine step (1 is not used).
enum class TnbTlsState : std::uint8_t {
    tsDone = 0,              // handshake complete, or every received record unprotected
    tsRenegotiate = 2,       // the peer asks for a new handshake (never: renegotiation is off)
    tsSendToken = 3,         // tokenStream holds a token to send; the handshake goes on
    tsWaitToken = 4,         // (the stream's) a token went out, the answer is awaited
    tsIncompleteToken = 5,   // the handshake bytes are not a whole message; keep, wait for more
    tsSendClose = 6,         // tokenStream holds the close-notify token
    tsContinue = 7,          // SEC_I_CONTINUE_NEEDED
    tsClosed = 8,            // the peer ended the session
    tsIncompleteRecord = 9,  // the received bytes end in an incomplete record
    tsDoneWithData = 10,     // handshake complete; application bytes follow (HandshakeExtra)
    tsPartialRecord = 11,    // records unprotected; an incomplete one remains in extra
    tsNeedCertificate = 12,  // no credentials: a certificate must be given (or was asked for)
};

// Bits of VerifyIgnoreFlags (client verification).
inline constexpr std::uint8_t nbIgnoreCertCnInvalid = 0x01;
inline constexpr std::uint8_t nbIgnoreCertDateInvalid = 0x02;
inline constexpr std::uint8_t nbIgnoreUnknownCa = 0x04;
inline constexpr std::uint8_t nbIgnoreRevocation = 0x08;
inline constexpr std::uint8_t nbIgnoreWrongUsage = 0x10;
inline constexpr std::uint8_t nbIgnoreAllPolicy = 0x20;

class TnbTlsSspi : public TnbSspi {
public:
    // Loads the provider and chooses the package: may raise EnbSSPIError.
    explicit TnbTlsSspi(TnbProviderLoader loader = DefaultProviderLoader());
    ~TnbTlsSspi() override;

    // Ends the session: the close-notify token into tokenStream (tsSendClose), or tsDone when
    // there is nothing to send (before the handshake completed).
    virtual TnbTlsState Shutdown(TnbMemoryStream& tokenStream) = 0;
    // Feeds the received handshake bytes of tokenStream to the provider and leaves the token to
    // send in it, at position 0. A failed handshake leaves its alert in tokenStream for the
    // caller to send, then raises EnbSSPIError.
    virtual TnbTlsState HandshakeStep(TnbMemoryStream& tokenStream,
                                      const TnbCertificateList& certificates, bool force) = 0;

    // Protects count bytes of source from its position into records appended to destination
    // (at most the maximum message per record, every byte the context queued before them in
    // front); source's position is left where it was.
    TnbTlsState Encrypt(TnbStream& source, TnbMemoryStream& destination, std::int64_t count);
    // Unprotects the records of source from its position into plain, one record at a time;
    // source and extra may be the same stream.
    TnbTlsState Decrypt(TnbMemoryStream& source, TnbStream* plain, TnbMemoryStream& extra);
    const TnbStreamSizes& GetStreamSizes();
    // The negotiated protocol and cipher, once the handshake is complete.
    TnbConnectionInfo ConnectionInfo();
    void SetSecurityPackage(const std::string& value) { securityPackage_ = value; }
    const std::string& SecurityPackage() const { return securityPackage_; }
    void FreePeerCertificate() { PeerCertificate.reset(); }
    // The application bytes that came behind the last handshake message (tsDoneWithData).
    const std::string& HandshakeExtra() const { return handshakeExtra_; }

    int PackageIndex() const { return packageIndex_; }
    SECURITY_STATUS LastStatus = 0;
    std::shared_ptr<TnbCertificate> PeerCertificate;
    bool PeerVerified = false;
    std::uint8_t VerifyIgnoreFlags = 0;
    TnbTlsFlags TLSFlags = kDefaultTlsFlags;
    bool SendRootCertificate = false;
    bool UseStrongCryptoAlgorithms = false;
    TnbCertificateChainVerifyFlags CertChainFlags;
    std::uint32_t UrlRetrievalTimeout = 0;
    // Kept for the record of the settings; protocols always follow TLSFlags.
    bool UseSystemTLSFlags = true;
    // Server: the scope within which sessions resume (none: no resumption), and whether TLS 1.3
    // session tickets are left out.
    std::shared_ptr<TnbTlsSessionScope> SessionScope;
    bool NoSessionTickets = false;

protected:
    // The credential record of the role; raises -12 "Not supported" when TLSFlags enable no
    // protocol that exists (SSL 2.0 and 3.0 only).
    TnbCredentialRecord BuildRecord(bool server) const;
    bool AcquireCredentials(const TnbCertificateList& certificates, bool force,
                            std::uint32_t credentialUse, TnbCredentialRecord& record);
    void FreeCredentials();
    void DeleteContext();
    TnbTlsState MapStatus(SECURITY_STATUS status, int fallbackCode);
    std::string PackageName() const;
    // A kept partial record in front of the newly received bytes.
    void TakePendingInput(TnbMemoryStream& tokenStream);
    // After a step: the bytes the provider did not use are kept for the next step (handshake
    // going on) or the application (handshake done); tokenStream := the output token.
    void FinishStep(TnbMemoryStream& tokenStream, TnbHandshakeBuffers& buffers, bool done);
    // Raises the failed step's status after leaving its alert in tokenStream.
    [[noreturn]] void FailStep(TnbMemoryStream& tokenStream, TnbHandshakeBuffers& buffers,
                               SECURITY_STATUS status);
    // The shutdown of both roles: the close-notify token, then context and credentials gone.
    TnbTlsState ShutdownContext(TnbMemoryStream& tokenStream, bool server);

    TnbCredHandle Credentials;
    TnbCtxtHandle Context;
    TnbStreamSizes StreamSizes;

private:
    int ChoosePackage();

    int packageIndex_ = 0;
    std::string securityPackage_;
    std::string pendingInput_;
    std::string handshakeExtra_;
    TnbMemoryStream plainBuffer_;             // Decrypt's output for other destinations
    std::vector<std::uint8_t> recordBuffer_;  // Encrypt's plaintext of one record, reused
};

class TnbTlsServerSspi : public TnbTlsSspi {
public:
    using TnbTlsSspi::TnbTlsSspi;
    TnbTlsState Shutdown(TnbMemoryStream& tokenStream) override;
    // A client that sends no certificate, or one whose chain does not verify, while
    // RequireClientCertificate is set: the handshake fails (no certificate) or PeerVerified
    // stays false with the chain's error in LastStatus.
    TnbTlsState HandshakeStep(TnbMemoryStream& tokenStream, const TnbCertificateList& certificates,
                              bool force) override;

    bool FirstStep = true;
    bool RequireClientCertificate = false;
};

class TnbTlsClientSspi : public TnbTlsSspi {
public:
    explicit TnbTlsClientSspi(TnbProviderLoader loader = DefaultProviderLoader());
    TnbTlsState Shutdown(TnbMemoryStream& tokenStream) override;
    TnbTlsState HandshakeStep(TnbMemoryStream& tokenStream, const TnbCertificateList& certificates,
                              bool force) override;

    // Sent as SNI when it is a DNS name, and checked against the server's certificate.
    // Initially a text of the current time, unique per engine.
    std::string TargetName;
    bool FirstStep = true;

private:
    bool VerifyServer();
};

// A text of the current local time as a day count (days since 1899-12-30 and their
// fraction): the initial target name, different for engines made at different moments.
std::string CurrentTimeAsDayCount();

}  // namespace nb
