// Connections: one TCP socket with the network stream that moves its bytes, its counters,
// limits and events. TnbConnection is the base of every connection (also of the server's
// per-client connections); the Sync/Tcp classes below are driven by the calling thread, which
// waits for network events itself (FTP data connections).
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "net/nbNetworkStream.h"
#include "net/nbSocket.h"
#include "net/nbWinSock2.h"

namespace nb {

class TnbStream;

// Owns its socket and its stream.
// Thread notes: driven by one thread at a time. Abort (and reading IsAborted / Active) may
// happen on any thread.
class TnbConnection {
public:
    using TProgressEvent = std::function<void(TnbConnection& Sender, std::int64_t ABytesProceed,
                                              std::int64_t ATotalBytes)>;
    using TReadyEvent = std::function<void(TnbConnection& Sender)>;

    TnbConnection();
    // Closes the stream and the socket (socket errors are swallowed), then releases both.
    virtual ~TnbConnection();
    TnbConnection(const TnbConnection&) = delete;
    TnbConnection& operator=(const TnbConnection&) = delete;

    // ---- Virtual operations, in their fixed order ----

    virtual bool IsClosed();
    virtual void ReleaseResources();
    virtual void DoProgress(std::int64_t bytesProceed, std::int64_t totalBytes);
    virtual void DoReady();
    virtual void SetActive(bool value);
    // Protocol close (a TLS close exchange when notifyPeer), then the socket close, unless
    // the stream still has a close exchange to run.
    virtual void Close(bool notifyPeer);
    virtual void CloseStream(bool notifyPeer);
    // Bytes appended to destination (nullptr = passes the stream asked for only).
    virtual bool ReadData(TnbStream* destination) = 0;
    // Sends the rest of source (nullptr = passes the stream asked for only). True when
    // everything has gone out.
    virtual bool WriteData(TnbStream* source) = 0;
    virtual void DispatchNextAction();
    // Any thread.
    virtual void Abort();
    // The event descriptor that Abort signals (-1 when this class has none); throttle sleeps
    // wake on it.
    virtual int AbortHandle() const { return -1; }

    // ---- Non-virtual operations ----

    void CloseSocket();
    // The connection owns the stream from now on; it takes over the old stream's addresses.
    void SetNetworkStream(std::unique_ptr<TnbNetworkStream> stream);
    // Raises "NetworkStream is required" (-5) when there is none.
    TnbNetworkStream& GetNetworkStream() const;
    TnbNetworkStream* NetworkStream() const { return networkStream_.get(); }
    void InitProgress(std::int64_t bytesProceed, std::int64_t totalBytes);
    void AddBytesProceed(std::int64_t count);
    // Clears IsAborted; raises the system's code when no socket can be made.
    void CreateSocket(int family, int type, int protocol);

    // ---- Properties ----

    TnbSocket& Socket() { return *socket_; }
    const TnbSocket& Socket() const { return *socket_; }
    int BatchSize() const { return batchSize_; }
    void SetBatchSize(int value) { batchSize_ = value; }
    // Throttle rate in bits per second; 0 = unlimited.
    int BitsPerSec() const { return bitsPerSec_; }
    void SetBitsPerSec(int value) { bitsPerSec_ = value; }
    bool IsAborted() const { return isAborted_.load(); }
    bool Active() const { return active_.load(); }
    std::int64_t BytesProceed() const { return bytesProceed_; }
    std::int64_t TotalBytes() const { return totalBytes_; }
    // Read limit; -1 = none.
    std::int64_t BytesToProceed() const { return bytesToProceed_; }
    void SetBytesToProceed(std::int64_t value) { bytesToProceed_ = value; }
    const std::string& IP() const { return ip_; }
    void SetIP(const std::string& value) { ip_ = value; }
    int Port() const { return port_; }
    void SetPort(int value) { port_ = value; }
    const std::string& PeerIP() const { return peerIP_; }
    void SetPeerIP(const std::string& value) { peerIP_ = value; }
    int PeerPort() const { return peerPort_; }
    void SetPeerPort(int value) { peerPort_ = value; }
    bool UseIpV6() const { return useIpV6_; }
    void SetUseIpV6(bool value) { useIpV6_ = value; }
    bool NoMessagePump() const { return noMessagePump_; }
    void SetNoMessagePump(bool value) { noMessagePump_ = value; }

    TProgressEvent OnProgress;
    TReadyEvent OnReady;

protected:
    void SetAborted(bool value) { isAborted_.store(value); }

private:
    std::unique_ptr<TnbSocket> socket_;
    int batchSize_ = 8192;
    int bitsPerSec_ = 0;
    std::atomic<bool> isAborted_{false};
    std::unique_ptr<TnbNetworkStream> networkStream_;
    std::atomic<bool> active_{false};
    std::int64_t bytesProceed_ = 0;
    std::int64_t totalBytes_ = 0;
    std::int64_t bytesToProceed_ = -1;
    std::string ip_;
    int port_ = 0;
    std::string peerIP_;
    int peerPort_ = 0;
    bool useIpV6_ = false;
    bool noMessagePump_ = false;
};

// A connection driven by the thread that calls it: it waits for network events itself, each
// wait limited by TimeOut, and Abort wakes every wait at once.
class TnbSyncConnection : public TnbConnection {
public:
    TnbSyncConnection() = default;
    ~TnbSyncConnection() override = default;

