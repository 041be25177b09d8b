#include "net/nbNetworkStream.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <new>

#include "net/nbConnection.h"
#include "net/nbIpAddress.h"
#include "net/nbSocketUtils.h"
#include "util/nbFileStream.h"
#include "util/nbLimits.h"
#include "util/nbStream.h"

namespace nb {

namespace {

// Throttle sleeps are cut into slices so that a connection without an abort event still
// notices Abort within this time.
constexpr int kThrottleSliceMs = 200;

bool IsFatalSendError(int code) {
    return code >= WSAENETDOWN && code <= WSAECONNRESET;
}

std::string BlockText(const TnbResolvedAddress& address) {
    if (address.Family == nbAfInet)
        return InetNtoa(SockAddrIPv4(address.Address));
    if (address.Family == nbAfInet6)
        return FormatIPv6Address(SockAddrIPv6(address.Address));
    return {};
}

}  // namespace

TnbNetworkStream::TnbNetworkStream() = default;

TnbNetworkStream::~TnbNetworkStream() = default;

// ---- Virtual operations ----

int TnbNetworkStream::GetBatchSize() {
    TnbConnection& connection = RequireConnection();
    const int batchSize = connection.BatchSize();
    if (batchSize < 1)
        RaiseInternalError(nbErrInvalidBatchSize);
    const std::int64_t limit = connection.BytesToProceed();
    if (limit > -1 && limit >= bytesProceed_ && limit - bytesProceed_ < batchSize) {
        return static_cast<int>(limit - bytesProceed_);
    }
    return batchSize;
}

void TnbNetworkStream::SetConnection(TnbConnection* connection) {
    connection_ = connection;
}

void TnbNetworkStream::Assign(const TnbNetworkStream& source) {
    peerIP_ = source.peerIP_;
    peerPort_ = source.peerPort_;
    ip_ = source.ip_;
    port_ = source.port_;
    hasReadData_ = source.hasReadData_;
}

bool TnbNetworkStream::Connect(TnbIPAddress& address, int port) {
    needClose_ = false;
    ClearNextAction();
    BeforeConnect();
    address.SetPort(port);
    TnbConnection& connection = RequireConnection();
    const int result =
        connection.Socket().Connect(address.GetSockAddr(), address.GetSockAddrLength());
    if (result == -1 && WSAGetLastError() != WSAEWOULDBLOCK)
        RaiseSocketError(WSAGetLastError());
    SetPeerAddress(address);
    return result == 0;
}

void TnbNetworkStream::AfterConnect() {
    UpdateLocalAddress();
    SendSegmentsAtOnce();
}

void TnbNetworkStream::Bind(TnbIPAddress& address, int port) {
    address.SetPort(port);
    const int handle = SocketHandle();
    // A listening port must be reusable while old connections on it linger in TIME_WAIT.
    SocketSetReuseAddress(handle);
    if (SocketBind(handle, address.GetSockAddr(), address.GetSockAddrLength()) == -1) {
        RaiseSocketError(WSAGetLastError());
    }
}

void TnbNetworkStream::BindRange(TnbIPAddress& address, int portBegin, int portEnd) {
    if (portBegin < 1 || portEnd < portBegin || portEnd > 65535) {
        RaiseInternalError(nbErrInvalidPort);
    }
    const int handle = SocketHandle();
    SocketSetReuseAddress(handle);
    for (int port = portBegin; port <= portEnd; ++port) {
        address.SetPort(port);
        if (SocketBind(handle, address.GetSockAddr(), address.GetSockAddrLength()) == 0)
            return;
        const int error = WSAGetLastError();
        const bool taken = error == WSAEADDRINUSE || error == WSAEACCES;
        if (!taken || port == portEnd)
            RaiseSocketError(error);
    }
}

void TnbNetworkStream::SetBroadcast() {
    if (SocketFamily() == nbAfInet6)
        RaiseInternalError(nbErrInvalidFamily);
    if (SocketSetBroadcast(SocketHandle()) == -1)
        RaiseSocketError(WSAGetLastError());
}

void TnbNetworkStream::Listen() {
    needClose_ = false;
    ClearNextAction();
    const int handle = SocketHandle();
    SocketSetNonBlocking(handle);  // sockets are made non-blocking; this only makes sure
    if (SocketListen(handle, 1) == -1)
        RaiseSocketError(WSAGetLastError());
    TnbSockAddrStorage local;
    int length = static_cast<int>(sizeof local.Bytes);
    if (SocketGetSockName(handle, local.Bytes, &length) == -1)
        RaiseSocketError(WSAGetLastError());
    port_ = SockAddrPort(local);
}

void TnbNetworkStream::Accept() {
    needClose_ = false;
    ClearNextAction();
    BeforeAccept();
    TnbConnection& connection = RequireConnection();
    TnbResolvedAddress peer;
    int length = static_cast<int>(sizeof peer.Address.Bytes);
    const int handle = connection.Socket().Accept(peer.Address.Bytes, &length);
    const int error = WSAGetLastError();
    // The listening handle stays with the caller, who closes it.
    connection.Socket().SetHandle(handle, connection.Socket().AddressFamily());
    if (handle == nbInvalidSocket)
        RaiseSocketError(error);
    peer.Family = SockAddrFamily(peer.Address);
    peer.Length = length;
    peerIP_ = BlockText(peer);
    peerPort_ = SockAddrPort(peer.Address);
    connection.SetPeerIP(peerIP_);
    connection.SetPeerPort(peerPort_);
}

void TnbNetworkStream::AfterAccept() {
    UpdateLocalAddress();
    SendSegmentsAtOnce();
}

void TnbNetworkStream::SendSegmentsAtOnce() {
    // Writes through a stream are whole messages (a reply, a batch, a record). With Nagle's
    // algorithm the last small one waits for the peer's ACK, and a peer with nothing to send
    // delays that ACK by about 40 ms: FTP's "226" after a short transfer arrived that late.
    // A socket that is not TCP refuses the option, which changes nothing for it.
    SocketSetNoDelay(SocketHandle());
}

void TnbNetworkStream::Close(bool notifyPeer) {
    (void)notifyPeer;
    ClearNextAction();
}

void TnbNetworkStream::BeforeCloseSocket() {}

void TnbNetworkStream::DoReady() {
    if (connection_)
        connection_->DoReady();
}

bool TnbNetworkStream::Read(TnbStream* destination) {
    ClearNextAction();
    closedOnRead_ = false;
    if (!destination)
        return true;
    if (TnbFileStream* file = DirectDestination(destination)) {
        switch (ReceiveFileDirect(*file)) {
            case TDirectSend::dsFinished:
                return true;
            case TDirectSend::dsWouldBlock:
                return false;
            case TDirectSend::dsCopy:
                break;
        }
    }
    // A memory destination takes the bytes where they land, without the copy through the
    // stream's own buffer.
    TnbMemoryStream* memory = PlainMemoryStream(destination);
    bool result = true;
    for (;;) {
        const int size = GetReadBatchSize();
        // With the read limit reached there is nothing to ask for: a receive of 0 bytes would
        // answer 0 and pass for the peer's close.
        if (size < 1)
            break;
        char* buffer = memory ? ReceiveSpace(*memory, size) : TransferBuffer(size);
        const int received = Recv(buffer, size);
        const int error = WSAGetLastError();
        result = received != -1;
        if (received == -1 && error != WSAEWOULDBLOCK)
            RaiseSocketError(error);
        if (received > 0) {
            if (memory)
                memory->Wrote(static_cast<std::size_t>(received));
            else
                destination->Write(buffer, received);
            AddBytesProceed(received);
        }
        if (received == 0) {
            needClose_ = true;
            closedOnRead_ = true;
        }
        if (received <= 0 || NeedStop())
            break;
    }
    return result;
}

bool TnbNetworkStream::Write(TnbStream* source) {
    ClearNextAction();
    if (!source || source->GetPosition() >= source->GetSize())
        return true;
    return WriteCount(source, -1);
}

bool TnbNetworkStream::WriteCount(TnbStream* source, std::int64_t count) {
    ClearNextAction();
    if (count == 0 || !source)
        return true;
    const std::int64_t remaining = source->GetSize() - source->GetPosition();
    if (remaining <= 0)
        return true;
    if (count < 0 || count > remaining)
        count = remaining;
    if (GetWriteBatchSize() < 1)
        return true;
    std::int64_t sent = 0;
    if (TnbFileStream* file = DirectSource(source)) {
        switch (SendFileDirect(*file, count, sent)) {
            case TDirectSend::dsFinished:
                return true;
            case TDirectSend::dsWouldBlock:
                return false;
            case TDirectSend::dsCopy:
                break;
        }
    }
    for (;;) {
        const int size =
            static_cast<int>(std::min<std::int64_t>(GetWriteBatchSize(), count - sent));
        if (size < 1)
            break;
        const std::int64_t result = CopyBatch(source, size);
        if (result == kBatchWouldBlock)
            return false;
        if (result == kBatchSourceEnded)
            break;
        AddBytesProceed(result);
        sent += result;
        if (sent >= count || NeedStop())
            break;
    }
    return true;
}

std::int64_t TnbNetworkStream::CopyBatch(TnbStream* source, int size) {
    char* buffer = TransferBuffer(size);
    const std::int64_t taken = source->Read(buffer, size);
    if (taken <= 0)
        return kBatchSourceEnded;  // the source was shorter than it said
    const int len = static_cast<int>(taken);
    const int result = Send(buffer, len);
    if (result == -1) {
        const int error = WSAGetLastError();
        // Whatever happens, the position marks the first byte the socket has not taken.
        source->Seek(-taken, TnbSeekOrigin::soCurrent);
        if (error == WSAEWOULDBLOCK)
            return kBatchWouldBlock;
        if (IsFatalSendError(error))
            needClose_ = true;
        RaiseSocketError(error);
    }
    if (result < len)
        source->Seek(-(taken - result), TnbSeekOrigin::soCurrent);
    return result;
}

TnbFileStream* TnbNetworkStream::DirectSource(TnbStream* source) {
    if (!connection_ || !CanSendFileDirectly() || connection_->BitsPerSec() > 0)
        return nullptr;  // a throttled send must pace the bytes it moves
    auto* file = dynamic_cast<TnbFileStream*>(source);
    // A file open for writing cannot be read by the kernel for us.
    if (!file || !file->IsOpen() || file->Mode() != TnbFileMode::fmOpenRead)
        return nullptr;
    return file;
}

TnbNetworkStream::TDirectSend TnbNetworkStream::SendFileDirect(TnbFileStream& file,
                                                               std::int64_t count,
                                                               std::int64_t& sent) {
    TnbConnection& connection = RequireConnection();
    std::int64_t position = file.GetPosition();
    for (;;) {
        std::int64_t size = std::min(kSendFileChunk, count - sent);
        // The read limit caps a chunk as it caps a batch (see GetBatchSize).
        const std::int64_t limit = connection.BytesToProceed();
        if (limit > -1 && limit >= bytesProceed_ && limit - bytesProceed_ < size)
            size = limit - bytesProceed_;
        if (size < 1)
            return TDirectSend::dsFinished;
        const std::int64_t result =
            connection.Socket().SendFile(file.Handle(), position, static_cast<std::size_t>(size));
        if (result == -1) {
            const int error = WSAGetLastError();
            if (error == WSAEWOULDBLOCK) {
                file.SetPosition(position);  // the first byte the socket has not taken
                return TDirectSend::dsWouldBlock;
            }
            if (IsFatalSendError(error)) {
                needClose_ = true;
                RaiseSocketError(error);
            }
            // No sendfile for this file system (EINVAL, EOPNOTSUPP), or a failure that is not
            // the socket's (a read error of the disk): the copy path sends the rest, and raises
            // what it meets with the error of the one that failed, file or socket.
            if (error == WSAEINVAL || error == WSAEOPNOTSUPP || error < 10000)
                return TDirectSend::dsCopy;
            RaiseSocketError(error);
        }
        if (result == 0)
            return TDirectSend::dsFinished;  // the file was shorter than it said
        position += result;
        // The position marks the first unsent byte even if a progress handler raises.
        file.SetPosition(position);
        AddBytesProceed(result);
        sent += result;
        if (sent >= count || NeedStop())
            return TDirectSend::dsFinished;
    }
}

TnbFileStream* TnbNetworkStream::DirectDestination(TnbStream* destination) {
    if (!connection_ || !CanSendFileDirectly() || connection_->BitsPerSec() > 0)
        return nullptr;  // a throttled receive must pace the bytes it moves
    auto* file = dynamic_cast<TnbFileStream*>(destination);
    if (!file || !file->IsOpen() || file->Mode() == TnbFileMode::fmOpenRead)
        return nullptr;
    return file;
}

TnbNetworkStream::TDirectSend TnbNetworkStream::ReceiveFileDirect(TnbFileStream& file) {
    if (!pipeRead_) {
        int ends[2];
        // No descriptor left for a pipe is no failure: the copy path needs none.
        if (::pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0)
            return TDirectSend::dsCopy;
        pipeRead_ = TnbFd(ends[0]);
        pipeWrite_ = TnbFd(ends[1]);
        // A larger pipe moves more per call; the system may refuse, and the default works.
        (void)::fcntl(ends[1], F_SETPIPE_SZ, static_cast<int>(kReceiveFileChunk));
    }
    TnbConnection& connection = RequireConnection();
    for (;;) {
        std::int64_t size = kReceiveFileChunk;
        // The read limit caps a chunk as it caps a batch (see GetBatchSize).
        const std::int64_t limit = connection.BytesToProceed();
        if (limit > -1 && limit >= bytesProceed_ && limit - bytesProceed_ < size)
            size = limit - bytesProceed_;
        if (size < 1)
            return TDirectSend::dsFinished;
        const std::int64_t received =
            connection.Socket().RecvToPipe(pipeWrite_.Get(), static_cast<std::size_t>(size));
        if (received == -1) {
            const int error = WSAGetLastError();
            if (error == WSAEWOULDBLOCK)
                return TDirectSend::dsWouldBlock;
            if (error == WSAEINVAL)
                return TDirectSend::dsCopy;  // nothing was taken from the socket
            RaiseSocketError(error);
        }
        if (received == 0) {
            needClose_ = true;
            closedOnRead_ = true;
            return TDirectSend::dsFinished;
        }
        try {
            file.WriteFromPipe(pipeRead_.Get(), received);
        } catch (...) {
            // Bytes the file refused may still sit in the pipe: they must never reach a later
            // destination.
            pipeRead_.Reset();
            pipeWrite_.Reset();
            throw;
        }
        AddBytesProceed(received);
        if (NeedStop())
            return TDirectSend::dsFinished;
    }
}

bool TnbNetworkStream::ReadFrom(TnbStream* destination, TnbIPAddress& address, int& port) {
    ClearNextAction();
    if (!destination)
        return true;
    const int size = GetReadBatchSize();
    if (size < 1)
        return true;
    char* buffer = TransferBuffer(size);
    TnbResolvedAddress sender;
    int length = static_cast<int>(sizeof sender.Address.Bytes);
    const int received = RecvFrom(buffer, size, sender.Address.Bytes, &length);
    if (received == -1) {
        const int error = WSAGetLastError();
        if (error == WSAEWOULDBLOCK)
            return false;
        RaiseSocketError(error);
    }
    if (received > 0) {
        destination->Write(buffer, received);
        AddBytesProceed(received);
    }
    UpdateLocalAddress();
    sender.Family = SockAddrFamily(sender.Address);
    peerIP_ = BlockText(sender);
    peerPort_ = SockAddrPort(sender.Address);
    if (address.Parse(peerIP_))
        address.SetPort(peerPort_);
    if (connection_) {
        connection_->SetPeerIP(peerIP_);
        connection_->SetPeerPort(peerPort_);
    }
    port = peerPort_;
    return true;
}

bool TnbNetworkStream::WriteTo(TnbStream* source, TnbIPAddress& address, int port) {
    ClearNextAction();
    if (!source)
        return true;
    const std::int64_t remaining = source->GetSize() - source->GetPosition();
    if (remaining <= 0)
        return true;
    const int size = GetWriteBatchSize();
    if (size < 1)
        return true;
    address.SetPort(port);
    const int len = static_cast<int>(std::min<std::int64_t>(size, remaining));
    char* buffer = TransferBuffer(len);
    const std::int64_t taken = source->Read(buffer, len);
    if (taken <= 0)
        return true;
    const int result =
        SendTo(buffer, static_cast<int>(taken), address.GetSockAddr(), address.GetSockAddrLength());
    if (result == -1) {
        const int error = WSAGetLastError();
        source->Seek(-taken, TnbSeekOrigin::soCurrent);
        if (error == WSAEWOULDBLOCK)
            return false;
        RaiseSocketError(error);
    }
    if (result < taken)
        source->Seek(-(taken - result), TnbSeekOrigin::soCurrent);
    AddBytesProceed(result);
    UpdateLocalAddress();
    SetPeerAddress(address);
    return true;
}

int TnbNetworkStream::ReadBuffer(void* buffer, int size) {
    return Recv(buffer, size);
}

int TnbNetworkStream::WriteBuffer(const void* buffer, int size) {
    return Send(buffer, size);
}

int TnbNetworkStream::GetReadBatchSize() {
    return GetBatchSize();
}

int TnbNetworkStream::GetWriteBatchSize() {
    return GetBatchSize();
}

bool TnbNetworkStream::IsReadLimitReached() {
    if (!connection_)
        return false;
    const std::int64_t limit = connection_->BytesToProceed();
    return limit > -1 && bytesProceed_ >= limit;
}

void TnbNetworkStream::ResetBytesProceed() {
    bytesProceed_ = 0;
}

void TnbNetworkStream::AddBytesProceed(std::int64_t count) {
    bytesProceed_ += count;
    if (connection_)
        connection_->AddBytesProceed(count);
}

void TnbNetworkStream::BeforeConnect() {}

void TnbNetworkStream::BeforeAccept() {}

// ---- Non-virtual operations ----

void TnbNetworkStream::UpdateLocalAddress() {
    if (!connection_ || !connection_->Active())
        return;
    TnbResolvedAddress local;
    int length = static_cast<int>(sizeof local.Address.Bytes);
    if (SocketGetSockName(SocketHandle(), local.Address.Bytes, &length) == -1) {
        RaiseSocketError(WSAGetLastError());
    }
    local.Family = SockAddrFamily(local.Address);
    local.Length = length;
    ip_ = BlockText(local);
    port_ = SockAddrPort(local.Address);
    connection_->SetIP(ip_);
    connection_->SetPort(port_);
}

void TnbNetworkStream::SetPeerAddress(const TnbIPAddress& address) {
    peerIP_ = address.ToString();
    peerPort_ = address.GetPort();
    if (connection_) {
        connection_->SetPeerIP(peerIP_);
        connection_->SetPeerPort(peerPort_);
    }
}

void TnbNetworkStream::Throttle(std::int64_t byteCount) {
    if (!connection_ || byteCount <= 0)
        return;
    const std::int64_t bitsPerSec = connection_->BitsPerSec();
    if (bitsPerSec <= 0)
        return;
    // 64 bits: a large batch at a low rate must not overflow into a short (or negative) pause.
    const std::int64_t delayMs = byteCount * 8 * 1000 / bitsPerSec;
    if (delayMs <= 0)
        return;
    const int savedError = WSAGetLastError();
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(delayMs);
    while (!connection_->IsAborted()) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              until - std::chrono::steady_clock::now())
                              .count();
        if (left <= 0)
            break;
        const int slice = static_cast<int>(std::min<std::int64_t>(left, kThrottleSliceMs));
        // A connection without an abort event (a server-side client connection) just sleeps
        // the slice; its IsAborted is checked between slices.
        SleepOrWake(connection_->AbortHandle(), slice);
    }
    WSASetLastError(savedError);
}

