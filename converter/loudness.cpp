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

// The meter's constants as its compiler folded them, correctly rounded,
// written out so that every compiler has the same bits:
// pow(10, (-70 + 0.691) / 10), pow(10, -10 / 10) and log(10).
constexpr double lowest_block = 0x1.f791ec6e1d5b7p-24;
constexpr double relative_gate_factor = 0x1.999999999999ap-4;
constexpr double log_of_ten = 0x1.26bb1bbb55516p+1;

double energy_to_loudness(double energy) { return 10 * (std::log(energy) / log_of_ten) - 0.691; }

}  // namespace

namespace loudness_detail {

#if defined(__SSE2__)
flushing::flushing(bool on) : saved_(_mm_getcsr()) {
    _mm_setcsr(on ? saved_ | _MM_FLUSH_ZERO_ON : saved_ & ~_MM_FLUSH_ZERO_ON);
}
flushing::~flushing() { _mm_setcsr(saved_); }
#else
flushing::flushing(bool) {}
flushing::~flushing() = default;
#endif

bool normal(double x) { return x >= DBL_MIN; }

#if defined(__SSE2__)
void forget_underflow() { _mm_setcsr(_mm_getcsr() & ~_MM_EXCEPT_UNDERFLOW); }
bool underflowed() { return (_mm_getcsr() & _MM_EXCEPT_UNDERFLOW) != 0; }
#else
void forget_underflow() {}
bool underflowed() { return false; }
#endif

void flush_state(filter_state& f) {
    for (double* v : {&f.v1, &f.v2, &f.v3, &f.v4})
        if (std::fabs(*v) < DBL_MIN) *v = 0.0;
}

}  // namespace loudness_detail

k_loudness::k_loudness(unsigned rate) {
    if (rate == 0) throw std::invalid_argument("k_loudness: no rate");
    step_ = (rate + 5) / 10;
    std::uint64_t frames = static_cast<std::uint64_t>(rate) * 3000 / 1000;
    if (frames % step_ != 0) frames = frames + step_ - frames % step_;
    if (frames != 30ull * step_) throw std::invalid_argument("k_loudness: a rate whose 3 s are not 30 steps");
    ring_size_ = static_cast<std::uint32_t>(frames);
    ring_.assign(2 * static_cast<std::size_t>(ring_size_), 0.0);

    // The K-weighting filter as the meter designs it. tan runs when the
    // program does, as in the meter (whose rate is not known before), and the
    // expressions are the meter's, so the coefficients are its bits.
    volatile double opaque_rate = static_cast<double>(rate);
    const double samplerate = opaque_rate;
    double f0 = 1681.974450955533;
    double Q = 0.7071752369554196;
    double K = std::tan(M_PI * f0 / samplerate);
    // pow(10, G / 20) with G = 3.999843853973347, and pow(Vh, 0.4996667741545416),
    // folded (correctly rounded) as in the meter.
    constexpr double Vh = 0x1.95b9b16bf11c6p+0;
    constexpr double Vb = 0x1.423b88ee23b99p+0;
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

namespace {

struct given_values {
    const float* values;
    std::size_t n;
    float operator()(std::size_t i) const { return values[i]; }
    std::size_t plain_until(std::size_t) const { return n; }
    float special(std::size_t i) const { return values[i]; }
    float value(std::size_t i) const { return values[i]; }
};

}  // namespace

void k_loudness::add(const float* values, std::size_t n) { add_made(n, given_values{values, n}); }

// The squares of y_ and their sums without flushing (that is for the
// filter only).
void k_loudness::square_exactly(loudness_detail::square_sums& sums) const {
    const loudness_detail::flushing exact(false);
    for (double y : y_) {
        const double sq = y * y;
        *sums.out++ = sq;
        sums.lap += sq;
        sums.b0 += sq;
        sums.b1 += sq;
        sums.b2 += sq;
        sums.b3 += sq;
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
            add_chain(false, slot, ring_size_ - (block - index));
    }
    block_[m % 4] = 0.0;  // the block that ends four steps on begins here
    if (index == 0) lap_ = 0.0;
}

// The meter sums its whole ring from position 0: this lap's values, then the
// older ones after them.
void k_loudness::mark_short_term() {
    const std::size_t slot = short_term_.size();
    short_term_.push_back(0.0);
    add_chain(true, slot, static_cast<std::uint32_t>(fed_ % ring_size_));
}

// A chain goes on from lap_ (this lap's part) over the last lap's squares.
void k_loudness::add_chain(bool short_term, std::size_t slot, std::uint32_t from) {
    const auto lap = static_cast<std::uint32_t>(fed_ / ring_size_);
    pending_.push_back({lap_, from, lap + 1, short_term, slot});  // lap + 1 has the last lap's half
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
    const double* squares = lap_half(c.lap);
    for (std::uint32_t p = c.from; p < ring_size_; ++p) c.value += squares[p];
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
