// Directory entries, the listing lines the server writes (MS-DOS and Unix style), the parsers
// that read MS-DOS, Unix and AS/400 lines back, and the host-and-port text of PORT and PASV.
// Thread notes: records and lists are used by one thread at a time. The free functions are
// thread-safe. A parser instance keeps only its optional fixed "now", so share one between
// threads only when nobody changes that.
#pragma once

#include <compare>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace nb {

// A calendar date and time of day without a zone (listings carry wall-clock time).
// The default value (all zero) is "no date"; IsValid tells a real one from it.
struct TnbDateTime {
    int Year = 0;
    int Month = 0;  // 1..12
    int Day = 0;    // 1..31
    int Hour = 0;   // 0..23
    int Minute = 0;
    int Second = 0;

    static TnbDateTime FromLocalTime(std::time_t t);
    static TnbDateTime FromUtcTime(std::time_t t);
    // The current local time.
    static TnbDateTime Now();
    static bool IsValidDate(int year, int month, int day);
    static bool IsValidTime(int hour, int minute, int second);

    // A real date (years 1 to 9999) with a valid time of day.
    bool IsValid() const;
    bool IsEmpty() const { return *this == TnbDateTime{}; }
    // This wall-clock time read as local time and converted to UTC with the zone rules of now
    // (an hour that a daylight-saving change repeats is taken once); empty when invalid.
    TnbDateTime LocalToUtc() const;

    friend auto operator<=>(const TnbDateTime&, const TnbDateTime&) = default;
};

enum class TnbDirListingStyle { lsMsDos = 0, lsUnix = 1 };

// Rights bits of OwnerRights, GroupRights and OtherRights.
inline constexpr std::uint8_t nbRightRead = 1;
inline constexpr std::uint8_t nbRightWrite = 2;
inline constexpr std::uint8_t nbRightExecute = 4;

// One directory entry.
struct TnbFtpFileInfo {
    bool IsReadOnly = false;
    bool IsDirectory = false;
    std::int64_t Size = 0;
    std::string FileName;      // name only (for a link, without the target)
    TnbDateTime ModifiedDate;  // last modification, local wall-clock time
    bool IsLink = false;
    std::uint8_t OwnerRights = 0;
    std::uint8_t OtherRights = 0;
    std::uint8_t GroupRights = 0;
    bool IsHidden = false;  // the name starts with "." (only set for entries read from the disk)
    // The exact instant of ModifiedDate (seconds since the Unix epoch) when the entry came from
    // the disk; lines parsed from a listing only have the wall-clock time.
    std::optional<std::time_t> ModifiedTime;
    // The permission bits (07777) when the entry came from the disk.
    std::optional<std::uint32_t> UnixMode;

    void Clear() { *this = TnbFtpFileInfo{}; }
    // ModifiedDate in UTC: from ModifiedTime when known, else converted from local time.
    TnbDateTime ModifiedDateUtc() const;
};

// An owning list of entries, filled by the file-list event and read by LIST and NLST.
class TnbFtpFileInfoList {
public:
    TnbFtpFileInfoList() = default;
    TnbFtpFileInfoList(const TnbFtpFileInfoList&) = delete;
    TnbFtpFileInfoList& operator=(const TnbFtpFileInfoList&) = delete;
    TnbFtpFileInfoList(TnbFtpFileInfoList&&) = default;
    TnbFtpFileInfoList& operator=(TnbFtpFileInfoList&&) = default;

    // Takes the entry; returns its index.
    std::size_t Add(std::unique_ptr<TnbFtpFileInfo> info);
    // Appends a cleared entry and returns it.
    TnbFtpFileInfo& Add();
    std::size_t Count() const { return items_.size(); }
    TnbFtpFileInfo& Items(std::size_t index) { return *items_.at(index); }
    const TnbFtpFileInfo& Items(std::size_t index) const { return *items_.at(index); }
    TnbFtpFileInfo& operator[](std::size_t index) { return Items(index); }
    const TnbFtpFileInfo& operator[](std::size_t index) const { return Items(index); }
    // Removes the entry from the list and hands it to the caller.
    std::unique_ptr<TnbFtpFileInfo> Extract(std::size_t index);
    void Clear() { items_.clear(); }
    // Orders the entries by FileName, byte by byte.
    void SortByName();

private:
    std::vector<std::unique_ptr<TnbFtpFileInfo>> items_;
};

// Reads and writes one listing style. "Now" is the local clock unless fixed with SetNow (tests,
// and reading old listings consistently): the Unix style needs it for its six-month rule and
// for lines without a year; two-digit years take their century from it.
class TnbFtpFileInfoParser {
public:
    virtual ~TnbFtpFileInfoParser() = default;

