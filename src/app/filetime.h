#pragma once
// Times as the device stores them: 64-bit counts of 100-ns intervals since
// 1601-01-01 UTC (FILETIME), written as two 32-bit little-endian halves,
// low half first.

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace sovra {

using FileTime = std::uint64_t;

// 100-ns intervals between 1601-01-01 and 1970-01-01.
inline constexpr FileTime kUnixEpochAsFileTime = 116444736000000000ULL;

// `t` in whole milliseconds, the resolution the device's time stamps are
// kept at; any finer part is dropped.
FileTime FileTimeFromSystemTime(std::chrono::system_clock::time_point t);

// UTC ISO-8601, e.g. "2026-12-07T21:44:20.1234567Z". Fractions of a second
// are printed only when present, to the full 100-ns resolution.
std::string FileTimeToIso8601(FileTime t);

// Accepts "YYYY-MM-DDTHH:MM:SS[.fffffff][Z]" (UTC) or a decimal FILETIME.
std::optional<FileTime> ParseFileTime(std::string_view text);

// Where "now" comes from, so that merges are reproducible in tests and from
// the command line.
class Clock {
  public:
    virtual ~Clock() = default;
    virtual FileTime Now() const = 0;
};

// The system's time, in whole milliseconds.
class SystemClock final : public Clock {
  public:
    FileTime Now() const override;
};

class FixedClock final : public Clock {
  public:
    explicit FixedClock(FileTime t) : t_(t) {}
    FileTime Now() const override { return t_; }

  private:
    FileTime t_;
};

}  // namespace sovra
