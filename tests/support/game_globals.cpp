// The game's objects with static storage duration, for the test binaries that
// link its libraries. The program's own (game/globals.cpp) open the audio
// output and load the sprite sheet before main; here nothing reaches for a
// device or a file before main. The sheet is loaded when the tests start, and
// a test that plays music opens the audio output itself.
#include <SDL.h>
#include <gtest/gtest.h>

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

std::uint32_t music_stream = 0;

vaz::xbitarray<unsigned int> key_snapshot(key_count);
Uint8* key_state = SDL_GetKeyState(nullptr);

vaz::xcppsdl<void>::surface sprite_sheet;

update_scheduler update_tasks;
draw_scheduler draw_tasks;

vaz::xcppsdl<void>* window = nullptr;

namespace {

class sprite_sheet_environment : public ::testing::Environment {
public:
    void SetUp() override { sprite_sheet.reset(load_sprite_sheet()); }
};

const ::testing::Environment* const the_sheet = ::testing::AddGlobalTestEnvironment(new sprite_sheet_environment);

}  // namespace
