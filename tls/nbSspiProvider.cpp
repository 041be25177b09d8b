// The OpenSSL provider of nbSspi: the function table the handshake engine calls. A context is
// an SSL object between two byte queues (BIOs of our own); nothing here touches a socket. Handshake input is fed
// one complete record at a time, so the provider knows exactly where the handshake ends and
// which bytes behind it belong to the application.
#include <openssl/bio.h>
#include <openssl/core_names.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/params.h>
#include <openssl/rand.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <mutex>
#include <new>

#include "tls/nbCryptAPI.h"
#include "tls/nbSspi.h"
#include "util/nbLimits.h"
#include "util/nbStream.h"

namespace nb {

struct TnbTlsSessionScope {
    unsigned char Id[SSL_MAX_SID_CTX_LENGTH] = {};
    unsigned char TicketKeys[80] = {};  // name, HMAC and AES keys of the scope's tickets
    std::mutex Lock;                    // leaf lock: Sessions
    std::deque<std::unique_ptr<SSL_SESSION, decltype(&SSL_SESSION_free)>> Sessions;
};

std::shared_ptr<TnbTlsSessionScope> NewTlsSessionScope() {
    auto scope = std::make_shared<TnbTlsSessionScope>();
    ClearOpenSslErrors();
    if (RAND_bytes(scope->Id, sizeof scope->Id) != 1 ||
        RAND_bytes(scope->TicketKeys, sizeof scope->TicketKeys) != 1) {
        ClearOpenSslErrors();
        throw EnbSSPIError(GetSspiErrorText(SEC_E_INTERNAL_ERROR).first, SEC_E_INTERNAL_ERROR);
    }
    return scope;
}

struct TnbProviderCredentials {
    // A server's is shared with every credentials of the same settings and certificates.
    std::shared_ptr<SSL_CTX> Ctx;
    bool Server = false;
    TnbCredentialRecord Record;
    // The client's own certificate and key, offered when the server asks for one.
    PCCERT_CONTEXT ClientCert;
    std::shared_ptr<EVP_PKEY> ClientKey;
};

struct TnbProviderContext {
    std::unique_ptr<SSL, decltype(&SSL_free)> Ssl{nullptr, &SSL_free};
    BIO* In = nullptr;   // owned by Ssl
    BIO* Out = nullptr;  // owned by Ssl
    TnbCredHandle Credentials;
    bool HandshakeDone = false;
    bool ShutdownRequested = false;
    bool ClientCertAsked = false;
    // Chain errors met while verifying the peer, as CERT_E_ / CRYPT_E_ codes in order.
    std::vector<std::int32_t> VerifyErrors;
};

namespace {

constexpr std::size_t kRecordHeader = 5;
constexpr std::size_t kMaxFragment = 16384;

int ContextIndex() {
    static const int index = SSL_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
    return index;
}

TnbProviderContext* ContextOf(SSL* ssl) {
    return static_cast<TnbProviderContext*>(SSL_get_ex_data(ssl, ContextIndex()));
}

// SECURITY: the one check of a record header that comes from the peer: a known content type
// and a length no conforming peer exceeds (2^14 plus the expansion TLS allows), so that a
// buffered partial record can never grow past one record.
enum class TRecord { rcComplete, rcIncomplete, rcIllegal };
TRecord CheckRecord(const std::uint8_t* data, std::size_t size, std::size_t& recordSize) {
    if (size == 0)
        return TRecord::rcIncomplete;
    if (data[0] < 20 || data[0] > 23)
        return TRecord::rcIllegal;
    if (size < kRecordHeader)
        return TRecord::rcIncomplete;
    const std::size_t length = (std::size_t(data[3]) << 8) | data[4];
    if (length > kMaxTlsRecordPayload)
        return TRecord::rcIllegal;
    recordSize = kRecordHeader + length;
    return size >= recordSize ? TRecord::rcComplete : TRecord::rcIncomplete;
}

// ---- The context's two byte queues ----
// OpenSSL's memory BIO zero-fills and copies every record into its buffer and copies it out
// again. These queues hand records straight on instead: protected output goes straight into
// the caller's stream (Target), and a record being unprotected is read where it lies (Input).
// Only handshake bytes, and output made with no target, wait in Pending.
struct TnbBioQueue {
    std::vector<std::uint8_t> Pending;
    std::size_t ReadPosition = 0;
    TnbMemoryStream* Target = nullptr;    // appended to while set (Pending is empty then)
    const std::uint8_t* Input = nullptr;  // read after Pending while set
    std::size_t InputSize = 0;

