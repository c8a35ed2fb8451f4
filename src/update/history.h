#pragma once
// The update history: one JSON object per line, appended for every update
// and restore either program runs, success or failure, to
// $XDG_STATE_HOME/sovra-firmware-update/history.jsonl (~/.local/state/...
// when unset). It answers the question a production line asks afterwards:
// which unit received which firmware, and how it ended.
//
// Each record is one write(2) of a whole line to a file opened with
// O_APPEND, then synced to disk: records of programs running side by side
// never interleave, and a record written survives a crash. A reader skips a
// line that is damaged (a crash in the middle of a write elsewhere, a
// foreign line) and says which.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

namespace sovra {

struct HistoryRecord {
    std::string time;       // UTC, "2026-12-08T10:15:02Z"
    std::string program;    // "sovra-flash", "sovra-firmware-update"
    std::string operation;  // "update" or "restore"
    std::string devicePath;
    // The unit: the fingerprint of its device data, and its USB serial
    // number string; none when unknown (and in records written before
    // units were named).
    std::optional<std::string> unit = {};
    std::optional<std::string> serial = {};
    std::uint32_t vendorId = 0;
    std::uint32_t productId = 0;
    std::uint32_t revision = 0;
    std::string firmwarePath;  // the firmware file, or the saved flash restored
    std::uint64_t firmwareSize = 0;
    std::string firmwareSha256;  // 64 lower-case hexadecimal digits
    std::string result;          // "updated", "up-to-date", "restored" or "failed"
    std::string status;          // "0x00000000"
    std::string message;         // the failure's sentence; empty on success
    std::string deviceState;     // what the device holds: "updated", "untouched", ...
    std::string backup;          // the backup kept; empty when none
    // The fingerprint of the key that signed the catalogue; empty when unsigned.
    std::string signingKey;

    friend bool operator==(const HistoryRecord&, const HistoryRecord&) = default;
};

nlohmann::json HistoryJson(const HistoryRecord& record);
// A record from one line's JSON; nothing when a field is missing or of the
// wrong kind.
std::optional<HistoryRecord> HistoryFromJson(const nlohmann::json& json);

// $XDG_STATE_HOME/sovra-firmware-update/history.jsonl, from the same state
// folder as the backups; empty when no state folder is known.
std::string DefaultHistoryPath();

// Appends one record as one line, making the folder (mode 0700) when
// needed; false with `error` set when it cannot be written. Only a regular
// file is written: a named pipe or a device in its place (or a link to one)
// is refused at once, never waited on. A last line cut short by a crash is
// ended first, so that the new record stands on a line of its own.
bool AppendHistory(const std::string& path, const HistoryRecord& record, std::string& error);

// The backups the history at `path` says were kept from a unit with this
// vendor id, product id and USB serial number string.
std::vector<std::string> BackupsOfSerial(const std::string& path, std::uint32_t vendorId,
                                         std::uint32_t productId, const std::string& serial);

struct SkippedLine {
    std::size_t line = 0;  // from 1
    std::string why;
};

// Hands the records of the file to `each`, oldest first, one at a time (a
// history of years is never held whole), and each damaged line to `skip`.
// A missing file is an empty history; a file that cannot be read gives
// false with `error` set.
bool ReadHistory(const std::string& path, const std::function<void(HistoryRecord&&)>& each,
                 const std::function<void(const SkippedLine&)>& skip, std::string& error);

// The same, gathered.
bool ReadHistory(const std::string& path, std::vector<HistoryRecord>& records,
                 std::vector<SkippedLine>& skipped, std::string& error);

}  // namespace sovra
