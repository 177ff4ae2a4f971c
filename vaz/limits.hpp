#pragma once
#include "audiolayer/playback.hpp"
#include "vaz/whole_number.hpp"

// The limits of the player's settings, the same for the game's options,
// velmora_play's, the settings file, the calibration and the replays.
namespace vaz {

// The offset in milliseconds: positive fires the bullets later.
inline constexpr whole_range offset_ms_range{-500, 500};
// The game's -align=: how much later the music comes in the player's own file
// than in the one the stage was made from. Added to the offset when playing,
// never kept in a replay.
inline constexpr whole_range align_ms_range{-30000, 30000};
// The music's volume, in percent of its decoded level.
inline constexpr whole_range volume_range{audiolayer::playback::min_volume, audiolayer::playback::full_volume};
// The sound effects' volume, in percent of their level; the lowest plays none.
inline constexpr whole_range effects_volume_range{audiolayer::playback::min_volume, audiolayer::playback::full_volume};

}  // namespace vaz
