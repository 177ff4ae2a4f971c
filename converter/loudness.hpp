#pragma once
// K-weighted loudness of one channel (EBU R128): the short-term loudness of
// the last 3 s at chosen moments and the integrated loudness, to the bit as
// libebur128 1.2.6 gives them in its short-term and integrated modes without
// the histogram. The stages of the dynamics edition are made from these
// values, so they must not change by a bit.
//
// Why our own: the meter's filter is a chain of dependent operations that
// keeps the core waiting (about 20 cycles a value), and the meter then sums
// the squares of each 400 ms block and of the 3 s window over again, in long
// chains of their own, one after the other. Here one loop runs the filter
// and, in the time it waits, adds its output's squares to the open blocks'
// sums, goes on with the window sums asked for before (three squares a
// value) and does what the caller's maker does. Each sum still adds the same
// squares in the same order from the same start.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>


namespace converter {

namespace loudness_detail {

struct filter_state {
    double b0, b1, b2, b3, b4, a1, a2, a3, a4;
    double v1, v2, v3, v4;
};

// The running sums of the filtered values' squares, carried through the
// filter's loop: `out[k]` takes the square of the loop's k-th value.
struct square_sums {
    double* out;
    double lap, b0, b1, b2, b3;
};

}  // namespace loudness_detail

class k_loudness {
public:
    // `rate` in Hz; rates whose 3 s window is not 30 times the meter's 100 ms
    // step (11025, 44100, 48000 and most others are) are refused.
    explicit k_loudness(unsigned rate);

    // The next `n` values of the channel, full scale at 1.
    void add(const float* values, std::size_t n);

    // The same with the values made one by one in the filter's loop: what
    // else the maker does runs while the filter waits on its own results.
    // `make(i)` gives value i and calls no function (a call would leave the
    // loop's state in memory); `make.plain_until(i)` is the first value from
    // i on that needs more, which `make.special(i)` gives; `make.value(i)`
    // gives value i again, without the rest, once it has been made.
    template <class Make>
    void add_made(std::size_t n, Make&& make);

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
        std::uint32_t from;   // the position it goes on from, to the ring's end,
        std::uint32_t lap;    // in the half of the ring this lap's number picks
        bool short_term;      // else a block
        std::size_t slot;     // in short_term_ or blocks_
    };
    const double* lap_half(std::uint32_t lap) const { return ring_.data() + (lap % 2) * ring_size_; }
    template <class Make>
    void square_again(const loudness_detail::filter_state& at_start, Make& make, std::size_t from, std::size_t to,
                      loudness_detail::square_sums& sums);
    void square_exactly(loudness_detail::square_sums& sums) const;
    void at_boundary();
    void add_chain(bool short_term, std::size_t slot, std::uint32_t from);
    void finish(const chain& c, double value);
    void finish_slowly(chain& c);

    unsigned step_;           // samples in 100 ms, as the meter rounds them
    std::uint32_t ring_size_; // 3 s: 30 steps
    double b_[5], a_[5];      // the K-weighting filter
    double v_[5] = {0, 0, 0, 0, 0};
    // Squares of the filtered values, two laps of the meter's ring: this
    // one's, and the last one's, which the chains read while this fills.
    std::vector<double> ring_;
    std::vector<double> y_;     // filtered values made again (square_again)
    std::uint64_t fed_ = 0;     // values added
    double lap_ = 0.0;          // sum since the ring last began again at position 0
    double block_[4] = {0, 0, 0, 0};
    std::vector<chain> pending_;  // to run in the next add
    std::vector<chain> running_;
    std::vector<double> blocks_;  // each block's mean square, in time order
    std::vector<double> short_term_;
};

namespace loudness_detail {

// The filter over values `from` to `to` of `make`, the same operations in
// the same order as the meter's, its output's squares summed as the meter
// sums them; `Adds` values of `squares` are added to `sum` for each
// value, a chain of its own that waits on nothing the filter does.
template <int Adds, bool Special, class Make>
void filter_run(filter_state& f, Make& make, std::size_t from, std::size_t to, const double* squares, double& sum,
                square_sums& sums) {
    // The coefficients are read where they are used, from memory: loads wait
    // on nothing, and the registers stay free for the state and for `make`.
    const filter_state& c = f;
    double v1 = f.v1, v2 = f.v2, v3 = f.v3, v4 = f.v4;
    double s = sum;
    double lap = sums.lap;
    // The four open blocks' sums one by one: two to an SSE2 register saved
    // less than a millisecond a song (converter/README.md).
    double b0 = sums.b0, b1 = sums.b1, b2 = sums.b2, b3 = sums.b3;
    double* out = sums.out;
    for (std::size_t i = from; i < to; ++i) {
        float x;
        if constexpr (Special)
            x = make.special(i);
        else
            x = make(i);
        for (int r = 0; r < Adds; ++r) s += *squares++;
        const double v0 = static_cast<double>(x) - c.a1 * v1 - c.a2 * v2 - c.a3 * v3 - c.a4 * v4;
        const double out_value = c.b0 * v0 + c.b1 * v1 + c.b2 * v2 + c.b3 * v3 + c.b4 * v4;
        v4 = v3;
        v3 = v2;
        v2 = v1;
        v1 = v0;
        const double sq = out_value * out_value;
        *out++ = sq;
        lap += sq;
        b0 += sq;
        b1 += sq;
        b2 += sq;
        b3 += sq;
    }
    f.v1 = v1;
    f.v2 = v2;
    f.v3 = v3;
    f.v4 = v4;
    sum = s;
    sums = {out, lap, b0, b1, b2, b3};
}

// Values `from` to `to`, the maker's special ones on their own.
template <int Adds, class Make>
void filter_span(filter_state& f, Make& make, std::size_t from, std::size_t to, const double* squares, double& sum,
                 square_sums& sums) {
    while (from < to) {
        const std::size_t plain = std::min(to, make.plain_until(from));
        filter_run<Adds, false>(f, make, from, plain, squares, sum, sums);
        squares += Adds * (plain - from);
        if (plain == to) return;
        filter_run<Adds, true>(f, make, plain, plain + 1, squares, sum, sums);
        squares += Adds;
        from = plain + 1;
    }
}

// Three added squares a value keep pace with the filter and finish a 3 s
// window within a second of values.
constexpr int adds_per_value = 3;

// Results too small to be normal numbers flushed to zero, or not, until
// the scope ends. The meter filters with them flushed (with SSE2; elsewhere
// it flushes the filter's state by hand after each run, which add_made does
// at the same moments) and sums without.
class flushing {
public:
    explicit flushing(bool on);
    ~flushing();
    flushing(const flushing&) = delete;
    flushing& operator=(const flushing&) = delete;

private:
    unsigned saved_ = 0;
};

// Within a flushing scope: forgets that a result was too small to be normal
// (and so flushed), and tells whether one has been since.
void forget_underflow();
bool underflowed();

bool normal(double x);                 // at least the smallest normal number
void flush_state(filter_state& f);     // the meter's flush by hand

constexpr bool flushes_in_hardware =
#if defined(__SSE2__)
    true;
#else
    false;
#endif

}  // namespace loudness_detail

