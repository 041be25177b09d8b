// Inputs the fuzzers found that broke an address property, kept as plain cases.
#include <gtest/gtest.h>

#include "net/nbIpAddress.h"

namespace nb {
namespace {

// The IPv4 block keeps its port whatever its address part holds: a port set on an address that
// has none yet (fresh, cleared, or after a refused Parse) must not be dropped silently.
TEST(FuzzRegression, IPv4PortIsKeptWithoutAnAddress) {
    TnbIPAddress4 fresh;
    fresh.SetPort(2121);
    EXPECT_EQ(fresh.GetPort(), 2121);

    TnbIPAddress4 refused;
    EXPECT_FALSE(refused.Parse("192\x01.1600.0"));
    refused.SetPort(21);
    EXPECT_EQ(refused.GetPort(), 21);

    TnbIPAddress4 parsed;
    ASSERT_TRUE(parsed.Parse("127.0.0.1"));
    parsed.SetPort(65535);
    EXPECT_EQ(parsed.GetPort(), 65535);
    EXPECT_EQ(parsed.ToString(), "127.0.0.1");
}

}  // namespace
}  // namespace nb
