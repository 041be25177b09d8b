// TnbFtpServer: commands about one file's facts beyond RFC 959: MFMT (set the modification time,
// draft-somers-ftp-mfxx) and HASH (a digest of the content, draft-bryan-ftpext-hash).
#include <openssl/evp.h>

#include <memory>
#include <vector>

#include "ftp/nbFtpMachineList.h"
#include "ftp/nbFtpPath.h"
#include "ftp/nbFtpServer.h"
#include "ftp/nbFtpServerInternal.h"
#include "util/nbLimits.h"

namespace nb {

using namespace ftp_internal;

namespace {

struct TDigestFree {
    void operator()(EVP_MD_CTX* context) const noexcept { EVP_MD_CTX_free(context); }
};

// The digest of a HASH algorithm name, or nullptr.
const EVP_MD* DigestOf(const std::string& algorithm) {
    if (algorithm == "SHA-256")
        return EVP_sha256();
    if (algorithm == "SHA-1")
        return EVP_sha1();
    if (algorithm == "MD5")
        return EVP_md5();
    return nullptr;
}

// Hex digest of the stream from its start to its end, read block by block.
std::string HashStream(TnbStream& stream, const EVP_MD* digest) {
    std::unique_ptr<EVP_MD_CTX, TDigestFree> context(EVP_MD_CTX_new());
    if (!context || EVP_DigestInit_ex(context.get(), digest, nullptr) != 1)
        throw std::runtime_error("digest unavailable");
    std::vector<unsigned char> block(static_cast<std::size_t>(kFtpHashReadBlock));
    stream.SetPosition(0);
    for (;;) {
        const std::int64_t n = stream.Read(block.data(), kFtpHashReadBlock);
        if (n <= 0)
            break;
        if (EVP_DigestUpdate(context.get(), block.data(), static_cast<std::size_t>(n)) != 1)
            throw std::runtime_error("digest failed");
    }
    unsigned char value[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(context.get(), value, &length) != 1)
        throw std::runtime_error("digest failed");
    static const char kHex[] = "0123456789abcdef";
    std::string hex;
    for (unsigned int i = 0; i < length; ++i) {
        hex += kHex[value[i] >> 4];
        hex += kHex[value[i] & 15];
    }
    return hex;
}

}  // namespace

bool TnbFtpServer::IsHashAlgorithm(const std::string& algorithm) {
    return DigestOf(algorithm) != nullptr;
}

void TnbFtpServer::CmdMfmt(TnbFtpCommandConnection& c, const std::string& cmd,
                           const TnbTcpCommandParams& p) {
    CheckSession(c, cmd);
    // "MFMT YYYYMMDDHHMMSS path": the path is the rest, blanks and all.
    const std::string argument = Trimmed(p.Params);
    const auto blank = argument.find(' ');
    if (blank == std::string::npos)
        RaiseInvalidArgument(cmd);
    const std::string stamp = argument.substr(0, blank);
    const std::string name = Trimmed(argument.substr(blank + 1));
    const auto time = ParseMachineTime(stamp);
    if (!time || name.empty())
        RaiseInvalidArgument(cmd);
    CheckPermission(c, cmd, TnbFtpServerPermission::spUpload, name);
    const std::string full = FullFilePath(c, cmd, name);
    bool success = true;
    std::string message;
    DoSetModifiedTime(c, full, *time, success, message);
    if (!success)
        RaiseFileError(cmd, name, message);
    Reply(c, cmd,
          "213 Modify=" + FormatMachineTime(TnbDateTime::FromUtcTime(*time)) + "; " + Echo(name));
}

void TnbFtpServer::CmdHash(TnbFtpCommandConnection& c, const std::string& cmd,
                           const TnbTcpCommandParams& p) {
    CheckSession(c, cmd);
    const std::string name = Trimmed(p.Params);
    // Reading a file's digest reveals its content as a download would.
    CheckPermission(c, cmd, TnbFtpServerPermission::spDownload, name);
    if (name.empty())
        RaiseInvalidArgument(cmd);
    const std::string full = FullFilePath(c, cmd, name);
    const std::string algorithm = c.HashAlgorithm();
    std::string hex;
    std::int64_t size = 0;
    {
        // A large file takes as long as a download: its worker counts against no other session.
        TnbCommandBlockingSection blocking(*this, c);
        std::unique_ptr<TnbStream> source;
        bool success = true;
        std::string message;
        DoGetFile(c, full, source, success, message);
        if (!success || !source)
            RaiseFileError(cmd, name, message);
        try {
            size = source->GetSize();
            hex = HashStream(*source, DigestOf(algorithm));
        } catch (const EnbTcpCommandServerError&) {
            throw;
        } catch (const std::exception& e) {
            RaiseFileError(cmd, name, e.what());
        }
    }
    // The range names the bytes hashed, first and last; an empty file has none, and 0-0 is
    // what clients read for it.
    const std::int64_t last = size > 0 ? size - 1 : 0;
    Reply(c, cmd, "213 " + algorithm + " 0-" + std::to_string(last) + " " + hex + " " + Echo(name));
}

void TnbFtpServer::DoSetModifiedTime(TnbFtpCommandConnection& AConnection,
                                     const std::string& AFileName, std::time_t AModifiedTime,
                                     bool& Success, std::string& AErrorMessage) {
    if (OnSetModifiedTime) {
        OnSetModifiedTime(*this, AConnection, AFileName, AModifiedTime, Success, AErrorMessage);
    } else {
        Success = false;  // nobody changed anything
    }
}

}  // namespace nb
