// Password hashes of configured accounts: the accepted methods, the refused ones, and the
// login check.
#include "app/nbAccountStore.h"

#include <crypt.h>
#include <gtest/gtest.h>

#include <array>
#include <string>

namespace nb {
namespace {

std::string HashWith(const char* APrefix, const std::string& APassword) {
    std::array<char, CRYPT_GENSALT_OUTPUT_SIZE> setting{};
    if (!crypt_gensalt_rn(APrefix, 0, nullptr, 0, setting.data(), setting.size()))
        return {};
    crypt_data data{};
    const char* out = crypt_r(APassword.c_str(), setting.data(), &data);
    return out ? out : "";
}

TEST(TnbAccountStore, AcceptsYescryptSha512AndBcryptOnly) {
    struct TCase {
        const char* Name;
        std::string Hash;
        bool Accepted;
    };
    const TCase cases[] = {
        {"yescrypt (--hash-password)", HashPassword("pw 1"), true},
        {"sha512-crypt", HashWith("$6$", "pw 1"), true},
        {"bcrypt", HashWith("$2b$", "pw 1"), true},
        {"md5-crypt", HashWith("$1$", "pw 1"), false},
        {"plain text", "pw 1", false},
        {"empty", "", false},
        {"a prefix and nothing else", "$y$", false},
        {"a setting without its hash", HashWith("$6$", "pw 1").substr(0, 20), false},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        EXPECT_EQ(IsPasswordHash(c.Hash), c.Accepted);
        EXPECT_EQ(VerifyPassword("pw 1", c.Hash), c.Accepted);
        EXPECT_FALSE(VerifyPassword("pw 2", c.Hash));
        EXPECT_FALSE(VerifyPassword(c.Hash, c.Hash));
    }
}

TEST(TnbAccountStore, ChecksNameAndPasswordTogether) {
    TnbConfigAccount alice;
    alice.Name = "alice";
    alice.PasswordHash = HashWith("$6$", "secret");
    const TnbAccountStore store({alice});
    EXPECT_TRUE(store.CheckLogin("alice", "secret"));
    EXPECT_FALSE(store.CheckLogin("alice", "Secret"));
    EXPECT_FALSE(store.CheckLogin("Alice", "secret"));
    EXPECT_FALSE(store.CheckLogin("bob", "secret"));
    EXPECT_FALSE(store.CheckLogin("", ""));
}

}  // namespace
}  // namespace nb
