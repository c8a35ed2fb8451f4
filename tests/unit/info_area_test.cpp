#include "flash/info_area.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <string>
#include <vector>

#include "flash/image_format.h"
#include "tests/unit/info_area_builders.h"

namespace sovra {
namespace {

constexpr FileTime kNow = 0x01DB2222AAAABBBBULL;
constexpr FileTime kKept = 0x01D71111CCCCDDDDULL;
constexpr FileTime kOld = 0x01D80000EEEEFFFFULL;

using namespace testing_area;

struct EntryView {
    std::uint8_t offset, length, type;
    bool operator==(const EntryView&) const = default;
};

std::vector<EntryView> Entries(const Area& a, bool* complete = nullptr) {
    std::vector<EntryView> out;
    InfoEntryWalker w{ConstInfoArea(a)};
    while (const auto e = w.Next()) {
        out.push_back({e->offset, e->length, e->type});
    }
    if (complete != nullptr) {
        *complete = w.Complete();
    }
    return out;
}

struct WalkCase {
    std::string name;
    Area area;
    std::vector<EntryView> entries;
    bool complete;
};

class InfoWalkTest : public ::testing::TestWithParam<WalkCase> {};

TEST_P(InfoWalkTest, SeesEntriesUpToTheFirstBreak) {
    bool complete = false;
    EXPECT_EQ(Entries(GetParam().area, &complete), GetParam().entries);
    EXPECT_EQ(complete, GetParam().complete);
}

Area Invalid(std::size_t index, std::uint8_t value) {
    Area a = MakeArea(14, Foreign(10));
    a[index] = value;
    return a;
}

std::vector<WalkCase> WalkCases() {
    using E = std::vector<EntryView>;
    Area erased;
    erased.fill(0xFF);
    std::vector<WalkCase> c;
    c.push_back({"TwoEntries", MakeArea(20, Cat({Foreign(6), TimeEntry(10, kKept)})),
                 E{{4, 6, 0x21}, {10, 10, 10}}, true});
    c.push_back(
        {"ZeroLengthEnds", MakeArea(30, Cat({Foreign(6), Foreign(0)})), E{{4, 6, 0x21}}, false});
    c.push_back({"LengthOneEnds", MakeArea(30, Foreign(1)), E{}, false});
    c.push_back({"PastUsedLengthEnds", MakeArea(20, Cat({Foreign(6), Foreign(11)})),
                 E{{4, 6, 0x21}}, false});
    // The last entry runs to byte 127 exactly.
    c.push_back({"LastByte", MakeArea(127, Foreign(123)), E{{4, 123, 0x21}}, true});
    // Would reach past the 128-byte area.
    c.push_back({"PastArea", MakeArea(127, Foreign(125)), E{}, false});
    c.push_back({"HeaderLength", Invalid(0, 5), E{}, false});
    c.push_back({"Version", Invalid(1, 2), E{}, false});
    c.push_back({"UsedFour", Invalid(2, 4), E{}, false});
    c.push_back({"Used128", Invalid(2, 128), E{}, false});
    c.push_back({"Erased", erased, E{}, false});
    return c;
}

INSTANTIATE_TEST_SUITE_P(Areas, InfoWalkTest, ::testing::ValuesIn(WalkCases()),
                         [](const auto& info) { return info.param.name; });

struct StampCase {
    std::string name;
    Area before;
    Area after;
};

class StampTest : public ::testing::TestWithParam<StampCase> {};

TEST_P(StampTest, AreaAfterwards) {
    Area a = GetParam().before;
    StampInfoArea(a, kKept, kNow);
    EXPECT_EQ(a, GetParam().after);
}

Area Fresh(Area a) {
    WriteFreshInfoArea(a, kKept, kNow);
    return a;
}

Area FreshExpected(Area old) {
    old[0] = 4;
    old[1] = 1;
    old[2] = 24;
    const auto k = TimeEntry(10, kKept);
    const auto u = TimeEntry(11, kNow);
    std::copy(k.begin(), k.end(), old.begin() + 4);
    std::copy(u.begin(), u.end(), old.begin() + 14);
    return old;
}

INSTANTIATE_TEST_SUITE_P(
    Areas, StampTest,
    ::testing::Values(
        StampCase{"KeptStaysUpdateRewritten",
                  MakeArea(24, Cat({TimeEntry(10, kOld), TimeEntry(11, kOld)})),
                  MakeArea(24, Cat({TimeEntry(10, kOld), TimeEntry(11, kNow)}))},
        StampCase{"ForeignThenUpdateThenKept", MakeArea(14, Foreign(10)),
                  MakeArea(34, Cat({Foreign(10), TimeEntry(11, kNow), TimeEntry(10, kKept)}))},
        StampCase{
            "EveryUpdateTime",
            MakeArea(34, Cat({TimeEntry(11, kOld), TimeEntry(10, kOld), TimeEntry(11, kOld)})),
            MakeArea(34, Cat({TimeEntry(11, kNow), TimeEntry(10, kOld), TimeEntry(11, kNow)}))},
        StampCase{"InvalidBecomesFresh", Invalid(1, 9), FreshExpected(Invalid(1, 9))},
        // A time-type entry too short for 8 bytes of time is not a time: left
        // alone, and proper entries are added behind it.
        StampCase{"ShortTimeEntryIsForeign", MakeArea(8, Foreign(4, 11)),
                  MakeArea(28, Cat({Foreign(4, 11), TimeEntry(11, kNow), TimeEntry(10, kKept)}))},
        StampCase{"NineByteTimeEntryIsForeign",
                  MakeArea(23, Cat({TimeEntry(10, kOld), Foreign(9, 11)})),
                  MakeArea(33, Cat({TimeEntry(10, kOld), Foreign(9, 11), TimeEntry(11, kNow)}))},
        // A longer one is a time: stamped in its first 8 payload bytes, its
        // tail kept, nothing appended.
        StampCase{"LongUpdateTimeStampedInPlace",
                  MakeArea(31, Cat({TimeEntry(11, kOld, 17), TimeEntry(10, kOld)})),
                  MakeArea(31, Cat({TimeEntry(11, kNow, 17), TimeEntry(10, kOld)}))},
        StampCase{"LongKeptTimeCounts",
                  MakeArea(26, Cat({TimeEntry(10, kOld, 12), TimeEntry(11, kOld)})),
                  MakeArea(26, Cat({TimeEntry(10, kOld, 12), TimeEntry(11, kNow)}))},
        // Room for one entry only: the used length must stay at most 127.
        StampCase{"RoomForTwo", MakeArea(107, Foreign(103)),
                  MakeArea(127, Cat({Foreign(103), TimeEntry(11, kNow), TimeEntry(10, kKept)}))},
        StampCase{"RoomForOne", MakeArea(108, Foreign(104)),
                  MakeArea(118, Cat({Foreign(104), TimeEntry(11, kNow)}))},
        StampCase{"RoomForOneExactly", MakeArea(117, Foreign(113)),
                  MakeArea(127, Cat({Foreign(113), TimeEntry(11, kNow)}))},
        StampCase{"Used118NoAppend", MakeArea(118, Foreign(114)), MakeArea(118, Foreign(114))},
        StampCase{"Used119NoAppend", MakeArea(119, Foreign(115)), MakeArea(119, Foreign(115))},
        // A break in the entries: the UpdateTime before it is stamped,
        // nothing is appended behind it.
        StampCase{"BrokenNoAppend", MakeArea(40, Cat({TimeEntry(11, kOld), Foreign(0)})),
                  MakeArea(40, Cat({TimeEntry(11, kNow), Foreign(0)}))},
        StampCase{"OverlongNoAppend", MakeArea(20, Cat({Foreign(6), Foreign(30)})),
                  MakeArea(20, Cat({Foreign(6), Foreign(30)}))}),
    [](const auto& info) { return info.param.name; });

TEST(InfoAreaTest, FreshAreaKeepsByteThreeAndTheTail) {
    Area a;
    for (std::size_t k = 0; k < a.size(); ++k) {
        a[k] = static_cast<std::uint8_t>(k * 7);
    }
    const Area fresh = Fresh(a);
    EXPECT_EQ(fresh, FreshExpected(a));
    EXPECT_EQ(fresh[3], a[3]);
    EXPECT_EQ(Entries(fresh), (std::vector<EntryView>{{4, 10, 10}, {14, 10, 11}}));
}

TEST(InfoAreaTest, LastKeptTimeWins) {
    const Area a = MakeArea(34, Cat({TimeEntry(10, kOld), Foreign(10), TimeEntry(10, kKept)}));
    EXPECT_EQ(LastKeptTime(a), kKept);
    EXPECT_EQ(LastKeptTime(MakeArea(24, Cat({TimeEntry(10, kKept, 20)}))), kKept);
    EXPECT_FALSE(LastKeptTime(MakeArea(13, Foreign(9, 10))).has_value());
    EXPECT_FALSE(LastKeptTime(MakeArea(14, Foreign(10))).has_value());
    EXPECT_FALSE(LastKeptTime(Invalid(0, 0)).has_value());
}

}  // namespace
}  // namespace sovra