    std::size_t Waiting() const { return InputSize + Pending.size() - ReadPosition; }
};

TnbBioQueue& QueueOf(BIO* bio) { return *static_cast<TnbBioQueue*>(BIO_get_data(bio)); }

int QueueWrite(BIO* bio, const char* data, int size) {
    BIO_clear_retry_flags(bio);
    if (size <= 0)
        return 0;
    TnbBioQueue& queue = QueueOf(bio);
    try {
        if (queue.Target != nullptr)
            queue.Target->Write(data, size);
        else
            queue.Pending.insert(queue.Pending.end(), data, data + size);
    } catch (const std::exception&) {
        return -1;  // no exception may cross OpenSSL: the write fails instead
    }
    return size;
}

int QueueRead(BIO* bio, char* data, int size) {
    BIO_clear_retry_flags(bio);
    TnbBioQueue& queue = QueueOf(bio);
    auto wanted = static_cast<std::size_t>(std::max(size, 0));
    std::size_t done = std::min(wanted, queue.Pending.size() - queue.ReadPosition);
    if (done > 0) {
        std::memcpy(data, queue.Pending.data() + queue.ReadPosition, done);
        queue.ReadPosition += done;
        if (queue.ReadPosition == queue.Pending.size()) {
            // A handshake's flight is read once: its memory goes back instead of idling with
            // the session.
            std::vector<std::uint8_t>().swap(queue.Pending);
            queue.ReadPosition = 0;
        }
    }
    const std::size_t fromInput = std::min(wanted - done, queue.InputSize);
    if (fromInput > 0) {
        std::memcpy(data + done, queue.Input, fromInput);
        queue.Input += fromInput;
        queue.InputSize -= fromInput;
        done += fromInput;
    }
    if (done == 0 && size > 0) {
        BIO_set_retry_read(bio);  // no more bytes yet, not the end of the stream
        return -1;
    }
    return static_cast<int>(done);
}

long QueueControl(BIO* bio, int command, long, void*) {
    switch (command) {
        case BIO_CTRL_PENDING:
            return static_cast<long>(QueueOf(bio).Waiting());
        case BIO_CTRL_FLUSH:
            return 1;
        default:
            return 0;
    }
}

int QueueCreate(BIO* bio) {
    // Called from inside BIO_new: no exception may cross OpenSSL, a failed creation says 0.
    auto* queue = new (std::nothrow) TnbBioQueue;
    if (queue == nullptr)
        return 0;
    BIO_set_data(bio, queue);
    BIO_set_init(bio, 1);
    return 1;
}

int QueueDestroy(BIO* bio) {
    delete static_cast<TnbBioQueue*>(BIO_get_data(bio));
    BIO_set_data(bio, nullptr);
    return 1;
}

const BIO_METHOD* QueueMethod() {
    static const BIO_METHOD* method = [] {
        BIO_METHOD* made = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "nb queue");
        if (made != nullptr) {
            BIO_meth_set_write(made, &QueueWrite);
            BIO_meth_set_read(made, &QueueRead);
            BIO_meth_set_ctrl(made, &QueueControl);
            BIO_meth_set_create(made, &QueueCreate);
            BIO_meth_set_destroy(made, &QueueDestroy);
        }
        return made;
    }();
    return method;
}

// While it lives, what the context protects is appended to out directly.
class TDirectOutput {
public:
    TDirectOutput(BIO* bio, TnbMemoryStream& out) : queue_(QueueOf(bio)), out_(out) {
        position_ = out.GetPosition();
        out.Seek(0, TnbSeekOrigin::soEnd);
        queue_.Target = &out;
    }
    ~TDirectOutput() {
        queue_.Target = nullptr;
        out_.SetPosition(position_);
    }
    TDirectOutput(const TDirectOutput&) = delete;
    TDirectOutput& operator=(const TDirectOutput&) = delete;

private:
    TnbBioQueue& queue_;
    TnbMemoryStream& out_;
    std::int64_t position_ = 0;
};

// Everything the context has queued to send, appended to out.
void DrainOutput(TnbProviderContext& context, std::vector<std::uint8_t>& out) {
    const std::size_t pending = BIO_ctrl_pending(context.Out);
    if (pending == 0)
        return;
    const std::size_t start = out.size();
    out.resize(start + pending);
    const int read = BIO_read(context.Out, out.data() + start, static_cast<int>(pending));
    out.resize(start + static_cast<std::size_t>(std::max(read, 0)));
}

void DrainOutput(TnbProviderContext& context, TnbMemoryStream& out) {
    const std::size_t pending = BIO_ctrl_pending(context.Out);
    if (pending == 0)
        return;
    const std::int64_t start = out.GetSize();
    out.SetSize(start + static_cast<std::int64_t>(pending));
    const int read = BIO_read(context.Out, out.Memory() + start, static_cast<int>(pending));
    out.SetSize(start + std::max(read, 0));
}

// The status of a failed OpenSSL call, read from the thread's error queue.
SECURITY_STATUS FailureStatus() {
    const unsigned long error = ERR_peek_last_error();
    ClearOpenSslErrors();
    if (ERR_GET_LIB(error) != ERR_LIB_SSL)
        return error == 0 ? SEC_E_ILLEGAL_MESSAGE : SEC_E_INTERNAL_ERROR;
    switch (ERR_GET_REASON(error)) {
        case SSL_R_UNSUPPORTED_PROTOCOL:
        case SSL_R_WRONG_VERSION_NUMBER:
        case SSL_R_NO_PROTOCOLS_AVAILABLE:
        case SSL_R_TLSV1_ALERT_PROTOCOL_VERSION:
        case SSL_R_VERSION_TOO_LOW:
        case SSL_R_VERSION_TOO_HIGH:
        case SSL_R_UNSUPPORTED_SSL_VERSION:
            return SEC_E_UNSUPPORTED_PROTOCOL;
        case SSL_R_NO_SHARED_CIPHER:
        case SSL_R_NO_CIPHERS_AVAILABLE:
        case SSL_R_SSLV3_ALERT_HANDSHAKE_FAILURE:
        case SSL_R_NO_SHARED_SIGNATURE_ALGORITHMS:
            return SEC_E_ALGORITHM_MISMATCH;
        case SSL_R_PEER_DID_NOT_RETURN_A_CERTIFICATE:
        case SSL_R_TLSV13_ALERT_CERTIFICATE_REQUIRED:
            return SEC_E_NO_CREDENTIALS;
        case SSL_R_CERTIFICATE_VERIFY_FAILED:
        case SSL_R_SSLV3_ALERT_BAD_CERTIFICATE:
        case SSL_R_SSLV3_ALERT_CERTIFICATE_UNKNOWN:
        case SSL_R_TLSV1_ALERT_UNKNOWN_CA:
            return SEC_E_CERT_UNKNOWN;
        case SSL_R_SSLV3_ALERT_CERTIFICATE_EXPIRED:
            return SEC_E_CERT_EXPIRED;
        case SSL_R_DECRYPTION_FAILED_OR_BAD_RECORD_MAC:
        case SSL_R_TLSV1_ALERT_DECRYPT_ERROR:
        case SSL_R_SSLV3_ALERT_BAD_RECORD_MAC:
            return SEC_E_MESSAGE_ALTERED;
        case SSL_R_EE_KEY_TOO_SMALL:
        case SSL_R_CA_MD_TOO_WEAK:
            return SEC_E_CERT_WRONG_USAGE;
        default:
            return SEC_E_ILLEGAL_MESSAGE;
    }
}

// A chain error of the peer's certificate as the platform's policy error.
std::int32_t PolicyError(int x509Error) {
    switch (x509Error) {
        case X509_V_ERR_HOSTNAME_MISMATCH:
        case X509_V_ERR_IP_ADDRESS_MISMATCH:
            return CERT_E_CN_NO_MATCH;
        case X509_V_ERR_CERT_HAS_EXPIRED:
        case X509_V_ERR_CERT_NOT_YET_VALID:
            return CERT_E_EXPIRED;
        case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
        case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
        case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
        case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
        case X509_V_ERR_CERT_UNTRUSTED:
            return CERT_E_UNTRUSTEDROOT;
        case X509_V_ERR_CERT_REVOKED:
            return CERT_E_REVOKED;
        case X509_V_ERR_UNABLE_TO_GET_CRL:
        case X509_V_ERR_CRL_HAS_EXPIRED:
        case X509_V_ERR_CRL_NOT_YET_VALID:
            return CRYPT_E_NO_REVOCATION_CHECK;
        case X509_V_ERR_INVALID_PURPOSE:
            return CERT_E_WRONG_USAGE;
        default:
            return CERT_E_CHAINING;
    }
}

// Verification never stops a handshake: every error is noted for the engine, which decides
// after the handshake with the caller's ignore flags (the platform's manual validation).
int VerifyCallback(int preverified, X509_STORE_CTX* store) {
    if (!preverified) {
        SSL* ssl = static_cast<SSL*>(
            X509_STORE_CTX_get_ex_data(store, SSL_get_ex_data_X509_STORE_CTX_idx()));
        if (TnbProviderContext* context = ssl ? ContextOf(ssl) : nullptr)
            context->VerifyErrors.push_back(PolicyError(X509_STORE_CTX_get_error(store)));
    }
    return 1;
}

TnbTlsSessionScope* ScopeOf(SSL* ssl) {
    TnbProviderContext* context = ContextOf(ssl);
    return context && context->Credentials ? context->Credentials->Record.SessionScope.get()
                                           : nullptr;
}

// A new session of a control connection: kept in its scope for its data connections.
int NewSessionCallback(SSL* ssl, SSL_SESSION* session) {
    TnbTlsSessionScope* scope = ScopeOf(ssl);
    if (!scope)
        return 0;
    std::lock_guard lock(scope->Lock);
    scope->Sessions.emplace_back(session, &SSL_SESSION_free);
    while (scope->Sessions.size() > kMaxScopeSessions)
        scope->Sessions.pop_front();
    return 1;  // the scope keeps the reference
}

// SECURITY: a session id is looked up in the connection's own scope only, so a data connection
// can never resume another client's session.
SSL_SESSION* GetSessionCallback(SSL* ssl, const unsigned char* id, int length, int* copy) {
    *copy = 1;  // OpenSSL takes its own reference
    TnbTlsSessionScope* scope = ScopeOf(ssl);
    if (!scope)
        return nullptr;
    std::lock_guard lock(scope->Lock);
    for (const auto& session : scope->Sessions) {
        unsigned int own = 0;
        const unsigned char* ownId = SSL_SESSION_get_id(session.get(), &own);
        if (static_cast<int>(own) == length && std::memcmp(ownId, id, own) == 0)
            return session.get();
    }
    return nullptr;
}

// SECURITY: tickets are sealed and opened with the keys of the connection's own scope (name,
// HMAC-SHA256 and AES-256-CBC keys, as OpenSSL's own ticket keys): a ticket another client's
// scope sealed has a name this scope does not know, so its client gets a full handshake.
int TicketKeyCallback(SSL* ssl, unsigned char* name, unsigned char* iv, EVP_CIPHER_CTX* cipher,
                      EVP_MAC_CTX* mac, int encrypt) {
    const TnbTlsSessionScope* scope = ScopeOf(ssl);
    if (!scope)
        return 0;  // no ticket is sealed, and none opens
    constexpr std::size_t kName = 16;
    const unsigned char* hmacKey = scope->TicketKeys + kName;
    const unsigned char* aesKey = hmacKey + 32;
    if (encrypt) {
        std::memcpy(name, scope->TicketKeys, kName);
        if (RAND_bytes(iv, EVP_CIPHER_get_iv_length(EVP_aes_256_cbc())) != 1)
            return -1;
    } else if (std::memcmp(name, scope->TicketKeys, kName) != 0) {
        return 0;
    }
    OSSL_PARAM params[] = {
        OSSL_PARAM_construct_octet_string(OSSL_MAC_PARAM_KEY, const_cast<unsigned char*>(hmacKey),
                                          32),
        OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, const_cast<char*>("SHA256"), 0),
        OSSL_PARAM_construct_end(),
    };
    if (EVP_CipherInit_ex(cipher, EVP_aes_256_cbc(), nullptr, aesKey, iv, encrypt) != 1 ||
        EVP_MAC_CTX_set_params(mac, params) != 1)
        return -1;
    return 1;
}

