// The TLS layer of the TCP server: the TLS modes and settings of a server, and the per-client
// connection that can be switched to TLS.
//
// Implicit mode gives every accepted connection a TLS stream before it accepts its socket, and
// the client is announced (OnAcceptConnection) once the handshake is done. The explicit modes
// start plain; StartTls marks a connection, and its next read switches it to a TLS stream
// before anything is read. What "require" forbids before TLS is the protocol's business.
//
// Threads: the properties may be read from any thread; UseTLS may be changed while the server
// runs and affects connections accepted afterwards. OnGetCertificate and OnVerifyClient run on
// the worker that drives a handshake, several at a time: handlers must be thread-safe.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <string>

#include "net/nbNetworkStream.h"
#include "server/nbTcpServer.h"
#include "server/nbUserConnection.h"
#include "util/nbSet.h"

namespace nb {

class TnbCertificate;
class TnbCertificateList;
class TnbTcpServerTls;
class TnbTlsNetworkStream;
struct TnbTlsSessionScope;

// How connections are protected.
enum class TnbServerTlsMode : std::uint8_t {
    stNone = 0,             // plain connections
    stImplicit = 1,         // TLS from the first byte
    stExplicitAllow = 2,    // plain, TLS on request (AUTH)
    stExplicitRequire = 3,  // as stExplicitAllow; the protocol refuses work before TLS
};

enum class TnbTlsFlag : std::uint8_t {
    tfUseSSL2 = 0,
    tfUseSSL3 = 1,
    tfUseTLS = 2,
    tfUseTLS11 = 3,
    tfUseTLS12 = 4,
    tfUseTLS13 = 5,
};

// The protocols offered, one bit per TnbTlsFlag (bit n for value n).
using TnbTlsFlags = TnbSet<TnbTlsFlag>;

// TLS 1.0 to 1.2 (28).
inline constexpr TnbTlsFlags kDefaultTlsFlags{TnbTlsFlag::tfUseTLS, TnbTlsFlag::tfUseTLS11,
                                              TnbTlsFlag::tfUseTLS12};

// The per-client connection that can be switched to TLS.
// Threads: StartTlsPending is set by the command that asks for TLS and cleared by the next read
// pass of the same connection, which never overlap.
class TnbUserConnectionTls : public TnbUserConnection {
public:
    TnbUserConnectionTls() = default;

    // A switch to TLS was asked for; it is carried out at the connection's next read.
    bool StartTlsPending() const { return startTlsPending_.load(); }
    void SetStartTlsPending(bool value) { startTlsPending_.store(value); }
    // True when the connection's stream is a TLS stream.
    bool IsTls() const;
    // The scope of this client's TLS sessions: its data connections may resume its control
    // connection's session, and no other client's. Made on first use; any thread.
    std::shared_ptr<TnbTlsSessionScope> TlsSessionScope();

private:
    std::atomic<bool> startTlsPending_{false};
    std::mutex scopeLock_;  // leaf lock: scope_
    std::shared_ptr<TnbTlsSessionScope> scope_;
};

// The host supplies the server certificate (and extra chain certificates) for a handshake.
using TnbGetCertificateEvent =
    std::function<void(TnbTcpServerTls& Sender, std::shared_ptr<TnbCertificate>& ACertificate,
                       TnbCertificateList& AExtraCerts, bool& Handled)>;
// The host's verdict on a client after its handshake; ACertificate is nullptr when the client
// sent none.
using TnbVerifyClientEvent = std::function<void(
    TnbTcpServerTls& Sender, TnbUserConnectionTls& AConnection, const TnbCertificate* ACertificate,
    const std::string& AStatusText, int AStatusCode, bool& AVerified)>;

class TnbTcpServerTls : public TnbTcpServer {
public:
    TnbTcpServerTls() = default;
    ~TnbTcpServerTls() override;

    // ---- Published properties (defaults in comments) ----

    // stNone.
    TnbServerTlsMode UseTLS() const { return useTls_.load(); }
    void SetUseTLS(TnbServerTlsMode value) { useTls_.store(value); }
    // {tfUseTLS, tfUseTLS11, tfUseTLS12}.
    TnbTlsFlags TLSFlags() const { return TnbTlsFlags::FromBits(tlsFlags_.load()); }
    void SetTLSFlags(TnbTlsFlags value) { tlsFlags_.store(value.Bits()); }
    // true.
    bool UseSystemTLSFlags() const { return useSystemTlsFlags_.load(); }
    void SetUseSystemTLSFlags(bool value) { useSystemTlsFlags_.store(value); }
    // false.
    bool SendRootCertificate() const { return sendRootCertificate_.load(); }
    void SetSendRootCertificate(bool value) { sendRootCertificate_.store(value); }
    // false.
    bool UseStrongCryptoAlgorithms() const { return useStrongCrypto_.load(); }
    void SetUseStrongCryptoAlgorithms(bool value) { useStrongCrypto_.store(value); }
    // Empty = the preferred package.
    std::string SecurityPackage() const;
    void SetSecurityPackage(std::string value);
    // false: control connections ask the client for a certificate when set.
    bool RequireClientCertificate() const { return requireClientCertificate_.load(); }
    void SetRequireClientCertificate(bool value) { requireClientCertificate_.store(value); }

    // ---- Events (bind before Start) ----

    TnbGetCertificateEvent OnGetCertificate;
    TnbVerifyClientEvent OnVerifyClient;

    // ---- Operations ----

    // A new TLS stream with the server's settings and its certificate source (no client
    // certificate asked for), owned by the caller until it gives it to a connection.
    std::unique_ptr<TnbTlsNetworkStream> CreateTlsStream();
    // Gives the connection a TLS stream (its addresses pass over from the old one), with the
    // client check of control connections.
    void AttachTlsStream(TnbUserConnectionTls& AConnection);
    // Asks for the switch to TLS at the connection's next read; the protocol's positive reply
    // still goes out plain.
    void StartTls(TnbUserConnectionTls& AConnection);
    // Carries out a pending switch before anything is read; under the connection lock. True
    // when it switched: the caller drops whatever plain input it still buffers.
    bool BeginPendingTls(TnbUserConnectionTls& AConnection);

    // ---- Overrides of the TCP server ----

    // BeginPendingTls, then the inherited read.
    void ReadConnection(TnbUserConnection& AConnection) override;
    InbUserConnection CreateDefaultConnection() override;
    // stImplicit: AttachTlsStream; otherwise a plain stream.
    void InitConnectionStream(TnbUserConnection& AConnection) override;

protected:
    virtual void DoGetCertificate(std::shared_ptr<TnbCertificate>& ACertificate,
                                  TnbCertificateList& AExtraCerts, bool& Handled);
    virtual void DoVerifyClient(TnbUserConnectionTls& AConnection,
                                const TnbCertificate* ACertificate, const std::string& AStatusText,
                                int AStatusCode, bool& AVerified);

private:
    std::atomic<TnbServerTlsMode> useTls_{TnbServerTlsMode::stNone};
    std::atomic<std::uint8_t> tlsFlags_{kDefaultTlsFlags.Bits()};
    std::atomic<bool> requireClientCertificate_{false};
    mutable std::mutex securityPackageLock_;  // leaf lock
    std::string securityPackage_;
    std::atomic<bool> useStrongCrypto_{false};
    std::atomic<bool> sendRootCertificate_{false};
    std::atomic<bool> useSystemTlsFlags_{true};
};

}  // namespace nb
