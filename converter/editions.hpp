#pragma once
#include <optional>
#include <string>
#include <string_view>

namespace converter {

// The editions of converter/editions.def.
enum class edition {
#define VELMORA_EDITION(name, version, program) name,
#include "converter/editions.def"
#undef VELMORA_EDITION
};

struct edition_info {
    edition id;
    const char* name;
    int stage_format_version;
};

inline constexpr edition_info editions[] = {
#define VELMORA_EDITION(name, version, program) {edition::name, #name, version},
#include "converter/editions.def"
#undef VELMORA_EDITION
};

inline const edition_info& info_of(edition ed) { return editions[static_cast<int>(ed)]; }
inline const char* edition_name(edition ed) { return info_of(ed).name; }

inline std::optional<edition> edition_from_name(std::string_view name) {
    for (const edition_info& e : editions) {
        if (name == e.name) return e.id;
    }
    return std::nullopt;
}

// "standard, zetaflux or dynamics", for messages and help.
inline std::string edition_names(const char* last_joint = " or ") {
    std::string text;
    constexpr std::size_t n = sizeof editions / sizeof editions[0];
    for (std::size_t i = 0; i < n; ++i) {
        if (i > 0) text += i + 1 == n ? last_joint : ", ";
        text += editions[i].name;
    }
    return text;
}

}  // namespace converter
