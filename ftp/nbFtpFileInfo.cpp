#include "ftp/nbFtpFileInfo.h"

#include <algorithm>
#include <array>
#include <limits>

#include "net/nbIpAddress.h"
#include "net/nbSocketUtils.h"

namespace nb {

namespace {

// Fixed English names: listings are read by programs, not by the locale's users.
constexpr std::array<std::string_view, 12> kMonthNames = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                          "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}
char ToUpper(char c) {
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}
char ToLower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

std::string UpperCase(std::string_view s) {
    std::string r(s);
    for (char& c : r)
        c = ToUpper(c);
    return r;
}

bool SameText(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (ToUpper(a[i]) != ToUpper(b[i]))
            return false;
    }
    return true;
}

// Blanks and control characters, as a listing's trimming understands them.
bool IsBlank(char c) {
    return static_cast<unsigned char>(c) <= ' ';
}

std::string_view Trim(std::string_view s) {
    while (!s.empty() && IsBlank(s.front()))
        s.remove_prefix(1);
    while (!s.empty() && IsBlank(s.back()))
        s.remove_suffix(1);
    return s;
}

std::string_view TrimRight(std::string_view s) {
    while (!s.empty() && IsBlank(s.back()))
        s.remove_suffix(1);
    return s;
}

// Words are runs of characters separated by one or more spaces.
struct TWord {
    std::size_t Position;
    std::string_view Text;
};

std::vector<TWord> SplitWords(std::string_view line) {
    std::vector<TWord> words;
    std::size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && line[i] == ' ')
            ++i;
        if (i >= line.size())
            break;
        const std::size_t start = i;
        while (i < line.size() && line[i] != ' ')
            ++i;
        words.push_back({start, line.substr(start, i - start)});
    }
    return words;
}

// A decimal number with an optional sign; nothing for anything else (including overflow).
std::optional<std::int64_t> ToInt64(std::string_view s) {
    s = Trim(s);
    bool negative = false;
    if (!s.empty() && (s.front() == '+' || s.front() == '-')) {
        negative = s.front() == '-';
        s.remove_prefix(1);
    }
    if (s.empty())
        return std::nullopt;
    std::uint64_t value = 0;
    const std::uint64_t limit =
        static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()) + (negative ? 1 : 0);
    for (char c : s) {
        if (!IsDigit(c))
            return std::nullopt;
        const unsigned digit = static_cast<unsigned>(c - '0');
        if (value > (limit - digit) / 10)
            return std::nullopt;
        value = value * 10 + digit;
    }
    if (negative) {
        return value == limit ? std::numeric_limits<std::int64_t>::min()
                              : -static_cast<std::int64_t>(value);
    }
    return static_cast<std::int64_t>(value);
}

// A small field value: 0 when it is not a number or too large to be a date part.
int FieldValue(std::string_view s) {
    const auto v = ToInt64(s);
    if (!v || *v > 1000000 || *v < -1000000)
        return 0;
    return static_cast<int>(*v);
}

// Fields separated by the first non-digit character of the text (one field when there is none).
std::vector<std::string_view> SplitFields(std::string_view s) {
    const auto it = std::find_if(s.begin(), s.end(), [](char c) { return !IsDigit(c); });
    if (it == s.end())
        return {s};
    const char sep = *it;
    std::vector<std::string_view> fields;
    std::size_t start = 0;
    for (;;) {
        const std::size_t p = s.find(sep, start);
        if (p == std::string_view::npos) {
            fields.push_back(s.substr(start));
            break;
        }
        fields.push_back(s.substr(start, p - start));
        start = p + 1;
    }
    return fields;
}

std::string_view FieldAt(const std::vector<std::string_view>& fields, std::size_t index) {
    return index < fields.size() ? fields[index] : std::string_view{};
}

TnbDateTime MakeDate(int year, int month, int day, int secondsOfDay) {
    if (!TnbDateTime::IsValidDate(year, month, day))
        return {};
    return {year, month, day, secondsOfDay / 3600, secondsOfDay / 60 % 60, secondsOfDay % 60};
}

TnbDateTime FromTm(const std::tm& tm) {
    return {tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
            tm.tm_hour,        tm.tm_min,     std::min(tm.tm_sec, 59)};
}

