// Shared by the TLS test programs: the private key store every test uses (NORBIT_KEYS_DIR
// and HOME point below a temporary directory, so no test touches the real home), and one
// server certificate made once per program, because making an RSA key takes a while.
#pragma once

#include <memory>
#include <string>

#include "tls/nbCertificate.h"

namespace nb::test {

// The temporary directory of this program's key store (the value of NORBIT_KEYS_DIR).
const std::string& TestKeysDir();
// "CN=localhost, O=Norbit Test": key usage and server authentication, valid from yesterday for
// a year, made once.
std::shared_ptr<TnbCertificate> SharedServerCertificate();
// Every file and directory below path removed, path included.
void RemoveTree(const std::string& path);

}  // namespace nb::test
