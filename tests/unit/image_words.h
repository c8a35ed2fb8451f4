#pragma once
// Small helpers for writing images word by word in tests.

#include <cstdint>
#include <initializer_list>
#include <vector>

#include "flash/image_format.h"

namespace sovra::testing_words {

inline std::vector<std::uint8_t> Words(std::initializer_list<std::uint32_t> words) {
    std::vector<std::uint8_t> out(words.size() * 4);
    std::size_t k = 0;
    for (const std::uint32_t w : words) {
        Put32(out, 4 * k++, w);
    }
    return out;
}

inline std::vector<std::uint8_t> Words(const std::vector<std::uint32_t>& words) {
    std::vector<std::uint8_t> out(words.size() * 4);
    for (std::size_t k = 0; k < words.size(); ++k) {
        Put32(out, 4 * k, words[k]);
    }
    return out;
}

}  // namespace sovra::testing_words
