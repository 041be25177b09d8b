// TnbFtpServer: data connections and transfers (PORT, PASV, REST, LIST, NLST, RETR, STOR, APPE,
// STOU, ABOR).
#include "ftp/nbFtpServer.h"

#include <system_error>

#include "ftp/nbFtpPath.h"
#include "ftp/nbFtpServerInternal.h"
#include "net/nbConnection.h"
#include "net/nbNetworkStream.h"
#include "tls/nbTlsStream.h"
#include "util/nbLimits.h"

namespace nb {

using namespace ftp_internal;

// ---- Data connections ----

std::shared_ptr<TnbTcpConnection> TnbFtpServer::InitDataConnection(
    TnbFtpCommandConnection& AConnection, std::unique_ptr<TnbTcpConnection> dataConnection) {
    TnbTcpConnection& dc = *dataConnection;
    if (UseTLS() != TnbServerTlsMode::stNone && AConnection.DataProtection()) {
        std::unique_ptr<TnbTlsNetworkStream> stream = CreateTlsStream();
        // FIX: the server is the TLS server on every data connection, also the ones it opens
        // itself (PORT): every FTPS client shakes hands as the TLS client. The handshake
        // starts once the preliminary reply is out (OpenDataConnection).
        stream->StartOnRequest = true;
        stream->NoSessionTickets = true;
        if (TlsDataSessionReuse() != TnbTlsDataSessionReuse::drNone)
            stream->SessionScope = AConnection.TlsSessionScope();
        dc.SetNetworkStream(std::move(stream));
    } else {
        dc.SetNetworkStream(std::make_unique<TnbNetworkStream>());
    }
    dc.SetTimeOut(TimeOut());
    dc.SetBatchSize(BatchSize());
    dc.SetReadUntilClose(true);
    dc.SetKeepOpenOnPeerClose(true);
    dc.SetUseIpV6(UseIpV6());
    dc.SetNoMessagePump(true);
    dc.SetBitsPerSec(AConnection.BitsPerSec() != 0 ? AConnection.BitsPerSec() : BitsPerSec());
    dc.SetLocalBinding(AConnection.IsPassive() ? AConnection.IP() : LocalBinding());
    // A long transfer keeps its control connection from the session time-out. The session owns
    // the data connection, so it outlives this callback.
    dc.OnProgress = [&AConnection](TnbConnection&, std::int64_t, std::int64_t) {
        AConnection.UpdateLastActivity();
    };
    AConnection.SetDataConnection(std::move(dataConnection));
    DoInitDataConnection(AConnection);
    return AConnection.DataConnection();
}

bool TnbFtpServer::IsValidPortTarget(TnbFtpCommandConnection& AConnection) {
    // SECURITY: without FXP a PORT may only name the client itself, so the server cannot be made
    // to connect to (and bounce data at) a third host; privileged ports other than 20 are off
    // limits either way.
    if (!UseFxp() && !SameAddress(AConnection.DataHost(), AConnection.PeerIP()))
        return false;
    const int port = AConnection.DataPort();
    return port == 20 || (port >= 1024 && port <= 65535);
}

std::shared_ptr<TnbTcpConnection> TnbFtpServer::OpenDataConnection(
    TnbFtpCommandConnection& AConnection, const std::string& command, const std::string& reply) {
    auto dc = AConnection.DataConnection();
    if (!dc)
        RaiseCannotOpenDataConnection(command);
    if (stopping_.load())
        dc->Abort();  // the server stops: no transfer starts any more
    if (dc->IsAborted())
        return dc;
    // A data connection that cannot be made (refused, timed out, no descriptor left) fails this
    // one command; the session goes on.
    try {
        // The kind of the prepared connection decides, not IsPassive: a PORT or PASV refused
        // after it changed IsPassive leaves the earlier connection in place.
        if (auto* server = dynamic_cast<TnbTcpServerConnection*>(dc.get())) {
            Reply(AConnection, command, reply);
            // SECURITY: the passive port is open to anyone who finds it first; without FXP only
            // the control connection's client may take the transfer.
            server->Accept(UseFxp() ? std::string() : AConnection.PeerIP());
        } else {
            auto& client = dynamic_cast<TnbTcpClientConnection&>(*dc);
            client.Open(AConnection.DataHost(), AConnection.DataPort());
            if (dc->Active() && !dc->IsAborted())
                Reply(AConnection, command, reply);
        }
    } catch (const EnbTcpCommandServerError&) {
        throw;
    } catch (const EnbSocketError&) {
        RaiseCannotOpenDataConnection(command);
    }
    if (auto* tls = dynamic_cast<TnbTlsNetworkStream*>(dc->NetworkStream());
        tls && dc->Active() && !dc->IsAborted()) {
        SecureDataConnection(AConnection, command, *dc, *tls);
    }
    return dc;
}

void TnbFtpServer::SecureDataConnection(TnbFtpCommandConnection& AConnection,
                                        const std::string& command, TnbTcpConnection& dc,
                                        TnbTlsNetworkStream& stream) {
    try {
        stream.StartServer();
        const bool readUntilClose = dc.ReadUntilClose();
        dc.SetReadUntilClose(false);  // the handshake's passes only
        try {
            dc.ReadData(nullptr);
        } catch (...) {
            dc.SetReadUntilClose(readUntilClose);
            throw;
        }
        dc.SetReadUntilClose(readUntilClose);
        if (!stream.HandshakeComplete())
            RaiseSocketError(WSAECONNRESET);
    } catch (const EnbTcpCommandServerError&) {
        throw;
    } catch (const std::exception& e) {
        // FIX: a failed handshake on the data connection (garbage instead of a ClientHello,
        // a client that went away) is a failed transfer: 426 and "226 Transfer aborted.", and
        // the session goes on.
        DoServerError(&AConnection, e);
        dc.Abort();
        try {
            dc.Close(false);
        } catch (const std::exception&) {
        }
        return;
    }
    const bool resumed = stream.Resumed();
    DoDataTlsReady(AConnection, resumed);
    if (!resumed && TlsDataSessionReuse() == TnbTlsDataSessionReuse::drRequire) {
        dc.Close(true);
        RaiseFtpError(command, 522,
                      "Data connections must resume the TLS session of the control connection");
    }
}

void TnbFtpServer::SendTransferEnd(TnbFtpCommandConnection& AConnection, const std::string& command,
                                   TnbFtpFileTransferStatus status, const std::string& errorMessage,
                                   const std::string& responseMessage,
                                   const std::string& abortReply) {
    if (status == TnbFtpFileTransferStatus::tsFail)
        RaiseFtpError(command, 500, errorMessage);
    const bool aborted = status == TnbFtpFileTransferStatus::tsAbort;
    // "226 Transfer aborted." below is ABOR's answer when an ABOR ended the transfer.
    if (aborted) {
        AConnection.AborAnswered();
        Reply(AConnection, command, abortReply.empty() ? kTransferAbortedReply : abortReply);
    }
    const std::string& text = !responseMessage.empty()
                                  ? responseMessage
                                  : (aborted ? kTransferAborted : kTransferComplete);
    Reply(AConnection, command, "226 " + text + ".");
}

void TnbFtpServer::CmdPort(TnbFtpCommandConnection& c, const std::string& cmd,
                           const TnbTcpCommandParams& p) {
    CheckSession(c, cmd);
    CheckNotEpsvAll(c, cmd);
    c.SetIsPassive(false);
    std::string host;
    int port = 0;
    // SECURITY: exactly six decimal groups of 0..255; anything else could smuggle a host or a
    // port past the checks below.
    if (!ParseHostPort(Trim(p.Params), host, port))
        RaiseInvalidArgument(cmd);
    const std::string peer = UnmapAddress(c.PeerIP());
    // A client behind address translation announces its private address: use the one it
    // really comes from.
    if (TnbIPAddress4::IsPrivateAddress(host) && !TnbIPAddress4::IsPrivateAddress(peer)) {
        host = peer;
    }
    c.SetDataHost(host);
    c.SetDataPort(port);
    if (!IsValidPortTarget(c))
        RaiseInvalidArgument(cmd);
    InitDataConnection(c, NewDataConnection<TnbTcpClientConnection>(cmd));
    Reply(c, cmd, "200 PORT command successful.");
}

void TnbFtpServer::CmdPasv(TnbFtpCommandConnection& c, const std::string& cmd,
                           const TnbTcpCommandParams&) {
    CheckSession(c, cmd);
    CheckNotEpsvAll(c, cmd);
    const int port = ListenPassive(c, cmd);
    std::string text;
    try {
        std::string host = PassiveHost();
        if (host.empty())
            host = c.IP();
        text = FormatHostPort(UnmapAddress(host), port);
    } catch (const EnbSocketError&) {
        // A control connection PASV cannot describe (IPv6; EPSV can): the client learns that
        // no data connection is possible and the session goes on.
        c.SetDataConnection(nullptr);
        RaiseCannotOpenDataConnection(cmd);
    }
    Reply(c, cmd, "227 Entering Passive Mode (" + text + ").");
}

int TnbFtpServer::ListenPassive(TnbFtpCommandConnection& c, const std::string& cmd) {
    c.SetIsPassive(true);
    auto dc = InitDataConnection(c, NewDataConnection<TnbTcpServerConnection>(cmd));
    c.SetDataHost(std::string());
    try {
        if (!dc)
            RaiseCannotOpenDataConnection(cmd);
        auto& server = static_cast<TnbTcpServerConnection&>(*dc);
        const int begin = DataPortBegin();
        const int end = DataPortEnd();
        const int port = (begin != 0 && end != 0) ? server.Listen(begin, end) : server.Listen(0);
        c.SetDataPort(port);
        return port;
    } catch (const EnbTcpCommandServerError&) {
        throw;
    } catch (const EnbSocketError&) {
        // No free port: the client learns that no data connection is possible and the session
        // goes on.
        c.SetDataConnection(nullptr);
        RaiseCannotOpenDataConnection(cmd);
    }
}

void TnbFtpServer::CmdRest(TnbFtpCommandConnection& c, const std::string& cmd,
                           const TnbTcpCommandParams& p) {
    CheckSession(c, cmd);
    std::int64_t offset = 0;
    // A 64-bit offset: resuming above 2 GiB must not turn into a restart at 0.
    if (!ParseOffset(Trim(p.Params), offset))
        RaiseInvalidArgument(cmd);
    c.SetRestartPosition(offset);
    Reply(c, cmd, "350 Restarting at " + std::to_string(offset) + ".");
}

void TnbFtpServer::ListFiles(TnbFtpCommandConnection& c, const std::string& cmd,
                             const std::string& param, bool namesOnly) {
    CheckSession(c, cmd);
    const std::string argument = Trimmed(param);
    std::string path = argument;
    std::string mask = "*";
    bool includeHidden = false;
    // Leading words that begin with "-" are ls options ("-la", "-R"), as many clients send them:
    // "a" shows hidden entries, the other letters change nothing here. The rest is the path.
    while (!path.empty() && path.front() == '-') {
        const auto blank = path.find(' ');
        const std::string_view options = std::string_view(path).substr(0, blank);
        if (options.find_first_of("aA") != std::string_view::npos)
            includeHidden = true;
        path = blank == std::string::npos ? std::string() : Trimmed(path.substr(blank + 1));
    }
    if (path.find_first_of("*?") != std::string::npos) {
        const std::string local = ToLocalPath(path);
        const auto slash = local.find_last_of('/');
        if (slash == std::string::npos) {
            mask = local;
            path.clear();
        } else {
            mask = local.substr(slash + 1);
            path = local.substr(0, slash + 1);
        }
    }
    TnbFtpFileInfoList list;
    bool success = true;
    std::string message;
    DoGetFileList(c, GetFullPath(c, path), mask, includeHidden, list, success, message);
    if (!success)
        RaiseFileError(cmd, argument, message);

    // All lines go into one buffer, sized once, with one "now" for the whole listing (the Unix
    // six-month rule), so that a large directory costs no allocation or clock read per entry.
    std::string text;
    const auto style = DirListingStyle();
    const TnbDateTime now = TnbDateTime::Now();
    std::size_t bytes = 0;
    for (std::size_t i = 0; i < list.Count(); ++i)
        bytes += list[i].FileName.size() + (namesOnly ? 2 : 72);
    text.reserve(bytes);
    for (std::size_t i = 0; i < list.Count(); ++i) {
        if (namesOnly) {
            text += list[i].FileName;
        } else {
            AppendFileInfo(text, list[i], style, now);
        }
        text += "\r\n";
    }
    list.Clear();
    SendListing(c, cmd, text);
}

void TnbFtpServer::SendListing(TnbFtpCommandConnection& c, const std::string& cmd,
                               const std::string& text) {
    bool aborted = false;
    {
        TTransferScope scope(*this, c);
        auto dc = OpenDataConnection(c, cmd, "150 Opening data connection.");
        if (dc->Active() && !dc->IsAborted()) {
            try {
                dc->WriteString(text, GetResponseCharSet(c));
            } catch (const EnbTcpCommandServerError&) {
                throw;
            } catch (const EnbSocketError&) {
                dc->Abort();  // the client went away or ABOR cut the listing short
            }
        }
        aborted = dc->IsAborted() || !dc->Active();
    }
    SendTransferEnd(
        c, cmd, aborted ? TnbFtpFileTransferStatus::tsAbort : TnbFtpFileTransferStatus::tsSuccess,
        std::string(), std::string());
}

void TnbFtpServer::CmdList(TnbFtpCommandConnection& c, const std::string& cmd,
                           const TnbTcpCommandParams& p) {
    ListFiles(c, cmd, p.Params, false);
}

void TnbFtpServer::CmdNlst(TnbFtpCommandConnection& c, const std::string& cmd,
                           const TnbTcpCommandParams& p) {
    ListFiles(c, cmd, p.Params, true);
}

void TnbFtpServer::CmdRetr(TnbFtpCommandConnection& c, const std::string& cmd,
                           const TnbTcpCommandParams& p) {
    CheckSession(c, cmd);
    const std::string name = Trimmed(p.Params);
    CheckPermission(c, cmd, TnbFtpServerPermission::spDownload, name);
    // SECURITY: an empty name or one that resolves to the root would make the refusal name the
    // root's local folder.
    if (name.empty())
        RaiseInvalidArgument(cmd);
    const std::string full = FullFilePath(c, cmd, name);
    const std::string fileName = FtpFileNamePart(full);

    auto status = TnbFtpFileTransferStatus::tsSuccess;
    std::string errorMessage;
    std::string responseMessage;
    std::int64_t size = 0;
    {
        TTransferScope scope(*this, c);
        try {
            std::unique_ptr<TnbStream> source;
            bool success = true;
            std::string message;
            DoGetFile(c, full, source, success, message);
            if (!success || !source)
                RaiseFileError(cmd, fileName, message);
            size = source->GetSize();
            const std::int64_t restart = c.RestartPosition();
            // An offset equal to the size sends nothing (the client has it all); beyond the
            // size there is nothing to resume from.
            if (restart > size)
                RaiseFileError(cmd, fileName, "Invalid restart position");
            if (restart > 0)
                source->SetPosition(restart);
            auto dc = OpenDataConnection(c, cmd,
                                         "150 Opening data connection for " + Echo(fileName) + "(" +
                                             std::to_string(size) + " bytes).");
            if (dc->Active() && !dc->IsAborted()) {
                try {
                    dc->WriteData(source.get());
                } catch (const EnbTcpCommandServerError&) {
                    throw;
                } catch (const EnbSocketError&) {
                    dc->Abort();  // the client closed the data connection, or ABOR
                }
            }
            const bool aborted = dc->IsAborted() || !dc->Active();
            // A file that shrank while it was sent ended early: the client has fewer bytes
            // than the 150 reply announced, which is no completed transfer.
            if (!aborted && source->GetPosition() < size)
                RaiseFtpError(cmd, 451, "Requested action aborted: " + Echo(fileName) +
                                            ": file changed while it was sent");
            source.reset();
            if (aborted)
                status = TnbFtpFileTransferStatus::tsAbort;
            DoGetFileDone(c, full, size, status, errorMessage, responseMessage);
        } catch (const std::exception& e) {
            status = TnbFtpFileTransferStatus::tsFail;
            errorMessage = e.what();
            DoGetFileDone(c, full, size, status, errorMessage, responseMessage);
            if (status == TnbFtpFileTransferStatus::tsFail)
                throw;
        }
    }
    SendTransferEnd(c, cmd, status, errorMessage, responseMessage);
}

void TnbFtpServer::StoreFile(TnbFtpCommandConnection& c, const std::string& cmd,
                             const std::string& param, bool unique, bool append) {
    CheckSession(c, cmd);
    std::string name;
    if (unique) {
        c.SetRestartPosition(0);
        // SECURITY: bounded, so a directory full of FTPn.TMP files cannot keep a worker busy.
        for (int i = 0; i < kFtpMaxUniqueNameProbes && name.empty(); ++i) {
            const std::string candidate = "FTP" + std::to_string(i) + ".TMP";
            try {
                GetFileInfo(c, cmd, candidate);
            } catch (const EnbTcpCommandServerError&) {
                name = candidate;
            }
        }
        if (name.empty())
            RaiseFtpError(cmd, 550, "No unique file name available.");
    } else {
        name = Trimmed(param);
        if (name.empty())
            RaiseInvalidArgument(cmd);
    }
    const std::string full = FullFilePath(c, cmd, name);
    const std::string fileName = FtpFileNamePart(full);
    CheckPermission(c, cmd, TnbFtpServerPermission::spUpload, fileName);

    auto status = TnbFtpFileTransferStatus::tsSuccess;
    std::string errorMessage;
    std::string responseMessage;
    std::string abortReply;
    std::int64_t size = 0;
    {
        TTransferScope scope(*this, c);
        auto dc =
            OpenDataConnection(c, cmd, "150 Opening data connection for " + Echo(fileName) + ".");
        // An ABOR while the data connection was being opened ends the command before the file
        // is touched: a STOR that never started must not truncate its target.
        if (dc->IsAborted() || !dc->Active()) {
            status = TnbFtpFileTransferStatus::tsAbort;
        } else {
            try {
                const bool resume = append || c.RestartPosition() > 0;
                std::unique_ptr<TnbStream> destination;
                bool success = true;
                std::string message;
                if (unique) {
                    DoPutUniqueFile(c, full, destination, success, message);
                } else {
                    DoPutFile(c, full, !resume, destination, success, message);
                }
                if (!success || !destination)
                    RaiseFileError(cmd, fileName, message);
                if (resume) {
                    const std::int64_t current = destination->GetSize();
                    const std::int64_t restart = c.RestartPosition();
                    // Never write at an offset the file does not reach: the gap would be junk.
                    if (restart > current)
                        RaiseFileError(cmd, fileName, "Invalid restart position");
                    if (restart > 0) {
                        destination->SetPosition(restart);
                    } else {
                        destination->Seek(0, TnbSeekOrigin::soEnd);
                    }
                }
                try {
                    try {
                        dc->ReadData(destination.get());
                        DoPutFileReady(c, full, *destination);
                    } catch (const EnbTcpCommandServerError&) {
                        throw;
                    } catch (const EnbSocketError&) {
                        dc->Abort();  // the client broke the connection, or ABOR
                    }
                    size = destination->GetSize();
                    // Only a finished upload takes effect: an aborted replacement is dropped
                    // with the stream and the old file stays (an append keeps what came).
                    if (!dc->IsAborted())
                        CloseDestination(*destination);
                    // FIX: a protected upload that ended without the client's close_notify
                    // may have been cut short by anyone on the way. What came is kept; the
                    // strict server says that the transfer did not end as it should.
                    const auto* tls = dynamic_cast<const TnbTlsNetworkStream*>(dc->NetworkStream());
                    if (tls && !dc->IsAborted() && !tls->CloseNotifyReceived() &&
                        TlsStrictUploadEof()) {
                        status = TnbFtpFileTransferStatus::tsAbort;
                        abortReply =
                            "426 Upload ended without TLS close_notify; data may be truncated";
                    }
                } catch (const EnbSocketError&) {
                    throw;
                } catch (const EnbFileError& e) {
                    // A failed write or close (a full disk) is never a completed upload.
                    RaiseWriteError(cmd, fileName, e);
                } catch (const std::exception& e) {
                    RaiseFileError(cmd, fileName, e.what());
                }
                destination.reset();
                if (dc->IsAborted())
                    status = TnbFtpFileTransferStatus::tsAbort;
                DoPutFileDone(c, full, size, status, errorMessage, responseMessage);
            } catch (const std::exception& e) {
                status = TnbFtpFileTransferStatus::tsFail;
                errorMessage = e.what();
                DoPutFileDone(c, full, size, status, errorMessage, responseMessage);
                if (status == TnbFtpFileTransferStatus::tsFail)
                    throw;
            }
        }
    }
    SendTransferEnd(c, cmd, status, errorMessage, responseMessage, abortReply);
}

void TnbFtpServer::CmdStor(TnbFtpCommandConnection& c, const std::string& cmd,
                           const TnbTcpCommandParams& p) {
    StoreFile(c, cmd, p.Params, false, false);
}

void TnbFtpServer::CmdAppe(TnbFtpCommandConnection& c, const std::string& cmd,
                           const TnbTcpCommandParams& p) {
    StoreFile(c, cmd, p.Params, false, true);
}

void TnbFtpServer::CmdStou(TnbFtpCommandConnection& c, const std::string& cmd,
                           const TnbTcpCommandParams& p) {
    StoreFile(c, cmd, p.Params, true, false);
}

void TnbFtpServer::CmdAbor(TnbFtpCommandConnection& c, const std::string& cmd,
                           const TnbTcpCommandParams&) {
    CheckSession(c, cmd);
    // A running transfer or digest answers for ABOR after its own reply (426 then 226, or its
    // 550 or 425 then 226); without one, ABOR must answer and must not leave anything behind
    // for the next transfer.
    if (!c.AbortTransfer())
        Reply(c, cmd, kAborReply);
}

}  // namespace nb
