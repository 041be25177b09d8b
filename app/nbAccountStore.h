// Accounts whose passwords are kept as crypt(3) hashes (yescrypt, sha512-crypt, bcrypt), and
// the checks of a login against them.
//
// Threads: a store is immutable once made, so any number of logins read it at once; a reload
// makes a new store and swaps the shared pointer (the logins under way keep the old one).
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "app/nbConfig.h"

namespace nb {

// A new yescrypt hash of the password, with a fresh random salt. Raises std::runtime_error
// when libcrypt cannot make one.
std::string HashPassword(const std::string& APassword);

// True when the text is a hash of one of the accepted methods: "$y$" yescrypt, "$6$"
// sha512-crypt, "$2b$"/"$2y$"/"$2a$" bcrypt, complete (setting and hash) with a setting
// libcrypt accepts. Anything else (plain text, DES, MD5, a bare setting) is no hash the server
// takes. Costs one hash.
bool IsPasswordHash(std::string_view AText);

// Hashes the password with the setting in AHash (crypt_r) and compares the result in constant
// time. False for a text that is no accepted hash.
bool VerifyPassword(const std::string& APassword, const std::string& AHash);

class TnbAccountStore {
public:
    explicit TnbAccountStore(std::vector<TnbConfigAccount> AAccounts);

    // The account with exactly that name, or nullptr.
    const TnbConfigAccount* Find(std::string_view AName) const;

    // The login check: true only for a known name whose hash the password matches.
    // SECURITY: an unknown name still costs one hash, so the reply time tells no one which
    // names exist.
    bool CheckLogin(std::string_view AName, const std::string& APassword) const;

private:
    std::vector<TnbConfigAccount> accounts_;
};

using TnbAccountStorePtr = std::shared_ptr<const TnbAccountStore>;

}  // namespace nb