// Resumption of a server context: within each connection's scope (ScopeOf), or none for
// records without one.
void ApplySessionScope(SSL_CTX* ctx, bool scoped) {
    if (!scoped) {
        SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_OFF);
        return;
    }
    SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_SERVER | SSL_SESS_CACHE_NO_INTERNAL);
    SSL_CTX_sess_set_new_cb(ctx, &NewSessionCallback);
    SSL_CTX_sess_set_get_cb(ctx, &GetSessionCallback);
    SSL_CTX_set_tlsext_ticket_key_evp_cb(ctx, &TicketKeyCallback);
}

// The parts of a connection's scope that live on its SSL object: the session-id context, which
// OpenSSL compares before it resumes any session, and whether tickets are sent at all.
void ApplySessionScope(SSL* ssl, const TnbCredentialRecord& record) {
    if (record.NoSessionTickets)
        SSL_set_num_tickets(ssl, 0);
    if (const TnbTlsSessionScope* scope = record.SessionScope.get())
        SSL_set_session_id_context(ssl, scope->Id, sizeof scope->Id);
}

// The server asks for a client certificate: the first time the handshake stops with
// SEC_I_INCOMPLETE_CREDENTIALS so that the engine can get one; then the credentials' own is
// offered, or none.
int ClientCertCallback(SSL* ssl, X509** cert, EVP_PKEY** key) {
    TnbProviderContext* context = ContextOf(ssl);
    if (!context)
        return 0;
    const TnbProviderCredentials& credentials = *context->Credentials;
    if (credentials.ClientCert && credentials.ClientKey) {
        X509_up_ref(credentials.ClientCert->Cert());
        EVP_PKEY_up_ref(credentials.ClientKey.get());
        *cert = credentials.ClientCert->Cert();
        *key = credentials.ClientKey.get();
        return 1;
    }
    if (!context->ClientCertAsked) {
        context->ClientCertAsked = true;
        return -1;
    }
    return 0;
}

