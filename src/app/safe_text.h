#pragma once
// Text from outside (file names, paths, catalogue texts, stored fields) made
// safe to show on a terminal or send to the system log: control characters
// become \xNN (C1 controls \u00NN), so a name stays on one line and cannot
// drive the terminal or forge a log entry. JSON output carries the exact
// text instead, escaped by JSON's own rules.

#include <string>
#include <string_view>

namespace sovra {

std::string TerminalSafe(std::string_view text);

}  // namespace sovra
