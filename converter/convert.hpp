#pragma once
#include <cstdint>
#include <functional>
#include <string>

#include "converter/console.hpp"
#include "converter/difficulty.hpp"
#include "converter/synthesis.hpp"
#include "converter/wave_sample.hpp"
#include "pattern/pattern_writer.hpp"

namespace converter {

// Channels converted: one group each, at most the two the game reads.
unsigned group_count(const wave_sample& source);
// Whole seconds of the source; the rest of the last second is never read.
std::uint32_t whole_seconds(const wave_sample& source);

// Called after each analysed second, in output order (group, then second), on the calling thread.
using progress_fn = std::function<void(unsigned group, std::uint32_t second, std::uint32_t seconds)>;

// Analyses every whole second of every converted channel and writes the
// whole pattern file into `out`. The seconds are analysed on `threads`
// threads (0: one per core) while the calling thread writes them in file
// order, so the bytes are the same for any thread count. Only a bounded
// window of seconds is in flight at a time. An exception thrown by the
// analysis (std::bad_alloc from the event pools) or by `progress` or the sink
// stops every thread and reaches the caller.
//
// The dynamics edition first measures the whole song (plan_dynamics), which
// takes a moment before the first second is reported, and keeps every
// second's records until the last is analysed, then finishes the stage
// (finish_dynamics_stage: its speeds, its difficulty, each event fired early
// by its flight) and writes it. A difficulty below hard of the other
// editions keeps them too, then thins the stage (thin_stage).
void write_pattern(const wave_sample& source, edition ed, difficulty d, pattern::sink& out,
                   const progress_fn& progress, unsigned threads);

// The same, printing one progress line per second, "s / S : c / 2".
void write_pattern(const wave_sample& source, edition ed, difficulty d, pattern::sink& out, console& con,
                   unsigned threads = 1);

// The conversion proper, for a loaded 44100 Hz source: true when the pattern
// file is complete at `output_path`. On false the reason has been printed and
// any file that was at the path is unchanged; so it is when an exception
// leaves.
bool convert(const wave_sample& source, const std::string& output_path, edition ed, difficulty d, console& con,
             unsigned threads = 1);

// The edition's full density (hard), as before difficulties were chosen.
inline void write_pattern(const wave_sample& source, edition ed, pattern::sink& out, const progress_fn& progress,
                          unsigned threads) {
    write_pattern(source, ed, difficulty::hard, out, progress, threads);
}
inline void write_pattern(const wave_sample& source, edition ed, pattern::sink& out, console& con,
                          unsigned threads = 1) {
    write_pattern(source, ed, difficulty::hard, out, con, threads);
}
inline bool convert(const wave_sample& source, const std::string& output_path, edition ed, console& con,
                    unsigned threads = 1) {
    return convert(source, output_path, ed, difficulty::hard, con, threads);
}

}  // namespace converter
