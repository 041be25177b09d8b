#include "tls/nbSspi.h"

#include <openssl/err.h>

#include <cstdio>
#include <string_view>

#include "util/nbUtils.h"

namespace nb {

namespace {

struct TErrorText {
    std::int32_t Code;
    const char* Text;
};

// The library's own codes. Codes -7, -8 and -10 have no text and are asked of the table below
// like any other code.
constexpr TErrorText kLibraryTexts[] = {
    {nbSspiErrLoadLibrary, "Could not load the dll (schannel.dll, security.dll or secur32.dll)"},
    {nbSspiErrNoInitRoutine, "Could not get security initialization routine"},
    {nbSspiErrInitPackage, "Could not initialize the security package"},
    {nbSspiErrAcquireCredentials, "AcquireCredentials failed"},
    {nbSspiErrNoPackage, "None of needed security package was found"},
    {nbSspiErrQueryPackage, "Could not query package information"},
    {nbSspiErrLocalCertificate, "Error querying local certificate"},
    {nbSspiErrServerCredentials, "Error occured when authenticating server credentials"},
    {nbSspiErrNotSupported, "Not supported"},
    {nbSspiErrOutOfMemory, "Out of memory"},
};

// The platform's texts of the codes this layer produces, in its own wording (full stops and
// all; PlatformErrorText trims them as the system's texts are trimmed).
constexpr TErrorText kPlatformTexts[] = {
    {SEC_E_OK, "The operation completed successfully.\r\n"},
    {SEC_I_CONTINUE_NEEDED,
     "The function completed successfully, but must be called again to complete the context"},
    {SEC_I_COMPLETE_NEEDED,
     "The function completed successfully, but CompleteToken must be called"},
    {SEC_I_CONTEXT_EXPIRED, "The context has expired and can no longer be used."},
    {SEC_I_INCOMPLETE_CREDENTIALS,
     "The credentials supplied were not complete, and could not be verified. The context could "
     "not be initialized."},
    {SEC_I_RENEGOTIATE, "The context data must be renegotiated with the peer."},
    {SEC_E_INSUFFICIENT_MEMORY, "Not enough memory is available to complete this request"},
    {SEC_E_INVALID_HANDLE, "The handle specified is invalid"},
    {SEC_E_UNSUPPORTED_FUNCTION, "The function requested is not supported"},
    {SEC_E_INTERNAL_ERROR, "The Local Security Authority cannot be contacted"},
    {SEC_E_SECPKG_NOT_FOUND, "The requested security package does not exist"},
    {SEC_E_INVALID_TOKEN, "The token supplied to the function is invalid"},
    {SEC_E_UNKNOWN_CREDENTIALS, "The credentials supplied to the package were not recognized"},
    {SEC_E_NO_CREDENTIALS, "No credentials are available in the security package"},
    {SEC_E_MESSAGE_ALTERED, "The message or signature supplied for verification has been altered"},
    {SEC_E_OUT_OF_SEQUENCE, "The message supplied for verification is out of sequence"},
    {SEC_E_CONTEXT_EXPIRED, "The context has expired and can no longer be used."},
    {SEC_E_INCOMPLETE_MESSAGE,
     "The supplied message is incomplete. The signature was not verified."},
    {SEC_E_BUFFER_TOO_SMALL, "The buffers supplied to a function was too small."},
    {SEC_E_WRONG_PRINCIPAL, "The target principal name is incorrect."},
    {SEC_E_UNTRUSTED_ROOT, "The certificate chain was issued by an authority that is not trusted."},
    {SEC_E_ILLEGAL_MESSAGE, "The message received was unexpected or badly formatted."},
    {SEC_E_CERT_UNKNOWN, "An unknown error occurred while processing the certificate."},
    {SEC_E_CERT_EXPIRED, "The received certificate has expired."},
    {SEC_E_ENCRYPT_FAILURE, "The specified data could not be encrypted."},
    {SEC_E_DECRYPT_FAILURE, "The specified data could not be decrypted."},
    {SEC_E_ALGORITHM_MISMATCH,
     "The client and server cannot communicate, because they do not possess a common "
     "algorithm."},
    {SEC_E_CERT_WRONG_USAGE, "The certificate is not valid for the requested usage."},
    {SEC_E_UNSUPPORTED_PROTOCOL,
     "The client and server cannot communicate, because they do not possess a common "
     "protocol."},
    {CERT_E_EXPIRED,
     "A required certificate is not within its validity period when verifying against the "
     "current system clock or the timestamp in the signed file."},
    {CERT_E_UNTRUSTEDROOT,
     "A certificate chain processed, but terminated in a root certificate which is not trusted "
     "by the trust provider."},
    {CERT_E_CHAINING, "A certificate chain could not be built to a trusted root authority."},
    {CERT_E_REVOKED, "A certificate was explicitly revoked by its issuer."},
    {CERT_E_CN_NO_MATCH, "The certificate's CN name does not match the passed value."},
    {CERT_E_WRONG_USAGE, "The certificate is not valid for the requested usage."},
    {CRYPT_E_BAD_ENCODE, "An error occurred during encode or decode operation."},
    {CRYPT_E_NOT_FOUND, "Cannot find object or property."},
    {CRYPT_E_EXISTS, "The object or property already exists."},
    {CRYPT_E_NO_KEY_PROPERTY,
     "The certificate does not have a property that references a private key."},
    {CRYPT_E_NO_REVOCATION_CHECK,
     "The revocation function was unable to check revocation for the certificate."},
    {CRYPT_E_INVALID_X500_STRING,
     "The string contains an invalid X500 name attribute key, oid, value or delimiter."},
    {CRYPT_E_ASN1_BADTAG, "ASN1 bad tag value met."},
    {NTE_BAD_KEY, "Bad Key."},
    {NTE_BAD_DATA, "Bad Data."},
    {NTE_BAD_ALGID, "Invalid algorithm specified."},
    {NTE_BAD_FLAGS, "Invalid flags specified."},
    {NTE_NO_KEY, "Key does not exist."},
    {NTE_NO_MEMORY, "Insufficient memory available for the operation."},
    {NTE_EXISTS, "Object already exists."},
    {NTE_PERM, "Access denied."},
    {NTE_BAD_KEYSET, "Keyset does not exist"},
    {NTE_KEYSET_ENTRY_BAD, "Keyset as registered is invalid."},
    {NTE_BAD_KEYSET_PARAM, "The Keyset parameter is invalid."},
    {NTE_FAIL, "An internal error occurred."},
};

const char* FindText(const TErrorText* begin, const TErrorText* end, int code) {
    for (const TErrorText* entry = begin; entry != end; ++entry) {
        if (entry->Code == code)
            return entry->Text;
    }
    return nullptr;
}

// Trailing characters 0 to 32 and full stops dropped one by one, then both ends trimmed.
std::string TrimSystemText(std::string_view text) {
    while (!text.empty() && (static_cast<unsigned char>(text.back()) <= 32 || text.back() == '.')) {
        text.remove_suffix(1);
    }
    return std::string(Trim(text));
}

thread_local std::int32_t lastCryptError = 0;

}  // namespace

std::string PlatformErrorText(int code) {
    const char* text = FindText(std::begin(kPlatformTexts), std::end(kPlatformTexts), code);
    return text ? TrimSystemText(text) : std::string();
}

std::pair<std::string, bool> GetSspiErrorText(int code) {
    if (const char* text = FindText(std::begin(kLibraryTexts), std::end(kLibraryTexts), code))
        return {text, true};
    std::string text = PlatformErrorText(code);
    if (!text.empty())
        return {text, true};
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "The unknown error was occured: %x",
                  static_cast<unsigned>(code));
    return {buffer, false};
}

