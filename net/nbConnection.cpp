#include "net/nbConnection.h"

#include <exception>

#include "net/nbIpAddress.h"
#include "net/nbSocketUtils.h"
#include "util/nbStream.h"
#include "util/nbTranslator.h"
#include "util/nbUtils.h"

namespace nb {

namespace {

// A socket handle owned for the length of a scope: closed on every way out unless released.
class TOwnedHandle {
public:
    explicit TOwnedHandle(int handle) : handle_(handle) {}
    ~TOwnedHandle() {
        if (handle_ != nbInvalidSocket)
            SocketClose(handle_);
    }
    TOwnedHandle(const TOwnedHandle&) = delete;
    TOwnedHandle& operator=(const TOwnedHandle&) = delete;
    int Release() {
        const int handle = handle_;
        handle_ = nbInvalidSocket;
        return handle;
    }

private:
    int handle_;
};

// Raises the error code an event arrived with, if any.
void CheckEventError(const TnbNetworkEvents& events, int bit) {
    if (events.ErrorCode[bit] != 0)
        RaiseSocketError(events.ErrorCode[bit]);
}

// The text form the streams produce for an address, so that texts can be compared.
std::string CanonicalAddress(const std::string& text) {
    try {
        return TnbIPAddress::ParseIpAddress(text)->ToString();
    } catch (const EnbSocketError&) {
        return text;
    }
}

}  // namespace

// ---- TnbConnection ----

TnbConnection::TnbConnection() : socket_(std::make_unique<TnbSocket>()) {}

TnbConnection::~TnbConnection() {
    // Only this class's own operations can run here; a derived close has already been
    // unwound. Socket errors at this point help no one.
    try {
        TnbConnection::Close(false);
    } catch (...) {
    }
    try {
        TnbConnection::CloseSocket();
    } catch (...) {
    }
    TnbConnection::ReleaseResources();
}

bool TnbConnection::IsClosed() {
    return networkStream_ && networkStream_->NeedClose();
}

void TnbConnection::ReleaseResources() {
    socket_->Close();
    networkStream_.reset();
}

void TnbConnection::DoProgress(std::int64_t bytesProceed, std::int64_t totalBytes) {
    if (OnProgress)
        OnProgress(*this, bytesProceed, totalBytes);
}

void TnbConnection::DoReady() {
    if (OnReady)
        OnReady(*this);
}

void TnbConnection::SetActive(bool value) {
    active_.store(value);
}

void TnbConnection::Close(bool notifyPeer) {
    TnbNextAction pending = TnbNextAction::naNone;
    std::exception_ptr error;
    try {
        CloseStream(notifyPeer);
        if (Active() && networkStream_)
            pending = networkStream_->NextAction();
    } catch (...) {
        error = std::current_exception();
    }
    // A stream with a close exchange still to run keeps its socket; a failed close does not.
    if (!notifyPeer || pending == TnbNextAction::naNone)
        CloseSocket();
    if (error)
        std::rethrow_exception(error);
}

void TnbConnection::CloseStream(bool notifyPeer) {
    if (!Active())
        return;
    GetNetworkStream().Close(notifyPeer);
    if (notifyPeer)
        DispatchNextAction();
}

void TnbConnection::DispatchNextAction() {}

void TnbConnection::Abort() {
    isAborted_.store(true);
}

void TnbConnection::CloseSocket() {
    if (Active() && networkStream_)
        networkStream_->BeforeCloseSocket();
    SetActive(false);
    socket_->Close();
}

void TnbConnection::SetNetworkStream(std::unique_ptr<TnbNetworkStream> stream) {
    if (stream.get() == networkStream_.get()) {
        (void)stream.release();  // already ours: the pointer is owned once
        return;
    }
    if (stream && networkStream_)
        stream->Assign(*networkStream_);
    networkStream_ = std::move(stream);
    if (networkStream_)
        networkStream_->SetConnection(this);
}

TnbNetworkStream& TnbConnection::GetNetworkStream() const {
    if (!networkStream_)
        RaiseInternalError(nbErrNoNetworkStream);
    return *networkStream_;
}

void TnbConnection::InitProgress(std::int64_t bytesProceed, std::int64_t totalBytes) {
    bytesProceed_ = bytesProceed;
    if (networkStream_)
        networkStream_->ResetBytesProceed();
    totalBytes_ = totalBytes;
}

void TnbConnection::AddBytesProceed(std::int64_t count) {
    bytesProceed_ += count;
    DoProgress(bytesProceed_, totalBytes_);
}

void TnbConnection::CreateSocket(int family, int type, int protocol) {
    isAborted_.store(false);
    // A handle left from an earlier use would leak if it were overwritten.
    if (socket_->Handle() != nbInvalidSocket) {
        SetActive(false);
        socket_->Close();
    }
    const int handle = SocketCreate(family, type, protocol);
    const int error = WSAGetLastError();
    socket_->SetHandle(handle, handle == nbInvalidSocket ? 0 : family);
    if (handle == nbInvalidSocket)
        RaiseSocketError(error);
}

// ---- TnbSyncConnection ----

void TnbSyncConnection::ReleaseResources() {
    TnbConnection::ReleaseResources();
}

void TnbSyncConnection::Abort() {
    TnbConnection::Abort();
    abortEvent_.Signal();
}

void TnbSyncConnection::SelectEvents(int mask) {
    if (Socket().Handle() == nbInvalidSocket)
        RaiseSocketError(WSAENOTSOCK);
    Socket().SelectEvents(mask);
}

void TnbSyncConnection::ResetTimeOut() {
    lastActivity_ = GetTickCount32();
}

void TnbSyncConnection::WriteString(const std::string& text, const std::string& charSet) {
    TnbMemoryStream data(TnbTranslator::Encode(text, charSet));
    data.SetPosition(0);
    WriteData(&data);
}

bool TnbSyncConnection::WaitNetworkEvents(int timeOut, TnbNetworkEvents& events) {
    for (;;) {
        // The limit runs from the start of the period (LastActivity), so that events which
        // bring no progress (a peer turned away, a wake with nothing to report) cannot keep
        // a pass alive for ever.
        int limit = timeOut;
        if (timeOut >= 0) {
            const std::uint32_t elapsed = TicksElapsed(lastActivity_, GetTickCount32());
            if (elapsed > static_cast<std::uint32_t>(timeOut))
                RaiseInternalError(nbErrTimeout);
            limit = timeOut - static_cast<int>(elapsed);
        }
        const int mask = Socket().WaitEvents();
        const int handle = mask != 0 ? Socket().Handle() : nbInvalidSocket;
        if (!WaitForEvent(handle, abortEvent_.Handle(), lastActivity_, NoMessagePump(), limit,
                          mask)) {
            return false;
        }
        events = Socket().EnumNetworkEvents();
        if (events.NetworkEvents != 0)
            return true;
    }
}

// ---- TnbTcpConnection ----

bool TnbTcpConnection::IsClosed() {
    return closedByPeer_ || TnbSyncConnection::IsClosed();
}

void TnbTcpConnection::SetActive(bool value) {
    TnbSyncConnection::SetActive(value);
    if (value)
        closedByPeer_ = false;
}

void TnbTcpConnection::InternalReadData(TnbStream* destination) {
    TnbNetworkStream& stream = GetNetworkStream();
    // A receive that found the orderly close is the peer's close as much as FD_CLOSE is.
    auto readStream = [&] {
        stream.Read(destination);
        if (stream.ClosedOnRead()) {
            closedByPeer_ = true;
            Socket().NoteClosed();
        }
    };
    auto body = [&] {
        ResetTimeOut();
        if (stream.HasReadData()) {
            stream.SetHasReadData(false);
            readStream();
            if (stream.NeedClose())
                return;
            if (!readUntilClose_ || !Active()) {
                if (!Active())
                    stream.ClearNextAction();
                return;
            }
        }
        do {
            if (!Active())
                RaiseSocketError(WSAENOTSOCK);
            if (stream.NeedClose())
                break;
            TnbNetworkEvents events;
            if (WaitNetworkEvents(TimeOut(), events)) {
                if (events.NetworkEvents & FD_CLOSE) {
                    CheckEventError(events, FD_CLOSE_BIT);
                    closedByPeer_ = true;
                }
                if (events.NetworkEvents & FD_READ) {
                    CheckEventError(events, FD_READ_BIT);
                    readStream();
                    if (!readUntilClose_)
                        break;
                    ResetTimeOut();
                }
                if (closedByPeer_)
                    break;
            }
        } while (!stream.NeedStop());
    };
    try {
        body();
    } catch (...) {
        try {
            if (IsClosed() && !keepOpenOnPeerClose_)
                Close(false);
        } catch (...) {
        }
        throw;
    }
    if (IsClosed() && !keepOpenOnPeerClose_)
        Close(false);
}

void TnbTcpConnection::InternalWriteData(TnbStream* source) {
    ResetTimeOut();
    if (!Active())
        RaiseSocketError(WSAENOTSOCK);
    TnbNetworkStream& stream = GetNetworkStream();
    // The peer is gone: close. Bytes it never got make the write a failure (a download cut
    // short must be reported as such); with nothing left to send it is a normal end.
    auto closeAfterPeer = [&] {
        Close(false);
        if (source && source->Remaining() > 0)
            RaiseSocketError(WSAECONNRESET);
    };
    if (stream.NeedClose()) {
        closeAfterPeer();
        return;
    }
    try {
        if (stream.Write(source))
            return;
        do {
            TnbNetworkEvents events;
            if (WaitNetworkEvents(TimeOut(), events)) {
                if (events.NetworkEvents & FD_READ) {
                    CheckEventError(events, FD_READ_BIT);
                    stream.SetHasReadData(true);  // read by the next read pass
                }
                if (events.NetworkEvents & FD_WRITE) {
                    CheckEventError(events, FD_WRITE_BIT);
                    ResetTimeOut();
                    if (stream.Write(source))
                        break;
                }
                if (events.NetworkEvents & FD_CLOSE) {
                    CheckEventError(events, FD_CLOSE_BIT);
                    closedByPeer_ = true;
                    closeAfterPeer();
                    break;
                }
            }
            if (stream.NeedClose()) {
                closeAfterPeer();
                break;
            }
        } while (!stream.NeedStop());
    } catch (...) {
        if (Active() && stream.NeedClose()) {
            try {
                Close(false);
            } catch (...) {
            }
        }
        throw;
    }
}

bool TnbTcpConnection::ReadData(TnbStream* destination) {
    TnbNetworkStream& stream = GetNetworkStream();
    // A peer that closed ends the passes too: a handshake it left half done would otherwise be
    // asked for more bytes for ever.
    do {
        InternalReadData(destination);
        while (Active() && stream.NextAction() == TnbNextAction::naWrite)
            WriteData(nullptr);
    } while (Active() && !stream.NeedClose() && stream.NextAction() == TnbNextAction::naRead);
    return true;
}

bool TnbTcpConnection::WriteData(TnbStream* source) {
    TnbNetworkStream& stream = GetNetworkStream();
    InternalWriteData(source);
    while (Active()) {
        switch (stream.NextAction()) {
            case TnbNextAction::naRead:
                ReadData(nullptr);
                break;
            case TnbNextAction::naWrite:
                InternalWriteData(nullptr);
                break;
            case TnbNextAction::naNone:
                return true;
        }
    }
    return true;
}

void TnbTcpConnection::DispatchNextAction() {
    TnbNetworkStream* stream = NetworkStream();
    if (!stream)
        return;
    switch (stream->NextAction()) {
        case TnbNextAction::naRead:
            ReadData(nullptr);
            break;
        case TnbNextAction::naWrite:
            WriteData(nullptr);
            break;
        case TnbNextAction::naNone:
            break;
    }
}

// ---- TnbTcpClientConnection ----

void TnbTcpClientConnection::Open(const std::string& server, int port) {
    auto address = TnbIPAddress::ParseIpAddress(server);
    TReadUntilCloseGuard readUntilClose(*this);
    TnbNetworkStream& stream = GetNetworkStream();
    try {
        CreateSocket(address->GetFamily(), nbSockStream, nbIpProtoTcp);
        ResetAbortEvent();
        SelectEvents(FD_CONNECT);
        const std::string binding(Trim(LocalBinding()));
        if (!binding.empty()) {
            auto local = TnbIPAddress::CreateBindingIpAddress(binding, address->GetFamily());
            stream.Bind(*local, 0);
        }
        if (!stream.Connect(*address, port)) {
            ResetTimeOut();
            const int limit = connectTimeOut_ != 0 ? connectTimeOut_ : TimeOut();
            do {
                TnbNetworkEvents events;
                if (WaitNetworkEvents(limit, events) && (events.NetworkEvents & FD_CONNECT)) {
                    CheckEventError(events, FD_CONNECT_BIT);
                    break;
                }
            } while (!IsAborted());
        }
        SelectEvents(FD_READ | FD_WRITE | FD_CLOSE);
    } catch (...) {
        // A connect that failed or timed out must not linger half-open.
        if (!Active())
            Socket().Close();
        throw;
    }
    if (IsAborted()) {
        Close(false);
        Socket().Close();
        return;
    }
    BecomeActive(&TnbNetworkStream::AfterConnect);
}

void TnbTcpConnection::BecomeActive(void (TnbNetworkStream::*afterStep)()) {
    SetActive(true);
    DispatchNextAction();
    if (!Active())
        RaiseInternalError(nbErrNotActive);
    TnbNetworkStream& stream = GetNetworkStream();
    (stream.*afterStep)();
    stream.DoReady();
}

// ---- TnbTcpServerConnection ----

int TnbTcpServerConnection::Listen(int port) {
    TnbNetworkStream& stream = GetNetworkStream();
    auto address = TnbIPAddress::CreateBindingIpAddress(std::string(Trim(LocalBinding())),
                                                        UseIpV6() ? nbAfInet6 : nbAfInet);
    CreateSocket(address->GetFamily(), nbSockStream, nbIpProtoTcp);
    ResetAbortEvent();
    try {
        stream.Bind(*address, port);
        stream.Listen();
    } catch (...) {
        Socket().Close();
        throw;
    }
    return stream.Port();
}

int TnbTcpServerConnection::Listen(int portBegin, int portEnd) {
    TnbNetworkStream& stream = GetNetworkStream();
    auto address = TnbIPAddress::CreateBindingIpAddress(std::string(Trim(LocalBinding())),
                                                        UseIpV6() ? nbAfInet6 : nbAfInet);
    CreateSocket(address->GetFamily(), nbSockStream, nbIpProtoTcp);
    ResetAbortEvent();
    try {
        stream.BindRange(*address, portBegin, portEnd);
        stream.Listen();
    } catch (...) {
        Socket().Close();
        throw;
    }
    return stream.Port();
}

void TnbTcpServerConnection::Accept(const std::string& expectedPeerIP) {
    TReadUntilCloseGuard readUntilClose(*this);
    TnbNetworkStream& stream = GetNetworkStream();
    const std::string expected = expectedPeerIP.empty() ? "" : CanonicalAddress(expectedPeerIP);
    try {
        SelectEvents(FD_ACCEPT);
        ResetTimeOut();
        for (;;) {
            bool pending = false;
            do {
                TnbNetworkEvents events;
                if (WaitNetworkEvents(TimeOut(), events) && (events.NetworkEvents & FD_ACCEPT)) {
                    CheckEventError(events, FD_ACCEPT_BIT);
                    pending = true;
                    break;
                }
            } while (!IsAborted());
            if (!pending || IsAborted()) {
                Close(false);
                Socket().Close();
                return;
            }
            // Only one peer is ever accepted per Listen: the listening handle is closed
            // however this ends.
            const int family = Socket().AddressFamily();
            TOwnedHandle listening(Socket().Handle());
            stream.Accept();
            // SECURITY: a passive data port is open to anyone; a peer other than the expected
            // client (a hijack attempt) is closed and the wait goes on within the same
            // time-out period.
            if (!expected.empty() && stream.PeerIP() != expected) {
                Socket().Close();
                Socket().SetHandle(listening.Release(), family);
                SelectEvents(FD_ACCEPT);
                continue;
            }
            break;
        }
        SelectEvents(FD_READ | FD_WRITE | FD_CLOSE);
    } catch (...) {
        if (!Active())
            Socket().Close();
        throw;
    }
    BecomeActive(&TnbNetworkStream::AfterAccept);
}

}  // namespace nb
