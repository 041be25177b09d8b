// The certificate and key functions, our own layer on OpenSSL 3: certificate contexts with
// their properties, key containers on disk, the distinguished-name parser, object encoding and
// certificate signing. The functions keep the platform's names; their arguments are the C++
// forms of what the callers pass. A failing function returns false (or an empty handle) and
// leaves its code in GetLastError() (nbSspi.h), as the callers' RaiseCryptError expects.
//
// Key containers: one directory per container below KeyStoreDirectory(), mode 0700, holding
// the one key file "key.pem" (PKCS#8 PEM, mode 0600). A key is written to a temporary file
// opened with O_CREAT|O_EXCL|O_NOFOLLOW, synced, then renamed into place, so that a crash never
// leaves half a key. Container names are encoded so that no name leaves the key directory.
//
// Threads: every function may run on any thread. A certificate context is shared between the
// store, the engines and the events; its properties and its cached key are guarded by its own
// leaf lock. A provider handle (HCRYPTPROV) is used by one thread at a time.
#pragma once

#include <openssl/types.h>

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "util/nbTranslator.h"

namespace nb {

// ---- OpenSSL handle owners ----

struct TnbOpenSslFree {
    void operator()(X509* p) const noexcept;
    void operator()(X509_NAME* p) const noexcept;
    void operator()(EVP_PKEY* p) const noexcept;
    void operator()(BIO* p) const noexcept;
};
using TnbX509Ptr = std::unique_ptr<X509, TnbOpenSslFree>;
using TnbX509NamePtr = std::unique_ptr<X509_NAME, TnbOpenSslFree>;
using TnbBioPtr = std::unique_ptr<BIO, TnbOpenSslFree>;

// Takes the DER bytes an i2d_* call allocated (length < 0: it failed) into encoded and frees
// them; a failure clears OpenSSL's queue and sets failureCode as the last error.
bool TakeDer(int length, unsigned char* der, TnbByteArray& encoded, std::int32_t failureCode);

// ---- Constants ----

inline constexpr std::uint32_t X509_ASN_ENCODING = 0x1;
inline constexpr std::uint32_t PKCS_7_ASN_ENCODING = 0x10000;
inline constexpr std::uint32_t nbCertEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
inline constexpr std::uint32_t PROV_RSA_FULL = 1;
inline constexpr std::uint32_t AT_KEYEXCHANGE = 1;
inline constexpr std::uint32_t AT_SIGNATURE = 2;
inline constexpr std::uint32_t CRYPT_EXPORTABLE = 0x1;
inline constexpr std::uint32_t CRYPT_NEWKEYSET = 0x8;
inline constexpr std::uint32_t CRYPT_DELETEKEYSET = 0x10;
inline constexpr std::uint32_t CERT_X500_NAME_STR = 3;
inline constexpr std::uint32_t CERT_V3 = 2;
inline constexpr std::uint32_t CERT_NAME_SIMPLE_DISPLAY_TYPE = 4;
inline constexpr std::uint32_t CERT_NAME_ISSUER_FLAG = 1;
inline constexpr std::uint32_t CERT_KEY_PROV_INFO_PROP_ID = 2;
inline constexpr std::uint32_t CERT_SHA1_HASH_PROP_ID = 3;
inline constexpr std::uint32_t CERT_FRIENDLY_NAME_PROP_ID = 11;
inline constexpr const char* szOID_RSA_RSA = "1.2.840.113549.1.1.1";
inline constexpr const char* szOID_RSA_SHA1RSA = "1.2.840.113549.1.1.5";
inline constexpr const char* szOID_RSA_SHA256RSA = "1.2.840.113549.1.1.11";
inline constexpr const char* szOID_KEY_USAGE = "2.5.29.15";
inline constexpr const char* szOID_ENHANCED_KEY_USAGE = "2.5.29.37";
inline constexpr const char* szOID_SUBJECT_ALT_NAME2 = "2.5.29.17";
inline constexpr const char* szOID_SUBJECT_KEY_IDENTIFIER = "2.5.29.14";
inline constexpr const char* szOID_RSA_emailAddr = "1.2.840.113549.1.9.1";
// Key-usage bits of the first byte (CERT_*_KEY_USAGE).
inline constexpr std::uint32_t CERT_DIGITAL_SIGNATURE_KEY_USAGE = 0x80;
inline constexpr std::uint32_t CERT_KEY_ENCIPHERMENT_KEY_USAGE = 0x20;
inline constexpr std::uint32_t CERT_DATA_ENCIPHERMENT_KEY_USAGE = 0x10;
inline constexpr std::uint32_t CERT_KEY_CERT_SIGN_KEY_USAGE = 0x04;

// ---- Certificate contexts ----

// CRYPT_KEY_PROV_INFO: where a certificate's private key lives.
struct TnbCryptKeyProvInfo {
    std::string ContainerName;
    std::string ProvName;
    std::uint32_t ProvType = 0;
    std::uint32_t Flags = 0;
    std::uint32_t KeySpec = 0;
};

// A property value: bytes (hashes), text (friendly name) or the key provider info.
using TnbCertProperty = std::variant<TnbByteArray, std::string, TnbCryptKeyProvInfo>;

// CERT_CONTEXT: one decoded certificate with its DER bytes, its property map and its private
// key once it was looked up. Shared: every holder keeps a counted reference (PCCERT_CONTEXT).
class TnbCertContext {
public:
    TnbCertContext(TnbX509Ptr cert, TnbByteArray encoded);
    ~TnbCertContext();
    TnbCertContext(const TnbCertContext&) = delete;
    TnbCertContext& operator=(const TnbCertContext&) = delete;

