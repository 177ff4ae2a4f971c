// The game's objects with static storage duration for the headless re-play,
// in place of the program's own (game/globals.cpp), which open the audio
// output and load the sprite sheet: here nothing opens a device, reads a
// file or starts SDL. The drawing code is linked with the task types but
// never runs, so the sheet and the window stay empty. The keys are an array
// of the re-play's own, not SDL's.
#include <SDL.h>

#include "gametask/rng.hpp"
#include "gametask/schedulers.hpp"
#include "shell/keyboard.hpp"
#include "shell/music.hpp"
#include "shell/pattern_store.hpp"
#include "shell/sprites.hpp"
#include "shell/video.hpp"

namespace {
Uint8 no_keys[key_count] = {};
}  // namespace

std::mt19937 rng(0);

pattern_group pattern_groups[pattern::max_groups];
signed char pattern_group_count = 0;

std::uint32_t music_stream = 0;

vaz::xbitarray<unsigned int> key_snapshot(key_count);
Uint8* key_state = no_keys;

vaz::xcppsdl<void>::surface sprite_sheet;

update_scheduler update_tasks;
draw_scheduler draw_tasks;

vaz::xcppsdl<void>* window = nullptr;
