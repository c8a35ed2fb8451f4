#pragma once
// File and terminal helpers shared by the subcommands. Failures come back as
// one sentence a user can act on; nothing here prints.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace sovra::cli {

// Reads a whole file of at most maxBytes. On failure returns false and sets
// `error` to a sentence naming the file and the reason.
bool ReadWholeFile(const std::string& path, std::size_t maxBytes, std::vector<std::uint8_t>& out,
                   std::string& error);

// Writes through a temporary file in the same folder and renames it into
// place, so a failed write leaves no partial output behind.
bool WriteFileAtomically(const std::string& path, const std::uint8_t* data, std::size_t size,
                         std::string& error);

// Prints "sovra-flash: <message>" on stderr.
void PrintError(std::string_view message);

}  // namespace sovra::cli
