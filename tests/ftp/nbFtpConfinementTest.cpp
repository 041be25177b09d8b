// Resolution beneath a session's root (TnbConfinedRoot), which the file handler applies to every
// path: each case runs once through openat2 and once through the component walk.
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <string>

#include "util/nbConfinedRoot.h"

namespace nb {
namespace {

constexpr const char* kInside = "inside";
constexpr const char* kDir = "<dir>";

// <tmp>/outside/{secret.txt, dir/victim.txt}, <tmp>/root with files, a directory and links
// of every kind, <tmp>/via -> root (a root named through a link).
class Confinement : public ::testing::TestWithParam<bool> {
protected:
    static void SetUpTestSuite() {
        std::string pattern = ::testing::TempDir() + "nbconf-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        top_ = pattern;
        for (const char* dir : {"/outside", "/outside/dir", "/root", "/root/d1"})
            ASSERT_EQ(::mkdir((top_ + dir).c_str(), 0755), 0) << dir;
        std::ofstream(top_ + "/outside/secret.txt") << "secret";
        std::ofstream(top_ + "/outside/dir/victim.txt") << "victim";
        std::ofstream(top_ + "/root/a.txt") << kInside;
        std::ofstream(top_ + "/root/d1/b.txt") << "b";
        const std::pair<std::string, std::string> links[] = {
            {"rel_in", "a.txt"},
            {"abs_in", top_ + "/root/a.txt"},
            {"abs_via", top_ + "/via/a.txt"},
            {"root_abs", top_ + "/root"},
            {"dir_in", "d1"},
            {"d1/up", "../a.txt"},
            {"dang_in", "new_in.txt"},
            {"link_file", "../outside/secret.txt"},
            {"link_dir", "../outside/dir"},
            {"dang", "../outside/new.txt"},
            {"abs_out", top_ + "/outside/secret.txt"},
            {"abs_sneak", top_ + "/root/../outside/secret.txt"},
            {"sibling", top_ + "/root2/x"},
            {"d1/esc", "../../outside/secret.txt"},
            {"d1/back", "../d1/../.."},
            {"loop1", "loop2"},
            {"loop2", "loop1"},
            {"magic", "/proc/self/cwd"},
        };
        for (const auto& [name, target] : links)
            ASSERT_EQ(::symlink(target.c_str(), (top_ + "/root/" + name).c_str()), 0) << name;
        ASSERT_EQ(::symlink("root", (top_ + "/via").c_str()), 0);
    }
    static void TearDownTestSuite() {
        const std::string command = "rm -rf '" + top_ + "'";
        EXPECT_EQ(std::system(command.c_str()), 0);
    }
    void SetUp() override { TnbConfinedRoot::SetUseOpenat2(GetParam()); }
    void TearDown() override { TnbConfinedRoot::SetUseOpenat2(true); }

    // What opening relative for reading gives: the file's content, kDir, or the errno's text.
    static std::string OpenResult(const TnbConfinedRoot& root, const std::string& relative) {
        try {
            const TnbFd fd = root.Open(relative, O_RDONLY);
            struct stat st {};
            EXPECT_EQ(::fstat(fd.Get(), &st), 0);
            if (S_ISDIR(st.st_mode))
                return kDir;
            char buffer[64];
            const ssize_t n = ::read(fd.Get(), buffer, sizeof buffer);
            return n < 0 ? "read failed" : std::string(buffer, static_cast<std::size_t>(n));
        } catch (const EnbFileError& e) {
            return SystemErrorText(e.ErrorCode);
        }
    }

