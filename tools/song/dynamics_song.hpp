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

// The bundled song (render(0)) made to alternate loud and silent parts:
// every cycle of 13 s plays 6 s at its level, 4 s 25 dB down and 3 s of
// digital silence, switched at whole samples.
namespace alternating_sections {
constexpr int cycle = 13, loud = 6, quiet = 4;  // seconds; the rest of the cycle is silent
constexpr double quiet_db = -25.0;
}  // namespace alternating_sections
std::vector<std::int16_t> render_alternating();

}  // namespace song
