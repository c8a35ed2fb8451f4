// `list`, `dump` and the --device choice, against an in-process virtual
// device and a fixed set of present devices.

#include <unistd.h>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "cli/cmd_dump.h"
#include "cli/cmd_list.h"
#include "cli/commands.h"
#include "cli/device_select.h"
#include "cli/progress_bar.h"
#include "sim/beamformer_model.h"
#include "sim/in_process_channel.h"
#include "tests/support/fixed_source.h"
#include "tests/support/read_back_requests.h"
#include "tests/support/temp_dir.h"

namespace sovra::cli {
namespace {

using testing::FixedSource;

const char* kCatalogue = R"(<Device_list>
  <Device File_Name="bf100.img" REV="01.02" Device_Name="Beamformer 100" VID="abc" PID="10"/>
  <Device Device_Name="Beamformer 300" VID="abc" PID="1a"/>
</Device_list>)";

const std::string kPathA = "/dev/bus/usb/001/004";
const std::string kPathB = "/dev/bus/usb/001/002";
const std::string kPathC = "/dev/bus/usb/002/007";

std::vector<std::uint8_t> Pattern() {
    std::vector<std::uint8_t> flash(FlashSize);
    for (std::size_t i = 0; i < flash.size(); ++i) {
        flash[i] = static_cast<std::uint8_t>((i * 7) ^ (i >> 8));
    }
    return flash;
}

class CliDevicesTest : public ::testing::Test {
  protected:
    void SetUp() override {
        catalogue_ = tmp_.Write("FirmwareUpdate.xml", kCatalogue);
        present_ = {
            {kPathA, sovra::UsbIds{0x0ABC, 0x0010, 0x0102}, "BF\x1b-1"},
            {kPathB, sovra::UsbIds{0x0ABC, 0x0010, 0x0100}},
            {kPathC, sovra::UsbIds{0x0ABC, 0x001A, 0x0200}},
            {"/dev/bus/usb/001/009", sovra::UsbIds{0x1D6B, 0x0002, 0x0515}},  // unknown
        };
    }

    std::vector<std::string> Files() const { return testing::FilesIn(dir_); }

    DeviceAccess Access() {
        DeviceAccess access;
        access.openSource = [this](std::unique_ptr<DeviceSource>& source) {
            source = std::make_unique<FixedSource>(present_);
            return Error();
        };
        access.openControl = [this](const DeviceEntry& entry) {
            opened_.push_back(entry.path);
            DeviceControl c;
            c.error = bind_;
            if (bind_.Failed()) {
                return c;
            }
            c.channel = std::make_unique<sim::InProcessChannel>(model_, false);
            return c;
        };
        return access;
    }

    int List(bool json, bool quiet = false) {
        ListOptions options;
        options.catalogue = catalogue_;
        options.json = json;
        options.quiet = quiet;
        out_.str("");
        err_.str("");
        return RunList(options, Access(), out_, err_);
    }

    int Dump(const std::string& device, bool terminal = false) {
        DumpOptions options;
        options.device = device;
        options.output = Output();
        options.catalogue = catalogue_;
        out_.str("");
        err_.str("");
        return RunDump(options, Access(), out_, err_, terminal);
    }

    std::string Output() const { return dir_ + "/flash.bin"; }

    std::vector<std::uint8_t> ReadOutput() const {
        std::vector<std::uint8_t> bytes;
        FILE* f = std::fopen(Output().c_str(), "rb");
        if (f == nullptr) {
            return bytes;
        }
        int c = 0;
        while ((c = std::fgetc(f)) != EOF) {
            bytes.push_back(static_cast<std::uint8_t>(c));
        }
        std::fclose(f);
        return bytes;
    }

    testing::TempDir tmp_{"sovra-cli-devices"};
    const std::string dir_ = tmp_.Path();
    std::string catalogue_;
    std::vector<PresentDevice> present_;
    std::shared_ptr<sim::BeamformerModel> model_ =
        std::make_shared<sim::BeamformerModel>(Pattern());
    Error bind_;  // how the binding fails, if it does
    std::vector<std::string> opened_;
    std::ostringstream out_;
    std::ostringstream err_;
};

TEST_F(CliDevicesTest, ListShowsKnownDevicesInRowOrderWithIdsAndPaths) {
    ASSERT_EQ(List(false), kExitOk);
    EXPECT_EQ(out_.str(),
              "Beamformer 100, firmware ver. 01.00  0abc:0010  rev 0100  /dev/bus/usb/001/002\n"
              "Beamformer 100, firmware ver. 01.02  0abc:0010  rev 0102  /dev/bus/usb/001/004  "
              "serial BF\\x1b-1\n"
              "Beamformer 300, firmware ver. 02.00  0abc:001a  rev 0200  /dev/bus/usb/002/007\n");
}

// What shell completion offers for --device: the paths alone, and silence
// when there is nothing to offer.
TEST_F(CliDevicesTest, ListQuietPrintsOnlyThePaths) {
    ASSERT_EQ(List(false, true), kExitOk);
    EXPECT_EQ(out_.str(), std::string("/dev/bus/usb/001/002\n") + kPathA + "\n" + kPathC + "\n");
    present_.resize(0);
    ASSERT_EQ(List(false, true), kExitOk);
    EXPECT_EQ(out_.str() + err_.str(), "");
}

TEST_F(CliDevicesTest, ListAsJson) {
    ASSERT_EQ(List(true), kExitOk);
    const auto rows = nlohmann::json::parse(out_.str());
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[1], (nlohmann::json{{"text", "Beamformer 100, firmware ver. 01.02"},
                                       {"vendor_id", "0abc"},
                                       {"product_id", "0010"},
                                       {"revision", "0102"},
                                       {"path", kPathA},
                                       {"serial", "BF\x1b-1"}}));
    EXPECT_EQ(rows[2]["path"], kPathC);
    EXPECT_TRUE(rows[2]["serial"].is_null());
}

