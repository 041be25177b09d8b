// The network stream: how a connection's bytes are received, sent, counted and throttled.
// The plain stream passes bytes unchanged; the TLS stream derives from it and overrides the
// virtual operations marked below, so their order and contracts are fixed.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "net/nbWinSock2.h"
#include "util/nbFileStream.h"

namespace nb {

class TnbConnection;
class TnbIPAddress;
class TnbStream;

// What a stream asks its connection to do before the caller's operation is complete.
enum class TnbNextAction : std::uint8_t { naNone = 0, naRead = 1, naWrite = 2 };

// Owned by exactly one connection (TnbConnection::SetNetworkStream), which decides when to wait
// for network events; the stream never closes the socket.
// Contracts the connection relies on:
// - Read, Write and WriteCount answer false exactly when the socket would block; every other
//   socket failure raises EnbSocketError with the Windows Sockets code.
// - A source stream's position always marks its first unsent byte.
// - After every operation NeedClose tells whether the peer has gone and NextAction whether
//   another read or write pass is needed.
// Thread notes: used by the thread that drives its connection; no locks. Throttle sleeps wake
// on the connection's Abort from any thread.
class TnbNetworkStream {
public:
    TnbNetworkStream();
    virtual ~TnbNetworkStream();
    TnbNetworkStream(const TnbNetworkStream&) = delete;
    TnbNetworkStream& operator=(const TnbNetworkStream&) = delete;

    // ---- Virtual operations, in their fixed order ----

    virtual int GetBatchSize();
    virtual void SetConnection(TnbConnection* connection);
    // Overridden by TLS. Takes over the addresses and HasReadData of another stream.
    virtual void Assign(const TnbNetworkStream& source);
    virtual bool Connect(TnbIPAddress& address, int port);
    virtual void AfterConnect();
    virtual void Bind(TnbIPAddress& address, int port);
    // Binds the first free port of portBegin..portEnd (taken ports are skipped).
    virtual void BindRange(TnbIPAddress& address, int portBegin, int portEnd);
    virtual void SetBroadcast();
    virtual void Listen();
    virtual void Accept();
    virtual void AfterAccept();
    // Overridden by TLS. Protocol-level close; the plain stream only clears NextAction.
    virtual void Close(bool notifyPeer);
    virtual void BeforeCloseSocket();
    // Overridden by TLS. Tells the connection that application data may flow.
    virtual void DoReady();
    // Overridden by TLS. Receives what is available into destination (written at its
    // position); nullptr = nothing to deliver. False when the socket would block.
    virtual bool Read(TnbStream* destination);
    // Overridden by TLS. Sends the rest of source (nullptr = nothing). False when the socket
    // would block; source's position then marks the first unsent byte.
    virtual bool Write(TnbStream* source);
    // Up to count bytes of source (negative = all that remains).
    virtual bool WriteCount(TnbStream* source, std::int64_t count);
    virtual bool ReadFrom(TnbStream* destination, TnbIPAddress& address, int& port);
    virtual bool WriteTo(TnbStream* source, TnbIPAddress& address, int port);
    // One raw receive or send; the system call's result unchanged (-1 with WSAGetLastError).
    virtual int ReadBuffer(void* buffer, int size);
    virtual int WriteBuffer(const void* buffer, int size);
    // Overridden by TLS (slots 21 to 27).
    virtual int GetReadBatchSize();
    virtual int GetWriteBatchSize();
    virtual bool IsReadLimitReached();
    virtual void ResetBytesProceed();
    virtual void AddBytesProceed(std::int64_t count);
    virtual void BeforeConnect();
    virtual void BeforeAccept();
    // Whether WriteCount may hand a file's bytes to the socket without reading them (zero
    // copy). The plain stream sends bytes unchanged, so it may; a stream that transforms what
    // it sends (TLS encrypts it) must answer false.
    virtual bool CanSendFileDirectly() const { return true; }

    // ---- Non-virtual operations ----

