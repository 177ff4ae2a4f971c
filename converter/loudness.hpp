#pragma once
// K-weighted loudness of one channel (EBU R128): the short-term loudness of
// the last 3 s at chosen moments and the integrated loudness, to the bit as
// libebur128 1.2.6 gives them in its short-term and integrated modes without
// the histogram. The stages of the dynamics edition are made from these
// values, so they must not change by a bit.
//
// Why our own: the meter's filter is a chain of dependent operations that
// keeps the core waiting, and the meter then sums the squares of each 400 ms
// block and of the 3 s window in long chains of their own, one after the
// other. Here the filter runs alone in its loop with the unfinished sums
// of the previous moment interleaved (they wait on nothing it does), and every
// block's sum grows as the samples come. Each sum still adds the same squares
// in the same order from the same start.
#include <cstddef>
#include <cstdint>
#include <vector>

namespace converter {

class k_loudness {
public:
    // `rate` in Hz; rates whose 3 s window is not 30 times the meter's 100 ms
    // step (11025, 44100, 48000 and most others are) are refused.
    explicit k_loudness(unsigned rate);

    // The next `n` values of the channel, full scale at 1.
    void add(const float* values, std::size_t n);

    // Asks for the short-term loudness as it is now (the last 3 s, silence
    // before the first value); in the order asked.
    void mark_short_term();

    // Finishes every sum asked for so far (the two below do it first).
    void settle();

    // The short-term values asked for so far.
    const std::vector<double>& short_term();
    // The integrated loudness of everything added, or -infinity for a
    // silent song.
    double integrated();

private:
    struct chain {
        double value;         // the sum so far
        std::uint32_t from;   // the ring position it goes on from, to the ring's end
        bool short_term;      // else a block
        std::size_t slot;     // in short_term_ or blocks_
    };
    void run_filter(const float* x, double* y, std::size_t n);
    void add_squares(const double* y, std::size_t n);
    void at_boundary();
    void finish(const chain& c, double value);
    void finish_slowly(chain& c);

    unsigned step_;           // samples in 100 ms, as the meter rounds them
    std::uint32_t ring_size_; // 3 s: 30 steps
    double b_[5], a_[5];      // the K-weighting filter
    double v_[5] = {0, 0, 0, 0, 0};
    std::vector<double> ring_;  // squares of the filtered values, the last 3 s
    std::vector<double> y_;     // filtered values of the current add
    std::uint64_t fed_ = 0;     // values added
    double lap_ = 0.0;          // sum since the ring last began again at position 0
    double block_[4] = {0, 0, 0, 0};
    std::vector<chain> pending_;
    std::vector<double> blocks_;  // each block's mean square, in time order
    std::vector<double> short_term_;
};

}  // namespace converter
