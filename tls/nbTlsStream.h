// The TLS network stream: the network stream with TLS inside. A connection that owns one moves
// application bytes through it as through a plain stream, while the stream runs the handshake,
// protects outgoing bytes into records, unprotects incoming records, verifies the peer and
// sends the close notification. A stream that connects out plays the client, one that accepts
// plays the server.
//
// The stream keeps no thread and never waits: when the socket must become readable or writable
// before the caller's operation can finish, it says so through NextAction.
// What the connection relies on beyond the plain stream's contract: Read always returns true
// (NextAction tells whether more is needed); Write returns false exactly when protected bytes
// are left in OutgoingData because the socket would block, with the source positioned at the
// first byte whose records have not all gone; HasReadData is true while unprotected bytes wait
// in ReceivedData; NeedClose becomes true with the peer's close notification.
//
// Threads: one thread drives a stream at a time. TlsLock guards only the engine reference
// (replaced at each start, read by Close from another thread); nothing else is held with it.
// Ownership: the stream owns its engine and its three buffers; certificates handed out by
// OnGetCertificate are shared with the engine for the session.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "net/nbNetworkStream.h"
#include "tls/nbSspiTls.h"
#include "util/nbStream.h"

namespace nb {

class TnbTlsNetworkStream;

using TnbTlsGetCertificateEvent =
    std::function<void(TnbTlsNetworkStream& Sender, std::shared_ptr<TnbCertificate>& ACertificate,
                       TnbCertificateList& AExtraCerts, bool& Handled)>;
// ACertificate is nullptr when the peer sent none.
using TnbTlsVerifyPeerEvent =
    std::function<void(TnbTlsNetworkStream& Sender, const TnbCertificate* ACertificate,
                       bool& AVerified, int AStatusCode, const std::string& AStatusText)>;

class TnbTlsNetworkStream : public TnbNetworkStream {
public:
    explicit TnbTlsNetworkStream(TnbProviderLoader loader = DefaultProviderLoader());
    ~TnbTlsNetworkStream() override;

    // ---- Settings, copied to every engine ----

    TnbTlsFlags TLSFlags() const { return tlsFlags_; }
    void SetTLSFlags(TnbTlsFlags value);
    bool UseSystemTLSFlags() const { return useSystemTlsFlags_; }
    void SetUseSystemTLSFlags(bool value);
    bool SendRootCertificate() const { return sendRootCertificate_; }
    void SetSendRootCertificate(bool value);
    bool UseStrongCryptoAlgorithms() const { return useStrongCrypto_; }
    void SetUseStrongCryptoAlgorithms(bool value);
    const std::string& SecurityPackage() const { return securityPackage_; }
    void SetSecurityPackage(const std::string& value);
    // Server role: ask the client for a certificate and verify it.
    bool RequireClientCertificate() const { return requireClientCertificate_; }
    void SetRequireClientCertificate(bool value);
    // Client role: the server's name (SNI and the certificate check); initially a text of the
    // time the stream was made.
    std::string TargetName;
    std::uint8_t VerifyIgnoreFlags = 0;
    TnbCertificateChainVerifyFlags CertChainFlags;
    std::uint32_t UrlRetrievalTimeout = 0;

    // Server role: the scope within which sessions resume (none: no resumption), and no TLS 1.3
    // session tickets (a data connection's client may never read them, and the unread ticket
    // turns its close into a reset).
    std::shared_ptr<TnbTlsSessionScope> SessionScope;
    bool NoSessionTickets = false;
    // Accept and Connect leave the stream plain; the owner starts the server role with
    // StartServer when the protocol is ready for the handshake. A data connection takes the
    // server role in both directions (the FTP client always shakes hands as the client).
    bool StartOnRequest = false;

    TnbTlsGetCertificateEvent OnGetCertificate;
    TnbTlsVerifyPeerEvent OnVerifyPeer;

    // ---- State ----

