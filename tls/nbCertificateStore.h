// The certificate store: a list of certificates for the host, and the maker of self-signed
// certificates with a freshly generated RSA key kept in a key container of the current user.
// Also maps the chain-verification flags to the chain-building flags of the client engine.
//
// Threads: a store is configured and used by one thread at a time (the host's); the
// certificates it makes may then be shared with any thread.
// Ownership: the store owns CertificateList and EnhancedKeyUsage. A made certificate belongs
// to the caller; its key container stays in the key store after the call.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "tls/nbCertificate.h"
#include "util/nbSet.h"

namespace nb {

enum class TnbCertificateStoreLocation : std::uint8_t { slCurrentUser = 0, slLocalMachine = 1 };
enum class TnbCertificateKeyType : std::uint8_t { ktKeyExchange = 0, ktSignature = 1 };

enum class TnbCertificateChainVerifyFlag : std::uint8_t {
    rfCheckEndOnly = 0,
    rfCheckAll = 1,
    rfExcludeRoot = 2,
    rfCacheEndCert = 3,
    rfCheckCacheOnly = 4,
    rfUseCacheOnlyUrlRetrieval = 5,
    rfDisableRootAutoUpdate = 6,
    rfAccumulativeTimeout = 7,
};
using TnbCertificateChainVerifyFlags = TnbSet<TnbCertificateChainVerifyFlag>;

inline constexpr std::uint32_t CERT_CHAIN_CACHE_END_CERT = 0x1;
inline constexpr std::uint32_t CERT_CHAIN_CACHE_ONLY_URL_RETRIEVAL = 0x4;
inline constexpr std::uint32_t CERT_CHAIN_DISABLE_AUTH_ROOT_AUTO_UPDATE = 0x100;
inline constexpr std::uint32_t CERT_CHAIN_REVOCATION_ACCUMULATIVE_TIMEOUT = 0x8000000;
inline constexpr std::uint32_t CERT_CHAIN_REVOCATION_CHECK_END_CERT = 0x10000000;
inline constexpr std::uint32_t CERT_CHAIN_REVOCATION_CHECK_CHAIN = 0x20000000;
inline constexpr std::uint32_t CERT_CHAIN_REVOCATION_CHECK_CHAIN_EXCLUDE_ROOT = 0x40000000;
inline constexpr std::uint32_t CERT_CHAIN_REVOCATION_CHECK_CACHE_ONLY = 0x80000000;

// The chain-building flags of a flag set; of the three revocation scopes only the first
// present counts.
std::uint32_t ChainFlagsToNative(TnbCertificateChainVerifyFlags flags);

class TnbCertificateStore;
using TnbCertificateVerifiedEvent = std::function<void(
    TnbCertificateStore& Sender, TnbCertificate& ACertificate, int ATrustStatus, int ATrustInfo)>;

class TnbCertificateStore {
public:
    TnbCertificateStore();
    virtual ~TnbCertificateStore();
    TnbCertificateStore(const TnbCertificateStore&) = delete;
    TnbCertificateStore& operator=(const TnbCertificateStore&) = delete;

    // ---- Published properties (defaults in comments) ----

    // "MY"; no operation opens a system store.
    std::string StoreName = "MY";
    // slCurrentUser.
    TnbCertificateStoreLocation StoreLocation = TnbCertificateStoreLocation::slCurrentUser;
    // "Microsoft Base Cryptographic Provider v1.0": kept in the key provider property.
    const std::string& CSP() const { return csp_; }
    void SetCSP(std::string value) { csp_ = std::move(value); }
    // 1 (PROV_RSA_FULL).
    std::uint32_t ProviderType = PROV_RSA_FULL;
    // Empty: the first creation makes a container named by a new GUID ("{...}") and keeps it.
    std::string KeyName;
    // 2048 bits: OpenSSL's default security level refuses smaller RSA keys in a handshake.
    std::uint32_t KeyLength = 2048;
    // ktKeyExchange (AT_KEYEXCHANGE).
    TnbCertificateKeyType KeyType = TnbCertificateKeyType::ktKeyExchange;
    // Today at 00:00 local time; today at 00:00 + 365 days.
    TnbLocalTime ValidFrom;
    TnbLocalTime ValidTo;
    // Empty.
    TnbCertificateChainVerifyFlags CertChainFlags;
    // 0 = no key-usage extension.
    std::uint32_t KeyUsage = 0;
    // Empty = no enhanced-key-usage extension; assigning copies the lines.
    const std::vector<std::string>& EnhancedKeyUsage() const { return enhancedKeyUsage_; }
    void SetEnhancedKeyUsage(const std::vector<std::string>& value) { enhancedKeyUsage_ = value; }

    TnbCertificateVerifiedEvent OnCertificateVerified;

    // ---- Operations ----

    TnbCertificateList& CertificateList() { return certificateList_; }
    // Empties CertificateList.
    void Close();
    // A number of 0 or less uses the tick count as the serial; a positive number is the
    // serial's value.
    std::shared_ptr<TnbCertificate> CreateSelfSigned(const std::string& subject, int serialNumber);
    // A new self-signed certificate (RSA, sha256RSA) linked to its key container. serialText
    // is hexadecimal (empty: the tick count); a non-hexadecimal text raises EnbConvertError.
    // Crypt failures raise EnbCryptError with the failing function's name.
    std::shared_ptr<TnbCertificate> CreateSelfSigned(const std::string& subject,
                                                     const std::string& serialText);

protected:
    virtual void DoCertificateVerified(TnbCertificate& ACertificate, int ATrustStatus,
                                       int ATrustInfo);

private:
    // The provider with the key to sign with: KeyName's container, or a new one with a new key
    // (KeyName is set only once the key exists; a half-made container is removed).
    HCRYPTPROV AcquireKey(std::uint32_t keySpec);

    std::string csp_ = "Microsoft Base Cryptographic Provider v1.0";
    std::vector<std::string> enhancedKeyUsage_;
    TnbCertificateList certificateList_{true};
};

}  // namespace nb
