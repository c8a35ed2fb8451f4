#include "app/sha256.h"

#include <openssl/evp.h>

#include <stdexcept>

#include "app/hex.h"

namespace sovra {

Sha256Digest Sha256(std::span<const std::uint8_t> data) {
    Sha256Digest digest{};
    unsigned int length = 0;
    // The library's own digest: it picks the fastest code the processor has.
    if (EVP_Digest(data.data(), data.size(), digest.data(), &length, EVP_sha256(), nullptr) != 1 ||
        length != digest.size()) {
        throw std::runtime_error("SHA-256 is not available");
    }
    return digest;
}

std::string Sha256Hex(const Sha256Digest& digest) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string hex;
    hex.reserve(2 * digest.size());
    for (const std::uint8_t b : digest) {
        hex += kDigits[b >> 4];
        hex += kDigits[b & 0x0F];
    }
    return hex;
}

std::optional<Sha256Digest> ParseSha256(std::string_view hex) {
    Sha256Digest digest{};
    if (hex.size() != 2 * digest.size()) {
        return std::nullopt;
    }
    for (std::size_t i = 0; i < digest.size(); ++i) {
        const int high = HexDigitValue(hex[2 * i]);
        const int low = HexDigitValue(hex[2 * i + 1]);
        if (high < 0 || low < 0) {
            return std::nullopt;
        }
        digest[i] = static_cast<std::uint8_t>(high << 4 | low);
    }
    return digest;
}

}  // namespace sovra
