#include "library/fingerprint.hpp"

#include <chromaprint.h>

#include <algorithm>
#include <memory>
#include <vector>

namespace library {
namespace {

// Chromaprint hears sound at this rate, one channel; handing it that spares
// its own resampler, most of its cost.
constexpr unsigned heard_rate = 11025;

}  // namespace

std::string audio_fingerprint(const std::int16_t* values, std::size_t frames, unsigned channels, unsigned rate) {
    if (values == nullptr || channels == 0 || rate == 0 || frames == 0) return {};
    const std::unique_ptr<ChromaprintContext, void (*)(ChromaprintContext*)> ctx(
        chromaprint_new(CHROMAPRINT_ALGORITHM_DEFAULT), chromaprint_free);
    if (!ctx) return {};
    const std::size_t heard = std::min(frames, static_cast<std::size_t>(fingerprint_seconds * rate));
    // At a whole multiple of its rate, the sound is averaged down to one
    // channel at its rate here: a mean of `step` frames of every channel.
    const unsigned step = rate % heard_rate == 0 ? rate / heard_rate : 1;
    const unsigned out_rate = rate / step;
    if (!chromaprint_start(ctx.get(), static_cast<int>(out_rate), 1)) return {};
    std::vector<std::int16_t> block;
    const std::size_t block_frames = static_cast<std::size_t>(out_rate) * step;  // a second
    for (std::size_t at = 0; at + step <= heard; at += block_frames) {
        const std::size_t n = std::min(block_frames, heard - at) / step;
        block.resize(n);
        for (std::size_t i = 0; i < n; ++i) {
            const std::int16_t* f = values + (at + i * step) * channels;
            std::int32_t sum = 0;
            for (unsigned k = 0; k < step * channels; ++k) sum += f[k];
            block[i] = static_cast<std::int16_t>(sum / static_cast<std::int32_t>(step * channels));
        }
        if (!chromaprint_feed(ctx.get(), block.data(), static_cast<int>(n))) return {};
    }
    if (!chromaprint_finish(ctx.get())) return {};
    char* text = nullptr;
    if (!chromaprint_get_fingerprint(ctx.get(), &text) || text == nullptr) return {};
    std::string fp = text;
    chromaprint_dealloc(text);
    return fp;
}

}  // namespace library
