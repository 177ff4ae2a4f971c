#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

#include "converter/fft.hpp"
#include "pattern/bullet_pattern_element.hpp"

namespace converter {

constexpr std::uint32_t sample_rate = 44100;              // the only rate converted
constexpr int frames_per_second = pattern::ticks_per_second;
constexpr std::uint32_t frame_length = sample_rate / frames_per_second;  // samples per game frame
constexpr int window_count = 64;  // 60 frames, then frames 0 to 3 again
constexpr int window_length = 1024;
constexpr int frequency_bins = window_length / 2;
constexpr int modulation_length = window_count;
constexpr int modulation_bins = modulation_length / 2;
constexpr float sample_scale = 1.0f / 32768.0f;
constexpr double mean_factor = 0.015625;  // 1 / 64
constexpr double burst_factor = 3.5;

// One channel of interleaved 16-bit data: frame n is values[channel + channels * n].
struct channel_view {
    const std::int16_t* values;
    std::size_t frames;  // whole frames delivered
    unsigned channels;
    unsigned channel;
};

// Modulation bin magnitude m makes a burst when trunc(single(3.5 m)) is not 0.
bool is_burst(float m);

// The analysis of one channel and one whole second: a spectrum per game
// frame, then the spectrum of every frequency bin's 64 magnitudes. Storage is
// allocated once and reused; nothing carries over from one second to the next.
//
// Every value equals the one the plain per-window computation stores: the
// 64 window transforms run side by side (windows 60 to 63 are copies of 0 to
// 3 and are not transformed again), the 512 modulation transforms too.
class analysis {
public:
    analysis();
    analysis(const analysis&) = delete;  // it points into its own storage
    analysis& operator=(const analysis&) = delete;

    // Second `second` must lie wholly inside the delivered frames.
    void run(const channel_view& source, std::uint32_t second);

    // m_l of frequency bin M after run().
    float magnitude(int bin, int l) const { return magnitudes_[static_cast<std::size_t>(l) * frequency_bins + bin]; }
    // After run(): bit l set for every modulation bin of frequency bin M
    // that may be a burst. Every burst's bit is set; is_burst decides.
    std::uint32_t burst_candidates(int bin) const { return candidates_[static_cast<std::size_t>(bin)]; }

private:
    // L: the four-lane helpers of the kernel set in use (analysis.cpp).
    template <class L>
    void run_with(const channel_view& source, std::uint32_t second);
    template <class L>
    void fill_windows(const channel_view& source, std::uint32_t second);
    template <class L>
    void frame_magnitudes();
    template <class L>
    void modulation_magnitudes();

    const fft_plan& window_plan_;
    const fft_plan& modulation_plan_;
    // The five arrays below, zeroed, in one piece (see the constructor).
    std::vector<float> transforms_;
    // Windows side by side: point k of window j at [k * window_stride + j].
    float* window_re_;
    float* window_im_;
    std::vector<float> samples_;  // the analysed second, scaled
    // Modulation inputs side by side: point j of bin M at [j * frequency_bins + M].
    float* modulation_re_;
    float* modulation_im_;
    float* magnitudes_;  // m_l of bin M at [l * frequency_bins + M]
    std::vector<std::uint32_t> candidates_;  // per bin M, bit l: m_l may be a burst
    std::vector<std::uint32_t> series_rows_;  // the modulation row of each point of the series' first quarter
};

}  // namespace converter
