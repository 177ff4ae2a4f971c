#pragma once
#include <cstdint>
#include <functional>
#include <string>

#include "converter/console.hpp"
#include "converter/difficulty.hpp"
#include "converter/sample_stream.hpp"
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
// whole pattern file into `out`. The source is read once, a second at a
// time, into a few seconds' worth of reused buffers; each channel-second is
// analysed on one of `threads` threads (0: one per core) as soon as its
// samples are there, while the calling thread reads the next seconds and
// writes the analysed ones in file order, so the bytes are the same for any
// thread count. Only a bounded window of seconds is in flight at a time. An
// exception thrown by the analysis (std::bad_alloc from the event pools), by
// the source (source_failed) or by `progress` or the sink stops every thread
// and reaches the caller.
//
// The first group is written, and reported, as its seconds are analysed.
// The second group's seconds are kept as their bursts (a few bytes each)
// until the first group is complete, then written and reported. The dynamics
// edition measures the whole song as it is read (dynamics_meter, the plan
// plan_dynamics makes) and keeps every second's records until the last is in,
// then finishes the stage (finish_dynamics_stage: its speeds, its difficulty,
// each event fired early by its flight), writes and reports it. A source
// whose length is known only at its end (MPEG) is reported at its end, when
// the number of seconds is known. A difficulty below hard of the other
// editions keeps every second's records until the last is analysed, then
// thins the stage (thin_stage) and writes it.
void write_pattern(sample_stream& source, edition ed, difficulty d, pattern::sink& out, const progress_fn& progress,
                   unsigned threads);
void write_pattern(const wave_sample& source, edition ed, difficulty d, pattern::sink& out,
                   const progress_fn& progress, unsigned threads);

// The same, printing one progress line per second, "s / S : c / 2".
void write_pattern(sample_stream& source, edition ed, difficulty d, pattern::sink& out, console& con,
                   unsigned threads = 1);
void write_pattern(const wave_sample& source, edition ed, difficulty d, pattern::sink& out, console& con,
                   unsigned threads = 1);

// The conversion proper, for a loaded 44100 Hz source: true when the pattern
// file is complete at `output_path`. On false the reason has been printed and
// any file that was at the path is unchanged; so it is when an exception
// leaves (source_failed among them: the source turned out damaged while it
// was read).
bool convert(sample_stream& source, const std::string& output_path, edition ed, difficulty d, console& con,
             unsigned threads = 1);
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
