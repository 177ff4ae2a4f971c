#pragma once
// The converter's computations written out plainly, one buffer at a time and
// one value at a time, for the tests to hold the optimised code against.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "converter/fft.hpp"
#include "pattern/bullet_pattern_element.hpp"

namespace reference {

inline float pi() {
    const std::uint32_t bits = 0x40490FDBu;
    float f;
    std::memcpy(&f, &bits, 4);
    return f;
}

inline std::uint32_t bits(float f) {
    std::uint32_t u;
    std::memcpy(&u, &f, 4);
    return u;
}

// The transform with its twiddle recurrence computed in place, stage by stage.
inline void transform(float* re, float* im, int n) {
    int bits_n = 0;
    while ((1 << bits_n) < n) ++bits_n;
    for (int i = 0; i < n; ++i) {
        int r = 0;
        for (int b = 0; b < bits_n; ++b)
            if (i & (1 << b)) r |= 1 << (bits_n - 1 - b);
        if (i < r) {
            std::swap(re[i], re[r]);
            std::swap(im[i], im[r]);
        }
    }
    for (int b = 2; b <= n; b *= 2) {
        const float theta = static_cast<float>(static_cast<double>(pi()) * (-2) / b);
        const float wr = static_cast<float>(std::cos(static_cast<double>(theta)));
        const float wi = static_cast<float>(std::sin(static_cast<double>(theta)));
        for (int p = 0; p < n; p += b) {
            float w_re = 1.0f;
            float w_im = 0.0f;
            for (int k = 0; k < b / 2; ++k) {
                const int q = p + k + b / 2;
                const float t_re = static_cast<float>(static_cast<double>(w_re) * re[q] - static_cast<double>(w_im) * im[q]);
                const float t_im = static_cast<float>(static_cast<double>(w_re) * im[q] + static_cast<double>(w_im) * re[q]);
                re[q] = static_cast<float>(static_cast<double>(re[p + k]) - t_re);
                im[q] = static_cast<float>(static_cast<double>(im[p + k]) - t_im);
                re[p + k] = static_cast<float>(static_cast<double>(re[p + k]) + t_re);
                im[p + k] = static_cast<float>(static_cast<double>(im[p + k]) + t_im);
                const float next_re = static_cast<float>(static_cast<double>(w_re) * wr - static_cast<double>(w_im) * wi);
                const float next_im = static_cast<float>(static_cast<double>(w_re) * wi + static_cast<double>(w_im) * wr);
                w_re = next_re;
                w_im = next_im;
            }
        }
    }
}

// m[M][l] for one channel and second: 64 window buffers of their own, each
// value computed and stored on its own.
inline std::vector<std::vector<float>> analyse(const std::int16_t* values, unsigned channels, unsigned ch,
                                               unsigned second) {
    const int F = 44100 / 60;
    std::vector<std::unique_ptr<converter::fft_buffer>> windows;
    for (int j = 0; j < 64; ++j) windows.emplace_back(new converter::fft_buffer(1024));
    converter::fft_buffer modulation(64);

    for (int j = 0; j < 64; ++j) {
        const int f = j < 60 ? j : j - 60;
        const std::size_t start = 44100u * second + static_cast<std::size_t>(F * f);
        for (int k = 0; k < 1024; ++k) {
            const std::int16_t v = values[ch + channels * (start + static_cast<std::size_t>(k % F))];
            windows[j]->re[k] = static_cast<float>(v * (1.0 / 32768.0));
            windows[j]->im[k] = 0.0f;
        }
        transform(windows[j]->re.get(), windows[j]->im.get(), 1024);
    }

    std::vector<std::vector<float>> m(512, std::vector<float>(32));
    for (int M = 0; M < 512; ++M) {
        float a[64];
        double sum = 0.0;
        for (int j = 0; j < 64; ++j) {
            const double re = windows[j]->re[M];
            const double im = windows[j]->im[M];
            const float power = static_cast<float>(re * re + im * im);
            const float root = static_cast<float>(std::sqrt(static_cast<double>(power)));
            a[j] = static_cast<float>(static_cast<double>(root) / (windows[j]->size / 2));
            sum = sum + a[j];
        }
        const float mean = static_cast<float>(sum * 0.015625);
        float peak = 0.0f;
        for (int j = 0; j < 64; ++j) {
            a[j] = static_cast<float>(static_cast<double>(a[j]) - mean);
            if (std::fabs(a[j]) > peak) peak = std::fabs(a[j]);
        }
        for (int j = 0; j < 64; ++j) {
            if (peak == 0.0f) {
                modulation.re[j] = 0.0f;
            } else {
                a[j] = static_cast<float>(static_cast<double>(a[j]) / peak);
                modulation.re[j] = a[j];
            }
            modulation.im[j] = 0.0f;
        }
        transform(modulation.re.get(), modulation.im.get(), 64);
        for (int l = 0; l < 32; ++l) {
            const double re = modulation.re[l];
            const double im = modulation.im[l];
            const float power = static_cast<float>(re * re + im * im);
            const float root = static_cast<float>(std::sqrt(static_cast<double>(power)));
            m[M][l] = static_cast<float>(static_cast<double>(root) / (modulation.size / 2));
        }
    }
    return m;
}

inline bool is_burst(float m) { return static_cast<int>(static_cast<float>(3.5 * m)) != 0; }

// The records of one burst, each field from its own formula.
inline bullet_pattern_element record(bool zetaflux, int second, int ch, int M, int l, int i, float m) {
    const double p = pi();
    bullet_pattern_element e;
    e.time = 60 * second + (60 * i) / (l + 1);
    if (zetaflux) {
        const float lo = 0.0f;
        e.angle = static_cast<float>(p * static_cast<float>(M) / 512 + p * static_cast<float>(ch) +
                                     p * static_cast<float>(i) / static_cast<float>(l + 1) - p * 0.5);
        e.speed = static_cast<float>(static_cast<double>(m) + (static_cast<double>(m) - lo) * 1.5);
    } else {
        e.angle = static_cast<float>(static_cast<float>(M) * p / 512 + static_cast<float>(ch) * p - p * 0.5);
        e.speed = static_cast<float>(static_cast<double>(m) * 2.5);
    }
    return e;
}

inline void put32(std::vector<std::uint8_t>& out, std::uint32_t v) {
    for (int b = 0; b < 4; ++b) out.push_back(static_cast<std::uint8_t>((v >> (8 * b)) & 0xFF));
}

// The whole pattern file for interleaved values, computed the plain way.
inline std::vector<std::uint8_t> pattern_file(const std::vector<std::int16_t>& values, unsigned channels,
                                              bool zetaflux) {
    const unsigned groups = channels < 2 ? channels : 2;
    const unsigned seconds = static_cast<unsigned>(values.size() / channels / 44100);
    std::vector<std::uint8_t> out{static_cast<std::uint8_t>(groups)};
    for (unsigned ch = 0; ch < groups; ++ch) {
        std::vector<bullet_pattern_element> group;
        for (unsigned s = 0; s < seconds; ++s) {
            const auto m = analyse(values.data(), channels, ch, s);
            for (int M = 0; M < 512; ++M)
                for (int l = 0; l < 32; ++l)
                    if (is_burst(m[M][l]))
                        for (int i = 0; i <= l; ++i)
                            group.push_back(record(zetaflux, static_cast<int>(s), static_cast<int>(ch), M, l, i, m[M][l]));
        }
        std::stable_sort(group.begin(), group.end(),
                         [](const bullet_pattern_element& a, const bullet_pattern_element& b) { return a.time < b.time; });
        for (const auto& e : group) {
            put32(out, static_cast<std::uint32_t>(e.time));
            put32(out, bits(e.angle));
            put32(out, bits(e.speed));
        }
        put32(out, 0xFFFFFFFFu);
    }
    return out;
}

}  // namespace reference
