#pragma once
#include <cstdint>
#include <string>
#include <string_view>

// Text from tags and file names as the song library keeps it.
namespace musicfiles {

bool is_valid_utf8(std::string_view bytes);

// Valid UTF-8 whatever the bytes: each maximal ill-formed part (a stray
// byte, an overlong form, a surrogate, a sequence cut short) becomes one
// U+FFFD; control characters (C0, DEL, C1), which could steer a
// terminal, become '?'. Spaces around it are trimmed.
std::string clean_text(std::string_view bytes);

// The last part of a path, and that without its ending ("Track 01" for
// ".../Track 01.flac"), cleaned: what a file without a title tag is called.
std::string file_name(std::string_view path);
std::string title_from_file_name(std::string_view path);

// Calls `each` with every code point of valid UTF-8 text.
template <class Each>
void for_each_code_point(std::string_view text, Each each) {
    for (std::size_t i = 0; i < text.size();) {
        const auto b = static_cast<unsigned char>(text[i]);
        const int length = b < 0x80 ? 1 : b < 0xe0 ? 2 : b < 0xf0 ? 3 : 4;
        std::uint32_t cp = length == 1 ? b : length == 2 ? (b & 0x1f) : length == 3 ? (b & 0x0f) : (b & 0x07);
        for (int k = 1; k < length && i + k < text.size(); ++k)
            cp = (cp << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3f);
        each(cp);
        i += static_cast<std::size_t>(length);
    }
}

// Scripts written without spaces between words (Chinese, Japanese kana,
// Thai and their kin), where a word search cannot find a part of a title.
bool is_spaceless_script(std::uint32_t code_point);

}  // namespace musicfiles
