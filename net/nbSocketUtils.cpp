#include "net/nbSocketUtils.h"

#include "net/nbWinSock2.h"

namespace nb {

std::string GetInternalErrorText(int code) {
    switch (code) {
        case nbErrTimeout:
            return "Timeout error occured";
        case nbErrInvalidHost:
            return "Invalid host address";
        case nbErrInvalidPort:
            return "Invalid port number";
        case nbErrInvalidBatchSize:
            return "Invalid Batch Size";
        case nbErrNoNetworkStream:
            return "NetworkStream is required";
        case nbErrNotActive:
            return "The connection to the server is not active";
        case nbErrInvalidFamily:
            return "Invalid address family";
        default:
            return {};
    }
}

void RaiseInternalError(int code) {
    throw EnbSocketError(GetInternalErrorText(code), code);
}

void RaiseSocketError(int code) {
    throw EnbSocketError(GetSystemErrorText(code), code);
}

}  // namespace nb
