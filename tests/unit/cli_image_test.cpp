// The image subcommands, run as a user runs them: the built sovra-flash for
// exit statuses and files left behind, the Run* functions for what they
// print.

#include <dirent.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>
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

namespace sovra::cli {
namespace {

class CliImageTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char dirTemplate[] = "/tmp/sovra-cli-image-XXXXXX";
        const char* made = ::mkdtemp(dirTemplate);
        ASSERT_NE(made, nullptr);
        dir_ = made;
    }
    void TearDown() override {
        for (const std::string& name : Listing()) {
            ::unlink(Path(name).c_str());
        }
        ::rmdir(dir_.c_str());
    }

    std::string Path(const std::string& name) const { return dir_ + "/" + name; }

    std::set<std::string> Listing() const {
        std::set<std::string> names;
        if (DIR* d = ::opendir(dir_.c_str())) {
            while (const dirent* e = ::readdir(d)) {
                const std::string n = e->d_name;
                if (n != "." && n != "..") {
                    names.insert(n);
                }
            }
            ::closedir(d);
        }
        return names;
    }

    std::string Write(const std::string& name, const std::vector<std::uint8_t>& bytes) {
        std::ofstream f(Path(name), std::ios::binary);
        f.write(reinterpret_cast<const char*>(bytes.data()),
                static_cast<std::streamsize>(bytes.size()));
        return Path(name);
    }

    std::vector<std::uint8_t> Read(const std::string& name) const {
        std::ifstream f(Path(name), std::ios::binary);
        return {std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
    }

    // Runs sovra-flash in the test's folder; stderr goes to `lastError_`.
    int Exec(const std::string& args) {
        const std::string errFile = dir_ + "/.stderr";
        const std::string cmd = "cd '" + dir_ + "' && '" SOVRA_FLASH_EXE "' " + args +
                                " >/dev/null 2>'" + errFile + "'";
        const int raw = std::system(cmd.c_str());
        std::ifstream f(errFile);
        lastError_.assign(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
        ::unlink(errFile.c_str());
        return WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    }

    std::string dir_;
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
    const auto before = Listing();

    EXPECT_EQ(Exec(GetParam().args), GetParam().exit);
    EXPECT_EQ(Listing(), before) << "no output or temporary file may be left";
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
        Refusal{"SampleBadKept", "sample-image --kept 2023-02-30T00:00:00Z --output out.bin", 2}),
    [](const auto& info) { return std::string(info.param.name); });

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

}  // namespace
}  // namespace sovra::cli
