#include "util/nbFileStream.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

namespace nb {
namespace {

class TScratch {
public:
    TScratch() {
        std::string pattern = ::testing::TempDir() + "nbfs-XXXXXX";
        if (::mkdtemp(pattern.data()) == nullptr)
            throw std::runtime_error("mkdtemp failed");
        path_ = pattern;
    }
    ~TScratch() {
        const std::string command = "rm -rf '" + path_ + "'";
        if (std::system(command.c_str()) != 0)
            ADD_FAILURE() << "cannot remove " << path_;
    }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

std::string Content(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

int OpenDescriptors() {
    int count = 0;
    if (DIR* d = ::opendir("/proc/self/fd")) {
        while (::readdir(d) != nullptr)
            ++count;
        ::closedir(d);
    }
    return count;
}

int ErrorOf(const std::string& path, TnbFileMode mode) {
    try {
        TnbFileStream s(path, mode);
        return 0;
    } catch (const EnbFileError& e) {
        return e.ErrorCode;
    }
}

TEST(FileStream, ReadsWritesSeeksAndResizes) {
    TScratch dir;
    {
        TnbFileStream w(dir / "f", TnbFileMode::fmCreate);
        EXPECT_EQ(w.Write("hello\0world", 11), 11);
        EXPECT_EQ(w.GetSize(), 11);
        EXPECT_EQ(w.Seek(-5, TnbSeekOrigin::soEnd), 6);
        w.WriteString("WORLD");
        w.SetSize(13);
        EXPECT_EQ(w.GetPosition(), 11);
        w.Close();
        w.Close();  // a second close does nothing
        EXPECT_THROW(w.Write("x", 1), EnbFileError);
    }
    EXPECT_EQ(Content(dir / "f"), std::string("hello\0WORLD\0\0", 13));

    TnbFileStream r(dir / "f", TnbFileMode::fmOpenRead);
    char buffer[32] = {};
    r.SetPosition(6);
    EXPECT_EQ(r.Read(buffer, sizeof buffer), 7);
    EXPECT_EQ(std::string(buffer, 5), "WORLD");
    EXPECT_EQ(r.Read(buffer, sizeof buffer), 0);
    // Writing to a stream opened for reading is an error with the system's text, no path.
    try {
        r.Write("x", 1);
        ADD_FAILURE() << "write on a read stream";
    } catch (const EnbFileError& e) {
        EXPECT_EQ(e.ErrorCode, EBADF);
        EXPECT_STREQ(e.what(), "Bad file descriptor");
    }
    EXPECT_THROW(r.Seek(-1, TnbSeekOrigin::soBeginning), EnbFileError);
}

TEST(FileStream, OpenModesCreateEmptyOrKeep) {
    TScratch dir;
    EXPECT_EQ(ErrorOf(dir / "missing", TnbFileMode::fmOpenRead), ENOENT);
    { TnbFileStream w(dir / "log", TnbFileMode::fmOpenWrite); }  // created
    {
        TnbFileStream w(dir / "log", TnbFileMode::fmOpenWrite);
        w.WriteString("abc");
    }
    {
        TnbFileStream w(dir / "log", TnbFileMode::fmOpenWrite);
        EXPECT_EQ(w.GetSize(), 3);
        EXPECT_EQ(w.GetPosition(), 0);
    }
    EXPECT_EQ(ErrorOf(dir / "log", TnbFileMode::fmCreateNew), EEXIST);
    { TnbFileStream w(dir / "log", TnbFileMode::fmCreate); }
    EXPECT_EQ(Content(dir / "log"), "");
    ASSERT_EQ(::mkdir((dir / "d").c_str(), 0777), 0);
    EXPECT_EQ(ErrorOf(dir / "d", TnbFileMode::fmOpenRead), EISDIR);
    EXPECT_EQ(ErrorOf(dir / "d", TnbFileMode::fmCreate), EISDIR);
    ASSERT_EQ(::mkfifo((dir / "p").c_str(), 0666), 0);
    EXPECT_EQ(ErrorOf(dir / "p", TnbFileMode::fmOpenRead), EPERM);
    EXPECT_EQ(ErrorOf("/dev/null", TnbFileMode::fmOpenRead), EPERM);
}

TEST(FileStream, SharingTableAndNoLeakOnFailure) {
    TScratch dir;
    { std::ofstream(dir / "f") << "keep me"; }
    const int before = OpenDescriptors();
    {
        TnbFileStream r1(dir / "f", TnbFileMode::fmOpenRead);
        TnbFileStream r2(dir / "f", TnbFileMode::fmOpenRead);
        for (int i = 0; i < 20; ++i) {
            EXPECT_EQ(ErrorOf(dir / "f", TnbFileMode::fmCreate), EBUSY);
            EXPECT_EQ(ErrorOf(dir / "f", TnbFileMode::fmOpenWrite), EBUSY);
        }
        EXPECT_EQ(Content(dir / "f"), "keep me");
        r1.Close();  // an explicit close releases the hold too
        EXPECT_EQ(ErrorOf(dir / "f", TnbFileMode::fmCreate), EBUSY);
    }
    {
        TnbFileStream w(dir / "f", TnbFileMode::fmOpenWrite);
        EXPECT_EQ(ErrorOf(dir / "f", TnbFileMode::fmOpenRead), EBUSY);
        EXPECT_EQ(ErrorOf(dir / "f", TnbFileMode::fmOpenWrite), EBUSY);
    }
    // Every refused open gave its descriptor back, and no hold is left behind.
    EXPECT_EQ(OpenDescriptors(), before);
    EXPECT_EQ(ErrorOf(dir / "f", TnbFileMode::fmCreate), 0);
    EXPECT_STREQ(EnbFileError(EBUSY).what(), "Device or resource busy");
}

TEST(FileStream, SharingHoldsUnderConcurrentOpens) {
    TScratch dir;
    { std::ofstream(dir / "f") << "x"; }
    std::atomic<int> readers{0}, writers{0}, violations{0}, granted{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 200; ++i) {
                const bool write = (i + t) % 3 == 0;
                try {
                    TnbFileStream s(dir / "f",
                                    write ? TnbFileMode::fmOpenWrite : TnbFileMode::fmOpenRead);
                    ++granted;
                    std::atomic<int>& mine = write ? writers : readers;
                    ++mine;
                    if (writers.load() > 1 || (writers.load() == 1 && readers.load() > 0)) {
                        ++violations;
                    }
                    --mine;
                } catch (const EnbFileError& e) {
                    if (e.ErrorCode != EBUSY)
                        ++violations;
                }
            }
        });
    }
    for (auto& th : threads)
        th.join();
    EXPECT_EQ(violations.load(), 0);
    EXPECT_GT(granted.load(), 0);
    // Nothing is held once every stream is gone.
    EXPECT_EQ(ErrorOf(dir / "f", TnbFileMode::fmCreate), 0);
}

// The stream keeps its own position: a descriptor the caller moved is taken where it stands,
// and every way in (read, collected write, pipe) lands at the position, not at the
// descriptor's offset.
TEST(FileStream, EveryTransferLandsAtTheStreamsPosition) {
    TScratch dir;
    {
        TnbFd fd(::open((dir / "p").c_str(), O_WRONLY | O_CREAT, 0644));
        ASSERT_GE(fd.Get(), 0);
        ASSERT_EQ(::write(fd.Get(), "0123456789", 10), 10);
        ASSERT_EQ(::lseek(fd.Get(), 4, SEEK_SET), 4);
        TnbFileStream w(std::move(fd), TnbFileMode::fmOpenWrite);
        EXPECT_EQ(w.GetPosition(), 4);
        w.WriteString("ab");  // collected
        EXPECT_EQ(w.GetPosition(), 6);
        int pipe[2];
        ASSERT_EQ(::pipe(pipe), 0);
        ASSERT_EQ(::write(pipe[1], "PQ", 2), 2);
        w.SetPosition(1);
        w.WriteFromPipe(pipe[0], 2);
        ::close(pipe[0]);
        ::close(pipe[1]);
        EXPECT_EQ(w.GetPosition(), 3);
        EXPECT_EQ(w.Seek(3, TnbSeekOrigin::soEnd), 13);
        w.WriteString("z");  // past the end: a hole of zeros, as with lseek
        EXPECT_THROW(w.Seek(-15, TnbSeekOrigin::soCurrent), EnbFileError);
        EXPECT_EQ(w.GetPosition(), 14) << "a refused seek leaves the position";
        w.Close();
    }
    EXPECT_EQ(Content(dir / "p"), std::string("0PQ3ab6789\0\0\0z", 14));
    TnbFileStream r(dir / "p", TnbFileMode::fmOpenRead);
    char buffer[4] = {};
    r.SetPosition(8);
    EXPECT_EQ(r.Read(buffer, 2), 2);
    EXPECT_EQ(std::string(buffer, 2), "89");
    EXPECT_EQ(r.GetPosition(), 10);
    EXPECT_EQ(r.Seek(-9, TnbSeekOrigin::soCurrent), 1);
    EXPECT_EQ(r.Read(buffer, 4), 4);
    EXPECT_EQ(std::string(buffer, 4), "PQ3a");
}

TEST(FileStream, CollectedWritesReachTheFileInOrder) {
    TScratch dir;
    std::string expected;
    {
        TnbFileStream w(dir / "batches", TnbFileMode::fmCreate);
        // Batches of every size, some larger than what is collected at once.
        for (std::size_t size : {1u, 8192u, 300000u, 7u, 70000u, 200000u, 3u}) {
            const std::string batch(size, static_cast<char>('a' + size % 26));
            w.Write(batch.data(), static_cast<std::int64_t>(batch.size()));
            expected += batch;
        }
        // Size, position and reads see what was written, collected or not.
        EXPECT_EQ(w.GetSize(), static_cast<std::int64_t>(expected.size()));
        w.WriteString("tail");
        expected += "tail";
        w.Close();
    }
    EXPECT_EQ(Content(dir / "batches"), expected);
    {
        // A writer dropped without Close still leaves everything it wrote in the file.
        TnbFileStream w(dir / "dropped", TnbFileMode::fmCreate);
        w.WriteString("kept");
    }
    EXPECT_EQ(Content(dir / "dropped"), "kept");
}

}  // namespace
}  // namespace nb
