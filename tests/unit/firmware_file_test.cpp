// The loaders of firmware files and flash dumps, against files whose bytes
// are written out here by hand: what is accepted, and the status and
// sentence for what is not.

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "flash/firmware_file.h"
#include "flash/flash_command.h"
#include "tests/support/temp_dir.h"

namespace sovra {
namespace {

using Bytes = std::vector<std::uint8_t>;

// Header 0x11223344, one record (count 2, tag 0x40001000, data 5 and 7), the
// end marker at word 5, the word after it, and the checksum 12.
const Bytes kImage = {
    0x44, 0x33, 0x22, 0x11, 0x02, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x40, 0x05, 0x00, 0x00, 0x00,
    0x07, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x0C, 0x00, 0x00, 0x00,
};

void AppendLe(Bytes& out, std::uint32_t w) {
    for (int shift = 0; shift < 32; shift += 8) {
        out.push_back(static_cast<std::uint8_t>(w >> shift));
    }
}

// A whole flash: a header word, a record of `count` words 0x01010101 with
// `tag`, the end marker, the word after it, `checksum`, then erased flash.
Bytes Flash(std::uint32_t tag, std::uint32_t checksum, std::uint32_t count = 64) {
    Bytes out;
    AppendLe(out, 0x534F5652);
    AppendLe(out, count);
    AppendLe(out, tag);
    for (std::uint32_t k = 0; k < count; ++k) {
        AppendLe(out, 0x01010101);
    }
    AppendLe(out, 0);
    AppendLe(out, 0xAABBCCDD);
    AppendLe(out, checksum);
    out.resize(0x40000, 0xFF);
    return out;
}

class LoaderTest : public ::testing::Test {
  protected:
    std::string Write(const std::string& name, const Bytes& bytes) {
        return tmp_.Write(name, bytes);
    }
    testing::TempDir tmp_{"sovra-loader"};
    const std::string dir_ = tmp_.Path();
};

TEST_F(LoaderTest, FirmwareFile) {
    Bytes tooLong(FlashSize + 1);
    std::copy(kImage.begin(), kImage.end(), tooLong.begin());
    const std::string fifo = dir_ + "/pipe";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    struct Case {
        const char* name;
        std::string path;
        Status status;
        const char* says;
    };
    const Case cases[] = {
        {"valid", Write("ok.bin", kImage), S_OK, ""},
        {"cut inside the record", Write("cut.bin", Bytes(kImage.begin(), kImage.begin() + 12)),
         E_IMAGE_RECORD_OVERRUN, "runs past its end"},
        {"no end marker", Write("noend.bin", Bytes(kImage.begin(), kImage.begin() + 20)),
         E_IMAGE_NO_END, "no end marker"},
        {"header only", Write("short.bin", Bytes(kImage.begin(), kImage.begin() + 4)),
         E_IMAGE_TOO_SHORT, "too short"},
        {"larger than the flash", Write("long.bin", tooLong), E_IMAGE_TOO_LONG,
         "larger than the device's 256 KiB flash"},
        {"missing", dir_ + "/none.bin", E_FAIL, "No such file or directory"},
        {"named pipe", fifo, E_FAIL, "is a named pipe, not a regular file"},
        {"folder", dir_, E_FAIL, "is a folder"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FirmwareFile file;
        file.bytes = {1};
        const Error e = LoadFirmwareFile(c.path, file);
        const std::string& error = e.What();
        EXPECT_EQ(e.Code(), c.status) << error;
        if (c.status == S_OK) {
            EXPECT_EQ(file.path, c.path);
            EXPECT_EQ(file.bytes, kImage);
            EXPECT_EQ(file.layout.endMarker, 5u);
            EXPECT_EQ(file.layout.records, 1u);
            EXPECT_EQ(file.layout.deviceInfoRecords, 0u);
            continue;
        }
        EXPECT_TRUE(file.bytes.empty());
        EXPECT_NE(error.find("'" + c.path + "'"), std::string::npos) << error;
        EXPECT_NE(error.find(c.says), std::string::npos) << error;
    }
}

TEST_F(LoaderTest, FlashDump) {
    // 64 words of 0x01010101 sum to 0x40404040.
    const Bytes good = Flash(0x40003000, 0x40404040);
    struct Case {
        const char* name;
        Bytes bytes;
        Status status;
        const char* says;
    };
    const Case cases[] = {
        {"valid", good, S_OK, ""},
        {"checksum off by one", Flash(0x40003000, 0x40404041), E_IMAGE_BAD_CHECKSUM, "checksum"},
        {"no device-info record", Flash(0x40003001, 0x40404040), E_IMAGE_NO_DEVICE_INFO,
         "no device-info record"},
        {"device-info tag with another count", Flash(0x40003000, 0x3F3F3F3F, 63),
         E_IMAGE_NO_DEVICE_INFO, "no device-info record"},
        {"erased flash", Bytes(FlashSize, 0xFF), E_IMAGE_RECORD_OVERRUN, "runs past"},
        {"one word short", Bytes(good.begin(), good.end() - 4), E_IMAGE_TOO_SHORT,
         "holds 262140 bytes"},
        {"one byte long",
         [&] {
             Bytes b = good;
             b.push_back(0);
             return b;
         }(),
         E_IMAGE_TOO_LONG, "larger than"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = Write("dump.bin", c.bytes);
        Bytes out = {1};
        FlashCheck check;
        const Error e = LoadFlashDump(path, out, check);
        const std::string& error = e.What();
        EXPECT_EQ(e.Code(), c.status) << error;
        if (c.status == S_OK) {
            EXPECT_EQ(out, good);
            EXPECT_EQ(check.layout.endMarker, 67u);
            ASSERT_TRUE(check.deviceInfo.has_value());
            EXPECT_EQ(check.deviceInfo->offset, 1u);
            continue;
        }
        // Only a flash whose checksum alone fails is handed over, for a
        // forced restore onto its own device.
        EXPECT_EQ(out.empty(), c.status != E_IMAGE_BAD_CHECKSUM);
        EXPECT_NE(error.find("'" + path + "'"), std::string::npos) << error;
        EXPECT_NE(error.find(c.says), std::string::npos) << error;
    }
}

TEST(FlashContents, TheChecksumMustLieInsideTheFlash) {
    // Header, end marker at word 1, the word after it: the checksum word
    // would be past the end.
    const Bytes cut = {0x52, 0x56, 0x4F, 0x53, 0, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(CheckFlashContents(cut).status, E_IMAGE_NO_END);
    Bytes whole = cut;
    whole.insert(whole.end(), {0, 0, 0, 0});
    EXPECT_EQ(CheckFlashContents(whole).status, E_IMAGE_NO_DEVICE_INFO);
}

}  // namespace
}  // namespace sovra