    // Fills info from one listing line; fields the line does not give stay as they are.
    // Never raises: invalid dates become empty, non-numeric sizes 0.
    virtual void Parse(TnbFtpFileInfo& info, std::string_view line) const = 0;
    // One listing line for info (without a line end).
    virtual std::string Format(const TnbFtpFileInfo& info) const = 0;
    // Whether the line looks like this style.
    virtual bool CanParse(std::string_view line) const = 0;

    void SetNow(std::optional<TnbDateTime> now) { now_ = now; }
    TnbDateTime Now() const { return now_ ? *now_ : TnbDateTime::Now(); }

private:
    std::optional<TnbDateTime> now_;
};

// "01-15-24  03:07PM                 1234 a.txt" and "       <DIR>         " for directories.
class TnbMsDosFileInfoParser : public TnbFtpFileInfoParser {
public:
    void Parse(TnbFtpFileInfo& info, std::string_view line) const override;
    std::string Format(const TnbFtpFileInfo& info) const override;
    bool CanParse(std::string_view line) const override;
};

// "-rw-r--r--   1 owner    group            1234 Jan 05 14:07 a.txt" (recent dates show the
// time, older ones than six months the year).
class TnbUnixFileInfoParser : public TnbFtpFileInfoParser {
public:
    void Parse(TnbFtpFileInfo& info, std::string_view line) const override;
    std::string Format(const TnbFtpFileInfo& info) const override;
    bool CanParse(std::string_view line) const override;
};

// AS/400 (OS/400) lines: "OWNER  1234 12/31/99 23:59:00 *STMF name". Read only.
class TnbAs400FileInfoParser : public TnbFtpFileInfoParser {
public:
    void Parse(TnbFtpFileInfo& info, std::string_view line) const override;
    std::string Format(const TnbFtpFileInfo& info) const override;  // always empty
    bool CanParse(std::string_view line) const override;
};

// One instance of each style, in the order MS-DOS, Unix, AS/400 (built on first use).
const std::vector<std::unique_ptr<TnbFtpFileInfoParser>>& FileInfoParsers();

// One LIST line for info: lsMsDos and lsUnix use their formatter, any other value the name
// alone. The overload with now fixes the Unix six-month rule's "today".
std::string FormatFileInfo(const TnbFtpFileInfo& info, TnbDirListingStyle style);
std::string FormatFileInfo(const TnbFtpFileInfo& info, TnbDirListingStyle style,
                           const TnbDateTime& now);
// The same line appended to out: a listing builds all its lines in one buffer.
void AppendFileInfo(std::string& out, const TnbFtpFileInfo& info, TnbDirListingStyle style,
                    const TnbDateTime& now);

// Date and time helpers of the parsers, published for tests and for readers of other listings.
// A two-digit year (below 100) gets the century of currentYear, or the previous one when
// window is not 0 and the year is above window: with window 50 in the 2000s, 99 -> 1999,
// 50 -> 2050, 51 -> 1951.
int ExpandYear(int year, int currentYear, int window = 50);
// "mm-dd-yy" (any non-digit separator) and a time such as "03:07PM"; empty when invalid.
TnbDateTime ParseListingDate(std::string_view date, std::string_view time, int currentYear);
// "hh:nn[:ss]" with an optional AM/PM; seconds since midnight, 0 when invalid.
int ParseListingTime(std::string_view text);
// AS/400 dates: day/month/year, month/day/year when the second field is above 12, and
// year first when the first field is 32 or more; empty when invalid.
TnbDateTime ParseAs400Date(std::string_view text, int currentYear);

// PORT argument "h1,h2,h3,h4,p1,p2": exactly six decimal groups of 0 to 255. Returns false
// (outputs untouched) for anything else. host = "h1.h2.h3.h4", port = p1 * 256 + p2.
// SECURITY: a strict reading, so letters or groups above 255 can never smuggle another host or
// port past the caller's checks.
bool ParseHostPort(std::string_view text, std::string& host, int& port);
// PASV text of a dotted IPv4 address (an IPv4-mapped IPv6 text is unwrapped) and a port:
// "10.0.0.1", 1025 -> "10,0,0,1,4,1". Raises EnbSocketError -2 for anything that is not an
// IPv4 address and -3 for a port outside 0..65535.
std::string FormatHostPortAddress(std::string_view address, int port);
// As FormatHostPortAddress, after resolving a host name to its IPv4 address.
std::string FormatHostPort(std::string_view host, int port);

}  // namespace nb
