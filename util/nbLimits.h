// Every limit the server applies to what peers and hosts send, each with its reason.
// A limit is enforced where the input enters and has a test of its own.
#pragma once

#include <cstddef>
#include <cstdint>

namespace nb {}  // namespace nb
