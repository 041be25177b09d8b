#include "util/nbStream.h"

#include <gtest/gtest.h>

namespace nb {
namespace {

TEST(MemoryStream, WriteReadSeekAndConsume) {
    TnbMemoryStream s;
    s.WriteString("hello world");
    EXPECT_EQ(s.GetSize(), 11);
    EXPECT_EQ(s.GetPosition(), 11);
    s.SetPosition(6);
    char buf[16] = {};
    EXPECT_EQ(s.Read(buf, sizeof buf), 5);
    EXPECT_STREQ(buf, "world");
    EXPECT_EQ(s.Read(buf, sizeof buf), 0);

    s.Consume(6);
    EXPECT_EQ(s.View(), "world");
    EXPECT_EQ(s.GetPosition(), 5);
    s.Consume(100);
    EXPECT_EQ(s.GetSize(), 0);
}

TEST(MemoryStream, SeekPastEndThenWriteFillsZeros) {
    TnbMemoryStream s("ab");
    s.Seek(2, TnbSeekOrigin::soEnd);
    s.WriteString("c");
    EXPECT_EQ(s.View(), std::string_view("ab\0\0c", 5));
    EXPECT_THROW(s.Seek(-1, TnbSeekOrigin::soBeginning), std::out_of_range);
}

}  // namespace
}  // namespace nb
