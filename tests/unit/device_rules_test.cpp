#include "device/device_rules.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "device/udev_source.h"

namespace sovra {
namespace {

using namespace std::string_literals;

// --- Hardware id parsing -------------------------------------------------

struct ParseCase {
    const char* name;
    std::string id;
    std::optional<HardwareIds> want;
};

class HardwareIdParseTest : public ::testing::TestWithParam<ParseCase> {};

TEST_P(HardwareIdParseTest, ReadsAllThreeNumbersOrNone) {
    EXPECT_EQ(ParseHardwareId(GetParam().id), GetParam().want);
}

constexpr HardwareIds kAbc{0xABC, 0x10, 0x102};

INSTANTIATE_TEST_SUITE_P(
    Cases, HardwareIdParseTest,
    ::testing::Values(
        ParseCase{"Plain", R"(USB\VID_0ABC&PID_0010&REV_0102)", kAbc},
        ParseCase{"LowerCase", R"(usb\vid_0abc&pid_0010&rev_0102)", kAbc},
        ParseCase{"MixedCase", R"(Usb\Vid_0aBc&Pid_0010&Rev_0102)", kAbc},
        ParseCase{"NoLeadingZeros", R"(USB\VID_ABC&PID_10&REV_102)", kAbc},
        ParseCase{"ManyLeadingZeros", R"(USB\VID_00000000000ABC&PID_0010&REV_0102)", kAbc},
        ParseCase{"TextAfterRevision", R"(USB\VID_0ABC&PID_0010&REV_0102&MI_00)", kAbc},
        ParseCase{"LetterAfterRevisionDigits", R"(USB\VID_0ABC&PID_0010&REV_0102XYZ)", kAbc},
        ParseCase{"StopsAfterPid", R"(USB\VID_0ABC&PID_0010)", std::nullopt},
        ParseCase{"RevWithoutDigits", R"(USB\VID_0ABC&PID_0010&REV_)", std::nullopt},
        ParseCase{"RevNotHex", R"(USB\VID_0ABC&PID_0010&REV_G1)", std::nullopt},
        ParseCase{"WrongBus", R"(HID\VID_0ABC&PID_0010&REV_0102)", std::nullopt},
        ParseCase{"LeadingSpaceBeforeLiteral", R"( USB\VID_0ABC&PID_0010&REV_0102)", std::nullopt},
        ParseCase{"SpaceBeforeNumbers", "USB\\VID_ 0ABC&PID_\t10&REV_\n102", kAbc},
        ParseCase{"SpaceInsideLiteral", R"(USB\VID_0ABC& PID_0010&REV_0102)", std::nullopt},
        ParseCase{"PlusSign", R"(USB\VID_+ABC&PID_0010&REV_0102)", kAbc},
        ParseCase{"MinusSignNegatesModulo", R"(USB\VID_-1&PID_-10&REV_0)",
                  HardwareIds{0xFFFFFFFFu, 0xFFFFFFF0u, 0}},
        ParseCase{"SignWithoutDigits", R"(USB\VID_-&PID_0010&REV_0102)", std::nullopt},
        ParseCase{"DoubleSign", R"(USB\VID_+-1&PID_0010&REV_0102)", std::nullopt},
        ParseCase{"HexPrefix", R"(USB\VID_0XABC&PID_0x10&REV_0X0102)", kAbc},
        ParseCase{"SignedHexPrefix", R"(USB\VID_-0X1&PID_0010&REV_0102)",
                  HardwareIds{0xFFFFFFFFu, 0x10, 0x102}},
        ParseCase{"PrefixWithoutDigit", R"(USB\VID_0X&PID_0010&REV_0102)", std::nullopt},
        ParseCase{"PrefixAtEnd", R"(USB\VID_0ABC&PID_0010&REV_0X)", std::nullopt},
        ParseCase{"ZeroAlone", R"(USB\VID_0&PID_0&REV_0)", HardwareIds{0, 0, 0}},
        ParseCase{"LargestValue", R"(USB\VID_FFFFFFFF&PID_0010&REV_0102)",
                  HardwareIds{0xFFFFFFFFu, 0x10, 0x102}},
        ParseCase{"OverlongNeverWraps", R"(USB\VID_100000ABC&PID_0010&REV_0102)", std::nullopt},
        ParseCase{"OverlongRevision", R"(USB\VID_ABC&PID_10&REV_123456789ABCDEF0123)",
                  std::nullopt},
        ParseCase{"StopsAtNul", "USB\\VID_0ABC&PID_0010\0&REV_0102"s, std::nullopt},
        ParseCase{"NulAfterRevision", "USB\\VID_0ABC&PID_0010&REV_0102\0&REV_9"s, kAbc},
        ParseCase{"Empty", "", std::nullopt}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(HardwareIdParseTest, OnlyTheFirst255BytesAreRead) {
    // The revision's digits begin at byte 253: two fit, the rest is cut.
    const std::string prefix = "USB\\VID_ABC&PID_10&REV_";
    const std::string fill(253 - prefix.size(), '0');
    const auto ids = ParseHardwareId(prefix + fill + "123");
    ASSERT_TRUE(ids.has_value());
    EXPECT_EQ(ids->revision, 0x12u);

    // With the whole revision beyond the cut there is no revision at all.
    const std::string pad(260, ' ');
    EXPECT_FALSE(ParseHardwareId("USB\\VID_ABC&PID_10&REV_" + pad + "1").has_value());
}

TEST(HardwareIdParseTest, NormaliseUpperCasesOnlyAsciiLetters) {
    EXPECT_EQ(NormaliseHardwareId("usb\\vid_\xE9z"), "USB\\VID_\xE9Z");
    EXPECT_EQ(NormaliseHardwareId("ab\0cd"s), "AB");
}

// --- sysfs attributes to hardware id ---------------------------------------

struct SysfsCase {
    const char* name;
    std::string vid, pid, rev;
    std::optional<std::string> want;
};

class SysfsIdTest : public ::testing::TestWithParam<SysfsCase> {};

TEST_P(SysfsIdTest, ExactlyFourHexDigitsEach) {
    const auto& c = GetParam();
    EXPECT_EQ(HardwareIdFromSysfs(c.vid, c.pid, c.rev), c.want);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SysfsIdTest,
    ::testing::Values(
        SysfsCase{"WithNewline", "0abc\n", "0010\n", "0102\n", R"(USB\VID_0ABC&PID_0010&REV_0102)"},
        SysfsCase{"WithoutNewline", "0abc", "0010", "0102", R"(USB\VID_0ABC&PID_0010&REV_0102)"},
        SysfsCase{"UpperCaseDigits", "0ABC", "FFFF", "0102", R"(USB\VID_0ABC&PID_FFFF&REV_0102)"},
        SysfsCase{"ThreeDigits", "abc", "0010", "0102", std::nullopt},
        SysfsCase{"FiveDigits", "00abc", "0010", "0102", std::nullopt},
        SysfsCase{"TwoNewlines", "0abc\n\n", "0010", "0102", std::nullopt},
        SysfsCase{"NotHex", "0abg", "0010", "0102", std::nullopt},
        SysfsCase{"Prefixed", "0x0a", "0010", "0102", std::nullopt},
        SysfsCase{"Space", "0abc", " 010", "0102", std::nullopt},
        SysfsCase{"EmptyRevision", "0abc", "0010", "", std::nullopt},
        SysfsCase{"EmbeddedNul", "0abc",
                  "00\0"s
                  "1",
                  "0102", std::nullopt}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(SysfsIdTest, EveryBuiltIdParsesBack) {
    const auto id = HardwareIdFromSysfs("1d6b", "0002", "0515\n");
    ASSERT_TRUE(id.has_value());
    EXPECT_EQ(ParseHardwareId(*id), (HardwareIds{0x1d6b, 0x2, 0x515}));
}

// The kernel's PRODUCT property of a device event: the same id, from hex
// numbers without leading zeros.
TEST(ProductIdTest, ThreeShortHexNumbersOrNothing) {
    struct Case {
        std::string product;
        std::optional<std::string> want;
    };
    const Case cases[] = {
        {"abc/10/102", R"(USB\VID_0ABC&PID_0010&REV_0102)"},
        {"1d6b/2/515", R"(USB\VID_1D6B&PID_0002&REV_0515)"},
        {"ffff/FFFF/0", R"(USB\VID_FFFF&PID_FFFF&REV_0000)"},
        {"abc/10", std::nullopt},
        {"abc/10/102/1", std::nullopt},
        {"abc//102", std::nullopt},
        {"abc/10/102\n", std::nullopt},
        {"10abc/10/102", std::nullopt},
        {"0x1/10/102", std::nullopt},
        {"", std::nullopt},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(HardwareIdFromProduct(c.product), c.want) << c.product;
    }
}

// --- Catalogue match and row text -------------------------------------------

FirmwareCatalogue Catalogue(const std::string& devices) {
    const std::string xml = "<Device_list>" + devices + "</Device_list>";
    return FirmwareCatalogue::LoadFromBuffer(xml.data(), xml.size());
}

PresentDevice Present(std::string path, std::string id) {
    return {std::move(path), std::move(id)};
}

struct MatchCase {
    const char* name;
    std::string devices;  // Device elements of the catalogue
    std::string hardwareId;
    std::optional<std::string> wantText;  // the row, or no row
};

class MatchTest : public ::testing::TestWithParam<MatchCase> {};

TEST_P(MatchTest, RowOrNone) {
    const auto& c = GetParam();
    const auto catalogue = Catalogue(c.devices);
    const std::vector<PresentDevice> present = {Present("/dev/bus/usb/001/002", c.hardwareId)};
    const auto rows = BuildDeviceRows(catalogue, present);
    if (!c.wantText) {
        EXPECT_TRUE(rows.empty());
        return;
    }
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].text, *c.wantText);
    EXPECT_EQ(rows[0].entry.path, "/dev/bus/usb/001/002");
}

const std::string kId = R"(USB\VID_0ABC&PID_0010&REV_0102)";

INSTANTIATE_TEST_SUITE_P(
    Cases, MatchTest,
    ::testing::Values(
        MatchCase{"LowerCaseVid", R"(<Device Device_Name="BF 100" VID="abc" PID="10"/>)", kId,
                  "BF 100, firmware ver. 01.02"},
        MatchCase{"UpperCaseVid", R"(<Device Device_Name="BF 100" VID="ABC" PID="10"/>)", kId,
                  "BF 100, firmware ver. 01.02"},
        MatchCase{"LeadingZeroInCataloguePid", R"(<Device VID="abc" PID="0010"/>)", kId,
                  std::nullopt},
        MatchCase{"LeadingZeroInCatalogueVid", R"(<Device VID="0abc" PID="10"/>)", kId,
                  std::nullopt},
        MatchCase{"PrefixInCatalogue", R"(<Device VID="0xabc" PID="10"/>)", kId, std::nullopt},
        MatchCase{"SpaceInCatalogue", R"(<Device VID=" abc" PID="10"/>)", kId, std::nullopt},
        MatchCase{"NoDeviceName", R"(<Device VID="abc" PID="10"/>)", kId,
                  "Sovra, firmware ver. 01.02"},
        MatchCase{"EmptyDeviceNameStaysEmpty", R"(<Device Device_Name="" VID="abc" PID="10"/>)",
                  kId, ", firmware ver. 01.02"},
        MatchCase{"NoFileNameOrRevStillListed",
                  R"(<Device Device_Name="Probe" VID="abc" PID="10"/>)", kId,
                  "Probe, firmware ver. 01.02"},
        MatchCase{"FirstMatchingElementWins",
                  R"(<Device Device_Name="Other" VID="abc" PID="11"/>)"
                  R"(<Device Device_Name="First" VID="abc" PID="10"/>)"
                  R"(<Device Device_Name="Second" VID="ABC" PID="10"/>)",
                  kId, "First, firmware ver. 01.02"},
        MatchCase{"AbsentVidNeverMatches", R"(<Device PID="10"/>)", kId, std::nullopt},
        MatchCase{"AbsentPidNeverMatches", R"(<Device VID="abc"/>)", kId, std::nullopt},
        MatchCase{"EmptyVidNeverMatches", R"(<Device VID="" PID="10"/>)", kId, std::nullopt},
        MatchCase{"DataInChildElementsIgnored", R"(<Device><VID>abc</VID><PID>10</PID></Device>)",
                  kId, std::nullopt},
        MatchCase{"AttributeNamesAreCaseSensitive", R"(<Device vid="abc" pid="10"/>)", kId,
                  std::nullopt},
        MatchCase{"UnknownIds", R"(<Device VID="abd" PID="10"/>)", kId, std::nullopt},
        MatchCase{"ZeroIdsRenderAsZero", R"(<Device VID="0" PID="0"/>)",
                  R"(USB\VID_0000&PID_0000&REV_0000)", "Sovra, firmware ver. 00.00"},
        MatchCase{"RevisionBytesPrintedInDecimal", R"(<Device VID="abc" PID="10"/>)",
                  R"(USB\VID_0ABC&PID_0010&REV_0110)", "Sovra, firmware ver. 01.16"},
        MatchCase{"RevisionBothBytesDecimal", R"(<Device VID="abc" PID="10"/>)",
                  R"(USB\VID_0ABC&PID_0010&REV_1234)", "Sovra, firmware ver. 18.52"},
        MatchCase{"RevisionByteAbove99", R"(<Device VID="abc" PID="10"/>)",
                  R"(USB\VID_0ABC&PID_0010&REV_FF09)", "Sovra, firmware ver. 255.09"},
        MatchCase{"RevisionHighBitsIgnored", R"(<Device VID="abc" PID="10"/>)",
                  R"(USB\VID_0ABC&PID_0010&REV_30102)", "Sovra, firmware ver. 01.02"},
        MatchCase{"UnparsableIdNoRow", R"(<Device VID="abc" PID="10"/>)",
                  R"(USB\VID_0ABC&PID_0010)", std::nullopt}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(MatchTest, NestedOrLaterDeviceListsAreNotSeen) {
    const std::string xml =
        R"(<Device_list><Group><Device VID="abc" PID="10"/></Group></Device_list>)"
        R"(<Device_list><Device VID="abc" PID="10"/></Device_list>)";
    const auto catalogue = FirmwareCatalogue::LoadFromBuffer(xml.data(), xml.size());
    EXPECT_FALSE(MatchDeviceElement(catalogue, 0xABC, 0x10));
}

TEST(MatchTest, EmptyCatalogueListsNothing) {
    const std::vector<PresentDevice> present = {Present("/dev/bus/usb/001/002", kId)};
    EXPECT_TRUE(BuildDeviceRows(FirmwareCatalogue{}, present).empty());
}

TEST(MatchTest, EntryCarriesIdsRevisionAndPath) {
    const auto catalogue = Catalogue(R"(<Device VID="abc" PID="10"/>)");
    const std::vector<PresentDevice> present = {Present("/dev/bus/usb/003/017", kId)};
    const auto rows = BuildDeviceRows(catalogue, present);
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].entry, (DeviceEntry{0xABC, 0x10, 0x102, "/dev/bus/usb/003/017"}));
}

TEST(RenderHexTest, LowerCaseWithoutLeadingZeros) {
    EXPECT_EQ(RenderHex(0), "0");
    EXPECT_EQ(RenderHex(0xABC), "abc");
    EXPECT_EQ(RenderHex(0x10), "10");
    EXPECT_EQ(RenderHex(0xFFFFFFFFu), "ffffffff");
}

// --- Order of the rows -----------------------------------------------------------

TEST(RowOrderTest, AlphabeticalIgnoringCaseThenPathThenText) {
    const auto catalogue = Catalogue(R"(<Device Device_Name="beta" VID="1" PID="1"/>)"
                                     R"(<Device Device_Name="Alpha" VID="2" PID="2"/>)"
                                     R"(<Device Device_Name="ALPHA" VID="3" PID="3"/>)"
                                     R"(<Device Device_Name="Beta" VID="4" PID="4"/>)");
    const std::vector<PresentDevice> present = {
        Present("/dev/bus/usb/001/009", R"(USB\VID_1&PID_1&REV_0100)"),
        Present("/dev/bus/usb/001/002", R"(USB\VID_4&PID_4&REV_0100)"),
        Present("/dev/bus/usb/001/005", R"(USB\VID_2&PID_2&REV_0100)"),
        Present("/dev/bus/usb/001/003", R"(USB\VID_3&PID_3&REV_0100)"),
        Present("/dev/bus/usb/001/004", R"(USB\VID_2&PID_2&REV_0099)"),
    };
    const auto rows = BuildDeviceRows(catalogue, present);
    std::vector<std::string> got;
    for (const auto& r : rows) {
        got.push_back(r.text + " @" + r.entry.path.substr(r.entry.path.size() - 3));
    }
    const std::vector<std::string> want = {
        "Alpha, firmware ver. 00.153 @004",  // REV_0099: bytes 0x00 and 0x99
        "ALPHA, firmware ver. 01.00 @003",   // equal ignoring case: the path decides
        "Alpha, firmware ver. 01.00 @005",  "Beta, firmware ver. 01.00 @002",
        "beta, firmware ver. 01.00 @009",
    };
    EXPECT_EQ(got, want);
}

TEST(RowOrderTest, IndependentOfDiscoveryOrder) {
    const auto catalogue = Catalogue(R"(<Device Device_Name="Z" VID="1" PID="1"/>)"
                                     R"(<Device Device_Name="a" VID="2" PID="2"/>)"
                                     R"(<Device Device_Name="M" VID="3" PID="3"/>)");
    std::vector<PresentDevice> present = {
        Present("/dev/bus/usb/001/002", R"(USB\VID_1&PID_1&REV_0100)"),
        Present("/dev/bus/usb/001/003", R"(USB\VID_2&PID_2&REV_0100)"),
        Present("/dev/bus/usb/001/004", R"(USB\VID_3&PID_3&REV_0100)"),
        Present("/dev/bus/usb/001/005", R"(USB\VID_3&PID_3&REV_0100)"),
    };
    const auto first = BuildDeviceRows(catalogue, present);
    std::reverse(present.begin(), present.end());
    const auto second = BuildDeviceRows(catalogue, present);
    ASSERT_EQ(first.size(), 4u);
    ASSERT_EQ(second.size(), 4u);
    for (std::size_t i = 0; i < first.size(); ++i) {
        EXPECT_EQ(first[i].entry, second[i].entry) << i;
    }
    EXPECT_EQ(first[0].text, "a, firmware ver. 01.00");
}

TEST(RowOrderTest, NonAsciiBytesSortAfterAscii) {
    DeviceRow plain{"zeta", {}};
    DeviceRow accented{"\xC3\x89tude", {}};
    EXPECT_TRUE(RowBefore(plain, accented));
    EXPECT_FALSE(RowBefore(accented, plain));
}

// --- The list's selection rules -------------------------------------------------

TEST(DeviceListTest, SelectionAndStartUpdateFollowEveryRebuild) {
    const auto catalogue = Catalogue(R"(<Device Device_Name="BF" VID="abc" PID="10"/>)");
    const PresentDevice a = Present("/dev/bus/usb/001/002", kId);
    const PresentDevice b = Present("/dev/bus/usb/001/003", kId);
    DeviceList list;

    EXPECT_EQ(list.Selection(), DeviceList::kNoSelection);
    EXPECT_FALSE(list.StartUpdateEnabled());

    struct Step {
        std::vector<PresentDevice> present;
        std::size_t rows;
    };
    // Two devices with the second selected; unplug and replug either one,
    // then the last: row 0 is selected after every rebuild that leaves a row.
    const std::vector<Step> steps = {
        {{a, b}, 2}, {{b}, 1}, {{a, b}, 2}, {{a}, 1}, {{}, 0}, {{a}, 1},
    };
    for (std::size_t i = 0; i < steps.size(); ++i) {
        list.Select(1);
        list.Rebuild(catalogue, steps[i].present);
        EXPECT_EQ(list.Rows().size(), steps[i].rows) << "step " << i;
        EXPECT_EQ(list.StartUpdateEnabled(), steps[i].rows > 0) << "step " << i;
        if (steps[i].rows > 0) {
            EXPECT_EQ(list.Selection(), 0) << "step " << i;
            ASSERT_NE(list.SelectedEntry(), nullptr);
            EXPECT_EQ(list.SelectedEntry()->path, list.Rows()[0].entry.path);
        } else {
            EXPECT_EQ(list.Selection(), DeviceList::kNoSelection) << "step " << i;
            EXPECT_EQ(list.SelectedEntry(), nullptr);
        }
    }
}

// Which devices coming or going call for a rebuild: those the catalogue
// knows, and a listed one whatever its event carries; nothing else.
TEST(DeviceListTest, OnlyKnownOrListedDevicesConcernTheList) {
    const auto catalogue = Catalogue(R"(<Device VID="abc" PID="10"/><Device VID="abc" PID="11"/>)");
    DeviceList list;
    list.Rebuild(catalogue, std::vector<PresentDevice>{Present("/dev/bus/usb/001/002", kId)});
    struct Case {
        const char* name;
        std::vector<DeviceChange> changes;
        bool concerns;
    };
    const Case cases[] = {
        {"nothing", {}, false},
        {"known model", {{"/dev/bus/usb/001/009", R"(USB\VID_0ABC&PID_0011&REV_0001)"}}, true},
        {"known, no node", {{"", R"(USB\VID_0ABC&PID_0010&REV_0001)"}}, true},
        {"unknown model", {{"/dev/bus/usb/001/009", R"(USB\VID_0781&PID_5567&REV_0100)"}}, false},
        {"no ids", {{"/dev/bus/usb/001/009", ""}}, false},
        {"listed, no ids", {{"/dev/bus/usb/001/002", ""}}, true},
        {"unknown then known",
         {{"/dev/bus/usb/001/009", R"(USB\VID_0781&PID_5567&REV_0100)"},
          {"/dev/bus/usb/001/010", R"(USB\VID_0ABC&PID_0010&REV_0102)"}},
         true},
        {"same vendor, other product", {{"", R"(USB\VID_0ABC&PID_0012&REV_0102)"}}, false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(list.Concerns(catalogue, c.changes), c.concerns) << c.name;
    }
}

TEST(DeviceListTest, SelectOutsideTheListClearsTheSelection) {
    const auto catalogue = Catalogue(R"(<Device VID="abc" PID="10"/>)");
    const std::vector<PresentDevice> present = {Present("/dev/bus/usb/001/002", kId)};
    DeviceList list;
    list.Rebuild(catalogue, present);
    for (int bad : {-1, 1, 1000}) {
        list.Select(0);
        list.Select(bad);
        EXPECT_EQ(list.SelectedEntry(), nullptr) << bad;
    }
    list.Clear();
    EXPECT_TRUE(list.Rows().empty());
    EXPECT_FALSE(list.StartUpdateEnabled());
}

}  // namespace
}  // namespace sovra
