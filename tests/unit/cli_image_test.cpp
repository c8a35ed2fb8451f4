// The image subcommands, run as a user runs them: the built sovra-flash for
// exit statuses and files left behind, the Run* functions for what they
// print.

#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>
#include <ostream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "cli/cmd_image.h"
#include "flash/flash_command.h"
#include "flash/image_format.h"
#include "flash/merge.h"
#include "flash/sample_image.h"
#include "tests/support/temp_dir.h"

namespace sovra::cli {
namespace {

class CliImageTest : public ::testing::Test {
  protected:
    std::string Path(const std::string& name) const { return tmp_.File(name); }
    std::vector<std::string> Listing() const { return testing::FilesIn(dir_); }
    std::string Write(const std::string& name, const std::vector<std::uint8_t>& bytes) {
        return tmp_.Write(name, bytes);
    }
    std::vector<std::uint8_t> Read(const std::string& name) const {
        return testing::ReadFile(Path(name));
    }

    // Runs sovra-flash in the test's folder; stderr goes to `lastError_`.
    int Exec(const std::string& args) {
        const std::string errFile = dir_ + "/.stderr";
        const std::string cmd = "cd '" + dir_ + "' && '" SOVRA_FLASH_EXE "' " + args +
                                (args.find('>') == std::string::npos ? " >/dev/null" : "") +
                                " 2>'" + errFile + "'";
        const int raw = std::system(cmd.c_str());
        lastError_ = testing::ReadText(errFile);
        ::unlink(errFile.c_str());
        return WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    }

    // Every name in the folder with what it holds: a regular file's bytes,
    // a link's target, or its kind. Nothing else is opened, so a named pipe
    // cannot hold the test.
    std::map<std::string, std::string> Snapshot() const {
        std::map<std::string, std::string> state;
        for (const std::string& name : Listing()) {
            struct stat st {};
            if (::lstat(Path(name).c_str(), &st) != 0) {
                state[name] = "gone";
            } else if (S_ISREG(st.st_mode)) {
                const auto bytes = Read(name);
                state[name] = std::string(bytes.begin(), bytes.end());
            } else if (S_ISLNK(st.st_mode)) {
                char target[256] = {};
                const ssize_t n = ::readlink(Path(name).c_str(), target, sizeof target - 1);
                state[name] =
                    "link to " + std::string(target, n > 0 ? static_cast<std::size_t>(n) : 0);
            } else {
                state[name] = "mode " + std::to_string(st.st_mode);
            }
        }
        return state;
    }

