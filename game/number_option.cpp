#include "game/number_option.hpp"

#include <cstring>

#include "vaz/whole_number.hpp"

number_option read_number_option(int argc, char** argv, const char* prefix, int low, int high, int default_value,
                                 const char* what) {
    number_option o{default_value, true, {}};
    if (argc < 3) return o;
    const std::size_t prefix_length = std::strlen(prefix);
    for (int i = 3; i < argc; ++i) {
        if (std::strncmp(argv[i], prefix, prefix_length) != 0) continue;
        const char* text = argv[i] + prefix_length;
        if (!vaz::parse_whole_number(text, low, high, o.value)) {
            o.ok = false;
            o.why = std::string(prefix, prefix_length - 1) + " must be " + what + ", not \"" + text + "\"";
            return o;
        }
    }
    return o;
}

number_option read_volume_option(int argc, char** argv) {
    return read_number_option(argc, argv, "-volume=", 0, full_volume, full_volume, "a whole number from 0 to 100");
}

number_option read_effects_option(int argc, char** argv) {
    return read_number_option(argc, argv, "-effects=", 0, full_volume, 0, "a whole number from 0 to 100");
}
