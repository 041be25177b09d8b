// Answers the FTP server's file-system events from the local disk.
// The paths it receives are the server's local paths (root + virtual path); each is resolved
// again beneath the session's root (from AConnection), following only links that stay inside
// (see OnGetFileList in the unit and util/nbConfinedRoot.h for the rule).
// Thread notes: called on the server's worker threads, several connections at once. The handler
// keeps no state besides its server link; concurrent opens of one file are governed by the
// sharing table of TnbFileStream (downloads shared, uploads exclusive).
// Error texts are the system's text only (never a path), because they go into replies.
#pragma once

#include <ctime>
#include <memory>
#include <string>
#include <string_view>

#include "ftp/nbFtpFileInfo.h"
#include "util/nbComponent.h"
#include "util/nbStream.h"

namespace nb {

class TnbFtpServer;
class TnbFtpCommandConnection;

// Whether name matches mask. Only "*" (any run, also empty) and "?" (one character) are special,
// every other byte is literal, and the comparison is case-sensitive; "*.*" means "*".
bool MatchesFileMask(std::string_view name, std::string_view mask);

class TnbFtpFileHandler : public TnbComponent {
public:
    TnbFtpFileHandler() = default;
    ~TnbFtpFileHandler();
    TnbFtpFileHandler(const TnbFtpFileHandler&) = delete;
    TnbFtpFileHandler& operator=(const TnbFtpFileHandler&) = delete;

    // The server whose file events this handler answers. Linking a server assigns its
    // OnCreateDir, OnDelete, OnRename, OnPutFile, OnPutUniqueFile, OnGetFile, OnGetFileList and
    // OnSetModifiedTime to this handler; unlinking (another server or none, or destroying the
    // handler) sets them to empty. A server destroyed first is forgotten (a free notification).
    // Not while the server runs: the events are plain members that workers read.
    TnbFtpServer* Server() const { return server_; }
    void SetServer(TnbFtpServer* server);

    // The six answering methods take the server's event parameters; Sender and AConnection give
    // the session's root. Direct callers may pass nullptr for both: paths then resolve beneath
    // "/".

    // Creates the one directory AName (its parent must exist).
    void OnCreateDir(TnbFtpServer* Sender, TnbFtpCommandConnection* AConnection,
                     const std::string& AName, bool& Success, std::string& AErrorMessage);
    // Removes AName: an empty directory with rmdir, anything else (a symbolic link itself too)
    // with unlink. Never recursive.
    void OnDelete(TnbFtpServer* Sender, TnbFtpCommandConnection* AConnection,
                  const std::string& AName, bool& Success, std::string& AErrorMessage);
    // MFMT: sets the modification time of AFileName (of a link itself, not of its target).
    void OnSetModifiedTime(TnbFtpServer* Sender, TnbFtpCommandConnection* AConnection,
                           const std::string& AFileName, std::time_t AModifiedTime, bool& Success,
                           std::string& AErrorMessage);
    // Renames or moves; never replaces an existing target (fails with "File exists"). A link is
    // moved as itself, and refused where its target would then lead outside the root.
    void OnRename(TnbFtpServer* Sender, TnbFtpCommandConnection* AConnection,
                  const std::string& ACurrentName, const std::string& ANewName, bool& Success,
                  std::string& AErrorMessage);
    // Opens AFileName for writing: AOverwrite writes a new file that replaces it when the
    // stream's Close succeeds (a failed or aborted upload leaves the old file as it was);
    // otherwise it is opened at its start without emptying and created when missing (APPE, and
    // STOR after REST). The server positions the stream.
    void OnPutFile(TnbFtpServer* Sender, TnbFtpCommandConnection* AConnection,
                   const std::string& AFileName, bool AOverwrite,
                   std::unique_ptr<TnbStream>& ADestination, bool& Success,
                   std::string& AErrorMessage);
    // STOU: creates AFileName and fails when it exists already.
    void OnPutUniqueFile(TnbFtpServer* Sender, TnbFtpCommandConnection* AConnection,
                         const std::string& AFileName, std::unique_ptr<TnbStream>& ADestination,
                         bool& Success, std::string& AErrorMessage);
    // Opens the regular file AFileName for reading while no upload writes it.
    void OnGetFile(TnbFtpServer* Sender, TnbFtpCommandConnection* AConnection,
                   const std::string& AFileName, std::unique_ptr<TnbStream>& ASource, bool& Success,
                   std::string& AErrorMessage);
    // Fills AFileList.
    // - An empty AFileMask asks for the entry named by APathName itself: found even when
    //   hidden, no wildcards; a missing entry fails with the system text.
    // - Otherwise, when APathName names a file, the list holds that file; when it names a
    //   directory, the entries matching AFileMask, sorted by name, hidden ones ("." names) only
    //   with AIncludeHidden. A mask without wildcards (the server's single-entry lookup: the
    //   directory and the entry's name) finds that one entry even when hidden, and a missing
    //   one fails with the system text. A missing path fails with the system text; an existing
    //   directory where nothing matches the wildcards gives an empty list.
    // Only regular files and directories appear (links followed, broken ones left out), never
    // "." or "..", never a name with CR or LF.
    void OnGetFileList(TnbFtpServer* Sender, TnbFtpCommandConnection* AConnection,
                       const std::string& APathName, const std::string& AFileMask,
                       bool AIncludeHidden, TnbFtpFileInfoList& AFileList, bool& Success,
                       std::string& AErrorMessage);

protected:
    // The linked server is going: forget it (its events go with it).
    void Notification(TnbComponent& AComponent) override;

private:
    void Hook(TnbFtpServer& server);
    static void Unhook(TnbFtpServer& server);

    TnbFtpServer* server_ = nullptr;
    TnbComponent* serverLink_ = nullptr;  // the server as linked
};

}  // namespace nb
