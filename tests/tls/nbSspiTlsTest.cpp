// The handshake engine: a client engine and a server engine in one process, their bytes
// passed through memory in pieces of any size.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "tests/tls/nbTlsTestSupport.h"
#include "tls/nbCertificateStore.h"
#include "tls/nbSspiTls.h"

namespace nb {
namespace {

using F = TnbTlsFlag;
using S = TnbTlsState;

// One side of a handshake driven as the TLS stream drives it: received pieces are appended to
// a kept incomplete message or replace the token just sent; tokens go to the peer's wire.
struct TSide {
    explicit TSide(TnbTlsSspi& engine) : Engine(engine) {}
    TnbTlsSspi& Engine;
    TnbCertificateList Certificates{false};
    TnbMemoryStream Buffer;
    S State = S::tsWaitToken;
    bool Done = false;
    std::string Extra;  // application bytes behind the last handshake message

    // Feeds a piece and returns the token it produced (may be empty).
    std::string Feed(std::string_view piece) {
        if (State == S::tsIncompleteToken) {
            Buffer.Seek(0, TnbSeekOrigin::soEnd);
            Buffer.Write(piece.data(), static_cast<std::int64_t>(piece.size()));
            Buffer.SetPosition(0);
        } else {
            Buffer.Clear();
            Buffer.WriteString(piece);
            Buffer.SetPosition(0);
        }
        State = Engine.HandshakeStep(Buffer, Certificates, false);
        if (State == S::tsNeedCertificate)
            State = Engine.HandshakeStep(Buffer, Certificates, true);
        if (State == S::tsIncompleteToken)
            return {};
        std::string token = Buffer.ToString();
        if (State == S::tsDone || State == S::tsDoneWithData) {
            Done = true;
            Extra = Engine.HandshakeExtra();
        } else {
            EXPECT_EQ(State, S::tsSendToken);
            State = S::tsWaitToken;
        }
        return token;
    }
};

struct TPair {
    TnbTlsServerSspi ServerEngine;
    TnbTlsClientSspi ClientEngine;
    TSide Server{ServerEngine};
    TSide Client{ClientEngine};

    TPair() {
        Server.Certificates.Add(test::SharedServerCertificate());
        ClientEngine.TargetName = "localhost";
        ClientEngine.VerifyIgnoreFlags = nbIgnoreUnknownCa;  // the test certificate is its own CA
    }

