// The OpenSSL provider of nbSspi: the function table the handshake engine calls.
#include "tls/nbSspi.h"

namespace nb {

namespace {

SECURITY_STATUS EnumeratePackages(std::vector<TnbSecPkgInfo>& packages) {
    packages = {{"Microsoft Unified Security Protocol Provider"}};
    return SEC_E_OK;
}

}  // namespace

const TnbSecurityFunctionTable* OpenSslSecurityInterface() {
    static const TnbSecurityFunctionTable table{
        &EnumeratePackages,
        nullptr,
        nullptr,
        nullptr,
        nullptr,
        nullptr,
        nullptr,
        nullptr,
        nullptr,
        nullptr,
        nullptr,
    };
    return &table;
}

}  // namespace nb