std::uint8_t RightsFromText(std::string_view s) {
    std::uint8_t bits = 0;
    if (s.size() > 0 && ToLower(s[0]) == 'r')
        bits |= nbRightRead;
    if (s.size() > 1 && ToLower(s[1]) == 'w')
        bits |= nbRightWrite;
    if (s.size() > 2 && ToLower(s[2]) == 'x')
        bits |= nbRightExecute;
    return bits;
}

// The Unix six-month rule: dates from the same day six calendar months ago onwards (and future
// dates) are recent and show the time; older ones show the year.
bool IsRecent(const TnbDateTime& date, const TnbDateTime& now) {
    const int boundaryYear = now.Month > 6 ? now.Year : now.Year - 1;
    const int boundaryMonth = now.Month > 6 ? now.Month - 6 : now.Month + 6;
    if (date.Year != boundaryYear)
        return date.Year > boundaryYear;
    if (date.Month != boundaryMonth)
        return date.Month > boundaryMonth;
    return date.Day >= now.Day;
}

// printf's "%*lld" (fill ' ') and "%0*lld" (fill '0', after the sign), without its cost: a
// listing formats several numbers for each of thousands of entries.
void AppendNumber(std::string& out, long long value, int width, char fill) {
    char digits[24];
    int count = 0;
    unsigned long long rest =
        value < 0 ? 0ULL - static_cast<unsigned long long>(value) : static_cast<unsigned long long>(value);
    do {
        digits[count++] = static_cast<char>('0' + rest % 10);
        rest /= 10;
    } while (rest != 0);
    const int length = count + (value < 0 ? 1 : 0);
    const auto pad = static_cast<std::size_t>(width > length ? width - length : 0);
    if (fill != '0')
        out.append(pad, fill);
    if (value < 0)
        out += '-';
    if (fill == '0')
        out.append(pad, '0');
    while (count > 0)
        out += digits[--count];
}

void AppendMsDosLine(std::string& out, const TnbFtpFileInfo& info) {
    const TnbDateTime& d = info.ModifiedDate;
    int hour12 = d.Hour % 12;
    if (hour12 == 0)
        hour12 = 12;
    AppendNumber(out, d.Month % 100, 2, '0');
    out += '-';
    AppendNumber(out, d.Day % 100, 2, '0');
    out += '-';
    AppendNumber(out, ((d.Year % 100) + 100) % 100, 2, '0');
    out += "  ";
    AppendNumber(out, hour12, 2, '0');
    out += ':';
    AppendNumber(out, d.Minute % 100, 2, '0');
    out += d.Hour < 12 ? "AM" : "PM";
    if (info.IsDirectory) {
        out += "       <DIR>         ";
    } else {
        AppendNumber(out, info.Size, 21, ' ');
    }
    out += ' ';
    out += info.FileName;
}

void AppendRights(std::string& out, std::uint8_t bits) {
    out += (bits & nbRightRead) ? 'r' : '-';
    out += (bits & nbRightWrite) ? 'w' : '-';
    out += (bits & nbRightExecute) ? 'x' : '-';
}

void AppendUnixLine(std::string& out, const TnbFtpFileInfo& info, const TnbDateTime& now) {
    out += info.IsDirectory ? 'd' : info.IsLink ? 'l' : '-';
    const std::int64_t size = (info.IsDirectory || info.IsLink) ? 0 : info.Size;
    if (info.OwnerRights != 0 || info.GroupRights != 0 || info.OtherRights != 0) {
        AppendRights(out, info.OwnerRights);
        AppendRights(out, info.GroupRights);
        AppendRights(out, info.OtherRights);
    } else {
        const char* rights = info.IsReadOnly ? "r-x" : "rwx";
        for (int i = 0; i < 3; ++i)
            out += rights;
    }
    out += "   1 owner    group        ";
    AppendNumber(out, size, 8, ' ');

    const TnbDateTime& d = info.ModifiedDate;
    out += ' ';
    out += d.Month >= 1 && d.Month <= 12 ? kMonthNames[static_cast<std::size_t>(d.Month - 1)]
                                         : "???";
    out += ' ';
    AppendNumber(out, d.Day % 100, 2, '0');
    out += ' ';
    if (IsRecent(d, now)) {
        AppendNumber(out, d.Hour % 100, 2, '0');
        out += ':';
        AppendNumber(out, d.Minute % 100, 2, '0');
    } else {
        AppendNumber(out, d.Year % 10000, 4, '0');
    }
    out += ' ';
    out += info.FileName;
}

