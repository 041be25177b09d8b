#include "util/nbUtils.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "util/nbStream.h"

namespace nb {
namespace {

TEST(Ticks, DifferencesSurviveTheWrap) {
    EXPECT_EQ(TickDelta(0xFFFFFFF0u, 0x10u), 0x20);
    EXPECT_EQ(TickDelta(0x10u, 0xFFFFFFF0u), -0x20);
    EXPECT_EQ(TicksElapsed(0xFFFFFFF0u, 0x10u), 0x20u);
    // A stamp taken after "now" was read is no time at all, not 49 days.
    EXPECT_EQ(TicksElapsed(1005u, 1000u), 0u);
    EXPECT_EQ(TicksElapsed(5u, 0xFFFFFFFBu), 0u);
    EXPECT_EQ(TicksElapsed(7u, 7u), 0u);
}

TEST(Ticks, CountMovesForward) {
    const std::uint32_t start = GetTickCount32();
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_GE(TickDelta(start, GetTickCount32()), 4);
}

TEST(AsciiCase, OnlyAsciiLettersFold) {
    EXPECT_EQ(UpperCaseAscii("retr a\xC3\xA9z{}@[`"), "RETR A\xC3\xA9Z{}@[`");
    EXPECT_EQ(LowerCaseAscii("USER \xC3\x89Z"), "user \xC3\x89z");
    EXPECT_TRUE(SameTextAscii("Anonymous", "aNONYMOUS"));
    EXPECT_FALSE(SameTextAscii("\xC3\xA9", "\xC3\x89"));  // é and É differ: no Unicode folding
    EXPECT_FALSE(SameTextAscii("ab", "abc"));
    EXPECT_LT(CompareTextAscii("abc", "ABD"), 0);
    EXPECT_GT(CompareTextAscii("b", "A"), 0);
    EXPECT_LT(CompareTextAscii("ab", "AbC"), 0);
    EXPECT_EQ(CompareTextAscii("x\xFF", "X\xFF"), 0);
    EXPECT_GT(CompareTextAscii("\xFF", "a"), 0);  // bytes compare unsigned
    EXPECT_TRUE(StartsTextAscii("site", "SITE CHMOD"));
    EXPECT_FALSE(StartsTextAscii("site", "SIT"));
}

TEST(Trim, BlanksAndControlsAtBothEnds) {
    EXPECT_EQ(Trim(" \t\r\nLIST -la \x01\x7F\r\n"), "LIST -la \x01\x7F");
    EXPECT_EQ(TrimLeft("  a "), "a ");
    EXPECT_EQ(TrimRight("  a "), "  a");
    EXPECT_EQ(Trim(" \r\n "), "");
    EXPECT_EQ(Trim("\xC3\xA9"), "\xC3\xA9");  // bytes of UTF-8 characters are kept
}

class CountingData : public TnbBinaryData {
public:
    ~CountingData() override { Clear(); }
    int allocs = 0;
    int frees = 0;

protected:
    void AllocData(std::uint8_t*& data, std::size_t size) override {
        ++allocs;
        TnbBinaryData::AllocData(data, size);
    }
    void FreeData(std::uint8_t*& data) noexcept override {
        ++frees;
        TnbBinaryData::FreeData(data);
    }
};

TEST(BinaryData, AllocateFromBytesAndReduce) {
    CountingData d;
    d.Allocate(0);
    EXPECT_EQ(d.Data(), nullptr);
    EXPECT_EQ(d.allocs, 0);
    d.FromBytes({1, 2, 3, 4, 5}, 1, 3);
    EXPECT_EQ(d.ToBytes(), (TnbByteArray{2, 3, 4}));
    d.FromBytes({1, 2, 3}, 2, 10);  // cut to what the array holds
    EXPECT_EQ(d.ToBytes(), TnbByteArray{3});
    d.FromBytes({1, 2, 3}, 5, 1);  // nothing from there
    EXPECT_EQ(d.DataSize(), 0u);
    EXPECT_EQ(d.Data(), nullptr);
    d.FromBytes({9, 8, 7});
    d.Reduce(5);
    EXPECT_EQ(d.DataSize(), 3u);
    d.Reduce(1);
    EXPECT_EQ(d.ToBytes(), TnbByteArray{9});
    d.Clear();
    EXPECT_EQ(d.allocs, d.frees);  // every buffer went back through the hook
}

TEST(BinaryData, StreamsAndWideText) {
    TnbMemoryStream in("xxhello");
    in.SetPosition(2);
    TnbBinaryData d;
    d.FromStream(in);  // from the position to the end
    EXPECT_EQ(d.DataSize(), 5u);
    in.SetPosition(1);
    d.FromStream(in, 100);
    EXPECT_EQ(d.DataSize(), 6u);
    TnbMemoryStream out;
    d.ToStream(out);
    EXPECT_EQ(out.ToString(), "xhello");

    // "Aé" and U+1F600 in UTF-16LE with a trailing zero unit.
    d.FromBytes({0x41, 0x00, 0xE9, 0x00, 0x3D, 0xD8, 0x00, 0xDE, 0x00, 0x00});
    EXPECT_EQ(d.ToWideString(), "A\xC3\xA9\xF0\x9F\x98\x80");
    d.FromBytes({0x41, 0x00, 0x42});  // an odd byte is not a character
    EXPECT_EQ(d.ToWideString(), "A");
    d.Clear();
    EXPECT_EQ(d.ToWideString(), "");
}

TEST(Words, CountPositionAndExtract) {
    const std::string line = "  -rw-r--r--   1 owner  group  1234 Jan  1 12:00 my file.txt";
    EXPECT_EQ(WordCount(line, " "), 10u);
    EXPECT_EQ(WordPosition(1, line, " "), 3u);
    EXPECT_EQ(WordPosition(9, line, " "), 50u);
    EXPECT_EQ(line.substr(WordPosition(9, line, " ") - 1), "my file.txt");
    EXPECT_EQ(WordPosition(11, line, " "), 0u);
    EXPECT_EQ(WordPosition(0, line, " "), 0u);
    EXPECT_EQ(ExtractWord(5, line, " "), "1234");
    EXPECT_EQ(ExtractWord(11, line, " "), "");
    EXPECT_EQ(ExtractWord(2, "12:30:45", ":"), "30");
    EXPECT_EQ(WordCount("", " "), 0u);
    EXPECT_EQ(WordCount("   ", " "), 0u);
    EXPECT_EQ(WordCount("a,b;;c", ",;"), 3u);
    EXPECT_TRUE(CharInSet(';', ",;"));
    EXPECT_FALSE(CharInSet('a', ""));
}

TEST(Words, RTextPosAndIndexOfText) {
    EXPECT_EQ(RTextPos("ab", "xAbyabz"), 5u);
    EXPECT_EQ(RTextPos("AB", "xAbyabz", 4), 2u);  // must start at or before 4
    EXPECT_EQ(RTextPos("ab", "xAbyabz", 5), 5u);
    EXPECT_EQ(RTextPos("ab", "xAbyabz", 1), 0u);
    EXPECT_EQ(RTextPos("ab", "xAbyabz", 0), 0u);
    EXPECT_EQ(RTextPos("ab", "xAbyabz", 100), 5u);
    EXPECT_EQ(RTextPos("ab", ""), 0u);
    EXPECT_EQ(RTextPos("", "abc"), 0u);
    EXPECT_EQ(RTextPos("abcd", "abc"), 0u);
    EXPECT_EQ(RTextPos("->", "link -> target -> x"), 16u);
    const std::vector<std::string> names = {"USER", "Pass", "list"};
    EXPECT_EQ(IndexOfText("pass", names), 1);
    EXPECT_EQ(IndexOfText("LIST", names), 2);
    EXPECT_EQ(IndexOfText("LIS", names), -1);
    EXPECT_EQ(IndexOfText("x", {}), -1);
}

TEST(Paths, TrailingCharacters) {
    EXPECT_EQ(AddTrailingSlash(""), "");
    EXPECT_EQ(AddTrailingSlash("/srv"), "/srv/");
    EXPECT_EQ(AddTrailingSlash("/srv/"), "/srv/");
    EXPECT_EQ(RemoveTrailingChar("/srv//", '/'), "/srv/");
    EXPECT_EQ(RemoveTrailingChar("", '/'), "");
    EXPECT_EQ(RemoveTrailingChar("abc", '/'), "abc");
}

TEST(Paths, ExpandFileNameIsLexical) {
    EXPECT_EQ(ExpandFileName("/srv/./ftp/../ftp/pub/"), "/srv/ftp/pub");
    EXPECT_EQ(ExpandFileName("/../.."), "/");
    EXPECT_EQ(ExpandFileName("/"), "/");
    EXPECT_EQ(ExpandFileName("/srv//ftp"), "/srv/ftp");
    const std::string cwd = std::filesystem::current_path().string();
    EXPECT_EQ(ExpandFileName(""), cwd);
    EXPECT_EQ(ExpandFileName("."), cwd);
    EXPECT_EQ(ExpandFileName("sub/.."), cwd);
    EXPECT_EQ(ExpandFileName("x"), AddTrailingSlash(cwd == "/" ? "" : cwd) + "x");
    // Links are not followed: the text decides.
    EXPECT_EQ(ExpandFileName("/proc/self/../x"), "/proc/x");
}

TEST(Paths, MakeFullPath) {
    EXPECT_EQ(MakeFullPath(""), ".");
    EXPECT_EQ(MakeFullPath("/srv/ftp/"), "/srv/ftp");
    EXPECT_EQ(MakeFullPath("/srv/ftp/.."), "/srv/ftp/..");  // not expanded without a name
    EXPECT_EQ(MakeFullPath("/"), "/");
    EXPECT_EQ(MakeFullPath("/srv/ftp", "pub/a.txt"), "/srv/ftp/pub/a.txt");
    EXPECT_EQ(MakeFullPath("/srv/ftp/", "pub/"), "/srv/ftp/pub");
    EXPECT_EQ(MakeFullPath("/srv/ftp", "a/../b"), "/srv/ftp/b");
    EXPECT_EQ(MakeFullPath("/srv/ftp", "../../.."), "/");
    EXPECT_EQ(MakeFullPath("/", "x"), "/x");
    EXPECT_EQ(MakeFullPath("/srv", "/etc"), "/srv/etc");  // a leading "/" stays below path
    const std::string cwd = std::filesystem::current_path().string();
    EXPECT_EQ(MakeFullPath("", "x"), (cwd == "/" ? "" : cwd) + "/x");
}

TEST(Hex, BytesToHexAndBack) {
    EXPECT_EQ(BytesToHex(TnbByteArray{0x00, 0x0A, 0xBC, 0xFF}), "000ABCFF");
    EXPECT_EQ(BytesToHex(nullptr, 0), "");
    EXPECT_EQ(HexToBytes("ABC"), (TnbByteArray{0x0A, 0xBC}));
    EXPECT_EQ(HexToBytes("00ff7f"), (TnbByteArray{0x00, 0xFF, 0x7F}));
    EXPECT_EQ(HexToBytes(""), TnbByteArray{});
    EXPECT_THROW(HexToBytes("0G"), EnbConvertError);
    EXPECT_THROW(HexToBytes("12 4"), EnbConvertError);
    EXPECT_THROW(HexToBytes("-1"), EnbConvertError);
    EXPECT_EQ(ReverseBytes({0x78, 0x56, 0x34, 0x12}), (TnbByteArray{0x12, 0x34, 0x56, 0x78}));
    EXPECT_EQ(ReverseBytes({}), TnbByteArray{});
}

TEST(ClientText, EchoesAreShortenedWithoutSplittingACharacter) {
    struct Case {
        std::string text;
        std::size_t max;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {"abc", 3, "abc"},
        {"abcd", 3, "abc..."},
        {"", 0, ""},
        // "\xC3\xA9" is one character: it goes whole or not at all.
        {"a\xC3\xA9z", 2, "a..."},
        {"a\xC3\xA9z", 3, "a\xC3\xA9..."},
        // Bytes that start no character count one by one.
        {"\xFF\xFF\xFF", 2, "\xFF\xFF..."},
        {std::string(600, 'x'), 512, std::string(512, 'x') + "..."},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ShortenText(c.text, c.max), c.expected) << c.text.size() << " " << c.max;
}

TEST(ClientText, ControlsAreEscapedSoNoLogLineOrTerminalSequenceCanBeForged) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"plain name.txt", "plain name.txt"},
        {"\x1b[2J\x1b]0;owned\x07", "\\x1b[2J\\x1b]0;owned\\x07"},
        {"a\r\nReply: 230 forged", "a\\r\\nReply: 230 forged"},
        {"tab\there", "tab\\there"},
        {std::string("nul\0", 4), "nul\\x00"},
        {"del\x7f", "del\\x7f"},
        // A backslash is doubled, so a literal "\x1b" in a name stays tellable from ESC.
        {"\\x1b", "\\\\x1b"},
        // UTF-8 letters stay; the C1 control CSI (U+009B) and stray bytes do not.
        {"\xC3\xA9t\xC3\xA9 \xE2\x82\xAC", "\xC3\xA9t\xC3\xA9 \xE2\x82\xAC"},
        {"\xC2\x9B" "2J", "\\xc2\\x9b" "2J"},
        {"\x9b" "2J", "\\x9b" "2J"},
        {"cut \xE2\x82", "cut \\xe2\\x82"},
        {"\xED\xA0\x80", "\\xed\\xa0\\x80"},  // a surrogate is no character
    };
    for (const auto& [text, expected] : cases)
        EXPECT_EQ(EscapeControls(text), expected) << expected;
}

}  // namespace
}  // namespace nb