void RaiseSspiError(int status, int fallbackCode) {
    auto [text, known] = GetSspiErrorText(status);
    if (!known)
        text = GetSspiErrorText(fallbackCode).first;
    throw EnbSSPIError(text, status);
}

std::string GetCryptErrorText(int code, const std::string& functionName) {
    std::string text = PlatformErrorText(code);
    if (!text.empty())
        return text;
    return functionName + " error - " + std::to_string(code);
}

void RaiseCryptError(const std::string& functionName) {
    const std::int32_t code = GetLastError();
    throw EnbCryptError(GetCryptErrorText(code, functionName), code);
}

std::int32_t GetLastError() {
    return lastCryptError;
}

void SetLastError(std::int32_t code) {
    lastCryptError = code;
}

void ClearOpenSslErrors() {
    ERR_clear_error();
}

// ---- TnbSspi ----

TnbProviderLoader DefaultProviderLoader() {
    return [] {
        TnbProviderModule module;
        module.Loaded = true;
        module.InitSecurityInterface = &OpenSslSecurityInterface;
        return module;
    };
}

TnbSspi::TnbSspi(TnbProviderLoader loader) : loader_(std::move(loader)) {}

TnbSspi::~TnbSspi() = default;

const TnbSecurityFunctionTable& TnbSspi::GetFunctionTable() {
    if (!functionTable_)
        LoadProvider();
    return *functionTable_;
}

void TnbSspi::LoadProvider() {
    providerLibrary_.reset();
    auto module = std::make_unique<TnbProviderModule>(loader_ ? loader_() : TnbProviderModule{});
    if (!module->Loaded)
        RaiseSspiCode(nbSspiErrLoadLibrary);
    providerLibrary_ = std::move(module);
    if (!providerLibrary_->InitSecurityInterface)
        RaiseSspiCode(nbSspiErrNoInitRoutine);
    const TnbSecurityFunctionTable* table = providerLibrary_->InitSecurityInterface();
    if (!table)
        RaiseSspiCode(nbSspiErrInitPackage);
    functionTable_ = table;
}

}  // namespace nb
