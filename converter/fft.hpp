#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace converter {

// Two paths. The converter runs butterflies_lanes (with the plans below) on
// many windows at once. fft_buffer, transform and transform_lanes are the
// reference path: plain transforms the tests hold the converter's to, bit for
// bit; nothing in the converter calls them.

// A complex work buffer for one transform. `size` is the request rounded up
// to a power of two (1 when 1 or less was asked for); both arrays start zeroed.
struct fft_buffer {
    explicit fft_buffer(std::int32_t requested_size);
    fft_buffer(const fft_buffer&) = delete;
    fft_buffer& operator=(const fft_buffer&) = delete;

    std::int32_t size;
    std::int32_t requested;
    std::unique_ptr<float[]> re;
    std::unique_ptr<float[]> im;
};

// What a transform of one size needs besides the data: the bit-reversal
// table and, per stage, its twiddles. The twiddles are stored exactly as the
// single-precision recurrence w <- w * (wr + i wi) produces them from 1 + 0i,
// so using the table is the recurrence, value for value.
class fft_plan {
public:
    explicit fft_plan(std::int32_t size);  // a power of two, at least 1
    // One shared plan per size, built on first use.
    static const fft_plan& of_size(std::int32_t size);

    std::int32_t size() const { return size_; }
    std::uint32_t reversed(std::uint32_t i) const { return reversed_[i]; }
    // Twiddle k of the stage whose butterflies span 2h points sits at h + k.
    float twiddle_re(std::size_t index) const { return twiddle_re_[index]; }
    float twiddle_im(std::size_t index) const { return twiddle_im_[index]; }
    const float* twiddles_re() const { return twiddle_re_.data(); }
    const float* twiddles_im() const { return twiddle_im_.data(); }

private:
    std::int32_t size_;
    std::vector<std::uint32_t> reversed_;
    std::vector<float> twiddle_re_;
    std::vector<float> twiddle_im_;
};

// Reference path. Forward transform in place, no scaling: X[k] = sum x[n] e^(-2 pi i k n / N).
// Each product t = w x is formed in double and rounded to single once per
// part; every stored value is single precision.
void transform(fft_buffer& x);

// Reference path. Many transforms of one size at once, each in its own lane: point k of lane
// c lies at index k * stride + c. Every lane gets exactly the values the
// single transform gives it.
void transform_lanes(const fft_plan& plan, float* re, float* im, std::size_t stride, std::size_t lanes);

// Lanes the transform kernels in use (kernels.hpp) take at a time (4, or 8
// for AVX-512): a caller
// with spare lanes beside its own may give whole groups of them.
std::size_t fft_lane_width();

// The stages of transform_lanes without the bit-reversal permutation, for
// callers that store their input already permuted. With lower_half_only the
// last stage computes only points 0 to N/2 - 1; the others are left stale.
// The stages whose butterflies span fewer than 2 first_half points (a power
// of two) are taken as done already, by a caller that fills the rows with
// their results.
void butterflies_lanes(const fft_plan& plan, float* re, float* im, std::size_t stride, std::size_t lanes,
                       bool lower_half_only, std::size_t first_half = 1);

}  // namespace converter
