// The program's log writer: order, a reader that does not keep up, a reader that has gone.
#include "app/nbLogSink.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

namespace nb {
namespace {

using namespace std::chrono_literals;

struct TPipe {
    int fds[2] = {-1, -1};
    TPipe() {
        EXPECT_EQ(::pipe(fds), 0);
        // The smallest pipe the system allows, so that a few lines fill it.
        ::fcntl(fds[1], F_SETPIPE_SZ, 4096);
    }
    ~TPipe() {
        for (int fd : fds)
            if (fd >= 0)
                ::close(fd);
    }
    void CloseReader() {
        ::close(fds[0]);
        fds[0] = -1;
    }
    std::string ReadAll() {
        ::fcntl(fds[0], F_SETFL, O_NONBLOCK);
        std::string text;
        char buffer[4096];
        ssize_t n;
        while ((n = ::read(fds[0], buffer, sizeof buffer)) > 0)
            text.append(buffer, static_cast<std::size_t>(n));
        return text;
    }
};

TEST(TnbLogSink, LinesArriveWholeAndInOrder) {
    TPipe pipe;
    std::string expected;
    std::string got;
    {
        TnbLogSink sink(pipe.fds[1], 1 << 20);
        std::thread reader([&] {
            char buffer[4096];
            ssize_t n;
            while ((n = ::read(pipe.fds[0], buffer, sizeof buffer)) > 0)
                got.append(buffer, static_cast<std::size_t>(n));
        });
        for (int i = 0; i < 1000; ++i) {
            sink.Post("line " + std::to_string(i));
            expected += "line " + std::to_string(i) + "\n";
        }
        EXPECT_TRUE(sink.Flush(10s));
        EXPECT_EQ(sink.DroppedCount(), 0u);
        ::close(pipe.fds[1]);
        pipe.fds[1] = -1;
        reader.join();
    }
    EXPECT_EQ(got, expected);
}

TEST(TnbLogSink, AReaderThatDoesNotReadNeverHoldsUpAPosterAndDropsAreCounted) {
    TPipe pipe;
    // The pipe is full before the sink starts: its writer blocks at once.
    ::fcntl(pipe.fds[1], F_SETFL, O_NONBLOCK);
    std::size_t filler = 0;
    for (ssize_t n; (n = ::write(pipe.fds[1], "f", 1)) > 0;)
        filler += static_cast<std::size_t>(n);
    ::fcntl(pipe.fds[1], F_SETFL, 0);
    TnbLogSink sink(pipe.fds[1], 2048);
    const std::string line(100, 'x');
    // Far more than the pipe and the backlog hold: every Post must still return.
    for (int i = 0; i < 2000; ++i)
        sink.Post(line);
    const std::uint64_t dropped = sink.DroppedCount();
    EXPECT_GT(dropped, 0u);
    EXPECT_FALSE(sink.Flush(50ms)) << "the writer cannot be done while nobody reads";

    // Once the reader catches up, the lines that were kept come, then a count of the lost ones.
    std::string text;
    std::thread reader([&] {
        char buffer[4096];
        ssize_t n;
        while ((n = ::read(pipe.fds[0], buffer, sizeof buffer)) > 0) {
            text.append(buffer, static_cast<std::size_t>(n));
            if (text.find("last\n") != std::string::npos)
                break;
        }
    });
    sink.Post("last");
    EXPECT_TRUE(sink.Flush(10s));
    reader.join();
    // Every drop is reported where it happened; together the reports count them all.
    std::uint64_t reported = 0;
    std::size_t kept = 0;
    std::size_t start = filler;
    std::string lastLine;
    for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
        lastLine = text.substr(start, end - start);
        unsigned long long count = 0;
        if (std::sscanf(lastLine.c_str(), "(%llu log lines dropped)", &count) == 1)
            reported += count;
        else if (lastLine == line)
            ++kept;
    }
    EXPECT_EQ(reported, dropped);
    EXPECT_EQ(kept, 2000 - dropped);
    EXPECT_EQ(lastLine, "last");
}

TEST(TnbLogSink, AReaderThatHasGoneStopsTheLogNotTheProgram) {
    ::signal(SIGPIPE, SIG_IGN);  // as the program does
    TPipe pipe;
    pipe.CloseReader();
    TnbLogSink sink(pipe.fds[1], 1 << 20);
    sink.Post("nobody reads this");
    EXPECT_TRUE(sink.Flush(10s));
    EXPECT_TRUE(sink.Failed());
    sink.Post("nor this");
    EXPECT_TRUE(sink.Flush(10s));
}

}  // namespace
}  // namespace nb
