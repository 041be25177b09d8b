#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "util/nbStream.h"
#include "util/nbUtils.h"

namespace nb {
namespace {

using TLines = std::vector<std::string>;

TLines SplitOnce(std::string_view text) {
    TLines lines;
    TnbStringsUtils utils(lines, "");
    utils.AddTextStr(text, false);
    return lines;
}

// Feeds the chunks the way a reader does: each chunk joins the last line when the previous
// one ended inside a line.
TLines SplitChunks(const std::vector<std::string>& chunks) {
    TLines lines;
    TnbStringsUtils utils(lines, "");
    std::size_t result = 0;
    for (const std::string& chunk : chunks) {
        result = utils.AddTextStr(chunk, result > 0);
    }
    return lines;
}

TEST(StringsUtilsAddText, EachKindOfBreak) {
    EXPECT_EQ(SplitOnce("a\rb\nc\r\nd\n"), (TLines{"a", "b", "c", "d"}));
    // LF CR is two breaks, CR LF one; consecutive breaks give empty lines.
    EXPECT_EQ(SplitOnce("a\n\rb\r\n\r\nc\n\nd"), (TLines{"a", "", "b", "", "c", "", "d"}));
    // NUL ends a line as well.
    EXPECT_EQ(SplitOnce(std::string("a\0b\n", 4)), (TLines{"a", "b"}));
    EXPECT_EQ(SplitOnce(""), TLines{});
    EXPECT_EQ(SplitOnce("\r\n"), TLines{""});
    EXPECT_EQ(SplitOnce("\n"), TLines{""});
    EXPECT_EQ(SplitOnce("\r"), TLines{""});
    // The piece after the last break is a line; nothing follows a final break.
    EXPECT_EQ(SplitOnce("a\r\nb"), (TLines{"a", "b"}));
}

TEST(StringsUtilsAddText, ResultTellsWhetherTheLastLineIsComplete) {
    TLines lines;
    TnbStringsUtils utils(lines, "");
    EXPECT_EQ(utils.AddTextStr("\r\n", false), 0u);
    EXPECT_EQ(utils.AddTextStr("\n", false), 0u);
    EXPECT_EQ(utils.AddTextStr("ab\n", false), 0u);
    EXPECT_EQ(utils.AddTextStr("ab\r\n", false), 0u);
    EXPECT_EQ(utils.AddTextStr("", false), 0u);
    EXPECT_EQ(utils.AddTextStr("USER anna", false), 9u);
    EXPECT_EQ(utils.AddTextStr("x", false), 1u);
    EXPECT_EQ(utils.AddTextStr("\r", false), 1u);  // a CR may still be followed by its LF
    EXPECT_EQ(utils.AddTextStr("ab\r", false), 3u);
    EXPECT_EQ(utils.AddTextStr("a\n\r", false), 3u);  // LF CR: the CR starts a new break
    // The rule looks at the last two characters only: a CR before the last one counts.
    EXPECT_EQ(utils.AddTextStr("ab\rc", false), 0u);
    EXPECT_TRUE(TnbStringsUtils::EndsWithLineBreak("ab\rc"));
    EXPECT_FALSE(TnbStringsUtils::EndsWithLineBreak("ab\n\r"));
}

TEST(StringsUtilsAddText, UnfinishedLineIsJoinedByTheNextChunk) {
    TLines lines{"earlier"};
    TnbStringsUtils utils(lines, "");
    EXPECT_EQ(utils.AddTextStr("USER an", false), 7u);
    EXPECT_EQ(utils.AddTextStr("na\r\nPA", true), 6u);
    EXPECT_EQ(utils.AddTextStr("SS secret\r\n", true), 0u);
    EXPECT_EQ(lines, (TLines{"earlier", "USER anna", "PASS secret"}));
    // addToLast on an empty list simply adds.
    TLines empty;
    TnbStringsUtils first(empty, "");
    first.AddTextStr("x", true);
    EXPECT_EQ(empty, TLines{"x"});
}

TEST(StringsUtilsAddText, CrLfCutAfterTheCrLeavesTheLineUnchanged) {
    EXPECT_EQ(SplitChunks({"USER anna\r", "\nPASS x\r\n"}), (TLines{"USER anna", "PASS x"}));
    EXPECT_EQ(SplitChunks({"USER anna\r", "\n"}), TLines{"USER anna"});
    EXPECT_EQ(SplitChunks({"\r", "\n", "\r", "\n"}), SplitOnce("\r\n\r\n"));
    EXPECT_EQ(SplitOnce("\r\n\r\n"), (TLines{"", ""}));
}

TEST(StringsUtilsAddText, EverySplitOfCrLfAndLfTextGivesTheSameLines) {
    const std::vector<std::string> texts = {
        "USER anna\r\nPASS s3cret\r\nCWD /a b\r\n\r\nLIST\r\n",
        "USER anna\nPASS s3cret\n\nLIST\n",
        "NOOP\r\nSTAT\nQUIT\r\n",
    };
    for (const std::string& text : texts) {
        const TLines whole = SplitOnce(text);
        for (std::size_t cut = 1; cut < text.size(); ++cut) {
            EXPECT_EQ(SplitChunks({text.substr(0, cut), text.substr(cut)}), whole)
                << testing::PrintToString(text) << " cut at " << cut;
        }
        // One byte at a time as well.
        std::vector<std::string> bytes;
        for (char c : text) {
            bytes.emplace_back(1, c);
        }
        EXPECT_EQ(SplitChunks(bytes), whole) << testing::PrintToString(text);
    }
}

TEST(StringsUtilsAddText, LfCrAcrossChunks) {
    // LF at the end of a chunk is complete; the CR that follows is a break of its own.
    EXPECT_EQ(SplitChunks({"a\n", "\rb\n"}), (TLines{"a", "", "b"}));
    // A chunk ending in LF CR waits for a possible LF; the next line then starts a new one.
    EXPECT_EQ(SplitChunks({"a\n\r", "\nb\n"}), (TLines{"a", "", "b"}));
}

TEST(StringsUtilsLoad, BatchSizesGiveTheSameLines) {
    const std::string text = "USER anna\r\nPASS s3cret\r\nRETR a\xC3\xA9\xE2\x82\xAC.txt\r\nQUIT";
    const TLines expected = {"USER anna", "PASS s3cret", "RETR a\xC3\xA9\xE2\x82\xAC.txt", "QUIT"};
    for (std::uint32_t batch = 0; batch <= text.size() + 1; ++batch) {
        TnbMemoryStream stream(text);
        TLines lines;
        TnbStringsUtils utils(lines, "utf-8");
        utils.SetBatchSize(batch);
        // The last line is unfinished, so the result is the length of the last chunk's text.
        EXPECT_GT(utils.LoadFromStream(stream), 0u) << "batch " << batch;
        // A character cut between two chunks is decoded whole.
        EXPECT_EQ(lines, expected) << "batch " << batch;
    }
}

TEST(StringsUtilsLoad, ProgressReportsEveryChunk) {
    TnbMemoryStream stream("0123456789\n");
    TLines lines;
    TnbStringsUtils utils(lines, "");
    utils.SetBatchSize(4);
    std::vector<std::pair<std::int64_t, std::int64_t>> seen;
    utils.OnProgress = [&](TnbStringsUtils& sender, std::int64_t processed, std::int64_t total) {
        EXPECT_EQ(&sender, &utils);
        seen.emplace_back(processed, total);
    };
    EXPECT_EQ(utils.LoadFromStream(stream), 0u);
    EXPECT_EQ(seen,
              (std::vector<std::pair<std::int64_t, std::int64_t>>{{0, 11}, {4, 11}, {8, 11}}));
    EXPECT_EQ(lines, TLines{"0123456789"});
}

TEST(StringsUtilsLoad, StartsAtThePositionAndStopsAtMaxBytes) {
    TnbMemoryStream stream("skip|ab\ncd\nef\ngh\n");
    stream.SetPosition(5);
    TLines lines;
    TnbStringsUtils utils(lines, "");
    utils.SetBatchSize(4);
    // maxBytes 5 reads one chunk of 4 and then only the 1 byte still allowed.
    EXPECT_EQ(utils.LoadFromStream(stream, false, 5), 1u);  // "d" joined "c"
    EXPECT_EQ(lines, (TLines{"ab", "cd"}));
    EXPECT_EQ(stream.GetPosition(), 10);
    // An empty rest adds nothing.
    TnbMemoryStream empty;
    EXPECT_EQ(utils.LoadFromStream(empty), 0u);
    EXPECT_EQ(lines.size(), 2u);
}

TEST(StringsUtilsLoad, NulBytesBecomeBlanksAndNothingAfterThemIsLost) {
    TnbMemoryStream stream(std::string("US\0ER a\r\nNOOP\r\n", 15));
    TLines lines;
    TnbStringsUtils utils(lines, "utf-8");
    utils.SetBatchSize(3);
    utils.LoadFromStream(stream);
    EXPECT_EQ(lines, (TLines{"US ER a", "NOOP"}));
}

TEST(StringsUtilsLoad, DecodesInTheCharSet) {
    TnbMemoryStream stream("\xC1\xC2\r\n");  // koi8-r "аб"
    TLines lines;
    TnbStringsUtils utils(lines, "KOI8-R");
    utils.SetBatchSize(1);
    utils.LoadFromStream(stream);
    EXPECT_EQ(lines, TLines{"\xD0\xB0\xD0\xB1"});
}

TEST(StringsUtilsLoad, StreamEndingInsideACharacterStillEndsTheText) {
    TnbMemoryStream stream("ok\n\xE2\x82");
    TLines lines;
    TnbStringsUtils utils(lines, "utf-8");
    utils.SetBatchSize(1);
    EXPECT_GT(utils.LoadFromStream(stream), 0u);
    EXPECT_EQ(lines, (TLines{"ok", "\xC2\x80"}));
}

}  // namespace
}  // namespace nb
