#pragma once
#include <cstdint>
#include <string>
#include <string_view>

#include "vaz/utf8.hpp"

// Text from tags and file names as the song library keeps it.
namespace musicfiles {

using vaz::for_each_code_point;
using vaz::is_valid_utf8;

// Valid UTF-8 whatever the bytes: each maximal ill-formed part (a stray
// byte, an overlong form, a surrogate, a sequence cut short) becomes one
// U+FFFD; control characters (C0, DEL, C1), which could steer a
// terminal, become '?'. Spaces around it are trimmed.
std::string clean_text(std::string_view bytes);

// The last part of a path, and that without its ending ("Track 01" for
// ".../Track 01.flac"), cleaned: what a file without a title tag is called.
std::string file_name(std::string_view path);
std::string title_from_file_name(std::string_view path);

// Scripts written without spaces between words (Chinese, Japanese kana,
// Thai and their kin), where a word search cannot find a part of a title.
bool is_spaceless_script(std::uint32_t code_point);

}  // namespace musicfiles
