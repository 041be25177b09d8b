// Certificates and the certificate store: self-signed certificates as made, read back into
// TnbCertificate, the key container reuse, and the store's failures.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <time.h>

#include <openssl/asn1.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "tests/tls/nbTlsTestSupport.h"
#include "tls/nbCertificateStore.h"
#include "tls/nbSspi.h"
#include "util/nbUtils.h"

namespace nb {
namespace {

// Switches the process to a zone east of UTC for one test (no daylight saving: the offset is
// the same all year).
class TEastOfUtc {
public:
    TEastOfUtc() {
        if (const char* tz = getenv("TZ"))
            saved_ = tz;
        ::setenv("TZ", "JST-9", 1);
        ::tzset();
    }
    ~TEastOfUtc() {
        if (saved_.empty())
            ::unsetenv("TZ");
        else
            ::setenv("TZ", saved_.c_str(), 1);
        ::tzset();
    }

private:
    std::string saved_;
};

std::time_t Asn1ToUtc(const ASN1_TIME* time) {
    struct tm fields {};
    EXPECT_EQ(ASN1_TIME_to_tm(time, &fields), 1);
    return timegm(&fields);
}

std::vector<std::string> Entries(const X509_NAME* name) {
    std::vector<std::string> entries;
    for (int i = 0; i < X509_NAME_entry_count(name); ++i) {
        const X509_NAME_ENTRY* entry = X509_NAME_get_entry(name, i);
        const ASN1_STRING* value = X509_NAME_ENTRY_get_data(entry);
        entries.push_back(std::string(OBJ_nid2sn(OBJ_obj2nid(X509_NAME_ENTRY_get_object(entry)))) +
                          "=" +
                          std::string(reinterpret_cast<const char*>(ASN1_STRING_get0_data(value)),
                                      ASN1_STRING_length(value)));
    }
    return entries;
}

TEST(TnbCertificateStore, CreatesSelfSignedCertificateWithItsParts) {
    TEastOfUtc zone;
    TnbCertificateStore store;
    EXPECT_EQ(store.KeyLength, 2048u);
    const TnbLocalTime now = UtcToLocalTime(std::time(nullptr));
    store.ValidFrom = now;
    store.ValidTo = now + std::chrono::days{365};
    store.KeyUsage = 0x80A0;  // only the low byte, 0xA0, is encoded
    store.SetEnhancedKeyUsage({"1.3.6.1.5.5.7.3.1", "1.3.6.1.5.5.7.3.2"});
    // A top bit set: a serial read as a signed number would be negative.
    const auto certificate = store.CreateSelfSigned(
        "CN=Norbit FTP Server, O=Norbit, OU=FTPS, E=ftp@example.com", "80ABCDEF");

    EXPECT_EQ(store.KeyName.size(), 38u);
    EXPECT_EQ(store.KeyName.front(), '{');
    X509* cert = certificate->ContextHandle()->Cert();
    const std::vector<std::string> subject{"CN=Norbit FTP Server", "O=Norbit", "OU=FTPS",
                                           "emailAddress=ftp@example.com"};
    EXPECT_EQ(Entries(X509_get_subject_name(cert)), subject);
    EXPECT_EQ(X509_NAME_cmp(X509_get_subject_name(cert), X509_get_issuer_name(cert)), 0);
    EXPECT_EQ(Asn1ToUtc(X509_get0_notBefore(cert)), LocalTimeToUtc(store.ValidFrom));
    EXPECT_EQ(Asn1ToUtc(X509_get0_notAfter(cert)), LocalTimeToUtc(store.ValidTo));
    EXPECT_LE(Asn1ToUtc(X509_get0_notBefore(cert)), std::time(nullptr)) << "valid already";
    EXPECT_EQ(X509_get_signature_nid(cert), NID_sha256WithRSAEncryption);
    const ASN1_INTEGER* serial = X509_get0_serialNumber(cert);
    EXPECT_EQ(ASN1_STRING_type(serial), V_ASN1_INTEGER) << "positive";
    unsigned char* der = nullptr;
    const int length = i2d_ASN1_INTEGER(serial, &der);
    EXPECT_EQ(BytesToHex(der, length), "02050080ABCDEF");
    OPENSSL_free(der);
    ASSERT_EQ(X509_get_ext_count(cert), 2);
    X509_EXTENSION* usage = X509_get_ext(cert, 0);
    EXPECT_EQ(OBJ_obj2nid(X509_EXTENSION_get_object(usage)), NID_key_usage);
    EXPECT_EQ(X509_EXTENSION_get_critical(usage), 1);
    const ASN1_OCTET_STRING* usageValue = X509_EXTENSION_get_data(usage);
    EXPECT_EQ(BytesToHex(ASN1_STRING_get0_data(usageValue), ASN1_STRING_length(usageValue)),
              "030200A0");
    X509_EXTENSION* enhanced = X509_get_ext(cert, 1);
    EXPECT_EQ(OBJ_obj2nid(X509_EXTENSION_get_object(enhanced)), NID_ext_key_usage);
    EXPECT_EQ(X509_EXTENSION_get_critical(enhanced), 0);

    // The same, read back by TnbCertificate.
    EXPECT_EQ(certificate->SubjectName(), "Norbit FTP Server");
    EXPECT_EQ(certificate->IssuerName(), "Norbit FTP Server");
    EXPECT_EQ(certificate->EmailAddress(), "ftp@example.com");
    EXPECT_EQ(certificate->NotBefore(), store.ValidFrom);
    EXPECT_EQ(certificate->NotAfter(), store.ValidTo);
    EXPECT_EQ(certificate->SerialHex(), "80ABCDEF");
    EXPECT_EQ(certificate->X509Version(), 2);
    EXPECT_EQ(certificate->KeyContainer(), store.KeyName);
    EXPECT_EQ(certificate->KeyAlgorithmOid(), "1.2.840.113549.1.1.1");
    EXPECT_EQ(certificate->KeyAlgorithmName(), "RSA");
    EXPECT_EQ(certificate->SignAlgorithmOid(), "1.2.840.113549.1.1.11");
    EXPECT_EQ(certificate->SignAlgorithmName(), "sha256RSA");
    EXPECT_EQ(certificate->ExtendedUsages(), "1.3.6.1.5.5.7.3.1,1.3.6.1.5.5.7.3.2");
    EXPECT_EQ(certificate->Sha1Hash().size(), 40u);
    EXPECT_EQ(certificate->KeyBits(), 2048u);
    EXPECT_TRUE(certificate->ContextHandle()->PrivateKey()) << "linked to its key";

    // openssl itself reads it.
    const std::string path = test::TestKeysDir() + "/../made.pem";
    FILE* file = std::fopen(path.c_str(), "w");
    ASSERT_TRUE(file);
    PEM_write_X509(file, cert);
    std::fclose(file);
    FILE* pipe = ::popen(("openssl x509 -noout -text -in " + path + " 2>&1").c_str(), "r");
    ASSERT_TRUE(pipe);
    std::string text;
    char buffer[512];
    while (std::fgets(buffer, sizeof buffer, pipe))
        text += buffer;
    EXPECT_EQ(::pclose(pipe), 0) << text;
    for (const char* part : {"Signature Algorithm: sha256WithRSAEncryption",
                             "Public-Key: (2048 bit)", "TLS Web Server Authentication",
                             "Digital Signature, Key Encipherment", "Serial Number:"}) {
        EXPECT_NE(text.find(part), std::string::npos) << part << "\n" << text;
    }

    // A second creation acquires the same container and reuses its key.
    const std::string keyName = store.KeyName;
    const auto second = store.CreateSelfSigned("CN=second", 0);
    EXPECT_EQ(store.KeyName, keyName);
    EXPECT_EQ(
        EVP_PKEY_eq(X509_get0_pubkey(cert), X509_get0_pubkey(second->ContextHandle()->Cert())), 1);
    // The tick count's four bytes; DER drops leading zero bytes.
    EXPECT_LE(second->SerialHex().size(), 8u);
    EXPECT_FALSE(second->SerialHex().empty());
    EXPECT_EQ(X509_get_ext_count(second->ContextHandle()->Cert()), 2);

    // Without usages there are no extensions.
    store.KeyUsage = 0;
    store.SetEnhancedKeyUsage({});
    const auto plain = store.CreateSelfSigned("CN=plain", 0x1234);
    EXPECT_EQ(X509_get_ext_count(plain->ContextHandle()->Cert()), 0);
    EXPECT_EQ(plain->ExtendedUsages(), "");
    EXPECT_EQ(plain->SerialHex(), "1234") << "a positive number is the serial's value";
}

TEST(TnbCertificateStore, FailuresRaiseTheFunctionsErrors) {
    const auto shared = test::SharedServerCertificate();  // makes a container with a key
    struct TCase {
        const char* What;
        std::function<void(TnbCertificateStore&)> Setup;
        std::string Subject;
        std::string Serial;
        std::int32_t Code;
        const char* Text;
    };
    const std::string keyed = shared->KeyContainer();
    const TCase cases[] = {
        {"no such container", [](auto& s) { s.KeyName = "no-such-container"; }, "CN=x", "",
         NTE_BAD_KEYSET, "Keyset does not exist"},
        {"a container name that leaves the key directory", [](auto& s) { s.KeyName = ".."; },
         "CN=x", "", NTE_BAD_KEYSET_PARAM, "The Keyset parameter is invalid"},
        {"a container without a key",
         [](auto& s) {
             HCRYPTPROV prov;
             CryptAcquireContextA(prov, "empty-container", "", PROV_RSA_FULL, CRYPT_NEWKEYSET);
             s.KeyName = "empty-container";
         },
         "CN=x", "", NTE_NO_KEY, "Key does not exist"},
        {"a subject that is no X.500 name", [&](auto& s) { s.KeyName = keyed; }, "CN=x,,", "",
         CRYPT_E_INVALID_X500_STRING,
         "The string contains an invalid X500 name attribute key, oid, value or delimiter"},
    };
    for (const TCase& c : cases) {
        TnbCertificateStore store;
        c.Setup(store);
        try {
            store.CreateSelfSigned(c.Subject, c.Serial);
            ADD_FAILURE() << c.What << ": no exception";
        } catch (const EnbCryptError& e) {
            EXPECT_EQ(e.ErrorCode, c.Code) << c.What;
            EXPECT_STREQ(e.what(), c.Text) << c.What;
        }
    }

    TnbCertificateStore store;
    store.KeyName = keyed;
    EXPECT_THROW(store.CreateSelfSigned("CN=x", "12XY"), EnbConvertError);
}

TEST(TnbCertificateStore, FailedKeyGenerationLeavesNoNameAndNoContainer) {
    const auto count = [] {
        std::size_t n = 0;
        for ([[maybe_unused]] const auto& e :
             std::filesystem::directory_iterator(test::TestKeysDir()))
            ++n;
        return n;
    };
    test::SharedServerCertificate();
    const std::size_t before = count();
    TnbCertificateStore store;
    store.KeyLength = 100;  // refused by the key generator
    try {
        store.CreateSelfSigned("CN=x", "");
        FAIL() << "no exception";
    } catch (const EnbCryptError& e) {
        EXPECT_EQ(e.ErrorCode, NTE_BAD_FLAGS);
        EXPECT_STREQ(e.what(), "Invalid flags specified");
    }
    EXPECT_EQ(store.KeyName, "");
    EXPECT_EQ(count(), before);
}

// Certificates made here directly, with what the store never writes.
std::shared_ptr<TnbCertificate> MakeCertificate(const std::string& subject,
                                                const TnbByteArray& serial,
                                                std::vector<TnbCertExtension> extensions) {
    HCRYPTPROV prov;
    EXPECT_TRUE(CryptAcquireContextA(prov, test::SharedServerCertificate()->KeyContainer(), "",
                                     PROV_RSA_FULL, 0));
    TnbCertInfo info;
    info.Version = CERT_V3;
    info.SerialNumber = serial;
    info.SignatureAlgorithm = szOID_RSA_SHA256RSA;
    EXPECT_TRUE(CertStrToNameW(nbCertEncoding, subject, CERT_X500_NAME_STR, info.Subject));
    info.Issuer = info.Subject;
    info.NotBefore = 1000000000;
    info.NotAfter = 2000000000;
    EXPECT_TRUE(
        CryptExportPublicKeyInfo(prov, AT_KEYEXCHANGE, nbCertEncoding, info.SubjectPublicKeyInfo));
    info.Extensions = std::move(extensions);
    TnbByteArray encoded;
    EXPECT_TRUE(
        CryptSignAndEncodeCertificate(prov, AT_KEYEXCHANGE, X509_ASN_ENCODING, info, encoded));
    return TnbCertificate::CreateFromEncoded(encoded.data(), encoded.size());
}

TnbCertExtension AltNames(const char* email) {
    GENERAL_NAMES* names = sk_GENERAL_NAME_new_null();
    GENERAL_NAME* dns = a2i_GENERAL_NAME(nullptr, nullptr, nullptr, GEN_DNS,
                                         const_cast<char*>("ftp.example.com"), 0);
    GENERAL_NAME* mail =
        a2i_GENERAL_NAME(nullptr, nullptr, nullptr, GEN_EMAIL, const_cast<char*>(email), 0);
    sk_GENERAL_NAME_push(names, dns);
    sk_GENERAL_NAME_push(names, mail);
    unsigned char* der = nullptr;
    const int length = i2d_GENERAL_NAMES(names, &der);
    GENERAL_NAMES_free(names);
    TnbCertExtension extension{szOID_SUBJECT_ALT_NAME2, false, TnbByteArray(der, der + length)};
    OPENSSL_free(der);
    return extension;
}

TEST(TnbCertificate, FieldsOfCertificatesMadeElsewhere) {
    // Serial bytes stored least significant first: 78 56 34 12.
    const auto alt =
        MakeCertificate("CN=alt, O=Org", {0x78, 0x56, 0x34, 0x12}, {AltNames("alt@example.com")});
    EXPECT_EQ(alt->SerialHex(), "12345678");
    EXPECT_EQ(alt->EmailAddress(), "alt@example.com") << "from the alternative name";
    EXPECT_EQ(alt->ExtendedUsages(), "") << "no extension, no error";
    EXPECT_EQ(alt->KeyContainer(), "") << "not linked to a key";
    EXPECT_EQ(alt->NotBefore(), UtcToLocalTime(1000000000));
    EXPECT_FALSE(alt->ContextHandle()->PrivateKey());
    EXPECT_EQ(GetLastError(), CRYPT_E_NO_KEY_PROPERTY);

    // Names fall back from CN to OU, O and the e-mail attribute.
    struct TCase {
        const char* Subject;
        const char* Name;
    };
    const TCase names[] = {{"OU=unit, O=org", "unit"},
                           {"O=org, C=DE", "org"},
                           {"E=only@example.com", "only@example.com"},
                           {"C=DE", ""}};
    for (const TCase& c : names)
        EXPECT_EQ(MakeCertificate(c.Subject, {1}, {})->SubjectName(), c.Name) << c.Subject;

    const unsigned char garbage[] = {0x30, 0x03, 0x02, 0x01, 0x01};
    try {
        TnbCertificate::CreateFromEncoded(garbage, sizeof garbage);
        FAIL() << "no exception";
    } catch (const EnbCryptError& e) {
        EXPECT_EQ(e.ErrorCode, CRYPT_E_ASN1_BADTAG);
    }
}

TEST(TnbCertificate, KeyProviderAndListsThatDoNotOwn) {
    const auto shared = test::SharedServerCertificate();
    const auto copy = TnbCertificate::CreateFromContext(shared->ContextHandle());
    EXPECT_EQ(copy->KeyContainer(), shared->KeyContainer()) << "one context, one property map";
    EXPECT_EQ(copy->SubjectName(), "localhost");
    {
        TnbCertificateList list(false);
        list.Add(copy);
        EXPECT_EQ(list.Count(), 1u);
    }
    EXPECT_EQ(copy->SubjectName(), "localhost") << "a list that does not own frees nothing";

    const auto other = MakeCertificate("CN=other", {2}, {});
    other->SetKeyProvider("no-such-container", "", AT_KEYEXCHANGE, PROV_RSA_FULL);
    EXPECT_EQ(other->KeyContainer(), "no-such-container");
    EXPECT_FALSE(other->ContextHandle()->PrivateKey());
    EXPECT_EQ(GetLastError(), NTE_BAD_KEYSET);
}

}  // namespace
}  // namespace nb
