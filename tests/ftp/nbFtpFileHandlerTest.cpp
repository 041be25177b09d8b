#include "ftp/nbFtpFileHandler.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <vector>

#include "ftp/nbFtpServer.h"
#include "util/nbFileStream.h"

namespace nb {
namespace {

// A scratch directory removed with everything in it at the end of a test.
class TTempDir {
public:
    TTempDir() {
        std::string pattern = ::testing::TempDir() + "nbfh-XXXXXX";
        if (::mkdtemp(pattern.data()) == nullptr)
            throw std::runtime_error("mkdtemp failed");
        path_ = pattern;
    }
    ~TTempDir() {
        const std::string command = "rm -rf '" + path_ + "'";
        if (std::system(command.c_str()) != 0)
            ADD_FAILURE() << "cannot remove " << path_;
    }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }
    const std::string& Path() const { return path_; }

private:
    std::string path_;
};

void WriteFile(const std::string& path, const std::string& content) {
    std::ofstream(path, std::ios::binary) << content;
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

bool Exists(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

std::size_t EntryCount(const std::string& dir) {
    std::size_t n = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        (void)entry;
        ++n;
    }
    return n;
}

// One call's outcome.
struct TResult {
    bool Success = true;
    std::string Message;
};

class FileHandler : public ::testing::Test {
protected:
    TResult CreateDir(const std::string& name) {
        TResult r;
        handler_.OnCreateDir(nullptr, nullptr, name, r.Success, r.Message);
        return r;
    }
    TResult Delete(const std::string& name) {
        TResult r;
        handler_.OnDelete(nullptr, nullptr, name, r.Success, r.Message);
        return r;
    }
    TResult Rename(const std::string& from, const std::string& to) {
        TResult r;
        handler_.OnRename(nullptr, nullptr, from, to, r.Success, r.Message);
        return r;
    }
    TResult Put(const std::string& name, bool overwrite, std::unique_ptr<TnbStream>& stream,
                bool unique = false) {
        TResult r;
        if (unique) {
            handler_.OnPutUniqueFile(nullptr, nullptr, name, stream, r.Success, r.Message);
        } else {
            handler_.OnPutFile(nullptr, nullptr, name, overwrite, stream, r.Success, r.Message);
        }
        EXPECT_EQ(r.Success, stream != nullptr);
        return r;
    }
    TResult Get(const std::string& name, std::unique_ptr<TnbStream>& stream) {
        TResult r;
        handler_.OnGetFile(nullptr, nullptr, name, stream, r.Success, r.Message);
        EXPECT_EQ(r.Success, stream != nullptr);
        return r;
    }
    TResult List(const std::string& path, const std::string& mask, bool hidden,
                 std::vector<std::string>& names, TnbFtpFileInfoList* keep = nullptr) {
        TResult r;
        TnbFtpFileInfoList list;
        handler_.OnGetFileList(nullptr, nullptr, path, mask, hidden, list, r.Success, r.Message);
        names.clear();
        for (std::size_t i = 0; i < list.Count(); ++i)
            names.push_back(list[i].FileName);
        if (keep)
            *keep = std::move(list);
        return r;
    }

    TnbFtpFileHandler handler_;
    TTempDir dir_;
};

using TNames = std::vector<std::string>;

TEST_F(FileHandler, CreatesOneDirectoryAndReportsTheSystemText) {
    EXPECT_TRUE(CreateDir(dir_ / "new").Success);
    EXPECT_TRUE(Exists(dir_ / "new"));

    const TResult nested = CreateDir(dir_ / "a/b");
    EXPECT_FALSE(nested.Success);
    EXPECT_EQ(nested.Message, "No such file or directory");

    const TResult again = CreateDir(dir_ / "new");
    EXPECT_FALSE(again.Success);
    EXPECT_EQ(again.Message, "File exists");
}

TEST_F(FileHandler, DeletesFilesAndEmptyDirectoriesButNeverRecursively) {
    WriteFile(dir_ / "f", "x");
    ASSERT_EQ(::mkdir((dir_ / "empty").c_str(), 0777), 0);
    ASSERT_EQ(::mkdir((dir_ / "full").c_str(), 0777), 0);
    WriteFile(dir_ / "full/keep", "x");
    ASSERT_EQ(::symlink((dir_ / "full").c_str(), (dir_ / "link").c_str()), 0);

    EXPECT_TRUE(Delete(dir_ / "f").Success);
    EXPECT_FALSE(Exists(dir_ / "f"));
    EXPECT_TRUE(Delete(dir_ / "empty").Success);
    EXPECT_FALSE(Exists(dir_ / "empty"));

    const TResult full = Delete(dir_ / "full");
    EXPECT_FALSE(full.Success);
    EXPECT_EQ(full.Message, "Directory not empty");
    EXPECT_TRUE(Exists(dir_ / "full/keep"));

    // A link to a directory is removed itself; its target stays whole.
    EXPECT_TRUE(Delete(dir_ / "link").Success);
    EXPECT_FALSE(Exists(dir_ / "link"));
    EXPECT_TRUE(Exists(dir_ / "full/keep"));

    const TResult missing = Delete(dir_ / "nothing");
    EXPECT_FALSE(missing.Success);
    EXPECT_EQ(missing.Message, "No such file or directory");
}

TEST_F(FileHandler, RenameNeverReplacesAnExistingTarget) {
    WriteFile(dir_ / "a", "first");
    WriteFile(dir_ / "b", "second");
    const TResult clash = Rename(dir_ / "a", dir_ / "b");
    EXPECT_FALSE(clash.Success);
    EXPECT_EQ(clash.Message, "File exists");
    EXPECT_EQ(ReadFile(dir_ / "a"), "first");
    EXPECT_EQ(ReadFile(dir_ / "b"), "second");

    ASSERT_EQ(::mkdir((dir_ / "sub").c_str(), 0777), 0);
    EXPECT_TRUE(Rename(dir_ / "a", dir_ / "sub/moved").Success);
    EXPECT_EQ(ReadFile(dir_ / "sub/moved"), "first");
    EXPECT_FALSE(Exists(dir_ / "a"));

    const TResult missing = Rename(dir_ / "a", dir_ / "c");
    EXPECT_FALSE(missing.Success);
    EXPECT_EQ(missing.Message, "No such file or directory");
}

TEST_F(FileHandler, ListsSortedRegularFilesAndDirectoriesOnly) {
    WriteFile(dir_ / "b.log", "12345");
    WriteFile(dir_ / "a.txt", "1");
    WriteFile(dir_ / "A.TXT", "1");
    WriteFile(dir_ / ".hidden", "");
    WriteFile(dir_ / "bad\nname", "");
    WriteFile(dir_ / "bad\rname", "");
    ASSERT_EQ(::mkdir((dir_ / "sub").c_str(), 0777), 0);
    ASSERT_EQ(::symlink("a.txt", (dir_ / "link").c_str()), 0);
    ASSERT_EQ(::symlink("gone", (dir_ / "broken").c_str()), 0);
    ASSERT_EQ(::mkfifo((dir_ / "fifo").c_str(), 0666), 0);

    TNames names;
    EXPECT_TRUE(List(dir_.Path(), "*", false, names).Success);
    EXPECT_EQ(names, (TNames{"A.TXT", "a.txt", "b.log", "link", "sub"}));
    EXPECT_TRUE(List(dir_.Path(), "*", true, names).Success);
    EXPECT_EQ(names, (TNames{".hidden", "A.TXT", "a.txt", "b.log", "link", "sub"}));

    // Masks: "*.*" is "*", "?" is one character, case counts, everything else is literal.
    List(dir_.Path(), "*.*", false, names);
    EXPECT_EQ(names, (TNames{"A.TXT", "a.txt", "b.log", "link", "sub"}));
    List(dir_.Path(), "*.txt", false, names);
    EXPECT_EQ(names, (TNames{"a.txt"}));
    List(dir_.Path(), "?.???", false, names);
    EXPECT_EQ(names, (TNames{"A.TXT", "a.txt", "b.log"}));
    List(dir_.Path(), "[ab]*", false, names);
    EXPECT_TRUE(names.empty());

    // An exact name is found even when hidden, but never a CR/LF name.
    List(dir_.Path(), ".hidden", false, names);
    EXPECT_EQ(names, (TNames{".hidden"}));
    List(dir_.Path(), "bad\nname", true, names);
    EXPECT_TRUE(names.empty());
}

TEST_F(FileHandler, MissingDirectoryFailsWhileAnEmptyMatchSucceeds) {
    WriteFile(dir_ / "a.txt", "1");
    TNames names;
    const TResult missing = List(dir_ / "nope", "*", false, names);
    EXPECT_FALSE(missing.Success);
    EXPECT_EQ(missing.Message, "No such file or directory");
    EXPECT_TRUE(names.empty());

    const TResult none = List(dir_.Path(), "*.zip", false, names);
    EXPECT_TRUE(none.Success);
    EXPECT_TRUE(names.empty());

    // A path that names a file lists that file, whatever the mask.
    EXPECT_TRUE(List(dir_ / "a.txt", "*", false, names).Success);
    EXPECT_EQ(names, (TNames{"a.txt"}));
}

TEST_F(FileHandler, ExactLookupFindsTheEntryItself) {
    WriteFile(dir_ / ".htaccess", "deny");
    ASSERT_EQ(::mkdir((dir_ / ".well-known").c_str(), 0777), 0);
    ASSERT_EQ(::mkdir((dir_ / "p*").c_str(), 0777), 0);
    ASSERT_EQ(::mkdir((dir_ / "pub").c_str(), 0777), 0);

    TNames names;
    TnbFtpFileInfoList list;
    EXPECT_TRUE(List(dir_ / ".htaccess", "", false, names, &list).Success);
    ASSERT_EQ(names, (TNames{".htaccess"}));
    EXPECT_EQ(list[0].Size, 4);
    EXPECT_TRUE(list[0].IsHidden);
    EXPECT_TRUE(List(dir_ / ".well-known", "", false, names, &list).Success);
    ASSERT_EQ(names, (TNames{".well-known"}));
    EXPECT_TRUE(list[0].IsDirectory);
    // A name with a wildcard character is only itself.
    EXPECT_TRUE(List(dir_ / "p*", "", false, names).Success);
    EXPECT_EQ(names, (TNames{"p*"}));
    // The root itself, also written with a trailing slash.
    EXPECT_TRUE(List(dir_.Path() + "/", "", false, names).Success);
    EXPECT_EQ(names.size(), 1u);
    EXPECT_TRUE(List("/", "", false, names).Success);
    EXPECT_EQ(names, (TNames{"/"}));

    const TResult missing = List(dir_ / "missing", "", false, names);
    EXPECT_FALSE(missing.Success);
    EXPECT_EQ(missing.Message, "No such file or directory");
    ASSERT_EQ(::mkfifo((dir_ / "fifo").c_str(), 0666), 0);
    EXPECT_FALSE(List(dir_ / "fifo", "", false, names).Success);
}

TEST_F(FileHandler, EntriesCarrySizesTimesAndReadOnly) {
    WriteFile(dir_ / "ro", "abc");
    ASSERT_EQ(::chmod((dir_ / "ro").c_str(), 0444), 0);
    ASSERT_EQ(::mkdir((dir_ / "sub").c_str(), 0777), 0);
    const int fd = ::open((dir_ / "huge").c_str(), O_CREAT | O_WRONLY, 0644);
    ASSERT_GE(fd, 0);
    const off_t huge = off_t{5} << 30;
    const bool sparse = ::ftruncate(fd, huge) == 0;
    ::close(fd);
    const timespec times[2] = {{1706743800, 0}, {1706743800, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, (dir_ / "ro").c_str(), times, 0), 0);

    TNames names;
    TnbFtpFileInfoList list;
    ASSERT_TRUE(List(dir_.Path(), "*", false, names, &list).Success);
    ASSERT_EQ(names, (TNames{"huge", "ro", "sub"}));
    if (sparse) {
        EXPECT_EQ(list[0].Size, 5368709120);
    }
    EXPECT_FALSE(list[0].IsReadOnly);
    EXPECT_EQ(list[1].Size, 3);
    EXPECT_TRUE(list[1].IsReadOnly);
    EXPECT_EQ(list[1].ModifiedTime, 1706743800);
    EXPECT_EQ(list[1].ModifiedDate, TnbDateTime::FromLocalTime(1706743800));
    EXPECT_EQ(list[1].ModifiedDateUtc(), (TnbDateTime{2024, 1, 31, 23, 30, 0}));
    EXPECT_TRUE(list[2].IsDirectory);
    EXPECT_EQ(list[2].Size, 0);

    if (!sparse)
        GTEST_SKIP() << "no sparse files here";
    std::unique_ptr<TnbStream> s;
    ASSERT_TRUE(Get(dir_ / "huge", s).Success);
    EXPECT_EQ(s->GetSize(), 5368709120);
    EXPECT_EQ(s->Seek(-1, TnbSeekOrigin::soEnd), 5368709119);
}

TEST_F(FileHandler, PutFileModes) {
    std::unique_ptr<TnbStream> s;
    // Appending to a missing file creates it.
    ASSERT_TRUE(Put(dir_ / "log", false, s).Success);
    s->Seek(0, TnbSeekOrigin::soEnd);
    s->WriteString("one");
    s.reset();
    ASSERT_TRUE(Put(dir_ / "log", false, s).Success);
    EXPECT_EQ(s->GetSize(), 3);  // not emptied
    s->Seek(0, TnbSeekOrigin::soEnd);
    s->WriteString("two");
    s.reset();
    EXPECT_EQ(ReadFile(dir_ / "log"), "onetwo");

    // Overwriting replaces the file only at a successful Close; a stream dropped before (a
    // failed or aborted upload) leaves the old content and no file of its own behind.
    ASSERT_TRUE(Put(dir_ / "log", true, s).Success);
    s->WriteString("lost");
    s.reset();
    EXPECT_EQ(ReadFile(dir_ / "log"), "onetwo");
    ASSERT_TRUE(Put(dir_ / "log", true, s).Success);
    s->WriteString("new");
    EXPECT_EQ(ReadFile(dir_ / "log"), "onetwo");
    static_cast<TnbFileStream&>(*s).Close();
    s.reset();
    EXPECT_EQ(ReadFile(dir_ / "log"), "new");
    EXPECT_EQ(EntryCount(dir_.Path()), 1u);

    const TResult unique = Put(dir_ / "log", true, s, true);
    EXPECT_FALSE(unique.Success);
    EXPECT_EQ(unique.Message, "File exists");
    EXPECT_TRUE(Put(dir_ / "fresh", true, s, true).Success);
    s.reset();

    ASSERT_EQ(::mkdir((dir_ / "sub").c_str(), 0777), 0);
    const TResult onDir = Put(dir_ / "sub", true, s);
    EXPECT_FALSE(onDir.Success);
    EXPECT_EQ(onDir.Message, "Is a directory");
    const TResult noParent = Put(dir_ / "x/y", true, s);
    EXPECT_EQ(noParent.Message, "No such file or directory");
}

TEST_F(FileHandler, GetFileRefusesAnythingButRegularFilesWithoutBlocking) {
    std::unique_ptr<TnbStream> s;
    ASSERT_EQ(::mkdir((dir_ / "sub").c_str(), 0777), 0);
    const TResult onDir = Get(dir_ / "sub", s);
    EXPECT_FALSE(onDir.Success);
    EXPECT_EQ(onDir.Message, "Is a directory");

    // Nobody writes to this FIFO: a blocking open would never return.
    ASSERT_EQ(::mkfifo((dir_ / "fifo").c_str(), 0666), 0);
    const TResult onFifo = Get(dir_ / "fifo", s);
    EXPECT_FALSE(onFifo.Success);
    EXPECT_EQ(onFifo.Message, "Operation not permitted");
    const TResult putFifo = Put(dir_ / "fifo", false, s);
    EXPECT_FALSE(putFifo.Success);

    const TResult missing = Get(dir_ / "none", s);
    EXPECT_EQ(missing.Message, "No such file or directory");
}

TEST_F(FileHandler, DownloadsShareAFileAndUploadsHoldItAlone) {
    WriteFile(dir_ / "data", "precious");
    ASSERT_EQ(::link((dir_ / "data").c_str(), (dir_ / "alias").c_str()), 0);

    std::unique_ptr<TnbStream> read1, read2, write;
    ASSERT_TRUE(Get(dir_ / "data", read1).Success);
    ASSERT_TRUE(Get(dir_ / "alias", read2).Success);

    // Writing in place waits for the readers; the same file under another name is still the
    // same file.
    EXPECT_EQ(Put(dir_ / "alias", false, write).Message, "Device or resource busy");
    // A replacing upload writes a new file: the readers keep the old content.
    ASSERT_TRUE(Put(dir_ / "alias", true, write).Success);
    write->WriteString("fresh");
    static_cast<TnbFileStream&>(*write).Close();
    write.reset();
    EXPECT_EQ(ReadFile(dir_ / "alias"), "fresh");
    EXPECT_EQ(ReadFile(dir_ / "data"), "precious");
    char buffer[16] = {};
    EXPECT_EQ(read2->Read(buffer, sizeof buffer), 8);
    EXPECT_EQ(std::string(buffer, 8), "precious");

    read1.reset();
    EXPECT_FALSE(Put(dir_ / "data", false, write).Success);  // read2 holds it still
    read2.reset();
    ASSERT_TRUE(Put(dir_ / "data", false, write).Success);
    std::unique_ptr<TnbStream> other;
    EXPECT_EQ(Get(dir_ / "data", other).Message, "Device or resource busy");
    write.reset();
    EXPECT_TRUE(Get(dir_ / "data", other).Success);
}

bool HooksAll(const TnbFtpServer& s) {
    return s.OnCreateDir && s.OnDelete && s.OnRename && s.OnPutFile && s.OnPutUniqueFile &&
           s.OnGetFile && s.OnGetFileList;
}

bool HooksNone(const TnbFtpServer& s) {
    return !s.OnCreateDir && !s.OnDelete && !s.OnRename && !s.OnPutFile && !s.OnPutUniqueFile &&
           !s.OnGetFile && !s.OnGetFileList;
}

TEST(FileHandlerLink, HooksSixEventsAndUnhooksWhenReplacedOrDestroyed) {
    TnbFtpServer first, second;
    bool appFullPath = false;
    first.OnGetFullPath = [&](TnbFtpServer&, TnbFtpCommandConnection&, const std::string&,
                              const std::string&, const std::string&, std::string&,
                              bool&) { appFullPath = true; };
    {
        TnbFtpFileHandler handler;
        handler.SetServer(&first);
        EXPECT_EQ(handler.Server(), &first);
        EXPECT_TRUE(HooksAll(first));
        EXPECT_TRUE(first.OnGetFullPath);  // the application's events stay

        handler.SetServer(&second);
        EXPECT_TRUE(HooksNone(first));
        EXPECT_TRUE(HooksAll(second));
        handler.SetServer(&second);  // the same server again changes nothing
        EXPECT_TRUE(HooksAll(second));
    }
    EXPECT_TRUE(HooksNone(second));
    EXPECT_TRUE(first.OnGetFullPath);
    EXPECT_FALSE(appFullPath);
}

TEST(FileMask, WildcardRules) {
    struct TCase {
        const char* Name;
        const char* Mask;
        bool Match;
    };
    const TCase cases[] = {
        {"", "*", true},
        {"abc", "*", true},
        {"abc", "a*", true},
        {"abc", "*c", true},
        {"abc", "a*c", true},
        {"abc", "a?c", true},
        {"ac", "a?c", false},
        {"abc", "ABC", false},
        {"a.b.c", "*.c", true},
        {"noext", "*.*", true},
        {"noext", "*.", false},
        {"a[1]", "a[1]", true},
        {"ab", "a[b]", false},
        {"x", "x**", true},
        {"abab", "*ab", true},
        {"\xc3\xa9.txt", "?.txt", true},
        {"\xc3\xa9.txt", "??.txt", false},
        {"mississippi", "m*iss*ppi", true},
        {"mississippi", "m*iss*ppx", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(MatchesFileMask(c.Name, c.Mask), c.Match) << c.Name << " / " << c.Mask;
    }

    // SECURITY: a hostile mask against a long name stays quick (no exponential backtracking).
    const std::string name(4000, 'a');
    std::string mask;
    for (int i = 0; i < 500; ++i)
        mask += "*a";
    mask += "*b";
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(MatchesFileMask(name, mask));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

}  // namespace
}  // namespace nb
