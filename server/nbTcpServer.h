// Listener thread, connection list and worker dispatch: the TCP server at the bottom of every
// server in the library. It knows no protocol; protocol layers derive from TnbTcpServer and
// override its virtual operations.
//
// Threads:
// - the caller's thread runs Start and Stop (and OnStarting, OnStart, OnStop);
// - one listener thread per started server (TnbTcpServerThread) owns the listening socket and
//   the epoll set that reports every connection's events and the session timer; it accepts,
//   consults the guard, raises OnAcceptConnection for plain connections, closes connections that
//   the peer closed or that were idle too long, and queues a work item for every read-ready and
//   write-ready notification;
// - the workers of the server's TnbThreadPool run those items: every read and write of
//   connection data and every protocol handler. What waits on a peer for long (an FTP transfer,
//   a data connection's accept or connect) runs in a TnbBlockingSection, so it does not count
//   against MaxThreadCount and never keeps another connection's items waiting; what only waits
//   for time (a failed login's delay) holds no thread at all but is a task scheduled on the
//   listener (ScheduleTask).
// Handlers therefore run on server threads and must be thread-safe; bind them before Start and
// leave them alone while the server runs. A handler must not wait for the thread that runs Stop.
//
// Ownership: the server owns its pool and its listener thread; connections are shared
// (InbUserConnection) between the list and the work items in flight. The guard is not owned.
//
// Destruction: ~TnbTcpServer stops the server, but by then the members and overrides of derived
// classes are gone. Every class derived from TnbTcpServer that overrides a virtual operation or
// has members that handlers use MUST begin its destructor with StopOnDestroy(); (harmless when
// already stopped). Never destroy a server from one of its own threads.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "net/nbSocket.h"
#include "net/nbSocketUtils.h"
#include "server/nbServerGuard.h"
#include "server/nbThreadPool.h"
#include "server/nbUserConnection.h"
#include "util/nbStream.h"

namespace nb {

class TnbNotifyTarget;
class TnbTcpServer;

// Codes of EnbTcpServerError.
inline constexpr int nbErrServerStartUnknown = -299;
inline constexpr int nbErrServerAlreadyStarted = -300;
inline constexpr int nbErrServerNotStarted = -301;
inline constexpr int nbErrConnectionBlocked = -302;
inline constexpr int nbErrConnectionNotCreated = -303;

class EnbTcpServerError : public EnbSocketError {
public:
    using EnbSocketError::EnbSocketError;
    // The fixed message of one of the codes above.
    explicit EnbTcpServerError(int errorCode);
};

using TnbNotifyEvent = std::function<void(TnbTcpServer& Sender)>;
// AConnection is nullptr for errors that belong to no connection (start-up, listener).
using TnbServerErrorEvent = std::function<void(TnbTcpServer& Sender, TnbUserConnection* AConnection,
                                               const std::exception& E)>;
// AConnection arrives empty; a handler may supply the connection object.
using TnbCreateConnectionEvent =
    std::function<void(TnbTcpServer& Sender, InbUserConnection& AConnection)>;
using TnbAcceptConnectionEvent =
    std::function<void(TnbTcpServer& Sender, TnbUserConnection& AConnection, bool& Handled)>;
using TnbConnectionEvent =
    std::function<void(TnbTcpServer& Sender, TnbUserConnection& AConnection)>;
// AData holds exactly the bytes of one read, positioned at 0; the connection lock is held.
using TnbConnectionDataEvent =
    std::function<void(TnbTcpServer& Sender, TnbUserConnection& AConnection, TnbStream& AData)>;

// The listener thread of one started server. Created by Start, ended and freed by Stop.
// It owns the listening socket and the epoll set (TnbNotifyTarget). The connection list lives in
// the server (so that threads closing a connection late never reach a freed listener) and is
// guarded by the server's list lock (LockConnections).
class TnbTcpServerThread {
public:
    explicit TnbTcpServerThread(TnbTcpServer& AServer);
    // Ends the thread if it still runs (StopThread).
    ~TnbTcpServerThread();
    TnbTcpServerThread(const TnbTcpServerThread&) = delete;
    TnbTcpServerThread& operator=(const TnbTcpServerThread&) = delete;

    // Caller's thread: starts the thread and waits until it listens or has failed; a failure
    // raises EnbTcpServerError with the error's message and code.
    void WaitForStart();
    // Sets the stop signal and waits until the thread has ended (it closes every connection on
    // its way out). Must not run on the listener thread.
    void StopThread();

