#pragma once
// Where an update keeps the device's old flash before it writes anything,
// the same for both programs: by default a new file in
// $XDG_STATE_HOME/sovra-firmware-update/backups (~/.local/state/... when
// unset), named after the device and the time; or one file the user names,
// which must not exist yet: a backup never replaces a file, since the file
// it would replace may be the only good copy of a device's flash.

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "device/device_rules.h"
#include "update/update_outcome.h"

namespace sovra {

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

// The default folder: from $XDG_STATE_HOME when it is an absolute path,
// else from $HOME, else from the home folder of the password database;
// empty when none of them gives one.
std::string DefaultBackupFolder();

// Whether the policy's backup can be written now, found out before the
// device is read: the folder made (mode 0700) and writable, or the file
// absent in a writable folder. On failure `failure` says what is wrong and
// what to do instead.
bool CheckBackupPlace(const BackupPolicy& policy, std::string& failure);

// Writes the read-back as the policy says; never replaces a file. On
// success `path` is the file written.
// `unit` goes into a default file name (see BackupFileName).
bool WriteBackup(const BackupPolicy& policy, const DeviceEntry& device,
                 std::chrono::system_clock::time_point when, std::span<const std::uint8_t> flash,
                 std::string& path, std::string& failure, std::string_view unit = {});

// A unit's own data: the first half of its information block, which no
// update changes (the second half holds the time stamps updates rewrite);
// none when the flash holds no information block.
std::optional<std::vector<std::uint8_t>> DeviceData(std::span<const std::uint8_t> flash);

// The unit's fingerprint: the first 16 hexadecimal digits, lower case, of
// the SHA-256 of its device data; empty when the flash holds none.
std::string UnitFingerprint(std::span<const std::uint8_t> flash);

// The newest valid backup of the device whose flash now reads `readBack`,
// among the backups in `folders`, leaving out `exclude`; empty when there
// is none. Only a backup provably the device's own counts: its device-info
// block holds the same device data as the read-back's (a unit keeps its own
// data across updates), or, when the read-back has no readable block (a
// half-written flash), it is one of `sameSerial`, the backups the history
// says were kept from a unit with the device's USB serial number. A bus and
// address prove nothing: on a fixed port they are the last unit's.
std::string NewestValidBackup(const std::vector<std::string>& folders,
                              std::span<const std::uint8_t> readBack, const std::string& exclude,
                              const std::vector<std::string>& sameSerial);

// The backups in `folders` whose names say they were kept from a device with
// `device`'s vendor and product ids, newest first, at most `max`.
std::vector<ModelBackup> ModelBackups(const std::vector<std::string>& folders,
                                      const DeviceEntry& device, std::size_t max);

}  // namespace sovra
