#pragma once
// Backups of a device's flash, kept before an update writes anything: the
// Stage 1 read-back, byte for byte, in a file named after the device and the
// time, so that the old flash can be put back. The command line and the
// desktop application keep them the same way; only where the folder comes
// from differs.

#include <chrono>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "device/device_rules.h"

namespace sovra {

// <stateHome>/sovra-firmware-update/backups when stateHome is an absolute
// path, else <home>/.local/state/sovra-firmware-update/backups when home is
// one; empty when neither is. A relative path is never taken: it would put
// the backups wherever the program happened to be started.
std::string BackupDirectory(std::string_view stateHome, std::string_view home);

// The user's home folder from the password database; empty when it has
// none or it cannot be looked up.
std::string PasswordHomeFolder();

// "0abc-0010-1f2e3d4c5b6a7988-20261207T214420Z.bin": vendor and product
// ids, the unit's fingerprint, and the time in UTC. Without a unit (its flash
// holds no information block), the USB bus and address from the device node
// stand in its place ("bus001-dev002"), or "node" for a path that is not a
// USB node.
std::string BackupFileName(const DeviceEntry& device, std::chrono::system_clock::time_point when,
                           std::string_view unit = {});

// Creates `directory` and its missing parents (mode 0700: a flash holds the
// device's own data). An empty directory is an error.
bool MakeBackupDirectories(const std::string& directory, std::string& error);

// Writes a new backup at `path`, whole or not at all, never replacing a file:
// a name that is already taken gets "-1", "-2", ... before ".bin". On
// success `path` holds the path written.
bool WriteNewBackup(std::string& path, std::span<const std::uint8_t> flash, std::string& error);

// The folder made, then a new backup of `flash` in it named after the
// device and `when`. On success `path` is the file written; on failure
// `error` is a sentence saying what went wrong and nothing is left behind.
bool KeepBackup(const std::string& directory, const DeviceEntry& device,
                std::chrono::system_clock::time_point when, std::span<const std::uint8_t> flash,
                std::string& path, std::string& error, std::string_view unit = {});

}  // namespace sovra
