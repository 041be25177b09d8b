#include "ftp/nbFtpMachineList.h"

#include <gtest/gtest.h>

#include <optional>

namespace nb {
namespace {

using P = TnbFtpServerPermission;

// The perm fact follows the account's rights and the entry's kind; the other facts appear only
// when selected and known.
TEST(MachineList, FactLinesFollowRightsKindAndSelection) {
    TnbFtpFileInfo file;
    file.FileName = "a.txt";
    file.Size = 1234;
    file.ModifiedTime = 1'000'000'000;  // 2001-09-09 01:46:40 UTC
    file.UnixMode = 0100644;            // the type bits are not the mode's
    TnbFtpFileInfo readOnly = file;
    readOnly.IsReadOnly = true;
    TnbFtpFileInfo dir;
    dir.IsDirectory = true;
    dir.Size = 4096;  // a directory's size is no fact
    const TnbFtpServerPermissions all{P::spAll};
    const TnbFtpServerPermissions anonymous{P::spChangeDir, P::spDownload};
    const TnbFtpServerPermissions writer{P::spUpload, P::spMakeDir, P::spDelete};

    struct TCase {
        const TnbFtpFileInfo& Info;
        TnbMlstFacts Facts;
        TnbFtpServerPermissions Rights;
        TnbMlstEntryRole Role;
        const char* Expected;
    };
    const TCase cases[] = {
        {file, kAllMlstFacts, all, TnbMlstEntryRole::mrEntry,
         "type=file;size=1234;modify=20010909014640;perm=adfrw;UNIX.mode=0644; a.txt"},
        {readOnly, {TnbMlstFact::mfPerm}, all, TnbMlstEntryRole::mrEntry, "perm=dfr; a.txt"},
        {file, {TnbMlstFact::mfPerm}, anonymous, TnbMlstEntryRole::mrEntry, "perm=r; a.txt"},
        {file, {TnbMlstFact::mfPerm}, writer, TnbMlstEntryRole::mrEntry, "perm=adw; a.txt"},
        {dir, kAllMlstFacts, all, TnbMlstEntryRole::mrEntry, "type=dir;perm=cdeflmp; a.txt"},
        {dir,
         {TnbMlstFact::mfType, TnbMlstFact::mfPerm},
         anonymous,
         TnbMlstEntryRole::mrCurrentDir,
         "type=cdir;perm=el; a.txt"},
        {dir, {TnbMlstFact::mfPerm}, writer, TnbMlstEntryRole::mrEntry, "perm=clmp; a.txt"},
        {file, {}, all, TnbMlstEntryRole::mrEntry, " a.txt"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(FormatMlstEntry(c.Info, c.Facts, c.Rights, c.Role, "a.txt"), c.Expected);
    }
}

TEST(MachineList, FactSelectionAndFeatLine) {
    struct TCase {
        const char* Option;
        const char* Selected;
    };
    const TCase cases[] = {
        {"type;size;modify;perm;UNIX.mode;", "type;size;modify;perm;UNIX.mode;"},
        {"SIZE;Type", "type;size;"},
        {"unique;lang;size;", "size;"},
        {" modify ; ;unix.MODE;", "modify;UNIX.mode;"},
        {"", ""},
        {"typex;", ""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(FormatMlstFactNames(ParseMlstFacts(c.Option)), c.Selected) << c.Option;
    EXPECT_EQ(MlstFeatLine(kAllMlstFacts), "MLST type*;size*;modify*;perm*;UNIX.mode*;");
    EXPECT_EQ(MlstFeatLine({TnbMlstFact::mfSize}), "MLST type;size*;modify;perm;UNIX.mode;");
}

TEST(MachineList, MachineTimesReadAsUtcAndStrictly) {
    struct TCase {
        const char* Text;
        std::optional<std::time_t> Expected;
    };
    const TCase cases[] = {
        {"19700101000000", 0},
        {"20010909014640", 1'000'000'000},
        {"20010909014640.999", 1'000'000'000},  // fractions are dropped
        {"20000229120000", 951'825'600},        // a leap day
        {"21060207062816", 4'294'967'296},      // beyond 32 bits
        {"19000229000000", std::nullopt},       // no leap day in 1900
        {"20011301000000", std::nullopt},
        {"20010909246000", std::nullopt},
        {"2001090901464", std::nullopt},
        {"200109090146400", std::nullopt},
        {"2001090901464a", std::nullopt},
        {"-2001090901464", std::nullopt},
        {"20010909014640.", std::nullopt},
        {"20010909014640.5x", std::nullopt},
        {"", std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ParseMachineTime(c.Text), c.Expected) << c.Text;
        if (c.Expected) {
            EXPECT_EQ(FormatMachineTime(TnbDateTime::FromUtcTime(*c.Expected)),
                      std::string(c.Text).substr(0, 14));
        }
    }
}

}  // namespace
}  // namespace nb
