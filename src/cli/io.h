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

// Forwarders for the subcommands not yet moved over to app/files.h (dump,
// update, restore and their backups); new code calls ReadRegularFile and
// sovra::WriteFileAtomically directly.
inline bool ReadWholeFile(const std::string& path, std::size_t maxBytes,
                          std::vector<std::uint8_t>& out, std::string& error) {
    return ReadRegularFile(path, maxBytes, out, error);
}
inline bool WriteFileAtomically(const std::string& path, const std::uint8_t* data, std::size_t size,
                                std::string& error) {
    return sovra::WriteFileAtomically(path, std::span<const std::uint8_t>(data, size), error);
}

// Prints "sovra-flash: <message>" on stderr.
void PrintError(std::string_view message);

}  // namespace sovra::cli
