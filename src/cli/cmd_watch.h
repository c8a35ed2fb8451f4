#pragma once
// `sovra-flash watch`: a production line's update. Every device the
// catalogue knows is updated once per plug-in: those present when it starts
// and each one plugged in afterwards, several at a time, each by its own
// job. A device that stays plugged in after its update is left alone until
// it is unplugged and plugged in again.

#include <cstdint>
#include <optional>
#include <ostream>

#include "cli/cmd_update.h"

namespace sovra::cli {

// The options of `update` that watch has (--firmware is `image`), and when
// to stop: after this many finished updates.
struct WatchOptions : UpdateCliOptions {
    std::optional<std::uint64_t> count;
};

// Exit status: 0 when every update succeeded, 1 when any failed or the
// inputs were refused, 2 on a usage error. `terminal`: stdout is a
// terminal, so the running tally is redrawn in place on it.
int RunWatch(const WatchOptions& options, const DeviceAccess& access, bool terminal,
             std::ostream& out, std::ostream& err);

}  // namespace sovra::cli
