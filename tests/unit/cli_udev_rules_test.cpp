#include "cli/cmd_udev_rules.h"

#include <stdlib.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "cli/commands.h"
#include "tests/support/scoped_env.h"
#include "tests/support/temp_dir.h"

namespace sovra::cli {
namespace {

FirmwareCatalogue Catalogue(const std::string& xml) {
    return FirmwareCatalogue::LoadFromBuffer(xml.data(), xml.size());
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

std::vector<std::string> RuleLines(const std::string& text) {
    std::vector<std::string> rules;
    for (const std::string& line : Lines(text)) {
        if (!line.empty() && line[0] != '#') {
            rules.push_back(line);
        }
    }
    return rules;
}

std::string Rule(const char* vid, const char* pid) {
    return std::string("SUBSYSTEM==\"usb\", ENV{DEVTYPE}==\"usb_device\", ATTR{idVendor}==\"") +
           vid + "\", ATTR{idProduct}==\"" + pid +
           "\", TAG+=\"uaccess\", GROUP=\"plugdev\", MODE=\"0660\"";
}

TEST(BuildUdevRules, RulesAndNotesPerCatalogue) {
    struct Case {
        const char* name;
        std::string xml;
        std::vector<std::string> rules;
        std::vector<std::string> noteStarts;
    };
    const Case cases[] = {
        {"ids written as sysfs shows them, in catalogue order",
         R"(<Device_list><Device VID="ABC" PID="1A"/><Device VID="1d6b" PID="2"/>
            <Device VID="0" PID="ffff"/></Device_list>)",
         {Rule("0abc", "001a"), Rule("1d6b", "0002"), Rule("0000", "ffff")},
         {}},
        {"a pair named twice, in any case, gets one rule",
         R"(<Device_list><Device VID="abc" PID="10"/><Device VID="ABC" PID="10"/>
            <Device VID="abc" PID="11"/></Device_list>)",
         {Rule("0abc", "0010"), Rule("0abc", "0011")},
         {}},
        {"unmatchable ids are left out with a note each",
         R"(<Device_list><Device VID="0abc" PID="10"/><Device VID="abc" PID="0x10"/>
            <Device PID="10"/><Device VID="abc" PID=""/><Device VID="12345" PID="10"/>
            <Device Device_Name="Ok" VID="abc" PID="12"/></Device_list>)",
         {Rule("0abc", "0012")},
         {"Device entry 1 (\"Sovra\") is left out: VID \"0abc\" matches no device (ids are "
          "compared as plain hexadecimal without leading zeros: write \"abc\")",
          "Device entry 2 (\"Sovra\") is left out: PID \"0x10\" matches no device (ids are "
          "compared as plain hexadecimal without leading zeros: write \"10\")",
          "Device entry 3 (\"Sovra\") is left out: no VID attribute",
          "Device entry 4 (\"Sovra\") is left out: PID \"\" matches no device (a USB id is 1 to "
          "4 hexadecimal digits)",
          "Device entry 5 (\"Sovra\") is left out: VID \"12345\""}},
        {"both ids wrong: both are named",
         R"(<Device_list><Device VID="0x1" PID="0002"/></Device_list>)",
         {},
         {"Device entry 1 (\"Sovra\") is left out: VID \"0x1\" matches no device (ids are "
          "compared as plain hexadecimal without leading zeros: write \"1\"); PID \"0002\""}},
        {"only the first Device_list's direct children count, as for the device list",
         R"(<Device_list><Group><Device VID="abc" PID="1"/></Group></Device_list>
            <Device_list><Device VID="abc" PID="2"/></Device_list>)",
         {},
         {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const UdevRulesResult result = BuildUdevRules(Catalogue(c.xml), "c.xml");
        EXPECT_EQ(RuleLines(result.text), c.rules) << result.text;
        EXPECT_EQ(result.rules, c.rules.size());
        ASSERT_EQ(result.notes.size(), c.noteStarts.size());
        for (std::size_t i = 0; i < c.noteStarts.size(); ++i) {
            EXPECT_EQ(result.notes[i].rfind(c.noteStarts[i], 0), 0u) << result.notes[i];
            // Each note is repeated in the file as a comment.
            EXPECT_NE(result.text.find("# " + result.notes[i] + "\n"), std::string::npos);
        }
    }
}

// A name or an id from the catalogue goes into a file udev parses: control
// characters must not be able to start a line of their own.
TEST(BuildUdevRules, CatalogueTextsCannotAddRuleLines) {
    const std::string injected = "SUBSYSTEM==&quot;usb&quot;, MODE=&quot;0666&quot;";
    const auto catalogue =
        Catalogue("<Device_list><Device Device_Name=\"a&#10;" + injected + "&#13;\xC2\x85" +
                  injected + "\" VID=\"abc\" PID=\"10\"/><Device VID=\"1&#10;" + injected +
                  "\" PID=\"1\"/></Device_list>");
    const UdevRulesResult result = BuildUdevRules(catalogue, "x\n" + std::string("MODE=\"0666\""));
    EXPECT_EQ(RuleLines(result.text), std::vector<std::string>{Rule("0abc", "0010")})
        << result.text;
    EXPECT_EQ(result.text.find('\r'), std::string::npos);
}

// udev stops reading a rules file at a line over 16 KiB and loses every rule
// after it: catalogue texts of any length make lines of at most 1 KiB, cut
// between characters.
TEST(BuildUdevRules, LongCatalogueTextsKeepLinesShort) {
    std::string longName;
    for (int k = 0; k < 10000; ++k) {
        longName += "\xC3\xA9";  // é, two bytes
    }
    const std::string longId(20000, 'z');
    const auto catalogue =
        Catalogue("<Device_list><Device Device_Name=\"" + longName +
                  "\" VID=\"abc\" PID=\"10\"/><Device Device_Name=\"" + longName + "\" VID=\"" +
                  longId + "\" PID=\"11\"/><Device VID=\"abc\" PID=\"12\"/></Device_list>");
    const UdevRulesResult result = BuildUdevRules(catalogue, std::string(5000, 's'));
    EXPECT_EQ(RuleLines(result.text),
              (std::vector<std::string>{Rule("0abc", "0010"), Rule("0abc", "0012")}));
    for (const std::string& line : Lines(result.text)) {
        EXPECT_LE(line.size(), 1024u) << line.substr(0, 80);
        if (line.ends_with("...")) {
            // The cut fell between characters: no first half of an é before it.
            EXPECT_NE(line[line.size() - 4], '\xC3') << line.substr(line.size() - 8);
        }
    }
    ASSERT_EQ(result.notes.size(), 1u);
    EXPECT_LE(result.notes[0].size(), 1022u);
}

class RunUdevRulesTest : public ::testing::Test {
  protected:
    std::string Write(const std::string& name, const std::string& bytes) {
        return tmp_.Write(name, bytes);
    }

