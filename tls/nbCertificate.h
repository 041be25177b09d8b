// Certificates: TnbCertificate reads the commonly shown fields of one X.509 certificate once,
// when it is made or linked to its key; TnbCertificateList carries certificates between the
// host, the certificate store and the TLS engine; the extension classes build the key-usage
// and enhanced-key-usage extensions of a new certificate.
//
// Threads: a TnbCertificate's fields are a snapshot and may be read from any thread; only
// SetKeyProvider changes them, before the certificate is handed to connections. A list or an
// extension object is used by one thread at a time.
// Ownership: a TnbCertificate holds one counted reference to its certificate context (shared
// with the engines that present it). Certificates travel as std::shared_ptr; a list that owns
// its items drops its references when cleared, one that does not only forgets them.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "tls/nbCryptAPI.h"

namespace nb {

// A wall-clock time of the local zone, to the second.
using TnbLocalTime = std::chrono::local_seconds;

// UTC seconds to local wall-clock time and back (the zone rules of the given moment).
TnbLocalTime UtcToLocalTime(std::time_t utc);
std::time_t LocalTimeToUtc(TnbLocalTime local);

class TnbCertificate {
public:
    // Shares the caller's context (the caller keeps its own reference).
    static std::shared_ptr<TnbCertificate> CreateFromContext(const PCCERT_CONTEXT& context);
    // Raises EnbCryptError (CertDuplicateCertificateContext) when the bytes are not one
    // certificate.
    static std::shared_ptr<TnbCertificate> CreateFromEncoded(const std::uint8_t* bytes,
                                                             std::size_t size);
    explicit TnbCertificate(PCCERT_CONTEXT context);
    ~TnbCertificate();
    TnbCertificate(const TnbCertificate&) = delete;
    TnbCertificate& operator=(const TnbCertificate&) = delete;

    // Links the certificate to its private key's container; raises EnbCryptError
    // (CertSetCertificateContextProperty). Then reads the fields again.
    void SetKeyProvider(const std::string& containerName, const std::string& providerName,
                        std::uint32_t keySpec, std::uint32_t providerType);

    const PCCERT_CONTEXT& ContextHandle() const { return context_; }
    const std::string& SubjectName() const { return subjectName_; }
    const std::string& EmailAddress() const { return emailAddress_; }
    const std::string& IssuerName() const { return issuerName_; }
    TnbLocalTime NotAfter() const { return notAfter_; }
    TnbLocalTime NotBefore() const { return notBefore_; }
    const std::string& SerialHex() const { return serialHex_; }
    const std::string& FriendlyLabel() const { return friendlyLabel_; }
    std::uint8_t X509Version() const { return x509Version_; }
    const std::string& KeyContainer() const { return keyContainer_; }
    const std::string& KeyAlgorithmOid() const { return keyAlgorithmOid_; }
    const std::string& KeyAlgorithmName() const { return keyAlgorithmName_; }
    const std::string& SignAlgorithmOid() const { return signAlgorithmOid_; }
    const std::string& SignAlgorithmName() const { return signAlgorithmName_; }
    const std::string& ExtendedUsages() const { return extendedUsages_; }
    const std::string& Sha1Hash() const { return sha1Hash_; }
    const std::string& KeyIdHex() const { return keyIdHex_; }
    std::uint32_t KeyBits() const { return keyBits_; }

private:
    // Never raises but for an undecodable enhanced key usage (CertGetEnhancedKeyUsage).
    void ReadFields();

    PCCERT_CONTEXT context_;
    std::string subjectName_;
    std::string emailAddress_;
    std::string issuerName_;
    TnbLocalTime notAfter_{};
    TnbLocalTime notBefore_{};
    std::string serialHex_;
    std::string friendlyLabel_;
    std::uint8_t x509Version_ = 0;
    std::string keyContainer_;
    std::string keyAlgorithmOid_;
    std::string keyAlgorithmName_;
    std::string signAlgorithmOid_;
    std::string signAlgorithmName_;
    std::string extendedUsages_;
    std::string sha1Hash_;
    std::string keyIdHex_;
    std::uint32_t keyBits_ = 0;
};

class TnbCertificateList {
public:
    explicit TnbCertificateList(bool ownsItems = true) : ownsItems_(ownsItems) {}
    ~TnbCertificateList() { Clear(); }
    TnbCertificateList(const TnbCertificateList&) = delete;
    TnbCertificateList& operator=(const TnbCertificateList&) = delete;

    bool OwnsItems() const { return ownsItems_; }
    std::size_t Add(std::shared_ptr<TnbCertificate> certificate);
    std::size_t Count() const { return items_.size(); }
    const std::shared_ptr<TnbCertificate>& Items(std::size_t index) const {
        return items_.at(index);
    }
    void Clear() { items_.clear(); }

private:
    bool ownsItems_;
    std::vector<std::shared_ptr<TnbCertificate>> items_;
};

// One extension of a certificate to be made.
class TnbCertificateExtension {
public:
    virtual ~TnbCertificateExtension() = default;
    // Fills extension (identifier, critical flag, encoded value); raises EnbCryptError
    // (CryptEncodeObject).
    virtual void Encode(TnbCertExtension& extension) = 0;
};

class TnbKeyUsageExtension : public TnbCertificateExtension {
public:
    explicit TnbKeyUsageExtension(std::uint32_t usage) : Usage(usage) {}
    // "2.5.29.15", critical, a bit string of one byte: the low 8 bits of Usage.
    void Encode(TnbCertExtension& extension) override;
    std::uint32_t Usage;
};

class TnbEnhancedKeyUsageExtension : public TnbCertificateExtension {
public:
    // usages is referenced, not copied, and must outlive Encode.
    explicit TnbEnhancedKeyUsageExtension(const std::vector<std::string>& usages)
        : Usages(usages) {}
    // "2.5.29.37", not critical, the identifiers in list order.
    void Encode(TnbCertExtension& extension) override;
    const std::vector<std::string>& Usages;
};

class TnbCertificateExtensions {
public:
    void Add(std::unique_ptr<TnbCertificateExtension> extension);
    void Clear();
    std::size_t Count() const { return items_.size(); }
    TnbCertificateExtension& Items(std::size_t index) const { return *items_.at(index); }
    // Every extension encoded, in list order; empty when the list is. Valid until the next
    // BuildArray, Add or Clear.
    const std::vector<TnbCertExtension>& BuildArray();

private:
    std::vector<std::unique_ptr<TnbCertificateExtension>> items_;
    std::vector<TnbCertExtension> extensionArray_;
};

}  // namespace nb