int MonthFromName(std::string_view word) {
    for (std::size_t i = 0; i < kMonthNames.size(); ++i) {
        if (SameText(word, kMonthNames[i]))
            return static_cast<int>(i) + 1;
    }
    return FieldValue(word);
}

bool IsAs400DirectoryWord(std::string_view word) {
    return word == "*FILE" || word == "DIR";
}

bool LooksLikeAs400Type(std::string_view word) {
    word = Trim(word);
    return (!word.empty() && word.front() == '*') || word == "DIR";
}

// A strict decimal group of an address or port text: 1 to 3 digits, 0 to 255.
std::optional<int> ByteGroup(std::string_view s) {
    if (s.empty() || s.size() > 3)
        return std::nullopt;
    int v = 0;
    for (char c : s) {
        if (!IsDigit(c))
            return std::nullopt;
        v = v * 10 + (c - '0');
    }
    if (v > 255)
        return std::nullopt;
    return v;
}

std::vector<std::string_view> SplitOn(std::string_view s, char sep) {
    std::vector<std::string_view> parts;
    std::size_t start = 0;
    for (;;) {
        const std::size_t p = s.find(sep, start);
        if (p == std::string_view::npos) {
            parts.push_back(s.substr(start));
            return parts;
        }
        parts.push_back(s.substr(start, p - start));
        start = p + 1;
    }
}

// The four groups of a dotted IPv4 text. A dual-stack socket reports IPv4 peers as
// "::ffff:a.b.c.d"; that form is unwrapped, since PASV can only carry the IPv4 address.
std::optional<std::array<int, 4>> IPv4Groups(std::string_view address) {
    if (address.size() > 7 && SameText(address.substr(0, 7), "::ffff:"))
        address.remove_prefix(7);
    const auto parts = SplitOn(address, '.');
    if (parts.size() != 4)
        return std::nullopt;
    std::array<int, 4> groups{};
    for (std::size_t i = 0; i < 4; ++i) {
        const auto g = ByteGroup(parts[i]);
        if (!g)
            return std::nullopt;
        groups[i] = *g;
    }
    return groups;
}

}  // namespace

// ---- TnbDateTime ----

TnbDateTime TnbDateTime::FromLocalTime(std::time_t t) {
    std::tm tm{};
    if (localtime_r(&t, &tm) == nullptr)
        return {};
    return FromTm(tm);
}

TnbDateTime TnbDateTime::FromUtcTime(std::time_t t) {
    std::tm tm{};
    if (gmtime_r(&t, &tm) == nullptr)
        return {};
    return FromTm(tm);
}

TnbDateTime TnbDateTime::Now() {
    return FromLocalTime(std::time(nullptr));
}

bool TnbDateTime::IsValidDate(int year, int month, int day) {
    if (year < 1 || year > 9999 || month < 1 || month > 12 || day < 1)
        return false;
    static constexpr std::array<int, 12> kDays = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    const int days = kDays[static_cast<std::size_t>(month - 1)] + (month == 2 && leap ? 1 : 0);
    return day <= days;
}

bool TnbDateTime::IsValidTime(int hour, int minute, int second) {
    return hour >= 0 && hour < 24 && minute >= 0 && minute < 60 && second >= 0 && second < 60;
}

bool TnbDateTime::IsValid() const {
    return IsValidDate(Year, Month, Day) && IsValidTime(Hour, Minute, Second);
}

TnbDateTime TnbDateTime::LocalToUtc() const {
    if (!IsValid())
        return {};
    std::tm tm{};
    tm.tm_year = Year - 1900;
    tm.tm_mon = Month - 1;
    tm.tm_mday = Day;
    tm.tm_hour = Hour;
    tm.tm_min = Minute;
    tm.tm_sec = Second;
    tm.tm_isdst = -1;  // let the zone rules decide
    const std::time_t t = std::mktime(&tm);
    if (t == static_cast<std::time_t>(-1))
        return {};
    return FromUtcTime(t);
}

