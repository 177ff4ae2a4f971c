#include "library/fingerprint.hpp"

#include <chromaprint.h>

#include <algorithm>
#include <memory>

namespace library {

std::string audio_fingerprint(const std::int16_t* values, std::size_t frames, unsigned channels, unsigned rate) {
    if (values == nullptr || channels == 0 || rate == 0 || frames == 0) return {};
    const std::unique_ptr<ChromaprintContext, void (*)(ChromaprintContext*)> ctx(
        chromaprint_new(CHROMAPRINT_ALGORITHM_DEFAULT), chromaprint_free);
    if (!ctx || !chromaprint_start(ctx.get(), static_cast<int>(rate), static_cast<int>(channels))) return {};
    const std::size_t heard = std::min(frames, static_cast<std::size_t>(fingerprint_seconds * rate));
    // Fed a second at a time: its size is an int of values.
    for (std::size_t at = 0; at < heard; at += rate) {
        const std::size_t n = std::min<std::size_t>(rate, heard - at);
        if (!chromaprint_feed(ctx.get(), values + at * channels, static_cast<int>(n * channels))) return {};
    }
    if (!chromaprint_finish(ctx.get())) return {};
    char* text = nullptr;
    if (!chromaprint_get_fingerprint(ctx.get(), &text) || text == nullptr) return {};
    std::string fp = text;
    chromaprint_dealloc(text);
    return fp;
}

}  // namespace library
