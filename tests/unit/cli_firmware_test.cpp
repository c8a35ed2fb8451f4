#include "cli/cmd_firmware.h"

#include <stdlib.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <sstream>
#include <string>

#include "app/sha256.h"
#include "cli/commands.h"
#include "tests/support/scoped_env.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_signer.h"

namespace sovra::cli {
namespace {

class CliFirmwareTest : public ::testing::Test {
  protected:
    std::string Write(const std::string& name, const std::string& bytes) {
        return tmp_.Write(name, bytes);
    }

    int Run(const FirmwareOptions& options) {
        out_.str("");
        err_.str("");
        return RunFirmware(options, out_, err_);
    }

    testing::TempDir tmp_{"sovra-cli-firmware"};
    const std::string dir_ = tmp_.Path();
    testing::ScopedWorkingFolder cwd_;
    // The look-up's other places are the test's own, empty unless a test
    // writes there.
    testing::ScopedEnv configHome_{"XDG_CONFIG_HOME", dir_ + "/config"};
    testing::ScopedEnv dataDirs_{"XDG_DATA_DIRS", dir_ + "/data"};
    std::ostringstream out_;
    std::ostringstream err_;
};

constexpr const char* kIn = "sovra-firmware-update/FirmwareUpdate.xml";
// With no trusted key installed, every listing says so.
constexpr const char* kUnsigned =
    "Signature: unsigned (no trusted key is installed, so none is asked for)\n";

constexpr const char* kSample = R"(<Device_list>
  <Device File_Name="bf100_0102.img" REV="01.02" Device_Name="Beamformer 100" VID="abc" PID="10"/>
  <Device Device_Name="Beamformer 300" VID="abc" PID="1a"/>
  <Device File_Name="bf200_0200.img" REV="02.00"/>
</Device_list>)";

TEST_F(CliFirmwareTest, ListsRowsInOrderWithTheirFiles) {
    const std::string file = Write("c.xml", kSample);
    EXPECT_EQ(Run({file, false}), kExitOk);
    // Files are read from the catalogue's folder, wherever the command runs.
    EXPECT_EQ(out_.str(), "Beamformer 100, firmware ver. 01.02\t" + dir_ +
                              "/bf100_0102.img\n"
                              "Sovra, firmware ver. 02.00\t" +
                              dir_ + "/bf200_0200.img\n");
    EXPECT_EQ(err_.str(), kUnsigned);

    EXPECT_EQ(Run({file, true}), kExitOk);
    const auto rows = nlohmann::json::parse(out_.str());
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(
        rows[0],
        (nlohmann::json{
            {"text", "Beamformer 100, firmware ver. 01.02"},
            {"file", dir_ + "/bf100_0102.img"},
            {"device_name", "Beamformer 100"},
            {"version", "01.02"},
            {"sha256", nullptr},
            {"sha256_matches", nullptr},
            {"signature", {{"state", "unsigned"}, {"fingerprint", nullptr}, {"user_id", nullptr}}},
            {"trusted", true}}));
    EXPECT_EQ(rows[1]["device_name"], "");
}

// Pinned files are read and checked; any that fails is flagged, and so is
// the exit code. Unpinned entries are listed as ever, unread.
TEST_F(CliFirmwareTest, PinnedFilesAreCheckedAndMismatchesFlagged) {
    Write("good.img", "good");
    Write("bad.img", "tampered");
    const std::string good = Sha256Hex(Sha256(std::vector<std::uint8_t>{'g', 'o', 'o', 'd'}));
    std::string goodUpper = good;
    for (char& c : goodUpper) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    const std::string file = Write("c.xml", R"(<Device_list>
  <Device File_Name="good.img" REV="1" SHA256=")" +
                                                goodUpper + R"("/>
  <Device File_Name="bad.img" REV="2" SHA256=")" +
                                                good + R"("/>
  <Device File_Name="gone.img" REV="3" SHA256=")" +
                                                good + R"("/>
  <Device File_Name="bad.img" REV="4"/>
</Device_list>)");
    EXPECT_EQ(Run({file, true}), kExitRefused);
    const auto rows = nlohmann::json::parse(out_.str());
    ASSERT_EQ(rows.size(), 4u);
    const nlohmann::json expected[] = {
        {goodUpper, true}, {good, false}, {good, false}, {nullptr, nullptr}};
    for (std::size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(rows[i]["sha256"], expected[i][0]) << i;
        EXPECT_EQ(rows[i]["sha256_matches"], expected[i][1]) << i;
    }
    EXPECT_NE(err_.str().find("'" + dir_ + "/bad.img' does not match its catalogue entry"),
              std::string::npos)
        << err_.str();
    EXPECT_NE(err_.str().find("cannot be checked against its SHA256"), std::string::npos);
    EXPECT_EQ(err_.str().find("good.img"), std::string::npos);
}

// Without --catalogue: the look-up's catalogue, named on stderr, with its
// files beside it. The working folder's comes first.
TEST_F(CliFirmwareTest, LooksTheCatalogueUpAndSaysWhichItRead) {
    const struct {
        const char* name;
        std::vector<std::string> catalogues;  // under the test folder
        std::string read;                     // "" for the working folder's
    } cases[] = {
        {"working folder", {"work/FirmwareUpdate.xml", "config/" + std::string(kIn)}, ""},
        {"configuration folder", {"config/" + std::string(kIn)}, "config/" + std::string(kIn)},
        {"data folder", {"data/" + std::string(kIn)}, "data/" + std::string(kIn)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove_all(dir_ + "/work");
        std::filesystem::remove_all(dir_ + "/config");
        std::filesystem::remove_all(dir_ + "/data");
        std::filesystem::create_directories(dir_ + "/work");
        for (const std::string& catalogue : c.catalogues) {
            Write(catalogue, kSample);
        }
        ASSERT_EQ(::chdir((dir_ + "/work").c_str()), 0);
        EXPECT_EQ(Run({std::nullopt, false}), kExitOk);
        const std::string catalogue = c.read.empty() ? "./FirmwareUpdate.xml" : dir_ + "/" + c.read;
        const std::string folder =
            c.read.empty() ? "" : std::filesystem::path(catalogue).parent_path().string() + "/";
        EXPECT_EQ(err_.str(), "Catalogue: " + catalogue + "\n" + kUnsigned);
        EXPECT_EQ(out_.str(), "Beamformer 100, firmware ver. 01.02\t" + folder +
                                  "bf100_0102.img\n"
                                  "Sovra, firmware ver. 02.00\t" +
                                  folder + "bf200_0200.img\n");
    }
}

// Missing or unreadable: the default catalogue only warns (an empty list, as
// the desktop application would show); one named on the command line is
// refused.
TEST_F(CliFirmwareTest, MissingCatalogue) {
    ASSERT_EQ(::chdir(dir_.c_str()), 0);
    EXPECT_EQ(Run({std::nullopt, true}), kExitOk);
    EXPECT_EQ(out_.str(), "[]\n");
    EXPECT_EQ(err_.str(), "warning: no catalogue found (looked for ./FirmwareUpdate.xml, " + dir_ +
                              "/config/" + kIn + ", " + dir_ + "/data/" + kIn +
                              "); no firmware is on offer. Name a catalogue with --catalogue "
                              "FILE.\n");

    EXPECT_EQ(Run({dir_ + "/none.xml", false}), kExitRefused);
    EXPECT_EQ(out_.str(), "");
    EXPECT_EQ(err_.str(), "sovra-flash: cannot open catalogue '" + dir_ +
                              "/none.xml': No such file or directory.\n");

    EXPECT_EQ(Run({dir_, false}), kExitRefused);
    EXPECT_NE(err_.str().find("cannot read catalogue"), std::string::npos);
}

TEST_F(CliFirmwareTest, MalformedCatalogueListsWhatWasReadAndWarns) {
    const std::string file =
        Write("bad.xml", R"(<Device_list><Device File_Name="a" REV="1"/><Device File_Name=")");
    EXPECT_EQ(Run({file, false}), kExitOk);
    EXPECT_EQ(out_.str(), "Sovra, firmware ver. 1\t" + dir_ + "/a\n");
    EXPECT_EQ(err_.str().rfind("warning: " + file + " is not well-formed (", 0), 0u);
    EXPECT_NE(err_.str().find(" at offset "), std::string::npos);
    EXPECT_NE(err_.str().find("); showing the entries read before the error.\n"), std::string::npos)
        << err_.str();
}

// Texts come from the file: one row stays one line and reaches the terminal
// without escapes; JSON keeps the bytes and stays valid even when they are
// not UTF-8.
TEST_F(CliFirmwareTest, HostileTextsStayOnOneLineAndJsonStaysValid) {
    const std::string file = Write(
        "c.xml",
        "<Device_list><Device File_Name=\"a&#10;b\" REV=\"1&#27;[2J\xC2\x9B\xFF\"/></Device_list>");
    EXPECT_EQ(Run({file, false}), kExitOk);
    EXPECT_EQ(out_.str(), "Sovra, firmware ver. 1\\x1b[2J\\u009b\xFF\t" + dir_ + "/a\\x0ab\n");

    EXPECT_EQ(Run({file, true}), kExitOk);
    const auto rows = nlohmann::json::parse(out_.str());
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0]["file"], dir_ + "/a\nb");
    EXPECT_EQ(rows[0]["version"], "1\x1b[2J\xC2\x9B\xEF\xBF\xBD");
}

