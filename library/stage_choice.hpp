#pragma once
#include <optional>
#include <string_view>

#include "converter/difficulty.hpp"
#include "converter/editions.hpp"

namespace library {

// Which of a song's stages: typed through the library's calls, as text
// only where it is stored (rows, session names, files, the server's API).
struct stage_choice {
    converter::edition edition = converter::edition::standard;
    converter::difficulty difficulty = converter::difficulty::hard;
    const char* edition_name() const { return converter::edition_name(edition); }
    const char* difficulty_name() const { return converter::difficulty_name(difficulty); }
    // Nothing for a name this program does not know (a newer one stored it).
    static std::optional<stage_choice> from_names(std::string_view edition, std::string_view difficulty) {
        const auto ed = converter::edition_from_name(edition);
        const auto d = converter::difficulty_from_name(difficulty);
        if (!ed || !d) return std::nullopt;
        return stage_choice{*ed, *d};
    }
};

}  // namespace library
