// The update history as a file: records appended line by line, damaged
// lines skipped and named, and SHA-256 digests against known vectors.

#include "update/history.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "app/sha256.h"
#include "tests/support/temp_dir.h"

namespace sovra {
namespace {

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

TEST(HistoryTest, RecordsComeBackInOrderAndDamagedLinesAreSkipped) {
    const testing::TempDir folder("sovra-history");
    const std::string path = folder.File("state/history.jsonl");
    std::string error;
    ASSERT_TRUE(AppendHistory(path, Record("/dev/bus/usb/001/002", "updated"), error)) << error;
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
    ASSERT_TRUE(AppendHistory(path, failed, error)) << error;
    {
        std::ofstream f(path, std::ios::app);
        f << R"({"time": "cut short)";  // no newline: a write cut short
    }
    // The next record stands on a line of its own, not after the torn one.
    ASSERT_TRUE(AppendHistory(path, Record("/dev/bus/usb/001/009", "updated"), error)) << error;

    std::vector<HistoryRecord> records;
    std::vector<SkippedLine> skipped;
    ASSERT_TRUE(ReadHistory(path, records, skipped, error)) << error;
    ASSERT_EQ(records.size(), 5u);
    EXPECT_EQ(records[0], Record("/dev/bus/usb/001/002", "updated"));
    EXPECT_EQ(records[1], Record("/dev/bus/usb/001/004", "updated"));
    EXPECT_EQ(records[2], Record("/dev/bus/usb/001/009", "updated"));
    EXPECT_EQ(records[3], failed);
    EXPECT_EQ(records[4], Record("/dev/bus/usb/001/009", "updated"));
    std::vector<std::size_t> lines;
    for (const SkippedLine& s : skipped) {
        lines.push_back(s.line);
    }
    EXPECT_EQ(lines, (std::vector<std::size_t>{3, 4, 5, 8, 10}));

    // Absent: an empty history, not an error.
    EXPECT_TRUE(ReadHistory(folder.File("none.jsonl"), records, skipped, error));
    EXPECT_TRUE(records.empty());
}

// Whatever sits in the history's place, a record is refused at once: a named
// pipe (with or without a link to it) would otherwise hold the program
// forever after the device was written.
TEST(HistoryTest, OnlyARegularFileIsWrittenAndNothingIsWaitedOn) {
    const testing::TempDir folder("sovra-history");
    const std::string dir = folder.Path();
    ASSERT_EQ(::mkfifo((dir + "/fifo").c_str(), 0600), 0);
    ASSERT_EQ(::symlink((dir + "/fifo").c_str(), (dir + "/link").c_str()), 0);
    ASSERT_EQ(::mkdir((dir + "/folder").c_str(), 0700), 0);
    for (const char* name : {"fifo", "link", "folder"}) {
        std::string error;
        EXPECT_FALSE(
            AppendHistory(dir + "/" + name, Record("/dev/bus/usb/001/002", "updated"), error))
            << name;
        EXPECT_NE(error.find(name), std::string::npos) << error;
        std::vector<HistoryRecord> records;
        std::vector<SkippedLine> skipped;
        EXPECT_FALSE(ReadHistory(dir + "/" + name, records, skipped, error)) << name;
    }
}

}  // namespace
}  // namespace sovra
