#include "catalogue/catalogue.h"

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "tests/support/temp_dir.h"

namespace sovra {
namespace {

using testing::TempDir;

struct Row {
    std::string text;
    std::string file;
    std::string deviceName;
    std::string version;
    bool operator==(const Row&) const = default;
};

void PrintTo(const Row& r, std::ostream* os) {
    *os << "{\"" << r.text << "\", \"" << r.file << "\", \"" << r.deviceName << "\", \""
        << r.version << "\"}";
}

std::vector<Row> Rows(const FirmwareCatalogue& catalogue) {
    std::vector<Row> rows;
    for (const FirmwareChoice& c : FirmwareChoices(catalogue)) {
        EXPECT_NE(c.entry, nullptr);
        if (c.entry != nullptr) {
            rows.push_back({c.text, c.entry->fileName, c.entry->deviceName, c.entry->version});
        }
    }
    return rows;
}

struct CatalogueCase {
    const char* name;
    std::string xml;
    std::vector<Row> rows;
    bool complete = true;
};

std::string Utf16Le(const std::string& ascii, char16_t extra) {
    std::string out = "\xFF\xFE";
    auto put = [&out](char16_t c) {
        out.push_back(static_cast<char>(c & 0xFF));
        out.push_back(static_cast<char>(c >> 8));
    };
    for (char c : ascii) {
        if (c == '@') {
            put(extra);
        } else {
            put(static_cast<char16_t>(c));
        }
    }
    return out;
}

const CatalogueCase kCases[] = {
    {"FourDeviceExample",
     R"(<Device_list>
  <Device File_Name="bf100_0102.img" REV="01.02" Device_Name="Beamformer 100" VID="abc" PID="10"/>
  <Device File_Name="bf200_0200.img" REV="02.00" VID="ABC" PID="11"/>
  <Device Device_Name="Beamformer 300" VID="abc" PID="1a"/>
  <Device File_Name="test.img" Device_Name="Test" VID="0abc" PID="12"/>
</Device_list>)",
     {{"Beamformer 100, firmware ver. 01.02", "bf100_0102.img", "Beamformer 100", "01.02"},
      {"Sovra, firmware ver. 02.00", "bf200_0200.img", "", "02.00"}}},
    {"EmptyDeviceNameIsANameNotTheDefault",
     R"(<Device_list><Device File_Name="a.img" REV="1.0" Device_Name=""/></Device_list>)",
     {{", firmware ver. 1.0", "a.img", "", "1.0"}}},
    {"EmptyRevStillQualifies",
     R"(<Device_list><Device File_Name="a.img" REV=""/></Device_list>)",
     {{"Sovra, firmware ver. ", "a.img", "", ""}}},
    {"EmptyFileNameStillQualifies",
     R"(<Device_list><Device File_Name="" REV="3"/></Device_list>)",
     {{"Sovra, firmware ver. 3", "", "", "3"}}},
    {"RevIsDataNotAFormat",
     R"(<Device_list><Device File_Name="a.img" REV="5%s%n%d" Device_Name="%s"/></Device_list>)",
     {{"%s, firmware ver. 5%s%n%d", "a.img", "%s", "5%s%n%d"}}},
    {"NamesMatchWithCase",
     R"(<Device_list><Device File_Name="a.img" rev="1"/><device File_Name="b" REV="1"/>
        <Device file_name="c" REV="1"/></Device_list>)",
     {}},
    {"OnlyTheFirstDeviceList",
     R"(<Device_list><Device File_Name="a" REV="1"/></Device_list>
        <Device_list><Device File_Name="b" REV="2"/></Device_list>)",
     {{"Sovra, firmware ver. 1", "a", "", "1"}}},
    {"NestedDevicesAreNotSeen",
     R"(<Device_list><Group><Device File_Name="a" REV="1"/></Group>
        <Device File_Name="b" REV="2"><Device File_Name="c" REV="3"/></Device></Device_list>)",
     {{"Sovra, firmware ver. 2", "b", "", "2"}}},
    {"OtherRootGivesNothing",
     R"(<Catalogue><Device_list><Device File_Name="a" REV="1"/></Device_list>
        <Device File_Name="b" REV="2"/></Catalogue>)",
     {}},
    {"FirstOfTwoRevAttributes",
     R"(<Device_list><Device File_Name="a" REV="first" REV="second"/></Device_list>)",
     {{"Sovra, firmware ver. first", "a", "", "first"}}},
    {"DataInChildElementsCountsForNothing",
     R"(<Device_list><Device><File_Name>a</File_Name><REV>1</REV></Device></Device_list>)",
     {}},
    {"DocumentOrderAndDuplicatesKept",
     R"(<Device_list><Device File_Name="z" REV="9"/><Other/><Device File_Name="a" REV="1"/>
        <Device File_Name="z" REV="9"/></Device_list>)",
     {{"Sovra, firmware ver. 9", "z", "", "9"},
      {"Sovra, firmware ver. 1", "a", "", "1"},
      {"Sovra, firmware ver. 9", "z", "", "9"}}},
    {"ReferencesDecodedAndWhitespaceFlattened",
     "<?xml version=\"1.0\"?><!-- old list below --><Device_list>"
     "<Device File_Name=\"a&amp;b.img\" REV=\"1&#46;0\tbeta\nrc\" Device_Name=\"&lt;X&gt;\"/>"
     "</Device_list>",
     {{"<X>, firmware ver. 1.0 beta rc", "a&b.img", "<X>", "1.0 beta rc"}}},
    {"NotWellFormedKeepsWhatWasReadBefore",
     R"(<Device_list><Device File_Name="a" REV="1"/><Device File_Name="b" REV="2"/><Device File_)",
     {{"Sovra, firmware ver. 1", "a", "", "1"}, {"Sovra, firmware ver. 2", "b", "", "2"}},
     false},
    {"UnclosedListStillGivesItsEntries",
     R"(<Device_list><Device File_Name="a" REV="1"/>)",
     {{"Sovra, firmware ver. 1", "a", "", "1"}},
     false},
    {"EmptyFile", "", {}, false},
    {"Utf16WithByteOrderMark",
     Utf16Le(
         R"(<Device_list><Device File_Name="x.img" REV="2" Device_Name="Strahl@"/></Device_list>)",
         u'\u00E4'),
     {{"Strahl\xC3\xA4, firmware ver. 2", "x.img", "Strahl\xC3\xA4", "2"}}},
    {"Latin1Declared",
     "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>"
     "<Device_list><Device File_Name=\"x\" REV=\"\xB2\"/></Device_list>",
     {{"Sovra, firmware ver. \xC2\xB2", "x", "", "\xC2\xB2"}}},
};

