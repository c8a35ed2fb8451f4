#include "app/safe_text.h"

namespace sovra {

std::string TerminalSafe(std::string_view text) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        // C1 controls arrive as two UTF-8 bytes, 0xC2 0x80 to 0xC2 0x9F.
        const bool c1 = byte == 0xC2 && i + 1 < text.size() &&
                        static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
                        static_cast<unsigned char>(text[i + 1]) <= 0x9F;
        if (byte < 0x20 || byte == 0x7F) {
            out += "\\x";
            out += kHex[byte >> 4];
            out += kHex[byte & 0x0F];
        } else if (c1) {
            const auto next = static_cast<unsigned char>(text[++i]);
            out += "\\u00";
            out += kHex[next >> 4];
            out += kHex[next & 0x0F];
        } else {
            out += text[i];
        }
    }
    return out;
}

}  // namespace sovra
