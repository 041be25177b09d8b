#include "tls/nbCryptAPI.h"

#include <openssl/asn1.h>
#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <cstring>

#include "tls/nbSspi.h"
#include "util/nbUtils.h"

namespace nb {

void TnbOpenSslFree::operator()(X509* p) const noexcept {
    X509_free(p);
}
void TnbOpenSslFree::operator()(X509_NAME* p) const noexcept {
    X509_NAME_free(p);
}
void TnbOpenSslFree::operator()(EVP_PKEY* p) const noexcept {
    EVP_PKEY_free(p);
}
void TnbOpenSslFree::operator()(BIO* p) const noexcept {
    BIO_free(p);
}

namespace {

bool Fail(std::int32_t code) {
    SetLastError(code);
    return false;
}

std::string Asn1Text(const ASN1_STRING* value) {
    if (!value)
        return {};
    unsigned char* utf8 = nullptr;
    const int length = ASN1_STRING_to_UTF8(&utf8, value);
    if (length < 0)
        return {};
    std::string text(reinterpret_cast<char*>(utf8), static_cast<std::size_t>(length));
    OPENSSL_free(utf8);
    return text;
}

std::string NameEntryText(const X509_NAME* name, int nid) {
    const int index = X509_NAME_get_index_by_NID(name, nid, -1);
    if (index < 0)
        return {};
    return Asn1Text(X509_NAME_ENTRY_get_data(X509_NAME_get_entry(name, index)));
}

struct TOidName {
    const char* Oid;
    const char* Name;
};

// The platform's names of the identifiers a certificate of ours or a peer's usually carries.
constexpr TOidName kOidNames[] = {
    {"1.2.840.113549.1.1.1", "RSA"},
    {"1.2.840.113549.1.1.4", "md5RSA"},
    {"1.2.840.113549.1.1.5", "sha1RSA"},
    {"1.2.840.113549.1.1.10", "RSASSA-PSS"},
    {"1.2.840.113549.1.1.11", "sha256RSA"},
    {"1.2.840.113549.1.1.12", "sha384RSA"},
    {"1.2.840.113549.1.1.13", "sha512RSA"},
    {"1.2.840.10045.2.1", "ECC"},
    {"1.2.840.10045.4.1", "sha1ECDSA"},
    {"1.2.840.10045.4.3.2", "sha256ECDSA"},
    {"1.2.840.10045.4.3.3", "sha384ECDSA"},
    {"1.2.840.10045.4.3.4", "sha512ECDSA"},
    {"1.3.6.1.5.5.7.3.1", "Server Authentication"},
    {"1.3.6.1.5.5.7.3.2", "Client Authentication"},
    {"1.3.6.1.5.5.7.3.3", "Code Signing"},
    {"1.3.6.1.5.5.7.3.4", "Secure Email"},
    {"1.3.6.1.5.5.7.3.8", "Time Stamping"},
    {"1.3.6.1.5.5.7.3.9", "OCSP Signing"},
};

}  // namespace

bool TakeDer(int length, unsigned char* der, TnbByteArray& encoded, std::int32_t failureCode) {
    if (length < 0 || !der) {
        ClearOpenSslErrors();
        return Fail(failureCode);
    }
    encoded.assign(der, der + length);
    OPENSSL_free(der);
    return true;
}

// ---- TnbCertContext ----

TnbCertContext::TnbCertContext(TnbX509Ptr cert, TnbByteArray encoded)
    : cert_(std::move(cert)), encoded_(std::move(encoded)) {}

TnbCertContext::~TnbCertContext() = default;

std::optional<TnbCertProperty> TnbCertContext::GetProperty(std::uint32_t id) const {
    std::lock_guard lock(lock_);
    const auto it = properties_.find(id);
    if (it == properties_.end())
        return std::nullopt;
    return it->second;
}

void TnbCertContext::SetProperty(std::uint32_t id, std::optional<TnbCertProperty> value) {
    std::lock_guard lock(lock_);
    if (id == CERT_KEY_PROV_INFO_PROP_ID)
        key_.reset();
    if (value)
        properties_[id] = std::move(*value);
    else
        properties_.erase(id);
}

std::shared_ptr<EVP_PKEY> TnbCertContext::PrivateKey() {
    std::lock_guard lock(lock_);
    if (key_)
        return key_;
    const auto it = properties_.find(CERT_KEY_PROV_INFO_PROP_ID);
    if (it == properties_.end()) {
        SetLastError(CRYPT_E_NO_KEY_PROPERTY);
        return nullptr;
    }
    HCRYPTKEY key;
    if (!ReadContainerKey(std::get<TnbCryptKeyProvInfo>(it->second).ContainerName, key))
        return nullptr;
    // SECURITY: the key must belong to this certificate, or a handshake would fail late and
    // obscurely; a container reused for another certificate is reported here.
    if (X509_check_private_key(cert_.get(), key.get()) != 1) {
        ClearOpenSslErrors();
        SetLastError(NTE_BAD_KEY);
        return nullptr;
    }
    key_ = std::move(key);
    return key_;
}

bool TnbCertContext::SetPrivateKey(std::shared_ptr<EVP_PKEY> key) {
    if (!key || X509_check_private_key(cert_.get(), key.get()) != 1) {
        ClearOpenSslErrors();
        SetLastError(NTE_BAD_KEY);
        return false;
    }
    std::lock_guard lock(lock_);
    key_ = std::move(key);
    return true;
}

// ---- Certificate functions ----

PCCERT_CONTEXT CertCreateCertificateContext(std::uint32_t encoding, const std::uint8_t* bytes,
                                            std::size_t size) {
    (void)encoding;
    ClearOpenSslErrors();
    const unsigned char* cursor = bytes;
    TnbX509Ptr cert(bytes ? d2i_X509(nullptr, &cursor, static_cast<long>(size)) : nullptr);
    // Trailing bytes behind the certificate make the input something else.
    if (!cert || cursor != bytes + size) {
        ClearOpenSslErrors();
        SetLastError(CRYPT_E_ASN1_BADTAG);
        return nullptr;
    }
    return std::make_shared<TnbCertContext>(std::move(cert), TnbByteArray(bytes, bytes + size));
}

PCCERT_CONTEXT CertDuplicateCertificateContext(const PCCERT_CONTEXT& context) {
    return context;
}

void CertFreeCertificateContext(PCCERT_CONTEXT& context) {
    context.reset();
}

std::string CertGetNameString(const PCCERT_CONTEXT& context, std::uint32_t type,
                              std::uint32_t flags) {
    if (!context || type != CERT_NAME_SIMPLE_DISPLAY_TYPE)
        return {};
    X509* cert = context->Cert();
    const X509_NAME* name =
        (flags & CERT_NAME_ISSUER_FLAG) ? X509_get_issuer_name(cert) : X509_get_subject_name(cert);
    for (const int nid : {NID_commonName, NID_organizationalUnitName, NID_organizationName,
                          NID_pkcs9_emailAddress}) {
        std::string text = NameEntryText(name, nid);
        if (!text.empty())
            return text;
    }
    // The alternative names are the subject's own; the issuer's are not in this certificate.
    return (flags & CERT_NAME_ISSUER_FLAG) ? std::string() : CertAltNameEmail(context);
}

std::string CertAltNameEmail(const PCCERT_CONTEXT& context) {
    auto* names = static_cast<GENERAL_NAMES*>(
        X509_get_ext_d2i(context->Cert(), NID_subject_alt_name, nullptr, nullptr));
    std::string result;
    for (int i = 0; names && i < sk_GENERAL_NAME_num(names); ++i) {
        const GENERAL_NAME* entry = sk_GENERAL_NAME_value(names, i);
        if (entry->type == GEN_EMAIL) {
            result = Asn1Text(entry->d.rfc822Name);
            break;
        }
    }
    GENERAL_NAMES_free(names);
    ClearOpenSslErrors();
    return result;
}

bool CertGetCertificateContextProperty(const PCCERT_CONTEXT& context, std::uint32_t id,
                                       TnbCertProperty& value) {
    if (!context)
        return Fail(NTE_BAD_DATA);
    if (id == CERT_SHA1_HASH_PROP_ID) {
        unsigned char digest[EVP_MAX_MD_SIZE];
        unsigned int length = 0;
        ClearOpenSslErrors();
        if (X509_digest(context->Cert(), EVP_sha1(), digest, &length) != 1)
            return Fail(NTE_FAIL);
        value = TnbByteArray(digest, digest + length);
        return true;
    }
    auto property = context->GetProperty(id);
    if (!property)
        return Fail(CRYPT_E_NOT_FOUND);
    value = std::move(*property);
    return true;
}

bool CertSetCertificateContextProperty(const PCCERT_CONTEXT& context, std::uint32_t id,
                                       std::uint32_t flags, const TnbCertProperty* value) {
    (void)flags;
    if (!context)
        return Fail(NTE_BAD_DATA);
    const bool typeMatches =
        !value ||
        (id == CERT_KEY_PROV_INFO_PROP_ID && std::holds_alternative<TnbCryptKeyProvInfo>(*value)) ||
        (id == CERT_FRIENDLY_NAME_PROP_ID && std::holds_alternative<std::string>(*value)) ||
        (id != CERT_KEY_PROV_INFO_PROP_ID && id != CERT_FRIENDLY_NAME_PROP_ID &&
         id != CERT_SHA1_HASH_PROP_ID);
    if (!typeMatches)
        return Fail(NTE_BAD_DATA);
    context->SetProperty(id, value ? std::optional<TnbCertProperty>(*value) : std::nullopt);
    return true;
}

bool CertGetEnhancedKeyUsage(const PCCERT_CONTEXT& context, std::uint32_t flags,
                             std::vector<std::string>& usages) {
    (void)flags;
    usages.clear();
    if (!context)
        return Fail(NTE_BAD_DATA);
    int critical = 0;
    ClearOpenSslErrors();
    auto* eku = static_cast<EXTENDED_KEY_USAGE*>(
        X509_get_ext_d2i(context->Cert(), NID_ext_key_usage, &critical, nullptr));
    if (!eku) {
        ClearOpenSslErrors();
        // critical -1: no such extension; -2: present more than once; otherwise undecodable.
        return Fail(critical == -1 ? CRYPT_E_NOT_FOUND : CRYPT_E_ASN1_BADTAG);
    }
    for (int i = 0; i < sk_ASN1_OBJECT_num(eku); ++i) {
        char oid[128];
        if (OBJ_obj2txt(oid, sizeof oid, sk_ASN1_OBJECT_value(eku, i), 1) > 0)
            usages.emplace_back(oid);
    }
    EXTENDED_KEY_USAGE_free(eku);
    return true;
}

std::uint32_t CertGetPublicKeyLength(const PCCERT_CONTEXT& context) {
    if (!context)
        return 0;
    const EVP_PKEY* key = X509_get0_pubkey(context->Cert());
    return key ? static_cast<std::uint32_t>(EVP_PKEY_get_bits(key)) : 0;
}

std::string CryptFindOIDInfo(std::string_view oid) {
    for (const TOidName& entry : kOidNames) {
        if (oid == entry.Oid)
            return entry.Name;
    }
    return {};
}

// ---- Encoding ----

bool CryptEncodeObject(std::uint32_t encoding, const TnbKeyUsageBits& usage,
                       TnbByteArray& encoded) {
    (void)encoding;
    if (usage.UnusedBits > 7 || (usage.Bytes.empty() && usage.UnusedBits != 0))
        return Fail(CRYPT_E_BAD_ENCODE);
    // DER of a BIT STRING written out directly: tag, length, unused-bit count, bytes. The
    // bytes are short (a usage is one or two bytes), so the one-byte length form serves.
    if (usage.Bytes.size() > 126)
        return Fail(CRYPT_E_BAD_ENCODE);
    encoded = {0x03, static_cast<std::uint8_t>(usage.Bytes.size() + 1),
               static_cast<std::uint8_t>(usage.UnusedBits)};
    encoded.insert(encoded.end(), usage.Bytes.begin(), usage.Bytes.end());
    return true;
}

bool CryptEncodeObject(std::uint32_t encoding, const std::vector<std::string>& usages,
                       TnbByteArray& encoded) {
    (void)encoding;
    ClearOpenSslErrors();
    EXTENDED_KEY_USAGE* eku = sk_ASN1_OBJECT_new_null();
    if (!eku)
        return Fail(NTE_NO_MEMORY);
    bool ok = true;
    for (const std::string& text : usages) {
        // 1: numeric form only, a name is not an identifier here.
        ASN1_OBJECT* object = OBJ_txt2obj(text.c_str(), 1);
        if (!object || !sk_ASN1_OBJECT_push(eku, object)) {
            ASN1_OBJECT_free(object);
            ok = false;
            break;
        }
    }
    unsigned char* der = nullptr;
    const int length = ok ? i2d_EXTENDED_KEY_USAGE(eku, &der) : -1;
    sk_ASN1_OBJECT_pop_free(eku, ASN1_OBJECT_free);
    return TakeDer(length, der, encoded, CRYPT_E_BAD_ENCODE);
}

// ---- Public key and signing ----

bool CryptExportPublicKeyInfo(const HCRYPTPROV& prov, std::uint32_t keySpec, std::uint32_t encoding,
                              TnbCertPublicKeyInfo& info) {
    (void)encoding;
    HCRYPTKEY key;
    if (!CryptGetUserKey(prov, keySpec, key))
        return false;
    ClearOpenSslErrors();
    unsigned char* der = nullptr;
    info.AlgorithmOid = szOID_RSA_RSA;
    const int length = i2d_PUBKEY(key.get(), &der);  // before der is read
    return TakeDer(length, der, info.Encoded, NTE_BAD_KEY);
}

namespace {

const EVP_MD* DigestOfSignature(std::string_view oid) {
    if (oid == szOID_RSA_SHA256RSA)
        return EVP_sha256();
    if (oid == szOID_RSA_SHA1RSA)
        return EVP_sha1();
    if (oid == "1.2.840.113549.1.1.12")
        return EVP_sha384();
    if (oid == "1.2.840.113549.1.1.13")
        return EVP_sha512();
    return nullptr;
}

TnbX509NamePtr DecodeName(const TnbByteArray& der) {
    const unsigned char* cursor = der.data();
    return TnbX509NamePtr(d2i_X509_NAME(nullptr, &cursor, static_cast<long>(der.size())));
}

bool AddExtension(X509* cert, const TnbCertExtension& extension) {
    ASN1_OBJECT* object = OBJ_txt2obj(extension.ObjId.c_str(), 1);
    ASN1_OCTET_STRING* value = ASN1_OCTET_STRING_new();
    bool ok = object && value &&
              ASN1_OCTET_STRING_set(value, extension.Value.data(),
                                    static_cast<int>(extension.Value.size())) == 1;
    X509_EXTENSION* ext =
        ok ? X509_EXTENSION_create_by_OBJ(nullptr, object, extension.Critical ? 1 : 0, value)
           : nullptr;
    ok = ext && X509_add_ext(cert, ext, -1) == 1;
    X509_EXTENSION_free(ext);
    ASN1_OCTET_STRING_free(value);
    ASN1_OBJECT_free(object);
    return ok;
}

bool SetSerial(X509* cert, const TnbByteArray& leastSignificantFirst) {
    // FIX: the serial is read as an unsigned number; DER then gets a leading zero byte where
    // the top bit is set, so no serial is ever negative.
    const TnbByteArray bigEndian = ReverseBytes(leastSignificantFirst);
    BIGNUM* number = BN_bin2bn(bigEndian.data(), static_cast<int>(bigEndian.size()), nullptr);
    ASN1_INTEGER* serial = number ? BN_to_ASN1_INTEGER(number, nullptr) : nullptr;
    const bool ok = serial && X509_set_serialNumber(cert, serial) == 1;
    ASN1_INTEGER_free(serial);
    BN_free(number);
    return ok;
}

}  // namespace

bool CryptSignAndEncodeCertificate(const HCRYPTPROV& prov, std::uint32_t keySpec,
                                   std::uint32_t encoding, const TnbCertInfo& info,
                                   TnbByteArray& encoded) {
    (void)encoding;
    HCRYPTKEY key;
    if (!CryptGetUserKey(prov, keySpec, key))
        return false;
    const EVP_MD* digest = DigestOfSignature(info.SignatureAlgorithm);
    if (!digest)
        return Fail(NTE_BAD_ALGID);
    ClearOpenSslErrors();
    TnbX509Ptr cert(X509_new());
    TnbX509NamePtr issuer = DecodeName(info.Issuer);
    TnbX509NamePtr subject = DecodeName(info.Subject);
    const unsigned char* cursor = info.SubjectPublicKeyInfo.Encoded.data();
    std::unique_ptr<EVP_PKEY, TnbOpenSslFree> publicKey(
        d2i_PUBKEY(nullptr, &cursor, static_cast<long>(info.SubjectPublicKeyInfo.Encoded.size())));
    bool ok = cert && issuer && subject && publicKey &&
              X509_set_version(cert.get(), info.Version) == 1 &&
              SetSerial(cert.get(), info.SerialNumber) &&
              X509_set_issuer_name(cert.get(), issuer.get()) == 1 &&
              X509_set_subject_name(cert.get(), subject.get()) == 1 &&
              ASN1_TIME_set(X509_getm_notBefore(cert.get()), info.NotBefore) &&
              ASN1_TIME_set(X509_getm_notAfter(cert.get()), info.NotAfter) &&
              X509_set_pubkey(cert.get(), publicKey.get()) == 1;
    for (const TnbCertExtension& extension : info.Extensions) {
        if (ok)
            ok = AddExtension(cert.get(), extension);
    }
    if (!ok) {
        ClearOpenSslErrors();
        return Fail(CRYPT_E_BAD_ENCODE);
    }
    if (X509_sign(cert.get(), key.get(), digest) <= 0) {
        ClearOpenSslErrors();
        return Fail(NTE_BAD_KEY);
    }
    unsigned char* der = nullptr;
    const int length = i2d_X509(cert.get(), &der);  // before der is read
    return TakeDer(length, der, encoded, CRYPT_E_BAD_ENCODE);
}

}  // namespace nb
