#include "converter/fft.hpp"

#include <array>
#include <cmath>
#include <mutex>
#include <stdexcept>

#include "converter/fft_stages.hpp"
#include "converter/kernels.hpp"
#include "vaz/single_pi.hpp"

namespace converter {

namespace {

constexpr std::size_t block_bytes = 32 * 1024;
constexpr std::int32_t largest_size = std::int32_t{1} << 30;

std::int32_t rounded_size(std::int32_t requested) {
    if (requested > largest_size) throw std::length_error("fft_buffer: too many points");
    std::int32_t n = 1;
    while (n < requested) n *= 2;
    return n;
}

int log2_of(std::int32_t n) {
    int bits = 0;
    while ((std::int32_t{1} << bits) < n) ++bits;
    return bits;
}

// SSE2 gets the plain stages: its own cost as much (the products are formed
// in double either way), see converter/README.md.
const fft_stages::stage_functions& stages_for(kernel_set k) {
#if VELMORA_AVX_FMA_STAGES
    if (k == kernel_set::avx_fma) return fft_stages::avx_fma;
    if (k == kernel_set::avx512) return fft_stages::avx512;
#endif
    (void)k;
    return fft_stages::plain;
}

}  // namespace

fft_buffer::fft_buffer(std::int32_t requested_size)
    : size(rounded_size(requested_size)),
      requested(requested_size),
      re(new float[static_cast<std::size_t>(size)]()),
      im(new float[static_cast<std::size_t>(size)]()) {}

fft_plan::fft_plan(std::int32_t size) : size_(size) {
    if (size < 1 || size > largest_size || (size & (size - 1)) != 0)
        throw std::invalid_argument("fft_plan: size must be a power of two");
    const int bits = log2_of(size);
    reversed_.resize(static_cast<std::size_t>(size));
    for (std::uint32_t i = 0; i < static_cast<std::uint32_t>(size); ++i) {
        std::uint32_t r = 0;
        for (int b = 0; b < bits; ++b) r |= ((i >> b) & 1u) << (bits - 1 - b);
        reversed_[i] = r;
    }

    twiddle_re_.resize(static_cast<std::size_t>(size));
    twiddle_im_.resize(static_cast<std::size_t>(size));
    const double pi = vaz::single_pi();
    for (std::int32_t half = 1; half < size; half *= 2) {
        const float theta = static_cast<float>(pi * -2.0 / (2.0 * half));
        const float wr = static_cast<float>(std::cos(static_cast<double>(theta)));
        const float wi = static_cast<float>(std::sin(static_cast<double>(theta)));
        float w_re = 1.0f;
        float w_im = 0.0f;
        for (std::int32_t k = 0; k < half; ++k) {
            twiddle_re_[static_cast<std::size_t>(half + k)] = w_re;
            twiddle_im_[static_cast<std::size_t>(half + k)] = w_im;
            const float next_re = static_cast<float>(static_cast<double>(w_re) * wr - static_cast<double>(w_im) * wi);
            const float next_im = static_cast<float>(static_cast<double>(w_re) * wi + static_cast<double>(w_im) * wr);
            w_re = next_re;
            w_im = next_im;
        }
    }
}

const fft_plan& fft_plan::of_size(std::int32_t size) {
    static std::mutex lock;
    static std::array<std::unique_ptr<fft_plan>, 31> plans;
    if (size < 1 || size > largest_size || (size & (size - 1)) != 0)
        throw std::invalid_argument("fft_plan: size must be a power of two");
    std::lock_guard<std::mutex> g(lock);
    auto& slot = plans[static_cast<std::size_t>(log2_of(size))];
    if (!slot) slot.reset(new fft_plan(size));
    return *slot;
}

void transform(fft_buffer& x) {
    const fft_plan& plan = fft_plan::of_size(x.size);
    float* re = x.re.get();
    float* im = x.im.get();
    const std::size_t n = static_cast<std::size_t>(x.size);
    for (std::size_t i = 0; i < n; ++i) {
        const std::size_t r = plan.reversed(static_cast<std::uint32_t>(i));
        if (i < r) {
            std::swap(re[i], re[r]);
            std::swap(im[i], im[r]);
        }
    }
    for (std::size_t half = 1; half < n; half *= 2) {
        for (std::size_t p = 0; p < n; p += 2 * half) {
            for (std::size_t k = 0; k < half; ++k) {
                const std::size_t a = p + k;
                const std::size_t b = a + half;
                const double wr = plan.twiddle_re(half + k);
                const double wi = plan.twiddle_im(half + k);
                const double xr = re[b];
                const double xi = im[b];
                const float tr = static_cast<float>(wr * xr - wi * xi);
                const float ti = static_cast<float>(wr * xi + wi * xr);
                // x[a] +- t rounds to the same single whether formed in
                // double or in single precision.
                const float ar = re[a];
                const float ai = im[a];
                re[b] = ar - tr;
                im[b] = ai - ti;
                re[a] = ar + tr;
                im[a] = ai + ti;
            }
        }
    }
}

void transform_lanes(const fft_plan& plan, float* re, float* im, std::size_t stride, std::size_t lanes) {
    const std::size_t n = static_cast<std::size_t>(plan.size());
    for (std::size_t i = 0; i < n; ++i) {
        const std::size_t r = plan.reversed(static_cast<std::uint32_t>(i));
        if (i < r) {
            for (std::size_t c = 0; c < lanes; ++c) {
                std::swap(re[i * stride + c], re[r * stride + c]);
                std::swap(im[i * stride + c], im[r * stride + c]);
            }
        }
    }
    butterflies_lanes(plan, re, im, stride, lanes, false);
}

void butterflies_lanes(const fft_plan& plan, float* re, float* im, std::size_t stride, std::size_t lanes,
                       bool lower_half_only, std::size_t first_half) {
    const std::size_t n = static_cast<std::size_t>(plan.size());
    if (n < 2 || lanes == 0) return;
    const fft_stages::lane_set set{re, im, stride, lanes, plan.twiddles_re(), plan.twiddles_im()};
    const fft_stages::stage_functions& run = stages_for(kernels_in_use());

    // The order of the butterflies changes, never their arithmetic: two
    // stages share each pass over the data, and the early stages run block
    // by block while a block stays in the first-level cache.
    std::size_t block = 4;
    while (block < n && 2 * block * stride * 2 * sizeof(float) <= block_bytes) block *= 2;
    std::size_t half = first_half;
    if (block < n && first_half < block) {
        for (std::size_t b = 0; b < n; b += block) {
            std::size_t h = first_half;
            for (; 4 * h <= block; h *= 4) run.paired(set, h, b, b + block, false);
            for (; h < block; h *= 2) run.single(set, h, b, b + block, false);
        }
        half = block;
    }
    while (half < n) {
        if (2 * half == n) {
            run.single(set, half, 0, n, lower_half_only);
            half *= 2;
        } else {
            run.paired(set, half, 0, n, lower_half_only && 4 * half == n);
            half *= 4;
        }
    }
}

std::size_t fft_lane_width() { return kernels_in_use() == kernel_set::avx512 ? 8 : 4; }

}  // namespace converter
