#pragma once
#include <string>
#include <string_view>

namespace text {

constexpr char32_t replacement_character = U'\uFFFD';

// Strict UTF-8: every ill-formed piece (a stray continuation byte, an
// overlong form, a surrogate, a value past U+10FFFF, a sequence cut short)
// becomes one U+FFFD per maximal ill-formed part, the way the Unicode
// standard recommends, so the valid text around it is kept as it was.
std::u32string decode_utf8(std::string_view bytes);

// What is drawn for a code point, 0 for nothing: tab, line feed and carriage
// return as a space, other control characters as U+FFFD (never drawn raw),
// the byte-order mark not at all (the font library would take it for a
// switch of byte order), and code points beyond the font library's reach
// (past U+FFFF) or noncharacters as U+FFFD.
char32_t drawable(char32_t c);

// One code point as UTF-8 (U+FFFD for a surrogate or a value past U+10FFFF).
void append_utf8(std::string& out, char32_t c);

}  // namespace text
