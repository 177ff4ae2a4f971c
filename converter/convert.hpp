#pragma once
#include <string>

#include "converter/console.hpp"
#include "converter/synthesis.hpp"
#include "converter/wave_sample.hpp"
#include "pattern/pattern_writer.hpp"

namespace converter {

// Channels converted: one group each, at most the two the game reads.
unsigned group_count(const wave_sample& source);
// Whole seconds of the source; the rest of the last second is never read.
std::uint32_t whole_seconds(const wave_sample& source);

// Analyses every whole second of every converted channel, printing one
// progress line per second, and writes the whole pattern file into `out`.
void write_pattern(const wave_sample& source, edition ed, pattern::sink& out, console& con);

// The conversion proper, for a loaded 44100 Hz source: true when the pattern
// file is complete at `output_path`. On false the reason has been printed and
// any file that was at the path is unchanged.
bool convert(const wave_sample& source, const std::string& output_path, edition ed, console& con);

}  // namespace converter
