// Whole files read and written as a user's command would: what ends up on
// disk (contents, modes, links left links, no temporary files) and which
// paths are refused, with the sentence saying why.

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "app/files.h"
#include "tests/support/temp_dir.h"

namespace sovra {
namespace {

const std::vector<std::uint8_t> kData = {'n', 'e', 'w', 0, 0xFF, '\n'};

// The fixture's helpers are public: the tables below prepare their paths
// through it.
class FilesTest : public ::testing::Test {
  public:
    void SetUp() override {
        // Traversable by the unprivileged child of the read-only case.
        ASSERT_EQ(::chmod(dir_.c_str(), 0755), 0);
    }
    void TearDown() override {
        if (readerFd_ >= 0) {
            ::close(readerFd_);
        }
        ::chmod(Path("ro").c_str(), 0755);
    }

    std::string Path(const std::string& name) const { return tmp_.File(name); }

    std::string Put(const std::string& name, const std::string& text, mode_t mode = 0644) {
        std::ofstream(Path(name), std::ios::binary) << text;
        ::chmod(Path(name).c_str(), mode);
        return Path(name);
    }

    static std::string Contents(const std::string& path) { return testing::ReadText(path); }

    // Every name in `folder`, hidden ones too.
    static std::set<std::string> Listing(const std::string& folder) {
        const std::vector<std::string> names = testing::FilesIn(folder);
        return {names.begin(), names.end()};
    }

    // A character device to write to: a null device node of our own where
    // one can be made and used, so that a writer that replaced device nodes
    // could never replace the system's /dev/null; the real one when we could
    // not replace it anyway (not root). Empty when neither holds.
    std::string NullDevice() {
        const std::string node = Path("null");
        if (::mknod(node.c_str(), S_IFCHR | 0666, ::makedev(1, 3)) == 0) {
            const int fd = ::open(node.c_str(), O_WRONLY);
            if (fd >= 0) {
                ::close(fd);
                return node;
            }
            ::unlink(node.c_str());  // a folder mounted nodev
        }
        return ::geteuid() == 0 ? std::string() : "/dev/null";
    }