void PrintTo(const CatalogueCase& c, std::ostream* os) {
    *os << c.name;
}

class CatalogueFileTest : public ::testing::TestWithParam<CatalogueCase> {};

TEST_P(CatalogueFileTest, GivesTheRowsInOrder) {
    const CatalogueCase& c = GetParam();
    TempDir dir;
    const FirmwareCatalogue catalogue = FirmwareCatalogue::LoadFrom(dir.Write("c.xml", c.xml));
    EXPECT_EQ(Rows(catalogue), c.rows);
    EXPECT_EQ(catalogue.ParsedCompletely(), c.complete) << catalogue.ParseMessage();
    EXPECT_EQ(catalogue.Outcome(),
              c.complete ? CatalogueLoad::kComplete : CatalogueLoad::kMalformed);
    // The file and the buffer roads must agree.
    EXPECT_EQ(Rows(FirmwareCatalogue::LoadFromBuffer(c.xml.data(), c.xml.size())), c.rows);
}

INSTANTIATE_TEST_SUITE_P(Catalogues, CatalogueFileTest, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(CatalogueTest, MalformedReportsWhereTheParserStopped) {
    const std::string xml = R"(<Device_list><Device File_Name="a" REV="1"/></Wrong>)";
    const auto catalogue = FirmwareCatalogue::LoadFromBuffer(xml.data(), xml.size());
    EXPECT_EQ(catalogue.Outcome(), CatalogueLoad::kMalformed);
    EXPECT_GT(catalogue.ParseOffset(), 40);
    EXPECT_NE(
        catalogue.ParseMessage().find(" at offset " + std::to_string(catalogue.ParseOffset())),
        std::string::npos)
        << catalogue.ParseMessage();
}

TEST(CatalogueTest, MissingOrUnreadableFileIsAnEmptyCatalogue) {
    TempDir dir;
    const auto missing = FirmwareCatalogue::LoadFrom(dir.Path() + "/none.xml");
    EXPECT_EQ(missing.Outcome(), CatalogueLoad::kNotOpened);
    EXPECT_EQ(missing.ParseMessage(), "No such file or directory");
    EXPECT_TRUE(Rows(missing).empty());
    EXPECT_TRUE(missing.Devices().empty());

    const auto folder = FirmwareCatalogue::LoadFrom(dir.Path());
    EXPECT_EQ(folder.Outcome(), CatalogueLoad::kUnreadable);
    EXPECT_TRUE(folder.Devices().empty());
}

TEST(CatalogueTest, OversizedFileIsRefusedUnread) {
    TempDir dir;
    const std::string file =
        dir.Write("big.xml", R"(<Device_list><Device File_Name="a" REV="1"/>)");
    // Sparse: the size is what counts, not the disk it takes.
    ASSERT_EQ(::truncate(file.c_str(), static_cast<off_t>(kCatalogueMaxBytes + 1)), 0);
    const auto big = FirmwareCatalogue::LoadFrom(file);
    EXPECT_EQ(big.Outcome(), CatalogueLoad::kUnreadable);
    EXPECT_TRUE(Rows(big).empty());

    // Exactly at the limit is still read (and is malformed: NULs after the list).
    ASSERT_EQ(::truncate(file.c_str(), static_cast<off_t>(kCatalogueMaxBytes)), 0);
    const auto limit = FirmwareCatalogue::LoadFrom(file);
    EXPECT_NE(limit.Outcome(), CatalogueLoad::kUnreadable);
    EXPECT_EQ(Rows(limit).size(), 1u);
}

// The bare name, resolved against the current directory.
TEST(CatalogueTest, LoadDefaultReadsTheCurrentDirectory) {
    TempDir dir;
    dir.Write(kCatalogueFileName,
              R"(<Device_list><Device File_Name="here.img" REV="7"/></Device_list>)");
    char saved[4096];
    ASSERT_NE(::getcwd(saved, sizeof saved), nullptr);
    ASSERT_EQ(::chdir(dir.Path().c_str()), 0);
    const auto here = FirmwareCatalogue::LoadDefault();
    ASSERT_EQ(::chdir(saved), 0);
    ASSERT_EQ(Rows(here).size(), 1u);
    EXPECT_EQ(Rows(here)[0].file, "here.img");

    TempDir empty;
    ASSERT_EQ(::chdir(empty.Path().c_str()), 0);
    // Nothing in the other places of the look-up either.
    ASSERT_EQ(::setenv("XDG_CONFIG_HOME", empty.Path().c_str(), 1), 0);
    ASSERT_EQ(::setenv("XDG_DATA_DIRS", empty.Path().c_str(), 1), 0);
    const auto none = FirmwareCatalogue::LoadDefault();
    ::unsetenv("XDG_CONFIG_HOME");
    ::unsetenv("XDG_DATA_DIRS");
    ASSERT_EQ(::chdir(saved), 0);
    EXPECT_EQ(none.Outcome(), CatalogueLoad::kNotFound);
    EXPECT_TRUE(Rows(none).empty());
}

// What the device list reads: an empty value is a value, absence is none,
// and the first attribute of a name counts.
TEST(CatalogueTest, DevicesKeepTheFirstAttributeOfEachName) {
    const std::string xml = R"(<Device_list><Device VID="" PID="1A" PID="2"/>text<Device/>)"
                            R"(</Device_list>)";
    const auto catalogue = FirmwareCatalogue::LoadFromBuffer(xml.data(), xml.size());
    const std::vector<CatalogueDevice>& devices = catalogue.Devices();
    ASSERT_EQ(devices.size(), 2u);
    EXPECT_EQ(devices[0].vid, "");
    EXPECT_EQ(devices[0].pid, "1A");
    EXPECT_EQ(devices[1].vid, std::nullopt);
    EXPECT_EQ(devices[1].DisplayName(), kDefaultDisplayName);
    EXPECT_TRUE(FirmwareCatalogue().Devices().empty());
}

// A VID or PID value names the id "%x" renders as that text, in either
// case; any other spelling names no id a device can have.
TEST(CatalogueTest, ReadUsbIdTakesOnlyTheRenderedForm) {
    struct Case {
        const char* text;
        std::optional<std::uint16_t> id;
    };
    const Case cases[] = {
        {"abc", 0x0abc},         {"ABC", 0x0abc},         {"aBc", 0x0abc},
        {"0", 0x0000},           {"1", 0x0001},           {"ffff", 0xffff},
        {"FFFF", 0xffff},        {"0abc", std::nullopt},  {"00", std::nullopt},
        {"0x10", std::nullopt},  {"0X10", std::nullopt},  {"", std::nullopt},
        {"12345", std::nullopt}, {"10000", std::nullopt}, {" 10", std::nullopt},
        {"10 ", std::nullopt},   {"+10", std::nullopt},   {"-1", std::nullopt},
        {"g", std::nullopt},     {"1g", std::nullopt},    {"h10", std::nullopt},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ReadUsbId(c.text), c.id) << '"' << c.text << '"';
    }
}