    void UpdateLocalAddress();
    void SetPeerAddress(const TnbIPAddress& address);
    // Pauses as long as byteCount moved bytes take at the connection's BitsPerSec; wakes at
    // once on the connection's Abort.
    void Throttle(std::int64_t byteCount);
    void ClearNextAction() { nextAction_ = TnbNextAction::naNone; }
    // Changes NextAction only while it is naNone.
    void SetNextAction(TnbNextAction action);
    // The connection is aborted or the read limit is reached.
    bool NeedStop();

    // ---- State ----

    TnbConnection* Connection() const { return connection_; }
    TnbNextAction NextAction() const { return nextAction_; }
    const std::string& IP() const { return ip_; }
    int Port() const { return port_; }
    const std::string& PeerIP() const { return peerIP_; }
    int PeerPort() const { return peerPort_; }
    bool HasReadData() const { return hasReadData_; }
    void SetHasReadData(bool value) { hasReadData_ = value; }
    std::int64_t BytesProceed() const { return bytesProceed_; }
    bool NeedClose() const { return needClose_; }
    void SetNeedClose(bool value) { needClose_ = value; }
    bool ClosedOnRead() const { return closedOnRead_; }

protected:
    // The socket calls, each followed by Throttle of the bytes it moved.
    int Recv(void* buffer, int size);
    int Send(const void* buffer, int size);
    int RecvFrom(void* buffer, int size, void* address, int* length);
    int SendTo(const void* buffer, int size, const void* address, int length);
    // The connection's socket handle and family (-1 and 0 without a connection).
    int SocketHandle() const;
    int SocketFamily() const;
    // Raises "NetworkStream is required"-style misuse: the stream has no connection.
    TnbConnection& RequireConnection() const;

    void SetClosedOnRead(bool value) { closedOnRead_ = value; }
    void SetBytesProceed(std::int64_t value) { bytesProceed_ = value; }

private:
    enum class TDirectSend : std::uint8_t { dsFinished, dsWouldBlock, dsCopy };
    // The source when WriteCount may send it without copying: a file open for reading on a
    // plain stream of an unthrottled connection; nullptr otherwise.
    TnbFileStream* DirectSource(TnbStream* source);
    // TCP_NODELAY on a connected socket (after Accept and Connect).
    void SendSegmentsAtOnce();
    // Sends from file's position with zero-copy calls, adding to sent. dsCopy hands the rest to
    // the copy loop (the file system cannot do it, or the copy path is to report the failure).
    TDirectSend SendFileDirect(TnbFileStream& file, std::int64_t count, std::int64_t& sent);
    // The destination when Read may move received bytes into it without copying them: a file
    // open for writing on a plain stream of an unthrottled connection; nullptr otherwise.
    TnbFileStream* DirectDestination(TnbStream* destination);
    // Receives into file at its position through a pipe (socket to pipe to file, no copy in
    // user memory). dsCopy hands the rest to the copy loop (no pipe, or a socket that cannot).
    TDirectSend ReceiveFileDirect(TnbFileStream& file);
    // One batch of up to size bytes through the transfer buffer: the bytes sent, or
    // kBatchWouldBlock / kBatchSourceEnded. The source position follows the bytes sent.
    static constexpr std::int64_t kBatchWouldBlock = -1;
    static constexpr std::int64_t kBatchSourceEnded = -2;
    std::int64_t CopyBatch(TnbStream* source, int size);
    // One transfer buffer, reused batch after batch; grows only with the batch size.
    char* TransferBuffer(int size);
    // Room for a receive of size bytes at the memory destination's position.
    static char* ReceiveSpace(TnbMemoryStream& destination, int size);

    TnbConnection* connection_ = nullptr;  // not owned: the connection owns this stream
    TnbNextAction nextAction_ = TnbNextAction::naNone;
    std::string ip_;
    int port_ = 0;
    std::string peerIP_;
    int peerPort_ = 0;
    bool hasReadData_ = false;
    std::int64_t bytesProceed_ = 0;
    bool needClose_ = false;
    bool closedOnRead_ = false;
    std::vector<char> buffer_;
    // The pipe of direct receives, made at the first one and kept for the stream's life.
    TnbFd pipeRead_;
    TnbFd pipeWrite_;
};

}  // namespace nb
