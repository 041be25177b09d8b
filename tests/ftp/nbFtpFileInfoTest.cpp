#include "ftp/nbFtpFileInfo.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

#include "net/nbSocketUtils.h"

namespace nb {
namespace {

TnbFtpFileInfo File(std::string name, std::int64_t size, TnbDateTime date) {
    TnbFtpFileInfo info;
    info.FileName = std::move(name);
    info.Size = size;
    info.ModifiedDate = date;
    return info;
}

TnbFtpFileInfo Dir(std::string name, TnbDateTime date) {
    TnbFtpFileInfo info = File(std::move(name), 4096, date);
    info.IsDirectory = true;
    return info;
}

// ---- MS-DOS style ----

TEST(MsDosListing, FormatsFilesDirectoriesAndTheTwelveHourClock) {
    EXPECT_EQ(
        FormatFileInfo(File("a.txt", 1234, {2024, 1, 15, 15, 7, 0}), TnbDirListingStyle::lsMsDos),
        "01-15-24  03:07PM                 1234 a.txt");
    EXPECT_EQ(FormatFileInfo(Dir("my docs", {2009, 11, 3, 9, 5, 0}), TnbDirListingStyle::lsMsDos),
              "11-03-09  09:05AM       <DIR>          my docs");
    EXPECT_EQ(FormatFileInfo(File("empty", 0, {2024, 1, 15, 0, 0, 0}), TnbDirListingStyle::lsMsDos),
              "01-15-24  12:00AM                    0 empty");
    EXPECT_EQ(FormatFileInfo(File("noon", 5368709120, {2024, 1, 15, 12, 30, 0}),
                             TnbDirListingStyle::lsMsDos),
              "01-15-24  12:30PM           5368709120 noon");
}

TEST(MsDosListing, ParsesLinesBackAndRefusesOthers) {
    TnbMsDosFileInfoParser parser;
    parser.SetNow(TnbDateTime{2024, 6, 1, 0, 0, 0});

    TnbFtpFileInfo info;
    parser.Parse(info, "01-15-24  03:07PM                 1234 a name with  spaces.txt ");
    EXPECT_EQ(info.FileName, "a name with  spaces.txt");
    EXPECT_EQ(info.Size, 1234);
    EXPECT_FALSE(info.IsDirectory);
    EXPECT_EQ(info.ModifiedDate, (TnbDateTime{2024, 1, 15, 15, 7, 0}));

    TnbFtpFileInfo dir;
    parser.Parse(dir, "12-31-99  11:59PM       <dir>          old");
    EXPECT_TRUE(dir.IsDirectory);
    EXPECT_EQ(dir.FileName, "old");
    EXPECT_EQ(dir.ModifiedDate, (TnbDateTime{1999, 12, 31, 23, 59, 0}));

    TnbFtpFileInfo odd;
    parser.Parse(odd, "01-15-24  03:07PM  12x4 x");
    EXPECT_EQ(odd.Size, 0);  // not a number

    TnbFtpFileInfo untouched = File("keep", 7, {});
    parser.Parse(untouched, "too few words");
    EXPECT_EQ(untouched.FileName, "keep");

    EXPECT_TRUE(parser.CanParse("01-15-24  03:07PM                 1234 a.txt"));
    EXPECT_FALSE(parser.CanParse("13-45-24  03:07PM  1234 a.txt"));
    EXPECT_FALSE(parser.CanParse("-rw-r--r-- 1 owner group 1234 Jan 05 14:07 a.txt"));
    EXPECT_FALSE(parser.CanParse("total 12"));
}

// ---- Unix style ----

TEST(UnixListing, FormatsRightsSizesAndTheSixMonthRule) {
    const TnbDateTime now{2024, 7, 15, 10, 0, 0};
    TnbFtpFileInfo ro = File("a.txt", 1234, {2024, 1, 5, 14, 7, 0});
    ro.IsReadOnly = true;
    // Exactly six calendar months back (Jan 15 against Jul 15) still shows the time.
    EXPECT_EQ(FormatFileInfo(ro, TnbDirListingStyle::lsUnix, TnbDateTime{2024, 7, 5, 0, 0, 0}),
              "-r-xr-xr-x   1 owner    group            1234 Jan 05 14:07 a.txt");
    EXPECT_EQ(FormatFileInfo(File("b", 1, {2024, 1, 15, 8, 0, 0}), TnbDirListingStyle::lsUnix, now),
              "-rwxrwxrwx   1 owner    group               1 Jan 15 08:00 b");
    // One day earlier shows the year.
    EXPECT_EQ(FormatFileInfo(File("c", 1, {2024, 1, 14, 8, 0, 0}), TnbDirListingStyle::lsUnix, now),
              "-rwxrwxrwx   1 owner    group               1 Jan 14 2024 c");
    // Future dates count as recent.
    EXPECT_EQ(FormatFileInfo(File("f", 1, {2030, 2, 1, 1, 2, 0}), TnbDirListingStyle::lsUnix, now),
              "-rwxrwxrwx   1 owner    group               1 Feb 01 01:02 f");
    // With today in the first half of the year the boundary lies in the previous year.
    const TnbDateTime march{2024, 3, 10, 0, 0, 0};
    EXPECT_EQ(
        FormatFileInfo(File("g", 1, {2023, 9, 10, 0, 0, 0}), TnbDirListingStyle::lsUnix, march),
        "-rwxrwxrwx   1 owner    group               1 Sep 10 00:00 g");
    EXPECT_EQ(
        FormatFileInfo(File("h", 1, {2023, 9, 9, 0, 0, 0}), TnbDirListingStyle::lsUnix, march),
        "-rwxrwxrwx   1 owner    group               1 Sep 09 2023 h");

    TnbFtpFileInfo rights = File("big", 5368709120, {2024, 7, 1, 9, 30, 0});
    rights.OwnerRights = nbRightRead | nbRightWrite | nbRightExecute;
    rights.GroupRights = nbRightRead | nbRightExecute;
    rights.OtherRights = nbRightRead;
    EXPECT_EQ(FormatFileInfo(rights, TnbDirListingStyle::lsUnix, now),
              "-rwxr-xr--   1 owner    group        5368709120 Jul 01 09:30 big");

    EXPECT_EQ(FormatFileInfo(Dir("pub", {2020, 12, 25, 0, 0, 0}), TnbDirListingStyle::lsUnix, now),
              "drwxrwxrwx   1 owner    group               0 Dec 25 2020 pub");
    TnbFtpFileInfo link = File("ln", 99, {2024, 7, 1, 0, 0, 0});
    link.IsLink = true;
    EXPECT_EQ(FormatFileInfo(link, TnbDirListingStyle::lsUnix, now).substr(0, 45),
              "lrwxrwxrwx   1 owner    group               0");
}

TEST(UnixListing, ParsesCommonLayouts) {
    TnbUnixFileInfoParser parser;
    parser.SetNow(TnbDateTime{2024, 7, 15, 10, 0, 0});

    TnbFtpFileInfo info;
    parser.Parse(info, "-rw-r--r--   1 alice  staff  5368709120 Jan  5 14:07 my file.txt");
    EXPECT_EQ(info.FileName, "my file.txt");
    EXPECT_EQ(info.Size, 5368709120);
    EXPECT_EQ(info.ModifiedDate, (TnbDateTime{2024, 1, 5, 14, 7, 0}));
    EXPECT_FALSE(info.IsDirectory);
    EXPECT_FALSE(info.IsReadOnly);
    EXPECT_EQ(info.OwnerRights, nbRightRead | nbRightWrite);
    EXPECT_EQ(info.GroupRights, nbRightRead);
    EXPECT_EQ(info.OtherRights, nbRightRead);

    // No group column: the size is found one column to the left.
    TnbFtpFileInfo noGroup;
    parser.Parse(noGroup, "dr-xr-xr-x 2 alice 512 Mar 3 2019 archive");
    EXPECT_TRUE(noGroup.IsDirectory);
    EXPECT_TRUE(noGroup.IsReadOnly);
    EXPECT_EQ(noGroup.Size, 512);
    EXPECT_EQ(noGroup.ModifiedDate, (TnbDateTime{2019, 3, 3, 0, 0, 0}));
    EXPECT_EQ(noGroup.FileName, "archive");

    TnbFtpFileInfo link;
    parser.Parse(link, "lrwxrwxrwx 1 root root 7 Aug 10 2021 latest  -> releases/v2");
    EXPECT_TRUE(link.IsLink);
    EXPECT_EQ(link.FileName, "latest");

    // A time instead of a year: a month and day after today belong to last year.
    TnbUnixFileInfoParser newYear;
    newYear.SetNow(TnbDateTime{2025, 1, 1, 0, 5, 0});
    TnbFtpFileInfo late;
    newYear.Parse(late, "-rw-r--r-- 1 u g 10 Dec 31 23:59 eve.log");
    EXPECT_EQ(late.ModifiedDate, (TnbDateTime{2024, 12, 31, 23, 59, 0}));

    EXPECT_TRUE(parser.CanParse("-rw-r--r-- 1 u g 10 Dec 31 23:59 eve.log"));
    EXPECT_FALSE(parser.CanParse("total 48"));
    EXPECT_FALSE(parser.CanParse("01-15-24  03:07PM  1234 a.txt"));
    EXPECT_FALSE(parser.CanParse("-rw-r--r-- 1 u g 10 Foo 99 99:99 x"));
}

// ---- AS/400 style ----

TEST(As400Listing, ParsesDatesInTheirThreeOrders) {
    TnbAs400FileInfoParser parser;
    parser.SetNow(TnbDateTime{2024, 6, 1, 0, 0, 0});

    TnbFtpFileInfo info;
    parser.Parse(info, "QSYS  77824 12/31/99 23:59:00 *FILE      MY.LIB");
    EXPECT_EQ(info.Size, 77824);
    EXPECT_EQ(info.ModifiedDate, (TnbDateTime{1999, 12, 31, 23, 59, 0}));
    EXPECT_TRUE(info.IsDirectory);
    EXPECT_EQ(info.FileName, "MY.LIB");

    TnbFtpFileInfo dayFirst;
    parser.Parse(dayFirst, "OWNER 10 15/01/24 08:00:00 *STMF a b.txt");
    EXPECT_EQ(dayFirst.ModifiedDate, (TnbDateTime{2024, 1, 15, 8, 0, 0}));
    EXPECT_FALSE(dayFirst.IsDirectory);
    EXPECT_EQ(dayFirst.FileName, "a b.txt");

    TnbFtpFileInfo yearFirst;
    parser.Parse(yearFirst, "OWNER 10 2024/01/15 08:00:00 *STMF y.txt");
    EXPECT_EQ(yearFirst.ModifiedDate, (TnbDateTime{2024, 1, 15, 8, 0, 0}));

    TnbFtpFileInfo shortForm;
    parser.Parse(shortForm, "OWNER DIR sub dir");
    EXPECT_TRUE(shortForm.IsDirectory);
    EXPECT_EQ(shortForm.FileName, "sub dir");

    EXPECT_TRUE(parser.CanParse("QSYS  77824 12/31/99 23:59:00 *FILE      MY.LIB"));
    EXPECT_TRUE(parser.CanParse("OWNER *MEM name"));
    EXPECT_FALSE(parser.CanParse("-rw-r--r-- 1 u g 10 Dec 31 23:59 eve.log"));
    EXPECT_EQ(parser.Format(info), "");
}

TEST(ListingDates, YearsTimesAndInvalidValues) {
    EXPECT_EQ(ExpandYear(99, 2024), 1999);
    EXPECT_EQ(ExpandYear(50, 2024), 2050);
    EXPECT_EQ(ExpandYear(51, 2024), 1951);
    EXPECT_EQ(ExpandYear(99, 2024, 0), 2099);
    EXPECT_EQ(ExpandYear(1987, 2024), 1987);

    EXPECT_EQ(ParseListingTime("03:07PM"), 15 * 3600 + 7 * 60);
    EXPECT_EQ(ParseListingTime("12:00am"), 0);
    EXPECT_EQ(ParseListingTime("12:30PM"), 12 * 3600 + 30 * 60);
    EXPECT_EQ(ParseListingTime("1.02.03"), 3723);
    EXPECT_EQ(ParseListingTime("25:00"), 0);
    EXPECT_EQ(ParseListingTime("garbage"), 0);

    EXPECT_TRUE(ParseListingDate("02-30-24", "01:00", 2024).IsEmpty());
    EXPECT_TRUE(ParseListingDate("20240115", "01:00", 2024).IsEmpty());
    EXPECT_EQ(ParseListingDate("02-29-24", "", 2024), (TnbDateTime{2024, 2, 29, 0, 0, 0}));
    EXPECT_TRUE(ParseAs400Date("31/02/24", 2024).IsEmpty());
}

TEST(ListingRoundTrip, FormattedEntriesParseBackToTheSameNameSizeAndTime) {
    const TnbDateTime now{2024, 7, 15, 10, 0, 0};
    const TnbFtpFileInfo entries[] = {File("plain.txt", 42, {2024, 7, 1, 23, 59, 0}),
                                      File("with  two spaces", 5368709120, {2024, 3, 1, 0, 1, 0}),
                                      Dir("folder", {2024, 6, 30, 12, 0, 0})};
    for (const auto& entry : entries) {
        TnbMsDosFileInfoParser dos;
        dos.SetNow(now);
        TnbFtpFileInfo back;
        dos.Parse(back, dos.Format(entry));
        EXPECT_EQ(back.FileName, entry.FileName);
        EXPECT_EQ(back.IsDirectory, entry.IsDirectory);
        if (!entry.IsDirectory) {
            EXPECT_EQ(back.Size, entry.Size);
        }
        EXPECT_EQ(back.ModifiedDate, entry.ModifiedDate);

        TnbUnixFileInfoParser unix;
        unix.SetNow(now);
        TnbFtpFileInfo back2;
        unix.Parse(back2, unix.Format(entry));
        EXPECT_EQ(back2.FileName, entry.FileName);
        EXPECT_EQ(back2.Size, entry.IsDirectory ? 0 : entry.Size);
        EXPECT_EQ(back2.ModifiedDate, entry.ModifiedDate);
    }
}

TEST(ListingParsers, RegisteredInOrderAndNeverThrowOnJunk) {
    const auto& parsers = FileInfoParsers();
    ASSERT_EQ(parsers.size(), 3u);
    EXPECT_NE(dynamic_cast<const TnbMsDosFileInfoParser*>(parsers[0].get()), nullptr);
    EXPECT_NE(dynamic_cast<const TnbUnixFileInfoParser*>(parsers[1].get()), nullptr);
    EXPECT_NE(dynamic_cast<const TnbAs400FileInfoParser*>(parsers[2].get()), nullptr);
    const char* junk[] = {"",
                          "     ",
                          "- - - - - - - - -",
                          "d 99999999999999999999999 Jan 1 1:1 x",
                          "-rw 1 2 3 -9223372036854775808 Feb 29 2023 x",
                          "1-1-1 1:1 <DIR>",
                          "a b c d e f g h i j k l m n o p",
                          "\xff\xfe -> ->"};
    for (const char* line : junk) {
        for (const auto& p : parsers) {
            TnbFtpFileInfo info;
            p->Parse(info, line);
            (void)p->CanParse(line);
        }
    }
}

// ---- Records and lists ----

TEST(FtpFileInfoList, OwnsSortsAndHandsOutEntries) {
    TnbFtpFileInfoList list;
    list.Add().FileName = "b";
    EXPECT_EQ(list.Add(std::make_unique<TnbFtpFileInfo>(File("a", 1, {}))), 1u);
    list.Add().FileName = "B";
    list.SortByName();
    ASSERT_EQ(list.Count(), 3u);
    EXPECT_EQ(list[0].FileName, "B");
    EXPECT_EQ(list[1].FileName, "a");
    EXPECT_EQ(list[2].FileName, "b");
    auto taken = list.Extract(1);
    EXPECT_EQ(taken->FileName, "a");
    EXPECT_EQ(list.Count(), 2u);
    EXPECT_THROW(list.Items(5), std::out_of_range);
}

class TZone {
public:
    explicit TZone(const char* zone) {
        if (const char* old = std::getenv("TZ"))
            old_ = old;
        setenv("TZ", zone, 1);
        tzset();
    }
    ~TZone() {
        if (old_) {
            setenv("TZ", old_->c_str(), 1);
        } else {
            unsetenv("TZ");
        }
        tzset();
    }

private:
    std::optional<std::string> old_;
};

TEST(FtpFileInfo, ModifiedDateInUtcForMdtm) {
    TZone zone("XXX-1");  // one hour ahead of UTC, no daylight saving
    TnbFtpFileInfo parsed = File("x", 0, {2024, 1, 31, 23, 30, 0});
    EXPECT_EQ(parsed.ModifiedDateUtc(), (TnbDateTime{2024, 1, 31, 22, 30, 0}));

    // Entries from the disk carry the instant, which is used as it is.
    TnbFtpFileInfo fromDisk;
    fromDisk.ModifiedTime = 1706743800;  // 2024-01-31 23:30:00 UTC
    fromDisk.ModifiedDate = TnbDateTime::FromLocalTime(1706743800);
    EXPECT_EQ(fromDisk.ModifiedDate, (TnbDateTime{2024, 2, 1, 0, 30, 0}));
    EXPECT_EQ(fromDisk.ModifiedDateUtc(), (TnbDateTime{2024, 1, 31, 23, 30, 0}));
}

// ---- Host and port texts ----

TEST(HostPort, ParsesOnlySixDecimalGroups) {
    std::string host = "unchanged";
    int port = -1;
    ASSERT_TRUE(ParseHostPort("192,168,0,10,4,1", host, port));
    EXPECT_EQ(host, "192.168.0.10");
    EXPECT_EQ(port, 1025);
    ASSERT_TRUE(ParseHostPort("127,0,0,1,255,255", host, port));
    EXPECT_EQ(port, 65535);

    host = "unchanged";
    port = -1;
    for (const char* bad :
         {"1,2,3,4,256,21", "a,b,c,d,1,1", "1,2,3,4,5", "1,2,3,4,5,6,7", "1,2,3,,5,6",
          "1,2,3,4,5, 6", "1,2,3,4,-1,6", "1,2,3,4,0x10,6", "1,2,3,4,0001,6", "", "1.2.3.4.5.6"}) {
        EXPECT_FALSE(ParseHostPort(bad, host, port)) << bad;
    }
    EXPECT_EQ(host, "unchanged");
    EXPECT_EQ(port, -1);
}

TEST(HostPort, FormatsIPv4AndRefusesWhatPasvCannotCarry) {
    EXPECT_EQ(FormatHostPortAddress("10.0.0.1", 1025), "10,0,0,1,4,1");
    EXPECT_EQ(FormatHostPortAddress("::FFFF:192.168.1.2", 20), "192,168,1,2,0,20");
    EXPECT_EQ(FormatHostPort("127.0.0.1", 65535), "127,0,0,1,255,255");
    try {
        FormatHostPortAddress("::1", 21);
        ADD_FAILURE() << "IPv6 accepted";
    } catch (const EnbSocketError& e) {
        EXPECT_EQ(e.ErrorCode, -2);
        EXPECT_STREQ(e.what(), "Invalid host address");
    }
    try {
        FormatHostPortAddress("10.0.0.1", 65536);
        ADD_FAILURE() << "port accepted";
    } catch (const EnbSocketError& e) {
        EXPECT_EQ(e.ErrorCode, -3);
    }
}

}  // namespace
}  // namespace nb