void TnbNetworkStream::SetNextAction(TnbNextAction action) {
    if (nextAction_ == TnbNextAction::naNone)
        nextAction_ = action;
}

bool TnbNetworkStream::NeedStop() {
    return (connection_ && connection_->IsAborted()) || IsReadLimitReached();
}

// ---- Socket calls ----

int TnbNetworkStream::Recv(void* buffer, int size) {
    const int result = RequireConnection().Socket().Recv(buffer, size);
    if (result > 0)
        Throttle(result);
    return result;
}

int TnbNetworkStream::Send(const void* buffer, int size) {
    const int result = RequireConnection().Socket().Send(buffer, size);
    if (result > 0)
        Throttle(result);
    return result;
}

int TnbNetworkStream::RecvFrom(void* buffer, int size, void* address, int* length) {
    const int result = RequireConnection().Socket().RecvFrom(buffer, size, address, length);
    if (result > 0)
        Throttle(result);
    return result;
}

int TnbNetworkStream::SendTo(const void* buffer, int size, const void* address, int length) {
    const int result = RequireConnection().Socket().SendTo(buffer, size, address, length);
    if (result > 0)
        Throttle(result);
    return result;
}

int TnbNetworkStream::SocketHandle() const {
    return connection_ ? connection_->Socket().Handle() : nbInvalidSocket;
}

int TnbNetworkStream::SocketFamily() const {
    return connection_ ? connection_->Socket().AddressFamily() : 0;
}

TnbConnection& TnbNetworkStream::RequireConnection() const {
    // A stream used before it was given to a connection is a programming error; it is
    // reported as the connection's missing stream rather than crashing.
    if (!connection_)
        RaiseInternalError(nbErrNoNetworkStream);
    return *connection_;
}

char* TnbNetworkStream::ReceiveSpace(TnbMemoryStream& destination, int size) {
    try {
        return destination.WriteSpace(static_cast<std::size_t>(size));
    } catch (const std::bad_alloc&) {
        RaiseSocketError(WSA_NOT_ENOUGH_MEMORY);
    }
}

char* TnbNetworkStream::TransferBuffer(int size) {
    if (buffer_.size() < static_cast<std::size_t>(size)) {
        try {
            buffer_.resize(static_cast<std::size_t>(size));
        } catch (const std::bad_alloc&) {
            RaiseSocketError(WSA_NOT_ENOUGH_MEMORY);
        }
    }
    return buffer_.data();
}

}  // namespace nb
