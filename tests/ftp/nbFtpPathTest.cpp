#include "ftp/nbFtpPath.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

namespace nb {
namespace {

std::string Cwd() {
    char buffer[4096];
    return ::getcwd(buffer, sizeof buffer) ? std::string(buffer) : std::string();
}

TEST(FtpPathRoot, IsMadeAbsoluteAndNormalOnce) {
    EXPECT_EQ(FtpNormalizeRoot("/srv/ftp/"), "/srv/ftp");
    EXPECT_EQ(FtpNormalizeRoot("/srv//ftp/./pub/.."), "/srv/ftp");
    EXPECT_EQ(FtpNormalizeRoot("/"), "/");
    EXPECT_EQ(FtpNormalizeRoot(""), Cwd());
    EXPECT_EQ(FtpNormalizeRoot("sub"), Cwd() == "/" ? "/sub" : Cwd() + "/sub");
    EXPECT_EQ(FtpNormalizeRoot("\\srv\\ftp\\"), "/srv/ftp");
}

TEST(FtpPathRoot, InsideMeansEqualOrBelowOnWholeSegments) {
    EXPECT_TRUE(FtpIsInsideRoot("/srv/ftp", "/srv/ftp"));
    EXPECT_TRUE(FtpIsInsideRoot("/srv/ftp", "/srv/ftp/a"));
    EXPECT_FALSE(FtpIsInsideRoot("/srv/ftp", "/srv/ftp2/a"));
    EXPECT_FALSE(FtpIsInsideRoot("/srv/ftp", "/srv/FTP/a"));
    EXPECT_FALSE(FtpIsInsideRoot("/srv/ftp", "/srv"));
    EXPECT_TRUE(FtpIsInsideRoot("/", "/etc/passwd"));
}

TEST(FtpPathResolve, FollowsTheCurrentDirectory) {
    EXPECT_EQ(FtpResolvePath("/srv/ftp", "/pub", "a.txt"), "/srv/ftp/pub/a.txt");
    EXPECT_EQ(FtpResolvePath("/srv/ftp", "/pub", "/a.txt"), "/srv/ftp/a.txt");
    EXPECT_EQ(FtpResolvePath("/srv/ftp", "/pub", ""), "/srv/ftp/pub");
    EXPECT_EQ(FtpResolvePath("/srv/ftp", "/", ""), "/srv/ftp");
    EXPECT_EQ(FtpResolvePath("/srv/ftp", "/pub", "docs/"), "/srv/ftp/pub/docs");
    EXPECT_EQ(FtpResolvePath("/srv/ftp", "/pub", "docs\\x.txt"), "/srv/ftp/pub/docs/x.txt");
    EXPECT_EQ(FtpResolvePath("/srv/ftp", "/pub", ".."), "/srv/ftp");
}

TEST(FtpPathResolve, NeverLeavesTheRoot) {
    const std::string root = "/srv/ftp";
    EXPECT_EQ(FtpResolvePath(root, "/pub", "../.."), root);
    EXPECT_EQ(FtpResolvePath(root, "/", "../../.."), root);
    EXPECT_EQ(FtpResolvePath(root, "/pub", "../../x/y.txt"), root + "/y.txt");
    // Siblings whose names begin like the root, in any case, stay outside.
    EXPECT_EQ(FtpResolvePath(root, "/", "../ftp2/secret"), root + "/secret");
    EXPECT_EQ(FtpResolvePath(root, "/", "../FTP/x"), root + "/x");
    EXPECT_EQ(FtpResolvePath(root, "/", "..\\..\\x"), root + "/x");
    // An absolute client path is a virtual path.
    EXPECT_EQ(FtpResolvePath(root, "/pub", "//etc/passwd"), root + "/etc/passwd");
    EXPECT_EQ(FtpResolvePath(root, "/", "\\etc\\passwd"), root + "/etc/passwd");
}

TEST(FtpPathResolve, WorksWithTheFileSystemRoot) {
    EXPECT_EQ(FtpResolvePath("/", "/", "../../etc/passwd"), "/etc/passwd");
    EXPECT_EQ(FtpResolvePath("/", "/tmp", ".."), "/");
    EXPECT_EQ(FtpResolvePath("/", "/", ""), "/");
    EXPECT_EQ(FtpVirtualPathOf("/", "/tmp/x"), "/tmp/x");
    EXPECT_EQ(FtpVirtualPathOf("/", "/"), "");
}

TEST(FtpPathVirtual, IsThePartAfterTheRoot) {
    EXPECT_EQ(FtpVirtualPathOf("/srv/ftp", "/srv/ftp/pub/docs"), "/pub/docs");
    EXPECT_EQ(FtpVirtualPathOf("/srv/ftp", "/srv/ftp"), "");
    EXPECT_EQ(FtpVirtualPathOf("/srv/ftp", "/srv/ftp2/x"), "");
    EXPECT_EQ(FtpToVirtualPath("\\pub\\docs\\"), "/pub/docs");
    EXPECT_EQ(FtpToLocalPath("/"), "");
    EXPECT_EQ(FtpFileNamePart("/srv/ftp/a.txt"), "a.txt");
}

}  // namespace
}  // namespace nb
