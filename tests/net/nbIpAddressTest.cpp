#include "net/nbIpAddress.h"

#include <gtest/gtest.h>

#include <array>

#include "net/nbSocketUtils.h"

namespace nb {
namespace {

// Restores the IPv6 probe however a test ends.
class TIPv6Override {
public:
    explicit TIPv6Override(bool value) { SetIPv6AvailableOverride(value); }
    ~TIPv6Override() { SetIPv6AvailableOverride(std::nullopt); }
};

int ErrorCodeOf(const std::function<void()>& action) {
    try {
        action();
    } catch (const EnbSocketError& e) {
        return e.ErrorCode;
    }
    return 0;
}

std::string Groups(std::array<unsigned, 8> groups) {
    unsigned char bytes[16];
    for (int i = 0; i < 8; ++i) {
        bytes[2 * i] = static_cast<unsigned char>(groups[i] >> 8);
        bytes[2 * i + 1] = static_cast<unsigned char>(groups[i] & 0xFF);
    }
    return FormatIPv6Address(bytes);
}

TEST(IPv6Text, CompressesOnlyTheFirstRunLongerThanOneGroup) {
    EXPECT_EQ(Groups({0x2001, 0xdb8, 0, 0, 0, 0, 0, 1}), "2001:DB8::1");
    EXPECT_EQ(Groups({1, 0, 2, 0, 0, 0, 0, 3}), "1:0:2:0:0:0:0:3");
    EXPECT_EQ(Groups({0, 0, 0, 0, 0, 0, 0, 0}), "::");
    EXPECT_EQ(Groups({0, 0, 0, 0, 0, 0, 0, 1}), "::1");
    EXPECT_EQ(Groups({0x2001, 0xdb8, 0, 0, 0, 0, 0, 0}), "2001:DB8::");
    EXPECT_EQ(Groups({0xfe80, 0, 0, 0, 0xabcd, 0, 0, 0}), "FE80::ABCD:0:0:0");
    EXPECT_EQ(Groups({1, 2, 3, 4, 5, 6, 7, 0}), "1:2:3:4:5:6:7:0");
}

TEST(TnbIPAddress4Test, ParsesDottedTextAndRefusesTheBroadcastAddress) {
    TnbIPAddress4 address;
    ASSERT_TRUE(address.Parse("192.168.1.20"));
    EXPECT_EQ(address.GetFamily(), nbAfInet);
    EXPECT_EQ(address.ToString(), "192.168.1.20");
    EXPECT_EQ(address.GetSockAddrLength(), 16);
    EXPECT_FALSE(address.Parse("255.255.255.255"));
    EXPECT_FALSE(address.Parse("not an address"));
    EXPECT_FALSE(address.Parse("::1"));
}

TEST(TnbIPAddress4Test, FamilyOtherThanIPv4IsRefused) {
    TnbIPAddress4 address;
    EXPECT_EQ(ErrorCodeOf([&] { address.SetFamily(nbAfInet6); }), nbErrInvalidFamily);
    address.SetAnyAddress(nbAfInet);
    EXPECT_EQ(address.ToString(), "0.0.0.0");
}

TEST(TnbIPAddressPorts, OutOfRangePortsRaiseInvalidPortNumber) {
    TnbIPAddress4 v4;
    v4.SetFamily(nbAfInet);
    EXPECT_EQ(ErrorCodeOf([&] { v4.SetPort(-1); }), nbErrInvalidPort);
    EXPECT_EQ(ErrorCodeOf([&] { v4.SetPort(65536); }), nbErrInvalidPort);
    EXPECT_EQ(ErrorCodeOf([&] { v4.SetPort(70000 + 21); }), nbErrInvalidPort);
    v4.SetPort(0);
    EXPECT_EQ(v4.GetPort(), 0);
    v4.SetPort(65535);
    EXPECT_EQ(v4.GetPort(), 65535);

    TnbIPAddress6 v6;
    EXPECT_EQ(ErrorCodeOf([&] { v6.SetPort(65536); }), nbErrInvalidPort);
    // A port on an address that holds nothing yet.
    EXPECT_EQ(ErrorCodeOf([&] { v6.SetPort(21); }), nbErrInvalidHost);
}

TEST(TnbIPAddressFactory, ParsesNumericTextOnly) {
    auto v4 = TnbIPAddress::ParseIpAddress("127.0.0.1");
    EXPECT_EQ(v4->GetFamily(), nbAfInet);
    EXPECT_EQ(v4->ToString(), "127.0.0.1");
    EXPECT_EQ(ErrorCodeOf([] { TnbIPAddress::ParseIpAddress("localhost"); }), nbErrInvalidHost);
    EXPECT_EQ(ErrorCodeOf([] { TnbIPAddress::ParseIpAddress(""); }), nbErrInvalidHost);
    EXPECT_TRUE(TnbIPAddress::IsIpAddress("10.0.0.1"));
    EXPECT_FALSE(TnbIPAddress::IsIpAddress(""));
    EXPECT_FALSE(TnbIPAddress::IsIpAddress("ftp.example.com"));

    auto any = TnbIPAddress::CreateBindingIpAddress("", false);
    EXPECT_EQ(any->GetFamily(), nbAfInet);
    EXPECT_EQ(any->ToString(), "0.0.0.0");
}

TEST(TnbIPAddressFactory, ParsesIPv6WhenAvailable) {
    if (!IsIPv6Available())
        GTEST_SKIP() << "no IPv6 on this machine";
    auto address = TnbIPAddress::ParseIpAddress("::1");
    EXPECT_TRUE(address->IsIPv6());
    EXPECT_EQ(address->GetFamily(), nbAfInet6);
    EXPECT_EQ(address->ToString(), "::1");
    EXPECT_EQ(TnbIPAddress::ParseIpAddress("2001:db8:0:0:0:0:0:1")->ToString(), "2001:DB8::1");
    auto any = TnbIPAddress::CreateBindAll(nbAfInet6);
    EXPECT_EQ(any->ToString(), "::");
    any->SetPort(2121);
    EXPECT_EQ(any->GetPort(), 2121);
}

TEST(TnbIPAddressFactory, WithoutIPv6FallsBackToTheIPv4Class) {
    TIPv6Override noIPv6(false);
    EXPECT_EQ(ErrorCodeOf([] { TnbIPAddress::ParseIpAddress("::1"); }), nbErrInvalidHost);
    EXPECT_EQ(ErrorCodeOf([] { TnbIPAddress::CreateBindAll(nbAfInet6); }), nbErrInvalidFamily);
    auto address = TnbIPAddress::ParseIpAddress("127.0.0.1");
    EXPECT_FALSE(address->IsIPv6());
}

TEST(TnbIPAddress4Test, PrivateAddressTable) {
    const std::pair<const char*, bool> cases[] = {
        {"10.1.2.3", true},     {"192.168.0.1", true}, {"172.16.0.1", true},
        {"172.31.255.1", true}, {"172.15.0.1", false}, {"172.32.0.1", false},
        {"172.x.0.1", false},   {"127.0.0.1", false},  {"8.8.8.8", false},
        {"192.169.0.1", false}, {"100.64.0.1", false}, {"", false},
    };
    for (const auto& [text, isPrivate] : cases) {
        EXPECT_EQ(TnbIPAddress4::IsPrivateAddress(text), isPrivate) << text;
    }
}

TEST(TnbHostResolverTest, NumericAddressIsReturnedWithoutLookup) {
    EXPECT_EQ(TnbHostResolver::GetHostIP("192.0.2.7", false), "192.0.2.7");
    TnbHostResolver4 v4;
    EXPECT_EQ(v4.Resolve("192.0.2.8"), "192.0.2.8");
}

TEST(TnbHostResolverTest, LocalhostResolvesOnBothResolvers) {
    TnbHostResolver4 v4;
    EXPECT_EQ(v4.Resolve("localhost"), "127.0.0.1");
    std::vector<std::string> all;
    v4.ResolveAll("localhost", all);
    ASSERT_FALSE(all.empty());
    EXPECT_EQ(all.front(), "127.0.0.1");

    TnbHostResolver6 v6(false);
    EXPECT_EQ(v6.Resolve("localhost"), "127.0.0.1");
}

TEST(TnbHostResolverTest, OverrunLookupIsAbandonedSafely) {
    for (int i = 0; i < 3; ++i) {
        TnbHostResolver4 resolver;
        resolver.SetTimeOut(0);
        try {
            // Either the helper thread wins the race or the wait gives up; both must be clean,
            // and a helper that finishes after the resolver is gone must touch nothing freed.
            EXPECT_EQ(resolver.Resolve("localhost"), "127.0.0.1");
        } catch (const EnbSocketError& e) {
            EXPECT_EQ(e.ErrorCode, nbErrTimeout);
        }
    }
}

}  // namespace
}  // namespace nb
