#pragma once
// What both programs keep on this machine, in one state folder,
// $XDG_STATE_HOME/sovra-firmware-update (~/.local/state/... when unset):
// - backups/: a device's old flash, kept before an update writes anything,
//   byte for byte, so that it can be put back; a backup never replaces a
//   file, since the file it would replace may be the only good copy of a
//   device's flash;
// - history.jsonl: one JSON object per line for every update and restore,
//   success or failure: which unit received which firmware, and how it
//   ended. Each record is one write(2) of a whole line to a file opened
//   with O_APPEND, then synced: records of programs running side by side
//   never interleave, and a record written survives a crash. A reader skips
//   a damaged line (a torn write, a foreign line) and says which.

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "app/error.h"
#include "device/device_rules.h"
#include "update/update_outcome.h"

namespace sovra {

// <stateHome>/sovra-firmware-update when stateHome is an absolute path, else
// <home>/.local/state/sovra-firmware-update when home is one; empty when
// neither is. A relative path is never taken: it would put the state
// wherever the program happened to be started.
std::string StateFolder(std::string_view stateHome, std::string_view home);

// <state folder>/backups and <state folder>/history.jsonl, the state folder
// from $XDG_STATE_HOME, else $HOME, else the home folder of the password
// database; empty when none of them gives one.
std::string DefaultBackupFolder();
std::string DefaultHistoryPath();

// Creates `folder` and its missing parents, mode 0700: a backup holds the
// device's own data.
Error MakeStateFolder(const std::string& folder);

// --- Backups ---

struct BackupPolicy {
    enum class Kind {
        kNone,    // keep no backup
        kFolder,  // a new file in the folder `path`
        kFile,    // exactly the file `path`, which must not exist yet
    };
    Kind kind = Kind::kNone;
    std::string path;

    static BackupPolicy None() { return {}; }
    static BackupPolicy Folder(std::string folder) { return {Kind::kFolder, std::move(folder)}; }
    static BackupPolicy File(std::string file) { return {Kind::kFile, std::move(file)}; }
};

// "0abc-0010-1f2e3d4c5b6a7988-20261207T214420Z.bin": vendor and product
// ids, the unit's fingerprint, and the time in UTC. Without a unit (its flash
// holds no information block), the USB bus and address from the device node
// stand in its place ("bus001-dev002"), or "node" for a path that is not a
// USB node.
std::string BackupFileName(const DeviceEntry& device, std::chrono::system_clock::time_point when,
                           std::string_view unit = {});

// Whether the policy's backup can be written now, found out before the
// device is read: the folder made and writable, or the file absent in a
// writable folder.
Error CheckBackupPlace(const BackupPolicy& policy);

// Writes the read-back as the policy says, whole or not at all, never
// replacing a file: in a folder, a name that is already taken gets "-1",
// "-2", ... before ".bin". `unit` goes into the file name. On success `path`
// is the file written; on failure it is empty and nothing is left behind.
Error WriteBackup(const BackupPolicy& policy, const DeviceEntry& device,
                  std::chrono::system_clock::time_point when, std::span<const std::uint8_t> flash,
                  std::string& path, std::string_view unit = {});

// A unit's own data: the first half of its information block, which no
// update changes (the second half holds the time stamps updates rewrite);
// none when the flash holds no information block.
std::optional<std::vector<std::uint8_t>> DeviceData(std::span<const std::uint8_t> flash);

// The unit's fingerprint: the first 16 hexadecimal digits, lower case, of
// the SHA-256 of its device data; empty when the flash holds none.
std::string UnitFingerprint(std::span<const std::uint8_t> flash);

// For a backup of a flash that is not a valid image: the newest earlier
// valid backup of the same unit in the backup's folder or the default one
// (restoreFrom), and when the unit cannot be told (no fingerprint `unit`, no
// USB serial number), the newest backups of its model.
void FindEarlierBackups(BackupOutcome& backup, const DeviceEntry& device,
                        std::span<const std::uint8_t> readBack, const std::string& unit,
                        const std::string& historyPath);

// --- The update history ---

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

// Appends one record as one line, making the folder when needed. Only a
// regular file is written: a named pipe or a device in its place (or a link
// to one) is refused at once, never waited on. A last line cut short by a
// crash is ended first, so that the new record stands on a line of its own.
Error AppendHistory(const std::string& path, const HistoryRecord& record);

struct SkippedLine {
    std::size_t line = 0;  // from 1
    std::string why;
};

// Hands the records of the file to `each`, oldest first, one at a time (a
// history of years is never held whole), and each damaged line to `skip`.
// A missing file is an empty history.
Error ReadHistory(const std::string& path, const std::function<void(HistoryRecord&&)>& each,
                  const std::function<void(const SkippedLine&)>& skip);

// The backups the history at `path` says were kept from a unit with this
// vendor id, product id and USB serial number string.
std::vector<std::string> BackupsOfSerial(const std::string& path, std::uint32_t vendorId,
                                         std::uint32_t productId, const std::string& serial);

}  // namespace sovra
