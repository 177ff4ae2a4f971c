// Every object with static storage duration that owns a resource or depends on
// another is defined here, in one translation unit, because only within one
// unit does C++ guarantee construction in order of definition (and destruction
// in reverse). The order is part of the design: the random seed first, then
// the pattern stores, the audio output, the keyboard state, the sprite sheet
// and the two schedulers. The window is made by the entry, once the options
// are read.
#include <SDL.h>

#include "gametask/rng.hpp"
#include "gametask/schedulers.hpp"
#include "shell/keyboard.hpp"
#include "shell/music.hpp"
#include "shell/pattern_store.hpp"
#include "shell/sprites.hpp"
#include "shell/video.hpp"

std::mt19937 rng(rng_seed_from_clock());

pattern_group pattern_groups[pattern::max_groups];
signed char pattern_group_count = 0;

vaz::xbass<audiolayer::playback::layer> audio_output(
    vaz::xbass<audiolayer::playback::layer>::on_failure::exit_with_message);
std::uint32_t music_stream = 0;

vaz::xbitarray<unsigned int> key_snapshot(key_count);
Uint8* key_state = SDL_GetKeyState(nullptr);

vaz::xcppsdl<void>::surface sprite_sheet(load_sprite_sheet());

update_scheduler update_tasks;
draw_scheduler draw_tasks;

vaz::xcppsdl<void>* window = nullptr;
