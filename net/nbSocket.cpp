#include "net/nbSocket.h"

#include "net/nbSocketUtils.h"

namespace nb {

namespace {

constexpr int kAllEvents = FD_READ | FD_WRITE | FD_OOB | FD_ACCEPT | FD_CONNECT | FD_CLOSE;

// FD_* events -> the readiness that announces them.
int PollEventsFor(int events) {
    int result = 0;
    if (events & (FD_READ | FD_ACCEPT))
        result |= nbPollIn;
    if (events & (FD_WRITE | FD_CONNECT))
        result |= nbPollOut;
    if (events & FD_CLOSE)
        result |= nbPollRdHup;
    return result;
}

}  // namespace

TnbSocket::~TnbSocket() {
    if (handle_ != nbInvalidSocket)
        SocketClose(handle_);
}

void TnbSocket::Close() {
    if (handle_ != nbInvalidSocket) {
        SocketShutdown(handle_, nbSdBoth);
        SocketClose(handle_);
    }
    SetHandle(nbInvalidSocket, 0);
}

void TnbSocket::SetHandle(int handle, int family) {
    handle_ = handle;
    addressFamily_ = family;
    selected_.store(0);
    enabled_.store(0);
    closeReported_.store(false);
    quiet_.store(false);
}

void TnbSocket::SelectEvents(int mask) {
    selected_.store(mask);
    // A fresh selection reports every condition that holds now; FD_CONNECT waits for Connect.
    enabled_.store(kAllEvents & ~FD_CONNECT);
    quiet_.store(false);
}

int TnbSocket::WaitEvents() const {
    if (handle_ == nbInvalidSocket || quiet_.load())
        return 0;
    int mask = selected_.load() & enabled_.load();
    if (closeReported_.load())
        mask &= ~FD_CLOSE;
    return mask;
}

TnbNetworkEvents TnbSocket::EnumNetworkEvents() {
    TnbNetworkEvents result;
    const int mask = WaitEvents();
    if (mask == 0)
        return result;
    TnbPollItem item{handle_, PollEventsFor(mask), 0};
    if (SocketPoll(&item, 1, 0) <= 0)
        return result;
    const int ready = item.REvents;
    const bool failed = (ready & (nbPollErr | nbPollHup)) != 0;

    if ((mask & FD_CONNECT) && (ready & nbPollOut || failed)) {
        result.NetworkEvents |= FD_CONNECT;
        result.ErrorCode[FD_CONNECT_BIT] = SocketTakeError(handle_);
        Disable(FD_CONNECT);
        return result;
    }
    if ((mask & FD_ACCEPT) && (ready & nbPollIn)) {
        result.NetworkEvents |= FD_ACCEPT;
        Disable(FD_ACCEPT);
    }
    bool hasData = false;
    const bool peerGone = (ready & nbPollRdHup) || failed;
    if ((mask & (FD_READ | FD_CLOSE)) && (ready & nbPollIn || peerGone)) {
        hasData = SocketPendingBytes(handle_) > 0;
    }
    if ((mask & FD_READ) && (ready & nbPollIn)) {
        // At the end of the data the close is the event, unless no one listens for it.
        const bool closeSelected = (selected_.load() & FD_CLOSE) != 0;
        if (hasData || !closeSelected || closeReported_.load()) {
            result.NetworkEvents |= FD_READ;
            Disable(FD_READ);
        }
    }
    if ((mask & FD_CLOSE) && peerGone) {
        const int error = failed ? SocketTakeError(handle_) : 0;
        // The close waits until the data before it has been read (a reset cannot wait).
        if (!hasData || error != 0) {
            result.NetworkEvents |= FD_CLOSE;
            result.ErrorCode[FD_CLOSE_BIT] = error;
            closeReported_.store(true);
        } else if (!(result.NetworkEvents & FD_READ)) {
            // Unread data that nobody reads now: stay silent until the next receive.
            Disable(FD_CLOSE);
        }
    }
    if ((mask & FD_WRITE) && (ready & nbPollOut)) {
        result.NetworkEvents |= FD_WRITE;
        Disable(FD_WRITE);
    }
    if (result.NetworkEvents == 0 && failed)
        Quieten();
    return result;
}

void TnbSocket::Quieten() {
    quiet_.store(true);
}

int TnbSocket::Recv(void* buffer, int size) {
    const int result = SocketRecv(handle_, buffer, size);
    const int error = WSAGetLastError();
    Enable(FD_READ | FD_CLOSE);
    quiet_.store(false);
    if (result == 0)
        closeReported_.store(true);  // the receive itself found the close
    WSASetLastError(error);
    return result;
}

int TnbSocket::Send(const void* buffer, int size) {
    const int result = SocketSend(handle_, buffer, size);
    const int error = WSAGetLastError();
    if (result < 0 && error == WSAEWOULDBLOCK)
        Enable(FD_WRITE);
    quiet_.store(false);
    WSASetLastError(error);
    return result;
}

std::int64_t TnbSocket::SendFile(int fileHandle, std::int64_t offset, std::size_t count) {
    const std::int64_t result = SocketSendFile(handle_, fileHandle, offset, count);
    const int error = WSAGetLastError();
    if (result < 0 && error == WSAEWOULDBLOCK)
        Enable(FD_WRITE);
    quiet_.store(false);
    WSASetLastError(error);
    return result;
}

std::int64_t TnbSocket::RecvToPipe(int pipeHandle, std::size_t count) {
    const std::int64_t result = SocketRecvToPipe(handle_, pipeHandle, count);
    const int error = WSAGetLastError();
    Enable(FD_READ | FD_CLOSE);
    quiet_.store(false);
    if (result == 0)
        closeReported_.store(true);  // the receive itself found the close
    WSASetLastError(error);
    return result;
}

int TnbSocket::RecvFrom(void* buffer, int size, void* address, int* length) {
    const int result = SocketRecvFrom(handle_, buffer, size, address, length);
    const int error = WSAGetLastError();
    Enable(FD_READ);
    quiet_.store(false);
    WSASetLastError(error);
    return result;
}

int TnbSocket::SendTo(const void* buffer, int size, const void* address, int length) {
    const int result = SocketSendTo(handle_, buffer, size, address, length);
    const int error = WSAGetLastError();
    if (result < 0 && error == WSAEWOULDBLOCK)
        Enable(FD_WRITE);
    quiet_.store(false);
    WSASetLastError(error);
    return result;
}

int TnbSocket::Accept(void* address, int* length) {
    const int result = SocketAccept(handle_, address, length);
    const int error = WSAGetLastError();
    Enable(FD_ACCEPT);
    quiet_.store(false);
    WSASetLastError(error);
    return result;
}

int TnbSocket::Connect(const void* address, int length) {
    const int result = SocketConnect(handle_, address, length);
    const int error = WSAGetLastError();
    if (result == 0 || error == WSAEWOULDBLOCK)
        Enable(FD_CONNECT);
    quiet_.store(false);
    WSASetLastError(error);
    return result;
}

void TnbSocket::NoteClosed() {
    closeReported_.store(true);
}

bool WaitForEvent(int socketEvent, int abortEvent, std::uint32_t startTick, bool noMessagePump,
                  int timeOut, int events) {
    // There are no window messages to pump here and no message can wake the wait, so the
    // single wait's limit is the whole time-out; startTick only matters to message pumps.
    (void)startTick;
    (void)noMessagePump;
    TnbPollItem items[2];
    items[0].Handle = socketEvent;
    items[0].Events = PollEventsFor(events);
    items[1].Handle = abortEvent;
    items[1].Events = nbPollIn;
    const int result = SocketPoll(items, 2, timeOut < 0 ? -1 : timeOut);
    if (result < 0)
        RaiseSocketError(WSAGetLastError());
    if (result == 0)
        RaiseInternalError(nbErrTimeout);
    return socketEvent >= 0 && items[0].REvents != 0;
}

}  // namespace nb
