#include "text/utf8.hpp"

namespace text {

char32_t drawable(char32_t c) {
    if (c == U'\t' || c == U'\n' || c == U'\r') return U' ';
    if (c < 0x20 || (c >= 0x7F && c < 0xA0)) return replacement_character;
    if (c == 0xFEFF) return 0;
    if (c >= 0xFFFE || (c >= 0xFDD0 && c <= 0xFDEF)) return replacement_character;
    return c;
}

}  // namespace text