    TnbTlsState State() const { return state_; }
    bool Verified() const { return verified_; }
    std::int64_t RawBytes() const { return rawBytes_; }
    // The peer's close notification arrived in this session.
    bool CloseNotifyReceived() const { return closeNotifyReceived_; }
    // The handshake of this session is complete.
    bool HandshakeComplete() const { return handshakeComplete_; }
    // The session was resumed (false before the handshake is complete).
    bool Resumed();
    // Starts the server role (what Accept does): a new engine that waits for the ClientHello.
    void StartServer();
    // The engine of the current session (nullptr before the first start); under TlsLock.
    TnbTlsSspi* GetTls();
    void FreeTls();

    // ---- Overrides of the network stream ----

    void Assign(const TnbNetworkStream& source) override;
    void Close(bool notifyPeer) override;
    // Readiness is announced when the handshake completes.
    void DoReady() override {}
    bool Read(TnbStream* destination) override;
    bool Write(TnbStream* source) override;
    int GetReadBatchSize() override;
    int GetWriteBatchSize() override;
    bool IsReadLimitReached() override;
    void ResetBytesProceed() override;
    // Protected bytes only; progress counts application bytes (Read and Write report them).
    void AddBytesProceed(std::int64_t count) override;
    void BeforeConnect() override;
    void BeforeAccept() override;
    bool CanSendFileDirectly() const override { return false; }

private:
    // A new engine of the role with the stream's settings.
    void StartSession(std::unique_ptr<TnbTlsSspi> engine);
    // The bytes just received into tlsBuffer_: a handshake step or records unprotected.
    void ProcessReceived(TnbStream* destination);
    void DecryptBuffer(TnbStream* destination);
    void ContinueHandshake(TnbStream* destination);
    // One handshake step; a failing one sends its alert before the error goes on.
    TnbTlsState Step(TnbCertificateList& certificates, bool force);
    void VerifyPeer();
    // Sends the token in tlsBuffer_ (token states) or the records of count bytes of source,
    // then whatever is pending. False when the socket would block.
    bool SendPending(TnbStream* source, std::int64_t count);
    bool SendOutgoing();
    // The stream to protect count bytes of source from (positioned at them), and how many of
    // them it holds: source itself when it is in memory, else readAhead_, refilled with
    // kTlsReadAhead bytes of source when the chunk is not in it. Source's position stays.
    TnbStream& PlainSource(TnbStream& source, std::int64_t& count);
    int GetRecordOverhead();

    TnbProviderLoader loader_;
    TnbMemoryStream receivedData_;  // unprotected, not yet handed to a caller
    TnbMemoryStream outgoingData_;  // protected, not yet taken by the socket
    TnbMemoryStream tlsBuffer_;     // received bytes being processed, or the token to send
    TnbMemoryStream readAhead_;     // bytes of a file source read ahead (PlainSource)
    const TnbStream* readAheadSource_ = nullptr;
    std::int64_t readAheadStart_ = 0;   // the source position of readAhead_'s first byte
    std::int64_t readAheadLength_ = 0;  // the bytes of readAhead_ that hold the source's
    std::unique_ptr<TnbTlsSspi> tls_;
    std::recursive_mutex tlsLock_;  // leaf lock: tls_ only
    TnbTlsState state_ = TnbTlsState::tsDone;
    int recordOverhead_ = 0;
    bool handshakePending_ = false;
    std::int64_t writeChunk_ = 0;
    // While a read pass takes protected bytes: the size of tlsBuffer_ at which it stops
    // (kMaxTlsReadPass); -1 outside a pass.
    std::int64_t readPassEnd_ = -1;
    bool verified_ = false;
    bool closeNotifyReceived_ = false;
    bool handshakeComplete_ = false;
    std::int64_t rawBytes_ = 0;
    TnbTlsFlags tlsFlags_ = kDefaultTlsFlags;
    bool useSystemTlsFlags_ = true;
    bool sendRootCertificate_ = false;
    bool useStrongCrypto_ = false;
    std::string securityPackage_;
    bool requireClientCertificate_ = false;
};

}  // namespace nb
