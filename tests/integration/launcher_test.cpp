// sovra-beamformer-sim as a user runs it: from a process that is not under
// the umockdev preload, with a program that talks to the virtual device.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "flash/flash_command.h"
#include "flash/sample_image.h"
#include "tests/support/child_process.h"
#include "tests/support/temp_dir.h"

namespace {

namespace fs = std::filesystem;

using sovra::testing::Outcome;

constexpr auto ReadBytes = sovra::testing::ReadFile;

class LauncherTest : public testing::Test {
  protected:
    // Runs the launcher with `args`.
    Outcome Launch(const std::vector<std::string>& args) {
        std::vector<std::string> all = {SOVRA_SIM_LAUNCHER};
        all.insert(all.end(), args.begin(), args.end());
        return sovra::testing::Run(std::move(all));
    }

    sovra::testing::TempDir tmp_{"sovra-launcher-test"};
    const fs::path dir_ = tmp_.Path();
};

TEST_F(LauncherTest, RunsTheCommandSavesTheFlashAndShowsItsLog) {
    const fs::path save = dir_ / "saved";
    const Outcome o =
        Launch({"--device", "0abc:0010:0102", "--save-flash", save.string(), "--", SOVRA_SIM_PROBE,
                "--write", "--log", "probe was here", "--exit", "7"});
    EXPECT_EQ(o.status, 7) << o.err;
    EXPECT_NE(o.out.find("prepare=1\nwrite=64\n"), std::string::npos) << o.out;
    EXPECT_NE(o.err.find("device 1: 0abc:0010 rev 0102 at /dev/bus/usb/001/002"), std::string::npos)
        << o.err;
    EXPECT_NE(o.err.find("\nsystem log: probe was here\n"), std::string::npos) << o.err;

    // The default flash is the sample image; the probe wrote its first chunk.
    std::vector<std::uint8_t> expected = sovra::MakeSampleFlash({.seed = 1});
    std::fill_n(expected.begin(), sovra::ChunkSize, std::uint8_t{0xA5});
    const std::vector<std::uint8_t> saved = ReadBytes(save / "device-1.bin");
    ASSERT_EQ(saved.size(), sovra::FlashSize);
    EXPECT_TRUE(saved == expected);
}

TEST_F(LauncherTest, DeviceOptionsReachTheDevices) {
    std::vector<std::uint8_t> flash(sovra::FlashSize);
    for (std::size_t i = 0; i < flash.size(); ++i) {
        flash[i] = static_cast<std::uint8_t>(i >> 6);
    }
    const fs::path file = dir_ / "flash.bin";
    std::ofstream(file, std::ios::binary)
        .write(reinterpret_cast<const char*>(flash.data()),
               static_cast<std::streamsize>(flash.size()));
    const fs::path save = dir_ / "saved";
    const Outcome o = Launch(
        {"--device", "0abc:0010:0102,fail-at=2,unplug-at=4,flash=" + file.string(), "--device",
         "1234:0001:0200", "--save-flash", save.string(), "--", SOVRA_SIM_PROBE, "--reads", "5"});
    EXPECT_EQ(o.status, 0) << o.err;
    EXPECT_NE(o.out.find("reads=64 -9 64 -4 -4\n"), std::string::npos) << o.out;
    EXPECT_NE(o.err.find("device 2: 1234:0001 rev 0200 at /dev/bus/usb/001/003"), std::string::npos)
        << o.err;
    EXPECT_TRUE(ReadBytes(save / "device-1.bin") == flash);
    EXPECT_TRUE(ReadBytes(save / "device-2.bin") == sovra::MakeSampleFlash({.seed = 2}));
}

TEST_F(LauncherTest, DevicesArriveAndLeaveWhileTheCommandRuns) {
    // An unrelated device arrives, then a second beamformer, then the
    // unrelated one leaves; the program lists the devices before, between
    // and after the events it waits for.
    const Outcome o = Launch({"--device", "0abc:0010:0102", "--device",
                              "1234:0001:0200,arrive-ms=1000,leave-ms=2000", "--device",
                              "0abc:0011:0200,arrive-ms=1500", "--", SOVRA_SIM_PROBE, "--list",
                              "--event", "--list", "--event", "--event", "--list"});
    EXPECT_EQ(o.status, 0) << o.err;
    EXPECT_EQ(o.out,
              "list=0abc:0010\n"
              "event=add 1234:0001\n"
              "list=0abc:0010 1234:0001\n"
              "event=add 0abc:0011\n"
              "event=remove 1234:0001\n"
              "list=0abc:0010 0abc:0011\n");
    EXPECT_NE(o.err.find("device 2: 1234:0001 rev 0200 at /dev/bus/usb/001/003 (bus 1, address "
                         "3), sample flash, arrives after 1000 ms, leaves after 2000 ms\n"),
              std::string::npos)
        << o.err;
}

TEST_F(LauncherTest, ADroppedWriteIsAcknowledgedButNotStored) {
    const fs::path save = dir_ / "saved";
    const Outcome o = Launch({"--device", "0abc:0010:0102,drop-write-at=1", "--save-flash",
                              save.string(), "--", SOVRA_SIM_PROBE, "--write", "--reads", "1"});
    EXPECT_EQ(o.status, 0) << o.err;
    EXPECT_EQ(o.out, "prepare=1\nwrite=64\nreads=64\n");
    EXPECT_NE(o.err.find(", drop write request 1\n"), std::string::npos) << o.err;
    EXPECT_TRUE(ReadBytes(save / "device-1.bin") == sovra::MakeSampleFlash({.seed = 1}));
}

struct EndCase {
    const char* name;
    std::vector<std::string> args;
    int status;
    const char* message;
};

class LauncherEnds : public LauncherTest, public testing::WithParamInterface<EndCase> {};

TEST_P(LauncherEnds, WithTheRightStatusAndMessage) {
    const EndCase& r = GetParam();
    std::vector<std::string> args;
    for (const std::string& a : r.args) {
        // A flash file of the wrong size, made on demand.
        if (a.find("@SHORT@") != std::string::npos) {
            const fs::path file = dir_ / "short.bin";
            std::ofstream(file, std::ios::binary) << std::string(1000, 'x');
            args.push_back(a.substr(0, a.find("@SHORT@")) + file.string());
        } else {
            args.push_back(a);
        }
    }
    const Outcome o = Launch(args);
    EXPECT_EQ(o.status, r.status) << o.err;
    EXPECT_NE(o.err.find(r.message), std::string::npos) << o.err;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LauncherEnds,
    testing::Values(
        EndCase{"BadIds", {"--device", "0abc:10:12", "--", "true"}, 125, "4 hexadecimal digits"},
        EndCase{"ArrivesTwiceInARow",
                {"--device", "0abc:0010:0102,arrive-ms=50,arrive-ms=10", "--", "true"},
                125,
                "'arrive-ms' and 'leave-ms' must take turns"},
        EndCase{"UnknownOption",
                {"--device", "0abc:0010:0102,speed=9", "--", "true"},
                125,
                "unknown option 'speed'"},
        EndCase{"ShortFlashFile",
                {"--device", "0abc:0010:0102,flash=@SHORT@", "--", "true"},
                125,
                "holds 1000 bytes, not a beamformer's flash of exactly 262144 bytes"},
        EndCase{"MissingFlashFile",
                {"--device", "0abc:0010:0102,flash=/nonexistent/flash.bin", "--", "true"},
                125,
                "cannot open flash file '/nonexistent/flash.bin'"},
        EndCase{"NoCommand", {"--device", "0abc:0010:0102"}, 125, "no command given"},
        EndCase{"CommandNotFound", {"--", "/nonexistent/program"}, 127, "cannot run"},
        EndCase{"CommandKilled", {"--", "/bin/sh", "-c", "kill -9 $$"}, 128 + 9, "device 1:"},
        // Programs that are not ours run untouched (in a sanitizer build
        // too), their log entries caught like any other.
        EndCase{"ShellWithLogger",
                {"--", "/bin/sh", "-c", "logger -t probe shell entry; exit 5"},
                5,
                "probe: shell entry\n"}),
    [](const testing::TestParamInfo<EndCase>& info) { return info.param.name; });

}  // namespace
