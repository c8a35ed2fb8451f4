// The launcher's --device text, its flash= files and how it shows caught
// system-log entries.

#include "sim/device_spec.h"

#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "sim/syslog_catcher.h"

namespace sovra::sim {
namespace {

struct Accepted {
    const char* text;
    UsbIds ids;
    const char* flashFile;  // null: none
    FaultPlan faults;
    long arriveMs = -1;  // the first; -1: none
    long leaveMs = -1;
    const char* serial = nullptr;
    std::size_t plugTimes = 0;
};

long Millis(const DeviceSpec& spec, bool arrives) {
    for (const auto& t : spec.plugTimes) {
        if (t.arrives == arrives) {
            return static_cast<long>(t.at.count());
        }
    }
    return -1;
}

class DeviceSpecAccepts : public testing::TestWithParam<Accepted> {};

TEST_P(DeviceSpecAccepts, WithItsIdsAndOptions) {
    const Accepted& c = GetParam();
    DeviceSpec spec;
    const Error e = ParseDeviceSpec(c.text, spec);
    ASSERT_FALSE(e.Failed()) << e.What();
    EXPECT_EQ(spec.ids.vendor, c.ids.vendor);
    EXPECT_EQ(spec.ids.product, c.ids.product);
    EXPECT_EQ(spec.ids.revision, c.ids.revision);
    EXPECT_EQ(spec.flashFile.value_or("<none>"), c.flashFile ? c.flashFile : "<none>");
    EXPECT_EQ(spec.faults.latency, c.faults.latency);
    EXPECT_EQ(spec.faults.failAt, c.faults.failAt);
    EXPECT_EQ(spec.faults.unplugAt, c.faults.unplugAt);
    EXPECT_EQ(spec.faults.corruptAt, c.faults.corruptAt);
    EXPECT_EQ(spec.faults.corruptByte, c.faults.corruptByte);
    EXPECT_EQ(spec.faults.dropWriteAt, c.faults.dropWriteAt);
    EXPECT_EQ(Millis(spec, true), c.arriveMs);
    EXPECT_EQ(Millis(spec, false), c.leaveMs);
    EXPECT_EQ(spec.plugTimes.size(), c.plugTimes);
    EXPECT_EQ(spec.ids.serial.value_or("<none>"), c.serial ? c.serial : "<none>");
}

INSTANTIATE_TEST_SUITE_P(
    Texts, DeviceSpecAccepts,
    testing::Values(
        Accepted{"0abc:0010:0102", {0x0abc, 0x0010, 0x0102}, nullptr, {}},
        Accepted{"ABC:10:FfFf", {0x0abc, 0x0010, 0xffff}, nullptr, {}},
        Accepted{"0:0:0000", {0, 0, 0}, nullptr, {}},
        Accepted{"0abc:0010:0102,flash=/tmp/a=b.bin,fail-at=7",
                 {0x0abc, 0x0010, 0x0102},
                 "/tmp/a=b.bin",
                 {.failAt = 7}},
        Accepted{"1234:5678:0001,latency-us=250,unplug-at=4097,corrupt-at=18446744073709551615",
                 {0x1234, 0x5678, 0x0001},
                 nullptr,
                 {.latency = std::chrono::microseconds(250),
                  .unplugAt = 4097,
                  .corruptAt = 18446744073709551615u}},
        Accepted{"1:2:0003,latency-us=0", {1, 2, 3}, nullptr, {}},
        Accepted{"1:2:0003,corrupt-byte=63,corrupt-at=9",
                 {1, 2, 3},
                 nullptr,
                 {.corruptAt = 9, .corruptByte = 63}},
        Accepted{"1:2:0003,corrupt-at=9,corrupt-byte=0",
                 {1, 2, 3},
                 nullptr,
                 {.corruptAt = 9, .corruptByte = 0}},
        Accepted{"0abc:0010:0102,drop-write-at=4096,fail-at=3",
                 {0x0abc, 0x0010, 0x0102},
                 nullptr,
                 {.failAt = 3, .dropWriteAt = 4096}},
        Accepted{"0abc:0011:0200,leave-ms=86400000,arrive-ms=0",
                 {0x0abc, 0x0011, 0x0200},
                 nullptr,
                 {},
                 0,
                 86400000,
                 nullptr,
                 2},
        Accepted{"1d6b:0104:0100,arrive-ms=250",
                 {0x1d6b, 0x0104, 0x0100},
                 nullptr,
                 {},
                 250,
                 -1,
                 nullptr,
                 1},
        Accepted{"1:2:0003,leave-ms=1", {1, 2, 3}, nullptr, {}, -1, 1, nullptr, 1},
        Accepted{"1:2:0003,arrive-ms=900,serial=SN 0042-a,leave-ms=100,leave-ms=1500",
                 {1, 2, 3},
                 nullptr,
                 {},
                 900,
                 100,
                 "SN 0042-a",
                 3}));

struct Refused {
    const char* text;
    const char* message;  // a part of the error
};

class DeviceSpecRefuses : public testing::TestWithParam<Refused> {};

TEST_P(DeviceSpecRefuses, NamingTheProblem) {
    DeviceSpec spec;
    const Error e = ParseDeviceSpec(GetParam().text, spec);
    EXPECT_TRUE(e.Failed());
    EXPECT_NE(e.What().find(GetParam().message), std::string::npos) << e.What();
}

INSTANTIATE_TEST_SUITE_P(
    Texts, DeviceSpecRefuses,
    testing::Values(Refused{"", "must start with VID:PID:REV"},
                    Refused{"0abc:0010", "must start with VID:PID:REV"},
                    Refused{"0abc:0010:0102:1", "must start with VID:PID:REV"},
                    Refused{":0010:0102", "vendor id"}, Refused{"10abc:0010:0102", "vendor id"},
                    Refused{"0abc:+10:0102", "product id"}, Refused{"0x12:0010:0102", "vendor id"},
                    Refused{"0abc:0010:102", "revision must be 4"},
                    Refused{"0abc:0010:01g2", "revision must be 4"},
                    Refused{"0abc:0010:0102,", "missing after the comma"},
                    Refused{"0abc:0010:0102,fail-at=1,", "missing after the comma"},
                    Refused{"0abc:0010:0102,,fail-at=1", "needs a value"},
                    Refused{"0abc:0010:0102,flash", "needs a value"},
                    Refused{"0abc:0010:0102,flash=", "needs a value"},
                    Refused{"0abc:0010:0102,fail-at=-1", "decimal number"},
                    Refused{"0abc:0010:0102,fail-at=1x", "decimal number"},
                    Refused{"0abc:0010:0102,fail-at=18446744073709551616", "decimal number"},
                    Refused{"0abc:0010:0102,unplug-at=0", "counts requests from 1"},
                    Refused{"0abc:0010:0102,fail-at=2,fail-at=3", "given twice"},
                    Refused{"0abc:0010:0102,flash=a,flash=b", "given twice"},
                    Refused{"0abc:0010:0102,latency-us=1,latency-us=1", "given twice"},
                    Refused{"0abc:0010:0102,latency-us=10000001", "at most"},
                    Refused{"0abc:0010:0102,Fail-At=2", "unknown option 'Fail-At'"},
                    Refused{"0abc:0010:0102,drop-write-at=0", "counts requests from 1"},
                    Refused{"0abc:0010:0102,drop-write-at=1,drop-write-at=2", "given twice"},
                    Refused{"0abc:0010:0102,arrive-ms=1s", "decimal number"},
                    Refused{"0abc:0010:0102,leave-ms=-5", "decimal number"},
                    Refused{"0abc:0010:0102,arrive-ms=5,arrive-ms=6", "take turns"},
                    Refused{"0abc:0010:0102,leave-ms=5,arrive-ms=9,arrive-ms=7", "take turns"},
                    Refused{"0abc:0010:0102,serial=a,serial=b", "given twice"},
                    Refused{"0abc:0010:0102,serial=a\\b", "printable ASCII"},
                    Refused{"0abc:0010:0102,serial=a\tb", "printable ASCII"},
                    Refused{"0abc:0010:0102,arrive-ms=86400001", "may be at most 86400000"},
                    Refused{"0abc:0010:0102,arrive-ms=500,leave-ms=500", "take turns"},
                    Refused{"0abc:0010:0102,arrive=5", "unknown option 'arrive'"},
                    Refused{"0abc:0010:0102,corrupt-at=3,corrupt-byte=64", "must be 0 to 63"},
                    Refused{"0abc:0010:0102,corrupt-byte=1", "'corrupt-byte' needs 'corrupt-at'"},
                    Refused{"0abc:0010:0102,corrupt-at=3,corrupt-byte=1,corrupt-byte=2",
                            "given twice"}));

class FlashFileTest : public testing::TestWithParam<std::size_t> {};

TEST_P(FlashFileTest, OnlyAWholeFlashIsTaken) {
    const std::size_t size = GetParam();
    char path[] = "/tmp/sovra-flash-file.XXXXXX";
    const int fd = ::mkstemp(path);
    ASSERT_GE(fd, 0);
    ::close(fd);
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<char>(i * 7);
    }
    std::ofstream(path, std::ios::binary) << bytes;
    std::vector<std::uint8_t> flash;
    const Error error = LoadFlashFile(path, flash);
    std::remove(path);
    if (size == FlashSize) {
        ASSERT_FALSE(error.Failed()) << error.What();
        EXPECT_TRUE(
            std::equal(flash.begin(), flash.end(), bytes.begin(), bytes.end(),
                       [](std::uint8_t a, char b) { return a == static_cast<std::uint8_t>(b); }));
    } else {
        EXPECT_TRUE(error.Failed());
        EXPECT_NE(error.What().find("exactly 262144 bytes"), std::string::npos) << error.What();
    }
}

INSTANTIATE_TEST_SUITE_P(Sizes, FlashFileTest,
                         testing::Values(0, 1, FlashSize - 1, FlashSize, FlashSize + 1,
                                         4 * FlashSize));

TEST(FlashFile, AMissingFileIsNamed) {
    std::vector<std::uint8_t> flash;
    const Error error = LoadFlashFile("/nonexistent/dir/flash.bin", flash);
    EXPECT_NE(error.What().find("cannot open flash file '/nonexistent/dir/flash.bin'"),
              std::string::npos);
}

TEST(PrintableLogEntry, KeepsTextAndDefusesControlCharacters) {
    EXPECT_EQ(PrintableLogEntry("<14>sovra: Load Stage 1 of 3."), "<14>sovra: Load Stage 1 of 3.");
    EXPECT_EQ(PrintableLogEntry(std::string_view("entry\n\0\0", 8)), "entry");
    EXPECT_EQ(PrintableLogEntry("a\x1b[2Jb\tc\x7f"), "a\\x1B[2Jb\tc\\x7F");
    EXPECT_EQ(PrintableLogEntry(std::string_view("a\0b", 3)), "a\\x00b");
    EXPECT_EQ(PrintableLogEntry("caf\xc3\xa9"), "caf\xc3\xa9");
    EXPECT_EQ(PrintableLogEntry(""), "");
}

}  // namespace
}  // namespace sovra::sim
