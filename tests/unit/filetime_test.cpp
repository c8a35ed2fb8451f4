#include "app/filetime.h"

#include <gtest/gtest.h>

namespace sovra {
namespace {

struct IsoCase {
    FileTime ft;
    const char* iso;
};

class FileTimeIsoTest : public ::testing::TestWithParam<IsoCase> {};

TEST_P(FileTimeIsoTest, FormatsAndParsesBack) {
    EXPECT_EQ(FileTimeToIso8601(GetParam().ft), GetParam().iso);
    EXPECT_EQ(ParseFileTime(GetParam().iso), GetParam().ft);
}

INSTANTIATE_TEST_SUITE_P(
    Dates, FileTimeIsoTest,
    ::testing::Values(IsoCase{0, "1601-01-01T00:00:00Z"},
                      IsoCase{kUnixEpochAsFileTime, "1970-01-01T00:00:00Z"},
                      IsoCase{kUnixEpochAsFileTime + 10'000'000ULL * 951782400ULL,
                              "2000-02-29T00:00:00Z"},
                      IsoCase{133'000'000'000'000'001ULL, "2022-06-18T04:26:40.0000001Z"},
                      IsoCase{0xFFFFFFFFULL, "1601-01-01T00:07:09.4967295Z"}));

TEST(FileTimeTest, ParseAcceptsDecimalAndRejectsNonsense) {
    EXPECT_EQ(ParseFileTime("133000000000000000"), 133000000000000000ULL);
    EXPECT_EQ(ParseFileTime("2026-12-07T21:44:20"), ParseFileTime("2026-12-07T21:44:20Z"));
    EXPECT_EQ(ParseFileTime("2026-12-07T21:44:20.5Z"),
              *ParseFileTime("2026-12-07T21:44:20Z") + 5'000'000ULL);
    for (const char* bad :
         {"", "Z", "2026-13-01T00:00:00Z", "2023-02-29T00:00:00Z", "1600-12-31T23:59:59Z",
          "2026-12-07T24:00:00Z", "2026-12-07", "2026-12-07T21:44:20.12345678Z", "-5",
          "99999999999999999999999", "2026-12-07T21:44:20+01:00"}) {
        EXPECT_FALSE(ParseFileTime(bad).has_value()) << bad;
    }
}

// Stamps are whole milliseconds, rounded down, on either side of 1970.
TEST(FileTimeTest, SystemTimeIsCutToWholeMilliseconds) {
    using std::chrono::nanoseconds;
    struct Case {
        std::int64_t sinceUnixEpochNs;
        std::int64_t fileTimeFromUnixEpoch;
    };
    for (const Case c :
         {Case{0, 0}, Case{999'999, 0}, Case{1'000'000, 10'000}, Case{1'999'999'999, 19'990'000},
          Case{-1, -10'000}, Case{-1'000'000, -10'000}, Case{-1'000'001, -20'000}}) {
        const std::chrono::system_clock::time_point t(
            std::chrono::duration_cast<std::chrono::system_clock::duration>(
                nanoseconds(c.sinceUnixEpochNs)));
        EXPECT_EQ(FileTimeFromSystemTime(t),
                  static_cast<FileTime>(static_cast<std::int64_t>(kUnixEpochAsFileTime) +
                                        c.fileTimeFromUnixEpoch))
            << c.sinceUnixEpochNs;
    }
    const FileTime now = SystemClock().Now();
    EXPECT_GT(now, *ParseFileTime("2026-01-01T00:00:00Z"));
    EXPECT_EQ(now % 10'000, 0u);
}

}  // namespace
}  // namespace sovra
