#pragma once
// `sovra-flash watch`: a production line's update. Every device the
// catalogue knows is updated once per plug-in: those present when it starts
// and each one plugged in afterwards, several at a time, each by its own
// job. A device that stays plugged in after its update is left alone until
// it is unplugged and plugged in again.

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>

#include "cli/device_select.h"

namespace sovra::cli {

struct WatchOptions {
    std::string firmware;
    std::optional<std::string> catalogue;
    std::optional<std::uint64_t> count;  // stop after this many finished updates
    bool json = false;
    bool noBackup = false;
    bool noVerify = false;
    bool reinstall = false;  // write a device that already holds the firmware
};

// Exit status: 0 when every update succeeded, 1 when any failed or the
// inputs were refused, 2 on a usage error. `terminal`: stdout is a
// terminal, so the running tally is redrawn in place on it.
int RunWatch(const WatchOptions& options, const DeviceAccess& access, bool terminal,
             std::ostream& out, std::ostream& err);

}  // namespace sovra::cli
