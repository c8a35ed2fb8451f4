#pragma once
// Backups of a device's flash, kept by `update` before anything is written:
// the Stage 1 read-back, byte for byte, in a file named after the device and
// the time, so `restore` can put it back.

#include <chrono>
#include <cstdint>
#include <span>
#include <string>

#include "device/device_rules.h"

namespace sovra::cli {

// $XDG_STATE_HOME/sovra-firmware-update/backups, or
// ~/.local/state/sovra-firmware-update/backups when it is unset or not an
// absolute path. Empty when neither can be had (no HOME).
std::string DefaultBackupDirectory();

// "0abc-0010-bus001-dev002-20261207T214420Z.bin": vendor and product ids,
// the USB bus and address from the device node, and the time in UTC. A
// device path that is not a USB node gives "node" in place of bus and dev.
std::string BackupFileName(const DeviceEntry& device, std::chrono::system_clock::time_point when);

// Creates `directory` and its missing parents (mode 0700: a flash holds the
// device's own data).
bool MakeDirectories(const std::string& directory, std::string& error);

// Writes a backup: whole or not at all. In a directory, a name that is
// already taken gets "-1", "-2", ... before ".bin" rather than replacing an
// older backup. `path` is the file to write; on success it holds the path
// written.
bool WriteBackup(std::string& path, std::span<const std::uint8_t> flash, bool mayReplace,
                 std::string& error);

}  // namespace sovra::cli
