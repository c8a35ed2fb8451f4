#pragma once
// SHA-256 digests of firmware files: what a catalogue may pin a file to, and
// what the update history records of every file written.

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace sovra {

using Sha256Digest = std::array<std::uint8_t, 32>;

Sha256Digest Sha256(std::span<const std::uint8_t> data);

// 64 lower-case hexadecimal digits.
std::string Sha256Hex(const Sha256Digest& digest);

// Exactly 64 hexadecimal digits, either case; nothing for anything else.
std::optional<Sha256Digest> ParseSha256(std::string_view hex);

}  // namespace sovra
