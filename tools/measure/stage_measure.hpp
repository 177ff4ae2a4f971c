#pragma once
// Measures of how a stage follows its music, from the pattern file and the
// decoded music, for measure_stage and the tests.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "pattern/bullet_pattern_element.hpp"

namespace stage_measure {

using groups = std::vector<std::vector<bullet_pattern_element>>;

// The groups of a pattern file's bytes; nothing when they are not one.
std::optional<groups> parse_stage(const std::vector<std::uint8_t>& bytes);
std::optional<groups> read_stage(const std::string& path);

// Events fired in each whole second 0 to seconds - 1, all groups together.
std::vector<double> events_per_second(const groups& stage, std::uint32_t seconds);

// The short-term loudness (EBU R128, LUFS) of the 3 s centred on each whole
// second of interleaved 16-bit music at 44100 Hz, of its first two channels;
// -inf for a silent window.
std::vector<double> short_term_loudness(const std::vector<std::int16_t>& values, unsigned channels);

// Interleaved 16-bit values of a sound file at 44100 Hz and its channel
// count; nothing when it cannot be read or has another rate.
struct music {
    std::vector<std::int16_t> values;
    unsigned channels = 0;
};
std::optional<music> read_music(const std::string& path);

double pearson(const std::vector<double>& a, const std::vector<double>& b);
// Pearson's of the ranks, ties given their mean rank; -inf counts as lowest.
double spearman(const std::vector<double>& a, const std::vector<double>& b);

// Mean of per_second over the whole seconds lying inside [from, to).
double mean_over(const std::vector<double>& per_second, double from, double to);
// Events whose tick lies inside [from, to) seconds.
std::size_t events_between(const groups& stage, double from, double to);

}  // namespace stage_measure
