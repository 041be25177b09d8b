// Key containers of nbCryptAPI: the directories below the key store and their key files.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "tls/nbCryptAPI.h"
#include "tls/nbSspi.h"

namespace nb {

namespace {

constexpr const char* kKeyFileName = "key.pem";
constexpr const char* kKeyTempName = "key.pem.tmp";
constexpr std::size_t kMaxFileName = 255;
constexpr int kDefaultKeyBits = 2048;

bool Fail(std::int32_t code) {
    SetLastError(code);
    return false;
}

bool FailErrno() {
    return Fail(KeyStoreErrorCode(errno));
}

// RAII for a file descriptor.
class TFd {
public:
    explicit TFd(int fd) : fd_(fd) {}
    ~TFd() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    TFd(const TFd&) = delete;
    TFd& operator=(const TFd&) = delete;
    int Get() const { return fd_; }
    int Release() {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }

private:
    int fd_;
};

// SECURITY: a container or key file must be ours and closed to everyone else; anything else
// was made or changed by another user and is not trusted with a key.
bool OwnedAndPrivate(const struct stat& info) {
    return info.st_uid == ::geteuid() && (info.st_mode & 077) == 0;
}

// Makes each missing directory of path with mode 0700.
bool MakeDirectories(const std::string& path) {
    std::string partial;
    std::size_t start = 0;
    while (start <= path.size()) {
        const std::size_t slash = path.find('/', start);
        const std::size_t end = slash == std::string::npos ? path.size() : slash;
        partial = path.substr(0, end);
        if (!partial.empty() && ::mkdir(partial.c_str(), 0700) != 0 && errno != EEXIST)
            return FailErrno();
        if (slash == std::string::npos)
            break;
        start = slash + 1;
    }
    return true;
}

bool ContainerDirectory(std::string_view container, std::string& directory) {
    const std::string encoded = EncodeContainerName(container);
    if (encoded.empty())
        return Fail(NTE_BAD_KEYSET_PARAM);
    const std::string root = KeyStoreDirectory();
    if (root.empty())
        return Fail(NTE_BAD_KEYSET);
    directory = root + "/" + encoded;
    return true;
}

bool CheckContainer(const std::string& directory) {
    struct stat info {};
    if (::lstat(directory.c_str(), &info) != 0)
        return FailErrno();
    if (!S_ISDIR(info.st_mode) || !OwnedAndPrivate(info))
        return Fail(NTE_KEYSET_ENTRY_BAD);
    return true;
}

bool RemoveContainer(const std::string& directory) {
    for (const char* name : {kKeyFileName, kKeyTempName}) {
        const std::string file = directory + "/" + name;
        if (::unlink(file.c_str()) != 0 && errno != ENOENT)
            return FailErrno();
    }
    if (::rmdir(directory.c_str()) != 0)
        return FailErrno();
    return true;
}

bool ReadKeyFile(const std::string& directory, HCRYPTKEY& key) {
    const std::string path = directory + "/" + kKeyFileName;
    TFd fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (fd.Get() < 0)
        return errno == ENOENT ? Fail(NTE_NO_KEY) : FailErrno();
    struct stat info {};
    if (::fstat(fd.Get(), &info) != 0)
        return FailErrno();
    if (!S_ISREG(info.st_mode) || !OwnedAndPrivate(info))
        return Fail(NTE_KEYSET_ENTRY_BAD);
    FILE* file = ::fdopen(fd.Get(), "r");
    if (!file)
        return FailErrno();
    fd.Release();
    ClearOpenSslErrors();
    EVP_PKEY* loaded = PEM_read_PrivateKey(file, nullptr, nullptr, nullptr);
    std::fclose(file);
    if (!loaded) {
        ClearOpenSslErrors();
        return Fail(NTE_BAD_KEY);
    }
    key = HCRYPTKEY(loaded, TnbOpenSslFree{});
    return true;
}

bool WriteAll(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t written = ::write(fd, data, size);
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        data += written;
        size -= static_cast<std::size_t>(written);
    }
    return true;
}

bool WriteKeyFile(const std::string& directory, EVP_PKEY* key) {
    ClearOpenSslErrors();
    TnbBioPtr pem(BIO_new(BIO_s_mem()));
    if (!pem ||
        PEM_write_bio_PKCS8PrivateKey(pem.get(), key, nullptr, nullptr, 0, nullptr, nullptr) != 1) {
        ClearOpenSslErrors();
        return Fail(NTE_FAIL);
    }
    char* data = nullptr;
    const long size = BIO_get_mem_data(pem.get(), &data);
    const std::string temp = directory + "/" + kKeyTempName;
    const std::string final = directory + "/" + kKeyFileName;
    // A temporary file of a crashed earlier attempt is only a half key.
    ::unlink(temp.c_str());
    TFd fd(::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (fd.Get() < 0)
        return FailErrno();
    const bool written =
        WriteAll(fd.Get(), data, static_cast<std::size_t>(size)) && ::fsync(fd.Get()) == 0;
    OPENSSL_cleanse(data, static_cast<std::size_t>(size));
    const bool placed =
        written && ::close(fd.Release()) == 0 && ::rename(temp.c_str(), final.c_str()) == 0;
    if (!placed) {
        const int error = errno;
        ::unlink(temp.c_str());
        return Fail(KeyStoreErrorCode(error));
    }
    // The rename itself is made durable with the directory.
    TFd dir(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.Get() >= 0)
        ::fsync(dir.Get());
    return true;
}

}  // namespace

std::string KeyStoreDirectory() {
    if (const char* dir = std::getenv("NORBIT_KEYS_DIR"); dir && *dir)
        return dir;
    std::string base;
    if (const char* data = std::getenv("XDG_DATA_HOME"); data && *data) {
        base = data;
    } else if (const char* home = std::getenv("HOME"); home && *home) {
        base = std::string(home) + "/.local/share";
    } else {
        return {};
    }
    return base + "/NorbitFtpServerSSL/keys";
}

std::string EncodeContainerName(std::string_view name) {
    if (name.empty() || name == "." || name == "..")
        return {};
    std::string encoded;
    for (const char ch : name) {
        const auto c = static_cast<unsigned char>(ch);
        const bool keep = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                          (c >= '0' && c <= '9') || c == '-' || c == '_' || c == '{' || c == '}' ||
                          c == '.';
        if (keep) {
            encoded += ch;
        } else {
            char hex[4];
            std::snprintf(hex, sizeof hex, "%%%02X", c);
            encoded += hex;
        }
    }
    return encoded.size() <= kMaxFileName ? encoded : std::string();
}

std::int32_t KeyStoreErrorCode(int errnoValue) {
    switch (errnoValue) {
        case ENOENT:
        case ENOTDIR:
            return NTE_BAD_KEYSET;
        case EEXIST:
        case ENOTEMPTY:
            return NTE_EXISTS;
        case EACCES:
        case EPERM:
        case EROFS:
            return NTE_PERM;
        case ENOMEM:
        case ENOSPC:
        case EDQUOT:
            return NTE_NO_MEMORY;
        case ELOOP:
            return NTE_KEYSET_ENTRY_BAD;
        case ENAMETOOLONG:
            return NTE_BAD_KEYSET_PARAM;
        default:
            return NTE_FAIL;
    }
}

bool CryptAcquireContextA(HCRYPTPROV& prov, std::string_view container,
                          std::string_view providerName, std::uint32_t provType,
                          std::uint32_t flags) {
    (void)providerName;
    (void)provType;
    prov.reset();
    std::string directory;
    if (!ContainerDirectory(container, directory))
        return false;
    if (flags & CRYPT_DELETEKEYSET)
        return CheckContainer(directory) && RemoveContainer(directory);
    if (flags & CRYPT_NEWKEYSET) {
        if (!MakeDirectories(KeyStoreDirectory()))
            return false;
        if (::mkdir(directory.c_str(), 0700) != 0)
            return FailErrno();
    }
    if (!CheckContainer(directory))
        return false;
    prov = std::make_unique<TnbCryptProv>(TnbCryptProv{std::string(container), directory});
    return true;
}

bool CryptReleaseContext(HCRYPTPROV& prov, std::uint32_t flags) {
    (void)flags;
    if (!prov)
        return Fail(NTE_BAD_KEYSET_PARAM);
    prov.reset();
    return true;
}

bool CryptGenKey(const HCRYPTPROV& prov, std::uint32_t keySpec, std::uint32_t flags,
                 HCRYPTKEY& key) {
    key.reset();
    if (!prov)
        return Fail(NTE_BAD_KEYSET_PARAM);
    if (keySpec != AT_KEYEXCHANGE && keySpec != AT_SIGNATURE)
        return Fail(NTE_BAD_ALGID);
    int bits = static_cast<int>(flags >> 16);
    if (bits == 0)
        bits = kDefaultKeyBits;
    if (bits < 512 || bits > 16384)
        return Fail(NTE_BAD_FLAGS);
    ClearOpenSslErrors();
    EVP_PKEY* generated = EVP_RSA_gen(static_cast<unsigned>(bits));
    if (!generated) {
        ClearOpenSslErrors();
        return Fail(NTE_FAIL);
    }
    HCRYPTKEY made(generated, TnbOpenSslFree{});
    if (!WriteKeyFile(prov->Directory, made.get()))
        return false;
    key = std::move(made);
    return true;
}

bool CryptGetUserKey(const HCRYPTPROV& prov, std::uint32_t keySpec, HCRYPTKEY& key) {
    key.reset();
    if (!prov)
        return Fail(NTE_BAD_KEYSET_PARAM);
    if (keySpec != AT_KEYEXCHANGE && keySpec != AT_SIGNATURE)
        return Fail(NTE_BAD_ALGID);
    return CheckContainer(prov->Directory) && ReadKeyFile(prov->Directory, key);
}

bool CryptDestroyKey(HCRYPTKEY& key) {
    if (!key)
        return Fail(NTE_BAD_KEY);
    key.reset();
    return true;
}

bool ReadContainerKey(std::string_view container, HCRYPTKEY& key) {
    std::string directory;
    return ContainerDirectory(container, directory) && CheckContainer(directory) &&
           ReadKeyFile(directory, key);
}

}  // namespace nb