    void ReleaseResources() override;
    // Any thread: sets IsAborted and wakes the running wait (and every later one until the
    // next socket is created).
    void Abort() override;
    int AbortHandle() const override { return abortEvent_.Handle(); }

    void SelectEvents(int mask);
    // Starts a new time-out period.
    void ResetTimeOut();
    // text in charSet (see TnbTranslator), sent with WriteData.
    void WriteString(const std::string& text, const std::string& charSet);

    // Longest time (ms) a single wait for a network event may last; -1 = no limit.
    int TimeOut() const { return timeOut_; }
    void SetTimeOut(int value) { timeOut_ = value; }
    std::uint32_t LastActivity() const { return lastActivity_; }
    // Local address to bind to; empty = the wildcard address.
    const std::string& LocalBinding() const { return localBinding_; }
    void SetLocalBinding(const std::string& value) { localBinding_ = value; }

protected:
    // One wait for the selected network events (limit timeOut ms since LastActivity).
    // True with the events that fired; false when Abort woke it. A time-out raises -1.
    bool WaitNetworkEvents(int timeOut, TnbNetworkEvents& events);
    // Re-arms the abort event for a new socket (IsAborted is cleared by CreateSocket).
    void ResetAbortEvent() { abortEvent_.Reset(); }

private:
    int timeOut_ = 5000;
    TnbEvent abortEvent_;
    std::uint32_t lastActivity_ = 0;
    std::string localBinding_;
};

// Blocking read and write passes over a TCP socket, including the passes a TLS stream asks for.
class TnbTcpConnection : public TnbSyncConnection {
public:
    bool IsClosed() override;
    void SetActive(bool value) override;
    bool ReadData(TnbStream* destination) override;
    bool WriteData(TnbStream* source) override;
    void DispatchNextAction() override;

    void InternalReadData(TnbStream* destination);
    void InternalWriteData(TnbStream* source);

    // A read pass keeps reading until the peer closes (incoming file data).
    bool ReadUntilClose() const { return readUntilClose_; }
    void SetReadUntilClose(bool value) { readUntilClose_ = value; }
    // A read pass that ends with the peer's close leaves the connection open.
    bool KeepOpenOnPeerClose() const { return keepOpenOnPeerClose_; }
    void SetKeepOpenOnPeerClose(bool value) { keepOpenOnPeerClose_ = value; }
    // The peer closed; cleared whenever the connection becomes active.
    bool ClosedByPeer() const { return closedByPeer_; }

protected:
    // Restores ReadUntilClose when an open or accept leaves, however it leaves.
    class TReadUntilCloseGuard {
    public:
        explicit TReadUntilCloseGuard(TnbTcpConnection& connection)
            : connection_(connection), saved_(connection.readUntilClose_) {
            connection_.readUntilClose_ = false;
        }
        ~TReadUntilCloseGuard() { connection_.readUntilClose_ = saved_; }
        TReadUntilCloseGuard(const TReadUntilCloseGuard&) = delete;
        TReadUntilCloseGuard& operator=(const TReadUntilCloseGuard&) = delete;

    private:
        TnbTcpConnection& connection_;
        bool saved_;
    };

    // The end of a successful open or accept: active, the stream's own exchange (a handshake)
    // run, then the stream's after-step (AfterConnect or AfterAccept) and the ready event.
    void BecomeActive(void (TnbNetworkStream::*afterStep)());

private:
    bool readUntilClose_ = false;
    bool keepOpenOnPeerClose_ = false;
    bool closedByPeer_ = false;
};

// An outgoing connection (FTP active mode).
class TnbTcpClientConnection : public TnbTcpConnection {
public:
    // Connects to a numeric address; "Invalid host address" (-2) otherwise. On return the
    // connection is active, or closed when Abort ended the connect.
    void Open(const std::string& server, int port);

    // Limit of the connect wait in ms; 0 = TimeOut.
    int ConnectTimeOut() const { return connectTimeOut_; }
    void SetConnectTimeOut(int value) { connectTimeOut_ = value; }

private:
    int connectTimeOut_ = 0;
};

// Listens on a port (or the first free one of a range) and accepts exactly one peer
// (FTP passive mode).
class TnbTcpServerConnection : public TnbTcpConnection {
public:
    // Returns the port bound (port 0 lets the system choose).
    int Listen(int port);
    int Listen(int portBegin, int portEnd);
    // Waits (TimeOut) for one peer and makes the connection active with it; the listening
    // handle is closed on every exit. With expectedPeerIP set, a peer from another address is
    // closed and the wait goes on within the same time-out. Returns with the connection
    // closed when Abort ended the wait.
    void Accept(const std::string& expectedPeerIP = {});
};

}  // namespace nb
