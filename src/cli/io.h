#pragma once
// Terminal helpers shared by the subcommands. Files are read and written
// through app/files.h.

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "app/files.h"

namespace sovra::cli {

// Prints "sovra-flash: <message>" on stderr.
void PrintError(std::string_view message);

}  // namespace sovra::cli
