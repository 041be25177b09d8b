// Loopback helpers for the server tests: a blocking client written directly against POSIX
// sockets (so it shares no code with what it tests), a free-port finder, a descriptor count and
// a bounded wait for a condition.
#pragma once

#include <arpa/inet.h>
#include <dirent.h>
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

// A blocking loopback client (see nbTestLoopback.h).
using TTestClient = TLoopbackClient;

}  // namespace nb::test
