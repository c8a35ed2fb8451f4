// The state folder, the backups kept in it (never over an older one, never
// half), the update history (records appended line by line, damaged lines
// skipped and named), and SHA-256 digests against known vectors.

#include "update/state.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "app/sha256.h"
#include "flash/flash_command.h"

namespace sovra {
namespace {

constexpr const char* kTail = "/sovra-firmware-update";

TEST(StateFolderTest, FromStateHomeThenHomeAndNeverARelativePath) {
    struct Case {
        const char* name;
        const char* stateHome;
        const char* home;
        std::string expected;
    };
    const Case cases[] = {
        {"state home wins", "/s", "/h", std::string("/s") + kTail},
        {"no state home", "", "/h", std::string("/h/.local/state") + kTail},
        {"relative state home", "state", "/h", std::string("/h/.local/state") + kTail},
        {"relative home", "", "h", ""},
        {"neither", "", "", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(StateFolder(c.stateHome, c.home), c.expected);
    }
}

// Without usable variables the home folder comes from the password database;
// the backups and the history share the one state folder.
TEST(StateFolderTest, TheEnvironmentThenThePasswordDatabase) {
    const auto saved = [](const char* name) -> std::optional<std::string> {
        const char* v = std::getenv(name);
        return v != nullptr ? std::optional<std::string>(v) : std::nullopt;
    };
    const auto state = saved("XDG_STATE_HOME");
    const auto home = saved("HOME");
    ::setenv("XDG_STATE_HOME", "/s", 1);
    EXPECT_EQ(DefaultBackupFolder(), std::string("/s") + kTail + "/backups");
    EXPECT_EQ(DefaultHistoryPath(), std::string("/s") + kTail + "/history.jsonl");
    ::unsetenv("XDG_STATE_HOME");
    ::setenv("HOME", "relative", 1);
    const std::string fallback = DefaultBackupFolder();
    EXPECT_EQ(fallback.front(), '/');
    EXPECT_TRUE(fallback.ends_with(std::string("/.local/state") + kTail + "/backups")) << fallback;
    for (const auto& [name, value] : {std::pair{"XDG_STATE_HOME", state}, {"HOME", home}}) {
        if (value) {
            ::setenv(name, value->c_str(), 1);
        } else {
            ::unsetenv(name);
        }
    }
}

class StateFilesTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char name[] = "/tmp/sovra-state-test-XXXXXX";
        ASSERT_NE(::mkdtemp(name), nullptr);
        dir_ = name;
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    static std::vector<std::uint8_t> Read(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }

    std::string dir_;
};

// Two backups of the same device in the same second: the second takes the
// next free name, and the first is left as it was.
TEST_F(StateFilesTest, ASecondBackupOfTheSameNameNeverReplacesTheFirst) {
    const DeviceEntry device{0xabc, 0x10, 0x102, "/dev/bus/usb/001/002"};
    const auto when = std::chrono::system_clock::time_point(std::chrono::seconds(1796679860));
    const std::string folder = dir_ + "/a/backups";
    const std::vector<std::uint8_t> first(FlashSize, 0x11);
    const std::vector<std::uint8_t> second(FlashSize, 0x22);
    const BackupPolicy policy = BackupPolicy::Folder(folder);
    std::string path1;
    std::string path2;
    ASSERT_FALSE(WriteBackup(policy, device, when, first, path1).Failed());
    ASSERT_FALSE(WriteBackup(policy, device, when, second, path2).Failed());
    EXPECT_EQ(path1, folder + "/0abc-0010-bus001-dev002-20261207T214420Z.bin");
    EXPECT_EQ(path2, folder + "/0abc-0010-bus001-dev002-20261207T214420Z-1.bin");
    EXPECT_EQ(Read(path1), first);
    EXPECT_EQ(Read(path2), second);
    struct stat st {};
    ASSERT_EQ(::stat(folder.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    // Nothing else: no temporary file left behind.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder),
                            std::filesystem::directory_iterator()),
              2);
    // A named file that exists is refused before anything is read.
    const Error taken = CheckBackupPlace(BackupPolicy::File(path1));
    EXPECT_EQ(taken.Code(), E_BACKUP_FAILED);
    EXPECT_NE(taken.What().find("already exists, and a backup never replaces a file"),
              std::string::npos);
}

// Checked before the read and again when writing, with the same clause: no
// capital, no full stop (the edge makes the sentence).
TEST_F(StateFilesTest, AFolderThatCannotBeHadIsRefusedWithItsReason) {
    const DeviceEntry device{0xabc, 0x10, 0x102, "/dev/bus/usb/001/002"};
    std::ofstream(dir_ + "/file") << "x";
    struct Case {
        std::string folder;
        const char* written;
        const char* checked;
    };
    const Case cases[] = {
        {"", "no folder for backups", "there is no folder for backups"},
        {dir_ + "/file", "is not a folder", "is not a folder"},
        {dir_ + "/file/backups", "cannot create the folder", "cannot create the folder"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.folder);
        std::string path = "stale";
        const Error written =
            WriteBackup(BackupPolicy::Folder(c.folder), device, std::chrono::system_clock::now(),
                        std::vector<std::uint8_t>(16), path);
        const Error checked = CheckBackupPlace(BackupPolicy::Folder(c.folder));
        EXPECT_TRUE(path.empty());
        for (const auto& [e, says] : {std::pair{&written, c.written}, {&checked, c.checked}}) {
            EXPECT_EQ(e->Code(), E_BACKUP_FAILED);
            EXPECT_NE(e->What().find(says), std::string::npos) << e->What();
            EXPECT_NE(e->What().back(), '.') << e->What();
        }
    }
}

TEST(Sha256Test, KnownDigestsAndTheirText) {
    const std::string abc = "abc";
    EXPECT_EQ(Sha256Hex(Sha256({reinterpret_cast<const std::uint8_t*>(abc.data()), abc.size()})),
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(Sha256Hex(Sha256({})),
              "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    const auto parsed =
        ParseSha256("BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD");
    ASSERT_TRUE(parsed.has_value());
    EXPECT_EQ((*parsed)[0], 0xBA);
    EXPECT_EQ((*parsed)[31], 0xAD);
    for (const char* bad :
         {"", "ba78", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015a",
          "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015adx",
          "za7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"}) {
        EXPECT_FALSE(ParseSha256(bad).has_value()) << bad;
    }
}

HistoryRecord Record(std::string device, std::string result) {
    HistoryRecord r;
    r.time = "2026-12-08T10:15:02Z";
    r.program = "sovra-flash";
    r.operation = "update";
    r.devicePath = std::move(device);
    r.vendorId = 0xabc;
    r.productId = 0x10;
    r.revision = 0x102;
    r.firmwarePath = "fw.img";
    r.firmwareSize = 4408;
    r.firmwareSha256 = std::string(64, 'a');
    r.result = result;
    r.status = "0x00000000";
    r.deviceState = result;
    r.backup = "/tmp/b.bin";
    return r;
}

Error ReadAll(const std::string& path, std::vector<HistoryRecord>& records,
              std::vector<std::size_t>& skipped) {
    records.clear();
    skipped.clear();
    return ReadHistory(
        path, [&](HistoryRecord&& r) { records.push_back(std::move(r)); },
        [&](const SkippedLine& s) { skipped.push_back(s.line); });
}

TEST_F(StateFilesTest, RecordsComeBackInOrderAndDamagedLinesAreSkipped) {
    const std::string path = dir_ + "/state/history.jsonl";
    ASSERT_FALSE(AppendHistory(path, Record("/dev/bus/usb/001/002", "updated")).Failed());
    {
        // What a crash, a foreign writer or an older program could leave.
        std::ofstream f(path, std::ios::app);
        // A program from before signed catalogues wrote no signing key.
        nlohmann::json older = HistoryJson(Record("/dev/bus/usb/001/004", "updated"));
        older.erase("signing_key");
        f << older.dump() << '\n';
        f << "not json at all\n"
          << "{\"time\": \"x\"}\n"
          << "[1, 2, 3]\n"
          << "\n";
        // Written before units were named: still read, the unit unknown.
        nlohmann::json old = HistoryJson(Record("/dev/bus/usb/001/009", "updated"));
        old.erase("unit");
        old.erase("serial");
        f << old.dump() << "\n";
        old["unit"] = 5;
        f << old.dump() << "\n";
    }
    HistoryRecord failed = Record("/dev/bus/usb/001/003", "failed");
    failed.message = "writing failed at address 0x00080";
    failed.backup.clear();
    failed.unit = "0123456789abcdef";
    failed.serial = "SN\x1b-7";
    failed.signingKey = std::string(40, 'F');
    ASSERT_FALSE(AppendHistory(path, failed).Failed());
    {
        std::ofstream f(path, std::ios::app);
        f << R"({"time": "cut short)";  // no newline: a write cut short
    }
    // The next record stands on a line of its own, not after the torn one.
    ASSERT_FALSE(AppendHistory(path, Record("/dev/bus/usb/001/009", "updated")).Failed());

    std::vector<HistoryRecord> records;
    std::vector<std::size_t> skipped;
    ASSERT_FALSE(ReadAll(path, records, skipped).Failed());
    ASSERT_EQ(records.size(), 5u);
    EXPECT_EQ(records[0], Record("/dev/bus/usb/001/002", "updated"));
    EXPECT_EQ(records[1], Record("/dev/bus/usb/001/004", "updated"));
    EXPECT_EQ(records[2], Record("/dev/bus/usb/001/009", "updated"));
    EXPECT_EQ(records[3], failed);
    EXPECT_EQ(records[4], Record("/dev/bus/usb/001/009", "updated"));
    EXPECT_EQ(skipped, (std::vector<std::size_t>{3, 4, 5, 8, 10}));

    // Absent: an empty history, not an error.
    EXPECT_FALSE(ReadAll(dir_ + "/none.jsonl", records, skipped).Failed());
    EXPECT_TRUE(records.empty());
}

// Whatever sits in the history's place, a record is refused at once: a named
// pipe (with or without a link to it) would otherwise hold the program
// forever after the device was written.
TEST_F(StateFilesTest, OnlyARegularFileIsWrittenAndNothingIsWaitedOn) {
    ASSERT_EQ(::mkfifo((dir_ + "/fifo").c_str(), 0600), 0);
    ASSERT_EQ(::symlink((dir_ + "/fifo").c_str(), (dir_ + "/link").c_str()), 0);
    ASSERT_EQ(::mkdir((dir_ + "/folder").c_str(), 0700), 0);
    for (const char* name : {"fifo", "link", "folder"}) {
        const Error e = AppendHistory(dir_ + "/" + name, Record("/dev/bus/usb/001/002", "updated"));
        EXPECT_TRUE(e.Failed()) << name;
        EXPECT_NE(e.What().find(name), std::string::npos) << e.What();
        std::vector<HistoryRecord> records;
        std::vector<std::size_t> skipped;
        EXPECT_TRUE(ReadAll(dir_ + "/" + name, records, skipped).Failed()) << name;
    }
}

}  // namespace
}  // namespace sovra