// Which Device element a device with ids abc:10 is listed under.
TEST(CatalogueTest, FindDeviceTakesTheFirstElementNamingTheIds) {
    struct Case {
        const char* name;
        std::string devices;
        int want;  // index into Devices(), -1 for none
    };
    const Case cases[] = {
        {"lower case", R"(<Device VID="abc" PID="10"/>)", 0},
        {"upper case", R"(<Device VID="ABC" PID="10"/>)", 0},
        {"leading zero in PID", R"(<Device VID="abc" PID="0010"/>)", -1},
        {"leading zero in VID", R"(<Device VID="0abc" PID="10"/>)", -1},
        {"prefix", R"(<Device VID="0xabc" PID="10"/>)", -1},
        {"space", R"(<Device VID=" abc" PID="10"/>)", -1},
        {"absent VID", R"(<Device PID="10"/>)", -1},
        {"absent PID", R"(<Device VID="abc"/>)", -1},
        {"empty VID", R"(<Device VID="" PID="10"/>)", -1},
        {"ids in child elements", R"(<Device><VID>abc</VID><PID>10</PID></Device>)", -1},
        {"attribute names are case-sensitive", R"(<Device vid="abc" pid="10"/>)", -1},
        {"other vendor", R"(<Device VID="abd" PID="10"/>)", -1},
        {"first match wins",
         R"(<Device VID="abc" PID="11"/><Device VID="abc" PID="10"/><Device VID="ABC" PID="10"/>)",
         1},
    };
    for (const Case& c : cases) {
        const std::string xml = "<Device_list>" + c.devices + "</Device_list>";
        const auto catalogue = FirmwareCatalogue::LoadFromBuffer(xml.data(), xml.size());
        const CatalogueDevice* found = catalogue.FindDevice(0xABC, 0x10);
        const int index = found == nullptr ? -1 : static_cast<int>(found - &catalogue.Devices()[0]);
        EXPECT_EQ(index, c.want) << c.name;
    }
}

