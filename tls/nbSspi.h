// The security provider binding: the table of TLS operations that the handshake engine calls,
// the status values they return, and the two exception classes of the TLS and certificate code
// with their error texts.
//
// The provider is our own layer on OpenSSL (linked directly: every target system has it). It is
// still reached through a loader and a function table, so that a provider that fails to load,
// has no initialisation routine or fails to initialise (-1, -2, -3) behaves as the engine
// expects, and tests can inject such loaders.
//
// Threads: the error-text functions and the provider functions may run on any thread. OpenSSL
// keeps its error queue per thread and our workers are pooled, so every provider function
// clears that queue before its calls and turns what it finds into a status. A TnbSspi is used
// by one thread at a time.
// Ownership: a TnbSspi owns its loaded provider module; the function table belongs to the
// provider and outlives every TnbSspi. Credential and context handles are counted references
// to the provider's objects, released by FreeCredentialsHandle / DeleteSecurityContext or when
// the last handle goes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "util/nbTranslator.h"

namespace nb {

class TnbCertContext;
class TnbMemoryStream;

// ---- Status values (the provider's SEC_E_ / SEC_I_ codes) ----

using SECURITY_STATUS = std::int32_t;

constexpr std::int32_t SignedCode(std::uint32_t value) {
    return static_cast<std::int32_t>(value);
}

inline constexpr SECURITY_STATUS SEC_E_OK = 0;
inline constexpr SECURITY_STATUS SEC_I_CONTINUE_NEEDED = 0x00090312;
inline constexpr SECURITY_STATUS SEC_I_COMPLETE_NEEDED = 0x00090313;
inline constexpr SECURITY_STATUS SEC_I_CONTEXT_EXPIRED = 0x00090317;
inline constexpr SECURITY_STATUS SEC_I_INCOMPLETE_CREDENTIALS = 0x00090320;
inline constexpr SECURITY_STATUS SEC_I_RENEGOTIATE = 0x00090321;
inline constexpr SECURITY_STATUS SEC_E_INSUFFICIENT_MEMORY = SignedCode(0x80090300);
inline constexpr SECURITY_STATUS SEC_E_INVALID_HANDLE = SignedCode(0x80090301);
inline constexpr SECURITY_STATUS SEC_E_UNSUPPORTED_FUNCTION = SignedCode(0x80090302);
inline constexpr SECURITY_STATUS SEC_E_INTERNAL_ERROR = SignedCode(0x80090304);
inline constexpr SECURITY_STATUS SEC_E_SECPKG_NOT_FOUND = SignedCode(0x80090305);
inline constexpr SECURITY_STATUS SEC_E_INVALID_TOKEN = SignedCode(0x80090308);
inline constexpr SECURITY_STATUS SEC_E_UNKNOWN_CREDENTIALS = SignedCode(0x8009030D);
inline constexpr SECURITY_STATUS SEC_E_NO_CREDENTIALS = SignedCode(0x8009030E);
inline constexpr SECURITY_STATUS SEC_E_MESSAGE_ALTERED = SignedCode(0x8009030F);
inline constexpr SECURITY_STATUS SEC_E_OUT_OF_SEQUENCE = SignedCode(0x80090310);
inline constexpr SECURITY_STATUS SEC_E_CONTEXT_EXPIRED = SignedCode(0x80090317);
inline constexpr SECURITY_STATUS SEC_E_INCOMPLETE_MESSAGE = SignedCode(0x80090318);
inline constexpr SECURITY_STATUS SEC_E_BUFFER_TOO_SMALL = SignedCode(0x80090321);
inline constexpr SECURITY_STATUS SEC_E_WRONG_PRINCIPAL = SignedCode(0x80090322);
inline constexpr SECURITY_STATUS SEC_E_UNTRUSTED_ROOT = SignedCode(0x80090325);
inline constexpr SECURITY_STATUS SEC_E_ILLEGAL_MESSAGE = SignedCode(0x80090326);
inline constexpr SECURITY_STATUS SEC_E_CERT_UNKNOWN = SignedCode(0x80090327);
inline constexpr SECURITY_STATUS SEC_E_CERT_EXPIRED = SignedCode(0x80090328);
inline constexpr SECURITY_STATUS SEC_E_ENCRYPT_FAILURE = SignedCode(0x80090329);
inline constexpr SECURITY_STATUS SEC_E_DECRYPT_FAILURE = SignedCode(0x80090330);
inline constexpr SECURITY_STATUS SEC_E_ALGORITHM_MISMATCH = SignedCode(0x80090331);
inline constexpr SECURITY_STATUS SEC_E_CERT_WRONG_USAGE = SignedCode(0x80090349);
inline constexpr SECURITY_STATUS SEC_E_UNSUPPORTED_PROTOCOL = SignedCode(0x80090367);

// Certificate-chain, crypt and key-store codes (the platform's CERT_E_, CRYPT_E_ and NTE_).
inline constexpr std::int32_t CERT_E_EXPIRED = SignedCode(0x800B0101);
inline constexpr std::int32_t CERT_E_UNTRUSTEDROOT = SignedCode(0x800B0109);
inline constexpr std::int32_t CERT_E_CHAINING = SignedCode(0x800B010A);
inline constexpr std::int32_t CERT_E_REVOKED = SignedCode(0x800B010C);
inline constexpr std::int32_t CERT_E_CN_NO_MATCH = SignedCode(0x800B010F);
inline constexpr std::int32_t CERT_E_WRONG_USAGE = SignedCode(0x800B0110);
inline constexpr std::int32_t CRYPT_E_BAD_ENCODE = SignedCode(0x80092002);
inline constexpr std::int32_t CRYPT_E_NOT_FOUND = SignedCode(0x80092004);
inline constexpr std::int32_t CRYPT_E_EXISTS = SignedCode(0x80092005);
inline constexpr std::int32_t CRYPT_E_NO_KEY_PROPERTY = SignedCode(0x8009200B);
inline constexpr std::int32_t CRYPT_E_NO_REVOCATION_CHECK = SignedCode(0x80092012);
inline constexpr std::int32_t CRYPT_E_INVALID_X500_STRING = SignedCode(0x80092023);
inline constexpr std::int32_t CRYPT_E_ASN1_BADTAG = SignedCode(0x8009310B);
inline constexpr std::int32_t NTE_BAD_KEY = SignedCode(0x80090003);
inline constexpr std::int32_t NTE_BAD_DATA = SignedCode(0x80090005);
inline constexpr std::int32_t NTE_BAD_ALGID = SignedCode(0x80090008);
inline constexpr std::int32_t NTE_BAD_FLAGS = SignedCode(0x80090009);
inline constexpr std::int32_t NTE_NO_KEY = SignedCode(0x8009000D);
inline constexpr std::int32_t NTE_NO_MEMORY = SignedCode(0x8009000E);
inline constexpr std::int32_t NTE_EXISTS = SignedCode(0x8009000F);
inline constexpr std::int32_t NTE_PERM = SignedCode(0x80090010);
inline constexpr std::int32_t NTE_BAD_KEYSET = SignedCode(0x80090016);
inline constexpr std::int32_t NTE_KEYSET_ENTRY_BAD = SignedCode(0x8009001A);
inline constexpr std::int32_t NTE_BAD_KEYSET_PARAM = SignedCode(0x8009001F);
inline constexpr std::int32_t NTE_FAIL = SignedCode(0x80090020);

// The library's own codes.
inline constexpr int nbSspiErrLoadLibrary = -1;
inline constexpr int nbSspiErrNoInitRoutine = -2;
inline constexpr int nbSspiErrInitPackage = -3;
inline constexpr int nbSspiErrAcquireCredentials = -4;
inline constexpr int nbSspiErrNoPackage = -5;
inline constexpr int nbSspiErrQueryPackage = -6;
inline constexpr int nbSspiErrLocalCertificate = -9;
inline constexpr int nbSspiErrServerCredentials = -11;
inline constexpr int nbSspiErrNotSupported = -12;
inline constexpr int nbSspiErrOutOfMemory = 20;

// ---- Exceptions and error texts ----

class EnbSSPIError : public std::runtime_error {
public:
    EnbSSPIError(const std::string& message, int errorCode)
        : std::runtime_error(message), ErrorCode(errorCode) {}
    int ErrorCode;
};

class EnbCryptError : public std::runtime_error {
public:
    EnbCryptError(const std::string& message, int errorCode)
        : std::runtime_error(message), ErrorCode(errorCode) {}
    int ErrorCode;
};

// The text of a status or library code; known is false when only the unknown-error text
// "The unknown error was occured: %x" was left.
std::pair<std::string, bool> GetSspiErrorText(int code);
// EnbSSPIError with ErrorCode = status; the text of status when known, else that of
// fallbackCode.
[[noreturn]] void RaiseSspiError(int status, int fallbackCode);
[[noreturn]] inline void RaiseSspiCode(int code) {
    RaiseSspiError(code, code);
}
// The platform text of a CERT_E_ / CRYPT_E_ / NTE_ / SEC_E_ code, else "%s error - %d".
std::string GetCryptErrorText(int code, const std::string& functionName);
// EnbCryptError with the calling thread's last crypt error (GetLastError).
[[noreturn]] void RaiseCryptError(const std::string& functionName);

// The calling thread's last crypt error: set by every failing nbCryptAPI function.
std::int32_t GetLastError();
void SetLastError(std::int32_t code);

// The platform's text for a code from the one table of SEC_E_, SEC_I_, CERT_E_, CRYPT_E_ and
// NTE_ texts, trimmed of trailing full stops and blanks; empty when the code is not in it.
std::string PlatformErrorText(int code);

// Drops what OpenSSL queued on this thread. Called before every sequence of OpenSSL calls whose
// failure is read from the queue, so a failure of an earlier job on a pooled thread is never
// reported against this one.
void ClearOpenSslErrors();

// ---- The provider's function table ----

// The resumption scope of one client: the sessions of its control connection, which its data
// connections may resume, and no other client's (its own session-id context and ticket keys).
// Shared by the streams of that client; thread-safe.
struct TnbTlsSessionScope;
std::shared_ptr<TnbTlsSessionScope> NewTlsSessionScope();

// Credential record (the platform's SCHANNEL_CRED with the members the engine sets).
struct TnbCredentialRecord {
    std::uint32_t Version = 4;
    std::uint32_t Flags = 0;
    std::uint32_t EnabledProtocols = 0;  // SP_PROT_* bits
    std::vector<std::shared_ptr<TnbCertContext>> Creds;
    // Beyond the platform record: TLS 1.3 (which the record has no bit for), and the client's
    // verification settings (openssl verifies while it shakes hands).
    bool EnableTls13 = false;
    std::uint32_t ChainFlags = 0;    // CertGetCertificateChain flags
    std::uint32_t PolicyChecks = 0;  // SECURITY_FLAG_IGNORE_* bits
    bool IgnoreAllPolicy = false;    // policy dwFlags 0xFFFF
    // Server: sessions are resumable within this scope only; none: no resumption at all.
    std::shared_ptr<TnbTlsSessionScope> SessionScope;
    // Server: no TLS 1.3 session tickets after the handshake (data connections).
    bool NoSessionTickets = false;
};

inline constexpr std::uint32_t SCH_CRED_MANUAL_CRED_VALIDATION = 0x8;
inline constexpr std::uint32_t SCH_CRED_NO_DEFAULT_CREDS = 0x10;
inline constexpr std::uint32_t SCH_SEND_ROOT_CERT = 0x40000;
inline constexpr std::uint32_t SCH_USE_STRONG_CRYPTO = 0x400000;
inline constexpr std::uint32_t SP_PROT_SSL2_SERVER = 0x4, SP_PROT_SSL2_CLIENT = 0x8;
inline constexpr std::uint32_t SP_PROT_SSL3_SERVER = 0x10, SP_PROT_SSL3_CLIENT = 0x20;
inline constexpr std::uint32_t SP_PROT_TLS1_SERVER = 0x40, SP_PROT_TLS1_CLIENT = 0x80;
inline constexpr std::uint32_t SP_PROT_TLS1_1_SERVER = 0x100, SP_PROT_TLS1_1_CLIENT = 0x200;
inline constexpr std::uint32_t SP_PROT_TLS1_2_SERVER = 0x400, SP_PROT_TLS1_2_CLIENT = 0x800;
inline constexpr std::uint32_t SECPKG_CRED_INBOUND = 1, SECPKG_CRED_OUTBOUND = 2;
inline constexpr std::uint32_t ASC_REQ_MUTUAL_AUTH = 0x2;
inline constexpr std::uint32_t ASC_REQ_SERVER_FLAGS = 0x0001811C;
inline constexpr std::uint32_t ISC_REQ_CLIENT_FLAGS = 0x0000C11C;
inline constexpr std::uint32_t ISC_RET_EXTENDED_ERROR = 0x4000;
inline constexpr std::uint32_t SECPKG_ATTR_STREAM_SIZES = 4;
inline constexpr std::uint32_t SECPKG_ATTR_REMOTE_CERT_CONTEXT = 0x53;
inline constexpr std::uint32_t SECPKG_ATTR_CONNECTION_INFO = 0x5A;
inline constexpr std::uint32_t SCHANNEL_SHUTDOWN = 1;
// Policy checks the client may ignore (HTTPSPolicyCallbackData.fdwChecks).
inline constexpr std::uint32_t SECURITY_FLAG_IGNORE_REVOCATION = 0x80;
inline constexpr std::uint32_t SECURITY_FLAG_IGNORE_UNKNOWN_CA = 0x100;
inline constexpr std::uint32_t SECURITY_FLAG_IGNORE_WRONG_USAGE = 0x200;
inline constexpr std::uint32_t SECURITY_FLAG_IGNORE_CERT_CN_INVALID = 0x1000;
inline constexpr std::uint32_t SECURITY_FLAG_IGNORE_CERT_DATE_INVALID = 0x2000;

struct TnbSecPkgInfo {
    std::string Name;
};

// Opaque provider objects; handles are counted references (none = empty).
struct TnbProviderCredentials;
struct TnbProviderContext;
using TnbCredHandle = std::shared_ptr<TnbProviderCredentials>;
using TnbCtxtHandle = std::shared_ptr<TnbProviderContext>;

// SecPkgContext_StreamSizes.
struct TnbStreamSizes {
    std::uint32_t Header = 0;
    std::uint32_t Trailer = 0;
    std::uint32_t MaximumMessage = 0;
    std::uint32_t Buffers = 0;
    std::uint32_t BlockSize = 0;
};

// SecPkgContext_ConnectionInfo: the negotiated protocol (one SP_PROT_* bit of the role; TLS
// 1.3, which has none, as SP_PROT_TLS1_3_SERVER / _CLIENT) and the cipher's name.
inline constexpr std::uint32_t SP_PROT_TLS1_3_SERVER = 0x1000, SP_PROT_TLS1_3_CLIENT = 0x2000;
struct TnbConnectionInfo {
    std::uint32_t Protocol = 0;
    std::string Cipher;
    bool Resumed = false;  // beyond the platform's record: the session was resumed
};

// One handshake step: the received bytes in, the token to send out. Consumed tells how many
// input bytes the step used; the rest (SECBUFFER_EXTRA) belongs to the next step or, after the
// last handshake message, to the application.
struct TnbHandshakeBuffers {
    const std::uint8_t* Input = nullptr;
    std::size_t InputSize = 0;
    std::size_t Consumed = 0;
    std::vector<std::uint8_t> Output;
    std::uint32_t Attributes = 0;
};

// One record unprotected: Plain receives its application bytes at its position (written in
// place, no copy through another buffer); Consumed is the record's size (or 0 with SEC_E_INCOMPLETE_MESSAGE, then Missing tells how many more bytes the
// record needs when the header says).
struct TnbDecryptBuffers {
    TnbMemoryStream* Plain = nullptr;
    std::size_t Consumed = 0;
    std::size_t Missing = 0;
};

struct TnbSecurityFunctionTable {
    SECURITY_STATUS (*EnumerateSecurityPackages)(std::vector<TnbSecPkgInfo>& packages);
    SECURITY_STATUS(*AcquireCredentialsHandle)
    (const std::string& package, std::uint32_t credentialUse, const TnbCredentialRecord& record,
     TnbCredHandle& credentials);
    SECURITY_STATUS (*FreeCredentialsHandle)(TnbCredHandle& credentials);
    SECURITY_STATUS(*AcceptSecurityContext)
    (const TnbCredHandle& credentials, TnbCtxtHandle& context, std::uint32_t flags,
     TnbHandshakeBuffers& buffers);
    SECURITY_STATUS(*InitializeSecurityContext)
    (const TnbCredHandle& credentials, TnbCtxtHandle& context, const std::string& targetName,
     std::uint32_t flags, TnbHandshakeBuffers& buffers);
    // buffer by attribute: SECPKG_ATTR_STREAM_SIZES a TnbStreamSizes,
    // SECPKG_ATTR_REMOTE_CERT_CONTEXT a std::shared_ptr<TnbCertContext> (SEC_E_NO_CREDENTIALS
    // when the peer sent no certificate), SECPKG_ATTR_CONNECTION_INFO a TnbConnectionInfo.
    SECURITY_STATUS (*QueryContextAttributes)
    (const TnbCtxtHandle& context, std::uint32_t attribute, void* buffer);
    // Protects size bytes into one record appended to out; every byte the context has queued
    // to send before (an alert) goes out in front of it.
    SECURITY_STATUS(*EncryptMessage)
    (const TnbCtxtHandle& context, const std::uint8_t* data, std::size_t size,
     TnbMemoryStream& out);
    SECURITY_STATUS(*DecryptMessage)
    (const TnbCtxtHandle& context, const std::uint8_t* data, std::size_t size,
     TnbDecryptBuffers& buffers);
    SECURITY_STATUS (*ApplyControlToken)(const TnbCtxtHandle& context, std::uint32_t token);
    SECURITY_STATUS (*DeleteSecurityContext)(TnbCtxtHandle& context);
    // The result of the last verification of the peer's chain (0 or a CERT_E_ code).
    std::int32_t (*PeerVerifyStatus)(const TnbCtxtHandle& context);
};

// What loading a provider library gives: whether it loaded, and its initialisation routine
// (empty when the library has none). The routine returns the function table or nullptr.
struct TnbProviderModule {
    bool Loaded = false;
    std::function<const TnbSecurityFunctionTable*()> InitSecurityInterface;
};
using TnbProviderLoader = std::function<TnbProviderModule()>;

// The loader of the OpenSSL provider (always loads; the table is ours).
TnbProviderLoader DefaultProviderLoader();
const TnbSecurityFunctionTable* OpenSslSecurityInterface();

class TnbSspi {
public:
    explicit TnbSspi(TnbProviderLoader loader = DefaultProviderLoader());
    virtual ~TnbSspi();
    TnbSspi(const TnbSspi&) = delete;
    TnbSspi& operator=(const TnbSspi&) = delete;

    // The function table; loads the provider on the first call. A failed load raises
    // EnbSSPIError -1, -2 or -3 and leaves the table none, so the next call tries again.
    const TnbSecurityFunctionTable& GetFunctionTable();
    void LoadProvider();

private:
    TnbProviderLoader loader_;
    std::unique_ptr<TnbProviderModule> providerLibrary_;
    const TnbSecurityFunctionTable* functionTable_ = nullptr;  // the provider's, not owned
};

}  // namespace nb
