#include "ftp/nbFtpMachineList.h"

#include <array>
#include <cstdio>

#include "util/nbUtils.h"

namespace nb {

namespace {

struct TFactName {
    TnbMlstFact Fact;
    const char* Name;
};

constexpr std::array<TFactName, 5> kFactNames{{{TnbMlstFact::mfType, "type"},
                                               {TnbMlstFact::mfSize, "size"},
                                               {TnbMlstFact::mfModify, "modify"},
                                               {TnbMlstFact::mfPerm, "perm"},
                                               {TnbMlstFact::mfUnixMode, "UNIX.mode"}}};

bool Allows(TnbFtpServerPermissions permissions, TnbFtpServerPermission permission) {
    // The same reading as the commands' permission check.
    return permissions == TnbFtpServerPermissions{TnbFtpServerPermission::spAll} ||
           permissions.Contains(permission);
}

}  // namespace

std::string MlstPermissions(const TnbFtpFileInfo& info, TnbFtpServerPermissions permissions) {
    using P = TnbFtpServerPermission;
    std::string perm;
    auto add = [&](P permission, const char* letters) {
        if (Allows(permissions, permission))
            perm += letters;
    };
    if (info.IsDirectory) {
        add(P::spUpload, "c");
        add(P::spRemoveDir, "d");
        add(P::spChangeDir, "e");
        add(P::spRename, "f");
        perm += "l";  // listing needs no permission of its own
        add(P::spMakeDir, "m");
        add(P::spDelete, "p");
    } else {
        if (!info.IsReadOnly)
            add(P::spUpload, "a");
        add(P::spDelete, "d");
        add(P::spRename, "f");
        add(P::spDownload, "r");
        if (!info.IsReadOnly)
            add(P::spUpload, "w");
    }
    return perm;
}

std::string FormatMlstEntry(const TnbFtpFileInfo& info, TnbMlstFacts facts,
                            TnbFtpServerPermissions permissions, TnbMlstEntryRole role,
                            std::string_view name) {
    std::string line;
    auto fact = [&line](const char* key, const std::string& value) {
        line += key;
        line += '=';
        line += value;
        line += ';';
    };
    if (facts.Contains(TnbMlstFact::mfType)) {
        const char* type = role == TnbMlstEntryRole::mrCurrentDir ? "cdir"
                           : info.IsDirectory                     ? "dir"
                                                                  : "file";
        fact("type", type);
    }
    if (facts.Contains(TnbMlstFact::mfSize) && !info.IsDirectory)
        fact("size", std::to_string(info.Size));
    if (facts.Contains(TnbMlstFact::mfModify)) {
        const TnbDateTime utc = info.ModifiedDateUtc();
        if (utc.IsValid())
            fact("modify", FormatMachineTime(utc));
    }
    if (facts.Contains(TnbMlstFact::mfPerm))
        fact("perm", MlstPermissions(info, permissions));
    if (facts.Contains(TnbMlstFact::mfUnixMode) && info.UnixMode) {
        char mode[16];
        std::snprintf(mode, sizeof mode, "0%03o", static_cast<unsigned>(*info.UnixMode & 07777));
        fact("UNIX.mode", mode);
    }
    line += ' ';
    line += name;
    return line;
}

TnbMlstFacts ParseMlstFacts(std::string_view text) {
    TnbMlstFacts facts;
    while (!text.empty()) {
        const auto semicolon = text.find(';');
        const std::string_view word = Trim(text.substr(0, semicolon));
        for (const auto& known : kFactNames) {
            if (SameTextAscii(word, known.Name))
                facts.Include(known.Fact);
        }
        if (semicolon == std::string_view::npos)
            break;
        text.remove_prefix(semicolon + 1);
    }
    return facts;
}

std::string FormatMlstFactNames(TnbMlstFacts facts) {
    std::string text;
    for (const auto& known : kFactNames) {
        if (facts.Contains(known.Fact)) {
            text += known.Name;
            text += ';';
        }
    }
    return text;
}

std::string MlstFeatLine(TnbMlstFacts selected) {
    std::string line = "MLST ";
    for (const auto& known : kFactNames) {
        line += known.Name;
        if (selected.Contains(known.Fact))
            line += '*';
        line += ';';
    }
    return line;
}

std::string FormatMachineTime(const TnbDateTime& utc) {
    char text[32];
    std::snprintf(text, sizeof text, "%04d%02d%02d%02d%02d%02d", utc.Year, utc.Month, utc.Day,
                  utc.Hour, utc.Minute, utc.Second);
    return text;
}

std::optional<std::time_t> ParseMachineTime(std::string_view text) {
    // RFC 3659 allows a fraction of a second; file times are set to whole seconds.
    const auto dot = text.find('.');
    if (dot != std::string_view::npos) {
        const std::string_view fraction = text.substr(dot + 1);
        if (fraction.empty() || fraction.find_first_not_of("0123456789") != std::string_view::npos)
            return std::nullopt;
        text = text.substr(0, dot);
    }
    if (text.size() != 14 || text.find_first_not_of("0123456789") != std::string_view::npos)
        return std::nullopt;
    auto number = [text](std::size_t pos, std::size_t len) {
        int value = 0;
        for (std::size_t i = pos; i < pos + len; ++i)
            value = value * 10 + (text[i] - '0');
        return value;
    };
    TnbDateTime t{number(0, 4), number(4, 2),  number(6, 2),
                  number(8, 2), number(10, 2), number(12, 2)};
    if (!t.IsValid())
        return std::nullopt;
    std::tm tm{};
    tm.tm_year = t.Year - 1900;
    tm.tm_mon = t.Month - 1;
    tm.tm_mday = t.Day;
    tm.tm_hour = t.Hour;
    tm.tm_min = t.Minute;
    tm.tm_sec = t.Second;
    return ::timegm(&tm);
}

}  // namespace nb
