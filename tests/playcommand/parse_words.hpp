#pragma once
// velmora_play's command line from words, as main hands it over.
#include <string>
#include <vector>

#include "playcommand/options.hpp"

inline playcommand::parsed_options parse(std::vector<std::string> args) {
    args.insert(args.begin(), "velmora_play");
    std::vector<const char*> argv;
    for (const std::string& a : args) argv.push_back(a.c_str());
    return playcommand::parse_options(static_cast<int>(argv.size()), argv.data());
}
