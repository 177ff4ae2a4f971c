#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "game/options.hpp"

namespace {

// The options of "velmora" followed by args, as main hands them over.
game_options read_command_line(std::vector<std::string> args) {
    args.insert(args.begin(), "velmora");
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    return read_game_options(static_cast<int>(args.size()), argv.data());
}

bool fullscreen_for(const std::vector<std::string>& args) { return read_command_line(args).fullscreen; }

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

TEST(ClockOptions, OffsetAfterTheTwoFileNamesFromMinus500To500) {
    struct offset_case {
        std::vector<std::string> args;
        bool ok;
        int offset_ms;
    };
    const offset_case cases[] = {
        {{"song.wav", "song.pat"}, true, 0},
        {{"song.wav", "song.pat", "-offset=100"}, true, 100},
        {{"song.wav", "song.pat", "-offset=-500", "-window"}, true, -500},
        {{"song.wav", "song.pat", "-offset=500"}, true, 500},
        {{"song.wav", "song.pat", "-offset=20", "-offset=-20"}, true, -20},  // the last one wins
        {{"-offset=100", "song.pat"}, true, 0},                              // a file name, not an option
        {{"-offset=junk"}, true, 0},                                         // demo start: options are not read
        {{"song.wav", "song.pat", "-offset=501"}, false, 0},
        {{"song.wav", "song.pat", "-offset=-501"}, false, 0},
        {{"song.wav", "song.pat", "-offset="}, false, 0},
        {{"song.wav", "song.pat", "-offset=12ms"}, false, 0},
        {{"song.wav", "song.pat", "-offset= 12"}, false, 0},
        {{"song.wav", "song.pat", "-offset=99999999999999999999"}, false, 0},
    };
    for (const offset_case& c : cases) {
        const game_options o = read_command_line(c.args);
        std::string line;
        for (const std::string& a : c.args) line += " " + a;
        EXPECT_EQ(o.ok, c.ok) << "velmora" << line;
        if (c.ok) {
            EXPECT_EQ(o.offset_ms, c.offset_ms) << "velmora" << line;
        } else {
            EXPECT_NE(o.why.find("-offset must be"), std::string::npos) << o.why;
        }
    }
}

TEST(SoundOptions, VolumeAfterTheTwoFileNamesFrom0To100) {
    struct volume_case {
        std::vector<std::string> args;
        bool ok;
        int volume;
    };
    const volume_case cases[] = {
        {{"song.wav", "song.pat"}, true, 100},
        {{"song.wav", "song.pat", "-volume=0", "-window"}, true, 0},
        {{"song.wav", "song.pat", "-volume=100"}, true, 100},
        {{"song.wav", "song.pat", "-volume=30", "-volume=70"}, true, 70},
        {{"-volume=junk"}, true, 100},  // demo start: options are not read
        {{"song.wav", "song.pat", "-volume=101"}, false, 0},
        {{"song.wav", "song.pat", "-volume=-1"}, false, 0},
        {{"song.wav", "song.pat", "-volume=50%"}, false, 0},
        {{"song.wav", "song.pat", "-volume="}, false, 0},
    };
    for (const volume_case& c : cases) {
        const game_options o = read_command_line(c.args);
        const std::string& last = c.args.back();
        EXPECT_EQ(o.ok, c.ok) << last;
        if (c.ok) {
            EXPECT_EQ(o.volume, c.volume) << last;
        } else {
            EXPECT_EQ(o.why, "-volume must be a whole number from 0 to 100, not \"" + last.substr(8) + "\"");
        }
    }
}

TEST(GameOptions, FilesRecordingReplayAndTheOffsetsFaultFirst) {
    game_options o = read_command_line({"a.wav", "b.pat", "-record=r.vrp", "-replay=p.vrp", "-record=s.vrp", "-offset=7"});
    EXPECT_FALSE(o.demo);
    EXPECT_EQ(o.music_file, "a.wav");
    EXPECT_EQ(o.pattern_file, "b.pat");
    EXPECT_TRUE(o.record_given && o.replay_given && o.offset_given);
    EXPECT_EQ(o.record_file, "s.vrp");
    EXPECT_EQ(o.replay_file, "p.vrp");

    o = read_command_line({"a.wav", "b.pat", "-replay="});
    EXPECT_TRUE(o.replay_given);
    EXPECT_EQ(o.replay_file, "");
    EXPECT_FALSE(o.record_given || o.offset_given);

    o = read_command_line({"-record=x.vrp"});  // demo start: options are not read
    EXPECT_TRUE(o.demo);
    EXPECT_FALSE(o.record_given);

    // Both wrong: the offset is reported, whatever the order.
    o = read_command_line({"a.wav", "b.pat", "-volume=101", "-offset=501"});
    EXPECT_FALSE(o.ok);
    EXPECT_EQ(o.why, "-offset must be a whole number of milliseconds from -500 to 500, not \"501\"");
}
