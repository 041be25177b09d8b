// How received bytes become command lines: line ends, unfinished lines, blanks, NUL, Telnet
// sequences and the size limits. Driven through a connection's input handler, without sockets.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "command/nbTcpCommandServer.h"
#include "util/nbLimits.h"
#include "util/nbTranslator.h"

namespace nb {
namespace {

class TnbCommandFraming : public ::testing::Test {
protected:
    void SetUp() override { server_.InstallCommandHandler(*connection_); }

    // Appends bytes as one read does and returns the lines taken out as "COMMAND|params".
    std::vector<std::string> Feed(std::string_view bytes, std::int64_t maxDataSize = -1) {
        TnbProcessDataHandler& handler = *connection_->DataHandler();
        handler.Buffer().WriteString(bytes);
        auto context = handler.ParseInput(maxDataSize);
        exceeded_ = context->SizeExceeded();
        std::vector<std::string> lines;
        auto& commands = dynamic_cast<TnbProcessCommandContext&>(*context);
        for (int i = 0; i < commands.Count(); ++i) {
            lines.push_back(commands.Items(i).Command + "|" + commands.Items(i).Params);
        }
        return lines;
    }
    std::int64_t Buffered() { return connection_->DataHandler()->Buffer().GetSize(); }

    using Lines = std::vector<std::string>;
    TnbTcpCommandServer server_;
    std::shared_ptr<TnbCommandConnection> connection_ = std::make_shared<TnbCommandConnection>();
    bool exceeded_ = false;
};

TEST_F(TnbCommandFraming, UpperCasesTheWordAndKeepsParametersVerbatim) {
    EXPECT_EQ(Feed("user Anna Maria\r\n"), Lines{"USER|Anna Maria"});
    EXPECT_EQ(Feed("noop\r\n"), Lines{"NOOP|"});
    // Two blanks after the word: the parameters start with the second one.
    EXPECT_EQ(Feed("cwd  sub dir\r\n"), Lines{"CWD| sub dir"});
    // Only a-z are upper-cased.
    EXPECT_EQ(Feed("x\xc3\xa4y\r\n"), Lines{"X\xc3\xa4Y|"});
}

TEST_F(TnbCommandFraming, LinesWaitForTheirEndAndLeaveTheBufferWhenComplete) {
    EXPECT_TRUE(Feed("NO").empty());
    EXPECT_EQ(Buffered(), 2);
    EXPECT_EQ(Feed("OP\r\n"), Lines{"NOOP|"});
    EXPECT_EQ(Buffered(), 0);

    // A read that ends inside the second line: the first runs now, the second when completed.
    EXPECT_EQ(Feed("A 1\r\nB "), Lines{"A|1"});
    EXPECT_EQ(Feed("2\r\n"), Lines{"B|2"});

    // A line arriving a byte at a time comes out once, whole.
    const std::string line = "STOR " + std::string(3000, 'x');
    for (char c : line)
        EXPECT_TRUE(Feed(std::string(1, c)).empty());
    EXPECT_EQ(Feed("\r\n"), Lines{"STOR|" + std::string(3000, 'x')});
}

TEST_F(TnbCommandFraming, EveryKindOfLineEndEndsALine) {
    EXPECT_EQ(Feed("A\rB\nC\r\nD\n\rE\r\n"), (Lines{"A|", "B|", "C|", "D|", "E|"}));
    // CR LF split between reads gives no empty command.
    EXPECT_EQ(Feed("F\r"), Lines{"F|"});
    EXPECT_TRUE(Feed("\n").empty());
    EXPECT_TRUE(Feed("\r\n").empty());
}

TEST_F(TnbCommandFraming, ByteAfterTheLastLineEndWaitsForTheRestOfItsLine) {
    // "DELE important" cut after "D": only the complete NOOP runs.
    EXPECT_EQ(Feed("NOOP\rD"), Lines{"NOOP|"});
    EXPECT_EQ(Buffered(), 1);
    EXPECT_EQ(Feed("ELE imp"), Lines{});
    EXPECT_EQ(Feed("ortant\r\n"), Lines{"DELE|important"});
}

TEST_F(TnbCommandFraming, BlankLinesAreIgnoredAndLinesTrimmed) {
    EXPECT_EQ(Feed("   \r\n\t\r\n  noop  \r\n\r\n"), Lines{"NOOP|"});
    EXPECT_EQ(Feed("RETR  a b  \r\n"), Lines{"RETR| a b"});
}

TEST_F(TnbCommandFraming, NulBytesBecomeBlanksAndLoseNothing) {
    EXPECT_EQ(Feed(std::string("USER a\0b\r\nNOOP\r\n", 16)), (Lines{"USER|a b", "NOOP|"}));
    EXPECT_EQ(Feed(std::string("RETR x\0\r\n", 9)), Lines{"RETR|x"});
}

TEST_F(TnbCommandFraming, TelnetSequencesAreRemoved) {
    // lftp: IAC IP, IAC DM, then ABOR.
    EXPECT_EQ(Feed("\xff\xf4\xff\xf2"
                   "ABOR\r\n"),
              Lines{"ABOR|"});
    // Option negotiation takes its option byte along; IAC IAC is the data byte 0xFF.
    EXPECT_EQ(Feed("\xff\xfb\x01NOOP\r\n"), Lines{"NOOP|"});
    EXPECT_EQ(Feed("SITE a\xff\xff"
                   "b\r\n"),
              Lines{"SITE|a\xff"
                    "b"});
    // A Telnet sequence split from its line by a read boundary still goes.
    EXPECT_TRUE(Feed("\xff\xf4").empty());
    EXPECT_EQ(Feed("ABOR\r\n"), Lines{"ABOR|"});
}

TEST_F(TnbCommandFraming, MaxDataSizeDiscardsAnOverfullBuffer) {
    // 10 bytes fit: the complete line runs, the rest waits.
    EXPECT_EQ(Feed("NOOP\r\nNOOP", 10), Lines{"NOOP|"});
    EXPECT_FALSE(exceeded_);
    EXPECT_EQ(Buffered(), 4);
    connection_->DataHandler()->Buffer().Clear();

    // 11 bytes do not, complete lines or not: none of them runs.
    EXPECT_EQ(Feed("NOOP\r\nNOOP\r", 10), Lines{});
    EXPECT_TRUE(exceeded_);
    EXPECT_EQ(Buffered(), 0);

    // Without a limit the same bytes are fine.
    EXPECT_EQ(Feed("NOOP\r\nNOOP\r", -1), (Lines{"NOOP|", "NOOP|"}));
    EXPECT_EQ(Feed("NOOP\r\nNOOP\r", 0), (Lines{"NOOP|", "NOOP|"}));
    EXPECT_FALSE(exceeded_);
}

TEST_F(TnbCommandFraming, LineCeilingAppliesWithoutMaxDataSize) {
    const std::string full(kMaxCommandLine, 'a');
    EXPECT_TRUE(Feed(full).empty());
    EXPECT_FALSE(exceeded_);
    EXPECT_TRUE(Feed("a").empty());
    EXPECT_TRUE(exceeded_);
    EXPECT_EQ(Buffered(), 0);

    // The rest of the oversized line is dropped when it arrives; the next line counts again.
    EXPECT_TRUE(Feed(std::string(1000, 'b')).empty());
    EXPECT_FALSE(exceeded_);
    EXPECT_EQ(Buffered(), 0);
    EXPECT_EQ(Feed("bbb DELE x\r\nNOOP\r\n"), Lines{"NOOP|"});

    // An oversized line that arrives complete is refused too, with the lines beside it.
    EXPECT_EQ(Feed("NOOP\r\n" + std::string(kMaxCommandLine + 1, 'c') + "\r\nNOOP\r\n"), Lines{});
    EXPECT_TRUE(exceeded_);
}

TEST_F(TnbCommandFraming, APassTakesNoMoreThanItsBudgetAndTheRestWaitsUnparsed) {
    const std::size_t noop = TnbProcessCommandHandler::QueuedCost(TnbTcpCommandParams{});
    struct Case {
        std::size_t commands;
        std::size_t cost;
        Lines first;
        bool waiting;
    };
    const Case cases[] = {
        {SIZE_MAX, SIZE_MAX, {"A|", "B|", "C|"}, false},
        {2, SIZE_MAX, {"A|", "B|"}, true},
        {0, SIZE_MAX, {}, true},
        // The cost stops the pass once reached, but the first command always goes.
        {SIZE_MAX, 2 * noop + 2, {"A|", "B|"}, true},
        {SIZE_MAX, 1, {"A|"}, true},
        // Blank lines cost nothing and never count.
        {3, SIZE_MAX, {"A|", "B|", "C|"}, false},
    };
    for (const Case& c : cases) {
        connection_->DataHandler()->Buffer().Clear();
        auto& handler = dynamic_cast<TnbProcessCommandHandler&>(*connection_->DataHandler());
        handler.SetBudget(c.commands, c.cost);
        EXPECT_EQ(Feed("A\r\n\r\nB\r\nC\r\nD"), c.first) << c.commands << " " << c.cost;
        EXPECT_EQ(handler.HasWaitingLines(), c.waiting) << c.commands << " " << c.cost;
        // With room again the waiting lines come out in order, without new bytes; the
        // unfinished "D" stays.
        handler.SetBudget(SIZE_MAX, SIZE_MAX);
        Lines all = c.first;
        for (const auto& line : Feed(""))
            all.push_back(line);
        EXPECT_EQ(all, (Lines{"A|", "B|", "C|"}));
        EXPECT_FALSE(handler.HasWaitingLines());
        EXPECT_EQ(Buffered(), 1);
    }
}

TEST_F(TnbCommandFraming, ExceededInputRaisesOnDispatch) {
    TnbProcessDataHandler& handler = *connection_->DataHandler();
    handler.Buffer().WriteString("NOOP\r\nNOOP\r");
    auto context = handler.ParseInput(10);
    try {
        handler.Dispatch(*context);
        FAIL() << "no error";
    } catch (const EnbMaxDataSizeError& e) {
        EXPECT_STREQ(e.what(), "Data size limit is exceeded");
        EXPECT_EQ(e.ErrorCode, -350);
        EXPECT_EQ(e.Command, "");
    }
}

TEST_F(TnbCommandFraming, LinesAreDecodedInTheRequestCharSet) {
    server_.SetCharSet("koi8-r");
    const std::string name = TnbTranslator::GetString(std::string_view("\xc1"), "koi8-r");
    ASSERT_NE(name, "\xc1");
    EXPECT_EQ(Feed("MKD \xc1\r\n"), Lines{"MKD|" + name});
}

TEST(TnbReplyFormat, FillsPlaceholdersAndNeverReadsArgumentsAsFormats) {
    EXPECT_EQ(FormatReply("150 Opening data connection for %s(%d bytes).", "a.txt", 5368709120LL),
              "150 Opening data connection for a.txt(5368709120 bytes).");
    EXPECT_EQ(FormatReply("550 %s: failed", "%s%d%n"), "550 %s%d%n: failed");
    EXPECT_EQ(FormatReply("200 100%% %s", std::string("done")), "200 100% done");
    EXPECT_EQ(FormatReply("331 Password required for %s."), "331 Password required for .");
}

}  // namespace
}  // namespace nb