    testing::TempDir tmp_{"sovra-cli-image"};
    const std::string dir_ = tmp_.Path();
    std::string lastError_;
};

constexpr const char* kNow = "2026-03-01T12:00:00Z";

TEST_F(CliImageTest, MergeIsReproducibleAndMatchesTheEngine) {
    ASSERT_EQ(Exec("sample-image --output fw.bin --records 5 --seed 3"), 0) << lastError_;
    ASSERT_EQ(Exec("sample-image --flash --output dump.bin --seed 8 --kept 2023-01-01T00:00:00Z "
                   "--updated 2024-01-01T00:00:00Z"),
              0)
        << lastError_;
    const std::string merge = "merge --readback dump.bin --firmware fw.bin --now ";
    ASSERT_EQ(Exec(merge + kNow + " --output a.bin"), 0) << lastError_;
    ASSERT_EQ(Exec(merge + kNow + " --output b.bin"), 0) << lastError_;
    ASSERT_EQ(Exec(merge + "133000000000000000 --output c.bin --flash-image"), 0) << lastError_;
    EXPECT_EQ(Read("a.bin"), Read("b.bin"));

    auto flash = Read("dump.bin");
    const auto file = Read("fw.bin");
    std::uint32_t length = static_cast<std::uint32_t>(file.size());
    NullProgress progress;
    ASSERT_EQ(MergeFirmware(flash, file, length, FixedClock(*ParseFileTime(kNow)), progress), S_OK);
    EXPECT_EQ(Read("a.bin"), std::vector<std::uint8_t>(flash.begin(), flash.begin() + length));

    const auto whole = Read("c.bin");
    EXPECT_EQ(whole.size(), FlashSize);
    EXPECT_NE(std::vector<std::uint8_t>(whole.begin(), whole.begin() + length), Read("a.bin"))
        << "--now must reach the time stamps";
}

struct Refusal {
    const char* name;
    const char* args;
    int exit;
    const char* says = "";
};

void PrintTo(const Refusal& r, std::ostream* os) {
    *os << r.name;
}

class CliRefusalTest : public CliImageTest, public ::testing::WithParamInterface<Refusal> {};

TEST_P(CliRefusalTest, ExitStatusAndNoOutputLeft) {
    SampleImageOptions o;
    Write("fw.bin", MakeSampleImage(o));
    Write("dump.bin", MakeSampleFlash(o));
    auto cut = MakeSampleImage(o);
    cut.resize(cut.size() / 2);
    Write("cut.bin", cut);
    Write("short-dump.bin", std::vector<std::uint8_t>(FlashSize - 4, 0xFF));
    o.records = 300;
    Write("big.bin", MakeSampleImage(o));
    ASSERT_EQ(::mkfifo(Path("pipe").c_str(), 0600), 0);
    ASSERT_EQ(::symlink("fw.bin", Path("link.bin").c_str()), 0);
    const std::string xml = R"(<Device_list><Device VID="abc" PID="10"/></Device_list>)";
    Write("c.xml", std::vector<std::uint8_t>(xml.begin(), xml.end()));
    Write("FirmwareUpdate.xml", std::vector<std::uint8_t>(xml.begin(), xml.end()));
    ::setenv("XDG_STATE_HOME", dir_.c_str(), 1);  // an empty history
    const auto before = Snapshot();

    // A command that waited on the pipe would hang here until the test's
    // time limit ends it.
    EXPECT_EQ(Exec(GetParam().args), GetParam().exit);
    EXPECT_NE(lastError_.find(GetParam().says), std::string::npos) << lastError_;
    EXPECT_EQ(Snapshot(), before) << "no input changed, no output or temporary file left";
    if (GetParam().exit == 1) {
        // One line a user can act on; usage errors come from the parser.
        EXPECT_EQ(std::count(lastError_.begin(), lastError_.end(), '\n'), 1) << lastError_;
    } else {
        EXPECT_FALSE(lastError_.empty());
    }
}

INSTANTIATE_TEST_SUITE_P(
    Commands, CliRefusalTest,
    ::testing::Values(
        Refusal{"ReadBackTooShort",
                "merge --readback short-dump.bin --firmware fw.bin --output out.bin", 1},
        Refusal{"ReadBackMissing", "merge --readback none.bin --firmware fw.bin --output out.bin",
                1},
        Refusal{"FirmwareCut", "merge --readback dump.bin --firmware cut.bin --output out.bin", 1},
        Refusal{"FirmwareTooLong", "merge --readback dump.bin --firmware big.bin --output out.bin",
                1},
        Refusal{"BadNow",
                "merge --readback dump.bin --firmware fw.bin --output out.bin --now tomorrow", 2},
        Refusal{"NoOutputGiven", "merge --readback dump.bin --firmware fw.bin", 2},
        Refusal{"InspectCut", "inspect cut.bin", 1},
        Refusal{"InspectTooLong", "inspect big.bin", 1},
        Refusal{"SampleFlashTooLarge", "sample-image --flash --records 300 --output out.bin", 1},
        Refusal{"SampleBadKept", "sample-image --kept 2023-02-30T00:00:00Z --output out.bin", 2},
        // 2 + 4294967295 data words wrapped to 1 in 32 bits.
        Refusal{"SampleWordsBeyond32Bits", "sample-image --words 4294967295 --output out.bin", 1},
        Refusal{"SampleEverythingAtMost",
                "sample-image --records 4294967295 --words 4294967295 --output out.bin", 1},
        Refusal{"FirmwareIsAPipe", "merge --readback dump.bin --firmware pipe --output out.bin", 1},
        Refusal{"ReadBackIsAPipe", "merge --readback pipe --firmware fw.bin --output out.bin", 1},
        Refusal{"InspectPipe", "inspect pipe", 1}, Refusal{"InspectFolder", "inspect .", 1},
        Refusal{"OutputIsTheReadBack",
                "merge --readback dump.bin --firmware fw.bin --output dump.bin", 1},
        Refusal{"OutputLinksToTheFirmware",
                "merge --readback dump.bin --firmware fw.bin --output link.bin", 1},
        Refusal{"RulesOverTheirCatalogue", "udev-rules --catalogue c.xml --output c.xml", 1},
        Refusal{"RulesOverTheDefaultCatalogue", "udev-rules --output FirmwareUpdate.xml", 1},
        Refusal{"OutputIsAFolder", "sample-image --output .", 1},
        // An option given an empty text is given: no default stands in.
        Refusal{"EmptyNow", "merge --readback dump.bin --firmware fw.bin --output out.bin --now ''",
                2, "--now '' is neither"},
        Refusal{"EmptyKept", "sample-image --kept '' --output out.bin", 2, "--kept '' is neither"},
        Refusal{"EmptyRulesCatalogue", "udev-rules --catalogue ''", 1, "catalogue ''"},
        Refusal{"EmptyFirmwareCatalogue", "firmware --catalogue ''", 1, "catalogue ''"},
        // Output the disk does not take is no success.
        Refusal{"InspectOntoAFullDisk", "inspect fw.bin >/dev/full", 1, "cannot write the output"},
        Refusal{"HistoryOntoAFullDisk", "history --json >/dev/full", 1, "cannot write the output"},
        Refusal{"UnknownSubcommand", "updat", 2, "unknown subcommand 'updat'"},
        Refusal{"CountBelowZero", "watch --firmware fw.bin --count -1", 2, "is not a count"},
        Refusal{"CountPast64Bits", "watch --firmware fw.bin --count 18446744073709551616", 2,
                "is not a count"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(CliImageTest, OutputThroughASymlinkKeepsTheLink) {
    ASSERT_EQ(::mkdir(Path("store").c_str(), 0755), 0);
    ASSERT_EQ(::symlink("store/fw.bin", Path("fw.bin").c_str()), 0);
    Write("store/fw.bin", {1, 2, 3});
    ASSERT_EQ(Exec("sample-image --output fw.bin"), 0) << lastError_;
    ASSERT_EQ(Exec("sample-image --output plain.bin"), 0) << lastError_;
    struct stat st {};
    ASSERT_EQ(::lstat(Path("fw.bin").c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_EQ(Read("store/fw.bin"), Read("plain.bin"));
    ::unlink(Path("store/fw.bin").c_str());
    ::rmdir(Path("store").c_str());
}

// The sentence never claims a block was carried over when the firmware file
// has no device-info record to take it.
TEST_F(CliImageTest, MergeSaysWhetherTheDeviceInfoBlockWasCarriedOver) {
    struct Case {
        bool flashHasBlock;
        bool firmwareHasRecord;
        const char* says;
    };
    const Case cases[] = {
        {true, true, "device-info block carried over from the read-back"},
        {true, false, "device-info block NOT carried over"},
        {false, true, "device-info block the firmware file's own"},
        {false, false, "no device-info block"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.flashHasBlock) + std::to_string(c.firmwareHasRecord));
        SampleImageOptions flash;
        flash.deviceInfo = c.flashHasBlock;
        SampleImageOptions firmware;
        firmware.deviceInfo = c.firmwareHasRecord;
        firmware.seed = 2;
        std::ostringstream out;
        std::ostringstream err;
        const int status = RunMerge(
            {Write("dump.bin", MakeSampleFlash(flash)), Write("fw.bin", MakeSampleImage(firmware)),
             Path("out.bin"), std::string(kNow), false},
            out, err);
        if (c.flashHasBlock && !c.firmwareHasRecord && status != 0) {
            continue;  // refusing such a firmware file is as truthful
        }
        ASSERT_EQ(status, 0) << err.str();
        EXPECT_NE(out.str().find(c.says), std::string::npos) << out.str();
    }
}

TEST_F(CliImageTest, InspectReportsTheImage) {
    SampleImageOptions o;
    o.records = 2;
    o.wordsPerRecord = 5;
    o.keptTime = *ParseFileTime("2023-01-01T00:00:00Z");
    Write("fw.bin", MakeSampleImage(o));
    std::ostringstream out;
    std::ostringstream err;
    ASSERT_EQ(RunInspect({Path("fw.bin"), true}, out, err), 0) << err.str();
    const auto j = nlohmann::json::parse(out.str());
    EXPECT_EQ(j["records"].size(), 3u);
    EXPECT_EQ(j["records"][1]["device_info"], true);
    EXPECT_EQ(j["end_marker"], 1 + 7 + 66 + 7);
    EXPECT_EQ(j["image_length"], MakeSampleImage(o).size());
    EXPECT_EQ(j["checksum"]["agree"], true);
    const auto& entries = j["device_info"][0]["entries"];
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[1]["name"], "KeptTime");
    EXPECT_EQ(entries[1]["time"], "2023-01-01T00:00:00Z");
    EXPECT_EQ(j["error"], nullptr);

    // A changed data word: still walkable, but the checksum disagrees.
    auto bad = MakeSampleImage(o);
    bad[12] ^= 1;
    Write("bad.bin", bad);
    out.str("");
    ASSERT_EQ(RunInspect({Path("bad.bin"), false}, out, err), 0);
    EXPECT_NE(out.str().find("they DIFFER"), std::string::npos) << out.str();
}

TEST_F(CliImageTest, InspectNamesWhereTheWalkBroke) {
    auto cut = MakeSampleImage({});
    cut.resize(4 * 100);
    Write("cut.bin", cut);
    std::ostringstream out;
    std::ostringstream err;
    EXPECT_EQ(RunInspect({Path("cut.bin"), true}, out, err), 1);
    const auto j = nlohmann::json::parse(out.str());
    EXPECT_EQ(j["valid"], false);
    EXPECT_EQ(j["end_marker"], nullptr);
    EXPECT_NE(err.str().find("the record at word 1 (count 256) runs past the end of the file"),
              std::string::npos)
        << err.str();
}

// A line's history of years is listed record by record: memory does not grow
// with it. (A sanitizer's own bookkeeping would hide the difference.)
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
TEST_F(CliImageTest, HistoryJsonOfALongHistoryStaysSmall) {
    const std::string folder = Path("sovra-firmware-update");
    ASSERT_EQ(::mkdir(folder.c_str(), 0700), 0);
    const std::string line =
        R"({"time":"2026-12-08T10:15:02Z","program":"sovra-flash","operation":"update",)"
        R"("device":{"path":"/dev/bus/usb/001/002","vendor_id":2748,"product_id":16,)"
        R"("revision":258},"firmware":{"path":"/srv/line-7/bf100_0102.img","size":4408,)"
        R"("sha256":"3b5d5c3712955042212316173ccf37be800c3c0bb5f4ba2eba6bc4b5b8e1e1f0"},)"
        R"("result":"updated","status":"0x00000000","message":"","device_state":"updated",)"
        R"("backup":"/home/u/.local/state/sovra-firmware-update/backups/x.bin"})"
        "\n";
    {
        std::ofstream f(folder + "/history.jsonl");
        for (int i = 0; i < 12'000; ++i) {
            f << line;  // about 6 MB, some 50 MB when held whole
        }
    }
    const std::string cmd = "XDG_STATE_HOME='" + dir_ +
                            "' '" SOVRA_FLASH_EXE "' history --json | tail -c 2 >'" + Path("end") +
                            "'";
    EXPECT_EQ(std::system(cmd.c_str()), 0);
    EXPECT_EQ(Read("end"), (std::vector<std::uint8_t>{']', '\n'}));
    rusage usage{};
    ASSERT_EQ(::getrusage(RUSAGE_CHILDREN, &usage), 0);
    EXPECT_LT(usage.ru_maxrss, 20 * 1024) << "KiB at most";
    ::unlink((folder + "/history.jsonl").c_str());
    ::rmdir(folder.c_str());
}
#endif

}  // namespace
}  // namespace sovra::cli
