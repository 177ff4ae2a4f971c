#pragma once
#include <string>
#include <string_view>

#include "vaz/utf8.hpp"

namespace text {

// Text is decoded by vaz's one strict decoder (vaz/utf8.hpp).
using vaz::append_utf8;
using vaz::decode_utf8;
using vaz::replacement_character;

// What is drawn for a code point, 0 for nothing: tab, line feed and carriage
// return as a space, other control characters as U+FFFD (never drawn raw),
// the byte-order mark not at all (the font library would take it for a
// switch of byte order), and code points beyond the font library's reach
// (past U+FFFF) or noncharacters as U+FFFD.
char32_t drawable(char32_t c);

}  // namespace text
