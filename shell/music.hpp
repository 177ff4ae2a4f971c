#pragma once
#include <cstdint>

#include "audiolayer/playback.hpp"
#include "shell/music_pacing.hpp"
#include "vaz/xbass.hpp"

extern vaz::xbass<audiolayer::playback::layer> audio_output;
// The one music stream; 0 means none.
extern std::uint32_t music_stream;

// The music stream as the frame loop's clock sees it.
bool music_playing();
// False when there is no stream or the layer cannot say.
bool music_clock(music_pacing::reading& r);
bool music_pause();
bool music_resume();
