#pragma once
#include <string>

// An option "-name=N" after the two file names, N a whole number in a range
// (the last one on the line counts). A demo start reads no options.
struct number_option {
    int value;         // the default when the option is not given
    bool ok = true;    // false: present but malformed or out of range
    std::string why;   // then: what is wrong, as the message says it
};

// what describes a good value for the message, e.g. "a whole number from 0 to 100".
number_option read_number_option(int argc, char** argv, const char* prefix, int low, int high, int default_value,
                                 const char* what);

// -volume=N: the music's volume in percent, 0 to 100; 100 plays the music at
// its decoded level, exactly as without the option.
constexpr int full_volume = 100;
number_option read_volume_option(int argc, char** argv);

// -effects=N: the sound effects' volume in percent, 0 to 100; without it
// (or at 0) the game plays none.
number_option read_effects_option(int argc, char** argv);
