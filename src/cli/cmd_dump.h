#pragma once
// `sovra-flash dump`: saves a device's whole 256 KiB flash to a file with
// the read an update's Stage 1 makes (the prepare request, every chunk read
// once and confirmed, see ReadFlash). Nothing is written to the device.

#include <optional>
#include <ostream>
#include <string>

#include "cli/device_select.h"

namespace sovra::cli {

struct DumpOptions {
    std::string device;  // --device DEV
    std::string output;  // --output FILE
    std::optional<std::string> catalogue;
};

// `terminal`: draw a progress bar on `err` rather than progress lines.
int RunDump(const DumpOptions& options, const DeviceAccess& access, std::ostream& out,
            std::ostream& err, bool terminal);

}  // namespace sovra::cli