// The protocol range of the record's bits; false when it enables no protocol this library
// speaks (SSL 2.0 and 3.0 do not exist here).
bool ApplyProtocols(SSL_CTX* ctx, const TnbCredentialRecord& record, bool server) {
    struct TVersion {
        std::uint32_t ServerBit, ClientBit;
        int Version;
        std::uint64_t NoOption;
    };
    const TVersion versions[] = {
        {SP_PROT_TLS1_SERVER, SP_PROT_TLS1_CLIENT, TLS1_VERSION, SSL_OP_NO_TLSv1},
        {SP_PROT_TLS1_1_SERVER, SP_PROT_TLS1_1_CLIENT, TLS1_1_VERSION, SSL_OP_NO_TLSv1_1},
        {SP_PROT_TLS1_2_SERVER, SP_PROT_TLS1_2_CLIENT, TLS1_2_VERSION, SSL_OP_NO_TLSv1_2},
    };
    int lowest = 0;
    int highest = 0;
    std::uint64_t gaps = 0;
    for (const TVersion& v : versions) {
        const bool enabled = record.EnabledProtocols & (server ? v.ServerBit : v.ClientBit);
        if (enabled) {
            lowest = lowest ? lowest : v.Version;
            highest = v.Version;
        } else {
            gaps |= v.NoOption;
        }
    }
    if (record.EnableTls13) {
        lowest = lowest ? lowest : TLS1_3_VERSION;
        highest = TLS1_3_VERSION;
    }
    if (!lowest)
        return false;
    // Strong cryptography keeps to the protocols without known weaknesses.
    if ((record.Flags & SCH_USE_STRONG_CRYPTO) && lowest < TLS1_2_VERSION) {
        if (highest < TLS1_2_VERSION)
            return false;
        lowest = TLS1_2_VERSION;
    }
    SSL_CTX_set_min_proto_version(ctx, lowest);
    SSL_CTX_set_max_proto_version(ctx, highest);
    SSL_CTX_set_options(ctx, gaps);
    return true;
}

// The client's chain flags as OpenSSL verification flags, as closely as they go: a revocation
// check of the end certificate (CERT_CHAIN_REVOCATION_CHECK_END_CERT) is X509_V_FLAG_CRL_CHECK,
// of the chain (CHECK_CHAIN, CHECK_CHAIN_EXCLUDE_ROOT) also X509_V_FLAG_CRL_CHECK_ALL. OpenSSL
// never fetches revocation lists or caches chains, so the cache, URL-retrieval, root-update
// and time-out flags have nothing to change.
unsigned long VerifyFlags(std::uint32_t chainFlags) {
    unsigned long flags = 0;
    if (chainFlags & 0x10000000)
        flags |= X509_V_FLAG_CRL_CHECK;
    if (chainFlags & (0x20000000 | 0x40000000))
        flags |= X509_V_FLAG_CRL_CHECK | X509_V_FLAG_CRL_CHECK_ALL;
    return flags;
}

// The system's trusted roots, loaded once for the process: loading the bundle costs more than
// a handshake, and an X509_STORE may be shared by any number of contexts and threads.
X509_STORE* SystemTrustStore() {
    static X509_STORE* const store = [] {
        X509_STORE* made = X509_STORE_new();
        if (made && X509_STORE_set_default_paths(made) != 1)
            ClearOpenSslErrors();  // no system roots: every chain is then untrusted
        return made;
    }();
    return store;
}

SECURITY_STATUS EnumeratePackages(std::vector<TnbSecPkgInfo>& packages) {
    packages = {{"Microsoft Unified Security Protocol Provider"}};
    return SEC_E_OK;
}