// ---- TnbFtpFileInfo and its list ----

TnbDateTime TnbFtpFileInfo::ModifiedDateUtc() const {
    if (ModifiedTime)
        return TnbDateTime::FromUtcTime(*ModifiedTime);
    return ModifiedDate.LocalToUtc();
}

std::size_t TnbFtpFileInfoList::Add(std::unique_ptr<TnbFtpFileInfo> info) {
    if (!info)
        info = std::make_unique<TnbFtpFileInfo>();
    items_.push_back(std::move(info));
    return items_.size() - 1;
}

TnbFtpFileInfo& TnbFtpFileInfoList::Add() {
    items_.push_back(std::make_unique<TnbFtpFileInfo>());
    return *items_.back();
}

std::unique_ptr<TnbFtpFileInfo> TnbFtpFileInfoList::Extract(std::size_t index) {
    std::unique_ptr<TnbFtpFileInfo> item = std::move(items_.at(index));
    items_.erase(items_.begin() + static_cast<std::ptrdiff_t>(index));
    return item;
}

void TnbFtpFileInfoList::SortByName() {
    std::stable_sort(items_.begin(), items_.end(),
                     [](const auto& a, const auto& b) { return a->FileName < b->FileName; });
}

// ---- Date helpers ----

int ExpandYear(int year, int currentYear, int window) {
    if (year >= 100 || year < 0)
        return year;
    int result = currentYear / 100 * 100 + year;
    if (window != 0 && year > window)
        result -= 100;
    return result;
}

int ParseListingTime(std::string_view text) {
    std::string t = UpperCase(text);
    const std::size_t pm = t.find("PM");
    const std::size_t am = t.find("AM");
    if (pm != std::string::npos)
        t.resize(pm);
    if (am != std::string::npos && am < t.size())
        t.resize(am);
    const auto fields = SplitFields(Trim(t));
    int hour = FieldValue(FieldAt(fields, 0));
    const int minute = FieldValue(FieldAt(fields, 1));
    const int second = fields.size() > 2 ? FieldValue(fields[2]) : 0;
    if (pm != std::string::npos && hour < 12)
        hour += 12;
    if (am != std::string::npos && hour == 12)
        hour = 0;
    if (!TnbDateTime::IsValidTime(hour, minute, second))
        return 0;
    return hour * 3600 + minute * 60 + second;
}

TnbDateTime ParseListingDate(std::string_view date, std::string_view time, int currentYear) {
    const auto fields = SplitFields(date);
    if (fields.size() < 3)
        return {};
    const int month = FieldValue(fields[0]);
    const int day = FieldValue(fields[1]);
    int year = FieldValue(fields[2]);
    if (month > 0 && day > 0)
        year = ExpandYear(year, currentYear);
    return MakeDate(year, month, day, ParseListingTime(time));
}

TnbDateTime ParseAs400Date(std::string_view text, int currentYear) {
    const auto fields = SplitFields(Trim(text));
    int a = FieldValue(FieldAt(fields, 0));
    int b = FieldValue(FieldAt(fields, 1));
    int c = FieldValue(FieldAt(fields, 2));
    if (b > 12)
        std::swap(a, b);
    if (a >= 32)
        std::swap(a, c);
    // The century goes to whichever field turned out to be the year, so "2024/01/15" works.
    c = ExpandYear(c, currentYear);
    return MakeDate(c, b, a, 0);
}

// ---- MS-DOS style ----

void TnbMsDosFileInfoParser::Parse(TnbFtpFileInfo& info, std::string_view line) const {
    const auto words = SplitWords(line);
    if (words.size() <= 3)
        return;
    info.ModifiedDate = ParseListingDate(Trim(words[0].Text), Trim(words[1].Text), Now().Year);
    const std::string_view sizeWord = Trim(words[2].Text);
    info.IsDirectory = SameText(sizeWord, "<DIR>");
    if (!info.IsDirectory)
        info.Size = ToInt64(sizeWord).value_or(0);
    info.FileName = std::string(Trim(line.substr(words[3].Position)));
}