template <class Make>
void k_loudness::add_made(std::size_t n, Make&& make) {
    using namespace loudness_detail;
    if (n == 0) return;
    filter_state f{b_[0], b_[1], b_[2], b_[3], b_[4], a_[1], a_[2], a_[3], a_[4], v_[1], v_[2], v_[3], v_[4]};
    double none = 0.0;
    // In rounds of at most a third of the ring: a chain asked for before a
    // round reads the last lap's squares from where this lap's writing
    // stands, three a value, so this lap's writing never reaches them.
    for (std::size_t done = 0; done < n;) {
        const std::size_t round_end = std::min<std::size_t>(n, done + ring_size_ / adds_per_value);
        running_.swap(pending_);
        pending_.clear();
        std::size_t next_chain = 0;
        {
        const flushing ftz(true);
        while (done < round_end) {
            // The chain that runs beside these values: one that starts from a
            // normal number stays one, so flushing cannot touch it; the others
            // are finished after the loop, without.
            chain* beside = nullptr;
            for (; flushes_in_hardware && next_chain < running_.size(); ++next_chain) {
                chain& c = running_[next_chain];
                if (normal(c.value) && ring_size_ - c.from >= adds_per_value) {
                    beside = &c;
                    break;
                }
            }
            // Up to the next 100 ms step, which ends no lap within.
            std::size_t to = std::min<std::size_t>(round_end, done + (step_ - fed_ % step_));
            if (beside) to = std::min<std::size_t>(to, done + (ring_size_ - beside->from) / adds_per_value);
            const auto lap = static_cast<std::uint32_t>(fed_ / ring_size_);
            square_sums sums{ring_.data() + (lap % 2) * ring_size_ + fed_ % ring_size_,
                             lap_,
                             block_[0],
                             block_[1],
                             block_[2],
                             block_[3]};
            const square_sums before = sums;
            const filter_state at_start = f;
            forget_underflow();
            if (beside) {
                filter_span<adds_per_value>(f, make, done, to, lap_half(beside->lap) + beside->from, beside->value,
                                            sums);
                beside->from += static_cast<std::uint32_t>((to - done) * adds_per_value);
            } else {
                filter_span<0>(f, make, done, to, nullptr, none, sums);
            }
            // Squares and their sums are normal numbers or zero, which
            // flushing cannot touch, unless some result was too small: then
            // they are made again without.
            if (underflowed()) {
                sums = before;
                square_again(at_start, make, done, to, sums);
            }
            lap_ = sums.lap;
            block_[0] = sums.b0;
            block_[1] = sums.b1;
            block_[2] = sums.b2;
            block_[3] = sums.b3;
            fed_ += to - done;
            done = to;
            const bool at_step = fed_ % step_ == 0;
            if (at_step) at_boundary();
            // Without SSE2 the meter flushes its filter's state by hand where
            // each of its filter's runs ends: at each step from the fourth on
            // and at the end of each call.
            if (!flushes_in_hardware && (done == n || (at_step && fed_ / step_ >= 4))) flush_state(f);
        }
        }
        for (chain& c : running_) finish_slowly(c);
        running_.clear();
    }
    v_[1] = f.v1;
    v_[2] = f.v2;
    v_[3] = f.v3;
    v_[4] = f.v4;
}

// The filtered values `from` to `to` made again from the filter's state
// before them, as the meter makes them (flushed), then their squares and
// sums without flushing: for values too small for the filter's loop to
// square them as the meter does.
template <class Make>
void k_loudness::square_again(const loudness_detail::filter_state& at_start, Make& make, std::size_t from,
                              std::size_t to, loudness_detail::square_sums& sums) {
    const loudness_detail::filter_state& c = at_start;
    double v1 = c.v1, v2 = c.v2, v3 = c.v3, v4 = c.v4;
    y_.resize(to - from);
    for (std::size_t i = from; i < to; ++i) {
        const double v0 = static_cast<double>(make.value(i)) - c.a1 * v1 - c.a2 * v2 - c.a3 * v3 - c.a4 * v4;
        y_[i - from] = c.b0 * v0 + c.b1 * v1 + c.b2 * v2 + c.b3 * v3 + c.b4 * v4;
        v4 = v3;
        v3 = v2;
        v2 = v1;
        v1 = v0;
    }
    square_exactly(sums);
}

}  // namespace converter
