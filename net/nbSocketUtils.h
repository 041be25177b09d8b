// The exception of the networking stack and the helpers that raise it.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace nb {

// Internal error codes (negative) with fixed messages; positive codes are Windows Sockets or
// system codes (errno values are mapped to them in one table, see nbWinSock2.h).
inline constexpr int nbErrTimeout = -1;
inline constexpr int nbErrInvalidHost = -2;
inline constexpr int nbErrInvalidPort = -3;
inline constexpr int nbErrInvalidBatchSize = -4;
inline constexpr int nbErrNoNetworkStream = -5;
inline constexpr int nbErrNotActive = -6;
inline constexpr int nbErrInvalidFamily = -7;

class EnbSocketError : public std::runtime_error {
public:
    EnbSocketError(const std::string& message, int errorCode)
        : std::runtime_error(message), ErrorCode(errorCode) {}
    int ErrorCode;
};

// The fixed message of an internal code (empty for an unknown one).
std::string GetInternalErrorText(int code);
// Raises EnbSocketError with an internal code and its fixed message.
[[noreturn]] void RaiseInternalError(int code);
// Raises EnbSocketError with a system (Windows Sockets) code and the system's text for it.
[[noreturn]] void RaiseSocketError(int code);

}  // namespace nb
