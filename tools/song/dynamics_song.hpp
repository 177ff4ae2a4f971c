#pragma once
#include <cstdint>
#include <vector>

// Music for measuring how a stage follows loudness: one 60-second band
// (drums, bass, chord stabs, arpeggio) played at very different levels, with
// hits on every beat and five seconds of digital silence inside.
namespace song {

// The sections, in whole seconds of the song, for tests and measurements.
namespace dynamics_sections {
constexpr int length = 60;
constexpr double loud_from = 0.0, loud_to = 10.0;       // full level
constexpr double quiet_from = 10.0, quiet_to = 20.0;    // 30 dB down
constexpr double silence_from = 24.5, silence_to = 29.5;  // every value 0
constexpr double crescendo_from = 38.0, crescendo_to = 48.0;  // -30 dB rising to full level
}  // namespace dynamics_sections

// Interleaved stereo at 44100 Hz. The loudest peak is 0.89 of full scale
// times gain_db (in dB, 0 or below), applied before rounding, so a quieter
// copy holds the same music and not a rounded copy of the louder one.
std::vector<std::int16_t> render_dynamics(double gain_db);

}  // namespace song
