#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "game/clipboard.hpp"
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

TEST(ClockOptions, OffsetFromMinus500To500AndAlignmentFromMinus30000To30000AfterTheTwoFileNames) {
    struct clock_case {
        int game_options::*value_of;
        std::vector<std::string> args;
        bool ok;
        int value;
        const char* why;  // the start of the refusal
    };
    constexpr auto offset = &game_options::offset_ms, align = &game_options::align_ms;
    const clock_case cases[] = {
        {offset, {"song.wav", "song.pat"}, true, 0, ""},
        {offset, {"song.wav", "song.pat", "-offset=100"}, true, 100, ""},
        {offset, {"song.wav", "song.pat", "-offset=-500", "-window"}, true, -500, ""},
        {offset, {"song.wav", "song.pat", "-offset=500"}, true, 500, ""},
        {offset, {"song.wav", "song.pat", "-offset=20", "-offset=-20"}, true, -20, ""},  // the last one wins
        {offset, {"-offset=100", "song.pat"}, true, 0, ""},  // a file name, not an option
        {offset, {"-offset=junk"}, true, 0, ""},             // demo start: options are not read
        {offset, {"song.wav", "song.pat", "-offset=501"}, false, 0, "-offset must be"},
        {offset, {"song.wav", "song.pat", "-offset=-501"}, false, 0, "-offset must be"},
        {offset, {"song.wav", "song.pat", "-offset="}, false, 0, "-offset must be"},
        {offset, {"song.wav", "song.pat", "-offset=12ms"}, false, 0, "-offset must be"},
        {offset, {"song.wav", "song.pat", "-offset= 12"}, false, 0, "-offset must be"},
        {offset, {"song.wav", "song.pat", "-offset=99999999999999999999"}, false, 0, "-offset must be"},
        // The alignment stands apart from the offset: the replay keeps only the offset.
        {align, {"song.wav", "song.pat"}, true, 0, ""},
        {align, {"song.wav", "song.pat", "-align=500", "-offset=-20"}, true, 500, ""},
        {offset, {"song.wav", "song.pat", "-align=500", "-offset=-20"}, true, -20, ""},
        {align, {"song.wav", "song.pat", "-align=-30000"}, true, -30000, ""},
        {align, {"song.wav", "song.pat", "-align=30000", "-align=-7"}, true, -7, ""},
        {align, {"-align=12ms"}, true, 0, ""},
        {align, {"song.wav", "song.pat", "-align=30001"}, false, 0, "-align must be"},
        {align, {"song.wav", "song.pat", "-align=-30001"}, false, 0, "-align must be"},
        {align, {"song.wav", "song.pat", "-align="}, false, 0, "-align must be"},
        {align, {"song.wav", "song.pat", "-align=0.5"}, false, 0, "-align must be"},
        {align, {"song.wav", "song.pat", "-align=+-5"}, false, 0, "-align must be"},
        // Both bad: the offset's is told first, the alignment's before the volume's.
        {align, {"song.wav", "song.pat", "-align=x", "-offset=x"}, false, 0, "-offset must be"},
        {align, {"song.wav", "song.pat", "-volume=x", "-align=x"}, false, 0, "-align must be"},
    };
    for (const clock_case& c : cases) {
        const game_options o = read_command_line(c.args);
        std::string line;
        for (const std::string& a : c.args) line += " " + a;
        EXPECT_EQ(o.ok, c.ok) << "velmora" << line;
        if (c.ok) {
            EXPECT_EQ(o.*c.value_of, c.value) << "velmora" << line;
        } else {
            EXPECT_EQ(o.why.rfind(c.why, 0), 0u) << "velmora" << line << ": " << o.why;
        }
    }
}

TEST(SoundOptions, VolumeAndEffectsAfterTheTwoFileNamesFrom0To100) {
    struct percent_case {
        int game_options::*value_of;
        std::vector<std::string> args;
        bool ok;
        int value;
    };
    constexpr auto volume = &game_options::volume, effects = &game_options::effects;
    const percent_case cases[] = {
        {volume, {"song.wav", "song.pat"}, true, 100},
        {volume, {"song.wav", "song.pat", "-volume=0", "-window"}, true, 0},
        {volume, {"song.wav", "song.pat", "-volume=100"}, true, 100},
        {volume, {"song.wav", "song.pat", "-volume=30", "-volume=70"}, true, 70},
        {volume, {"-volume=junk"}, true, 100},  // demo start: options are not read
        {volume, {"song.wav", "song.pat", "-volume=101"}, false, 0},
        {volume, {"song.wav", "song.pat", "-volume=-1"}, false, 0},
        {volume, {"song.wav", "song.pat", "-volume=50%"}, false, 0},
        {volume, {"song.wav", "song.pat", "-volume="}, false, 0},
        // The effects are off unless asked for.
        {effects, {"song.wav", "song.pat"}, true, 0},
        {effects, {"song.wav", "song.pat", "-effects=40", "-window"}, true, 40},
        {effects, {"song.wav", "song.pat", "-effects=100", "-effects=0"}, true, 0},
        {effects, {"-effects=junk"}, true, 0},
        {effects, {"song.wav", "song.pat", "-effects=101"}, false, 0},
        {effects, {"song.wav", "song.pat", "-effects=5x"}, false, 0},
    };
    for (const percent_case& c : cases) {
        const game_options o = read_command_line(c.args);
        const std::string& last = c.args.back();
        EXPECT_EQ(o.ok, c.ok) << last;
        if (c.ok) {
            EXPECT_EQ(o.*c.value_of, c.value) << last;
        } else {
            const std::size_t eq = last.find('=');
            EXPECT_EQ(o.why, last.substr(0, eq) + " must be a whole number from 0 to 100, not \"" + last.substr(eq + 1) + "\"");
        }
    }
}

