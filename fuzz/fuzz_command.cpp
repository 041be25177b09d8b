// Command input: bytes arrive in arbitrary pieces, as TCP delivers them. Properties:
// - no crash, and the unprocessed input never grows past the line ceiling (or MaxDataSize);
// - the commands taken out of any chunking equal those of the whole input read at once;
// - an oversized line is reported whether it comes whole or in pieces, and a session that goes
//   on after it gets exactly the commands that follow the discarded read;
// - each parsed command is well formed (trimmed text without NUL or line breaks, upper-case
//   word, word + blank + parameters = text) and valid UTF-8 whenever a character set decodes.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "command/nbTcpCommandServer.h"
#include "fuzz/nbFuzzSupport.h"
#include "util/nbLimits.h"

namespace {

using nb::fuzz::Require;

struct TCommand {
    std::string Command;
    std::string Params;
    std::string Text;
    bool operator==(const TCommand&) const = default;
};

struct TRun {
    std::vector<TCommand> Commands;
    bool Exceeded = false;
    std::size_t ExceededAt = 0;  // end of the read that was discarded
};

constexpr const char* kCharSets[] = {"",       "utf-8",      "koi8-r",         "Windows-1251",
                                     "ibm866", "ISO-8859-2", "x-mac-cyrillic", "no-such-set"};

nb::TnbTcpCommandServer& Server() {
    static nb::TnbTcpCommandServer server;
    return server;
}

nb::TnbCommandConnection& Connection() {
    static auto connection = std::make_shared<nb::TnbCommandConnection>();
    return *connection;
}

bool IsBreak(char c) {
    return c == '\r' || c == '\n';
}

void CheckCommand(const nb::TnbTcpCommandParams& p, bool decoded) {
    Require(!p.Text.empty(), "empty lines are not commands");
    Require(p.Text.find_first_of(std::string_view("\r\n\0", 3)) == std::string::npos,
            "a command holds no NUL, CR or LF", p.Text);
    Require(static_cast<unsigned char>(p.Text.front()) > ' ' &&
                static_cast<unsigned char>(p.Text.back()) > ' ',
            "a command line is trimmed", p.Text);
    Require(p.Command.find(' ') == std::string::npos, "the command word has no blank", p.Text);
    Require(std::none_of(p.Command.begin(), p.Command.end(),
                         [](char c) { return c >= 'a' && c <= 'z'; }),
            "the command word is upper case", p.Command);
    const bool hasBlank = p.Text.find(' ') != std::string::npos;
    const std::string joined = hasBlank ? p.Command + " " + p.Params : p.Command;
    Require(joined.size() == p.Text.size(), "word and parameters make up the line", p.Text);
    for (std::size_t i = 0; i < joined.size(); ++i) {
        const char a = joined[i];
        const char b = p.Text[i];
        const char upper = (b >= 'a' && b <= 'z') ? static_cast<char>(b - 'a' + 'A') : b;
        Require(a == b || (i < p.Command.size() && a == upper),
                "word and parameters make up the line", p.Text);
    }
    if (decoded)
        Require(nb::fuzz::IsValidUtf8(p.Text), "decoded text is valid UTF-8", p.Text);
}

// Feeds input in the given pieces. After an oversized read the session goes on when
// keepGoing is set (a host that handles the error), else the run stops there.
TRun Feed(std::string_view input, const std::vector<std::size_t>& pieces, std::int64_t maxDataSize,
          bool decoded, bool keepGoing, std::vector<TCommand>* afterExceed = nullptr) {
    auto& connection = Connection();
    Server().InstallCommandHandler(connection);
    auto& handler = *connection.DataHandler();
    const std::size_t ceiling =
        maxDataSize > 0
            ? std::min<std::size_t>(nb::kMaxCommandLine, static_cast<std::size_t>(maxDataSize))
            : nb::kMaxCommandLine;
    TRun run;
    std::size_t offset = 0;
    for (const std::size_t piece : pieces) {
        const std::string_view bytes = input.substr(offset, piece);
        offset += bytes.size();
        handler.Buffer().Write(bytes.data(), static_cast<std::int64_t>(bytes.size()));
        auto context = handler.ParseInput(maxDataSize);
        Require(handler.Buffer().GetSize() >= 0 &&
                    static_cast<std::size_t>(handler.Buffer().GetSize()) <= ceiling,
                "unprocessed input stays below the ceiling");
        Require(handler.Buffer().GetPosition() == handler.Buffer().GetSize(),
                "the buffer waits at its end for more bytes");
        if (context->SizeExceeded()) {
            if (!run.Exceeded) {
                run.Exceeded = true;
                run.ExceededAt = offset;
                if (!keepGoing)
                    return run;
            }
            continue;
        }
        auto* commands = dynamic_cast<nb::TnbProcessCommandContext*>(context.get());
        Require(commands != nullptr, "the command handler makes command contexts");
        for (const auto& p : commands->TakeAll()) {
            CheckCommand(*p, decoded);
            auto& target = (run.Exceeded && afterExceed) ? *afterExceed : run.Commands;
            target.push_back({p->Command, p->Params, p->Text});
        }
    }
    return run;
}

TRun FeedWhole(std::string_view input, std::int64_t maxDataSize, bool decoded) {
    return Feed(input, {input.size()}, maxDataSize, decoded, false);
}

// The first segment between line breaks (or the unfinished tail) longer than the ceiling.
std::optional<std::size_t> OversizedLineStart(std::string_view input) {
    std::size_t start = 0;
    for (std::size_t i = 0; i <= input.size(); ++i) {
        if (i == input.size() || IsBreak(input[i])) {
            if (i - start > nb::kMaxCommandLine)
                return start;
            start = i + 1;
        }
    }
    return std::nullopt;
}

bool IsPrefix(const std::vector<TCommand>& a, const std::vector<TCommand>& b) {
    return a.size() <= b.size() && std::equal(a.begin(), a.end(), b.begin());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider provider(data, size);
    const auto options = provider.ConsumeIntegral<std::uint8_t>();
    const auto chunkSeed = provider.ConsumeIntegral<std::uint32_t>();
    const auto fillAt = provider.ConsumeIntegral<std::uint16_t>();
    std::string input = provider.ConsumeRemainingBytesAsString();

    const std::string charSet = kCharSets[options & 7];
    const bool decoded = !charSet.empty() && charSet != "no-such-set";
    std::int64_t maxDataSize = -1;
    switch ((options >> 3) & 3) {
        case 2:
            maxDataSize = 0;
            break;
        case 3:
            maxDataSize = 1 + (chunkSeed >> 24);
            break;
        default:
            break;
    }
    // A run of filler around the line ceiling, so the fuzzer reaches it with short inputs.
    if (options & 0x20) {
        const std::size_t at = input.empty() ? 0 : fillAt % (input.size() + 1);
        const std::size_t length = nb::kMaxCommandLine - 1 + (fillAt >> 14);
        input.insert(at, std::string(length, (options & 0x40) ? 'A' : ' '));
    }
    Server().SetCharSet(charSet);

    // Pieces: one byte at a time for short inputs, else random sizes around a chosen mean.
    std::vector<std::size_t> pieces;
    std::uint32_t state = chunkSeed | 1;
    const bool small = (options & 0x80) != 0;
    const std::size_t mean = input.size() > 4096 ? (small ? 509 : 4096) : (small ? 1 : 7);
    for (std::size_t left = input.size(); left > 0;) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        const std::size_t piece = std::min<std::size_t>(left, 1 + state % (2 * mean));
        pieces.push_back(piece);
        left -= piece;
    }

