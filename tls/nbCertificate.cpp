#include "tls/nbCertificate.h"

#include <openssl/asn1.h>
#include <openssl/objects.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <ctime>

#include "tls/nbSspi.h"
#include "util/nbUtils.h"

namespace nb {

namespace {

std::string ObjectText(const ASN1_OBJECT* object) {
    char text[128];
    const int length = object ? OBJ_obj2txt(text, sizeof text, object, 1) : 0;
    return length > 0 ? std::string(text) : std::string();
}

std::string AlgorithmName(const std::string& oid) {
    std::string name = CryptFindOIDInfo(oid);
    return name.empty() ? oid : name;
}

// The first e-mail attribute of the subject's name parts, in order.
std::string SubjectEmail(X509* cert) {
    const X509_NAME* name = X509_get_subject_name(cert);
    for (int i = 0; i < X509_NAME_entry_count(name); ++i) {
        const X509_NAME_ENTRY* entry = X509_NAME_get_entry(name, i);
        if (OBJ_obj2nid(X509_NAME_ENTRY_get_object(entry)) != NID_pkcs9_emailAddress)
            continue;
        const ASN1_STRING* value = X509_NAME_ENTRY_get_data(entry);
        if (ASN1_STRING_length(value) > 0) {
            return TnbTranslator::GetString(ASN1_STRING_get0_data(value),
                                            static_cast<std::size_t>(ASN1_STRING_length(value)),
                                            "us-ascii");
        }
    }
    return {};
}

TnbLocalTime CertTime(const ASN1_TIME* time) {
    struct tm utc {};
    if (!time || ASN1_TIME_to_tm(time, &utc) != 1)
        return TnbLocalTime{};
    return UtcToLocalTime(timegm(&utc));
}

}  // namespace

TnbLocalTime UtcToLocalTime(std::time_t utc) {
    struct tm local {};
    if (!localtime_r(&utc, &local))
        return TnbLocalTime{};
    using namespace std::chrono;
    const local_days day{year{local.tm_year + 1900} / (local.tm_mon + 1) / local.tm_mday};
    return day + hours{local.tm_hour} + minutes{local.tm_min} + seconds{local.tm_sec};
}

std::time_t LocalTimeToUtc(TnbLocalTime local) {
    using namespace std::chrono;
    const local_days day = floor<days>(local);
    const year_month_day date{day};
    const hh_mm_ss time{local - day};
    struct tm fields {};
    fields.tm_year = static_cast<int>(date.year()) - 1900;
    fields.tm_mon = static_cast<int>(static_cast<unsigned>(date.month())) - 1;
    fields.tm_mday = static_cast<int>(static_cast<unsigned>(date.day()));
    fields.tm_hour = static_cast<int>(time.hours().count());
    fields.tm_min = static_cast<int>(time.minutes().count());
    fields.tm_sec = static_cast<int>(time.seconds().count());
    fields.tm_isdst = -1;  // the zone's rules decide whether summer time applies
    return std::mktime(&fields);
}

// ---- TnbCertificate ----

std::shared_ptr<TnbCertificate> TnbCertificate::CreateFromContext(const PCCERT_CONTEXT& context) {
    return std::make_shared<TnbCertificate>(CertDuplicateCertificateContext(context));
}

std::shared_ptr<TnbCertificate> TnbCertificate::CreateFromEncoded(const std::uint8_t* bytes,
                                                                  std::size_t size) {
    PCCERT_CONTEXT context = CertCreateCertificateContext(nbCertEncoding, bytes, size);
    if (!context)
        RaiseCryptError("CertDuplicateCertificateContext");
    return std::make_shared<TnbCertificate>(std::move(context));
}

TnbCertificate::TnbCertificate(PCCERT_CONTEXT context) : context_(std::move(context)) {
    ReadFields();
}

TnbCertificate::~TnbCertificate() {
    CertFreeCertificateContext(context_);
}

void TnbCertificate::SetKeyProvider(const std::string& containerName,
                                    const std::string& providerName, std::uint32_t keySpec,
                                    std::uint32_t providerType) {
    const TnbCertProperty info =
        TnbCryptKeyProvInfo{containerName, providerName, providerType, 0, keySpec};
    if (!CertSetCertificateContextProperty(context_, CERT_KEY_PROV_INFO_PROP_ID, 0, &info))
        RaiseCryptError("CertSetCertificateContextProperty");
    ReadFields();
}

void TnbCertificate::ReadFields() {
    if (!context_)
        return;
    X509* cert = context_->Cert();
    ClearOpenSslErrors();
    subjectName_ = CertGetNameString(context_, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0);
    emailAddress_ = SubjectEmail(cert);
    if (emailAddress_.empty())
        emailAddress_ = CertAltNameEmail(context_);
    issuerName_ = CertGetNameString(context_, CERT_NAME_SIMPLE_DISPLAY_TYPE, CERT_NAME_ISSUER_FLAG);
    const ASN1_INTEGER* serial = X509_get0_serialNumber(cert);
    serialHex_ = BytesToHex(ASN1_STRING_get0_data(serial),
                            static_cast<std::size_t>(ASN1_STRING_length(serial)));
    notAfter_ = CertTime(X509_get0_notAfter(cert));
    notBefore_ = CertTime(X509_get0_notBefore(cert));

    TnbCertProperty property;
    friendlyLabel_.clear();
    if (CertGetCertificateContextProperty(context_, CERT_FRIENDLY_NAME_PROP_ID, property))
        friendlyLabel_ = std::get<std::string>(property);
    const long version = X509_get_version(cert);
    if (version >= 0 && version <= 2)
        x509Version_ = static_cast<std::uint8_t>(version);
    keyContainer_.clear();
    if (CertGetCertificateContextProperty(context_, CERT_KEY_PROV_INFO_PROP_ID, property))
        keyContainer_ = std::get<TnbCryptKeyProvInfo>(property).ContainerName;

    const X509_PUBKEY* publicKey = X509_get_X509_PUBKEY(cert);
    ASN1_OBJECT* keyObject = nullptr;
    if (publicKey)
        X509_PUBKEY_get0_param(&keyObject, nullptr, nullptr, nullptr, publicKey);
    keyAlgorithmOid_ = ObjectText(keyObject);
    keyAlgorithmName_ = AlgorithmName(keyAlgorithmOid_);
    const X509_ALGOR* signature = nullptr;
    X509_get0_signature(nullptr, &signature, cert);
    const ASN1_OBJECT* signObject = nullptr;
    if (signature)
        X509_ALGOR_get0(&signObject, nullptr, nullptr, signature);
    signAlgorithmOid_ = ObjectText(signObject);
    signAlgorithmName_ = AlgorithmName(signAlgorithmOid_);

    std::vector<std::string> usages;
    extendedUsages_.clear();
    if (!CertGetEnhancedKeyUsage(context_, 0, usages)) {
        if (GetLastError() != CRYPT_E_NOT_FOUND)
            RaiseCryptError("CertGetEnhancedKeyUsage");
    }
    for (const std::string& usage : usages) {
        if (usage.empty())
            continue;
        if (!extendedUsages_.empty())
            extendedUsages_ += ',';
        extendedUsages_ += usage;
    }

    sha1Hash_.clear();
    if (CertGetCertificateContextProperty(context_, CERT_SHA1_HASH_PROP_ID, property)) {
        sha1Hash_ = BytesToHex(std::get<TnbByteArray>(property));
    }
    const ASN1_OCTET_STRING* keyId = X509_get0_subject_key_id(cert);
    keyIdHex_ = keyId ? BytesToHex(ASN1_STRING_get0_data(keyId),
                                   static_cast<std::size_t>(ASN1_STRING_length(keyId)))
                      : std::string();
    keyBits_ = CertGetPublicKeyLength(context_);
    ClearOpenSslErrors();
}

// ---- TnbCertificateList ----

std::size_t TnbCertificateList::Add(std::shared_ptr<TnbCertificate> certificate) {
    items_.push_back(std::move(certificate));
    return items_.size() - 1;
}

// ---- Extensions ----

void TnbKeyUsageExtension::Encode(TnbCertExtension& extension) {
    extension.ObjId = szOID_KEY_USAGE;
    extension.Critical = true;
    const TnbKeyUsageBits bits{{static_cast<std::uint8_t>(Usage & 0xFF)}, 0};
    if (!CryptEncodeObject(nbCertEncoding, bits, extension.Value))
        RaiseCryptError("CryptEncodeObject");
}

void TnbEnhancedKeyUsageExtension::Encode(TnbCertExtension& extension) {
    extension.ObjId = szOID_ENHANCED_KEY_USAGE;
    extension.Critical = false;
    if (!CryptEncodeObject(nbCertEncoding, Usages, extension.Value))
        RaiseCryptError("CryptEncodeObject");
}

void TnbCertificateExtensions::Add(std::unique_ptr<TnbCertificateExtension> extension) {
    extensionArray_.clear();
    items_.push_back(std::move(extension));
}

void TnbCertificateExtensions::Clear() {
    extensionArray_.clear();
    items_.clear();
}

const std::vector<TnbCertExtension>& TnbCertificateExtensions::BuildArray() {
    extensionArray_.clear();
    extensionArray_.resize(items_.size());
    for (std::size_t i = 0; i < items_.size(); ++i)
        items_[i]->Encode(extensionArray_[i]);
    return extensionArray_;
}

}  // namespace nb
