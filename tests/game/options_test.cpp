#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "game/entry.hpp"

namespace {

bool fullscreen_for(std::vector<std::string> args) {
    args.insert(args.begin(), "velmora");
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    return choose_fullscreen(static_cast<int>(args.size()), argv.data());
}

struct option_case {
    std::vector<std::string> args;
    bool fullscreen;
};

}  // namespace

TEST(DisplayOptions, LastOptionAfterTheTwoFileNamesWins) {
    const option_case cases[] = {
        {{}, true},
        {{"song.wav"}, true},
        {{"-window"}, true},                       // demo start: options are not read
        {{"song.wav", "-window"}, true},           // still a demo start
        {{"-window", "-window"}, true},            // file names are never options
        {{"song.wav", "song.pat"}, true},
        {{"song.wav", "song.pat", "-window"}, false},
        {{"song.wav", "song.pat", "-fullscreen"}, true},
        {{"song.wav", "song.pat", "-window", "-fullscreen"}, true},
        {{"song.wav", "song.pat", "-fullscreen", "-window"}, false},
        {{"song.wav", "song.pat", "-window", "junk", "-window"}, false},
        {{"song.wav", "song.pat", "-window", "junk"}, false},
        {{"song.wav", "song.pat", "-Window"}, true},
        {{"song.wav", "song.pat", "--window"}, true},
        {{"song.wav", "song.pat", "-window "}, true},
        {{"song.wav", "song.pat", "window"}, true},
    };
    for (const option_case& c : cases) {
        std::string line;
        for (const std::string& a : c.args) line += " " + a;
        EXPECT_EQ(fullscreen_for(c.args), c.fullscreen) << "velmora" << line;
    }
}
