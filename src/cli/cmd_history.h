#pragma once
// `sovra-flash history`: the update history both programs keep (see
// update/state.h), newest last.

#include <optional>
#include <ostream>
#include <string>

namespace sovra::cli {

struct HistoryOptions {
    bool json = false;
    // A device path, or VID:PID in hexadecimal: only its records.
    std::optional<std::string> device;
    // The start of a unit's fingerprint (lower case): only its records.
    std::optional<std::string> unit;
};

int RunHistory(const HistoryOptions& options, std::ostream& out, std::ostream& err);

}  // namespace sovra::cli
