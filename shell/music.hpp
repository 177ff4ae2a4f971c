#pragma once
#include <cstdint>

#include "audiolayer/playback.hpp"
#include "vaz/xbass.hpp"

extern vaz::xbass<audiolayer::playback::layer> audio_output;
// The one music stream; 0 means none.
extern std::uint32_t music_stream;
