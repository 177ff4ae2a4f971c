#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "audiolayer/decode.hpp"
#include "converter/analysis.hpp"

namespace converter {

// The loaded source: constructing it from a path is the load. A failed load
// does not throw, it sets `failed`. The audio library must be initialised
// for as long as the record lives; releasing the library frees the handle.
struct wave_sample {
    explicit wave_sample(const char* path);
    // A source already in memory (tests, benchmarks): interleaved values.
    wave_sample(std::uint32_t rate, std::uint32_t channels, std::vector<std::int16_t> values);
    wave_sample(const wave_sample&) = delete;
    wave_sample& operator=(const wave_sample&) = delete;

    std::size_t value_count() const { return info.length / 2; }
    std::size_t frame_count() const { return info.chans == 0 ? 0 : value_count() / info.chans; }
    channel_view channel(unsigned ch) const { return {data.get(), frame_count(), info.chans, ch}; }

    bool failed = false;
    audiolayer::decode::handle handle = 0;
    audiolayer::decode::sample_info info{};
    std::unique_ptr<std::int16_t[]> data;  // signed 16-bit values, channels interleaved
};

}  // namespace converter