    // Renews the network-event selection (FD_* bits) of a connection: an epoll_ctl on the
    // calling thread, never routed through the listener. Harmless for a closed connection.
    // Any thread.
    void AsyncSelect(TnbUserConnection& AConnection, int AEvents);

    // Under the list lock: the listed connection with that id, or nullptr.
    InbUserConnection FindConnection(std::uint64_t AId) const;
    // Under the list lock: the entry at AIndex in listing order (out of range raises
    // std::out_of_range).
    InbUserConnection ConnectionAt(std::size_t AIndex) const;
    std::size_t ConnectionCount() const;
    // A snapshot of the list, in listing order.
    std::vector<InbUserConnection> Connections() const;

    // Rearms the session timer from the server's SessionTimeOut. Any thread.
    void StartSessionTimer();
    // Runs ATask on the listener thread once AMilliseconds have passed (one task timer serves
    // all tasks); tasks still waiting when the listener ends are dropped without running. An
    // exception from a task is reported through OnServerError. Any thread.
    void ScheduleTask(std::uint32_t AMilliseconds, std::function<void()> ATask);

    bool IsListenerThread() const;

private:
    friend class TnbTcpServer;

    void Run() noexcept;
    void OpenListener();
    void CloseListener() noexcept;
    void CloseAllConnections() noexcept;
    void HandleNotification(std::uint64_t AKey, int AEvents);
    void SetSessionTimer(std::uint32_t AElapse);
    void KillSessionTimer();
    void CheckSessionTimeOuts();
    void RunDueTasks();
    // Accepts one waiting client only to close it (for a client that cannot be served).
    void DiscardPendingClient() noexcept;

    TnbTcpServer& server_;
    std::shared_ptr<TnbNotifyTarget> notify_;
    TnbSocket listenSocket_;
    bool timerActive_ = false;  // guarded by the list lock
    // Scheduled tasks by deadline; a leaf lock guards them and the task timer.
    std::mutex tasksLock_;
    std::multimap<std::chrono::steady_clock::time_point, std::function<void()>> tasks_;

    // Start handshake with WaitForStart.
    std::mutex startMutex_;
    std::condition_variable startCond_;
    bool startSignalled_ = false;
    std::string startErrorText_;
    int startErrorCode_ = 0;

    std::thread thread_;
};

class TnbTcpServer : public TnbComponent {
public:
    TnbTcpServer();
    // Stops the server (see the destruction note at the top of this file), then frees the pool.
    virtual ~TnbTcpServer();
    TnbTcpServer(const TnbTcpServer&) = delete;
    TnbTcpServer& operator=(const TnbTcpServer&) = delete;

    // ---- Published properties (set them while the server is stopped unless noted) ----

    // Not used here; protocol layers put it in their greetings.
    std::string ServerName() const;
    void SetServerName(const std::string& AValue);
    // Listening port; must be 1 or more at Start.
    std::int32_t Port() const { return port_.load(); }
    void SetPort(std::int32_t AValue) { port_.store(AValue); }
    // Bytes per receive or send call, copied into each new connection; stored unchecked.
    std::int32_t BatchSize() const { return batchSize_.load(); }
    virtual void SetBatchSize(std::int32_t AValue);
    // Backlog passed to listen.
    std::int32_t MaxConnectionQueue() const { return maxConnectionQueue_.load(); }
    void SetMaxConnectionQueue(std::int32_t AValue) { maxConnectionQueue_.store(AValue); }
    // Forwarded to (and read from) the thread pool.
    std::int32_t MinThreadCount() const;
    void SetMinThreadCount(std::int32_t AValue);
    std::int32_t MaxThreadCount() const;
    void SetMaxThreadCount(std::int32_t AValue);
    // Throughput limit copied into each new connection; 0 = unlimited.
    std::int32_t BitsPerSec() const { return bitsPerSec_.load(); }
    void SetBitsPerSec(std::int32_t AValue) { bitsPerSec_.store(AValue); }
    // Family of the wildcard listening address when LocalBinding is empty; copied into each
    // connection.
    bool UseIpV6() const { return useIpV6_.load(); }
    void SetUseIpV6(bool AValue) { useIpV6_.store(AValue); }
    // Local address to listen on; empty = all local addresses.
    std::string LocalBinding() const;
    void SetLocalBinding(const std::string& AValue);
    // Idle time (ms) after which a connection is closed; 0 or less = never. Values from 1 to
    // 4999 are ignored (the old value stays). May be changed while the server runs.
    std::int32_t SessionTimeOut() const { return sessionTimeOut_.load(); }
    void SetSessionTimeOut(std::int32_t AValue);
    // Connection and login guard; not owned. A guard that is destroyed leaves Guard empty (a
    // free notification), so destroy it only while the server is stopped.
    TnbServerGuard* Guard() const { return guard_.load(); }
    void SetGuard(TnbServerGuard* AValue);

