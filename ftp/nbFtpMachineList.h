// Machine-readable listings (MLST, MLSD) and the compact UTC time stamps that MLST, MDTM and MFMT
// share: the fact line of one entry, the fact selection of OPTS MLST, the perm fact that an
// account's permissions give, and the FEAT line that announces the facts.
// Thread notes: free functions without state; any thread.
#pragma once

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>

#include "ftp/nbFtpFileInfo.h"
#include "ftp/nbFtpServer.h"
#include "util/nbSet.h"

namespace nb {

// The facts the server knows, in the order a fact line writes them.
enum class TnbMlstFact : std::uint8_t { mfType, mfSize, mfModify, mfPerm, mfUnixMode };
using TnbMlstFacts = TnbSet<TnbMlstFact>;

inline constexpr TnbMlstFacts kAllMlstFacts{TnbMlstFact::mfType, TnbMlstFact::mfSize,
                                            TnbMlstFact::mfModify, TnbMlstFact::mfPerm,
                                            TnbMlstFact::mfUnixMode};

// What the entry is to the listing: an entry of it, or the listed directory itself ("cdir").
enum class TnbMlstEntryRole { mrEntry, mrCurrentDir };

// "type=file;size=3;modify=20240105140700;perm=adfrw;UNIX.mode=0644; name": the selected facts
// the entry has (size only for files, modify only with a date, UNIX.mode only when the handler
// gave the mode), a blank, the name.
std::string FormatMlstEntry(const TnbFtpFileInfo& info, TnbMlstFacts facts,
                            TnbFtpServerPermissions permissions, TnbMlstEntryRole role,
                            std::string_view name);
// The perm fact (RFC 3659 7.5.5) of an entry for an account: files "r" download, "a" and "w"
// upload (not on a read-only file), "d" delete, "f" rename; directories "e" change into, "l"
// list, "c" upload, "m" make directories, "p" delete entries, "d" remove, "f" rename.
std::string MlstPermissions(const TnbFtpFileInfo& info, TnbFtpServerPermissions permissions);

// OPTS MLST "type;size;": the known facts named (any case), unknown names ignored.
TnbMlstFacts ParseMlstFacts(std::string_view text);
// "type;size;" of a selection, as the OPTS MLST reply repeats it.
std::string FormatMlstFactNames(TnbMlstFacts facts);
// "MLST type*;size*;modify*;perm*;UNIX.mode*;" with "*" after each selected fact.
std::string MlstFeatLine(TnbMlstFacts selected);

// "YYYYMMDDHHMMSS" of a UTC time.
std::string FormatMachineTime(const TnbDateTime& utc);
// "YYYYMMDDHHMMSS" (an optional ".fff" fraction is ignored) read as UTC; nothing unless it is
// exactly that and a real date and time.
std::optional<std::time_t> ParseMachineTime(std::string_view text);

}  // namespace nb
