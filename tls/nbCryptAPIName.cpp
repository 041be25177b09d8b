// Distinguished names of nbCryptAPI: the parser of the X.500 text and its DER form.
#include <openssl/objects.h>
#include <openssl/x509.h>

#include "tls/nbCryptAPI.h"
#include "tls/nbSspi.h"
#include "util/nbUtils.h"

namespace nb {

namespace {

struct TKey {
    const char* Name;
    int Nid;
};

constexpr TKey kKeys[] = {
    {"CN", NID_commonName},      {"O", NID_organizationName},    {"OU", NID_organizationalUnitName},
    {"L", NID_localityName},     {"S", NID_stateOrProvinceName}, {"ST", NID_stateOrProvinceName},
    {"C", NID_countryName},      {"E", NID_pkcs9_emailAddress},  {"STREET", NID_streetAddress},
    {"DC", NID_domainComponent},
};

int KeyNid(std::string_view key) {
    for (const TKey& entry : kKeys) {
        if (SameTextAscii(key, entry.Name))
            return entry.Nid;
    }
    return 0;
}

bool IsBlank(char ch) {
    return ch == ' ' || ch == '\t' || ch == '\r' || ch == '\n';
}

bool IsSeparator(char ch) {
    return ch == ',' || ch == ';' || ch == '+';
}

// A small cursor over the text; every Parse* function leaves it behind what it took.
class TNameParser {
public:
    explicit TNameParser(std::string_view text) : text_(text) {}

    std::optional<std::vector<TnbNameRdn>> Parse() {
        std::vector<TnbNameRdn> rdns(1);
        for (;;) {
            TnbNameAttribute attribute;
            if (!ParseAttribute(attribute))
                return std::nullopt;
            rdns.back().push_back(std::move(attribute));
            SkipBlanks();
            if (AtEnd())
                return rdns;
            const char separator = text_[pos_++];
            if (separator != '+')
                rdns.emplace_back();
        }
    }

private:
    bool AtEnd() const { return pos_ >= text_.size(); }

    void SkipBlanks() {
        while (!AtEnd() && IsBlank(text_[pos_]))
            ++pos_;
    }

    bool ParseAttribute(TnbNameAttribute& attribute) {
        SkipBlanks();
        const std::size_t keyStart = pos_;
        while (!AtEnd() && text_[pos_] != '=' && !IsSeparator(text_[pos_]))
            ++pos_;
        if (AtEnd() || text_[pos_] != '=')
            return false;
        attribute.Key = std::string(Trim(text_.substr(keyStart, pos_ - keyStart)));
        attribute.Nid = KeyNid(attribute.Key);
        if (attribute.Nid == 0)
            return false;
        ++pos_;  // '='
        SkipBlanks();
        return !AtEnd() && text_[pos_] == '"' ? ParseQuoted(attribute.Value)
                                              : ParsePlain(attribute.Value);
    }

    bool ParseQuoted(std::string& value) {
        ++pos_;  // opening quote
        for (;;) {
            if (AtEnd())
                return false;  // no closing quote
            const char ch = text_[pos_++];
            if (ch != '"') {
                value += ch;
            } else if (!AtEnd() && text_[pos_] == '"') {
                value += '"';
                ++pos_;
            } else {
                break;
            }
        }
        SkipBlanks();
        return AtEnd() || IsSeparator(text_[pos_]);
    }

    bool ParsePlain(std::string& value) {
        const std::size_t start = pos_;
        while (!AtEnd() && !IsSeparator(text_[pos_])) {
            if (text_[pos_] == '"' || text_[pos_] == '=' || text_[pos_] == '\0')
                return false;
            ++pos_;
        }
        value = std::string(Trim(text_.substr(start, pos_ - start)));
        return true;
    }

    std::string_view text_;
    std::size_t pos_ = 0;
};

}  // namespace

std::optional<std::vector<TnbNameRdn>> ParseX500Name(std::string_view text) {
    if (Trim(text).empty())
        return std::nullopt;
    return TNameParser(text).Parse();
}

bool CertStrToNameW(std::uint32_t encoding, std::string_view text, std::uint32_t strType,
                    TnbByteArray& encoded) {
    (void)encoding;
    (void)strType;
    const auto rdns = ParseX500Name(text);
    if (!rdns) {
        SetLastError(CRYPT_E_INVALID_X500_STRING);
        return false;
    }
    ClearOpenSslErrors();
    TnbX509NamePtr name(X509_NAME_new());
    bool ok = static_cast<bool>(name);
    for (const TnbNameRdn& rdn : *rdns) {
        for (std::size_t i = 0; ok && i < rdn.size(); ++i) {
            const auto& value = rdn[i].Value;
            // set 0 opens a new name part, -1 joins the part of the previous attribute.
            ok = X509_NAME_add_entry_by_NID(name.get(), rdn[i].Nid, MBSTRING_UTF8,
                                            reinterpret_cast<const unsigned char*>(value.data()),
                                            static_cast<int>(value.size()), -1,
                                            i == 0 ? 0 : -1) == 1;
        }
    }
    unsigned char* der = nullptr;
    // A failure here is a value the attribute cannot hold (a country of three letters, a
    // non-ASCII e-mail).
    const int length = ok ? i2d_X509_NAME(name.get(), &der) : -1;
    return TakeDer(length, der, encoded, CRYPT_E_INVALID_X500_STRING);
}

}  // namespace nb
