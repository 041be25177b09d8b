#include "server/nbUserConnection.h"

#include <algorithm>
#include <stdexcept>

#include "net/nbNetworkStream.h"
#include "net/nbSocketUtils.h"
#include "net/nbWinSock2.h"
#include "server/nbNotifyTarget.h"
#include "server/nbTcpServer.h"
#include "util/nbLimits.h"
#include "util/nbUtils.h"

namespace nb {

namespace {

constexpr int kReadSelection = FD_READ | FD_WRITE | FD_CLOSE;
constexpr int kHeldSelection = FD_WRITE | FD_CLOSE;
// A pending-output buffer that grew beyond this is given back once it has drained, so idle
// connections stay small.
constexpr std::int64_t kKeepPendingCapacity = 64 * 1024;

}  // namespace

TnbUserConnection::TnbUserConnection()
    : pendingData_(std::make_unique<TnbMemoryStream>()), lastActivity_(GetTickCount32()) {}

TnbUserConnection::~TnbUserConnection() {
    // The last reference is gone, so no other thread can hold the lock; the inherited
    // destructor closes the socket without notifying the peer.
    Unregister();
}

// ---- Overrides of TnbConnection ----

bool TnbUserConnection::IsClosed() {
    std::lock_guard guard(lock_);
    if (overflowed_.load())
        return true;
    if (closeAfterWrite_.load()) {
        if (!Active())
            return true;
        const TnbNetworkStream* stream = NetworkStream();
        const bool streamPending = stream && stream->NextAction() == TnbNextAction::naWrite;
        if (pendingData_->Remaining() == 0 && !streamPending)
            return true;
    }
    return TnbConnection::IsClosed();
}

void TnbUserConnection::ReleaseResources() {
    std::lock_guard guard(lock_);
    pendingData_->Clear();
    TnbConnection::ReleaseResources();
}

void TnbUserConnection::Close(bool notifyPeer) {
    std::lock_guard guard(lock_);
    Unregister();
    TnbConnection::Close(notifyPeer);
}

void TnbUserConnection::CloseStream(bool notifyPeer) {
    std::lock_guard guard(lock_);
    TnbConnection::CloseStream(notifyPeer);
}

bool TnbUserConnection::ReadData(TnbStream* AData) {
    std::lock_guard guard(lock_);
    UpdateLastActivity();
    return GetNetworkStream().Read(AData);
}

bool TnbUserConnection::WriteData(TnbStream* AData) {
    std::lock_guard guard(lock_);
    if (!Active()) {
        if (AData)
            AData->Seek(0, TnbSeekOrigin::soEnd);  // dropped
        return true;
    }
    UpdateLastActivity();
    if (AData) {
        const std::int64_t count = AData->Remaining();
        if (count > 0) {
            // Copy straight into the pending buffer: one copy, no temporary.
            auto& pending = *pendingData_;
            const std::int64_t unsent = pending.Remaining();
            // SECURITY: a client that does not read must not grow the server's memory without
            // bound.
            if (unsent + count > kMaxPendingOutput) {
                AData->Seek(0, TnbSeekOrigin::soEnd);
                overflowed_.store(true);
                RaiseSocketError(WSAENOBUFS);
            }
            const std::int64_t position = pending.GetPosition();
            const std::int64_t size = pending.GetSize();
            pending.SetSize(size + count);
            const std::int64_t got = AData->Read(pending.Memory() + size, count);
            pending.SetSize(size + got);
            pending.SetPosition(position);
        }
    }
    return FlushPending();
}

bool TnbUserConnection::WriteData(std::string_view AData) {
    std::lock_guard guard(lock_);
    if (!Active())
        return true;
    UpdateLastActivity();
    AppendPending(AData.data(), static_cast<std::int64_t>(AData.size()));
    return FlushPending();
}

// ---- Operations of the server connection ----

void TnbUserConnection::WriteDataAndClose(TnbStream* AData) {
    std::lock_guard guard(lock_);
    UpdateLastActivity();
    closeAfterWrite_.store(true);
    // Whatever the outcome of the write, no further input is read, and a write-ready report is
    // forced so that the listener queues the item that closes the connection once the output
    // has gone out (also when this runs outside any work item).
    struct TCloseSoon {
        TnbUserConnection& self;
        ~TCloseSoon() {
            self.readsHeld_ = true;
            self.writeReport_.store(true);
            try {
                self.SelectEvents(kHeldSelection);
            } catch (...) {
                // The session time-out closes the connection then.
            }
        }
    } closeSoon{*this};
    WriteData(AData);
}

void TnbUserConnection::WriteDataAndClose(std::string_view AData) {
    TnbMemoryStream data(AData);
    WriteDataAndClose(&data);
}

void TnbUserConnection::UpdateLastActivity() {
    lastActivity_.store(GetTickCount32(), std::memory_order_relaxed);
}

std::int64_t TnbUserConnection::PendingOutputSize() {
    std::lock_guard guard(lock_);
    return pendingData_->Remaining();
}

void TnbUserConnection::AcceptPeer(const TnbSocket& AListenSocket) {
    std::lock_guard guard(lock_);
    TnbNetworkStream& stream = GetNetworkStream();
    const int listenHandle = AListenSocket.Handle();
    // The stream accepts "in place of" the socket it is given; lend it the listening handle for
    // that call only, and take it back on every path so that this connection can never close
    // the server's listening socket.
    struct TGiveBack {
        TnbSocket& socket;
        int listenHandle;
        ~TGiveBack() {
            if (socket.Handle() == listenHandle)
                socket.SetHandle(nbInvalidSocket, 0);
        }
    } giveBack{Socket(), listenHandle};
    Socket().SetHandle(listenHandle, AListenSocket.AddressFamily());
    stream.Accept();
    if (Socket().Handle() == listenHandle || Socket().Handle() < 0)
        RaiseSocketError(WSAENOTSOCK);
    SetActive(true);
    stream.AfterAccept();
}

int TnbUserConnection::UnreadBytes() {
    std::lock_guard guard(lock_);
    const int handle = Socket().Handle();
    if (handle < 0 || !Active())
        return 0;
    const int count = SocketPendingBytes(handle);
    return count > 0 ? count : 0;
}

// ---- Notification selection ----

void TnbUserConnection::Register(const std::shared_ptr<TnbNotifyTarget>& ATarget, int AEvents) {
    std::lock_guard guard(lock_);
    const int handle = Socket().Handle();
    if (handle < 0)
        RaiseSocketError(WSAENOTSOCK);
    // No write-ready report for the fresh socket: nothing can be pending before the selection,
    // and output written afterwards (an accept handler's greeting) reports itself when it has
    // to wait. This saves one work item per accepted client.
    ATarget->Add(handle, id_, AEvents, false);
    notify_ = ATarget;
    selectedHandle_ = handle;
    selectedEvents_ = AEvents;
}

void TnbUserConnection::SelectEvents(int AEvents) {
    std::lock_guard guard(lock_);
    // Only the socket that was registered, and only while it is still ours: after a close the
    // handle number may already belong to another connection.
    if (!notify_ || selectedHandle_ < 0 || Socket().Handle() != selectedHandle_)
        return;
    // A renewal of the reads reports writability again (as a fresh selection does); merely
    // suspending reads does not.
    if ((AEvents & FD_READ) && (AEvents & FD_WRITE))
        writeReport_.store(true);
    selectedEvents_ = AEvents;
    notify_->Modify(selectedHandle_, id_, AEvents);
}

void TnbUserConnection::Unregister() noexcept {
    if (notify_ && selectedHandle_ >= 0 && Socket().Handle() == selectedHandle_)
        notify_->Remove(selectedHandle_);
    notify_.reset();
    selectedHandle_ = -1;
}

void TnbUserConnection::HoldReads() {
    std::lock_guard guard(lock_);
    readsHeld_ = true;
    SelectEvents(kHeldSelection);
}

bool TnbUserConnection::HoldsInput() {
    std::lock_guard guard(lock_);
    return closeAfterWrite_.load() || overflowed_.load() ||
           pendingData_->Remaining() > kPendingOutputReadHold;
}

void TnbUserConnection::ResumeInput() {
    std::lock_guard guard(lock_);
    ResumeReadsIfDrained();
}

void TnbUserConnection::ResumeReadsIfDrained() {
    if (!readsHeld_ || HoldsInput())
        return;
    readsHeld_ = false;
    // Renewing reports the requests that waited meanwhile.
    SelectEvents(kReadSelection);
}

void TnbUserConnection::RenewReads() {
    std::lock_guard guard(lock_);
    SelectEvents(readsHeld_ ? kHeldSelection : kReadSelection);
}

bool TnbUserConnection::TakeWriteReport() {
    const bool report = writeReport_.exchange(false);
    return report || outputPending_.load();
}

void TnbUserConnection::AppendPending(const char* AData, std::int64_t ACount) {
    if (ACount <= 0)
        return;
    auto& pending = *pendingData_;
    // SECURITY: a client that does not read must not grow the server's memory without bound.
    if (pending.Remaining() + ACount > kMaxPendingOutput) {
        overflowed_.store(true);
        RaiseSocketError(WSAENOBUFS);
    }
    const std::int64_t position = pending.GetPosition();
    pending.Seek(0, TnbSeekOrigin::soEnd);
    pending.Write(AData, ACount);
    pending.SetPosition(position);
}

bool TnbUserConnection::FlushPending() {
    TnbNetworkStream& stream = GetNetworkStream();
    auto& pending = *pendingData_;
    const bool streamWants = stream.NextAction() == TnbNextAction::naWrite;
    if (!streamWants && pending.Remaining() == 0) {
        outputPending_.store(false);
        ResumeReadsIfDrained();
        return true;
    }
    // Marked before the send: a write-ready edge that follows a send that would block must
    // find the mark, or the rest of the output would wait for the next unrelated event.
    outputPending_.store(true);
    if (streamWants && !stream.Write(nullptr))
        return false;
    bool ok = true;
    if (pending.Remaining() > 0)
        ok = stream.Write(&pending);
    if (ok) {
        if (pending.GetSize() > kKeepPendingCapacity)
            pendingData_ = std::make_unique<TnbMemoryStream>();
        else
            pending.Clear();
        if (stream.NextAction() != TnbNextAction::naWrite)
            outputPending_.store(false);
    } else if (pending.GetPosition() >= pending.Remaining()) {
        // Drop what has gone out once it outweighs the rest: keeps the buffer from growing
        // under a steady writer at linear copying cost overall.
        pending.Consume(static_cast<std::size_t>(pending.GetPosition()));
    }
    ResumeReadsIfDrained();
    return ok;
}

// ---- Work item ----

void TnbTcpServerWorkItem::Execute(TnbWorkerThread& /*AThread*/) {
    TnbUserConnection& connection = *connection_;
    TnbTcpServer::TServingScope serving(server_);
    try {
        {
            std::lock_guard guard(connection.ConnectionLock());
            connection.InitProgress(0, 0);
        }
        if (kind_ == kRead) {
            while (connection.Active()) {
                server_.ReadConnection(connection);
                std::lock_guard guard(connection.ConnectionLock());
                const TnbNetworkStream* stream = connection.NetworkStream();
                if (!stream)
                    break;
                if (stream->NextAction() == TnbNextAction::naWrite)
                    connection.WriteData(nullptr);
                // A TLS stream keeps decrypted bytes back for another pass; the plain stream
                // never does, so one pass is made.
                stream = connection.NetworkStream();
                if (!stream || !stream->HasReadData())
                    break;
            }
        } else if (kind_ == kTask) {
            if (task_)
                task_(connection);
        } else if (connection.Active()) {
            // A closed connection has nothing to flush and no one to tell it can write.
            server_.WriteConnection(connection);
        }
        if (connection.IsClosed())
            server_.InternalCloseConnection(&connection, true);
    } catch (...) {
        server_.ReportCurrentException(&connection);
        try {
            server_.InternalCloseConnection(&connection, true);
        } catch (...) {
            server_.ReportCurrentException(nullptr);
        }
    }
}

}  // namespace nb
