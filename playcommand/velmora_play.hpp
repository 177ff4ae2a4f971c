#pragma once

namespace playcommand {

// The whole of velmora_play: 0 on success, 1 on any failure, 2 on bad usage.
// Playing replaces the process with the game, whose status is then the one
// the caller sees.
int velmora_play_main(int argc, const char* const* argv);

}  // namespace playcommand