    // ---- Events (bind before Start) ----

    TnbNotifyEvent OnStarting;
    TnbNotifyEvent OnStart;
    TnbNotifyEvent OnStop;
    TnbServerErrorEvent OnServerError;
    TnbCreateConnectionEvent OnCreateConnection;
    TnbAcceptConnectionEvent OnAcceptConnection;
    TnbConnectionEvent OnCloseConnection;
    TnbConnectionDataEvent OnReadConnection;
    TnbConnectionEvent OnWriteConnection;

    // ---- Public operations ----

    // Caller's thread. Raises "The server is already started" (-300) when Active, otherwise
    // starts the listener and returns once it listens; a start-up failure comes back as
    // EnbTcpServerError with the failure's message and code, the server stopped again.
    void Start();
    // Caller's thread: closes every connection (OnCloseConnection for each), ends the listener
    // and the workers, then OnStop. Nothing when not started. Raises std::logic_error when
    // called from one of the server's own threads (it would wait for itself). Virtual so that a
    // protocol layer can first end what would hold a worker (running transfers) and then call
    // the inherited Stop; StopOnDestroy calls it too.
    virtual void Stop();
    // True from the creation of the listener thread in Start to the end of Stop.
    bool Active() const { return active_.load(); }
    // Raises "The server is not started" (-301) when stopped; otherwise closes the connection
    // notifying the peer (OnCloseConnection once). Any thread.
    void CloseConnection(TnbUserConnection& AConnection);

    // ---- For protocol layers ----

    // The list lock (re-entrant). Never take a connection lock while holding it.
    void LockConnections() { listLock_.lock(); }
    void UnlockConnections() { listLock_.unlock(); }
    std::recursive_mutex& ConnectionsLock() { return listLock_; }
    // A snapshot of the listed connections (empty when stopped), in listing order; walk it
    // without any lock held, e.g. to abort every session before stopping. Any thread.
    std::vector<InbUserConnection> Connections() const;
    std::size_t ConnectionCount() const;
    // Closes a listed connection: unlists it, then Abort, Close(ANotifyPeer) and
    // OnCloseConnection, exactly once whatever threads race. Nothing for an unlisted one.
    // Any thread; no list lock may be held by the caller.
    void InternalCloseConnection(TnbUserConnection* AConnection, bool ANotifyPeer);
    // Worker thread, connection lock held by the caller or taken here: reads what arrived into
    // AData (appended; nullptr = read and drop) with read notifications suspended meanwhile,
    // and renews them afterwards. True when AData grew (or is nullptr). False, reading nothing,
    // while the connection holds back reads (its HoldsInput: pending output above
    // kPendingOutputReadHold, a close after write under way, or a protocol layer's reason).
    bool ReadConnectionData(TnbUserConnection& AConnection, TnbStream* AData);
    bool ReadConnectionData(TnbUserConnection& AConnection, TnbMemoryStream& AData) {
        return ReadConnectionData(AConnection, static_cast<TnbStream*>(&AData));
    }
    // Listener thread: queue a read or write item unless the server is stopping.
    void QueueRead(const InbUserConnection& AConnection);
    void QueueWrite(const InbUserConnection& AConnection);
    // Runs ATask with the connection on a worker, as a read item runs (an exception is reported
    // and closes the connection; a connection that is done for is closed afterwards). False,
    // dropping the task, once the server stops. Any thread.
    bool QueueTask(const InbUserConnection& AConnection,
                   std::function<void(TnbUserConnection& AConnection)> ATask);
    // Runs ATask on the listener thread after AMilliseconds without holding any thread while it
    // waits (a failed login's delay waits here). False, dropping the task, when the server is
    // not started or stops; a task still waiting at Stop is dropped. Any thread.
    bool ScheduleTask(std::uint32_t AMilliseconds, std::function<void()> ATask);
    // The listener of the started server (nullptr when stopped). Caller's thread, or a server
    // thread while the server runs.
    TnbTcpServerThread* ServerThread() const { return serverThread_.get(); }
    // The pool, made by CreateThreadPool on first need (so that a subclass's override is the
    // one called; setting MinThreadCount or MaxThreadCount is such a need). Any thread.
    TnbThreadPool& ThreadPool() const;

