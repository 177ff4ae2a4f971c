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

// Danger on the beat: the tick at which each event's incoming bullet crosses
// the playfield's centre, its time plus its flight out to the edge and back
// (converter::beat_flight_ticks), all groups together.
std::vector<std::int64_t> arrival_ticks(const groups& stage);
// The ticks counted in bins of `bin_ticks` ticks, bins 0 to bins - 1.
std::vector<double> count_per_bin(const std::vector<std::int64_t>& ticks, std::size_t bins, int bin_ticks);
// The momentary loudness (EBU R128: 400 ms, in LUFS) of the first two
// channels centred on every tenth of a second, R128's own step; -70 (its
// absolute gate) where it is lower or the window is silent.
std::vector<double> loudness_per_tenth(const std::vector<std::int16_t>& values, unsigned channels);
// The shift s, from -max_shift to max_shift bins, at which b[i + s] follows
// a[i] best (the highest Pearson correlation over the bins both cover).
int best_shift(const std::vector<double>& a, const std::vector<double>& b, int max_shift);
// The ticks whose game frame (1/60 s) is digitally silent in every channel,
// or lies past the music's end.
std::size_t ticks_in_digital_silence(const std::vector<std::int64_t>& ticks, const std::vector<std::int16_t>& values,
                                     unsigned channels);

// Arrivals (ticks) against onsets (seconds, ascending) in music `length`
// seconds long: the share of arrivals within `within` seconds of an onset,
// the share of the music that lies so near one (what arrivals at random
// times would get), and the share of onsets with an arrival so near.
struct onset_match {
    double arrivals_near = 0.0, chance = 0.0, onsets_carrying = 0.0;
};
onset_match near_onsets(const std::vector<std::int64_t>& arrivals, const std::vector<double>& onsets, double within,
                        double length);

// Repeated bars: ticks [from, from + length) play again the bar from
// `first`. Of the arrivals in them, how many have a partner: an arrival of
// the first bar in the same group and place (within `slack` ticks) with the
// same angle and speed, each partner taken once. A place before the stage's
// first arrival is not counted: no flight is short enough to arrive there,
// so the first time had nothing to repeat.
struct bar_repeat {
    std::int64_t from, length, first;
};
struct repeat_match {
    std::size_t arrivals = 0, matching = 0;
};
repeat_match repeated_flights(const groups& stage, const std::vector<bar_repeat>& repeats, int slack);

}  // namespace stage_measure
