#pragma once
#include <cstdint>

// Every 32-bit field of a pattern file is little-endian, whatever the host.
namespace pattern {

inline void encode_le32(std::uint32_t value, std::uint8_t out[4]) {
    out[0] = static_cast<std::uint8_t>(value);
    out[1] = static_cast<std::uint8_t>(value >> 8);
    out[2] = static_cast<std::uint8_t>(value >> 16);
    out[3] = static_cast<std::uint8_t>(value >> 24);
}

inline std::uint32_t decode_le32(const std::uint8_t in[4]) {
    return std::uint32_t{in[0]} | std::uint32_t{in[1]} << 8 | std::uint32_t{in[2]} << 16 | std::uint32_t{in[3]} << 24;
}

}  // namespace pattern
