// The per-client connection of the TCP server and the work items that read and write it.
//
// TnbUserConnection is shared: the server's connection list and every queued or running work
// item hold an InbUserConnection (std::shared_ptr), and protocol layers may keep one too. It is
// destroyed when the last reference goes, on whatever thread that is, possibly after the server
// has stopped; its destructor neither blocks nor throws.
//
// Each connection has its own re-entrant lock (the connection lock). It is held by every read,
// write and close of the connection, so output written by several threads never interleaves and
// a close never lands in the middle of a write. Lock order: a protocol's command lock, then the
// connection lock, then the server's connection-list lock; the list lock is never held while a
// connection lock is taken.
//
// Output that the socket does not take at once waits in the pending output and goes out on the
// next write-ready notification; writers never wait for the network.
// Thread notes: WriteData, WriteDataAndClose, Lock/Unlock, UpdateLastActivity and Abort may be
// called from any thread at any time.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string_view>

#include "net/nbConnection.h"
#include "server/nbThreadPool.h"
#include "util/nbStream.h"

namespace nb {

class TnbNotifyTarget;
class TnbTcpServer;
class TnbTcpServerThread;
class TnbUserConnection;

// The counted reference through which connections are shared.
using InbUserConnection = std::shared_ptr<TnbUserConnection>;

class TnbUserConnection : public TnbConnection,
                          public std::enable_shared_from_this<TnbUserConnection> {
public:
    TnbUserConnection();
    // Unregisters from the listener's notifications and closes the socket without notifying the
    // peer. Never blocks, never throws.
    ~TnbUserConnection() override;

    // ---- Overrides of TnbConnection ----

    // True once a close was asked for with WriteDataAndClose and the pending output has gone
    // out, once the pending output overflowed, or when the stream says the peer has gone.
    bool IsClosed() override;
    void ReleaseResources() override;
    // Stops the notifications of the socket, then the inherited close; under the connection
    // lock.
    void Close(bool notifyPeer) override;
    void CloseStream(bool notifyPeer) override;
    // Under the connection lock: UpdateLastActivity, then the stream's Read.
    bool ReadData(TnbStream* AData) override;
    // Under the connection lock: appends what remains of AData (nullptr = nothing) to the
    // pending output and sends as much of it as the socket takes. True when nothing is left
    // pending; false when the rest waits for the next write-ready notification (it is not lost).
    // On a connection that is not Active the data is dropped and the answer is true.
    // SECURITY: raises EnbSocketError 10055 (and the connection is closed by its server) when
    // the unsent output would exceed kMaxPendingOutput: a client that never reads must not grow
    // the server's memory without bound.
    bool WriteData(TnbStream* AData) override;
    // The same for bytes.
    bool WriteData(std::string_view AData);

    // ---- Operations of the server connection ----

    // Sends AData (as WriteData) and closes the connection once the pending output has gone out;
    // the session time-out is the backstop for a client that never reads. Input that arrives
    // after this call is no longer read. Any thread.
    void WriteDataAndClose(TnbStream* AData);
    void WriteDataAndClose(std::string_view AData);

    // The connection lock (re-entrant). Prefer std::lock_guard on ConnectionLock().
    void Lock() { lock_.lock(); }
    void Unlock() { lock_.unlock(); }
    std::recursive_mutex& ConnectionLock() { return lock_; }

    // Tick count (ms, GetTickCount32) of the last read or write attempt; read by the session
    // time-out. Long transfers call UpdateLastActivity to keep a busy session alive.
    std::uint32_t LastActivity() const { return lastActivity_.load(std::memory_order_relaxed); }
    void UpdateLastActivity();

    bool CloseAfterWrite() const { return closeAfterWrite_.load(); }
    // SECURITY: back-pressure. True while the client's input is to be left unread: its output
    // is backed up (pending output above kPendingOutputReadHold), a close is under way, or (in
    // a protocol layer's override) requests wait that the layer has not taken yet. Reads stop
    // while it answers true and resume once it answers false again. Connection lock held.
    virtual bool HoldsInput();
    // For protocol layers whose own reason to hold the input has ended: resumes reads unless
    // HoldsInput still answers true. Any thread.
    void ResumeInput();
    // Bytes accepted by WriteData and not yet taken by the socket.
    std::int64_t PendingOutputSize();
    // The id under which the server lists this connection and receives its notifications
    // (0 until listed). Ids are never reused within a process.
    std::uint64_t Id() const { return id_; }

    // Accepts the next client of the listening socket into this connection through the stream's
    // Accept: PeerIP/PeerPort are set, the connection becomes Active and learns its local
    // address. The listening handle is lent to the stream only for the accept itself and never
    // stays with (or is closed by) this connection, whatever fails. Listener thread.
    void AcceptPeer(const TnbSocket& AListenSocket);

protected:
    // Bytes waiting in the socket's receive queue (0 when closed). Used to tell a hang-up that
    // still has data to deliver from a bare one.
    int UnreadBytes();

private:
    friend class TnbTcpServer;
    friend class TnbTcpServerThread;

    // ---- Notification selection (all under the connection lock) ----

    // Registers the socket with the listener's target for events (FD_* bits).
    void Register(const std::shared_ptr<TnbNotifyTarget>& ATarget, int AEvents);
    // Renews the selection with AEvents; a connection that is closed or not registered (any
    // more) is left alone, so a renewal after a handler closed the connection is harmless.
    void SelectEvents(int AEvents);
    void Unregister() noexcept;
    // Back-pressure: stop or resume reading.
    void HoldReads();
    void ResumeReadsIfDrained();
    // Renews the read selection after a read (FD_READ + FD_WRITE + FD_CLOSE unless held).
    void RenewReads();
    // Appends bytes to the pending output (checking the hard cap) and sends what the socket
    // takes. Under the connection lock.
    void AppendPending(const char* AData, std::int64_t ACount);
    bool FlushPending();
    // The listener asks whether a write-ready notification has work: output is pending, or the
    // selection was (re)made since the last report.
    bool TakeWriteReport();

    std::recursive_mutex lock_;
    // Position = first unsent byte. Replaced by a fresh stream after a large burst, so an idle
    // connection does not keep the burst's capacity.
    std::unique_ptr<TnbMemoryStream> pendingData_;
    std::atomic<bool> closeAfterWrite_{false};
    std::atomic<bool> overflowed_{false};
    std::atomic<std::uint32_t> lastActivity_;
    std::uint64_t id_ = 0;  // set once by the server before the connection is shared

    std::shared_ptr<TnbNotifyTarget> notify_;  // shared: a late close never reaches a dead epoll
    int selectedHandle_ = -1;
    int selectedEvents_ = 0;
    bool readsHeld_ = false;
    std::atomic<bool> outputPending_{false};
    std::atomic<bool> writeReport_{false};
    std::atomic<bool> acceptAnnounced_{false};
};

// The work item that the listener queues for a read-ready (kind 0) or write-ready (kind 1)
// notification, or that a protocol layer queues to run a task of a connection on a worker
// (kind 2, TnbTcpServer::QueueTask). It holds its connection (so the connection outlives a
// close while the item runs) but not its server, which outlives every item because its Stop
// stops the pool first.
class TnbTcpServerWorkItem : public TnbWorkItem {
public:
    enum : std::uint8_t { kRead = 0, kWrite = 1, kTask = 2 };
    using TTask = std::function<void(TnbUserConnection& AConnection)>;

    TnbTcpServerWorkItem(TnbTcpServer& AServer, InbUserConnection AConnection, std::uint8_t AKind)
        : server_(AServer), connection_(std::move(AConnection)), kind_(AKind) {}
    TnbTcpServerWorkItem(TnbTcpServer& AServer, InbUserConnection AConnection, TTask ATask)
        : server_(AServer), connection_(std::move(AConnection)), kind_(kTask),
          task_(std::move(ATask)) {}

    // Reads (or writes) the connection, closes it when it is done for, and reports any error
    // through the server's OnServerError. Never throws.
    void Execute(TnbWorkerThread& AThread) override;

    const InbUserConnection& Connection() const { return connection_; }
    std::uint8_t Kind() const { return kind_; }

private:
    TnbTcpServer& server_;
    InbUserConnection connection_;
    std::uint8_t kind_;
    TTask task_;
};

}  // namespace nb
