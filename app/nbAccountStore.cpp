#include "app/nbAccountStore.h"

#include <crypt.h>

#include <array>
#include <cstring>
#include <stdexcept>

namespace nb {

namespace {

// Compares two byte strings in a time that depends on their lengths only.
bool ConstantTimeEquals(std::string_view a, std::string_view b) {
    unsigned char diff = a.size() == b.size() ? 0 : 1;
    const std::size_t n = a.size() < b.size() ? a.size() : b.size();
    for (std::size_t i = 0; i < n; ++i)
        diff |= static_cast<unsigned char>(a[i] ^ b[i]);
    return diff == 0;
}

// crypt_r's state is some 32 KiB: it lives on the heap, one per check (checks run on several
// workers at once).
std::string CryptWith(const std::string& APassword, const std::string& ASetting) {
    auto data = std::make_unique<crypt_data>();
    const char* out = ::crypt_r(APassword.c_str(), ASetting.c_str(), data.get());
    // A failure gives null or a text starting with "*" (never a valid hash).
    std::string result = out && *out != '*' ? std::string(out) : std::string();
    explicit_bzero(data.get(), sizeof(crypt_data));
    return result;
}

// A yescrypt hash of a password nobody knows: unknown names are checked against it.
const std::string& DummyHash() {
    static const std::string hash = HashPassword("no account has this password");
    return hash;
}

}  // namespace

std::string HashPassword(const std::string& APassword) {
    std::array<char, CRYPT_GENSALT_OUTPUT_SIZE> setting{};
    // Count 0 and no entropy given: libcrypt's default cost and salt from the system's random
    // source.
    if (!::crypt_gensalt_rn("$y$", 0, nullptr, 0, setting.data(), setting.size()))
        throw std::runtime_error("Cannot make a password hash: no yescrypt salt");
    std::string hash = CryptWith(APassword, setting.data());
    if (hash.empty())
        throw std::runtime_error("Cannot make a password hash");
    return hash;
}

bool IsPasswordHash(std::string_view AText) {
    static constexpr std::array<std::string_view, 5> kPrefixes{"$y$", "$6$", "$2b$", "$2y$",
                                                               "$2a$"};
    bool known = false;
    for (auto prefix : kPrefixes)
        known = known || AText.substr(0, prefix.size()) == prefix;
    if (!known)
        return false;
    const std::string text(AText);
    if (::crypt_checksalt(text.c_str()) != CRYPT_SALT_OK)
        return false;
    // A whole hash, not just its setting: hashing anything with it gives a text of the same
    // length with the same setting (up to the last "$").
    const std::string probe = CryptWith("", text);
    const auto setting = text.rfind('$');
    return probe.size() == text.size() && probe.compare(0, setting, text, 0, setting) == 0;
}

bool VerifyPassword(const std::string& APassword, const std::string& AHash) {
    if (!IsPasswordHash(AHash))
        return false;
    const std::string computed = CryptWith(APassword, AHash);
    return !computed.empty() && ConstantTimeEquals(computed, AHash);
}

TnbAccountStore::TnbAccountStore(std::vector<TnbConfigAccount> AAccounts)
    : accounts_(std::move(AAccounts)) {}

const TnbConfigAccount* TnbAccountStore::Find(std::string_view AName) const {
    for (const auto& account : accounts_) {
        if (account.Name == AName)
            return &account;
    }
    return nullptr;
}

bool TnbAccountStore::CheckLogin(std::string_view AName, const std::string& APassword) const {
    const TnbConfigAccount* account = Find(AName);
    const bool verified = VerifyPassword(APassword, account ? account->PasswordHash : DummyHash());
    return account != nullptr && verified;
}

}  // namespace nb