// The subcommand's wiring: options reach the runner, and nothing runs
// before parsing chose it.
TEST_F(CliFirmwareTest, SubcommandParsesItsOptions) {
    const std::string file = Write("c.xml", kSample);
    CLI::App app;
    Runner run;
    AddFirmware(app, run);
    EXPECT_FALSE(run);
    // CLI11 takes the arguments last first: "firmware --catalogue FILE --json".
    std::vector<std::string> args = {"--json", file, "--catalogue", "firmware"};
    app.parse(args);
    ASSERT_TRUE(run);
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(run(), kExitOk);
    const std::string printed = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(nlohmann::json::parse(printed).size(), 2u) << printed;

    CLI::App bad;
    Runner none;
    AddFirmware(bad, none);
    std::vector<std::string> badArgs = {"--catalogue", "firmware"};
    EXPECT_THROW(bad.parse(badArgs), CLI::ParseError);
}

// With a trusted key installed, the listing says who signed the catalogue
// and fails when update would refuse it: unsigned, or an entry unpinned.
TEST_F(CliFirmwareTest, ASignedCatalogueShowsItsKeyAndUnpinnedEntriesFail) {
    testing::TestSigner signer(dir_);
    signer.MakeKey("vendor");
    signer.Export("vendor", dir_ + "/config/sovra-firmware-update/trusted-keys/v.gpg", false);
    const std::string image = "image bytes";
    Write("fw.img", image);
    const std::string pinned =
        R"(<Device File_Name="fw.img" REV="01.00" SHA256=")" +
        Sha256Hex(Sha256(std::vector<std::uint8_t>(image.begin(), image.end()))) + R"("/>)";
    const std::string fpr = signer.Fingerprint("vendor");
    const struct {
        std::string entries;
        bool sign;
        int exit;
        std::string says;
        std::vector<bool> trusted;
    } cases[] = {
        {pinned,
         true,
         kExitOk,
         "Signature: good, key " + fpr + " (vendor <vendor@example.org>)",
         {true}},
        {pinned,
         false,
         kExitRefused,
         "Signature: missing\nsovra-flash: The catalogue is not signed",
         {false}},
        {pinned + R"(<Device File_Name="fw.img" REV="02.00"/>)",
         true,
         kExitRefused,
         "entry of 'Sovra, firmware ver. 02.00' gives no SHA256",
         {true, false}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.entries);
        const std::string file =
            Write("FirmwareUpdate.xml", "<Device_list>" + c.entries + "</Device_list>");
        std::filesystem::remove(file + ".sig");
        if (c.sign) {
            signer.Sign("vendor", file);
        }
        EXPECT_EQ(Run({file, false}), c.exit);
        EXPECT_NE(err_.str().find(c.says), std::string::npos) << err_.str();
        EXPECT_EQ(Run({file, true}), c.exit);
        const auto rows = nlohmann::json::parse(out_.str());
        ASSERT_EQ(rows.size(), c.trusted.size());
        for (std::size_t i = 0; i < rows.size(); ++i) {
            EXPECT_EQ(rows[i]["trusted"], c.trusted[i]);
            EXPECT_EQ(rows[i]["signature"]["fingerprint"],
                      c.sign ? nlohmann::json(fpr) : nlohmann::json());
        }
    }
}

}  // namespace
}  // namespace sovra::cli
