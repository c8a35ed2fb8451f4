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

// --- Ids from udev ------------------------------------------------------------

struct SysfsCase {
    const char* name;
    std::string vid, pid, rev;
    std::optional<UsbIds> want;
};

class SysfsIdTest : public ::testing::TestWithParam<SysfsCase> {};

TEST_P(SysfsIdTest, ExactlyFourHexDigitsEach) {
    const auto& c = GetParam();
    EXPECT_EQ(UsbIdsFromSysfs(c.vid, c.pid, c.rev), c.want);
}

constexpr UsbIds kAbc{0xABC, 0x10, 0x102};

INSTANTIATE_TEST_SUITE_P(
    Cases, SysfsIdTest,
    ::testing::Values(SysfsCase{"WithNewline", "0abc\n", "0010\n", "0102\n", kAbc},
                      SysfsCase{"WithoutNewline", "0abc", "0010", "0102", kAbc},
                      SysfsCase{"UpperCaseDigits", "0ABC", "FFFF", "0102",
                                UsbIds{0xABC, 0xFFFF, 0x102}},
                      SysfsCase{"ThreeDigits", "abc", "0010", "0102", std::nullopt},
                      SysfsCase{"FiveDigits", "00abc", "0010", "0102", std::nullopt},
                      SysfsCase{"TwoNewlines", "0abc\n\n", "0010", "0102", std::nullopt},
                      SysfsCase{"NotHex", "0abg", "0010", "0102", std::nullopt},
                      SysfsCase{"Prefixed", "0x0a", "0010", "0102", std::nullopt},
                      SysfsCase{"Space", "0abc", " 010", "0102", std::nullopt},
                      SysfsCase{"Signed", "0abc", "+010", "0102", std::nullopt},
                      SysfsCase{"EmptyRevision", "0abc", "0010", "", std::nullopt},
                      SysfsCase{"EmbeddedNul", "0abc",
                                "00\0"s
                                "1",
                                "0102", std::nullopt}),
    [](const auto& info) { return std::string(info.param.name); });

// The kernel's PRODUCT property of a device event: the same ids, as hex
// numbers without leading zeros.
TEST(ProductIdTest, ThreeShortHexNumbersOrNothing) {
    struct Case {
        std::string product;
        std::optional<UsbIds> want;
    };
    const Case cases[] = {
        {"abc/10/102", kAbc},
        {"1d6b/2/515", UsbIds{0x1D6B, 0x2, 0x515}},
        {"ffff/FFFF/0", UsbIds{0xFFFF, 0xFFFF, 0}},
        {"abc/10", std::nullopt},
        {"abc/10/102/1", std::nullopt},
        {"abc//102", std::nullopt},
        {"abc/10/", std::nullopt},
        {"abc/10/102\n", std::nullopt},
        {"10abc/10/102", std::nullopt},
        {"0x1/10/102", std::nullopt},
        {"-1/10/102", std::nullopt},
        {"", std::nullopt},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(UsbIdsFromProduct(c.product), c.want) << c.product;
    }
}

// --- Catalogue match and row text -------------------------------------------

FirmwareCatalogue Catalogue(const std::string& devices) {
    const std::string xml = "<Device_list>" + devices + "</Device_list>";
    return FirmwareCatalogue::LoadFromBuffer(xml.data(), xml.size());
}

PresentDevice Present(std::string path, UsbIds ids) {
    return {std::move(path), ids};
}

// The ids read from the catalogue are the catalogue's own test; here, what
// a row says once a device is known.
struct RowCase {
    const char* name;
    std::string devices;  // Device elements of the catalogue
    UsbIds ids;
    std::optional<std::string> wantText;  // the row, or no row
};

class RowTextTest : public ::testing::TestWithParam<RowCase> {};

TEST_P(RowTextTest, RowOrNone) {
    const auto& c = GetParam();
    const auto catalogue = Catalogue(c.devices);
    const std::vector<PresentDevice> present = {Present("/dev/bus/usb/003/017", c.ids)};
    const auto rows = BuildDeviceRows(catalogue, present);
    if (!c.wantText) {
        EXPECT_TRUE(rows.empty());
        return;
    }
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].text, *c.wantText);
    EXPECT_EQ(rows[0].entry,
              (DeviceEntry{c.ids.vendor, c.ids.product, c.ids.revision, "/dev/bus/usb/003/017"}));
}

constexpr const char* kBf100 = R"(<Device Device_Name="BF 100" VID="abc" PID="10"/>)";
constexpr const char* kNameless = R"(<Device VID="abc" PID="10"/>)";

