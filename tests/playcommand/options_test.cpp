#include "playcommand/options.hpp"
#include "playcommand/parse_words.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "launching/launch.hpp"
#include "playcommand/ghost_choice.hpp"
#include "stagecache/stage_cache.hpp"

using namespace launching;
using namespace playcommand;


TEST(Options, TakeTheSongsEditionAndModes) {
    parsed_options p = parse({"--edition", "zetaflux", "song.ogg", "--fullscreen"});
    ASSERT_TRUE(p.ok) << p.error;
    EXPECT_EQ(p.options.what, command::play);
    EXPECT_EQ(p.options.edition, converter::edition::zetaflux);
    EXPECT_TRUE(p.options.fullscreen);
    EXPECT_EQ(p.options.songs, std::vector<std::string>{"song.ogg"});

    p = parse({"--prepare", "a", "--jobs=3", "--edition=standard", "b", "--", "--odd-name"});
    ASSERT_TRUE(p.ok) << p.error;
    EXPECT_EQ(p.options.what, command::prepare);
    EXPECT_EQ(p.options.jobs, 3u);
    EXPECT_EQ(p.options.songs, (std::vector<std::string>{"a", "b", "--odd-name"}));
    EXPECT_TRUE(p.options.edition_given);
    EXPECT_FALSE(p.options.difficulty_given) << "the saved difficulty counts";
    EXPECT_EQ(p.options.difficulty, converter::difficulty::normal) << "a new player's, unless one is saved";
    // Every edition of the registry, at any difficulty.
    p = parse({"--edition", "dynamics", "--difficulty=easy", "song.ogg"});
    ASSERT_TRUE(p.ok) << p.error;
    EXPECT_EQ(p.options.edition, converter::edition::dynamics);
    EXPECT_EQ(p.options.difficulty, converter::difficulty::easy);

    EXPECT_EQ(parse({"--list"}).options.what, command::list);
    EXPECT_EQ(parse({"--replay", "song", "--edition", "zetaflux"}).options.what, command::replay);
    EXPECT_EQ(parse({"song", "--help"}).options.what, command::help);
    EXPECT_EQ(parse({"--version"}).options.what, command::version);
    EXPECT_EQ(parse({"--calibrate"}).options.what, command::calibrate);
    p = parse({"--watch", "best.vrp", "--at=1:00.5", "--speed", "0.25"});
    ASSERT_TRUE(p.ok) << p.error;
    EXPECT_EQ(p.options.what, command::watch);
    EXPECT_EQ(p.options.songs, std::vector<std::string>{"best.vrp"});
    EXPECT_EQ(p.options.watch_at_ms, 60500);
    EXPECT_EQ(p.options.watch_speed, 25);
    EXPECT_EQ(parse({"--watch", "a.vrp", "--ghost=top"}).options.ghost, "top");
    p = parse({"song.flac", "--ghost", "other.vrp"});
    EXPECT_EQ(p.options.what, command::play);
    EXPECT_EQ(p.options.ghost, "other.vrp");
    // From the desktop: no file opens the library screen, several play the first.
    EXPECT_EQ(parse({}).options.what, command::library);
    EXPECT_EQ(parse({"--fullscreen"}).options.what, command::library);
    p = parse({"a.flac", "b.ogg"});
    EXPECT_EQ(p.options.what, command::play);
    EXPECT_EQ(p.options.songs.front(), "a.flac");

    p = parse({"song", "--offset", "-20", "--volume=35"});
    ASSERT_TRUE(p.ok) << p.error;
    EXPECT_EQ(p.options.what, command::play);
    EXPECT_EQ(p.options.offset_ms, -20);
    EXPECT_EQ(p.options.volume, 35);
    EXPECT_FALSE(parse({"song"}).options.offset_ms.has_value()) << "no --offset: the saved one counts";
    p = parse({"--add", "Music", "/mnt/more"});
    EXPECT_EQ(p.options.what, command::add);
    EXPECT_EQ(p.options.songs, (std::vector<std::string>{"Music", "/mnt/more"}));
    EXPECT_EQ(parse({"--folders"}).options.what, command::folders);
    EXPECT_EQ(parse({"--forget", "Music"}).options.what, command::forget);
    EXPECT_EQ(parse({"--scan"}).options.what, command::scan);
    p = parse({"--search", "night drive", "--sort=artist"});
    ASSERT_TRUE(p.ok) << p.error;
    EXPECT_EQ(p.options.what, command::search);
    EXPECT_EQ(p.options.search, "night drive");
    EXPECT_EQ(p.options.sort, musicindex::sort_order::artist);
    EXPECT_EQ(parse({"--list", "--sort", "best"}).options.sort, musicindex::sort_order::best);

    p = parse({"--online=http://127.0.0.1:8029", "--player", "Mira"});
    EXPECT_EQ(p.options.what, command::go_online);
    EXPECT_EQ(p.options.server + " " + p.options.player, "http://127.0.0.1:8029 Mira");
    EXPECT_EQ(parse({"--offline"}).options.what, command::go_offline);
    EXPECT_EQ(parse({"--submit"}).options.what, command::submit);
    EXPECT_FALSE(parse({"--submit"}).options.all);
    EXPECT_TRUE(parse({"--all", "--submit"}).options.all);
    EXPECT_EQ(parse({"--board", "--edition", "dynamics", "song.ogg"}).options.what, command::board);
    p = parse({"--show", "song.ogg"});
    EXPECT_EQ(p.options.what, command::library);
    EXPECT_EQ(p.options.songs, std::vector<std::string>{"song.ogg"});

    p = parse({"--volume", "0"});
    ASSERT_TRUE(p.ok) << p.error;
    EXPECT_EQ(p.options.what, command::set_volume);
    EXPECT_EQ(p.options.volume, 0);
}