    // ---- Virtual operations, in their fixed order ----

    // Reads what arrived and raises OnReadConnection (worker thread).
    virtual void ReadConnection(TnbUserConnection& AConnection);
    // Flushes pending output and raises OnWriteConnection (worker thread).
    virtual void WriteConnection(TnbUserConnection& AConnection);
    virtual void DoServerError(TnbUserConnection* AConnection, const std::exception& E);
    virtual void DoCreateConnection(InbUserConnection& AConnection);
    virtual void DoAcceptConnection(TnbUserConnection& AConnection, bool& Handled);
    virtual void DoCloseConnection(TnbUserConnection& AConnection);
    virtual void DoReadConnection(TnbUserConnection& AConnection, TnbStream& AData);
    virtual void DoWriteConnection(TnbUserConnection& AConnection);
    virtual void DoStarting();
    virtual void DoStart();
    virtual void DoStop();
    // (SetBatchSize above is the twelfth.)
    // Frees the server's objects (the pool); called once by the destructor after Stop.
    virtual void FreeServerObjects();
    // DoCreateConnection; when that leaves it empty, CreateDefaultConnection.
    virtual InbUserConnection CreateConnection();
    virtual InbUserConnection CreateDefaultConnection();
    virtual std::unique_ptr<TnbThreadPool> CreateThreadPool();
    // Gives the connection a plain TnbNetworkStream.
    virtual void InitConnectionStream(TnbUserConnection& AConnection);

protected:
    // The guard is going: Guard becomes empty.
    void Notification(TnbComponent& AComponent) override;
    // For the destructors of derived servers: Stop (the most-derived one still alive), with every
    // exception swallowed (a stop from one of the server's own threads is a bug and terminates).
    void StopOnDestroy() noexcept;
    // Raises OnServerError for the current exception (use inside a catch block); never throws.
    void ReportCurrentException(TnbUserConnection* AConnection) noexcept;

private:
    friend class TnbTcpServerThread;
    friend class TnbTcpServerWorkItem;

    // Marks the current thread as serving this server while it lives (the listener's run, each
    // work item), so that Stop can refuse to wait for itself.
    class TServingScope {
    public:
        explicit TServingScope(const TnbTcpServer& AServer);
        ~TServingScope();
        TServingScope(const TServingScope&) = delete;
        TServingScope& operator=(const TServingScope&) = delete;

    private:
        const TnbTcpServer* previous_;
    };

    void InternalStop();
    // Listener thread: steps of accepting one client.
    void AcceptConnection(const TnbSocket& AListenSocket);
    void QueueItem(const InbUserConnection& AConnection, std::uint8_t AKind);
    bool QueueWorkItem(std::unique_ptr<TnbTcpServerWorkItem> AItem);
    // True on the listener thread or a worker of this server.
    bool OnServerThread() const;

    mutable std::recursive_mutex listLock_;
    // Listed connections by id; ids grow, so the map's order is the listing order. Guarded by
    // the list lock.
    std::map<std::uint64_t, InbUserConnection> connections_;
    std::atomic<bool> active_{false};
    std::atomic<std::int32_t> port_{0};
    std::unique_ptr<TnbTcpServerThread> serverThread_;
    std::atomic<std::int32_t> batchSize_{8192};
    mutable std::once_flag threadPoolMade_;
    mutable std::unique_ptr<TnbThreadPool> threadPool_;
    mutable std::mutex textLock_;  // guards serverName_ and localBinding_
    std::string serverName_;
    std::atomic<std::int32_t> bitsPerSec_{0};
    std::string localBinding_;
    std::atomic<std::int32_t> maxConnectionQueue_{100};
    // True while Stop runs: nothing more is queued or scheduled. Set, and checked before each
    // queueing, under queueLock_, so that no item slips into the pool once its stop has begun.
    std::atomic<bool> stopping_{false};
    std::mutex queueLock_;
    std::atomic<std::int32_t> sessionTimeOut_{600000};
    std::atomic<TnbServerGuard*> guard_{nullptr};
    TnbComponent* guardLink_ = nullptr;  // the guard as linked; only the host's thread
    std::atomic<bool> useIpV6_{false};
};

}  // namespace nb
