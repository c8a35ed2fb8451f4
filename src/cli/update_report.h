#pragma once
// What `update` and `restore` say about each device when they are done: a
// few lines for a person, or a JSON object for a program. Both tell what the
// device now holds and, when something was written and it failed, the
// command that puts its old flash back.

#include <nlohmann/json.hpp>

#include <ostream>
#include <string>

#include "cli/cmd_update.h"
#include "update/update_outcome.h"

namespace sovra::cli {

struct DeviceOutcome {
    std::string path;   // the device node
    std::string name;   // its row text
    std::string label;  // the path, safe to print
    UpdateOutcome result;
};

void PrintOutcome(const UpdateCliOptions& o, const DeviceOutcome& device, std::ostream& out);
nlohmann::json OutcomeJson(const UpdateCliOptions& o, const DeviceOutcome& device);

// The shell command that writes `image` back to the device at `devicePath`,
// quoted for a POSIX shell.
std::string RestoreCommand(const std::string& devicePath, const std::string& image);

}  // namespace sovra::cli
