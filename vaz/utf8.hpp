#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// The one strict UTF-8 decoder: the screens' text, the music files' tags and
// names, and what the command line prints all read bytes through it.
namespace vaz {

constexpr char32_t replacement_character = U'\uFFFD';

// The valid UTF-8 sequence at `at`, or else the maximal ill-formed part there
// (its lead byte and the continuation bytes that still fit), which stands
// for one U+FFFD, as the Unicode standard recommends, so the valid text
// around it is kept as it was. The second byte's bounds keep out overlong
// forms, surrogates and values past U+10FFFF.
struct utf8_sequence {
    std::size_t length;  // bytes, at least 1
    bool valid;
    char32_t code_point;  // replacement_character when not valid
};
utf8_sequence utf8_sequence_at(std::string_view bytes, std::size_t at);

std::u32string decode_utf8(std::string_view bytes);
bool is_valid_utf8(std::string_view bytes);

// One code point as UTF-8 (U+FFFD for a surrogate or a value past U+10FFFF).
void append_utf8(std::string& out, char32_t c);

// Calls `each` with every code point of the text, U+FFFD for each ill-formed part.
template <class Each>
void for_each_code_point(std::string_view text, Each each) {
    for (std::size_t i = 0; i < text.size();) {
        const utf8_sequence q = utf8_sequence_at(text, i);
        each(static_cast<std::uint32_t>(q.code_point));
        i += q.length;
    }
}

}  // namespace vaz