// A new player's stage is the dynamics edition at normal; the saved edition
// and difficulty count unless the command line names its own.
TEST(Options, FollowTheSavedStageUnlessTheyNameOne) {
    parsed_options p = parse({"song.ogg"});
    ASSERT_TRUE(p.ok) << p.error;
    EXPECT_EQ(p.options.edition, converter::edition::dynamics);
    EXPECT_EQ(p.options.difficulty, converter::difficulty::normal);
    std::vector<std::string> warnings;
    userfiles::settings saved;
    follow_saved_stage(p.options, saved, warnings);
    EXPECT_EQ(p.options.edition, converter::edition::dynamics) << "the settings' own defaults";
    EXPECT_EQ(p.options.difficulty, converter::difficulty::normal);

    saved.edition = "zetaflux";
    saved.difficulty = "easy";
    follow_saved_stage(p.options, saved, warnings);
    EXPECT_EQ(p.options.edition, converter::edition::zetaflux);
    EXPECT_EQ(p.options.difficulty, converter::difficulty::easy);
    EXPECT_TRUE(warnings.empty());

    p = parse({"--difficulty", "hard", "song.ogg"});
    follow_saved_stage(p.options, saved, warnings);
    EXPECT_EQ(p.options.edition, converter::edition::zetaflux);
    EXPECT_EQ(p.options.difficulty, converter::difficulty::hard) << "the command line's over the saved one";

    p = parse({"--edition=standard", "song.ogg"});
    saved.edition = "deluxe";
    saved.difficulty = "brutal";
    follow_saved_stage(p.options, saved, warnings);
    EXPECT_EQ(p.options.edition, converter::edition::standard);
    EXPECT_EQ(p.options.difficulty, converter::difficulty::normal) << "an unknown saved one is left for the default";
    EXPECT_EQ(warnings, std::vector<std::string>{"settings: unknown difficulty \"brutal\"; using normal"});
}

