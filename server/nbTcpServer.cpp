#include "server/nbTcpServer.h"

#include <stdexcept>

#include "net/nbIpAddress.h"
#include "net/nbNetworkStream.h"
#include "net/nbWinSock2.h"
#include "server/nbNotifyTarget.h"
#include "util/nbLimits.h"
#include "util/nbUtils.h"

namespace nb {

namespace {

// The listening socket's key in the epoll set; connection ids come after it.
constexpr std::uint64_t kListenKey = TnbNotifyTarget::kFirstUserKey;
// Ids are unique within the process, so a late notification can never reach another server's
// or a newer connection.
std::atomic<std::uint64_t> gNextConnectionId{kListenKey + 1};

// The server whose listener or work item runs on this thread, if any.
thread_local const TnbTcpServer* tServingServer = nullptr;

// An idle connection is closed only once it has been idle longer than this too, whatever the
// time-out (the time-out setter refuses shorter periods anyway).
constexpr std::uint32_t kMinIdleBeforeClose = 5000;

const char* ServerErrorText(int code) {
    switch (code) {
        case nbErrServerStartUnknown:
            return "An unknown error occured during starting the server";
        case nbErrServerAlreadyStarted:
            return "The server is already started";
        case nbErrServerNotStarted:
            return "The server is not started";
        case nbErrConnectionBlocked:
            return "Connection is blocked";
        case nbErrConnectionNotCreated:
            return "Connection is not created";
        default:
            return "";
    }
}

}  // namespace

EnbTcpServerError::EnbTcpServerError(int errorCode)
    : EnbSocketError(ServerErrorText(errorCode), errorCode) {}

// ---- TnbTcpServerThread ----

TnbTcpServerThread::TnbTcpServerThread(TnbTcpServer& AServer)
    : server_(AServer), notify_(std::make_shared<TnbNotifyTarget>()) {}

TnbTcpServerThread::~TnbTcpServerThread() {
    if (thread_.joinable() && !IsListenerThread()) {
        notify_->Signal();
        thread_.join();
    }
}

bool TnbTcpServerThread::IsListenerThread() const {
    return thread_.get_id() == std::this_thread::get_id();
}

void TnbTcpServerThread::WaitForStart() {
    {
        std::lock_guard guard(startMutex_);
        startSignalled_ = false;
        startErrorText_.clear();
        startErrorCode_ = 0;
    }
    thread_ = std::thread([this] { Run(); });
    std::unique_lock lock(startMutex_);
    startCond_.wait(lock, [this] { return startSignalled_; });
    if (startErrorText_.empty() && startErrorCode_ == 0)
        return;
    throw EnbTcpServerError(
        startErrorText_.empty() ? ServerErrorText(nbErrServerStartUnknown) : startErrorText_,
        startErrorCode_ == 0 ? nbErrServerStartUnknown : startErrorCode_);
}

void TnbTcpServerThread::StopThread() {
    if (IsListenerThread())
        throw std::logic_error("The listener thread cannot stop itself");
    notify_->Signal();
    if (thread_.joinable())
        thread_.join();
}

void TnbTcpServerThread::AsyncSelect(TnbUserConnection& AConnection, int AEvents) {
    AConnection.SelectEvents(AEvents);
}

InbUserConnection TnbTcpServerThread::FindConnection(std::uint64_t AId) const {
    std::lock_guard guard(server_.listLock_);
    auto it = server_.connections_.find(AId);
    return it == server_.connections_.end() ? nullptr : it->second;
}

InbUserConnection TnbTcpServerThread::ConnectionAt(std::size_t AIndex) const {
    std::lock_guard guard(server_.listLock_);
    if (AIndex >= server_.connections_.size())
        throw std::out_of_range("ConnectionAt");
    auto it = server_.connections_.begin();
    std::advance(it, static_cast<std::ptrdiff_t>(AIndex));
    return it->second;
}

std::size_t TnbTcpServerThread::ConnectionCount() const {
    return server_.ConnectionCount();
}

std::vector<InbUserConnection> TnbTcpServerThread::Connections() const {
    return server_.Connections();
}

void TnbTcpServerThread::Run() noexcept {
    TnbTcpServer::TServingScope serving(server_);
    bool startSignalled = false;
    auto signalStart = [this, &startSignalled] {
        if (startSignalled)
            return;
        startSignalled = true;
        std::lock_guard guard(startMutex_);
        startSignalled_ = true;
        startCond_.notify_all();
    };

    std::exception_ptr failure;
    try {
        OpenListener();
        StartSessionTimer();
        signalStart();
        TnbNotifyWaitResult result;
        for (;;) {
            notify_->Wait(result);
            if (result.Stop)
                break;
            for (const TnbSocketNotification& n : result.Sockets) {
                // One failing notification must not end the listener while the server stays
                // Active: report it and go on with the next.
                try {
                    HandleNotification(n.Key, n.Events);
                } catch (...) {
                    server_.ReportCurrentException(nullptr);
                }
            }
            if (result.Timer) {
                try {
                    CheckSessionTimeOuts();
                } catch (...) {
                    server_.ReportCurrentException(nullptr);
                }
            }
            if (result.TaskTimer)
                RunDueTasks();
        }
    } catch (...) {
        failure = std::current_exception();
    }

    try {
        KillSessionTimer();
    } catch (...) {
        if (!failure)
            failure = std::current_exception();
    }
    CloseListener();

    if (failure) {
        if (!startSignalled) {
            // Start is still waiting: it raises the same message and code.
            std::lock_guard guard(startMutex_);
            try {
                std::rethrow_exception(failure);
            } catch (const EnbSocketError& e) {
                startErrorText_ = e.what();
                startErrorCode_ = e.ErrorCode;
            } catch (const std::exception& e) {
                startErrorText_ = e.what();
            } catch (...) {
            }
        }
        try {
            std::rethrow_exception(failure);
        } catch (...) {
            server_.ReportCurrentException(nullptr);
        }
    }
    signalStart();
}

void TnbTcpServerThread::OpenListener() {
    if (server_.Port() < 1)
        RaiseInternalError(nbErrInvalidPort);
    std::unique_ptr<TnbIPAddress> address =
        TnbIPAddress::CreateBindingIpAddress(server_.LocalBinding(), server_.UseIpV6());
    const int family = address->GetFamily();
    const int handle = SocketCreate(family, nbSockStream, nbIpProtoTcp);
    if (handle < 0)
        RaiseSocketError(WSAGetLastError());
    listenSocket_.SetHandle(handle, family);
    // Stop then Start on the same port must not wait for TIME_WAIT; SO_REUSEPORT is never used
    // (it would let a second server share the port silently).
    if (SocketSetReuseAddress(handle) < 0)
        RaiseSocketError(WSAGetLastError());
    address->SetPort(server_.Port());
    if (SocketBind(handle, address->GetSockAddr(), address->GetSockAddrLength()) < 0)
        RaiseSocketError(WSAGetLastError());
    notify_->Add(handle, kListenKey, FD_ACCEPT, true);
    if (SocketListen(handle, server_.MaxConnectionQueue()) < 0)
        RaiseSocketError(WSAGetLastError());
}

void TnbTcpServerThread::CloseListener() noexcept {
    if (listenSocket_.Handle() >= 0) {
        notify_->Remove(listenSocket_.Handle());
        try {
            listenSocket_.Close();
        } catch (...) {
        }
    }
    CloseAllConnections();
}

void TnbTcpServerThread::CloseAllConnections() noexcept {
    for (;;) {
        InbUserConnection connection;
        {
            std::lock_guard guard(server_.listLock_);
            if (server_.connections_.empty())
                break;
            auto last = std::prev(server_.connections_.end());
            connection = std::move(last->second);
            server_.connections_.erase(last);
        }
        try {
            connection->Abort();
            connection->Close(false);
        } catch (...) {
            server_.ReportCurrentException(connection.get());
        }
        try {
            server_.DoCloseConnection(*connection);
        } catch (...) {
            server_.ReportCurrentException(connection.get());
        }
    }
}

void TnbTcpServerThread::HandleNotification(std::uint64_t AKey, int AEvents) {
    if (AKey == kListenKey) {
        if (AEvents & (FD_READ | FD_ACCEPT))
            server_.AcceptConnection(listenSocket_);
        return;
    }
    // Keyed by id: a notification for a connection that is gone finds nothing.
    InbUserConnection connection = FindConnection(AKey);
    if (!connection)
        return;
    if (AEvents & FD_READ)
        server_.QueueRead(connection);
    if ((AEvents & FD_WRITE) && connection->TakeWriteReport())
        server_.QueueWrite(connection);
    if (AEvents & FD_CLOSE) {
        if (AEvents & FD_READ)
            return;  // the queued read delivers the data, then sees the close
        // Data that came with the peer's close is delivered before the connection goes: a read
        // item reads it and then finds the close itself.
        if (!server_.stopping_.load() && connection->UnreadBytes() > 0) {
            server_.QueueRead(connection);
            return;
        }
        server_.InternalCloseConnection(connection.get(), false);
    }
}

void TnbTcpServerThread::StartSessionTimer() {
    std::lock_guard guard(server_.listLock_);
    KillSessionTimer();
    const std::int32_t timeOut = server_.SessionTimeOut();
    if (timeOut > 0)
        SetSessionTimer(static_cast<std::uint32_t>(timeOut));
}

void TnbTcpServerThread::SetSessionTimer(std::uint32_t AElapse) {
    std::lock_guard guard(server_.listLock_);
    notify_->SetTimer(AElapse);
    timerActive_ = true;
}

void TnbTcpServerThread::KillSessionTimer() {
    std::lock_guard guard(server_.listLock_);
    if (!timerActive_)
        return;
    notify_->KillTimer();
    timerActive_ = false;
}

void TnbTcpServerThread::CheckSessionTimeOuts() {
    KillSessionTimer();
    const std::int32_t timeOut = server_.SessionTimeOut();
    if (timeOut <= 0)
        return;
    const auto limit = static_cast<std::uint32_t>(timeOut);
    std::vector<InbUserConnection> expired;
    {
        std::lock_guard guard(server_.listLock_);
        const std::uint32_t now = GetTickCount32();
        std::uint32_t next = limit;
        for (auto it = server_.connections_.rbegin(); it != server_.connections_.rend(); ++it) {
            // Signed and clamped: a worker that stamped LastActivity after "now" was read makes
            // the connection fresh, not 49 days idle.
            const std::uint32_t idle = TicksElapsed(it->second->LastActivity(), now);
            if (idle > kMinIdleBeforeClose && idle > limit)
                expired.push_back(it->second);
            else if (limit - idle < next)
                next = limit - idle;
        }
        // At least 1 ms: a period of 0 would disarm the timer for good.
        SetSessionTimer(next > 0 ? next : 1);
    }
    for (const InbUserConnection& connection : expired) {
        try {
            server_.InternalCloseConnection(connection.get(), true);
        } catch (const EnbSocketError&) {
            // The connection is closed anyway; a failing goodbye is no news.
        } catch (...) {
            server_.ReportCurrentException(connection.get());
        }
    }
}

void TnbTcpServerThread::ScheduleTask(std::uint32_t AMilliseconds, std::function<void()> ATask) {
    std::lock_guard guard(tasksLock_);
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(AMilliseconds);
    const auto it = tasks_.emplace(deadline, std::move(ATask));
    if (it == tasks_.begin())
        notify_->SetTaskTimer(AMilliseconds);
}

void TnbTcpServerThread::RunDueTasks() {
    std::vector<std::function<void()>> due;
    {
        std::lock_guard guard(tasksLock_);
        const auto now = std::chrono::steady_clock::now();
        while (!tasks_.empty() && tasks_.begin()->first <= now) {
            due.push_back(std::move(tasks_.begin()->second));
            tasks_.erase(tasks_.begin());
        }
        if (!tasks_.empty()) {
            // Rounded up: waking a little early would only arm the timer once more.
            const auto wait = std::chrono::ceil<std::chrono::milliseconds>(
                tasks_.begin()->first - now);
            try {
                notify_->SetTaskTimer(static_cast<std::uint32_t>(wait.count()));
            } catch (...) {
                server_.ReportCurrentException(nullptr);
            }
        }
    }
    for (auto& task : due) {
        try {
            task();
        } catch (...) {
            server_.ReportCurrentException(nullptr);
        }
    }
}

void TnbTcpServerThread::DiscardPendingClient() noexcept {
    TnbSockAddrStorage address;
    int length = static_cast<int>(sizeof address.Bytes);
    int handle = SocketAccept(listenSocket_.Handle(), address.Bytes, &length);
    if (handle < 0 && WSAGetLastError() == WSAEMFILE) {
        // Out of descriptors: use the reserve for this one client, then take it back.
        notify_->ReleaseSpareDescriptor();
        length = static_cast<int>(sizeof address.Bytes);
        handle = SocketAccept(listenSocket_.Handle(), address.Bytes, &length);
        if (handle >= 0)
            SocketClose(handle);
        handle = -1;
        notify_->ReserveSpareDescriptor();
    }
    if (handle >= 0)
        SocketClose(handle);
}

// ---- TnbTcpServer ----

TnbTcpServer::TServingScope::TServingScope(const TnbTcpServer& AServer)
    : previous_(tServingServer) {
    tServingServer = &AServer;
}

TnbTcpServer::TServingScope::~TServingScope() {
    tServingServer = previous_;
}

TnbTcpServer::TnbTcpServer() {
    StartupSockets();
}

TnbThreadPool& TnbTcpServer::ThreadPool() const {
    // Not in the constructor: there a subclass's CreateThreadPool could not be reached yet.
    std::call_once(threadPoolMade_, [this] {
        threadPool_ = const_cast<TnbTcpServer*>(this)->CreateThreadPool();
        if (!threadPool_)
            threadPool_ = std::make_unique<TnbThreadPool>();
    });
    return *threadPool_;
}

void TnbTcpServer::SetGuard(TnbServerGuard* AValue) {
    TnbServerGuard* old = guard_.exchange(AValue);
    if (old == AValue)
        return;
    if (old != nullptr)
        RemoveFreeNotification(*old);
    guardLink_ = AValue;
    if (AValue != nullptr)
        FreeNotification(*AValue);
}

void TnbTcpServer::Notification(TnbComponent& AComponent) {
    if (&AComponent == guardLink_) {
        guardLink_ = nullptr;
        guard_.store(nullptr);
    }
    TnbComponent::Notification(AComponent);
}

TnbTcpServer::~TnbTcpServer() {
    StopOnDestroy();
    try {
        FreeServerObjects();
    } catch (...) {
    }
    CleanupSockets();
}

std::string TnbTcpServer::ServerName() const {
    std::lock_guard guard(textLock_);
    return serverName_;
}

void TnbTcpServer::SetServerName(const std::string& AValue) {
    std::lock_guard guard(textLock_);
    serverName_ = AValue;
}

void TnbTcpServer::SetBatchSize(std::int32_t AValue) {
    batchSize_.store(AValue);
}

std::int32_t TnbTcpServer::MinThreadCount() const {
    return ThreadPool().MinThreadCount();
}
void TnbTcpServer::SetMinThreadCount(std::int32_t AValue) {
    ThreadPool().SetMinThreadCount(AValue);
}
std::int32_t TnbTcpServer::MaxThreadCount() const {
    return ThreadPool().MaxThreadCount();
}
void TnbTcpServer::SetMaxThreadCount(std::int32_t AValue) {
    ThreadPool().SetMaxThreadCount(AValue);
}

std::string TnbTcpServer::LocalBinding() const {
    std::lock_guard guard(textLock_);
    return localBinding_;
}

void TnbTcpServer::SetLocalBinding(const std::string& AValue) {
    std::lock_guard guard(textLock_);
    localBinding_ = AValue;
}

void TnbTcpServer::SetSessionTimeOut(std::int32_t AValue) {
    // Periods below 5 s are refused: the shortest positive time-out is 5000 ms.
    if (AValue > 0 && AValue < 5000)
        return;
    sessionTimeOut_.store(AValue);
    // A running server follows the new value at once (the timer would otherwise keep the old
    // period, or stay off after 0).
    if (serverThread_ && !OnServerThread())
        serverThread_->StartSessionTimer();
}

// ---- Start and stop ----

void TnbTcpServer::Start() {
    if (Active())
        throw EnbTcpServerError(nbErrServerAlreadyStarted);
    DoStarting();
    ThreadPool();
    try {
        auto thread = std::make_unique<TnbTcpServerThread>(*this);
        std::lock_guard guard(queueLock_);
        serverThread_ = std::move(thread);
    } catch (const EnbSocketError& e) {
        throw EnbTcpServerError(e.what(), e.ErrorCode);
    }
    active_.store(true);
    try {
        serverThread_->WaitForStart();
    } catch (...) {
        InternalStop();
        throw;
    }
    DoStart();
}

void TnbTcpServer::Stop() {
    if (!Active())
        return;
    if (OnServerThread())
        throw std::logic_error("The server cannot be stopped from one of its own threads");
    InternalStop();
    DoStop();
}

void TnbTcpServer::StopOnDestroy() noexcept {
    if (OnServerThread())
        std::terminate();  // would free the server under its own thread
    try {
        Stop();
    } catch (...) {
    }
}

bool TnbTcpServer::OnServerThread() const {
    return tServingServer == this;
}

void TnbTcpServer::InternalStop() {
    struct TStopping {
        TnbTcpServer& server;
        explicit TStopping(TnbTcpServer& s) : server(s) {
            std::lock_guard guard(server.queueLock_);
            server.stopping_.store(true);
        }
        ~TStopping() { server.stopping_.store(false); }
    } stopping{*this};
    // Workers first (queued items are discarded, running ones finish), so that no item runs or
    // gets queued once the listener closes the connections; nothing is queued from here on.
    // A worker sleeping a failed login's delay (a guard that sleeps) is woken first.
    if (TnbServerGuard* guard = Guard())
        guard->CancelLoginDelays();
    ThreadPool().Stop();
    if (serverThread_)
        serverThread_->StopThread();
    std::unique_ptr<TnbTcpServerThread> ended;
    {
        std::lock_guard guard(queueLock_);
        ended = std::move(serverThread_);
    }
    // Freed outside the lock: dropped tasks may release the last reference to a connection.
    ended.reset();
    active_.store(false);
}

void TnbTcpServer::CloseConnection(TnbUserConnection& AConnection) {
    if (!Active())
        throw EnbTcpServerError(nbErrServerNotStarted);
    InternalCloseConnection(&AConnection, true);
}

std::vector<InbUserConnection> TnbTcpServer::Connections() const {
    std::lock_guard guard(listLock_);
    std::vector<InbUserConnection> result;
    result.reserve(connections_.size());
    for (const auto& entry : connections_)
        result.push_back(entry.second);
    return result;
}

std::size_t TnbTcpServer::ConnectionCount() const {
    std::lock_guard guard(listLock_);
    return connections_.size();
}

void TnbTcpServer::InternalCloseConnection(TnbUserConnection* AConnection, bool ANotifyPeer) {
    if (!AConnection)
        return;
    InbUserConnection listed;  // keeps the connection alive until its close event has run
    {
        std::lock_guard guard(listLock_);
        auto it = connections_.find(AConnection->Id());
        if (it == connections_.end() || it->second.get() != AConnection)
            return;
        listed = std::move(it->second);
        connections_.erase(it);
    }
    // Only the thread that unlisted it gets here: one close, one event.
    try {
        AConnection->Abort();
        AConnection->Close(ANotifyPeer);
    } catch (...) {
        DoCloseConnection(*AConnection);
        throw;
    }
    DoCloseConnection(*AConnection);
}

// ---- Accepting ----

void TnbTcpServer::AcceptConnection(const TnbSocket& AListenSocket) {
    InbUserConnection connection;
    bool acceptTried = false;
    try {
        connection = CreateConnection();
        if (!connection)
            throw EnbTcpServerError(nbErrConnectionNotCreated);
        connection->id_ = gNextConnectionId.fetch_add(1);
        {
            std::lock_guard guard(listLock_);
            connections_.emplace(connection->Id(), connection);
        }
        InitConnectionStream(*connection);
        connection->SetBatchSize(BatchSize());
        connection->SetBitsPerSec(BitsPerSec());
        connection->SetUseIpV6(UseIpV6());
        // The closure reaches its connection through Sender: holding it would make a cycle
        // that keeps refused connections alive forever.
        connection->OnReady = [this](TnbConnection& Sender) {
            auto& ready = static_cast<TnbUserConnection&>(Sender);
            if (ready.acceptAnnounced_.exchange(true))
                return;  // at most once
            bool handled = false;
            DoAcceptConnection(ready, handled);
        };
        acceptTried = true;
        connection->AcceptPeer(AListenSocket);
        TnbServerGuard* guard = Guard();
        // SECURITY: black lists, white lists and per-address rates are the guard's decision;
        // a refused client is closed before any protocol byte is exchanged.
        if (guard && !guard->CheckConnection(connection->PeerIP(), Port()))
            throw EnbTcpServerError(nbErrConnectionBlocked);
        connection->Register(serverThread_->notify_, FD_READ | FD_WRITE | FD_CLOSE);
        // A plain stream announces the client right here; a TLS stream once its handshake is
        // done, on a worker.
        connection->GetNetworkStream().DoReady();
    } catch (...) {
        // A client that was never taken from the backlog would be reported again and again
        // (the listening socket is level-triggered): take it and close it.
        // So is one whose accept failed for want of descriptors or memory.
        const bool stillWaiting = !acceptTried || (connection && connection->Socket().Handle() < 0);
        if (stillWaiting)
            serverThread_->DiscardPendingClient();
        ReportCurrentException(connection.get());
        try {
            InternalCloseConnection(connection.get(), false);
        } catch (...) {
            ReportCurrentException(nullptr);
        }
    }
}

// ---- Work items ----

void TnbTcpServer::QueueRead(const InbUserConnection& AConnection) {
    QueueItem(AConnection, TnbTcpServerWorkItem::kRead);
}

void TnbTcpServer::QueueWrite(const InbUserConnection& AConnection) {
    QueueItem(AConnection, TnbTcpServerWorkItem::kWrite);
}

void TnbTcpServer::QueueItem(const InbUserConnection& AConnection, std::uint8_t AKind) {
    if (!AConnection)
        return;
    QueueWorkItem(std::make_unique<TnbTcpServerWorkItem>(*this, AConnection, AKind));
}

bool TnbTcpServer::QueueTask(const InbUserConnection& AConnection,
                             std::function<void(TnbUserConnection& AConnection)> ATask) {
    if (!AConnection)
        return false;
    return QueueWorkItem(
        std::make_unique<TnbTcpServerWorkItem>(*this, AConnection, std::move(ATask)));
}

bool TnbTcpServer::QueueWorkItem(std::unique_ptr<TnbTcpServerWorkItem> AItem) {
    const InbUserConnection connection = AItem->Connection();
    // The check and the queueing are one step under the queue lock, which Stop takes to set the
    // flag: nothing slips in between a stop and the queueing. A worker that cannot be created
    // frees the item; the error is reported and the next notification tries again.
    try {
        std::lock_guard guard(queueLock_);
        if (stopping_.load())
            return false;
        return ThreadPool().QueueWorkItem(std::move(AItem));
    } catch (...) {
        ReportCurrentException(connection.get());
        return false;
    }
}

bool TnbTcpServer::ScheduleTask(std::uint32_t AMilliseconds, std::function<void()> ATask) {
    std::lock_guard guard(queueLock_);
    if (stopping_.load() || !serverThread_)
        return false;
    serverThread_->ScheduleTask(AMilliseconds, std::move(ATask));
    return true;
}

bool TnbTcpServer::ReadConnectionData(TnbUserConnection& AConnection, TnbStream* AData) {
    std::lock_guard guard(AConnection.ConnectionLock());
    // SECURITY: while its output is backed up (or a close is under way, or its requests wait in
    // the protocol layer) a client's requests are left unread, so a client that never reads
    // cannot make the server produce or hold more.
    if (AConnection.HoldsInput()) {
        AConnection.HoldReads();
        return false;
    }
    // No second read item for data this read takes anyway.
    AConnection.SelectEvents(FD_WRITE | FD_CLOSE);
    const std::int64_t before = AData ? AData->GetSize() : 0;
    // SECURITY: one pass takes at most kMaxReadPass bytes, so the output hold above is checked
    // again before the next pipelined requests are taken. A limit set by a protocol layer is
    // left alone.
    const std::int64_t savedLimit = AConnection.BytesToProceed();
    if (savedLimit < 0)
        AConnection.SetBytesToProceed(AConnection.GetNetworkStream().BytesProceed() + kMaxReadPass);
    try {
        AConnection.ReadData(AData);
    } catch (...) {
        AConnection.SetBytesToProceed(savedLimit);
        try {
            AConnection.RenewReads();
        } catch (...) {
        }
        throw;
    }
    AConnection.SetBytesToProceed(savedLimit);
    // Renewing reports again what arrived meanwhile, or what this pass left: nothing is missed.
    AConnection.RenewReads();
    return !AData || AData->GetSize() > before;
}

// ---- Virtual operations ----

void TnbTcpServer::ReadConnection(TnbUserConnection& AConnection) {
    TnbMemoryStream data;
    std::lock_guard guard(AConnection.ConnectionLock());
    if (ReadConnectionData(AConnection, data)) {
        data.SetPosition(0);
        DoReadConnection(AConnection, data);
    }
}

void TnbTcpServer::WriteConnection(TnbUserConnection& AConnection) {
    std::lock_guard guard(AConnection.ConnectionLock());
    AConnection.WriteData(nullptr);
    DoWriteConnection(AConnection);
}

void TnbTcpServer::DoServerError(TnbUserConnection* AConnection, const std::exception& E) {
    if (OnServerError)
        OnServerError(*this, AConnection, E);
}

void TnbTcpServer::DoCreateConnection(InbUserConnection& AConnection) {
    if (OnCreateConnection)
        OnCreateConnection(*this, AConnection);
}

void TnbTcpServer::DoAcceptConnection(TnbUserConnection& AConnection, bool& Handled) {
    if (OnAcceptConnection)
        OnAcceptConnection(*this, AConnection, Handled);
}

void TnbTcpServer::DoCloseConnection(TnbUserConnection& AConnection) {
    if (OnCloseConnection)
        OnCloseConnection(*this, AConnection);
}

void TnbTcpServer::DoReadConnection(TnbUserConnection& AConnection, TnbStream& AData) {
    if (OnReadConnection)
        OnReadConnection(*this, AConnection, AData);
}

void TnbTcpServer::DoWriteConnection(TnbUserConnection& AConnection) {
    if (OnWriteConnection)
        OnWriteConnection(*this, AConnection);
}

void TnbTcpServer::DoStarting() {
    if (OnStarting)
        OnStarting(*this);
}

void TnbTcpServer::DoStart() {
    if (OnStart)
        OnStart(*this);
}

void TnbTcpServer::DoStop() {
    if (OnStop)
        OnStop(*this);
}

void TnbTcpServer::FreeServerObjects() {
    threadPool_.reset();
}

InbUserConnection TnbTcpServer::CreateConnection() {
    InbUserConnection connection;
    DoCreateConnection(connection);
    if (!connection)
        connection = CreateDefaultConnection();
    return connection;
}

InbUserConnection TnbTcpServer::CreateDefaultConnection() {
    return std::make_shared<TnbUserConnection>();
}

std::unique_ptr<TnbThreadPool> TnbTcpServer::CreateThreadPool() {
    return std::make_unique<TnbThreadPool>();
}

void TnbTcpServer::InitConnectionStream(TnbUserConnection& AConnection) {
    AConnection.SetNetworkStream(std::make_unique<TnbNetworkStream>());
}

void TnbTcpServer::ReportCurrentException(TnbUserConnection* AConnection) noexcept {
    try {
        throw;
    } catch (const std::exception& e) {
        try {
            DoServerError(AConnection, e);
        } catch (...) {
        }
    } catch (...) {
        try {
            DoServerError(AConnection, std::runtime_error("Unknown error"));
        } catch (...) {
        }
    }
}

}  // namespace nb
