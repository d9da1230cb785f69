// Hex digits and bytes, as the models, views and tools write and read them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace peers {

// 0 to 15, or -1 for a character that is no hex digit.
constexpr int hex_digit(char c) {
    return c >= '0' && c <= '9' ? c - '0'
           : (c | 0x20) >= 'a' && (c | 0x20) <= 'f' ? (c | 0x20) - 'a' + 10
                                                     : -1;
}

// Two upper-case digits a byte: "0AFF".
inline std::string hex(const uint8_t *bytes, size_t n) {
    static const char kDigits[] = "0123456789ABCDEF";
    std::string out;
    for (size_t i = 0; i < n; i++) {
        out += kDigits[bytes[i] >> 4];
        out += kDigits[bytes[i] & 0x0F];
    }
    return out;
}
inline std::string hex(std::string_view bytes) {
    return hex(reinterpret_cast<const uint8_t *>(bytes.data()), bytes.size());
}

// The same with a blank between two bytes: "0A FF".
inline std::string spaced_hex(std::string_view bytes) {
    std::string out;
    for (size_t i = 0; i < bytes.size(); i++) {
        if (i > 0) out += ' ';
        out += hex(bytes.substr(i, 1));
    }
    return out;
}

// Bytes from hex digits, skipping the characters `skip` takes between them;
// nothing on anything else or an odd number of digits.
template <typename Skip>
std::optional<std::string> from_hex_skipping(std::string_view text, Skip skip) {
    std::string out;
    int high = -1;
    for (const char c : text) {
        if (skip(c, high < 0)) continue;
        const int v = hex_digit(c);
        if (v < 0) return std::nullopt;
        if (high < 0) {
            high = v;
        } else {
            out.push_back(static_cast<char>(high << 4 | v));
            high = -1;
        }
    }
    if (high >= 0) return std::nullopt;
    return out;
}

// Bytes from hex digits, with blanks, tabs, line ends and colons anywhere
// between the digits; nothing on anything else or an odd number of digits.
inline std::optional<std::string> from_hex(std::string_view text) {
    return from_hex_skipping(text, [](char c, bool) { return c == ' ' || c == ':' || c == '\t' || c == '\n' || c == '\r'; });
}

// Bytes from hex digits with blanks only between bytes ("C0 00 08"); nothing
// on anything else, an odd number of digits or no byte at all.
inline std::optional<std::string> from_spaced_hex(std::string_view text) {
    auto out = from_hex_skipping(text, [](char c, bool between_bytes) { return c == ' ' && between_bytes; });
    if (out && out->empty()) return std::nullopt;
    return out;
}

// Whether `digits` is one or more hex digits, and their value (at most eight digits).
constexpr bool is_hex_number(std::string_view digits) {
    if (digits.empty()) return false;
    for (const char c : digits) {
        if (hex_digit(c) < 0) return false;
    }
    return true;
}
constexpr uint32_t hex_number(std::string_view digits) {
    uint32_t n = 0;
    for (const char c : digits) n = n << 4 | static_cast<uint32_t>(hex_digit(c));
    return n;
}

}  // namespace peers
