#pragma once
#include <string>
#include <string_view>

namespace vaz {

// `s` without the blanks (spaces, tabs, a CR left by a CRLF line) at either
// end: what the `name = value` files this program reads mean by a name or a value.
inline std::string trimmed(std::string_view s) {
    constexpr std::string_view blanks = " \t\r";
    const std::size_t first = s.find_first_not_of(blanks);
    if (first == std::string_view::npos) return {};
    return std::string(s.substr(first, s.find_last_not_of(blanks) - first + 1));
}

}  // namespace vaz