    // Runs the handshake, each flight delivered in pieces of at most pieceSize bytes; bytes
    // queued behind a flight (application data) travel with its last piece.
    void Handshake(std::size_t pieceSize = 1 << 20,
                   const std::function<std::string(TSide&)>& behindFlight = nullptr) {
        std::string toServer = Client.Feed({});
        std::string toClient;
        for (int round = 0; round < 20 && !(Server.Done && Client.Done); ++round) {
            if (behindFlight && !toServer.empty())
                toServer += behindFlight(Client);
            for (std::size_t at = 0; at < toServer.size() && !Server.Done; at += pieceSize)
                toClient += Server.Feed(std::string_view(toServer).substr(at, pieceSize));
            toServer.clear();
            if (behindFlight && !toClient.empty())
                toClient += behindFlight(Server);
            for (std::size_t at = 0; at < toClient.size() && !Client.Done; at += pieceSize)
                toServer += Client.Feed(std::string_view(toClient).substr(at, pieceSize));
            toClient.clear();
        }
        // The last flight of the side that finished first.
        for (std::size_t at = 0; at < toServer.size(); at += pieceSize)
            Server.Feed(std::string_view(toServer).substr(at, pieceSize));
        ASSERT_TRUE(Server.Done && Client.Done);
    }
};

std::string Protect(TnbTlsSspi& engine, std::string_view text) {
    TnbMemoryStream source(text);
    TnbMemoryStream records;
    EXPECT_EQ(engine.Encrypt(source, records, static_cast<std::int64_t>(text.size())), S::tsDone);
    EXPECT_EQ(source.GetPosition(), 0);
    return records.ToString();
}

// Unprotects wire bytes delivered in pieces as the stream does: an incomplete record stays at
// the start of the buffer and the next piece is appended behind it.
std::string Unprotect(TnbTlsSspi& engine, std::string_view wire, std::size_t pieceSize,
                      S* last = nullptr) {
    TnbMemoryStream buffer;
    TnbMemoryStream plain;
    S state = S::tsDone;
    for (std::size_t at = 0; at < wire.size(); at += pieceSize) {
        const std::string_view piece = wire.substr(at, pieceSize);
        if (state != S::tsIncompleteRecord)
            buffer.Clear();
        buffer.Seek(0, TnbSeekOrigin::soEnd);
        buffer.Write(piece.data(), static_cast<std::int64_t>(piece.size()));
        buffer.SetPosition(0);
        state = engine.Decrypt(buffer, &plain, buffer);
        if (state == S::tsPartialRecord)
            state = S::tsIncompleteRecord;
        if (state == S::tsClosed)
            break;
    }
    if (last)
        *last = state;
    return plain.ToString();
}

TEST(TnbTlsSspi, HandshakeFedOneByteAtATimeThenDataBothWays) {
    TPair pair;
    pair.Handshake(1);
    EXPECT_TRUE(pair.ServerEngine.PeerVerified);
    EXPECT_TRUE(pair.ClientEngine.PeerVerified);
    ASSERT_TRUE(pair.ClientEngine.PeerCertificate);
    EXPECT_EQ(pair.ClientEngine.PeerCertificate->SubjectName(), "localhost");
    EXPECT_EQ(pair.ServerEngine.ConnectionInfo().Protocol, SP_PROT_TLS1_2_SERVER)
        << "the default flags negotiate TLS 1.2";
    EXPECT_EQ(Unprotect(pair.ClientEngine, Protect(pair.ServerEngine, "220 ready\r\n"), 1),
              "220 ready\r\n");
    EXPECT_EQ(Unprotect(pair.ServerEngine, Protect(pair.ClientEngine, "USER x\r\n"), 3),
              "USER x\r\n");
}

TEST(TnbTlsSspi, ClientHelloSplitAtEveryByte) {
    TnbTlsClientSspi client;
    TnbMemoryStream hello;
    const TnbCertificateList none(false);
    ASSERT_EQ(client.HandshakeStep(hello, none, false), S::tsSendToken);
    const std::string bytes = hello.ToString();
    ASSERT_GT(bytes.size(), 100u);
    for (std::size_t split = 1; split < bytes.size(); ++split) {
        TnbTlsServerSspi server;
        TSide side{server};
        side.Certificates.Add(test::SharedServerCertificate());
        EXPECT_EQ(side.Feed(std::string_view(bytes).substr(0, split)), "") << split;
        EXPECT_EQ(side.State, S::tsIncompleteToken) << split;
        EXPECT_EQ(side.Buffer.GetSize(), static_cast<std::int64_t>(split)) << "kept unchanged";
        EXPECT_NE(side.Feed(std::string_view(bytes).substr(split)), "") << split;
        EXPECT_EQ(side.State, S::tsWaitToken) << split;
    }
}

TEST(TnbTlsSspi, RecordsSplitAndCoalesced) {
    const std::string all = "first record" + std::string(20000, 'b') + "third";
    for (const std::size_t piece : {std::size_t(1) << 20, std::size_t(1), std::size_t(5),
                                    std::size_t(7), std::size_t(40), std::size_t(4096)}) {
        SCOPED_TRACE(piece);
        TPair pair;
        pair.Handshake();
        // Three calls, four records (the second call makes two), in this order.
        std::string wire = Protect(pair.ServerEngine, "first record");
        wire += Protect(pair.ServerEngine, std::string(20000, 'b'));
        wire += Protect(pair.ServerEngine, "third");
        S last = S::tsDone;
        EXPECT_EQ(Unprotect(pair.ClientEngine, wire, piece, &last), all) << piece;
        EXPECT_EQ(last, S::tsDone) << piece;
    }

    SCOPED_TRACE("one and a half");
    TPair pair;
    pair.Handshake();
    const std::string a = Protect(pair.ServerEngine, "first record");
    const std::string c = Protect(pair.ServerEngine, "third");
    // One and a half records: the first is delivered, the half kept in extra.
    TnbMemoryStream source(a + c.substr(0, c.size() / 2));
    TnbMemoryStream plain;
    TnbMemoryStream extra;
    EXPECT_EQ(pair.ClientEngine.Decrypt(source, &plain, extra), S::tsPartialRecord);
    EXPECT_EQ(plain.ToString(), "first record");
    EXPECT_EQ(extra.ToString(), c.substr(0, c.size() / 2));
    EXPECT_EQ(source.GetPosition(), 0) << "the source is not moved";
    // Five bytes or fewer: incomplete, nothing changed.
    TnbMemoryStream tiny(c.substr(0, 5));
    TnbMemoryStream untouched("keep");
    EXPECT_EQ(pair.ClientEngine.Decrypt(tiny, &plain, untouched), S::tsIncompleteRecord);
    EXPECT_EQ(untouched.ToString(), "keep");
}

TEST(TnbTlsSspi, EncryptOf40000BytesGivesThreeRecords) {
    TPair pair;
    pair.Handshake();
    const std::string text(40000, 'x');
    TnbMemoryStream source(text);
    source.SetPosition(0);
    TnbMemoryStream records;
    ASSERT_EQ(pair.ServerEngine.Encrypt(source, records, 40000), S::tsDone);
    EXPECT_EQ(source.GetPosition(), 0);
    const std::string wire = records.ToString();
    std::vector<std::size_t> payloads;
    for (std::size_t at = 0; at + 5 <= wire.size();) {
        const std::size_t length =
            (std::size_t(std::uint8_t(wire[at + 3])) << 8) | std::uint8_t(wire[at + 4]);
        EXPECT_EQ(wire[at], 23) << "application data";
        TnbMemoryStream one(std::string_view(wire).substr(at, 5 + length));
        TnbMemoryStream plain;
        EXPECT_EQ(pair.ClientEngine.Decrypt(one, &plain, one), S::tsDone);
        payloads.push_back(static_cast<std::size_t>(plain.GetSize()));
        EXPECT_LE(length, 16384 + pair.ServerEngine.GetStreamSizes().Trailer);
        at += 5 + length;
    }
    EXPECT_EQ(payloads, (std::vector<std::size_t>{16384, 16384, 7232}));
}

TEST(TnbTlsSspi, ApplicationBytesBehindTheLastHandshakeMessage) {
    // TLS 1.2: the server's greeting travels with its Finished. TLS 1.3: the client's first
    // command travels with its Finished. Either way not a byte is lost.
    for (const bool tls13 : {false, true}) {
        TPair pair;
        if (tls13) {
            pair.ServerEngine.TLSFlags = {F::tfUseTLS12, F::tfUseTLS13};
            pair.ClientEngine.TLSFlags = {F::tfUseTLS13};
        }
        bool sent = false;
        pair.Handshake(1 << 20, [&](TSide& side) {
            if (sent || !side.Done)
                return std::string();
            sent = true;
            return Protect(side.Engine, "behind the handshake");
        });
        ASSERT_TRUE(sent) << tls13;
        TSide& receiver = tls13 ? pair.Server : pair.Client;
        EXPECT_EQ(receiver.State, S::tsDoneWithData) << tls13;
        EXPECT_EQ(Unprotect(receiver.Engine, receiver.Extra, receiver.Extra.size()),
                  "behind the handshake")
            << tls13;
    }
}

TEST(TnbTlsSspi, CloseNotifyBothWays) {
    for (const bool serverCloses : {true, false}) {
        TPair pair;
        pair.Handshake();
        TnbTlsSspi& closing =
            serverCloses ? static_cast<TnbTlsSspi&>(pair.ServerEngine) : pair.ClientEngine;
        TnbTlsSspi& other =
            serverCloses ? static_cast<TnbTlsSspi&>(pair.ClientEngine) : pair.ServerEngine;
        TnbMemoryStream token;
        ASSERT_EQ(closing.Shutdown(token), S::tsSendClose);
        EXPECT_EQ(token.Memory()[0], 21) << "an alert";
        S last = S::tsDone;
        Unprotect(other, token.ToString(), token.GetSize(), &last);
        EXPECT_EQ(last, S::tsClosed);
        TnbMemoryStream again;
        EXPECT_EQ(closing.Shutdown(again), S::tsDone) << "the context is gone";
    }
    // Before the handshake completes there is nothing to send.
    TnbTlsClientSspi client;
    TnbMemoryStream token;
    ASSERT_EQ(client.HandshakeStep(token, TnbCertificateList(false), false), S::tsSendToken);
    token.Clear();
    EXPECT_EQ(client.Shutdown(token), S::tsDone);
    EXPECT_EQ(token.GetSize(), 0);
}

TEST(TnbTlsSspi, ProtocolFlagCombinationsAndRefusals) {
    struct TCase {
        TnbTlsFlags Server;
        TnbTlsFlags Client;
        std::uint32_t Protocol;  // 0: the handshake fails
        int Raised;              // the code a failing side raises first (0: any)
    };
    const TCase cases[] = {
        {kDefaultTlsFlags, kDefaultTlsFlags, SP_PROT_TLS1_2_SERVER, 0},
        {{F::tfUseSSL2, F::tfUseTLS12}, kDefaultTlsFlags, SP_PROT_TLS1_2_SERVER, 0},
        {{F::tfUseTLS12, F::tfUseTLS13}, {F::tfUseTLS12, F::tfUseTLS13}, SP_PROT_TLS1_3_SERVER, 0},
        {{F::tfUseTLS13}, kDefaultTlsFlags, 0, SEC_E_UNSUPPORTED_PROTOCOL},
        {kDefaultTlsFlags, {F::tfUseTLS13}, 0, SEC_E_UNSUPPORTED_PROTOCOL},
        // TLS 1.0 and 1.1 stay refused at OpenSSL's security level.
        {{F::tfUseTLS}, kDefaultTlsFlags, 0, 0},
        {kDefaultTlsFlags, {F::tfUseTLS, F::tfUseTLS11}, 0, 0},
        // SSL 2.0 and 3.0 do not exist: asking only for them is not supported.
        {{F::tfUseSSL3}, kDefaultTlsFlags, 0, nbSspiErrNotSupported},
        {{F::tfUseSSL2, F::tfUseSSL3}, kDefaultTlsFlags, 0, nbSspiErrNotSupported},
        {kDefaultTlsFlags, {F::tfUseSSL2}, 0, nbSspiErrNotSupported},
    };
    for (const TCase& c : cases) {
        TPair pair;
        pair.ServerEngine.TLSFlags = c.Server;
        pair.ClientEngine.TLSFlags = c.Client;
        const std::string what =
            std::to_string(c.Server.Bits()) + "/" + std::to_string(c.Client.Bits());
        if (c.Protocol) {
            pair.Handshake();
            EXPECT_EQ(pair.ServerEngine.ConnectionInfo().Protocol, c.Protocol) << what;
            continue;
        }
        try {
            pair.Handshake();
            ADD_FAILURE() << what << ": no exception";
        } catch (const EnbSSPIError& e) {
            if (c.Raised) {
                EXPECT_EQ(e.ErrorCode, c.Raised) << what << ": " << e.what();
            }
            if (c.Raised == nbSspiErrNotSupported) {
                EXPECT_STREQ(e.what(), "Not supported");
            }
        }
    }
}

TEST(TnbTlsSspi, FailedHandshakeLeavesItsAlertForThePeer) {
    TPair pair;
    pair.ServerEngine.TLSFlags = {F::tfUseTLS13};
    const std::string hello = pair.Client.Feed({});
    try {
        pair.Server.Feed(hello);
        FAIL() << "no exception";
    } catch (const EnbSSPIError& e) {
        EXPECT_EQ(e.ErrorCode, SEC_E_UNSUPPORTED_PROTOCOL);
    }
    const std::string alert = pair.Server.Buffer.ToString();
    ASSERT_GE(alert.size(), 7u);
    EXPECT_EQ(alert[0], 21) << "the alert record to send";
    try {
        pair.Client.Feed(alert);
        FAIL() << "no exception";
    } catch (const EnbSSPIError& e) {
        EXPECT_EQ(e.ErrorCode, SEC_E_UNSUPPORTED_PROTOCOL) << e.what();
    }
}

TEST(TnbTlsSspi, GarbageFirstByteAndMissingCertificate) {
    struct TCase {
        std::string Input;
        int Code;
    };
    // SECURITY: a plain-text client on a TLS port is refused at its first byte.
    for (const TCase& c : {TCase{"USER anonymous\r\n", SEC_E_ILLEGAL_MESSAGE},
                           TCase{"U", SEC_E_ILLEGAL_MESSAGE}, TCase{"\x16\x03\x01\x48\x00", 0},
                           TCase{std::string("\x16\x03\x01\xFF\xFF", 5), SEC_E_ILLEGAL_MESSAGE}}) {
        TnbTlsServerSspi server;
        TSide side{server};
        side.Certificates.Add(test::SharedServerCertificate());
        try {
            side.Feed(c.Input);
            EXPECT_EQ(c.Code, 0) << c.Input;
            EXPECT_EQ(side.State, S::tsIncompleteToken);
        } catch (const EnbSSPIError& e) {
            EXPECT_EQ(e.ErrorCode, c.Code) << c.Input;
        }
    }
    TnbTlsServerSspi server;
    TnbMemoryStream token("\x16");
    const TnbCertificateList none(false);
    EXPECT_EQ(server.HandshakeStep(token, none, false), S::tsNeedCertificate);
    try {
        server.HandshakeStep(token, none, true);
        FAIL() << "no exception";
    } catch (const EnbSSPIError& e) {
        EXPECT_EQ(e.ErrorCode, SEC_E_NO_CREDENTIALS);
    }
}

TEST(TnbTlsSspi, ClientVerificationAndClientCertificates) {
    struct TCase {
        const char* What;
        std::string Target;
        std::uint8_t Ignore;
        bool Verified;
        std::int32_t Status;
    };
    const TCase cases[] = {
        {"unknown CA", "localhost", 0, false, CERT_E_UNTRUSTEDROOT},
        {"unknown CA ignored", "localhost", nbIgnoreUnknownCa, true, 0},
        {"other name", "ftp.example.com", nbIgnoreUnknownCa, false, CERT_E_CN_NO_MATCH},
        {"other name ignored", "ftp.example.com", nbIgnoreUnknownCa | nbIgnoreCertCnInvalid, true,
         0},
        {"an address", "127.0.0.1", nbIgnoreUnknownCa, false, CERT_E_CN_NO_MATCH},
        {"everything ignored", "not a name", nbIgnoreAllPolicy, true, 0},
    };
    for (const TCase& c : cases) {
        TPair pair;
        pair.ClientEngine.TargetName = c.Target;
        pair.ClientEngine.VerifyIgnoreFlags = c.Ignore;
        pair.Handshake();
        EXPECT_EQ(pair.ClientEngine.PeerVerified, c.Verified) << c.What;
        if (!c.Verified) {
            EXPECT_EQ(pair.ClientEngine.LastStatus, c.Status) << c.What;
        }
    }

    // FIX: a required client certificate is required, and its chain really verified.
    {
        TPair pair;
        pair.ServerEngine.RequireClientCertificate = true;
        EXPECT_THROW(pair.Handshake(), EnbSSPIError) << "no certificate, no session";
    }
    TPair pair;
    pair.ServerEngine.RequireClientCertificate = true;
    pair.Client.Certificates.Add(test::SharedServerCertificate());
    pair.Handshake();
    EXPECT_FALSE(pair.ServerEngine.PeerVerified) << "self-signed: not trusted";
    EXPECT_EQ(pair.ServerEngine.LastStatus, CERT_E_UNTRUSTEDROOT);
    ASSERT_TRUE(pair.ServerEngine.PeerCertificate);
    EXPECT_EQ(pair.ServerEngine.PeerCertificate->SubjectName(), "localhost");
}

// Server handshakes share one context per settings and certificate: each must still present its
// own certificate and protocols, whatever handshakes with others came before it, and a context
// is made again once its certificates went and new ones arrive.
TEST(TnbTlsSspi, HandshakesInTurnKeepTheirOwnCertificateAndProtocols) {
    TnbCertificateStore store;
    store.KeyUsage = CERT_DIGITAL_SIGNATURE_KEY_USAGE | CERT_KEY_ENCIPHERMENT_KEY_USAGE;
    store.ValidFrom = store.ValidFrom - std::chrono::days{1};
    const std::shared_ptr<TnbCertificate> shared = test::SharedServerCertificate();
    const std::shared_ptr<TnbCertificate> other = store.CreateSelfSigned("CN=other.test", 1);
    struct TCase {
        std::shared_ptr<TnbCertificate> Certificate;
        bool Tls13;
        const char* Subject;
        std::uint32_t Protocol;
    };
    const TCase cases[] = {
        {shared, false, "localhost", SP_PROT_TLS1_2_CLIENT},
        {other, false, "other.test", SP_PROT_TLS1_2_CLIENT},
        {shared, true, "localhost", SP_PROT_TLS1_3_CLIENT},
        {shared, false, "localhost", SP_PROT_TLS1_2_CLIENT},
        {other, true, "other.test", SP_PROT_TLS1_3_CLIENT},
        {other, false, "other.test", SP_PROT_TLS1_2_CLIENT},
    };
    // All sessions stay open, as a server's clients do, so that every context is in use.
    std::vector<std::unique_ptr<TPair>> open;
    for (const TCase& c : cases) {
        for (int round = 0; round < 2; ++round) {
            TPair& pair = *open.emplace_back(std::make_unique<TPair>());
            pair.Server.Certificates.Clear();
            pair.Server.Certificates.Add(c.Certificate);
            const TnbTlsFlags flags =
                c.Tls13 ? TnbTlsFlags{F::tfUseTLS12, F::tfUseTLS13} : TnbTlsFlags{F::tfUseTLS12};
            pair.ServerEngine.TLSFlags = flags;
            pair.ClientEngine.TLSFlags = flags;
            pair.ClientEngine.VerifyIgnoreFlags = nbIgnoreAllPolicy;
            pair.Handshake();
            ASSERT_TRUE(pair.ClientEngine.PeerCertificate) << c.Subject;
            EXPECT_EQ(pair.ClientEngine.PeerCertificate->SubjectName(), c.Subject);
            EXPECT_EQ(pair.ClientEngine.ConnectionInfo().Protocol, c.Protocol) << c.Subject;
        }
    }
    // More certificates than contexts are kept, each let go of before the next one comes.
    for (int i = 0; i < 10; ++i) {
        TPair pair;
        pair.Server.Certificates.Clear();
        const std::string subject = "CN=n" + std::to_string(i) + ".test";
        pair.Server.Certificates.Add(store.CreateSelfSigned(subject, 2 + i));
        pair.ClientEngine.VerifyIgnoreFlags = nbIgnoreAllPolicy;
        pair.Handshake();
        ASSERT_TRUE(pair.ClientEngine.PeerCertificate);
        EXPECT_EQ(pair.ClientEngine.PeerCertificate->SubjectName(), subject.substr(3));
    }
}

}  // namespace
}  // namespace nb
