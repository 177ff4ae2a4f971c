#include "text/utf8.hpp"

namespace text {

namespace {

bool continuation(unsigned char b) { return (b & 0xC0) == 0x80; }

// The range the second byte of a sequence must lie in, by its lead byte:
// these bounds are what keep out overlong forms, surrogates and values past
// U+10FFFF.
struct lead_rule {
    int length;
    unsigned char low, high;  // second byte
};

lead_rule rule_for(unsigned char lead) {
    if (lead >= 0xC2 && lead <= 0xDF) return {2, 0x80, 0xBF};
    if (lead == 0xE0) return {3, 0xA0, 0xBF};
    if (lead == 0xED) return {3, 0x80, 0x9F};
    if (lead >= 0xE1 && lead <= 0xEF) return {3, 0x80, 0xBF};
    if (lead == 0xF0) return {4, 0x90, 0xBF};
    if (lead >= 0xF1 && lead <= 0xF3) return {4, 0x80, 0xBF};
    if (lead == 0xF4) return {4, 0x80, 0x8F};
    return {0, 0, 0};
}

}  // namespace

std::u32string decode_utf8(std::string_view bytes) {
    std::u32string out;
    out.reserve(bytes.size());
    const std::size_t n = bytes.size();
    std::size_t i = 0;
    while (i < n) {
        const auto lead = static_cast<unsigned char>(bytes[i]);
        if (lead < 0x80) {
            out.push_back(lead);
            ++i;
            continue;
        }
        const lead_rule r = rule_for(lead);
        if (r.length == 0) {
            out.push_back(replacement_character);
            ++i;
            continue;
        }
        char32_t c = lead & (0xFF >> (r.length + 1));
        std::size_t k = 1;
        for (; k < static_cast<std::size_t>(r.length); ++k) {
            if (i + k >= n) break;
            const auto b = static_cast<unsigned char>(bytes[i + k]);
            const bool fits = k == 1 ? b >= r.low && b <= r.high : continuation(b);
            if (!fits) break;
            c = (c << 6) | (b & 0x3F);
        }
        if (k == static_cast<std::size_t>(r.length)) {
            out.push_back(c);
        } else {
            // The bytes taken so far are one maximal ill-formed part; the
            // byte that broke it starts afresh.
            out.push_back(replacement_character);
        }
        i += k;
    }
    return out;
}

char32_t drawable(char32_t c) {
    if (c == U'\t' || c == U'\n' || c == U'\r') return U' ';
    if (c < 0x20 || (c >= 0x7F && c < 0xA0)) return replacement_character;
    if (c == 0xFEFF) return 0;
    if (c >= 0xFFFE || (c >= 0xFDD0 && c <= 0xFDEF)) return replacement_character;
    return c;
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

}  // namespace text
