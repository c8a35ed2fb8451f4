#include "app/filetime.h"

#include <charconv>
#include <cstdio>

namespace sovra {
namespace {

using Ticks = std::chrono::duration<std::int64_t, std::ratio<1, 10'000'000>>;
constexpr std::uint64_t kTicksPerSecond = 10'000'000ULL;
constexpr std::uint64_t kSecondsPerDay = 86'400ULL;

// Days since 1970-01-01 for a proleptic Gregorian date, and back
// (H. Hinnant's civil calendar algorithms).
constexpr std::int64_t DaysFromCivil(std::int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const auto yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3u : 9u)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

struct Civil {
    std::int64_t y;
    unsigned m, d;
};

constexpr Civil CivilFromDays(std::int64_t z) {
    z += 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const auto doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const std::int64_t y = static_cast<std::int64_t>(yoe) + era * 400;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    const unsigned d = doy - (153 * mp + 2) / 5 + 1;
    const unsigned m = mp < 10 ? mp + 3 : mp - 9;
    return {y + (m <= 2), m, d};
}

constexpr std::int64_t kDays1601To1970 = 134774;

bool ParseUnsigned(std::string_view s, unsigned& out) {
    if (s.empty()) {
        return false;
    }
    auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), out);
    return ec == std::errc{} && p == s.data() + s.size();
}

}  // namespace

FileTime FileTimeFromSystemTime(std::chrono::system_clock::time_point t) {
    // Whole milliseconds, rounded down (also before 1970): stamps written by
    // every tool that keeps the device's entry area compare alike.
    const auto ms = std::chrono::floor<std::chrono::milliseconds>(t.time_since_epoch());
    const auto ticks = std::chrono::duration_cast<Ticks>(ms).count();
    return static_cast<FileTime>(static_cast<std::int64_t>(kUnixEpochAsFileTime) + ticks);
}

FileTime SystemClock::Now() const {
    return FileTimeFromSystemTime(std::chrono::system_clock::now());
}

std::string FileTimeToIso8601(FileTime t) {
    const std::uint64_t seconds = t / kTicksPerSecond;
    const auto fraction = static_cast<unsigned>(t % kTicksPerSecond);
    const auto days = static_cast<std::int64_t>(seconds / kSecondsPerDay);
    const auto rest = static_cast<unsigned>(seconds % kSecondsPerDay);
    const Civil c = CivilFromDays(days - kDays1601To1970);
    char buf[48];
    int n = std::snprintf(buf, sizeof buf, "%04lld-%02u-%02uT%02u:%02u:%02u",
                          static_cast<long long>(c.y), c.m, c.d, rest / 3600, rest / 60 % 60,
                          rest % 60);
    std::string out(buf, static_cast<std::size_t>(n));
    if (fraction != 0) {
        std::snprintf(buf, sizeof buf, ".%07u", fraction);
        out += buf;
    }
    out += 'Z';
    return out;
}

std::optional<FileTime> ParseFileTime(std::string_view text) {
    if (!text.empty() && text.find_first_not_of("0123456789") == std::string_view::npos) {
        FileTime v = 0;
        auto [p, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
        if (ec != std::errc{} || p != text.data() + text.size()) {
            return std::nullopt;
        }
        return v;
    }
    if (!text.empty() && text.back() == 'Z') {
        text.remove_suffix(1);
    }
    // YYYY-MM-DDTHH:MM:SS is 19 characters, then an optional fraction.
    if (text.size() < 19 || text[4] != '-' || text[7] != '-' ||
        (text[10] != 'T' && text[10] != 't' && text[10] != ' ') || text[13] != ':' ||
        text[16] != ':') {
        return std::nullopt;
    }
    unsigned y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0, frac = 0;
    if (!ParseUnsigned(text.substr(0, 4), y) || !ParseUnsigned(text.substr(5, 2), mo) ||
        !ParseUnsigned(text.substr(8, 2), d) || !ParseUnsigned(text.substr(11, 2), h) ||
        !ParseUnsigned(text.substr(14, 2), mi) || !ParseUnsigned(text.substr(17, 2), s)) {
        return std::nullopt;
    }
    std::string_view rest = text.substr(19);
    if (!rest.empty()) {
        if (rest.front() != '.' || rest.size() < 2 || rest.size() > 8) {
            return std::nullopt;
        }
        std::string digits(rest.substr(1));
        digits.resize(7, '0');
        if (!ParseUnsigned(digits, frac)) {
            return std::nullopt;
        }
    }
    static constexpr unsigned kMonthDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (y < 1601 || mo < 1 || mo > 12 || d < 1 || d > kMonthDays[mo - 1] || h > 23 || mi > 59 ||
        s > 59) {
        return std::nullopt;
    }
    const std::int64_t days = DaysFromCivil(y, mo, d) + kDays1601To1970;
    if (days < 0 || CivilFromDays(days - kDays1601To1970).d != d) {
        return std::nullopt;  // e.g. 29 February of a common year
    }
    const std::uint64_t secs =
        static_cast<std::uint64_t>(days) * kSecondsPerDay + h * 3600ULL + mi * 60ULL + s;
    return secs * kTicksPerSecond + frac;
}

}  // namespace sovra
