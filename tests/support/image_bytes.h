// Bytes that look like a firmware image, the same for the same seed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace test {

inline std::vector<uint8_t> image_bytes(size_t n, uint32_t seed = 1) {
    std::vector<uint8_t> out(n);
    uint32_t x = seed * 2654435761u + 12345;
    for (auto &b : out) {
        x = x * 1664525u + 1013904223u;
        b = static_cast<uint8_t>(x >> 24);
    }
    return out;
}

}  // namespace test
