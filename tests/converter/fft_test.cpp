#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <random>
#include <type_traits>
#include <vector>

#include "converter/fft.hpp"
#include "converter/onset_fft.hpp"
#include "kernel_sets.hpp"
#include "reference.hpp"

using converter::fft_buffer;

namespace {

std::vector<std::complex<double>> direct_dft(const std::vector<float>& re, const std::vector<float>& im) {
    const std::size_t n = re.size();
    std::vector<std::complex<double>> out(n);
    for (std::size_t k = 0; k < n; ++k) {
        std::complex<double> sum = 0.0;
        for (std::size_t t = 0; t < n; ++t) {
            const double angle = -2.0 * M_PI * static_cast<double>((k * t) % n) / static_cast<double>(n);
            sum += std::complex<double>(re[t], im[t]) * std::polar(1.0, angle);
        }
        out[k] = sum;
    }
    return out;
}

std::vector<float> random_floats(std::size_t n, unsigned seed) {
    std::mt19937 gen(seed);
    std::uniform_real_distribution<float> d(-1.0f, 1.0f);
    std::vector<float> v(n);
    for (float& x : v) x = d(gen);
    return v;
}

// Runs the library transform on a copy of the input.
void library_transform(const std::vector<float>& re, const std::vector<float>& im, std::vector<float>& out_re,
                       std::vector<float>& out_im) {
    fft_buffer b(static_cast<std::int32_t>(re.size()));
    std::copy(re.begin(), re.end(), b.re.get());
    std::copy(im.begin(), im.end(), b.im.get());
    converter::transform(b);
    out_re.assign(b.re.get(), b.re.get() + b.size);
    out_im.assign(b.im.get(), b.im.get() + b.size);
}

void expect_close_to_dft(const std::vector<float>& re, const std::vector<float>& im) {
    std::vector<float> got_re, got_im;
    library_transform(re, im, got_re, got_im);
    const auto want = direct_dft(re, im);
    double scale = 0.0;
    for (std::size_t t = 0; t < re.size(); ++t) scale += std::abs(std::complex<double>(re[t], im[t]));
    const double tolerance = 1e-5 * std::max(scale, 1.0);
    for (std::size_t k = 0; k < re.size(); ++k) {
        EXPECT_NEAR(got_re[k], want[k].real(), tolerance) << "point " << k << " of " << re.size();
        EXPECT_NEAR(got_im[k], want[k].imag(), tolerance) << "point " << k << " of " << re.size();
    }
}

}  // namespace

TEST(FftBuffer, RoundsTheRequestUpToAPowerOfTwo) {
    const std::pair<std::int32_t, std::int32_t> cases[] = {{-3, 1}, {0, 1},     {1, 1},       {2, 2},
                                                            {3, 4},  {5, 8},     {64, 64},     {735, 1024},
                                                            {1024, 1024}, {1025, 2048}};
    for (const auto& c : cases) {
        fft_buffer b(c.first);
        EXPECT_EQ(b.size, c.second) << "requested " << c.first;
        EXPECT_EQ(b.requested, c.first);
    }
}

TEST(FftBuffer, StartsZeroedAndCannotBeCopied) {
    fft_buffer b(1000);
    for (std::int32_t k = 0; k < b.size; ++k) {
        ASSERT_EQ(b.re[k], 0.0f);
        ASSERT_EQ(b.im[k], 0.0f);
    }
    static_assert(!std::is_copy_constructible<fft_buffer>::value, "a buffer owns its arrays");
    static_assert(!std::is_copy_assignable<fft_buffer>::value, "a buffer owns its arrays");
}

TEST(Transform, MatchesDirectDftOnImpulsesTonesAndNoise) {
    for (std::size_t n : {1u, 2u, 4u, 8u, 64u, 256u, 1024u}) {
        std::vector<float> zero(n, 0.0f);
        std::vector<float> impulse(n, 0.0f);
        impulse[n > 1 ? 1 : 0] = 1.0f;
        expect_close_to_dft(impulse, zero);

        std::vector<float> tone_re(n), tone_im(n);
        for (std::size_t t = 0; t < n; ++t) {
            tone_re[t] = static_cast<float>(std::cos(2.0 * M_PI * 5.0 * static_cast<double>(t) / static_cast<double>(n)));
            tone_im[t] = static_cast<float>(std::sin(2.0 * M_PI * 3.0 * static_cast<double>(t) / static_cast<double>(n)));
        }
        expect_close_to_dft(tone_re, tone_im);
        expect_close_to_dft(random_floats(n, 7), random_floats(n, 8));
    }
}

// The plan's stored twiddles must be exactly the recurrence, and the order of
// the butterflies must not change a single bit.
TEST(Transform, IsBitIdenticalToTheRecurrenceComputedInPlace) {
    for (int n = 1; n <= 4096; n *= 2) {
        std::vector<float> re = random_floats(static_cast<std::size_t>(n), static_cast<unsigned>(n));
        std::vector<float> im = random_floats(static_cast<std::size_t>(n), static_cast<unsigned>(n) + 1);
        if (n >= 8) {
            re[3] = 0.0f;
            im[3] = -0.0f;
            re[5] = -0.0f;
        }
        std::vector<float> got_re, got_im;
        library_transform(re, im, got_re, got_im);
        reference::transform(re.data(), im.data(), n);
        for (int k = 0; k < n; ++k) {
            ASSERT_EQ(reference::bits(got_re[k]), reference::bits(re[k])) << "re " << k << " of " << n;
            ASSERT_EQ(reference::bits(got_im[k]), reference::bits(im[k])) << "im " << k << " of " << n;
        }
    }
}