TEST(Options, RefuseBadUsageSayingWhy) {
    const struct {
        std::vector<std::string> args;
        const char* error;
    } rows[] = {
        {{"--edition"}, "--edition needs"},
        {{"--edition", "deluxe", "a"}, "unknown edition \"deluxe\"; it is standard, zetaflux or dynamics"},
        {{"a", "--difficulty"}, "--difficulty needs easy, normal or hard"},
        {{"--difficulty", "brutal", "a"}, "unknown difficulty \"brutal\""},
        {{"--jobs", "0", "--prepare", "a"}, "--jobs takes"},
        {{"--jobs", "2x", "--prepare", "a"}, "--jobs takes"},
        {{"--window", "a"}, "unknown option \"--window\""},
        {{"--fullscreen=1", "a"}, "unknown option"},
        {{"--prepare"}, "--prepare needs"},
        {{"--list", "a"}, "--list takes no songs"},
        {{"--list", "--prepare", "a"}, "cannot be combined"},
        {{"--offset", "501", "a"}, "--offset takes a whole number of milliseconds from -500 to 500, not \"501\""},
        {{"--offset=12ms", "a"}, "--offset takes"},
        {{"a", "--offset"}, "--offset needs"},
        {{"--volume", "101", "a"}, "--volume takes a whole number from 0 to 100, not \"101\""},
        {{"--volume=-1"}, "--volume takes"},
        {{"--volume", " 5"}, "--volume takes"},
        {{"--offset", "10"}, "no song given for --offset"},
        {{"--calibrate", "a"}, "--calibrate takes no songs"},
        {{"--calibrate", "--list"}, "--list and --calibrate cannot be combined"},
        {{"--calibrate", "--offset", "5"}, "--offset is for playing; it does not go with --calibrate"},
        {{"--list", "--volume", "5"}, "--volume is for playing"},
        {{"--replay", "--prepare", "a"}, "--prepare and --replay cannot be combined"},
        {{"--replay"}, "--replay takes one song"},
        {{"--replay", "a", "b"}, "--replay takes one song"},
        {{"--add"}, "--add needs one or more folders"},
        {{"--forget"}, "--forget takes one folder"},
        {{"--forget", "a", "b"}, "--forget takes one folder"},
        {{"--scan", "a"}, "--scan takes no folders"},
        {{"--add", "a", "--scan"}, "--add and --scan cannot be combined"},
        {{"--search"}, "--search needs"},
        {{"--search", "a", "b"}, "--search takes one text"},
        {{"--sort", "title", "a"}, "--sort goes with --list or --search"},
        {{"--list", "--sort", "length"}, "unknown order \"length\""},
        {{"--add", "a", "--offset", "5"}, "--offset is for playing; it does not go with --add"},
        {{"--online", "http://h:1"}, "--online needs --player NAME"},
        {{"--player", "Mira", "a"}, "--player goes with --online"},
        {{"--all", "a"}, "--all goes with --submit"},
        {{"--submit", "--all", "a"}, "--submit takes nothing else"},
        {{"--online", "http://h:1", "--player", "Mira", "a"}, "--online takes nothing else"},
        {{"--offline", "--submit"}, "--offline and --submit cannot be combined"},
        {{"--board"}, "--board takes one song"},
        {{"--show"}, "--show takes one song"},
        {{"--show", "a", "--replay"}, "--replay and --show cannot be combined"},
        {{"--show", "a", "--offset", "5"}, "--offset is for playing; it does not go with --show"},
        {{"--watch"}, "--watch takes one replay file"},
        {{"--watch", "a.vrp", "b.vrp"}, "--watch takes one replay file"},
        {{"--watch", "a.vrp", "--speed", "10"}, "--speed: the speed is 0.25 to 8 times the recorded pace, in hundredths at most, not \"10\""},
        {{"--watch", "a.vrp", "--speed=0.2"}, "--speed: the speed is 0.25 to 8"},
        {{"--watch", "a.vrp", "--speed"}, "--speed needs a speed, 0.25 to 8"},
        {{"--watch", "a.vrp", "--at", "soon"}, "--at: a moment is seconds"},
        {{"a.vrp", "--speed", "2"}, "--speed goes with --watch"},
        {{"a.vrp", "--at", "60"}, "--at goes with --watch"},
        {{"--watch", "--replay", "a"}, "--replay and --watch cannot be combined"},
        {{"song", "--ghost"}, "--ghost needs best, top or a replay file"},
        {{"song", "--ghost="}, "--ghost needs best, top or a replay file"},
        {{"--replay", "song", "--ghost", "best"}, "--ghost goes with playing a song or with --watch"},
        {{"--ghost", "best"}, "--ghost goes with playing a song or with --watch"},
    };
    for (const auto& row : rows) {
        const parsed_options p = parse(row.args);
        EXPECT_FALSE(p.ok) << row.error;
        EXPECT_NE(p.error.find(row.error), std::string::npos) << p.error;
    }
}

TEST(GameArguments, TheSettingsFollowOnlyWhenTheyAreNotTheGamesDefaults) {
    const std::vector<std::string> base = game_arguments("velmora", "s.ogg", "s.pat", false);
    std::vector<std::string> args = base;
    add_setting_arguments(args, 0, 100);
    EXPECT_EQ(args, base);
    add_setting_arguments(args, -35, 0);
    std::vector<std::string> expected = base;
    expected.insert(expected.end(), {"-offset=-35", "-volume=0"});
    EXPECT_EQ(args, expected);
    // A board's stage: its alignment beside the player's own offset, which the replay keeps.
    args = base;
    add_setting_arguments(args, 0, 100, -1200);
    expected = base;
    expected.push_back("-align=-1200");
    EXPECT_EQ(args, expected);
    args = base;
    add_setting_arguments(args, 20, 100, 500);
    expected = base;
    expected.insert(expected.end(), {"-offset=20", "-align=500"});
    EXPECT_EQ(args, expected);
}

// --ghost best while watching races the best of the watched replay's stage:
// its edition and difficulty are read back from the name the cache gave it.
TEST(GhostChoice, TheStageOfACachedFileIsReadFromItsName) {
    const stagecache::stage_cache cache("/cache");
    const stagecache::song_hash song = vaz::hash_bytes("song", 4);
    const std::pair<const char*, const char*> stages[] = {
        {"dynamics", "easy"}, {"dynamics", "normal"}, {"zetaflux", "hard"}, {"standard", "hard"}};
    for (const auto& [edition, difficulty] : stages) {
        stage_named s;
        ASSERT_TRUE(stage_of_cache_name(cache.entry_path(song, {edition, difficulty}), s)) << edition;
        EXPECT_EQ(s.song_hash, song.hex());
        EXPECT_EQ(s.edition + " " + s.difficulty, std::string(edition) + " " + difficulty);
    }
    stage_named s;
    EXPECT_FALSE(stage_of_cache_name("/somewhere/run.pat", s));
    EXPECT_FALSE(stage_of_cache_name("", s));
}