// A new context of the record's settings and certificates (ownKey the first one's key, already
// read); the status says why there is none.
SECURITY_STATUS MakeContext(const TnbCredentialRecord& record, bool server,
                            const std::shared_ptr<EVP_PKEY>& ownKey,
                            std::shared_ptr<SSL_CTX>& made) {
    made.reset(SSL_CTX_new(server ? TLS_server_method() : TLS_client_method()), &SSL_CTX_free);
    SSL_CTX* ctx = made.get();
    if (!ctx)
        return SEC_E_INSUFFICIENT_MEMORY;
    if (!ApplyProtocols(ctx, record, server))
        return SEC_E_UNSUPPORTED_PROTOCOL;
    // SECURITY: no renegotiation: a peer cannot restart the handshake inside a session.
    SSL_CTX_set_options(ctx, SSL_OP_NO_RENEGOTIATION | SSL_OP_NO_COMPRESSION);
    SSL_CTX_set_mode(ctx, SSL_MODE_RELEASE_BUFFERS);
    SSL_CTX_set1_cert_store(ctx, SystemTrustStore());
    SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, &VerifyCallback);
    X509_VERIFY_PARAM_set_flags(SSL_CTX_get0_param(ctx), VerifyFlags(record.ChainFlags));
    if (!record.Creds.empty()) {
        if (!ownKey)
            return SEC_E_NO_CREDENTIALS;
        if (server) {
            if (SSL_CTX_use_certificate(ctx, record.Creds.front()->Cert()) != 1 ||
                SSL_CTX_use_PrivateKey(ctx, ownKey.get()) != 1) {
                return FailureStatus() == SEC_E_CERT_WRONG_USAGE ? SEC_E_CERT_WRONG_USAGE
                                                                 : SEC_E_UNKNOWN_CREDENTIALS;
            }
            for (std::size_t i = 1; i < record.Creds.size(); ++i)
                SSL_CTX_add1_chain_cert(ctx, record.Creds[i]->Cert());
            // The chain is completed from the trust store here, once, instead of at every
            // handshake (which searches the system's certificate directory each time). An
            // incomplete chain still goes out as far as it was found, as before.
            if (record.Creds.size() == 1)
                SSL_CTX_build_cert_chain(
                    ctx, SSL_BUILD_CHAIN_FLAG_IGNORE_ERROR | SSL_BUILD_CHAIN_FLAG_CLEAR_ERROR);
            ClearOpenSslErrors();
        }
    } else if (server) {
        return SEC_E_NO_CREDENTIALS;  // a server cannot shake hands without a certificate
    }
    if (server)
        ApplySessionScope(ctx, record.SessionScope != nullptr);
    else
        SSL_CTX_set_client_cert_cb(ctx, &ClientCertCallback);
    return SEC_E_OK;
}

// The server contexts in use, by settings and certificates. Making a context costs about as
// much as the handshake's own cryptography (OpenSSL 3 looks up every algorithm it may need),
// so every handshake with the same settings and certificate shares one; whatever differs per
// client (its resumption scope) is set on its SSL object. The cache holds no context alive: the
// credentials that use one do, and an unused one is made again.
// Threads: any; the lock is a leaf lock.
class TServerContextCache {
public:
    std::shared_ptr<SSL_CTX> Find(const TnbCredentialRecord& record,
                                  const std::shared_ptr<EVP_PKEY>& key) {
        std::lock_guard lock(lock_);
        for (const TEntry& entry : entries_) {
            if (entry.Matches(record, key)) {
                if (std::shared_ptr<SSL_CTX> ctx = entry.Ctx.lock())
                    return ctx;
            }
        }
        return nullptr;
    }

    void Add(const TnbCredentialRecord& record, const std::shared_ptr<EVP_PKEY>& key,
             const std::shared_ptr<SSL_CTX>& ctx) {
        TEntry entry{record.Flags, record.EnabledProtocols, record.EnableTls13,
                     record.SessionScope != nullptr, {}, key, ctx};
        entry.Creds.assign(record.Creds.begin(), record.Creds.end());
        std::lock_guard lock(lock_);
        std::erase_if(entries_, [](const TEntry& old) { return old.Ctx.expired(); });
        if (entries_.size() >= kMaxSharedServerContexts)
            entries_.pop_front();
        entries_.push_back(std::move(entry));
    }

private:
    struct TEntry {
        std::uint32_t Flags, EnabledProtocols;
        bool EnableTls13, Scoped;
        // Weak, so that a certificate let go of is never kept, and never matches again.
        std::vector<std::weak_ptr<TnbCertContext>> Creds;
        std::weak_ptr<EVP_PKEY> Key;
        std::weak_ptr<SSL_CTX> Ctx;

        bool Matches(const TnbCredentialRecord& record, const std::shared_ptr<EVP_PKEY>& key) const {
            if (Flags != record.Flags || EnabledProtocols != record.EnabledProtocols ||
                EnableTls13 != record.EnableTls13 || Scoped != (record.SessionScope != nullptr) ||
                Creds.size() != record.Creds.size() || Key.lock() != key)
                return false;
            for (std::size_t i = 0; i < Creds.size(); ++i) {
                if (Creds[i].lock() != record.Creds[i])
                    return false;
            }
            return true;
        }
    };

    std::mutex lock_;
    std::deque<TEntry> entries_;
};

TServerContextCache& ServerContexts() {
    static TServerContextCache cache;
    return cache;
}

