// Loopback helpers for the command-server tests: a blocking line client written directly
// against POSIX sockets, a free-port finder and a bounded wait for a condition.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>

#include "tests/common/nbTestLoopback.h"

namespace nb::test {

using namespace std::chrono_literals;

// Upper bound of any single wait; only reached when something is broken.
inline constexpr auto kLimit = 10000ms;

// A blocking line client (see nbTestLoopback.h).
using TLineClient = TLoopbackClient;

}  // namespace nb::test
