#pragma once
#include <cstdint>
#include <string>

#include "game/stage.hpp"

// A replay watched rather than played back: its own frame loop, which runs
// 0.25 to 8 recorded updates per drawn frame, pauses, steps one update,
// jumps to any moment (walking the recorded updates there without drawing)
// and shows the speed and the moment in the bottom left corner. The music
// plays at 1x only, moved to the moment shown whenever it starts; at other
// speeds the corner says it is muted, and the effects are silent too.
//
// Keys: [ or - slower, ] or + faster, Space or P pause and resume, . one
// update while paused, Left and Right 5 seconds back and forward, L (with
// -link=) shows the run's link at the moment watched and copies it (without,
// says for two seconds that the run is on no server), Escape leaves.

// The frame loop of a watched stage, in place of the game's own: the replay
// is loaded and the first flow task spawned. `at_ms` is already checked
// against the replay's length.
stage_end watch_frame_loop(const stage_request& r, int offset_ms);

// Whether the music of a watched stage sounds now.
bool watched_music_playing();

// Why r.watch cannot be watched with the replay loaded: a moment past its
// end; empty when it can.
std::string check_watch_request(const stage_request& r);

// The corner's lines as drawn: speed, moment, and "PAUSE" or "MUTE" when so.
struct watch_corner {
    std::string speed;
    std::string moment;
    std::string state;
};
void draw_watch_corner(const watch_corner& c);