SECURITY_STATUS AcquireCredentials(const std::string& package, std::uint32_t credentialUse,
                                   const TnbCredentialRecord& record, TnbCredHandle& credentials) {
    (void)package;
    credentials.reset();
    const bool server = credentialUse == SECPKG_CRED_INBOUND;
    ClearOpenSslErrors();
    auto made = std::make_shared<TnbProviderCredentials>();
    made->Server = server;
    made->Record = record;
    std::shared_ptr<EVP_PKEY> key;
    if (!record.Creds.empty())
        key = record.Creds.front()->PrivateKey();
    // Only a complete server record is shared; a failing one is made again to report why.
    const bool shared = server && key;
    if (shared)
        made->Ctx = ServerContexts().Find(record, key);
    if (!made->Ctx) {
        const SECURITY_STATUS status = MakeContext(record, server, key, made->Ctx);
        if (status != SEC_E_OK)
            return status;
        if (shared)
            ServerContexts().Add(record, key, made->Ctx);
    }
    if (!server && key) {
        made->ClientCert = record.Creds.front();
        made->ClientKey = std::move(key);
    }
    credentials = std::move(made);
    return SEC_E_OK;
}

SECURITY_STATUS FreeCredentials(TnbCredHandle& credentials) {
    credentials.reset();
    return SEC_E_OK;
}

