// The server certificate an operator supplies as PEM files (a CA's certificate, e.g. Let's
// Encrypt's fullchain.pem and privkey.pem), served in place of the self-signed one.
//
// Threads: a loaded certificate is immutable; handshakes on several workers share it, and a
// reload replaces the whole object (handshakes under way keep the old one).
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "tls/nbCertificate.h"

namespace nb {

struct TnbServerCertificate {
    std::shared_ptr<TnbCertificate> Leaf;                // carries the private key
    std::vector<std::shared_ptr<TnbCertificate>> Chain;  // the intermediates, in file order
};

// Reads the certificate file (leaf first, then its chain) and the private key file, and
// checks that the key is the leaf's. Raises std::runtime_error naming the file and the reason.
std::shared_ptr<const TnbServerCertificate> LoadCertificateFiles(const std::string& ACertPath,
                                                                 const std::string& AKeyPath);

}  // namespace nb