std::string TnbMsDosFileInfoParser::Format(const TnbFtpFileInfo& info) const {
    std::string line;
    AppendMsDosLine(line, info);
    return line;
}

bool TnbMsDosFileInfoParser::CanParse(std::string_view line) const {
    const auto words = SplitWords(line);
    if (words.size() < 4)
        return false;
    return ParseListingDate(Trim(words[0].Text), Trim(words[1].Text), Now().Year).IsValid();
}

// ---- Unix style ----

void TnbUnixFileInfoParser::Parse(TnbFtpFileInfo& info, std::string_view line) const {
    const auto words = SplitWords(line);
    if (words.size() <= 5)
        return;
    const std::string w1 = UpperCase(Trim(words[0].Text));
    info.IsDirectory = !w1.empty() && w1.front() == 'D';
    info.IsLink = !w1.empty() && w1.front() == 'L';
    info.IsReadOnly = w1.find('W') == std::string::npos;
    if (w1.size() > 8) {
        const std::string_view r = w1;
        info.OwnerRights = RightsFromText(r.substr(1, 3));
        info.GroupRights = RightsFromText(r.substr(4, 3));
        info.OtherRights = RightsFromText(r.substr(7, 3));
    }

    const TnbDateTime now = Now();
    // Word numbers count from 1; the size is expected in column 5, or further left when the
    // listing leaves out the group or the owner and group.
    auto word = [&](std::size_t n) {
        return n >= 1 && n <= words.size() ? words[n - 1].Text : std::string_view{};
    };
    for (std::size_t n = 5; n > 1; --n) {
        const auto size = ToInt64(word(n));
        if (!size)
            continue;
        const int month = MonthFromName(word(n + 1));
        const int day = ToInt64(word(n + 2)) ? FieldValue(word(n + 2)) : 1;
        const std::string_view yearOrTime = word(n + 3);
        int year = now.Year;
        int seconds = 0;
        if (yearOrTime.find(':') == std::string_view::npos) {
            const auto y = ToInt64(yearOrTime);
            if (y)
                year = (*y >= 0 && *y <= 9999) ? static_cast<int>(*y) : 0;
        } else {
            const auto parts = SplitOn(yearOrTime, ':');
            const int hour = FieldValue(FieldAt(parts, 0));
            const int minute = FieldValue(FieldAt(parts, 1));
            if (!TnbDateTime::IsValidTime(hour, minute, 0))
                continue;
            seconds = hour * 3600 + minute * 60;
            // A time instead of a year means "within the last year": a month and day after
            // today belong to last year.
            if (month > now.Month || (month == now.Month && day > now.Day))
                year = now.Year - 1;
        }
        const TnbDateTime date = MakeDate(year, month, day, seconds);
        if (!date.IsValid())
            continue;
        info.Size = *size;
        info.ModifiedDate = date;
        if (n + 4 > words.size())
            return;
        std::string_view name = Trim(line.substr(words[n + 3].Position));
        if (info.IsLink) {
            const std::size_t arrow = name.find("->");
            if (arrow != std::string_view::npos)
                name = TrimRight(name.substr(0, arrow));
        }
        info.FileName = std::string(name);
        return;
    }
}

std::string TnbUnixFileInfoParser::Format(const TnbFtpFileInfo& info) const {
    std::string line;
    AppendUnixLine(line, info, Now());
    return line;
}

bool TnbUnixFileInfoParser::CanParse(std::string_view line) const {
    if (line.empty())
        return false;
    const char first = ToUpper(line.front());
    if (first != '-' && first != 'C' && first != 'D' && first != 'L')
        return false;
    TnbFtpFileInfo scratch;
    Parse(scratch, line);
    return !scratch.FileName.empty() && scratch.ModifiedDate.IsValid();
}

// ---- AS/400 style ----

