#pragma once
#include <cstdint>
#include <vector>

// The calibration's pure part: the click track, matching the player's
// presses to its clicks, and the offset they give. Times are music frames at
// the track's rate, as the music clock counts them; no clock, no audio here.
namespace calibrate {

struct click_plan {
    std::uint32_t rate;               // frames per second
    std::int64_t first_click_frame;   // time to get ready before the first click
    std::int64_t period_frames;       // from one click to the next
    int clicks;
};

// 80 clicks a minute: slow enough to press on each one calmly, and half a
// period (375 ms) covers the delay of wireless headphones.
constexpr click_plan standard_plan{44100, 2 * 44100, 44100 * 3 / 4, 24};

// Presses needed, and the widest spread (interquartile range) accepted: a
// steady hand on a steady output stays well inside it; guessing does not.
constexpr int min_presses = 16;
constexpr double max_spread_ms = 60.0;

std::int64_t click_frame(const click_plan& plan, int k);
// The track ends one period after its last click.
std::int64_t track_frames(const click_plan& plan);

// Interleaved 16-bit stereo: a short decaying tone at each click, silence
// between.
std::vector<std::int16_t> render_click_track(const click_plan& plan);

struct press_matches {
    std::vector<double> offsets_ms;  // press minus its click, per matched press
    int unmatched = 0;               // half a period or more from every click, or a second press on one click
};

// Each press goes to the nearest click within half a period; a click takes
// the first press that comes to it.
press_matches match_presses(const click_plan& plan, const std::vector<std::int64_t>& press_frames);

double median(std::vector<double> values);
// Third quartile minus first (quartiles interpolated linearly between ranks).
double interquartile_range(std::vector<double> values);

enum class verdict { accepted, too_few, too_spread };

struct calibration {
    verdict outcome;
    int presses;       // matched
    double spread_ms;  // interquartile range of the offsets
    int offset_ms;     // the median, rounded and held to vaz::offset_ms_range (when accepted)
};

calibration judge(const press_matches& matches);

}  // namespace calibrate
