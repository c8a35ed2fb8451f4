#pragma once
// `sovra-flash udev-rules`: a udev rules file that lets the logged-in user
// (and the plugdev group) open every beamformer a catalogue lets the program
// list, so that neither the desktop application nor sovra-flash needs root.

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "catalogue/catalogue.h"

namespace sovra::cli {

struct UdevRulesResult {
    std::string text;                // the whole rules file
    std::size_t rules = 0;           // rule lines in it
    std::vector<std::string> notes;  // one sentence per Device entry left out
};

// The rules for every vendor and product pair the catalogue's Device entries
// name in a form a device can match, each pair once, in catalogue order.
// `source` names the catalogue in the file's heading.
UdevRulesResult BuildUdevRules(const FirmwareCatalogue& catalogue, std::string_view source);

struct UdevRulesOptions {
    // Without one, the catalogue the look-up finds, as the desktop
    // application reads it.
    std::optional<std::string> catalogue;
    // Without one, the rules go to `out`.
    std::optional<std::string> output;
};

// Prints (or writes) the rules, warnings and errors on `err`; returns the
// exit status: 1 when the catalogue cannot be read or no rule results.
int RunUdevRules(const UdevRulesOptions& options, std::ostream& out, std::ostream& err);

}  // namespace sovra::cli
