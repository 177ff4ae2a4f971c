#pragma once
#include <cstdint>

#include "vaz/xbass.hpp"

extern vaz::xbass<void> audio_output;
// The one music stream; 0 means none.
extern std::uint32_t music_stream;
