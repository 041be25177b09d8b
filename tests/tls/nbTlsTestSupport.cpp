#include "tests/tls/nbTlsTestSupport.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <stdexcept>

#include "tls/nbCertificateStore.h"

namespace nb::test {

namespace {

std::string& RootDir() {
    static std::string root;
    return root;
}

class TKeyStoreEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        std::string pattern = (std::filesystem::temp_directory_path() / "nbtls.XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr)
            throw std::runtime_error("mkdtemp failed");
        RootDir() = pattern;
        keys_ = pattern + "/keys";
        ::setenv("NORBIT_KEYS_DIR", keys_.c_str(), 1);
        ::setenv("HOME", (pattern + "/home").c_str(), 1);
        ::unsetenv("XDG_DATA_HOME");
    }
    void TearDown() override { RemoveTree(RootDir()); }

    std::string keys_;
};

// Registered before main runs the tests, so every test sees the private key store.
[[maybe_unused]] ::testing::Environment* const environment =
    ::testing::AddGlobalTestEnvironment(new TKeyStoreEnvironment);

}  // namespace

const std::string& TestKeysDir() {
    static const std::string keys = RootDir() + "/keys";
    return keys;
}

std::shared_ptr<TnbCertificate> SharedServerCertificate() {
    static const std::shared_ptr<TnbCertificate> certificate = [] {
        TnbCertificateStore store;
        store.KeyUsage = CERT_DIGITAL_SIGNATURE_KEY_USAGE | CERT_KEY_ENCIPHERMENT_KEY_USAGE;
        store.SetEnhancedKeyUsage({"1.3.6.1.5.5.7.3.1"});
        store.ValidFrom = store.ValidFrom - std::chrono::days{1};
        return store.CreateSelfSigned("CN=localhost, O=Norbit Test", 0);
    }();
    return certificate;
}

void RemoveTree(const std::string& path) {
    std::error_code ec;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(path, ec)) {
        std::filesystem::permissions(entry.path(), std::filesystem::perms::owner_all,
                                     std::filesystem::perm_options::add, ec);
    }
    std::filesystem::remove_all(path, ec);
}

}  // namespace nb::test
