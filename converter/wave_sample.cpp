#include "converter/wave_sample.hpp"

#include <algorithm>
#include <new>
#include <stdexcept>

namespace converter {

wave_sample::wave_sample(const char* path) {
    handle = audiolayer::decode::sample_load(path);
    if (handle == 0 || !audiolayer::decode::sample_get_info(handle, &info) || info.chans == 0) {
        failed = true;
        return;
    }
    // Exactly the delivered values: a buffer sized by length / channels
    // would be too small for three or more channels.
    data.reset(new (std::nothrow) std::int16_t[info.length / 2]);
    if (!data || !audiolayer::decode::sample_get_data(handle, data.get())) failed = true;
}

wave_sample::wave_sample(std::uint32_t rate, std::uint32_t channels, std::vector<std::int16_t> values) {
    if (channels == 0 || values.size() % channels != 0 || values.size() * 2 > UINT32_MAX)
        throw std::invalid_argument("wave_sample: whole frames of at least one channel");
    info.freq = rate;
    info.chans = channels;
    info.length = static_cast<std::uint32_t>(values.size() * 2);
    data.reset(new std::int16_t[values.size()]);
    std::copy(values.begin(), values.end(), data.get());
}

}  // namespace converter