TEST(TransformLanes, EveryLaneEqualsItsOwnTransform) {
    with_each_kernel_set([] {
        for (int n : {2, 8, 64, 1024}) {
            for (std::size_t lanes : {1u, 5u, 60u, 512u}) {
                const std::size_t stride = lanes + 3;
                std::vector<float> re = random_floats(static_cast<std::size_t>(n) * stride, 11);
                std::vector<float> im = random_floats(static_cast<std::size_t>(n) * stride, 12);
                const std::vector<float> in_re = re, in_im = im;
                converter::transform_lanes(converter::fft_plan::of_size(n), re.data(), im.data(), stride, lanes);
                for (std::size_t c = 0; c < stride; ++c) {
                    std::vector<float> lane_re(static_cast<std::size_t>(n)), lane_im(static_cast<std::size_t>(n));
                    for (int k = 0; k < n; ++k) {
                        lane_re[static_cast<std::size_t>(k)] = in_re[static_cast<std::size_t>(k) * stride + c];
                        lane_im[static_cast<std::size_t>(k)] = in_im[static_cast<std::size_t>(k) * stride + c];
                    }
                    if (c < lanes) reference::transform(lane_re.data(), lane_im.data(), n);
                    // Lanes past `lanes` are padding and must stay untouched.
                    for (int k = 0; k < n; ++k) {
                        const std::size_t at = static_cast<std::size_t>(k) * stride + c;
                        ASSERT_EQ(reference::bits(re[at]), reference::bits(lane_re[static_cast<std::size_t>(k)]))
                            << "n " << n << " lanes " << lanes << " lane " << c << " point " << k;
                        ASSERT_EQ(reference::bits(im[at]), reference::bits(lane_im[static_cast<std::size_t>(k)]));
                    }
                }
            }
        }
    });
}

TEST(TransformLanes, LowerHalfOnlyGivesTheSameLowerHalf) {
    with_each_kernel_set([] {
        for (int n : {2, 4, 64, 1024}) {
            const std::size_t lanes = 12;
            std::vector<float> re = random_floats(static_cast<std::size_t>(n) * lanes, 21);
            std::vector<float> im = random_floats(static_cast<std::size_t>(n) * lanes, 22);
            std::vector<float> full_re = re, full_im = im;
            const auto& plan = converter::fft_plan::of_size(n);
            converter::transform_lanes(plan, full_re.data(), full_im.data(), lanes, lanes);
            // The same permutation by hand, then the stages with the upper half dropped.
            std::vector<float> perm_re(re.size()), perm_im(im.size());
            for (int k = 0; k < n; ++k)
                for (std::size_t c = 0; c < lanes; ++c) {
                    perm_re[static_cast<std::size_t>(k) * lanes + c] = re[plan.reversed(static_cast<std::uint32_t>(k)) * lanes + c];
                    perm_im[static_cast<std::size_t>(k) * lanes + c] = im[plan.reversed(static_cast<std::uint32_t>(k)) * lanes + c];
                }
            converter::butterflies_lanes(plan, perm_re.data(), perm_im.data(), lanes, lanes, true);
            for (std::size_t at = 0; at < static_cast<std::size_t>(n / 2) * lanes; ++at) {
                ASSERT_EQ(reference::bits(perm_re[at]), reference::bits(full_re[at])) << "n " << n << " at " << at;
                ASSERT_EQ(reference::bits(perm_im[at]), reference::bits(full_im[at])) << "n " << n << " at " << at;
            }
        }
    });
}

// The onset finder's own single-precision transform, fed in bit-reversed
// order as it is: every lane is its input's spectrum.
TEST(OnsetTransform, EveryLaneIsItsSpectrum) {
    for (std::size_t n : {16u, 64u, 512u}) {
        constexpr std::size_t lanes = 8;
        const auto& plan = converter::fft_plan::of_size(static_cast<std::int32_t>(n));
        const std::vector<float> in_re = random_floats(n * lanes, 31), in_im = random_floats(n * lanes, 32);
        std::vector<float> re(n * lanes), im(n * lanes);
        for (std::size_t k = 0; k < n; ++k)
            for (std::size_t c = 0; c < lanes; ++c) {
                re[plan.reversed(static_cast<std::uint32_t>(k)) * lanes + c] = in_re[k * lanes + c];
                im[plan.reversed(static_cast<std::uint32_t>(k)) * lanes + c] = in_im[k * lanes + c];
            }
        converter::onset_fft::transform<converter::onset_fft::scalar>(re.data(), im.data(), lanes, lanes,
                                                                      plan.twiddles_re(), plan.twiddles_im(), n);
        for (std::size_t c = 0; c < lanes; ++c) {
            std::vector<float> lane_re(n), lane_im(n);
            for (std::size_t k = 0; k < n; ++k) {
                lane_re[k] = in_re[k * lanes + c];
                lane_im[k] = in_im[k * lanes + c];
            }
            const auto want = direct_dft(lane_re, lane_im);
            for (std::size_t k = 0; k < n; ++k) {
                EXPECT_NEAR(re[k * lanes + c], want[k].real(), 1e-4 * static_cast<double>(n)) << n << " point " << k;
                EXPECT_NEAR(im[k * lanes + c], want[k].imag(), 1e-4 * static_cast<double>(n)) << n << " point " << k;
            }
        }
    }
}
