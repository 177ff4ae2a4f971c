#pragma once
// How far apart two copies of one recording start: the same music decoded
// from FLAC, MP3, OGG or Opus, or with silence added in front, begins at a
// slightly different sample. Each file is reduced to an onset envelope (how
// sharply its loudness rises, every 5 ms) and the envelopes are
// cross-correlated. A board's stage is made from one copy; played over
// another copy, its events are fired the measured offset later.
// README.md in this folder gives the design and its figures.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace alignment {

constexpr int hop_ms = 5;            // one envelope value per 5 ms
constexpr int max_seconds = 600;     // only the first 10 minutes are kept

// Each band's level is kept once every level_hops hops (50 ms), at
// level_steps_per_db steps per dB above -120 dB from full scale, in five
// bands (below 150 Hz, to 400 Hz, to 1 kHz, to 2.5 kHz, to 5 kHz): enough to
// tell another mix of the same parts, whose onsets line up as well as a
// copy's, by how loud each part is against the others.
constexpr int level_hops = 10;
constexpr int level_bands = 5;
constexpr double level_steps_per_db = 2.0;

// From the file's first decoded sample, mono mix.
struct envelope {
    std::vector<std::uint8_t> values;
    // level_bands levels for each whole level_hops hops of values, band by
    // band; empty in envelopes made before they were kept, which then
    // cannot tell another mix from a copy.
    std::vector<std::uint8_t> levels = {};
};

// Full scale at 1. Any channel count and any rate from 1000 Hz to 768 kHz;
// another rate or no channels give an empty envelope.
envelope make_envelope(const float* interleaved, std::size_t frames, int channels, int rate);

// The same for 16-bit values (full scale 32768), as the converter holds a
// decoded song: a song being prepared needs no second decoding for it.
envelope make_envelope(const std::int16_t* interleaved, std::size_t frames, int channels, int rate);

// The same from a file, decoded as the converter decodes it
// (converter/load_any); nothing, with why, when unreadable.
std::optional<envelope> envelope_of_file(const std::string& path, std::string& why);

constexpr std::size_t max_encoded_bytes = 8 + 200 * 600 + level_bands * 20 * 600;

// What the server keeps and sends: a 4-byte mark, the count of values
// (32-bit little-endian), the values, then (mark VEN2) the levels; an
// envelope without levels as before (mark VENV), which decode still reads.
std::string encode(const envelope&);
// Nothing for anything not encode()'s.
std::optional<envelope> decode(std::string_view bytes);

struct offset {
    bool clear = false;
    double ms = 0;
    std::string why;
};

// How much later the music comes in `mine` than in `board`, in ms (the game
// fires the board's events that much later). Not clear, with a reason a
// player can read, for another mix, a live take, near-silence, too short an
// overlap. Shifts up to max_shift_ms either way are searched.
constexpr int max_shift_ms = 30000;
offset align(const envelope& board, const envelope& mine);

// The same, with what the verdict was made of (for measurements): the
// correlation at the peak, at the best shift away from it, and how many
// spreads the coarse correlation's top stands above its mean. All zero
// when the envelopes were not compared (too short, nearly silent).
// `balance`: how far the bands' balance differs at the offset found (dB,
// root mean square); negative when it was not measured (no levels, too
// little loud music overlapping).
struct peak_figures {
    double peak = 0, runner_up = 0, standing = 0, balance = -1;
};
offset align(const envelope& board, const envelope& mine, peak_figures* figures);

}  // namespace alignment
