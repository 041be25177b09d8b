#include "app/nbCertificateFiles.h"

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <cstdio>
#include <stdexcept>

#include "tls/nbCryptAPI.h"

namespace nb {

namespace {

struct TFileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
using TFile = std::unique_ptr<std::FILE, TFileCloser>;

TFile OpenFile(const std::string& APath, const char* AWhat) {
    TFile file(std::fopen(APath.c_str(), "rb"));
    if (!file)
        throw std::runtime_error(std::string(AWhat) + " '" + APath + "' cannot be read");
    return file;
}

// OpenSSL's reason for the last failure, or the fallback.
std::string OpenSslReason(const char* AFallback) {
    const unsigned long code = ERR_peek_last_error();
    ERR_clear_error();
    const char* reason = code ? ERR_reason_error_string(code) : nullptr;
    return reason ? reason : AFallback;
}

std::shared_ptr<TnbCertificate> ToCertificate(X509* ACert) {
    unsigned char* der = nullptr;
    const int length = i2d_X509(ACert, &der);
    if (length <= 0)
        throw std::runtime_error("certificate cannot be encoded");
    std::unique_ptr<unsigned char, void (*)(void*)> owned(der, [](void* p) { OPENSSL_free(p); });
    return TnbCertificate::CreateFromEncoded(der, static_cast<std::size_t>(length));
}

}  // namespace

std::shared_ptr<const TnbServerCertificate> LoadCertificateFiles(const std::string& ACertPath,
                                                                 const std::string& AKeyPath) {
    ERR_clear_error();
    auto result = std::make_shared<TnbServerCertificate>();
    {
        TFile file = OpenFile(ACertPath, "Certificate");
        for (;;) {
            std::unique_ptr<X509, decltype(&X509_free)> cert(
                PEM_read_X509(file.get(), nullptr, nullptr, nullptr), &X509_free);
            if (!cert)
                break;
            auto certificate = ToCertificate(cert.get());
            if (!result->Leaf)
                result->Leaf = std::move(certificate);
            else
                result->Chain.push_back(std::move(certificate));
        }
        ERR_clear_error();  // the end of the file is reported as an error too
        if (!result->Leaf)
            throw std::runtime_error("Certificate '" + ACertPath + "' holds no PEM certificate");
    }
    TFile file = OpenFile(AKeyPath, "Private key");
    // SECURITY: no passphrase callback: an encrypted key is refused rather than prompted for.
    std::shared_ptr<EVP_PKEY> key(
        PEM_read_PrivateKey(file.get(), nullptr, [](char*, int, int, void*) { return 0; },
                            nullptr),
        &EVP_PKEY_free);
    if (!key)
        throw std::runtime_error("Private key '" + AKeyPath +
                                 "' holds no usable PEM key: " + OpenSslReason("no key"));
    if (!result->Leaf->ContextHandle()->SetPrivateKey(std::move(key)))
        throw std::runtime_error("Private key '" + AKeyPath + "' does not belong to certificate '" +
                                 ACertPath + "'");
    return result;
}

}  // namespace nb