TEST(GameOptions, FilesRecordingReplayAndTheOffsetsFaultFirst) {
    game_options o = read_command_line({"a.wav", "b.pat", "-record=r.vrp", "-replay=p.vrp", "-record=s.vrp", "-offset=7"});
    EXPECT_FALSE(o.demo);
    EXPECT_EQ(o.music_file, "a.wav");
    EXPECT_EQ(o.pattern_file, "b.pat");
    EXPECT_TRUE(o.replay.record_given && o.replay.replay_given && o.offset_given);
    EXPECT_EQ(o.replay.record_file, "s.vrp");
    EXPECT_EQ(o.replay.replay_file, "p.vrp");

    o = read_command_line({"a.wav", "b.pat", "-replay="});
    EXPECT_TRUE(o.replay.replay_given);
    EXPECT_EQ(o.replay.replay_file, "");
    EXPECT_FALSE(o.replay.record_given || o.offset_given);

    o = read_command_line({"-record=x.vrp"});  // demo start: options are not read
    EXPECT_TRUE(o.demo);
    EXPECT_FALSE(o.replay.record_given);

    // All wrong: the offset is reported, then the volume, whatever the order.
    o = read_command_line({"a.wav", "b.pat", "-effects=101", "-volume=101", "-offset=501"});
    EXPECT_FALSE(o.ok);
    EXPECT_EQ(o.why, "-offset must be a whole number of milliseconds from -500 to 500, not \"501\"");
    o = read_command_line({"a.wav", "b.pat", "-effects=101", "-volume=101"});
    EXPECT_EQ(o.why, "-volume must be a whole number from 0 to 100, not \"101\"");
}

