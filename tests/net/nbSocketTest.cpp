#include "net/nbSocket.h"

#include <gtest/gtest.h>
#include <netdb.h>

#include <cerrno>
#include <chrono>
#include <thread>

#include "net/nbSocketUtils.h"
#include "net/nbWinSock2.h"
#include "util/nbUtils.h"

namespace nb {
namespace {

TEST(SocketErrors, InternalCodesCarryTheirFixedMessages) {
    const std::pair<int, const char*> expected[] = {
        {-1, "Timeout error occured"},     {-2, "Invalid host address"},
        {-3, "Invalid port number"},       {-4, "Invalid Batch Size"},
        {-5, "NetworkStream is required"}, {-6, "The connection to the server is not active"},
        {-7, "Invalid address family"},
    };
    for (const auto& [code, message] : expected) {
        try {
            RaiseInternalError(code);
            FAIL() << "no exception for " << code;
        } catch (const EnbSocketError& e) {
            EXPECT_EQ(e.ErrorCode, code);
            EXPECT_STREQ(e.what(), message);
        }
    }
    EXPECT_EQ(GetInternalErrorText(-8), "");
}

TEST(SocketErrors, ErrnoValuesMapToWindowsSocketsCodes) {
    EXPECT_EQ(MapSystemError(EAGAIN), WSAEWOULDBLOCK);
    EXPECT_EQ(MapSystemError(EINPROGRESS), WSAEWOULDBLOCK);
    EXPECT_EQ(MapSystemError(EACCES), 10013);
    EXPECT_EQ(MapSystemError(EAFNOSUPPORT), 10047);
    EXPECT_EQ(MapSystemError(EADDRINUSE), 10048);
    EXPECT_EQ(MapSystemError(ENETDOWN), 10050);
    EXPECT_EQ(MapSystemError(ENETUNREACH), 10051);
    EXPECT_EQ(MapSystemError(ENETRESET), 10052);
    EXPECT_EQ(MapSystemError(ECONNABORTED), 10053);
    EXPECT_EQ(MapSystemError(ECONNRESET), 10054);
    EXPECT_EQ(MapSystemError(EPIPE), 10054);
    EXPECT_EQ(MapSystemError(ETIMEDOUT), 10060);
    EXPECT_EQ(MapSystemError(ECONNREFUSED), 10061);
    EXPECT_EQ(MapSystemError(ENOTSOCK), 10038);
    EXPECT_EQ(MapSystemError(EBADF), 10038);
}

TEST(SocketErrors, ResolverFailuresMapAboveTheInternalCodes) {
    EXPECT_EQ(MapResolverError(EAI_NONAME, 0), 11001);
    EXPECT_EQ(MapResolverError(EAI_AGAIN, 0), 11002);
    EXPECT_EQ(MapResolverError(EAI_FAIL, 0), 11003);
    EXPECT_EQ(MapResolverError(EAI_NODATA, 0), 11004);
    EXPECT_EQ(MapResolverError(EAI_SYSTEM, ECONNREFUSED), 10061);
    EXPECT_EQ(MapResolverError(0, 0), 0);
    EXPECT_FALSE(GetSystemErrorText(11001).empty());
    EXPECT_FALSE(GetSystemErrorText(11004).empty());
}

TEST(SocketErrors, SystemCodesCarryTheSystemTextTrimmed) {
    EXPECT_EQ(GetSystemErrorText(WSAECONNRESET), "Connection reset by peer");
    EXPECT_EQ(GetSystemErrorText(WSAECONNREFUSED), "Connection refused");
    EXPECT_EQ(GetSystemErrorText(WSAENOTSOCK), "Socket operation on non-socket");
    try {
        RaiseSocketError(WSAEADDRINUSE);
        FAIL();
    } catch (const EnbSocketError& e) {
        EXPECT_EQ(e.ErrorCode, WSAEADDRINUSE);
        EXPECT_STREQ(e.what(), "Address already in use");
    }
}

TEST(SocketErrors, UnknownCodeHasEmptyTextAndKeepsItsCode) {
    EXPECT_EQ(GetSystemErrorText(99999), "");
    EXPECT_EQ(GetSystemErrorText(10999), "");
    try {
        RaiseSocketError(99999);
        FAIL();
    } catch (const EnbSocketError& e) {
        EXPECT_EQ(e.ErrorCode, 99999);
        EXPECT_STREQ(e.what(), "");
    }
}

TEST(SocketStartup, IsCountedAndNeverGoesNegative) {
    const int before = SocketsStartupCount();
    StartupSockets();
    StartupSockets();
    EXPECT_EQ(SocketsStartupCount(), before + 2);
    CleanupSockets();
    CleanupSockets();
    EXPECT_EQ(SocketsStartupCount(), before);
    for (int i = 0; i <= before; ++i)
        CleanupSockets();
    EXPECT_EQ(SocketsStartupCount(), 0);
}

TEST(TnbSocketTest, SecondCloseDoesNothing) {
    TnbSocket socket;
    const int handle = SocketCreate(nbAfInet, nbSockStream, nbIpProtoTcp);
    ASSERT_GE(handle, 0);
    socket.SetHandle(handle, nbAfInet);
    EXPECT_EQ(socket.AddressFamily(), nbAfInet);
    socket.Close();
    EXPECT_EQ(socket.Handle(), nbInvalidSocket);
    EXPECT_EQ(socket.AddressFamily(), 0);
    socket.Close();
    EXPECT_EQ(socket.Handle(), nbInvalidSocket);
    EXPECT_EQ(socket.AddressFamily(), 0);
}

TEST(WaitForEventTest, TimesOutWithCodeMinusOne) {
    TnbEvent event;
    try {
        WaitForEvent(event.Handle(), -1, GetTickCount32(), true, 30);
        FAIL() << "no time-out";
    } catch (const EnbSocketError& e) {
        EXPECT_EQ(e.ErrorCode, nbErrTimeout);
        EXPECT_STREQ(e.what(), "Timeout error occured");
    }
}

TEST(WaitForEventTest, SignalledEventAnswersTrueAbortAnswersFalse) {
    TnbEvent event;
    TnbEvent abort;
    event.Signal();
    EXPECT_TRUE(WaitForEvent(event.Handle(), abort.Handle(), GetTickCount32(), true, 1000));
    event.Reset();
    abort.Signal();
    EXPECT_FALSE(WaitForEvent(event.Handle(), abort.Handle(), GetTickCount32(), true, 1000));
}

TEST(WaitForEventTest, UnlimitedWaitWakesOnAbortFromAnotherThreadWithoutRaising) {
    TnbEvent event;
    TnbEvent abort;
    std::thread aborter([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        abort.Signal();
    });
    bool result = true;
    EXPECT_NO_THROW(result = WaitForEvent(event.Handle(), abort.Handle(), 0, false, -1));
    EXPECT_FALSE(result);
    aborter.join();
    // A manual-reset abort wakes every later wait too, until it is reset.
    EXPECT_FALSE(WaitForEvent(event.Handle(), abort.Handle(), 0, true, -1));
}

TEST(WaitForEventTest, WithoutSocketOnlyAbortAndTimeOutCount) {
    TnbEvent abort;
    EXPECT_THROW(WaitForEvent(-1, abort.Handle(), GetTickCount32(), true, 10), EnbSocketError);
    abort.Signal();
    EXPECT_FALSE(WaitForEvent(-1, abort.Handle(), GetTickCount32(), true, 10));
}

}  // namespace
}  // namespace nb