TEST_F(CliDevicesTest, ListWithNothingKnownPrintsNoRowsAndSaysSo) {
    present_.resize(0);
    EXPECT_EQ(List(false), kExitOk);
    EXPECT_EQ(out_.str(), "");
    EXPECT_NE(err_.str().find("No connected device"), std::string::npos);
    EXPECT_EQ(List(true), kExitOk);
    EXPECT_EQ(nlohmann::json::parse(out_.str()), nlohmann::json::array());
}

TEST_F(CliDevicesTest, ListRefusesANamedCatalogueThatCannotBeOpened) {
    catalogue_ = dir_ + "/missing.xml";
    EXPECT_EQ(List(false), kExitRefused);
    EXPECT_NE(err_.str().find("missing.xml"), std::string::npos);
}

TEST_F(CliDevicesTest, ListKeepsControlCharactersOfNamesOffTheTerminal) {
    FILE* f = std::fopen(catalogue_.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::fputs(R"(<Device_list><Device Device_Name="A&#10;B&#27;[2J" VID="abc" PID="10"/>)"
               "</Device_list>",
               f);
    std::fclose(f);
    present_.resize(1);
    ASSERT_EQ(List(false), kExitOk);
    EXPECT_EQ(out_.str().find('\x1b'), std::string::npos);
    EXPECT_EQ(out_.str().rfind('\n'), out_.str().size() - 1);  // one line
    EXPECT_NE(out_.str().find("A\\x0aB\\x1b[2J"), std::string::npos);
}

// --- --device -------------------------------------------------------------

struct ResolveCase {
    const char* name;
    std::string spec;
    std::string wantPath;              // empty: refused
    std::vector<std::string> inError;  // texts the refusal must name
};

class ResolveTest : public ::testing::TestWithParam<ResolveCase> {};

TEST_P(ResolveTest, PathOrUniqueIds) {
    const std::vector<DeviceRow> rows = {
        {"Beamformer 100, firmware ver. 01.00", {0xABC, 0x10, 0x100, kPathB}},
        {"Beamformer 100, firmware ver. 01.02", {0xABC, 0x10, 0x102, kPathA}},
        {"Beamformer 300, firmware ver. 02.00", {0xABC, 0x1A, 0x200, kPathC}},
    };
    const auto& c = GetParam();
    const DeviceRow* row = nullptr;
    const std::string error = ResolveDevice(c.spec, rows, row).What();
    if (c.wantPath.empty()) {
        EXPECT_EQ(row, nullptr);
        for (const std::string& text : c.inError) {
            EXPECT_NE(error.find(text), std::string::npos) << error;
        }
    } else {
        ASSERT_NE(row, nullptr) << error;
        EXPECT_EQ(row->entry.path, c.wantPath);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ResolveTest,
    ::testing::Values(
        ResolveCase{"ExactPath", kPathA, kPathA, {}},
        ResolveCase{"UniqueIds", "0abc:001a", kPathC, {}},
        ResolveCase{"UniqueIdsShortUpper", "ABC:1A", kPathC, {}},
        ResolveCase{"AmbiguousIdsNameCandidates", "abc:10", "", {"2 listed", kPathA, kPathB}},
        ResolveCase{"UnknownIds", "abc:11", "", {"0abc:0011", "sovra-flash list"}},
        ResolveCase{"UnlistedPath", "/dev/bus/usb/001/009", "", {"no listed device at"}},
        ResolveCase{"PathIsCaseSensitive", "/DEV/BUS/USB/001/004", "", {"no listed device"}},
        ResolveCase{"Garbage", "beamformer", "", {"neither"}},
        ResolveCase{"EmptyPid", "abc:", "", {"neither"}},
        ResolveCase{"ThreeParts", "abc:10:1", "", {"neither"}},
        ResolveCase{"IdTooLong", "123456789:10", "", {"neither"}},
        ResolveCase{"Empty", "", "", {"neither"}}),
    [](const auto& info) { return std::string(info.param.name); });

// --- dump ----------------------------------------------------------------

TEST_F(CliDevicesTest, DumpSavesTheWholeFlash) {
    ASSERT_EQ(Dump("abc:1a"), kExitOk) << err_.str();
    EXPECT_EQ(opened_, std::vector<std::string>{kPathC});
    EXPECT_EQ(ReadOutput(), model_->Flash());
    EXPECT_TRUE(model_->Prepared());
    EXPECT_EQ(model_->RequestCount(), testing::ReadBackRequests(model_->Flash()));
    EXPECT_EQ(Files().size(), 2u);  // the catalogue and the dump, no leftovers
    // Progress lines when stderr is not a terminal: one per tenth.
    EXPECT_NE(err_.str().find("Reading flash: 100%\n"), std::string::npos);
}

struct DumpFailCase {
    const char* name;
    sim::FaultPlan faults;
    std::vector<std::string> inError;
};

class DumpFailTest : public CliDevicesTest, public ::testing::WithParamInterface<DumpFailCase> {};

TEST_P(DumpFailTest, FailsWithTheChunkAndLeavesNoFile) {
    model_ = std::make_shared<sim::BeamformerModel>(Pattern(), GetParam().faults);
    EXPECT_EQ(Dump(kPathA, true), kExitRefused);
    for (const std::string& text : GetParam().inError) {
        EXPECT_NE(err_.str().find(text), std::string::npos) << err_.str();
    }
    EXPECT_EQ(Files().size(), 1u);  // only the catalogue
    EXPECT_EQ(out_.str(), "");
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DumpFailTest,
    ::testing::Values(
        // Request 1 is the prepare request; request K > 1 reads chunk K-2.
        DumpFailCase{"PrepareStalls", {.failAt = 1}, {"prepare request", "refused"}},
        DumpFailCase{
            "FirstChunkStalls", {.failAt = 2}, {"address 0x00000 (chunk 1 of 4096)", "refused"}},
        DumpFailCase{"MiddleChunkStalls", {.failAt = 0x48E + 2}, {"address 0x12380", "refused"}},
        DumpFailCase{"LastChunkStalls", {.failAt = 4097}, {"address 0x3FFC0 (chunk 4096 of 4096)"}},
        DumpFailCase{"Unplugged", {.unplugAt = 100}, {"address 0x01880", "disconnected"}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(CliDevicesTest, DumpReplacesAnExistingFileOnlyOnSuccess) {
    FILE* f = std::fopen(Output().c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::fputs("old", f);
    std::fclose(f);
    model_ = std::make_shared<sim::BeamformerModel>(Pattern(), sim::FaultPlan{.failAt = 50});
    EXPECT_EQ(Dump(kPathA), kExitRefused);
    EXPECT_EQ(ReadOutput(), (std::vector<std::uint8_t>{'o', 'l', 'd'}));
}

TEST_F(CliDevicesTest, DumpOfAnAmbiguousChoiceOpensNothing) {
    EXPECT_EQ(Dump("abc:10"), kExitRefused);
    EXPECT_TRUE(opened_.empty());
    EXPECT_EQ(model_->RequestCount(), 0u);
}

TEST_F(CliDevicesTest, PermissionFailureSaysHowToFixIt) {
    bind_ = Error(E_DEVICE_ACCESS, "permission denied opening " + kPathA);
    EXPECT_EQ(Dump(kPathA), kExitRefused);
    for (const char* text : {"permissions problem", "udev rule", "sudo", kPathA.c_str()}) {
        EXPECT_NE(err_.str().find(text), std::string::npos) << err_.str();
    }
    EXPECT_EQ(Files().size(), 1u);
}

TEST_F(CliDevicesTest, GoneAndNoControlAreToldApart) {
    bind_ = Error(E_DEVICE_GONE, "no USB device at " + kPathA + "; it was unplugged");
    EXPECT_EQ(Dump(kPathA), kExitRefused);
    EXPECT_NE(err_.str().find("cannot reach the device"), std::string::npos);
    EXPECT_EQ(err_.str().find("permission"), std::string::npos);

    bind_ = Error(E_DEVICE_BUSY, "another program is using " + kPathA);
    EXPECT_EQ(Dump(kPathA), kExitRefused);
    EXPECT_NE(err_.str().find("cannot carry flash requests"), std::string::npos);
}

TEST(ProgressBarTest, PlainLinesPerTenthAndOneTerminalLine) {
    std::ostringstream plain;
    {
        ProgressBar bar(plain, false, "Reading flash");
        for (std::uint64_t i = 0; i <= ChunkCount; ++i) {
            bar.Update(i, ChunkCount);
        }
    }
    std::size_t lines = 0;
    for (char c : plain.str()) {
        lines += c == '\n' ? 1 : 0;
    }
    EXPECT_EQ(lines, 11u);  // 0%, 10%, ..., 100%

    std::ostringstream tty;
    {
        ProgressBar bar(tty, true, "Reading flash");
        for (std::uint64_t i = 0; i <= ChunkCount; ++i) {
            bar.Update(i, ChunkCount);
        }
    }
    const std::string s = tty.str();
    EXPECT_EQ(std::count(s.begin(), s.end(), '\n'), 1);
    EXPECT_EQ(std::count(s.begin(), s.end(), '\r'), 101);
    EXPECT_NE(s.find("100%\n"), std::string::npos);
}

}  // namespace
}  // namespace sovra::cli