TEST(WatchOptions, SpeedAndMomentNeedAReplayAndStayInRange) {
    struct watch_case {
        std::vector<std::string> args;
        std::string why;  // empty: taken
        int speed;
        std::int64_t at_ms;
    };
    const std::string bad_speed = "-speed: the speed is 0.25 to 8 times the recorded pace, in hundredths at most, not \"";
    const std::string bad_link = "-link= takes a run's link, velmora://HOST:PORT/sessions/ID";
    const std::string bad_at = "-at: a moment is seconds (60, 61.5) or minutes and seconds (1:01.5), not \"";
    const watch_case cases[] = {
        {{"-replay=r.vrp", "-watch"}, "", 100, 0},
        {{"-replay=r.vrp", "-speed=4", "-at=60"}, "", 400, 60000},
        {{"-replay=r.vrp", "-speed=0.25x", "-at=1:01.5"}, "", 25, 61500},
        {{"-replay=r.vrp", "-speed=8", "-at=0.001"}, "", 800, 1},
        {{"-replay=r.vrp", "-speed=1.5", "-at=2:59.999"}, "", 150, 179999},
        {{"-replay=r.vrp", "-speed=0.24"}, bad_speed + "0.24\"", 0, 0},
        {{"-replay=r.vrp", "-speed=8.01"}, bad_speed + "8.01\"", 0, 0},
        {{"-replay=r.vrp", "-speed=0.125"}, bad_speed + "0.125\"", 0, 0},
        {{"-replay=r.vrp", "-speed=-1"}, bad_speed + "-1\"", 0, 0},
        {{"-replay=r.vrp", "-speed=fast"}, bad_speed + "fast\"", 0, 0},
        {{"-replay=r.vrp", "-speed=."}, bad_speed + ".\"", 0, 0},
        {{"-replay=r.vrp", "-at=-5"}, bad_at + "-5\"", 0, 0},
        {{"-replay=r.vrp", "-at=1:5"}, bad_at + "1:5\"", 0, 0},
        {{"-replay=r.vrp", "-at=1:60"}, bad_at + "1:60\"", 0, 0},
        {{"-replay=r.vrp", "-at=90000"}, bad_at + "90000\"", 0, 0},
        {{"-speed=2"}, "watching needs -replay=FILE", 0, 0},
        {{"-replay=r.vrp", "-record=s.vrp", "-watch"}, "a replay being watched is not recorded", 0, 0},
        {{"-replay=r.vrp", "-watch", "-link=velmora://[::1]:8029/sessions/7"}, "", 100, 0},
        {{"-replay=r.vrp", "-watch", "-link=https://h/sessions/7"}, "", 100, 0},
        {{"-replay=r.vrp", "-watch", "-link=file:///sessions/7"}, bad_link, 0, 0},
        {{"-replay=r.vrp", "-watch", "-link=velmora://h/sessions/7;rm -rf ~"}, bad_link, 0, 0},
        {{"-replay=r.vrp", "-link=velmora://h:1/sessions/7"}, "-link= goes with -watch", 0, 0},
        // The offset is still reported first.
        {{"-replay=r.vrp", "-speed=9", "-offset=501"}, "-offset must be a whole number of milliseconds from -500 to 500, not \"501\"", 0, 0},
    };
    for (const watch_case& c : cases) {
        std::vector<std::string> args{"a.wav", "b.pat"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const game_options o = read_command_line(args);
        const std::string& last = c.args.back();
        EXPECT_EQ(o.why, c.why) << last;
        EXPECT_EQ(o.ok, c.why.empty()) << last;
        if (!o.ok) continue;
        EXPECT_TRUE(o.watch.on) << last;
        EXPECT_EQ(o.watch.speed, c.speed) << last;
        EXPECT_EQ(o.watch.at_ms, c.at_ms) << last;
    }
    EXPECT_FALSE(read_command_line({"a.wav", "b.pat", "-replay=r.vrp"}).watch.on);
}

TEST(GhostOptions, TheReplayToRaceAndTheLineItShows) {
    game_options o = read_command_line({"a.wav", "b.pat", "-ghost=g.vrp", "-ghost-name=Mira #1"});
    EXPECT_TRUE(o.ok);
    EXPECT_EQ(o.ghost.replay_file, "g.vrp");
    EXPECT_EQ(o.ghost.name, "Mira #1");
    o = read_command_line({"a.wav", "b.pat", "-ghost="});
    EXPECT_EQ(o.why, "-ghost= needs a replay file");
    EXPECT_EQ(read_command_line({"-ghost=g.vrp"}).ghost.replay_file, "") << "a demo start reads no options";

    struct line_case {
        std::int32_t hits, score;
        const char* line;
    };
    const line_case lines[] = {
        {-3, 1240, "-3 hits, +1,240 vs Mira #1"},
        {1, -5, "+1 hit, -5 vs Mira #1"},
        {0, 0, "0 hits, 0 vs Mira #1"},
        {-1, -1234567, "-1 hit, -1,234,567 vs Mira #1"},
        {12, 100, "+12 hits, +100 vs Mira #1"},
    };
    for (const line_case& c : lines) EXPECT_EQ(ghost_difference_text(c.hits, c.score, "Mira #1"), c.line);
}

// L while watching: the link at the moment shown, handed to the first
// clipboard tool on the PATH on its standard input; none there is said.
TEST(WatchLink, TheLinkAtTheMomentGoesToTheClipboardTool) {
    EXPECT_EQ(link_at_moment("velmora://h:1/sessions/7", 75 * 60 + 59), "velmora://h:1/sessions/7?t=75");
    char folder[] = "/tmp/velmora_clip_XXXXXX";
    ASSERT_NE(::mkdtemp(folder), nullptr);
    const std::string dir = folder, got = dir + "/got";
    {
        std::ofstream tool(dir + "/xclip");
        tool << "#!/bin/sh\necho \"$@\" > '" << got << ".tmp'\ncat >> '" << got << ".tmp'\nmv '" << got << ".tmp' '"
             << got << "'\n";
    }
    ::chmod((dir + "/xclip").c_str(), 0755);
    const char* was = std::getenv("PATH");
    const std::string saved = was ? was : "";
    ::setenv("PATH", (dir + ":/usr/bin:/bin").c_str(), 1);
    EXPECT_TRUE(copy_to_clipboard("velmora://h:1/sessions/7?t=3"));
    std::string text;
    for (int i = 0; i < 200 && text.empty(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        std::ifstream in(got);
        text.assign(std::istreambuf_iterator<char>(in), {});
    }
    EXPECT_EQ(text, "-selection clipboard\nvelmora://h:1/sessions/7?t=3");
    ::setenv("PATH", dir.c_str(), 1);
    ::unlink((dir + "/xclip").c_str());
    EXPECT_FALSE(copy_to_clipboard("x")) << "no tool on the PATH";
    ::setenv("PATH", saved.c_str(), 1);
    ::unlink(got.c_str());
    ::rmdir(folder);
}
