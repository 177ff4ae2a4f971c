#pragma once
#include <string>

#include "vaz/limits.hpp"

// An option "-name=N" after the two file names, N a whole number in a range
// (the last one on the line counts). A demo start reads no options.
struct number_option {
    int value;         // the default when the option is not given
    bool ok = true;    // false: present but malformed or out of range
    std::string why;   // then: what is wrong, as the message says it
};

// what describes a good value for the message before its range, e.g. "a
// whole number" for "a whole number from 0 to 100".
number_option read_number_option(int argc, char** argv, const char* prefix, vaz::whole_range range, int default_value,
                                 const std::string& what);

// -volume=N: the music's volume in percent (vaz::volume_range); full volume
// plays the music at its decoded level, exactly as without the option.
constexpr int full_volume = vaz::volume_range.high;
number_option read_volume_option(int argc, char** argv);
