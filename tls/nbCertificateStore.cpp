#include "tls/nbCertificateStore.h"

#include <openssl/rand.h>

#include <cstdio>

#include "tls/nbSspi.h"
#include "util/nbUtils.h"

namespace nb {

namespace {

using Flag = TnbCertificateChainVerifyFlag;

// A new GUID (version 4) in its registry form: braces, upper-case hexadecimal.
std::string NewGuidText() {
    unsigned char bytes[16];
    if (RAND_bytes(bytes, sizeof bytes) != 1) {
        ClearOpenSslErrors();
        SetLastError(NTE_FAIL);
        RaiseCryptError("CoCreateGuid");
    }
    bytes[6] = static_cast<unsigned char>((bytes[6] & 0x0F) | 0x40);
    bytes[8] = static_cast<unsigned char>((bytes[8] & 0x3F) | 0x80);
    const std::string hex = BytesToHex(bytes, sizeof bytes);
    return "{" + hex.substr(0, 8) + "-" + hex.substr(8, 4) + "-" + hex.substr(12, 4) + "-" +
           hex.substr(16, 4) + "-" + hex.substr(20) + "}";
}

std::uint32_t KeySpecOf(TnbCertificateKeyType type) {
    return type == TnbCertificateKeyType::ktSignature ? AT_SIGNATURE : AT_KEYEXCHANGE;
}

TnbLocalTime Today() {
    const TnbLocalTime now = UtcToLocalTime(std::time(nullptr));
    return std::chrono::floor<std::chrono::days>(now);
}

}  // namespace

std::uint32_t ChainFlagsToNative(TnbCertificateChainVerifyFlags flags) {
    std::uint32_t native = 0;
    if (flags.Contains(Flag::rfCheckEndOnly))
        native |= CERT_CHAIN_REVOCATION_CHECK_END_CERT;
    else if (flags.Contains(Flag::rfCheckAll))
        native |= CERT_CHAIN_REVOCATION_CHECK_CHAIN;
    else if (flags.Contains(Flag::rfExcludeRoot))
        native |= CERT_CHAIN_REVOCATION_CHECK_CHAIN_EXCLUDE_ROOT;
    if (flags.Contains(Flag::rfCacheEndCert))
        native |= CERT_CHAIN_CACHE_END_CERT;
    if (flags.Contains(Flag::rfCheckCacheOnly))
        native |= CERT_CHAIN_REVOCATION_CHECK_CACHE_ONLY;
    if (flags.Contains(Flag::rfUseCacheOnlyUrlRetrieval))
        native |= CERT_CHAIN_CACHE_ONLY_URL_RETRIEVAL;
    if (flags.Contains(Flag::rfDisableRootAutoUpdate))
        native |= CERT_CHAIN_DISABLE_AUTH_ROOT_AUTO_UPDATE;
    if (flags.Contains(Flag::rfAccumulativeTimeout))
        native |= CERT_CHAIN_REVOCATION_ACCUMULATIVE_TIMEOUT;
    return native;
}

TnbCertificateStore::TnbCertificateStore()
    : ValidFrom(Today()), ValidTo(Today() + std::chrono::days{365}) {}

TnbCertificateStore::~TnbCertificateStore() {
    Close();
}

void TnbCertificateStore::Close() {
    certificateList_.Clear();
}

void TnbCertificateStore::DoCertificateVerified(TnbCertificate& ACertificate, int ATrustStatus,
                                                int ATrustInfo) {
    if (OnCertificateVerified)
        OnCertificateVerified(*this, ACertificate, ATrustStatus, ATrustInfo);
}

std::shared_ptr<TnbCertificate> TnbCertificateStore::CreateSelfSigned(const std::string& subject,
                                                                      int serialNumber) {
    if (serialNumber <= 0)
        return CreateSelfSigned(subject, std::string());
    char hex[16];
    std::snprintf(hex, sizeof hex, "%X", static_cast<unsigned>(serialNumber));
    return CreateSelfSigned(subject, std::string(hex));
}

HCRYPTPROV TnbCertificateStore::AcquireKey(std::uint32_t keySpec) {
    HCRYPTPROV prov;
    if (!KeyName.empty()) {
        if (!CryptAcquireContextA(prov, KeyName, csp_, ProviderType, 0))
            RaiseCryptError("CryptAcquireContext");
        return prov;  // a missing key fails at the public-key export
    }
    // FIX: KeyName is taken only once its container holds a key; otherwise one failure would
    // leave a name whose container is empty, and every later creation would fail on it.
    const std::string name = NewGuidText();
    if (!CryptAcquireContextA(prov, name, csp_, ProviderType, CRYPT_NEWKEYSET))
        RaiseCryptError("CryptAcquireContext");
    HCRYPTKEY key;
    if (!CryptGenKey(prov, keySpec, (KeyLength << 16) | CRYPT_EXPORTABLE, key)) {
        const std::int32_t error = GetLastError();
        HCRYPTPROV removed;
        CryptAcquireContextA(removed, name, csp_, ProviderType, CRYPT_DELETEKEYSET);
        SetLastError(error);
        RaiseCryptError("CryptGenKey");
    }
    KeyName = name;
    return prov;
}

std::shared_ptr<TnbCertificate> TnbCertificateStore::CreateSelfSigned(
    const std::string& subject, const std::string& serialText) {
    const std::uint32_t keySpec = KeySpecOf(KeyType);
    HCRYPTPROV prov = AcquireKey(keySpec);

    TnbByteArray name;
    if (!CertStrToNameW(nbCertEncoding, subject, CERT_X500_NAME_STR, name))
        RaiseCryptError("CertStrToName");

    std::string serial(Trim(serialText));
    if (serial.empty()) {
        char ticks[16];
        std::snprintf(ticks, sizeof ticks, "%08X", static_cast<unsigned>(GetTickCount32()));
        serial = ticks;
    }
    TnbCertInfo info;
    info.Version = CERT_V3;
    info.SerialNumber = ReverseBytes(HexToBytes(serial));
    // FIX: SHA-256; a SHA-1 signature is refused by current clients.
    info.SignatureAlgorithm = szOID_RSA_SHA256RSA;
    info.Issuer = name;
    info.Subject = name;
    // FIX: local time is converted to UTC here and nowhere else, so that a certificate made
    // east of UTC is never "not yet valid".
    info.NotBefore = LocalTimeToUtc(ValidFrom);
    info.NotAfter = LocalTimeToUtc(ValidTo);
    if (!CryptExportPublicKeyInfo(prov, keySpec, nbCertEncoding, info.SubjectPublicKeyInfo))
        RaiseCryptError("CryptExportPublicKeyInfo");

    TnbCertificateExtensions extensions;
    if (KeyUsage > 0)
        extensions.Add(std::make_unique<TnbKeyUsageExtension>(KeyUsage));
    if (!enhancedKeyUsage_.empty())
        extensions.Add(std::make_unique<TnbEnhancedKeyUsageExtension>(enhancedKeyUsage_));
    info.Extensions = extensions.BuildArray();

    TnbByteArray encoded;
    if (!CryptSignAndEncodeCertificate(prov, keySpec, X509_ASN_ENCODING, info, encoded))
        RaiseCryptError("CryptSignAndEncodeCertificate");
    auto certificate = TnbCertificate::CreateFromEncoded(encoded.data(), encoded.size());
    certificate->SetKeyProvider(KeyName, csp_, keySpec, ProviderType);
    return certificate;
}

}  // namespace nb
