#include "game/number_option.hpp"

#include <cstring>


number_option read_number_option(int argc, char** argv, const char* prefix, vaz::whole_range range, int default_value,
                                 const std::string& what) {
    number_option o{default_value, true, {}};
    if (argc < 3) return o;
    const std::size_t prefix_length = std::strlen(prefix);
    for (int i = 3; i < argc; ++i) {
        if (std::strncmp(argv[i], prefix, prefix_length) != 0) continue;
        const char* text = argv[i] + prefix_length;
        if (!vaz::parse_whole_number(text, range, o.value)) {
            o.ok = false;
            o.why = std::string(prefix, prefix_length - 1) + " must be " + what + " " + range.text() + ", not \"" + text +
                    "\"";
            return o;
        }
    }
    return o;
}

number_option read_volume_option(int argc, char** argv) {
    return read_number_option(argc, argv, "-volume=", vaz::volume_range, full_volume, "a whole number");
}