// A DNS name may go out as SNI; an address or any other text may not.
bool IsDnsName(const std::string& name) {
    if (name.empty() || name.size() > 253)
        return false;
    bool letter = false;
    std::size_t label = 0;
    for (const char ch : name) {
        if (ch == '.') {
            if (label == 0)
                return false;
            label = 0;
            letter = false;
            continue;
        }
        const bool alpha = (ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z');
        if (!alpha && !(ch >= '0' && ch <= '9') && ch != '-')
            return false;
        letter = letter || alpha;
        if (++label > 63)
            return false;
    }
    return label > 0 && letter;  // the last label has a letter: not an IPv4 address
}

SECURITY_STATUS NewContext(const TnbCredHandle& credentials, const std::string& targetName,
                           std::uint32_t flags, TnbCtxtHandle& context) {
    if (!credentials)
        return SEC_E_INVALID_HANDLE;
    ClearOpenSslErrors();
    auto made = std::make_shared<TnbProviderContext>();
    made->Credentials = credentials;
    made->Ssl.reset(SSL_new(credentials->Ctx.get()));
    BIO* in = QueueMethod() ? BIO_new(QueueMethod()) : nullptr;
    BIO* out = QueueMethod() ? BIO_new(QueueMethod()) : nullptr;
    if (!made->Ssl || !in || !out) {
        BIO_free(in);
        BIO_free(out);
        return SEC_E_INSUFFICIENT_MEMORY;
    }
    SSL_set_bio(made->Ssl.get(), in, out);
    made->In = in;
    made->Out = out;
    SSL* ssl = made->Ssl.get();
    SSL_set_ex_data(ssl, ContextIndex(), made.get());
    if (credentials->Server) {
        SSL_set_accept_state(ssl);
        ApplySessionScope(ssl, credentials->Record);
        if (flags & ASC_REQ_MUTUAL_AUTH)
            SSL_set_verify(ssl, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, &VerifyCallback);
        else
            SSL_set_verify(ssl, SSL_VERIFY_NONE, nullptr);
    } else {
        SSL_set_connect_state(ssl);
        if (IsDnsName(targetName))
            SSL_set_tlsext_host_name(ssl, targetName.c_str());
        // The target is checked against the certificate: a DNS name against its names, an
        // address against its addresses, any other text never matches (CERT_E_CN_NO_MATCH,
        // which the caller may choose to ignore).
        X509_VERIFY_PARAM* param = SSL_get0_param(ssl);
        if (X509_VERIFY_PARAM_set1_ip_asc(param, targetName.c_str()) != 1) {
            ClearOpenSslErrors();
            X509_VERIFY_PARAM_set1_host(param, targetName.c_str(), targetName.size());
        }
    }
    context = std::move(made);
    return SEC_E_OK;
}

// One handshake step over the complete records of the input.
SECURITY_STATUS HandshakeStep(TnbProviderContext& context, TnbHandshakeBuffers& buffers) {
    SSL* ssl = context.Ssl.get();
    buffers.Consumed = 0;
    buffers.Output.clear();
    std::size_t offset = 0;
    for (;;) {
        ClearOpenSslErrors();
        const int result = SSL_do_handshake(ssl);
        if (result == 1) {
            context.HandshakeDone = true;
            DrainOutput(context, buffers.Output);
            buffers.Consumed = offset;
            return SEC_E_OK;
        }
        const int error = SSL_get_error(ssl, result);
        if (error == SSL_ERROR_WANT_X509_LOOKUP) {
            DrainOutput(context, buffers.Output);
            buffers.Consumed = offset;
            return SEC_I_INCOMPLETE_CREDENTIALS;
        }
        if (error != SSL_ERROR_WANT_READ) {
            const SECURITY_STATUS status = FailureStatus();
            DrainOutput(context, buffers.Output);  // the alert that tells the peer why
            buffers.Consumed = buffers.InputSize;
            return status;
        }
        std::size_t recordSize = 0;
        const TRecord record =
            CheckRecord(buffers.Input + offset, buffers.InputSize - offset, recordSize);
        if (record == TRecord::rcIllegal)
            return SEC_E_ILLEGAL_MESSAGE;
        if (record == TRecord::rcIncomplete) {
            DrainOutput(context, buffers.Output);
            buffers.Consumed = offset;
            // Nothing to answer yet: the peer's flight is not complete.
            return buffers.Output.empty() ? SEC_E_INCOMPLETE_MESSAGE : SEC_I_CONTINUE_NEEDED;
        }
        BIO_write(context.In, buffers.Input + offset, static_cast<int>(recordSize));
        offset += recordSize;
    }
}

SECURITY_STATUS AcceptContext(const TnbCredHandle& credentials, TnbCtxtHandle& context,
                              std::uint32_t flags, TnbHandshakeBuffers& buffers) {
    if (context && context->ShutdownRequested) {
        buffers.Output.clear();
        if (context->HandshakeDone) {
            ClearOpenSslErrors();
            SSL_shutdown(context->Ssl.get());
            ClearOpenSslErrors();
            DrainOutput(*context, buffers.Output);
        }
        return SEC_E_OK;
    }
    // SECURITY: a first byte that is no TLS record type is a plain-text client on a TLS port;
    // it is refused at once instead of waiting for a record that never comes.
    if (buffers.InputSize > 0 && (buffers.Input[0] < 20 || buffers.Input[0] > 23))
        return SEC_E_ILLEGAL_MESSAGE;
    if (!context) {
        const SECURITY_STATUS status = NewContext(credentials, {}, flags, context);
        if (status != SEC_E_OK)
            return status;
    }
    return HandshakeStep(*context, buffers);
}

SECURITY_STATUS InitializeContext(const TnbCredHandle& credentials, TnbCtxtHandle& context,
                                  const std::string& targetName, std::uint32_t flags,
                                  TnbHandshakeBuffers& buffers) {
    if (context && context->ShutdownRequested)
        return AcceptContext(credentials, context, flags, buffers);
    if (buffers.InputSize > 0 && (buffers.Input[0] < 20 || buffers.Input[0] > 23))
        return SEC_E_ILLEGAL_MESSAGE;
    if (!context) {
        const SECURITY_STATUS status = NewContext(credentials, targetName, flags, context);
        if (status != SEC_E_OK)
            return status;
    } else if (credentials) {
        context->Credentials = credentials;  // acquired again with the client's certificate
    }
    return HandshakeStep(*context, buffers);
}

std::uint32_t RecordTrailer(SSL* ssl) {
    const SSL_CIPHER* cipher = SSL_get_current_cipher(ssl);
    if (!cipher)
        return 0;
    if (SSL_version(ssl) == TLS1_3_VERSION)
        return 1 + 16;  // content type, tag
    if (SSL_CIPHER_is_aead(cipher))
        return 8 + 16;  // explicit nonce, tag (the largest AEAD expansion of TLS 1.2)
    const EVP_MD* digest = EVP_get_digestbynid(SSL_CIPHER_get_digest_nid(cipher));
    const int mac = digest ? EVP_MD_get_size(digest) : 48;
    return 16 + static_cast<std::uint32_t>(mac) + 16;  // explicit IV, MAC, padding
}

std::uint32_t ProtocolBit(SSL* ssl) {
    const bool server = SSL_is_server(ssl);
    switch (SSL_version(ssl)) {
        case TLS1_VERSION:
            return server ? SP_PROT_TLS1_SERVER : SP_PROT_TLS1_CLIENT;
        case TLS1_1_VERSION:
            return server ? SP_PROT_TLS1_1_SERVER : SP_PROT_TLS1_1_CLIENT;
        case TLS1_2_VERSION:
            return server ? SP_PROT_TLS1_2_SERVER : SP_PROT_TLS1_2_CLIENT;
        case TLS1_3_VERSION:
            return server ? SP_PROT_TLS1_3_SERVER : SP_PROT_TLS1_3_CLIENT;
        default:
            return 0;
    }
}

SECURITY_STATUS QueryAttributes(const TnbCtxtHandle& context, std::uint32_t attribute,
                                void* buffer) {
    if (!context || !context->HandshakeDone || !buffer)
        return SEC_E_INVALID_HANDLE;
    SSL* ssl = context->Ssl.get();
    switch (attribute) {
        case SECPKG_ATTR_STREAM_SIZES: {
            auto& sizes = *static_cast<TnbStreamSizes*>(buffer);
            sizes.Header = kRecordHeader;
            sizes.Trailer = RecordTrailer(ssl);
            sizes.MaximumMessage = kMaxFragment;
            sizes.Buffers = 4;
            sizes.BlockSize = SSL_CIPHER_is_aead(SSL_get_current_cipher(ssl)) ? 1 : 16;
            return SEC_E_OK;
        }
        case SECPKG_ATTR_CONNECTION_INFO: {
            auto& info = *static_cast<TnbConnectionInfo*>(buffer);
            info.Protocol = ProtocolBit(ssl);
            info.Cipher = SSL_get_cipher_name(ssl);
            info.Resumed = SSL_session_reused(ssl) == 1;
            return SEC_E_OK;
        }
        case SECPKG_ATTR_REMOTE_CERT_CONTEXT: {
            auto& peer = *static_cast<std::shared_ptr<TnbCertContext>*>(buffer);
            ClearOpenSslErrors();
            X509* cert = SSL_get0_peer_certificate(ssl);
            if (!cert)
                return SEC_E_NO_CREDENTIALS;
            unsigned char* der = nullptr;
            const int length = i2d_X509(cert, &der);
            TnbByteArray encoded;
            if (!TakeDer(length, der, encoded, CRYPT_E_BAD_ENCODE))
                return SEC_E_INTERNAL_ERROR;
            peer = CertCreateCertificateContext(nbCertEncoding, encoded.data(), encoded.size());
            return peer ? SEC_E_OK : SEC_E_INTERNAL_ERROR;
        }
        default:
            return SEC_E_UNSUPPORTED_FUNCTION;
    }
}

SECURITY_STATUS Encrypt(const TnbCtxtHandle& context, const std::uint8_t* data, std::size_t size,
                        TnbMemoryStream& out) {
    if (!context || !context->HandshakeDone || context->ShutdownRequested)
        return SEC_E_CONTEXT_EXPIRED;
    if (size > kMaxFragment)
        return SEC_E_BUFFER_TOO_SMALL;
    ClearOpenSslErrors();
    DrainOutput(*context, out);  // what waits goes first
    if (size > 0) {
        TDirectOutput direct(context->Out, out);
        if (SSL_write(context->Ssl.get(), data, static_cast<int>(size)) <= 0) {
            const SECURITY_STATUS status = FailureStatus();
            return status == SEC_E_ILLEGAL_MESSAGE ? SEC_E_ENCRYPT_FAILURE : status;
        }
    }
    return SEC_E_OK;
}

SECURITY_STATUS Decrypt(const TnbCtxtHandle& context, const std::uint8_t* data, std::size_t size,
                        TnbDecryptBuffers& buffers) {
    buffers.Consumed = 0;
    buffers.Missing = 0;
    if (!context || !context->HandshakeDone)
        return SEC_E_INVALID_HANDLE;
    std::size_t recordSize = 0;
    switch (CheckRecord(data, size, recordSize)) {
        case TRecord::rcIllegal:
            return SEC_E_ILLEGAL_MESSAGE;
        case TRecord::rcIncomplete:
            buffers.Missing = recordSize > size ? recordSize - size : 0;
            return SEC_E_INCOMPLETE_MESSAGE;
        case TRecord::rcComplete:
            break;
    }
    SSL* ssl = context->Ssl.get();
    // The record is read where it lies; whatever OpenSSL leaves of it is kept.
    TnbBioQueue& input = QueueOf(context->In);
    struct TInput {
        TnbBioQueue& Queue;
        ~TInput() {
            try {
                Queue.Pending.insert(Queue.Pending.end(), Queue.Input,
                                     Queue.Input + Queue.InputSize);
            } catch (const std::bad_alloc&) {
                // The record's rest is lost: its next record fails its check, not silently.
            }
            Queue.Input = nullptr;
            Queue.InputSize = 0;
        }
    } direct{input};
    input.Input = data;
    input.InputSize = recordSize;
    buffers.Consumed = recordSize;
    TnbMemoryStream& plain = *buffers.Plain;
    // No record holds more application bytes than its payload: a short command line asks for
    // no more room than it needs.
    const std::size_t room = std::clamp<std::size_t>(recordSize - kRecordHeader, 1, kMaxFragment);
    for (;;) {
        char* space = nullptr;
        try {
            space = plain.WriteSpace(room);
        } catch (const std::bad_alloc&) {
            return SEC_E_INSUFFICIENT_MEMORY;
        }
        ClearOpenSslErrors();
        const int read = SSL_read(ssl, space, static_cast<int>(room));
        if (read > 0) {
            plain.Wrote(static_cast<std::size_t>(read));
            continue;
        }
        switch (SSL_get_error(ssl, read)) {
            case SSL_ERROR_WANT_READ:
            case SSL_ERROR_WANT_WRITE:
                return SEC_E_OK;  // the record is used up (also one with no application data)
            case SSL_ERROR_ZERO_RETURN:
                return SEC_I_CONTEXT_EXPIRED;
            default:
                return FailureStatus();
        }
    }
}

SECURITY_STATUS ApplyControl(const TnbCtxtHandle& context, std::uint32_t token) {
    if (!context)
        return SEC_E_INVALID_HANDLE;
    if (token != SCHANNEL_SHUTDOWN)
        return SEC_E_UNSUPPORTED_FUNCTION;
    context->ShutdownRequested = true;
    return SEC_E_OK;
}

SECURITY_STATUS DeleteContext(TnbCtxtHandle& context) {
    context.reset();
    return SEC_E_OK;
}

std::int32_t PeerVerifyStatus(const TnbCtxtHandle& context) {
    if (!context || !context->Credentials)
        return SEC_E_INVALID_HANDLE;
    const TnbCredentialRecord& record = context->Credentials->Record;
    if (record.IgnoreAllPolicy)
        return 0;
    for (const std::int32_t error : context->VerifyErrors) {
        const std::uint32_t ignoredBy =
            error == CERT_E_CN_NO_MATCH            ? SECURITY_FLAG_IGNORE_CERT_CN_INVALID
            : error == CERT_E_EXPIRED              ? SECURITY_FLAG_IGNORE_CERT_DATE_INVALID
            : error == CERT_E_UNTRUSTEDROOT        ? SECURITY_FLAG_IGNORE_UNKNOWN_CA
            : error == CERT_E_REVOKED              ? SECURITY_FLAG_IGNORE_REVOCATION
            : error == CRYPT_E_NO_REVOCATION_CHECK ? SECURITY_FLAG_IGNORE_REVOCATION
            : error == CERT_E_WRONG_USAGE          ? SECURITY_FLAG_IGNORE_WRONG_USAGE
                                                   : 0;
        if (ignoredBy == 0 || !(record.PolicyChecks & ignoredBy))
            return error;
    }
    return 0;
}

}  // namespace

const TnbSecurityFunctionTable* OpenSslSecurityInterface() {
    static const TnbSecurityFunctionTable table{
        &EnumeratePackages, &AcquireCredentials, &FreeCredentials,  &AcceptContext,
        &InitializeContext, &QueryAttributes,    &Encrypt,          &Decrypt,
        &ApplyControl,      &DeleteContext,      &PeerVerifyStatus,
    };
    return &table;
}

}  // namespace nb