void TnbAs400FileInfoParser::Parse(TnbFtpFileInfo& info, std::string_view line) const {
    const auto words = SplitWords(line);
    if (words.size() > 5) {
        info.Size = ToInt64(words[1].Text).value_or(0);
        const TnbDateTime date = ParseAs400Date(words[2].Text, Now().Year);
        info.ModifiedDate = date.IsValid() ? MakeDate(date.Year, date.Month, date.Day,
                                                      ParseListingTime(words[3].Text))
                                           : TnbDateTime{};
        info.IsDirectory = IsAs400DirectoryWord(words[4].Text);
        info.FileName = std::string(line.substr(words[5].Position));
    } else if (words.size() > 2) {
        info.IsDirectory = IsAs400DirectoryWord(words[1].Text);
        info.FileName = std::string(line.substr(words[2].Position));
    }
}

std::string TnbAs400FileInfoParser::Format(const TnbFtpFileInfo&) const {
    return {};
}

bool TnbAs400FileInfoParser::CanParse(std::string_view line) const {
    const auto words = SplitWords(line);
    if (words.size() >= 6)
        return LooksLikeAs400Type(words[4].Text);
    if (words.size() >= 3)
        return LooksLikeAs400Type(words[1].Text);
    return false;
}

// ---- Registry and formatting ----

const std::vector<std::unique_ptr<TnbFtpFileInfoParser>>& FileInfoParsers() {
    static const std::vector<std::unique_ptr<TnbFtpFileInfoParser>> parsers = [] {
        std::vector<std::unique_ptr<TnbFtpFileInfoParser>> list;
        list.push_back(std::make_unique<TnbMsDosFileInfoParser>());
        list.push_back(std::make_unique<TnbUnixFileInfoParser>());
        list.push_back(std::make_unique<TnbAs400FileInfoParser>());
        return list;
    }();
    return parsers;
}

void AppendFileInfo(std::string& out, const TnbFtpFileInfo& info, TnbDirListingStyle style,
                    const TnbDateTime& now) {
    switch (style) {
        case TnbDirListingStyle::lsMsDos:
            AppendMsDosLine(out, info);
            return;
        case TnbDirListingStyle::lsUnix:
            AppendUnixLine(out, info, now);
            return;
    }
    out += info.FileName;
}

std::string FormatFileInfo(const TnbFtpFileInfo& info, TnbDirListingStyle style) {
    switch (style) {
        case TnbDirListingStyle::lsMsDos:
            return TnbMsDosFileInfoParser().Format(info);
        case TnbDirListingStyle::lsUnix:
            return TnbUnixFileInfoParser().Format(info);
    }
    return info.FileName;
}

std::string FormatFileInfo(const TnbFtpFileInfo& info, TnbDirListingStyle style,
                           const TnbDateTime& now) {
    std::string line;
    AppendFileInfo(line, info, style, now);
    return line;
}

// ---- Host and port texts ----

bool ParseHostPort(std::string_view text, std::string& host, int& port) {
    const auto groups = SplitOn(text, ',');
    if (groups.size() != 6)
        return false;
    std::array<int, 6> v{};
    for (std::size_t i = 0; i < groups.size(); ++i) {
        const auto g = ByteGroup(groups[i]);
        if (!g)
            return false;
        v[i] = *g;
    }
    host = std::to_string(v[0]) + '.' + std::to_string(v[1]) + '.' + std::to_string(v[2]) + '.' +
           std::to_string(v[3]);
    port = v[4] * 256 + v[5];
    return true;
}

std::string FormatHostPortAddress(std::string_view address, int port) {
    const auto groups = IPv4Groups(address);
    if (!groups)
        throw EnbSocketError("Invalid host address", nbErrInvalidHost);
    std::string result;
    for (const int g : *groups) {
        result += std::to_string(g);
        result += ',';
    }
    if (port < 0 || port > 65535)
        throw EnbSocketError("Invalid port number", nbErrInvalidPort);
    result += std::to_string(port / 256);
    result += ',';
    result += std::to_string(port % 256);
    return result;
}

std::string FormatHostPort(std::string_view host, int port) {
    // A numeric address needs no lookup.
    if (IPv4Groups(host))
        return FormatHostPortAddress(host, port);
    return FormatHostPortAddress(TnbHostResolver::GetHostIP(std::string(host), false), port);
}

}  // namespace nb
