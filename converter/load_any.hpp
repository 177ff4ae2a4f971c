#pragma once
#include <cstdint>
#include <memory>
#include <string>

#include "converter/wave_sample.hpp"

namespace converter {

// The file as stored: its own rate, channel count and length.
struct source_facts {
    std::uint32_t rate;      // Hz
    std::uint32_t channels;
    std::uint64_t frames;    // what the decoder delivers, counted where the file only estimates it
    double seconds;          // frames / rate
};

// Loads any file the decoding layer reads, at any rate and channel count, as
// 16-bit 44100 Hz interleaved values with all its channels.
//
// A 44100 Hz file is delivered exactly as velmora_bc loads it. Any other rate
// is decoded as double-precision values and resampled with libsoxr at its
// highest quality (SOXR_VHQ) on one thread, then scaled by 32768, clipped to
// [-32768, 32767] and rounded to the nearest value, ties to even, with no
// dither: the same file always gives the same values.
//
// The decoding layer is initialised for the load unless the caller has done
// so; loads from several threads are safe. nullptr with *error set on
// failure: the reason in English, without the file's name (the caller names
// it). `facts` and `error` may be null.
std::unique_ptr<wave_sample> load_at_converter_rate(const std::string& path, source_facts* facts, std::string* error);

}  // namespace converter