// SHA256 pins an entry to one file: either case, the first attribute of
// the name, and anything but 64 hexadecimal digits matches nothing.
TEST(CatalogueTest, Sha256PinsAnEntryToOneFile) {
    const std::vector<std::uint8_t> file = {'b', 'f', '1', '0', '0'};
    const Sha256Digest digest = Sha256(file);
    std::string lower = Sha256Hex(digest);
    std::string upper = lower;
    for (char& c : upper) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    std::string other = lower;
    other[63] = other[63] == '0' ? '1' : '0';
    struct Case {
        std::string attributes;
        PinCheck check;
    };
    const Case cases[] = {
        {"", PinCheck::kNotPinned},
        {"SHA256=\"" + lower + "\"", PinCheck::kMatches},
        {"SHA256=\"" + upper + "\"", PinCheck::kMatches},
        {"SHA256=\"" + lower + "\" SHA256=\"" + other + "\"", PinCheck::kMatches},
        {"SHA256=\"" + other + "\" SHA256=\"" + lower + "\"", PinCheck::kMismatch},
        {"sha256=\"" + other + "\"", PinCheck::kNotPinned},
        {"SHA256=\"\"", PinCheck::kMalformed},
        {"SHA256=\" " + lower + "\"", PinCheck::kMalformed},
        {"SHA256=\"" + lower.substr(0, 63) + "g\"", PinCheck::kMalformed},
        {"SHA256=\"" + lower + "0\"", PinCheck::kMalformed},
    };
    for (const Case& c : cases) {
        const std::string xml = R"(<Device_list><Device File_Name="a.img" REV="1" )" +
                                c.attributes + "/></Device_list>";
        const auto catalogue = FirmwareCatalogue::LoadFromBuffer(xml.data(), xml.size());
        const auto choices = FirmwareChoices(catalogue);
        ASSERT_EQ(choices.size(), 1u) << c.attributes;
        EXPECT_EQ(CheckPinnedDigest(*choices[0].entry, digest), c.check) << c.attributes;
    }
}

}  // namespace
}  // namespace sovra