INSTANTIATE_TEST_SUITE_P(
    Cases, RowTextTest,
    ::testing::Values(
        RowCase{"Named", kBf100, kAbc, "BF 100, firmware ver. 01.02"},
        RowCase{"NoDeviceName", kNameless, kAbc, "Sovra, firmware ver. 01.02"},
        RowCase{"EmptyDeviceNameStaysEmpty", R"(<Device Device_Name="" VID="abc" PID="10"/>)", kAbc,
                ", firmware ver. 01.02"},
        RowCase{"FirstMatchingElementNames",
                R"(<Device Device_Name="First" VID="abc" PID="10"/>)"
                R"(<Device Device_Name="Second" VID="ABC" PID="10"/>)",
                kAbc, "First, firmware ver. 01.02"},
        RowCase{"UnknownIds", kBf100, UsbIds{0xABC, 0x11, 0x102}, std::nullopt},
        RowCase{"ZeroIds", R"(<Device VID="0" PID="0"/>)", UsbIds{}, "Sovra, firmware ver. 00.00"},
        RowCase{"RevisionBytesPrintedInDecimal", kNameless, UsbIds{0xABC, 0x10, 0x0110},
                "Sovra, firmware ver. 01.16"},
        RowCase{"RevisionBothBytesDecimal", kNameless, UsbIds{0xABC, 0x10, 0x1234},
                "Sovra, firmware ver. 18.52"},
        RowCase{"RevisionByteAbove99", kNameless, UsbIds{0xABC, 0x10, 0xFF09},
                "Sovra, firmware ver. 255.09"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(RowTextTest, EmptyCatalogueListsNothing) {
    const std::vector<PresentDevice> present = {Present("/dev/bus/usb/001/002", kAbc)};
    EXPECT_TRUE(BuildDeviceRows(FirmwareCatalogue{}, present).empty());
}

// --- Order of the rows -----------------------------------------------------------

TEST(RowOrderTest, AlphabeticalIgnoringCaseThenPathThenText) {
    const auto catalogue = Catalogue(R"(<Device Device_Name="beta" VID="1" PID="1"/>)"
                                     R"(<Device Device_Name="Alpha" VID="2" PID="2"/>)"
                                     R"(<Device Device_Name="ALPHA" VID="3" PID="3"/>)"
                                     R"(<Device Device_Name="Beta" VID="4" PID="4"/>)");
    const std::vector<PresentDevice> present = {
        Present("/dev/bus/usb/001/009", UsbIds{0x1, 0x1, 0x0100}),
        Present("/dev/bus/usb/001/002", UsbIds{0x4, 0x4, 0x0100}),
        Present("/dev/bus/usb/001/005", UsbIds{0x2, 0x2, 0x0100}),
        Present("/dev/bus/usb/001/003", UsbIds{0x3, 0x3, 0x0100}),
        Present("/dev/bus/usb/001/004", UsbIds{0x2, 0x2, 0x0099}),
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
        Present("/dev/bus/usb/001/002", UsbIds{0x1, 0x1, 0x0100}),
        Present("/dev/bus/usb/001/003", UsbIds{0x2, 0x2, 0x0100}),
        Present("/dev/bus/usb/001/004", UsbIds{0x3, 0x3, 0x0100}),
        Present("/dev/bus/usb/001/005", UsbIds{0x3, 0x3, 0x0100}),
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
    const PresentDevice a = Present("/dev/bus/usb/001/002", kAbc);
    const PresentDevice b = Present("/dev/bus/usb/001/003", kAbc);
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
    list.Rebuild(catalogue, std::vector<PresentDevice>{Present("/dev/bus/usb/001/002", kAbc)});
    struct Case {
        const char* name;
        std::vector<DeviceChange> changes;
        bool concerns;
    };
    const Case cases[] = {
        {"nothing", {}, false},
        {"known model", {{"/dev/bus/usb/001/009", UsbIds{0x0ABC, 0x0011, 0x0001}}}, true},
        {"known, no node", {{"", UsbIds{0x0ABC, 0x0010, 0x0001}}}, true},
        {"unknown model", {{"/dev/bus/usb/001/009", UsbIds{0x0781, 0x5567, 0x0100}}}, false},
        {"no ids", {{"/dev/bus/usb/001/009", std::nullopt}}, false},
        {"listed, no ids", {{"/dev/bus/usb/001/002", std::nullopt}}, true},
        {"unknown then known",
         {{"/dev/bus/usb/001/009", UsbIds{0x0781, 0x5567, 0x0100}},
          {"/dev/bus/usb/001/010", UsbIds{0x0ABC, 0x0010, 0x0102}}},
         true},
        {"same vendor, other product", {{"", UsbIds{0x0ABC, 0x0012, 0x0102}}}, false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(list.Concerns(catalogue, c.changes), c.concerns) << c.name;
    }
}

TEST(DeviceListTest, SelectOutsideTheListClearsTheSelection) {
    const auto catalogue = Catalogue(R"(<Device VID="abc" PID="10"/>)");
    const std::vector<PresentDevice> present = {Present("/dev/bus/usb/001/002", kAbc)};
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