    int Run(const UdevRulesOptions& options) {
        out_.str("");
        err_.str("");
        return RunUdevRules(options, out_, err_);
    }

    testing::TempDir tmp_{"sovra-udev-rules"};
    const std::string dir_ = tmp_.Path();
    testing::ScopedWorkingFolder cwd_;
    // Only the working folder can hold a catalogue for the look-up.
    testing::ScopedEnv configHome_{"XDG_CONFIG_HOME", dir_ + "/none"};
    testing::ScopedEnv dataDirs_{"XDG_DATA_DIRS", dir_ + "/none"};
    std::ostringstream out_;
    std::ostringstream err_;
};

TEST_F(RunUdevRulesTest, RefusesWhatWouldGrantNothing) {
    ASSERT_EQ(::chdir(dir_.c_str()), 0);
    EXPECT_EQ(Run({}), kExitRefused);
    EXPECT_EQ(out_.str(), "");
    const std::string none = dir_ + "/none/sovra-firmware-update/FirmwareUpdate.xml";
    EXPECT_EQ(err_.str(), "sovra-flash: no catalogue found (looked for ./FirmwareUpdate.xml, " +
                              none + ", " + none + "). Name one with --catalogue FILE.\n");

    EXPECT_EQ(Run({dir_ + "/none.xml", std::nullopt}), kExitRefused);
    EXPECT_EQ(err_.str(), "sovra-flash: cannot open catalogue '" + dir_ +
                              "/none.xml': No such file or directory.\n");

    // Nothing matchable: nothing printed and no file written, so an
    // install script cannot leave an empty rules file behind.
    const std::string output = dir_ + "/out.rules";
    const std::string file = Write("c.xml", R"(<Device_list><Device VID="0abc" PID="10"/>
        </Device_list>)");
    EXPECT_EQ(Run({file, output}), kExitRefused);
    EXPECT_EQ(out_.str(), "");
    EXPECT_EQ(err_.str().rfind("warning: Device entry 1 (\"Sovra\") is left out: VID", 0), 0u);
    EXPECT_NE(err_.str().find("no rules written"), std::string::npos) << err_.str();
    EXPECT_NE(::access(output.c_str(), F_OK), 0);
}

TEST_F(RunUdevRulesTest, MalformedCatalogueGivesRulesForWhatWasRead) {
    const std::string file =
        Write("bad.xml", R"(<Device_list><Device VID="abc" PID="10"/><Device VID=")");
    EXPECT_EQ(Run({file, std::nullopt}), kExitOk);
    EXPECT_EQ(RuleLines(out_.str()), std::vector<std::string>{Rule("0abc", "0010")});
    EXPECT_EQ(err_.str().rfind("warning: " + file + " is not well-formed (", 0), 0u) << err_.str();
}

TEST_F(RunUdevRulesTest, OutputFileHoldsWhatWouldBePrinted) {
    const std::string file = Write("c.xml", R"(<Device_list><Device VID="abc" PID="10"/>
        </Device_list>)");
    const std::string output = dir_ + "/70.rules";
    ASSERT_EQ(Run({file, std::nullopt}), kExitOk);
    const std::string printed = out_.str();
    ASSERT_EQ(Run({file, output}), kExitOk);
    EXPECT_EQ(out_.str(), "");
    std::ifstream in(output, std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), printed);

    EXPECT_EQ(Run({file, dir_ + "/missing-folder/70.rules"}), kExitRefused);
    EXPECT_EQ(err_.str().rfind("sovra-flash: cannot create '", 0), 0u) << err_.str();
}

// The rules file the package installs is this command's output for the
// sample catalogue; a change to either must show up here.
TEST_F(RunUdevRulesTest, PackagedRulesMatchTheSampleCatalogue) {
    ASSERT_EQ(::chdir(SOVRA_SOURCE_DIR "/samples"), 0);
    ASSERT_EQ(Run({}), kExitOk) << err_.str();
    EXPECT_EQ(err_.str(), "Catalogue: ./FirmwareUpdate.xml\n");
    EXPECT_EQ(RuleLines(out_.str()).size(), 3u);
    std::ifstream in(SOVRA_SOURCE_DIR "/packaging/70-sovra-beamformer.rules", std::ios::binary);
    ASSERT_TRUE(in);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), out_.str())
        << "regenerate it: (cd samples && sovra-flash udev-rules) > "
           "packaging/70-sovra-beamformer.rules";
}

}  // namespace
}  // namespace sovra::cli