    testing::TempDir tmp_{"sovra-files"};
    const std::string dir_ = tmp_.Path();
    int readerFd_ = -1;
};

std::string Text(const std::vector<std::uint8_t>& bytes) {
    return {bytes.begin(), bytes.end()};
}

bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// --- reading ---------------------------------------------------------------

struct ReadCase {
    const char* name;
    std::function<std::string(FilesTest&)> make;  // the path to read
    const char* says;                             // nullptr: read, "stored" expected
};

class ReadRegularFileTest : public FilesTest, public ::testing::WithParamInterface<ReadCase> {};

void PrintTo(const ReadCase& c, std::ostream* os) {
    *os << c.name;
}

TEST_P(ReadRegularFileTest, ReadsRegularFilesOnlyAndNamesWhatElseItFound) {
    const std::string path = GetParam().make(*this);
    std::vector<std::uint8_t> out = {1, 2, 3};
    const Error e = ReadRegularFile(path, 16, out);
    const bool ok = !e.Failed();
    const std::string& error = e.What();
    if (GetParam().says == nullptr) {
        ASSERT_TRUE(ok) << error;
        EXPECT_EQ(Text(out), "stored");
        return;
    }
    EXPECT_FALSE(ok);
    EXPECT_TRUE(out.empty());
    EXPECT_TRUE(Contains(error, "'" + path + "'")) << error;
    EXPECT_TRUE(Contains(error, GetParam().says)) << error;
}

INSTANTIATE_TEST_SUITE_P(
    Paths, ReadRegularFileTest,
    ::testing::Values(
        ReadCase{"RegularFile", [](auto& t) { return t.Put("f", "stored"); }, nullptr},
        ReadCase{"SymlinkToAFile",
                 [](auto& t) {
                     t.Put("f", "stored");
                     EXPECT_EQ(::symlink("f", t.Path("link").c_str()), 0);
                     return t.Path("link");
                 },
                 nullptr},
        ReadCase{"DanglingSymlink",
                 [](auto& t) {
                     EXPECT_EQ(::symlink("gone", t.Path("link").c_str()), 0);
                     return t.Path("link");
                 },
                 "No such file or directory"},
        ReadCase{"Missing", [](auto& t) { return t.Path("none"); }, "cannot open"},
        ReadCase{"DevNull", [](auto&) { return std::string("/dev/null"); },
                 "is a character device, not a regular file"},
        // Both must come back at once: opening a pipe for reading waits for
        // a writer, and reading one waits for data.
        ReadCase{"FifoWithoutWriter",
                 [](auto& t) {
                     EXPECT_EQ(::mkfifo(t.Path("pipe").c_str(), 0600), 0);
                     return t.Path("pipe");
                 },
                 "is a named pipe"},
        ReadCase{"FifoWithWriter",
                 [](auto& t) {
                     EXPECT_EQ(::mkfifo(t.Path("pipe").c_str(), 0600), 0);
                     t.readerFd_ = ::open(t.Path("pipe").c_str(), O_RDWR | O_NONBLOCK);
                     EXPECT_GE(t.readerFd_, 0);
                     return t.Path("pipe");
                 },
                 "is a named pipe"},
        ReadCase{"Folder", [](auto& t) { return t.Path(""); }, "is a folder"},
        ReadCase{"OneByteOverTheLimit", [](auto& t) { return t.Put("big", std::string(17, 'x')); },
                 "larger than 16 bytes"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(FilesTest, ReadsUpToTheLimitExactly) {
    const std::string path = Put("f", std::string(16, 'x'));
    std::vector<std::uint8_t> out;
    ASSERT_FALSE(ReadRegularFile(path, 16, out).Failed());
    EXPECT_EQ(out.size(), 16u);
    ASSERT_FALSE(ReadRegularFile(Put("empty", ""), 16, out).Failed());
    EXPECT_TRUE(out.empty());
}

// --- writing ---------------------------------------------------------------

struct WriteCase {
    const char* name;
    // Prepares the folder and returns the path to write.
    std::function<std::string(FilesTest&)> make;
    const char* says;  // nullptr: written
    // What must hold on disk afterwards.
    std::function<void(FilesTest&, const std::string&)> check;
};

class WriteFileTest : public FilesTest, public ::testing::WithParamInterface<WriteCase> {};

void PrintTo(const WriteCase& c, std::ostream* os) {
    *os << c.name;
}

mode_t ModeOf(const std::string& path, bool follow = true) {
    struct stat st {};
    EXPECT_EQ(follow ? ::stat(path.c_str(), &st) : ::lstat(path.c_str(), &st), 0) << path;
    return st.st_mode;
}

TEST_P(WriteFileTest, WritesWholeOrRefusesAndLeavesNoTemporaryFile) {
    const std::string path = GetParam().make(*this);
    if (path.empty()) {
        GTEST_SKIP() << "no device node of our own can be made here";
    }
    const auto before = Listing(dir_);
    const Error e = WriteFileAtomically(path, kData);
    const bool ok = !e.Failed();
    const std::string& error = e.What();
    if (GetParam().says == nullptr) {
        EXPECT_TRUE(ok) << error;
    } else {
        EXPECT_FALSE(ok);
        EXPECT_TRUE(Contains(error, GetParam().says)) << error;
        EXPECT_EQ(Listing(dir_), before);
    }
    for (const std::string& name : Listing(dir_)) {
        EXPECT_FALSE(name.starts_with(".sovra-")) << "left behind: " << name;
    }
    GetParam().check(*this, path);
}

const std::string kNew(kData.begin(), kData.end());

INSTANTIATE_TEST_SUITE_P(
    Paths, WriteFileTest,
    ::testing::Values(
        WriteCase{"NewFileGetsTheUsualMode", [](auto& t) { return t.Path("out"); }, nullptr,
                  [](auto& t, const std::string& p) {
                      EXPECT_EQ(t.Contents(p), kNew);
                      const mode_t mask = ::umask(0);
                      ::umask(mask);
                      EXPECT_EQ(ModeOf(p) & 0777, 0666 & ~mask);
                  }},
        // Root replacing a user's file leaves it the user's.
        WriteCase{"ReplacedFileKeepsItsModeAndOwner",
                  [](auto& t) {
                      const std::string p = t.Put("out", "old contents", 0640);
                      if (::geteuid() == 0) {
                          EXPECT_EQ(::chown(p.c_str(), 65534, 65534), 0);
                      }
                      return p;
                  },
                  nullptr,
                  [](auto& t, const std::string& p) {
                      EXPECT_EQ(t.Contents(p), kNew);
                      EXPECT_EQ(ModeOf(p) & 0777, 0640u);
                      struct stat st {};
                      ASSERT_EQ(::stat(p.c_str(), &st), 0);
                      EXPECT_EQ(st.st_uid, ::geteuid() == 0 ? 65534u : ::geteuid());
                  }},
        // Replaced by a new file, never rewritten in place: whoever still
        // holds the old one (a reader, a second name) keeps it whole.
        WriteCase{"OldContentsStayWithTheirOtherName",
                  [](auto& t) {
                      const std::string p = t.Put("out", "old contents");
                      EXPECT_EQ(::link(p.c_str(), t.Path("held").c_str()), 0);
                      return p;
                  },
                  nullptr,
                  [](auto& t, const std::string& p) {
                      EXPECT_EQ(t.Contents(p), kNew);
                      EXPECT_EQ(t.Contents(t.Path("held")), "old contents");
                  }},
        WriteCase{"SymlinkStaysALink",
                  [](auto& t) {
                      EXPECT_EQ(::mkdir(t.Path("sub").c_str(), 0755), 0);
                      t.Put("sub/target", "old", 0600);
                      EXPECT_EQ(::symlink("sub/target", t.Path("link").c_str()), 0);
                      return t.Path("link");
                  },
                  nullptr,
                  [](auto& t, const std::string& p) {
                      EXPECT_TRUE(S_ISLNK(ModeOf(p, false)));
                      EXPECT_EQ(t.Contents(t.Path("sub/target")), kNew);
                      EXPECT_EQ(ModeOf(t.Path("sub/target")) & 0777, 0600u);
                      EXPECT_EQ(FilesTest::Listing(t.Path("sub")), std::set<std::string>{"target"});
                  }},
        WriteCase{"DanglingSymlinkIsRefused",
                  [](auto& t) {
                      EXPECT_EQ(::symlink("gone", t.Path("link").c_str()), 0);
                      return t.Path("link");
                  },
                  "a symbolic link to a file that does not exist",
                  [](auto& t, const std::string&) {
                      EXPECT_NE(::access(t.Path("gone").c_str(), F_OK), 0);
                  }},
        WriteCase{"NullDeviceIsWrittenNotReplaced", [](auto& t) { return t.NullDevice(); }, nullptr,
                  [](auto&, const std::string& p) { EXPECT_TRUE(S_ISCHR(ModeOf(p, false))); }},
        WriteCase{"FifoWithAReaderGetsTheData",
                  [](auto& t) {
                      EXPECT_EQ(::mkfifo(t.Path("pipe").c_str(), 0600), 0);
                      t.readerFd_ = ::open(t.Path("pipe").c_str(), O_RDONLY | O_NONBLOCK);
                      return t.Path("pipe");
                  },
                  nullptr,
                  [](auto& t, const std::string& p) {
                      EXPECT_TRUE(S_ISFIFO(ModeOf(p, false)));
                      char got[64] = {};
                      EXPECT_EQ(::read(t.readerFd_, got, sizeof got),
                                static_cast<ssize_t>(kData.size()));
                      EXPECT_EQ(std::string(got, kData.size()), kNew);
                  }},
        // Refused at once rather than waiting for a reader forever.
        WriteCase{"FifoWithoutAReaderIsRefused",
                  [](auto& t) {
                      EXPECT_EQ(::mkfifo(t.Path("pipe").c_str(), 0600), 0);
                      return t.Path("pipe");
                  },
                  "nobody reads",
                  [](auto&, const std::string& p) { EXPECT_TRUE(S_ISFIFO(ModeOf(p, false))); }},
        WriteCase{"FolderIsRefused",
                  [](auto& t) {
                      EXPECT_EQ(::mkdir(t.Path("sub").c_str(), 0755), 0);
                      return t.Path("sub");
                  },
                  "is a folder",
                  [](auto&, const std::string& p) { EXPECT_TRUE(S_ISDIR(ModeOf(p))); }},
        WriteCase{"SlashAtTheEndIsRefused", [](auto& t) { return t.Path("new/"); }, "name a file",
                  [](auto&, const std::string&) {}},
        // The longest names a folder takes: a temporary name made by adding
        // to them would be too long.
        WriteCase{"Name250Bytes", [](auto& t) { return t.Path(std::string(250, 'n')); }, nullptr,
                  [](auto& t, const std::string& p) { EXPECT_EQ(t.Contents(p), kNew); }},
        WriteCase{"Name255BytesReplaced",
                  [](auto& t) { return t.Put(std::string(255, 'n'), "old"); }, nullptr,
                  [](auto& t, const std::string& p) { EXPECT_EQ(t.Contents(p), kNew); }},
        WriteCase{"MissingFolder", [](auto& t) { return t.Path("none/out"); },
                  "No such file or directory", [](auto&, const std::string&) {}}),
    [](const auto& info) { return std::string(info.param.name); });

// Runs `check` where folder permissions apply: as root, in a child process
// that has given root up.
bool Unprivileged(const std::function<bool()>& check) {
    if (::geteuid() != 0) {
        return check();
    }
    const pid_t pid = ::fork();
    if (pid == 0) {
        if (::setgid(65534) != 0 || ::setuid(65534) != 0) {
            ::_exit(2);
        }
        ::_exit(check() ? 0 : 1);
    }
    int status = 0;
    return pid > 0 && ::waitpid(pid, &status, 0) == pid && WIFEXITED(status) &&
           WEXITSTATUS(status) == 0;
}

TEST_F(FilesTest, ReadOnlyFolderIsRefusedBeforeAndWhenWriting) {
    ASSERT_EQ(::mkdir(Path("ro").c_str(), 0755), 0);
    Put("ro/old", "old");
    ASSERT_EQ(::chmod(Path("ro").c_str(), 0555), 0);
    const std::string fresh = Path("ro/new");
    const std::string old = Path("ro/old");
    EXPECT_TRUE(Unprivileged([&] {
        std::string name = fresh;
        const std::string e1 = CheckCanCreate(fresh).What();
        const std::string e3 = WriteNewFile(name, kData).What();
        return Contains(e1, "'" + fresh + "'") && Contains(e1, "Permission denied") &&
               WriteFileAtomically(fresh, kData).Failed() &&
               WriteFileAtomically(old, kData).Failed() && Contains(e3, "Permission denied");
    }));
    EXPECT_EQ(Listing(Path("ro")), std::set<std::string>{"old"});
    EXPECT_EQ(Contents(old), "old");
}

TEST_F(FilesTest, CheckCanCreateCreatesNothing) {
    Put("exists", "x");
    ASSERT_EQ(::mkdir(Path("sub").c_str(), 0755), 0);
    ASSERT_EQ(::mkfifo(Path("pipe").c_str(), 0600), 0);
    struct Case {
        std::string path;
        std::string says;  // empty: may be written
    };
    const Case cases[] = {
        {Path("new"), ""},
        {Path("exists"), ""},
        {Path("pipe"), ""},
        {"/dev/null", ""},
        {Path("none/new"), "the folder '" + Path("none") + "' does not exist"},
        {Path("sub"), "is a folder"},
        {Path("exists/new"), "Not a directory"},
    };
    const auto before = Listing(dir_);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        const Error e = CheckCanCreate(c.path);
        const std::string& error = e.What();
        EXPECT_EQ(!e.Failed(), c.says.empty()) << error;
        if (!c.says.empty()) {
            EXPECT_TRUE(Contains(error, c.says)) << error;
        }
    }
    EXPECT_EQ(Listing(dir_), before);
}

TEST_F(FilesTest, NewFileTakesTheFirstFreeName) {
    Put("b.bin", "first");
    Put("b-1.bin", "second");
    std::string path = Path("b.bin");
    ASSERT_FALSE(WriteNewFile(path, kData).Failed());
    EXPECT_EQ(path, Path("b-2.bin"));
    EXPECT_EQ(Contents(path), kNew);
    EXPECT_EQ(ModeOf(path) & 0777, 0600u);
    EXPECT_EQ(Contents(Path("b.bin")), "first");
    EXPECT_EQ(Listing(dir_), (std::set<std::string>{"b.bin", "b-1.bin", "b-2.bin"}));
}

TEST_F(FilesTest, SameFileFollowsLinksAndOutputClashesSaysWhichInput) {
    const std::string fw = Put("fw.bin", "x");
    const std::string other = Put("other.bin", "x");
    ASSERT_EQ(::symlink("fw.bin", Path("link.bin").c_str()), 0);
    const std::string link = Path("link.bin");

    EXPECT_TRUE(SameFile(link, fw));
    EXPECT_TRUE(SameFile(fw, fw));
    EXPECT_FALSE(SameFile(fw, other));
    EXPECT_FALSE(SameFile(Path("none"), Path("none")));

    EXPECT_EQ(
        OutputClashes(fw, {{other, "the read-back"}, {fw, "the firmware file"}}),
        "'" + fw + "' is the firmware file; writing it would destroy it. Choose another output.");
    EXPECT_EQ(OutputClashes(link, {{fw, "the firmware file"}}),
              "'" + link + "' is the same file as the firmware file '" + fw +
                  "'; writing it would destroy it. Choose another output.");
    EXPECT_EQ(OutputClashes(Path("new.bin"), {{fw, "the firmware file"}}), "");
    EXPECT_EQ(OutputClashes(fw, {{other, "the read-back"}}), "");
}

}  // namespace
}  // namespace sovra