    const TRun whole = FeedWhole(input, maxDataSize, decoded);
    if (maxDataSize > 0) {
        // The limit counts unprocessed bytes, which depends on the pieces: only the bounds and
        // the well-formedness hold here.
        Feed(input, pieces, maxDataSize, decoded, true);
        return 0;
    }

    std::vector<TCommand> after;
    const TRun chunked = Feed(input, pieces, maxDataSize, decoded, true, &after);
    Require(whole.Exceeded == chunked.Exceeded, "an oversized line is found in any chunking");
    const auto oversized = OversizedLineStart(input);
    Require(whole.Exceeded == oversized.has_value(),
            "only a line longer than the ceiling is refused");
    if (!whole.Exceeded) {
        Require(whole.Commands == chunked.Commands, "chunking does not change the commands");
        return 0;
    }
    // Before the refusal: what the lines ahead of the oversized one give, possibly fewer (the
    // refused read is discarded whole).
    const TRun before = FeedWhole(input.substr(0, *oversized), maxDataSize, decoded);
    Require(!before.Exceeded, "the input ahead of the first oversized line is fine");
    Require(IsPrefix(chunked.Commands, before.Commands),
            "commands before a refusal are those ahead of the oversized line");
    // After it: the rest of the line the refused read ended in is skipped.
    std::size_t resume = chunked.ExceededAt;
    if (resume > 0 && !IsBreak(input[resume - 1])) {
        while (resume < input.size() && !IsBreak(input[resume]))
            ++resume;
    }
    const std::string_view rest = std::string_view(input).substr(std::min(resume, input.size()));
    const TRun expected = FeedWhole(rest, maxDataSize, decoded);
    if (!expected.Exceeded) {
        Require(after == expected.Commands, "the session goes on with the commands that follow");
    }
    return 0;
}
