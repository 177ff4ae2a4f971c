#pragma once
#include <string>

#include "game/ghost.hpp"
#include "results/watch_pace.hpp"
#include "vaz/limits.hpp"

// -volume=N: full volume plays the music at its decoded level, exactly as
// without the option.
constexpr int full_volume = vaz::volume_range.high;
// -effects=N: without it (or at this) the game plays no sound effects.
constexpr int no_effects = vaz::effects_volume_range.low;

// -record=FILE and -replay=FILE, the last of each.
struct replay_options {
    std::string record_file;  // empty: not recording
    std::string replay_file;  // empty: not replaying
    bool record_given = false;
    bool replay_given = false;
};

// -watch, with -at= and -speed=: a replay watched at any speed, from any
// moment; its keys pause, step, jump and change the speed.
struct watch_options {
    bool on = false;
    int speed = results::watch_speed_normal;  // hundredths of the recorded pace
    std::int64_t at_ms = 0;                   // from the replay's first update
    std::string link;  // -link=: the run's velmora:// link on its server, which L copies; "" for none
};

// The game's command line, read once: the music file and the pattern file,
// then options in any order, the last of each kind counting. Fewer than two
// file names is a demo start, which reads no options; anything else after the
// files (a third name, an unknown option) is passed over.
struct game_options {
    bool demo = true;
    std::string music_file;
    std::string pattern_file;
    bool fullscreen = true;  // unless "-window" is the last display option

    int offset_ms = 0;  // -offset=MS (vaz::offset_ms_range)
    bool offset_given = false;
    int align_ms = 0;  // -align=MS (vaz::align_ms_range): the stage's music is this much later in MUSIC
    int volume = full_volume;  // -volume=N (vaz::volume_range)
    int effects = no_effects;  // -effects=N (vaz::effects_volume_range)

    replay_options replay;
    watch_options watch;
    ghost_request ghost;  // -ghost=FILE, -ghost-name=TEXT

    // False when an -offset=, an -align=, a -volume= or an -effects= is
    // malformed or out of range; why says so (the offset's first, then the
    // alignment's, then the volume's, whatever
    // the order). Then a bad -speed= or -at=, or watching without -replay=
    // or while recording.
    bool ok = true;
    std::string why;
};

game_options read_game_options(int argc, char** argv);
