#pragma once
// Backups of a device's flash as `update` keeps them: the core's, in the
// folder the environment names, and --backup FILE, which may replace the
// file it names.

#include <chrono>
#include <cstdint>
#include <span>
#include <string>

#include "device/flash_backup.h"

namespace sovra::cli {

using sovra::BackupFileName;

// $XDG_STATE_HOME/sovra-firmware-update/backups, or
// ~/.local/state/sovra-firmware-update/backups when it is unset or not an
// absolute path. Empty when neither can be had (no HOME).
std::string DefaultBackupDirectory();

// Creates `directory` and its missing parents (mode 0700).
bool MakeDirectories(const std::string& directory, std::string& error);

// Writes a backup: whole or not at all. In a directory, a name that is
// already taken gets "-1", "-2", ... before ".bin" rather than replacing an
// older backup. `path` is the file to write; on success it holds the path
// written.
bool WriteBackup(std::string& path, std::span<const std::uint8_t> flash, bool mayReplace,
                 std::string& error);

}  // namespace sovra::cli
