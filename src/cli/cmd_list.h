#pragma once
// `sovra-flash list`: the connected devices the catalogue knows, exactly as
// the desktop application lists them and in the same order.

#include <optional>
#include <ostream>
#include <string>

#include "cli/device_select.h"

namespace sovra::cli {

struct ListOptions {
    std::optional<std::string> catalogue;
    bool json = false;
    bool quiet = false;  // the device paths alone, for scripts and completion
};

int RunList(const ListOptions& options, const DeviceAccess& access, std::ostream& out,
            std::ostream& err);

}  // namespace sovra::cli