    X509* Cert() const { return cert_.get(); }
    const TnbByteArray& Encoded() const { return encoded_; }

    std::optional<TnbCertProperty> GetProperty(std::uint32_t id) const;
    // nullopt removes the property. Changing the key provider forgets the cached key.
    void SetProperty(std::uint32_t id, std::optional<TnbCertProperty> value);
    // The private key of the key provider property, read from its container on first use.
    // Empty (and the last error set) when there is no property or no key.
    std::shared_ptr<EVP_PKEY> PrivateKey();
    // Gives the certificate a key held in memory (one its host read from a key file) in place
    // of a container's. False (NTE_BAD_KEY) when the key is not the certificate's.
    bool SetPrivateKey(std::shared_ptr<EVP_PKEY> key);

private:
    TnbX509Ptr cert_;
    TnbByteArray encoded_;
    mutable std::mutex lock_;  // leaf lock: properties_ and key_
    std::map<std::uint32_t, TnbCertProperty> properties_;
    std::shared_ptr<EVP_PKEY> key_;
};
using PCCERT_CONTEXT = std::shared_ptr<TnbCertContext>;

// Decodes DER bytes; empty with CRYPT_E_ASN1_BADTAG when they are not one certificate.
PCCERT_CONTEXT CertCreateCertificateContext(std::uint32_t encoding, const std::uint8_t* bytes,
                                            std::size_t size);
PCCERT_CONTEXT CertDuplicateCertificateContext(const PCCERT_CONTEXT& context);
void CertFreeCertificateContext(PCCERT_CONTEXT& context);
// CERT_NAME_SIMPLE_DISPLAY_TYPE: the first CN, else OU, else O, else the e-mail attribute,
// else the first RFC 822 alternative name; empty when there is none.
std::string CertGetNameString(const PCCERT_CONTEXT& context, std::uint32_t type,
                              std::uint32_t flags);
// The first RFC 822 entry of the subject's alternative names; empty when there is none.
std::string CertAltNameEmail(const PCCERT_CONTEXT& context);
// CERT_SHA1_HASH_PROP_ID is computed on demand, as the platform does. False with
// CRYPT_E_NOT_FOUND for a missing property.
bool CertGetCertificateContextProperty(const PCCERT_CONTEXT& context, std::uint32_t id,
                                       TnbCertProperty& value);
bool CertSetCertificateContextProperty(const PCCERT_CONTEXT& context, std::uint32_t id,
                                       std::uint32_t flags, const TnbCertProperty* value);
// The enhanced key usage identifiers in order; false with CRYPT_E_NOT_FOUND without the
// extension.
bool CertGetEnhancedKeyUsage(const PCCERT_CONTEXT& context, std::uint32_t flags,
                             std::vector<std::string>& usages);
std::uint32_t CertGetPublicKeyLength(const PCCERT_CONTEXT& context);
// The platform's short name of an object identifier ("RSA", "sha256RSA", "Server
// Authentication"); empty when it has none.
std::string CryptFindOIDInfo(std::string_view oid);

// ---- Key containers ----

// $NORBIT_KEYS_DIR when set, else ${XDG_DATA_HOME:-$HOME/.local/share}/NorbitFtpServerSSL/keys.
std::string KeyStoreDirectory();
// SECURITY: the file name of a container: letters, digits and "-_{}." kept, every other byte
// as %XX, so that no name holds a "/" or a NUL. Empty (refused) for "", "." and "..", and for a
// result longer than a file name may be.
std::string EncodeContainerName(std::string_view name);
// errno of a key-store operation as the platform's NTE_* code.
std::int32_t KeyStoreErrorCode(int errnoValue);

struct TnbCryptProv {
    std::string Container;
    std::string Directory;  // the container's directory
};
using HCRYPTPROV = std::unique_ptr<TnbCryptProv>;
using HCRYPTKEY = std::shared_ptr<EVP_PKEY>;

// flags 0 opens an existing container, CRYPT_NEWKEYSET makes a new one (NTE_EXISTS when it is
// there), CRYPT_DELETEKEYSET removes one with its key (prov stays empty). providerName and
// provType are kept for the record; there is one provider.
bool CryptAcquireContextA(HCRYPTPROV& prov, std::string_view container,
                          std::string_view providerName, std::uint32_t provType,
                          std::uint32_t flags);
bool CryptReleaseContext(HCRYPTPROV& prov, std::uint32_t flags);
// An RSA key of (flags >> 16) bits (2048 when 0), written to the container.
bool CryptGenKey(const HCRYPTPROV& prov, std::uint32_t keySpec, std::uint32_t flags,
                 HCRYPTKEY& key);
// The container's key; NTE_NO_KEY when it has none.
bool CryptGetUserKey(const HCRYPTPROV& prov, std::uint32_t keySpec, HCRYPTKEY& key);
bool CryptDestroyKey(HCRYPTKEY& key);
// The key of a container by name, for a certificate's key provider property.
bool ReadContainerKey(std::string_view container, HCRYPTKEY& key);

// ---- Names, encoding and signing ----

struct TnbNameAttribute {
    std::string Key;  // as written: "CN", "S", ...
    int Nid = 0;      // OpenSSL's identifier of the attribute type
    std::string Value;
};
// One relative distinguished name: its attributes ("+" joins several).
using TnbNameRdn = std::vector<TnbNameAttribute>;

// SECURITY: the distinguished-name text of CertStrToName: KEY=value parts with the keys CN, O,
// OU, L, S or ST, C, E, STREET, DC (any case), separated by "," or ";" ("+" joins attributes
// of one name part), values optionally in double quotes ("" for a quote). nullopt for
// anything else.
std::optional<std::vector<TnbNameRdn>> ParseX500Name(std::string_view text);
// The DER form of the parsed name; CRYPT_E_INVALID_X500_STRING for a bad text.
bool CertStrToNameW(std::uint32_t encoding, std::string_view text, std::uint32_t strType,
                    TnbByteArray& encoded);

struct TnbCertPublicKeyInfo {
    std::string AlgorithmOid;
    TnbByteArray Encoded;  // DER SubjectPublicKeyInfo
};
bool CryptExportPublicKeyInfo(const HCRYPTPROV& prov, std::uint32_t keySpec, std::uint32_t encoding,
                              TnbCertPublicKeyInfo& info);

// CERT_EXTENSION.
struct TnbCertExtension {
    std::string ObjId;
    bool Critical = false;
    TnbByteArray Value;  // DER of the extension's value
};

// CERT_INFO of a certificate to be signed.
struct TnbCertInfo {
    std::uint32_t Version = 0;
    TnbByteArray SerialNumber;  // least significant byte first
    std::string SignatureAlgorithm;
    TnbByteArray Issuer;  // DER names
    TnbByteArray Subject;
    std::time_t NotBefore = 0;  // UTC
    std::time_t NotAfter = 0;
    TnbCertPublicKeyInfo SubjectPublicKeyInfo;
    std::vector<TnbCertExtension> Extensions;
};

// Signs with the container's key. The serial is always encoded as a positive number.
bool CryptSignAndEncodeCertificate(const HCRYPTPROV& prov, std::uint32_t keySpec,
                                   std::uint32_t encoding, const TnbCertInfo& info,
                                   TnbByteArray& encoded);

// X509_KEY_USAGE: a bit string of the bytes given, with unusedBits unused bits.
struct TnbKeyUsageBits {
    TnbByteArray Bytes;
    std::uint32_t UnusedBits = 0;
};
bool CryptEncodeObject(std::uint32_t encoding, const TnbKeyUsageBits& usage, TnbByteArray& encoded);
// X509_ENHANCED_KEY_USAGE: the identifiers in order; CRYPT_E_BAD_ENCODE for one that is not an
// object identifier.
bool CryptEncodeObject(std::uint32_t encoding, const std::vector<std::string>& usages,
                       TnbByteArray& encoded);

}  // namespace nb
