#include "converter/loudness.hpp"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <stdexcept>

#if defined(__SSE2__)
#include <xmmintrin.h>
#endif

namespace converter {

namespace {

// The meter's constants as its compiler folded them (correctly rounded).
constexpr double lowest_block = __builtin_pow(10.0, (-70.0 + 0.691) / 10.0);
constexpr double relative_gate_factor = __builtin_pow(10.0, -10.0 / 10.0);
constexpr double log_of_ten = __builtin_log(10.0);

double energy_to_loudness(double energy) { return 10 * (std::log(energy) / log_of_ten) - 0.691; }

// The meter filters with results too small to be normal numbers flushed to
// zero (on processors with SSE2; elsewhere it flushes the filter's state by
// hand after each run, which run_filter does at the same moments).
class flush_to_zero {
public:
#if defined(__SSE2__)
    flush_to_zero() : saved_(_mm_getcsr()) { _mm_setcsr(saved_ | _MM_FLUSH_ZERO_ON); }
    ~flush_to_zero() { _mm_setcsr(saved_); }

private:
    unsigned saved_;
#endif
};

struct filter_state {
    double b0, b1, b2, b3, b4, a1, a2, a3, a4;
    double v1, v2, v3, v4;
};

// The filter over n values, the same operations in the same order as the
// meter's; `Adds` values of `squares` are added to `sum` after each value,
// a chain of its own that waits on nothing the filter does.
template <int Adds>
void filter_run(filter_state& f, const float* x, double* y, std::size_t n, const double* squares, double& sum) {
    const double b0 = f.b0, b1 = f.b1, b2 = f.b2, b3 = f.b3, b4 = f.b4;
    const double a1 = f.a1, a2 = f.a2, a3 = f.a3, a4 = f.a4;
    double v1 = f.v1, v2 = f.v2, v3 = f.v3, v4 = f.v4;
    double s = sum;
    for (std::size_t i = 0; i < n; ++i) {
        const double v0 = static_cast<double>(x[i]) - a1 * v1 - a2 * v2 - a3 * v3 - a4 * v4;
        y[i] = b0 * v0 + b1 * v1 + b2 * v2 + b3 * v3 + b4 * v4;
        v4 = v3;
        v3 = v2;
        v2 = v1;
        v1 = v0;
        for (int r = 0; r < Adds; ++r) s += squares[static_cast<std::size_t>(Adds) * i + static_cast<std::size_t>(r)];
    }
    f.v1 = v1;
    f.v2 = v2;
    f.v3 = v3;
    f.v4 = v4;
    sum = s;
}

// Three added squares a value keep pace with the filter and finish a 3 s
// window within a second of values.
constexpr int adds_per_value = 3;

}  // namespace

k_loudness::k_loudness(unsigned rate) {
    if (rate == 0) throw std::invalid_argument("k_loudness: no rate");
    step_ = (rate + 5) / 10;
    std::uint64_t frames = static_cast<std::uint64_t>(rate) * 3000 / 1000;
    if (frames % step_ != 0) frames = frames + step_ - frames % step_;
    if (frames != 30ull * step_) throw std::invalid_argument("k_loudness: a rate whose 3 s are not 30 steps");
    ring_size_ = static_cast<std::uint32_t>(frames);
    ring_.assign(ring_size_, 0.0);

    // The K-weighting filter as the meter designs it. tan runs when the
    // program does, as in the meter (whose rate is not known before), and the
    // expressions are the meter's, so the coefficients are its bits.
    volatile double opaque_rate = static_cast<double>(rate);
    const double samplerate = opaque_rate;
    double f0 = 1681.974450955533;
    double Q = 0.7071752369554196;
    double K = std::tan(M_PI * f0 / samplerate);
    constexpr double Vh = __builtin_pow(10.0, 3.999843853973347 / 20.0);
    constexpr double Vb = __builtin_pow(Vh, 0.4996667741545416);
    double pb[3] = {0.0, 0.0, 0.0};
    double pa[3] = {1.0, 0.0, 0.0};
    const double rb[3] = {1.0, -2.0, 1.0};
    double ra[3] = {1.0, 0.0, 0.0};
    const double a0 = 1.0 + K / Q + K * K;
    pb[0] = (Vh + Vb * K / Q + K * K) / a0;
    pb[1] = 2.0 * (K * K - Vh) / a0;
    pb[2] = (Vh - Vb * K / Q + K * K) / a0;
    pa[1] = 2.0 * (K * K - 1.0) / a0;
    pa[2] = (1.0 - K / Q + K * K) / a0;
    f0 = 38.13547087602444;
    Q = 0.5003270373238773;
    K = std::tan(M_PI * f0 / samplerate);
    ra[1] = 2.0 * (K * K - 1.0) / (1.0 + K / Q + K * K);
    ra[2] = (1.0 - K / Q + K * K) / (1.0 + K / Q + K * K);
    b_[0] = pb[0] * rb[0];
    b_[1] = pb[0] * rb[1] + pb[1] * rb[0];
    b_[2] = pb[0] * rb[2] + pb[1] * rb[1] + pb[2] * rb[0];
    b_[3] = pb[1] * rb[2] + pb[2] * rb[1];
    b_[4] = pb[2] * rb[2];
    a_[0] = pa[0] * ra[0];
    a_[1] = pa[0] * ra[1] + pa[1] * ra[0];
    a_[2] = pa[0] * ra[2] + pa[1] * ra[1] + pa[2] * ra[0];
    a_[3] = pa[1] * ra[2] + pa[2] * ra[1];
    a_[4] = pa[2] * ra[2];
}

void k_loudness::add(const float* values, std::size_t n) {
    if (n == 0) return;
    y_.resize(n);
    run_filter(values, y_.data(), n);
    add_squares(y_.data(), n);
}

void k_loudness::run_filter(const float* x, double* y, std::size_t n) {
    filter_state f{b_[0], b_[1], b_[2], b_[3], b_[4], a_[1], a_[2], a_[3], a_[4], v_[1], v_[2], v_[3], v_[4]};
    double none = 0.0;
#if defined(__SSE2__)
    std::size_t done = 0;
    std::vector<chain> left;
    {
        const flush_to_zero ftz;
        // A sum that starts from a normal number stays one, so flushing
        // cannot touch it; one that starts smaller is finished without.
        for (chain& c : pending_) {
            if (!(c.value >= DBL_MIN)) {
                left.push_back(c);
                continue;
            }
            const std::size_t values = std::min<std::size_t>(n - done, (ring_size_ - c.from) / adds_per_value);
            filter_run<adds_per_value>(f, x + done, y + done, values, ring_.data() + c.from, c.value);
            done += values;
            c.from += static_cast<std::uint32_t>(values * adds_per_value);
            left.push_back(c);
        }
        filter_run<0>(f, x + done, y + done, n - done, nullptr, none);
    }
    pending_.clear();
    for (chain& c : left) finish_slowly(c);
#else
    for (chain& c : pending_) finish_slowly(c);
    pending_.clear();
    // The meter runs its filter up to each 100 ms step and to the end of each
    // call, then flushes its state; the same runs here.
    std::size_t done = 0;
    std::uint64_t at = fed_;
    while (done < n) {
        // (its first run is 400 ms long)
        const std::uint64_t to_step = std::max<std::uint64_t>(at / step_ + 1, 4) * step_ - at;
        const std::size_t run = static_cast<std::size_t>(std::min<std::uint64_t>(n - done, to_step));
        filter_run<0>(f, x + done, y + done, run, nullptr, none);
        for (double* v : {&f.v1, &f.v2, &f.v3, &f.v4})
            if (std::fabs(*v) < DBL_MIN) *v = 0.0;
        done += run;
        at += run;
    }
#endif
    v_[1] = f.v1;
    v_[2] = f.v2;
    v_[3] = f.v3;
    v_[4] = f.v4;
}

void k_loudness::add_squares(const double* y, std::size_t n) {
    std::size_t i = 0;
    while (i < n) {
        const std::uint64_t boundary = (fed_ / step_ + 1) * step_;
        const std::size_t run = static_cast<std::size_t>(std::min<std::uint64_t>(n - i, boundary - fed_));
        // Steps divide the ring, so a run never passes its end.
        double* ring = ring_.data() + fed_ % ring_size_;
        double lap = lap_, s0 = block_[0], s1 = block_[1], s2 = block_[2], s3 = block_[3];
        for (std::size_t k = 0; k < run; ++k) {
            const double sq = y[i + k] * y[i + k];
            ring[k] = sq;
            lap += sq;
            s0 += sq;
            s1 += sq;
            s2 += sq;
            s3 += sq;
        }
        lap_ = lap;
        block_[0] = s0;
        block_[1] = s1;
        block_[2] = s2;
        block_[3] = s3;
        fed_ += run;
        i += run;
        if (fed_ == boundary) at_boundary();
    }
}

// Every 100 ms after the first 400 the meter measures the last 400 ms. Where
// they lie in one piece of its ring it sums them in time; where the ring
// began again within them, it sums the newest part first (this lap's, which
// is lap_) and then the older one, which a chain finishes later.
void k_loudness::at_boundary() {
    const std::uint64_t m = fed_ / step_;
    const std::uint32_t index = static_cast<std::uint32_t>(fed_ % ring_size_);
    const std::uint32_t block = 4 * step_;
    if (m >= 4) {
        const std::size_t slot = blocks_.size();
        blocks_.push_back(0.0);
        if (index == 0 || index >= block)
            blocks_[slot] = block_[m % 4] / static_cast<double>(block);
        else
            pending_.push_back({lap_, ring_size_ - (block - index), false, slot});
    }
    block_[m % 4] = 0.0;  // the block that ends four steps on begins here
    if (index == 0) lap_ = 0.0;
}

// The meter sums its whole ring from position 0: this lap's values, then the
// older ones after them.
void k_loudness::mark_short_term() {
    const std::size_t slot = short_term_.size();
    short_term_.push_back(0.0);
    pending_.push_back({lap_, static_cast<std::uint32_t>(fed_ % ring_size_), true, slot});
}

void k_loudness::finish(const chain& c, double value) {
    if (c.short_term) {
        const double energy = value / static_cast<double>(ring_size_);
        short_term_[c.slot] = energy <= 0.0 ? -HUGE_VAL : energy_to_loudness(energy);
    } else {
        blocks_[c.slot] = value / static_cast<double>(4 * step_);
    }
}

void k_loudness::finish_slowly(chain& c) {
    for (std::uint32_t p = c.from; p < ring_size_; ++p) c.value += ring_[p];
    c.from = ring_size_;
    finish(c, c.value);
}

void k_loudness::settle() {
    for (chain& c : pending_) finish_slowly(c);
    pending_.clear();
}

const std::vector<double>& k_loudness::short_term() {
    settle();
    return short_term_;
}

double k_loudness::integrated() {
    settle();
    double threshold = 0.0;
    std::size_t counted = 0;
    for (double z : blocks_)
        if (z >= lowest_block) {
            ++counted;
            threshold += z;
        }
    if (counted == 0) return -HUGE_VAL;
    threshold /= static_cast<double>(counted);
    threshold *= relative_gate_factor;
    double gated = 0.0;
    counted = 0;
    for (double z : blocks_)
        if (z >= lowest_block && z >= threshold) {
            ++counted;
            gated += z;
        }
    if (counted == 0) return -HUGE_VAL;
    gated /= static_cast<double>(counted);
    return energy_to_loudness(gated);
}

}  // namespace converter
