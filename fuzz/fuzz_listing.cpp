// Directory listings. Properties:
// - the MS-DOS, Unix and AS/400 parsers and the date helpers take any line without a crash, and
//   a line the Unix parser says it can parse gives a name and a valid date;
// - a formatted MS-DOS or Unix entry parses back to the same name, directory flag, size and
//   time, as far as the format carries them (MS-DOS: the minute, within its two-digit-year
//   window; Unix: the minute for recent dates, the day for older ones).
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <string>

#include "ftp/nbFtpFileInfo.h"
#include "fuzz/nbFuzzSupport.h"

namespace {

using nb::fuzz::Require;

nb::TnbDateTime ConsumeDate(FuzzedDataProvider& provider, int minYear, int maxYear) {
    nb::TnbDateTime d;
    d.Year = provider.ConsumeIntegralInRange(minYear, maxYear);
    d.Month = provider.ConsumeIntegralInRange(1, 12);
    d.Day = provider.ConsumeIntegralInRange(1, 31);
    while (!nb::TnbDateTime::IsValidDate(d.Year, d.Month, d.Day))
        --d.Day;
    d.Hour = provider.ConsumeIntegralInRange(0, 23);
    d.Minute = provider.ConsumeIntegralInRange(0, 59);
    d.Second = provider.ConsumeIntegralInRange(0, 59);
    return d;
}

// Names a listing can carry: no line breaks, and no blanks at either end (every listing
// reader trims the rest of the line).
std::string ListableName(std::string name) {
    std::string kept;
    for (const char c : name) {
        if (c != '\r' && c != '\n')
            kept += c;
    }
    std::size_t first = 0;
    while (first < kept.size() && static_cast<unsigned char>(kept[first]) <= ' ')
        ++first;
    std::size_t last = kept.size();
    while (last > first && static_cast<unsigned char>(kept[last - 1]) <= ' ')
        --last;
    kept = kept.substr(first, last - first);
    return kept.empty() ? std::string("x") : kept;
}

std::string Describe(const nb::TnbFtpFileInfo& info, const std::string& line) {
    char date[64];
    std::snprintf(date, sizeof date, "%04d-%02d-%02d %02d:%02d:%02d ", info.ModifiedDate.Year,
                  info.ModifiedDate.Month, info.ModifiedDate.Day, info.ModifiedDate.Hour,
                  info.ModifiedDate.Minute, info.ModifiedDate.Second);
    return date + std::to_string(info.Size) + " [" + line + "]";
}

void ParseAnything(const std::string& line, const nb::TnbDateTime& now) {
    for (const auto& parser : nb::FileInfoParsers()) {
        parser->SetNow(now);
        nb::TnbFtpFileInfo info;
        parser->Parse(info, line);
        const bool can = parser->CanParse(line);
        parser->SetNow(std::nullopt);
        Require(info.ModifiedDate.IsEmpty() || info.ModifiedDate.IsValid(),
                "a parsed date is valid or empty", line);
        if (can && dynamic_cast<nb::TnbUnixFileInfoParser*>(parser.get()) != nullptr) {
            Require(!info.FileName.empty() && info.ModifiedDate.IsValid(),
                    "a Unix line it can parse has a name and a date", line);
        }
    }
    const std::size_t blank = line.find(' ');
    const std::string first = line.substr(0, blank);
    const std::string second = blank == std::string::npos ? std::string() : line.substr(blank + 1);
    const auto d1 = nb::ParseListingDate(first, second, now.Year);
    Require(d1.IsEmpty() || d1.IsValid(), "ParseListingDate gives a valid date or none", line);
    const auto d2 = nb::ParseAs400Date(line, now.Year);
    Require(d2.IsEmpty() || d2.IsValid(), "ParseAs400Date gives a valid date or none", line);
    const int seconds = nb::ParseListingTime(line);
    Require(seconds >= 0 && seconds < 86400, "ParseListingTime stays within a day", line);
}

void RoundTripMsDos(const nb::TnbFtpFileInfo& info, const nb::TnbDateTime& now) {
    nb::TnbMsDosFileInfoParser parser;
    parser.SetNow(now);
    const std::string line = parser.Format(info);
    nb::TnbFtpFileInfo back;
    parser.Parse(back, line);
    Require(back.FileName == info.FileName, "MS-DOS keeps the name", Describe(info, line));
    Require(back.IsDirectory == info.IsDirectory, "MS-DOS keeps the directory flag", line);
    if (!info.IsDirectory) {
        Require(back.Size == info.Size, "MS-DOS keeps the size", Describe(info, line));
    }
    const auto& d = info.ModifiedDate;
    if (nb::ExpandYear(d.Year % 100, now.Year) != d.Year)
        return;  // outside its year window
    Require(parser.CanParse(line), "the MS-DOS parser knows its own lines", line);
    const auto& b = back.ModifiedDate;
    Require(b.Year == d.Year && b.Month == d.Month && b.Day == d.Day && b.Hour == d.Hour &&
                b.Minute == d.Minute && b.Second == 0,
            "MS-DOS keeps the time to the minute", Describe(info, line) + " " + Describe(back, ""));
}

bool AfterToday(const nb::TnbDateTime& d, const nb::TnbDateTime& now) {
    if (d.Year != now.Year)
        return d.Year > now.Year;
    if (d.Month != now.Month)
        return d.Month > now.Month;
    return d.Day > now.Day;
}

void RoundTripUnix(const nb::TnbFtpFileInfo& info, const nb::TnbDateTime& now) {
    nb::TnbUnixFileInfoParser parser;
    parser.SetNow(now);
    const std::string line = parser.Format(info);
    // A future date is shown with its time and no year (as the format defines; a reader takes
    // the year from today), so only dates up to today can come back whole.
    const auto& d = info.ModifiedDate;
    if (AfterToday(d, now))
        return;
    Require(parser.CanParse(line), "the Unix parser knows its own lines", line);
    nb::TnbFtpFileInfo back;
    parser.Parse(back, line);
    Require(back.FileName == info.FileName, "Unix keeps the name", Describe(info, line));
    Require(back.IsDirectory == info.IsDirectory, "Unix keeps the directory flag", line);
    Require(back.Size == (info.IsDirectory ? 0 : info.Size), "Unix keeps the size",
            Describe(info, line));
    const auto& b = back.ModifiedDate;
    const std::string head = line.substr(0, line.size() - info.FileName.size());
    const bool withTime = head.find(':') != std::string::npos;
    Require(b.Year == d.Year && b.Month == d.Month && b.Day == d.Day, "Unix keeps the date",
            Describe(info, line) + " " + Describe(back, ""));
    if (withTime) {
        Require(b.Hour == d.Hour && b.Minute == d.Minute, "Unix keeps a recent time",
                Describe(info, line) + " " + Describe(back, ""));
    } else {
        Require(b.Hour == 0 && b.Minute == 0, "an older Unix date has no time", line);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider provider(data, size);
    const nb::TnbDateTime now = ConsumeDate(provider, 100, 9999);

    nb::TnbFtpFileInfo info;
    const auto flags = provider.ConsumeIntegral<std::uint8_t>();
    info.IsDirectory = (flags & 1) != 0;
    info.IsReadOnly = (flags & 2) != 0;
    if (flags & 4) {
        info.OwnerRights = static_cast<std::uint8_t>((flags >> 3) & 7);
        info.GroupRights = static_cast<std::uint8_t>((flags >> 5) & 7);
        info.OtherRights = 5;
    }
    info.Size = (flags & 0x80) ? provider.ConsumeIntegralInRange<std::int64_t>(0, INT64_MAX)
                               : provider.ConsumeIntegralInRange<std::int64_t>(0, 99999);
    info.ModifiedDate = ConsumeDate(provider, 1, 9999);
    info.FileName = ListableName(provider.ConsumeRandomLengthString(80));
    const std::string line = provider.ConsumeRemainingBytesAsString();

    ParseAnything(line, now);
    RoundTripMsDos(info, now);
    RoundTripUnix(info, now);
    // Formatting never fails, whatever the record holds.
    nb::TnbFtpFileInfo odd = info;
    odd.FileName = line;
    odd.ModifiedDate = {static_cast<int>(size) - 50, static_cast<int>(flags) - 100, -1, 99, -7, 0};
    odd.Size = -static_cast<std::int64_t>(size);
    nb::FormatFileInfo(odd, nb::TnbDirListingStyle::lsMsDos, now);
    nb::FormatFileInfo(odd, nb::TnbDirListingStyle::lsUnix, now);
    return 0;
}
