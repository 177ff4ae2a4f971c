#pragma once
// TEMPORARY: the converter's coming library calls (progress callback and
// threads in write_pattern, loading any source at the converter's rate), made
// here from today's calls until they land in converter_core. Delete this file
// and its .cpp then, and include converter/convert.hpp and
// converter/load_any.hpp instead.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "converter/convert.hpp"
#include "converter/wave_sample.hpp"

namespace converter {

using progress_fn = std::function<void(unsigned group, std::uint32_t second, std::uint32_t seconds)>;
// `threads` is not used yet: one thread.
void write_pattern(const wave_sample& source, edition ed, pattern::sink& out, const progress_fn& progress,
                   unsigned threads);

struct source_facts {
    std::uint32_t rate;
    std::uint32_t channels;
    std::uint64_t frames;
    double seconds;
};
// Only 44100 Hz sources for now; others fail with the reason.
std::unique_ptr<wave_sample> load_at_converter_rate(const std::string& path, source_facts* facts,
                                                    std::string* error);

}  // namespace converter