    static inline std::string top_;
};

TEST_P(Confinement, OpensOnlyWhatLiesBeneathTheRoot) {
    const std::string enoent = SystemErrorText(ENOENT);
    using namespace std::string_literals;
    const struct {
        std::string path;
        std::string expected;
    } cases[] = {
        {"", kDir},
        {"a.txt", kInside},
        {"d1/../a.txt", kInside},
        {"rel_in", kInside},
        {"abs_in", kInside},
        {"root_abs", kDir},
        {"root_abs/a.txt", kInside},
        {"dir_in/b.txt", "b"},
        {"d1/up", kInside},
        {"dir_in/up", kInside},
        {"missing", enoent},
        {"dang_in", enoent},
        {"a.txt/x", SystemErrorText(ENOTDIR)},
        {"loop1", SystemErrorText(ELOOP)},
        // Everything that leads outside is missing.
        {"..", enoent},
        {"d1/../..", enoent},
        {"../root/a.txt", enoent},
        {"link_file", enoent},
        {"link_dir", enoent},
        {"link_dir/victim.txt", enoent},
        {"dang", enoent},
        {"abs_out", enoent},
        {"abs_sneak", enoent},
        {"sibling", enoent},
        {"d1/esc", enoent},
        {"dir_in/esc", enoent},
        {"d1/back", enoent},
        {"d1/back/outside/secret.txt", enoent},
        {"magic", enoent},
        {"..\0x"s, enoent},  // the system would read ".."
        {"d1/..\0/.."s, enoent},
    };
    const TnbConfinedRoot root(top_ + "/root");
    for (const auto& c : cases)
        EXPECT_EQ(OpenResult(root, c.path), c.expected) << c.path.c_str();
    // Named through a link, the root holds the same; absolute targets may then name it by
    // either path. Only the root's own names count: another way to the same place does not.
    const TnbConfinedRoot via(top_ + "/via");
    for (const auto& c : cases)
        EXPECT_EQ(OpenResult(via, c.path), c.expected) << "via " << c.path;
    EXPECT_EQ(OpenResult(via, "abs_via"), kInside);
    EXPECT_EQ(OpenResult(root, "abs_via"), SystemErrorText(ENOENT));
}

TEST_P(Confinement, CreatesNothingThroughALinkThatLeadsOutside) {
    const TnbConfinedRoot root(top_ + "/root");
    EXPECT_THROW(root.Open("dang", O_WRONLY | O_CREAT, 0644), EnbFileError);
    EXPECT_THROW(root.Open("link_dir/new.txt", O_WRONLY | O_CREAT, 0644), EnbFileError);
    EXPECT_NE(::access((top_ + "/outside/new.txt").c_str(), F_OK), 0);
    EXPECT_NE(::access((top_ + "/outside/dir/new.txt").c_str(), F_OK), 0);
    // A dangling link inside creates its target inside.
    root.Open("dang_in", O_WRONLY | O_CREAT, 0644);
    EXPECT_EQ(::unlink((top_ + "/root/new_in.txt").c_str()), 0);
}

TEST_P(Confinement, ParentsAreFoundBeneathTheRoot) {
    const std::string enoent = SystemErrorText(ENOENT);
    const std::string eacces = SystemErrorText(EACCES);
    // path, follow a link in the last place, expected directory below the root (or error), name
    const struct {
        const char* path;
        bool followLast;
        std::string dir;
        std::string name;
    } cases[] = {
        {"a.txt", false, "", "a.txt"},
        {"link_file", false, "", "link_file"},  // the link itself, to remove or rename it
        {"dir_in/new", false, "d1", "new"},
        {"root_abs/new", false, "", "new"},
        {"rel_in", true, "", "a.txt"},
        {"dir_in/up", true, "", "a.txt"},
        {"dang_in", true, "", "new_in.txt"},
        {"new", true, "", "new"},
        {"link_dir/x", false, enoent, ""},
        {"d1/esc", true, enoent, ""},
        {"dang", true, enoent, ""},
        {"", false, eacces, ""},
        {"d1/..", false, eacces, ""},
        {"..", false, enoent, ""},
    };
    const TnbConfinedRoot root(top_ + "/root");
    for (const auto& c : cases) {
        try {
            const auto parent = root.OpenParent(c.path, c.followLast);
            struct stat got {}, want {};
            ASSERT_EQ(::fstat(parent.Dir.Get(), &got), 0);
            ASSERT_EQ(::stat((top_ + "/root/" + c.dir).c_str(), &want), 0) << c.path;
            EXPECT_EQ(got.st_ino, want.st_ino) << c.path;
            EXPECT_EQ(parent.Name, c.name) << c.path;
        } catch (const EnbFileError& e) {
            EXPECT_EQ(SystemErrorText(e.ErrorCode), c.dir) << c.path;
        }
    }
}

TEST_P(Confinement, TellsWhereAMovedLinkWouldLead) {
    const TnbConfinedRoot root(top_ + "/root");
    const struct {
        const char* place;
        std::string target;
        bool outside;
    } cases[] = {
        {"d1/lnk", "../a.txt", false},
        {"lnk", "../a.txt", true},  // a harmless link moved up
        {"d1/lnk", "../../outside/secret.txt", true},
        {"dir_in/lnk", "../a.txt", false},
        {"lnk", "missing/x", false},  // broken, but inside
        {"lnk", top_ + "/root/a.txt", false},
        {"lnk", top_ + "/outside/secret.txt", true},
        {"lnk", "link_dir", true},
    };
    for (const auto& c : cases)
        EXPECT_EQ(root.LeadsOutside(c.place, c.target), c.outside) << c.place << " " << c.target;
}

INSTANTIATE_TEST_SUITE_P(Openat2AndWalk, Confinement, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return info.param ? "Openat2" : "Walk";
                         });

TEST(ConfinementKernel, SupportsOpenat2) {
    // The fast way is the one production takes on this machine; the walk covers the rest.
    open_how how{};
    how.flags = O_PATH | O_CLOEXEC;
    how.resolve = RESOLVE_BENEATH;
    const TnbFd fd(static_cast<int>(::syscall(SYS_openat2, AT_FDCWD, ".", &how, sizeof how)));
    if (!fd && errno == ENOSYS)
        GTEST_SKIP() << "this kernel has no openat2; every resolution takes the walk";
    EXPECT_TRUE(fd) << SystemErrorText(errno);
}

}  // namespace
}  // namespace nb
