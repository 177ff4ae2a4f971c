// The converter's analysis and output on arbitrary decoded input at 44100 Hz.
// The input bytes describe a source: a head of four bytes (channels and
// edition, whole seconds, extra frames) and the values that are repeated,
// or held, to fill it. The pattern file written must read back through the
// game's loader with every promise of the format kept, and be the same when
// the seconds are analysed on several threads.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "converter/convert.hpp"
#include "pattern/pattern_loader.hpp"

namespace {

void require(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "converter: %s\n", what);
        std::abort();
    }
}

constexpr unsigned max_channels = 8;  // mono, stereo, and strides beyond the two converted
constexpr unsigned max_seconds = 2;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 4) return -1;
    const unsigned channels = 1 + data[0] % max_channels;
    const auto ed = (data[0] & 0x80) ? converter::edition::zetaflux : converter::edition::standard;
    const bool hold = (data[0] & 0x40) != 0;  // each value held for a frame's worth of samples
    const unsigned seconds = data[1] % (max_seconds + 1);
    const unsigned extra = (data[2] | data[3] << 8) % converter::sample_rate;
    const std::uint8_t* body = data + 4;
    const std::size_t body_values = (size - 4) / 2;

    const std::size_t frames = std::size_t{seconds} * converter::sample_rate + extra;
    std::vector<std::int16_t> values(frames * channels);
    for (std::size_t i = 0; i < values.size() && body_values > 0; ++i) {
        const std::size_t k = (hold ? i / (converter::frame_length * channels) : i) % body_values;
        values[i] = static_cast<std::int16_t>(body[2 * k] | body[2 * k + 1] << 8);
    }
    const converter::wave_sample source(converter::sample_rate, channels, std::move(values));

    std::ostringstream progress;
    converter::console con(progress, converter::console_encoding::utf8);
    pattern::vector_sink out;
    converter::write_pattern(source, ed, out, con);
    pattern::vector_sink threaded;
    converter::write_pattern(source, ed, threaded, nullptr, 3);
    require(threaded.bytes == out.bytes, "other bytes on several threads");

    const unsigned groups = channels < 2 ? 1 : 2;
    const std::string bytes(out.bytes.begin(), out.bytes.end());
    std::istringstream in(bytes, std::ios::binary);
    pattern_group read[pattern::max_groups];
    signed char count = 0;
    const pattern_load_result r = load_pattern(in, read, count);
    require(r.status == pattern_load_status::loaded, "the pattern file does not read back");
    require(static_cast<unsigned>(count) == groups, "wrong group count");
    require(in.peek() == std::char_traits<char>::eof(), "bytes after the last group");

    const std::int64_t end_tick = std::int64_t{seconds} * pattern::ticks_per_second;
    for (unsigned g = 0; g < groups; ++g) {
        std::int32_t last = 0;
        for (std::uint32_t i = 0; i < read[g].size(); ++i) {
            const bullet_pattern_element& e = read[g][i];
            require(e.time >= last, "a group out of time order");
            require(e.time >= 0 && e.time < end_tick, "an event outside the analysed seconds");
            require(std::isfinite(e.angle) && std::isfinite(e.speed), "a record that is not a number");
            last = e.time;
        }
    }
    const std::string said = progress.str();
    const auto lines = static_cast<std::size_t>(std::count(said.begin(), said.end(), '\n'));
    require(lines == std::size_t{groups} * seconds, "one progress line per second and group");
    return 0;
}
