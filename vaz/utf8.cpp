#include "vaz/utf8.hpp"

namespace vaz {

utf8_sequence utf8_sequence_at(std::string_view s, std::size_t at) {
    const auto b0 = static_cast<unsigned char>(s[at]);
    if (b0 < 0x80) return {1, true, b0};
    std::size_t length = 0;
    unsigned lo = 0x80, hi = 0xbf;
    if (b0 >= 0xc2 && b0 <= 0xdf) {
        length = 2;
    } else if (b0 >= 0xe0 && b0 <= 0xef) {
        length = 3;
        lo = b0 == 0xe0 ? 0xa0 : 0x80;
        hi = b0 == 0xed ? 0x9f : 0xbf;
    } else if (b0 >= 0xf0 && b0 <= 0xf4) {
        length = 4;
        lo = b0 == 0xf0 ? 0x90 : 0x80;
        hi = b0 == 0xf4 ? 0x8f : 0xbf;
    } else {
        return {1, false, replacement_character};
    }
    char32_t c = b0 & (0xFF >> (length + 1));
    std::size_t k = 1;
    for (; k < length && at + k < s.size(); ++k) {
        const auto b = static_cast<unsigned char>(s[at + k]);
        if (k == 1 ? (b < lo || b > hi) : (b & 0xc0) != 0x80) break;
        c = (c << 6) | (b & 0x3F);
    }
    if (k != length) return {k, false, replacement_character};
    return {k, true, c};
}

std::u32string decode_utf8(std::string_view bytes) {
    std::u32string out;
    out.reserve(bytes.size());
    for_each_code_point(bytes, [&](std::uint32_t c) { out.push_back(c); });
    return out;
}

bool is_valid_utf8(std::string_view bytes) {
    for (std::size_t i = 0; i < bytes.size();) {
        const utf8_sequence q = utf8_sequence_at(bytes, i);
        if (!q.valid) return false;
        i += q.length;
    }
    return true;
}

void append_utf8(std::string& out, char32_t c) {
    if ((c >= 0xD800 && c <= 0xDFFF) || c > 0x10FFFF) c = replacement_character;
    if (c < 0x80) {
        out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (c >> 6)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (c >> 12)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (c >> 18)));
        out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
}

}  // namespace vaz
